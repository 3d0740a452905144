#include "Pop3Channel.h"

#include "AddressRace.h"
#include "SecureWipe.h"
#include "TlsAttempt.h"
#include "TlsClient.h"

#include <QEventLoop>
#include <QSslSocket>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// Qt keeps at most this much unread input per socket; lines are taken from it one at a
// time, so a server that floods us cannot grow memory without bound.
constexpr qint64 socketReadBuffer = 16 * 1024;

bool isUnsafeLine(const QByteArray &line)
{
    return line.contains('\r') || line.contains('\n') || line.contains('\0');
}

} // namespace

Pop3Channel::Pop3Channel(QObject *parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &Pop3Channel::wake);
}

Pop3Channel::~Pop3Channel()
{
    // No signal of a dying socket may reach this half-destroyed object.
    dropSocket();
    abort();
}

void Pop3Channel::adopt(QSslSocket *socket)
{
    dropSocket();
    m_rival = nullptr;
    m_superseded = false;
    m_claimed = false;
    m_buffer.clear();
    m_tlsErrors.clear();
    m_socket = socket;
    socket->setParent(this);
    socket->setReadBufferSize(socketReadBuffer);
    connect(socket, &QAbstractSocket::connected, this, &Pop3Channel::wake);
    connect(socket, &QAbstractSocket::disconnected, this, &Pop3Channel::wake);
    connect(socket, &QAbstractSocket::stateChanged, this, &Pop3Channel::wake);
    connect(socket, &QAbstractSocket::errorOccurred, this, &Pop3Channel::wake);
    connect(socket, &QIODevice::readyRead, this, &Pop3Channel::wake);
    connect(socket, &QIODevice::bytesWritten, this, &Pop3Channel::wake);
    connect(socket, &QSslSocket::encrypted, this, &Pop3Channel::wake);
    connect(socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        // Not ignored: the socket ends the handshake right after this signal.
        m_tlsErrors = errors;
        wake();
    });
}

void Pop3Channel::dropSocket()
{
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->abort();
    delete m_socket;
    m_socket = nullptr;
}

void Pop3Channel::retire()
{
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->disconnectFromHost();
    m_retired.append(m_socket);
    m_socket = nullptr;
    m_buffer.clear();
}

void Pop3Channel::wake()
{
    m_woken = true;
    if (m_loop)
        m_loop->quit();
}

void Pop3Channel::cancel()
{
    m_cancelled = true;
    if (m_loop)
        m_loop->quit();
}

void Pop3Channel::setRival(TlsAttempt *rival)
{
    m_rival = rival;
    if (rival)
        connect(rival, &TlsAttempt::changed, this, &Pop3Channel::wake, Qt::UniqueConnection);
}

bool Pop3Channel::rivalWon()
{
    if (!m_superseded && !m_claimed && m_rival && m_rival->state() == TlsAttempt::State::Verified)
        m_superseded = true;
    return m_superseded;
}

Pop3Channel::Result Pop3Channel::claim(QDeadlineTimer deadline)
{
    if (m_claimed || !m_rival) {
        m_claimed = true;
        return Result::Ok;
    }
    Result result = waitFor(
        [this]() -> std::optional<Result> {
            if (m_rival->hasSettled())
                return Result::Ok;
            return std::nullopt;
        },
        deadline);
    if (result == Result::TimedOut) {
        m_rival->withdraw();
        result = Result::Ok;
    }
    m_claimed = result == Result::Ok;
    return result;
}

bool Pop3Channel::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool Pop3Channel::isEncrypted() const
{
    return m_socket && m_socket->isEncrypted();
}

bool Pop3Channel::hasInput() const
{
    return !m_buffer.isEmpty() || (m_socket && m_socket->bytesAvailable() > 0);
}

QString Pop3Channel::errorString() const
{
    return m_socket ? m_socket->errorString() : m_openError;
}

