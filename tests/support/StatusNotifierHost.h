#pragma once

#include <QDBusVirtualObject>
#include <QHash>
#include <QImage>
#include <QPoint>
#include <QStringList>

class QDBusServiceWatcher;

// A StatusNotifierWatcher that is also the one host registered with it, on the session bus,
// as KDE Plasma's panel or GNOME's AppIndicator extension provide them. Programs started
// while it runs register their StatusNotifierItem with it; the test then reads, clicks and
// opens the menu of an item the way a panel does. It also comes the ways panels come at a
// login and go when they restart: the watcher first and its host seconds later (Plasma: the
// watcher lives in kded, the host in plasmashell), the host going and coming back while the
// watcher stays, or both going and coming back (GNOME Shell holds both); and it can be slow
// to answer, as on a loaded machine at login. Like GNOME's AppIndicator extension it reads
// every property of an item when it registers (GetAll), and after each of the item's signals
// reads again the properties that signal names (NewIcon: IconName, IconPixmap and
// IconAccessibleDesc …); a property the item does not answer is a fault, as it is fatal there.
class StatusNotifierHost : public QDBusVirtualObject {
    Q_OBJECT
public:
    StatusNotifierHost();
    ~StatusNotifierHost() override;

    // Takes the watcher's name on the session bus, with its host registered or (withHost
    // false) none yet; false when that fails.
    bool start(bool withHost = true);
    // Gives the name up, forgetting every item, as a panel that ends or crashes.
    void stop();
    // The host registers (after `delayMs`), or unregisters, while the watcher stays.
    void registerHost(int delayMs = 0);
    void unregisterHost();
    // Every answer of the watcher comes this much later.
    void setAnswerDelay(int delayMs) { m_answerDelayMs = delayMs; }

    // The registered items, as "service/path".
    QStringList items() const { return m_items; }
    bool hostRegistered() const { return m_hostRegistered; }

    // What a panel reads of an item: a property, its tooltip, its icon's pictures, and how
    // often it has announced a new icon since it registered.
    QVariant property(const QString &item, const QString &name) const;
    QString toolTip(const QString &item) const;
    QList<QImage> icon(const QString &item) const;
    // The pictures of an a(iiay) property: IconPixmap, AttentionIconPixmap …
    QList<QImage> pictures(const QString &item, const QString &property) const;
    int newIcons(const QString &item) const { return m_newIcons.value(item); }
    // What went wrong reading items, as "item: error"; empty while every read was answered.
    QStringList faults() const { return m_faults; }
    // How many reads after signals are still on their way.
    int readsPending() const { return m_readsPending; }
    // What a panel does with an item: a click, a right-click on a host without menus.
    bool activate(const QString &item, QPoint at = {});
    bool contextMenu(const QString &item, QPoint at = {});
    // Opens the item's menu as panels do (AboutToShow, then GetLayout): its entries' labels,
    // "-" for a separator; then picks the entry with `label`: a "clicked" Event, as GNOME's
    // extension and Qt's panels send it, or (grouped) in an EventGroup, as GTK's panels do.
    QStringList menu(const QString &item);
    bool clickMenu(const QString &item, const QString &label, bool grouped = false);

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private Q_SLOTS:
    void itemSignal(const QDBusMessage &signal);

private:
    struct MenuEntry {
        int id;
        QString label;
    };
    QList<MenuEntry> readMenu(const QString &item);
    void answer(const QDBusConnection &connection, const QDBusMessage &reply);
    void emitSignal(const QString &name, const QVariantList &arguments = {});
    QVariant watcherProperty(const QString &name) const;
    void serviceGone(const QString &service);
    void followItem(const QString &item, bool follow);
    void read(const QString &item, const QString &method, const QVariantList &args);

    QStringList m_items;
    QHash<QString, QString> m_owners; // item: its connection's unique name
    QHash<QString, int> m_newIcons;
    QHash<QString, QStringList> m_served; // item: the properties its GetAll gave
    QStringList m_faults;
    int m_readsPending = 0;
    QDBusServiceWatcher *m_watch = nullptr;
    bool m_started = false;
    bool m_hostRegistered = false;
    int m_answerDelayMs = 0;
};
