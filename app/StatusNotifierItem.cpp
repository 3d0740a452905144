#include "StatusNotifierItem.h"

#include "TrayMenu.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QGuiApplication>
#include <QImage>
#include <QStyleHints>
#include <QtEndian>

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
constexpr int AnswerMs = 5000;

} // namespace

const QString StatusNotifierItem::Path = QStringLiteral("/StatusNotifierItem");

QDBusArgument &operator<<(QDBusArgument &argument, const DBusImage &image)
{
    argument.beginStructure();
    argument << image.width << image.height << image.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DBusImage &image)
{
    argument.beginStructure();
    argument >> image.width >> image.height >> image.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const DBusToolTip &tip)
{
    argument.beginStructure();
    argument << tip.iconName << tip.image << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DBusToolTip &tip)
{
    argument.beginStructure();
    argument >> tip.iconName >> tip.image >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

StatusNotifierItem::StatusNotifierItem(const QIcon &icon, const QString &toolTip, QObject *parent)
    : QObject(parent)
    , m_icon(icon)
    , m_toolTip(toolTip)
    // The name hosts know items by; one item per process.
    , m_service(
          QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid()))
    , m_menu(new TrayMenu(this))
{
    qDBusRegisterMetaType<DBusImage>();
    qDBusRegisterMetaType<DBusImageList>();
    qDBusRegisterMetaType<DBusToolTip>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.registerObject(Path, this,
                       QDBusConnection::ExportScriptableSlots |
                           QDBusConnection::ExportScriptableSignals |
                           QDBusConnection::ExportAllProperties);
    bus.registerService(m_service);
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem()
{
    // The watcher forgets the item when its name goes.
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(m_service);
    bus.unregisterObject(Path);
}

void StatusNotifierItem::registerWithWatcher()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        WatcherService, WatcherPath, WatcherService, QStringLiteral("RegisterStatusNotifierItem"));
    call.setArguments({m_service});
    call.setAutoStartService(false);
    auto *pending =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, AnswerMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *done) {
                done->deleteLater();
                // The watcher has passed the item on to its hosts by now.
                if (!done->isError())
                    announce();
            });
}

void StatusNotifierItem::announce()
{
    Q_EMIT NewIcon();
    Q_EMIT NewTitle();
    Q_EMIT NewToolTip();
    Q_EMIT NewStatus(status());
}

void StatusNotifierItem::setIcon(const QIcon &icon)
{
    m_icon = icon;
    Q_EMIT NewIcon();
}

DBusImageList StatusNotifierItem::iconPixmap() const
{
    // Drawn when a host asks, which is rare: nothing is kept.
    DBusImageList images;
    for (const QSize &size : m_icon.availableSizes()) {
        const QImage image =
            m_icon.pixmap(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        QByteArray pixels(image.width() * image.height() * 4, Qt::Uninitialized);
        auto *out = reinterpret_cast<quint32 *>(pixels.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto *row = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(row[x]);
        }
        images << DBusImage{image.width(), image.height(), pixels};
    }
    return images;
}

QDBusObjectPath StatusNotifierItem::menuPath() const
{
    return QDBusObjectPath(TrayMenu::Path);
}

void StatusNotifierItem::Activate(int, int)
{
    // Hosts that activate at every click (Plasma, Xfce's and LXQt's panels) make two
    // activations of a double-click; the second is the same gesture, not another toggle.
    const bool sameGesture =
        m_lastActivation.isValid() &&
        m_lastActivation.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval();
    m_lastActivation.start();
    if (activated && !sameGesture)
        activated(QSystemTrayIcon::Trigger);
}

void StatusNotifierItem::SecondaryActivate(int, int) {}

void StatusNotifierItem::ContextMenu(int, int)
{
    if (activated)
        activated(QSystemTrayIcon::Context);
}

void StatusNotifierItem::Scroll(int, const QString &) {}
