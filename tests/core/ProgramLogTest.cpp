#include "core/ProgramLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "support/TestEnv.h"

namespace {

SYSTEMTIME Day(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    return st;
}

std::string LogFileName(int year, int month, int day) {
    char name[64];
    std::snprintf(name, sizeof(name), "LogFile_%04d_%02d_%02d.log", year, month, day);
    return name;
}

std::string LogFilePath(int year, int month, int day) { return testenv::LogDir() + "/" + LogFileName(year, month, day); }

// Each test writes on its own (test-clock) day, so that the recorder opens a
// file of its own and earlier tests never leak lines into it.
class ProgramLogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(CGlobalSharedData::GetInstance()->Init());
        ASSERT_TRUE(CProgramLogRecorder::GetInstance()->Init());
        ASSERT_TRUE(CConfigManager::GetInstance()->Init());
    }

    void UseDay(int year, int month, int day, int hour = 12) {
        TestClock::SetLocalTime(Day(year, month, day, hour));
        m_path = LogFilePath(year, month, day);
        testenv::RemoveFile(m_path);
    }

    void TearDown() override { TestClock::Reset(); }

    std::vector<std::string> FileLines() const { return testenv::SplitLines(testenv::ReadFile(m_path)); }

    std::string m_path;
};

TEST_F(ProgramLogTest, LineHasTheFixedShape) {
    testenv::SetProgramLog(1, 1, 1, 1024, 15, 0);
    UseDay(2031, 3, 9, 14);
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_INFO, "[CTaskManager]", "[WaitForAllTask] Wait Ret = %u\n", 0u);

    auto lines = FileLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::regex shape(R"(^\[2031-03-09 14:00:0[0-9]\]\[Varnholt\]\[PID=([0-9]{4,})\]\[INFO\]\[TID=([0-9]{4,})\])"
                           R"(\[CTaskManager\]\[WaitForAllTask\] Wait Ret = 0$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, shape)) << lines[0];
    EXPECT_EQ(std::stoul(m[1].str()), GetCurrentProcessId());
    // The message's own line end is the only one.
    EXPECT_EQ(testenv::ReadFile(m_path).back(), '\n');
    EXPECT_EQ(testenv::ReadFile(m_path).find("\n"), testenv::ReadFile(m_path).size() - 1);
}

TEST_F(ProgramLogTest, LevelTagsAndMask) {
    testenv::SetProgramLog(1, 1, 1, 1024, LOG_LEVEL_ERROR | LOG_LEVEL_DEBUG, 0);
    UseDay(2031, 3, 10);
    auto* rec = CProgramLogRecorder::GetInstance();
    Log(rec, LOG_LEVEL_ERROR, "[T]", "error\n");
    Log(rec, LOG_LEVEL_WARN, "[T]", "warn\n");
    Log(rec, LOG_LEVEL_DEBUG, "[T]", "debug\n");
    Log(rec, LOG_LEVEL_INFO, "[T]", "info\n");
    Log(rec, LOG_LEVEL_DUMP, "[T]", "dump\n");
    Log(rec, LOG_LEVEL_NORMAL, "[T]", "normal\n");

    auto lines = FileLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[ERROR][TID="), std::string::npos);
    EXPECT_NE(lines[0].find("[T]error"), std::string::npos);
    EXPECT_NE(lines[1].find("[DEBUG][TID="), std::string::npos);
    EXPECT_STREQ(LogLevelTag(LOG_LEVEL_WARN), "[WARN]");
    EXPECT_STREQ(LogLevelTag(LOG_LEVEL_DUMP), "[DUMP]");
    EXPECT_STREQ(LogLevelTag(0), "[NORMAL]");
    EXPECT_STREQ(LogLevelTag(3), "[NORMAL]");
    EXPECT_STREQ(LogLevelTag(32), "[NORMAL]");
}

TEST_F(ProgramLogTest, DefaultLevelWritesOnlyErrorsButDebugViewGetsAll) {
    CDebugViewListener view;
    ASSERT_TRUE(view.Open(DebugViewSocketName()));
    testenv::SetProgramLog(1, 1, 1, 1024, 1, 30);
    UseDay(2031, 3, 11);
    auto* rec = CProgramLogRecorder::GetInstance();
    Log(rec, LOG_LEVEL_INFO, "[T]", "an info line\n");
    Log(rec, LOG_LEVEL_ERROR, "[T]", "an error line\n");

    auto lines = FileLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("an error line"), std::string::npos);

    std::string first;
    std::string second;
    ASSERT_TRUE(view.Receive(&first, 2000));
    ASSERT_TRUE(view.Receive(&second, 2000));
    EXPECT_NE(first.find("[INFO]"), std::string::npos);
    EXPECT_NE(first.find("an info line\n"), std::string::npos);
    EXPECT_NE(second.find("an error line\n"), std::string::npos);
}

