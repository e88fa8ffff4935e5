// varnholt-fakesystemd DIR: runs the stand-in systemd manager on a private bus
// under DIR, prints "DBUS_SYSTEM_BUS_ADDRESS=<address>" and serves until
// SIGTERM or SIGINT. Benchmarks and fault scripts use it to run the service
// in service mode (INVOCATION_ID set) where no systemd runs.
#include <csignal>
#include <cstdio>

#include "support/FakeSystemd.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: varnholt-fakesystemd DIR\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    CFakeSystemd manager;
    if (!manager.Start(argv[1])) {
        std::fprintf(stderr, "varnholt-fakesystemd: cannot start the bus in %s\n", argv[1]);
        return 1;
    }
    std::printf("DBUS_SYSTEM_BUS_ADDRESS=%s\n", manager.Address().c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
