// Single-writer, single-reader byte ring between two threads.
//
// The writer never gets less than 2,048 bytes of contiguous write space: when
// fewer are left before the ring end it wraps early and marks the end of the
// valid data there. The reader always gets contiguous bytes: an unread tail
// shorter than 2,048 bytes left before the wrap point is moved in front of the
// ring start (into a reserve of 2,048 bytes), so that it joins the wrapped
// data. Every write or read is preceded by its own Get call, which may move
// positions.
//
// Threads: the writer owns the write position (and the data end when it
// wraps), the reader owns the read position and the data start (and the data
// end when it catches up with the wrap point). Positions are atomics: the
// writer publishes its bytes with the write position (release), the reader
// frees space with the read position (release).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CRingCache {
public:
    static constexpr DWORD kMinWriteSpace = 2048;
    static constexpr DWORD kFrontReserve = 2048;
    static constexpr DWORD kExtraAllocation = 4096;

    CRingCache() = default;
    virtual ~CRingCache();
    CRingCache(const CRingCache&) = delete;
    CRingCache& operator=(const CRingCache&) = delete;

    bool Init(DWORD size);
    bool UnInit();
    // True from the end of a successful Init to UnInit. Another thread that
    // sees it true also sees the buffer and the events Init made.
    bool IsInitialised() const { return m_bReady.load(std::memory_order_acquire); }

    // Free contiguous bytes at the write position; true when at least 2,048.
    bool GetCanWriteSize(DWORD* free);
    // For an observer on another thread: true when the writer would get less
    // than 2,048 bytes even after wrapping. Moves nothing, unlike
    // GetCanWriteSize, which only the writer may call.
    bool IsFull() const;
    void WriteCommit(DWORD count);
    // Contiguous readable bytes at the read position; true when more than 0.
    bool GetCanReadSize(DWORD* readable);
    void ReadCommit(DWORD count);

    // Commit signals. The events are set only for a side that said it is
    // about to wait, so a busy ring makes no system call per commit. A
    // waiter takes the count of the other side's commits before it looks at
    // the ring, and arms just before waiting: Arm... returns false when the
    // other side committed since (look again instead of waiting); otherwise
    // the other side's next commit sets the event.
    std::uint64_t WriteCount() const { return m_qwWritten.load(); }
    std::uint64_t ReadCount() const { return m_qwRead.load(); }
    bool ArmDataReady(std::uint64_t seenWriteCount);
    bool ArmNotFull(std::uint64_t seenReadCount);

    BYTE* GetWritePos() const { return m_pWrite.load(std::memory_order_relaxed); }
    BYTE* GetReadPos() const { return m_pRead.load(std::memory_order_relaxed); }
    HANDLE GetNotFullEvent() const { return m_hNotFull; }
    HANDLE GetDataReadyEvent() const { return m_hDataReady; }

    // True when the writer has wrapped and bytes wait at the ring start
    // behind the ones readable at the read position (reader's view).
    bool HasWrappedData() const {
        BYTE* write = m_pWrite.load(std::memory_order_acquire);
        return write != nullptr && write < m_pRead.load(std::memory_order_relaxed);
    }

    // Layout, for tests and the record task's bounds checks.
    BYTE* RingStart() const {
        BYTE* buffer = m_pBuffer.load(std::memory_order_relaxed);
        return buffer != nullptr ? buffer + kFrontReserve : nullptr;
    }
    BYTE* RingEnd() const {
        BYTE* buffer = m_pBuffer.load(std::memory_order_relaxed);
        return buffer != nullptr ? buffer + kFrontReserve + m_dwSize.load(std::memory_order_relaxed) : nullptr;
    }
    BYTE* DataStart() const { return m_pDataStart.load(); }
    BYTE* DataEnd() const { return m_pDataEnd.load(); }
    DWORD Size() const { return m_dwSize.load(std::memory_order_relaxed); }

private:
    std::atomic<BYTE*> m_pRead{nullptr};
    std::atomic<BYTE*> m_pWrite{nullptr};
    std::atomic<BYTE*> m_pDataStart{nullptr};
    std::atomic<BYTE*> m_pDataEnd{nullptr};
    std::atomic<std::uint64_t> m_qwWritten{0};
    std::atomic<std::uint64_t> m_qwRead{0};
    std::atomic<bool> m_bDataWanted{false};
    std::atomic<bool> m_bRoomWanted{false};
    HANDLE m_hNotFull = nullptr;
    HANDLE m_hDataReady = nullptr;
    // Atomic so that an observer (IsFull) may look while the owner's thread
    // ends and un-initialises the ring; m_bReady publishes them.
    std::atomic<DWORD> m_dwSize{0};
    std::atomic<BYTE*> m_pBuffer{nullptr};
    std::atomic<bool> m_bReady{false};
};
