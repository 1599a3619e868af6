// The simple indices engine, registered as "qd1xDefault" in the "indices"
// family: it keeps the four persistent values of every index (root block,
// key count, page count, LSN) in one info block per table file and hands
// index engines a TqdSimpleIndicesHeaderAccess to reach them. Key
// maintenance, bulk builders and engine creation are the framework's
// (storage/qdsrIndexEngineBase.h).
//
// The info block's number lives in a 4-byte header section of the file
// named by the indices descriptor's header section name ("Indices" for a
// table's main indices, "InternalIndices" for its internal ones); -1 while
// the file has no info block. Every file holding at least one index has
// its own info block; an index's values live in its own file's block at its
// own number (at most 256 indexes, which the dictionary enforces).
//
// Info block (little-endian; an ordinary index block, owner = the indices
// engine's sub-engine ID):
//
//   offset size content
//        0    4 "QDIH"
//        4    4 block number of this block
//        8    8 the block's LSN as the cache keeps it; the LSN of every index
//       16    8 change counter, +1 each time the block is fetched for writing
//       24   12 not used here
//       36    1 0 (node kind "none"; index nodes carry 1 or 2)
//       37    3 not used
//       40  512 key length of index n at 40 + 2n (Word)
//      552 1024 key count of index n at 552 + 4n (Int32)
//     1576 1024 root block of index n at 1576 + 4n (Int32; -1 = empty)
//     2600 1024 page count of index n at 2600 + 4n (Int32)
//
// The info block is read through the index block read (qdReadIndexBlock,
// indexes/qdseIndexBase.h): checked like every index block, its change
// counter raised when fetched for writing.
//
// Ownership: the engine belongs to the open table, like every indices
// engine. A header access holds the info block (fetched at most once) for
// the duration of one index operation and releases it when freed. The
// engine pins the info block's number it last read from each index's file
// header (TqdHeaderPin): an access that changes nothing takes the number
// from the pin while the header has not changed since, and reads no header. No lock:
// the block is read and written through the cache under the caller's
// transaction, so concurrent transactions changing indexes of one file
// conflict on this block.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/qdsrIndexEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdSimpleIndicesEngineException, EqdBaseIndicesEngineException);

// Offsets of the info block.
inline constexpr uint32_t kSimpleIndicesHeaderOffset = 40;
inline constexpr uint32_t kSimpleIndicesKindOffset = 36;
inline constexpr uint32_t kSimpleIndicesKeyLenOffset = 40;
inline constexpr uint32_t kSimpleIndicesKeyCountOffset = 552;
inline constexpr uint32_t kSimpleIndicesRootOffset = 1576;
inline constexpr uint32_t kSimpleIndicesPageCountOffset = 2600;
// The 3584 bytes from offset 40 (TqdSimpleIndicesHeader).
inline constexpr uint32_t kSimpleIndicesHeaderSize = 3584;
inline constexpr int32_t kSimpleIndicesMaxIndexes = 256;

// The four arrays of the info block from offset 40, read and written
// through the little-endian codec (the pointer is to offset 40).
using PqdSimpleIndicesHeader = uint8_t*;

class TqdSimpleIndicesEngine : public TqdBaseIndicesEngine {
 public:
  static const TqdIndicesEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // With aTrans (indexes being created): registers the header section in
  // every file (-1) and adds every index's slot; without: opens every
  // index, checking its stored key length (8961).
  TqdSimpleIndicesEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                         TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans, bool aAddToExisting);

  // The inherited check only.
  static void CheckValidDescriptor(TqdBaseIndicesDescriptor* aDescriptor);

  // Creates the file's info block when it has none, then sets slot aInx:
  // key length of the index's key engine, root -1.
  void IndexAdded(TqdBaseTransaction* aTrans, int32_t aInx) override;
  // Moves slots aInx + 1 .. 255 down by one in every info block and resets
  // slot 255.
  void IndexRemoved(TqdBaseTransaction* aTrans, int32_t aInx) override;
  const TqdIndexHeaderAccessClass& GetHeaderAccessClass() const override;

  // The position of the header section in the header block of index aInx's
  // file.
  uint16_t HeaderSection(int32_t aInx) const { return ineHeaderSection[size_t(aInx)]; }
  // The pin of the info block's number of index aInx's file.
  TqdHeaderPin& InfoBlockPin(int32_t aInx) { return ineInfoBlockPin[size_t(aInx)]; }

 private:
  void OpenIndex(int32_t aInx);

  std::vector<uint16_t> ineHeaderSection;
  // Parallel to ineHeaderSection; the pins' fields belong to the cache lock.
  std::vector<TqdHeaderPin> ineInfoBlockPin;
};

class TqdSimpleIndicesHeaderAccess : public TqdBaseIndexHeaderAccess {
 public:
  static const TqdIndexHeaderAccessClass ClassInfo;

  // Takes the header-section position of aIndex from its indices engine.
  TqdSimpleIndicesHeaderAccess(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndex, bool aFileMarkDirty,
                               bool aIndexMarkDirty, int32_t aFieldCount, int32_t aPartialLen);
  // Releases the info block when it was fetched.
  ~TqdSimpleIndicesHeaderAccess() override;

  uint32_t GetIndexRoot() override;
  void SetIndexRoot(uint32_t aValue) override;
  uint32_t GetIndexPageCount() override;
  void SetIndexPageCount(uint32_t aValue) override;
  uint32_t GetIndexKeyCount() override;
  void SetIndexKeyCount(uint32_t aValue) override;
  // The LSN at offset 8 of the info block.
  TqdLSN GetIndexLSN() override;

  // The info block, fetched on first use (for writing when the access was
  // made with aIndexMarkDirty).
  const uint8_t* InxBlock();
  // Offset 40 of the writable info block.
  PqdSimpleIndicesHeader Header();
  void SetHeaderSection(uint16_t aValue) { haHeaderSection = aValue; }

 private:
  const uint8_t* Slot(uint32_t aArrayOffset, uint32_t aEntrySize);
  uint8_t* WritableSlot(uint32_t aArrayOffset, uint32_t aEntrySize);

  uint16_t haHeaderSection;
  // Where a read-only access finds the info block's number; nil when the
  // access may change the header or the index.
  TqdHeaderPin* haInfoBlockPin = nullptr;
  TqdBlockRef haInxBlock;
};

void qdseIndicesEngineSimpleInitialize();
void qdseIndicesEngineSimpleFinalize();

}  // namespace qd
