#pragma once

#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <functional>

// One menu entry as com.canonical.dbusmenu sends it: its id, its properties and, for a
// layout, its children, each wrapped in a variant.
struct DBusMenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayout> children;
};
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;
struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;
Q_DECLARE_METATYPE(DBusMenuLayout)
Q_DECLARE_METATYPE(DBusMenuItem)
Q_DECLARE_METATYPE(DBusMenuEvent)

QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuLayout &layout);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuLayout &layout);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuItem &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuItem &item);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuEvent &event);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuEvent &event);

// The tray icon's menu, as StatusNotifierItem hosts open it over D-Bus: xfce4-panel, LXQt,
// waybar, KDE Plasma and GNOME's AppIndicator extension read its layout (GetLayout), say
// when they are about to show it (AboutToShow) and send a "clicked" event for the entry the
// user picks. The entries' labels are read afresh whenever they may have changed; an entry's
// command runs from the event loop after the host has had its answer, so a command that
// opens a modal window never keeps a panel waiting.
class TrayMenu : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    // An entry without a label is a separator.
    struct Entry {
        std::function<QString()> label;
        std::function<void()> triggered;
    };

    explicit TrayMenu(QObject *parent = nullptr);
    ~TrayMenu() override;

    void setEntries(QList<Entry> entries);
    // A label may have changed: hosts that show the menu read it again.
    void refresh();

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public Q_SLOTS:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                DBusMenuLayout &layout);
    Q_SCRIPTABLE DBusMenuItemList GetGroupProperties(const QList<int> &ids,
                                                     const QStringList &propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString &name);
    Q_SCRIPTABLE void Event(int id, const QString &eventId, const QDBusVariant &data,
                            uint timestamp);
    // The list type spelt out: QtDBus finds a parameter's type by the name written here.
    Q_SCRIPTABLE QList<int> EventGroup(const QList<DBusMenuEvent> &events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors);

Q_SIGNALS:
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);

private:
    bool known(int id) const { return id >= 0 && id <= m_entries.size(); }
    QVariantMap properties(int id, const QStringList &names) const;
    QStringList labels() const;
    bool clicked(int id, const QString &eventId);

    QList<Entry> m_entries; // ids 1 … n; 0 is the menu itself
    QStringList m_labels;   // as the hosts last had them
    uint m_revision = 1;
};
