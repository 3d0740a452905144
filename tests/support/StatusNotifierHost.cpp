#include "StatusNotifierHost.h"

#include "tray/TrayMenu.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QTimer>
#include <QtEndian>

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString WatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString ItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString MenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int AnswerMs = 5000;
// The item's signals a host follows, and the properties GNOME's extension knows besides the
// ones its interface lists.
const char *const ItemSignals[] = {"NewIcon",  "NewAttentionIcon", "NewOverlayIcon",
                                   "NewTitle", "NewToolTip",       "NewStatus",
                                   "NewMenu",  "NewIconThemePath"};
const char *const AlwaysRead[] = {"IconAccessibleDesc", "AttentionAccessibleDesc"};

// "service/path" into its two halves.
QPair<QString, QString> split(const QString &item)
{
    const qsizetype slash = item.indexOf(u'/');
    return {item.left(slash), item.mid(slash)};
}

// Calls a method and waits (bounded) for its answer. The wait runs an event loop, as a
// panel's does: the item may ask this watcher something before it answers.
QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                  const QString &method, const QVariantList &args)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    QDBusPendingCallWatcher pending(QDBusConnection::sessionBus().asyncCall(message, AnswerMs));
    QEventLoop loop;
    QObject::connect(&pending, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(AnswerMs + 500, &loop, &QEventLoop::quit);
    if (!pending.isFinished())
        loop.exec();
    return pending.isFinished() ? pending.reply() : QDBusMessage();
}

QDBusMessage callItem(const QString &item, const QString &interface, const QString &method,
                      const QVariantList &args)
{
    const auto [service, path] = split(item);
    return call(service, path, interface, method, args);
}

bool answered(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ReplyMessage;
}

// a(iiay): ARGB32 pixels in network byte order.
QList<QImage> images(const QDBusArgument &argument)
{
    QList<QImage> images;
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray pixels;
        argument.beginStructure();
        argument >> width >> height >> pixels;
        argument.endStructure();
        if (width <= 0 || height <= 0 || pixels.size() != qsizetype(width) * height * 4) {
            images << QImage(); // a picture no host could draw
            continue;
        }
        QImage image(width, height, QImage::Format_ARGB32);
        const auto *in = reinterpret_cast<const quint32 *>(pixels.constData());
        for (int y = 0; y < height; ++y) {
            auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
            for (int x = 0; x < width; ++x)
                row[x] = qFromBigEndian(*in++);
        }
        images << image;
    }
    argument.endArray();
    return images;
}

} // namespace

StatusNotifierHost::StatusNotifierHost() = default;

StatusNotifierHost::~StatusNotifierHost()
{
    stop();
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
    if (!bus.registerVirtualObject(WatcherPath, this))
        return false;
    if (!bus.registerService(WatcherService)) {
        bus.unregisterObject(WatcherPath);
        return false;
    }
    m_watch = new QDBusServiceWatcher(this);
    m_watch->setConnection(bus);
    m_watch->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(m_watch, &QDBusServiceWatcher::serviceUnregistered, this,
            &StatusNotifierHost::serviceGone);
    m_started = true;
    return true;
}

void StatusNotifierHost::stop()
{
    if (!m_started)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(WatcherService);
    bus.unregisterObject(WatcherPath);
    for (const QString &item : std::as_const(m_items))
        followItem(item, false);
    delete m_watch;
    m_watch = nullptr;
    m_items.clear();
    m_owners.clear();
    m_newIcons.clear();
    m_served.clear();
    m_hostRegistered = false;
    m_started = false;
}

void StatusNotifierHost::registerHost(int delayMs)
{
    QTimer::singleShot(delayMs, this, [this] {
        if (!m_started || m_hostRegistered)
            return;
        m_hostRegistered = true;
        emitSignal(QStringLiteral("StatusNotifierHostRegistered"));
    });
}

void StatusNotifierHost::unregisterHost()
{
    if (!m_hostRegistered)
        return;
    m_hostRegistered = false;
    emitSignal(QStringLiteral("StatusNotifierHostUnregistered"));
}

void StatusNotifierHost::emitSignal(const QString &name, const QVariantList &arguments)
{
    QDBusMessage signal = QDBusMessage::createSignal(WatcherPath, WatcherInterface, name);
    signal.setArguments(arguments);
    QDBusConnection::sessionBus().send(signal);
}

QString StatusNotifierHost::introspect(const QString &) const
{
    return QStringLiteral(
        "<interface name=\"org.kde.StatusNotifierWatcher\">"
        "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" "
        "direction=\"in\"/></method>"
        "<method name=\"RegisterStatusNotifierHost\"><arg name=\"service\" type=\"s\" "
        "direction=\"in\"/></method>"
        "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
        "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
        "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
        "<signal name=\"StatusNotifierItemRegistered\"><arg type=\"s\"/></signal>"
        "<signal name=\"StatusNotifierItemUnregistered\"><arg type=\"s\"/></signal>"
        "<signal name=\"StatusNotifierHostRegistered\"/>"
        "<signal name=\"StatusNotifierHostUnregistered\"/>"
        "</interface>");
}

