#include "TarvikCase.h"
#include "TestCertificates.h"

#include <QTest>

namespace {

using C = TarvikCase;
using Reply = FakePop3Reply;
using Script = FakePop3Script;
using Server = TarvikCase::Server;
using Credentials = TarvikCase::Credentials;

const QByteArray pass = QByteArray("PASS ") + TarvikCase::password + "\r\n";
const QByteArray plainSession = "CAPA\r\nUSER alice\r\n" + pass + "STAT\r\nQUIT\r\n";
const QByteArray stlsSession = "CAPA\r\nSTLS\r\nCAPA\r\nUSER alice\r\n" + pass + "STAT\r\nQUIT\r\n";
const QByteArray implicitSession = "CAPA\r\nUSER alice\r\n" + pass + "STAT\r\nQUIT\r\n";
const QByteArray plainAuth =
    "AUTH PLAIN " + (QByteArray("\0alice\0", 7) + TarvikCase::password).toBase64() + "\r\n";
const QString checkedTls = QStringLiteral("Mailbox checked (TLS).");

// A pop3s server that offers AUTH PLAIN, and pipelining unless told otherwise.
C implicitPlain(const Reply &reply, const QByteArray &pipelining = "PIPELINING")
{
    return C::ok(Script::mailbox(4)
                     .capa({"USER", "SASL SCRAM-SHA-256 PLAIN", pipelining})
                     .on("AUTH PLAIN", reply),
                 4)
        .tls(Server::ImplicitTls)
        .text(QStringLiteral("pop3s://%h:%p"))
        .secret(Credentials::EncryptedOnly)
        .inClear(QByteArray());
}

C implicitTls(const QString &identity, const QString &text = QStringLiteral("pop3s://%h:%p"))
{
    C c = C::ok(Script::mailbox(4), 4)
              .tls(Server::ImplicitTls, identity)
              .text(text)
              .secret(Credentials::EncryptedOnly)
              .inClear(QByteArray())
              .received(implicitSession)
              .tlsHandshakes(1);
    c.fragment = checkedTls;
    return c;
}

C implicitRefused(const QString &identity, int code, const QString &fragment)
{
    C c = C::failing(Script::mailbox(4), code, fragment)
              .tls(Server::ImplicitTls, identity)
              .text(QStringLiteral("pop3s://%h:%p"))
              .secret(Credentials::Never)
              .tlsHandshakes(0);
    c.connections = -1;
    return c;
}

C stls(const Script &script, qint64 count)
{
    C c = C::ok(script, count)
              .secret(Credentials::EncryptedOnly)
              .inClear("CAPA\r\nSTLS\r\n")
              .received(stlsSession)
              .tlsHandshakes(1);
    c.fragment = checkedTls;
    return c;
}

C stlsRefused(const Script &script, int code, const QString &fragment)
{
    return C::failing(script, code, fragment)
        .secret(Credentials::Never)
        .inClear("CAPA\r\nSTLS\r\n")
        .tlsHandshakes(0);
}

Script capaLines(int count)
{
    QList<QByteArray> lines;
    for (int i = 0; i < count; ++i)
        lines.append("X-CAP-" + QByteArray::number(i));
    return Script::mailbox(2).capa(lines);
}

} // namespace

class TestTarvikTls : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check()
    {
        QFETCH(TarvikCase, row);
        row.run();
    }
};

