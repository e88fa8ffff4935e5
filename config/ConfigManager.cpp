#include "config/ConfigManager.h"

#include <strings.h>

#include <cstdio>

#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "platform/Files.h"
#include "platform/Ini.h"

namespace {

constexpr char kClassTag[] = "[CConfigManager]";
constexpr int kMaxListEntries = 4096;

// Reads one file for one loader: checks that it exists, parses it once, and
// applies the integer, range and length rules while reporting under the
// loader's name.
class CBlockReader {
public:
    CBlockReader(const char* loaderName, std::string path) : m_loaderName(loaderName), m_path(std::move(path)) {}

    bool Open() {
        if (GetFileAttributesA(m_path.c_str()) == INVALID_FILE_ATTRIBUTES || !m_doc.Load(m_path)) {
            DWORD err = GetLastError();
            Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, kClassTag,
                "[%s] Cannot Get File Attributes. FileName = %s , Err = %u.\n", m_loaderName, m_path.c_str(), err);
            return false;
        }
        return true;
    }

    std::int32_t Int(const char* section, const char* key, std::int32_t defaultValue) const {
        std::string text;
        return m_doc.GetString(section, key, &text) ? IniParseInt(text) : defaultValue;
    }

    // A value outside [low, high] becomes replacement.
    std::int32_t Ranged(const char* section, const char* key, std::int32_t defaultValue, std::int32_t low,
                        std::int32_t high, std::int32_t replacement) const {
        std::int32_t value = Int(section, key, defaultValue);
        return (value < low || value > high) ? replacement : value;
    }

    std::string Str(const char* section, const char* key) const {
        std::string value;
        if (!m_doc.GetString(section, key, &value)) return std::string();
        if (Cut(&value)) {
            Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, kClassTag,
                "[%s] Value Cut To %u Characters. FileName = %s , Section = %s , Key = %s\n", m_loaderName,
                static_cast<unsigned>(CConfigManager::kMaxValueLength), m_path.c_str(), section, key);
        }
        return value;
    }

    // Number of entries of a list file. A count beyond any real configuration
    // (a typing error, a damaged file) would make the loader build millions
    // of empty entries, so it is held at kMaxListEntries with a warning.
    int Count(const char* section, const char* key) const {
        int count = Int(section, key, 0);
        if (count > kMaxListEntries) {
            Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, kClassTag,
                "[%s] Count %d Too Large, Using %d. FileName = %s , Section = %s , Key = %s\n", m_loaderName, count,
                kMaxListEntries, m_path.c_str(), section, key);
            count = kMaxListEntries;
        }
        return count;
    }

    // The first line of a section: an SQL statement.
    std::string Statement(const char* section) const {
        std::vector<std::string> lines;
        if (!m_doc.GetSection(section, &lines) || lines.empty()) return std::string();
        std::string value = lines.front();
        if (Cut(&value)) {
            Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, kClassTag,
                "[%s] Statement Cut To %u Characters. FileName = %s , Section = %s\n", m_loaderName,
                static_cast<unsigned>(CConfigManager::kMaxValueLength), m_path.c_str(), section);
        }
        return value;
    }

private:
    // Cuts a value to the longest kept length; true when it was longer.
    static bool Cut(std::string* value) {
        if (value->size() <= CConfigManager::kMaxValueLength) return false;
        value->resize(CConfigManager::kMaxValueLength);
        return true;
    }

    const char* m_loaderName;
    std::string m_path;
    CIniDocument m_doc;
};

std::string ConfigPath(const char* name) { return CConfigManager::GetInstance()->GetConfigDir() + "/" + name; }

std::string Indexed(const char* pattern, int index) {
    char name[64];
    std::snprintf(name, sizeof(name), pattern, index);
    return name;
}

}  // namespace

CConfigManager* CConfigManager::GetInstance() {
    // Never destroyed: settings are read by threads until the process ends.
    static CConfigManager* instance = new CConfigManager();
    return instance;
}

void CConfigManager::SetDirectories(const std::string& installDir, const std::string& configDir,
                                    const std::string& backupDir) {
    m_InstallDir.Set(installDir);
    m_ConfigDir.Set(configDir);
    m_BackupDir.Set(backupDir);
}

