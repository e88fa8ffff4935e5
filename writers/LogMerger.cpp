#include "writers/LogMerger.h"

#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/InfoCounters.h"
#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "writers/UserWidening.h"

using packet::UserRecordV3;

namespace {

constexpr char kMergerTag[] = "[CLogMerger]";
constexpr char kManagerTag[] = "[CLogMergeManager]";
constexpr DWORD kSwitchStepMs = 1000;
constexpr std::uint64_t kBytesPerMiB = 1048576;
// Item types the merger takes: User, System and UserV2.
constexpr std::uint32_t kItemTypes = 1u << packet::LOG_USER | 1u << packet::LOG_SYSTEM | 1u << packet::LOG_USER_V2;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

std::uint32_t U32At(const UserRecordV3& p, size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, reinterpret_cast<const BYTE*>(&p) + offset, sizeof(v));
    return v;
}

std::int32_t I32At(const UserRecordV3& p, size_t offset) { return static_cast<std::int32_t>(U32At(p, offset)); }

std::string_view Text(const char* field, size_t size) { return std::string_view(field, strnlen(field, size)); }

MergeKey KeyOf(const UserRecordV3& p) {
    MergeKey key;
    key.server = U32At(p, offsetof(UserRecordV3, common.serverAddressNet));
    key.portWord = U32At(p, offsetof(UserRecordV3, common.serverPortNet));
    key.client = U32At(p, offsetof(UserRecordV3, common.clientAddressNet));
    key.group = U32At(p, offsetof(UserRecordV3, common.groupId));
    key.name = Text(p.common.userName, sizeof(p.common.userName));
    return key;
}

// Adds the i64 counter at offset of add to that of sum (wrapping).
void AddCounter(UserRecordV3* sum, const UserRecordV3& add, size_t offset) {
    std::uint64_t a, b;
    BYTE* to = reinterpret_cast<BYTE*>(sum) + offset;
    std::memcpy(&a, to, sizeof(a));
    std::memcpy(&b, reinterpret_cast<const BYTE*>(&add) + offset, sizeof(b));
    a += b;
    std::memcpy(to, &a, sizeof(a));
}

// True when keyword occurs in text, letter case ignored.
bool ContainsNoCase(std::string_view text, const std::string& keyword) {
    if (keyword.size() > text.size()) return false;
    for (size_t at = 0; at + keyword.size() <= text.size(); ++at) {
        if (strncasecmp(text.data() + at, keyword.data(), keyword.size()) == 0) return true;
    }
    return false;
}

void CountMerged(InfoCounter counter) {
    CountInfo(counter);
    CountInfo(INFO_COUNTER_MERGED_TOTAL);
}

void LoadConfig(LogMergeBuff* buff) {
    const auto& c = CConfigManager::GetInstance()->m_ZelkAdv;
    LogMergeBuff::Config& copy = buff->config;
    copy.globalEnable = c.GlobalEnableLogMerge.Get();
    copy.particleMs = static_cast<DWORD>(c.ParticleTime.Get());
    copy.sizeBytes = static_cast<std::uint64_t>(std::max(0, c.MergeBufferSize.Get()));
    copy.mergeBuffers = c.MergeBuffers.Get();
    copy.userEnable = c.UserLogEnableLogMerge.Get();
    copy.httpFilter = c.EnableHttpFilter.Get();
    copy.httpFilterList = c.HttpFilterList.Get();
    copy.keepFilterLog = c.KeepFilterLog.Get();
    copy.flowEnable = c.FlowLogEnableLogMerge.Get();
    copy.sysEnable = c.SysLogEnableLogMerge.Get();
    if (copy.globalEnable == 0) {
        buff->shownSize.store(copy.sizeBytes, std::memory_order_relaxed);
        return;
    }
    copy.particleMs *= 1000;
    copy.sizeBytes *= kBytesPerMiB;
    buff->shownSize.store(copy.sizeBytes, std::memory_order_relaxed);
    if (copy.userEnable == 1 && copy.httpFilter == 1) {
        buff->keywords.clear();
        const std::string& list = copy.httpFilterList;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = std::min(list.find(';', start), list.size());
            if (end > start) buff->keywords.push_back(list.substr(start, end - start) + " ,");
            start = end + 1;
        }
    }
}

