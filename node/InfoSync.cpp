// Info-sync handling of the record task: a node's snapshot of its directory
// replaces the configured tables of its database.
#include <openssl/evp.h>
#include <strings.h>
#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/Utility.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "core/InfoCounters.h"
#include "node/NodeLogRecordTask.h"
#include "node/TarnNode.h"
#include "platform/Files.h"
#include "platform/Socket.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "protocol/PacketFormat.h"

using namespace packet;

namespace {

constexpr char kClassTag[] = "[CNodeLogRecordTask]";
constexpr char kSetNamesGbk[] = "set   names   'gbk'";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

bool BeginsWith(const char* name, const char* prefix) {
    return name != nullptr && strncasecmp(name, prefix, std::strlen(prefix)) == 0;
}

const LogudtTableInfo* FindTable(const std::vector<LogudtTableInfo>& tables, const std::string& name) {
    for (const LogudtTableInfo& t : tables) {
        if (t.tablename == name) return &t;
    }
    return nullptr;
}

// The two text forms of a digest, each padded with NULs to 32 bytes: two
// digits per byte, and one digit for bytes below 0x10.
void Md5Forms(const unsigned char digest[16], char full[33], char shortForm[33]) {
    std::memset(full, 0, 33);
    std::memset(shortForm, 0, 33);
    size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        std::snprintf(full + 2 * i, 3, "%02x", digest[i]);
        at += static_cast<size_t>(std::snprintf(shortForm + at, 33 - at, "%x", digest[i]));
    }
}

// Zero bytes parsed after a snapshot's text (see LoadSnapshot).
constexpr size_t kSnapshotPadding = 8;

// Nesting levels of a directory snapshot: the rows of an administrator snapshot lie at level 4
// (root, "filecontent", table, row), those of a user or device snapshot at level 3; twice the
// deeper is allowed. Elements are mostly rows: the limit is more than a directory within
// MaxSnapshotSize holds in practice, and keeps the parsed document small.
constexpr unsigned kMaxSnapshotLevels = CNodeLogRecordTask::kMaxSnapshotLevels;
constexpr unsigned kMaxSnapshotElements = CNodeLogRecordTask::kMaxSnapshotElements;

// A snapshot's text as TinyXML's LoadFile would see it: CR LF and a lone CR become LF, and the
// text ends at its first zero byte.
std::string SnapshotText(const char* raw, size_t length) {
    std::string text;
    text.reserve(length + kSnapshotPadding);
    for (size_t i = 0; i < length && raw[i] != '\0'; ++i) {
        if (raw[i] != '\r') {
            text += raw[i];
            continue;
        }
        text += '\n';
        if (i + 1 < length && raw[i + 1] == '\n') ++i;
    }
    return text;
}

bool IsAsciiNameStart(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsAsciiNameChar(unsigned char c) {
    return IsAsciiNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}
// TinyXML takes every byte from 127 up for a letter.
bool IsNameStart(unsigned char c) { return IsAsciiNameStart(c) || c >= 127; }
bool IsNameChar(unsigned char c) { return IsAsciiNameChar(c) || c >= 127; }
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The first place where TinyXML might step over a '<' or a quote that a byte-wise reading sees
// (as markup, or as the end of a value): a byte it takes, reading UTF-8, for the lead of a
// character whose announced length covers one, or a numeric character reference "&#" whose
// ';' lies behind one (TinyXML jumps to the next ';' and checks only the digits before it).
// text.size() when there is none: valid UTF-8 has no such lead byte, nor has GBK, whose second
// bytes start at 0x40, and a real reference such as "&#10;" holds neither.
size_t FirstDivergence(const std::string& text) {
    auto special = [](char c) { return c == '<' || c == '"' || c == '\''; };
    size_t semicolon = 0;  // the next ';' at or after the position looked at, or text.size()
    size_t marked = 0;     // the next '<' or quote at or after the position looked at
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 1;
        for (size_t k = 1; k < length && i + k < text.size(); ++k) {
            if (special(text[i + k])) return i;
        }
        if (c != '&' || i + 2 >= text.size() || text[i + 1] != '#') continue;
        semicolon = std::max(semicolon, i + 2);
        while (semicolon < text.size() && text[semicolon] != ';') ++semicolon;
        marked = std::max(marked, i + 1);
        while (marked < text.size() && !special(text[marked])) ++marked;
        if (semicolon < text.size() && marked < semicolon) return i;
    }
    return text.size();
}

