#include "mail/Pop3Capa.h"
#include "mail/Pop3Reply.h"

#include <QTest>

class TestPop3Reply : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void statCount_data();
    void statCount();
    void displayText_data();
    void displayText();
    void capa_data();
    void capa();
};

void TestPop3Reply::parse_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("text");

    const int invalid = int(Pop3Reply::Status::Invalid);
    const int ok = int(Pop3Reply::Status::Ok);
    const int err = int(Pop3Reply::Status::Err);

    QTest::newRow("ok bare") << QByteArray("+OK") << ok << QByteArray() << QByteArray();
    QTest::newRow("ok with text") << QByteArray("+OK POP3 ready <1.2@x>") << ok << QByteArray()
                                  << QByteArray("POP3 ready <1.2@x>");
    QTest::newRow("ok extra blanks")
        << QByteArray("+OK   3 120") << ok << QByteArray() << QByteArray("3 120");
    QTest::newRow("ok tab") << QByteArray("+OK\tready") << ok << QByteArray()
                            << QByteArray("ready");
    QTest::newRow("ok lower case")
        << QByteArray("+ok fine") << ok << QByteArray() << QByteArray("fine");
    QTest::newRow("err bare") << QByteArray("-ERR") << err << QByteArray() << QByteArray();
    QTest::newRow("err text") << QByteArray("-ERR no such user") << err << QByteArray()
                              << QByteArray("no such user");
    QTest::newRow("err auth code") << QByteArray("-ERR [AUTH] bad password") << err
                                   << QByteArray("AUTH") << QByteArray("bad password");
    QTest::newRow("err hierarchical code") << QByteArray("-ERR [SYS/TEMP] try later") << err
                                           << QByteArray("SYS/TEMP") << QByteArray("try later");
    QTest::newRow("err code only")
        << QByteArray("-ERR [IN-USE]") << err << QByteArray("IN-USE") << QByteArray();
    QTest::newRow("ok code") << QByteArray("+OK [X-FOO] hi") << ok << QByteArray("X-FOO")
                             << QByteArray("hi");
    // Brackets that do not form a response code stay part of the text.
    QTest::newRow("bracket unclosed")
        << QByteArray("-ERR [AUTH bad") << err << QByteArray() << QByteArray("[AUTH bad");
    QTest::newRow("bracket empty")
        << QByteArray("-ERR [] x") << err << QByteArray() << QByteArray("[] x");
    QTest::newRow("bracket with space")
        << QByteArray("-ERR [A B] x") << err << QByteArray() << QByteArray("[A B] x");
    QTest::newRow("bracket empty level")
        << QByteArray("-ERR [SYS//TEMP] x") << err << QByteArray() << QByteArray("[SYS//TEMP] x");
    QTest::newRow("bracket trailing slash")
        << QByteArray("-ERR [SYS/] x") << err << QByteArray() << QByteArray("[SYS/] x");
    QTest::newRow("bracket non-ascii")
        << QByteArray("-ERR [\xc3\xa9] x") << err << QByteArray() << QByteArray("[\xc3\xa9] x");

    QTest::newRow("empty") << QByteArray() << invalid << QByteArray() << QByteArray();
    QTest::newRow("okay") << QByteArray("+OKAY") << invalid << QByteArray() << QByteArray();
    QTest::newRow("error word") << QByteArray("-ERROR x") << invalid << QByteArray()
                                << QByteArray();
    QTest::newRow("no sign") << QByteArray("OK ready") << invalid << QByteArray() << QByteArray();
    QTest::newRow("leading blank") << QByteArray(" +OK") << invalid << QByteArray() << QByteArray();
    QTest::newRow("plus only") << QByteArray("+") << invalid << QByteArray() << QByteArray();
    QTest::newRow("smtp style") << QByteArray("220 mail ESMTP") << invalid << QByteArray()
                                << QByteArray();
    QTest::newRow("binary") << QByteArray("\x00\x01\xff", 3) << invalid << QByteArray()
                            << QByteArray();
}

void TestPop3Reply::parse()
{
    QFETCH(QByteArray, line);
    QFETCH(int, status);
    QFETCH(QByteArray, code);
    QFETCH(QByteArray, text);

    const Pop3Reply reply = Pop3Reply::parse(line);
    QCOMPARE(int(reply.status), status);
    if (status == int(Pop3Reply::Status::Invalid))
        return;
    QCOMPARE(reply.code, code);
    QCOMPARE(reply.text, text);
}

