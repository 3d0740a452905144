#include "TrayWatcher.h"

#include "ui/X11.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <xcb/xfixes.h>

#include <cstdlib>

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString WatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
constexpr int AnswerMs = 5000;
constexpr int FirstAnswerMs = 1000;

} // namespace

TrayWatcher::TrayWatcher(QObject *parent)
    : QObject(parent)
{
    watchBus();
    watchDisplay();
}

TrayWatcher::~TrayWatcher()
{
    if (m_trayAtom)
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void TrayWatcher::watchBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // The watcher comes and goes with its panel (GNOME Shell holds it itself); the host
    // registers with it when the panel is ready, which at a login can be seconds later.
    m_owner = new QDBusServiceWatcher(WatcherService, bus, QDBusServiceWatcher::WatchForOwnerChange,
                                      this);
    connect(m_owner, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayWatcher::askWatcher);
    bus.connect(WatcherService, WatcherPath, WatcherInterface,
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(askWatcher()));
    bus.connect(WatcherService, WatcherPath, WatcherInterface,
                QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(askWatcher()));
    // The first answer at once, so a tray that is there already takes the icon while the
    // program starts, before its window shows. The bus answers for a watcher that is not
    // there; a running one is asked, briefly.
    if (!bus.interface()->isServiceRegistered(WatcherService))
        return;
    const QDBusMessage reply = bus.call(hostQuestion(), QDBus::Block, FirstAnswerMs);
    const bool answered =
        reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
    setStatusNotifierHost(
        answered,
        answered && reply.arguments().constFirst().value<QDBusVariant>().variant().toBool());
}

QDBusMessage TrayWatcher::hostQuestion()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        WatcherService, WatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get.setArguments({WatcherInterface, QStringLiteral("IsStatusNotifierHostRegistered")});
    // A watcher that is not running is not started for this question.
    get.setAutoStartService(false);
    return get;
}

void TrayWatcher::askWatcher()
{
    auto *call = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(hostQuestion(), AnswerMs), this);
    call->setProperty("question", ++m_question);
    connect(call, &QDBusPendingCallWatcher::finished, this, &TrayWatcher::watcherAnswered);
}

void TrayWatcher::watcherAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    if (call->property("question").toULongLong() != m_question)
        return;
    const QDBusPendingReply<QDBusVariant> reply = *call;
    // No watcher, or one that cannot say: no host to show an item.
    setStatusNotifierHost(!reply.isError(), !reply.isError() && reply.value().variant().toBool());
}

void TrayWatcher::setStatusNotifierHost(bool watcher, bool registered)
{
    if (watcher == m_statusNotifierWatcher && registered == m_statusNotifierHost)
        return;
    m_statusNotifierWatcher = watcher;
    m_statusNotifierHost = registered;
    Q_EMIT changed();
}

void TrayWatcher::watchDisplay()
{
    xcb_connection_t *connection = X11::connection();
    if (!connection)
        return;
    const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present)
        return;
    // XFixes must be told the version a client speaks before it answers; Qt has done so
    // already on this connection, and saying it again is harmless.
    std::free(xcb_xfixes_query_version_reply(
        connection, xcb_xfixes_query_version(connection, XCB_XFIXES_MAJOR_VERSION, 0), nullptr));
    // The tray of the first screen, which is where Qt docks its icon.
    const xcb_window_t root = X11::root(connection);
    const xcb_atom_t tray = X11::atom(connection, "_NET_SYSTEM_TRAY_S0");
    if (root == XCB_WINDOW_NONE || tray == XCB_ATOM_NONE)
        return;
    m_trayAtom = tray;
    m_xfixesEvent = xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
    QCoreApplication::instance()->installNativeEventFilter(this);
    // A new owner, and the owner's window or connection going away, each arrive as one
    // event: a tray that starts, restarts or crashes.
    xcb_xfixes_select_selection_input(connection, root, m_trayAtom,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    // Asked after the selection is watched, so no change falls between the two.
    const X11::Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, m_trayAtom), nullptr));
    setXembedTray(owner && owner->owner != XCB_NONE);
}

bool TrayWatcher::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != m_xfixesEvent)
        return false;
    const auto *notify = static_cast<const xcb_xfixes_selection_notify_event_t *>(message);
    if (notify->selection == m_trayAtom)
        setXembedTray(notify->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER &&
                      notify->owner != XCB_NONE);
    return false; // Qt sees it too
}

void TrayWatcher::setXembedTray(bool owned)
{
    if (owned == m_xembedTray)
        return;
    m_xembedTray = owned;
    Q_EMIT changed();
}
