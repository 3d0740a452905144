#include "StatusNotifierHost.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QTimer>

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString ItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
constexpr int AnswerMs = 5000;

// "service/path" into its two halves.
QPair<QString, QString> split(const QString &item)
{
    const qsizetype slash = item.indexOf(u'/');
    return {item.left(slash), item.mid(slash)};
}

// Calls a method of an item and waits (bounded) for its answer. The wait runs an event
// loop, as a panel's does: the item may ask this watcher something before it answers.
QDBusMessage callItem(const QString &item, const QString &interface, const QString &method,
                      const QVariantList &args)
{
    const auto [service, path] = split(item);
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args);
    QDBusPendingCallWatcher pending(QDBusConnection::sessionBus().asyncCall(call, AnswerMs));
    QEventLoop loop;
    QObject::connect(&pending, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(AnswerMs + 500, &loop, &QEventLoop::quit);
    if (!pending.isFinished())
        loop.exec();
    return pending.isFinished() ? pending.reply() : QDBusMessage();
}

} // namespace

StatusNotifierHost::StatusNotifierHost() = default;

StatusNotifierHost::~StatusNotifierHost()
{
    stop();
}

void StatusNotifierHost::stop()
{
    if (!m_started)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(WatcherService);
    bus.unregisterObject(WatcherPath);
    delete m_owners;
    m_owners = nullptr;
    m_items.clear();
    m_hostRegistered = false;
    m_started = false;
}

void StatusNotifierHost::registerHost(int delayMs)
{
    QTimer::singleShot(delayMs, this, [this] {
        if (!m_started || m_hostRegistered)
            return;
        m_hostRegistered = true;
        Q_EMIT StatusNotifierHostRegistered();
    });
}

void StatusNotifierHost::unregisterHost()
{
    if (!m_hostRegistered)
        return;
    m_hostRegistered = false;
    Q_EMIT StatusNotifierHostUnregistered();
}

bool StatusNotifierHost::start(bool withHost)
{
    if (m_started)
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    // Already true or false when a program asks, the moment the name appears.
    m_hostRegistered = withHost;
    if (!bus.registerObject(WatcherPath, this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties))
        return false;
    if (!bus.registerService(WatcherService)) {
        bus.unregisterObject(WatcherPath);
        return false;
    }
    m_owners = new QDBusServiceWatcher(this);
    m_owners->setConnection(bus);
    m_owners->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(m_owners, &QDBusServiceWatcher::serviceUnregistered, this,
            &StatusNotifierHost::serviceGone);
    m_started = true;
    return true;
}

void StatusNotifierHost::RegisterStatusNotifierItem(const QString &serviceOrPath)
{
    // Items register either their own bus name (the path is then the usual one) or a path
    // on the connection that calls.
    const bool isPath = serviceOrPath.startsWith(u'/');
    const QString service = isPath ? message().service() : serviceOrPath;
    const QString item = service + (isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem"));
    if (m_items.contains(item))
        return;
    m_items << item;
    m_owners->addWatchedService(service);
    Q_EMIT StatusNotifierItemRegistered(item);
}

void StatusNotifierHost::RegisterStatusNotifierHost(const QString &)
{
    m_hostRegistered = true;
    Q_EMIT StatusNotifierHostRegistered();
}

void StatusNotifierHost::serviceGone(const QString &service)
{
    for (const QString &item : QStringList(m_items)) {
        if (split(item).first == service) {
            m_items.removeAll(item);
            Q_EMIT StatusNotifierItemUnregistered(item);
        }
    }
    m_owners->removeWatchedService(service);
}

QString StatusNotifierHost::toolTip(const QString &item) const
{
    const QDBusMessage reply =
        callItem(item, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                 {ItemInterface, QStringLiteral("ToolTip")});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    // (s icon name, a(iiay) icon pixmaps, s title, s text)
    const QDBusArgument tip =
        reply.arguments().constFirst().value<QDBusVariant>().variant().value<QDBusArgument>();
    QString iconName;
    QString title;
    QString text;
    tip.beginStructure();
    tip >> iconName;
    tip.beginArray();
    while (!tip.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray pixels;
        tip.beginStructure();
        tip >> width >> height >> pixels;
        tip.endStructure();
    }
    tip.endArray();
    tip >> title >> text;
    tip.endStructure();
    return text.isEmpty() ? title : title + u'\n' + text;
}

bool StatusNotifierHost::activate(const QString &item, QPoint at)
{
    return callItem(item, ItemInterface, QStringLiteral("Activate"), {at.x(), at.y()}).type() ==
           QDBusMessage::ReplyMessage;
}

bool StatusNotifierHost::contextMenu(const QString &item, QPoint at)
{
    return callItem(item, ItemInterface, QStringLiteral("ContextMenu"), {at.x(), at.y()}).type() ==
           QDBusMessage::ReplyMessage;
}
