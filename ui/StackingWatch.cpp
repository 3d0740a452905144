#include "StackingWatch.h"

#include "X11.h"

#include <QCoreApplication>
#include <QRect>
#include <QWidget>

#include <vector>

namespace {

// How many watches want the root's reports, and whether the program added them to what Qt
// already asked for (then they are taken away again with the last watch).
int watches = 0;
bool addedToRoot = false;

quint32 rootEventMask(xcb_connection_t *connection, xcb_window_t root)
{
    const X11::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, root), nullptr));
    return attributes ? attributes->your_event_mask : 0;
}

void setRootEventMask(xcb_connection_t *connection, xcb_window_t root, quint32 mask)
{
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
}

// The child of the root that holds `window`: the window itself, or a window manager's frame.
xcb_window_t topLevel(xcb_connection_t *connection, xcb_window_t root, xcb_window_t window)
{
    for (int depth = 0; depth < 16; ++depth) {
        const X11::Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
        if (!tree)
            return XCB_WINDOW_NONE;
        if (tree->parent == root)
            return window;
        window = tree->parent;
    }
    return XCB_WINDOW_NONE;
}

QRect outline(const xcb_get_geometry_reply_t &geometry)
{
    const int border = geometry.border_width;
    return QRect(geometry.x, geometry.y, geometry.width + 2 * border, geometry.height + 2 * border);
}

} // namespace

StackingWatch::StackingWatch(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    xcb_connection_t *connection = X11::connection();
    if (!connection)
        return;
    m_watching = true;
    if (watches++ == 0) {
        const xcb_window_t root = X11::root(connection);
        const quint32 mask = rootEventMask(connection, root);
        addedToRoot = !(mask & XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
        if (addedToRoot)
            setRootEventMask(connection, root, mask | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
}

StackingWatch::~StackingWatch()
{
    if (!m_watching)
        return;
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeNativeEventFilter(this);
    xcb_connection_t *connection = X11::connection();
    if (--watches == 0 && addedToRoot && connection) {
        const xcb_window_t root = X11::root(connection);
        setRootEventMask(connection, root,
                         rootEventMask(connection, root) & ~XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
        addedToRoot = false;
    }
}

bool StackingWatch::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    xcb_window_t parent = XCB_WINDOW_NONE;
    switch (event->response_type & ~0x80) {
    case XCB_CONFIGURE_NOTIFY:
        parent = reinterpret_cast<const xcb_configure_notify_event_t *>(event)->event;
        break;
    case XCB_MAP_NOTIFY:
        parent = reinterpret_cast<const xcb_map_notify_event_t *>(event)->event;
        break;
    case XCB_CIRCULATE_NOTIFY:
        parent = reinterpret_cast<const xcb_circulate_notify_event_t *>(event)->event;
        break;
    default:
        return false;
    }
    xcb_connection_t *connection = X11::connection();
    if (!m_pending && connection && parent == X11::root(connection)) {
        // Handled once the events read with this one are through.
        m_pending = true;
        QMetaObject::invokeMethod(this, &StackingWatch::report, Qt::QueuedConnection);
    }
    return false; // Qt sees them too
}

void StackingWatch::report()
{
    m_pending = false;
    Q_EMIT stackingChanged();
}

bool StackingWatch::covered() const
{
    xcb_connection_t *connection = X11::connection();
    if (!connection || !m_window || !m_window->isVisible())
        return false;
    const xcb_window_t root = X11::root(connection);
    const xcb_window_t ours = topLevel(connection, root, xcb_window_t(m_window->winId()));
    if (ours == XCB_WINDOW_NONE)
        return false;
    const X11::Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr));
    const X11::Reply<xcb_get_geometry_reply_t> ourGeometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, ours), nullptr));
    if (!tree || !ourGeometry)
        return false;
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    int index = 0; // the root's children come bottom first
    while (index < count && children[index] != ours)
        ++index;
    // Ask about every window above ours at once, then read the answers.
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
    std::vector<xcb_get_geometry_cookie_t> geometryCookies;
    for (int i = index + 1; i < count; ++i) {
        attributeCookies.push_back(xcb_get_window_attributes(connection, children[i]));
        geometryCookies.push_back(xcb_get_geometry(connection, children[i]));
    }
    const QRect area = outline(*ourGeometry);
    bool over = false;
    for (size_t i = 0; i < attributeCookies.size(); ++i) {
        const X11::Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(connection, attributeCookies[i], nullptr));
        const X11::Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(connection, geometryCookies[i], nullptr));
        if (over || !attributes || !geometry)
            continue; // every reply is read, also once the answer is known
        over = attributes->map_state == XCB_MAP_STATE_VIEWABLE && !attributes->override_redirect &&
               attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT &&
               outline(*geometry).intersects(area);
    }
    return over;
}
