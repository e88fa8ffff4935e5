// The application object: owns the main thread "VarnholtMain", which brings
// up the process-wide managers in a fixed order, waits for the exit event and
// takes everything down again.
//
// Threads: Start, Stop and WaitForExit run on the host thread; VarnholtMain
// runs on its own thread and ends by posting WM_QUIT to the host thread.
#pragma once

#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CVarnholt {
public:
    using MainProc = DWORD (*)(void*);

    // The main-thread procedure can be replaced by tests; the service uses
    // VarnholtMain.
    explicit CVarnholt(MainProc mainProc = &CVarnholt::MainThreadProc);
    virtual ~CVarnholt();
    CVarnholt(const CVarnholt&) = delete;
    CVarnholt& operator=(const CVarnholt&) = delete;

    // Starts the main thread unless one is still running. True when a thread
    // handle was obtained (or one is already running).
    bool Start();
    // Asks every task to stop, then sets the exit event.
    bool Stop();
    // Waits for the main thread. False when it did not end in time; the
    // thread cannot be killed here, so the caller must end the process.
    bool WaitForExit(DWORD timeoutMs);

    static DWORD VarnholtMain(CVarnholt* self);

    // Brings up the managers in order, stopping at the first that fails.
    static bool InitManagers();
    // Shuts every manager down (each is safe without a successful Init).
    static void UnInitManagers();

private:
    // Registers one of the long-lived tasks (freed by the reaper once it
    // ends) and remembers it in *slot; false when it could not be started.
    template <class Task>
    static bool StartTopLevelTask(Task* task, Task** slot);
    static DWORD MainThreadProc(void* self) { return VarnholtMain(static_cast<CVarnholt*>(self)); }

    MainProc m_pMainProc;
    class CDataCenterListenTask* m_pListenTask = nullptr;
    class CConfigMonitorTask* m_pConfigMonitorTask = nullptr;
    class CInfoRetrieveTask* m_pInfoRetrieveTask = nullptr;
    HANDLE m_hMainThread = nullptr;
};
