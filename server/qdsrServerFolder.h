// Folders and the folder transaction manager.
//
// A TqdServerFolder stands for one directory of table files (or one
// in-memory database) and is shared by every database any session opens on
// that path: the engine keeps one folder per canonical path. It owns the
// root tables opened in it and a transaction manager that ties the folder
// to the engine's block cache: the manager keeps the folder's next log
// sequence number in "qdTrans.cfg" and names the journal files of commits.
//
// "qdTrans.cfg" (one per folder on disk):
//   offset 0, 8 bytes: the next log sequence number, little-endian.
// The file is trusted only as a lower bound: at every open the folder takes
// the larger of it and 1 + the largest LSN found at offset 8 of its table
// files, raises the block cache to that, and writes and syncs the file
// before the open returns, so the number never goes backwards across a
// crash. A file of any size other than 8 bytes is ignored and rewritten.
// The file is opened with an exclusive advisory lock: a second process (or
// a directory that cannot be written) makes the folder read-only.
//
// Journal files: one per commit, "<number>.n$2" in the folder.
//
// Paths: sfPath is the canonical absolute path ending in "/" (compared
// exactly), or an in-memory name (empty or beginning with "#").
//
// Locks: sfDatabasesPadlock guards the database list; sfTablesPadlock the
// table list; the inactive-list links are guarded by the engine's
// seInactiveFoldersPadlock. Order: seFoldersPadlock -> sfDatabasesPadlock ->
// sfTablesPadlock -> seInactiveFoldersPadlock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "client/qdsdServerEngine.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

class TqdServerEngine;
class TqdServerFolder;
class TqdServerDatabase;

inline constexpr const char16_t* kTransConfigFileName = u"qdTrans.cfg";

class TqdServerTransactionMgr : public TqdBaseTransactionMgr {
 public:
  // Reads (or creates) "qdTrans.cfg"; may turn the folder read-only.
  explicit TqdServerTransactionMgr(TqdServerFolder* aFolder);
  // Saves the block cache's next LSN and closes the file.
  ~TqdServerTransactionMgr() override;

  std::unique_ptr<TqdBaseJournalEngine> CreateJournal(int64_t aNumber) override { return stmCreateJournal(aNumber); }
  // nil for an in-memory or read-only folder.
  std::unique_ptr<TqdBaseJournalEngine> stmCreateJournal(int64_t aNumber);
  // Takes the maximum of the cache and the table files again (after a
  // journal replay raised block-0 LSNs) and writes it.
  void stmRaiseToTableFiles();
  // Writes the block cache's next LSN (when the file is open and writable)
  // and syncs it; with aClose the file is closed afterwards.
  void stmSaveNextLSN(bool aClose);
  // 1 + the largest LSN at offset 8 of the folder's table files (1 without
  // any); files that cannot be read count as 0.
  TqdLSN stmScanNextLSN();
  TqdLSN stmReadFileLSN(const std::string& aFileName);

 private:
  void stmInitNextLSN();

  TqdServerFolder* stmFolder;
  std::unique_ptr<TqdOSFile> stmConfigFile;
  bool stmConfigWritable = false;
};

class TqdServerFolder : public TqdLockedOptionsExtendableServerObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Enters itself in the engine's folder list (the caller holds
  // seFoldersPadlock).
  TqdServerFolder(TqdServerEngine* aServerEngine, const qdString& aPath, bool aIsCache);
  ~TqdServerFolder() override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

  TqdBaseServerEngine* asoGetServerEngine() const override;
  using TqdLockedOptionsExtendableServerObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;

  const qdString& Path() const { return sfPath; }
  bool IsCache() const { return sfIsCache; }
  bool InMemOnly() const { return sfInMemOnly; }
  bool ReadOnly() const { return sfReadOnly; }
  void SetReadOnly() { sfReadOnly = true; }
  TqdServerEngine* ServerEngine() const { return sfServerEngine; }
  TqdServerTransactionMgr* TransManager() const { return stTransManager.get(); }
  int32_t StructureGeneration() const { return sfStructureGeneration.load(); }
  void BumpStructureGeneration() { sfStructureGeneration.fetch_add(1); }
  int32_t InMemoryCount() const { return sfInMemoryCount.load(); }
  bool JournalChecked() const { return sfJournalChecked; }

  TqdPadlock& DatabasesPadlock() { return sfDatabasesPadlock; }
  TqdPadlock& TablesPadlock() { return sfTablesPadlock; }
  // Oldest first; the caller holds sfDatabasesPadlock.
  const std::vector<TqdServerDatabase*>& Databases() const { return sfDatabases; }
  int32_t DatabaseCount();

  // Links a new database and, for the first one on a folder on disk,
  // recovers the journals left there; the caller holds sfDatabasesPadlock.
  void sfLinkDatabase(TqdServerDatabase* aDatabase, const qdString& aAlias);
  void sfUnlinkDatabase(TqdServerDatabase* aDatabase);

  // False while a database is open; else whether every root table may
  // close (none are open in this build of the folder).
  bool sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose);
  // Enters or leaves the engine's inactive list as the folder's use says.
  void sfCheckInactive();
  void sfAddToInactiveFolders();
  void sfRemoveFromInactiveFolders();
  // 10241 when the table list is busy.
  [[nodiscard]] TqdResult sfCloseInactiveTables();
  void LockTables() QD_ACQUIRE(sfTablesPadlock) { sfTablesPadlock.Lock(); }
  void UnlockTables() QD_RELEASE(sfTablesPadlock) { sfTablesPadlock.Unlock(); }

  // Inactive-list bookkeeping (guarded by the engine's
  // seInactiveFoldersPadlock).
  bool sfInServerEngineInactiveFolders = false;
  TqdServerFolder* sfServerEngineInactiveFoldersPrev = nullptr;
  TqdServerFolder* sfServerEngineInactiveFoldersNext = nullptr;
  uint64_t sfInactiveSince = 0;

 private:
  TqdServerEngine* sfServerEngine;
  qdString sfPath;
  bool sfInMemOnly = false;
  bool sfReadOnly = false;
  bool sfJournalChecked = false;
  std::atomic<int32_t> sfInMemoryCount{0};
  std::unique_ptr<TqdServerTransactionMgr> stTransManager;
  bool sfForceFailSafe = false;
  TqdPadlock sfDatabasesPadlock{true};
  std::vector<TqdServerDatabase*> sfDatabases;
  TqdPadlock sfTablesPadlock{true};
  bool sfIsCache = false;
  bool sfLockedIncDone = false;
  bool sfInEngineList = false;
  std::atomic<int32_t> sfStructureGeneration{0};
};

}  // namespace qd
