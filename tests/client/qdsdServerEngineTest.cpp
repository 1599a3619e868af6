#include "client/qdsdServerEngine.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <thread>

#include "tests/client/qdsdFakeEngine.h"

namespace qd {
namespace {

using namespace qdsdFakeEngine;

qdString pendingMessage(TqdResult aCode) {
  // The next exception built from the code carries the thread's text.
  return EqdBaseException(static_cast<int64_t>(aCode)).ErrorString();
}

class ServerEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = qdCreate<TqdFakeServerEngine>(nullptr);
    ASSERT_EQ(engine->SessionOpen(session, u"user", u"", u"direct", 10000), 0u);
  }
  void TearDown() override {
    if (session != nullptr) {
      EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);
    }
    TqdComponent* component = engine;
    qdFreeAndNil(component);
    qdFatalErrorFlag.store(false);
  }

  TqdFakeServerEngine* engine = nullptr;
  TqdAbstractSession* session = nullptr;
};

// --- Objects ---------------------------------------------------------------------

TEST_F(ServerEngineTest, CloseNilAndCloseDuringDestruction) {
  EXPECT_EQ(TqdAbstractServerObject::Close(nullptr), 0u);
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), 0u);
  auto* fake = static_cast<TqdFakeDatabase*>(database);
  TqdResult closeInside = 0;
  fake->OnPrepareDestroy = [&] { closeInside = TqdAbstractServerObject::Close(fake); };
  EXPECT_EQ(TqdAbstractServerObject::Close(database), 0u);
  EXPECT_EQ(closeInside, qdeReentered);
}

TEST_F(ServerEngineTest, LookupByIdRefusesFreedForeignAndWrongClassIds) {
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), 0u);
  const TqdSessionID sessionID = session->RemoteID();
  const TqdBaseID databaseID = database->RemoteID();

  TqdAbstractDatabase* found = nullptr;
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(sessionID, databaseID, found), 0u);
  EXPECT_EQ(found, database);
  TqdAbstractSession* foundSession = nullptr;
  EXPECT_EQ(TqdAbstractSession::LookupByID(sessionID, foundSession), 0u);
  EXPECT_EQ(foundSession, session);

  TqdAbstractSession* other = nullptr;
  ASSERT_EQ(engine->SessionOpen(other, u"", u"", u"", 0), 0u);

  struct Case {
    const char* name;
    TqdSessionID session;
    TqdBaseID id;
  };
  const Case wrongSession[] = {
      {"foreign session", other->RemoteID(), databaseID},
      {"no session", 0, databaseID},
      {"never issued", sessionID, 0x0000000100FFFFFFull},
      {"nil id", sessionID, 0},
  };
  for (const Case& c : wrongSession) {
    found = reinterpret_cast<TqdAbstractDatabase*>(1);
    EXPECT_EQ(TqdAbstractServerObject::LookupByID(c.session, c.id, found), qdeInvalidHandle) << c.name;
    EXPECT_EQ(found, nullptr) << c.name;
  }
  TqdAbstractStatement* statement = reinterpret_cast<TqdAbstractStatement*>(1);
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(sessionID, databaseID, statement), qdeInvalidHandle);
  EXPECT_EQ(statement, nullptr);

  EXPECT_EQ(TqdAbstractServerObject::Close(database), 0u);
  found = reinterpret_cast<TqdAbstractDatabase*>(1);
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(sessionID, databaseID, found), qdeInvalidHandle);
  EXPECT_EQ(found, nullptr);
  // The slot is reused with a new generation: the old id stays unknown.
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/y", nullptr, omReadWrite, smShared, 0), 0u);
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(sessionID, databaseID, found), qdeInvalidHandle);
  EXPECT_EQ(TqdAbstractServerObject::Close(other), 0u);
}

