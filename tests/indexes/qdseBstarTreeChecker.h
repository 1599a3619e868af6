// The invariant checkers of static-key and keyless B*-trees, shared by
// every tree test.
//
// It reads the index's nodes as they are stored (the layout documented in
// indexes/qdseIndexEngineStaticKeyBstarTree.h), not through the engine's
// searches, and checks:
// - every node: a "QDIH" block of this file with its own number, kind 1 or
//   2, the index number's low byte, first + count <= capacity, internal
//   nodes starting at slot 0 with previous and next -1 and at least one key;
// - no block is reached twice and no descent is deeper than 64 levels;
// - every leaf sits at the same depth and holds at least one entry;
// - the leaf entries, read left to right, are in the key engine's order
//   (then by reference where separators carry references); a unique index
//   holds no equal keys, one with duplicates only for keys with nulls no
//   equal keys without nulls;
// - every separator Ki is the last entry of the subtree under Pi (the same
//   key bytes, and reference where carried);
// - the leaf chain is the left-to-right order of the leaves, linked both
//   ways, -1 at both ends;
// - the page count is the number of nodes, the key count the number of
//   leaf entries; an empty index has root -1, page count 0, key count 0;
// - optionally (after insertions only) every leaf but the root holds at
//   least (capacity + 1) div 2 entries and every internal node but the root
//   at least capacity div 2.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "indexes/qdseIndexEngineKeylessBstarTree.h"
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

namespace qd::test {

struct TqdBstarTreeCheckOptions {
  bool MinFill = false;
};

// One leaf entry as stored: the key (the key engine's key length) and the
// record reference.
struct TqdBstarTreeEntry {
  std::vector<uint8_t> Key;
  TqdRefNr RefNr = 0;
};

// What the walk found.
struct TqdBstarTreeShape {
  uint32_t Root = 0xFFFFFFFFu;
  // Levels from the root to the leaves (0 for an empty index, 1 for a root
  // leaf).
  int32_t Depth = 0;
  uint32_t Nodes = 0;
  uint32_t Keys = 0;
  // The leaves in chain order.
  std::vector<TqdBlockNumber> Leaves;
};

// Walks index aEngine as aTrans sees it (nil: the committed state). Any
// broken invariant gives a failure naming it.
testing::AssertionResult CheckBstarTree(TqdStaticKeyBstarTreeIndexEngine& aEngine, TqdBaseTransaction* aTrans,
                                        const TqdBstarTreeCheckOptions& aOptions = {},
                                        TqdBstarTreeShape* aShape = nullptr,
                                        std::vector<TqdBstarTreeEntry>* aEntries = nullptr);

// The same walk over a keyless tree, whose order is checked on keys built
// from the records the leaves name: every separator names the greatest
// entry under its child (so a record that is in the index), the entries
// are in key-then-reference (signed) order, no record is named twice. The
// index-number byte is not checked, since removing an earlier index
// renumbers this one without rewriting its nodes.
testing::AssertionResult CheckKeylessBstarTree(TqdKeylessBstarTreeIndexEngine& aEngine, TqdBaseTransaction* aTrans,
                                               const TqdBstarTreeCheckOptions& aOptions = {},
                                               TqdBstarTreeShape* aShape = nullptr,
                                               std::vector<TqdBstarTreeEntry>* aEntries = nullptr);

}  // namespace qd::test
