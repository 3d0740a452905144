#pragma once

#include <QColor>
#include <QWidget>

// A decorative rounded rectangle: an opaque fill inside a one-pixel border.
class Shape : public QWidget {
    Q_OBJECT
public:
    explicit Shape(QWidget *parent = nullptr);

    void setColours(const QColor &fill, const QColor &border);
    QColor borderColour() const { return m_border; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_fill = Qt::gray;
    QColor m_border = Qt::black;
};
