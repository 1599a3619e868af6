// Filter descriptors and engines: the descriptor stream and registries,
// filter IDs, callback filters, hubs, SQL filters over a stub statement, and
// the fields descriptor as a fields source.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineCallback.h"
#include "dictionary/qdsdFilterEngineHub.h"
#include "dictionary/qdsdFilterEngineSQL.h"
#include "foundation/qdllStreams.h"
#include "platform/qdLittleEndian.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::catchError;

// The text an engine exception built from aCode would carry now.
std::string pendingText(TqdResult aCode) {
  return catchError([&] { throw EqdBaseException(aCode); }).Text;
}

Bytes streamOf(const TqdBaseFilterDescriptor& aDescriptor, TqdResult aExpected = 0) {
  TqdAnsiStringStream stream;
  EXPECT_EQ(aDescriptor.WriteToStream(&stream, qdEngineClientVersion), aExpected);
  return Bytes(stream.DataString().begin(), stream.DataString().end());
}

TqdResult readFilter(const Bytes& aBytes, std::unique_ptr<TqdBaseFilterDescriptor>& aFilter) {
  TqdAnsiStringStream stream(std::string(aBytes.begin(), aBytes.end()));
  TqdBaseFilterDescriptor* filter = nullptr;
  const TqdResult result = TqdBaseFilterDescriptor::CreateFromStream(&stream, filter);
  aFilter.reset(filter);
  return result;
}

Bytes withName(const std::string& aName, const Bytes& aData) {
  Bytes bytes = {static_cast<uint8_t>(aName.size())};
  bytes.insert(bytes.end(), aName.begin(), aName.end());
  bytes.insert(bytes.end(), aData.begin(), aData.end());
  return bytes;
}

// --- Descriptor stream ---------------------------------------------------------------

TEST(FilterDescriptorStreamTest, SqlDescriptorWritesItsNameVersionLengthAndCharacters) {
  const Bytes bytes = streamOf(TqdSqlFilterDescriptor(u"A<5"));
  EXPECT_EQ(bytes, withName("TqdSqlFilterDescriptor", {2, 3, 0, 0, 0, 'A', 0, '<', 0, '5', 0}));
  std::unique_ptr<TqdBaseFilterDescriptor> copy;
  ASSERT_EQ(readFilter(bytes, copy), 0u);
  auto* sql = dynamic_cast<TqdSqlFilterDescriptor*>(copy.get());
  ASSERT_NE(sql, nullptr);
  EXPECT_EQ(sql->Expression(), u"A<5");
}

TEST(FilterDescriptorStreamTest, ReaderFindsClassesWithOrWithoutTheSuffixAndRefusesTheRest) {
  struct ReadCase {
    const char* what;
    Bytes bytes;
    TqdResult code;
    const char* text;  // the text left for the code, when there is one
  } const cases[] = {
      {"name without the suffix", withName("TqdSqlFilter", {2, 1, 0, 0, 0, 'x', 0}), 0, ""},
      {"name in another letter case", withName("tqdsqlfilterdescriptor", {2, 1, 0, 0, 0, 'x', 0}), 0, ""},
      {"version 1 in 8-bit text", withName("TqdSqlFilterDescriptor", {1, 1, 0, 0, 0, 'x'}), 0, ""},
      {"unknown class", withName("TqdNoSuchFilter", {}), qdeNotSupported,
       "Filter descriptor not supported: TqdNoSuchFilter"},
      {"class without a stream form", withName("TqdCallbackFilterDescriptor", {}), qdeNotSupported,
       "TqdCallbackFilterDescriptor can not be created from a stream"},
      {"empty stream", {}, qdeInvalidParam, ""},
      {"short class name", {10, 'T', 'q', 'd'}, qdeInvalidParam, ""},
      {"SQL version 3", withName("TqdSqlFilterDescriptor", {3, 1, 0, 0, 0, 'x', 0}), qdeIncompatibleStream, ""},
      {"SQL length cut", withName("TqdSqlFilterDescriptor", {2, 1, 0}), qdeIncompatibleStream, ""},
      {"SQL text cut", withName("TqdSqlFilterDescriptor", {2, 2, 0, 0, 0, 'x', 0}), qdeIncompatibleStream, ""},
      {"SQL length beyond the stream", withName("TqdSqlFilterDescriptor", {2, 0xFF, 0xFF, 0xFF, 0x7F}),
       qdeIncompatibleStream, ""},
      {"SQL negative length", withName("TqdSqlFilterDescriptor", {2, 0xFF, 0xFF, 0xFF, 0xFF}), qdeIncompatibleStream,
       ""},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TqdBaseFilterDescriptor> filter;
    EXPECT_EQ(readFilter(c.bytes, filter), c.code);
    if (c.code == 0) {
      auto* sql = dynamic_cast<TqdSqlFilterDescriptor*>(filter.get());
      ASSERT_NE(sql, nullptr);
      EXPECT_EQ(sql->Expression(), u"x");
    } else {
      EXPECT_EQ(filter, nullptr);
      if (std::string(c.text) != "") {
        EXPECT_EQ(pendingText(c.code), c.text);
      }
    }
  }
}

