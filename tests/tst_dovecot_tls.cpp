#include "Dovecot.h"
#include "TarvikCase.h"
#include "TestCertificates.h"
#include "mail/Pop3Codes.h"
#include "mail/Tarvik.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <map>

// Tarvik against a real Dovecot with TLS: implicit TLS on the pop3s port, STLS on the
// POP3 port, and a server that requires TLS. Connections go to 127.0.0.2, which Dovecot
// does not count as secure by itself (unlike 127.0.0.1 to 127.0.0.1), so a login it
// accepts there in required mode went through TLS. Dovecot's log tells whether a login
// was made under TLS.
namespace {

constexpr int messages = 3;
constexpr int checkLimitMs = 10000;

struct Result {
    int code = -1;
    QString status;
    qint64 count = -1;
    qint64 ms = -1;
};

// Each check has a state file of its own, holding the remembered lines given.
Result check(const QString &server, bool trustTestCa, const QString &password = Dovecot::password(),
             const QByteArray &remembered = QByteArray(), const QString &user = Dovecot::user())
{
    QTemporaryDir state;
    const QString stateFile = state.filePath(QStringLiteral("servers"));
    if (!remembered.isEmpty()) {
        QFile file(stateFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(remembered) != remembered.size())
            return Result{};
    }
    Tarvik tarvik;
    tarvik.setProtectionFile(stateFile);
    tarvik.setPophostname(server);
    tarvik.setPopusername(user);
    tarvik.setPoppassword(password);
    tarvik.setPoptimeout(5);
    if (trustTestCa)
        tarvik.setExtraCaCertificates({TestCertificates::instance().authority()});
    QElapsedTimer clock;
    clock.start();
    tarvik.popCheck();
    Result result{tarvik.popError(), tarvik.popStatus(), tarvik.popCount(), clock.elapsed()};
    tarvik.popClose();
    return result;
}

// Logins of the test user in the log, and how many of them were under TLS.
struct Logins {
    int all = 0;
    int tls = 0;
};

Logins logins(const Dovecot &server)
{
    Logins found;
    static const QRegularExpression login(QStringLiteral("Login: user=<testuser>.*"));
    auto it = login.globalMatch(server.log());
    while (it.hasNext()) {
        const QString line = it.next().captured(0);
        ++found.all;
        if (line.contains(QLatin1String(", TLS,")))
            ++found.tls;
    }
    return found;
}

// A plaintext USER and PASS on a raw socket: the reply to PASS, or why there was none.
QByteArray plaintextLogin(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.2"), port);
    if (!socket.waitForConnected(5000))
        return "no connection";
    QByteArray last;
    const auto readLine = [&] {
        QElapsedTimer clock;
        clock.start();
        while (!socket.canReadLine() && !clock.hasExpired(5000))
            socket.waitForReadyRead(200);
        last = socket.readLine().trimmed();
    };
    readLine();
    socket.write("USER " + Dovecot::user().toUtf8() + "\r\n");
    readLine();
    socket.write("PASS " + Dovecot::password().toUtf8() + "\r\n");
    readLine();
    const QByteArray answer = last;
    socket.write("QUIT\r\n");
    socket.waitForBytesWritten(1000);
    socket.abort();
    return answer;
}

// The client's flights as the session logs them (command words only), one entry per
// flight, while it is alive.
class FlightLog {
public:
    FlightLog()
    {
        s_flights.clear();
        QLoggingCategory::setFilterRules(QStringLiteral("morvex.pop3.debug=true"));
        s_previous = qInstallMessageHandler(&FlightLog::handle);
    }
    ~FlightLog()
    {
        qInstallMessageHandler(s_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    QStringList flights() const { return s_flights; }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (qstrcmp(context.category, "morvex.pop3") == 0) {
            if (text.startsWith(QLatin1String("C: ")))
                s_flights.append(text.mid(3));
            return;
        }
        s_previous(type, context, text);
    }
    static inline QStringList s_flights;
    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace

class TestDovecotTls : public QObject {
    Q_OBJECT

    // With TLS offered and the good certificate, for all rows of offered().
    std::unique_ptr<Dovecot> m_offered;
    // One of its own for each of the other tests.
    std::unique_ptr<Dovecot> m_server;
    // For mechanisms(), by auth_mechanisms and TLS, started as rows need them.
    std::map<QString, std::unique_ptr<Dovecot>> m_byMechanisms;

    static std::unique_ptr<Dovecot> startServer(Dovecot::Tls mode, const QString &identity)
    {
        const TestCertificates::Identity id = TestCertificates::instance().identity(identity);
        auto server = std::make_unique<Dovecot>();
        server->setTls(mode, id.certificateFile, id.keyFile);
        if (server->start(messages))
            return server;
        qWarning("%s", qPrintable(server->errorString()));
        return nullptr;
    }

    static QString expand(QString text, const Dovecot &server)
    {
        return text.replace(QLatin1String("%p"), QString::number(server.port()))
            .replace(QLatin1String("%s"), QString::number(server.pop3sPort()));
    }

private slots:
    void initTestCase();
    void cleanupTestCase()
    {
        m_offered.reset();
        m_byMechanisms.clear();
    }
    void cleanup() { m_server.reset(); }
    void offered_data();
    void offered();
    void required();
    void badCertificate_data();
    void badCertificate();
    void mechanisms_data();
    void mechanisms();
};

void TestDovecotTls::initTestCase()
{
    MORVEX_REQUIRE_DOVECOT();
    const QString problem = TestCertificates::instance().errorString();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    m_offered = startServer(Dovecot::Tls::Offered, QStringLiteral("localhost"));
    QVERIFY(m_offered);
}

void TestDovecotTls::offered_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("trust");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("loggedInWithTls");

    using namespace Pop3Code;
    const QString good = Dovecot::password();
    QTest::newRow("pop3s by address") << "pop3s://127.0.0.2:%s" << true << good << int(Ok) << true;
    QTest::newRow("pop3s by name") << "pop3s://localhost:%s" << true << good << int(Ok) << true;
    QTest::newRow("STLS by address") << "127.0.0.2:%p" << true << good << int(Ok) << true;
    QTest::newRow("STLS by pop3:// and name")
        << "pop3://localhost:%p" << true << good << int(Ok) << true;
    QTest::newRow("pop3s, wrong password")
        << "pop3s://127.0.0.2:%s" << true << "wrong" << int(LoginRefused) << false;
    QTest::newRow("STLS, wrong password")
        << "127.0.0.2:%p" << true << "wrong" << int(LoginRefused) << false;
    QTest::newRow("pop3s, test authority not trusted")
        << "pop3s://127.0.0.2:%s" << false << good << int(CertificateUntrusted) << false;
    QTest::newRow("STLS, test authority not trusted")
        << "127.0.0.2:%p" << false << good << int(CertificateUntrusted) << false;
    QTest::newRow("plaintext to the pop3s port")
        << "127.0.0.2:%s" << true << good << int(NoData) << false;
}

void TestDovecotTls::offered()
{
    QFETCH(QString, server);
    QFETCH(bool, trust);
    QFETCH(QString, password);
    QFETCH(int, code);
    QFETCH(bool, loggedInWithTls);

    const Logins before = logins(*m_offered);
    const Result result = check(expand(server, *m_offered), trust, password);
    const QByteArray context = result.status.toUtf8() + " (code " +
                               QByteArray::number(result.code) + ", " +
                               QByteArray::number(result.ms) + " ms)";
    QVERIFY2(result.code == code, context.constData());
    QVERIFY2(fitsStatusLine(result.status), context.constData());
    QCOMPARE(result.count, code == Pop3Code::Ok ? qint64(messages) : qint64(0));
    QVERIFY2(result.ms < checkLimitMs, context.constData());

    // Dovecot's log process writes a little behind.
    if (loggedInWithTls)
        QTRY_COMPARE_WITH_TIMEOUT(logins(*m_offered).all, before.all + 1, 5000);
    else
        QTest::qWait(300);
    const Logins after = logins(*m_offered);
    QCOMPARE(after.all, before.all + (loggedInWithTls ? 1 : 0));
    QCOMPARE(after.tls - before.tls, after.all - before.all);
}

void TestDovecotTls::required()
{
    m_server = startServer(Dovecot::Tls::Required, QStringLiteral("localhost"));
    QVERIFY(m_server);

    // The server really refuses a login without TLS from 127.0.0.2...
    const QByteArray refusal = plaintextLogin(m_server->port());
    QVERIFY2(refusal.startsWith("-ERR"), refusal.constData());

    // ...so the check below can only have succeeded by switching to TLS.
    const Result viaStls = check(expand(QStringLiteral("127.0.0.2:%p"), *m_server), true);
    QVERIFY2(viaStls.code == Pop3Code::Ok, qPrintable(viaStls.status + m_server->log()));
    QCOMPARE(viaStls.count, qint64(messages));
    QVERIFY(viaStls.ms < checkLimitMs);

    const Result implicit = check(expand(QStringLiteral("pop3s://127.0.0.2:%s"), *m_server), true);
    QVERIFY2(implicit.code == Pop3Code::Ok, qPrintable(implicit.status));
    QCOMPARE(implicit.count, qint64(messages));

    // A certificate the client cannot trust ends the check; it never falls back.
    const Result untrusted = check(expand(QStringLiteral("127.0.0.2:%p"), *m_server), false);
    QCOMPARE(untrusted.code, int(Pop3Code::CertificateUntrusted));

    m_server->stop();
    const Logins seen = logins(*m_server);
    QCOMPARE(seen.all, 2);
    QCOMPARE(seen.tls, 2);
}

void TestDovecotTls::badCertificate_data()
{
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("server");
    QTest::addColumn<int>("code");

    using namespace Pop3Code;
    QTest::newRow("expired, pop3s") << "expired"
                                    << "pop3s://127.0.0.2:%s" << int(CertificateExpired);
    QTest::newRow("expired, STLS") << "expired"
                                   << "127.0.0.2:%p" << int(CertificateExpired);
    QTest::newRow("self-signed, STLS") << "self-signed"
                                       << "127.0.0.2:%p" << int(CertificateUntrusted);
    QTest::newRow("other name, pop3s") << "wrong-name"
                                       << "pop3s://localhost:%s" << int(CertificateNameMismatch);
    QTest::newRow("name only, reached by address, STLS")
        << "name-only"
        << "127.0.0.2:%p" << int(CertificateNameMismatch);
}

void TestDovecotTls::badCertificate()
{
    QFETCH(QString, identity);
    QFETCH(QString, server);
    QFETCH(int, code);

    m_server = startServer(Dovecot::Tls::Offered, identity);
    QVERIFY(m_server);
    const Result result = check(expand(server, *m_server), true);
    QVERIFY2(result.code == code,
             qPrintable(result.status + QStringLiteral(" code ") + QString::number(result.code)));
    QVERIFY(fitsStatusLine(result.status));
    QVERIFY(result.ms < checkLimitMs);
    m_server->stop();
    QCOMPARE(logins(*m_server).all, 0);
}

QTEST_GUILESS_MAIN(TestDovecotTls)
#include "tst_dovecot_tls.moc"

// Each login mechanism against a Dovecot that offers it, told apart by Dovecot's log
// ("method=") and by the flights the client sent.
void TestDovecotTls::mechanisms_data()
{
    QTest::addColumn<QString>("auth"); // Dovecot's auth_mechanisms
    QTest::addColumn<bool>("tls");     // STLS and pop3s offered
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("method"); // of the login in Dovecot's log; empty: none
    QTest::addColumn<QStringList>("flights");
    QTest::addColumn<QByteArray>("remembered"); // the state file's lines before the check
    QTest::addColumn<bool>("utf8");             // the login and password with letters beyond ASCII

    using namespace Pop3Code;
    const QString all = QStringLiteral("plain login scram-sha-256 scram-sha-1 apop");
    const QString good = Dovecot::password();
    const QString scram = QStringLiteral("Mailbox checked (SCRAM, password not sent).");
    QTest::newRow("SCRAM-SHA-256")
        << all << false << "127.0.0.2:%p" << good << int(Ok) << scram << "SCRAM-SHA-256"
        << QStringList{"CAPA", "AUTH SCRAM-SHA-256", "[SASL]", "[SASL]", "STAT QUIT"}
        << QByteArray() << false;
    QTest::newRow("SCRAM-SHA-256, wrong password")
        << all << false << "127.0.0.2:%p"
        << "wrong" << int(LoginRefused) << "Password refused: Authentication failed." << QString()
        << QStringList{"CAPA", "AUTH SCRAM-SHA-256", "[SASL]", "QUIT"} << QByteArray() << false;
    QTest::newRow("SCRAM-SHA-1") << "plain scram-sha-1" << false << "127.0.0.2:%p" << good
                                 << int(Ok) << scram << "SCRAM-SHA-1"
                                 << QStringList{"CAPA", "AUTH SCRAM-SHA-1", "[SASL]", "[SASL]",
                                                "STAT QUIT"}
                                 << QByteArray() << false;
    QTest::newRow("APOP") << "plain apop" << false << "127.0.0.2:%p" << good << int(Ok)
                          << "Mailbox checked (APOP, password not sent)."
                          << "APOP" << QStringList{"CAPA", "APOP", "STAT QUIT"} << QByteArray()
                          << false;
    QTest::newRow("pipelined USER and PASS")
        << "plain login" << false << "127.0.0.2:%p" << good << int(Ok)
        << "Mailbox checked (password not encrypted)."
        << "PLAIN" << QStringList{"CAPA", "USER PASS", "STAT QUIT"} << QByteArray() << false;
    QTest::newRow("CRAM-MD5") << "plain cram-md5 apop" << false << "127.0.0.2:%p" << good << int(Ok)
                              << "Mailbox checked (CRAM-MD5, password not sent)."
                              << "CRAM-MD5"
                              << QStringList{"CAPA", "AUTH CRAM-MD5", "[SASL]", "STAT QUIT"}
                              << QByteArray() << false;
    QTest::newRow("AUTH PLAIN under STLS")
        << all << true << "127.0.0.2:%p" << good << int(Ok) << "Mailbox checked (TLS)."
        << "PLAIN" << QStringList{"CAPA", "STLS", "CAPA", "AUTH PLAIN", "STAT QUIT"} << QByteArray()
        << false;
    QTest::newRow("AUTH PLAIN under pop3s")
        << all << true << "pop3s://127.0.0.2:%s" << good << int(Ok) << "Mailbox checked (TLS)."
        << "PLAIN" << QStringList{"CAPA", "AUTH PLAIN", "STAT QUIT"} << QByteArray() << false;
    // A server remembered at a level it no longer gives: nothing after CAPA but QUIT.
    QTest::newRow("SCRAM remembered, only APOP offered")
        << "plain apop" << false << "127.0.0.2:%p" << good << int(ProtectionLowered)
        << "SCRAM no longer offered; password not sent." << QString() << QStringList{"CAPA", "QUIT"}
        << QByteArray("127.0.0.2 %p scram\n") << false;
    QTest::newRow("TLS remembered, no STLS offered")
        << all << false << "127.0.0.2:%p" << good << int(ProtectionLowered)
        << "TLS no longer offered; password not sent." << QString() << QStringList{"CAPA", "QUIT"}
        << QByteArray("127.0.0.2 %p tls\n") << false;
    // A login and password beyond ASCII, in UTF-8 whichever way they travel.
    const QString utf8 = Dovecot::utf8Password();
    QTest::newRow("SCRAM-SHA-256, jörg")
        << all << false << "127.0.0.2:%p" << utf8 << int(Ok) << scram << "SCRAM-SHA-256"
        << QStringList{"CAPA", "AUTH SCRAM-SHA-256", "[SASL]", "[SASL]", "STAT QUIT"}
        << QByteArray() << true;
    QTest::newRow("CRAM-MD5, jörg")
        << "plain cram-md5 apop" << false << "127.0.0.2:%p" << utf8 << int(Ok)
        << "Mailbox checked (CRAM-MD5, password not sent)."
        << "CRAM-MD5" << QStringList{"CAPA", "AUTH CRAM-MD5", "[SASL]", "STAT QUIT"} << QByteArray()
        << true;
    QTest::newRow("APOP, jörg") << "plain apop" << false << "127.0.0.2:%p" << utf8 << int(Ok)
                                << "Mailbox checked (APOP, password not sent)."
                                << "APOP" << QStringList{"CAPA", "APOP", "STAT QUIT"}
                                << QByteArray() << true;
    QTest::newRow("USER and PASS, jörg")
        << "plain login" << false << "127.0.0.2:%p" << utf8 << int(Ok)
        << "Mailbox checked (password not encrypted)."
        << "PLAIN" << QStringList{"CAPA", "USER PASS", "STAT QUIT"} << QByteArray() << true;
    QTest::newRow("AUTH PLAIN under STLS, jörg")
        << all << true << "127.0.0.2:%p" << utf8 << int(Ok) << "Mailbox checked (TLS)."
        << "PLAIN" << QStringList{"CAPA", "STLS", "CAPA", "AUTH PLAIN", "STAT QUIT"} << QByteArray()
        << true;
}

void TestDovecotTls::mechanisms()
{
    QFETCH(QString, auth);
    QFETCH(bool, tls);
    QFETCH(QString, server);
    QFETCH(QString, password);
    QFETCH(int, code);
    QFETCH(QString, status);
    QFETCH(QString, method);
    QFETCH(QStringList, flights);
    QFETCH(QByteArray, remembered);
    QFETCH(bool, utf8);
    const QString user = utf8 ? Dovecot::utf8User() : Dovecot::user();

    const QString key = auth + (tls ? QStringLiteral(" +tls") : QString());
    std::unique_ptr<Dovecot> &dovecot = m_byMechanisms[key];
    if (!dovecot) {
        const TestCertificates::Identity id =
            TestCertificates::instance().identity(QStringLiteral("localhost"));
        dovecot = std::make_unique<Dovecot>();
        dovecot->setMechanisms(auth);
        if (tls)
            dovecot->setTls(Dovecot::Tls::Offered, id.certificateFile, id.keyFile);
        QVERIFY2(dovecot->start(messages), qPrintable(dovecot->errorString()));
    }

    const QString log = dovecot->log();
    Result result;
    QStringList sent;
    {
        FlightLog flightLog;
        result = check(expand(server, *dovecot), true, password,
                       expand(QString::fromLatin1(remembered), *dovecot).toLatin1(), user);
        sent = flightLog.flights();
    }
    const QByteArray context = result.status.toUtf8() + " (code " +
                               QByteArray::number(result.code) + "), sent " +
                               sent.join(QLatin1String(" | ")).toUtf8();
    QVERIFY2(result.code == code, context.constData());
    QCOMPARE(result.status, status);
    QCOMPARE(result.count, code == Pop3Code::Ok ? qint64(messages) : qint64(0));
    QCOMPARE(sent, flights);
    if (method.isEmpty())
        return;
    // Dovecot's log process writes a little behind.
    const QString wanted = QStringLiteral("user=<%1>, method=%2,").arg(user, method);
    QTRY_VERIFY_WITH_TIMEOUT(dovecot->log().mid(log.size()).contains(wanted), 5000);
}
