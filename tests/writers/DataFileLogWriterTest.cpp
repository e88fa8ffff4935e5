// The data-file writer against the test MariaDB: what the SQL writer inserts
// and what this writer's lines give after the bulk load must be the same rows.
#include "writers/DataFileLogWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "support/DbEnv.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "writers/FinalLogWriter.h"

namespace {

constexpr char kSqlMd5[] = "11112222333344445555666677778888";
constexpr char kFileMd5[] = "88887777666655554444333322221111";
// Every character LOAD DATA or SQL treats specially, Chinese text and 乗
// (GBK 81 5C: its second byte is a backslash).
const std::string kTricky = "it's \"quoted\" back\\slash\ttab\nlf\rcr 中文 乗嘰 \\N end\\";

std::string Repeat(const std::string& part, size_t bytes) {
    std::string out;
    while (out.size() + part.size() <= bytes) out += part;
    return out + std::string(bytes - out.size(), 'x');
}

// A log with its bytes, offered through the item entry point of a writer.
struct Sample {
    std::uint32_t type;
    std::vector<BYTE> bytes;
    int OfferTo(CBaseLogWriter& writer) const {
        const LogItem item{type, 1, bytes.data()};
        return writer.WriteLog(&item, nullptr);
    }
};

template <class Record>
Sample Pack(std::uint32_t type, const Record& r) {
    const auto* p = reinterpret_cast<const BYTE*>(&r);
    return {type, std::vector<BYTE>(p, p + sizeof(r))};
}

template <class Record>
Record UserLog(const BYTE identity[16], std::uint32_t type, int action, const std::string& name,
               const std::string& message, std::uint16_t port) {
    Record r{};
    testpkt::FillHeader(&r.header, identity, type, sizeof(Record));
    packet::UserCommon& u = r.common;
    u.groupId = 10;
    u.action = action;
    u.result = 2;
    packet::WriteU32Net(&u.clientAddressNet, 0xC0A80007u);
    u.serviceType = 3;
    packet::WriteU32Net(&u.serverAddressNet, 0x0A000009u);
    packet::WriteU16Net(&u.serverPortNet, port);
    std::memcpy(u.userName, name.data(), std::min(name.size(), sizeof(u.userName) - 1));
    std::memcpy(u.secondName, "second", 6);
    u.serverAttribute = 1;
    u.authMethod = 17;
    std::memcpy(r.message, message.data(), std::min(message.size(), sizeof(r.message) - 1));
    return r;
}

// The same logs for a node: every type and user action the writer takes.
std::vector<Sample> Logs(const BYTE identity[16]) {
    const std::string maxName = Repeat("a'\"\\\t乗", 99);
    const std::string maxMessage = Repeat("'\"\\\t\n\r乗", 511);
    const std::string chinese = Repeat("开乗", 511);
    std::vector<Sample> logs;
    packet::SystemRecord sys{};
    testpkt::FillHeader(&sys.header, identity, packet::LOG_SYSTEM, sizeof(sys));
    sys.level = 2;
    sys.process = 603;
    for (const std::string* text : {&kTricky, &maxMessage}) {
        std::memcpy(sys.message, text->data(), text->size());
        logs.push_back(Pack(packet::LOG_SYSTEM, sys));
    }
    using V1 = packet::UserRecordV1;
    using V2 = packet::UserRecordV2;
    using V3 = packet::UserRecordV3;
    auto v1 = UserLog<V1>(identity, packet::LOG_USER, 2, "alice", "", 1001);
    v1.upFlux = -5;  // sign-extended into both the plain and the raw column
    v1.downFlux = 2000000000;
    auto v2 = UserLog<V2>(identity, packet::LOG_USER_V2, 2, "alice", "", 1003);
    v2 = {v2.header, v2.common, 1, -2, 3, 4, {}};
    auto v3 = UserLog<V3>(identity, packet::LOG_USER_V3, 2, maxName, "", 1005);
    v3 = {v3.header, v3.common, 1LL << 40, -(1LL << 33), 7, 8, {}, 0};
    logs.push_back(Pack(packet::LOG_USER, v1));
    logs.push_back(Pack(packet::LOG_USER, UserLog<V1>(identity, packet::LOG_USER, 1, "alice", kTricky, 1002)));
    logs.push_back(Pack(packet::LOG_USER_V2, v2));
    logs.push_back(Pack(packet::LOG_USER_V2, UserLog<V2>(identity, packet::LOG_USER_V2, 3, "张三乗's", kTricky, 1004)));
    logs.push_back(Pack(packet::LOG_USER_V3, v3));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 1, maxName, maxMessage, 1006)));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 3, "alice", maxMessage, 1007)));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 3, maxName, chinese, 1008)));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 0, "bob\\", kTricky, 1009)));
    return logs;
}

