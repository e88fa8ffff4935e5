#include "datafile/DataFileManager.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <system_error>
#include <thread>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "datafile/DataFile.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "platform/Clock.h"
#include "platform/CrashHandler.h"
#include "platform/Files.h"

namespace {

constexpr char kTag[] = "[CDataFileManager]";
constexpr DWORD kBytesPerMiB = 1024 * 1024;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// The file-name serial's generator of each thread (seed 1 until seeded).
thread_local CLcgRandom t_NameRandom(1);

std::string Format(const char* format, const std::string& a, const std::string& b) {
    int length = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str());
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, format, a.c_str(), b.c_str());
    return text;
}

bool IsSyslog(const char* table) { return strcasecmp(table, "syslog") == 0; }

// Unix seconds of the file's last modification; 0 when it holds nothing or
// cannot be examined.
std::int64_t ModificationTime(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && st.st_size > 0 ? static_cast<std::int64_t>(st.st_mtime) : 0;
}

}  // namespace

// ---- CImportPass -----------------------------------------------------------

CImportPass::~CImportPass() { GiveBackFailed(); }

bool CImportPass::Claim(std::string* database, std::string* table, std::string* path) {
    CDataFileManager* manager = CDataFileManager::GetInstance();
    *database = m_strDBName;
    // Failed files stay claimed until the pass ends, so GetImportInfo never
    // hands one of them out again in this pass.
    return manager->GetImportInfo(database, path, table);
}

void CImportPass::Succeeded(const std::string& database, const std::string& table, const std::string& path) {
    CGlobalSharedData::GetInstance()->NoteStored(database);
    CDataFileManager::GetInstance()->CountImported();
    CDataFileManager::GetInstance()->RemoveImportInfo(database.c_str(), table.c_str(), path.c_str());
    loss::CountDataFileLines(loss::DF_LOADED, table.c_str(), path);
    // The file before its marker: a marker without its file is only tidied
    // away, a file without its marker would be loaded a second time.
    DeleteFileA(path.c_str());
    DeleteFileA(CDataFileManager::MarkerPath(path).c_str());
}

void CImportPass::Failed(const std::string& database, const std::string& table, const std::string& path) {
    m_Failed.push_back({database, table, path});
}

void CImportPass::GiveBackFailed() {
    for (const Entry& entry : m_Failed) {
        CDataFileManager::GetInstance()->ResetImportInfoFlag(entry.database.c_str(), entry.table.c_str(),
                                                             entry.path.c_str());
    }
    m_Failed.clear();
}

// ---- Life cycle ------------------------------------------------------------

CDataFileManager* CDataFileManager::GetInstance() {
    // Never destroyed: a thread left running after UnInit may still use it.
    static CDataFileManager* instance = new CDataFileManager();
    return instance;
}

CDataFileManager::CDataFileManager() {
    InitializeCriticalSectionAndSpinCount(&m_csMap, kCsSpinCount);
    InitializeCriticalSectionAndSpinCount(&m_csImport, kCsSpinCount);
    m_hImportQueued = CreateEvent(false, false);
}

CDataFileManager::~CDataFileManager() {
    {
        std::lock_guard<std::mutex> open(m_OpenLock);
        m_OpenFiles.clear();
    }
    for (auto& entry : m_DataFileMap) delete entry.second;
    m_DataFileMap.clear();
    m_ImportList.clear();
    if (m_hImportQueued != nullptr) CloseHandle(m_hImportQueued);
    DeleteCriticalSection(&m_csImport);
    DeleteCriticalSection(&m_csMap);
}

void CDataFileManager::SeedNameRandom(DWORD seed) { t_NameRandom = CLcgRandom(seed); }

bool CDataFileManager::Init() {
    SeedNameRandom(GetTickCount());
    m_bAbortLoads.store(false);
    m_dwRunFlag.store(1);
    const bool switchStarted = m_SwitchThread.Start(&CDataFileManager::DataFileSwitchThread, this);
    const bool scanStarted = m_ScanThread.Start(&CDataFileManager::DataFileScanThread, this);
    if (switchStarted && scanStarted) m_dwRunning.store(1);
    return switchStarted && scanStarted;
}

bool CDataFileManager::UnInit() {
    m_dwRunFlag.store(0);
    m_dwRunning.store(0);
    // A load may run for minutes: it is ended rather than waited for, so that
    // the client library is never torn down under it.
    AbortLoads();
    // Each thread is stopped through its own stop signal; one that does not
    // end in time is left to end on its own (the manager outlives it).
    m_SwitchThread.Stop(kStopWaitMs);
    m_ScanThread.Stop(kStopWaitMs);
    CCSLocker lock(&m_csImport);
    m_ImportList.clear();
    return true;
}

void CDataFileManager::SetNodeListReadyCheck(std::function<bool()> check) {
    CCSLocker lock(&m_csImport);
    m_NodeListReadyCheck = std::move(check);
}

bool CDataFileManager::IsNodeListReady() {
    std::function<bool()> check;
    {
        CCSLocker lock(&m_csImport);
        check = m_NodeListReadyCheck;
    }
    return check ? check() : CGlobalSharedData::GetInstance()->IsNodeListReady();
}