TEST(FilterDescriptorStreamTest, DescriptorsWithoutAStreamFormRefuseToWrite) {
  TqdCallbackFilterDescriptor callback(nullptr, nullptr);
  EXPECT_TRUE(streamOf(callback, qdeNotSupported).empty());
  EXPECT_EQ(pendingText(qdeNotSupported), "WriteToStream is not supported by TqdCallbackFilterDescriptor");
  TqdFilterDescriptorHub hub;
  EXPECT_TRUE(streamOf(hub, qdeNotSupported).empty());
  EXPECT_EQ(pendingText(qdeNotSupported), "WriteToStream is not supported by TqdFilterDescriptorHub");
}

// A descriptor class whose engine class nobody registered.
class TqdOrphanFilterDescriptor : public TqdBaseFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
};
const TqdFilterDescriptorClass TqdOrphanFilterDescriptor::ClassInfo{
    {u"TqdOrphanFilterDescriptor", &TqdBaseFilterDescriptor::ClassInfo, nullptr}, nullptr};

TEST(FilterEngineTest, CreateForFindsTheEngineByNameOrRaises15503) {
  TqdOrphanFilterDescriptor orphan;
  EXPECT_ENGINE_ERROR(TqdBaseFilterEngine::CreateFor(&orphan, nullptr), qdeSubEngineNotSupported,
                      "Unknown Filter engine: \"TqdOrphanFilterEngine\"");
  TqdCallbackFilterDescriptor callback(nullptr, nullptr);
  std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(&callback, nullptr));
  EXPECT_NE(dynamic_cast<TqdCallbackFilterEngine*>(engine.get()), nullptr);
  EXPECT_FALSE(engine->Active());
  // An engine insists on its own descriptor class.
  EXPECT_THROW(TqdCallbackFilterEngine(&orphan, nullptr), EInvalidCast);
}

// --- Callback filters and filter IDs ----------------------------------------------------

struct CallCounter {
  int calls = 0;
  bool answer = true;
};

bool countingCallback(void* aCookie, const uint8_t*) {
  auto* counter = static_cast<CallCounter*>(aCookie);
  ++counter->calls;
  return counter->answer;
}

TqdBaseFilterEngine* callbackEngine(CallCounter& aCounter) {
  TqdCallbackFilterDescriptor descriptor(&aCounter, &countingCallback);
  return TqdBaseFilterEngine::CreateFor(&descriptor, nullptr);
}

TEST(FilterEngineTest, CallbackRefusesOnlyWhenActiveAndTheCallbackSaysSo) {
  const uint8_t buffer[4] = {};
  CallCounter counter{0, false};
  std::unique_ptr<TqdBaseFilterEngine> engine(callbackEngine(counter));
  EXPECT_TRUE(engine->MatchesBuffer(buffer));  // inactive: not asked
  EXPECT_EQ(counter.calls, 0);
  ASSERT_EQ(engine->ActivateFilter(engine->FilterID()), 0u);
  EXPECT_FALSE(engine->MatchesBuffer(buffer));
  counter.answer = true;
  EXPECT_TRUE(engine->MatchesBuffer(buffer));
  EXPECT_EQ(counter.calls, 2);

  TqdCallbackFilterDescriptor noCallback(&counter, nullptr);
  std::unique_ptr<TqdBaseFilterEngine> empty(TqdBaseFilterEngine::CreateFor(&noCallback, nullptr));
  ASSERT_EQ(empty->ActivateFilter(0), 0u);
  EXPECT_TRUE(empty->MatchesBuffer(buffer));

  std::unique_ptr<TqdBaseFilterDescriptor> back(engine->CreateDescriptor());
  auto* copy = dynamic_cast<TqdCallbackFilterDescriptor*>(back.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Cookie(), &counter);
  EXPECT_EQ(copy->Callback(), &countingCallback);

  // A duplicate keeps the active state and is a filter of its own.
  std::unique_ptr<TqdBaseFilterEngine> twin(engine->Duplicate(nullptr));
  EXPECT_TRUE(twin->Active());
  EXPECT_NE(twin->FilterID(), engine->FilterID());
}

