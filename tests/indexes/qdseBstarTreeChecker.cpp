#include "tests/indexes/qdseBstarTreeChecker.h"

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>

#include "dictionary/qdsdKeyEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"

namespace qd::test {

namespace {

// A failure found during the walk.
struct TqdTreeBroken {
  std::string tbText;
};

class TqdTreeWalk {
 public:
  TqdTreeWalk(TqdStaticKeyBstarTreeIndexEngine& aEngine, TqdBaseTransaction* aTrans,
              const TqdBstarTreeCheckOptions& aOptions, std::vector<TqdBstarTreeEntry>* aEntries)
      : fEngine(aEngine), fTrans(aTrans), fOptions(aOptions), fEntries(aEntries), fKeys(*aEngine.KeyEngine()) {
    fKeyLength = fKeys.KeyLength();
    fLeafEntry = uint32_t(aEngine.SizeOfLeafNodeKeyPair());
    fNodeEntry = uint32_t(aEngine.SizeOfInternalNodeKeyPair());
    fStoredKey = uint32_t(aEngine.DescKeyLength());
    fRefsInLeaves = !aEngine.KeysAreRefs();
    fRefsInNodes = aEngine.AddKeyRefsToKeys();
  }

  void Run(TqdBstarTreeShape& aShape) {
    std::unique_ptr<TqdBaseIndexHeaderAccess> access(fEngine.CreateHeaderAccess(fTrans, false, false, 0, 0));
    const uint32_t root = access->GetIndexRoot();
    const uint32_t pages = access->GetIndexPageCount();
    const uint32_t keys = access->GetIndexKeyCount();
    aShape.Root = root;
    if (root == qdIndexRootNone) {
      if (pages != 0 || keys != 0) Fail() << "empty index with page count " << pages << " and key count " << keys;
      return;
    }
    Entry last;
    Visit(root, 0, true, last);
    aShape.Depth = fLeafDepth + 1;
    aShape.Nodes = fNodes;
    aShape.Keys = fKeyCount;
    aShape.Leaves = fLeaves;
    // The chain: the leaves' left-to-right order, linked both ways.
    for (size_t i = 0; i < fLeaves.size(); ++i) {
      const TqdBlockNumber expectPrev = i == 0 ? kNoBlock : fLeaves[i - 1];
      const TqdBlockNumber expectNext = i + 1 == fLeaves.size() ? kNoBlock : fLeaves[i + 1];
      if (fLeafPrev[i] != expectPrev)
        Fail() << "leaf " << fLeaves[i] << " has previous " << fLeafPrev[i] << ", expected " << expectPrev;
      if (fLeafNext[i] != expectNext)
        Fail() << "leaf " << fLeaves[i] << " has next " << fLeafNext[i] << ", expected " << expectNext;
    }
    if (pages != fNodes) Fail() << "page count " << pages << " but the tree has " << fNodes << " nodes";
    if (keys != fKeyCount) Fail() << "key count " << keys << " but the leaves hold " << fKeyCount << " entries";
  }

 private:
  // The last entry of a subtree: a pointer into a copy kept by the walk.
  struct Entry {
    std::vector<uint8_t> key;
    TqdRefNr refNr = 0;
    bool valid = false;
  };

  // Raises the failure when the message is complete.
  class Failure {
   public:
    ~Failure() noexcept(false) { throw TqdTreeBroken{fText.str()}; }
    template <class T>
    Failure& operator<<(const T& aValue) {
      fText << aValue;
      return *this;
    }

   private:
    std::ostringstream fText;
  };
  Failure Fail() { return Failure(); }

  std::vector<uint8_t> Read(TqdBlockNumber aBlock) {
    TqdBlockAccess* file = fEngine.IndexFile();
    if (!file->ValidBlock(aBlock, fTrans)) Fail() << "block " << aBlock << " lies outside the file";
    TqdBaseFile* base = file->_File();
    TqdBlockRef block = base->fiBufMgr->GetBlock(base, fTrans, aBlock, false);
    return std::vector<uint8_t>(block.Data(), block.Data() + file->fiBlockSizeBytes());
  }

  // <0, 0, >0 in index order; aSameKey tells whether the keys compare
  // equal.
  int Order(const Entry& a, const Entry& b, bool& aSameKey) {
    const int c = fKeys.CompareKey(a.key.data(), b.key.data(), 0, 0);
    aSameKey = c == 0;
    if (c != 0 || !fRefsInNodes) return c;
    return a.refNr < b.refNr ? -1 : (a.refNr > b.refNr ? 1 : 0);
  }

