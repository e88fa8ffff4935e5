// The scrape endpoint over loopback sockets: what each kind of request gets,
// and that no peer (silent, trickling, not reading, one too many) holds the
// server or a slot past its time-outs, which the test clock runs out.
#include "info/MetricsServer.h"

#include <netinet/tcp.h>

#include <future>
#include <new>

#include "support/Prelude.h"

namespace {

using namespace std::string_literals;
constexpr unsigned kWaitMs = 5000;
// Shorter than any time-out left to run in real time where it is used, so
// that only the test clock's advance can have closed the connection.
constexpr unsigned kCloseWaitMs = 2000;
constexpr char kGet[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string kText = "# TYPE varnholt_up gauge\nvarnholt_up 1\nvarnholt_node_connections{node=\"n\\\"1\"} 0\n";

std::string OkHead(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
}

// An error answer: its reason phrase as the text; 405 names the methods.
std::string Error(const std::string& status) {
    const std::string text = status.substr(4) + "\n";
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           std::to_string(text.size()) + "\r\n" + (status.rfind("405", 0) == 0 ? "Allow: GET, HEAD\r\n" : "") +
           "Connection: close\r\n\r\n" + text;
}

// Everything the server sends until it closes (or kWaitMs ends).
std::string ReadToClose(int fd) { return testnet::ReceiveExactly(fd, size_t{64} << 20, kWaitMs); }

// Closed by the server without a byte of answer, within kCloseWaitMs.
void ExpectClosedUnanswered(int fd) {
    EXPECT_EQ(testnet::ReceiveExactly(fd, 1, kCloseWaitMs), "");
    EXPECT_TRUE(testnet::ClosedByPeerWithin(fd, 0));
    testnet::Close(fd);
}

// Sends the request on a new connection and ends the sending side ("nc -N");
// a small receive buffer keeps most of a long response queued at the server.
std::string Exchange(std::uint16_t port, const std::string& request, int receiveBuffer = 0) {
    const int fd = testnet::Connect(port);
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    EXPECT_TRUE(testnet::SendAll(fd, request));
    shutdown(fd, SHUT_WR);
    std::string reply = ReadToClose(fd);
    testnet::Close(fd);
    return reply;
}

struct Served {
    explicit Served(std::string body = kText) : text(std::move(body)) {
        EXPECT_TRUE(server.StartOnAnyPort("127.0.0.1", [this] { return text; }));
    }
    int Connect() { return testnet::Connect(server.Port()); }
    std::string text;
    CMetricsServer server;
};

// Every request on its own connection, answered byte for byte.
TEST(MetricsServerTest, AnswersEachKindOfRequestWithItsStatusAndGetWithExactlyTheText) {
    Served s;
    const std::string ok = OkHead(kText) + kText;
    const std::string head = "GET /metrics HTTP/1.1\r\nX: ";
    const size_t room = CMetricsServer::kMaxRequestBytes - head.size() - 4;
    const std::string fitting = head + std::string(room, 'a') + "\r\n\r\n";
    const std::string over = head + std::string(room + 1, 'a') + "\r\n\r\n";
    const std::pair<std::string, std::string> cases[] = {  // request, reply
        {kGet, ok},
        {"GET /metrics?name[]=x&y HTTP/1.0\r\n\r\n", ok},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", OkHead(kText)},
        {fitting, ok},  // exactly the limit
        {"GET /metrics/ HTTP/1.1\r\n\r\n", Error("404 Not Found")},
        {"GET /metricsx HTTP/1.1\r\n\r\n", Error("404 Not Found")},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", Error("405 Method Not Allowed")},
        {"get /metrics HTTP/1.1\r\n\r\n", Error("405 Method Not Allowed")},
        {"GET /metrics\r\n\r\n", Error("400 Bad Request")},
        {"GET  /metrics HTTP/1.1\r\n\r\n", Error("400 Bad Request")},
        {"GET /metrics HTTP/2.0\r\n\r\n", Error("400 Bad Request")},
        {"G\x80T /metrics\0 HTTP/1.1\r\n\r\n"s, Error("400 Bad Request")},
        {"\r\n\r\n", Error("400 Bad Request")},
        {over, Error("431 Request Header Fields Too Large")},
        {std::string(3 * CMetricsServer::kMaxRequestBytes, 'A'), Error("431 Request Header Fields Too Large")},
    };
    for (const auto& [request, reply] : cases) EXPECT_EQ(Exchange(s.server.Port(), request), reply) << request;

    // The request line byte by byte, the rest but its last byte in one piece:
    // nothing is answered until the header block is whole, at the limit.
    const int fd = s.Connect();
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    for (size_t i = 0; i < head.size(); ++i) ASSERT_TRUE(testnet::SendAll(fd, head.substr(i, 1)));
    ASSERT_TRUE(testnet::SendAll(fd, fitting.substr(head.size(), fitting.size() - head.size() - 1)));
    EXPECT_EQ(testnet::ReceiveExactly(fd, 1, 200), "");
    ASSERT_TRUE(testnet::SendAll(fd, "\n"));
    EXPECT_EQ(ReadToClose(fd), ok);
    testnet::Close(fd);
}

// Eight silent clients fill the slots: a ninth is closed at once. The request
// time-out counts from the accept, so a client that trickles its request goes
// with the silent ones; then the slots serve again.
TEST(MetricsServerTest, SilentAndTricklingClientsHoldSlotsOnlyUntilTheRequestTimeOut) {
    Served s;
    std::vector<int> held;
    for (int i = 0; i < CMetricsServer::kMaxConnections; ++i) {
        held.push_back(s.Connect());
        ASSERT_TRUE(testnet::SendAll(held.back(), "GET /metrics HTTP/1.1\r\n"));
    }
    const int ninth = s.Connect();
    ASSERT_TRUE(testnet::SendAll(ninth, kGet));
    ExpectClosedUnanswered(ninth);

    TestClock::AdvanceTicks(CMetricsServer::kRequestTimeoutMs - 1000);
    ASSERT_TRUE(testnet::SendAll(held[0], "Host: 127.0.0.1\r\n"));
    EXPECT_FALSE(testnet::ClosedByPeerWithin(held[0], 300));
    for (int fd : held) EXPECT_FALSE(testnet::ClosedByPeerWithin(fd, 0));
    TestClock::AdvanceTicks(1100);
    for (int fd : held) ExpectClosedUnanswered(fd);
    EXPECT_EQ(Exchange(s.server.Port(), kGet), OkHead(kText) + kText);
}

// A client that does not read its response holds neither the thread nor its
// slot past the response time-out; Stop ends a connected client's connection
// and the listener.
TEST(MetricsServerTest, ASlowReaderIsCutOffWithoutHoldingOthersAndStopClosesEverything) {
    Served s(std::string(size_t{16} << 20, 'x'));  // far beyond the socket buffers
    const std::string full = OkHead(s.text) + s.text;
    const int slow = s.Connect();
    ASSERT_TRUE(testnet::SendAll(slow, kGet));
    ASSERT_EQ(testnet::ReceiveExactly(slow, 1, kWaitMs), "H");  // its response is under way
    // Bytes after the request must not cut the response short: a close with
    // them unread would reset the connection and drop what is still queued.
    const std::string reply = Exchange(s.server.Port(), kGet + std::string(100000, 'b'), 1 << 16);
    EXPECT_TRUE(reply == full) << reply.size();

    TestClock::AdvanceTicks(CMetricsServer::kResponseTimeoutMs + 100);
    EXPECT_LT(ReadToClose(slow).size(), full.size() - 1);
    EXPECT_TRUE(testnet::ClosedByPeerWithin(slow, 0));
    testnet::Close(slow);

    const int half = s.Connect();
    ASSERT_TRUE(testnet::SendAll(half, "GET /met"));
    const std::uint16_t port = s.server.Port();
    auto stopped = std::async(std::launch::async, [&] { s.server.Stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_TRUE(testnet::ClosedByPeerWithin(half, kCloseWaitMs));
    testnet::Close(half);
    EXPECT_EQ(testnet::Connect(port), -1);
    EXPECT_EQ(s.server.Port(), 0);
}

// A render that throws (out of memory) is answered 500, and the server goes
// on serving.
TEST(MetricsServerTest, AFailingRenderIsAnswered500AndTheServerGoesOn) {
    std::atomic<bool> fail{true};
    CMetricsServer server;
    ASSERT_TRUE(server.StartOnAnyPort("127.0.0.1", [&] {
        if (fail) throw std::bad_alloc();
        return std::string(kText);
    }));
    EXPECT_EQ(Exchange(server.Port(), kGet).rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
    fail = false;
    EXPECT_EQ(Exchange(server.Port(), kGet), OkHead(kText) + kText);
}

// A port taken by another listener fails Start with an ERROR line; so does an
// address that is not IPv4. Port 0 is off; a stopped server's port serves again.
TEST(MetricsServerTest, StartFailsOnATakenPortOrBadAddressAndPortZeroIsOff) {
    const std::string log = testenv::UseFreshLogDay();
    Served first;
    const std::uint16_t port = first.server.Port();
    CMetricsServer second;
    const auto render = [] { return kText; };
    EXPECT_FALSE(second.Start("127.0.0.1", port, render));
    EXPECT_EQ(second.Port(), 0);
    const std::string text = testenv::ReadFile(log);
    const size_t at = text.find("[CMetricsServer][Start] Cannot Listen On 127.0.0.1:" + std::to_string(port) +
                                " , Err = 98\n");
    ASSERT_NE(at, std::string::npos) << text;
    const size_t from = text.rfind('\n', at) + 1;  // the line's start
    EXPECT_NE(text.substr(from, at - from).find("[ERROR]"), std::string::npos);
    for (const char* bad : {"127.0.0.256", "localhost", "1.2.3", ""}) EXPECT_FALSE(second.Start(bad, port, render));
    EXPECT_TRUE(second.Start("127.0.0.1", 0, render));
    EXPECT_EQ(second.Port(), 0);

    first.server.Stop();
    ASSERT_TRUE(second.Start("127.0.0.1", port, render));
    EXPECT_EQ(second.Port(), port);
    EXPECT_EQ(Exchange(port, kGet), OkHead(kText) + kText);
}

}  // namespace
