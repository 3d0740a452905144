#include "Tarvik.h"

#include "Pop3Channel.h"
#include "Pop3Codes.h"
#include "Pop3Reply.h"

#include <QDeadlineTimer>

namespace {

using Result = Pop3Channel::Result;

// What the status line can show.
constexpr int maxStatus = 45;
// QUIT and the disconnect after it wait at most this long: the mailbox has been read by
// then, or the check has already failed.
constexpr int farewellMs = 2000;

struct Outcome {
    int code = Pop3Code::Ok;
    QString status;
    qint64 count = 0;
};

struct Settings {
    QString host;
    quint16 port = 0;
    QByteArray user;
    QByteArray password;
    int timeoutSeconds = 0;
};

QString fitted(const QString &prefix, const QByteArray &text, const QString &fallback)
{
    const QString shown = Pop3Reply::displayText(text, maxStatus - int(prefix.size()));
    return shown.isEmpty() ? fallback : prefix + shown;
}

bool isUnsafe(const QString &text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

// USER and PASS arguments go out as Latin-1 when every character fits in it, since that is
// what servers with 8-bit logins have always compared against; anything beyond U+00FF is
// sent as UTF-8. Neither encoding can produce CR, LF or NUL from other characters.
QByteArray wireText(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return text.toUtf8();
    }
    return text.toLatin1();
}

class Conversation {
public:
    Conversation(Pop3Channel &channel, const Settings &settings)
        : m_channel(channel)
        , m_settings(settings)
    {
    }

    Outcome run()
    {
        Outcome outcome = converse();
        const int farewell = qMin(m_settings.timeoutSeconds * 1000, farewellMs);
        if (m_farewell != Farewell::None && m_channel.isConnected()) {
            const QDeadlineTimer deadline(farewell);
            if (m_channel.writeLine("QUIT", deadline) == Result::Ok &&
                m_farewell == Farewell::QuitAndWait) {
                QByteArray ignored;
                m_channel.readLine(&ignored, deadline);
            }
        }
        m_channel.close(QDeadlineTimer(farewell));
        return outcome;
    }

private:
    enum class Farewell { None, Quit, QuitAndWait };

    QDeadlineTimer deadline() const { return QDeadlineTimer(m_settings.timeoutSeconds * 1000); }

    Outcome failure(int code, const QString &status) { return Outcome{code, status, 0}; }

    Outcome socketFailure(Result result, const QString &closedStatus)
    {
        switch (result) {
        case Result::Cancelled:
            return failure(Pop3Code::Cancelled, QStringLiteral("Check cancelled."));
        case Result::Closed:
            return failure(Pop3Code::ConnectionLost, closedStatus);
        default:
            return failure(Pop3Code::NetworkError, fitted(QStringLiteral("Network error: "),
                                                          m_channel.errorString().toUtf8(),
                                                          QStringLiteral("Network error.")));
        }
    }

    Outcome converse()
    {
        Result result = m_channel.open(m_settings.host, m_settings.port, deadline());
        switch (result) {
        case Result::Ok:
            break;
        case Result::HostNotFound:
            return failure(Pop3Code::HostNotFound,
                           fitted(QStringLiteral("Server not found: "), m_settings.host.toUtf8(),
                                  QStringLiteral("Server not found.")));
        case Result::Refused:
            return failure(Pop3Code::ConnectionRefused,
                           QStringLiteral("Connection refused by the server."));
        case Result::TimedOut:
            return failure(Pop3Code::TimedOut,
                           QStringLiteral("Timed out connecting to the server."));
        default:
            return socketFailure(result, QStringLiteral("Connection closed by the server."));
        }

        QByteArray line;
        result = m_channel.readLine(&line, deadline());
        switch (result) {
        case Result::Ok:
            break;
        case Result::TimedOut:
            return failure(Pop3Code::NoData, QStringLiteral("No greeting from the server in %1 s.")
                                                 .arg(m_settings.timeoutSeconds));
        case Result::Closed:
            return failure(Pop3Code::NoData, QStringLiteral("Server closed without a greeting."));
        case Result::TooLong:
            return failure(Pop3Code::BadReply,
                           QStringLiteral("Greeting from the server too long."));
        default:
            return socketFailure(result, QString());
        }
        const Pop3Reply greeting = Pop3Reply::parse(line);
        if (!greeting.isValid())
            return failure(Pop3Code::BadReply, QStringLiteral("Invalid greeting from the server."));
        if (greeting.isErr())
            return failure(Pop3Code::ServerError,
                           fitted(QStringLiteral("Server refused: "), greeting.text,
                                  QStringLiteral("Server refused the connection.")));

        // Past the greeting the server expects a QUIT, whatever happens next.
        m_farewell = Farewell::QuitAndWait;

        Pop3Reply reply;
        if (!exchange("USER " + m_settings.user, "USER", &reply))
            return m_failure;
        if (reply.isErr())
            return loginRefused(reply, QStringLiteral("Login refused: "),
                                QStringLiteral("Login refused by the server."));
        if (!exchange("PASS " + m_settings.password, "PASS", &reply))
            return m_failure;
        if (reply.isErr())
            return loginRefused(reply, QStringLiteral("Password refused: "),
                                QStringLiteral("Password refused by the server."));
        if (!exchange("STAT", "STAT", &reply))
            return m_failure;
        if (reply.isErr())
            return failure(Pop3Code::ServerError,
                           fitted(QStringLiteral("STAT failed: "), reply.text,
                                  QStringLiteral("The server refused STAT.")));

        qint64 count = 0;
        if (!Pop3Reply::parseStatCount(reply.text, &count))
            return failure(Pop3Code::BadCount,
                           QStringLiteral("Invalid message count from the server."));
        return Outcome{Pop3Code::Ok, QStringLiteral("Mailbox checked."), count};
    }

