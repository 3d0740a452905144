#pragma once

#include <QSettings>
#include <QString>
#include <memory>

// The per-user settings store: organisation "MoRvEx", group "Settings", native format
// (on Linux $XDG_CONFIG_HOME/MoRvEx.conf). Every value is text and round-trips exactly,
// characters 0 and 255 included. The file is kept readable by its owner only, since it
// holds the (merely complemented) password. Only the user's file is read, never a
// system-wide one; a new store reads the file as it is on disk at that moment.
class SettingsStore {
public:
    SettingsStore();
    ~SettingsStore();

    // The stored text, or defaultValue when the key is absent; a key stored with an empty
    // value gives the empty text.
    QString getSetting(const QString &key, const QString &defaultValue) const;
    void saveSetting(const QString &key, const QString &value);
    bool contains(const QString &key) const;
    void removeSetting(const QString &key);

    // Writes what saveSetting() queued. False when the file could not be written.
    bool commit();
    // False when the file exists but could not be read or parsed.
    bool readable() const;
    QString fileName() const;

private:
    std::unique_ptr<QSettings> m_settings;
};
