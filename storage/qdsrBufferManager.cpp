#include "storage/qdsrBufferManager.h"

#include <cstring>
#include <new>
#include <unordered_set>

#include "storage/qdsrEncryptionEngineBase.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrBufferManager";

// Containers of the per-file block index come from one pool.
TqdMemoryPool containerPool() {
  static const TqdMemoryPool pool = qdGetMemoryPool(sizeof(TqdBlockContainer));
  return pool;
}

TqdBlockContainer* newContainer() {
  void* memory = containerPool().Alloc();
  std::memset(memory, 0, sizeof(TqdBlockContainer));
  return static_cast<TqdBlockContainer*>(memory);
}

void linkContainer(TqdBaseFile* aFile, TqdBlockContainer* aContainer) {
  aContainer->bcPrev = nullptr;
  aContainer->bcNext = aFile->fiBlockContainerList;
  if (aFile->fiBlockContainerList != nullptr) aFile->fiBlockContainerList->bcPrev = aContainer;
  aFile->fiBlockContainerList = aContainer;
}

void unlinkAndFreeContainer(TqdBaseFile* aFile, TqdBlockContainer* aContainer) {
  if (aContainer->bcPrev != nullptr)
    aContainer->bcPrev->bcNext = aContainer->bcNext;
  else
    aFile->fiBlockContainerList = aContainer->bcNext;
  if (aContainer->bcNext != nullptr) aContainer->bcNext->bcPrev = aContainer->bcPrev;
  containerPool().DisposeDirect(aContainer);
}

inline TqdReadOnlyBlock* indexLookup(const TqdBaseFile* aFile, TqdBlockNumber aNumber) {
  if (aNumber == 0) return aFile->fiBlockZero;
  auto* level1 = static_cast<const TqdBlockContainer*>(aFile->fiBlocks[aNumber >> 24]);
  if (level1 == nullptr) return nullptr;
  auto* level2 = static_cast<const TqdBlockContainer*>(level1->bcBlocks[(aNumber >> 16) & 0xFF]);
  if (level2 == nullptr) return nullptr;
  auto* leaf = static_cast<const TqdBlockContainer*>(level2->bcBlocks[(aNumber >> 8) & 0xFF]);
  if (leaf == nullptr) return nullptr;
  return static_cast<TqdReadOnlyBlock*>(leaf->bcBlocks[aNumber & 0xFF]);
}

void indexInsert(TqdBaseFile* aFile, TqdBlockNumber aNumber, TqdReadOnlyBlock* aBlock) {
  if (aNumber == 0) {
    if (aFile->fiBlockZero != nullptr) qdAssertFailed(kUnit, "block 0 filed twice");
    aFile->fiBlockZero = aBlock;
    return;
  }
  void** slot = &aFile->fiBlocks[aNumber >> 24];
  TqdBlockContainer* parent = nullptr;
  for (int shift = 16; shift >= 0; shift -= 8) {
    if (*slot == nullptr) {
      TqdBlockContainer* created = newContainer();
      linkContainer(aFile, created);
      *slot = created;
      if (parent != nullptr) ++parent->bcCount;
    }
    parent = static_cast<TqdBlockContainer*>(*slot);
    slot = &parent->bcBlocks[(aNumber >> shift) & 0xFF];
  }
  if (*slot != nullptr) qdAssertFailed(kUnit, "block index entry set twice");
  *slot = aBlock;
  ++parent->bcCount;
}

void indexRemove(TqdBaseFile* aFile, TqdBlockNumber aNumber) {
  if (aNumber == 0) {
    aFile->fiBlockZero = nullptr;
    return;
  }
  void** slots[4];
  TqdBlockContainer* containers[3];
  slots[0] = &aFile->fiBlocks[aNumber >> 24];
  for (int level = 0; level < 3; ++level) {
    containers[level] = static_cast<TqdBlockContainer*>(*slots[level]);
    if (containers[level] == nullptr) qdAssertFailed(kUnit, "block index container missing at removal");
    slots[level + 1] = &containers[level]->bcBlocks[(aNumber >> (16 - 8 * level)) & 0xFF];
  }
  if (*slots[3] == nullptr) qdAssertFailed(kUnit, "block index entry missing at removal");
  *slots[3] = nullptr;
  // Empty containers go back and clear their parent's entry in turn.
  for (int level = 2; level >= 0; --level) {
    if (--containers[level]->bcCount > 0) break;
    unlinkAndFreeContainer(aFile, containers[level]);
    *slots[level] = nullptr;
  }
}

}  // namespace

// --- Signatures ---------------------------------------------------------------------------

qdString qdSignatureText(const TqdBlockSignature& aSignature) {
  qdString result;
  for (char c : aSignature.bsChars) result.push_back(char16_t(uint8_t(c)));
  return result;
}

