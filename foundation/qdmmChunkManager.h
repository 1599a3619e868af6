// Chunk manager of the engine allocator: hands out 4 MB chunks of address
// space, 4 MB aligned and committed, to the block managers, takes them back,
// and keeps an emergency reserve for when the system refuses more.
//
// Chunks are numbered 0..4095 (so the allocator's block memory is at most
// 16 GB). A number is bound to an address when its chunk is first reserved;
// the per-chunk record of that number is found from any address inside the
// chunk through a two-level table keyed by address >> 22 (13 + 13 bits,
// covering 48-bit addresses). Maps over chunk numbers:
//   free numbers     numbers not bound to a chunk yet
//   spare chunks     committed chunks the block managers gave back; reused
//                    first (highest number first)
//   released chunks  spare chunks whose memory the release thread gave back
//                    to the system; the address range stays reserved, so a
//                    thread that lost a race on a pool list reads zeros there
//                    instead of faulting; reused (recommitted) after spares
// Emergency reserve: five chunks reserved at start (address space only).
// When the system refuses a chunk, the manager calls the release-memory hook
// and tries once more; only then does it commit one of the reserve chunks
// (its entry moves to the used-entries head). While any reserve entry is
// used, the memory-pressure indicator is non-zero; each chunk given back
// then refills the reserve (decommitted) before any chunk becomes spare.
//
// Physical-memory chunks are not supported on this platform (both physical
// flags are false), so GetPhysicalChunk always answers -1.
//
// Concurrency: every path is lock-free (bit maps, list heads, records
// published before their number is set in any map). Start and Stop are not
// concurrent with anything.
//
// Classes: TqdChunkRecord, TqdChunkManager.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/qdllInterlocked.h"
#include "foundation/qdmmBitMap.h"
#include "platform/qdVirtualMemory.h"

namespace qd {

struct TqdBlockClass;

inline constexpr int32_t qdChunkShift = 22;
inline constexpr size_t qdChunkSize = size_t{1} << qdChunkShift;  // 4194304
inline constexpr int32_t qdMaxChunks = TqdBitMap::kBitCount;      // 4096
inline constexpr int32_t qdEmergencyChunks = 5;

// One per chunk number; owned by the chunk manager's record table.
struct TqdChunkRecord {
  // The block class that owns the chunk; nil while it belongs to nobody.
  TqdBlockClass* crOwner;
  int32_t crNumber;
  uint8_t* crBase;
  // The chunk's free blocks (owner's class).
  TqdBitMap crFree;
  // Blocks freed since the last release pass (committed manager only).
  TqdBitMap crFreed;
};

class TqdChunkManager {
 public:
  using TqdReleaseMemoryHook = void (*)(void* aContext);

  explicit TqdChunkManager(IqdVirtualMemory& aMemory);
  TqdChunkManager(const TqdChunkManager&) = delete;
  TqdChunkManager& operator=(const TqdChunkManager&) = delete;
  ~TqdChunkManager();

  // Takes the record table and the emergency reserve; raises std::bad_alloc
  // when the table can not be had.
  void Start();
  // Returns every chunk and table to the system.
  void Stop();

  // A committed chunk (its number), or -1 when none can be had.
  int32_t GetCommittedChunk();
  // Physical chunks are not supported here: always -1.
  int32_t GetPhysicalChunk();
  // false when aChunk is not the start of a chunk of this manager.
  [[nodiscard]] bool FreeChunk(void* aChunk);
  // Gives the memory of every spare chunk back to the system (release
  // thread only).
  void ReleaseSpareChunks();

  // Non-zero while an emergency chunk is in use.
  bool ReserveDrawnOn() const { return qdAtomicLoad(fReserveInUse) != 0; }
  const int32_t* CommittedReserveIndicator() const { return &fReserveInUse; }
  const int32_t* PhysicalReserveIndicator() const { return &fPhysicalReserveInUse; }
  // Emergency chunks still waiting in the reserve.
  int32_t ReserveLeft() const;

  void SetReleaseMemoryHook(TqdReleaseMemoryHook aHook, void* aContext);

  TqdChunkRecord& Record(int32_t aNumber) { return fRecords[aNumber]; }
  // The record of the chunk holding aAddress, or nil.
  TqdChunkRecord* RecordOf(const void* aAddress) const {
    const auto address = reinterpret_cast<uintptr_t>(aAddress);
    if ((address >> kAddressBits) != 0 || fDirectory == nullptr) return nullptr;
    const uintptr_t key = address >> qdChunkShift;
    const uint16_t* leaf = __atomic_load_n(&fDirectory[key >> kLeafBits], __ATOMIC_ACQUIRE);
    if (leaf == nullptr) return nullptr;
    const uint16_t entry = __atomic_load_n(&leaf[key & (kLeafEntries - 1)], __ATOMIC_ACQUIRE);
    return entry == 0 ? nullptr : &fRecords[entry - 1];
  }

  // For tests and statistics.
  int32_t SpareCount() const;
  int32_t ReleasedCount() const;
  int32_t BoundCount() const;

 private:
  // Two-level table: address >> 35 selects a leaf, (address >> 22) & 8191 an
  // entry holding chunk number + 1 (0 = none); 48-bit addresses.
  static constexpr int32_t kLeafBits = 13;
  static constexpr uintptr_t kLeafEntries = uintptr_t{1} << kLeafBits;
  static constexpr int32_t kAddressBits = qdChunkShift + 2 * kLeafBits;

  struct TqdReserveEntry {
    TqdListEntry reLink;
    int32_t reNumber;
  };

  int32_t NewChunk();
  int32_t DrawOnReserve();
  bool BindNumber(int32_t aNumber, uint8_t* aBase);
  void UnbindNumber(int32_t aNumber);
  uint16_t* LeafFor(uintptr_t aKey, bool aCreate);

  IqdVirtualMemory& fMemory;
  bool fStarted = false;
  TqdChunkRecord* fRecords = nullptr;
  uint16_t** fDirectory = nullptr;
  TqdBitMap fFreeNumbers;
  TqdBitMap fSpareChunks;
  TqdBitMap fReleasedChunks;
  TqdListHead fReservedHead;
  TqdListHead fUsedHead;
  TqdReserveEntry fEntries[qdEmergencyChunks];
  int32_t fReserveInUse = 0;
  int32_t fPhysicalReserveInUse = 0;
  TqdReleaseMemoryHook fHook = nullptr;
  void* fHookContext = nullptr;
};

}  // namespace qd