TEST(FilterEngineTest, ForeignFilterIDsChangeNothing) {
  CallCounter counter;
  TqdBaseFilterEngine* engine = callbackEngine(counter);
  CallCounter otherCounter;
  std::unique_ptr<TqdBaseFilterEngine> other(callbackEngine(otherCounter));
  const TqdFilterID foreign = other->FilterID();
  EXPECT_NE(engine->FilterID(), 0u);
  EXPECT_EQ(engine->ActivateFilter(foreign), qdeInvalidFilterHandle);
  EXPECT_FALSE(engine->Active());
  EXPECT_EQ(engine->ActivateFilter(0), 0u);
  EXPECT_EQ(engine->DeactivateFilter(foreign), qdeInvalidFilterHandle);
  EXPECT_TRUE(engine->Active());
  EXPECT_EQ(engine->DeactivateFilter(engine->FilterID()), 0u);
  EXPECT_FALSE(engine->Active());
  EXPECT_EQ(TqdBaseFilterEngine::RemoveFilter(engine, foreign), qdeInvalidFilterHandle);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(TqdBaseFilterEngine::RemoveFilter(engine, engine->FilterID()), 0u);
  EXPECT_EQ(engine, nullptr);
}

// --- Hubs -------------------------------------------------------------------------------------

class FilterHubTest : public ::testing::Test {
 protected:
  // A hub of two active counting filters.
  TqdBaseFilterEngine* MakeHub() {
    TqdBaseFilterEngine* first = callbackEngine(first_);
    TqdBaseFilterEngine* second = callbackEngine(second_);
    firstID = first->FilterID();
    secondID = second->FilterID();
    auto* hub = new TqdFilterEngineHub(first, second);
    EXPECT_EQ(hub->ActivateFilter(0), 0u);
    return hub;
  }
  TqdFilterEngineHub* Hub(TqdBaseFilterEngine* aEngine) { return dynamic_cast<TqdFilterEngineHub*>(aEngine); }

  CallCounter first_, second_;
  TqdFilterID firstID = 0, secondID = 0;
  const uint8_t buffer[4] = {};
};

TEST_F(FilterHubTest, FirstRefusalStopsTheHub) {
  std::unique_ptr<TqdBaseFilterEngine> hub(MakeHub());
  EXPECT_TRUE(hub->MatchesBuffer(buffer));
  EXPECT_EQ(first_.calls, 1);
  EXPECT_EQ(second_.calls, 1);
  first_.answer = false;
  EXPECT_FALSE(hub->MatchesBuffer(buffer));
  EXPECT_EQ(first_.calls, 2);
  EXPECT_EQ(second_.calls, 1);  // never asked
  std::unique_ptr<TqdBaseFilterEngine> empty(
      new TqdFilterEngineHub(static_cast<const TqdBaseFilterDescriptor*>(nullptr), nullptr));
  EXPECT_TRUE(empty->MatchesBuffer(buffer));
  EXPECT_FALSE(empty->Active());
}

