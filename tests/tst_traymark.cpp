#include "tray/NewMailMark.h"
#include "tray/TrayPicture.h"
#include "ui/Pictures.h"

#include <QApplication>
#include <QTest>

// The new-mail mark on the tray icon: how many messages came since the user last looked, and
// the picture that shows it.
class TestTrayMark : public QObject {
    Q_OBJECT

    // The pixels of the badge's corner that differ from the plain icon.
    static int changed(const QImage &marked, const QImage &plain)
    {
        int count = 0;
        const int size = plain.width();
        for (int y = size / 2; y < size; ++y)
            for (int x = size / 2; x < size; ++x)
                count += marked.pixel(x, y) != plain.pixel(x, y);
        return count;
    }

private Q_SLOTS:
    // Counts of successful checks ("c5"), and the user looking ("look"), in order.
    void mark_data()
    {
        QTest::addColumn<QString>("events");
        QTest::addColumn<qint64>("marked");
        QTest::addColumn<QString>("text");
        QTest::newRow("start") << "" << qint64(0) << "";
        QTest::newRow("first check finds mail") << "c3" << qint64(3) << "3";
        QTest::newRow("more came") << "c3 c5" << qint64(5) << "5";
        QTest::newRow("looked") << "c3 c5 look" << qint64(0) << "";
        QTest::newRow("came after looking") << "c3 look c7" << qint64(4) << "4";
        QTest::newRow("fewer lowers the mark") << "c3 look c7 c5" << qint64(2) << "2";
        QTest::newRow("fewer than when looked clears it") << "c3 look c7 c2" << qint64(0) << "";
        QTest::newRow("counted from the lower count afterwards")
            << "c3 look c7 c2 c4" << qint64(2) << "2";
        QTest::newRow("emptied") << "c5 c0" << qint64(0) << "";
        QTest::newRow("99") << "c99" << qint64(99) << "99";
        QTest::newRow("100 shows 99+") << "c100" << qint64(100) << "99+";
        QTest::newRow("looking at nothing new") << "look look" << qint64(0) << "";
    }
    void mark()
    {
        QFETCH(QString, events);
        QFETCH(qint64, marked);
        QFETCH(QString, text);
        NewMailMark mark;
        for (const QString &event : events.split(u' ', Qt::SkipEmptyParts)) {
            if (event == u"look")
                mark.looked();
            else
                mark.counted(event.mid(1).toLongLong());
        }
        QCOMPARE(mark.marked(), marked);
        QCOMPARE(NewMailMark::text(mark.marked()), text);
    }

    void picture_data()
    {
        QTest::addColumn<int>("size");
        for (const int size : {16, 22, 32, 64})
            QTest::addRow("%d px", size) << size;
    }
    // Drawn at each size: the plain icon without a mark; with one, a red badge in the lower
    // right corner with white figures in it, "1" and "99+" drawn differently; the rest of the
    // picture is the plain icon.
    void picture()
    {
        QFETCH(int, size);
        const QImage plain = iconPixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(TrayPicture::image(size, 0), plain);
        const QImage one = TrayPicture::image(size, 1);
        const QImage many = TrayPicture::image(size, 100);
        QCOMPARE(one.size(), QSize(size, size));
        QVERIFY(changed(one, plain) >= size * size / 16);
        QVERIFY(changed(many, one) >= size * size / 32);
        QCOMPARE(one.copy(0, 0, size, size / 3), plain.copy(0, 0, size, size / 3));
        // The figures: white pixels inside the badge, which is red.
        for (const QImage &marked : {one, many}) {
            int white = 0;
            int red = 0;
            for (int y = size / 2; y < size; ++y)
                for (int x = size / 2; x < size; ++x) {
                    const QColor c = marked.pixelColor(x, y);
                    white += c.red() > 200 && c.green() > 200 && c.blue() > 200;
                    red += c.red() > 150 && c.green() < 60 && c.blue() < 60;
                }
            QVERIFY2(white >= qMax(3, size * size / 128) && red >= size * size / 32,
                     qPrintable(QStringLiteral("%1 white, %2 red").arg(white).arg(red)));
        }
        QVERIFY(TrayPicture::icon(100).availableSizes().contains(QSize(size, size)));
    }
};

QTEST_MAIN(TestTrayMark)
#include "tst_traymark.moc"
