// The server engine's side of block transactions, reduced to what the
// transaction, journal and snapshot tests need: a transaction manager that
// gives every transaction a journal of the folder's journal class, a server
// transaction that commits and rolls back with the owner's calling pattern
// (flush list, counted nestings, write-through commits, deadlock victims),
// and the folder check that attaching the first database runs.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "storage/qdseJournalEngine.h"
#include "storage/qdsrBufferManager.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {

class TqdTestTransactionMgr final : public TqdBaseTransactionMgr {
 public:
  TqdTestTransactionMgr(TqdBufferManager* aCache, const std::string& aFolder)
      : TqdBaseTransactionMgr(aCache), fFolder(aFolder) {}

  std::unique_ptr<TqdBaseJournalEngine> CreateJournal(int64_t aNumber) override { return stmCreateJournal(aNumber); }
  // Folder + number + ".n$2" of the process's journal class; none for a
  // folder in memory or read-only. A persistent folder always gets one.
  std::unique_ptr<TqdBaseJournalEngine> stmCreateJournal(int64_t aNumber);
  // What attaching the first database of the folder runs.
  [[nodiscard]] TqdJournalCheckResult CheckFolder(const qdString& aAlias = u"test");

  std::string fFolder;
  bool fInMemory = false;
  bool fReadOnly = false;
};

class TqdTestServerTransaction final : public TqdBaseTransaction {
 public:
  explicit TqdTestServerTransaction(TqdTestTransactionMgr* aMgr, bool aSnapshot = false);
  void Commit() override;
  void Rollback() override;
  // The owner's answer to a deadlock of aLevel: mark it, then roll back
  // every level from the innermost down to it.
  void Deadlock(TqdBaseTransactionLevel* aLevel);
  bool Finished() const { return TransLevel() == nullptr; }

  // The owner's own work between the level-0 commit and the flush.
  std::function<void()> fPostCommit;
};

// A temporary table: its blocks live in the cache only.
class TqdTestTempTable {
 public:
  explicit TqdTestTempTable(TqdBufferManager* aCache);
  ~TqdTestTempTable();
  TqdBlockAccess& Access() { return *fAccess; }
  TqdPosixFile* File() const { return fFile; }

 private:
  TqdBufferManager* fCache;
  TqdPosixFile* fFile;
  std::unique_ptr<TqdBlockAccess> fAccess;
};

// The owner of every block the helpers below allocate.
inline constexpr int32_t kTestOwner = 1;

// Allocates aCount blocks under aTrans, every byte after the common header
// set to aFill.
void AddBlocks(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, TqdBlockNumber aCount, uint8_t aFill);
inline void AddBlocks(TqdTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber aCount, uint8_t aFill) {
  AddBlocks(aTable.Access(), aTrans, aCount, aFill);
}
// One byte of a block's content (after the common header), changed under
// aTrans or read as aTrans sees it.
void SetBlockByte(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, TqdBlockNumber aNumber, uint8_t aValue);
uint8_t BlockByte(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, TqdBlockNumber aNumber);
inline void SetBlockByte(TqdTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber aNumber, uint8_t aValue) {
  SetBlockByte(aTable.Access(), aTrans, aNumber, aValue);
}
inline uint8_t BlockByte(TqdTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber aNumber) {
  return BlockByte(aTable.Access(), aTrans, aNumber);
}
// Block aNumber of a file as the in-memory file system holds it (empty when
// the file is shorter).
std::vector<uint8_t> FileBlock(TqdFaultFileSystem& aFs, const std::string& aPath, TqdBlockNumber aNumber,
                               uint32_t aSize = 4096);
// The journal files that exist, and those that hold anything (spare
// journal files are empty).
std::vector<std::string> JournalFiles(TqdFaultFileSystem& aFs);
std::vector<std::string> NonEmptyJournalFiles(TqdFaultFileSystem& aFs);

}  // namespace qd::test
