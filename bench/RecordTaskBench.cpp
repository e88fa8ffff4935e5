// The node intake in-process: a gateway's byte stream framed, checked and
// dispatched by the record task into a writer chain of one writer that
// discards everything (no database, no files, no sockets).
//
// The stream is a fixed mix of valid packets: user logs of the three record
// versions (service access, log-in and log-out), flow logs, system logs and
// keep-alives (see BuildNodeStream). Each benchmark takes two arguments:
// - log: 0 = program log silent; 1 = ProgramLog.conf as shipped (debug view
//   on, file level 1), with no debug viewer attached, the usual case: DEBUG
//   lines are then built only for the once-a-second probe of the viewer, but
//   every Log call still checks for it and its arguments are still computed
//   (the file is off here; at level 1 it would take none of these lines);
//   2 = the same with a debug viewer attached that does not keep up (its
//   socket is bound and never read): every DEBUG line is built and offered;
// - inv: 1 = every record inverted by the sender (undone in place).
//
// BM_RecordTaskFrameCheckDispatch: one thread. Each iteration puts 64 KiB of
// the stream into the receive ring (not timed, like the receiving side) and
// times ProcessRingBuffData, which frames, checks and dispatches every
// complete packet; a packet cut by the chunk end is finished by the next one.
// CPU time of that thread: packets/s and bytes/s per core.
//
// BM_RecordTaskRingHandOff: two threads, as in the service. The benchmark
// thread is the receiving side (copies the stream into the receive ring in
// receives of 64 KiB, waits for room, drains the send ring); a second thread
// runs the record task's loop as Run has it (process the ring, then arm the
// data-ready signal and wait). One iteration is the whole stream (about
// 8 MiB), complete when the discarding writer has seen its last packet (the
// benchmark thread polls for that every 50 us). Wall time.
//
// The task is driven without its own thread: its writer chain and its
// synchronised state are set through private-member access (below) instead of
// Run, which would install the product's chain of merger, data-file and SQL
// writers.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/modules/BuffManager.h"
#include "db/GlobalSharedData.h"
#include "node/NodeLogRecordTask.h"
#include "node/RingCache.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "protocol/PacketFormat.h"
#include "support/Packets.h"
#include "writers/BaseLogWriter.h"

namespace {

// ---- Access to the task's private members ---------------------------------
// An explicit instantiation may name private members; the friend function it
// defines hands the member pointer out. Nothing of the product is changed.
template <class Tag, typename Tag::Type Member>
struct CMemberAccess {
    friend typename Tag::Type MemberOf(Tag) { return Member; }
};

struct WriterManagerTag {
    using Type = CVarnholtLogsWriterManager CNodeLogRecordTask::*;
    friend Type MemberOf(WriterManagerTag);
};
template struct CMemberAccess<WriterManagerTag, &CNodeLogRecordTask::m_WriterManager>;

struct SyncOkTag {
    using Type = std::atomic<std::int32_t> CNodeLogRecordTask::*;
    friend Type MemberOf(SyncOkTag);
};
template struct CMemberAccess<SyncOkTag, &CNodeLogRecordTask::m_nSyncOK>;

// The record task with its running flag set by hand (the thread never runs).
class CInProcessRecordTask : public CNodeLogRecordTask {
public:
    void SetRunning(bool running) { m_nRunning.store(running ? 1 : 0); }
    void InstallWriters(std::initializer_list<CBaseLogWriter*> writers) {
        (this->*MemberOf(WriterManagerTag{})).InstallLogWriterChain(writers);
        (this->*MemberOf(SyncOkTag{})).store(1);
    }
    void UnInstallWriters() { (this->*MemberOf(WriterManagerTag{})).UnInstallLogWriterChain(); }
};

// Takes every log and forgets it; counts what it was offered.
class CDiscardLogWriter : public CBaseLogWriter {
public:
    int WriteLog(std::uint32_t, const UserAuditFilePacket*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::KeepAliveRecord*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::SystemRecord*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::AlarmRecord*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::AuditRecord*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::AdminRecord*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::UserRecordV3*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::UserRecordV2*, ReplyBuff*) override { return Take(); }
    int WriteLog(std::uint32_t, const packet::UserRecordV1*, ReplyBuff*) override { return Take(); }
    int WriteLog(const LogItem*, ReplyBuff*) override { return Take(); }

