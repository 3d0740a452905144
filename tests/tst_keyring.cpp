#include "ProgramState.h"
#include "ScriptedControl.h"
#include "XTools.h"
#include "app/frmPop.h"
#include "settings/FlipChars.h"
#include "settings/SecretKeyring.h"
#include "settings/SettingsStore.h"
#include "settings/StoredPassword.h"
#include "settings/WindowSettings.h"
#include "ui/GraphicalButton.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>

// Where the password goes and where it comes from, with a real GNOME Keyring. Each row runs
// in a session of its own: this program starts itself again inside dbus-run-session, on a
// bus that can start nothing but what the row asks for (scripts/session-bus), with the
// keyring's files in a throwaway XDG_DATA_HOME. The row then drives the main window with a
// scripted mailbox control.
class TestKeyring : public QObject {
    Q_OBJECT

    static constexpr const char *ChildVariable = "MORVEX_KEYRING_ROW";
    static constexpr const char *UnlockPassword = "keyring unlock";

    static bool inChild() { return qEnvironmentVariableIsSet(ChildVariable); }

    // The row again, in a session of its own; its verdict is this row's.
    static void runInOwnSession(const QString &keyring)
    {
        QTemporaryDir home;
        QStringList services;
        if (keyring == u"prompter") {
            if (qEnvironmentVariableIsEmpty("DISPLAY"))
                QSKIP("the keyring's prompter needs an X display: run through scripts/with-x");
            // As installed: D-Bus starts gnome-keyring on demand, without a login keyring.
            for (const char *name : {"org.freedesktop.secrets", "org.gnome.keyring.SystemPrompter",
                                     "org.gnome.keyring.PrivatePrompter"})
                services << QStringLiteral("/usr/share/dbus-1/services/%1.service")
                                .arg(QLatin1String(name));
        }
        if (keyring == u"plasma") { // a KWallet the bus is to start, but which will not start
            QFile wallet(home.path() + QStringLiteral("/org.kde.kwalletd5.service"));
            QVERIFY(wallet.open(QIODevice::WriteOnly));
            wallet.write("[D-BUS Service]\nName=org.kde.kwalletd5\nExec=/bin/false\n");
            services << wallet.fileName();
        }
        QCOMPARE(QProcess::execute(QStringLiteral(MORVEX_SOURCE_DIR "/scripts/session-bus"),
                                   QStringList{home.path() + QStringLiteral("/bus")} + services),
                 0);
        const QString runtime = home.path() + QStringLiteral("/runtime");
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        // The desktop QtKeychain sees: Plasma 5, or one that is none of its kinds.
        for (const char *name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                                 "KDE_SESSION_VERSION", "GNOME_DESKTOP_SESSION_ID"})
            env.remove(QString::fromLatin1(name));
        if (keyring == u"plasma") {
            env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
            env.insert(QStringLiteral("KDE_SESSION_VERSION"), QStringLiteral("5"));
        }
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(
            QStringLiteral("dbus-run-session"),
            {QStringLiteral("--config-file=") + home.path() + QStringLiteral("/bus/session.conf"),
             QStringLiteral("--"), QCoreApplication::applicationFilePath(),
             QString::fromLatin1(QTest::currentTestFunction()) + u':' +
                 QString::fromLatin1(QTest::currentDataTag())});
        if (!child.waitForFinished(90000)) {
            child.kill();
            child.waitForFinished(5000);
            QFAIL("the row's session did not end within 90 s");
        }
        const QByteArray output = child.readAll();
        const auto showOutput = qScopeGuard([&] {
            if (QTest::currentTestFailed())
                fprintf(stderr, "--- the row's session:\n%s---\n", output.constData());
        });
        QVERIFY(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0);
        QVERIFY(output.contains(
            "PASS   : TestKeyring::" + QByteArray(QTest::currentTestFunction()) + '('));
        if (keyring == u"prompter") // it really asked, on the display
            QVERIFY(output.contains("activated service 'org.gnome.keyring.SystemPrompter'"));
    }

    // gnome-keyring with an unlocked login keyring, on this session's bus.
    static std::unique_ptr<QProcess> startKeyring()
    {
        auto daemon = std::make_unique<QProcess>();
        daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemon->setStandardOutputFile(QProcess::nullDevice());
        daemon->start(QStringLiteral("gnome-keyring-daemon"),
                      {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                       QStringLiteral("--components=secrets")});
        if (!daemon->waitForStarted(5000))
            return nullptr;
        daemon->write(UnlockPassword);
        daemon->closeWriteChannel();
        QDeadlineTimer deadline(10000);
        auto *bus = QDBusConnection::sessionBus().interface();
        while (!bus->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")) &&
               !deadline.hasExpired())
            QTest::qWait(50);
        return daemon;
    }
    static void stopKeyring(std::unique_ptr<QProcess> &daemon)
    {
        if (!daemon)
            return;
        ::kill(pid_t(daemon->processId()), SIGCONT);
        daemon->terminate();
        if (!daemon->waitForFinished(5000)) {
            daemon->kill();
            daemon->waitForFinished(5000);
        }
        daemon.reset();
    }

    // The login keyring locked, as after an automatic login: its password is not at hand.
    static bool lockLoginKeyring()
    {
        QDBusInterface service(QStringLiteral("org.freedesktop.secrets"),
                               QStringLiteral("/org/freedesktop/secrets"),
                               QStringLiteral("org.freedesktop.Secret.Service"));
        const QDBusMessage reply =
            service.call(QStringLiteral("Lock"),
                         QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(
                             QStringLiteral("/org/freedesktop/secrets/collection/login"))}));
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    // The keyring's unlock prompt (gcr-prompter) once it shows on the display, or 0 when
    // none has after timeoutMs.
    static quint64 waitForPrompt(int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        do {
            for (const quint64 window :
                 XTools::windowsNamed(QStringLiteral("Unlock Login Keyring")))
                if (XTools::viewable(window))
                    return window;
            QTest::qWait(100);
        } while (!deadline.hasExpired());
        return 0;
    }
    // Escape, or the keyring's password and Enter, as the user types them into the prompt;
    // true once the prompt is gone.
    static bool answerPrompt(quint64 prompt, bool unlock)
    {
        const QString id = QString::number(prompt);
        XTools::run(QStringLiteral("xdotool"),
                    {QStringLiteral("windowactivate"), QStringLiteral("--sync"), id});
        if (unlock)
            XTools::run(QStringLiteral("xdotool"),
                        {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"),
                         QString::fromLatin1(UnlockPassword)});
        XTools::run(
            QStringLiteral("xdotool"),
            {QStringLiteral("key"), unlock ? QStringLiteral("Return") : QStringLiteral("Escape")});
        QDeadlineTimer deadline(5000);
        while (XTools::viewable(prompt) && !deadline.hasExpired())
            QTest::qWait(50);
        return !XTools::viewable(prompt);
    }

    static QString secretTool(const QStringList &arguments, const QByteArray &input = {})
    {
        QProcess tool;
        tool.start(QStringLiteral("secret-tool"), arguments);
        tool.write(input);
        tool.closeWriteChannel();
        if (!tool.waitForFinished(10000))
            tool.kill();
        return QString::fromUtf8(tool.readAllStandardOutput());
    }
    // The attributes QtKeychain gives the program's entry (besides "type" "plaintext" and the
    // schema "org.qt.keychain").
    static QStringList entryAttributes()
    {
        return {QStringLiteral("server"), QStringLiteral("Morvex"), QStringLiteral("user"),
                QStringLiteral("password")};
    }

    // A value in the settings file; "(none)" when there is none, as for a null filePass.
    static QString storedOf(const ProgramState &state, const QString &key = QStringLiteral("Pass"))
    {
        QSettings raw(state.dirs.settingsFile(), QSettings::IniFormat);
        raw.beginGroup(QStringLiteral("Settings"));
        return raw.contains(key) ? raw.value(key).toString() : QStringLiteral("(none)");
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (inChild())
            return;
        for (const char *tool : {"dbus-run-session", "gnome-keyring-daemon", "secret-tool"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }

    void keyring_data()
    {
        QTest::addColumn<QString>("keyring");     // unlocked none late slow restart prompter plasma
        QTest::addColumn<bool>("saved");          // a settings file is there at the start
        QTest::addColumn<QString>("storedPass");  // its "Pass" (complemented); null: none
        QTest::addColumn<QString>("entryBefore"); // in the keyring at the start; null: none
        QTest::addColumn<QString>("typed");       // typed into the box, then "Save"; null: not
        QTest::addColumn<int>("saves");           // how often
        QTest::addColumn<QString>("box");         // the password the check logs in with
        QTest::addColumn<QString>("waiting");     // the status while it is awaited; empty: never
        QTest::addColumn<QString>("filePass");    // "Pass" in the file at the end; null: none
        QTest::addColumn<QString>("entry");       // in the keyring at the end; null: none
        const QString none;
        const QString empty = QStringLiteral("");
        const QString locked = StoredPassword::lockedStatus();
        const QString absent = StoredPassword::absentStatus();
        QTest::newRow("Save with a keyring")
            << "unlocked" << false << none << none << "pw one" << 1 << "pw one"
            << "" << none << "pw one";
        QTest::newRow("a start reads it back")
            << "unlocked" << true << none << "pw two" << none << 0 << "pw two"
            << "" << none << "pw two";
        QTest::newRow("a changed password replaces the entry")
            << "unlocked" << true << none << "old pw"
            << "new pw" << 1 << "new pw"
            << "" << none << "new pw";
        QTest::newRow("an old file's password moves")
            << "unlocked" << true << flipChars("pw old") << none << none << 0 << "pw old"
            << "" << none << "pw old";
        QTest::newRow("an old file's empty password is not moved over the entry")
            << "unlocked" << true << empty << "kept pw" << none << 0 << empty << empty << empty
            << "kept pw";
        QTest::newRow("no Secret Service")
            << "none" << false << none << none << "pw three" << 1 << "pw three"
            << "" << flipChars("pw three") << none;
        QTest::newRow("no Secret Service, old file")
            << "none" << true << flipChars("pw four") << none << none << 0 << "pw four"
            << "" << flipChars("pw four") << none;
        QTest::newRow("a keyring after the start") << "late" << true << none << "late pw" << none
                                                   << 0 << "late pw" << absent << none << "late pw";
        QTest::newRow("Save while awaited, the keyring away and back")
            << "late" << true << none << "RealPW"
            << "" << 1 << "RealPW" << absent << none << "RealPW";
        QTest::newRow("a keyring that restarts, Save while it is away")
            << "restart" << true << none << "first pw"
            << "second pw" << 1 << "second pw"
            << "" << none << "second pw";
        QTest::newRow("Save while the keyring is slow")
            << "slow" << true << none << "slow pw"
            << "" << 1 << "slow pw" << locked << none << "slow pw";
        QTest::newRow("a keyring that never comes")
            << "none" << true << none << none << none << 0 << "" << absent << none << none;
        QTest::newRow("Plasma, a KWallet that will not start")
            << "plasma" << false << none << none << "pw seven" << 1 << "pw seven"
            << "" << none << "pw seven";
        QTest::newRow("a prompter nobody answers")
            << "prompter" << false << none << none << "pw five" << 1 << "pw five"
            << "" << flipChars("pw five") << none;
        QTest::newRow("a prompter nobody answers, ten Saves")
            << "prompter" << false << none << none << "pw six" << 10 << "pw six"
            << "" << flipChars("pw six") << none;
    }
    void keyring()
    {
        QFETCH(QString, keyring);
        if (!inChild()) {
            runInOwnSession(keyring);
            return;
        }
        QFETCH(bool, saved);
        QFETCH(QString, storedPass);
        QFETCH(QString, entryBefore);
        QFETCH(QString, typed);
        QFETCH(int, saves);
        QFETCH(QString, box);
        QFETCH(QString, waiting);
        QFETCH(QString, filePass);
        QFETCH(QString, entry);
        if (filePass.isNull())
            filePass = QStringLiteral("(none)");

        ProgramState state;
        std::unique_ptr<QProcess> daemon;
        const auto stop = qScopeGuard([&] { stopKeyring(daemon); });
        if (keyring == u"unlocked" || keyring == u"plasma" || !entryBefore.isNull()) {
            daemon = startKeyring();
            QVERIFY(daemon);
            if (!entryBefore.isNull())
                secretTool(QStringList{QStringLiteral("store"), QStringLiteral("--label=Morvex")} +
                               entryAttributes() +
                               QStringList{QStringLiteral("type"), QStringLiteral("plaintext"),
                                           QStringLiteral("xdg:schema"),
                                           QStringLiteral("org.qt.keychain")},
                           entryBefore.toUtf8());
            QCOMPARE(secretTool(QStringList{QStringLiteral("lookup")} + entryAttributes()),
                     entryBefore);
            if (keyring == u"late")
                stopKeyring(daemon);
            if (keyring == u"slow") // on the bus, but it answers nothing until it goes on
                QCOMPARE(::kill(pid_t(daemon->processId()), SIGSTOP), 0);
        }
        if (saved) {
            SettingsStore store;
            store.saveSetting(QStringLiteral("Server"), QStringLiteral("pop.example.org"));
            store.saveSetting(QStringLiteral("User"), QStringLiteral("ann"));
            if (!storedPass.isNull())
                store.saveSetting(QStringLiteral("Pass"), storedPass);
            QVERIFY(store.commit());
        }

        // The window answers all along: this timer keeps ticking whatever the keyring does.
        int ticks = 0;
        QTimer heartbeat;
        connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
        heartbeat.start(20);
        auto answered = [&](const QElapsedTimer &clock, int ticksBefore) {
            return ticks - ticksBefore >= clock.elapsed() / 20 / 2 - 1;
        };

        ScriptedControl *control = nullptr;
        auto window = scriptedWindow(&control);
        const auto *vault = window->findChild<SecretKeyring *>();
        QVERIFY(vault);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(window->Show());
        QVERIFY(clock.elapsed() < 1000);

        if (!waiting.isEmpty()) {
            // Until the keyring gives it, a check does not log in with an empty box.
            QTRY_COMPARE_WITH_TIMEOUT(window->statLbl->text(), waiting, 10000);
            clock.restart();
            window->cmdCheck->click();
            QVERIFY(clock.elapsed() < 1000);
            QCOMPARE(control->checks, 0);
            QCOMPARE(window->statLbl->text(), waiting);
            QVERIFY(window->statLbl->text().size() <= 45);
            QVERIFY(window->Text4->text().isEmpty());
            // The scheduler stops while the box is empty.
            window->Tim2_Timer();
            QVERIFY(!window->Tim2->isActive());
        }
        if (keyring == u"restart") { // it ends once it has given the password
            QTRY_COMPARE_WITH_TIMEOUT(window->Text4->text(), entryBefore, 10000);
            stopKeyring(daemon);
        }
        for (int save = 0; save < saves; ++save) {
            // While the box waits for the keyring, an empty one is no password to save; the
            // other settings are saved all the same.
            window->Text4->setText(typed);
            window->Text5->setText(QString::number(7 + save));
            const int ticksBefore = ticks;
            clock.restart();
            window->cmdSet->click();
            QVERIFY(clock.elapsed() < KeyringAccess::PatienceMs + 2000);
            if (keyring == u"prompter" && save == 0) // it waited on the prompt, then gave up
                QVERIFY(clock.elapsed() >= KeyringAccess::PatienceMs - 100);
            QVERIFY2(answered(clock, ticksBefore), qPrintable(QStringLiteral("%1 ticks in %2 ms")
                                                                  .arg(ticks - ticksBefore)
                                                                  .arg(clock.elapsed())));
        }
        if (keyring == u"late" || keyring == u"restart") {
            daemon = startKeyring();
            QVERIFY(daemon);
        }
        if (keyring == u"slow")
            QCOMPARE(::kill(pid_t(daemon->processId()), SIGCONT), 0);
        // A keyring that arrives on the bus or answers at last fills the box, and the
        // scheduler runs again.
        QTRY_COMPARE_WITH_TIMEOUT(window->Text4->text(), box, 10000);
        if (!waiting.isEmpty() && !box.isEmpty())
            QVERIFY(window->Tim2->isActive());

        window->cmdCheck->click();
        if (box.isEmpty() && !waiting.isEmpty()) {
            QCOMPARE(control->checks, 0);
            QCOMPARE(window->statLbl->text(), waiting);
        } else {
            QCOMPARE(control->checks, 1);
            QCOMPARE(control->password, box);
        }
        // Whatever the user did, no more than the one request a prompt holds is left.
        QTRY_COMPARE_WITH_TIMEOUT(vault->unfinished(), keyring == u"prompter" ? 1 : 0, 5000);
        // A password that moves leaves the file only once the keyring holds it.
        QTRY_COMPARE_WITH_TIMEOUT(storedOf(state), filePass, 5000);
        if (daemon) {
            QCOMPARE(secretTool(QStringList{QStringLiteral("lookup")} + entryAttributes()), entry);
            const QString items = secretTool({QStringLiteral("search"), QStringLiteral("--all"),
                                              QStringLiteral("server"), QStringLiteral("Morvex")});
            QCOMPARE(items.count(QStringLiteral("[/")), 1);
        }
        QCOMPARE(storedOf(state), filePass); // and nothing came back into it
        if (saves > 0)
            QCOMPARE(storedOf(state, QStringLiteral("Interval")), QString::number(6 + saves));
    }

    // The password Morvex saved to the login keyring, which is locked at the start, with the
    // keyring's real unlock prompt on the display: every prompt dismissed until another program
    // unlocks the keyring, or the first one answered.
    void lockedKeyring_data()
    {
        QTest::addColumn<bool>("answered");
        QTest::newRow("every prompt dismissed") << false;
        QTest::newRow("the prompt answered") << true;
    }
    void lockedKeyring()
    {
        QFETCH(bool, answered);
        if (!inChild()) {
            runInOwnSession(QStringLiteral("prompter"));
            return;
        }
        const QString locked = StoredPassword::lockedStatus();
        ProgramState state;
        std::unique_ptr<QProcess> daemon = startKeyring();
        const auto stop = qScopeGuard([&] { stopKeyring(daemon); });
        QVERIFY(daemon);
        secretTool(QStringList{QStringLiteral("store"), QStringLiteral("--label=Morvex")} +
                       entryAttributes() +
                       QStringList{QStringLiteral("type"), QStringLiteral("plaintext"),
                                   QStringLiteral("xdg:schema"), QStringLiteral("org.qt.keychain")},
                   "RealPW");
        QVERIFY(lockLoginKeyring());
        {
            SettingsStore store;
            store.saveSetting(QStringLiteral("Server"), QStringLiteral("pop.example.org"));
            store.saveSetting(QStringLiteral("User"), QStringLiteral("ann"));
            recordPasswordPlace(store, PasswordPlace::Keyring, QString());
            QVERIFY(store.commit());
        }
        ScriptedControl *control = nullptr;
        auto window = scriptedWindow(&control);
        QVERIFY(window->Show());

        // The start asks once.
        quint64 prompt = waitForPrompt(15000);
        QVERIFY(prompt);
        QVERIFY(answerPrompt(prompt, answered));
        if (answered) {
            QTRY_COMPARE_WITH_TIMEOUT(window->Text4->text(), QStringLiteral("RealPW"), 10000);
            window->cmdCheck->click();
            QCOMPARE(control->checks, 1);
            QCOMPARE(control->password, QStringLiteral("RealPW"));
            QVERIFY(!waitForPrompt(1500));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(window->statLbl->text(), locked, 10000);
        QVERIFY(!waitForPrompt(1500)); // not asked again
        QVERIFY(window->Text4->text().isEmpty());

        // Check Now: no login, the status, and one prompt for it.
        window->cmdCheck->click();
        QCOMPARE(control->checks, 0);
        QCOMPARE(window->statLbl->text(), locked);
        prompt = waitForPrompt(10000);
        QVERIFY(prompt);
        QVERIFY(answerPrompt(prompt, false));
        // An automatic check asks nothing.
        window->Tim2_Timer();
        QCOMPARE(control->checks, 0);
        // Save with only the interval changed: the stored password stays as it is.
        window->Text5->setText(QStringLiteral("7"));
        window->cmdSet->click();
        QCOMPARE(storedOf(state), QStringLiteral("(none)"));
        QCOMPARE(storedOf(state, QStringLiteral("PassInKeyring")), QStringLiteral("true"));
        QCOMPARE(storedOf(state, QStringLiteral("Interval")), QStringLiteral("7"));
        prompt = waitForPrompt(10000);
        QVERIFY(prompt);
        QVERIFY(answerPrompt(prompt, false));
        QVERIFY(!waitForPrompt(1500));
        QCOMPARE(control->checks, 0);

        // Another program unlocks the keyring: the box fills, and a Save that changes only the
        // interval leaves the password in the keyring.
        QProcess other;
        other.start(QStringLiteral("secret-tool"),
                    QStringList{QStringLiteral("lookup")} + entryAttributes());
        prompt = waitForPrompt(10000);
        QVERIFY(prompt);
        QVERIFY(answerPrompt(prompt, true));
        QTRY_COMPARE_WITH_TIMEOUT(other.state(), QProcess::NotRunning, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(window->Text4->text(), QStringLiteral("RealPW"), 10000);
        window->Text5->setText(QStringLiteral("8"));
        window->cmdSet->click();
        QCOMPARE(secretTool(QStringList{QStringLiteral("lookup")} + entryAttributes()),
                 QStringLiteral("RealPW"));
        QCOMPARE(storedOf(state), QStringLiteral("(none)"));
        window->cmdCheck->click();
        QCOMPARE(control->checks, 1);
        QCOMPARE(control->password, QStringLiteral("RealPW"));
    }
};

QTEST_MAIN(TestKeyring)
#include "tst_keyring.moc"
