#include "XTools.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// How the program comes up as it starts at login: with "Minimize at startup" ticked only its
// tray icon appears, otherwise its main window shows too.
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

private Q_SLOTS:
    void initTestCase()
    {
        if (!XTools::available() || !XTools::trayHost())
            QSKIP("needs an X server with a tray host: run through scripts/with-x");
    }

    void startMode_data()
    {
        QTest::addColumn<QString>("atStart");
        QTest::addColumn<bool>("windowShown");
        QTest::newRow("minimised to the tray") << QStringLiteral("Min") << false;
        QTest::newRow("window shown") << QStringLiteral("Max") << true;
    }

    void startMode()
    {
        QFETCH(QString, atStart);
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

        QTest::qWait(2000);
        const int iconCount = icons();
        const QSet<quint64> appeared = viewableTopLevels() - before;
        const QList<quint64> mainWindows = XTools::windowsNamed(QStringLiteral("Morvex"));
        QStringList names;
        for (const quint64 id : appeared)
            names << QString::number(id, 16);
        const bool running = process.state() == QProcess::Running;
        if (running) {
            ::kill(pid_t(process.processId()), SIGTERM);
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(2000);
            }
        }

        QVERIFY(running);
        QCOMPARE(iconCount, 1);
        if (windowShown) {
            QCOMPARE(appeared.size(), 1);
            QVERIFY(mainWindows.contains(*appeared.begin()));
        } else {
            QVERIFY2(appeared.isEmpty(), qPrintable(QStringLiteral("windows on screen: ") +
                                                    names.join(QStringLiteral(", "))));
        }
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
