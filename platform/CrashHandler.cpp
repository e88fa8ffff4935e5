#include "platform/CrashHandler.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT};
// Room for the symbolisation (libdw, the demangler) after the raw report.
constexpr size_t kAltStackSize = 256 * 1024;
// A fault this far below a thread's lowest stack address counts as an
// overflow into the guard area (large frames jump past the guard page).
constexpr uintptr_t kGuardWindow = 64 * 1024;
constexpr size_t kMaxStackDumpBytes = 64 * 1024;
// Extra frames captured for the handler's own frames, cut off afterwards.
constexpr size_t kHandlerFrames = 16;

char g_dumpPath[PATH_MAX];
CrashLogSink g_sink = nullptr;
// Thread id of the thread that owns the crash report, 0 while none does.
std::atomic<pid_t> g_crashOwner{0};

// Read by the signal handler: trivial so that touching it there never runs
// a TLS initialiser.
struct StackBounds {
    uintptr_t low;
    uintptr_t high;
};
thread_local constinit StackBounds t_bounds{0, 0};

// Owns the thread's alternate stack; released when the thread ends.
struct AltStack {
    void* memory = nullptr;
    ~AltStack() {
        if (memory == nullptr) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(memory, kAltStackSize + static_cast<size_t>(getpagesize()));
    }
};
thread_local AltStack t_altStack;

// Fixed-size text builder using no library call that might allocate.
class Text {
public:
    Text(char* buffer, size_t size) : m_buf(buffer), m_size(size) { m_buf[0] = '\0'; }
    Text& Add(const char* s) {
        while (s != nullptr && *s != '\0' && m_len + 1 < m_size) m_buf[m_len++] = *s++;
        m_buf[m_len] = '\0';
        return *this;
    }
    Text& Hex(uint64_t v, int minDigits = 1) {
        char digits[17];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v & 0xf];
            v >>= 4;
        } while (v != 0 || n < minDigits);
        char out[17];
        for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
        out[n] = '\0';
        return Add(out);
    }
    Text& Dec(int64_t v) {
        char digits[21];
        char out[22];
        int n = 0;
        uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        int k = 0;
        if (v < 0) out[k++] = '-';
        while (n > 0) out[k++] = digits[--n];
        out[k] = '\0';
        return Add(out);
    }
    const char* Str() const { return m_buf; }
    size_t Length() const { return m_len; }

private:
    char* m_buf;
    size_t m_size;
    size_t m_len = 0;
};

void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

void WriteText(int fd, const Text& text) { WriteAll(fd, text.Str(), text.Length()); }

void ReportLine(const char* text) {
    if (g_sink != nullptr) {
        g_sink(text);
        return;
    }
    WriteAll(STDERR_FILENO, text, std::strlen(text));
    WriteAll(STDERR_FILENO, "\n", 1);
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGTRAP: return "SIGTRAP";
        case SIGABRT: return "SIGABRT";
        default: return "SIG?";
    }
}

uintptr_t ContextPc(const ucontext_t* uc) {
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
    return 0;
#endif
}

uintptr_t ContextSp(const ucontext_t* uc) {
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.sp);
#else
    return 0;
#endif
}

void WriteRegisters(int fd, const ucontext_t* uc) {
    char buffer[128];
#if defined(__x86_64__)
    static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12", "r13",    "r14", "r15",
                                         "rdi", "rsi", "rbp", "rbx", "rdx", "rax",    "rcx", "rsp",
                                         "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
    for (size_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
        Text line(buffer, sizeof(buffer));
        line.Add("  ").Add(kNames[i]).Add(" 0x").Hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[i]), 16).Add("\n");
        WriteText(fd, line);
    }
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) {
        Text line(buffer, sizeof(buffer));
        line.Add("  x").Dec(i).Add(" 0x").Hex(uc->uc_mcontext.regs[i], 16).Add("\n");
        WriteText(fd, line);
    }
    Text line(buffer, sizeof(buffer));
    line.Add("  sp 0x").Hex(uc->uc_mcontext.sp, 16).Add("\n  pc 0x").Hex(uc->uc_mcontext.pc, 16);
    line.Add("\n  pstate 0x").Hex(uc->uc_mcontext.pstate, 16).Add("\n");
    WriteText(fd, line);
#else
    WriteAll(fd, "  unavailable\n", 14);
#endif
}

void CopyFile(int fd, const char* path) {
    int in = open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(in, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        WriteAll(fd, chunk, static_cast<size_t>(n));
    }
    close(in);
}