  void Visit(TqdBlockNumber aBlock, int32_t aDepth, bool aIsRoot, Entry& aLast) {
    if (aDepth >= kMaxIndexTreeDepth) Fail() << "deeper than " << kMaxIndexTreeDepth << " levels at block " << aBlock;
    if (!fSeen.insert(aBlock).second) Fail() << "block " << aBlock << " is reached twice";
    ++fNodes;
    const std::vector<uint8_t> image = Read(aBlock);
    const uint8_t* node = image.data();
    if (!qdIsIndexBlock(node)) Fail() << "block " << aBlock << " is not an index block";
    if (qdBlockThisBlock(node) != aBlock) Fail() << "block " << aBlock << " carries number " << qdBlockThisBlock(node);
    if (qdIndexNodeIndexNumber(node) != uint8_t(fEngine.IndexNumber()))
      Fail() << "block " << aBlock << " belongs to index " << int(qdIndexNodeIndexNumber(node));
    const uint8_t kind = qdIndexNodeKind(node);
    const uint32_t first = qdIndexNodeFirst(node);
    const uint32_t count = qdIndexNodeCount(node);
    if (kind == kIndexNodeLeaf) {
      VisitLeaf(aBlock, node, first, count, aDepth, aIsRoot, aLast);
      return;
    }
    if (kind != kIndexNodeInternal) Fail() << "block " << aBlock << " has node kind " << int(kind);
    const uint32_t capacity = uint32_t(fEngine.MaxInternalNodeKeyCount());
    if (first != 0) Fail() << "internal node " << aBlock << " starts at slot " << first;
    if (count == 0 || count > capacity) Fail() << "internal node " << aBlock << " holds " << count << " keys";
    if (qdIndexNodePrev(node) != kNoBlock || qdIndexNodeNext(node) != kNoBlock)
      Fail() << "internal node " << aBlock << " is linked like a leaf";
    if (fOptions.MinFill && !aIsRoot && count < capacity / 2)
      Fail() << "internal node " << aBlock << " holds " << count << " of " << capacity << " keys";
    for (uint32_t i = 0; i <= count; ++i) {
      const uint32_t pointer = kIndexBlockHeaderSize + i * fNodeEntry;
      Entry last;
      Visit(qdGetU32(node + pointer), aDepth + 1, false, last);
      if (i == count) {
        aLast = last;
        break;
      }
      const uint8_t* separator = node + pointer + 4;
      if (std::memcmp(separator, last.key.data(), fKeyLength) != 0 ||
          (fRefsInNodes && qdGetI64(separator + fStoredKey) != last.refNr))
        Fail() << "separator " << i << " of node " << aBlock << " is not the last entry of its left subtree";
    }
  }

  void VisitLeaf(TqdBlockNumber aBlock, const uint8_t* aNode, uint32_t aFirst, uint32_t aCount, int32_t aDepth,
                 bool aIsRoot, Entry& aLast) {
    const uint32_t capacity = uint32_t(fEngine.MaxLeafNodeKeyCount());
    if (aFirst + aCount > capacity)
      Fail() << "leaf " << aBlock << " window " << aFirst << " + " << aCount << " exceeds " << capacity;
    if (aCount == 0) Fail() << "leaf " << aBlock << " is empty";
    if (fLeafDepth < 0) fLeafDepth = aDepth;
    if (aDepth != fLeafDepth) Fail() << "leaf " << aBlock << " at depth " << aDepth << ", others at " << fLeafDepth;
    if (fOptions.MinFill && !aIsRoot && aCount < (capacity + 1) / 2)
      Fail() << "leaf " << aBlock << " holds " << aCount << " of " << capacity << " entries";
    fLeaves.push_back(aBlock);
    fLeafPrev.push_back(qdIndexNodePrev(aNode));
    fLeafNext.push_back(qdIndexNodeNext(aNode));
    for (uint32_t slot = aFirst; slot < aFirst + aCount; ++slot) {
      const uint8_t* entry = aNode + kIndexBlockHeaderSize + slot * fLeafEntry;
      Entry current;
      current.key.assign(entry, entry + fKeyLength);
      current.refNr = qdGetI64(entry + (fRefsInLeaves ? fStoredKey : 0));
      current.valid = true;
      if (fPrevious.valid) {
        bool sameKey = false;
        const int c = Order(fPrevious, current, sameKey);
        if (c >= 0) Fail() << "entry " << slot << " of leaf " << aBlock << " is out of order";
        if (sameKey && !fEngine.Dups())
          Fail() << "unique index holds an equal key at slot " << slot << " of " << aBlock;
        if (sameKey && fEngine.DupsNullOnly() && !fKeys.KeyContainsNulls(current.key.data()))
          Fail() << "equal keys without nulls at slot " << slot << " of leaf " << aBlock;
      }
      if (fEntries != nullptr) fEntries->push_back({current.key, current.refNr});
      fPrevious = current;
      ++fKeyCount;
    }
    aLast = fPrevious;
  }

