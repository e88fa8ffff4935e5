// Tells, after a connection broke during an INSERT, whether the row was
// stored, so that a statement is sent again only when it was not.
//
// Rows of user tables carry a record id that names their log and are looked
// up whole. Other tables have an auto-increment id: for each table the check
// keeps a floor, the highest id known to lie below any row this connection's
// statements may still add (learned with max(id) before the table's first
// statement, raised by every stored statement's id), and an equal row counts
// only above it. An equal row stored earlier (the same alarm twice in one
// second) is thus not taken for the one in doubt.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <string>
#include <unordered_map>

class CRowCheck {
public:
    // The floor of a table whose highest id could not be read (no id
    // column in an old database): its rows cannot be looked up, and a
    // statement in doubt is sent again.
    static constexpr std::uint64_t kNoFloor = UINT64_MAX;

    // Before a statement is sent: learns its table's floor once. False when
    // the query failed (the connection is broken; nothing was sent).
    bool Prepare(MYSQL* connection, const std::string& statement);
    // After a statement stored its row: raises its table's floor.
    void Stored(MYSQL* connection, const std::string& statement);
    // The floor a kept statement's mark carries.
    std::uint64_t Floor(const std::string& statement) const;
    void SetFloor(const std::string& statement, std::uint64_t floor);
    // The floors as text ("<table> <floor>" lines) and back; Load is false
    // for any other text.
    std::string Save() const;
    bool Load(const std::string& text);
    // Forgets every floor (another connection, another database).
    void Clear() { m_Floors.clear(); }

    // How many rows equal to the statement's row lie above floor; -1 when it
    // cannot be told (a foreign statement, kNoFloor, or the query failed).
    static std::int64_t CountRows(MYSQL* connection, const std::string& statement, std::uint64_t floor);

private:
    std::unordered_map<std::string, std::uint64_t> m_Floors;  // by lower-case table name
};
