#include "SingleInstance.h"

#include "settings/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder only this user can enter: a real folder (no link), owned by the user, with no
// group or other bits.
bool ownPrivateFolder(const QString &dir)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(dir).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

} // namespace

SingleInstance::SingleInstance()
    : SingleInstance(defaultLockPath())
{
}

SingleInstance::SingleInstance(const QString &lockPath)
    : m_lockPath(lockPath)
{
    if (lockPath.isEmpty())
        return;
    m_lock = std::make_unique<QLockFile>(lockPath);
    // Never treat a live holder's lock as stale by age; only a holder whose process has
    // gone makes it stale.
    m_lock->setStaleLockTime(0);
}

QString SingleInstance::defaultLockPath()
{
    // The runtime directory when it is really this user's; else a folder of the user's own
    // in the machine's temporary folder (local, emptied at boot), made here; else one in
    // the user's cache. A folder someone else made or opened up is never used.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && ownPrivateFolder(runtime))
        return QDir::cleanPath(runtime) + QStringLiteral("/morvex.lock");
    const QStringList made{QDir::tempPath() + QStringLiteral("/morvex-") +
                               QString::number(::geteuid()),
                           cacheHome() + QStringLiteral("/morvex")};
    for (const QString &dir : made) {
        if (makePrivateDir(dir) && ownPrivateFolder(dir))
            return QDir::cleanPath(dir) + QStringLiteral("/morvex.lock");
    }
    return QString();
}

bool SingleInstance::prevInstance()
{
    if (!m_lock || m_lock->isLocked() || m_lock->tryLock(0))
        return false;
    if (m_lock->error() != QLockFile::LockFailedError)
        return false;
    // Only a copy run by this user counts: a lock file someone else left or planted never
    // keeps the program from starting.
    struct stat info {};
    return ::stat(QFile::encodeName(m_lockPath).constData(), &info) == 0 &&
           info.st_uid == ::geteuid();
}
