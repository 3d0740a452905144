#include "Dovecot.h"
#include "XTools.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The program in a Wayland session as a user starts it, from the session's own
// environment: it runs through XWayland, shows its window, checks a mailbox on loopback and
// pops up the notification.
class TestWayland : public QObject {
    Q_OBJECT

    // Waits (bounded) for a top-level window with this name to be on screen.
    static quint64 waitForWindow(const QString &name, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            for (const quint64 id : XTools::windowsNamed(name))
                if (XTools::viewable(id))
                    return id;
            QTest::qWait(250);
        }
        return 0;
    }

    // The stored form of a password: every character c as 255 - c, in the store's escapes.
    static QByteArray stored(const QByteArray &password)
    {
        QByteArray out;
        for (const char c : password)
            out += QByteArray("\\x") + QByteArray::number(255 - uchar(c), 16);
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !XTools::available()) {
            if (Dovecot::required())
                QFAIL("CI=true but no Wayland session: run through scripts/with-wayland");
            QSKIP("needs a Wayland session with Xwayland: run through scripts/with-wayland");
        }
    }

    void checksAndNotifiesThroughXWayland()
    {
        MORVEX_REQUIRE_DOVECOT();
        Dovecot dovecot;
        QVERIFY2(dovecot.start(3), qPrintable(dovecot.errorString()));

        QTemporaryDir home;
        const QString config = home.path() + QStringLiteral("/config");
        QVERIFY(QDir().mkpath(config));
        QFile settings(config + QStringLiteral("/MoRvEx.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("[Settings]\nServer=127.0.0.1:" + QByteArray::number(dovecot.port()) +
                       "\nUser=" + Dovecot::user().toLatin1() + "\nPass=" +
                       stored(Dovecot::password().toLatin1()) + "\nInterval=5\nAtStart=Max\n");
        settings.close();

        // The session's environment as it is: WAYLAND_DISPLAY and DISPLAY, no platform chosen.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        QVERIFY(!env.contains(QStringLiteral("QT_QPA_PLATFORM")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        QProcess morvex;
        morvex.setProcessEnvironment(env);
        morvex.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        morvex.start(QStringLiteral(MORVEX_BINARY), {});
        QVERIFY(morvex.waitForStarted(5000));

        // Its windows are X windows: it runs through XWayland, not as a Wayland client.
        const quint64 main = waitForWindow(QStringLiteral("Morvex"), 15000);
        // The first check comes 10 s after the start; 3 messages where there were none.
        const quint64 notification =
            main ? waitForWindow(QStringLiteral("Morvex notification"), 40000) : 0;
        const bool running = morvex.state() == QProcess::Running;
        if (running) {
            ::kill(pid_t(morvex.processId()), SIGTERM);
            if (!morvex.waitForFinished(10000)) {
                morvex.kill();
                morvex.waitForFinished(5000);
            }
        }
        QVERIFY2(main, "no main window on the XWayland display");
        QVERIFY2(notification,
                 qPrintable(QStringLiteral("no notification; Dovecot's log:\n") + dovecot.log()));
        QVERIFY(running);
        QCOMPARE(morvex.exitStatus(), QProcess::NormalExit);
        QCOMPARE(morvex.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestWayland)
#include "tst_wayland.moc"
