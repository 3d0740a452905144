// The login step of Pop3Session: the mechanisms of Pop3Login, tried in their order.
#include "Pop3Session.h"

#include "Loopback.h"
#include "Pop3Capa.h"
#include "Pop3Reply.h"
#include "Scram.h"
#include "SecureWipe.h"

namespace {

// A command line with an initial response may hold at most this many octets, CR LF
// included (RFC 5034 §4); a longer response waits for the server's empty challenge instead.
constexpr int maxAuthLine = 255;

// +OK before the server's signature: the server let us in without showing that it knows
// the password, as any impostor could.
Pop3Outcome notProven()
{
    return Pop3Outcome::failure(Pop3Code::ServerNotProven,
                                QStringLiteral("Server did not prove it knows the password."));
}

Pop3Outcome invalidAuthReply()
{
    return Pop3Outcome::failure(Pop3Code::BadReply,
                                QStringLiteral("Invalid reply to AUTH from the server."));
}

Pop3Outcome scramFailure(const Scram &scram)
{
    using Problem = Scram::Problem;
    switch (scram.problem()) {
    case Problem::NonceMismatch:
        return Pop3Outcome::failure(Pop3Code::BadReply,
                                    QStringLiteral("SCRAM nonce from the server is wrong."));
    case Problem::IterationCount:
        // Below RFC 5802's 4096 or above what this client computes on the window's thread.
        return Pop3Outcome::failure(Pop3Code::BadReply,
                                    QStringLiteral("SCRAM iteration count out of range."));
    case Problem::ServerError:
        return Pop3Outcome::failure(Pop3Code::LoginRefused,
                                    Pop3Outcome::fitted(QStringLiteral("Password refused: "),
                                                        scram.serverError(),
                                                        QStringLiteral("Password refused.")));
    case Problem::NotProven:
        return notProven();
    case Problem::None:
    case Problem::BadMessage:
        break;
    }
    return Pop3Outcome::failure(Pop3Code::BadReply,
                                QStringLiteral("Invalid SCRAM reply from the server."));
}

} // namespace

// Tries the candidates in order. A refusal that came before any password or proof went
// out (a bare -ERR to the AUTH command itself), or a bare -ERR or [AUTH] to an APOP or
// CRAM-MD5 digest, moves on to the next one, down to USER/PASS. Servers stamp their
// greeting whether or not the account has an APOP secret, and that secret (or the one
// CRAM-MD5 is keyed with) is often not the login password: GNU pop3d answers "-ERR [AUTH]
// Bad login". A wrong password then gets its [AUTH] at PASS. Before a mechanism starts, the
// protection it would give is weighed against what the server gave before: a weaker one
// ends the check with nothing secret sent, which is all a man in the middle gets for
// stripping STLS, SCRAM or the APOP timestamp. Without TLS, a mechanism that shows the
// password (or a digest a listener could attack offline) is never started unless the
// server form allows it (clearLoginAllowed()): a bare host name whose server gave no TLS
// gets SCRAM at most, which is all a man in the middle gets for stripping STLS at the very
// first check.
Pop3Session::Step Pop3Session::login(const Pop3Capa &capa, Mechanism *used)
{
    const bool encrypted = m_channel.isEncrypted();
    const bool clearAllowed = encrypted || clearLoginAllowed();
    const QList<Mechanism> candidates = Pop3Login::candidates(capa, encrypted, m_greeting);
    // The last refusal that moved on, and the replies read up to it.
    Step refused;
    Refusal refusedHow = Refusal::Final;
    Mechanism refusedMechanism = Mechanism::UserPass;
    int repliesThen = 0;
    for (const Mechanism mechanism : candidates) {
        const Protection level = Pop3Login::protection(mechanism, encrypted);
        if (weaker(level, m_settings.remembered)) {
            // A digest refused by a server that took one before: the password is wrong.
            if (refused && refusedHow == Refusal::OfSecret)
                return refused;
            return Pop3Outcome::failure(Pop3Code::ProtectionLowered,
                                        refused ? QStringLiteral("%1 refused; password not sent.")
                                                      .arg(Pop3Login::name(refusedMechanism))
                                                : ProtectionText::lowered(m_settings.remembered));
        }
        if (!clearAllowed && !Pop3Login::hidesPassword(mechanism))
            return Pop3Outcome::clearNotAllowed(m_settings.address.hostText());
        *used = mechanism;
        Refusal refusal = Refusal::Final;
        Step end = attempt(mechanism, &refusal);
        if (!end) {
            m_given = level;
            return end;
        }
        // A server that hangs up right after a refusal has said its last word: the
        // refusal (code 15 and its text), not the hang-up, is the outcome.
        if (refused && end->code == Pop3Code::ConnectionLost && m_replies == repliesThen)
            return refused;
        if (refusal == Refusal::Final)
            return end;
        refused = end;
        refusedHow = refusal;
        refusedMechanism = mechanism;
        repliesThen = m_replies;
    }
    // USER/PASS comes last and never moves on.
    return Pop3Outcome::failure(Pop3Code::LoginRefused,
                                QStringLiteral("Login refused by the server."));
}

