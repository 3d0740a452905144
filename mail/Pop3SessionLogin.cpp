// The login step of Pop3Session: the mechanisms of Pop3Login, tried in their order.
#include "Pop3Session.h"

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
// out (a bare -ERR to the AUTH command itself), or a bare -ERR or [AUTH] to APOP, moves on
// to the next one, down to USER/PASS. APOP's [AUTH] says that the APOP secret did not
// match, and that secret is often not the login password: servers stamp their greeting
// whether or not the account has one (GNU pop3d answers "-ERR [AUTH] Bad login"). A wrong
// password then gets its [AUTH] at PASS. Before a mechanism starts, the protection it
// would give is weighed against what the server gave before: a weaker one ends the check
// with nothing secret sent, which is all a man in the middle gets for stripping STLS,
// SCRAM or the APOP timestamp.
Pop3Session::Step Pop3Session::login(const Pop3Capa &capa, Mechanism *used)
{
    const bool encrypted = m_channel.isEncrypted();
    const QByteArrayList tail = m_pipelining ? QByteArrayList{"STAT", "QUIT"} : QByteArrayList();
    const QList<Mechanism> candidates = Pop3Login::candidates(capa, encrypted, m_greeting);
    // APOP's [AUTH] refusal, kept for when the server may not be tried any further: then
    // the password is what was wrong, not the protection.
    Step refusal;
    for (const Mechanism mechanism : candidates) {
        const Protection level = Pop3Login::protection(mechanism, encrypted);
        if (level < m_settings.remembered) {
            if (refusal)
                return refusal;
            return Pop3Outcome::failure(Pop3Code::ProtectionLowered,
                                        ProtectionText::lowered(m_settings.remembered));
        }
        *used = mechanism;
        bool refusedAtStart = false;
        bool apopSecretRefused = false;
        Step end;
        switch (mechanism) {
        case Mechanism::UserPass:
            end = userPass(tail);
            break;
        case Mechanism::Apop:
            end = apop(&refusedAtStart, &apopSecretRefused);
            break;
        case Mechanism::Plain:
            end = authPlain(tail, &refusedAtStart);
            break;
        case Mechanism::ScramSha256:
        case Mechanism::ScramSha1:
            end = scram(mechanism, tail, &refusedAtStart);
            break;
        }
        if (!refusedAtStart) {
            if (!end)
                m_given = level;
            return end;
        }
        refusal = apopSecretRefused ? end : std::nullopt;
    }
    // USER/PASS comes last and never moves on.
    return Pop3Outcome::failure(Pop3Code::LoginRefused,
                                QStringLiteral("Login refused by the server."));
}

Pop3Session::Step Pop3Session::userPass(const QByteArrayList &tail)
{
    const QByteArray user = "USER " + Pop3Login::legacyText(m_settings.user);
    QByteArray secret = Pop3Login::legacyText(m_settings.password);
    QByteArray pass = joined({"PASS ", secret});
    secureWipe(secret);
    const WipedBytes wipePass(pass);
    Pop3Reply reply;
    if (m_pipelining) {
        if (Step end = send(QByteArrayList{user, pass} + tail, QStringLiteral("USER")))
            return end;
    } else if (Step end = send({user}, QStringLiteral("USER"))) {
        return end;
    }
    if (Step end = receive(QStringLiteral("USER"), &reply))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, false);
    if (!m_pipelining) {
        if (Step end = send({pass}, QStringLiteral("PASS")))
            return end;
    }
    if (Step end = receive(QStringLiteral("PASS"), &reply))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, true);
    return std::nullopt;
}

// APOP goes alone, even to a server that pipelines: a refusal of it moves on to the next
// mechanism on the same connection, which a STAT and QUIT sent along would have ended.
Pop3Session::Step Pop3Session::apop(bool *refusedAtStart, bool *secretRefused)
{
    const QString name = QStringLiteral("APOP");
    QByteArray secret = Pop3Login::legacyText(m_settings.password);
    QByteArray command = Pop3Login::apopCommand(Pop3Login::apopTimestamp(m_greeting),
                                                Pop3Login::legacyText(m_settings.user), secret);
    secureWipe(secret);
    const WipedBytes wipeCommand(command);
    Pop3Reply reply;
    if (Step end = send({command}, name))
        return end;
    if (Step end = receive(name, &reply))
        return end;
    if (reply.isErr()) {
        const QByteArray code = reply.code.toUpper();
        *secretRefused = code == "AUTH" || code.startsWith("AUTH/");
        *refusedAtStart = reply.code.isEmpty() || *secretRefused;
        return Pop3Outcome::loginRefused(reply, true);
    }
    return std::nullopt;
}

