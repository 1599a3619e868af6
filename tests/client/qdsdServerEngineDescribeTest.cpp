// Server objects describing themselves into exception data (with and
// without their children), and the session's timeout batches.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client/qdsdServerEngine.h"
#include "foundation/qdllInterlocked.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "tests/client/qdsdFakeEngine.h"

namespace qd {
namespace {

using namespace qdsdFakeEngine;

using Names = std::vector<std::string>;

// The names of a container's values, in order.
Names namesOf(const TqdRef<IqdExceptionDataContainer>& aContainer) {
  Names result;
  for (int32_t i = 0; i < aContainer->Count(); ++i) result.push_back(StringToUtf8(aContainer->Values(i)->Name()));
  return result;
}

// The value reached by a path of names separated by "/"; nil when missing.
TqdRef<IqdExceptionDataValue> find(const TqdRef<IqdExceptionDataContainer>& aRoot, const std::string& aPath) {
  TqdRef<IqdExceptionDataContainer> container = aRoot;
  TqdRef<IqdExceptionDataValue> value;
  size_t from = 0;
  while (true) {
    const size_t slash = aPath.find('/', from);
    const std::string name = aPath.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
    value = nullptr;
    for (int32_t i = 0; i < container->Count(); ++i) {
      if (StringToUtf8(container->Values(i)->Name()) == name) value = container->Values(i);
    }
    if (!value || slash == std::string::npos) return value;
    if (value->ValueKind() != edkContainer) return nullptr;
    container = value->AsContainer();
    from = slash + 1;
  }
}

TqdRef<IqdExceptionDataContainer> decode(const qdString& aText) {
  return qdExceptionDataFromString(aText)->AsContainer();
}

// The version an encoded text was written for.
int32_t encodedVersion(const qdString& aText) {
  TqdAnsiStringStream stream(Base64ToStr(StringToUtf8(aText)));
  TqdReader reader(&stream, 4096);
  (void)reader.ReadIdent();
  return reader.ReadInteger();
}

// A session holding: context Shared with databases First and Second, a
// database Own with a context of its own, an empty context Empty, a cursor
// and a statement on First, and a task info.
class DescribeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = qdCreate<TqdFakeServerEngine>(nullptr);
    engine->AddTable(u"T").Dictionary->FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
    ASSERT_EQ(engine->SessionOpen(session, u"user", u"", u"direct", 10000), 0u);
    ASSERT_EQ(session->TransContextCreate(shared, 100), 0u);
    ASSERT_EQ(session->DatabaseOpen(first, u"Path", u"/a", shared, omReadWrite, smShared, 200), 0u);
    ASSERT_EQ(session->DatabaseOpen(second, u"Path", u"/b", shared, omReadWrite, smShared, 300), 0u);
    ASSERT_EQ(session->DatabaseOpen(own, u"Path", u"/c", nullptr, omReadWrite, smShared, 400), 0u);
    ASSERT_EQ(session->TransContextCreate(empty, 500), 0u);
    ASSERT_EQ(first->CursorOpen(cursor, u"T", u"", omReadWrite, smShared, 600, u"", -1, false, {}, 0, nullptr), 0u);
    ASSERT_EQ(first->StatementAlloc(statement, 700), 0u);
    taskInfo = qdCreate<TqdFakeTaskInfo>(session);
    ASSERT_EQ(first->OptionSet(u"Color", u"red"), 0u);
  }
  void TearDown() override {
    qdSetThreadClientVersion(0);
    // A task info left to the session's cleanup would be waited for.
    EXPECT_EQ(TqdAbstractServerObject::Close(taskInfo), 0u);
    EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);
    TqdComponent* component = engine;
    qdFreeAndNil(component);
  }

  // The "SelfPtr" of the description of aObject, or -1 when aValue is not a
  // description of an object.
  static int64_t selfOf(const TqdRef<IqdExceptionDataValue>& aValue) {
    if (!aValue || aValue->ValueKind() != edkContainer) return -1;
    TqdRef<IqdExceptionDataValue> self = find(aValue->AsContainer(), "SelfPtr");
    return self ? self->AsInt64() : -1;
  }
  static int64_t id(const TqdPersistent* aObject) { return static_cast<int64_t>(aObject->ObjectID()); }
  static int64_t id(TqdComponent* aComponent) { return static_cast<int64_t>(aComponent->GetComponentID()); }

  TqdFakeServerEngine* engine = nullptr;
  TqdAbstractSession* session = nullptr;
  TqdAbstractTransContext* shared = nullptr;
  TqdAbstractTransContext* empty = nullptr;
  TqdAbstractDatabase* first = nullptr;
  TqdAbstractDatabase* second = nullptr;
  TqdAbstractDatabase* own = nullptr;
  TqdAbstractCursor* cursor = nullptr;
  TqdAbstractStatement* statement = nullptr;
  TqdAbstractTaskInfo* taskInfo = nullptr;
};

