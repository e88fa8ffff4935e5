// The per-connection task that turns a node's received bytes into packets.
//
// It frames packets in the receive ring (in place when they are contiguous,
// copied out otherwise), re-synchronises a stream that is out of step by
// searching for the packet marks, checks each packet against the wire format,
// answers keep-alives and info syncs through the send ring, applies info
// syncs to the node's database, and offers every other accepted log to the
// node's writer chain. Logs of a node are dropped until the node has completed
// an info sync; with the disk full only keep-alives and info syncs are
// processed.
//
// Threads: the task's thread is the only reader of the receive ring and the
// only writer of the send ring; it talks to the node thread only by posted
// messages.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Task.h"
#include "node/RingCache.h"
#include "writers/DataFileBatch.h"
#include "writers/LogsWriterManager.h"

class TiXmlDocument;
class TiXmlElement;

struct NodeActivity;

class CNodeLogRecordTask : public CTask {
public:
    static constexpr DWORD kWaitMs = 5000;
    static constexpr DWORD kSearchWindow = 2048;
    static constexpr DWORD kMaxDumpBytes = 2048;
    static constexpr DWORD kReplyBuffSize = 4096;

    CNodeLogRecordTask() = default;
    ~CNodeLogRecordTask() override;

    void SetNodeThreadId(DWORD threadId) { m_dwNodeThreadId = threadId; }
    void SetRings(CRingCache* recvRing, CRingCache* sendRing) {
        m_pRecvRing = recvRing;
        m_pSendRing = sendRing;
    }
    // Shares the node's rings: they stay alive while this task runs, even
    // when the node has given up waiting for it and ended.
    void SetRings(std::shared_ptr<CRingCache> recvRing, std::shared_ptr<CRingCache> sendRing) {
        SetRings(recvRing.get(), sendRing.get());
        m_RingOwners[0] = std::move(recvRing);
        m_RingOwners[1] = std::move(sendRing);
    }

    // The connection's "identified" mark, shared with the node thread: set
    // by the first packet that passes its checks and names a registered node.
    void SetIdentifiedFlag(std::shared_ptr<std::atomic<bool>> flag) { m_pIdentified = std::move(flag); }
    bool IsIdentified() const { return m_pIdentified->load(); }

    DWORD Run() override;

    // Frames and processes every complete packet in the receive ring.
    void ProcessRingBuffData();
    const std::string& GetDbName() const { return m_strDbName; }

    // Info-sync routines (public for the tests of the statement building).
    std::string BuildSql(const TiXmlElement* row, const std::string& table);
    // Parses a snapshot file into doc (UTF-8 or TinyXML's default encoding); false when it cannot be read or
    // parsed. Public for the fuzz target of the snapshot parsing.
    static bool LoadSnapshot(const std::string& file, bool utf8, TiXmlDocument* doc);
    // The most nesting levels and elements of a snapshot that LoadSnapshot lets the parser build.
    static constexpr unsigned kMaxSnapshotLevels = 8;
    static constexpr unsigned kMaxSnapshotElements = 200000;

private:
    using CheckFn = bool (CNodeLogRecordTask::*)(int kind);
    using DealFn = int (CNodeLogRecordTask::*)(int kind);
    struct DispatchRow {
        std::uint32_t code;
        bool allowedWhenDiskFull;
        CheckFn check;
        DealFn deal;
    };
    static const DispatchRow kDispatchTable[16];

    // True while packets may be processed: running, or draining at the end.
    bool KeepGoing() const { return IsRunning() || m_bDraining.load(); }
    int FindPacketStart(DWORD readable);
    bool ProcessLogData(int kind);
    void DispatchLog(int kind);
    // Sets the identified mark when the checked packet names a registered node.
    void NoteIdentity();
    // True when the current packet's identity is a node of dev_node.
    bool IsRegisteredIdentity() const;
    void DumpData(const BYTE* start, const BYTE* end);
    bool ReadFromRing(CRingCache* ring, BYTE* destination, DWORD length);

    std::uint32_t DataLen() const;
    std::uint32_t LogType() const;
    const BYTE* Identity() const { return m_pCurrent + 8; }
    // Consumes the current packet (once) when it lies in the ring.
    void Consume();
    // Size rule then in-place inversion, shared by the fixed-size checks.
    bool CheckSizeAndInvert(std::uint32_t size, const char* message);
    bool SyncCheck(const char* message);

