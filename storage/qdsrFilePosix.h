// The table file on a POSIX file descriptor.
//
// TqdPosixFile implements the operating-system operations of TqdBaseFile
// through the file-system seam (storage/qdsrFileSystem.h): positioned reads
// and writes, the end of file, data syncs, the size limit of the file system
// and the file's identity. It carries the cache's write path: committed
// blocks are queued (WriteBlock), and a flush orders the queue (new blocks
// beyond the end ascending, then existing blocks, then blocks 1 and 2, the
// header block 0 last), grows the file and writes every queued block once.
// One class serves tables and every other file: positioned I/O needs no
// second class on Linux.
//
// A new file is created under a temporary name next to its final name; the
// first flush writes and syncs it (block 0 included), renames it to its
// final name (never over an existing file unless overwriting was asked) and
// syncs the folder. Until then no file of that name exists, so a crash
// leaves either no table or a complete one. Closing a file that was never
// flushed deletes the temporary file.
//
// Sharing modes become flock locks: smExclusive is an exclusive lock,
// smShared and smShareRead are shared locks. A refused lock fails the open
// like any other open error (9221).
//
// After a failed data sync the file refuses further writes until it is
// reopened: the page cache may have dropped the failed pages, so a later
// sync that succeeds would prove nothing.
//
// Classes: TqdPosixFile (also unit routines qdCalcMaxFileSize).
//
// Locks: a file object is used by the thread that runs its transaction or
// commit. The write queue belongs to the cache lock: a level-0 commit
// appends to it under that lock, and a flush, which writes outside it,
// reads the queue and marks the written blocks under it. The cache keeps a
// second commit of the file waiting until the flush has ended.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdPosixFileException, EqdBaseFileException);

class TqdPosixFile : public TqdBaseFile {
 public:
  TqdPosixFile();
  ~TqdPosixFile() override;

  static TqdBaseFile* CreateInstance();

  void CloseFile() override;
  bool FileIsOpen() override;
  void PrepareFlushFile() override;
  void FlushFile(bool aFailSafe, TqdBaseReplicationLog* aReplicationLog) override;
  void OpenFile(TqdOpenMode aOpenMode, TqdShareMode aShareMode, bool aWriteThru, bool aCreateFile,
                bool aOverwrite = false) override;
  int64_t PositionFileEOF() override;
  int64_t FileSize() override;
  uint32_t ReadFile(uint32_t aToRead, void* aBuffer) override;
  void ReadFileExact(uint32_t aToRead, void* aBuffer) override;
  uint32_t ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) override;
  void ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) override;
  void WriteFileExact(uint32_t aToWrite, const void* aBuffer) override;
  void WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) override;
  int64_t CalcMaxFileSize() override;
  void ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer, std::vector<uint8_t>& aCookie) override;
  void WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer,
                               std::vector<uint8_t>& aCookie) override;
  void ReadBlock(TqdReadOnlyBlock* aBlock) override;
  void WriteBlock(TqdReadOnlyBlock* aBlock) override QD_REQUIRES(fiBufMgr->bmPadlock);
  void RollbackUnwritten() override;
  qdString GetFileID() override;

  // The file system this file uses (the process's current one by default);
  // set before opening.
  void SetFileSystem(TqdFileSystem* aFileSystem) { dfiFileSystem = aFileSystem; }
  // The queued blocks, in queue order (tests and diagnostics).
  std::vector<TqdReadOnlyBlock*> WriteRequests();
  // True until the first flush has given a new file its final name.
  bool PublishPending() const { return dfiPublishPending; }

  // The errno of the last failed open, 0 otherwise.
  int dfiOpenError = 0;

 private:
  void CheckOpen();
  [[noreturn]] void RaiseOSError(TqdResult aCode, const char16_t* aFormat, int aError);
  std::string OSName() const;
  void Publish();

  TqdFileSystem* dfiFileSystem;
  std::unique_ptr<TqdOSFile> dfiHandle;
  bool dfiTemporaryOpen = false;
  std::vector<TqdReadOnlyBlock*> dfiWriteRequest QD_GUARDED_BY(fiBufMgr->bmPadlock);
  int64_t dfiPosition = 0;
  // A new file lives under this name until its first flush.
  std::string dfiCreateName;
  bool dfiPublishPending = false;
  bool dfiOverwrite = false;
  // errno of a failed data sync; writes are refused while it is set.
  int dfiSyncError = 0;
};

// The size limit of files on the file system that holds aPath (0: unknown).
int64_t qdCalcMaxFileSize(const qdString& aPath);

void qdsrFilePosixInitialize();
void qdsrFilePosixFinalize();

}  // namespace qd
