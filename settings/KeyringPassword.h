#pragma once

#include <QObject>
#include <QString>

class PasswordVault;
class PopWindow;
class SettingsStore;

// Where the password box's text is kept between runs. With a keyring, in its one entry for
// the program, and the settings file holds no "Pass". Without one, in the file's "Pass",
// complemented, as older versions kept it; once a keyring is there that password moves into
// it: written, read back and compared, and only then "Pass" is removed from the file. That
// move is the one write to the file outside "Save".
// The keyring is never waited for at start-up: the box is filled when its answer comes,
// and until then a check does not log in with an empty password.
class KeyringPassword : public QObject {
    Q_OBJECT
public:
    KeyringPassword(PopWindow &window, PasswordVault &vault, QObject *parent = nullptr);

    // The status while the password could not be read from the keyring.
    static QString awaitedStatus();

    // After the settings were loaded into the window (start-up, "Reset"): the file's
    // "Pass" is in the box and moves into the keyring; without one, the box waits for the
    // keyring's password (unless nothing was ever saved).
    void loaded(const SettingsStore &store);
    // "Save": puts the password into the keyring, waiting a few seconds at most. False when
    // there is no keyring now: the file then keeps the password as "Pass".
    bool save(const QString &password);
    // True while the box still waits for the keyring's password (and the user typed none);
    // asks the keyring again then.
    bool awaited();

Q_SIGNALS:
    // The keyring's password filled the empty box.
    void passwordArrived();

private:
    void ask();
    void moveIntoKeyring(const QString &password);
    void retry();

    PopWindow &m_window;
    PasswordVault &m_vault;
    bool m_awaiting = false;
};
