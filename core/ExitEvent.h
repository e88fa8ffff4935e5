// The process exit event: the one signal, set once at shutdown and never
// reset by the service, that ends every task, loop and wait in the process.
//
// It is a manual-reset event that exists from its first use on (any of the
// three calls creates it), so that a stop that arrives while the main thread
// is still starting is never lost. It is never destroyed: detached threads
// may still wait on it while the process ends.
#pragma once

#include "platform/Sync.h"
#include "platform/WinTypes.h"

// The event to wait on (with the waiter's own handles); null only when it
// could not be created.
HANDLE GetExitEvent();
// Waits up to timeoutMs: WAIT_OBJECT_0 once it is set, WAIT_TIMEOUT, or
// WAIT_FAILED when there is no event.
DWORD WaitForExitEvent(DWORD timeoutMs);
// Sets the event (the stop sequence does this once). False when there is no
// event.
bool SetExitEvent();