void CConfigManager::Register(const char* name, Loader loader) { m_Loaders.push_back(Registration{name, loader}); }

bool CConfigManager::Init() {
    CRITICAL_SECTION* sections[] = {&m_csZelk,     &m_csUpdateSql,  &m_csLogudt, &m_csStatistics,
                                    &m_csZelkAdv,  &m_csProgramLog, &m_csMySqld, &m_csTable};
    bool ok = true;
    for (CRITICAL_SECTION* cs : sections) ok = InitializeCriticalSectionAndSpinCount(cs, kCsSpinCount) && ok;

    {
        CCSLocker lock(&m_csTable);
        m_Loaders.clear();
        Register("Zelk.conf", &CConfigManager::LoadZelkConfig);
        Register("updatesql.conf", &CConfigManager::LoadUpdateSqlConfig);
        Register("Logudt.conf", &CConfigManager::LoadLogudtConfig);
        Register("statistics.conf", &CConfigManager::LoadStatisticsConfig);
        Register("ZelkAdv.conf", &CConfigManager::LoadZelkAdvConfig);
        Register("ProgramLog.conf", &CConfigManager::LoadProgramLogConfig);
        Register("mysql/my.ini", &CConfigManager::LoadMySqldConfig);
        // The program log's own settings come first, so that what the other
        // files report while they load (a value cut, a list capped) reaches
        // the log at start-up, when it matters most.
        LoadProgramLogConfig();
        for (const Registration& r : m_Loaders) {
            if (r.loader != &CConfigManager::LoadProgramLogConfig) (this->*r.loader)();
        }
    }
    return ok;
}

bool CConfigManager::UnInit() {
    CRITICAL_SECTION* sections[] = {&m_csZelk,     &m_csUpdateSql,  &m_csLogudt, &m_csStatistics,
                                    &m_csZelkAdv,  &m_csProgramLog, &m_csMySqld, &m_csTable};
    for (CRITICAL_SECTION* cs : sections) DeleteCriticalSection(cs);
    return true;
}

bool CConfigManager::LoadSpicifyConfig(const char* name) {
    if (name == nullptr || *name == '\0') return false;
    CCSLocker lock(&m_csTable);
    for (const Registration& r : m_Loaders) {
        if (strcasecmp(r.name.c_str(), name) == 0) return (this->*r.loader)();
    }
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, kClassTag,
        "[LoadSpicifyConfig] Cannot Find Function To Load %s\n", name);
    return false;
}

bool CConfigManager::LoadConfig(const char* name) {
    if (name != nullptr) return LoadSpicifyConfig(name);
    CCSLocker lock(&m_csTable);
    bool all = true;
    for (const Registration& r : m_Loaders) all = (this->*r.loader)() && all;
    return all;
}

