// Transaction levels and the commit and rollback of block versions: a
// nested level merges its versions into the level below; level 0 stamps
// block 0 of every changed file, writes the journal, makes the versions the
// committed images and queues them on their files; the flush list writes
// and syncs the files and then deletes the journal.
#include "storage/qdsrBufferManager.h"

#include <memory>

#include "platform/qdDateTime.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrBufferManager";

bool isTemporary(const TqdBaseFile* aFile) { return aFile->fiAttributes.Contains(qdfaTemporary); }

}  // namespace

// --- Levels ---------------------------------------------------------------------------------

TqdBaseTransactionLevel::TqdBaseTransactionLevel(TqdBaseTransaction* aTrans)
    : tlPrev(aTrans->btTransLevelsTail), tlTransaction(aTrans) {
  tlLevel = tlPrev != nullptr ? tlPrev->tlLevel + 1 : 0;
  tlStartTime = Now();
  tlStartLSN = tlLSN = aTrans->btBufferManager->NextLSN();
  aTrans->btTransLevelsTail = this;
}

TqdBaseTransactionLevel::~TqdBaseTransactionLevel() {
  if (tlTransaction->btTransLevelsTail == this) tlTransaction->btTransLevelsTail = tlPrev;
}

bool TqdBaseTransactionLevel::StopNested() {
  if (tlNestingCount > 0) {
    --tlNestingCount;
    return false;
  }
  return true;
}

bool TqdBaseTransactionLevel::MarkUp(TqdTransactionLevelState aState) {
  const bool was = HasState(aState);
  for (TqdBaseTransactionLevel* level = tlTransaction->btTransLevelsTail; level != nullptr && level != this;
       level = level->tlPrev)
    level->tlState.Include(aState);
  tlState.Include(aState);
  return !was;
}

void TqdBaseTransactionLevel::MarkCorrupted() {
  if (MarkUp(tlsCorrupted)) tlTransaction->btBufferManager->CountCorrupted();
}

void TqdBaseTransactionLevel::MarkDeadlock() {
  if (MarkUp(tlsDeadlocked)) tlTransaction->btBufferManager->CountDeadlock();
}

void TqdBaseTransactionLevel::MarkNoMoreNested() { tlState.Include(tlsNoMoreNested); }

// --- Transactions ---------------------------------------------------------------------------

TqdBaseTransaction::TqdBaseTransaction(TqdBufferManager* aBufferManager, void* aOwningSession, bool aIsSnapshot, bool)
    : btBufferManager(aBufferManager), btOwningSession(aOwningSession) {
  if (aIsSnapshot) {
    aBufferManager->RegisterSnapShot(this);
    IncludeState(tsSnapshot);
  }
  try {
    StartNested(false);
  } catch (...) {
    if (aIsSnapshot) aBufferManager->UnregisterSnapShot(this);
    throw;
  }
  btStartTime = btTransLevelsTail->tlStartTime;
  btStartLSN = btLSN = btTransLevelsTail->tlLSN;
}

TqdBaseTransaction::~TqdBaseTransaction() {
  // A transaction given up without its owner's rollback (an exception
  // unwound past it) must not leave blocks that point at it.
  while (btTransLevelsTail != nullptr) {
    if (btTransLevelsTail->tlModifiedBlocksHead != nullptr || btTransBlockListHead != nullptr ||
        btTransFileListHead != nullptr) {
      try {
        btBufferManager->RollbackTransaction(this);
      } catch (...) {
        // Nothing can be reported from a destructor; the cache's own checks
        // find what is left.
      }
    }
    delete btTransLevelsTail;
  }
  {
    TqdCacheLockGuard guard(btBufferManager);
    while (btBlockSnapShotLinksHead != nullptr) delete btBlockSnapShotLinksHead;
    while (btFileSnapShotLinksHead != nullptr) delete btFileSnapShotLinksHead;
  }
  if (HasState(tsSnapshot)) btBufferManager->UnregisterSnapShot(this);
  // An unfinished journal is deleted with its object.
  btJournal.reset();
}

TqdBaseTransactionLevel* TqdBaseTransaction::CreateTransLevel() { return new TqdBaseTransactionLevel(this); }

void TqdBaseTransaction::Failed() { IncludeState(tsFailed); }

void TqdBaseTransaction::StartNested(bool aForce) {
  if (!aForce && btTransLevelsTail != nullptr && btTransLevelsTail->HasState(tlsNoMoreNested)) {
    ++btTransLevelsTail->tlNestingCount;
    return;
  }
  CreateTransLevel();
}