TEST_F(FilterHubTest, ActivationByZeroSwitchesAllAndByMemberIDOnlyThatMember) {
  std::unique_ptr<TqdBaseFilterEngine> hub(MakeHub());
  TqdFilterEngineHub* h = Hub(hub.get());
  EXPECT_TRUE(h->fehGetFilter(0)->Active());
  EXPECT_TRUE(h->fehGetFilter(1)->Active());
  EXPECT_EQ(hub->DeactivateFilter(secondID), 0u);
  EXPECT_TRUE(h->fehGetFilter(0)->Active());
  EXPECT_FALSE(h->fehGetFilter(1)->Active());
  EXPECT_TRUE(hub->Active());  // any member
  EXPECT_EQ(hub->DeactivateFilter(0), 0u);
  EXPECT_FALSE(hub->Active());
  EXPECT_EQ(hub->ActivateFilter(firstID), 0u);
  EXPECT_TRUE(h->fehGetFilter(0)->Active());
  EXPECT_FALSE(h->fehGetFilter(1)->Active());
  EXPECT_EQ(hub->ActivateFilter(hub->FilterID()), qdeInvalidFilterHandle);  // the hub's own ID is no member
  EXPECT_EQ(hub->ActivateFilter(12345678), qdeInvalidFilterHandle);
  EXPECT_ENGINE_ERROR(h->fehGetFilter(2), qdeInvalidDescNum, "");
}

TEST_F(FilterHubTest, RemovingAMemberOfTwoLeavesTheOtherInTheVariable) {
  for (const bool removeFirst : {true, false}) {
    SCOPED_TRACE(removeFirst);
    TqdBaseFilterEngine* filter = MakeHub();
    const TqdFilterID keep = removeFirst ? secondID : firstID;
    EXPECT_EQ(TqdBaseFilterEngine::RemoveFilter(filter, removeFirst ? firstID : secondID), 0u);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->FilterID(), keep);
    EXPECT_EQ(Hub(filter), nullptr);
    EXPECT_EQ(TqdBaseFilterEngine::RemoveFilter(filter, keep), 0u);
    EXPECT_EQ(filter, nullptr);
  }
}

TEST_F(FilterHubTest, RemovalFromALargerHubKeepsTheHubAndForeignIDsAreRefused) {
  TqdBaseFilterEngine* filter = MakeHub();
  CallCounter third;
  TqdBaseFilterEngine* member = callbackEngine(third);
  const TqdFilterID thirdID = member->FilterID();
  Hub(filter)->AddFilter(member);
  EXPECT_EQ(TqdBaseFilterEngine::RemoveFilter(filter, 87654321), qdeInvalidFilterHandle);
  EXPECT_EQ(Hub(filter)->FilterCount(), 3);
  EXPECT_EQ(TqdBaseFilterEngine::RemoveFilter(filter, firstID), 0u);
  ASSERT_NE(Hub(filter), nullptr);
  EXPECT_EQ(Hub(filter)->FilterCount(), 2);
  EXPECT_EQ(Hub(filter)->fehGetFilter(0)->FilterID(), secondID);
  EXPECT_EQ(Hub(filter)->fehGetFilter(1)->FilterID(), thirdID);
  // Removing the hub by its own ID frees it with its members.
  EXPECT_EQ(TqdBaseFilterEngine::RemoveFilter(filter, filter->FilterID()), 0u);
  EXPECT_EQ(filter, nullptr);
}

TEST_F(FilterHubTest, HubDescriptorsBuildHubEnginesAndBack) {
  auto* descriptor = new TqdFilterDescriptorHub();
  std::unique_ptr<TqdFilterDescriptorHub> owner(descriptor);
  descriptor->AddFilter(new TqdCallbackFilterDescriptor(&first_, &countingCallback));
  descriptor->AddFilter(new TqdCallbackFilterDescriptor(&second_, &countingCallback));
  std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(descriptor, nullptr));
  ASSERT_NE(Hub(engine.get()), nullptr);
  ASSERT_EQ(Hub(engine.get())->FilterCount(), 2);
  EXPECT_EQ(engine->ActivateFilter(0), 0u);
  second_.answer = false;
  EXPECT_FALSE(engine->MatchesBuffer(buffer));

  std::unique_ptr<TqdBaseFilterDescriptor> back(engine->CreateDescriptor());
  auto* hubBack = dynamic_cast<TqdFilterDescriptorHub*>(back.get());
  ASSERT_NE(hubBack, nullptr);
  ASSERT_EQ(hubBack->FilterCount(), 2);
  EXPECT_EQ(static_cast<TqdCallbackFilterDescriptor*>(hubBack->fdhGetFilter(1))->Cookie(), &second_);

  std::unique_ptr<TqdBaseFilterEngine> twin(engine->Duplicate(nullptr));
  ASSERT_NE(Hub(twin.get()), nullptr);
  EXPECT_EQ(Hub(twin.get())->FilterCount(), 2);
  EXPECT_TRUE(Hub(twin.get())->fehGetFilter(1)->Active());
  EXPECT_FALSE(twin->MatchesBuffer(buffer));

  descriptor->RemoveFilter(descriptor->fdhGetFilter(0));
  EXPECT_EQ(descriptor->FilterCount(), 1);
  TqdCallbackFilterDescriptor stranger(nullptr, nullptr);
  EXPECT_THROW(descriptor->RemoveFilter(&stranger), EAssertionFailed);
  descriptor->RemoveFilter(0);
  EXPECT_EQ(descriptor->FilterCount(), 0);
}

