#include "indexes/qdseIndexEngineKeylessBstarTree.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseIndexEngineKeylessBstarTree";
// A record read for a key that answered rirStop.
constexpr TqdResult qdeKeyRecordReadStopped = 15520;

int32_t relation(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

bool isEqualAction(TqdSearchKeyAction aAction) {
  return aAction == skaEqualFirst || aAction == skaEqualLast || aAction == skaAnyEqual;
}
bool isGreaterAction(TqdSearchKeyAction aAction) {
  return aAction == skaGreaterEqual || aAction == skaGreater || aAction == skaAnyGreaterEqual ||
         aAction == skaAnyGreater;
}
bool isSmallerAction(TqdSearchKeyAction aAction) {
  return aAction == skaSmallerEqual || aAction == skaSmaller || aAction == skaAnySmallerEqual ||
         aAction == skaAnySmaller;
}

bool filterTimeIsUp(TqdBaseFilterEngine* aFilter) {
  if (aFilter == nullptr) return false;
  const TqdFilterCheckTimeOut& check = aFilter->CheckTimeOut();
  if (!check) return false;
  TqdResult local = 0;
  TqdResult* result = aFilter->CheckTimeOutResult();
  return check(result != nullptr ? *result : local);
}

bool filterAccepts(TqdBaseFilterEngine* aKeyFilter, const uint8_t* aKey) {
  return aKeyFilter == nullptr || aKeyFilter->MatchesBuffer(aKey);
}

// Builds the key of the record read.
struct TqdBuildCookie {
  TqdBaseKeyEngine* bcKeyEngine;
  uint8_t* bcKey;
  TqdResult bcResult;
  bool bcRead;
};

TqdRecordIteratorResult buildKeyFromRecord(void* aCookie, TqdRefNr aRefNr, PqdRecordBuffer aRecord) {
  auto* cookie = static_cast<TqdBuildCookie*>(aCookie);
  cookie->bcRead = true;
  cookie->bcResult = cookie->bcKeyEngine->BuildKey(aRecord, cookie->bcKey, aRefNr, true);
  return cookie->bcResult != 0 ? rirStop : rirContinue;
}

// Compares a search key with the record read, without keeping its key.
struct TqdCompareCookie {
  TqdBaseKeyEngine* ccKeyEngine;
  const uint8_t* ccKey;
  int32_t ccFieldCount;
  int32_t ccPartialLen;
  int32_t ccResult;
  bool ccRead;
};

TqdRecordIteratorResult compareKeyToRecord(void* aCookie, TqdRefNr aRefNr, PqdRecordBuffer aRecord) {
  auto* cookie = static_cast<TqdCompareCookie*>(aCookie);
  cookie->ccRead = true;
  cookie->ccResult = cookie->ccKeyEngine->CompareKeyToRecord(cookie->ccKey, aRecord, aRefNr, cookie->ccFieldCount,
                                                             cookie->ccPartialLen);
  return rirContinue;
}

[[noreturn]] void raiseReadStopped() { throw EqdBaseException(qdeKeyRecordReadStopped); }

}  // namespace

// --- Capacities --------------------------------------------------------------------------------------

TqdKeylessCapacities qdKeylessCapacities(uint32_t aUsableBlockSize) {
  TqdKeylessCapacities result;
  const int32_t usable = int32_t(aUsableBlockSize);
  result.kcLeaf = std::max(0, (usable - int32_t(kIndexBlockHeaderSize)) / 8);
  result.kcInternal = std::max(0, (usable - int32_t(kIndexBlockHeaderSize) - 4) / 12);
  return result;
}

TqdLeafSplit qdKeylessLeafSplit(int32_t aCapacity, int32_t aPosition) {
  TqdLeafSplit split;
  // With an odd capacity the half that takes the new entry is the smaller.
  int32_t s = aCapacity / 2;
  if (aPosition > s && (aCapacity & 1) != 0) ++s;
  split.lsKeep = s;
  split.lsNewFirst = s / 2;
  split.lsIntoNew = aPosition > s || (aPosition == s && s >= aCapacity - s);
  split.lsNewPosition = aPosition - s + split.lsNewFirst;
  return split;
}

// --- Class records -----------------------------------------------------------------------------------

const TqdIndexPathClass TqdKeylessBstarTreeIndexPath::ClassInfo{
    {u"TqdKeylessBstarTreeIndexPath", &TqdBaseIndexPath::ClassInfo, nullptr},
    &qdNewIndexPath<TqdKeylessBstarTreeIndexPath>};

const TqdIndexEngineClass TqdKeylessBstarTreeIndexEngine::ClassInfo{
    {u"TqdKeylessBstarTreeIndexEngine", &TqdBaseIndexEngine::ClassInfo, nullptr},
    &qdNewIndexEngine<TqdKeylessBstarTreeIndexEngine>,
    nullptr};

// --- The key cache -----------------------------------------------------------------------------------