void TestTarvikTls::initTestCase()
{
    const QString problem = TestCertificates::instance().errorString();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestTarvikTls::check_data()
{
    QTest::addColumn<TarvikCase>("row");
    using namespace Pop3Code;
    const auto add = [](const char *name, const C &c) { QTest::newRow(name) << c; };

    // Implicit TLS (pop3s://): the certificate decides before anything is sent.
    add("pop3s to the address", implicitTls(QStringLiteral("localhost")).leaves("%h %p tls\n"));
    add("pop3s to the name",
        implicitTls(QStringLiteral("localhost"), QStringLiteral("pop3s://localhost:%p")));
    add("POP3S in upper case",
        implicitTls(QStringLiteral("localhost"), QStringLiteral("POP3S://%h:%p")));
    {
        C c = implicitTls(QStringLiteral("localhost"), QStringLiteral("pop3s://[::1]:%p"));
        c.ipv6 = true;
        add("pop3s to [::1]", c);
    }
    add("pop3s, authority not trusted",
        implicitRefused(QStringLiteral("localhost"), CertificateUntrusted,
                        QStringLiteral("trusted authority"))
            .untrusted());
    add("pop3s, self-signed certificate",
        implicitRefused(QStringLiteral("self-signed"), CertificateUntrusted,
                        QStringLiteral("self-signed")));
    add("pop3s, expired certificate",
        implicitRefused(QStringLiteral("expired"), CertificateExpired, QStringLiteral("expired")));
    add("pop3s, certificate not yet valid",
        implicitRefused(QStringLiteral("not-yet-valid"), CertificateExpired,
                        QStringLiteral("not valid yet")));
    add("pop3s, certificate for another name",
        implicitRefused(QStringLiteral("wrong-name"), CertificateNameMismatch,
                        QStringLiteral("not for this server")));
    add("pop3s, name-only certificate reached by address",
        implicitRefused(QStringLiteral("name-only"), CertificateNameMismatch,
                        QStringLiteral("not for this server")));
    add("pop3s, name-only certificate reached by name",
        implicitTls(QStringLiteral("name-only"), QStringLiteral("pop3s://localhost:%p")));
    add("pop3s, common name beside another DNS name",
        implicitRefused(QStringLiteral("cn-beside-san"), CertificateNameMismatch,
                        QStringLiteral("not for this server"))
            .text(QStringLiteral("pop3s://localhost:%p")));
    add("pop3s, common name only",
        implicitTls(QStringLiteral("cn-only"), QStringLiteral("pop3s://localhost:%p")));
    add("pop3s to a plaintext port",
        C::failing(Script::mailbox(1), TlsFailed, QStringLiteral("TLS handshake failed"))
            .text(QStringLiteral("pop3s://%h:%p"))
            .secret(Credentials::Never));
    add("pop3s to a silent server", C::failing(Script::mailbox(1).greet(Reply::stall()), TimedOut,
                                               QStringLiteral("TLS handshake timed out"))
                                        .text(QStringLiteral("pop3s://%h:%p"))
                                        .secret(Credentials::Never)
                                        .within(1, 900, 4000));
    add("pop3s, server hangs up at once",
        C::failing(Script::mailbox(1).greet(Reply::close()), TlsFailed,
                   QStringLiteral("TLS handshake failed"))
            .text(QStringLiteral("pop3s://%h:%p"))
            .secret(Credentials::Never));
    add("plaintext to a pop3s port",
        C::failing(Script::mailbox(1), NoData, QStringLiteral("greeting"))
            .tls(Server::ImplicitTls)
            .text(QStringLiteral("%h:%p"))
            .secret(Credentials::Never)
            .within(1, 900, 4000)
            .tlsHandshakes(0));
    add("pop3s, mailbox in use",
        C::failing(Script::mailbox(1).on("PASS", Reply::line("-ERR [IN-USE] locked")), MailboxInUse,
                   QStringLiteral("will retry"))
            .tls(Server::ImplicitTls)
            .text(QStringLiteral("pop3s://%h:%p"))
            .secret(Credentials::EncryptedOnly)
            .inClear(QByteArray()));

    // STLS on a plain connection.
    add("STLS upgrade", stls(Script::stlsMailbox(5), 5));
    add("STLS offered in lower case", stls(Script::stlsMailbox(5).capa({"user", "stls"}), 5));
    add("STLS, reply dripped byte by byte",
        stls(Script::stlsMailbox(5).on("STLS", Reply::startTls().dripped(5)), 5));
    add("STLS injection before the handshake",
        stls(
            Script::stlsMailbox(2).on(
                "STLS", Reply::startTls("+OK begin TLS\r\n-ERR [IN-USE] injected\r\n+OK 99 0\r\n")),
            2));
    add("STLS refused", stlsRefused(Script::stlsMailbox(1).on("STLS", Reply::line("-ERR not now")),
                                    StlsFailed, QStringLiteral("refused STLS"))
                            .inClear("CAPA\r\nSTLS\r\nQUIT\r\n"));
    add("STLS accepted, then hang-up",
        stlsRefused(Script::stlsMailbox(1).on("STLS", Reply::close("+OK\r\n")), StlsFailed,
                    QStringLiteral("STLS")));
    // The client's handshake reaches these servers in the clear, and nothing after it.
    add("STLS accepted, then silence",
        C::failing(Script::stlsMailbox(1).on("STLS", Reply::stall("+OK\r\n")), StlsFailed,
                   QStringLiteral("STLS handshake timed out"))
            .secret(Credentials::Never)
            .within(1, 900, 4000));
    add("STLS accepted, then plaintext",
        C::failing(Script::stlsMailbox(1).on("STLS", Reply::line("+OK")), StlsFailed,
                   QStringLiteral("STLS"))
            .secret(Credentials::Never)
            .within(1, 0, 4000));
    add("STLS, self-signed certificate",
        stlsRefused(Script::stlsMailbox(1), CertificateUntrusted, QStringLiteral("self-signed"))
            .tls(Server::Plain, QStringLiteral("self-signed")));
    add("STLS, authority not trusted", stlsRefused(Script::stlsMailbox(1), CertificateUntrusted,
                                                   QStringLiteral("trusted authority"))
                                           .untrusted());
    add("STLS, expired certificate",
        stlsRefused(Script::stlsMailbox(1), CertificateExpired, QStringLiteral("expired"))
            .tls(Server::Plain, QStringLiteral("expired")));
    add("STLS, certificate for another name",
        stlsRefused(Script::stlsMailbox(1), CertificateNameMismatch,
                    QStringLiteral("not for this server"))
            .tls(Server::Plain, QStringLiteral("wrong-name")));
    add("STLS, then hang-up at USER", C::failing(Script::stlsMailbox(1).on("USER", Reply::close()),
                                                 ConnectionLost, QStringLiteral("after USER"))
                                          .inClear("CAPA\r\nSTLS\r\n")
                                          .tlsHandshakes(1));
    add("STLS, then -ERR [AUTH] to PASS",
        C::failing(Script::stlsMailbox(1).on("PASS", Reply::line("-ERR [AUTH] wrong")),
                   LoginRefused, QStringLiteral("Password refused: wrong"))
            .secret(Credentials::EncryptedOnly)
            .inClear("CAPA\r\nSTLS\r\n"));

    // A server that gave TLS once must give it again: a man in the middle who strips STLS
    // from CAPA, or answers CAPA with -ERR, gets no login, not even over SCRAM.
    {
        C c = C::failing(Script::mailbox(5).capa({"USER", "UIDL"}), ProtectionLowered,
                         QStringLiteral("TLS no longer offered; password not sent."))
                  .secret(Credentials::Never)
                  .inClear("CAPA\r\nQUIT\r\n")
                  .tlsHandshakes(0)
                  .leaves("%h %p tls\n");
        add("TLS remembered, STLS stripped after a restart", C(c).after(Script::stlsMailbox(5)));
        add("TLS remembered, STLS stripped, same run", C(c).after(Script::stlsMailbox(5), false));
        C capaRefused = c;
        capaRefused.script = Script::mailbox(5);
        add("TLS remembered, CAPA refused", capaRefused.after(Script::stlsMailbox(5)));
        C scram = c;
        scram.script = Script::mailbox(5).capa({"USER", "SASL SCRAM-SHA-256 SCRAM-SHA-1"});
        add("TLS remembered, SCRAM in the clear", scram.remembering("%h %p tls\n"));
    }
    add("STLS remembered as TLS", stls(Script::stlsMailbox(5), 5).leaves("%h %p tls\n"));
    // A note that cannot be written fails the check, and still holds for the rest of the run.
    {
        C c = stls(Script::stlsMailbox(5), 0);
        c.stateKind = C::StateFile::Unwritable;
        c.code = ProtectionNotSaved;
        c.fragment = QStringLiteral("Cannot write ");
        add("TLS given, state file cannot be written", c);
        C next = C::failing(Script::mailbox(5).capa({"USER"}), ProtectionLowered,
                            QStringLiteral("TLS no longer offered; password not sent."))
                     .after(Script::stlsMailbox(5), false)
                     .secret(Credentials::Never)
                     .received("CAPA\r\nQUIT\r\n");
        next.stateKind = C::StateFile::Unwritable;
        next.earlierCode = ProtectionNotSaved;
        add("TLS given, not written, then STLS stripped in the same run", next);
    }
    add("APOP remembered, then STLS: TLS",
        stls(Script::stlsMailbox(5), 5).remembering("%h %p apop\n").leaves("%h %p tls\n"));

    // Under TLS the password goes out in AUTH PLAIN when the server offers it; STAT goes
    // once it is answered, with QUIT when the server pipelines.
    add("STLS, AUTH PLAIN pipelined",
        stls(Script::stlsMailbox(5)
                 .capa({"STLS", "SASL PLAIN", "PIPELINING"})
                 .on("AUTH PLAIN", Reply::line("+OK")),
             5)
            .received("CAPA\r\nSTLS\r\nCAPA\r\n" + plainAuth + "STAT\r\nQUIT\r\n")
            .inFlights({"CAPA\r\n", "STLS\r\n", "CAPA\r\n", plainAuth, "STAT\r\nQUIT\r\n"}));
    // Servers that lose what is queued behind the login's answer (USER/PASS) or answer it
    // out of turn (AUTH PLAIN): both work under STLS and implicit TLS alike.
    {
        const Reply losing = Reply::line("+OK logged in").thenDoing(Reply::Then::DropQueued);
        const Reply phantom = Reply::line("+OK").thenDoing(Reply::Then::PhantomIfQueued);
        add("STLS, PASS loses what was queued behind it",
            stls(Script::stlsMailbox(5).capa({"STLS", "USER", "PIPELINING"}).on("PASS", losing), 5)
                .within(30, 0, 5000));
        C c = implicitTls(QStringLiteral("localhost")).within(30, 0, 5000);
        c.script.capa({"USER", "PIPELINING"}).on("PASS", losing);
        add("pop3s, PASS loses what was queued behind it", c);
        add("STLS, phantom reply behind AUTH PLAIN",
            stls(Script::stlsMailbox(5)
                     .capa({"STLS", "SASL PLAIN", "PIPELINING"})
                     .on("AUTH PLAIN", phantom),
                 5)
                .received("CAPA\r\nSTLS\r\nCAPA\r\n" + plainAuth + "STAT\r\nQUIT\r\n")
                .within(30, 0, 5000)
                .leaves("%h %p tls\n"));
        add("pop3s, phantom reply behind AUTH PLAIN",
            implicitPlain(phantom).within(30, 0, 5000).leaves("%h %p tls\n"));
        // TLS counts from the login's +OK on, whatever STAT does after it.
        C refused = implicitPlain(Reply::line("+OK"));
        refused.script.on("STAT", Reply::line("-ERR [SYS/TEMP] later"));
        refused.code = ServerError;
        refused.count = 0;
        refused.fragment = QStringLiteral("STAT failed");
        add("pop3s, STAT refused after the login: TLS remembered", refused.leaves("%h %p tls\n"));
    }
    add("pop3s, AUTH PLAIN without pipelining",
        implicitPlain(Reply::line("+OK"), "TOP")
            .inFlights({"CAPA\r\n", plainAuth, "STAT\r\n", "QUIT\r\n"}));
    {
        C c = implicitPlain(Reply::line("-ERR [AUTH] Authentication failed."))
                  .inFlights({"CAPA\r\n", plainAuth, "QUIT\r\n"});
        c.code = LoginRefused;
        c.count = 0;
        c.fragment = QStringLiteral("Password refused: Authentication failed.");
        add("pop3s, AUTH PLAIN refused", c);
        c.script.on("AUTH PLAIN", Reply::line("-ERR [IN-USE] locked"));
        c.code = MailboxInUse;
        c.fragment = QStringLiteral("Mailbox in use");
        add("pop3s, AUTH PLAIN [IN-USE]", c);
    }
    {
        // An initial response that would make the line longer than 255 octets waits for
        // the server's empty challenge.
        const QString login(200, QLatin1Char('a'));
        const QByteArray response =
            (QByteArray(1, '\0') + login.toLatin1() + '\0' + TarvikCase::password).toBase64();
        C c = implicitPlain(Reply::line("+OK"));
        c.script.exchange("AUTH PLAIN", {Reply::line("+ "), Reply::line("+OK")});
        add("pop3s, AUTH PLAIN too long for one line",
            c.as(login, QString::fromLatin1(TarvikCase::password))
                .inFlights({"CAPA\r\n", "AUTH PLAIN\r\n", response + "\r\n", "STAT\r\nQUIT\r\n"}));
        // Refused before the response went out: USER/PASS, still under TLS.
        C refused = c;
        refused.script.exchange("AUTH PLAIN", {Reply::line("-ERR")});
        add("pop3s, AUTH PLAIN refused at once: USER/PASS",
            refused.as(login, QString::fromLatin1(TarvikCase::password))
                .inFlights({"CAPA\r\n", "AUTH PLAIN\r\n",
                            "USER " + login.toLatin1() + "\r\n" + pass, "STAT\r\nQUIT\r\n"}));
    }
    // RFC 5034's 255 octets count the CR LF: 253 + 2 go as one line, 255 + 2 do not.
    for (const int length : {155, 158}) {
        const QString login(length, QLatin1Char('b'));
        const QByteArray response =
            (QByteArray(1, '\0') + login.toLatin1() + '\0' + TarvikCase::password).toBase64();
        const QByteArray whole = "AUTH PLAIN " + response + "\r\n";
        C c =
            implicitPlain(Reply::line("+OK")).as(login, QString::fromLatin1(TarvikCase::password));
        if (length == 155) {
            QCOMPARE(whole.size(), 253);
            add("pop3s, AUTH PLAIN line of 253 octets",
                c.inFlights({"CAPA\r\n", whole, "STAT\r\nQUIT\r\n"}));
        } else {
            QCOMPARE(whole.size(), 257);
            c.script.exchange("AUTH PLAIN", {Reply::line("+ "), Reply::line("+OK")});
            add("pop3s, AUTH PLAIN line of 257 octets split",
                c.inFlights({"CAPA\r\n", "AUTH PLAIN\r\n", response + "\r\n", "STAT\r\nQUIT\r\n"}));
        }
    }

    // CAPA: without STLS the check stays plain; the list is bounded.
    {
        C c = C::ok(Script::mailbox(3), 3).received(plainSession).tlsHandshakes(0);
        c.fragment = QStringLiteral("Mailbox checked (password not encrypted).");
        add("no CAPA: plain", c);
    }
    add("CAPA without STLS: plain", C::ok(Script::mailbox(3).capa({"USER", "TOP", "UIDL"}), 3)
                                        .received(plainSession)
                                        .tlsHandshakes(0));
    add("CAPA of 64 lines", C::ok(capaLines(64), 2).received(plainSession));
    add("CAPA of 65 lines",
        C::failing(capaLines(65), BadReply, QStringLiteral("CAPA")).secret(Credentials::Never));
    add("CAPA line of 1 MB",
        C::failing(Script::mailbox(2).on(
                       "CAPA", Reply::raw("+OK\r\n" + QByteArray(1 << 20, 'c') + "\r\n.\r\n")),
                   BadReply, QStringLiteral("too long"))
            .secret(Credentials::Never));
    add("CAPA list never ends",
        C::failing(Script::mailbox(2).on("CAPA", Reply::stall("+OK\r\nUSER\r\n")), TimedOut,
                   QStringLiteral("CAPA"))
            .secret(Credentials::Never)
            .within(1, 900, 4000));
    add("CAPA list dripped",
        C::ok(Script::mailbox(2).on("CAPA", Reply::raw("+OK\r\nUSER\r\nTOP\r\n.\r\n").dripped(3)),
              2));
    add("hang-up inside the CAPA list",
        C::failing(Script::mailbox(2).on("CAPA", Reply::close("+OK\r\nUSER\r\n")), ConnectionLost,
                   QStringLiteral("after CAPA"))
            .secret(Credentials::Never));

    // Server text forms that reach the server.
    add("host:port", C::ok(Script::mailbox(2), 2).text(QStringLiteral("%h:%p")));
    add("pop3://host:port", C::ok(Script::mailbox(2), 2).text(QStringLiteral("pop3://%h:%p")));
    add("name with popport", C::ok(Script::mailbox(2), 2).text(QStringLiteral("localhost")));
    add("blanks around", C::ok(Script::mailbox(2), 2).text(QStringLiteral("  %h:%p\t")));
    {
        C c = C::ok(Script::mailbox(2), 2).text(QStringLiteral("[::1]:%p"));
        c.ipv6 = true;
        add("[::1]:port", c);
        c.text(QStringLiteral("pop3://[::1]:%p/"));
        add("pop3://[::1]:port/", c);
    }
    add("refused port", [] {
        C c = C::failing(Script::mailbox(1), ConnectionRefused, QStringLiteral("refused"))
                  .text(QStringLiteral("%h:%r"));
        c.connections = -1;
        return c;
    }());

    // Server text refused before connecting.
    add("other scheme", C::refused(QStringLiteral("imap://%h:%p"), BadAddress,
                                   QStringLiteral("pop3:// or pop3s://")));
    add("port above 65535",
        C::refused(QStringLiteral("%h:70000"), BadAddress, QStringLiteral("port")));
    add("port zero", C::refused(QStringLiteral("%h:0"), BadAddress, QStringLiteral("port")));
    add("empty port", C::refused(QStringLiteral("%h:"), BadAddress, QStringLiteral("port")));
    add("port with a letter",
        C::refused(QStringLiteral("%h:11o"), BadAddress, QStringLiteral("port")));
    add("path after the host",
        C::refused(QStringLiteral("pop3://%h:%p/INBOX"), BadAddress, QStringLiteral("path")));
    add("query after the port",
        C::refused(QStringLiteral("%h:%p?x=1"), BadAddress, QStringLiteral("query")));
    add("blank inside",
        C::refused(QStringLiteral("mail example.com"), BadAddress, QStringLiteral("blank")));
    add("unbalanced bracket",
        C::refused(QStringLiteral("[::1:%p"), BadAddress, QStringLiteral("brackets")));
    add("bare IPv6", C::refused(QStringLiteral("::1"), BadAddress, QStringLiteral("[addr]")));
    add("IPv4 in brackets",
        C::refused(QStringLiteral("[127.0.0.1]:%p"), BadAddress, QStringLiteral("IPv6")));
    add("login in the server text",
        C::refused(QStringLiteral("alice@%h:%p"), BadAddress, QStringLiteral("login")));
    add("scheme without host",
        C::refused(QStringLiteral("pop3s://"), BadAddress, QStringLiteral("no host")));
    add("port without host",
        C::refused(QStringLiteral(":%p"), BadAddress, QStringLiteral("no host")));
}

QTEST_GUILESS_MAIN(TestTarvikTls)
#include "tst_tarvik_tls.moc"
