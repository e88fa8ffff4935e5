#include "info/MetricsServer.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string_view>

#include "core/ProgramLog.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

// One connection slot. The request buffer is fixed, so a peer can make the
// server hold no more than kMaxRequestBytes of what it sends.
struct CMetricsServer::Connection {
    enum class Phase { Free, Reading, Writing, Draining };

    Phase phase = Phase::Free;
    SOCKET s = INVALID_SOCKET;
    HANDLE event = nullptr;  // FD_READ | FD_CLOSE while reading or draining, FD_WRITE while writing
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    DWORD phaseStart = 0;  // GetTickCount when the current phase began
    std::size_t received = 0;
    std::string response;
    std::size_t sent = 0;
    char request[kMaxRequestBytes];
};

namespace {

constexpr char kClassTag[] = "[CMetricsServer]";
constexpr int kListenBacklog = 16;
// Bounds one wake's work on the listener and on a draining peer, so that a
// flood on one socket cannot hold up the others.
constexpr int kMaxAcceptsPerWake = 64;
constexpr int kMaxDrainReadsPerWake = 16;
constexpr int kMaxSendBytes = 1 << 20;
constexpr std::size_t kLoggedLineChars = 200;
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kPath = "/metrics";
constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// Dotted-quad IPv4 text to a host-order address; false for anything else.
bool ParseIpv4(const std::string& text, std::uint32_t* address) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i >= text.size() || text[i++] != '.')) return false;
        unsigned octet = 0;
        std::size_t digits = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3; ++i, ++digits) {
            octet = octet * 10 + static_cast<unsigned>(text[i] - '0');
        }
        if (digits == 0 || octet > 255) return false;
        value = (value << 8) | octet;
    }
    if (i != text.size()) return false;
    *address = value;
    return true;
}

bool IsTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos);
}

// Visible ASCII: no blank, control or 8-bit byte may stand in a target.
bool IsTargetChar(char c) { return c > 0x20 && c < 0x7F; }

struct Verdict {
    int status;
    bool head;  // headers only
};

// Judges the request line "METHOD SP TARGET SP HTTP/1.x" (its CRLF cut off).
Verdict Judge(std::string_view line) {
    constexpr Verdict kBad{400, false};
    const std::size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || sp1 == 0) return kBad;
    const std::string_view method = line.substr(0, sp1);
    const std::size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return kBad;
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!std::all_of(method.begin(), method.end(), IsTokenChar) ||
        !std::all_of(target.begin(), target.end(), IsTargetChar) || version.size() != 8 ||
        version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9') {
        return kBad;
    }
    if (target.substr(0, target.find('?')) != kPath) return {404, false};
    if (method == "GET") return {200, false};
    if (method == "HEAD") return {200, true};
    return {405, false};
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        default: return "Error";
    }
}

std::string BuildResponse(int status, bool head, const std::string& body, const char* contentType) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    out += std::string("Content-Type: ") + contentType + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (status == 405) out += "Allow: GET, HEAD\r\n";
    out += "Connection: close\r\n\r\n";
    if (!head) out += body;
    return out;
}

std::string ErrorResponse(int status) {
    return BuildResponse(status, false, std::string(Reason(status)) + "\n", "text/plain; charset=utf-8");
}

bool WouldBlock() { return WSAGetLastError() == EWOULDBLOCK || WSAGetLastError() == EAGAIN; }

}  // namespace

CMetricsServer::CMetricsServer() : m_Connections(new Connection[kMaxConnections]) {}

CMetricsServer::~CMetricsServer() {
    Stop();
    for (int i = 0; i < kMaxConnections; ++i) {
        if (m_Connections[i].event != nullptr) CloseHandle(m_Connections[i].event);
    }
    if (m_hListenEvent != nullptr) CloseHandle(m_hListenEvent);
    if (m_hStop != nullptr) CloseHandle(m_hStop);
}

