// The workload of the kill trial and the model it is checked against.
//
// Two tables ("a.qd1", "b.qd1") each hold a set of slots: a slot is one
// data block whose every content byte is derived from (seed, table, slot id,
// version), the version being the number of the commit that last wrote it.
// Block 1 of each table is its directory, rewritten by every commit:
//
//   offset size content
//        0    4 signature "KTDR" (data blocks: "KTDB")
//        4   12 block number and LSN (the block's common header)
//       16    8 number of the commit that wrote the directory
//       24    4 next free slot id
//       28    4 slot count n
//       32 12*n per slot, ascending by id: id, version, block number
//        -    - up to the usable size: the pattern of (table, kDirectorySlot,
//               commit)
//
// Commit c changes both tables in one transaction by a plan that depends
// only on the seed, c, the slot set before it and whether the committing run
// makes large commits: it frees some slots, overwrites others and allocates
// new ones (in either order), so the used-block count moves both ways and
// freed numbers are handed out again, sometimes within the same commit. The
// checker replays the same plans on the model alone, so the state after any
// commit is known without the engine.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/qdLittleEndian.h"

namespace qd::killtrial {

inline constexpr int kTables = 2;
inline constexpr const char* kTableNames[kTables] = {"a.qd1", "b.qd1"};
inline constexpr int32_t kOwner = 1;
inline constexpr uint32_t kDirectoryBlock = 1;
inline constexpr uint32_t kDirectorySlot = 0xFFFFFFFF;
inline constexpr uint32_t kContentStart = 16;
inline constexpr uint32_t kDirCommit = 16;
inline constexpr uint32_t kDirNextId = 24;
inline constexpr uint32_t kDirCount = 28;
inline constexpr uint32_t kDirEntries = 32;
inline constexpr uint32_t kDirEntrySize = 12;
inline constexpr char kDataSignature[5] = "KTDB";
inline constexpr char kDirectorySignature[5] = "KTDR";

// How the slot sets move.
inline constexpr uint32_t kInitialSlots = 24;
inline constexpr uint32_t kMinSlots = 4;
inline constexpr uint32_t kMaxSlots = 300;  // the directory holds 338 at 4 KB
inline constexpr uint32_t kSmallOps = 6;
inline constexpr uint32_t kLargeOps = 120;
inline constexpr uint64_t kLargeEvery = 16;   // every n-th commit is large in any run
inline constexpr uint64_t kPhaseLength = 40;  // commits of growing, then of shrinking

inline uint64_t ktMix(uint64_t aValue) {
  aValue += 0x9E3779B97F4A7C15ull;
  aValue = (aValue ^ (aValue >> 30)) * 0xBF58476D1CE4E5B9ull;
  aValue = (aValue ^ (aValue >> 27)) * 0x94D049BB133111EBull;
  return aValue ^ (aValue >> 31);
}

// The content bytes [kContentStart, aUsable) of a slot's block.
inline void ktFillPattern(uint8_t* aBlock, uint32_t aUsable, uint64_t aSeed, int aTable, uint32_t aSlot,
                          uint64_t aVersion) {
  const uint64_t key = ktMix(ktMix(ktMix(aSeed + uint64_t(aTable)) + aSlot) + aVersion);
  for (uint32_t at = kContentStart, word = 0; at < aUsable; at += 8, ++word) {
    uint8_t bytes[8];
    qdPutU64(bytes, ktMix(key ^ ktMix(word)));
    for (uint32_t i = 0; i < 8 && at + i < aUsable; ++i) aBlock[at + i] = bytes[i];
  }
}

struct TktSlot {
  uint32_t sId;
  uint32_t sVersion;
  uint32_t sBlock;  // 0 in the model: block numbers are the engine's choice
};

struct TktTableState {
  uint32_t tsNextId = kInitialSlots;
  std::vector<TktSlot> tsSlots;  // ascending by id
};

struct TktState {
  uint64_t stCommit = 0;
  TktTableState stTables[kTables];
};

inline TktState ktInitialState() {
  TktState state;
  for (TktTableState& table : state.stTables)
    for (uint32_t id = 0; id < kInitialSlots; ++id) table.tsSlots.push_back({id, 0, 0});
  return state;
}

// One table's share of a commit; frees and overwrites are indexes into the
// slot list before the commit.
struct TktTablePlan {
  std::vector<uint32_t> tpFrees;
  std::vector<uint32_t> tpOverwrites;
  uint32_t tpNewCount = 0;
  bool tpAllocateFirst = false;
};

class TktRandom {
 public:
  TktRandom(uint64_t aSeed, uint64_t aCommit, int aTable) : fState(ktMix(ktMix(aSeed ^ aCommit) + uint64_t(aTable))) {}
  uint64_t Next() { return ktMix(fState += 0x632BE59BD9B4E019ull); }
  // Uniform in [0, aBound].
  uint32_t Upto(uint32_t aBound) { return uint32_t(Next() % (uint64_t(aBound) + 1)); }