enum class SnapshotShape { kFits, kTooDeep, kTooManyElements };

// A linear pre-reading of a snapshot that bounds how deep TinyXML will nest elements (it parses
// each nested element in one more recursive call) and how many it will build, before it runs.
//
// The reading ends every piece of markup where TinyXML ends it: start tags with quoted values,
// end tags, comments, CDATA sections, declarations and other "<!" or "<?" markup; so a "/>" or an
// end tag inside a value, a comment or a declaration closes nothing. TinyXML gives up at its
// first error, so an end tag that would not match may count as matching. Where the text leaves
// that plain form (an unquoted value, a stray byte in a tag, markup characters in a declaration's
// value) or reaches FirstDivergence, the two readings might part: from there on every '<'
// that starts a name counts as one more open level, which bounds whatever TinyXML makes of it.
class CSnapshotShapeScan {
public:
    explicit CSnapshotShapeScan(const std::string& text)
        : m_s(reinterpret_cast<const unsigned char*>(text.c_str())), m_size(text.size()),
          m_limit(FirstDivergence(text)) {}

    SnapshotShape Run() {
        size_t i = 0;
        while (i < m_limit) {
            if (m_s[i] != '<') {
                ++i;
            } else if ((i = Markup(i)) == kStop) {
                return m_verdict != SnapshotShape::kFits ? m_verdict : CountTheRest();
            }
        }
        m_from = m_limit;
        return CountTheRest();
    }

private:
    static constexpr size_t kStop = static_cast<size_t>(-1);

    // The text's bytes up to the limit, 0 from there on.
    unsigned char At(size_t i) const { return i < m_limit ? m_s[i] : 0; }
    bool Starts(size_t i, const char* prefix, bool anyCase = false) const {
        for (; *prefix != '\0'; ++prefix, ++i) {
            if (i >= m_size) return false;
            const int c = anyCase ? std::tolower(m_s[i]) : m_s[i];
            if (c != static_cast<unsigned char>(*prefix)) return false;
        }
        return true;
    }
    size_t SkipSpace(size_t i) const {
        while (IsSpace(At(i))) ++i;
        return i;
    }
    // Counts one more element, one level below the open ones; false once a limit is passed.
    bool Enter() {
        if (++m_elements > kMaxSnapshotElements) {
            m_verdict = SnapshotShape::kTooManyElements;
        } else if (m_level + 1 > kMaxSnapshotLevels) {
            m_verdict = SnapshotShape::kTooDeep;
        }
        return m_verdict == SnapshotShape::kFits;
    }
    // The rest of the text is counted from i on; an unfinished start tag counts as open.
    size_t Stop(size_t i, bool inStartTag) {
        m_from = i;
        if (inStartTag) ++m_level;
        return kStop;
    }
    // The position after the first end at or after i, read up to the limit.
    size_t After(size_t i, const char* end) {
        const size_t length = std::strlen(end);
        for (; i + length <= m_limit; ++i) {
            if (std::memcmp(m_s + i, end, length) == 0) return i + length;
        }
        return Stop(m_limit, false);
    }

    // One piece of markup at i (a '<'), told apart as TinyXML does.
    size_t Markup(size_t i) {
        if (Starts(i, "<?xml", true)) return Declaration(i + 5);
        if (Starts(i, "<!--")) return After(i + 4, "-->");
        if (Starts(i, "<![CDATA[")) return After(i + 9, "]]>");
        if (Starts(i, "</")) {
            const size_t end = After(i + 2, ">");
            if (end != kStop && m_level > 0) --m_level;
            return end;
        }
        if (i + 1 < m_size && IsNameStart(m_s[i + 1])) return StartTag(i);
        return After(i + 1, ">");
    }