TqdResult TqdBaseTransaction::CheckState() const {
  if (HasState(tsFailed)) return qdeTransCorrupt;
  if (btTransLevelsTail == nullptr) return 0;
  if (btTransLevelsTail->HasState(tlsDeadlocked)) return qdeDeadlock;
  if (btTransLevelsTail->HasState(tlsCorrupted)) return qdeTransCorrupt;
  return 0;
}

void TqdBaseTransaction::MarkCorrupted() {
  if (btTransLevelsTail != nullptr) btTransLevelsTail->MarkCorrupted();
}

void TqdBaseTransaction::MarkDeadlock() {
  if (btTransLevelsTail != nullptr) btTransLevelsTail->MarkDeadlock();
}

void TqdBaseTransaction::MarkNoMoreNested() {
  if (btTransLevelsTail != nullptr) btTransLevelsTail->MarkNoMoreNested();
}

void TqdBaseTransaction::Lock() {
  if (btTransLevelsTail == nullptr) qdAssertFailed(kUnit, "a transaction without a level is locked");
  ++btTransLevelsTail->tlLockCount;
}

void TqdBaseTransaction::Unlock() {
  if (btTransLevelsTail == nullptr || btTransLevelsTail->tlLockCount <= 0)
    qdAssertFailed(kUnit, "a transaction level is unlocked that holds no lock");
  --btTransLevelsTail->tlLockCount;
}

void TqdBaseTransaction::SetJournal(std::unique_ptr<TqdBaseJournalEngine> aJournal) { btJournal = std::move(aJournal); }

std::unique_ptr<TqdBaseJournalEngine> TqdBaseTransaction::TakeJournal() { return std::move(btJournal); }

// --- One block ------------------------------------------------------------------------------

void TqdReadOnlyBlock::RetireOrFree(TqdCacheBlock* aCacheBlock) {
  if (aCacheBlock == nullptr) return;
  // Readers may still hold the image; it stays in place until the last of
  // them lets go.
  if (qdAtomicLoad(robRefCount) > 0)
    robRetired.push_back(aCacheBlock);
  else
    delete aCacheBlock;
}

bool TqdReadOnlyBlock::Commit(bool aForce, bool aIsWTCommit) {
  TqdModifiedBlock* newest = robBlockListTail;
  if (newest == nullptr) qdAssertFailed(kUnit, "commit of a clean block");
  TqdBaseTransaction* trans = robTrans;
  TqdBaseTransactionLevel* level = newest->mbTransLevel;
  if (!aForce && level != trans->TransLevel()) return false;
  TqdModifiedBlock* older = newest->mbPrev;
  if (older != nullptr) {
    if (older->mbTransLevel == level->tlPrev) {
      // The level below already has a version: it takes this one's content.
      older->SetCacheBlock(newest->ReleaseCacheBlock());
      older->mbDiscarded = newest->mbDiscarded;
      robBlockListTail = older;
      newest->UnlinkFromLevel();
      delete newest;
    } else {
      newest->UnlinkFromLevel();
      newest->LinkToLevel(level->tlPrev);
    }
    return false;
  }
  if (level->Level() > 0) {
    newest->UnlinkFromLevel();
    newest->LinkToLevel(level->tlPrev);
    return false;
  }
  // Level 0: the private version becomes the committed image.
  const bool discarded = newest->mbDiscarded || newest->CacheBlock() == nullptr;
  const bool temporary = isTemporary(robFile);
  // A write-through commit leaves a version that somebody holds in place:
  // the committed image becomes a copy, the block stays dirty.
  const bool keepVersion = aIsWTCommit && qdAtomicLoad(robRefCount) > 0;
  if (!robNew) TakeSnapShots();
  RetireOrFree(ReleaseCacheBlock());
  if (!discarded) {
    if (keepVersion)
      CopyFrom(newest);
    else
      SetCacheBlock(newest->ReleaseCacheBlock());
    boCacheBlock->SetWriteProtected(true);
  } else if (!temporary) {
    // A freed block reaches its file as a "DEAD" image, so that nothing that
    // walks the file by block owner takes it for a live block.
    NewCacheBlock();
    qdFormatFreedBlock(boCacheBlock->Block(), BlockSize(), robBlockNum, trans->btLSN);
    boCacheBlock->SetWriteProtected(true);
  }
  if (!keepVersion) {
    robBlockListTail = nullptr;
    newest->UnlinkFromLevel();
    delete newest;
    boBufferManager->RemoveFromTransBlockList(this);
  }
  // A discarded block counts as new again: whoever takes it next starts
  // from zeros, although its freed image goes to the file.
  if (discarded) robNew = true;
  if (!temporary) robFile->WriteBlock(this);
  if (!discarded) robNew = false;
  if (robBlockNum == 0 && !discarded && boCacheBlock != nullptr) {
    robFile->fiUsedBlocks = robFile->HeaderAccessFactory()->GetUsedBlocks(boCacheBlock->Block());
    robLastLSN = qdBlockLSN(boCacheBlock->Block());
  } else if (boCacheBlock != nullptr) {
    robLastLSN = qdBlockLSN(boCacheBlock->Block());
  }
  return true;
}

