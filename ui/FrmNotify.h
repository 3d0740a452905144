#pragma once

#include <QDialog>

class ChangeLog;
class QFrame;
class QLabel;
class QPushButton;
class QScrollBar;
class QTimer;

// The small always-on-top window that shows the newest change of the message count and
// scrolls back through the change log, one entry per step. Every opening is a fresh
// instance, opened modeless after a change or modally by "View Log".
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

    const ChangeLog &m_log;
};