// --- Entries of each class -----------------------------------------------------

TEST_F(DescribeTest, EachClassAddsItsEntriesAndItsListsOnlyWithChildren) {
  const Names base{"SelfPtr", "ClassName", "Destroying"};
  auto plus = [&](Names aMore) {
    Names names = base;
    names.insert(names.end(), aMore.begin(), aMore.end());
    return names;
  };
  struct Case {
    const char* name;
    TqdAbstractServerObject* object;
    Names without;
    Names childLists;  // added after the entries, with children only
  };
  const Case cases[] = {
      {"session",
       session,
       plus({"Timeout", "ServerEngine", "UserName", "Authenticated", "ConnectedFrom", "CleanedUp"}),
       {"Databases", "TransContexts", "TaskInfos"}},
      {"context", shared, plus({"Timeout", "Session", "AttachedDatabases"}), {"Databases"}},
      {"database with options", first, plus({"Options", "Timeout", "TransContext"}), {"Cursors", "Statements"}},
      {"database", own, plus({"Timeout", "TransContext"}), {"Cursors", "Statements"}},
      {"cursor", cursor, plus({"Timeout", "Database"}), {}},
      {"statement", statement, plus({"Timeout", "Database"}), {}},
      {"task info", taskInfo, plus({"Session"}), {}},
  };
  for (const Case& c : cases) {
    for (bool children : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (children ? " with children" : " without children"));
      const TqdRef<IqdExceptionDataContainer> root = decode(c.object->GetEncodedExceptionData(children));
      EXPECT_EQ(StringToUtf8(root->Name()), "ExceptionData");
      Names expected = c.without;
      if (children) expected.insert(expected.end(), c.childLists.begin(), c.childLists.end());
      EXPECT_EQ(namesOf(root), expected);
      EXPECT_EQ(find(root, "SelfPtr")->AsInt64(), id(c.object));
      EXPECT_FALSE(find(root, "Destroying")->AsBoolean());

      // The one-argument form, used by every other describer, keeps its
      // meaning: without children.
      TqdRef<IqdExceptionDataContainer> plain = qdCreateExceptionDataContainer(u"P", c.object);
      static_cast<TqdPersistent*>(c.object)->DescribeTo(plain.Get());
      EXPECT_EQ(namesOf(plain), c.without);
    }
  }
}

TEST_F(DescribeTest, ValuesOfTheEntries) {
  const TqdRef<IqdExceptionDataContainer> session_ = decode(session->GetEncodedExceptionData(false));
  EXPECT_EQ(find(session_, "Timeout")->AsInt64(), 10000);
  EXPECT_EQ(find(session_, "UserName")->AsString(), u"user");
  EXPECT_FALSE(find(session_, "Authenticated")->AsBoolean());
  EXPECT_EQ(find(session_, "ConnectedFrom")->AsString(), u"direct");
  EXPECT_FALSE(find(session_, "CleanedUp")->AsBoolean());
  EXPECT_EQ(selfOf(find(session_, "ServerEngine")), id(engine));

  const TqdRef<IqdExceptionDataContainer> database = decode(first->GetEncodedExceptionData(false));
  EXPECT_EQ(find(database, "Options/Color")->AsString(), u"red");
  EXPECT_EQ(find(database, "Timeout")->AsInt64(), 200);
  EXPECT_EQ(selfOf(find(database, "TransContext")), id(shared));

  struct Attached {
    const char* name;
    TqdAbstractTransContext* context;
    const char* expected;
  };
  const Attached attached[] = {
      {"two databases", shared, "Multiple"},
      {"the own context of one", own->TransContext(), "One"},
      {"no database", empty, "None"},
  };
  for (const Attached& c : attached) {
    const TqdRef<IqdExceptionDataContainer> root = decode(c.context->GetEncodedExceptionData(false));
    EXPECT_EQ(StringToUtf8(find(root, "AttachedDatabases")->AsString()), c.expected) << c.name;
    EXPECT_EQ(selfOf(find(root, "Session")), id(session)) << c.name;
  }
  for (TqdAbstractServerObject* child : std::vector<TqdAbstractServerObject*>{cursor, statement}) {
    EXPECT_EQ(selfOf(find(decode(child->GetEncodedExceptionData(true)), "Database")), id(first));
  }
  EXPECT_EQ(selfOf(find(decode(taskInfo->GetEncodedExceptionData(true)), "Session")), id(session));
}