    Outcome loginRefused(const Pop3Reply &reply, const QString &prefix, const QString &fallback)
    {
        // RFC 2449: IN-USE means the login was right but the mailbox is locked.
        const bool inUse = reply.code == "IN-USE";
        return failure(Pop3Code::LoginRefused,
                       fitted(inUse ? QStringLiteral("Mailbox in use: ") : prefix, reply.text,
                              inUse ? QStringLiteral("Mailbox in use.") : fallback));
    }

    // Sends one command and reads a well-formed reply (+OK or -ERR). On failure m_failure
    // says why and m_farewell says whether a QUIT can still be sent.
    bool exchange(const QByteArray &command, const QString &name, Pop3Reply *reply)
    {
        // One deadline for sending the command and reading its reply.
        const QDeadlineTimer step = deadline();
        QByteArray line;
        Result result = m_channel.writeLine(command, step);
        if (result == Result::Ok)
            result = m_channel.readLine(&line, step);
        switch (result) {
        case Result::Ok:
            *reply = Pop3Reply::parse(line);
            if (reply->isValid())
                return true;
            m_failure = failure(Pop3Code::BadReply,
                                QStringLiteral("Invalid reply to %1 from the server.").arg(name));
            return false;
        case Result::TimedOut:
            // A late reply would be taken for the reply to QUIT: do not wait for that one.
            m_farewell = Farewell::Quit;
            m_failure = failure(
                Pop3Code::TimedOut,
                QStringLiteral("No reply to %1 in %2 s.").arg(name).arg(m_settings.timeoutSeconds));
            return false;
        case Result::TooLong:
            m_farewell = Farewell::Quit;
            m_failure =
                failure(Pop3Code::BadReply, QStringLiteral("Reply to %1 too long.").arg(name));
            return false;
        default:
            m_farewell = Farewell::None;
            m_failure = socketFailure(
                result, QStringLiteral("Server closed the connection after %1.").arg(name));
            return false;
        }
    }

    Pop3Channel &m_channel;
    const Settings &m_settings;
    Farewell m_farewell = Farewell::None;
    Outcome m_failure;
};

} // namespace

Tarvik::~Tarvik()
{
    *m_alive = false;
    if (m_channel)
        m_channel->cancel();
}

void Tarvik::popCheck()
{
    if (m_checking) {
        m_error = Pop3Code::Busy;
        m_status = QStringLiteral("A check is already running.");
        return;
    }

    m_count = 0;
    const auto refuse = [this](int code, const QString &status) {
        m_error = code;
        m_status = status;
    };
    if (isUnsafe(m_host))
        return refuse(Pop3Code::UnsafeInput,
                      QStringLiteral("Line break or NUL in the server name."));
    if (isUnsafe(m_user))
        return refuse(Pop3Code::UnsafeInput, QStringLiteral("Line break or NUL in the login."));
    if (isUnsafe(m_password))
        return refuse(Pop3Code::UnsafeInput, QStringLiteral("Line break or NUL in the password."));
    if (m_host.trimmed().isEmpty())
        return refuse(Pop3Code::NoHost, QStringLiteral("No server name given."));

    const Settings settings{m_host.trimmed(), quint16(m_port), wireText(m_user),
                            wireText(m_password), m_timeout};

    m_checking = true;
    m_error = Pop3Code::Busy;
    m_status = QStringLiteral("Checking the mailbox...");
    // Both stay alive on this stack frame even if this object is destroyed by code that
    // runs while the conversation waits.
    const std::shared_ptr<bool> alive = m_alive;
    const auto channel = std::make_shared<Pop3Channel>();
    m_channel = channel;

    const Outcome outcome = Conversation(*channel, settings).run();
    if (!*alive)
        return;

    m_channel.reset();
    m_checking = false;
    m_error = outcome.code;
    m_status = outcome.status;
    m_count = outcome.count;
}

void Tarvik::popClose()
{
    if (m_checking)
        return;
    if (m_channel) {
        m_channel->abort();
        m_channel.reset();
    }
}
