#include "StatusNotifierHost.h"
#include "XTools.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The installed program as a user runs it, on a real X server with a tray host: one copy at
// a time, a killed copy does not block the next, "Exit", the window manager's close and the
// end of the session remove the tray icon and end the process with status 0; on a
// StatusNotifierItem tray the icon's commands come over D-Bus.
class TestProcess : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;

    std::unique_ptr<QProcess> start()
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path() + QStringLiteral("/runtime"));
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(MORVEX_BINARY), {});
        return process;
    }

    // True once the process has ended (also when it already had).
    static bool ended(QProcess &process, int timeoutMs = 5000)
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    }

    static int icons() { return int(XTools::trayIcons(QStringLiteral("Morvex")).size()); }

    // Waits (bounded) for a top-level window with this name to be on screen (the tray icon,
    // named like the main window, does not count); looks once with no time given. The icon
    // is a window of icon size, also in the moment before the tray has taken it in.
    static quint64 waitForWindow(const QString &name, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const QList<quint64> icons = XTools::trayIcons(name);
            for (quint64 id : XTools::windowsNamed(name))
                if (!icons.contains(id) && XTools::viewable(id) &&
                    XTools::geometry(id).width() > 100)
                    return id;
            if (deadline.hasExpired())
                return 0;
            QTest::qWait(100);
        }
    }

    static bool waitForIcons(int count, int timeoutMs = 5000)
    {
        return XTools::waitForTrayIcons(QStringLiteral("Morvex"), count, timeoutMs) == count;
    }

    static void pressOn(quint64 window, const QString &keys)
    {
        // Without a window manager the keyboard goes to the window under the pointer; with
        // one, to the window that just opened.
        XTools::moveMouse(XTools::geometry(window).center());
        QTest::qWait(200);
        XTools::key(keys);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!XTools::available() || !XTools::trayHost())
            QSKIP("needs an X server with a tray host: run through scripts/with-x");
        QDir().mkpath(m_home.path() + QStringLiteral("/runtime"));
        QFile::setPermissions(m_home.path() + QStringLiteral("/runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void oneCopyAtATime()
    {
        auto first = start();
        QVERIFY(waitForWindow(QStringLiteral("Morvex")));
        QVERIFY(waitForIcons(1));

        auto second = start();
        const quint64 notice = waitForWindow(QStringLiteral("Morvex Ver1.0"));
        QVERIFY2(notice, "the second copy shows no notice");
        QCOMPARE(icons(), 1); // no icon of its own
        pressOn(notice, QStringLiteral("Return"));
        QVERIFY(ended(*second));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);
        QCOMPARE(icons(), 1);

        // A copy killed outright leaves its lock behind; the next start takes it over.
        ::kill(pid_t(first->processId()), SIGKILL);
        QVERIFY(ended(*first));
        auto third = start();
        QVERIFY(waitForIcons(1, 8000) || icons() >= 1);
        QVERIFY(!waitForWindow(QStringLiteral("Morvex Ver1.0"), 1500));
        QCOMPARE(third->state(), QProcess::Running);

        // The end of the session: the icon goes, the process ends with status 0.
        ::kill(pid_t(third->processId()), SIGTERM);
        QVERIFY(ended(*third));
        QCOMPARE(third->exitStatus(), QProcess::NormalExit);
        QCOMPARE(third->exitCode(), 0);
        QVERIFY(waitForIcons(0));
    }

    void endFromTheMainWindow_data()
    {
        QTest::addColumn<bool>("byWindowManager");
        QTest::newRow("Close, then Exit") << false;
        QTest::newRow("window manager closes the main window") << true;
    }
    void endFromTheMainWindow()
    {
        QFETCH(bool, byWindowManager);
        if (byWindowManager && !XTools::windowManager())
            QSKIP("needs a window manager: run through scripts/with-x without --no-wm");
        auto copy = start();
        const quint64 main = waitForWindow(QStringLiteral("Morvex"));
        QVERIFY(main);
        QVERIFY(waitForIcons(1));
        const QRect window = XTools::geometry(main);
        if (byWindowManager) {
            // Alt+F4 or a window list's close.
            XTools::run(QStringLiteral("wmctrl"),
                        {"-i", "-c", QStringLiteral("0x%1").arg(main, 0, 16)});
        } else {
            XTools::screenshot(QStringLiteral("main-window-process"),
                               window.adjusted(-4, -4, 4, 4));
            // "Close", then "Exit", which has the focus: the space bar presses it. A window
            // manager may still be taking the new window in when the first click comes.
            quint64 confirm = 0;
            for (int attempt = 0; attempt < 3 && !confirm; ++attempt) {
                XTools::click(window.topLeft() + QPoint(1 + 66 + 38, 1 + 165 + 7));
                confirm = waitForWindow(QStringLiteral("Exit Morvex"), 2000);
            }
            QVERIFY2(confirm, "no exit confirmation");
            pressOn(confirm, QStringLiteral("space"));
        }
        QVERIFY(ended(*copy));
        QCOMPARE(copy->exitStatus(), QProcess::NormalExit);
        QCOMPARE(copy->exitCode(), 0);
        QCOMPARE(icons(), 0);
    }

    // KDE Plasma's panel, GNOME with the AppIndicator extension, xfce4-panel, LXQt, waybar:
    // the icon is an item on D-Bus, with a menu. It registers, carries the program's own
    // picture and the tooltip, a click shows and hides the main window, and the menu, opened
    // as those panels open it, shows and hides the window, opens About and asks to exit. The
    // XEmbed tray is there too, as Plasma's proxy is; at a login Plasma's watcher is on the
    // bus at once and its host registers seconds later, and the icon still becomes an item,
    // not an embedded window.
    void statusNotifierHost_data()
    {
        QTest::addColumn<int>("hostAfterMs"); // -1: watcher and host before the program
        QTest::addColumn<bool>("grouped");    // menu clicks in an EventGroup, as GTK sends them
        QTest::newRow("host there first") << -1 << false;
        QTest::newRow("watcher first, its host 3 s later; GTK's clicks") << 3000 << true;
    }
    void statusNotifierHost()
    {
        QFETCH(int, hostAfterMs);
        QFETCH(bool, grouped);
        StatusNotifierHost host;
        QVERIFY(host.start(hostAfterMs < 0));
        auto copy = start();
        if (hostAfterMs >= 0)
            host.registerHost(hostAfterMs);
        // The main window on screen (Qt may give it a new X window when it shows again).
        const auto shown = [] { return waitForWindow(QStringLiteral("Morvex"), 0) != 0; };
        QVERIFY(waitForWindow(QStringLiteral("Morvex")));
        QTRY_COMPARE_WITH_TIMEOUT(host.items().size(), 1, 5000 + qMax(hostAfterMs, 0));
        const QString item = host.items().constFirst();
        QCOMPARE(icons(), 0); // not in the XEmbed tray besides
        QCOMPARE(host.toolTip(item), QStringLiteral("Morvex Mail Notifier."));
        QCOMPARE(host.property(item, QStringLiteral("Category")).toString(),
                 QStringLiteral("Communications"));
        QCOMPARE(host.property(item, QStringLiteral("Title")).toString(), QStringLiteral("Morvex"));
        // The picture itself, in the sizes panels draw, as the icon theme has it.
        QList<int> sizes;
        for (const QImage &picture : host.icon(item)) {
            const QString themed =
                QStringLiteral(MORVEX_ICONS_DIR "/%1x%1/apps/morvex.png").arg(picture.width());
            QCOMPARE(picture, QImage(themed).convertToFormat(QImage::Format_ARGB32));
            sizes << picture.width();
        }
        QCOMPARE(sizes, QList<int>({16, 22, 24, 32, 48, 64}));

        QVERIFY(host.activate(item));
        QTRY_VERIFY_WITH_TIMEOUT(!shown(), 3000);
        QTest::qWait(500); // longer than a double-click
        // A double-click on a host that activates at every click: one toggle.
        QVERIFY(host.activate(item));
        QVERIFY(host.activate(item));
        QTRY_VERIFY_WITH_TIMEOUT(shown(), 3000);
        QTest::qWait(1000);
        QVERIFY(shown());

        const QString exit = QStringLiteral("Exit Morvex\u2026");
        QCOMPARE(host.menu(item),
                 QStringList({"Hide Morvex", "Check Now", "About Morvex", "-", exit}));
        QVERIFY(host.clickMenu(item, QStringLiteral("About Morvex"), grouped));
        QVERIFY(waitForWindow(QStringLiteral("About Morvex")));
        QVERIFY(shown()); // the main window does not change
        // A host that calls for a context menu instead (Plasma, for an item without one).
        QVERIFY(host.contextMenu(item));
        QTest::qWait(300);
        QCOMPARE(XTools::windowsNamed(QStringLiteral("About Morvex")).size(), 1);
        QVERIFY(host.clickMenu(item, QStringLiteral("Hide Morvex"), grouped));
        QTRY_VERIFY_WITH_TIMEOUT(!shown(), 3000);
        QCOMPARE(host.menu(item).value(0), QStringLiteral("Show Morvex"));
        QVERIFY(host.clickMenu(item, QStringLiteral("Show Morvex"), grouped));
        QTRY_VERIFY_WITH_TIMEOUT(shown(), 3000);

        // The exit confirmation, as "Close" opens it; "Exit" has the focus.
        QVERIFY(host.clickMenu(item, exit, grouped));
        const quint64 confirm = waitForWindow(QStringLiteral("Exit Morvex"));
        QVERIFY2(confirm, "no exit confirmation");
        pressOn(confirm, QStringLiteral("space"));
        QVERIFY(ended(*copy));
        QCOMPARE(copy->exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(host.items().isEmpty(), 3000);
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