    size_t StartTag(size_t i) {
        if (!Enter()) return kStop;
        size_t j = i + 1;
        while (IsNameChar(At(j))) ++j;
        for (;;) {
            j = SkipSpace(j);
            if (At(j) == '>') {
                ++m_level;
                return j + 1;
            }
            if (At(j) == '/' && At(j + 1) == '>') return j + 2;
            if (!IsNameStart(At(j))) return Stop(j, true);
            while (IsNameChar(At(j))) ++j;
            j = SkipSpace(j);
            if (At(j) != '=') return Stop(j, true);
            j = SkipSpace(j + 1);
            const unsigned char quote = At(j);
            if (quote != '"' && quote != '\'') return Stop(j, true);
            for (++j; At(j) != quote; ++j) {
                if (At(j) == 0) return Stop(j, true);
            }
            ++j;
        }
    }

    // TinyXML reads the values of "version", "encoding" and "standalone" up to their closing
    // quote and skips anything else word by word up to a '>'. Over name="value" pairs whose
    // values hold none of < > = " ' both readings end at the same '>'.
    size_t Declaration(size_t j) {
        for (;;) {
            j = SkipSpace(j);
            if (At(j) == '>') return j + 1;
            if (At(j) == '?' && At(j + 1) == '>') return j + 2;
            if (!IsAsciiNameStart(At(j))) return Stop(j, false);
            while (IsAsciiNameChar(At(j))) ++j;
            j = SkipSpace(j);
            if (At(j) != '=') return Stop(j, false);
            j = SkipSpace(j + 1);
            const unsigned char quote = At(j);
            if (quote != '"' && quote != '\'') return Stop(j, false);
            for (++j; At(j) != quote; ++j) {
                if (std::strchr("<>=\"'", At(j)) != nullptr) return Stop(j, false);  // also the 0 at the limit
            }
            ++j;
        }
    }

    SnapshotShape CountTheRest() {
        for (size_t i = m_from; i + 1 < m_size; ++i) {
            if (m_s[i] != '<' || !IsNameStart(m_s[i + 1])) continue;
            if (!Enter()) return m_verdict;
            ++m_level;
        }
        return SnapshotShape::kFits;
    }

    const unsigned char* m_s;
    size_t m_size;
    size_t m_limit;
    size_t m_from = 0;
    unsigned m_level = 0;
    unsigned m_elements = 0;
    SnapshotShape m_verdict = SnapshotShape::kFits;
};

}  // namespace

bool CNodeLogRecordTask::CheckSnapshotShape(const std::string& text, const std::string& logKey) {
    const SnapshotShape shape = CSnapshotShapeScan(text).Run();
    if (shape == SnapshotShape::kTooDeep) {
        LogLimited(Recorder(), logKey, LOG_LEVEL_ERROR, kClassTag,
                   "[CheckSnapshotShape] Snapshot Nested Deeper Than %u Levels , Refused\n", kMaxSnapshotLevels);
    } else if (shape == SnapshotShape::kTooManyElements) {
        LogLimited(Recorder(), logKey, LOG_LEVEL_ERROR, kClassTag,
                   "[CheckSnapshotShape] Snapshot Has More Than %u Elements , Refused\n", kMaxSnapshotElements);
    }
    return shape == SnapshotShape::kFits;
}

