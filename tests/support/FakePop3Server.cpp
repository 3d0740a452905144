#include "FakePop3Server.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <deque>

FakePop3Reply FakePop3Reply::line(const QByteArray &text)
{
    return FakePop3Reply{text + "\r\n", Then::Continue, -1};
}

FakePop3Reply FakePop3Reply::raw(const QByteArray &bytes)
{
    return FakePop3Reply{bytes, Then::Continue, -1};
}

FakePop3Reply FakePop3Reply::close(const QByteArray &before)
{
    return FakePop3Reply{before, Then::Close, -1};
}

FakePop3Reply FakePop3Reply::stall(const QByteArray &before)
{
    return FakePop3Reply{before, Then::Stall, -1};
}

FakePop3Reply FakePop3Reply::startTls(const QByteArray &before)
{
    return FakePop3Reply{before, Then::StartTls, -1};
}

FakePop3Reply FakePop3Reply::thenDoing(Then what) const
{
    FakePop3Reply copy = *this;
    copy.then = what;
    return copy;
}

FakePop3Reply FakePop3Reply::dripped(int ms) const
{
    FakePop3Reply copy = *this;
    copy.dripMs = ms;
    return copy;
}

FakePop3Script FakePop3Script::mailbox(qint64 count)
{
    FakePop3Script script;
    script.on("USER", FakePop3Reply::line("+OK"))
        .on("PASS", FakePop3Reply::line("+OK logged in"))
        .on("STAT", FakePop3Reply::line("+OK " + QByteArray::number(count) + ' ' +
                                        QByteArray::number(count * 4096)))
        .on("QUIT", FakePop3Reply::close("+OK bye\r\n"));
    return script;
}

FakePop3Script FakePop3Script::stlsMailbox(qint64 count)
{
    FakePop3Script script = mailbox(count);
    script.capa({"USER", "STLS", "UIDL"}).on("STLS", FakePop3Reply::startTls());
    return script;
}

FakePop3Script &FakePop3Script::capa(const QList<QByteArray> &lines)
{
    QByteArray bytes = "+OK capability list follows\r\n";
    for (const QByteArray &line : lines)
        bytes += line + "\r\n";
    return on("CAPA", FakePop3Reply::raw(bytes + ".\r\n"));
}

FakePop3Script &FakePop3Script::greet(const FakePop3Reply &reply)
{
    greeting = reply;
    return *this;
}

FakePop3Script &FakePop3Script::on(const QByteArray &verb, const FakePop3Reply &reply)
{
    replies.insert(verb.toUpper(), reply);
    return *this;
}

FakePop3Script &FakePop3Script::exchange(const QByteArray &verb, const QList<FakePop3Reply> &list)
{
    on(verb, list.value(0, unknown));
    followUps.insert(verb.toUpper(), list.mid(1));
    return *this;
}

struct FakePop3Server::Shared {
    mutable QMutex mutex;
    FakePop3Script script;
    FakeTls tls;
    QByteArray received;
    QByteArray receivedInClear;
    int handshakes = 0;
    QList<QByteArray> commands;
    QList<QByteArray> flights;
    int connections = 0;
    int open = 0;
    quint16 port = 0;
    bool listening = false;
};

