// How the process runs: under the service manager, or in console mode.
// Set once by the service host before the main thread starts.
#pragma once

void SetRunMode(bool serviceFlag, bool consoleFlag);
// True when the process runs as the service (service flag set, console flag
// not): only then are other services queried and started.
bool IsRunningAsService();
bool IsConsoleRun();
