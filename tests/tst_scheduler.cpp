#include "CheckRig.h"

#include <QTest>

using Box = PopWindow::Box;

class TestScheduler : public QObject {
    Q_OBJECT

    struct Rig : CheckRig {
        Rig()
            : CheckRig(10000)
        {
        }
        QString countdown() const { return window.texts[size_t(Box::Text1)]; }
        // One Tim2 tick, 10 s after the previous one.
        void tick()
        {
            ticks.advance(10000);
            scheduler.Tim2_Timer();
        }
    };

private Q_SLOTS:
    void firstTickChecks()
    {
        Rig r;
        r.scheduler.Tim2_Timer();
        QCOMPARE(r.control.checks, 1);
        QCOMPARE(r.countdown(), QStringLiteral(" 0")); // both counts still 0 at the first tick
        QCOMPARE(r.fields.nextTick, 10000 + 10 * 60000);
        QVERIFY(r.window.tim2Enabled);
    }

    void equalIsNotDue()
    {
        Rig r;
        r.fields.nextTick = 20000;
        r.ticks.set(20000);
        r.scheduler.Tim2_Timer();
        QCOMPARE(r.control.checks, 0);
        r.ticks.set(20001);
        r.scheduler.Tim2_Timer();
        QCOMPARE(r.control.checks, 1);
    }

    void countdown_data()
    {
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("shown");
        QTest::newRow("600000") << qint64(600000) << " 600000"
                                << "600";
        QTest::newRow("1500") << qint64(1500) << " 1500"
                              << "1";
        QTest::newRow("500") << qint64(500) << " 500"
                             << "0";
        QTest::newRow("50") << qint64(50) << " 50"
                            << "0";
        QTest::newRow("0 keeps its blank") << qint64(0) << " 0"
                                           << " 0";
        QTest::newRow("-20000") << qint64(-20000) << "-20000"
                                << "-20";
        QTest::newRow("-500") << qint64(-500) << "-500"
                              << "0";
        QTest::newRow("beyond 32 bits") << qint64(5000000000) << " 5000000000"
                                        << "5000000";
    }
    void countdown()
    {
        QFETCH(qint64, remaining);
        QFETCH(QString, written);
        QFETCH(QString, shown);
        QCOMPARE(Scheduler::countdownText(remaining), written);
        Rig r;
        r.fields.nowTick = 1'000'000'000;
        r.fields.nextTick = r.fields.nowTick + remaining;
        r.ticks.set(r.fields.nowTick - 1); // not due at this tick
        r.scheduler.Tim2_Timer();
        QCOMPARE(r.countdown(), shown);
    }

    void countdownShowsPreviousTick()
    {
        Rig r;
        r.scheduler.Tim2_Timer(); // checks, interval 10
        r.tick();
        QCOMPARE(r.countdown(), QStringLiteral("600"));
        r.tick();
        QCOMPARE(r.countdown(), QStringLiteral("590"));
    }

