// The writer interface of the log chain, the log item and the reply buffer.
//
// Every validated log of a node is offered to the node's writers in chain
// order; the first that reports it handled (1) ends the walk, a writer that
// declines (0) lets it fall through to the writers behind it. The base class
// declines everything, so a writer overrides only what it takes part in.
// Packets are passed as typed pointers into the bytes the record task holds
// (packed layouts, valid only for the call; a writer that keeps a log copies
// it).
#pragma once

#include <cstdint>

#include "platform/WinTypes.h"
#include "protocol/PacketFormat.h"

// Reply area of audit-file transactions: capacity and used, a spare word,
// then the data the writer answers with.
struct ReplyBuff {
    std::uint32_t capacity;
    std::uint32_t used;
    std::uint32_t reserved;
    BYTE data[1];
};

// An audit-file transaction packet (its record is read by offsets).
struct UserAuditFilePacket {
    packet::PacketHeader header;
};

// A log passed without a typed call: the merger's re-offer, the item entry.
struct LogItem {
    std::uint32_t logType;
    std::uint32_t packetKind;
    const BYTE* packet;
};

// The usrsvrlog row of a service access whose usrbasiclog row is stored
// already: the data-file writer hands it on alone when its own file fails.
struct ServiceRow {
    const packet::UserRecordV3* record;
    std::int32_t userId;
    const std::string& when;
    std::int64_t recordId;
};

class CVarnholtLogsWriterManager;

class CBaseLogWriter {
public:
    CBaseLogWriter() = default;
    virtual ~CBaseLogWriter() { m_pManager = nullptr; }
    CBaseLogWriter(const CBaseLogWriter&) = delete;
    CBaseLogWriter& operator=(const CBaseLogWriter&) = delete;

    virtual int Init() { return 1; }
    virtual void UnInit() {}

    virtual int WriteLog(std::uint32_t kind, const UserAuditFilePacket* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::KeepAliveRecord* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::SystemRecord* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::AlarmRecord* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::AuditRecord* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::AdminRecord* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::UserRecordV3* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::UserRecordV2* p, ReplyBuff* reply) { return 0; }
    virtual int WriteLog(std::uint32_t kind, const packet::UserRecordV1* p, ReplyBuff* reply) { return 0; }
    // Item entry point; the base declines.
    virtual int WriteLog(const LogItem* item, ReplyBuff* reply) { return 0; }
    // A service access's usrsvrlog row alone; the base declines.
    virtual int WriteServiceRow(const ServiceRow& row) { return 0; }

    virtual void SetDbName(const char* dbName) {}
    void SetLogsWriterManager(CVarnholtLogsWriterManager* manager) { m_pManager = manager; }
    // Offers an item to the writers behind this one; 0 without a manager.
    int WriteLogToNextWriters(const LogItem* item, ReplyBuff* reply);
    int WriteServiceRowToNextWriters(const ServiceRow& row);
    virtual void OnQuit() {}

protected:
    // Item dispatch shared by the writers: the item's type selects the typed
    // overload; types outside mask (bit per type code) give 0.
    int DispatchItem(const LogItem* item, ReplyBuff* reply, std::uint32_t mask);

    CVarnholtLogsWriterManager* m_pManager = nullptr;
};
