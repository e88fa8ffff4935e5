#include "writers/DataFileLogWriter.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/Utility.h"
#include "core/modules/CSLocker.h"
#include "datafile/DataFile.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "writers/DataFileBatch.h"
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

// The log's time text. Logs of one second share it: the text is made once per
// second and thread.
bool LogTime(const PacketHeader& h, std::string* text) {
    struct Cache {
        DWORD date = 0;
        DWORD time = 0;
        bool valid = false;
        char text[kTimeTextSize + 1] = {};
    };
    thread_local Cache cache;
    const DWORD date = ReadU32Net(&h.logDateNet);
    const DWORD time = ReadU32Net(&h.logTimeNet);
    if (!cache.valid || cache.date != date || cache.time != time) {
        if (!TranslateDWORDTimeToSZ(date, time, cache.text, kTimeTextSize)) return false;
        cache.date = date;
        cache.time = time;
        cache.valid = true;
    }
    text->assign(cache.text);
    return true;
}

// The LOAD DATA escape of one byte outside a GBK pair, or null.
const char* LoadDataEscape(unsigned char c) {
    switch (c) {
        case '\\': return "\\\\";
        case '"': return "\\\"";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        case '\0': return "\\0";
        default: return nullptr;
    }
}

// Bytes that stop the plain copy of EscapeInto: the escaped ones and the
// lead bytes of GBK pairs.
struct StopTable {
    bool stop[256] = {};
    constexpr StopTable() {
        for (int c = 0x81; c <= 0xFE; ++c) stop[c] = true;
        for (unsigned char c : {'\\', '"', '\n', '\r', '\t', '\0'}) stop[c] = true;
    }
};
constexpr StopTable kStop;

// Writes text (GBK) escaped for an enclosed LOAD DATA field at out, which
// has room for twice size bytes, and returns the end; the second byte of a
// GBK pair is copied as it is.
char* EscapeInto(char* out, const char* text, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!kStop.stop[c]) {
            *out++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0x81 && c <= 0xFE) {
            *out++ = static_cast<char>(c);
            if (i + 1 < size) {
                const auto next = static_cast<unsigned char>(text[i + 1]);
                if (next >= 0x40 && next <= 0xFE && next != 0x7F) {
                    *out++ = static_cast<char>(next);
                    ++i;
                }
            }
            continue;
        }
        const char* escape = LoadDataEscape(c);
        *out++ = escape[0];
        *out++ = escape[1];
    }
    return out;
}

// Columns appended to a line: tabs between them, "\r\n" at the end. The
// line is built in a buffer of the thread big enough for any record's line
// and then copied once.
class LineOut {
public:
    explicit LineOut(std::string* line) : m_Line(line) {}
    LineOut& Num(std::int64_t value) {
        Sep();
        m_Pos = std::to_chars(m_Pos, m_Pos + 24, value).ptr;
        return *this;
    }
    LineOut& QuotedNum(std::int64_t value) {
        Sep();
        *m_Pos++ = '"';
        m_Pos = std::to_chars(m_Pos, m_Pos + 24, value).ptr;
        *m_Pos++ = '"';
        return *this;
    }
    // An enclosed GBK text.
    LineOut& Quoted(const std::string& gbk) { return QuotedBytes(gbk.data(), gbk.size()); }
    // An enclosed text from a fixed-size UTF-8 field (to its first NUL),
    // converted to GBK; false when it cannot be. ASCII, the same in both,
    // is escaped straight from the field.
    bool QuotedField(const char* field, size_t size) {
        const size_t length = strnlen(field, size);
        if (std::all_of(field, field + length, [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; })) {
            QuotedBytes(field, length);
            return true;
        }
        thread_local std::string gbk;
        if (!ConvertUtf8ToGbk(field, length, &gbk)) return false;
        // The converted text ends at its first NUL, as a C string would.
        QuotedBytes(gbk.data(), strnlen(gbk.c_str(), gbk.size()));
        return true;
    }
    void End() {
        *m_Pos++ = '\r';
        *m_Pos++ = '\n';
        m_Line->assign(Buffer(), static_cast<size_t>(m_Pos - Buffer()));
    }

private:
    // Texts come from fixed-size record fields: escaped (at most twice their
    // size) they stay far below this, with every number of a line.
    static constexpr size_t kCapacity = 16384;
    static_assert(2 * (sizeof(UserRecordV3) + sizeof(SystemRecord)) + 1024 < kCapacity,
                  "a line of the largest record, every byte escaped, fits the buffer");
    static char* Buffer() {
        thread_local char buffer[kCapacity];
        return buffer;
    }
    LineOut& QuotedBytes(const char* text, size_t size) {
        Sep();
        *m_Pos++ = '"';
        m_Pos = EscapeInto(m_Pos, text, size);
        *m_Pos++ = '"';
        return *this;
    }
    void Sep() {
        if (!m_First) *m_Pos++ = '\t';
        m_First = false;
    }
    std::string* m_Line;
    char* m_Pos = Buffer();
    bool m_First = true;
};

