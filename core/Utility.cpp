#include "core/Utility.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/ProgramLog.h"
#include "core/modules/BuffManager.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

struct DateTimeParts {
    int year, month, day, hour, minute, second;
};

DateTimeParts Unpack(DWORD date, DWORD time) {
    return DateTimeParts{static_cast<int>(date >> 16),         static_cast<int>((date >> 8) & 0xFF),
                         static_cast<int>(date & 0xFF),        static_cast<int>(time >> 16),
                         static_cast<int>((time >> 8) & 0xFF), static_cast<int>(time & 0xFF)};
}

// Copies converted text into a zero-terminated pool buffer.
char* ToPoolBuffer(bool converted, const std::string& text, char** out) {
    if (!converted) return nullptr;
    auto* buffer = reinterpret_cast<char*>(AllocBuff(static_cast<DWORD>(text.size() + 1)));
    *out = buffer;
    if (buffer != nullptr) std::memcpy(buffer, text.data(), text.size());
    return buffer;
}

}  // namespace

bool CreateDirectoryRecursive(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    if (GetFileAttributesA(path) == FILE_ATTRIBUTE_DIRECTORY) return true;

    // The whole path, then n - 1 times the path cut at its last '/', each put
    // in front: "/A/B/C" gives /A, /A/B, /A/B/C.
    std::string work = path;
    while (work.size() > 1 && work.back() == '/') work.pop_back();
    const auto separators = static_cast<int>(std::count(work.begin(), work.end(), '/'));
    std::vector<std::string> paths{work};
    for (int i = 0; i < separators - 1; ++i) {
        size_t slash = work.find_last_of('/');
        if (slash == std::string::npos || slash == 0) break;
        work.resize(slash);
        paths.insert(paths.begin(), work);
    }

    bool last = false;
    for (const std::string& p : paths) {
        last = CreateDirectoryA(p.c_str());
        if (!last && GetLastError() != ERROR_ALREADY_EXISTS) {
            Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[CreateDirectoryRecursive]",
                "Cannot Create Dir = %s Err = %u\n", p.c_str(), GetLastError());
        }
    }
    return last;
}

bool TranslateDWORDTimeToSZ(DWORD date, DWORD time, char* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return false;
    const DateTimeParts t = Unpack(date, time);
    char text[64];
    int n = std::snprintf(text, sizeof(text), "%4d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                          t.second);
    size_t keep = std::min<size_t>(static_cast<size_t>(std::max(n, 0)), size >= 2 ? size - 2 : 0);
    std::memcpy(buffer, text, keep);
    buffer[keep] = '\0';
    return true;
}

bool FormatDateTimeCompact(DWORD date, DWORD time, std::string& text) {
    const DateTimeParts t = Unpack(date, time);
    char buffer[260];
    std::snprintf(buffer, sizeof(buffer), "%4d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    text = buffer;
    return true;
}

char* Utf8ToGbk(const char* text, char** out) {
    if (text == nullptr || out == nullptr) return nullptr;
    std::string converted;
    return ToPoolBuffer(ConvertUtf8ToGbk(text, std::strlen(text), &converted), converted, out);
}

bool Utf8ToGbkString(const char* text, std::string& out) {
    char* buffer = nullptr;
    if (Utf8ToGbk(text, &buffer) == nullptr) return false;
    out = buffer;
    ReleaseByteBuff(buffer);
    return true;
}

char* GbkToUtf8(const char* text, char** out) {
    if (text == nullptr || out == nullptr) return nullptr;
    std::string converted;
    return ToPoolBuffer(ConvertGbkToUtf8(text, std::strlen(text), &converted), converted, out);
}
