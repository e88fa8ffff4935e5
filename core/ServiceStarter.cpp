#include "core/ServiceStarter.h"

#include "core/ProgramLog.h"
#include "platform/ServiceControl.h"

bool EnsureServiceRunning(const char* unit, const ServiceStartTexts& texts, bool alreadyRunningIsOk) {
    CProgramLogRecorder* recorder = CProgramLogRecorder::GetInstance();
    IServiceControl* control = GetServiceControl();
    DWORD err = control->Connect();
    if (err != ERROR_SUCCESS) {
        Log(recorder, LOG_LEVEL_ERROR, texts.classTag, "[%s] Cannot Open SCManager Err = %u\n", texts.method, err);
        return false;
    }
    bool ok = false;
    bool running = false;
    if ((err = control->OpenUnit(unit)) != ERROR_SUCCESS) {
        Log(recorder, LOG_LEVEL_ERROR, texts.classTag, "[%s] Cannot Open Service Err = %u\n", texts.method, err);
    } else if ((err = control->QueryRunning(unit, &running)) != ERROR_SUCCESS) {
        Log(recorder, LOG_LEVEL_ERROR, texts.classTag, "[%s] Cannot QueryServiceStatus  Err = %u\n", texts.method,
            err);
    } else if (running) {
        ok = true;
    } else if ((err = control->StartUnit(unit)) != ERROR_SUCCESS &&
               !(alreadyRunningIsOk && err == ERROR_SERVICE_ALREADY_RUNNING)) {
        Log(recorder, LOG_LEVEL_ERROR, texts.classTag, "[%s] Cannot StartService  Err = %u\n", texts.method, err);
    } else {
        if (err == ERROR_SUCCESS) Log(recorder, LOG_LEVEL_INFO, texts.classTag, "%s", texts.startedText);
        ok = true;
    }
    control->Disconnect();
    return ok;
}
