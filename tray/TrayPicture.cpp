#include "TrayPicture.h"

#include "NewMailMark.h"
#include "ui/Pictures.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace TrayPicture {

namespace {

// The badge's height for an icon of `size` pixels: half the icon, at least 9 pixels so that
// a digit has 7 pixels of height at 16.
int badgeHeight(int size)
{
    return qMax(9, size / 2 + 1);
}

// Bold digits of the largest pixel size that fits the badge's height and the icon's width.
QFont badgeFont(int size, int height, const QString &text)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setHintingPreference(QFont::PreferFullHinting);
    for (int pixels = height - 1; pixels > 5; --pixels) {
        font.setPixelSize(pixels);
        // Digits' height is close to the cap height: most of the badge.
        const QFontMetricsF metrics(font);
        if (metrics.capHeight() <= height - 2 &&
            metrics.horizontalAdvance(text) <= size - qMax(2, height / 4))
            break;
        if (pixels <= 8)
            font.setLetterSpacing(QFont::AbsoluteSpacing, -0.5);
    }
    return font;
}

} // namespace

QList<int> sizes()
{
    return {16, 22, 24, 32, 48, 64};
}

QImage image(int size, qint64 marked)
{
    QImage picture = iconPixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
    const QString text = NewMailMark::text(marked);
    if (text.isEmpty())
        return picture;
    const int height = badgeHeight(size);
    const QFont font = badgeFont(size, height, text);
    const QFontMetricsF metrics(font);
    const int width =
        qMin(size, qMax(height, qCeil(metrics.horizontalAdvance(text)) + qMax(2, height / 3)));
    const QRectF badge(size - width, size - height, width, height);

    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    // A light rim parts the badge from the orange picture under it.
    const qreal rim = size >= 32 ? size / 32.0 : 1.0;
    p.setPen(QPen(QColor(0xFF, 0xF4, 0xE0), rim));
    p.setBrush(QColor(0xC8, 0x10, 0x10));
    const QRectF inside = badge.adjusted(rim / 2, rim / 2, -rim / 2, -rim / 2);
    p.drawRoundedRect(inside, inside.height() / 2, inside.height() / 2);
    p.setPen(Qt::white);
    p.setFont(font);
    // Centred on the digits' cap height, on whole pixels.
    const qreal baseline =
        qRound(badge.top() + (badge.height() + metrics.capHeight()) / 2.0 - 0.01);
    const qreal left = qRound(badge.center().x() - metrics.horizontalAdvance(text) / 2.0);
    p.drawText(QPointF(left, baseline), text);
    return picture;
}

QIcon icon(qint64 marked)
{
    if (marked <= 0)
        return morvexIcon();
    QIcon icon;
    for (const int size : sizes())
        icon.addPixmap(QPixmap::fromImage(image(size, marked)));
    return icon;
}

} // namespace TrayPicture