bool TqdReadOnlyBlock::Rollback(TqdBaseTransactionLevel* aTransLevel) {
  TqdModifiedBlock* newest = robBlockListTail;
  if (newest == nullptr) qdAssertFailed(kUnit, "rollback of a clean block");
  TqdBaseTransaction* trans = robTrans;
  TqdBaseTransactionLevel* level = aTransLevel != nullptr ? aTransLevel : trans->TransLevel();
  if (newest->mbTransLevel != level) return false;
  robBlockListTail = newest->mbPrev;
  newest->UnlinkFromLevel();
  delete newest;
  bool forget = false;
  if (robBlockListTail == nullptr) {
    boBufferManager->RemoveFromTransBlockList(this);
    forget = robNew;
  }
  // The writer's block count follows block 0 back, also when block 0 is
  // clean again while the file stays in the transaction.
  if (robBlockNum == 0 && robFile->fiTrans == trans && !trans->HasState(tsSnapshot) &&
      robFile->HeaderAccessFactory() != nullptr) {
    const TqdBlockObject* image = robBlockListTail;
    if (image == nullptr || robBlockListTail->mbDiscarded || robBlockListTail->CacheBlock() == nullptr) image = this;
    if (image->CacheBlock() != nullptr)
      robFile->fiTransUsedBlocks = robFile->HeaderAccessFactory()->GetUsedBlocks(image->CacheBlock()->Block());
  }
  return forget;
}

bool TqdReadOnlyBlock::RollbackUnwritten() {
  robUnwritten = false;
  // The newest block snapshot holds the image the file still has.
  TqdBlockSnapShot* newest = robSnapShotBlockTail;
  if (newest != nullptr && newest->CacheBlock() != nullptr) {
    RetireOrFree(ReleaseCacheBlock());
    CopyFrom(newest);
    robNew = false;
    robLastLSN = qdBlockLSN(boCacheBlock->Block());
    return false;
  }
  return true;
}

void TqdBufferManager::ForgetBlock(TqdReadOnlyBlock* aBlock) {
  if (aBlock->RefCount() == 0 && aBlock->robWaiting == 0 && !aBlock->Dirty()) {
    RemoveBlock(aBlock);
    return;
  }
  aBlock->RetireOrFree(aBlock->ReleaseCacheBlock());
  aBlock->robUnwritten = false;
}

// --- Transactions in the cache ----------------------------------------------------------

void TqdBufferManager::CountCorrupted() {
  TqdCacheLockGuard guard(this);
  ++bmTransCounts.tcCorrupted;
}

void TqdBufferManager::CountDeadlock() {
  TqdCacheLockGuard guard(this);
  ++bmTransCounts.tcDeadlock;
}

TqdBufferManager::TqdTransactionCounts TqdBufferManager::TransactionCounts() {
  TqdCacheLockGuard guard(this);
  return bmTransCounts;
}

void TqdBufferManager::WaitForFlushes(TqdBaseTransaction* aTrans) {
  const uint32_t self = qdGetCurrentThreadID();
  for (;;) {
    uint64_t generation = 0;
    {
      TqdCacheLockGuard guard(this);
      TqdBaseFile* pending = nullptr;
      for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr && pending == nullptr;
           file = file->fiTransNext)
        if (file->fiFlushPending) pending = file;
      if (pending == nullptr) return;
      // The earlier flush can only end on its own thread, outside the lock.
      if (pending->fiFlushThread == self)
        throw EqdBufferManagerException(qdeRecLocked,
                                        u"File \"%s\" is still being flushed by an earlier commit of this thread",
                                        {pending->FileName()});
      if (bmLockDepth > 1) qdAssertFailed(kUnit, "a commit that waits for a flush holds the cache lock");
      generation = bmFlushGeneration.load();
    }
    qdTestPoint("qdsrBufferManager.WaitForFlush");
    std::unique_lock wait(bmFlushLock);
    bmFlushDone.wait(wait, [&] { return bmFlushGeneration.load() != generation; });
  }
}

