// Process-wide shared data: install directories, the shared locks, the log
// counter, and the known nodes with copies of their directories.
//
// Init computes the eight directories once (from VARNHOLT_INSTALL_PATH, or two
// levels above the executable) and hands the ones the lower layers need down
// to them: the log folder to the program log, the install, config and temp
// folders to the configuration. The directory strings never end in '/' and
// are read-only after Init. The node list and directory caches join this
// class with the database layer.
#pragma once

#include <mysql.h>

#include <atomic>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "platform/WinTypes.h"

struct AdminRecord {
    std::int32_t id = 0;
    std::string name;
    std::int32_t groupId = 0;
};

struct UserRecord {
    std::int32_t id = 0;
    std::string name;
    std::int32_t groupId = 0;
};

struct GroupRecord {
    std::int32_t id = 0;
    std::int32_t parentId = 0;
};

// Records with a case-insensitive index by name. Names match ignoring ASCII
// case over their first 101 bytes; records of equal names are visited in the
// order they were added.
template <class Record>
class CNamedDirectory {
public:
    static constexpr size_t kNameCompareLength = 101;

    void Clear() {
        m_records.clear();
        m_index.clear();
    }
    void Add(Record record) {
        m_index.emplace(Key(record.name), m_records.size());
        m_records.push_back(std::move(record));
    }
    // Calls visit(record) for each record whose name matches, in index order,
    // until visit returns false.
    template <class Visit>
    void ForEachMatch(const std::string& name, Visit visit) const {
        auto range = m_index.equal_range(Key(name));
        for (auto it = range.first; it != range.second; ++it) {
            if (!visit(m_records[it->second])) return;
        }
    }
    const std::vector<Record>& Records() const { return m_records; }

    static std::string Key(const std::string& name) {
        std::string key = name.substr(0, kNameCompareLength);
        for (char& ch : key) {
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        return key;
    }

private:
    std::vector<Record> m_records;
    std::multimap<std::string, size_t> m_index;
};

// One gateway node of dev_node, with copies of its directories. Nodes are
// never removed while the process runs, so a pointer to one stays valid.
// What a node did, for the operator's view (info query type 3, /metrics):
// counted by the record tasks and the writers as it happens, read without
// any lock. Times are Unix seconds, 0 for never.
struct NodeActivity {
    enum Kind { KIND_USER, KIND_SYSTEM, KIND_ALARM, KIND_ADMIN, KIND_AUDIT, KIND_COUNT };
    std::atomic<std::uint64_t> accepted[KIND_COUNT] = {};
    std::atomic<std::uint64_t> receivedBytes{0};  // bytes of the packets its connections sent
    std::atomic<std::uint64_t> refused{0};        // packets refused before dispatch (not synchronised)
    std::atomic<std::int64_t> lastPacket{0};
    std::atomic<std::int64_t> lastKeepAlive{0};
    std::atomic<std::int64_t> lastStored{0};      // a row of its database reached MySQL
};

struct NodeInfo {
    static constexpr size_t kMaxNodeName = 98;

    std::string strNodeName;
    BYTE identity[16] = {};
    std::atomic<std::int32_t> nSyncCount{0};
    // Record tasks that have identified themselves as this node and not yet
    // ended: the disconnection is recorded when the last one leaves.
    std::atomic<std::int32_t> nAttachedTasks{0};
    NodeActivity activity;
    std::string strSecret;
    std::string strMd5Secret;
    std::string strDbName;
    CRITICAL_SECTION csNode;  // guards the three directories and the counts of added names
    bool bLockReady = false;
    CNamedDirectory<AdminRecord> admins;
    CNamedDirectory<UserRecord> users;
    std::vector<GroupRecord> groups;

    // Users are added one at a time per node under this lock, which is held
    // across the SQL; csNode is not, so lookups of known names (and every
    // other node) go on meanwhile.
    std::mutex insertLock;
    // Names added in the current minute (MaxNewUsersPerMinute bounds them)
    // and names refused since the last warning about them; under csNode.
    bool bAddWindowOpen = false;
    DWORD dwAddWindowStart = 0;
    std::uint32_t nAddedInWindow = 0;
    bool bRefusalWarned = false;
    DWORD dwLastRefusalWarning = 0;
    std::uint32_t nRefusedNames = 0;
};

class CGlobalSharedData {
public:
    static CGlobalSharedData* GetInstance();

    // Idempotent: a second call returns true without recomputing anything.
    bool Init();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    const std::string& GetInstallDir() const { return m_strInstallDir; }
    const std::string& GetZelkDir() const { return m_strZelkDir; }
    const std::string& GetLogDir() const { return m_strLogDir; }
    const std::string& GetDumpDir() const { return m_strDumpDir; }
    const std::string& GetConfigDir() const { return m_strConfigDir; }
    const std::string& GetDataFileDir() const { return m_strDataFileDir; }
    const std::string& GetTempDir() const { return m_strTempDir; }
    const std::string& GetUploadDir() const { return m_strUploadDir; }
    // Creates the working folders (log, dump, data file, temp, upload) that
    // are missing; logs an ERROR naming each one that cannot be made.
    // False when any is missing afterwards.
    bool CreateWorkingDirectories();

    // Guards the node list.
    CRITICAL_SECTION* NodeListLock() { return &m_csNodeList; }
    // Held by the crash handler.
    CRITICAL_SECTION* CrashLock() { return &m_csCrash; }
    CRITICAL_SECTION* SpareLock() { return &m_csSpare; }