TEST_F(ServerEngineTest, OptionsInheritDownTheOptionsChain) {
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), 0u);
  TqdAbstractStatement* statement = nullptr;
  ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);

  ASSERT_EQ(session->OptionSet(u"OnlySession", u"s"), 0u);
  ASSERT_EQ(session->OptionSet(u"Shared", u"session"), 0u);
  ASSERT_EQ(database->OptionSet(u"Shared", u"database"), 0u);
  ASSERT_EQ(database->OptionSet(u"DbOnly", u"d"), 0u);
  ASSERT_EQ(statement->OptionSet(u"Own", u"x"), 0u);

  qdString value = u"junk";
  EXPECT_EQ(statement->OptionGetEffective(u"onlysession", value), 0u);
  EXPECT_EQ(value, u"s");
  EXPECT_EQ(statement->OptionGetEffective(u"Shared", value), 0u);
  EXPECT_EQ(value, u"database");
  EXPECT_EQ(statement->OptionGet(u"Shared", value), qdeObjNotFound);
  EXPECT_EQ(value, u"");
  EXPECT_EQ(statement->OptionGetEffective(u"Missing", value), qdeObjNotFound);

  TqdStringList list;
  EXPECT_EQ(statement->OptionListEffective(list), 0u);
  EXPECT_EQ(list.Text(), u"Own=x\r\nShared=database\r\nDbOnly=d\r\n");

  EXPECT_TRUE(statement->HasOptions());
  EXPECT_EQ(statement->OptionClear(u"Own"), 0u);
  EXPECT_FALSE(statement->HasOptions());
  EXPECT_EQ(statement->OptionGet(u"Own", value), qdeObjNotFound);
  EXPECT_EQ(statement->OptionClear(u"Own"), qdeObjNotFound);

  // Only the exact value "1" set on the database itself allows system tables.
  const struct {
    const char16_t* value;
    bool allowed;
  } allowCases[] = {{u"1", true}, {u"true", false}, {u"01", false}};
  for (const auto& c : allowCases) {
    ASSERT_EQ(database->OptionSet(u"ALLOWSYSTEMTABLEACCESS", c.value), 0u);
    EXPECT_EQ(database->GetExplicitAllowSystem(), c.allowed) << StringToUtf8(c.value);
  }
  ASSERT_EQ(database->OptionClear(u"ALLOWSYSTEMTABLEACCESS"), 0u);
  ASSERT_EQ(session->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), 0u);
  EXPECT_FALSE(database->GetExplicitAllowSystem());
}

class CountingExtender : public TqdBaseEngineExtender {
 public:
  CountingExtender(TqdExtendableServerObject* aObject, TqdResult aAnswer, TqdEngineActions aActions = {})
      : TqdBaseEngineExtender(nullptr, aObject, aActions), fAnswer(aAnswer) {}
  TqdResult Notify(TqdEngineAction, bool, TqdEngineArgs) override {
    ++calls;
    if (fAnswer == 0xFFFFFFFFu) throw std::runtime_error("extender failed");
    return fAnswer;
  }
  int calls = 0;

 private:
  TqdResult fAnswer;
};

TEST_F(ServerEngineTest, ExtendersAreAskedInOrderUntilOneVetoes) {
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), 0u);
  EXPECT_EQ(database->NotifyExtenders(eaRecordGet, true, {}), 0u);
  auto* first = new CountingExtender(database, qdeRecLocked);
  auto* second = new CountingExtender(database, 0);
  EXPECT_EQ(first->Actions(), TqdEngineActions::AllButFulltext());
  EXPECT_FALSE(database->ExtendersActions().Contains(eaRecordFulltextUpdate));
  EXPECT_EQ(database->NotifyExtenders(eaRecordGet, true, {}), qdeRecLocked);
  EXPECT_EQ(first->calls, 1);
  EXPECT_EQ(second->calls, 0);
  EXPECT_EQ(database->NotifyExtenders(eaRecordFulltextUpdate, true, {}), 0u);
  EXPECT_EQ(database->GetExtenderOfType<CountingExtender>(), first);
  (void)second;
  EXPECT_EQ(TqdAbstractServerObject::Close(database), 0u);  // frees both extenders
}

TEST_F(ServerEngineTest, ThrowingExtenderVetoesWithItsConvertedCode) {
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), 0u);
  new CountingExtender(database, 0xFFFFFFFFu, {eaRecordInsert});
  EXPECT_EQ(database->NotifyExtenders(eaRecordInsert, false, {}), qdeUnexpectedException);
  EXPECT_EQ(database->NotifyExtenders(eaRecordGet, false, {}), 0u);
}

