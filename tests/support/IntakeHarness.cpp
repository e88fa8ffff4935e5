#include "audit/AuditFileManager.h"
#include "core/SocketManager.h"
#include "core/Task.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFileManager.h"
#include "datafile/LoadDataTask.h"
#include "db/SQLConnManager.h"
#include "node/DataCenterListenTask.h"
#include "node/TarnNodeManager.h"
#include "support/Prelude.h"
#include "writers/LogMerger.h"
#include "writers/SqlSpool.h"

namespace testintake {

void SetKey(const char* file, const char* section, const char* key, const std::string& value) {
    const std::string path = testenv::ConfigDir() + "/" + file;
    ASSERT_TRUE(WritePrivateProfileStringA(section, key, value.c_str(), path.c_str()));
    ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig(file));
}

CDataCenterListenTask* Start(std::uint16_t port) {
    SetKey("Zelk.conf", "DatabaseConfig", "Port", std::to_string(port));
    EXPECT_TRUE(CBuffManager::GetInstance()->Init());
    EXPECT_TRUE(CSocketManager::GetInstance()->Init());
    CSQLConnManager::GetInstance()->SetRetryDelay(1);
    EXPECT_TRUE(CSQLConnManager::GetInstance()->Init());
    CSqlSpool::GetInstance()->SetPassPeriod(100);
    EXPECT_TRUE(CSqlSpool::GetInstance()->Init());
    CDataFileManager::GetInstance()->SetSwitchPeriod(100);
    CDataFileManager::GetInstance()->SetStartImportDelay(0);
    CDataFileManager::GetInstance()->SetWaitingImportPeriod(100);
    EXPECT_TRUE(CDataFileManager::GetInstance()->Init());
    CLoadDataTask::SetDefaultPassPeriod(100);
    // Merge buffers are checked every second.
    SetKey("ZelkAdv.conf", "Global", "ParticleTime", "1");
    // Every test peer connects from 127.0.0.1, and tests move the clock on
    // by minutes while their connections wait.
    SetKey("ZelkAdv.conf", "Network", "MaxConnectionPerAddress", "64");
    SetKey("ZelkAdv.conf", "Network", "IdentifyTimeout", "600");
    SetKey("ZelkAdv.conf", "Network", "IdleTimeout", "86400");
    EXPECT_TRUE(CLogMergeManager::GetInstance()->Init());
    CTaskManager::GetInstance()->SetReaperPeriod(100);
    EXPECT_TRUE(CTaskManager::GetInstance()->Init());
    CTarnNodeManager::GetInstance()->SetReaperPeriod(100);
    EXPECT_TRUE(CTarnNodeManager::GetInstance()->Init());
    CAuditFileManager::GetInstance()->SetReapPeriod(100);
    EXPECT_TRUE(CAuditFileManager::GetInstance()->Init());
    auto* listener = new CDataCenterListenTask();
    EXPECT_TRUE(CTaskManager::GetInstance()->AddTask(listener));
    int probe = testnet::ConnectWithin(port, 10000);
    EXPECT_GE(probe, 0) << "the listener did not come up";
    // The probe's connection is registered first and then reaped, so that no
    // test finds it among its own (and reads it while the reaper frees it).
    EXPECT_TRUE(testenv::WaitFor([] { return CTarnNodeManager::GetInstance()->NodeCount() == 1; }, 5000));
    testnet::Close(probe);
    EXPECT_TRUE(testenv::WaitFor([] { return CTarnNodeManager::GetInstance()->NodeCount() == 0; }, 5000));
    return listener;
}

void Stop(CDataCenterListenTask* listener) {
    listener->Stop();
    EXPECT_EQ(CTaskManager::GetInstance()->WaitForSingleTask(listener, 10000), WAIT_OBJECT_0);
    CTaskManager::GetInstance()->DetachTask(listener);
    CTaskManager::GetInstance()->DeleteWhenEnded(listener);
    testenv::WaitFor([] { return CTarnNodeManager::GetInstance()->NodeCount() == 0; }, 10000);
    CAuditFileManager::GetInstance()->UnInit();
    CTarnNodeManager::GetInstance()->UnInit();
    CTaskManager::GetInstance()->UnInit();
    CLogMergeManager::GetInstance()->UnInit();
    CDataFileManager::GetInstance()->UnInit();
    CSqlSpool::GetInstance()->UnInit();
    CSQLConnManager::GetInstance()->UnInit();
}

void RotateDataFiles() {
    // Due merge buffers go down the chain first (within a second), then the
    // data files they were written to are due as well.
    TestClock::AdvanceTicks(31 * 60 * 1000);
    EXPECT_TRUE(testenv::WaitFor(
        [] {
            DWORD buffers = 0;
            std::uint64_t total = 0, used = 0;
            CLogMergeManager::GetInstance()->GetStatistics(&buffers, &total, &used);
            return used == 0;
        },
        10000));
    TestClock::AdvanceTicks(31 * 60 * 1000);
}

bool DataFilesImported(const std::string& database) {
    const std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + database;
    for (const char* table : {"usrflowlog", "usrbasiclog", "usrsvrlog", "syslog"}) {
        if (!testenv::ListFiles(dir + "/" + table).empty()) return false;
    }
    return true;
}

const char kUserSnapshot[] = "<?xml version=\"1.0\"?><content><tarnuser><row id=\"1\" name=\"alice\" grpid=\"10\"/>"
                             "</tarnuser><tarngroup><row id=\"10\" pgrpid=\"0\"/></tarngroup></content>";

bool SyncUsers(int peer, const std::uint8_t identity[16], const std::string& content) {
    return testnet::SendAll(peer, testpkt::InfoSync(identity, 1, content, testpkt::Md5Hex(content))) &&
           testnet::ReceiveExactly(peer, packet::kInfoSyncReplySize, 10000).size() == packet::kInfoSyncReplySize;
}

void Service::Open(const std::string& prefix, const char* nodeMd5, const char* secondNodeMd5,
                   const std::function<void()>& prepare) {
    testenv::UseFreshLogDay();
    mainDb = testdb::UniqueName(prefix);
    nodeDb = testdb::UniqueName(prefix + "_node");
    testdb::CreateDatabase(mainDb, "main.sql");
    testdb::CreateDatabase(nodeDb, "node.sql");
    testdb::RegisterNode(mainDb, "gw", nodeMd5, nodeDb);
    if (secondNodeMd5 != nullptr) testdb::RegisterNode(mainDb, "gw2", secondNodeMd5, nodeDb);
    testdb::ConfigureService(mainDb);
    if (prepare) prepare();
    port = testnet::FreePort();
    listener = Start(port);
}

void Service::Close() {
    if (listener != nullptr) Stop(listener);
    listener = nullptr;
    testdb::DropDatabase(mainDb);
    testdb::DropDatabase(nodeDb);
}

}  // namespace testintake
