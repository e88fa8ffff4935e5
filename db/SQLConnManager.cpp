#include "db/SQLConnManager.h"

#include <fcntl.h>
#include <mysqld_error.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/RunMode.h"
#include "core/ServiceStarter.h"
#include "core/modules/CSLocker.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

constexpr char kClassTag[] = "[CSQLConnManager]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// LOAD DATA LOCAL callbacks. The user data is the one path allowed (a
// CLocalInfileScope's), or null: then every request is refused. The library
// calls the error and end callbacks after a failed init too, so init always
// leaves a state behind when it can.
struct LocalInfileState {
    int fd = -1;
    int error = 0;
    char message[160] = {};
};

void SetInfileError(LocalInfileState* state, int error, const char* format, const char* detail) {
    state->error = error;
    std::snprintf(state->message, sizeof(state->message), format, detail);
}

int LocalInfileInit(void** handle, const char* filename, void* allowed) {
    auto* state = new (std::nothrow) LocalInfileState();
    *handle = state;
    if (state == nullptr) return 1;
    const auto* path = static_cast<const std::string*>(allowed);
    if (filename == nullptr || path == nullptr || *path != filename) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
            "[LocalInfileInit] Server Asked To Read File = %.200s , Not The File Being Imported. Refused\n",
            filename != nullptr ? filename : "");
        SetInfileError(state, ER_NOT_ALLOWED_COMMAND, "LOAD DATA LOCAL of %.100s refused by the client",
                       filename != nullptr ? filename : "");
        return 1;
    }
    state->fd = open(filename, O_RDONLY | O_CLOEXEC);
    if (state->fd < 0) {
        SetInfileError(state, errno, "Cannot open %.100s", filename);
        return 1;
    }
    return 0;
}

int LocalInfileRead(void* handle, char* buffer, unsigned int length) {
    auto* state = static_cast<LocalInfileState*>(handle);
    ssize_t got = 0;
    do {
        got = read(state->fd, buffer, length);
    } while (got < 0 && errno == EINTR);
    if (got < 0) SetInfileError(state, errno, "Cannot read %s", "the data file");
    return static_cast<int>(got);
}

void LocalInfileEnd(void* handle) {
    auto* state = static_cast<LocalInfileState*>(handle);
    if (state == nullptr) return;
    if (state->fd >= 0) close(state->fd);
    delete state;
}

int LocalInfileError(void* handle, char* buffer, unsigned int length) {
    const auto* state = static_cast<LocalInfileState*>(handle);
    const char* message = state != nullptr ? state->message : "out of memory";
    if (length > 0) std::snprintf(buffer, length, "%s", message);
    return state != nullptr && state->error != 0 ? state->error : ER_NOT_ALLOWED_COMMAND;
}

void SetLocalInfileAllowed(MYSQL* connection, const std::string* path) {
    mysql_set_local_infile_handler(connection, LocalInfileInit, LocalInfileRead, LocalInfileEnd, LocalInfileError,
                                   const_cast<std::string*>(path));
}

}  // namespace

CLocalInfileScope::CLocalInfileScope(MYSQL* connection, std::string path)
    : m_pConnection(connection), m_strPath(std::move(path)) {
    if (m_pConnection != nullptr) SetLocalInfileAllowed(m_pConnection, &m_strPath);
}

CLocalInfileScope::~CLocalInfileScope() {
    if (m_pConnection != nullptr) SetLocalInfileAllowed(m_pConnection, nullptr);
}

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

MYSQL* CSQLConnManager::NewHandle(unsigned long flags) {
    MYSQL* handle = mysql_init(nullptr);
    if (handle == nullptr) return nullptr;
    // Every text the service sends is GBK.
    mysql_options(handle, MYSQL_SET_CHARSET_NAME, "gbk");
    my_bool reconnect = 0;
    mysql_options(handle, MYSQL_OPT_RECONNECT, &reconnect);
    // Only the import's connections may answer a LOAD DATA LOCAL request at
    // all, and they only with the file a CLocalInfileScope names.
    if ((flags & CLIENT_LOCAL_FILES) == 0) {
        unsigned int local = 0;
        mysql_options(handle, MYSQL_OPT_LOCAL_INFILE, &local);
    }
    SetLocalInfileAllowed(handle, nullptr);

    const ZelkConfig& config = CConfigManager::GetInstance()->m_Zelk;
    const unsigned int timeouts[] = {static_cast<unsigned int>(config.DBConnectTimeout.Get()),
                                     static_cast<unsigned int>(config.DBReadTimeout.Get()),
                                     static_cast<unsigned int>(config.DBWriteTimeout.Get())};
    mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &timeouts[0]);
    mysql_options(handle, MYSQL_OPT_READ_TIMEOUT, &timeouts[1]);
    mysql_options(handle, MYSQL_OPT_WRITE_TIMEOUT, &timeouts[2]);
    if (config.DBSslMode.Get() != 0) {
        my_bool on = 1;
        mysql_optionsv(handle, MYSQL_OPT_SSL_ENFORCE, &on);
        mysql_optionsv(handle, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
        const std::string files[] = {config.DBSslCa.Get(), config.DBSslCert.Get(), config.DBSslKey.Get()};
        const mysql_option options[] = {MYSQL_OPT_SSL_CA, MYSQL_OPT_SSL_CERT, MYSQL_OPT_SSL_KEY};
        for (int i = 0; i < 3; ++i) {
            if (!files[i].empty()) mysql_optionsv(handle, options[i], files[i].c_str());
        }
    }
    return handle;
}

