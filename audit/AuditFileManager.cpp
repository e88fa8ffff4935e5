#include "audit/AuditFileManager.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {

constexpr char kTag[] = "[CAuditFileManager]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// size raised to a multiple of block (the size itself for block 0 or 1).
// Division rather than a mask, so that block sizes that are no power of two
// are raised correctly too.
DWORD RaiseToBlock(std::int64_t size, DWORD block) {
    const std::uint64_t s = static_cast<std::uint64_t>(size < 0 ? 0 : size);
    if (block <= 1) return static_cast<DWORD>(s);
    return static_cast<DWORD>((s + block - 1) / block * block);
}

}  // namespace

CAuditFileManager* CAuditFileManager::GetInstance() {
    // Never destroyed: the reaper may outlive UnInit.
    static CAuditFileManager* instance = new CAuditFileManager();
    return instance;
}

CAuditFileManager::CAuditFileManager() { InitializeCriticalSectionAndSpinCount(&m_csList, kCsSpinCount); }

CAuditFileManager::~CAuditFileManager() { DeleteCriticalSection(&m_csList); }

bool CAuditFileManager::Init() {
    m_dwRunning.store(1);
    return m_Reaper.Start(&CAuditFileManager::AuditFileCheckProcess, this);
}

bool CAuditFileManager::UnInit() {
    m_dwRunning.store(0);
    m_Reaper.Stop(kStopWaitMs);
    return true;
}

AuditFileInfo* CAuditFileManager::CreateNewAuditFileInfo(const AuditFileOwner* owner, DWORD maxPerDb, DWORD maxTotal,
                                                         AuditCreateRefusal* refusal) {
    AuditCreateRefusal dummy;
    if (refusal == nullptr) refusal = &dummy;
    *refusal = AUDIT_CREATE_FAILED;
    CCSLocker lock(&m_csList);
    if (owner != nullptr) {
        if (maxTotal > 0 && m_Records.size() >= maxTotal) {
            *refusal = AUDIT_CREATE_TOTAL_CAP;
            return nullptr;
        }
        const size_t ofDb = static_cast<size_t>(std::count_if(
            m_Records.begin(), m_Records.end(), [&](const auto& r) { return r->dbName == owner->dbName; }));
        if (maxPerDb > 0 && ofDb >= maxPerDb) {
            *refusal = AUDIT_CREATE_NODE_CAP;
            return nullptr;
        }
    }
    try {
        const DWORD id = m_dwLastFileId.fetch_add(1) + 1;
        auto info = std::make_unique<AuditFileInfo>();
        info->fileId = id;
        if (owner != nullptr) {
            info->ownerWriter = owner->writer;
            if (owner->identity != nullptr) std::memcpy(info->nodeIdentity, owner->identity, sizeof(info->nodeIdentity));
            info->dbName = owner->dbName;
            info->locked.store(1);  // the begin works on it until it succeeds
        }
        m_Records.push_back(std::move(info));
        auto position = std::prev(m_Records.end());
        if (!m_ById.emplace(id, position).second) {
            m_Records.erase(position);
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[CreateNewAuditFileInfo] Create AuditInfo Map Fail.\n");
            return nullptr;
        }
        *refusal = AUDIT_CREATE_OK;
        return position->get();
    } catch (const std::bad_alloc&) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[CreateNewAuditFileInfo] Exception Occur While Alloc AuditInfo.\n");
        return nullptr;
    }
}

bool CAuditFileManager::IsOwnedBy(const AuditFileInfo& info, const AuditFileOwner& owner) {
    return owner.identity != nullptr && std::memcmp(info.nodeIdentity, owner.identity, sizeof(info.nodeIdentity)) == 0 &&
           info.dbName == owner.dbName;
}

