// File and directory helpers, and the INI files built on them.
#include <stdlib.h>

#include "platform/Files.h"
#include "support/Prelude.h"

namespace {

// The last error a call left when it failed; 0 when it succeeded.
template <class Call>
DWORD FailureOf(Call call) {
    SetLastError(0);
    return call() ? 0 : GetLastError();
}

// A fresh directory per test, removed afterwards.
class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testenv::InstallDir() + "/files-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    void Make(const std::string& name, const std::string& content = "") const {
        testenv::WriteFile(Path(name), content);
    }
    std::string Read(const std::string& name) const { return testenv::ReadFile(Path(name)); }
    DWORD Attributes(const std::string& name) const { return GetFileAttributesA(Path(name).c_str()); }
    std::vector<std::string> List(const std::string& pattern, std::vector<DirEntry>* entries) const {
        EXPECT_TRUE(ListDirectory(m_dir, pattern, entries)) << pattern;
        std::vector<std::string> names;
        for (const DirEntry& e : *entries) names.push_back(e.name);
        return names;
    }

    std::string m_dir;
};

// Directories are made one level at a time or with every missing parent.
// Attributes tell directories (exactly FILE_ATTRIBUTE_DIRECTORY, also through
// a link) from files, and fail with the Windows error of the cause.
TEST_F(FilesTest, DirectoriesAndAttributes) {
    ASSERT_TRUE(CreateDirectoryA(Path("sub").c_str()));
    EXPECT_EQ(FailureOf([&] { return CreateDirectoryA(Path("sub").c_str()); }), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(FailureOf([&] { return CreateDirectoryA(Path("no/parent").c_str()); }), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SHCreateDirectory(Path("a/b/c").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(SHCreateDirectory(Path("a/b").c_str()), ERROR_ALREADY_EXISTS);
    Make("plain.txt", "data");
    EXPECT_NE(SHCreateDirectory(Path("plain.txt/sub").c_str()), ERROR_SUCCESS);  // a file in the way

    ASSERT_EQ(symlink(Path("sub").c_str(), Path("link").c_str()), 0);
    EXPECT_EQ(Attributes("a/b/c"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(Attributes("link"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(Attributes("plain.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    for (const auto& [name, error] :
         {std::pair{"missing", ERROR_FILE_NOT_FOUND}, {"plain.txt/child", ERROR_PATH_NOT_FOUND}}) {
        EXPECT_EQ(FailureOf([&, n = name] { return Attributes(n) != INVALID_FILE_ATTRIBUTES; }), error) << name;
    }
}

// Listings match the shell pattern and come in ascending byte order whatever
// order the files were made in (the log clean-up deletes the first ones).
TEST_F(FilesTest, ListingMatchesThePatternInByteOrder) {
    for (const char* name : {"b.txt", "a.txt", "C.txt", "a.log", "z.txt", "\xE4\xB8\xAD.txt", "txt"}) Make(name);
    ASSERT_TRUE(CreateDirectoryA(Path("d.txt").c_str()));
    ASSERT_EQ(symlink(Path("d.txt").c_str(), Path("dirlink").c_str()), 0);
    std::vector<std::string> logs;
    for (int i = 99; i >= 0; --i) {
        logs.insert(logs.begin(), "log_" + std::to_string(1000 + i) + ".dat");
        Make(logs.front());
    }
    std::vector<DirEntry> entries;
    EXPECT_EQ(List("*.txt", &entries),
              (std::vector<std::string>{"C.txt", "a.txt", "b.txt", "d.txt", "z.txt", "\xE4\xB8\xAD.txt"}));
    for (const DirEntry& e : entries) EXPECT_EQ(e.isDirectory, e.name == "d.txt") << e.name;
    EXPECT_EQ(List("a.*", &entries), (std::vector<std::string>{"a.log", "a.txt"}));
    EXPECT_EQ(List("log_*", &entries), logs);
    // A link to a directory counts as one; "." and ".." are left out.
    ASSERT_EQ(List("dir*", &entries), (std::vector<std::string>{"dirlink"}));
    EXPECT_TRUE(entries[0].isDirectory);
    EXPECT_EQ(List(".*", &entries).size(), 0u);
    // No match is a success with ERROR_NO_MORE_FILES; no directory fails.
    entries = {DirEntry{"stale", false}};
    SetLastError(0);
    EXPECT_TRUE(List("*.none", &entries).empty());
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_EQ(FailureOf([&] { return ListDirectory(Path("missing"), "*", &entries); }), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(entries.empty());
}

// Copies honour fail-if-exists, copy binary data exactly and never truncate a
// file copied onto itself.
TEST_F(FilesTest, CopyKeepsExistingFilesAndCopiesExactly) {
    Make("src", "new content");
    Make("dst", "old content that is longer than the new one");
    auto copy = [&](const char* from, const char* to, bool failIfExists) {
        return FailureOf([&] { return CopyFileA(Path(from).c_str(), Path(to).c_str(), failIfExists); });
    };
    EXPECT_EQ(copy("src", "dst", true), ERROR_FILE_EXISTS);
    EXPECT_EQ(Read("dst"), "old content that is longer than the new one");
    EXPECT_EQ(copy("src", "dst", false), 0u);
    EXPECT_EQ(Read("dst"), "new content");
    // Binary data larger than the copy buffer.
    std::string data;
    for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>((i * 131 + i / 977) & 0xFF));
    Make("big", data);
    EXPECT_EQ(copy("big", "dst", false), 0u);
    EXPECT_TRUE(Read("dst") == data);
    // A file copied onto itself, directly or through a link, is not truncated.
    ASSERT_EQ(link(Path("src").c_str(), Path("alias").c_str()), 0);
    EXPECT_NE(copy("src", "src", false), 0u);
    EXPECT_NE(copy("src", "alias", false), 0u);
    EXPECT_EQ(Read("src"), "new content");
}

// Private-profile (INI) reading and writing with the Windows rules that the
// configuration files were written for, on test.ini of the directory.
class IniTest : public FilesTest {
protected:
    void SetUp() override {
        FilesTest::SetUp();
        m_path = Path("test.ini");
    }

    void Write(const std::string& content) { testenv::WriteFile(m_path, content); }
    std::string Content() const { return testenv::ReadFile(m_path); }
    bool Set(const char* section, const char* key, const char* value) {
        return WritePrivateProfileStringA(section, key, value, m_path.c_str());
    }
    std::string GetString(const std::string& section, const std::string& key) {
        char buffer[256];
        DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "<default>", buffer, sizeof(buffer),
                                           m_path.c_str());
        EXPECT_EQ(n, std::strlen(buffer)) << "returned length differs from copied text";
        return buffer;
    }
    int GetInt(const std::string& section, const std::string& key, int def = -999) {
        return static_cast<int>(GetPrivateProfileIntA(section.c_str(), key.c_str(), def, m_path.c_str()));
    }

    std::string m_path;
};

// An integer read takes optional blanks, an optional sign and the leading
// decimal digits; a present key without digits gives 0, not the default.
TEST_F(IniTest, IntegerReadsUseTheIntegerRule) {
    const std::pair<const char*, int> cases[] = {
        {" -12abc", -12}, {"abc", 0},    {"", 0},    {"+7", 7}, {"42", 42}, {"\t 15 ", 15},
        {"007", 7},       {"12 34", 12}, {"3.9", 3}, {"-", 0},  {"+", 0},   {"- 5", 0},
        {"0x10", 0},      {"-0", 0},     {"-0042", -42},
        {"2147483647", 2147483647},      {"-2147483648", -2147483647 - 1},
    };
    std::string file = "[I]\n";
    for (size_t i = 0; i < std::size(cases); ++i) file += "k" + std::to_string(i) + "=" + cases[i].first + "\n";
    Write(file);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(IniParseInt(cases[i].first), cases[i].second) << '"' << cases[i].first << '"';
        EXPECT_EQ(GetInt("i", "K" + std::to_string(i)), cases[i].second) << '"' << cases[i].first << '"';
    }
    EXPECT_EQ(GetInt("I", "absent", 123), 123);
    EXPECT_EQ(GetInt("Absent", "k0", -3), -3);
    EXPECT_EQ(GetPrivateProfileIntA("I", "k0", 8, (m_dir + "/absent.ini").c_str()), 8u);
}

// Names match ignoring case; the first matching section and key win; comment
// lines never match; an absent section or key gives the default. A value
// loses its surrounding blanks and one pair of matching quotes; GBK bytes pass
// through.
TEST_F(IniTest, StringReadRules) {
    const std::pair<const char*, const char*> values[] = {
        {"  some value with spaces \t", "some value with spaces"}, {"\"quoted value\"", "quoted value"},
        {"'single'", "single"}, {"\"  keeps inner blanks  \"", "  keeps inner blanks  "},
        {"\"abc'", "\"abc'"}, {"\"abc", "\"abc"}, {"\"\"abc\"\"", "\"abc\""}, {"\"", "\""}, {"\"\"", ""},
        {"", ""}, {"a=b", "a=b"}, {"\xD6\xD0\xCE\xC4", "\xD6\xD0\xCE\xC4"},
    };
    std::string file = "; leading comment\n[Database]\nHostName=db.local\nPort=1\nPort=2\n;key=commented\n"
                       "   ; key=indented\nkey=real\n[Other]\nPort=5\n[database]\nPort=3\nOnlyInSecond=yes\n"
                       "[S]\n  spaced key  =  v  \n";
    for (size_t i = 0; i < std::size(values); ++i) file += "k" + std::to_string(i) + "=" + values[i].first + "\n";
    Write(file);
    for (const auto& [section, key, expected] : {
             std::tuple{"DATABASE", "hostname", "db.local"}, {"database", "HOSTNAME", "db.local"},
             {"Database", "PORT", "1"}, {"Database", "OnlyInSecond", "<default>"}, {"Other", "Port", "5"},
             {"Database", "key", "real"}, {"Database", ";key", "<default>"}, {"Missing", "Port", "<default>"},
             {"S", "spaced key", "v"}}) {
        EXPECT_EQ(GetString(section, key), expected) << section << "/" << key;
    }
    for (size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(GetString("S", "k" + std::to_string(i)), values[i].second) << values[i].first;
    }
    // A value, or the default, is cut to size - 1 bytes and never written past the buffer.
    for (const auto& [key, size, expected] : {std::tuple{"k0", 5u, "some"}, {"none", 4u, "<de"}, {"k0", 1u, ""}}) {
        char buffer[8];
        std::memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(GetPrivateProfileStringA("S", key, "<default>", buffer, size, m_path.c_str()), size - 1);
        EXPECT_EQ(std::string(buffer, size + 1), std::string(expected) + '\0' + 'x') << key << " " << size;
    }
}

// A section read returns the non-comment, non-blank lines in file order,
// stripped; the buffer form separates them with zeros and ends with two, cut
// to the buffer without writing past it.
TEST_F(IniTest, SectionReads) {
    Write("[First]\nx=0\n[Servers]\n  alpha=1  \n; a comment\n\nplain line\nbeta = 2\n[Empty]\n; only a comment\n\n"
          "[L]\nabc\ndefgh\n");
    std::vector<std::string> lines{"stale"};
    ASSERT_TRUE(IniReadSection(m_path, "servers", &lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"alpha=1", "plain line", "beta = 2"}));
    ASSERT_TRUE(IniReadSection(m_path, "EMPTY", &lines));
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(IniReadSection(m_path, "Missing", &lines));

    const std::tuple<const char*, DWORD, DWORD, std::string> cases[] = {
        // section, buffer size, length returned, the first size bytes
        {"Servers", 32, 28, std::string("alpha=1\0plain line\0beta = 2\0\0xxx", 32)},
        {"Empty", 4, 0, std::string("\0\0xx", 4)},
        {"L", 11, 10, std::string("abc\0defgh\0\0", 11)},  // fits exactly
        {"L", 8, 6, std::string("abc\0de\0\0", 8)},        // the second line is cut in the middle
        {"L", 3, 1, std::string("a\0\0", 3)},  // even the first line does not fit
    };
    for (const auto& [section, size, length, bytes] : cases) {
        char buffer[40];
        std::memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(GetPrivateProfileSectionA(section, buffer, size, m_path.c_str()), length) << section << size;
        EXPECT_EQ(std::string(buffer, size + 1), bytes + "x") << section << size << ": wrong bytes or past the end";
    }
}

// A write changes one line (the section found ignoring case), adds a key at
// the end of its section's entries or a section at the end of the file, or
// removes a key; every other line, comments and blank lines included, stays.
TEST_F(IniTest, WriteChangesOnlyTheKeyAndKeepsTheRestOfTheFile) {
    Write("; header comment\n[S]\nA=1\n; note about B\nB=2\n\n[T]\nA=9\nB=4\n");
    const std::tuple<const char*, const char*, const char*, const char*> steps[] = {
        {"S", "A", "5", "; header comment\n[S]\nA=5\n; note about B\nB=2\n\n[T]\nA=9\nB=4\n"},
        {"s", "B", "two", "; header comment\n[S]\nA=5\n; note about B\nB=two\n\n[T]\nA=9\nB=4\n"},
        {"S", "C", "3", "; header comment\n[S]\nA=5\n; note about B\nB=two\nC=3\n\n[T]\nA=9\nB=4\n"},
        {"New", "Key", "Value",
         "; header comment\n[S]\nA=5\n; note about B\nB=two\nC=3\n\n[T]\nA=9\nB=4\n[New]\nKey=Value\n"},
        {"S", "b", nullptr, "; header comment\n[S]\nA=5\n; note about B\nC=3\n\n[T]\nA=9\nB=4\n[New]\nKey=Value\n"},
    };
    for (const auto& [section, key, value, content] : steps) {
        ASSERT_TRUE(Set(section, key, value)) << section << "/" << key;
        EXPECT_EQ(Content(), content) << section << "/" << key;
    }
    // Removing what is not there changes nothing.
    ASSERT_TRUE(Set("S", "missing", nullptr));
    ASSERT_TRUE(Set("Missing", "A", nullptr));
    EXPECT_EQ(Content(), std::get<3>(steps[4]));
}

// Writing creates a missing file (through a temporary that is not left
// behind) but not a missing directory. Files saved on Windows are read, and
// written back with their CR LF ends.
TEST_F(IniTest, WriteCreatesMissingFilesAndKeepsWindowsLineEndings) {
    std::string path = m_dir + "/new.ini";
    ASSERT_TRUE(WritePrivateProfileStringA("Sec", "Key", "v1", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Sec", "Other", "7", path.c_str()));
    EXPECT_EQ(testenv::ReadFile(path), "[Sec]\nKey=v1\nOther=7\n");
    EXPECT_EQ(testenv::ListFiles(m_dir), (std::vector<std::string>{"new.ini"}));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", (m_dir + "/no/such/dir/x.ini").c_str()));

    Write("[S]\r\nA=1\r\n[T]\r\nB=\"q\"\r\n");
    EXPECT_EQ(GetInt("S", "A"), 1);
    EXPECT_EQ(GetString("T", "B"), "q");
    ASSERT_TRUE(Set("S", "A", "10") && Set("S", "C", "3") && Set("U", "D", "4"));
    EXPECT_EQ(Content(), "[S]\r\nA=10\r\nC=3\r\n[T]\r\nB=\"q\"\r\n[U]\r\nD=4\r\n");
}

// The new version is written beside the file and renamed over it: it keeps
// the file's mode (also a restrictive one), and no temporary file is left.
TEST_F(IniTest, WriteKeepsTheModeAndLeavesNoTemporaryFile) {
    Write("[DiskFreeSpace]\nMinFreeSpace=4\nISFULL=0\n");
    ASSERT_EQ(chmod(m_path.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(stat(m_path.c_str(), &before), 0);

    ASSERT_TRUE(Set("DiskFreeSpace", "ISFULL", "1"));
    struct stat after {};
    ASSERT_EQ(stat(m_path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(std::make_tuple(after.st_uid, after.st_gid), std::make_tuple(before.st_uid, before.st_gid));
    EXPECT_NE(after.st_ino, before.st_ino) << "rewritten in place instead of replaced";
    EXPECT_EQ(Content(), "[DiskFreeSpace]\nMinFreeSpace=4\nISFULL=1\n");
    EXPECT_EQ(testenv::ListFiles(m_dir), (std::vector<std::string>{"test.ini"}));

    // A symbolic link is written through: the link stays, its target changes.
    const std::string link = m_dir + "/link.ini";
    ASSERT_EQ(symlink(m_path.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "0", link.c_str()));
    struct stat linkStat {};
    ASSERT_EQ(lstat(link.c_str(), &linkStat), 0);
    EXPECT_TRUE(S_ISLNK(linkStat.st_mode));
    EXPECT_EQ(Content(), "[DiskFreeSpace]\nMinFreeSpace=4\nISFULL=0\n");
    EXPECT_EQ(testenv::ListFiles(m_dir), (std::vector<std::string>{"link.ini", "test.ini"}));
}

// The record of the process's own writes: a chain of own writes on top of a
// version seen counts as own; an outside edit in between, or a version the
// writer never produced, does not. The writer's temporary names are known.
TEST_F(IniTest, OwnWritesAreToldApartFromOutsideEdits) {
    Write("[S]\nA=1\n");
    const FileVersion seen = GetFileVersion(m_path);
    ASSERT_TRUE(seen.exists);
    EXPECT_FALSE(IsOwnProfileWrite(seen, seen)) << "a version nobody here wrote";

    ASSERT_TRUE(Set("S", "A", "2"));
    ASSERT_TRUE(Set("S", "A", "3"));
    const FileVersion own = GetFileVersion(m_path);
    EXPECT_TRUE(IsOwnProfileWrite(own, seen));
    EXPECT_TRUE(IsOwnProfileWrite(own, own));

    // An operator's edit in place, carried along by the next write.
    testenv::WriteFile(m_path, "[S]\nA=3\nB=operator\n");
    const FileVersion edited = GetFileVersion(m_path);
    EXPECT_FALSE(IsOwnProfileWrite(edited, own));
    ASSERT_TRUE(Set("S", "A", "4"));
    EXPECT_FALSE(IsOwnProfileWrite(GetFileVersion(m_path), own));
    EXPECT_TRUE(IsOwnProfileWrite(GetFileVersion(m_path), edited));
    EXPECT_EQ(Content(), "[S]\nA=4\nB=operator\n");

    // A file created by a write counts from "missing".
    const std::string fresh = m_dir + "/fresh.ini";
    ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "V", fresh.c_str()));
    EXPECT_TRUE(IsOwnProfileWrite(GetFileVersion(fresh), FileVersion{}));
    EXPECT_FALSE(IsOwnProfileWrite(FileVersion{}, FileVersion{}));

    EXPECT_TRUE(IsProfileTempFileName(".Zelk.conf.varnholt-tmp-a1B2c3"));
    for (const char* name : {"Zelk.conf", ".Zelk.conf", ".Zelk.conf.varnholt-tmp-", ".Zelk.conf.varnholt-tmp-abcdefg",
                             "Zelk.conf.varnholt-tmp-abcdef", ".varnholt-tmp-abcdef"}) {
        EXPECT_FALSE(IsProfileTempFileName(name)) << name;
    }
}

}  // namespace
