#include "mail/ServerAddress.h"

#include <QTest>

using Problem = ServerAddress::Problem;

class TestServerAddress : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void writtenOutParsesBack_data() { parse_data(); }
    void writtenOutParsesBack();
    void bareHost_data();
    void bareHost();
};

void TestServerAddress::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("defaultPort");
    QTest::addColumn<int>("problem");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("implicitTls");

    const auto ok = [](const char *name, const QString &text, int defaultPort, const QString &host,
                       int port, bool tls) {
        QTest::newRow(name) << text << defaultPort << int(Problem::None) << host << port << tls;
    };
    const auto bad = [](const char *name, const QString &text, Problem problem) {
        QTest::newRow(name) << text << 110 << int(problem) << QString() << 0 << false;
    };
    const QString example = QStringLiteral("mail.example.com");

    ok("name", example, 110, example, 110, false);
    ok("name, popport elsewhere", example, 1110, example, 1110, false);
    ok("name, popport 995 is TLS", example, 995, example, 995, true);
    ok("name:port", QStringLiteral("mail.example.com:2110"), 110, example, 2110, false);
    ok("name:995 is TLS", QStringLiteral("mail.example.com:995"), 110, example, 995, true);
    ok("name:110 beats popport 995", QStringLiteral("mail.example.com:110"), 995, example, 110,
       false);
    ok("blanks around", QStringLiteral(" \tmail.example.com:2110 "), 110, example, 2110, false);
    ok("trailing dot", QStringLiteral("mail.example.com."), 110,
       QStringLiteral("mail.example.com."), 110, false);
    ok("underscore and digits", QStringLiteral("pop_3.host-1.example"), 110,
       QStringLiteral("pop_3.host-1.example"), 110, false);
    ok("IPv4", QStringLiteral("192.0.2.1:110"), 995, QStringLiteral("192.0.2.1"), 110, false);
    ok("IPv6 in brackets", QStringLiteral("[2001:db8::1]:1995"), 110, QStringLiteral("2001:db8::1"),
       1995, false);
    ok("IPv6 in brackets without port", QStringLiteral("[::1]"), 110, QStringLiteral("::1"), 110,
       false);
    ok("IPv6 with zone", QStringLiteral("[fe80::1%eth0]:110"), 110, QStringLiteral("fe80::1%eth0"),
       110, false);
    ok("leading zeros in the port", QStringLiteral("h:00995"), 110, QStringLiteral("h"), 995, true);
    ok("port 65535", QStringLiteral("h:65535"), 110, QStringLiteral("h"), 65535, false);
    ok("international name", QStringLiteral("m\u00fcller.example"), 110,
       QStringLiteral("m\u00fcller.example"), 110, false);
    ok("pop3://", QStringLiteral("pop3://mail.example.com"), 1110, example, 110, false);
    ok("pop3:// with port", QStringLiteral("pop3://mail.example.com:2110"), 110, example, 2110,
       false);
    ok("pop3:// to 995 stays plain", QStringLiteral("pop3://mail.example.com:995"), 110, example,
       995, false);
    ok("pop3s://", QStringLiteral("pop3s://mail.example.com"), 110, example, 995, true);
    ok("pop3s:// with port", QStringLiteral("pop3s://mail.example.com:2995"), 110, example, 2995,
       true);
    ok("POP3S:// in upper case", QStringLiteral("POP3S://mail.example.com"), 110, example, 995,
       true);
    ok("pop3s:// with IPv6", QStringLiteral("pop3s://[::1]:2995"), 110, QStringLiteral("::1"), 2995,
       true);
    ok("pop3s:// with a trailing slash", QStringLiteral("pop3s://mail.example.com/"), 110, example,
       995, true);

    bad("empty", QString(), Problem::Empty);
    bad("blanks only", QStringLiteral(" \t "), Problem::Empty);
    bad("imap://", QStringLiteral("imap://mail.example.com"), Problem::UnknownScheme);
    bad("pop://", QStringLiteral("pop://mail.example.com"), Problem::UnknownScheme);
    bad("https://", QStringLiteral("https://mail.example.com/"), Problem::UnknownScheme);
    bad("empty scheme", QStringLiteral("://mail.example.com"), Problem::UnknownScheme);
    bad("port 0", QStringLiteral("h:0"), Problem::BadPort);
    bad("port 65536", QStringLiteral("h:65536"), Problem::BadPort);
    bad("port of six digits", QStringLiteral("h:000110"), Problem::BadPort);
    bad("empty port", QStringLiteral("h:"), Problem::BadPort);
    bad("negative port", QStringLiteral("h:-1"), Problem::BadPort);
    bad("port with a letter", QStringLiteral("h:11o"), Problem::BadPort);
    bad("port with a plus", QStringLiteral("h:+110"), Problem::BadPort);
    bad("non-ASCII digit in the port", QStringLiteral("h:11\u0661"), Problem::BadPort);
    bad("IPv6 empty port", QStringLiteral("[::1]:"), Problem::BadPort);
    bad("pop3s:// without host", QStringLiteral("pop3s://"), Problem::NoHost);
    bad("port without host", QStringLiteral(":110"), Problem::NoHost);
    bad("scheme and port without host", QStringLiteral("pop3://:110"), Problem::NoHost);
    bad("empty brackets", QStringLiteral("[]:110"), Problem::NoHost);
    bad("path", QStringLiteral("pop3://mail.example.com/INBOX"), Problem::Path);
    bad("path without scheme", QStringLiteral("mail.example.com/x"), Problem::Path);
    bad("two trailing slashes", QStringLiteral("pop3://mail.example.com//"), Problem::Path);
    bad("query", QStringLiteral("mail.example.com:110?tls=1"), Problem::Path);
    bad("fragment", QStringLiteral("mail.example.com#x"), Problem::Path);
    bad("login", QStringLiteral("alice@mail.example.com"), Problem::Login);
    bad("login in URL", QStringLiteral("pop3://alice@mail.example.com"), Problem::Login);
    bad("blank inside", QStringLiteral("mail example.com"), Problem::Blank);
    bad("blank before the port", QStringLiteral("mail.example.com :110"), Problem::Blank);
    bad("tab inside", QStringLiteral("mail.\texample.com"), Problem::Blank);
    bad("no-break space inside", QStringLiteral("mail\u00a0example.com"), Problem::Blank);
    bad("control character", QStringLiteral("mail\x01.example.com"), Problem::Blank);
    bad("bidi override", QStringLiteral("mail\u202e.example.com"), Problem::Blank);
    bad("[ unclosed", QStringLiteral("[::1:110"), Problem::Brackets);
    bad("] alone", QStringLiteral("::1]:110"), Problem::Brackets);
    bad("text after ]", QStringLiteral("[::1]110"), Problem::Brackets);
    bad("two bracket pairs", QStringLiteral("[::1][::2]"), Problem::Brackets);
    bad("bracket in a name", QStringLiteral("mail[1].example.com"), Problem::Brackets);
    bad("IPv4 in brackets", QStringLiteral("[192.0.2.1]:110"), Problem::BadIpv6);
    bad("name in brackets", QStringLiteral("[mail.example.com]"), Problem::BadIpv6);
    bad("bare IPv6", QStringLiteral("::1"), Problem::BareIpv6);
    bad("bare IPv6 and port", QStringLiteral("2001:db8::1:110"), Problem::BareIpv6);
    bad("bare IPv6 with pop3s://", QStringLiteral("pop3s://2001:db8::1"), Problem::BareIpv6);
    bad("two ports", QStringLiteral("h:110:995"), Problem::BadHost);
    bad("empty label", QStringLiteral("mail..example.com"), Problem::BadHost);
    bad("leading dot", QStringLiteral(".example.com"), Problem::BadHost);
    bad("comma", QStringLiteral("mail,example.com"), Problem::BadHost);
    bad("percent in a name", QStringLiteral("mail%41.example.com"), Problem::BadHost);
    bad("label of 64 characters", QString(64, QLatin1Char('a')) + QStringLiteral(".example"),
        Problem::BadHost);
    bad("emoji in a name", QStringLiteral("mail\U0001F600.example"), Problem::BadHost);
}