// --- Lists and references --------------------------------------------------------

TEST_F(DescribeTest, ListMembersAreNumberedInListOrderAndDescribedWithTheirChildren) {
  const TqdRef<IqdExceptionDataContainer> root = decode(session->GetEncodedExceptionData(true));
  struct Member {
    const char* path;
    const TqdPersistent* object;
  };
  const Member members[] = {
      {"Databases/[0]", first},
      {"Databases/[1]", second},
      {"Databases/[2]", own},
      {"TransContexts/[0]", shared},
      {"TransContexts/[1]", own->TransContext()},
      {"TransContexts/[2]", empty},
      {"TaskInfos/[0]", taskInfo},
      {"Databases/[0]/Cursors/[0]", cursor},
      {"Databases/[0]/Statements/[0]", statement},
      {"TransContexts/[0]/Databases/[0]", first},
      {"TransContexts/[0]/Databases/[1]", second},
      {"TransContexts/[0]/Databases/[1]/Cursors", nullptr},
  };
  for (const Member& m : members) {
    TqdRef<IqdExceptionDataValue> value = find(root, m.path);
    ASSERT_TRUE(value) << m.path;
    if (m.object != nullptr) {
      EXPECT_EQ(selfOf(value), id(m.object)) << m.path;
    }
  }
  EXPECT_EQ(namesOf(find(root, "Databases")->AsContainer()), (Names{"[0]", "[1]", "[2]"}));
  EXPECT_EQ(find(root, "Databases/[1]/Cursors")->AsContainer()->Count(), 0);
  EXPECT_EQ(find(root, "TransContexts/[2]/Databases")->AsContainer()->Count(), 0);
}

TEST_F(DescribeTest, PlainReferencesComeWithoutTheirChildren) {
  struct Case {
    const char* name;
    TqdAbstractServerObject* object;
    const char* reference;
    const char* absentList;
  };
  const Case cases[] = {
      {"session's engine", session, "ServerEngine", "ServerEngine/Sessions"},
      {"database's context", first, "TransContext", "TransContext/Databases"},
      {"cursor's database", cursor, "Database", "Database/Cursors"},
      {"statement's database", statement, "Database", "Database/Statements"},
      {"context's session", shared, "Session", "Session/Databases"},
      {"task info's session", taskInfo, "Session", "Session/TaskInfos"},
  };
  for (const Case& c : cases) {
    const TqdRef<IqdExceptionDataContainer> root = decode(c.object->GetEncodedExceptionData(true));
    ASSERT_TRUE(find(root, c.reference)) << c.name;
    EXPECT_EQ(find(root, c.reference)->ValueKind(), edkContainer) << c.name;
    EXPECT_FALSE(find(root, c.absentList)) << c.name;
  }
}

TEST_F(DescribeTest, TheEngineIsExcludedAndObjectsAboveAreNotDescribedAgain) {
  // Below the root the session's engine is the excluded object.
  const TqdRef<IqdExceptionDataContainer> context = decode(shared->GetEncodedExceptionData(true));
  EXPECT_EQ(find(context, "Session/ServerEngine")->AsString(), u"[Excluded]");
  // A member's reference back to the object being described is a note.
  EXPECT_EQ(find(context, "Databases/[0]/TransContext")->AsString(),
            u"[Omitted to prevent cycle. Object already present 2 step up in history.]");
  const TqdRef<IqdExceptionDataContainer> root = decode(session->GetEncodedExceptionData(true));
  EXPECT_EQ(find(root, "Databases/[0]/Cursors/[0]/Database")->AsString(),
            u"[Omitted to prevent cycle. Object already present 2 step up in history.]");
}

TEST_F(DescribeTest, TheTextIsWrittenForTheThreadsClampedClientVersion) {
  struct Case {
    uint32_t thread;
    int32_t written;
  };
  const Case cases[] = {{0, 47501}, {40000, 40000}, {50000, 47501}};
  for (const Case& c : cases) {
    qdSetThreadClientVersion(c.thread);
    EXPECT_EQ(encodedVersion(cursor->GetEncodedExceptionData(false)), c.written) << c.thread;
  }
}

// --- The engine ------------------------------------------------------------------