// --- References ------------------------------------------------------------------------

uint8_t* TqdBlockRef::WritableData() const {
  if (!brWritable) qdAssertFailed(kUnit, "a block handed out for reading is not written");
  return brBlock;
}

TqdBlockNumber TqdBlockRef::BlockNumber() const { return brOwner != nullptr ? brOwner->BlockNumber() : 0; }

const uint8_t* TqdReleaseList::Add(TqdBlockRef&& aBlock) {
  rlItems.push_back(std::move(aBlock));
  return rlItems.back().Data();
}

void TqdReleaseList::Release() {
  for (auto& item : rlItems) item.Release();
  rlItems.clear();
}

// --- Memory ----------------------------------------------------------------------------

TqdCacheBlock::TqdCacheBlock(TqdBlockSizeAll aSize)
    : cbSize(aSize), cbHandle(qdAllocBlock(aSize)), cbBlock(static_cast<PqdBlock>(qdMapBlock(cbHandle))) {}

TqdCacheBlock::~TqdCacheBlock() { qdFreeBlock(cbHandle); }

// --- Block objects -----------------------------------------------------------------------

TqdBlockObject::~TqdBlockObject() {
  if (boCacheBlock != nullptr) boBufferManager->CountMappedPages(-int32_t(qdBlockSizePages(boCacheBlock->Size())));
  delete boCacheBlock;
}

void TqdBlockObject::ValidateImage(const uint8_t*) {}

void TqdBlockObject::CopyFrom(TqdBlockObject* aOther) {
  if (aOther->boCacheBlock == nullptr) aOther->CacheBlockNeeded();
  if (aOther->boCacheBlock == nullptr) return;
  auto* copy = new TqdCacheBlock(BlockSizeClass());
  std::memcpy(copy->Block(), aOther->boCacheBlock->Block(), qdBlockSizeAllBytes(BlockSizeClass()));
  SetCacheBlock(copy);
}

void TqdBlockObject::MoveFrom(TqdBlockObject* aOther) {
  if (aOther->boCacheBlock == nullptr) aOther->CacheBlockNeeded();
  SetCacheBlock(aOther->ReleaseCacheBlock());
}

// The cache counts the memory its versions hold against its budget; memory
// a version gives away (retired images readers still hold, a version that
// takes over another's) leaves the count with it.
TqdCacheBlock* TqdBlockObject::ReleaseCacheBlock() {
  TqdCacheBlock* result = boCacheBlock;
  boCacheBlock = nullptr;
  if (result != nullptr) boBufferManager->CountMappedPages(-int32_t(qdBlockSizePages(result->Size())));
  return result;
}

void TqdBlockObject::SetCacheBlock(TqdCacheBlock* aCacheBlock) {
  if (boCacheBlock == aCacheBlock) return;
  if (boCacheBlock != nullptr) boBufferManager->CountMappedPages(-int32_t(qdBlockSizePages(boCacheBlock->Size())));
  delete boCacheBlock;
  boCacheBlock = aCacheBlock;
  if (aCacheBlock != nullptr) boBufferManager->CountMappedPages(int32_t(qdBlockSizePages(aCacheBlock->Size())));
}

void TqdBlockObject::NewCacheBlock() { SetCacheBlock(new TqdCacheBlock(BlockSizeClass())); }

// --- Committed versions ---------------------------------------------------------------

TqdReadOnlyBlock::TqdReadOnlyBlock(TqdBufferManager* aBufferManager, TqdBaseFile* aFile, TqdBlockNumber aBlockNum,
                                   bool aNew)
    : TqdBlockObject(aBufferManager), robFile(aFile), robBlockNum(aBlockNum), robNew(aNew) {}

TqdReadOnlyBlock::~TqdReadOnlyBlock() {
  // Snapshots and private versions go with the committed one.
  FreeSnapShots();
  while (robBlockListTail != nullptr) {
    TqdModifiedBlock* version = robBlockListTail;
    robBlockListTail = version->mbPrev;
    version->UnlinkFromLevel();
    delete version;
  }
  for (TqdCacheBlock* retired : robRetired) delete retired;
}

TqdBlockSizeAll TqdReadOnlyBlock::BlockSizeClass() const { return robFile->fiBlockSize; }

uint32_t TqdReadOnlyBlock::BlockSize() const { return qdBlockSizeAllBytes(robFile->fiBlockSize); }

void TqdReadOnlyBlock::ValidateImage(const uint8_t* aBlock) {
  if (robFile->fiHeaderAccessFactory) robFile->fiHeaderAccessFactory->ValidateBlock(aBlock, robBlockNum);
}

