// The block cache and the table file: every block of every table file is
// read and written through one process-wide cache.
//
// A table, with its nested tables, is one file of fixed-size blocks
// (TqdBaseFile; the operating-system side is storage/qdsrFilePosix.h). The
// cache (TqdBufferManager) keeps for each cached block one committed version
// (TqdReadOnlyBlock) and, while a transaction changes the block, a chain of
// private versions (TqdModifiedBlock), one per transaction level that wrote
// it. A transaction sees its own newest private version; everyone else sees
// the committed version. Blocks reach the file only through a commit, which
// queues the committed images on their file (WriteBlock) and flushes it.
//
// Classes: TqdBaseFile, TqdCacheBlock, TqdBlockObject, TqdReadOnlyBlock,
// TqdModifiedBlock, TqdScratchBlock, TqdBlockRef, TqdReleaseList,
// TqdBlockAccess, TqdBufferManager, TqdBaseTransactionLevel,
// TqdBaseTransaction, TqdBaseTransactionMgr, TqdFlushList,
// TqdBaseReplicationLog, TqdBaseJournalEngine (with its class descriptor
// TqdJournalEngineClass), the snapshot bookkeeping TqdFileSnapShotLink,
// TqdBlockSnapShot and TqdBlockSnapShotLink,
// TqdBaseFileHeaderAccessFactory, TqdBaseFileHeaderAccess and the storage
// exception classes. The concrete header formats are
// storage/qdseHeaderAccess.h, the concrete journal engines
// storage/qdseJournalEngine.h.
//
// Commit of level 0 (qdsrBufferManager_Transactions.cpp), in this order:
//   1. block 0 of every changed persistent file is stamped with the
//      transaction's LSN, so that the stamped image is what gets journalled;
//   2. the journal is written and made durable (records, sync, complete
//      flag, sync, and the folder entry of the journal) - no table file has
//      been touched before this point;
//   3. the private versions become the committed images and are queued on
//      their files (old committed images first go to block snapshots that
//      live snapshot transactions still need);
//   4. outside the cache lock the flush list writes and syncs every file and
//      then deletes the journal durably: for a rollback journal that
//      deletion is the moment the commit becomes permanent.
// Before step 1, outside the cache lock, the commit waits until no earlier
// commit's flush of any of its files is pending (fiFlushPending), and
// refuses a file that waits for recovery or that a journal on disk names
// (qdCheckTablesRecovered): the earlier journal, replayed after the later
// commit, would undo it.
// A failure in step 4 sets the process-wide fatal flag (qdFatalError): the
// state on disk is unknown until the journal is recovered at the next start,
// so every later flush refuses with 15443 and the journal stays on disk.
//
// Snapshots (qdsrBufferManager_Snapshots.cpp): a snapshot transaction reads
// every block as it was committed when it first touched the block's file.
// A file snapshot link records that first touch; when a commit replaces a
// committed image that a linked snapshot transaction may still read, the old
// image moves into a block snapshot, and a block snapshot link ties each
// such transaction to it. All of it is guarded by bmPadlock.
//
// Block references: every block the cache hands out comes as a TqdBlockRef,
// a move-only handle holding the image's address and one reference on the
// committed version (robRefCount). While a handle holds its reference the
// image stays valid and in place; releasing (or destroying) the handle drops
// the reference without any lock. A handle handed out for reading may point
// at the shared zero block and refuses WritableData().
//
// Locks: the cache's one padlock bmPadlock (re-entrant) guards every field
// of the cache, every block object and its links, every file's block index
// and block list, the transactions' block and file lists and the LSN. It is
// given up only around reading one block image from its file, and only when
// held once (a nested holder reads under the lock). A thread that waits for
// another thread's read must hold the lock exactly once (asserted): waiting
// with the lock held would stop the reader. robRefCount is the one field
// changed without the lock (interlocked).
//
// Life cycle of a committed version:
//
//   (absent) --first access--> clean --MakeDirty--> dirty --commit level 0-->
//   clean+unwritten --FlushFile--> clean
//   new: created by AddBlock (no image on disk; reads as zeros)
//   loading: first read from the file running (robLoading set)
//
// Stored layout of every block (all integers little-endian):
//
//   offset size field          meaning
//        0    4 bchSignature   block kind, 4 characters
//        4    4 bchThisBlock   the block's own number
//        8    8 bchLSN         LSN of the transaction that last wrote it
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllThreadAnnotations.h"
#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdStringList.h"
#include "platform/qdStrings.h"
#include "storage/qdsrTemporaryStorageBase.h"

namespace qd {

// --- Shared identifiers ------------------------------------------------------
//
// TqdLSN, TqdOpenMode, TqdShareMode and TqdBlockSignature come from the
// data dictionary (dictionary/qdsdTypes.h).

class TqdDataDictionary;

// --- Exceptions --------------------------------------------------------------
//
// The storage units' exception classes.
QD_DECLARE_EXCEPTION_CLASS(EqdBufferManagerException, EqdServerException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseFileException, EqdServerException);
QD_DECLARE_EXCEPTION_CLASS(EqdFileHeaderAccessException, EqdServerException);

// --- Block sizes and numbers -------------------------------------------------

// Size classes of block memory come from the allocator (TqdBlockSize:
// qdbs4k .. qdbs64k, qdbs4m). Table blocks use qdbs4k to qdbs64k, stored as
// the code 0..4 in the file header; the cache's memory takes every class.
using TqdBlockSizeAll = TqdBlockSize;

inline constexpr uint8_t kMaxTableBlockSizeCode = qdbs64k;

inline constexpr uint32_t qdBlockSizeShift(TqdBlockSizeAll aSize) {
  return aSize == qdbs4m ? 22 : 12 + uint32_t(aSize);
}
inline constexpr uint32_t qdBlockSizeAllBytes(TqdBlockSizeAll aSize) { return uint32_t(1) << qdBlockSizeShift(aSize); }
// Pages of 4 KB per size class.
inline constexpr uint32_t qdBlockSizePages(TqdBlockSizeAll aSize) { return qdBlockSizeAllBytes(aSize) >> 12; }

using TqdBlockNumber = uint32_t;
using PqdBlock = uint8_t*;

// Block numbers that mean "none" in stored chains.
inline constexpr uint32_t kNoBlock = 0xFFFFFFFF;
// The largest usable block count: block numbers stay below "none".
inline constexpr uint32_t kMaxBlockCount = 0xFFFFFFFE;

// Signatures: four stored characters.
constexpr TqdBlockSignature qdSignature(const char (&aText)[5]) {
  return TqdBlockSignature{{aText[0], aText[1], aText[2], aText[3]}};
}
inline TqdBlockSignature qdSignatureFromBytes(const void* aBytes) {
  TqdBlockSignature result;
  std::memcpy(result.bsChars, aBytes, 4);
  return result;
}
inline bool qdSignatureEmpty(const TqdBlockSignature& aSignature) {
  return aSignature.bsChars[0] == 0 && aSignature.bsChars[1] == 0 && aSignature.bsChars[2] == 0 &&
         aSignature.bsChars[3] == 0;
}
// The four characters, each byte as one UTF-16 unit.
qdString qdSignatureText(const TqdBlockSignature& aSignature);

// Marks a block-object method that runs with the cache lock held. The
// analysis cannot name the cache's lock from a block declared before the
// cache, so these methods are left out of it; their callers in the cache
// are checked.
#define QD_CACHE_LOCKED QD_NO_THREAD_SAFETY_ANALYSIS

// The common header of every block.
inline constexpr uint32_t kBlockCommonHeaderSize = 16;
inline TqdBlockSignature qdBlockSignature(const uint8_t* aBlock) { return qdSignatureFromBytes(aBlock); }
inline void qdSetBlockSignature(uint8_t* aBlock, const TqdBlockSignature& aSignature) {
  std::memcpy(aBlock, aSignature.bsChars, 4);
}
inline TqdBlockNumber qdBlockThisBlock(const uint8_t* aBlock) { return qdGetU32(aBlock + 4); }
inline void qdSetBlockThisBlock(uint8_t* aBlock, TqdBlockNumber aNumber) { qdPutU32(aBlock + 4, aNumber); }
inline TqdLSN qdBlockLSN(const uint8_t* aBlock) { return qdGetI64(aBlock + 8); }
inline void qdSetBlockLSN(uint8_t* aBlock, TqdLSN aLSN) { qdPutI64(aBlock + 8, aLSN); }

// The allocator's read-only block of zeros, as bytes.
inline const uint8_t* qdZeroBlockBytes() { return static_cast<const uint8_t*>(qdZeroBlock()); }

// --- Forward declarations ----------------------------------------------------

class TqdBaseFile;
class TqdBufferManager;
class TqdReadOnlyBlock;
class TqdModifiedBlock;
class TqdBaseTransaction;
class TqdBaseTransactionLevel;
class TqdBaseFileHeaderAccessFactory;
class TqdBaseFileHeaderAccess;
class TqdBlockAccess;
class TqdBaseEncryptionEngine;
class TqdBaseReplicationLog;
class TqdBaseJournalEngine;
class TqdFileSnapShotLink;
class TqdBlockSnapShot;
class TqdBlockSnapShotLink;

// --- Fatal flag ----------------------------------------------------------------

// Process-wide, false at start: set when writing or syncing the files of a
// commit failed. The state on disk is then unknown until the commit's
// journal is recovered at the next start, so it is never cleared: every
// later flush refuses with 15443.
bool qdFatalError();
void qdSetFatalError();
// Test seam: clears the flag so that one test binary can run more than one
// failure scenario.
void qdFaultClearFatalError();
// The text every refusal after a fatal error carries.
extern const char16_t* const kFatalErrorMessage;

// A freed block as it is written to its file and journalled: zeros with the
// signature "DEAD", its own number and the LSN of the commit that freed it
// (owner 0 in formats with owners).
void qdFormatFreedBlock(uint8_t* aImage, uint32_t aSize, TqdBlockNumber aBlockNumber, TqdLSN aLSN);

// --- Block references --------------------------------------------------------

// One handed-out block image and the reference that keeps it in place.
class TqdBlockRef {
 public:
  TqdBlockRef() = default;
  TqdBlockRef(TqdBlockRef&& aOther) noexcept
      : brBlock(aOther.brBlock), brOwner(aOther.brOwner), brWritable(aOther.brWritable) {
    aOther.brBlock = nullptr;
    aOther.brOwner = nullptr;
    aOther.brWritable = false;
  }
  TqdBlockRef& operator=(TqdBlockRef&& aOther) noexcept {
    if (this != &aOther) {
      Release();
      brBlock = aOther.brBlock;
      brOwner = aOther.brOwner;
      brWritable = aOther.brWritable;
      aOther.brBlock = nullptr;
      aOther.brOwner = nullptr;
      aOther.brWritable = false;
    }
    return *this;
  }
  TqdBlockRef(const TqdBlockRef&) = delete;
  TqdBlockRef& operator=(const TqdBlockRef&) = delete;
  ~TqdBlockRef() { Release(); }

