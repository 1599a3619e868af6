#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseIndexEngineStaticKeyBstarTree";

int32_t relation(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// The stored key length: exact up to 32 bytes, else a multiple of 4.
int32_t storedKeyLength(int32_t aKeyLength) { return aKeyLength > 32 ? (aKeyLength + 3) & ~3 : aKeyLength; }

bool isEqualAction(TqdSearchKeyAction aAction) {
  return aAction == skaEqualFirst || aAction == skaEqualLast || aAction == skaAnyEqual;
}
// Actions that look at the keys from the search key onwards.
bool isGreaterAction(TqdSearchKeyAction aAction) {
  return aAction == skaGreaterEqual || aAction == skaGreater || aAction == skaAnyGreaterEqual ||
         aAction == skaAnyGreater;
}
bool isSmallerAction(TqdSearchKeyAction aAction) {
  return aAction == skaSmallerEqual || aAction == skaSmaller || aAction == skaAnySmallerEqual ||
         aAction == skaAnySmaller;
}

// Whether the key filter's time-out check (set by the cursor) says the
// time is up.
bool filterTimeIsUp(TqdBaseFilterEngine* aFilter) {
  const TqdFilterCheckTimeOut& check = aFilter->CheckTimeOut();
  if (!check) return false;
  TqdResult local = 0;
  TqdResult* result = aFilter->CheckTimeOutResult();
  return check(result != nullptr ? *result : local);
}

struct TqdRebuildCookie {
  TqdBaseKeyEngine* rcKeyEngine;
  PqdKeyBuffer rcKey;
  TqdRefNr rcRefNr;
  int32_t rcRefNrOffset;
  TqdRefNr rcCacheRefNr;
  TqdResult rcResult;
  bool rcRead;
};

// Rebuilds a path's key from its record (filters ignored).
TqdRecordIteratorResult rebuildKeyFromRecord(void* aCookie, TqdRefNr, PqdRecordBuffer aRecord) {
  auto* cookie = static_cast<TqdRebuildCookie*>(aCookie);
  cookie->rcRead = true;
  cookie->rcResult = cookie->rcKeyEngine->BuildKey(aRecord, cookie->rcKey, cookie->rcRefNr, true);
  if (cookie->rcRefNrOffset >= 0 && aRecord != nullptr)
    cookie->rcCacheRefNr = qdGetI64(aRecord + cookie->rcRefNrOffset);
  return rirStop;
}

}  // namespace

// --- Class records ---------------------------------------------------------------------------------

const TqdIndexPathClass TqdStaticKeyBstarTreeIndexPath::ClassInfo{
    {u"TqdStaticKeyBstarTreeIndexPath", &TqdBaseIndexPath::ClassInfo, nullptr},
    &qdNewIndexPath<TqdStaticKeyBstarTreeIndexPath>};

const TqdIndexBulkBuilderClass TqdStaticKeyBstarTreeIndexBulkBuilder::ClassInfo{
    {u"TqdStaticKeyBstarTreeIndexBulkBuilder", nullptr, nullptr},
    &qdNewIndexBulkBuilder<TqdStaticKeyBstarTreeIndexBulkBuilder>};

const TqdIndexEngineClass TqdStaticKeyBstarTreeIndexEngine::ClassInfo{
    {u"TqdStaticKeyBstarTreeIndexEngine", &TqdBaseIndexEngine::ClassInfo, nullptr},
    &qdNewIndexEngine<TqdStaticKeyBstarTreeIndexEngine>,
    &TqdStaticKeyBstarTreeIndexEngine::CheckValidDescriptor};

// --- The path ----------------------------------------------------------------------------------------

TqdStaticKeyBstarTreeIndexPath::TqdStaticKeyBstarTreeIndexPath(TqdBaseIndexEngine* aIndexEngine)
    : TqdBaseIndexPath(aIndexEngine) {}

void TqdStaticKeyBstarTreeIndexPath::Assign(const TqdBaseIndexPath* aSource) {
  TqdBaseIndexPath::Assign(aSource);
  if (aSource == this || aSource == nullptr || !aSource->ClassType().InheritsFrom(ClassInfo)) return;
  const auto* source = static_cast<const TqdStaticKeyBstarTreeIndexPath*>(aSource);
  bpipPage = source->bpipPage;
  bpipItem = source->bpipItem;
  bpipIdentCounter = source->bpipIdentCounter;
  bpipLSN = source->bpipLSN;
}

void TqdStaticKeyBstarTreeIndexPath::Clear() {
  TqdBaseIndexPath::Clear();
  bpipPage = 0;
  bpipItem = 0;
  bpipIdentCounter = 0;
  bpipLSN = 0;
}

void TqdStaticKeyBstarTreeIndexPath::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseIndexPath::DescribeTo(aContainer);
  aContainer->AddInt64(u"Page", bpipPage);
  aContainer->AddInt64(u"Item", bpipItem);
}

// --- Creation and layout -----------------------------------------------------------------------------

