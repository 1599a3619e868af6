#include "foundation/qdllSyncPortal.h"

#include <new>
#include <thread>

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

// Follows a bucket link, waiting out the moment in which a record just put
// at the head still links to itself.
PqdThreadState nextState(PqdThreadState aState) {
  PqdThreadState next;
  while ((next = aState->tsNext.load()) == aState) std::this_thread::yield();
  return next;
}

}  // namespace

// --- TqdThreadStates -------------------------------------------------------

TqdThreadStates::TqdThreadStates() {
  for (auto& head : tlcHashTable) head.store(nullptr);
}

TqdThreadStates::~TqdThreadStates() {
  for (auto& head : tlcHashTable) {
    PqdThreadState state = head.exchange(nullptr);
    while (state != nullptr) {
      PqdThreadState next = state->tsNext.load();
      state->~TqdThreadState();
      qdFreeMem(state);
      state = next;
    }
  }
}

uint32_t TqdThreadStates::BucketOf(uint32_t aThreadID) {
  return (aThreadID ^ (aThreadID >> 8) ^ (aThreadID >> 16) ^ (aThreadID >> 24)) & (kBucketCount - 1);
}

int32_t TqdThreadStates::BucketLength(uint32_t aBucket) const {
  int32_t length = 0;
  for (PqdThreadState state = tlcHashTable[aBucket].load(); state != nullptr; state = nextState(state)) ++length;
  return length;
}

void TqdThreadStates::Acquire(uint32_t aThreadID, PqdThreadState& aThreadState) {
  std::atomic<PqdThreadState>& head = tlcHashTable[BucketOf(aThreadID)];
  for (PqdThreadState state = head.load(); state != nullptr; state = nextState(state)) {
    if (state->tsID.load() == aThreadID) {
      aThreadState = state;
      return;
    }
  }
  PqdThreadState claimed = nullptr;
  for (PqdThreadState state = head.load(); state != nullptr; state = nextState(state)) {
    if (state->tsInUse.exchange(-1) != -1) {
      claimed = state;
      break;
    }
  }
  if (claimed == nullptr) {
    void* memory = nullptr;
    qdGetMem(memory, sizeof(TqdThreadState));
    claimed = new (memory) TqdThreadState;
    claimed->tsID.store(0);
    claimed->tsCount = 0;
    claimed->tsInUse.store(-1);
    claimed->tsNext.store(claimed);
    claimed->tsNext.store(head.exchange(claimed));
  }
  uint32_t expected = 0;
  claimed->tsID.compare_exchange_strong(expected, aThreadID);
  if (claimed->tsID.load() != aThreadID) qdAssertFailed("qdllSyncPortal", "tsID = aThreadID");
  aThreadState = claimed;
}

void TqdThreadStates::Release(PqdThreadState aThreadState) {
  aThreadState->tsID.exchange(0);
  aThreadState->tsInUse.exchange(0);
}

// --- TqdInternalReadWritePortal ----------------------------------------------

TqdInternalReadWritePortal::TqdInternalReadWritePortal() = default;

TqdInternalReadWritePortal::~TqdInternalReadWritePortal() QD_NO_THREAD_SAFETY_ANALYSIS {
  (void)BeginWrite();
  // A thread that has just let the portal go may still be waking writers;
  // the events must outlive that.
  while (rwpLeaving.load() != 0) std::this_thread::yield();
}

void TqdInternalReadWritePortal::BeginRead() {
  const uint32_t threadID = qdGetCurrentThreadID();
  PqdThreadState state;
  rwpThreadStates.Acquire(threadID, state);
  ++state->tsCount;
  if (rwpWriterID.load() == threadID || state->tsCount >= 2) return;
  (void)rwpReadEvent.WaitFor(kInfinite);
  for (;;) {
    if (rwpPortal.fetch_sub(1) - 1 > 0) return;
    if (rwpPortal.fetch_add(1) + 1 == kIdle) rwpWriteEvent.SetEvent();
    std::this_thread::yield();
    (void)rwpReadEvent.WaitFor(kInfinite);
  }
}

