#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariantList>

#include <memory>
#include <vector>

// A private system bus for a test: a dbus-daemon of its own and, when asked, python3-dbusmock's
// NetworkManager and logind on it (unpacked into the build tree by scripts/dbusmock). The
// program sees it through DBUS_SYSTEM_BUS_ADDRESS; the test drives the mocks through their
// control interface. Everything it started is stopped, by process id, when it goes away.
class SystemBus {
public:
    SystemBus() = default;
    ~SystemBus();
    SystemBus(const SystemBus &) = delete;
    SystemBus &operator=(const SystemBus &) = delete;

    // Empty when the bus and the mocks can run here, else why not.
    static QString unavailableReason();
    // Unpacks python3-dbusmock now, while the network that fetches it is reachable: for a
    // test that moves into a network namespace of its own before it starts anything else.
    // Plain fork and exec, no Qt: it may run before the application object exists.
    static void fetchMocksBeforeNamespace();

    // Starts the daemon; false with errorString() set when it did not come up.
    bool start();
    // Starts a dbusmock template ("networkmanager", "logind") and waits for its name.
    bool startMock(const QString &name, const QString &busName);
    QString address() const { return m_address; }
    QString errorString() const { return m_error; }

    // NetworkManager's global state (20 disconnected, 40 connecting, 60 site, 70 global)
    // and its connectivity (2 captive portal, 4 full), as NetworkManager announces them.
    bool setNetworkManagerState(uint state);
    bool setConnectivity(uint connectivity);
    // logind's PrepareForSleep signal: true before a suspend, false after the resume.
    bool prepareForSleep(bool sleeping);

private:
    bool callMock(const QString &service, const QString &path, const QString &method,
                  const QVariantList &arguments);

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_daemon;
    std::vector<std::unique_ptr<QProcess>> m_mocks;
    QString m_address;
    QString m_connectionName;
    QString m_error;
};
