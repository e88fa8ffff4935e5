// Helpers shared by the writers and the record task: directory paths, the
// packed date and time of log records, and UTF-8 / GBK text.
//
// A packed date word holds the year in bits 16..31, the month in bits 8..15
// and the day in bits 0..7; a packed time word the hour, minute and second in
// the same places.
#pragma once

#include <string>

#include "platform/WinTypes.h"

// Makes sure every directory of an absolute path exists, creating the missing
// ones from the top down. Returns whether the whole path exists afterwards
// (true at once when it already did).
bool CreateDirectoryRecursive(const char* path);

// "%4d-%02d-%02d %02d:%02d:%02d" into buffer, cut to size - 2 characters plus
// the terminating zero. False (nothing written) for a null buffer or size 0.
bool TranslateDWORDTimeToSZ(DWORD date, DWORD time, char* buffer, DWORD size);

// "%4d%02d%02d%02d%02d%02d" of the same values.
bool FormatDateTimeCompact(DWORD date, DWORD time, std::string& text);

// UTF-8 to GBK into a zero-terminated pool buffer (released by the caller with
// ReleaseByteBuff), also stored through out. Null on failure.
char* Utf8ToGbk(const char* text, char** out);
// The same into a string; the pool buffer is released here.
bool Utf8ToGbkString(const char* text, std::string& out);
// GBK to UTF-8, with the buffer rules of Utf8ToGbk.
char* GbkToUtf8(const char* text, char** out);