// TinyXML steps over a UTF-8 character by the length its lead byte announces
// without looking for the terminating zero, so a lead byte at the end of the
// text made it read past its buffer (and take what lay there for more of the
// document). The file is therefore read here, with the line-end rule of
// TinyXML's own LoadFile, and parsed with zero bytes after it, which end every
// scan such a step can reach. A snapshot too deep or too large for the parser
// is refused before it runs.
bool CNodeLogRecordTask::LoadSnapshot(const std::string& file, bool utf8, TiXmlDocument* doc) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text = SnapshotText(raw.data(), raw.size());
    if (!CheckSnapshotShape(text, file)) return false;
    text.append(kSnapshotPadding, '\0');
    doc->Parse(text.c_str(), nullptr, utf8 ? TIXML_ENCODING_UTF8 : TIXML_DEFAULT_ENCODING);
    return !doc->Error();
}

// An info sync is checked before anything of it is stored: the node must be registered, the
// snapshot within MaxSnapshotSize, its digest right and its shape fit for the parser. The
// snapshot then lives in the task's one temporary file only while it is applied. A refused sync
// is dropped without a reply, as any failed one.
int CNodeLogRecordTask::Deal_LogudtDB_Log(int) {
    CountInfo(INFO_COUNTER_INFO_SYNC);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;

    const std::string identity = HexUpper(Identity(), 16);
    char full[33];
    char shortForm[33];
    const char* matched = VerifySnapshot(identity, full, shortForm);
    if (matched == nullptr) return 0;
    const std::uint32_t updateType = ReadU32(m_pCurrent + offsetof(InfoSyncHeader, updateType));
    const char* kind = updateType == 0 ? "/AdminInfo" : updateType == 1 ? "/UserInfo" : "/DeviceInfo";
    const std::string file = CGlobalSharedData::GetInstance()->GetTempDir() + kind + identity + "_" +
                             std::to_string(GetCurrentThreadId()) + ".xml";
    const int result = StoreSnapshot(file, identity) ? ApplySnapshot(file, updateType, matched, identity) : 0;
    RemoveTempFile();
    return result;
}

