// Locked (interlocked) operations, lock-free LIFO list heads and the
// thread's client version.
//
// Locked operations act on plain cells that are shared between threads and
// changed only by these routines; each is one locked instruction.
//
// A list head pairs the first entry with a sequence word and is replaced as
// a whole by one 16-byte compare-exchange, so an entry that was popped and
// pushed again never makes a stale read compare equal (no ABA). Plain heads
// count every push and pop in `lhSequence`; depth-counted heads keep a
// 16-bit sequence in its low half and the 16-bit depth (number of entries)
// in its high half. Entries must stay readable while they may still be on a
// list, as the allocator's blocks do.
//
// Classes: TqdListEntry, TqdListHead.
#pragma once

#include <cstdint>

namespace qd {

// --- Locked operations on 32-bit cells and pointers -----------------------

inline int32_t qdInterlockedCompareExchange(int32_t& aTarget, int32_t aNewValue, int32_t aComparand) {
  __atomic_compare_exchange_n(&aTarget, &aComparand, aNewValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return aComparand;
}

inline uint32_t qdInterlockedCompareExchange(uint32_t& aTarget, uint32_t aNewValue, uint32_t aComparand) {
  __atomic_compare_exchange_n(&aTarget, &aComparand, aNewValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return aComparand;
}

template <typename T>
inline T* qdInterlockedCompareExchangePointer(T*& aTarget, T* aNewValue, T* aComparand) {
  __atomic_compare_exchange_n(&aTarget, &aComparand, aNewValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return aComparand;
}

template <typename T>
inline T* qdInterlockedCompareExchangeObject(T*& aTarget, T* aNewValue, T* aComparand) {
  return qdInterlockedCompareExchangePointer(aTarget, aNewValue, aComparand);
}

inline int32_t qdInterlockedExchange(int32_t& aTarget, int32_t aValue) {
  return __atomic_exchange_n(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

inline uint32_t qdInterlockedExchange(uint32_t& aTarget, uint32_t aValue) {
  return __atomic_exchange_n(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

template <typename T>
inline T* qdInterlockedExchangePointer(T*& aTarget, T* aValue) {
  return __atomic_exchange_n(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

inline int32_t qdInterlockedExchangeAdd(int32_t& aTarget, int32_t aValue) {
  return __atomic_fetch_add(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

inline int32_t qdInterlockedAdd(int32_t& aTarget, int32_t aValue) {
  return __atomic_add_fetch(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

inline uint32_t qdInterlockedAddCardinal(uint32_t& aTarget, uint32_t aValue) {
  return __atomic_add_fetch(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

inline int32_t qdInterlockedSub(int32_t& aTarget, int32_t aValue) {
  return __atomic_sub_fetch(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

inline int32_t qdInterlockedIncrement(int32_t& aTarget) { return __atomic_add_fetch(&aTarget, 1, __ATOMIC_SEQ_CST); }

inline uint32_t qdInterlockedIncrementCardinal(uint32_t& aTarget) {
  return __atomic_add_fetch(&aTarget, 1u, __ATOMIC_SEQ_CST);
}

inline int32_t qdInterlockedDecrement(int32_t& aTarget) { return __atomic_sub_fetch(&aTarget, 1, __ATOMIC_SEQ_CST); }

// 64-bit counters (statistics) use the same locked add.
inline int64_t qdInterlockedAdd64(int64_t& aTarget, int64_t aValue) {
  return __atomic_add_fetch(&aTarget, aValue, __ATOMIC_SEQ_CST);
}

// Plain atomic read of a shared cell that other threads change without a
// lock held by the reader.
template <typename T>
inline T qdAtomicLoad(const T& aCell) {
  return __atomic_load_n(&aCell, __ATOMIC_ACQUIRE);
}

// --- Lock-free list heads -------------------------------------------------

struct TqdListEntry {
  TqdListEntry* leNext;
};
using PqdListEntry = TqdListEntry*;

struct alignas(16) TqdListHead {
  PqdListEntry lhFirst;
  uint32_t lhSequence;
  uint32_t lhReserved;  // keeps the pair at 16 bytes for the compare-exchange
};
static_assert(sizeof(TqdListHead) == 16);

void qdListHeadInit(TqdListHead& aHead);
// Returns the previous first entry.
PqdListEntry qdListHeadPush(TqdListHead& aHead, PqdListEntry aEntry);
// Pushes a pre-linked chain First..Last in one step; returns the previous first.
PqdListEntry qdListHeadPushChain(TqdListHead& aHead, PqdListEntry aFirst, PqdListEntry aLast);
// nil when empty; the sequence then stays as it was.
PqdListEntry qdListHeadPop(TqdListHead& aHead);
// Takes the whole chain; the sequence stays as it was.
PqdListEntry qdListHeadPopAll(TqdListHead& aHead);

// Depth-counted heads. Push returns the new depth, or 0 (head unchanged)
// when depth + 1 would exceed aMaxDepth. Pop returns nil when empty or when
// depth - 1 would fall below aMinDepth.
uint16_t qdDepthListHeadPush(TqdListHead& aHead, PqdListEntry aEntry, uint16_t aMaxDepth);
PqdListEntry qdDepthListHeadPop(TqdListHead& aHead, uint16_t aMinDepth);

inline uint16_t qdDepthListHeadDepth(const TqdListHead& aHead) {
  return static_cast<uint16_t>(qdAtomicLoad(aHead.lhSequence) >> 16);
}

// --- The thread's client version ------------------------------------------

// The engine's own (newest) client version; older numbers select older
// forms of streams, error markup and replies.
inline constexpr uint32_t qdCurrentClientVersion = 47501;

// The thread's value, 47501 when never set (0).
uint32_t qdThreadClientVersion();
// The same, limited to at most 47501 (signed comparison).
int32_t qdThreadClientVersionClamped();
// 0 restores the default. Only servers of older clients set it.
void qdSetThreadClientVersion(uint32_t aVersion);

}  // namespace qd
