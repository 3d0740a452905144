#include "Pictures.h"

#include "Captions.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QtMath>

namespace {

QPixmap canvas(int width, int height, qreal dpr, const QColor &fill = Qt::transparent)
{
    QPixmap pixmap(qCeil(width * dpr), qCeil(height * dpr));
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(fill);
    return pixmap;
}

QString versionText()
{
    return QStringLiteral("%1.%2.%3")
        .arg(MORVEX_VERSION_MAJOR)
        .arg(MORVEX_VERSION_MINOR)
        .arg(MORVEX_VERSION_REVISION);
}

QFont arial(qreal pixelSize, bool bold)
{
    QFont font = Captions::designFont(QStringLiteral("Arial"), 10, bold);
    font.setPixelSize(qMax(1, qRound(pixelSize)));
    return font;
}

// Draws a line of text whole inside `box`: a pixel smaller at a time where the painter's
// font would not fit it.
void drawWhole(QPainter &p, const QRectF &box, int flags, const QString &text)
{
    QFont font = p.font();
    for (;;) {
        const QFontMetricsF metrics(font);
        if ((metrics.horizontalAdvance(text) <= box.width() && metrics.height() <= box.height()) ||
            font.pixelSize() <= 1)
            break;
        font.setPixelSize(font.pixelSize() - 1);
    }
    p.save();
    p.setFont(font);
    p.drawText(box, flags | Qt::TextSingleLine, text);
    p.restore();
}

void paintIcon(QPainter &p, const IconGeometry &g)
{
    QRadialGradient glow(g.centre, g.glowRadius);
    glow.setColorAt(0, g.glowInner);
    glow.setColorAt(1, g.glowOuter);
    QPen outline(g.outline, g.outlineWidth);
    outline.setJoinStyle(Qt::BevelJoin);
    p.setPen(outline);
    p.setBrush(glow);
    p.drawPolygon(g.star);
    p.setPen(Qt::NoPen);
    p.setBrush(g.mark);
    p.drawPolygon(g.bar);
    p.drawEllipse(g.dot, g.dotRadius, g.dotRadius);
}

void paintEnvelope(QPainter &p, const QRectF &body, bool open)
{
    p.setPen(QPen(QColor(0x40, 0x40, 0x80), 1.2));
    p.setBrush(QColor(0xFF, 0xFF, 0xF0));
    if (open) {
        // The letter sticking out of the opened envelope.
        const QRectF letter(body.left() + 5, body.top() - 9, body.width() - 10, body.height());
        p.setBrush(Qt::white);
        p.drawRect(letter);
        p.setPen(QPen(QColor(0x90, 0x90, 0xB0), 1));
        for (int i = 0; i < 3; ++i) {
            const qreal y = letter.top() + 4 + i * 3;
            p.drawLine(QPointF(letter.left() + 3, y), QPointF(letter.right() - 3, y));
        }
        p.setPen(QPen(QColor(0x40, 0x40, 0x80), 1.2));
        p.setBrush(QColor(0xFF, 0xFF, 0xF0));
    }
    p.drawRect(body);
    QPolygonF flap;
    if (open)
        flap << body.topLeft() << QPointF(body.center().x(), body.top() - 10) << body.topRight();
    else
        flap << body.topLeft() << QPointF(body.center().x(), body.center().y() + 2)
             << body.topRight();
    p.setBrush(open ? QColor(0xE8, 0xE8, 0xD0) : QColor(0xFF, 0xFF, 0xF0));
    p.drawPolygon(flap);
    p.drawLine(body.bottomLeft(), QPointF(body.left() + body.width() * 0.4, body.center().y()));
    p.drawLine(body.bottomRight(), QPointF(body.right() - body.width() * 0.4, body.center().y()));
}

} // namespace

IconGeometry iconGeometry(int size)
{
    const QRectF box(0.5, 0.5, size - 1.0, size - 1.0);
    IconGeometry g;
    g.centre = box.center();
    const QPointF &c = g.centre;
    const qreal outer = box.width() / 2;
    const qreal inner = outer * 0.68;
    const int points = 14;
    for (int i = 0; i < points * 2; ++i) {
        const qreal angle = M_PI * i / points - M_PI / 2;
        const qreal r = (i % 2 == 0) ? outer : inner;
        g.star << c + QPointF(r * qCos(angle), r * qSin(angle));
    }
    g.glowRadius = outer;
    g.outlineWidth = outer / 16;
    const qreal w = box.width();
    g.bar << QPointF(c.x() - w * 0.09, c.y() - w * 0.30)
          << QPointF(c.x() + w * 0.09, c.y() - w * 0.30)
          << QPointF(c.x() + w * 0.045, c.y() + w * 0.10)
          << QPointF(c.x() - w * 0.045, c.y() + w * 0.10);
    g.dot = QPointF(c.x(), c.y() + w * 0.22);
    g.dotRadius = w * 0.075;
    g.glowInner = QColor(0xFF, 0xD0, 0x40);
    g.glowOuter = QColor(0xF0, 0x78, 0x00);
    g.outline = QColor(0xA0, 0x40, 0x00);
    g.mark = QColor(0x60, 0x10, 0x00);
    return g;
}

