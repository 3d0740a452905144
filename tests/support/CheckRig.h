#pragma once

#include "FakeTicks.h"
#include "FakeWindow.h"
#include "ScriptedControl.h"
#include "mail/CheckCycle.h"
#include "mail/NetworkState.h"
#include "mail/Scheduler.h"

// The check path as the main window wires it, without widgets: the scheduler, the check
// cycle and the network state over a fake window, a scripted control and a fake clock. The
// network state hears nothing unless the test says so, as without NetworkManager and routes.
struct CheckRig {
    explicit CheckRig(qint64 start)
        : ticks(start)
    {
        window.texts[size_t(PopWindow::Box::Text4)] = QStringLiteral("secret");
        QObject::connect(&network, &NetworkState::checkWanted, &network,
                         [this] { scheduler.runDueCheck(); });
        network.setServer([this] { return window.texts[size_t(PopWindow::Box::Text2)]; });
        network.setSchedulerRunning([this] { return window.tim2Enabled; });
        window.onTim2 = [this](bool on) {
            if (on)
                network.schedulerStarted();
        };
    }
    CheckRig(const CheckRig &) = delete;
    CheckRig &operator=(const CheckRig &) = delete;

    FakeTicks ticks;
    MailboxState fields;
    FakeWindow window{&fields};
    ScriptedControl control;
    NetworkState network{ticks};
    CheckCycle cycle{window, control, fields, ticks, &network};
    Scheduler scheduler{window, fields, ticks, cycle};
};
