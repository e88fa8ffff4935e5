#include "db/GlobalSharedData.h"

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Process.h"

CGlobalSharedData* CGlobalSharedData::GetInstance() {
    // Never destroyed: detached threads may still read the directories or
    // wait on the exit event while the process ends.
    static CGlobalSharedData* instance = new CGlobalSharedData();
    return instance;
}

CGlobalSharedData::CGlobalSharedData() : m_hExitEvent(CreateEvent(true, false)) {}

std::string CGlobalSharedData::DeriveInstallDir(const std::string& executablePath) {
    std::string path = executablePath;
    for (int level = 0; level < 2; ++level) {
        size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return std::string();
        path.resize(slash);
    }
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

void CGlobalSharedData::ComputeDirectories() {
    std::string install = GetEnvString("VARNHOLT_INSTALL_PATH");
    while (install.size() > 1 && install.back() == '/') install.pop_back();
    if (install.empty() || install == "/") install = DeriveInstallDir(GetModuleFilePath());
    if (install.empty()) return;

    m_strInstallDir = install;
    m_strZelkDir = install + "/Zelk";
    m_strLogDir = m_strZelkDir + "/Log";
    m_strDumpDir = m_strZelkDir + "/Dump";
    m_strConfigDir = m_strZelkDir + "/Config";
    m_strDataFileDir = m_strZelkDir + "/DataFile";
    m_strTempDir = m_strZelkDir + "/Temp";
    m_strUploadDir = install + "/htdocs/UploadFiles";
}

bool CGlobalSharedData::Init() {
    if (IsInitialised()) return true;

    if (m_hExitEvent == nullptr) m_hExitEvent = CreateEvent(true, false);
    if (m_strInstallDir.empty()) ComputeDirectories();

    bool locks = InitializeCriticalSectionAndSpinCount(&m_csNodeList, kCsSpinCount);
    locks = InitializeCriticalSectionAndSpinCount(&m_csTypeName, kCsSpinCount) && locks;
    locks = InitializeCriticalSectionAndSpinCount(&m_csCrash, kCsSpinCount) && locks;
    locks = InitializeCriticalSectionAndSpinCount(&m_csSpare, kCsSpinCount) && locks;

    const std::string* dirs[] = {&m_strInstallDir, &m_strZelkDir,     &m_strLogDir,  &m_strDumpDir,
                                 &m_strConfigDir,  &m_strDataFileDir, &m_strTempDir, &m_strUploadDir};
    bool dirsOk = true;
    for (const std::string* d : dirs) dirsOk = dirsOk && !d->empty();

    if (m_hExitEvent != nullptr && dirsOk && locks) m_nInitialised.store(1);

    CLcgRandom random(GetTickCount());
    m_nLogCounter.store(random.Next());
    return IsInitialised();
}

DWORD CGlobalSharedData::WaitForExitEvent(DWORD timeoutMs) {
    if (!IsInitialised()) return WAIT_FAILED;
    return WaitForSingleObject(m_hExitEvent, timeoutMs);
}

bool CGlobalSharedData::SetExitEvent() { return m_hExitEvent != nullptr && SetEvent(m_hExitEvent); }
