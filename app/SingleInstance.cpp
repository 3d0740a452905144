#include "SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

SingleInstance::SingleInstance()
    : SingleInstance(defaultLockPath())
{
}

SingleInstance::SingleInstance(const QString &lockPath)
    : m_lock(std::make_unique<QLockFile>(lockPath))
{
    // Never treat a live holder's lock as stale by age; only a holder whose process has
    // gone makes it stale.
    m_lock->setStaleLockTime(0);
}

QString SingleInstance::defaultLockPath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/morvex.lock");
}

bool SingleInstance::prevInstance()
{
    if (m_lock->isLocked() || m_lock->tryLock(0))
        return false;
    return m_lock->error() == QLockFile::LockFailedError;
}