  explicit operator bool() const { return brBlock != nullptr; }
  const uint8_t* Data() const { return brBlock; }
  // The image for writing; a handle handed out for reading refuses.
  uint8_t* WritableData() const;
  bool Writable() const { return brWritable; }
  // The committed version the reference is held on.
  TqdReadOnlyBlock* Owner() const { return brOwner; }
  TqdBlockNumber BlockNumber() const;
  // Clears the handle and drops its reference; needs no lock.
  inline void Release();

 private:
  friend class TqdReadOnlyBlock;
  TqdBlockRef(PqdBlock aBlock, TqdReadOnlyBlock* aOwner, bool aWritable)
      : brBlock(aBlock), brOwner(aOwner), brWritable(aWritable) {}

  PqdBlock brBlock = nullptr;
  TqdReadOnlyBlock* brOwner = nullptr;
  bool brWritable = false;
};

// The blocks of one operation, released together (in the order added).
class TqdReleaseList : public TqdObject {
 public:
  ~TqdReleaseList() override { Release(); }
  // Keeps the reference; returns the image's address.
  const uint8_t* Add(TqdBlockRef&& aBlock);
  void Release();
  int32_t Count() const { return int32_t(rlItems.size()); }

 private:
  std::vector<TqdBlockRef> rlItems;
};

// --- Memory behind a block version --------------------------------------------

enum TqdCacheBlockState : uint8_t { cbsStored, cbsAllocated, cbsMapped };

// The memory of one block version, a block of the allocator. Only the
// mapped state exists until memory can be given up to temporary storage.
class TqdCacheBlock : public TqdObject {
 public:
  explicit TqdCacheBlock(TqdBlockSizeAll aSize);
  ~TqdCacheBlock() override;

  PqdBlock Block() const { return cbBlock; }
  TqdBlockSizeAll Size() const { return cbSize; }
  TqdCacheBlockState State() const { return cbState; }
  bool WriteProtected() const { return cbWriteProtected; }
  void SetWriteProtected(bool aValue) { cbWriteProtected = aValue; }

 private:
  TqdBlockSizeAll cbSize;
  TqdCacheBlockState cbState = cbsMapped;
  bool cbWriteProtected = false;
  void* cbHandle;
  PqdBlock cbBlock;
};

// --- Block versions ------------------------------------------------------------

class TqdBlockObject : public TqdObject {
 public:
  explicit TqdBlockObject(TqdBufferManager* aBufferManager) : boBufferManager(aBufferManager) {}
  ~TqdBlockObject() override;

  // Checks an image before it becomes committed (file versions pass it to
  // their file's header format).
  virtual void ValidateImage(const uint8_t* aBlock);
  // Gives this version its image when it has none (file versions read it).
  virtual void CacheBlockNeeded() {}
  virtual TqdBlockSizeAll BlockSizeClass() const = 0;

  TqdCacheBlock* CacheBlock() const { return boCacheBlock; }
  // A new memory block holding a copy of aOther's image; nothing when aOther
  // has no image even after CacheBlockNeeded.
  void CopyFrom(TqdBlockObject* aOther);
  // Takes over aOther's memory without copying.
  void MoveFrom(TqdBlockObject* aOther);
  TqdCacheBlock* ReleaseCacheBlock();
  // Frees the current memory and attaches aCacheBlock.
  void SetCacheBlock(TqdCacheBlock* aCacheBlock);
  // Fresh memory of this version's size class, contents undefined.
  void NewCacheBlock();

 protected:
  TqdBufferManager* boBufferManager;
  TqdCacheBlock* boCacheBlock = nullptr;
};

// The committed version of one block of one file.
class TqdReadOnlyBlock final : public TqdBlockObject {
 public:
  TqdReadOnlyBlock(TqdBufferManager* aBufferManager, TqdBaseFile* aFile, TqdBlockNumber aBlockNum, bool aNew);
  ~TqdReadOnlyBlock() override;

  void ValidateImage(const uint8_t* aBlock) override;
  void CacheBlockNeeded() override;
  TqdBlockSizeAll BlockSizeClass() const override;

  // Hands out the image aTrans sees (its newest private version, else the
  // committed image, else the zero block) with one reference. Needs the
  // cache lock.
  TqdBlockRef Block(TqdBaseTransaction* aTrans, bool aMarkDirty) QD_CACHE_LOCKED;
  // Drops one reference; no lock.
  void Release() { qdInterlockedDecrement(robRefCount); }
  // Takes one reference without handing out an image (the file's flush
  // holds one while it writes the committed image).
  void AddRef() { qdInterlockedIncrement(robRefCount); }
  // Gives aTrans a private version at its innermost level. A block held by
  // another transaction raises 10241.
  void MakeDirty(TqdBaseTransaction* aTrans) QD_CACHE_LOCKED;
  void MakeClean() { robTrans = nullptr; }
  // Moves the newest private version one level down, or at level 0 makes it
  // the committed image and queues it on the file (true only then).
  bool Commit(bool aForce, bool aIsWTCommit) QD_CACHE_LOCKED;
  // Throws away the newest private version when it belongs to aTransLevel
  // (nil: the transaction's innermost level). True when the block itself
  // must be forgotten (TqdBufferManager::ForgetBlock): it was new and has
  // no version left.
  [[nodiscard]] bool Rollback(TqdBaseTransactionLevel* aTransLevel = nullptr) QD_CACHE_LOCKED;
  [[nodiscard]] bool RollbackTransLevel(TqdBaseTransactionLevel* aTransLevel) QD_CACHE_LOCKED {
    return Rollback(aTransLevel);
  }
  // A queued committed image that was never written is dropped: true, the
  // block must be forgotten so that the next access reads the file again.
  // A block with block snapshots instead takes back the newest snapshot's
  // image (false).
  [[nodiscard]] bool RollbackUnwritten() QD_CACHE_LOCKED;

  TqdBlockNumber BlockNumber() const { return robBlockNum; }
  uint32_t BlockSize() const;
  bool Dirty() const { return robBlockListTail != nullptr; }
  TqdBaseFile* FileObject() const { return robFile; }
  bool New() const { return robNew; }
  TqdLSN LSN() const;
  // The LSN of the committed image when it was last read or committed.
  TqdLSN LastLSN() const { return robLastLSN; }
  int32_t RefCount() const { return qdAtomicLoad(robRefCount); }
  bool Unwritten() const { return robUnwritten; }
  void SetUnwritten(bool aValue) { robUnwritten = aValue; }
  TqdModifiedBlock* NewestVersion() const { return robBlockListTail; }
  TqdBaseTransaction* Transaction() const { return robTrans; }
  std::vector<uint8_t>& EncryptionCookie() { return robEncryptionCookie; }
  // Where a running read puts the image (nil when no read runs).
  PqdBlock LoadTarget() const { return robLoadImage != nullptr ? robLoadImage->Block() : nullptr; }
  // Block snapshots of this block, oldest first (cache lock).
  TqdBlockSnapShot* SnapShotBlockHead() const { return robSnapShotBlockHead; }
  TqdBlockSnapShot* SnapShotBlockTail() const { return robSnapShotBlockTail; }

