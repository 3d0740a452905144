#pragma once

#include <QObject>

class NetworkState;

// Feeds a NetworkState from the machine, by signals only: reachability and captive portal
// from NetworkManager whenever it is on the system bus (NetworkManagerWatch), the kernel's
// default route (RouteMonitor), and resumes from logind's PrepareForSleep(false) on the
// system bus. Where none of them is there, the state hears nothing.
class SystemNetwork : public QObject {
    Q_OBJECT
public:
    explicit SystemNetwork(NetworkState &state, QObject *parent = nullptr);

private Q_SLOTS:
    void prepareForSleep(bool sleeping);

private:
    NetworkState &m_state;
};