// ---- Data files ------------------------------------------------------------

DWORD CDataFileManager::AllocDataFileID(const char* dbName, const char* tableName) {
    if (!IsRunning()) return 0;
    if (!MakeDirectoryOK(dbName, tableName)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[AllocDataFileID] Call MakeDirectoryOK Fail\n");
        return 0;
    }
    const DWORD id = m_dwIDCounter.fetch_add(1) + 1;
    auto* file = new (std::nothrow) CDataFile();
    if (file == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[AllocDataFileID] Cannot Alloc Data File Object. Not Enough Memory!\n");
        return 0;
    }
    CCSLocker lock(&m_csMap);
    std::string path;
    if (!BuildDataFileName(&path, dbName, tableName)) {
        delete file;
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[AllocDataFileID] Call BuildDataFileName Fail\n");
        return 0;
    }
    file->m_strFilePath = path;
    file->m_strDBName = dbName;
    file->m_strTableName = tableName;
    if (!CreateUnderFreeName(file)) {
        delete file;
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[AllocDataFileID] Create DataFile Fail\n");
        return 0;
    }
    m_DataFileMap[id] = file;
    std::lock_guard<std::mutex> open(m_OpenLock);
    m_OpenFiles[file] = file->m_strDBName;
    return id;
}

CDataFile* CDataFileManager::GetDataFileByID(DWORD id) {
    if (id == 0 || !IsRunning()) return nullptr;
    CCSLocker lock(&m_csMap);
    auto it = m_DataFileMap.find(id);
    if (it == m_DataFileMap.end()) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetDataFileByID] Cannot Find Specify DataFile ID = %u\n", id);
        return nullptr;
    }
    CDataFile* file = it->second;
    // A file that could not be made (a full disk, a folder gone) is tried
    // again after a pause, so the table does not stay on the SQL path.
    const bool retry = !file->IsWritable() && file->SinceCreateFailed() >= kRecreatePauseMs;
    if (file->m_strFilePath.empty() || retry) {
        // Switched out by the switch thread (or failed): start the next file.
        if (!file->m_strDBName.empty() && !file->m_strTableName.empty()) {
            std::string path;
            if (BuildDataFileName(&path, file->m_strDBName.c_str(), file->m_strTableName.c_str())) {
                file->m_strFilePath = path;
                if (!CreateUnderFreeName(file)) {
                    Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[GetDataFileByID] Cannot Create DataFile.\n");
                }
            } else {
                Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetDataFileByID] Fail To BuildDataFileName.\n");
            }
        }
    } else if (file->IsDue()) {
        if (!SwitchOutDataFile(file, true)) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetDataFileByID] Something Wrong While Call SwitchOutDataFile.\n");
        }
    }
    return file;
}

void CDataFileManager::ReleaseDataFileID(DWORD id) {
    if (id == 0 || !IsRunning()) return;
    CCSLocker lock(&m_csMap);
    auto it = m_DataFileMap.find(id);
    if (it == m_DataFileMap.end()) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ReleaseDataFileID] Cannot Find Specify DataFile ID = %u\n", id);
        return;
    }
    CDataFile* file = it->second;
    if (!file->Flush()) Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ReleaseDataFileID] Flush DataFile Fail. ID = %u\n", id);
    if (!file->Close()) Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ReleaseDataFileID] Close DataFile Fail. ID = %u\n", id);
    // A file already switched out (path cleared) was queued then.
    if (!file->m_strFilePath.empty() && !SubmitToImportList(file)) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ReleaseDataFileID] Cannot Submit DataFile = %u To ImportList.\n", id);
    }
    {
        std::lock_guard<std::mutex> open(m_OpenLock);
        m_OpenFiles.erase(file);
    }
    delete file;
    m_DataFileMap.erase(it);
}

bool CDataFileManager::SwitchOutDataFile(CDataFile* file, bool reCreate) {
    if (file == nullptr) return false;
    const std::string dbName = file->m_strDBName;
    const std::string tableName = file->m_strTableName;
    file->Close();
    SubmitToImportList(file);
    // The closed file's path is forgotten, so that a later release or
    // switch-out of the same object cannot queue it a second time and the
    // next line knows a new file is due.
    file->m_strFilePath.clear();
    if (reCreate) {
        std::string path;
        if (!BuildDataFileName(&path, dbName.c_str(), tableName.c_str())) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "[SwitchOutDataFile] Cannot ReBuild DataFile Name\n");
        }
        file->m_strFilePath = path;
        if (!CreateUnderFreeName(file)) {
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[SwitchOutDataFile] Create DataFile Fail.\n");
            return false;
        }
    }
    return true;
}

bool CDataFileManager::CreateUnderFreeName(CDataFile* file) {
    for (int attempt = 1;; ++attempt) {
        if (file->Create()) return true;
        std::string path;
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt == kNameAttempts ||
            !BuildDataFileName(&path, file->m_strDBName.c_str(), file->m_strTableName.c_str())) {
            return false;
        }
        file->m_strFilePath = path;
    }
}

