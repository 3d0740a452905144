#include "ScramExamples.h"
#include "TarvikCase.h"
#include "mail/Pop3Outcome.h"

#include <QMessageAuthenticationCode>
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

const QByteArray pass = QByteArray("PASS ") + TarvikCase::password + "\r\n";
const QByteArray pipelinedLogin = "USER alice\r\n" + pass;

// A server that pipelines; the rows change one reply.
Script pipelining(const QByteArray &verb, const Reply &reply)
{
    return Script::mailbox(3).capa({"USER", "PIPELINING", "RESP-CODES"}).on(verb, reply);
}

// -ERR to USER or PASS, which went out together: QUIT follows, nothing else.
C pipelineRefused(const QByteArray &verb, const QByteArray &errLine, int code,
                  const QString &fragment)
{
    return C::failing(pipelining(verb, Reply::line(errLine)), code, fragment)
        .inFlights({"CAPA\r\n", pipelinedLogin, "QUIT\r\n"});
}

// Computed apart from the program (Python's hashlib): the password "pä ss", which is what
// SASLprep makes of "pä<NO-BREAK SPACE>ss<SOFT HYPHEN>", and the name "us,er=" escaped.
const ScramExample prepared{
    "SCRAM-SHA-256",
    "clientNONCE",
    "r=clientNONCEserverNONCE,s=c2FsdC1mb3ItdGVzdA==,i=4096",
    "c=biws,r=clientNONCEserverNONCE,p=6o4/sfbKKJmzZIFIdCkqI9CCSH20EWEmEMy/rESgfNg=",
    "v=Eg75FgP8y11fSTxh0eBkHILFTXkyDGsnKcxVIWpQWfY=",
    "us=2Cer=3D"};

C scram(const ScramExample &e, const Script &script, int code, const QString &fragment)
{
    C c = C::failing(script, code, fragment).as(QStringLiteral("user"), QStringLiteral("pencil"));
    c.count = code == Pop3Code::Ok ? 2 : 0;
    return c.scramNonce(e.nonce).secret(Credentials::Never);
}

// The server's first message replaced: the client cancels with "*" and sends QUIT.
C scramFirstRefused(const QByteArray &serverFirst, const QString &fragment)
{
    return scram(rfc7677,
                 scramServer(rfc7677, Reply::line("-ERR cancelled"), Reply::line("-ERR"))
                     .exchange("AUTH SCRAM-SHA-256",
                               {challenge(serverFirst), Reply::line("-ERR cancelled")}),
                 Pop3Code::BadReply, fragment)
        .received("CAPA\r\n" + authLine(rfc7677) + "*\r\nQUIT\r\n");
}