// Empties the buffer and starts its period again (under its lock).
void ResetBuff(LogMergeBuff* buff) {
    buff->flowIndex.clear();
    buff->serviceIndex.clear();
    buff->kept.clear();
    buff->firstKeptTime.store(0);
    buff->usage = 0;
    buff->shownUsage.store(0, std::memory_order_relaxed);
    buff->switchRequested = 0;
    buff->startTick = GetTickCount();
    LoadConfig(buff);
}

// Due when full or older than the particle time (or the tick count wrapped);
// a due buffer is marked switch-requested. Under the buffer's lock.
bool IsDue(LogMergeBuff* buff) {
    const DWORD now = GetTickCount();
    const bool due = buff->usage >= buff->config.sizeBytes || now < buff->startTick ||
                     now > buff->startTick + buff->config.particleMs;
    if (due) buff->switchRequested = 1;
    return due;
}

LogMergeBuff* NewBuff() {
    auto* buff = new (std::nothrow) LogMergeBuff();
    if (buff == nullptr) return nullptr;
    buff->freeEvent = CreateEvent(true, true);
    if (buff->freeEvent == nullptr || !InitializeCriticalSectionAndSpinCount(&buff->lock, kCsSpinCount)) {
        if (buff->freeEvent != nullptr) CloseHandle(buff->freeEvent);
        delete buff;
        return nullptr;
    }
    buff->startTick = GetTickCount();
    LoadConfig(buff);
    return buff;
}

void DeleteBuff(LogMergeBuff* buff) {
    SetEvent(buff->freeEvent);
    CloseHandle(buff->freeEvent);
    DeleteCriticalSection(&buff->lock);
    delete buff;
}

