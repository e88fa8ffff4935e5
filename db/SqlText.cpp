#include "db/SqlText.h"

#include <cstdio>

std::string EscapeGbk(const std::string& text, const char* (*escape)(unsigned char)) {
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x81 && c <= 0xFE && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x40 && next <= 0xFE && next != 0x7F) {
                out += text[i];
                out += text[++i];
                continue;
            }
        }
        const char* replacement = escape(c);
        if (replacement != nullptr) {
            out += replacement;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string EscapeSqlGbk(const std::string& text) {
    return EscapeGbk(text, [](unsigned char c) -> const char* {
        return c == '\'' ? "''" : c == '\\' ? "\\\\" : nullptr;
    });
}

bool QuerySqlRows(MYSQL* connection, const std::string& sql, std::vector<SqlRow>* rows) {
    rows->clear();
    if (connection == nullptr) return false;
    if (mysql_real_query(connection, sql.data(), static_cast<unsigned long>(sql.size())) != 0) return false;
    MYSQL_RES* result = mysql_store_result(connection);
    if (result != nullptr) {
        const unsigned fields = mysql_num_fields(result);
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            unsigned long* lengths = mysql_fetch_lengths(result);
            SqlRow values(fields);
            for (unsigned f = 0; f < fields; ++f) {
                if (row[f] != nullptr) values[f] = std::string(row[f], lengths[f]);
            }
            rows->push_back(std::move(values));
        }
        mysql_free_result(result);
    } else if (mysql_field_count(connection) != 0) {
        return false;  // a result set was due but could not be read
    }
    // Further results of a multi-statement text are drained; a later
    // statement that failed (a positive result) fails the whole text instead
    // of passing as success.
    int status = 0;
    while ((status = mysql_next_result(connection)) == 0) {
        if (MYSQL_RES* more = mysql_store_result(connection)) mysql_free_result(more);
    }
    return status < 0;
}

bool ExecuteSql(MYSQL* connection, const std::string& sql) {
    std::vector<SqlRow> rows;
    return QuerySqlRows(connection, sql, &rows);
}

bool IsSqlConnectionError(unsigned err) {
    switch (err) {
        case 2002:  // cannot connect through the socket
        case 2003:  // cannot connect to the server
        case 2006:  // server has gone away
        case 2013:  // lost connection during query
        case 2055:  // lost connection (system error)
        case 1053:  // server shutdown in progress
        case 1927:  // connection was killed
            return true;
        default:
            return false;
    }
}

std::string HexUpper(const BYTE* bytes, size_t length) {
    std::string out;
    if (bytes == nullptr) return out;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof(pair), "%02X", bytes[i]);
        out += pair;
    }
    return out;
}

bool DecodeHex16(const std::string& text, BYTE out[16]) {
    if (text.size() != 32) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < 16; ++i) {
        int hi = nibble(text[2 * i]);
        int lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<BYTE>(hi << 4 | lo);
    }
    return true;
}
