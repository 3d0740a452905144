#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class frmPop;

// Asks the user to confirm that the program is to end. "Exit" removes the tray icon and
// ends the program at once; "No way" only closes this window.
class frmClose : public QDialog {
    Q_OBJECT
public:
    explicit frmClose(frmPop *owner);

    void Form_Load();
    void Command1_Click();
    void Command2_Click();

    QLabel *Label1;
    QLabel *Label2;
    QPushButton *Command1;
    QPushButton *Command2;

protected:
    void reject() override;

private:
    void setVersionText(const QString &text);

    frmPop *m_owner;
};
