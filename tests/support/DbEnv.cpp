#include <stdexcept>

#include "support/Prelude.h"

namespace testdb {

namespace {

Server& CurrentServer() {
    static Server server = [] {
        Server s;
        auto env = [](const char* name, const char* fallback) {
            const char* v = std::getenv(name);
            return std::string(v != nullptr ? v : fallback);
        };
        s.host = env("VARNHOLT_DB_HOST", "127.0.0.1");
        s.port = static_cast<unsigned>(std::atoi(env("VARNHOLT_DB_PORT", "0").c_str()));
        s.user = env("VARNHOLT_DB_USER", "varnholt");
        s.password = env("VARNHOLT_DB_PASSWORD", "varnholt");
        return s;
    }();
    return server;
}

}  // namespace

const Server& GetServer() {
    const Server& server = CurrentServer();
    if (server.port == 0) {
        throw std::runtime_error(
            "no test database: run scripts/mariadb-local.sh start and export the output of "
            "scripts/mariadb-local.sh env (test.sh does both)");
    }
    return server;
}

Server UseServer(const Server& server) {
    Server previous = CurrentServer();
    CurrentServer() = server;
    return previous;
}

MYSQL* Connect(const std::string& database) {
    const Server& s = GetServer();
    MYSQL* connection = mysql_init(nullptr);
    if (mysql_real_connect(connection, s.host.c_str(), s.user.c_str(), s.password.c_str(),
                           database.empty() ? nullptr : database.c_str(), s.port, nullptr,
                           CLIENT_MULTI_STATEMENTS) == nullptr) {
        std::string error = mysql_error(connection);
        mysql_close(connection);
        throw std::runtime_error("cannot connect to the test database: " + error);
    }
    mysql_set_character_set(connection, "gbk");
    return connection;
}

void Close(MYSQL* connection) { mysql_close(connection); }

std::vector<std::vector<std::optional<std::string>>> Query(MYSQL* connection, const std::string& sql) {
    std::vector<std::vector<std::optional<std::string>>> rows;
    if (mysql_real_query(connection, sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
        throw std::runtime_error("SQL failed: " + std::string(mysql_error(connection)) + " in: " + sql.substr(0, 200));
    }
    do {
        MYSQL_RES* result = mysql_store_result(connection);
        if (result != nullptr) {
            const unsigned fields = mysql_num_fields(result);
            while (MYSQL_ROW row = mysql_fetch_row(result)) {
                unsigned long* lengths = mysql_fetch_lengths(result);
                std::vector<std::optional<std::string>> values(fields);
                for (unsigned f = 0; f < fields; ++f) {
                    if (row[f] != nullptr) values[f] = std::string(row[f], lengths[f]);
                }
                rows.push_back(std::move(values));
            }
            mysql_free_result(result);
        } else if (mysql_field_count(connection) != 0) {
            throw std::runtime_error("cannot read result: " + std::string(mysql_error(connection)));
        }
        int next = mysql_next_result(connection);
        if (next > 0) throw std::runtime_error("SQL failed: " + std::string(mysql_error(connection)));
        if (next != 0) break;
    } while (true);
    return rows;
}

void Exec(MYSQL* connection, const std::string& sql) { Query(connection, sql); }

std::string Scalar(MYSQL* connection, const std::string& sql) {
    auto rows = Query(connection, sql);
    if (rows.empty() || rows[0].empty() || !rows[0][0]) return std::string();
    return *rows[0][0];
}

void ExecIn(const std::string& database, const std::string& sql) {
    std::unique_ptr<MYSQL, decltype(&mysql_close)> c(Connect(database), mysql_close);
    Exec(c.get(), sql);
}

std::string ScalarIn(const std::string& database, const std::string& sql) {
    std::unique_ptr<MYSQL, decltype(&mysql_close)> c(Connect(database), mysql_close);
    return Scalar(c.get(), sql);
}

std::string UniqueName(const std::string& suffix) { return "vt" + std::to_string(getpid()) + "_" + suffix; }

void CreateDatabase(const std::string& name, const std::string& schemaFile) {
    const std::string schema = testenv::ReadFile(std::string(VARNHOLT_SOURCE_DIR) + "/deploy/sql/" + schemaFile);
    const std::string db = "`" + name + "`";
    ExecIn("", "DROP DATABASE IF EXISTS " + db + "; CREATE DATABASE " + db + " DEFAULT CHARACTER SET gbk; USE " + db +
                   ";\n" + schema);
}

void DropDatabase(const std::string& name) { ExecIn("", "DROP DATABASE IF EXISTS `" + name + "`"); }

void RegisterNode(const std::string& mainDb, const std::string& nodeName, const std::string& md5,
                  const std::string& nodeDb) {
    ExecIn(mainDb, "insert into dev_node (node_name, secret, md5_secret, db_name, deleted) values ('" + nodeName +
                       "','s','" + md5 + "','" + nodeDb + "',0)");
}

void ConfigureService(const std::string& mainDatabase, const std::string& password) {
    const Server& s = GetServer();
    const std::string zelk = testenv::ConfigDir() + "/Zelk.conf";
    const std::string myIni = testenv::InstallDir() + "/mysql/my.ini";
    WritePrivateProfileStringA("DatabaseConfig", "DBServer", s.host.c_str(), zelk.c_str());
    WritePrivateProfileStringA("DatabaseConfig", "DBUser", s.user.c_str(), zelk.c_str());
    WritePrivateProfileStringA("DatabaseConfig", "DBPwd", (password.empty() ? s.password : password).c_str(),
                               zelk.c_str());
    WritePrivateProfileStringA("DatabaseConfig", "DataBase", mainDatabase.c_str(), zelk.c_str());
    WritePrivateProfileStringA("mysqld", "port", std::to_string(s.port).c_str(), myIni.c_str());
    if (!CConfigManager::GetInstance()->LoadConfig("Zelk.conf") ||
        !CConfigManager::GetInstance()->LoadConfig("mysql/my.ini")) {
        throw std::runtime_error("test configuration did not load");
    }
}

}  // namespace testdb