// Appends a copy of the log (kind in its last four bytes) and indexes flow
// and service-access logs; 1, or 0 when memory runs out. Under the buffer lock.
int KeepLog(LogMergeBuff* buff, std::uint32_t kind, const UserRecordV3* p, std::int32_t action, const MergeKey& key) {
    try {
        LogMergeBuff::Kept* entry = &buff->kept.push_back(LogMergeBuff::Kept{*p});
        if (buff->kept.size() == 1) buff->firstKeptTime.store(static_cast<std::int64_t>(GetSystemTimeSeconds()));
        std::memcpy(reinterpret_cast<BYTE*>(&entry->packet) + offsetof(UserRecordV3, reserved), &kind, sizeof(kind));
        buff->usage += CLogMerger::kKeptLogCost;
        loss::Add(loss::MERGE_KEPT);
        if (action == 2 || action == 3) {
            (action == 2 ? buff->flowIndex : buff->serviceIndex).emplace(key, entry);
            buff->usage += CLogMerger::kIndexEntryCost;
        }
        buff->shownUsage.store(buff->usage, std::memory_order_relaxed);
        return 1;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

}  // namespace

bool MergeKey::operator<(const MergeKey& o) const {
    if (server != o.server) return server < o.server;
    if (portWord != o.portWord) return portWord < o.portWord;
    if (client != o.client) return client < o.client;
    if (group != o.group) return group < o.group;
    return std::strcmp(name.c_str(), o.name.c_str()) < 0;
}

// ---- CLogMerger --------------------------------------------------------------

CLogMerger::~CLogMerger() { Stop(); }

bool CLogMerger::Start() {
    if (!m_bLockMade) {
        if (!InitializeCriticalSectionAndSpinCount(&m_csMerger, kCsSpinCount)) return false;
        m_bLockMade = true;
    }
    if (m_hWriteEvent == nullptr) m_hWriteEvent = CreateEvent(false, false);
    if (m_hQuitEvent == nullptr) m_hQuitEvent = CreateEvent(true, false);
    if (m_hWriteEvent == nullptr || m_hQuitEvent == nullptr) return false;
    m_dwRunning.store(1);
    m_bWriterDone = false;
    DWORD id = 0;
    m_hWriteThread = CreateThread(&CLogMerger::WriteDataProcess, this, &id);
    m_hSwitchThread = CreateThread(&CLogMerger::DataBuffSwitcher, this, &id);
    if (m_hWriteThread == nullptr || m_hSwitchThread == nullptr) return false;
    CCSLocker lock(&m_csMerger);
    AdjustBufferCount();
    PickFreeLogMergeBuff(&m_pCurrent, kPickWaitMs);
    m_dwStarted.store(1);
    return true;
}

bool CLogMerger::Stop() {
    m_dwRunning.store(0);
    m_dwStarted.store(0);
    if (m_hQuitEvent != nullptr) SetEvent(m_hQuitEvent);
    if (m_hWriteEvent != nullptr) SetEvent(m_hWriteEvent);
    // A thread still running uses this object: it is never freed under it.
    bool ended = true;
    for (HANDLE* thread : {&m_hWriteThread, &m_hSwitchThread}) {
        if (*thread == nullptr) continue;
        if (WaitForSingleObject(*thread, kStopWaitMs) != WAIT_OBJECT_0) {
            ended = false;
            continue;
        }
        CloseHandle(*thread);
        *thread = nullptr;
    }
    if (!ended) return false;
    if (m_hWriteEvent != nullptr) CloseHandle(m_hWriteEvent);
    if (m_hQuitEvent != nullptr) CloseHandle(m_hQuitEvent);
    m_hWriteEvent = m_hQuitEvent = nullptr;
    if (m_bLockMade) {
        {
            CCSLocker lock(&m_csMerger);
            std::lock_guard<std::mutex> pending(m_PendingLock);
            for (LogMergeBuff* buff : m_Buffers) DeleteBuff(buff);
            m_Buffers.clear();
            m_pCurrent = nullptr;
        }
        DeleteCriticalSection(&m_csMerger);
        m_bLockMade = false;
    }
    return true;
}

void CLogMerger::OnQuit() {
    m_dwRunning.store(0);
    if (m_hQuitEvent != nullptr) SetEvent(m_hQuitEvent);
    NotifyWriteDataThread();
    HANDLE threads[2];
    DWORD count = 0;
    if (m_hWriteThread != nullptr) threads[count++] = m_hWriteThread;
    if (m_hSwitchThread != nullptr) threads[count++] = m_hSwitchThread;
    // The writers behind quit after this returns: a log the write thread
    // passed down later would find them gone. So the wait lasts until the
    // threads have ended, however long the last write-out takes.
    DWORD ret = WAIT_OBJECT_0;
    for (DWORD waited = 0; count != 0;) {
        const DWORD slice = s_dwQuitWaitMs.load();
        ret = WaitForMultipleObjects(count, threads, true, slice);
        if (ret != WAIT_TIMEOUT) break;
        waited += slice;
        Log(Recorder(), LOG_LEVEL_WARN, kMergerTag,
            "[OnQuit] Merger Still Passing Logs Down After %u ms , Waiting On.\n", waited);
    }
    Log(Recorder(), LOG_LEVEL_INFO, kMergerTag, "[OnQuit] Wait Ret = %u\n", ret);
}

void CLogMerger::NotifyWriteDataThread() {
    if (m_hWriteEvent != nullptr) SetEvent(m_hWriteEvent);
}

void CLogMerger::AdjustBufferCount() {
    const auto& c = CConfigManager::GetInstance()->m_ZelkAdv;
    const size_t target = c.GlobalEnableLogMerge.Get() != 0 ? static_cast<size_t>(std::max(0, c.MergeBuffers.Get())) : 0;
    while (m_Buffers.size() < target) {
        LogMergeBuff* buff = NewBuff();
        if (buff == nullptr) break;
        std::lock_guard<std::mutex> pending(m_PendingLock);
        m_Buffers.push_back(buff);
    }
    for (auto it = m_Buffers.begin(); it != m_Buffers.end() && m_Buffers.size() > target;) {
        LogMergeBuff* buff = *it;
        if (buff->busy.load() != 0 || buff->switchRequested != 0) {
            ++it;
            continue;
        }
        if (buff == m_pCurrent) m_pCurrent = nullptr;
        std::lock_guard<std::mutex> pending(m_PendingLock);
        DeleteBuff(buff);
        it = m_Buffers.erase(it);
    }
}

bool CLogMerger::PickFreeLogMergeBuff(LogMergeBuff** out, DWORD timeoutMs, bool warn) {
    CCSLocker lock(&m_csMerger);
    *out = nullptr;
    if (m_Buffers.empty()) return false;
    const DWORD total = static_cast<DWORD>(m_Buffers.size());
    Log(Recorder(), LOG_LEVEL_DEBUG, kMergerTag, "[PickFreeLogMergeBuff] Ready To Wait LogMerge Buff Total = %u\n",
        total);
    HANDLE events[64];
    const DWORD count = std::min<DWORD>(total, 64);
    for (DWORD i = 0; i < count; ++i) events[i] = m_Buffers[i]->freeEvent;
    const DWORD ret = WaitForMultipleObjects(count, events, false, timeoutMs);
    if (ret < WAIT_OBJECT_0 + count) {
        LogMergeBuff* buff = m_Buffers[ret - WAIT_OBJECT_0];
        if (buff->busy.load() == 0 && buff->switchRequested == 0) {
            {
                CCSLocker buffLock(&buff->lock);
                ResetBuff(buff);
            }
            buff->busy.store(1);
            ResetEvent(buff->freeEvent);
            Log(Recorder(), LOG_LEVEL_DEBUG, kMergerTag, "[PickFreeLogMergeBuff] Pick LogMerge Index = %u , Total = %u\n",
                ret - WAIT_OBJECT_0, total);
            *out = buff;
            return true;
        }
    }
    if (warn) {
        Log(Recorder(), LOG_LEVEL_WARN, kMergerTag,
            "[PickFreeLogMergeBuff] Cannot Pick LogMerge Free Buff! Total = %u , WaitRet = %u\n", total, ret);
    }
    return false;
}

bool CLogMerger::EnsureCurrent() {
    if (m_pCurrent != nullptr) {
        bool due;
        {
            CCSLocker buffLock(&m_pCurrent->lock);
            due = IsDue(m_pCurrent);
        }
        if (!due) return true;
        NotifyWriteDataThread();
        AdjustBufferCount();
        LogMergeBuff* full = m_pCurrent;
        if (PickFreeLogMergeBuff(&m_pCurrent, 0, false)) return true;
        // No other buffer is free now. Waiting for one would hold the merger
        // lock that the write thread needs to free it, so the due buffer is
        // passed down here instead and taken again.
        if (std::find(m_Buffers.begin(), m_Buffers.end(), full) != m_Buffers.end() && WriteOutBuff(full, true) != 1) {
            Log(Recorder(), LOG_LEVEL_WARN, kMergerTag, "[SwitchOutLogBuff] At Least One Log Fail While Switch Log Buff\n");
        }
        return PickFreeLogMergeBuff(&m_pCurrent, 0);
    }
    // Left without a buffer earlier: try again now rather than pass every
    // later log through unmerged until the node reconnects.
    AdjustBufferCount();
    return !m_Buffers.empty() && PickFreeLogMergeBuff(&m_pCurrent, 0);
}

LogMergeBuff* CLogMerger::LockCurrent() {
    if (m_pCurrent != nullptr) {
        EnterCriticalSection(&m_pCurrent->lock);
        if (!IsDue(m_pCurrent)) return m_pCurrent;
        LeaveCriticalSection(&m_pCurrent->lock);
    }
    if (!EnsureCurrent()) return nullptr;
    EnterCriticalSection(&m_pCurrent->lock);
    return m_pCurrent;
}

namespace {
// Leaves a buffer lock that LockCurrent entered.
struct HeldBuff {
    explicit HeldBuff(LogMergeBuff* b) : buff(b) {}
    LogMergeBuff* buff;
    ~HeldBuff() {
        if (buff != nullptr) LeaveCriticalSection(&buff->lock);
    }
    HeldBuff(const HeldBuff&) = delete;
    HeldBuff& operator=(const HeldBuff&) = delete;
};
}  // namespace

int CLogMerger::MergeUserLog(std::uint32_t kind, const UserRecordV3* p) {
    if (p == nullptr || !m_bLockMade) return 0;
    CCSLocker lock(&m_csMerger);
    if (m_bWriterDone) return 0;
    const HeldBuff held{LockCurrent()};
    LogMergeBuff* buff = held.buff;
    if (buff == nullptr) return 0;
    const LogMergeBuff::Config& c = buff->config;
    if (c.globalEnable == 0) return 0;
    const std::int32_t action = I32At(*p, offsetof(UserRecordV3, common.action));
    const MergeKey key = KeyOf(*p);
    if (action == 2) {
        if (c.flowEnable != 1) return 0;
        auto it = buff->flowIndex.find(key);
        if (it == buff->flowIndex.end()) return KeepLog(buff, kind, p, action, key);
        UserRecordV3* first = &it->second->packet;
        for (size_t offset : {offsetof(UserRecordV3, upFlux), offsetof(UserRecordV3, downFlux),
                              offsetof(UserRecordV3, rawUpFlux), offsetof(UserRecordV3, rawDownFlux)}) {
            AddCounter(first, *p, offset);
        }
        CountMerged(INFO_COUNTER_MERGE_2);
        loss::Add(loss::MERGED);
        return 1;
    }
    if (action != 3) return KeepLog(buff, kind, p, action, key);
    if (c.userEnable != 1) return 0;
    const std::int32_t result = I32At(*p, offsetof(UserRecordV3, common.result));
    if (result == 2) return KeepLog(buff, kind, p, action, key);
    const std::string_view message = Text(p->message, sizeof(p->message));
    const std::int32_t serviceType = I32At(*p, offsetof(UserRecordV3, common.serviceType));
    if (c.httpFilter != 0 && serviceType == 1) {
        bool matched = false;
        for (const std::string& keyword : buff->keywords) matched = matched || ContainsNoCase(message, keyword);
        if (matched == (c.keepFilterLog == 0)) {
            CountMerged(INFO_COUNTER_MERGE_1);
            loss::Drop(loss::DROP_FILTERED);
            return 1;
        }
    }
    const std::int32_t attribute = I32At(*p, offsetof(UserRecordV3, common.serverAttribute));
    for (auto [it, end] = buff->serviceIndex.equal_range(key); it != end; ++it) {
        const UserRecordV3& old = it->second->packet;
        const std::string_view oldMessage = Text(old.message, sizeof(old.message));
        if (I32At(old, offsetof(UserRecordV3, common.action)) == action &&
            I32At(old, offsetof(UserRecordV3, common.result)) == result &&
            I32At(old, offsetof(UserRecordV3, common.serviceType)) == serviceType &&
            I32At(old, offsetof(UserRecordV3, common.serverAttribute)) == attribute &&
            message.compare(0, oldMessage.size(), oldMessage) == 0) {
            CountMerged(INFO_COUNTER_MERGE_1);
            loss::Add(loss::MERGED);
            return 1;
        }
    }
    return KeepLog(buff, kind, p, action, key);
}

int CLogMerger::MergeSystemLog(std::uint32_t, const packet::SystemRecord* p) {
    if (p == nullptr || !m_bLockMade) return 0;
    CCSLocker lock(&m_csMerger);
    if (m_bWriterDone) return 0;
    const HeldBuff held{LockCurrent()};
    if (held.buff == nullptr || held.buff->config.globalEnable == 0 || held.buff->config.sysEnable != 1) return 0;
    CountMerged(INFO_COUNTER_MERGE_3);
    loss::Drop(loss::DROP_SYSLOG_MERGE);
    return 1;
}

int CLogMerger::WriteOutBuff(LogMergeBuff* buff, bool force) {
    CCSLocker buffLock(&buff->lock);
    if (!force && buff->switchRequested == 0) return 1;
    int result = 1;
    buff->kept.ForEach([&](const LogMergeBuff::Kept& entry) {
        std::uint32_t kind;
        std::memcpy(&kind, reinterpret_cast<const BYTE*>(&entry.packet) + offsetof(UserRecordV3, reserved), sizeof(kind));
        const LogItem item{entry.packet.header.logType, kind, reinterpret_cast<const BYTE*>(&entry.packet)};
        loss::Add(loss::MERGE_OUT);
        if (m_pWriter == nullptr || m_pWriter->WriteLogToNextWriters(&item, nullptr) != 1) result = 0;
    });
    buff->flowIndex.clear();
    buff->serviceIndex.clear();
    buff->kept.clear();
    // Cleared once the writers behind hold the logs (and their own times).
    buff->firstKeptTime.store(0);
    buff->usage = 0;
    buff->shownUsage.store(0, std::memory_order_relaxed);
    buff->switchRequested = 0;
    buff->busy.store(0);
    SetEvent(buff->freeEvent);
    return result;
}

bool CLogMerger::PickSwitchOutLogBuff(LogMergeBuff** out, bool final) {
    CCSLocker lock(&m_csMerger);
    *out = nullptr;
    for (LogMergeBuff* buff : m_Buffers) {
        if (buff->busy.load() == 0) continue;
        if (!final) {
            CCSLocker buffLock(&buff->lock);
            if (buff->switchRequested == 0) continue;
        }
        *out = buff;
        return true;
    }
    Log(Recorder(), LOG_LEVEL_INFO, kMergerTag, "[PickSwitchOutLogBuff] No Log Buff Switch Out.\n");
    return false;
}

int CLogMerger::SwitchOutLogBuff(bool final) {
    int result = 1;
    if (!final) {
        CCSLocker lock(&m_csMerger);
        bool due = m_pCurrent == nullptr;
        if (m_pCurrent != nullptr) {
            CCSLocker buffLock(&m_pCurrent->lock);
            due = IsDue(m_pCurrent);
        }
        if (due) {
            if (m_pCurrent != nullptr && m_Buffers.size() == 1 && WriteOutBuff(m_pCurrent, true) != 1) result = 0;
            m_pCurrent = nullptr;
            AdjustBufferCount();
            PickFreeLogMergeBuff(&m_pCurrent, 0);
        }
    }
    LogMergeBuff* buff = nullptr;
    while (PickSwitchOutLogBuff(&buff, final)) {
        if (buff == m_pCurrent) {
            // The final write-out takes the current buffer too; later logs
            // are not merged any more.
            CCSLocker lock(&m_csMerger);
            m_pCurrent = nullptr;
        }
        if (WriteOutBuff(buff, true) != 1) {
            result = 0;
            Log(Recorder(), LOG_LEVEL_WARN, kMergerTag, "[SwitchOutLogBuff] At Least One Log Fail While Switch Log Buff\n");
        }
    }
    return result;
}

int CLogMerger::SwitchOutInBatch(bool final) {
    // The lines of a write-out reach each data file in one write.
    CDataFileBatch::Scope batch(m_DataFileBatch);
    return SwitchOutLogBuff(final);
}

DWORD CLogMerger::WriteDataProcess(void* param) {
    auto* self = static_cast<CLogMerger*>(param);
    DWORD ret = WAIT_FAILED;
    HANDLE waits[2] = {GetExitEvent(), self->m_hWriteEvent};
    while (self->m_dwRunning.load() == 1) {
        ret = WaitForMultipleObjects(2, waits, false, INFINITE);
        if (ret != WAIT_OBJECT_0 + 1 || self->m_dwRunning.load() != 1) break;
        Log(Recorder(), LOG_LEVEL_INFO, kMergerTag, "[WriteDataProcess] Receive Single To Call SwitchOutLogBuff.\n");
        if (self->SwitchOutInBatch(false) == 1) {
            Log(Recorder(), LOG_LEVEL_INFO, kMergerTag, "[WriteDataProcess] Succeed To Call SwitchOutLogBuff.\n");
        } else {
            Log(Recorder(), LOG_LEVEL_WARN, kMergerTag, "[WriteDataProcess] Something Wrong In Call SwitchOutLogBuff\n");
        }
    }
    {
        // From now on logs pass through unmerged: nobody would write out
        // what a buffer took after this last write-out.
        CCSLocker lock(&self->m_csMerger);
        self->m_bWriterDone = true;
    }
    if (self->SwitchOutInBatch(true) == 1) {
        Log(Recorder(), LOG_LEVEL_INFO, kMergerTag, "[WriteDataProcess] Succeed In Last Call SwitchOutLogBuff.\n");
    } else {
        Log(Recorder(), LOG_LEVEL_WARN, kMergerTag,
            "[WriteDataProcess] Something Wrong In Last Call SwitchOutLogBuff !\n");
    }
    Log(Recorder(), LOG_LEVEL_INFO, kMergerTag, "[WriteDataProcess] Thread Exit Wait WaitRet = %u\n", ret);
    return 0;
}

DWORD CLogMerger::DataBuffSwitcher(void* param) {
    auto* self = static_cast<CLogMerger*>(param);
    DWORD ret = WAIT_TIMEOUT;
    std::int64_t left = 0;
    HANDLE waits[2] = {GetExitEvent(), self->m_hQuitEvent};
    while (self->m_dwRunning.load() == 1) {
        if (left <= 0) {
            left = std::max<std::int64_t>(
                static_cast<std::int64_t>(CConfigManager::GetInstance()->m_ZelkAdv.ParticleTime.Get()) * 1000,
                kSwitchStepMs);
        }
        Log(Recorder(), LOG_LEVEL_DEBUG, kMergerTag, "[DataBuffSwitcher] iLeftTime To Switch = %d ms\n",
            static_cast<int>(left));
        ret = WaitForMultipleObjects(2, waits, false, kSwitchStepMs);
        if (ret != WAIT_TIMEOUT) break;
        left -= kSwitchStepMs;
        if (left <= 0) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kMergerTag, "[DataBuffSwitcher] Need To Call NotifyWriteDataThread\n");
            self->NotifyWriteDataThread();
        }
    }
    Log(Recorder(), LOG_LEVEL_DEBUG, kMergerTag, "[DataBuffSwitcher] Thread Exit With Wait Ret = %u\n", ret);
    return 0;
}

