// The data file as its writers and its manager see it: the bytes that end up
// in the file, in synchronous and asynchronous mode; the modes of what it makes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigMonitorTask.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFile.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "platform/AsyncFile.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "writers/SqlSpool.h"
#include "support/IntakeHarness.h"
#include "support/TestEnv.h"

namespace {

constexpr DWORD kWaitMs = 10000;

// Tab-separated lines of random length, each naming its writer and number.
std::vector<std::string> MakeLines(int writer, int count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> length(0, 400);
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        std::string payload(static_cast<size_t>(length(random)), 'a');
        for (char& c : payload) c = static_cast<char>('a' + random() % 26);
        lines.push_back("w" + std::to_string(writer) + "\t" + std::to_string(i) + "\t" + payload + "\n");
    }
    return lines;
}

struct stat StatOf(const std::string& path) { struct stat st {}; return lstat(path.c_str(), &st), st; }

std::string Join(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& part : parts) all += part;
    return all;
}

class DataFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        testintake::SetKey("ZelkAdv.conf", "DataFile", "EnableAsyncWrite", "1");
        TestClock::SetTickOffset(0);
    }
    void TearDown() override {
        AsyncFileTestHook::HoldWrites(false);
        TestClock::SetTickOffset(0);
        testintake::SetKey("ZelkAdv.conf", "DataFile", "EnableAsyncWrite", "0");
        testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileUseTime", "10");
    }
    static std::string PathOf(const std::string& name) { return testenv::InstallDir() + "/" + name + ".dat"; }
    // Creates m_File at the named path; the test fails when it cannot.
    void Open(const std::string& name) {
        m_File.m_strFilePath = PathOf(name);
        ASSERT_TRUE(m_File.Create());
    }
    DWORD Write(const std::string& text) { return m_File.Write(text.data(), static_cast<DWORD>(text.size())); }
    std::string Content() const { return testenv::ReadFile(m_File.m_strFilePath); }

    std::string m_log;
    CDataFile m_File;
};

TEST_F(DataFileTest, SyncModeWritesStraightThroughAndFlushWritesNothing) {
    testintake::SetKey("ZelkAdv.conf", "DataFile", "EnableAsyncWrite", "0");
    Open("sync");
    EXPECT_EQ(Write("1\talice\n"), 8u);
    EXPECT_EQ(Content(), "1\talice\n");
    EXPECT_TRUE(m_File.Flush());
    EXPECT_EQ(Write("2\tbob\n"), 6u);
    EXPECT_EQ(Content(), "1\talice\n2\tbob\n");
    EXPECT_TRUE(m_File.Close());
}

TEST_F(DataFileTest, AsyncLinesFromTwoThreadsArriveWholeAndInEachWritersOrder) {
    Open("two-writers");
    const std::vector<std::string> lines[2] = {MakeLines(0, 1500, 7), MakeLines(1, 1500, 11)};
    auto writer = [this, &lines](int w) {
        for (const std::string& line : lines[w]) EXPECT_EQ(Write(line), line.size());
    };
    std::thread first(writer, 0);
    std::thread second(writer, 1);
    first.join();
    second.join();
    ASSERT_TRUE(m_File.Close());

    // Every line of the file is the next line of one writer: none torn,
    // lost, duplicated or out of its writer's order.
    const std::string content = Content();
    ASSERT_GT(content.size(), 20u * kDataFileBuffSize);
    EXPECT_EQ(content.size(), Join(lines[0]).size() + Join(lines[1]).size());
    size_t next[2] = {0, 0};
    for (size_t pos = 0; pos < content.size();) {
        const size_t end = content.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = content.substr(pos, end + 1 - pos);
        const int w = line.rfind("w1\t", 0) == 0 ? 1 : 0;
        ASSERT_LT(next[w], lines[w].size());
        ASSERT_EQ(line, lines[w][next[w]]) << "at byte " << pos;
        ++next[w];
        pos = end + 1;
    }
    EXPECT_EQ(next[0], lines[0].size());
    EXPECT_EQ(next[1], lines[1].size());
}