void TqdInternalReadWritePortal::EndRead() {
  const uint32_t threadID = qdGetCurrentThreadID();
  PqdThreadState state;
  rwpThreadStates.Acquire(threadID, state);
  // A stray EndRead would wrap the depth and leave the thread reading
  // without a unit from then on, unseen by writers.
  if (state->tsCount == 0) qdAssertFailed("qdllSyncPortal", "EndRead without BeginRead");
  if (--state->tsCount > 0) return;
  rwpThreadStates.Release(state);
  if (rwpWriterID.load() == threadID) return;
  rwpLeaving.fetch_add(1);
  const int32_t portal = rwpPortal.fetch_add(1) + 1;
  qdTestPoint("Portal.EndRead.Counted");
  // Writers that are trying to enter have each taken 65535 off for the moment.
  if (portal == kIdle || (portal <= 0 && portal % kIdle == 0)) rwpWriteEvent.SetEvent();
  rwpLeaving.fetch_sub(1);
}

bool TqdInternalReadWritePortal::BeginWrite() {
  const uint32_t threadID = qdGetCurrentThreadID();
  if (rwpWriterID.load() == threadID) {
    ++rwpWriterCount;
    return true;
  }
  rwpReadEvent.ResetEvent();
  const uint32_t generation = rwpGeneration.load();
  qdTestPoint("Portal.BeginWrite.Requested");
  PqdThreadState state;
  rwpThreadStates.Acquire(threadID, state);
  const bool holdsRead = state->tsCount > 0;
  if (holdsRead) rwpPortal.fetch_add(1);
  for (;;) {
    if (rwpPortal.fetch_add(-kIdle) == kIdle) break;
    qdTestPoint("Portal.BeginWrite.Subtracted");
    // Seeing 0 while undoing means everybody left meanwhile: retry at once.
    if (rwpPortal.fetch_add(kIdle) != 0) {
      qdTestPoint("Portal.BeginWrite.Waiting");
      (void)rwpWriteEvent.WaitFor(kInfinite);
    }
  }
  rwpReadEvent.ResetEvent();
  if (holdsRead) rwpPortal.fetch_sub(1);
  rwpWriterID.store(threadID);
  const bool undisturbed = rwpGeneration.fetch_add(1) + 1 == generation + 1;
  ++rwpWriterCount;
  return undisturbed;
}

void TqdInternalReadWritePortal::EndWrite() {
  const uint32_t threadID = qdGetCurrentThreadID();
  if (rwpWriterID.load() != threadID) qdAssertFailed("qdllSyncPortal", "EndWrite by the writer");
  PqdThreadState state;
  rwpThreadStates.Acquire(threadID, state);
  // The record goes first: once the portal is free this thread no longer
  // touches it beyond the two wake-ups.
  if (state->tsCount == 0) rwpThreadStates.Release(state);
  if (--rwpWriterCount == 0) {
    rwpLeaving.fetch_add(1);
    rwpWriterID.store(0);
    rwpPortal.fetch_add(kIdle);
    rwpWriteEvent.SetEvent();
    rwpReadEvent.SetEvent();
    rwpLeaving.fetch_sub(1);
  }
}

void TqdInternalReadWritePortal::CreateAndRead(TqdInternalReadWritePortal*& aPortal) QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdInternalReadWritePortal* portal = qdAtomicLoad(aPortal);
  if (portal == nullptr) {
    auto* fresh = new TqdInternalReadWritePortal;
    fresh->BeginRead();
    portal = qdInterlockedCompareExchangePointer(aPortal, fresh, static_cast<TqdInternalReadWritePortal*>(nullptr));
    if (portal == nullptr) return;
    fresh->EndRead();
    delete fresh;
  }
  portal->BeginRead();
}

void TqdInternalReadWritePortal::CreateAndWrite(TqdInternalReadWritePortal*& aPortal) QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdInternalReadWritePortal* portal = qdAtomicLoad(aPortal);
  if (portal == nullptr) {
    auto* fresh = new TqdInternalReadWritePortal;
    (void)fresh->BeginWrite();
    portal = qdInterlockedCompareExchangePointer(aPortal, fresh, static_cast<TqdInternalReadWritePortal*>(nullptr));
    if (portal == nullptr) return;
    fresh->EndWrite();
    delete fresh;
  }
  (void)portal->BeginWrite();
}

}  // namespace qd
