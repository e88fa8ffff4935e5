// Makes sure another service (the MySQL server, the watchdog) runs: asks the
// service manager whether the unit is active and starts it when it is not.
#pragma once

#include "platform/WinTypes.h"

struct ServiceStartTexts {
    const char* classTag;     // "[CSQLConnManager]"
    const char* method;       // "MakeMySqlOK": prefixes every message in brackets
    const char* startedText;  // full INFO line logged after a successful start
};

// True when the unit runs or a start was requested successfully. An
// "already running" answer to the start counts as success when
// alreadyRunningIsOk. Each failing step is logged at ERROR with its error.
bool EnsureServiceRunning(const char* unit, const ServiceStartTexts& texts, bool alreadyRunningIsOk);
