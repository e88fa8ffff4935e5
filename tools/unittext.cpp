// Prints the systemd unit of the Debian package (the package build installs
// it as /lib/systemd/system/varnholt.service): one text for the package and
// for "varnholt -Service".
#include <cstdio>
#include <string>

#include "service/UnitFile.h"

int main() {
    const std::string text = BuildUnitText(kPackagedExecutable, kPackagedInstallDir, UnitKind::kPackaged);
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
