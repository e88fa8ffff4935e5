#include "node/RingCache.h"

#include <cstring>

#include "core/modules/BuffManager.h"

CRingCache::~CRingCache() { UnInit(); }

bool CRingCache::Init(DWORD size) {
    UnInit();
    m_dwSize = size;
    m_pBuffer = AllocBuff(size + kExtraAllocation);  // zero-filled: the back reserve starts zeroed
    if (m_pBuffer == nullptr) return false;
    BYTE* start = RingStart();
    m_pRead.store(start);
    m_pWrite.store(start);
    m_pDataStart.store(start);
    m_pDataEnd.store(RingEnd());
    m_qwWritten.store(0);
    m_qwRead.store(0);
    m_bDataWanted.store(false);
    m_bRoomWanted.store(false);
    m_hNotFull = CreateEvent(false, true);
    m_hDataReady = CreateEvent(false, false);
    if (m_hNotFull == nullptr || m_hDataReady == nullptr) {
        UnInit();
        return false;
    }
    m_bReady.store(true, std::memory_order_release);
    return true;
}

bool CRingCache::UnInit() {
    m_bReady.store(false);
    if (m_hNotFull != nullptr) CloseHandle(m_hNotFull);
    if (m_hDataReady != nullptr) CloseHandle(m_hDataReady);
    m_hNotFull = nullptr;
    m_hDataReady = nullptr;
    if (m_pBuffer != nullptr) ReleaseByteBuff(m_pBuffer);
    m_pBuffer = nullptr;
    m_pRead.store(nullptr);
    m_pWrite.store(nullptr);
    m_pDataStart.store(nullptr);
    m_pDataEnd.store(nullptr);
    return true;
}

bool CRingCache::GetCanWriteSize(DWORD* free) {
    BYTE* read = m_pRead.load(std::memory_order_acquire);
    BYTE* write = m_pWrite.load(std::memory_order_relaxed);
    if (m_pBuffer == nullptr || read == nullptr || write == nullptr || m_pDataEnd.load() == nullptr) return false;

    std::int64_t space = 0;
    if (write < read) {
        space = read - write - 1;
    } else {
        space = RingEnd() - write - 1;
        if (space < kMinWriteSpace) {
            if (read > RingStart()) {
                // Wrap early: the reader learns where the valid data ends
                // before it can see the moved write position.
                m_pDataEnd.store(write, std::memory_order_relaxed);
                m_pWrite.store(RingStart(), std::memory_order_release);
                space = read - RingStart() - 1;
            } else {
                space = 0;
            }
        }
    }
    if (free != nullptr) *free = static_cast<DWORD>(space < 0 ? 0 : space);
    return space >= kMinWriteSpace;
}

bool CRingCache::IsFull() const {
    if (!IsInitialised()) return false;
    BYTE* read = m_pRead.load(std::memory_order_acquire);
    BYTE* write = m_pWrite.load(std::memory_order_acquire);
    std::int64_t space = write < read ? read - write - 1 : RingEnd() - write - 1;
    if (write >= read && space < kMinWriteSpace && read > RingStart()) space = read - RingStart() - 1;
    return space < kMinWriteSpace;
}

void CRingCache::WriteCommit(DWORD count) {
    BYTE* write = m_pWrite.load(std::memory_order_relaxed);
    if (write == nullptr || count == 0) return;
    m_pWrite.store(write + count, std::memory_order_release);
    m_qwWritten.fetch_add(count);
    if (m_bDataWanted.load() && m_bDataWanted.exchange(false)) SetEvent(m_hDataReady);
}

bool CRingCache::GetCanReadSize(DWORD* readable) {
    BYTE* write = m_pWrite.load(std::memory_order_acquire);
    BYTE* read = m_pRead.load(std::memory_order_relaxed);
    BYTE* dataEnd = m_pDataEnd.load(std::memory_order_relaxed);
    if (m_pBuffer == nullptr || read == nullptr || write == nullptr || m_pDataStart.load() == nullptr ||
        dataEnd == nullptr) {
        return false;
    }

    std::int64_t count = 0;
    if (write >= read) {
        count = write - read;
    } else {
        const std::int64_t tail = dataEnd - read;
        if (tail == 0) {
            // Caught up with the wrap point: continue at the ring start.
            m_pDataStart.store(RingStart());
            m_pDataEnd.store(RingEnd(), std::memory_order_relaxed);
            m_pRead.store(RingStart(), std::memory_order_release);
            count = write - RingStart();
        } else if (tail >= kMinWriteSpace) {
            count = tail;
        } else {
            // Join a short tail to the wrapped data by moving it in front of
            // the ring start; the writer never writes there.
            BYTE* moved = RingStart() - tail;
            std::memmove(moved, read, static_cast<size_t>(tail));
            m_pDataStart.store(moved);
            m_pRead.store(moved, std::memory_order_release);
            count = write - moved;
        }
    }
    if (readable != nullptr) *readable = static_cast<DWORD>(count);
    return count > 0;
}

void CRingCache::ReadCommit(DWORD count) {
    BYTE* read = m_pRead.load(std::memory_order_relaxed);
    if (read == nullptr || count == 0) return;
    m_pRead.store(read + count, std::memory_order_release);
    m_qwRead.fetch_add(count);
    if (m_bRoomWanted.load() && m_bRoomWanted.exchange(false)) SetEvent(m_hNotFull);
}

// The flag store and the count load are sequentially consistent, as are the
// committer's count update and flag load: either the committer sees the flag
// or the waiter sees the new count.
bool CRingCache::ArmDataReady(std::uint64_t seenWriteCount) {
    m_bDataWanted.store(true);
    return m_qwWritten.load() == seenWriteCount;
}

bool CRingCache::ArmNotFull(std::uint64_t seenReadCount) {
    m_bRoomWanted.store(true);
    return m_qwRead.load() == seenReadCount;
}