TqdStaticKeyBstarTreeIndexEngine::TqdStaticKeyBstarTreeIndexEngine(TqdBaseIndicesEngine* aIndicesEngine,
                                                                   TqdIndexDescriptor* aIndexDescriptor,
                                                                   TqdBaseKeyEngine* aKeyEngine)
    : TqdBaseIndexEngine(aIndicesEngine, aIndexDescriptor, aKeyEngine) {
  ieRecordEngine = aIndicesEngine->RecordEngine();
  if (aIndicesEngine->IsCache()) {
    if (qdSameClassName(bieIndexName, TqdIndexDescriptor::kSequentialAccessIndex))
      ieIsCacheSeqAccess = true;
    else if (dynamic_cast<TqdInternalIndicesDescriptor*>(aIndicesEngine->Descriptor()) == nullptr)
      throw EqdStaticKeyBstarTreeIndexEngineException(qdeNotSupported, u"%s is not supported for cache tables",
                                                      {qdString(ClassInfo.ClassName)});
  }
  ieAddKeyRefsToKeys = bieDups && !bieKeysAreRefs;
  ieDescKeyLength = storedKeyLength(bieKeyEngine->KeyLength());
  ieNodeKeyLength = ieDescKeyLength + (ieAddKeyRefsToKeys ? 8 : 0);
  ieSizeOfLeafNodeKeyPair = ieDescKeyLength + (bieKeysAreRefs ? 0 : 8);
  ieSizeOfInternalNodeKeyPair = ieNodeKeyLength + 4;
  const int32_t usable = int32_t(bieIndexFile->fiBlockSizeBytes());
  ieMaxLeafNodeKeyCount = std::max(0, (usable - int32_t(kIndexBlockHeaderSize)) / ieSizeOfLeafNodeKeyPair);
  ieMaxInternalNodeKeyCount = std::max(0, (usable - int32_t(kIndexBlockHeaderSize) - 4) / ieSizeOfInternalNodeKeyPair);
  // The descriptor check makes room for these; a file whose blocks are
  // smaller than its dictionary says cannot hold the tree.
  if (ieMaxLeafNodeKeyCount < 3 || ieMaxInternalNodeKeyCount < 4)
    throw EqdStaticKeyBstarTreeIndexEngineException(
        qdeKeyTooLarge, u"Maximum key size has been exceeded. Index: #%d %s", {bieIndexNumber, bieIndexName});
  const size_t leafSlots = size_t(ieMaxLeafNodeKeyCount) + 1;
  ieLeafNodeKeyOffset.resize(leafSlots);
  ieLeafNodeKeyRefOffset.resize(leafSlots);
  for (size_t i = 0; i < leafSlots; ++i) {
    ieLeafNodeKeyOffset[i] = kIndexBlockHeaderSize + uint32_t(i) * uint32_t(ieSizeOfLeafNodeKeyPair);
    ieLeafNodeKeyRefOffset[i] = ieLeafNodeKeyOffset[i] + (bieKeysAreRefs ? 0 : uint32_t(ieDescKeyLength));
  }
  const size_t nodeKeys = size_t(ieMaxInternalNodeKeyCount) + 1;
  ieInternalNodeKeyOffset.resize(nodeKeys);
  ieInternalNodeKeyRefOffset.resize(nodeKeys);
  ieTreePointerOffset.resize(nodeKeys + 1);
  for (size_t i = 0; i < nodeKeys + 1; ++i)
    ieTreePointerOffset[i] = kIndexBlockHeaderSize + uint32_t(i) * uint32_t(ieSizeOfInternalNodeKeyPair);
  for (size_t i = 0; i < nodeKeys; ++i) {
    ieInternalNodeKeyOffset[i] = ieTreePointerOffset[i] + 4;
    ieInternalNodeKeyRefOffset[i] = ieInternalNodeKeyOffset[i] + uint32_t(ieDescKeyLength);
  }
  ieTempInsertKey.assign(size_t(ieNodeKeyLength), 0);
  ieSplitBuffer.assign(size_t(usable) + size_t(ieSizeOfInternalNodeKeyPair), 0);
  ieSearchKey.assign(size_t(std::max<int32_t>(bieKeyEngine->KeyLength(), ieDescKeyLength)), 0);
}

TqdStaticKeyBstarTreeIndexEngine::~TqdStaticKeyBstarTreeIndexEngine() { ieReleaseList.Release(); }

void TqdStaticKeyBstarTreeIndexEngine::CheckValidDescriptor(TqdIndexDescriptor* aDescriptor) {
  TqdBaseIndexEngine::CheckValidDescriptor(aDescriptor);
  TqdBaseKeyDescriptor* key = aDescriptor->KeyDescriptor();
  if (key == nullptr) return;
  const bool refKey = dynamic_cast<TqdRefKeyDescriptor*>(key) != nullptr;
  const bool refsInNodes =
      aDescriptor->Dups() != idNone && !refKey && !(aDescriptor->Dups() == idNull && !key->CanContainNulls());
  const uint32_t length = uint32_t(storedKeyLength(key->KeyLen()));
  const uint32_t internalEntry = length + (refsInNodes ? 8 : 0) + 4;
  const uint32_t leafEntry = length + (refKey ? 0 : 8);
  const uint32_t need = std::max(44 + 4 * internalEntry, 40 + 3 * leafEntry);
  TqdFileDescriptor* file = aDescriptor->IndexFile();
  if (file == nullptr) return;
  const TqdDataDictionary* dictionary = aDescriptor->Dictionary();
  for (int code = file->BlockSize(); code <= kMaxTableBlockSizeCode; ++code) {
    const auto size = TqdBlockSize(code);
    const uint32_t bytes = uint32_t(qdBlockSizeBytes(size));
    const uint32_t usable = dictionary != nullptr ? dictionary->UsableBlockSize(bytes) : bytes;
    if (usable < need) continue;
    if (file->BlockSize() < size) file->SetBlockSize(size);
    return;
  }
  throw EqdStaticKeyBstarTreeIndexEngineException(qdeKeyTooLarge, u"Maximum key size has been exceeded. Index: #%d %s",
                                                  {aDescriptor->Number(), aDescriptor->Name()});
}

const TqdIndexPathClass& TqdStaticKeyBstarTreeIndexEngine::GetIndexPathClass() const {
  return TqdStaticKeyBstarTreeIndexPath::ClassInfo;
}

const TqdIndexBulkBuilderClass& TqdStaticKeyBstarTreeIndexEngine::GetBulkBuilderClass() const {
  return TqdStaticKeyBstarTreeIndexBulkBuilder::ClassInfo;
}

// --- Entries -----------------------------------------------------------------------------------------

void TqdStaticKeyBstarTreeIndexEngine::MoveLeafEntries(uint8_t* aNode, int32_t aFrom, int32_t aTo,
                                                       int32_t aCount) const {
  if (aCount <= 0 || aFrom == aTo) return;
  std::memmove(aNode + ieLeafNodeKeyOffset[size_t(aTo)], aNode + ieLeafNodeKeyOffset[size_t(aFrom)],
               size_t(aCount) * size_t(ieSizeOfLeafNodeKeyPair));
}

