#include "frmPop.h"

#include "MessageBox.h"
#include "SingleInstance.h"
#include "mail/ChangeLog.h"
#include "mail/GeneralDate.h"
#include "mail/SystemNetwork.h"
#include "mail/Tarvik.h"
#include "mail/TextRules.h"
#include "mail/TickSource.h"
#include "settings/SecretKeyring.h"
#include "settings/SettingsStore.h"
#include "settings/StoredPassword.h"
#include "settings/WindowSettings.h"
#include "tray/Tray.h"
#include "ui/Captions.h"
#include "ui/CommandLabel.h"
#include "ui/Forms.h"
#include "ui/FrmNotify.h"
#include "ui/GraphicalButton.h"
#include "ui/Module1.h"
#include "ui/Pictures.h"
#include "ui/PopLayout.h"
#include "ui/Shape.h"
#include "ui/frmAbout.h"
#include "ui/frmClose.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>

frmPop::frmPop()
    : frmPop(Services{})
{
}

frmPop::frmPop(Services services)
    : m_services(withDefaults(std::move(services)))
    , m_network(*m_services.ticks)
    , m_check(*this, *m_services.control, m_fields, *m_services.ticks, &m_network)
    , m_scheduler(*this, m_fields, *m_services.ticks, m_check)
{
    createControls();
    layoutPopWindow(*this);
    m_tray =
        m_services.trayHostPresent ? new Tray(m_services.trayHostPresent, this) : new Tray(this);
    connect(m_tray, &Tray::ready, this, &frmPop::addTaskbar);
    connect(m_tray, &Tray::lost, this, &frmPop::trayLost);
    connect(m_tray, &Tray::showOrHide, this, &frmPop::showOrHide);
    connect(m_tray, &Tray::checkNow, this, &frmPop::checkNow);
    connect(m_tray, &Tray::about, this, &frmPop::showAbout);
    connect(m_tray, &Tray::exit, this, &frmPop::exitFromTray);
    m_check.ended = [this] { Q_EMIT checkEnded(); };
    // The network state holds an owed check while the scheduler is stopped (an empty password
    // box), and never holds one for a server on the loopback.
    m_network.setServer([this] { return Text2->text(); });
    m_network.setSchedulerRunning([this] { return Tim2->isActive(); });
    m_keyring = new SecretKeyring(this);
    m_password = std::make_unique<StoredPassword>(*this, *m_keyring);
    // A box the keyring filled late starts the scheduler again, which the empty box stopped;
    // a check that waited for the password is due at the next tick.
    connect(m_password.get(), &StoredPassword::arrived, this, [this](bool checkWithheld) {
        if (m_check.isRunning())
            return;
        if (checkWithheld)
            m_fields.nextTick = m_services.ticks->now();
        setTim2Enabled(true);
    });
    connect(&m_network, &NetworkState::checkWanted, this, [this] { m_scheduler.runDueCheck(); });
}

frmPop::~frmPop()
{
    remTaskbar();
}

frmPop::Services frmPop::withDefaults(Services services)
{
    if (!services.control)
        services.control = std::make_unique<Tarvik>();
    if (!services.ticks)
        services.ticks = std::make_shared<SystemTicks>();
    if (!services.guard)
        services.guard = std::make_shared<SingleInstance>();
    return services;
}

namespace {

// A control with its objectName, made the way the form's design makes it.
template <typename Control, typename Parent, typename... Args>
Control *named(Parent *parent, const char *name, Args &&...args)
{
    auto *control = new Control(std::forward<Args>(args)..., parent);
    control->setObjectName(QString::fromLatin1(name));
    return control;
}

QLineEdit *textBox(QWidget *parent, const char *name, const QString &text)
{
    auto *edit = named<QLineEdit>(parent, name, text);
    // Long passwords and server texts are kept whole (QLineEdit's default cuts at 32767).
    edit->setMaxLength(std::numeric_limits<int>::max());
    return edit;
}

} // namespace

