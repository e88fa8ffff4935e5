#include "service/ServiceModule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "service/Varnholt.h"
#include "platform/Ini.h"
#include "support/DbEnv.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace {

TEST(ServiceModuleTest, SwitchIsTheLastWordIgnoringCase) {
    using S = CommandSwitch;
    // The last word counts, in any case, after '-' or '/'; a bare or unknown
    // word is no switch.
    const std::pair<const char*, CommandSwitch> cases[] = {
        {"foo -Service", S::Service}, {"-CONSOLE", S::Console}, {"/UnregServer", S::UnregServer},
        {"-Console extra", S::None},  {"Console", S::None},         {"/regserver", S::RegServer},
        {"x -stopall", S::StopAll},   {"-Service now", S::None}};
    for (const auto& [line, expected] : cases) EXPECT_EQ(CServiceModule::ParseSwitch(line), expected) << line;
}

// The full main flow runs in a child process: the exit event can be set
// only once per process.
TEST(VarnholtMainDeathTest, StopEndsTheMainFlowWithItsExitLine) {
    EXPECT_EXIT(
        {
            testenv::WriteProgramLog(1, 1, 1, 0, 15, 0);
            // The listener loads the node list at its start: a main
            // database and a free port.
            const std::string mainDb = testdb::UniqueName("flow");
            testdb::CreateDatabase(mainDb, "main.sql");
            testdb::WriteServiceConfig(mainDb);
            WritePrivateProfileStringA("DatabaseConfig", "Port", std::to_string(testnet::FreePort()).c_str(),
                                       (testenv::ConfigDir() + "/Zelk.conf").c_str());
            TestClock::SetLocalTime(SYSTEMTIME{2033, 2, 4, 3, 4, 0, 0, 0});  // Thursday 2033-02-03 04:00
            const std::string path = testenv::LogDir() + "/LogFile_2033_02_03.log";
            testenv::RemoveFile(path);

            // The main flow loads the configuration itself; once it waits on the
            // exit event (a second start adds no thread), stop it as the host does.
            CVarnholt app;
            const auto waiting = [] { return CProgramLogRecorder::GetInstance()->IsInitialised(); };
            if (!app.Start() || !testenv::WaitFor(waiting, 5000) || !app.Start()) std::exit(10);
            app.Stop();
            if (!app.WaitForExit(5000)) std::exit(11);
            // The exit line is written (its shape and count are the console run's test).
            if (testenv::ReadFile(path).find("[VarnholtMain] Exit Normally.\n") == std::string::npos) std::exit(12);
            CVarnholt::UnInitManagers();
            testdb::DropDatabase(mainDb);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

DWORD BlockedMain(void*) {
    // Ignores the exit event: a main thread stuck in some call.
    HANDLE never = CreateEvent(true, false);
    WaitForSingleObject(never, INFINITE);
    return 0;
}

TEST(VarnholtMainDeathTest, StuckMainThreadEndsTheProcessWithCodeZero) {
    EXPECT_EXIT(
        {
            CGlobalSharedData::GetInstance()->Init();
            CVarnholt app(&BlockedMain);
            app.Start();
            CServiceModule::FinishMainFlow(app, 200);
            std::exit(3);  // not reached: the stuck thread ends the process
        },
        ::testing::ExitedWithCode(0), "");
}

DWORD QuickMain(void*) { return 0; }

TEST(VarnholtMainDeathTest, EndedMainThreadLetsTheManagersShutDown) {
    EXPECT_EXIT(
        {
            CGlobalSharedData::GetInstance()->Init();
            CProgramLogRecorder::GetInstance()->Init();
            CVarnholt app(&QuickMain);
            app.Start();
            CServiceModule::FinishMainFlow(app, 5000);
            std::exit(CProgramLogRecorder::GetInstance()->IsInitialised() ? 4 : 5);
        },
        ::testing::ExitedWithCode(5), "");
}

}  // namespace
