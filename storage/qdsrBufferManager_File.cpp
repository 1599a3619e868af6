// The table file's own work: allocation by class, names, block 0 of a new or
// an existing file, block iteration and transaction membership.
#include "storage/qdsrBufferManager.h"

#include <unistd.h>

#include <atomic>
#include <climits>

#include "platform/qdFormat.h"
#include "storage/qdsrEncryptionEngineBase.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrBufferManager";

std::atomic<uint32_t> fileSerialCounter{0};

qdString folderPart(const qdString& aName) {
  const size_t slash = aName.find_last_of(u'/');
  return slash == qdString::npos ? qdString() : aName.substr(0, slash + 1);
}

qdString namePart(const qdString& aName) {
  const size_t slash = aName.find_last_of(u'/');
  return slash == qdString::npos ? aName : aName.substr(slash + 1);
}

qdString currentFolder() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return u"/";
  return Utf8ToString(buffer);
}

// A folder that exists is kept as it is; any other is made absolute. The
// result ends in '/'.
qdString normaliseFolder(const qdString& aFolder) {
  qdString folder = aFolder;
  qdString stripped = folder;
  while (stripped.size() > 1 && stripped.back() == u'/') stripped.pop_back();
  TqdFileAttributesInfo info;
  const bool exists = !stripped.empty() && qdFileSystem().Attributes(StringToUtf8(stripped), info) == 0 &&
                      info.faExists && info.faIsFolder;
  if (!exists && (folder.empty() || folder.front() != u'/')) {
    qdString base = currentFolder();
    if (base.empty() || base.back() != u'/') base.push_back(u'/');
    folder = base + folder;
  }
  if (folder.empty() || folder.back() != u'/') folder.push_back(u'/');
  return folder;
}

bool isTrimmed(char16_t aChar) { return aChar <= u' '; }

}  // namespace

TqdFileClass TqdBaseFile::DefaultFileInfoClass = nullptr;
TqdFileClass TqdBaseFile::TableFileInfoClass = nullptr;

TqdBaseFile::TqdBaseFile() : fiSerial(++fileSerialCounter) {}

TqdBaseFile::~TqdBaseFile() {
  // Snapshot transactions still linked to this file forget it.
  if (fiSnapShotLinkHead != nullptr && fiBufMgr != nullptr) {
    TqdCacheLockGuard guard(fiBufMgr);
    while (fiSnapShotLinkHead != nullptr) delete fiSnapShotLinkHead;
  }
}

TqdBaseFile* TqdBaseFile::Alloc(bool aForTable, const qdString& aName, TqdBufferManager* aBufMgr) {
  TqdFileClass fileClass = aForTable && TableFileInfoClass != nullptr ? TableFileInfoClass : DefaultFileInfoClass;
  if (fileClass == nullptr) qdAssertFailed(kUnit, "DefaultFileInfoClass not defined");
  std::unique_ptr<TqdBaseFile> file(fileClass());
  file->fiName = aName;
  file->fiPath = normaliseFolder(folderPart(aName));
  file->fiBufMgr = aBufMgr;
  return file.release();
}

qdString TqdBaseFile::ExpandRelativeFileName(const qdString& aFileName) {
  size_t first = 0;
  size_t last = aFileName.size();
  while (first < last && isTrimmed(aFileName[first])) ++first;
  while (last > first && isTrimmed(aFileName[last - 1])) --last;
  qdString name = aFileName.substr(first, last - first);
  if (!name.empty() && name.front() == u'/') return name;
  return normaliseFolder(fiPath) + name;
}

qdString TqdBaseFile::FileName() const {
  if (fiAttributes.Contains(qdfaTemporary)) return u"(memory)";
  return fiPath + namePart(fiName);
}

qdString TqdBaseFile::GetFileID() {
  // A temporary file has no name to compare; a serial number (never an
  // address) tells two of them apart.
  if (fiAttributes.Contains(qdfaTemporary)) return Format(u"%.8X", {fiSerial});
  return FileName();
}

