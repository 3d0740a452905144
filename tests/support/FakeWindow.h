#pragma once

#include "mail/ChangeLog.h"
#include "mail/MailboxState.h"
#include "mail/PopWindow.h"

#include <QStringList>
#include <array>
#include <functional>
#include <set>

// The main window as the check path sees it, without widgets. It records every caption
// the status line took, counts shows, and can be told to throw from any member.
class FakeWindow : public PopWindow {
public:
    explicit FakeWindow(const MailboxState *fields = nullptr)
        : m_fields(fields)
    {
    }

    std::array<QString, 5> texts{QStringLiteral("Timer"), QStringLiteral("Server"),
                                 QStringLiteral("Login"), QString(), QStringLiteral("10")};
    bool ticked = false;
    QString statLbl;
    QString newLbl;
    QStringList statHistory;
    bool cmdCheckEnabled = true;
    // How often "Check Now" was turned off: once at the start of every check cycle.
    int cmdCheckOffs = 0;
    bool tim2Enabled = true;
    int shows = 0;
    ChangeLog log;
    // Member names ("text", "setStatLbl", "logChange" ...) that throw when called.
    std::set<std::string> failing;
    // Runs inside logChange after the entry is recorded.
    std::function<void()> onLogChange;
    // Runs after Tim2 was turned on or off.
    std::function<void(bool)> onTim2;

    QString text(Box box) const override
    {
        fail("text");
        return texts[size_t(box)];
    }
    void setText(Box box, const QString &text) override
    {
        fail("setText");
        texts[size_t(box)] = text;
    }
    bool check1() const override { return ticked; }
    void setCheck1(bool t) override { ticked = t; }
    void setStatLbl(const QString &caption) override
    {
        fail("setStatLbl");
        statLbl = caption;
        statHistory << caption;
    }
    void setNewLbl(const QString &caption) override
    {
        fail("setNewLbl");
        newLbl = caption;
    }
    void setCmdCheckEnabled(bool enabled) override
    {
        cmdCheckEnabled = enabled;
        cmdCheckOffs += enabled ? 0 : 1;
    }
    void setTim2Enabled(bool enabled) override
    {
        fail("setTim2Enabled");
        tim2Enabled = enabled;
        if (onTim2)
            onTim2(enabled);
    }
    void showWindow() override { ++shows; }
    void logChange() override
    {
        fail("logChange");
        log.record(changeText(m_fields->newCount, m_fields->oldCount), QStringLiteral("now"));
        if (onLogChange)
            onLogChange();
    }

    void setFields(const MailboxState *fields) { m_fields = fields; }

private:
    void fail(const char *member) const
    {
        if (failing.count(member))
            throw std::runtime_error(member);
    }
    const MailboxState *m_fields;
};