QVariant StatusNotifierHost::watcherProperty(const QString &name) const
{
    if (name == u"RegisteredStatusNotifierItems")
        return m_items;
    if (name == u"IsStatusNotifierHostRegistered")
        return m_hostRegistered;
    if (name == u"ProtocolVersion")
        return 0;
    return {};
}

void StatusNotifierHost::answer(const QDBusConnection &connection, const QDBusMessage &reply)
{
    if (m_answerDelayMs <= 0) {
        connection.send(reply);
        return;
    }
    QTimer::singleShot(m_answerDelayMs, this,
                       [connection, reply] { QDBusConnection(connection).send(reply); });
}

bool StatusNotifierHost::handleMessage(const QDBusMessage &message,
                                       const QDBusConnection &connection)
{
    const QString member = message.member();
    const QVariantList args = message.arguments();
    if (message.interface() == Properties && member == u"Get" && args.size() == 2) {
        const QVariant value = watcherProperty(args.at(1).toString());
        answer(connection, value.isValid()
                               ? message.createReply(QVariant::fromValue(QDBusVariant(value)))
                               : message.createErrorReply(QDBusError::InvalidArgs,
                                                          QStringLiteral("No such property")));
        return true;
    }
    if (message.interface() == Properties && member == u"GetAll") {
        QVariantMap all;
        for (const char *name :
             {"RegisteredStatusNotifierItems", "IsStatusNotifierHostRegistered", "ProtocolVersion"})
            all.insert(QString::fromLatin1(name), watcherProperty(QString::fromLatin1(name)));
        answer(connection, message.createReply(all));
        return true;
    }
    if (member == u"RegisterStatusNotifierHost") {
        answer(connection, message.createReply());
        if (!m_hostRegistered) {
            m_hostRegistered = true;
            emitSignal(QStringLiteral("StatusNotifierHostRegistered"));
        }
        return true;
    }
    if (member != u"RegisterStatusNotifierItem" || args.size() != 1)
        return false;
    // Items register either their own bus name (the path is then the usual one) or a path
    // on the connection that calls.
    const QString serviceOrPath = args.constFirst().toString();
    const bool isPath = serviceOrPath.startsWith(u'/');
    const QString service = isPath ? message.service() : serviceOrPath;
    const QString item = service + (isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem"));
    if (!m_items.contains(item)) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        m_items << item;
        m_owners.insert(item, bus.interface()->serviceOwner(service).value());
        m_newIcons.insert(item, 0);
        followItem(item, true);
        read(item, QStringLiteral("GetAll"), {ItemInterface});
        m_watch->addWatchedService(service);
        emitSignal(QStringLiteral("StatusNotifierItemRegistered"), {item});
    }
    answer(connection, message.createReply());
    return true;
}

void StatusNotifierHost::followItem(const QString &item, bool follow)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto [service, path] = split(item);
    for (const char *name : ItemSignals) {
        if (follow)
            bus.connect(service, path, ItemInterface, QString::fromLatin1(name), this,
                        SLOT(itemSignal(QDBusMessage)));
        else
            bus.disconnect(service, path, ItemInterface, QString::fromLatin1(name), this,
                           SLOT(itemSignal(QDBusMessage)));
    }
}

void StatusNotifierHost::read(const QString &item, const QString &method, const QVariantList &args)
{
    const auto [service, path] = split(item);
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, Properties, method);
    message.setArguments(args);
    ++m_readsPending;
    auto *pending = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(message, AnswerMs), this);
    const QString what = args.size() > 1 ? args.at(1).toString() : method;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, item, what, method](QDBusPendingCallWatcher *done) {
                done->deleteLater();
                --m_readsPending;
                const QDBusMessage reply = done->reply();
                if (reply.type() != QDBusMessage::ReplyMessage) {
                    m_faults << item + QStringLiteral(": ") + what + QStringLiteral(": ") +
                                    reply.errorMessage();
                    return;
                }
                if (method == u"GetAll")
                    m_served.insert(item,
                                    qdbus_cast<QVariantMap>(reply.arguments().value(0)).keys());
            });
}

void StatusNotifierHost::itemSignal(const QDBusMessage &signal)
{
    for (const QString &item : std::as_const(m_items)) {
        if (m_owners.value(item) != signal.service() || split(item).second != signal.path())
            continue;
        const QString name = signal.member();
        if (name == u"NewIcon")
            ++m_newIcons[item];
        // A signal that carries its value is read from the signal itself.
        if (!signal.arguments().isEmpty())
            continue;
        // Signals name their property: NewIcon is IconName, IconPixmap and IconAccessibleDesc.
        const QString property = name.mid(3);
        QStringList reads;
        for (const QString &suffix :
             {QString(), QStringLiteral("Name"), QStringLiteral("Pixmap")}) {
            if (m_served.value(item).contains(property + suffix))
                reads << property + suffix;
        }
        for (const char *always : AlwaysRead) {
            if (QString::fromLatin1(always) == property + QStringLiteral("AccessibleDesc"))
                reads << property + QStringLiteral("AccessibleDesc");
        }
        for (const QString &read : std::as_const(reads))
            this->read(item, QStringLiteral("Get"), {ItemInterface, read});
    }
}