 private:
  uint64_t fState;
};

inline TktTablePlan ktPlan(const TktTableState& aState, uint64_t aSeed, uint64_t aCommit, int aTable, bool aLarge) {
  TktRandom random(aSeed, aCommit, aTable);
  const auto slots = uint32_t(aState.tsSlots.size());
  const uint32_t budget = aLarge || aCommit % kLargeEvery == 0 ? kLargeOps : kSmallOps;
  const bool growing = (aCommit / kPhaseLength) % 2 == 0;
  uint32_t frees = random.Upto(growing ? budget / 4 : budget / 2 + 1);
  uint32_t news = random.Upto(growing ? budget / 2 + 1 : budget / 4);
  frees = slots - kMinSlots < frees ? slots - kMinSlots : frees;
  const uint32_t room = kMaxSlots - (slots - frees);
  news = news > room ? room : news;
  uint32_t overwrites = 1 + random.Upto(budget - 1);
  overwrites = overwrites > slots - frees ? slots - frees : overwrites;
  // A partial shuffle picks the freed slots, then the overwritten ones.
  std::vector<uint32_t> order(slots);
  for (uint32_t i = 0; i < slots; ++i) order[i] = i;
  for (uint32_t i = 0; i < frees + overwrites; ++i) std::swap(order[i], order[i + random.Upto(slots - 1 - i)]);
  TktTablePlan plan;
  plan.tpFrees.assign(order.begin(), order.begin() + frees);
  plan.tpOverwrites.assign(order.begin() + frees, order.begin() + frees + overwrites);
  plan.tpNewCount = news;
  plan.tpAllocateFirst = (random.Next() & 1) != 0;
  return plan;
}

// The table after aPlan of commit aCommit; aNewBlocks and aOverwritten give
// the engine's block numbers (the model passes none).
inline void ktApply(TktTableState& aTable, const TktTablePlan& aPlan, uint64_t aCommit,
                    const std::vector<uint32_t>& aNewBlocks = {}) {
  std::vector<bool> freed(aTable.tsSlots.size(), false);
  for (uint32_t index : aPlan.tpFrees) freed[index] = true;
  for (uint32_t index : aPlan.tpOverwrites) aTable.tsSlots[index].sVersion = uint32_t(aCommit);
  std::vector<TktSlot> kept;
  kept.reserve(aTable.tsSlots.size() + aPlan.tpNewCount);
  for (size_t i = 0; i < aTable.tsSlots.size(); ++i)
    if (!freed[i]) kept.push_back(aTable.tsSlots[i]);
  for (uint32_t i = 0; i < aPlan.tpNewCount; ++i)
    kept.push_back({aTable.tsNextId++, uint32_t(aCommit), i < aNewBlocks.size() ? aNewBlocks[i] : 0});
  aTable.tsSlots = std::move(kept);
}

inline TktState ktNext(const TktState& aState, uint64_t aSeed, bool aLarge) {
  TktState next = aState;
  ++next.stCommit;
  for (int t = 0; t < kTables; ++t)
    ktApply(next.stTables[t], ktPlan(aState.stTables[t], aSeed, next.stCommit, t, aLarge), next.stCommit);
  return next;
}

}  // namespace qd::killtrial
