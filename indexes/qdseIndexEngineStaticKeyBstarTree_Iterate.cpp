// The range operations of the static-key B*-tree: walks over a key range
// with key and record callbacks, record numbers within a range, and the
// cheap estimate of a range's size from the two root-to-leaf paths.
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "dictionary/qdsdFilterEngineBase.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"

namespace qd {

namespace {

// "No leaf" in a leaf's previous and next fields.
constexpr TqdBlockNumber kNoLeaf = 0xFFFFFFFFu;

// The fill-ratio iteration of the estimate stops after this many passes
// even when it has not settled; the stopping rule alone gives no bound.
constexpr int32_t kMaxFillRatioPasses = 50;
constexpr double kFillRatioTolerance = 0.0001;

// Holds a lock on the transaction for a walk so that it cannot commit or
// roll back underneath it. A transaction without a level has nothing that
// could end, and is not locked.
class TqdTransLockGuard {
 public:
  explicit TqdTransLockGuard(TqdBaseTransaction* aTrans)
      : tlgTrans(aTrans != nullptr && aTrans->TransLevel() != nullptr ? aTrans : nullptr) {
    if (tlgTrans != nullptr) tlgTrans->Lock();
  }
  ~TqdTransLockGuard() {
    if (tlgTrans != nullptr) tlgTrans->Unlock();
  }
  TqdTransLockGuard(const TqdTransLockGuard&) = delete;
  TqdTransLockGuard& operator=(const TqdTransLockGuard&) = delete;

 private:
  TqdBaseTransaction* tlgTrans;
};

// Switches a key filter's time-out check off for the duration of a range
// operation: a filter that stopped on a time-out would end the walk on a
// key it did not accept. The walks check the thread deadline themselves at
// every leaf change.
class TqdKeyFilterTimeOutOff {
 public:
  explicit TqdKeyFilterTimeOutOff(TqdBaseFilterEngine* aKeyFilter) : ftoFilter(aKeyFilter) {
    if (ftoFilter == nullptr) return;
    ftoSaved = ftoFilter->CheckTimeOut();
    ftoSavedResult = ftoFilter->CheckTimeOutResult();
    ftoFilter->SetCheckTimeOut(nullptr, nullptr);
  }
  ~TqdKeyFilterTimeOutOff() {
    if (ftoFilter != nullptr) ftoFilter->SetCheckTimeOut(std::move(ftoSaved), ftoSavedResult);
  }
  TqdKeyFilterTimeOutOff(const TqdKeyFilterTimeOutOff&) = delete;
  TqdKeyFilterTimeOutOff& operator=(const TqdKeyFilterTimeOutOff&) = delete;

 private:
  TqdBaseFilterEngine* ftoFilter;
  TqdFilterCheckTimeOut ftoSaved;
  TqdResult* ftoSavedResult = nullptr;
};

// The two ends of a walk in one direction. Forward walks start from the
// range start at BOF and run towards EOF; backward walks are the mirror
// image.
struct TqdDirection {
  bool dBackward;

