#pragma once

#include <QObject>
#include <QString>
#include <functional>

// What the stored password needs of the desktop's keyring, reported as the keyring reports
// it. Every request is answered once, later, on this thread, or never (a keyring that hangs,
// an unlock prompt nobody answers). Requests of the keyring itself (read, write) are run one
// after the other, in order: one that does not end holds back all that come after it.
class KeyringAccess : public QObject {
    Q_OBJECT
public:
    // How long Save waits for the keyring, and how long a read may take before the keyring
    // counts as not answering.
    static constexpr int PatienceMs = 3000;

    // The keyring's default collection, where the password's entry is.
    enum class Lock {
        Unlocked, // requests are answered without a prompt
        Locked,   // a request opens the keyring's unlock prompt
        Unknown,  // nothing to ask (no Secret Service on the bus yet): a request may prompt
        NoAnswer, // the keyring did not answer the question
    };
    enum class Answer {
        Done,     // read: the password is given; write: it is stored
        NotFound, // read: no entry, or its unlock prompt was dismissed (the keyring says the same)
        Failed,   // refused, a write's prompt dismissed, an error, the keyring gone
    };
    using LockDone = std::function<void(Lock)>;
    using Done = std::function<void(Answer, const QString &password)>;

    using QObject::QObject;

    // A keyring is on the session bus, or one the bus can start.
    virtual bool reachable() const = 0;
    virtual void askLock(LockDone done) = 0;
    virtual void read(Done done) = 0;
    virtual void write(const QString &password, Done done) = 0;
    // Runs the events (no user input) until answered() or the patience ran out.
    virtual void wait(const std::function<bool()> &answered) = 0;

Q_SIGNALS:
    void appeared();
    void vanished();
    // A collection was locked, unlocked or created, or an entry in it changed.
    void collectionChanged();
};