void TqdStaticKeyBstarTreeIndexEngine::CopyLeafEntries(const uint8_t* aFromNode, int32_t aFrom, uint8_t* aToNode,
                                                       int32_t aTo, int32_t aCount) const {
  if (aCount <= 0) return;
  std::memmove(aToNode + ieLeafNodeKeyOffset[size_t(aTo)], aFromNode + ieLeafNodeKeyOffset[size_t(aFrom)],
               size_t(aCount) * size_t(ieSizeOfLeafNodeKeyPair));
}

void TqdStaticKeyBstarTreeIndexEngine::WriteLeafEntry(uint8_t* aNode, int32_t aSlot, const uint8_t* aKey,
                                                      TqdRefNr aRefNr) const {
  uint8_t* entry = aNode + ieLeafNodeKeyOffset[size_t(aSlot)];
  bieKeyEngine->CopyKey(aKey, entry);
  if (!bieKeysAreRefs) qdPutI64(entry + ieDescKeyLength, aRefNr);
}

// --- Nodes -------------------------------------------------------------------------------------------

void TqdStaticKeyBstarTreeIndexEngine::RaiseCorruptNode(TqdBlockNumber aBlock, const char* aFile, int aLine) const {
  qdRaiseCorrupt<EqdStaticKeyBstarTreeIndexEngineException>(
      qdeFileCorrupt,
      qd::Format(u"Corrupt index node [%s, block %d, index %s]",
                 {bieIndexFile->fiName(), int64_t(aBlock), bieIndexName}),
      aFile, aLine);
}

void TqdStaticKeyBstarTreeIndexEngine::RaiseTooDeep(TqdBlockNumber aBlock) const {
  qdRaiseCorrupt<EqdStaticKeyBstarTreeIndexEngineException>(
      qdeFileCorrupt, qd::Format(u"Index tree deeper than %d levels [%s, block %d, index %s]",
                                 {kMaxIndexTreeDepth, bieIndexFile->fiName(), int64_t(aBlock), bieIndexName}));
}

void TqdStaticKeyBstarTreeIndexEngine::CheckNode(const uint8_t* aNode, TqdBlockNumber aBlock) const {
  if (!qdIndexNodeFits(aNode, ieMaxLeafNodeKeyCount, ieMaxInternalNodeKeyCount)) RaiseCorruptNode(aBlock);
}

TqdBlockRef TqdStaticKeyBstarTreeIndexEngine::ReadNode(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock,
                                                       bool aForWriting) {
  TqdBlockRef block = qdReadIndexBlock(aAccess.Transaction(), bieIndexFile, aAccess.ID(), aBlock, aForWriting);
  CheckNode(block.Data(), aBlock);
  return block;
}

const uint8_t* TqdStaticKeyBstarTreeIndexEngine::ReadNodeKept(TqdBaseIndexHeaderAccess& aAccess,
                                                              TqdBlockNumber aBlock) {
  return ieReleaseList.Add(ReadNode(aAccess, aBlock, false));
}

uint8_t* TqdStaticKeyBstarTreeIndexEngine::ReadNodeKeptForWriting(TqdBaseIndexHeaderAccess& aAccess,
                                                                  TqdBlockNumber aBlock) {
  TqdBlockRef block = ReadNode(aAccess, aBlock, true);
  uint8_t* node = block.WritableData();
  ieReleaseList.Add(std::move(block));
  return node;
}

uint8_t* TqdStaticKeyBstarTreeIndexEngine::CreateNode(TqdBaseIndexHeaderAccess& aAccess, uint8_t aKind,
                                                      TqdBlockNumber& aBlock) {
  TqdBlockRef block =
      qdCreateIndexNode(aAccess.Transaction(), aAccess.FileHeader(), aAccess.ID(), aKind, bieIndexNumber);
  aBlock = qdBlockThisBlock(block.Data());
  uint8_t* node = block.WritableData();
  ieReleaseList.Add(std::move(block));
  aAccess.SetIndexPageCount(aAccess.GetIndexPageCount() + 1);
  return node;
}

// --- Searches ----------------------------------------------------------------------------------------

int32_t TqdStaticKeyBstarTreeIndexEngine::CompareSearch(const TqdNodeSearch& aSearch, const uint8_t* aKey,
                                                        const uint8_t* aRefNr) const {
  switch (aSearch.nsMode) {
    case nsmKeyAndRef: {
      const int32_t c = bieKeyEngine->CompareWholeKey(aSearch.nsKey, aKey);
      if (c != 0 || aRefNr == nullptr) return c;
      return relation(aSearch.nsRefNr, qdGetI64(aRefNr));
    }
    case nsmKeyOnly:
      return bieKeyEngine->CompareWholeKey(aSearch.nsKey, aKey);
    case nsmPartialKey:
    case nsmPartialKeyByAction:
      return bieKeyEngine->CompareKey(aSearch.nsKey, aKey, aSearch.nsFieldCount, aSearch.nsPartialLen);
    case nsmNullAware: {
      const int32_t c = bieKeyEngine->CompareWholeKey(aSearch.nsKey, aKey);
      if (c != 0 || !aSearch.nsKeyHasNulls || aRefNr == nullptr) return c;
      return relation(aSearch.nsRefNr, qdGetI64(aRefNr));
    }
  }
  return 0;
}