 private:
  friend class TqdBufferManager;
  friend class TqdModifiedBlock;
  friend class TqdBaseFile;
  friend class TqdBlockRef;
  friend class TqdBlockSnapShot;
  friend class TqdBlockSnapShotLink;

  // Before a level-0 commit replaces the committed image: keeps it in a
  // block snapshot for every snapshot transaction that may still read it.
  void TakeSnapShots() QD_CACHE_LOCKED;
  // The image a snapshot transaction reads, nil when it reads the committed
  // image (and then records its first touch of the file).
  PqdBlock SnapShotImage(TqdBaseTransaction* aTrans) QD_CACHE_LOCKED;
  // Frees every block snapshot and block snapshot link of this block.
  void FreeSnapShots() QD_CACHE_LOCKED;
  // Memory that a reader may still address goes to the retired list.
  void RetireOrFree(TqdCacheBlock* aCacheBlock);

  // Pushes a private version for aLevel on top of the chain.
  void PushVersion(TqdBaseTransactionLevel* aLevel) QD_CACHE_LOCKED;
  // Frees memory retired by a commit once no reference is left.
  void FreeRetired();

  TqdBaseFile* robFile;
  TqdBlockNumber robBlockNum;
  TqdLSN robLastLSN = 0;
  int32_t robRefCount = 0;
  bool robNew;
  bool robUnwritten = false;
  TqdManualEventRef robLoading;
  // The memory a running read fills; attached when the read succeeded.
  TqdCacheBlock* robLoadImage = nullptr;
  // Threads waiting for robLoading; each holds a reference while it waits.
  int32_t robWaiting = 0;
  TqdReadOnlyBlock* robFileNext = nullptr;
  TqdReadOnlyBlock* robFilePrev = nullptr;
  TqdReadOnlyBlock* robInUseNext = nullptr;
  TqdReadOnlyBlock* robInUsePrev = nullptr;
  TqdBaseTransaction* robTrans = nullptr;
  TqdReadOnlyBlock* robTransNext = nullptr;
  TqdReadOnlyBlock* robTransPrev = nullptr;
  TqdModifiedBlock* robBlockListTail = nullptr;
  std::vector<uint8_t> robEncryptionCookie;
  // Committed images replaced while readers still held references to them;
  // freed at the first locked access that finds no reference.
  std::vector<TqdCacheBlock*> robRetired;
  // Snapshots: links indexed by snapshot identifier, the same links in
  // creation order, the file's snapshot counter when this block last took
  // snapshots, and the block snapshots, oldest first.
  std::vector<TqdBlockSnapShotLink*> robSnapShotLinks;
  TqdBlockSnapShotLink* robSnapShotLinkHead = nullptr;
  TqdBlockSnapShotLink* robSnapShotLinkTail = nullptr;
  uint32_t robSnapShotCounter = 0;
  TqdBlockSnapShot* robSnapShotBlockHead = nullptr;
  TqdBlockSnapShot* robSnapShotBlockTail = nullptr;
};

// One private version of a block for one transaction level.
class TqdModifiedBlock final : public TqdBlockObject {
 public:
  TqdModifiedBlock(TqdReadOnlyBlock* aReadOnlyBlock, TqdBaseTransactionLevel* aTransLevel);
  ~TqdModifiedBlock() override;

  void ValidateImage(const uint8_t* aBlock) override;
  TqdBlockSizeAll BlockSizeClass() const override;

  // Appends to / removes from the level's list of private versions.
  void LinkToLevel(TqdBaseTransactionLevel* aTransLevel);
  void UnlinkFromLevel();

  TqdReadOnlyBlock* mbReadOnlyBlock;
  TqdBaseTransactionLevel* mbTransLevel = nullptr;
  TqdModifiedBlock* mbPrev = nullptr;
  TqdModifiedBlock* mbTransLevelPrev = nullptr;
  TqdModifiedBlock* mbTransLevelNext = nullptr;
  bool mbDiscarded = false;
};

// A work block that belongs to no file.
class TqdScratchBlock final : public TqdBlockObject {
 public:
  TqdScratchBlock(TqdBufferManager* aBufferManager, TqdBlockSizeAll aSize, uint32_t aID);
  TqdBlockSizeAll BlockSizeClass() const override { return sbSize; }

  uint32_t sbID;
  int32_t sbRefCount = 0;
  TqdBlockSizeAll sbSize;
};

// What callers keep of a scratch block: a slot of the cache's handle table
// and the generation it was created with, so a freed or foreign handle is
// refused instead of touching freed memory.
struct TqdScratchBlockHandle {
  uint32_t sbhSlot = 0;
  uint32_t sbhID = 0;
};

// --- Table file ------------------------------------------------------------------

enum TqdFileAttribute : uint8_t { qdfaTemporary, qdfaMemTable, qdfaTransWriteThrough, qdfaReplicationLog };

using TqdFileAttributes = TqdSet<TqdFileAttribute, uint8_t>;

enum TqdBlockIteratorResult : uint8_t { birContinue, birStop };
// aBlock is nil for a block that could not be read.
using TqdBlockIterator = std::function<TqdBlockIteratorResult(void* aCookie, TqdBlockNumber aBlockNr, PqdBlock aBlock)>;
using TqdBlockCookieIterator = std::function<TqdBlockIteratorResult(
    void* aCookie, TqdBlockNumber aBlockNr, PqdBlock aBlock, const std::vector<uint8_t>& aBlockCookie)>;

// One level of the per-file block index: 256 entries chosen by one byte of
// the block number. The top level is TqdBaseFile::fiBlocks; the leaves hold
// committed versions.
struct TqdBlockContainer {
  TqdBlockContainer* bcNext;
  TqdBlockContainer* bcPrev;
  void* bcBlocks[256];
  uint16_t bcCount;
};

class TqdBaseFile;
using TqdFileClass = TqdBaseFile* (*)();

// A file of fixed-size blocks. The operating-system operations are virtual
// and implemented by the POSIX file class.
class TqdBaseFile : public TqdObject {
 public:
  TqdBaseFile();
  ~TqdBaseFile() override;

  // Creates a file object of the registered class (TableFileInfoClass for
  // a table) named aName, with its folder resolved.
  static TqdBaseFile* Alloc(bool aForTable, const qdString& aName, TqdBufferManager* aBufMgr);
  static TqdFileClass DefaultFileInfoClass;
  static TqdFileClass TableFileInfoClass;

