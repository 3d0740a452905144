#include "CommandLabel.h"

#include "Accessible.h"

#include <QMouseEvent>

CommandLabel::CommandLabel(const QString &text, QWidget *parent)
    : QLabel(text, parent)
{
    Accessible::install();
}

void CommandLabel::press()
{
    QMetaObject::invokeMethod(this, &CommandLabel::clicked, Qt::QueuedConnection);
}

void CommandLabel::mouseReleaseEvent(QMouseEvent *event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}
