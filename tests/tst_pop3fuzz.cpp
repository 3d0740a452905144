#include "mail/Pop3Capa.h"
#include "mail/Pop3Reply.h"
#include "mail/ServerAddress.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <limits>

// Random and mutated input for the parsers that see what a server (or a user) sends.
// Seeds are fixed, so a failure repeats; each function stops after a fixed number of
// rounds or a few seconds, whichever comes first. The checks are properties every result
// must have, not copies of the parsers.
namespace {

constexpr int rounds = 200000;
constexpr qint64 budgetMs = 700; // 12 rows: at most about 8.5 s in all

const QByteArrayList corpus = {
    "+OK",
    "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>",
    "-ERR",
    "-ERR [AUTH] invalid password",
    "-ERR [IN-USE] mailbox locked",
    "-ERR [SYS/TEMP] try later",
    "-ERR [LOGIN-DELAY] 900",
    "+OK 2 320",
    "+OK 2147483647 1",
    "+OK 0 0 extra text",
    "+ok\t3\t4",
    "-ERR f\xc3\xbcr j\xc3\xb6rg \xe2\x80\xae\x1b[31m",
    "STLS",
    "SASL PLAIN",
    ".",
    "..STLS",
    "pop3s://mail.example.com:995",
    "[2001:db8::1]:110",
    "mail.example.com",
};

QByteArray mutate(QRandomGenerator &random, QByteArray line)
{
    static const char interesting[] = {
        '\0', '\r', '\n',   ' ',    '\t',   '[',    ']',    '/',    '.',    ':',    '+', '-',
        '0',  '9',  '\x7f', '\x80', '\xc3', '\xe2', '\xed', '\xef', '\xf0', '\xff', '@', '%'};
    const int edits = 1 + int(random.bounded(4));
    for (int i = 0; i < edits; ++i) {
        const qsizetype at = line.isEmpty() ? 0 : qsizetype(random.bounded(int(line.size()) + 1));
        const char byte = random.bounded(2) ? char(random.bounded(256))
                                            : interesting[random.bounded(int(sizeof interesting))];
        switch (random.bounded(6)) {
        case 0:
            line.insert(at, byte);
            break;
        case 1:
            if (at < line.size())
                line[at] = byte;
            break;
        case 2:
            line.remove(at, 1 + random.bounded(4));
            break;
        case 3:
            line.insert(at, corpus.at(random.bounded(int(corpus.size()))));
            break;
        case 4:
            line.insert(at, QByteArray(random.bounded(40), byte));
            break;
        default:
            line.truncate(at);
            break;
        }
    }
    return line.left(600);
}

QByteArray randomLine(QRandomGenerator &random)
{
    if (random.bounded(4) == 0) {
        QByteArray bytes(random.bounded(80), '\0');
        for (char &c : bytes)
            c = char(random.bounded(256));
        return bytes;
    }
    return mutate(random, corpus.at(random.bounded(int(corpus.size()))));
}

bool startsWithIndicator(const QByteArray &line, const QByteArray &indicator)
{
    return line.size() >= indicator.size() && line.left(indicator.size()).toUpper() == indicator &&
           (line.size() == indicator.size() || line.at(indicator.size()) == ' ' ||
            line.at(indicator.size()) == '\t');
}

bool shownCharacter(char32_t code)
{
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
    case QChar::Other_PrivateUse:
        return false;
    default:
        return true;
    }
}

// Why shown is not fit for the status line, or empty.
QString displayFault(const QString &shown, int cap)
{
    if (shown.size() > qMax(0, cap))
        return QStringLiteral("too long");
    if (shown != shown.simplified())
        return QStringLiteral("blanks not collapsed");
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QChar c = shown.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= shown.size() || !shown.at(i + 1).isLowSurrogate())
                return QStringLiteral("lone high surrogate");
            if (!shownCharacter(QChar::surrogateToUcs4(c, shown.at(i + 1))))
                return QStringLiteral("hidden character");
            ++i;
        } else if (c.isLowSurrogate()) {
            return QStringLiteral("lone low surrogate");
        } else if (!shownCharacter(c.unicode())) {
            return QStringLiteral("hidden character U+%1")
                .arg(c.unicode(), 4, 16, QLatin1Char('0'));
        }
    }
    return QString();
}