const char* CNodeLogRecordTask::VerifySnapshot(const std::string& identity, char full[33], char shortForm[33]) {
    if (!IsRegisteredIdentity()) {
        // One key for all unknown identities: a peer may make up any number of them.
        LogLimited(Recorder(), "unknown node", LOG_LEVEL_ERROR, kClassTag,
                   "[Deal_LogudtDB_Log] Current MD5 = %s Does Not In The DevNode List , Sync Refused\n",
                   ShortIdentity(identity).c_str());
        return nullptr;
    }
    const std::uint32_t contentLength = DataLen() - kInfoSyncMinSize;
    const auto maxMiB = static_cast<std::uint32_t>(CConfigManager::GetInstance()->m_ZelkAdv.MaxSnapshotSize.Get());
    if (contentLength > std::uint64_t{maxMiB} * 1024 * 1024) {
        LogLimited(Recorder(), identity, LOG_LEVEL_ERROR, kClassTag,
                   "[Deal_LogudtDB_Log] Snapshot Size = %u Exceeds MaxSnapshotSize = %u MiB , Sync Refused\n",
                   contentLength, maxMiB);
        return nullptr;
    }
    const BYTE* content = m_pCurrent + kInfoSyncMinSize;
    unsigned char digest[16];
    unsigned int digestLength = 0;
    if (EVP_Digest(content, contentLength, digest, &digestLength, EVP_md5(), nullptr) != 1 || digestLength != 16) {
        LogLimited(Recorder(), identity, LOG_LEVEL_ERROR, kClassTag,
                   "[Deal_LogudtDB_Log] Cannot Compute Logudt Data MD5\n");
        return nullptr;
    }
    Md5Forms(digest, full, shortForm);
    char sent[32];
    std::memcpy(sent, m_pCurrent + offsetof(InfoSyncHeader, md5Text), 32);
    for (char& ch : sent) {
        if (ch == '\0') break;
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    const char* matched = std::memcmp(sent, full, 32) == 0        ? full
                          : std::memcmp(sent, shortForm, 32) == 0 ? shortForm
                                                                  : nullptr;
    if (matched == nullptr) {
        LogLimited(Recorder(), identity, LOG_LEVEL_ERROR, kClassTag,
                   "[Deal_LogudtDB_Log] Local Logudt Data MD5 Not The Same As Server Send\n");
        return nullptr;
    }
    const std::string text = SnapshotText(reinterpret_cast<const char*>(content), contentLength);
    return CheckSnapshotShape(text, identity) ? matched : nullptr;
}

bool CNodeLogRecordTask::StoreSnapshot(const std::string& file, const std::string& identity) {
    m_strTempFile = file;
    const std::uint32_t contentLength = DataLen() - kInfoSyncMinSize;
    FILE* out = CreateFileStream(file.c_str());  // 0640, never through a planted link
    if (out == nullptr) {
        LogLimited(Recorder(), identity, LOG_LEVEL_ERROR, kClassTag,
                   "[Deal_LogudtDB_Log] Cannot Create File = %s Err = %u\n", ShortIdentity(file).c_str(), MapErrno(errno));
        return false;
    }
    size_t written = std::fwrite(m_pCurrent + kInfoSyncMinSize, 1, contentLength, out);
    // Bytes still buffered when the flush fails were not written either.
    if (std::fflush(out) != 0 && written == contentLength) written = 0;
    std::fclose(out);
    if (written == contentLength) return true;
    // Only part of the snapshot would be applied: the sync is refused.
    LogLimited(Recorder(), identity, LOG_LEVEL_WARN, kClassTag,
               "[Deal_LogudtDB_Log] Cannot Write All Logudt Data To File. Total = %u , Real Write = %u\n",
               contentLength, static_cast<unsigned>(written));
    return false;
}

int CNodeLogRecordTask::ApplySnapshot(const std::string& file, std::uint32_t updateType, const char* matched,
                                      const std::string& identity) {
    if (!SetDbName(Identity())) {
        LogLimited(Recorder(), identity, LOG_LEVEL_ERROR, kClassTag,
                   "[Deal_LogudtDB_Log] Error Occur While Call Function SetDbName\n");
        return 0;
    }
    const bool applied = updateType == 0   ? ProcessLogudtAdminInfo(file)
                         : updateType <= 2 ? ProcessLogudtUserInfo(file)
                                           : ProcessLogudtUnknownInfo(file);
    RemoveTempFile();  // before the reply: once answered, the sync has left nothing behind
    if (!applied) {
        LogLimited(Recorder(), identity, LOG_LEVEL_ERROR, kClassTag,
                   "[Deal_LogudtDB_Log] Error Occur While Sync Logudt Data To DB\n");
        return 0;
    }

    CGlobalSharedData::GetInstance()->MarkNodeSynced(Identity());
    AttachToNode(Identity());
    InfoSyncReply reply{};
    std::memcpy(&reply.header, m_pCurrent, kHeaderSize);
    reply.header.m_DataLen = kInfoSyncReplySize;
    std::memcpy(reply.md5Text, matched, 32);
    WriteDataToSendCache(&reply, sizeof(reply));
    PostNameAndIdentity(WM_TARNNODE_DATA_SYNC_SUCC, nullptr,
                        "[Deal_LogudtDB_Log] Cannot Post Message To Tarn Node Thread Err = %u");
    Consume();
    return 1;
}

void CNodeLogRecordTask::RemoveTempFile() {
    if (m_strTempFile.empty()) return;
    DeleteFileA(m_strTempFile.c_str());
    m_strTempFile.clear();
}

void CNodeLogRecordTask::RunFollowUpStatements(MYSQL* connection) {
    if (connection == nullptr) return;
    auto statements = CConfigManager::GetInstance()->m_UpdateSql.Statements.Get();
    ExecSqlList(*statements, connection);
}

bool CNodeLogRecordTask::ProcessLogudtAdminInfo(const std::string& file) {
    if (file.empty() || m_strDbName.empty()) return false;
    auto tables = CConfigManager::GetInstance()->m_Logudt.Tables.Get();
    std::vector<std::string> adminList;
    std::vector<std::string> groupList;
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* connection = sql->AllocSqlConn(m_strDbName.c_str(), CLIENT_MULTI_STATEMENTS, CSQLConnManager::Wait::kNoWait);
    TiXmlDocument doc;
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtAdminInfo] Cannot Alloc SqlConn\n");
    } else if (ExecuteSql(connection, kSetNamesGbk), !LoadSnapshot(file, false, &doc)) {
        LogLimited(Recorder(), m_strDbName, LOG_LEVEL_ERROR, kClassTag,
                   "[ProcessLogudtAdminInfo] Fail To Load %s TiXmlDocument\n", ShortIdentity(file).c_str());
    } else if (doc.RootElement() == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtAdminInfo] Fail To Get Root Elem\n");
    } else if (!BeginsWith(doc.RootElement()->Value(), "oskarifile")) {
        LogLimited(Recorder(), m_strDbName, LOG_LEVEL_ERROR, kClassTag,
                   "[ProcessLogudtAdminInfo] Root Value Not Corrent! Current Value = %s\n", doc.RootElement()->Value());
    } else {
        for (const TiXmlElement* content = doc.RootElement()->FirstChildElement(); content != nullptr;
             content = content->NextSiblingElement()) {
            if (!BeginsWith(content->Value(), "filecontent")) continue;
            for (const TiXmlElement* table = content->FirstChildElement(); table != nullptr;
                 table = table->NextSiblingElement()) {
                std::string name;
                std::vector<std::string>* list = nullptr;
                if (BeginsWith(table->Value(), "CtrlManager")) {
                    name = "Admin";
                    list = &adminList;
                } else if (BeginsWith(table->Value(), "CtrlGroup")) {
                    name = "admingroup";
                    list = &groupList;
                }
                if (list == nullptr || FindTable(*tables, name) == nullptr) continue;
                list->push_back("lock tables " + name + " write");
                list->push_back("delete from " + name);
                const TiXmlElement* row = table->FirstChildElement();
                if (row == nullptr) continue;  // its statements run with a later element of the same kind
                for (; row != nullptr; row = row->NextSiblingElement()) list->push_back(BuildSql(row, name));
                list->push_back("unlock tables");
                ExecSqlList(*list, connection);
            }
        }
    }
    RunFollowUpStatements(connection);
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    const std::vector<NodeInfo*> nodes = data->FindNodesOfDb(m_strDbName.c_str());
    if (nodes.empty()) data->FindNodeInfoIter(m_strDbName.c_str(), nullptr);  // logs the unknown database
    for (NodeInfo* node : nodes) {
        if (data->GetSpecifyDevNodeAdminInfo(node, connection) == 1) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[ProcessLogudtAdminInfo] Update Admin Info Succeed.\n");
        } else {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ProcessLogudtAdminInfo] Update Admin Info Fail.\n");
        }
    }
    if (connection != nullptr) sql->ReleaseSqlConn(connection);
    return true;
}

