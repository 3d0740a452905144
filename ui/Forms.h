#pragma once

#include "FormSlot.h"

class FrmNotify;
class frmAbout;
class frmClose;

// The single instances of the windows that are loaded when they open.
namespace Forms {
FormSlot<FrmNotify> &notify();
FormSlot<frmClose> &close();
FormSlot<frmAbout> &about();
} // namespace Forms
