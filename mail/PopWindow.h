#pragma once

#include <QString>

// What the check cycle, the scheduler and the settings store see of the main window:
// its text boxes, the start-minimised box, the two status lines, the "Check Now" button,
// the scheduler's timer and the change notification. The main window implements it; tests
// implement it without widgets. Any member may throw.
class PopWindow {
public:
    enum class Box {
        Text1, // countdown, never visible
        Text2, // server
        Text3, // login
        Text4, // password
        Text5, // interval in minutes
    };

    virtual ~PopWindow() = default;

    virtual QString text(Box box) const = 0;
    virtual void setText(Box box, const QString &text) = 0;
    virtual bool check1() const = 0;
    virtual void setCheck1(bool ticked) = 0;
    virtual void setStatLbl(const QString &caption) = 0;
    virtual void setNewLbl(const QString &caption) = 0;
    virtual void setCmdCheckEnabled(bool enabled) = 0;
    virtual void setTim2Enabled(bool enabled) = 0;
    virtual void showWindow() = 0;
    // Records the change from oldCount to newCount and pops up the notification.
    virtual void logChange() = 0;
    // Asked before every login: the status to show instead of logging in, when the password
    // box is empty and the stored password is not available (a locked keyring, say); empty
    // when the check may log in with the box's text.
    virtual QString passwordWithheld() { return QString(); }
};
