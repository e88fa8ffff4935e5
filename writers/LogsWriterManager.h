// The writer chain of one node: the ordered writers every accepted log is
// offered to.
//
// The writers themselves (merger, data-file writer, SQL writer) join the
// chain as they are built; with no writer installed every WriteLog declines
// (returns 0), and the record task drops the log as not handled.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinTypes.h"

// Reply area of audit-file transactions: a 12-byte head then the data.
struct ReplyBuff {
    std::uint32_t capacity;
    std::uint32_t used;
    std::uint32_t reserved;
    BYTE data[1];
};

class CVarnholtLogsWriterManager {
public:
    CVarnholtLogsWriterManager() = default;
    virtual ~CVarnholtLogsWriterManager() = default;

    bool InstallLogWriterChain() { return true; }
    void UnInstallLogWriterChain() {}
    void OnQuit() {}
    void SetDbName(const std::string& dbName) { m_strDbName = dbName; }
    const std::string& GetDbName() const { return m_strDbName; }

    // Offers one log to the chain: 1 handled, 0 declined or failed.
    int WriteLog(std::uint32_t logType, int packetKind, const BYTE* packet, ReplyBuff* reply = nullptr) {
        (void)logType;
        (void)packetKind;
        (void)packet;
        (void)reply;
        return 0;
    }

private:
    std::string m_strDbName;
};
