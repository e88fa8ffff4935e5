// Fuzz target: directory snapshot XML to SQL text, without a database.
// The input is the snapshot file, loaded as the record task loads one (user
// and device snapshots as UTF-8, administrator snapshots with the default
// encoding), and every row goes through the statement building of an info
// sync: the rows of a table element of a "content" root, and the rows of the
// "CtrlManager"/"CtrlGroup" elements of an "oskarifile" root's "filecontent".
// Every statement must keep each text in its literal, and a loaded document
// must stay within the nesting and element limits that LoadSnapshot's
// pre-reading enforces before TinyXML (which recurses once per level) runs.
// The tables are the shipped ones plus a table with number-typed columns.
#include <strings.h>
#include <tinyxml.h>

#include "node/NodeLogRecordTask.h"
#include "tests/fuzz/FuzzEnv.h"

namespace {

constexpr char kLogudt[] =
    "[tablecount]\ncount=5\n"
    "[table1]\ntablename=Admin\nattributecount=4\nattribute1=id\nattribute2=name\nattribute3=pgrpid\n"
    "attribute4=login_ip;ulong\n"
    "[table2]\ntablename=admingroup\nattributecount=2\nattribute1=id\nattribute2=pgrpid\n"
    "[table3]\ntablename=tarnuser\nattributecount=3\nattribute1=id\nattribute2=name\nattribute3=grpid\n"
    "[table4]\ntablename=tarngroup\nattributecount=2\nattribute1=id\nattribute2=pgrpid\n"
    "[table5]\ntablename=tarnrc\nattributecount=5\nattribute1=id\nattribute2=name\nattribute3=address;ulong\n"
    "attribute4=port;ushort\nattribute5=url;text\n";

CNodeLogRecordTask* g_task = nullptr;
std::string g_file;

bool Begins(const char* name, const char* prefix) {
    return name != nullptr && strncasecmp(name, prefix, std::strlen(prefix)) == 0;
}

// True for "insert into <table>(<columns>) values (<v>,...)" whose values are
// numbers or single-quoted literals that end where the server (connection
// character set GBK) ends them: a GBK character (lead byte 0x81-0xFE, then a
// trail byte) is one unit, a backslash escapes the next byte, a doubled quote
// is a quote. No text of a snapshot may end its literal early.
bool WellFormedInsert(const std::string& sql, const std::string& table) {
    const size_t values = sql.find(") values (");
    if (sql.rfind("insert into " + table + "(", 0) != 0 || values == std::string::npos) return false;
    for (size_t i = values + std::strlen(") values ("); i < sql.size(); ++i) {
        if (sql[i] == '\'') {
            for (++i;; ++i) {
                if (i >= sql.size()) return false;
                const auto c = static_cast<unsigned char>(sql[i]);
                const auto next = i + 1 < sql.size() ? static_cast<unsigned char>(sql[i + 1]) : 0;
                if (c == '\\' || (c >= 0x81 && c <= 0xFE && next >= 0x40 && next <= 0xFE && next != 0x7F)) {
                    ++i;
                } else if (c == '\'') {
                    if (next != '\'') break;
                    ++i;
                }
            }
            ++i;
        } else {
            const size_t digits = i;
            while (i < sql.size() && sql[i] >= '0' && sql[i] <= '9') ++i;
            if (i == digits) return false;
        }
        if (i < sql.size() && sql[i] == ')') return i + 1 == sql.size();
        if (i >= sql.size() || sql[i] != ',') return false;
    }
    return false;
}

// Elements of node's subtree, checking that none lies deeper than the limit.
unsigned CountWithinLimits(const TiXmlNode* node, unsigned level) {
    unsigned elements = 0;
    for (const TiXmlElement* e = node->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
        if (level + 1 > CNodeLogRecordTask::kMaxSnapshotLevels) std::abort();
        elements += 1 + CountWithinLimits(e, level + 1);
    }
    return elements;
}

void BuildRows(const TiXmlElement* table, const std::string& name) {
    for (const TiXmlElement* row = table->FirstChildElement(); row != nullptr; row = row->NextSiblingElement()) {
        const std::string sql = g_task->BuildSql(row, name);
        if (!sql.empty() && !WellFormedInsert(sql, name)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string root = fuzzenv::MakeInstallTree();
    g_file = CGlobalSharedData::GetInstance()->GetTempDir() + "/snapshot.xml";
    std::ofstream(root + "/Zelk/Config/Logudt.conf") << kLogudt;
    CConfigManager::GetInstance()->Init();
    fuzzenv::FormatLogLinesOnly();
    if (CConfigManager::GetInstance()->m_Logudt.Tables.Get()->size() != 5) std::abort();
    g_task = new CNodeLogRecordTask();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::ofstream(g_file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                    static_cast<std::streamsize>(size));
    for (bool utf8 : {true, false}) {
        TiXmlDocument doc;
        if (!CNodeLogRecordTask::LoadSnapshot(g_file, utf8, &doc)) continue;
        if (CountWithinLimits(&doc, 0) > CNodeLogRecordTask::kMaxSnapshotElements) std::abort();
        const TiXmlElement* root = doc.RootElement();
        if (root == nullptr) continue;
        if (Begins(root->Value(), "content")) {
            for (const TiXmlElement* table = root->FirstChildElement(); table != nullptr;
                 table = table->NextSiblingElement()) {
                BuildRows(table, table->Value());
            }
        } else if (Begins(root->Value(), "oskarifile")) {
            for (const TiXmlElement* content = root->FirstChildElement(); content != nullptr;
                 content = content->NextSiblingElement()) {
                if (!Begins(content->Value(), "filecontent")) continue;
                for (const TiXmlElement* table = content->FirstChildElement(); table != nullptr;
                     table = table->NextSiblingElement()) {
                    if (Begins(table->Value(), "CtrlManager")) BuildRows(table, "Admin");
                    if (Begins(table->Value(), "CtrlGroup")) BuildRows(table, "admingroup");
                }
            }
        }
    }
    return 0;
}