AuditFileInfo* CAuditFileManager::GetAuditFileInfoByFileID(DWORD id) {
    CCSLocker lock(&m_csList);
    auto it = m_ById.find(id);
    if (it == m_ById.end()) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetAuditFileInfoByFileID] FileID = %u Not Exist.\n", id);
        return nullptr;
    }
    AuditFileInfo* info = it->second->get();
    if (info->locked.load() != 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetAuditFileInfoByFileID] FileID = %u Already Locked.\n", id);
        return nullptr;
    }
    return info;
}

AuditFileInfo* CAuditFileManager::LockAuditFileInfoByFileID(DWORD id, const AuditFileOwner* requester) {
    CCSLocker lock(&m_csList);
    auto it = m_ById.find(id);
    if (it == m_ById.end()) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[LockAuditFileInfoByFileID] FileID = %u Not Exist.\n", id);
        return nullptr;
    }
    AuditFileInfo* info = it->second->get();
    // Checked before the lock flag is touched: another node's transaction
    // must not even hold the owner's upload for a moment.
    if (requester != nullptr && !IsOwnedBy(*info, *requester)) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[LockAuditFileInfoByFileID] FileID = %u Belongs To Another Node.\n", id);
        return nullptr;
    }
    DWORD expected = 0;
    if (!info->locked.compare_exchange_strong(expected, 1)) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[LockAuditFileInfoByFileID] FileID = %u Already Locked.\n", id);
        return nullptr;
    }
    return info;
}

void CAuditFileManager::UnLockAuditFileInfoByFileID(DWORD id) {
    CCSLocker lock(&m_csList);
    auto it = m_ById.find(id);
    if (it != m_ById.end()) (*it->second)->locked.store(0);
}

void CAuditFileManager::ReleaseAuditFileInfoByFileID(DWORD id) {
    CCSLocker lock(&m_csList);
    auto it = m_ById.find(id);
    if (it == m_ById.end()) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[ReleaseAuditFileInfoByFileID] FileID = %u Not Exist.\n", id);
        return;
    }
    AuditFileInfo* info = it->second->get();
    CloseAuditFile(info);
    m_ullReservedBytes -= std::min(m_ullReservedBytes, info->reservedBytes);
    m_Records.erase(it->second);
    m_ById.erase(it);
}

void CAuditFileManager::ReleaseAuditFilesOfWriter(const void* writer) {
    if (writer == nullptr) return;
    CCSLocker lock(&m_csList);
    std::vector<DWORD> owned;
    for (auto& record : m_Records) {
        if (record->ownerWriter == writer) owned.push_back(record->fileId);
    }
    for (DWORD id : owned) {
        AuditFileInfo* info = m_ById.find(id)->second->get();
        info->ownerWriter = nullptr;
        // A record held by another thread is in use: closing it would pull
        // the file from under that thread. It stays active, so the reaper
        // abandons it after its time-out.
        if (info->locked.load() != 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag,
                "[ReleaseAuditFilesOfWriter] FileID = %u Is Locked , Left To The Reaper.\n", id);
            continue;
        }
        Log(Recorder(), LOG_LEVEL_INFO, kTag,
            "[ReleaseAuditFilesOfWriter] FileID = %u , FileName = %s Released , Its Connection Ended.\n", id,
            info->fileName.c_str());
        CloseAuditFile(info);
        if (info->state == 2 && !info->storedFileName.empty()) DeleteFileA(info->storedFileName.c_str());
        ReleaseAuditFileInfoByFileID(id);
    }
}

bool CAuditFileManager::ReserveDiskSpace(AuditFileInfo* info, std::uint64_t bytes,
                                         const std::function<bool(std::uint64_t)>& hasRoom) {
    CCSLocker lock(&m_csList);
    const std::uint64_t total = bytes > UINT64_MAX - m_ullReservedBytes ? UINT64_MAX : bytes + m_ullReservedBytes;
    if (!hasRoom(total)) return false;
    info->reservedBytes += bytes;
    m_ullReservedBytes += bytes;
    return true;
}

size_t CAuditFileManager::Count() {
    CCSLocker lock(&m_csList);
    return m_Records.size();
}

