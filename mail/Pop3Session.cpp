#include "Pop3Session.h"

#include "Pop3Capa.h"
#include "Pop3Reply.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPop3, "morvex.pop3", QtInfoMsg)

namespace {

using Result = Pop3Channel::Result;

// QUIT and the disconnect after it wait at most this long: the mailbox has been read by
// then, or the check has already failed.
constexpr int farewellMs = 2000;

} // namespace

Pop3Session::Pop3Session(Pop3Channel &channel, const Pop3SessionSettings &settings)
    : m_channel(channel)
    , m_settings(settings)
{
}

QDeadlineTimer Pop3Session::deadline() const
{
    return QDeadlineTimer(m_settings.timeoutSeconds * 1000);
}

Pop3Outcome Pop3Session::run()
{
    const Pop3Outcome outcome = converse();
    sayGoodbye();
    return outcome;
}

void Pop3Session::sayGoodbye()
{
    const int farewell = qMin(m_settings.timeoutSeconds * 1000, farewellMs);
    if (m_farewell != Farewell::None && m_channel.isConnected()) {
        const QDeadlineTimer limit(farewell);
        bool sent = m_quitSent;
        if (!sent && m_channel.writeLine("QUIT", limit) == Result::Ok) {
            qCDebug(lcPop3, "C: QUIT");
            sent = true;
            ++m_unanswered;
        }
        // The replies still under way, QUIT's last: read them, so the server is not cut
        // off in the middle of answering.
        while (sent && m_farewell == Farewell::QuitAndWait && m_unanswered > 0) {
            QByteArray ignored;
            if (m_channel.readLine(&ignored, limit) != Result::Ok)
                break;
            --m_unanswered;
        }
    }
    m_channel.close(QDeadlineTimer(farewell));
}

Pop3Outcome Pop3Session::converse()
{
    if (Step end = connect())
        return *end;
    if (Step end = greeting())
        return *end;
    // Past the greeting the server expects a QUIT, whatever happens next.
    m_farewell = Farewell::QuitAndWait;
    Pop3Capa capa;
    if (!m_settings.address.implicitTls()) {
        if (Step end = upgrade(&capa))
            return *end;
    } else if (Step end = capabilities(&capa)) {
        return *end;
    }
    // Still in the clear: a rival with implicit TLS may yet take the check.
    if (!m_channel.isEncrypted()) {
        const Result claimed = m_channel.claim(deadline());
        if (claimed != Result::Ok)
            return socketFailure(claimed, QString());
    }
    m_pipelining = capa.hasPipelining();
    Mechanism used = Mechanism::UserPass;
    if (Step end = login(capa, &used))
        return *end;
    return stat(used);
}

Pop3Outcome Pop3Session::failure(Result result, const QString &closedStatus,
                                 const QString &errorString)
{
    switch (result) {
    case Result::Cancelled:
    case Result::Superseded:
        return Pop3Outcome::failure(Pop3Code::Cancelled, QStringLiteral("Check cancelled."));
    case Result::Closed:
        return Pop3Outcome::failure(Pop3Code::ConnectionLost, closedStatus);
    default:
        return Pop3Outcome::failure(Pop3Code::NetworkError,
                                    Pop3Outcome::fitted(QStringLiteral("Network error: "),
                                                        errorString.toUtf8(),
                                                        QStringLiteral("Network error.")));
    }
}

Pop3Outcome Pop3Session::socketFailure(Result result, const QString &closedStatus)
{
    return failure(result, closedStatus, m_channel.errorString());
}

Pop3Outcome Pop3Session::notConnected(Result result, const QString &host,
                                      const QString &errorString)
{
    switch (result) {
    case Result::HostNotFound:
        return Pop3Outcome::failure(Pop3Code::HostNotFound,
                                    Pop3Outcome::fitted(QStringLiteral("Server not found: "),
                                                        host.toUtf8(),
                                                        QStringLiteral("Server not found.")));
    case Result::Refused:
        return Pop3Outcome::failure(Pop3Code::ConnectionRefused,
                                    QStringLiteral("Connection refused by the server."));
    case Result::TimedOut:
        return Pop3Outcome::failure(Pop3Code::TimedOut,
                                    QStringLiteral("Timed out connecting to the server."));
    default:
        return failure(result, QStringLiteral("Connection closed by the server."), errorString);
    }
}

Pop3Session::Step Pop3Session::connect()
{
    // A connection made beside this session (implicit TLS that won a race) starts here
    // with TLS up.
    if (!m_channel.isConnected()) {
        const QString &host = m_settings.address.host();
        const Result result = m_channel.open(host, m_settings.address.port(), deadline());
        if (result != Result::Ok) {
            if (m_settings.rememberedTlsPort &&
                (result == Result::Refused || result == Result::TimedOut ||
                 result == Result::Failed))
                return Pop3Outcome::failure(
                    Pop3Code::TlsPortUnreachable,
                    QStringLiteral("TLS port %1 unreachable; 110 not tried.")
                        .arg(m_settings.address.port()));
            return notConnected(result, host, m_channel.errorString());
        }
    }
    if (m_settings.address.implicitTls() && !m_channel.isEncrypted())
        return startTls(false);
    return std::nullopt;
}