PqdKeyBuffer* TqdKeylessBstarTreeIndexKeyCache::GetNodeForRef(TqdRefNr aRefNr, bool aDontCreate) {
  auto it = kcNodes.find(aRefNr);
  if (it != kcNodes.end()) return &it->second;
  if (aDontCreate) return nullptr;
  return &kcNodes.emplace(aRefNr, nullptr).first->second;
}

void TqdKeylessBstarTreeIndexKeyCache::Clear() {
  for (auto& node : kcNodes)
    if (node.second != nullptr) kcKeyEngine->FreeKey(node.second);
  kcNodes.clear();
}

// --- The path ----------------------------------------------------------------------------------------

TqdKeylessBstarTreeIndexPath::TqdKeylessBstarTreeIndexPath(TqdBaseIndexEngine* aIndexEngine)
    : TqdBaseIndexPath(aIndexEngine) {
  if (aIndexEngine != nullptr) {
    bpipKeyEngine = aIndexEngine->KeyEngine();
    bpipTempKey = bpipKeyEngine->AllocKey();
  }
}

TqdKeylessBstarTreeIndexPath::~TqdKeylessBstarTreeIndexPath() {
  bpipCache.reset();
  if (bpipTempKey != nullptr) bpipKeyEngine->FreeKey(bpipTempKey);
}

void TqdKeylessBstarTreeIndexPath::Assign(const TqdBaseIndexPath* aSource) {
  if (aSource == this) return;
  TqdBaseIndexPath::Assign(aSource);
  if (aSource == nullptr || !aSource->ClassType().InheritsFrom(ClassInfo)) return;
  const auto* source = static_cast<const TqdKeylessBstarTreeIndexPath*>(aSource);
  bpipPage = source->bpipPage;
  bpipItem = source->bpipItem;
  bpipIdentCounter = source->bpipIdentCounter;
  bpipLSN = source->bpipLSN;
}

void TqdKeylessBstarTreeIndexPath::Clear() {
  TqdBaseIndexPath::Clear();
  bpipPage = 0;
  bpipItem = 0;
  bpipIdentCounter = 0;
  bpipLSN = 0;
}

void TqdKeylessBstarTreeIndexPath::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseIndexPath::DescribeTo(aContainer);
  aContainer->AddInt64(u"Page", bpipPage);
  aContainer->AddInt64(u"Item", bpipItem);
}

void TqdKeylessBstarTreeIndexPath::bpipEnterCache(TqdBaseTransaction* aTrans) {
  if (bpipCacheCount < 0) qdAssertFailed(kUnit, "the key-cache scope count is not negative");
  if (bpipCacheCount == 0) {
    if (bpipTrans != nullptr) qdAssertFailed(kUnit, "a path outside every operation has no transaction");
    bpipTrans = aTrans;
    if (!bpipCache) bpipCache = std::make_unique<TqdKeylessBstarTreeIndexKeyCache>(bpipKeyEngine);
  } else if (bpipTrans != aTrans) {
    qdAssertFailed(kUnit, "nested operations on a path share its transaction");
  }
  ++bpipCacheCount;
}

void TqdKeylessBstarTreeIndexPath::bpipLeaveCache() {
  if (bpipCacheCount <= 0) qdAssertFailed(kUnit, "a key-cache scope is closed after it was opened");
  if (--bpipCacheCount == 0) {
    bpipTrans = nullptr;
    if (bpipCache) bpipCache->Clear();
  }
}

// --- Creation and layout -----------------------------------------------------------------------------

TqdKeylessBstarTreeIndexEngine::TqdKeylessBstarTreeIndexEngine(TqdBaseIndicesEngine* aIndicesEngine,
                                                               TqdIndexDescriptor* aIndexDescriptor,
                                                               TqdBaseKeyEngine* aKeyEngine)
    : TqdBaseIndexEngine(aIndicesEngine, aIndexDescriptor, aKeyEngine) {
  ieRecordEngine = aIndicesEngine->RecordEngine();
  if (ieRecordEngine == nullptr)
    throw EqdKeylessBstarTreeIndexEngineException(qdeNotSupported, u"%s requires a RecordEngine",
                                                  {qdString(ClassInfo.ClassName)});
  TqdPersistent* parent = nullptr;
  if (aIndexDescriptor->FindParentOfType(TqdBaseTableDescriptor::ClassInfo, parent) && parent != nullptr) {
    auto* table = static_cast<TqdBaseTableDescriptor*>(parent);
    if (table->CachingState() == tcsIsCache)
      throw EqdKeylessBstarTreeIndexEngineException(qdeNotSupported, u"%s is not supported for cache tables",
                                                    {qdString(table->ClassType().ClassName)});
  }
  const TqdKeylessCapacities capacities = qdKeylessCapacities(bieIndexFile->fiBlockSizeBytes());
  ieMaxLeafNodeKeyCount = capacities.kcLeaf;
  ieMaxInternalNodeKeyCount = capacities.kcInternal;
  ieLeafNodeKeyRefOffset.resize(size_t(ieMaxLeafNodeKeyCount) + 1);
  for (size_t i = 0; i < ieLeafNodeKeyRefOffset.size(); ++i)
    ieLeafNodeKeyRefOffset[i] = kIndexBlockHeaderSize + 8 * uint32_t(i);
  ieInternalNodeKeyRefOffset.resize(size_t(ieMaxInternalNodeKeyCount) + 1);
  for (size_t i = 0; i < ieInternalNodeKeyRefOffset.size(); ++i)
    ieInternalNodeKeyRefOffset[i] = kIndexBlockHeaderSize + 4 + 12 * uint32_t(i);
  ieTreePointerOffset.resize(size_t(ieMaxInternalNodeKeyCount) + 2);
  for (size_t i = 0; i < ieTreePointerOffset.size(); ++i)
    ieTreePointerOffset[i] = kIndexBlockHeaderSize + 12 * uint32_t(i);
  ieSplitBuffer.assign(size_t(bieIndexFile->fiBlockSizeBytes()) + 12, 0);
  ieSearchKey.assign(size_t(bieKeyEngine->KeyLength()), 0);
}

