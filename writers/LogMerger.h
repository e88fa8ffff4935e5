// The log merger: the first writer of every node's chain. It keeps user logs
// back for ParticleTime seconds in merge buffers, adds up the counters of flow
// logs with one merge key, drops repeated service-access logs and filters web
// access by keywords; a write thread then hands every kept log, in arrival
// order, to the writers behind it.
//
// What callers may rely on:
// - Threads. The record task's thread merges (merger lock, then buffer
//   lock); the merger's write thread writes buffers out; its switch thread
//   only signals; the info query reads the statistics (manager lock, then
//   merger lock). The merger lock is recursive.
// - Lifetime. CLogMergeManager is created on first use and never destroyed;
//   a merger lives from AllocLogMerger to ReleaseLogMerger.
// - Nothing kept is lost at the end of a connection: OnQuit ends the threads
//   after the write thread has passed every kept log down the chain.
// - A log that finds the current buffer due never waits for a free buffer
//   while holding the merger lock (the write thread needs that lock to free
//   one): when no other buffer is free at once, the due buffer is passed
//   down on the record task's thread and taken again. A merger that was left
//   without a buffer picks one again at the next log or switch-thread tick,
//   instead of passing logs through unmerged until the node reconnects.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <string>
#include <vector>

#include "core/OldestPending.h"
#include "core/StoppableThread.h"
#include "platform/Sync.h"
#include "writers/DataFileBatch.h"
#include "platform/WinTypes.h"
#include "protocol/PacketFormat.h"
#include "writers/BaseLogWriter.h"

class CLogMergerLogWriter;

// The merge key of a user log: server address, the word at the server port
// (port and the first two name bytes), client address, group ID and name.
struct MergeKey {
    std::uint32_t server = 0;
    std::uint32_t portWord = 0;
    std::uint32_t client = 0;
    std::uint32_t group = 0;
    std::string name;
    bool operator<(const MergeKey& other) const;
};

// One merge buffer.
struct LogMergeBuff {
    struct Config {
        std::int32_t globalEnable = 0;
        DWORD particleMs = 0;           // ParticleTime in ms (when global merge is on)
        std::uint64_t sizeBytes = 0;    // MergeBufferSize in bytes (idem)
        std::int32_t mergeBuffers = 0;
        std::int32_t userEnable = 0;
        std::int32_t httpFilter = 0;
        std::string httpFilterList;
        std::int32_t keepFilterLog = 0;
        std::int32_t flowEnable = 0;
        std::int32_t sysEnable = 0;
    };
    struct Kept {
        packet::UserRecordV3 packet;  // packet kind stored in its last four bytes
    };

    // The kept logs in arrival order, in blocks of kBlock: an entry never
    // moves while the buffer keeps it (the indexes point at entries), a log
    // costs no allocation of its own, and clear keeps the first block.
    class KeptStore {
    public:
        static constexpr std::size_t kBlock = 64;
        Kept& push_back(const Kept& entry) {
            if (m_Size == m_Blocks.size() * kBlock) m_Blocks.push_back(std::make_unique_for_overwrite<Kept[]>(kBlock));
            Kept& slot = m_Blocks[m_Size / kBlock][m_Size % kBlock];
            slot = entry;
            ++m_Size;
            return slot;
        }
        std::size_t size() const { return m_Size; }
        void clear() {
            if (m_Blocks.size() > 1) m_Blocks.resize(1);
            m_Size = 0;
        }
        template <class Fn>
        void ForEach(Fn&& fn) const {
            for (std::size_t i = 0; i < m_Size; ++i) fn(m_Blocks[i / kBlock][i % kBlock]);
        }

    private:
        std::vector<std::unique_ptr<Kept[]>> m_Blocks;
        std::size_t m_Size = 0;
    };

    Config config;
    std::vector<std::string> keywords;  // each with " ," appended
    std::atomic<DWORD> busy{0};
    DWORD switchRequested = 0;
    DWORD startTick = 0;
    std::uint64_t usage = 0;
    // usage and config.sizeBytes as the info query reads them: without the
    // buffer's lock, so that a query never holds up the intake.
    std::atomic<std::uint64_t> shownUsage{0};
    std::atomic<std::uint64_t> shownSize{0};
    // Unix seconds of the first log kept since the buffer was last emptied,
    // 0 while it keeps none; set under the lock, read without it.
    std::atomic<std::int64_t> firstKeptTime{0};
    HANDLE freeEvent = nullptr;
    CRITICAL_SECTION lock;
    KeptStore kept;
    // Index nodes come from a pool of the buffer: emptied with the buffer,
    // reused by the next logs.
    std::pmr::unsynchronized_pool_resource indexPool;
    std::pmr::multimap<MergeKey, Kept*> flowIndex{&indexPool};
    std::pmr::multimap<MergeKey, Kept*> serviceIndex{&indexPool};
};

class CLogMerger {
public:
    static constexpr DWORD kPickWaitMs = 10000;
    static constexpr DWORD kQuitWaitMs = 10000;
    static constexpr DWORD kStopWaitMs = 60000;
    static constexpr std::uint64_t kKeptLogCost = 824;
    static constexpr std::uint64_t kIndexEntryCost = 124;

