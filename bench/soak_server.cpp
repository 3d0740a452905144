// The POP3 server and the finger of the soak benchmark (bench/soak.sh). It takes any login
// and reports a message count that alternates between 1 and 2 from one session to the next,
// so every check of a client finds a changed count and opens a notification.
//   soak_server
// Prints the port it listens on (127.0.0.1, chosen by the system) on the first line, then
// serves. A line on standard input starts the run:
//   X Y TOTAL WARMUP STEP MORVEX_PID BARE_PID
// From then on it clicks the pointer at X,Y (XTEST, on $DISPLAY) once after every session
// that ends, until TOTAL sessions have ended. After session WARMUP and every STEP sessions
// after it, and after the last, it waits one second and prints
//   rss_at_kb SESSIONS MORVEX_RSS BARE_RSS
// Exits 0 after the last line; 1 when no session follows a click within 10 s (after three
// clicks) or a watched process has ended.
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Pointer clicks through the XTEST extension's FakeInput request, built by hand so that no
// extension library is needed.
class Clicker {
public:
    ~Clicker()
    {
        if (m_connection)
            xcb_disconnect(m_connection);
    }

    bool open()
    {
        m_connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_connection))
            return false;
        const char name[] = "XTEST";
        xcb_query_extension_reply_t *reply = xcb_query_extension_reply(
            m_connection, xcb_query_extension(m_connection, std::strlen(name), name), nullptr);
        if (!reply)
            return false;
        m_opcode = reply->present ? reply->major_opcode : 0;
        std::free(reply);
        return m_opcode != 0;
    }

    void click(int x, int y)
    {
        fake(XCB_MOTION_NOTIFY, 0, x, y);
        fake(XCB_BUTTON_PRESS, 1, 0, 0);
        fake(XCB_BUTTON_RELEASE, 1, 0, 0);
        xcb_flush(m_connection);
    }

private:
    void fake(uint8_t type, uint8_t detail, int x, int y)
    {
        uint8_t request[36] = {};
        request[0] = m_opcode;
        request[1] = 2; // X_XTestFakeInput
        request[2] = sizeof request / 4;
        request[4] = type;
        request[5] = detail;
        // time (0: now) at 8, root window (0: the default) at 12; root x and y at 24 and 26.
        const auto rootX = int16_t(x);
        const auto rootY = int16_t(y);
        std::memcpy(request + 24, &rootX, 2);
        std::memcpy(request + 26, &rootY, 2);
        iovec parts[3];
        parts[2].iov_base = request;
        parts[2].iov_len = sizeof request;
        xcb_protocol_request_t header = {1, nullptr, 0, 1};
        xcb_send_request(m_connection, XCB_REQUEST_RAW, parts + 2, &header);
    }

    xcb_connection_t *m_connection = nullptr;
    uint8_t m_opcode = 0;
};

qint64 rssKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

class SoakServer : public QObject {
public:
    SoakServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &SoakServer::accept);
        m_watchdog.setSingleShot(true);
        m_watchdog.setInterval(10000);
        connect(&m_watchdog, &QTimer::timeout, this, &SoakServer::clickAgain);
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }

    bool start(const QByteArray &line)
    {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() != 7)
            return false;
        m_x = words[0].toInt();
        m_y = words[1].toInt();
        m_total = words[2].toInt();
        m_nextRead = words[3].toInt();
        m_step = words[4].toInt();
        m_morvex = words[5].toLongLong();
        m_bare = words[6].toLongLong();
        if (m_total < 1 || m_nextRead < 1 || m_step < 1 || !m_clicker.open())
            return false;
        m_running = true;
        m_base = m_sessions;
        click();
        return true;
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            const int count = 1 + (m_sessions % 2);
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, count] {
                while (socket->canReadLine())
                    answer(socket, socket->readLine().trimmed(), count);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->write("+OK soak server ready\r\n");
        }
    }

    void answer(QTcpSocket *socket, const QByteArray &line, int count)
    {
        const qsizetype blank = line.indexOf(' ');
        const QByteArray verb = (blank < 0 ? line : line.left(blank)).toUpper();
        if (verb == "CAPA") {
            socket->write("+OK\r\nUSER\r\n.\r\n");
        } else if (verb == "STAT") {
            socket->write("+OK " + QByteArray::number(count) + " 4096\r\n");
        } else if (verb == "QUIT") {
            socket->write("+OK bye\r\n");
            socket->disconnectFromHost();
            ++m_sessions;
            sessionEnded();
        } else if (verb == "USER" || verb == "PASS" || verb == "NOOP") {
            socket->write("+OK\r\n");
        } else {
            socket->write("-ERR not here\r\n");
        }
    }

    void sessionEnded()
    {
        if (!m_running)
            return;
        m_watchdog.stop();
        m_retries = 0;
        const int done = m_sessions - m_base;
        if (done >= m_nextRead || done >= m_total) {
            // Read once the notification is up and the program has settled.
            QTimer::singleShot(1000, this, [this, done] {
                const qint64 morvex = rssKb(m_morvex);
                const qint64 bare = rssKb(m_bare);
                if (morvex < 0 || bare < 0) {
                    std::fprintf(stderr, "soak_server: a watched program has ended\n");
                    QCoreApplication::exit(1);
                    return;
                }
                std::printf("rss_at_kb %d %lld %lld\n", done, morvex, bare);
                std::fflush(stdout);
                while (m_nextRead <= done)
                    m_nextRead += m_step;
                if (done >= m_total)
                    QCoreApplication::exit(0);
                else
                    click();
            });
            return;
        }
        // Time for the notification to open and paint before the next check replaces it.
        QTimer::singleShot(25, this, &SoakServer::click);
    }

    void click()
    {
        m_clicker.click(m_x, m_y);
        m_watchdog.start();
    }

    void clickAgain()
    {
        if (++m_retries > 3) {
            std::fprintf(stderr, "soak_server: no check after %d sessions\n", m_sessions - m_base);
            QCoreApplication::exit(1);
            return;
        }
        click();
    }

    QTcpServer m_server;
    QTimer m_watchdog;
    Clicker m_clicker;
    bool m_running = false;
    int m_sessions = 0;
    int m_base = 0;
    int m_retries = 0;
    int m_x = 0;
    int m_y = 0;
    int m_total = 0;
    int m_nextRead = 0;
    int m_step = 0;
    qint64 m_morvex = 0;
    qint64 m_bare = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SoakServer server;
    if (!server.listen()) {
        std::fprintf(stderr, "soak_server: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("%u\n", unsigned(server.port()));
    std::fflush(stdout);

    QByteArray input;
    QSocketNotifier stdinReady(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinReady, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            stdinReady.setEnabled(false);
            if (input.isEmpty()) {
                std::fprintf(stderr, "soak_server: standard input closed before the start\n");
                QCoreApplication::exit(2);
            }
            return;
        }
        input.append(buffer, got);
        if (!input.contains('\n'))
            return;
        stdinReady.setEnabled(false);
        if (!server.start(input.left(input.indexOf('\n')))) {
            std::fprintf(stderr, "soak_server: bad start line or no XTEST on the display\n");
            QCoreApplication::exit(2);
        }
    });
    return app.exec();
}
