#include "FakePop3Server.h"
#include "Loopback.h"
#include "NetNamespace.h"
#include "ScramExamples.h"
#include "TarvikCase.h"
#include "TestCertificates.h"
#include "mail/Tarvik.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// Connecting as a user's network would have it, in a network namespace of the test's own:
// host names with several addresses, one of which drops every packet; a bare host name's
// ports 995 and 110, open, refused or filtered; servers off this machine that offer no TLS.
namespace {

using C = TarvikCase;
using Reply = FakePop3Reply;
using Script = FakePop3Script;
using Credentials = TarvikCase::Credentials;

// The namespace: mail.test and dual.test's IPv4 address answer; filtered.test drops what
// comes to its port 995 and dual.test's IPv6 address drops everything, as broken paths do.
const QString mailAddress = QStringLiteral("10.77.0.2");
const QString filteredAddress = QStringLiteral("10.77.0.3");
const QString mailHost = QStringLiteral("mail.test");
const QString filteredHost = QStringLiteral("filtered.test");

const char setup[] = R"(set -e
ip netns add "$NS"
ip -n "$NS" link set lo up
ip -n "$NS" link add mvx0 type veth peer name mvx1
ip -n "$NS" addr add 10.77.0.1/24 dev mvx0
ip -n "$NS" addr add 10.77.0.2/24 dev mvx1
ip -n "$NS" addr add 10.77.0.3/24 dev mvx1
ip -n "$NS" -6 addr add 3fff:77::1/64 dev mvx0 nodad
ip -n "$NS" -6 addr add 3fff:77::2/64 dev mvx1 nodad
ip -n "$NS" link set mvx0 up
ip -n "$NS" link set mvx1 up
ip netns exec "$NS" nft -f - <<'RULES'
table inet morvex {
    chain input {
        type filter hook input priority 0; policy accept;
        ip6 daddr 3fff:77::2 drop
        ip daddr 10.77.0.3 tcp dport 995 drop
    }
}
RULES
)";
// 3fff::/20 is for documentation; unlike 2001:db8::/32 (inside Teredo's prefix) the resolver
// ranks it before IPv4 (RFC 6724), so dual.test is tried over IPv6 first.
const char hosts[] = "127.0.0.1 localhost\n"
                     "::1 localhost\n"
                     "10.77.0.2 mail.test dual.test\n"
                     "10.77.0.3 filtered.test\n"
                     "3fff:77::2 dual.test\n";

const QByteArray pass = QByteArray("PASS ") + TarvikCase::password + "\r\n";
const QString checkedTls = QStringLiteral("Mailbox checked (TLS).");

// A bare host name in the namespace, its port 110 playing script.
C bare(const QString &host, const QString &address, const Script &script, qint64 count)
{
    C c = C::ok(script, count).tls(TarvikCase::Server::Plain, QStringLiteral("test-names"));
    return c.bare(host, address).within(3);
}

// Only plain POP3 on 110, with everything that would show the password in the clear or
// a digest of it on offer.
Script plainOnly()
{
    return Script::mailbox(3)
        .greet(Reply::line("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>"))
        .capa({"USER", "PIPELINING", "SASL PLAIN LOGIN CRAM-MD5"});
}

C noTls(const QString &host, const QString &address, const QString &status)
{
    C c = bare(host, address, plainOnly(), 0)
              .secret(Credentials::Never)
              .received("CAPA\r\nQUIT\r\n")
              .leaves(QByteArray());
    c.code = Pop3Code::ClearNotAllowed;
    c.fragment = status;
    return c;
}

} // namespace

class TestConnect : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString problem = TestCertificates::instance().errorString();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // The first TLS check of a process reads the system's authorities (to add the test
        // authority to them), which can take longer than the race's delay: done here, so
        // that the rows time only themselves.
        C::ok(Script::mailbox(1), 1)
            .tls(TarvikCase::Server::ImplicitTls)
            .text(QStringLiteral("pop3s://%h:%p"))
            .run();
    }
    void check_data();
    void check()
    {
        QFETCH(TarvikCase, row);
        row.run();
    }
    void brokenIpv6CostsUnderASecond();
    void noLeakOverManyRaces();
    void applicationExitEndsRace();
};