void CLogMerger::AddStatistics(DWORD* buffers, std::uint64_t* totalBytes, std::uint64_t* usedBytes) {
    if (!IsStarted() || !m_bLockMade) return;
    CCSLocker lock(&m_csMerger);
    for (LogMergeBuff* buff : m_Buffers) {
        *buffers += 1;
        *totalBytes += buff->shownSize.load(std::memory_order_relaxed);
        *usedBytes += buff->shownUsage.load(std::memory_order_relaxed);
    }
}

void CLogMerger::SetDbName(const std::string& dbName) {
    std::lock_guard<std::mutex> pending(m_PendingLock);
    m_strDbName = dbName;
}

void CLogMerger::OldestPending(OldestPendingMap* oldest) {
    std::lock_guard<std::mutex> pending(m_PendingLock);
    for (const LogMergeBuff* buff : m_Buffers) NoteOldestPending(oldest, m_strDbName, buff->firstKeptTime.load());
}

// ---- CLogMergeManager --------------------------------------------------------

CLogMergeManager* CLogMergeManager::GetInstance() {
    // Never destroyed: the info query may still read it during shutdown.
    static CLogMergeManager* instance = new CLogMergeManager();
    return instance;
}

CLogMergeManager::CLogMergeManager() { InitializeCriticalSectionAndSpinCount(&m_csManager, kCsSpinCount); }

