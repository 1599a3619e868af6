// The index families: the indices engine every table keeps its indexes
// through, the index engine of one index, the index path a cursor stands
// on, the index header access that reaches an index's four persistent
// values, and the bulk builders that fill empty indexes. Concrete engines:
// indexes/qdseIndicesEngineSimple.h ("qd1xDefault" in the "indices" family),
// indexes/qdseIndexEngineStaticKeyBstarTree.h ("qd1xDefault" in "index").
//
// Classes: TqdBaseIndicesEngine, TqdBaseIndexEngine, TqdBaseIndexPath,
// TqdBaseIndexHeaderAccess, TqdBaseBulkBuilder, TqdBulkBuilderHub,
// TqdBaseIndexBulkBuilder, TqdDefaultIndexBulkBuilder; their class records
// (TqdIndicesEngineClass, TqdIndexEngineClass, TqdIndexPathClass,
// TqdIndexHeaderAccessClass, TqdIndexBulkBuilderClass,
// TqdBulkBuilderHubClass); TqdRangeInfo and TqdKeyErrorType. The search
// actions, path positions and iterator callbacks are the dictionary's types
// (dictionary/qdsdTypes.h).
//
// Ownership: the indices engine belongs to the open table; it owns its index
// engines (in index-number order) and one new-key and one old-key scratch
// buffer per index. An index engine owns its key engine and its bookmark
// handler. A path belongs to its cursor and owns its key buffer. A header
// access lives for one index operation and owns the file header access it
// opened. Bulk builders belong to whoever created them.
//
// Locks: none. One indices engine, its index engines and their paths are
// used by one thread at a time under the server's table locks; blocks are
// read and written through the block cache under the caller's transaction.
//
// The Current* values of an indices engine describe the key operation under
// way (record reference, cache reference, key, transaction), so that a key
// engine or record engine called back from an index can learn which record
// is being indexed. "None" is the largest signed 64-bit value for the
// references and nil for the key and transaction.
//
// Bookmark of an index path (layout: storage/qdsdBookmarkHandling.h): index
// number -1 and key length 0 for a standalone path; the reference field
// holds CacheRefNr for a cache table, else RefNr; the key bytes hold the
// path's key when valid, else a cleared key.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "platform/qdVariant.h"
#include "storage/qdsdBookmarkHandling.h"
#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdBaseIndicesDescriptor;
class TqdIndexDescriptor;
class TqdBaseKeyEngine;
class TqdBaseRecordEngine;
class TqdBaseFileHeaderAccess;
class TqdBaseIndicesEngine;
class TqdBaseIndexEngine;
class TqdBaseIndexPath;
class TqdBaseIndexHeaderAccess;
class TqdBaseBulkBuilder;

// --- Exceptions --------------------------------------------------------------

QD_DECLARE_EXCEPTION_CLASS(EqdBaseIndicesEngineException, EqdBaseSubEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseIndexEngineException, EqdBaseSubEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseBulkBuilder, EqdServerException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseIndexBulkBuilder, EqdBaseBulkBuilder);

// --- Shared value types ------------------------------------------------------

// One bound of a key range. A bound is used only when riValid; riFieldCount
// and riPartitial (0, 0 = whole key) say how much of riKey takes part;
// riExclusive leaves keys equal to the bound out.
struct TqdRangeInfo {
  PqdKeyBuffer riKey = nullptr;
  int32_t riFieldCount = 0;
  int32_t riPartitial = 0;
  bool riExclusive = false;
  bool riValid = false;
};

// The operation a key violation happened in (names in the message:
// "Insert", "Delete", "Modify/Delete", "Modify/Insert", "BulkCreate").
enum TqdKeyErrorType : uint8_t { etInsert, etDelete, etModifyDelete, etModifyInsert, etBulkCreate };

// Root block of an empty index.
inline constexpr uint32_t qdIndexRootNone = 0xFFFFFFFFu;
// The Current reference values while no key operation runs.
inline constexpr TqdRefNr qdNoCurrentRefNr = std::numeric_limits<int64_t>::max();

