// The server database object: statements through the linked SQL engine
// (phases, counters, exceptions), the folder as option parent, free space.
#include "server/qdsrServerDatabase.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "storage/qdsrFaultFileSystem.h"
#include "tests/server/qdsrServerTestSupport.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

class DatabaseTest : public ServerFixture {
 protected:
  void OpenDatabase(bool aWithSqlEngine = true) {
    if (aWithSqlEngine) LinkSqlEngine();
    Start();
    fSession = OpenSession();
    TqdAbstractDatabase* database = nullptr;
    ASSERT_EQ(Open(fSession, PathOf(fTemp.Path()), database), 0u);
    fDatabase = static_cast<TqdServerDatabase*>(database);
  }
  TqdResult ExecDirect(TqdStatementExecDirectPhase& aPhase) {
    TqdAbstractCursor* cursor = nullptr;
    return fDatabase->StatementExecDirect(1000, stQuery, u"select 1", nullptr, {}, nullptr, cursor, omReadOnly, nullptr,
                                          nullptr, aPhase);
  }

  TqdServerSession* fSession = nullptr;
  TqdServerDatabase* fDatabase = nullptr;
};

TEST_F(DatabaseTest, WithoutAnSqlEngineNoStatement) {
  OpenDatabase(false);
  TqdAbstractStatement* statement = nullptr;
  EXPECT_EQ(fDatabase->StatementAlloc(statement, 1000), qdeNotSupported);
  EXPECT_EQ(statement, nullptr);
  EXPECT_EQ(LastMessage(), u"An SQL Engine is required");
  TqdStatementExecDirectPhase phase = sedFree;
  EXPECT_EQ(ExecDirect(phase), qdeNotSupported);
  EXPECT_EQ(phase, sedAlloc);
}

TEST_F(DatabaseTest, ExecDirectReportsHowFarItGot) {
  OpenDatabase();
  TqdStatementExecDirectPhase phase = sedAlloc;
  EXPECT_EQ(ExecDirect(phase), 0u);
  EXPECT_EQ(phase, sedFree);
  EXPECT_EQ(fEngine->ExecutedStatements(), 1);
  fSqlEngine->Script.Prepare = [] { return TqdResult{10039}; };
  EXPECT_EQ(ExecDirect(phase), 10039u);
  EXPECT_EQ(phase, sedPrepare);
  EXPECT_EQ(fEngine->ExecutedStatements(), 1);
  fSqlEngine->Script.Prepare = [] { return TqdResult{0}; };
  fSqlEngine->Script.Exec = [] { return TqdResult{8712}; };
  EXPECT_EQ(ExecDirect(phase), 8712u);
  EXPECT_EQ(phase, sedExec);
  // The statement is freed in every case.
  EXPECT_EQ(fEngine->StatementCount(), 0);
}

TEST_F(DatabaseTest, ExceptionsOfTheStatementBecomeCodesAndLeaveTheCountersAlone) {
  OpenDatabase();
  int executingInside = -1;
  fSqlEngine->Script.DuringExec = [&] { executingInside = fEngine->ExecutingStatements(); };
  struct Case {
    bool inPrepare;
    bool direct;
  };
  for (const Case c : {Case{true, true}, Case{false, true}, Case{true, false}, Case{false, false}}) {
    SCOPED_TRACE(testing::Message() << "prepare=" << c.inPrepare << " direct=" << c.direct);
    auto raise = []() -> TqdResult { throw std::runtime_error("statement failure"); };
    auto fine = [] { return TqdResult{0}; };
    fSqlEngine->Script.Prepare = c.inPrepare ? std::function<TqdResult()>(raise) : fine;
    fSqlEngine->Script.Exec = c.inPrepare ? std::function<TqdResult()>(fine) : raise;
    const int32_t executed = fEngine->ExecutedStatements();
    TqdResult result = 0;
    if (c.direct) {
      TqdStatementExecDirectPhase phase = sedAlloc;
      result = ExecDirect(phase);
    } else {
      TqdAbstractStatement* statement = nullptr;
      ASSERT_EQ(fDatabase->StatementAlloc(statement, 1000), 0u);
      result = statement->Prepare(stQuery, u"x", nullptr);
      if (result == 0) {
        TqdAbstractCursor* cursor = nullptr;
        result = statement->Exec(cursor, omReadOnly, nullptr);
      }
      TqdAbstractServerObject::Free(statement);
    }
    EXPECT_EQ(result, qdeUnexpectedException);
    EXPECT_EQ(fEngine->ExecutingStatements(), 0);
    EXPECT_EQ(fEngine->ExecutedStatements(), executed);
  }
  EXPECT_EQ(executingInside, 1);
}

TEST_F(DatabaseTest, SessionStatisticsCountEachExec) {
  fEngine->SetOptions({seoKeepSessionStats});
  OpenDatabase();
  TqdSessionStats* stats = fSession->SessionLock()->Stats();
  ASSERT_NE(stats, nullptr);
  const int64_t before = stats->Update()[sscStatements];
  TqdAbstractStatement* statement = nullptr;
  ASSERT_EQ(fDatabase->StatementAlloc(statement, 1000), 0u);
  TqdAbstractCursor* cursor = nullptr;
  EXPECT_EQ(statement->Exec(cursor, omReadOnly, nullptr), 0u);
  EXPECT_EQ(statement->Exec(cursor, omReadOnly, nullptr), 0u);
  EXPECT_EQ(stats->Update()[sscStatements], before + 2);
  EXPECT_EQ(fEngine->ExecutedStatements(), 2);
}

TEST_F(DatabaseTest, TheFolderIsTheOptionParent) {
  OpenDatabase();
  ASSERT_EQ(fDatabase->Folder()->OptionSet(u"PRIORITY_REDUCTION_TIMEOUT", u"250"), 0u);
  qdString value;
  EXPECT_EQ(fDatabase->OptionGetEffective(u"PRIORITY_REDUCTION_TIMEOUT", value), 0u);
  EXPECT_EQ(value, u"250");
  // The database's own value wins; a name the folder does not know falls
  // back to the session.
  ASSERT_EQ(fDatabase->OptionSet(u"PRIORITY_REDUCTION_TIMEOUT", u"5"), 0u);
  EXPECT_EQ(fDatabase->OptionGetEffective(u"PRIORITY_REDUCTION_TIMEOUT", value), 0u);
  EXPECT_EQ(value, u"5");
  ASSERT_EQ(fSession->OptionSet(u"SESSION_ONLY", u"s"), 0u);
  EXPECT_EQ(fDatabase->OptionGetEffective(u"SESSION_ONLY", value), 0u);
  EXPECT_EQ(value, u"s");
}

TEST_F(DatabaseTest, FreeSpaceIsInKilobytes) {
  TqdFaultFixture fixture;
  Start();
  fSession = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(fSession, u"/db", database), 0u);
  fixture.Fs().SetFreeSpace(5 * 1048576 + 1023);
  int64_t free = -1;
  EXPECT_EQ(database->GetFreespace(free), 0u);
  EXPECT_EQ(free, 5 * 1024);
  fixture.Fs().SetFreeSpace(0, EIO);
  EXPECT_EQ(database->GetFreespace(free), qdeOSError);
  EXPECT_EQ(free, 0);
  TqdAbstractServerObject::Free(fSession);
  ASSERT_EQ(fEngine->seCloseInactiveFolders(), 0u);
}

}  // namespace
}  // namespace qd::test
