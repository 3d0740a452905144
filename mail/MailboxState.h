#pragma once

#include <QtGlobal>

// The main window's fields that the check cycle and the scheduler share.
struct MailboxState {
    qint64 nowTick = 0;  // tick count (ms) read at the last scheduler tick, check or setNext
    qint64 nextTick = 0; // tick count after which the next automatic check is due
    qint32 newCount = 0; // message count of the latest successful check
    qint32 oldCount = 0; // message count of the successful check before it
};