using TqdIndexEngines = std::vector<TqdBaseIndexEngine*>;
using TqdBaseBulkBuilders = std::vector<TqdBaseBulkBuilder*>;

// --- Class records -----------------------------------------------------------

struct TqdIndicesEngineClass : TqdClassInfo {
  TqdBaseIndicesEngine* (*Create)(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                  TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans,
                                  bool aAddToExisting) = nullptr;
  // The class's descriptor check; nil: the base check (every index
  // descriptor's engine check, in order).
  void (*CheckValidDescriptor)(TqdBaseIndicesDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseIndicesEngine* qdNewIndicesEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                         TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans,
                                         bool aAddToExisting) {
  return new T(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting);
}

struct TqdIndexEngineClass : TqdClassInfo {
  // Takes ownership of aKeyEngine (also when it raises).
  TqdBaseIndexEngine* (*Create)(TqdBaseIndicesEngine* aIndicesEngine, TqdIndexDescriptor* aIndexDescriptor,
                                TqdBaseKeyEngine* aKeyEngine) = nullptr;
  // The class's descriptor check; nil: the base check (the key descriptor).
  void (*CheckValidDescriptor)(TqdIndexDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseIndexEngine* qdNewIndexEngine(TqdBaseIndicesEngine* aIndicesEngine, TqdIndexDescriptor* aIndexDescriptor,
                                     TqdBaseKeyEngine* aKeyEngine) {
  return new T(aIndicesEngine, aIndexDescriptor, aKeyEngine);
}

struct TqdIndexPathClass : TqdClassInfo {
  TqdBaseIndexPath* (*Create)(TqdBaseIndexEngine* aIndexEngine) = nullptr;
};

template <class T>
TqdBaseIndexPath* qdNewIndexPath(TqdBaseIndexEngine* aIndexEngine) {
  return new T(aIndexEngine);
}

struct TqdIndexHeaderAccessClass : TqdClassInfo {
  TqdBaseIndexHeaderAccess* (*Create)(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndex, bool aFileMarkDirty,
                                      bool aIndexMarkDirty, int32_t aFieldCount, int32_t aPartialLen) = nullptr;
};

template <class T>
TqdBaseIndexHeaderAccess* qdNewIndexHeaderAccess(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndex,
                                                 bool aFileMarkDirty, bool aIndexMarkDirty, int32_t aFieldCount,
                                                 int32_t aPartialLen) {
  return new T(aTrans, aIndex, aFileMarkDirty, aIndexMarkDirty, aFieldCount, aPartialLen);
}

struct TqdIndexBulkBuilderClass : TqdClassInfo {
  TqdBaseBulkBuilder* (*Create)(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndexEngine) = nullptr;
};

template <class T>
TqdBaseBulkBuilder* qdNewIndexBulkBuilder(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndexEngine) {
  return new T(aTrans, aIndexEngine);
}

struct TqdBulkBuilderHubClass : TqdClassInfo {
  TqdBaseBulkBuilder* (*Create)(TqdBaseTransaction* aTrans, const TqdIndexEngines& aIndexEngines) = nullptr;
};

// --- The indices engine ------------------------------------------------------

class TqdBaseIndicesEngine : public TqdBaseSubEngine {
 public:
  static const TqdIndicesEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Keeps the descriptor, files and record engine; adds one index engine
  // per index descriptor and allocates the key buffers. aTrans is given
  // when the indexes are being created, nil when an existing table opens.
  // Index engine constructors must not call back into this object's
  // virtual operations (it is still under construction).
  TqdBaseIndicesEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                       TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans, bool aAddToExisting);
  ~TqdBaseIndicesEngine() override;
  TqdBaseIndicesEngine(const TqdBaseIndicesEngine&) = delete;
  TqdBaseIndicesEngine& operator=(const TqdBaseIndicesEngine&) = delete;

  // --- Class level ---
  static const TqdIndicesEngineClass* FindEngineClass(qdStringView aName);
  // Nil for a nil descriptor; 15503 for an unknown engine name.
  static TqdBaseIndicesEngine* CreateEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                            TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans,
                                            bool aAddToExisting);
  static TqdBaseIndicesEngine* CreateEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                            TqdBaseTransaction* aTrans, bool aAddToExisting);
  // The table's main indices descriptor.
  static TqdBaseIndicesEngine* CreateEngine(TqdBaseTableDescriptor* aTableDescriptor, const TqdBlockAccessList& aFiles,
                                            TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans,
                                            bool aAddToExisting);
  // Every index descriptor's engine check, in order.
  static void CheckValidDescriptor(TqdBaseIndicesDescriptor* aDescriptor);
  // The engine named by the descriptor (15503 when unknown), then its check.
  static void CheckValidBaseFromDescriptor(TqdBaseIndicesDescriptor* aDescriptor);
  // The family's part of the dictionary check: the main indices descriptor
  // only.
  static void CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor);

  // --- Hooks of concrete engines ---
  // After index aInx was added; nothing in the base.
  virtual void IndexAdded(TqdBaseTransaction* aTrans, int32_t aInx);
  // While index aInx is being removed, after its keys were deleted and
  // before its engine is freed; nothing in the base.
  virtual void IndexRemoved(TqdBaseTransaction* aTrans, int32_t aInx);
  virtual const TqdIndexHeaderAccessClass& GetHeaderAccessClass() const = 0;
  virtual const TqdBulkBuilderHubClass& GetBulkBuilderHubClass() const;
  // No index: nil; one index: its own builder; several: a hub. The caller
  // owns the result.
  virtual TqdBaseBulkBuilder* CreateBulkBuilder(TqdBaseTransaction* aTrans);

  // --- Index set ---
  // The descriptor already holds the new index aIndex as its last; 15425
  // otherwise.
  void AddIndex(TqdBaseTransaction* aTrans, int32_t aIndex);
  // The descriptor already lacks the index; later indexes are renumbered
  // down by one. 15425 for a number that does not fit.
  void RemoveIndex(TqdBaseTransaction* aTrans, int32_t aIndex);

  // --- Key maintenance (0 or an error number; 9729 leaves the key-violation
  // message pending for the thread) ---
  // A failure undoes the key in every earlier index.
  [[nodiscard]] TqdResult InsertKeys(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aRecord,
                                     TqdBaseIndexPath* aPath);
  // A failure marks the transaction corrupted.
  [[nodiscard]] TqdResult DeleteKeys(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aRecord,
                                     TqdBaseIndexPath* aPath);
  // Touches only indexes whose key or reference changed. A failed insert
  // (or a key that cannot be built) undoes the earlier indexes; a failed
  // delete marks the transaction corrupted.
  [[nodiscard]] TqdResult UpdateKeys(TqdBaseTransaction* aTrans, TqdRefNr aOldRefNr, PqdRecordBuffer aOldRecord,
                                     TqdRefNr aNewRefNr, PqdRecordBuffer aNewRecord, TqdBaseIndexPath* aPath);

  // --- Properties ---
  TqdBaseIndicesDescriptor* Descriptor() const { return biseDescriptor; }
  TqdBaseRecordEngine* RecordEngine() const { return biseRecordEngine; }
  TqdBaseIndexEngine* SeqIndexEngine() const { return biseSeqIndexEngine; }
  bool NLSVersionChanged() const { return biseNLSVersionChanged; }
  bool IsCache() const { return biseIsCache; }
  int32_t RefNrOffset() const { return biseRefNrOffset; }
  TqdBaseTransaction* CurrentTrans() const { return biseCurrentTrans; }
  TqdRefNr CurrentRefNr() const { return biseCurrentRefNr; }
  TqdRefNr CurrentCacheRefNr() const { return biseCurrentCacheRefNr; }
  PqdKeyBuffer CurrentKey() const { return biseCurrentKey; }
  int32_t IndexCount() const { return int32_t(biseIndices.size()); }
  int32_t FileCount() const { return int32_t(biseFiles.size()); }
  TqdBaseIndexEngine* biseGetIndex(int32_t aInx) const { return biseIndices[size_t(aInx)]; }
  TqdBlockAccess* biseGetFile(int32_t aInx) const { return biseFiles[size_t(aInx)]; }
  const TqdIndexEngines& Indices() const { return biseIndices; }
  const TqdBlockAccessList& Files() const { return biseFiles; }

  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 protected:
  // Creates and appends the engine of the descriptor's index aIndex (whose
  // number must equal the engine count).
  void AddIndexEngine(TqdIndexDescriptor* aIndexDescriptor);
  void AllocKeys();
  void FreeKeys();
  // The 64-bit cache reference at biseRefNrOffset in aRecord; 0 without.
  TqdRefNr CacheRefNrOf(const uint8_t* aRecord) const;
  void SetCurrent(TqdRefNr aRefNr, TqdRefNr aCacheRefNr, PqdKeyBuffer aKey);
  void ResetCurrent();

  TqdBaseIndicesDescriptor* biseDescriptor;
  TqdBlockAccessList biseFiles;
  TqdIndexEngines biseIndices;
  TqdBaseRecordEngine* biseRecordEngine;
  TqdBaseIndexEngine* biseSeqIndexEngine = nullptr;
  bool biseIsCache = false;
  int32_t biseRefNrOffset = -1;
  bool biseKeysAllocated = false;
  std::vector<PqdKeyBuffer> biseNewKeys;
  std::vector<PqdKeyBuffer> biseOldKeys;
  std::vector<bool> biseNewKeysValid;
  std::vector<bool> biseOldKeysValid;
  std::vector<int32_t> biseComp;
  TqdBaseTransaction* biseCurrentTrans = nullptr;
  TqdRefNr biseCurrentRefNr = qdNoCurrentRefNr;
  TqdRefNr biseCurrentCacheRefNr = qdNoCurrentRefNr;
  PqdKeyBuffer biseCurrentKey = nullptr;
  bool biseNLSVersionChanged = false;
};