    bool Check_Any(int kind);
    bool Check_KeepAlive_Log(int kind);
    bool Check_User_Log(int kind);
    bool Check_UserV2_Log(int kind);
    bool Check_UserV3_Log(int kind);
    bool CheckUserFields(const char* action, const char* result, const char* service, const char* attribute,
                         const char* auth);
    bool Check_Audit_Log(int kind);
    bool Check_Admin_Log(int kind);
    bool Check_Alarm_Log(int kind);
    bool Check_LogudtDB_Log(int kind);
    bool Check_System_Log(int kind);
    bool Check_UserAuditFile_Log(int kind);

    int Deal_Fail(int kind);
    // The DEBUG line of a resource access: service type, server address, port.
    void LogResourceAccess(const char* format);
    int Deal_UnSupport_Log(int kind);
    int Deal_KeepAlive_Log(int kind);
    int Deal_User_Log(int kind);
    int Deal_UserV2_Log(int kind);
    int Deal_UserV3_Log(int kind);
    int Deal_Audit_Log(int kind);
    int Deal_Admin_Log(int kind);
    int Deal_Alarm_Log(int kind);
    int Deal_System_Log(int kind);
    int Deal_UserAuditFile_Log(int kind);
    int Deal_LogudtDB_Log(int kind);
    template <class Record>
    int WriteAndConsume(int kind);

    bool IsSyncOK(const BYTE* identity);
    void AttachToNode(const BYTE* identity);
    bool SetDbName(const BYTE* identity);
    void WriteDataToSendCache(const void* bytes, DWORD length);
    void NotifyTarnNodeDataCanSend();
    bool ExecSql(const std::string& statement, MYSQL* connection);
    void ExecSqlList(const std::vector<std::string>& statements, MYSQL* connection);
    // Posts a message carrying copies of the database name and identity.
    void PostNameAndIdentity(UINT message, const char* allocFailText, const char* postFailText);

    bool ProcessLogudtAdminInfo(const std::string& file);
    bool ProcessLogudtUserInfo(const std::string& file);
    bool ProcessLogudtUnknownInfo(const std::string& file);
    void RunFollowUpStatements(MYSQL* connection);
    // The checks of a sync before anything is stored: the digest form that matched, or null
    // (logged) when the sync is refused.
    const char* VerifySnapshot(const std::string& identity, char full[33], char shortForm[33]);
    bool StoreSnapshot(const std::string& file, const std::string& identity);
    int ApplySnapshot(const std::string& file, std::uint32_t updateType, const char* matched,
                      const std::string& identity);
    void RemoveTempFile();
    // False (logged under logKey) for a snapshot nested deeper, or with more elements, than
    // the parser is given.
    static bool CheckSnapshotShape(const std::string& text, const std::string& logKey);

    DWORD m_dwNodeThreadId = 0;
    CRingCache* m_pRecvRing = nullptr;
    CRingCache* m_pSendRing = nullptr;
    std::shared_ptr<CRingCache> m_RingOwners[2];
    std::atomic<std::int32_t> m_nSyncOK{0};
    // Set for the last pass over the receive ring when the task ends.
    std::atomic<bool> m_bDraining{false};
    // Replies that could not be put into the send ring as the task ended.
    DWORD m_dwDroppedReplies = 0;
    std::uint32_t m_dwDevType = 0;
    BYTE m_KeepAliveIdentity[16] = {};
    std::shared_ptr<std::atomic<bool>> m_pIdentified = std::make_shared<std::atomic<bool>>(false);
    // The identity whose sync count this task raised (released at its end).
    bool m_bSyncRefAdded = false;
    BYTE m_SyncRefIdentity[16] = {};
    // The node this task identified itself as (detached at its end).
    bool m_bAttached = false;
    BYTE m_AttachedIdentity[16] = {};
    // The registered node the current packet names (the last one looked up,
    // kept while packets name the same identity); null when none does.
    NodeActivity* ActivityOf(const BYTE* identity);
    NodeActivity* m_pActivity = nullptr;
    BYTE m_ActivityIdentity[16] = {};
    bool m_bActivityLooked = false;
    DWORD m_dwLastReadable = 0;
    std::string m_strDbName;
    // The snapshot file of the info sync being applied (empty between syncs).
    std::string m_strTempFile;
    CVarnholtLogsWriterManager m_WriterManager;
    CDataFileBatch m_DataFileBatch;  // lines of one pass over the receive ring
    BYTE* m_pCurrent = nullptr;
    bool m_bPacketInRing = false;
    bool m_bConsumed = false;
    std::vector<BYTE> m_LinearBuff;
    std::vector<BYTE> m_ReplyBuff;
};
