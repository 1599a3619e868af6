// Block snapshots: a snapshot transaction reads every block as it was
// committed when the transaction first touched the block's file. Every
// object here is created and destroyed under the cache lock.
#include "storage/qdsrBufferManager.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrBufferManager";

void setBit(std::vector<uint8_t>& aFlags, int32_t aIndex) {
  if (aFlags.size() <= size_t(aIndex >> 3)) aFlags.resize(size_t(aIndex >> 3) + 1, 0);
  aFlags[size_t(aIndex >> 3)] = uint8_t(aFlags[size_t(aIndex >> 3)] | (1u << (aIndex & 7)));
}

void clearBit(std::vector<uint8_t>& aFlags, int32_t aIndex) {
  aFlags[size_t(aIndex >> 3)] = uint8_t(aFlags[size_t(aIndex >> 3)] & ~(1u << (aIndex & 7)));
}

template <class T>
void growTo(std::vector<T*>& aSlots, int32_t aIndex) {
  if (aSlots.size() <= size_t(aIndex)) aSlots.resize(size_t(aIndex) + 1, nullptr);
}

}  // namespace

// --- Registration --------------------------------------------------------------------------

void TqdBufferManager::RegisterSnapShot(TqdBaseTransaction* aTrans) {
  TqdCacheLockGuard guard(this);
  ++bmActiveSnapShotCount;
  const int32_t bits = int32_t(8 * bmSnapShotFlags.size());
  int32_t id = 0;
  if (bits < bmActiveSnapShotCount) {
    id = bits;
    bmSnapShotFlags.push_back(0);
  } else {
    while (id < bits && qdSnapShotBit(bmSnapShotFlags, id)) ++id;
    if (id == bits) qdAssertFailed(kUnit, "no free snapshot identifier although one must be free");
  }
  growTo(bmSnapShotTrans, id);
  if (bmSnapShotTrans[size_t(id)] != nullptr) qdAssertFailed(kUnit, "snapshot identifier registered twice");
  setBit(bmSnapShotFlags, id);
  bmSnapShotTrans[size_t(id)] = aTrans;
  aTrans->btSnapshotID = id;
}

void TqdBufferManager::UnregisterSnapShot(TqdBaseTransaction* aTrans) {
  TqdCacheLockGuard guard(this);
  const int32_t id = aTrans->btSnapshotID;
  if (id < 0 || !qdSnapShotBit(bmSnapShotFlags, id) || size_t(id) >= bmSnapShotTrans.size() ||
      bmSnapShotTrans[size_t(id)] != aTrans)
    qdAssertFailed(kUnit, "a snapshot transaction is unregistered that is not registered");
  bmSnapShotTrans[size_t(id)] = nullptr;
  --bmActiveSnapShotCount;
  clearBit(bmSnapShotFlags, id);
  while (!bmSnapShotFlags.empty() && bmSnapShotFlags.back() == 0) bmSnapShotFlags.pop_back();
  aTrans->btSnapshotID = -1;
}

int32_t TqdBufferManager::ActiveSnapShotCount() {
  TqdCacheLockGuard guard(this);
  return bmActiveSnapShotCount;
}

size_t TqdBufferManager::SnapShotFlagBytes() {
  TqdCacheLockGuard guard(this);
  return bmSnapShotFlags.size();
}

// --- File links ----------------------------------------------------------------------------

TqdFileSnapShotLink* TqdBaseFile::SnapShotLink(const TqdBaseTransaction* aTrans) const {
  const int32_t id = aTrans->btSnapshotID;
  if (id < 0 || size_t(id) >= fiSnapShotLinks.size()) return nullptr;
  return fiSnapShotLinks[size_t(id)];
}

TqdFileSnapShotLink::TqdFileSnapShotLink(TqdBaseFile* aFile, TqdBaseTransaction* aTrans)
    : fsslFile(aFile), fsslTrans(aTrans) {
  const int32_t id = aTrans->btSnapshotID;
  if (id < 0) qdAssertFailed(kUnit, "a file snapshot link for a transaction without a snapshot identifier");
  if (qdSnapShotBit(aFile->fiSnapShotFlags, id) || aFile->SnapShotLink(aTrans) != nullptr)
    qdAssertFailed(kUnit, "a snapshot transaction is linked to a file twice");
  fsslFileCounter = ++aFile->fiSnapShotCounter;
  fsslFilePrev = aFile->fiSnapShotLinkTail;
  if (aFile->fiSnapShotLinkTail != nullptr)
    aFile->fiSnapShotLinkTail->fsslFileNext = this;
  else
    aFile->fiSnapShotLinkHead = this;
  aFile->fiSnapShotLinkTail = this;
  setBit(aFile->fiSnapShotFlags, id);
  growTo(aFile->fiSnapShotLinks, id);
  aFile->fiSnapShotLinks[size_t(id)] = this;
  fsslUsedBlocks = aFile->fiUsedBlocks;
  fsslTransPrev = aTrans->btFileSnapShotLinksTail;
  if (aTrans->btFileSnapShotLinksTail != nullptr)
    aTrans->btFileSnapShotLinksTail->fsslTransNext = this;
  else
    aTrans->btFileSnapShotLinksHead = this;
  aTrans->btFileSnapShotLinksTail = this;
}

