#include "db/GlobalSharedData.h"

#include "support/Prelude.h"

namespace {

TEST(GlobalSharedDataTest, InstallDirIsTwoLevelsAboveTheExecutableOrThePackagedTree) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/varnholt/bin/varnholt", "/opt/varnholt"}, {"/A/B/program", "/A"},   {"/bin/program", ""},
        {"/usr/sbin/varnholt", "/var/lib/varnholt"},      {"/usr/bin/varnholt-info", "/var/lib/varnholt"},
        {"/usr/local/bin/varnholt", "/usr/local"},        {"program", ""},         {"", ""}};
    for (const auto& [program, dir] : cases) EXPECT_EQ(InstallDirOf(program), dir) << program;
}

TEST(GlobalSharedDataTest, DirectoriesComeFromTheEnvironmentAndSurviveASecondInit) {
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    ASSERT_TRUE(data->Init());
    const std::string& root = testenv::InstallDir();
    EXPECT_EQ(data->GetInstallDir(), root);
    EXPECT_EQ(data->GetLogDir(), root + "/Zelk/Log");
    EXPECT_EQ(data->GetUploadDir(), root + "/htdocs/UploadFiles");

    // A second Init keeps the exit event (threads may wait on it), the
    // directories and the log counter, which starts small and counts up.
    HANDLE event = GetExitEvent();
    const std::int32_t counter = data->GetLogCounter();
    ASSERT_TRUE(data->Init());
    EXPECT_EQ(GetExitEvent(), event);
    EXPECT_EQ(WaitForExitEvent(0), WAIT_TIMEOUT);
    EXPECT_EQ(data->GetConfigDir(), root + "/Zelk/Config");
    EXPECT_EQ(data->GetLogCounter(), counter);
    EXPECT_GE(counter, 0);
    EXPECT_LE(counter, 32767);
    EXPECT_EQ(data->NextLogCounter(), counter + 1);
    EXPECT_EQ(data->NextLogCounter(), counter + 2);
}

}  // namespace