namespace {

using Shared = FakePop3Server::Shared;
using Then = FakePop3Reply::Then;

// Input beyond this is recorded but not parsed any further.
constexpr qsizetype maxPendingInput = 1 << 20;

// One client, served on the server's thread.
class Connection : public QObject {
public:
    Connection(QSslSocket *socket, const std::shared_ptr<Shared> &shared, QObject *parent)
        : QObject(parent)
        , m_socket(socket)
        , m_shared(shared)
    {
        FakeTls tls;
        {
            QMutexLocker lock(&m_shared->mutex);
            m_script = m_shared->script;
            tls = m_shared->tls;
            ++m_shared->connections;
            ++m_shared->open;
        }
        m_socket->setParent(this);
        m_drip.setSingleShot(true);
        connect(&m_drip, &QTimer::timeout, this, [this] { dripOne(); });
        connect(m_socket, &QIODevice::readyRead, this, [this] { take(); });
        connect(m_socket, &QAbstractSocket::disconnected, this, [this] {
            take();
            deleteLater();
        });
        connect(m_socket, &QSslSocket::encrypted, this, [this] {
            QMutexLocker lock(&m_shared->mutex);
            ++m_shared->handshakes;
        });
        if (!tls.chain.isEmpty()) {
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificateChain(tls.chain);
            config.setPrivateKey(tls.key);
            config.setPeerVerifyMode(QSslSocket::VerifyNone);
            m_socket->setSslConfiguration(config);
        }
        if (tls.implicit)
            m_socket->startServerEncryption();
        queue(m_script.greeting);
    }

    ~Connection() override
    {
        m_socket->disconnect(this);
        m_socket->abort();
        QMutexLocker lock(&m_shared->mutex);
        --m_shared->open;
    }

private:
    void take()
    {
        // A socket the peer has just reset may still call itself open while the one under
        // it is closed; reading it then only yields a warning.
        if (!m_socket->isOpen() || m_socket->bytesAvailable() <= 0)
            return;
        const bool clear = m_socket->mode() == QSslSocket::UnencryptedMode;
        const QByteArray data = m_socket->readAll();
        if (data.isEmpty())
            return;
        QList<QByteArray> lines;
        if (!m_finished && m_input.size() < maxPendingInput) {
            m_input += data;
            qsizetype end;
            while ((end = m_input.indexOf('\n')) >= 0) {
                QByteArray line = m_input.left(end);
                if (line.endsWith('\r'))
                    line.chop(1);
                m_input.remove(0, end + 1);
                lines.append(line);
            }
        }
        {
            QMutexLocker lock(&m_shared->mutex);
            m_shared->received += data;
            if (clear)
                m_shared->receivedInClear += data;
            m_shared->commands += lines;
            if (!lines.isEmpty())
                m_shared->flights.append(data);
        }
        for (qsizetype i = 0; i < lines.size(); ++i) {
            // Lines sent in the clear behind STLS are not commands once TLS has started.
            if (m_finished || (clear && m_socket->mode() != QSslSocket::UnencryptedMode))
                break;
            const FakePop3Reply reply = replyTo(lines.at(i));
            queue(reply);
            const bool queuedBehind = i + 1 < lines.size() || !m_input.isEmpty();
            if (reply.then == Then::DropQueued && queuedBehind) {
                m_input.clear();
                break;
            }
            if (reply.then == Then::PhantomIfQueued && queuedBehind)
                queue(FakePop3Reply::line("-ERR Unrecognized command"));
        }
    }

    FakePop3Reply replyTo(const QByteArray &line)
    {
        if (!m_followUps.isEmpty())
            return m_followUps.takeFirst();
        const QList<QByteArray> words = line.toUpper().split(' ');
        QByteArray key = words.value(0) + ' ' + words.value(1);
        if (words.size() < 2 || !m_script.replies.contains(key))
            key = words.value(0);
        m_followUps = m_script.followUps.value(key);
        return m_script.replies.value(key, m_script.unknown);
    }

    void queue(const FakePop3Reply &reply)
    {
        if (m_finished)
            return;
        m_pending.push_back(reply);
        if (!m_drip.isActive())
            sendPending();
    }

    void sendPending()
    {
        while (!m_pending.empty() && !m_finished) {
            const FakePop3Reply reply = m_pending.front();
            m_pending.pop_front();
            const int drip = reply.dripMs >= 0 ? reply.dripMs : m_script.dripMs;
            if (drip > 0 && !reply.bytes.isEmpty()) {
                m_out = reply.bytes;
                m_outThen = reply.then;
                m_drip.start(drip);
                m_dripMs = drip;
                return;
            }
            m_socket->write(reply.bytes);
            finishReply(reply.then);
        }
    }

