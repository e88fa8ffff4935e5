#include "db/GlobalSharedData.h"

#include <algorithm>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Process.h"

CGlobalSharedData* CGlobalSharedData::GetInstance() {
    // Never destroyed: detached threads may still read the directories
    // while the process ends.
    static CGlobalSharedData* instance = new CGlobalSharedData();
    return instance;
}

void CGlobalSharedData::ComputeDirectories() {
    const std::string install = InstallDir();
    if (install.empty()) return;

    m_strInstallDir = install;
    m_strZelkDir = install + "/Zelk";
    m_strLogDir = m_strZelkDir + "/Log";
    m_strDumpDir = m_strZelkDir + "/Dump";
    m_strConfigDir = m_strZelkDir + "/Config";
    m_strDataFileDir = m_strZelkDir + "/DataFile";
    m_strTempDir = m_strZelkDir + "/Temp";
    m_strUploadDir = install + "/htdocs/UploadFiles";
}

bool CGlobalSharedData::Init() {
    if (IsInitialised()) return true;

    if (m_strInstallDir.empty()) ComputeDirectories();
    // The layers below read no shared data: they are told where they live.
    CProgramLogRecorder::GetInstance()->SetLogDir(m_strLogDir);
    CConfigManager::GetInstance()->SetDirectories(m_strInstallDir, m_strConfigDir, m_strTempDir);

    bool locks = InitializeCriticalSectionAndSpinCount(&m_csNodeList, kCsSpinCount);
    locks = InitializeCriticalSectionAndSpinCount(&m_csCrash, kCsSpinCount) && locks;
    locks = InitializeCriticalSectionAndSpinCount(&m_csSpare, kCsSpinCount) && locks;

    const std::string* dirs[] = {&m_strInstallDir, &m_strZelkDir,     &m_strLogDir,  &m_strDumpDir,
                                 &m_strConfigDir,  &m_strDataFileDir, &m_strTempDir, &m_strUploadDir};
    bool dirsOk = true;
    for (const std::string* d : dirs) dirsOk = dirsOk && !d->empty();

    if (GetExitEvent() != nullptr && dirsOk && locks) m_nInitialised.store(1);

    CLcgRandom random(GetTickCount());
    m_nLogCounter.store(random.Next());
    return IsInitialised();
}

bool CGlobalSharedData::CreateWorkingDirectories() {
    bool all = true;
    for (const std::string* dir : {&m_strLogDir, &m_strDumpDir, &m_strDataFileDir, &m_strTempDir, &m_strUploadDir}) {
        if (dir->empty()) continue;
        const DWORD rc = SHCreateDirectory(dir->c_str());
        if (rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS) continue;
        Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[CGlobalSharedData]",
            "[CreateWorkingDirectories] Cannot Create Folder = %s Err = %u\n", dir->c_str(), rc);
        all = false;
    }
    return all;
}

// ---------------------------------------------------------------------------
// Known nodes and their directories

namespace {

constexpr char kNodeTag[] = "[CGlobalSharedData]";
constexpr char kSetNamesGbk[] = "set   names   'gbk'";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

std::string Cut(const std::optional<std::string>& value, size_t length) {
    if (!value) return std::string();
    return value->substr(0, length);
}

std::int32_t Number(const std::optional<std::string>& value) {
    return value ? static_cast<std::int32_t>(std::atoi(value->c_str())) : 0;
}

bool SameIdentity(const NodeInfo& node, const BYTE* identity) { return std::memcmp(node.identity, identity, 16) == 0; }

// Text from a table as it may appear in a log line: printable ASCII except
// the backslash as it is, every other byte as \xHH, cut after 64 bytes.
std::string LogSafe(const std::string& text) {
    constexpr size_t kShown = 64;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kShown; ++i) {
        const auto ch = static_cast<unsigned char>(text[i]);
        if (ch >= 0x20 && ch < 0x7F && ch != '\\') {
            out += static_cast<char>(ch);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02X", ch);
            out += hex;
        }
    }
    if (text.size() > kShown) out += "...(" + std::to_string(text.size()) + " bytes)";
    return out;
}

