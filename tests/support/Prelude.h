// The include prelude of the test programs: GoogleTest, the standard headers
// most tests use, what every test program brings up (shared data, program
// log, configuration, the connection pool) with the platform's threads,
// events, files and INI files, the test clock and the shared helpers; and the
// fixture of a test that reads back its own program log.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "support/ChildProcess.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace testenv {

// A test that logs to a day file of its own (UseFreshLogDay at SetUp).
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { m_log = UseFreshLogDay(); }

    std::string LogText() const { return ReadFile(m_log); }
    bool Logged(const std::string& part) const { return Contains(LogText(), part); }
    size_t LogCount(const std::string& part) const { return CountOccurrences(LogText(), part); }
    // Waits until part has been logged (times times).
    bool WaitForLog(const std::string& part, DWORD timeoutMs, size_t times = 1) const {
        return WaitFor([&] { return LogCount(part) >= times; }, timeoutMs);
    }

    std::string m_log;
};

}  // namespace testenv
