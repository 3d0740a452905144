#pragma once

#include "KeyringAccess.h"

#include <QDBusObjectPath>

class QDBusServiceWatcher;
namespace QKeychain {
class Job;
}

// The desktop's keyring: the password's one entry (service "Morvex", key "password") through
// QtKeychain, which reaches the Secret Service (GNOME Keyring, KeePassXC), KWallet, or the
// platform's store. QtKeychain does not tell a locked keyring from one without the entry: the
// lock comes from the Secret Service itself, over D-Bus, as the "Locked" property of its
// default collection, without starting a service that is not running. The bus tells when a
// keyring comes or goes, and the Secret Service when a collection is locked or unlocked.
class SecretKeyring : public KeyringAccess {
    Q_OBJECT
public:
    explicit SecretKeyring(QObject *parent = nullptr);

    bool reachable() const override;
    void askLock(LockDone done) override;
    void read(Done done) override;
    void write(const QString &password, Done done) override;
    void wait(const std::function<bool()> &answered) override;

    // Requests of QtKeychain that have not ended yet.
    int unfinished() const { return m_unfinished; }

Q_SIGNALS:
    void delivered();

private Q_SLOTS:
    void secretServiceChanged(const QDBusObjectPath &collection);

private:
    void run(QKeychain::Job *job, Done done);

    QDBusServiceWatcher *m_watcher = nullptr;
    int m_unfinished = 0;
};
