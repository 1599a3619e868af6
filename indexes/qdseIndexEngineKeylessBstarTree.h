// The keyless B*-tree index engine ("KeylessBStarTree" in the index
// family): a B*-tree of "QDIH" blocks (indexes/qdseIndexBase.h) whose
// nodes hold record references only. No key is ever written to the index
// file; every comparison takes the key of a stored reference from the
// record under insertion or deletion (the indices engine's current record),
// from the path's key cache, or by reading the record and building its key.
// A leaf therefore holds (U - 40) div 8 references whatever the key length,
// so tables with long keys get shallow indexes, at the price of record
// reads during searches.
//
// Classes: TqdKeylessBstarTreeIndexEngine, TqdKeylessBstarTreeIndexPath,
// TqdKeylessBstarTreeIndexKeyCache, EqdKeylessBstarTreeIndexEngineException.
//
// Sources, by topic: qdseIndexEngineKeylessBstarTree.cpp (creation,
// layout, key access, node searches, FindKey, NextKey, PrevKey, paths and
// their revalidation), _Insert.cpp (insertion and splits), _Delete.cpp
// (deletion, separator upkeep, redistribution, merging, DeleteAllKeys).
//
// Layout (U = usable block size of the index file, little-endian):
//
//   leaf (M = (U - 40) div 8 slots)
//     offset      size  meaning
//          0        40  index block header (first slot, count, chain)
//     40 + 8i        8  record reference of slot i (first <= i < first +
//                       count); free slots on both sides of the window
//
//   internal node (C = (U - 44) div 12 separators, first slot always 0)
//     40 + 12i       4  child pointer Pi, i = 0 .. count
//     44 + 12i       8  separator Si: the reference of the greatest entry
//                       under Pi, i = 0 .. count - 1
//
// Order: by the key engine's whole-key comparison, then by the reference
// as a signed 64-bit number. Every entry under Pi sorts at or before Si,
// every entry under P(i+1) after it; a separator always names a record
// that is still in the index (deletion replaces one whose record leaves).
// The index's page count counts its nodes, its key count its leaf entries.
//
// Untrusted bytes: a node is checked before its first, count or kind
// drives a search (leaves first + count <= M, internal nodes first 0 and
// count <= C, kind 1 or 2); descents are bounded by kMaxIndexTreeDepth and
// leaf-chain walks by the file's block count; all raise 8962.
//
// Key cache: a path opens a cache scope for every engine operation on it;
// keys built while it is open (the key copied into a path, the keys a
// deletion needs to find parents) are kept by reference and freed through
// the key engine when the outermost scope closes, also on exceptions.
// Comparisons during descents never fill the cache.
//
// Ownership and locks: the engine belongs to its indices engine; the
// scratch state of an insertion or deletion (separator carried up a split,
// the split buffer, the release list) lives only during that call. No
// locks: a table's index operations are serialised by the server and run
// under the caller's transaction in the block cache.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "indexes/qdseIndexBase.h"
#include "storage/qdsrIndexEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdKeylessBstarTreeIndexEngineException, EqdBaseIndexEngineException);

class TqdKeylessBstarTreeIndexEngine;
class TqdKeylessBstarTreeIndexPath;

// Node capacities for a usable block size.
struct TqdKeylessCapacities {
  int32_t kcLeaf = 0;
  int32_t kcInternal = 0;
};
TqdKeylessCapacities qdKeylessCapacities(uint32_t aUsableBlockSize);

// How a full leaf of aCapacity slots splits when the new entry belongs at
// slot aPosition: the old leaf keeps slots 0 .. lsKeep - 1, the rest moves
// to the new leaf starting at lsNewFirst, and the new entry goes to the new
// leaf (at lsNewPosition) when lsIntoNew.
struct TqdLeafSplit {
  int32_t lsKeep = 0;
  int32_t lsNewFirst = 0;
  bool lsIntoNew = false;
  int32_t lsNewPosition = 0;
};
TqdLeafSplit qdKeylessLeafSplit(int32_t aCapacity, int32_t aPosition);