constexpr DWORD kNewUserWindowMs = 60 * 1000;
// MySQL client-side error numbers (lost or unusable connection) start here.
constexpr unsigned kFirstClientError = 2000;

// The connection a thread adds users with, kept from one addition to the
// next instead of connecting for every new name. It follows the node's
// database, is dropped after a client-side error so that the next addition
// connects afresh, and is given back when the thread ends.
class CThreadUserConnection {
public:
    CThreadUserConnection() = default;
    CThreadUserConnection(const CThreadUserConnection&) = delete;
    CThreadUserConnection& operator=(const CThreadUserConnection&) = delete;
    ~CThreadUserConnection() { Drop(); }

    MYSQL* Get(const std::string& database) {
        CSQLConnManager* sql = CSQLConnManager::GetInstance();
        if (!sql->IsInitialised()) return nullptr;
        if (m_pConnection != nullptr && m_strDatabase != database) {
            if (mysql_select_db(m_pConnection, database.c_str()) == 0) {
                m_strDatabase = database;
            } else {
                Drop();
            }
        }
        if (m_pConnection == nullptr) {
            m_pConnection = sql->AllocSqlConn(database.c_str(), CLIENT_MULTI_STATEMENTS);
            if (m_pConnection != nullptr) m_strDatabase = database;
        }
        return m_pConnection;
    }

    void Drop() {
        if (m_pConnection == nullptr) return;
        CSQLConnManager* sql = CSQLConnManager::GetInstance();
        // Once the manager has shut down it no longer tracks the handle.
        if (sql->IsInitialised()) {
            sql->ReleaseSqlConn(m_pConnection);
        } else {
            mysql_close(m_pConnection);
        }
        m_pConnection = nullptr;
        m_strDatabase.clear();
    }

private:
    MYSQL* m_pConnection = nullptr;
    std::string m_strDatabase;
};

thread_local CThreadUserConnection t_UserConnection;

}  // namespace

size_t CGlobalSharedData::NodeCount() {
    CCSLocker lock(&m_csNodeList);
    return m_Nodes.size();
}

int CGlobalSharedData::GetDabaBaseNodeInfo() {
    if (!IsInitialised()) return 0;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    const std::string mainDb = CConfigManager::GetInstance()->m_Zelk.DataBase.Get();
    MYSQL* connection = sql->AllocSqlConn(mainDb.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[GetDabaBaseNodeInfo] Cannot Connect DB To Get Info\n");
        return 0;
    }

    m_nNodeListReady.store(0);
    CCSLocker lock(&m_csNodeList);
    for (auto& node : m_Nodes) {
        if (node->bLockReady) DeleteCriticalSection(&node->csNode);
        node->bLockReady = false;
    }

    std::vector<SqlRow> rows;
    char sql_text[160];
    std::snprintf(sql_text, sizeof(sql_text),
                  "select node_name , secret , md5_secret , db_name from dev_node where deleted = 0 limit %u",
                  kMaxNodes);
    if (ExecuteSql(connection, kSetNamesGbk) && QuerySqlRows(connection, sql_text, &rows)) {
        for (const SqlRow& row : rows) {
            if (row.size() < 4) continue;
            // A second load (a listener started again) keeps the nodes it
            // already has: other threads may hold pointers to them.
            BYTE identity[16] = {};
            std::string md5 = row[2].value_or("");
            DecodeHex16(md5, identity);
            bool known = false;
            for (auto& existing : m_Nodes) known = known || SameIdentity(*existing, identity);
            if (known) continue;
            const std::string dbName = row[3].value_or("");
            if (!IsValidDbName(dbName)) {
                Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag,
                    "[GetDabaBaseNodeInfo] Node MD5 = %s Refused: Invalid DbName = '%s'\n",
                    ShortIdentity(LogSafe(md5)).c_str(), LogSafe(dbName).c_str());
                continue;
            }
            auto node = std::make_unique<NodeInfo>();
            node->strNodeName = Cut(row[0], NodeInfo::kMaxNodeName);
            node->strSecret = row[1].value_or("");
            node->strMd5Secret = row[2].value_or("");
            for (char& ch : node->strMd5Secret) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            DecodeHex16(node->strMd5Secret, node->identity);
            node->strDbName = dbName;
            m_Nodes.push_back(std::move(node));
        }
    }
    sql->ReleaseSqlConn(connection);

    for (auto& node : m_Nodes) {
        if (!InitializeCriticalSectionAndSpinCount(&node->csNode, kCsSpinCount)) {
            Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[GetDabaBaseNodeInfo] Dev Node = %s Fail To Init CriticalSection\n",
                node->strDbName.c_str());
            continue;
        }
        node->bLockReady = true;
        GetSpecifyDevNodeInfo(node.get());
    }
    m_nNodeListReady.store(1);
    return 1;
}

