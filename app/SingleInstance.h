#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

// Decides whether another copy of the program is running for this user: a lock file in a
// folder of the user's own (the runtime directory), held for the whole run. A copy that was
// killed leaves a lock whose process is gone; the next start takes it over. A lock file of
// another user never counts.
class SingleInstance {
public:
    // The lock for this user: "morvex.lock" in the runtime directory when it is the user's
    // own (owner only), else in a folder made owner-only for it: "morvex-UID" in the
    // temporary folder, or "morvex" in the user's cache.
    SingleInstance();
    explicit SingleInstance(const QString &lockPath);

    // True when another live copy holds the lock. When the lock cannot be created at all
    // (no runtime directory, no permission), the program runs rather than refusing.
    bool prevInstance();

    // Empty when no folder of the user's own could be found or made.
    static QString defaultLockPath();

private:
    QString m_lockPath;
    std::unique_ptr<QLockFile> m_lock;
};
