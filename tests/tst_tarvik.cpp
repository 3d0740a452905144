#include "FakePop3Server.h"
#include "Loopback.h"
#include "TarvikCase.h"
#include "mail/Pop3Codes.h"
#include "mail/Tarvik.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

using Reply = FakePop3Reply;
using Script = FakePop3Script;

// Where a row's check goes.
enum class Target {
    Fake,        // the fake server
    Literal,     // the row's host text, with the fake server's port
    RefusedPort, // a loopback port that was just freed
};

// A plain server first gets CAPA, to learn whether it offers STLS.
const QByteArray fullSession = "CAPA\r\nUSER alice\r\nPASS secret\r\nSTAT\r\nQUIT\r\n";

struct Row {
    Script script = Script::mailbox(3);
    Target target = Target::Fake;
    QString host;
    QString user = QStringLiteral("alice");
    QString password = QStringLiteral("secret");
    int timeout = 2;
    int code = Pop3Code::Ok;
    QString fragment = QStringLiteral("checked");
    qint64 count = 0;
    int minMs = 0;
    int maxMs = -1; // -1: timeout + 3 s
    bool checkWire = false;
    QByteArray wire;
    int connections = 1; // -1: not checked

    Row withWire(const QByteArray &bytes) const
    {
        Row r = *this;
        r.checkWire = true;
        r.wire = bytes;
        return r;
    }
    Row withTimeout(int seconds, int atLeastMs = 0, int underMs = -1) const
    {
        Row r = *this;
        r.timeout = seconds;
        r.minMs = atLeastMs;
        r.maxMs = underMs;
        return r;
    }
    Row withLogin(const QString &u, const QString &p) const
    {
        Row r = *this;
        r.user = u;
        r.password = p;
        return r;
    }
};

Row success(const Script &script, qint64 count)
{
    Row r;
    r.script = script;
    r.count = count;
    return r;
}

Row failing(const Script &script, int code, const QString &fragment)
{
    Row r;
    r.script = script;
    r.code = code;
    r.fragment = fragment;
    return r;
}

Row unsafe(Target target, const QString &host, const QString &user, const QString &password,
           const QString &fragment)
{
    Row r;
    r.target = target;
    r.host = host;
    r.user = user;
    r.password = password;
    r.code = Pop3Code::UnsafeInput;
    r.fragment = fragment;
    r.connections = 0;
    r.maxMs = 1000;
    return r;
}

void addRow(const char *name, const Row &r)
{
    QTest::newRow(name) << r.script << int(r.target) << r.host << r.user << r.password << r.timeout
                        << r.code << r.fragment << r.count << r.minMs
                        << (r.maxMs < 0 ? r.timeout * 1000 + 3000 : r.maxMs) << r.checkWire
                        << r.wire << r.connections;
}

Script withStat(const QByteArray &statLine)
{
    return Script::mailbox(0).on("STAT", Reply::line(statLine));
}

// Runs action from the event loop once the server has taken a connection (or after 5 s),
// so that it lands while the client waits for a reply rather than while it connects. The
// caller owns poll, so nothing fires after the test is over.
void whenConnected(QTimer &poll, const FakePop3Server &server, const std::function<void()> &action)
{
    QElapsedTimer clock;
    clock.start();
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&poll, clock, &server, action] {
        if (server.connectionCount() == 0 && !clock.hasExpired(5000))
            return;
        poll.stop();
        action();
    });
    poll.start();
}

void aimAt(Tarvik &tarvik, const FakePop3Server &server)
{
    tarvik.setPophostname(server.host());
    tarvik.setPopport(server.port());
    tarvik.setPopusername(QStringLiteral("alice"));
    tarvik.setPoppassword(QStringLiteral("secret"));
}

} // namespace

class TestTarvik : public QObject {
    Q_OBJECT

    // What the servers gave goes here, not into the user's own state folder.
    QTemporaryDir m_state;

private slots:
    void initTestCase()
    {
        QVERIFY(m_state.isValid());
        qputenv("XDG_STATE_HOME", m_state.path().toLocal8Bit());
    }
    void check_data();
    void check();
    void noDescriptorLeakOverManyChecks();
    void applicationExitCancelsCheck();
    void destroyedDuringCheck();
    void secondCheckWhileRunningIsRefused();
    void resultsDoNotCarryOver();
};