// --- The index engine --------------------------------------------------------

class TqdBaseIndexEngine : public TqdBaseSubEngine {
 public:
  static const TqdIndexEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Takes ownership of aKeyEngine; the index file is the indices engine's
  // file with the descriptor's file number.
  TqdBaseIndexEngine(TqdBaseIndicesEngine* aIndicesEngine, TqdIndexDescriptor* aIndexDescriptor,
                     TqdBaseKeyEngine* aKeyEngine);
  // Frees the key engine and the bookmark handler.
  ~TqdBaseIndexEngine() override;
  TqdBaseIndexEngine(const TqdBaseIndexEngine&) = delete;
  TqdBaseIndexEngine& operator=(const TqdBaseIndexEngine&) = delete;

  // --- Class level ---
  static const TqdIndexEngineClass* FindEngineClass(qdStringView aName);
  // The class named by the descriptor's index engine (15503 when unknown),
  // created on aKeyEngine, which it owns from then on (freed here when the
  // class is unknown).
  static TqdBaseIndexEngine* CreateEngine(TqdBaseIndicesEngine* aIndicesEngine, TqdBaseKeyEngine* aKeyEngine,
                                          TqdIndexDescriptor* aIndexDescriptor);
  // The key descriptor's check when the index descriptor has a parent.
  static void CheckValidDescriptor(TqdIndexDescriptor* aDescriptor);
  // The class named by the descriptor (15503 when unknown), then its check.
  static void CheckValidBaseFromDescriptor(TqdIndexDescriptor* aDescriptor);