void TqdBufferManager::EndFlush(const std::vector<TqdBaseFile*>& aFiles) {
  {
    TqdCacheLockGuard guard(this);
    for (TqdBaseFile* file : aFiles) file->fiFlushPending = false;
    // The images the flush wrote may be given up now: a pass that found
    // nothing to free before it may find some.
    bmLastCheckFailed = 0;
  }
  {
    std::lock_guard wake(bmFlushLock);
    bmFlushGeneration.fetch_add(1);
  }
  bmFlushDone.notify_all();
}

void TqdBufferManager::CommitTransaction(TqdBaseTransaction* aTrans, TqdFlushList* aFlushList, bool aIsWTCommit) {
  if (aTrans == nullptr) return;
  if (!aIsWTCommit && aTrans->TransLevel()->Level() == 0) {
    // Both may wait, so neither runs under the cache lock. Once the wait is
    // over no other commit can list these files: they are in aTrans.
    WaitForFlushes(aTrans);
    std::vector<qdString> names;
    {
      TqdCacheLockGuard guard(this);
      for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext)
        if (!isTemporary(file)) names.push_back(file->FileName());
    }
    // After a failed flush nothing more reaches a table file, nor a journal
    // that recovery would have to sort out.
    if (!names.empty() && qdFatalError()) throw EqdBufferManagerException(qdeTransCorrupt, kFatalErrorMessage);
    qdCheckTablesRecovered(names);
  }
  TqdCacheLockGuard guard(this);
  TqdBaseTransactionLevel* level = aTrans->TransLevel();
  if (level->Level() == 0) {
    if (!aTrans->HasState(tsSnapshot) && !aIsWTCommit) ++bmTransCounts.tcCommit;
    CommitLevelZero(aTrans, aFlushList, aIsWTCommit);
  } else if (aIsWTCommit) {
    // Written through once the transaction is back at level 0.
    aTrans->btWriteThroughCommit = true;
  } else {
    ++bmTransCounts.tcNestedCommit;
    while (level->tlModifiedBlocksHead != nullptr) {
      TqdModifiedBlock* first = level->tlModifiedBlocksHead;
      (void)first->mbReadOnlyBlock->Commit(false, false);  // moving down never reports a level-0 commit
      if (level->tlModifiedBlocksHead == first) qdAssertFailed(kUnit, "nested commit made no progress");
    }
    for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext)
      if (file->fiTransLevel == level) file->fiTransLevel = level->tlPrev;
  }
  bmRemoveExcessBlocks(true, true);
}

void TqdBufferManager::StampHeaders(TqdBaseTransaction* aTrans) {
  for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext) {
    if (isTemporary(file)) continue;
    TqdReadOnlyBlock* header = file->fiBlockZero;
    if (header == nullptr) {
      GetBlock(file, aTrans, 0, true).Release();
      continue;
    }
    if (header->robTrans == aTrans && header->Dirty()) {
      // Already changed by this transaction: its first change stamped it;
      // stamp again in case a writer overwrote the field.
      TqdModifiedBlock* newest = header->NewestVersion();
      if (!newest->mbDiscarded && newest->CacheBlock() != nullptr)
        qdSetBlockLSN(newest->CacheBlock()->Block(), aTrans->btLSN);
      continue;
    }
    header->MakeDirty(aTrans);
  }
  for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr; block = block->robTransNext) {
    TqdModifiedBlock* newest = block->NewestVersion();
    if (isTemporary(block->FileObject()) || newest->mbDiscarded || newest->CacheBlock() == nullptr) continue;
    qdSetBlockLSN(newest->CacheBlock()->Block(), aTrans->btLSN);
  }
}

