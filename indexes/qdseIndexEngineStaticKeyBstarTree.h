// The static-key B*-tree index engine, the default index engine
// ("qd1xDefault" in the index family): one index kept as a B*-tree of
// "QDIH" blocks (indexes/qdseIndexBase.h) in the table file. Internal nodes
// hold separator keys and child block numbers, leaves hold every key with
// its record reference, and the leaves form a doubly linked chain in key
// order. Keys are stored in the nodes, so searching never reads records.
//
// Classes: TqdStaticKeyBstarTreeIndexEngine, TqdStaticKeyBstarTreeIndexPath,
// TqdStaticKeyBstarTreeIndexBulkBuilder, EqdStaticKeyBstarTreeIndexEngineException.
//
// Sources, by topic: qdseIndexEngineStaticKeyBstarTree.cpp (creation,
// layout, node checks and searches, FindKey, NextKey, PrevKey, paths and
// their revalidation), _Insert.cpp (insertion and splits), _Delete.cpp
// (deletion, redistribution, merging, DeleteAllKeys), _Iterate.cpp (range
// walks, record numbers, the count estimate), _Bulk.cpp (the bulk builder).
//
// Key layout. L (ieDescKeyLength) is the key engine's key length, raised to
// a multiple of 4 when it is larger than 32. A leaf entry is the key (L
// bytes) followed by the 8-byte record reference, or the key alone when the
// key is the record reference (bieKeysAreRefs). When the index allows
// duplicates and keys are not references (ieAddKeyRefsToKeys), separators
// carry the reference after the key too (node key length L + 8, else L).
//
//   leaf (u = usable block size, E = leaf entry size, M = leaf capacity)
//     offset            size  meaning
//          0              40  index block header (first slot, count, chain)
//     40 + i*E             L  key of slot i (first <= i < first + count)
//     40 + i*E + L         8  its record reference (unless keys are refs)
//     M = (u - 40) div E; free slots on both sides of the window
//
//   internal node (N = node key length, I = N + 4, C = internal capacity)
//     40 + i*I             4  pointer Pi (child block), i = 0 .. count
//     44 + i*I             N  separator Ki, i = 0 .. count - 1
//     C = (u - 44) div I; first slot always 0
//
// Order: leaf entries by the key engine's whole-key comparison, then (when
// separators carry references) by reference as a signed 64-bit number.
// Separator Ki equals the last entry of the subtree under Pi; Pn leads to
// the entries above K(n-1); an equal separator leads left. The index's page
// count counts its nodes, its key count its leaf entries; root, page count
// and key count live where the indices engine keeps them (its header
// access).
//
// Untrusted bytes: every node is checked before its first, count or kind
// drives a search (first + count <= capacity, kind 1 or 2, internal nodes
// start at 0) and a descent deeper than kMaxIndexTreeDepth levels is a
// cycle; both raise 8962.
//
// Paths: a TqdStaticKeyBstarTreeIndexPath records the leaf, slot, change
// counter and LSN it last saw; every operation that moves from a path first
// revalidates it (ValidateIndexPath): unchanged leaf, changed leaf searched
// in place, or a full search from the root.
//
// Ownership and locks: the engine belongs to its indices engine and keeps
// no tree state besides the layout; scratch buffers (the separator that
// travels up a split, the split buffer, a search key) are allocated once.
// No locks: a table's index operations are serialised by the server and run
// under the caller's transaction in the block cache.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "indexes/qdseIndexBase.h"
#include "storage/qdsrIndexEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdStaticKeyBstarTreeIndexEngineException, EqdBaseIndexEngineException);

class TqdStaticKeyBstarTreeIndexEngine;

// --- The path ------------------------------------------------------------------------------------

class TqdStaticKeyBstarTreeIndexPath : public TqdBaseIndexPath {
 public:
  static const TqdIndexPathClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdStaticKeyBstarTreeIndexPath(TqdBaseIndexEngine* aIndexEngine);

  // The base assignment, plus the leaf position from a path of this class.
  void Assign(const TqdBaseIndexPath* aSource) override;
  // The base clear, plus the leaf position.
  void Clear() override;
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

  // The leaf the path stands in, the slot in it, and the leaf's change
  // counter and LSN when the path last looked at it.
  TqdBlockNumber bpipPage = 0;
  int32_t bpipItem = 0;
  int64_t bpipIdentCounter = 0;
  TqdLSN bpipLSN = 0;
};

