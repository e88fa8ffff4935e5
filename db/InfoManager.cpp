#include "db/InfoManager.h"

#include "config/ConfigManager.h"
#include "platform/Files.h"

CInfoManager* CInfoManager::GetInstance() {
    static CInfoManager* instance = new CInfoManager();  // read until the process ends
    return instance;
}

int CInfoManager::HasDiskRoomFor(const std::string& path, std::uint64_t bytes) const {
    std::uint64_t available = 0, total = 0, free = 0;
    if (!GetDiskFreeSpaceExA(path.c_str(), &available, &total, &free)) return 0;
    const std::int32_t minFreeMiB = CConfigManager::GetInstance()->m_Zelk.MinFreeSpace.Get();
    const std::uint64_t keep = static_cast<std::uint64_t>(minFreeMiB > 0 ? minFreeMiB : 0) * 1048576;
    return available > bytes && available - bytes > keep ? 1 : 0;
}
