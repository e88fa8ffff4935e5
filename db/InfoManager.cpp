#include "db/InfoManager.h"

CInfoManager* CInfoManager::GetInstance() {
    static CInfoManager* instance = new CInfoManager();  // read until the process ends
    return instance;
}
