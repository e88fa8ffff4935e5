#include "writers/SqlSpool.h"

#include <mysql.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <unordered_map>

#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "writers/RowCheck.h"

namespace {

constexpr char kClassTag[] = "[CSqlSpool]";
constexpr char kPrefix[] = "SqlSpool_";
constexpr char kSuffix[] = ".sql";
constexpr char kClaimedSuffix[] = ".sending";
constexpr char kTempSuffix[] = ".tmp";
constexpr char kPassPrefix[] = "SqlSpoolPass_";
constexpr char kSetNamesGbk[] = "set   names   'gbk'";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// Removes suffix from the end of name; false (name unchanged) when it does
// not end with it (or is nothing but it).
bool StripSuffix(std::string* name, const std::string& suffix) {
    if (name->size() <= suffix.size() || name->compare(name->size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    name->resize(name->size() - suffix.size());
    return true;
}

// A database name that can stand in a file name of the data-file folder.
bool UsableName(const std::string& database) {
    return !database.empty() && database[0] != '.' && database.find('/') == std::string::npos;
}

void AppendRecord(std::string* out, const std::string& statement) {
    *out += std::to_string(statement.size());
    *out += '\n';
    *out += statement;
    *out += '\n';
}

// The records of a spool file; *torn gets the bytes of a record cut short.
std::vector<std::string> ParseRecords(const std::string& text, size_t* torn) {
    std::vector<std::string> records;
    size_t pos = 0;
    *torn = 0;
    while (pos < text.size()) {
        const size_t eol = text.find('\n', pos);
        size_t length = 0;
        bool valid = eol != std::string::npos && eol > pos && eol - pos <= 12;
        for (size_t i = pos; valid && i < eol; ++i) {
            if (text[i] < '0' || text[i] > '9') valid = false;
            length = length * 10 + static_cast<size_t>(text[i] - '0');
        }
        if (!valid || text.size() - eol - 1 < length + 1 || text[eol + 1 + length] != '\n') {
            *torn = text.size() - pos;
            break;
        }
        records.emplace_back(text, eol + 1, length);
        pos = eol + 1 + length + 1;
    }
    return records;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Writes the file anew through a temporary file and a rename, flushed to the
// disk, so a crash leaves either the old or the new content.
bool RewriteFile(const std::string& path, const std::string& content) {
    const std::string temp = path + kTempSuffix;
    CPlainFile file;
    if (!file.OpenAppend(temp.c_str(), kPrivateFileMode, true) || !file.Truncate() ||
        !file.Write(content.data(), content.size()) || !file.Sync()) {
        return false;
    }
    file.Close();
    return MoveFileA(temp.c_str(), path.c_str());
}

// Unix seconds of the file's last modification; 0 when it holds nothing or
// cannot be examined.
std::int64_t ModificationTime(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && st.st_size > 0 ? static_cast<std::int64_t>(st.st_mtime) : 0;
}

}  // namespace

CSqlSpool* CSqlSpool::GetInstance() {
    // Never destroyed: writers may quit while the process ends.
    static CSqlSpool* instance = new CSqlSpool();
    return instance;
}

CSqlSpool::CSqlSpool() {
    InitializeCriticalSectionAndSpinCount(&m_csFiles, kCsSpinCount);
    InitializeCriticalSectionAndSpinCount(&m_csPass, kCsSpinCount);
}

void CSqlSpool::CutTornTails() {
    const std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir();
    std::vector<DirEntry> entries;
    CCSLocker lock(&m_csFiles);
    {
        // The files on disk are what is pending now.
        std::lock_guard<std::mutex> pending(m_PendingLock);
        m_Pending.clear();
    }
    if (!ListDirectory(dir, std::string(kPrefix) + "*", &entries)) return;
    for (const DirEntry& entry : entries) {
        const std::string path = dir + "/" + entry.name;
        std::string name = entry.name;
        if (StripSuffix(&name, kTempSuffix)) {
            DeleteFileA(path.c_str());  // a rewrite that never completed; its source is still there
            continue;
        }
        std::string database = name.substr(sizeof(kPrefix) - 1);
        const bool claimed = StripSuffix(&database, kClaimedSuffix);
        if (StripSuffix(&database, kSuffix)) {
            std::lock_guard<std::mutex> pending(m_PendingLock);
            (claimed ? m_Pending[database].claimed : m_Pending[database].spool) = ModificationTime(path);
        }
        std::string text;
        size_t torn = 0;
        if (!ReadWholeFile(path, &text)) continue;
        loss::Add(loss::SPOOL_CARRIED, loss::CountLogStatements(ParseRecords(text, &torn)));
        if (torn == 0) continue;
        const bool cut = RewriteFile(path, text.substr(0, text.size() - torn));
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Init] %s Ended With An Incomplete Statement , %u Byte(s) %s\n",
            path.c_str(), static_cast<unsigned>(torn), cut ? "Dropped" : "Could Not Be Dropped");
    }
}

bool CSqlSpool::Init() {
    // A record cut short when the process was killed mid-append is removed
    // before anything is appended behind it.
    CutTornTails();
    m_bStopping.store(false);
    if (!m_Thread.Start(&CSqlSpool::PassThread, this)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Init] Cannot Start Spool Thread.\n");
        return false;
    }
    return true;
}

