#include "TarvikCase.h"

#include <QTest>

// Tarvik against plain fake servers that refuse, break off, stall, flood or send
// garbage: the code and status each one gets, and that nothing more is sent than should.
namespace {

using C = TarvikCase;
using Reply = FakePop3Reply;
using Script = FakePop3Script;
using Credentials = TarvikCase::Credentials;

Script on(const QByteArray &verb, const Reply &reply)
{
    return Script::mailbox(3).on(verb, reply);
}

// -ERR to PASS: the password went out, nothing after it but QUIT.
C afterPass(const QByteArray &errLine, int code, const QString &fragment)
{
    return C::failing(on("PASS", Reply::line(errLine)), code, fragment)
        .received("CAPA\r\nUSER alice\r\nPASS " + QByteArray(TarvikCase::password) +
                  "\r\nQUIT\r\n");
}

// -ERR to USER: the password never went out.
C afterUser(const QByteArray &errLine, int code, const QString &fragment)
{
    return C::failing(on("USER", Reply::line(errLine)), code, fragment)
        .received("CAPA\r\nUSER alice\r\nQUIT\r\n");
}

const QByteArray megabyte(1 << 20, 'm');

} // namespace

class TestTarvikCodes : public QObject {
    Q_OBJECT

private slots:
    void check_data();
    void check()
    {
        QFETCH(TarvikCase, row);
        row.run();
    }
};

