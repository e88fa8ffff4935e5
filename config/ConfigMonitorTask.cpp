#include "config/ConfigMonitorTask.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/modules/BuffManager.h"
#include "platform/FileWatch.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr char kClassTag[] = "[CConfigMonitorTask]";
// "The directory name is invalid": the config path exists but is no folder.
constexpr DWORD kErrorDirectory = 267;
// Longest file name taken from a record (the rest is cut).
constexpr size_t kMaxNameChars = 259;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// The name as the log file holds text (GBK).
std::string ToAnsi(const std::string& name) {
    std::string converted;
    return ConvertUtf8ToGbk(name.data(), name.size(), &converted) ? converted : name;
}

CDirChangeWatch* AsWatch(HANDLE handle) { return static_cast<CDirChangeWatch*>(handle); }

}  // namespace

CConfigMonitorTask::~CConfigMonitorTask() { CloseMonitor(); }

void CConfigMonitorTask::CloseMonitor() {
    if (m_hMonitorEvent != nullptr) CloseHandle(m_hMonitorEvent);
    m_hMonitorEvent = nullptr;
    if (m_pChangeBuffer != nullptr) CBuffManager::GetInstance()->ReleaseByteBuff(m_pChangeBuffer);
    m_pChangeBuffer = nullptr;
}

int CConfigMonitorTask::FindMonitored(const std::string& name) {
    for (size_t i = 0; i < kMonitoredCount; ++i) {
        if (strcasecmp(kMonitoredFiles[i], name.c_str()) == 0) return static_cast<int>(i);
    }
    return -1;
}

DWORD CConfigMonitorTask::Run() {
    m_strConfigDir = CConfigManager::GetInstance()->GetConfigDir();
    DoBackupConfigFile();

    const DWORD attributes = GetFileAttributesA(m_strConfigDir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        const DWORD err = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : kErrorDirectory;
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Cannot Open Dir = %s , Error = %u\n",
            m_strConfigDir.c_str(), err);
        return static_cast<DWORD>(-1);
    }
    m_hMonitorEvent = CDirChangeWatch::Create();
    if (m_hMonitorEvent == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Cannot Create Monitor Event. Err = %u\n", GetLastError());
        return static_cast<DWORD>(-2);
    }
    for (size_t i = 0; i < kMonitoredCount; ++i) {
        m_LastSeen[i] = GetFileVersion(m_strConfigDir + "/" + kMonitoredFiles[i]);
    }

    bool mustPost = true;
    while (IsRunning()) {
        UpdateActivityTime();
        if (mustPost && PostDirChangeRequest()) mustPost = false;
        const DWORD rc = WaitForChange(kWaitMs);
        if (rc == WAIT_FAILED || rc == WAIT_OBJECT_0) break;
        if (rc == WAIT_OBJECT_0 + 1) {
            OnDirContentChange();
            mustPost = true;
        }
    }

    CloseMonitor();
    return 0;
}

DWORD CConfigMonitorTask::WaitForChange(DWORD timeoutMs) {
    HANDLE handles[2] = {GetExitEvent(), m_hMonitorEvent};
    DWORD waited = 0;
    while (IsRunning() && waited < timeoutMs) {
        const DWORD slice = std::min(kStopCheckMs, timeoutMs - waited);
        const DWORD rc = WaitForMultipleObjects(2, handles, false, slice);
        if (rc != WAIT_TIMEOUT) return rc;
        waited += slice;
    }
    return WAIT_TIMEOUT;
}

bool CConfigMonitorTask::PauseBeforeReload() {
    HANDLE exitEvent = GetExitEvent();
    DWORD waited = 0;
    while (waited < kReloadDelayMs) {
        if (!IsRunning()) return false;
        const DWORD slice = std::min(kStopCheckMs, kReloadDelayMs - waited);
        if (WaitForSingleObject(exitEvent, slice) != WAIT_TIMEOUT) return false;
        waited += slice;
    }
    return IsRunning();
}