  TqdStaticKeyBstarTreeIndexEngine& fEngine;
  TqdBaseTransaction* fTrans;
  const TqdBstarTreeCheckOptions& fOptions;
  std::vector<TqdBstarTreeEntry>* fEntries;
  TqdBaseKeyEngine& fKeys;
  uint32_t fKeyLength = 0;
  uint32_t fLeafEntry = 0;
  uint32_t fNodeEntry = 0;
  uint32_t fStoredKey = 0;
  bool fRefsInLeaves = true;
  bool fRefsInNodes = false;
  std::unordered_set<TqdBlockNumber> fSeen;
  uint32_t fNodes = 0;
  uint32_t fKeyCount = 0;
  int32_t fLeafDepth = -1;
  std::vector<TqdBlockNumber> fLeaves;
  std::vector<TqdBlockNumber> fLeafPrev;
  std::vector<TqdBlockNumber> fLeafNext;
  Entry fPrevious;
};

// The walk over a keyless tree: nodes hold references only, so the order
// is checked on keys built from the records the leaves name.
class TqdKeylessTreeWalk {
 public:
  TqdKeylessTreeWalk(TqdKeylessBstarTreeIndexEngine& aEngine, TqdBaseTransaction* aTrans,
                     const TqdBstarTreeCheckOptions& aOptions, std::vector<TqdBstarTreeEntry>* aEntries)
      : fEngine(aEngine), fTrans(aTrans), fOptions(aOptions), fEntries(aEntries), fKeys(*aEngine.KeyEngine()) {}

  void Run(TqdBstarTreeShape& aShape) {
    std::unique_ptr<TqdBaseIndexHeaderAccess> access(fEngine.CreateHeaderAccess(fTrans, false, false, 0, 0));
    const uint32_t root = access->GetIndexRoot();
    const uint32_t pages = access->GetIndexPageCount();
    const uint32_t keys = access->GetIndexKeyCount();
    aShape.Root = root;
    if (root == qdIndexRootNone) {
      if (pages != 0 || keys != 0) Fail() << "empty index with page count " << pages << " and key count " << keys;
      return;
    }
    TqdRefNr last = 0;
    Visit(root, 0, true, last);
    aShape.Depth = fLeafDepth + 1;
    aShape.Nodes = fNodes;
    aShape.Keys = fKeyCount;
    aShape.Leaves = fLeaves;
    for (size_t i = 0; i < fLeaves.size(); ++i) {
      const TqdBlockNumber expectPrev = i == 0 ? kNoBlock : fLeaves[i - 1];
      const TqdBlockNumber expectNext = i + 1 == fLeaves.size() ? kNoBlock : fLeaves[i + 1];
      if (fLeafPrev[i] != expectPrev)
        Fail() << "leaf " << fLeaves[i] << " has previous " << fLeafPrev[i] << ", expected " << expectPrev;
      if (fLeafNext[i] != expectNext)
        Fail() << "leaf " << fLeaves[i] << " has next " << fLeafNext[i] << ", expected " << expectNext;
    }
    if (pages != fNodes) Fail() << "page count " << pages << " but the tree has " << fNodes << " nodes";
    if (keys != fKeyCount) Fail() << "key count " << keys << " but the leaves hold " << fKeyCount << " entries";
    for (size_t i = 0; i < fSeparators.size(); ++i)
      if (fInIndex.count(fSeparators[i]) == 0)
        Fail() << "separator " << fSeparators[i] << " names a record that is not in the index";
  }

 private:
  class Failure {
   public:
    ~Failure() noexcept(false) { throw TqdTreeBroken{fText.str()}; }
    template <class T>
    Failure& operator<<(const T& aValue) {
      fText << aValue;
      return *this;
    }

   private:
    std::ostringstream fText;
  };
  Failure Fail() { return Failure(); }

  struct TBuild {
    TqdBaseKeyEngine* bKeys;
    uint8_t* bKey;
    TqdResult bResult;
    bool bRead;
  };
  static TqdRecordIteratorResult BuildKey(void* aCookie, TqdRefNr aRefNr, PqdRecordBuffer aRecord) {
    auto* build = static_cast<TBuild*>(aCookie);
    build->bRead = true;
    build->bResult = build->bKeys->BuildKey(aRecord, build->bKey, aRefNr, true);
    return rirContinue;
  }