  virtual qdString ExpandRelativeFileName(const qdString& aFileName);
  virtual void CloseFile() = 0;
  virtual bool FileIsOpen() = 0;
  virtual void PrepareFlushFile() = 0;
  virtual void FlushFile(bool aFailSafe, TqdBaseReplicationLog* aReplicationLog) = 0;
  // aCreateFile makes a new file; it appears under its name only when block
  // 0 has been written and synced, and then replaces an existing file only
  // with aOverwrite.
  virtual void OpenFile(TqdOpenMode aOpenMode, TqdShareMode aShareMode, bool aWriteThru, bool aCreateFile,
                        bool aOverwrite = false) = 0;
  virtual int64_t PositionFileEOF() = 0;
  virtual int64_t FileSize() = 0;
  virtual uint32_t ReadFile(uint32_t aToRead, void* aBuffer) = 0;
  virtual void ReadFileExact(uint32_t aToRead, void* aBuffer) = 0;
  virtual uint32_t ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) = 0;
  virtual void ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) = 0;
  virtual void WriteFileExact(uint32_t aToWrite, const void* aBuffer) = 0;
  virtual void WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) = 0;
  virtual int64_t CalcMaxFileSize() = 0;
  virtual void ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer,
                                      std::vector<uint8_t>& aCookie) = 0;
  virtual void WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer,
                                       std::vector<uint8_t>& aCookie) = 0;
  virtual void ReadBlock(TqdReadOnlyBlock* aBlock) = 0;
  virtual void WriteBlock(TqdReadOnlyBlock* aBlock) = 0;
  virtual void RollbackUnwritten() = 0;
  virtual qdString GetFileID();

  // Formats block 0 of a new file as a dirty block of aTrans.
  [[nodiscard]] TqdResult AddHeader(TqdBaseTransaction* aTrans, const TqdUnicodeStrings& aPasswords,
                                    const TqdBlockSignature& aSignature);
  // Reads and checks block 0 of an existing file.
  [[nodiscard]] TqdResult ReadHeader(const TqdUnicodeStrings& aPasswords, bool& aIsReadOnly);

  qdString FileName() const;
  // Blocks in the file; for a temporary file the blocks the cache holds.
  uint32_t PhysicalBlockCount();
  uint32_t BlockSizeBytes() const { return qdBlockSizeAllBytes(fiBlockSize); }
  uint32_t BlockShift() const { return qdBlockSizeShift(fiBlockSize); }

  TqdBlockIteratorResult IterateBlocks(void* aCookie, const TqdBlockIterator& aIterator);
  TqdBlockIteratorResult IterateBlocksRaw(void* aCookie, const TqdBlockIterator& aIterator);
  TqdBlockIteratorResult IterateBlockCookies(void* aCookie, const TqdBlockCookieIterator& aIterator);

  // Transaction membership (under the cache lock). Joining a file another
  // transaction holds raises 10241.
  void JoinTransaction(TqdBaseTransaction* aTrans);
  void LeaveTransaction();

  TqdBaseFileHeaderAccessFactory* HeaderAccessFactory() const { return fiHeaderAccessFactory.get(); }
  // The block count limit from the file system's size limit (never 0).
  void ComputeMaxBlocks();

  // Transaction membership.
  TqdBaseTransaction* fiTrans = nullptr;
  TqdBaseTransactionLevel* fiTransLevel = nullptr;
  TqdBaseFile* fiTransNext = nullptr;
  TqdBaseFile* fiTransPrev = nullptr;

  // Snapshot bookkeeping (cache lock): identifiers of the snapshot
  // transactions linked to this file as a bit set, the links by identifier
  // and in creation order, a counter bumped by every link made or removed,
  // and an optional owner-supplied count of block snapshots (interlocked).
  std::vector<uint8_t> fiSnapShotFlags;
  std::vector<TqdFileSnapShotLink*> fiSnapShotLinks;
  TqdFileSnapShotLink* fiSnapShotLinkHead = nullptr;
  TqdFileSnapShotLink* fiSnapShotLinkTail = nullptr;
  uint32_t fiSnapShotCounter = 0;
  int32_t* fiSnapshotBlockCount = nullptr;
  // The link of the snapshot transaction aTrans to this file, nil when it
  // has none (cache lock).
  TqdFileSnapShotLink* SnapShotLink(const TqdBaseTransaction* aTrans) const;

  qdString fiName;
  // Folder with a trailing '/'.
  qdString fiPath;
  TqdOpenMode fiOpenMode = omNone;
  TqdShareMode fiShareMode = smExclusive;
  bool fiWriteThru = false;
  bool fiIsLink = false;
  TqdBlockSignature fiHeaderSignature;
  qdString fiEncryptionEngineName;
  qdString fiStreamEngineName;
  int32_t fiQendoVersion = 47501;
  uint32_t fiCheckSumSize = 0;
  std::vector<uint8_t> fiChecksum;
  bool fiCheckSumVerified = false;
  TqdFileAttributes fiAttributes;
  bool fiForServer = false;
  // Created by ReadHeader or AddHeader for a file whose header names an
  // engine; owned by the file.
  std::unique_ptr<TqdBaseEncryptionEngine> fiEncryptionEngine;
  TqdBufferManager* fiBufMgr = nullptr;
  std::unique_ptr<TqdBaseFileHeaderAccessFactory> fiHeaderAccessFactory;
  TqdBlockSize fiBlockSize = qdbs4k;
  uint32_t fiBlockSizeBytes = 0;
  uint32_t fiMaxBlocks = 0;
  uint32_t fiUsedBlocks = 0;
  uint32_t fiTransUsedBlocks = 0;
  uint32_t fiInitialSize = 1;
  uint32_t fiGrowSize = 1;

  // The cache's per-file list and index (cache lock).
  TqdReadOnlyBlock* fiBlockListHead = nullptr;
  TqdReadOnlyBlock* fiBlockListTail = nullptr;
  TqdReadOnlyBlock* fiBlockZero = nullptr;
  TqdBlockContainer* fiBlockContainerList = nullptr;
  void* fiBlocks[256] = {};
  // Committed versions in the file's list.
  uint32_t fiBlockCount = 0;
  // A level-0 commit listed the file for its flush, which has not ended
  // yet, on the thread fiFlushThread (cache lock). A later commit of the
  // file waits for it: until the earlier journal is deleted, its recovery
  // would cut off what the later commit adds.
  bool fiFlushPending = false;
  uint32_t fiFlushThread = 0;

  int32_t fiMaxID = 2147483647;
  // Tells file objects apart without their addresses.
  const uint32_t fiSerial;
  qdString fiLogAlias;
  qdString fiLogTable;
  qdString fiLogFile;

 private:
  TqdBlockIteratorResult IterateImpl(void* aCookie, bool aDecrypt, const TqdBlockCookieIterator& aIterator);
};

// --- Block access of a table ------------------------------------------------------

// What a table's sub-engines hold for one file of the table.
class TqdBlockAccess : public TqdObject {
 public:
  TqdBlockAccess(TqdBaseFile* aFile, TqdBlockAccess* aMain, const qdString& aBaseName, int32_t aID);

  // The block, checked to be block aBlockNumber owned by aID (0: any
  // owner); a failed check releases it before raising.
  TqdBlockRef GetBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, int32_t aID, bool aMarkDirty);
  // Turns a held block into aTrans's writable private version.
  void DirtyBlock(TqdBlockNumber aBlockNumber, TqdBaseTransaction* aTrans, TqdBlockRef& aBlock);
  bool ValidBlock(uint32_t aBlockNumber, TqdBaseTransaction* aTrans);
  bool ValidBlock(uint32_t aBlockNumber, TqdBaseFileHeaderAccess* aHeaderAccess);
  // The block when aBlockNumber passes ValidBlock for aTrans, checked and
  // fetched in one cache lock round trip; an empty handle otherwise. Its
  // identity (signature, number, owner) is the caller's to check. Virtual
  // so that an access can watch what a table reads through it: the index
  // tests and the index benchmark count node reads with one.
  virtual TqdBlockRef GetValidBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty);
  // A new header access of the file's format; the caller owns it.
  std::unique_ptr<TqdBaseFileHeaderAccess> HeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty);
  TqdLSN baGetCurrentLSN(TqdBaseTransaction* aTrans);
  void ChangePassword(TqdBaseTransaction* aTrans, const qdString& aNewPassword);

  TqdBaseFile* _File() const { return baFile; }
  TqdBlockNumber HeaderBlock() const { return baHeaderBlock; }
  void SetHeaderBlock(TqdBlockNumber aValue) { baHeaderBlock = aValue; }
  int32_t ID() const { return baID; }
  TqdBlockAccess* Main() const { return baMain; }
  const qdString& BaseName() const { return baBaseName; }
  const qdString& fiName() const;
  uint32_t fiBlockSizeBytes() const;

 private:
  TqdBaseFile* baFile;
  TqdBlockNumber baHeaderBlock = 0;
  int32_t baID;
  TqdBlockAccess* baMain;
  qdString baBaseName;
};

// --- Transactions (base classes) -----------------------------------------------------

// TqdTransactionState(s) and TqdTransactionLevelState(s) come from the data
// dictionary's types.

// One nesting level of a transaction. Used by the thread that runs the
// owning session's request; its counters take no lock.
class TqdBaseTransactionLevel : public TqdObject {
 public:
  // Becomes aTrans's innermost level, with a fresh LSN.
  explicit TqdBaseTransactionLevel(TqdBaseTransaction* aTrans);
  ~TqdBaseTransactionLevel() override;

  // Level number used wherever levels are compared.
  int32_t Level() const { return tlLevel + tlNestingCount; }
  // False while only a counted nesting ends.
  bool StopNested();
  bool HasState(TqdTransactionLevelState aState) const { return tlState.Contains(aState); }
  int32_t BlockCount() const { return tlBlockCount; }
  int32_t LockCount() const { return tlLockCount; }
  // Marks this level and every level above it; the first mark of this
  // level is counted in the cache's statistics.
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested();

  TqdBaseTransactionLevel* tlPrev;
  TqdBaseTransaction* tlTransaction;
  // Local date and time of creation.
  double tlStartTime = 0;
  TqdLSN tlStartLSN = 0;
  TqdLSN tlLSN = 0;
  TqdModifiedBlock* tlModifiedBlocksHead = nullptr;
  TqdModifiedBlock* tlModifiedBlocksTail = nullptr;
  int32_t tlBlockCount = 0;
  int32_t tlLevel = 0;
  int32_t tlLockCount = 0;
  int32_t tlNestingCount = 0;
  TqdTransactionLevelStates tlState;

 private:
  // Adds aState to this level and every level above; true when this level
  // did not carry it before.
  bool MarkUp(TqdTransactionLevelState aState);
};

