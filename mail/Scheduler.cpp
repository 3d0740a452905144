#include "Scheduler.h"

#include "CheckCycle.h"
#include "MailboxState.h"
#include "PopWindow.h"
#include "ResumeNext.h"
#include "TextRules.h"
#include "TickSource.h"

#include <cmath>
#include <stdexcept>

using ResumeNext::step;
using ResumeNext::test;
using Box = PopWindow::Box;

namespace {

// A due time this far ahead is as good as never, and the sum cannot overflow.
constexpr double LatestDue = 1e17;

QString plainNumber(double value)
{
    if (std::abs(value) < 9e15)
        return QString::number(qint64(value));
    return QString::number(value, 'g', 17);
}

} // namespace

Scheduler::Scheduler(PopWindow &window, MailboxState &state, const TickSource &ticks,
                     CheckCycle &check)
    : m_window(window)
    , m_state(state)
    , m_ticks(ticks)
    , m_check(check)
{
}

QString Scheduler::countdownText(qint64 remainingMs)
{
    return remainingMs >= 0 ? u' ' + QString::number(remainingMs) : QString::number(remainingMs);
}

QString Scheduler::countdownSeconds(const QString &countdown)
{
    if (countdown.size() < 3)
        throw std::length_error("countdown too short to cut");
    return plainNumber(std::trunc(leadingNumber(countdown.chopped(3))));
}

void Scheduler::repairInterval(PopWindow &window)
{
    if (!(leadingNumber(window.text(Box::Text5)) >= 1))
        window.setText(Box::Text5, QStringLiteral("5"));
}

void Scheduler::setNext()
{
    repairInterval(m_window);
    m_state.nowTick = m_ticks.now();
    const double minutes = leadingNumber(m_window.text(Box::Text5));
    const double ahead = std::min(minutes * 60000.0, LatestDue);
    m_state.nextTick = m_state.nowTick + qint64(ahead);
}

void Scheduler::Tim2_Timer() noexcept
{
    if (test([&] { return m_window.text(Box::Text4).isEmpty(); }))
        step([&] { m_window.setTim2Enabled(false); });
    step([&] { m_window.setText(Box::Text1, countdownText(m_state.nextTick - m_state.nowTick)); });
    step([&] { m_window.setText(Box::Text1, countdownSeconds(m_window.text(Box::Text1))); });
    step([&] { m_state.nowTick = m_ticks.now(); });
    if (test([&] { return m_state.nowTick > m_state.nextTick; }))
        runCheck();
}

void Scheduler::runCheck() noexcept
{
    step([&] { m_window.setTim2Enabled(false); });
    step([&] { m_check.cmdCheck_Click(); });
    step([&] { setNext(); });
    step([&] { m_window.setTim2Enabled(true); });
}

void Scheduler::runDueCheck() noexcept
{
    if (!m_check.isRunning())
        runCheck();
}