// --- SQL filters ---------------------------------------------------------------------------

// Stands in for the SQL engine's statement: the condition is the name of a
// Boolean field; a null value raises, as a failing expression would.
class TqdStubSqlFilterStatement : public TqdBaseSqlFilterStatement {
 public:
  TqdStubSqlFilterStatement(IqdFieldsSource* aFieldsSource, qdStringView aSqlText)
      : TqdBaseSqlFilterStatement(aFieldsSource, aSqlText) {
    TqdFieldType type;
    TqdLocaleDescriptor* locale = nullptr;
    int32_t decimals = 0, units = 0;
    ssField = ResolveColumn(aSqlText, type, locale, decimals, units);
    if (ssField < 0) throw EqdBaseSqlFilterStatementException(qdeNotSupported, u"unknown column");
  }

  bool Evaluate(const uint8_t* aBuffer) override {
    if (inside.fetch_add(1) != 0) overlapped = true;
    std::this_thread::yield();
    TqdVariant value;
    GetColumnValue(aBuffer, ssField, value);
    inside.fetch_sub(1);
    if (value.IsNull()) throw EqdBaseException(qdeNotSupported, u"division by zero");
    return value.AsBoolean();
  }

  static TqdBaseSqlFilterStatement* Create(IqdFieldsSource* aFieldsSource, qdStringView aSqlText) {
    return new TqdStubSqlFilterStatement(aFieldsSource, aSqlText);
  }

  static inline std::atomic<int> inside{0};
  static inline std::atomic<bool> overlapped{false};

 private:
  int32_t ssField;
};

const TqdSqlFilterStatementClass stubStatementClass{u"TqdStubSqlFilterStatement", &TqdStubSqlFilterStatement::Create};

class SqlFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fields()->AddField(u"Ok", u"", qdtBoolean, 0, 0, false);
    Fields()->AddField(u"Notes", u"", qdtBlobMemo, 0, 0, false);
    Fields()->AddField(u"Count", u"", qdtInt32, 0, 0, false);
    SqlFilterStatementClass = &stubStatementClass;
  }
  void TearDown() override { SqlFilterStatementClass = nullptr; }

  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }
  Bytes Record(int aOk) {  // -1: null
    Bytes record(static_cast<size_t>(Fields()->RecordLength() + 4), 0);
    Fields()->InitRecord(record.data());
    if (aOk >= 0) {
      const uint8_t value = static_cast<uint8_t>(aOk);
      Fields()->SetRecordField(0, record.data(), &value);
    }
    return record;
  }

  TqdDataDictionary dictionary;
};

TEST_F(SqlFilterTest, WithoutAStatementClassTheEngineIsRefused) {
  SqlFilterStatementClass = nullptr;
  TqdSqlFilterDescriptor descriptor(u"Ok");
  EXPECT_ENGINE_ERROR(TqdBaseFilterEngine::CreateFor(&descriptor, Fields()), qdeNotSupported,
                      "SQL Filters require SqlFilterStatementClass to be assigned");
}

