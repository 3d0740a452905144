#include "KeyringPassword.h"

#include "FlipChars.h"
#include "PasswordVault.h"
#include "SettingsStore.h"
#include "mail/PopWindow.h"

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

} // namespace

KeyringPassword::KeyringPassword(PopWindow &window, PasswordVault &vault, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_vault(vault)
{
    connect(&m_vault, &PasswordVault::keyringAppeared, this, &KeyringPassword::retry);
    connect(&m_vault, &PasswordVault::lateAnswer, this, &KeyringPassword::retry);
}

QString KeyringPassword::awaitedStatus()
{
    return QStringLiteral("  Keyring locked: password not available.");
}

void KeyringPassword::loaded(const SettingsStore &store)
{
    m_awaiting = false;
    if (store.contains(PassKey)) {
        moveIntoKeyring(m_window.text(Box::Text4));
        return;
    }
    if (!everSaved(store))
        return;
    m_awaiting = true;
    ask();
}

bool KeyringPassword::save(const QString &password)
{
    m_awaiting = false;
    return m_vault.writeAndWait(password) == Result::Done;
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
    // A request still waiting (on a prompt, a keyring that is slow to unlock) is not
    // repeated: its late answer brings the password.
    if (m_vault.unfinished() > 0)
        return;
    m_vault.read([this](Result result, const QString &password) {
        if (!m_awaiting)
            return;
        if (result == Result::NoKeyring) {
            m_window.setStatLbl(awaitedStatus());
            return;
        }
        m_awaiting = false;
        if (result == Result::Done && m_window.text(Box::Text4).isEmpty() && !password.isEmpty()) {
            m_window.setText(Box::Text4, password);
            Q_EMIT passwordArrived();
        }
    });
}

void KeyringPassword::moveIntoKeyring(const QString &password)
{
    if (m_vault.unfinished() > 0)
        return;
    m_vault.write(password, [this, password](Result written, const QString &) {
        if (written != Result::Done)
            return; // it stays in the file; moved when a keyring appears
        m_vault.read([password](Result read, const QString &stored) {
            if (read != Result::Done || stored != password)
                return;
            // Only the password that was moved leaves the file: a "Save" in between
            // decided anew where the password goes.
            SettingsStore store;
            if (!store.contains(PassKey) ||
                flipChars(store.getSetting(PassKey, QString())) != password)
                return;
            store.removeSetting(PassKey);
            store.commit();
        });
    });
}

void KeyringPassword::retry()
{
    const SettingsStore store;
    if (store.contains(PassKey))
        moveIntoKeyring(flipChars(store.getSetting(PassKey, QString())));
    else if (m_awaiting)
        ask();
}
