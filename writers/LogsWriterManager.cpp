#include "writers/LogsWriterManager.h"

#include <algorithm>
#include <string>
#include <typeinfo>

#include "core/ProgramLog.h"
#include "core/TypeName.h"
#include "core/modules/CSLocker.h"

namespace {

constexpr char kClassTag[] = "[CVarnholtLogsWriterManager]";

}  // namespace

int CBaseLogWriter::WriteLogToNextWriters(const LogItem* item, ReplyBuff* reply) {
    return m_pManager != nullptr ? m_pManager->PassDown(this, item, reply) : 0;
}

int CBaseLogWriter::WriteServiceRowToNextWriters(const ServiceRow& row) {
    return m_pManager != nullptr ? m_pManager->PassServiceRowDown(this, row) : 0;
}

int CBaseLogWriter::DispatchItem(const LogItem* item, ReplyBuff* reply, std::uint32_t mask) {
    if (item == nullptr || item->packet == nullptr || item->logType >= 32 || (mask & (1u << item->logType)) == 0) {
        return 0;
    }
    const std::uint32_t kind = item->packetKind;
    const BYTE* p = item->packet;
    switch (item->logType) {
        case packet::LOG_KEEPALIVE: return WriteLog(kind, reinterpret_cast<const packet::KeepAliveRecord*>(p), reply);
        case packet::LOG_USER: return WriteLog(kind, reinterpret_cast<const packet::UserRecordV1*>(p), reply);
        case packet::LOG_AUDIT: return WriteLog(kind, reinterpret_cast<const packet::AuditRecord*>(p), reply);
        case packet::LOG_ADMIN: return WriteLog(kind, reinterpret_cast<const packet::AdminRecord*>(p), reply);
        case packet::LOG_ALARM: return WriteLog(kind, reinterpret_cast<const packet::AlarmRecord*>(p), reply);
        case packet::LOG_SYSTEM: return WriteLog(kind, reinterpret_cast<const packet::SystemRecord*>(p), reply);
        case packet::LOG_USER_V2: return WriteLog(kind, reinterpret_cast<const packet::UserRecordV2*>(p), reply);
        case packet::LOG_USER_V3: return WriteLog(kind, reinterpret_cast<const packet::UserRecordV3*>(p), reply);
        default: return 0;
    }
}

void CVarnholtLogsWriterManager::InstallLogWriterChain() {
    InstallLogWriterChain({&m_MergerWriter, &m_DataFileWriter, &m_FinalWriter});
}

void CVarnholtLogsWriterManager::InstallLogWriterChain(std::initializer_list<CBaseLogWriter*> writers) {
    m_Chain.assign(writers.begin(), writers.end());
    for (CBaseLogWriter* writer : m_Chain) {
        if (writer == nullptr) continue;
        const int ok = writer->Init();
        {
            CCSLocker lock(TypeNameLock());
            const std::string name = RuntimeClassName(typeid(*writer));
            if (ok == 0) {
                Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, kClassTag,
                    "[InstallLogWriterChain] Fail To Call Log Writer Init(). Name = %s\n", name.c_str());
            } else {
                Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_DEBUG, kClassTag,
                    "[InstallLogWriterChain] Call Log Writer Init() Succeed. Name = %s\n", name.c_str());
            }
        }
        writer->SetLogsWriterManager(this);
    }
}

void CVarnholtLogsWriterManager::UnInstallLogWriterChain() {
    for (CBaseLogWriter* writer : m_Chain) {
        if (writer != nullptr) writer->UnInit();
    }
    m_Chain.clear();
}

void CVarnholtLogsWriterManager::SetDbName(const char* dbName) {
    if (dbName == nullptr) return;
    for (CBaseLogWriter* writer : m_Chain) {
        if (writer != nullptr) writer->SetDbName(dbName);
    }
}

void CVarnholtLogsWriterManager::OnQuit() {
    for (CBaseLogWriter* writer : m_Chain) {
        if (writer != nullptr) writer->OnQuit();
    }
}

int CVarnholtLogsWriterManager::PassDown(const CBaseLogWriter* writer, const LogItem* item, ReplyBuff* reply) {
    if (writer == nullptr || item == nullptr) return 0;
    auto it = std::find(m_Chain.begin(), m_Chain.end(), writer);
    if (it == m_Chain.end()) return 0;
    int result = 0;
    for (++it; it != m_Chain.end(); ++it) {
        if (*it == nullptr) continue;
        result = (*it)->WriteLog(item, reply);
        if (result == 1) return 1;
    }
    return result;
}

int CVarnholtLogsWriterManager::PassServiceRowDown(const CBaseLogWriter* writer, const ServiceRow& row) {
    auto it = std::find(m_Chain.begin(), m_Chain.end(), writer);
    if (it == m_Chain.end()) return 0;
    for (++it; it != m_Chain.end(); ++it) {
        if (*it != nullptr && (*it)->WriteServiceRow(row) == 1) return 1;
    }
    return 0;
}