namespace {

// Asks for the entries of the first three halvings together: a node that
// is not in the processor's cache then costs about one memory wait for them
// instead of three in a row.
template <class TEntry>
void prefetchHalvings(int32_t aLow, int32_t aHigh, TEntry& aEntry) {
  if (aHigh - aLow < 16) return;
  const int32_t span = aHigh - aLow;
  for (int32_t eighth = 1; eighth < 8; ++eighth) {
    const uint8_t* key = nullptr;
    const uint8_t* refNr = nullptr;
    aEntry(aLow + span * eighth / 8, key, refNr);
    __builtin_prefetch(key);
  }
}

// The binary search for a whole key over the slots aLow .. aHigh with an
// inline comparison: aCompare(entry key) is the relation of the search key
// to the entry's key. Finds the equal slot, else the slot the key belongs
// before.
template <class TEntry, class TCompare>
bool searchWholeKey(int32_t aLow, int32_t aHigh, TEntry& aEntry, TCompare aCompare, int32_t& aSlot) {
  while (aLow <= aHigh) {
    const int32_t probe = (aLow + aHigh) >> 1;
    const uint8_t* key = nullptr;
    const uint8_t* refNr = nullptr;
    aEntry(probe, key, refNr);
    const int32_t c = aCompare(key);
    if (c > 0) {
      aLow = probe + 1;
    } else if (c < 0) {
      aHigh = probe - 1;
    } else {
      aSlot = probe;
      return true;
    }
  }
  aSlot = aLow;
  return false;
}

// searchWholeKey with the key engine's plain order, when it has one and the
// search key's field is not null; false in aDone otherwise.
template <class TEntry>
bool searchPlain(TqdBaseKeyEngine& aKeyEngine, const uint8_t* aSearchKey, int32_t aLow, int32_t aHigh, TEntry& aEntry,
                 int32_t& aSlot, bool& aDone) {
  const TqdPlainKeyCompare& plain = aKeyEngine.PlainCompare();
  aDone = false;
  if (plain.pkcOrder == pkoNone || (plain.pkcNullBitmap && (aSearchKey[0] & 1) != 0)) return false;
  aDone = true;
  const uint32_t offset = plain.pkcOffset;
  const bool bitmap = plain.pkcNullBitmap;
  const int8_t sign = plain.pkcDescending ? -1 : 1;
  // An entry whose field is null is ordered by the key engine itself.
  if (plain.pkcOrder == pkoInt64) {
    const int64_t value = qdGetI64(aSearchKey + offset);
    return searchWholeKey(
        aLow, aHigh, aEntry,
        [&](const uint8_t* aKey) -> int32_t {
          if (bitmap && (aKey[0] & 1) != 0) return aKeyEngine.CompareKey(aSearchKey, aKey, 0, 0);
          return sign * qdPlainRelation(value, qdGetI64(aKey + offset));
        },
        aSlot);
  }
  const size_t length = plain.pkcLength;
  const uint8_t* bytes = aSearchKey + offset;
  return searchWholeKey(
      aLow, aHigh, aEntry,
      [&](const uint8_t* aKey) -> int32_t {
        if (bitmap && (aKey[0] & 1) != 0) return aKeyEngine.CompareKey(aSearchKey, aKey, 0, 0);
        return sign * qdPlainBytesRelation(bytes, aKey + offset, length);
      },
      aSlot);
}

// The binary search shared by leaves and internal nodes over the slots
// aLow .. aHigh; aEntry(slot) gives the key and reference of a slot.
template <class TEntry>
bool searchSlots(const TqdStaticKeyBstarTreeIndexEngine& aEngine,
                 const TqdStaticKeyBstarTreeIndexEngine::TqdNodeSearch& aSearch, int32_t aLow, int32_t aHigh,
                 TEntry&& aEntry, int32_t& aSlot) {
  using E = TqdStaticKeyBstarTreeIndexEngine;
  prefetchHalvings(aLow, aHigh, aEntry);
  TqdBaseKeyEngine* keyEngine = aEngine.KeyEngine();
  // Key only and a partial-key search without its own action compare the
  // whole key (FindKeySearch): the key engine's plain order serves them.
  if (aSearch.nsMode == E::nsmKeyOnly || aSearch.nsMode == E::nsmPartialKey) {
    bool done = false;
    const bool found = searchPlain(*keyEngine, aSearch.nsKey, aLow, aHigh, aEntry, aSlot, done);
    if (done) return found;
  }
  // A search by key alone asks the key engine directly.
  const bool byKey = aSearch.nsMode == E::nsmKeyOnly || aSearch.nsMode == E::nsmPartialKey ||
                     aSearch.nsMode == E::nsmPartialKeyByAction;
  const int32_t fieldCount = aSearch.nsMode == E::nsmKeyOnly ? 0 : aSearch.nsFieldCount;
  const int32_t partialLen = aSearch.nsMode == E::nsmKeyOnly ? 0 : aSearch.nsPartialLen;
  bool found = false;
  int32_t match = 0;
  while (aLow <= aHigh) {
    const int32_t probe = (aLow + aHigh) >> 1;
    const uint8_t* key = nullptr;
    const uint8_t* refNr = nullptr;
    aEntry(probe, key, refNr);
    const int32_t c = byKey ? keyEngine->CompareKey(aSearch.nsKey, key, fieldCount, partialLen)
                            : aEngine.CompareSearch(aSearch, key, refNr);
    if (c > 0) {
      aLow = probe + 1;
    } else if (c < 0) {
      aHigh = probe - 1;
    } else if (aSearch.nsMode == E::nsmPartialKeyByAction) {
      found = true;
      match = probe;
      switch (aSearch.nsAction) {
        case skaEqualFirst:
        case skaGreaterEqual:
        case skaGreater:
          aHigh = probe - 1;
          break;
        case skaEqualLast:
        case skaSmallerEqual:
        case skaSmaller:
          aLow = probe + 1;
          break;
        default:
          aSlot = probe;
          return true;
      }
    } else {
      aSlot = probe;
      return true;
    }
  }
  aSlot = found ? match : aLow;
  return found;
}

}  // namespace

bool TqdStaticKeyBstarTreeIndexEngine::SearchLeaf(const uint8_t* aNode, const TqdNodeSearch& aSearch,
                                                  int32_t& aSlot) const {
  const int32_t first = qdIndexNodeFirst(aNode);
  const int32_t count = qdIndexNodeCount(aNode);
  const bool refs = !bieKeysAreRefs;
  return searchSlots(
      *this, aSearch, first, first + count - 1,
      [&](int32_t aProbe, const uint8_t*& aKey, const uint8_t*& aRefNr) {
        aKey = aNode + ieLeafNodeKeyOffset[size_t(aProbe)];
        aRefNr = refs ? aNode + ieLeafNodeKeyRefOffset[size_t(aProbe)] : nullptr;
      },
      aSlot);
}

