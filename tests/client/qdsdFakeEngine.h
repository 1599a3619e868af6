// A small in-memory engine behind the contract, for the contract's tests:
// sessions, transaction contexts, databases (alias "Main" exists), statements,
// task infos and the cancel-flag hook. Every operation runs inside the
// contract's operation bracket; ThrowEverywhere makes each of them raise.
#pragma once

#include <stdexcept>

#include "client/qdsdServerEngine.h"

namespace qd::qdsdFakeEngine {

class TqdFakeSession;

class TqdFakeServerEngine : public TqdBaseServerEngine {
 public:
  explicit TqdFakeServerEngine(TqdComponent* aOwner) : TqdBaseServerEngine(aOwner) {
    qdThreadCancelFlagHook = [] { return &CancelFlag(); };
  }
  ~TqdFakeServerEngine() override {
    while (!Sessions().empty()) {
      TqdAbstractServerObject* session = Sessions().back();
      TqdAbstractServerObject::Free(session);
    }
    qdResetOperationHooks();
  }
  static std::atomic<bool>& CancelFlag() {
    thread_local std::atomic<bool> flag{false};
    return flag;
  }
  [[noreturn]] void bseRaise(TqdResult aErrorCode) override {
    throw EqdBaseException(static_cast<int64_t>(aErrorCode));
  }
  TGUID GetServerGuid() override { return TGUID{}; }
  qdString GetServerName() override { return u"Fake"; }
  bool bseSessionStatsEnabled() override { return StatsEnabled; }
  TqdResult SessionOpenEx(TqdAbstractSession*& aSession, const qdString& aUserName, const qdString& aPassword,
                          const qdString& aConnectedFrom, uint32_t aTimeout, int32_t aClientVersion) override;

