#include "core/ServiceStarter.h"

#include <mutex>
#include <set>
#include <string>

#include "core/ProgramLog.h"
#include "platform/Process.h"
#include "platform/ServiceControl.h"

namespace {

// Units whose start the service manager refused to this process. A service
// user without the right gets the refusal on every check; it is reported
// once, with what to do, until a start succeeds again.
std::mutex g_deniedLock;
std::set<std::string> g_denied;

// True the first time unit is refused since its last successful start.
bool FirstDenial(const char* unit) {
    std::lock_guard<std::mutex> lock(g_deniedLock);
    return g_denied.insert(unit).second;
}

void ForgetDenial(const char* unit) {
    std::lock_guard<std::mutex> lock(g_deniedLock);
    g_denied.erase(unit);
}

}  // namespace

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
    } else if ((err = control->StartUnit(unit)) == ERROR_ACCESS_DENIED) {
        if (FirstDenial(unit)) {
            Log(recorder, LOG_LEVEL_ERROR, texts.classTag, "[%s] Cannot StartService  Err = %u\n", texts.method, err);
            Log(recorder, LOG_LEVEL_WARN, texts.classTag,
                "[%s] User %s May Not Start %s; Start It Yourself Or Allow It With A polkit Rule (see the "
                "installation guide). Not Reported Again Until A Start Succeeds.\n",
                texts.method, CurrentUserName().c_str(), unit);
        }
    } else if (err != ERROR_SUCCESS && !(alreadyRunningIsOk && err == ERROR_SERVICE_ALREADY_RUNNING)) {
        Log(recorder, LOG_LEVEL_ERROR, texts.classTag, "[%s] Cannot StartService  Err = %u\n", texts.method, err);
    } else {
        ForgetDenial(unit);
        if (err == ERROR_SUCCESS) Log(recorder, LOG_LEVEL_INFO, texts.classTag, "%s", texts.startedText);
        ok = true;
    }
    control->Disconnect();
    return ok;
}