bool CDataFileManager::BuildDataFileName(std::string* path, const char* dbName, const char* tableName) {
    if (path == nullptr || dbName == nullptr || tableName == nullptr) return false;
    std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + dbName + "/" + tableName;
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[BuildDataFileName] GetFileAttr Err = %u\n", GetLastError());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[BuildDataFileName] Path Not Dir. Path = %s\n", dir.c_str());
        return false;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    const DWORD serial = m_dwNameCounter.fetch_add(1) + 1 + static_cast<DWORD>(t_NameRandom.Next());
    char name[64];
    std::snprintf(name, sizeof(name), "DataFile_%04d%02d%02d_%02d%02d%02d_%06u.dat", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, serial);
    *path = dir + "/" + name;
    return true;
}

bool CDataFileManager::MakeDirectoryExist(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() != ERROR_FILE_NOT_FOUND) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[MakeDirectoryExist] GetFileAttr Err = %u\n", GetLastError());
        return false;
    }
    // A file in the way, or a dangling link, is never deleted (it may be an
    // operator's, or a link planted to make the service delete its target):
    // making the folder then fails with ERROR_ALREADY_EXISTS.
    return CreateDirectoryA(path.c_str());
}

bool CDataFileManager::MakeDirectoryOK(const char* dbName, const char* tableName) {
    if (dbName == nullptr || tableName == nullptr) return false;
    const std::string root = CGlobalSharedData::GetInstance()->GetDataFileDir();
    const std::string dbDir = root + "/" + dbName;
    const std::string tableDir = dbDir + "/" + tableName;
    if (!MakeDirectoryExist(root) || !MakeDirectoryExist(dbDir) || !MakeDirectoryExist(tableDir)) return false;
    // Paths stay in the system's byte encoding here: no wide-character step.
    switch (SHCreateDirectory(tableDir.c_str())) {
        case 0:
            Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[MakeDirectoryOK] Create Dir = %s Succeed\n", tableDir.c_str());
            return true;
        case ERROR_ALREADY_EXISTS:
            Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[MakeDirectoryOK] Dir = %s Already Exist\n", tableDir.c_str());
            return true;
        case ERROR_FILE_EXISTS:
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[MakeDirectoryOK] File = %s Exist\n", tableDir.c_str());
            return false;
        case ERROR_BAD_PATHNAME:
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[MakeDirectoryOK] Bad Path Name = %s\n", tableDir.c_str());
            return false;
        case ERROR_FILENAME_EXCED_RANGE:
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[MakeDirectoryOK] Path Name Too Long. Path = %s\n",
                tableDir.c_str());
            return false;
        default:
            return false;
    }
}

// ---- Import list -----------------------------------------------------------

bool CDataFileManager::SubmitToImportList(CDataFile* file) {
    if (file == nullptr) return false;
    // Listed before the file forgets its first line, so a reading of the
    // oldest pending log never misses the file's lines in between.
    const bool queued =
        SubmitToImportList(file->m_strDBName, file->m_strTableName, file->m_strFilePath, file->FirstLineTime());
    file->ClearFirstLineTime();
    return queued;
}

bool CDataFileManager::SubmitToImportList(const std::string& dbName, const std::string& tableName,
                                          const std::string& path, std::int64_t oldest) {
    if (!IsRunning()) return false;
    AppendImportInfo(dbName, tableName, path, oldest);
    return true;
}

void CDataFileManager::AppendImportInfo(const std::string& dbName, const std::string& tableName,
                                        const std::string& path, std::int64_t oldest) {
    CCSLocker lock(&m_csImport);
    for (ImportInfo& info : m_ImportList) {
        if (info.strDataFilePath != path) continue;
        // Already waiting or being imported: it keeps the earlier time.
        if (oldest > 0 && (info.llOldest == 0 || oldest < info.llOldest)) info.llOldest = oldest;
        return;
    }
    ImportInfo& info = m_ImportList.emplace_back();
    info.strDBName = dbName;
    info.strTableName = tableName;
    info.strDataFilePath = path;
    info.llOldest = oldest;
    if (m_hImportQueued != nullptr) SetEvent(m_hImportQueued);
}

bool CDataFileManager::GetImportInfo(std::string* dbName, std::string* path, std::string* tableName) {
    if (!IsRunning() || dbName == nullptr || path == nullptr || tableName == nullptr) return false;
    CCSLocker lock(&m_csImport);
    const bool anyDatabase = dbName->empty();
    for (ImportInfo& info : m_ImportList) {
        if (!anyDatabase && info.strDBName != *dbName) continue;
        if (info.dwFlag.load(std::memory_order_acquire) != 0) continue;
        if (anyDatabase && CGlobalSharedData::GetInstance()->IsKnownDbName(info.strDBName.c_str()) == 0) continue;
        DWORD waiting = 0;
        if (!info.dwFlag.compare_exchange_strong(waiting, 1, std::memory_order_acq_rel)) continue;
        if (anyDatabase && (info.strDBName.empty() || info.strTableName.empty() || info.strDataFilePath.empty())) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag,
                "[GetImportInfo] Error Occur While Getting Import Info. DbName = %s , TableName = %s , DataFile = "
                "%s\n",
                info.strDBName.c_str(), info.strTableName.c_str(), info.strDataFilePath.c_str());
            continue;
        }
        *dbName = info.strDBName;
        *path = info.strDataFilePath;
        *tableName = info.strTableName;
        return true;
    }
    return false;
}