// A block transaction: a stack of levels. The owner (the server engine)
// derives from it and implements Commit and Rollback with the cache's
// CommitTransaction and RollbackTransaction:
// - nested commit: when StopNested of the innermost level is true,
//   CommitTransaction(trans, nil, false), carry tlLSN down, free the level;
// - level-0 commit: CommitTransaction(trans, flush list, false), the
//   owner's post-commit work, Flush, free the list and the level;
// - back at level 0 with btWriteThroughCommit set: clear it and
//   CommitTransaction(trans, nil, true);
// - rollback: a counted nesting marks the level corrupted, else
//   RollbackTransaction and free the level;
// - deadlock of level L: MarkDeadlock on L, then RollbackTransactionLevel
//   from the innermost level down to L.
class TqdBaseTransaction : public TqdObject {
 public:
  // A snapshot transaction gets its snapshot identifier before its first
  // level exists.
  TqdBaseTransaction(TqdBufferManager* aBufferManager, void* aOwningSession, bool aIsSnapshot, bool aFailSafe);
  ~TqdBaseTransaction() override;

  virtual TqdBaseTransactionLevel* CreateTransLevel();
  virtual void Failed();
  // Unless aForce, a level marked "no more nested" only counts the nesting.
  virtual void StartNested(bool aForce);
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // 15443 when failed or the innermost level is corrupted, 10255 when it is
  // deadlocked, else 0.
  [[nodiscard]] TqdResult CheckState() const;
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested();
  void Lock();
  void Unlock();

  TqdBaseTransactionLevel* TransLevel() const { return btTransLevelsTail; }
  TqdBufferManager* TransBufferManager() const { return btBufferManager; }
  void* OwningSession() const { return btOwningSession; }
  TqdLSN LSN() const { return btLSN; }
  bool Nested() const { return btTransLevelsTail != nullptr && btTransLevelsTail->Level() > 0; }
  bool IsLocked() const {
    return btTransLevelsTail != nullptr && btTransLevelsTail->tlLockCount > 0 && btTransLevelsTail->tlNestingCount == 0;
  }
  bool HasState(TqdTransactionState aState) const { return btState.Contains(aState); }
  void IncludeState(TqdTransactionState aState) { btState.Include(aState); }
  uint32_t BlockCount() const { return btBlockCount; }
  // The journal engine, owned; assigned by the owner before the level-0
  // commit, which hands it to the flush list.
  TqdBaseJournalEngine* Journal() const { return btJournal.get(); }
  void SetJournal(std::unique_ptr<TqdBaseJournalEngine> aJournal);
  std::unique_ptr<TqdBaseJournalEngine> TakeJournal();
  int32_t SnapshotID() const { return btSnapshotID; }

  TqdBufferManager* btBufferManager;
  void* btOwningSession;
  TqdTransactionStates btState;
  double btStartTime = 0;
  TqdLSN btStartLSN = 0;
  TqdLSN btLSN = 0;
  std::unique_ptr<TqdBaseJournalEngine> btJournal;
  // Snapshot transactions only: the identifier and the links (cache lock).
  int32_t btSnapshotID = -1;
  TqdBlockSnapShotLink* btBlockSnapShotLinksHead = nullptr;
  TqdBlockSnapShotLink* btBlockSnapShotLinksTail = nullptr;
  TqdFileSnapShotLink* btFileSnapShotLinksHead = nullptr;
  TqdFileSnapShotLink* btFileSnapShotLinksTail = nullptr;
  TqdBaseTransactionLevel* btTransLevelsTail = nullptr;
  TqdReadOnlyBlock* btTransBlockListHead = nullptr;
  TqdReadOnlyBlock* btTransBlockListTail = nullptr;
  uint32_t btBlockCount = 0;
  TqdBaseFile* btTransFileListHead = nullptr;
  TqdBaseFile* btTransFileListTail = nullptr;
  // A write-through commit is due when the transaction is back at level 0.
  bool btWriteThroughCommit = false;
};

// Creates the journal engine of each transaction; the server's manager
// derives from it.
class TqdBaseTransactionMgr : public TqdObject {
 public:
  explicit TqdBaseTransactionMgr(TqdBufferManager* aBufferManager) : btmBufferManager(aBufferManager) {}

  // The journal of the transaction numbered aNumber, nil for none.
  virtual std::unique_ptr<TqdBaseJournalEngine> CreateJournal(int64_t aNumber) = 0;

  TqdPadlock btmPadlock{false};
  TqdBufferManager* btmBufferManager;
};

// Hooks for a replication log; no implementation exists.
class TqdBaseReplicationLog : public TqdObject {
 public:
  virtual void BeginTrans(TqdLSN aLSN) = 0;
  virtual void EndTrans() = 0;
  virtual void BeginFile(const qdString& aAlias, const qdString& aTable, const qdString& aFile,
                         TqdBlockSize aBlockSize) = 0;
  virtual void EndFile() = 0;
  virtual void WriteBlock(TqdBlockNumber aBlockNumber, TqdLSN aOldLSN, const uint8_t* aBlock) = 0;
};

// The files a level-0 commit has to flush, and its journal.
class TqdFlushList : public TqdObject {
 public:
  TqdFlushList() { flList.reserve(32); }
  // A journal still held here was not deleted by a successful flush: its
  // commit may have reached the files in part, so the file stays on disk
  // for recovery.
  ~TqdFlushList() override;
  // Makes sure block 0 of every persistent file of the transaction is
  // committed with its LSN and lists the file; on failure every queued
  // block reverts.
  void Prepare(TqdBaseTransaction* aTrans, bool aIsWTCommit);
  // Writes and syncs every listed file, then deletes the journal durably.
  // Refuses with 15443 after a fatal error; a failure sets it.
  void Flush(bool aForceFailSafe);
  int32_t Count() const { return int32_t(flList.size()); }
  TqdBaseJournalEngine* Journal() const { return flJournal.get(); }

  TqdLSN flLSN = 0;
  std::vector<TqdBaseFile*> flList;
  // The cache whose files are listed; their pending flush ends with Flush
  // or, when it never ran, with the list.
  TqdBufferManager* flBufferManager = nullptr;
  std::unique_ptr<TqdBaseJournalEngine> flJournal;
  TqdBaseReplicationLog* flReplicationLog = nullptr;

 private:
  // Leaves the journal on disk for recovery and sets the fatal flag.
  void KeepJournal();
};

// --- Journal engines (abstract) -------------------------------------------------------

// What a folder check found; one message per journal left on disk.
struct TqdJournalCheckResult {
  // 0 when every journal was handled, else the first error's number.
  TqdResult jcrErrorCode = 0;
  std::vector<qdString> jcrMessages;
  int32_t jcrReplayed = 0;
  int32_t jcrDeleted = 0;
};

// The class of a journal engine: its name, its parent, its virtual
// constructor and its class operations.
struct TqdJournalEngineClass {
  const char16_t* jecClassName;
  const TqdJournalEngineClass* jecParent;
  std::unique_ptr<TqdBaseJournalEngine> (*jecCreate)(const TqdJournalEngineClass* aClass, const qdString& aFileName);
  // Recovers the journals of the folder aPath.
  TqdJournalCheckResult (*jecCheck)(const TqdJournalEngineClass* aClass, const qdString& aAlias, const qdString& aPath);
  // 0: before- and after-images, 1: after-images only, 2: before-images
  // only.
  int32_t jecKind;

  bool InheritsFrom(const TqdJournalEngineClass* aAncestor) const;
  std::unique_ptr<TqdBaseJournalEngine> Create(const qdString& aFileName) const { return jecCreate(this, aFileName); }
  [[nodiscard]] TqdJournalCheckResult Check(const qdString& aAlias, const qdString& aPath) const {
    return jecCheck(this, aAlias, aPath);
  }
};

// A journal of one commit, written inside the level-0 commit under the
// cache lock and deleted by the flush list once every file is flushed.
class TqdBaseJournalEngine : public TqdObject {
 public:
  // The base class: Check is an assertion; every concrete class overrides
  // it.
  static const TqdJournalEngineClass ClassInfo;

  TqdBaseJournalEngine(const TqdJournalEngineClass* aClass, const qdString& aFileName)
      : bjeClass(aClass), bjeFileName(aFileName) {}
  // Deletes the journal file unless it was kept for recovery.
  ~TqdBaseJournalEngine() override = default;

  virtual void PrepareJournal() = 0;
  virtual void AddBlock(TqdBaseTransaction* aTrans, TqdReadOnlyBlock* aBlock) = 0;
  // The journal is durable when this returns: its records, its complete
  // flag and its folder entry.
  virtual void FinalizeJournal() = 0;
  // Deletes the journal file durably (the commit point of a rollback
  // journal); raises when that cannot be made sure.
  virtual void DeleteJournal() = 0;
  // Closes the journal and leaves its file for recovery.
  virtual void KeepJournal() = 0;

