// The table the commit-loop child changes and the kill test checks: a
// counter V in blocks 1..8 (bytes 16..23 of each), and every fourth commit
// appends a block that holds the value of the commit that added it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/qdLittleEndian.h"
#include "storage/qdsrBufferManager.h"

namespace qd::test {

inline constexpr const char* kCommitLoopTable = "k.qd1";
inline constexpr TqdBlockNumber kCommitLoopCounters = 8;
inline constexpr uint64_t kCommitLoopGrowth = 4;
inline constexpr int32_t kCommitLoopOwner = 1;
// The password of the encrypted variant of the table; the child always
// offers it, and a plain table opens with any password list.
inline constexpr const char16_t* kCommitLoopPassword = u"{7E1A9F02-B6D8-4C3E-A51B-29F6C08D4E17}";

inline uint64_t CommitLoopValue(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans) {
  return qdGetU64(aAccess.GetBlock(aTrans, 1, kCommitLoopOwner, false).Data() + kBlockCommonHeaderSize);
}

// One commit's changes: every counter block to aValue, and a new block
// every kCommitLoopGrowth values.
inline void CommitLoopStep(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, uint64_t aValue) {
  for (TqdBlockNumber n = 1; n <= kCommitLoopCounters; ++n)
    qdPutU64(aAccess.GetBlock(aTrans, n, kCommitLoopOwner, true).WritableData() + kBlockCommonHeaderSize, aValue);
  if (aValue % kCommitLoopGrowth == 0) {
    auto header = aAccess.HeaderAccess(aTrans, true);
    TqdBlockRef block = header->GetNewBlock(aTrans, kCommitLoopOwner);
    qdPutU64(block.WritableData() + kBlockCommonHeaderSize, aValue);
  }
}

// The block count a table holding aValue has.
inline uint32_t CommitLoopUsedBlocks(uint64_t aValue) {
  return uint32_t(1 + kCommitLoopCounters + aValue / kCommitLoopGrowth);
}

}  // namespace qd::test