Pop3Outcome Pop3Session::notEncrypted(Result result, bool stls, int timeoutSeconds,
                                      const QList<QSslError> &errors, const QString &errorString)
{
    switch (result) {
    case Result::TlsFailed:
        return Pop3Outcome::tlsFailed(errors, stls);
    case Result::TimedOut:
        return Pop3Outcome::failure(stls ? Pop3Code::StlsFailed : Pop3Code::TimedOut,
                                    QStringLiteral("%1 handshake timed out after %2 s.")
                                        .arg(stls ? QStringLiteral("STLS") : QStringLiteral("TLS"))
                                        .arg(timeoutSeconds));
    default:
        return failure(result, QStringLiteral("Server closed during the TLS handshake."),
                       errorString);
    }
}

Pop3Session::Step Pop3Session::startTls(bool stls)
{
    const Result result =
        m_channel.startTls(m_settings.address.host(), m_settings.extraCas, deadline());
    if (result == Result::Ok)
        return std::nullopt;
    m_farewell = Farewell::None;
    return notEncrypted(result, stls, m_settings.timeoutSeconds, m_channel.tlsErrors(),
                        m_channel.errorString());
}

Pop3Session::Step Pop3Session::greeting()
{
    QByteArray line;
    const Result result = m_channel.readLine(&line, deadline());
    switch (result) {
    case Result::Ok:
        break;
    case Result::TimedOut:
        return Pop3Outcome::failure(
            Pop3Code::NoData,
            QStringLiteral("No greeting from the server in %1 s.").arg(m_settings.timeoutSeconds));
    case Result::Closed:
        return Pop3Outcome::failure(Pop3Code::NoData,
                                    QStringLiteral("Server closed without a greeting."));
    case Result::TooLong:
        return Pop3Outcome::failure(Pop3Code::BadReply,
                                    QStringLiteral("Greeting from the server too long."));
    default:
        return socketFailure(result, QString());
    }
    const Pop3Reply reply = Pop3Reply::parse(line);
    if (!reply.isValid())
        return Pop3Outcome::failure(Pop3Code::BadReply,
                                    QStringLiteral("Invalid greeting from the server."));
    m_greeting = reply.text;
    m_greeted = true;
    if (reply.isErr())
        return Pop3Outcome::failure(
            Pop3Code::ServerError,
            Pop3Outcome::fitted(QStringLiteral("Server refused: "), reply.text,
                                QStringLiteral("Server refused the connection.")));
    return std::nullopt;
}

// A plain connection: ask what the server can do, and move to TLS if it offers STLS.
Pop3Session::Step Pop3Session::upgrade(Pop3Capa *capa)
{
    if (Step end = capabilities(capa))
        return end;
    if (!capa->hasStls())
        return std::nullopt;

    Pop3Reply reply;
    if (Step end = send({"STLS"}))
        return end;
    if (Step end = receive(QStringLiteral("STLS"), &reply))
        return end;
    if (reply.isErr())
        return Pop3Outcome::failure(Pop3Code::StlsFailed,
                                    QStringLiteral("Server refused STLS; login not sent."));
    if (Step end = startTls(true))
        return end;
    // What the server said before the handshake no longer counts (RFC 2595 §4).
    *capa = Pop3Capa();
    return capabilities(capa);
}

// CAPA and its list. A server without CAPA (-ERR) leaves capa empty.
Pop3Session::Step Pop3Session::capabilities(Pop3Capa *capa)
{
    // The whole list is one reply, under one deadline.
    const QDeadlineTimer step = deadline();
    const QString name = QStringLiteral("CAPA");
    Pop3Reply reply;
    if (Step end = send({"CAPA"}))
        return end;
    if (Step end = receive(name, &reply))
        return end;
    if (reply.isErr())
        return std::nullopt;
    while (capa->state() == Pop3Capa::State::More) {
        QByteArray line;
        if (Step end = readLine(&line, name, step))
            return end;
        capa->feed(line);
    }
    if (capa->state() == Pop3Capa::State::Overflow) {
        m_farewell = Farewell::Quit;
        return Pop3Outcome::failure(Pop3Code::BadReply, QStringLiteral("Reply to CAPA too long."));
    }
    return std::nullopt;
}

// STAT after the login's answer, with QUIT when the server pipelines.
Pop3Outcome Pop3Session::stat(Mechanism used)
{
    const QString name = QStringLiteral("STAT");
    if (Step end = send(m_pipelining ? QByteArrayList{"STAT", "QUIT"} : QByteArrayList{"STAT"}))
        return *end;
    Pop3Reply reply;
    if (Step end = receive(name, &reply))
        return *end;
    if (reply.isErr())
        return Pop3Outcome::failure(
            Pop3Code::ServerError, Pop3Outcome::fitted(QStringLiteral("STAT failed: "), reply.text,
                                                       QStringLiteral("The server refused STAT.")));
    qint64 count = 0;
    if (!Pop3Reply::parseStatCount(reply.text, &count))
        return Pop3Outcome::failure(Pop3Code::BadCount,
                                    QStringLiteral("Invalid message count from the server."));
    return Pop3Outcome{Pop3Code::Ok, Pop3Login::checkedStatus(used, m_channel.isEncrypted()),
                       count};
}

