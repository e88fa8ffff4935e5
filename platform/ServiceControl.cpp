#include "platform/ServiceControl.h"

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstring>

namespace {

constexpr char kDestination[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManagerInterface[] = "org.freedesktop.systemd1.Manager";
constexpr char kUnitInterface[] = "org.freedesktop.systemd1.Unit";

DWORD FromSdError(int r) { return MapErrno(r < 0 ? -r : r); }

// One session per call sequence; systemd's bus is opened by Connect and
// closed by Disconnect.
class CSystemdServiceControl final : public IServiceControl {
public:
    ~CSystemdServiceControl() override { Disconnect(); }

    DWORD Connect() override {
        Disconnect();
        int r = sd_bus_open_system(&m_bus);
        if (r < 0) {
            m_bus = nullptr;
            return FromSdError(r);
        }
        return ERROR_SUCCESS;
    }

    DWORD OpenUnit(const std::string& unit) override {
        if (m_bus == nullptr) return ERROR_INVALID_HANDLE;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(m_bus, kDestination, kManagerPath, kManagerInterface, "LoadUnit", &error, &reply,
                                   "s", unit.c_str());
        const char* path = nullptr;
        if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
        if (r >= 0 && path != nullptr) m_unitPath = path;
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return r < 0 ? FromSdError(r) : ERROR_SUCCESS;
    }

    DWORD QueryRunning(const std::string& /*unit*/, bool* running) override {
        if (m_bus == nullptr || m_unitPath.empty()) return ERROR_INVALID_HANDLE;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        char* state = nullptr;
        int r = sd_bus_get_property_string(m_bus, kDestination, m_unitPath.c_str(), kUnitInterface, "ActiveState",
                                           &error, &state);
        if (r >= 0) *running = state != nullptr && std::strcmp(state, "active") == 0;
        free(state);
        sd_bus_error_free(&error);
        return r < 0 ? FromSdError(r) : ERROR_SUCCESS;
    }

    DWORD StartUnit(const std::string& unit) override {
        if (m_bus == nullptr) return ERROR_INVALID_HANDLE;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(m_bus, kDestination, kManagerPath, kManagerInterface, "StartUnit", &error, &reply,
                                   "ss", unit.c_str(), "replace");
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return r < 0 ? FromSdError(r) : ERROR_SUCCESS;
    }

    void Disconnect() override {
        if (m_bus != nullptr) sd_bus_flush_close_unref(m_bus);
        m_bus = nullptr;
        m_unitPath.clear();
    }

private:
    sd_bus* m_bus = nullptr;
    std::string m_unitPath;
};

std::atomic<IServiceControl*> g_override{nullptr};

}  // namespace

IServiceControl* GetServiceControl() {
    if (IServiceControl* control = g_override.load()) return control;
    // Each caller thread gets its own bus session: sd-bus objects are not
    // shared between threads.
    thread_local CSystemdServiceControl systemd;
    return &systemd;
}

void SetServiceControl(IServiceControl* control) { g_override.store(control); }
