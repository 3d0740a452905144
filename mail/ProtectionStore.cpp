#include "ProtectionStore.h"

#include "Pop3Outcome.h"
#include "ServerAddress.h"
#include "settings/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file far larger than any list of servers is refused rather than read in part.
constexpr qint64 maxFileSize = 1 << 20;

const char header[] = "# The protection each POP3 server gave Morvex: host port tls|scram|apop.\n"
                      "# Delete a server's line to accept that it now gives less.\n";

// "host port level" when the line is one; the key part goes to *key.
bool parseLine(const QByteArray &line, QByteArray *key, Protection *level)
{
    const QByteArrayList fields = line.simplified().split(' ');
    if (fields.size() != 3 || fields.at(0).startsWith('#'))
        return false;
    bool ok = false;
    const uint port = fields.at(1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535 ||
        !ProtectionText::fromWord(fields.at(2).toLower(), level))
        return false;
    *key = fields.at(0).toLower() + ' ' + QByteArray::number(port);
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

ProtectionStore::ProtectionStore(const QString &path)
    : m_path(path)
{
}

QString ProtectionStore::defaultPath()
{
    return stateHome() + QStringLiteral("/morvex/servers");
}

QByteArray ProtectionStore::key(const ServerAddress &address)
{
    return address.host().toLower().toUtf8() + ' ' + QByteArray::number(address.port());
}

// A missing file is an empty one; any other failure to read it whole is a failure.
bool ProtectionStore::read(QByteArray *content) const
{
    content->clear();
    restrictToOwner(m_path);
    // Non-blocking, so that a FIFO (or a device) at the path cannot hold the check at the
    // open; it is then refused as not a regular file before anything is read.
    const int fd =
        ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxFileSize;
    // Room for one byte more than the file holds, to see its end; more if it grows meanwhile,
    // up to one byte past the limit, which tells a file of the limit from a longer one.
    content->resize(ok ? qsizetype(info.st_size) + 1 : 0);
    qsizetype done = 0;
    while (ok && done <= maxFileSize) {
        if (done == content->size())
            content->resize(qMin(content->size() * 2, maxFileSize + 1));
        const ssize_t n = ::read(fd, content->data() + done, size_t(content->size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        done += n;
    }
    ok = ok && done <= maxFileSize;
    content->resize(done);
    ::close(fd);
    if (!ok)
        content->clear();
    return ok;
}

QString ProtectionStore::unreadableStatus() const
{
    return statusNaming(QStringLiteral("Cannot read "));
}

QString ProtectionStore::unwritableStatus() const
{
    return statusNaming(QStringLiteral("Cannot write "));
}

// prefix, the path (with ~ for the home folder, cut at the front to fit) and a full stop.
QString ProtectionStore::statusNaming(const QString &prefix) const
{
    QString shown = m_path;
    const QString home = QDir::homePath();
    if (!home.isEmpty() && home != QLatin1String("/") && shown.startsWith(home + QLatin1Char('/')))
        shown = QLatin1Char('~') + shown.mid(home.size());
    const int room = Pop3Outcome::MaxStatus - int(prefix.size()) - 1;
    if (shown.size() > room)
        shown = QChar(0x2026) + shown.right(room - 1);
    return prefix + shown + QLatin1Char('.');
}

bool ProtectionStore::remembered(const ServerAddress &address, Protection *strongest) const
{
    *strongest = Protection::None;
    QByteArray content;
    if (!read(&content))
        return false;
    const QByteArray wanted = key(address);
    for (const QByteArray &line : content.split('\n')) {
        QByteArray lineKey;
        Protection level = Protection::None;
        if (parseLine(line, &lineKey, &level) && lineKey == wanted && weaker(*strongest, level))
            *strongest = level;
    }
    return true;
}

bool ProtectionStore::raise(const ServerAddress &address, Protection level) const
{
    if (level == Protection::None)
        return true;
    const QByteArray wanted = key(address);
    QByteArray old;
    if (!read(&old))
        return false;
    QByteArrayList lines = old.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    // The server's line takes the place of its first old one; other lines stay as they are.
    QByteArray content = old.isEmpty() ? QByteArray(header) : QByteArray();
    bool placed = false;
    for (const QByteArray &line : std::as_const(lines)) {
        QByteArray lineKey;
        Protection lineLevel = Protection::None;
        if (parseLine(line, &lineKey, &lineLevel) && lineKey == wanted) {
            if (!weaker(lineLevel, level))
                return true;
            if (placed)
                continue;
            placed = true;
            content += wanted + ' ' + ProtectionText::word(level) + '\n';
            continue;
        }
        content += line + '\n';
    }
    if (!placed)
        content += wanted + ' ' + ProtectionText::word(level) + '\n';
    return write(content);
}

// A new file of mode 0600 beside the old one, renamed over it once complete: the file is
// never readable by others, and never half written.
bool ProtectionStore::write(const QByteArray &content) const
{
    if (!makePrivateDir(QFileInfo(m_path).absolutePath()))
        return false;
    const QByteArray target = QFile::encodeName(m_path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.constData(), target.constData()) == 0;
    if (!ok)
        ::unlink(temporary.constData());
    return ok;
}
