// The text line each log becomes in the data files, per table, without disk
// I/O; and, for scale, the append of such lines to a data file on /dev/shm.
//
// BM_DataFileLine/<table>: every table the data-file writer fills:
// - usrflowlog  (flow logs, action 2),
// - usrbasiclog (every other user log; a service access gives one too),
// - usrsvrlog   (service access, action 3, second line),
// - syslog      (system logs).
// A user line is the log's time text (as the writer makes it for each log)
// plus the writer's line format for the table, which converts the texts to
// GBK and escapes them for LOAD DATA. The user tables' formats are private to
// CDataFileLogWriter and are reached through private-member access (below);
// the user lookup before them (GetUserInfoEx, which needs the node list of the
// database) is left out. The system line is made by the writer's own
// WriteLog: with the data-file manager not running it formats the whole line
// and then finds no data file and declines, so its figure also holds the
// table lookup under the writer's lock and a silent WARN line (a few tens of
// ns). Records cycle through 64 prepared ones: user names and messages are
// 25 % Chinese, and some texts hold characters the escaping doubles
// (quotes, backslashes, tabs).
//
// BM_DataFileAppend/async: CDataFile::Write of typical usrbasiclog lines
// (about 230 bytes) into a file on /dev/shm (tmpfs: no device I/O), in
// synchronous mode (one write(2) per line) and in async mode (two 12 KiB
// buffers). The file is truncated every 64 MiB (not timed).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFile.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "protocol/PacketFormat.h"
#include "support/Packets.h"
#include "writers/DataFileLogWriter.h"

namespace {

// ---- Access to the writer's private line formats -------------------------------
// An explicit instantiation may name private members; the friend function it
// defines hands the function pointer out. Nothing of the product is changed.
using FormatFn = bool (*)(const packet::UserRecordV3*, std::int32_t, const std::string&, std::int64_t, std::string*);

template <class Tag, FormatFn Function>
struct CFormatAccess {
    friend FormatFn FormatOf(Tag) { return Function; }
};

struct FlowTag {
    friend FormatFn FormatOf(FlowTag);
};
struct BasicTag {
    friend FormatFn FormatOf(BasicTag);
};
struct SvrTag {
    friend FormatFn FormatOf(SvrTag);
};
template struct CFormatAccess<FlowTag, &CDataFileLogWriter::FormatUserFlowLog>;
template struct CFormatAccess<BasicTag, &CDataFileLogWriter::FormatUserBasicLog>;
template struct CFormatAccess<SvrTag, &CDataFileLogWriter::FormatUserSvrLog>;

constexpr std::uint8_t kIdentity[16] = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18,
                                        0x29, 0x3a, 0x4b, 0x5c, 0x6d, 0x7e, 0x8f, 0x90};
constexpr size_t kRecords = 64;

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

const char* const kNames[] = {"user017", "j.smith", "\xe5\xbc\xa0\xe4\xbc\x9f" /* zhang wei */, "ops-admin",
                              "o'brien", "\xe6\x9d\x8e\xe5\xa8\x9c" /* li na */, "qa\\tester", "guest42"};
const char* const kMessages[] = {
    "GET https://intranet.example.com/erp/report/view.do?id=48213 ,200",
    "GET https://mail.example.com/owa/?ae=Folder&t=IPF.Note ,200",
    "\xe8\xae\xbf\xe9\x97\xae\xe5\x86\x85\xe9\x83\xa8\xe9\x97\xa8\xe6\x88\xb7 https://oa.example.cn/ ,200",
    "POST https://portal.example.com/login.jsp?next=\"/app\" ,302",
    "RDP 10.0.3.17:3389 session\tstarted",
    "Log in from web portal",
    "\xe6\x96\x87\xe4\xbb\xb6\xe4\xb8\x8b\xe8\xbd\xbd C:\\share\\report.xlsx ,200",
    "GET https://wiki.example.com/Main_Page ,200",
};
const char* const kSystemMessages[] = {
    "Interface eth1 link up", "VPN tunnel to 10.20.0.1 established", "Configuration saved by admin 'root'",
    "\xe7\xa3\x81\xe7\x9b\x98\xe7\xa9\xba\xe9\x97\xb4\xe4\xb8\x8d\xe8\xb6\xb3", "CPU usage 73% above threshold 70%",
    "Certificate C:\\certs\\portal.pem expires in 30 days"};

template <class T, size_t N>
const T& Pick(const T (&list)[N], std::mt19937& rng) {
    return list[rng() % N];
}

std::vector<packet::UserRecordV3> UserRecords(int action) {
    std::mt19937 rng(777 + static_cast<unsigned>(action));
    std::vector<packet::UserRecordV3> records(kRecords);
    for (packet::UserRecordV3& r : records) {
        testpkt::FillHeader(&r.header, kIdentity, packet::LOG_USER_V3, packet::kUserV3Size);
        packet::WriteU32Net(&r.header.logTimeNet, (rng() % 24) << 16 | (rng() % 60) << 8 | rng() % 60);
        r.common.groupId = 10 + rng() % 8;
        r.common.action = action;
        r.common.result = 1;
        packet::WriteU32Net(&r.common.clientAddressNet, Ip(192, 168, 1, rng() % 250 + 1));
        r.common.serviceType = 1;
        packet::WriteU32Net(&r.common.serverAddressNet, Ip(10, 0, rng() % 4, rng() % 32 + 1));
        packet::WriteU16Net(&r.common.serverPortNet, 443);
        std::snprintf(r.common.userName, sizeof(r.common.userName), "%s", Pick(kNames, rng));
        r.common.authMethod = 1;
        r.upFlux = 1 + rng() % 100000;
        r.downFlux = 1 + rng() % 10000000;
        r.rawUpFlux = r.upFlux;
        r.rawDownFlux = r.downFlux;
        if (action != 2) std::snprintf(r.message, sizeof(r.message), "%s", Pick(kMessages, rng));
    }
    return records;
}

