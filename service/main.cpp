#include "platform/CrashHandler.h"
#include "service/ServiceModule.h"

int main(int argc, char** argv) {
    // The host thread gets its alternate signal stack before anything runs on
    // it, so that its stack overflow is reported like any other thread's.
    InstallCrashAltStack();
    return CServiceModule::GetInstance()->Main(argc, argv);
}