void TestTarvik::check_data()
{
    QTest::addColumn<FakePop3Script>("script");
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("fragment");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<bool>("checkWire");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<int>("connections");

    using namespace Pop3Code;

    // Successful checks.
    addRow("count 0", success(Script::mailbox(0), 0).withWire(fullSession));
    addRow("count 3", success(Script::mailbox(3), 3).withWire(fullSession));
    addRow("count 32768", success(Script::mailbox(32768), 32768));
    addRow("count 40000", success(Script::mailbox(40000), 40000));
    addRow("count 2147483647", success(Script::mailbox(2147483647), 2147483647));
    addRow("stat with more text", success(withStat("+OK 7 1000 messages"), 7));
    {
        Script lf = Script::mailbox(0)
                        .greet(Reply::raw("+OK hi\n"))
                        .on("USER", Reply::raw("+OK\n"))
                        .on("PASS", Reply::raw("+OK\n"))
                        .on("STAT", Reply::raw("+OK 4 10\n"));
        addRow("LF-only line ends", success(lf, 4).withWire(fullSession));
    }
    {
        Script drip = Script::mailbox(5);
        drip.dripMs = 4;
        addRow("replies dripped byte by byte", success(drip, 5).withWire(fullSession));
    }
    addRow("greeting of exactly 512 octets",
           success(Script::mailbox(2).greet(Reply::line("+OK " + QByteArray(506, 'x'))), 2));
    {
        Row r = success(Script::mailbox(6), 6);
        r.target = Target::Literal;
        r.host = QStringLiteral("localhost");
        addRow("host name resolved", r);
    }
    addRow("QUIT never answered",
           success(Script::mailbox(1).on("QUIT", Reply::stall()), 1).withTimeout(5, 0, 4500));
    addRow("close right after STAT reply",
           success(Script::mailbox(3).on("STAT", Reply::close("+OK 3 300\r\n")), 3));
    // Letters that Latin-1 also has go out in UTF-8 all the same, as AUTH sends them.
    addRow("latin-1 letters in UTF-8",
           success(Script::mailbox(1), 1)
               .withLogin(QStringLiteral("j\u00f6rg"), QStringLiteral("p\u00e4ssw\u00f6rd\u20ac"))
               .withWire("CAPA\r\nUSER j\xc3\xb6rg\r\nPASS p\xc3\xa4ssw\xc3\xb6rd\xe2\x82\xac\r\n"
                         "STAT\r\nQUIT\r\n"));
    addRow("utf-8 login",
           success(Script::mailbox(1), 1)
               .withLogin(QStringLiteral("\u7528\u6237"), QStringLiteral("\u20acuro"))
               .withWire("CAPA\r\nUSER \xe7\x94\xa8\xe6\x88\xb7\r\nPASS \xe2\x82\xac"
                         "uro\r\nSTAT\r\nQUIT\r\n"));
    addRow("unicode line separator stays inside PASS",
           success(Script::mailbox(1), 1)
               .withLogin(QStringLiteral("alice"), QStringLiteral("a\u2028b"))
               .withWire("CAPA\r\nUSER alice\r\nPASS a\xe2\x80\xa8"
                         "b\r\nSTAT\r\nQUIT\r\n"));

    // The server turns the login down.
    addRow("USER -ERR", failing(Script::mailbox(1).on("USER", Reply::line("-ERR no such user")),
                                LoginRefused, QStringLiteral("Login refused: no such user"))
                            .withWire("CAPA\r\nUSER alice\r\nQUIT\r\n"));
    addRow("PASS -ERR",
           failing(Script::mailbox(1).on("PASS", Reply::line("-ERR [AUTH] wrong password")),
                   LoginRefused, QStringLiteral("Password refused: wrong password"))
               .withWire("CAPA\r\nUSER alice\r\nPASS secret\r\nQUIT\r\n"));
    addRow("PASS -ERR without text", failing(Script::mailbox(1).on("PASS", Reply::line("-ERR")),
                                             LoginRefused, QStringLiteral("Password refused")));
    // A locked mailbox is not a wrong login (RFC 2449 [IN-USE]).
    addRow("PASS -ERR mailbox in use",
           failing(Script::mailbox(1).on("PASS", Reply::line("-ERR [IN-USE] locked")), MailboxInUse,
                   QStringLiteral("in use")));

    // Other refusals and broken replies.
    addRow("greeting -ERR",
           failing(Script::mailbox(1).greet(Reply::line("-ERR [SYS/TEMP] too busy")), ServerError,
                   QStringLiteral("too busy"))
               .withWire(QByteArray()));
    addRow("STAT -ERR", failing(withStat("-ERR maildrop damaged"), ServerError,
                                QStringLiteral("STAT failed: maildrop damaged"))
                            .withWire(fullSession));
    addRow("STAT -ERR with long noisy text",
           failing(withStat("-ERR \x1b[2J\x07" + QByteArray(400, 'z')), ServerError,
                   QStringLiteral("STAT failed")));
    addRow("STAT negative count",
           failing(withStat("+OK -1 0"), BadCount, QStringLiteral("message count"))
               .withWire(fullSession));
    addRow("STAT letters", failing(withStat("+OK many 100"), BadCount, QStringLiteral("count")));
    addRow("STAT missing count", failing(withStat("+OK"), BadCount, QStringLiteral("count")));
    addRow("STAT missing size", failing(withStat("+OK 3"), BadCount, QStringLiteral("count")));
    addRow("STAT count too large",
           failing(withStat("+OK 2147483648 10"), BadCount, QStringLiteral("count")));
    addRow("STAT empty text", failing(withStat("+OK "), BadCount, QStringLiteral("count")));
    addRow("STAT empty line", failing(withStat(""), BadReply, QStringLiteral("STAT")));
    addRow("STAT garbage", failing(withStat("hello there"), BadReply, QStringLiteral("STAT")));
    addRow("greeting garbage",
           failing(Script::mailbox(1).greet(Reply::line("220 mail.example.com ESMTP")), BadReply,
                   QStringLiteral("greeting")));
    addRow("greeting binary",
           failing(Script::mailbox(1).greet(Reply::raw(QByteArray("\x00\x01\xfe\xff\r\n", 6))),
                   BadReply, QStringLiteral("greeting")));
    addRow("greeting of 513 octets",
           failing(Script::mailbox(1).greet(Reply::line("+OK " + QByteArray(507, 'x'))), BadReply,
                   QStringLiteral("too long")));
    addRow("endless line, then silence",
           failing(Script::mailbox(1).greet(Reply::stall(QByteArray(600, 'y'))), BadReply,
                   QStringLiteral("too long"))
               .withTimeout(3, 0, 2000));
    addRow("USER reply too long",
           failing(Script::mailbox(1).on("USER", Reply::line("+OK " + QByteArray(600, 'u'))),
                   BadReply, QStringLiteral("USER")));

    // The server goes away or goes quiet.
    addRow("close before greeting",
           failing(Script::mailbox(1).greet(Reply::close()), NoData, QStringLiteral("greeting"))
               .withWire(QByteArray()));
    addRow("close inside greeting", failing(Script::mailbox(1).greet(Reply::close("+OK hel")),
                                            NoData, QStringLiteral("greeting")));
    addRow("no greeting",
           failing(Script::mailbox(1).greet(Reply::stall()), NoData, QStringLiteral("greeting"))
               .withTimeout(1, 900, 4000)
               .withWire(QByteArray()));
    addRow("greeting slower than the timeout",
           failing(Script::mailbox(1).greet(Reply::line("+OK slow greeting").dripped(150)), NoData,
                   QStringLiteral("greeting"))
               .withTimeout(1, 900, 4000));
    addRow("close after greeting",
           failing(Script::mailbox(1).greet(Reply::close("+OK hi\r\n")), ConnectionLost,
                   QStringLiteral("Server closed the connection")));
    addRow("close after USER",
           failing(Script::mailbox(1).on("USER", Reply::close("+OK\r\n")), ConnectionLost,
                   QStringLiteral("Server closed the connection after")));
    addRow("close after PASS",
           failing(Script::mailbox(1).on("PASS", Reply::close("+OK\r\n")), ConnectionLost,
                   QStringLiteral("Server closed the connection after")));
    addRow("stall after greeting",
           failing(Script::mailbox(1).on("USER", Reply::stall()), TimedOut, QStringLiteral("USER"))
               .withTimeout(1, 900, 4000)
               .withWire("CAPA\r\nUSER alice\r\nQUIT\r\n"));
    addRow("stall at STAT",
           failing(Script::mailbox(1).on("STAT", Reply::stall()), TimedOut, QStringLiteral("STAT"))
               .withTimeout(2, 1900, 5000));

    // Nothing to talk to.
    {
        Row r = failing(Script(), ConnectionRefused, QStringLiteral("refused"));
        r.target = Target::RefusedPort;
        r.connections = -1;
        addRow("refused port", r);
    }
    {
        Row r = failing(Script(), HostNotFound, QStringLiteral("not found"));
        r.target = Target::Literal;
        r.host = QStringLiteral("nosuchhost.invalid");
        r.connections = 0;
        addRow("unknown host", r);
    }

    // Input that must never reach the wire.
    addRow("CR in server",
           unsafe(Target::Literal, QStringLiteral("127.0.0.1\rUSER x"), QStringLiteral("alice"),
                  QStringLiteral("secret"), QStringLiteral("server")));
    addRow("LF in login", unsafe(Target::Fake, QString(), QStringLiteral("alice\nDELE 1"),
                                 QStringLiteral("secret"), QStringLiteral("login")));
    addRow("CR alone in login",
           unsafe(Target::Fake, QString(), QStringLiteral("alice\rDELE 1"),
                  QStringLiteral("secret"), QStringLiteral("Line break or NUL in the login.")));
    addRow("NUL in password", unsafe(Target::Fake, QString(), QStringLiteral("alice"),
                                     QStringLiteral("sec") + QChar(0) + QStringLiteral("ret"),
                                     QStringLiteral("password")));
    addRow("CR LF command in password",
           unsafe(Target::Fake, QString(), QStringLiteral("alice"),
                  QStringLiteral("secret\r\nDELE 1"), QStringLiteral("password")));
    {
        Row r = unsafe(Target::Literal, QString(), QStringLiteral("alice"),
                       QStringLiteral("secret"), QStringLiteral("server"));
        r.code = NoHost;
        addRow("empty server", r);
        r.host = QStringLiteral("   ");
        addRow("blank server", r);
    }
}

