// What the server tests share: a fixed machine (memory), a clock the test
// moves, a configuration held in memory, a small SQL engine whose statements
// do what the test tells them, and a started engine on real temporary
// folders.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

#include "foundation/qdllTypes.h"
#include "platform/qdMemoryStatus.h"
#include "server/qdsrServerDatabase.h"
#include "server/qdsrServerEngine.h"
#include "server/qdsrServerFolder.h"
#include "server/qdsrServerSession.h"
#include "server/qdsrServerStatement.h"
#include "server/qdsrTimeoutHandling.h"
#include "storage/qdsrSqlEngineBase.h"
#include "tests/support/qdTestFolder.h"

namespace qd::test {

// --- A machine of a given size ---------------------------------------------------

inline std::atomic<uint64_t> gTestTotalPhysMB{8192};
inline bool testMemoryStatus(TqdMemoryStatus& aStatus) {
  aStatus = TqdMemoryStatus{};
  aStatus.TotalPhys = gTestTotalPhysMB.load() * 1048576u;
  aStatus.AvailPhys = aStatus.TotalPhys / 2;
  return true;
}
class ScopedMemory {
 public:
  explicit ScopedMemory(uint64_t aTotalMB) : fPrevious(qdSetMemoryStatusSource(testMemoryStatus)) {
    gTestTotalPhysMB = aTotalMB;
  }
  ~ScopedMemory() { qdSetMemoryStatusSource(fPrevious); }

 private:
  TqdMemoryStatusSource fPrevious;
};

// --- A clock the test moves --------------------------------------------------------

inline std::atomic<uint64_t> gTestTicks{5'000'000};
inline uint64_t testTicks() { return gTestTicks.load(); }
class ScopedClock {
 public:
  ScopedClock() : fPrevious(qdSetTickSource(testTicks)) {}
  ~ScopedClock() { qdSetTickSource(fPrevious); }
  static void Advance(uint64_t aMs) { gTestTicks += aMs; }

 private:
  TqdTickSource fPrevious;
};

// --- A configuration in memory ---------------------------------------------------------

class MemoryServerConfiguration : public TqdBaseServerConfiguration {
 public:
  MemoryServerConfiguration() : TqdBaseServerConfiguration(u"memory") {}
  void EnsureComponentConfiguration(const qdString&, TqdBaseSettings*) override {}
  TqdBaseComponentConfiguration* GetComponentConfiguration(const qdString&) override { return nullptr; }
  void Save() override {}
};

class MemoryConfiguration : public TqdBaseComponentConfiguration {
 public:
  explicit MemoryConfiguration(TqdBaseServerConfiguration* aConfig = nullptr)
      : TqdBaseComponentConfiguration(aConfig) {}
  void SetValue(const qdString& aName, const TqdVariant& aValue) override { Values[aName] = aValue.AsString(); }
  TqdVariant GetValue(const qdString& aName, const TqdVariant& aDefault) override {
    auto it = Values.find(aName);
    if (it == Values.end()) return aDefault;
    return TqdVariant(it->second);
  }
  std::map<qdString, qdString> Values;
};

// --- An SQL engine whose statements follow the test ---------------------------------------

struct StatementScript {
  std::function<TqdResult()> Prepare = [] { return TqdResult{0}; };
  std::function<TqdResult()> Exec = [] { return TqdResult{0}; };
  // Seen by Exec while it runs.
  std::function<void()> DuringExec;
};

class ScriptedStatement : public TqdServerStatement {
 public:
  ScriptedStatement(TqdAbstractDatabase* aDatabase, uint32_t aTimeout, StatementScript* aScript)
      : TqdServerStatement(aDatabase, aTimeout), fScript(aScript) {}
  TqdResult ssPrepare(TqdStatementType, const qdString&, TStream*) override { return fScript->Prepare(); }
  TqdResult ssExec(TqdAbstractCursor*& aCursor, TqdOpenMode, TStream*) override {
    aCursor = nullptr;
    if (fScript->DuringExec) fScript->DuringExec();
    return fScript->Exec();
  }
  TqdResult ssSetParams(const TqdSqlParamList&, TStream*) override { return 0; }
  TqdResult ssGetParams(TqdSqlParamList&, TStream*) override { return 0; }

 private:
  StatementScript* fScript;
};

class ScriptedSqlEngine : public TqdBaseSqlEngine {
 public:
  using TqdBaseSqlEngine::TqdBaseSqlEngine;
  void PrepareShutdown() override { ++Shutdowns; }
  TqdResult StatementAlloc(TqdAbstractDatabase* aDatabase, TqdAbstractStatement*& aStatement,
                           uint32_t aTimeout) override {
    aStatement = qdCreate<ScriptedStatement>(aDatabase, aTimeout, &Script);
    return 0;
  }
  StatementScript Script;
  int Shutdowns = 0;
};

// --- A started engine ---------------------------------------------------------------------

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override { fEngine = qdCreate<TqdServerEngine>(nullptr); }
  void TearDown() override {
    TqdComponent* engine = fEngine;
    fEngine = nullptr;
    qdFreeAndNil(engine);
    if (fSqlEngine != nullptr) qdFreeAndNil(fSqlEngine);
  }
  void Start() {
    fEngine->SetActive(true);
    ASSERT_EQ(fEngine->State(), qdsStarted);
  }
  TqdServerSession* OpenSession(uint32_t aTimeout = 5000) {
    TqdAbstractSession* session = nullptr;
    EXPECT_EQ(fEngine->SessionOpenEx(session, u"user", u"", u"test", aTimeout, 47501), 0u);
    return static_cast<TqdServerSession*>(session);
  }
  static TqdResult Open(TqdServerSession* aSession, const qdString& aPath, TqdAbstractDatabase*& aDatabase,
                        TqdOpenMode aOpenMode = omReadWrite, TqdShareMode aShareMode = smShared) {
    return aSession->DatabaseOpen(aDatabase, u"Path", aPath, nullptr, aOpenMode, aShareMode, 5000);
  }
  static qdString PathOf(const std::filesystem::path& aPath) { return Utf8ToString(aPath.string()); }
  ScriptedSqlEngine* LinkSqlEngine() {
    fSqlEngine = qdCreate<ScriptedSqlEngine>(nullptr);
    fEngine->SetSqlEngine(fSqlEngine);
    return fSqlEngine;
  }
  // The thread's last recorded message.
  static qdString LastMessage() {
    uint32_t code = 0;
    qdString message;
    EqdBaseException::GetLastConvertedException(code, message);
    return message;
  }

  TempFolder fTemp;
  TqdServerEngine* fEngine = nullptr;
  ScriptedSqlEngine* fSqlEngine = nullptr;
};

}  // namespace qd::test
