#include "db/InfoManager.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Ini.h"

namespace {

constexpr char kClassTag[] = "[CInfoManager]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

bool SameAddress(const sockaddr* a, const sockaddr* b) {
    if (a->sa_family != b->sa_family) return false;
    if (a->sa_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    }
    if (a->sa_family == AF_INET6) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
    }
    return false;
}

// Loopback, or the address of one of this host's interfaces.
bool IsOwnAddress(const sockaddr* address) {
    if (IsLoopback(address)) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool own = false;
    for (ifaddrs* it = list; it != nullptr && !own; it = it->ifa_next) {
        if (it->ifa_addr != nullptr) own = SameAddress(it->ifa_addr, address);
    }
    freeifaddrs(list);
    return own;
}

}  // namespace

CInfoManager* CInfoManager::GetInstance() {
    static CInfoManager* instance = new CInfoManager();  // read until the process ends
    return instance;
}

bool CInfoManager::Init() {
    if (IsInitialised()) return true;
    SYSTEMTIME st;
    GetLocalTime(&st);
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    {
        std::lock_guard<std::mutex> lock(m_StateLock);
        m_strStartTime = text;
    }
    // The timed functions count from now; the info thread is not running yet.
    const DWORD now = GetTickCount();
    for (RealTimeInfoFunc& row : m_Funcs) row.lastRunTick = now;
    if (!m_InfoThread.Start(&CInfoManager::InfoThread, this)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Init] Cannot Create Info Thread. Err = %u\n", GetLastError());
        return false;
    }
    m_nInitialised.store(1);
    return true;
}

bool CInfoManager::UnInit() {
    m_nInitialised.store(0);
    m_InfoThread.Stop(kInfoStopWaitMs);
    return true;
}

std::string CInfoManager::GetStartTime() const {
    std::lock_guard<std::mutex> lock(m_StateLock);
    return m_strStartTime;
}

DWORD CInfoManager::InfoThread(void* param) {
    auto* manager = static_cast<CInfoManager*>(param);
    while (manager->m_InfoThread.WaitPeriod(manager->m_dwInfoStepMs.load()) == WAIT_TIMEOUT) {
        manager->Exec_RealTimeInfo_Func();
    }
    return 0;
}

void CInfoManager::Exec_RealTimeInfo_Func() {
    // Elapsed time is taken from the tick count, not from the number of
    // calls, so that a slow check does not stretch the interval.
    const DWORD now = GetTickCount();
    for (RealTimeInfoFunc& row : m_Funcs) {
        if (now - row.lastRunTick < row.intervalMs) continue;
        row.lastRunTick = now;
        if ((this->*row.func)() == 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Exec_RealTimeInfo_Func] Exec Func = %s Fail!\n", row.name);
        }
    }
}

int CInfoManager::RealTimeInfo_DiskSpace() {
    std::lock_guard<std::mutex> lock(m_DiskCheckLock);
    CConfigManager* config = CConfigManager::GetInstance();
    const std::string dataDir = config->m_MySqld.datadir.Get();
    if (!IsMySqlDataDirLocal()) {
        // The disk of a remote server cannot be measured from here; ISFULL
        // keeps the value of Zelk.conf.
        if (!m_bDiskCheckSkipped) {
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
                "[RealTimeInfo_DiskSpace] Disk Check Skipped: MySQL Data Not On This Host. DataDir = %s , "
                "DBServer = %s\n",
                dataDir.c_str(), config->m_Zelk.DBServer.Get().c_str());
        }
        m_bDiskCheckSkipped = true;
        return 1;
    }
    m_bDiskCheckSkipped = false;

    // The file system that holds datadir is the counterpart of its drive.
    // What MySQL may still use: the space free to unprivileged writers, not
    // the root reserve that ext4 keeps beside it.
    std::uint64_t available = 0;
    const bool measured = GetDiskFreeSpaceExA(dataDir.c_str(), &available, nullptr, nullptr);
    const int full = measured && IsDiskFull(available, config->m_Zelk.MinFreeSpace.Get()) ? 1 : 0;
    if (full == config->m_Zelk.ISFULL.Get()) return 1;

    config->m_Zelk.ISFULL.Set(full);
    const std::string path = CGlobalSharedData::GetInstance()->GetConfigDir() + "/Zelk.conf";
    char value[16];
    std::snprintf(value, sizeof(value), "%d", full);
    if (!WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", value, path.c_str())) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[RealTimeInfo_DiskSpace] Cannot Write ISFULL To %s. Err = %u\n",
            path.c_str(), GetLastError());
    }
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
        full != 0 ? "[RealTimeInfo_DiskSpace] Disk Is Full!\n" : "[RealTimeInfo_DiskSpace] Disk Is Not Full!\n");
    return 1;
}

int CInfoManager::HasDiskRoomFor(const std::string& path, std::uint64_t bytes) const {
    std::uint64_t available = 0, total = 0, free = 0;
    if (!GetDiskFreeSpaceExA(path.c_str(), &available, &total, &free)) return 0;
    const std::int32_t minFreeMiB = CConfigManager::GetInstance()->m_Zelk.MinFreeSpace.Get();
    const std::uint64_t keep = static_cast<std::uint64_t>(minFreeMiB > 0 ? minFreeMiB : 0) * 1048576;
    return available > bytes && available - bytes > keep ? 1 : 0;
}

bool CInfoManager::IsDiskFull(std::uint64_t freeBytes, std::int32_t minFreeMiB) {
    return static_cast<std::int64_t>(freeBytes >> 20) <= static_cast<std::int64_t>(minFreeMiB);
}

bool CInfoManager::IsLocalHost(const std::string& host) {
    if (host.empty() || strcasecmp(host.c_str(), "localhost") == 0) return true;
    sockaddr_in v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return IsOwnAddress(reinterpret_cast<const sockaddr*>(&v4));
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return IsOwnAddress(reinterpret_cast<const sockaddr*>(&v6));
    }
    char own[256] = {};
    if (gethostname(own, sizeof(own) - 1) == 0 && strcasecmp(own, host.c_str()) == 0) return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    bool local = false;
    for (addrinfo* it = found; it != nullptr && !local; it = it->ai_next) {
        if (it->ai_addr != nullptr) local = IsOwnAddress(it->ai_addr);
    }
    freeaddrinfo(found);
    return local;
}

bool CInfoManager::IsMySqlDataDirLocal() {
    CConfigManager* config = CConfigManager::GetInstance();
    return !config->m_MySqld.datadir.Get().empty() && IsLocalHost(config->m_Zelk.DBServer.Get());
}