void CConfigMonitorTask::DoBackupConfigFile() {
    const CConfigManager* config = CConfigManager::GetInstance();
    for (const char* name : kMonitoredFiles) {
        const std::string source = config->GetConfigDir() + "/" + name;
        const std::string target = config->GetBackupDir() + "/" + name;
        if (!CopyFileA(source.c_str(), target.c_str(), false)) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
                "[DoBackupConfigFile] Cannot Backup Config File = %s To %s, Error = %u\n", source.c_str(),
                target.c_str(), GetLastError());
        }
    }
}

void CConfigMonitorTask::RestoreConfigFile(const char* name) {
    if (name == nullptr) return;
    const CConfigManager* config = CConfigManager::GetInstance();
    const std::string backup = config->GetBackupDir() + "/" + name;
    const std::string live = config->GetConfigDir() + "/" + name;
    // Never over a file that is there again: an editor that renames the old
    // version away and writes a new one reports a removal of a file that has
    // already been saved anew, and the start-up copy must not replace it.
    if (!CopyFileA(backup.c_str(), live.c_str(), true)) return;
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[DoBackupConfigFile] Restore File = %s Succeed!\n", name);
}

bool CConfigMonitorTask::PostDirChangeRequest() {
    if (m_hMonitorEvent == nullptr) return false;
    if (m_pChangeBuffer == nullptr) {
        m_pChangeBuffer = CBuffManager::GetInstance()->AllocByteBuff(kChangeBufferSize, __FILE__, __LINE__);
        if (m_pChangeBuffer == nullptr) return false;
    }
    std::memset(m_pChangeBuffer, 0, kChangeBufferSize);
    if (!AsWatch(m_hMonitorEvent)->Watch(m_strConfigDir)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
            "[PostDirChangeRequest] Cannot Post ReadDirectoryChangesW Request. Err = %u\n", GetLastError());
        return false;
    }
    return true;
}

void CConfigMonitorTask::OnDirContentChange() {
    if (m_pChangeBuffer == nullptr || m_hMonitorEvent == nullptr) return;
    const DWORD length = AsWatch(m_hMonitorEvent)->Read(m_pChangeBuffer, kChangeBufferSize);
    DWORD offset = 0;
    DirChangeRecord record;
    while (NextDirChange(m_pChangeBuffer, length, &offset, &record, kMaxNameChars)) {
        // The writer's temporary files come and go with every write of the
        // service itself; they are nobody's business.
        if (record.action == 0 || IsProfileTempFileName(record.name.c_str())) continue;
        const int index = FindMonitored(record.name);
        if (record.action == kDirChangeRemoved) {
            OnFileRemoved(record.name, index);
        } else {
            OnFileModified(record.name, index);
        }
        // The one-second pause ends early when the task must end.
        if (!IsRunning() || WaitForExitEvent(0) == WAIT_OBJECT_0) return;
    }
}

void CConfigMonitorTask::OnFileModified(const std::string& name, int index) {
    const std::string path = index >= 0 ? m_strConfigDir + "/" + kMonitoredFiles[index] : std::string();
    if (index >= 0) {
        const FileVersion current = GetFileVersion(path);
        if (IsOwnProfileWrite(current, m_LastSeen[index])) {
            m_LastSeen[index] = current;
            return;
        }
    }
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[OnDirContentChange] Detected FileName = %s Modify Action.\n",
        ToAnsi(name).c_str());
    if (index < 0 || !PauseBeforeReload()) return;
    // Taken just before the reload reads the file: the version the settings
    // now come from, on top of which later writes of the service are its own.
    m_LastSeen[index] = GetFileVersion(path);
    CConfigManager::GetInstance()->LoadConfig(name.c_str());
}

void CConfigMonitorTask::OnFileRemoved(const std::string& name, int index) {
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[OnDirContentChange] Detected FileName = %s Delete Action.\n",
        ToAnsi(name).c_str());
    if (index < 0) return;
    m_LastSeen[index] = GetFileVersion(m_strConfigDir + "/" + kMonitoredFiles[index]);
    RestoreConfigFile(kMonitoredFiles[index]);
}
