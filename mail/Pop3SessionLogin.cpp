// The login step of Pop3Session: the mechanisms of Pop3Login, tried in their order.
#include "Pop3Session.h"

#include "Pop3Capa.h"
#include "Pop3Reply.h"
#include "Scram.h"

namespace {

// A command line with an initial response may hold at most this many octets (RFC 5034 §4);
// a longer response waits for the server's empty challenge instead.
constexpr int maxAuthLine = 255;

Pop3Outcome secureLoginRefused()
{
    return Pop3Outcome::failure(Pop3Code::NoSafeLogin,
                                QStringLiteral("Secure login refused; password not sent."));
}

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

// Tries the candidates in order. Only a refusal that came before any password or proof
// went out (a bare -ERR to the AUTH command itself) moves on to the next one; the list
// never holds USER/PASS in the clear beside a better mechanism, so that move can neither
// leave TLS nor put the password on the wire in the clear.
Pop3Session::Step Pop3Session::login(const Pop3Capa &capa, Mechanism *used)
{
    const QByteArrayList tail = m_pipelining ? QByteArrayList{"STAT", "QUIT"} : QByteArrayList();
    const QList<Mechanism> candidates =
        Pop3Login::candidates(capa, m_channel.isEncrypted(), m_greeting);
    for (const Mechanism mechanism : candidates) {
        *used = mechanism;
        bool refusedAtStart = false;
        Step end;
        switch (mechanism) {
        case Mechanism::UserPass:
            end = userPass(tail);
            break;
        case Mechanism::Apop:
            end = apop(tail);
            break;
        case Mechanism::Plain:
            end = authPlain(tail, &refusedAtStart);
            break;
        case Mechanism::ScramSha256:
        case Mechanism::ScramSha1:
            end = scram(mechanism, tail, &refusedAtStart);
            break;
        }
        if (!refusedAtStart)
            return end;
    }
    return secureLoginRefused();
}

Pop3Session::Step Pop3Session::userPass(const QByteArrayList &tail)
{
    const QByteArray user = "USER " + Pop3Login::legacyText(m_settings.user);
    const QByteArray pass = "PASS " + Pop3Login::legacyText(m_settings.password);
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

Pop3Session::Step Pop3Session::apop(const QByteArrayList &tail)
{
    const QString name = QStringLiteral("APOP");
    const QByteArray command = Pop3Login::apopCommand(Pop3Login::apopTimestamp(m_greeting),
                                                      Pop3Login::legacyText(m_settings.user),
                                                      Pop3Login::legacyText(m_settings.password));
    return finishLogin(QByteArrayList{command} + tail, name);
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
    const QByteArray encoded = initial.isEmpty() ? QByteArray("=") : initial.toBase64();
    const QByteArray command = "AUTH " + mechanism + ' ' + encoded;
    if (command.size() <= maxAuthLine) {
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
    const QByteArray response =
        QByteArray::fromBase64(Pop3Login::plainResponse(m_settings.user, m_settings.password));
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
    const QByteArray clientFinal = exchange.respond(serverFirst);
    if (clientFinal.isEmpty())
        return cancelAuth(scramFailure(exchange));

    QByteArray serverFinal;
    if (Step end = send({clientFinal.toBase64()}, name))
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