// --- Session lock ---------------------------------------------------------------

TEST_F(ServerEngineTest, SecondThreadEnteringTheSessionGets8455) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  TqdResult other = 0;
  fake->Work = [&]() -> TqdResult {
    std::thread t([&] { other = fake->RunOperation(); });
    t.join();
    return 0;
  };
  EXPECT_EQ(fake->RunOperation(), 0u);
  EXPECT_EQ(other, qdeReentered);
  EXPECT_EQ(session->SessionLock()->LockingThread(), 0u);
}

TEST_F(ServerEngineTest, CancelDuringAnOperationTurnsSuccessInto15461) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  fake->Work = [&]() -> TqdResult {
    std::thread t([&] { session->Failed(false); });
    t.join();
    return 0;
  };
  EXPECT_EQ(fake->RunOperation(), qdeTimeout);
  EXPECT_EQ(pendingMessage(qdeTimeout), u"Processing cancelled. Operation may have partially or fully succeeded");
  fake->Work = [] { return TqdResult{0}; };
  EXPECT_EQ(fake->RunOperation(), 0u);
}

TEST_F(ServerEngineTest, CancelWhileIdleRefusesTheNextLockOnce) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  std::thread t([&] { session->Failed(false); });
  t.join();
  fake->Work = [] { return TqdResult{0}; };
  EXPECT_EQ(fake->RunOperation(), qdeTimeout);
  EXPECT_EQ(fake->RunOperation(), 0u);
  EXPECT_EQ(fake->calls, 1);
}

TEST_F(ServerEngineTest, CancelReachesTheRunningThreadsFlag) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  bool seen = false;
  fake->Work = [&]() -> TqdResult {
    std::thread t([&] { session->Failed(false); });
    t.join();
    seen = TqdFakeServerEngine::CancelFlag().load();
    return qdeRecLocked;  // an operation's own failure is kept
  };
  EXPECT_EQ(fake->RunOperation(), qdeRecLocked);
  EXPECT_TRUE(seen);
  EXPECT_FALSE(TqdFakeServerEngine::CancelFlag().load());
}

TEST_F(ServerEngineTest, PermanentFailureAndFatalFlagRefuseEveryLock) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  fake->Work = [] { return TqdResult{0}; };
  qdFatalErrorFlag.store(true);
  EXPECT_EQ(fake->RunOperation(), qdeTransCorrupt);
  EXPECT_EQ(pendingMessage(qdeTransCorrupt),
            u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check "
            u"exception log at server for further information");
  qdFatalErrorFlag.store(false);

  session->Failed(true);
  EXPECT_TRUE(session->CleanedUp());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(fake->RunOperation(), qdeInvalidHandle);
    EXPECT_EQ(pendingMessage(qdeInvalidHandle), u"This session has been marked as permanently failed");
  }
  EXPECT_EQ(fake->calls, 0);
}

TEST_F(ServerEngineTest, NestedLocksStampOnlyAtTheOutermostUnlock) {
  const TqdRef<TqdSimpleLock>& lock = session->SessionLock();
  lock->Lock();
  lock->Lock();
  EXPECT_EQ(lock->LockCount(), 2);
  TqdResult result = 0;
  lock->Unlock(result);
  EXPECT_EQ(lock->LockCount(), 1);
  EXPECT_NE(lock->LockingThread(), 0u);
  lock->Unlock(result);
  EXPECT_EQ(lock->LockingThread(), 0u);
  EXPECT_NE(lock->LastLocked(), 0u);
  EXPECT_THROW(lock->Unlock(result), EqdBaseException);
}

