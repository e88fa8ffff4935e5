#include "core/modules/BuffManager.h"

#include <cstdlib>
#include <new>

#include "core/ProgramLog.h"

CBuffManager* CBuffManager::GetInstance() {
    // Never destroyed: buffers may be released by threads that outlive main.
    static CBuffManager* instance = new CBuffManager();
    return instance;
}

bool CBuffManager::Init() {
    bool ok = InitializeCriticalSectionAndSpinCount(&m_csBuffers, kCsSpinCount);
    if (ok) m_nInitialised.store(1);
    return ok;
}

bool CBuffManager::UnInit() {
    m_nInitialised.store(0);
    DeleteCriticalSection(&m_csBuffers);
    return true;
}

BYTE* CBuffManager::AllocByteBuff(DWORD size, const char* file, DWORD line) {
    if (size == 0 || !IsInitialised()) return nullptr;
    auto* buffer = static_cast<BYTE*>(std::calloc(size, 1));
    if (buffer == nullptr) return nullptr;
    try {
        CCSLocker lock(&m_csBuffers);
        m_Buffers[buffer] = BuffRecord{buffer, size, file != nullptr ? file : "", line};
    } catch (const std::bad_alloc&) {
        std::free(buffer);
        return nullptr;
    }
    return buffer;
}

bool CBuffManager::ReleaseByteBuff(void* buffer) {
    if (buffer == nullptr || !IsInitialised()) return false;
    {
        CCSLocker lock(&m_csBuffers);
        auto it = m_Buffers.find(buffer);
        if (it != m_Buffers.end()) {
            m_Buffers.erase(it);
            std::free(buffer);
            return true;
        }
    }
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, "[CBuffManager]",
        "[ReleaseByteBuff] 0x%llx Not In BuffManager\n",
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(buffer)));
    return false;
}

size_t CBuffManager::RegisteredCount() {
    CCSLocker lock(&m_csBuffers);
    return m_Buffers.size();
}
