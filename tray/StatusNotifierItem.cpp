#include "StatusNotifierItem.h"

#include "TrayBus.h"
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

using namespace TrayBus;

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

StatusNotifierItem::StatusNotifierItem(const QIcon &picture, const QString &toolTip,
                                       QObject *parent)
    : QObject(parent)
    , m_picture(picture)
    , m_toolTip(toolTip)
    , m_menu(new TrayMenu(this))
{
    qDBusRegisterMetaType<DBusImage>();
    qDBusRegisterMetaType<DBusImageList>();
    qDBusRegisterMetaType<DBusToolTip>();
    QDBusConnection::sessionBus().registerObject(ItemPath, this,
                                                 QDBusConnection::ExportScriptableSlots |
                                                     QDBusConnection::ExportScriptableSignals |
                                                     QDBusConnection::ExportAllProperties);
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem()
{
    // The watcher forgets the item only when the program's connection closes: until then
    // hosts are told that it has nothing to show, which they hide, and find it gone.
    Q_EMIT NewStatus(QStringLiteral("Passive"));
    QDBusConnection::sessionBus().unregisterObject(ItemPath);
}

void StatusNotifierItem::registerWithWatcher()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage call =
        QDBusMessage::createMethodCall(WatcherService, WatcherPath, WatcherInterface,
                                       QStringLiteral("RegisterStatusNotifierItem"));
    call.setArguments({bus.baseService()});
    call.setAutoStartService(false);
    auto *pending = new QDBusPendingCallWatcher(bus.asyncCall(call, AnswerMs), this);
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
    Q_EMIT NewAttentionIcon();
    Q_EMIT NewTitle();
    Q_EMIT NewToolTip();
    Q_EMIT NewStatus(status());
}

void StatusNotifierItem::setPicture(const QIcon &picture, bool attention)
{
    const bool statusChanged = attention != m_attention;
    m_picture = picture;
    m_attention = attention;
    Q_EMIT NewIcon();
    Q_EMIT NewAttentionIcon();
    if (statusChanged)
        Q_EMIT NewStatus(status());
}

QString StatusNotifierItem::status() const
{
    // Never "Passive": hosts hide passive items.
    return m_attention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
}

DBusImageList StatusNotifierItem::iconPixmap() const
{
    // Drawn when a host asks, which is rare: nothing is kept.
    DBusImageList images;
    for (const QSize &size : m_picture.availableSizes()) {
        const QImage image =
            m_picture.pixmap(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
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

DBusImageList StatusNotifierItem::attentionIconPixmap() const
{
    return m_attention ? iconPixmap() : DBusImageList();
}

QDBusObjectPath StatusNotifierItem::menuPath() const
{
    return QDBusObjectPath(MenuPath);
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