// A filtered index builds its filter on the table's fields descriptor,
// which has no cursor.
TEST_F(SqlFilterTest, EvaluatesOnRecordImagesWithoutACursor) {
  TqdLocaleDescriptor* locale = dictionary.AddLocaleDescriptor();
  locale->SetLocale(1041);
  TqdSqlFilterDescriptor descriptor(u"Ok");
  std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(&descriptor, Fields()));
  auto* sql = dynamic_cast<TqdSqlFilterEngine*>(engine.get());
  ASSERT_NE(sql, nullptr);
  ASSERT_NE(sql->Statement(), nullptr);
  EXPECT_EQ(sql->Statement()->Cursor(), nullptr);
  EXPECT_EQ(sql->Statement()->LiteralLocale(), locale);

  const Bytes yes = Record(1), no = Record(0), null = Record(-1);
  EXPECT_TRUE(engine->MatchesBuffer(no.data()));  // inactive
  ASSERT_EQ(engine->ActivateFilter(0), 0u);
  EXPECT_TRUE(engine->MatchesBuffer(yes.data()));
  EXPECT_FALSE(engine->MatchesBuffer(no.data()));
  EXPECT_FALSE(engine->MatchesBuffer(null.data()));  // the condition raised: refused
  EXPECT_TRUE(engine->MatchesBuffer(nullptr));

  std::unique_ptr<TqdBaseFilterDescriptor> back(engine->CreateDescriptor());
  auto* copy = dynamic_cast<TqdSqlFilterDescriptor*>(back.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Expression(), u"Ok");
}

TEST_F(SqlFilterTest, ColumnsResolveToFieldsExceptBlobsTheSourceCannotRead) {
  TqdStubSqlFilterStatement statement(Fields(), u"Ok");
  TqdFieldType type = qdtBoolean;
  TqdLocaleDescriptor* locale = nullptr;
  int32_t decimals = -1, units = -1;
  EXPECT_EQ(statement.ResolveColumn(u"count", type, locale, decimals, units), 2);
  EXPECT_EQ(type, qdtInt32);
  EXPECT_EQ(statement.ResolveColumn(u"Notes", type, locale, decimals, units), -1);
  EXPECT_EQ(type, qdtBlobMemo);
  EXPECT_EQ(statement.ResolveColumn(u"Missing", type, locale, decimals, units), -1);
  TqdVariant value = TqdVariant(int32_t{5});
  statement.GetColumnValue(nullptr, 2, value);
  EXPECT_TRUE(value.IsNull());
}

// Key engines of a cached dictionary are shared by threads: every thread's
// buffer is its own, and the statement sees one buffer at a time.
TEST_F(SqlFilterTest, OneEngineServesSeveralThreads) {
  TqdSqlFilterDescriptor descriptor(u"Ok");
  std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(&descriptor, Fields()));
  ASSERT_EQ(engine->ActivateFilter(0), 0u);
  TqdStubSqlFilterStatement::overlapped = false;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Bytes record = Record(t % 2);
      for (int i = 0; i < 300; ++i)
        if (engine->MatchesBuffer(record.data()) != (t % 2 == 1)) ++wrong;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_FALSE(TqdStubSqlFilterStatement::overlapped);
}

// --- The fields descriptor as a fields source ----------------------------------------

TEST(FieldsSourceTest, FieldsDescriptorAnswersForRecordImages) {
  TqdDataDictionary dictionary;
  TqdFieldsDescriptor* fields = dictionary.FieldsDescriptor();
  fields->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  fields->AddField(u"Title", u"", qdtNullString, 10, 0, false);
  IqdFieldsSource* source = fields;
  EXPECT_EQ(source->GetFieldCount(), 2);
  EXPECT_EQ(source->GetFieldFromName(u"TITLE"), 1);
  EXPECT_EQ(source->GetFieldFromName(u"Nope"), -1);
  EXPECT_EQ(source->GetFieldDescriptor(1)->GetName(), u"Title");
  EXPECT_FALSE(source->BlobsSupported());
  EXPECT_EQ(source->GetCursor(), nullptr);
  EXPECT_EQ(source->GetFieldsOffset(), 0);
  Bytes record(static_cast<size_t>(fields->RecordLength() + 4), 0);
  fields->InitRecord(record.data());
  EXPECT_TRUE(source->GetFieldAsVariant(record.data(), 0).IsNull());
  const int32_t id = 42;
  fields->SetRecordField(0, record.data(), &id);
  EXPECT_EQ(source->GetFieldAsVariant(record.data(), 0).AsInteger(), 42);
}

}  // namespace
}  // namespace qd
