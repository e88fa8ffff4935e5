#include "db/GlobalSharedData.h"

#include <gtest/gtest.h>

#include "platform/Sync.h"
#include "support/TestEnv.h"

namespace {

TEST(GlobalSharedDataTest, InstallDirIsTwoLevelsAboveTheExecutable) {
    EXPECT_EQ(CGlobalSharedData::DeriveInstallDir("/opt/varnholt/bin/varnholt"), "/opt/varnholt");
    EXPECT_EQ(CGlobalSharedData::DeriveInstallDir("/A/B/program"), "/A");
    EXPECT_EQ(CGlobalSharedData::DeriveInstallDir("/bin/program"), "");
    EXPECT_EQ(CGlobalSharedData::DeriveInstallDir("program"), "");
    EXPECT_EQ(CGlobalSharedData::DeriveInstallDir(""), "");
}

TEST(GlobalSharedDataTest, DirectoriesComeFromTheEnvironment) {
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    ASSERT_TRUE(data->Init());
    const std::string& root = testenv::InstallDir();
    EXPECT_EQ(data->GetInstallDir(), root);
    EXPECT_EQ(data->GetZelkDir(), root + "/Zelk");
    EXPECT_EQ(data->GetLogDir(), root + "/Zelk/Log");
    EXPECT_EQ(data->GetDumpDir(), root + "/Zelk/Dump");
    EXPECT_EQ(data->GetConfigDir(), root + "/Zelk/Config");
    EXPECT_EQ(data->GetDataFileDir(), root + "/Zelk/DataFile");
    EXPECT_EQ(data->GetTempDir(), root + "/Zelk/Temp");
    EXPECT_EQ(data->GetUploadDir(), root + "/htdocs/UploadFiles");
}

TEST(GlobalSharedDataTest, SecondInitChangesNothing) {
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    ASSERT_TRUE(data->Init());
    HANDLE event = data->GetExitEvent();
    std::string config = data->GetConfigDir();
    std::int32_t counter = data->GetLogCounter();
    ASSERT_TRUE(data->Init());
    EXPECT_EQ(data->GetExitEvent(), event);
    EXPECT_EQ(data->GetConfigDir(), config);
    EXPECT_EQ(data->GetLogCounter(), counter);
    EXPECT_EQ(data->WaitForExitEvent(0), WAIT_TIMEOUT);
}

TEST(GlobalSharedDataTest, LogCounterStartsSmallAndIncrements) {
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    ASSERT_TRUE(data->Init());
    std::int32_t start = data->GetLogCounter();
    EXPECT_GE(start, 0);
    EXPECT_LE(start, 32767);
    EXPECT_EQ(data->NextLogCounter(), start + 1);
    EXPECT_EQ(data->NextLogCounter(), start + 2);
}

TEST(GlobalSharedDataTest, RandomSequenceOfTheStartValue) {
    // First values of the generator for seed 1, as the C library of the
    // original platform produced them.
    CLcgRandom random(1);
    EXPECT_EQ(random.Next(), 41);
    EXPECT_EQ(random.Next(), 18467);
    EXPECT_EQ(random.Next(), 6334);
}

}  // namespace
