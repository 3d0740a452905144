#pragma once

#include <QObject>

class NetworkState;

// Feeds a NetworkState from the machine, by signals only: reachability and captive portal
// from Qt's network information (NetworkManager's backend when NetworkManager is on the
// system bus as it loads, else GLib's), and resumes from logind's PrepareForSleep(false)
// on the system bus. Where none of them is there, the state hears nothing.
class SystemNetwork : public QObject {
    Q_OBJECT
public:
    explicit SystemNetwork(NetworkState &state, QObject *parent = nullptr);

    // Whether the kernel's routing table has a default route (IPv4 or IPv6) now; false where
    // it cannot be read.
    static bool defaultRoute();

private Q_SLOTS:
    void prepareForSleep(bool sleeping);

private:
    NetworkState &m_state;
};