void TestTarvik::check()
{
    QFETCH(FakePop3Script, script);
    QFETCH(int, target);
    QFETCH(QString, host);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, timeout);
    QFETCH(int, code);
    QFETCH(QString, fragment);
    QFETCH(qint64, count);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    QFETCH(bool, checkWire);
    QFETCH(QByteArray, wire);
    QFETCH(int, connections);

    FakePop3Server server(script);
    QVERIFY(server.isListening());

    Tarvik tarvik;
    switch (Target(target)) {
    case Target::Fake:
        tarvik.setPophostname(server.host());
        tarvik.setPopport(server.port());
        break;
    case Target::Literal:
        tarvik.setPophostname(host);
        tarvik.setPopport(server.port());
        break;
    case Target::RefusedPort: {
        const quint16 port = Loopback::unusedPort();
        QVERIFY(port != 0);
        tarvik.setPophostname(QStringLiteral("127.0.0.1"));
        tarvik.setPopport(port);
        break;
    }
    }
    tarvik.setPopusername(user);
    tarvik.setPoppassword(password);
    tarvik.setPoptimeout(timeout);

    QElapsedTimer clock;
    clock.start();
    tarvik.popCheck();
    const qint64 elapsed = clock.elapsed();
    const QString status = tarvik.popStatus();
    const QByteArray context = status.toUtf8() + " (" + QByteArray::number(elapsed) + " ms)";

    QVERIFY2(tarvik.popError() == code,
             (context + ", code " + QByteArray::number(tarvik.popError())).constData());
    QVERIFY2(status.contains(fragment, Qt::CaseInsensitive), context.constData());
    QVERIFY2(fitsStatusLine(status), context.constData());
    QCOMPARE(tarvik.popCount(), count);
    QVERIFY2(elapsed >= minMs, context.constData());
    QVERIFY2(elapsed < maxMs, context.constData());
    tarvik.popClose();

    if (connections == 0) {
        // Give a stray connection time to show up before asserting there was none.
        QTest::qWait(150);
        QCOMPARE(server.connectionCount(), 0);
        QCOMPARE(server.received(), QByteArray());
        return;
    }
    if (connections > 0) {
        // The server sees the client's close and drops its side; only then is the log
        // complete.
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 5000);
        QCOMPARE(server.connectionCount(), connections);
    }
    if (checkWire)
        QCOMPARE(server.received(), wire);
}