bool CLogMergeManager::Init() {
    m_dwRunning.store(1);
    return true;
}

bool CLogMergeManager::UnInit() {
    m_dwRunning.store(0);
    return true;
}

CLogMerger* CLogMergeManager::AllocLogMerger() {
    if (m_dwRunning.load() != 1) return nullptr;
    auto* merger = new (std::nothrow) CLogMerger();
    if (merger == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kManagerTag, "[AllocLogMerger] Cannot Alloc CLogMerger. Maybe Not Enough Memory\n");
        return nullptr;
    }
    CCSLocker lock(&m_csManager);
    m_Mergers.push_back(merger);
    std::lock_guard<std::mutex> live(m_LiveLock);
    m_Live.push_back(merger);
    return merger;
}

bool CLogMergeManager::ReleaseLogMerger(CLogMerger* merger) {
    if (merger == nullptr) return false;
    CCSLocker lock(&m_csManager);
    auto it = std::find(m_Mergers.begin(), m_Mergers.end(), merger);
    if (it == m_Mergers.end()) {
        Log(Recorder(), LOG_LEVEL_WARN, kManagerTag,
            "[ReleaseLogMerger] Cannot Find Specify LogMerger In Manager. Maybe Alloc In The Other Module.\n");
        return false;
    }
    m_Mergers.erase(it);
    {
        std::lock_guard<std::mutex> live(m_LiveLock);
        m_Live.erase(std::find(m_Live.begin(), m_Live.end(), merger));
    }
    if (merger->Stop()) {
        delete merger;
    } else {
        // Its write thread is still passing logs down: the object stays
        // allocated for it rather than be freed under it.
        Log(Recorder(), LOG_LEVEL_WARN, kManagerTag, "[ReleaseLogMerger] LogMerger Threads Still Running. Left Allocated.\n");
    }
    return true;
}

