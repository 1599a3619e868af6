// A process that commits to one table in a loop until it is killed; the
// storage tests start it, kill it at a random moment and check what its
// commits left on disk.
//
// Usage: qd_commit_loop_child <folder> <journal kind 0|1|2> [hold]
// The table "<folder>/k.qd1" holds a counter V: blocks 1..8 carry V, and
// every fourth commit appends a block carrying the value of its commit.
// After each commit returns, the child writes "V\n" to its standard output.
// With "hold" it makes one commit and stops it with its journal complete and
// locked and no table written (the table opened shared): it writes
// "held\n", waits for a line on its standard input, then flushes, writes
// "V\n" and ends.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/qdEngine.h"
#include "storage/qdseJournalEngine.h"
#include "tests/helpers/qdCommitLoopTable.h"
#include "tests/storage/qdsrTestServer.h"

int main(int argc, char** argv) {
  using namespace qd;
  using namespace qd::test;
  if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "hold") == 0)) {
    std::fprintf(stderr, "usage: %s <folder> <kind> [hold]\n", argv[0]);
    return 2;
  }
  const bool hold = argc == 4;
  qdEngineInitialize();
  const int kind = std::atoi(argv[2]);
  qdJournalEngineClass.store(kind == 0   ? &Tqd1xJournalEngine::ClassInfo
                             : kind == 1 ? &Tqd1xCommitJournalEngine::ClassInfo
                                         : &Tqd1xRollbackJournalEngine::ClassInfo);
  const std::string folder = argv[1];
  try {
    TqdBufferManager cache(u"/tmp");
    TqdTestTransactionMgr mgr(&cache, folder);
    // Held, the table is shared, so that another process can ask for it.
    TqdTestTableOptions options;
    options.toPasswords = {kCommitLoopPassword};
    if (hold) options.toShareMode = smShared;
    auto table = TqdTestTable::Open(&cache, folder + "/" + kCommitLoopTable, options);
    uint64_t value = CommitLoopValue(table->Access(), nullptr);
    for (;;) {
      ++value;
      TqdTestServerTransaction trans(&mgr);
      CommitLoopStep(table->Access(), &trans, value);
      if (hold) {
        trans.fPostCommit = [] {
          if (::write(STDOUT_FILENO, "held\n", 5) != 5) std::_Exit(3);
          char byte = 0;
          while (::read(STDIN_FILENO, &byte, 1) == 1 && byte != '\n') {
          }
        };
      }
      trans.Commit();
      char line[32];
      const int length = std::snprintf(line, sizeof line, "%llu\n", static_cast<unsigned long long>(value));
      if (::write(STDOUT_FILENO, line, size_t(length)) != length) return 3;
      if (hold) return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "commit loop: %s\n", e.what());
    return 1;
  }
}