TqdLSN TqdReadOnlyBlock::LSN() const {
  if (robTrans != nullptr && Dirty()) return robTrans->btLSN;
  return boCacheBlock != nullptr ? qdBlockLSN(boCacheBlock->Block()) : 0;
}

void TqdReadOnlyBlock::FreeRetired() {
  if (robRetired.empty() || qdAtomicLoad(robRefCount) != 0) return;
  for (TqdCacheBlock* retired : robRetired) delete retired;
  robRetired.clear();
}

void TqdReadOnlyBlock::CacheBlockNeeded() QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdBufferManager* manager = boBufferManager;
  manager->WaitWhileLoading(this);
  if (boCacheBlock != nullptr || robNew) return;
  // The image is read into memory of its own and attached only when it is
  // complete, so that no other path ever sees a half-read image.
  auto image = std::make_unique<TqdCacheBlock>(BlockSizeClass());
  robLoading = qdGetManualEvent();
  robLoadImage = image.get();
  // The read runs without the lock unless an outer frame of this thread
  // holds it too (it cannot be given up for that frame).
  const bool unlock = manager->LockDepth() == 1;
  try {
    if (unlock) manager->Unlock();
    try {
      qdTestPoint("qdsrBufferManager.BlockRead");
      robFile->ReadBlock(this);
    } catch (...) {
      if (unlock) manager->Lock();
      throw;
    }
    if (unlock) manager->Lock();
    if (robBlockNum == 0 && robFile->fiHeaderAccessFactory)
      robFile->fiHeaderAccessFactory->CheckHeader(image->Block(), BlockSize());
  } catch (...) {
    // Nobody may find a half-read image: drop the memory and wake the
    // waiters, who then read again themselves.
    robLoadImage = nullptr;
    TqdManualEventRef loading = std::move(robLoading);
    loading->SignalEvent();
    throw;
  }
  robLoadImage = nullptr;
  SetCacheBlock(image.release());
  robLastLSN = qdBlockLSN(boCacheBlock->Block());
  TqdManualEventRef loading = std::move(robLoading);
  loading->SignalEvent();
}

TqdBlockRef TqdReadOnlyBlock::Block(TqdBaseTransaction* aTrans, bool aMarkDirty) {
  PqdBlock image;
  bool writable = false;
  if (aTrans != nullptr && aTrans == robTrans && robBlockListTail != nullptr) {
    TqdModifiedBlock* newest = robBlockListTail;
    if (newest->mbDiscarded || newest->CacheBlock() == nullptr) {
      if (aMarkDirty) {
        newest->NewCacheBlock();
        std::memset(newest->CacheBlock()->Block(), 0, BlockSize());
        newest->mbDiscarded = false;
        image = newest->CacheBlock()->Block();
        writable = true;
      } else {
        image = const_cast<PqdBlock>(qdZeroBlockBytes());
      }
    } else {
      image = newest->CacheBlock()->Block();
      writable = aMarkDirty;
    }
  } else {
    if (aMarkDirty) qdAssertFailed(kUnit, "only the transaction that made a block dirty writes it");
    // A snapshot transaction reads the image of its snapshot where a later
    // commit replaced the committed one.
    if (aTrans != nullptr && aTrans->HasState(tsSnapshot)) {
      if (PqdBlock snapshot = SnapShotImage(aTrans)) {
        FreeRetired();
        qdInterlockedIncrement(robRefCount);
        return TqdBlockRef(snapshot, this, false);
      }
    }
    if (boCacheBlock == nullptr) CacheBlockNeeded();
    image = boCacheBlock != nullptr ? boCacheBlock->Block() : const_cast<PqdBlock>(qdZeroBlockBytes());
  }
  FreeRetired();
  qdInterlockedIncrement(robRefCount);
  return TqdBlockRef(image, this, writable);
}

void TqdReadOnlyBlock::PushVersion(TqdBaseTransactionLevel* aLevel) {
  auto version = std::make_unique<TqdModifiedBlock>(this, aLevel);
  TqdModifiedBlock* newer = robBlockListTail;
  if (newer != nullptr) {
    version->mbDiscarded = newer->mbDiscarded;
    if (!newer->mbDiscarded) version->CopyFrom(newer);
  } else {
    version->mbDiscarded = robNew;
    if (!robNew) {
      // Write-through tables hand the committed memory over instead of
      // copying it, but never while a reader still holds it.
      const uint8_t kinds =
          robFile->fiAttributes.Bits() & TqdFileAttributes{qdfaTemporary, qdfaMemTable, qdfaTransWriteThrough}.Bits();
      if (kinds == TqdFileAttributes{qdfaTransWriteThrough}.Bits() && qdAtomicLoad(robRefCount) == 0)
        version->MoveFrom(this);
      else
        version->CopyFrom(this);
    }
  }
  TqdModifiedBlock* pushed = version.release();
  pushed->mbPrev = newer;
  robBlockListTail = pushed;
  pushed->LinkToLevel(aLevel);
}