  std::vector<uint8_t> KeyOf(TqdRefNr aRefNr) {
    std::vector<uint8_t> key(size_t(fKeys.KeyLength()) + 8, 0);
    TBuild build{&fKeys, key.data(), 0, false};
    (void)fEngine.RecordEngine()->ReadRecordForIterate(fTrans, aRefNr, nullptr, &TqdKeylessTreeWalk::BuildKey, &build,
                                                       nullptr);  // the cookie tells what happened
    if (!build.bRead || build.bResult != 0) Fail() << "record " << aRefNr << " named by the index has no key";
    return key;
  }

  std::vector<uint8_t> Read(TqdBlockNumber aBlock) {
    TqdBlockAccess* file = fEngine.IndexFile();
    if (!file->ValidBlock(aBlock, fTrans)) Fail() << "block " << aBlock << " lies outside the file";
    TqdBaseFile* base = file->_File();
    TqdBlockRef block = base->fiBufMgr->GetBlock(base, fTrans, aBlock, false);
    return std::vector<uint8_t>(block.Data(), block.Data() + file->fiBlockSizeBytes());
  }

  // The index byte is not checked: removing an earlier index renumbers
  // this one without rewriting its nodes.
  void Visit(TqdBlockNumber aBlock, int32_t aDepth, bool aIsRoot, TqdRefNr& aLast) {
    if (aDepth >= kMaxIndexTreeDepth) Fail() << "deeper than " << kMaxIndexTreeDepth << " levels at block " << aBlock;
    if (!fSeen.insert(aBlock).second) Fail() << "block " << aBlock << " is reached twice";
    ++fNodes;
    const std::vector<uint8_t> image = Read(aBlock);
    const uint8_t* node = image.data();
    if (!qdIsIndexBlock(node)) Fail() << "block " << aBlock << " is not an index block";
    if (qdBlockThisBlock(node) != aBlock) Fail() << "block " << aBlock << " carries number " << qdBlockThisBlock(node);
    const uint8_t kind = qdIndexNodeKind(node);
    const uint32_t first = qdIndexNodeFirst(node);
    const uint32_t count = qdIndexNodeCount(node);
    if (kind == kIndexNodeLeaf) {
      VisitLeaf(aBlock, node, first, count, aDepth, aIsRoot, aLast);
      return;
    }
    if (kind != kIndexNodeInternal) Fail() << "block " << aBlock << " has node kind " << int(kind);
    const uint32_t capacity = uint32_t(fEngine.MaxInternalNodeKeyCount());
    if (first != 0) Fail() << "internal node " << aBlock << " starts at slot " << first;
    if (count == 0 || count > capacity) Fail() << "internal node " << aBlock << " holds " << count << " separators";
    if (qdIndexNodePrev(node) != kNoBlock || qdIndexNodeNext(node) != kNoBlock)
      Fail() << "internal node " << aBlock << " is linked like a leaf";
    if (fOptions.MinFill && !aIsRoot && count < capacity / 2)
      Fail() << "internal node " << aBlock << " holds " << count << " of " << capacity << " separators";
    for (uint32_t i = 0; i <= count; ++i) {
      TqdRefNr last = 0;
      Visit(qdGetU32(node + kIndexBlockHeaderSize + 12 * i), aDepth + 1, false, last);
      if (i == count) {
        aLast = last;
        break;
      }
      const TqdRefNr separator = qdGetI64(node + kIndexBlockHeaderSize + 4 + 12 * i);
      fSeparators.push_back(separator);
      if (separator != last)
        Fail() << "separator " << i << " of node " << aBlock << " names " << separator
               << ", not the greatest entry of its child (" << last << ")";
    }
  }

