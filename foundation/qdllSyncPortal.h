// The internal read/write portal: a re-entrant reader/writer lock.
//
// Any number of threads may read, or one thread may write. Reads nest; the
// writer may read and may write again (nested); a thread that reads may ask
// to write and is admitted once every other reader has left. Sections must
// nest properly. Per-thread read depths live in TqdThreadStates, a table of
// 16 hashed buckets of records keyed by the kernel thread id; records are
// added lock-free at a bucket's head and reused, never unlinked, until the
// table is destroyed.
//
// Admission counter rwpPortal: 65535 when idle; each reading thread (other
// than the writer) holds one unit, an admitted writer holds 65535.
//
// Classes: TqdThreadState (record), TqdThreadStates, TqdInternalReadWritePortal.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllThreadAnnotations.h"

namespace qd {

struct TqdThreadState;
using PqdThreadState = TqdThreadState*;

struct TqdThreadState {
  // Next record of the bucket; points at the record itself for the moment
  // between its insertion at the head and the store of the real link.
  std::atomic<PqdThreadState> tsNext;
  std::atomic<int32_t> tsInUse;  // -1 while owned by a thread, 0 when free
  uint32_t tsCount;              // read depth; touched by the owner only
  std::atomic<uint32_t> tsID;    // owner's thread id, 0 when free
};

class TqdThreadStates : public TqdObject {
 public:
  static constexpr uint32_t kBucketCount = 16;

  TqdThreadStates();
  ~TqdThreadStates() override;

  // The record of aThreadID, claiming a free one or adding a new one when
  // the thread has none.
  void Acquire(uint32_t aThreadID, PqdThreadState& aThreadState);
  // Marks the record free for the next thread of its bucket.
  void Release(PqdThreadState aThreadState);

  // Exclusive-or of the id's four bytes, low four bits.
  static uint32_t BucketOf(uint32_t aThreadID);
  // Records linked into a bucket (diagnostics).
  int32_t BucketLength(uint32_t aBucket) const;

 private:
  std::atomic<PqdThreadState> tlcHashTable[kBucketCount];
};

class QD_CAPABILITY("portal") TqdInternalReadWritePortal : public TqdObject {
 public:
  static constexpr int32_t kIdle = 65535;

  TqdInternalReadWritePortal();
  // Waits until every reader and writer has left.
  ~TqdInternalReadWritePortal() override;

  void BeginRead() QD_ACQUIRE_SHARED();
  void EndRead() QD_RELEASE_SHARED();
  // True when no other thread obtained write access between the call and
  // the grant (always true for a nested call by the writer).
  bool BeginWrite() QD_ACQUIRE();
  void EndWrite() QD_RELEASE();

  // Create the portal in aPortal on first use (published by compare-exchange
  // against nil; a loser leaves and frees its copy) and enter it.
  static void CreateAndRead(TqdInternalReadWritePortal*& aPortal);
  static void CreateAndWrite(TqdInternalReadWritePortal*& aPortal);

  // Diagnostics.
  int32_t PortalCounter() const { return rwpPortal.load(); }
  uint32_t WriterID() const { return rwpWriterID.load(); }
  const TqdThreadStates& ThreadStates() const { return rwpThreadStates; }

 private:
  std::atomic<int32_t> rwpPortal{kIdle};
  TqdThreadStates rwpThreadStates;
  TqdOSEvent rwpReadEvent{true, true};     // reset while a writer waits or writes
  TqdOSEvent rwpWriteEvent{false, false};  // wakes one waiting writer
  std::atomic<uint32_t> rwpWriterID{0};
  uint32_t rwpWriterCount = 0;  // touched by the writer only
  std::atomic<uint32_t> rwpGeneration{0};
  // Threads between freeing their share of the portal and their last touch
  // of it; the destructor waits for them.
  std::atomic<int32_t> rwpLeaving{0};
};

}  // namespace qd
