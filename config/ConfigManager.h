// Every setting of the program, loaded from the configuration files.
//
// Seven INI files are registered with a loader each; the configuration
// monitor reloads one by name when it changes. Readers on other threads use
// the fields directly while a reload may run: integers are atomic words,
// strings and lists are returned as consistent copies (never half-written).
// Until a file has been loaded its block holds zeros and empty values, not the
// defaults: a missing Zelk.conf leaves Port at 0, a missing ProgramLog.conf
// keeps the program log silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Sync.h"

// A 32-bit setting read without locks.
class ConfigInt {
public:
    operator std::int32_t() const { return m_value.load(std::memory_order_relaxed); }
    std::int32_t Get() const { return m_value.load(std::memory_order_relaxed); }
    void Set(std::int32_t value) { m_value.store(value, std::memory_order_relaxed); }

private:
    std::atomic<std::int32_t> m_value{0};
};

// A text setting; Get returns a copy taken under its own small lock.
class ConfigString {
public:
    std::string Get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }
    operator std::string() const { return Get(); }
    void Set(std::string value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_value.swap(value);
    }

private:
    mutable std::mutex m_mutex;
    std::string m_value;
};

// A list setting; Get returns a snapshot that stays valid and unchanged for
// as long as the caller holds it, whatever reloads happen meanwhile.
template <class T>
class ConfigList {
public:
    using Snapshot = std::shared_ptr<const std::vector<T>>;
    Snapshot Get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }
    void Set(std::vector<T> value) {
        auto next = std::make_shared<const std::vector<T>>(std::move(value));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_value.swap(next);
    }

private:
    mutable std::mutex m_mutex;
    Snapshot m_value = std::make_shared<const std::vector<T>>();
};

// Zelk.conf
struct ZelkConfig {
    ConfigString MysqlPath;
    ConfigString DBType;
    ConfigString DBServer;
    ConfigString DBUser;
    ConfigString DBPwd;
    ConfigString DataBase;
    // TLS to the database server: DBSslMode 0 plain, any other value
    // requires TLS and verifies the server's certificate (against DBSslCa);
    // DBSslCert and DBSslKey name the service's own certificate and key.
    ConfigInt DBSslMode;
    ConfigString DBSslCa;
    ConfigString DBSslCert;
    ConfigString DBSslKey;
    // Seconds a connection attempt, a wait for the server's answer and a
    // send may take (client connect, read and write time-outs).
    ConfigInt DBConnectTimeout;
    ConfigInt DBReadTimeout;
    ConfigInt DBWriteTimeout;
    ConfigInt Port;
    ConfigString BackPath;
    ConfigString LogPath;
    ConfigInt AutoClearType;
    ConfigInt DbContent;
    ConfigInt DbCyc;
    ConfigInt StartCheckTime;
    ConfigInt EndCheckTime;
    ConfigInt StartStrongRepairTime;
    ConfigInt EndStrongRepairTime;
    ConfigInt MinFreeSpace;
    ConfigInt ISFULL;  // start value; the disk-space monitor overwrites it at run time
};

// ZelkAdv.conf (the four EnableLogMerge keys are named by their section)
struct ZelkAdvConfig {
    ConfigInt GlobalEnableLogMerge;
    ConfigInt ParticleTime;
    ConfigInt MergeBuffers;
    ConfigInt MergeBufferSize;
    ConfigInt UserLogEnableLogMerge;
    ConfigInt EnableHttpFilter;
    ConfigString HttpFilterList;
    ConfigInt KeepFilterLog;
    ConfigInt FlowLogEnableLogMerge;
    ConfigInt SysLogEnableLogMerge;
    ConfigInt TarnNodeRecvBuffSize;
    ConfigInt TarnNodeSendBuffSize;
    ConfigInt MaxPackgeSize;
    ConfigInt DumpInvalidLog;
    ConfigInt DataFileUseTime;
    ConfigInt EnableAsyncWrite;
    ConfigInt EnableLargeDataAsyncWrite;
    ConfigInt NoTempTableDataFileSize;
    ConfigInt DataFileMaxSize;
    ConfigInt ListenPort;
    ConfigString MetricsAddress;  // the scrape endpoint's address
    ConfigInt MetricsPort;        // its port; 0 turns it off
    ConfigInt MaxConnection;
    // Limits of what one peer may hold (see docs/configuration.md).
    ConfigInt IdentifyTimeout;          // s a new connection has to send a packet of a known node
    ConfigInt IdleTimeout;              // s an identified connection may stay silent
    ConfigInt MaxConnectionPerAddress;  // unidentified connections from one source address
    ConfigInt SendStallTimeout;         // s the send side may make no progress
    ConfigInt MaxSnapshotSize;          // MiB, largest info-sync snapshot
    ConfigInt MaxNewUsersPerMinute;     // directory names added per node per minute
    ConfigInt MaxCacheStatements;       // statements one SQL cache holds before it spools
    ConfigInt MaxCacheSize;             // MiB one SQL cache holds before it spools
    ConfigInt MaxOpenUploadsPerNode;    // open audit-file uploads of one node database
    ConfigInt MaxOpenUploads;           // open audit-file uploads in all
    ConfigInt MaxUploadIdleTime;        // s, upper bound of the idle time-out a node asks for
    ConfigInt MaxBlockSize;             // KiB, largest audit-file block
};