// A session freed from another thread while an operation runs inside it must
// wait until that operation has left; the cleanup runs in the operation's
// thread, and nothing it frees is touched afterwards.
TEST_F(ServerEngineTest, SessionClosedFromAnotherThreadWaitsForTheOperation) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), 0u);
  TqdOSEvent inside(true, false);
  TqdOSEvent release(true, false);
  fake->Work = [&]() -> TqdResult {
    inside.SetEvent();
    (void)release.WaitFor(kInfinite);
    return 0;
  };
  TqdResult operationResult = 1;
  std::thread worker([&] { operationResult = fake->RunOperation(); });
  ASSERT_EQ(inside.WaitFor(10000), kWaitSignaled);
  std::thread closer([&] {
    TqdAbstractServerObject* s = session;
    TqdAbstractServerObject::Free(s);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(engine->DatabaseCount(), 1);  // nothing freed under the operation
  release.SetEvent();
  worker.join();
  closer.join();
  session = nullptr;
  EXPECT_EQ(operationResult, 0u);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  EXPECT_EQ(engine->SessionCount(), 0);
}

// --- Ownership ------------------------------------------------------------------

TEST_F(ServerEngineTest, FreeingASessionFreesItsChildrenAndRestoresCounts) {
  const int32_t before[] = {engine->SessionCount(), engine->DatabaseCount(), engine->TransContextCount(),
                            engine->StatementCount()};
  TqdAbstractSession* other = nullptr;
  ASSERT_EQ(engine->SessionOpen(other, u"", u"", u"", 0), 0u);
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(other->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), 0u);
  TqdAbstractStatement* statement = nullptr;
  ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);
  TqdAbstractTransContext* context = nullptr;
  ASSERT_EQ(other->TransContextCreate(context, 0), 0u);
  qdCreate<TqdFakeTaskInfo>(other);
  EXPECT_EQ(engine->DatabaseCount(), before[1] + 1);
  EXPECT_EQ(engine->TransContextCount(), before[2] + 2);
  EXPECT_EQ(engine->StatementCount(), before[3] + 1);
  EXPECT_EQ(other->TaskInfos().size(), 1u);

  EXPECT_EQ(TqdAbstractServerObject::Close(other), 0u);
  const int32_t after[] = {engine->SessionCount(), engine->DatabaseCount(), engine->TransContextCount(),
                           engine->StatementCount()};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(after[i], before[i]) << i;
  EXPECT_EQ(engine->Sessions().size(), 1u);
}

TEST_F(ServerEngineTest, DestroyingASharedContextGivesEachDatabaseItsOwn) {
  TqdAbstractTransContext* shared = nullptr;
  ASSERT_EQ(session->TransContextCreate(shared, 0), 0u);
  TqdAbstractDatabase* first = nullptr;
  TqdAbstractDatabase* second = nullptr;
  ASSERT_EQ(session->DatabaseOpen(first, u"Path", u"/a", shared, omReadWrite, smShared, 0), 0u);
  ASSERT_EQ(session->DatabaseOpen(second, u"Path", u"/b", shared, omReadWrite, smShared, 0), 0u);
  EXPECT_EQ(shared->Databases().size(), 2u);
  EXPECT_EQ(TqdAbstractServerObject::Close(shared), 0u);
  ASSERT_NE(first->TransContext(), nullptr);
  ASSERT_NE(second->TransContext(), nullptr);
  EXPECT_NE(first->TransContext(), second->TransContext());
  EXPECT_TRUE(first->OwnsTransContext());
  EXPECT_EQ(first->TransactionStart(false, false), 0u);
  EXPECT_EQ(engine->TransContextCount(), 2);
}

TEST_F(ServerEngineTest, ADatabaseWhoseContextCannotBeMadeIsNotCreated) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  fake->FailTransContextCreate = qdeNoMemory;
  TqdAbstractDatabase* database = nullptr;
  EXPECT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), qdeNoMemory);
  EXPECT_EQ(database, nullptr);
  EXPECT_TRUE(session->Databases().empty());
  EXPECT_EQ(engine->DatabaseCount(), 0);
}

TEST_F(ServerEngineTest, ADatabaseLosingItsContextWithoutAFreshOneIsFailed) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  TqdAbstractTransContext* shared = nullptr;
  ASSERT_EQ(session->TransContextCreate(shared, 0), 0u);
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/a", shared, omReadWrite, smShared, 0), 0u);
  fake->FailTransContextCreate = qdeNoMemory;
  EXPECT_EQ(TqdAbstractServerObject::Close(shared), 0u);
  EXPECT_EQ(database->TransContext(), nullptr);
  EXPECT_EQ(database->TransactionStart(false, false), qdeInvalidHandle);
  int32_t level = 7;
  EXPECT_EQ(database->TransactionGetLevel(level), qdeInvalidHandle);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(TqdAbstractServerObject::Close(database), 0u);
}

