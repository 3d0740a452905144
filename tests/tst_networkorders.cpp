#include "CheckRig.h"

#include <QRandomGenerator>
#include <QTest>

#include <functional>
#include <map>

using Box = PopWindow::Box;
using Reachability = NetworkState::Reachability;

namespace {

constexpr qint64 TickMs = 10000;
// An owed check comes within this of the moment it may run: the settle time and a margin.
constexpr qint64 OwedWithinMs = NetworkState::SettleMs + 1000;

enum class Machine { NetworkManager, IfUpDown, NoNetworkManager, LoopbackServer };

// A laptop, its network and its user on a fake clock, through the real NetworkState,
// CheckCycle and Scheduler. The truth is the machine's (its link up or down, a captive
// portal, asleep); NetworkManager, the kernel's routes and logind tell the network state
// about it after random delays and in random orders, as they do. Every step is followed by
// the rules; the first one broken is kept, with the steps that led to it.
class Laptop {
public:
    Laptop(Machine machine, quint32 seed)
        : m_random(seed)
        , m_machine(machine)
    {
        m_window.texts[size_t(Box::Text2)] = machine == Machine::LoopbackServer
                                                 ? QStringLiteral("127.0.0.1")
                                                 : QStringLiteral("mail.example.org");
        // The window timer: a timer turned on starts a fresh period.
        m_window.onTim2 = [this, started = m_window.onTim2](bool on) {
            if (!on)
                m_tim2At = -1;
            else if (m_tim2At < 0)
                m_tim2At = now() + TickMs;
            started(on);
        };
        m_control.duringCheck = [this] { checkStarts(); };
        if (managed() || machine == Machine::IfUpDown)
            m_network.setReachability(managed() ? Reachability::Online
                                                : Reachability::Disconnected);
        m_network.setDefaultRoute(true);
    }

    // One random step, then the clock runs to everything it brought.
    void step()
    {
        const quint32 pick = m_random.bounded(100u);
        if (pick < 25)
            wait(100 + m_random.bounded(5000));
        else if (pick < 40)
            wait(5000 + m_random.bounded(300000));
        else if (pick < 52)
            setLink(!m_link);
        else if (pick < 56 && managed() && m_link)
            setPortal(!m_portal);
        else if (pick < 62)
            sleepAndResume();
        else if (pick < 70)
            checkNow();
        else if (pick < 73)
            typePassword(QString());
        else if (pick < 77)
            save();
        else if (pick < 85)
            m_error = std::array<int, 4>{0, 0, 15, 3}[m_random.bounded(4u)];
        else if (pick < 88)
            m_dropDuringCheck = true;
        else
            wait(m_random.bounded(1000u));
        wait(0);
    }

    QString broken() const { return m_broken; }
    QString trace() const { return m_trace.join(QStringLiteral("\n  ")); }

private:
    qint64 now() const { return m_ticks.now(); }
    bool managed() const
    {
        return m_machine == Machine::NetworkManager || m_machine == Machine::LoopbackServer;
    }
    void note(const QString &what) { m_trace << QStringLiteral("%1 ms: %2").arg(now()).arg(what); }
    void breaks(const QString &rule)
    {
        if (m_broken.isEmpty())
            m_broken = QStringLiteral("%1 ms: %2").arg(now()).arg(rule);
    }
    // News from one source (the routes, NetworkManager) arrive in the order they were sent.
    void tell(qint64 &last, qint64 inMs, const char *what, std::function<void()> news)
    {
        last = std::max(last, now() + inMs);
        m_news.emplace(last, [this, what, news = std::move(news)] {
            note(QString::fromLatin1(what));
            news();
        });
    }
    qint64 later(qint64 upToMs) { return m_random.bounded(upToMs + 1); }

    // --- the machine -----------------------------------------------------------------
    void setLink(bool up)
    {
        note(up ? QStringLiteral("link up") : QStringLiteral("link down"));
        m_link = up;
        m_portal = false;
        tell(m_routeNews, later(3000), up ? "route added" : "route gone",
             [this, up] { m_network.setDefaultRoute(up); });
        if (!managed())
            return;
        if (up) {
            const qint64 connecting = later(1000);
            tell(m_managerNews, connecting, "NetworkManager connecting",
                 [this] { m_network.setReachability(Reachability::Unknown); });
            tell(m_managerNews, connecting + later(3000), "NetworkManager online", [this] {
                m_network.setReachability(Reachability::Online);
                m_network.setBehindPortal(false);
            });
        } else {
            tell(m_managerNews, later(3000), "NetworkManager disconnected", [this] {
                m_network.setReachability(Reachability::Disconnected);
                m_network.setBehindPortal(false);
            });
        }
    }

