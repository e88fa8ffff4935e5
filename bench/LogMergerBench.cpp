// The log merger in the writer chain: user logs and flow logs offered to
// CLogMergerLogWriter (record task's side), with the merger's own write and
// switch threads passing kept logs down to a writer that discards them.
//
// Settings are those of the shipped ZelkAdv.conf (merging on, 2 buffers of
// 5 MiB, ParticleTime 30 s, service-access and flow merging on, web filter on
// with an empty keyword list, system logs not merged). A buffer holds about
// 5,500 kept logs, so most write-outs are due to a full buffer.
//
// The mix, per pair of logs: the second log of a pair repeats the first
// (a flow log with the same merge key, whose counters are added; or a service
// access with the same key and message, which is dropped), except for log-in
// and log-out pairs, which are always kept. Pairs: 45 % flow, 45 % service
// access, 10 % log-in/log-out, so about 45 % of all logs merge away. Records
// are 70 % version 3, 15 % version 2, 15 % version 1 (widened by the writer).
//
// Reported: logs/s offered on the calling thread (its CPU time), and the
// share of logs that reached the discarding writer behind the merger.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/modules/BuffManager.h"
#include "db/GlobalSharedData.h"
#include "protocol/PacketFormat.h"
#include "support/Packets.h"
#include "writers/BaseLogWriter.h"
#include "writers/LogMerger.h"
#include "writers/LogsWriterManager.h"

