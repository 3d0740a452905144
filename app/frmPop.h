#pragma once

#include "mail/CheckCycle.h"
#include "mail/MailboxState.h"
#include "mail/NetworkState.h"
#include "mail/PopWindow.h"
#include "mail/Scheduler.h"

#include "tray/TrayIcon.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SecretKeyring;
class StoredPassword;
class Pop3Control;
class SettingsStore;
class GraphicalButton;
class Shape;
class SingleInstance;
class TickSource;
class Tray;

// The main window: the settings boxes, the two status lines, "Check Now", the scheduler's
// timer, the mailbox control and the tray icon. Its handlers keep the names of the events
// that raise them.
class frmPop : public QWidget, public PopWindow {
    Q_OBJECT
public:
    struct Services {
        std::unique_ptr<Pop3Control> control;  // default: the real POP3 client
        std::shared_ptr<TickSource> ticks;     // default: the system's boot clock
        std::shared_ptr<SingleInstance> guard; // default: this user's lock file
        // Stands in for the desktop's trays: whether one is there to show the icon, at every
        // question; the icon is then only the signal. Default: the trays are watched
        // (Tray), and the icon is of the kind the tray there takes.
        std::function<bool()> trayHostPresent;
    };

    frmPop();
    explicit frmPop(Services services);
    ~frmPop() override; // Form_Terminate

    // Loads the window (Form_Load) and shows it in the state the load left (a minimised start
    // leaves it to Timer1, which hides it). False when the program is to end at once because
    // another copy is running.
    bool Show();

    // Start-up and shutdown.
    bool Form_Load();
    void Timer1_Timer();
    void Form_QueryUnload();

    // Handlers of the controls.
    void cmdCheck_Click();
    void cmdSet_Click();
    void cmdReSet_Click();
    void Tim2_Timer();

    void setNext();
    void getDefault();
    void addTaskbar();
    void remTaskbar();

    // Window commands.
    void Image1_MouseDown(const QPoint &pressedAt);
    void Label2_Click();
    void Label3_Click();
    void Label4_Click();

    // The tray's commands: a double-click on the icon or the menu's first entry shows the
    // window (normal and on top) or hides it into the tray; a right-click or "About Morvex"
    // shows the About window; "Check Now" as the button; "Exit Morvex…" asks as "Close"
    // does.
    void showOrHide();
    void showAbout();
    void checkNow();
    void exitFromTray();

    // 0 normal, 1 minimised.
    int windowStateValue() const { return m_windowState; }
    void setWindowStateValue(int state);

    // The instance fields the check path shares.
    MailboxState &fields() { return m_fields; }
    Pop3Control &Tarvik1() { return *m_services.control; }
    TrayIcon *trayData() const;
    Tray *tray() const { return m_tray; }

    // PopWindow
    QString text(Box box) const override;
    void setText(Box box, const QString &text) override;
    bool check1() const override;
    void setCheck1(bool ticked) override;
    void setStatLbl(const QString &caption) override;
    void setNewLbl(const QString &caption) override;
    void setCmdCheckEnabled(bool enabled) override;
    void setTim2Enabled(bool enabled) override;
    void showWindow() override;
    void logChange() override;
    QString passwordWithheld() override;

    // The controls, named as their objectName.
    QLineEdit *Text1;
    QLineEdit *Text2;
    QLineEdit *Text3;
    QLineEdit *Text4;
    QLineEdit *Text5;
    QCheckBox *Check1;
    GraphicalButton *cmdCheck;
    GraphicalButton *cmdSet;
    GraphicalButton *cmdReSet;
    QLabel *statLbl;
    QLabel *newLbl;
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *Label4;
    QLabel *Image1;
    QWidget *Picture1;
    Shape *Shape1;
    Shape *Shape2;
    Shape *Shape3;
    Shape *Shape4;
    QTimer *Tim2;
    QTimer *Timer1;

Q_SIGNALS:
    // A change was recorded in the change log.
    void changeLogged();
    // A check has ended.
    void checkEnded();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    static Services withDefaults(Services services);
    bool trayHostPresent() const;
    // Minimised and hidden, leaving the tray icon; shown instead while no tray host is there.
    void hideToTray();
    // A minimised start with no tray yet: nothing on screen until one comes, for a while.
    void waitForTray();
    // The tray went away while the window was hidden in it, and stayed away.
    void trayLost();
    QLineEdit *box(Box box) const;
    void createControls();
    SettingsStore &store();

    Services m_services;
    std::unique_ptr<SettingsStore> m_store;
    // The desktop's keyring (a child of the window), and the stored password kept there or in
    // the settings file.
    SecretKeyring *m_keyring = nullptr;
    std::unique_ptr<StoredPassword> m_password;
    MailboxState m_fields;
    // What the machine says about its network; SystemNetwork feeds it once the window loads.
    NetworkState m_network;
    CheckCycle m_check;
    Scheduler m_scheduler;
    Tray *m_tray = nullptr;
    bool m_waitingForTray = false;
    bool m_exitAfterCheck = false;
    int m_windowState = 0;
    bool m_loaded = false;
};
