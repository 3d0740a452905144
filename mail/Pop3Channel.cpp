#include "Pop3Channel.h"

#include "HostIdentity.h"
#include "SecureWipe.h"

#include <QEventLoop>
#include <QSslConfiguration>
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

// The system's trusted authorities as a list. Reading them takes a few hundred
// milliseconds, so it happens once per process; it is needed only when authorities are
// added, otherwise OpenSSL looks them up in the store as it goes.
const QList<QSslCertificate> &systemAuthorities()
{
    static const QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    return authorities;
}

bool isUnsafeLine(const QByteArray &line)
{
    return line.contains('\r') || line.contains('\n') || line.contains('\0');
}

} // namespace

Pop3Channel::Pop3Channel(QObject *parent)
    : QObject(parent)
    , m_socket(new QSslSocket(this))
    , m_timer(new QTimer(this))
{
    m_socket->setReadBufferSize(socketReadBuffer);
    m_timer->setSingleShot(true);

    connect(m_timer, &QTimer::timeout, this, &Pop3Channel::wake);
    connect(m_socket, &QAbstractSocket::connected, this, &Pop3Channel::wake);
    connect(m_socket, &QAbstractSocket::disconnected, this, &Pop3Channel::wake);
    connect(m_socket, &QAbstractSocket::stateChanged, this, &Pop3Channel::wake);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &Pop3Channel::wake);
    connect(m_socket, &QIODevice::readyRead, this, &Pop3Channel::wake);
    connect(m_socket, &QIODevice::bytesWritten, this, &Pop3Channel::wake);
    connect(m_socket, &QSslSocket::encrypted, this, &Pop3Channel::wake);
    connect(m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        // Not ignored: the socket ends the handshake right after this signal.
        m_tlsErrors = errors;
        wake();
    });
}

Pop3Channel::~Pop3Channel()
{
    // No signal of the dying socket may reach this half-destroyed object.
    m_socket->disconnect(this);
    m_socket->abort();
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

bool Pop3Channel::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

bool Pop3Channel::isEncrypted() const
{
    return m_socket->isEncrypted();
}

bool Pop3Channel::hasInput() const
{
    return !m_buffer.isEmpty() || m_socket->bytesAvailable() > 0;
}

QString Pop3Channel::errorString() const
{
    return m_socket->errorString();
}

Pop3Channel::Result Pop3Channel::waitFor(const Check &check, QDeadlineTimer deadline)
{
    for (;;) {
        if (m_cancelled)
            return Result::Cancelled;
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

        // Only the timer, the socket and cancel() end this loop. If it ended without any
        // of them, QCoreApplication::exit() (or QThread::exit()) told every loop to quit;
        // once that happened, exec() returns at once until the main loop is left, so
        // waiting on would spin. End the conversation instead.
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
    m_socket->abort();
    if (m_cancelled)
        return Result::Cancelled;
    // Plain TCP; implicit TLS starts the handshake once connected, so that resolving and
    // connecting get a deadline of their own.
    m_tlsErrors.clear();
    m_socket->connectToHost(host, port);
    const Result result = waitFor(
        [this]() -> std::optional<Result> {
            switch (m_socket->state()) {
            case QAbstractSocket::ConnectedState:
                return Result::Ok;
            case QAbstractSocket::UnconnectedState:
                return socketFailure();
            default:
                return std::nullopt;
            }
        },
        deadline);
    if (result != Result::Ok)
        m_socket->abort();
    return result;
}

Pop3Channel::Result Pop3Channel::startTls(const QString &verifyName,
                                          const QList<QSslCertificate> &extraCas,
                                          QDeadlineTimer deadline)
{
    m_buffer.clear();
    m_socket->readAll();
    m_tlsErrors.clear();
    if (m_cancelled)
        return Result::Cancelled;
    // A server that hangs up instead of starting TLS failed the handshake as much as one
    // that sends garbage.
    if (!isConnected())
        return Result::TlsFailed;
    if (!QSslSocket::supportsSsl()) {
        m_socket->abort();
        return Result::TlsFailed;
    }

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Setting authorities replaces the system's, so both go in.
    if (!extraCas.isEmpty())
        config.setCaCertificates(systemAuthorities() + extraCas);
    m_socket->setSslConfiguration(config);
    m_socket->setPeerVerifyName(verifyName);
    m_socket->startClientEncryption();

    const Result result = waitFor(
        [this]() -> std::optional<Result> {
            if (m_socket->isEncrypted())
                return Result::Ok;
            if (m_socket->state() != QAbstractSocket::ConnectedState)
                return Result::TlsFailed;
            return std::nullopt;
        },
        deadline);
    if (result != Result::Ok) {
        m_socket->abort();
        return result;
    }
    // Qt also accepts a common name beside DNS names and partial wildcards such as
    // "m*.example.com"; the stricter rules apply on top.
    const QSslCertificate certificate = m_socket->peerCertificate();
    if (!HostIdentity::matches(certificate, verifyName)) {
        m_tlsErrors = {QSslError(QSslError::HostNameMismatch, certificate)};
        m_socket->abort();
        return Result::TlsFailed;
    }
    return Result::Ok;
}

void Pop3Channel::pull()
{
    while (m_buffer.size() < MaxLine && m_socket->bytesAvailable() > 0) {
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
    const qintptr descriptor = m_socket->socketDescriptor();
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
            if (m_socket->state() != QAbstractSocket::ConnectedState &&
                m_socket->bytesAvailable() == 0)
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
    if (!m_cancelled && m_socket->state() != QAbstractSocket::UnconnectedState) {
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
    m_socket->abort();
    m_buffer.clear();
}
