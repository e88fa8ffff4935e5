#include "writers/RowCheck.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "db/SqlText.h"

namespace {

// The table of an INSERT, lower case; empty for any other statement.
std::string TableOf(const std::string& statement) {
    size_t pos = 0;
    auto skipWord = [&](const char* word) {
        while (pos < statement.size() && std::isspace(static_cast<unsigned char>(statement[pos]))) ++pos;
        for (const char* c = word; *c != '\0'; ++c, ++pos) {
            if (pos >= statement.size() || std::tolower(static_cast<unsigned char>(statement[pos])) != *c) return false;
        }
        return true;
    };
    if (!skipWord("insert") || !skipWord("into")) return {};
    while (pos < statement.size() && std::isspace(static_cast<unsigned char>(statement[pos]))) ++pos;
    std::string table;
    while (pos < statement.size() &&
           (std::isalnum(static_cast<unsigned char>(statement[pos])) || statement[pos] == '_' || statement[pos] == '`')) {
        if (statement[pos] != '`') table += static_cast<char>(std::tolower(static_cast<unsigned char>(statement[pos])));
        ++pos;
    }
    return table;
}

bool QueryNumber(MYSQL* connection, const std::string& sql, std::uint64_t* value) {
    std::vector<SqlRow> rows;
    if (!QuerySqlRows(connection, sql, &rows) || rows.size() != 1 || rows[0].empty() || !rows[0][0]) return false;
    *value = std::strtoull(rows[0][0]->c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool CRowCheck::Prepare(MYSQL* connection, const std::string& statement) {
    const std::string table = TableOf(statement);
    if (table.empty() || m_Floors.count(table) != 0) return true;
    SqlInsert insert;
    std::uint64_t floor = 0;
    if (ParseSqlInsert(statement, &insert) && !CountsWhole(insert) &&
        !QueryNumber(connection, "select ifnull(max(`id`),0) from `" + insert.table + "`", &floor)) {
        if (IsSqlConnectionError(mysql_errno(connection))) return false;
        floor = kNoFloor;
    }
    m_Floors[table] = floor;
    return true;
}

void CRowCheck::Stored(MYSQL* connection, const std::string& statement) {
    const std::uint64_t id = mysql_insert_id(connection);
    if (id == 0) return;
    std::uint64_t& floor = m_Floors[TableOf(statement)];
    if (floor != kNoFloor) floor = std::max(floor, id);
}

std::uint64_t CRowCheck::Floor(const std::string& statement) const {
    const auto found = m_Floors.find(TableOf(statement));
    return found == m_Floors.end() ? 0 : found->second;
}

void CRowCheck::SetFloor(const std::string& statement, std::uint64_t floor) { m_Floors[TableOf(statement)] = floor; }

std::int64_t CRowCheck::CountRows(MYSQL* connection, const std::string& statement, std::uint64_t floor) {
    SqlInsert insert;
    std::uint64_t count = 0;
    if (floor == kNoFloor || !ParseSqlInsert(statement, &insert) || !QueryNumber(connection, RowCountSql(insert, floor), &count)) return -1;
    return static_cast<std::int64_t>(count);
}

std::string CRowCheck::Save() const {
    std::string text;
    for (const auto& [table, floor] : m_Floors) text += table + " " + std::to_string(floor) + "\n";
    return text;
}

bool CRowCheck::Load(const std::string& text) {
    m_Floors.clear();
    std::istringstream in(text);
    std::string table;
    std::uint64_t floor = 0;
    while (in >> table >> floor) m_Floors[table] = floor;
    return in.eof();
}
