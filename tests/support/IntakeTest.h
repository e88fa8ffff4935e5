// The common start of the test files that drive the node intake, its writers
// and its data files: GoogleTest, the support headers, and the helpers these
// suites share (a synchronised peer, packets confirmed by a keep-alive's
// reply, the program log, the node connections left, rows of a database).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "node/TarnNodeManager.h"
#include "platform/Clock.h"
#include "protocol/PacketFormat.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace testintake {

// A connection to the intake on port whose node has synchronised its users.
inline int SyncedPeer(std::uint16_t port, const std::uint8_t identity[16], const std::string& content = kUserSnapshot) {
    const int peer = testnet::Connect(port);
    EXPECT_GE(peer, 0);
    EXPECT_TRUE(SyncUsers(peer, identity, content));
    return peer;
}

// Sends packets and then a keep-alive of identity; true once the keep-alive's
// reply came, which proves that every packet before it was handled.
inline bool SendConfirmed(int peer, const std::uint8_t identity[16], const std::string& packets,
                          unsigned timeoutMs = 10000) {
    return testnet::SendAll(peer, packets + testpkt::KeepAlive(identity)) &&
           testnet::ReceiveExactly(peer, packet::kKeepAliveReplySize, timeoutMs).size() == packet::kKeepAliveReplySize;
}

// True when the log file holds text, or comes to hold it within waitMs.
inline bool LogHas(const std::string& logPath, const std::string& text, DWORD waitMs = 0) {
    return testenv::WaitFor([&] { return testenv::ReadFile(logPath).find(text) != std::string::npos; }, waitMs);
}

// True once count node connections are left (the others reaped) within timeoutMs.
inline bool NodesLeft(size_t count, DWORD timeoutMs = 10000) {
    return testenv::WaitFor([&] { return CTarnNodeManager::GetInstance()->NodeCount() == count; }, timeoutMs);
}

// The first column of every row of a query in database (NULL as "").
inline std::vector<std::string> Column(const std::string& database, const std::string& sql) {
    std::unique_ptr<MYSQL, decltype(&mysql_close)> c(testdb::Connect(database), mysql_close);
    std::vector<std::string> out;
    for (const auto& row : testdb::Query(c.get(), sql)) out.push_back(row[0].value_or(""));
    return out;
}

// The first row of a query in database, its columns joined by '|'.
inline std::string Row(const std::string& database, const std::string& sql) {
    std::unique_ptr<MYSQL, decltype(&mysql_close)> c(testdb::Connect(database), mysql_close);
    const auto rows = testdb::Query(c.get(), sql);
    std::string out;
    for (size_t i = 0; !rows.empty() && i < rows[0].size(); ++i) out += (i ? "|" : "") + rows[0][i].value_or("");
    return out;
}

}  // namespace testintake