void TestTarvik::noDescriptorLeakOverManyChecks()
{
    // The server answers QUIT but leaves closing to the client, so a socket the client
    // forgets to close stays open and shows up in the count.
    FakePop3Server server(Script::mailbox(9).on("QUIT", Reply::line("+OK bye")));
    QVERIFY(server.isListening());
    Tarvik tarvik;
    aimAt(tarvik, server);
    tarvik.setPoptimeout(2);

    // The first checks load what stays loaded (TLS backend, event dispatcher parts).
    for (int i = 0; i < 5; ++i) {
        tarvik.popCheck();
        QCOMPARE(tarvik.popError(), int(Pop3Code::Ok));
        tarvik.popClose();
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 5000);
    const int before = Loopback::openDescriptors();
    QVERIFY(before > 0);

    constexpr int checks = 1000;
    const QDeadlineTimer limit(90 * 1000);
    for (int i = 0; i < checks; ++i) {
        QVERIFY2(!limit.hasExpired(), qPrintable(QStringLiteral("only %1 checks").arg(i)));
        tarvik.popCheck();
        QVERIFY2(tarvik.popError() == Pop3Code::Ok, qPrintable(tarvik.popStatus()));
        QCOMPARE(tarvik.popCount(), qint64(9));
        tarvik.popClose();
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 10000);
    QCOMPARE(server.connectionCount(), checks + 5);
    QCOMPARE(Loopback::openDescriptors(), before);
}

