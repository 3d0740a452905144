#pragma once

#include "TestDirs.h"

#include <QList>
#include <QPair>
#include <QStringList>

class ScriptedControl;
class TickSource;
class frmPop;

// What one test of the windows starts from and leaves behind: throwaway settings and
// runtime directories, message boxes answered and recorded ("title|prompt"), an empty
// change log; afterwards every window that loads on demand is unloaded and deleted.
class ProgramState {
public:
    ProgramState();
    ~ProgramState();
    ProgramState(const ProgramState &) = delete;
    ProgramState &operator=(const ProgramState &) = delete;

    TestDirs dirs;
    QStringList boxes;

    // Writes settings as "Save" would leave them in the store without a keyring (an empty
    // "Pass" unless one is given).
    static void storeSettings(const QList<QPair<QString, QString>> &values);
};

// A main window with a scripted mailbox control (and, if given, a tick source); *control
// points at the control the window owns.
std::unique_ptr<frmPop> scriptedWindow(ScriptedControl **control,
                                       std::shared_ptr<TickSource> ticks = {});