  int32_t Step() const { return dBackward ? -1 : 1; }
  // The search that finds the first key of the walk from its starting bound.
  TqdSearchKeyAction StartAction(const TqdRangeInfo& aBound) const {
    if (dBackward) return aBound.riExclusive ? skaSmaller : skaSmallerEqual;
    return aBound.riExclusive ? skaGreater : skaGreaterEqual;
  }
  // The search that finds the last key of the walk from its stopping bound.
  TqdSearchKeyAction StopAction(const TqdRangeInfo& aBound) const {
    if (dBackward) return aBound.riExclusive ? skaGreater : skaGreaterEqual;
    return aBound.riExclusive ? skaSmaller : skaSmallerEqual;
  }
  void SetToStart(TqdBaseIndexPath& aPath) const { dBackward ? aPath.SetToEof() : aPath.SetToBof(); }
  void SetToEnd(TqdBaseIndexPath& aPath) const { dBackward ? aPath.SetToBof() : aPath.SetToEof(); }
  TqdIndexPathPosition StartPosition() const { return dBackward ? ippEof : ippBof; }
  TqdIndexPathPosition EndPosition() const { return dBackward ? ippBof : ippEof; }
  // The crack from which the next step lands on the key the path is on.
  void SetToCrackBeforeKey(TqdBaseIndexPath& aPath) const {
    dBackward ? aPath.SetToCrackAfter() : aPath.SetToCrackBefore();
  }
  TqdResult EndCode() const { return dBackward ? qdeBOF : qdeEOF; }
};

// The sign of a key against a range bound, from the key's side: < 0 when
// the key lies before the bound, 0 on it (over the bound's fields and
// partial length), > 0 after it.
int32_t keyAgainstBound(TqdBaseKeyEngine* aKeyEngine, const uint8_t* aKey, const TqdRangeInfo& aBound) {
  return -int32_t(aKeyEngine->CompareKey(aBound.riKey, aKey, aBound.riFieldCount, aBound.riPartitial));
}

// Whether a key lies before the starting bound of a walk in aDirection
// (before a forward walk's range start, after a backward walk's range
// end), or on it when the bound is exclusive.
bool keyBeforeStartBound(TqdBaseKeyEngine* aKeyEngine, TqdDirection aDirection, const uint8_t* aKey,
                         const TqdRangeInfo& aBound) {
  const int32_t order = keyAgainstBound(aKeyEngine, aKey, aBound) * aDirection.Step();
  return order < 0 || (order == 0 && aBound.riExclusive);
}

// Whether a key lies beyond the stopping bound of a walk in aDirection, or
// on it when the bound is exclusive.
bool keyBeyondStopBound(TqdBaseKeyEngine* aKeyEngine, TqdDirection aDirection, const uint8_t* aKey,
                        const TqdRangeInfo& aBound) {
  const int32_t order = keyAgainstBound(aKeyEngine, aKey, aBound) * aDirection.Step();
  return order > 0 || (order == 0 && aBound.riExclusive);
}

// A leaf entry the walk must not go beyond.
struct TqdLeafMark {
  bool lmValid = false;
  TqdBlockNumber lmBlock = 0;
  int32_t lmSlot = 0;

  bool At(TqdBlockNumber aBlock, int32_t aSlot) const { return lmValid && lmBlock == aBlock && lmSlot == aSlot; }
};

// A walk along the leaf chain in one direction that holds one leaf at a
// time. The walk stands on a slot of its leaf; Step moves to the next
// entry, crossing into the neighbouring leaf (and over empty leaves) when
// the window of the current one is used up. Every leaf change checks the
// thread deadline and counts against the file's block count, so that a
// chain that loops ends with 8962.
class TqdLeafWalk {
 public:
  TqdLeafWalk(TqdStaticKeyBstarTreeIndexEngine& aEngine, TqdBaseIndexHeaderAccess& aAccess, TqdDirection aDirection)
      : lwEngine(aEngine), lwAccess(aAccess), lwDirection(aDirection) {}

  // The edge leaf of the walk (leftmost forward, rightmost backward),
  // standing in front of its first entry in walking order.
  void StartAtEdge(TqdBlockNumber aRoot) {
    lwLeaf = lwEngine.DescendToEdgeLeaf(lwAccess, aRoot, lwDirection.dBackward, lwBlock);
    CheckLeaf();
    lwSlot = lwDirection.dBackward ? First() + Count() : First() - 1;
  }
  // Leaf aBlock, standing on aSlot (the next Step moves away from it).
  void StartAt(TqdBlockNumber aBlock, int32_t aSlot) {
    lwLeaf = lwEngine.ReadNode(lwAccess, aBlock, false);
    lwBlock = aBlock;
    CheckLeaf();
    lwSlot = aSlot;
  }
  // Leaf aBlock, standing in front of aSlot, so that the next Step lands on
  // it.
  void StartBefore(TqdBlockNumber aBlock, int32_t aSlot) { StartAt(aBlock, aSlot - lwDirection.Step()); }
  // Starts where a path on a key or crack stands: the next Step lands on
  // the key after it in walking order.
  void StartAtPath(const TqdStaticKeyBstarTreeIndexPath& aPath) {
    int32_t slot = aPath.bpipItem;
    const TqdIndexPathPosition towardStart = lwDirection.dBackward ? ippOnCrackAfter : ippOnCrackBefore;
    // The key at a crack facing the walk is the next one.
    if (aPath.Position == towardStart) slot -= lwDirection.Step();
    StartAt(aPath.bpipPage, slot);
  }