// A fixed-size UTF-8 field as GBK text, unescaped.
bool GbkText(const char* field, size_t size, std::string* out) {
    if (!ConvertUtf8ToGbk(field, strnlen(field, size), out)) return false;
    out->resize(strnlen(out->c_str(), out->size()));
    return true;
}

// The line of the calling thread, reused from log to log.
std::string& LineBuffer() {
    thread_local std::string line;
    return line;
}

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
    std::string out(text.size() * 2, '\0');
    out.resize(static_cast<size_t>(EscapeInto(out.data(), text.data(), text.size()) - out.data()));
    return out;
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

int CDataFileLogWriter::WriteDataToDataFile(const std::string& line, const char* tableName) {
    if (line.empty()) return 1;
    return AppendLines(tableName, line.data(), line.size(), 1) ? 1 : 0;
}

bool CDataFileLogWriter::AppendLines(const char* tableName, const char* data, size_t length, std::uint64_t lines) {
    DWORD id = 0;
    if (GetDataFileID(tableName, &id) == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteDataToDataFile] Cannot Get DataFile ID\n");
        return false;
    }
    if (id == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteDataToDataFile] Invalid DataFile ID = %u\n", id);
        return false;
    }
    CDataFile* file = CDataFileManager::GetInstance()->GetDataFileByID(id);
    if (file == nullptr || length > UINT32_MAX) return false;
    const auto size = static_cast<DWORD>(length);
    if (file->Write(data, size) != size) return false;
    if (loss::IsLogTable(tableName)) loss::Add(loss::DF_WRITTEN, lines);
    return true;
}

int CDataFileLogWriter::WriteLine(const std::string& line, const char* tableName, const void* record, size_t size,
                                  std::uint32_t logType, std::uint32_t kind) {
    if (CDataFileBatch* batch = CDataFileBatch::Current()) {
        const std::uint32_t log = batch->BeginLog(logType, kind, record, size);
        batch->AddLine(this, tableName, line, log, CDataFileBatch::Role::kWhole);
        return 1;
    }
    return WriteDataToDataFile(line, tableName);
}

int CDataFileLogWriter::WriteLog(const LogItem* item, ReplyBuff* reply) {
    return DispatchItem(item, reply, kItemTypes);
}

int CDataFileLogWriter::WriteLog(std::uint32_t kind, const SystemRecord* p, ReplyBuff*) {
    std::string& line = LineBuffer();
    LineOut out(&line);
    thread_local std::string when;
    if (p == nullptr || !LogTime(p->header, &when)) return 0;
    out.Num(I32(&p->level)).Num(I32(&p->process));
    if (!out.QuotedField(p->message, sizeof(p->message))) return 0;
    out.Quoted(when).End();
    return WriteLine(line, kSysLog, p, sizeof(*p), LOG_SYSTEM, kind);
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
    thread_local std::string when;
    if (!LogTime(p->header, &when)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call TranslateDWORDTimeToSZ().\n");
        return 0;
    }
    const std::int64_t recordId = NextRecordId();
    thread_local std::string name;
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
    std::string& line = LineBuffer();
    if (action == 2) {
        if (!FormatUserFlowLog(p, userId, when, recordId, &line)) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserFlowLog().\n");
            return 0;
        }
        const int result = WriteLine(line, kUsrFlowLog, p, sizeof(*p), LOG_USER_V3, kind);
        if (result == 0) Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserFlowLog().\n");
        return result;
    }
    if (action == 3) {
        // Declined without a server: the final writer takes it.
        if (ReadU32Net(&p->common.serverAddressNet) == 0) return 0;
        return BuildUserServiceAccess(kind, p, userId, when, recordId);
    }
    if (!FormatUserBasicLog(p, userId, when, recordId, &line)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        return 0;
    }
    const int result = WriteLine(line, kUsrBasicLog, p, sizeof(*p), LOG_USER_V3, kind);
    if (result == 0) Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
    return result;
}

