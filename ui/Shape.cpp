#include "Shape.h"

#include <QPainter>

Shape::Shape(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Shape::setColours(const QColor &fill, const QColor &border)
{
    m_fill = fill;
    m_border = border;
    update();
}

void Shape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_border, 1));
    painter.setBrush(m_fill);
    // The corner radius of a rounded rectangle shape: a tenth of the shorter side.
    const qreal radius = std::min(width(), height()) / 10.0 + 2;
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}