bool CDataFileManager::ResetImportInfoFlag(const char* dbName, const char* tableName, const char* path) {
    if (dbName == nullptr || tableName == nullptr || path == nullptr || !IsRunning()) return false;
    CCSLocker lock(&m_csImport);
    for (ImportInfo& info : m_ImportList) {
        if (info.strDBName == dbName && info.strTableName == tableName && info.strDataFilePath == path &&
            info.dwFlag.load(std::memory_order_acquire) == 1) {
            info.dwFlag.store(0, std::memory_order_release);
            return true;
        }
    }
    Log(Recorder(), LOG_LEVEL_WARN, kTag,
        "[ResetImportInfoFlag] Cannot Find ImportInfo! DBName = %s, TableName = %s , DataFileName = %s\n", dbName,
        tableName, path);
    return false;
}

void CDataFileManager::RemoveImportInfo(const char* dbName, const char* tableName, const char* path) {
    if (dbName == nullptr || tableName == nullptr || path == nullptr || !IsRunning()) return;
    CCSLocker lock(&m_csImport);
    for (auto it = m_ImportList.begin(); it != m_ImportList.end(); ++it) {
        if (it->strDBName == dbName && it->strTableName == tableName && it->strDataFilePath == path &&
            it->dwFlag.load(std::memory_order_acquire) == 1) {
            m_ImportList.erase(it);
            return;
        }
    }
}

size_t CDataFileManager::ImportListSize() {
    CCSLocker lock(&m_csImport);
    return m_ImportList.size();
}

void CDataFileManager::OldestPending(OldestPendingMap* oldest) {
    // Open files first, then the import list: a file switched out in
    // between is listed before it forgets its time, so it is seen at least
    // once.
    {
        std::lock_guard<std::mutex> open(m_OpenLock);
        for (const auto& [file, database] : m_OpenFiles) NoteOldestPending(oldest, database, file->FirstLineTime());
    }
    CCSLocker lock(&m_csImport);
    for (const ImportInfo& info : m_ImportList) NoteOldestPending(oldest, info.strDBName, info.llOldest);
}

void CDataFileManager::ImportBacklog(size_t* files, std::uint64_t* bytes) {
    std::vector<std::string> paths;
    {
        CCSLocker lock(&m_csImport);
        for (const ImportInfo& info : m_ImportList) paths.push_back(info.strDataFilePath);
    }
    // The sizes are read without the list's lock: an import is never held
    // up by a scrape.
    *files = paths.size();
    *bytes = 0;
    for (const std::string& path : paths) {
        const std::int64_t size = GetFileSizeA(path.c_str());
        if (size > 0) *bytes += static_cast<std::uint64_t>(size);
    }
}

void CDataFileManager::ScanDataFile_DirName(const std::string& dir, std::vector<std::string>* names) {
    names->clear();
    std::vector<DirEntry> entries;
    // Every name, dotted or not, as the pattern "*.*" did on Windows.
    if (!ListDirectory(dir, "*", &entries)) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ScanDataFile_DirName] Cannot Search Path = %s , Err = %u\n",
            dir.c_str(), GetLastError());
        return;
    }
    for (const DirEntry& entry : entries) {
        if (entry.isDirectory) names->push_back(entry.name);
    }
}

void CDataFileManager::ScanDataFile_FileName(const std::string& dir, const char* pattern,
                                             std::vector<std::string>* names) {
    names->clear();
    std::vector<DirEntry> entries;
    const char* match = (pattern != nullptr && pattern[0] != '\0') ? pattern : "*";
    if (!ListDirectory(dir, match, &entries)) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ScanDataFile_FileName] Cannot Search Path = %s , Err = %u\n",
                dir.c_str(), error);
        }
        return;
    }
    for (const DirEntry& entry : entries) {
        if (!entry.isDirectory) names->push_back(entry.name);
    }
}

// ---- Threads ---------------------------------------------------------------

DWORD CDataFileManager::DataFileSwitchThread(void* param) {
    auto* manager = static_cast<CDataFileManager*>(param);
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DataFileSwitchThread] Start Working...\n");
    if (manager->m_dwRunFlag.load() != 1) {
        Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DataFileSwitchThread] Thread Exit With Wait Ret = %u\n", 0u);
        return 0;
    }
    while (manager->m_dwRunFlag.load() == 1) {
        const DWORD ret = manager->m_SwitchThread.WaitPeriod(manager->m_dwSwitchPeriodMs.load());
        if (ret != WAIT_TIMEOUT || !manager->IsRunning()) {
            Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DataFileSwitchThread] Thread Exit With Wait Ret = %u\n", ret);
            return 0;
        }
        manager->SwitchOutTimedOutFiles();
    }
    return 0;
}