// The compared columns of each table (text as hex, so bytes are compared).
const std::vector<std::pair<std::string, std::string>> kTables = {
    {"syslog", "lev, process, hex(message), log_time"},
    {"usrflowlog", "record_id <> 0, user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, raw_up_flux, log_time, "
                   "address, svr_port"},
    {"usrbasiclog", "record_id <> 0, user_id, hex(user_name), grp_id, user_action, action_result, address, "
                    "hex(message), auth_method, log_time, svr_ip, svr_port"},
    {"usrsvrlog", "record_id <> 0, user_id, grp_id, svr_ip, svr_port, svr_type, log_time, action_result, address, "
                  "hex(message), svr_attr"},
};

class DataFileLogWriterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        s_main = testdb::UniqueName("dflw_main");
        s_sqlDb = testdb::UniqueName("dflw_sql");
        s_fileDb = testdb::UniqueName("dflw_file");
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::RegisterNode(s_main, "gw", kSqlMd5, s_sqlDb);
        testdb::RegisterNode(s_main, "gw2", kFileMd5, s_fileDb);
        testdb::ConfigureService(s_main);
    }
    static void TearDownTestSuite() {
        for (const std::string& db : {s_main, s_sqlDb, s_fileDb}) testdb::DropDatabase(db);
    }

    void SetUp() override {
        testenv::UseFreshLogDay();
        for (const std::string& db : {s_sqlDb, s_fileDb}) {
            testdb::CreateDatabase(db, "node.sql");
            testdb::ExecIn(db, "insert into tarngroup (id, pgrpid, name) values (10, 0, 'staff');"
                               "insert into tarnuser (id, name, grpid) values (1, 'alice', 10), (2, 'carol', 10)");
        }
        DecodeHex16(kSqlMd5, m_sqlNode);
        DecodeHex16(kFileMd5, m_fileNode);
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        CSQLConnManager::GetInstance()->SetRetryDelay(1);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_EQ(CGlobalSharedData::GetInstance()->GetDabaBaseNodeInfo(), 1);
        Manager()->SetNodeListReadyCheck([] { return false; });  // no start-up import during the test
        ASSERT_TRUE(Manager()->Init());
        ASSERT_EQ(m_writer.Init(), 1);
        m_writer.SetDbName(s_fileDb.c_str());
    }
    void TearDown() override {
        m_writer.OnQuit();
        m_writer.UnInit();
        Manager()->UnInit();
        Manager()->SetNodeListReadyCheck({});
        CSQLConnManager::GetInstance()->UnInit();
        std::filesystem::remove_all(Dir(""));
        TestClock::Reset();
    }

    static CDataFileManager* Manager() { return CDataFileManager::GetInstance(); }
    static std::string Dir(const std::string& table) {
        return CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + s_fileDb + "/" + table;
    }
    // Loads every queued file of the writer's database; returns their number.
    static int ImportAll() {
        MYSQL* connection = CSQLConnManager::GetInstance()->AllocSqlConn(s_fileDb.c_str(), CLIENT_LOCAL_FILES);
        EXPECT_NE(connection, nullptr);
        std::string db = s_fileDb, path, table;
        int files = 0;
        while (Manager()->GetImportInfo(&db, &path, &table)) {
            EXPECT_TRUE(Manager()->ImportDataFile(connection, table.c_str(), path.c_str(), false)) << path;
            Manager()->RemoveImportInfo(db.c_str(), table.c_str(), path.c_str());
            ++files;
        }
        CSQLConnManager::GetInstance()->ReleaseSqlConn(connection);
        return files;
    }
    static auto Rows(const std::string& db, const std::string& table, const std::string& columns) {
        MYSQL* connection = testdb::Connect(db);
        auto rows = testdb::Query(connection, "select " + columns + " from " + table + " order by " + columns);
        testdb::Close(connection);
        return rows;
    }

    static inline std::string s_main, s_sqlDb, s_fileDb;
    BYTE m_sqlNode[16];
    BYTE m_fileNode[16];
    CDataFileLogWriter m_writer;
};

