#include "foundation/qdmmBlockManagerBase.h"

#include "foundation/qdllInterlocked.h"

namespace qd {

namespace {

constexpr int32_t kClassShifts[qdBlockClassCount] = {12, 13, 14, 15, 16, qdChunkShift};

TqdBlockClass* ownerOf(const TqdChunkRecord& aRecord) { return __atomic_load_n(&aRecord.crOwner, __ATOMIC_ACQUIRE); }

}  // namespace

TqdBlockManagerBase::TqdBlockManagerBase(TqdChunkManager& aChunks, IqdVirtualMemory& aMemory, bool aKeepsFreedMarks)
    : fChunks(aChunks), fMemory(aMemory), fKeepsFreedMarks(aKeepsFreedMarks) {
  Start();
}

void TqdBlockManagerBase::Start() {
  for (int32_t i = 0; i < qdBlockClassCount; ++i) {
    TqdBlockClass& blockClass = fClasses[i];
    blockClass.bcIndex = i;
    blockClass.bcShift = kClassShifts[i];
    blockClass.bcSize = size_t{1} << kClassShifts[i];
    blockClass.bcMask = blockClass.bcSize - 1;
    blockClass.bcNegSize = -static_cast<intptr_t>(blockClass.bcSize);
    const size_t blocks = qdChunkSize / blockClass.bcSize;
    blockClass.bcWordCount = blocks == 1 ? 0 : static_cast<int32_t>(blocks / TqdBitMap::kWordBits);
    blockClass.bcFullMask = blockClass.bcWordCount == 0 ? 0 : (uint64_t{1} << blockClass.bcWordCount) - 1;
    blockClass.bcManager = this;
    blockClass.bcChunks.Clear();
  }
}

void TqdBlockManagerBase::Stop() {
  for (auto& blockClass : fClasses) blockClass.bcChunks.Clear();
}

void TqdBlockManagerBase::DropFullChunk(TqdBlockClass& aClass, TqdChunkRecord& aRecord) {
  aClass.bcChunks.ClearBit(aRecord.crNumber);
  // A block freed between the take and the clear would otherwise leave the
  // chunk out of the class's map for good.
  if (!aRecord.crFree.IsEmpty() && ownerOf(aRecord) == &aClass) aClass.bcChunks.SetBit(aRecord.crNumber);
}

void* TqdBlockManagerBase::AllocBlock(TqdBlockClass& aClass) {
  for (;;) {
    const int32_t number = aClass.bcChunks.FindHighest();
    if (number < 0) {
      const int32_t fresh = AcquireChunk();
      if (fresh < 0) return nullptr;
      TqdChunkRecord& record = fChunks.Record(fresh);
      record.crFreed.Clear();
      if (aClass.bcWordCount == 0) {
        __atomic_store_n(&record.crOwner, &aClass, __ATOMIC_RELEASE);
        return record.crBase;
      }
      record.crFree.FillWords(aClass.bcWordCount);
      __atomic_store_n(&record.crOwner, &aClass, __ATOMIC_RELEASE);
      aClass.bcChunks.SetBit(fresh);
      continue;
    }
    TqdChunkRecord& record = fChunks.Record(number);
    bool becameEmpty = false;
    const int32_t block = record.crFree.TakeHighest(&becameEmpty);
    if (block < 0) {
      // Another thread took the last block or the chunk is being given
      // back; make sure the chunk leaves the map and look again.
      DropFullChunk(aClass, record);
      continue;
    }
    if (becameEmpty) DropFullChunk(aClass, record);
    if (ownerOf(record) == &aClass) return record.crBase + (static_cast<size_t>(block) << aClass.bcShift);
    // The chunk changed hands in between: the bit is not ours to take.
    record.crFree.SetBit(block);
  }
}

bool TqdBlockManagerBase::FreeBlock(TqdBlockClass& aClass, void* aBlock) {
  TqdChunkRecord* record = fChunks.RecordOf(aBlock);
  if (record == nullptr || ownerOf(*record) != &aClass) return false;
  const auto offset = static_cast<size_t>(static_cast<uint8_t*>(aBlock) - record->crBase);
  if ((offset & aClass.bcMask) != 0) return false;
  if (aClass.bcWordCount == 0) {
    TqdBlockClass* expected = &aClass;
    if (!__atomic_compare_exchange_n(&record->crOwner, &expected, nullptr, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
      return false;
    }
    return fChunks.FreeChunk(record->crBase);
  }
  const auto block = static_cast<int32_t>(offset >> aClass.bcShift);
  if (fKeepsFreedMarks) record->crFreed.SetBit(block);
  bool wasEmpty = false;
  if (!record->crFree.SetBit(block, &wasEmpty)) return false;
  if (wasEmpty) aClass.bcChunks.SetBit(record->crNumber);
  return true;
}

void TqdBlockManagerBase::ReleasePass() {
  for (auto& blockClass : fClasses) {
    if (blockClass.bcWordCount != 0) ReleasePass(blockClass);
  }
}

void TqdBlockManagerBase::ReleasePass(TqdBlockClass& aClass) {
  for (int32_t word = TqdBitMap::kWordCount - 1; word >= 0; --word) {
    uint64_t bits = qdAtomicLoad(aClass.bcChunks.bmWords[word]);
    while (bits != 0) {
      const int32_t bit = 63 - __builtin_clzll(bits);
      bits &= ~(uint64_t{1} << bit);
      TqdChunkRecord& record = fChunks.Record(word * TqdBitMap::kWordBits + bit);
      if (ownerOf(record) != &aClass) continue;
      if (record.crFree.FullSummary() != aClass.bcFullMask) {
        // Partly used: it keeps its blocks.
        record.crFreed.Clear();
        continue;
      }
      if (!aClass.bcChunks.ClearBit(record.crNumber)) continue;
      int32_t taken = 0;
      while (taken < aClass.bcWordCount && record.crFree.TakeFullWord(taken)) ++taken;
      if (taken < aClass.bcWordCount) {
        // A block was taken meanwhile: put everything back.
        for (int32_t w = 0; w < taken; ++w) record.crFree.RestoreFullWord(w);
        record.crFreed.Clear();
        aClass.bcChunks.SetBit(record.crNumber);
        continue;
      }
      (void)fMemory.Reset(record.crBase, qdChunkSize);  // only a hint to the system
      record.crFreed.Clear();
      __atomic_store_n(&record.crOwner, static_cast<TqdBlockClass*>(nullptr), __ATOMIC_RELEASE);
      (void)fChunks.FreeChunk(record.crBase);  // the chunk is ours: cannot be refused
    }
  }
}

TqdBlockClass* TqdBlockManagerBase::ClassOf(const void* aBlock) {
  TqdChunkRecord* record = fChunks.RecordOf(aBlock);
  if (record == nullptr) return nullptr;
  TqdBlockClass* owner = ownerOf(*record);
  if (owner == nullptr || owner->bcManager != this) return nullptr;
  return owner;
}

}  // namespace qd