  // The next entry in walking order; False when the chain ends.
  bool Step() {
    lwSlot += lwDirection.Step();
    while (lwSlot < First() || lwSlot >= First() + Count()) {
      if (!NextLeaf()) return false;
      lwSlot += lwDirection.Step();
    }
    return true;
  }
  // The neighbouring leaf in walking order, standing in front of its first
  // entry; False when there is none (the walk then stays where it was).
  bool NextLeaf() {
    const uint8_t* node = lwLeaf.Data();
    const TqdBlockNumber next = lwDirection.dBackward ? qdIndexNodePrev(node) : qdIndexNodeNext(node);
    if (next == kNoLeaf) return false;
    if (lwLeafLimit == 0) lwLeafLimit = lwAccess.FileHeader()->UsedBlocks();
    if (++lwLeafSteps > lwLeafLimit) lwEngine.RaiseCorruptNode(next);
    qdCheckTimeout();
    lwLeaf = lwEngine.ReadNode(lwAccess, next, false);
    lwBlock = next;
    CheckLeaf();
    lwSlot = lwDirection.dBackward ? First() + Count() : First() - 1;
    return true;
  }

  // Entries from the current slot to the end of the leaf's window in
  // walking order, the current one included.
  int32_t LeftInLeaf() const { return lwDirection.dBackward ? lwSlot - First() + 1 : First() + Count() - lwSlot; }
  // The same, but not beyond aMark when it lies in this leaf.
  int32_t LeftBeforeMark(const TqdLeafMark& aMark) const {
    int32_t left = LeftInLeaf();
    if (aMark.lmValid && aMark.lmBlock == lwBlock)
      left = std::min(left, (aMark.lmSlot - lwSlot) * lwDirection.Step() + 1);
    return std::max(left, 0);
  }
  void MoveBy(int32_t aEntries) { lwSlot += aEntries * lwDirection.Step(); }

  TqdBlockNumber Block() const { return lwBlock; }
  int32_t Slot() const { return lwSlot; }
  const uint8_t* Node() const { return lwLeaf.Data(); }
  const uint8_t* Key() const { return lwEngine.LeafKey(lwLeaf.Data(), lwSlot); }
  TqdRefNr RefNr() const { return lwEngine.LeafRefNr(lwLeaf.Data(), lwSlot); }
  bool AtMark(const TqdLeafMark& aMark) const { return aMark.At(lwBlock, lwSlot); }
  void PutPath(TqdStaticKeyBstarTreeIndexPath& aPath) const {
    lwEngine.SetPathOnEntry(aPath, lwBlock, lwLeaf.Data(), lwSlot, ippOnKey);
  }

 private:
  int32_t First() const { return qdIndexNodeFirst(lwLeaf.Data()); }
  int32_t Count() const { return qdIndexNodeCount(lwLeaf.Data()); }
  // The leaf chain and the paths lead only to leaves.
  void CheckLeaf() const {
    if (qdIndexNodeKind(lwLeaf.Data()) != kIndexNodeLeaf) lwEngine.RaiseCorruptNode(lwBlock);
  }

