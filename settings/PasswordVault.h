#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;
namespace QKeychain {
class Job;
}

// The password's one entry in the desktop's keyring (the Secret Service: GNOME Keyring,
// KeePassXC; KWallet; the platform's store elsewhere), through QtKeychain: service
// "Morvex", key "password". A keyring may be missing, locked, or waiting on a prompt nobody
// answers: every request gives up after a few seconds and then counts as "locked". A request
// that gave up may still end later; lateAnswer() tells when one ended well.
// QtKeychain runs one request at a time and cannot call one off, so a request that never
// ends holds back all that come after it: at most one read and one write are ever
// outstanding, and a request of a kind that is still outstanding is answered "locked" at once.
class PasswordVault : public QObject {
    Q_OBJECT
public:
    enum class Result {
        Done,      // written, or read (the password is given)
        NotFound,  // the keyring answered: it holds no password for the program
        Locked,    // a keyring is there but gave nothing: locked, refused, or no answer in time
        NoKeyring, // no keyring on the session bus, nor one the bus can start
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
    int unfinished() const { return int(m_outstanding[0]) + int(m_outstanding[1]); }

Q_SIGNALS:
    // A keyring the program can use came on the session bus, or one it waited for will not
    // come: worth asking again.
    void keyringAppeared();
    // A request that had given up ended well after all (the user unlocked the keyring or
    // answered its prompt).
    void lateAnswer();

private:
    enum Kind { Reading, Writing };
    enum class Reach { None, NotYet, Now };
    Reach reach();
    void startWallet();
    // False, with done already on its way, when the request is not to be made now.
    bool admitted(Kind kind, Done &done);
    void run(Kind kind, QKeychain::Job *job, Done done);
    Result resultOf(const QKeychain::Job &job) const;

    int m_patienceMs = DefaultPatienceMs;
    bool m_outstanding[2] = {false, false};
    // The KWallet that QtKeychain asks before the Secret Service on this desktop; empty
    // where it goes to the Secret Service alone.
    QString m_wallet;
    QDBusPendingCallWatcher *m_walletStart = nullptr;
    bool m_walletFailed = false;
    QDBusServiceWatcher *m_watcher = nullptr;
};
