// The registry of user audit files being uploaded.
//
// A begin transaction creates a record (IDs from 1, never reused while the
// process runs); every later transaction of the file finds or locks it by
// ID; the end or a rollback closes and releases it; the reaper thread
// abandons uploads idle longer than their time-out (every 30 s), deleting a
// partial stored file.
//
// What callers may rely on:
// - The registry's lock guards the list and the map; a record's lock flag
//   (compare-and-exchange) keeps two transactions off one file, and a thread
//   that finds it set gets null at once. The reaper never touches a locked
//   record.
// - The registry is created on first use and never destroyed, so its reaper
//   may outlive UnInit without touching freed memory.
// - An upload belongs to the node that began it (its 16-byte identity and
//   database name) and to the writer it was begun through. Locking on behalf
//   of a node finds only that node's uploads; a writer that quits (its
//   connection ended) gets its uploads closed and released.
// - Open uploads are capped per node database and in all, and the stored
//   data sizes of open uploads are reserved against the free disk space, so
//   that a node can hold neither unbounded files, threads and events nor disk
//   it has not got.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/StoppableThread.h"
#include "platform/AsyncFile.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"
#include "protocol/PacketFormat.h"

// One file being uploaded.
struct AuditFileInfo {
    DWORD state = 0;          // transfer mode of the begin; 2: the stored copy is written
    DWORD timeoutSeconds = 0;
    // Tick count of the last transaction: written by the transaction that
    // holds the record, read by the reaper that does not.
    std::atomic<DWORD> lastActivity{0};
    DWORD fileId = 0;
    DWORD blockSize = 0;
    std::int64_t storedDataSize = 0;
    std::int64_t sourceFileSize = 0;
    std::string fileName;        // the client's name after its last backslash
    std::string clientFullPath;  // as the node sent it
    std::string storedFileName;  // full path of the copy on this host
    std::string webPath;         // "/UploadFiles/..." as recorded in the row
    std::string dbName;          // database of the node that began the upload
    std::string userName;        // converted to GBK
    std::int32_t userId = 0;
    std::int32_t groupId = 0;
    BYTE header[packet::kHeaderSize] = {};  // the begin's packet header
    BYTE sha1[20] = {};
    std::unique_ptr<CAsyncFile> file;
    HANDLE writeEvent = nullptr;
    OVERLAPPED overlapped{};
    std::vector<BYTE> writeData;  // the block of the write in flight
    DWORD writePending = 0;
    std::pair<DWORD, DWORD> lastWrite{0, 0};  // [start, end) of the last write
    std::vector<std::pair<DWORD, DWORD>> ranges;  // received, end exclusive
    std::atomic<DWORD> active{0};
    std::atomic<DWORD> locked{0};
    // Owner, set at creation and read under the registry's lock.
    BYTE nodeIdentity[16] = {};
    const void* ownerWriter = nullptr;  // compared only, never dereferenced
    std::uint64_t reservedBytes = 0;    // disk reserved for the stored copy
};

// The node (and the writer) on whose behalf a record is created or locked.
struct AuditFileOwner {
    const void* writer = nullptr;
    const BYTE* identity = nullptr;  // 16 bytes
    std::string dbName;
};

// Why CreateNewAuditFileInfo gave no record.
enum AuditCreateRefusal { AUDIT_CREATE_OK, AUDIT_CREATE_NODE_CAP, AUDIT_CREATE_TOTAL_CAP, AUDIT_CREATE_FAILED };

class CAuditFileManager {
public:
    static constexpr DWORD kReapPeriodMs = 30000;
    static constexpr DWORD kStopWaitMs = 5000;

    static CAuditFileManager* GetInstance();
    virtual ~CAuditFileManager();

    bool Init();
    bool UnInit();

    // Without an owner: an unowned, unlocked record. With one: null when the
    // owner's database already has maxPerDb uploads open or the registry
    // maxTotal (*refusal says which); otherwise a record owned by it and
    // locked for its creator (the begin unlocks it when it succeeds).
    AuditFileInfo* CreateNewAuditFileInfo(const AuditFileOwner* owner = nullptr, DWORD maxPerDb = 0,
                                          DWORD maxTotal = 0, AuditCreateRefusal* refusal = nullptr);
    AuditFileInfo* GetAuditFileInfoByFileID(DWORD id);
    // With a requester, a record of another node (identity or database) is
    // not touched and gives null, as an unknown ID does.
    AuditFileInfo* LockAuditFileInfoByFileID(DWORD id, const AuditFileOwner* requester = nullptr);
    void UnLockAuditFileInfoByFileID(DWORD id);
    // Also gives back the record's disk reservation.
    void ReleaseAuditFileInfoByFileID(DWORD id);
    // Closes and releases every upload begun through writer, deleting
    // incomplete stored copies (state 2). A record another thread holds
    // locked is left to the reaper.
    void ReleaseAuditFilesOfWriter(const void* writer);
    // Reserves bytes of disk for info's stored copy when hasRoom says the
    // disk holds bytes plus every reservation already made; false otherwise.
    bool ReserveDiskSpace(AuditFileInfo* info, std::uint64_t bytes,
                          const std::function<bool(std::uint64_t total)>& hasRoom);
    // The first byte range still missing ([*begin, *end), 32-bit offsets).
    bool GetAuditFileLostBlockInfo(AuditFileInfo* info, DWORD* begin, DWORD* end);
    // Ends the upload's file: cancels a pending write, sets the end at the
    // stored data size, closes the file and the write event.
    static void CloseAuditFile(AuditFileInfo* info);
    size_t Count();

    // Tests shorten the reaper's period before Init.
    void SetReapPeriod(DWORD periodMs) { m_dwReapPeriodMs.store(periodMs); }

private:
    CAuditFileManager();
    static DWORD AuditFileCheckProcess(void* manager);
    void ReapIdleFiles();
    static bool IsOwnedBy(const AuditFileInfo& info, const AuditFileOwner& owner);

    std::atomic<DWORD> m_dwRunning{0};
    CStoppableThread m_Reaper;
    std::atomic<DWORD> m_dwLastFileId{0};
    CRITICAL_SECTION m_csList;
    std::list<std::unique_ptr<AuditFileInfo>> m_Records;
    std::map<DWORD, std::list<std::unique_ptr<AuditFileInfo>>::iterator> m_ById;
    std::atomic<DWORD> m_dwReapPeriodMs{kReapPeriodMs};
    std::uint64_t m_ullReservedBytes = 0;  // guarded by m_csList
};
