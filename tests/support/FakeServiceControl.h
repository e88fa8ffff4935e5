// A scripted service manager for tests of the code that keeps other
// services running.
#pragma once

#include <string>
#include <vector>

#include "platform/ServiceControl.h"

class CFakeServiceControl final : public IServiceControl {
public:
    DWORD connectError = 0;
    DWORD openError = 0;
    DWORD queryError = 0;
    DWORD startError = 0;
    bool running = true;
    std::vector<std::string> calls;  // "connect", "open <unit>", "query <unit>", "start <unit>", "disconnect"

    DWORD Connect() override {
        calls.push_back("connect");
        return connectError;
    }
    DWORD OpenUnit(const std::string& unit) override {
        calls.push_back("open " + unit);
        return openError;
    }
    DWORD QueryRunning(const std::string& unit, bool* isRunning) override {
        calls.push_back("query " + unit);
        if (queryError == 0) *isRunning = running;
        return queryError;
    }
    DWORD StartUnit(const std::string& unit) override {
        calls.push_back("start " + unit);
        if (startError == 0) running = true;
        return startError;
    }
    void Disconnect() override { calls.push_back("disconnect"); }
};
