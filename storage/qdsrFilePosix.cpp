#include "storage/qdsrFilePosix.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/qdFormat.h"
#include "storage/qdsrEncryptionEngineBase.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrFilePosix";

std::atomic<uint32_t> createCounter{0};

qdString errorText(int aError) {
  char buffer[256];
  // The GNU variant returns the text, which may or may not live in buffer.
  const char* text = strerror_r(aError, buffer, sizeof buffer);
  return Utf8ToString(text);
}

// Category of a queued block in the write order: new blocks beyond the end
// first, then existing ones, then blocks 1 and 2, block 0 last.
int writeCategory(TqdBlockNumber aNumber, uint64_t aCurrentBlocks) {
  if (aNumber == 0) return 3;
  if (aNumber < 3) return 2;
  return aNumber >= aCurrentBlocks ? 0 : 1;
}

}  // namespace

TqdPosixFile::TqdPosixFile() : dfiFileSystem(&qdFileSystem()) { dfiWriteRequest.reserve(512); }

TqdPosixFile::~TqdPosixFile() {
  // Closing is the owner's business; a file still open here is
  // closed quietly so that no descriptor or temporary file leaks.
  if (dfiHandle) {
    (void)dfiHandle->Close();  // nothing to report to from a destructor
    if (dfiPublishPending) (void)dfiFileSystem->Delete(dfiCreateName);
  }
}

TqdBaseFile* TqdPosixFile::CreateInstance() { return new TqdPosixFile(); }

std::string TqdPosixFile::OSName() const { return StringToUtf8(fiName); }

void TqdPosixFile::RaiseOSError(TqdResult aCode, const char16_t* aFormat, int aError) {
  throw EqdPosixFileException(aCode, aFormat, {FileName(), aError, errorText(aError)});
}

void TqdPosixFile::CheckOpen() {
  if (fiName.empty()) throw EqdPosixFileException(qdeBadFileData);
  if (FileIsOpen()) return;
  if (dfiOpenError != 0)
    RaiseOSError(qdeFileNoAccess, u"INTERNAL: File could not be opened [%s, error %d, %s]", dfiOpenError);
  throw EqdPosixFileException(qdeBadFileData);
}

bool TqdPosixFile::FileIsOpen() { return dfiTemporaryOpen || dfiHandle != nullptr; }

void TqdPosixFile::OpenFile(TqdOpenMode aOpenMode, TqdShareMode aShareMode, bool aWriteThru, bool aCreateFile,
                            bool aOverwrite) {
  if (FileIsOpen() || fiName.empty()) throw EqdPosixFileException(qdeBadFileData);
  dfiOpenError = 0;
  fiIsLink = false;
  dfiSyncError = 0;
  TqdOpenMode mode = aOpenMode;
  if (fiAttributes.Contains(qdfaTemporary)) {
    dfiTemporaryOpen = true;
  } else {
    const std::string name = OSName();
    TqdOSOpenRequest request;
    request.orLock = aShareMode == smExclusive ? flkExclusive : flkShared;
    int error = 0;
    if (aCreateFile) {
      // The table appears under its name only once block 0 is on disk.
      TqdFileAttributesInfo info;
      error = dfiFileSystem->Attributes(name, info);
      if (error == 0 && info.faExists && !aOverwrite) error = EEXIST;
      if (error == 0) {
        mode = omReadWrite;
        request.orRead = request.orWrite = true;
        request.orCreateExclusive = true;
        dfiCreateName = name + ".~qd" + std::to_string(::getpid()) + "-" + std::to_string(++createCounter);
        error = dfiFileSystem->Open(dfiCreateName, request, dfiHandle);
      }
      if (error == 0) {
        dfiPublishPending = true;
        dfiOverwrite = aOverwrite;
      }
    } else {
      TqdFileAttributesInfo info;
      if (dfiFileSystem->Attributes(name, info) == 0 && info.faExists) {
        if (info.faReadOnly) mode = omReadOnly;
        fiIsLink = info.faIsLink;
      }
      request.orRead = mode != omWriteOnly;
      request.orWrite = mode != omReadOnly;
      error = dfiFileSystem->Open(name, request, dfiHandle);
    }
    if (error != 0) {
      dfiOpenError = error;
      dfiHandle.reset();
      RaiseOSError(qdeFileNoAccess, u"INTERNAL: File could not be opened [%s, error %d, %s]", error);
    }
  }
  fiOpenMode = mode;
  fiShareMode = aShareMode;
  fiWriteThru = aWriteThru;
  dfiPosition = 0;
}

