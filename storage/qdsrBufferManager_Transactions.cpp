// Transaction levels and the commit and rollback of block versions: a
// nested level merges its versions into the level below, level 0 makes them
// the committed images, queues them on their files and flushes the files.
#include "storage/qdsrBufferManager.h"

#include <memory>

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrBufferManager";

}  // namespace

// --- Levels and transactions ------------------------------------------------------------

TqdBaseTransactionLevel::TqdBaseTransactionLevel(TqdBaseTransaction* aTrans)
    : tlPrev(aTrans->btTransLevelsTail), tlTransaction(aTrans) {
  tlLevel = tlPrev != nullptr ? tlPrev->tlLevel + 1 : 0;
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

TqdBaseTransaction::TqdBaseTransaction(TqdBufferManager* aBufferManager, void* aOwningSession, bool aIsSnapshot, bool)
    : btBufferManager(aBufferManager), btOwningSession(aOwningSession) {
  if (aIsSnapshot) qdAssertFailed(kUnit, "snapshot transactions are not available in this cache");
  StartNested(false);
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
}

TqdBaseTransactionLevel* TqdBaseTransaction::CreateTransLevel() { return new TqdBaseTransactionLevel(this); }

void TqdBaseTransaction::StartNested(bool aForce) {
  if (!aForce && btTransLevelsTail != nullptr && btTransLevelsTail->HasState(tlsNoMoreNested)) {
    ++btTransLevelsTail->tlNestingCount;
    return;
  }
  CreateTransLevel();
}

// --- One block ------------------------------------------------------------------------------

bool TqdReadOnlyBlock::Commit(bool aForce, bool aIsWTCommit) {
  TqdModifiedBlock* newest = robBlockListTail;
  if (newest == nullptr) qdAssertFailed(kUnit, "commit of a clean block");
  TqdBaseTransactionLevel* level = newest->mbTransLevel;
  if (!aForce && level != robTrans->TransLevel()) return false;
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
  if (aIsWTCommit) qdAssertFailed(kUnit, "write-through commits are not available in this cache");
  const bool discarded = newest->mbDiscarded || newest->CacheBlock() == nullptr;
  if (!discarded) ValidateImage(newest->CacheBlock()->Block());
  TqdCacheBlock* replaced = ReleaseCacheBlock();
  // Readers may still hold the image being replaced; it stays in place
  // until the last of them lets go.
  if (replaced != nullptr && qdAtomicLoad(robRefCount) > 0)
    robRetired.push_back(replaced);
  else
    delete replaced;
  if (!discarded) {
    SetCacheBlock(newest->ReleaseCacheBlock());
    boCacheBlock->SetWriteProtected(true);
  }
  robBlockListTail = nullptr;
  newest->UnlinkFromLevel();
  delete newest;
  boBufferManager->RemoveFromTransBlockList(this);
  if (discarded) robNew = true;
  if (!robFile->fiAttributes.Contains(qdfaTemporary)) robFile->WriteBlock(this);
  if (!discarded) robNew = false;
  if (robBlockNum == 0 && boCacheBlock != nullptr) {
    robFile->fiUsedBlocks = robFile->HeaderAccessFactory()->GetUsedBlocks(boCacheBlock->Block());
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
  if (robBlockNum == 0 && robTrans != nullptr && !trans->HasState(tsSnapshot) &&
      robFile->HeaderAccessFactory() != nullptr) {
    const TqdBlockObject* image = robBlockListTail;
    if (robBlockListTail->mbDiscarded || robBlockListTail->CacheBlock() == nullptr) image = this;
    if (image->CacheBlock() != nullptr)
      robFile->fiTransUsedBlocks = robFile->HeaderAccessFactory()->GetUsedBlocks(image->CacheBlock()->Block());
  }
  return forget;
}

bool TqdReadOnlyBlock::RollbackUnwritten() {
  robUnwritten = false;
  return true;
}

void TqdBufferManager::ForgetBlock(TqdReadOnlyBlock* aBlock) {
  if (aBlock->RefCount() == 0 && aBlock->robWaiting == 0 && !aBlock->Dirty()) {
    RemoveBlock(aBlock);
    return;
  }
  TqdCacheBlock* image = aBlock->ReleaseCacheBlock();
  if (image != nullptr) aBlock->robRetired.push_back(image);
  aBlock->robUnwritten = false;
}

// --- Transactions -------------------------------------------------------------------------

void TqdBufferManager::CommitTransaction(TqdBaseTransaction* aTrans, TqdFlushList* aFlushList, bool aIsWTCommit) {
  if (aTrans == nullptr) return;
  TqdCacheLockGuard guard(this);
  TqdBaseTransactionLevel* level = aTrans->TransLevel();
  if (level->Level() == 0) {
    CommitLevelZero(aTrans, aFlushList, aIsWTCommit);
  } else if (!aIsWTCommit) {
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

void TqdBufferManager::CommitLevelZero(TqdBaseTransaction* aTrans, TqdFlushList* aFlushList, bool aIsWTCommit) {
  // Every image is checked before the first one becomes committed, so a
  // bad image leaves the whole transaction as it was.
  for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr; block = block->robTransNext) {
    TqdModifiedBlock* newest = block->NewestVersion();
    if (!newest->mbDiscarded && newest->CacheBlock() != nullptr) newest->ValidateImage(newest->CacheBlock()->Block());
  }
  std::unique_ptr<TqdFlushList> ownList;
  TqdFlushList* list = aFlushList;
  if (list == nullptr) {
    ownList = std::make_unique<TqdFlushList>();
    list = ownList.get();
  }
  list->flReplicationLog = bmReplicationLog;
  for (TqdReadOnlyBlock* block = aTrans->btTransBlockListHead; block != nullptr;) {
    TqdReadOnlyBlock* next = block->robTransNext;
    (void)block->Commit(false, aIsWTCommit);  // a level-0 block always commits
    block = next;
  }
  list->Prepare(aTrans, aIsWTCommit);
  if (ownList) ownList->Flush(false);
}

void TqdBufferManager::RollbackTransaction(TqdBaseTransaction* aTrans) {
  if (aTrans == nullptr) return;
  TqdCacheLockGuard guard(this);
  TqdBaseTransactionLevel* level = aTrans->TransLevel();
  if (level->Level() > 0) {
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

void TqdFlushList::Prepare(TqdBaseTransaction* aTrans, bool aIsWTCommit) {
  TqdBufferManager* manager = aTrans->btBufferManager;
  TqdCacheLockGuard guard(manager);
  flLSN = aTrans->btLSN;
  try {
    for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext) {
      if (file->fiAttributes.Contains(qdfaTemporary)) continue;
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
    }
  } catch (...) {
    for (TqdBaseFile* file = aTrans->btTransFileListHead; file != nullptr; file = file->fiTransNext)
      file->RollbackUnwritten();
    throw;
  }
  if (!aIsWTCommit)
    while (aTrans->btTransFileListHead != nullptr) aTrans->btTransFileListHead->LeaveTransaction();
}

void TqdFlushList::Flush(bool aForceFailSafe) {
  if (flReplicationLog != nullptr) flReplicationLog->BeginTrans(flLSN);
  try {
    for (TqdBaseFile* file : flList) file->PrepareFlushFile();
    for (TqdBaseFile* file : flList) file->FlushFile(aForceFailSafe, flReplicationLog);
  } catch (...) {
    if (flReplicationLog != nullptr) flReplicationLog->EndTrans();
    throw;
  }
  if (flReplicationLog != nullptr) flReplicationLog->EndTrans();
}

}  // namespace qd
