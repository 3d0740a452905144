#pragma once

#include <QDialog>

// The About window: one picture with the program's name, version, author and web address.
// A click anywhere on it closes it.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    frmAbout();

    void Form_Load();
    void Form_Click();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void reject() override;
};
