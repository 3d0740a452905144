#include "DesktopTrays.h"

#include "TrayBus.h"

#include "ui/X11.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <xcb/xfixes.h>

#include <cstdlib>

using namespace TrayBus;

DesktopTrays::DesktopTrays(QObject *parent)
    : QObject(parent)
    , m_answerMs(AnswerMs)
{
    watchBus();
    watchDisplay();
}

DesktopTrays::~DesktopTrays()
{
    if (m_trayAtom)
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void DesktopTrays::watchBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        m_bus = Bus::NoWatcher; // no bus, nothing to wait for
        return;
    }
    // The watcher comes and goes with its panel (GNOME Shell holds it itself); the host
    // registers with it when the panel is ready, which at a login can be seconds later.
    m_owner = new QDBusServiceWatcher(WatcherService, bus, QDBusServiceWatcher::WatchForOwnerChange,
                                      this);
    connect(m_owner, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &DesktopTrays::watcherOwnerChanged);
    bus.connect(WatcherService, WatcherPath, WatcherInterface,
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(askWatcher()));
    bus.connect(WatcherService, WatcherPath, WatcherInterface,
                QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(hostUnregistered()));
    // The first answer comes while the program starts up; the bus answers at once for a
    // watcher that is not there.
    askWatcher();
}

QDBusMessage DesktopTrays::hostQuestion()
{
    QDBusMessage get = QDBusMessage::createMethodCall(WatcherService, WatcherPath, Properties,
                                                      QStringLiteral("Get"));
    get.setArguments({WatcherInterface, QStringLiteral("IsStatusNotifierHostRegistered")});
    // A watcher that is not running is not started for this question.
    get.setAutoStartService(false);
    return get;
}

void DesktopTrays::askWatcher()
{
    auto *call = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(hostQuestion(), m_answerMs), this);
    call->setProperty("question", ++m_question);
    connect(call, &QDBusPendingCallWatcher::finished, this, &DesktopTrays::watcherAnswered);
}

void DesktopTrays::watcherAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    if (call->property("question").toULongLong() != m_question)
        return;
    const QDBusPendingReply<QDBusVariant> reply = *call;
    if (!reply.isError()) {
        m_answerMs = AnswerMs;
        setBus(reply.value().variant().toBool() ? Bus::Host : Bus::Watcher);
        return;
    }
    switch (reply.error().type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        // A watcher that is slow to answer (a loaded machine at login): what it said before
        // stands, and it is asked again with more time, so a late answer still counts.
        m_answerMs = qMin(m_answerMs * 2, LongestAnswerMs);
        askWatcher();
        break;
    default:
        // No watcher, or one that cannot say: no host to show an item.
        setBus(Bus::NoWatcher);
        break;
    }
}

void DesktopTrays::hostUnregistered()
{
    // Gone from now, not from when the watcher answers: another host may still be there, and
    // the answer says so.
    if (m_bus == Bus::Host)
        setBus(Bus::Watcher);
    askWatcher();
}

void DesktopTrays::watcherOwnerChanged(const QString &, const QString &, const QString &newOwner)
{
    m_answerMs = AnswerMs;
    if (newOwner.isEmpty()) {
        ++m_question; // an answer still on its way is about the watcher that went
        setBus(Bus::NoWatcher);
        return;
    }
    // A new watcher: it knows nothing of the old one's host and items.
    setBus(Bus::Unknown);
    Q_EMIT watcherStarted();
    askWatcher();
}

void DesktopTrays::setBus(Bus bus)
{
    if (bus == m_bus)
        return;
    m_bus = bus;
    Q_EMIT changed();
}

void DesktopTrays::watchDisplay()
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

bool DesktopTrays::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
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

void DesktopTrays::setXembedTray(bool owned)
{
    if (owned == m_xembedTray)
        return;
    m_xembedTray = owned;
    Q_EMIT changed();
}