// The server form allows the clear, or nothing leaves this machine: every address the
// host name resolved to is a loopback address.
bool Pop3Session::clearLoginAllowed() const
{
    return m_settings.clearLogin == ClearLogin::Allowed ||
           Loopback::onlyLoopback(m_channel.addresses());
}

Pop3Session::Step Pop3Session::attempt(Mechanism mechanism, Refusal *refusal)
{
    switch (mechanism) {
    case Mechanism::UserPass:
        break;
    case Mechanism::Apop:
        return apop(refusal);
    case Mechanism::CramMd5:
        return cramMd5(refusal);
    case Mechanism::Plain:
        return authPlain(refusal);
    case Mechanism::ScramSha256:
    case Mechanism::ScramSha1:
        return scram(mechanism, refusal);
    }
    return userPass();
}

// USER and PASS; in one flight to a server that pipelines.
Pop3Session::Step Pop3Session::userPass()
{
    const QByteArray user = "USER " + Pop3Login::legacyText(m_settings.user);
    QByteArray secret = Pop3Login::legacyText(m_settings.password);
    QByteArray pass = joined({"PASS ", secret});
    secureWipe(secret);
    const WipedBytes wipePass(pass);
    Pop3Reply reply;
    if (Step end = send(m_pipelining ? QByteArrayList{user, pass} : QByteArrayList{user}))
        return end;
    if (Step end = receive(QStringLiteral("USER"), &reply))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, false);
    if (!m_pipelining) {
        if (Step end = send({pass}))
            return end;
    }
    if (Step end = receive(QStringLiteral("PASS"), &reply))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, true);
    return std::nullopt;
}

Pop3Session::Step Pop3Session::sendDigest(const QByteArray &line, const QString &name,
                                          Refusal *refusal)
{
    Pop3Reply reply;
    if (Step end = send({line}))
        return end;
    if (Step end = receive(name, &reply))
        return end;
    if (!reply.isErr())
        return std::nullopt;
    const QByteArray code = reply.code.toUpper();
    if (code.isEmpty() || code == "AUTH" || code.startsWith("AUTH/"))
        *refusal = Refusal::OfSecret;
    return Pop3Outcome::loginRefused(reply, true);
}

Pop3Session::Step Pop3Session::apop(Refusal *refusal)
{
    QByteArray secret = Pop3Login::legacyText(m_settings.password);
    QByteArray command = Pop3Login::apopCommand(Pop3Login::apopTimestamp(m_greeting),
                                                Pop3Login::legacyText(m_settings.user), secret);
    secureWipe(secret);
    const WipedBytes wipeCommand(command);
    return sendDigest(command, QStringLiteral("APOP"), refusal);
}

// "AUTH mechanism" without an initial response, and the server's answer: a challenge in
// *challenge (reply invalid), or a +OK for the caller to judge. A -ERR ends it here.
Pop3Session::Step Pop3Session::authBegin(const QByteArray &mechanism, Refusal *refusal,
                                         Pop3Reply *reply, QByteArray *challenge)
{
    if (Step end = send({"AUTH " + mechanism}))
        return end;
    if (Step end = receive(QStringLiteral("AUTH"), reply, challenge))
        return end;
    if (reply->isErr()) {
        if (reply->code.isEmpty())
            *refusal = Refusal::AtStart;
        return Pop3Outcome::loginRefused(*reply, false);
    }
    return std::nullopt;
}