bool CMetricsServer::Start(const std::string& address, std::uint16_t port, std::function<std::string()> render) {
    if (port == 0) return true;  // the endpoint is off
    return Listen(address, port, std::move(render));
}

bool CMetricsServer::StartOnAnyPort(const std::string& address, std::function<std::string()> render) {
    return Listen(address, 0, std::move(render));
}

bool CMetricsServer::Listen(const std::string& address, std::uint16_t port, std::function<std::string()> render) {
    if (m_hThread != nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Start] Already Started On Port %u\n", unsigned{m_Port});
        return false;
    }
    std::uint32_t ip = 0;
    if (!ParseIpv4(address, &ip)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Start] Invalid Address = %s\n", address.c_str());
        return false;
    }
    if (m_hStop == nullptr) m_hStop = CreateEvent(true, false);
    if (m_hListenEvent == nullptr) m_hListenEvent = WSACreateEvent();
    bool eventsOk = m_hStop != nullptr && m_hListenEvent != nullptr && ResetEvent(m_hStop);
    for (int i = 0; i < kMaxConnections; ++i) {
        Connection& c = m_Connections[i];
        if (c.event == nullptr) c.event = WSACreateEvent();
        eventsOk = eventsOk && c.event != nullptr;
    }
    if (!eventsOk) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Start] Cannot Create Event , Err = %u\n", GetLastError());
        return false;
    }

    SOCKET s = CreateSocket(kSocketTypeStream);
    // A restarted service binds its port while old connections linger in
    // TIME_WAIT; a second listener on the port is still refused.
    if (s == INVALID_SOCKET || !SetSocketReuseAddress(s) || SocketBind(s, ip, port) != 0 ||
        SocketListen(s, kListenBacklog) != 0 || SocketLocalName(s, nullptr, &m_Port) != 0 ||
        WSAEventSelect(s, m_hListenEvent, FD_ACCEPT) != 0) {
        const int error = WSAGetLastError();
        if (s != INVALID_SOCKET) closesocket(s);
        m_Port = 0;
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Start] Cannot Listen On %s:%u , Err = %d\n", address.c_str(),
            unsigned{port}, error);
        return false;
    }
    m_ListenSocket = s;
    m_bListening = true;
    m_Spare.Reserve();
    m_Render = std::move(render);
    m_hThread = CreateThread(ThreadProc, this, nullptr);
    if (m_hThread == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Start] Cannot Create Thread , Err = %u\n", GetLastError());
        closesocket(m_ListenSocket);
        m_ListenSocket = INVALID_SOCKET;
        m_Port = 0;
        return false;
    }
    return true;
}

void CMetricsServer::Stop() {
    if (m_hThread == nullptr) return;
    // The thread never blocks but in its wait, which the stop event ends.
    SetEvent(m_hStop);
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    m_Port = 0;
}

DWORD CMetricsServer::ThreadProc(void* arg) {
    static_cast<CMetricsServer*>(arg)->Run();
    return 0;
}

int CMetricsServer::OpenCount() const {
    int open = 0;
    for (int i = 0; i < kMaxConnections; ++i) open += m_Connections[i].phase != Connection::Phase::Free ? 1 : 0;
    return open;
}

void CMetricsServer::Run() {
    for (;;) {
        // The stop event first: a wait-any reports the lowest index.
        HANDLE waits[2 + kMaxConnections];
        DWORD count = 0;
        waits[count++] = m_hStop;
        if (m_bListening) waits[count++] = m_hListenEvent;
        for (int i = 0; i < kMaxConnections; ++i) {
            if (m_Connections[i].phase != Connection::Phase::Free) waits[count++] = m_Connections[i].event;
        }
        // Open connections have time-outs to watch; an idle server sleeps.
        const DWORD rc = WaitForMultipleObjects(count, waits, false, OpenCount() > 0 ? kTimeoutCheckMs : INFINITE);
        if (rc == WAIT_OBJECT_0) break;
        if (rc == WAIT_FAILED) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Cannot Wait , Err = %u\n", GetLastError());
            break;
        }
        // Every socket is tried whichever woke the wait: the calls do not
        // block, and no busy socket can starve one of a higher index.
        if (m_bListening) AcceptWaiting();
        const DWORD now = GetTickCount();
        for (int i = 0; i < kMaxConnections; ++i) {
            if (m_Connections[i].phase != Connection::Phase::Free) Advance(m_Connections[i], now);
        }
    }
    for (int i = 0; i < kMaxConnections; ++i) {
        if (m_Connections[i].phase != Connection::Phase::Free) CloseConnection(m_Connections[i]);
    }
    WSAEventSelect(m_ListenSocket, m_hListenEvent, 0);
    closesocket(m_ListenSocket);
    m_ListenSocket = INVALID_SOCKET;
    m_Spare.Release();
}

