#include "FakePop3Server.h"
#include "TestCertificates.h"
#include "mail/HostIdentity.h"
#include "mail/Pop3Channel.h"

#include <QTest>

// Which certificate names which host (RFC 6125, RFC 2595 §2.4): by the rules alone, on
// the test certificates, and in real handshakes, where Qt's own check and ours both run.
class TestHostIdentity : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void nameMatches_data();
    void nameMatches();
    void certificate_data();
    void certificate();
    void handshake_data() { certificate_data(); }
    void handshake();
};

void TestHostIdentity::initTestCase()
{
    const QString problem = TestCertificates::instance().errorString();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestHostIdentity::nameMatches_data()
{
    QTest::addColumn<QString>("presented");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("match");

    const auto row = [](const char *name, const char *presented, const QString &host, bool match) {
        QTest::newRow(name) << QString::fromUtf8(presented) << host << match;
    };
    row("same", "mail.example.com", QStringLiteral("mail.example.com"), true);
    row("letter case", "Mail.Example.COM", QStringLiteral("mail.EXAMPLE.com"), true);
    row("trailing dot on the host", "mail.example.com", QStringLiteral("mail.example.com."), true);
    row("other name", "mail.example.com", QStringLiteral("pop.example.com"), false);
    row("suffix only", "example.com", QStringLiteral("mail.example.com"), false);
    row("wildcard, one label", "*.example.com", QStringLiteral("mail.example.com"), true);
    row("wildcard, letter case", "*.EXAMPLE.com", QStringLiteral("MAIL.example.COM"), true);
    row("wildcard, two labels", "*.example.com", QStringLiteral("a.mail.example.com"), false);
    row("wildcard, no label", "*.example.com", QStringLiteral("example.com"), false);
    row("wildcard, empty label", "*.example.com", QStringLiteral(".example.com"), false);
    row("wildcard over one label", "*.com", QStringLiteral("example.com"), false);
    row("wildcard alone", "*", QStringLiteral("localhost"), false);
    row("partial wildcard", "m*.example.com", QStringLiteral("mail.example.com"), false);
    row("wildcard not left-most", "mail.*.com", QStringLiteral("mail.example.com"), false);
    row("two wildcards", "*.*.example.com", QStringLiteral("a.b.example.com"), false);
    row("wildcard and an address", "*.0.2.1", QStringLiteral("192.0.2.1"), false);
    row("name and an address", "192.0.2.1", QStringLiteral("192.0.2.1"), false);
    row("international name", "xn--mller-kva.example", QStringLiteral("m\u00fcller.example"), true);
    row("international wildcard", "*.xn--mller-kva.example",
        QStringLiteral("pop.m\u00fcller.example"), true);
    row("empty presented", "", QStringLiteral("localhost"), false);
    row("empty host", "localhost", QString(), false);
}

void TestHostIdentity::nameMatches()
{
    QFETCH(QString, presented);
    QFETCH(QString, host);
    QFETCH(bool, match);
    QCOMPARE(HostIdentity::nameMatches(presented, host), match);
}

void TestHostIdentity::certificate_data()
{
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("match");

    const auto row = [](const char *name, const char *identity, const char *host, bool match) {
        QTest::newRow(name) << QString::fromLatin1(identity) << QString::fromLatin1(host) << match;
    };
    row("IP SAN, IPv4", "localhost", "127.0.0.1", true);
    row("IP SAN, other IPv4", "localhost", "127.0.0.3", false);
    row("IP SAN, IPv6", "localhost", "::1", true);
    row("IP SAN, IPv6 written out", "localhost", "0:0:0:0:0:0:0:1", true);
    row("DNS SAN", "localhost", "localhost", true);
    row("DNS SAN only, reached by address", "name-only", "127.0.0.1", false);
    row("wildcard SAN", "wildcard", "mail.test.invalid", true);
    row("wildcard SAN, deeper name", "wildcard", "a.mail.test.invalid", false);
    row("wildcard SAN, bare domain", "wildcard", "test.invalid", false);
    row("wildcard over one label", "short-wildcard", "test.invalid", false);
    row("partial wildcard", "partial-wildcard", "mail.test.invalid", false);
    row("CN beside a DNS SAN", "cn-beside-san", "localhost", false);
    row("the DNS SAN beside a CN", "cn-beside-san", "other.invalid", true);
    row("CN without any SAN", "cn-only", "localhost", true);
    row("CN is no address", "cn-only", "127.0.0.1", false);
    row("wrong name", "wrong-name", "localhost", false);
}

void TestHostIdentity::certificate()
{
    QFETCH(QString, identity);
    QFETCH(QString, host);
    QFETCH(bool, match);
    const TestCertificates::Identity id = TestCertificates::instance().identity(identity);
    QVERIFY(!id.isNull());
    QCOMPARE(HostIdentity::matches(id.certificate, host), match);
}

void TestHostIdentity::handshake()
{
    QFETCH(QString, identity);
    QFETCH(QString, host);
    QFETCH(bool, match);

    const TestCertificates &pki = TestCertificates::instance();
    const TestCertificates::Identity id = pki.identity(identity);
    QVERIFY(!id.isNull());
    const bool ipv6 = host.contains(QLatin1Char(':'));
    FakePop3Server server(
        FakePop3Script::mailbox(1), FakeTls{{id.certificate}, id.key, true},
        QHostAddress(ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
    if (ipv6 && !server.isListening())
        QSKIP("no IPv6 loopback here");
    QVERIFY(server.isListening());

    // Connected by address, checked against the name under test.
    Pop3Channel channel;
    QCOMPARE(channel.open(server.host(), server.port(), QDeadlineTimer(5000)),
             Pop3Channel::Result::Ok);
    const Pop3Channel::Result result =
        channel.startTls(host, {pki.authority()}, QDeadlineTimer(5000));
    if (match) {
        QCOMPARE(result, Pop3Channel::Result::Ok);
        QVERIFY(channel.isEncrypted());
        QByteArray greeting;
        QCOMPARE(channel.readLine(&greeting, QDeadlineTimer(5000)), Pop3Channel::Result::Ok);
        QVERIFY(greeting.startsWith("+OK"));
    } else {
        QCOMPARE(result, Pop3Channel::Result::TlsFailed);
        QVERIFY(!channel.isConnected());
        bool mismatch = false;
        for (const QSslError &error : channel.tlsErrors())
            mismatch = mismatch || error.error() == QSslError::HostNameMismatch;
        QVERIFY2(mismatch, qPrintable(QString::number(channel.tlsErrors().size())));
    }
    channel.close(QDeadlineTimer(2000));
}

QTEST_GUILESS_MAIN(TestHostIdentity)
#include "tst_hostidentity.moc"
