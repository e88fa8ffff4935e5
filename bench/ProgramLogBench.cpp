// Cost of one program-log line that goes to the debug view only (the common
// case of a level that the file does not take): formatting without
// allocation, plus one datagram.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "core/ProgramLog.h"

static void BM_LogLineToDebugView(benchmark::State& state) {
    // Settings as loaded from a ProgramLog.conf with the file output off.
    ProgramLogSettings settings = CProgramLogRecorder::GetSettings();
    settings.globalEnable = 1;
    settings.debugViewEnable = 1;
    settings.txtLogEnable = 0;
    CProgramLogRecorder::ApplySettings(settings);
    setenv("VARNHOLT_DEBUGVIEW_NAME", "varnholt-bench-nobody", 1);
    CProgramLogRecorder* recorder = CProgramLogRecorder::GetInstance();
    recorder->Init();
    int i = 0;
    for (auto _ : state) {
        Log(recorder, LOG_LEVEL_DEBUG, "[CNodeLogRecordTask]", "[DispatchLog] Check Log Type = %u Succeed\n", i++ & 15);
    }
}
BENCHMARK(BM_LogLineToDebugView);