  // --- Engine-specific classes ---
  virtual const TqdIndexPathClass& GetIndexPathClass() const = 0;
  // The default builder (TqdDefaultIndexBulkBuilder) in the base.
  virtual const TqdIndexBulkBuilderClass& GetBulkBuilderClass() const;

  // --- Factories (the caller owns the results) ---
  // The indices engine's header access class on this index.
  TqdBaseIndexHeaderAccess* CreateHeaderAccess(TqdBaseTransaction* aTrans, bool aFileMarkDirty, bool aIndexMarkDirty,
                                               int32_t aFieldCount, int32_t aPartialLen);
  TqdBaseIndexPath* CreateIndexPath();
  virtual TqdBaseBulkBuilder* CreateBulkBuilder(TqdBaseTransaction* aTrans);

  // --- The index operations ---
  // Brings an earlier positioned path up to date with the index's current
  // contents; afterwards Position, RefNr and Key describe a real place.
  virtual void ValidateIndexPath(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath) = 0;
  // Empties the index and frees its blocks: root -1, page and key count 0.
  virtual void DeleteAllKeys(TqdBaseTransaction* aTrans) = 0;
  // Removes (aKey, aRefNr); False when not there. A path of this engine is
  // left on the crack where the entry was, marked Deleted (BOF when the
  // index became empty); a path of another engine is ignored.
  virtual bool DeleteKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr, TqdRefNr aCacheRefNr,
                         TqdBaseIndexPath* aPath) = 0;
  // Adds the entry; False when the index refuses the duplicate. A path of
  // this engine is left on the new entry.
  virtual bool InsertKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr, TqdRefNr aCacheRefNr,
                         TqdBaseIndexPath* aPath) = 0;
  // Positions aPath by aAction on the first aFieldCount fields and
  // aPartialLen characters (0, 0 = whole key; aRefNr 0 = any record). The
  // Equal actions answer True only on an equal key (else False, path on
  // the crack); the others end on a key, BOF or EOF and answer True.
  virtual bool FindKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, int32_t aFieldCount, int32_t aPartialLen,
                       TqdRefNr aRefNr, TqdBaseIndexPath* aPath, TqdSearchKeyAction aAction,
                       TqdBaseFilterEngine* aKeyFilter) = 0;
  // The next key passing aKeyFilter; False and EOF at the end; a path at
  // ippUnknown starts from BOF.
  virtual bool NextKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, TqdBaseFilterEngine* aKeyFilter) = 0;
  // Mirror image of NextKey (False and BOF; ippUnknown starts from EOF).
  virtual bool PrevKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, TqdBaseFilterEngine* aKeyFilter) = 0;
  virtual void GetKeyCount(TqdBaseTransaction* aTrans, uint32_t& aCount) = 0;
  // Walks forward through the range (or on from the path with
  // aKeepPosition): the key iterator per key passing aKeyFilter (kirSkipKey
  // skips, kirStop stops), then the record (read into *aData when given)
  // and the record iterator for records passing aFilter (rirStop stops). A
  // stop leaves the path on that key, the end of the range at EOF.
  virtual void Iterate(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, PqdRecordBufferPtr aData,
                       TqdKeyIterator aKeyIterator, TqdRecordIterator aRecIterator, void* aCookie,
                       const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd, TqdBaseFilterEngine* aFilter,
                       TqdBaseFilterEngine* aKeyFilter, bool aKeepPosition) = 0;
  // The same backward from the range end; its end leaves the path at BOF.
  virtual void IterateBackward(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath, PqdRecordBufferPtr aData,
                               TqdKeyIterator aKeyIterator, TqdRecordIterator aRecIterator, void* aCookie,
                               const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                               TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter, bool aKeepPosition) = 0;
  // The 1-based position of the path's key among the range's keys passing
  // the filters (from the end with aFlipOrder): 0, the path's
  // CheckCurrentState code, 8705 before the range or 8706 after it.
  [[nodiscard]] virtual TqdResult RecNoGet(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                           const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                                           TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter,
                                           uint32_t& aRecNo, bool aFlipOrder) = 0;
  // Positions the path on the aRecNo-th such key; 0 gives BOF and 8705, a
  // number beyond the range EOF and 8706.
  [[nodiscard]] virtual TqdResult RecNoSet(TqdBaseTransaction* aTrans, uint32_t aRecNo, TqdBaseIndexPath* aPath,
                                           const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                                           TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter,
                                           bool aFlipOrder) = 0;
  // An estimate of the keys in the range without reading every key; 0.
  [[nodiscard]] virtual TqdResult EstimateRecordCount(TqdBaseTransaction* aTrans, const TqdRangeInfo& aRangeStart,
                                                      const TqdRangeInfo& aRangeEnd, uint32_t& aRecordCount,
                                                      bool aFlipOrder) = 0;
  // Leaves the six-line key-violation message pending for the thread and
  // returns 9729; raises nothing.
  [[nodiscard]] virtual TqdResult GetKeyError(TqdKeyErrorType aErrorType, PqdKeyBuffer aKey, TqdRefNr aRefNr);
  // The record with cache reference aCacheRefNr through the sequential
  // access index; 0 in the base.
  virtual int64_t SeqAccessLookup(TqdBaseTransaction* aTrans, TqdRefNr aCacheRefNr, TqdBaseIndexPath* aPath);

  // --- Properties ---
  TqdBaseIndicesEngine* IndicesEngine() const { return bieIndicesEngine; }
  TqdBaseKeyEngine* KeyEngine() const { return bieKeyEngine; }
  TqdBookmarkHandler* BookmarkHandler() const { return bieBookmarkHandler; }
  TqdBlockAccess* IndexFile() const { return bieIndexFile; }
  int32_t IndexNumber() const { return bieIndexNumber; }
  const qdString& IndexName() const { return bieIndexName; }
  bool Dups() const { return bieDups; }
  bool DupsNullOnly() const { return bieDupsNullOnly; }
  bool KeysAreRefs() const { return bieKeysAreRefs; }
  int32_t MaxFieldCount() const { return bieMaxFieldCount; }
  int32_t RefNrOffset() const { return bieRefNrOffset; }
  bool NLSVersionChanged() const;

  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 protected:
  friend class TqdBaseIndicesEngine;
  // Renumbering after an earlier index was removed: the engine and its
  // bookmark handler go down together.
  void SetIndexNumber(int32_t aNumber);

  TqdBaseIndicesEngine* bieIndicesEngine;
  TqdBaseKeyEngine* bieKeyEngine;
  TqdBookmarkHandler* bieBookmarkHandler = nullptr;
  TqdBlockAccess* bieIndexFile = nullptr;
  int32_t bieIndexNumber = 0;
  qdString bieIndexName;
  bool bieDups = false;
  bool bieDupsNullOnly = false;
  bool bieKeysAreRefs = false;
  int32_t bieMaxFieldCount = 0;
  int32_t bieRefNrOffset = -1;
};