void TqdReadOnlyBlock::MakeDirty(TqdBaseTransaction* aTrans) {
  if (aTrans == nullptr) qdAssertFailed(kUnit, "Must have a transaction in order to modify a Block.");
  if (robTrans != nullptr && robTrans != aTrans)
    throw EqdBufferManagerException(qdeRecLocked, u"Block %d of file \"%s\" is being changed by another transaction",
                                    {robBlockNum, robFile->FileName()});
  TqdBaseTransactionLevel* level = aTrans->TransLevel();
  if (level == nullptr) qdAssertFailed(kUnit, "a transaction without a level changes a block");
  if (robBlockListTail != nullptr) {
    if (robBlockListTail->mbTransLevel->Level() < level->Level()) PushVersion(level);
    return;
  }
  // Everything that can fail comes before the first change.
  if (!robNew && boCacheBlock == nullptr) CacheBlockNeeded();
  robFile->JoinTransaction(aTrans);
  PushVersion(level);
  robTrans = aTrans;
  boBufferManager->AddToTransBlockList(aTrans, this);
  if (robBlockListTail->CacheBlock() != nullptr) qdSetBlockLSN(robBlockListTail->CacheBlock()->Block(), aTrans->btLSN);
}

// --- Private versions -----------------------------------------------------------------

TqdModifiedBlock::TqdModifiedBlock(TqdReadOnlyBlock* aReadOnlyBlock, TqdBaseTransactionLevel*)
    : TqdBlockObject(aReadOnlyBlock->boBufferManager), mbReadOnlyBlock(aReadOnlyBlock) {}

TqdModifiedBlock::~TqdModifiedBlock() = default;

TqdBlockSizeAll TqdModifiedBlock::BlockSizeClass() const { return mbReadOnlyBlock->BlockSizeClass(); }

void TqdModifiedBlock::ValidateImage(const uint8_t* aBlock) { mbReadOnlyBlock->ValidateImage(aBlock); }

void TqdModifiedBlock::LinkToLevel(TqdBaseTransactionLevel* aTransLevel) {
  mbTransLevel = aTransLevel;
  mbTransLevelNext = nullptr;
  mbTransLevelPrev = aTransLevel->tlModifiedBlocksTail;
  if (aTransLevel->tlModifiedBlocksTail != nullptr)
    aTransLevel->tlModifiedBlocksTail->mbTransLevelNext = this;
  else
    aTransLevel->tlModifiedBlocksHead = this;
  aTransLevel->tlModifiedBlocksTail = this;
  ++aTransLevel->tlBlockCount;
}

void TqdModifiedBlock::UnlinkFromLevel() {
  TqdBaseTransactionLevel* level = mbTransLevel;
  if (level == nullptr) return;
  if (mbTransLevelPrev != nullptr)
    mbTransLevelPrev->mbTransLevelNext = mbTransLevelNext;
  else
    level->tlModifiedBlocksHead = mbTransLevelNext;
  if (mbTransLevelNext != nullptr)
    mbTransLevelNext->mbTransLevelPrev = mbTransLevelPrev;
  else
    level->tlModifiedBlocksTail = mbTransLevelPrev;
  --level->tlBlockCount;
  mbTransLevel = nullptr;
  mbTransLevelPrev = nullptr;
  mbTransLevelNext = nullptr;
}

// --- Scratch blocks ---------------------------------------------------------------------

TqdScratchBlock::TqdScratchBlock(TqdBufferManager* aBufferManager, TqdBlockSizeAll aSize, uint32_t aID)
    : TqdBlockObject(aBufferManager), sbID(aID), sbSize(aSize) {}

// --- The cache ---------------------------------------------------------------------------

TqdBufferManager::TqdBufferManager(const qdString& aTempDir)
    : bmTempDir(aTempDir), bmTempStorage(std::make_unique<TqdNullTempStorage>()) {
  SetMaxRAM(10);
}

TqdBufferManager::~TqdBufferManager() QD_NO_THREAD_SAFETY_ANALYSIS {
  // Every file must have been removed; a version left here would be freed
  // under a file that no longer knows it.
  // Every file must have been removed before (CheckInvariants and the
  // tests watch InUseCount); a version left here cannot be freed safely
  // under a file that may still know it, so it is left alone.
  for (TqdScratchBlock* scratch : bmScratchSlots) delete scratch;
}

void TqdBufferManager::Lock() {
  bmPadlock.Lock();
  ++bmLockDepth;
}

void TqdBufferManager::Unlock() {
  --bmLockDepth;
  bmPadlock.Unlock();
}