TEST_F(ServerEngineTest, ClosingTheSessionFromInsideItsOwnOperationIsRefused) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  TqdResult inner = 0;
  fake->Work = [&]() -> TqdResult {
    inner = TqdAbstractServerObject::Close(session);
    return 0;
  };
  (void)fake->RunOperation();  // the session is failed for good by the attempt
  EXPECT_EQ(inner, qdeReentered);
  EXPECT_FALSE(session->Destroying());
  EXPECT_EQ(engine->SessionCount(), 1);
}

class VetoExtender : public TqdBaseEngineExtender {
 public:
  explicit VetoExtender(TqdExtendableServerObject* aObject)
      : TqdBaseEngineExtender(nullptr, aObject, {eaChildCreate}) {}
  TqdResult Notify(TqdEngineAction, bool, TqdEngineArgs) override { return qdeNoTableRights; }
};

TEST_F(ServerEngineTest, AnExtenderVetoingACreationKeepsTheCountsRight) {
  new VetoExtender(session);
  TqdAbstractTransContext* context = nullptr;
  EXPECT_EQ(session->TransContextCreate(context, 0), qdeNoTableRights);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(engine->TransContextCount(), 0);
  EXPECT_TRUE(session->TransContexts().empty());
}

// Answers every instance request on the object it extends and counts them.
class AnsweringExtender : public TqdBaseEngineExtender {
 public:
  explicit AnsweringExtender(TqdExtendableServerObject* aObject) : TqdBaseEngineExtender(nullptr, aObject, {}) {}
  HRESULT beeCreateInstance(const TGUID&, const TGUID&, TqdRef<IqdInterface>& aInterface) override {
    aInterface = nullptr;
    ++asked;
    return S_OK;
  }
  TqdResult Notify(TqdEngineAction, bool, TqdEngineArgs) override { return 0; }
  int asked = 0;
};

// A context path walks from an object through the owners its heads name;
// the head is the text up to the first dot, and a path that ends with its
// head asks the named object itself, which offers nothing.
TEST_F(ServerEngineTest, ContextPathsLeadThroughTheOwnersTheyName) {
  engine->AddTable(u"T").Dictionary->FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Main", nullptr, omReadWrite, smShared, 0), 0u);
  ASSERT_NE(database->TransContext(), nullptr);
  TqdAbstractStatement* statement = nullptr;
  ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);
  TqdAbstractCursor* cursor = nullptr;
  ASSERT_EQ(database->CursorOpen(cursor, u"T", u"", omReadOnly, smShared, 0, u"", -1, false, {}, 500, nullptr), 0u);
  auto* contextExtender = new AnsweringExtender(database->TransContext());
  auto* databaseExtender = new AnsweringExtender(database);
  auto* statementExtender = new AnsweringExtender(statement);
  auto* cursorExtender = new AnsweringExtender(cursor);

  struct Case {
    TqdAbstractServerObject* from;
    const char16_t* path;
    AnsweringExtender* answering;  // nil: nobody is asked
  };
  const Case cases[] = {
      {statement, u"<Statement>.<Extenders>", statementExtender},
      {statement, u"<Database>.<Extenders>", databaseExtender},
      {statement, u"<Database>.<TransContext>.<Extenders>", contextExtender},
      {statement, u"<Database>", nullptr},
      {statement, u"<Database>.", nullptr},
      {cursor, u"<Cursor>.<Extenders>", cursorExtender},
      {cursor, u"<Database>.<Extenders>", databaseExtender},
      {cursor, u"<Cursor>.<Database>.<TransContext>.<Extenders>", contextExtender},
      {database, u"<Database>.<Database>.<Extenders>", databaseExtender},
      {database, u"<TransContext>.<Extenders>", contextExtender},
      {database, u"<TransContext>", nullptr},
      {database->TransContext(), u"<TransContext>.<Extenders>", contextExtender},
      {database->TransContext(), u"<TransContext>", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.path));
    for (AnsweringExtender* extender : {contextExtender, databaseExtender, statementExtender, cursorExtender})
      extender->asked = 0;
    TqdRef<IqdInterface> instance;
    const HRESULT result = c.from->CreateInstanceFor(c.path, TGUID{}, TGUID{}, instance);
    EXPECT_EQ(result, c.answering != nullptr ? S_OK : E_NOINTERFACE);
    for (AnsweringExtender* extender : {contextExtender, databaseExtender, statementExtender, cursorExtender})
      EXPECT_EQ(extender->asked, extender == c.answering ? 1 : 0);
  }
}