TEST_F(DataFileTest, CreateOnAnOpenObjectFlushesAndClosesTheOldFile) {
    Open("first");
    EXPECT_EQ(Write("old line\n"), 9u);
    EXPECT_EQ(Content(), "");  // still in the buffer
    Open("second");
    EXPECT_EQ(testenv::ReadFile(PathOf("first")), "old line\n");
    EXPECT_EQ(Write("new line\n"), 9u);
    ASSERT_TRUE(m_File.Close());
    EXPECT_EQ(Content(), "new line\n");
}

TEST_F(DataFileTest, WriteToANeverCreatedOrClosedObjectIsRefused) {
    m_File.m_strFilePath = PathOf("refused");
    testenv::RemoveFile(m_File.m_strFilePath);
    EXPECT_EQ(Write("x\n"), 0u);
    EXPECT_FALSE(testenv::FileExists(m_File.m_strFilePath));
    Open("refused");
    EXPECT_EQ(Write("kept\n"), 5u);
    ASSERT_TRUE(m_File.Close());
    EXPECT_EQ(Write("late\n"), 0u);
    EXPECT_EQ(Content(), "kept\n");
}

TEST_F(DataFileTest, DueAfterTheUseTimeFromTheFirstWriteAcrossTheTickWrapOrAtTheSizeLimit) {
    testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileUseTime", "1");
    Open("use-time");
    TestClock::AdvanceTicks(5 * 60000);
    EXPECT_FALSE(m_File.IsUseTimeout());  // open for long, but no data
    ASSERT_EQ(Write("line\n"), 5u);
    TestClock::AdvanceTicks(58000);
    EXPECT_FALSE(m_File.IsUseTimeout());
    TestClock::AdvanceTicks(3000);
    EXPECT_TRUE(m_File.IsUseTimeout());

    // Again with the first write ten seconds before the counter wraps.
    TestClock::SetTickOffset(0);
    TestClock::SetTickOffset(0xFFFFFFFFu - GetTickCount() - 10000);
    Open("use-time");
    ASSERT_EQ(Write("line\n"), 5u);
    EXPECT_FALSE(m_File.IsUseTimeout());  // first tick + one minute lies beyond 2^32
    TestClock::AdvanceTicks(20000);
    ASSERT_LT(GetTickCount(), 60000u);
    EXPECT_TRUE(m_File.IsUseTimeout());

    // With a size limit a file is due once it holds that many MiB, however young.
    testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileMaxSize", "1");
    Open("max-size");
    const std::string half(512 * 1024, 'x');
    ASSERT_EQ(Write(half), half.size());
    EXPECT_FALSE(m_File.IsDue());
    ASSERT_EQ(Write(half), half.size());
    EXPECT_TRUE(m_File.IsDue());
    EXPECT_FALSE(m_File.IsUseTimeout());
}

TEST_F(DataFileTest, NoFreeBufferWaitsForTheEarlierWriteWithoutLosingOrRepeatingBytes) {
    Open("no-free-buffer");
    const std::vector<std::string> lines = MakeLines(0, 200, 3);  // several buffers' worth
    AsyncFileTestHook::HoldWrites(true);
    std::thread writer([this, &lines] {
        for (const std::string& line : lines) EXPECT_EQ(Write(line), line.size());
    });
    const bool waited = testenv::WaitFor(
        [this] {
            const std::string log = testenv::ReadFile(m_log);
            return log.find("[GetFreeBuffIndex] Index = 258\n") != std::string::npos &&
                   log.find("[Write] No Free Buffer, Wait For Earlier Write\n") != std::string::npos;
        },
        kWaitMs);
    AsyncFileTestHook::HoldWrites(false);
    writer.join();
    EXPECT_TRUE(waited) << "the writer never ran out of buffers";
    ASSERT_TRUE(m_File.Close());
    EXPECT_EQ(Content(), Join(lines));
}

TEST_F(DataFileTest, LargeWritesKeepTheOrderOfWrites) {
    Open("large");
    const std::vector<std::string> lines = MakeLines(0, 40, 5);
    std::vector<std::string> writes = {lines[0], std::string(kDataFileBuffSize, 'X') + "\n", lines[1]};
    for (size_t i = 2; i < lines.size(); ++i) writes.push_back(lines[i]);
    writes.push_back(std::string(3 * kDataFileBuffSize, 'Y') + "\n");
    writes.push_back("tail\n");
    for (const std::string& write : writes) ASSERT_EQ(Write(write), write.size());
    ASSERT_TRUE(m_File.Close());
    EXPECT_EQ(Content(), Join(writes));
}