bool CConfigManager::LoadZelkConfig() {
    CCSLocker lock(&m_csZelk);
    CBlockReader r("LoadZelkConfig", ConfigPath("Zelk.conf"));
    if (!r.Open()) return false;
    m_Zelk.MysqlPath.Set(r.Str("DatabaseConfig", "MysqlPath"));
    m_Zelk.DBType.Set(r.Str("DatabaseConfig", "DBType"));
    m_Zelk.DBServer.Set(r.Str("DatabaseConfig", "DBServer"));
    m_Zelk.DBUser.Set(r.Str("DatabaseConfig", "DBUser"));
    m_Zelk.DBPwd.Set(r.Str("DatabaseConfig", "DBPwd"));
    m_Zelk.DataBase.Set(r.Str("DatabaseConfig", "DataBase"));
    m_Zelk.DBSslMode.Set(r.Int("DatabaseConfig", "DBSslMode", 0));
    m_Zelk.DBSslCa.Set(r.Str("DatabaseConfig", "DBSslCa"));
    m_Zelk.DBSslCert.Set(r.Str("DatabaseConfig", "DBSslCert"));
    m_Zelk.DBSslKey.Set(r.Str("DatabaseConfig", "DBSslKey"));
    m_Zelk.DBConnectTimeout.Set(r.Ranged("DatabaseConfig", "DBConnectTimeout", 5, 1, 3600, 5));
    m_Zelk.DBReadTimeout.Set(r.Ranged("DatabaseConfig", "DBReadTimeout", 600, 1, 86400, 600));
    m_Zelk.DBWriteTimeout.Set(r.Ranged("DatabaseConfig", "DBWriteTimeout", 60, 1, 86400, 60));
    m_Zelk.Port.Set(r.Int("DatabaseConfig", "Port", 9501));
    m_Zelk.BackPath.Set(r.Str("DatabaseConfig", "BackPath"));
    m_Zelk.LogPath.Set(r.Str("DatabaseConfig", "LogPath"));
    m_Zelk.AutoClearType.Set(r.Int("ClearRule", "AutoClearType", 2));
    m_Zelk.DbContent.Set(r.Int("ClearRule", "DbContent", 5000));
    m_Zelk.DbCyc.Set(r.Int("ClearRule", "DbCyc", 180));
    m_Zelk.StartCheckTime.Set(r.Int("ClearRule", "StartCheckTime", 1));
    m_Zelk.EndCheckTime.Set(r.Int("ClearRule", "EndCheckTime", 4));
    m_Zelk.StartStrongRepairTime.Set(r.Int("RepairRule", "StartStrongRepairTime", 1));
    m_Zelk.EndStrongRepairTime.Set(r.Int("RepairRule", "EndStrongRepairTime", 2));
    m_Zelk.MinFreeSpace.Set(r.Int("DiskFreeSpace", "MinFreeSpace", 1024));
    m_Zelk.ISFULL.Set(r.Int("DiskFreeSpace", "ISFULL", 0));
    return true;
}

