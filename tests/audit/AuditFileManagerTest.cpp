// The audit file registry: IDs, the per-file lock and the missing range the
// end of an upload reports.
#include "audit/AuditFileManager.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

std::pair<DWORD, DWORD> Missing(std::int64_t stored, DWORD block, std::vector<std::pair<DWORD, DWORD>> ranges) {
    AuditFileInfo info;
    info.storedDataSize = stored;
    info.blockSize = block;
    info.ranges = std::move(ranges);
    DWORD begin = 0xFFFFFFFF, end = 0xFFFFFFFF;
    if (!CAuditFileManager::GetInstance()->GetAuditFileLostBlockInfo(&info, &begin, &end)) return {0xFFFFFFFF, 0};
    return {begin, end};
}

TEST(AuditFileManagerTest, IdsCountUpAndAFileIsWorkedOnByOneThreadAtATime) {
    CAuditFileManager* registry = CAuditFileManager::GetInstance();
    AuditFileInfo* first = registry->CreateNewAuditFileInfo();
    AuditFileInfo* second = registry->CreateNewAuditFileInfo();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->fileId, first->fileId + 1);
    EXPECT_EQ(registry->LockAuditFileInfoByFileID(first->fileId), first);
    EXPECT_EQ(registry->LockAuditFileInfoByFileID(first->fileId), nullptr);
    EXPECT_EQ(registry->GetAuditFileInfoByFileID(first->fileId), nullptr);
    registry->UnLockAuditFileInfoByFileID(first->fileId);
    EXPECT_EQ(registry->LockAuditFileInfoByFileID(first->fileId), first);
    const DWORD id = second->fileId;
    registry->ReleaseAuditFileInfoByFileID(first->fileId);
    registry->ReleaseAuditFileInfoByFileID(id);
    EXPECT_EQ(registry->GetAuditFileInfoByFileID(id), nullptr);
    EXPECT_EQ(registry->Count(), 0u);
}

TEST(AuditFileManagerTest, MissingRangeIsRaisedToWholeBlocks) {
    EXPECT_EQ(Missing(10000, 4096, {}), std::make_pair(0u, 12288u));
    EXPECT_EQ(Missing(10000, 4096, {{0, 4096}, {8192, 12288}}), std::make_pair(4096u, 8192u));
    EXPECT_EQ(Missing(10000, 4096, {{0, 5000}}), std::make_pair(4096u, 12288u));
    EXPECT_EQ(Missing(10000, 1, {}), std::make_pair(0u, 10000u));
    // A block size that is no power of two is raised by division, not a mask.
    EXPECT_EQ(Missing(10000, 3000, {}), std::make_pair(0u, 12000u));
    EXPECT_EQ(Missing(10000, 0, {{0, 5000}}).first, 0xFFFFFFFFu);  // no block size: no answer
}

}  // namespace