  TqdStaticKeyBstarTreeIndexEngine& lwEngine;
  TqdBaseIndexHeaderAccess& lwAccess;
  TqdDirection lwDirection;
  TqdBlockRef lwLeaf;
  TqdBlockNumber lwBlock = 0;
  int32_t lwSlot = 0;
  uint32_t lwLeafLimit = 0;
  uint32_t lwLeafSteps = 0;
};

// Whether a record passes a record filter, for counting walks: the record
// engine reads it and calls back only for a record that passes.
TqdRecordIteratorResult notePassed(void* aCookie, TqdRefNr /*aRefNr*/, PqdRecordBuffer /*aRecord*/) {
  *static_cast<bool*>(aCookie) = true;
  return rirContinue;
}

bool recordPasses(TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans, TqdRefNr aRefNr,
                  TqdBaseFilterEngine* aFilter) {
  bool passed = false;
  (void)aRecordEngine->ReadRecordForIterate(aTrans, aRefNr, nullptr, &notePassed, &passed, aFilter);
  return passed;
}

// --- The estimate --------------------------------------------------------------------------------

// One level of a root-to-leaf path as the estimate weighs it.
struct TqdEstimateLevel {
  TqdBlockNumber elBlock = 0;
  int32_t elFirst = 0;
  int32_t elCount = 0;
  int32_t elSlot = 0;
};

// The leaves of a tree of aDepth >= 3 levels below the root from its page
// count, by the fixed point of the internal fill ratio c: a root with
// aRootChildren children, internal levels filled to c of aFanout, leaves
// making up the rest of the pages. NaN when the page count leaves no room
// for leaves (a page count that does not fit the tree).
double estimatedLeaves(int32_t aDepth, double aPages, double aRootChildren, double aFanout) {
  double c = 0.5;
  double m = c;
  double g = aRootChildren + 1;
  for (int32_t pass = 0; pass < kMaxFillRatioPasses; ++pass) {
    double f = aRootChildren + 1;
    g = aRootChildren + 1;
    for (int32_t level = 0; level < aDepth - 2; ++level) {
      g *= c * aFanout;
      f += g;
    }
    const double base = (aPages - f) / aRootChildren;
    if (!(base > 0) || !std::isfinite(base)) return std::numeric_limits<double>::quiet_NaN();
    m = std::pow(base, 1.0 / double(aDepth - 1)) / aFanout;
    if (!std::isfinite(m)) return std::numeric_limits<double>::quiet_NaN();
    if (std::fabs(m - c) < kFillRatioTolerance) break;
    c = m;
  }
  return g * m * aFanout;
}

// The fill ratio F of the leaves: keys per leaf slot. The leaf count comes
// from the page count; a page count that cannot belong to a tree of this
// shape (too small, so that no leaf would be left) falls back to the
// fewest leaves the root alone proves, and F never exceeds a full leaf.
double leafFillRatio(int32_t aDepth, double aPages, double aKeys, double aRootChildren, double aInternalCapacity,
                     double aLeafCapacity) {
  double leaves = 1;
  if (aDepth == 1)
    leaves = aPages - 1;
  else if (aDepth == 2)
    leaves = aPages - 1 - aRootChildren;
  else if (aDepth >= 3)
    leaves = estimatedLeaves(aDepth, aPages, aRootChildren, aInternalCapacity + 1);
  if (aDepth >= 1 && !(leaves >= aRootChildren)) leaves = aRootChildren;
  const double ratio = aKeys / (aLeafCapacity * leaves);
  if (!(ratio > 0)) return 0;
  return std::min(ratio, 1.0);
}

}  // namespace

// --- Iterate -------------------------------------------------------------------------------------

void TqdStaticKeyBstarTreeIndexEngine::Iterate(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                               PqdRecordBufferPtr aData, TqdKeyIterator aKeyIterator,
                                               TqdRecordIterator aRecIterator, void* aCookie,
                                               const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                                               TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter,
                                               bool aKeepPosition) {
  DoIterate(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter, aKeyFilter,
            aKeepPosition, false);
}

void TqdStaticKeyBstarTreeIndexEngine::IterateBackward(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                                       PqdRecordBufferPtr aData, TqdKeyIterator aKeyIterator,
                                                       TqdRecordIterator aRecIterator, void* aCookie,
                                                       const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                                                       TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter,
                                                       bool aKeepPosition) {
  DoIterate(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter, aKeyFilter,
            aKeepPosition, true);
}

void TqdStaticKeyBstarTreeIndexEngine::DoIterate(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                                 PqdRecordBufferPtr aData, TqdKeyIterator aKeyIterator,
                                                 TqdRecordIterator aRecIterator, void* aCookie,
                                                 const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                                                 TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter,
                                                 bool aKeepPosition, bool aBackward) {
  TqdStaticKeyBstarTreeIndexPath& path = CheckedPath(aPath);
  if (ieRecordEngine == nullptr)
    throw EqdStaticKeyBstarTreeIndexEngineException(qdeNotSupported, u"%s requires a RecordEngine",
                                                    {aBackward ? u"IterateBackward" : u"Iterate"});
  const TqdDirection direction{aBackward};
  // The walk starts at the bound on its own side and stops at the other.
  const TqdRangeInfo& startBound = aBackward ? aRangeEnd : aRangeStart;
  const TqdRangeInfo& stopBound = aBackward ? aRangeStart : aRangeEnd;
  TqdBaseFilterEngine* filter = qdActiveFilter(aFilter);
  TqdBaseFilterEngine* keyFilter = qdActiveFilter(aKeyFilter);
  const TqdKeyFilterTimeOutOff timeOutOff(keyFilter);
  const TqdTransLockGuard lock(aTrans);
  const std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
  const TqdBlockNumber root = access->GetIndexRoot();
  if (root == qdIndexRootNone) {
    direction.SetToEnd(path);
    return;
  }

  bool keep = aKeepPosition;
  if (keep) {
    if (path.Position == ippUnknown || path.Position == direction.EndPosition()) {
      direction.SetToEnd(path);
      return;
    }
    if (path.Position == direction.StartPosition()) {
      keep = false;
    } else {
      DoValidateIndexPath(*access, path);
      if (path.Position == direction.StartPosition()) {
        keep = false;
      } else if (!(path.IsOnKey() || path.IsOnCrack()) || !path.KeyValid) {
        // Nothing left to continue from.
        direction.SetToEnd(path);
        return;
      }
    }
  }

  // The last key of the walk: the stop mark.
  TqdStaticKeyBstarTreeIndexPath probe(this);
  TqdLeafMark stopMark;
  if (stopBound.riValid) {
    TqdStaticKeyBstarTreeIndexPath& found = keep ? probe : path;
    if (!FindKey(aTrans, stopBound.riKey, stopBound.riFieldCount, stopBound.riPartitial, 0, &found,
                 direction.StopAction(stopBound), keyFilter) ||
        !found.IsOnKey()) {
      direction.SetToEnd(path);
      return;
    }
    stopMark = {true, found.bpipPage, found.bpipItem};
    if (keep && PathBeyondEntry(path, found, aBackward)) {
      // A kept path already past the range has nothing left in it.
      direction.SetToEnd(path);
      return;
    }
  }

  // The first key of the walk.
  if (startBound.riValid) {
    if (keep && keyBeforeStartBound(KeyEngine(), direction, path.Key, startBound)) keep = false;
    TqdStaticKeyBstarTreeIndexPath& found = keep ? probe : path;
    if (!FindKey(aTrans, startBound.riKey, startBound.riFieldCount, startBound.riPartitial, 0, &found,
                 direction.StartAction(startBound), keyFilter) ||
        !found.IsOnKey()) {
      direction.SetToEnd(path);
      return;
    }
    if (stopBound.riValid && keyBeyondStopBound(KeyEngine(), direction, found.Key, stopBound)) {
      direction.SetToEnd(path);
      return;
    }
    if (!keep) direction.SetToCrackBeforeKey(path);
  } else if (!keep) {
    direction.SetToStart(path);
  }

  if (path.IsOnKey() && stopMark.At(path.bpipPage, path.bpipItem)) {
    direction.SetToEnd(path);
    return;
  }

  TqdLeafWalk walk(*this, *access, direction);
  if (path.Position == direction.StartPosition())
    walk.StartAtEdge(root);
  else
    walk.StartAtPath(path);
  const bool ownBuffer = aData != nullptr && *aData != nullptr;
  while (walk.Step()) {
    walk.PutPath(path);
    const bool atStop = walk.AtMark(stopMark);
    bool visit = keyFilter == nullptr || FilterAccepts(keyFilter, walk.Key());
    if (visit && aKeyIterator != nullptr) {
      const TqdKeyIteratorResult result = aKeyIterator(aCookie, path.RefNr, path.Key);
      if (result == kirStop) return;
      if (result == kirSkipKey) visit = false;
    }
    if (visit && aRecIterator != nullptr) {
      if (ownBuffer) {
        ieRecordEngine->ReadRecord(aTrans, path.RefNr, *aData);
        if (qdFilterMatches(filter, *aData) && aRecIterator(aCookie, path.RefNr, *aData) == rirStop) return;
      } else if (ieRecordEngine->ReadRecordForIterate(aTrans, path.RefNr, aData, aRecIterator, aCookie, filter) ==
                 rirStop) {
        return;
      }
    }
    if (atStop) break;
  }
  direction.SetToEnd(path);
}

bool TqdStaticKeyBstarTreeIndexEngine::PathBeyondEntry(const TqdStaticKeyBstarTreeIndexPath& aPath,
                                                       const TqdStaticKeyBstarTreeIndexPath& aEntry, bool aBackward) {
  int32_t order = KeyEngine()->CompareKey(aPath.Key, aEntry.Key);
  if (order == 0 && ieAddKeyRefsToKeys) order = aPath.RefNr < aEntry.RefNr ? -1 : aPath.RefNr > aEntry.RefNr ? 1 : 0;
  if (aBackward) order = -order;
  if (order != 0) return order > 0;
  // On the entry itself: passed unless the path still faces it.
  return aPath.Position != (aBackward ? ippOnCrackAfter : ippOnCrackBefore);
}

// --- Record numbers ------------------------------------------------------------------------------

// With aFlipOrder (RecNoGetBackward) the count runs from the end of the
// range; the checks against the bounds are the same.
TqdResult TqdStaticKeyBstarTreeIndexEngine::RecNoGet(TqdBaseTransaction* aTrans, TqdBaseIndexPath* aPath,
                                                     const TqdRangeInfo& aRangeStart, const TqdRangeInfo& aRangeEnd,
                                                     TqdBaseFilterEngine* aFilter, TqdBaseFilterEngine* aKeyFilter,
                                                     uint32_t& aRecNo, bool aFlipOrder) {
  const bool backward = aFlipOrder;
  aRecNo = 0;
  TqdStaticKeyBstarTreeIndexPath& path = CheckedPath(aPath);
  TqdBaseFilterEngine* filter = qdActiveFilter(aFilter);
  if (filter != nullptr && ieRecordEngine == nullptr)
    throw EqdStaticKeyBstarTreeIndexEngineException(qdeNotSupported,
                                                    u"%s requires a RecordEngine if a filter is active", {u"RecNoGet"});
  const TqdDirection direction{backward};
  TqdBaseFilterEngine* keyFilter = qdActiveFilter(aKeyFilter);
  const TqdKeyFilterTimeOutOff timeOutOff(keyFilter);
  const std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));

  if (path.IsOnKey() || path.IsOnCrack()) DoValidateIndexPath(*access, path);
  TqdResult result = path.CheckCurrentState();
  if (result == 0 && !path.KeyValid) result = qdeNoCurrentRec;
  if (result == 0 && aRangeStart.riValid &&
      keyBeforeStartBound(KeyEngine(), TqdDirection{false}, path.Key, aRangeStart))
    result = qdeBOF;
  if (result == 0 && aRangeEnd.riValid && keyBeyondStopBound(KeyEngine(), TqdDirection{false}, path.Key, aRangeEnd))
    result = qdeEOF;
  if (result != 0) return result;

  // Where the count starts: the first key of the range in walking order.
  const TqdRangeInfo& startBound = backward ? aRangeEnd : aRangeStart;
  TqdLeafWalk walk(*this, *access, direction);
  if (startBound.riValid) {
    TqdStaticKeyBstarTreeIndexPath first(this);
    if (!FindKey(aTrans, startBound.riKey, startBound.riFieldCount, startBound.riPartitial, 0, &first,
                 direction.StartAction(startBound), keyFilter) ||
        !first.IsOnKey())
      return direction.EndCode();
    walk.StartBefore(first.bpipPage, first.bpipItem);
  } else {
    walk.StartAtEdge(access->GetIndexRoot());
  }
  if (!walk.Step()) return 0;

  int64_t count = 0;
  if (keyFilter != nullptr || filter != nullptr) {
    do {
      bool counts = keyFilter == nullptr || FilterAccepts(keyFilter, walk.Key());
      if (counts && filter != nullptr) counts = recordPasses(ieRecordEngine, aTrans, walk.RefNr(), filter);
      if (counts) ++count;
      if (walk.Block() == path.bpipPage && walk.Slot() == path.bpipItem) break;
    } while (walk.Step());
  } else {
    // Whole leaves, without reading a key.
    for (;;) {
      if (walk.Block() == path.bpipPage) {
        count += std::max((path.bpipItem - walk.Slot()) * direction.Step() + 1, 0);
        break;
      }
      count += walk.LeftInLeaf();
      if (!walk.NextLeaf() || !walk.Step()) break;
    }
  }
  aRecNo = uint32_t(std::min<int64_t>(count, std::numeric_limits<uint32_t>::max()));
  return 0;
}

