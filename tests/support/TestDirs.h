#pragma once

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

// Throwaway per-test directories: the settings store (the user's and the system-wide one),
// the runtime directory (lock file) and the state directory (what servers gave, see
// ProtectionStore) point into a temporary directory for as long as the object lives.
class TestDirs {
public:
    TestDirs()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir());
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemConfigDir());
        qputenv("XDG_CONFIG_HOME", configDir().toLocal8Bit());
        QDir().mkpath(runtimeDir());
        QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtimeDir().toLocal8Bit());
        qputenv("XDG_STATE_HOME", stateDir().toLocal8Bit());
    }
    QString configDir() const { return m_dir.path() + QStringLiteral("/config"); }
    QString systemConfigDir() const { return m_dir.path() + QStringLiteral("/xdg"); }
    QString runtimeDir() const { return m_dir.path() + QStringLiteral("/runtime"); }
    QString stateDir() const { return m_dir.path() + QStringLiteral("/state"); }
    QString settingsFile() const { return configDir() + QStringLiteral("/MoRvEx.conf"); }

private:
    QTemporaryDir m_dir;
};
