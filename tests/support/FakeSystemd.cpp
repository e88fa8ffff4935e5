#include "support/FakeSystemd.h"

#include <csignal>
#include <cstring>

#include "platform/Files.h"
#include "support/TestEnv.h"

namespace {

constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kUnitPrefix[] = "/org/freedesktop/systemd1/unit";

}  // namespace

CFakeSystemd::~CFakeSystemd() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    if (m_bus != nullptr) sd_bus_flush_close_unref(m_bus);
    if (m_daemon.Pid() > 0) {
        m_daemon.Signal(SIGTERM);
        int code = 0;
        m_daemon.Wait(5000, &code);
    }
}

bool CFakeSystemd::Start(const std::string& dir) {
    m_address = "unix:path=" + dir + "/bus";
    if (!m_daemon.Start("/usr/bin/dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + m_address},
                        {}, dir + "/dbus.out"))
        return false;
    // The socket file appears when the daemon binds it, a moment before it
    // listens: connecting is tried until it succeeds.
    const auto connect = [&] {
        m_bus = sd_bus_unref(m_bus);
        return sd_bus_new(&m_bus) >= 0 && sd_bus_set_address(m_bus, m_address.c_str()) >= 0 &&
               sd_bus_set_bus_client(m_bus, 1) >= 0 && sd_bus_start(m_bus) >= 0;
    };
    if (!testenv::WaitFor(connect, 5000)) return false;

    static constexpr sd_bus_vtable kManager[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Reload", "", "", OnReload, 0),
        SD_BUS_METHOD("StopUnit", "ss", "o", OnStopUnit, 0), SD_BUS_METHOD("LoadUnit", "s", "o", OnLoadUnit, 0),
        SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kUnit[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("ActiveState", "s", OnActiveState, 0, 0), SD_BUS_VTABLE_END};
    if (sd_bus_request_name(m_bus, "org.freedesktop.systemd1", 0) < 0 ||
        sd_bus_add_object_vtable(m_bus, nullptr, kManagerPath, "org.freedesktop.systemd1.Manager", kManager, this) <
            0 ||
        sd_bus_add_fallback_vtable(m_bus, nullptr, kUnitPrefix, "org.freedesktop.systemd1.Unit", kUnit, FindUnit,
                                   this) < 0)
        return false;
    m_thread = std::thread([this] {
        while (!m_stop.load()) {
            if (sd_bus_process(m_bus, nullptr) == 0) sd_bus_wait(m_bus, 50000);
        }
    });
    return true;
}

std::vector<std::string> CFakeSystemd::Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void CFakeSystemd::Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
}

int CFakeSystemd::OnReload(sd_bus_message* m, void* self, sd_bus_error*) {
    static_cast<CFakeSystemd*>(self)->Record("Reload");
    return sd_bus_reply_method_return(m, "");
}

int CFakeSystemd::OnStopUnit(sd_bus_message* m, void* self, sd_bus_error*) {
    const char* unit = nullptr;
    const char* mode = nullptr;
    if (sd_bus_message_read(m, "ss", &unit, &mode) < 0) return -EINVAL;
    static_cast<CFakeSystemd*>(self)->Record(std::string("StopUnit ") + unit + " " + mode);
    return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/1");
}

int CFakeSystemd::OnLoadUnit(sd_bus_message* m, void* self, sd_bus_error*) {
    const char* unit = nullptr;
    if (sd_bus_message_read(m, "s", &unit) < 0) return -EINVAL;
    static_cast<CFakeSystemd*>(self)->Record(std::string("LoadUnit ") + unit);
    char* path = nullptr;
    if (sd_bus_path_encode(kUnitPrefix, unit, &path) < 0) return -ENOMEM;
    const int r = sd_bus_reply_method_return(m, "o", path);
    free(path);
    return r;
}

int CFakeSystemd::OnActiveState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                                sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "active");
}

int CFakeSystemd::FindUnit(sd_bus*, const char*, const char*, void* self, void** found, sd_bus_error*) {
    *found = self;
    return 1;
}