bool CDataFileManager::IsOpenDataFile(const std::string& path) {
    CCSLocker lock(&m_csMap);
    for (const auto& entry : m_DataFileMap) {
        if (entry.second->m_strFilePath == path) return true;
    }
    return false;
}

void CDataFileManager::SwitchOutTimedOutFiles() {
    CCSLocker lock(&m_csMap);
    for (auto& entry : m_DataFileMap) {
        CDataFile* file = entry.second;
        if (file->m_strFilePath.empty() || !file->IsDue()) continue;
        const std::string path = file->m_strFilePath;
        SwitchOutDataFile(file, false);
        Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[DataFileSwitchThread] Switch Out DataFile = %s\n", path.c_str());
    }
}

DWORD CDataFileManager::DataFileScanThread(void* param) {
    auto* manager = static_cast<CDataFileManager*>(param);
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DataFileScanThread] Thread Start...\n");
    const std::string root = CGlobalSharedData::GetInstance()->GetDataFileDir();
    if (!manager->MakeDirectoryExist(root)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[DataFileScanThread] Cannot Make DataFile Dir OK\n");
        return 0;
    }
    std::vector<std::string> databases, tables, files;
    manager->ScanDataFile_DirName(root, &databases);
    for (const std::string& db : databases) {
        manager->ScanDataFile_DirName(root + "/" + db, &tables);
        for (const std::string& table : tables) {
            const std::string dir = root + "/" + db + "/" + table;
            manager->ScanDataFile_FileName(dir, "*.dat", &files);
            manager->TidyLeftovers(dir, files);
            for (const std::string& name : files) {
                if (manager->m_dwRunFlag.load() != 1) break;
                const std::string path = dir + "/" + name;
                if (manager->IsOpenDataFile(path)) continue;
                Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DataFileScanThread] Find Data File = %s\n", path.c_str());
                loss::CountDataFileLines(loss::DF_CARRIED, table.c_str(), path);
                // Listed before Init has marked the manager running.
                manager->AppendImportInfo(db, table, path, ModificationTime(path));
            }
        }
    }
    manager->DoImportOnStart();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DataFileScanThread] Thread Exit\n");
    return 0;
}

std::int64_t CDataFileManager::CutTornTail(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return -1;
    std::ifstream in(path, std::ios::binary);
    if (!in) return -1;
    // Fields never hold a raw line feed, so the last one ends the last whole
    // line. Read backwards in blocks until it is found.
    constexpr std::uintmax_t kBlock = 65536;
    std::string block;
    std::uintmax_t end = size;
    std::uintmax_t keep = 0;
    while (end > 0) {
        const std::uintmax_t start = end > kBlock ? end - kBlock : 0;
        block.resize(static_cast<size_t>(end - start));
        in.seekg(static_cast<std::streamoff>(start));
        if (!in.read(block.data(), static_cast<std::streamsize>(block.size()))) return -1;
        const size_t at = block.rfind('\n');
        if (at != std::string::npos) {
            keep = start + at + 1;
            break;
        }
        end = start;
    }
    if (keep == size) return 0;
    in.close();
    std::filesystem::resize_file(path, keep, error);
    return error ? -1 : static_cast<std::int64_t>(size - keep);
}

void CDataFileManager::TidyLeftovers(const std::string& dir, const std::vector<std::string>& dataFiles) {
    std::vector<std::string> markers;
    ScanDataFile_FileName(dir, "*.dat.loading", &markers);
    for (const std::string& marker : markers) {
        const std::string dataFile = marker.substr(0, marker.size() - std::strlen(".loading"));
        if (std::find(dataFiles.begin(), dataFiles.end(), dataFile) == dataFiles.end()) {
            DeleteFileA((dir + "/" + marker).c_str());
        }
    }
    for (const std::string& name : dataFiles) {
        const std::string path = dir + "/" + name;
        if (IsOpenDataFile(path)) continue;
        const std::int64_t cut = CutTornTail(path);
        if (cut > 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag,
                "[DataFileScanThread] Data File = %s Ended With An Incomplete Line , %lld Byte(s) Dropped\n",
                path.c_str(), static_cast<long long>(cut));
        } else if (cut < 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "[DataFileScanThread] Cannot Check The End Of Data File = %s\n",
                path.c_str());
        }
    }
}

// ---- Import ----------------------------------------------------------------

std::string CDataFileManager::QuotePath(const std::string& path) {
    std::string quoted;
    quoted.reserve(path.size() + 8);
    for (char ch : path) {
        if (ch == '\'' || ch == '\\') quoted += ch;
        quoted += ch;
    }
    return quoted;
}

bool CDataFileManager::RunStatement(MYSQL* connection, const std::string& sql) {
    if (mysql_real_query(connection, sql.data(), sql.size()) != 0) return false;
    do {
        MYSQL_RES* result = mysql_use_result(connection);
        if (result != nullptr) {
            while (mysql_fetch_row(result) != nullptr) {
            }
            mysql_free_result(result);
        }
    } while (mysql_next_result(connection) == 0);
    return true;
}