// Under umask 0 folders are made 0750, files 0640, the spool 0600; a 0640 config file keeps
// its mode and group through the INI writer and the monitor's backup and restore.
TEST_F(DataFileTest, FilesAndFoldersGetTheServiceModes) {
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    const std::string temp = shared->GetTempDir(), live = testenv::ConfigDir() + "/ZelkAdv.conf";
    const struct stat before = StatOf(live);
    const gid_t group = getuid() == 0 ? 4242 : getgid();  // root may hand a file to any group
    ASSERT_EQ(chmod(live.c_str(), 0640) | chown(live.c_str(), static_cast<uid_t>(-1), group), 0);
    ASSERT_EQ(rmdir(shared->GetDumpDir().c_str()), 0);
    const mode_t umaskBefore = umask(0);
    Open("modes");
    ASSERT_TRUE(CSqlSpool::GetInstance()->Append("modes_db", {"select 1"}));
    FILE* snapshot = CreateFileStream((temp + "/UserInfo_modes.xml").c_str());
    ASSERT_TRUE(snapshot != nullptr && std::fclose(snapshot) == 0);
    ASSERT_TRUE(shared->CreateWorkingDirectories());
    ASSERT_TRUE(CDataFileManager::GetInstance()->MakeDirectoryExist(temp + "/modes_db"));
    ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "1", (temp + "/new.conf").c_str()));
    CConfigMonitorTask monitor;
    monitor.DoBackupConfigFile();
    testenv::RemoveFile(live);
    monitor.RestoreConfigFile("ZelkAdv.conf");
    ASSERT_TRUE(WritePrivateProfileStringA("DataFile", "EnableAsyncWrite", "1", live.c_str()));  // as it is
    umask(umaskBefore);
    for (const auto& [path, mode] : std::vector<std::pair<std::string, unsigned>>{
             {m_File.m_strFilePath, 0640}, {CSqlSpool::SpoolPath("modes_db"), 0600}, {shared->GetDumpDir(), 0750},
             {temp + "/UserInfo_modes.xml", 0640}, {temp + "/modes_db", 0750}, {temp + "/new.conf", 0640},
             {temp + "/ZelkAdv.conf", 0640}, {live, 0640}}) {
        EXPECT_EQ(StatOf(path).st_mode & 07777, mode) << path;
        EXPECT_EQ(StatOf(path).st_gid, path.find("ZelkAdv") == std::string::npos ? getgid() : group) << path;
    }
    testenv::RemoveFile(CSqlSpool::SpoolPath("modes_db"));
    ASSERT_EQ(chmod(live.c_str(), before.st_mode & 07777) | chown(live.c_str(), before.st_uid, before.st_gid), 0);
}

// A file where a folder belongs is not deleted; a link planted where a data file, a spool
// file or a snapshot is made is refused and its target left as it was.
TEST_F(DataFileTest, APlantedFileOrLinkIsNeitherDeletedNorFollowed) {
    const std::string blocked = CGlobalSharedData::GetInstance()->GetDataFileDir() + "/blocked_db";
    testenv::WriteFile(blocked, "not a folder");
    SetLastError(0);
    EXPECT_FALSE(CDataFileManager::GetInstance()->MakeDirectoryOK("blocked_db", "usrflowlog"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(testenv::ReadFile(blocked), "not a folder");
    testenv::RemoveFile(blocked);

    const std::string target = PathOf("link-target");
    const std::pair<std::string, std::function<bool(const std::string&)>> creators[] = {
        {PathOf("planted"), [this](const std::string& path) { return (m_File.m_strFilePath = path, m_File.Create()); }},
        {CSqlSpool::SpoolPath("planted_db"),
         [](const std::string&) { return CSqlSpool::GetInstance()->Append("planted_db", {"select 1"}); }},
        {CGlobalSharedData::GetInstance()->GetTempDir() + "/UserInfo_planted.xml",
         [](const std::string& path) { return CreateFileStream(path.c_str()) != nullptr; }},  // null: nothing to close
    };
    for (const auto& [path, create] : creators) {
        testenv::WriteFile(target, "the target");
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        EXPECT_FALSE(create(path)) << path;
        EXPECT_EQ(testenv::ReadFile(target), "the target") << path;
        testenv::RemoveFile(path);
    }
}

}  // namespace
