#pragma once

#include <QString>
#include <QtGlobal>

class CheckCycle;
struct MailboxState;
class PopWindow;
class TickSource;

// The check scheduler, driven by the main window's 10-second timer Tim2: keeps the hidden
// countdown Text1 up to date and runs a check once the due tick count has passed; setNext
// computes the next due tick count from the interval box.
class Scheduler {
public:
    Scheduler(PopWindow &window, MailboxState &state, const TickSource &ticks, CheckCycle &check);

    void Tim2_Timer() noexcept;
    void setNext();
    // Runs a check as a tick does when one is due (the network came back, the machine woke),
    // unless one is running; the next one then comes an interval later.
    void runDueCheck() noexcept;

    // An interval below one minute (or no number at all) becomes "5" in the interval box.
    static void repairInterval(PopWindow &window);
    // The countdown text for a remaining time: a blank then the milliseconds, or a minus sign.
    static QString countdownText(qint64 remainingMs);
    // The countdown with its last three characters cut off, read as a number again.
    static QString countdownSeconds(const QString &countdown);

private:
    void runCheck() noexcept;

    PopWindow &m_window;
    MailboxState &m_state;
    const TickSource &m_ticks;
    CheckCycle &m_check;
};