// --- The bulk builder ----------------------------------------------------------------------------

// Fills an empty index from all records at once: sorted containers, merged
// into a tree written bottom-up (qdseIndexEngineStaticKeyBstarTree_Bulk.cpp).
class TqdStaticKeyBstarTreeIndexBulkBuilder : public TqdBaseIndexBulkBuilder {
 public:
  static const TqdIndexBulkBuilderClass ClassInfo;

  TqdStaticKeyBstarTreeIndexBulkBuilder(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndexEngine);
  ~TqdStaticKeyBstarTreeIndexBulkBuilder() override;
  TqdStaticKeyBstarTreeIndexBulkBuilder(const TqdStaticKeyBstarTreeIndexBulkBuilder&) = delete;
  TqdStaticKeyBstarTreeIndexBulkBuilder& operator=(const TqdStaticKeyBstarTreeIndexBulkBuilder&) = delete;

  [[nodiscard]] TqdResult InsertKey(TqdRefNr* aRefNr, PqdRecordBuffer aRecord, TqdBaseTransaction* aTrans) override;
  [[nodiscard]] TqdResult Finalize(TqdBaseTransaction* aTrans) override;

  // ---------------------------------------------------------------------------------------------
  // Bulk build (qdseIndexEngineStaticKeyBstarTree_Bulk.cpp): the builder's own members.
  // ---------------------------------------------------------------------------------------------
 private:
  class TqdKeyContainer;
  class TqdPreSortedKeyContainer;
  class TqdTreeBuilder;
  // The containers being filled: the current one and, through kcNext, the
  // earlier ones, newest first.
  struct TqdStaticKeyBstarTreeIndexBulkBuilderHead {
    TqdKeyContainer* bsibbhCurrentContainer = nullptr;
    int32_t bsibbhContainerCount = 0;
  };
  // Containers whose entries, read one container after the other, are in
  // order. A collected entry (E = key length + 8 rounded up to 16 bytes;
  // 4194304 div E of them fill a container):
  //   offset  size  content
  //        0     K  the key (the key engine's key length K)
  //        K E-K-8  not used
  //    E - 8     8  the record reference
  using TqdRun = std::vector<TqdKeyContainer*>;

  // Orders two collected entries: the key engine's whole-key comparison,
  // then the reference (signed); the same entry is equal to itself. Equal
  // entries the index does not allow raise EqdBaseBulkBuilder 9729 with
  // the "BulkCreate" key-violation message pending.
  int32_t bsibbCompare(const uint8_t* aEntry1, const uint8_t* aEntry2);
  [[noreturn]] void bsibbRaiseDuplicate(const uint8_t* aEntry);
  // Sorts (when the container asks for it) and seals the head's current
  // container; an empty one is unlinked and freed.
  void bsibbSealContainer(TqdStaticKeyBstarTreeIndexBulkBuilderHead& aHead);
  // In-place quicksort without recursion (median of three, insertion for
  // short ranges).
  void bsibbSortContainer(TqdKeyContainer& aContainer);
  // Moves the default head's chain, oldest first, into aRun and empties
  // the head.
  void bsibbTakeHeadChain(TqdRun& aRun);
  static uint64_t bsibbRunKeyCount(const TqdRun& aRun);
  // Longer runs first, equal lengths by their first entry.
  bool bsibbRunBefore(const TqdRun& aRun1, const TqdRun& aRun2);
  // Merges two runs, freeing their containers as they empty, into aMerged
  // (pre-sorted containers on the default head) or, when nil, into the
  // tree builder.
  void bsibbMerge(TqdRun& aRun1, TqdRun& aRun2, TqdRun* aMerged);
  void bsibbLinkContainer(TqdKeyContainer* aContainer);
  void bsibbUnlinkContainer(TqdKeyContainer* aContainer);
  // Frees the tree builder and every container still alive.
  void bsibbFreeAll();