void TqdPosixFile::CloseFile() {
  if (dfiOpenError != 0) {
    dfiOpenError = 0;
    return;
  }
  CheckOpen();
  if (fiBufMgr != nullptr) {
    TqdCacheLockGuard guard(fiBufMgr);
    if (!dfiWriteRequest.empty()) qdAssertFailed(kUnit, "a file is closed with blocks still queued for writing");
  }
  if (dfiTemporaryOpen) {
    dfiTemporaryOpen = false;
    return;
  }
  std::unique_ptr<TqdOSFile> handle = std::move(dfiHandle);
  const int error = handle->Close();
  if (dfiPublishPending) {
    // Never committed: the table does not exist.
    (void)dfiFileSystem->Delete(dfiCreateName);  // a leftover temporary name harms nobody
    dfiPublishPending = false;
  }
  if (error != 0) RaiseOSError(qdeCloseFailed, u"INTERNAL: File could not be closed [%s, error %d, %s]", error);
}

int64_t TqdPosixFile::PositionFileEOF() {
  dfiPosition = FileSize();
  return dfiPosition;
}

int64_t TqdPosixFile::FileSize() {
  CheckOpen();
  if (dfiTemporaryOpen) {
    // Whole blocks, like every other file, so that the block count is the
    // size divided by the block size.
    if (fiBufMgr == nullptr) return 0;
    TqdCacheLockGuard guard(fiBufMgr);
    return int64_t(fiBlockCount) * BlockSizeBytes();
  }
  int64_t size = 0;
  if (int error = dfiHandle->Size(size))
    RaiseOSError(qdeReadErr, u"INTERNAL: Error when getting size of file [%s, error %d, %s]", error);
  return size;
}

uint32_t TqdPosixFile::ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  CheckOpen();
  if (dfiTemporaryOpen) throw EqdPosixFileException(qdeBadFileData);
  size_t done = 0;
  if (int error = dfiHandle->PRead(aOffset, aBuffer, aToRead, done))
    RaiseOSError(qdeReadErr, u"INTERNAL: Error when reading from file [%s, error %d, %s]", error);
  return uint32_t(done);
}

void TqdPosixFile::ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  if (ReadFileAt(aOffset, aToRead, aBuffer) != aToRead)
    throw EqdPosixFileException(qdeReadErr, u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]",
                                {FileName(), aToRead});
}

uint32_t TqdPosixFile::ReadFile(uint32_t aToRead, void* aBuffer) {
  const uint32_t done = ReadFileAt(dfiPosition, aToRead, aBuffer);
  dfiPosition += done;
  return done;
}

void TqdPosixFile::ReadFileExact(uint32_t aToRead, void* aBuffer) {
  ReadFileExactAt(dfiPosition, aToRead, aBuffer);
  dfiPosition += aToRead;
}

void TqdPosixFile::WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) {
  CheckOpen();
  if (dfiTemporaryOpen) throw EqdPosixFileException(qdeBadFileData);
  if (dfiSyncError != 0)
    RaiseOSError(qdeWriteErr, u"INTERNAL: Error when flushing file [%s, error %d, %s]", dfiSyncError);
  size_t done = 0;
  if (int error = dfiHandle->PWrite(aOffset, aBuffer, aToWrite, done))
    RaiseOSError(qdeWriteErr, u"INTERNAL: Error when writing to file [%s, error %d, %s]", error);
  if (done != aToWrite)
    throw EqdPosixFileException(qdeWriteErr, u"INTERNAL: Could not write exact number of bytes to file [%s, %d bytes]",
                                {FileName(), aToWrite});
}

void TqdPosixFile::WriteFileExact(uint32_t aToWrite, const void* aBuffer) {
  WriteFileExactAt(dfiPosition, aToWrite, aBuffer);
  dfiPosition += aToWrite;
}

int64_t TqdPosixFile::CalcMaxFileSize() {
  if (fiAttributes.Contains(qdfaTemporary)) return 0;
  return dfiFileSystem->MaxFileSize(dfiPublishPending ? dfiCreateName : OSName());
}

void TqdPosixFile::ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer,
                                          std::vector<uint8_t>& aCookie) {
  aCookie.clear();
  ReadFileExactAt(aOffset, aToRead, aBuffer);
  if (!fiEncryptionEngine) return;
  // Block 0 stays plain, so that a file names its engine to a reader
  // without a password.
  if (aOffset == 0)
    fiEncryptionEngine->VerifyHeaderChecksum(aBuffer, aToRead);
  else
    fiEncryptionEngine->DecodeBlockEx(aBuffer, aToRead, uint32_t(aOffset >> BlockShift()), aCookie);
}

