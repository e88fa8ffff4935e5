#include "core/ExitEvent.h"

HANDLE GetExitEvent() {
    static HANDLE event = CreateEvent(true, false);
    return event;
}

DWORD WaitForExitEvent(DWORD timeoutMs) {
    HANDLE event = GetExitEvent();
    return event != nullptr ? WaitForSingleObject(event, timeoutMs) : WAIT_FAILED;
}

bool SetExitEvent() {
    HANDLE event = GetExitEvent();
    return event != nullptr && SetEvent(event);
}