uint32_t TqdBaseFile::PhysicalBlockCount() {
  const int64_t blocks = FileSize() >> BlockShift();
  return blocks > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(blocks);
}

void TqdBaseFile::ComputeMaxBlocks() {
  // A limit of 0 (unknown file system) means "no limit"; the largest count
  // still keeps every block number below the "none" marker.
  const int64_t limit = CalcMaxFileSize() >> BlockShift();
  fiMaxBlocks = limit <= 0 || limit > int64_t(kMaxBlockCount) ? kMaxBlockCount : uint32_t(limit);
}

TqdResult TqdBaseFile::ReadHeader(const TqdUnicodeStrings& aPasswords, bool& aIsReadOnly) {
  aIsReadOnly = false;
  fiHeaderAccessFactory.reset();
  // A table an interrupted commit left half-written stays shut until its
  // journal is recovered.
  qdCheckTableRecovered(FileName());
  TqdCacheBlock scratch(qdbs64k);
  PqdBlock header = scratch.Block();
  TqdResult result = 0;
  try {
    // A file too short for a header is no table file at all.
    if (FileSize() < int64_t(qdBlockSizeAllBytes(qdbs4k)))
      throw EqdFileHeaderAccessException(
          qdeCannotOpenFile, u"\"%s\" is not a QendoDB formatted file, or its file header is corrupt", {FileName()});
    ReadFileExactAt(0, qdBlockSizeAllBytes(qdbs4k), header);
    fiHeaderSignature = qdSignatureFromBytes(header);
    fiHeaderAccessFactory = TqdBaseFileHeaderAccessFactory::CreateFactory(TqdBlockSignature(), header, this);
    if (fiBlockSize != qdbs4k) ReadFileExactAt(0, BlockSizeBytes(), header);
    fiHeaderAccessFactory->CheckHeader(header, BlockSizeBytes());
    if (fiQendoVersion > 47501) {
      result = EqdBaseException::qdSetMessage(
          qdeNewerTableVersion,
          u"Table \"%s\" was created with version %5.4f of QendoDB, which is newer than this server's version (%5.4f).",
          {FileName(), double(fiQendoVersion) / 10000.0, 4.7501});
    } else {
      ComputeMaxBlocks();
      fiEncryptionEngine.reset();
      if (!fiEncryptionEngineName.empty()) {
        // Only the header area is needed; no other block is decoded before
        // a password has opened it.
        TqdBaseEncryptionEngine* engine = nullptr;
        result = TqdBaseEncryptionEngine::CreateEngine(fiEncryptionEngineName, aPasswords,
                                                       fiHeaderAccessFactory->GetEncryptionEngineHeader(header), false,
                                                       fiForServer, engine);
        fiEncryptionEngine.reset(engine);
        if (result == 0) fiEncryptionEngine->VerifyHeaderChecksum(header, BlockSizeBytes());
      }
    }
  } catch (...) {
    fiEncryptionEngine.reset();
    fiHeaderAccessFactory.reset();
    throw;
  }
  if (result != 0) {
    fiEncryptionEngine.reset();
    fiHeaderAccessFactory.reset();
  }
  return result;
}

TqdResult TqdBaseFile::AddHeader(TqdBaseTransaction* aTrans, const TqdUnicodeStrings& aPasswords,
                                 const TqdBlockSignature& aSignature) {
  if (uint8_t(fiBlockSize) > kMaxTableBlockSizeCode)
    throw EqdBaseFileException(qdeInvalidParam, u"Invalid block size code %d", {int32_t(fiBlockSize)});
  TqdBlockRef header = fiBufMgr->AddBlock(this, aTrans, 0);
  fiHeaderAccessFactory.reset();
  fiHeaderSignature = aSignature;
  fiHeaderAccessFactory = TqdBaseFileHeaderAccessFactory::CreateFactory(aSignature, header.WritableData(), this);
  // The limit is known from the start, so the block counter can never run
  // into the "none" marker.
  ComputeMaxBlocks();
  fiEncryptionEngine.reset();
  TqdResult result = 0;
  if (!fiEncryptionEngineName.empty()) {
    uint8_t* data = header.WritableData();
    TqdBaseEncryptionEngine* engine = nullptr;
    result = TqdBaseEncryptionEngine::CreateEngine(fiEncryptionEngineName, aPasswords,
                                                   fiHeaderAccessFactory->GetEncryptionEngineHeader(data), true,
                                                   fiForServer, engine);
    fiEncryptionEngine.reset(engine);
  }
  return result;
}