void CLogMergeManager::GetStatistics(DWORD* buffers, std::uint64_t* totalBytes, std::uint64_t* usedBytes) {
    *buffers = 0;
    *totalBytes = 0;
    *usedBytes = 0;
    if (m_dwRunning.load() != 1) return;
    CCSLocker lock(&m_csManager);
    for (CLogMerger* merger : m_Mergers) merger->AddStatistics(buffers, totalBytes, usedBytes);
}

void CLogMergeManager::OldestPending(OldestPendingMap* oldest) {
    std::lock_guard<std::mutex> live(m_LiveLock);
    for (CLogMerger* merger : m_Live) merger->OldestPending(oldest);
}

// ---- CLogMergerLogWriter -----------------------------------------------------

CLogMergerLogWriter::~CLogMergerLogWriter() { UnInit(); }

int CLogMergerLogWriter::Init() {
    m_pMerger = CLogMergeManager::GetInstance()->AllocLogMerger();
    if (m_pMerger == nullptr) return 0;
    m_pMerger->SetWriter(this);
    return m_pMerger->Start() ? 1 : 0;
}

void CLogMergerLogWriter::UnInit() {
    if (m_pMerger == nullptr) return;
    if (!CLogMergeManager::GetInstance()->ReleaseLogMerger(m_pMerger)) {
        if (m_pMerger->Stop()) delete m_pMerger;
    }
    m_pMerger = nullptr;
}

