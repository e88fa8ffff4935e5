// The registration switches against a temporary unit directory and a stand-in
// for systemd's manager on a private message bus.
#include <fcntl.h>
#include <semaphore.h>
#include <systemd/sd-bus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Process.h"
#include "service/ServiceModule.h"
#include "service/UnitFile.h"
#include "support/ChildProcess.h"
#include "support/TestEnv.h"

namespace {

// Answers Reload and StopUnit as org.freedesktop.systemd1 and records them.
class FakeSystemdManager {
public:
    bool Start(const std::string& address) {
        if (sd_bus_new(&m_bus) < 0 || sd_bus_set_address(m_bus, address.c_str()) < 0 ||
            sd_bus_set_bus_client(m_bus, 1) < 0 || sd_bus_start(m_bus) < 0 ||
            sd_bus_request_name(m_bus, "org.freedesktop.systemd1", 0) < 0 ||
            sd_bus_add_object_vtable(m_bus, nullptr, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                     kVtable, this) < 0)
            return false;
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                if (sd_bus_process(m_bus, nullptr) == 0) sd_bus_wait(m_bus, 50000);
            }
        });
        return true;
    }
    ~FakeSystemdManager() {
        m_stop.store(true);
        if (m_thread.joinable()) m_thread.join();
        sd_bus_flush_close_unref(m_bus);
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    static int OnReload(sd_bus_message* m, void* self, sd_bus_error*) {
        static_cast<FakeSystemdManager*>(self)->Record("Reload");
        return sd_bus_reply_method_return(m, "");
    }
    static int OnStopUnit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* unit = nullptr;
        const char* mode = nullptr;
        if (sd_bus_message_read(m, "ss", &unit, &mode) < 0) return -EINVAL;
        static_cast<FakeSystemdManager*>(self)->Record(std::string("StopUnit ") + unit + " " + mode);
        return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/1");
    }
    void Record(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }
    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Reload", "", "", OnReload, 0),
        SD_BUS_METHOD("StopUnit", "ss", "o", OnStopUnit, 0), SD_BUS_VTABLE_END};

    sd_bus* m_bus = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

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
    const std::string socket = m_dir + "/bus";
    CChildProcess daemon;
    ASSERT_TRUE(daemon.Start("/usr/bin/dbus-daemon",
                             {"--session", "--nofork", "--nopidfile", "--address=unix:path=" + socket}, {},
                             m_dir + "/dbus.out"));
    ASSERT_TRUE(testenv::WaitFor([&] { return GetFileAttributesA(socket.c_str()) != INVALID_FILE_ATTRIBUTES; }, 5000));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    {
        FakeSystemdManager manager;
        ASSERT_TRUE(manager.Start("unix:path=" + socket));
        EXPECT_EQ(CServiceModule::RegisterServer(true), 0);
        EXPECT_EQ(manager.Calls(), (std::vector<std::string>{"Reload"}));
        EXPECT_EQ(CServiceModule::UnregisterServer(), 0);
        EXPECT_EQ(manager.Calls(),
                  (std::vector<std::string>{"Reload", "StopUnit varnholt.service replace", "Reload"}));
    }
    daemon.Signal(SIGTERM);
    int code = 0;
    EXPECT_TRUE(daemon.Wait(5000, &code));
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
