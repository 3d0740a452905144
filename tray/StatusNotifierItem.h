#pragma once

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

class TrayMenu;

// A picture as StatusNotifierItem hosts take it: ARGB32 pixels in network byte order.
struct DBusImage {
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using DBusImageList = QList<DBusImage>;
// The tooltip: an icon name, an icon, a title and a longer text.
struct DBusToolTip {
    QString iconName;
    DBusImageList image;
    QString title;
    QString text;
};
Q_DECLARE_METATYPE(DBusImage)
Q_DECLARE_METATYPE(DBusToolTip)

QDBusArgument &operator<<(QDBusArgument &argument, const DBusImage &image);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusImage &image);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusToolTip &tip);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusToolTip &tip);

// The tray icon as a StatusNotifierItem on the session bus, with its menu beside it. It
// registers with the desktop's StatusNotifierWatcher under the connection's own unique name
// (as Qt's items do: GNOME's AppIndicator extension follows an item registered under another
// name with a watch of its own that races its first reading of the item, and loses the item
// when that race goes wrong), again whenever a watcher starts (a panel or shell that
// restarts), and announces its icon, title, tooltip and status then and whenever a host
// appears, so a host that loads an item's icon only on such a signal (GNOME's extension)
// draws it too. It answers every property a host reads after those signals, the accessible
// descriptions included, and sends only signals for properties it has. The icon goes as
// pixels in every size it has, so no host depends on an icon theme; while the picture
// carries news the item needs attention, with the same picture as its attention icon.
class StatusNotifierItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ noName)
    Q_PROPERTY(QString IconName READ noName)
    Q_PROPERTY(DBusImageList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString IconAccessibleDesc READ iconAccessibleDesc)
    Q_PROPERTY(QString OverlayIconName READ noName)
    Q_PROPERTY(DBusImageList OverlayIconPixmap READ noImage)
    Q_PROPERTY(QString AttentionIconName READ noName)
    Q_PROPERTY(DBusImageList AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(QString AttentionAccessibleDesc READ attentionAccessibleDesc)
    Q_PROPERTY(QString AttentionMovieName READ noName)
    Q_PROPERTY(DBusToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menuPath)
public:
    StatusNotifierItem(const QIcon &picture, const QString &toolTip, QObject *parent = nullptr);
    ~StatusNotifierItem() override;

    TrayMenu *menu() const { return m_menu; }
    // Registers with the watcher on the bus now (one that has just started knows no item).
    void registerWithWatcher();
    // Tells hosts to load the icon, title, tooltip and status again.
    void announce();
    // Another picture; `attention` while it carries news. Hosts are told.
    void setPicture(const QIcon &picture, bool attention);

    QString category() const { return QStringLiteral("Communications"); }
    QString id() const { return QStringLiteral("morvex"); }
    QString title() const { return QStringLiteral("Morvex"); }
    QString status() const;
    int windowId() const { return 0; }
    QString noName() const { return {}; }
    DBusImageList iconPixmap() const;
    DBusImageList attentionIconPixmap() const;
    QString iconAccessibleDesc() const { return m_toolTip; }
    QString attentionAccessibleDesc() const { return m_toolTip; }
    DBusImageList noImage() const { return {}; }
    DBusToolTip toolTip() const { return {{}, {}, m_toolTip, {}}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menuPath() const;

public Q_SLOTS:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString &orientation);

Q_SIGNALS:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewAttentionIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString &status);

public:
    // What the user did with the item: Trigger (a host's activation) or Context. Not a signal:
    // QtDBus would try to relay it to the bus.
    std::function<void(QSystemTrayIcon::ActivationReason)> activated;

private:
    QIcon m_picture;
    QString m_toolTip;
    bool m_attention = false;
    TrayMenu *m_menu;
    QElapsedTimer m_lastActivation;
};