    std::uint64_t Count() const { return m_Count.load(std::memory_order_acquire); }

private:
    int Take() {
        m_Count.fetch_add(1, std::memory_order_release);
        return 1;
    }
    std::atomic<std::uint64_t> m_Count{0};
};

// ---- The node stream --------------------------------------------------------

constexpr std::uint8_t kIdentity[16] = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18,
                                        0x29, 0x3a, 0x4b, 0x5c, 0x6d, 0x7e, 0x8f, 0x90};
constexpr DWORD kRecvRingSize = 10 * 1024 * 1024;  // TarnNodeRecvBuffSize default
constexpr DWORD kSendRingSize = 10 * 1024;         // TarnNodeSendBuffSize default
constexpr DWORD kReceiveSize = 64 * 1024;

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

const char* const kWebPaths[] = {"/", "/portal/index.jsp", "/mail/inbox?folder=1", "/erp/report/view.do?id=",
                                 "/static/js/app.min.js", "/wiki/Main_Page", "/api/v2/orders?page="};
const char* const kSystemMessages[] = {"Interface eth1 link up", "VPN tunnel to 10.20.0.1 established",
                                       "Configuration saved by admin", "CPU usage 73% above threshold 70%",
                                       "Certificate of the portal expires in 30 days"};

void FillCommon(packet::UserCommon* u, std::mt19937& rng, int action) {
    const unsigned user = rng() % 200;
    u->groupId = 10 + user % 8;
    u->action = action;
    u->result = rng() % 10 == 0 ? 2 : 1;
    packet::WriteU32Net(&u->clientAddressNet, Ip(192, 168, 1 + user / 100, user % 100 + 10));
    u->serviceType = action == 3 ? static_cast<std::int32_t>(rng() % 4 == 0 ? rng() % 4 : 1) : 0;
    packet::WriteU32Net(&u->serverAddressNet, Ip(10, 0, rng() % 4, rng() % 32 + 1));
    const unsigned port = u->serviceType == 1 ? 443 : 1000 + rng() % 60000;
    packet::WriteU16Net(&u->serverPortNet, static_cast<std::uint16_t>(port));
    std::snprintf(u->userName, sizeof(u->userName), "user%03u", user);
    u->serverAttribute = static_cast<std::int32_t>(rng() % 2);
    u->authMethod = static_cast<std::int32_t>(rng() % 4);
}

void FillMessage(char* message, size_t size, std::mt19937& rng, int action) {
    if (action == 0 || action == 1) {
        std::snprintf(message, size, "%s from web portal", action == 0 ? "Log in" : "Log out");
    } else if (action == 3) {
        const char* path = kWebPaths[rng() % (sizeof(kWebPaths) / sizeof(kWebPaths[0]))];
        std::snprintf(message, size, "GET https://intranet.example.com%s%u ,200", path,
                      static_cast<unsigned>(rng() % 100000));
    }
}

template <class Record>
std::string UserPacket(std::uint32_t type, std::uint32_t size, std::mt19937& rng, int action) {
    Record r{};
    testpkt::FillHeader(&r.header, kIdentity, type, size);
    FillCommon(&r.common, rng, action);
    // Flow logs always carry traffic: a flow log without any is consumed
    // before the writers.
    r.upFlux = static_cast<decltype(r.upFlux)>(1 + rng() % 100000);
    r.downFlux = static_cast<decltype(r.downFlux)>(1 + rng() % 1000000);
    if constexpr (sizeof(Record) != packet::kUserSize) {
        r.rawUpFlux = r.upFlux + 64;
        r.rawDownFlux = r.downFlux + 64;
    }
    FillMessage(r.message, sizeof(r.message), rng, action);
    return testpkt::Bytes(r);
}

std::string SystemPacket(std::mt19937& rng) {
    packet::SystemRecord r{};
    testpkt::FillHeader(&r.header, kIdentity, packet::LOG_SYSTEM, packet::kSystemSize);
    r.level = static_cast<std::int32_t>(rng() % 5);
    r.process = static_cast<std::int32_t>(rng() % 604);
    std::snprintf(r.message, sizeof(r.message), "%s",
                  kSystemMessages[rng() % (sizeof(kSystemMessages) / sizeof(kSystemMessages[0]))]);
    return testpkt::Bytes(r);
}