void TestPop3Reply::statCount_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("count");

    QTest::newRow("zero") << QByteArray("0 0") << true << qint64(0);
    QTest::newRow("three") << QByteArray("3 1200") << true << qint64(3);
    QTest::newRow("above 16 bits") << QByteArray("40000 99") << true << qint64(40000);
    QTest::newRow("just above 32767") << QByteArray("32768 1") << true << qint64(32768);
    QTest::newRow("int max") << QByteArray("2147483647 1") << true << qint64(2147483647);
    QTest::newRow("leading zeros") << QByteArray("0007 10") << true << qint64(7);
    QTest::newRow("huge size") << QByteArray("2 123456789012345678901234567890") << true
                               << qint64(2);
    QTest::newRow("more after size") << QByteArray("5 900 messages") << true << qint64(5);
    QTest::newRow("two blanks") << QByteArray("5  900") << true << qint64(5);

    QTest::newRow("empty") << QByteArray() << false << qint64(0);
    QTest::newRow("count only") << QByteArray("3") << false << qint64(0);
    QTest::newRow("count and blank") << QByteArray("3 ") << false << qint64(0);
    QTest::newRow("negative count") << QByteArray("-1 0") << false << qint64(0);
    QTest::newRow("negative size") << QByteArray("1 -5") << false << qint64(0);
    QTest::newRow("plus sign") << QByteArray("+3 10") << false << qint64(0);
    QTest::newRow("letters") << QByteArray("three 100") << false << qint64(0);
    QTest::newRow("hex") << QByteArray("0x10 100") << false << qint64(0);
    QTest::newRow("count with letters") << QByteArray("3a 100") << false << qint64(0);
    QTest::newRow("size with letters") << QByteArray("3 100x") << false << qint64(0);
    QTest::newRow("int max + 1") << QByteArray("2147483648 1") << false << qint64(0);
    QTest::newRow("far too large") << QByteArray("99999999999999999999999 1") << false << qint64(0);
    QTest::newRow("leading blank") << QByteArray(" 3 100") << false << qint64(0);
    QTest::newRow("decimal point") << QByteArray("3.0 100") << false << qint64(0);
}

void TestPop3Reply::statCount()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(qint64, count);

    qint64 parsed = -12345;
    QCOMPARE(Pop3Reply::parseStatCount(text, &parsed), valid);
    if (valid)
        QCOMPARE(parsed, count);
}

void TestPop3Reply::displayText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("maxChars");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << QByteArray("mailbox locked") << 45
                           << QStringLiteral("mailbox locked");
    QTest::newRow("controls dropped") << QByteArray("bad\x07\x1b[31m pass\tword\x7f") << 45
                                      << QStringLiteral("bad [31m pass word");
    QTest::newRow("nul") << QByteArray("a\0b", 3) << 45 << QStringLiteral("a b");
    QTest::newRow("blanks collapsed") << QByteArray("  a    b  ") << 45 << QStringLiteral("a b");
    QTest::newRow("utf8") << QByteArray("Zugang verweigert f\xc3\xbcr j\xc3\xb6rg") << 45
                          << QStringLiteral("Zugang verweigert f\u00fcr j\u00f6rg");
    QTest::newRow("latin1 fallback") << QByteArray("f\xfcr") << 45 << QStringLiteral("f\u00fcr");
    QTest::newRow("bidi override dropped") << QByteArray("abc\xe2\x80\xae"
                                                         "def")
                                           << 45 << QStringLiteral("abc def");
    QTest::newRow("cut with ellipsis")
        << QByteArray("abcdefghij") << 5 << QStringLiteral("abcd\u2026");
    QTest::newRow("exactly fits") << QByteArray("abcde") << 5 << QStringLiteral("abcde");
    QTest::newRow("cut at blank") << QByteArray("abc defgh") << 5 << QStringLiteral("abc\u2026");
    QTest::newRow("no surrogate half")
        << QByteArray("ab\xf0\x9f\x98\x80xyz") << 4 << QStringLiteral("ab\u2026");
    QTest::newRow("emoji kept") << QByteArray("ok \xf0\x9f\x93\xab") << 45
                                << QStringLiteral("ok \U0001F4EB");
    QTest::newRow("private use dropped") << QByteArray("a\xee\x80\x80"
                                                       "b")
                                         << 45 << QStringLiteral("a b");
    QTest::newRow("supplementary private use dropped") << QByteArray("a\xf3\xb0\x80\x80"
                                                                     "b")
                                                       << 45 << QStringLiteral("a b");
    QTest::newRow("noncharacter dropped") << QByteArray("a\xef\xbf\xbf"
                                                        "b")
                                          << 45 << QStringLiteral("a b");
    QTest::newRow("line separator dropped") << QByteArray("a\xe2\x80\xa8"
                                                          "b")
                                            << 45 << QStringLiteral("a b");
    QTest::newRow("encoded surrogate falls back to latin-1")
        << QByteArray("\xed\xa0\x80x") << 45 << QStringLiteral("\u00ed x");
    QTest::newRow("overlong encoding falls back to latin-1")
        << QByteArray("\xc0\xafx") << 45 << QStringLiteral("\u00c0\u00afx");
    QTest::newRow("truncated sequence falls back to latin-1")
        << QByteArray("ab\xe2\x82") << 45 << QStringLiteral("ab\u00e2");
    QTest::newRow("C1 controls of the fallback dropped") << QByteArray("a\x85\x9b"
                                                                       "b\xff")
                                                         << 45 << QStringLiteral("a b\u00ff");
    QTest::newRow("cut after a full emoji")
        << QByteArray("ab\xf0\x9f\x98\x80xyz") << 5 << QStringLiteral("ab\U0001F600\u2026");
    QTest::newRow("one character of room") << QByteArray("abc") << 1 << QStringLiteral("\u2026");
    QTest::newRow("no room") << QByteArray("abc") << 0 << QString();
    QTest::newRow("only controls") << QByteArray("\r\n\x01") << 45 << QString();
}

