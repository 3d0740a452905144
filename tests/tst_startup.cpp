#include "XTools.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// How the program comes up as it starts at login: with "Minimize at startup" ticked only its
// tray icon appears, otherwise its main window shows too. The tray host may not be there
// yet, or never come (a desktop without a tray): the window stays shown until it comes.
class TestStartup : public QObject {
    Q_OBJECT

    // Top-level windows that are on screen.
    static QSet<quint64> viewableTopLevels()
    {
        QSet<quint64> shown;
        for (const quint64 id : XTools::stackingOrder()) {
            if (XTools::viewable(id))
                shown.insert(id);
        }
        return shown;
    }

    static int icons() { return int(XTools::trayIcons(QStringLiteral("Morvex")).size()); }

    // Whether the main window is on screen (the icon has its name too).
    static bool shownMainWindow()
    {
        const QList<quint64> icons = XTools::trayIcons(QStringLiteral("Morvex"));
        for (const quint64 id : XTools::windowsNamed(QStringLiteral("Morvex"))) {
            if (!icons.contains(id) && XTools::viewable(id))
                return true;
        }
        return false;
    }

    // Starts a tray host and waits (bounded) until its panel is on screen.
    static bool startTrayHost(QProcess &host)
    {
        host.start(QStringLiteral("trayer"),
                   {"--edge", "bottom", "--align", "right", "--widthtype", "request", "--height",
                    "32", "--transparent", "false"});
        if (!host.waitForStarted(5000))
            return false;
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            if (!XTools::windowsNamed(QStringLiteral("panel")).isEmpty())
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    static bool waitForIcons(int count, int timeoutMs = 5000)
    {
        return XTools::waitForTrayIcons(QStringLiteral("Morvex"), count, timeoutMs) == count;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!XTools::available() || XTools::trayHost())
            QSKIP("needs an X server without a tray host: run through scripts/with-x --no-tray");
        if (QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty())
            QSKIP("trayer is not installed");
    }

    void startMode_data()
    {
        QTest::addColumn<QString>("atStart");
        QTest::addColumn<QString>("trayHost"); // "before" the program, "later" or "never"
        QTest::addColumn<bool>("windowShown");
        QTest::newRow("minimised to the tray") << "Min"
                                               << "before" << false;
        QTest::newRow("window shown") << "Max"
                                      << "before" << true;
        QTest::newRow("minimised, no tray host") << "Min"
                                                 << "never" << true;
        QTest::newRow("minimised, tray host started later") << "Min"
                                                            << "later" << true;
    }

    void startMode()
    {
        QFETCH(QString, atStart);
        QFETCH(QString, trayHost);
        QFETCH(bool, windowShown);
        QTemporaryDir home;
        const QString config = home.path() + QStringLiteral("/config");
        const QString runtime = home.path() + QStringLiteral("/runtime");
        QVERIFY(QDir().mkpath(config) && QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // No password: the program never checks, so nothing but the start shows.
        QFile settings(config + QStringLiteral("/MoRvEx.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("[Settings]\nServer=127.0.0.1:1\nUser=nobody\nInterval=5\nAtStart=" +
                       atStart.toLatin1() + '\n');
        settings.close();

        QProcess host;
        auto stopHost = qScopeGuard([&host] {
            host.kill();
            host.waitForFinished(3000);
        });
        if (trayHost == u"before")
            QVERIFY(startTrayHost(host));
        const QSet<quint64> before = viewableTopLevels();
        QCOMPARE(icons(), 0);
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(MORVEX_BINARY), {});
        QVERIFY(process.waitForStarted(5000));
        auto stopProgram = qScopeGuard([&process] {
            if (process.state() == QProcess::NotRunning)
                return;
            ::kill(pid_t(process.processId()), SIGTERM);
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(2000);
            }
        });

        QTest::qWait(2000);
        QCOMPARE(process.state(), QProcess::Running);
        QCOMPARE(icons(), trayHost == u"before" ? 1 : 0);
        const QSet<quint64> appeared = viewableTopLevels() - before;
        const QList<quint64> mainWindows = XTools::windowsNamed(QStringLiteral("Morvex"));
        QStringList names;
        for (const quint64 id : appeared)
            names << QString::number(id, 16);
        if (windowShown) {
            QCOMPARE(appeared.size(), 1);
            QVERIFY(mainWindows.contains(*appeared.begin()));
        } else {
            QVERIFY2(appeared.isEmpty(), qPrintable(QStringLiteral("windows on screen: ") +
                                                    names.join(QStringLiteral(", "))));
        }

        if (trayHost == u"never")
            return;
        if (trayHost == u"later") {
            // The icon comes with the tray host, and from then on the window hides to it.
            QVERIFY(startTrayHost(host));
            QVERIFY(waitForIcons(1));
        }
        // One double-click on the icon hides the window, or brings it back.
        const quint64 icon = XTools::trayIcons(QStringLiteral("Morvex")).value(0);
        QVERIFY(icon);
        XTools::clickWindow(icon, 1, 2);
        QDeadlineTimer deadline(3000);
        while (shownMainWindow() == windowShown && !deadline.hasExpired())
            QTest::qWait(100);
        QCOMPARE(shownMainWindow(), !windowShown);
        QCOMPARE(process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