// The interrupted stack from the stack pointer up, as hex lines of 16 bytes;
// only when the stack pointer lies inside the thread's known stack. Raw
// bytes, the address sanitizer's red zones between frames among them.
__attribute__((no_sanitize("address"))) void WriteStackBytes(int fd, uintptr_t sp) {
    char buffer[128];
    const StackBounds bounds = t_bounds;
    Text head(buffer, sizeof(buffer));
    if (bounds.high == 0 || sp < bounds.low || sp >= bounds.high) {
        WriteAll(fd, "stack: unavailable\n", 19);
        return;
    }
    size_t length = bounds.high - sp;
    if (length > kMaxStackDumpBytes) length = kMaxStackDumpBytes;
    head.Add("stack: 0x").Hex(sp, 16).Add(" ").Dec(static_cast<int64_t>(length)).Add("\n");
    WriteText(fd, head);
    const auto* bytes = reinterpret_cast<const unsigned char*>(sp);
    for (size_t offset = 0; offset < length; offset += 16) {
        Text line(buffer, sizeof(buffer));
        line.Add("  0x").Hex(sp + offset, 16).Add(":");
        for (size_t i = offset; i < offset + 16 && i < length; ++i) line.Add(" ").Hex(bytes[i], 2);
        line.Add("\n");
        WriteText(fd, line);
    }
}