    void dripOne()
    {
        m_socket->write(m_out.left(1));
        m_out.remove(0, 1);
        if (!m_out.isEmpty()) {
            m_drip.start(m_dripMs);
            return;
        }
        finishReply(m_outThen);
        sendPending();
    }

    void finishReply(Then then)
    {
        if (then == Then::Continue || then == Then::DropQueued || then == Then::PhantomIfQueued)
            return;
        if (then == Then::StartTls) {
            // Nothing the client sent before the handshake may be taken as a command.
            m_input.clear();
            m_pending.clear();
            m_socket->flush();
            m_socket->startServerEncryption();
            return;
        }
        m_finished = true;
        m_pending.clear();
        if (then == Then::Close)
            m_socket->disconnectFromHost();
    }

    QSslSocket *m_socket;
    std::shared_ptr<Shared> m_shared;
    FakePop3Script m_script;
    QByteArray m_input;
    QList<FakePop3Reply> m_followUps;
    std::deque<FakePop3Reply> m_pending;
    QTimer m_drip;
    int m_dripMs = 0;
    QByteArray m_out;
    Then m_outThen = Then::Continue;
    bool m_finished = false; // closed or stalled: no more output
};

// Hands out a QSslSocket for every connection; it stays in the clear until told otherwise.
class SslServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

class Worker : public QObject {
public:
    Worker(const std::shared_ptr<Shared> &shared, const QHostAddress &address, quint16 port)
        : m_shared(shared)
        , m_address(address)
        , m_port(port)
    {
    }

    void listen()
    {
        m_server = new SslServer(this);
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (auto *socket = static_cast<QSslSocket *>(m_server->nextPendingConnection()))
                new Connection(socket, m_shared, this);
        });
        const bool ok = m_server->listen(m_address, m_port);
        QMutexLocker lock(&m_shared->mutex);
        m_shared->listening = ok;
        m_shared->port = ok ? m_server->serverPort() : 0;
    }

private:
    std::shared_ptr<Shared> m_shared;
    QHostAddress m_address;
    quint16 m_port;
    QTcpServer *m_server = nullptr;
};

} // namespace

FakePop3Server::FakePop3Server(const FakePop3Script &script, const FakeTls &tls,
                               const QHostAddress &address, quint16 port)
    : m_shared(std::make_shared<Shared>())
    , m_address(address)
{
    m_shared->script = script;
    m_shared->tls = tls;
    m_thread.setObjectName(QStringLiteral("FakePop3Server"));
    m_thread.start();
    auto *worker = new Worker(m_shared, m_address, port);
    worker->moveToThread(&m_thread);
    m_worker = worker;
    QMetaObject::invokeMethod(
        worker, [worker] { worker->listen(); }, Qt::BlockingQueuedConnection);
}

FakePop3Server::~FakePop3Server()
{
    QObject *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker] { delete worker; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

bool FakePop3Server::isListening() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->listening;
}

quint16 FakePop3Server::port() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->port;
}

void FakePop3Server::setScript(const FakePop3Script &script)
{
    QMutexLocker lock(&m_shared->mutex);
    m_shared->script = script;
}

int FakePop3Server::connectionCount() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->connections;
}

int FakePop3Server::openConnectionCount() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->open;
}

QByteArray FakePop3Server::received() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->received;
}

QByteArray FakePop3Server::receivedInClear() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->receivedInClear;
}

int FakePop3Server::handshakeCount() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->handshakes;
}

QList<QByteArray> FakePop3Server::commands() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->commands;
}

QList<QByteArray> FakePop3Server::flights() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->flights;
}

void FakePop3Server::clearLog()
{
    QMutexLocker lock(&m_shared->mutex);
    m_shared->received.clear();
    m_shared->receivedInClear.clear();
    m_shared->handshakes = 0;
    m_shared->commands.clear();
    m_shared->flights.clear();
    m_shared->connections = 0;
}