TqdKeylessBstarTreeIndexEngine::~TqdKeylessBstarTreeIndexEngine() { ieReleaseList.Release(); }

const TqdIndexPathClass& TqdKeylessBstarTreeIndexEngine::GetIndexPathClass() const {
  return TqdKeylessBstarTreeIndexPath::ClassInfo;
}

void TqdKeylessBstarTreeIndexEngine::MoveLeafEntries(uint8_t* aNode, int32_t aFrom, int32_t aTo, int32_t aCount) const {
  if (aCount <= 0 || aFrom == aTo) return;
  std::memmove(aNode + ieLeafNodeKeyRefOffset[size_t(aTo)], aNode + ieLeafNodeKeyRefOffset[size_t(aFrom)],
               size_t(aCount) * 8);
}

void TqdKeylessBstarTreeIndexEngine::CopyLeafEntries(const uint8_t* aFromNode, int32_t aFrom, uint8_t* aToNode,
                                                     int32_t aTo, int32_t aCount) const {
  if (aCount <= 0) return;
  std::memmove(aToNode + ieLeafNodeKeyRefOffset[size_t(aTo)], aFromNode + ieLeafNodeKeyRefOffset[size_t(aFrom)],
               size_t(aCount) * 8);
}

// --- Nodes -------------------------------------------------------------------------------------------

void TqdKeylessBstarTreeIndexEngine::RaiseCorruptNode(TqdBlockNumber aBlock, const char* aFile, int aLine) const {
  qdRaiseCorrupt<EqdKeylessBstarTreeIndexEngineException>(
      qdeFileCorrupt,
      qd::Format(u"Corrupt index node [%s, block %d, index %s]",
                 {bieIndexFile->fiName(), int64_t(aBlock), bieIndexName}),
      aFile, aLine);
}

void TqdKeylessBstarTreeIndexEngine::RaiseTooDeep(TqdBlockNumber aBlock) const {
  qdRaiseCorrupt<EqdKeylessBstarTreeIndexEngineException>(
      qdeFileCorrupt, qd::Format(u"Index tree deeper than %d levels [%s, block %d, index %s]",
                                 {kMaxIndexTreeDepth, bieIndexFile->fiName(), int64_t(aBlock), bieIndexName}));
}

void TqdKeylessBstarTreeIndexEngine::CheckNode(const uint8_t* aNode, TqdBlockNumber aBlock) const {
  if (!qdIndexNodeFits(aNode, ieMaxLeafNodeKeyCount, ieMaxInternalNodeKeyCount)) RaiseCorruptNode(aBlock);
}

TqdBlockRef TqdKeylessBstarTreeIndexEngine::ReadNode(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock,
                                                     bool aForWriting) {
  TqdBlockRef block = qdReadIndexBlock(aAccess.Transaction(), bieIndexFile, aAccess.ID(), aBlock, aForWriting);
  CheckNode(block.Data(), aBlock);
  return block;
}

const uint8_t* TqdKeylessBstarTreeIndexEngine::ReadNodeKept(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock) {
  return ieReleaseList.Add(ReadNode(aAccess, aBlock, false));
}

uint8_t* TqdKeylessBstarTreeIndexEngine::ReadNodeKeptForWriting(TqdBaseIndexHeaderAccess& aAccess,
                                                                TqdBlockNumber aBlock) {
  TqdBlockRef block = ReadNode(aAccess, aBlock, true);
  uint8_t* node = block.WritableData();
  ieReleaseList.Add(std::move(block));
  return node;
}

uint8_t* TqdKeylessBstarTreeIndexEngine::NewNode(TqdBaseIndexHeaderAccess& aAccess, uint8_t aKind,
                                                 TqdBlockNumber& aBlock) {
  TqdBlockRef block =
      qdCreateIndexNode(aAccess.Transaction(), aAccess.FileHeader(), aAccess.ID(), aKind, bieIndexNumber);
  aBlock = qdBlockThisBlock(block.Data());
  uint8_t* node = block.WritableData();
  ieReleaseList.Add(std::move(block));
  aAccess.SetIndexPageCount(aAccess.GetIndexPageCount() + 1);
  return node;
}

