#include "ProgramState.h"
#include "ScriptedControl.h"
#include "XTools.h"
#include "app/MorvexApplication.h"
#include "app/frmPop.h"
#include "mail/ChangeLog.h"
#include "ui/Forms.h"
#include "ui/FrmNotify.h"
#include "ui/Module1.h"
#include "ui/X11.h"
#include "ui/frmAbout.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QThread>
#include <QToolTip>

// What a user sees and clicks on a real X server with a tray host: the tray icon, its
// double-click and right-click, the notification window staying on top, dragging windows.
class TestX11 : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramState> m_state;
    std::unique_ptr<frmPop> m_window;
    ScriptedControl *m_control = nullptr;

    // The embedded icon's window, or 0 when none appears within 5 s.
    static quint64 trayIcon()
    {
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            if (const auto icons = XTools::trayIcons(QStringLiteral("Morvex")); !icons.isEmpty())
                return icons.first();
            QTest::qWait(100);
        }
        return 0;
    }

    static bool above(quint64 upper, quint64 lower)
    {
        const QList<quint64> order = XTools::stackingOrder();
        const qsizetype u = order.indexOf(upper);
        const qsizetype l = order.indexOf(lower);
        return u >= 0 && l >= 0 && u < l;
    }

    // Whether `upper` is stacked above `lower` now, asked of the X server directly, without
    // handling any event meanwhile (so that the program cannot react while it is asked).
    static bool aboveNow(quint64 upper, quint64 lower)
    {
        xcb_connection_t *connection = X11::connection();
        const xcb_window_t root = X11::root(connection);
        QList<quint64> order; // bottom first
        if (XTools::windowManager()) {
            static const xcb_atom_t stacking = X11::atom(connection, "_NET_CLIENT_LIST_STACKING");
            const X11::Reply<xcb_get_property_reply_t> list(xcb_get_property_reply(
                connection,
                xcb_get_property(connection, false, root, stacking, XCB_ATOM_WINDOW, 0, 1024),
                nullptr));
            if (!list)
                return false;
            const auto *ids = static_cast<const xcb_window_t *>(xcb_get_property_value(list.get()));
            for (int i = 0; i < xcb_get_property_value_length(list.get()) / 4; ++i)
                order << ids[i];
        } else {
            const X11::Reply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr));
            if (!tree)
                return false;
            const xcb_window_t *ids = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i)
                order << ids[i];
        }
        const qsizetype u = order.indexOf(upper);
        const qsizetype l = order.indexOf(lower);
        return u >= 0 && l >= 0 && u > l;
    }

    // Opens a notification window by a check that finds `count` messages; *opened is the
    // window once it is on top.
    void openNotification(int count, FrmNotify **opened)
    {
        m_control->count = count;
        m_window->cmdCheck_Click();
        FrmNotify *notify = Forms::notify().form();
        QVERIFY(notify && QTest::qWaitForWindowExposed(notify));
        QTRY_VERIFY_WITH_TIMEOUT(notify->windowFlags() & Qt::WindowStaysOnTopHint, 2000);
        if (XTools::windowManager())
            QTRY_VERIFY_WITH_TIMEOUT(
                XTools::netWmState(notify->winId()).contains(QStringLiteral("_NET_WM_STATE_ABOVE")),
                2000);
        *opened = notify;
    }

    // Where a point of a widget of the main window is on the screen, as the X server has it:
    // Qt can still hold the window's place from before the window manager framed it.
    QPoint onScreen(const QWidget *widget, const QPoint &local) const
    {
        return XTools::geometry(m_window->winId()).topLeft() + widget->mapTo(m_window.get(), local);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!XTools::available())
            QSKIP("no X server: run through scripts/with-x");
    }

    void init()
    {
        m_state = std::make_unique<ProgramState>();
        m_window = scriptedWindow(&m_control);
        QVERIFY(m_window->Show());
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanup()
    {
        m_window.reset();
        m_state.reset();
        QTest::qWait(100);
    }

    void iconEmbeddedWithTooltip()
    {
        if (!XTools::trayHost())
            QSKIP("no tray host on this display");
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
        const quint64 icon = trayIcon();
        QVERIFY(icon);
        QCOMPARE(XTools::trayIcons(QStringLiteral("Morvex")).size(), 1); // never a second icon
        XTools::moveMouse(XTools::geometry(icon).center());
        QTRY_VERIFY_WITH_TIMEOUT(QToolTip::isVisible(), 5000);
        QCOMPARE(QToolTip::text(), QStringLiteral("Morvex Mail Notifier."));
        XTools::moveMouse({10, 10});
    }

    void doubleClickHidesAndRestores_data()
    {
        QTest::addColumn<QString>("before"); // what the user did before the first double-click
        QTest::newRow("window shown") << QString();
        QTest::newRow("iconified by the window manager") << QStringLiteral("iconify");
        QTest::newRow("\"Exit Morvex?\" open") << QStringLiteral("frmClose");
        QTest::newRow("\"View Log\" open") << QStringLiteral("FrmNotify");
    }
    void doubleClickHidesAndRestores()
    {
        QFETCH(QString, before);
        if (!XTools::trayHost())
            QSKIP("no tray host on this display");
        const quint64 icon = trayIcon();
        QVERIFY(icon);
        if (before == u"iconify") {
            if (!XTools::windowManager())
                QSKIP("needs a window manager");
            // A minimise key or a taskbar click: the same as "Minimise".
            XTools::run(QStringLiteral("xdotool"),
                        {"windowminimize", QString::number(m_window->winId())});
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 3000);
            QCOMPARE(m_window->windowStateValue(), 1);
        } else if (!before.isEmpty()) {
            // The double-click arrives while the modal window runs; it unloads that window.
            QPointer<QWidget> modal;
            QTimer::singleShot(0, [&] {
                QTRY_VERIFY(QApplication::activeModalWidget());
                modal = QApplication::activeModalWidget();
                QVERIFY(QTest::qWaitForWindowExposed(modal));
                XTools::clickWindow(icon, 1, 2);
            });
            QTimer safetyNet; // a failing check must not leave the modal window running
            safetyNet.setSingleShot(true);
            QObject::connect(&safetyNet, &QTimer::timeout, [] {
                if (auto *open = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                    open->done(QDialog::Rejected);
            });
            safetyNet.start(8000);
            if (before == u"frmClose")
                m_window->Label4_Click();
            else
                m_window->Label3_Click();
            QVERIFY(safetyNet.isActive()); // ended by the double-click, not the safety net
            QVERIFY(modal && modal->objectName() == before);
            QTRY_VERIFY(!modal);
            QVERIFY(!Forms::close().isLoaded());
            QVERIFY(!Forms::notify().isLoaded());
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 3000);
            QCOMPARE(m_window->windowStateValue(), 1);
        } else {
            XTools::clickWindow(icon, 1, 2);
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 3000);
            QCOMPARE(m_window->windowStateValue(), 1);
        }
        // One double-click brings it back, on top.
        XTools::clickWindow(icon, 1, 2);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 3000);
        QCOMPARE(m_window->windowStateValue(), 0);
        QVERIFY(m_window->windowFlags() & Qt::WindowStaysOnTopHint);
        QTRY_VERIFY_WITH_TIMEOUT(XTools::viewable(m_window->winId()), 3000);
        // A single click on an XEmbed tray does nothing.
        XTools::clickWindow(icon, 1, 1);
        QTest::qWait(600);
        QVERIFY(m_window->isVisible());
    }

    void rightClickOpensAbout()
    {
        if (!XTools::trayHost())
            QSKIP("no tray host on this display");
        const quint64 icon = trayIcon();
        QVERIFY(icon);
        XTools::clickWindow(icon, 3);
        QTRY_VERIFY_WITH_TIMEOUT(Forms::about().isLoaded() && Forms::about().form()->isVisible(),
                                 3000);
        QPointer<frmAbout> about = Forms::about().form();
        QVERIFY(m_window->isVisible());
        XTools::clickWindow(icon, 3);
        QTest::qWait(300);
        QCOMPARE(Forms::about().form(), about.data());
        QTRY_VERIFY(XTools::viewable(about->winId()));
        XTools::clickWindow(about->winId(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!Forms::about().isLoaded(), 3000);
    }

    void notificationStaysOnTop()
    {
        m_control->count = 2;
        m_window->cmdCheck_Click(); // a change: the notification pops up
        FrmNotify *notify = Forms::notify().form();
        QVERIFY(notify);
        QVERIFY(QTest::qWaitForWindowExposed(notify));
        QCOMPARE(notify->Label1->text(), QStringLiteral("2 New Messages"));
        QTRY_VERIFY_WITH_TIMEOUT(notify->windowFlags() & Qt::WindowStaysOnTopHint, 2000);
        const QRect placed = XTools::geometry(notify->winId());

        // Another window of the program raised over it: within a tick it is on top again.
        QWidget other;
        other.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
        other.setGeometry(placed.adjusted(-20, -20, 20, 20));
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.raise();
        if (XTools::windowManager()) {
            // The window manager keeps it in its on-top layer, where no ordinary window
            // can be raised over it.
            QTRY_VERIFY_WITH_TIMEOUT(
                XTools::netWmState(notify->winId()).contains(QStringLiteral("_NET_WM_STATE_ABOVE")),
                2000);
            QTest::qWait(600);
            QVERIFY(above(notify->winId(), other.winId()));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(above(other.winId(), notify->winId()), 2000);
            QTRY_VERIFY_WITH_TIMEOUT(above(notify->winId(), other.winId()), 2000);
        }
        QCOMPARE(XTools::geometry(notify->winId()), placed); // never moved by keeping on top

        XTools::screenshot(QStringLiteral("notification-window"), placed.adjusted(-4, -4, 4, 4));
        XTools::screenshot(QStringLiteral("main-window"),
                           XTools::geometry(m_window->winId()).adjusted(-4, -4, 4, 4));
    }

    // Keeping the notification window on top never takes the keyboard, from another program
    // or from a window of this one.
    void keepsOffOtherProgramsFocus()
    {
        QProcess other; // another program's window, with the keyboard focus
        other.start(QStringLiteral("display"),
                    {"-title", "other program", "-size", "200x120", "xc:white"});
        QVERIFY(other.waitForStarted(5000));
        quint64 otherWindow = 0;
        QTRY_VERIFY_WITH_TIMEOUT(!XTools::windowsNamed(QStringLiteral("other program")).isEmpty(),
                                 5000);
        otherWindow = XTools::windowsNamed(QStringLiteral("other program")).first();
        XTools::run(QStringLiteral("xdotool"),
                    {"windowfocus", "--sync", QString::number(otherWindow)});
        QTRY_VERIFY(QApplication::activeWindow() == nullptr);

        m_control->count = 1;
        m_window->cmdCheck_Click();
        FrmNotify *notify = Forms::notify().form();
        QVERIFY(notify && QTest::qWaitForWindowExposed(notify));
        QTest::qWait(1500); // past its raise
        QCOMPARE(XTools::run(QStringLiteral("xdotool"), {"getwindowfocus"}).trimmed().toULongLong(),
                 otherWindow);
        QVERIFY(QApplication::activeWindow() == nullptr);

        // The user clicks into the main window, which keeps the keyboard; so does the
        // notification window once the user clicks it.
        XTools::click(onScreen(m_window->statLbl, QPoint(100, 8)));
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeWindow() == m_window.get(), 2000);
        QTest::qWait(1200);
        QVERIFY(QApplication::activeWindow() == m_window.get());
        XTools::clickWindow(notify->winId());
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeWindow() == notify, 2000);
        other.kill();
        other.waitForFinished(3000);
    }

    // Mail arrives while the user types into the main window: every keystroke arrives, in
    // order, however many notification windows open and are put on top meanwhile.
    void typingWhileMailArrives()
    {
        m_window->setTim2Enabled(false); // no scheduled check in between
        m_window->Text5->clear();
        XTools::click(onScreen(m_window->Text5, QPoint(12, 9)));
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::focusWidget() == m_window->Text5, 3000);
        const QString typed = QStringLiteral("1234567890").repeated(12); // 120 keystrokes
        // Mail arrives at the 1st, 41st and 81st keystroke: each window opens while the typing
        // goes on for a second more, past its first raise.
        int arrivals = 0;
        const auto connection =
            QObject::connect(m_window->Text5, &QLineEdit::textChanged, [&](const QString &text) {
                if (text.size() % 40 != 1 || text.size() / 40 != arrivals)
                    return;
                ++arrivals;
                QTimer::singleShot(0, m_window.get(), [this, arrivals] {
                    m_control->count = arrivals;
                    m_window->cmdCheck_Click();
                });
            });
        XTools::run(QStringLiteral("xdotool"), {"type", "--delay", "50", typed}, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->Text5->text().size(), typed.size(), 3000);
        QObject::disconnect(connection);
        QCOMPARE(m_window->Text5->text(), typed);
        QCOMPARE(arrivals, 3);
        QVERIFY(Forms::notify().isLoaded());
        QCOMPARE(QApplication::activeWindow(), m_window.get());
    }

    // Another window on top that comes over the notification window is covered again at
    // once, as the X server reports the change; nothing polls.
    void coveredAgain()
    {
        FrmNotify *notify = nullptr;
        openNotification(1, &notify);
        if (!notify)
            return;
        QTRY_VERIFY(!notify->Timer1->isActive()); // the first raise is done
        QTest::qWait(600);                        // and past the pace of raises
        QWidget other;
        other.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        other.setGeometry(XTools::geometry(notify->winId()).adjusted(-20, -20, 20, 20));
        // Seen over it before the program handles any event, then the time until it is
        // covered again.
        const auto coveredAgainAfter = [&] {
            xcb_flush(X11::connection());
            QDeadlineTimer deadline(3000);
            while (!aboveNow(other.winId(), notify->winId()) && !deadline.hasExpired())
                QThread::msleep(5);
            QElapsedTimer clock;
            clock.start();
            if (!aboveNow(other.winId(), notify->winId()))
                return qint64(-1);
            while (!aboveNow(notify->winId(), other.winId()) && !clock.hasExpired(3000))
                QTest::qWait(5);
            return clock.elapsed();
        };
        other.winId(); // created, so that it is mapped at once
        other.show();
        const qint64 mapped = coveredAgainAfter();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        QTest::qWait(600); // past the pace of raises
        other.raise();
        const qint64 raised = coveredAgainAfter();
        qInfo("covered again %lld ms after a window on top was mapped over it, %lld ms after "
              "one was raised over it",
              mapped, raised);
        QVERIFY(mapped >= 0 && mapped < 3000);
        QVERIFY(raised >= 0 && raised < 3000);
    }

    // The main window opens at its place on the primary screen, wholly on it, wherever that
    // screen is (scripts/with-x --two-screens puts it on the right).
    void opensOnThePrimaryScreen()
    {
        const QScreen *primary = QGuiApplication::primaryScreen();
        QVERIFY(primary);
        if (QGuiApplication::screens().size() > 1)
            QVERIFY2(primary->geometry().left() > 0, "the primary screen is not on the right");
        const QRect shown = XTools::geometry(m_window->winId());
        qInfo("screens %d, primary %d,%d %dx%d, window at %d,%d",
              int(QGuiApplication::screens().size()), primary->geometry().x(),
              primary->geometry().y(), primary->geometry().width(), primary->geometry().height(),
              shown.x(), shown.y());
        QVERIFY(primary->availableGeometry().contains(shown));
        QCOMPARE(shown.topLeft(), primary->availableGeometry().topLeft() + QPoint(452, 360));
    }

    void dragForm_data()
    {
        QTest::addColumn<int>("button");
        QTest::newRow("left") << 1;
        QTest::newRow("middle") << 2;
        QTest::newRow("right") << 3;
    }
    void dragForm()
    {
        QFETCH(int, button);
        const QRect before = XTools::geometry(m_window->winId());
        // The banner picture is the drag handle.
        const QPoint grip = onScreen(m_window->Image1, QPoint(18, 60));
        const QPoint target = before.topLeft() + QPoint(-60, -40);
        XTools::drag(grip, grip + QPoint(-60, -40), button,
                     [&] { return XTools::geometry(m_window->winId()).topLeft() == target; });
        QTRY_COMPARE_WITH_TIMEOUT(XTools::geometry(m_window->winId()).topLeft(), target, 3000);
        QCOMPARE(m_window->size(), before.size());
    }

    // A click on the banner that the program sees only after the button is up again is not
    // a drag: the window stays where it is when the pointer moves on.
    void clickOnBannerSeenLate()
    {
        const QRect before = XTools::geometry(m_window->winId());
        const QPoint grip = onScreen(m_window->Image1, QPoint(18, 60));
        // Run without handling events meanwhile, so the press is handled after the release.
        const auto xdotool = [](const QStringList &arguments) {
            QProcess::execute(QStringLiteral("xdotool"), arguments);
        };
        xdotool({"mousemove", QString::number(grip.x()), QString::number(grip.y()), "click", "1"});
        QTest::qWait(300);
        for (const QPoint &at : {grip + QPoint(-60, -40), grip + QPoint(-90, -50)}) {
            xdotool({"mousemove", QString::number(at.x()), QString::number(at.y())});
            QTest::qWait(200);
        }
        QCOMPARE(XTools::geometry(m_window->winId()).topLeft(), before.topLeft());
    }
};

int main(int argc, char **argv)
{
    MorvexApplication app(argc, argv);
    TestX11 test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_x11.moc"
