#include "foundation/qdmmBitMap.h"

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr uint64_t kAllOnes = ~uint64_t{0};

uint64_t load(const uint64_t& aCell) { return __atomic_load_n(&aCell, __ATOMIC_ACQUIRE); }

void store(uint64_t& aCell, uint64_t aValue) { __atomic_store_n(&aCell, aValue, __ATOMIC_RELEASE); }

bool compareExchange(uint64_t& aCell, uint64_t& aExpected, uint64_t aDesired) {
  return __atomic_compare_exchange_n(&aCell, &aExpected, aDesired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

// Flips summary bit aWord and returns the summary before the flip.
uint64_t flip(uint64_t& aSummary, int32_t aWord) {
  return __atomic_fetch_xor(&aSummary, uint64_t{1} << aWord, __ATOMIC_SEQ_CST);
}

int32_t highestBit(uint64_t aValue) { return 63 - __builtin_clzll(aValue); }

// After a word changed from aOld to aNew, flips the summary bits whose state
// changed; returns the non-empty summary before its flip (or the current one
// when it did not flip).
uint64_t updateSummaries(TqdBitMap& aMap, int32_t aWord, uint64_t aOld, uint64_t aNew) {
  if ((aOld == kAllOnes) != (aNew == kAllOnes)) flip(aMap.bmFull, aWord);
  if ((aOld == 0) != (aNew == 0)) return flip(aMap.bmNonEmpty, aWord);
  return load(aMap.bmNonEmpty);
}

}  // namespace

// Both use atomic stores: a thread holding a stale chunk number may still
// read the map while it is being set up again.
void TqdBitMap::Clear() {
  store(bmNonEmpty, 0);
  store(bmFull, 0);
  for (auto& word : bmWords) store(word, 0);
}

void TqdBitMap::FillWords(int32_t aWordCount) {
  for (int32_t i = 0; i < kWordCount; ++i) store(bmWords[i], i < aWordCount ? kAllOnes : 0);
  const uint64_t mask = aWordCount >= kWordCount ? kAllOnes : (uint64_t{1} << aWordCount) - 1;
  store(bmFull, mask);
  store(bmNonEmpty, mask);
}

int32_t TqdBitMap::FindHighest() const {
  uint64_t summary = load(bmNonEmpty);
  while (summary != 0) {
    const int32_t word = highestBit(summary);
    const uint64_t bits = load(bmWords[word]);
    if (bits != 0) return word * kWordBits + highestBit(bits);
    // The summary was a step behind: try the words below, then look again.
    summary &= ~(uint64_t{1} << word);
    if (summary == 0) summary = load(bmNonEmpty) & ((uint64_t{1} << word) - 1);
  }
  return -1;
}

int32_t TqdBitMap::TakeHighest(bool* aBecameEmpty) {
  for (;;) {
    uint64_t summary = load(bmNonEmpty);
    if (summary == 0) {
      if (aBecameEmpty != nullptr) *aBecameEmpty = false;
      return -1;
    }
    int32_t word = highestBit(summary);
    uint64_t bits = load(bmWords[word]);
    while (bits == 0) {
      // Stale summary bit: the words below may still hold bits.
      summary &= ~(uint64_t{1} << word);
      if (summary == 0) break;
      word = highestBit(summary);
      bits = load(bmWords[word]);
    }
    if (bits == 0) {
      // Every word the summary named was empty; read it again unless it
      // now says the map is empty.
      if (load(bmNonEmpty) == 0) {
        if (aBecameEmpty != nullptr) *aBecameEmpty = false;
        return -1;
      }
      bool anyBit = false;
      for (const auto& w : bmWords) anyBit = anyBit || load(w) != 0;
      if (!anyBit) {
        if (aBecameEmpty != nullptr) *aBecameEmpty = false;
        return -1;
      }
      continue;
    }
    const int32_t bit = highestBit(bits);
    const uint64_t taken = bits & ~(uint64_t{1} << bit);
    if (!compareExchange(bmWords[word], bits, taken)) continue;
    const uint64_t before = updateSummaries(*this, word, bits, taken);
    if (aBecameEmpty != nullptr) {
      // Empty now when this word emptied and it was the only non-empty one.
      *aBecameEmpty = taken == 0 && (before & ~(uint64_t{1} << word)) == 0;
    }
    return word * kWordBits + bit;
  }
}

bool TqdBitMap::SetBit(int32_t aBit, bool* aWasEmpty) {
  const int32_t word = aBit / kWordBits;
  const uint64_t mask = uint64_t{1} << (aBit % kWordBits);
  uint64_t bits = load(bmWords[word]);
  for (;;) {
    if ((bits & mask) != 0) {
      if (aWasEmpty != nullptr) *aWasEmpty = false;
      return false;
    }
    if (compareExchange(bmWords[word], bits, bits | mask)) break;
  }
  const uint64_t before = updateSummaries(*this, word, bits, bits | mask);
  if (aWasEmpty != nullptr) *aWasEmpty = bits == 0 && (before & ~(uint64_t{1} << word)) == 0;
  return true;
}

bool TqdBitMap::ClearBit(int32_t aBit) {
  const int32_t word = aBit / kWordBits;
  const uint64_t mask = uint64_t{1} << (aBit % kWordBits);
  uint64_t bits = load(bmWords[word]);
  for (;;) {
    if ((bits & mask) == 0) return false;
    if (compareExchange(bmWords[word], bits, bits & ~mask)) break;
  }
  updateSummaries(*this, word, bits, bits & ~mask);
  return true;
}

void TqdBitMap::ToggleBit(int32_t aBit) {
  const int32_t word = aBit / kWordBits;
  const uint64_t mask = uint64_t{1} << (aBit % kWordBits);
  uint64_t bits = load(bmWords[word]);
  while (!compareExchange(bmWords[word], bits, bits ^ mask)) {
  }
  updateSummaries(*this, word, bits, bits ^ mask);
}

bool TqdBitMap::TestBit(int32_t aBit) const { return (load(bmWords[aBit / kWordBits]) >> (aBit % kWordBits) & 1) != 0; }

bool TqdBitMap::TakeFullWord(int32_t aWord) {
  uint64_t expected = kAllOnes;
  if (!compareExchange(bmWords[aWord], expected, 0)) return false;
  updateSummaries(*this, aWord, kAllOnes, 0);
  return true;
}

bool TqdBitMap::RestoreFullWord(int32_t aWord) {
  uint64_t expected = 0;
  if (!compareExchange(bmWords[aWord], expected, kAllOnes)) return false;
  updateSummaries(*this, aWord, 0, kAllOnes);
  return true;
}

bool TqdBitMap::IsEmpty() const { return load(bmNonEmpty) == 0; }

uint64_t TqdBitMap::FullSummary() const { return load(bmFull); }

void TqdBitMap::CheckInvariants() const {
  for (int32_t i = 0; i < kWordCount; ++i) {
    const uint64_t bits = load(bmWords[i]);
    const bool nonEmpty = (load(bmNonEmpty) >> i & 1) != 0;
    const bool full = (load(bmFull) >> i & 1) != 0;
    if (nonEmpty != (bits != 0)) qdAssertFailed("qdmmBitMap", "non-empty summary matches its word");
    if (full != (bits == kAllOnes)) qdAssertFailed("qdmmBitMap", "full summary matches its word");
  }
}

}  // namespace qd