// RFC 2195: the server's challenge, answered with the login and an HMAC-MD5 of it.
Pop3Session::Step Pop3Session::cramMd5(Refusal *refusal)
{
    Pop3Reply reply;
    QByteArray challenge;
    if (Step end = authBegin("CRAM-MD5", refusal, &reply, &challenge))
        return end;
    if (reply.isOk() || challenge.isEmpty())
        return cancelAuth(invalidAuthReply());
    QByteArray response = Pop3Login::cramResponse(m_settings.user, m_settings.password, challenge);
    const WipedBytes wipeResponse(response);
    QByteArray encoded = response.toBase64();
    const WipedBytes wipeEncoded(encoded);
    return sendDigest(encoded, QStringLiteral("AUTH"), refusal);
}

// "AUTH mechanism initial-response", or without it and then the response to the server's
// empty challenge when the line would be too long. *reply is the server's answer to the
// initial response: +OK, -ERR or (reply invalid) the challenge in *challenge.
Pop3Session::Step Pop3Session::authStart(const QByteArray &mechanism, const QByteArray &initial,
                                         Refusal *refusal, Pop3Reply *reply, QByteArray *challenge)
{
    QByteArray encoded = initial.isEmpty() ? QByteArray("=") : initial.toBase64();
    const WipedBytes wipeEncoded(encoded);
    QByteArray command = joined({"AUTH ", mechanism, " ", encoded});
    const WipedBytes wipeCommand(command);
    if (command.size() + 2 <= maxAuthLine) {
        if (Step end = send({command}))
            return end;
    } else {
        if (Step end = authBegin(mechanism, refusal, reply, challenge))
            return end;
        if (reply->isOk() || !challenge->isEmpty())
            return cancelAuth(invalidAuthReply());
        if (Step end = send({encoded}))
            return end;
    }
    return receive(QStringLiteral("AUTH"), reply, challenge);
}

Pop3Session::Step Pop3Session::authPlain(Refusal *refusal)
{
    Pop3Reply reply;
    QByteArray challenge;
    QByteArray response = Pop3Login::plainMessage(m_settings.user, m_settings.password);
    const WipedBytes wipeResponse(response);
    if (Step end = authStart("PLAIN", response, refusal, &reply, &challenge))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, true);
    if (!reply.isOk())
        return cancelAuth(invalidAuthReply());
    return std::nullopt;
}

Pop3Session::Step Pop3Session::scram(Mechanism mechanism, Refusal *refusal)
{
    const bool sha256 = mechanism == Mechanism::ScramSha256;
    Scram exchange(sha256 ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1, m_settings.user,
                   m_settings.password, m_settings.scramNonce);
    const QString name = QStringLiteral("AUTH");
    Pop3Reply reply;
    QByteArray serverFirst;
    if (Step end = authStart(sha256 ? "SCRAM-SHA-256" : "SCRAM-SHA-1", exchange.clientFirst(),
                             refusal, &reply, &serverFirst))
        return end;
    if (reply.isErr()) {
        // Nothing but the login name and a nonce has gone out yet.
        if (reply.code.isEmpty())
            *refusal = Refusal::AtStart;
        return Pop3Outcome::loginRefused(reply, false);
    }
    if (reply.isOk())
        return notProven();
    QByteArray clientFinal = exchange.respond(serverFirst);
    const WipedBytes wipeClientFinal(clientFinal);
    if (clientFinal.isEmpty())
        return cancelAuth(scramFailure(exchange));

    QByteArray serverFinal;
    QByteArray encoded = clientFinal.toBase64();
    const WipedBytes wipeEncoded(encoded);
    if (Step end = send({encoded}))
        return end;
    if (Step end = receive(name, &reply, &serverFinal))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, true);
    if (reply.isOk())
        return notProven();
    if (!exchange.verify(serverFinal))
        return cancelAuth(scramFailure(exchange));
    // The server knows the password: it gave SCRAM, whatever it says next.
    m_given = Pop3Login::protection(mechanism, m_channel.isEncrypted());

    // The empty response that ends the exchange, and the server's verdict.
    if (Step end = send({QByteArray()}))
        return end;
    if (Step end = receive(name, &reply))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, true);
    return std::nullopt;
}

// Ends an exchange half-way with "*" (RFC 5034 §4) and reads the server's -ERR to it.
Pop3Session::Step Pop3Session::cancelAuth(const Pop3Outcome &outcome)
{
    Pop3Reply ignored;
    if (!send({"*"}))
        (void)receive(QStringLiteral("AUTH"), &ignored);
    return outcome;
}
