#pragma once

#include <QNetworkInformation>
#include <QObject>
#include <QVariantMap>

class QDBusPendingCallWatcher;

// NetworkManager's word on the network, heard over the system bus: its global state and
// its connectivity (a captive portal), read when it is there or comes, and followed from
// its signals; while it is not on the bus the reachability is Unknown and there is no
// portal. Its states read as Qt's NetworkManager backend reads them: asleep, connecting
// and unknown are Unknown; disconnecting and disconnected are Disconnected; connected
// local, site and global are Local, Site and Online. Qt's backend itself is not used:
// loading any backend makes Qt load every backend plugin, GLib's with GIO among them.
class NetworkManagerWatch : public QObject {
    Q_OBJECT
public:
    using Reachability = QNetworkInformation::Reachability;

    explicit NetworkManagerWatch(QObject *parent = nullptr);

    Reachability reachability() const { return m_reachability; }
    bool isBehindCaptivePortal() const { return m_portal; }

Q_SIGNALS:
    void reachabilityChanged(QNetworkInformation::Reachability reachability);
    void isBehindCaptivePortalChanged(bool portal);

private Q_SLOTS:
    void stateChanged(uint state);
    void propertiesChanged(const QString &interface, const QVariantMap &changed,
                           const QStringList &invalidated);

private:
    void readProperties();
    void propertiesRead(QDBusPendingCallWatcher *call);
    void update(const QVariantMap &properties);
    void set(Reachability reachability, bool portal);

    Reachability m_reachability = Reachability::Unknown;
    bool m_portal = false;
};
