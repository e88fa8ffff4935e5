#include "writers/DataFileLogWriter.h"

#include <cstring>
#include <initializer_list>

#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/Utility.h"
#include "core/modules/CSLocker.h"
#include "datafile/DataFile.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "writers/UserWidening.h"

using namespace packet;

namespace {

constexpr char kClassTag[] = "[CDataFileLogWriter]";
constexpr char kSysLog[] = "syslog";
constexpr char kUsrFlowLog[] = "usrflowlog";
constexpr char kUsrBasicLog[] = "usrbasiclog";
constexpr char kUsrSvrLog[] = "usrsvrlog";
constexpr std::uint32_t kItemTypes = 1u << LOG_USER | 1u << LOG_SYSTEM | 1u << LOG_USER_V2 | 1u << LOG_USER_V3;
constexpr DWORD kTimeTextSize = 127;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

bool LogTime(const PacketHeader& h, std::string* text) {
    char buffer[kTimeTextSize + 1];
    if (!TranslateDWORDTimeToSZ(ReadU32Net(&h.logDateNet), ReadU32Net(&h.logTimeNet), buffer, kTimeTextSize)) {
        return false;
    }
    *text = buffer;
    return true;
}

// A fixed-size UTF-8 field as GBK text, unescaped.
bool GbkText(const char* field, size_t size, std::string* out) {
    const std::string utf8(field, strnlen(field, size));
    return Utf8ToGbkString(utf8.c_str(), *out);
}

// An enclosed field: quotes around the escaped text.
std::string Quoted(const std::string& text) { return "\"" + EscapeLoadDataGbk(text) + "\""; }

// Columns joined by tabs, with the line's "\r\n".
std::string Line(std::initializer_list<std::string> columns) {
    std::string line;
    for (const std::string& column : columns) {
        if (!line.empty()) line += '\t';
        line += column;
    }
    return line + "\r\n";
}

std::string Num(std::int64_t value) { return std::to_string(value); }
std::int32_t I32(const void* p) { return static_cast<std::int32_t>(ReadU32(p)); }
std::int64_t I64(const void* p) {
    std::int64_t value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

// The final writer's rule: the counter taken as unsigned, so that a counter
// past 2^31 still gives a non-negative low word instead of sign bits over the
// tick in the high word.
std::int64_t NextRecordId() {
    const std::uint32_t counter = static_cast<std::uint32_t>(CGlobalSharedData::GetInstance()->NextLogCounter());
    return static_cast<std::int64_t>((counter % 2147483647u) | (static_cast<std::uint64_t>(timeGetTime()) << 32));
}

}  // namespace

std::string EscapeLoadDataGbk(const std::string& text) {
    return EscapeGbk(text, [](unsigned char c) -> const char* {
        switch (c) {
            case '\\': return "\\\\";
            case '"': return "\\\"";
            case '\n': return "\\n";
            case '\r': return "\\r";
            case '\t': return "\\t";
            case '\0': return "\\0";
            default: return nullptr;
        }
    });
}

int CDataFileLogWriter::Init() { return InitializeCriticalSectionAndSpinCount(&m_csTable, kCsSpinCount) ? 1 : 0; }

void CDataFileLogWriter::UnInit() { DeleteCriticalSection(&m_csTable); }

void CDataFileLogWriter::SetDbName(const char* dbName) {
    std::lock_guard<std::mutex> lock(m_NameMutex);
    m_strDbName = dbName != nullptr ? dbName : "";
}

std::string CDataFileLogWriter::DbName() const {
    std::lock_guard<std::mutex> lock(m_NameMutex);
    return m_strDbName;
}

void CDataFileLogWriter::OnQuit() {
    CCSLocker lock(&m_csTable);
    for (const auto& entry : m_TableMap) CDataFileManager::GetInstance()->ReleaseDataFileID(entry.second);
}

void CDataFileLogWriter::ReleaseTableFile(const char* tableName) {
    CCSLocker lock(&m_csTable);
    auto it = m_TableMap.find(tableName);
    if (it == m_TableMap.end()) return;
    CDataFileManager::GetInstance()->ReleaseDataFileID(it->second);
    m_TableMap.erase(it);
}

int CDataFileLogWriter::GetDataFileID(const char* tableName, DWORD* id) {
    CCSLocker lock(&m_csTable);
    auto it = m_TableMap.find(tableName);
    if (it != m_TableMap.end()) {
        *id = it->second;
        return 1;
    }
    const DWORD fresh = CDataFileManager::GetInstance()->AllocDataFileID(DbName().c_str(), tableName);
    if (fresh == 0) return 0;
    m_TableMap[tableName] = fresh;
    *id = fresh;
    return 1;
}

int CDataFileLogWriter::WriteDataToDataFile(const std::string& line, const char*, const char* tableName) {
    if (line.empty()) return 1;
    DWORD id = 0;
    if (GetDataFileID(tableName, &id) == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteDataToDataFile] Cannot Get DataFile ID\n");
        return 0;
    }
    if (id == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteDataToDataFile] Invalid DataFile ID = %u\n", id);
        return 0;
    }
    CDataFile* file = CDataFileManager::GetInstance()->GetDataFileByID(id);
    if (file == nullptr) return 0;
    const auto length = static_cast<DWORD>(line.size());
    if (file->Write(line.data(), length) != length) return 0;
    loss::CountDataFileLine(tableName);
    return 1;
}