int CGlobalSharedData::GetSpecifyDevNodeInfo(NodeInfo* node) {
    if (node == nullptr) return 0;
    // Each loader takes the node lock only to swap its records in: lookups
    // of this node are not held up by the connection or the queries.
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* connection = sql->AllocSqlConn(node->strDbName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[GetSpecifyDevNodeInfo] Cannot Connect DB To Get Info\n");
        return 0;
    }
    const int admins = GetSpecifyDevNodeAdminInfo(node, connection);
    const int users = GetSpecifyDevNodeUserInfo(node, connection);
    const int groups = GetSpecifyDevNodeGroupInfo(node, connection);
    sql->ReleaseSqlConn(connection);
    return admins == 1 && users == 1 && groups == 1 ? 1 : 0;
}

int CGlobalSharedData::GetSpecifyDevNodeAdminInfo(NodeInfo* node, MYSQL* connection) {
    if (node == nullptr || connection == nullptr) return 0;
    std::vector<SqlRow> rows;
    if (!QuerySqlRows(connection, "select id , name , pgrpid from admin", &rows)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[GetSpecifyDevNodeAdminInfo] Fail To Query ErrNo = %u\n",
            mysql_errno(connection));
        return 0;
    }
    CCSLocker lock(&node->csNode);
    node->admins.Clear();
    for (const SqlRow& row : rows) {
        if (row.size() < 3) continue;
        node->admins.Add(AdminRecord{Number(row[0]), Cut(row[1], kMaxLoadedName), Number(row[2])});
    }
    return 1;
}

int CGlobalSharedData::GetSpecifyDevNodeUserInfo(NodeInfo* node, MYSQL* connection) {
    if (node == nullptr || connection == nullptr) return 0;
    // Not while this node adds a user: the copy read before that addition
    // would drop the new user again.
    std::lock_guard<std::mutex> adding(node->insertLock);
    std::vector<SqlRow> rows;
    if (!QuerySqlRows(connection, "select id , name , grpid from tarnuser", &rows)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[GetSpecifyDevNodeUserInfo] Fail To Query ErrNo = %u\n",
            mysql_errno(connection));
        return 0;
    }
    CCSLocker lock(&node->csNode);
    node->users.Clear();
    for (const SqlRow& row : rows) {
        if (row.size() < 3) continue;
        node->users.Add(UserRecord{Number(row[0]), Cut(row[1], kMaxLoadedName), Number(row[2])});
    }
    return 1;
}

int CGlobalSharedData::GetSpecifyDevNodeGroupInfo(NodeInfo* node, MYSQL* connection) {
    if (node == nullptr || connection == nullptr) return 0;
    std::vector<SqlRow> rows;
    if (!QuerySqlRows(connection, "select id , pgrpid from tarngroup", &rows)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[GetSpecifyDevNodeGroupInfo] Fail To Query ErrNo = %u\n",
            mysql_errno(connection));
        return 0;
    }
    CCSLocker lock(&node->csNode);
    node->groups.clear();
    for (const SqlRow& row : rows) {
        if (row.size() < 2) continue;
        node->groups.push_back(GroupRecord{Number(row[0]), Number(row[1])});
    }
    return 1;
}

