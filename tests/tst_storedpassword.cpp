#include "FakeWindow.h"
#include "TestDirs.h"
#include "mail/TextRules.h"
#include "settings/FlipChars.h"
#include "settings/SettingsStore.h"
#include "settings/StoredPassword.h"
#include "settings/WindowSettings.h"

#include <QTest>

#include <deque>
#include <optional>
#include <random>

// Orders of events rather than cases: the stored password is driven through thousands of
// seeded sequences of the user's actions and every answer a keyring gives, in every order,
// and after each step the invariants must hold:
//   - the password a fresh start would find (the file's "Pass", else the keyring's entry) is
//     the last one the user saved;
//   - every login uses that password or the one the user typed into the box;
//   - no more unlock prompts than the user's start-ups, Resets, Saves and Check Nows, and none
//     asked for after a dismissed one until the user does one of those again.
// At the end of each sequence the keyring is unlocked and answers, and a Check Now must then
// log in with the saved password. A failing sequence is printed with its seed.

using Answer = KeyringAccess::Answer;
using Lock = KeyringAccess::Lock;

namespace {

// GNOME Keyring as QtKeychain and the Secret Service present it: requests run one after the
// other; one made while the collection is locked opens the unlock prompt, and a dismissed
// prompt reads as "not found" and fails a write. Nothing is answered until the test says so.
class FakeKeyring : public KeyringAccess {
public:
    bool present = true;  // on the session bus, or startable by it
    bool running = true;  // the Secret Service is running (else the first request starts it)
    bool locked = false;  // its default collection
    bool hanging = false; // it answers nothing
    std::optional<QString> entry;
    int prompts = 0;
    // The test's step counter; the steps of the last dismissal and of the last user action.
    int step = 0;
    int dismissedAt = -1;
    int actedAt = 0;
    // A prompt opened for a request made after a dismissal, with no user action since.
    bool askedAgain = false;

    bool reachable() const override { return present; }
    void askLock(LockDone done) override { m_lockQueries.push_back(std::move(done)); }
    void read(Done done) override
    {
        m_queue.push_back({false, QString(), std::move(done), locked, step});
    }
    void write(const QString &password, Done done) override
    {
        m_queue.push_back({true, password, std::move(done), locked, step});
    }
    // Save's patience: what the keyring answers at once.
    void wait(const std::function<bool()> &) override { deliver(); }

    bool prompting() const { return !m_queue.empty() && m_queue.front().prompting; }

    // The keyring answers what it can, up to a prompt that opens.
    void deliver()
    {
        for (bool progress = true; progress && present && !hanging;) {
            progress = false;
            for (LockDone &done : std::exchange(m_lockQueries, {})) {
                done(!running ? Lock::Unknown : locked ? Lock::Locked : Lock::Unlocked);
                progress = true;
            }
            if (m_queue.empty() || m_queue.front().prompting)
                continue;
            running = true;
            if (m_queue.front().locked && locked) {
                m_queue.front().prompting = true;
                ++prompts;
                askedAgain =
                    askedAgain || (m_queue.front().madeAt > dismissedAt && dismissedAt > actedAt);
            } else {
                finish(take());
            }
            progress = true;
        }
    }
    void dismissPrompt()
    {
        if (!prompting())
            return;
        dismissedAt = step;
        Request request = take();
        request.done(request.write ? Answer::Failed : Answer::NotFound, QString());
        deliver(); // and goes on with the requests behind it
    }
    void answerPrompt()
    {
        if (!prompting())
            return;
        locked = false;
        Q_EMIT collectionChanged();
        finish(take());
        deliver();
    }
    void fail()
    {
        if (!m_queue.empty() && present && !hanging)
            take().done(Answer::Failed, QString());
    }
    void vanish()
    {
        present = running = false;
        Q_EMIT vanished();
        for (LockDone &done : std::exchange(m_lockQueries, {}))
            done(Lock::Unknown);
        while (!m_queue.empty())
            take().done(Answer::Failed, QString());
    }
    void appear(bool lockedNow)
    {
        if (present)
            return;
        present = running = true;
        locked = lockedNow;
        hanging = false;
        Q_EMIT appeared();
    }
    void setLocked(bool lockedNow)
    {
        if (!running || locked == lockedNow)
            return;
        locked = lockedNow;
        Q_EMIT collectionChanged();
    }

private:
    struct Request {
        bool write;
        QString password;
        Done done;
        bool locked; // when it was made
        int madeAt;
        bool prompting = false;
    };
    Request take()
    {
        Request request = std::move(m_queue.front());
        m_queue.pop_front();
        return request;
    }
    void finish(Request request)
    {
        if (!request.write) {
            request.done(entry ? Answer::Done : Answer::NotFound, entry.value_or(QString()));
            return;
        }
        entry = request.password;
        request.done(Answer::Done, QString());
        Q_EMIT collectionChanged();
    }

