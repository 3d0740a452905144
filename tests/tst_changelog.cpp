#include "mail/ChangeLog.h"
#include "mail/GeneralDate.h"
#include "mail/TextRules.h"

#include <QTest>
#include <stdexcept>

class TestChangeLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entryText_data()
    {
        QTest::addColumn<qint64>("oldCount");
        QTest::addColumn<qint64>("newCount");
        QTest::addColumn<QString>("text");
        QTest::newRow("0 to 1") << qint64(0) << qint64(1) << "1 New Message";
        QTest::newRow("0 to 2") << qint64(0) << qint64(2) << "2 New Messages";
        QTest::newRow("4 to 7") << qint64(4) << qint64(7) << "3 New Messages";
        QTest::newRow("3 to 2") << qint64(3) << qint64(2) << "1 Message Less";
        QTest::newRow("5 to 2") << qint64(5) << qint64(2) << "3 Messages Less";
        QTest::newRow("0 to 40000") << qint64(0) << qint64(40000) << "40000 New Messages";
        QTest::newRow("full range")
            << qint64(2147483647) << qint64(0) << "2147483647 Messages Less";
    }
    void entryText()
    {
        QFETCH(qint64, oldCount);
        QFETCH(qint64, newCount);
        QFETCH(QString, text);
        QCOMPARE(changeText(newCount, oldCount), text);
    }

    void fillingAndBeyond_data()
    {
        QTest::addColumn<int>("changes");
        QTest::addColumn<int>("oldestShown"); // entry number held in row 1
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("100") << 100 << 1;
        QTest::newRow("101") << 101 << 2;
        QTest::newRow("130") << 130 << 31;
        QTest::newRow("1000") << 1000 << 901;
    }
    void fillingAndBeyond()
    {
        QFETCH(int, changes);
        QFETCH(int, oldestShown);
        ChangeLog log;
        for (int i = 1; i <= changes; ++i)
            log.record(QString::number(i), QStringLiteral("t%1").arg(i));
        const int last = qMin(changes, 100);
        QCOMPARE(log.logIdx(), last);
        QCOMPARE(log.logText(0), QString());
        for (int row = 1; row <= last; ++row) {
            QCOMPARE(log.logText(row), QString::number(oldestShown + row - 1));
            QCOMPARE(log.logTime(row), QStringLiteral("t%1").arg(oldestShown + row - 1));
        }
        QCOMPARE(log.logText(last), QString::number(changes));
    }

    void rowsOutsideTableThrow_data()
    {
        QTest::addColumn<int>("row");
        QTest::newRow("-1") << -1;
        QTest::newRow("101") << 101;
    }
    void rowsOutsideTableThrow()
    {
        QFETCH(int, row);
        ChangeLog log;
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, log.logText(row));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, log.logTime(row));
    }

    void leadingNumberRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "10" << 10.0;
        QTest::newRow("fraction") << "2.5" << 2.5;
        QTest::newRow("point first") << ".5" << 0.5;
        QTest::newRow("word after") << "7 minutes" << 7.0;
        QTest::newRow("blanks inside") << " 1 5 " << 15.0;
        QTest::newRow("negative") << "-3" << -3.0;
        QTest::newRow("sign after blanks") << " - 2" << -2.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("comma is not a mark") << "2,5" << 2.0;
        QTest::newRow("two points") << "1.2.3" << 1.2;
        QTest::newRow("lone sign") << "-" << 0.0;
        QTest::newRow("tab stops") << "\t5" << 0.0;
    }
    void leadingNumberRule()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(leadingNumber(text), value);
    }

    void generalDateShape()
    {
        const QDateTime when(QDate(2026, 3, 4), QTime(13, 5, 9));
        const QLocale c(QLocale::C);
        const QString text = generalDate(when, c);
        QVERIFY2(text.startsWith(c.toString(when.date(), QLocale::ShortFormat) + u' '),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("13:05:09")), qPrintable(text));
        for (const QLocale &locale : {QLocale(QLocale::English, QLocale::UnitedStates),
                                      QLocale(QLocale::German, QLocale::Germany)}) {
            const QString local = generalDate(when, locale);
            QVERIFY2(!local.contains(when.timeZoneAbbreviation()), qPrintable(local));
            QVERIFY2(local.contains(u'5') && local.contains(QStringLiteral("09")),
                     qPrintable(local));
        }
    }
};

QTEST_GUILESS_MAIN(TestChangeLog)
#include "tst_changelog.moc"