// With aFlipOrder (RecNoSetBackward) the mirror image from the end of the
// range: running out of the range leaves the path at BOF with 8705.
TqdResult TqdStaticKeyBstarTreeIndexEngine::RecNoSet(TqdBaseTransaction* aTrans, uint32_t aRecNo,
                                                     TqdBaseIndexPath* aPath, const TqdRangeInfo& aRangeStart,
                                                     const TqdRangeInfo& aRangeEnd, TqdBaseFilterEngine* aFilter,
                                                     TqdBaseFilterEngine* aKeyFilter, bool aFlipOrder) {
  const bool backward = aFlipOrder;
  TqdStaticKeyBstarTreeIndexPath& path = CheckedPath(aPath);
  if (aRecNo == 0) {
    path.SetToBof();
    return qdeBOF;
  }
  TqdBaseFilterEngine* filter = qdActiveFilter(aFilter);
  if (filter != nullptr && ieRecordEngine == nullptr)
    throw EqdStaticKeyBstarTreeIndexEngineException(qdeNotSupported,
                                                    u"%s requires a RecordEngine if a filter is active", {u"RecNoSet"});
  const TqdDirection direction{backward};
  const TqdRangeInfo& startBound = backward ? aRangeEnd : aRangeStart;
  const TqdRangeInfo& stopBound = backward ? aRangeStart : aRangeEnd;
  TqdBaseFilterEngine* keyFilter = qdActiveFilter(aKeyFilter);
  const TqdKeyFilterTimeOutOff timeOutOff(keyFilter);
  try {
    const std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
    const TqdBlockNumber root = access->GetIndexRoot();
    if (root == qdIndexRootNone) {
      direction.SetToEnd(path);
      return direction.EndCode();
    }
    TqdStaticKeyBstarTreeIndexPath probe(this);
    TqdLeafMark stopMark;
    if (stopBound.riValid) {
      if (!FindKey(aTrans, stopBound.riKey, stopBound.riFieldCount, stopBound.riPartitial, 0, &probe,
                   direction.StopAction(stopBound), keyFilter) ||
          !probe.IsOnKey()) {
        direction.SetToEnd(path);
        return direction.EndCode();
      }
      stopMark = {true, probe.bpipPage, probe.bpipItem};
    }
    TqdLeafWalk walk(*this, *access, direction);
    if (startBound.riValid) {
      if (!FindKey(aTrans, startBound.riKey, startBound.riFieldCount, startBound.riPartitial, 0, &probe,
                   direction.StartAction(startBound), keyFilter) ||
          !probe.IsOnKey() || (stopBound.riValid && keyBeyondStopBound(KeyEngine(), direction, probe.Key, stopBound))) {
        direction.SetToEnd(path);
        return direction.EndCode();
      }
      walk.StartBefore(probe.bpipPage, probe.bpipItem);
    } else {
      walk.StartAtEdge(root);
    }

    int64_t remaining = aRecNo;
    bool found = false;
    if (!walk.Step()) {
      // Nothing in the range.
    } else if (keyFilter != nullptr || filter != nullptr) {
      do {
        bool counts = keyFilter == nullptr || FilterAccepts(keyFilter, walk.Key());
        if (counts && filter != nullptr) counts = recordPasses(ieRecordEngine, aTrans, walk.RefNr(), filter);
        if (counts && --remaining == 0) {
          found = true;
          break;
        }
        if (walk.AtMark(stopMark)) break;
      } while (walk.Step());
    } else {
      // Jumps within each leaf, without reading a key.
      for (;;) {
        const int32_t left = walk.LeftBeforeMark(stopMark);
        if (remaining <= left) {
          walk.MoveBy(int32_t(remaining - 1));
          found = true;
          break;
        }
        remaining -= left;
        if (stopMark.lmValid && walk.Block() == stopMark.lmBlock) break;
        if (!walk.NextLeaf() || !walk.Step()) break;
      }
    }
    if (found)
      walk.PutPath(path);
    else
      direction.SetToEnd(path);
    return path.CheckCurrentState();
  } catch (...) {
    path.SetToBof();
    throw;
  }
}

