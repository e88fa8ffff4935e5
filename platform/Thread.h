// Threads with waitable ends, and per-thread message queues.
//
// A thread handle is a CKernelObject that becomes signalled (manual reset)
// when the thread's procedure has returned. The thread itself holds a
// reference until it ends, so a handle closed early never dangles. Threads are
// detached: nothing here kills a running thread.
//
// A message queue is created for a thread on its first PeekMessage (or any
// other queue call from that thread) and is registered under its thread id;
// posting to a thread without a queue fails. The queue's "input pending"
// signal is waitable, level-triggered while messages are queued.
#pragma once

#include "platform/Sync.h"
#include "platform/WinTypes.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(void*);

constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

// Starts proc(arg) on a new thread. Returns a handle (caller owns one
// reference) and stores the thread id, or returns null with the last error
// set when no thread could be created.
HANDLE CreateThread(LPTHREAD_START_ROUTINE proc, void* arg, DWORD* threadId);

// A new reference to the calling thread's handle, signalled when the thread
// ends, whatever started it. The caller closes it.
HANDLE OpenCurrentThreadHandle();

// Exit code of an ended thread, or STILL_ACTIVE. False for a non-thread handle.
bool GetExitCodeThread(HANDLE thread, DWORD* exitCode);

// Kernel thread id (gettid) of the caller.
DWORD GetCurrentThreadId();

struct MSG {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

bool PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Copies the oldest message of the caller's queue; removes it with PM_REMOVE.
bool PeekMessage(MSG* msg, UINT removeFlag);
// Blocks until a message arrives and removes it; false when it is WM_QUIT.
bool GetMessage(MSG* msg);
// The caller's queue "input pending" signal; owned by the queue (do not close).
HANDLE GetMessageQueueEvent();
// Like WaitForMultipleObjects (wait-any); returns WAIT_OBJECT_0 + count when a
// message is pending in the caller's queue.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD timeoutMs);
