#pragma once

#include "WindowSettings.h"

#include <QObject>
#include <QString>

class PasswordVault;
class PopWindow;
class SettingsStore;

// Where the password box's text is kept between runs. With a keyring, in its one entry for
// the program, and the settings file holds no "Pass". Without one, in the file's "Pass",
// complemented, as older versions kept it; once a keyring is there that password moves into
// it, and the move never leaves a copy worse than it found it: it never writes an empty
// password over one the keyring holds, and "Pass" leaves the file only once the keyring
// holds that same password. That move is the one write to the file outside "Save".
// The keyring is never waited for at start-up: the box is filled when its answer comes, and
// until then a check does not log in with an empty password, and "Save" leaves the stored
// password as it is: an empty box that waits for the keyring holds no password.
class KeyringPassword : public QObject {
    Q_OBJECT
public:
    KeyringPassword(PopWindow &window, PasswordVault &vault, QObject *parent = nullptr);

    // The status while the password is awaited: from a keyring that is there but locked or
    // not answering, or with no keyring on the session bus at all.
    static QString lockedStatus();
    static QString absentStatus();
    QString awaitedStatus() const { return m_status; }

    // After the settings were loaded into the window (start-up, "Reset"): the file's
    // "Pass" is in the box and moves into the keyring; without one, the box waits for the
    // keyring's password (unless nothing was ever saved).
    void loaded(const SettingsStore &store);
    // "Save": puts the password into the keyring, waiting a few seconds at most; the file
    // keeps it as "Pass" when there is no keyring now. While the box only waits for the
    // keyring, the stored password stays where it is.
    PasswordPlace save(const QString &password);
    // True while the box still waits for the keyring's password (and the user typed none);
    // asks the keyring again then.
    bool awaited();

Q_SIGNALS:
    // The keyring's password filled the empty box.
    void passwordArrived();

private:
    void ask();
    void move();
    void moved(const QString &password);
    void retry();

    PopWindow &m_window;
    PasswordVault &m_vault;
    bool m_awaiting = false;
    bool m_moving = false;
    QString m_status = lockedStatus();
};
