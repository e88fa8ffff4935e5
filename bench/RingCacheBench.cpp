// Throughput of the ring cache: one thread writes blocks, the same thread
// reads them back (the per-byte cost of the ring itself, without waits).
#include <benchmark/benchmark.h>

#include <cstring>

#include "core/modules/BuffManager.h"
#include "node/RingCache.h"

static void BM_RingCacheWriteRead(benchmark::State& state) {
    CBuffManager::GetInstance()->Init();
    CRingCache ring;
    ring.Init(10 * 1024 * 1024);
    const auto block = static_cast<DWORD>(state.range(0));
    std::vector<BYTE> source(block, 0x5A);
    std::vector<BYTE> sink(block);
    for (auto _ : state) {
        DWORD free = 0;
        if (ring.GetCanWriteSize(&free)) {
            const DWORD n = free < block ? free : block;
            std::memcpy(ring.GetWritePos(), source.data(), n);
            ring.WriteCommit(n);
        }
        DWORD readable = 0;
        if (ring.GetCanReadSize(&readable)) {
            const DWORD n = readable < block ? readable : block;
            std::memcpy(sink.data(), ring.GetReadPos(), n);
            ring.ReadCommit(n);
        }
        benchmark::DoNotOptimize(sink.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * block);
}
BENCHMARK(BM_RingCacheWriteRead)->Arg(58)->Arg(824)->Arg(4096)->Arg(65536);