  void VisitLeaf(TqdBlockNumber aBlock, const uint8_t* aNode, uint32_t aFirst, uint32_t aCount, int32_t aDepth,
                 bool aIsRoot, TqdRefNr& aLast) {
    const uint32_t capacity = uint32_t(fEngine.MaxLeafNodeKeyCount());
    if (aFirst + aCount > capacity)
      Fail() << "leaf " << aBlock << " window " << aFirst << " + " << aCount << " exceeds " << capacity;
    if (aCount == 0) Fail() << "leaf " << aBlock << " is empty";
    if (fLeafDepth < 0) fLeafDepth = aDepth;
    if (aDepth != fLeafDepth) Fail() << "leaf " << aBlock << " at depth " << aDepth << ", others at " << fLeafDepth;
    if (fOptions.MinFill && !aIsRoot && aCount < (capacity + 1) / 2)
      Fail() << "leaf " << aBlock << " holds " << aCount << " of " << capacity << " entries";
    fLeaves.push_back(aBlock);
    fLeafPrev.push_back(qdIndexNodePrev(aNode));
    fLeafNext.push_back(qdIndexNodeNext(aNode));
    for (uint32_t slot = aFirst; slot < aFirst + aCount; ++slot) {
      const TqdRefNr refNr = qdGetI64(aNode + kIndexBlockHeaderSize + 8 * slot);
      if (!fInIndex.insert(refNr).second) Fail() << "record " << refNr << " is in the index twice";
      std::vector<uint8_t> key = KeyOf(refNr);
      if (fHasPrevious) {
        const int c = fKeys.CompareKey(fPreviousKey.data(), key.data(), 0, 0);
        if (c > 0 || (c == 0 && fPreviousRefNr >= refNr))
          Fail() << "entry " << slot << " of leaf " << aBlock << " is out of order";
        if (c == 0 && !fEngine.Dups()) Fail() << "unique index holds an equal key at slot " << slot << " of " << aBlock;
        if (c == 0 && fEngine.DupsNullOnly() && !fKeys.KeyContainsNulls(key.data()))
          Fail() << "equal keys without nulls at slot " << slot << " of leaf " << aBlock;
      }
      if (fEntries != nullptr) fEntries->push_back({key, refNr});
      fPreviousKey = std::move(key);
      fPreviousRefNr = refNr;
      fHasPrevious = true;
      ++fKeyCount;
    }
    aLast = fPreviousRefNr;
  }

  TqdKeylessBstarTreeIndexEngine& fEngine;
  TqdBaseTransaction* fTrans;
  const TqdBstarTreeCheckOptions& fOptions;
  std::vector<TqdBstarTreeEntry>* fEntries;
  TqdBaseKeyEngine& fKeys;
  std::unordered_set<TqdBlockNumber> fSeen;
  std::unordered_set<TqdRefNr> fInIndex;
  std::vector<TqdRefNr> fSeparators;
  uint32_t fNodes = 0;
  uint32_t fKeyCount = 0;
  int32_t fLeafDepth = -1;
  std::vector<TqdBlockNumber> fLeaves;
  std::vector<TqdBlockNumber> fLeafPrev;
  std::vector<TqdBlockNumber> fLeafNext;
  std::vector<uint8_t> fPreviousKey;
  TqdRefNr fPreviousRefNr = 0;
  bool fHasPrevious = false;
};

}  // namespace

testing::AssertionResult CheckBstarTree(TqdStaticKeyBstarTreeIndexEngine& aEngine, TqdBaseTransaction* aTrans,
                                        const TqdBstarTreeCheckOptions& aOptions, TqdBstarTreeShape* aShape,
                                        std::vector<TqdBstarTreeEntry>* aEntries) {
  TqdBstarTreeShape shape;
  if (aEntries != nullptr) aEntries->clear();
  try {
    TqdTreeWalk walk(aEngine, aTrans, aOptions, aEntries);
    walk.Run(shape);
  } catch (const TqdTreeBroken& broken) {
    return testing::AssertionFailure() << "index " << aEngine.IndexNumber() << ": " << broken.tbText;
  } catch (const std::exception& e) {
    return testing::AssertionFailure() << "index " << aEngine.IndexNumber() << ": " << e.what();
  }
  if (aShape != nullptr) *aShape = shape;
  return testing::AssertionSuccess();
}

testing::AssertionResult CheckKeylessBstarTree(TqdKeylessBstarTreeIndexEngine& aEngine, TqdBaseTransaction* aTrans,
                                               const TqdBstarTreeCheckOptions& aOptions, TqdBstarTreeShape* aShape,
                                               std::vector<TqdBstarTreeEntry>* aEntries) {
  TqdBstarTreeShape shape;
  if (aEntries != nullptr) aEntries->clear();
  try {
    TqdKeylessTreeWalk walk(aEngine, aTrans, aOptions, aEntries);
    walk.Run(shape);
  } catch (const TqdTreeBroken& broken) {
    return testing::AssertionFailure() << "index " << aEngine.IndexNumber() << ": " << broken.tbText;
  } catch (const std::exception& e) {
    return testing::AssertionFailure() << "index " << aEngine.IndexNumber() << ": " << e.what();
  }
  if (aShape != nullptr) *aShape = shape;
  return testing::AssertionSuccess();
}

}  // namespace qd::test
