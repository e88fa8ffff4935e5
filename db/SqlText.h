// Small helpers for SQL text and result rows.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

// Escapes text for a single-quoted MySQL literal on a connection whose
// character set is GBK: every ' and every \ is doubled, but the second byte of
// a GBK double-byte character (which may have the value of '\' or of an ASCII
// letter) is copied as it is, so that the server reads back exactly the text.
// Walks GBK text character by character: a lead byte with a valid trail
// byte is one character and is copied whole (its trail byte may have the
// value of a quote or a backslash); every single byte goes through escape,
// which gives its replacement, or null to keep it.
std::string EscapeGbk(const std::string& text, const char* (*escape)(unsigned char));
std::string EscapeSqlGbk(const std::string& text);

using SqlRow = std::vector<std::optional<std::string>>;

// Runs one statement and collects its rows (none for a statement without a
// result set). False when the statement failed.
bool QuerySqlRows(MYSQL* connection, const std::string& sql, std::vector<SqlRow>* rows);
// Runs one statement, or a multi-statement text on a connection that allows
// them, and drains any results. False when any statement failed.
bool ExecuteSql(MYSQL* connection, const std::string& sql);
// True for the errors that say the connection, not the statement, failed:
// such a statement is worth sending again on a new connection.
bool IsSqlConnectionError(unsigned err);

// A single-row insert as the writers build it:
//   insert into <table> (`<column>`, ...) values (<literal>, ...)
// with numbers and single-quoted literals (quotes doubled, backslashes
// escaped, GBK double-byte characters whole). values holds each literal's
// text as it stands in the statement.
struct SqlInsert {
    std::string table;
    std::vector<std::string> columns;
    std::vector<std::string> values;
};
// False for any other text, or when columns and values do not pair up.
bool ParseSqlInsert(std::string_view statement, SqlInsert* out);
// The query counting the stored rows equal to the insert's row. A table whose
// rows carry a record_id is counted whole (the id names the log); any other
// table counts only rows with an auto-increment id above floor, so that an
// equal row stored earlier is not taken for this one.
std::string RowCountSql(const SqlInsert& insert, std::uint64_t floor);
bool CountsWhole(const SqlInsert& insert);

// A statement whose result was lost with its connection is kept for a later
// attempt with a leading comment "/*unsure id>N*/", or "/*unsure id>N
// others=K*/": the row may be stored already, above id N of its table, where
// K equal rows are known to be others'. MySQL reads the mark as a comment.
std::string MarkUnsure(std::string_view statement, std::uint64_t floor, std::uint64_t others = 0);
// Removes the mark; true, with its floor and count, when the statement had one.
bool TakeUnsureMark(std::string* statement, std::uint64_t* floor, std::uint64_t* others);

// 32 hexadecimal digits of 16 bytes, upper case.
std::string HexUpper(const BYTE* bytes, size_t length);
// 16 bytes from 32 hexadecimal digits (either case); false for other text.
bool DecodeHex16(const std::string& text, BYTE out[16]);
