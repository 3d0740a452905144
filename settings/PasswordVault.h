#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QDBusServiceWatcher;
namespace QKeychain {
class Job;
}

// The password's one entry in the desktop's keyring (the Secret Service: GNOME Keyring,
// KeePassXC; KWallet; the platform's store elsewhere), through QtKeychain: service
// "Morvex", key "password". A keyring may be missing, locked, or waiting on a prompt nobody
// answers: every request gives up after a few seconds and then counts as "no keyring now".
// A request that gave up may still end later; lateAnswer() tells when one ended well.
class PasswordVault : public QObject {
    Q_OBJECT
public:
    enum class Result {
        Done,      // written, or read (the password is given)
        NotFound,  // the keyring answered: it holds no password for the program
        NoKeyring, // no keyring now: none on the bus, refused, locked, or no answer in time
    };
    using Done = std::function<void(Result, const QString &)>;

    explicit PasswordVault(QObject *parent = nullptr);
    ~PasswordVault() override;

    static constexpr int DefaultPatienceMs = 3000;
    void setPatience(int ms) { m_patienceMs = ms; }

    // Asynchronous; done runs once, on this thread, at the latest after the patience.
    void read(Done done);
    void write(const QString &password, Done done);
    // A write that returns when it is done or the patience ran out. The window keeps
    // painting meanwhile; user input waits.
    Result writeAndWait(const QString &password);

    // Requests that have not ended yet, also those that gave up waiting for them.
    int unfinished() const { return m_unfinished; }

Q_SIGNALS:
    // A Secret Service or KWallet came on the session bus.
    void keyringAppeared();
    // A request that had given up ended well after all (the user unlocked the keyring or
    // answered its prompt).
    void lateAnswer();

private:
    void run(QKeychain::Job *job, Done done);

    int m_patienceMs = DefaultPatienceMs;
    int m_unfinished = 0;
    QDBusServiceWatcher *m_watcher = nullptr;
};