TEST_F(ProgramLogTest, EnableSwitches) {
    CDebugViewListener view;
    ASSERT_TRUE(view.Open(DebugViewSocketName()));
    auto* rec = CProgramLogRecorder::GetInstance();
    std::string text;

    // File off, debug view on: debug view only.
    testenv::SetProgramLog(1, 1, 0, 1024, 31, 0);
    UseDay(2031, 4, 1);
    Log(rec, LOG_LEVEL_ERROR, "[T]", "one\n");
    EXPECT_FALSE(testenv::FileExists(m_path));
    ASSERT_TRUE(view.Receive(&text, 2000));
    EXPECT_NE(text.find("one"), std::string::npos);

    // File on, debug view off: both still get it.
    testenv::SetProgramLog(1, 0, 1, 1024, 31, 0);
    Log(rec, LOG_LEVEL_ERROR, "[T]", "two\n");
    EXPECT_EQ(FileLines().size(), 1u);
    ASSERT_TRUE(view.Receive(&text, 2000));
    EXPECT_NE(text.find("two"), std::string::npos);

    // Both off: nothing at all.
    testenv::SetProgramLog(1, 0, 0, 1024, 31, 0);
    Log(rec, LOG_LEVEL_ERROR, "[T]", "three\n");
    // Global switch off: nothing at all either.
    testenv::SetProgramLog(0, 1, 1, 1024, 31, 0);
    Log(rec, LOG_LEVEL_ERROR, "[T]", "four\n");
    EXPECT_EQ(FileLines().size(), 1u);
    // A marker proves the debug view would have received anything sent.
    testenv::SetProgramLog(1, 1, 0, 1024, 31, 0);
    Log(rec, LOG_LEVEL_ERROR, "[T]", "marker\n");
    ASSERT_TRUE(view.Receive(&text, 2000));
    EXPECT_NE(text.find("marker"), std::string::npos);
}

TEST_F(ProgramLogTest, NullTagAndNullFormat) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    UseDay(2031, 4, 2);
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, nullptr, "[M] text\n");
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, "[Tag]", nullptr);
    std::string content = testenv::ReadFile(m_path);
    const std::regex noTag(std::string(testenv::kLinePrefixRegex) + R"(\[WARN\]\[TID=[0-9]{4,}\]\[M\] text\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(content, m, noTag)) << content;
    // The prefix-only line has no line end of its own.
    EXPECT_TRUE(content.size() > 6 && content.compare(content.size() - 5, 5, "[Tag]") == 0) << content;
}

TEST_F(ProgramLogTest, LongMessageIsCutTo2047Characters) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    UseDay(2031, 4, 3);
    std::string big(5000, 'x');
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "%s\n", big.c_str());
    std::string content = testenv::ReadFile(m_path);
    EXPECT_EQ(content.size(), 2047u);
    EXPECT_EQ(content.back(), 'x');
}

TEST_F(ProgramLogTest, NewDayOpensNewFileAndCleansUp) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 2);
    for (const auto& name : testenv::ListFiles(testenv::LogDir())) testenv::RemoveFile(testenv::LogDir() + "/" + name);
    for (const char* old : {"LogFile_2000_01_01.log", "LogFile_2000_01_02.log"}) {
        testenv::WriteFile(testenv::LogDir() + "/" + old, "old\n");
    }
    TestClock::SetLocalTime(Day(2031, 5, 1, 23, 59, 58));
    testenv::RemoveFile(LogFilePath(2031, 5, 1));
    testenv::RemoveFile(LogFilePath(2031, 5, 2));
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "before midnight\n");
    ASSERT_TRUE(testenv::FileExists(LogFilePath(2031, 5, 1)));

    TestClock::SetLocalTime(Day(2031, 5, 2, 0, 0, 1));
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "after midnight\n");

    std::string next = testenv::ReadFile(LogFilePath(2031, 5, 2));
    EXPECT_NE(next.find("[2031-05-02 00:00:0"), std::string::npos);
    EXPECT_NE(next.find("after midnight"), std::string::npos);
    EXPECT_EQ(testenv::ReadFile(LogFilePath(2031, 5, 1)).find("after midnight"), std::string::npos);

    // The clean-up at the reopening kept the two newest log files.
    std::vector<std::string> logs;
    for (const auto& name : testenv::ListFiles(testenv::LogDir())) {
        if (name.rfind("LogFile_", 0) == 0) logs.push_back(name);
    }
    EXPECT_EQ(logs, (std::vector<std::string>{LogFileName(2031, 5, 1), LogFileName(2031, 5, 2)}));
}