bool TqdStaticKeyBstarTreeIndexEngine::SearchInternal(const uint8_t* aNode, const TqdNodeSearch& aSearch,
                                                      int32_t& aSlot) const {
  const int32_t count = qdIndexNodeCount(aNode);
  const bool refs = ieAddKeyRefsToKeys;
  return searchSlots(
      *this, aSearch, 0, count - 1,
      [&](int32_t aProbe, const uint8_t*& aKey, const uint8_t*& aRefNr) {
        aKey = aNode + ieInternalNodeKeyOffset[size_t(aProbe)];
        aRefNr = refs ? aNode + ieInternalNodeKeyRefOffset[size_t(aProbe)] : nullptr;
      },
      aSlot);
}

TqdBlockRef TqdStaticKeyBstarTreeIndexEngine::DescendToLeaf(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot,
                                                            const TqdNodeSearch& aSearch, TqdBlockNumber& aLeafBlock,
                                                            int32_t& aSlot, bool& aFound, TqdTreeLevels* aLevels,
                                                            int32_t* aDepth) {
  TqdBlockNumber block = aRoot;
  for (int32_t level = 0;; ++level) {
    if (level >= kMaxIndexTreeDepth) RaiseTooDeep(block);
    TqdBlockRef node = ReadNode(aAccess, block, false);
    const uint8_t* data = node.Data();
    if (qdIndexNodeKind(data) == kIndexNodeLeaf) {
      aFound = SearchLeaf(data, aSearch, aSlot);
      if (aLevels != nullptr) (*aLevels)[size_t(level)] = {block, aSlot};
      if (aDepth != nullptr) *aDepth = level;
      aLeafBlock = block;
      return node;
    }
    int32_t slot = 0;
    (void)SearchInternal(data, aSearch, slot);  // found or not, Pslot leads on
    if (aLevels != nullptr) (*aLevels)[size_t(level)] = {block, slot};
    block = TreePointer(data, slot);
  }
}

TqdBlockRef TqdStaticKeyBstarTreeIndexEngine::DescendToEdgeLeaf(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot,
                                                                bool aLast, TqdBlockNumber& aLeafBlock) {
  TqdBlockNumber block = aRoot;
  for (int32_t level = 0;; ++level) {
    if (level >= kMaxIndexTreeDepth) RaiseTooDeep(block);
    TqdBlockRef node = ReadNode(aAccess, block, false);
    const uint8_t* data = node.Data();
    if (qdIndexNodeKind(data) == kIndexNodeLeaf) {
      aLeafBlock = block;
      return node;
    }
    block = TreePointer(data, aLast ? qdIndexNodeCount(data) : 0);
  }
}

TqdStaticKeyBstarTreeIndexEngine::TqdNodeSearch TqdStaticKeyBstarTreeIndexEngine::FindKeySearch(
    const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr, TqdSearchKeyAction aAction) const {
  TqdNodeSearch search;
  search.nsKey = aKey;
  search.nsRefNr = aRefNr;
  search.nsFieldCount = aFieldCount;
  search.nsPartialLen = aPartialLen;
  search.nsAction = aAction;
  if (ieAddKeyRefsToKeys && aRefNr != 0 && aFieldCount == 0 && aPartialLen == 0)
    search.nsMode = nsmKeyAndRef;
  else if (bieDups || aPartialLen != 0 || (aFieldCount != 0 && aFieldCount != bieMaxFieldCount))
    search.nsMode = nsmPartialKeyByAction;
  else
    search.nsMode = nsmPartialKey;
  return search;
}

// --- Paths -------------------------------------------------------------------------------------------

TqdStaticKeyBstarTreeIndexPath* TqdStaticKeyBstarTreeIndexEngine::OwnPath(TqdBaseIndexPath* aPath) const {
  if (aPath == nullptr || aPath->IndexEngine() != this ||
      !aPath->ClassType().InheritsFrom(TqdStaticKeyBstarTreeIndexPath::ClassInfo))
    return nullptr;
  return static_cast<TqdStaticKeyBstarTreeIndexPath*>(aPath);
}

TqdStaticKeyBstarTreeIndexPath& TqdStaticKeyBstarTreeIndexEngine::CheckedPath(TqdBaseIndexPath* aPath) const {
  TqdStaticKeyBstarTreeIndexPath* path = OwnPath(aPath);
  if (path == nullptr) qdAssertFailed(kUnit, "the path belongs to this index engine");
  return *path;
}

void TqdStaticKeyBstarTreeIndexEngine::SetPathOnEntry(TqdStaticKeyBstarTreeIndexPath& aPath, TqdBlockNumber aBlock,
                                                      const uint8_t* aNode, int32_t aSlot,
                                                      TqdIndexPathPosition aPosition) const {
  const uint8_t* key = aNode + ieLeafNodeKeyOffset[size_t(aSlot)];
  aPath.bpipPage = aBlock;
  aPath.bpipItem = aSlot;
  aPath.bpipIdentCounter = int64_t(qdIndexNodeCounter(aNode));
  aPath.bpipLSN = qdBlockLSN(aNode);
  aPath.RefNr = qdGetI64(aNode + ieLeafNodeKeyRefOffset[size_t(aSlot)]);
  bieKeyEngine->CopyKey(key, aPath.Key);
  aPath.KeyValid = true;
  if (ieIsCacheSeqAccess) aPath.CacheRefNr = qdGetI64(key);
  aPath.Deleted = false;
  aPath.Position = aPosition;
}

bool TqdStaticKeyBstarTreeIndexEngine::FilterAccepts(TqdBaseFilterEngine* aKeyFilter, const uint8_t* aKey) {
  return aKeyFilter == nullptr || aKeyFilter->MatchesBuffer(aKey);
}

bool TqdStaticKeyBstarTreeIndexEngine::StepForward(TqdBaseIndexHeaderAccess& aAccess,
                                                   TqdStaticKeyBstarTreeIndexPath& aPath,
                                                   TqdBaseFilterEngine* aKeyFilter) {
  return Step(aAccess, aPath, aKeyFilter, false);
}

bool TqdStaticKeyBstarTreeIndexEngine::StepBackward(TqdBaseIndexHeaderAccess& aAccess,
                                                    TqdStaticKeyBstarTreeIndexPath& aPath,
                                                    TqdBaseFilterEngine* aKeyFilter) {
  return Step(aAccess, aPath, aKeyFilter, true);
}

