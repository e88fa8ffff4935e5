// Process-wide crash handler: the Linux form of the unhandled-exception filter.
//
// InstallCrashHandler sets handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP and SIGABRT that run on a per-thread alternate signal stack (so that
// a stack overflow can still be reported). The first thread that crashes takes
// the crash lock; any other crashing thread waits until the process ends. The
// owner writes "Varnholt.dmp" into the dump directory (format in
// docs/crash.md), reports "EXCEPTION code=<name>", "BACKTRACE: <n> stack
// frames:" and one " #<i> <frame>" line per frame through the log sink, and
// ends the process with _exit(255) (exit code -1). When a debugger is attached
// at crash time the default action is restored instead and the signal is
// delivered again, so that the debugger sees the original fault.
//
// Dump and frame texts are built with async-signal-safe calls only (open,
// write, read, _exit, sigaltstack), except backtrace() (primed at install so
// that it does not load libgcc_s inside the handler) and dladdr() (takes the
// loader lock). The log sink is the caller's: if it is not async-signal-safe
// (the program log takes locks), a watchdog alarm still ends the process with
// exit code 255 after kCrashReportTimeoutS seconds should the report hang.
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

// Formats one frame: "0x08<hex address> at <symbol> in <module>", the symbol
// and module parts only when known; cut to fit size. Returns the length.
size_t FormatStackFrame(const void* address, char* out, size_t size);
