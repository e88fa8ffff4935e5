// Asking the service manager about another service, and starting it.
//
// The service keeps the local MySQL server (mariadb.service) and its watchdog
// (zelkdog.service) running. The steps mirror a service-manager session:
// connect, open the unit, query whether it runs, start it. Each step returns
// 0 or an error number. The process-wide instance talks to systemd over
// sd-bus; tests install a fake.
#pragma once

#include <string>

#include "platform/WinTypes.h"

class IServiceControl {
public:
    virtual ~IServiceControl() = default;
    virtual DWORD Connect() = 0;
    virtual DWORD OpenUnit(const std::string& unit) = 0;
    virtual DWORD QueryRunning(const std::string& unit, bool* running) = 0;
    virtual DWORD StartUnit(const std::string& unit) = 0;
    // Ends the session (always safe to call).
    virtual void Disconnect() = 0;
};

// The process-wide instance (systemd unless a test installed another).
IServiceControl* GetServiceControl();
// Installs control (null restores systemd). The caller keeps ownership.
void SetServiceControl(IServiceControl* control);