std::string CDataFileManager::LoadStatement(const char* tableName, const std::string& into,
                                            const std::string& quotedPath) {
    return IsSyslog(tableName)
               ? Format("load data local infile '%s' into table %s character set gbk fields enclosed by '\"' lines "
                        "terminated by '\\r\\n' ( `lev` , `process` , `message` , `log_time` )",
                        quotedPath, into)
               : Format("load data local infile '%s' into table %s character set gbk fields enclosed by '\"'  lines "
                        "terminated by '\\r\\n' ",
                        quotedPath, into);
}

bool CDataFileManager::PrepareMarker(MYSQL* connection, const char* tableName, const char* path,
                                     std::int64_t* syslogFloor) {
    *syslogFloor = 0;
    const std::string marker = MarkerPath(path);
    if (FILE* in = std::fopen(marker.c_str(), "rb")) {
        long long floor = 0;
        if (std::fscanf(in, "%lld", &floor) == 1) *syslogFloor = floor;
        std::fclose(in);
        return true;
    }
    if (IsSyslog(tableName) && mysql_query(connection, "select ifnull(max(id),0) from syslog") == 0) {
        if (MYSQL_RES* result = mysql_store_result(connection)) {
            MYSQL_ROW row = mysql_fetch_row(result);
            if (row != nullptr && row[0] != nullptr) *syslogFloor = std::strtoll(row[0], nullptr, 10);
            mysql_free_result(result);
        }
    }
    FILE* out = CreateFileStream(marker.c_str());
    bool written = out != nullptr && std::fprintf(out, "%lld\n", static_cast<long long>(*syslogFloor)) > 0;
    if (out != nullptr && std::fclose(out) != 0) written = false;
    if (!written) {
        DeleteFileA(marker.c_str());  // a marker cut short would be misread
        // The load goes on: only a kill during it could then store rows twice.
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ImportDataFile] Cannot Write Load Marker = %s , Err = %d\n",
            marker.c_str(), errno);
    }
    return false;
}

void CDataFileManager::AbortLoads() {
    m_bAbortLoads.store(true);
    std::vector<unsigned long> ids;
    {
        std::lock_guard<std::mutex> lock(m_LoadsLock);
        ids.assign(m_ActiveLoads.begin(), m_ActiveLoads.end());
    }
    if (ids.empty()) return;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* killer = sql->AllocSqlConn(nullptr, CLIENT_MULTI_STATEMENTS, CSQLConnManager::Wait::kNoWait);
    if (killer == nullptr) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[AbortLoads] Cannot Stop %u Running Import(s): No Connection\n",
            static_cast<unsigned>(ids.size()));
        return;
    }
    for (unsigned long id : ids) RunStatement(killer, "kill query " + std::to_string(id));
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[AbortLoads] %u Running Import(s) Stopped With KILL QUERY\n",
        static_cast<unsigned>(ids.size()));
    sql->ReleaseSqlConn(killer);
}

bool CDataFileManager::ImportDataFile(MYSQL* connection, const char* tableName, const char* path, bool repair) {
    if (connection == nullptr || tableName == nullptr || path == nullptr) return false;
    const unsigned long serverThread = mysql_thread_id(connection);
    {
        std::lock_guard<std::mutex> lock(m_LoadsLock);
        if (m_bAbortLoads.load()) return false;
        m_ActiveLoads.insert(serverThread);
    }
    struct Done {
        CDataFileManager* self;
        unsigned long id;
        ~Done() {
            std::lock_guard<std::mutex> lock(self->m_LoadsLock);
            self->m_ActiveLoads.erase(id);
        }
    } done{this, serverThread};
    const std::int64_t bytes = GetFileSizeA(path);
    const std::uint64_t size = bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
    if (size == 0) {
        Log(Recorder(), LOG_LEVEL_INFO, kTag, "[ImportDataFile] FileSize = 0 , FileName = %s\n", path);
        return true;
    }
    std::int64_t syslogFloor = 0;
    if (PrepareMarker(connection, tableName, path, &syslogFloor)) {
        Log(Recorder(), LOG_LEVEL_INFO, kTag,
            "[ImportDataFile] Data File = %s Was Loaded Before Without Completing. Rows Already Stored Are Left Out\n",
            path);
        return DoImportDataFileWithTempTable(connection, tableName, path, repair, true, syslogFloor);
    }
    const std::int32_t limitMiB = CConfigManager::GetInstance()->m_ZelkAdv.NoTempTableDataFileSize.Get();
    if (limitMiB == 0 || size / kBytesPerMiB > static_cast<std::uint64_t>(limitMiB)) {
        return DoImportDataFileWithOutTempTable(connection, tableName, path, repair, syslogFloor);
    }
    return DoImportDataFileWithTempTable(connection, tableName, path, repair, false, syslogFloor);
}

