// The table repair task of one node database.
//
// MySQL marks a MyISAM table as crashed when its files are found damaged;
// reads and INSERTs on it then fail until it is repaired. Once an hour the
// task probes a fixed list of the node's tables and repairs each one that
// cannot be read (the non-strong pass). Once a week, in the window of hours
// set by StartStrongRepairTime and EndStrongRepairTime of Zelk.conf on
// Saturday, it runs the RepairTable statement of statistics.conf instead (the
// strong pass), at most once per calendar day.
//
// The node sets the database name before the task starts; the task runs on
// its own thread (CTaskManager::AddTask) with a connection of its own per
// pass, until it is told to stop or the exit event is set. It counts waits of
// 5 s on the exit event and notices a stop within 100 ms, once a pass in
// progress has finished.
// A task without a database name never runs a pass.
#pragma once

#include <atomic>
#include <string>

#include "core/Task.h"
#include "platform/WinTypes.h"

class CTableRepairTask : public CTask {
public:
    static constexpr DWORD kWaitStepMs = 5000;
    static constexpr DWORD kPassPeriodMs = 3600000;
    // A stop request is noticed within this time inside a wait.
    // Each probed name is held in a field of this many characters.
    static constexpr size_t kTableNameField = 32;
    static constexpr size_t kProbeTableCount = 35;
    // The tables probed by the non-strong pass, in probe order. Four names
    // carry their identifier quotes as part of the text.
    static const char kProbeTables[kProbeTableCount][kTableNameField];

    CTableRepairTask()
        : m_dwWaitStepMs(s_dwDefaultWaitStepMs.load()), m_dwPassPeriodMs(s_dwDefaultPassPeriodMs.load()) {}
    ~CTableRepairTask() override = default;

    DWORD Run() override;

    void SetDBName(const std::string& dbName) { m_strDBName = dbName; }
    const std::string& GetDBName() const { return m_strDBName; }

    // Probes every table of the list and repairs those that fail. Returns 0.
    int DoNonStrongRepairTable();
    // Runs the strong repair statement. 1 when it succeeded (the day is then
    // remembered), else 0.
    int DoStrongRepairTable();

    // The wait step and the time between passes of tasks created from now on
    // (node connections create theirs); tests shorten them.
    static void SetDefaultWaitStep(DWORD stepMs) { s_dwDefaultWaitStepMs.store(stepMs); }
    static void SetDefaultPassPeriod(DWORD periodMs) { s_dwDefaultPassPeriodMs.store(periodMs); }

private:
    // Waits one step on the exit event in short pieces; false when the task
    // must end (exit event, failed wait, or told to stop).
    bool WaitOneStep();
    // One hourly pass: the strong repair inside its window, else the probes.
    void RepairPass();
    // Saturday, not yet repaired strongly today, and the hour inside the
    // configured window (which may cross midnight).
    bool IsStrongRepairTime(const SYSTEMTIME& now) const;

    std::string m_strDBName;
    SYSTEMTIME m_LastStrongRepairTime{};
    const DWORD m_dwWaitStepMs;
    const DWORD m_dwPassPeriodMs;

    static inline std::atomic<DWORD> s_dwDefaultWaitStepMs{kWaitStepMs};
    static inline std::atomic<DWORD> s_dwDefaultPassPeriodMs{kPassPeriodMs};
};
