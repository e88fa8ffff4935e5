// The crash handler in a real process: a helper program installs it with the
// program log as sink and then crashes; the test looks at the exit code, the
// dump file and the lines in the program log.
#include "platform/CrashHandler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <tuple>

#include "support/ChildProcess.h"
#include "support/TestEnv.h"

#if defined(__SANITIZE_ADDRESS__)
#define VARNHOLT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARNHOLT_ASAN 1
#endif
#endif

namespace {

constexpr DWORD kChildTimeoutMs = 20000;

struct CrashRun {
    int exitCode = -1;
    std::string log;   // every program-log file of the run's tree
    std::string dump;  // Varnholt.dmp, empty when missing
    bool dumpExists = false;
};

class CrashHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef VARNHOLT_ASAN
        GTEST_SKIP() << "AddressSanitizer owns the fault signals in this build";
#endif
    }

    // Runs the helper in a fresh install tree with every log level written.
    static CrashRun Crash(const std::string& mode) {
        const std::string root = testenv::MakeInstallTree();
        testenv::WriteFile(root + "/Zelk/Config/ProgramLog.conf",
                           "[GlobalProgramLog]\nEnable=1\n[DebugViewLog]\nEnable=0\n[TxtLog]\nEnable=1\n"
                           "MaxLogSize=0\nLogLevel=31\nMaxLogFiles=0\n");
        CChildProcess child;
        CrashRun run;
        EXPECT_TRUE(child.Start(std::string(VARNHOLT_BIN_DIR) + "/varnholt-crashchild", {mode},
                                {"VARNHOLT_INSTALL_PATH=" + root}, root + "/child.out"));
        EXPECT_TRUE(child.Wait(kChildTimeoutMs, &run.exitCode));
        for (const std::string& name : testenv::ListFiles(root + "/Zelk/Log")) {
            run.log += testenv::ReadFile(root + "/Zelk/Log/" + name);
        }
        const std::string dumpPath = root + "/Zelk/Dump/Varnholt.dmp";
        run.dumpExists = testenv::FileExists(dumpPath);
        if (run.dumpExists) run.dump = testenv::ReadFile(dumpPath);
        return run;
    }
};

TEST(CrashExceptionNameTest, MapsSignalAndCodeToTheExceptionName) {
    EXPECT_STREQ(CrashExceptionName(SIGSEGV, SEGV_MAPERR, false), "ACCESS_VIOLATION");
    EXPECT_STREQ(CrashExceptionName(SIGSEGV, SEGV_MAPERR, true), "STACK_OVERFLOW");
    EXPECT_STREQ(CrashExceptionName(SIGFPE, FPE_INTDIV, false), "INT_DIVIDE_BY_ZERO");
    EXPECT_STREQ(CrashExceptionName(SIGFPE, FPE_FLTSUB, false), "ARRAY_BOUNDS_EXCEEDED");
    EXPECT_STREQ(CrashExceptionName(SIGILL, ILL_PRVOPC, false), "PRIV_INSTRUCTION");
    EXPECT_STREQ(CrashExceptionName(SIGBUS, BUS_ADRALN, false), "DATATYPE_MISALIGNMENT");
    EXPECT_STREQ(CrashExceptionName(SIGTRAP, TRAP_TRACE, false), "SINGLE_STEP");
    EXPECT_STREQ(CrashExceptionName(SIGABRT, 0, false), "UNKNOWN_ERROR");
    EXPECT_STREQ(CrashExceptionName(SIGFPE, 999, false), "UNKNOWN_ERROR");
}

TEST_F(CrashHandlerTest, NullWriteInWorkerThreadWritesDumpAndBacktraceThenExits255) {
    CrashRun run = Crash("null-write");
    EXPECT_EQ(run.exitCode, 255);

    ASSERT_TRUE(run.dumpExists);
    EXPECT_EQ(run.dump.rfind("Varnholt crash dump 1\n", 0), 0u);
    for (const char* part : {"signal: 11 SIGSEGV\n", "address: 0x0000000000000000\n", "exception: ACCESS_VIOLATION\n",
                             "varnholt-crashchild\n" /* in the maps */, "\nstack: 0x"}) {
        EXPECT_NE(run.dump.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(run.dump.substr(run.dump.size() - 4), "end\n");

    EXPECT_EQ(testenv::CountOccurrences(run.log, "[ERROR]"), testenv::CountOccurrences(run.log, "[Exception]"));
    EXPECT_EQ(testenv::CountOccurrences(run.log, "[Exception]EXCEPTION code=ACCESS_VIOLATION\n"), 1u) << run.log;
    const size_t header = run.log.find("[Exception]BACKTRACE: ");
    ASSERT_NE(header, std::string::npos) << run.log;
    const unsigned frames = static_cast<unsigned>(std::stoul(run.log.substr(header + 22)));
    EXPECT_GE(frames, 2u);
    EXPECT_LE(frames, 64u);
    EXPECT_NE(run.log.find(" stack frames:\n", header), std::string::npos);
    EXPECT_EQ(testenv::CountOccurrences(run.log, "[Exception] #"), frames);
    // Frame 0 is the faulting function, not the handler.
    EXPECT_NE(run.log.find("[Exception] #0 0x08"), std::string::npos);
    const size_t first = run.log.find("[Exception] #0 ");
    const std::string firstLine = run.log.substr(first, run.log.find('\n', first) - first);
    EXPECT_NE(firstLine.find("at VarnholtCrashChildNullWrite in varnholt-crashchild"), std::string::npos)
        << firstLine;
    EXPECT_NE(run.log.find("[Exception] #1 "), std::string::npos);
}

// An integer division by zero, and a stack overflow in a worker thread
// (reported from the alternate stack), are named in the log and the dump.
TEST_F(CrashHandlerTest, DivisionByZeroAndStackOverflowAreNamedInLogAndDump) {
    for (const auto& [mode, name, logPart, dumpPart] :
         {std::tuple{"divide", "INT_DIVIDE_BY_ZERO", "at VarnholtCrashChildDivide in varnholt-crashchild",
                     "signal: 8 SIGFPE\n"},
          {"overflow", "STACK_OVERFLOW", "[Exception]BACKTRACE: 64 stack frames:\n", "signal: 11 SIGSEGV\n"}}) {
        CrashRun run = Crash(mode);
        EXPECT_EQ(run.exitCode, 255) << mode;
        EXPECT_EQ(testenv::CountOccurrences(run.log, std::string("[Exception]EXCEPTION code=") + name + "\n"), 1u)
            << run.log;
        EXPECT_NE(run.log.find(logPart), std::string::npos) << mode;
        EXPECT_NE(run.dump.find(dumpPart), std::string::npos) << mode;
    }
}

}  // namespace