int CLogMergerLogWriter::WriteLog(std::uint32_t kind, const packet::SystemRecord* p, ReplyBuff*) {
    return m_pMerger != nullptr && p != nullptr ? m_pMerger->MergeSystemLog(kind, p) : 0;
}

int CLogMergerLogWriter::WriteLog(std::uint32_t kind, const packet::UserRecordV1* p, ReplyBuff*) {
    if (m_pMerger == nullptr || p == nullptr) return 0;
    const UserRecordV3 wide = WidenToUserV3(*p);
    return m_pMerger->MergeUserLog(kind, &wide);
}

int CLogMergerLogWriter::WriteLog(std::uint32_t kind, const packet::UserRecordV2* p, ReplyBuff*) {
    if (m_pMerger == nullptr || p == nullptr) return 0;
    const UserRecordV3 wide = WidenToUserV3(*p);
    return m_pMerger->MergeUserLog(kind, &wide);
}

int CLogMergerLogWriter::WriteLog(std::uint32_t kind, const UserRecordV3* p, ReplyBuff*) {
    return m_pMerger != nullptr && p != nullptr ? m_pMerger->MergeUserLog(kind, p) : 0;
}

int CLogMergerLogWriter::WriteLog(const LogItem* item, ReplyBuff* reply) { return DispatchItem(item, reply, kItemTypes); }

void CLogMergerLogWriter::SetDbName(const char* dbName) {
    if (m_pMerger != nullptr && dbName != nullptr) m_pMerger->SetDbName(dbName);
}

void CLogMergerLogWriter::OnQuit() {
    if (m_pMerger != nullptr) m_pMerger->OnQuit();
}