// --- The estimate --------------------------------------------------------------------------------

TqdResult TqdStaticKeyBstarTreeIndexEngine::EstimateRecordCount(TqdBaseTransaction* aTrans,
                                                                const TqdRangeInfo& aRangeStart,
                                                                const TqdRangeInfo& aRangeEnd, uint32_t& aRecordCount,
                                                                bool aFlipOrder) {
  if (aFlipOrder) return EstimateRecordCount(aTrans, aRangeEnd, aRangeStart, aRecordCount, false);
  aRecordCount = 0;
  const std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, false, false, 0, 0));
  const TqdBlockNumber root = access->GetIndexRoot();
  if (root == qdIndexRootNone) return 0;

  // The second key of the range and the second-to-last: the two outer keys
  // are counted apart (they are the "2" the weighing starts from).
  TqdStaticKeyBstarTreeIndexPath first(this);
  if (aRangeStart.riValid) {
    if (!FindKey(aTrans, aRangeStart.riKey, aRangeStart.riFieldCount, aRangeStart.riPartitial, 0, &first,
                 aRangeStart.riExclusive ? skaGreater : skaGreaterEqual, nullptr))
      first.SetToEof();
  } else {
    first.SetToBof();
  }
  if (!NextKey(aTrans, &first, nullptr)) first.SetToEof();
  TqdStaticKeyBstarTreeIndexPath last(this);
  if (aRangeEnd.riValid) {
    if (!FindKey(aTrans, aRangeEnd.riKey, aRangeEnd.riFieldCount, aRangeEnd.riPartitial, 0, &last,
                 aRangeEnd.riExclusive ? skaSmaller : skaSmallerEqual, nullptr))
      last.SetToBof();
  } else {
    last.SetToEof();
  }
  if (!PrevKey(aTrans, &last, nullptr)) last.SetToBof();
  if (!first.IsOnKey() || !last.IsOnKey()) return 0;

  const double keys = access->GetIndexKeyCount();
  double estimate = 0;
  if (first.bpipPage == last.bpipPage) {
    if (last.bpipItem >= first.bpipItem) estimate = last.bpipItem - first.bpipItem + 1;
  } else {
    int32_t order = KeyEngine()->CompareKey(first.Key, last.Key);
    if (order == 0) order = first.RefNr > last.RefNr ? 1 : 0;
    if (order > 0) return 0;
    estimate = EstimateBetween(*access, root, first, last, keys);
  }
  if (!(estimate > 0)) return 0;
  aRecordCount = uint32_t(std::min(estimate, keys));
  return 0;
}