bool statOracle(const QByteArray &text, qint64 *count)
{
    static const QRegularExpression form(
        QStringLiteral("^([0-9]+) [ \\t]*[0-9]+([ \\t][\\s\\S]*)?\\z"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return false;
    QString digits = match.captured(1);
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    if (digits.size() > 10)
        return false;
    *count = digits.toLongLong();
    return *count <= std::numeric_limits<qint32>::max();
}

} // namespace

class TestPop3Fuzz : public QObject {
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
    void capabilities_data() { replies_data(); }
    void capabilities();
    void serverAddresses_data() { replies_data(); }
    void serverAddresses();
};

void TestPop3Fuzz::replies_data()
{
    QTest::addColumn<quint32>("seed");
    for (const quint32 seed : {1u, 1939u, 2449u, 0xC0FFEEu})
        QTest::newRow(qPrintable(QString::number(seed))) << seed;
}

void TestPop3Fuzz::replies()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    QElapsedTimer clock;
    clock.start();
    int done = 0;
    for (; done < rounds && !clock.hasExpired(budgetMs); ++done) {
        const QByteArray line = randomLine(random);
        const Pop3Reply reply = Pop3Reply::parse(line);
        const bool ok = startsWithIndicator(line, "+OK");
        const bool err = startsWithIndicator(line, "-ERR");
        QCOMPARE(reply.isOk(), ok);
        QCOMPARE(reply.isErr(), err);
        if (reply.isValid()) {
            QVERIFY(line.endsWith(reply.text));
            QVERIFY(reply.text.isEmpty() || (reply.text[0] != ' ' && reply.text[0] != '\t'));
            if (!reply.code.isEmpty()) {
                QVERIFY(line.contains('[' + reply.code + ']'));
                for (const QByteArray &level : reply.code.split('/')) {
                    QVERIFY(!level.isEmpty());
                    for (const char c : level)
                        QVERIFY(c > ' ' && c <= '~' && c != '[' && c != ']');
                }
            }
        }

        qint64 expected = -1;
        const bool valid = statOracle(reply.text, &expected);
        qint64 count = -1;
        QVERIFY2(Pop3Reply::parseStatCount(reply.text, &count) == valid,
                 reply.text.toHex().constData());
        if (valid)
            QCOMPARE(count, expected);

        const int cap = int(random.bounded(50));
        const QString shown = Pop3Reply::displayText(line, cap);
        const QString fault = displayFault(shown, cap);
        QVERIFY2(fault.isEmpty(),
                 qPrintable(fault + QStringLiteral(": ") + QString::fromLatin1(line.toHex())));
    }
    QVERIFY(done > 0);
    qInfo("%d lines in %lld ms", done, clock.elapsed());
}

void TestPop3Fuzz::capabilities()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    QElapsedTimer clock;
    clock.start();
    int done = 0;
    for (; done < rounds / 20 && !clock.hasExpired(budgetMs); ++done) {
        Pop3Capa capa;
        bool ended = false;
        bool stls = false;
        int fed = 0;
        const int lines = int(random.bounded(Pop3Capa::MaxLines + 8));
        for (int i = 0; i < lines; ++i) {
            QByteArray line = random.bounded(8) == 0 ? QByteArray(".") : randomLine(random);
            line.replace('\n', ' ');
            const Pop3Capa::State state = capa.feed(line);
            if (ended || fed > Pop3Capa::MaxLines)
                continue;
            if (line == ".") {
                ended = true;
                QCOMPARE(state, Pop3Capa::State::Done);
                continue;
            }
            ++fed;
            const QByteArray unstuffed = line.startsWith('.') ? line.mid(1) : line;
            const qsizetype blank = unstuffed.indexOf(' ');
            const qsizetype tab = unstuffed.indexOf('\t');
            qsizetype end = unstuffed.size();
            if (blank >= 0)
                end = blank;
            if (tab >= 0 && tab < end)
                end = tab;
            stls = stls || unstuffed.left(end).toUpper() == "STLS";
        }
        QVERIFY(capa.lines().size() <= Pop3Capa::MaxLines);
        if (fed > Pop3Capa::MaxLines) {
            QCOMPARE(capa.state(), Pop3Capa::State::Overflow);
            QVERIFY(!capa.hasStls());
        } else {
            QCOMPARE(capa.state(), ended ? Pop3Capa::State::Done : Pop3Capa::State::More);
            QCOMPARE(capa.hasStls(), stls);
            QCOMPARE(capa.lines().size(), qsizetype(fed));
        }
    }
    QVERIFY(done > 0);
}

void TestPop3Fuzz::serverAddresses()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    QElapsedTimer clock;
    clock.start();
    int done = 0;
    for (; done < rounds && !clock.hasExpired(budgetMs); ++done) {
        const QByteArray bytes = randomLine(random).left(120);
        const QString text =
            random.bounded(2) ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
        const quint16 defaultPort = quint16(1 + random.bounded(65535));
        const ServerAddress address = ServerAddress::parse(text, defaultPort);
        const QString why = address.problemText();
        QCOMPARE(why.isEmpty(), address.isValid());
        QVERIFY(why.size() <= 45);
        if (!address.isValid())
            continue;
        QVERIFY(!address.host().isEmpty());
        QVERIFY(address.port() >= 1);
        for (const QChar c : address.host())
            QVERIFY2(!c.isSpace() && c != QLatin1Char('/') && c != QLatin1Char('@'),
                     qPrintable(text));
        const ServerAddress again = ServerAddress::parse(address.toString(), 1);
        QVERIFY2(again.isValid(), qPrintable(text));
        QCOMPARE(again.host(), address.host());
        QCOMPARE(again.port(), address.port());
        QCOMPARE(again.implicitTls(), address.implicitTls());
    }
    QVERIFY(done > 0);
}

QTEST_GUILESS_MAIN(TestPop3Fuzz)
#include "tst_pop3fuzz.moc"