    void intervalTexts_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("boxAfter");
        QTest::addColumn<qint64>("aheadMs");
        QTest::newRow("0") << "0"
                           << "5" << qint64(300000);
        QTest::newRow("0.5") << "0.5"
                             << "5" << qint64(300000);
        QTest::newRow("abc") << "abc"
                             << "5" << qint64(300000);
        QTest::newRow("-2") << "-2"
                            << "5" << qint64(300000);
        QTest::newRow("empty") << ""
                               << "5" << qint64(300000);
        QTest::newRow("1") << "1"
                           << "1" << qint64(60000);
        QTest::newRow("2.5") << "2.5"
                             << "2.5" << qint64(150000);
        QTest::newRow("1.5 blanks") << " 1 .5 min"
                                    << " 1 .5 min" << qint64(90000);
        QTest::newRow("huge") << QString(400, u'9') << QString(400, u'9') << qint64(1e17);
    }
    void intervalTexts()
    {
        QFETCH(QString, interval);
        QFETCH(QString, boxAfter);
        QFETCH(qint64, aheadMs);
        Rig r;
        r.window.texts[size_t(Box::Text5)] = interval;
        r.scheduler.setNext();
        QCOMPARE(r.window.texts[size_t(Box::Text5)], boxAfter);
        QCOMPARE(r.fields.nextTick - r.fields.nowTick, aheadMs);
    }

    void retryAfterFailure_data()
    {
        QTest::addColumn<bool>("manual");
        QTest::addColumn<qint64>("ahead");
        QTest::newRow("Check Now retries in a minute") << true << qint64(60000);
        QTest::newRow("automatic check waits the interval") << false << qint64(600000);
    }
    void retryAfterFailure()
    {
        QFETCH(bool, manual);
        QFETCH(qint64, ahead);
        Rig r;
        r.control.error = 4;
        if (manual) {
            r.fields.nextTick = 1e9;
            r.cycle.cmdCheck_Click();
        } else {
            r.scheduler.Tim2_Timer();
        }
        QCOMPARE(r.fields.nextTick - r.ticks.now(), ahead);
        // Next automatic check at the first tick more than `ahead` later.
        const int checksBefore = r.control.checks;
        const qint64 due = r.fields.nextTick;
        while (r.ticks.now() + 10000 <= due) {
            r.tick();
            QCOMPARE(r.control.checks, checksBefore);
        }
        r.tick();
        QCOMPARE(r.control.checks, checksBefore + 1);
    }

    void emptyPasswordStopsTimer()
    {
        Rig r;
        r.window.texts[size_t(Box::Text4)] = QString();
        r.scheduler.Tim2_Timer(); // due: the check runs, then the timer is on again
        QCOMPARE(r.control.checks, 1);
        QVERIFY(r.window.tim2Enabled);
        r.tick(); // not due: stays off
        QVERIFY(!r.window.tim2Enabled);
        QCOMPARE(r.control.checks, 1);
        // A blank password is not empty.
        r.window.texts[size_t(Box::Text4)] = QStringLiteral(" ");
        r.window.tim2Enabled = true;
        r.tick();
        QVERIFY(r.window.tim2Enabled);
    }

    void failingPasswordReadStopsTimer()
    {
        Rig r;
        r.fields.nextTick = 1e12;
        r.window.failing.insert("text");
        r.scheduler.Tim2_Timer();
        QVERIFY(!r.window.tim2Enabled);
    }

    // The tick count is a 64-bit millisecond clock: checks keep coming every interval
    // across the 24.9- and 49.7-day points where a 32-bit count would step or wrap.
    void monthsOfUptime_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::newRow("fresh boot") << qint64(5000);
        QTest::newRow("24.8 days") << qint64(2147483647) - 20 * 60000;
        QTest::newRow("49.7 days") << qint64(4294967295) - 20 * 60000;
        QTest::newRow("400 days") << qint64(400) * 86400000;
    }
    void monthsOfUptime()
    {
        QFETCH(qint64, start);
        Rig r;
        r.ticks.set(start);
        r.window.texts[size_t(Box::Text5)] = QStringLiteral("1");
        r.scheduler.Tim2_Timer();
        // 30 days of ticks at 10 s with a 1-minute interval.
        const int ticks = 30 * 8640;
        for (int i = 0; i < ticks; ++i)
            r.tick();
        // Due strictly after 60 s: the seventh tick after each check runs the next one.
        QCOMPARE(r.control.checks, 1 + ticks / 7);
    }

    // The checks follow the network and the machine's sleep. Each step, then "=N": the
    // checks that reached the server so far. "wait MS" lets the time pass and wakes the
    // network state as its timer would.
    void followsNetwork_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("down at the due tick: held, checked once back")
            << QStringList{"down",   "tick =0",      "wait 600000", "tick =0",
                           "online", "wait 1999 =0", "wait 1 =1",   "tick =1"};
        QTest::newRow("Check Now while down: held, checked once back")
            << QStringList{"down", "click =0", "online", "wait 2000 =1"};
        QTest::newRow("back with nothing owed: no extra check")
            << QStringList{"tick =1", "down", "online", "wait 60000 =1"};
        QTest::newRow("failed, then down and back: checked again")
            << QStringList{"fail", "tick =1", "down", "online", "wait 2000 =2"};
        QTest::newRow("down, then saying nothing: checks go ahead after the wait")
            << QStringList{"down", "tick =0", "unknown", "wait 59999 =0", "wait 1 =1"};
        QTest::newRow("resume: checked once online, although not due") << QStringList{
            "tick =1", "unknown", "resume", "wait 30000 =1", "online", "wait 1999 =1", "wait 1 =2"};
        QTest::newRow("resume at the due tick: no try before the network is back") << QStringList{
            "tick =1", "unknown", "wait 7200000", "resume", "tick =1", "online", "wait 2000 =2"};
        QTest::newRow("resume, the network says nothing: checked when the wait is over")
            << QStringList{"tick =1", "resume", "wait 59999 =1", "wait 1 =2"};
        QTest::newRow("resume with the network up: checked once settled")
            << QStringList{"online", "tick =1", "resume", "wait 1999 =1", "wait 1 =2"};
        QTest::newRow("captive portal: held, checked once signed in")
            << QStringList{"online", "portal", "click =0", "signed-in", "wait 2000 =1"};
        QTest::newRow("NetworkManager says disconnected, a default route (ifupdown): resume checks")
            << QStringList{"route", "down", "tick =1", "resume", "wait 1999 =1", "wait 1 =2"};
        QTest::newRow("back online, the route first") << QStringList{
            "down", "no-route", "tick =0", "route", "wait 2000 =1", "online", "wait 60000 =1"};
        QTest::newRow("back online, NetworkManager first: checked once the route is there")
            << QStringList{"down",          "no-route", "tick =0",      "online",
                           "wait 30000 =0", "route",    "wait 1999 =0", "wait 1 =1"};
        QTest::newRow("no NetworkManager, the link drops: held, checked once back")
            << QStringList{"route", "tick =1", "no-route", "click =1", "route", "wait 2000 =2"};
        QTest::newRow("an empty box stopped the scheduler: no check after a resume until Save")
            << QStringList{"online",         "tick =1", "empty", "tick =1",  "resume",
                           "wait 120000 =1", "tick =1", "save",  "wait 0 =2"};
        QTest::newRow("a server on the loopback is never held")
            << QStringList{"loopback", "down", "no-route", "click =1", "resume", "wait 0 =2"};
        QTest::newRow("flapping: a failed return check is retried a minute later")
            << QStringList{"online",       "fail", "tick =1", "down",         "online",
                           "wait 2000 =2", "down", "online",  "wait 2000 =2", "wait 58000 =3"};
    }
    void followsNetwork()
    {
        QFETCH(QStringList, steps);
        Rig r;
        for (const QString &step : steps) {
            const QStringList words = step.split(u' ');
            const QString &action = words.first();
            if (action == u"tick" && r.window.tim2Enabled)
                r.tick();
            else if (action == u"tick")
                r.ticks.advance(10000);
            else if (action == u"click")
                r.cycle.cmdCheck_Click();
            else if (action == u"fail" || action == u"succeed")
                r.control.error = action == u"fail" ? 4 : 0;
            else if (action == u"down")
                r.network.setReachability(NetworkState::Reachability::Disconnected);
            else if (action == u"unknown")
                r.network.setReachability(NetworkState::Reachability::Unknown);
            else if (action == u"online")
                r.network.setReachability(NetworkState::Reachability::Online);
            else if (action == u"portal" || action == u"signed-in")
                r.network.setBehindPortal(action == u"portal");
            else if (action == u"resume")
                r.network.resumed();
            else if (action == u"route" || action == u"no-route")
                r.network.setDefaultRoute(action == u"route");
            else if (action == u"loopback")
                r.window.texts[size_t(Box::Text2)] = QStringLiteral("127.0.0.1");
            else if (action == u"empty" || action == u"save") {
                // "Save" with a password typed again, as frmPop's cmdSet_Click runs it.
                r.window.texts[size_t(Box::Text4)] =
                    action == u"save" ? QStringLiteral("secret") : QString();
                if (action == u"save") {
                    r.window.setTim2Enabled(false);
                    r.scheduler.setNext();
                    r.window.setTim2Enabled(true);
                }
            } else if (action == u"wait") {
                r.ticks.advance(words.at(1).toLongLong());
                r.network.wake();
            } else
                QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
            if (words.last().startsWith(u'='))
                QVERIFY2(r.control.checks == words.last().mid(1).toInt(),
                         qPrintable(step + QStringLiteral(": %1 checks").arg(r.control.checks)));
        }
    }

    void suspendedTimeCounts()
    {
        Rig r;
        r.scheduler.Tim2_Timer();
        r.ticks.advance(3 * 3600 * 1000); // a night in suspend: the clock kept counting
        r.scheduler.Tim2_Timer();
        QCOMPARE(r.control.checks, 2);
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
