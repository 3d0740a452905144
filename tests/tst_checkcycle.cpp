#include "FakeTicks.h"
#include "FakeWindow.h"
#include "ScriptedControl.h"
#include "mail/CheckCycle.h"
#include "mail/NetworkState.h"
#include "mail/Pop3Codes.h"

#include <QTest>

namespace {
const QString Unable = QStringLiteral("     Unable to connect and check mail at this time...");
const QString LoginError = QStringLiteral("  ERROR, Incorrect Login information provided.");
const QString NoDataError = QStringLiteral("  ERROR, Connection established but no data recieved.");
const QString NetworkDown = QStringLiteral("  Network down: will check when it is back.");
using Reachability = NetworkState::Reachability;
} // namespace

class TestCheckCycle : public QObject {
    Q_OBJECT

    struct Rig {
        FakeTicks ticks{5000};
        MailboxState fields;
        FakeWindow window{&fields};
        ScriptedControl control;
        CheckCycle cycle{window, control, fields, ticks};
    };

private Q_SLOTS:
    void resultCodes_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("statLbl");
        QTest::addColumn<bool>("success");
        QTest::newRow("0 success") << 0 << "Mailbox checked."
                                   << "   Mailbox checked." << true;
        QTest::newRow("15 login") << 15 << "Login refused" << LoginError << false;
        QTest::newRow("11 no data") << 11 << "No greeting" << NoDataError << false;
        QTest::newRow("7 other") << 7 << "Bad things"
                                 << "   Bad things" << false;
        QTest::newRow("3 timeout") << 3 << "Timed out"
                                   << "   Timed out" << false;
        // A server giving less than it gave before is a failure like any other, retried in
        // a minute, and never shown as a wrong login.
        QTest::newRow("29 protection lowered")
            << int(Pop3Code::ProtectionLowered) << "TLS no longer offered; password not sent."
            << "   TLS no longer offered; password not sent." << false;
    }
    void resultCodes()
    {
        QFETCH(int, error);
        QFETCH(QString, status);
        QFETCH(QString, statLbl);
        QFETCH(bool, success);
        Rig r;
        r.fields.oldCount = 2;
        r.fields.newCount = 2;
        r.fields.nextTick = 777;
        r.control.error = error;
        r.control.status = status;
        r.control.count = 3;
        r.control.duringCheck = [&] {
            QCOMPARE(r.window.statLbl, QStringLiteral(" Checking Mail..."));
            QCOMPARE(r.window.newLbl, QString());
            QVERIFY(!r.window.cmdCheckEnabled);
            QVERIFY(!r.window.tim2Enabled);
        };
        r.window.tim2Enabled = false; // "Check Now" turns a stopped scheduler back on
        r.cycle.cmdCheck_Click();

        QCOMPARE(r.window.statLbl, statLbl);
        QCOMPARE(r.control.closes, 1);
        QVERIFY(r.window.cmdCheckEnabled);
        QVERIFY(r.window.tim2Enabled);
        if (success) {
            QVERIFY2(r.window.newLbl.startsWith(QStringLiteral("  3 Mails In InBox  [ ")),
                     qPrintable(r.window.newLbl));
            QVERIFY(r.window.newLbl.endsWith(QStringLiteral(" ]")));
            QCOMPARE(r.fields.oldCount, 3);
            QCOMPARE(r.window.log.logIdx(), 1);
            QCOMPARE(r.window.log.logText(1), QStringLiteral("1 New Message"));
            QCOMPARE(r.fields.nextTick, 777);
        } else {
            QCOMPARE(r.window.newLbl, Unable);
            QCOMPARE(r.fields.oldCount, 2);
            QCOMPARE(r.fields.newCount, 2);
            QCOMPARE(r.window.log.logIdx(), 0);
            QCOMPARE(r.fields.nowTick, 5000);
            QCOMPARE(r.fields.nextTick, 65000);
        }
    }

    void controlGetsTrimmedTexts()
    {
        Rig r;
        r.window.texts[1] = QStringLiteral("  pop.example.org ");
        r.window.texts[2] = QStringLiteral("\tuser ");
        r.window.texts[3] = QStringLiteral("    ");
        r.cycle.cmdCheck_Click();
        QCOMPARE(r.control.host, QStringLiteral("pop.example.org"));
        QCOMPARE(r.control.user, QStringLiteral("\tuser")); // only blanks are trimmed
        QCOMPARE(r.control.password, QString());
        QCOMPARE(r.control.calls.mid(0, 4),
                 QStringList({"pophostname", "popusername", "poppassword", "popCheck"}));
    }

    void countSequence_data()
    {
        QTest::addColumn<QList<qint64>>("counts");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("empty mailbox logs nothing") << QList<qint64>{0, 0} << QStringList{};
        QTest::newRow("same count twice") << QList<qint64>{3, 3} << QStringList{"3 New Messages"};
        QTest::newRow("grow and shrink")
            << QList<qint64>{3, 5, 2, 1}
            << QStringList{"3 New Messages", "2 New Messages", "3 Messages Less", "1 Message Less"};
        QTest::newRow("above 16 bits") << QList<qint64>{40000} << QStringList{"40000 New Messages"};
    }
    void countSequence()
    {
        QFETCH(QList<qint64>, counts);
        QFETCH(QStringList, entries);
        Rig r;
        for (qint64 count : counts) {
            r.control.count = count;
            r.cycle.cmdCheck_Click();
            QVERIFY(r.window.newLbl.startsWith(QStringLiteral("  %1 Mails").arg(count)));
        }
        QStringList logged;
        for (int row = 1; row <= r.window.log.logIdx(); ++row)
            logged << r.window.log.logText(row);
        QCOMPARE(logged, entries);
    }

    void failedCheckKeepsLastGoodCount()
    {
        Rig r;
        r.control.count = 4;
        r.cycle.cmdCheck_Click();
        r.control.error = 4;
        r.control.count = 99;
        r.cycle.cmdCheck_Click();
        r.control.error = 0;
        r.control.count = 4;
        r.cycle.cmdCheck_Click();
        QCOMPARE(r.window.log.logIdx(), 1); // 0 -> 4 only; the failure in between is no change
    }

    // Every statement runs on its own: a member that throws drops only its own step.
    void failingMembers_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<bool>("onWindow");
        QTest::addColumn<QString>("statLbl");
        QTest::addColumn<QString>("newLblStart");
        QTest::addColumn<int>("logIdx");
        QTest::addColumn<int>("oldCount");
        QTest::newRow("popCheck") << "popCheck" << false << "   OK"
                                  << "  3 Mails" << 1 << 3;
        QTest::newRow("popStatus") << "popStatus" << false << " Checking Mail..."
                                   << "  3 Mails" << 1 << 3;
        // Reading the result code fails: the success branch runs.
        QTest::newRow("popError") << "popError" << false << "   OK"
                                  << "  3 Mails" << 1 << 3;
        // The count cannot be read: the old count is shown with a fresh time, nothing logged.
        QTest::newRow("popCount") << "popCount" << false << "   OK"
                                  << "  0 Mails" << 0 << 0;
        QTest::newRow("popClose") << "popClose" << false << "   OK"
                                  << "  3 Mails" << 1 << 3;
        // The change counts as seen although logChange failed.
        QTest::newRow("logChange") << "logChange" << true << "   OK"
                                   << "  3 Mails" << 0 << 3;
        QTest::newRow("setNewLbl") << "setNewLbl" << true << "   OK"
                                   << "" << 1 << 3;
    }
    void failingMembers()
    {
        QFETCH(QString, member);
        QFETCH(bool, onWindow);
        QFETCH(QString, statLbl);
        QFETCH(QString, newLblStart);
        QFETCH(int, logIdx);
        QFETCH(int, oldCount);
        Rig r;
        r.control.count = 3;
        (onWindow ? r.window.failing : r.control.failing).insert(member.toStdString());
        r.cycle.cmdCheck_Click();
        QCOMPARE(r.window.statLbl, statLbl);
        QCOMPARE(r.window.newLbl.left(newLblStart.size()), newLblStart);
        QCOMPARE(r.window.log.logIdx(), logIdx);
        QCOMPARE(r.fields.oldCount, oldCount);
        QVERIFY(r.window.cmdCheckEnabled);
        QVERIFY(r.window.tim2Enabled);
        QVERIFY(!r.cycle.isRunning());
    }

    void failedErrorReadAfterFailureWritesBothTexts()
    {
        // popError answers 7 once (failure branch), then throws: both error texts are written
        // in turn, the later one stays.
        Rig r;
        int reads = 0;
        struct Control : ScriptedControl {
            int *reads;
            int popError() const override
            {
                if (++*reads > 1)
                    throw std::runtime_error("popError");
                return 7;
            }
        } control;
        control.reads = &reads;
        CheckCycle cycle(r.window, control, r.fields, r.ticks);
        cycle.cmdCheck_Click();
        QCOMPARE(r.window.statHistory.mid(r.window.statHistory.size() - 2),
                 QStringList({LoginError, NoDataError}));
        QCOMPARE(r.window.newLbl, Unable);
        QCOMPARE(r.fields.nextTick, 65000);
    }

    void countOutOfRangeIsDropped_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::newRow("above 32 bits") << qint64(1) + std::numeric_limits<qint32>::max();
        QTest::newRow("far below") << qint64(std::numeric_limits<qint32>::min()) - 1;
    }
    void countOutOfRangeIsDropped()
    {
        QFETCH(qint64, count);
        Rig r;
        r.control.count = 7;
        r.cycle.cmdCheck_Click();
        r.control.count = count;
        r.cycle.cmdCheck_Click();
        QCOMPARE(r.fields.newCount, 7);
        QCOMPARE(r.window.log.logIdx(), 1);
    }

    // While the network is away a check does not try the server; a check that loses it shows
    // the failure it reported, as any other.
    void networkAway_data()
    {
        QTest::addColumn<Reachability>("reachability");
        QTest::addColumn<bool>("portal");
        // "resumed" before the check, "lost" during it (also after a refused login), or
        // "routed": a default route is there
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("checks");
        QTest::addColumn<QString>("statLbl");
        QTest::addColumn<QString>("newLbl");
        QTest::addColumn<qint64>("nextTick");
        const QString counted = QStringLiteral("  3 Mails");
        const QString kept = QStringLiteral("  2 Mails In InBox  [ earlier ]");
        QTest::newRow("down: no login, count line kept")
            << Reachability::Disconnected << false << "" << 0 << NetworkDown << kept << qint64(777);
        QTest::newRow("down, but a default route: the network is left to another tool")
            << Reachability::Disconnected << false << "routed" << 1 << "   OK" << counted
            << qint64(777);
        QTest::newRow("captive portal")
            << Reachability::Site << true << "" << 0
            << "  Captive portal: will check after you sign in." << kept << qint64(777);
        QTest::newRow("resumed, the network not back yet")
            << Reachability::Unknown << false << "resumed" << 0
            << "  Waiting for the network to come back..." << kept << qint64(777);
        QTest::newRow("unknown, as without a backend")
            << Reachability::Unknown << false << "" << 1 << "   OK" << counted << qint64(777);
        QTest::newRow("site") << Reachability::Site << false << "" << 1 << "   OK" << counted
                              << qint64(777);
        QTest::newRow("lost during the check") << Reachability::Online << false << "lost" << 1
                                               << "   Timed out" << Unable << qint64(65000);
        QTest::newRow("lost during a refused login")
            << Reachability::Online << false << "lost, refused" << 1 << LoginError << Unable
            << qint64(65000);
    }
    void networkAway()
    {
        QFETCH(Reachability, reachability);
        QFETCH(bool, portal);
        QFETCH(QString, event);
        QFETCH(int, checks);
        QFETCH(QString, statLbl);
        QFETCH(QString, newLbl);
        QFETCH(qint64, nextTick);
        Rig r;
        NetworkState network(r.ticks);
        CheckCycle cycle(r.window, r.control, r.fields, r.ticks, &network);
        if (event == u"routed")
            network.setDefaultRoute(true);
        network.setReachability(reachability);
        network.setBehindPortal(portal);
        if (event == u"resumed")
            network.resumed();
        r.window.newLbl = QStringLiteral("  2 Mails In InBox  [ earlier ]");
        r.fields.nextTick = 777;
        r.control.count = 3;
        r.control.duringCheck = [&] {
            if (!event.startsWith(u"lost"))
                return;
            network.setReachability(Reachability::Disconnected);
            r.control.error = event == u"lost" ? 3 : 15;
            r.control.status = QStringLiteral("Timed out");
        };
        cycle.cmdCheck_Click();
        QCOMPARE(r.control.checks, checks);
        QCOMPARE(r.window.statLbl, statLbl);
        QCOMPARE(r.window.newLbl.left(newLbl.size()), newLbl);
        QCOMPARE(r.fields.nextTick, nextTick);
        QVERIFY(r.window.cmdCheckEnabled);
        QVERIFY(r.window.tim2Enabled);
    }

    // A server on the loopback needs no network: a check of it is never held.
    void loopbackNeverHeld_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("checks");
        QTest::newRow("127.0.0.1") << "127.0.0.1" << 1;
        QTest::newRow("127.3.4.5, a port") << "127.3.4.5:1110" << 1;
        QTest::newRow("localhost") << " LocalHost " << 1;
        QTest::newRow("::1") << "pop3s://[::1]" << 1;
        QTest::newRow("::1 written out") << "[0:0:0:0:0:0:0:1]:110" << 1;
        QTest::newRow("IPv4-mapped") << "[::ffff:127.0.0.1]" << 1;
        QTest::newRow("128.0.0.1") << "128.0.0.1" << 0;
        QTest::newRow("a name beginning with localhost") << "localhost.example.org" << 0;
    }
    void loopbackNeverHeld()
    {
        QFETCH(QString, server);
        QFETCH(int, checks);
        Rig r;
        NetworkState network(r.ticks);
        CheckCycle cycle(r.window, r.control, r.fields, r.ticks, &network);
        network.setServer([&] { return r.window.texts[size_t(PopWindow::Box::Text2)]; });
        network.setReachability(Reachability::Disconnected);
        r.window.texts[size_t(PopWindow::Box::Text2)] = server;
        cycle.cmdCheck_Click();
        QCOMPARE(r.control.checks, checks);
    }

    void noSecondCheckWhileOneRuns()
    {
        Rig r;
        r.control.duringCheck = [&] {
            if (r.control.checks == 1)
                r.cycle.cmdCheck_Click(); // a tick or click arriving while the control waits
        };
        r.cycle.cmdCheck_Click();
        QCOMPARE(r.control.checks, 1);
        QCOMPARE(r.control.closes, 1);
    }
};

QTEST_GUILESS_MAIN(TestCheckCycle)
#include "tst_checkcycle.moc"
