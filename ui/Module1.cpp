#include "Module1.h"

#include "X11.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

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

bool windowManagerSupports(xcb_connection_t *connection, xcb_window_t root, xcb_atom_t wanted)
{
    const xcb_atom_t supported = X11::atom(connection, "_NET_SUPPORTED");
    const X11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, false, root, supported, XCB_ATOM_ATOM, 0, 4096),
        nullptr));
    if (!reply || reply->type != XCB_ATOM_ATOM || reply->format != 32)
        return false;
    const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / int(sizeof(xcb_atom_t));
    return std::find(atoms, atoms + count, wanted) != atoms + count;
}

// Asks an X11 window manager to move the window with the pointer from where the button went
// down, while that button is still held. Qt's own request names the pointer's last known position
// instead: on a busy machine the pointer is past the press by the time the press is handled, and
// the window would trail it by that distance for the whole move. False where this cannot be
// asked, so that Qt's request or the program's own drag takes over.
bool askWindowManagerToMove(QWindow *handle, const QPoint &pressedAt)
{
    xcb_connection_t *connection = X11::connection();
    // Scaled screens name positions differently to the X server; Qt's request knows how.
    if (!connection || !handle || handle->devicePixelRatio() != 1.0)
        return false;
    const xcb_window_t root = X11::root(connection);
    static const xcb_atom_t moveResize = X11::atom(connection, "_NET_WM_MOVERESIZE");
    if (moveResize == XCB_ATOM_NONE || !windowManagerSupports(connection, root, moveResize))
        return false;

    // The buttons as they are now, not as the events seen so far have them: a press handled
    // after its release is a click, and a move started then would follow the pointer until
    // the next click.
    const X11::Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr));
    const quint16 held = pointer ? pointer->mask : 0;
    const quint32 button = held & XCB_BUTTON_MASK_1   ? 1
                           : held & XCB_BUTTON_MASK_2 ? 2
                           : held & XCB_BUTTON_MASK_3 ? 3
                                                      : 0;
    if (button == 0)
        return true; // a click, with nothing to move
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = xcb_window_t(handle->winId());
    message.type = moveResize;
    message.data.data32[0] = quint32(pressedAt.x());
    message.data.data32[1] = quint32(pressedAt.y());
    message.data.data32[2] = 8;      // _NET_WM_MOVERESIZE_MOVE
    message.data.data32[3] = button; // the window manager ends the move when it comes up
    message.data.data32[4] = 1;      // a normal application
    // The window manager grabs the pointer for the move; the press gave it to us.
    xcb_ungrab_pointer(connection, XCB_CURRENT_TIME);
    xcb_send_event(connection, false, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&message));
    xcb_flush(connection);
    return true;
}

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
    if (window->isVisible())
        window->raise();
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
    if (askWindowManagerToMove(handle, pressedAt) || (handle && handle->startSystemMove()))
        return;
    new PointerDrag(window->window(), pressedAt);
}
