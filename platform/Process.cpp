#include "platform/Process.h"

#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/Clock.h"
#include "platform/CrashHandler.h"
#include "platform/Files.h"

namespace {

void (*g_stopHandler)(int) = nullptr;

void* SignalThreadMain(void*) {
    InstallCrashAltStack();  // a stack overflow in the stop handler is still reported
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0 && g_stopHandler != nullptr) g_stopHandler(sig);
    }
    return nullptr;
}

struct DebugViewTarget {
    int fd = -1;
    sockaddr_un addr{};
    socklen_t addrLen = 0;
};

// Fills addr with the socket file path; false when it does not fit.
bool MakeAddress(const std::string& path, sockaddr_un* addr, socklen_t* len) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr->sun_path)) return false;
    std::memcpy(addr->sun_path, path.data(), path.size());
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

std::string ParentDir(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Opened once: the folder is checked (and created) before the first line;
// without a private folder the debug output stays off for the process.
DebugViewTarget* DebugView() {
    static DebugViewTarget* target = [] {
        auto* t = new DebugViewTarget();  // lives for the whole process
        const std::string path = DebugViewSocketPath(DebugViewSocketName());
        if (MakeAddress(path, &t->addr, &t->addrLen) && PrepareDebugViewDir(ParentDir(path))) {
            t->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        }
        return t;
    }();
    return target;
}

}  // namespace

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

std::string GetEnvString(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

void BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool StartStopSignalThread(void (*handler)(int signal)) {
    g_stopHandler = handler;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, SignalThreadMain, nullptr);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

int WSAStartup() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGPIPE, &sa, nullptr) == 0 ? 0 : static_cast<int>(MapErrno(errno));
}

void WSACleanup() {}

void ReportEventToSystemLog(const char* text) {
    static std::once_flag once;
    std::call_once(once, [] { openlog("Varnholt", LOG_PID, LOG_DAEMON); });
    syslog(LOG_INFO, "%s", text != nullptr ? text : "");
}

std::string CurrentUserName() {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    const uid_t uid = geteuid();
    if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr) return found->pw_name;
    return "uid " + std::to_string(uid);
}

std::string DebugViewSocketName() {
    std::string name = GetEnvString("VARNHOLT_DEBUGVIEW_NAME");
    return name.empty() ? std::string(kDebugViewSocketFile) : name;
}

std::string DebugViewRuntimeDir() {
    std::string dir = GetEnvString("RUNTIME_DIRECTORY");
    dir = dir.substr(0, dir.find(':'));  // several RuntimeDirectory= entries are joined by ':'
    if (dir.empty()) {
        dir = InstallDir() + "/Zelk/Run";
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string DebugViewSocketPath(const std::string& name) {
    return name.find('/') != std::string::npos ? name : DebugViewRuntimeDir() + "/" + name;
}

bool PrepareDebugViewDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno == ENOENT) {
        SHCreateDirectory(ParentDir(dir).c_str());
        mkdir(dir.c_str(), 0700);
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        SetLastError(MapErrno(errno));
        return false;
    }
    // Never widened or narrowed here: a folder others may enter is refused
    // rather than changed (it may be a shared one such as /tmp). Root may
    // use the folder of the service's own user (the viewer run as root).
    const bool owner = st.st_uid == geteuid() || st.st_uid == 0 || geteuid() == 0;
    if (!S_ISDIR(st.st_mode) || !owner || (st.st_mode & 0007) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

void SendToJournal(JournalPriority priority, const char* text, size_t length) {
    if (text == nullptr) return;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    const int shown = static_cast<int>(std::min<size_t>(length, INT_MAX));
    sd_journal_print(priority == JournalPriority::Error ? LOG_ERR : LOG_WARNING, "%.*s", shown, text);
}

namespace {

// Monotonic milliseconds of the last datagram that found no listener; 0 while
// one listens (or nobody has tried).
std::atomic<std::uint64_t> g_debugViewAbsentSince{0};

constexpr std::uint64_t kDebugViewProbeMs = 1000;

}  // namespace

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    DebugViewTarget* target = DebugView();
    if (target->fd < 0) return;
    if (sendto(target->fd, text, std::strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&target->addr), target->addrLen) >= 0) {
        g_debugViewAbsentSince.store(0, std::memory_order_relaxed);
    } else if (errno == ECONNREFUSED || errno == ENOENT) {
        g_debugViewAbsentSince.store(MonotonicCoarseMs(), std::memory_order_relaxed);
    }
}

bool DebugViewMayListen() {
    if (DebugView()->fd < 0) return false;
    const std::uint64_t since = g_debugViewAbsentSince.load(std::memory_order_relaxed);
    // A probe once a second: the coarse clock is enough, read on every line.
    return since == 0 || MonotonicCoarseMs() - since >= kDebugViewProbeMs;
}

void ReleaseFreeMemory() { malloc_trim(0); }

bool IsStartedByServiceManager() {
    return !GetEnvString("INVOCATION_ID").empty() || !GetEnvString("NOTIFY_SOCKET").empty();
}

void NotifyServiceManager(const char* state) {
    if (state != nullptr) sd_notify(0, state);
}

CDebugViewListener::~CDebugViewListener() { Close(); }

void CDebugViewListener::Close() {
    if (m_fd < 0) return;
    close(m_fd);
    m_fd = -1;
    if (IsStillBound()) unlink(m_path.c_str());  // never a newer listener's file
}

bool CDebugViewListener::IsStillBound() const {
    struct stat st {};
    return !m_path.empty() && stat(m_path.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino;
}

bool CDebugViewListener::Open(const std::string& name) {
    Close();
    m_path = DebugViewSocketPath(name);
    sockaddr_un addr{};
    socklen_t len = 0;
    if (!MakeAddress(m_path, &addr, &len)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (!PrepareDebugViewDir(ParentDir(m_path))) return false;
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // A file somebody still listens on belongs to another viewer; one that
    // refuses the connection is left from a viewer that ended.
    int error = m_fd < 0 ? errno : 0;
    if (error == 0 && connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) {
        error = EADDRINUSE;
    } else if (error == 0 && errno == ECONNREFUSED) {
        unlink(m_path.c_str());
    }
    struct stat st {};
    if (error == 0 && (bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
                       stat(m_path.c_str(), &st) != 0)) {
        error = errno;
    }
    if (error != 0) {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
        SetLastError(MapErrno(error));
        return false;
    }
    m_dev = static_cast<unsigned long>(st.st_dev);
    m_ino = static_cast<unsigned long>(st.st_ino);
    // The folder is the gate; the file itself lets a service of another
    // user than the viewer's (root) send.
    chmod(m_path.c_str(), 0666);
    g_debugViewAbsentSince.store(0, std::memory_order_relaxed);
    return true;
}

bool CDebugViewListener::Receive(std::string* text, DWORD timeoutMs) {
    if (m_fd < 0) return false;
    pollfd pfd{m_fd, POLLIN, 0};
    int rc = poll(&pfd, 1, timeoutMs == INFINITE ? -1 : static_cast<int>(timeoutMs));
    if (rc <= 0) return false;
    char buffer[65536];
    ssize_t n = recv(m_fd, buffer, sizeof(buffer), 0);
    if (n < 0) return false;
    text->assign(buffer, static_cast<size_t>(n));
    return true;
}
