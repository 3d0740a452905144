#include "KeyringPassword.h"

#include "FlipChars.h"
#include "PasswordVault.h"
#include "SettingsStore.h"
#include "mail/PopWindow.h"

#include <optional>

using Box = PopWindow::Box;
using Result = PasswordVault::Result;

namespace {

const QString PassKey = QStringLiteral("Pass");

// Whether "Save" ever wrote this file: it always writes the login and the start mode.
bool everSaved(const SettingsStore &store)
{
    for (const char *key : {"Server", "User", "Interval", "AtStart"})
        if (store.contains(QString::fromLatin1(key)))
            return true;
    return false;
}

// The password in the file as it is on disk now; nothing when it has no "Pass".
std::optional<QString> passInFile()
{
    const SettingsStore store;
    if (!store.contains(PassKey))
        return std::nullopt;
    return flipChars(store.getSetting(PassKey, QString()));
}

} // namespace

KeyringPassword::KeyringPassword(PopWindow &window, PasswordVault &vault, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_vault(vault)
{
    connect(&m_vault, &PasswordVault::keyringAppeared, this, &KeyringPassword::retry);
    connect(&m_vault, &PasswordVault::lateAnswer, this, &KeyringPassword::retry);
}

QString KeyringPassword::lockedStatus()
{
    return QStringLiteral("  Keyring locked: password not available.");
}

QString KeyringPassword::absentStatus()
{
    return QStringLiteral("  No keyring found: password not available.");
}

void KeyringPassword::loaded(const SettingsStore &store)
{
    m_awaiting = false;
    if (store.contains(PassKey)) {
        move();
        return;
    }
    if (!everSaved(store))
        return;
    m_awaiting = true;
    ask();
}

PasswordPlace KeyringPassword::save(const QString &password)
{
    // The box is still empty because the keyring has not answered: there is nothing to
    // save, and its answer still fills the box.
    if (m_awaiting && password.isEmpty())
        return PasswordPlace::Kept;
    m_awaiting = false;
    return m_vault.writeAndWait(password) == Result::Done ? PasswordPlace::Keyring
                                                          : PasswordPlace::File;
}

bool KeyringPassword::awaited()
{
    if (m_awaiting && !m_window.text(Box::Text4).isEmpty())
        m_awaiting = false; // the user typed one
    if (m_awaiting)
        ask();
    return m_awaiting;
}

void KeyringPassword::ask()
{
    // A read still outstanding (on a prompt, a keyring slow to unlock) is not repeated: the
    // vault answers "locked" at once, and the late answer of the first asks again.
    m_vault.read([this](Result result, const QString &password) {
        if (!m_awaiting)
            return;
        if (result == Result::NoKeyring || result == Result::Locked) {
            m_status = result == Result::NoKeyring ? absentStatus() : lockedStatus();
            m_window.setStatLbl(m_status);
            return;
        }
        m_awaiting = false;
        if (result == Result::Done && m_window.text(Box::Text4).isEmpty() && !password.isEmpty()) {
            m_window.setText(Box::Text4, password);
            Q_EMIT passwordArrived();
        }
    });
}

void KeyringPassword::move()
{
    // One move at a time; when it ends it looks at the file again.
    const std::optional<QString> inFile = passInFile();
    if (m_moving || !inFile)
        return;
    m_moving = true;
    m_vault.read([this, password = *inFile](Result result, const QString &stored) {
        if (result == Result::Done && stored == password)
            return moved(password); // already there: only the file's copy goes
        m_moving = false;
        if (result != Result::Done && result != Result::NotFound)
            return; // no keyring now: one that comes, or a late answer, moves it
        if (result == Result::Done && password.isEmpty())
            return; // never an empty password over the one the keyring holds
        if (passInFile() != password)
            return move(); // a "Save" in between decided anew
        m_moving = true;
        m_vault.write(password, [this, password](Result written, const QString &) {
            if (written != Result::Done) {
                m_moving = false;
                return;
            }
            m_vault.read([this, password](Result read, const QString &stored) {
                if (read == Result::Done && stored == password)
                    return moved(password);
                m_moving = false;
            });
        });
    });
}

void KeyringPassword::moved(const QString &password)
{
    // The keyring holds the password: its copy in the file goes, unless a "Save" in between
    // wrote another one there, which moves next.
    m_moving = false;
    if (passInFile() != password)
        return move();
    SettingsStore store;
    store.removeSetting(PassKey);
    store.commit();
}

void KeyringPassword::retry()
{
    move();
    if (m_awaiting)
        ask();
}