TqdFileSnapShotLink::~TqdFileSnapShotLink() {
  if (fsslTransPrev != nullptr)
    fsslTransPrev->fsslTransNext = fsslTransNext;
  else
    fsslTrans->btFileSnapShotLinksHead = fsslTransNext;
  if (fsslTransNext != nullptr)
    fsslTransNext->fsslTransPrev = fsslTransPrev;
  else
    fsslTrans->btFileSnapShotLinksTail = fsslTransPrev;
  TqdBaseFile* file = fsslFile;
  ++file->fiSnapShotCounter;
  const int32_t id = fsslTrans->btSnapshotID;
  // A destructor cannot report a broken registration; the entries are
  // cleared only where they are this link's own.
  if (qdSnapShotBit(file->fiSnapShotFlags, id)) clearBit(file->fiSnapShotFlags, id);
  if (size_t(id) < file->fiSnapShotLinks.size() && file->fiSnapShotLinks[size_t(id)] == this)
    file->fiSnapShotLinks[size_t(id)] = nullptr;
  if (fsslFilePrev != nullptr)
    fsslFilePrev->fsslFileNext = fsslFileNext;
  else
    file->fiSnapShotLinkHead = fsslFileNext;
  if (fsslFileNext != nullptr)
    fsslFileNext->fsslFilePrev = fsslFilePrev;
  else
    file->fiSnapShotLinkTail = fsslFilePrev;
}

// --- Block snapshots --------------------------------------------------------------------------

TqdBlockSnapShot::TqdBlockSnapShot(TqdReadOnlyBlock* aBlock)
    : TqdBlockObject(aBlock->boBufferManager), bssReadOnlyBlock(aBlock) {
  TqdBaseFile* file = aBlock->FileObject();
  if (aBlock->CacheBlock() == nullptr) {
    // Read under the lock: the commit that takes the snapshot must not let
    // other threads in half-way.
    TqdCacheLockGuard hold(boBufferManager);
    aBlock->CacheBlockNeeded();
  }
  MoveFrom(aBlock);
  if (file->fiSnapshotBlockCount != nullptr) qdInterlockedIncrement(*file->fiSnapshotBlockCount);
  bssBlockPrev = aBlock->robSnapShotBlockTail;
  if (aBlock->robSnapShotBlockTail != nullptr)
    aBlock->robSnapShotBlockTail->bssBlockNext = this;
  else
    aBlock->robSnapShotBlockHead = this;
  aBlock->robSnapShotBlockTail = this;
}

TqdBlockSnapShot::~TqdBlockSnapShot() {
  TqdReadOnlyBlock* block = bssReadOnlyBlock;
  if (bssBlockPrev != nullptr)
    bssBlockPrev->bssBlockNext = bssBlockNext;
  else
    block->robSnapShotBlockHead = bssBlockNext;
  if (bssBlockNext != nullptr)
    bssBlockNext->bssBlockPrev = bssBlockPrev;
  else
    block->robSnapShotBlockTail = bssBlockPrev;
  TqdBaseFile* file = block->FileObject();
  if (file->fiSnapshotBlockCount != nullptr) qdInterlockedDecrement(*file->fiSnapshotBlockCount);
  // A reader that read the image before the commit took it may still hold
  // it through its reference on the committed block.
  block->RetireOrFree(ReleaseCacheBlock());
}

TqdBlockSizeAll TqdBlockSnapShot::BlockSizeClass() const { return bssReadOnlyBlock->BlockSizeClass(); }

void TqdBlockSnapShot::ValidateImage(const uint8_t* aBlock) { bssReadOnlyBlock->ValidateImage(aBlock); }

TqdBlockSnapShotLink::TqdBlockSnapShotLink(TqdBlockSnapShot* aBlockSnapShot, TqdBaseTransaction* aSnapShotTrans)
    : bsslBlockSnapShot(aBlockSnapShot), bsslBlock(aBlockSnapShot->bssReadOnlyBlock), bsslTrans(aSnapShotTrans) {
  const int32_t id = aSnapShotTrans->btSnapshotID;
  if (id < 0) qdAssertFailed(kUnit, "a block snapshot link for a transaction without a snapshot identifier");
  TqdReadOnlyBlock* block = bsslBlock;
  growTo(block->robSnapShotLinks, id);
  if (block->robSnapShotLinks[size_t(id)] != nullptr)
    qdAssertFailed(kUnit, "a snapshot transaction is linked to a block snapshot twice");
  block->robSnapShotLinks[size_t(id)] = this;
  bsslBlockPrev = block->robSnapShotLinkTail;
  if (block->robSnapShotLinkTail != nullptr)
    block->robSnapShotLinkTail->bsslBlockNext = this;
  else
    block->robSnapShotLinkHead = this;
  block->robSnapShotLinkTail = this;
  bsslTransPrev = aSnapShotTrans->btBlockSnapShotLinksTail;
  if (aSnapShotTrans->btBlockSnapShotLinksTail != nullptr)
    aSnapShotTrans->btBlockSnapShotLinksTail->bsslTransNext = this;
  else
    aSnapShotTrans->btBlockSnapShotLinksHead = this;
  aSnapShotTrans->btBlockSnapShotLinksTail = this;
  ++aBlockSnapShot->bssLinkRefCount;
}