TEST_F(DescribeTest, TheEngineListsItsSessionsOnlyWithChildren) {
  TqdAbstractSession* other = nullptr;
  ASSERT_EQ(engine->SessionOpen(other, u"other", u"", u"", 0), 0u);

  TqdRef<IqdExceptionDataContainer> without = qdCreateExceptionDataContainer(u"E", engine);
  engine->DescribeTo(without.Get());
  EXPECT_FALSE(find(without, "Sessions"));

  TqdRef<IqdExceptionDataContainer> with = qdCreateExceptionDataContainer(u"E", engine);
  engine->DescribeTo(with.Get(), true);
  EXPECT_EQ(namesOf(find(with, "Sessions")->AsContainer()), (Names{"[0]", "[1]"}));
  EXPECT_EQ(selfOf(find(with, "Sessions/[0]")), id(session));
  EXPECT_EQ(selfOf(find(with, "Sessions/[1]")), id(other));
  EXPECT_EQ(selfOf(find(with, "Sessions/[0]/Databases/[0]")), id(first));
  EXPECT_EQ(selfOf(find(with, "Sessions/[0]/Databases/[0]/Cursors/[0]")), id(cursor));
  EXPECT_EQ(find(with, "Sessions/[0]/ServerEngine")->AsString(),
            u"[Omitted to prevent cycle. Object already present 2 step up in history.]");

  // Through AddObject the flag decides.
  TqdRef<IqdExceptionDataContainer> root = qdCreateExceptionDataContainer(u"R", nullptr);
  root->AddObject(u"Plain", engine);
  root->AddObject(u"Full", engine, qdDescribeWithChildren);
  EXPECT_FALSE(find(root, "Plain/Sessions"));
  EXPECT_TRUE(find(root, "Full/Sessions/[1]"));
  EXPECT_EQ(TqdAbstractServerObject::Close(other), 0u);
}

// --- Locks -----------------------------------------------------------------------