bool CConfigManager::LoadZelkAdvConfig() {
    CCSLocker lock(&m_csZelkAdv);
    CBlockReader r("LoadZelkAdvConfig", ConfigPath("ZelkAdv.conf"));
    if (!r.Open()) return false;
    m_ZelkAdv.GlobalEnableLogMerge.Set(r.Int("Global", "EnableLogMerge", 1));
    m_ZelkAdv.ParticleTime.Set(r.Ranged("Global", "ParticleTime", 30, 1, 600, 30));
    m_ZelkAdv.MergeBuffers.Set(r.Ranged("Global", "MergeBuffers", 2, 1, 5, 2));
    m_ZelkAdv.MergeBufferSize.Set(r.Ranged("Global", "MergeBufferSize", 5, 1, 10, 10));
    m_ZelkAdv.UserLogEnableLogMerge.Set(r.Int("UserLog", "EnableLogMerge", 1));
    m_ZelkAdv.EnableHttpFilter.Set(r.Int("UserLog", "EnableHttpFilter", 1));
    m_ZelkAdv.HttpFilterList.Set(r.Str("UserLog", "HttpFilterList"));
    m_ZelkAdv.KeepFilterLog.Set(r.Int("UserLog", "KeepFilterLog", 0));
    m_ZelkAdv.FlowLogEnableLogMerge.Set(r.Int("FlowLog", "EnableLogMerge", 1));
    m_ZelkAdv.SysLogEnableLogMerge.Set(r.Int("SysLog", "EnableLogMerge", 0));
    m_ZelkAdv.TarnNodeRecvBuffSize.Set(r.Ranged("TarnNode", "TarnNodeRecvBuffSize", 10, 1, 10, 10));
    m_ZelkAdv.TarnNodeSendBuffSize.Set(r.Ranged("TarnNode", "TarnNodeSendBuffSize", 10, 1, 1024, 10));
    m_ZelkAdv.MaxPackgeSize.Set(r.Ranged("TarnNode", "MaxPackgeSize", 5, 1, 10, 10));
    m_ZelkAdv.DumpInvalidLog.Set(r.Int("TarnNode", "DumpInvalidLog", 0));
    m_ZelkAdv.DataFileUseTime.Set(r.Ranged("DataFile", "DataFileUseTime", 10, 1, 30, 10));
    m_ZelkAdv.EnableAsyncWrite.Set(r.Int("DataFile", "EnableAsyncWrite", 0));
    m_ZelkAdv.EnableLargeDataAsyncWrite.Set(r.Int("DataFile", "EnableLargeDataAsyncWrite", 0));
    m_ZelkAdv.NoTempTableDataFileSize.Set(r.Int("DataFile", "NoTempTableDataFileSize", 10));
    m_ZelkAdv.DataFileMaxSize.Set(r.Int("DataFile", "DataFileMaxSize", 32));
    m_ZelkAdv.ListenPort.Set(r.Ranged("InfoRetrieve", "ListenPort", 9509, 1, 65535, 9509));
    const std::string metricsAddress = r.Str("Metrics", "Address");
    m_ZelkAdv.MetricsAddress.Set(metricsAddress.empty() ? "127.0.0.1" : metricsAddress);
    m_ZelkAdv.MetricsPort.Set(r.Ranged("Metrics", "Port", 9510, 0, 65535, 9510));
    m_ZelkAdv.MaxConnection.Set(r.Ranged("Network", "MaxConnection", 16, 1, 64, 16));
    m_ZelkAdv.IdentifyTimeout.Set(r.Ranged("Network", "IdentifyTimeout", 30, 1, 600, 30));
    m_ZelkAdv.IdleTimeout.Set(r.Ranged("Network", "IdleTimeout", 300, 1, 86400, 300));
    m_ZelkAdv.MaxConnectionPerAddress.Set(r.Ranged("Network", "MaxConnectionPerAddress", 4, 1, 64, 4));
    m_ZelkAdv.SendStallTimeout.Set(r.Ranged("Network", "SendStallTimeout", 60, 1, 3600, 60));
    m_ZelkAdv.MaxSnapshotSize.Set(r.Ranged("TarnNode", "MaxSnapshotSize", 10, 1, 64, 10));
    m_ZelkAdv.MaxNewUsersPerMinute.Set(r.Ranged("TarnNode", "MaxNewUsersPerMinute", 100, 1, 100000, 100));
    m_ZelkAdv.MaxCacheStatements.Set(r.Ranged("SqlCache", "MaxCacheStatements", 10000, 50, 1000000, 10000));
    m_ZelkAdv.MaxCacheSize.Set(r.Ranged("SqlCache", "MaxCacheSize", 8, 1, 256, 8));
    m_ZelkAdv.MaxOpenUploadsPerNode.Set(r.Ranged("UserAuditFile", "MaxOpenUploadsPerNode", 8, 1, 256, 8));
    m_ZelkAdv.MaxOpenUploads.Set(r.Ranged("UserAuditFile", "MaxOpenUploads", 64, 1, 4096, 64));
    m_ZelkAdv.MaxUploadIdleTime.Set(r.Ranged("UserAuditFile", "MaxUploadIdleTime", 600, 10, 86400, 600));
    m_ZelkAdv.MaxBlockSize.Set(r.Ranged("UserAuditFile", "MaxBlockSize", 1024, 1, 65536, 1024));
    return true;
}

bool CConfigManager::LoadProgramLogConfig() {
    CCSLocker lock(&m_csProgramLog);
    CBlockReader r("LoadProgramLogConfig", ConfigPath("ProgramLog.conf"));
    if (!r.Open()) return false;
    m_ProgramLog.GlobalEnable.Set(r.Int("GlobalProgramLog", "Enable", 1));
    m_ProgramLog.DebugViewEnable.Set(r.Int("DebugViewLog", "Enable", 1));
    m_ProgramLog.TxtLogEnable.Set(r.Int("TxtLog", "Enable", 1));
    m_ProgramLog.MaxLogSize.Set(r.Int("TxtLog", "MaxLogSize", 1024));
    m_ProgramLog.LogLevel.Set(r.Int("TxtLog", "LogLevel", 1));
    m_ProgramLog.MaxLogFiles.Set(r.Int("TxtLog", "MaxLogFiles", 30));
    // The log reads no configuration: it takes the new values from here.
    ProgramLogSettings settings;
    settings.globalEnable = m_ProgramLog.GlobalEnable.Get();
    settings.debugViewEnable = m_ProgramLog.DebugViewEnable.Get();
    settings.txtLogEnable = m_ProgramLog.TxtLogEnable.Get();
    settings.maxLogSize = m_ProgramLog.MaxLogSize.Get();
    settings.logLevel = m_ProgramLog.LogLevel.Get();
    settings.maxLogFiles = m_ProgramLog.MaxLogFiles.Get();
    CProgramLogRecorder::ApplySettings(settings);
    return true;
}

