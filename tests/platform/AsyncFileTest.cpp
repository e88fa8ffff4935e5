// Overlapped writes: completion order, results while in flight, cancel.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/AsyncFile.h"
#include "platform/Sync.h"
#include "support/TestEnv.h"

namespace {

struct Closer {
    void operator()(CKernelObject* h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<CKernelObject, Closer>;

TEST(AsyncFileTest, WritesCompleteInSubmissionOrderAndCancelDropsWhatHasNotStarted) {
    const std::string path = testenv::InstallDir() + "/async-file.dat";
    std::unique_ptr<CAsyncFile> file(CAsyncFile::Create(path.c_str(), true));
    ASSERT_NE(file, nullptr);
    Handle events[3];
    for (Handle& event : events) event.reset(CreateEvent(true, true));
    // Two writes to the same range: the one submitted last must win.
    OVERLAPPED first{0, 0, 0, 0, events[0].get()};
    OVERLAPPED second{0, 0, 0, 0, events[1].get()};
    AsyncFileTestHook::HoldWrites(true);
    EXPECT_FALSE(file->WriteFile("AAAAA", 5, nullptr, &first));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(file->WriteFile("BBBBB", 5, nullptr, &second));
    DWORD written = 99;
    EXPECT_FALSE(file->GetOverlappedResult(&first, &written, false));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(events[0].get(), 0), WAIT_TIMEOUT);
    AsyncFileTestHook::HoldWrites(false);

    ASSERT_TRUE(file->GetOverlappedResult(&second, &written, true));
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(file->GetOverlappedResult(&first, &written, false)) << "the earlier write completed later";
    EXPECT_EQ(WaitForSingleObject(events[0].get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(testenv::ReadFile(path), "BBBBB");

    AsyncFileTestHook::HoldWrites(true);
    OVERLAPPED dropped{0, 0, 5, 0, events[2].get()};
    EXPECT_FALSE(file->WriteFile("CCCCC", 5, nullptr, &dropped));
    EXPECT_TRUE(file->CancelIo());
    AsyncFileTestHook::HoldWrites(false);
    EXPECT_EQ(WaitForSingleObject(events[2].get(), 0), WAIT_OBJECT_0);
    EXPECT_FALSE(file->GetOverlappedResult(&dropped, &written, true));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(written, 0u);
    file.reset();
    EXPECT_EQ(testenv::ReadFile(path), "BBBBB");
}

}  // namespace
