// The program log: line format, level mask, outputs, the day files (named by
// the test clock's date, so that day rollover is driven without waiting),
// clean-up, size limit and concurrent writers.
#include "core/ProgramLog.h"

#include <sys/un.h>

#include <cstddef>
#include <regex>

#include "support/Prelude.h"

namespace {

std::string LogFileName(int year, int month, int day) {
    char name[64];
    std::snprintf(name, sizeof(name), "LogFile_%04d_%02d_%02d.log", year, month, day);
    return name;
}

std::string LogFilePath(int year, int month, int day) {
    return testenv::LogDir() + "/" + LogFileName(year, month, day);
}

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// Lines without their time, program, process and thread fields.
std::string WithoutPrefix(const std::string& lines) {
    static const std::regex fields(R"(\[[0-9: -]+\]\[Varnholt\]\[PID=[0-9]{4,}\]|\[TID=[0-9]{4,}\])");
    return std::regex_replace(lines, fields, "");
}

// Each test writes on its own (test-clock) day, so that the recorder opens a
// file of its own and earlier tests never leak lines into it.
class ProgramLogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testenv::UseFreshLogDay(); }  // brings the log and the configuration up
    void UseDay(int year, int month, int day, int hour = 12) {
        m_path = testenv::UseLogDay(testenv::Time(year, month, day, hour));
    }
    std::string Text() const { return testenv::ReadFile(m_path); }

    std::string m_path;
};

// Every line has the fixed prefix the log readers parse, and no more than
// 2,047 characters.
TEST_F(ProgramLogTest, LineHasTheFixedShape) {
    testenv::SetProgramLog(1, 1, 1, 1024, 15, 0);
    UseDay(2031, 3, 9, 14);
    Log(Recorder(), LOG_LEVEL_INFO, "[CTaskManager]", "[WaitForAllTask] Wait Ret = %u\n", 0u);

    const std::string text = Text();
    const std::regex shape(R"(^\[2031-03-09 14:00:0[0-9]\]\[Varnholt\]\[PID=([0-9]{4,})\]\[INFO\]\[TID=([0-9]{4,})\])"
                           R"(\[CTaskManager\]\[WaitForAllTask\] Wait Ret = 0\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, shape)) << text;  // the message's own line end is the only one
    EXPECT_EQ(std::stoul(m[1].str()), GetCurrentProcessId());
    // A message longer than the line buffer is cut to 2,047 characters.
    UseDay(2031, 3, 10);
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "%s\n", std::string(5000, 'x').c_str());
    EXPECT_EQ(Text().size(), 2047u);
    EXPECT_EQ(Text().back(), 'x');
}

// Text from a peer cannot forge lines: every control byte of the message is
// written as a visible escape, and only the message's own final "\n" or
// "\r\n" ends the line.
TEST_F(ProgramLogTest, ControlBytesInMessagesAreEscaped) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    UseDay(2031, 3, 12);
    const std::pair<const char*, const char*> cases[] = {
        {"bob\r\n[2031-03-12 12:00:00][Varnholt][PID=1][ERROR]forged", R"(bob\r\n[2031-03-12 12:00:00][Varnholt][PID=1][ERROR]forged)"},
        {"\x1b[2J\t\x7f\x01", R"(\x1b[2J\t\x7f\x01)"},
        {"ends\n", R"(ends\n)"},
    };
    std::string expected;
    for (const auto& [name, escaped] : cases) {
        Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "[Login] Name = %s .\n", name);
        expected += std::string("[ERROR][T][Login] Name = ") + escaped + " .\n";
    }
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "%s\r\n", "dump\r");
    expected += "[ERROR][T]dump\\r\r\n";
    EXPECT_EQ(WithoutPrefix(Text()), expected);
}