// --- The index path ----------------------------------------------------------

class TqdBaseIndexPath : public TqdPersistent {
 public:
  static const TqdIndexPathClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Allocates Key from the engine's key engine and takes the engine's
  // bookmark handler; with nil, no key and the shared handler of paths
  // without an index engine.
  explicit TqdBaseIndexPath(TqdBaseIndexEngine* aIndexEngine);
  // Frees the key through the key engine.
  ~TqdBaseIndexPath() override;
  TqdBaseIndexPath(const TqdBaseIndexPath&) = delete;
  TqdBaseIndexPath& operator=(const TqdBaseIndexPath&) = delete;

  // A path of no index (a table without indexes).
  static TqdBaseIndexPath* CreateStandalone();
  // A new path of the same class on the same engine, assigned from this one.
  TqdBaseIndexPath* Duplicate();

  // From a path on the same index engine: Clear, then the position, the
  // references, the key (when valid) and Deleted. Itself: unchanged. Any
  // other source raises the cannot-assign error.
  virtual void Assign(const TqdBaseIndexPath* aSource);
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;
  // References 0, key not valid, ippUnknown, not deleted (the key buffer
  // keeps its bytes).
  virtual void Clear();
  virtual void SetToEof();
  virtual void SetToBof();
  // Only from a crack or a key: that crack, not deleted.
  virtual void SetToCrackBefore();
  virtual void SetToCrackAfter();
  // Only from a key: the crack before it, deleted.
  virtual void SetToDeleted();
  // Clear, then the key of aRecord (filters ignored). 9986 (not buildable,
  // nil record) counts as success with KeyValid False; on success the path
  // stands on aRefNr (ippOnKey); another error leaves it cleared.
  [[nodiscard]] virtual TqdResult SetToRecord(PqdRecordBuffer aRecord, TqdRefNr aRefNr);
  virtual bool IsOnKey() const;
  virtual bool IsOnCrack() const;
  virtual bool IsEof() const;
  virtual bool IsBof() const;
  virtual bool IsDeleted() const;
  // Deleted: 8708; BOF: 8705; on a key: 0; EOF: 8706; otherwise 8709.
  [[nodiscard]] virtual TqdResult CheckCurrentState() const;
  // 9986 when aSize is below BookmarkSize (nothing written); else 0.
  [[nodiscard]] virtual TqdResult GetBookmark(uint8_t* aBookmark, uint32_t aSize, bool aIsCache);
  [[nodiscard]] virtual TqdResult CheckBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize);
  [[nodiscard]] virtual TqdResult CompareBookmarks(PqdBookmarkBuffer aBookmark1, PqdBookmarkBuffer aBookmark2,
                                                   uint32_t aSize, int32_t& aCompResult);
  // Keeps the engine-specific position when the bookmark describes where
  // the path already stands; else takes the bookmark's values and leaves
  // the engine to re-find the key (ValidateIndexPath).
  [[nodiscard]] virtual TqdResult SetToBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize, bool aIsCache);
  [[nodiscard]] virtual TqdResult BookmarkAsVariant(PqdBookmarkBuffer aBookmark, uint32_t aSize, TqdVariant& aVariant);

  TqdBaseIndexEngine* IndexEngine() const { return bipIndexEngine; }
  TqdBookmarkHandler* BookmarkHandler() const { return bipBookmarkHandler; }
  uint32_t BookmarkSize() const { return bipBookmarkHandler->BookmarkSize(); }

  TqdRefNr RefNr = 0;
  TqdRefNr CacheRefNr = 0;
  bool KeyValid = false;
  PqdKeyBuffer Key = nullptr;
  TqdIndexPathPosition Position = ippUnknown;
  bool Deleted = false;

 protected:
  TqdBaseIndexEngine* bipIndexEngine;
  TqdBookmarkHandler* bipBookmarkHandler;
};

