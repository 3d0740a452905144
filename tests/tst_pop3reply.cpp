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

QTEST_GUILESS_MAIN(TestPop3Reply)
#include "tst_pop3reply.moc"
