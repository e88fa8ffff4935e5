// The registration switches against a temporary unit directory and a stand-in
// for systemd's manager on a private message bus.
#include <fcntl.h>
#include <semaphore.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Process.h"
#include "service/ServiceModule.h"
#include "service/UnitFile.h"
#include "support/FakeSystemd.h"
#include "support/TestEnv.h"

namespace {

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
    const std::vector<std::string> lines{"Type=notify",
                                         "ExecStart=\"" + GetModuleFilePath() + "\"",
                                         "Environment=\"VARNHOLT_INSTALL_PATH=" + install + "\"",
                                         "After=mariadb.service",
                                         "LimitNOFILE=65536",
                                         "RuntimeDirectory=varnholt",
                                         "RuntimeDirectoryMode=0750",
                                         "Restart=on-failure",
                                         "TimeoutStopSec=90",
                                         "WantedBy=multi-user.target"};
    for (const std::string& line : lines)
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << " missing in\n" << unit;
    EXPECT_EQ(unit.find("/old/copy"), std::string::npos);
}

TEST_F(UnitFileTest, UnregServerAndRegServerLeaveNoUnit) {
    ASSERT_EQ(CServiceModule::RegisterServer(true), 0);
    EXPECT_EQ(CServiceModule::UnregisterServer(), 0);
    EXPECT_FALSE(UnitExists());
    EXPECT_EQ(CServiceModule::UnregisterServer(), 0);  // nothing to remove is no failure

    ASSERT_EQ(CServiceModule::RegisterServer(true), 0);
    EXPECT_EQ(CServiceModule::RegisterServer(false), 0);
    EXPECT_FALSE(UnitExists());
}

TEST_F(UnitFileTest, UnwritableUnitDirectoryFailsWithTheMessage) {
    setenv("VARNHOLT_UNIT_DIR", (m_dir + "/missing").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_NE(CServiceModule::RegisterServer(true), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Couldn't create service"), std::string::npos);
}

TEST_F(UnitFileTest, ManagerIsReloadedAndTheUnitStoppedBeforeRemoval) {
    CFakeSystemd manager;
    ASSERT_TRUE(manager.Start(m_dir));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", manager.Address().c_str(), 1);
    EXPECT_EQ(CServiceModule::RegisterServer(true), 0);
    EXPECT_EQ(manager.Calls(), (std::vector<std::string>{"Reload"}));
    EXPECT_EQ(CServiceModule::UnregisterServer(), 0);
    EXPECT_EQ(manager.Calls(), (std::vector<std::string>{"Reload", "StopUnit varnholt.service replace", "Reload"}));
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