void CSqlSpool::UnInit() {
    m_bStopping.store(true);
    m_Thread.Stop(kStopWaitMs);
}

std::string CSqlSpool::SpoolPath(const std::string& database) {
    return CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + kPrefix + database + kSuffix;
}

std::string CSqlSpool::PassPath(const std::string& database) {
    return CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + kPassPrefix + database + kSuffix;
}

bool CSqlSpool::HasBacklog(const std::string& database) {
    const std::string path = SpoolPath(database);
    CCSLocker lock(&m_csFiles);
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES ||
           GetFileAttributesA((path + kClaimedSuffix).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CSqlSpool::Append(const std::string& database, const std::vector<std::string>& statements,
                       std::int64_t oldest) {
    if (statements.empty()) return true;
    const std::string path = SpoolPath(database);
    std::string content;
    for (const std::string& statement : statements) AppendRecord(&content, statement);

    bool ok = UsableName(database);
    if (ok) {
        CCSLocker lock(&m_csFiles);
        CPlainFile file;
        ok = file.OpenAppend(path.c_str(), kPrivateFileMode, true) && file.Write(content.data(), content.size()) &&
             file.Sync();
        if (ok) {
            // Noted under the files' lock, so a claim of the file takes this
            // time along.
            const std::int64_t since = oldest > 0 ? oldest : static_cast<std::int64_t>(GetSystemTimeSeconds());
            std::lock_guard<std::mutex> pending(m_PendingLock);
            std::int64_t& first = m_Pending[database].spool;
            if (first == 0 || since < first) first = since;
        }
    }
    if (!ok) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
            "[Append] Cannot Keep %u Statement(s) Of DbName = %s In %s Err = %u , They Are Lost\n",
            static_cast<unsigned>(statements.size()), database.c_str(), path.c_str(), GetLastError());
        return false;
    }
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Append] %u Statement(s) Of DbName = %s Kept In %s\n",
        static_cast<unsigned>(statements.size()), database.c_str(), path.c_str());
    return true;
}

void CSqlSpool::OldestPending(OldestPendingMap* oldest) {
    std::lock_guard<std::mutex> pending(m_PendingLock);
    for (const auto& [database, since] : m_Pending) {
        NoteOldestPending(oldest, database, since.claimed);
        NoteOldestPending(oldest, database, since.spool);
    }
}

std::uint64_t CSqlSpool::PendingCount() {
    const std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir();
    std::vector<DirEntry> entries;
    std::uint64_t count = 0;
    CCSLocker lock(&m_csFiles);
    if (!ListDirectory(dir, std::string(kPrefix) + "*", &entries)) return 0;
    for (const DirEntry& entry : entries) {
        std::string name = entry.name;
        if (StripSuffix(&name, kTempSuffix)) continue;  // a rewrite under way
        std::string text;
        size_t torn = 0;
        if (ReadWholeFile(dir + "/" + entry.name, &text)) count += ParseRecords(text, &torn).size();
    }
    return count;
}

size_t CSqlSpool::SubmitPending() {
    CCSLocker pass(&m_csPass);
    const std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir();
    std::vector<DirEntry> entries;
    std::set<std::string> databases;
    if (ListDirectory(dir, std::string(kPrefix) + "*", &entries)) {
        for (const DirEntry& entry : entries) {
            std::string name = entry.name.substr(sizeof(kPrefix) - 1);
            StripSuffix(&name, kClaimedSuffix);
            // A temporary file of a rewrite, or not ours, has no ".sql" left.
            if (StripSuffix(&name, kSuffix)) databases.insert(name);
        }
    }
    size_t submitted = 0;
    for (const std::string& database : databases) {
        if (m_bStopping.load() || !SubmitDatabase(database, &submitted)) break;
    }
    return submitted;
}

