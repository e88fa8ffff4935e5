// Fuzz target: the INI reader and writer on arbitrary file content.
// The input is the file. Every key listed in a section (first sections and
// keys only) must be readable back through the same section; the section
// lists and the first key's value are also read into small buffers of
// exactly the given size; that key is then rewritten and must read back as
// written.
#include "platform/Ini.h"
#include "tests/fuzz/FuzzEnv.h"

using fuzzenv::Require;

namespace {

constexpr size_t kMaxSections = 4;
constexpr size_t kMaxKeys = 8;

std::string g_path;

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\v\f");
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r\v\f") - b + 1);
}

// Names of the "[name]" lines, without NUL bytes (a C string cannot hold them).
std::vector<std::string> SectionNames(const std::string& text) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < text.size() && names.size() < kMaxSections) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        if (!line.empty() && line[0] == '[') {
            const std::string name = Trim(line.substr(1, line.find(']') == std::string::npos ? std::string::npos
                                                                                              : line.find(']') - 1));
            if (name.find('\0') == std::string::npos) names.push_back(name);
        }
        start = end + 1;
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    g_path = std::string(dir) + "/varnholt-fuzz-ini-" + std::to_string(getpid()) + ".conf";
    std::atexit([] { unlink(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::ofstream(g_path, std::ios::binary | std::ios::trunc) << text;
    CIniDocument doc;
    Require(doc.Load(g_path));

    std::string written;
    std::string writtenSection;
    // Reads into buffers of 2 to 62 bytes, so that values and lists are cut.
    const DWORD small = static_cast<DWORD>(2 + size % 61);
    for (const std::string& section : SectionNames(text)) {
        std::vector<std::string> lines;
        Require(doc.GetSection(section, &lines));
        size_t keys = 0;
        for (const std::string& line : lines) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            if (++keys > kMaxKeys) break;
            const std::string key = Trim(line.substr(0, eq));
            Require(doc.GetString(section, key, nullptr));
            if (written.empty() && key.find('\0') == std::string::npos) {
                written = key;
                writtenSection = section;
            }
        }
        std::vector<char> buffer(small);
        Require(GetPrivateProfileSectionA(section.c_str(), buffer.data(), small, g_path.c_str()) < small);
        Require(buffer[small - 1] == '\0');
    }

    if (!written.empty()) {
        std::vector<char> buffer(small);
        Require(GetPrivateProfileStringA(writtenSection.c_str(), written.c_str(), "", buffer.data(), small,
                                         g_path.c_str()) < small);
        GetPrivateProfileIntA(writtenSection.c_str(), written.c_str(), 0, g_path.c_str());
        Require(WritePrivateProfileStringA(writtenSection.c_str(), written.c_str(), "fuzz", g_path.c_str()));
        std::string value;
        Require(IniReadString(g_path, writtenSection, written, &value) && value == "fuzz");
    }
    return 0;
}
