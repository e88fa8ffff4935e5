// Pool of registered, zero-filled byte buffers.
//
// Every buffer handed out is recorded (address, size, allocating file and
// line), so that the release of an address the pool never handed out, or a
// second release of the same buffer, is detected and reported instead of
// corrupting the heap. Any thread may allocate or release; the registry lock
// is held only for the map operation. Use it for large or long-lived buffers,
// not for small temporaries: each buffer costs a heap allocation and a map
// node.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "core/modules/CSLocker.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

struct BuffRecord {
    void* address;
    DWORD size;
    std::string file;
    DWORD line;
};

class CBuffManager {
public:
    static CBuffManager* GetInstance();

    bool Init();
    bool UnInit();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    // Zero-filled buffer of size bytes, or null (size 0, not initialised, no
    // memory).
    BYTE* AllocByteBuff(DWORD size, const char* file, DWORD line);
    // Frees a registered buffer; an unknown address is reported and not freed.
    bool ReleaseByteBuff(void* buffer);

    size_t RegisteredCount();

private:
    CBuffManager() = default;

    std::map<void*, BuffRecord> m_Buffers;
    CRITICAL_SECTION m_csBuffers;
    std::atomic<std::int32_t> m_nInitialised{0};
};

// The one allocation entry point used throughout the program.
inline BYTE* AllocBuff(DWORD size) { return CBuffManager::GetInstance()->AllocByteBuff(size, __FILE__, __LINE__); }

inline bool ReleaseByteBuff(void* buffer) { return CBuffManager::GetInstance()->ReleaseByteBuff(buffer); }
