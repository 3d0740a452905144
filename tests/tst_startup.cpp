#include "StatusNotifierHost.h"
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
// tray icon appears, otherwise its main window shows too. The tray may come seconds after
// the program, of either kind (an XEmbed tray: trayer; a StatusNotifierItem host on the
// session bus), or never (a desktop without one: a minimised start shows its window after
// a while); it may restart, or go for good while the window is hidden in it.
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

    // Whether the main window is on screen. The icon has its name too, and an XEmbed icon is
    // a top-level window for a moment before the tray takes it in: that is its size.
    static bool shownMainWindow()
    {
        const QList<quint64> icons = XTools::trayIcons(QStringLiteral("Morvex"));
        for (const quint64 id : XTools::windowsNamed(QStringLiteral("Morvex"))) {
            if (!icons.contains(id) && XTools::viewable(id) && XTools::geometry(id).width() > 100)
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

    // Whether the main window is (shown) or is not on screen for the whole of `ms`.
    static bool mainWindowStays(bool shown, int ms)
    {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (shownMainWindow() != shown)
                return false;
            QTest::qWait(100);
        }
        return true;
    }

    static bool waitForMainWindow(bool shown, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (shownMainWindow() != shown && !deadline.hasExpired())
            QTest::qWait(100);
        return shownMainWindow() == shown;
    }

    static void stop(QProcess &process)
    {
        if (process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(2000);
        }
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
        // "xembed" (trayer), "sni" (watcher and host together), "sni host later" (the
        // watcher at once, its host when the tray comes), "sni slow" (a watcher and host
        // that answer 1.5 s late), "xembed + sni slow" (both kinds), "none"
        QTest::addColumn<QString>("tray");
        QTest::addColumn<int>("trayAfterMs"); // 0: before the program
        QTest::addColumn<QString>("then");    // "", "restart" or "vanish", while hidden in it
        QTest::addColumn<bool>("windowShown");
        QTest::newRow("minimised to the tray") << "Min"
                                               << "xembed" << 0 << "" << false;
        QTest::newRow("window shown") << "Max"
                                      << "xembed" << 0 << "" << true;
        QTest::newRow("minimised, no tray at all") << "Min"
                                                   << "none" << 0 << "" << true;
        QTest::newRow("minimised, XEmbed tray 5 s later") << "Min"
                                                          << "xembed" << 5000 << "" << false;
        QTest::newRow("minimised, StatusNotifierItem tray 5 s later")
            << "Min"
            << "sni" << 5000 << "" << false;
        QTest::newRow("StatusNotifierItem tray 5 s after start") << "Max"
                                                                 << "sni" << 5000 << "" << true;
        QTest::newRow("watcher first, its host 3 s later")
            << "Max"
            << "sni host later" << 3000 << "" << true;
        QTest::newRow("XEmbed tray restarts") << "Min"
                                              << "xembed" << 0 << "restart" << false;
        QTest::newRow("StatusNotifierItem watcher restarts") << "Min"
                                                             << "sni" << 0 << "restart" << false;
        QTest::newRow("minimised, host 2 s late, then restarts")
            << "Min"
            << "sni host later" << 2000 << "restart" << false;
        QTest::newRow("XEmbed tray goes away") << "Min"
                                               << "xembed" << 0 << "vanish" << false;
        QTest::newRow("StatusNotifierItem tray goes away") << "Min"
                                                           << "sni" << 0 << "vanish" << false;
        QTest::newRow("minimised, watcher slow to answer") << "Min"
                                                           << "sni slow" << 0 << "" << false;
        QTest::newRow("XEmbed tray and a slow watcher, whose tray goes away")
            << "Min"
            << "xembed + sni slow" << 0 << "vanish" << false;
    }

    void startMode()
    {
        QFETCH(QString, atStart);
        QFETCH(QString, tray);
        QFETCH(int, trayAfterMs);
        QFETCH(QString, then);
        QFETCH(bool, windowShown);
        const bool minimised = atStart == u"Min";
        const bool xembed = tray.startsWith(u"xembed");
        const bool item = tray.contains(u"sni"); // the icon is an item on the bus
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

        QProcess trayer;
        auto stopTrayer = qScopeGuard([&trayer] {
            trayer.kill();
            trayer.waitForFinished(3000);
        });
        StatusNotifierHost host;
        if (tray.endsWith(u"slow"))
            host.setAnswerDelay(1500);
        if (tray == u"sni host later")
            QVERIFY(host.start(false));
        auto startTray = [&] {
            if (xembed && !startTrayHost(trayer))
                return false;
            if (tray == u"sni host later")
                host.registerHost();
            else if (item)
                return host.start();
            return true;
        };
        if (tray != u"none" && trayAfterMs == 0)
            QVERIFY(startTray());
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
        auto stopProgram = qScopeGuard([&process] { stop(process); });

        // Until the tray comes the window is on screen, or (a minimised start) nothing is;
        // with no tray at all, for most of the wait.
        if (!minimised)
            QVERIFY(waitForMainWindow(true, 5000));
        QVERIFY(mainWindowStays(!minimised, tray == u"none" ? 12000 : qMax(trayAfterMs, 2000)));
        QCOMPARE(process.state(), QProcess::Running);
        const QSet<quint64> appeared = viewableTopLevels() - before;
        QStringList names;
        for (const quint64 id : appeared)
            names << QString::number(id, 16);
        QVERIFY2(appeared.size() == (minimised ? 0 : 1),
                 qPrintable(QStringLiteral("windows on screen: ") + names.join(u", ")));
        if (tray == u"none") {
            // No tray came: the window comes, so the program is never out of reach.
            QVERIFY(waitForMainWindow(true, 8000));
            return;
        }

        if (trayAfterMs > 0)
            QVERIFY(startTray());
        auto iconThere = [&] {
            if (!item)
                return waitForIcons(1);
            QDeadlineTimer deadline(5000);
            while (host.items().size() != 1 && !deadline.hasExpired())
                QTest::qWait(100);
            return host.items().size() == 1 && icons() == 0; // not in an XEmbed tray besides
        };
        QVERIFY(iconThere());
        QVERIFY(mainWindowStays(windowShown, 1500));

        if (then == u"restart") {
            // The panel crashes and is started again at once.
            const int announced =
                tray == u"sni host later" ? host.newIcons(host.items().value(0)) : 0;
            if (!item) {
                trayer.kill();
                QVERIFY(trayer.waitForFinished(3000));
                QVERIFY(startTrayHost(trayer));
            } else if (tray != u"sni host later") {
                host.stop();
                QTest::qWait(1000);
                QVERIFY(host.start());
            } else {
                host.unregisterHost();
                QTest::qWait(1000);
                host.registerHost();
            }
            QVERIFY(iconThere());
            // The item tells the new host of its icon, which GNOME's extension waits for.
            if (item)
                QTRY_VERIFY_WITH_TIMEOUT(host.newIcons(host.items().value(0)) > announced, 3000);
            // Back in time: the window stays in the tray.
            QVERIFY(mainWindowStays(windowShown, 6000));
        } else if (then == u"vanish") {
            // The tray that shows the icon goes (an XEmbed tray may stay).
            if (!item) {
                trayer.kill();
                QVERIFY(trayer.waitForFinished(3000));
            } else {
                host.stop();
            }
            // Not at once, a restarting panel may be back in a moment; then it shows.
            QVERIFY(mainWindowStays(false, 2000));
            QVERIFY(waitForMainWindow(true, 8000));
            QCOMPARE(process.state(), QProcess::Running);
            return;
        }

        // One double-click on the icon (one click on an item) hides the window, or brings it
        // back.
        if (!item) {
            const quint64 icon = XTools::trayIcons(QStringLiteral("Morvex")).value(0);
            QVERIFY(icon);
            XTools::clickWindow(icon, 1, 2);
        } else {
            QVERIFY(host.activate(host.items().value(0)));
        }
        QVERIFY(waitForMainWindow(!windowShown, 3000));
        QCOMPARE(process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