NodeInfo* CGlobalSharedData::FindNodeInfoIter(const char* dbName, const BYTE* identity) {
    if ((dbName != nullptr && *dbName == '\0') || (dbName == nullptr && identity == nullptr)) return nullptr;
    {
        CCSLocker lock(&m_csNodeList);
        for (auto& node : m_Nodes) {
            if (dbName != nullptr) {
                if (node->strDbName == dbName && (identity == nullptr || SameIdentity(*node, identity))) {
                    return node.get();
                }
            } else if (SameIdentity(*node, identity)) {
                return node.get();
            }
        }
    }
    Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[FindNodeInfoIter] Invalid DbName Or MD5! DbName = %s , MD5 = %s\n",
        dbName != nullptr ? dbName : "", ShortIdentity(identity).c_str());
    return nullptr;
}

std::vector<NodeInfo*> CGlobalSharedData::FindNodesOfDb(const char* dbName) {
    std::vector<NodeInfo*> nodes;
    if (dbName == nullptr || *dbName == '\0') return nodes;
    CCSLocker lock(&m_csNodeList);
    for (auto& node : m_Nodes) {
        if (node->strDbName == dbName) nodes.push_back(node.get());
    }
    return nodes;
}

NodeInfo* CGlobalSharedData::FindByIdentity(const BYTE* identity) {
    if (identity == nullptr) return nullptr;
    CCSLocker lock(&m_csNodeList);
    for (auto& node : m_Nodes) {
        if (SameIdentity(*node, identity)) return node.get();
    }
    return nullptr;
}

int CGlobalSharedData::GetDbNameByMD5(const BYTE* identity, std::string* dbName) {
    NodeInfo* node = FindByIdentity(identity);
    if (node == nullptr || dbName == nullptr) return 0;
    *dbName = node->strDbName;
    return 1;
}

int CGlobalSharedData::GetAdminInfoEx(const char* dbName, const BYTE* identity, const char* adminName,
                                      std::int32_t* adminId, std::int32_t* groupId) {
    if (adminId != nullptr) *adminId = -1;
    if (adminName == nullptr || *adminName == '\0' || (dbName == nullptr && identity == nullptr)) return 0;
    NodeInfo* node = FindNodeInfoIter(dbName, identity);
    if (node == nullptr) return 0;
    CCSLocker lock(&node->csNode);
    const AdminRecord* found = nullptr;
    node->admins.ForEachMatch(adminName, [&](const AdminRecord& r) {
        found = &r;
        return false;
    });
    if (found == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag, "[GetAdminInfoEx] Invalid Admin Name! AdminName = %s\n", adminName);
        return 0;
    }
    if (adminId != nullptr) *adminId = found->id;
    if (groupId != nullptr && *groupId == -1) *groupId = found->groupId;
    return 1;
}

bool CGlobalSharedData::FindUserLocked(const NodeInfo& node, const char* userName, std::int32_t groupId,
                                       std::int32_t* id) {
    bool found = false;
    node.users.ForEachMatch(userName, [&](const UserRecord& r) {
        if (r.groupId != groupId) return true;
        *id = r.id;
        found = true;
        // A service-added user of the free group may be overridden by a later
        // match; any gateway user ends the search.
        return r.id <= 0 && groupId == kFreeGroupId;
    });
    return found;
}

int CGlobalSharedData::GetUserInfoEx(const char* dbName, const BYTE* identity, const char* userName,
                                     std::int32_t* userId, std::int32_t groupId) {
    if (userName == nullptr || *userName == '\0' || (dbName == nullptr && identity == nullptr)) return 0;
    NodeInfo* node = FindNodeInfoIter(dbName, identity);
    if (node == nullptr) {
        Log(Recorder(), LOG_LEVEL_WARN, kNodeTag, "[GetUserInfoEx] Not Find Node. DbName = %s , MD5 = %s.\n",
            dbName != nullptr ? dbName : "", ShortIdentity(identity).c_str());
        return 0;
    }
    {
        CCSLocker lock(&node->csNode);
        std::int32_t id = 0;
        if (FindUserLocked(*node, userName, groupId, &id)) {
            if (userId != nullptr) *userId = id;
            return 1;
        }
    }
    return InsertUserInfo(userName, node, userId, groupId);
}

