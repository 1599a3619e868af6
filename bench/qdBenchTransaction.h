// The transaction the benchmarks commit with, as the server will: a journal
// of the process's journal class in the table's folder, named after the
// transaction's LSN, and the flush after the level-0 commit. Benchmarks that
// measure the cache alone commit without a journal.
#pragma once

#include <string>

#include "platform/qdStrings.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileHandling.h"

namespace qd {

class TqdBenchTransaction final : public TqdBaseTransaction {
 public:
  explicit TqdBenchTransaction(TqdBufferManager* aCache) : TqdBaseTransaction(aCache, nullptr, false, false) {}
  TqdBenchTransaction(TqdBufferManager* aCache, const qdString& aFolder)
      : TqdBaseTransaction(aCache, nullptr, false, false) {
    const qdString name = qdJoinPath(aFolder, qdJoinFileExt(Utf8ToString(std::to_string(btLSN)), kJournalExtension));
    SetJournal(qdPersistentJournalEngineClass()->Create(name));
  }
  void Commit() override {
    TqdFlushList list;
    btBufferManager->CommitTransaction(this, &list, false);
    delete TransLevel();
    list.Flush(false);
  }
  void Rollback() override {
    btBufferManager->RollbackTransaction(this);
    delete TransLevel();
  }
};

}  // namespace qd