// A user record of one of the three versions (70 % V3, 15 % V2, 15 % V1).
std::string AnyUserPacket(std::mt19937& rng, int action) {
    const unsigned version = rng() % 20;
    if (version < 3) return UserPacket<packet::UserRecordV1>(packet::LOG_USER, packet::kUserSize, rng, action);
    if (version < 6) return UserPacket<packet::UserRecordV2>(packet::LOG_USER_V2, packet::kUserV2Size, rng, action);
    return UserPacket<packet::UserRecordV3>(packet::LOG_USER_V3, packet::kUserV3Size, rng, action);
}

// At least minBytes of packets: 48 % service access, 7 % log-in or log-out,
// 30 % flow logs (user records of the three versions), 10 % system logs,
// 5 % keep-alives. Every packet is accepted and reaches the writers.
std::string BuildNodeStream(size_t minBytes, bool inverted, std::uint64_t* packets) {
    std::mt19937 rng(20261206);
    std::string stream;
    *packets = 0;
    while (stream.size() < minBytes) {
        const unsigned pick = rng() % 100;
        std::string p;
        if (pick < 48) {
            p = AnyUserPacket(rng, 3);
        } else if (pick < 55) {
            p = AnyUserPacket(rng, static_cast<int>(rng() % 2));
        } else if (pick < 85) {
            p = AnyUserPacket(rng, 2);
        } else if (pick < 95) {
            p = SystemPacket(rng);
        } else {
            p = testpkt::KeepAlive(kIdentity, 1);
        }
        stream += inverted ? testpkt::Invert(p) : p;
        ++*packets;
    }
    return stream;
}

// ---- Set-up shared by the benchmarks -------------------------------------------

constexpr char kDebugViewName[] = "varnholt-bench-nobody";

void ConfigureIntake(bool programLog) {
    // Before the first line: the debug view target is resolved once.
    setenv("VARNHOLT_DEBUGVIEW_NAME", kDebugViewName, 1);
    CGlobalSharedData::GetInstance()->Init();
    CBuffManager::GetInstance()->Init();
    CConfigManager* config = CConfigManager::GetInstance();
    config->m_ZelkAdv.MaxPackgeSize.Set(5);
    config->m_ZelkAdv.DumpInvalidLog.Set(0);
    config->m_Zelk.ISFULL.Set(0);
    ProgramLogSettings log;
    log.globalEnable = programLog ? 1 : 0;
    log.debugViewEnable = programLog ? 1 : 0;
    log.txtLogEnable = 0;
    log.logLevel = 1;
    CProgramLogRecorder::ApplySettings(log);
    CProgramLogRecorder::GetInstance()->Init();
}

void SilenceProgramLog() {
    ProgramLogSettings log = CProgramLogRecorder::GetSettings();
    log.globalEnable = 0;
    CProgramLogRecorder::ApplySettings(log);
}

// Copies up to limit bytes of the stream (from *offset, wrapping) into the
// ring's contiguous free space; the bytes written.
DWORD Receive(CRingCache* ring, const std::string& stream, size_t* offset, DWORD limit) {
    DWORD free = 0;
    if (!ring->GetCanWriteSize(&free)) return 0;
    DWORD n = free < limit ? free : limit;
    if (n > stream.size() - *offset) n = static_cast<DWORD>(stream.size() - *offset);
    std::memcpy(ring->GetWritePos(), stream.data() + *offset, n);
    ring->WriteCommit(n);
    *offset += n;
    if (*offset == stream.size()) *offset = 0;
    return n;
}

// What the node thread sends; thrown away.
void DrainSendRing(CRingCache* ring) {
    DWORD readable = 0;
    while (ring->GetCanReadSize(&readable)) ring->ReadCommit(readable);
}