  // The block cache of the transaction, for the scratch blocks.
  TqdBufferManager* bsibbBufferManager;
  TqdStaticKeyBstarTreeIndexEngine* bsibbIndexEngine;
  TqdStaticKeyBstarTreeIndexBulkBuilderHead bsibbDefaultHead;
  // Bytes of one collected entry and entries per container.
  int32_t bsibbKeyLength = 0;
  int32_t bsibbKeysPerContainer = 0;
  uint32_t bsibbTotalKeyCount = 0;
  // Only during the final merge.
  TqdTreeBuilder* bsibbTreeBuilder = nullptr;
  bool bsibbDups = false;
  bool bsibbDupsNullOnly = false;
  // Every live container (kcAllNext), whatever run or head it is in.
  TqdKeyContainer* bsibbContainers = nullptr;
};

// --- The engine ----------------------------------------------------------------------------------

class TqdStaticKeyBstarTreeIndexEngine : public TqdBaseIndexEngine {
 public:
  static const TqdIndexEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // How the entries of a node are compared with a search.
  enum TqdNodeSearchMode : uint8_t {
    // Whole key, then the reference (signed 64-bit).
    nsmKeyAndRef,
    // Whole key.
    nsmKeyOnly,
    // CompareKey(search key, entry, field count, partial length).
    nsmPartialKey,
    // The same; an equal entry is remembered and the search goes on to the
    // left (EqualFirst, GreaterEqual, Greater) or right (EqualLast,
    // SmallerEqual, Smaller), or stops (the Any actions).
    nsmPartialKeyByAction,
    // Whole key; an equal key is found unless it contains nulls, in which
    // case the reference decides.
    nsmNullAware,
  };

  // One search: what is looked for and how.
  struct TqdNodeSearch {
    const uint8_t* nsKey = nullptr;
    TqdRefNr nsRefNr = 0;
    int32_t nsFieldCount = 0;
    int32_t nsPartialLen = 0;
    TqdSearchKeyAction nsAction = skaEqualFirst;
    TqdNodeSearchMode nsMode = nsmKeyOnly;
    // nsmNullAware: whether the search key holds a null (set by the caller).
    bool nsKeyHasNulls = false;
  };

  // One level of a descent: a node and the slot taken in it (the child
  // pointer in an internal node, the search slot in the leaf).
  struct TqdTreeLevel {
    TqdBlockNumber tlBlock = 0;
    int32_t tlSlot = 0;
  };
  using TqdTreeLevels = std::array<TqdTreeLevel, kMaxIndexTreeDepth>;

  // Takes ownership of aKeyEngine. On a cache table only the sequential
  // access index (or an index of the internal indices) is allowed (12289).
  TqdStaticKeyBstarTreeIndexEngine(TqdBaseIndicesEngine* aIndicesEngine, TqdIndexDescriptor* aIndexDescriptor,
                                   TqdBaseKeyEngine* aKeyEngine);
  ~TqdStaticKeyBstarTreeIndexEngine() override;

  // The key descriptor's check, then raises the index file's block size
  // until four separators and three leaf entries fit (15494 when 64 KB is
  // too small).
  static void CheckValidDescriptor(TqdIndexDescriptor* aDescriptor);

  // --- The index contract ---
  const TqdIndexPathClass& GetIndexPathClass() const override;
  const TqdIndexBulkBuilderClass& GetBulkBuilderClass() const override;
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
  int64_t SeqAccessLookup(TqdBaseTransaction* aTrans, TqdRefNr aCacheRefNr, TqdBaseIndexPath* aPath) override;

  // --- Layout (also read by the tree checker of the tests) ---
  TqdBaseRecordEngine* RecordEngine() const { return ieRecordEngine; }
  bool IsCacheSeqAccess() const { return ieIsCacheSeqAccess; }
  bool AddKeyRefsToKeys() const { return ieAddKeyRefsToKeys; }
  int32_t DescKeyLength() const { return ieDescKeyLength; }
  int32_t NodeKeyLength() const { return ieNodeKeyLength; }
  int32_t SizeOfLeafNodeKeyPair() const { return ieSizeOfLeafNodeKeyPair; }
  int32_t SizeOfInternalNodeKeyPair() const { return ieSizeOfInternalNodeKeyPair; }
  int32_t MaxLeafNodeKeyCount() const { return ieMaxLeafNodeKeyCount; }
  int32_t MaxInternalNodeKeyCount() const { return ieMaxInternalNodeKeyCount; }

