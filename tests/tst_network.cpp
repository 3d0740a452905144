#include "Dovecot.h"
#include "PrivateNetwork.h"
#include "ProgramState.h"
#include "SystemBus.h"
#include "app/MorvexApplication.h"
#include "app/frmPop.h"
#include "mail/NetworkManagerWatch.h"
#include "mail/Pop3Codes.h"
#include "mail/RouteMonitor.h"
#include "mail/Tarvik.h"
#include "settings/FlipChars.h"
#include "ui/GraphicalButton.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

const QString networkDown = QStringLiteral("  Network down: will check when it is back.");
const QString loginError = QStringLiteral("  ERROR, Incorrect Login information provided.");

// NetworkManager's global states and connectivity.
constexpr uint Asleep = 10;
constexpr uint Disconnected = 20;
constexpr uint Connecting = 40;
constexpr uint Site = 60;
constexpr uint Global = 70;
constexpr uint FullConnectivity = 4;

// Once NetworkManager says the network is back, the right count shows within this.
constexpr int backWithinMs = 10000;

using Reachability = QNetworkInformation::Reachability;

} // namespace

// The checks following the machine, end to end: the main window and the real POP3 client
// against a real Dovecot, with NetworkManager and logind played by python3-dbusmock on a
// private system bus, and the real program on a system bus with neither; all of it in a
// network namespace of the test's own (PrivateNetwork), whose default route and link the
// test takes away and gives back in step with the mock, as they go on a laptop. The server
// stays reachable whatever the routes say, so any check that tries it while the network is
// away shows as a connection in its log.
class TestNetwork : public QObject {
    Q_OBJECT

    std::unique_ptr<SystemBus> m_bus;
    std::unique_ptr<Dovecot> m_server;
    std::unique_ptr<ProgramState> m_state;

    static Tarvik &tarvik(frmPop &window) { return dynamic_cast<Tarvik &>(window.Tarvik1()); }

    // A window that has counted three messages; an hour between scheduled checks.
    std::unique_ptr<frmPop> openWindow()
    {
        const int now = m_server->messageCount();
        if (now < 0 || (now > 3 && !m_server->removeMessages(now - 3)) ||
            (now < 3 && !m_server->addMessages(3 - now)))
            return nullptr;
        auto window = std::make_unique<frmPop>();
        if (!window->Show())
            return nullptr;
        tarvik(*window).setPopport(m_server->port());
        window->Text5->setText(QStringLiteral("60"));
        window->setNext();
        window->Text2->setText(PrivateNetwork::serverAddress());
        window->Text3->setText(Dovecot::user());
        window->Text4->setText(Dovecot::password());
        click(*window);
        if (tarvik(*window).popError() != Pop3Code::Ok)
            qWarning("first check: %s", qPrintable(tarvik(*window).popStatus()));
        return window;
    }

    static void click(frmPop &window) { QTest::mouseClick(window.cmdCheck, Qt::LeftButton); }

    // Every connection Dovecot took, logged in or not, leaves a pop3-login line with the
    // client's address.
    int connections() const
    {
        int count = 0;
        for (const QString &line : m_server->log().split(u'\n'))
            if (line.contains(QLatin1String("pop3-login:")) && line.contains(QLatin1String("rip=")))
                ++count;
        return count;
    }

    // Whether the window heard what NetworkManager's state means.
    static bool sees(const frmPop &window, uint state)
    {
        const auto *info = window.findChild<NetworkManagerWatch *>();
        if (!info)
            return false;
        switch (info->reachability()) {
        case Reachability::Disconnected:
            return state == Disconnected;
        case Reachability::Site:
            return state == Site;
        case Reachability::Online:
            return state == Global;
        default:
            return state == Asleep || state == Connecting;
        }
    }

    // Plays NetworkManager's, logind's and the kernel's news ("nm STATE", "connectivity N",
    // "sleep", "wake", "route up|down"), each waited for until the window has heard it, and
    // "quiet MS": a while in which no check may try the server.
    bool say(const frmPop &window, const QStringList &steps)
    {
        for (const QString &step : steps) {
            const QStringList words = step.split(u' ');
            const uint value = words.value(1).toUInt();
            const bool up = words.value(1) == u"up";
            bool sent = false;
            if (words.first() == u"nm")
                sent = m_bus->setNetworkManagerState(value);
            else if (words.first() == u"connectivity")
                sent = m_bus->setConnectivity(value);
            else if (words.first() == u"route")
                sent = PrivateNetwork::setDefaultRoute(up);
            else if (words.first() == u"quiet")
                sent = quiet(int(value));
            else
                sent = m_bus->prepareForSleep(step == u"sleep");
            if (!sent) {
                qWarning("%s: %s", qPrintable(step), qPrintable(m_bus->errorString()));
                return false;
            }
            const auto *routes = window.findChild<RouteMonitor *>();
            const bool heard =
                words.first() == u"nm" ? QTest::qWaitFor([&] { return sees(window, value); })
                : words.first() == u"route"
                    ? QTest::qWaitFor([&] { return routes && routes->defaultRoute() == up; })
                    : true;
            if (!heard) {
                qWarning("%s: the program did not hear it", qPrintable(step));
                return false;
            }
        }
        return true;
    }