void TestConnect::check_data()
{
    QTest::addColumn<TarvikCase>("row");
    using namespace Pop3Code;
    const auto add = [](const char *name, const C &c) { QTest::newRow(name) << c; };

    // Addresses race (RFC 8305): the IPv6 address that drops everything is left behind.
    {
        C c =
            C::ok(Script::mailbox(2), 2).text(QStringLiteral("dual.test:%p")).within(5, 200, 1500);
        c.address = mailAddress;
        add("IPv6 drops, IPv4 answers", c);
    }
    {
        C c = C::ok(Script::mailbox(2), 2).within(2, 0, 1500);
        c.address = QStringLiteral("127.0.0.1");
        add("a name for ::1 and 127.0.0.1, only IPv4 listens", c.text(QStringLiteral("localhost")));
    }

    // A bare host name: implicit TLS on 995 first, then STLS on 110 beside it.
    {
        C c = bare(mailHost, mailAddress, Script::stlsMailbox(5), 4)
                  .with995(Script::mailbox(4))
                  .secret(Credentials::EncryptedOnly)
                  .inClear(QByteArray())
                  .leaves("mail.test 995 tls\n");
        c.connections = 0;
        c.fragment = checkedTls;
        add("995 answers: TLS from the first byte, 110 untouched", c);
        add("995 remembered: straight there", C(c).remembering("mail.test 995 tls\n"));
        add("APOP remembered on 110: 995 is still tried first",
            C(c).remembering("mail.test 110 apop\n")
                .leaves("mail.test 110 apop\nmail.test 995 tls\n"));
        C gone = bare(mailHost, mailAddress, Script::stlsMailbox(5), 0)
                     .remembering("mail.test 995 tls\n")
                     .secret(Credentials::Never)
                     .leaves("mail.test 995 tls\n");
        gone.connections = 0;
        gone.code = TlsPortUnreachable;
        gone.fragment = QStringLiteral("TLS port 995 unreachable; 110 not tried.");
        add("995 remembered, now refused: no fall back to 110", gone);
    }
    {
        C c = bare(mailHost, mailAddress, Script::stlsMailbox(5), 5)
                  .secret(Credentials::EncryptedOnly)
                  .inClear("CAPA\r\nSTLS\r\n")
                  .leaves("mail.test 110 tls\n");
        c.fragment = checkedTls;
        add("995 refuses at once: STLS on 110", C(c).within(3, 0, 1000));
        add("110 remembered: straight there, 995 untouched",
            C(c).with995(Script::mailbox(4), 0).remembering("mail.test 110 tls\n"));
        C filtered = C(c).bare(filteredHost, filteredAddress).within(3, 240, 1500);
        add("995 drops: STLS on 110 after the race delay",
            filtered.leaves("filtered.test 110 tls\n"));
        C silent = C(c).with995(Script::mailbox(1).greet(Reply::stall())).within(3, 240, 1500);
        silent.secureInClear = true;
        silent.checkClear = false; // the TLS handshake's first flight reached 995 in the clear
        add("995 takes the connection, never the handshake: STLS on 110", silent);
        C selfSigned = C(c).with995(Script::mailbox(4)).within(3, 0, 1500);
        selfSigned.secureIdentity = QStringLiteral("self-signed");
        add("995 with a self-signed certificate: STLS on 110", selfSigned);
    }

    // No TLS on either port: nothing secret leaves the machine, whatever else is offered;
    // this is also all a man in the middle gets for stripping STLS at the very first check.
    add("no TLS anywhere: password not sent",
        noTls(mailHost, mailAddress, QStringLiteral("No TLS: to log in, type pop3://mail.test")));
    {
        // A server that offers STLS, with STLS taken out of its CAPA by someone in between.
        C stripped = noTls(mailHost, mailAddress, QStringLiteral("type pop3://mail.test"));
        stripped.script = Script::stlsMailbox(5)
                              .greet(plainOnly().greeting)
                              .capa({"USER", "PIPELINING", "SASL PLAIN CRAM-MD5"});
        add("STLS stripped at the first check: nothing secret sent", stripped);
    }
    add("no TLS, 995 dropped: password not sent after 995's timeout",
        noTls(filteredHost, filteredAddress, QStringLiteral("type pop3://filtered.test"))
            .within(2, 1900, 3500));
    {
        C c =
            noTls(mailHost, mailAddress, QStringLiteral("self-signed")).with995(Script::mailbox(4));
        c.secureIdentity = QStringLiteral("self-signed");
        c.code = CertificateUntrusted;
        add("no TLS on 110, a self-signed certificate on 995: the certificate is told", c);
    }
    {
        C c =
            bare(mailHost, mailAddress,
                 scramServer(rfc7677, challenge(rfc7677.serverFinal), Reply::line("+OK logged in")),
                 2)
                .as(QStringLiteral("user"), QStringLiteral("pencil"))
                .scramNonce(rfc7677.nonce)
                .secret(Credentials::Never)
                .leaves("mail.test 110 scram\n");
        c.fragment = QStringLiteral("Mailbox checked (SCRAM, password not sent).");
        add("no TLS, SCRAM offered: SCRAM", c);
    }
    // Typing the scheme or a port is the user's say-so: the clear, as POP3 always was.
    {
        const Script apop = plainOnly()
                                .on("AUTH CRAM-MD5", Reply::line("-ERR"))
                                .on("APOP", Reply::line("+OK maildrop locked"));
        C c = bare(mailHost, mailAddress, apop, 3)
                  .as(QStringLiteral("mrose"), QStringLiteral("tanstaaf"))
                  .text(QStringLiteral("pop3://mail.test"))
                  .received("CAPA\r\nAUTH CRAM-MD5\r\n"
                            "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\nSTAT\r\nQUIT\r\n")
                  .leaves("mail.test 110 apop\n");
        c.fragment = QStringLiteral("Mailbox checked (APOP, password not sent).");
        add("no TLS, pop3://: logs in as ever", c);
        C port = bare(mailHost, mailAddress, Script::mailbox(3), 3)
                     .text(QStringLiteral("mail.test:110"))
                     .received("CAPA\r\nUSER alice\r\n" + pass + "STAT\r\nQUIT\r\n");
        port.fragment = QStringLiteral("Mailbox checked (password not encrypted).");
        add("no TLS, mail.test:110: logs in as ever", port);
    }
    // Nothing leaves the machine on loopback: no say-so needed.
    {
        C c = bare(QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"), Script::mailbox(3), 3)
                  .received("CAPA\r\nUSER alice\r\n" + pass + "STAT\r\nQUIT\r\n");
        c.fragment = QStringLiteral("Mailbox checked (password not encrypted).");
        add("loopback address, no TLS: logs in", c);
        add("localhost, no TLS: logs in", C(c).text(QStringLiteral("localhost")));
    }
}

// A direct IPv4 check against the same check by a name whose IPv6 address drops every
// packet: the difference is the race's delay, not a timeout.
void TestConnect::brokenIpv6CostsUnderASecond()
{
    FakePop3Server server(Script::mailbox(2), FakeTls(), QHostAddress(mailAddress));
    QVERIFY(server.isListening());
    const QTemporaryDir state;
    Tarvik tarvik;
    tarvik.setProtectionFile(state.filePath(QStringLiteral("servers")));
    tarvik.setPoptimeout(10);
    tarvik.setPopusername(QStringLiteral("alice"));
    tarvik.setPoppassword(QStringLiteral("secret"));
    const auto timed = [&](const QString &host) {
        tarvik.setPophostname(host + QLatin1Char(':') + QString::number(server.port()));
        QElapsedTimer clock;
        clock.start();
        tarvik.popCheck();
        const qint64 ms = clock.elapsed();
        tarvik.popClose();
        return tarvik.popError() == Pop3Code::Ok ? ms : -1;
    };
    const qint64 direct = timed(mailAddress);
    const qint64 dual = timed(QStringLiteral("dual.test"));
    qInfo("direct IPv4: %lld ms; dual.test, IPv6 dropped: %lld ms", direct, dual);
    QVERIFY(direct >= 0);
    QVERIFY(dual >= 0);
    QVERIFY2(dual < direct + 1000, qPrintable(QString::number(dual - direct)));
}

// Races won by 995, and races where 995 refuses and 110 offers no TLS: every socket and
// timer of the losing attempts goes with the check.
void TestConnect::noLeakOverManyRaces()
{
    const TestCertificates::Identity id = TestCertificates::instance().identity("test-names");
    const QHostAddress address(mailAddress);
    FakePop3Server plain(plainOnly().on("QUIT", Reply::line("+OK bye")), FakeTls(), address, 110);
    auto secure = std::make_unique<FakePop3Server>(
        Script::mailbox(4), FakeTls{{id.certificate}, id.key, true}, address, 995);
    QVERIFY(plain.isListening() && secure->isListening());
    QTemporaryDir state;
    const QString file = state.filePath(QStringLiteral("servers"));
    Tarvik tarvik;
    tarvik.setProtectionFile(file);
    tarvik.setExtraCaCertificates({TestCertificates::instance().authority()});
    tarvik.setPophostname(mailHost);
    tarvik.setPopusername(QStringLiteral("alice"));
    tarvik.setPoppassword(QStringLiteral("secret"));
    tarvik.setPoptimeout(3);
    // A few checks first load what stays loaded; the descriptors are counted after them.
    int before = 0;
    const auto checks = [&](int count, int code) {
        for (int i = 0; i < count + 5; ++i) {
            QFile::remove(file); // every check a first contact, so every one races
            tarvik.popCheck();
            QVERIFY2(tarvik.popError() == code, qPrintable(tarvik.popStatus()));
            tarvik.popClose();
            if (i == 4) {
                QTRY_COMPARE_WITH_TIMEOUT(plain.openConnectionCount(), 0, 5000);
                before = Loopback::openDescriptors();
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(plain.openConnectionCount(), 0, 5000);
        QCOMPARE(Loopback::openDescriptors(), before);
    };
    checks(150, Pop3Code::Ok);
    secure.reset();
    checks(150, Pop3Code::ClearNotAllowed);
}

// The program ends while 995 drops its packets and 110 never greets: the check ends at once.
void TestConnect::applicationExitEndsRace()
{
    FakePop3Server silent(Script::mailbox(1).greet(Reply::stall()), FakeTls(),
                          QHostAddress(filteredAddress), 110);
    QVERIFY(silent.isListening());
    const QTemporaryDir state;
    Tarvik tarvik;
    tarvik.setProtectionFile(state.filePath(QStringLiteral("servers")));
    tarvik.setPophostname(filteredHost);
    tarvik.setPoptimeout(20);
    qint64 checkMs = -1;
    QTimer::singleShot(0, [&] {
        QElapsedTimer clock;
        clock.start();
        tarvik.popCheck();
        checkMs = clock.elapsed();
    });
    QTimer::singleShot(600, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    QVERIFY2(checkMs >= 0 && checkMs < 2000, qPrintable(QString::number(checkMs)));
    QCOMPARE(tarvik.popError(), int(Pop3Code::Cancelled));
    tarvik.popClose();
    QTRY_COMPARE_WITH_TIMEOUT(silent.openConnectionCount(), 0, 5000);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!NetNamespace::inside())
        return NetNamespace::runInside(argc, argv, QString::fromLatin1(setup), hosts);
    TestConnect test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_connect.moc"
