// File and directory helpers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "support/TestEnv.h"

namespace {

// The last error a call left when it failed; 0 when it succeeded.
template <class Call>
DWORD FailureOf(Call call) {
    SetLastError(0);
    return call() ? 0 : GetLastError();
}

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
        EXPECT_EQ(FailureOf([&] { return Attributes(name) != INVALID_FILE_ATTRIBUTES; }), error) << name;
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

}  // namespace