bool TqdBufferManager::TryLock() {
  if (!bmPadlock.TryLock()) return false;
  ++bmLockDepth;
  return true;
}

uint32_t TqdBufferManager::InUseCount() {
  TqdCacheLockGuard guard(this);
  return bmInUseCount;
}

TqdReadOnlyBlock* TqdBufferManager::FindBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber) {
  TqdReadOnlyBlock* block = indexLookup(aFile, aBlockNumber);
  if (block != nullptr) WaitWhileLoading(block);
  return block;
}

void TqdBufferManager::WaitWhileLoading(TqdReadOnlyBlock* aBlock) {
  while (aBlock->robLoading) {
    if (bmLockDepth != 1) qdAssertFailed(kUnit, "the cache lock is held once while waiting for a block read");
    // The reference keeps the block in place while this thread waits.
    TqdManualEventRef loading = aBlock->robLoading;
    qdInterlockedIncrement(aBlock->robRefCount);
    ++aBlock->robWaiting;
    Unlock();
    qdTestPoint("qdsrBufferManager.WaitWhileLoading");
    loading->WaitFor();
    Lock();
    --aBlock->robWaiting;
    qdInterlockedDecrement(aBlock->robRefCount);
  }
}

TqdReadOnlyBlock* TqdBufferManager::CreateBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber, bool aNew) {
  auto block = std::make_unique<TqdReadOnlyBlock>(this, aFile, aBlockNumber, aNew);
  indexInsert(aFile, aBlockNumber, block.get());
  TqdReadOnlyBlock* result = block.release();
  result->robInUsePrev = bmInUseListTail;
  if (bmInUseListTail != nullptr)
    bmInUseListTail->robInUseNext = result;
  else
    bmInUseListHead = result;
  bmInUseListTail = result;
  ++bmInUseCount;
  result->robFilePrev = aFile->fiBlockListTail;
  if (aFile->fiBlockListTail != nullptr)
    aFile->fiBlockListTail->robFileNext = result;
  else
    aFile->fiBlockListHead = result;
  aFile->fiBlockListTail = result;
  ++aFile->fiBlockCount;
  return result;
}

void TqdBufferManager::RemoveBlock(TqdReadOnlyBlock* aBlock) {
  TqdBaseFile* file = aBlock->robFile;
  if (aBlock->robTrans != nullptr) RemoveFromTransBlockList(aBlock);
  indexRemove(file, aBlock->robBlockNum);
  if (aBlock->robFilePrev != nullptr)
    aBlock->robFilePrev->robFileNext = aBlock->robFileNext;
  else
    file->fiBlockListHead = aBlock->robFileNext;
  if (aBlock->robFileNext != nullptr)
    aBlock->robFileNext->robFilePrev = aBlock->robFilePrev;
  else
    file->fiBlockListTail = aBlock->robFilePrev;
  --file->fiBlockCount;
  if (aBlock->robInUsePrev != nullptr)
    aBlock->robInUsePrev->robInUseNext = aBlock->robInUseNext;
  else
    bmInUseListHead = aBlock->robInUseNext;
  if (aBlock->robInUseNext != nullptr)
    aBlock->robInUseNext->robInUsePrev = aBlock->robInUsePrev;
  else
    bmInUseListTail = aBlock->robInUsePrev;
  --bmInUseCount;
  delete aBlock;
}

void TqdBufferManager::AddToTransBlockList(TqdBaseTransaction* aTrans, TqdReadOnlyBlock* aBlock) {
  aBlock->robTransNext = nullptr;
  aBlock->robTransPrev = aTrans->btTransBlockListTail;
  if (aTrans->btTransBlockListTail != nullptr)
    aTrans->btTransBlockListTail->robTransNext = aBlock;
  else
    aTrans->btTransBlockListHead = aBlock;
  aTrans->btTransBlockListTail = aBlock;
  ++aTrans->btBlockCount;
}

void TqdBufferManager::RemoveFromTransBlockList(TqdReadOnlyBlock* aBlock) {
  TqdBaseTransaction* trans = aBlock->robTrans;
  if (aBlock->robTransPrev != nullptr)
    aBlock->robTransPrev->robTransNext = aBlock->robTransNext;
  else
    trans->btTransBlockListHead = aBlock->robTransNext;
  if (aBlock->robTransNext != nullptr)
    aBlock->robTransNext->robTransPrev = aBlock->robTransPrev;
  else
    trans->btTransBlockListTail = aBlock->robTransPrev;
  --trans->btBlockCount;
  aBlock->robTransPrev = nullptr;
  aBlock->robTransNext = nullptr;
  aBlock->robTrans = nullptr;
}