  const TqdJournalEngineClass* ClassType() const { return bjeClass; }
  int32_t GetJournalKind() const { return bjeClass->jecKind; }
  const qdString& FileName() const { return bjeFileName; }

 protected:
  const TqdJournalEngineClass* bjeClass;
  qdString bjeFileName;
};

// The process-wide journal class; nil means no journal.
extern std::atomic<const TqdJournalEngineClass*> qdJournalEngineClass;

// The journal classes by name, for the server's "JournalEngineClass"
// setting (filled at start-up, only read afterwards).
void qdRegisterJournalEngineClass(const TqdJournalEngineClass* aClass);
void qdUnregisterJournalEngineClass(const TqdJournalEngineClass* aClass);
// The class registered as aName (case-insensitive), nil when none.
const TqdJournalEngineClass* qdFindJournalEngineClass(const qdString& aName);

// Tables that a journal could not be recovered into, and the tables of a
// journal a failed commit kept, are refused until a later check recovers
// them. Names are full file names; a folder name ending in '/' blocks every
// table of the folder.
void qdMarkTableUnrecovered(const qdString& aName, const qdString& aReason);
void qdClearTableUnrecovered(const qdString& aName);

// The other processes learn of a journal from the disk alone: a complete
// journal that names a table means that a later check replays it over the
// table, so nothing may be committed to the table before that. The journal
// unit installs the look at the disk (qdseJournalEngineInitialize): it
// raises 15509 when a journal in the folder of one of aFileNames (full
// names), other than a commit of this process in progress, names that
// table; a journal still held by a live process is waited for until the
// thread's deadline.
using TqdJournalsOnDiskCheck = void (*)(const std::vector<qdString>& aFileNames);
void qdSetJournalsOnDiskCheck(TqdJournalsOnDiskCheck aCheck);
// Raises 15509 when the table (or its folder) waits for recovery: marked
// in this process, or named by a journal on disk. Every table open and
// every level-0 commit asks, for each persistent file.
void qdCheckTableRecovered(const qdString& aFileName);
void qdCheckTablesRecovered(const std::vector<qdString>& aFileNames);

// --- Snapshot bookkeeping ------------------------------------------------------------------

// A snapshot transaction has started to read a file (or a multi-file commit
// made it keep the file's state). Created and destroyed under the cache
// lock.
class TqdFileSnapShotLink : public TqdObject {
 public:
  TqdFileSnapShotLink(TqdBaseFile* aFile, TqdBaseTransaction* aTrans);
  ~TqdFileSnapShotLink() override;

  TqdBaseFile* fsslFile;
  TqdFileSnapShotLink* fsslFilePrev = nullptr;
  TqdFileSnapShotLink* fsslFileNext = nullptr;
  // The file's snapshot counter right after this link was made.
  uint32_t fsslFileCounter = 0;
  // The file's committed block count at that moment.
  uint32_t fsslUsedBlocks = 0;
  TqdBaseTransaction* fsslTrans;
  TqdFileSnapShotLink* fsslTransPrev = nullptr;
  TqdFileSnapShotLink* fsslTransNext = nullptr;
};

// An old committed image of one block, kept while a snapshot transaction
// may read it.
class TqdBlockSnapShot final : public TqdBlockObject {
 public:
  // Takes over the committed version's memory (reading it first when
  // needed); the commit then installs the new image.
  explicit TqdBlockSnapShot(TqdReadOnlyBlock* aBlock);
  ~TqdBlockSnapShot() override;

  void ValidateImage(const uint8_t* aBlock) override;
  TqdBlockSizeAll BlockSizeClass() const override;
  PqdBlock Image() const { return boCacheBlock != nullptr ? boCacheBlock->Block() : nullptr; }

  int32_t bssLinkRefCount = 0;
  TqdReadOnlyBlock* bssReadOnlyBlock;
  TqdBlockSnapShot* bssBlockNext = nullptr;
  TqdBlockSnapShot* bssBlockPrev = nullptr;
};

// Ties one snapshot transaction to the block snapshot it reads.
class TqdBlockSnapShotLink : public TqdObject {
 public:
  TqdBlockSnapShotLink(TqdBlockSnapShot* aBlockSnapShot, TqdBaseTransaction* aSnapShotTrans);
  // Frees the block snapshot with its last link.
  ~TqdBlockSnapShotLink() override;

  TqdBlockSnapShot* bsslBlockSnapShot;
  TqdReadOnlyBlock* bsslBlock;
  TqdBlockSnapShotLink* bsslBlockPrev = nullptr;
  TqdBlockSnapShotLink* bsslBlockNext = nullptr;
  TqdBaseTransaction* bsslTrans;
  TqdBlockSnapShotLink* bsslTransPrev = nullptr;
  TqdBlockSnapShotLink* bsslTransNext = nullptr;
};

// Bit aIndex of a byte-array bit set (bit n is bit n mod 8 of byte n div 8).
inline bool qdSnapShotBit(const std::vector<uint8_t>& aFlags, int32_t aIndex) {
  return size_t(aIndex >> 3) < aFlags.size() && (aFlags[size_t(aIndex >> 3)] & (1u << (aIndex & 7))) != 0;
}

// --- The cache -------------------------------------------------------------------------

// A block number a reader took from a table's header block, tied to the
// committed header image it came from by that image's LSN. Every change of
// a header block, committed or rolled back, gives the committed image a new
// LSN or takes the old image back, so while the committed header still
// carries hpHeaderLSN the number still stands for a reader that sees the
// committed header. The fields are read and written under the cache lock
// only (TqdBufferManager::PinHeaderValue, PinnedHeaderValue).
struct TqdHeaderPin {
  TqdBlockNumber hpValue = kNoBlock;
  TqdLSN hpHeaderLSN = 0;
  bool hpSet = false;
};

class TqdBufferManager : public TqdObject {
 public:
  explicit TqdBufferManager(const qdString& aTempDir);
  ~TqdBufferManager() override;

  void Lock() QD_ACQUIRE(bmPadlock);
  void Unlock() QD_RELEASE(bmPadlock);
  [[nodiscard]] bool TryLock() QD_TRY_ACQUIRE(true, bmPadlock);

