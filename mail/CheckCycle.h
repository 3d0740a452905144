#pragma once

#include <functional>

struct MailboxState;
class NetworkState;
class PopWindow;
class Pop3Control;
class TickSource;

// One mailbox check from request to result ("Check Now", and every automatic check):
// copies the trimmed server, login and password into the POP3 control, runs it, writes the
// status and count lines, hands a changed count to the change log, and after a failure
// sets the next automatic check one minute ahead. While the box is empty and the stored
// password is not available it only says why, and retries in a minute. While the network is
// away (see NetworkState) it does not try the server, and the network's return brings the
// check; the status line says so, unless a failure the last check reported is on it: that
// stays until the next check that tries the server ends. Each statement runs under
// ResumeNext, so nothing escapes to the caller.
class CheckCycle {
public:
    // Without a network state every check tries the server.
    CheckCycle(PopWindow &window, Pop3Control &control, MailboxState &state,
               const TickSource &ticks, NetworkState *network = nullptr);

    void cmdCheck_Click() noexcept;
    bool isRunning() const { return m_running; }

    // Told when a check has ended, the button and the timer on again.
    std::function<void()> ended;

private:
    // Says so and sets the retry when the window withholds the password.
    bool passwordWithheld() noexcept;
    // Holds the check back while the network is away.
    bool networkHeld() noexcept;
    void readCount();

    PopWindow &m_window;
    Pop3Control &m_control;
    MailboxState &m_state;
    const TickSource &m_ticks;
    NetworkState *m_network;
    bool m_running = false;
    // The status line shows a failure the last check that tried the server reported.
    bool m_failureShown = false;
};
