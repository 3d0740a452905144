#include "XTools.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <unistd.h>

// scripts/demo as someone trying Morvex runs it: the notification window pops up for the
// changes the demo makes to its throwaway mailbox, and nothing the demo started outlives it,
// whether it runs out its time or is stopped with Ctrl-C.
class TestDemo : public QObject {
    Q_OBJECT

    // Morvex checks 10 s after it starts and then once a minute, the shortest interval; a
    // Qt timer may fire a little early, which moves the second check from 70 s to 80 s.
    // 90 s holds the first check and the second one with a margin; 60 s cannot.
    static constexpr int DemoSeconds = 90;

    struct Started {
        qint64 morvex = 0;
        qint64 dovecot = 0;
        QString sandbox; // the demo's temporary directory holds the sandbox and the settings
    };

    std::unique_ptr<QProcess> m_demo;
    QString m_output;

    void startDemo(const QStringList &arguments)
    {
        m_output.clear();
        m_demo = std::make_unique<QProcess>();
        m_demo->setProcessChannelMode(QProcess::MergedChannels);
        // Its own process group, so that a Ctrl-C can be sent to the demo and its children
        // alike, as a terminal does.
        m_demo->setChildProcessModifier([] { ::setsid(); });
        m_demo->start(QStringLiteral(MORVEX_SOURCE_DIR "/scripts/demo"),
                      QStringList{QStringLiteral("--binary"), QStringLiteral(MORVEX_BINARY)} +
                          arguments);
    }

    void readOutput()
    {
        if (m_demo)
            m_output += QString::fromLocal8Bit(m_demo->readAll());
    }

    Started started() const
    {
        Started s;
        const auto morvex =
            QRegularExpression(QStringLiteral("Morvex \\(pid (\\d+)\\)")).match(m_output);
        const auto dovecot =
            QRegularExpression(QStringLiteral("Dovecot \\(pid (\\d+)\\) on \\S+, sandbox (\\S+),"))
                .match(m_output);
        if (morvex.hasMatch())
            s.morvex = morvex.captured(1).toLongLong();
        if (dovecot.hasMatch()) {
            s.dovecot = dovecot.captured(1).toLongLong();
            s.sandbox = dovecot.captured(2);
        }
        return s;
    }

    // Viewable top-level windows that are a notification window: by its name, or by its
    // fixed 295 x 104 size.
    static QList<quint64> notificationWindows()
    {
        static const QRegularExpression row(QStringLiteral(
            "^\\s+(0x[0-9a-f]+) (\"[^\"]*\"|\\(has no name\\)).*?\\s(\\d+)x(\\d+)[+-]"));
        QList<quint64> found;
        const QString tree = XTools::run(QStringLiteral("xwininfo"), {"-root", "-children"});
        for (const QString &line : tree.split(u'\n')) {
            const auto m = row.match(line);
            if (!m.hasMatch())
                continue;
            const bool named = m.captured(2) == u"\"Morvex notification\"";
            const bool sized = m.captured(3) == u"295" && m.captured(4) == u"104";
            const quint64 id = m.captured(1).toULongLong(nullptr, 16);
            if ((named || sized) && XTools::viewable(id))
                found << id;
        }
        return found;
    }

    static bool alive(qint64 pid)
    {
        // A zombie has ended; only its parent has not collected it yet.
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        return close > 0 && text.mid(close + 2, 1) != "Z";
    }