    void setPortal(bool portal)
    {
        note(portal ? QStringLiteral("captive portal") : QStringLiteral("signed in"));
        m_portal = portal;
        tell(m_managerNews, later(2000),
             portal ? "NetworkManager sees a portal" : "NetworkManager online", [this, portal] {
                 m_network.setBehindPortal(portal);
                 m_network.setReachability(portal ? Reachability::Site : Reachability::Online);
             });
    }

    void sleepAndResume()
    {
        // Whatever was on its way arrives before the machine sleeps.
        while (!m_news.empty() && m_broken.isEmpty())
            wait(m_news.rbegin()->first - now());
        note(QStringLiteral("sleep"));
        if (managed() || m_machine == Machine::IfUpDown)
            m_network.setReachability(Reachability::Unknown); // asleep
        if (managed())
            m_network.setDefaultRoute(false); // NetworkManager takes its links down
        const qint64 slept = 60000 + later(3 * 3600 * 1000);
        m_ticks.advance(slept);
        // The window timer counts awake time only: what was left of its period remains.
        if (m_tim2At >= 0)
            m_tim2At += slept;
        m_portal = false;
        note(QStringLiteral("resume"));
        m_owedAt = now();
        m_network.resumed();
        if (m_machine == Machine::IfUpDown)
            tell(m_managerNews, later(1000), "NetworkManager disconnected",
                 [this] { m_network.setReachability(Reachability::Disconnected); });
        if (!managed())
            return;
        tell(m_managerNews, later(500), "NetworkManager disconnected",
             [this] { m_network.setReachability(Reachability::Disconnected); });
        if (m_link)
            setLink(true);
    }

    // --- the user and the checks -----------------------------------------------------
    void checkNow()
    {
        note(QStringLiteral("Check Now"));
        m_inClick = true;
        enter([this] { m_cycle.cmdCheck_Click(); });
        m_inClick = false;
        restarted();
    }

    void typePassword(const QString &password)
    {
        note(password.isEmpty() ? QStringLiteral("password box emptied")
                                : QStringLiteral("password typed"));
        m_window.texts[size_t(Box::Text4)] = password;
    }

    void save()
    {
        typePassword(QStringLiteral("secret"));
        note(QStringLiteral("Save"));
        m_window.setTim2Enabled(false);
        m_scheduler.setNext();
        m_window.setTim2Enabled(true);
        restarted();
    }

    void restarted()
    {
        if (m_stopped && m_window.tim2Enabled) {
            m_stopped = false;
            m_restartedAt = now();
        }
    }

    // Runs whatever may start a check, and reads what it did.
    void enter(const std::function<void()> &entry)
    {
        const int cycles = m_window.cmdCheckOffs;
        const int checks = m_control.checks;
        entry();
        if (m_control.checks != checks) {
            m_failure = m_control.error == 0 ? QString() : m_window.statLbl;
            if (m_control.error != 0)
                m_failedAt = now();
        } else if (m_window.cmdCheckOffs != cycles) {
            note(QStringLiteral("held: \"%1\"").arg(m_window.statLbl));
            if (m_owedAt < 0)
                m_owedAt = now();
            if (m_failure.isEmpty() && m_window.statLbl != m_network.holdStatus())
                breaks(QStringLiteral("a held check did not say why"));
        }
    }

    void checkStarts()
    {
        note(QStringLiteral("check tries the server"));
        if (m_machine != Machine::LoopbackServer && (!m_link || m_portal) && m_news.empty())
            breaks(QStringLiteral("a check tried the server while the network was known down"));
        if (m_stopped && !m_inClick)
            breaks(QStringLiteral("a check ran while an empty box had stopped the scheduler"));
        m_owedAt = -1;
        m_control.error = m_error;
        m_control.status = m_error == 3 ? QStringLiteral("Timed out") : QStringLiteral("OK");
        if (m_dropDuringCheck) {
            m_dropDuringCheck = false;
            setLink(false);
        }
    }

    // --- the clock and the rules -----------------------------------------------------
    // When the owed check must have come by; -1 while it need not come.
    qint64 owedBy() const
    {
        if (m_owedAt < 0 || m_stopped)
            return -1;
        qint64 from = std::max(m_owedAt, m_restartedAt);
        if (m_machine != Machine::LoopbackServer) {
            if (m_usableFrom < 0)
                return -1;
            from = std::max(from, m_usableFrom);
        }
        if (m_failedAt >= 0)
            from = std::max(from, m_failedAt + NetworkState::RetryMs);
        return from + OwedWithinMs;
    }