bool CGlobalSharedData::AdmitNewUserLocked(NodeInfo* node, std::uint32_t* refusalsToReport) {
    const DWORD now = GetTickCount();
    const std::uint32_t limit =
        static_cast<std::uint32_t>(std::max(1, CConfigManager::GetInstance()->m_ZelkAdv.MaxNewUsersPerMinute.Get()));
    if (!node->bAddWindowOpen || now - node->dwAddWindowStart >= kNewUserWindowMs) {
        node->bAddWindowOpen = true;
        node->dwAddWindowStart = now;
        node->nAddedInWindow = 0;
    }
    const bool admitted = node->nAddedInWindow < limit;
    if (admitted) {
        ++node->nAddedInWindow;
    } else {
        ++node->nRefusedNames;
    }
    // The first refusal is reported at once; later ones a minute after the
    // previous warning, at the next name the node sends.
    *refusalsToReport = 0;
    if (node->nRefusedNames > 0 && (!node->bRefusalWarned || now - node->dwLastRefusalWarning >= kNewUserWindowMs)) {
        *refusalsToReport = node->nRefusedNames;
        node->nRefusedNames = 0;
        node->bRefusalWarned = true;
        node->dwLastRefusalWarning = now;
    }
    return admitted;
}

int CGlobalSharedData::InsertUserInfo(const char* userName, NodeInfo* node, std::int32_t* userId,
                                      std::int32_t groupId) {
    if (userName == nullptr || *userName == '\0' || node == nullptr) return 0;
    if (groupId != kFreeGroupId) {
        CCSLocker lock(&node->csNode);
        bool known = false;
        for (const GroupRecord& g : node->groups) known = known || g.id == groupId;
        if (!known) {
            Log(Recorder(), LOG_LEVEL_WARN, kNodeTag, "[InsertUserInfo] Invalid Group ID = %d.\n", groupId);
            return 0;
        }
    }
    const std::string name = std::string(userName).substr(0, kMaxInsertedName);
    const std::string escaped = EscapeSqlGbk(name);

    // One addition at a time per node. A thread that waited here finds a
    // name another thread added meanwhile instead of adding it twice.
    std::lock_guard<std::mutex> adding(node->insertLock);
    bool admitted = false;
    std::uint32_t refused = 0;
    {
        CCSLocker lock(&node->csNode);
        std::int32_t id = 0;
        if (FindUserLocked(*node, userName, groupId, &id)) {
            if (userId != nullptr) *userId = id;
            return 1;
        }
        admitted = AdmitNewUserLocked(node, &refused);
    }
    if (refused > 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kNodeTag,
            "[InsertUserInfo] Too Many New Users. DbName = %s , Limit = %d Per Minute , Refused = %u\n",
            node->strDbName.c_str(), CConfigManager::GetInstance()->m_ZelkAdv.MaxNewUsersPerMinute.Get(), refused);
    }
    // Past the bound the log keeps the fallback user id its writer preset
    // (it is stored, not dropped); the name is added once a minute has passed.
    if (!admitted) return 1;

    MYSQL* connection = t_UserConnection.Get(node->strDbName);
    if (connection == nullptr) return 0;

    int result = 0;
    if (!ExecuteSql(connection, "lock tables tarnuser write")) {
        Log(Recorder(), LOG_LEVEL_WARN, kNodeTag, "[InsertUserInfo] Cannot Lock Table TarnUser. ErrNo = %u\n",
            mysql_errno(connection));
    }
    std::vector<SqlRow> rows;
    if (QuerySqlRows(connection, "select min(id) from tarnuser", &rows)) {
        std::int32_t newId = -1;
        if (!rows.empty() && !rows[0].empty() && rows[0][0] && *rows[0][0] != " ") {
            const std::int32_t smallest = Number(rows[0][0]);
            newId = smallest >= 0 ? -1 : smallest - 1;
        }
        char statement[64];
        std::snprintf(statement, sizeof(statement), "%d", newId);
        const std::string insert = "insert  into tarnuser(`id`,`name`,`grpid`) values (" + std::string(statement) +
                                   ",'" + escaped + "'," + std::to_string(groupId) + ")";
        if (ExecuteSql(connection, kSetNamesGbk) && ExecuteSql(connection, insert)) {
            CCSLocker lock(&node->csNode);
            node->users.Add(UserRecord{newId, name, groupId});
            if (userId != nullptr) *userId = newId;
            result = 1;
        } else {
            Log(Recorder(), LOG_LEVEL_ERROR, kNodeTag,
                "[InsertUserInfo] Cannot Insert New User Into Table. UserName = %s , ErrNo = %u , ErrStr = %s\n",
                escaped.c_str(), mysql_errno(connection), mysql_error(connection));
        }
    }
    bool keep = mysql_errno(connection) < kFirstClientError;
    if (!ExecuteSql(connection, "unlock tables")) {
        Log(Recorder(), LOG_LEVEL_WARN, kNodeTag, "[InsertUserInfo] Cannot UnLock Tables. ErrNo = %u\n",
            mysql_errno(connection));
        // A kept connection must never hold the table lock.
        keep = false;
    }
    if (!keep) t_UserConnection.Drop();
    return result;
}

