#include "platform/Ini.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {

bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    lines->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Section name of a "[name]" line, or false when the line is no header.
bool SectionHeader(const std::string& trimmed, std::string* name) {
    if (trimmed.empty() || trimmed[0] != '[') return false;
    size_t close = trimmed.find(']');
    *name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

bool IsComment(const std::string& trimmed) { return !trimmed.empty() && trimmed[0] == ';'; }

// Index range [first, last) of the body lines of the first matching section.
bool FindSection(const std::vector<std::string>& lines, const std::string& section, size_t* first, size_t* last) {
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (SectionHeader(Trim(lines[i]), &name) && EqualsNoCase(name, section)) {
            size_t j = i + 1;
            while (j < lines.size() && !SectionHeader(Trim(lines[j]), &name)) ++j;
            *first = i + 1;
            *last = j;
            return true;
        }
    }
    return false;
}

bool SplitKey(const std::string& trimmed, std::string* key, std::string* value) {
    size_t eq = trimmed.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(trimmed.substr(0, eq));
    *value = Trim(trimmed.substr(eq + 1));
    return true;
}

std::string StripQuotes(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Index of the first line holding key inside [first, last), or last.
size_t FindKey(const std::vector<std::string>& lines, size_t first, size_t last, const std::string& key,
               std::string* value) {
    std::string k;
    std::string v;
    for (size_t i = first; i < last; ++i) {
        std::string t = Trim(lines[i]);
        if (t.empty() || IsComment(t)) continue;
        if (SplitKey(t, &k, &v) && EqualsNoCase(k, key)) {
            if (value != nullptr) *value = v;
            return i;
        }
    }
    return last;
}

}  // namespace

int IniParseInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

bool CIniDocument::Load(const std::string& path) {
    if (!ReadLines(path, &m_lines)) {
        m_lines.clear();
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

bool CIniDocument::GetString(const std::string& section, const std::string& key, std::string* value) const {
    size_t first = 0;
    size_t last = 0;
    if (!FindSection(m_lines, section, &first, &last)) return false;
    std::string raw;
    if (FindKey(m_lines, first, last, key, &raw) == last) return false;
    if (value != nullptr) *value = StripQuotes(raw);
    return true;
}

bool CIniDocument::GetSection(const std::string& section, std::vector<std::string>* out) const {
    size_t first = 0;
    size_t last = 0;
    if (!FindSection(m_lines, section, &first, &last)) return false;
    out->clear();
    for (size_t i = first; i < last; ++i) {
        std::string t = Trim(m_lines[i]);
        if (!t.empty() && !IsComment(t)) out->push_back(t);
    }
    return true;
}

bool IniReadString(const std::string& path, const std::string& section, const std::string& key, std::string* value) {
    CIniDocument doc;
    return doc.Load(path) && doc.GetString(section, key, value);
}

bool IniReadSection(const std::string& path, const std::string& section, std::vector<std::string>* out) {
    CIniDocument doc;
    return doc.Load(path) && doc.GetSection(section, out);
}

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer,
                               DWORD size, const char* path) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value;
    if (section == nullptr || key == nullptr || path == nullptr || !IniReadString(path, section, key, &value)) {
        value = Trim(defaultValue != nullptr ? defaultValue : "");
    }
    DWORD n = static_cast<DWORD>(std::min<size_t>(value.size(), size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
}

UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* path) {
    std::string value;
    if (section == nullptr || key == nullptr || path == nullptr || !IniReadString(path, section, key, &value)) {
        return static_cast<UINT>(defaultValue);
    }
    return static_cast<UINT>(IniParseInt(value));
}

DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size, const char* path) {
    if (buffer == nullptr || size < 2) return 0;
    std::vector<std::string> lines;
    buffer[0] = buffer[1] = '\0';
    if (section == nullptr || path == nullptr || !IniReadSection(path, section, &lines)) return 0;
    DWORD pos = 0;
    for (const std::string& line : lines) {
        if (pos + line.size() + 2 > size) {
            // Cut: copy what fits and end the list. The previous line may
            // already have filled the buffer up to its last byte.
            DWORD room = pos < size - 2 ? size - 2 - pos : 0;
            std::memcpy(buffer + pos, line.data(), room);
            buffer[size - 2] = '\0';
            buffer[size - 1] = '\0';
            return size - 2;
        }
        std::memcpy(buffer + pos, line.data(), line.size());
        pos += static_cast<DWORD>(line.size());
        buffer[pos++] = '\0';
    }
    buffer[pos] = '\0';
    return pos == 0 ? 0 : pos;
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path) {
    if (section == nullptr || key == nullptr || path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Writes are read-modify-write cycles through one temporary name; two
    // threads writing at once would mix their temporary files or lose a key.
    static std::mutex writeMutex;
    std::lock_guard<std::mutex> lock(writeMutex);

    std::vector<std::string> lines;
    ReadLines(path, &lines);  // a missing file starts empty
    bool crlf = !lines.empty() && !lines[0].empty() && lines[0].back() == '\r';
    const std::string eol = crlf ? "\r" : "";
    const std::string entry = std::string(key) + "=" + (value != nullptr ? value : "") + eol;

    size_t first = 0;
    size_t last = 0;
    if (!FindSection(lines, section, &first, &last)) {
        if (value == nullptr) return true;
        lines.push_back("[" + std::string(section) + "]" + eol);
        lines.push_back(entry);
    } else {
        size_t at = FindKey(lines, first, last, key, nullptr);
        if (at != last) {
            if (value == nullptr) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                lines[at] = entry;
            }
        } else if (value != nullptr) {
            size_t insertAt = last;
            while (insertAt > first && Trim(lines[insertAt - 1]).empty()) --insertAt;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
        }
    }

    std::string tmp = std::string(path) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        for (const std::string& line : lines) out << line << '\n';
        if (!out.flush()) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}
