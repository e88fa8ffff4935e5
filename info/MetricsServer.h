// The scrape endpoint: a small HTTP/1.1 server for exactly one resource,
// GET /metrics, whose text comes from a render callback (the Prometheus text
// exposition format).
//
// What the owner may rely on:
// - Threads. Start and Stop are called by the owner (not concurrently). The
//   server runs on one thread of its own, which calls render for every GET or
//   HEAD of /metrics; render must be safe to call from that thread.
// - Connections. At most kMaxConnections at once; a connection beyond them is
//   accepted and closed at once, unanswered. Each connection carries one
//   request and is closed after the response ("Connection: close").
// - Limits. A request is read up to the end of its header block; more than
//   kMaxRequestBytes without it is answered 431. The whole request must come
//   within kRequestTimeoutMs of the connection's accept, else the connection
//   is closed without an answer; the whole response must be taken within
//   kResponseTimeoutMs, else it is cut off. Time-outs run on GetTickCount
//   (the test clock shifts them). Memory per connection is its fixed request
//   buffer and the response; nothing a peer sends makes either larger.
// - Answers. GET and HEAD of "/metrics" (a query string is ignored): 200 with
//   the render text; another path: 404; another method: 405 with
//   "Allow: GET, HEAD"; a request line that is not "METHOD TARGET HTTP/1.x":
//   400. Each request is logged at DEBUG.
// - Ending. Stop (or the destructor) ends the thread and closes every socket
//   before it returns; it never waits for a client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Socket.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CMetricsServer {
public:
    static constexpr int kMaxConnections = 8;
    static constexpr std::size_t kMaxRequestBytes = 8192;
    static constexpr DWORD kRequestTimeoutMs = 5000;
    static constexpr DWORD kResponseTimeoutMs = 5000;
    // After its response, a connection whose peer is still sending is read
    // and discarded this long before it is closed: closing with unread bytes
    // would reset the connection and could destroy the response in flight.
    static constexpr DWORD kLingerMs = 1000;
    // While connections are open, time-outs are checked at least this often.
    static constexpr DWORD kTimeoutCheckMs = 100;

    CMetricsServer();
    ~CMetricsServer();
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;

    // Listens on address (dotted IPv4) and port and starts serving. Port 0
    // means the endpoint is off: true, nothing listens, Port() stays 0. False,
    // with a line at ERROR, when the address is not an IPv4 address, the
    // socket cannot listen or no thread can be started, and when the server
    // is already running.
    bool Start(const std::string& address, std::uint16_t port, std::function<std::string()> render);
    // The same on a port the system picks (read it with Port()).
    bool StartOnAnyPort(const std::string& address, std::function<std::string()> render);
    // Ends the thread and closes the listener and every connection.
    void Stop();
    // The bound port; 0 when not listening.
    std::uint16_t Port() const { return m_Port; }

private:
    struct Connection;

    bool Listen(const std::string& address, std::uint16_t port, std::function<std::string()> render);
    static DWORD ThreadProc(void* arg);
    void Run();
    // Accepts every waiting connection: into a free slot, or closed at once.
    void AcceptWaiting();
    // Reads, writes or drains one connection as far as it goes without
    // blocking, and closes it once it is done or its time is up.
    void Advance(Connection& c, DWORD now);
    void ReadRequest(Connection& c, DWORD now);
    void StartResponse(Connection& c, DWORD now);
    void WriteResponse(Connection& c, DWORD now);
    void Drain(Connection& c);
    void CloseConnection(Connection& c);
    int OpenCount() const;

    SOCKET m_ListenSocket = INVALID_SOCKET;
    HANDLE m_hListenEvent = nullptr;
    HANDLE m_hStop = nullptr;
    HANDLE m_hThread = nullptr;
    std::uint16_t m_Port = 0;
    bool m_bListening = false;  // false once accepting failed for good
    CSpareDescriptor m_Spare;
    std::function<std::string()> m_Render;
    std::unique_ptr<Connection[]> m_Connections;
};