TEST_F(DescribeTest, DescribingFromAnotherThreadOrInsideAnOperationNeverBlocks) {
  // A thread holding nothing.
  auto described = std::async(std::launch::async, [&] {
    TqdRef<IqdExceptionDataContainer> root = qdCreateExceptionDataContainer(u"E", engine);
    engine->DescribeTo(root.Get(), true);
    return root;
  });
  ASSERT_EQ(described.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(find(described.get(), "Sessions/[0]/TransContexts/[0]/Databases/[1]"));
  auto text = std::async(std::launch::async, [&] { return session->GetEncodedExceptionData(true); });
  ASSERT_EQ(text.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(find(decode(text.get()), "Databases/[0]/Statements/[0]"));

  // The thread inside one of the session's operations (holding the session
  // lock), as when an exception is converted there.
  qdString inside;
  auto* fake = static_cast<TqdFakeSession*>(session);
  fake->Work = [&] {
    inside = session->GetEncodedExceptionData(true);
    return TqdResult{0};
  };
  EXPECT_EQ(fake->RunOperation(), 0u);
  EXPECT_TRUE(find(decode(inside), "TransContexts/[0]/Databases/[1]"));
}

TEST_F(DescribeTest, ListsChangingWhileAnotherThreadDescribesStayConsistent) {
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread describer([&] {
    while (!stop.load()) {
      const TqdRef<IqdExceptionDataContainer> root = decode(session->GetEncodedExceptionData(true));
      // Every member is complete: numbered from 0 without gaps.
      const TqdRef<IqdExceptionDataContainer> statements = find(root, "Databases/[0]/Statements")->AsContainer();
      for (int32_t i = 0; i < statements->Count(); ++i) {
        EXPECT_EQ(StringToUtf8(statements->Values(i)->Name()), "[" + std::to_string(i) + "]");
        EXPECT_EQ(statements->Values(i)->ValueKind(), edkContainer);
      }
      rounds.fetch_add(1);
    }
  });
  for (int i = 0; i < 200 || rounds.load() < 5; ++i) {
    TqdAbstractStatement* extra = nullptr;
    ASSERT_EQ(first->StatementAlloc(extra, 0), 0u);
    EXPECT_EQ(TqdAbstractServerObject::Close(extra), 0u);
  }
  stop.store(true);
  describer.join();
}

// A member whose destruction has begun is no longer described: from the
// moment it is marked destroying its derived parts may be torn down while a
// description walks its owner's list.
TEST_F(DescribeTest, AMemberStillBeingConstructedIsLeftOutOfItsOwnersList) {
  // Describes the session from inside a constructor that runs after the
  // member joined its database's list: another thread describing at that
  // moment would call into an object whose derived parts do not exist yet.
  class TqdDescribingAtBirthStatement : public qdsdFakeEngine::TqdFakeStatement {
   public:
    TqdDescribingAtBirthStatement(TqdAbstractDatabase* aDatabase, TqdAbstractSession* aSession, qdString* aSeen)
        : TqdFakeStatement(aDatabase, 0) {
      *aSeen = aSession->GetEncodedExceptionData(true);
    }
  };
  const auto statementsOf = [](const qdString& aText) {
    return find(decode(aText), "Databases/[0]/Statements")->AsContainer();
  };
  qdString seen;
  TqdAbstractServerObject* born = qdCreate<TqdDescribingAtBirthStatement>(first, session, &seen);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(statementsOf(seen)->Count(), 1);
  // Once whole, it is described like any other member.
  EXPECT_EQ(statementsOf(session->GetEncodedExceptionData(true))->Count(), 2);
  qdFreeAndNil(born);
}

TEST_F(DescribeTest, AMemberBeingDestroyedIsLeftOutOfItsOwnersList) {
  // Describes the session from inside its own destruction.
  class TqdSelfDescribingStatement : public qdsdFakeEngine::TqdFakeStatement {
   public:
    using TqdFakeStatement::TqdFakeStatement;
    TqdAbstractSession* Session = nullptr;
    qdString* Seen = nullptr;

   protected:
    void PrepareDestroy() override {
      TqdFakeStatement::PrepareDestroy();
      *Seen = Session->GetEncodedExceptionData(true);
    }
  };
  const auto statementsOf = [](const qdString& aText) {
    return find(decode(aText), "Databases/[0]/Statements")->AsContainer();
  };
  qdString seen;
  auto* dying = qdCreate<TqdSelfDescribingStatement>(first, 0);
  dying->Session = session;
  dying->Seen = &seen;
  ASSERT_EQ(statementsOf(session->GetEncodedExceptionData(true))->Count(), 2);
  TqdAbstractServerObject* object = dying;
  qdFreeAndNil(object);
  ASSERT_FALSE(seen.empty());
  // Only the fixture's statement is described, numbered from 0.
  const TqdRef<IqdExceptionDataContainer> statements = statementsOf(seen);
  ASSERT_EQ(statements->Count(), 1);
  EXPECT_EQ(StringToUtf8(statements->Values(0)->Name()), "[0]");
  EXPECT_EQ(selfOf(statements->Values(0)), id(statement));
}

// --- Timeout batches ---------------------------------------------------------------

TEST_F(DescribeTest, TimeoutBatchesAnswerMinusOneOnTheSessionAndEveryChild) {
  struct Case {
    const char* name;
    TqdAbstractTimeoutObject* object;
  };
  const Case cases[] = {{"session", session}, {"context", shared},      {"database", first},
                        {"cursor", cursor},   {"statement", statement}, {"own context", own->TransContext()}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.object->BeginTimeoutBatch(), -1) << c.name;
    EXPECT_EQ(c.object->EndTimeoutBatch(), -1) << c.name;
  }

  // A run of timeouts bracketed by a batch; a database passes its timeout to
  // the context it owns, not to a shared one.
  EXPECT_EQ(session->BeginTimeoutBatch(), -1);
  session->SetTimeout(1);
  own->SetTimeout(2);
  first->SetTimeout(3);
  EXPECT_EQ(session->EndTimeoutBatch(), -1);
  EXPECT_EQ(session->Timeout(), 1u);
  EXPECT_EQ(own->Timeout(), 2u);
  EXPECT_EQ(own->TransContext()->Timeout(), 2u);
  EXPECT_EQ(first->Timeout(), 3u);
  EXPECT_EQ(shared->Timeout(), 100u);
}

TEST_F(DescribeTest, TimeoutBatchesDoNotWaitForTheSessionLock) {
  // Another thread works inside the session; the batch calls go through at
  // once (they take no lock).
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto* fake = static_cast<TqdFakeSession*>(session);
  fake->Work = [&] {
    entered.set_value();
    released.wait();
    return TqdResult{0};
  };
  std::thread worker([&] { EXPECT_EQ(fake->RunOperation(), 0u); });
  entered.get_future().wait();
  auto batch = std::async(std::launch::async, [&] { return first->BeginTimeoutBatch() + first->EndTimeoutBatch(); });
  const bool ready = batch.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  release.set_value();
  worker.join();
  ASSERT_TRUE(ready);
  EXPECT_EQ(batch.get(), -2);
}

}  // namespace
}  // namespace qd
