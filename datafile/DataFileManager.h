// The process-wide owner of the open data files and of the import list.
//
// Data file writers take a data file ID per table (AllocDataFileID), reach
// the file through GetDataFileByID (which rotates it when its use time is
// up) and give the ID back with ReleaseDataFileID. Files lie in
// <data file dir>/<database>/<table>/DataFile_<local time>_<serial>.dat. A
// closed file goes on the import list, from which the importers (the
// start-up import on the scan thread, and one CLoadDataTask per node) claim
// it, bulk-load it with LOAD DATA LOCAL INFILE and delete it.
//
// What callers may rely on:
// - Lifetime. The manager is created on first use and never destroyed, so
//   its threads may outlive UnInit without touching freed memory. Both locks
//   are created once, with the object, and never deleted for the same
//   reason; Init and UnInit may be called again (tests do).
// - Threads. The switch thread rotates files every 30 s (period settable for
//   tests); the scan thread runs once per Init: it lists the leftovers of
//   earlier runs, then runs the start-up import. Both end on the exit event
//   or on UnInit's own stop signal.
// - Lock order: the map lock, then the import lock, then the shared data's
//   node-list lock. No lock is held while a file is loaded.
// - Claims. An entry is claimed by one compare-and-exchange of its flag under
//   the import lock, so one file is never handed to two importers. A path is
//   put on the list at most once: a file switched out by the switch thread
//   and then released by its writer before any new line is queued only once,
//   so no second entry can let a second importer load the same file again.
//   Only a claimed entry can be given back or removed, and only its claimer
//   does either, so an importer never removes an entry another one holds.
// - The scan lists only files no writer holds: a file created by a writer
//   after Init is queued when it is switched out or released, never while
//   it is still written, and a file already listed is not listed again.
// - Entries of databases that belong to no known node are not claimed by an
//   any-database claim (the start-up import); they stay waiting for the
//   node's own import task instead of staying claimed for ever.
// - Import passes. An importer keeps the claims of the files that failed in
//   its pass until the pass ends and then gives all of them back, so a
//   failing file is tried once per pass, never in a tight loop, and none of
//   them stays claimed after the pass (ImportPass below).
// - The start-up import's 60 s delay is measured with GetTickCount while
//   waiting on the exit event in short steps, so the test clock drives it.
// - Files of nodes that are not connected. A node's import task ends with its
//   connection, and the files its writers release then would wait for its
//   next connection. After the start-up import the scan thread therefore
//   repeats the same any-database pass every 10 s (settable for tests)
//   until UnInit, so the logs of a node that left reach MySQL too. Claims
//   keep it from loading a file an import task holds.
// - Loads are exactly once across kills. Before a file's first load attempt
//   a marker "<file>.loading" is written next to it (for syslog it holds the
//   table's highest id at that moment); it is deleted after the file. A file
//   whose marker exists when an attempt starts (the process was killed while
//   loading it, or an earlier attempt failed, either of which may have left
//   part of its rows in the table) is loaded through the temporary table,
//   leaving out the rows already stored: user rows by record id, syslog rows
//   by their four fields among the ids above the marker's. The scan deletes
//   markers whose file is gone and cuts a file's last line when it lacks its
//   "\r\n" (an append cut short), logging the bytes dropped.
// - Statements are built in strings of any length; the path in a statement
//   has every single quote and backslash doubled.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/OldestPending.h"
#include "core/StoppableThread.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CDataFile;

// One entry of the import list.
struct ImportInfo {
    std::atomic<DWORD> dwFlag{0};  // 0 waiting, 1 claimed by an importer
    std::string strDBName;
    std::string strTableName;
    std::string strDataFilePath;
    // Unix seconds of the file's first line (handed over by its CDataFile);
    // for a file found on disk at start, its modification time, the best
    // bound left (no later than its last line, so the age shown is at most
    // too small). 0 for a file without lines.
    std::int64_t llOldest = 0;
};

// The import of one importer between its first claim and its end: it claims
// files one after the other, never takes a file that already failed in this
// pass, and gives back the claims of every failed file when it ends.
class CImportPass {
public:
    // database: the importer's database, or "" for any known node database.
    explicit CImportPass(std::string database) : m_strDBName(std::move(database)) {}
    // Gives back the claims of the failed files (GiveBackFailed).
    ~CImportPass();
    CImportPass(const CImportPass&) = delete;
    CImportPass& operator=(const CImportPass&) = delete;