void TqdPosixFile::WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer,
                                           std::vector<uint8_t>& aCookie) {
  CheckOpen();
  if (!fiEncryptionEngine) {
    WriteFileExactAt(aOffset, aToWrite, aBuffer);
    return;
  }
  if (aOffset == 0) {
    fiEncryptionEngine->UpdateHeaderChecksum(aBuffer, aToWrite);
    WriteFileExactAt(aOffset, aToWrite, aBuffer);
    return;
  }
  // The cached image stays plain: the file gets an enciphered copy.
  TqdCacheBlock scratch(fiBlockSize);
  PqdBlock coded = scratch.Block();
  fiEncryptionEngine->CodeBlockEx(aBuffer, coded, aToWrite, uint32_t(aOffset >> BlockShift()), aCookie, fiChecksum);
  WriteFileExactAt(aOffset, aToWrite, coded);
}

void TqdPosixFile::ReadBlock(TqdReadOnlyBlock* aBlock) {
  PqdBlock target = aBlock->LoadTarget();
  if (target == nullptr && aBlock->CacheBlock() != nullptr) target = aBlock->CacheBlock()->Block();
  if (target == nullptr) qdAssertFailed(kUnit, "block read without memory to read into");
  ReadDecryptFileExactAt(int64_t(aBlock->BlockNumber()) << BlockShift(), BlockSizeBytes(), target,
                         aBlock->EncryptionCookie());
  if (fiBufMgr != nullptr) fiBufMgr->CountBlockRead();
}

void TqdPosixFile::WriteBlock(TqdReadOnlyBlock* aBlock) {
  aBlock->SetUnwritten(true);
  dfiWriteRequest.push_back(aBlock);
}

std::vector<TqdReadOnlyBlock*> TqdPosixFile::WriteRequests() {
  if (fiBufMgr == nullptr) return {};
  TqdCacheLockGuard guard(fiBufMgr);
  return dfiWriteRequest;
}

void TqdPosixFile::RollbackUnwritten() {
  if (fiBufMgr == nullptr) return;
  TqdCacheLockGuard guard(fiBufMgr);
  if (dfiWriteRequest.empty()) return;
  // A block queued twice is forgotten once.
  std::vector<TqdReadOnlyBlock*> queued = std::move(dfiWriteRequest);
  dfiWriteRequest.clear();
  std::sort(queued.begin(), queued.end());
  queued.erase(std::unique(queued.begin(), queued.end()), queued.end());
  for (TqdReadOnlyBlock* block : queued)
    if (block->RollbackUnwritten()) fiBufMgr->ForgetBlock(block);
}

void TqdPosixFile::PrepareFlushFile() {
  if (fiAttributes.Contains(qdfaTemporary) || fiBufMgr == nullptr) return;
  {
    TqdCacheLockGuard guard(fiBufMgr);
    if (dfiWriteRequest.empty()) return;
  }
  CheckOpen();
  int64_t size = 0;
  if (int error = dfiHandle->Size(size))
    RaiseOSError(qdeReadErr, u"INTERNAL: Error when getting size of file [%s, error %d, %s]", error);
  const uint64_t current = uint64_t(size) >> BlockShift();
  TqdCacheLockGuard guard(fiBufMgr);
  std::stable_sort(dfiWriteRequest.begin(), dfiWriteRequest.end(),
                   [current](const TqdReadOnlyBlock* aLeft, const TqdReadOnlyBlock* aRight) {
                     const int left = writeCategory(aLeft->BlockNumber(), current);
                     const int right = writeCategory(aRight->BlockNumber(), current);
                     if (left != right) return left < right;
                     return aLeft->BlockNumber() < aRight->BlockNumber();
                   });
  uint64_t needed = std::max<uint64_t>(3, fiInitialSize);
  for (const TqdReadOnlyBlock* block : dfiWriteRequest)
    if (writeCategory(block->BlockNumber(), current) == 0) needed = std::max<uint64_t>(needed, block->BlockNumber());
  if (needed < current) return;
  const uint64_t grow = std::max<uint64_t>(fiGrowSize, needed / 10);
  const uint64_t blocks = grow > 1 && fiInitialSize < needed ? (needed / grow + 1) * grow : needed + 1;
  if (int error = dfiHandle->Truncate(int64_t(blocks << BlockShift())))
    RaiseOSError(qdeWriteErr, u"INTERNAL: Error when setting end-of-file [%s, error %d, %s]", error);
}