bool CSqlSpool::SubmitDatabase(const std::string& database, size_t* submitted) {
    const std::string spool = SpoolPath(database);
    const std::string claimed = spool + kClaimedSuffix;
    for (;;) {
        {
            // A claimed file left by an earlier pass is older than the spool
            // file and goes first.
            CCSLocker lock(&m_csFiles);
            if (GetFileAttributesA(claimed.c_str()) == INVALID_FILE_ATTRIBUTES) {
                if (GetFileAttributesA(spool.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
                if (!MoveFileA(spool.c_str(), claimed.c_str())) {
                    Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[SubmitPending] Cannot Rename %s Err = %u\n",
                        spool.c_str(), GetLastError());
                    return false;
                }
                std::lock_guard<std::mutex> pending(m_PendingLock);
                PendingSince& since = m_Pending[database];
                since.claimed = since.spool;
                since.spool = 0;
            }
        }
        if (!SubmitClaimed(database, claimed, submitted)) return false;
    }
}

bool CSqlSpool::SubmitClaimed(const std::string& database, const std::string& path, size_t* submitted) {
    std::string text;
    if (!ReadWholeFile(path, &text)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[SubmitPending] Cannot Read %s\n", path.c_str());
        return false;
    }
    size_t torn = 0;
    std::vector<std::string> records = ParseRecords(text, &torn);
    if (torn != 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[SubmitPending] %s Ends With An Incomplete Statement , %u Byte(s) Dropped\n", path.c_str(),
            static_cast<unsigned>(torn));
    }
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* connection = records.empty() ? nullptr : sql->AllocSqlConn(database.c_str(), CLIENT_MULTI_STATEMENTS);
    if (!records.empty() && connection == nullptr) return false;  // MySQL does not answer yet
    if (connection != nullptr) ExecuteSql(connection, kSetNamesGbk);

    // The pass file holds each table's highest id before the first pass over
    // this file sent anything. Found at the start, an earlier pass ended
    // without writing the file back (the process was killed): each record is
    // then looked up before it is sent, until the first one that was not
    // stored, for the earlier pass sent them in order.
    // Its first line names the file it belongs to (size and hash), so that a
    // pass file outliving its file is never applied to the next one.
    const std::string passPath = PassPath(database);
    const std::string passHead =
        "file " + std::to_string(text.size()) + " " + std::to_string(std::hash<std::string>{}(text)) + "\n";
    CRowCheck passFloors;
    std::string passText;
    const bool recovering = !records.empty() && ReadWholeFile(passPath, &passText) &&
                            passText.compare(0, passHead.size(), passHead) == 0 &&
                            passFloors.Load(passText.substr(passHead.size()));
    // Rows this pass stored, by statement, for the statements whose earlier
    // attempt is in doubt: an equal row above the floor is theirs only when
    // there are more such rows than this pass stored.
    std::unordered_map<std::string, std::uint64_t> stored;
    for (size_t i = 0; !recovering && connection != nullptr && i < records.size(); ++i) {
        std::string statement = records[i];
        std::uint64_t floor = 0;
        std::uint64_t others = 0;
        if (TakeUnsureMark(&statement, &floor, &others)) stored.try_emplace(statement, 0);
        if (!passFloors.Prepare(connection, statement)) {
            sql->ReleaseSqlConn(connection);
            return false;
        }
    }
    if (!recovering && connection != nullptr && !RewriteFile(passPath, passHead + passFloors.Save())) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[SubmitPending] Cannot Write %s Err = %u\n", passPath.c_str(),
            GetLastError());
    }
    CRowCheck live = passFloors;  // raised by every row this pass stores
    bool checking = recovering;
    bool inDoubt = false;  // the record at next was sent and its result lost
    size_t next = 0;
    bool retried = false;
    while (connection != nullptr && next < records.size() && !m_bStopping.load()) {
        if (m_nCutPassAfter.load() != 0 && *submitted >= m_nCutPassAfter.load()) {
            sql->ReleaseSqlConn(connection);
            return false;  // a test's stand-in for a kill: nothing written back
        }
        std::string statement = records[next];
        std::uint64_t markFloor = 0;
        std::uint64_t others = 0;
        const bool marked = TakeUnsureMark(&statement, &markFloor, &others);
        if ((marked || checking) && !retried) {
            const std::int64_t rows =
                CRowCheck::CountRows(connection, statement, marked ? markFloor : passFloors.Floor(statement));
            if (rows >= 0 && static_cast<std::uint64_t>(rows) > stored[statement] + others) {
                ++stored[statement];
                if (loss::IsLogStatement(statement)) loss::Add(loss::SPOOL_STORED);
                ++next;
                ++*submitted;
                continue;
            }
        }
        inDoubt = false;
        if (ExecuteSql(connection, statement)) {
            live.Stored(connection, statement);
            if (recovering || stored.count(statement) != 0) ++stored[statement];
            if (loss::IsLogStatement(statement)) loss::Add(loss::SPOOL_STORED);
            ++next;
            ++*submitted;
            retried = false;
            checking = false;  // the earlier pass ended at this record
            continue;
        }
        const unsigned err = mysql_errno(connection);
        const std::string error = mysql_error(connection);
        if (IsSqlConnectionError(err)) {
            // A statement that breaks the connection is sent once more on a
            // new one, unless its row got stored; if it breaks that one too
            // while the server still answers, it is the statement's own fault
            // and it is dropped like any failing statement.
            inDoubt = true;
            sql->ReleaseSqlConn(connection);
            connection = sql->AllocSqlConn(database.c_str(), CLIENT_MULTI_STATEMENTS);
            if (connection == nullptr) break;  // the server is gone: keep the rest
            ExecuteSql(connection, kSetNamesGbk);
            if (!retried) {
                retried = true;
                const std::int64_t rows = CRowCheck::CountRows(connection, statement, live.Floor(statement));
                const std::uint64_t known = checking && live.Floor(statement) == passFloors.Floor(statement)
                                                ? stored[statement]
                                                : 0;
                if (rows >= 0 && static_cast<std::uint64_t>(rows) > known) {
                    if (recovering || stored.count(statement) != 0) ++stored[statement];
                    if (loss::IsLogStatement(statement)) loss::Add(loss::SPOOL_STORED);
                    ++next;
                    ++*submitted;
                    retried = false;
                    inDoubt = false;
                    checking = false;
                }
                continue;
            }
        }
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[SubmitPending] Query Fail.Sql = %s Err = %u ErrStr = %s\n",
            records[next].c_str(), err, error.c_str());
        m_nFailed.fetch_add(1);
        if (loss::IsLogStatement(statement)) loss::Drop(loss::DROP_SPOOL_REFUSED);
        ++next;
        retried = false;
        inDoubt = false;
    }
    if (connection != nullptr) sql->ReleaseSqlConn(connection);
    if (next != 0) CGlobalSharedData::GetInstance()->NoteStored(database);

    if (next == records.size()) {
        DeleteFileA(path.c_str());
        DeleteFileA(passPath.c_str());
        std::lock_guard<std::mutex> pending(m_PendingLock);
        m_Pending[database].claimed = 0;
        return true;
    }
    // Still looking up what an earlier pass may have stored: the file stays
    // as it is, and so do its floors, for the next pass to look again.
    if (checking) return false;
    std::string rest;
    for (size_t i = next; i < records.size(); ++i) {
        std::string record = records[i];
        std::uint64_t floor = 0;
        std::uint64_t others = 0;
        const bool marked = TakeUnsureMark(&record, &floor, &others);
        if (i == next && inDoubt) {
            record = MarkUnsure(record, live.Floor(record));
        } else if (marked) {
            // Equal rows this pass stored lie above the mark's floor too.
            const auto found = stored.find(record);
            record = MarkUnsure(record, floor, others + (found == stored.end() ? 0 : found->second));
        }
        AppendRecord(&rest, record);
    }
    if (!RewriteFile(path, rest)) {
        // The file still holds every record: the pass file stays, so the
        // next pass looks up the ones already sent instead of sending them again.
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[SubmitPending] Cannot Rewrite %s Err = %u\n", path.c_str(),
            GetLastError());
        return false;
    }
    DeleteFileA(passPath.c_str());
    return false;
}

DWORD CSqlSpool::PassThread(void* param) {
    auto* spool = static_cast<CSqlSpool*>(param);
    CSQLConnManager::ThreadInit();
    DWORD rc = WAIT_TIMEOUT;
    while (rc == WAIT_TIMEOUT) {
        const size_t submitted = spool->SubmitPending();
        if (submitted != 0) {
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[PassThread] %u Spooled Statement(s) Submitted\n",
                static_cast<unsigned>(submitted));
        }
        rc = spool->m_Thread.WaitPeriod(spool->m_dwPassPeriodMs.load());
    }
    CSQLConnManager::ThreadEnd();
    return 0;
}
