#pragma once

#include "FormSlot.h"

class FrmNotify;

// The single instances of the windows that are loaded when they open.
namespace Forms {
FormSlot<FrmNotify> &notify();
} // namespace Forms