bool CConfigManager::LoadMySqldConfig() {
    CCSLocker lock(&m_csMySqld);
    CBlockReader r("LoadMySqldConfig", GetInstallDir() + "/mysql/my.ini");
    if (!r.Open()) return false;
    m_MySqld.port.Set(r.Int("mysqld", "port", 3306));
    m_MySqld.basedir.Set(r.Str("mysqld", "basedir"));
    m_MySqld.datadir.Set(r.Str("mysqld", "datadir"));
    return true;
}

bool CConfigManager::LoadUpdateSqlConfig() {
    CCSLocker lock(&m_csUpdateSql);
    CBlockReader r("LoadStatisticsConfig", ConfigPath("updatesql.conf"));
    if (!r.Open()) return false;
    std::vector<std::string> statements;
    const int count = r.Count("SqlCount", "count");
    for (int i = 1; i <= count; ++i) statements.push_back(r.Statement(Indexed("sql%d", i).c_str()));
    m_UpdateSql.Statements.Set(std::move(statements));
    return true;
}

bool CConfigManager::LoadStatisticsConfig() {
    CCSLocker lock(&m_csStatistics);
    CBlockReader r("LoadStatisticsConfig", ConfigPath("statistics.conf"));
    if (!r.Open()) return false;
    std::vector<StatisticsTableInfo> tables;
    const int count = r.Count("Count", "TableCount");
    for (int i = 1; i <= count; ++i) {
        StatisticsTableInfo t;
        const std::string info = Indexed("TableInfo%d", i);
        t.StatistCys = r.Int(info.c_str(), "StatistCys", 1440);
        t.SleepTime = r.Int(info.c_str(), "SleepTime", 10);
        t.ErrorTime = r.Int(info.c_str(), "ErrorTime", 10);
        t.StatistTime = r.Int(info.c_str(), "StatistTime", 60);
        t.TableName = r.Str(info.c_str(), "TableName");
        t.CreateSql = r.Statement(Indexed("CreateSql%d", i).c_str());
        t.CreateProcSql = r.Statement(Indexed("CreateProcSql%d", i).c_str());
        t.StatistSql = r.Statement(Indexed("StatistSql%d", i).c_str());
        t.CleanStatistByTime = r.Statement(Indexed("CleanStatistByTime%d", i).c_str());
        t.CleanStatistSql = r.Statement(Indexed("CleanStatistSql%d", i).c_str());
        tables.push_back(std::move(t));
    }
    m_Statistics.Tables.Set(std::move(tables));
    m_Statistics.CleanBaseProcByTime.Set(r.Statement("CleanBaseProcByTime"));
    m_Statistics.CleanBaseByTime.Set(r.Statement("CleanBaseByTime"));
    m_Statistics.CleanBaseByContent.Set(r.Statement("CleanBaseByContent"));
    m_Statistics.RepairTable.Set(r.Statement("RepairTable"));
    return true;
}

bool CConfigManager::LoadLogudtConfig() {
    CCSLocker lock(&m_csLogudt);
    CBlockReader r("LoadLogudtConfig", ConfigPath("Logudt.conf"));
    if (!r.Open()) return false;
    std::vector<LogudtTableInfo> tables;
    const int count = r.Count("tablecount", "count");
    for (int i = 1; i <= count; ++i) {
        const std::string section = Indexed("table%d", i);
        LogudtTableInfo t;
        t.tablename = r.Str(section.c_str(), "tablename");
        const int attributes = r.Count(section.c_str(), "attributecount");
        for (int a = 1; a <= attributes; ++a) {
            t.attributes.push_back(r.Str(section.c_str(), Indexed("attribute%d", a).c_str()));
        }
        tables.push_back(std::move(t));
    }
    m_Logudt.Tables.Set(std::move(tables));
    return true;
}