void CMetricsServer::AcceptWaiting() {
    for (int n = 0; n < kMaxAcceptsPerWake; ++n) {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        const SOCKET s = SocketAccept(m_ListenSocket, &address, &port);
        if (s == INVALID_SOCKET) {
            const int error = WSAGetLastError();
            if (IsOutOfDescriptors(error) && m_Spare.IsHeld()) {
                // Out of descriptors, the waiting connection would wake the
                // listener for ever: the spare one lets it be taken and closed.
                m_Spare.Release();
                const SOCKET waiting = SocketAccept(m_ListenSocket, nullptr, nullptr);
                if (waiting != INVALID_SOCKET) closesocket(waiting);
                m_Spare.Reserve();
                LogLimited(Recorder(), "accept", LOG_LEVEL_WARN, kClassTag,
                           "[AcceptWaiting] Out Of Descriptors , Connection Closed , Err = %d\n", error);
                continue;
            }
            if (IsTransientAcceptError(error)) return;  // EAGAIN: none waits any more
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[AcceptWaiting] Cannot Accept , Err = %d\n", error);
            m_bListening = false;
            return;
        }
        Connection* slot = nullptr;
        for (int i = 0; i < kMaxConnections && slot == nullptr; ++i) {
            if (m_Connections[i].phase == Connection::Phase::Free) slot = &m_Connections[i];
        }
        if (slot == nullptr || WSAEventSelect(s, slot->event, FD_READ | FD_CLOSE) != 0) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[AcceptWaiting] %s:%u Closed , %d Connections Open\n",
                IpToText(address).c_str(), unsigned{port}, OpenCount());
            closesocket(s);
            continue;
        }
        slot->s = s;
        slot->peerAddress = address;
        slot->peerPort = port;
        slot->phase = Connection::Phase::Reading;
        slot->phaseStart = GetTickCount();
        slot->received = 0;
    }
}

void CMetricsServer::Advance(Connection& c, DWORD now) {
    switch (c.phase) {
        case Connection::Phase::Reading: ReadRequest(c, now); break;
        case Connection::Phase::Writing: WriteResponse(c, now); break;
        case Connection::Phase::Draining: Drain(c); break;
        case Connection::Phase::Free: return;
    }
    if (c.phase == Connection::Phase::Free) return;
    const DWORD limit = c.phase == Connection::Phase::Reading   ? kRequestTimeoutMs
                        : c.phase == Connection::Phase::Writing ? kResponseTimeoutMs
                                                                : kLingerMs;
    // Unsigned ticks: the difference stays right across the counter's wrap.
    if (now - c.phaseStart >= limit) {
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[Advance] %s:%u Timed Out After %u ms\n",
            IpToText(c.peerAddress).c_str(), unsigned{c.peerPort}, static_cast<unsigned>(limit));
        CloseConnection(c);
    }
}