// --- The index header access -------------------------------------------------

// An index's four persistent values for one operation. Where they live is
// the indices engine's concern (its GetHeaderAccessClass).
class TqdBaseIndexHeaderAccess : public TqdObject {
 public:
  static const TqdIndexHeaderAccessClass ClassInfo;

  // Keeps the values; bhaID is the indices engine's sub-engine ID.
  TqdBaseIndexHeaderAccess(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndex, bool aFileMarkDirty,
                           bool aIndexMarkDirty, int32_t aFieldCount, int32_t aPartialLen);
  // Frees the file header access when one was opened.
  ~TqdBaseIndexHeaderAccess() override;
  TqdBaseIndexHeaderAccess(const TqdBaseIndexHeaderAccess&) = delete;
  TqdBaseIndexHeaderAccess& operator=(const TqdBaseIndexHeaderAccess&) = delete;

  // qdIndexRootNone for an empty index.
  virtual uint32_t GetIndexRoot() = 0;
  virtual void SetIndexRoot(uint32_t aValue) = 0;
  virtual uint32_t GetIndexPageCount() = 0;
  virtual void SetIndexPageCount(uint32_t aValue) = 0;
  virtual uint32_t GetIndexKeyCount() = 0;
  virtual void SetIndexKeyCount(uint32_t aValue) = 0;
  virtual TqdLSN GetIndexLSN() = 0;