    // Next value of the process-wide log counter (interlocked increment).
    // The counter wraps from 2^31 - 1 to -2^31 in unsigned arithmetic, so its
    // overflow is defined; callers that need a non-negative number take the
    // value as unsigned.
    std::int32_t NextLogCounter() { return static_cast<std::int32_t>(m_nLogCounter.fetch_add(1u) + 1u); }
    std::int32_t GetLogCounter() const { return static_cast<std::int32_t>(m_nLogCounter.load()); }
    void SetLogCounter(std::int32_t value) { m_nLogCounter.store(static_cast<std::uint32_t>(value)); }

    // ---- Known nodes and their directories --------------------------------
    static constexpr unsigned kMaxNodes = 64;
    static constexpr size_t kMaxLoadedName = 99;
    static constexpr size_t kMaxInsertedName = 100;
    // The group the gateway never lists; users may be added to it freely.
    static constexpr std::int32_t kFreeGroupId = -2000;

    // Loads the node list from dev_node of the main database (once, at the
    // listener's start) and each node's directories. 1 on success.
    int GetDabaBaseNodeInfo();
    int GetSpecifyDevNodeInfo(NodeInfo* node);
    int GetSpecifyDevNodeAdminInfo(NodeInfo* node, MYSQL* connection);
    int GetSpecifyDevNodeUserInfo(NodeInfo* node, MYSQL* connection);
    int GetSpecifyDevNodeGroupInfo(NodeInfo* node, MYSQL* connection);

    // The node with this database name (and identity, when given), or with
    // this identity when no name is given; null (logged) when none matches.
    NodeInfo* FindNodeInfoIter(const char* dbName, const BYTE* identity);
    // Every node whose logs go to dbName: nodes sharing one database share
    // its user and administrator tables, so a snapshot of one reloads all.
    std::vector<NodeInfo*> FindNodesOfDb(const char* dbName);
    int GetDbNameByMD5(const BYTE* identity, std::string* dbName);
    int GetAdminInfoEx(const char* dbName, const BYTE* identity, const char* adminName, std::int32_t* adminId,
                       std::int32_t* groupId);
    // Finds the user's id, adding the user (ids -1, -2, ...) when unknown.
    // The node lock is held only for the lookups, never across SQL. A node
    // adds at most MaxNewUsersPerMinute names a minute (tick clock); a
    // further unseen name is not added: the call succeeds with the id left
    // as the caller preset it (the log is stored with that fallback id, not
    // dropped), and one WARN line a minute per node counts
    // the refused names. The SQL runs on a connection the calling thread
    // keeps for later additions (released when the thread ends).
    int GetUserInfoEx(const char* dbName, const BYTE* identity, const char* userName, std::int32_t* userId,
                      std::int32_t groupId);
    int InsertUserInfo(const char* userName, NodeInfo* node, std::int32_t* userId, std::int32_t groupId);
    int IsKnownDbName(const char* dbName);
    // A node's database name names folders of the data-file and upload
    // trees and goes into SQL unquoted, so it must be 1 to kMaxDbName ASCII
    // letters, digits, '_' or '$'; a dev_node row with any other name is
    // refused when the node list is loaded.
    static constexpr size_t kMaxDbName = 64;
    static bool IsValidDbName(const std::string& name);

    std::int32_t GetNodeSyncCount(const BYTE* identity);
    void AddNodeSyncRef(const BYTE* identity);
    void ReleaseNodeSyncRef(const BYTE* identity);
    void AttachNodeTask(const BYTE* identity);
    void DetachNodeTask(const BYTE* identity);
    std::int32_t GetNodeAttachedTasks(const BYTE* identity);
    // The registered node of an identity, or null. Nodes are never removed
    // while the process runs, so the pointer stays valid.
    NodeInfo* FindNode(const BYTE* identity) { return FindByIdentity(identity); }
    // A row of database reached MySQL: every node writing to it was stored
    // just now.
    void NoteStored(const std::string& database);
    void MarkNodeSynced(const BYTE* identity);
    int IsAnyNodeSynced();
    bool IsNodeListReady() const { return m_nNodeListReady.load() == 1; }
    // The node list itself; the caller holds NodeListLock() while it walks it.
    const std::vector<std::unique_ptr<NodeInfo>>& NodeListLocked() const { return m_Nodes; }
    size_t NodeCount();

private:
    CGlobalSharedData() = default;

    void ComputeDirectories();

    std::atomic<std::int32_t> m_nInitialised{0};
    std::string m_strInstallDir;
    std::string m_strZelkDir;
    std::string m_strLogDir;
    std::string m_strDumpDir;
    std::string m_strConfigDir;
    std::string m_strDataFileDir;
    std::string m_strTempDir;
    std::string m_strUploadDir;
    CRITICAL_SECTION m_csNodeList;
    CRITICAL_SECTION m_csCrash;
    CRITICAL_SECTION m_csSpare;
    std::atomic<std::uint32_t> m_nLogCounter{0};
    std::vector<std::unique_ptr<NodeInfo>> m_Nodes;
    std::atomic<std::int32_t> m_nNodeListReady{0};

    NodeInfo* FindByIdentity(const BYTE* identity);
    // The user's id from the node's copy (node lock held by the caller).
    static bool FindUserLocked(const NodeInfo& node, const char* userName, std::int32_t groupId, std::int32_t* id);
    // Counts one more new name of the node against the per-minute bound
    // (node lock held); *refusalsToReport gets the number of refused names
    // to warn about now (0: no warning due).
    static bool AdmitNewUserLocked(NodeInfo* node, std::uint32_t* refusalsToReport);
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