void StatusNotifierHost::serviceGone(const QString &service)
{
    for (const QString &item : QStringList(m_items)) {
        if (split(item).first == service) {
            m_items.removeAll(item);
            m_owners.remove(item);
            m_newIcons.remove(item);
            m_served.remove(item);
            emitSignal(QStringLiteral("StatusNotifierItemUnregistered"), {item});
        }
    }
    m_watch->removeWatchedService(service);
}

QVariant StatusNotifierHost::property(const QString &item, const QString &name) const
{
    const QDBusMessage reply =
        callItem(item, Properties, QStringLiteral("Get"), {ItemInterface, name});
    if (!answered(reply) || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

QString StatusNotifierHost::toolTip(const QString &item) const
{
    // (s icon name, a(iiay) icon pixmaps, s title, s text)
    const QDBusArgument tip = property(item, QStringLiteral("ToolTip")).value<QDBusArgument>();
    if (tip.currentSignature() != u"(sa(iiay)ss)")
        return {};
    QString iconName;
    QString title;
    QString text;
    tip.beginStructure();
    tip >> iconName;
    images(tip);
    tip >> title >> text;
    tip.endStructure();
    return text.isEmpty() ? title : title + u'\n' + text;
}

QList<QImage> StatusNotifierHost::icon(const QString &item) const
{
    return pictures(item, QStringLiteral("IconPixmap"));
}

QList<QImage> StatusNotifierHost::pictures(const QString &item, const QString &name) const
{
    const QDBusArgument pixmaps = property(item, name).value<QDBusArgument>();
    if (pixmaps.currentSignature() != u"a(iiay)")
        return {};
    return images(pixmaps);
}

bool StatusNotifierHost::activate(const QString &item, QPoint at)
{
    return answered(callItem(item, ItemInterface, QStringLiteral("Activate"), {at.x(), at.y()}));
}

bool StatusNotifierHost::contextMenu(const QString &item, QPoint at)
{
    return answered(callItem(item, ItemInterface, QStringLiteral("ContextMenu"), {at.x(), at.y()}));
}

QList<StatusNotifierHost::MenuEntry> StatusNotifierHost::readMenu(const QString &item)
{
    const QString service = split(item).first;
    const QString path = property(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    if (path.isEmpty() || path == u"/NO_DBUSMENU")
        return {};
    if (!answered(call(service, path, MenuInterface, QStringLiteral("AboutToShow"), {0})))
        return {};
    const QDBusMessage reply =
        call(service, path, MenuInterface, QStringLiteral("GetLayout"), {0, -1, QStringList()});
    if (!answered(reply) || reply.arguments().size() != 2)
        return {};
    // (ia{sv}av): the menu, its properties and its entries, each a variant of the same form.
    const QDBusArgument layout = reply.arguments().at(1).value<QDBusArgument>();
    if (layout.currentSignature() != u"(ia{sv}av)")
        return {};
    QList<MenuEntry> entries;
    int id = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        const QDBusArgument entry = child.variant().value<QDBusArgument>();
        entry.beginStructure();
        entry >> id >> properties;
        entry.endStructure();
        const bool separator = properties.value(QStringLiteral("type")).toString() == u"separator";
        if (properties.value(QStringLiteral("visible"), true).toBool())
            entries << MenuEntry{id, separator
                                         ? QStringLiteral("-")
                                         : properties.value(QStringLiteral("label")).toString()};
    }
    layout.endArray();
    layout.endStructure();
    return entries;
}

QStringList StatusNotifierHost::menu(const QString &item)
{
    QStringList labels;
    for (const MenuEntry &entry : readMenu(item))
        labels << entry.label;
    return labels;
}

bool StatusNotifierHost::clickMenu(const QString &item, const QString &label, bool grouped)
{
    const QString service = split(item).first;
    const QString path = property(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    for (const MenuEntry &entry : readMenu(item)) {
        if (entry.label != label)
            continue;
        const DBusMenuEvent click{entry.id, QStringLiteral("clicked"), QDBusVariant(0), 0};
        if (!grouped)
            return answered(
                call(service, path, MenuInterface, QStringLiteral("Event"),
                     {click.id, click.eventId, QVariant::fromValue(click.data), click.timestamp}));
        qDBusRegisterMetaType<DBusMenuEvent>();
        qDBusRegisterMetaType<QList<DBusMenuEvent>>();
        const QDBusMessage reply = call(service, path, MenuInterface, QStringLiteral("EventGroup"),
                                        {QVariant::fromValue(QList<DBusMenuEvent>{click})});
        // The ids the item did not know.
        return answered(reply) && qdbus_cast<QList<int>>(reply.arguments().value(0)).isEmpty();
    }
    return false;
}