// --- Key access --------------------------------------------------------------------------------------

const uint8_t* TqdKeylessBstarTreeIndexEngine::CurrentKeyOf(const TqdKeylessBstarTreeIndexPath& aPath,
                                                            TqdRefNr aRefNr) const {
  const TqdBaseIndicesEngine* indices = bieIndicesEngine;
  if (aPath.bpipTrans != nullptr && indices->CurrentTrans() == aPath.bpipTrans && indices->CurrentRefNr() == aRefNr &&
      indices->CurrentKey() != nullptr)
    return indices->CurrentKey();
  return nullptr;
}

void TqdKeylessBstarTreeIndexEngine::BuildRefKey(TqdKeylessBstarTreeIndexPath& aPath, TqdRefNr aRefNr, uint8_t* aKey) {
  TqdBuildCookie cookie{bieKeyEngine, aKey, 0, false};
  const TqdRecordIteratorResult result =
      ieRecordEngine->ReadRecordForIterate(aPath.bpipTrans, aRefNr, nullptr, &buildKeyFromRecord, &cookie, nullptr);
  if (result == rirStop || !cookie.bcRead) raiseReadStopped();
}

int32_t TqdKeylessBstarTreeIndexEngine::CompareRef(TqdKeylessBstarTreeIndexPath& aPath, const uint8_t* aKey,
                                                   TqdRefNr aRefNr, int32_t aFieldCount, int32_t aPartialLen) {
  if (const uint8_t* current = CurrentKeyOf(aPath, aRefNr))
    return bieKeyEngine->CompareKey(aKey, current, aFieldCount, aPartialLen);
  if (aPath.bpipCacheCount <= 0 || !aPath.bpipCache) qdAssertFailed(kUnit, "keys are compared inside a cache scope");
  if (PqdKeyBuffer* node = aPath.bpipCache->GetNodeForRef(aRefNr, true)) {
    if (*node == nullptr) {
      PqdKeyBuffer key = bieKeyEngine->AllocKey();
      try {
        BuildRefKey(aPath, aRefNr, key);
      } catch (...) {
        bieKeyEngine->FreeKey(key);
        throw;
      }
      *node = key;
    }
    return bieKeyEngine->CompareKey(aKey, *node, aFieldCount, aPartialLen);
  }
  TqdCompareCookie cookie{bieKeyEngine, aKey, aFieldCount, aPartialLen, 0, false};
  const TqdRecordIteratorResult result =
      ieRecordEngine->ReadRecordForIterate(aPath.bpipTrans, aRefNr, nullptr, &compareKeyToRecord, &cookie, nullptr);
  if (result == rirStop || !cookie.ccRead) raiseReadStopped();
  return cookie.ccResult;
}

const uint8_t* TqdKeylessBstarTreeIndexEngine::GetRefKey(TqdKeylessBstarTreeIndexPath& aPath, bool aDontCreate,
                                                         TqdRefNr aRefNr) {
  if (const uint8_t* current = CurrentKeyOf(aPath, aRefNr)) return current;
  if (aPath.bpipCacheCount <= 0 || !aPath.bpipCache) qdAssertFailed(kUnit, "keys are taken inside a cache scope");
  PqdKeyBuffer* node = aPath.bpipCache->GetNodeForRef(aRefNr, aDontCreate);
  if (node == nullptr) {
    BuildRefKey(aPath, aRefNr, aPath.bpipTempKey);
    return aPath.bpipTempKey;
  }
  if (*node == nullptr) {
    PqdKeyBuffer key = bieKeyEngine->AllocKey();
    try {
      BuildRefKey(aPath, aRefNr, key);
    } catch (...) {
      bieKeyEngine->FreeKey(key);
      throw;
    }
    *node = key;
  }
  return *node;
}

void TqdKeylessBstarTreeIndexEngine::CopyRefKey(TqdKeylessBstarTreeIndexPath& aPath, TqdRefNr aRefNr, uint8_t* aKey) {
  const uint8_t* key = GetRefKey(aPath, false, aRefNr);
  if (key != aKey) bieKeyEngine->CopyKey(key, aKey);
}

// --- Searches ----------------------------------------------------------------------------------------

int32_t TqdKeylessBstarTreeIndexEngine::CompareSearch(TqdKeylessBstarTreeIndexPath& aPath,
                                                      const TqdKeylessSearch& aSearch, TqdRefNr aRefNr) {
  switch (aSearch.ksMode) {
    case ksmRefKey: {
      const int32_t c = CompareRef(aPath, aSearch.ksKey, aRefNr, 0, 0);
      return c != 0 ? c : relation(aSearch.ksRefNr, aRefNr);
    }
    case ksmKey:
      return CompareRef(aPath, aSearch.ksKey, aRefNr, 0, 0);
    case ksmPartial:
    case ksmPartialAction:
      return CompareRef(aPath, aSearch.ksKey, aRefNr, aSearch.ksFieldCount, aSearch.ksPartialLen);
    case ksmNullRef: {
      const uint8_t* key = GetRefKey(aPath, true, aRefNr);
      const int32_t c = bieKeyEngine->CompareKey(aSearch.ksKey, key, 0, 0);
      if (c != 0 || !bieKeyEngine->KeyContainsNulls(key)) return c;
      return relation(aSearch.ksRefNr, aRefNr);
    }
  }
  return 0;
}

