#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {

void TqdTestTransaction::Commit() {
  TqdBaseTransactionLevel* level = TransLevel();
  if (!level->StopNested()) return;
  if (level->Level() > 0) {
    const TqdLSN lsn = level->tlLSN;
    btBufferManager->CommitTransaction(this, nullptr, false);
    TqdBaseTransactionLevel* below = level->tlPrev;
    delete level;
    below->tlLSN = lsn;
    return;
  }
  TqdFlushList list;
  btBufferManager->CommitTransaction(this, &list, false);
  list.Flush(false);
  delete level;
}

void TqdTestTransaction::Rollback() {
  TqdBaseTransactionLevel* level = TransLevel();
  if (!level->StopNested()) {
    level->tlState.Include(tlsCorrupted);
    return;
  }
  btBufferManager->RollbackTransaction(this);
  delete level;
}

TqdTestTable::TqdTestTable(TqdBufferManager* aCache, TqdPosixFile* aFile)
    : fCache(aCache), fFile(aFile), fAccess(std::make_unique<TqdBlockAccess>(aFile, nullptr, aFile->fiName, 0)) {}

TqdTestTable::~TqdTestTable() {
  fAccess.reset();
  fCache->RemoveFile(fFile);
  if (fFile->FileIsOpen()) fFile->CloseFile();
  delete fFile;
}

std::unique_ptr<TqdTestTable> TqdTestTable::Create(TqdBufferManager* aCache, const std::string& aName,
                                                   const TqdTestTableOptions& aOptions) {
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, Utf8ToString(aName), aCache));
  file->fiBlockSize = aOptions.toBlockSize;
  file->fiInitialSize = aOptions.toInitialSize;
  file->fiGrowSize = aOptions.toGrowSize;
  file->fiEncryptionEngineName = aOptions.toEncryptionEngine;
  std::unique_ptr<TqdTestTable> table(new TqdTestTable(aCache, file));
  file->OpenFile(omReadWrite, aOptions.toShareMode, false, true, aOptions.toOverwrite);
  TqdTestTransaction trans(aCache);
  const TqdResult result = file->AddHeader(&trans, aOptions.toPasswords, qdSignature("QD!2"));
  if (result != 0) {
    trans.Rollback();
    throw EqdBaseException(result);
  }
  trans.Commit();
  return table;
}

std::unique_ptr<TqdTestTable> TqdTestTable::Open(TqdBufferManager* aCache, const std::string& aName,
                                                 const TqdTestTableOptions& aOptions) {
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, Utf8ToString(aName), aCache));
  std::unique_ptr<TqdTestTable> table(new TqdTestTable(aCache, file));
  file->OpenFile(aOptions.toOpenMode, aOptions.toShareMode, false, false);
  TqdBlockRef header;
  bool readOnly = false;
  const TqdResult result = aCache->AddFile(file, nullptr, aOptions.toPasswords, false, header, readOnly);
  if (result != 0) throw EqdBaseException(result);
  return table;
}

}  // namespace qd::test
