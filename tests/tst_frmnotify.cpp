#include "ProgramState.h"
#include "ScriptedControl.h"
#include "WholeCaption.h"
#include "app/MorvexApplication.h"
#include "app/frmPop.h"
#include "mail/ChangeLog.h"
#include "mail/GeneralDate.h"
#include "ui/Forms.h"
#include "ui/FrmNotify.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTest>

// The notification window against the change log: what it shows, how it scrolls, and that
// there is only ever one, also when a change arrives while it runs modally.
class TestFrmNotify : public QObject {
    Q_OBJECT

    static void fillLog(int changes)
    {
        Module1::changeLog().clear();
        for (int i = 1; i <= changes; ++i)
            Module1::changeLog().record(QStringLiteral("%1 New Messages").arg(i),
                                        QStringLiteral("04/03/2026 13:%1:00").arg(i % 60));
    }

    static QList<FrmNotify *> visibleNotifications()
    {
        QList<FrmNotify *> shown;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *n = qobject_cast<FrmNotify *>(w); n && n->isVisible())
                shown << n;
        return shown;
    }

    // A click in the scroll bar's track above the thumb, as the user does it.
    static void clickTrackAbove(QScrollBar *bar)
    {
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = bar->orientation();
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = bar->sliderPosition();
        option.sliderValue = bar->value();
        option.singleStep = bar->singleStep();
        option.pageStep = bar->pageStep();
        option.subControls = QStyle::SC_All;
        const QRect page = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                        QStyle::SC_ScrollBarSubPage, bar);
        QVERIFY(page.isValid() && !page.isEmpty());
        QTest::mouseClick(bar, Qt::LeftButton, {}, page.center());
    }