bool CAuditFileManager::GetAuditFileLostBlockInfo(AuditFileInfo* info, DWORD* begin, DWORD* end) {
    if (info == nullptr) return false;
    const auto& ranges = info->ranges;
    if (ranges.empty()) {
        *begin = 0;
        *end = RaiseToBlock(info->storedDataSize, info->blockSize);
        return true;
    }
    if (ranges[0].first > 0) {
        // The first blocks never arrived: they are asked for first.
        if (info->blockSize == 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetAuditFileLostBlockInfo] Invalid BlockSize.\n");
            return false;
        }
        *begin = 0;
        *end = RaiseToBlock(ranges[0].first, info->blockSize);
        return true;
    }
    if (ranges.size() == 1) {
        if (info->storedDataSize < static_cast<std::int64_t>(ranges[0].second)) return false;
        if (info->blockSize == 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetAuditFileLostBlockInfo] Invalid BlockSize.\n");
            return false;
        }
        *begin = ranges[0].second / info->blockSize * info->blockSize;
        *end = RaiseToBlock(info->storedDataSize, info->blockSize);
        return true;
    }
    *begin = ranges[0].second;
    *end = ranges[1].first;
    if (*begin < *end) return true;
    Log(Recorder(), LOG_LEVEL_WARN, kTag, "[GetAuditFileLostBlockInfo] GetBlockInfo Fail Begin = %u End = %u\n", *begin,
        *end);
    return false;
}

void CAuditFileManager::CloseAuditFile(AuditFileInfo* info) {
    if (info == nullptr) return;
    info->active.store(0);
    if (info->file != nullptr) {
        // Waits for the write in flight, so its buffer is not freed under it.
        info->file->CancelIo();
        info->writePending = 0;
        if (info->storedDataSize >= 0) info->file->SetSize(static_cast<std::uint64_t>(info->storedDataSize));
        info->file.reset();
    }
    if (info->writeEvent != nullptr) {
        CloseHandle(info->writeEvent);
        info->writeEvent = nullptr;
    }
}

DWORD CAuditFileManager::AuditFileCheckProcess(void* param) {
    auto* self = static_cast<CAuditFileManager*>(param);
    if (self == nullptr) return static_cast<DWORD>(-1);
    while (true) {
        const DWORD ret = self->m_Reaper.WaitPeriod(self->m_dwReapPeriodMs.load());
        if (ret != WAIT_TIMEOUT) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[AuditFileCheckProcess] Exit With Wait Code = %u\n", ret);
            return 0;
        }
        self->ReapIdleFiles();
        if (self->m_dwRunning.load() == 0) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[AuditFileCheckProcess] Exit With Wait Code = %u\n", ret);
            return 0;
        }
    }
}

void CAuditFileManager::ReapIdleFiles() {
    CCSLocker lock(&m_csList);
    std::vector<DWORD> idle;
    for (auto& record : m_Records) {
        if (m_dwRunning.load() == 0) break;
        AuditFileInfo* info = record.get();
        if (info->active.load() == 0) continue;
        const DWORD now = GetTickCount();
        const DWORD last = info->lastActivity.load();
        DWORD seconds = 0;
        if (now < last) {
            info->lastActivity.store(now);  // the counter wrapped
        } else {
            seconds = (now - last) / 1000;
        }
        if (seconds > info->timeoutSeconds) idle.push_back(info->fileId);
    }
    for (DWORD id : idle) {
        AuditFileInfo* info = GetAuditFileInfoByFileID(id);
        if (info == nullptr) continue;
        Log(Recorder(), LOG_LEVEL_WARN, kTag,
            "[AuditFileCheckProcess] ID = %u , FileName = %s ,  DCFullFileName = %s Exceed %u Seconds , Auto Clear It\n",
            id, info->fileName.c_str(), info->storedFileName.c_str(), info->timeoutSeconds);
        CloseAuditFile(info);
        if (info->state == 2 && !info->storedFileName.empty()) DeleteFileA(info->storedFileName.c_str());
        ReleaseAuditFileInfoByFileID(id);
    }
}
