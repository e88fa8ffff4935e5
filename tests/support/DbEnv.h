// Access to the test MariaDB server started by scripts/mariadb-local.sh.
//
// The server is named by the VARNHOLT_DB_* variables that
// "scripts/mariadb-local.sh env" prints (test.sh exports them). Each test
// program makes its own databases, named after its process id, so that test
// programs running in parallel never meet.
#pragma once

#include <mysql.h>

#include <optional>
#include <string>
#include <vector>

namespace testdb {

struct Server {
    std::string host;
    unsigned port = 0;
    std::string user;
    std::string password;
};

// The server from the environment; fails the calling test when it is unset.
const Server& GetServer();
// Points this program's database helpers at another server (a suite's own);
// returns the one used before, to be restored afterwards.
Server UseServer(const Server& server);

// A connection of the test itself (not through the service's pool).
MYSQL* Connect(const std::string& database = "");
void Close(MYSQL* connection);
// Runs statements (several allowed); throws with the server's message on error.
void Exec(MYSQL* connection, const std::string& sql);
std::vector<std::vector<std::optional<std::string>>> Query(MYSQL* connection, const std::string& sql);
std::string Scalar(MYSQL* connection, const std::string& sql);
// The same on a connection of their own to database.
void ExecIn(const std::string& database, const std::string& sql);
std::string ScalarIn(const std::string& database, const std::string& sql);

// Database name unique to this test program: "vt<pid>_<suffix>".
std::string UniqueName(const std::string& suffix);
// Drops and creates a GBK database and loads a schema file of deploy/sql.
void CreateDatabase(const std::string& name, const std::string& schemaFile);
void DropDatabase(const std::string& name);

// Adds a live dev_node row for a node to the main database.
void RegisterNode(const std::string& mainDb, const std::string& nodeName, const std::string& md5,
                  const std::string& nodeDb);

// Points the service's configuration (Zelk.conf and mysql/my.ini of the test
// install tree) at the server with the given main database, and reloads it.
void ConfigureService(const std::string& mainDatabase, const std::string& password = "");

}  // namespace testdb