void TqdBufferManager::WriteJournal(TqdBaseTransaction* aTrans) {
  TqdBaseJournalEngine* journal = aTrans->Journal();
  if (journal == nullptr) return;
  bool persistent = false;
  for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr && !persistent;
       block = block->robTransNext)
    persistent = !isTemporary(block->FileObject());
  // Nothing of the commit reaches a table file: no journal file either.
  if (!persistent) return;
  try {
    journal->PrepareJournal();
    for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr; block = block->robTransNext)
      if (!isTemporary(block->FileObject())) journal->AddBlock(aTrans, block);
    journal->FinalizeJournal();
  } catch (...) {
    // No table file has been touched: the journal goes, durably, so that
    // recovery can never replay a commit that failed here. If even that
    // fails the state of the journal on disk is unknown.
    try {
      journal->DeleteJournal();
    } catch (...) {
      qdSetFatalError();
      journal->KeepJournal();
    }
    throw;
  }
}

void TqdBufferManager::CommitLevelZero(TqdBaseTransaction* aTrans, TqdFlushList* aFlushList, bool aIsWTCommit) {
  if (aIsWTCommit) {
    // Writing part of an unfinished transaction is sound only where nothing
    // reaches a disk: a persistent table would hold changes that a later
    // rollback could not take back.
    for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext)
      if (!isTemporary(file)) qdAssertFailed(kUnit, "a write-through commit may only write temporary tables");
  } else {
    // The stamped block 0 is part of what the journal keeps.
    StampHeaders(aTrans);
  }
  // Every image is checked before the first one becomes committed, so a
  // bad image leaves the whole transaction as it was.
  for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr; block = block->robTransNext) {
    TqdModifiedBlock* newest = block->NewestVersion();
    if (!newest->mbDiscarded && newest->CacheBlock() != nullptr) newest->ValidateImage(newest->CacheBlock()->Block());
  }
  if (!aIsWTCommit) WriteJournal(aTrans);
  // From here on nothing may fail half-way: the journal is final.
  LinkMultiFileSnapShots(aTrans);
  std::unique_ptr<TqdFlushList> ownList;
  TqdFlushList* list = aFlushList;
  if (list == nullptr) {
    ownList = std::make_unique<TqdFlushList>();
    list = ownList.get();
  }
  list->flReplicationLog = bmReplicationLog;
  for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr;) {
    TqdReadOnlyBlock* next = block->robTransNext;
    if (block->Commit(false, aIsWTCommit) && isTemporary(block->FileObject()) && block->New() && !block->Dirty()) {
      // A temporary block that was discarded has nothing worth keeping.
      block->RetireOrFree(block->ReleaseCacheBlock());
    }
    block = next;
  }
  if (!aIsWTCommit) list->flJournal = aTrans->TakeJournal();
  list->Prepare(aTrans, aIsWTCommit);
  if (ownList) ownList->Flush(false);
}

void TqdBufferManager::RollbackTransaction(TqdBaseTransaction* aTrans) {
  if (aTrans == nullptr) return;
  TqdCacheLockGuard guard(this);
  TqdBaseTransactionLevel* level = aTrans->TransLevel();
  if (level->Level() > 0) {
    ++bmTransCounts.tcNestedRollback;
    while (level->tlModifiedBlocksHead != nullptr) {
      TqdModifiedBlock* first = level->tlModifiedBlocksHead;
      TqdReadOnlyBlock* block = first->mbReadOnlyBlock;
      if (block->Rollback(level)) ForgetBlock(block);
      if (level->tlModifiedBlocksHead == first) qdAssertFailed(kUnit, "nested rollback made no progress");
    }
    for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr;) {
      TqdBaseFile* next = file->fiTransNext;
      if (file->fiTransLevel == level) file->LeaveTransaction();
      file = next;
    }
  } else {
    if (!aTrans->HasState(tsSnapshot)) ++bmTransCounts.tcRollback;
    // An unfinished journal file goes with its engine.
    aTrans->btJournal.reset();
    for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr;) {
      TqdReadOnlyBlock* next = block->robTransNext;
      if (block->Rollback(level)) ForgetBlock(block);
      block = next;
    }
    while (aTrans->btTransFileListHead != nullptr) aTrans->btTransFileListHead->LeaveTransaction();
    bmRemoveExcessBlocks(true, true);
  }
  bmRemoveExcessBlocks(false, false);
}

