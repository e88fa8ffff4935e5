// The local info query server: a task that listens on 127.0.0.1:ListenPort
// (section InfoRetrieve of ZelkAdv.conf) and answers INFOQRY requests with
// the state of log merging and the loss accounting counters (byte layouts in
// info/InfoQuery.h).
//
// What callers may rely on:
// - Threads. Everything runs on the task's own thread; one client is served
//   at a time, others wait in the listen backlog. Replies read the
//   configuration and the info manager's counters without locks and the
//   merge statistics under the log merge manager's locks.
// - Requests. Every receive is one whole request: a request must arrive in
//   one piece, and bytes after its first 24 are ignored. A malformed request
//   is logged and not answered; the connection stays open.
// - Ending. Run ends within kStopCheckMs of a stop request, at once when the
//   global exit event is set, and when an accept fails. The listening socket
//   is given back to the socket registry (closed) when Run ends, or by the
//   destructor if Run could not.
#pragma once

#include <string>
#include <vector>

#include "core/Task.h"
#include "info/InfoQuery.h"
#include "info/MetricsText.h"
#include "platform/Socket.h"

// The service's figures as the info queries report them, for the scrape
// endpoint: merge figures (query 1), every registered node's (query 3), and
// with the loss accounting all of what /metrics shows.
InfoLogMergeReplyData MergeFigures();
void NodeFigures(InfoNodesReplyHead* head, std::vector<InfoNodeRecord>* nodes);
MetricsSnapshot CollectMetrics();
// The text of GET /metrics.
std::string RenderMetrics();
class CMetricsServer;
// Starts server on [Metrics] Address and Port of ZelkAdv.conf (Port 0: off,
// true); false, with its ERROR line, when it cannot listen.
bool StartMetricsEndpoint(CMetricsServer* server);

class CInfoRetrieveTask : public CTask {
public:
    // Readability waits (for a connection, then for a request) last this
    // long, as select() time-outs; they look at the running flag every
    // kStopCheckMs meanwhile.
    static constexpr long kWaitSeconds = 5;
    static constexpr DWORD kStopCheckMs = 200;
    static constexpr int kRecvBufferBytes = 1024;

    CInfoRetrieveTask() = default;
    ~CInfoRetrieveTask() override;

    // Listens and serves until the service exits; -1 when the port is not
    // configured or no socket can be had, else 0.
    DWORD Run() override;

    // True (with a log line) when the global exit event is set within the
    // time-out.
    bool WaitExit(DWORD timeoutMs);
    // Accepts one connection and serves it until the peer closes; 0 when the
    // accept failed, which ends Run.
    int DoAcceptService(SOCKET listenSocket);
    // Receives and answers requests until the peer closes, the task stops or
    // the service exits; always 1.
    int ServeConnection(SOCKET s);
    // One receive, after waiting up to the time-out for data: the byte count,
    // 0 on time-out, wait failure or orderly close, -1 on a receive error.
    // closed is set when the peer closed or the receive failed.
    int RecvData(SOCKET s, char* buffer, int length, long seconds, long microseconds, bool* closed);
    // Checks one request and answers a valid one; always 1.
    int DispatchRequest(SOCKET s, const char* data, int length);
    // Sends the reply to a log merge query (type 1); always 1.
    int DoLogMergeInfoRequest(SOCKET s, const char* request, int length);
    // Sends the loss accounting counters (query type 2) in one send; always 1.
    int DoAccountingRequest(SOCKET s);
    // Query type 3: every registered node's figures.
    int DoNodesRequest(SOCKET s);

private:
    enum class WaitResult { Readable, TimedOut, Interrupted, Failed };

    // Waits for the network event, the exit event or a stop request.
    WaitResult WaitReadable(HANDLE netEvent, DWORD timeoutMs);
    // Socket, bind and listen (steps 2 to 5 of Run); false when no socket.
    bool OpenListener(std::uint16_t port);
    void CloseListener();

    SOCKET m_ListenSocket = INVALID_SOCKET;
    HANDLE m_hListenEvent = nullptr;  // FD_ACCEPT of the listening socket, once it listens
    HANDLE m_hClientEvent = nullptr;  // FD_READ | FD_CLOSE of the connection being served
};