namespace {

// A block that a failed operation created or left without an image and
// that nobody holds goes again, so that the next access starts afresh.
void dropIfUnused(TqdBufferManager* aManager, TqdReadOnlyBlock* aBlock) QD_REQUIRES(aManager->bmPadlock) {
  if (aBlock->CacheBlock() == nullptr && aBlock->RefCount() == 0 && !aBlock->Dirty() &&
      aBlock->Transaction() == nullptr && !aBlock->Unwritten())
    aManager->RemoveBlock(aBlock);
}

}  // namespace

TqdBlockRef TqdBufferManager::GetBlock(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber,
                                       bool aMarkDirty) {
  TqdCacheLockGuard guard(this);
  return GetBlockLocked(aFile, aTrans, aBlockNumber, aMarkDirty);
}

TqdBlockRef TqdBufferManager::GetValidBlock(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber,
                                            bool aMarkDirty) {
  TqdCacheLockGuard guard(this);
  if (aBlockNumber == 0 || aBlockNumber >= VisibleBlockCount(aFile, aTrans)) return {};
  return GetBlockLocked(aFile, aTrans, aBlockNumber, aMarkDirty);
}

uint32_t TqdBufferManager::VisibleBlockCount(const TqdBaseFile* aFile, const TqdBaseTransaction* aTrans) {
  if (aTrans != nullptr && aTrans == aFile->fiTrans) return aFile->fiTransUsedBlocks;
  if (aTrans != nullptr && aTrans->HasState(tsSnapshot))
    if (const TqdFileSnapShotLink* link = aFile->SnapShotLink(aTrans)) return link->fsslUsedBlocks;
  return aFile->fiUsedBlocks;
}

bool TqdBufferManager::CommittedHeaderLSN(const TqdBaseFile* aFile, const TqdBaseTransaction* aTrans,
                                          TqdBlockNumber aHeaderBlock, TqdLSN& aLSN) {
  if (aTrans != nullptr && (aTrans == aFile->fiTrans || aTrans->HasState(tsSnapshot))) return false;
  const TqdReadOnlyBlock* header = indexLookup(aFile, aHeaderBlock);
  // A header being read has no committed LSN yet.
  if (header == nullptr || header->CacheBlock() == nullptr || header->robLoading) return false;
  aLSN = header->LastLSN();
  return true;
}

void TqdBufferManager::PinHeaderValue(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aHeaderBlock,
                                      TqdLSN aImageLSN, TqdBlockNumber aValue, TqdHeaderPin& aPin) {
  TqdCacheLockGuard guard(this);
  TqdLSN committed = 0;
  // An image the reader saw privately leaves the pin as it was: that pin
  // still answers for the committed header it came from.
  if (!CommittedHeaderLSN(aFile, aTrans, aHeaderBlock, committed) || committed != aImageLSN) return;
  aPin.hpValue = aValue;
  aPin.hpHeaderLSN = committed;
  aPin.hpSet = true;
}

TqdBlockNumber TqdBufferManager::PinnedHeaderValue(TqdBaseFile* aFile, TqdBaseTransaction* aTrans,
                                                   TqdBlockNumber aHeaderBlock, const TqdHeaderPin& aPin) {
  TqdCacheLockGuard guard(this);
  TqdLSN committed = 0;
  if (!aPin.hpSet || !CommittedHeaderLSN(aFile, aTrans, aHeaderBlock, committed) || committed != aPin.hpHeaderLSN)
    return kNoBlock;
  return aPin.hpValue;
}

TqdBlockRef TqdBufferManager::GetBlockLocked(TqdBaseFile* aFile, TqdBaseTransaction* aTrans,
                                             TqdBlockNumber aBlockNumber, bool aMarkDirty) {
  TqdReadOnlyBlock* block = FindBlock(aFile, aBlockNumber);
  if (block == nullptr) block = CreateBlock(aFile, aBlockNumber, aFile->fiAttributes.Contains(qdfaTemporary));
  TqdBlockRef result;
  const bool cached = block->CacheBlock() != nullptr;
  try {
    if (aMarkDirty) block->MakeDirty(aTrans);
    result = block->Block(aTrans, aMarkDirty);
  } catch (...) {
    dropIfUnused(this, block);
    throw;
  }
  CountUse(block, cached);
  bmRemoveExcessBlocks(false, false);
  return result;
}

TqdBlockRef TqdBufferManager::AddBlock(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber) {
  if (aTrans == nullptr) qdAssertFailed(kUnit, "Must have a transaction in order to modify a Block.");
  TqdCacheLockGuard guard(this);
  TqdReadOnlyBlock* block = FindBlock(aFile, aBlockNumber);
  if (block == nullptr) block = CreateBlock(aFile, aBlockNumber, true);
  try {
    block->MakeDirty(aTrans);
    return block->Block(aTrans, true);
  } catch (...) {
    dropIfUnused(this, block);
    throw;
  }
}