    static inline std::atomic<DWORD> s_dwQuitWaitMs{kQuitWaitMs};

    CLogMerger() = default;
    ~CLogMerger();
    CLogMerger(const CLogMerger&) = delete;
    CLogMerger& operator=(const CLogMerger&) = delete;

    bool Start();
    // Ends the threads and frees the buffers; false (nothing freed) when a
    // thread did not end within kStopWaitMs, so the object must stay.
    bool Stop();
    // Ends the threads after their last write-out and waits until they have
    // passed everything down (a WARN line every quit-wait slice while they
    // have not), so that the writers behind quit only afterwards.
    void OnQuit();
    // Tests shorten the slice of the quit's wait.
    static void SetQuitWaitMs(DWORD ms) { s_dwQuitWaitMs.store(ms); }
    void SetWriter(CLogMergerLogWriter* writer) { m_pWriter = writer; }

    // 1 when the log was kept, merged or dropped; 0 when it goes on unmerged.
    int MergeUserLog(std::uint32_t kind, const packet::UserRecordV3* p);
    int MergeSystemLog(std::uint32_t kind, const packet::SystemRecord* p);

    // Buffers, their total size and their estimated use (merger lock).
    void AddStatistics(DWORD* buffers, std::uint64_t* totalBytes, std::uint64_t* usedBytes);
    // The node's database, for OldestPending.
    void SetDbName(const std::string& dbName);
    // Notes when the oldest log kept in a buffer came, for the merger's
    // database. Takes only the small lock of the buffer list: never the
    // merger lock, which a write-out down to MySQL may hold.
    void OldestPending(OldestPendingMap* oldest);
    bool IsStarted() const { return m_dwStarted.load() == 1; }

private:
    static DWORD WriteDataProcess(void* merger);
    static DWORD DataBuffSwitcher(void* merger);
    void AdjustBufferCount();
    bool PickFreeLogMergeBuff(LogMergeBuff** out, DWORD timeoutMs, bool warn = true);
    bool PickSwitchOutLogBuff(LogMergeBuff** out, bool final);
    int SwitchOutLogBuff(bool final);
    // SwitchOutLogBuff inside the write thread's data-file batch.
    int SwitchOutInBatch(bool final);
    // Passes the buffer's kept logs down (forced, or when switch-requested).
    int WriteOutBuff(LogMergeBuff* buff, bool force);
    // Makes sure the merger has a current buffer that is not due; false when
    // it has none (the log then goes on unmerged).
    bool EnsureCurrent();
    // The current buffer, not due, with its lock held (one lock per log on
    // the common path); nullptr when there is none. Under the merger lock.
    LogMergeBuff* LockCurrent();
    void NotifyWriteDataThread();

    CRITICAL_SECTION m_csMerger;
    bool m_bLockMade = false;
    std::atomic<DWORD> m_dwRunning{0};
    std::atomic<DWORD> m_dwStarted{0};
    HANDLE m_hWriteThread = nullptr;
    CDataFileBatch m_DataFileBatch;  // the write thread's lines of one write-out
    HANDLE m_hSwitchThread = nullptr;
    HANDLE m_hWriteEvent = nullptr;
    HANDLE m_hQuitEvent = nullptr;  // manual reset: ends the switch thread's wait
    bool m_bWriterDone = false;     // the write thread made its last write-out (merger lock)
    // Changed under the merger lock and m_PendingLock; read under either.
    std::vector<LogMergeBuff*> m_Buffers;
    std::mutex m_PendingLock;
    std::string m_strDbName;  // guarded by m_PendingLock
    LogMergeBuff* m_pCurrent = nullptr;
    CLogMergerLogWriter* m_pWriter = nullptr;
};

class CLogMergeManager {
public:
    static CLogMergeManager* GetInstance();

    bool Init();
    bool UnInit();
    CLogMerger* AllocLogMerger();
    bool ReleaseLogMerger(CLogMerger* merger);
    // Summed over every started merger; all zero when the manager is not
    // running.
    void GetStatistics(DWORD* buffers, std::uint64_t* totalBytes, std::uint64_t* usedBytes);
    // CLogMerger::OldestPending of every merger from its allocation to its
    // release, under a lock of its own (the manager lock is held while a
    // released merger's threads end).
    void OldestPending(OldestPendingMap* oldest);

private:
    CLogMergeManager();

    std::atomic<DWORD> m_dwRunning{0};
    CRITICAL_SECTION m_csManager;
    std::vector<CLogMerger*> m_Mergers;
    std::mutex m_LiveLock;
    std::vector<CLogMerger*> m_Live;  // m_Mergers as OldestPending reads it
};

class CLogMergerLogWriter : public CBaseLogWriter {
public:
    CLogMergerLogWriter() = default;
    ~CLogMergerLogWriter() override;

    int Init() override;
    void UnInit() override;
    int WriteLog(std::uint32_t kind, const packet::SystemRecord* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV1* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV2* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV3* p, ReplyBuff* reply) override;
    int WriteLog(const LogItem* item, ReplyBuff* reply) override;
    using CBaseLogWriter::WriteLog;
    void OnQuit() override;
    void SetDbName(const char* dbName) override;

private:
    CLogMerger* m_pMerger = nullptr;
};
