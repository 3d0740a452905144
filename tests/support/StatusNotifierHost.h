#pragma once

#include <QDBusContext>
#include <QObject>
#include <QPoint>
#include <QStringList>

class QDBusServiceWatcher;

// A StatusNotifierWatcher that is also the one host registered with it, on the session bus,
// as KDE Plasma's panel or GNOME's AppIndicator extension provide them. Programs started
// while it runs register their StatusNotifierItem with it; the test then reads and clicks
// an item the way a panel does. It also comes the ways panels come at a login and go when
// they restart: the watcher first and its host seconds later (Plasma: the watcher lives in
// kded, the host in plasmashell), the host going and coming back while the watcher stays,
// or both going and coming back (GNOME Shell holds both).
class StatusNotifierHost : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
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

    // The registered items, as "service/path".
    QStringList items() const { return m_items; }
    bool hostRegistered() const { return m_hostRegistered; }
    int protocolVersion() const { return 0; }

    // What a panel does with an item.
    QString toolTip(const QString &item) const;
    bool activate(const QString &item, QPoint at = {});
    bool contextMenu(const QString &item, QPoint at = {});

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &serviceOrPath);
    void RegisterStatusNotifierHost(const QString &service);

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString &item);
    void StatusNotifierItemUnregistered(const QString &item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void serviceGone(const QString &service);

    QStringList m_items;
    QDBusServiceWatcher *m_owners = nullptr;
    bool m_started = false;
    bool m_hostRegistered = false;
};
