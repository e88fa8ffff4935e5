// What the intake tells the process that hosts it, without knowing it: the
// listener reports that the node port listens and that it has ended, the
// registry whether a synchronised node is connected. The service module
// implements this and registers itself at start; without a registered host
// (tests that run the intake in-process) the reports go nowhere.
#pragma once

class CServiceHost {
public:
    virtual ~CServiceHost() = default;

    // The node port listens: from now on the service counts as ready.
    virtual void ReportListening() = 0;
    // The registry's reaper, every pass: true while a live connection of a
    // synchronised node exists (the service runs), false otherwise (paused).
    virtual void ReportNodesConnected(bool running) = 0;
    // The listener's thread ends; failed when it did not end on a stop
    // request. The host then ends its run, with a failure exit code when
    // failed.
    virtual void ListenerEnded(bool failed) = 0;
};

// Registers the host (null: none). Any thread; the host must outlive every
// listener and registry that may report to it.
void SetServiceHost(CServiceHost* host);
// The registered host, or null.
CServiceHost* GetServiceHost();