int CDataFileLogWriter::BuildUserServiceAccess(std::uint32_t kind, const UserRecordV3* p, std::int32_t userId,
                                               const std::string& when, std::int64_t recordId) {
    std::string& basic = LineBuffer();
    thread_local std::string service;
    if (!FormatUserBasicLog(p, userId, when, recordId, &basic)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        return 0;
    }
    if (!FormatUserSvrLog(p, userId, when, recordId, &service)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserSvrLog().\n");
        return 0;
    }
    if (CDataFileBatch* batch = CDataFileBatch::Current()) {
        const std::uint32_t log = batch->BeginLog(LOG_USER_V3, kind, p, sizeof(*p));
        batch->AddLine(this, kUsrBasicLog, basic, log, CDataFileBatch::Role::kServiceBasic);
        batch->AddLine(this, kUsrSvrLog, service, log, CDataFileBatch::Role::kServiceSvr, userId, recordId, when);
        return 1;
    }
    // The usrsvrlog line's file is secured first, so that neither line is
    // written without the other for want of a file.
    DWORD id = 0;
    if (GetDataFileID(kUsrSvrLog, &id) == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserSvrLog().\n");
        return 0;
    }
    if (WriteDataToDataFile(basic, kUsrBasicLog) == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserBasicLog().\n");
        return 0;
    }
    // The usrbasiclog row is on its way: a failure now must not make the
    // final writer insert it again. The usrsvrlog line gets one more try on a
    // fresh file (the old one may have been rotated away or have failed),
    // then goes to the final writer alone.
    if (WriteDataToDataFile(service, kUsrSvrLog) != 0) return 1;
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Fail To Call BuildUserSvrLog().\n");
    ReleaseTableFile(kUsrSvrLog);
    if (WriteDataToDataFile(service, kUsrSvrLog) != 0) return 1;
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

bool CDataFileLogWriter::FormatUserFlowLog(const UserRecordV3* p, std::int32_t userId, const std::string& when,
                                           std::int64_t recordId, std::string* line) {
    const UserCommon& u = p->common;
    LineOut out(line);
    out.QuotedNum(recordId).Num(userId).Num(ReadU32Net(&u.serverAddressNet)).Num(I32(&u.groupId));
    out.Num(I64(&p->downFlux)).Num(I64(&p->upFlux)).Num(I64(&p->rawDownFlux)).Num(I64(&p->rawUpFlux));
    out.Quoted(when).Num(ReadU32Net(&u.clientAddressNet)).Num(ReadU16Net(&u.serverPortNet)).End();
    return true;
}

bool CDataFileLogWriter::FormatUserBasicLog(const UserRecordV3* p, std::int32_t userId, const std::string& when,
                                            std::int64_t recordId, std::string* line) {
    const UserCommon& u = p->common;
    LineOut out(line);
    out.QuotedNum(recordId).Num(userId);
    if (!out.QuotedField(u.userName, sizeof(u.userName))) return false;
    out.Num(I32(&u.groupId)).Num(I32(&u.action)).Num(I32(&u.result)).Num(ReadU32Net(&u.clientAddressNet));
    if (!out.QuotedField(p->message, sizeof(p->message))) return false;
    out.Num(I32(&u.authMethod)).Quoted(when).Num(ReadU32Net(&u.serverAddressNet)).Num(ReadU16Net(&u.serverPortNet));
    out.End();
    return true;
}

bool CDataFileLogWriter::FormatUserSvrLog(const UserRecordV3* p, std::int32_t userId, const std::string& when,
                                          std::int64_t recordId, std::string* line) {
    const UserCommon& u = p->common;
    LineOut out(line);
    out.QuotedNum(recordId).Num(userId).Num(I32(&u.groupId)).Num(ReadU32Net(&u.serverAddressNet));
    out.Num(ReadU16Net(&u.serverPortNet)).Num(I32(&u.serviceType)).Quoted(when).Num(I32(&u.result));
    out.Num(ReadU32Net(&u.clientAddressNet));
    if (!out.QuotedField(p->message, sizeof(p->message))) return false;
    out.Num(I32(&u.serverAttribute)).End();
    return true;
}
