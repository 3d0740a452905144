#include "SettingsStore.h"

#include "PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <sys/stat.h>

namespace {
const QString Organisation = QStringLiteral("MoRvEx");
const QString Group = QStringLiteral("Settings");
constexpr QFile::Permissions OwnerOnly = QFile::ReadOwner | QFile::WriteOwner;
} // namespace

SettingsStore::SettingsStore()
    : m_settings(
          std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, Organisation))
{
    // Only the user's own file counts: a key missing there takes the program's default, not
    // a value from a system-wide file such as /etc/xdg/MoRvEx.conf.
    m_settings->setFallbacksEnabled(false);
    m_settings->beginGroup(Group);
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::getSetting(const QString &key, const QString &defaultValue) const
{
    const QVariant value = m_settings->value(key);
    if (!value.isValid())
        return defaultValue;
    // A hand-edited "a, b" reads back as a list; show it as it stands in the file.
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

void SettingsStore::saveSetting(const QString &key, const QString &value)
{
    m_settings->setValue(key, value);
}

bool SettingsStore::contains(const QString &key) const
{
    return m_settings->contains(key);
}

void SettingsStore::removeSetting(const QString &key)
{
    m_settings->remove(key);
}

bool SettingsStore::commit()
{
    const QString path = fileName();
    // The file is owner-only before the first byte is written, so the password is never
    // readable by others, not even for a moment: the save writes a temporary file first and
    // gives it the mode of the file it replaces. A folder made here is the owner's only.
    if (!QFileInfo::exists(path)) {
        makePrivateDir(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.setPermissions(OwnerOnly);
    } else if (!restrictToOwner(path)) {
        return false;
    }
    // What the save creates beside the file (its lock file, the temporary file) is born
    // owner-only too.
    const mode_t umaskBefore = ::umask(077);
    m_settings->sync();
    ::umask(umaskBefore);
    restrictToOwner(path);
    return m_settings->status() == QSettings::NoError && QFileInfo::exists(path);
}

bool SettingsStore::readable() const
{
    return m_settings->status() == QSettings::NoError;
}

QString SettingsStore::fileName() const
{
    return m_settings->fileName();
}
