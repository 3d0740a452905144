#include "StoredPassword.h"

#include "FlipChars.h"
#include "SettingsStore.h"
#include "mail/PopWindow.h"

#include <memory>
#include <optional>
#include <utility>

using Answer = KeyringAccess::Answer;
using Box = PopWindow::Box;
using Lock = KeyringAccess::Lock;
using State = StoredPassword::State;

namespace {

// Whether "Save" ever wrote this file: it always writes the login and the start mode. An
// older file without "Pass" was saved with the password in the keyring.
bool everSaved(const SettingsStore &store)
{
    for (const char *key : {"Server", "User", "Interval", "AtStart"})
        if (store.contains(QString::fromLatin1(key)))
            return true;
    return false;
}

// The file's password as it is on disk now; empty when it has none.
QString passInFile()
{
    const SettingsStore store;
    return flipChars(store.getSetting(QStringLiteral("Pass"), QString()));
}

} // namespace

StoredPassword::StoredPassword(PopWindow &window, KeyringAccess &keyring, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_keyring(keyring)
{
    m_patience.setSingleShot(true);
    m_patience.setTimerType(Qt::PreciseTimer);
    m_patience.setInterval(KeyringAccess::PatienceMs);
    connect(&m_patience, &QTimer::timeout, this, &StoredPassword::patienceRanOut);
    connect(&m_keyring, &KeyringAccess::appeared, this, &StoredPassword::keyringChanged);
    connect(&m_keyring, &KeyringAccess::collectionChanged, this, &StoredPassword::keyringChanged);
    connect(&m_keyring, &KeyringAccess::vanished, this, &StoredPassword::keyringVanished);
}

QString StoredPassword::lockedStatus()
{
    return QStringLiteral("  Keyring locked: password not available.");
}

QString StoredPassword::absentStatus()
{
    return QStringLiteral("  No keyring found: password not available.");
}

QString StoredPassword::missingStatus()
{
    return QStringLiteral("  Keyring has no password: type it and Save.");
}

bool StoredPassword::available() const
{
    return m_state == State::Empty || m_state == State::InFile || m_state == State::InKeyring;
}

// The one way into a state. An unavailable one other than Asking says why on the status
// line, unless the user typed a password that the checks use meanwhile; Asking turns into
// NotAnswering when the keyring takes longer than the patience.
void StoredPassword::enter(State state)
{
    m_state = state;
    if (state == State::Asking) {
        if (!m_patience.isActive())
            m_patience.start();
        return;
    }
    m_patience.stop();
    if (!available() && m_window.text(Box::Text4).isEmpty())
        m_window.setStatLbl(status());
}

QString StoredPassword::status() const
{
    if (m_state == State::NoKeyring)
        return absentStatus();
    if (m_state == State::Missing)
        return missingStatus();
    return lockedStatus();
}

// ---- Events from the user -------------------------------------------------------------------

void StoredPassword::loaded(const SettingsStore &store)
{
    m_savedToKeyring = passwordSavedToKeyring(store);
    if (store.contains(QStringLiteral("Pass"))) {
        enter(State::InFile); // the window's box holds it now
        move();
    } else if (m_savedToKeyring || everSaved(store)) {
        ask(true);
    } else {
        enter(State::Empty);
    }
}

PasswordPlace StoredPassword::save(const QString &password)
{
    // The box shows no stored password and the user typed none: nothing is stored, and the
    // stored password stays where it is, in the keyring and in the file. Ask for it again.
    if (!available() && password.isEmpty()) {
        ask(true);
        return PasswordPlace::Kept;
    }
    // The box holds the password to store: one the user typed, or the stored one as shown,
    // cleared on purpose when empty. Every answer asked for before is out of date now.
    ++m_epoch;
    enter(State::InFile);
    // Until Save has written the file, its "Pass" is the password being replaced: no move.
    m_saving = true;
    const Answer written = writeAndWait(password);
    m_saving = false;
    if (written != Answer::Done) {
        m_savedToKeyring = false;
        return PasswordPlace::File;
    }
    m_savedToKeyring = true;
    enter(State::InKeyring);
    return PasswordPlace::Keyring;
}

void StoredPassword::checkNow()
{
    if (!available() && m_window.text(Box::Text4).isEmpty())
        ask(true);
}

QString StoredPassword::checkStarting()
{
    // Only a password the user typed, or the stored one that the box shows, is ever sent.
    if (available() || !m_window.text(Box::Text4).isEmpty()) {
        m_checkWithheld = false;
        return QString();
    }
    // A keyring unlocked meanwhile gives it without a prompt; an automatic check opens none.
    if (m_state != State::Asking)
        ask(false);
    m_checkWithheld = true;
    return status();
}

void StoredPassword::patienceRanOut()
{
    if (m_state == State::Asking)
        enter(State::NotAnswering);
}

// ---- Events from the keyring ----------------------------------------------------------------

void StoredPassword::keyringChanged()
{
    // A keyring that came, or was unlocked: it may give the password now without a prompt,
    // or take the file's.
    if (available())
        move();
    else if (m_state != State::Asking)
        ask(false);
}

void StoredPassword::keyringVanished()
{
    // A read on its way fails, and then says so.
    if (!available() && !m_reading)
        enter(State::NoKeyring);
}

// ---- Asking for the password -----------------------------------------------------------------

// The box waits for the keyring's password. mayPrompt: the user asked for something just now,
// and the keyring may open its unlock prompt for it; otherwise a locked keyring is not asked.
void StoredPassword::ask(bool mayPrompt)
{
    if (!m_keyring.reachable()) {
        enter(State::NoKeyring);
        return;
    }
    enter(State::Asking);
    if (m_reading)
        return; // the read on its way answers
    m_reading = true;
    const int epoch = m_epoch;
    m_keyring.askLock([this, mayPrompt, epoch](Lock lock) {
        if (lock == Lock::NoAnswer || (lock != Lock::Unlocked && !mayPrompt)) {
            m_reading = false;
            if (!available())
                enter(lock == Lock::NoAnswer ? State::NotAnswering : State::Locked);
            return;
        }
        m_keyring.read([this, epoch, lock](Answer answer, const QString &password) {
            m_reading = false;
            readEnded(epoch, lock, answer, password);
        });
    });
}

void StoredPassword::readEnded(int epoch, Lock before, Answer answer, const QString &password)
{
    if (available())
        return; // the box shows the stored password already
    if (epoch != m_epoch) {
        ask(false); // asked before a Save stored another password
        return;
    }
    switch (answer) {
    case Answer::Done:
        enter(State::InKeyring);
        fill(password);
        return;
    case Answer::Failed:
        enter(m_keyring.reachable() ? State::NotAnswering : State::NoKeyring);
        return;
    case Answer::NotFound:
        break;
    }
    if (before == Lock::Unlocked) {
        notFound();
        return;
    }
    // The keyring says "not found" also when its unlock prompt was dismissed: it is still
    // locked then. Unlocked now, a read without a prompt tells.
    m_reading = true;
    m_keyring.askLock([this](Lock lock) {
        m_reading = false;
        if (available())
            return;
        if (lock == Lock::Unlocked)
            ask(false);
        else
            enter(State::Dismissed);
    });
}

// An unlocked keyring without the entry: no password only when the file does not record that
// one was saved there.
void StoredPassword::notFound()
{
    enter(m_savedToKeyring ? State::Missing : State::Empty);
}

void StoredPassword::fill(const QString &password)
{
    // A password the user typed meanwhile stays in the box.
    if (password.isEmpty() || !m_window.text(Box::Text4).isEmpty())
        return;
    m_window.setText(Box::Text4, password);
    Q_EMIT arrived(std::exchange(m_checkWithheld, false));
}

// ---- Storing it ------------------------------------------------------------------------------

// Save's write. The user asked for it: the keyring may open its unlock prompt.
Answer StoredPassword::writeAndWait(const QString &password)
{
    // A write still on its way (on a prompt, in a keyring that hangs) would hold this one back.
    if (!m_keyring.reachable() || m_writing)
        return Answer::Failed;
    m_writing = true;
    const int epoch = m_epoch;
    auto result = std::make_shared<std::optional<Answer>>();
    m_keyring.askLock([this, result, password, epoch](Lock lock) {
        if (lock == Lock::NoAnswer || result->has_value()) {
            m_writing = false; // no answer, or Save went on without it
            return;
        }
        m_keyring.write(password, [this, result, epoch](Answer answer, const QString &) {
            m_writing = false;
            const bool late = result->has_value();
            *result = answer;
            // Save went on with the file; the keyring may take the password now.
            if (late && epoch == m_epoch)
                move();
        });
    });
    m_keyring.wait([result] { return result->has_value(); });
    if (!result->has_value())
        *result = Answer::Failed; // given up: a late end is seen as late
    return **result;
}

// The file's password goes into the keyring when that is unlocked (a move never prompts):
// written, read back and compared, and only then does "Pass" leave the file, which records
// the keyring instead. An empty password is no secret and stays in the file. This is the one
// write to the file outside Save.
void StoredPassword::move()
{
    if (m_state != State::InFile || m_saving || m_moving || m_reading || m_writing ||
        !m_keyring.reachable())
        return;
    const QString password = passInFile();
    if (password.isEmpty())
        return;
    m_moving = true;
    const int epoch = m_epoch;
    m_keyring.askLock([this, epoch, password](Lock lock) {
        if (lock != Lock::Unlocked || epoch != m_epoch || m_writing || m_reading) {
            m_moving = false;
            return;
        }
        m_writing = true;
        m_keyring.write(password, [this, epoch, password](Answer written, const QString &) {
            m_writing = false;
            if (written != Answer::Done || epoch != m_epoch) {
                m_moving = false;
                return;
            }
            m_reading = true;
            m_keyring.read([this, epoch, password](Answer read, const QString &stored) {
                m_reading = false;
                m_moving = false;
                if (read == Answer::Done && stored == password)
                    moved(epoch, password);
                if (!available())
                    ask(false);
            });
        });
    });
}

void StoredPassword::moved(int epoch, const QString &password)
{
    // Unless a Save decided anew meanwhile, or the file changed.
    if (epoch != m_epoch || m_state != State::InFile || passInFile() != password)
        return;
    SettingsStore store;
    recordPasswordPlace(store, PasswordPlace::Keyring, QString());
    if (!store.commit())
        return;
    m_savedToKeyring = true;
    enter(State::InKeyring);
}
