// Private-profile (INI) files with the Windows reading rules.
//
// Section and key names match ignoring ASCII case; the first matching section
// and the first matching key win. Lines whose first non-blank character is ';'
// are comments. An integer read takes optional blanks, an optional sign and
// the leading decimal digits (no digits gives 0; an absent key gives the
// default). A string read strips surrounding blanks and one pair of matching
// quotes. A section read returns the section's non-comment lines in file order,
// each stripped of surrounding blanks. Files are read as bytes (GBK text is
// passed through untouched). Every call reads the file again.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

// Copies the value (or the default when the key or file is absent) into
// buffer, cut to size - 1 bytes. Returns the number of bytes copied.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer,
                               DWORD size, const char* path);

UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* path);

// Copies the section's lines as "line\0line\0\0", cut to fit size. Returns the
// number of bytes copied without the final zero (size - 2 when cut).
DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size, const char* path);

// Replaces or adds one key (a null value removes it), keeping the rest of the
// file as it is; creates the file or section when missing.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path);

// A file read once and queried many times with the same rules (a loader that
// reads dozens of keys parses the file once).
class CIniDocument {
public:
    // False (last error set) when the file cannot be read.
    bool Load(const std::string& path);
    bool GetString(const std::string& section, const std::string& key, std::string* value) const;
    bool GetSection(const std::string& section, std::vector<std::string>* lines) const;

private:
    std::vector<std::string> m_lines;
};

// Whole-value forms used where a caller must know the full length.
// IniReadString returns false when the file, section or key is absent.
bool IniReadString(const std::string& path, const std::string& section, const std::string& key, std::string* value);
// Returns false when the file or section is absent.
bool IniReadSection(const std::string& path, const std::string& section, std::vector<std::string>* lines);
// Integer text rule shared by the integer read.
int IniParseInt(const std::string& text);