bool TqdKeylessBstarTreeIndexEngine::SearchNode(TqdKeylessBstarTreeIndexPath& aPath, const uint8_t* aNode,
                                                const TqdKeylessSearch& aSearch, int32_t& aIndex) {
  const bool leaf = qdIndexNodeKind(aNode) == kIndexNodeLeaf;
  int32_t low = leaf ? qdIndexNodeFirst(aNode) : 0;
  int32_t high = low + qdIndexNodeCount(aNode) - 1;
  bool found = false;
  int32_t match = 0;
  while (low <= high) {
    const int32_t mid = (low + high) >> 1;
    const TqdRefNr refNr = leaf ? LeafRefNr(aNode, mid) : NodeRefNr(aNode, mid);
    const int32_t c = CompareSearch(aPath, aSearch, refNr);
    if (c < 0) {
      high = mid - 1;
    } else if (c > 0) {
      low = mid + 1;
    } else if (aSearch.ksMode == ksmPartialAction) {
      found = true;
      match = mid;
      switch (aSearch.ksAction) {
        case skaEqualFirst:
        case skaGreaterEqual:
        case skaGreater:
          high = mid - 1;
          break;
        case skaEqualLast:
        case skaSmallerEqual:
        case skaSmaller:
          low = mid + 1;
          break;
        default:
          aIndex = mid;
          return true;
      }
    } else {
      aIndex = mid;
      return true;
    }
  }
  aIndex = found ? match : low;
  return found;
}

TqdKeylessBstarTreeIndexEngine::TqdKeylessSearch TqdKeylessBstarTreeIndexEngine::FindKeySearch(
    const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr, TqdSearchKeyAction aAction) const {
  TqdKeylessSearch search;
  search.ksKey = aKey;
  search.ksRefNr = aRefNr;
  search.ksFieldCount = aFieldCount;
  search.ksPartialLen = aPartialLen;
  search.ksAction = aAction;
  const bool exact = bieDups && aRefNr != 0 && aPartialLen == 0 && aFieldCount == 0;
  if (exact)
    search.ksMode = ksmRefKey;
  else if (bieDups || aPartialLen != 0 || (aFieldCount != 0 && aFieldCount != bieMaxFieldCount))
    search.ksMode = ksmPartialAction;
  else
    search.ksMode = ksmPartial;
  return search;
}

// --- Paths -------------------------------------------------------------------------------------------

TqdKeylessBstarTreeIndexPath* TqdKeylessBstarTreeIndexEngine::OwnPath(TqdBaseIndexPath* aPath) const {
  if (aPath == nullptr || aPath->IndexEngine() != this ||
      !aPath->ClassType().InheritsFrom(TqdKeylessBstarTreeIndexPath::ClassInfo))
    return nullptr;
  return static_cast<TqdKeylessBstarTreeIndexPath*>(aPath);
}

TqdKeylessBstarTreeIndexPath& TqdKeylessBstarTreeIndexEngine::CheckedPath(TqdBaseIndexPath* aPath) const {
  TqdKeylessBstarTreeIndexPath* path = OwnPath(aPath);
  if (path == nullptr) qdAssertFailed(kUnit, "the path belongs to this index engine");
  return *path;
}

void TqdKeylessBstarTreeIndexEngine::SetPathOnEntry(TqdKeylessBstarTreeIndexPath& aPath, TqdBlockNumber aBlock,
                                                    const uint8_t* aNode, int32_t aSlot, TqdIndexPathPosition aPosition,
                                                    const uint8_t* aKey) {
  const TqdRefNr refNr = LeafRefNr(aNode, aSlot);
  if (aKey != nullptr)
    bieKeyEngine->CopyKey(aKey, aPath.Key);
  else
    CopyRefKey(aPath, refNr, aPath.Key);
  aPath.bpipPage = aBlock;
  aPath.bpipItem = aSlot;
  aPath.bpipIdentCounter = int64_t(qdIndexNodeCounter(aNode));
  aPath.bpipLSN = qdBlockLSN(aNode);
  aPath.RefNr = refNr;
  aPath.KeyValid = true;
  aPath.Deleted = false;
  aPath.Position = aPosition;
}

