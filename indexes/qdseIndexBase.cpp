#include "indexes/qdseIndexBase.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>

#include "storage/qdsrIndexEngineBase.h"

namespace qd {

namespace {

// A small generator for the random part of new change counters: seeded once
// per thread from getrandom, it only has to make an old counter unlikely to
// repeat, not be unpredictable.
uint32_t nextCounterRandom() {
  thread_local uint64_t state = [] {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != ssize_t(sizeof seed)) {
      // Without entropy the address of a local and a process-wide sequence
      // still tell threads and processes apart well enough.
      static std::atomic<uint64_t> sequence{0x9E3779B97F4A7C15ull};
      int local = 0;
      seed = sequence.fetch_add(0x9E3779B97F4A7C15ull) ^ uint64_t(reinterpret_cast<uintptr_t>(&local));
    }
    return seed | 1;
  }();
  // xorshift64*
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return uint32_t((state * 0x2545F4914F6CDD1Dull) >> 32);
}

}  // namespace

bool qdIndexNodeFits(const uint8_t* aNode, int32_t aLeafCapacity, int32_t aInternalCapacity) {
  const uint8_t kind = qdIndexNodeKind(aNode);
  const uint32_t first = qdIndexNodeFirst(aNode);
  const uint32_t count = qdIndexNodeCount(aNode);
  if (kind == kIndexNodeLeaf) return first + count <= uint32_t(aLeafCapacity);
  if (kind == kIndexNodeInternal) return first == 0 && count <= uint32_t(aInternalCapacity);
  return false;
}

bool TqdLeafChainGuard::Hop() {
  if (++lcgHops <= lcgLimit) return true;
  if (lcgLimitChecked) return false;
  lcgLimitChecked = true;
  lcgLimit = std::max(lcgHops, lcgFileHeader->UsedBlocks());
  return true;
}

uint64_t qdNewIndexNodeCounter(TqdLSN aLSN) {
  const uint64_t random = nextCounterRandom() % 65535;
  return (uint64_t(uint16_t(aLSN)) << 32) | (random << 48);
}

TqdBlockRef qdReadIndexBlock(TqdBaseTransaction* aTrans, TqdBlockAccess* aFile, int32_t aID,
                             TqdBlockNumber aBlockNumber, bool aForWriting) {
  TqdBlockRef block = aFile->GetValidBlock(aTrans, aBlockNumber, aForWriting);
  if (!block)
    throw EqdBaseIndexEngineException(qdeBadBlockNum,
                                      u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                      {aFile->fiName(), int64_t(aBlockNumber)});
  TqdBaseFile* file = aFile->_File();
  // Not the file format's own identity check, which raises its generic
  // corruption error: an index block that is not one is reported as such.
  const uint8_t* data = block.Data();
  bool isIndexBlock = data != nullptr && qdIsIndexBlock(data) && qdBlockThisBlock(data) == aBlockNumber;
  if (isIndexBlock && aID != 0 && file->HeaderAccessFactory() != nullptr)
    isIndexBlock = file->HeaderAccessFactory()->GetID(data) == aID;
  if (!isIndexBlock)
    throw EqdBaseIndexEngineException(qdeNotIndexBlock,
                                      u"Block just read from file is not a valid index block [%s, block %d]",
                                      {aFile->fiName(), int64_t(aBlockNumber)});
  if (aForWriting) {
    uint8_t* writable = block.WritableData();
    qdSetIndexNodeCounter(writable, qdIndexNodeCounter(writable) + 1);
  }
  return block;
}

TqdBlockRef qdCreateIndexNode(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aFileHeader, int32_t aID,
                              uint8_t aKind, int32_t aIndexNumber) {
  TqdBlockRef block = aFileHeader->GetNewBlock(aTrans, aID);
  uint8_t* node = block.WritableData();
  qdSetBlockSignature(node, kIndexBlockSignature);
  qdSetIndexNodeCounter(node, qdNewIndexNodeCounter(aTrans != nullptr ? aTrans->LSN() : 0));
  qdSetIndexNodePrev(node, kNoBlock);
  qdSetIndexNodeNext(node, kNoBlock);
  qdSetIndexNodeFirst(node, 0);
  qdSetIndexNodeCount(node, 0);
  node[kIndexBlockKind] = aKind;
  node[kIndexBlockIndexNumber] = uint8_t(aIndexNumber);
  node[38] = 0;
  node[39] = 0;
  return block;
}

}  // namespace qd