QList<int> iconThemeSizes()
{
    return {16, 22, 24, 32, 48, 64, 128, 256};
}

QPixmap iconPixmap(int size, qreal dpr)
{
    QPixmap pixmap = canvas(size, size, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    paintIcon(p, iconGeometry(size));
    return pixmap;
}

QIcon morvexIcon()
{
    // Drawn once and shared by every window and the tray icon. The window system's icon
    // code keeps what it is given in the process-wide pixmap cache under the pictures'
    // identity: a fresh drawing per window would add a new set of entries each time.
    static QIcon *shared = nullptr;
    if (!shared) {
        shared = new QIcon;
        // Up to 64 pixels: what window decorations and trays show. The larger theme sizes
        // would only take memory.
        for (const int size : iconThemeSizes())
            if (size <= 64)
                shared->addPixmap(iconPixmap(size));
        // Released with the application, before the pixmap cache goes.
        qAddPostRoutine([] {
            delete shared;
            shared = nullptr;
        });
    }
    return *shared;
}

QPixmap bannerPicture(qreal dpr)
{
    const int width = 36;
    const int height = 193;
    QPixmap pixmap = canvas(width, height, dpr, QColor(0x80, 0x80, 0x80));
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient strip(0, 0, width, 0);
    strip.setColorAt(0, QColor(0x60, 0x60, 0x60));
    strip.setColorAt(0.5, QColor(0x90, 0x90, 0x90));
    strip.setColorAt(1, QColor(0x60, 0x60, 0x60));
    p.fillRect(QRectF(3, 3, width - 6, height - 6), strip);
    p.drawPixmap(QRectF(6, height - 30, 24, 24), iconPixmap(24, dpr), QRectF());
    // Name and version run from the bottom up.
    p.translate(width / 2.0, height - 36);
    p.rotate(-90);
    p.setFont(arial(17, true));
    p.setPen(QColor(0x20, 0x20, 0x20));
    const QRectF line(0, -11, height - 42, 22);
    p.drawText(line.translated(1, 1), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Morvex"));
    p.setPen(QColor(0xFF, 0xFF, 0xC0));
    p.drawText(line, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Morvex"));
    p.setFont(arial(10, true));
    p.setPen(QColor(0xE0, 0xE0, 0xE0));
    p.drawText(line, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("ver ") + versionText());
    return pixmap;
}

QPixmap envelopeClosed(qreal dpr)
{
    QPixmap pixmap = canvas(32, 32, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    paintEnvelope(p, QRectF(3.5, 8.5, 25, 17), false);
    return pixmap;
}

QPixmap envelopeOpen(qreal dpr)
{
    QPixmap pixmap = canvas(32, 32, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    paintEnvelope(p, QRectF(3.5, 12.5, 25, 16), true);
    return pixmap;
}

QPixmap aboutPicture(qreal dpr)
{
    const int width = 203;
    const int height = 85;
    QPixmap pixmap = canvas(width, height, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient back(0, 0, 0, height);
    back.setColorAt(0, QColor(0x00, 0x80, 0x80));
    back.setColorAt(1, QColor(0x00, 0x50, 0x50));
    p.fillRect(QRect(0, 0, width, height), back);
    p.drawPixmap(QRectF(8, 10, 44, 44), iconPixmap(44, dpr), QRectF());
    p.setPen(QColor(0xFF, 0xFF, 0xC0));
    p.setFont(arial(24, true));
    drawWhole(p, QRectF(60, 6, 140, 30), Qt::AlignLeft | Qt::AlignVCenter,
              QStringLiteral("Morvex"));
    p.setFont(arial(11, true));
    p.setPen(QColor(0xE0, 0xE0, 0xE0));
    drawWhole(p, QRectF(60, 34, 140, 14), Qt::AlignLeft | Qt::AlignVCenter,
              QStringLiteral("Mail Notifier  ver ") + versionText());
    p.setFont(arial(10, false));
    drawWhole(p, QRectF(60, 49, 140, 13), Qt::AlignLeft | Qt::AlignVCenter,
              QStringLiteral("by Halvern"));
    p.setPen(QColor(0xC0, 0xFF, 0xC0));
    drawWhole(p, QRectF(8, 66, 187, 14), Qt::AlignHCenter | Qt::AlignVCenter, webAddress());
    return pixmap;
}

QString webAddress()
{
    return QStringLiteral("morvex.example.org");
}
