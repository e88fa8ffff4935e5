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
#pragma once

#include <atomic>
#include <cstdint>
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
    DWORD lastActivity = 0;   // tick count
    DWORD fileId = 0;
    DWORD blockSize = 0;
    std::int64_t storedDataSize = 0;
    std::int64_t sourceFileSize = 0;
    std::string fileName;        // the client's name after its last backslash
    std::string clientFullPath;  // as the node sent it
    std::string storedFileName;  // full path of the copy on this host
    std::string webPath;         // "/UploadFiles/..." as recorded in the row
    std::string dbName;
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
};

class CAuditFileManager {
public:
    static constexpr DWORD kReapPeriodMs = 30000;
    static constexpr DWORD kStopWaitMs = 5000;

    static CAuditFileManager* GetInstance();
    virtual ~CAuditFileManager();

    bool Init();
    bool UnInit();

    AuditFileInfo* CreateNewAuditFileInfo();
    AuditFileInfo* GetAuditFileInfoByFileID(DWORD id);
    AuditFileInfo* LockAuditFileInfoByFileID(DWORD id);
    void UnLockAuditFileInfoByFileID(DWORD id);
    void ReleaseAuditFileInfoByFileID(DWORD id);
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

    std::atomic<DWORD> m_dwRunning{0};
    CStoppableThread m_Reaper;
    std::atomic<DWORD> m_dwLastFileId{0};
    CRITICAL_SECTION m_csList;
    std::list<std::unique_ptr<AuditFileInfo>> m_Records;
    std::map<DWORD, std::list<std::unique_ptr<AuditFileInfo>>::iterator> m_ById;
    std::atomic<DWORD> m_dwReapPeriodMs{kReapPeriodMs};
};
