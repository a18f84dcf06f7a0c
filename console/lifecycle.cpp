#include "console/lifecycle.h"

#include "commands/settings.h"
#include "console/poll.h"
#include "link/transaction.h"
#include "port/port.h"

int ConsoleStart() {
    int result = 0;
    if (StartTickThread() != 0) result = -1;
    if (StartPollThread() != 0) result = -1;
    PortRequest(0, PORT_INIT, nullptr);
    (void)OpenConfiguredPort();
    MessageBuffer[0] = '\0';
    ReplyBuffer[0] = 0;
    return result;
}

void ConsoleShutdown() {
    (void)StopTickThread();
    (void)StopPollThread();
    // A poll abandoned inside its exchange (the tick thread is gone, so its window
    // never closes) still holds the link and reads the record; it is left to the
    // process exit rather than have its record emptied under it.
    if (OsTryLock(LOCK_TRANSACTION)) {
        PortRequest(openPortId.load(), PORT_FORGET, nullptr);
        OsUnlock(LOCK_TRANSACTION);
    }
}