int CDataFileLogWriter::WriteLog(const LogItem* item, ReplyBuff* reply) {
    return DispatchItem(item, reply, kItemTypes);
}

int CDataFileLogWriter::WriteLog(std::uint32_t, const SystemRecord* p, ReplyBuff*) {
    std::string when;
    std::string message;
    if (p == nullptr || !LogTime(p->header, &when) || !GbkText(p->message, sizeof(p->message), &message)) return 0;
    const std::string line = Line({Num(I32(&p->level)), Num(I32(&p->process)), Quoted(message), Quoted(when)});
    const std::string db = DbName();
    return WriteDataToDataFile(line, db.c_str(), kSysLog);
}

int CDataFileLogWriter::WriteLog(std::uint32_t kind, const UserRecordV1* p, ReplyBuff* reply) {
    if (p == nullptr) return 0;
    const UserRecordV3 wide = WidenToUserV3(*p);
    return WriteLog(kind, &wide, reply);
}

int CDataFileLogWriter::WriteLog(std::uint32_t kind, const UserRecordV2* p, ReplyBuff* reply) {
    if (p == nullptr) return 0;
    const UserRecordV3 wide = WidenToUserV3(*p);
    return WriteLog(kind, &wide, reply);
}

int CDataFileLogWriter::WriteLog(std::uint32_t kind, const UserRecordV3* p, ReplyBuff*) {
    if (p == nullptr) return 0;
    std::string when;
    if (!LogTime(p->header, &when)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call TranslateDWORDTimeToSZ().\n");
        return 0;
    }
    const std::int64_t recordId = NextRecordId();
    std::string name;
    if (!GbkText(p->common.userName, sizeof(p->common.userName), &name)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call Utf8ToGbkString().\n");
        return 0;
    }
    const std::int32_t groupId = I32(&p->common.groupId);
    std::int32_t userId = 0;
    const std::string db = DbName();
    if (CGlobalSharedData::GetInstance()->GetUserInfoEx(db.empty() ? nullptr : db.c_str(), p->header.identity,
                                                        name.c_str(), &userId, groupId) != 1) {
        const std::string raw(p->common.userName, strnlen(p->common.userName, sizeof(p->common.userName)));
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[WriteLog] Fail To Call GSD.GetUserInfoEx().UserGroupID = %d , RawName = %s , UserNameConverted = %s\n",
            groupId, raw.c_str(), name.c_str());
        return 0;
    }
    const std::int32_t action = I32(&p->common.action);
    if (action == 2) {
        const int result = BuildUserFlowLog(kind, p, userId, when, recordId);
        if (result == 0) Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserFlowLog().\n");
        return result;
    }
    if (action == 3) {
        // Declined without a server: the final writer takes it.
        if (ReadU32Net(&p->common.serverAddressNet) == 0) return 0;
        return BuildUserServiceAccess(p, userId, when, recordId);
    }
    const int result = BuildUserBasicLog(kind, p, userId, when, recordId);
    if (result == 0) Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
    return result;
}