  bool StatsEnabled = false;
};

class TqdFakeTransContext : public TqdAbstractTransContext {
 public:
  using TqdAbstractTransContext::TqdAbstractTransContext;
  TqdResult TransactionStart(bool, bool) override {
    return qdOperationBracket(this, [&] { return TqdResult{0}; });
  }
  TqdResult TransactionStartWith(bool, bool, const std::vector<TqdAbstractCursor*>&) override { return 0; }
  TqdResult TransactionCommit() override { return 0; }
  TqdResult TransactionRollback() override { return 0; }
  TqdResult TransactionCorrupted() override { return 0; }
  TqdResult TransactionGetLevel(int32_t& aLevel) override {
    aLevel = 0;
    return 0;
  }
  TqdResult TransactionGetInfo(TqdTransactionInfo&, bool) override { return 0; }
};

class TqdFakeStatement : public TqdAbstractStatement {
 public:
  using TqdAbstractStatement::TqdAbstractStatement;
  TqdResult Prepare(TqdStatementType, const qdString&, TStream*) override { return 0; }
  TqdResult Exec(TqdAbstractCursor*& aCursor, TqdOpenMode, TStream*) override {
    aCursor = nullptr;
    return 0;
  }
  TqdResult SetParams(const TqdSqlParamList&, TStream*) override { return 0; }
  TqdResult GetParams(TqdSqlParamList&, TStream*) override { return 0; }
};

class TqdFakeTaskInfo : public TqdSqlAbstractTaskInfo {
 public:
  using TqdSqlAbstractTaskInfo::TqdSqlAbstractTaskInfo;
  TqdResult GetStatus(bool& aCompleted, TqdTaskStatus& aStatus) override {
    aCompleted = cancelled;
    aStatus = TqdTaskStatus{};
    return 0;
  }
  TqdResult Cancel() override {
    cancelled = true;
    return 0;
  }
  void Execute() override {}
  bool cancelled = false;
};

class TqdFakeDatabase : public TqdAbstractDatabase {
 public:
  using TqdAbstractDatabase::TqdAbstractDatabase;
  void PrepareDestroy() override {
    TqdAbstractDatabase::PrepareDestroy();
    if (OnPrepareDestroy) OnPrepareDestroy();
  }
  TqdResult TableExists(const qdString&, const qdString&, bool& aExists, bool) override {
    return qdOperationBracket(this, [&] {
      aExists = true;
      return TqdResult{0};
    });
  }
  TqdResult TableBuild(bool, const qdString&, const qdString&, TqdDataDictionary*, TqdTableScope, bool) override {
    return 0;
  }
  TqdResult TablePack(const qdString&, const qdString&, TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableBackup(const qdString&, const qdString&, TqdAbstractDatabase*,
                        TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableRebuildIndex(const qdString&, const qdString&, const qdString&, int32_t,
                              TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableRestructure(const qdString&, const qdString&, TqdDataDictionary*, TqdBaseTableMapperDescriptor*, bool,
                             TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableAddField(const qdString&, const qdString&, TqdFieldDescriptor*) override { return 0; }
  TqdResult TableAddIndex(const qdString&, const qdString&, TqdIndexDescriptor*, bool) override { return 0; }
  TqdResult TableDropIndex(const qdString&, const qdString&, const qdString&, int32_t) override { return 0; }
  TqdResult TableRecover(const qdString&, const qdString&, TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableVerifyChecksum(const qdString&, const qdString&, bool, bool,
                                TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableChangePassword(const qdString&, const qdString&, const qdString&) override { return 0; }
  TqdResult TableGetDictionary(const qdString&, const qdString&, TqdDataDictionary*) override { return 0; }
  TqdResult TableAutoIncGet(const qdString&, const qdString&, uint32_t& aValue) override {
    aValue = 0;
    return 0;
  }
  TqdResult CursorOpen(TqdAbstractCursor*& aCursor, const qdString&, const qdString&, TqdOpenMode, TqdShareMode,
                       uint32_t, const qdString&, int32_t, bool, TqdCursorOpenOptions, uint32_t,
                       const TqdStringList*) override {
    aCursor = nullptr;
    return qdeNoSuchTable;
  }
  TqdResult StatementExecDirect(uint32_t, TqdStatementType, const qdString&, TStream*, const TqdSqlParamList&, TStream*,
                                TqdAbstractCursor*& aCursor, TqdOpenMode, TStream*, TStream*,
                                TqdStatementExecDirectPhase& aPhase) override {
    aCursor = nullptr;
    aPhase = sedAlloc;
    return 0;
  }
  TqdResult TableDelete(const qdString&, const qdString&) override { return 0; }
  TqdResult TableEmpty(const qdString&, const qdString&) override { return 0; }
  TqdResult TableRename(const qdString&, const qdString&, const qdString&) override { return 0; }
  TqdResult TableGetList(TqdStringList&) override { return 0; }
  TqdResult GetChangedTables(TqdStringList&) override { return 0; }
  TqdResult StatementAlloc(TqdAbstractStatement*& aStatement, uint32_t aTimeout) override {
    aStatement = nullptr;
    return qdOperationBracket(this, [&] {
      aStatement = qdCreate<TqdFakeStatement>(this, aTimeout);
      return TqdResult{0};
    });
  }
  TqdResult GetFreespace(int64_t& aFreeSpace) override {
    aFreeSpace = 0;
    return 0;
  }
  TqdResult GetPath(qdString& aPath) override {
    aPath.clear();
    return 0;
  }
  TqdResult GetAlias(qdString& aAlias) override {
    aAlias.clear();
    return 0;
  }
  std::function<void()> OnPrepareDestroy;
};

class TqdFakeSession : public TqdAbstractSession {
 public:
  using TqdAbstractSession::TqdAbstractSession;

  // One operation of the session through the boundary, running Work.
  TqdResult RunOperation() {
    return qdOperationBracket(this, [&] {
      ++calls;
      return Work();
    });
  }

  TqdResult AliasAdd(const qdString&, const qdString&, bool) override { return Op(); }
  TqdResult AliasDelete(const qdString&) override { return Op(); }
  TqdResult AliasModify(const qdString&, const qdString&, const qdString&, bool) override { return Op(); }
  TqdResult AliasGetList(TqdAliasList&) override { return Op(); }
  TqdResult AliasGetPath(const qdString&, qdString& aPath) override {
    aPath.clear();
    return Op();
  }
  TqdResult PasswordAdd(const qdString&) override { return Op(); }
  TqdResult PasswordRemove(const qdString&) override { return Op(); }
  TqdResult PasswordRemoveAll() override { return Op(); }
  TqdResult CloseInactiveFolders() override { return Op(); }
  TqdResult CloseInactiveTables() override { return Op(); }
  TqdResult DatabaseOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType, const qdString& aAlias,
                         TqdAbstractTransContext* aTransContext, TqdOpenMode, TqdShareMode,
                         uint32_t aTimeout) override {
    aDatabase = nullptr;
    return qdOperationBracket(this, [&]() -> TqdResult {
      MaybeThrow();
      if (qdSameClassName(aAliasType, u"Name") && aAlias != u"Main") return qdeUnknownDb;
      aDatabase = qdCreate<TqdFakeDatabase>(this, aTransContext, aTimeout);
      return 0;
    });
  }
  TqdResult TransContextCreate(TqdAbstractTransContext*& aTransContext, uint32_t aTimeout) override {
    aTransContext = nullptr;
    return qdOperationBracket(this, [&]() -> TqdResult {
      MaybeThrow();
      if (FailTransContextCreate != 0) return FailTransContextCreate;
      aTransContext = qdCreate<TqdFakeTransContext>(this, aTimeout);
      return 0;
    });
  }
  TqdResult GetRegisteredClassList(TqdClassListType, TqdStringList&) override { return Op(); }

  std::function<TqdResult()> Work = [] { return TqdResult{0}; };
  int calls = 0;
  bool ThrowEverywhere = false;
  TqdResult FailTransContextCreate = 0;
  int32_t ClientVersion = 0;

 private:
  void MaybeThrow() {
    if (ThrowEverywhere) throw std::logic_error("fake engine failure");
  }
  TqdResult Op() {
    return qdOperationBracket(this, [&] {
      MaybeThrow();
      return TqdResult{0};
    });
  }
};

inline TqdResult TqdFakeServerEngine::SessionOpenEx(TqdAbstractSession*& aSession, const qdString& aUserName,
                                                    const qdString& aPassword, const qdString& aConnectedFrom,
                                                    uint32_t aTimeout, int32_t aClientVersion) {
  aSession = nullptr;
  return qdContractCall(nullptr, [&]() -> TqdResult {
    auto* session = qdCreate<TqdFakeSession>(this, aTimeout, aUserName, aPassword, aConnectedFrom);
    session->ClientVersion = aClientVersion;
    aSession = session;
    return 0;
  });
}

}  // namespace qd::qdsdFakeEngine
