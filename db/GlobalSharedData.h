// Process-wide shared data: install directories, the exit event, the shared
// locks and the log counter.
//
// Init computes the eight directories once (from VARNHOLT_INSTALL_PATH, or two
// levels above the executable) and creates the exit event: the one signal,
// set once at shutdown and never reset, that ends every task, loop and wait in
// the process. The directory strings never end in '/' and are read-only after
// Init. The node list and directory caches join this class with the database
// layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Sync.h"

class CGlobalSharedData {
public:
    static CGlobalSharedData* GetInstance();

    // Idempotent: a second call returns true without recomputing anything.
    bool Init();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    // Waits on the exit event; WAIT_FAILED when Init has not succeeded.
    DWORD WaitForExitEvent(DWORD timeoutMs);
    // Sets the exit event (the stop sequence does this once).
    bool SetExitEvent();
    HANDLE GetExitEvent() const { return m_hExitEvent; }

    const std::string& GetInstallDir() const { return m_strInstallDir; }
    const std::string& GetZelkDir() const { return m_strZelkDir; }
    const std::string& GetLogDir() const { return m_strLogDir; }
    const std::string& GetDumpDir() const { return m_strDumpDir; }
    const std::string& GetConfigDir() const { return m_strConfigDir; }
    const std::string& GetDataFileDir() const { return m_strDataFileDir; }
    const std::string& GetTempDir() const { return m_strTempDir; }
    const std::string& GetUploadDir() const { return m_strUploadDir; }

    // Guards the node list.
    CRITICAL_SECTION* NodeListLock() { return &m_csNodeList; }
    // Held around every log line that prints a run-time class name.
    CRITICAL_SECTION* TypeNameLock() { return &m_csTypeName; }
    // Held by the crash handler.
    CRITICAL_SECTION* CrashLock() { return &m_csCrash; }
    CRITICAL_SECTION* SpareLock() { return &m_csSpare; }

    // Next value of the process-wide log counter (interlocked increment).
    std::int32_t IncrementLogCounter() { return m_nLogCounter.fetch_add(1) + 1; }
    std::int32_t GetLogCounter() const { return m_nLogCounter.load(); }

    // Install directory for an executable path: two levels above the file,
    // without a trailing '/'; "" when the path is too short.
    static std::string DeriveInstallDir(const std::string& executablePath);

private:
    // The exit event exists from the first use on, so that a stop that
    // arrives while the main thread is still starting is never lost.
    CGlobalSharedData();

    void ComputeDirectories();

    std::atomic<std::int32_t> m_nInitialised{0};
    HANDLE m_hExitEvent = nullptr;
    std::string m_strInstallDir;
    std::string m_strZelkDir;
    std::string m_strLogDir;
    std::string m_strDumpDir;
    std::string m_strConfigDir;
    std::string m_strDataFileDir;
    std::string m_strTempDir;
    std::string m_strUploadDir;
    CRITICAL_SECTION m_csNodeList;
    CRITICAL_SECTION m_csTypeName;
    CRITICAL_SECTION m_csCrash;
    CRITICAL_SECTION m_csSpare;
    std::atomic<std::int32_t> m_nLogCounter{0};
};

// The pseudo-random generator of the start values: state = state * 214013 +
// 2531011, result = bits 16 to 30 of the new state (0 to 32767).
class CLcgRandom {
public:
    explicit CLcgRandom(std::uint32_t seed) : m_state(seed) {}
    int Next() {
        m_state = m_state * 214013u + 2531011u;
        return static_cast<int>((m_state >> 16) & 0x7FFF);
    }

private:
    std::uint32_t m_state;
};
