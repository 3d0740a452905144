#include "Module1.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>

namespace {

// Moves a window with the pointer while a button is held, for window systems that have no
// move of their own (no window manager, or one without _NET_WM_MOVERESIZE).
class PointerDrag : public QObject {
public:
    PointerDrag(QWidget *window, QPoint pointer)
        : m_window(window)
        , m_offset(pointer - window->pos())
    {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::MouseMove && event->type() != QEvent::MouseButtonRelease)
            return false;
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (!m_window || event->type() == QEvent::MouseButtonRelease ||
            mouse->buttons() == Qt::NoButton) {
            deleteLater();
            qApp->removeEventFilter(this);
            return false;
        }
        m_window->move(mouse->globalPosition().toPoint() - m_offset);
        return true;
    }

private:
    QPointer<QWidget> m_window;
    QPoint m_offset;
};

} // namespace

void Module1::keepOnTop(QWidget *window)
{
    if (!window)
        return;
    const Qt::WindowFlags flags = window->windowFlags() | Qt::WindowStaysOnTopHint;
    if (flags != window->windowFlags()) {
        if (QWindow *handle = window->windowHandle()) {
            // Changing the flags through the widget would hide and re-create the window.
            window->overrideWindowFlags(flags);
            handle->setFlags(flags);
        } else {
            window->setWindowFlags(flags); // never shown yet: stays hidden
        }
    }
    if (!window->isVisible())
        return;
    window->raise();
    // A modal window of the program keeps the activation it must have.
    const QWidget *modal = QApplication::activeModalWidget();
    if (QApplication::activeWindow() && (!modal || modal == window))
        window->activateWindow();
}

void Module1::dragForm(QWidget *window)
{
    dragForm(window, QCursor::pos());
}

void Module1::dragForm(QWidget *window, const QPoint &pressedAt)
{
    if (!window)
        return;
    QWindow *handle = window->window()->windowHandle();
    if (handle && handle->startSystemMove())
        return;
    new PointerDrag(window->window(), pressedAt);
}