bool TqdStaticKeyBstarTreeIndexEngine::Step(TqdBaseIndexHeaderAccess& aAccess, TqdStaticKeyBstarTreeIndexPath& aPath,
                                            TqdBaseFilterEngine* aKeyFilter, bool aBackward) {
  const auto runOff = [&] {
    if (aBackward)
      aPath.SetToBof();
    else
      aPath.SetToEof();
    return false;
  };
  if (aPath.Position == (aBackward ? ippBof : ippEof)) return false;
  // The leaf's entry the walk looks at first, in walking order.
  const auto firstInOrder = [aBackward](const uint8_t* aNode) {
    return aBackward ? qdIndexNodeFirst(aNode) + qdIndexNodeCount(aNode) - 1 : int32_t(qdIndexNodeFirst(aNode));
  };
  const int32_t step = aBackward ? -1 : 1;
  TqdBlockRef leaf;
  TqdBlockNumber block = 0;
  int32_t target = 0;
  if (aPath.Position == (aBackward ? ippEof : ippBof) || aPath.Position == ippUnknown) {
    const uint32_t root = aAccess.GetIndexRoot();
    if (root == qdIndexRootNone) return runOff();
    leaf = DescendToEdgeLeaf(aAccess, root, aBackward, block);
    target = firstInOrder(leaf.Data());
  } else {
    block = aPath.bpipPage;
    leaf = ReadNode(aAccess, block, false);
    if (qdIndexNodeKind(leaf.Data()) != kIndexNodeLeaf) RaiseCorruptNode(block);
    const int32_t first = qdIndexNodeFirst(leaf.Data());
    const int32_t last = first + qdIndexNodeCount(leaf.Data()) - 1;
    const int32_t slot = aPath.bpipItem;
    // On the crack before (forward) or after (backward) a key of this leaf,
    // that key is the next one in walking order.
    const bool onCrackFacingKey = aPath.Position == (aBackward ? ippOnCrackAfter : ippOnCrackBefore);
    target = onCrackFacingKey && slot >= first && slot <= last ? slot : slot + step;
    // A slot outside the window in walking direction moves on to the
    // neighbouring leaf; one outside it against the direction starts at
    // the window's near end.
    if (!aBackward && target < first) target = first;
    if (aBackward && target > last) target = last;
  }
  TqdLeafChainGuard guard(aAccess.FileHeader());
  for (;;) {
    const uint8_t* node = leaf.Data();
    const int32_t first = qdIndexNodeFirst(node);
    if (target < first || target >= first + qdIndexNodeCount(node)) {
      const TqdBlockNumber neighbour = aBackward ? qdIndexNodePrev(node) : qdIndexNodeNext(node);
      if (neighbour == kNoBlock) return runOff();
      if (!guard.Hop()) RaiseCorruptNode(neighbour);
      leaf.Release();
      qdCheckTimeout();
      leaf = ReadNode(aAccess, neighbour, false);
      if (qdIndexNodeKind(leaf.Data()) != kIndexNodeLeaf) RaiseCorruptNode(neighbour);
      block = neighbour;
      target = firstInOrder(leaf.Data());
      continue;
    }
    if (FilterAccepts(aKeyFilter, LeafKey(node, target)) || filterTimeIsUp(aKeyFilter)) {
      SetPathOnEntry(aPath, block, node, target, ippOnKey);
      return true;
    }
    target += step;
  }
}

// --- FindKey, NextKey, PrevKey -----------------------------------------------------------------------

bool TqdStaticKeyBstarTreeIndexEngine::FindKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, int32_t aFieldCount,
                                               int32_t aPartialLen, TqdRefNr aRefNr, TqdBaseIndexPath* aPath,
                                               TqdSearchKeyAction aAction, TqdBaseFilterEngine* aKeyFilter) {
  TqdStaticKeyBstarTreeIndexPath& path = CheckedPath(aPath);
  try {
    std::unique_ptr<TqdBaseIndexHeaderAccess> access(
        CreateHeaderAccess(aTrans, false, false, aFieldCount, aPartialLen));
    return DoFindKey(*access, aKey, aFieldCount, aPartialLen, aRefNr, path, aAction, qdActiveFilter(aKeyFilter));
  } catch (...) {
    if (isGreaterAction(aAction) || aAction == skaEqualLast)
      path.SetToEof();
    else
      path.SetToBof();
    throw;
  }
}