void TqdPosixFile::FlushFile(bool aFailSafe, TqdBaseReplicationLog* aReplicationLog) {
  CheckOpen();
  if (dfiTemporaryOpen) return;
  if (dfiSyncError != 0)
    RaiseOSError(qdeWriteErr, u"INTERNAL: Error when flushing file [%s, error %d, %s]", dfiSyncError);
  TqdBaseReplicationLog* log = fiAttributes.Contains(qdfaReplicationLog) ? aReplicationLog : nullptr;
  // The queue as the commit left it, each block with a reference that
  // keeps its committed image in place while it is written.
  std::vector<TqdReadOnlyBlock*> queued;
  if (fiBufMgr != nullptr) {
    TqdCacheLockGuard guard(fiBufMgr);
    queued = dfiWriteRequest;
    for (TqdReadOnlyBlock* block : queued) block->AddRef();
  }
  struct TqdRefDrop {
    std::vector<TqdReadOnlyBlock*>& fBlocks;
    ~TqdRefDrop() {
      for (TqdReadOnlyBlock* block : fBlocks) block->Release();
    }
  } drop{queued};
  if (!queued.empty()) {
    if (log != nullptr) log->BeginFile(fiLogAlias, fiLogTable, fiLogFile, fiBlockSize);
    int64_t last = -2;
    for (TqdReadOnlyBlock* block : queued) {
      const TqdBlockNumber number = block->BlockNumber();
      if (int64_t(number) == last) continue;
      fiBufMgr->CountBlockWritten();
      // A block whose last version was discarded has no image; it goes out
      // as zeros.
      PqdBlock data =
          block->CacheBlock() != nullptr ? block->CacheBlock()->Block() : const_cast<PqdBlock>(qdZeroBlockBytes());
      if (block->CacheBlock() != nullptr && fiHeaderAccessFactory) fiHeaderAccessFactory->ValidateBlock(data, number);
      if (log != nullptr) log->WriteBlock(number, block->LSN(), data);
      WriteEncryptFileExactAt(int64_t(number) << BlockShift(), BlockSizeBytes(), data, block->EncryptionCookie());
      last = number;
    }
    if (log != nullptr) log->EndFile();
    TqdCacheLockGuard guard(fiBufMgr);
    for (TqdReadOnlyBlock* block : queued) block->SetUnwritten(false);
    // Only what was written leaves the queue.
    dfiWriteRequest.erase(dfiWriteRequest.begin(), dfiWriteRequest.begin() + std::ptrdiff_t(queued.size()));
  }
  if (aFailSafe || dfiPublishPending) {
    if (int error = dfiHandle->DataSync()) {
      dfiSyncError = error;
      RaiseOSError(qdeWriteErr, u"INTERNAL: Error when flushing file [%s, error %d, %s]", error);
    }
  }
  if (dfiPublishPending) Publish();
}

void TqdPosixFile::Publish() {
  const std::string finalName = OSName();
  if (int error = dfiFileSystem->Rename(dfiCreateName, finalName, dfiOverwrite)) {
    errno = error;
    throw EqdPosixFileException(qdeRenameFailed, u"RenameFile (from \"%s\" to \"%s\") [error %d, %s]",
                                {Utf8ToString(dfiCreateName), FileName(), error, errorText(error)});
  }
  dfiPublishPending = false;
  dfiCreateName.clear();
  if (int error = dfiFileSystem->SyncFolder(qdFolderOf(finalName)))
    RaiseOSError(qdeWriteErr, u"INTERNAL: Error when flushing file [%s, error %d, %s]", error);
}

qdString TqdPosixFile::GetFileID() {
  if (fiAttributes.Contains(qdfaTemporary)) return TqdBaseFile::GetFileID();
  qdString result = Utf8ToString(dfiFileSystem->CanonicalName(OSName()));
  TqdOSFileIdentity identity;
  if (dfiHandle != nullptr && dfiHandle->Identity(identity) == 0) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, ";%" PRIX64 ":%" PRIX64, identity.fidDevice, identity.fidInode);
    result += Utf8ToString(buffer);
    if (identity.fidHasBirthTime) {
      std::snprintf(buffer, sizeof buffer, ";%" PRId64 ".%09u", identity.fidBirthSeconds, identity.fidBirthNanoseconds);
      result += Utf8ToString(buffer);
    }
  }
  return result;
}

int64_t qdCalcMaxFileSize(const qdString& aPath) { return qdFileSystem().MaxFileSize(StringToUtf8(aPath)); }

void qdsrFilePosixInitialize() {
  if (TqdBaseFile::DefaultFileInfoClass == nullptr) TqdBaseFile::DefaultFileInfoClass = &TqdPosixFile::CreateInstance;
  if (TqdBaseFile::TableFileInfoClass == nullptr) TqdBaseFile::TableFileInfoClass = &TqdPosixFile::CreateInstance;
}

void qdsrFilePosixFinalize() {
  if (TqdBaseFile::DefaultFileInfoClass == &TqdPosixFile::CreateInstance) TqdBaseFile::DefaultFileInfoClass = nullptr;
  if (TqdBaseFile::TableFileInfoClass == &TqdPosixFile::CreateInstance) TqdBaseFile::TableFileInfoClass = nullptr;
}

}  // namespace qd