  // --- Entries of a node (slots are absolute; no range checks) ---
  uint8_t* LeafKey(uint8_t* aNode, int32_t aSlot) const { return aNode + ieLeafNodeKeyOffset[size_t(aSlot)]; }
  const uint8_t* LeafKey(const uint8_t* aNode, int32_t aSlot) const {
    return aNode + ieLeafNodeKeyOffset[size_t(aSlot)];
  }
  // The reference of a leaf entry (the key itself when keys are refs).
  TqdRefNr LeafRefNr(const uint8_t* aNode, int32_t aSlot) const {
    return qdGetI64(aNode + ieLeafNodeKeyRefOffset[size_t(aSlot)]);
  }
  const uint8_t* NodeKey(const uint8_t* aNode, int32_t aIndex) const {
    return aNode + ieInternalNodeKeyOffset[size_t(aIndex)];
  }
  uint8_t* NodeKey(uint8_t* aNode, int32_t aIndex) const { return aNode + ieInternalNodeKeyOffset[size_t(aIndex)]; }
  // The reference of separator aIndex; only when separators carry them.
  TqdRefNr NodeKeyRefNr(const uint8_t* aNode, int32_t aIndex) const {
    return qdGetI64(aNode + ieInternalNodeKeyRefOffset[size_t(aIndex)]);
  }
  TqdBlockNumber TreePointer(const uint8_t* aNode, int32_t aIndex) const {
    return qdGetU32(aNode + ieTreePointerOffset[size_t(aIndex)]);
  }
  void SetTreePointer(uint8_t* aNode, int32_t aIndex, TqdBlockNumber aValue) const {
    qdPutU32(aNode + ieTreePointerOffset[size_t(aIndex)], aValue);
  }
  // Moves aCount leaf entries inside one node (the ranges may overlap).
  void MoveLeafEntries(uint8_t* aNode, int32_t aFrom, int32_t aTo, int32_t aCount) const;
  // Copies aCount leaf entries from one node to another.
  void CopyLeafEntries(const uint8_t* aFromNode, int32_t aFrom, uint8_t* aToNode, int32_t aTo, int32_t aCount) const;
  // Writes a leaf entry: the key (CopyKey) and, unless keys are refs, aRefNr.
  void WriteLeafEntry(uint8_t* aNode, int32_t aSlot, const uint8_t* aKey, TqdRefNr aRefNr) const;
  // The capacity of a node of aKind.
  int32_t NodeCapacity(uint8_t aKind) const {
    return aKind == kIndexNodeLeaf ? ieMaxLeafNodeKeyCount : ieMaxInternalNodeKeyCount;
  }

  // --- Nodes ---
  // Raises 8962 unless aNode is a leaf or internal node whose first and
  // count fit its capacity (internal nodes start at slot 0).
  void CheckNode(const uint8_t* aNode, TqdBlockNumber aBlock) const;
  // Node aBlock of this index, read (or fetched for writing, which raises
  // its change counter) and checked.
  TqdBlockRef ReadNode(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock, bool aForWriting);
  // The same, kept in the release list until the operation ends.
  const uint8_t* ReadNodeKept(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock);
  uint8_t* ReadNodeKeptForWriting(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock);
  // A new empty node of aKind, kept in the release list; the page count
  // goes up by one. aBlock receives its number.
  uint8_t* CreateNode(TqdBaseIndexHeaderAccess& aAccess, uint8_t aKind, TqdBlockNumber& aBlock);
  // Raises 8962 for a descent deeper than kMaxIndexTreeDepth levels.
  [[noreturn]] void RaiseTooDeep(TqdBlockNumber aBlock) const;
  [[noreturn]] void RaiseCorruptNode(TqdBlockNumber aBlock, const char* aFile = __builtin_FILE(),
                                     int aLine = __builtin_LINE()) const;

