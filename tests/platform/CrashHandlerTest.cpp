// The crash handler in a real process: a helper program installs it with the
// program log as sink and then crashes; the test looks at the exit code, the
// dump file and the lines in the program log.
#include "platform/CrashHandler.h"

#include <algorithm>
#include <csignal>
#include <regex>

#include "support/Prelude.h"

namespace {

constexpr DWORD kChildTimeoutMs = 20000;

struct CrashRun {
    int exitCode = -1;
    std::string log;   // every program-log file of the run's tree
    std::string dump;  // Varnholt.dmp, empty when missing
    bool dumpExists = false;
};

// Runs the helper in a fresh install tree with every log level written.
CrashRun Crash(const std::string& mode) {
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

TEST(CrashHandlerTest, NullWriteInWorkerThreadWritesDumpAndBacktraceThenExits255) {
    CrashRun run = Crash("null-write");
    EXPECT_EQ(run.exitCode, 255);

    // The raw parts come first, the frames last.
    ASSERT_TRUE(run.dumpExists);
    EXPECT_EQ(run.dump.rfind("Varnholt crash dump 2\n", 0), 0u);
    size_t last = 0;
    for (const char* part : {"signal: 11 SIGSEGV\n", "address: 0x0000000000000000\n", "exception: ACCESS_VIOLATION\n",
                             "\nregisters:\n", "\nmaps:\n", "varnholt-crashchild\n", "\nstack: 0x", "\nbacktrace: ",
                             "\n  #0 0x08", "\n  #1 0x08"}) {
        last = run.dump.find(part, last);
        ASSERT_NE(last, std::string::npos) << part;
    }
    EXPECT_EQ(run.dump.substr(run.dump.size() - 4), "end\n");

    EXPECT_EQ(testenv::CountOccurrences(run.log, "[ERROR]"), testenv::CountOccurrences(run.log, "[Exception]"));
    EXPECT_EQ(testenv::CountOccurrences(run.log, "[Exception]EXCEPTION code=ACCESS_VIOLATION\n"), 1u) << run.log;
    const size_t header = run.log.find("[Exception]BACKTRACE: ");
    ASSERT_NE(header, std::string::npos) << run.log;
    const unsigned frames = static_cast<unsigned>(std::stoul(run.log.substr(header + 22)));
    EXPECT_GE(frames, 3u);
    EXPECT_LE(frames, 64u);
    EXPECT_NE(run.log.find(" stack frames:\n", header), std::string::npos);
    EXPECT_EQ(testenv::CountOccurrences(run.log, "[Exception] #"), frames);
    // Frame 0 is the faulting function, not the handler: demangled, with its
    // source line (the dump holds the same text); frame 1 its caller.
    const std::string source = testenv::ReadFile(std::string(VARNHOLT_SOURCE_DIR) + "/tests/support/CrashChild.cpp");
    const auto line = std::to_string(1 + std::ranges::count(source.substr(0, source.find("42;  // fault")), '\n'));
    const size_t first = run.log.find("[Exception] #0 0x08");
    ASSERT_NE(first, std::string::npos);
    const std::string frame = run.log.substr(first + 15, run.log.find('\n', first) - first - 15);
    EXPECT_TRUE(frame.ends_with(" at CrashChildStoreAnswer(int*) in varnholt-crashchild (support/CrashChild.cpp:" +
                                line + ")"))
        << frame;
    EXPECT_NE(run.dump.find("  #0 " + frame + "\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(run.log, std::regex(R"(\] #1 0x08[0-9a-f]+ at VarnholtCrashChildNullWrite in )"
                                                      R"(varnholt-crashchild \(support/CrashChild\.cpp:[0-9]+\)\n)")));
}

// Each crash kind is named in log and dump; a stack overflow is reported in
// CreateThread and stop-signal threads alike. A fault in the unwinder still
// leaves the exception line and the dump with everything but the frames.
TEST(CrashHandlerTest, CrashKindsAreNamedInLogAndDumpEvenWhenTheUnwindFaults) {
    for (const auto& [mode, name, logPart, dumpPart] :
         {std::tuple{"divide", "INT_DIVIDE_BY_ZERO", "at VarnholtCrashChildDivide in varnholt-crashchild",
                     "signal: 8 SIGFPE\n"},
          {"overflow", "STACK_OVERFLOW", "[Exception]BACKTRACE: 64 stack frames:\n", "signal: 11 SIGSEGV\n"},
          {"stop-overflow", "STACK_OVERFLOW", "at VarnholtCrashChildRecurse in varnholt-crashchild",
           "signal: 11 SIGSEGV\n"},
          {"wild-stack", "ACCESS_VIOLATION", "", "  rsp 0x0000000000001000\n"}}) {
        const bool unwound = std::string(mode) != "wild-stack";
#if !defined(__x86_64__)
        if (!unwound) continue;  // the helper aims the stack pointer with x86_64 code
#endif
        CrashRun run = Crash(mode);
        EXPECT_EQ(run.exitCode, 255) << mode;
        EXPECT_EQ(testenv::CountOccurrences(run.log, std::string("[Exception]EXCEPTION code=") + name + "\n"), 1u)
            << run.log;
        EXPECT_NE(run.log.find(logPart), std::string::npos) << mode;
        for (const char* part : {dumpPart, "\nregisters:\n", "\nmaps:\n", "\nstack: "}) {
            EXPECT_NE(run.dump.find(part), std::string::npos) << mode << ": " << part;
        }
        EXPECT_EQ(run.log.find("[Exception]BACKTRACE: ") != std::string::npos, unwound) << mode;
        EXPECT_EQ(run.dump.find("\nbacktrace: ") != std::string::npos, unwound) << mode;
    }
}

}  // namespace
