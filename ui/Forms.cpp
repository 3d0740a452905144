#include "Forms.h"

#include "FrmNotify.h"

FormSlot<FrmNotify> &Forms::notify()
{
    static FormSlot<FrmNotify> slot;
    return slot;
}
