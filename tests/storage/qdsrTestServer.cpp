#include "tests/storage/qdsrTestServer.h"

#include <cstring>

#include "storage/qdsrFileHandling.h"

namespace qd::test {

std::unique_ptr<TqdBaseJournalEngine> TqdTestTransactionMgr::stmCreateJournal(int64_t aNumber) {
  if (fInMemory || fReadOnly) return nullptr;
  const TqdJournalEngineClass* type = qdPersistentJournalEngineClass();
  const qdString name =
      qdJoinPath(Utf8ToString(fFolder), qdJoinFileExt(Utf8ToString(std::to_string(aNumber)), kJournalExtension));
  return type->Create(name);
}

TqdJournalCheckResult TqdTestTransactionMgr::CheckFolder(const qdString& aAlias) {
  return qdPersistentJournalEngineClass()->Check(aAlias, Utf8ToString(fFolder));
}

TqdTestServerTransaction::TqdTestServerTransaction(TqdTestTransactionMgr* aMgr, bool aSnapshot)
    : TqdBaseTransaction(aMgr->btmBufferManager, nullptr, aSnapshot, false) {
  if (!aSnapshot) SetJournal(aMgr->CreateJournal(btLSN));
}

void TqdTestServerTransaction::Commit() {
  TqdBaseTransactionLevel* level = TransLevel();
  if (!level->StopNested()) return;
  if (level->Level() > 0) {
    const TqdLSN lsn = level->tlLSN;
    btBufferManager->CommitTransaction(this, nullptr, false);
    TqdBaseTransactionLevel* below = level->tlPrev;
    delete level;
    below->tlLSN = lsn;
    if (below->Level() == 0 && btWriteThroughCommit) {
      btWriteThroughCommit = false;
      btBufferManager->CommitTransaction(this, nullptr, true);
    }
    return;
  }
  TqdFlushList list;
  btBufferManager->CommitTransaction(this, &list, false);
  // The blocks are committed: whatever the flush does, the level is done.
  delete level;
  if (fPostCommit) fPostCommit();
  list.Flush(false);
}

void TqdTestServerTransaction::Rollback() {
  TqdBaseTransactionLevel* level = TransLevel();
  if (!level->StopNested()) {
    level->MarkCorrupted();
    return;
  }
  btBufferManager->RollbackTransaction(this);
  delete level;
}

void TqdTestServerTransaction::Deadlock(TqdBaseTransactionLevel* aLevel) {
  aLevel->MarkDeadlock();
  for (;;) {
    TqdBaseTransactionLevel* level = TransLevel();
    const bool last = level == aLevel;
    btBufferManager->RollbackTransactionLevel(level);
    delete level;
    if (last) return;
  }
}

void AddBlocks(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, TqdBlockNumber aCount, uint8_t aFill) {
  auto header = aAccess.HeaderAccess(aTrans, true);
  const uint32_t usable = aAccess.fiBlockSizeBytes();
  for (TqdBlockNumber i = 0; i < aCount; ++i) {
    TqdBlockRef block = header->GetNewBlock(aTrans, kTestOwner);
    std::memset(block.WritableData() + kBlockCommonHeaderSize, aFill, usable - kBlockCommonHeaderSize);
  }
}

void SetBlockByte(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, TqdBlockNumber aNumber, uint8_t aValue) {
  TqdBlockRef block = aAccess.GetBlock(aTrans, aNumber, kTestOwner, true);
  block.WritableData()[kBlockCommonHeaderSize + 7] = aValue;
}

uint8_t BlockByte(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, TqdBlockNumber aNumber) {
  return aAccess.GetBlock(aTrans, aNumber, kTestOwner, false).Data()[kBlockCommonHeaderSize + 7];
}

TqdTestTempTable::TqdTestTempTable(TqdBufferManager* aCache) : fCache(aCache) {
  fFile = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/temp", aCache));
  fFile->fiAttributes.Include(qdfaTemporary);
  fFile->OpenFile(omReadWrite, smExclusive, false, true);
  fAccess = std::make_unique<TqdBlockAccess>(fFile, nullptr, u"temp", 0);
  TqdTestTransaction trans(aCache);
  TqdBlockRef header;
  bool readOnly = false;
  qdRaiseIfError(aCache->AddFile(fFile, nullptr, {}, false, header, readOnly));
  header.Release();
  qdRaiseIfError(fFile->AddHeader(&trans, {}, qdSignature("QD!2")));
  trans.Commit();
}

TqdTestTempTable::~TqdTestTempTable() {
  fAccess.reset();
  fCache->RemoveFile(fFile);
  fFile->CloseFile();
  delete fFile;
}

std::vector<uint8_t> FileBlock(TqdFaultFileSystem& aFs, const std::string& aPath, TqdBlockNumber aNumber,
                               uint32_t aSize) {
  const std::vector<uint8_t> all = aFs.ReadAll(aPath);
  const size_t offset = size_t(aNumber) * aSize;
  if (all.size() < offset + aSize) return {};
  return std::vector<uint8_t>(all.begin() + long(offset), all.begin() + long(offset + aSize));
}

std::vector<std::string> JournalFiles(TqdFaultFileSystem& aFs) {
  std::vector<std::string> names;
  for (const std::string& name : aFs.FileNames())
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".n$2") == 0) names.push_back(name);
  return names;
}

std::vector<std::string> NonEmptyJournalFiles(TqdFaultFileSystem& aFs) {
  std::vector<std::string> names;
  for (const std::string& name : JournalFiles(aFs))
    if (!aFs.ReadAll(name).empty()) names.push_back(name);
  return names;
}

}  // namespace qd::test