// --- The key cache -------------------------------------------------------------------------------

// Keys built during one outermost operation on a path, by record reference.
// The keys come from the key engine (AllocKey) and go back to it on Clear.
class TqdKeylessBstarTreeIndexKeyCache {
 public:
  explicit TqdKeylessBstarTreeIndexKeyCache(TqdBaseKeyEngine* aKeyEngine) : kcKeyEngine(aKeyEngine) {}
  ~TqdKeylessBstarTreeIndexKeyCache() { Clear(); }
  TqdKeylessBstarTreeIndexKeyCache(const TqdKeylessBstarTreeIndexKeyCache&) = delete;
  TqdKeylessBstarTreeIndexKeyCache& operator=(const TqdKeylessBstarTreeIndexKeyCache&) = delete;

  // The key slot of aRefNr (nil until built); when there is none: nil if
  // aDontCreate, else a new empty slot.
  PqdKeyBuffer* GetNodeForRef(TqdRefNr aRefNr, bool aDontCreate);
  // Frees every built key through the key engine.
  void Clear();
  size_t Count() const { return kcNodes.size(); }

 private:
  TqdBaseKeyEngine* kcKeyEngine;
  std::map<TqdRefNr, PqdKeyBuffer> kcNodes;
};

// --- The path ------------------------------------------------------------------------------------

class TqdKeylessBstarTreeIndexPath : public TqdBaseIndexPath {
 public:
  static const TqdIndexPathClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdKeylessBstarTreeIndexPath(TqdBaseIndexEngine* aIndexEngine);
  ~TqdKeylessBstarTreeIndexPath() override;

  // The base assignment, plus the leaf position from a path of this class.
  void Assign(const TqdBaseIndexPath* aSource) override;
  // The base clear, plus the leaf position.
  void Clear() override;
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

  // Opens the key-cache scope for an operation of aTrans (nested scopes
  // must belong to the same transaction); the outermost close frees every
  // cached key.
  void bpipEnterCache(TqdBaseTransaction* aTrans);
  void bpipLeaveCache();
  // Keys cached now (0 outside every operation).
  size_t CachedKeyCount() const { return bpipCache ? bpipCache->Count() : 0; }

  // The leaf the path stands in, the absolute slot in it, and the leaf's
  // change counter and LSN when the path last looked at it.
  TqdBlockNumber bpipPage = 0;
  int32_t bpipItem = 0;
  int64_t bpipIdentCounter = 0;
  TqdLSN bpipLSN = 0;

 private:
  friend class TqdKeylessBstarTreeIndexEngine;
  // Scratch key for a key that is not cached.
  PqdKeyBuffer bpipTempKey = nullptr;
  int32_t bpipCacheCount = 0;
  std::unique_ptr<TqdKeylessBstarTreeIndexKeyCache> bpipCache;
  TqdBaseTransaction* bpipTrans = nullptr;
  TqdBaseKeyEngine* bpipKeyEngine = nullptr;
};

// Opens a path's key-cache scope for one operation and closes it on every
// way out.
class TqdKeylessCacheScope {
 public:
  TqdKeylessCacheScope(TqdKeylessBstarTreeIndexPath& aPath, TqdBaseTransaction* aTrans) : csPath(aPath) {
    csPath.bpipEnterCache(aTrans);
  }
  ~TqdKeylessCacheScope() { csPath.bpipLeaveCache(); }
  TqdKeylessCacheScope(const TqdKeylessCacheScope&) = delete;
  TqdKeylessCacheScope& operator=(const TqdKeylessCacheScope&) = delete;

 private:
  TqdKeylessBstarTreeIndexPath& csPath;
};

// --- The engine ----------------------------------------------------------------------------------

