#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

// Decides whether another copy of the program is running for this user: a lock file in the
// user's runtime directory, held for the whole run. A copy that was killed leaves a lock
// whose process is gone; the next start takes it over.
class SingleInstance {
public:
    // The lock for this user (runtime directory, "morvex.lock").
    SingleInstance();
    explicit SingleInstance(const QString &lockPath);

    // True when another live copy holds the lock. When the lock cannot be created at all
    // (no runtime directory, no permission), the program runs rather than refusing.
    bool prevInstance();

    static QString defaultLockPath();

private:
    std::unique_ptr<QLockFile> m_lock;
};