bool TqdStaticKeyBstarTreeIndexEngine::DoFindKey(TqdBaseIndexHeaderAccess& aAccess, const uint8_t* aKey,
                                                 int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr,
                                                 TqdStaticKeyBstarTreeIndexPath& aPath, TqdSearchKeyAction aAction,
                                                 TqdBaseFilterEngine* aKeyFilter) {
  const uint32_t root = aAccess.GetIndexRoot();
  if (root == qdIndexRootNone) {
    if (isEqualAction(aAction)) return false;
    if (isSmallerAction(aAction))
      aPath.SetToBof();
    else
      aPath.SetToEof();
    return true;
  }
  // The search key must outlive the path's key being overwritten.
  if (aKey == aPath.Key) {
    std::memcpy(ieSearchKey.data(), aKey, bieKeyEngine->KeyLength());
    aKey = ieSearchKey.data();
  }
  const TqdNodeSearch search = FindKeySearch(aKey, aFieldCount, aPartialLen, aRefNr, aAction);
  bool found = false;
  {
    TqdBlockNumber block = 0;
    int32_t slot = 0;
    TqdBlockRef leaf = DescendToLeaf(aAccess, root, search, block, slot, found, nullptr, nullptr);
    const uint8_t* node = leaf.Data();
    const int32_t first = qdIndexNodeFirst(node);
    const int32_t count = qdIndexNodeCount(node);
    // A leaf of a tree that has a root holds at least one entry.
    if (count == 0) RaiseCorruptNode(block);
    if (found)
      SetPathOnEntry(aPath, block, node, slot, ippOnKey);
    else if (slot < first + count)
      SetPathOnEntry(aPath, block, node, slot, ippOnCrackBefore);
    else
      SetPathOnEntry(aPath, block, node, first + count - 1, ippOnCrackAfter);
  }
  bool result = true;
  // Whether the path left the entry the search found equal.
  bool moved = !found;
  if (found) {
    const bool anyAction = aAction == skaAnyEqual || aAction == skaAnyGreaterEqual || aAction == skaAnySmallerEqual;
    const bool walkRun = (aAction == skaGreater || aAction == skaSmaller ||
                          (bieDups && search.nsMode != nsmKeyAndRef) || aFieldCount != 0 || aPartialLen != 0) &&
                         !anyAction;
    if (walkRun) {
      moved = true;
      const bool backward = aAction == skaEqualFirst || aAction == skaGreaterEqual || aAction == skaSmaller;
      for (;;) {
        const bool stepped = backward ? StepBackward(aAccess, aPath, nullptr) : StepForward(aAccess, aPath, nullptr);
        if (!stepped || bieKeyEngine->CompareKey(aKey, aPath.Key, aFieldCount, aPartialLen) != 0) break;
      }
      if (aAction == skaEqualFirst || aAction == skaGreaterEqual)
        (void)StepForward(aAccess, aPath, aKeyFilter);  // False leaves the path at EOF, which answers
      else if (aAction == skaEqualLast || aAction == skaSmallerEqual)
        (void)StepBackward(aAccess, aPath, aKeyFilter);  // likewise at BOF
      else if (aKeyFilter != nullptr && aPath.IsOnKey() && !FilterAccepts(aKeyFilter, aPath.Key))
        // Greater and Smaller end on the first key past the run, which the
        // filter has not seen yet.
        (void)(aAction == skaGreater ? StepForward(aAccess, aPath, aKeyFilter)
                                     : StepBackward(aAccess, aPath, aKeyFilter));
    } else if (aKeyFilter != nullptr && !FilterAccepts(aKeyFilter, aPath.Key)) {
      moved = true;
      // The key found is not visible through the filter: the next visible
      // one in the action's direction answers.
      (void)(isSmallerAction(aAction) || aAction == skaEqualLast ? StepBackward(aAccess, aPath, aKeyFilter)
                                                                 : StepForward(aAccess, aPath, aKeyFilter));
    }
  } else {
    if (isGreaterAction(aAction))
      (void)StepForward(aAccess, aPath, aKeyFilter);  // False leaves the path at EOF
    else if (isSmallerAction(aAction))
      (void)StepBackward(aAccess, aPath, aKeyFilter);  // False leaves the path at BOF
    result = !aPath.IsOnCrack();
  }
  if (isEqualAction(aAction) && result) {
    if (!aPath.IsOnKey()) {
      result = false;
    } else if (moved && bieKeyEngine->CompareKey(aKey, aPath.Key, aFieldCount, aPartialLen) != 0) {
      result = false;
      aPath.Position = aAction == skaEqualLast ? ippOnCrackAfter : ippOnCrackBefore;
    }
  }
  return result;
}

bool TqdStaticKeyBstarTreeIndexEngine::NextKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                               TqdBaseFilterEngine* aKeyFilter) {
  return MoveToNeighbour(aTrans, CheckedPath(aPath), aKeyFilter, false);
}

bool TqdStaticKeyBstarTreeIndexEngine::PrevKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                               TqdBaseFilterEngine* aKeyFilter) {
  return MoveToNeighbour(aTrans, CheckedPath(aPath), aKeyFilter, true);
}

bool TqdStaticKeyBstarTreeIndexEngine::MoveToNeighbour(TqdBaseTransaction* aTrans,
                                                       TqdStaticKeyBstarTreeIndexPath& aPath,
                                                       TqdBaseFilterEngine* aKeyFilter, bool aBackward) {
  const TqdIndexPathPosition end = aBackward ? ippBof : ippEof;
  const TqdIndexPathPosition start = aBackward ? ippEof : ippBof;
  if (aPath.Position == end) return false;
  try {
    std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
    // An unpositioned path walks from the far end.
    if (aPath.Position == ippUnknown) {
      if (aBackward)
        aPath.SetToEof();
      else
        aPath.SetToBof();
    } else if (aPath.Position != start) {
      DoValidateIndexPath(*access, aPath);
    }
    return Step(*access, aPath, qdActiveFilter(aKeyFilter), aBackward);
  } catch (...) {
    if (aBackward)
      aPath.SetToBof();
    else
      aPath.SetToEof();
    throw;
  }
}

void TqdStaticKeyBstarTreeIndexEngine::GetKeyCount(TqdBaseTransaction* aTrans, uint32_t& aCount) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
  aCount = access->GetIndexKeyCount();
}

// --- Revalidation ------------------------------------------------------------------------------------

void TqdStaticKeyBstarTreeIndexEngine::ValidateIndexPath(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath) {
  TqdStaticKeyBstarTreeIndexPath& path = CheckedPath(aPath);
  if (!path.IsOnKey() && !path.IsOnCrack()) return;
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
  DoValidateIndexPath(*access, path);
}

