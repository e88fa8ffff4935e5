#include "service/ServiceModule.h"

int main(int argc, char** argv) { return CServiceModule::GetInstance()->Main(argc, argv); }