TEST_F(ServerEngineTest, SessionOpenThenCloseCleansUpInsideClose) {
  TqdAbstractSession* other = nullptr;
  ASSERT_EQ(engine->SessionOpen(other, u"", u"", u"", 0), 0u);
  EXPECT_EQ(static_cast<TqdFakeSession*>(other)->ClientVersion, 47501);
  EXPECT_EQ(TqdAbstractServerObject::Close(other), 0u);
  EXPECT_EQ(engine->SessionCount(), 1);
}

TEST_F(ServerEngineTest, UserInfoLines) {
  TqdStringList lines;
  session->GetUserInfo(lines);
  EXPECT_EQ(lines.Count(), 3);
  TqdAbstractSession* anonymous = nullptr;
  ASSERT_EQ(engine->SessionOpen(anonymous, u"", u"", u"", 0), 0u);
  TqdStringList anonymousLines;
  anonymous->GetUserInfo(anonymousLines);
  EXPECT_EQ(anonymousLines.Count(), 2);
  EXPECT_EQ(TqdAbstractServerObject::Close(anonymous), 0u);
}

TEST_F(ServerEngineTest, NotSupportedBaseOperations) {
  TqdAbstractDatabase* database = nullptr;
  EXPECT_EQ(session->DatabaseCacheOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), qdeNotSupported);
  EXPECT_EQ(pendingMessage(qdeNotSupported), u"DatabaseCacheOpen not supported by TqdAbstractSession");
}

// --- The contract boundary ------------------------------------------------------

TEST_F(ServerEngineTest, ThrowingOperationsComeBackAsCodesWithTheLockFree) {
  auto* fake = static_cast<TqdFakeSession*>(session);
  struct Case {
    const char* name;
    std::function<TqdResult()> work;
    TqdResult expected;
  };
  const Case cases[] = {
      {"engine exception", []() -> TqdResult { throw EqdBaseException(static_cast<int64_t>(qdeRecLocked)); },
       qdeRecLocked},
      {"out of memory", []() -> TqdResult { throw std::bad_alloc(); }, qdeNoMemory},
      {"standard exception", []() -> TqdResult { throw std::logic_error("broken"); }, qdeUnexpectedException},
      {"not an exception", []() -> TqdResult { throw 42; }, qdeUnexpectedException},
  };
  for (const Case& c : cases) {
    fake->Work = c.work;
    EXPECT_EQ(fake->RunOperation(), c.expected) << c.name;
    EXPECT_EQ(session->SessionLock()->LockingThread(), 0u) << c.name;
    EXPECT_EQ(session->SessionLock()->LockCount(), 0) << c.name;
  }
  fake->Work = []() -> TqdResult { throw std::logic_error("broken"); };
  EXPECT_EQ(fake->RunOperation(), qdeUnexpectedException);
  EXPECT_NE(pendingMessage(qdeUnexpectedException).find(u"logic_error"), qdString::npos);

  // Every abstract operation of the fake goes through the boundary.
  fake->ThrowEverywhere = true;
  TqdAbstractDatabase* database = nullptr;
  EXPECT_EQ(session->DatabaseOpen(database, u"Path", u"/x", nullptr, omReadWrite, smShared, 0), qdeUnexpectedException);
  TqdAbstractTransContext* context = nullptr;
  EXPECT_EQ(session->TransContextCreate(context, 0), qdeUnexpectedException);
  TqdAliasList aliases;
  EXPECT_EQ(session->AliasGetList(aliases), qdeUnexpectedException);
  EXPECT_EQ(session->CloseInactiveTables(), qdeUnexpectedException);
  bool exists = true;
  EXPECT_EQ(session->TableExists(u"Main", u"t", u"", exists, false), qdeUnexpectedException);
  EXPECT_FALSE(exists);
  EXPECT_EQ(session->SessionLock()->LockingThread(), 0u);
}