    std::vector<LockDone> m_lockQueries;
    std::deque<Request> m_queue;
};

const QString Real = QStringLiteral("RealPW");

// One run of the program: the window, the keyring, the settings file, and what the user did.
class Run {
public:
    explicit Run(std::mt19937 &random)
        : m_random(random)
    {
        QFile::remove(SettingsStore().fileName());
        // A world that holds one stored password, the truth: no settings file, or one with
        // "Pass" (and maybe a stale entry in the keyring), one that records the keyring, or
        // an older one without "Pass" and without that record.
        m_truth = pick(4) == 0 ? QString() : Real;
        const int file = m_truth.isEmpty() ? pick(4) : 1 + pick(3);
        SettingsStore store;
        if (file > 0)
            store.saveSetting(QStringLiteral("User"), QStringLiteral("ann"));
        if (file == 1) {
            store.saveSetting(QStringLiteral("Pass"), flipChars(m_truth));
            if (pick(2))
                m_keyring.entry = QStringLiteral("stale");
        } else if (file >= 2) {
            if (file == 2)
                recordPasswordPlace(store, PasswordPlace::Keyring, QString());
            if (file == 2 || !m_truth.isEmpty() || pick(2))
                m_keyring.entry = m_truth;
        }
        store.commit();
        m_keyring.present = pick(5) > 0;
        m_keyring.running = m_keyring.present && pick(4) > 0;
        m_keyring.locked = pick(2);
        m_password = std::make_unique<StoredPassword>(m_window, m_keyring);
        step(QStringLiteral("start"), [&] { userAction([&] { load(); }); });
    }

    QString log() const { return m_log.join(QStringLiteral("\n  ")); }
    bool failed() const { return !m_failure.isEmpty(); }
    QString failure() const { return m_failure; }

    void randomStep()
    {
        const QStringList typed = {Real, QStringLiteral("NewPW"), QString()};
        switch (pick(19)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return step(QStringLiteral("keyring answers"), [&] { m_keyring.deliver(); });
        case 4: {
            const QString text = typed.at(pick(3));
            return step(QStringLiteral("types \"%1\"").arg(text), [&] {
                m_window.texts[3] = text;
                m_typed = text;
            });
        }
        case 5:
            return step(QStringLiteral("Save"), [&] { userAction([&] { save(); }); });
        case 6:
            return step(QStringLiteral("Reset"), [&] { userAction([&] { load(); }); });
        case 7:
            return step(QStringLiteral("Check Now"), [&] {
                userAction([&] {
                    m_password->checkNow();
                    check();
                });
            });
        case 8:
            return step(QStringLiteral("a due check"), [&] { check(); });
        case 9:
            return step(QStringLiteral("a resume, and its check"), [&] { check(); });
        case 10:
        case 11:
            return step(QStringLiteral("dismisses the prompt"), [&] { m_keyring.dismissPrompt(); });
        case 12:
            return step(QStringLiteral("answers the prompt"), [&] { m_keyring.answerPrompt(); });
        case 13:
            return step(QStringLiteral("keyring error"), [&] { m_keyring.fail(); });
        case 14:
            return step(QStringLiteral("keyring hangs / wakes"),
                        [&] { m_keyring.hanging = !m_keyring.hanging; });
        case 15:
            return step(QStringLiteral("keyring vanishes / appears"), [&] {
                if (m_keyring.present)
                    m_keyring.vanish();
                else
                    m_keyring.appear(pick(2));
            });
        case 16:
            return step(QStringLiteral("another program locks / unlocks the keyring"),
                        [&] { m_keyring.setLocked(!m_keyring.locked); });
        case 17:
            return step(QStringLiteral("no answer within the patience"),
                        [&] { m_password->patienceRanOut(); });
        default:
            return step(QStringLiteral("keyring answers"), [&] { m_keyring.deliver(); });
        }
    }

