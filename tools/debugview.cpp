// varnholt-debugview: prints the debug output of a running Varnholt service.
//
// Usage: varnholt-debugview [-name NAME|PATH] [-count N]
// Each line the service sends to the debug view arrives as one datagram on
// the socket file "debugview.sock" (or NAME) in the service's runtime folder,
// which only the service user and root may enter: run this as one of them.
// The folder is /run/varnholt while systemd runs the service, else the install
// tree's Zelk/Run; a NAME holding a '/' is the socket's path itself. A socket
// file left by a viewer that ended is replaced. With -count the program ends
// after N lines.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Process.h"

namespace {

// How often a quiet viewer checks that its socket file is still in place.
constexpr DWORD kRebindCheckMs = 1000;

// The service's socket of name: under systemd in its runtime folder, which
// this process (not started by systemd) knows only by its fixed place.
std::string SocketOf(const std::string& name) {
    struct stat st {};
    if (name.find('/') == std::string::npos && GetEnvString("RUNTIME_DIRECTORY").empty() &&
        GetEnvString("VARNHOLT_DEBUGVIEW_NAME").empty() &&
        stat(kServiceRuntimeDir, &st) == 0 && S_ISDIR(st.st_mode)) {
        return std::string(kServiceRuntimeDir) + "/" + name;
    }
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = DebugViewSocketName();
    long count = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-name") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else if (std::strcmp(argv[i], "-count") == 0 && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: varnholt-debugview [-name NAME|PATH] [-count N]\n");
            return 2;
        }
    }
    name = SocketOf(name);
    CDebugViewListener listener;
    if (!listener.Open(name)) {
        std::fprintf(stderr,
                     "varnholt-debugview: cannot listen on %s , Err = %u (another viewer may be running, or the "
                     "folder belongs to another user)\n",
                     DebugViewSocketPath(name).c_str(), GetLastError());
        return 1;
    }
    std::string text;
    bool reported = false;
    for (long received = 0; count < 0 || received < count;) {
        if (!listener.Receive(&text, kRebindCheckMs)) {
            // systemd empties the runtime folder when the service restarts:
            // listen again once the folder is back.
            if (!listener.IsStillBound() && !listener.Open(name) && !reported) {
                std::fprintf(stderr, "varnholt-debugview: %s is gone, waiting for the service\n",
                             listener.Path().c_str());
                reported = true;
            }
            if (listener.IsStillBound()) reported = false;
            continue;
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
        ++received;
    }
    return 0;
}