void TqdBufferManager::DirtyBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber, TqdBaseTransaction* aTrans,
                                  TqdBlockRef& aBlock) {
  TqdCacheLockGuard guard(this);
  TqdReadOnlyBlock* block = FindBlock(aFile, aBlockNumber);
  if (block == nullptr) return;
  // The caller's own reference is what keeps the private version from
  // moving under it; a writable pointer is never handed out without one.
  if (aBlock.Owner() != block) qdAssertFailed(kUnit, "DirtyBlock needs a held reference to the block");
  block->MakeDirty(aTrans);
  aBlock = block->Block(aTrans, true);
}

void TqdBufferManager::DiscardBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber, TqdBaseTransaction* aTrans) {
  TqdCacheLockGuard guard(this);
  TqdReadOnlyBlock* block = FindBlock(aFile, aBlockNumber);
  if (block == nullptr) return;
  block->MakeDirty(aTrans);
  TqdModifiedBlock* newest = block->robBlockListTail;
  newest->mbDiscarded = true;
  // A temporary file's image has no other home; it can go at once, since
  // nobody holds a reference to it.
  if (aFile->fiAttributes.Contains(qdfaTemporary) && block->RefCount() == 0) newest->SetCacheBlock(nullptr);
}

TqdResult TqdBufferManager::AddFile(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, const TqdUnicodeStrings& aPasswords,
                                    bool aMarkHeaderDirty, TqdBlockRef& aBlock, bool& aIsReadOnly) {
  aIsReadOnly = false;
  aBlock.Release();
  TqdResult result = 0;
  TqdCacheLockGuard guard(this);
  TqdReadOnlyBlock* block = FindBlock(aFile, 0);
  if (block != nullptr) {
    // Open elsewhere in this engine: a second opener must know the password
    // the first one opened it with.
    if (aFile->fiEncryptionEngine) {
      result = aFile->fiEncryptionEngine->AuthenticatePassword(aPasswords);
      if (result != 0) result = EqdBaseException::qdSetMessage(result, u"Invalid password given.");
    }
  } else if (aFile->fiAttributes.Contains(qdfaTemporary)) {
    block = CreateBlock(aFile, 0, true);
  } else {
    result = aFile->ReadHeader(aPasswords, aIsReadOnly);
    if (result == 0) {
      block = CreateBlock(aFile, 0, false);
      try {
        block->CacheBlockNeeded();
      } catch (...) {
        RemoveBlock(block);
        aFile->fiHeaderAccessFactory.reset();
        throw;
      }
    }
  }
  if (aFile->fiOpenMode == omReadOnly) aIsReadOnly = true;
  if (result == 0) {
    if (aMarkHeaderDirty) block->MakeDirty(aTrans);
    aBlock = block->Block(aTrans, aMarkHeaderDirty);
    const TqdLSN lsn = qdBlockLSN(aBlock.Data());
    if (lsn > bmCurrentLSN) bmCurrentLSN = lsn;
  }
  return result;
}

void TqdBufferManager::RemoveFile(TqdBaseFile* aFile) {
  TqdCacheLockGuard guard(this);
  for (TqdReadOnlyBlock* block = aFile->fiBlockListHead; block != nullptr; block = block->robFileNext)
    if (block->RefCount() != 0) qdAssertFailed(kUnit, "a file leaves the cache while a block of it is held");
  // Queued images that never reached the file are forgotten with it.
  aFile->RollbackUnwritten();
  while (aFile->fiBlockListHead != nullptr) RemoveBlock(aFile->fiBlockListHead);
  if (aFile->fiTrans != nullptr) aFile->LeaveTransaction();
  while (aFile->fiBlockContainerList != nullptr) unlinkAndFreeContainer(aFile, aFile->fiBlockContainerList);
  std::memset(aFile->fiBlocks, 0, sizeof aFile->fiBlocks);
  aFile->fiBlockZero = nullptr;
}

TqdLSN TqdBufferManager::CurrentLSN() {
  TqdCacheLockGuard guard(this);
  return bmCurrentLSN;
}

TqdLSN TqdBufferManager::NextLSN() {
  TqdCacheLockGuard guard(this);
  return ++bmCurrentLSN;
}

void TqdBufferManager::SetNextLSN(TqdLSN aValue) {
  TqdCacheLockGuard guard(this);
  if (aValue > bmCurrentLSN) bmCurrentLSN = aValue;
}

// --- Scratch blocks ---------------------------------------------------------------------