// ProgramLog.conf (each load hands the values to the program log)
struct ProgramLogConfig {
    ConfigInt GlobalEnable;     // GlobalProgramLog/Enable
    ConfigInt DebugViewEnable;  // DebugViewLog/Enable
    ConfigInt TxtLogEnable;     // TxtLog/Enable
    ConfigInt MaxLogSize;       // KiB, 0 = no limit
    ConfigInt LogLevel;         // mask of levels written to the file
    ConfigInt MaxLogFiles;      // 0 = keep every file
};

// mysql/my.ini (the MySQL server's own option file, read only)
struct MySqldConfig {
    ConfigInt port;
    ConfigString basedir;
    ConfigString datadir;
};

struct StatisticsTableInfo {
    std::int32_t StatistCys = 0;
    std::int32_t SleepTime = 0;
    std::int32_t ErrorTime = 0;
    std::int32_t StatistTime = 0;
    std::string TableName;
    std::string CreateSql;
    std::string CreateProcSql;
    std::string StatistSql;
    std::string CleanStatistByTime;
    std::string CleanStatistSql;
};

// statistics.conf
struct StatisticsConfig {
    ConfigList<StatisticsTableInfo> Tables;
    ConfigString CleanBaseProcByTime;
    ConfigString CleanBaseByTime;
    ConfigString CleanBaseByContent;
    ConfigString RepairTable;
};

struct LogudtTableInfo {
    std::string tablename;
    std::vector<std::string> attributes;
};

// Logudt.conf
struct LogudtConfig {
    ConfigList<LogudtTableInfo> Tables;
};

// updatesql.conf
struct UpdateSqlConfig {
    ConfigList<std::string> Statements;
};

class CConfigManager {
public:
    // Longest string or statement kept; longer values are cut (with a warning).
    static constexpr size_t kMaxValueLength = 518;

    static CConfigManager* GetInstance();

    bool Init();
    bool UnInit();

    // Reloads the registered file whose name equals name ignoring case.
    bool LoadSpicifyConfig(const char* name);
    // With a name: LoadSpicifyConfig; without: every loader in order, true only
    // when all succeeded.
    bool LoadConfig(const char* name = nullptr);

    bool LoadZelkConfig();
    bool LoadUpdateSqlConfig();
    bool LoadLogudtConfig();
    bool LoadStatisticsConfig();
    bool LoadZelkAdvConfig();
    bool LoadProgramLogConfig();
    bool LoadMySqldConfig();

    // The folders the configuration lives in: the install folder (which
    // holds mysql/my.ini), the config folder (the other files) and the
    // folder the configuration monitor keeps its start-up backups in. They
    // are handed down once the install tree is laid out; until then they are
    // empty. Any thread; the getters return copies.
    void SetDirectories(const std::string& installDir, const std::string& configDir, const std::string& backupDir);
    std::string GetInstallDir() const { return m_InstallDir.Get(); }
    std::string GetConfigDir() const { return m_ConfigDir.Get(); }
    std::string GetBackupDir() const { return m_BackupDir.Get(); }

    ZelkConfig m_Zelk;
    ZelkAdvConfig m_ZelkAdv;
    ProgramLogConfig m_ProgramLog;
    MySqldConfig m_MySqld;
    StatisticsConfig m_Statistics;
    LogudtConfig m_Logudt;
    UpdateSqlConfig m_UpdateSql;

private:
    using Loader = bool (CConfigManager::*)();
    struct Registration {
        std::string name;
        Loader loader;
    };

    CConfigManager() = default;

    void Register(const char* name, Loader loader);

    CRITICAL_SECTION m_csZelk;
    CRITICAL_SECTION m_csUpdateSql;
    CRITICAL_SECTION m_csLogudt;
    CRITICAL_SECTION m_csStatistics;
    CRITICAL_SECTION m_csZelkAdv;
    CRITICAL_SECTION m_csProgramLog;
    CRITICAL_SECTION m_csMySqld;
    CRITICAL_SECTION m_csTable;
    std::vector<Registration> m_Loaders;
    ConfigString m_InstallDir;
    ConfigString m_ConfigDir;
    ConfigString m_BackupDir;
};
