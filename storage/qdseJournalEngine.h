// The journal engines: one journal file per level-0 commit, written and made
// durable before any block reaches its table file and deleted once every
// changed table file is written and synced; and the recovery of a folder's
// journals when the first database of the folder is attached (Check).
//
// Three engines differ only in the images they keep: Tqd1xJournalEngine
// (kind 0: the before-image of each block directly followed by its
// after-image), Tqd1xCommitJournalEngine (kind 1: after-images, recovery
// rolls forward) and Tqd1xRollbackJournalEngine (kind 2: before-images,
// recovery rolls back; the default).
//
// Journal file "<number>.n$2" in the folder of its tables (little-endian):
//
//   offset size field
//        0    4 signature "QDJH"
//        4    4 complete flag: 0 while written, 0xFFFFFFFF once final and
//               durable; any other value is damage
//        8    4 kind: 0, 1 or 2
//   then, from offset 12, one record per journalled image:
//        0    4 signature "QDJR"
//        4    4 block number
//        8    1 block size code 0..4 (4096 .. 65536 bytes)
//        9    1 image kind: 255 before-image, 0 after-image, 254 before-image
//               of a block that has no image in its file yet (no image
//               bytes follow; recovery skips it)
//       10    2 zero
//       12  256 the table file's name inside the journal's folder, UTF-8: a
//               length byte (1..255), the bytes, zeros
//      268    - the image, the block exactly as the commit writes it to its
//               table file
//
// Order on disk of one commit (each step waits for the one before):
//   header and records -> sync journal -> complete flag -> sync journal ->
//   sync folder (only for a journal file created by this commit) -> table
//   writes -> sync tables -> delete journal (+ create the folder's next
//   journal file, empty) -> sync folder.
// The folder sync after the deletion also makes the next journal's empty
// file durable, so a commit that finds such a spare file in its folder needs
// no folder sync of its own: four syncs per commit of one table. An empty
// or unfinished (flag 0) journal file is deleted by recovery untouched.
//
// Journal numbers are unique and rising within the process (a journal file
// is only ever created exclusively); recovery sorts journals by number.
//
// Recovery (Check): every "*.n$2" file of the folder is opened with an
// exclusive lock (a file another process holds is a commit in progress and
// is left alone). Empty files and journals with flag 0 are deleted. Each
// complete journal is checked whole before any table byte is written: bad
// signatures, size codes, image kinds, names, a truncated record and a
// block number beyond what its table can hold (the count of the journalled
// block 0, else the blocks of the file) are damage, and the journal is then
// kept and its tables are refused (qdCheckTableRecovered) until a later
// check recovers them; no file is grown for a record. Roll-forward journals
// are replayed oldest first, then rollback journals newest first; a journal
// that touches a table of a journal kept before it is kept too, so that
// images never replay out of order. Replay writes only regular files named
// inside the checked folder, syncs every table it wrote and the folder,
// then deletes the journal and syncs the folder again.
//
// No acknowledged commit is ever undone by a replay. A replay puts back
// the images of its own commit, so no commit may reach a table while a
// complete journal of that table is on disk:
// - A table is not opened, nor written by a level-0 commit, while a
//   complete (or damaged) journal on disk names it, unless that journal is
//   a commit of this process in progress (qdCheckTablesRecovered). Other
//   processes learn of a journal from the disk alone: a journal a live
//   process holds locked is waited for until the thread's deadline (its
//   commit deletes it), one nobody holds - its process died, or a failed
//   commit kept it - refuses the table with 15509 until a check replays it.
// - A failed commit keeps its journal and marks its tables refused in its
//   own process too (KeepJournal).
// - Within one process a commit of a table waits until the flush of an
//   earlier commit of that table has deleted its journal (the cache's
//   flush-pending wait).
//
// Classes: Tqd1xJournalEngine, Tqd1xCommitJournalEngine,
// Tqd1xRollbackJournalEngine, Eqd1xJournalEngineException.
//
// Ownership and locks: a journal engine belongs to one transaction (then to
// its flush list) and is used by one thread at a time; it writes under the
// cache lock inside the level-0 commit. The registry of spare journal files
// has a lock of its own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(Eqd1xJournalEngineException, EqdServerException);

