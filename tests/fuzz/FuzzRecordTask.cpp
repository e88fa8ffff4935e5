// Fuzz target: the byte stream of a node, framed, checked and dispatched by
// the record task, in-process. The input goes into a small receive ring in
// pieces of varying size with the task processing between them, so that
// packets arrive in parts. The ring's positions start 4 KiB before its end,
// so that the writer wraps after about 2 KiB and packets are split there and
// copied out; while the writer is wrapped, the input is written in as large
// pieces as fit (the task's thread would wait for the rest of a packet).
// No node is known, so accepted logs stop at the sync check (info syncs at
// the node lookup, before anything is stored); replies are discarded.
// The exit event is set: a wait of the task (for the rest of a packet, for
// room in the send ring) ends at once as on a stopping service.
#include <algorithm>
#include <iterator>
#include <memory>

#include "core/ExitEvent.h"
#include "core/modules/BuffManager.h"
#include "node/NodeLogRecordTask.h"
#include "node/RingCache.h"
#include "tests/fuzz/FuzzEnv.h"

namespace {

constexpr DWORD kRecvRingSize = 16 * 1024;
constexpr DWORD kSendRingSize = 8 * 1024;
constexpr DWORD kStartOffset = kRecvRingSize - 2 * CRingCache::kMinWriteSpace;
constexpr size_t kPieces[] = {7, 300, 1500, 4096, 61, 2048, 1};

// The task with its running flag set, driven without its thread.
class CFuzzRecordTask : public CNodeLogRecordTask {
public:
    CFuzzRecordTask() { m_nRunning.store(1); }
};

std::string g_tempDir;

void DrainSendRing(CRingCache* ring) {
    DWORD readable = 0;
    while (ring->GetCanReadSize(&readable)) ring->ReadCommit(readable);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzenv::FormatLogLinesOnly();
    fuzzenv::MakeInstallTree();
    g_tempDir = CGlobalSharedData::GetInstance()->GetTempDir();
    CBuffManager::GetInstance()->Init();
    ZelkAdvConfig& adv = CConfigManager::GetInstance()->m_ZelkAdv;
    adv.MaxPackgeSize.Set(1);
    adv.DumpInvalidLog.Set(1);
    SetExitEvent();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto recv = std::make_shared<CRingCache>();
    auto send = std::make_shared<CRingCache>();
    if (!recv->Init(kRecvRingSize) || !send->Init(kSendRingSize)) std::abort();
    DWORD room = 0;
    recv->GetCanWriteSize(&room);
    recv->WriteCommit(kStartOffset);
    recv->GetCanReadSize(&room);
    recv->ReadCommit(kStartOffset);
    {
        CFuzzRecordTask task;
        task.SetRings(recv, send);
        size_t at = 0;
        for (size_t pieces = 0; at < size; ++pieces) {
            DWORD free = 0;
            if (recv->GetCanWriteSize(&free)) {
                const size_t piece = recv->HasWrappedData() ? size : kPieces[pieces % std::size(kPieces)];
                const size_t n = std::min({piece, size - at, size_t{free}});
                std::memcpy(recv->GetWritePos(), data + at, n);
                recv->WriteCommit(static_cast<DWORD>(n));
                at += n;
            }
            task.ProcessRingBuffData();
            DrainSendRing(send.get());
        }
    }
    std::error_code error;
    for (const auto& file : std::filesystem::directory_iterator(g_tempDir, error)) {
        std::filesystem::remove(file.path(), error);
    }
    return 0;
}