    // Processes whose command line or environment mentions `text`.
    static QStringList processesMentioning(const QString &text)
    {
        QStringList found;
        const QByteArray needle = text.toLocal8Bit();
        const QString self = QString::number(QCoreApplication::applicationPid());
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            if (pid.toLongLong() <= 0 || pid == self)
                continue;
            for (const char *what : {"cmdline", "environ"}) {
                QFile file(QStringLiteral("/proc/%1/%2").arg(pid, QLatin1String(what)));
                if (file.open(QIODevice::ReadOnly) && file.readAll().contains(needle) &&
                    alive(pid.toLongLong())) {
                    found << pid;
                    break;
                }
            }
        }
        return found;
    }

    void verifyNothingLeft(const Started &s)
    {
        QVERIFY2(s.morvex > 0 && s.dovecot > 0 && !s.sandbox.isEmpty(), qPrintable(m_output));
        QVERIFY2(!alive(s.morvex), "Morvex is still running");
        QVERIFY2(!alive(s.dovecot), "the demo's Dovecot is still running");
        const QString tmp = QFileInfo(s.sandbox).path();
        QVERIFY2(tmp.contains(QStringLiteral("morvex-demo")), qPrintable(tmp));
        const QStringList left = processesMentioning(tmp);
        QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("still running: ") + left.join(u' ')));
        QVERIFY2(!QFileInfo::exists(tmp), qPrintable(tmp + QStringLiteral(" is left behind")));
        QCOMPARE(XTools::trayIcons(QStringLiteral("Morvex")).size(), 0);
    }

    // Runs the event loop until the demo ends, at most timeoutMs.
    bool waitForDemo(int timeoutMs)
    {
        const bool ended =
            m_demo->state() == QProcess::NotRunning || m_demo->waitForFinished(timeoutMs);
        readOutput();
        return ended;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!XTools::available() || !XTools::trayHost())
            QSKIP("needs an X server with a tray host: run through scripts/with-x");
        if (::geteuid() != 0)
            QSKIP("the demo's Dovecot needs root");
    }

    void cleanup()
    {
        if (m_demo && m_demo->state() != QProcess::NotRunning) {
            // A failed check leaves the demo running: end it as Ctrl-C would.
            ::kill(-pid_t(m_demo->processId()), SIGINT);
            if (!m_demo->waitForFinished(30000)) {
                ::kill(-pid_t(m_demo->processId()), SIGKILL);
                m_demo->waitForFinished(5000);
            }
        }
        m_demo.reset();
    }

    void notificationsPopUp()
    {
        startDemo({QStringLiteral("--seconds"), QString::number(DemoSeconds)});
        QVERIFY(m_demo->waitForStarted(5000));

        QList<quint64> popups;
        QStringList shots;
        QStringList seenAt;
        QElapsedTimer clock;
        clock.start();
        const QDeadlineTimer deadline((DemoSeconds + 60) * 1000);
        while (m_demo->state() != QProcess::NotRunning && !deadline.hasExpired()) {
            for (const quint64 id : notificationWindows()) {
                if (popups.contains(id))
                    continue;
                popups << id;
                seenAt << QStringLiteral("%1 s").arg(clock.elapsed() / 1000);
                // The whole screen: the pop-up in front of the main window.
                shots << XTools::screenshot(
                    QStringLiteral("demo-notification-%1").arg(popups.size()),
                    QRect(0, 0, 1024, 768));
            }
            readOutput();
            QTest::qWait(300);
        }
        QVERIFY2(waitForDemo(30000), "the demo did not end");
        if (m_demo->exitCode() == 77)
            QSKIP("the demo's Dovecot cannot run here");
        QVERIFY2(m_demo->exitStatus() == QProcess::NormalExit && m_demo->exitCode() == 0,
                 qPrintable(m_output));
        QVERIFY2(m_output.count(QStringLiteral("dropped a message in")) >= 3, qPrintable(m_output));

        QVERIFY2(popups.size() >= 2,
                 qPrintable(QStringLiteral("%1 notification(s), at %2\n%3")
                                .arg(popups.size())
                                .arg(seenAt.join(QStringLiteral(", ")), m_output)));
        const QImage first(shots.at(0));
        const QImage second(shots.at(1));
        QVERIFY2(!first.isNull() && !second.isNull(), "no screenshot");
        QVERIFY2(first != second, "the second notification shows what the first did");
        verifyNothingLeft(started());
    }

    void ctrlCStopsEverything()
    {
        startDemo({});
        QVERIFY(m_demo->waitForStarted(5000));
        // Until Morvex's window is up.
        const QDeadlineTimer deadline(30000);
        bool up = false;
        while (!up && m_demo->state() == QProcess::Running && !deadline.hasExpired()) {
            readOutput();
            for (const quint64 id : XTools::windowsNamed(QStringLiteral("Morvex")))
                up = up || XTools::viewable(id);
            QTest::qWait(200);
        }
        readOutput();
        if (m_demo->state() == QProcess::NotRunning && m_demo->exitCode() == 77)
            QSKIP("the demo's Dovecot cannot run here");
        QVERIFY2(up, qPrintable(m_output));
        const Started s = started();
        QVERIFY2(alive(s.morvex) && alive(s.dovecot), qPrintable(m_output));

        ::kill(-pid_t(m_demo->processId()), SIGINT);
        QVERIFY2(waitForDemo(30000), "the demo did not end on Ctrl-C");
        QCOMPARE(m_demo->exitCode(), 130);
        verifyNothingLeft(s);
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