TEST_F(ServerEngineTest, TableExistsThroughATemporaryDatabase) {
  bool exists = true;
  EXPECT_EQ(session->TableExists(u"Missing", u"t", u"", exists, false), qdeUnknownDb);
  EXPECT_FALSE(exists);
  EXPECT_EQ(session->TableExists(u"Main", u"t", u"", exists, false), 0u);
  EXPECT_TRUE(exists);
  EXPECT_EQ(engine->DatabaseCount(), 0);
}

// --- Monitors -------------------------------------------------------------------

class RecordingMonitor : public TqdBaseEngineMonitor {
 public:
  using TqdBaseEngineMonitor::TqdBaseEngineMonitor;
  void ExtendableObjectCreated(TqdExtendableServerObject*) override { ++created; }
  void ExtendableObjectDestroyed(TqdExtendableServerObject*) override { ++destroyed; }
  int created = 0;
  int destroyed = 0;
};

class MonitorExtender : public TqdBaseEngineExtender {
 public:
  using TqdBaseEngineExtender::TqdBaseEngineExtender;
  TqdResult Notify(TqdEngineAction, bool, TqdEngineArgs) override { return 0; }
};

TEST_F(ServerEngineTest, StartedMonitorsHearOfObjectsAndFreeTheirExtendersWhenStopping) {
  TqdComponentPtr<RecordingMonitor> monitor(qdCreate<RecordingMonitor>(nullptr));
  monitor->SetServerEngine(engine);
  TqdAbstractTransContext* context = nullptr;
  ASSERT_EQ(session->TransContextCreate(context, 0), 0u);
  EXPECT_EQ(monitor->created, 0);  // not started yet

  monitor->SetState(qdsStarted);
  ASSERT_EQ(monitor->State(), qdsStarted);
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"/x", context, omReadWrite, smShared, 0), 0u);
  EXPECT_EQ(monitor->created, 1);
  new MonitorExtender(monitor.get(), database);
  EXPECT_EQ(monitor->ExtenderCount(), 1);
  monitor->SetState(qdsStopped);
  EXPECT_EQ(monitor->ExtenderCount(), 0);
  EXPECT_EQ(database->GetExtenderOfType<MonitorExtender>(), nullptr);
  monitor->SetState(qdsStarted);
  EXPECT_EQ(TqdAbstractServerObject::Close(database), 0u);
  EXPECT_EQ(monitor->destroyed, 1);
  TqdAbstractSession* other = nullptr;
  ASSERT_EQ(engine->SessionOpen(other, u"", u"", u"", 0), 0u);
  EXPECT_EQ(monitor->created, 2);
  EXPECT_EQ(TqdAbstractServerObject::Close(other), 0u);
  EXPECT_EQ(monitor->destroyed, 2);
  EXPECT_EQ(engine->SessionCount(), 1);
  EXPECT_THROW(monitor->SetServerEngine(nullptr), EqdBaseException);  // only while inactive
  monitor->SetState(qdsInactive);
  monitor->SetServerEngine(nullptr);
  EXPECT_EQ(monitor->ServerEngine(), nullptr);
}

// --- Statistics -----------------------------------------------------------------

TEST(SessionStatsTest, CountsCallsTimeAndCpu) {
  TqdComponent* engine = qdCreate<TqdFakeServerEngine>(nullptr);
  auto* fakeEngine = static_cast<TqdFakeServerEngine*>(engine);
  fakeEngine->StatsEnabled = true;
  TqdAbstractSession* session = nullptr;
  ASSERT_EQ(fakeEngine->SessionOpen(session, u"u", u"", u"", 0), 0u);
  TqdSessionStats* stats = session->SessionLock()->Stats();
  ASSERT_NE(stats, nullptr);
  EXPECT_EQ(TqdSessionStats::Head(), stats);
  auto* fake = static_cast<TqdFakeSession*>(session);
  fake->Work = [&]() -> TqdResult {
    EXPECT_EQ(TqdSessionStats::Current(), stats);
    TqdSessionStats::Count(sscBlocksRead, 3);
    const auto start = std::chrono::steady_clock::now();
    volatile uint64_t spin = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(20)) spin = spin + 1;
    const TqdSessionStatsCounters during = stats->Update();
    EXPECT_GE(during[sscTime], 20);
    return 0;
  };
  EXPECT_EQ(fake->RunOperation(), 0u);
  EXPECT_EQ(TqdSessionStats::Current(), nullptr);
  TqdSessionStats::Count(sscBlocksRead, 100);  // outside an operation: not counted
  const TqdSessionStatsCounters counters = stats->Update();
  EXPECT_EQ(counters[sscCalls], 1);
  EXPECT_EQ(counters[sscBlocksRead], 3);
  EXPECT_GE(counters[sscTime], 20);
  EXPECT_GT(counters[sscCycles], 0);
  EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);
  EXPECT_NE(stats->Closed(), 0);
  qdFreeAndNil(engine);
}