private Q_SLOTS:
    void cleanup()
    {
        Forms::notify().unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Module1::changeLog().clear();
    }

    void opensOnNewest_data()
    {
        QTest::addColumn<int>("changes");
        QTest::addColumn<QString>("label1");
        QTest::addColumn<int>("maximum");
        QTest::newRow("empty log") << 0 << "0 New Messages" << 1;
        QTest::newRow("one entry") << 1 << "1 New Messages" << 1;
        QTest::newRow("five") << 5 << "5 New Messages" << 5;
        QTest::newRow("full") << 100 << "100 New Messages" << 100;
        QTest::newRow("past full") << 130 << "130 New Messages" << 100;
    }
    void opensOnNewest()
    {
        QFETCH(int, changes);
        QFETCH(QString, label1);
        QFETCH(int, maximum);
        fillLog(changes);
        FrmNotify &form = Forms::notify().load();
        QCOMPARE(form.Label1->text(), label1);
        QCOMPARE(form.VScroll1->minimum(), 1);
        QCOMPARE(form.VScroll1->maximum(), maximum);
        QCOMPARE(form.VScroll1->value(), maximum);
        if (changes == 0) {
            QCOMPARE(form.Label2->text(), QStringLiteral("[ None at the moment. ]"));
        } else {
            QCOMPARE(form.Label2->text(), QStringLiteral("[ ") +
                                              Module1::changeLog().logTime(maximum) +
                                              QStringLiteral(" ]"));
        }
        // Scrolling to the top shows the oldest kept entry, never row 0.
        form.VScroll1->triggerAction(QAbstractSlider::SliderToMinimum);
        QCOMPARE(form.Label1->text(), changes == 0 ? label1 : Module1::changeLog().logText(1));
        QCOMPARE(form.VScroll1->value(), 1);
    }

    // Any count a check can report, and the time stamps of long local formats, show whole
    // in the boxes of the layout, without moving or resizing them.
    void captionsShowWhole_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("time");
        const QDateTime late(QDate(2026, 12, 30), QTime(23, 59, 58));
        const QString plain = generalDate(late, QLocale::c());
        QTest::newRow("7 new") << "7 New Messages" << plain;
        QTest::newRow("1234567 new") << "1234567 New Messages" << plain;
        QTest::newRow("2147483647 new") << "2147483647 New Messages" << plain;
        QTest::newRow("2147483647 less") << "2147483647 Messages Less" << plain;
        QTest::newRow("Canadian French time")
            << "1 New Message" << generalDate(late, QLocale("fr_CA"));
        QTest::newRow("Kabyle time") << "12 New Messages" << generalDate(late, QLocale("kab_DZ"));
    }
    void captionsShowWhole()
    {
        QFETCH(QString, entry);
        QFETCH(QString, time);
        Module1::changeLog().clear();
        Module1::changeLog().record(QStringLiteral("1 New Message"), QStringLiteral("then"));
        Module1::changeLog().record(entry, time);
        FrmNotify &form = Forms::notify().load();
        const int inner = form.Picture1->frameWidth();
        QCOMPARE(form.Label1->geometry(), QRect(41 + inner, 18 + inner, 211, 31));
        QCOMPARE(form.Label2->geometry(), QRect(82 + inner, 48 + inner, 164, 17));
        QCOMPARE(form.Label1->text(), entry);
        const QString stamp = QStringLiteral("[ ") + time + QStringLiteral(" ]");
        QCOMPARE(form.Label2->text(), stamp);
        verifyWholeCaption(form.Label1->font(), entry, form.Label1->size(), 18);
        if (QTest::currentTestFailed())
            return;
        verifyWholeCaption(form.Label2->font(), stamp, form.Label2->size(), 9.75);
        if (QTest::currentTestFailed())
            return;
        // Back to the short entry, the layout's own size again.
        form.VScroll1->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(form.Label1->text(), QStringLiteral("1 New Message"));
        QCOMPARE(form.Label1->font().pointSizeF(), 18.0);
        QCOMPARE(form.Label2->font().pointSizeF(), 9.75);
    }

    void stepsOneEntryAtATime()
    {
        fillLog(5);
        FrmNotify &form = Forms::notify().load();
        Forms::notify().showModeless();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.VScroll1->triggerAction(QAbstractSlider::SliderSingleStepSub); // upper arrow
        QCOMPARE(form.Label1->text(), QStringLiteral("4 New Messages"));
        clickTrackAbove(form.VScroll1);
        QCOMPARE(form.VScroll1->value(), 3);
        QCOMPARE(form.Label1->text(), QStringLiteral("3 New Messages"));
        for (int i = 0; i < 10; ++i)
            form.VScroll1->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(form.Label1->text(), QStringLiteral("1 New Messages"));
    }

    void thumbUpdatesOnRelease()
    {
        fillLog(5);
        FrmNotify &form = Forms::notify().load();
        form.VScroll1->setSliderDown(true);
        form.VScroll1->setSliderPosition(2);
        QCOMPARE(form.Label1->text(), QStringLiteral("5 New Messages"));
        form.VScroll1->setSliderDown(false);
        QCOMPARE(form.Label1->text(), QStringLiteral("2 New Messages"));
    }

    void layout()
    {
        FrmNotify &form = Forms::notify().load();
        QCOMPARE(form.size(), QSize(295, 104));
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY((form.windowFlags() & Qt::WindowType_Mask) == Qt::Tool);
        QCOMPARE(form.cmdClose->text(), QStringLiteral(" Close"));
        QCOMPARE(form.Timer1->interval(), 500);
        QVERIFY(form.Timer1->isActive());
        QVERIFY(!form.Label3->text().isEmpty());
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QVERIFY(qAbs(form.geometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(form.geometry().center().y() - screen.center().y()) <= 1);
    }

    void becomesTopmostWithoutMoving()
    {
        FrmNotify &form = Forms::notify().load();
        Forms::notify().showModeless();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QRect before = form.geometry();
        QVERIFY(!(form.windowFlags() & Qt::WindowStaysOnTopHint));
        QTRY_VERIFY_WITH_TIMEOUT(form.windowFlags() & Qt::WindowStaysOnTopHint, 2000);
        QVERIFY(form.isVisible());
        QCOMPARE(form.geometry(), before);
        // From then on nothing ticks while the window stays open: it is raised again only
        // when the window system reports that another window came over it.
        QTest::qWait(700);
        for (const QTimer *timer : form.findChildren<QTimer *>())
            QVERIFY2(!timer->isActive(), qPrintable(timer->objectName()));
    }

    void closeUnloads()
    {
        fillLog(2);
        QPointer<FrmNotify> form = &Forms::notify().load();
        Forms::notify().showModeless();
        QTest::mouseClick(form->cmdClose, Qt::LeftButton);
        QVERIFY(!Forms::notify().isLoaded());
        QTRY_VERIFY(form.isNull());
        QCOMPARE(Module1::changeLog().logIdx(), 2);
    }

    // A check that finds changed counts replaces the open window each time.
    void eachChangeReplacesWindow()
    {
        ProgramState state;
        ScriptedControl *control = nullptr;
        const auto owned = scriptedWindow(&control);
        frmPop &window = *owned;
        ScriptedControl &scripted = *control;
        scripted.count = 3;
        window.cmdCheck_Click();
        QPointer<FrmNotify> first = Forms::notify().form();
        QVERIFY(first);
        scripted.count = 5;
        window.cmdCheck_Click();
        QCOMPARE(visibleNotifications().size(), 1);
        QCOMPARE(visibleNotifications().first()->Label1->text(), QStringLiteral("2 New Messages"));
        QTRY_VERIFY(first.isNull());
        window.Form_QueryUnload();
        QVERIFY(!Forms::notify().isLoaded());
    }

    // Months of changes leave no windows, timers, other objects or memory behind (the ASan
    // build runs this under LeakSanitizer).
    void thousandsOfChangesLeaveNothing()
    {
        ProgramState state;
        ScriptedControl *control = nullptr;
        const auto window = scriptedWindow(&control);
        auto settle = [] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
        };
        auto objects = [] {
            int count = 0;
            for (QWidget *top : QApplication::topLevelWidgets())
                count += 1 + int(top->findChildren<QObject *>().size());
            return count;
        };
        control->count = 1;
        window->cmdCheck_Click();
        settle();
        const int before = objects();
        // Every window draws with the same icon and the same scroll-bar palette: the
        // process-wide pixmap cache files its entries under their identity, so pictures or a
        // palette of a window's own would leave entries behind that outlive the window.
        const qint64 icon = Forms::notify().form()->windowIcon().cacheKey();
        const qint64 palette = Forms::notify().form()->VScroll1->palette().cacheKey();
        for (int i = 2; i < 1002; ++i) {
            control->count = i % 2 ? 1 : 2;
            window->cmdCheck_Click();
            QCOMPARE(Forms::notify().form()->windowIcon().cacheKey(), icon);
            QCOMPARE(Forms::notify().form()->VScroll1->palette().cacheKey(), palette);
            if (i % 100 == 0)
                settle();
        }
        settle();
        QCOMPARE(objects(), before);
        QCOMPARE(visibleNotifications().size(), 1);
        QCOMPARE(Module1::changeLog().logIdx(), 100);
    }

    // "View Log" shows the window modally; a check that logs a change meanwhile closes it,
    // and only after its modal loop has returned is it deleted.
    void changeWhileModal()
    {
        ProgramState state;
        ScriptedControl *control = nullptr;
        const auto owned = scriptedWindow(&control);
        frmPop &window = *owned;
        ScriptedControl &scripted = *control;
        scripted.count = 1;
        window.cmdCheck_Click();

        Forms::notify().unload();
        QPointer<FrmNotify> modal = &Forms::notify().load();
        bool changed = false;
        QTimer::singleShot(200, &window, [&] {
            QVERIFY(modal && modal->isVisible());
            scripted.count = 4;
            window.cmdCheck_Click();
            changed = true;
            QVERIFY(modal); // closed, not yet deleted: its loop has not returned
        });
        QTimer::singleShot(5000, [&] { // a safety net; the change must end the loop first
            if (Forms::notify().form() == modal)
                Forms::notify().unload();
        });
        Forms::notify().showModal();
        QVERIFY(changed);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(modal.isNull());
        const auto shown = visibleNotifications();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first()->Label1->text(), QStringLiteral("3 New Messages"));
        QVERIFY(!shown.first()->isModal());
    }
};

int main(int argc, char **argv)
{
    MorvexApplication app(argc, argv);
    TestFrmNotify test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_frmnotify.moc"
