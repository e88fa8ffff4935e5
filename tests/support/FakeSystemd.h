// A stand-in for systemd's manager on a private message bus: a dbus-daemon
// child and an sd-bus object named org.freedesktop.systemd1 that answers
// Reload, StopUnit, LoadUnit and the units' ActiveState (always "active"),
// recording the calls.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"

class CFakeSystemd {
public:
    ~CFakeSystemd();
    // Starts the bus at dir/bus and the manager on it; the address is then
    // what DBUS_SYSTEM_BUS_ADDRESS should hold.
    bool Start(const std::string& dir);
    std::string Address() const { return m_address; }
    std::vector<std::string> Calls();

private:
    static int OnReload(sd_bus_message* m, void* self, sd_bus_error*);
    static int OnStopUnit(sd_bus_message* m, void* self, sd_bus_error*);
    static int OnLoadUnit(sd_bus_message* m, void* self, sd_bus_error*);
    static int OnActiveState(sd_bus* bus, const char* path, const char* interface, const char* property,
                             sd_bus_message* reply, void* self, sd_bus_error*);
    static int FindUnit(sd_bus* bus, const char* path, const char* interface, void* self, void** found,
                        sd_bus_error*);
    void Record(const std::string& call);

    CChildProcess m_daemon;
    std::string m_address;
    sd_bus* m_bus = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};