  // Makes the file's block 0 available (reading and checking the header of
  // an existing file) and hands it to aTrans in aBlock.
  [[nodiscard]] TqdResult AddFile(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, const TqdUnicodeStrings& aPasswords,
                                  bool aMarkHeaderDirty, TqdBlockRef& aBlock, bool& aIsReadOnly);
  // Forgets every cached block of the file.
  void RemoveFile(TqdBaseFile* aFile);
  TqdBlockRef GetBlock(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty);
  // GetBlock of a block number checked, under the same hold of the lock,
  // to be one of the blocks aTrans sees in the file (block 0 excluded; the
  // rule of TqdBlockAccess::ValidBlock): an empty handle for any other
  // number. A read path pays one lock round trip per block this way.
  TqdBlockRef GetValidBlock(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber,
                            bool aMarkDirty);
  // Ties aValue, read from header block aHeaderBlock of aFile in an image
  // carrying aImageLSN, to aPin when aTrans sees the committed header and
  // that image is the committed one; otherwise leaves aPin as it is.
  void PinHeaderValue(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aHeaderBlock, TqdLSN aImageLSN,
                      TqdBlockNumber aValue, TqdHeaderPin& aPin);
  // The value aPin holds when aTrans sees the committed header and header
  // block aHeaderBlock has not changed since it was pinned; kNoBlock when
  // the reader must read the header again.
  TqdBlockNumber PinnedHeaderValue(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aHeaderBlock,
                                   const TqdHeaderPin& aPin);
  // A block being appended to the file: no disk image, reads as zeros.
  TqdBlockRef AddBlock(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber);
  // Replaces the held aBlock by aTrans's writable private version of it.
  void DirtyBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber, TqdBaseTransaction* aTrans, TqdBlockRef& aBlock);
  // Throws the newest private version's content away (reads as zeros).
  void DiscardBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber, TqdBaseTransaction* aTrans);

  TqdLSN CurrentLSN();
  TqdLSN NextLSN();
  // Raises the LSN counter to aValue; a lower value changes nothing.
  void SetNextLSN(TqdLSN aValue);

  // Level 0: journal, commit of every block, flush (when no flush list is
  // passed). A nested level: merges its versions into the level below. A
  // write-through commit (aIsWTCommit) is accepted only for transactions
  // that changed temporary files alone. Before level 0 takes the cache lock
  // it waits for a pending flush of any of its files and refuses (15509) a
  // file that waits for recovery (qdCheckTablesRecovered).
  void CommitTransaction(TqdBaseTransaction* aTrans, TqdFlushList* aFlushList, bool aIsWTCommit);
  // The flush of aFiles has ended, written or failed: commits waiting for
  // it go on.
  void EndFlush(const std::vector<TqdBaseFile*>& aFiles);
  void RollbackTransaction(TqdBaseTransaction* aTrans);
  // Rolls back one level without counting (deadlock victims).
  void RollbackTransactionLevel(TqdBaseTransactionLevel* aTransLevel);

  // Snapshot transactions (called by TqdBaseTransaction).
  void RegisterSnapShot(TqdBaseTransaction* aTrans);
  void UnregisterSnapShot(TqdBaseTransaction* aTrans);
  // Live snapshot transactions and the bytes of the identifier bit set.
  int32_t ActiveSnapShotCount();
  size_t SnapShotFlagBytes();

  // Transaction statistics.
  struct TqdTransactionCounts {
    uint64_t tcCommit = 0;
    uint64_t tcRollback = 0;
    uint64_t tcNestedCommit = 0;
    uint64_t tcNestedRollback = 0;
    uint64_t tcDeadlock = 0;
    uint64_t tcCorrupted = 0;
  };
  TqdTransactionCounts TransactionCounts();
  // Counts a transaction level first marked corrupted or deadlocked.
  void CountCorrupted();
  void CountDeadlock();

  void CreateScratchBlock(TqdBlockSizeAll aSize, TqdScratchBlockHandle& aHandle);
  void* LockScratchBlock(const TqdScratchBlockHandle& aHandle);
  void UnlockScratchBlock(const TqdScratchBlockHandle& aHandle, void* aPointer);
  void FreeScratchBlock(const TqdScratchBlockHandle& aHandle);

  uint64_t BlocksRead() const { return bmBlocksRead.load(std::memory_order_relaxed); }
  uint64_t BlocksWritten() const { return bmBlocksWritten.load(std::memory_order_relaxed); }
  void CountBlockRead() { bmBlocksRead.fetch_add(1, std::memory_order_relaxed); }
  void CountBlockWritten() { bmBlocksWritten.fetch_add(1, std::memory_order_relaxed); }
  const qdString& TempDir() const { return bmTempDir; }
  // Committed versions of all files.
  uint32_t InUseCount();

  // Structural self-check (debug tier): lists, index, references, versions.
  // Raises EAssertionFailed naming the broken invariant.
  void CheckInvariants();

  // --- Used by the block, file and transaction classes (cache lock held) ---

  // The number of blocks aTrans sees in aFile: the transaction's own count
  // when it has joined the file, a snapshot transaction's count when it
  // first read the file, else the committed count.
  uint32_t VisibleBlockCount(const TqdBaseFile* aFile, const TqdBaseTransaction* aTrans) QD_REQUIRES(bmPadlock);
  // The committed image's LSN of header block aHeaderBlock when aTrans
  // reads that image (it has not joined the file's transaction and reads
  // no snapshot) and the block is cached with an image; false otherwise.
  bool CommittedHeaderLSN(const TqdBaseFile* aFile, const TqdBaseTransaction* aTrans, TqdBlockNumber aHeaderBlock,
                          TqdLSN& aLSN) QD_REQUIRES(bmPadlock);
  // The committed version of block aBlockNumber, or nil when not cached;
  // waits for a running read (the lock must be held once).
  TqdReadOnlyBlock* FindBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber) QD_REQUIRES(bmPadlock);
  // Waits until no read of aBlock runs; the lock must be held once.
  void WaitWhileLoading(TqdReadOnlyBlock* aBlock) QD_REQUIRES(bmPadlock);
  // Creates and files a committed version (no memory yet).
  TqdReadOnlyBlock* CreateBlock(TqdBaseFile* aFile, TqdBlockNumber aBlockNumber, bool aNew) QD_REQUIRES(bmPadlock);
  // Unlinks a committed version from its file, the index, the in-use list
  // and its transaction, and frees it with its private versions.
  void RemoveBlock(TqdReadOnlyBlock* aBlock) QD_REQUIRES(bmPadlock);
  // Removes a block nobody holds; one still held keeps its object (the
  // holders' images stay valid) but loses its committed image, so the next
  // access starts afresh.
  void ForgetBlock(TqdReadOnlyBlock* aBlock) QD_REQUIRES(bmPadlock);
  void AddToTransBlockList(TqdBaseTransaction* aTrans, TqdReadOnlyBlock* aBlock) QD_REQUIRES(bmPadlock);
  void RemoveFromTransBlockList(TqdReadOnlyBlock* aBlock) QD_REQUIRES(bmPadlock);
  // Gives up memory beyond the budget (see Memory budget below).
  void bmRemoveExcessBlocks(bool aForceMapped, bool aForceAllocated) QD_REQUIRES(bmPadlock);
  // Memory a block version took (positive) or gave up, in 4 KB pages.
  void CountMappedPages(int32_t aPages) { bmUsedMappedPages.fetch_add(aPages, std::memory_order_relaxed); }
  // A use of committed version aBlock: a hit when it had its image
  // (aCached), else a miss; the version becomes the most recently used.
  void CountUse(TqdReadOnlyBlock* aBlock, bool aCached) QD_REQUIRES(bmPadlock);

  // --- Memory budget, temporary storage, statistics ---
  //
  // The budget (MaxRAM, megabytes) is kept in 4 KB pages, half for each of
  // the two replacement classes. Memory is always mapped here (the
  // allocator's physical-memory mode is not available), so the allocated
  // state and bulk loading are never used. Every version's memory counts;
  // an eviction pass walks the committed versions from the least recently
  // used and drops the memory of those nobody needs: not referenced, not
  // being read, written to their file, of a persistent table and not block
  // 0. A version with private versions, a transaction or snapshots loses
  // only its committed image (read again from the file when needed). A
  // pass that frees nothing blocks unforced passes for 1000 ms; an unforced
  // pass ends after 150 ms.
  int32_t MaxRAM();
  void SetMaxRAM(int32_t aMegabytes);
  // Bytes the process can still take: the address space and physical
  // memory left after the cache's unused budget and a reserve.
  int64_t AvailableRAM();
  // Megabytes the temporary storage reserves.
  int32_t TempStoreSize();
  // Installs the process's temporary-storage class (with the cache's
  // folder) for a positive value, else the null storage; a class that fails
  // leaves the null storage and raises again.
  void SetTempStoreSize(int32_t aValue);
  TqdBaseTempStorage* TempStorage();
  // Pages of memory block versions hold, and the budget of both classes.
  uint32_t UsedMappedPages() const { return uint32_t(std::max<int64_t>(0, bmUsedMappedPages.load())); }
  uint32_t MappedBudgetPages();
  // Uses with and without a cached image, and images given up.
  uint64_t CacheHits();
  uint64_t CacheMisses();
  uint64_t CacheEvictions();
  virtual void GetStatsCaptions(TqdStringList& aList);
  virtual void GetStatsValues(TqdStringList& aList);
  // The rows of a server without a running cache.
  static void GetStatsValuesStatic(TqdStringList& aList);
  int32_t LockDepth() const QD_REQUIRES(bmPadlock) { return bmLockDepth; }

  TqdPadlock bmPadlock{true};

 private:
  TqdScratchBlock* ResolveScratch(const TqdScratchBlockHandle& aHandle) QD_REQUIRES(bmPadlock);
  TqdBlockRef GetBlockLocked(TqdBaseFile* aFile, TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber,
                             bool aMarkDirty) QD_REQUIRES(bmPadlock);
  void CommitLevelZero(TqdBaseTransaction* aTrans, TqdFlushList* aFlushList, bool aIsWTCommit) QD_REQUIRES(bmPadlock);
  // Waits, without the cache lock, until no file of aTrans has a pending
  // flush.
  void WaitForFlushes(TqdBaseTransaction* aTrans);
  // Block 0 of every persistent file of aTrans gets aTrans's LSN, and so
  // does every other block it writes (MakeDirty stamps only an image that
  // exists: a new or reused block gets its image later).
  void StampHeaders(TqdBaseTransaction* aTrans) QD_REQUIRES(bmPadlock);
  void WriteJournal(TqdBaseTransaction* aTrans) QD_REQUIRES(bmPadlock);
  // A snapshot transaction that has begun to read any file of a multi-file
  // commit keeps the pre-commit state of every file of it.
  void LinkMultiFileSnapShots(TqdBaseTransaction* aTrans) QD_REQUIRES(bmPadlock);

  // One eviction pass (bmRemoveExcessBlocks); true when it freed memory.
  bool RemoveExcessMapped(bool aForce) QD_REQUIRES(bmPadlock);

  int32_t bmLockDepth QD_GUARDED_BY(bmPadlock) = 0;
  qdString bmTempDir;
  int32_t bmMaxRAM QD_GUARDED_BY(bmPadlock) = 0;
  // Mapped budget per class (recently used, frequently used), pages.
  uint32_t bmMaxPages[2] QD_GUARDED_BY(bmPadlock) = {0, 0};
  std::atomic<int64_t> bmUsedMappedPages{0};
  // Tick of the last pass that freed nothing (0: the last one freed some).
  uint32_t bmLastCheckFailed QD_GUARDED_BY(bmPadlock) = 0;
  uint64_t bmBlockCacheHit QD_GUARDED_BY(bmPadlock) = 0;
  uint64_t bmBlockCacheMiss QD_GUARDED_BY(bmPadlock) = 0;
  uint64_t bmBlockCacheEvict QD_GUARDED_BY(bmPadlock) = 0;
  std::unique_ptr<TqdBaseTempStorage> bmTempStorage QD_GUARDED_BY(bmPadlock);
  TqdReadOnlyBlock* bmInUseListHead QD_GUARDED_BY(bmPadlock) = nullptr;
  TqdReadOnlyBlock* bmInUseListTail QD_GUARDED_BY(bmPadlock) = nullptr;
  uint32_t bmInUseCount QD_GUARDED_BY(bmPadlock) = 0;
  TqdLSN bmCurrentLSN QD_GUARDED_BY(bmPadlock) = 0;
  TqdBaseReplicationLog* bmReplicationLog = nullptr;
  std::atomic<uint64_t> bmBlocksRead{0};
  std::atomic<uint64_t> bmBlocksWritten{0};
  std::vector<TqdScratchBlock*> bmScratchSlots QD_GUARDED_BY(bmPadlock);
  std::vector<uint32_t> bmScratchGenerations QD_GUARDED_BY(bmPadlock);
  std::vector<uint32_t> bmFreeScratchSlots QD_GUARDED_BY(bmPadlock);
  // Snapshot identifiers in use (bit set), their transactions, and the
  // number of live snapshot transactions.
  std::vector<uint8_t> bmSnapShotFlags QD_GUARDED_BY(bmPadlock);
  std::vector<TqdBaseTransaction*> bmSnapShotTrans QD_GUARDED_BY(bmPadlock);
  int32_t bmActiveSnapShotCount QD_GUARDED_BY(bmPadlock) = 0;
  TqdTransactionCounts bmTransCounts QD_GUARDED_BY(bmPadlock);
  // Raised, under bmFlushLock, whenever a flush ends; commits waiting for
  // a flush sleep on bmFlushDone. Taken after the cache lock, never before.
  std::mutex bmFlushLock;
  std::condition_variable bmFlushDone;
  std::atomic<uint64_t> bmFlushGeneration{0};
};