bool TqdKeylessBstarTreeIndexEngine::Step(TqdBaseIndexHeaderAccess& aAccess, TqdKeylessBstarTreeIndexPath& aPath,
                                          TqdBaseFilterEngine* aKeyFilter, bool aBackward) {
  const auto runOff = [&] {
    if (aBackward)
      aPath.SetToBof();
    else
      aPath.SetToEof();
    return false;
  };
  if (aPath.Position == (aBackward ? ippBof : ippEof)) return false;
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
    block = root;
    for (int32_t level = 0;; ++level) {
      if (level >= kMaxIndexTreeDepth) RaiseTooDeep(block);
      leaf = ReadNode(aAccess, block, false);
      if (qdIndexNodeKind(leaf.Data()) == kIndexNodeLeaf) break;
      const TqdBlockNumber child = TreePointer(leaf.Data(), aBackward ? qdIndexNodeCount(leaf.Data()) : 0);
      leaf.Release();
      block = child;
    }
    target = firstInOrder(leaf.Data());
  } else {
    if (aPath.Position != ippOnKey && !aPath.IsOnCrack()) qdAssertFailed(kUnit, "a path steps from a known place");
    block = aPath.bpipPage;
    leaf = ReadNode(aAccess, block, false);
    if (qdIndexNodeKind(leaf.Data()) != kIndexNodeLeaf) RaiseCorruptNode(block);
    const int32_t first = qdIndexNodeFirst(leaf.Data());
    const int32_t last = first + qdIndexNodeCount(leaf.Data()) - 1;
    const int32_t slot = aPath.bpipItem;
    // On the crack facing a key of this leaf, that key comes next.
    const bool onCrackFacingKey = aPath.Position == (aBackward ? ippOnCrackAfter : ippOnCrackBefore);
    target = onCrackFacingKey && slot >= first && slot <= last ? slot : slot + step;
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
    SetPathOnEntry(aPath, block, node, target, ippOnKey);
    if (filterAccepts(aKeyFilter, aPath.Key) || filterTimeIsUp(aKeyFilter)) return true;
    target += step;
  }
}

// --- FindKey, NextKey, PrevKey -----------------------------------------------------------------------

bool TqdKeylessBstarTreeIndexEngine::FindKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, int32_t aFieldCount,
                                             int32_t aPartialLen, TqdRefNr aRefNr, TqdBaseIndexPath* aPath,
                                             TqdSearchKeyAction aAction, TqdBaseFilterEngine* aKeyFilter) {
  TqdKeylessBstarTreeIndexPath& path = CheckedPath(aPath);
  try {
    std::unique_ptr<TqdBaseIndexHeaderAccess> access(
        CreateHeaderAccess(aTrans, false, false, aFieldCount, aPartialLen));
    TqdKeylessCacheScope scope(path, aTrans);
    return DoFindKey(*access, path, aKey, aFieldCount, aPartialLen, aRefNr, aAction, qdActiveFilter(aKeyFilter));
  } catch (...) {
    if (isGreaterAction(aAction) || aAction == skaEqualLast)
      path.SetToEof();
    else
      path.SetToBof();
    throw;
  }
}

