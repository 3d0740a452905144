#pragma once

#include <QLabel>

// A label that works as a button: a left click on it runs its command, and so does the press
// action assistive technology offers for it (a screen reader's "activate"). Like every label
// it takes no keyboard focus.
class CommandLabel : public QLabel {
    Q_OBJECT
public:
    CommandLabel(const QString &text, QWidget *parent);

    // Runs the command from the event loop, as soon as the caller has returned: a command
    // that opens a modal window must not hold up the assistive technology that pressed it.
    void press();

Q_SIGNALS:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