TqdScratchBlock* TqdBufferManager::ResolveScratch(const TqdScratchBlockHandle& aHandle) {
  if (aHandle.sbhSlot >= bmScratchSlots.size() || bmScratchSlots[aHandle.sbhSlot] == nullptr ||
      bmScratchGenerations[aHandle.sbhSlot] != aHandle.sbhID)
    qdAssertFailed(kUnit, "scratch block handle is not valid");
  return bmScratchSlots[aHandle.sbhSlot];
}

void TqdBufferManager::CreateScratchBlock(TqdBlockSizeAll aSize, TqdScratchBlockHandle& aHandle) {
  TqdCacheLockGuard guard(this);
  bmRemoveExcessBlocks(false, false);
  uint32_t slot;
  if (!bmFreeScratchSlots.empty()) {
    slot = bmFreeScratchSlots.back();
    bmFreeScratchSlots.pop_back();
  } else {
    slot = uint32_t(bmScratchSlots.size());
    bmScratchSlots.push_back(nullptr);
    bmScratchGenerations.push_back(0);
  }
  const uint32_t generation = ++bmScratchGenerations[slot];
  auto scratch = std::make_unique<TqdScratchBlock>(this, aSize, generation);
  scratch->NewCacheBlock();
  bmScratchSlots[slot] = scratch.release();
  aHandle.sbhSlot = slot;
  aHandle.sbhID = generation;
}

void* TqdBufferManager::LockScratchBlock(const TqdScratchBlockHandle& aHandle) {
  TqdCacheLockGuard guard(this);
  TqdScratchBlock* scratch = ResolveScratch(aHandle);
  scratch->CacheBlock()->SetWriteProtected(false);
  ++scratch->sbRefCount;
  return scratch->CacheBlock()->Block();
}

void TqdBufferManager::UnlockScratchBlock(const TqdScratchBlockHandle& aHandle, void* aPointer) {
  TqdCacheLockGuard guard(this);
  TqdScratchBlock* scratch = ResolveScratch(aHandle);
  if (scratch->sbRefCount <= 0 || scratch->CacheBlock()->Block() != aPointer)
    qdAssertFailed(kUnit, "scratch block unlocked that was not locked at that address");
  if (--scratch->sbRefCount == 0) scratch->CacheBlock()->SetWriteProtected(true);
}

void TqdBufferManager::FreeScratchBlock(const TqdScratchBlockHandle& aHandle) {
  TqdCacheLockGuard guard(this);
  TqdScratchBlock* scratch = ResolveScratch(aHandle);
  bmScratchSlots[aHandle.sbhSlot] = nullptr;
  bmFreeScratchSlots.push_back(aHandle.sbhSlot);
  delete scratch;
}

// --- Self-check ---------------------------------------------------------------------------

void TqdBufferManager::CheckInvariants() {
  TqdCacheLockGuard guard(this);
  uint32_t count = 0;
  std::unordered_set<TqdBaseFile*> files;
  for (TqdReadOnlyBlock* block = bmInUseListHead; block != nullptr; block = block->robInUseNext) {
    ++count;
    if (block->robInUseNext != nullptr && block->robInUseNext->robInUsePrev != block)
      qdAssertFailed(kUnit, "in-use list links");
    if (indexLookup(block->robFile, block->robBlockNum) != block) qdAssertFailed(kUnit, "block index entry");
    if (block->RefCount() < 0) qdAssertFailed(kUnit, "negative block reference count");
    if (block->robLoading) qdAssertFailed(kUnit, "block read still running");
    if (block->Dirty() != (block->robTrans != nullptr)) qdAssertFailed(kUnit, "dirty block without transaction");
    int32_t above = INT32_MAX;
    for (TqdModifiedBlock* version = block->robBlockListTail; version != nullptr; version = version->mbPrev) {
      if (version->mbReadOnlyBlock != block || version->mbTransLevel == nullptr)
        qdAssertFailed(kUnit, "private version links");
      if (version->mbTransLevel->Level() >= above) qdAssertFailed(kUnit, "private versions out of level order");
      above = version->mbTransLevel->Level();
      if (!version->mbDiscarded && version->CacheBlock() == nullptr)
        qdAssertFailed(kUnit, "private version without image");
    }
    files.insert(block->robFile);
  }
  if (count != bmInUseCount) qdAssertFailed(kUnit, "in-use count");
  for (TqdBaseFile* file : files) {
    uint32_t inFile = 0;
    for (TqdReadOnlyBlock* block = file->fiBlockListHead; block != nullptr; block = block->robFileNext) {
      ++inFile;
      if (block->robFile != file) qdAssertFailed(kUnit, "file list holds another file's block");
    }
    if (inFile != file->fiBlockCount) qdAssertFailed(kUnit, "file block count");
  }
}

void qdsrBufferManagerInitialize() {}

void qdsrBufferManagerFinalize() {}

}  // namespace qd