double TqdStaticKeyBstarTreeIndexEngine::EstimateBetween(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot,
                                                         const TqdStaticKeyBstarTreeIndexPath& aFirst,
                                                         const TqdStaticKeyBstarTreeIndexPath& aLast, double aKeys) {
  // Both root-to-leaf paths, level 0 the root, level depth the leaves.
  std::array<TqdEstimateLevel, kMaxIndexTreeDepth> startLevels;
  std::array<TqdEstimateLevel, kMaxIndexTreeDepth> endLevels;
  int32_t depth = 0;
  for (int32_t side = 0; side < 2; ++side) {
    const TqdStaticKeyBstarTreeIndexPath& path = side == 0 ? aFirst : aLast;
    std::array<TqdEstimateLevel, kMaxIndexTreeDepth>& levels = side == 0 ? startLevels : endLevels;
    const TqdNodeSearch search = FindKeySearch(path.Key, 0, 0, path.RefNr, skaEqualFirst);
    TqdTreeLevels descent;
    TqdBlockNumber leafBlock = 0;
    int32_t leafSlot = 0;
    bool found = false;
    int32_t sideDepth = 0;
    const TqdBlockRef leaf = DescendToLeaf(aAccess, aRoot, search, leafBlock, leafSlot, found, &descent, &sideDepth);
    if (side == 1 && sideDepth != depth) RaiseCorruptNode(leafBlock);
    depth = sideDepth;
    for (int32_t level = 0; level <= depth; ++level) {
      TqdEstimateLevel& entry = levels[size_t(level)];
      entry.elBlock = descent[size_t(level)].tlBlock;
      entry.elSlot = descent[size_t(level)].tlSlot;
      if (level == depth) {
        entry.elFirst = qdIndexNodeFirst(leaf.Data());
        entry.elCount = qdIndexNodeCount(leaf.Data());
      } else {
        const TqdBlockRef node = ReadNode(aAccess, entry.elBlock, false);
        entry.elFirst = qdIndexNodeFirst(node.Data());
        entry.elCount = qdIndexNodeCount(node.Data());
      }
    }
  }

  const double rootChildren = startLevels[0].elCount + 1;
  const double fill = leafFillRatio(depth, aAccess.GetIndexPageCount(), aKeys, rootChildren, ieMaxInternalNodeKeyCount,
                                    ieMaxLeafNodeKeyCount);
  // Weigh the entries between the two paths (inside) and around them
  // (outside) level by level; an entry of an upper level stands for the
  // keys of its subtree at the fill ratio. Inside starts with the two outer
  // keys of the range that the paths stepped over. In the leaves both path
  // entries count inside; on an internal level the children on the two
  // paths are not counted again, as the levels below already counted their
  // part of them (counting the end path's child whole on every level
  // overestimates a small range that straddles a high separator by a whole
  // subtree).
  double weight = 1;
  double inside = 2;
  double outside = 0;
  for (int32_t level = depth; level >= 0; --level) {
    const TqdEstimateLevel& s = startLevels[size_t(level)];
    const TqdEstimateLevel& e = endLevels[size_t(level)];
    const int32_t leaf = level == depth ? 1 : 0;
    if (s.elBlock != e.elBlock) {
      inside += weight * (s.elFirst + s.elCount - s.elSlot) + weight * (e.elSlot - e.elFirst + leaf);
    } else if (s.elSlot != e.elSlot) {
      inside += weight * (e.elSlot - s.elSlot - 1);
    }
    outside += weight * (s.elSlot - s.elFirst) + weight * (e.elFirst + e.elCount - e.elSlot - leaf);
    weight *= level == depth ? fill * ieMaxLeafNodeKeyCount : fill * ieMaxInternalNodeKeyCount;
  }
  const double total = inside + outside;
  if (!(total > 0) || !std::isfinite(total)) return 0;
  return inside * aKeys / total;
}

}  // namespace qd