std::vector<packet::SystemRecord> SystemRecords() {
    std::mt19937 rng(778);
    std::vector<packet::SystemRecord> records(kRecords);
    for (packet::SystemRecord& r : records) {
        testpkt::FillHeader(&r.header, kIdentity, packet::LOG_SYSTEM, packet::kSystemSize);
        r.level = static_cast<std::int32_t>(rng() % 5);
        r.process = static_cast<std::int32_t>(rng() % 604);
        std::snprintf(r.message, sizeof(r.message), "%s", Pick(kSystemMessages, rng));
    }
    return records;
}

void ConfigureLines() {
    setenv("VARNHOLT_DEBUGVIEW_NAME", "varnholt-bench-nobody", 1);
    CGlobalSharedData::GetInstance()->Init();
    CBuffManager::GetInstance()->Init();
    CProgramLogRecorder::ApplySettings(ProgramLogSettings{});  // the program log silent
}

// The time text of a log, as the writer makes it for every log.
std::string TimeText(const packet::PacketHeader& h) {
    char buffer[128];
    TranslateDWORDTimeToSZ(packet::ReadU32Net(&h.logDateNet), packet::ReadU32Net(&h.logTimeNet), buffer, 127);
    return buffer;
}

void UserLines(benchmark::State& state, int action, FormatFn format) {
    ConfigureLines();
    const std::vector<packet::UserRecordV3> records = UserRecords(action);
    std::int64_t recordId = 0x12345678000000LL;
    std::uint64_t bytes = 0;
    std::string line;
    size_t next = 0;
    for (auto _ : state) {
        const packet::UserRecordV3& r = records[next];
        const std::string when = TimeText(r.header);
        if (!format(&r, 1000 + static_cast<std::int32_t>(next), when, ++recordId, &line)) {
            state.SkipWithError("line format failed");
            break;
        }
        bytes += line.size();
        benchmark::DoNotOptimize(line.data());
        next = (next + 1) % kRecords;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    const auto lines = static_cast<double>(state.iterations() ? state.iterations() : 1);
    state.counters["bytes/line"] = static_cast<double>(bytes) / lines;
}

}  // namespace

static void BM_DataFileLine_usrflowlog(benchmark::State& state) { UserLines(state, 2, FormatOf(FlowTag{})); }
static void BM_DataFileLine_usrbasiclog(benchmark::State& state) { UserLines(state, 3, FormatOf(BasicTag{})); }
static void BM_DataFileLine_usrsvrlog(benchmark::State& state) { UserLines(state, 3, FormatOf(SvrTag{})); }
BENCHMARK(BM_DataFileLine_usrflowlog);
BENCHMARK(BM_DataFileLine_usrbasiclog);
BENCHMARK(BM_DataFileLine_usrsvrlog);

static void BM_DataFileLine_syslog(benchmark::State& state) {
    ConfigureLines();
    if (CDataFileManager::GetInstance()->IsRunning()) {
        state.SkipWithError("the data file manager runs: lines would go to files");
        return;
    }
    const std::vector<packet::SystemRecord> records = SystemRecords();
    CDataFileLogWriter writer;
    writer.Init();
    writer.SetDbName("bench_node");
    size_t next = 0;
    int accepted = 0;
    for (auto _ : state) {
        accepted |= writer.WriteLog(1, &records[next], nullptr);
        next = (next + 1) % kRecords;
    }
    writer.UnInit();
    if (accepted != 0) state.SkipWithError("a line was written to a data file");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DataFileLine_syslog);

static void BM_DataFileAppend(benchmark::State& state) {
    ConfigureLines();
    CConfigManager::GetInstance()->m_ZelkAdv.EnableAsyncWrite.Set(state.range(0) != 0 ? 1 : 0);
    const std::vector<packet::UserRecordV3> records = UserRecords(3);
    std::vector<std::string> lines;
    for (const packet::UserRecordV3& r : records) {
        std::string line;
        FormatOf(BasicTag{})(&r, 1000, TimeText(r.header), 0x12345678000000LL, &line);
        lines.push_back(line);
    }
    CDataFile file;
    file.m_strFilePath = "/dev/shm/varnholt-bench-" + std::to_string(getpid()) + ".dat";
    unlink(file.m_strFilePath.c_str());
    if (!file.Create()) {
        state.SkipWithError("cannot create the data file on /dev/shm");
        return;
    }
    constexpr std::uint64_t kTruncateAt = 64u << 20;
    std::uint64_t bytes = 0;
    std::uint64_t inFile = 0;
    size_t next = 0;
    for (auto _ : state) {
        const std::string& line = lines[next];
        const DWORD written = file.Write(line.data(), static_cast<DWORD>(line.size()));
        bytes += written;
        inFile += written;
        next = (next + 1) % lines.size();
        if (inFile >= kTruncateAt) {
            state.PauseTiming();
            file.Close();
            unlink(file.m_strFilePath.c_str());
            file.Create();
            inFile = 0;
            state.ResumeTiming();
        }
    }
    file.Close();
    unlink(file.m_strFilePath.c_str());
    CConfigManager::GetInstance()->m_ZelkAdv.EnableAsyncWrite.Set(0);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_DataFileAppend)->ArgName("async")->Arg(0)->Arg(1);