bool CSQLConnManager::IsGbkConnection(MYSQL* connection, std::string* found) {
    found->clear();
    const char* client = mysql_character_set_name(connection);
    if (client == nullptr || std::strcmp(client, "gbk") != 0) {
        *found = client != nullptr ? client : "";
        return false;
    }
    // The server's own view: an init_connect or a server that ignores the
    // client's choice would leave the library believing in GBK.
    if (mysql_query(connection, "select @@character_set_client , @@character_set_connection , "
                                "@@character_set_results") != 0) {
        *found = mysql_error(connection);
        return false;
    }
    MYSQL_RES* result = mysql_store_result(connection);
    MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result) : nullptr;
    bool gbk = row != nullptr && mysql_num_fields(result) == 3;
    for (unsigned i = 0; gbk && i < 3; ++i) {
        if (row[i] == nullptr || std::strcmp(row[i], "gbk") != 0) {
            *found = row[i] != nullptr ? row[i] : "NULL";
            gbk = false;
        }
    }
    if (result != nullptr) mysql_free_result(result);
    return gbk;
}

MYSQL* CSQLConnManager::Connect(const char* database, unsigned long flags, bool* serverError) {
    *serverError = false;
    MYSQL* handle = NewHandle(flags);
    if (handle == nullptr) return nullptr;
    CConfigManager* config = CConfigManager::GetInstance();
    const std::string host = config->m_Zelk.DBServer.Get();
    const std::string user = config->m_Zelk.DBUser.Get();
    const std::string password = config->m_Zelk.DBPwd.Get();
    const auto port = static_cast<unsigned>(config->m_MySqld.port.Get());
    if (mysql_real_connect(handle, host.c_str(), user.c_str(), password.c_str(), database, port, nullptr, flags) !=
        nullptr) {
        std::string charset;
        if (IsGbkConnection(handle, &charset)) return handle;
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[AllocSqlConn] MySQL %s:%u DbName = %s Talks Character Set = %s , Not gbk. Connection Closed\n",
            host.c_str(), port, database != nullptr ? database : "", charset.c_str());
    } else {
        *serverError = IsSqlConnectionError(mysql_errno(handle));
        // The password is never written to the log.
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[AllocSqlConn] Cannot Connect MySQL %s:%u DbName = %s , User = %s , PW = ****** , Errno = %u , "
            "ErrStr = %s\n",
            host.c_str(), port, database != nullptr ? database : "", user.c_str(), mysql_errno(handle),
            mysql_error(handle));
    }
    mysql_close(handle);
    return nullptr;
}

bool CSQLConnManager::MayTry(Wait wait) {
    if (!m_bDown.load()) return true;
    if (wait == Wait::kNoWait) return false;
    std::lock_guard<std::mutex> lock(m_OutageLock);
    const DWORD now = GetTickCount();
    if (static_cast<std::int32_t>(now - m_dwNextProbeTick) < 0) return false;
    // This caller probes; the next one waits for the next probe time.
    m_dwNextProbeTick = now + m_dwProbeDelayMs;
    m_dwProbeDelayMs = std::min(m_dwProbeDelayMs * 2, kMaxProbeDelayMs);
    return true;
}

void CSQLConnManager::NoteAttempt(bool connected, bool serverError) {
    std::lock_guard<std::mutex> lock(m_OutageLock);
    if (connected) {
        if (m_bDown.exchange(false)) {
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
                "[AllocSqlConn] MySQL Answers Again After %llu Failed Probe(s).\n",
                static_cast<unsigned long long>(m_nFailedProbes));
        }
        m_dwProbeDelayMs = kFirstProbeDelayMs;
        m_nFailedProbes = 0;
        return;
    }
    if (!serverError) return;
    if (m_bDown.exchange(true)) {
        ++m_nFailedProbes;
        return;
    }
    m_dwNextProbeTick = GetTickCount() + m_dwProbeDelayMs;
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
        "[AllocSqlConn] MySQL Does Not Answer: Statements Of The Intake Go To The Spool , Connections Are Tried "
        "Again After %u ms , Then At Growing Intervals Up To %u ms.\n",
        m_dwProbeDelayMs, kMaxProbeDelayMs);
}

MYSQL* CSQLConnManager::AllocSqlConn(const char* database, unsigned long flags, Wait wait) {
    if (!IsInitialised()) return nullptr;
    // Connecting (with its pauses between attempts) happens outside the
    // table lock, so that an unreachable server holds up only the caller,
    // not every thread that borrows or gives back a connection.
    if (!MayTry(wait)) {
        SetLastError(ERROR_NOT_CONNECTED);
        return nullptr;
    }
    // A caller that may wait tries three times, unless MySQL is known to be
    // down: then this is a probe, one attempt.
    const int attempts = wait == Wait::kMayWait && !m_bDown.load() ? kConnectAttempts : 1;
    MYSQL* handle = nullptr;
    bool serverError = false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        handle = Connect(database, flags, &serverError);
        if (handle != nullptr || attempt + 1 == attempts) break;
        // A stopping service does not wait for a server that is not there:
        // its writers keep what they cannot send in their spool files.
        const DWORD rc = WaitForExitEvent(m_dwRetryDelayMs);
        if (rc == WAIT_OBJECT_0) break;
        if (rc == WAIT_FAILED) Sleep(m_dwRetryDelayMs);
    }
    NoteAttempt(handle != nullptr, serverError);
    if (handle == nullptr) return nullptr;
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
