#include "TrayPicture.h"

#include "NewMailMark.h"
#include "ui/Pictures.h"

#include <QFont>
#include <QFontMetricsF>
#include <QIconEngine>
#include <QPaintDevice>
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

// The marked picture in the sizes it was drawn at, handed out as it is, or scaled down from
// the next larger one. Qt's own icon engine keeps every picture it hands out in the
// process-wide pixmap cache under that picture's identity; the mark is drawn anew whenever
// its number changes, and each drawing would add entries there until the cache is full
// (some 10 MB, after a few thousand changes). These pictures go when the icon goes.
class DrawnSizes : public QIconEngine {
public:
    explicit DrawnSizes(QList<QPixmap> pixmaps)
        : m_pixmaps(std::move(pixmaps))
    {
    }

    QIconEngine *clone() const override { return new DrawnSizes(m_pixmaps); }
    bool isNull() override { return m_pixmaps.isEmpty(); }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> drawn;
        for (const QPixmap &pixmap : std::as_const(m_pixmaps))
            drawn << pixmap.size();
        return drawn;
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        if (m_pixmaps.isEmpty() || size.isEmpty())
            return QPixmap();
        // The smallest drawn size that covers the request, else the largest.
        const QPixmap *best = &m_pixmaps.last();
        for (const QPixmap &pixmap : std::as_const(m_pixmaps)) {
            if (pixmap.width() >= size.width() && pixmap.height() >= size.height()) {
                best = &pixmap;
                break;
            }
        }
        if (best->size() == size)
            return *best;
        return best->scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
        painter->drawPixmap(rect, pixmap(rect.size() * dpr, mode, state));
    }

private:
    QList<QPixmap> m_pixmaps; // from the smallest to the largest
};

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
    QList<QPixmap> drawn;
    for (const int size : sizes())
        drawn << QPixmap::fromImage(image(size, marked));
    return QIcon(new DrawnSizes(std::move(drawn)));
}

} // namespace TrayPicture
