#include "TrayHost.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>

namespace {

// A bus that does not answer within this time is treated as "no such host".
constexpr int AnswerMs = 1000;

QVariant ask(QDBusConnection &bus, const QString &service, const QString &path,
             const QString &interface, const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args);
    const QDBusMessage reply = bus.call(call, QDBus::Block, AnswerMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    QVariant value = reply.arguments().constFirst();
    if (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

} // namespace

bool TrayHost::reportsOnlySingleClicks()
{
    // Qt puts the icon on a StatusNotifierItem host exactly when one is registered with the
    // session's StatusNotifierWatcher; ask the same question.
    if (QGuiApplication::platformName() == u"offscreen")
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    if (!ask(bus, QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
             QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"), {watcher})
             .toBool())
        return false;
    return ask(bus, watcher, QStringLiteral("/StatusNotifierWatcher"),
               QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
               {watcher, QStringLiteral("IsStatusNotifierHostRegistered")})
        .toBool();
}
