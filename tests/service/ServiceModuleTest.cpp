// The service module: its switches, the main flow, and the registration
// switches against a temporary unit directory and a stand-in for systemd's
// manager on a private message bus.
#include "service/ServiceModule.h"

#include <semaphore.h>

#include "service/Varnholt.h"
#include "support/FakeSystemd.h"
#include "support/Prelude.h"

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

// The main flow's ends run in child processes: the exit event can be set
// only once per process. (A stop's exit line: the console run's test.)
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

class UnitFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testenv::MakeInstallTree() + "/units";
        ASSERT_TRUE(CreateDirectoryA(m_dir.c_str()));
        setenv("VARNHOLT_UNIT_DIR", m_dir.c_str(), 1);
        // No systemd here: by default the bus is unreachable.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + m_dir + "/no-bus").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VARNHOLT_UNIT_DIR");
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    std::string UnitPath() const { return m_dir + "/varnholt.service"; }
    bool UnitExists() const { return GetFileAttributesA(UnitPath().c_str()) != INVALID_FILE_ATTRIBUTES; }

    std::string m_dir;
};

TEST_F(UnitFileTest, ServiceWritesANotifyUnitForThisExecutableOverAnOldOne) {
    testenv::WriteFile(UnitPath(), "[Service]\nExecStart=/old/copy/varnholt\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(CServiceModule::RegisterServer(true), 0);
    // The unreachable manager is reported, not a failure.
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Couldn't open service manager"), std::string::npos);

    const std::string unit = testenv::ReadFile(UnitPath());
    const std::string install = GetEnvString("VARNHOLT_INSTALL_PATH");
    const std::vector<std::string> lines{"Type=notify", "ExecStart=\"" + GetModuleFilePath() + "\"",
                                         "Environment=\"VARNHOLT_INSTALL_PATH=" + install + "\"",
                                         "After=network.target mariadb.service", "LimitNOFILE=65536", "RuntimeDirectory=varnholt",
                                         "RuntimeDirectoryMode=0750", "Restart=on-failure", "TimeoutStopSec=90",
                                         "WantedBy=multi-user.target"};
    for (const std::string& line : lines)
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << " missing in\n" << unit;
    EXPECT_EQ(unit.find("/old/copy"), std::string::npos);
}

TEST_F(UnitFileTest, UnwritableUnitDirectoryFailsWithTheMessage) {
    setenv("VARNHOLT_UNIT_DIR", (m_dir + "/missing").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_NE(CServiceModule::RegisterServer(true), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Couldn't create service"), std::string::npos);
}

// -RegServer and -UnregServer leave no unit, without a manager to reach or
// with one: that one is reloaded and the unit stopped before its removal.
TEST_F(UnitFileTest, UnregServerAndRegServerLeaveNoUnitAndTellTheManager) {
    ASSERT_EQ(CServiceModule::RegisterServer(true), 0);
    EXPECT_EQ(CServiceModule::RegisterServer(false), 0);
    EXPECT_FALSE(UnitExists());
    EXPECT_EQ(CServiceModule::UnregisterServer(), 0);  // nothing to remove is no failure

    CFakeSystemd manager;
    ASSERT_TRUE(manager.Start(m_dir));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", manager.Address().c_str(), 1);
    ASSERT_EQ(CServiceModule::RegisterServer(true), 0);
    EXPECT_EQ(manager.Calls(), (std::vector<std::string>{"Reload"}));
    EXPECT_EQ(CServiceModule::UnregisterServer(), 0);
    EXPECT_EQ(manager.Calls(), (std::vector<std::string>{"Reload", "StopUnit varnholt.service replace", "Reload"}));
    EXPECT_FALSE(UnitExists());
}

TEST(StopAllTest, SetsTheProductExitEventOnceAndFailsWhenNobodyOwnsIt) {
    sem_unlink(kProductExitEventName);
    testing::internal::CaptureStderr();
    EXPECT_NE(CServiceModule::StopAll(0), 0);  // never creates the event
    EXPECT_NE(testing::internal::GetCapturedStderr().find(kProductExitEventName), std::string::npos);

    // Another process of the product owns the event.
    sem_t* event = sem_open(kProductExitEventName, O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(event, SEM_FAILED);
    EXPECT_EQ(CServiceModule::StopAll(0), 0);
    EXPECT_EQ(sem_trywait(event), 0);
    EXPECT_NE(sem_trywait(event), 0);
    sem_close(event);
    sem_unlink(kProductExitEventName);
}

}  // namespace
