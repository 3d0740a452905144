#include "CheckCycle.h"

#include "GeneralDate.h"
#include "MailboxState.h"
#include "NetworkState.h"
#include "Pop3Control.h"
#include "PopWindow.h"
#include "ResumeNext.h"
#include "TextRules.h"
#include "TickSource.h"

#include <limits>
#include <stdexcept>

using ResumeNext::step;
using ResumeNext::test;
using Box = PopWindow::Box;

namespace {

const QString unableToCheck =
    QStringLiteral("     Unable to connect and check mail at this time...");

} // namespace

CheckCycle::CheckCycle(PopWindow &window, Pop3Control &control, MailboxState &state,
                       const TickSource &ticks, NetworkState *network)
    : m_window(window)
    , m_control(control)
    , m_state(state)
    , m_ticks(ticks)
    , m_network(network)
{
}

void CheckCycle::readCount()
{
    const qint64 count = m_control.popCount();
    if (count < std::numeric_limits<qint32>::min() || count > std::numeric_limits<qint32>::max())
        throw std::overflow_error("message count out of range");
    m_state.newCount = qint32(count);
}

bool CheckCycle::passwordWithheld() noexcept
{
    // No login with a password the user did not type; a question that fails withholds it too.
    QString status;
    if (!test([&] {
            status = m_window.passwordWithheld();
            return !status.isEmpty();
        }))
        return false;
    step([&] { m_window.setStatLbl(status); });
    step([&] { m_state.nowTick = m_ticks.now(); });
    step([&] { m_state.nextTick = m_state.nowTick + 60000; });
    return true;
}

bool CheckCycle::networkHeld() noexcept
{
    QString away;
    step([&] { away = m_network ? m_network->holdStatus() : QString(); });
    if (away.isEmpty())
        return false;
    // No login; the count line keeps the last count, and the status line a failure.
    if (!m_failureShown)
        step([&] { m_window.setStatLbl(away); });
    step([&] { m_network->checkHeld(); });
    return true;
}

void CheckCycle::cmdCheck_Click() noexcept
{
    // The POP3 control keeps the window painting while it waits; a click or tick that
    // reaches us meanwhile must not start a second conversation.
    if (m_running)
        return;
    m_running = true;

    step([&] { m_window.setTim2Enabled(false); });
    step([&] { m_window.setCmdCheckEnabled(false); });
    if (passwordWithheld() || networkHeld()) {
        step([&] { m_window.setCmdCheckEnabled(true); });
        step([&] { m_window.setTim2Enabled(true); });
        m_running = false;
        if (ended)
            step(ended);
        return;
    }
    step([&] { m_control.setPophostname(trimBlanks(m_window.text(Box::Text2))); });
    step([&] { m_control.setPopusername(trimBlanks(m_window.text(Box::Text3))); });
    step([&] { m_control.setPoppassword(trimBlanks(m_window.text(Box::Text4))); });
    step([&] { m_window.setStatLbl(QStringLiteral(" Checking Mail...")); });
    step([&] { m_window.setNewLbl(QString()); });
    if (m_network)
        step([&] { m_network->checkStarted(); });
    step([&] { m_control.popCheck(); });
    step([&] { m_window.setStatLbl(QStringLiteral("   ") + m_control.popStatus()); });

    const bool succeeded = test([&] { return m_control.popError() == 0; });
    if (succeeded) {
        step([&] { readCount(); });
        step([&] {
            m_window.setNewLbl(QStringLiteral("  ") + QString::number(m_state.newCount) +
                               QStringLiteral(" Mails In InBox  [ ") + generalDate() +
                               QStringLiteral(" ]"));
        });
        if (test([&] { return m_state.newCount != m_state.oldCount; }))
            step([&] { m_window.logChange(); });
        step([&] { m_state.oldCount = m_state.newCount; });
    } else {
        if (test([&] { return m_control.popError() == 15; }))
            step([&] {
                m_window.setStatLbl(
                    QStringLiteral("  ERROR, Incorrect Login information provided."));
            });
        if (test([&] { return m_control.popError() == 11; }))
            step([&] {
                m_window.setStatLbl(
                    QStringLiteral("  ERROR, Connection established but no data recieved."));
            });
        step([&] { m_window.setNewLbl(unableToCheck); });
        step([&] { m_state.nowTick = m_ticks.now(); });
        step([&] { m_state.nextTick = m_state.nowTick + 60000; });
    }

    step([&] { m_control.popClose(); });
    m_failureShown = !succeeded;
    if (m_network)
        step([&] { m_network->checkEnded(succeeded); });
    step([&] { m_window.setCmdCheckEnabled(true); });
    step([&] { m_window.setTim2Enabled(true); });
    m_running = false;
    if (ended)
        step(ended);
}
