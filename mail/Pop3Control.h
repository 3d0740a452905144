#pragma once

#include <QString>
#include <QtGlobal>

// What the check cycle needs of a POP3 mailbox control (the main window's Tarvik1).
// The cycle sets the host, user and password, calls popCheck(), which returns only when
// the check is over, reads popStatus(), popError() and, on success, popCount(), and
// finally calls popClose(). Any member may throw; the cycle absorbs that step by step.
class Pop3Control {
public:
    virtual ~Pop3Control() = default;

    virtual void setPophostname(const QString &host) = 0;
    virtual void setPopusername(const QString &user) = 0;
    virtual void setPoppassword(const QString &password) = 0;
    // Seconds; bounds every wait of a check.
    virtual void setPoptimeout(int seconds) = 0;

    virtual void popCheck() = 0;
    virtual void popClose() = 0;

    virtual QString popStatus() const = 0;
    virtual int popError() const = 0;
    virtual qint64 popCount() const = 0;
};