TqdBlockSnapShotLink::~TqdBlockSnapShotLink() {
  if (bsslTransPrev != nullptr)
    bsslTransPrev->bsslTransNext = bsslTransNext;
  else
    bsslTrans->btBlockSnapShotLinksHead = bsslTransNext;
  if (bsslTransNext != nullptr)
    bsslTransNext->bsslTransPrev = bsslTransPrev;
  else
    bsslTrans->btBlockSnapShotLinksTail = bsslTransPrev;
  TqdReadOnlyBlock* block = bsslBlock;
  if (bsslBlockPrev != nullptr)
    bsslBlockPrev->bsslBlockNext = bsslBlockNext;
  else
    block->robSnapShotLinkHead = bsslBlockNext;
  if (bsslBlockNext != nullptr)
    bsslBlockNext->bsslBlockPrev = bsslBlockPrev;
  else
    block->robSnapShotLinkTail = bsslBlockPrev;
  const int32_t id = bsslTrans->btSnapshotID;
  if (id >= 0 && size_t(id) < block->robSnapShotLinks.size() && block->robSnapShotLinks[size_t(id)] == this)
    block->robSnapShotLinks[size_t(id)] = nullptr;
  if (--bsslBlockSnapShot->bssLinkRefCount <= 0) delete bsslBlockSnapShot;
}

// --- Hooks in the committed block -------------------------------------------------------------

void TqdReadOnlyBlock::TakeSnapShots() {
  TqdBaseFile* file = robFile;
  if (robSnapShotCounter >= file->fiSnapShotCounter) return;
  const uint8_t kinds = file->fiAttributes.Bits() & TqdFileAttributes{qdfaTemporary, qdfaMemTable}.Bits();
  // A plain temporary file has one reader at a time; a memory table is
  // shared and keeps snapshots like a table file.
  if (kinds != TqdFileAttributes{qdfaTemporary}.Bits()) {
    TqdBlockSnapShot* snapshot = nullptr;
    for (TqdFileSnapShotLink* link = file->fiSnapShotLinkTail;
         link != nullptr && link->fsslFileCounter > robSnapShotCounter; link = link->fsslFilePrev) {
      if (snapshot == nullptr) snapshot = new TqdBlockSnapShot(this);
      new TqdBlockSnapShotLink(snapshot, link->fsslTrans);
    }
  }
  robSnapShotCounter = file->fiSnapShotCounter;
}

PqdBlock TqdReadOnlyBlock::SnapShotImage(TqdBaseTransaction* aTrans) {
  const int32_t id = aTrans->btSnapshotID;
  if (id >= 0 && size_t(id) < robSnapShotLinks.size() && robSnapShotLinks[size_t(id)] != nullptr)
    return robSnapShotLinks[size_t(id)]->bsslBlockSnapShot->Image();
  if (robFile->SnapShotLink(aTrans) == nullptr) new TqdFileSnapShotLink(robFile, aTrans);
  return nullptr;
}

void TqdReadOnlyBlock::FreeSnapShots() {
  while (robSnapShotLinkHead != nullptr) delete robSnapShotLinkHead;
  // Every block snapshot has a link; one left over would leak its memory.
  while (robSnapShotBlockHead != nullptr) delete robSnapShotBlockHead;
}

void TqdBufferManager::LinkMultiFileSnapShots(TqdBaseTransaction* aTrans) {
  if (bmActiveSnapShotCount <= 0) return;
  if (aTrans->btTransFileListHead == nullptr || aTrans->btTransFileListHead == aTrans->btTransFileListTail) return;
  std::vector<uint8_t> united(bmSnapShotFlags.size(), 0);
  for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext) {
    const size_t count = std::min(united.size(), file->fiSnapShotFlags.size());
    for (size_t i = 0; i < count; ++i) united[i] = uint8_t(united[i] | file->fiSnapShotFlags[i]);
  }
  while (!united.empty() && united.back() == 0) united.pop_back();
  if (united.empty()) return;
  for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext) {
    if (file->fiSnapShotFlags.size() < united.size()) file->fiSnapShotFlags.resize(united.size(), 0);
    for (int32_t id = 0; id < int32_t(8 * united.size()); ++id)
      if (qdSnapShotBit(united, id) && !qdSnapShotBit(file->fiSnapShotFlags, id))
        new TqdFileSnapShotLink(file, bmSnapShotTrans[size_t(id)]);
  }
}

}  // namespace qd
