#include "core/RunMode.h"

#include <atomic>

namespace {
std::atomic<bool> g_service{false};
std::atomic<bool> g_console{false};
}  // namespace

void SetRunMode(bool serviceFlag, bool consoleFlag) {
    g_service.store(serviceFlag);
    g_console.store(consoleFlag);
}

bool IsRunningAsService() { return g_service.load() && !g_console.load(); }

bool IsConsoleRun() { return g_console.load(); }