void TqdBufferManager::RollbackTransactionLevel(TqdBaseTransactionLevel* aTransLevel) {
  if (aTransLevel == nullptr) return;
  TqdCacheLockGuard guard(this);
  TqdBaseTransaction* trans = aTransLevel->tlTransaction;
  if (aTransLevel->Level() > 0) {
    while (aTransLevel->tlModifiedBlocksHead != nullptr) {
      TqdModifiedBlock* first = aTransLevel->tlModifiedBlocksHead;
      TqdReadOnlyBlock* block = first->mbReadOnlyBlock;
      if (block->RollbackTransLevel(aTransLevel)) ForgetBlock(block);
      if (aTransLevel->tlModifiedBlocksHead == first) qdAssertFailed(kUnit, "level rollback made no progress");
    }
    for (TqdBaseFile* file = trans->btTransFileListHead; file != nullptr;) {
      TqdBaseFile* next = file->fiTransNext;
      if (file->fiTransLevel == aTransLevel) file->LeaveTransaction();
      file = next;
    }
  } else {
    for (TqdReadOnlyBlock* block = trans->btTransBlockListHead; block != nullptr;) {
      TqdReadOnlyBlock* next = block->robTransNext;
      if (block->RollbackTransLevel(aTransLevel)) ForgetBlock(block);
      block = next;
    }
    while (trans->btTransFileListHead != nullptr) trans->btTransFileListHead->LeaveTransaction();
    bmRemoveExcessBlocks(true, true);
  }
}

// --- Flush list ------------------------------------------------------------------------------

TqdFlushList::~TqdFlushList() {
  if (flJournal) KeepJournal();
  if (flBufferManager != nullptr) flBufferManager->EndFlush(flList);
}

void TqdFlushList::KeepJournal() {
  if (!flJournal) return;
  // The commit's blocks are committed in the cache but not known to be on
  // disk: only recovery at the next start can tell what the files hold.
  qdSetFatalError();
  try {
    flJournal->KeepJournal();
  } catch (...) {
    // Closing failed; the file stays where it is, which is what is wanted.
  }
}

void TqdFlushList::Prepare(TqdBaseTransaction* aTrans, bool aIsWTCommit) {
  TqdBufferManager* manager = aTrans->btBufferManager;
  TqdCacheLockGuard guard(manager);
  flLSN = aTrans->btLSN;
  flBufferManager = manager;
  try {
    for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext) {
      if (isTemporary(file)) continue;
      // Block 0 was stamped and committed with the other blocks; a file
      // whose block 0 went missing since is stamped here.
      TqdReadOnlyBlock* header = file->fiBlockZero;
      if (header == nullptr) {
        manager->GetBlock(file, aTrans, 0, true).Release();
        header = file->fiBlockZero;
      } else if (header->LSN() < aTrans->btLSN) {
        header->MakeDirty(aTrans);
      }
      if (header->Dirty()) {
        if (header->LSN() != aTrans->btLSN) qdAssertFailed(kUnit, "block 0 was not stamped with the commit's LSN");
        (void)header->Commit(false, false);  // block 0 at level 0 always commits
      }
      flList.push_back(file);
      file->fiFlushPending = true;
      file->fiFlushThread = qdGetCurrentThreadID();
    }
  } catch (...) {
    for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext)
      file->RollbackUnwritten();
    throw;
  }
  if (!aIsWTCommit)
    while (aTrans->btTransFileListHead != nullptr) aTrans->btTransFileListHead->LeaveTransaction();
}

void TqdFlushList::Flush(bool) {
  // However the flush ends, the commits waiting for it go on - after a
  // failure only once the journal is kept and its tables refused.
  struct TqdEnd {
    TqdFlushList* fList;
    ~TqdEnd() {
      if (fList->flBufferManager != nullptr) fList->flBufferManager->EndFlush(fList->flList);
      fList->flBufferManager = nullptr;
    }
  } end{this};
  if (qdFatalError()) {
    KeepJournal();
    throw EqdBufferManagerException(qdeTransCorrupt, kFatalErrorMessage);
  }
  qdTestPoint("qdsrBufferManager.Flush");
  if (flReplicationLog != nullptr) flReplicationLog->BeginTrans(flLSN);
  try {
    for (TqdBaseFile* file : flList) file->PrepareFlushFile();
    // Every persistent file is synced at every level-0 commit, with or
    // without a journal: an acknowledged commit is on disk.
    for (TqdBaseFile* file : flList) file->FlushFile(true, flReplicationLog);
    if (flJournal) flJournal->DeleteJournal();
  } catch (...) {
    qdSetFatalError();
    KeepJournal();
    if (flReplicationLog != nullptr) flReplicationLog->EndTrans();
    throw;
  }
  if (flReplicationLog != nullptr) flReplicationLog->EndTrans();
  flJournal.reset();
}

}  // namespace qd