class TqdKeylessBstarTreeIndexEngine : public TqdBaseIndexEngine {
 public:
  static const TqdIndexEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // How a node's entries are compared with a search.
  enum TqdKeylessSearchMode : uint8_t {
    // Whole key, then the reference (signed 64-bit).
    ksmRefKey,
    // Whole key.
    ksmKey,
    // The first field count fields and partial length characters.
    ksmPartial,
    // The same; an equal entry is remembered and the search goes on to the
    // left (EqualFirst, GreaterEqual, Greater) or right (EqualLast,
    // SmallerEqual, Smaller), or stops (the Any actions).
    ksmPartialAction,
    // Whole key; an equal key is found unless it contains nulls, in which
    // case the reference decides.
    ksmNullRef,
  };

  struct TqdKeylessSearch {
    const uint8_t* ksKey = nullptr;
    TqdRefNr ksRefNr = 0;
    int32_t ksFieldCount = 0;
    int32_t ksPartialLen = 0;
    TqdSearchKeyAction ksAction = skaEqualFirst;
    TqdKeylessSearchMode ksMode = ksmKey;
  };

  // Takes ownership of aKeyEngine. Needs the table's record engine and a
  // table that is not a cache table (12289).
  TqdKeylessBstarTreeIndexEngine(TqdBaseIndicesEngine* aIndicesEngine, TqdIndexDescriptor* aIndexDescriptor,
                                 TqdBaseKeyEngine* aKeyEngine);
  ~TqdKeylessBstarTreeIndexEngine() override;

