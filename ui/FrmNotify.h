#pragma once

#include <QDialog>
#include <QElapsedTimer>

class ChangeLog;
class StackingWatch;
class QFrame;
class QLabel;
class QPushButton;
class QScrollBar;
class QTimer;

// The small always-on-top window that shows the newest change of the message count and
// scrolls back through the change log, one entry per step. Every opening is a fresh
// instance, opened modeless after a change or modally by "View Log".
//
// Half a second after it opens, Timer1 puts it on top (the window manager's on-top layer);
// from then on it is raised again only when the X server reports that the desktop's windows
// were restacked and one of them now covers it. It never takes the keyboard: a user typing
// elsewhere keeps typing there, and a click on it gives it the keyboard as any click does.
class FrmNotify : public QDialog {
    Q_OBJECT
public:
    explicit FrmNotify(const ChangeLog &log);
    FrmNotify();

    void Form_Load();
    void VScroll1_Change();
    void Timer1_Timer();
    void cmdClose_Click();

    QFrame *Picture1;
    QLabel *Label1;
    QLabel *Label2;
    QScrollBar *VScroll1;
    QTimer *Timer1;
    QFrame *Picture2;
    QPushButton *cmdClose;
    QLabel *Label3;

Q_SIGNALS:
    // The user closed the window with its button: they have seen what it showed.
    void closedWithButton();

protected:
    void reject() override;

private:
    void showEntry(int row);
    void stackingChanged();

    const ChangeLog &m_log;
    StackingWatch *m_stacking;
    QElapsedTimer m_lastRaise;
};
