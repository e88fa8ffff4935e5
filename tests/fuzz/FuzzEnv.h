// The include prelude and process set-up of the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"

namespace fuzzenv {

// A broken invariant ends the run as a finding.
inline void Require(bool condition) {
    if (!condition) std::abort();
}

// Every log line is formatted (so that its arguments are checked by the
// sanitizers) and then dropped: no file level is enabled, and the debug view
// socket is a name of this process that nobody listens on.
inline void FormatLogLinesOnly() {
    const std::string name = "varnholt-fuzz-" + std::to_string(getpid());
    setenv("VARNHOLT_DEBUGVIEW_NAME", name.c_str(), 1);
    CProgramLogRecorder::GetInstance()->Init();
    ProgramLogSettings log = CProgramLogRecorder::GetSettings();
    log.globalEnable = 1;
    log.txtLogEnable = 1;
    log.logLevel = 0;
    CProgramLogRecorder::ApplySettings(log);
}

// A throw-away install tree with its working folders (in memory where the
// system offers it), removed at exit; the shared data points at it.
inline std::string MakeInstallTree() {
    static std::string root;
    std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    pattern += "/varnholt-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    std::filesystem::create_directories(root + "/Zelk/Config");
    std::atexit([] { std::filesystem::remove_all(root); });
    setenv("VARNHOLT_INSTALL_PATH", root.c_str(), 1);
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    if (!data->Init() || !data->CreateWorkingDirectories()) std::abort();
    return root;
}

}  // namespace fuzzenv