  // --- Searches ---
  // Compares the search with one entry (its key, and its reference when
  // aRefNr is given): <0, 0 or >0 as the search lies before, on or after it.
  int32_t CompareSearch(const TqdNodeSearch& aSearch, const uint8_t* aKey, const uint8_t* aRefNr) const;
  // Binary search over the node's entries: True with the matching slot, or
  // False with the insertion slot.
  bool SearchLeaf(const uint8_t* aNode, const TqdNodeSearch& aSearch, int32_t& aSlot) const;
  bool SearchInternal(const uint8_t* aNode, const TqdNodeSearch& aSearch, int32_t& aSlot) const;
  // Descends from aRoot to the leaf the search leads to; each internal node
  // is released before its child is read. aLevels, when given, receives
  // each node and the slot taken (the leaf's entry is the search slot) and
  // aDepth the index of the leaf level. aFound: the leaf search's result.
  TqdBlockRef DescendToLeaf(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot, const TqdNodeSearch& aSearch,
                            TqdBlockNumber& aLeafBlock, int32_t& aSlot, bool& aFound, TqdTreeLevels* aLevels,
                            int32_t* aDepth);
  // The leftmost (aLast False) or rightmost leaf of the tree.
  TqdBlockRef DescendToEdgeLeaf(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot, bool aLast,
                                TqdBlockNumber& aLeafBlock);
  // The search FindKey uses for these arguments.
  TqdNodeSearch FindKeySearch(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr,
                              TqdSearchKeyAction aAction) const;
  // FindKey with a header access already open (the search's field count
  // and partial length apply).
  bool DoFindKey(TqdBaseIndexHeaderAccess& aAccess, const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
                 TqdRefNr aRefNr, TqdStaticKeyBstarTreeIndexPath& aPath, TqdSearchKeyAction aAction,
                 TqdBaseFilterEngine* aKeyFilter);

  // --- Paths ---
  // aPath when it is a path of this engine, else nil.
  TqdStaticKeyBstarTreeIndexPath* OwnPath(TqdBaseIndexPath* aPath) const;
  // The path of this engine, asserted (caller error otherwise).
  TqdStaticKeyBstarTreeIndexPath& CheckedPath(TqdBaseIndexPath* aPath) const;
  // Puts aPath on leaf entry aSlot of aNode (block aBlock): page, slot,
  // counter, LSN, reference, key (and cache reference on the sequential
  // access index), not deleted, at aPosition.
  void SetPathOnEntry(TqdStaticKeyBstarTreeIndexPath& aPath, TqdBlockNumber aBlock, const uint8_t* aNode, int32_t aSlot,
                      TqdIndexPathPosition aPosition) const;
  // Whether aKeyFilter (nil: none) accepts the key at the path's entry.
  static bool FilterAccepts(TqdBaseFilterEngine* aKeyFilter, const uint8_t* aKey);
  // One step forward (the NextKey step) or backward with aKeyFilter (nil:
  // none); False with the path at EOF (BOF) when it ran off the end. The
  // path must be revalidated already (or at BOF, EOF, on a key or crack).
  bool StepForward(TqdBaseIndexHeaderAccess& aAccess, TqdStaticKeyBstarTreeIndexPath& aPath,
                   TqdBaseFilterEngine* aKeyFilter);
  bool StepBackward(TqdBaseIndexHeaderAccess& aAccess, TqdStaticKeyBstarTreeIndexPath& aPath,
                    TqdBaseFilterEngine* aKeyFilter);
  bool Step(TqdBaseIndexHeaderAccess& aAccess, TqdStaticKeyBstarTreeIndexPath& aPath, TqdBaseFilterEngine* aKeyFilter,
            bool aBackward);
  // NextKey and PrevKey: revalidate, then one step in walking order.
  bool MoveToNeighbour(TqdBaseTransaction* aTrans, TqdStaticKeyBstarTreeIndexPath& aPath,
                       TqdBaseFilterEngine* aKeyFilter, bool aBackward);
  // ValidateIndexPath with a header access already open.
  void DoValidateIndexPath(TqdBaseIndexHeaderAccess& aAccess, TqdStaticKeyBstarTreeIndexPath& aPath);

  // Blocks fetched during one insertion or deletion, released together.
  TqdReleaseList& ReleaseList() { return ieReleaseList; }

 private:
  // --- Insertion (qdseIndexEngineStaticKeyBstarTree_Insert.cpp) ---
  bool InsertIntoTree(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot, const uint8_t* aKey, TqdRefNr aRefNr,
                      TqdStaticKeyBstarTreeIndexPath* aPath);
  // Whether the neighbouring leaf aBlock holds an entry equal to the
  // null-aware search.
  bool NeighbourHolds(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock, const TqdNodeSearch& aSearch);
  // Puts the entry into leaf aNode (block aBlock) at absolute slot aSlot,
  // moving the shorter side of the window (the leaf has room).
  void LeafInsert(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aSlot, const uint8_t* aKey, TqdRefNr aRefNr,
                  TqdStaticKeyBstarTreeIndexPath* aPath);
  // Inserts separator ieTempInsertKey with right node aRight after pointer
  // slot aSlot of internal node aNode (which has room).
  void InternalInsert(uint8_t* aNode, int32_t aSlot, const uint8_t* aSeparator, TqdBlockNumber aRight) const;
  // Set once the insertion under way has changed a block: a failure after
  // that leaves the transaction for rollback only.
  bool ieInsertChanged = false;

