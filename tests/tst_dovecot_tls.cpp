#include "Dovecot.h"
#include "TarvikCase.h"
#include "TestCertificates.h"
#include "mail/Pop3Codes.h"
#include "mail/Tarvik.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

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

Result check(const QString &server, bool trustTestCa, const QString &password = Dovecot::password())
{
    Tarvik tarvik;
    tarvik.setPophostname(server);
    tarvik.setPopusername(Dovecot::user());
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

} // namespace

class TestDovecotTls : public QObject {
    Q_OBJECT

    // With TLS offered and the good certificate, for all rows of offered().
    std::unique_ptr<Dovecot> m_offered;
    // One of its own for each of the other tests.
    std::unique_ptr<Dovecot> m_server;

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
    void cleanupTestCase() { m_offered.reset(); }
    void cleanup() { m_server.reset(); }
    void offered_data();
    void offered();
    void required();
    void badCertificate_data();
    void badCertificate();
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
