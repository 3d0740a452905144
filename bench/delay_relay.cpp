// A TCP relay that adds latency, for bench/roundtrips.sh where the kernel has no netem.
//   delay_relay --delay-ms D --map LPORT=HOST:PORT [--map ...]
// Listens on 127.0.0.1:LPORT and relays each connection to HOST:PORT as if the path had
// D ms of delay each way: bytes arrive D ms after they were sent, and the connection
// itself takes the 1.5 round trips of TCP's handshake (SYN, SYN-ACK, ACK) before the
// server's first bytes leave, so a greeting reaches the client two round trips after it
// connected.
// Bandwidth and loss are not modelled; POP3 checks move a few hundred bytes. Prints
// "ready" once every port listens; runs until killed. When a connection ends it prints
// "flights LPORT N": N is the number of client flights, bursts of bytes from the client
// each of which waited for something from the server (TLS handshake messages included;
// pipelined commands are one flight). --delay-ms 0 only counts.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <functional>

namespace {

QElapsedTimer clock_;

// Bytes (or the end of the stream, when empty) on their way in one direction.
class Direction : public QObject {
public:
    Direction(QTcpSocket *to, int delayMs, QObject *parent)
        : QObject(parent)
        , m_to(to)
        , m_delayMs(delayMs)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] { deliver(); });
        connect(m_to, &QAbstractSocket::connected, this, [this] { deliver(); });
    }

    void send(const QByteArray &bytes) { push(bytes, clock_.elapsed() + m_delayMs); }
    // Called whenever bytes are handed to the receiving side.
    std::function<void()> delivered;
    void finish() { push(QByteArray(), clock_.elapsed() + m_delayMs); }
    // Nothing is delivered before the given time (the other side is not connected yet).
    void holdUntil(qint64 ms) { m_notBefore = ms; }

private:
    void push(const QByteArray &bytes, qint64 due)
    {
        m_queue.push_back({bytes, qMax(due, m_notBefore)});
        deliver();
    }

    void deliver()
    {
        // Bytes wait for a connection still being made, and die with a closed one.
        const QAbstractSocket::SocketState state = m_to->state();
        if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState)
            return;
        const qint64 now = clock_.elapsed();
        while (!m_queue.empty() && m_queue.front().due <= now) {
            const Item item = m_queue.front();
            m_queue.pop_front();
            if (item.bytes.isEmpty())
                m_to->disconnectFromHost();
            else if (m_to->state() == QAbstractSocket::ConnectedState) {
                m_to->write(item.bytes);
                if (delivered)
                    delivered();
            }
        }
        if (!m_queue.empty())
            m_timer.start(int(qMax<qint64>(0, m_queue.front().due - now)));
    }

    struct Item {
        QByteArray bytes;
        qint64 due;
    };
    QTcpSocket *m_to;
    int m_delayMs;
    qint64 m_notBefore = 0;
    std::deque<Item> m_queue;
    QTimer m_timer;
};

class Link : public QObject {
public:
    Link(QTcpSocket *client, const QString &host, quint16 port, int delayMs, QObject *parent)
        : QObject(parent)
        , m_client(client)
        , m_server(new QTcpSocket(this))
    {
        m_client->setParent(this);
        m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto *up = new Direction(m_server, delayMs, this);
        auto *down = new Direction(m_client, delayMs, this);
        // The server learns of the connection 1.5 round trips after the client started it,
        // and what it sends first reaches the client half a round trip after that. The
        // real connection is made at once; only what travels over it is held back.
        const qint64 accepted = clock_.elapsed() + 3 * delayMs;
        up->holdUntil(accepted);
        down->holdUntil(accepted + delayMs);
        down->delivered = [this] { m_serverSpoke = true; };
        connect(m_client, &QIODevice::readyRead, up, [this, up] {
            if (m_flights == 0 || m_serverSpoke)
                ++m_flights;
            m_serverSpoke = false;
            up->send(m_client->readAll());
        });
        connect(m_client, &QAbstractSocket::disconnected, up, [up] { up->finish(); });
        connect(m_server, &QIODevice::readyRead, down,
                [this, down] { down->send(m_server->readAll()); });
        connect(m_server, &QAbstractSocket::disconnected, down, [down] { down->finish(); });
        connect(m_server, &QAbstractSocket::connected, this,
                [this] { m_server->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        connect(m_client, &QAbstractSocket::disconnected, this, [this] { closed(); });
        connect(m_server, &QAbstractSocket::disconnected, this, [this] { closed(); });
        m_server->connectToHost(host, port);
    }

private:
    void closed()
    {
        if (m_client->state() != QAbstractSocket::UnconnectedState ||
            m_server->state() != QAbstractSocket::UnconnectedState || m_reported)
            return;
        m_reported = true;
        std::printf("flights %u %d\n", unsigned(m_port), m_flights);
        std::fflush(stdout);
        deleteLater();
    }

    QTcpSocket *m_client;
    QTcpSocket *m_server;
    quint16 m_port = m_client->localPort();
    int m_flights = 0;
    bool m_serverSpoke = false;
    bool m_reported = false;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    clock_.start();
    int delayMs = -1;
    QList<QTcpServer *> servers;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--delay-ms")) {
            delayMs = args[i + 1].toInt();
            continue;
        }
        const QStringList map = args[i + 1].split(QLatin1Char('='));
        const int colon = map.value(1).lastIndexOf(QLatin1Char(':'));
        if (args[i] != QLatin1String("--map") || map.size() != 2 || colon < 0) {
            std::fprintf(stderr, "usage: delay_relay --delay-ms D --map LPORT=HOST:PORT ...\n");
            return 2;
        }
        const QString host = map[1].left(colon);
        const quint16 port = quint16(map[1].mid(colon + 1).toUInt());
        auto *server = new QTcpServer(&app);
        if (!server->listen(QHostAddress::LocalHost, quint16(map[0].toUInt()))) {
            std::fprintf(stderr, "delay_relay: cannot listen on %s\n", qPrintable(map[0]));
            return 1;
        }
        QObject::connect(server, &QTcpServer::newConnection, server,
                         [server, host, port, &delayMs] {
                             while (QTcpSocket *client = server->nextPendingConnection())
                                 new Link(client, host, port, delayMs, server);
                         });
        servers.append(server);
    }
    if (delayMs < 0 || servers.isEmpty()) {
        std::fprintf(stderr, "usage: delay_relay --delay-ms D --map LPORT=HOST:PORT ...\n");
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
