// Fuzz target: INFOQRY requests. The input is one receive of the info query
// server (at most its 1,024-byte buffer), dispatched as the server does; the
// reply goes into a local socket pair. A request without the 24-byte size and
// the sign "INFOQRY" gets no reply, a log merge query (type 1) exactly its
// 100 bytes; any reply is one whole "INFORLY" reply to the type asked.
#include <sys/socket.h>

#include "info/InfoQuery.h"
#include "info/InfoRetrieveTask.h"
#include "tests/fuzz/FuzzEnv.h"

using fuzzenv::Require;

namespace {

int g_pair[2] = {-1, -1};
CInfoRetrieveTask* g_task = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzenv::FormatLogLinesOnly();
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_pair) != 0) std::abort();
    g_task = new CInfoRetrieveTask();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > CInfoRetrieveTask::kRecvBufferBytes) return -1;
    char buffer[CInfoRetrieveTask::kRecvBufferBytes] = {};
    std::memcpy(buffer, data, size);
    g_task->DispatchRequest(g_pair[0], buffer, static_cast<int>(size));

    char reply[4096];
    const ssize_t n = recv(g_pair[1], reply, sizeof(reply), MSG_DONTWAIT);
    InfoQueryHeader query{};
    std::memcpy(&query, buffer, sizeof(query));
    const bool valid = size >= sizeof(query) && query.headerSize == sizeof(query) &&
                       std::memcmp(query.sign, infoquery::kQuerySign, sizeof(query.sign)) == 0;
    Require(valid || n < 0);
    Require(n >= 0 || !valid || query.queryType != infoquery::kQueryTypeLogMerge);
    if (n < 0) return 0;
    InfoReplyHeader header{};
    Require(n >= static_cast<ssize_t>(sizeof(header)));
    std::memcpy(&header, reply, sizeof(header));
    Require(header.headerSize == sizeof(header) && std::memcmp(header.sign, infoquery::kReplySign, 8) == 0 &&
            header.queryType == query.queryType && n == static_cast<ssize_t>(sizeof(header) + header.dataSize));
    Require(header.queryType != infoquery::kQueryTypeLogMerge || header.dataSize == sizeof(InfoLogMergeReplyData));
    return 0;
}