  // The index file's header access, opened on first use (for writing when
  // bhaFileMarkDirty).
  TqdBaseFileHeaderAccess* FileHeader();
  TqdBaseTransaction* Transaction() const { return bhaTrans; }
  TqdBaseIndexEngine* Index() const { return bhaIndex; }
  int32_t ID() const { return bhaID; }
  bool FileMarkDirty() const { return bhaFileMarkDirty; }
  bool IndexMarkDirty() const { return bhaIndexMarkDirty; }
  // How many key fields, and characters of the last one, take part in
  // comparisons made through this access (0, 0 = the whole key).
  int32_t FieldCount() const { return bhaFieldCount; }
  int32_t PartialLen() const { return bhaPartialLen; }
  void SetCompareDate(int32_t aFieldCount, int32_t aPartialLen);

 protected:
  TqdBaseTransaction* bhaTrans;
  bool bhaFileMarkDirty;
  bool bhaIndexMarkDirty;
  int32_t bhaID;
  TqdBaseIndexEngine* bhaIndex;
  std::unique_ptr<TqdBaseFileHeaderAccess> bhaFileHeader;
  int32_t bhaFieldCount;
  int32_t bhaPartialLen;
};

// --- Bulk builders -----------------------------------------------------------
//
// Used on empty indexes only: the caller creates one, feeds every record
// once through InsertKey, calls Finalize once and frees it.

