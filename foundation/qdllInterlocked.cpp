#include "foundation/qdllInterlocked.h"

#include <cstring>

namespace qd {

namespace {

// The head as one 16-byte value for cmpxchg16b.
using HeadBits = unsigned __int128;

struct HeadValue {
  PqdListEntry first;
  uint32_t sequence;
  uint32_t reserved;
};
static_assert(sizeof(HeadValue) == sizeof(HeadBits));

HeadBits toBits(const HeadValue& value) {
  HeadBits bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Reads the pair with two atomic 8-byte loads. A torn read (the head changed
// between them) is harmless: the compare-exchange that follows then fails
// and the loop reads again.
HeadValue readHead(TqdListHead& head) {
  HeadValue value;
  value.first = __atomic_load_n(&head.lhFirst, __ATOMIC_ACQUIRE);
  value.sequence = __atomic_load_n(&head.lhSequence, __ATOMIC_ACQUIRE);
  value.reserved = 0;
  return value;
}

// The reserved word is 0 from qdListHeadInit on and never changes.
bool replaceHead(TqdListHead& head, const HeadValue& expected, const HeadValue& desired) {
  auto* cell = reinterpret_cast<HeadBits*>(&head);
  return __sync_bool_compare_and_swap(cell, toBits(expected), toBits(desired));
}

PqdListEntry readNext(PqdListEntry entry) { return __atomic_load_n(&entry->leNext, __ATOMIC_RELAXED); }

uint32_t depthSequence(uint16_t depth, uint16_t sequence) { return (static_cast<uint32_t>(depth) << 16) | sequence; }

thread_local uint32_t threadClientVersion = 0;

}  // namespace

void qdListHeadInit(TqdListHead& aHead) {
  aHead.lhFirst = nullptr;
  aHead.lhSequence = 0;
  aHead.lhReserved = 0;
}

PqdListEntry qdListHeadPush(TqdListHead& aHead, PqdListEntry aEntry) {
  return qdListHeadPushChain(aHead, aEntry, aEntry);
}

PqdListEntry qdListHeadPushChain(TqdListHead& aHead, PqdListEntry aFirst, PqdListEntry aLast) {
  for (;;) {
    HeadValue old = readHead(aHead);
    __atomic_store_n(&aLast->leNext, old.first, __ATOMIC_RELAXED);
    if (replaceHead(aHead, old, HeadValue{aFirst, old.sequence + 1, 0})) return old.first;
  }
}

PqdListEntry qdListHeadPop(TqdListHead& aHead) {
  for (;;) {
    HeadValue old = readHead(aHead);
    if (old.first == nullptr) return nullptr;
    if (replaceHead(aHead, old, HeadValue{readNext(old.first), old.sequence + 1, 0})) return old.first;
  }
}

PqdListEntry qdListHeadPopAll(TqdListHead& aHead) {
  for (;;) {
    HeadValue old = readHead(aHead);
    if (old.first == nullptr) return nullptr;
    if (replaceHead(aHead, old, HeadValue{nullptr, old.sequence, 0})) return old.first;
  }
}

uint16_t qdDepthListHeadPush(TqdListHead& aHead, PqdListEntry aEntry, uint16_t aMaxDepth) {
  for (;;) {
    HeadValue old = readHead(aHead);
    const uint32_t depth = old.sequence >> 16;
    if (depth + 1 > aMaxDepth) return 0;
    const auto newDepth = static_cast<uint16_t>(depth + 1);
    const auto sequence = static_cast<uint16_t>(old.sequence + 1);
    __atomic_store_n(&aEntry->leNext, old.first, __ATOMIC_RELAXED);
    if (replaceHead(aHead, old, HeadValue{aEntry, depthSequence(newDepth, sequence), 0})) return newDepth;
  }
}

PqdListEntry qdDepthListHeadPop(TqdListHead& aHead, uint16_t aMinDepth) {
  for (;;) {
    HeadValue old = readHead(aHead);
    if (old.first == nullptr) return nullptr;
    const auto newDepth = static_cast<uint16_t>((old.sequence >> 16) - 1);
    if (newDepth < aMinDepth) return nullptr;
    const auto sequence = static_cast<uint16_t>(old.sequence + 1);
    if (replaceHead(aHead, old, HeadValue{readNext(old.first), depthSequence(newDepth, sequence), 0})) {
      return old.first;
    }
  }
}

uint32_t qdThreadClientVersion() { return threadClientVersion == 0 ? qdCurrentClientVersion : threadClientVersion; }

int32_t qdThreadClientVersionClamped() {
  const auto version = static_cast<int32_t>(qdThreadClientVersion());
  return version > static_cast<int32_t>(qdCurrentClientVersion) ? static_cast<int32_t>(qdCurrentClientVersion)
                                                                : version;
}

void qdSetThreadClientVersion(uint32_t aVersion) { threadClientVersion = aVersion; }

}  // namespace qd