// Arguments log and inv: the program-log set-up (a debug viewer that does not
// keep up for 2), the node stream and the two rings. False after SkipWithError.
bool PrepareIntake(benchmark::State& state, CDebugViewListener* viewer, std::string* stream,
                   std::uint64_t* streamPackets, CRingCache* recvRing, CRingCache* sendRing) {
    ConfigureIntake(state.range(0) != 0);
    if (state.range(0) == 2 && !viewer->Open(kDebugViewName)) {
        state.SkipWithError("the debug view name is taken");
        return false;
    }
    *stream = BuildNodeStream(8u << 20, state.range(1) != 0, streamPackets);
    if (!recvRing->Init(kRecvRingSize) || !sendRing->Init(kSendRingSize)) {
        state.SkipWithError("ring allocation failed");
        return false;
    }
    return true;
}

void SetRates(benchmark::State& state, std::uint64_t packets, std::uint64_t bytes) {
    state.SetItemsProcessed(static_cast<std::int64_t>(packets));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

}  // namespace

static void BM_RecordTaskFrameCheckDispatch(benchmark::State& state) {
    CDebugViewListener viewer;
    std::uint64_t streamPackets = 0;
    std::string stream;
    CRingCache recvRing;
    CRingCache sendRing;
    if (!PrepareIntake(state, &viewer, &stream, &streamPackets, &recvRing, &sendRing)) return;
    CDiscardLogWriter sink;
    std::uint64_t bytes = 0;
    {
        CInProcessRecordTask task;
        task.SetRings(&recvRing, &sendRing);
        task.InstallWriters({&sink});
        task.SetRunning(true);
        size_t offset = 0;
        for (auto _ : state) {
            state.PauseTiming();
            DrainSendRing(&sendRing);
            bytes += Receive(&recvRing, stream, &offset, kReceiveSize);
            state.ResumeTiming();
            task.ProcessRingBuffData();
        }
        task.SetRunning(false);
        task.UnInstallWriters();
    }
    SilenceProgramLog();
    SetRates(state, sink.Count(), bytes);
    state.counters["bytes/packet"] = static_cast<double>(stream.size()) / static_cast<double>(streamPackets);
}
BENCHMARK(BM_RecordTaskFrameCheckDispatch)
    ->ArgNames({"log", "inv"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({2, 0});

static void BM_RecordTaskRingHandOff(benchmark::State& state) {
    CDebugViewListener viewer;
    std::uint64_t streamPackets = 0;
    std::string stream;
    CRingCache recvRing;
    CRingCache sendRing;
    if (!PrepareIntake(state, &viewer, &stream, &streamPackets, &recvRing, &sendRing)) return;
    CDiscardLogWriter sink;
    HANDLE stop = CreateEvent(true, false);
    std::uint64_t bytes = 0;
    {
        CInProcessRecordTask task;
        task.SetRings(&recvRing, &sendRing);
        task.InstallWriters({&sink});
        task.SetRunning(true);
        // The record task's loop (Run without its set-up and ending).
        std::thread recordThread([&] {
            HANDLE waits[2] = {stop, recvRing.GetDataReadyEvent()};
            for (;;) {
                // Bytes committed after this count end the wait at once.
                const std::uint64_t seen = recvRing.WriteCount();
                task.ProcessRingBuffData();
                const DWORD wait = recvRing.ArmDataReady(seen) ? CNodeLogRecordTask::kWaitMs : 0;
                if (WaitForMultipleObjects(2, waits, false, wait) == WAIT_OBJECT_0) break;
            }
        });
        std::uint64_t expected = 0;
        for (auto _ : state) {
            size_t offset = 0;
            do {
                // The record task's reads so far: the not-full event is armed
                // against them, as the node thread does.
                const std::uint64_t seen = recvRing.ReadCount();
                const DWORD n = Receive(&recvRing, stream, &offset, kReceiveSize);
                if (n == 0 && recvRing.ArmNotFull(seen)) WaitForSingleObject(recvRing.GetNotFullEvent(), 100);
                DrainSendRing(&sendRing);
                bytes += n;
            } while (offset != 0);
            expected += streamPackets;
            while (sink.Count() < expected) {
                DrainSendRing(&sendRing);
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
        SetEvent(stop);
        recordThread.join();
        task.SetRunning(false);
        task.UnInstallWriters();
    }
    CloseHandle(stop);
    SilenceProgramLog();
    SetRates(state, sink.Count(), bytes);
    state.counters["packets/iteration"] = static_cast<double>(streamPackets);
}
BENCHMARK(BM_RecordTaskRingHandOff)
    ->ArgNames({"log", "inv"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