    void followRules()
    {
        if (!m_link || m_portal || !m_news.empty())
            m_usableFrom = -1;
        else if (m_usableFrom < 0)
            m_usableFrom = now();
        if (!m_failure.isEmpty() && m_window.statLbl != m_failure)
            breaks(QStringLiteral("\"%1\" left the status line before the next check ended: \"%2\"")
                       .arg(m_failure, m_window.statLbl));
        const qint64 by = owedBy();
        if (by >= 0 && now() >= by)
            breaks(QStringLiteral("no check %1 ms after the network was usable with one owed")
                       .arg(OwedWithinMs));
    }

    // Runs the clock for `ms`, and everything that falls due on the way, in time order.
    void wait(qint64 ms)
    {
        const qint64 until = now() + ms;
        for (int guard = 0; guard < 100000; ++guard) {
            followRules();
            if (!m_broken.isEmpty())
                return;
            const qint64 wake = m_network.nextWake();
            qint64 next = until;
            for (qint64 at :
                 {m_tim2At, wake, m_news.empty() ? -1 : m_news.begin()->first, owedBy()})
                if (at >= 0)
                    next = std::min(next, std::max(at, now()));
            m_ticks.set(std::max(next, now()));
            if (!m_news.empty() && m_news.begin()->first <= now()) {
                const auto news = m_news.begin()->second;
                m_news.erase(m_news.begin());
                news();
            } else if (wake >= 0 && wake <= now()) {
                enter([this] { m_network.wake(); });
            } else if (m_tim2At >= 0 && m_tim2At <= now()) {
                m_tim2At += TickMs;
                enter([this] { m_scheduler.Tim2_Timer(); });
                m_stopped = m_stopped || !m_window.tim2Enabled;
            } else if (now() >= until) {
                return;
            }
        }
        breaks(QStringLiteral("the clock never got past %1 ms").arg(now()));
    }

    QRandomGenerator m_random;
    const Machine m_machine;
    CheckRig m_rig{1000000};
    FakeTicks &m_ticks = m_rig.ticks;
    FakeWindow &m_window = m_rig.window;
    ScriptedControl &m_control = m_rig.control;
    NetworkState &m_network = m_rig.network;
    CheckCycle &m_cycle = m_rig.cycle;
    Scheduler &m_scheduler = m_rig.scheduler;

    // The machine, and the news on their way about it.
    bool m_link = true;
    bool m_portal = false;
    std::multimap<qint64, std::function<void()>> m_news;
    qint64 m_routeNews = 0;
    qint64 m_managerNews = 0;
    qint64 m_tim2At = -1;
    // The user, and what the rules need to know.
    int m_error = 0;
    bool m_dropDuringCheck = false;
    bool m_inClick = false;
    bool m_stopped = false;
    qint64 m_restartedAt = 0;
    qint64 m_owedAt = -1;
    qint64 m_usableFrom = 0;
    qint64 m_failedAt = -1;
    QString m_failure;
    QStringList m_trace;
    QString m_broken;
};

} // namespace

// The checks and the network in orders nobody listed: for each kind of machine, seeded
// sequences of what NetworkManager, the kernel's routes, logind and the user do, with
// checks that succeed or fail. After every step: no check tries the server while the
// network is known to be down (unless the server is on the loopback); a check comes soon
// after the network is usable following a resume or a held check; no check runs while an
// empty password box has stopped the scheduler, but "Check Now"; a failure a check
// reported stays on the status line until the next check ends, and a held check says why
// otherwise.
class TestNetworkOrders : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void seededSequences_data()
    {
        QTest::addColumn<Machine>("machine");
        QTest::addColumn<quint32>("firstSeed");
        QTest::newRow("NetworkManager") << Machine::NetworkManager << 1u;
        QTest::newRow("NetworkManager leaving the links to ifupdown") << Machine::IfUpDown << 1001u;
        QTest::newRow("no NetworkManager") << Machine::NoNetworkManager << 2001u;
        QTest::newRow("a server on the loopback") << Machine::LoopbackServer << 3001u;
    }
    void seededSequences()
    {
        QFETCH(Machine, machine);
        QFETCH(quint32, firstSeed);
        constexpr int Sequences = 800;
        constexpr int Steps = 40;
        for (quint32 seed = firstSeed; seed < firstSeed + Sequences; ++seed) {
            Laptop laptop(machine, seed);
            for (int step = 0; step < Steps && laptop.broken().isEmpty(); ++step)
                laptop.step();
            if (!laptop.broken().isEmpty())
                QFAIL(qPrintable(QStringLiteral("seed %1: %2\n  %3")
                                     .arg(seed)
                                     .arg(laptop.broken(), laptop.trace())));
        }
    }
};

QTEST_GUILESS_MAIN(TestNetworkOrders)
#include "tst_networkorders.moc"
