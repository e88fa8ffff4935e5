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
    const std::pair<const char*, CommandSwitch> cases[] = {
        {"-Console", S::Console},   {"/console", S::Console},         {"-CONSOLE", S::Console},
        {"--Console", S::Console},  {"foo -Console", S::Console},     {"-Console extra", S::None},
        {"Console", S::None},       {"", S::None},                    {"-Service", S::Service},
        {"-RegServer", S::RegServer}, {"/UnregServer", S::UnregServer}, {"-stopall", S::StopAll}};
    for (const auto& [line, expected] : cases) EXPECT_EQ(CServiceModule::ParseSwitch(line), expected) << line;
}

// The full main flow runs in a child process: the exit event can be set
// only once per process.
TEST(VarnholtMainDeathTest, StopEndsTheMainFlowWithOneExitLine) {
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
            SYSTEMTIME st{};
            st.wYear = 2033;
            st.wMonth = 2;
            st.wDay = 3;
            st.wHour = 4;
            TestClock::SetLocalTime(st);
            const std::string path = testenv::LogDir() + "/LogFile_2033_02_03.log";
            testenv::RemoveFile(path);

            CVarnholt app;
            if (!app.Start()) std::exit(10);
            // The main flow loads the configuration itself; wait until it
            // waits on the exit event, then stop it as the host thread does.
            if (!testenv::WaitFor([] { return CProgramLogRecorder::GetInstance()->IsInitialised(); }, 5000)) {
                std::exit(11);
            }
            if (!app.Start()) std::exit(12);  // still running: no second thread
            app.Stop();
            if (!app.WaitForExit(5000)) std::exit(13);
            // Exactly one exit line, at INFO level.
            const std::string text = testenv::ReadFile(path);
            const std::string exitLine = "[CVarnholt][VarnholtMain] Exit Normally.\n";
            const size_t at = text.find(exitLine);
            if (at == std::string::npos || text.find("Exit Normally.", at + exitLine.size()) != std::string::npos) {
                std::exit(14);
            }
            const size_t lineStart = text.rfind('\n', at) + 1;  // 0 on the first line
            if (text.substr(lineStart, at - lineStart).find("[INFO]") == std::string::npos) std::exit(15);
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