int CGlobalSharedData::IsKnownDbName(const char* dbName) {
    if (dbName == nullptr) return 0;
    CCSLocker lock(&m_csNodeList);
    for (auto& node : m_Nodes) {
        if (node->strDbName == dbName) return 1;
    }
    return 0;
}

bool CGlobalSharedData::IsValidDbName(const std::string& name) {
    if (name.empty() || name.size() > kMaxDbName) return false;
    return std::all_of(name.begin(), name.end(), [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
               ch == '$';
    });
}

std::int32_t CGlobalSharedData::GetNodeSyncCount(const BYTE* identity) {
    NodeInfo* node = FindByIdentity(identity);
    return node != nullptr ? node->nSyncCount.load() : 0;
}

void CGlobalSharedData::AddNodeSyncRef(const BYTE* identity) {
    if (NodeInfo* node = FindByIdentity(identity)) node->nSyncCount.fetch_add(1);
}

void CGlobalSharedData::ReleaseNodeSyncRef(const BYTE* identity) {
    if (NodeInfo* node = FindByIdentity(identity)) node->nSyncCount.fetch_sub(1);
}

void CGlobalSharedData::AttachNodeTask(const BYTE* identity) {
    if (NodeInfo* node = FindByIdentity(identity)) node->nAttachedTasks.fetch_add(1);
}

void CGlobalSharedData::DetachNodeTask(const BYTE* identity) {
    if (NodeInfo* node = FindByIdentity(identity)) node->nAttachedTasks.fetch_sub(1);
}

void CGlobalSharedData::NoteStored(const std::string& database) {
    const std::int64_t now = static_cast<std::int64_t>(GetSystemTimeSeconds());
    CCSLocker lock(&m_csNodeList);
    for (auto& node : m_Nodes) {
        if (node->strDbName == database) node->activity.lastStored.store(now, std::memory_order_relaxed);
    }
}

std::int32_t CGlobalSharedData::GetNodeAttachedTasks(const BYTE* identity) {
    NodeInfo* node = FindByIdentity(identity);
    return node != nullptr ? node->nAttachedTasks.load() : 0;
}

void CGlobalSharedData::MarkNodeSynced(const BYTE* identity) {
    if (NodeInfo* node = FindByIdentity(identity)) {
        std::int32_t expected = 0;
        node->nSyncCount.compare_exchange_strong(expected, 1);
    }
}

int CGlobalSharedData::IsAnyNodeSynced() {
    CCSLocker lock(&m_csNodeList);
    for (auto& node : m_Nodes) {
        if (node->nSyncCount.load() != 0) return 1;
    }
    return 0;
}