void TqdStaticKeyBstarTreeIndexEngine::DoValidateIndexPath(TqdBaseIndexHeaderAccess& aAccess,
                                                           TqdStaticKeyBstarTreeIndexPath& aPath) {
  if (!aPath.IsOnKey() && !aPath.IsOnCrack()) return;
  TqdBaseTransaction* trans = aAccess.Transaction();
  // 1. A path that only knows its cache reference.
  if (aPath.RefNr == 0 && aPath.CacheRefNr != 0) aPath.RefNr = SeqAccessLookup(trans, aPath.CacheRefNr, nullptr);
  // 2. A path that knows its record but not its key.
  if (ieRecordEngine != nullptr && !aPath.Deleted && aPath.RefNr != 0 &&
      (!aPath.KeyValid || (ieIsCacheSeqAccess && aPath.CacheRefNr == 0))) {
    TqdRebuildCookie cookie{bieKeyEngine, aPath.Key, aPath.RefNr, bieRefNrOffset, aPath.CacheRefNr, 0, false};
    PqdRecordBuffer record = nullptr;
    (void)ieRecordEngine->ReadRecordForIterate(trans, aPath.RefNr, &record, &rebuildKeyFromRecord, &cookie,
                                               nullptr);  // the cookie carries the outcome
    if (!cookie.rcRead) cookie.rcResult = qdeInvalidParam;
    if (cookie.rcResult != 0) throw EqdStaticKeyBstarTreeIndexEngineException(cookie.rcResult);
    aPath.CacheRefNr = cookie.rcCacheRefNr;
    aPath.KeyValid = true;
  }
  // 3. The quick check on the path's own leaf.
  if (TqdBlockRef leaf = bieIndexFile->GetValidBlock(trans, aPath.bpipPage, false)) {
    const uint8_t* node = leaf.Data();
    if (qdIsIndexBlock(node) && qdBlockThisBlock(node) == aPath.bpipPage && qdIndexNodeKind(node) == kIndexNodeLeaf &&
        int32_t(qdIndexNodeIndexNumber(node)) == bieIndexNumber) {
      const uint64_t counter = qdIndexNodeCounter(node);
      const uint64_t pathCounter = uint64_t(aPath.bpipIdentCounter);
      if (counter == pathCounter && qdBlockLSN(node) == aPath.bpipLSN) return;
      if (aPath.KeyValid && (counter >> 32) == (pathCounter >> 32) && pathCounter < counter) {
        CheckNode(node, aPath.bpipPage);
        TqdNodeSearch search;
        search.nsKey = aPath.Key;
        search.nsRefNr = aPath.RefNr;
        search.nsMode = ieAddKeyRefsToKeys ? nsmKeyAndRef : nsmKeyOnly;
        int32_t slot = 0;
        const bool found = SearchLeaf(node, search, slot);
        const int32_t first = qdIndexNodeFirst(node);
        const int32_t end = first + qdIndexNodeCount(node);
        if (found || (slot > first && slot < end)) {
          if (found) {
            const TqdIndexPathPosition position = aPath.Position;
            const bool deleted = aPath.Deleted;
            SetPathOnEntry(aPath, aPath.bpipPage, node, slot, position);
            aPath.Deleted = deleted;
          } else {
            aPath.bpipItem = slot;
            aPath.bpipIdentCounter = int64_t(counter);
            aPath.bpipLSN = qdBlockLSN(node);
            aPath.Deleted = true;
            if (aPath.Position == ippOnCrackAfter)
              aPath.bpipItem = slot - 1;
            else if (aPath.Position == ippOnKey)
              aPath.Position = ippOnCrackBefore;
          }
          return;
        }
      }
    }
  }
  // 4. The full search from the root.
  if (aAccess.GetIndexRoot() == qdIndexRootNone) {
    aPath.SetToBof();
    return;
  }
  if (!aPath.KeyValid) {
    aPath.Clear();
    return;
  }
  const TqdIndexPathPosition position = aPath.Position;
  const bool deleted = aPath.Deleted;
  const TqdRefNr refNr = aPath.RefNr;
  const TqdRefNr cacheRefNr = aPath.CacheRefNr;
  const size_t keyLength = bieKeyEngine->KeyLength();
  std::memcpy(ieSearchKey.data(), aPath.Key, keyLength);
  if (DoFindKey(aAccess, ieSearchKey.data(), 0, 0, refNr, aPath, skaEqualFirst, nullptr)) {
    aPath.Position = position;
    aPath.Deleted = deleted;
    return;
  }
  if (position == ippOnCrackBefore && (aPath.Position == ippOnCrackAfter || aPath.Position == ippOnKey)) {
    (void)StepForward(aAccess, aPath, nullptr);  // EOF when nothing follows
    if (aPath.Position == ippOnKey) aPath.Position = ippOnCrackBefore;
  } else if (position == ippOnCrackAfter && (aPath.Position == ippOnCrackBefore || aPath.Position == ippOnKey)) {
    (void)StepBackward(aAccess, aPath, nullptr);  // BOF when nothing precedes
    if (aPath.Position == ippOnKey) aPath.Position = ippOnCrackAfter;
  }
  if (aPath.IsOnCrack()) {
    aPath.Deleted = true;
    aPath.RefNr = refNr;
    std::memcpy(aPath.Key, ieSearchKey.data(), keyLength);
    aPath.KeyValid = true;
    aPath.CacheRefNr = ieIsCacheSeqAccess ? qdGetI64(aPath.Key) : cacheRefNr;
  }
}

int64_t TqdStaticKeyBstarTreeIndexEngine::SeqAccessLookup(TqdBaseTransaction* aTrans, TqdRefNr aCacheRefNr,
                                                          TqdBaseIndexPath* aPath) {
  if (!ieIsCacheSeqAccess) return 0;
  std::unique_ptr<TqdStaticKeyBstarTreeIndexPath> temporary;
  TqdStaticKeyBstarTreeIndexPath* path = OwnPath(aPath);
  if (path == nullptr) {
    temporary = std::make_unique<TqdStaticKeyBstarTreeIndexPath>(this);
    path = temporary.get();
  }
  std::vector<uint8_t> key(ieSearchKey.size(), 0);
  bieKeyEngine->ClearKey(key.data());
  qdPutI64(key.data(), aCacheRefNr);
  // The key begins with the cache reference: compare that field only when
  // the key has more.
  const int32_t fields = bieMaxFieldCount > 1 ? 1 : 0;
  if (!FindKey(aTrans, key.data(), fields, 0, 0, path, skaAnyEqual, nullptr)) return 0;
  return path->RefNr;
}

// --- Start and end -----------------------------------------------------------------------------------

void qdseIndexEngineStaticKeyBstarTreeInitialize() {
  TqdBaseSubEngine::Register(TqdStaticKeyBstarTreeIndexEngine::ClassInfo, TqdIndexDescriptor::kDefaultEngine);
}

void qdseIndexEngineStaticKeyBstarTreeFinalize() {
  TqdBaseSubEngine::Unregister(TqdStaticKeyBstarTreeIndexEngine::ClassInfo);
}

}  // namespace qd
