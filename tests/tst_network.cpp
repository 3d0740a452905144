#include "Dovecot.h"
#include "ProgramState.h"
#include "SystemBus.h"
#include "app/MorvexApplication.h"
#include "app/frmPop.h"
#include "mail/Pop3Codes.h"
#include "mail/Tarvik.h"
#include "settings/FlipChars.h"
#include "ui/GraphicalButton.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInformation>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

const QString networkDown = QStringLiteral("  Network down: will check when it is back.");

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
// private system bus, and the real program on a system bus with neither.
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
        // A laptop whose network is gone has no default route either; this machine has one.
        frmPop::Services services;
        services.defaultRoute = [] { return false; };
        auto window = std::make_unique<frmPop>(std::move(services));
        if (!window->Show())
            return nullptr;
        tarvik(*window).setPopport(m_server->port());
        window->Text5->setText(QStringLiteral("60"));
        window->setNext();
        window->Text2->setText(QStringLiteral("127.0.0.1"));
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

    // Whether the program's network information says what NetworkManager's state means.
    static bool sees(uint state)
    {
        const QNetworkInformation *info = QNetworkInformation::instance();
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

    // Plays NetworkManager's and logind's news, each step waited for until the program has
    // heard it.
    bool say(const QStringList &steps)
    {
        for (const QString &step : steps) {
            const QStringList words = step.split(u' ');
            const uint value = words.value(1).toUInt();
            bool sent = false;
            if (words.first() == u"nm")
                sent = m_bus->setNetworkManagerState(value);
            else if (words.first() == u"connectivity")
                sent = m_bus->setConnectivity(value);
            else
                sent = m_bus->prepareForSleep(step == u"sleep");
            if (!sent) {
                qWarning("%s: %s", qPrintable(step), qPrintable(m_bus->errorString()));
                return false;
            }
            if (words.first() == u"nm" && !QTest::qWaitFor([&] { return sees(value); })) {
                qWarning("%s: the program did not hear it", qPrintable(step));
                return false;
            }
        }
        return true;
    }

    static bool counts(frmPop &window, int count)
    {
        return window.newLbl->text().startsWith(
            QStringLiteral("  %1 Mails In InBox  [ ").arg(count));
    }

private Q_SLOTS:
    void initTestCase()
    {
        MORVEX_REQUIRE_DOVECOT();
        const QString missing = SystemBus::unavailableReason();
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
    }
    void cleanup() { m_state.reset(); }

    // NetworkManager and logind say the network went away ("nm STATE", "connectivity N",
    // "sleep", "wake"), the mailbox changes by `delta`, and a click on "Check Now" and a due
    // tick only say `held` (no click where it is empty: a while passes instead); then they
    // say it is back, and the new count must show within backWithinMs.
    void awayThenBack_data()
    {
        QTest::addColumn<QStringList>("away");
        QTest::addColumn<QString>("held");
        QTest::addColumn<int>("delta");
        QTest::addColumn<QStringList>("back");
        QTest::newRow("offline, then online")
            << QStringList{"nm 20"} << networkDown << 2 << QStringList{"nm 70"};
        // Suspended, NetworkManager asleep; after the resume it takes a while to connect.
        // No check was due (an hour between them), but mail may have come meanwhile.
        QTest::newRow("resume, then online")
            << QStringList{"sleep", "nm 10", "wake", "nm 20", "nm 40"} << QString() << -1
            << QStringList{"nm 70"};
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
        QCOMPARE(QNetworkInformation::instance()->backendName(), QStringLiteral("networkmanager"));

        QVERIFY(say(away));
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

        QElapsedTimer clock;
        clock.start();
        QVERIFY(say(back));
        QTRY_VERIFY_WITH_TIMEOUT(counts(*window, 3 + delta), backWithinMs);
        qInfo("counted %lld ms after NetworkManager said online", clock.elapsed());
        QCOMPARE(connections(), before + 1);
    }

    // Without NetworkManager and logind, the program checks as it always did: the first
    // check 10 s after it starts.
    void noNetworkManagerNorLogind()
    {
        SystemBus bare;
        QVERIFY2(bare.start(), qPrintable(bare.errorString()));
        ProgramState::storeSettings(
            {{QStringLiteral("Server"), QStringLiteral("127.0.0.1:%1").arg(m_server->port())},
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
        QVERIFY(program.waitForStarted(10000));
        while (connections() == before && !clock.hasExpired(30000) &&
               program.state() == QProcess::Running)
            QTest::qWait(100);
        const qint64 firstCheck = clock.elapsed();
        program.terminate();
        if (!program.waitForFinished(10000)) {
            program.kill();
            program.waitForFinished(10000);
        }
        qInfo("first check %lld ms after the start", firstCheck);
        QVERIFY2(connections() == before + 1, qPrintable(m_server->log().right(2000)));
        // The first tick of the 10-second timer, not before.
        QVERIFY2(firstCheck >= 9500, qPrintable(QString::number(firstCheck)));
    }
};

int main(int argc, char **argv)
{
    MorvexApplication app(argc, argv);
    TestNetwork test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_network.moc"