namespace {

// The command word of a line as sent, without copying the line (it may hold a password
// or a proof); empty for a line of a SASL exchange, which has none.
QByteArrayView commandWord(QByteArrayView line)
{
    const qsizetype blank = line.indexOf(' ');
    const QByteArrayView word = blank < 0 ? line : line.first(blank);
    if (word.isEmpty() || word.size() > 4)
        return QByteArrayView();
    for (const char c : word) {
        if (c < 'A' || c > 'Z')
            return QByteArrayView();
    }
    return word;
}

// For the dialogue log: the command words of a flight, and AUTH's mechanism name.
QByteArray flightWords(const QByteArrayList &lines)
{
    QByteArray words;
    for (const QByteArray &line : lines) {
        const QByteArrayView word = commandWord(line);
        if (!words.isEmpty())
            words += ' ';
        if (word.isEmpty()) {
            words += "[SASL]";
            continue;
        }
        words += word;
        if (word == "AUTH") {
            const QByteArrayView rest = QByteArrayView(line).sliced(word.size());
            const qsizetype end = rest.indexOf(' ', 1);
            words += end < 0 ? rest : rest.first(end);
        }
    }
    return words;
}

} // namespace

Pop3Session::Step Pop3Session::send(const QByteArrayList &lines)
{
    // A reply nobody asked for: the server has lost its place in the dialogue, and
    // whatever it says next would be taken for the answer to the wrong command.
    if (m_unanswered == 0 && m_channel.hasInput()) {
        m_farewell = Farewell::Quit;
        return Pop3Outcome::failure(
            Pop3Code::BadReply,
            m_lastSent.isEmpty()
                ? QStringLiteral("Unexpected reply from the server.")
                : QStringLiteral("Unexpected reply from the server after %1.").arg(m_lastSent));
    }
    if (lcPop3().isDebugEnabled())
        qCDebug(lcPop3, "C: %s", flightWords(lines).constData());
    const Result result = m_channel.writeLines(lines, deadline());
    if (result != Result::Ok) {
        m_farewell = Farewell::None;
        return socketFailure(result, closedAfter(m_lastSent));
    }
    for (const QByteArray &line : lines) {
        const QByteArrayView word = commandWord(line);
        m_lastSent = word.isEmpty() ? QStringLiteral("AUTH") : QString::fromLatin1(word);
        m_quitSent = m_quitSent || word == "QUIT";
    }
    m_unanswered += int(lines.size());
    return std::nullopt;
}

QString Pop3Session::closedAfter(const QString &name) const
{
    return name.isEmpty() ? QStringLiteral("Server closed the connection.")
                          : QStringLiteral("Server closed the connection after %1.").arg(name);
}

Pop3Session::Step Pop3Session::receive(const QString &name, Pop3Reply *reply, QByteArray *challenge)
{
    QByteArray line;
    if (Step end = readLine(&line, name, deadline()))
        return end;
    --m_unanswered;
    ++m_replies;
    *reply = Pop3Reply::parse(line);
    if (reply->isValid()) {
        qCDebug(lcPop3, "S: %s%s%s", reply->isOk() ? "+OK" : "-ERR",
                reply->code.isEmpty() ? "" : " ", reply->code.constData());
        return std::nullopt;
    }
    if (challenge && (line == "+" || line.startsWith("+ "))) {
        qCDebug(lcPop3, "S: + [SASL]");
        const auto decoded = QByteArray::fromBase64Encoding(
            line.mid(2).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
        if (decoded) {
            *challenge = *decoded;
            return std::nullopt;
        }
    }
    m_farewell = Farewell::Quit;
    return Pop3Outcome::failure(Pop3Code::BadReply,
                                QStringLiteral("Invalid reply to %1 from the server.").arg(name));
}

Pop3Session::Step Pop3Session::readLine(QByteArray *line, const QString &name, QDeadlineTimer step)
{
    const Result result = m_channel.readLine(line, step);
    switch (result) {
    case Result::Ok:
        return std::nullopt;
    case Result::TimedOut:
        // A late reply would be taken for the reply to QUIT: do not wait for that one.
        m_farewell = Farewell::Quit;
        return Pop3Outcome::failure(
            Pop3Code::TimedOut,
            QStringLiteral("No reply to %1 in %2 s.").arg(name).arg(m_settings.timeoutSeconds));
    case Result::TooLong:
        m_farewell = Farewell::Quit;
        return Pop3Outcome::failure(Pop3Code::BadReply,
                                    QStringLiteral("Reply to %1 too long.").arg(name));
    default:
        m_farewell = Farewell::None;
        return socketFailure(result, closedAfter(name));
    }
}
