#pragma once

#include "mail/Pop3Control.h"

#include <QStringList>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>

// A POP3 control whose results the test sets, which records what it was given and can be
// told to throw from any member.
class ScriptedControl : public Pop3Control {
public:
    int error = 0;
    QString status = QStringLiteral("OK");
    qint64 count = 0;
    std::set<std::string> failing;
    std::function<void()> duringCheck;

    QString host, user, password;
    int timeout = -1;
    int checks = 0;
    int closes = 0;
    mutable QStringList calls;

    void setPophostname(const QString &h) override { record("pophostname"), host = h; }
    void setPopusername(const QString &u) override { record("popusername"), user = u; }
    void setPoppassword(const QString &p) override { record("poppassword"), password = p; }
    void setPoptimeout(int s) override { record("poptimeout"), timeout = s; }
    void popCheck() override
    {
        record("popCheck");
        ++checks;
        if (duringCheck)
            duringCheck();
    }
    void popClose() override { record("popClose"), ++closes; }
    QString popStatus() const override { return record("popStatus"), status; }
    int popError() const override { return record("popError"), error; }
    qint64 popCount() const override { return record("popCount"), count; }

private:
    void record(const char *member) const
    {
        calls << QString::fromLatin1(member);
        if (failing.count(member))
            throw std::runtime_error(member);
    }
};
