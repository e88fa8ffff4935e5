// Process-wide crash handler: the Linux form of the unhandled-exception filter.
//
// InstallCrashHandler sets handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP and SIGABRT that run on a per-thread alternate signal stack (so that
// a stack overflow can still be reported). The first thread that crashes takes
// the crash lock; any other crashing thread waits until the process ends. The
// owner, most vital first:
//   1. writes "Varnholt.dmp" into the dump directory (format in docs/crash.md):
//      header, registers, /proc/self/maps and the stack bytes;
//   2. reports "EXCEPTION code=<name>" through the log sink;
//   3. unwinds the stack, appends the frames to the dump and reports
//      "BACKTRACE: <n> stack frames:" and one " #<i> <frame>" line per frame,
//      symbolised with libdw (demangled, with source file and line where the
//      debug information is there; dladdr where libdw finds nothing);
// and ends the process with _exit(255) (exit code -1). A fault during steps 2
// and 3 re-enters the handler (SA_NODEFER), which ends the process at once:
// what step 1 wrote stays. When a debugger is attached at crash time the
// default action is restored instead and the signal is delivered again, so
// that the debugger sees the original fault.
//
// Step 1 uses async-signal-safe calls only (open, write, read, close,
// sigaltstack). The unwinder (backtrace(), primed at install so that it does
// not load libgcc_s inside the handler), libdw and the demangler allocate and
// take locks, and so may the log sink (the program log does): should any of
// them hang, a watchdog alarm ends the process with exit code 255 after
// kCrashReportTimeoutS seconds.
#pragma once

#include <cstddef>
#include <cstdint>

// Receives one finished report line (no trailing newline).
using CrashLogSink = void (*)(const char* text);

constexpr unsigned kCrashReportTimeoutS = 10;
constexpr int kCrashExitCode = 255;
constexpr size_t kCrashMaxFrames = 64;
constexpr size_t kCrashLineSize = 2048;
constexpr char kCrashDumpFileName[] = "Varnholt.dmp";

// Installs the handlers and the calling thread's alternate stack. dumpDir is
// copied; sink may be null (lines then go to standard error with write(2)).
// Call once, early, from the main thread. False when a handler could not be
// set (the reason is in errno).
bool InstallCrashHandler(const char* dumpDir, CrashLogSink sink);

// Gives the calling thread its own alternate signal stack and records its
// stack bounds (for the stack-overflow name and the dump's stack bytes). Call
// first thing in every thread; the stack is released when the thread ends.
// Idempotent.
void InstallCrashAltStack();

// Exception name for a signal and its si_code; faultInGuard tells a SIGSEGV
// in a thread stack's guard area (STACK_OVERFLOW) from any other.
const char* CrashExceptionName(int signal, int code, bool faultInGuard);

// True when a tracer (debugger) is attached: TracerPid in /proc/self/status
// is not 0. Async-signal-safe.
bool IsDebuggerAttached();
