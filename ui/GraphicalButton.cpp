#include "GraphicalButton.h"

#include "Captions.h"

#include <QPainter>

GraphicalButton::GraphicalButton(const QString &caption, QWidget *parent)
    : QPushButton(caption, parent)
{
}

void GraphicalButton::setPictures(const QPixmap &normal, const QPixmap &downOrDisabled)
{
    m_normal = normal;
    m_downOrDisabled = downOrDisabled;
    update();
}

const QPixmap &GraphicalButton::shownPicture() const
{
    return (isDown() || !isEnabled()) ? m_downOrDisabled : m_normal;
}

void GraphicalButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect all = rect();
    painter.fillRect(all, palette().color(QPalette::Button));

    // Bevel: light top-left and dark bottom-right, swapped while held down; the default
    // button and the focused one get a black outline.
    const bool down = isDown();
    const QColor light = down ? QColor(64, 64, 64) : Qt::white;
    const QColor dark = down ? Qt::white : QColor(64, 64, 64);
    QRect bevel = all;
    if (isDefault() || hasFocus()) {
        painter.setPen(Qt::black);
        painter.drawRect(all.adjusted(0, 0, -1, -1));
        bevel.adjust(1, 1, -1, -1);
    }
    painter.setPen(light);
    painter.drawLine(bevel.topLeft(), bevel.topRight());
    painter.drawLine(bevel.topLeft(), bevel.bottomLeft());
    painter.setPen(dark);
    painter.drawLine(bevel.bottomLeft(), bevel.bottomRight());
    painter.drawLine(bevel.topRight(), bevel.bottomRight());

    QRect face = bevel.adjusted(2, 2, -2, -2);
    if (down)
        face.translate(1, 1);
    // The picture sits at the left of the face, behind the caption, which keeps the whole
    // width: the caption's large type needs nearly all of it.
    const QPixmap &picture = shownPicture();
    if (!picture.isNull()) {
        const int side = qMin(32, face.height());
        painter.save();
        painter.setOpacity(0.55);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(QRect(face.left(), face.center().y() - side / 2 + 1, side, side),
                           picture);
        painter.restore();
    }
    painter.setFont(Captions::fitted(font(), text(), face.size()));
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(face, Qt::AlignCenter | Qt::TextSingleLine, text());
    if (hasFocus()) {
        QPen dotted(Qt::black, 1, Qt::DotLine);
        painter.setPen(dotted);
        painter.drawRect(face.adjusted(0, 0, -1, -1));
    }
}