    // A while passes, and no check tries the server meanwhile.
    bool quiet(int ms)
    {
        const int before = connections();
        QTest::qWait(ms);
        return connections() == before;
    }

    static bool counts(frmPop &window, int count)
    {
        return window.newLbl->text().startsWith(
            QStringLiteral("  %1 Mails In InBox  [ ").arg(count));
    }

    // The real program on a system bus without NetworkManager and logind, checking the
    // server at `server`: it is started, `meanwhile` runs, and the first connection to the
    // server is waited for. Returns the milliseconds from the start to that connection
    // (the only one), or -1.
    qint64 firstCheckOfProgram(const QString &server,
                               const std::function<void(const QElapsedTimer &)> &meanwhile)
    {
        SystemBus bare;
        if (!bare.start()) {
            qWarning("%s", qPrintable(bare.errorString()));
            return -1;
        }
        ProgramState::storeSettings(
            {{QStringLiteral("Server"), QStringLiteral("%1:%2").arg(server).arg(m_server->port())},
             {QStringLiteral("User"), Dovecot::user()},
             {QStringLiteral("Pass"), flipChars(Dovecot::password())},
             {QStringLiteral("Interval"), QStringLiteral("60")}});
        const int before = connections();
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bare.address());
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        QElapsedTimer clock;
        clock.start();
        program.start(QStringLiteral(MORVEX_BINARY), {});
        if (program.waitForStarted(10000) && meanwhile)
            meanwhile(clock);
        while (connections() == before && !clock.hasExpired(30000) &&
               program.state() == QProcess::Running)
            QTest::qWait(100);
        const qint64 firstCheck = connections() == before + 1 ? clock.elapsed() : -1;
        program.terminate();
        if (!program.waitForFinished(10000)) {
            program.kill();
            program.waitForFinished(10000);
        }
        if (firstCheck < 0)
            qWarning("%s", qPrintable(m_server->log().right(2000)));
        return firstCheck;
    }