bool CDataFileManager::TempTableAttempt(MYSQL* connection, const char* tableName, const char* path, bool repair,
                                        bool dedupe, std::int64_t syslogFloor, bool* copyTried) {
    const std::string table = tableName;
    const std::string temp = table + "_temp";
    const std::string create = Format("create temporary table if not exists %s_temp select * from %s where 1 <> 1",
                                      table, table);
    std::string copy = Format("insert into %s select * from %s_temp", table, table);
    if (dedupe && IsSyslog(tableName)) {
        copy = "insert into syslog (`lev`,`process`,`message`,`log_time`) select t.lev,t.process,t.message,"
               "t.log_time from syslog_temp t where not exists (select 1 from syslog r where r.id > " +
               std::to_string(syslogFloor) +
               " and r.log_time = t.log_time and r.lev = t.lev and r.process = t.process and binary r.message = "
               "binary t.message)";
    } else if (dedupe) {
        copy = "insert into " + table + " select t.* from " + temp + " t where not exists (select 1 from " + table +
               " r where r.record_id = t.record_id)";
    }
    const std::string drop = Format("drop table %s_temp", table, "");
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoImportDataFileWithTempTable] Prepare To Import Data File = %s\n", path);
    if (!RunStatement(connection, create)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag,
            "[DoImportDataFileWithTempTable] Cannot Create Temporary Table Err = %u ErrStr = %s\n",
            mysql_errno(connection), mysql_error(connection));
        if (repair) SimpleRepairTable(connection, tableName);
        return false;
    }
    bool copied = false;
    if (!RunStatement(connection, LoadStatement(tableName, temp, QuotePath(path)))) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag,
            "[DoImportDataFileWithTempTable] Cannot Load Data To Temporary Table Err = %u ErrStr = %s\n",
            mysql_errno(connection), mysql_error(connection));
        if (repair) SimpleRepairTable(connection, tableName);
    } else if (*copyTried = true; !RunStatement(connection, copy)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag,
            "[DoImportDataFileWithTempTable] Cannot Insert Temporary Table Data Into Real Table. Err = %u , "
            "ErrStr = %s\n",
            mysql_errno(connection), mysql_error(connection));
        if (repair) SimpleRepairTable(connection, tableName);
    } else {
        const char* info = mysql_info(connection);
        Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoImportDataFileWithTempTable] Info = %s\n",
            info != nullptr ? info : "");
        copied = true;
    }
    if (!RunStatement(connection, drop)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag,
            "[DoImportDataFileWithTempTable] Cannot Drop Temporary Table . Err = %u , ErrStr = %s\n",
            mysql_errno(connection), mysql_error(connection));
    }
    if (copied) {
        Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoImportDataFileWithTempTable] Import Succeed. Data File = %s\n", path);
    }
    return copied;
}

bool CDataFileManager::DoImportDataFileWithTempTable(MYSQL* connection, const char* tableName, const char* path,
                                                     bool repair, bool dedupe, std::int64_t syslogFloor) {
    if (connection == nullptr || tableName == nullptr || path == nullptr) return false;
    // The server may read this file, and no other, while the import runs.
    CLocalInfileScope allowLocal(connection, path);
    for (int attempt = 0; attempt < kImportAttempts && !m_bAbortLoads.load(); ++attempt) {
        bool copyTried = false;
        if (TempTableAttempt(connection, tableName, path, repair, dedupe, syslogFloor, &copyTried)) return true;
        // A copy that failed part-way may have stored some rows.
        dedupe = dedupe || copyTried;
    }
    return false;
}

bool CDataFileManager::DoImportDataFileWithOutTempTable(MYSQL* connection, const char* tableName, const char* path,
                                                        bool repair, std::int64_t syslogFloor) {
    if (connection == nullptr || tableName == nullptr || path == nullptr) return false;
    CLocalInfileScope allowLocal(connection, path);
    const std::string load = LoadStatement(tableName, tableName, QuotePath(path));
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoImportDataFileWithOutTempTable] Prepare To Import Data File = %s\n",
        path);
    if (RunStatement(connection, load)) {
        const char* info = mysql_info(connection);
        Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoImportDataFileWithOutTempTable] Info = %s\n",
            info != nullptr ? info : "");
        Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoImportDataFileWithOutTempTable] Import Succeed. Data File = %s\n",
            path);
        return true;
    }
    Log(Recorder(), LOG_LEVEL_ERROR, kTag,
        "[DoImportDataFileWithOutTempTable] Cannot Load Data To Temporary Table Err = %u ErrStr = %s\n",
        mysql_errno(connection), mysql_error(connection));
    if (repair) SimpleRepairTable(connection, tableName);
    // A load that failed part-way leaves the rows it stored (the tables do
    // not roll back): the two further attempts leave those out.
    for (int attempt = 1; attempt < kImportAttempts; ++attempt) {
        bool copyTried = false;
        if (TempTableAttempt(connection, tableName, path, repair, true, syslogFloor, &copyTried)) return true;
    }
    return false;
}

void CDataFileManager::SimpleRepairTable(MYSQL* connection, const char* tableName) {
    // An import ended by a stop failed for that reason, not for the table.
    if (connection == nullptr || tableName == nullptr || m_bAbortLoads.load()) return;
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[SimpleRepairTable] Prepare To Repair Table %s ...\n", tableName);
    if (!RunStatement(connection, Format("repair table %s", tableName, ""))) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[SimpleRepairTable] Fail To Repair Table %s. Errno = %u , ErrStr = %s\n",
            tableName, mysql_errno(connection), mysql_error(connection));
        return;
    }
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[SimpleRepairTable] Repair Table %s Succeed!\n", tableName);
}