void TestTarvikCodes::check_data()
{
    QTest::addColumn<TarvikCase>("row");
    using namespace Pop3Code;
    const auto add = [](const char *name, const C &c) { QTest::newRow(name) << c; };

    // Response codes after USER and PASS (RFC 2449, RFC 3206).
    add("PASS [IN-USE]", afterPass("-ERR [IN-USE] locked by pid 12", MailboxInUse,
                                   QStringLiteral("Mailbox in use, will retry.")));
    add("PASS [in-use] in lower case",
        afterPass("-ERR [in-use]", MailboxInUse, QStringLiteral("will retry")));
    add("USER [IN-USE]", afterUser("-ERR [IN-USE] busy", MailboxInUse, QStringLiteral("in use")));
    add("PASS [SYS/TEMP]", afterPass("-ERR [SYS/TEMP] database down", TemporaryFailure,
                                     QStringLiteral("Temporary server failure, will retry.")));
    add("USER [SYS/TEMP]",
        afterUser("-ERR [SYS/TEMP]", TemporaryFailure, QStringLiteral("will retry")));
    add("PASS [SYS/TEMP/DISK] below SYS/TEMP",
        afterPass("-ERR [SYS/TEMP/DISK] full", TemporaryFailure, QStringLiteral("will retry")));
    add("PASS [LOGIN-DELAY]", afterPass("-ERR [LOGIN-DELAY] wait 15 minutes", LoginDelay,
                                        QStringLiteral("longer interval")));
    add("PASS [SYS/PERM] with text", afterPass("-ERR [SYS/PERM] account disabled", PermanentFailure,
                                               QStringLiteral("Server failure: account disabled")));
    add("PASS [SYS/PERM] without text",
        afterPass("-ERR [SYS/PERM]", PermanentFailure, QStringLiteral("Permanent server failure")));
    add("USER [SYS/PERM]",
        afterUser("-ERR [SYS/PERM] gone", PermanentFailure, QStringLiteral("gone")));
    add("PASS [AUTH]", afterPass("-ERR [AUTH] invalid", LoginRefused,
                                 QStringLiteral("Password refused: invalid")));
    add("PASS [auth] in lower case",
        afterPass("-ERR [auth] no", LoginRefused, QStringLiteral("Password refused: no")));
    add("PASS [AUTH/EXPIRED] below AUTH",
        afterPass("-ERR [AUTH/EXPIRED] expired", LoginRefused, QStringLiteral("expired")));
    add("PASS unknown code",
        afterPass("-ERR [X-VENDOR] nope", LoginRefused, QStringLiteral("Password refused: nope")));
    add("PASS unclosed bracket is text",
        afterPass("-ERR [IN-USE locked", LoginRefused, QStringLiteral("[IN-USE locked")));
    add("PASS plain -ERR", afterPass("-ERR bad", LoginRefused, QStringLiteral("Password refused")));
    add("USER plain -ERR", afterUser("-ERR who?", LoginRefused, QStringLiteral("Login refused")));
    add("greeting [IN-USE] is not a login answer",
        C::failing(Script::mailbox(1).greet(Reply::line("-ERR [IN-USE] later")), ServerError,
                   QStringLiteral("Server refused: later"))
            .secret(Credentials::Never));
    add("STAT [SYS/TEMP]", C::failing(on("STAT", Reply::line("-ERR [SYS/TEMP] later")), ServerError,
                                      QStringLiteral("STAT failed: later")));

    // The server hangs up at each step, without a reply.
    add("hang-up before the greeting",
        C::failing(Script::mailbox(1).greet(Reply::close()), NoData, QStringLiteral("greeting"))
            .secret(Credentials::Never)
            .received(QByteArray()));
    add("hang-up at CAPA",
        C::failing(on("CAPA", Reply::close()), ConnectionLost, QStringLiteral("after CAPA"))
            .secret(Credentials::Never));
    add("hang-up at USER",
        C::failing(on("USER", Reply::close()), ConnectionLost, QStringLiteral("after USER"))
            .received("CAPA\r\nUSER alice\r\n"));
    add("hang-up at PASS",
        C::failing(on("PASS", Reply::close()), ConnectionLost, QStringLiteral("after PASS")));
    add("hang-up at STAT",
        C::failing(on("STAT", Reply::close()), ConnectionLost, QStringLiteral("after STAT")));

    // Slow servers: fine while each reply beats poptimeout, an error once one does not.
    {
        Script drip = Script::mailbox(6);
        drip.dripMs = 2;
        add("every reply dripped", C::ok(drip, 6).within(2, 0, 5000));
    }
    add("STAT dripped past the timeout",
        C::failing(on("STAT", Reply::line("+OK 3 300").dripped(250)), TimedOut,
                   QStringLiteral("No reply to STAT in 1 s"))
            .within(1, 900, 4000));

    // Floods: a line over 512 octets ends the check at once.
    add("greeting of 1 MB", C::failing(Script::mailbox(1).greet(Reply::raw(megabyte + "\r\n")),
                                       BadReply, QStringLiteral("too long"))
                                .secret(Credentials::Never)
                                .within(5, 0, 3000));
    add("1 MB without a line end, then hang-up",
        C::failing(Script::mailbox(1).greet(Reply::close(megabyte)), BadReply,
                   QStringLiteral("too long"))
            .secret(Credentials::Never)
            .within(5, 0, 3000));
    add("PASS answered with 1 MB", C::failing(on("PASS", Reply::raw("-ERR " + megabyte + "\r\n")),
                                              BadReply, QStringLiteral("Reply to PASS too long"))
                                       .within(5, 0, 3000));
    add("STAT answered with 1 MB", C::failing(on("STAT", Reply::raw("+OK " + megabyte + "\r\n")),
                                              BadReply, QStringLiteral("STAT"))
                                       .within(5, 0, 3000));

    // STAT garbage.
    add("STAT count of 30 digits",
        C::failing(on("STAT", Reply::line("+OK " + QByteArray(30, '9') + " 1")), BadCount,
                   QStringLiteral("count")));
    add("STAT binary", C::failing(on("STAT", Reply::line(QByteArray("+OK \x00\xff\x01 7", 10))),
                                  BadCount, QStringLiteral("count")));
    add("STAT NUL inside the count",
        C::failing(on("STAT", Reply::line(QByteArray("+OK 3\0 100", 10))), BadCount,
                   QStringLiteral("count")));
    add("STAT huge size is fine",
        C::ok(on("STAT", Reply::line("+OK 5 " + QByteArray(100, '9'))), 5));
    add("STAT not POP3",
        C::failing(on("STAT", Reply::line("* 5 EXISTS")), BadReply, QStringLiteral("STAT")));

    // What the server says is shown only once it is made harmless.
    add("terminal escapes in a refusal",
        afterPass("-ERR \x1b]0;owned\x07\x1b[2Jbad\rpass", LoginRefused,
                  QStringLiteral("Password refused: ]0;owned [2Jbad pass")));
    add("invalid UTF-8 in a refusal",
        C::failing(on("STAT", Reply::line("-ERR ma\xffl d\xe9j\xe0 \xc3")), ServerError,
                   QStringLiteral("STAT failed: ma\u00ffl d\u00e9j\u00e0 \u00c3")));
    add("bidi override in the greeting",
        C::failing(Script::mailbox(1).greet(Reply::line("-ERR abc\xe2\x80\xae"
                                                        "fed")),
                   ServerError, QStringLiteral("Server refused: abc fed"))
            .secret(Credentials::Never));
    add("NUL and C1 controls",
        afterPass(QByteArray("-ERR [SYS/PERM] a\0b\xc2\x85"
                             "c",
                             22),
                  PermanentFailure, QStringLiteral("Server failure: a b c")));
    add("private-use and unassigned characters",
        afterPass("-ERR a\xee\x80\x80"
                  "b\xf3\xb0\x80\x80"
                  "c",
                  LoginRefused, QStringLiteral("Password refused: a b c")));
    add("only controls", afterPass("-ERR \x01\x02\x03\x7f", LoginRefused,
                                   QStringLiteral("Password refused by the server.")));
    add("long refusal cut to fit",
        afterPass("-ERR [SYS/PERM] " + QByteArray(400, 'x'), PermanentFailure,
                  QStringLiteral("Server failure: ") + QString(28, QLatin1Char('x')) +
                      QChar(0x2026)));
}

QTEST_GUILESS_MAIN(TestTarvikCodes)
#include "tst_tarvik_codes.moc"