// Holds the cache lock for a scope.
class QD_SCOPED_CAPABILITY TqdCacheLockGuard {
 public:
  explicit TqdCacheLockGuard(TqdBufferManager* aBufferManager) QD_ACQUIRE(aBufferManager->bmPadlock)
      : fBufferManager(aBufferManager) {
    fBufferManager->Lock();
  }
  ~TqdCacheLockGuard() QD_RELEASE() { fBufferManager->Unlock(); }
  TqdCacheLockGuard(const TqdCacheLockGuard&) = delete;
  TqdCacheLockGuard& operator=(const TqdCacheLockGuard&) = delete;

 private:
  TqdBufferManager* fBufferManager;
};

inline void TqdBlockRef::Release() {
  TqdReadOnlyBlock* owner = brOwner;
  brBlock = nullptr;
  brOwner = nullptr;
  brWritable = false;
  if (owner != nullptr) owner->Release();
}

// --- Header formats (abstract) -----------------------------------------------------------

// The class of a header format: what is known of a format before a file
// uses it.
struct TqdFileHeaderFormatClass {
  const char* hfcClassName;
  // Formats block 0 (non-empty aSignature) or copies its fields into the
  // file (empty aSignature).
  std::unique_ptr<TqdBaseFileHeaderAccessFactory> (*hfcCreate)(const TqdBlockSignature& aSignature, TqdBaseFile* aFile,
                                                               PqdBlock aHeader);
  // Refuses a dictionary the format cannot serve (nil: accepts all).
  void (*hfcCheckDictionary)(TqdDataDictionary* aDataDictionary, bool aForBuild);
  int32_t hfcAdditionalReservedSpace;
};

// One per open file: formats and reads block 0, checks every block's
// identity and makes header accesses.
class TqdBaseFileHeaderAccessFactory : public TqdObject {
 public:
  explicit TqdBaseFileHeaderAccessFactory(TqdBaseFile* aFile) : bfhafFile(aFile) {}

  // The registry of formats by signature (case-insensitive). Filled at
  // start-up and only read afterwards.
  static void Register(const TqdBlockSignature& aSignature, const TqdFileHeaderFormatClass* aClass);
  static void UnRegister(const TqdFileHeaderFormatClass* aClass);
  // aSignature empty: the format named by the first 4 bytes of aHeader
  // reads it; else the format aSignature formats aHeader.
  static std::unique_ptr<TqdBaseFileHeaderAccessFactory> CreateFactory(const TqdBlockSignature& aSignature,
                                                                       PqdBlock aHeader, TqdBaseFile* aFile);
  // Refuses a dictionary whose header signature names no format (15504) or
  // whose format cannot serve it.
  static void CheckValid(TqdDataDictionary* aDataDictionary, bool aForBuild);
  static int32_t GetAdditionalReservedSpace(const TqdBlockSignature& aSignature);

  virtual void InitChecksum(PqdBlock aHeader, bool aCreating);
  virtual std::unique_ptr<TqdBaseFileHeaderAccess> CreateFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty,
                                                                          TqdBlockAccess* aBlockAccess) = 0;
  // Raises 8962 unless aBlock is block aBlockNum (and, for a format with
  // owners, owned by aID when aID is not 0).
  virtual void VerifyID(const uint8_t* aBlock, TqdBlockNumber aBlockNum, int32_t aID);
  // Checks an image before it is written.
  virtual void ValidateBlock(const uint8_t* aBlock, TqdBlockNumber aBlockNum);
  virtual int32_t GetID(const uint8_t* aBlock);
  virtual uint32_t GetUsedBlocks(const uint8_t* aHeader) = 0;
  virtual uint8_t* GetEncryptionEngineHeader(uint8_t* aHeader);
  virtual uint8_t* GetTableChecksum(uint8_t* aHeader);
  virtual int32_t GetAdditionalReservedSpace();
  // Checks every field of a block 0 read from the file before anything
  // uses it; aBytes of it are present. Raises 8961.
  virtual void CheckHeader(const uint8_t* aHeader, uint32_t aBytes) = 0;

  TqdBaseFile* bfhafFile;
};

// Access to block 0 (or a nested table's header block) for one operation
// under one transaction.
class TqdBaseFileHeaderAccess : public TqdObject {
 public:
  TqdBaseFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty, TqdBlockAccess* aBlockAccess);
  ~TqdBaseFileHeaderAccess() override;

  virtual uint32_t UsedBlocks() = 0;
  virtual uint32_t AvailableBlocks() = 0;
  virtual void LoadHeader(TqdBaseTransaction* aTrans);
  // A new block owned by aID, dirty under aTrans.
  virtual TqdBlockRef GetNewBlock(TqdBaseTransaction* aTrans, int32_t aID) = 0;
  // Frees the block whose dirty image aBlock holds; the reference is
  // consumed.
  virtual void DeleteBlock(TqdBaseTransaction* aTrans, TqdBlockRef& aBlock) = 0;
  virtual uint16_t RegisterHeaderSection(const qdAnsiString& aName, uint8_t aSize, bool aCreate, bool aOverwrite) = 0;
  virtual void ChangePassword(const qdString& aNewPassword);

  void MarkDirty(TqdBaseTransaction* aTrans);
  TqdBlockAccess* BlockAccess() const { return bfhaBlockAccess; }
  bool IsDirty() const { return bfhaIsDirty; }
  TqdLSN CurrentLSN() const { return qdBlockLSN(Header()); }
  const uint8_t* Header() const { return bfhaHeader.Data(); }
  uint8_t* WritableHeader() const { return bfhaHeader.WritableData(); }

 protected:
  // Second-stage construction: the derived class's LoadHeader must be
  // callable, so derived constructors call this.
  void Init(TqdBaseTransaction* aTrans, bool aMarkDirty);

  TqdBaseFile* bfhaHeaderFile;
  bool bfhaIsDirty = false;
  TqdBlockRef bfhaHeader;
  TqdBlockAccess* bfhaBlockAccess;
  std::unique_ptr<TqdBaseFileHeaderAccess> bfhaMainHeader;
};

// The exact message of a block whose stored number is wrong (8962).
[[noreturn]] void qdRaiseBlockNumberMismatch(TqdBlockNumber aExpected, TqdBlockNumber aFound, const qdString& aFileName,
                                             const char* aFile = __builtin_FILE(), int aLine = __builtin_LINE());

void qdsrBufferManagerInitialize();
void qdsrBufferManagerFinalize();

}  // namespace qd