// Creates Varnholt.dmp; -1 when it cannot be created. The dump holds the
// process's registers and stack bytes (passwords among them, at times): it is
// the service's alone, and a link planted in its place is not followed.
int CreateDumpFile() {
    int fd = open(g_dumpPath, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
    if (fd >= 0) fchmod(fd, kPrivateFileMode);  // the dump of an older version may be wider
    return fd;
}

// Everything of the dump that needs no unwinding and no symbols: header,
// registers, /proc/self/maps and the stack bytes. Written with plain write(2)
// calls, so it is in the file whatever ends the process afterwards.
void WriteDumpRawPart(int fd, int signal, const siginfo_t* info, const ucontext_t* uc, const char* name) {
    char buffer[kCrashLineSize];
    Text head(buffer, sizeof(buffer));
    head.Add("Varnholt crash dump 2\npid: ").Dec(getpid()).Add("\ntid: ").Dec(gettid());
    head.Add("\nsignal: ").Dec(signal).Add(" ").Add(SignalName(signal)).Add("\ncode: ").Dec(info->si_code);
    head.Add("\naddress: 0x").Hex(reinterpret_cast<uintptr_t>(info->si_addr), 16).Add("\nexception: ").Add(name);
    head.Add("\nregisters:\n");
    WriteText(fd, head);
    WriteRegisters(fd, uc);
    WriteAll(fd, "maps:\n", 6);
    CopyFile(fd, "/proc/self/maps");
    WriteStackBytes(fd, ContextSp(uc));
}

// Frames of the interrupted code: the handler's own frames (and the signal
// trampoline) are skipped by starting at the frame whose address is the
// faulting instruction; when none matches, every frame is kept.
size_t CollectFrames(uintptr_t pc, void** out) {
    void* raw[kCrashMaxFrames + kHandlerFrames];
    int n = backtrace(raw, static_cast<int>(sizeof(raw) / sizeof(raw[0])));
    if (n <= 0) return 0;
    size_t start = 0;
    for (int i = 0; i < n; ++i) {
        if (reinterpret_cast<uintptr_t>(raw[i]) == pc) {
            start = static_cast<size_t>(i);
            break;
        }
    }
    size_t count = static_cast<size_t>(n) - start;
    if (count > kCrashMaxFrames) count = kCrashMaxFrames;
    for (size_t i = 0; i < count; ++i) out[i] = raw[start + i];
    return count;
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The last two components of a source path ("platform/Thread.cpp").
const char* ShortSourcePath(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return path;
    for (const char* p = slash - 1; p >= path; --p) {
        if (*p == '/') return p + 1;
    }
    return path;
}

// Symbol, module and source line of code addresses: libdw over the modules of
// /proc/self/maps (debug information and the full symbol table), dladdr (the
// dynamic symbol table) where libdw finds nothing. Allocates: used only once
// the dump's raw part is written.
class FrameSymbolizer {
public:
    FrameSymbolizer() {
        // Separate debug information only from the local build-id tree
        // (/usr/lib/debug/.build-id): the standard search would also ask a
        // debuginfod server over the network when DEBUGINFOD_URLS is set.
        static char* debuginfoPath = nullptr;
        static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_build_id_find_debuginfo, nullptr,
                                                 &debuginfoPath};
        m_dwfl = dwfl_begin(&callbacks);
        if (m_dwfl == nullptr) return;
        dwfl_report_begin(m_dwfl);
        const bool reported = dwfl_linux_proc_report(m_dwfl, getpid()) == 0;
        if (dwfl_report_end(m_dwfl, nullptr, nullptr) != 0 || !reported) {
            dwfl_end(m_dwfl);
            m_dwfl = nullptr;
        }
    }
    ~FrameSymbolizer() {
        if (m_dwfl != nullptr) dwfl_end(m_dwfl);
    }
    FrameSymbolizer(const FrameSymbolizer&) = delete;
    FrameSymbolizer& operator=(const FrameSymbolizer&) = delete;

    // "0x08<hex address> at <symbol> in <module> (<file>:<line>)", each part
    // only when known, cut to fit size. A return address is looked up one
    // byte back, inside the call instruction.
    void Format(uintptr_t address, bool returnAddress, char* out, size_t size) {
        Text text(out, size);
        text.Add("0x08").Hex(address).Add(" ");
        const uintptr_t lookup = returnAddress && address != 0 ? address - 1 : address;
        const char* symbol = nullptr;
        const char* module = nullptr;
        const char* file = nullptr;
        int line = 0;
        if (m_dwfl != nullptr) {
            if (Dwfl_Module* mod = dwfl_addrmodule(m_dwfl, lookup); mod != nullptr) {
                symbol = dwfl_module_addrname(mod, lookup);
                module = dwfl_module_info(mod, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
                if (Dwfl_Line* source = dwfl_module_getsrc(mod, lookup); source != nullptr) {
                    file = dwfl_lineinfo(source, nullptr, &line, nullptr, nullptr, nullptr);
                }
            }
        }
        Dl_info info{};
        if ((symbol == nullptr || module == nullptr) && dladdr(reinterpret_cast<void*>(lookup), &info) != 0) {
            if (symbol == nullptr) symbol = info.dli_sname;
            if (module == nullptr) module = info.dli_fname;
        }
        int status = -1;
        char* plain = symbol != nullptr ? abi::__cxa_demangle(symbol, nullptr, nullptr, &status) : nullptr;
        if (symbol != nullptr && symbol[0] != '\0') text.Add("at ").Add(status == 0 ? plain : symbol);
        std::free(plain);
        if (module != nullptr && module[0] != '\0') text.Add(" in ").Add(BaseName(module));
        if (file != nullptr && file[0] != '\0' && line > 0) {
            text.Add(" (").Add(ShortSourcePath(file)).Add(":").Dec(line).Add(")");
        }
    }

private:
    Dwfl* m_dwfl = nullptr;
};

void WatchdogHandler(int) { _exit(kCrashExitCode); }

// Ends the process even when the log sink or the symbolisation blocks on a
// lock the crashed thread held.
void ArmWatchdog() {
    struct sigaction action {};
    action.sa_handler = WatchdogHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    sigaction(SIGALRM, &action, nullptr);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarmOnly, nullptr);
    alarm(kCrashReportTimeoutS);
}

// Most vital first: the dump's raw part and the exception line need neither
// the unwinder nor the heap. The unwind and the symbolisation come after, so
// that a fault in them (it re-enters the handler, which ends the process)
// still leaves both; each frame goes to the dump and the log as soon as its
// text is made.
void ReportCrash(int signal, const siginfo_t* info, const ucontext_t* uc) {
    const uintptr_t fault = reinterpret_cast<uintptr_t>(info->si_addr);
    const StackBounds bounds = t_bounds;
    const bool inGuard = bounds.low != 0 && fault < bounds.low + static_cast<uintptr_t>(getpagesize()) &&
                         fault + kGuardWindow >= bounds.low;
    const char* name = CrashExceptionName(signal, info->si_code, inGuard);

    const int fd = CreateDumpFile();
    if (fd >= 0) WriteDumpRawPart(fd, signal, info, uc, name);

    char buffer[kCrashLineSize];
    Text exception(buffer, sizeof(buffer));
    exception.Add("EXCEPTION code=").Add(name);
    ReportLine(exception.Str());

    const uintptr_t pc = ContextPc(uc);
    void* frames[kCrashMaxFrames];
    const size_t count = CollectFrames(pc, frames);
    Text dumpHeader(buffer, sizeof(buffer));
    dumpHeader.Add("backtrace: ").Dec(static_cast<int64_t>(count)).Add("\n");
    if (fd >= 0) WriteText(fd, dumpHeader);
    Text header(buffer, sizeof(buffer));
    header.Add("BACKTRACE: ").Dec(static_cast<int64_t>(count)).Add(" stack frames:");
    ReportLine(header.Str());

    FrameSymbolizer symbols;
    for (size_t i = 0; i < count; ++i) {
        const auto address = reinterpret_cast<uintptr_t>(frames[i]);
        char frame[kCrashLineSize - 32];
        symbols.Format(address, i > 0 || address != pc, frame, sizeof(frame));
        Text line(buffer, sizeof(buffer));
        line.Add("  #").Dec(static_cast<int64_t>(i)).Add(" ").Add(frame).Add("\n");
        if (fd >= 0) WriteText(fd, line);
        Text logLine(buffer, sizeof(buffer));
        logLine.Add(" #").Dec(static_cast<int64_t>(i)).Add(" ").Add(frame);
        ReportLine(logLine.Str());
    }
    if (fd >= 0) {
        WriteAll(fd, "end\n", 4);
        close(fd);
    }
}

void CrashSignalHandler(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const pid_t self = gettid();
    pid_t expected = 0;
    if (!g_crashOwner.compare_exchange_strong(expected, self)) {
        // A crash inside the report ends the process at once; any other
        // thread waits for the owner to end it.
        if (expected == self) _exit(kCrashExitCode);
        for (;;) pause();
    }
    if (IsDebuggerAttached()) {
        // Let the debugger see the original fault: default action, and the
        // signal again (a fault re-executes; a sent signal is raised).
        g_crashOwner.store(0);
        ::signal(signal, SIG_DFL);
        if (info->si_code <= 0) raise(signal);
        errno = savedErrno;
        return;
    }
    ArmWatchdog();
    ReportCrash(signal, info, static_cast<const ucontext_t*>(context));
    _exit(kCrashExitCode);
}

void RecordStackBounds() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* address = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &address, &size) == 0) {
        t_bounds.low = reinterpret_cast<uintptr_t>(address);
        t_bounds.high = t_bounds.low + size;
    }
    pthread_attr_destroy(&attr);
}

}  // namespace

