#include "node/ServiceHost.h"

#include <atomic>

namespace {

std::atomic<CServiceHost*> g_host{nullptr};

}  // namespace

void SetServiceHost(CServiceHost* host) { g_host.store(host, std::memory_order_release); }

CServiceHost* GetServiceHost() { return g_host.load(std::memory_order_acquire); }