int CDataFileLogWriter::BuildUserServiceAccess(const UserRecordV3* p, std::int32_t userId, const std::string& when,
                                               std::int64_t recordId) {
    std::string basic;
    std::string service;
    if (!FormatUserBasicLog(p, userId, when, recordId, &basic)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        return 0;
    }
    // The usrsvrlog line is made and its file secured first, so that neither
    // leaves the usrbasiclog line written without its usrsvrlog line.
    DWORD id = 0;
    if (!FormatUserSvrLog(p, userId, when, recordId, &service) || GetDataFileID(kUsrSvrLog, &id) == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserSvrLog().\n");
        return 0;
    }
    const std::string db = DbName();
    if (WriteDataToDataFile(basic, db.c_str(), kUsrBasicLog) == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        return 0;
    }
    // The usrbasiclog row is on its way: a failure now must not make the
    // final writer insert it again. The usrsvrlog line gets one more try on a
    // fresh file (the old one may have been rotated away or have failed),
    // then goes to the final writer alone.
    if (WriteDataToDataFile(service, db.c_str(), kUsrSvrLog) != 0) return 1;
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserSvrLog().\n");
    ReleaseTableFile(kUsrSvrLog);
    if (WriteDataToDataFile(service, db.c_str(), kUsrSvrLog) != 0) return 1;
    if (WriteServiceRowToNextWriters({p, userId, when, recordId}) == 1) {
        loss::Add(loss::SERVICE_ROW_SQL);
        return 1;
    }
    loss::Add(loss::SERVICE_ROW_LOST);
    Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
        "[WriteLog] usrsvrlog Row Of Record ID = %lld Lost: Neither Data File Nor SQL Took It\n",
        static_cast<long long>(recordId));
    return 1;
}

int CDataFileLogWriter::BuildUserFlowLog(std::uint32_t, const UserRecordV3* p, std::int32_t userId,
                                         const std::string& when, std::int64_t recordId) {
    std::string line;
    if (p == nullptr || when.empty() || !FormatUserFlowLog(p, userId, when, recordId, &line)) return 0;
    const std::string db = DbName();
    return WriteDataToDataFile(line, db.c_str(), kUsrFlowLog);
}

int CDataFileLogWriter::BuildUserBasicLog(std::uint32_t, const UserRecordV3* p, std::int32_t userId,
                                          const std::string& when, std::int64_t recordId) {
    std::string line;
    if (p == nullptr || when.empty() || !FormatUserBasicLog(p, userId, when, recordId, &line)) return 0;
    const std::string db = DbName();
    return WriteDataToDataFile(line, db.c_str(), kUsrBasicLog);
}

bool CDataFileLogWriter::FormatUserFlowLog(const UserRecordV3* p, std::int32_t userId, const std::string& when,
                                           std::int64_t recordId, std::string* line) {
    const UserCommon& u = p->common;
    *line = Line({Quoted(Num(recordId)), Num(userId), Num(ReadU32Net(&u.serverAddressNet)), Num(I32(&u.groupId)),
                  Num(I64(&p->downFlux)), Num(I64(&p->upFlux)), Num(I64(&p->rawDownFlux)), Num(I64(&p->rawUpFlux)),
                  Quoted(when), Num(ReadU32Net(&u.clientAddressNet)), Num(ReadU16Net(&u.serverPortNet))});
    return true;
}

bool CDataFileLogWriter::FormatUserBasicLog(const UserRecordV3* p, std::int32_t userId, const std::string& when,
                                            std::int64_t recordId, std::string* line) {
    const UserCommon& u = p->common;
    std::string name;
    std::string message;
    if (!GbkText(u.userName, sizeof(u.userName), &name) || !GbkText(p->message, sizeof(p->message), &message)) {
        return false;
    }
    *line = Line({Quoted(Num(recordId)), Num(userId), Quoted(name), Num(I32(&u.groupId)), Num(I32(&u.action)),
                  Num(I32(&u.result)), Num(ReadU32Net(&u.clientAddressNet)), Quoted(message), Num(I32(&u.authMethod)),
                  Quoted(when), Num(ReadU32Net(&u.serverAddressNet)), Num(ReadU16Net(&u.serverPortNet))});
    return true;
}

bool CDataFileLogWriter::FormatUserSvrLog(const UserRecordV3* p, std::int32_t userId, const std::string& when,
                                          std::int64_t recordId, std::string* line) {
    const UserCommon& u = p->common;
    std::string message;
    if (!GbkText(p->message, sizeof(p->message), &message)) return false;
    *line = Line({Quoted(Num(recordId)), Num(userId), Num(I32(&u.groupId)), Num(ReadU32Net(&u.serverAddressNet)),
                  Num(ReadU16Net(&u.serverPortNet)), Num(I32(&u.serviceType)), Quoted(when), Num(I32(&u.result)),
                  Num(ReadU32Net(&u.clientAddressNet)), Quoted(message), Num(I32(&u.serverAttribute))});
    return true;
}
