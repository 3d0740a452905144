#pragma once

#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QTest>

#include <cmath>

// Checks that `text` is shown whole in a box of `room` pixels by a control drawing it in
// `font`: in Liberation Sans (or Arial itself), whose metrics the layout was made with; at
// the layout's size `designPoints` where it fits, else at the largest quarter-point size
// below it that does; on one line, no wider or taller than the box.
inline void verifyWholeCaption(const QFont &font, const QString &text, const QSize &room,
                               qreal designPoints)
{
    const QString family = QFontInfo(font).family();
    QVERIFY2(family == u"Liberation Sans" || family == u"Arial", qPrintable(family));
    const QFontMetrics metrics(font);
    const QString why = QStringLiteral("\"%1\" at %2 pt: %3 x %4 px in %5 x %6")
                            .arg(text)
                            .arg(font.pointSizeF())
                            .arg(QFontMetricsF(font).horizontalAdvance(text))
                            .arg(QFontMetricsF(font).height())
                            .arg(room.width())
                            .arg(room.height());
    QVERIFY2(metrics.horizontalAdvance(text) <= room.width(), qPrintable(why));
    QVERIFY2(std::ceil(QFontMetricsF(font).horizontalAdvance(text)) <= room.width(),
             qPrintable(why));
    QVERIFY2(metrics.height() <= room.height(), qPrintable(why));
    QVERIFY2(font.pointSizeF() <= designPoints, qPrintable(why));
    if (font.pointSizeF() < designPoints) {
        QFont larger = font;
        larger.setPointSizeF(font.pointSizeF() + 0.25);
        const QFontMetricsF at(larger);
        QVERIFY2(std::ceil(at.horizontalAdvance(text)) > room.width() ||
                     std::ceil(at.height()) > room.height(),
                 qPrintable(why + QStringLiteral(": smaller than it needs to be")));
    }
}
