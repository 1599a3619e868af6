// Two-level bit map of the engine allocator: 4096 bits in 64 words of 64
// bits, with two summary words that let a search skip empty and full words.
//
//   bmNonEmpty  bit i set while word i has any bit set
//   bmFull      bit i set while word i is all ones
//   bmWords     bit n lives in word n / 64, bit n % 64
//
// Every change is lock-free: a compare-exchange on the word, then a locked
// exclusive-or on the summary bit whose state the change flipped. Because
// each flip is done by the thread whose compare-exchange caused it, and
// exclusive-or commutes, the summaries always come back to the truth; in
// between, a reader may see a summary bit that is one step behind. Readers
// therefore treat the summaries as hints: a word found empty is looked up
// again.
//
// Users: the chunk manager (chunk numbers), the block managers (chunks of a
// class with a free block, the free blocks of one chunk).
//
// Classes: TqdBitMap. Plain data; whoever embeds it owns it.
#pragma once

#include <cstdint>

namespace qd {

struct TqdBitMap {
  static constexpr int32_t kWordBits = 64;
  static constexpr int32_t kWordCount = 64;
  static constexpr int32_t kBitCount = kWordBits * kWordCount;

  uint64_t bmNonEmpty;
  uint64_t bmFull;
  uint64_t bmWords[kWordCount];

  // Not safe against concurrent use.
  void Clear();
  // Sets the first aWordCount words to all ones (and the summaries to
  // match); the other words are cleared.
  void FillWords(int32_t aWordCount);

  // The highest set bit, or -1.
  int32_t FindHighest() const;
  // The highest set bit, cleared; -1 when the map is empty. aBecameEmpty
  // (optional) tells whether this took the map's last bit.
  int32_t TakeHighest(bool* aBecameEmpty = nullptr);
  // false when the bit was set already. aWasEmpty (optional) tells whether
  // the map had no bit set before.
  bool SetBit(int32_t aBit, bool* aWasEmpty = nullptr);
  // false when the bit was clear already.
  bool ClearBit(int32_t aBit);
  void ToggleBit(int32_t aBit);
  bool TestBit(int32_t aBit) const;

  // Takes word aWord out (all bits cleared) only while it is all ones.
  bool TakeFullWord(int32_t aWord);
  // Puts an all-ones word back into a word that is empty; false otherwise.
  bool RestoreFullWord(int32_t aWord);

  bool IsEmpty() const;
  // The full summary as one value (compare with a class's full mask).
  uint64_t FullSummary() const;

  // Quiescent check: the summaries agree with the words. Raises
  // EAssertionFailed when they do not.
  void CheckInvariants() const;
};

}  // namespace qd
