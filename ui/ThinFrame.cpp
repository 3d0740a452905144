#include "ThinFrame.h"

#include <QEvent>
#include <QPainter>

ThinFrame::ThinFrame(QWidget *window)
    : QWidget(window)
{
    setObjectName(QStringLiteral("ThinFrame"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(window->rect());
    window->installEventFilter(this);
    raise();
}

ThinFrame *ThinFrame::attach(QWidget *window)
{
    return new ThinFrame(window);
}

QColor ThinFrame::colour(const QWidget *window)
{
    return window->palette().color(QPalette::Active, QPalette::Shadow);
}

bool ThinFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parent()) {
        if (event->type() == QEvent::Resize)
            setGeometry(parentWidget()->rect());
        else if (event->type() == QEvent::ChildAdded)
            raise(); // a control added later must not cover the frame
    }
    return QWidget::eventFilter(watched, event);
}

void ThinFrame::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(colour(parentWidget()));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