// LogLimited writes a key's line once per minute of the tick clock, then
// with the count of the lines left out meanwhile. Keys are independent, and
// one pushed out of the bounded table by many others is written again.
TEST_F(ProgramLogTest, LimitedLinesAreWrittenOncePerMinutePerKey) {
    testenv::SetProgramLog(1, 1, 1, 0, 31, 0);
    UseDay(2031, 7, 2);
    static int run = 0;  // keys of their own for a repeated run
    const std::string tag = std::to_string(run++), a = "peerA" + tag, b = "peerB" + tag;
    const struct {
        const std::string& key;
        std::uint32_t advanceMs;
        const char* note;  // null: left out
    } steps[] = {
        {a, 0, ""}, {a, 0, nullptr}, {b, 0, ""}, {a, 50000, nullptr}, {a, 10000, " (2 more like this suppressed)"},
        {a, 0, nullptr}, {a, 60000, " (1 more like this suppressed)"},
    };
    std::string expected;
    for (size_t i = 0; i < std::size(steps); ++i) {
        TestClock::AdvanceTicks(steps[i].advanceMs);
        LogLimited(Recorder(), steps[i].key, LOG_LEVEL_ERROR, "[T]", "[Check] %s %zu\n", steps[i].key.c_str(), i);
        if (steps[i].note != nullptr) {
            expected += "[ERROR][T][Check] " + steps[i].key + " " + std::to_string(i) + steps[i].note + "\n";
        }
    }
    for (int k = 0; k < 300; ++k) {
        LogLimited(Recorder(), tag + "other" + std::to_string(k), LOG_LEVEL_ERROR, "[T]", "[Check] other\n");
        expected += "[ERROR][T][Check] other\n";
    }
    LogLimited(Recorder(), b, LOG_LEVEL_ERROR, "[T]", "[Check] %s again\n", b.c_str());
    expected += "[ERROR][T][Check] " + b + " again\n";
    EXPECT_EQ(WithoutPrefix(Text()), expected);
}

// The level mask filters the file only; the global switch silences
// everything and each output has its own switch. The debug view gets every
// line, with its level tag, at a socket file in a folder only the service
// user may enter; whoever binds the old abstract name hears nothing.
TEST_F(ProgramLogTest, OutputsFollowTheLevelMaskAndTheSwitches) {
    CDebugViewListener view;
    ASSERT_TRUE(view.Open(DebugViewSocketName()));
    const std::string folder = testenv::InstallDir() + "/Zelk/Run";
    EXPECT_EQ(view.Path(), folder + "/" + DebugViewSocketName());
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const int spy = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un abstractName{AF_UNIX, {}};
    std::memcpy(abstractName.sun_path + 1, DebugViewSocketName().data(), DebugViewSocketName().size());
    ASSERT_EQ(bind(spy, reinterpret_cast<const sockaddr*>(&abstractName),
                   offsetof(sockaddr_un, sun_path) + 1 + DebugViewSocketName().size()),
              0);
    UseDay(2031, 3, 11);
    constexpr int kMask = LOG_LEVEL_ERROR | LOG_LEVEL_DEBUG;
    const struct {
        int global, debugView, txt;
        DWORD level;
        const char* tag;
        bool inFile, inView;
    } cases[] = {
        // In the mask or not, with every output on.
        {1, 1, 1, LOG_LEVEL_DEBUG, "[DEBUG]", true, true}, {1, 1, 1, LOG_LEVEL_WARN, "[WARN]", false, true},
        // The switches, one at a time.
        {1, 1, 0, LOG_LEVEL_ERROR, "[ERROR]", false, true}, {1, 0, 1, LOG_LEVEL_ERROR, "[ERROR]", true, false},
        {1, 0, 0, LOG_LEVEL_ERROR, "[ERROR]", false, false}, {0, 1, 1, LOG_LEVEL_ERROR, "[ERROR]", false, false},
    };
    std::string expectedFile, expectedView;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        testenv::SetProgramLog(c.global, c.debugView, c.txt, 1024, kMask, 0);
        Log(Recorder(), c.level, "[T]", "case %zu\n", i);
        const std::string line = c.tag + ("[T]case " + std::to_string(i)) + "\n";
        if (c.inFile) expectedFile += line;
        if (c.inView) expectedView += line;
    }
    // A marker ends what the debug view received.
    testenv::SetProgramLog(1, 1, 0, 1024, 31, 0);
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "marker\n");
    std::string received;
    for (std::string text; received.find("marker") == std::string::npos; received += WithoutPrefix(text)) {
        ASSERT_TRUE(view.Receive(&text, 2000)) << received;
    }
    EXPECT_EQ(received, expectedView + "[ERROR][T]marker\n");
    EXPECT_EQ(WithoutPrefix(Text()), expectedFile);
    char stolen[64];
    EXPECT_LT(recv(spy, stolen, sizeof(stolen), 0), 0);
    close(spy);
}