// A plain server whose greeting carries the timestamp of RFC 1939's APOP example.
Script apopServer()
{
    return Script::mailbox(4)
        .greet(Reply::line("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>"))
        .capa({"USER", "PIPELINING"})
        .on("APOP", Reply::line("+OK maildrop locked and ready"));
}

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
                  QStringLiteral("Server failure: ") +
                      QString(Pop3Outcome::MaxStatus - 17, QLatin1Char('x')) + QChar(0x2026)));

    // Pipelining (RFC 2449): USER with PASS, then STAT with QUIT once the login is answered;
    // a refusal keeps its code, and the replies after it are not taken for success.
    add("pipelined USER and PASS",
        C::ok(pipelining("TOP", Reply::line("-ERR")), 3)
            .inFlights({"CAPA\r\n", pipelinedLogin, "STAT\r\nQUIT\r\n"}));
    add("pipelined PASS [AUTH]", pipelineRefused("PASS", "-ERR [AUTH] wrong", LoginRefused,
                                                 QStringLiteral("Password refused: wrong")));
    add("pipelined PASS [IN-USE]",
        pipelineRefused("PASS", "-ERR [IN-USE] locked", MailboxInUse, QStringLiteral("in use")));
    add("pipelined USER refused",
        pipelineRefused("USER", "-ERR who?", LoginRefused, QStringLiteral("Login refused")));
    add("pipelined PASS [SYS/TEMP], then hang-up",
        C::failing(pipelining("PASS", Reply::close("-ERR [SYS/TEMP] later\r\n")), TemporaryFailure,
                   QStringLiteral("will retry"))
            .inFlights({"CAPA\r\n", pipelinedLogin}));
    add("pipelined STAT refused",
        C::failing(pipelining("STAT", Reply::line("-ERR [SYS/TEMP] maildrop busy")), ServerError,
                   QStringLiteral("STAT failed"))
            .inFlights({"CAPA\r\n", pipelinedLogin, "STAT\r\nQUIT\r\n"}));
    add("pipelined replies dripped",
        C::ok(pipelining("STAT", Reply::line("+OK 7 700").dripped(3)), 7)
            .inFlights({"CAPA\r\n", pipelinedLogin, "STAT\r\nQUIT\r\n"}));
    // Servers that lose what is queued behind the login's answer, or answer it out of
    // turn, and one that speaks unasked: the check never waits out its time-out for them.
    add("PASS loses what was queued behind it",
        C::ok(pipelining("PASS", Reply::line("+OK logged in").thenDoing(Reply::Then::DropQueued)),
              3)
            .within(30, 0, 5000)
            .inFlights({"CAPA\r\n", pipelinedLogin, "STAT\r\nQUIT\r\n"}));
    add("a reply nobody asked for after PASS",
        C::failing(on("PASS", Reply::raw("+OK\r\n-ERR Unrecognized command\r\n")), BadReply,
                   QStringLiteral("Unexpected reply from the server after PASS."))
            .within(30, 0, 5000)
            .received("CAPA\r\nUSER alice\r\n" + pass + "QUIT\r\n"));

    // SCRAM in the clear, on the examples of RFC 7677 and RFC 5802.
    {
        const C c = scram(
            rfc7677,
            scramServer(rfc7677, challenge(rfc7677.serverFinal), Reply::line("+OK logged in")), Ok,
            QStringLiteral("Mailbox checked (SCRAM, password not sent)."));
        add("SCRAM-SHA-256, RFC 7677 example, pipelined",
            C(c).inFlights({"CAPA\r\n", authLine(rfc7677), rfc7677.clientFinal.toBase64() + "\r\n",
                            "\r\n", "STAT\r\nQUIT\r\n"}));
    }
    for (const ScramExample *e : {&rfc7677, &rfc5802}) {
        add(qPrintable(e->mechanism + ", phantom reply behind the last AUTH line"),
            scram(*e,
                  scramServer(*e, challenge(e->serverFinal),
                              Reply::line("+OK").thenDoing(Reply::Then::PhantomIfQueued)),
                  Ok, QStringLiteral("SCRAM"))
                .within(30, 0, 5000)
                .leaves("%h %p scram\n"));
    }
    add("SCRAM, STAT refused after the login: SCRAM remembered",
        scram(rfc7677,
              scramServer(rfc7677, challenge(rfc7677.serverFinal), Reply::line("+OK"))
                  .on("STAT", Reply::line("-ERR [SYS/TEMP] later")),
              ServerError, QStringLiteral("STAT failed"))
            .leaves("%h %p scram\n"));
    add("SCRAM-SHA-1, RFC 5802 example",
        scram(rfc5802,
              scramServer(rfc5802, challenge(rfc5802.serverFinal), Reply::line("+OK"), "TOP"), Ok,
              QStringLiteral("(SCRAM, password not sent)"))
            .inFlights({"CAPA\r\n", authLine(rfc5802), rfc5802.clientFinal.toBase64() + "\r\n",
                        "\r\n", "STAT\r\n", "QUIT\r\n"}));
    add("SCRAM, SASLprep and an escaped name",
        scram(prepared, scramServer(prepared, challenge(prepared.serverFinal), Reply::line("+OK")),
              Ok, QStringLiteral("SCRAM"))
            .as(QStringLiteral("us,er="), QStringLiteral("p\u00e4\u00a0ss\u00ad"))
            .received("CAPA\r\n" + authLine(prepared) + prepared.clientFinal.toBase64() +
                      "\r\n\r\nSTAT\r\nQUIT\r\n"));
    add("SCRAM-SHA-256 refused at once: SCRAM-SHA-1",
        scram(rfc5802,
              scramServer(rfc5802, challenge(rfc5802.serverFinal), Reply::line("+OK"))
                  .capa({"SASL SCRAM-SHA-256 SCRAM-SHA-1", "PIPELINING"})
                  .on("AUTH SCRAM-SHA-256", Reply::line("-ERR not here")),
              Ok, QStringLiteral("SCRAM"))
            .received("CAPA\r\nAUTH SCRAM-SHA-256 " + ("n,,n=user,r=" + rfc5802.nonce).toBase64() +
                      "\r\n" + authLine(rfc5802) + rfc5802.clientFinal.toBase64() +
                      "\r\n\r\nSTAT\r\nQUIT\r\n"));
    // A bare -ERR to an AUTH line, before any proof went out, moves on to the next
    // mechanism, down to USER/PASS; a server that gave SCRAM before does not get that far.
    {
        const Script refused =
            Script::mailbox(2)
                .capa({"USER", "SASL PLAIN SCRAM-SHA-256", "PIPELINING"})
                .on("AUTH SCRAM-SHA-256", Reply::line("-ERR mechanism disabled"));
        add("SCRAM refused at once, never checked before: USER/PASS",
            scram(rfc7677, refused, Ok, QStringLiteral("Mailbox checked (password not encrypted)."))
                .secret(Credentials::InClear)
                .received("CAPA\r\n" + authLine(rfc7677) +
                          "USER user\r\nPASS pencil\r\nSTAT\r\nQUIT\r\n")
                .leaves(QByteArray()));
        add("SCRAM refused at once, SCRAM remembered: stop",
            scram(rfc7677, refused, ProtectionLowered,
                  QStringLiteral("SCRAM refused; password not sent."))
                .remembering("%h %p scram\n")
                .received("CAPA\r\n" + authLine(rfc7677) + "QUIT\r\n")
                .leaves("%h %p scram\n"));
    }
    {
        // SCRAM-SHA-1 alone, refused: the last SCRAM line.
        const Script refused = Script::mailbox(2)
                                   .capa({"USER", "SASL PLAIN SCRAM-SHA-1"})
                                   .on("AUTH SCRAM-SHA-1", Reply::line("-ERR"));
        add("SCRAM-SHA-1 refused at once, never checked before: USER/PASS",
            scram(rfc5802, refused, Ok, QStringLiteral("(password not encrypted)"))
                .secret(Credentials::InClear)
                .received("CAPA\r\n" + authLine(rfc5802) +
                          "USER user\r\nPASS pencil\r\nSTAT\r\nQUIT\r\n"));
        add("SCRAM-SHA-1 refused at once, SCRAM remembered: stop",
            scram(rfc5802, refused, ProtectionLowered, QStringLiteral("SCRAM refused"))
                .remembering("%h %p scram\n")
                .received("CAPA\r\n" + authLine(rfc5802) + "QUIT\r\n"));
    }
    {
        // Both SCRAM lines refused by a man in the middle who kept the APOP timestamp: an
        // APOP digest would be his to crack at leisure.
        const Script both = Script::mailbox(2)
                                .greet(Reply::line("+OK ready <1896.697170952@dbc.mtview.ca.us>"))
                                .capa({"SASL SCRAM-SHA-256 SCRAM-SHA-1"})
                                .on("AUTH SCRAM-SHA-256", Reply::line("-ERR"))
                                .on("AUTH SCRAM-SHA-1", Reply::line("-ERR"))
                                .on("APOP", Reply::line("+OK"));
        const QByteArray bothAuth = "AUTH SCRAM-SHA-256 " +
                                    ("n,,n=user,r=" + rfc5802.nonce).toBase64() + "\r\n" +
                                    authLine(rfc5802);
        add("both SCRAM refused, SCRAM remembered: no APOP",
            scram(rfc5802, both, ProtectionLowered,
                  QStringLiteral("SCRAM refused; password not sent."))
                .remembering("%h %p scram\n")
                .received("CAPA\r\n" + bothAuth + "QUIT\r\n"));
        add("both SCRAM refused, never checked before: APOP",
            scram(rfc5802, both, Ok, QStringLiteral("Mailbox checked (APOP, password not sent)."))
                .received("CAPA\r\n" + bothAuth + "APOP user ec87818fbba45646df08ce6d6a516815\r\n" +
                          "STAT\r\nQUIT\r\n")
                .leaves("%h %p apop\n"));
    }
    // A line of exactly 255 octets with its CR LF still carries the initial response.
    {
        const QString name(144, QLatin1Char('n'));
        const QByteArray first = "n,,n=" + name.toLatin1() + ",r=" + rfc5802.nonce;
        const QByteArray line = "AUTH SCRAM-SHA-1 " + first.toBase64() + "\r\n";
        C c = scram(rfc5802,
                    Script::mailbox(2)
                        .capa({"SASL SCRAM-SHA-1"})
                        .on("AUTH SCRAM-SHA-1", Reply::line("-ERR")),
                    Ok, QStringLiteral("(password not encrypted)"))
                  .as(name, QStringLiteral("pencil"))
                  .secret(Credentials::InClear);
        QCOMPARE(line.size(), 255);
        add("AUTH line of 255 octets",
            c.inFlights({"CAPA\r\n", line, "USER " + name.toLatin1() + "\r\n", "PASS pencil\r\n",
                         "STAT\r\n", "QUIT\r\n"}));
    }
    add("SCRAM [IN-USE] at once",
        scram(rfc7677,
              scramServer(rfc7677, challenge(rfc7677.serverFinal), Reply::line("+OK"))
                  .on("AUTH SCRAM-SHA-256", Reply::line("-ERR [IN-USE] locked")),
              MailboxInUse, QStringLiteral("in use"))
            .received("CAPA\r\n" + authLine(rfc7677) + "QUIT\r\n"));
    add("SCRAM proof refused with [AUTH]",
        scram(rfc7677,
              scramServer(rfc7677, Reply::line("-ERR [AUTH] Authentication failed."),
                          Reply::line("-ERR")),
              LoginRefused, QStringLiteral("Authentication failed"))
            .received("CAPA\r\n" + authLine(rfc7677) + rfc7677.clientFinal.toBase64() +
                      "\r\nQUIT\r\n"));
    add("SCRAM server error e=invalid-proof",
        scram(rfc7677,
              scramServer(rfc7677, challenge("e=invalid-proof"), Reply::line("-ERR cancelled")),
              LoginRefused, QStringLiteral("invalid-proof"))
            .received("CAPA\r\n" + authLine(rfc7677) + rfc7677.clientFinal.toBase64() +
                      "\r\n*\r\nQUIT\r\n"));
    // The server must prove it knows the password; one that cannot is never a success.
    add("SCRAM wrong server signature",
        scram(rfc7677,
              scramServer(rfc7677, challenge("v=rmF9pqV8S7suAoZWja4dJRkFsKQ="),
                          Reply::line("-ERR cancelled")),
              ServerNotProven, QStringLiteral("did not prove"))
            .received("CAPA\r\n" + authLine(rfc7677) + rfc7677.clientFinal.toBase64() +
                      "\r\n*\r\nQUIT\r\n"));
    add("SCRAM server signature of another exchange",
        scram(rfc7677,
              scramServer(rfc7677, challenge("v=" + QByteArray(32, '\x5a').toBase64()),
                          Reply::line("-ERR cancelled")),
              ServerNotProven, QStringLiteral("did not prove")));
    add("SCRAM +OK without a server signature",
        scram(rfc7677, scramServer(rfc7677, Reply::line("+OK logged in"), Reply::line("-ERR")),
              ServerNotProven, QStringLiteral("did not prove"))
            .received("CAPA\r\n" + authLine(rfc7677) + rfc7677.clientFinal.toBase64() +
                      "\r\nQUIT\r\n"));
    add("SCRAM +OK at once",
        scram(rfc7677,
              scramServer(rfc7677, Reply::line("+OK"), Reply::line("-ERR"))
                  .exchange("AUTH SCRAM-SHA-256", {Reply::line("+OK welcome")}),
              ServerNotProven, QStringLiteral("did not prove")));
    add("SCRAM nonce not ours",
        scramFirstRefused("r=XXXXXXXXXXXXXXXXXXXXhvYDpWUa2R,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
                          QStringLiteral("nonce")));
    add("SCRAM nonce not extended",
        scramFirstRefused("r=rOprNGfwEbeRWgbNEkqO,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
                          QStringLiteral("nonce")));
    add("SCRAM iteration count above the bound",
        scramFirstRefused("r=rOprNGfwEbeRWgbNEkqOxyz,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=100001",
                          QStringLiteral("iteration count")));
    add("SCRAM iteration count of 30 digits",
        scramFirstRefused("r=rOprNGfwEbeRWgbNEkqOxyz,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=" +
                              QByteArray(30, '9'),
                          QStringLiteral("iteration count")));
    add("SCRAM iteration count 4095, below RFC 5802's least",
        scramFirstRefused("r=rOprNGfwEbeRWgbNEkqOxyz,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4095",
                          QStringLiteral("iteration count")));
    add("SCRAM iteration count 0",
        scramFirstRefused("r=rOprNGfwEbeRWgbNEkqOxyz,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=0",
                          QStringLiteral("iteration count")));
    add("SCRAM mandatory extension",
        scramFirstRefused("m=ext,r=rOprNGfwEbeRWgbNEkqOxyz,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
                          QStringLiteral("Invalid SCRAM")));
    add("SCRAM salt not base64", scramFirstRefused("r=rOprNGfwEbeRWgbNEkqOxyz,s=%%%,i=4096",
                                                   QStringLiteral("Invalid SCRAM")));
    add("SCRAM challenge not base64",
        scram(rfc7677,
              scramServer(rfc7677, Reply::line("-ERR"), Reply::line("-ERR"))
                  .exchange("AUTH SCRAM-SHA-256", {Reply::line("+ r=not base64!")}),
              BadReply, QStringLiteral("Invalid reply to AUTH")));

    // APOP (RFC 1939) when the greeting carries a timestamp and SCRAM is not offered.
    // APOP goes alone, so that a bare -ERR to it can still move on to USER/PASS.
    const QByteArray apopLine = "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n";
    const auto apop = [](const C &c) {
        return C(c).as(QStringLiteral("mrose"), QStringLiteral("tanstaaf"));
    };
    add("APOP, RFC 1939 example", apop(C::ok(apopServer(), 4))
                                      .secret(Credentials::Never)
                                      .inFlights({"CAPA\r\n", apopLine, "STAT\r\nQUIT\r\n"})
                                      .leaves("%h %p apop\n"));
    // [AUTH] to APOP: the APOP secret did not match, which need not be the password.
    const Script apopAuth = apopServer().on("APOP", Reply::line("-ERR [AUTH] permission denied"));
    add("APOP [AUTH], never checked before: USER/PASS",
        apop(C::ok(apopAuth, 4))
            .inFlights(
                {"CAPA\r\n", apopLine, "USER mrose\r\nPASS tanstaaf\r\n", "STAT\r\nQUIT\r\n"}));
    add("APOP [AUTH], then PASS [AUTH]: wrong password",
        apop(C::failing(Script(apopAuth).on("PASS", Reply::line("-ERR [AUTH] wrong")), LoginRefused,
                        QStringLiteral("Password refused: wrong"))));
    add("APOP [AUTH], APOP remembered: wrong password, no USER/PASS",
        apop(C::failing(apopAuth, LoginRefused, QStringLiteral("permission denied")))
            .remembering("%h %p apop\n")
            .secret(Credentials::Never)
            .received("CAPA\r\n" + apopLine + "QUIT\r\n"));
    add("APOP [IN-USE] keeps its code",
        apop(C::failing(apopServer().on("APOP", Reply::line("-ERR [IN-USE] locked")), MailboxInUse,
                        QStringLiteral("in use")))
            .secret(Credentials::Never)
            .received("CAPA\r\n" + apopLine + "QUIT\r\n"));
    add("APOP bare -ERR, never checked before: USER/PASS",
        apop(C::ok(apopServer().on("APOP", Reply::line("-ERR no APOP secret")), 4))
            .inFlights(
                {"CAPA\r\n", apopLine, "USER mrose\r\nPASS tanstaaf\r\n", "STAT\r\nQUIT\r\n"})
            .leaves(QByteArray()));
    // A digest refused by a server that took one before: the password is wrong, whatever
    // the server says, and APOP is still offered.
    add("APOP bare -ERR, APOP remembered: stop",
        apop(C::failing(apopServer().on("APOP", Reply::line("-ERR")), LoginRefused,
                        QStringLiteral("Password refused by the server.")))
            .remembering("%h %p apop\n")
            .secret(Credentials::Never)
            .received("CAPA\r\n" + apopLine + "QUIT\r\n"));

    // A server that hangs up right after refusing a digest: the refusal is the outcome.
    const Script closes = apopServer().on("APOP", Reply::close("-ERR authentication failed\r\n"));
    add("APOP bare -ERR and hang-up, never checked before",
        apop(C::failing(closes, LoginRefused,
                        QStringLiteral("Password refused: authentication failed"))));
    add("APOP bare -ERR and hang-up, APOP remembered",
        apop(C::failing(closes, LoginRefused,
                        QStringLiteral("Password refused: authentication failed")))
            .remembering("%h %p apop\n")
            .secret(Credentials::Never));

    // CRAM-MD5 in the clear, on RFC 2195's example; the login's answer loses what was
    // queued behind it.
    {
        const QByteArray stamp = "<1896.697170952@postoffice.reston.mci.net>";
        const QByteArray response = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";
        const Script cram =
            Script::mailbox(2)
                .capa({"USER", "SASL CRAM-MD5", "PIPELINING"})
                .exchange("AUTH CRAM-MD5", {challenge(stamp),
                                            Reply::line("+OK").thenDoing(Reply::Then::DropQueued)});
        const auto tim = [](const C &c) {
            return C(c).as(QStringLiteral("tim"), QStringLiteral("tanstaaftanstaaf"));
        };
        add("CRAM-MD5, RFC 2195 example",
            tim(C::ok(cram, 2))
                .secret(Credentials::Never)
                .within(30, 0, 5000)
                .inFlights({"CAPA\r\n", "AUTH CRAM-MD5\r\n", response + "\r\n", "STAT\r\nQUIT\r\n"})
                .leaves("%h %p cram-md5\n"));
        // A password longer than MD5's block is hashed into the key first (RFC 2104).
        const QString longPassword(70, u'k');
        const QByteArray longResponse =
            ("tim " +
             QMessageAuthenticationCode::hash(stamp, longPassword.toUtf8(), QCryptographicHash::Md5)
                 .toHex())
                .toBase64();
        add("CRAM-MD5, a password longer than a block",
            C::ok(cram, 2)
                .as(QStringLiteral("tim"), longPassword)
                .secret(Credentials::Never)
                .inFlights(
                    {"CAPA\r\n", "AUTH CRAM-MD5\r\n", longResponse + "\r\n", "STAT\r\nQUIT\r\n"}));
        C c = tim(C::ok(cram, 2));
        c.fragment = QStringLiteral("Mailbox checked (CRAM-MD5, password not sent).");
        add("CRAM-MD5 status", c);
        add("CRAM-MD5 remembered, gone after a restart",
            tim(C::failing(Script::mailbox(2).capa({"USER", "PIPELINING"}), ProtectionLowered,
                           QStringLiteral("CRAM-MD5 no longer offered; password not sent.")))
                .after(cram)
                .secret(Credentials::Never)
                .received("CAPA\r\nQUIT\r\n")
                .leaves("%h %p cram-md5\n"));
        add("CRAM-MD5 remembered, APOP offered instead",
            tim(C::ok(apopServer(), 4)).remembering("%h %p cram-md5\n").leaves("%h %p cram-md5\n"));
    }

    // What a server gave is remembered from one check to the next, also across a restart
    // of the program, and a server that then gives less gets nothing secret.
    add("APOP remembered, timestamp gone after a restart",
        apop(C::failing(Script::mailbox(4).capa({"USER", "PIPELINING"}), ProtectionLowered,
                        QStringLiteral("APOP no longer offered; password not sent.")))
            .after(apopServer())
            .secret(Credentials::Never)
            .received("CAPA\r\nQUIT\r\n")
            .leaves("%h %p apop\n"));
    {
        const Script good =
            scramServer(rfc7677, challenge(rfc7677.serverFinal), Reply::line("+OK logged in"));
        add("SCRAM remembered, SASL gone, same run",
            scram(rfc7677, Script::mailbox(2).capa({"USER", "PIPELINING"}), ProtectionLowered,
                  QStringLiteral("SCRAM no longer offered; password not sent."))
                .after(good, false)
                .received("CAPA\r\nQUIT\r\n")
                .leaves("%h %p scram\n"));
        add("SCRAM remembered, only APOP left after a restart",
            scram(rfc7677, apopServer(), ProtectionLowered,
                  QStringLiteral("SCRAM no longer offered; password not sent."))
                .after(good)
                .received("CAPA\r\nQUIT\r\n"));
        add("SCRAM raises APOP, other servers' lines kept",
            scram(rfc7677, good, Ok, QStringLiteral("SCRAM"))
                .remembering("mail.example.org 110 tls\n%h %p apop\nnot a line\n")
                .leaves("mail.example.org 110 tls\n%h %p scram\nnot a line\n"));
    }
    // A file of remembered servers that cannot be read whole is not taken for an empty one.
    add("state file longer than 1 MiB: stop before connecting",
        C::refused(QString(), ProtectionUnknown, QStringLiteral("morvex/servers."))
            .remembering(QByteArray(1 << 20, '#') + "\n%h %p tls\n")
            .leaves("%h %p tls\n"));
    {
        C fifo = C::refused(QString(), ProtectionUnknown, QStringLiteral("morvex/servers."));
        fifo.stateKind = C::StateFile::Fifo;
        add("a FIFO at the state file's path: stop before connecting", fifo);
    }
    add("another port of the same host does not count",
        C::ok(Script::mailbox(3), 3).remembering("%h 1 tls\n").leaves("%h 1 tls\n"));
    add("timestamp without @: USER/PASS",
        C::ok(Script::mailbox(4).greet(Reply::line("+OK ready <1896.697170952>")), 4)
            .received("CAPA\r\nUSER alice\r\n" + pass + "STAT\r\nQUIT\r\n"));
}

QTEST_GUILESS_MAIN(TestTarvikCodes)
#include "tst_tarvik_codes.moc"