TqdBlockIteratorResult TqdBaseFile::IterateImpl(void* aCookie, bool aDecrypt, const TqdBlockCookieIterator& aIterator) {
  if (!aIterator) return birContinue;
  const uint32_t count = PhysicalBlockCount();
  TqdCacheBlock scratch(fiBlockSize);
  std::vector<uint8_t> cookie;
  for (uint32_t number = 0; number < count; ++number) {
    PqdBlock block = scratch.Block();
    try {
      if (aDecrypt)
        ReadDecryptFileExactAt(int64_t(number) << BlockShift(), BlockSizeBytes(), block, cookie);
      else
        ReadFileExactAt(int64_t(number) << BlockShift(), BlockSizeBytes(), block);
    } catch (const EqdBaseException&) {
      block = nullptr;
    }
    if (aIterator(aCookie, number, block, cookie) == birStop) return birStop;
  }
  return birContinue;
}

TqdBlockIteratorResult TqdBaseFile::IterateBlocks(void* aCookie, const TqdBlockIterator& aIterator) {
  if (!aIterator) return birContinue;
  return IterateImpl(aCookie, true,
                     [&](void* aC, TqdBlockNumber aNumber, PqdBlock aBlock, const std::vector<uint8_t>&) {
                       return aIterator(aC, aNumber, aBlock);
                     });
}

TqdBlockIteratorResult TqdBaseFile::IterateBlocksRaw(void* aCookie, const TqdBlockIterator& aIterator) {
  if (!aIterator) return birContinue;
  return IterateImpl(aCookie, false,
                     [&](void* aC, TqdBlockNumber aNumber, PqdBlock aBlock, const std::vector<uint8_t>&) {
                       return aIterator(aC, aNumber, aBlock);
                     });
}

TqdBlockIteratorResult TqdBaseFile::IterateBlockCookies(void* aCookie, const TqdBlockCookieIterator& aIterator) {
  return IterateImpl(aCookie, true, aIterator);
}

void TqdBaseFile::JoinTransaction(TqdBaseTransaction* aTrans) {
  if (aTrans == nullptr) qdAssertFailed(kUnit, "Must have a transaction in order to modify a File.");
  if (fiTrans == aTrans) return;
  if (fiTrans != nullptr)
    throw EqdBufferManagerException(qdeRecLocked, u"File \"%s\" is being changed by another transaction", {FileName()});
  // The level of the first join is kept: the file leaves the transaction
  // only when that level goes, since lower levels never hold its blocks.
  fiTrans = aTrans;
  fiTransLevel = aTrans->TransLevel();
  fiTransNext = nullptr;
  fiTransPrev = aTrans->btTransFileListTail;
  if (aTrans->btTransFileListTail != nullptr)
    aTrans->btTransFileListTail->fiTransNext = this;
  else
    aTrans->btTransFileListHead = this;
  aTrans->btTransFileListTail = this;
  fiTransUsedBlocks = fiUsedBlocks;
}

void TqdBaseFile::LeaveTransaction() {
  TqdBaseTransaction* trans = fiTrans;
  if (trans == nullptr) return;
  if (fiTransPrev != nullptr)
    fiTransPrev->fiTransNext = fiTransNext;
  else
    trans->btTransFileListHead = fiTransNext;
  if (fiTransNext != nullptr)
    fiTransNext->fiTransPrev = fiTransPrev;
  else
    trans->btTransFileListTail = fiTransPrev;
  fiTransNext = nullptr;
  fiTransPrev = nullptr;
  fiTrans = nullptr;
  fiTransLevel = nullptr;
}

}  // namespace qd
