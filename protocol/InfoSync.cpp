// Info-sync handling of the record task: a node's snapshot of its directory
// replaces the configured tables of its database.
#include <openssl/evp.h>
#include <strings.h>
#include <tinyxml.h>

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
#include "db/InfoManager.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "node/TarnNode.h"
#include "platform/Files.h"
#include "platform/Socket.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "protocol/NodeLogRecordTask.h"
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

// MD5 of a file's bytes; false when the file cannot be read.
bool FileMd5(const std::string& path, unsigned char digest[16]) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned int length = 0;
    return EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) == 1 && length == 16;
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

}  // namespace

// TinyXML steps over a UTF-8 character by the length its lead byte announces
// without looking for the terminating zero, so a lead byte at the end of the
// text made it read past its buffer (and take what lay there for more of the
// document). The file is therefore read here, with the line-end rule of
// TinyXML's own LoadFile (CR LF and a lone CR become LF; the text ends at its
// first zero byte), and parsed with zero bytes after it, which end every scan
// such a step can reach.
bool CNodeLogRecordTask::LoadSnapshot(const std::string& file, bool utf8, TiXmlDocument* doc) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    text.reserve(raw.size() + kSnapshotPadding);
    for (size_t i = 0; i < raw.size() && raw[i] != '\0'; ++i) {
        if (raw[i] != '\r') {
            text += raw[i];
            continue;
        }
        text += '\n';
        if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    }
    text.append(kSnapshotPadding, '\0');
    doc->Parse(text.c_str(), nullptr, utf8 ? TIXML_ENCODING_UTF8 : TIXML_DEFAULT_ENCODING);
    return !doc->Error();
}

int CNodeLogRecordTask::Deal_LogudtDB_Log(int) {
    CInfoManager::GetInstance()->Count(INFO_COUNTER_INFO_SYNC);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;

    const std::uint32_t updateType = ReadU32(m_pCurrent + offsetof(InfoSyncHeader, updateType));
    const char* kind = updateType == 0 ? "/AdminInfo" : updateType == 1 ? "/UserInfo" : "/DeviceInfo";
    const std::string file = CGlobalSharedData::GetInstance()->GetTempDir() + kind + HexUpper(Identity(), 16) + "_" +
                             std::to_string(GetCurrentThreadId()) + ".xml";
    m_TempFiles.insert(file);
    const std::uint32_t contentLength = DataLen() - kInfoSyncMinSize;
    {
        FILE* out = std::fopen(file.c_str(), "wb");
        if (out == nullptr) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Deal_LogudtDB_Log] Cannot Create File = %s Err = %u\n",
                file.c_str(), MapErrno(errno));
            return 0;
        }
        size_t written = std::fwrite(m_pCurrent + kInfoSyncMinSize, 1, contentLength, out);
        // Bytes still buffered when the flush fails were not written either.
        if (std::fflush(out) != 0 && written == contentLength) written = 0;
        std::fclose(out);
        if (written != contentLength) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[Deal_LogudtDB_Log] Cannot Write All Logudt Data To File. Total = %u , Real Write = %u\n",
                contentLength, static_cast<unsigned>(written));
        }
    }

    unsigned char digest[16];
    if (!FileMd5(file, digest)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Deal_LogudtDB_Log] Cannot Compute Logudt Data MD5\n");
        return 0;
    }
    char full[33];
    char shortForm[33];
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
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
            "[Deal_LogudtDB_Log] Local Logudt Data MD5 Not The Same As Server Send\n");
        return 0;
    }
    if (!SetDbName(Identity())) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Deal_LogudtDB_Log] Error Occur While Call Function SetDbName\n");
        return 0;
    }
    const bool applied = updateType == 0   ? ProcessLogudtAdminInfo(file)
                         : updateType <= 2 ? ProcessLogudtUserInfo(file)
                                           : ProcessLogudtUnknownInfo(file);
    if (!applied) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Deal_LogudtDB_Log] Error Occur While Sync Logudt Data To DB\n");
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
    MYSQL* connection = sql->AllocSqlConn(m_strDbName.c_str(), CLIENT_MULTI_STATEMENTS);
    TiXmlDocument doc;
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtAdminInfo] Cannot Alloc SqlConn\n");
    } else if (ExecuteSql(connection, kSetNamesGbk), !LoadSnapshot(file, false, &doc)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtAdminInfo] Fail To Load %s TiXmlDocument\n",
            file.c_str());
    } else if (doc.RootElement() == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtAdminInfo] Fail To Get Root Elem\n");
    } else if (!BeginsWith(doc.RootElement()->Value(), "oskarifile")) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtAdminInfo] Root Value Not Corrent! Current Value = %s\n",
            doc.RootElement()->Value());
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
    MYSQL* connection = sql->AllocSqlConn(m_strDbName.c_str(), CLIENT_MULTI_STATEMENTS);
    TiXmlDocument doc;
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtUserInfo] Cannot Alloc SqlConn\n");
    } else if (ExecuteSql(connection, kSetNamesGbk), !LoadSnapshot(file, true, &doc)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtUserInfo] Fail To Load %s TiXmlDocument\n",
            file.c_str());
    } else if (doc.RootElement() == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtUserInfo] Fail To Get Root Elem\n");
    } else if (!BeginsWith(doc.RootElement()->Value(), "content")) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[ProcessLogudtUserInfo] Root Value Not Corrent! Current Value = %s\n",
            doc.RootElement()->Value());
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
        file.c_str());
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
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[BuildSql] Cannot Find Attribute Name = %s\n", name.c_str());
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