// A node identity is its only credential: lines print it only shortened, as
// bytes, as hex text, or inside a file name; other hex runs stay whole.
TEST_F(ProgramLogTest, IdentitiesAreShortened) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    UseDay(2031, 3, 13);
    const BYTE identity[16] = {0xAB, 0xCD, 0x12, 0x34};
    const std::string sha1(40, 'e');
    Log(Recorder(), LOG_LEVEL_DEBUG, "[T]", "[SetDbName] Compare MD5 %s With %s\n",
        ShortIdentity("00112233445566778899aabbccddeeff").c_str(), ShortIdentity(identity).c_str());
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "File = %s , SHA-1 = %s , %s%s\n",
        ShortIdentity("/t/AdminInfo00112233445566778899AABBCCDDEEFF_77.xml").c_str(), ShortIdentity(sha1).c_str(),
        ShortIdentity(std::string(31, 'a')).c_str(), ShortIdentity(nullptr).c_str());
    EXPECT_EQ(WithoutPrefix(Text()), "[DEBUG][T][SetDbName] Compare MD5 0011... With ABCD...\n"
                                     "[ERROR][T]File = /t/AdminInfo0011..._77.xml , SHA-1 = " + sha1 + " , " +
                                         std::string(31, 'a') + "\n");
}

// Crossing midnight on the test clock opens the next day's file; the clean-up
// at each opening keeps the newest MaxLogFiles log files and nothing else is
// touched.
TEST_F(ProgramLogTest, NewDayOpensNewFileAndKeepsTheNewestFiles) {
    for (const auto& name : testenv::ListFiles(testenv::LogDir())) testenv::RemoveFile(testenv::LogDir() + "/" + name);
    for (int day = 1; day <= 5; ++day) testenv::WriteFile(LogFilePath(2017, 1, day), "old\n");
    testenv::WriteFile(testenv::LogDir() + "/unrelated.txt", "keep\n");
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 3);
    TestClock::SetLocalTime(testenv::Time(2031, 5, 1, 23, 59, 58));
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "before midnight\n");
    EXPECT_EQ(testenv::ListFiles(testenv::LogDir()),
              (std::vector<std::string>{LogFileName(2017, 1, 4), LogFileName(2017, 1, 5), LogFileName(2031, 5, 1),
                                        "unrelated.txt"}));

    TestClock::AdvanceLocalTime(3);
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "after midnight\n");
    std::string next = testenv::ReadFile(LogFilePath(2031, 5, 2));
    EXPECT_EQ(next.rfind("[2031-05-02 00:00:0", 0), 0u) << next;
    EXPECT_EQ(WithoutPrefix(next), "[ERROR][T]after midnight\n");
    EXPECT_EQ(WithoutPrefix(testenv::ReadFile(LogFilePath(2031, 5, 1))), "[ERROR][T]before midnight\n");
    EXPECT_EQ(testenv::ListFiles(testenv::LogDir()),
              (std::vector<std::string>{LogFileName(2017, 1, 5), LogFileName(2031, 5, 1), LogFileName(2031, 5, 2),
                                        "unrelated.txt"}));
}