void frmPop::createControls()
{
    setObjectName(QStringLiteral("frmPop"));
    setWindowTitle(QStringLiteral("Morvex")); // never shown: there is no title bar
    Picture1 = named<QWidget>(this, "Picture1");
    // Created back to front, so each one is drawn over the ones before it.
    Shape1 = named<Shape>(Picture1, "Shape1");
    Shape4 = named<Shape>(Picture1, "Shape4");
    Shape3 = named<Shape>(Picture1, "Shape3");
    Shape2 = named<Shape>(Picture1, "Shape2");
    newLbl = named<QLabel>(Picture1, "newLbl", QStringLiteral(" Mails In InBox...."));
    statLbl = named<QLabel>(Picture1, "statLbl", QStringLiteral(" Status......"));
    Label1 = named<QLabel>(Picture1, "Label1", QStringLiteral("Check after every (min)"));
    Image1 = named<QLabel>(Picture1, "Image1");
    auto *close = named<CommandLabel>(Picture1, "Label4", QStringLiteral("Close"));
    auto *viewLog = named<CommandLabel>(Picture1, "Label3", QStringLiteral("View Log"));
    auto *minimise = named<CommandLabel>(Picture1, "Label2", QStringLiteral("Minimise"));
    connect(close, &CommandLabel::clicked, this, &frmPop::Label4_Click);
    connect(viewLog, &CommandLabel::clicked, this, &frmPop::Label3_Click);
    connect(minimise, &CommandLabel::clicked, this, &frmPop::Label2_Click);
    Label4 = close;
    Label3 = viewLog;
    Label2 = minimise;
    Text1 = textBox(this, "Text1", QStringLiteral("Timer"));
    Text1->setVisible(false);
    Text5 = textBox(Picture1, "Text5", QStringLiteral("10"));
    Text4 = textBox(Picture1, "Text4", QString());
    Text4->setEchoMode(QLineEdit::Password);
    Text3 = textBox(Picture1, "Text3", QStringLiteral("Login"));
    Text2 = textBox(Picture1, "Text2", QStringLiteral("Server"));
    Check1 = named<QCheckBox>(Picture1, "Check1", QStringLiteral("Minimize at startup"));
    cmdCheck = named<GraphicalButton>(Picture1, "cmdCheck", QStringLiteral("Check Now"));
    cmdSet = named<GraphicalButton>(Picture1, "cmdSet", QStringLiteral("Save"));
    cmdReSet = named<GraphicalButton>(Picture1, "cmdReSet", QStringLiteral("Reset"));
    connect(cmdCheck, &QPushButton::clicked, this, &frmPop::cmdCheck_Click);
    connect(cmdSet, &QPushButton::clicked, this, &frmPop::cmdSet_Click);
    connect(cmdReSet, &QPushButton::clicked, this, &frmPop::cmdReSet_Click);
    Image1->installEventFilter(this);

    Tim2 = named<QTimer>(this, "Tim2");
    Tim2->setInterval(10000);
    // A coarse timer may fire a little early; the tick at the due minute would then just
    // miss it, and every check would come one tick (10 s) late.
    Tim2->setTimerType(Qt::PreciseTimer);
    connect(Tim2, &QTimer::timeout, this, &frmPop::Tim2_Timer);
    Timer1 = named<QTimer>(this, "Timer1");
    Timer1->setInterval(1);
    connect(Timer1, &QTimer::timeout, this, &frmPop::Timer1_Timer);
}

bool frmPop::Show()
{
    if (!m_loaded && !Form_Load())
        return false;
    // A minimised start is not mapped at all, Timer1 hides it at once: mapped iconic, the
    // window would keep iconic hints, and the tray's first restore would iconify it again.
    if (m_windowState != 1)
        show();
    return true;
}

bool frmPop::Form_Load()
{
    if (m_services.guard->prevInstance()) {
        MessageBox::information(QStringLiteral("Morvex Ver1.0"),
                                QStringLiteral("Morvex Mail Notifier already loaded"));
        return false;
    }
    m_loaded = true;
    Tim2->start();
    getDefault();
    addTaskbar();
    m_fields.oldCount = 0;
    m_fields.newCount = 0;
    Tarvik1().setPoptimeout(30);
    new SystemNetwork(m_network, this);
    if (store().getSetting(QStringLiteral("AtStart"), QString()) != u"Min") {
        showWindow();
    } else {
        setCheck1(true);
        setWindowStateValue(1);
        if (trayData())
            Timer1->start();
        else
            waitForTray();
    }
    Image1->setToolTip(QStringLiteral("Morvex Ver %1.%2%3  by Halvern")
                           .arg(MORVEX_VERSION_MAJOR)
                           .arg(MORVEX_VERSION_MINOR)
                           .arg(MORVEX_VERSION_REVISION));
    return true;
}