inline constexpr uint32_t kJournalHeaderSize = 12;
inline constexpr uint32_t kJournalRecordHeaderSize = 268;
inline constexpr uint32_t kJournalComplete = 0xFFFFFFFF;
inline constexpr uint8_t kJournalBeforeImage = 255;
inline constexpr uint8_t kJournalAfterImage = 0;
inline constexpr uint8_t kJournalNoImage = 254;
// The extension of journal files, without the dot.
inline constexpr const char16_t* kJournalExtension = u"n$2";

class Tqd1xJournalEngine : public TqdBaseJournalEngine {
 public:
  static const TqdJournalEngineClass ClassInfo;

  Tqd1xJournalEngine(const TqdJournalEngineClass* aClass, const qdString& aFileName);
  ~Tqd1xJournalEngine() override;

  // Opens the journal file: the folder's spare file, else a new file under
  // the next free number, created exclusively.
  void PrepareJournal() override;
  void AddBlock(TqdBaseTransaction* aTrans, TqdReadOnlyBlock* aBlock) override;
  void FinalizeJournal() override;
  void DeleteJournal() override;
  void KeepJournal() override;

  // Recovers every journal of the folder aPath; aClass decides the
  // direction of kind-0 journals (backwards only for a rollback class).
  static TqdJournalCheckResult Check(const TqdJournalEngineClass* aClass, const qdString& aAlias,
                                     const qdString& aPath);
  // Checks and replays one journal of aFolder whose header was read; raises
  // on damage or a failed write, having written nothing on damage.
  static void ReplayJournal(TqdOSFile& aJournalFile, const std::string& aJournalName, const std::string& aFolder,
                            bool aApplyAfterImages);

 protected:
  void WriteJournalHeader(bool aComplete);
  void WriteBlockRecord(TqdReadOnlyBlock* aBlock, TqdBaseTransaction* aTrans, bool aBeforeImage,
                        TqdBlockSize aBlockSize);

 private:
  enum TqdJournalState : uint8_t { jsNone, jsOpen, jsDeleted, jsKept };

  // Writes the buffered header and records at the end of the file.
  void WriteOut();
  // The record name of a table file, checked to lie in the journal's
  // folder.
  const std::string& TableName(TqdBaseFile* aFile);
  [[noreturn]] void RaiseWriteError(int aError);

  TqdFileSystem* jeFileSystem = nullptr;
  std::unique_ptr<TqdOSFile> jeJournalFile;
  TqdJournalState jeState = jsNone;
  std::string jeOSName;
  std::string jeFolder;
  // A file this commit created: its folder entry must be synced before any
  // table write.
  bool jeNeedsFolderSync = false;
  std::vector<uint8_t> jeBuffer;
  int64_t jeFileOffset = 0;
  std::vector<uint8_t> jeScratch;
  // An enciphered image of an encrypted table's block.
  std::vector<uint8_t> jeCoded;
  TqdBaseFile* jeNameFile = nullptr;
  std::string jeName;
  // Full names of the tables journalled, refused when the journal is kept.
  std::vector<std::string> jeTables;
  uint32_t jePhysicalBlocks = 0;
};

class Tqd1xCommitJournalEngine final : public Tqd1xJournalEngine {
 public:
  static const TqdJournalEngineClass ClassInfo;
  using Tqd1xJournalEngine::Tqd1xJournalEngine;
};

class Tqd1xRollbackJournalEngine final : public Tqd1xJournalEngine {
 public:
  static const TqdJournalEngineClass ClassInfo;
  using Tqd1xJournalEngine::Tqd1xJournalEngine;
};

// The journal class for a folder on disk: the process's class, and the
// rollback journal when none is set - a persistent folder never commits
// without a journal.
const TqdJournalEngineClass* qdPersistentJournalEngineClass();

// The journal class that writes journals of kind aKind (0 both images, 1
// after-images, 2 before-images, as stored at offset 8); nil for any other
// number.
const TqdJournalEngineClass* qdJournalEngineClassOfKind(int64_t aKind);

// The next journal number of the process: above every number handed out or
// seen before, and at least aAtLeast.
int64_t qdNextJournalNumber(int64_t aAtLeast);

void qdseJournalEngineInitialize();
void qdseJournalEngineFinalize();

}  // namespace qd
