// What every index engine and the indices engine share about index blocks:
// the "QDIH" block layout, the checked read of an index block and the
// creation of a new index node.
//
// Every node of every index engine, and the indices info block, is a block
// of the table file that starts with this 40-byte header (little-endian):
//
//   offset size meaning
//        0    4 signature "QDIH"
//        4    4 block number of this block (verified on every read)
//        8    8 LSN of the block as kept by the block cache; index engines
//               read it, never write it
//       16    8 change counter (unsigned 64-bit): bytes 16-19 start at 0,
//               bytes 20-21 as the low 16 bits of the creating transaction's
//               LSN, bytes 22-23 as a random number below 65535; raised by
//               one every time the block is fetched for writing through
//               qdReadIndexBlock
//       24    4 leaves: previous leaf, -1 for none; internal nodes: -1
//       28    4 leaves: next leaf, -1 for none; internal nodes: -1
//       32    2 first used entry slot (leaves); 0 in internal nodes
//       34    2 number of entries (keys)
//       36    1 node kind: 1 internal, 2 leaf (0 in the indices info block)
//       37    1 low byte of the index number
//       38    2 not used
//       40    . entries (their layout belongs to the engine)
//
// The change counter lets an index path tell whether a node changed since
// it last looked at it; the random high part makes a block that was freed
// and taken again unlikely to repeat a counter an old path remembers.
//
// No state and no locks: blocks are read and written through the block
// cache under the caller's transaction.
#pragma once

#include <cstdint>

#include "storage/qdsrBufferManager.h"
#include "storage/qdsrSubEngineBase.h"

namespace qd {

inline constexpr TqdBlockSignature kIndexBlockSignature{{'Q', 'D', 'I', 'H'}};

// Header fields of an index block.
inline constexpr uint32_t kIndexBlockCounter = 16;
inline constexpr uint32_t kIndexBlockPrevLeaf = 24;
inline constexpr uint32_t kIndexBlockNextLeaf = 28;
inline constexpr uint32_t kIndexBlockFirst = 32;
inline constexpr uint32_t kIndexBlockCount = 34;
inline constexpr uint32_t kIndexBlockKind = 36;
inline constexpr uint32_t kIndexBlockIndexNumber = 37;
inline constexpr uint32_t kIndexBlockHeaderSize = 40;

// Node kinds (byte 36).
inline constexpr uint8_t kIndexNodeNone = 0;
inline constexpr uint8_t kIndexNodeInternal = 1;
inline constexpr uint8_t kIndexNodeLeaf = 2;

// The deepest tree any index engine walks: a deeper descent means a cycle
// or another corruption (8962).
inline constexpr int32_t kMaxIndexTreeDepth = 64;

// Whether a node's kind is leaf or internal and its first and count fit
// the capacity of that kind (internal nodes start at slot 0). Every index
// engine asks this before a node's fields drive a search.
bool qdIndexNodeFits(const uint8_t* aNode, int32_t aLeafCapacity, int32_t aInternalCapacity);

// Bounds a walk along a leaf chain, which a damaged file can make loop:
// past a generous number of hops the walk may make at most as many as the
// file has blocks. Hop answers False once it made more.
class TqdLeafChainGuard {
 public:
  explicit TqdLeafChainGuard(TqdBaseFileHeaderAccess* aFileHeader) : lcgFileHeader(aFileHeader) {}
  [[nodiscard]] bool Hop();

 private:
  static constexpr uint32_t kHopsBeforeCycleCheck = 1024;
  TqdBaseFileHeaderAccess* lcgFileHeader;
  uint32_t lcgHops = 0;
  uint32_t lcgLimit = kHopsBeforeCycleCheck;
  bool lcgLimitChecked = false;
};

// --- Header fields ---
inline uint64_t qdIndexNodeCounter(const uint8_t* aNode) { return qdGetU64(aNode + kIndexBlockCounter); }
inline void qdSetIndexNodeCounter(uint8_t* aNode, uint64_t aValue) { qdPutU64(aNode + kIndexBlockCounter, aValue); }
inline TqdBlockNumber qdIndexNodePrev(const uint8_t* aNode) { return qdGetU32(aNode + kIndexBlockPrevLeaf); }
inline void qdSetIndexNodePrev(uint8_t* aNode, TqdBlockNumber aValue) { qdPutU32(aNode + kIndexBlockPrevLeaf, aValue); }
inline TqdBlockNumber qdIndexNodeNext(const uint8_t* aNode) { return qdGetU32(aNode + kIndexBlockNextLeaf); }
inline void qdSetIndexNodeNext(uint8_t* aNode, TqdBlockNumber aValue) { qdPutU32(aNode + kIndexBlockNextLeaf, aValue); }
inline uint16_t qdIndexNodeFirst(const uint8_t* aNode) { return qdGetU16(aNode + kIndexBlockFirst); }
inline void qdSetIndexNodeFirst(uint8_t* aNode, uint16_t aValue) { qdPutU16(aNode + kIndexBlockFirst, aValue); }
inline uint16_t qdIndexNodeCount(const uint8_t* aNode) { return qdGetU16(aNode + kIndexBlockCount); }
inline void qdSetIndexNodeCount(uint8_t* aNode, uint16_t aValue) { qdPutU16(aNode + kIndexBlockCount, aValue); }
inline uint8_t qdIndexNodeKind(const uint8_t* aNode) { return aNode[kIndexBlockKind]; }
inline uint8_t qdIndexNodeIndexNumber(const uint8_t* aNode) { return aNode[kIndexBlockIndexNumber]; }
inline bool qdIsIndexBlock(const uint8_t* aBlock) { return qdBlockSignature(aBlock) == kIndexBlockSignature; }

// Reads index block aBlockNumber of aFile under aTrans, marked dirty when
// aForWriting (which also raises its change counter by one): the number is
// checked against the blocks aTrans sees in the file and the block fetched
// in one cache lock round trip (TqdBlockAccess::GetValidBlock).
// aID (0: any) is the owner the block must carry in formats with owners.
// Raises EqdBaseIndexEngineException 15409 for a number outside the file
// and 15424 for a block that is not this index block. The handle releases
// the block.
TqdBlockRef qdReadIndexBlock(TqdBaseTransaction* aTrans, TqdBlockAccess* aFile, int32_t aID,
                             TqdBlockNumber aBlockNumber, bool aForWriting);

// A new index node: a block from aFileHeader (which must be open for
// writing) owned by aID, formatted as an empty node of aKind (leaf or
// internal) of index aIndexNumber, with previous and next -1, first and
// count 0 and a fresh change counter. The caller counts the page.
TqdBlockRef qdCreateIndexNode(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aFileHeader, int32_t aID,
                              uint8_t aKind, int32_t aIndexNumber);

// The starting value of a new node's change counter for a transaction of
// aLSN: low 32 bits 0, then the LSN's low 16 bits, then a random value
// below 65535.
uint64_t qdNewIndexNodeCounter(TqdLSN aLSN);

}  // namespace qd