const char* CrashExceptionName(int signal, int code, bool faultInGuard) {
    switch (signal) {
        case SIGSEGV: return faultInGuard ? "STACK_OVERFLOW" : "ACCESS_VIOLATION";
        case SIGFPE:
            switch (code) {
                case FPE_INTDIV: return "INT_DIVIDE_BY_ZERO";
                case FPE_INTOVF: return "INT_OVERFLOW";
                case FPE_FLTDIV: return "FLT_DIVIDE_BY_ZERO";
                case FPE_FLTOVF: return "FLT_OVERFLOW";
                case FPE_FLTUND: return "FLT_UNDERFLOW";
                case FPE_FLTRES: return "FLT_INEXACT_RESULT";
                case FPE_FLTINV: return "FLT_INVALID_OPERATION";
                case FPE_FLTSUB: return "ARRAY_BOUNDS_EXCEEDED";
                default: return "UNKNOWN_ERROR";
            }
        case SIGILL: return code == ILL_PRVOPC || code == ILL_PRVREG ? "PRIV_INSTRUCTION" : "ILLEGAL_INSTRUCTION";
        case SIGBUS: return code == BUS_ADRALN ? "DATATYPE_MISALIGNMENT" : "IN_PAGE_ERROR";
        case SIGTRAP: return code == TRAP_TRACE ? "SINGLE_STEP" : "BREAKPOINT";
        default: return "UNKNOWN_ERROR";
    }
}

bool IsDebuggerAttached() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[4096];
    size_t length = 0;
    for (;;) {
        ssize_t n = read(fd, text + length, sizeof(text) - 1 - length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        length += static_cast<size_t>(n);
        if (length == sizeof(text) - 1) break;
    }
    close(fd);
    text[length] = '\0';
    const char* field = std::strstr(text, "TracerPid:");
    if (field == nullptr) return false;
    field += sizeof("TracerPid:") - 1;
    while (*field == ' ' || *field == '\t') ++field;
    return *field != '\0' && *field != '0';
}

void InstallCrashAltStack() {
    if (t_altStack.memory != nullptr) return;
    RecordStackBounds();
    const size_t page = static_cast<size_t>(getpagesize());
    void* memory = mmap(nullptr, kAltStackSize + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    mprotect(memory, page, PROT_NONE);  // guard below the alternate stack
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(memory) + page;
    stack.ss_size = kAltStackSize;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, kAltStackSize + page);
        return;
    }
    t_altStack.memory = memory;
}

bool InstallCrashHandler(const char* dumpDir, CrashLogSink sink) {
    Text path(g_dumpPath, sizeof(g_dumpPath));
    path.Add(dumpDir).Add("/").Add(kCrashDumpFileName);
    g_sink = sink;
    // backtrace() loads the unwinder on first use, which allocates; do that
    // now rather than in the handler.
    void* warm[4];
    backtrace(warm, 4);
    InstallCrashAltStack();

    struct sigaction action {};
    action.sa_sigaction = CrashSignalHandler;
    sigemptyset(&action.sa_mask);
    // SA_NODEFER: a fault inside the report re-enters the handler, which then
    // ends the process with the crash exit code instead of a signal death.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    for (int signal : kCrashSignals) {
        if (sigaction(signal, &action, nullptr) != 0) return false;
    }
    return true;
}