// "AUTH mechanism initial-response", or without it and then the response to the server's
// empty challenge when the line would be too long. *reply is the server's answer to the
// initial response: +OK, -ERR or (reply invalid) the challenge in *challenge. When the
// initial response is the last step, tail goes with it.
Pop3Session::Step Pop3Session::authStart(const QByteArray &mechanism, const QByteArray &initial,
                                         const QByteArrayList &tail, bool *refusedAtStart,
                                         Pop3Reply *reply, QByteArray *challenge)
{
    const QString name = QStringLiteral("AUTH");
    QByteArray encoded = initial.isEmpty() ? QByteArray("=") : initial.toBase64();
    const WipedBytes wipeEncoded(encoded);
    QByteArray command = joined({"AUTH ", mechanism, " ", encoded});
    const WipedBytes wipeCommand(command);
    if (command.size() + 2 <= maxAuthLine) {
        if (Step end = send(QByteArrayList{command} + tail, name))
            return end;
    } else {
        if (Step end = send({"AUTH " + mechanism}, name))
            return end;
        if (Step end = receive(name, reply, challenge))
            return end;
        if (reply->isErr()) {
            *refusedAtStart = reply->code.isEmpty();
            return Pop3Outcome::loginRefused(*reply, false);
        }
        if (reply->isOk() || !challenge->isEmpty())
            return cancelAuth(Pop3Outcome::failure(
                Pop3Code::BadReply, QStringLiteral("Invalid reply to AUTH from the server.")));
        if (Step end = send(QByteArrayList{encoded} + tail, name))
            return end;
    }
    return receive(name, reply, challenge);
}

Pop3Session::Step Pop3Session::authPlain(const QByteArrayList &tail, bool *refusedAtStart)
{
    Pop3Reply reply;
    QByteArray challenge;
    QByteArray response = Pop3Login::plainMessage(m_settings.user, m_settings.password);
    const WipedBytes wipeResponse(response);
    if (Step end = authStart("PLAIN", response, tail, refusedAtStart, &reply, &challenge))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, true);
    if (!reply.isOk())
        return cancelAuth(Pop3Outcome::failure(
            Pop3Code::BadReply, QStringLiteral("Invalid reply to AUTH from the server.")));
    return std::nullopt;
}

Pop3Session::Step Pop3Session::scram(Mechanism mechanism, const QByteArrayList &tail,
                                     bool *refusedAtStart)
{
    const bool sha256 = mechanism == Mechanism::ScramSha256;
    Scram exchange(sha256 ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1, m_settings.user,
                   m_settings.password, m_settings.scramNonce);
    const QString name = QStringLiteral("AUTH");
    Pop3Reply reply;
    QByteArray serverFirst;
    if (Step end = authStart(sha256 ? "SCRAM-SHA-256" : "SCRAM-SHA-1", exchange.clientFirst(), {},
                             refusedAtStart, &reply, &serverFirst))
        return end;
    if (reply.isErr()) {
        // Nothing but the login name and a nonce has gone out yet.
        *refusedAtStart = reply.code.isEmpty();
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
    if (Step end = send({encoded}, name))
        return end;
    if (Step end = receive(name, &reply, &serverFinal))
        return end;
    if (reply.isErr())
        return Pop3Outcome::loginRefused(reply, true);
    if (reply.isOk())
        return notProven();
    if (!exchange.verify(serverFinal))
        return cancelAuth(scramFailure(exchange));

    return finishLogin(QByteArrayList{QByteArray()} + tail, name);
}

Pop3Session::Step Pop3Session::finishLogin(const QByteArrayList &lines, const QString &name)
{
    Pop3Reply reply;
    if (Step end = send(lines, name))
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
    if (send({"*"}, QStringLiteral("AUTH")))
        return outcome;
    if (receive(QStringLiteral("AUTH"), &ignored))
        return outcome;
    return outcome;
}