Pop3Channel::Result Pop3Channel::waitFor(const std::function<std::optional<Result>()> &check,
                                         QDeadlineTimer deadline)
{
    for (;;) {
        if (m_cancelled)
            return Result::Cancelled;
        if (rivalWon())
            return Result::Superseded;
        if (const std::optional<Result> done = check())
            return *done;
        if (deadline.hasExpired())
            return Result::TimedOut;

        // A coarse timer may fire a little early; the loop then simply waits again for
        // what is left.
        m_timer->start(int(qBound(qint64(1), deadline.remainingTime(), qint64(24 * 3600 * 1000))));
        QEventLoop loop;
        m_loop = &loop;
        m_woken = false;
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        m_loop = nullptr;
        m_timer->stop();

        // Only the timer, the socket, the rival and cancel() end this loop. If it ended
        // without any of them, QCoreApplication::exit() (or QThread::exit()) told every loop
        // to quit; once that happened, exec() returns at once until the main loop is left,
        // so waiting on would spin. End the conversation instead.
        if (!m_woken)
            m_cancelled = true;
    }
}

Pop3Channel::Result Pop3Channel::socketFailure() const
{
    switch (m_socket->error()) {
    case QAbstractSocket::HostNotFoundError:
        return Result::HostNotFound;
    case QAbstractSocket::ConnectionRefusedError:
        return Result::Refused;
    case QAbstractSocket::SocketTimeoutError:
        return Result::TimedOut;
    case QAbstractSocket::RemoteHostClosedError:
        return Result::Closed;
    default:
        return Result::Failed;
    }
}

Pop3Channel::Result Pop3Channel::open(const QString &host, quint16 port, QDeadlineTimer deadline)
{
    m_buffer.clear();
    dropSocket();
    m_addresses.clear();
    m_openError.clear();
    m_tlsErrors.clear();
    if (m_cancelled)
        return Result::Cancelled;
    // Plain TCP; implicit TLS starts the handshake once connected, so that resolving and
    // connecting get a deadline of their own.
    AddressRace race(host, port);
    connect(&race, &AddressRace::changed, this, &Pop3Channel::wake);
    race.start();
    const Result result = waitFor(
        [&race]() -> std::optional<Result> {
            switch (race.state()) {
            case AddressRace::State::Resolving:
            case AddressRace::State::Connecting:
                return std::nullopt;
            case AddressRace::State::Connected:
                return Result::Ok;
            case AddressRace::State::HostNotFound:
                return Result::HostNotFound;
            case AddressRace::State::Refused:
                return Result::Refused;
            case AddressRace::State::TimedOut:
                return Result::TimedOut;
            case AddressRace::State::Failed:
                break;
            }
            return Result::Failed;
        },
        deadline);
    m_addresses = race.addresses();
    if (result == Result::Ok) {
        // The rival, if any, survives the change of socket.
        TlsAttempt *const rival = m_rival;
        adopt(race.takeSocket());
        m_rival = rival;
    } else {
        m_openError = race.errorString();
    }
    return result;
}

Pop3Channel::Result Pop3Channel::startTls(const QString &verifyName,
                                          const QList<QSslCertificate> &extraCas,
                                          QDeadlineTimer deadline)
{
    m_buffer.clear();
    m_tlsErrors.clear();
    if (m_cancelled)
        return Result::Cancelled;
    // A server that hangs up instead of starting TLS failed the handshake as much as one
    // that sends garbage.
    if (!isConnected())
        return Result::TlsFailed;
    m_socket->readAll();
    if (!TlsClient::start(m_socket, verifyName, extraCas)) {
        m_socket->abort();
        return Result::TlsFailed;
    }
    const Result result = waitFor(
        [this]() -> std::optional<Result> {
            if (m_socket->isEncrypted())
                return Result::Ok;
            if (m_socket->state() != QAbstractSocket::ConnectedState)
                return Result::TlsFailed;
            return std::nullopt;
        },
        deadline);
    if (result == Result::Superseded)
        return result;
    if (result != Result::Ok) {
        m_socket->abort();
        return result;
    }
    if (!TlsClient::namesHost(m_socket, verifyName, &m_tlsErrors)) {
        m_socket->abort();
        return Result::TlsFailed;
    }
    // A verified session: this connection takes the check, and the rival is let go.
    m_claimed = true;
    if (m_rival)
        m_rival->withdraw();
    return Result::Ok;
}