void frmPop::Timer1_Timer()
{
    hideToTray();
    Timer1->stop();
}

void frmPop::Form_QueryUnload()
{
    Forms::notify().unload();
}

bool frmPop::trayHostPresent() const
{
    return m_tray->showsIcon();
}

TrayIcon *frmPop::trayData() const
{
    return m_tray->icon();
}

void frmPop::waitForTray()
{
    // At a login the panel often comes seconds after the programs it starts. Meanwhile the
    // window is not mapped at all; when no tray has come after this while, it is shown, as
    // a hidden window could not be reached.
    constexpr int TrayWaitMs = 15000;
    m_waitingForTray = true;
    QTimer::singleShot(TrayWaitMs, this, [this] {
        if (!m_waitingForTray)
            return;
        m_waitingForTray = false;
        setWindowStateValue(0);
        show();
    });
}

void frmPop::trayLost()
{
    if (isVisible())
        return;
    // The panel crashed or was ended: without it the hidden window is out of reach.
    setWindowStateValue(0);
    show();
}

void frmPop::hideToTray()
{
    if (!trayHostPresent()) {
        // No tray host holds the icon: a hidden window could never be brought back.
        setWindowStateValue(0);
        show();
        return;
    }
    hide();
    setWindowStateValue(1);
}

SettingsStore &frmPop::store()
{
    if (!m_store)
        m_store = std::make_unique<SettingsStore>();
    return *m_store;
}

void frmPop::getDefault()
{
    // A fresh store: the file as it is on disk now, also when it was edited by hand or by
    // another program since the last read.
    m_store = std::make_unique<SettingsStore>();
    if (!::getDefault(*this, *m_store))
        setStatLbl(QStringLiteral("  ERROR, Settings could not be read."));
    m_password->loaded(*m_store);
}

void frmPop::cmdSet_Click()
{
    Scheduler::repairInterval(*this);
    setTim2Enabled(false);
    setNext();
    setTim2Enabled(true);
    const PasswordPlace password = m_password->save(trimBlanks(Text4->text()));
    saveSettings(*this, store(), password);
    if (!store().commit())
        setStatLbl(QStringLiteral("  ERROR, Settings could not be saved."));
}

void frmPop::cmdReSet_Click()
{
    getDefault();
}

void frmPop::cmdCheck_Click()
{
    m_password->checkNow();
    m_check.cmdCheck_Click();
}

void frmPop::Tim2_Timer()
{
    m_scheduler.Tim2_Timer();
}

void frmPop::setNext()
{
    m_scheduler.setNext();
}

void frmPop::addTaskbar()
{
    // Never before the window is loaded (a refused second copy adds none), and only once a
    // tray is there to take the icon.
    if (trayData() || !m_loaded)
        return;
    if (!m_tray->add(QStringLiteral("Morvex Mail Notifier.")))
        return;
    if (m_waitingForTray) {
        // The tray came in time: the window goes into it, as if it had been there at start.
        m_waitingForTray = false;
        Timer1->start();
    }
}

void frmPop::exitFromTray()
{
    // The exit confirmation, as "Close" opens it; once is enough.
    if (Forms::close().isLoaded()) {
        Forms::close().form()->raise();
        Forms::close().form()->activateWindow();
        return;
    }
    // Not inside a check's wait, which the modal window would hold up: just after it.
    if (m_check.isRunning()) {
        if (!m_exitAfterCheck) {
            m_exitAfterCheck = true;
            connect(
                this, &frmPop::checkEnded, this,
                [this] {
                    m_exitAfterCheck = false;
                    exitFromTray();
                },
                Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
        }
        return;
    }
    Label4_Click();
}

void frmPop::showOrHide()
{
    if (m_windowState != 0) {
        // Normal first, so the window is mapped normal and not iconified again.
        setWindowStateValue(0);
        show();
        Module1::keepOnTop(this);
        activateWindow(); // the user asked for the window
        m_tray->userLooked();
    } else {
        Forms::notify().unload();
        Forms::close().unload();
        hideToTray();
    }
}

void frmPop::showAbout()
{
    Forms::about().ensureLoaded();
    Forms::about().showModeless();
}

void frmPop::checkNow()
{
    // As the button: nothing while a check runs.
    cmdCheck->click();
}

void frmPop::Image1_MouseDown(const QPoint &pressedAt)
{
    Module1::dragForm(this, pressedAt);
}

void frmPop::Label2_Click()
{
    hideToTray();
}

void frmPop::Label3_Click()
{
    m_tray->userLooked();
    Forms::notify().unload();
    Forms::notify().load();
    Forms::notify().showModal(this);
}

void frmPop::Label4_Click()
{
    Forms::close().load(this);
    Forms::close().showModal(this);
}

void frmPop::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !event->spontaneous())
        return;
    // Iconified by the window manager (a minimise key, a taskbar click): the same as
    // "Minimise". The window manager's own report of an iconify this program asked for
    // arrives with the state already 1.
    if ((windowState() & Qt::WindowMinimized) && m_windowState == 0 && isVisible()) {
        QTimer::singleShot(0, this, [this] {
            if ((windowState() & Qt::WindowMinimized) && m_windowState == 0 && isVisible())
                Label2_Click();
        });
    }
}