    // The keyring is there, unlocked and answering, and the user presses Check Now.
    void settle()
    {
        step(QStringLiteral("(the keyring is unlocked and answers)"), [&] {
            m_keyring.appear(false);
            m_keyring.hanging = false;
            m_keyring.running = true;
            m_keyring.answerPrompt();
            m_keyring.setLocked(false);
            m_keyring.deliver();
        });
        const int logins = m_logins;
        step(QStringLiteral("Check Now"), [&] {
            userAction([&] {
                m_password->checkNow();
                m_keyring.deliver();
                check();
            });
        });
        if (!failed() && m_logins == logins)
            m_failure = QStringLiteral("no login once the keyring answers: ") + m_window.statLbl;
    }

private:
    int pick(int n) { return int(m_random() % unsigned(n)); }

    void step(const QString &what, const std::function<void()> &action)
    {
        if (failed())
            return;
        const int promptsBefore = m_keyring.prompts;
        ++m_keyring.step;
        action();
        m_log << QStringLiteral("%1  [%2, box \"%3\"]")
                     .arg(what, QString::number(int(m_password->state())), m_window.texts[3]);
        m_credit -= m_keyring.prompts - promptsBefore;
        if (m_credit < 0)
            return fail(QStringLiteral("more unlock prompts than user actions"));
        if (m_keyring.askedAgain)
            return fail(QStringLiteral("asked again after a dismissed prompt"));
        const QString stored = storedNow();
        if (stored != m_truth)
            return fail(QStringLiteral("stored \"%1\", saved \"%2\"").arg(stored, m_truth));
        const QString box = m_window.texts[3];
        if (box != m_truth && !box.isEmpty() && box != m_typed.value_or(m_truth))
            return fail(QStringLiteral("the box shows \"%1\"").arg(box));
    }
    void fail(const QString &why) { m_failure = why; }

    // Start-up, Reset, Save and Check Now may each open one prompt.
    void userAction(const std::function<void()> &action)
    {
        ++m_credit;
        m_keyring.actedAt = m_keyring.step;
        action();
    }
    void load()
    {
        SettingsStore store;
        getDefault(m_window, store);
        m_typed.reset();
        m_password->loaded(store);
    }
    void save()
    {
        SettingsStore store;
        const PasswordPlace place = m_password->save(trimBlanks(m_window.texts[3]));
        saveSettings(m_window, store, place);
        store.commit();
        if (place != PasswordPlace::Kept)
            m_truth = trimBlanks(m_window.texts[3]);
    }
    void check()
    {
        if (!m_password->checkStarting().isEmpty())
            return;
        ++m_logins;
        const QString sent = trimBlanks(m_window.texts[3]);
        if (sent != m_truth && (!m_typed || sent != *m_typed))
            fail(QStringLiteral("logged in with \"%1\"").arg(sent));
    }
    // What a fresh start would find, with every keyring answering.
    QString storedNow() const
    {
        const SettingsStore store;
        if (store.contains(QStringLiteral("Pass")))
            return flipChars(store.getSetting(QStringLiteral("Pass"), QString()));
        if (store.contains(QStringLiteral("User")))
            return m_keyring.entry.value_or(QString());
        return QString();
    }

    std::mt19937 &m_random;
    FakeWindow m_window;
    FakeKeyring m_keyring;
    std::unique_ptr<StoredPassword> m_password;
    QString m_truth;
    std::optional<QString> m_typed;
    int m_credit = 0;
    int m_logins = 0;
    QStringList m_log;
    QString m_failure;
};

} // namespace

class TestStoredPassword : public QObject {
    Q_OBJECT

    TestDirs m_dirs;

private Q_SLOTS:
    void orders()
    {
        constexpr unsigned Sequences = 3000;
        constexpr int Steps = 30;
        for (unsigned seed = 1; seed <= Sequences; ++seed) {
            std::mt19937 random(seed);
            Run run(random);
            for (int i = 0; i < Steps; ++i)
                run.randomStep();
            run.settle();
            if (run.failed())
                QFAIL(qPrintable(
                    QStringLiteral("seed %1: %2\n  %3").arg(seed).arg(run.failure(), run.log())));
        }
    }
};

QTEST_GUILESS_MAIN(TestStoredPassword)
#include "tst_storedpassword.moc"