bool CNodeLogRecordTask::ProcessLogudtUserInfo(const std::string& file) {
    if (file.empty() || m_strDbName.empty()) return false;
    auto tables = CConfigManager::GetInstance()->m_Logudt.Tables.Get();
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* connection = sql->AllocSqlConn(m_strDbName.c_str(), CLIENT_MULTI_STATEMENTS, CSQLConnManager::Wait::kNoWait);
    TiXmlDocument doc;
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtUserInfo] Cannot Alloc SqlConn\n");
    } else if (ExecuteSql(connection, kSetNamesGbk), !LoadSnapshot(file, true, &doc)) {
        LogLimited(Recorder(), m_strDbName, LOG_LEVEL_ERROR, kClassTag,
                   "[ProcessLogudtUserInfo] Fail To Load %s TiXmlDocument\n", ShortIdentity(file).c_str());
    } else if (doc.RootElement() == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtUserInfo] Fail To Get Root Elem\n");
    } else if (!BeginsWith(doc.RootElement()->Value(), "content")) {
        LogLimited(Recorder(), m_strDbName, LOG_LEVEL_ERROR, kClassTag,
                   "[ProcessLogudtUserInfo] Root Value Not Corrent! Current Value = %s\n", doc.RootElement()->Value());
    } else {
        std::vector<std::string> list;
        for (const TiXmlElement* table = doc.RootElement()->FirstChildElement(); table != nullptr;
             table = table->NextSiblingElement()) {
            const std::string name = table->Value();
            if (FindTable(*tables, name) == nullptr) continue;
            list.push_back("lock tables " + name + " write");
            // Users the service added itself (id 0 and below) survive a sync.
            list.push_back(strcasecmp(name.c_str(), "tarnuser") == 0 ? "delete from tarnuser where id>0"
                                                                     : "delete from " + name);
            for (const TiXmlElement* row = table->FirstChildElement(); row != nullptr; row = row->NextSiblingElement()) {
                list.push_back(BuildSql(row, name));
            }
            list.push_back("unlock tables");
        }
        ExecSqlList(list, connection);
    }
    RunFollowUpStatements(connection);
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    const std::vector<NodeInfo*> nodes = data->FindNodesOfDb(m_strDbName.c_str());
    if (nodes.empty()) data->FindNodeInfoIter(m_strDbName.c_str(), nullptr);  // logs the unknown database
    for (NodeInfo* node : nodes) {
        if (data->GetSpecifyDevNodeUserInfo(node, connection) == 1 &&
            data->GetSpecifyDevNodeGroupInfo(node, connection) == 1) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[ProcessLogudtUserInfo] Update User Info Succeed.\n");
        }
    }
    if (connection != nullptr) sql->ReleaseSqlConn(connection);
    m_nSyncOK.store(1);
    return true;
}