bool CDataFileManager::WaitBeforeImportOnStart() {
    DWORD periodStart = GetTickCount();
    while (m_dwRunFlag.load() == 1) {
        if (m_ScanThread.WaitPeriod(kStartImportStepMs) != WAIT_TIMEOUT) return false;
        const DWORD now = GetTickCount();
        if (now - periodStart < m_dwStartImportDelayMs.load()) continue;
        if (IsNodeListReady()) return true;
        periodStart = now;  // not loaded yet: another full delay
    }
    return false;
}

void CDataFileManager::DoImportOnStart() {
    CSQLConnManager::ThreadInit();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoImportOnStart] DataFile Will Import In %u ms\n",
        m_dwStartImportDelayMs.load());
    if (WaitBeforeImportOnStart() && m_dwRunFlag.load() == 1) {
        ImportWaitingFilesInParallel("[DoImportOnStart]");
        // Later files of nodes that are no longer connected have no import
        // task of their own. A file that joins the list starts a pass at
        // once, so rows land within moments of a switch-out or a hang-up.
        while (m_dwRunFlag.load() == 1) {
            const DWORD rc = m_ScanThread.WaitPeriod(m_dwWaitingImportPeriodMs.load(), m_hImportQueued);
            if ((rc != WAIT_TIMEOUT && rc != WAIT_OBJECT_0 + 2) || m_dwRunFlag.load() != 1) break;
            ImportWaitingFilesInParallel("[ImportWaitingFiles]");
        }
    }
    CSQLConnManager::ThreadEnd();
}

void CDataFileManager::ImportWaitingFilesInParallel(const char* tag) {
    // A second importer on its own connection while two or more files wait:
    // the server loads files of different tables side by side, and the claims
    // keep both importers from taking the same file.
    std::thread second;
    if (UnclaimedImportCount() >= 2 && CConfigManager::GetInstance()->m_Zelk.ISFULL.Get() == 0) {
        // Without a second thread (the process is out of threads or memory)
        // the files are imported one at a time instead of ending the process.
        try {
            second = std::thread([this, tag] {
                InstallCrashAltStack();
                CSQLConnManager::ThreadInit();
                ImportWaitingFiles(tag);
                CSQLConnManager::ThreadEnd();
            });
        } catch (const std::system_error& error) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ImportDataFile] Cannot Start A Second Importer: %s\n", error.what());
        }
    }
    ImportWaitingFiles(tag);
    if (second.joinable()) second.join();
}

size_t CDataFileManager::UnclaimedImportCount() {
    CCSLocker lock(&m_csImport);
    return static_cast<size_t>(std::count_if(m_ImportList.begin(), m_ImportList.end(), [](const ImportInfo& info) {
        return info.dwFlag.load(std::memory_order_acquire) == 0;
    }));
}

void CDataFileManager::ImportWaitingFiles(const char* tag) {
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    CImportPass pass("");
    std::string db, table, path;
    // A long pass (the start-up import after an outage) says how far it got
    // every kProgressEveryMs: files done, files waiting, rows per second.
    const DWORD start = GetTickCount();
    DWORD lastProgress = start;
    const std::uint64_t rowsBefore = loss::Get(loss::DF_LOADED);
    unsigned done = 0;
    while (m_dwRunFlag.load() == 1 && WaitForExitEvent(0) != WAIT_OBJECT_0) {
        const DWORD now = GetTickCount();
        if (now - lastProgress >= kProgressEveryMs) {
            lastProgress = now;
            const std::uint64_t rows = loss::Get(loss::DF_LOADED) - rowsBefore;
            Log(Recorder(), LOG_LEVEL_INFO, kTag,
                "%s Import Progress: %u File(s) Done , %u Waiting , %llu Row(s) , %llu Row(s)/s\n", tag, done,
                static_cast<unsigned>(UnclaimedImportCount()), static_cast<unsigned long long>(rows),
                static_cast<unsigned long long>(rows * 1000 / std::max<DWORD>(now - start, 1)));
        }
        if (!pass.Claim(&db, &table, &path)) break;
        // Checked once a file waits, so an idle pass every few seconds does
        // not log a full disk again and again.
        if (CConfigManager::GetInstance()->m_Zelk.ISFULL.Get() != 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "%s Import Calcel Due To Not Enough DiskSpace.\n", tag);
            pass.Failed(db, table, path);
            break;
        }
        MYSQL* connection = sql->AllocSqlConn(db.c_str(), CLIENT_LOCAL_FILES);
        if (connection == nullptr) {
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "%s Cannot Alloc MySQL Object.\n", tag);
            pass.Failed(db, table, path);
            break;
        }
        if (ImportDataFile(connection, table.c_str(), path.c_str(), true)) {
            pass.Succeeded(db, table, path);
            ++done;
        } else {
            pass.Failed(db, table, path);
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "%s Call ImportDataFile() Fail.\n", tag);
        }
        sql->ReleaseSqlConn(connection);
    }
}  // the pass gives back the claims of the files that failed
