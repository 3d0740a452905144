#include "ProgramState.h"
#include "ScriptedControl.h"
#include "app/MorvexApplication.h"
#include "app/frmPop.h"
#include "mail/ChangeLog.h"
#include "ui/Forms.h"
#include "ui/FrmNotify.h"
#include "ui/GraphicalButton.h"
#include "ui/LightPalette.h"
#include "ui/ScreenPlace.h"
#include "ui/Shape.h"
#include "ui/ThinFrame.h"
#include "ui/frmAbout.h"
#include "ui/frmClose.h"

#include <QAccessible>
#include <QCheckBox>
#include <QEventLoop>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTest>

Q_DECLARE_METATYPE(ScreenPlace::Screen)

// The main window's look and its window commands, the tray commands and the exit and About
// windows, offscreen.
class TestMainWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramState> m_state;
    std::unique_ptr<frmPop> m_window;
    ScriptedControl *m_control = nullptr;
    QImage m_shot;
    QPalette m_palette; // the desktop's, as the test started

    static QColor rgb(unsigned hex)
    {
        return QColor((hex >> 16) & 0xFF, (hex >> 8) & 0xFF, hex & 0xFF);
    }

    static bool near(const QColor &a, const QColor &b, int tolerance)
    {
        return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
               qAbs(a.blue() - b.blue()) <= tolerance;
    }

    // Runs `inside` once the modal window opened by `open` is up, then returns.
    template <typename Open, typename Inside> static void whileModal(Open open, Inside inside)
    {
        bool ran = false;
        QTimer::singleShot(0, [&] {
            QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
            inside(QApplication::activeModalWidget());
            ran = true;
        });
        QTimer safetyNet; // a failing check inside must not leave the modal loop running
        safetyNet.setSingleShot(true);
        QObject::connect(&safetyNet, &QTimer::timeout, [] {
            if (auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                modal->done(QDialog::Rejected);
        });
        safetyNet.start(5000);
        open();
        QVERIFY(ran);
    }

    // One of the four windows, loaded and shown.
    QWidget *openWindow(const QString &window)
    {
        QWidget *shown = m_window.get();
        if (window == u"FrmNotify")
            shown = &Forms::notify().load();
        else if (window == u"frmClose")
            shown = &Forms::close().load(m_window.get());
        else if (window == u"frmAbout")
            shown = &Forms::about().load();
        shown->show();
        return shown;
    }

    // The desktop turns to a dark palette (KDE's Breeze Dark colours): light text on dark
    // grounds. Widgets hear of it from the event loop.
    static void setDarkPalette()
    {
        QApplication::setPalette(darkPalette());
        QCoreApplication::processEvents();
    }
    static QPalette darkPalette()
    {
        QPalette dark(QColor(0x31, 0x36, 0x3b), QColor(0x31, 0x36, 0x3b));
        for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text,
                          QPalette::BrightText, QPalette::ToolTipText})
            dark.setColor(role, QColor(0xfc, 0xfc, 0xfc));
        dark.setColor(QPalette::Base, QColor(0x1b, 0x1e, 0x20));
        dark.setColor(QPalette::Shadow, Qt::black);
        return dark;
    }

    // What a control's text is drawn on and in, as its window shows it: the ground is the
    // commonest colour of the pixels that change when the text goes, seen without it; the
    // text is the colour, among those pixels with the text, that stands out most from it.
    static QPair<QColor, QColor> textAndGround(QWidget *control)
    {
        QString text;
        std::function<void(const QString &)> set;
        if (auto *label = qobject_cast<QLabel *>(control)) {
            text = label->text();
            set = [label](const QString &t) { label->setText(t); };
        } else if (auto *button = qobject_cast<QAbstractButton *>(control)) {
            text = button->text();
            set = [button](const QString &t) { button->setText(t); };
        } else if (auto *edit = qobject_cast<QLineEdit *>(control)) {
            text = edit->text().isEmpty() ? QStringLiteral("secret") : edit->text();
            set = [edit](const QString &t) { edit->setText(t); };
        }
        QWidget *window = control->window();
        const QRect area(control->mapTo(window, QPoint(0, 0)), control->size());
        set(text);
        const QImage with = window->grab(area).toImage();
        set(QString());
        const QImage without = window->grab(area).toImage();
        set(text);
        QHash<QRgb, int> behind;
        QList<QColor> drawn;
        for (int y = 0; y < with.height(); ++y) {
            for (int x = 0; x < with.width(); ++x) {
                if (with.pixel(x, y) == without.pixel(x, y))
                    continue;
                drawn << with.pixelColor(x, y);
                ++behind[without.pixel(x, y)];
            }
        }
        QColor ground;
        int most = -1;
        for (auto it = behind.cbegin(); it != behind.cend(); ++it) {
            if (it.value() > most) {
                most = it.value();
                ground = QColor(it.key());
            }
        }
        QColor ink = ground;
        for (const QColor &colour : drawn) {
            if (LightPalette::contrast(colour, ground) > LightPalette::contrast(ink, ground))
                ink = colour;
        }
        return {ink, ground};
    }

