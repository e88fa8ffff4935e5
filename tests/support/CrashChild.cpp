// Helper program for the crash-handler tests: brings up the shared data, the
// program log and the configuration from VARNHOLT_INSTALL_PATH, installs the
// crash handler logging through the program log, then crashes as argv[1]
// asks: "null-write" (in a worker thread), "divide", "overflow" (recursion in a
// worker thread), "stop-overflow" (in the stop-signal thread), "wild-stack" (a
// fault with stack and frame pointer in unmapped memory: the unwinder faults).
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "platform/CrashHandler.h"
#include "platform/Process.h"
#include "platform/Thread.h"

int* volatile g_nowhere = nullptr;  // read at run time: the compiler cannot see the null

// A C++ name, shown demangled. The faults here are real ones in a sanitizer
// build too: its undefined-behaviour checks would end the process first.
__attribute__((noinline, no_sanitize("undefined"))) void CrashChildStoreAnswer(int* target) {
    *static_cast<volatile int*>(target) = 42;  // fault
}

extern "C" {

// Kept out of line and exported so that the back-trace names them.
__attribute__((noinline)) void VarnholtCrashChildNullWrite() {
    CrashChildStoreAnswer(g_nowhere);
    g_nowhere = nullptr;  // no tail call: this frame stays on the stack
}

__attribute__((noinline, no_sanitize("undefined"))) int VarnholtCrashChildDivide(int divisor) {
    volatile int dividend = 7;
    volatile int d = divisor;
    return dividend / d;
}

// Never reached: only gives the recursion a base case the compiler accepts.
volatile int g_recursionLimit = -1;

__attribute__((noinline)) int VarnholtCrashChildRecurse(int depth) {
    if (depth == g_recursionLimit) return 0;
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return VarnholtCrashChildRecurse(depth + 1) + frame[0];
}

}  // extern "C"

namespace {

void LogCrashLine(const char* text) {
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[Exception]", "%s\n", text);
}

DWORD NullWriteThread(void*) {
    VarnholtCrashChildNullWrite();
    return 0;
}

DWORD OverflowThread(void*) { return static_cast<DWORD>(VarnholtCrashChildRecurse(0)); }

void OverflowOnStop(int) { VarnholtCrashChildRecurse(0); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    BlockStopSignals();
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    if (!shared->Init() || !CProgramLogRecorder::GetInstance()->Init() || !CConfigManager::GetInstance()->Init()) {
        return 3;
    }
    if (!InstallCrashHandler(shared->GetDumpDir().c_str(), LogCrashLine)) return 4;

    HANDLE thread = nullptr;
    if (std::strcmp(argv[1], "null-write") == 0) {
        thread = CreateThread(NullWriteThread, nullptr, nullptr);
    } else if (std::strcmp(argv[1], "overflow") == 0) {
        thread = CreateThread(OverflowThread, nullptr, nullptr);
    } else if (std::strcmp(argv[1], "divide") == 0) {
        return VarnholtCrashChildDivide(argc - 2);  // argc is 2: divisor 0
    } else if (std::strcmp(argv[1], "stop-overflow") == 0) {
        if (!StartStopSignalThread(OverflowOnStop) || kill(getpid(), SIGTERM) != 0) return 5;
        for (;;) pause();  // the crash in the stop-signal thread ends the process
    } else if (std::strcmp(argv[1], "wild-stack") == 0) {
#if defined(__x86_64__)
        asm volatile("mov $0x1000, %%rsp\n\tmov $0x1000, %%rbp\n\tmovl $0, (%%rsp)" ::: "memory");
#endif
        return 6;
    }
    if (thread != nullptr) WaitForSingleObject(thread, INFINITE);
    return 5;  // the crash did not happen
}