    // Claims the next waiting file that has not failed in this pass.
    bool Claim(std::string* database, std::string* table, std::string* path);
    // The claimed file was loaded: removes its entry and deletes the file.
    void Succeeded(const std::string& database, const std::string& table, const std::string& path);
    // The claimed file failed: it stays claimed until the pass ends.
    void Failed(const std::string& database, const std::string& table, const std::string& path);
    void GiveBackFailed();

private:
    struct Entry {
        std::string database, table, path;
    };
    std::string m_strDBName;
    std::vector<Entry> m_Failed;
};

class CDataFileManager {
public:
    static constexpr DWORD kSwitchPeriodMs = 30000;
    static constexpr DWORD kProgressEveryMs = 5000;  // an import pass logs its progress
    static constexpr DWORD kStopWaitMs = 10000;
    static constexpr DWORD kStartImportDelayMs = 60000;
    // Step of the start-up import's wait; elapsed time comes from the tick
    // count, not from counting steps.
    static constexpr DWORD kStartImportStepMs = 100;
    static constexpr int kImportAttempts = 3;
    static constexpr DWORD kWaitingImportPeriodMs = 10000;

    static CDataFileManager* GetInstance();
    virtual ~CDataFileManager();

    bool Init();
    bool UnInit();
    bool IsRunning() const { return m_dwRunning.load() == 1; }

    DWORD AllocDataFileID(const char* dbName, const char* tableName);
    CDataFile* GetDataFileByID(DWORD id);
    void ReleaseDataFileID(DWORD id);
    bool SwitchOutDataFile(CDataFile* file, bool reCreate);
    bool BuildDataFileName(std::string* path, const char* dbName, const char* tableName);
    // file->Create(), under the next name of its table while the name is
    // taken (nodes sharing a database may draw the same serial in the same
    // second): never over another file. At most kNameAttempts names.
    bool CreateUnderFreeName(CDataFile* file);
    static constexpr int kNameAttempts = 16;
    // Pause before a file that could not be made is tried again.
    static constexpr DWORD kRecreatePauseMs = 10000;
    // True when a folder stands at path or one was made (mode 0750). Nothing
    // is ever deleted: a file (or a link) in the way makes it fail with
    // ERROR_ALREADY_EXISTS, and the caller logs the failure.
    bool MakeDirectoryExist(const std::string& path);
    bool MakeDirectoryOK(const char* dbName, const char* tableName);

