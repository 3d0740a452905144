#include "Forms.h"

#include "FrmNotify.h"
#include "frmAbout.h"
#include "frmClose.h"

FormSlot<FrmNotify> &Forms::notify()
{
    static FormSlot<FrmNotify> slot;
    return slot;
}

FormSlot<frmClose> &Forms::close()
{
    static FormSlot<frmClose> slot;
    return slot;
}

FormSlot<frmAbout> &Forms::about()
{
    static FormSlot<frmAbout> slot;
    return slot;
}
