#pragma once

#include "KeyringAccess.h"
#include "WindowSettings.h"

#include <QObject>
#include <QString>
#include <QTimer>

class PopWindow;
class SettingsStore;

// The stored password, apart from the password box: where it is kept (the settings file's
// "Pass", the desktop's keyring, or nowhere) and whether the program has it now. Read
// StoredPassword.cpp from the top: the states, then one function per event.
//
// In the first three states the box shows the stored password; in the others the stored
// password is not available, and the box stays empty until it is (or the user types one):
//
//   Empty        nothing is stored: never saved, or an unlocked keyring holds no entry and
//                the file does not record that one was saved there
//   InFile       in the file's "Pass" (no keyring at the last Save, or an older file)
//   InKeyring    in the keyring, which gave it or took it at Save
//   Asking       the keyring was asked and has not answered yet (its prompt may be open)
//   Locked       the keyring is locked, and no prompt may open now
//   Dismissed    the user dismissed the keyring's unlock prompt
//   NotAnswering the keyring answered with an error, or not within the patience
//   NoKeyring    the password is in a keyring, and none is on the session bus
//   Missing      the keyring is unlocked, but the entry Morvex saved there is not in it
//
// Events: start-up and Reset (loaded), Save, Check Now, a check about to log in, the patience
// running out, and the keyring's answers, appearing, vanishing and changing. Invariants, each
// kept in one place:
//   - the stored password is replaced only by what the user typed, or cleared on purpose
//     (save());
//   - no login with a password the user did not type (checkStarting());
//   - an unlock prompt opens only for the user's start-up, Reset, Save or Check Now, at most
//     one each (requests that may prompt are made only with mayPrompt from those).
class StoredPassword : public QObject {
    Q_OBJECT
public:
    enum class State {
        Empty,
        InFile,
        InKeyring,
        Asking,
        Locked,
        Dismissed,
        NotAnswering,
        NoKeyring,
        Missing,
    };

    StoredPassword(PopWindow &window, KeyringAccess &keyring, QObject *parent = nullptr);

    static QString lockedStatus();
    static QString absentStatus();
    static QString missingStatus();

    State state() const { return m_state; }
    bool available() const;

    // Start-up and Reset: the settings were just loaded into the window.
    void loaded(const SettingsStore &store);
    // Save, with the box's text trimmed: where the password goes. Waits for the keyring for
    // the patience at most.
    PasswordPlace save(const QString &password);
    // "Check Now" was pressed.
    void checkNow();
    // A check is about to log in: the status it shows instead of logging in, or empty.
    QString checkStarting();
    // A read has waited for the patience.
    void patienceRanOut();

Q_SIGNALS:
    // The keyring's password filled the empty box; checkWithheld: a check waited for it.
    void arrived(bool checkWithheld);

private:
    void enter(State state);
    // Why the password is not available, for the status line.
    QString status() const;
    void keyringChanged();
    void keyringVanished();
    void ask(bool mayPrompt);
    void readEnded(int epoch, KeyringAccess::Lock before, KeyringAccess::Answer answer,
                   const QString &password);
    void notFound();
    void fill(const QString &password);
    KeyringAccess::Answer writeAndWait(const QString &password);
    void move();
    void moved(int epoch, const QString &password);

    PopWindow &m_window;
    KeyringAccess &m_keyring;
    QTimer m_patience;
    State m_state = State::Empty;
    // The file records that the password was saved to the keyring.
    bool m_savedToKeyring = false;
    // One read and one write of ours at a time; a move uses both.
    bool m_reading = false;
    bool m_writing = false;
    bool m_moving = false;
    bool m_saving = false;
    // Counts the Saves that stored a password: an answer asked for before one is out of date.
    int m_epoch = 0;
    bool m_checkWithheld = false;
};