void frmPop::closeEvent(QCloseEvent *event)
{
    // Closed by the window manager (Alt+F4, a window list's close): the main window
    // unloads, and with it the program.
    Form_QueryUnload();
    remTaskbar();
    event->accept();
    QCoreApplication::exit(0);
}

bool frmPop::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != Image1 || event->type() != QEvent::MouseButtonPress)
        return false;
    Image1_MouseDown(static_cast<QMouseEvent *>(event)->globalPosition().toPoint());
    return true;
}

void frmPop::keyPressEvent(QKeyEvent *event)
{
    // "Check Now" is the window's default button: Enter in any control that has no use for
    // it (the boxes, the check box) reaches the window and presses it. The other buttons
    // take Enter themselves, as a focused button does.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (!enter || !plain) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (cmdCheck->isEnabled())
        cmdCheck->click();
}

void frmPop::remTaskbar()
{
    // Gone for good: a tray that comes after this gets no icon.
    m_tray->remove();
}

void frmPop::setWindowStateValue(int state)
{
    m_windowState = state;
    m_tray->setWindowShown(state == 0); // "Show Morvex" or "Hide Morvex"
    // Only a window on screen is iconified. One hidden to the tray is not: the window
    // manager's late report of that iconify would otherwise meet the window shown again.
    if (state == 0)
        setWindowState(windowState() & ~Qt::WindowMinimized);
    else if (isVisible())
        setWindowState(windowState() | Qt::WindowMinimized);
}

QLineEdit *frmPop::box(Box which) const
{
    switch (which) {
    case Box::Text1:
        return Text1;
    case Box::Text2:
        return Text2;
    case Box::Text3:
        return Text3;
    case Box::Text4:
        return Text4;
    case Box::Text5:
        return Text5;
    }
    return Text1;
}

QString frmPop::text(Box which) const
{
    return box(which)->text();
}

void frmPop::setText(Box which, const QString &text)
{
    box(which)->setText(text);
}

bool frmPop::check1() const
{
    return Check1->isChecked();
}

void frmPop::setCheck1(bool ticked)
{
    Check1->setChecked(ticked);
}

void frmPop::setStatLbl(const QString &caption)
{
    Captions::setCaption(statLbl, caption, font());
}

void frmPop::setNewLbl(const QString &caption)
{
    Captions::setCaption(newLbl, caption, font());
}

void frmPop::setCmdCheckEnabled(bool enabled)
{
    cmdCheck->setEnabled(enabled);
}

void frmPop::setTim2Enabled(bool enabled)
{
    // Enabling a stopped timer starts a fresh 10-second period; enabling a running one
    // leaves its period alone.
    if (!enabled) {
        Tim2->stop();
    } else if (!Tim2->isActive()) {
        Tim2->start();
        m_network.schedulerStarted();
    }
}

void frmPop::showWindow()
{
    show();
}

QString frmPop::passwordWithheld()
{
    return m_password->checkStarting();
}

void frmPop::logChange()
{
    Module1::changeLog().record(changeText(m_fields.newCount, m_fields.oldCount), generalDate());
    Q_EMIT changeLogged();
    m_tray->counted(m_fields.newCount);
    Forms::notify().unload();
    Forms::notify().load();
    connect(Forms::notify().form(), &FrmNotify::closedWithButton, m_tray, &Tray::userLooked);
    // It pops up over whatever the user works in, without taking the keyboard from it.
    Forms::notify().form()->setAttribute(Qt::WA_ShowWithoutActivating);
    Forms::notify().showModeless();
}