void TestTarvik::applicationExitCancelsCheck()
{
    FakePop3Server server(Script::mailbox(1).greet(Reply::stall()));
    Tarvik tarvik;
    aimAt(tarvik, server);
    tarvik.setPoptimeout(20);

    QElapsedTimer clock;
    qint64 checkMs = -1;
    QTimer::singleShot(0, [&] {
        clock.start();
        tarvik.popCheck();
        checkMs = clock.elapsed();
    });
    QTimer poll;
    whenConnected(poll, server, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();

    QVERIFY(checkMs >= 0);
    QVERIFY2(checkMs < 3000, qPrintable(QString::number(checkMs)));
    QCOMPARE(tarvik.popError(), int(Pop3Code::Cancelled));
    QVERIFY(fitsStatusLine(tarvik.popStatus()));
    tarvik.popClose();
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 5000);
}

void TestTarvik::destroyedDuringCheck()
{
    FakePop3Server server(Script::mailbox(1).greet(Reply::stall()));
    auto *tarvik = new Tarvik;
    aimAt(*tarvik, server);
    tarvik->setPoptimeout(20);

    QTimer poll;
    whenConnected(poll, server, [&tarvik] {
        delete tarvik;
        tarvik = nullptr;
    });
    QElapsedTimer clock;
    clock.start();
    Tarvik *const running = tarvik;
    running->popCheck();
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(tarvik, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 5000);
    QCOMPARE(server.connectionCount(), 1);
}

void TestTarvik::secondCheckWhileRunningIsRefused()
{
    // A greeting that takes about half a second, so the timer below fires mid-check.
    FakePop3Server server(Script::mailbox(2).greet(Reply::line("+OK slow greeting").dripped(30)));
    Tarvik tarvik;
    aimAt(tarvik, server);
    tarvik.setPoptimeout(5);

    int ticks = 0;
    int innerError = -1;
    QString innerStatus;
    QTimer ticker;
    ticker.setInterval(20);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (++ticks != 3)
            return;
        tarvik.popCheck();
        innerError = tarvik.popError();
        innerStatus = tarvik.popStatus();
        tarvik.popClose();
    });
    ticker.start();
    tarvik.popCheck();
    ticker.stop();

    QCOMPARE(innerError, int(Pop3Code::Busy));
    QVERIFY(fitsStatusLine(innerStatus));
    // The timer kept firing while the check waited: the window would have repainted.
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QVERIFY2(tarvik.popError() == Pop3Code::Ok, qPrintable(tarvik.popStatus()));
    QCOMPARE(tarvik.popCount(), qint64(2));
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 5000);
    QCOMPARE(server.connectionCount(), 1);
}

void TestTarvik::resultsDoNotCarryOver()
{
    FakePop3Server server(Script::mailbox(5));
    Tarvik tarvik;
    aimAt(tarvik, server);
    tarvik.setPoptimeout(2);
    tarvik.popClose();
    tarvik.popClose();

    tarvik.popCheck();
    QCOMPARE(tarvik.popError(), int(Pop3Code::Ok));
    QCOMPARE(tarvik.popCount(), qint64(5));
    tarvik.popClose();
    tarvik.popClose();

    server.setScript(withStat("-ERR try later"));
    tarvik.popCheck();
    QCOMPARE(tarvik.popError(), int(Pop3Code::ServerError));
    QCOMPARE(tarvik.popCount(), qint64(0));
    tarvik.popClose();

    tarvik.setPoppassword(QStringLiteral("x\ny"));
    tarvik.popCheck();
    QCOMPARE(tarvik.popError(), int(Pop3Code::UnsafeInput));
    QCOMPARE(tarvik.popCount(), qint64(0));

    tarvik.setPoppassword(QStringLiteral("secret"));
    server.setScript(Script::mailbox(8));
    tarvik.popCheck();
    QCOMPARE(tarvik.popError(), int(Pop3Code::Ok));
    QCOMPARE(tarvik.popCount(), qint64(8));
    QCOMPARE(tarvik.popStatus(), QStringLiteral("Mailbox checked (password not encrypted)."));
    tarvik.popClose();
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 5000);
    QCOMPARE(server.connectionCount(), 3);
}

QTEST_MAIN(TestTarvik)
#include "tst_tarvik.moc"
