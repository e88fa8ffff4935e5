#include "db/SQLConnManager.h"

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/RunMode.h"
#include "core/ServiceStarter.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

constexpr char kClassTag[] = "[CSQLConnManager]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

}  // namespace

CSQLConnManager* CSQLConnManager::GetInstance() {
    // Never destroyed: threads may release connections while the process ends.
    static CSQLConnManager* instance = new CSQLConnManager();
    return instance;
}

bool CSQLConnManager::Init() {
    bool result = InitializeCriticalSectionAndSpinCount(&m_csConnections, kCsSpinCount);
    {
        // Entries left from before an earlier UnInit belong to a past run:
        // their handles may be long closed and their addresses reused.
        CCSLocker lock(&m_csConnections);
        for (auto& entry : m_Connections) {
            if (entry.second != nullptr) CloseHandle(entry.second);
        }
        m_Connections.clear();
        m_Reclaimed.clear();
    }
    if (IsRunningAsService()) {
        if (!MakeMySqlOK()) result = false;
        StartMonitor();
    }
    if (mysql_server_init(0, nullptr, nullptr) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Init] Cannot Init MySQL Library.\n");
        return false;
    }
    m_bLibraryReady = true;
    if (result) m_nInitialised.store(1);
    return result;
}

bool CSQLConnManager::StartMonitor() {
    if (!m_Monitor.Start(&CSQLConnManager::MySqlMonitor, this)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Init] Cannot Start MySqlMonitor Thread.\n");
        return false;
    }
    return true;
}

bool CSQLConnManager::UnInit() {
    m_nInitialised.store(0);
    m_Monitor.Stop(kMonitorStopWaitMs);
    DeleteCriticalSection(&m_csConnections);
    if (m_bLibraryReady) mysql_server_end();
    m_bLibraryReady = false;
    return true;
}

MYSQL* CSQLConnManager::AllocSqlConn(const char* database, unsigned long flags) {
    if (!IsInitialised()) return nullptr;
    // Connecting (with its pauses between attempts) happens outside the
    // table lock, so that an unreachable server holds up only the caller,
    // not every thread that borrows or gives back a connection.
    MYSQL* handle = mysql_init(nullptr);
    if (handle == nullptr) return nullptr;
    // Every text the service sends is GBK; naming it at connect time keeps
    // it so after an automatic reconnection too.
    mysql_options(handle, MYSQL_SET_CHARSET_NAME, "gbk");

    CConfigManager* config = CConfigManager::GetInstance();
    bool connected = false;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        const std::string host = config->m_Zelk.DBServer.Get();
        const std::string user = config->m_Zelk.DBUser.Get();
        const std::string password = config->m_Zelk.DBPwd.Get();
        const auto port = static_cast<unsigned>(config->m_MySqld.port.Get());
        if (mysql_real_connect(handle, host.c_str(), user.c_str(), password.c_str(), database, port, nullptr,
                               flags) != nullptr) {
            connected = true;
            break;
        }
        // The password is never written to the log.
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[AllocSqlConn] Cannot Connect MySQL %s:%u DbName = %s , User = %s , PW = ****** , Errno = %u , "
            "ErrStr = %s\n",
            host.c_str(), port, database != nullptr ? database : "", user.c_str(), mysql_errno(handle),
            mysql_error(handle));
        if (attempt + 1 == kConnectAttempts) break;
        // A stopping service does not wait for a server that is not there:
        // its writers keep what they cannot send in their spool files.
        const DWORD rc = CGlobalSharedData::GetInstance()->WaitForExitEvent(m_dwRetryDelayMs);
        if (rc == WAIT_OBJECT_0) break;
        if (rc == WAIT_FAILED) Sleep(m_dwRetryDelayMs);
    }
    if (!connected) {
        mysql_close(handle);
        return nullptr;
    }

    my_bool reconnect = 1;
    mysql_options(handle, MYSQL_OPT_RECONNECT, &reconnect);
    if (!IsInitialised()) {  // shut down while connecting
        mysql_close(handle);
        return nullptr;
    }
    CCSLocker lock(&m_csConnections);
    m_Reclaimed.erase(handle);  // the address may be reused by a new connection
    m_Connections[handle] = OpenCurrentThreadHandle();
    return handle;
}

void CSQLConnManager::ReleaseSqlConn(MYSQL* connection) {
    if (connection == nullptr || !IsInitialised()) return;
    CCSLocker lock(&m_csConnections);
    auto it = m_Connections.find(connection);
    if (it != m_Connections.end()) {
        if (it->second != nullptr) CloseHandle(it->second);
        m_Connections.erase(it);
    } else {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[ReleaseSqlConn] Specify SqlConn Cannot Be Found In SqlManager\n");
        // Already closed by the clean-up: closing it again would free it twice.
        if (m_Reclaimed.erase(connection) != 0) return;
    }
    mysql_close(connection);
}

int CSQLConnManager::ThreadInit() { return mysql_thread_init(); }

void CSQLConnManager::ThreadEnd() { mysql_thread_end(); }

bool CSQLConnManager::MysqlConnCleanUp() {
    if (!IsInitialised()) return true;
    CCSLocker lock(&m_csConnections);
    for (auto it = m_Connections.begin(); it != m_Connections.end();) {
        HANDLE thread = it->second;
        if (thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) {
            CloseHandle(thread);
            mysql_close(it->first);
            m_Reclaimed.insert(it->first);
            it = m_Connections.erase(it);
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[MysqlConnCleanUp] Release A MySql Connection!\n");
        } else {
            ++it;
        }
    }
    return true;
}

size_t CSQLConnManager::ConnectionCount() {
    CCSLocker lock(&m_csConnections);
    return m_Connections.size();
}

bool CSQLConnManager::MakeMySqlOK() {
    return EnsureServiceRunning(kMySqlServiceName,
                                {kClassTag, "MakeMySqlOK", "[MakeMySqlOK] Start MySql Service Succeed.\n"}, false);
}

DWORD CSQLConnManager::MySqlMonitor(void* param) {
    auto* manager = static_cast<CSQLConnManager*>(param);
    if (manager == nullptr) return static_cast<DWORD>(-1);
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[MySqlMonitor] Thread Start...\n");
    DWORD rc = manager->m_Monitor.WaitPeriod(manager->m_dwMonitorPeriodMs);
    while (rc == WAIT_TIMEOUT) {
        if (manager->MakeMySqlOK()) {
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[MySqlMonitor] MySQL Is OK.\n");
        } else {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[MySqlMonitor] Cannot MakeMysqlOK!!\n");
        }
        manager->MysqlConnCleanUp();
        rc = manager->m_Monitor.WaitPeriod(manager->m_dwMonitorPeriodMs);
    }
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[MySqlMonitor] Thread Exit WaitRet = %u\n", rc);
    return 0;
}