private Q_SLOTS:
    void initTestCase() { m_palette = QApplication::palette(); }

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
        QApplication::setPalette(m_palette);
    }

    void window()
    {
        QCOMPARE(m_window->size(), QSize(349, 210));
        QCOMPARE(m_window->pos(), QPoint(452, 360));
        QVERIFY(m_window->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(m_window->windowFlags() & Qt::WindowType_Mask, Qt::Tool); // no taskbar entry
        QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
        QVERIFY(!m_window->windowIcon().isNull());
        QCOMPARE(m_window->Picture1->geometry(), QRect(1, 1, 348, 209));
    }

    // Each window has a one-pixel frame on all four sides, over whatever control reaches its
    // edge, and no control moves for it.
    void thinFrame_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("main window")
            << "frmPop" << QSize(349, 210) << "Picture1" << QRect(1, 1, 348, 209);
        QTest::newRow("notification")
            << "FrmNotify" << QSize(295, 104) << "Picture2" << QRect(239, 85, 54, 18);
        QTest::newRow("exit confirmation")
            << "frmClose" << QSize(176, 64) << "Command1" << QRect(9, 37, 77, 21);
        QTest::newRow("About") << "frmAbout" << QSize(203, 85) << "" << QRect();
    }
    void thinFrame()
    {
        QFETCH(QString, window);
        QFETCH(QSize, size);
        QFETCH(QString, control);
        QFETCH(QRect, geometry);
        QWidget *shown = openWindow(window);
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        QCOMPARE(shown->size(), size);
        if (!control.isEmpty()) {
            auto *inside = shown->findChild<QWidget *>(control);
            QVERIFY(inside);
            QCOMPARE(inside->geometry(), geometry);
        }
        const QImage shot = shown->grab().toImage();
        const QColor frame = ThinFrame::colour(shown);
        QStringList wrong;
        auto expect = [&](int x, int y, bool onFrame) {
            if ((shot.pixelColor(x, y).rgb() == frame.rgb()) != onFrame && wrong.size() < 8)
                wrong << QStringLiteral("%1,%2 %3").arg(x).arg(y).arg(shot.pixelColor(x, y).name());
        };
        for (int x = 0; x < size.width(); ++x) {
            expect(x, 0, true);
            expect(x, size.height() - 1, true);
        }
        for (int y = 0; y < size.height(); ++y) {
            expect(0, y, true);
            expect(size.width() - 1, y, true);
        }
        // One pixel wide: the window's own look starts right inside it.
        expect(size.width() / 2, 1, false);
        expect(1, size.height() / 2, false);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral("; "))));
    }

    // Under a dark desktop palette every text keeps its contrast on its own background: at
    // least 4.5 : 1 (WCAG's level for text), or for the layout's own light grey on grey and on
    // teal the contrast the layout has (2.99 and 3.62 : 1, a little less where a glyph's
    // stroke is thinner than a pixel); never less than under the default palette.
    void readableOnDarkTheme_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("control");
        QTest::addColumn<double>("least");
        const auto row = [](const char *window, const char *control, double least = 4.5) {
            QTest::addRow("%s %s", window, control) << window << control << least;
        };
        for (const char *control : {"statLbl", "newLbl", "Label2", "Label3", "Label4", "cmdSet",
                                    "cmdReSet", "cmdCheck", "Text2", "Text3", "Text4", "Text5"})
            row("frmPop", control);
        row("frmPop", "Check1", 3.5);
        row("frmPop", "Label1", 3.5);
        row("FrmNotify", "Label1", 2.9);
        row("FrmNotify", "Label2", 2.9);
        row("FrmNotify", "cmdClose");
        row("FrmNotify", "Label3");
        for (const char *control : {"Label1", "Label2", "Command1", "Command2"})
            row("frmClose", control);
    }
    void readableOnDarkTheme()
    {
        QFETCH(QString, window);
        QFETCH(QString, control);
        QFETCH(double, least);
        Module1::changeLog().record(QStringLiteral("3 New Messages"), QStringLiteral("13:00"));
        QWidget *shown = openWindow(window);
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        auto *target = shown->findChild<QWidget *>(control);
        QVERIFY(target);
        const auto [lightText, lightGround] = textAndGround(target);
        setDarkPalette();
        const auto [text, ground] = textAndGround(target);
        const double ratio = LightPalette::contrast(text, ground);
        qInfo("%s on %s: %.2f : 1 (under the default palette %s on %s: %.2f : 1)",
              qPrintable(text.name()), qPrintable(ground.name()), ratio,
              qPrintable(lightText.name()), qPrintable(lightGround.name()),
              LightPalette::contrast(lightText, lightGround));
        QVERIFY2(ratio >= least, qPrintable(QString::number(ratio)));
        QVERIFY2(ratio >= LightPalette::contrast(lightText, lightGround) - 0.01,
                 qPrintable(QString::number(ratio)));
    }

    // A dark desktop palette changes nothing inside the four windows.
    void darkThemeChangesNothing_data()
    {
        QTest::addColumn<QString>("window");
        for (const char *window : {"frmPop", "FrmNotify", "frmClose", "frmAbout"})
            QTest::newRow(window) << window;
    }
    void darkThemeChangesNothing()
    {
        QFETCH(QString, window);
        Module1::changeLog().record(QStringLiteral("3 New Messages"), QStringLiteral("13:00"));
        QWidget *shown = openWindow(window);
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        m_window->Text4->setText(QStringLiteral("secret"));
        const QImage light = shown->grab().toImage();
        setDarkPalette();
        const QImage dark = shown->grab().toImage();
        int differ = 0;
        for (int y = 0; y < light.height(); ++y)
            for (int x = 0; x < light.width(); ++x)
                differ += light.pixel(x, y) != dark.pixel(x, y);
        QVERIFY2(differ == 0, qPrintable(QStringLiteral("%1 of %2 pixels differ")
                                             .arg(differ)
                                             .arg(light.width() * light.height())));
    }

    // A screen reader names every box by its caption and the popup's scroll bar, and can
    // press the command labels, which still take no keyboard focus.
    void accessibleNames_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::newRow("Text2") << "Text2"
                               << "Server";
        QTest::newRow("Text3") << "Text3"
                               << "Login";
        QTest::newRow("Text4") << "Text4"
                               << "Password";
        QTest::newRow("Text5") << "Text5"
                               << "Check after every (min)";
        QTest::newRow("Label2") << "Label2"
                                << "Minimise";
        QTest::newRow("Label3") << "Label3"
                                << "View Log";
        QTest::newRow("Label4") << "Label4"
                                << "Close";
        QTest::newRow("VScroll1") << "VScroll1"
                                  << "Change log";
    }
    void accessibleNames()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        Forms::notify().load();
        QWidget *target = m_window->findChild<QWidget *>(control);
        if (!target)
            target = Forms::notify().form()->findChild<QWidget *>(control);
        QVERIFY(target);
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(target);
        QVERIFY(accessible);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        if (!control.startsWith(u"Label"))
            return;
        QCOMPARE(target->focusPolicy(), Qt::NoFocus);
        QAccessibleActionInterface *actions = accessible->actionInterface();
        QVERIFY(actions);
        QCOMPARE(actions->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
    }

    // The press action does what a click does, from the event loop: the screen reader's call
    // returns before a modal window opens.
    void accessiblePress_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("opens"); // the modal window the press opens; empty: none
        QTest::newRow("Minimise") << "Label2"
                                  << "";
        QTest::newRow("View Log") << "Label3"
                                  << "FrmNotify";
        QTest::newRow("Close") << "Label4"
                               << "frmClose";
    }
    void accessiblePress()
    {
        QFETCH(QString, control);
        QFETCH(QString, opens);
        auto *label = m_window->findChild<QWidget *>(control);
        QVERIFY(label);
        QAccessibleActionInterface *actions =
            QAccessible::queryAccessibleInterface(label)->actionInterface();
        QVERIFY(actions);
        actions->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(m_window->isVisible());
        if (opens.isEmpty()) {
            QTRY_VERIFY(!m_window->isVisible());
            QCOMPARE(m_window->windowStateValue(), 1);
            return;
        }
        QString seen;
        QTimer::singleShot(0, [&] {
            QTRY_VERIFY(QApplication::activeModalWidget());
            seen = QApplication::activeModalWidget()->objectName();
            if (auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                modal->reject();
        });
        QTRY_COMPARE(seen, opens);
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }

    // The notification window is announced as a notification, named by the entry it shows.
    void notificationAnnounced()
    {
        Module1::changeLog().record(QStringLiteral("2 New Messages"), QStringLiteral("13:00"));
        QAccessibleInterface *accessible =
            QAccessible::queryAccessibleInterface(&Forms::notify().load());
        QVERIFY(accessible);
        QCOMPARE(accessible->role(), QAccessible::Notification);
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("2 New Messages"));
        QCOMPARE(accessible->text(QAccessible::Description), QStringLiteral("[ 13:00 ]"));
    }

    // Where a window goes among the screens.
    void screenPlace_data()
    {
        using Screen = ScreenPlace::Screen;
        QTest::addColumn<QList<Screen>>("screens"); // the primary first
        QTest::addColumn<QRect>("window");
        QTest::addColumn<QPoint>("place");
        const QSize size(349, 210);
        const Screen left{{0, 0, 1024, 768}, {0, 0, 1024, 736}};
        const Screen right{{1024, 0, 1280, 1024}, {1024, 0, 1280, 1024}};
        const QPoint home(452, 360);
        QTest::newRow("on the one screen") << QList<Screen>{left} << QRect(home, size) << home;
        QTest::newRow("on the primary, on the right")
            << QList<Screen>{right, left} << QRect(right.available.topLeft() + home, size)
            << QPoint(1476, 360);
        QTest::newRow("an 800 x 600 screen: a pixel to the left")
            << QList<Screen>{{{0, 0, 800, 600}, {0, 0, 800, 600}}} << QRect(home, size)
            << QPoint(451, 360);
        QTest::newRow("straddling: onto the screen with most of it")
            << QList<Screen>{right, left} << QRect(QPoint(900, 100), size) << QPoint(1024, 100);
        QTest::newRow("straddling: onto the other")
            << QList<Screen>{right, left} << QRect(QPoint(800, 100), size) << QPoint(675, 100);
        QTest::newRow("off every screen: home on the primary")
            << QList<Screen>{right, left} << QRect(QPoint(3000, 100), size) << QPoint(1476, 360);
        QTest::newRow("hanging below: out of the panel's way")
            << QList<Screen>{left} << QRect(QPoint(452, 600), size) << QPoint(452, 526);
    }
    void screenPlace()
    {
        QFETCH(QList<ScreenPlace::Screen>, screens);
        QFETCH(QRect, window);
        QFETCH(QPoint, place);
        const QPoint home = screens.first().available.topLeft() + QPoint(452, 360);
        QCOMPARE(ScreenPlace::kept(window, screens, screens.first(), home), place);
    }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QString>("family"); // empty: the window's default font
        QTest::addColumn<double>("points");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<QPoint>("sample"); // a point of the control showing its colour
        QTest::addColumn<unsigned>("colour");
        QTest::addColumn<int>("tolerance");
        auto row = [](const char *name, QRect g, const char *tip, const char *family, double pt,
                      bool bold, QPoint sample, unsigned colour, int tolerance) {
            QTest::newRow(name) << name << g << tip << family << pt << bold << sample << colour
                                << tolerance;
        };
        row("cmdReSet", {282, 83, 43, 19}, "Restore saved settings.", "Arial", 8.25, true, {4, 9},
            0xC0FFFF, 24);
        row("Check1", {52, 20, 108, 12}, "Start MoRvEx as minimised to system tray.", "", 8.25,
            false, {105, 1}, 0x008080, 0);
        row("Text2", {51, 34, 153, 19}, "Enter pop server/proxy setting here.", "", 8.25, false,
            {145, 9}, 0xE0E0E0, 0);
        row("Text3", {51, 58, 153, 19}, "Enter accont user name here.", "", 8.25, false, {145, 9},
            0xE0E0E0, 0);
        row("Text4", {51, 82, 153, 19}, "Enter account password here.", "", 8.25, false, {145, 9},
            0xE0E0E0, 0);
        row("Text5", {211, 82, 25, 19}, "Enter time delay in minutes.", "", 8.25, false, {3, 9},
            0xE0E0E0, 0);
        row("cmdSet", {239, 83, 43, 19}, "Save current settings.", "Arial", 8.25, true, {4, 9},
            0xFFC0FF, 24);
        row("cmdCheck", {210, 35, 115, 31}, "Check pop mail now.", "Arial", 14.25, true, {110, 4},
            0xC0C0FF, 24);
        row("Label2", {236, 165, 77, 15}, "Minimise aplication to tray.", "", 8.25, false, {1, 1},
            0xC0FFC0, 0);
        row("Label3", {151, 165, 77, 15}, "View email message log.", "", 8.25, false, {1, 1},
            0xFFC080, 0);
        row("Label4", {66, 165, 77, 15}, "Close and exit application.", "", 8.25, false, {1, 1},
            0xFFC0C0, 0);
        row("statLbl", {52, 107, 272, 17}, " Status......", "", 8.25, false, {270, 15}, 0xFFFFC0,
            0);
        row("newLbl", {52, 130, 272, 17}, " Mails In InBox....", "", 8.25, false, {270, 15},
            0xFFFFC0, 0);
        row("Image1", {0, 6, 36, 193}, "Morvex Ver 1.019  by Halvern", "", 8.25, false, {0, 0},
            0x808080, 0);
        row("Shape1", {44, 13, 288, 179}, "", "", 8.25, false, {4, 142}, 0x008080, 0);
        row("Shape2", {63, 162, 83, 21}, "", "", 8.25, false, {2, 10}, 0x808080, 0);
        row("Shape3", {148, 162, 83, 21}, "", "", 8.25, false, {2, 10}, 0x808080, 0);
        row("Shape4", {233, 162, 83, 21}, "", "", 8.25, false, {2, 10}, 0x808080, 0);
    }
    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, tip);
        QFETCH(QString, family);
        QFETCH(double, points);
        QFETCH(bool, bold);
        QFETCH(QPoint, sample);
        QFETCH(unsigned, colour);
        QFETCH(int, tolerance);
        QWidget *control = m_window->findChild<QWidget *>(name);
        QVERIFY(control);
        QCOMPARE(control->parentWidget(), m_window->Picture1);
        QCOMPARE(control->geometry(), geometry);
        QCOMPARE(control->toolTip(), tip);
        const QFont font = control->font();
        // A caption that does not fit its box at the layout's size is shown a little smaller.
        QVERIFY2(font.pointSizeF() <= points && font.pointSizeF() > points - 1,
                 qPrintable(QString::number(font.pointSizeF())));
        QCOMPARE(font.bold(), bold);
        if (!family.isEmpty())
            QCOMPARE(font.family(), family);
        if (m_shot.isNull())
            m_shot = m_window->grab().toImage();
        const QPoint at = m_window->Picture1->mapTo(m_window.get(), geometry.topLeft() + sample);
        const QColor seen = m_shot.pixelColor(at);
        QVERIFY2(near(seen, rgb(colour), tolerance), qPrintable(QStringLiteral("%1 at %2,%3 is %4")
                                                                    .arg(name)
                                                                    .arg(at.x())
                                                                    .arg(at.y())
                                                                    .arg(seen.name())));
    }

    void textColours()
    {
        for (QLineEdit *edit : {m_window->Text2, m_window->Text3, m_window->Text4, m_window->Text5})
            QCOMPARE(edit->palette().color(QPalette::Text), rgb(0x0000C0));
        QCOMPARE(m_window->Check1->palette().color(QPalette::WindowText), rgb(0xE0E0E0));
        QCOMPARE(m_window->Label1->palette().color(QPalette::WindowText), rgb(0xE0E0E0));
        QVERIFY(!m_window->Label1->autoFillBackground());
        QCOMPARE(m_window->Text5->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        for (QLabel *label : {m_window->Label2, m_window->Label3, m_window->Label4})
            QCOMPARE(label->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        QCOMPARE(m_window->Text1->geometry(), QRect(16, 221, 92, 42)); // below the client area
        QCOMPARE(m_window->Image1->cursor().shape(), Qt::SizeAllCursor);
    }

    // Controls drawn later lie above: the teal panel behind everything, the small frames
    // behind their labels, the labels behind the buttons and boxes.
    void passwordShowsAsterisks()
    {
        QCOMPARE(m_window->Text4->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                                     m_window->Text4),
                 int('*'));
        m_window->Text4->setText(QStringLiteral("pw"));
        QCOMPARE(m_window->Text4->displayText(), QStringLiteral("**"));
    }

    void drawingOrder()
    {
        const QObjectList kids = m_window->Picture1->children();
        auto index = [&](QWidget *w) { return kids.indexOf(w); };
        QVERIFY(index(m_window->Shape1) < index(m_window->Shape2));
        for (Shape *frame : {m_window->Shape2, m_window->Shape3, m_window->Shape4})
            QVERIFY(index(frame) < index(m_window->Label2));
        QVERIFY(index(m_window->statLbl) < index(m_window->Text2));
        QVERIFY(index(m_window->Image1) < index(m_window->cmdCheck));
        QCOMPARE(m_window->Shape1->borderColour(), rgb(0xC0FFC0));
        QCOMPARE(m_window->Shape2->borderColour(), rgb(0xFFFF80));
    }

    void tabOrder()
    {
        QStringList order;
        QWidget *w = m_window->Text2;
        for (int i = 0; i < 20; ++i) {
            if (w->focusPolicy() & Qt::TabFocus && w->isVisibleTo(m_window.get()))
                order << w->objectName();
            w = w->nextInFocusChain();
            if (w == m_window->Text2)
                break;
        }
        QCOMPARE(order, QStringList({"Text2", "Text3", "Text4", "Text5", "cmdSet", "cmdCheck",
                                     "Check1", "cmdReSet"}));
    }

    void checkNowPictures()
    {
        const QImage closed = m_window->cmdCheck->shownPicture().toImage();
        m_window->cmdCheck->setEnabled(false);
        const QImage open = m_window->cmdCheck->shownPicture().toImage();
        m_window->cmdCheck->setEnabled(true);
        QVERIFY(!closed.isNull() && !open.isNull());
        QVERIFY(closed != open);
        QCOMPARE(closed.size(), QSize(64, 64)); // drawn at twice the size: crisp at 2x
    }

    void minimiseAndTrayToggle()
    {
        QTest::mouseClick(m_window->Label2, Qt::LeftButton);
        QVERIFY(!m_window->isVisible());
        QCOMPARE(m_window->windowStateValue(), 1);
        QVERIFY(m_window->Tim2->isActive());
        QVERIFY(m_window->trayData());

        m_window->showOrHide();
        QVERIFY(m_window->isVisible());
        QCOMPARE(m_window->windowStateValue(), 0);
        QTRY_VERIFY(m_window->windowFlags() & Qt::WindowStaysOnTopHint);

        Module1::changeLog().record(QStringLiteral("1 New Message"), QStringLiteral("now"));
        Forms::notify().load();
        Forms::notify().showModeless();
        m_window->showOrHide();
        QVERIFY(!m_window->isVisible());
        QCOMPARE(m_window->windowStateValue(), 1);
        QVERIFY(!Forms::notify().isLoaded());
    }

    void singleClickRule_data()
    {
        QTest::addColumn<bool>("buttonHeld"); // the click is a press on a window of ours
        // The kind of icon decides, not the mouse: an embedded icon's click does nothing,
        // also one handled after the button is up again.
        QTest::newRow("embedded icon, button held") << true;
        QTest::newRow("embedded icon, click handled late") << false;
    }
    void singleClickRule()
    {
        QFETCH(bool, buttonHeld);
        QVERIFY(m_window->trayData());
        QVERIFY(m_window->trayData()->kind() != TrayIcon::Kind::StatusNotifierItem);
        // An embedded icon reports its click while the button is still down on it.
        if (buttonHeld)
            QTest::mousePress(m_window->statLbl, Qt::LeftButton);
        Q_EMIT m_window->trayData()->activated(QSystemTrayIcon::Trigger);
        if (buttonHeld)
            QTest::mouseRelease(m_window->statLbl, Qt::LeftButton);
        QVERIFY(m_window->isVisible());
        Q_EMIT m_window->trayData()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!m_window->isVisible());
    }

    void aboutIsOneWindow()
    {
        Q_EMIT m_window->trayData()->activated(QSystemTrayIcon::Context);
        QPointer<frmAbout> about = Forms::about().form();
        QVERIFY(about && about->isVisible());
        QCOMPARE(about->size(), QSize(203, 85));
        QCOMPARE(about->cursor().shape(), Qt::UpArrowCursor);
        QVERIFY(m_window->isVisible()); // the main window does not change
        about->hide();
        Q_EMIT m_window->trayData()->activated(QSystemTrayIcon::Context);
        QCOMPARE(Forms::about().form(), about.data()); // shown again, not loaded again
        QVERIFY(about->isVisible());
        QTest::mouseClick(about, Qt::LeftButton, {}, QPoint(100, 40));
        QVERIFY(!Forms::about().isLoaded());
        QTRY_VERIFY(about.isNull());
    }

    void closingAboutWhileHiddenKeepsRunning()
    {
        m_window->Label2_Click();
        Q_EMIT m_window->trayData()->activated(QSystemTrayIcon::Context);
        QEventLoop loop;
        bool stillRunning = false;
        QTimer::singleShot(50, [&] {
            QTest::mouseClick(Forms::about().form(), Qt::LeftButton, {}, QPoint(10, 10));
        });
        QTimer::singleShot(400, [&] {
            stillRunning = true;
            loop.quit();
        });
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, &loop, &QEventLoop::quit);
        loop.exec();
        QVERIFY(stillRunning);
        QVERIFY(!Forms::about().isLoaded());
    }

    void viewLog_data()
    {
        QTest::addColumn<int>("changes");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("maximum");
        QTest::newRow("empty log") << 0 << "0 New Messages" << 1;
        QTest::newRow("full log") << 120 << "120 New Messages" << 100;
    }
    void viewLog()
    {
        QFETCH(int, changes);
        QFETCH(QString, shown);
        QFETCH(int, maximum);
        for (int i = 1; i <= changes; ++i)
            Module1::changeLog().record(QStringLiteral("%1 New Messages").arg(i), "t");
        Forms::notify().load();
        Forms::notify().showModeless();
        QPointer<FrmNotify> previous = Forms::notify().form();
        whileModal([&] { QTest::mouseClick(m_window->Label3, Qt::LeftButton); },
                   [&](QWidget *modal) {
                       auto *log = qobject_cast<FrmNotify *>(modal);
                       QVERIFY(log);
                       QVERIFY(log != previous);
                       QCOMPARE(log->Label1->text(), shown);
                       QCOMPARE(log->VScroll1->maximum(), maximum);
                       QCOMPARE(log->VScroll1->value(), maximum);
                       QTest::mouseClick(log->cmdClose, Qt::LeftButton);
                   });
        QVERIFY(!Forms::notify().isLoaded());
        QTRY_VERIFY(previous.isNull());
    }

    // "Exit Morvex…" from the tray while a check runs: "Exit Morvex?" opens once the check has
    // ended, not inside its wait; asked twice, it opens once.
    void exitFromTrayDuringCheck()
    {
        bool openedInside = false;
        m_control->duringCheck = [&] {
            m_window->exitFromTray();
            m_window->exitFromTray();
            QTest::qWait(300);
            openedInside = Forms::close().isLoaded();
        };
        m_window->cmdCheck_Click();
        QVERIFY(!openedInside);
        int opened = 0;
        whileModal([&] { QTest::qWait(300); },
                   [&](QWidget *modal) {
                       opened += qobject_cast<frmClose *>(modal) != nullptr;
                       QTest::mouseClick(qobject_cast<frmClose *>(modal)->Command2,
                                         Qt::LeftButton); // "No way"
                   });
        QCOMPARE(opened, 1);
        QTest::qWait(300);
        QVERIFY(!Forms::close().isLoaded());
        QVERIFY(m_window->isVisible());
    }

    void exitWindow()
    {
        for (int opening = 0; opening < 2; ++opening) {
            whileModal([&] { QTest::mouseClick(m_window->Label4, Qt::LeftButton); },
                       [&](QWidget *modal) {
                           auto *confirm = qobject_cast<frmClose *>(modal);
                           QVERIFY(confirm);
                           QCOMPARE(confirm->Label2->text(), QStringLiteral("ver 1.0.19"));
                           QCOMPARE(confirm->Label1->text(), QStringLiteral("Exit Morvex?"));
                           QCOMPARE(confirm->size(), QSize(176, 64));
                           QCOMPARE(confirm->focusWidget(), confirm->Command1);
                           QCOMPARE(confirm->geometry().center(), m_window->geometry().center());
                           QTest::mouseClick(confirm->Command2, Qt::LeftButton); // "No way"
                       });
            QVERIFY(!Forms::close().isLoaded());
            QVERIFY(m_window->isVisible());
            QVERIFY(m_window->trayData());
            QVERIFY(m_window->Tim2->isActive());
        }
    }

    void exitEndsTheProgram()
    {
        QEventLoop loop; // stands in for the program's event loop
        int status = -1;
        QTimer::singleShot(0, [&] {
            whileModal([&] { m_window->Label4_Click(); },
                       [&](QWidget *modal) {
                           auto *confirm = qobject_cast<frmClose *>(modal);
                           QVERIFY(confirm);
                           QCOMPARE(confirm->focusWidget(), confirm->Command1);
                           QTest::keyClick(confirm->focusWidget(), Qt::Key_Space);
                       });
        });
        QTimer::singleShot(5000, &loop, [&] { loop.exit(99); });
        status = loop.exec();
        QCOMPARE(status, 0);
        QVERIFY(!m_window->trayData());
    }
};

int main(int argc, char **argv)
{
    MorvexApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow.moc"