TEST_F(DataFileLogWriterTest, BulkLoadedRowsEqualTheSqlWritersRows) {
    CFinalLogWriter sql;
    ASSERT_EQ(sql.Init(), 1);
    sql.SetDbName(s_sqlDb.c_str());
    for (const Sample& log : Logs(m_sqlNode)) EXPECT_EQ(log.OfferTo(sql), 1);
    sql.OnQuit();
    sql.UnInit();
    for (const Sample& log : Logs(m_fileNode)) EXPECT_EQ(log.OfferTo(m_writer), 1);
    m_writer.OnQuit();
    EXPECT_EQ(ImportAll(), 4);

    const std::vector<size_t> expectedRows = {2, 3, 6, 3};
    for (size_t t = 0; t < kTables.size(); ++t) {
        const auto& [table, columns] = kTables[t];
        const auto fromSql = Rows(s_sqlDb, table, columns);
        EXPECT_EQ(fromSql.size(), expectedRows[t]) << table;
        EXPECT_EQ(Rows(s_fileDb, table, columns), fromSql) << table;
    }
    // Independent of the SQL writer: the stored bytes are the node's text in GBK.
    std::string gbk;
    ASSERT_TRUE(Utf8ToGbkString(kTricky.c_str(), gbk));
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select hex(message) from usrsvrlog where svr_port = 1004"),
              HexUpper(reinterpret_cast<const BYTE*>(gbk.data()), gbk.size()));
    ASSERT_TRUE(Utf8ToGbkString("张三乗's", gbk));
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select hex(user_name) from usrbasiclog where svr_port = 1004"),
              HexUpper(reinterpret_cast<const BYTE*>(gbk.data()), gbk.size()));
    // One record id per log, shared by the two rows of an access.
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select count(*) from usrsvrlog s join usrbasiclog b using (record_id)"
                                         " where b.svr_port = s.svr_port"),
              "3");
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select count(distinct record_id) from usrbasiclog"), "6");
}

TEST_F(DataFileLogWriterTest, ServiceAccessWithoutServerIsDeclined) {
    auto access = UserLog<packet::UserRecordV3>(m_fileNode, packet::LOG_USER_V3, 3, "alice", "x", 80);
    packet::WriteU32Net(&access.common.serverAddressNet, 0);
    EXPECT_EQ(m_writer.WriteLog(1, &access, nullptr), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir("usrbasiclog")));
    EXPECT_FALSE(std::filesystem::exists(Dir("usrsvrlog")));
    m_writer.OnQuit();
    EXPECT_EQ(Manager()->ImportListSize(), 0u);
}

TEST_F(DataFileLogWriterTest, OneDataFilePerTableUntilOnQuit) {
    auto flow = UserLog<packet::UserRecordV3>(m_fileNode, packet::LOG_USER_V3, 2, "alice", "", 80);
    EXPECT_EQ(m_writer.WriteLog(1, &flow, nullptr), 1);
    EXPECT_EQ(m_writer.WriteLog(2, &flow, nullptr), 1);
    ASSERT_EQ(testenv::ListFiles(Dir("usrflowlog")).size(), 1u);
    m_writer.OnQuit();
    EXPECT_EQ(Manager()->ImportListSize(), 1u);
    // The released file is not reopened: a later log goes to the final writer.
    EXPECT_EQ(m_writer.WriteLog(1, &flow, nullptr), 0);
    EXPECT_EQ(testenv::ListFiles(Dir("usrflowlog")).size(), 1u);
    EXPECT_EQ(ImportAll(), 1);
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select count(*) from usrflowlog where user_id = 1 and svr_port = 80"), "2");
}

}  // namespace
