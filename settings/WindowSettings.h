#pragma once

class PopWindow;
class SettingsStore;

// Loads the five stored settings into the main window, with the defaults for absent keys
// and the replacements for blank texts. Shows the window unless the start mode is "Min".
// Returns false when the store could not be read (the window then holds the defaults).
bool getDefault(PopWindow &window, SettingsStore &store);

// Queues the settings from the window into the store, in the order server, login,
// password (complemented), interval, start mode. A password that went into the keyring
// leaves no "Pass" in the store. The caller commits.
void saveSettings(const PopWindow &window, SettingsStore &store, bool passwordInKeyring = false);
