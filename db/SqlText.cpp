#include "db/SqlText.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <strings.h>

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

namespace {

constexpr char kUnsureHead[] = "/*unsure id>";
constexpr char kUnsureTail[] = "*/";
constexpr char kUnsureOthers[] = " others=";

bool IsGbkPair(unsigned char lead, unsigned char trail) {
    return lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

// Reads statements of the writers' own form; every step says false on
// anything else, so a foreign text is never half understood.
class InsertReader {
public:
    explicit InsertReader(std::string_view text) : m_text(text) {}

    void Space() {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
    }
    bool Word(const char* word) {
        Space();
        const size_t length = std::strlen(word);
        if (m_text.size() - m_pos < length || strncasecmp(m_text.data() + m_pos, word, length) != 0) return false;
        m_pos += length;
        return true;
    }
    bool Char(char c) {
        Space();
        if (m_pos >= m_text.size() || m_text[m_pos] != c) return false;
        ++m_pos;
        return true;
    }
    bool Name(std::string* out) {
        Space();
        const bool quoted = m_pos < m_text.size() && m_text[m_pos] == '`';
        if (quoted) ++m_pos;
        const size_t begin = m_pos;
        while (m_pos < m_text.size() &&
               (std::isalnum(static_cast<unsigned char>(m_text[m_pos])) || m_text[m_pos] == '_')) {
            ++m_pos;
        }
        if (m_pos == begin) return false;
        out->assign(m_text.substr(begin, m_pos - begin));
        return !quoted || Char('`');
    }
    bool Literal(std::string* out) {
        Space();
        const size_t begin = m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '\'') {
            ++m_pos;
            for (;;) {
                if (m_pos >= m_text.size()) return false;
                const auto c = static_cast<unsigned char>(m_text[m_pos]);
                const auto next = m_pos + 1 < m_text.size() ? static_cast<unsigned char>(m_text[m_pos + 1]) : 0;
                if (IsGbkPair(c, next) || c == '\\' || (c == '\'' && next == '\'')) {
                    m_pos += 2;
                } else if (c == '\'') {
                    ++m_pos;
                    break;
                } else {
                    ++m_pos;
                }
            }
        } else {
            if (m_pos < m_text.size() && m_text[m_pos] == '-') ++m_pos;
            const size_t digits = m_pos;
            while (m_pos < m_text.size() && (std::isdigit(static_cast<unsigned char>(m_text[m_pos])) ||
                                             m_text[m_pos] == '.')) {
                ++m_pos;
            }
            if (m_pos == digits) return false;
        }
        out->assign(m_text.substr(begin, m_pos - begin));
        return true;
    }
    template <typename Item>
    bool List(std::vector<std::string>* out, Item item) {
        if (!Char('(')) return false;
        do {
            std::string value;
            if (!(this->*item)(&value)) return false;
            out->push_back(std::move(value));
        } while (Char(','));
        return Char(')');
    }
    bool AtEnd() {
        Space();
        return m_pos == m_text.size();
    }

private:
    std::string_view m_text;
    size_t m_pos = 0;
};

}  // namespace

bool ParseSqlInsert(std::string_view statement, SqlInsert* out) {
    *out = SqlInsert{};
    InsertReader in(statement);
    return in.Word("insert") && in.Word("into") && in.Name(&out->table) && in.List(&out->columns, &InsertReader::Name) &&
           in.Word("values") && in.List(&out->values, &InsertReader::Literal) && in.AtEnd() &&
           out->columns.size() == out->values.size();
}

bool CountsWhole(const SqlInsert& insert) {
    for (const std::string& column : insert.columns) {
        if (strcasecmp(column.c_str(), "record_id") == 0) return true;
    }
    return false;
}

std::string RowCountSql(const SqlInsert& insert, std::uint64_t floor) {
    std::string sql = "select count(*) from `" + insert.table + "` where ";
    if (!CountsWhole(insert)) sql += "`id` > " + std::to_string(floor) + " and ";
    for (size_t i = 0; i < insert.columns.size(); ++i) {
        if (i != 0) sql += " and ";
        sql += "`" + insert.columns[i] + "` = " + insert.values[i];
    }
    return sql;
}

std::string MarkUnsure(std::string_view statement, std::uint64_t floor, std::uint64_t others) {
    std::string mark = kUnsureHead + std::to_string(floor);
    if (others != 0) mark += kUnsureOthers + std::to_string(others);
    return mark + kUnsureTail + std::string(statement);
}

bool TakeUnsureMark(std::string* statement, std::uint64_t* floor, std::uint64_t* others) {
    if (statement->compare(0, sizeof(kUnsureHead) - 1, kUnsureHead) != 0) return false;
    const size_t tail = statement->find(kUnsureTail);
    if (tail == std::string::npos) return false;
    const std::string mark = statement->substr(sizeof(kUnsureHead) - 1, tail - (sizeof(kUnsureHead) - 1));
    auto number = [](const std::string& text, std::uint64_t* value) {
        if (text.empty() || text.size() > 20) return false;
        *value = 0;
        for (const char c : text) {
            if (c < '0' || c > '9') return false;
            *value = *value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return true;
    };
    const size_t split = mark.find(kUnsureOthers);
    *others = 0;
    if (!number(mark.substr(0, split), floor)) return false;
    if (split != std::string::npos && !number(mark.substr(split + sizeof(kUnsureOthers) - 1), others)) return false;
    statement->erase(0, tail + sizeof(kUnsureTail) - 1);
    return true;
}
