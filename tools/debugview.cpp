// varnholt-debugview: prints the debug output of running Varnholt processes.
//
// Usage: varnholt-debugview [-name NAME] [-count N]
// Each line the service sends to the debug view arrives as one datagram on the
// abstract Unix socket "@varnholt-debugview" (or NAME) and is printed as is.
// With -count the program ends after N lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Process.h"

int main(int argc, char** argv) {
    std::string name = DebugViewSocketName();
    long count = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-name") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else if (std::strcmp(argv[i], "-count") == 0 && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: varnholt-debugview [-name NAME] [-count N]\n");
            return 2;
        }
    }
    CDebugViewListener listener;
    if (!listener.Open(name)) {
        std::fprintf(stderr, "varnholt-debugview: cannot listen on @%s (another viewer may be running)\n",
                     name.c_str());
        return 1;
    }
    std::string text;
    for (long received = 0; count < 0 || received < count;) {
        if (!listener.Receive(&text, INFINITE)) continue;
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
        ++received;
    }
    return 0;
}