  // ---------------------------------------------------------------------------------------------
  // Deletion (qdseIndexEngineStaticKeyBstarTree_Delete.cpp): private members of DeleteKey and
  // DeleteAllKeys go here.
  // ---------------------------------------------------------------------------------------------

  // One deletion: the nodes it changes, held for writing until it ends;
  // separator upkeep, refilling, merging, root collapse, freeing a tree.
  class TqdDeletion;

  // ---------------------------------------------------------------------------------------------
  // Iteration, record numbers, estimate (qdseIndexEngineStaticKeyBstarTree_Iterate.cpp): private
  // members of Iterate, IterateBackward, RecNoGet, RecNoSet and EstimateRecordCount go here.
  // ---------------------------------------------------------------------------------------------
  // Iterate (forward) and IterateBackward (aBackward): the walk starts at the
  // bound on its own side and stops at the other.
  void DoIterate(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, PqdRecordBufferPtr aData,
                 TqdKeyIterator aKeyIterator, TqdRecordIterator aRecIterator, void* aCookie,
                 const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd, TqdBaseFilterEngine* aFilter,
                 TqdBaseFilterEngine* aKeyFilter, bool aKeepPosition, bool aBackward);
  // Whether aPath (on a key or crack) has passed the entry aEntry stands on
  // in the walking direction (standing on it counts as passed unless the
  // path is on the crack facing it).
  bool PathBeyondEntry(const TqdStaticKeyBstarTreeIndexPath& aPath, const TqdStaticKeyBstarTreeIndexPath& aEntry,
                       bool aBackward);
  // The estimate for two paths in different leaves, aFirst's entry not
  // after aLast's: the entries between them weighed level by level along
  // both root-to-leaf paths, scaled to aKeys.
  double EstimateBetween(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot,
                         const TqdStaticKeyBstarTreeIndexPath& aFirst, const TqdStaticKeyBstarTreeIndexPath& aLast,
                         double aKeys);

  // ---------------------------------------------------------------------------------------------
  // Bulk build (qdseIndexEngineStaticKeyBstarTree_Bulk.cpp): engine members the bulk builder needs
  // go here.
  // ---------------------------------------------------------------------------------------------

 protected:
  TqdBaseRecordEngine* ieRecordEngine = nullptr;
  bool ieIsCacheSeqAccess = false;
  bool ieAddKeyRefsToKeys = false;
  int32_t ieDescKeyLength = 0;
  int32_t ieNodeKeyLength = 0;
  int32_t ieSizeOfLeafNodeKeyPair = 0;
  int32_t ieSizeOfInternalNodeKeyPair = 0;
  int32_t ieMaxLeafNodeKeyCount = 0;
  int32_t ieMaxInternalNodeKeyCount = 0;
  // Offsets in a node: leaf keys and references (capacity + 1 entries),
  // separators and their references (capacity + 1), pointers (capacity + 2).
  std::vector<uint32_t> ieLeafNodeKeyOffset;
  std::vector<uint32_t> ieLeafNodeKeyRefOffset;
  std::vector<uint32_t> ieInternalNodeKeyOffset;
  std::vector<uint32_t> ieInternalNodeKeyRefOffset;
  std::vector<uint32_t> ieTreePointerOffset;
  // The separator travelling up a split (node key length) and the block on
  // its left.
  std::vector<uint8_t> ieTempInsertKey;
  TqdBlockNumber ieTempInsertBlock = 0;
  // A full internal node plus one entry, for a split.
  std::vector<uint8_t> ieSplitBuffer;
  // A copy of a path's key for its full revalidation.
  std::vector<uint8_t> ieSearchKey;
  TqdReleaseList ieReleaseList;
};

void qdseIndexEngineStaticKeyBstarTreeInitialize();
void qdseIndexEngineStaticKeyBstarTreeFinalize();

}  // namespace qd