// --- Name rules -----------------------------------------------------------------

TEST(NameRulesTest, TableNamesAndPaths) {
  struct Case {
    const char16_t* name;
    TqdResult table;  // qdCheckTableName(name, true, false)
    TqdResult path;   // qdCheckTablePath(name, true, false)
  };
  const Case cases[] = {
      {u"Customers", 0, 0},
      {u"Root:Child", qdeInvalidTableName, 0},
      {u"Root:..:Child", qdeInvalidTableName, 0},
      {u"Root:", qdeInvalidTableName, 0},
      {u"<Temp>", 0, 0},
      {u"A<B", qdeInvalidTableName, qdeInvalidTableName},
      {u"", qdeNoSuchTable, qdeNoSuchTable},
      {u" Lead", qdeInvalidTableName, qdeInvalidTableName},
      {u"$System", qdeInvalidTableName, qdeInvalidTableName},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qdCheckTableName(c.name, true, false), c.table) << StringToUtf8(c.name);
    EXPECT_EQ(qdCheckTablePath(c.name, true, false), c.path) << StringToUtf8(c.name);
  }
  EXPECT_EQ(qdCheckTableName(u"", false, false), qdeInvalidTableName);
  EXPECT_EQ(qdCheckTableName(qdString(129, u'a'), true, false), qdeInvalidTableName);
  EXPECT_EQ(qdCheckTableName(u"Root:Child", true, false), qdeInvalidTableName);
  EXPECT_NE(pendingMessage(qdeInvalidTableName).find(u"Child name separators \":\" are not allowed."), qdString::npos);
}

TEST(NameRulesTest, TemporaryNamesAliasesAndRoutines) {
  struct Case {
    const char16_t* name;
    bool global, database, local;
  };
  const Case cases[] = {
      {u"<T>", true, false, false},    {u"###T", true, false, false}, {u"##T", false, true, false},
      {u"#T", false, false, true},     {u"T", false, false, false},   {u"<>", false, false, false},
      {u"####T", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qdIsTempGlobalName(c.name), c.global) << StringToUtf8(c.name);
    EXPECT_EQ(qdIsTempDatabaseName(c.name), c.database) << StringToUtf8(c.name);
    EXPECT_EQ(qdIsLocalTempName(c.name), c.local) << StringToUtf8(c.name);
  }
  EXPECT_EQ(qdCheckAliasName(u"Main", true), 0u);
  EXPECT_EQ(qdCheckAliasName(u"", true), qdeUnknownDb);
  EXPECT_EQ(qdCheckAliasName(u"", false), qdeInvalidAliasName);
  EXPECT_EQ(qdCheckRoutineName(u"", true), qdeObjNotFound);
  EXPECT_EQ(qdCheckRoutineName(u"a:b", false), qdeInvalidName);
}

TEST(EngineActionsTest, SetOfFortyEightBits) {
  TqdEngineActions actions{eaCreate, eaStatementGetParams};
  EXPECT_TRUE(actions.Contains(eaCreate));
  EXPECT_TRUE(actions.Contains(eaStatementGetParams));
  EXPECT_FALSE(actions.Contains(48));
  EXPECT_FALSE(actions.Contains(200));
  EXPECT_EQ(TqdEngineActions::AllButFulltext().Bits(), 0x0F7FFFFFFFFFull);
}

}  // namespace
}  // namespace qd