bool TqdKeylessBstarTreeIndexEngine::DoFindKey(TqdBaseIndexHeaderAccess& aAccess, TqdKeylessBstarTreeIndexPath& aPath,
                                               const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
                                               TqdRefNr aRefNr, TqdSearchKeyAction aAction,
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
  std::vector<uint8_t> saved;
  if (aKey == aPath.Key) {
    saved.assign(aKey, aKey + bieKeyEngine->KeyLength());
    aKey = saved.data();
  }
  const TqdKeylessSearch search = FindKeySearch(aKey, aFieldCount, aPartialLen, aRefNr, aAction);
  aPath.Clear();
  bool found = false;
  {
    TqdBlockNumber block = root;
    TqdBlockRef node;
    for (int32_t level = 0;; ++level) {
      if (level >= kMaxIndexTreeDepth) RaiseTooDeep(block);
      node = ReadNode(aAccess, block, false);
      if (qdIndexNodeKind(node.Data()) == kIndexNodeLeaf) break;
      int32_t index = 0;
      (void)SearchNode(aPath, node.Data(), search, index);  // found or not, child [index] leads on
      const TqdBlockNumber child = TreePointer(node.Data(), index);
      node.Release();
      block = child;
    }
    const uint8_t* leaf = node.Data();
    const int32_t first = qdIndexNodeFirst(leaf);
    const int32_t count = qdIndexNodeCount(leaf);
    // A leaf of a tree that has a root holds at least one entry.
    if (count == 0) RaiseCorruptNode(block);
    int32_t slot = 0;
    found = SearchNode(aPath, leaf, search, slot);
    if (found)
      SetPathOnEntry(aPath, block, leaf, slot, ippOnKey);
    else if (slot < first + count)
      SetPathOnEntry(aPath, block, leaf, slot, ippOnCrackBefore);
    else
      SetPathOnEntry(aPath, block, leaf, first + count - 1, ippOnCrackAfter);
  }
  bool result = true;
  bool moved = !found;
  if (found) {
    const bool anyAction = aAction == skaAnyEqual || aAction == skaAnyGreaterEqual || aAction == skaAnySmallerEqual;
    const bool walkRun = (aAction == skaGreater || aAction == skaSmaller || (bieDups && search.ksMode != ksmRefKey) ||
                          aFieldCount != 0 || aPartialLen != 0) &&
                         !anyAction;
    if (walkRun) {
      moved = true;
      const bool backward = aAction == skaEqualFirst || aAction == skaGreaterEqual || aAction == skaSmaller;
      for (;;) {
        const bool stepped = Step(aAccess, aPath, nullptr, backward);
        if (!stepped || bieKeyEngine->CompareKey(aKey, aPath.Key, aFieldCount, aPartialLen) != 0) break;
      }
      if (aAction == skaEqualFirst || aAction == skaGreaterEqual)
        (void)Step(aAccess, aPath, aKeyFilter, false);  // False leaves the path at EOF, which answers
      else if (aAction == skaEqualLast || aAction == skaSmallerEqual)
        (void)Step(aAccess, aPath, aKeyFilter, true);  // likewise at BOF
      else if (aKeyFilter != nullptr && aPath.IsOnKey() && !filterAccepts(aKeyFilter, aPath.Key))
        // Greater and Smaller end on the first key past the run, which the
        // filter has not seen yet.
        (void)Step(aAccess, aPath, aKeyFilter, aAction != skaGreater);
    } else if (aKeyFilter != nullptr && !filterAccepts(aKeyFilter, aPath.Key)) {
      moved = true;
      // The key found is hidden by the filter: the next visible one in the
      // action's direction answers.
      (void)Step(aAccess, aPath, aKeyFilter, isSmallerAction(aAction) || aAction == skaEqualLast);
    }
  } else {
    if (isGreaterAction(aAction))
      (void)Step(aAccess, aPath, aKeyFilter, false);  // False leaves the path at EOF
    else if (isSmallerAction(aAction))
      (void)Step(aAccess, aPath, aKeyFilter, true);  // False leaves the path at BOF
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

bool TqdKeylessBstarTreeIndexEngine::NextKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                             TqdBaseFilterEngine* aKeyFilter) {
  return MoveToNeighbour(aTrans, CheckedPath(aPath), aKeyFilter, false);
}

bool TqdKeylessBstarTreeIndexEngine::PrevKey(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                             TqdBaseFilterEngine* aKeyFilter) {
  return MoveToNeighbour(aTrans, CheckedPath(aPath), aKeyFilter, true);
}

bool TqdKeylessBstarTreeIndexEngine::MoveToNeighbour(TqdBaseTransaction* aTrans, TqdKeylessBstarTreeIndexPath& aPath,
                                                     TqdBaseFilterEngine* aKeyFilter, bool aBackward) {
  const TqdIndexPathPosition end = aBackward ? ippBof : ippEof;
  const TqdIndexPathPosition start = aBackward ? ippEof : ippBof;
  if (aPath.Position == end) return false;
  try {
    std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
    TqdKeylessCacheScope scope(aPath, aTrans);
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

void TqdKeylessBstarTreeIndexEngine::GetKeyCount(TqdBaseTransaction* aTrans, uint32_t& aCount) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
  aCount = access->GetIndexKeyCount();
}

// --- Revalidation ------------------------------------------------------------------------------------

void TqdKeylessBstarTreeIndexEngine::ValidateIndexPath(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath) {
  TqdKeylessBstarTreeIndexPath& path = CheckedPath(aPath);
  if (!path.IsOnKey() && !path.IsOnCrack()) return;
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
  TqdKeylessCacheScope scope(path, aTrans);
  DoValidateIndexPath(*access, path);
}

void TqdKeylessBstarTreeIndexEngine::DoValidateIndexPath(TqdBaseIndexHeaderAccess& aAccess,
                                                         TqdKeylessBstarTreeIndexPath& aPath) {
  if (!aPath.IsOnKey() && !aPath.IsOnCrack()) return;
  if (aPath.RefNr == 0) qdAssertFailed(kUnit, "a positioned path names its record");
  TqdBaseTransaction* trans = aAccess.Transaction();
  // 1. A path that knows its record but not its key.
  if (!aPath.KeyValid) {
    TqdBuildCookie cookie{bieKeyEngine, aPath.Key, 0, false};
    const TqdRecordIteratorResult read =
        ieRecordEngine->ReadRecordForIterate(trans, aPath.RefNr, nullptr, &buildKeyFromRecord, &cookie, nullptr);
    if (cookie.bcResult != 0) throw EqdKeylessBstarTreeIndexEngineException(cookie.bcResult);
    if (read == rirStop || !cookie.bcRead) raiseReadStopped();
    aPath.KeyValid = true;
  }
  // 2. The quick check on the path's own leaf. The index byte decides only
  // this: a renumbered index finds its path again by a full search.
  if (TqdBlockRef leaf = bieIndexFile->GetValidBlock(trans, aPath.bpipPage, false)) {
    const uint8_t* node = leaf.Data();
    if (qdIsIndexBlock(node) && qdBlockThisBlock(node) == aPath.bpipPage && qdIndexNodeKind(node) == kIndexNodeLeaf &&
        qdIndexNodeIndexNumber(node) == uint8_t(bieIndexNumber)) {
      const uint64_t counter = qdIndexNodeCounter(node);
      const uint64_t pathCounter = uint64_t(aPath.bpipIdentCounter);
      if (counter == pathCounter && qdBlockLSN(node) == aPath.bpipLSN) return;
      if ((counter >> 32) == (pathCounter >> 32) && pathCounter < counter) {
        CheckNode(node, aPath.bpipPage);
        TqdKeylessSearch search;
        search.ksKey = aPath.Key;
        search.ksRefNr = aPath.RefNr;
        search.ksMode = ksmRefKey;
        int32_t slot = 0;
        const bool found = SearchNode(aPath, node, search, slot);
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
  // 3. The full search from the root.
  if (aAccess.GetIndexRoot() == qdIndexRootNone) {
    aPath.SetToBof();
    return;
  }
  const TqdIndexPathPosition position = aPath.Position;
  const bool deleted = aPath.Deleted;
  const TqdRefNr refNr = aPath.RefNr;
  const size_t keyLength = size_t(bieKeyEngine->KeyLength());
  std::vector<uint8_t> key(aPath.Key, aPath.Key + keyLength);
  if (DoFindKey(aAccess, aPath, key.data(), 0, 0, refNr, skaEqualFirst, nullptr)) {
    aPath.Position = position;
    aPath.Deleted = deleted;
    return;
  }
  if (position == ippOnCrackBefore && (aPath.Position == ippOnCrackAfter || aPath.Position == ippOnKey)) {
    (void)Step(aAccess, aPath, nullptr, false);  // EOF when nothing follows
    if (aPath.Position == ippOnKey) aPath.Position = ippOnCrackBefore;
  } else if (position == ippOnCrackAfter && (aPath.Position == ippOnCrackBefore || aPath.Position == ippOnKey)) {
    (void)Step(aAccess, aPath, nullptr, true);  // BOF when nothing precedes
    if (aPath.Position == ippOnKey) aPath.Position = ippOnCrackAfter;
  }
  if (aPath.IsOnCrack()) {
    aPath.Deleted = true;
    aPath.RefNr = refNr;
    std::memcpy(aPath.Key, key.data(), keyLength);
    aPath.KeyValid = true;
  }
}

// --- Range walks, record numbers, estimate ----------------------------------------------------------

void TqdKeylessBstarTreeIndexEngine::Iterate(TqdBaseTransaction*, TqdBaseIndexPath*, PqdRecordBufferPtr, TqdKeyIterator,
                                             TqdRecordIterator, void*, const TqdRangeInfo&, const TqdRangeInfo&,
                                             TqdBaseFilterEngine*, TqdBaseFilterEngine*, bool) {
  throw EqdKeylessBstarTreeIndexEngineException(qdeNotSupported, u"%s does not support range walks",
                                                {qdString(ClassInfo.ClassName)});
}

void TqdKeylessBstarTreeIndexEngine::IterateBackward(TqdBaseTransaction*, TqdBaseIndexPath*, PqdRecordBufferPtr,
                                                     TqdKeyIterator, TqdRecordIterator, void*, const TqdRangeInfo&,
                                                     const TqdRangeInfo&, TqdBaseFilterEngine*, TqdBaseFilterEngine*,
                                                     bool) {
  throw EqdKeylessBstarTreeIndexEngineException(qdeNotSupported, u"%s does not support range walks",
                                                {qdString(ClassInfo.ClassName)});
}

TqdResult TqdKeylessBstarTreeIndexEngine::RecNoGet(TqdBaseTransaction*, TqdBaseIndexPath*, const TqdRangeInfo&,
                                                   const TqdRangeInfo&, TqdBaseFilterEngine*, TqdBaseFilterEngine*,
                                                   uint32_t& aRecNo, bool) {
  aRecNo = 0;
  return qdeNotSupported;
}

TqdResult TqdKeylessBstarTreeIndexEngine::RecNoSet(TqdBaseTransaction*, uint32_t, TqdBaseIndexPath*,
                                                   const TqdRangeInfo&, const TqdRangeInfo&, TqdBaseFilterEngine*,
                                                   TqdBaseFilterEngine*, bool) {
  return qdeNotSupported;
}

TqdResult TqdKeylessBstarTreeIndexEngine::EstimateRecordCount(TqdBaseTransaction*, const TqdRangeInfo&,
                                                              const TqdRangeInfo&, uint32_t& aRecordCount, bool) {
  aRecordCount = 0;
  return qdeNotSupported;
}

// --- Start and end -----------------------------------------------------------------------------------

void qdseIndexEngineKeylessBstarTreeInitialize() {
  TqdBaseSubEngine::Register(TqdKeylessBstarTreeIndexEngine::ClassInfo, u"KeylessBStarTree");
}

void qdseIndexEngineKeylessBstarTreeFinalize() {
  TqdBaseSubEngine::Unregister(TqdKeylessBstarTreeIndexEngine::ClassInfo);
}

}  // namespace qd