void CMetricsServer::ReadRequest(Connection& c, DWORD now) {
    for (;;) {
        if (c.received == kMaxRequestBytes) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[ReadRequest] %s:%u Request Over %zu Bytes -> 431\n",
                IpToText(c.peerAddress).c_str(), unsigned{c.peerPort}, kMaxRequestBytes);
            c.response = ErrorResponse(431);
            StartResponse(c, now);
            return;
        }
        const int n = SocketRecv(c.s, c.request + c.received, static_cast<int>(kMaxRequestBytes - c.received), 0);
        if (n <= 0) {
            // Closed, reset, or no more for now.
            if (n < 0 && WouldBlock()) return;
            CloseConnection(c);
            return;
        }
        // The end may straddle the previous read.
        const std::size_t from = c.received >= kHeaderEnd.size() ? c.received - (kHeaderEnd.size() - 1) : 0;
        c.received += static_cast<std::size_t>(n);
        const std::string_view seen(c.request, c.received);
        if (seen.find(kHeaderEnd, from) == std::string_view::npos) continue;

        const std::string_view line = seen.substr(0, seen.find("\r\n"));
        const Verdict verdict = Judge(line);
        if (verdict.status == 200) {
            // A render that fails (out of memory) answers 500 instead of
            // ending the server's thread.
            try {
                c.response = BuildResponse(200, verdict.head, m_Render ? m_Render() : std::string(), kMetricsContentType);
            } catch (const std::exception& error) {
                Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ReadRequest] Cannot Render The Metrics: %s\n", error.what());
                c.response = ErrorResponse(500);
            }
        } else {
            c.response = ErrorResponse(verdict.status);
        }
        if (LogWanted(Recorder(), LOG_LEVEL_DEBUG)) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[ReadRequest] %s:%u \"%.*s\" -> %d\n",
                IpToText(c.peerAddress).c_str(), unsigned{c.peerPort},
                static_cast<int>(std::min(line.size(), kLoggedLineChars)), line.data(), verdict.status);
        }
        StartResponse(c, now);
        return;
    }
}

void CMetricsServer::StartResponse(Connection& c, DWORD now) {
    c.phase = Connection::Phase::Writing;
    c.phaseStart = now;
    c.sent = 0;
    if (WSAEventSelect(c.s, c.event, FD_WRITE) != 0) CloseConnection(c);
    // The first bytes go when the loop comes to the connection next.
}

void CMetricsServer::WriteResponse(Connection& c, DWORD now) {
    while (c.sent < c.response.size()) {
        const int chunk = static_cast<int>(std::min(c.response.size() - c.sent, std::size_t{kMaxSendBytes}));
        const int n = SocketSend(c.s, c.response.data() + c.sent, chunk, 0);
        if (n > 0) {
            c.sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && WouldBlock()) return;
        CloseConnection(c);  // the peer has gone
        return;
    }
    std::string().swap(c.response);
    // Bytes the peer sent beyond its request are still unread: a close now
    // would answer them with a reset, which can destroy the response before
    // the peer has read it. They are read away first.
    c.phase = Connection::Phase::Draining;
    c.phaseStart = now;
    if (WSAEventSelect(c.s, c.event, FD_READ | FD_CLOSE) != 0) {
        CloseConnection(c);
        return;
    }
    char scratch[4096];
    const int n = SocketRecv(c.s, scratch, sizeof(scratch), 0);
    // Nothing unread (or the peer closed): done. Otherwise Drain reads on
    // until the peer closes or kLingerMs ends.
    if (n <= 0) CloseConnection(c);
}

void CMetricsServer::Drain(Connection& c) {
    char scratch[4096];
    for (int reads = 0; reads < kMaxDrainReadsPerWake; ++reads) {
        const int n = SocketRecv(c.s, scratch, sizeof(scratch), 0);
        if (n > 0) continue;
        if (n < 0 && WouldBlock()) return;
        CloseConnection(c);  // the peer closed: the response is through
        return;
    }
}

void CMetricsServer::CloseConnection(Connection& c) {
    WSAEventSelect(c.s, c.event, 0);
    closesocket(c.s);
    c.s = INVALID_SOCKET;
    c.phase = Connection::Phase::Free;
    c.received = 0;
    c.sent = 0;
    std::string().swap(c.response);
}