    // Appends the file's entry (flag 0) unless its path is already listed;
    // the file's first-line time goes with it and is cleared in the file.
    bool SubmitToImportList(CDataFile* file);
    bool SubmitToImportList(const std::string& dbName, const std::string& tableName, const std::string& path,
                            std::int64_t oldest = 0);
    // Claims the next waiting entry (of dbName when not empty, else of any
    // known node database); dbName receives the database in the latter case.
    bool GetImportInfo(std::string* dbName, std::string* path, std::string* tableName);
    // Gives a claimed entry back (flag 0). False when no claimed entry matches.
    bool ResetImportInfoFlag(const char* dbName, const char* tableName, const char* path);
    // Erases the matching claimed entry.
    void RemoveImportInfo(const char* dbName, const char* tableName, const char* path);
    size_t ImportListSize();
    // Notes, per database, when the oldest line of its open data files and
    // of its files waiting for import came. Takes the small lock of the open
    // files and the import list's lock, never the map lock (held while a
    // file is flushed to the disk).
    void OldestPending(OldestPendingMap* oldest);
    // Files waiting in the import list and their bytes.
    void ImportBacklog(size_t* files, std::uint64_t* bytes);
    // Data files loaded since the start.
    void CountImported() { m_nImported.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t ImportedFiles() const { return m_nImported.load(std::memory_order_relaxed); }

    void ScanDataFile_DirName(const std::string& dir, std::vector<std::string>* names);
    void ScanDataFile_FileName(const std::string& dir, const char* pattern, std::vector<std::string>* names);

    // Import routines (repair = repair the table after a failed attempt).
    bool ImportDataFile(MYSQL* connection, const char* tableName, const char* path, bool repair);
    // Ends every running import at once: its statement is stopped with KILL
    // QUERY from another connection, and until the next Init no import
    // retries, repairs or starts (the load markers make a later load of the
    // same file store each line once). UnInit calls it.
    void AbortLoads();
    // Three attempts each. An attempt after one that may have stored part of
    // the rows leaves the stored rows out (dedupe, see above); syslogFloor is
    // the marker's id.
    bool DoImportDataFileWithTempTable(MYSQL* connection, const char* tableName, const char* path, bool repair,
                                       bool dedupe, std::int64_t syslogFloor);
    bool DoImportDataFileWithOutTempTable(MYSQL* connection, const char* tableName, const char* path, bool repair,
                                          std::int64_t syslogFloor);
    void SimpleRepairTable(MYSQL* connection, const char* tableName);
    void DoImportOnStart();
    // One any-database pass of the scan thread; tag names it in the log.
    void ImportWaitingFiles(const char* tag);
    void ImportWaitingFilesInParallel(const char* tag);
    size_t UnclaimedImportCount();

    // Seeds the calling thread's generator of file-name serials.
    static void SeedNameRandom(DWORD seed);
    // The path as a SQL string literal's content: ' and \ doubled.
    static std::string QuotePath(const std::string& path);
    // The marker of a file's load attempts (see above).
    static std::string MarkerPath(const std::string& path) { return path + ".loading"; }
    // Cuts an unterminated last line off; the number of bytes cut, or -1 when
    // the file could not be read or cut.
    static std::int64_t CutTornTail(const std::string& path);

    // Tests shorten the switch thread's period before Init.
    void SetSwitchPeriod(DWORD periodMs) { m_dwSwitchPeriodMs.store(periodMs); }
    // Tests replace the check "the node list is loaded" of the start-up
    // import; an empty function restores the shared data's own flag.
    void SetNodeListReadyCheck(std::function<bool()> check);
    // Tests shorten the start-up delay and the period of the later passes.
    void SetStartImportDelay(DWORD delayMs) { m_dwStartImportDelayMs.store(delayMs); }
    void SetWaitingImportPeriod(DWORD periodMs) { m_dwWaitingImportPeriodMs.store(periodMs); }

private:
    CDataFileManager();

    static DWORD DataFileSwitchThread(void* manager);
    static DWORD DataFileScanThread(void* manager);
    void SwitchOutTimedOutFiles();
    // True when path is the current file of an ID in the map.
    bool IsOpenDataFile(const std::string& path);
    // Appends an entry (flag 0) unless the path is already listed.
    void AppendImportInfo(const std::string& dbName, const std::string& tableName, const std::string& path,
                          std::int64_t oldest);
    // Waits out the start-up delay; false when the import must not run.
    bool WaitBeforeImportOnStart();
    bool IsNodeListReady();
    // Runs sql and drains any result; false with the error left on connection.
    static bool RunStatement(MYSQL* connection, const std::string& sql);
    static std::string LoadStatement(const char* tableName, const std::string& into, const std::string& quotedPath);
    // Writes the marker before a first attempt; reads it (true) when one is
    // there already. *syslogFloor: the id above which rows may come from an
    // earlier attempt.
    static bool PrepareMarker(MYSQL* connection, const char* tableName, const char* path, std::int64_t* syslogFloor);
    // One attempt through the temporary table; *copyTried tells whether the
    // copy into the real table ran (and may have stored part of the rows).
    bool TempTableAttempt(MYSQL* connection, const char* tableName, const char* path, bool repair, bool dedupe,
                          std::int64_t syslogFloor, bool* copyTried);
    // Deletes markers without their file and cuts torn last lines.
    void TidyLeftovers(const std::string& dir, const std::vector<std::string>& dataFiles);

    std::atomic<DWORD> m_dwRunFlag{0};
    // Server thread ids of the connections importing now, and whether
    // imports are being ended.
    std::mutex m_LoadsLock;
    std::set<unsigned long> m_ActiveLoads;
    std::atomic<bool> m_bAbortLoads{false};
    std::atomic<DWORD> m_dwRunning{0};
    CStoppableThread m_SwitchThread;
    CStoppableThread m_ScanThread;
    std::atomic<DWORD> m_dwIDCounter{0};
    std::map<DWORD, CDataFile*> m_DataFileMap;
    CRITICAL_SECTION m_csMap;
    // The files of m_DataFileMap and their databases, for OldestPending: an
    // entry goes before its file is deleted. Lock taken inside m_csMap.
    std::mutex m_OpenLock;
    std::map<const CDataFile*, std::string> m_OpenFiles;
    std::atomic<DWORD> m_dwNameCounter{0};
    std::list<ImportInfo> m_ImportList;
    std::atomic<std::uint64_t> m_nImported{0};
    CRITICAL_SECTION m_csImport;
    std::atomic<DWORD> m_dwSwitchPeriodMs{kSwitchPeriodMs};
    std::function<bool()> m_NodeListReadyCheck;  // guarded by m_csImport
    std::atomic<DWORD> m_dwStartImportDelayMs{kStartImportDelayMs};
    std::atomic<DWORD> m_dwWaitingImportPeriodMs{kWaitingImportPeriodMs};
    // Set when a file joins the import list: the pass for waiting files runs
    // then instead of at its next period. Lives as long as the manager.
    HANDLE m_hImportQueued = nullptr;
};