class TqdBaseBulkBuilder : public TqdObject {
 public:
  // aRefNr points to the record's reference. 0 or an error number.
  [[nodiscard]] virtual TqdResult InsertKey(TqdRefNr* aRefNr, PqdRecordBuffer aRecord, TqdBaseTransaction* aTrans) = 0;
  [[nodiscard]] virtual TqdResult Finalize(TqdBaseTransaction* aTrans) = 0;
};

// One builder per index; calls them in index order and stops at the first
// non-zero result.
class TqdBulkBuilderHub : public TqdBaseBulkBuilder {
 public:
  static const TqdBulkBuilderHubClass ClassInfo;

  TqdBulkBuilderHub(TqdBaseTransaction* aTrans, const TqdIndexEngines& aIndexEngines);
  ~TqdBulkBuilderHub() override;
  TqdBulkBuilderHub(const TqdBulkBuilderHub&) = delete;
  TqdBulkBuilderHub& operator=(const TqdBulkBuilderHub&) = delete;

  [[nodiscard]] TqdResult InsertKey(TqdRefNr* aRefNr, PqdRecordBuffer aRecord, TqdBaseTransaction* aTrans) override;
  [[nodiscard]] TqdResult Finalize(TqdBaseTransaction* aTrans) override;

  const TqdBaseBulkBuilders& BulkBuilders() const { return bbhBulkBuilders; }

 protected:
  TqdBaseBulkBuilders bbhBulkBuilders;
};

// The builder of one index; refuses a non-empty index (15511).
class TqdBaseIndexBulkBuilder : public TqdBaseBulkBuilder {
 public:
  TqdBaseIndexBulkBuilder(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndexEngine);

  TqdBaseIndexEngine* IndexEngine() const { return bibbIndexEngine; }

 protected:
  TqdBaseIndexEngine* bibbIndexEngine;
  TqdBaseKeyEngine* bibbKeyEngine;
  int32_t bibbRefNrOffest;
};

// Key by key through the engine's InsertKey, for engines without a builder
// of their own.
class TqdDefaultIndexBulkBuilder : public TqdBaseIndexBulkBuilder {
 public:
  static const TqdIndexBulkBuilderClass ClassInfo;

  TqdDefaultIndexBulkBuilder(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndexEngine);
  ~TqdDefaultIndexBulkBuilder() override;
  TqdDefaultIndexBulkBuilder(const TqdDefaultIndexBulkBuilder&) = delete;
  TqdDefaultIndexBulkBuilder& operator=(const TqdDefaultIndexBulkBuilder&) = delete;

  [[nodiscard]] TqdResult InsertKey(TqdRefNr* aRefNr, PqdRecordBuffer aRecord, TqdBaseTransaction* aTrans) override;
  [[nodiscard]] TqdResult Finalize(TqdBaseTransaction* aTrans) override;

 protected:
  PqdKeyBuffer dibbKey = nullptr;
};

void qdsrIndexEngineBaseInitialize();
void qdsrIndexEngineBaseFinalize();

}  // namespace qd
