// What the server engine does with the storage layer, reduced to what the
// storage tests need: a transaction class with the owner's commit and
// rollback pattern, a table file opened or created the way the server opens
// it, and a scoped switch to another file system.
#pragma once

#include <memory>
#include <string>

#include "platform/qdStrings.h"
#include "storage/qdseHeaderAccess.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFaultFileSystem.h"
#include "storage/qdsrFilePosix.h"

namespace qd::test {

// Commits and rolls back level by level as the server's transaction does:
// a nested commit merges into the level below, a level-0 commit flushes.
class TqdTestTransaction final : public TqdBaseTransaction {
 public:
  explicit TqdTestTransaction(TqdBufferManager* aBufferManager)
      : TqdBaseTransaction(aBufferManager, nullptr, false, false) {}
  void Commit() override;
  void Rollback() override;
  bool Finished() const { return TransLevel() == nullptr; }
};

struct TqdTestTableOptions {
  TqdBlockSize toBlockSize = qdbs4k;
  uint32_t toInitialSize = 1;
  uint32_t toGrowSize = 1;
  TqdShareMode toShareMode = smExclusive;
  TqdOpenMode toOpenMode = omReadWrite;
  bool toOverwrite = false;
  // An encryption engine's name ("" for a plain file) and the passwords
  // given when the file is created or opened.
  qdString toEncryptionEngine{};
  TqdUnicodeStrings toPasswords{};
};

// One table file added to a cache, with the block access of its root table.
class TqdTestTable {
 public:
  // A new "QD!2" file, committed (so it exists under its name).
  static std::unique_ptr<TqdTestTable> Create(TqdBufferManager* aCache, const std::string& aName,
                                              const TqdTestTableOptions& aOptions = {});
  // An existing file, added to the cache (its header read and checked).
  static std::unique_ptr<TqdTestTable> Open(TqdBufferManager* aCache, const std::string& aName,
                                            const TqdTestTableOptions& aOptions = {});
  ~TqdTestTable();

  TqdPosixFile* File() const { return fFile; }
  TqdBlockAccess& Access() { return *fAccess; }
  TqdBufferManager* Cache() const { return fCache; }

 private:
  TqdTestTable(TqdBufferManager* aCache, TqdPosixFile* aFile);

  TqdBufferManager* fCache;
  TqdPosixFile* fFile;
  std::unique_ptr<TqdBlockAccess> fAccess;
};

// Installs a file system for the scope.
class TqdScopedFileSystem {
 public:
  explicit TqdScopedFileSystem(TqdFileSystem* aFileSystem) : fPrevious(qdSetFileSystem(aFileSystem)) {}
  ~TqdScopedFileSystem() { qdSetFileSystem(fPrevious); }
  TqdScopedFileSystem(const TqdScopedFileSystem&) = delete;
  TqdScopedFileSystem& operator=(const TqdScopedFileSystem&) = delete;

 private:
  TqdFileSystem* fPrevious;
};

// An in-memory file system with the folder "/db" installed for the scope.
// It stands for one machine: a fatal flush error and tables waiting for
// recovery, set while it is installed, end with it as they would with the
// process.
class TqdFaultFixture {
 public:
  TqdFaultFixture() : fScope(&fFileSystem) { fFileSystem.AddFolder("/db"); }
  ~TqdFaultFixture() {
    qdFaultClearFatalError();
    qdClearTableUnrecovered(u"/db/");
  }
  TqdFaultFileSystem& Fs() { return fFileSystem; }

 private:
  TqdFaultFileSystem fFileSystem;
  TqdScopedFileSystem fScope;
};

// The error code of what aAction raises, 0 when it raises nothing.
template <typename F>
TqdResult CodeOf(F&& aAction) {
  try {
    aAction();
  } catch (const EqdBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// The error text of what aAction raises, as the user reads it (without code
// and prefix; the code's own text when the exception carries none), empty
// when it raises nothing.
template <typename F>
std::string TextOf(F&& aAction) {
  try {
    aAction();
  } catch (const EqdBaseException& e) {
    return StringToUtf8(e.ProcessedErrorString());
  }
  return {};
}

// The UTF-8 message of what aAction raises, empty when nothing.
template <typename F>
std::string MessageOf(F&& aAction) {
  try {
    aAction();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace qd::test