bool CNodeLogRecordTask::ProcessLogudtUnknownInfo(const std::string& file) {
    if (file.empty()) return false;
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ProcessLogudtUnknownInfo] Unknown Update Type. FileName = %s\n",
        ShortIdentity(file).c_str());
    return true;
}

std::string CNodeLogRecordTask::BuildSql(const TiXmlElement* row, const std::string& table) {
    auto tables = CConfigManager::GetInstance()->m_Logudt.Tables.Get();
    const LogudtTableInfo* definition = FindTable(*tables, table);
    if (definition == nullptr || row == nullptr) return std::string();
    std::string columns;
    std::string values;
    int index = 0;
    for (const std::string& column : definition->attributes) {
        if (column.empty()) continue;
        const size_t semi = column.find(';');
        const std::string name = column.substr(0, semi);
        const std::string type = semi == std::string::npos ? std::string() : column.substr(semi + 1);
        const char* text = row->Attribute(name.c_str());
        if (text == nullptr) {
            LogLimited(Recorder(), m_strDbName, LOG_LEVEL_WARN, kClassTag, "[BuildSql] Cannot Find Attribute Name = %s\n",
                       name.c_str());
            return std::string();
        }
        if (index > 0) {
            columns += ",";
            values += ",";
        }
        columns += "`" + name + "`";
        if (type == "ulong" || type == "ushort") {
            const auto number = static_cast<std::uint32_t>(std::strtoll(text, nullptr, 10));
            std::uint32_t host = NetToHost32(number);
            if (type == "ushort") host = NetToHost16(static_cast<std::uint16_t>(number));
            values += std::to_string(host);
        } else {
            // The text goes into a single-quoted literal, escaped for it
            // character by character in GBK, so that MySQL stores exactly the
            // attribute's text whatever quotes or backslashes it holds.
            std::string value = *text == '\0' ? std::string("0") : std::string(text);
            std::string gbk;
            if (ConvertUtf8ToGbk(value.data(), value.size(), &gbk)) value = gbk;
            values += "'" + EscapeSqlGbk(value) + "'";
        }
        ++index;
    }
    return "insert into " + table + "(" + columns + ") values (" + values + ")";
}
