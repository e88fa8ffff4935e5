// Entry point of every test program: gives the program its own install tree
// and debug-view name before anything reads them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/Clock.h"
#include "support/TestEnv.h"

namespace {

// Puts the test clock back after every test (after its TearDown), so that no
// test sees a time another one set.
class ClockReset : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override { TestClock::Reset(); }
};

}  // namespace

int main(int argc, char** argv) {
    // Death-test children re-run this main; they inherit the parent's tree.
    if (getenv("VARNHOLT_TEST_TREE_OWNER") == nullptr) {
        std::string tree = testenv::MakeInstallTree();
        setenv("VARNHOLT_INSTALL_PATH", tree.c_str(), 1);
        setenv("VARNHOLT_TEST_TREE_OWNER", std::to_string(getpid()).c_str(), 1);
        std::string name = "varnholt-test-" + std::to_string(getpid());
        setenv("VARNHOLT_DEBUGVIEW_NAME", name.c_str(), 1);
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ClockReset);
    int rc = RUN_ALL_TESTS();
    if (std::to_string(getpid()) == getenv("VARNHOLT_TEST_TREE_OWNER") && rc == 0) {
        std::string cmd = "rm -rf '" + testenv::InstallDir() + "'";
        if (system(cmd.c_str()) != 0) rc = 1;
    }
    return rc;
}