namespace {

// Takes every log passed down by the merger and forgets it.
class CMergeSinkWriter : public CBaseLogWriter {
public:
    int WriteLog(const LogItem*, ReplyBuff*) override {
        m_Count.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }
    using CBaseLogWriter::WriteLog;
    std::uint64_t Count() const { return m_Count.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> m_Count{0};
};

constexpr std::uint8_t kIdentity[16] = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18,
                                        0x29, 0x3a, 0x4b, 0x5c, 0x6d, 0x7e, 0x8f, 0x90};

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

// One log as the record task hands it on: its version and bytes.
struct OfferedLog {
    std::uint32_t type = 0;
    std::string bytes;
};

struct UserFields {
    int action = 0;
    int serviceType = 0;
    unsigned user = 0;
    std::uint32_t server = 0;
    std::uint16_t port = 0;
    std::string message;
};

template <class Record>
std::string UserBytes(std::uint32_t type, std::uint32_t size, const UserFields& f, std::mt19937& rng) {
    Record r{};
    testpkt::FillHeader(&r.header, kIdentity, type, size);
    r.common.groupId = 10 + f.user % 8;
    r.common.action = f.action;
    r.common.result = 1;
    packet::WriteU32Net(&r.common.clientAddressNet, Ip(192, 168, 1 + f.user / 250, f.user % 250 + 1));
    r.common.serviceType = f.serviceType;
    packet::WriteU32Net(&r.common.serverAddressNet, f.server);
    packet::WriteU16Net(&r.common.serverPortNet, f.port);
    std::snprintf(r.common.userName, sizeof(r.common.userName), "user%04u", f.user);
    r.common.authMethod = 1;
    r.upFlux = static_cast<decltype(r.upFlux)>(1 + rng() % 100000);
    r.downFlux = static_cast<decltype(r.downFlux)>(1 + rng() % 1000000);
    if constexpr (sizeof(Record) != packet::kUserSize) {
        r.rawUpFlux = r.upFlux;
        r.rawDownFlux = r.downFlux;
    }
    std::snprintf(r.message, sizeof(r.message), "%s", f.message.c_str());
    return testpkt::Bytes(r);
}

OfferedLog MakeLog(const UserFields& f, unsigned version, std::mt19937& rng) {
    if (version < 3) {
        return {packet::LOG_USER, UserBytes<packet::UserRecordV1>(packet::LOG_USER, packet::kUserSize, f, rng)};
    }
    if (version < 6) {
        return {packet::LOG_USER_V2, UserBytes<packet::UserRecordV2>(packet::LOG_USER_V2, packet::kUserV2Size, f, rng)};
    }
    return {packet::LOG_USER_V3, UserBytes<packet::UserRecordV3>(packet::LOG_USER_V3, packet::kUserV3Size, f, rng)};
}

// count logs in pairs as described at the top. Keys come from 2,000 users
// and 64 servers, so that the first log of a pair rarely finds a match.
std::vector<OfferedLog> BuildMergeMix(size_t count) {
    std::mt19937 rng(4242);
    std::vector<OfferedLog> logs;
    logs.reserve(count);
    while (logs.size() < count) {
        UserFields f;
        f.user = rng() % 2000;
        f.server = Ip(10, 0, rng() % 4, rng() % 16 + 1);
        const unsigned pick = rng() % 20;
        if (pick < 9) {
            f.action = 2;
            f.port = static_cast<std::uint16_t>(443);
        } else if (pick < 18) {
            f.action = 3;
            f.serviceType = rng() % 4 == 0 ? 2 : 1;
            f.port = static_cast<std::uint16_t>(f.serviceType == 1 ? 443 : 3389);
            f.message = "GET https://intranet.example.com/erp/report/view.do?id=" + std::to_string(rng() % 100000) +
                        " ,200";
        } else {
            f.action = 0;
            f.message = "Log in from web portal";
        }
        logs.push_back(MakeLog(f, rng() % 20, rng));
        if (f.action == 0) {
            f.action = 1;
            f.message = "Log out from web portal";
        }
        logs.push_back(MakeLog(f, rng() % 20, rng));
    }
    return logs;
}

void ConfigureMerger() {
    setenv("VARNHOLT_DEBUGVIEW_NAME", "varnholt-bench-nobody", 1);
    CGlobalSharedData::GetInstance()->Init();
    CBuffManager::GetInstance()->Init();
    CConfigManager* config = CConfigManager::GetInstance();
    CProgramLogRecorder::ApplySettings(ProgramLogSettings{});  // the program log silent
    auto& adv = config->m_ZelkAdv;
    adv.GlobalEnableLogMerge.Set(1);
    adv.ParticleTime.Set(30);
    adv.MergeBuffers.Set(2);
    adv.MergeBufferSize.Set(5);
    adv.UserLogEnableLogMerge.Set(1);
    adv.EnableHttpFilter.Set(1);
    adv.HttpFilterList.Set("");
    adv.KeepFilterLog.Set(0);
    adv.FlowLogEnableLogMerge.Set(1);
    adv.SysLogEnableLogMerge.Set(0);
    CLogMergeManager::GetInstance()->Init();
}

int Offer(CLogMergerLogWriter* merger, const OfferedLog& log) {
    const BYTE* p = reinterpret_cast<const BYTE*>(log.bytes.data());
    switch (log.type) {
        case packet::LOG_USER: return merger->WriteLog(1, reinterpret_cast<const packet::UserRecordV1*>(p), nullptr);
        case packet::LOG_USER_V2: return merger->WriteLog(1, reinterpret_cast<const packet::UserRecordV2*>(p), nullptr);
        default: return merger->WriteLog(1, reinterpret_cast<const packet::UserRecordV3*>(p), nullptr);
    }
}

}  // namespace

static void BM_LogMergerUserAndFlowMix(benchmark::State& state) {
    ConfigureMerger();
    const std::vector<OfferedLog> logs = BuildMergeMix(1 << 16);
    CMergeSinkWriter sink;
    CLogMergerLogWriter merger;
    CVarnholtLogsWriterManager chain;
    chain.InstallLogWriterChain({&merger, &sink});
    std::uint64_t offered = 0;
    std::uint64_t declined = 0;
    size_t next = 0;
    for (auto _ : state) {
        if (Offer(&merger, logs[next]) == 0) ++declined;
        ++offered;
        if (++next == logs.size()) next = 0;
    }
    // Everything kept goes down the chain before the merger is taken apart.
    chain.OnQuit();
    chain.UnInstallLogWriterChain();
    state.SetItemsProcessed(static_cast<std::int64_t>(offered));
    state.counters["passed_down"] =
        benchmark::Counter(static_cast<double>(sink.Count() + declined) / static_cast<double>(offered ? offered : 1));
    state.counters["declined"] = static_cast<double>(declined);
}
BENCHMARK(BM_LogMergerUserAndFlowMix);
