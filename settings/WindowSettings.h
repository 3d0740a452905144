#pragma once

#include <QString>

class PopWindow;
class SettingsStore;

// Loads the five stored settings into the main window, with the defaults for absent keys
// and the replacements for blank texts. Shows the window unless the start mode is "Min".
// Returns false when the store could not be read (the window then holds the defaults).
bool getDefault(PopWindow &window, SettingsStore &store);

// Where "Save" leaves the password: complemented as the file's "Pass"; in the keyring, and
// the file holds no "Pass"; or where it already was, untouched, since the box held none.
enum class PasswordPlace { File, Keyring, Kept };

// The file's record of the password's place: "Pass" (complemented) when it is in the file;
// "PassInKeyring" when Save or a move put it into the keyring (older files lack this key).
// Kept leaves both as they are.
void recordPasswordPlace(SettingsStore &store, PasswordPlace place, const QString &password);
bool passwordSavedToKeyring(const SettingsStore &store);

// Queues the settings from the window into the store, in the order server, login,
// password (complemented, if it goes to the file), interval, start mode. The caller commits.
void saveSettings(const PopWindow &window, SettingsStore &store,
                  PasswordPlace password = PasswordPlace::File);