void Pop3Channel::pull()
{
    while (m_socket && m_buffer.size() < MaxLine && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(MaxLine - m_buffer.size());
        if (chunk.isEmpty())
            break;
        m_buffer += chunk;
    }
}

// A reply line is awaited: what arrives is acknowledged at once rather than after the
// kernel's delayed-ACK timer. A server that answers two pipelined commands in two writes
// (USER's +OK, then PASS's once the login is done) holds the second back until the first
// is acknowledged (Nagle), which would cost every such check some 40 ms.
void Pop3Channel::acknowledgeAtOnce()
{
#ifdef Q_OS_LINUX
    const qintptr descriptor = m_socket ? m_socket->socketDescriptor() : -1;
    const int on = 1;
    if (descriptor >= 0)
        ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

Pop3Channel::Result Pop3Channel::readLine(QByteArray *line, QDeadlineTimer deadline)
{
    acknowledgeAtOnce();
    return waitFor(
        [this, line]() -> std::optional<Result> {
            // m_buffer never holds more than MaxLine octets, so a line end found in it
            // always closes a line that is short enough.
            pull();
            const qsizetype end = m_buffer.indexOf('\n');
            if (end >= 0) {
                qsizetype length = end;
                if (length > 0 && m_buffer.at(length - 1) == '\r')
                    --length;
                *line = m_buffer.left(length);
                m_buffer.remove(0, end + 1);
                return Result::Ok;
            }
            if (m_buffer.size() >= MaxLine)
                return Result::TooLong;
            if (!isConnected() && !(m_socket && m_socket->bytesAvailable() > 0))
                return Result::Closed;
            return std::nullopt;
        },
        deadline);
}

Pop3Channel::Result Pop3Channel::writeLine(const QByteArray &line, QDeadlineTimer deadline)
{
    return writeLines({line}, deadline);
}

Pop3Channel::Result Pop3Channel::writeLines(const QByteArrayList &lines, QDeadlineTimer deadline)
{
    // One buffer of the final size, wiped once the socket has it: the lines can carry a
    // password or a proof.
    qsizetype size = 0;
    for (const QByteArray &line : lines) {
        if (isUnsafeLine(line))
            return Result::Failed;
        size += line.size() + 2;
    }
    QByteArray block;
    block.reserve(size);
    for (const QByteArray &line : lines)
        block.append(line).append("\r\n");
    const WipedBytes wipeBlock(block);
    if (m_cancelled)
        return Result::Cancelled;
    if (!isConnected())
        return Result::Closed;
    if (m_socket->write(block) < 0)
        return Result::Closed;
    return waitFor(
        [this]() -> std::optional<Result> {
            if (!isConnected())
                return Result::Closed;
            if (m_socket->bytesToWrite() == 0)
                return Result::Ok;
            return std::nullopt;
        },
        deadline);
}

void Pop3Channel::close(QDeadlineTimer deadline)
{
    // A superseded connection is let go without waiting: the check goes on elsewhere.
    if (m_superseded) {
        retire();
        return;
    }
    if (!m_cancelled && m_socket && m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_socket->disconnectFromHost();
        waitFor(
            [this]() -> std::optional<Result> {
                if (m_socket->state() == QAbstractSocket::UnconnectedState)
                    return Result::Ok;
                return std::nullopt;
            },
            deadline);
    }
    abort();
}

void Pop3Channel::abort()
{
    if (m_socket)
        m_socket->abort();
    for (QSslSocket *socket : std::as_const(m_retired)) {
        socket->abort();
        delete socket;
    }
    m_retired.clear();
    m_buffer.clear();
}
