#include "PrivateFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <sys/stat.h>

bool makePrivateDir(const QString &dir)
{
    const QString clean = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    if (QFileInfo(clean).isDir())
        return true;
    const QStringList parts = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path;
    for (const QString &part : parts) {
        path += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(path);
        if (::mkdir(native.constData(), 0700) == 0)
            ::chmod(native.constData(), 0700); // whatever the umask said
        else if (!QFileInfo(path).isDir())
            return false;
    }
    return QFileInfo(clean).isDir();
}

bool restrictToOwner(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::stat(native.constData(), &info) != 0)
        return true;
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) == 0)
        return true;
    return ::chmod(native.constData(), info.st_mode & S_IRWXU & ~S_IXUSR) == 0;
}

namespace {

// An XDG base folder: the variable when it holds an absolute path, else the folder in home.
QString xdgHome(const char *variable, const QString &inHome)
{
    const QString fromEnv = qEnvironmentVariable(variable);
    if (QDir::isAbsolutePath(fromEnv))
        return QDir::cleanPath(fromEnv);
    return QDir::homePath() + inHome;
}

} // namespace

QString stateHome()
{
    return xdgHome("XDG_STATE_HOME", QStringLiteral("/.local/state"));
}

QString cacheHome()
{
    return xdgHome("XDG_CACHE_HOME", QStringLiteral("/.cache"));
}