TEST_F(ProgramLogTest, MaxLogFilesKeepsTheNewest) {
    // Start from a log directory that holds only five old files.
    for (const auto& name : testenv::ListFiles(testenv::LogDir())) testenv::RemoveFile(testenv::LogDir() + "/" + name);
    for (int day = 1; day <= 5; ++day) testenv::WriteFile(LogFilePath(2017, 1, day), "old\n");
    testenv::WriteFile(testenv::LogDir() + "/unrelated.txt", "keep\n");
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 3);
    UseDay(2031, 5, 3);
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "new file\n");

    EXPECT_EQ(testenv::ListFiles(testenv::LogDir()),
              (std::vector<std::string>{LogFileName(2017, 1, 4), LogFileName(2017, 1, 5), LogFileName(2031, 5, 3),
                                        "unrelated.txt"}));
}

TEST_F(ProgramLogTest, SizeLimitEmptiesTheFile) {
    testenv::SetProgramLog(1, 1, 1, 1, 31, 0);
    UseDay(2031, 6, 1);
    const std::string payload(90, 'p');
    size_t longest = 0;
    size_t maxSize = 0;
    bool emptied = false;
    size_t previous = 0;
    for (int i = 0; i < 60; ++i) {
        Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "%04d %s\n", i, payload.c_str());
        size_t size = testenv::ReadFile(m_path).size();
        if (size < previous) emptied = true;
        previous = size;
        maxSize = std::max(maxSize, size);
        for (const auto& line : FileLines()) longest = std::max(longest, line.size() + 1);
    }
    EXPECT_TRUE(emptied);
    EXPECT_LE(maxSize, 1024 + longest);
    // After a cut the file starts with a whole line.
    EXPECT_EQ(testenv::ReadFile(m_path).rfind("[2031-06-01", 0), 0u);
}

TEST_F(ProgramLogTest, DeletedFileIsCreatedAgain) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    UseDay(2031, 6, 3);
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "first\n");
    testenv::RemoveFile(m_path);
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "second\n");
    std::string text = testenv::ReadFile(m_path);
    EXPECT_EQ(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST_F(ProgramLogTest, RecreatesAMissingLogDirectory) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    std::string moved = testenv::LogDir() + ".away";
    ASSERT_EQ(std::rename(testenv::LogDir().c_str(), moved.c_str()), 0);
    UseDay(2031, 6, 2);
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[T]", "still logged\n");
    EXPECT_NE(testenv::ReadFile(m_path).find("still logged"), std::string::npos);
    // Put the old files back beside the new one.
    for (const auto& name : testenv::ListFiles(moved)) {
        std::rename((moved + "/" + name).c_str(), (testenv::LogDir() + "/" + name).c_str());
    }
    std::remove(moved.c_str());
}

TEST_F(ProgramLogTest, ConcurrentLinesNeverInterleave) {
    testenv::SetProgramLog(1, 1, 1, 0, 31, 0);
    UseDay(2031, 7, 1);
    constexpr int kThreads = 4;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_INFO, "[Worker]", "[Run] thread %d line %d end\n",
                    t, i);
            }
        });
    }
    for (auto& th : threads) th.join();
    auto lines = FileLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex shape(std::string(testenv::kLinePrefixRegex) +
                           R"(\[INFO\]\[TID=[0-9]{4,}\]\[Worker\]\[Run\] thread [0-3] line [0-9]+ end$)");
    for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, shape)) << line;
}

TEST_F(ProgramLogTest, NothingReachesTheFileBeforeInitOrAfterUnInit) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    UseDay(2031, 8, 1);
    auto* rec = CProgramLogRecorder::GetInstance();
    rec->UnInit();
    Log(rec, LOG_LEVEL_ERROR, "[T]", "after uninit\n");
    EXPECT_FALSE(testenv::FileExists(m_path));
    ASSERT_TRUE(rec->Init());
    Log(rec, LOG_LEVEL_ERROR, "[T]", "after init\n");
    EXPECT_NE(testenv::ReadFile(m_path).find("after init"), std::string::npos);
}

}  // namespace
