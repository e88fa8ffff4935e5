// varnholt-inikey: sets one key of a configuration file, keeping the rest of
// the file (comments included) as it is.
//
// Usage: varnholt-inikey FILE SECTION KEY VALUE
#include <cstdio>

#include "platform/Ini.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: varnholt-inikey FILE SECTION KEY VALUE\n");
        return 2;
    }
    if (!WritePrivateProfileStringA(argv[2], argv[3], argv[4], argv[1])) {
        std::fprintf(stderr, "varnholt-inikey: cannot write %s (error %u)\n", argv[1], GetLastError());
        return 1;
    }
    return 0;
}
