// Scoped critical-section lock. Constructing it enters the section, leaving
// the scope (by any path, exceptions included) leaves it. Sections are
// recursive, so a thread may take one it already holds.
#pragma once

#include "platform/Sync.h"

class CCSLocker {
public:
    explicit CCSLocker(CRITICAL_SECTION* cs) : m_pcs(cs) { EnterCriticalSection(m_pcs); }
    virtual ~CCSLocker() { LeaveCriticalSection(m_pcs); }
    CCSLocker(const CCSLocker&) = delete;
    CCSLocker& operator=(const CCSLocker&) = delete;

private:
    CRITICAL_SECTION* m_pcs;
};