void TestServerAddress::parse()
{
    QFETCH(QString, text);
    QFETCH(int, defaultPort);
    QFETCH(int, problem);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, implicitTls);

    const ServerAddress address = ServerAddress::parse(text, quint16(defaultPort));
    QCOMPARE(int(address.problem()), problem);
    QCOMPARE(address.isValid(), problem == int(Problem::None));
    if (!address.isValid()) {
        const QString why = address.problemText();
        QVERIFY(!why.isEmpty());
        QVERIFY2(why.size() <= 45, qPrintable(why));
        return;
    }
    QVERIFY(address.problemText().isEmpty());
    QCOMPARE(address.host(), host);
    QCOMPARE(int(address.port()), port);
    QCOMPARE(address.implicitTls(), implicitTls);
}

void TestServerAddress::writtenOutParsesBack()
{
    QFETCH(QString, text);
    QFETCH(int, defaultPort);

    const ServerAddress address = ServerAddress::parse(text, quint16(defaultPort));
    if (!address.isValid()) {
        QCOMPARE(address.toString(), QString());
        return;
    }
    const ServerAddress again = ServerAddress::parse(address.toString(), 1);
    QVERIFY2(again.isValid(), qPrintable(address.toString()));
    QCOMPARE(again.host(), address.host());
    QCOMPARE(again.port(), address.port());
    QCOMPARE(again.implicitTls(), address.implicitTls());
}

// A bare host name (no scheme, no port) is the one form that tries implicit TLS first and
// never sends the password in the clear to a server off this machine.
void TestServerAddress::bareHost_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("bare");
    QTest::addColumn<QString>("hostText");
    QTest::newRow("name") << "mail.example.com" << true << "mail.example.com";
    QTest::newRow("name with blanks around") << " mail.example.com " << true << "mail.example.com";
    QTest::newRow("IPv4") << "192.0.2.1" << true << "192.0.2.1";
    QTest::newRow("IPv6 in brackets") << "[2001:db8::1]" << true << "[2001:db8::1]";
    QTest::newRow("name:110") << "mail.example.com:110" << false << "mail.example.com";
    QTest::newRow("[IPv6]:110") << "[::1]:110" << false << "[::1]";
    QTest::newRow("pop3://") << "pop3://mail.example.com" << false << "mail.example.com";
    QTest::newRow("pop3s://") << "pop3s://mail.example.com" << false << "mail.example.com";
}

void TestServerAddress::bareHost()
{
    QFETCH(QString, text);
    QFETCH(bool, bare);
    QFETCH(QString, hostText);
    const ServerAddress address = ServerAddress::parse(text);
    QVERIFY(address.isValid());
    QCOMPARE(address.isBare(), bare);
    QCOMPARE(address.hostText(), hostText);
    const ServerAddress secure = address.withImplicitTls();
    QCOMPARE(secure.host(), address.host());
    QCOMPARE(int(secure.port()), 995);
    QVERIFY(secure.implicitTls());
    QVERIFY(!secure.isBare());
}

QTEST_GUILESS_MAIN(TestServerAddress)
#include "tst_serveraddress.moc"