  // --- The index contract ---
  const TqdIndexPathClass& GetIndexPathClass() const override;
  void ValidateIndexPath(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath) override;
  void DeleteAllKeys(TqdBaseTransaction* aTrans) override;
  bool DeleteKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr, TqdRefNr aCacheRefNr,
                 TqdBaseIndexPath* aPath) override;
  bool InsertKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr, TqdRefNr aCacheRefNr,
                 TqdBaseIndexPath* aPath) override;
  bool FindKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr,
               TqdBaseIndexPath* aPath, TqdSearchKeyAction aAction, TqdBaseFilterEngine* aKeyFilter) override;
  bool NextKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, TqdBaseFilterEngine* aKeyFilter) override;
  bool PrevKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, TqdBaseFilterEngine* aKeyFilter) override;
  void GetKeyCount(TqdBaseTransaction* aTrans, uint32_t& aCount) override;
  // Range walks, record numbers and the estimate are not offered by this
  // engine: they raise (or answer) 12289.
  void Iterate(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, PqdRecordBufferPtr aData,
               TqdKeyIterator aKeyIterator, TqdRecordIterator aRecIterator, void* aCookie,
               const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd, TqdBaseFilterEngine* aFilter,
               TqdBaseFilterEngine* aKeyFilter, bool aKeepPosition) override;
  void IterateBackward(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, PqdRecordBufferPtr aData,
                       TqdKeyIterator aKeyIterator, TqdRecordIterator aRecIterator, void* aCookie,
                       const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd, TqdBaseFilterEngine* aFilter,
                       TqdBaseFilterEngine* aKeyFilter, bool aKeepPosition) override;
  [[nodiscard]] TqdResult RecNoGet(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, const TqdRangeInfo& aRangeStart,
                                   const TqdRangeInfo& aRangeEnd, TqdBaseFilterEngine* aFilter,
                                   TqdBaseFilterEngine* aKeyFilter, uint32_t& aRecNo, bool aFlipOrder) override;
  [[nodiscard]] TqdResult RecNoSet(TqdBaseTransaction* aTrans, uint32_t aRecNo, TqdBaseIndexPath* aPath,
                                   const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                                   TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter,
                                   bool aFlipOrder) override;
  [[nodiscard]] TqdResult EstimateRecordCount(TqdBaseTransaction* aTrans, const TqdRangeInfo& aRangeStart,
                                              const TqdRangeInfo& aRangeEnd, uint32_t& aRecordCount,
                                              bool aFlipOrder) override;

  // --- Layout (also read by the tree checker of the tests) ---
  TqdBaseRecordEngine* RecordEngine() const { return ieRecordEngine; }
  int32_t MaxLeafNodeKeyCount() const { return ieMaxLeafNodeKeyCount; }
  int32_t MaxInternalNodeKeyCount() const { return ieMaxInternalNodeKeyCount; }
  TqdRefNr LeafRefNr(const uint8_t* aNode, int32_t aSlot) const {
    return qdGetI64(aNode + ieLeafNodeKeyRefOffset[size_t(aSlot)]);
  }
  void SetLeafRefNr(uint8_t* aNode, int32_t aSlot, TqdRefNr aRefNr) const {
    qdPutI64(aNode + ieLeafNodeKeyRefOffset[size_t(aSlot)], aRefNr);
  }
  TqdRefNr NodeRefNr(const uint8_t* aNode, int32_t aIndex) const {
    return qdGetI64(aNode + ieInternalNodeKeyRefOffset[size_t(aIndex)]);
  }
  void SetNodeRefNr(uint8_t* aNode, int32_t aIndex, TqdRefNr aRefNr) const {
    qdPutI64(aNode + ieInternalNodeKeyRefOffset[size_t(aIndex)], aRefNr);
  }
  TqdBlockNumber TreePointer(const uint8_t* aNode, int32_t aIndex) const {
    return qdGetU32(aNode + ieTreePointerOffset[size_t(aIndex)]);
  }
  void SetTreePointer(uint8_t* aNode, int32_t aIndex, TqdBlockNumber aValue) const {
    qdPutU32(aNode + ieTreePointerOffset[size_t(aIndex)], aValue);
  }
  int32_t NodeCapacity(uint8_t aKind) const {
    return aKind == kIndexNodeLeaf ? ieMaxLeafNodeKeyCount : ieMaxInternalNodeKeyCount;
  }
  // Moves aCount leaf slots inside one node, or copies them to another.
  void MoveLeafEntries(uint8_t* aNode, int32_t aFrom, int32_t aTo, int32_t aCount) const;
  void CopyLeafEntries(const uint8_t* aFromNode, int32_t aFrom, uint8_t* aToNode, int32_t aTo, int32_t aCount) const;

 private:
  friend class TqdKeylessBstarTreeIndexPath;

  // --- Nodes ---
  void CheckNode(const uint8_t* aNode, TqdBlockNumber aBlock) const;
  TqdBlockRef ReadNode(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock, bool aForWriting);
  const uint8_t* ReadNodeKept(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock);
  uint8_t* ReadNodeKeptForWriting(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock);
  uint8_t* NewNode(TqdBaseIndexHeaderAccess& aAccess, uint8_t aKind, TqdBlockNumber& aBlock);
  [[noreturn]] void RaiseTooDeep(TqdBlockNumber aBlock) const;
  [[noreturn]] void RaiseCorruptNode(TqdBlockNumber aBlock, const char* aFile = __builtin_FILE(),
                                     int aLine = __builtin_LINE()) const;

  // --- Key access (the path's cache scope must be open) ---
  // The key of the record under insertion or deletion when aRefNr is it.
  const uint8_t* CurrentKeyOf(const TqdKeylessBstarTreeIndexPath& aPath, TqdRefNr aRefNr) const;
  // Reads record aRefNr and builds its key into aKey (15520 when the read
  // stops).
  void BuildRefKey(TqdKeylessBstarTreeIndexPath& aPath, TqdRefNr aRefNr, uint8_t* aKey);
  // aKey compared with the key of record aRefNr (whole key, or the first
  // fields and characters); nothing is cached.
  int32_t CompareRef(TqdKeylessBstarTreeIndexPath& aPath, const uint8_t* aKey, TqdRefNr aRefNr, int32_t aFieldCount,
                     int32_t aPartialLen);
  // The key of record aRefNr, valid until the operation ends (or until the
  // next uncached key when aDontCreate finds no cache node).
  const uint8_t* GetRefKey(TqdKeylessBstarTreeIndexPath& aPath, bool aDontCreate, TqdRefNr aRefNr);
  void CopyRefKey(TqdKeylessBstarTreeIndexPath& aPath, TqdRefNr aRefNr, uint8_t* aKey);

  // --- Searches ---
  // Compares the search with the entry aRefNr: <0, 0, >0.
  int32_t CompareSearch(TqdKeylessBstarTreeIndexPath& aPath, const TqdKeylessSearch& aSearch, TqdRefNr aRefNr);
  // The binary search over a node's entries: True with the matching index,
  // or False with the insertion index (internal nodes: the child).
  bool SearchNode(TqdKeylessBstarTreeIndexPath& aPath, const uint8_t* aNode, const TqdKeylessSearch& aSearch,
                  int32_t& aIndex);
  TqdKeylessSearch FindKeySearch(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr,
                                 TqdSearchKeyAction aAction) const;
  bool DoFindKey(TqdBaseIndexHeaderAccess& aAccess, TqdKeylessBstarTreeIndexPath& aPath, const uint8_t* aKey,
                 int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr, TqdSearchKeyAction aAction,
                 TqdBaseFilterEngine* aKeyFilter);

  // --- Paths ---
  TqdKeylessBstarTreeIndexPath* OwnPath(TqdBaseIndexPath* aPath) const;
  TqdKeylessBstarTreeIndexPath& CheckedPath(TqdBaseIndexPath* aPath) const;
  // Puts the path on slot aSlot of leaf aNode: position data, reference
  // and key (aKey when given, else built and cached).
  void SetPathOnEntry(TqdKeylessBstarTreeIndexPath& aPath, TqdBlockNumber aBlock, const uint8_t* aNode, int32_t aSlot,
                      TqdIndexPathPosition aPosition, const uint8_t* aKey = nullptr);
  bool Step(TqdBaseIndexHeaderAccess& aAccess, TqdKeylessBstarTreeIndexPath& aPath, TqdBaseFilterEngine* aKeyFilter,
            bool aBackward);
  bool MoveToNeighbour(TqdBaseTransaction* aTrans, TqdKeylessBstarTreeIndexPath& aPath, TqdBaseFilterEngine* aKeyFilter,
                       bool aBackward);
  void DoValidateIndexPath(TqdBaseIndexHeaderAccess& aAccess, TqdKeylessBstarTreeIndexPath& aPath);

  // --- Insertion (_Insert.cpp) ---
  bool InsertIntoTree(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot, const uint8_t* aKey, TqdRefNr aRefNr,
                      TqdKeylessBstarTreeIndexPath& aWork, TqdKeylessBstarTreeIndexPath* aPath);
  bool NeighbourHolds(TqdBaseIndexHeaderAccess& aAccess, TqdKeylessBstarTreeIndexPath& aWork, TqdBlockNumber aBlock,
                      const TqdKeylessSearch& aSearch);
  void LeafInsert(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aSlot, const uint8_t* aKey, TqdRefNr aRefNr,
                  TqdKeylessBstarTreeIndexPath* aPath);
  void InternalInsert(uint8_t* aNode, int32_t aSlot, TqdRefNr aSeparator, TqdBlockNumber aRight) const;
  bool ieInsertChanged = false;

  // --- Deletion (_Delete.cpp) ---
  class TqdDeletion;

  TqdBaseRecordEngine* ieRecordEngine = nullptr;
  int32_t ieMaxInternalNodeKeyCount = 0;
  int32_t ieMaxLeafNodeKeyCount = 0;
  std::vector<uint32_t> ieInternalNodeKeyRefOffset;
  std::vector<uint32_t> ieTreePointerOffset;
  std::vector<uint32_t> ieLeafNodeKeyRefOffset;
  TqdRefNr ieTempInsertKey = 0;
  TqdBlockNumber ieTempInsertBlock = 0;
  // A full internal node plus one pair, for a split.
  std::vector<uint8_t> ieSplitBuffer;
  // A copy of the search key when it is the path's own key.
  std::vector<uint8_t> ieSearchKey;
  TqdReleaseList ieReleaseList;
};

void qdseIndexEngineKeylessBstarTreeInitialize();
void qdseIndexEngineKeylessBstarTreeFinalize();

}  // namespace qd
