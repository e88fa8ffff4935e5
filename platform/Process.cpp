#include "platform/Process.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/Clock.h"

namespace {

void (*g_stopHandler)(int) = nullptr;

void* SignalThreadMain(void*) {
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

DebugViewTarget* DebugView() {
    static DebugViewTarget* target = [] {
        auto* t = new DebugViewTarget();  // lives for the whole process
        t->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        std::string name = DebugViewSocketName();
        t->addr.sun_family = AF_UNIX;
        size_t n = std::min(name.size(), sizeof(t->addr.sun_path) - 1);
        std::memcpy(t->addr.sun_path + 1, name.data(), n);  // abstract name: leading zero byte
        t->addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
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

std::string DebugViewSocketName() {
    std::string name = GetEnvString("VARNHOLT_DEBUGVIEW_NAME");
    return name.empty() ? std::string("varnholt-debugview") : name;
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
        g_debugViewAbsentSince.store(MonotonicMs(), std::memory_order_relaxed);
    }
}

bool DebugViewMayListen() {
    const std::uint64_t since = g_debugViewAbsentSince.load(std::memory_order_relaxed);
    return since == 0 || MonotonicMs() - since >= kDebugViewProbeMs;
}

bool IsStartedByServiceManager() {
    return !GetEnvString("INVOCATION_ID").empty() || !GetEnvString("NOTIFY_SOCKET").empty();
}

void NotifyServiceManager(const char* state) {
    if (state != nullptr) sd_notify(0, state);
}

CDebugViewListener::~CDebugViewListener() {
    if (m_fd >= 0) close(m_fd);
}

bool CDebugViewListener::Open(const std::string& name) {
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t n = std::min(name.size(), sizeof(addr.sun_path) - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        SetLastError(MapErrno(errno));
        close(m_fd);
        m_fd = -1;
        return false;
    }
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