void TestPop3Reply::displayText()
{
    QFETCH(QByteArray, text);
    QFETCH(int, maxChars);
    QFETCH(QString, expected);

    const QString shown = Pop3Reply::displayText(text, maxChars);
    QCOMPARE(shown, expected);
    QVERIFY(shown.size() <= qMax(0, maxChars));
}

void TestPop3Reply::capa_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("stls");
    QTest::addColumn<QByteArrayList>("kept");

    const int more = int(Pop3Capa::State::More);
    const int done = int(Pop3Capa::State::Done);
    const int overflow = int(Pop3Capa::State::Overflow);

    QTest::newRow("typical") << QByteArrayList{"TOP", "USER", "SASL PLAIN LOGIN", "STLS", "."}
                             << done << true
                             << QByteArrayList{"TOP", "USER", "SASL PLAIN LOGIN", "STLS"};
    QTest::newRow("no STLS") << QByteArrayList{"USER", "UIDL", "."} << done << false
                             << QByteArrayList{"USER", "UIDL"};
    QTest::newRow("lower case names") << QByteArrayList{"stls", "sasl Plain", "."} << done << true
                                      << QByteArrayList{"STLS", "SASL Plain"};
    QTest::newRow("STLS with an argument")
        << QByteArrayList{"STLS x", "."} << done << true << QByteArrayList{"STLS x"};
    QTest::newRow("STLS as a prefix only") << QByteArrayList{"STLSX", "X-STLS", "."} << done
                                           << false << QByteArrayList{"STLSX", "X-STLS"};
    QTest::newRow("STLS as an argument")
        << QByteArrayList{"SASL STLS", "."} << done << false << QByteArrayList{"SASL STLS"};
    QTest::newRow("dot-stuffed") << QByteArrayList{"..HIDDEN", ".STLS", "."} << done << true
                                 << QByteArrayList{".HIDDEN", "STLS"};
    QTest::newRow("empty list") << QByteArrayList{"."} << done << false << QByteArrayList{};
    QTest::newRow("blank line kept")
        << QByteArrayList{"", "USER", "."} << done << false << QByteArrayList{"", "USER"};
    QTest::newRow("lines after the end are ignored")
        << QByteArrayList{"USER", ".", "STLS"} << done << false << QByteArrayList{"USER"};
    QTest::newRow("dot with a blank is no end")
        << QByteArrayList{". ", "USER"} << more << false << QByteArrayList{" ", "USER"};
    QTest::newRow("not ended") << QByteArrayList{"STLS"} << more << true << QByteArrayList{"STLS"};

    QByteArrayList full;
    for (int i = 0; i < Pop3Capa::MaxLines; ++i)
        full.append("X-" + QByteArray::number(i));
    QTest::newRow("at the limit") << (full + QByteArrayList{"."}) << done << false << full;
    QTest::newRow("over the limit")
        << (full + QByteArrayList{"STLS", "."}) << overflow << false << QByteArrayList{};
}

void TestPop3Reply::capa()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(int, state);
    QFETCH(bool, stls);
    QFETCH(QByteArrayList, kept);

    Pop3Capa capa;
    for (const QByteArray &line : lines)
        capa.feed(line);
    QCOMPARE(int(capa.state()), state);
    QCOMPARE(capa.hasStls(), stls);
    QCOMPARE(capa.lines(), kept);
}

QTEST_GUILESS_MAIN(TestPop3Reply)
#include "tst_pop3reply.moc"
