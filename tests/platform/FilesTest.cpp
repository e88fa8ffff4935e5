// File and directory helpers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "support/TestEnv.h"

namespace {

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
    void MakeDir(const std::string& name) const { ASSERT_EQ(mkdir(Path(name).c_str(), 0755), 0) << name; }

    static std::vector<std::string> Names(const std::vector<DirEntry>& entries) {
        std::vector<std::string> names;
        for (const DirEntry& e : entries) names.push_back(e.name);
        return names;
    }

    std::string m_dir;
};

// ---------------------------------------------------------------------------
// Attributes

TEST_F(FilesTest, AttributesOfMissingPathsFail) {
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(Path("missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(""), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);
    EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);

    // A regular file used as a directory.
    testenv::WriteFile(Path("file"), "x");
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(Path("file/child").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, AttributesTellDirectoriesFromFiles) {
    MakeDir("sub");
    testenv::WriteFile(Path("plain.txt"), "data");

    DWORD dirAttributes = GetFileAttributesA(Path("sub").c_str());
    ASSERT_NE(dirAttributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(dirAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

    DWORD fileAttributes = GetFileAttributesA(Path("plain.txt").c_str());
    ASSERT_NE(fileAttributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(fileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(fileAttributes, FILE_ATTRIBUTE_NORMAL);

    // Symbolic links are followed.
    ASSERT_EQ(symlink(Path("sub").c_str(), Path("link").c_str()), 0);
    EXPECT_NE(GetFileAttributesA(Path("link").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(FilesTest, ReadOnlyFileIsMarked) {
    if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
    testenv::WriteFile(Path("ro.txt"), "data");
    ASSERT_EQ(chmod(Path("ro.txt").c_str(), 0444), 0);
    DWORD attributes = GetFileAttributesA(Path("ro.txt").c_str());
    EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// ---------------------------------------------------------------------------
// Listing

TEST_F(FilesTest, ListingMatchesThePatternInByteOrder) {
    for (const char* name : {"b.txt", "a.txt", "C.txt", "a.log", "z.txt", "\xE4\xB8\xAD.txt", "txt"}) {
        testenv::WriteFile(Path(name), name);
    }
    MakeDir("d.txt");
    MakeDir("other");

    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(m_dir, "*.txt", &entries));
    EXPECT_EQ(Names(entries),
              (std::vector<std::string>{"C.txt", "a.txt", "b.txt", "d.txt", "z.txt", "\xE4\xB8\xAD.txt"}));
    for (const DirEntry& e : entries) EXPECT_EQ(e.isDirectory, e.name == "d.txt") << e.name;

    ASSERT_TRUE(ListDirectory(m_dir, "a.*", &entries));
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"a.log", "a.txt"}));

    ASSERT_TRUE(ListDirectory(m_dir, "?.txt", &entries));
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"C.txt", "a.txt", "b.txt", "d.txt", "z.txt"}));
}

TEST_F(FilesTest, ListingLeavesOutDotEntriesAndFlagsDirectories) {
    testenv::WriteFile(Path("file"), "");
    MakeDir("dir");
    ASSERT_EQ(symlink(Path("dir").c_str(), Path("dirlink").c_str()), 0);

    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(m_dir, "*", &entries));
    ASSERT_EQ(Names(entries), (std::vector<std::string>{"dir", "dirlink", "file"}));
    EXPECT_TRUE(entries[0].isDirectory);
    EXPECT_TRUE(entries[1].isDirectory) << "a link to a directory counts as one";
    EXPECT_FALSE(entries[2].isDirectory);

    ASSERT_TRUE(ListDirectory(m_dir, ".*", &entries));
    for (const DirEntry& e : entries) {
        EXPECT_NE(e.name, ".");
        EXPECT_NE(e.name, "..");
    }
}

TEST_F(FilesTest, ListingWithNoMatchOrNoDirectory) {
    testenv::WriteFile(Path("a.txt"), "");
    std::vector<DirEntry> entries{DirEntry{"stale", false}};
    SetLastError(0);
    ASSERT_TRUE(ListDirectory(m_dir, "*.log", &entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);

    SetLastError(0);
    EXPECT_FALSE(ListDirectory(Path("missing"), "*", &entries));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(entries.empty());
}

TEST_F(FilesTest, ListingIsSortedRegardlessOfCreationOrder) {
    std::vector<std::string> expected;
    for (int i = 99; i >= 0; --i) {
        std::string name = "log_" + std::to_string(1000 + i) + ".txt";
        testenv::WriteFile(Path(name), "");
        expected.insert(expected.begin(), name);
    }
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(m_dir, "log_*.txt", &entries));
    EXPECT_EQ(Names(entries), expected);
}

// ---------------------------------------------------------------------------
// Directories

TEST_F(FilesTest, CreateDirectoryTreeAndReportExisting) {
    std::string nested = Path("a/b/c/d");
    EXPECT_EQ(SHCreateDirectory(nested.c_str()), ERROR_SUCCESS);
    EXPECT_NE(GetFileAttributesA(nested.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(SHCreateDirectory(nested.c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SHCreateDirectory(Path("a/b").c_str()), ERROR_ALREADY_EXISTS);

    // Parts that exist already are fine.
    EXPECT_EQ(SHCreateDirectory(Path("a/b/other").c_str()), ERROR_SUCCESS);
    EXPECT_NE(GetFileAttributesA(Path("a/b/other").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    EXPECT_EQ(SHCreateDirectory(""), ERROR_BAD_PATHNAME);
    EXPECT_EQ(SHCreateDirectory(nullptr), ERROR_BAD_PATHNAME);

    // A file in the way fails.
    testenv::WriteFile(Path("blocker"), "");
    EXPECT_NE(SHCreateDirectory(Path("blocker/sub").c_str()), ERROR_SUCCESS);
    EXPECT_NE(SHCreateDirectory(Path("blocker").c_str()), ERROR_SUCCESS);
}

TEST_F(FilesTest, SingleDirectoryCreateAndRemove) {
    ASSERT_TRUE(CreateDirectoryA(Path("one").c_str()));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA(Path("one").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA(Path("no/parent").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    ASSERT_TRUE(RemoveDirectoryA(Path("one").c_str()));
    EXPECT_EQ(GetFileAttributesA(Path("one").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(RemoveDirectoryA(Path("one").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Copy, move, delete

TEST_F(FilesTest, CopyHonoursFailIfExists) {
    testenv::WriteFile(Path("src"), "new content");
    testenv::WriteFile(Path("dst"), "old content that is longer than the new one");

    SetLastError(0);
    EXPECT_FALSE(CopyFileA(Path("src").c_str(), Path("dst").c_str(), true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(testenv::ReadFile(Path("dst")), "old content that is longer than the new one");

    ASSERT_TRUE(CopyFileA(Path("src").c_str(), Path("dst").c_str(), false));
    EXPECT_EQ(testenv::ReadFile(Path("dst")), "new content");
    EXPECT_EQ(testenv::ReadFile(Path("src")), "new content");

    ASSERT_TRUE(CopyFileA(Path("src").c_str(), Path("fresh").c_str(), true));
    EXPECT_EQ(testenv::ReadFile(Path("fresh")), "new content");
}

TEST_F(FilesTest, CopyOfALargeBinaryFileIsExact) {
    std::string data;
    data.reserve(300000);
    for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>((i * 131 + i / 977) & 0xFF));
    testenv::WriteFile(Path("big"), data);
    ASSERT_TRUE(CopyFileA(Path("big").c_str(), Path("big.copy").c_str(), false));
    EXPECT_TRUE(testenv::ReadFile(Path("big.copy")) == data);

    testenv::WriteFile(Path("empty"), "");
    ASSERT_TRUE(CopyFileA(Path("empty").c_str(), Path("big.copy").c_str(), false));
    EXPECT_EQ(testenv::ReadFile(Path("big.copy")), "");
}

TEST_F(FilesTest, CopyFailures) {
    SetLastError(0);
    EXPECT_FALSE(CopyFileA(Path("missing").c_str(), Path("dst").c_str(), false));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(testenv::FileExists(Path("dst")));

    testenv::WriteFile(Path("src"), "x");
    SetLastError(0);
    EXPECT_FALSE(CopyFileA(Path("src").c_str(), Path("no/dir/dst").c_str(), false));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CopyFileA(nullptr, Path("dst").c_str(), false));
    EXPECT_FALSE(CopyFileA(Path("src").c_str(), nullptr, false));
}

TEST_F(FilesTest, CopyOntoItselfLeavesTheFileIntact) {
    testenv::WriteFile(Path("self"), "precious");
    EXPECT_FALSE(CopyFileA(Path("self").c_str(), Path("self").c_str(), false));
    EXPECT_EQ(testenv::ReadFile(Path("self")), "precious");
    SetLastError(0);
    EXPECT_FALSE(CopyFileA(Path("self").c_str(), Path("self").c_str(), true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(testenv::ReadFile(Path("self")), "precious");

    // The same file reached through a link.
    ASSERT_EQ(link(Path("self").c_str(), Path("alias").c_str()), 0);
    EXPECT_FALSE(CopyFileA(Path("self").c_str(), Path("alias").c_str(), false));
    EXPECT_EQ(testenv::ReadFile(Path("self")), "precious");
}

TEST_F(FilesTest, DeleteAndMove) {
    testenv::WriteFile(Path("f"), "content");
    ASSERT_TRUE(MoveFileA(Path("f").c_str(), Path("g").c_str()));
    EXPECT_FALSE(testenv::FileExists(Path("f")));
    EXPECT_EQ(testenv::ReadFile(Path("g")), "content");

    SetLastError(0);
    EXPECT_FALSE(MoveFileA(Path("f").c_str(), Path("h").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    ASSERT_TRUE(DeleteFileA(Path("g").c_str()));
    EXPECT_FALSE(testenv::FileExists(Path("g")));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(Path("g").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Disk space, module path

TEST_F(FilesTest, DiskFreeSpaceIsReported) {
    std::uint64_t available = 0;
    std::uint64_t total = 0;
    std::uint64_t totalFree = 0;
    ASSERT_TRUE(GetDiskFreeSpaceExA(m_dir.c_str(), &available, &total, &totalFree));
    EXPECT_GT(available, 0u);
    EXPECT_GT(total, 0u);
    EXPECT_GE(totalFree, available);
    EXPECT_GE(total, totalFree);

    std::uint64_t onlyAvailable = 0;
    EXPECT_TRUE(GetDiskFreeSpaceExA(m_dir.c_str(), &onlyAvailable, nullptr, nullptr));
    EXPECT_GT(onlyAvailable, 0u);

    SetLastError(0);
    EXPECT_FALSE(GetDiskFreeSpaceExA(Path("missing").c_str(), &available, &total, &totalFree));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, ModulePathIsThisProgram) {
    std::string path = GetModuleFilePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(std::filesystem::path(path).filename().string(), "platform_tests");
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// ---------------------------------------------------------------------------
// Plain file

TEST_F(FilesTest, PlainFileAppendsToExistingContent) {
    testenv::WriteFile(Path("log.txt"), "abc");
    CPlainFile file;
    EXPECT_FALSE(file.IsOpen());
    ASSERT_TRUE(file.OpenAppend(Path("log.txt").c_str()));
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Size(), 3);
    ASSERT_TRUE(file.Write("def", 3));
    EXPECT_EQ(file.Size(), 6);
    EXPECT_EQ(testenv::ReadFile(Path("log.txt")), "abcdef");
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Size(), -1);

    ASSERT_TRUE(file.OpenAppend(Path("log.txt").c_str()));
    ASSERT_TRUE(file.Write("g", 1));
    EXPECT_EQ(testenv::ReadFile(Path("log.txt")), "abcdefg");
}

TEST_F(FilesTest, PlainFileCreatesAMissingFile) {
    CPlainFile file;
    ASSERT_TRUE(file.OpenAppend(Path("new.txt").c_str()));
    EXPECT_EQ(file.Size(), 0);
    std::string line = "first line\n";
    ASSERT_TRUE(file.Write(line.data(), line.size()));
    EXPECT_EQ(testenv::ReadFile(Path("new.txt")), line);
}

TEST_F(FilesTest, PlainFileTruncateEmptiesAndRestartsAtTheBeginning) {
    testenv::WriteFile(Path("log.txt"), "old old old");
    CPlainFile file;
    ASSERT_TRUE(file.OpenAppend(Path("log.txt").c_str()));
    ASSERT_TRUE(file.Truncate());
    EXPECT_EQ(file.Size(), 0);
    EXPECT_EQ(testenv::ReadFile(Path("log.txt")), "");
    ASSERT_TRUE(file.Write("xy", 2));
    EXPECT_EQ(file.Size(), 2);
    EXPECT_EQ(testenv::ReadFile(Path("log.txt")), "xy");
}

TEST_F(FilesTest, PlainFileFailures) {
    CPlainFile file;
    SetLastError(0);
    EXPECT_FALSE(file.OpenAppend(Path("no/dir/file").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(file.IsOpen());
    SetLastError(0);
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(file.Truncate());
}

}  // namespace