private Q_SLOTS:
    void initTestCase()
    {
        MORVEX_REQUIRE_DOVECOT();
        QString missing = SystemBus::unavailableReason();
        if (missing.isEmpty())
            missing = PrivateNetwork::setUp();
        if (!missing.isEmpty()) {
            if (Dovecot::required())
                QFAIL(qPrintable(QStringLiteral("CI=true but ") + missing));
            QSKIP(qPrintable(missing));
        }
        m_bus = std::make_unique<SystemBus>();
        QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
        QVERIFY2(m_bus->startMock(QStringLiteral("networkmanager"),
                                  QStringLiteral("org.freedesktop.NetworkManager")),
                 qPrintable(m_bus->errorString()));
        QVERIFY2(
            m_bus->startMock(QStringLiteral("logind"), QStringLiteral("org.freedesktop.login1")),
            qPrintable(m_bus->errorString()));
        // The program's system bus: set before anything in this process asks for one.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus->address().toLocal8Bit());
        qputenv("SANDBOX_LISTEN", PrivateNetwork::serverAddress().toLatin1());
        m_server = std::make_unique<Dovecot>();
        QVERIFY2(m_server->start(3), qPrintable(m_server->errorString()));
    }
    void cleanupTestCase()
    {
        m_server.reset();
        m_bus.reset();
    }

    void init()
    {
        m_state = std::make_unique<ProgramState>();
        QVERIFY2(m_bus->setConnectivity(FullConnectivity) && m_bus->setNetworkManagerState(Global),
                 qPrintable(m_bus->errorString()));
        QVERIFY(PrivateNetwork::setCarrier(true) && PrivateNetwork::setDefaultRoute(true));
    }
    void cleanup() { m_state.reset(); }

    // NetworkManager, logind and the kernel say the network went away (see say()), the
    // mailbox changes by `delta`, and a click on "Check Now" and a due tick only say `held`
    // (no click where it is empty: a while passes instead); then they say it is back, and
    // the new count must show within backWithinMs, from the one check that tried the server.
    void awayThenBack_data()
    {
        QTest::addColumn<QStringList>("away");
        QTest::addColumn<QString>("held");
        QTest::addColumn<int>("delta");
        QTest::addColumn<QStringList>("back");
        QTest::newRow("offline, then online: the route first")
            << QStringList{"nm 20", "route down"} << networkDown << 2
            << QStringList{"route up", "nm 70"};
        QTest::newRow("offline, then online: NetworkManager first")
            << QStringList{"route down", "nm 20"} << networkDown << 1
            << QStringList{"nm 70", "quiet 3000", "route up"};
        // Suspended, NetworkManager asleep; after the resume it takes a while to connect.
        // No check was due (an hour between them), but mail may have come meanwhile.
        QTest::newRow("resume, then online")
            << QStringList{"sleep", "nm 10", "route down", "wake", "nm 20", "nm 40"} << QString()
            << -1 << QStringList{"route up", "nm 70"};
        // NetworkManager leaves the links to ifupdown and says "disconnected" throughout,
        // asleep or not; the default route stays.
        QTest::newRow("NetworkManager says disconnected, a default route: resume")
            << QStringList{"nm 20", "sleep", "nm 10"} << QString() << 2
            << QStringList{"wake", "nm 20"};
        QTest::newRow("captive portal, then signed in")
            << QStringList{"connectivity 2", "nm 60"}
            << "  Captive portal: will check after you sign in." << 1
            << QStringList{"connectivity 4", "nm 70"};
    }
    void awayThenBack()
    {
        QFETCH(QStringList, away);
        QFETCH(QString, held);
        QFETCH(int, delta);
        QFETCH(QStringList, back);
        auto window = openWindow();
        QVERIFY(window && counts(*window, 3));

        QVERIFY(say(*window, away));
        QVERIFY(delta > 0 ? m_server->addMessages(delta) : m_server->removeMessages(-delta));
        const QString countLine = window->newLbl->text();
        const int before = connections();
        if (held.isEmpty()) {
            QTest::qWait(3000);
        } else {
            click(*window);
            QCOMPARE(window->statLbl->text(), held);
            QCOMPARE(window->newLbl->text(), countLine);
            // An automatic check that falls due meanwhile does not try either.
            window->fields().nextTick = 0;
            window->Tim2_Timer();
            QCOMPARE(window->statLbl->text(), held);
            QCOMPARE(window->newLbl->text(), countLine);
        }
        QCOMPARE(connections(), before);

        QVERIFY(say(*window, back));
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(counts(*window, 3 + delta), backWithinMs);
        qInfo("counted %lld ms after the network was back", clock.elapsed());
        QVERIFY2(window->statLbl->text().startsWith(QStringLiteral("   Mailbox checked")),
                 qPrintable(window->statLbl->text()));
        QCOMPARE(connections(), before + 1);
    }

    // A refused login stays on the status line while the network is away, through a click
    // and a due tick that it holds back, until the check that comes with the network's
    // return ends.
    void refusalStaysThroughADrop()
    {
        auto window = openWindow();
        QVERIFY(window && counts(*window, 3));
        window->Text4->setText(QStringLiteral("wrong"));
        click(*window);
        QCOMPARE(window->statLbl->text(), loginError);

        QVERIFY(say(*window, {"nm 20", "route down"}));
        const int before = connections();
        click(*window);
        QCOMPARE(window->statLbl->text(), loginError);
        window->fields().nextTick = 0;
        window->Tim2_Timer();
        QCOMPARE(window->statLbl->text(), loginError);
        QVERIFY(quiet(2000));
        QCOMPARE(window->statLbl->text(), loginError);

        window->Text4->setText(Dovecot::password());
        QVERIFY(m_server->addMessages(1));
        QVERIFY(say(*window, {"route up", "nm 70"}));
        QTRY_VERIFY_WITH_TIMEOUT(counts(*window, 4), backWithinMs);
        QVERIFY2(window->statLbl->text().startsWith(QStringLiteral("   Mailbox checked")),
                 qPrintable(window->statLbl->text()));
        QCOMPARE(connections(), before + 1);
    }

    // Without NetworkManager and logind, the program checks as it always did: the first
    // check 10 s after it starts.
    void noNetworkManagerNorLogind()
    {
        const qint64 firstCheck = firstCheckOfProgram(QStringLiteral("127.0.0.1"), {});
        qInfo("first check %lld ms after the start", firstCheck);
        // The first tick of the 10-second timer, not before.
        QVERIFY2(firstCheck >= 9500, qPrintable(QString::number(firstCheck)));
    }

    // Without NetworkManager the program follows the kernel: started while the cable is
    // out (the default route there, but its link without carrier), its first due check is
    // held, with no connection; the cable back in, the check comes within backWithinMs.
    void noNetworkManagerCableOut()
    {
        QVERIFY(PrivateNetwork::setCarrier(false));
        qint64 back = -1;
        bool quietMeanwhile = false;
        const qint64 firstCheck =
            firstCheckOfProgram(PrivateNetwork::serverAddress(), [&](const QElapsedTimer &clock) {
                // Past the first tick, at 10 s.
                quietMeanwhile = quiet(13000);
                back = clock.elapsed();
                if (!PrivateNetwork::setCarrier(true))
                    back = -1;
            });
        QVERIFY(quietMeanwhile);
        QVERIFY(back > 0 && firstCheck > back);
        qInfo("checked %lld ms after the cable was back", firstCheck - back);
        QVERIFY2(firstCheck - back <= backWithinMs, qPrintable(QString::number(firstCheck)));
    }
};

int main(int argc, char **argv)
{
    // The mocks come from Debian's archive, which the namespace cannot reach.
    SystemBus::fetchMocksBeforeNamespace();
    // Before any thread: every thread and child of this test shares the namespace.
    PrivateNetwork::enter();
    MorvexApplication app(argc, argv);
    TestNetwork test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_network.moc"
