// The configuration monitor: one of the three long-lived tasks of the service.
//
// At start it copies the six editable configuration files (not mysql/my.ini)
// from the config directory to the temp directory as a backup. It then
// watches the config directory (inotify) and:
// - reloads a monitored file one second after it was saved, in place
//   (IN_CLOSE_WRITE) or by a rename into place (IN_MOVED_TO), with
//   CConfigManager::LoadConfig(name);
// - puts a monitored file back from the backup when it was deleted or renamed
//   away (IN_DELETE, IN_MOVED_FROM) and is still missing when the change is
//   handled: the version of the task's start, never over a file that is
//   there again;
// - logs every other change of a file in the folder and does nothing more.
// The service's own writes (WritePrivateProfileStringA, e.g. ISFULL into
// Zelk.conf) are not edits: their temporary files are ignored, and a version
// that IsOwnProfileWrite recognises as the service's own, written on top of
// the version the monitor last saw, is neither logged nor reloaded.
//
// What the owner may rely on:
// - Threads. Everything runs on the task's thread, including the one-second
//   pause and the reload (under the configuration locks).
// - Ending. Run ends within kStopCheckMs of a stop request, at once when the
//   global exit event is set (also during the one-second pause), and at once
//   with -1 / -2 when the directory or the watch cannot be opened.
// - Memory. The change buffer comes from CBuffManager and is released when
//   Run ends; the destructor frees what a Run that never ran left behind.
#pragma once

#include <string>

#include "core/Task.h"
#include "platform/Ini.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CConfigMonitorTask : public CTask {
public:
    // Bytes read per notification.
    static constexpr DWORD kChangeBufferSize = 8192;
    // Longest wait of one pass; a failed watch request is retried once per pass.
    static constexpr DWORD kWaitMs = 10000;
    // How often the running flag is looked at while waiting.
    static constexpr DWORD kStopCheckMs = 200;
    // Pause between a modification and the reload, so that the writer has
    // finished.
    static constexpr DWORD kReloadDelayMs = 1000;

    // The monitored files, in order (compared ignoring case). They are
    // spelled as on disk: the backup and the restore use these names.
    static constexpr const char* kMonitoredFiles[] = {"Logudt.conf",     "ProgramLog.conf", "Zelk.conf",
                                                      "ZelkAdv.conf",    "statistics.conf", "updatesql.conf"};
    static constexpr size_t kMonitoredCount = sizeof(kMonitoredFiles) / sizeof(kMonitoredFiles[0]);

    CConfigMonitorTask() = default;
    ~CConfigMonitorTask() override;

    // 0 after a normal end, -1 when the directory cannot be opened, -2 when
    // the monitor event (the inotify instance) cannot be created.
    DWORD Run() override;

    // Copies every monitored file from the config directory to the temp
    // directory, overwriting; each failure is logged, the others still copied.
    // Backups and restores keep the copied file's mode, owner and group
    // (CopyFileA): Zelk.conf holds the database password.
    void DoBackupConfigFile();
    // Copies name back from the temp directory into the config directory when
    // it is missing there; logs a success, a failure is silent.
    void RestoreConfigFile(const char* name);
    // Takes the change buffer and makes sure the directory is watched; false
    // (logged when the watch cannot be set) to be tried again next pass.
    bool PostDirChangeRequest();
    // Reads and handles the pending change records, in order.
    void OnDirContentChange();

private:
    // Waits up to timeoutMs for the exit event (index 0) or a change (index
    // 1); WAIT_TIMEOUT also when the running flag was cleared meanwhile.
    DWORD WaitForChange(DWORD timeoutMs);
    // The one-second pause; false when the task must end instead.
    bool PauseBeforeReload();
    // name as the record gives it; index of the monitored file it names,
    // or -1.
    void OnFileModified(const std::string& name, int index);
    void OnFileRemoved(const std::string& name, int index);
    // Index of the monitored file called name ignoring case, or -1.
    static int FindMonitored(const std::string& name);
    void CloseMonitor();

    HANDLE m_hMonitorEvent = nullptr;  // readable while change records are pending
    std::string m_strConfigDir;        // the watched directory
    BYTE* m_pChangeBuffer = nullptr;
    // The version of each monitored file as last handled: the base against
    // which the service's own writes are recognised.
    FileVersion m_LastSeen[kMonitoredCount];
};