// A file that reached MaxLogSize is kept under the next number (".1", ".2",
// ..., ".10" after ".9") and a fresh file continues, so a flood of lines
// never erases what the day recorded; the clean-up counts the numbered files
// too, oldest first.
TEST_F(ProgramLogTest, SizeLimitKeepsFullFilesUnderNumberedNames) {
    for (const auto& name : testenv::ListFiles(testenv::LogDir())) testenv::RemoveFile(testenv::LogDir() + "/" + name);
    testenv::SetProgramLog(1, 1, 1, 1, 31, 0);
    UseDay(2031, 6, 1);
    const std::string payload(90, 'p');
    int written = 0;
    for (; written < 100; ++written) Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "%04d %s\n", written, payload.c_str());

    const size_t full = testenv::ListFiles(testenv::LogDir()).size() - 1;
    ASSERT_GE(full, 10u);
    std::string all;
    for (size_t k = 1; k <= full; ++k) {
        const std::string text = testenv::ReadFile(m_path + "." + std::to_string(k));
        EXPECT_GE(text.size(), 1024u) << k;
        EXPECT_LT(text.size(), 1024u + 200u) << k;
        all += text;
    }
    const auto lines = testenv::SplitLines(all + Text());
    ASSERT_EQ(lines.size(), 100u);
    for (size_t i = 0; i < lines.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof(number), "%04zu ", i);
        EXPECT_EQ(WithoutPrefix(lines[i]), "[ERROR][T]" + (number + payload)) << i;
    }

    // With MaxLogFiles 3 the next full file leaves the two newest numbered
    // files and the current one; an older day goes first.
    testenv::WriteFile(LogFilePath(2031, 5, 31), "old\n");
    testenv::SetProgramLog(1, 1, 1, 1, 31, 3);
    while (!testenv::FileExists(m_path + "." + std::to_string(full + 1))) {
        Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "%04d %s\n", written++, payload.c_str());
    }
    const std::string last = LogFileName(2031, 6, 1) + "." + std::to_string(full + 1);
    EXPECT_EQ(testenv::ListFiles(testenv::LogDir()),
              (std::vector<std::string>{LogFileName(2031, 6, 1), LogFileName(2031, 6, 1) + "." + std::to_string(full),
                                        last}));
}

// An operator deleting the day's file does not swallow the later lines.
// Between UnInit and Init nothing is written.
TEST_F(ProgramLogTest, DeletedFileIsCreatedAgain) {
    testenv::SetProgramLog(1, 1, 1, 1024, 31, 0);
    UseDay(2031, 6, 2);
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "first\n");
    testenv::RemoveFile(m_path);
    Recorder()->UnInit();
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "after uninit\n");
    ASSERT_TRUE(Recorder()->Init());
    Log(Recorder(), LOG_LEVEL_ERROR, "[T]", "second\n");
    EXPECT_EQ(WithoutPrefix(Text()), "[ERROR][T]second\n");
}

// Lines logged by several threads at once stay whole.
TEST_F(ProgramLogTest, ConcurrentLinesNeverInterleave) {
    testenv::SetProgramLog(1, 1, 1, 0, 31, 0);
    UseDay(2031, 7, 1);
    constexpr int kThreads = 4;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Log(Recorder(), LOG_LEVEL_INFO, "[Worker]", "[Run] thread %d line %d end\n", t, i);
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = testenv::SplitLines(Text());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex form(R"(^\[[0-9]{1,4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\]\[Varnholt\]\[PID=[0-9]{4,}\])"
                          R"(\[INFO\]\[TID=[0-9]{4,}\]\[Worker\]\[Run\] thread [0-3] line [0-9]+ end$)");
    for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, form)) << line;
}

}  // namespace
