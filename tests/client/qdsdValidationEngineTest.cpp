// Validations run on record images: which engines a handler builds for each
// side, every single check with its code, text and exception class, the
// order of the run, the SQL statement hook and its field access, and the
// lookup of engine classes by name.
#include "client/qdsdValidationEngine.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::u8;

// --- An SQL engine stand-in ------------------------------------------------------------------

// Evaluates with whatever the test installs; remembers the texts it was
// built with.
class TestCheckStatement : public TqdBaseSqlCheckStatement {
 public:
  using TqdBaseSqlCheckStatement::TqdBaseSqlCheckStatement;

  static inline std::function<bool(TestCheckStatement&)> Evaluator;
  static inline std::vector<std::string> Texts;

  bool Evaluate() override { return Evaluator ? Evaluator(*this) : true; }
  const uint8_t* NewRecord() const { return bscsNewRecord; }
  const uint8_t* OldRecord() const { return bscsOldRecord; }
  const uint8_t* NewField() const { return bscsNewField; }
  const uint8_t* OldField() const { return bscsOldField; }
};

TqdBaseSqlCheckStatement* newTestStatement(TqdFieldsDescriptor* aFieldsDescriptor, TqdFieldDescriptor* aFieldDescriptor,
                                           TqdAbstractCursor* aCursor, qdStringView aSqlText) {
  TestCheckStatement::Texts.push_back(u8(aSqlText));
  return new TestCheckStatement(aFieldsDescriptor, aFieldDescriptor, aCursor, aSqlText);
}

const TqdSqlCheckStatementClass testStatementClass{u"TestCheckStatement", &newTestStatement};

struct SqlEngineScope {
  SqlEngineScope() {
    qdSqlCheckStatementClass = &testStatementClass;
    TestCheckStatement::Texts.clear();
  }
  ~SqlEngineScope() {
    qdSqlCheckStatementClass = nullptr;
    TestCheckStatement::Evaluator = nullptr;
  }
};

// --- Fixture ------------------------------------------------------------------------------------

struct Failure {
  TqdResult Code = 0;
  std::string Text;
  std::string Class;
};

class ValidationEngineTest : public ::testing::Test {
 protected:
  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }

  TqdFieldDescriptor* AddField(qdStringView aName, TqdFieldType aType, bool aRequired = false, int32_t aUnits = 0) {
    return Fields()->AddField(aName, u"", aType, aUnits, 0, aRequired);
  }
  template <class T>
  T* AddCheck(TqdFieldDescriptor* aField, qdStringView aName) {
    return static_cast<T*>(aField->EnsureValidations()->AddValidation(aName, &T::ClassInfo));
  }
  TqdMinMaxValidationDescriptor* AddRange(TqdFieldDescriptor* aField, const TqdVariant& aMin, const TqdVariant& aMax) {
    auto* range = AddCheck<TqdMinMaxValidationDescriptor>(aField, u"Range");
    range->AddKeyField(nullptr);
    range->SetMinAsVariant(aMin);
    range->SetMaxAsVariant(aMax);
    return range;
  }
  TqdSqlCheckValidationDescriptor* AddRecordCheck(qdStringView aName, qdStringView aConstraint) {
    auto* check = static_cast<TqdSqlCheckValidationDescriptor*>(
        Fields()->EnsureValidations()->AddValidation(aName, &TqdSqlCheckValidationDescriptor::ClassInfo));
    check->SetConstraint(aConstraint);
    return check;
  }

  std::vector<uint8_t> Record(std::initializer_list<std::optional<TqdVariant>> aValues) {
    std::vector<uint8_t> data(static_cast<size_t>(Fields()->RecordLength()), 0);
    Fields()->InitRecord(data.data());
    int32_t i = 0;
    for (const std::optional<TqdVariant>& value : aValues) {
      if (value) Fields()->fsdSetFieldByIndexAsVariant(data.data(), i, *value);
      ++i;
    }
    return data;
  }

  // What a run raised; Code 0 when it passed.
  static Failure Run(const std::function<void()>& aAction) {
    Failure failure;
    try {
      aAction();
    } catch (const EqdBaseException& e) {
      failure.Code = e.ErrorCode();
      failure.Text = u8(e.ProcessedErrorString());
      failure.Class = typeid(e).name();
    }
    return failure;
  }

  TqdDataDictionary dictionary;
};

std::string className(const std::type_info& aType) { return aType.name(); }

// --- Building ---------------------------------------------------------------------------------

TEST_F(ValidationEngineTest, RequiredFieldIsCheckedOnTheServerOnly) {
  AddField(u"Name", qdtNullString, true, 10);
  AddField(u"Note", qdtNullString, false, 10);
  auto server = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->EngineCount(), 1);
  ASSERT_NE(server->EngineByIndex(0), nullptr);
  EXPECT_EQ(u8(server->EngineByIndex(0)->Engine(0)->Name()), "$required");
  EXPECT_EQ(server->EngineByIndex(1), nullptr);
  EXPECT_EQ(server->FieldsEngine(), nullptr);
  EXPECT_EQ(TqdValidationsHandler::CreateFor(Fields(), aaClient, nullptr), nullptr)
      << "the client leaves required fields to the server";

  const std::vector<uint8_t> missing = Record({std::nullopt, TqdVariant(qdString(u"x"))});
  const Failure failure = Run([&] { server->ValidateRecord(nullptr, missing.data()); });
  EXPECT_EQ(failure.Code, qdeRequiredErr);
  EXPECT_EQ(failure.Text, "Field validation \"$required\" for field \"Name\" failed: Field value required.");
  EXPECT_EQ(failure.Class, className(typeid(EqdNotNullValidationEngineException)));
  const std::vector<uint8_t> given = Record({TqdVariant(qdString(u"a")), std::nullopt});
  EXPECT_EQ(Run([&] { server->ValidateRecord(nullptr, given.data()); }).Code, 0u);
}

TEST_F(ValidationEngineTest, SidesChooseTheirChecks) {
  TqdFieldDescriptor* field = AddField(u"Count", qdtInt32);
  AddRange(field, TqdVariant(int32_t{0}), TqdVariant(int32_t{9}))->SetApplyAt(TqdApplyAtSet{aaClient});
  auto* frozen = AddCheck<TqdNoChangeValidationDescriptor>(field, u"Frozen");
  frozen->AddKeyField(nullptr);
  frozen->SetApplyAt(TqdApplyAtSet{aaServer, aaClient});
  AddCheck<TqdSqlCheckValidationDescriptor>(field, u"Sql")->SetApplyAt(TqdApplyAtSet{aaServer, aaClient});

  auto client = TqdValidationsHandler::CreateFor(Fields(), aaClient, nullptr);
  ASSERT_NE(client, nullptr);
  ASSERT_NE(client->EngineByIndex(0), nullptr);
  ASSERT_EQ(client->EngineByIndex(0)->EngineCount(), 2) << "an SQL check never runs on a client";
  EXPECT_EQ(u8(client->EngineByIndex(0)->Engine(0)->ClassName()), "TqdMinMaxValidationEngine");
  EXPECT_EQ(u8(client->EngineByIndex(0)->Engine(1)->ClassName()), "TqdNoChangeValidationEngine");

  auto server = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(server->EngineByIndex(0)->EngineCount(), 2);
  EXPECT_EQ(u8(server->EngineByIndex(0)->Engine(0)->ClassName()), "TqdNoChangeValidationEngine");
  EXPECT_EQ(u8(server->EngineByIndex(0)->Engine(1)->ClassName()), "TqdSqlCheckValidationEngine");
}

TEST_F(ValidationEngineTest, ListsWithoutChecksForTheSideBuildNothing) {
  TqdFieldDescriptor* field = AddField(u"Count", qdtInt32);
  field->EnsureValidations();
  Fields()->EnsureValidations();
  EXPECT_EQ(TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr), nullptr) << "empty lists";
  AddRange(field, TqdVariant(int32_t{0}), TqdVariant::Null())->SetApplyAt(TqdApplyAtSet{aaClient});
  AddRecordCheck(u"Check", u"Count > 0");
  EXPECT_EQ(TqdValidationsHandler::CreateFor(Fields(), aaClient, nullptr)->EngineCount(), 1);
  auto server = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->EngineCount(), 1);
  EXPECT_NE(server->FieldsEngine(), nullptr);
  EXPECT_EQ(server->EngineByIndex(0), nullptr);
}

// --- Single checks -----------------------------------------------------------------------------

TEST_F(ValidationEngineTest, MinMaxBoundsAndNulls) {
  AddRange(AddField(u"Count", qdtInt32), TqdVariant(int32_t{10}), TqdVariant(int32_t{20}));
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  struct Case {
    std::optional<int32_t> Value;
    TqdResult Code;
    const char* Text;
  };
  const Case cases[] = {
      {std::nullopt, 0, ""},
      {9, qdeMinValErr, "Field validation \"Range\" for field \"Count\" failed: Minimum validity check failed."},
      {10, 0, ""},
      {20, 0, ""},
      {21, qdeMaxValErr, "Field validation \"Range\" for field \"Count\" failed: Maximum validity check failed."},
      {-30, qdeMinValErr, ""},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> record =
        Record({c.Value ? std::optional<TqdVariant>(TqdVariant(*c.Value)) : std::nullopt});
    const Failure failure = Run([&] { handler->ValidateRecord(nullptr, record.data()); });
    const std::string label = c.Value ? std::to_string(*c.Value) : "null";
    EXPECT_EQ(failure.Code, c.Code) << label;
    if (*c.Text != 0) {
      EXPECT_EQ(failure.Text, c.Text) << label;
    }
    if (c.Code != 0) {
      EXPECT_EQ(failure.Class, className(typeid(EqdMinMaxValidationEngineException))) << label;
    }
  }
}

TEST_F(ValidationEngineTest, MinMaxWithOneBoundAndTextCompare) {
  AddRange(AddField(u"Count", qdtInt32), TqdVariant::Null(), TqdVariant(int32_t{5}));
  AddRange(AddField(u"Code", qdtNullString, false, 8), TqdVariant(qdString(u"B")), TqdVariant::Null());
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  struct Case {
    int32_t Count;
    const char16_t* Code;
    TqdResult Expected;
  };
  const Case cases[] = {
      {INT32_MIN, u"B", 0}, {5, u"ZZZ", 0}, {6, u"C", qdeMaxValErr}, {1, u"A", qdeMinValErr}, {1, u"Ba", 0},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> record = Record({TqdVariant(c.Count), TqdVariant(qdString(c.Code))});
    EXPECT_EQ(Run([&] { handler->ValidateRecord(nullptr, record.data()); }).Code, c.Expected)
        << c.Count << " " << u8(c.Code);
  }
}

TEST_F(ValidationEngineTest, NoChangeLetsANullBeSetButNothingElse) {
  auto* frozen = AddCheck<TqdNoChangeValidationDescriptor>(AddField(u"Serial", qdtInt32), u"Frozen");
  frozen->AddKeyField(nullptr);
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  using V = std::optional<TqdVariant>;
  struct Case {
    bool Insert;
    V Old;
    V New;
    TqdResult Code;
  };
  const Case cases[] = {
      {true, std::nullopt, V(TqdVariant(int32_t{1})), 0},
      {false, std::nullopt, V(TqdVariant(int32_t{1})), 0},
      {false, std::nullopt, std::nullopt, 0},
      {false, V(TqdVariant(int32_t{1})), V(TqdVariant(int32_t{1})), 0},
      {false, V(TqdVariant(int32_t{1})), V(TqdVariant(int32_t{2})), qdeFieldReadOnly},
      {false, V(TqdVariant(int32_t{1})), std::nullopt, qdeFieldReadOnly},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::vector<uint8_t> oldRecord = Record({c.Old});
    const std::vector<uint8_t> newRecord = Record({c.New});
    const Failure failure =
        Run([&] { handler->ValidateRecord(c.Insert ? nullptr : oldRecord.data(), newRecord.data()); });
    EXPECT_EQ(failure.Code, c.Code) << "case " << index;
    if (c.Code != 0) {
      EXPECT_EQ(failure.Text,
                "Field validation \"Frozen\" for field \"Serial\" failed: Trying to modify read-only field.");
      EXPECT_EQ(failure.Class, className(typeid(EqdNoChangeValidationEngineException)));
    }
    ++index;
  }
}

TEST_F(ValidationEngineTest, CheckWithoutKeyFieldIsRefusedWhenBuilt) {
  AddCheck<TqdNoChangeValidationDescriptor>(AddField(u"Serial", qdtInt32), u"Frozen");
  const Failure failure = Run([&] { (void)TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr); });
  EXPECT_EQ(failure.Code, qdeObjNotFound);
  EXPECT_EQ(failure.Class, className(typeid(EqdNoChangeValidationEngineException)));
}

// --- SQL checks ----------------------------------------------------------------------------------

TEST_F(ValidationEngineTest, SqlCheckWithoutSqlEngineFails) {
  AddField(u"Count", qdtInt32);
  AddRecordCheck(u"Positive", u"Count > 0");
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  SqlEngineScope sql;  // set after the build: the engine already has no statement
  const std::vector<uint8_t> record = Record({TqdVariant(int32_t{1})});
  const Failure failure = Run([&] { handler->ValidateRecord(nullptr, record.data()); });
  EXPECT_EQ(failure.Code, qdeNotSupported);
  EXPECT_EQ(failure.Text, "Evaluation of CHECK constraint requires an SQL engine");
  EXPECT_EQ(failure.Class, className(typeid(EqdSqlCheckValidationEngineException)));
}

TEST_F(ValidationEngineTest, SqlCheckOutcomesAndTexts) {
  SqlEngineScope sql;
  AddField(u"Count", qdtInt32);
  AddRecordCheck(u"Positive", u"Count > 0");
  AddRecordCheck(u"Small", u"Count < 100")->SetErrorMessage(u"Count must stay below 100");
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(TestCheckStatement::Texts, (std::vector<std::string>{"Count > 0", "Count < 100"}));
  EXPECT_EQ(Fields()->CachedEngineClass(), &TqdFieldsValidationsEngine::ClassInfo);

  struct Case {
    const char* Label;
    std::function<bool(TestCheckStatement&)> Evaluator;
    TqdResult Code;
    const char* Text;
  };
  int calls = 0;
  const Case cases[] = {
      {"both hold", [](TestCheckStatement&) { return true; }, 0, ""},
      {"first false", [](TestCheckStatement&) { return false; }, qdeExprValErr,
       "Fields validation \"Positive\" failed: Expression validity check failed."},
      {"second false", [&](TestCheckStatement&) { return ++calls == 1; }, qdeExprValErr,
       "Fields validation \"Small\" failed: Count must stay below 100"},
      {"raising", [](TestCheckStatement&) -> bool { throw EqdBaseException(qdeNotSupported, u"bad column"); },
       qdeExprValErr, "Fields validation \"Positive\" failed: Expression validity check failed."},
  };
  const std::vector<uint8_t> record = Record({TqdVariant(int32_t{1})});
  for (const Case& c : cases) {
    calls = 0;
    TestCheckStatement::Evaluator = c.Evaluator;
    const Failure failure = Run([&] { handler->ValidateRecord(nullptr, record.data()); });
    EXPECT_EQ(failure.Code, c.Code) << c.Label;
    EXPECT_EQ(failure.Text, c.Text) << c.Label;
    if (c.Code != 0) {
      EXPECT_EQ(failure.Class, className(typeid(EqdSqlCheckValidationEngineException))) << c.Label;
    }
  }
}

TEST_F(ValidationEngineTest, SqlCheckSeesItsBuffersOnlyWhileEvaluating) {
  SqlEngineScope sql;
  TqdFieldDescriptor* field = AddField(u"Count", qdtInt32);
  AddCheck<TqdSqlCheckValidationDescriptor>(field, u"FieldCheck")->SetConstraint(u"NEW > OLD");
  AddRecordCheck(u"RecordCheck", u"Count > 0");
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  const std::vector<uint8_t> oldRecord = Record({TqdVariant(int32_t{1})});
  const std::vector<uint8_t> newRecord = Record({TqdVariant(int32_t{2})});
  const int32_t offset = field->Offset();

  struct Seen {
    const uint8_t* OldRecord;
    const uint8_t* NewRecord;
    const uint8_t* OldField;
    const uint8_t* NewField;
    bool HasField;
  };
  std::vector<Seen> seen;
  TestCheckStatement* statement = nullptr;
  TestCheckStatement::Evaluator = [&](TestCheckStatement& s) {
    statement = &s;
    seen.push_back({s.OldRecord(), s.NewRecord(), s.OldField(), s.NewField(), s.FieldDescriptor() != nullptr});
    return true;
  };
  handler->ValidateRecord(oldRecord.data(), newRecord.data());
  ASSERT_EQ(seen.size(), 2u);
  // The record-level check runs first, without field buffers.
  EXPECT_FALSE(seen[0].HasField);
  EXPECT_EQ(seen[0].OldRecord, oldRecord.data());
  EXPECT_EQ(seen[0].NewRecord, newRecord.data());
  EXPECT_EQ(seen[0].OldField, nullptr);
  EXPECT_EQ(seen[0].NewField, nullptr);
  EXPECT_TRUE(seen[1].HasField);
  EXPECT_EQ(seen[1].OldField, oldRecord.data() + offset);
  EXPECT_EQ(seen[1].NewField, newRecord.data() + offset);
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(statement->NewRecord(), nullptr) << "cleared after the evaluation";
  EXPECT_EQ(statement->NewField(), nullptr);

  seen.clear();
  handler->ValidateField(oldRecord.data(), newRecord.data(), -1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].HasField);
  seen.clear();
  handler->ValidateField(oldRecord.data(), newRecord.data(), 0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].HasField);
  seen.clear();
  for (int32_t none : {1, 99, -2}) handler->ValidateField(oldRecord.data(), newRecord.data(), none);
  EXPECT_TRUE(seen.empty());
}

// The statement's own field access, as an SQL engine uses it while it
// compiles and evaluates a condition.
class SqlCheckStatementTest : public ValidationEngineTest {
 protected:
  void SetUp() override {
    count = AddField(u"Count", qdtInt32);
    AddField(u"Title", qdtNullString, false, 10);
    AddField(u"Picture", qdtBlob);
  }
  TqdFieldDescriptor* count = nullptr;
};

TEST_F(SqlCheckStatementTest, ResolvesNamesToReferences) {
  TestCheckStatement record(Fields(), nullptr, nullptr, u"");
  TestCheckStatement own(Fields(), count, nullptr, u"");
  struct Case {
    TestCheckStatement* Statement;
    const char16_t* Name;
    int32_t Ref;
    TqdFieldType Type;
  };
  const Case cases[] = {
      {&own, u"new", kSqlCheckOwnFieldRef, qdtInt32},
      {&own, u"Old", kSqlCheckOwnFieldRef + kSqlCheckOldRef, qdtInt32},
      {&own, u"title", 1, qdtNullString},
      {&record, u"NEW", -1, qdtBoolean},
      {&record, u"COUNT", 0, qdtInt32},
      {&record, u"old$title", 1 + kSqlCheckOldRef, qdtNullString},
      {&record, u"Missing", -1, qdtBoolean},
      {&record, u"Picture", -1, qdtBoolean},
  };
  for (const Case& c : cases) {
    TqdFieldType type = qdtBoolean;
    TqdLocaleDescriptor* locale = nullptr;
    int32_t decimals = -7;
    int32_t units = -7;
    EXPECT_EQ(c.Statement->ResolveField(c.Name, type, locale, decimals, units), c.Ref) << u8(c.Name);
    EXPECT_EQ(type, c.Type) << u8(c.Name);
    if (c.Ref == 1 || c.Ref == 1 + kSqlCheckOldRef) {
      EXPECT_EQ(units, 10) << u8(c.Name);
    }
  }
}

TEST_F(SqlCheckStatementTest, ReadsValuesOfBothRecords) {
  const std::vector<uint8_t> oldRecord = Record({TqdVariant(int32_t{1}), std::nullopt});
  const std::vector<uint8_t> newRecord = Record({TqdVariant(int32_t{2}), TqdVariant(qdString(u"two"))});
  std::vector<std::string> read;
  auto readAll = [&](TestCheckStatement& s) {
    for (int32_t ref :
         {0, 1, kSqlCheckOldRef, kSqlCheckOldRef + 1, kSqlCheckOwnFieldRef, kSqlCheckOwnFieldRef + kSqlCheckOldRef}) {
      TqdVariant value;
      s.GetFieldValue(ref, value);
      read.push_back(VarIsNull(value) ? "null" : u8(value.AsString()));
    }
    return true;
  };
  TestCheckStatement own(Fields(), count, nullptr, u"");
  TestCheckStatement::Evaluator = readAll;
  EXPECT_TRUE(own.ValidateField(oldRecord.data() + count->Offset(), oldRecord.data(),
                                newRecord.data() + count->Offset(), newRecord.data()));
  EXPECT_EQ(read, (std::vector<std::string>{"2", "two", "1", "null", "2", "1"}));

  read.clear();
  EXPECT_TRUE(own.ValidateField(nullptr, nullptr, newRecord.data() + count->Offset(), newRecord.data()));
  EXPECT_EQ(read, (std::vector<std::string>{"2", "two", "null", "null", "2", "null"})) << "an insert";

  TestCheckStatement::Evaluator = [](TestCheckStatement& s) {
    TqdVariant value;
    s.GetFieldValue(17, value);
    return true;
  };
  EXPECT_FALSE(own.ValidateField(nullptr, nullptr, nullptr, newRecord.data()))
      << "a reference outside the record fails the check instead of reading past it";
  TestCheckStatement::Evaluator = nullptr;
}

// --- Running order and the required checks ---------------------------------------------------

TEST_F(ValidationEngineTest, RecordLevelChecksRunFirstThenFieldsInOrder) {
  SqlEngineScope sql;
  TestCheckStatement::Evaluator = [](TestCheckStatement&) { return false; };
  AddRange(AddField(u"A", qdtInt32), TqdVariant(int32_t{10}), TqdVariant::Null());
  AddField(u"B", qdtInt32, true);
  AddRecordCheck(u"Whole", u"A > B");
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->EngineCount(), 3);
  const std::vector<uint8_t> record = Record({TqdVariant(int32_t{1}), std::nullopt});
  EXPECT_EQ(Run([&] { handler->ValidateRecord(nullptr, record.data()); }).Code, qdeExprValErr);
  TestCheckStatement::Evaluator = nullptr;
  EXPECT_EQ(Run([&] { handler->ValidateRecord(nullptr, record.data()); }).Code, qdeMinValErr);
  const std::vector<uint8_t> inRange = Record({TqdVariant(int32_t{11}), std::nullopt});
  EXPECT_EQ(Run([&] { handler->ValidateRecord(nullptr, inRange.data()); }).Code, qdeRequiredErr);
}

TEST_F(ValidationEngineTest, RequiredChecksRunOnTheirOwn) {
  AddRange(AddField(u"A", qdtInt32, true), TqdVariant(int32_t{10}), TqdVariant::Null())
      ->SetApplyAt(TqdApplyAtSet{aaServer, aaClient});
  AddField(u"B", qdtInt32);
  AddField(u"C", qdtInt32, true);
  auto handler = TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  EXPECT_TRUE(handler->HasRequiredChecks());

  const std::vector<uint8_t> belowMin = Record({TqdVariant(int32_t{1}), std::nullopt, TqdVariant(int32_t{1})});
  EXPECT_EQ(Run([&] { handler->ValidateRequired(belowMin.data()); }).Code, 0u) << "only the required checks run";
  EXPECT_EQ(Run([&] { handler->ValidateRecord(nullptr, belowMin.data()); }).Code, qdeMinValErr);
  const std::vector<uint8_t> missingC = Record({TqdVariant(int32_t{11}), std::nullopt, std::nullopt});
  const Failure failure = Run([&] { handler->ValidateRequired(missingC.data()); });
  EXPECT_EQ(failure.Code, qdeRequiredErr);
  EXPECT_EQ(failure.Text, "Field validation \"$required\" for field \"C\" failed: Field value required.");

  auto client = TqdValidationsHandler::CreateFor(Fields(), aaClient, nullptr);
  ASSERT_NE(client, nullptr);
  EXPECT_FALSE(client->HasRequiredChecks());
  EXPECT_EQ(Run([&] { client->ValidateRequired(missingC.data()); }).Code, 0u);
}

// --- Classes by name ----------------------------------------------------------------------------

// Takes a class out of its registry for the test's scope.
struct UnregisteredScope {
  explicit UnregisteredScope(const TqdClassInfo& aClass) : Class(aClass) {
    TqdBaseRegisterableEngine::UnregisterEngine(aClass);
  }
  ~UnregisteredScope() { TqdBaseRegisterableEngine::RegisterEngine(Class); }
  const TqdClassInfo& Class;
};

TEST_F(ValidationEngineTest, UnregisteredEngineClassesAreRefusedByName) {
  auto* range = AddRange(AddField(u"A", qdtInt32), TqdVariant(int32_t{1}), TqdVariant::Null());
  AddRecordCheck(u"Whole", u"A > 0");
  struct Case {
    const TqdClassInfo* Class;
    const char* Text;
    std::string Exception;
  };
  const Case cases[] = {
      {&TqdFieldsValidationsEngine::ClassInfo, "Unknown Validations engine: \"TqdFieldsValidationsEngine\"",
       className(typeid(EqdFieldsValidationsEngineException))},
      {&TqdFieldValidationsEngine::ClassInfo, "Unknown Validations engine: \"TqdFieldValidationsEngine\"",
       className(typeid(EqdFieldValidationsEngineException))},
      {&TqdMinMaxValidationEngine::ClassInfo, "Unknown Validation engine: \"TqdMinMaxValidationEngine\"",
       className(typeid(EqdBaseFieldValidationEngineException))},
  };
  for (const Case& c : cases) {
    Fields()->SetCachedEngineClass(nullptr);
    Failure failure;
    {
      UnregisteredScope scope(*c.Class);
      failure = Run([&] { (void)TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr); });
    }
    EXPECT_EQ(failure.Code, qdeSubEngineNotSupported) << c.Text;
    EXPECT_EQ(failure.Text, c.Text);
    EXPECT_EQ(failure.Class, c.Exception) << c.Text;
  }
  range->SetApplyAt(TqdApplyAtSet{aaClient});
  UnregisteredScope scope(TqdMinMaxValidationEngine::ClassInfo);
  EXPECT_EQ(Run([&] { (void)TqdValidationsHandler::CreateFor(Fields(), aaServer, nullptr); }).Code, 0u)
      << "a check of the other side is not looked up";
}

TEST_F(ValidationEngineTest, EveryValidationClassHasARegisteredEngine) {
  TqdRegisteredClasses lists;
  TqdBaseRegisterableDescriptor::GetRegisteredDescriptors(TqdFieldValidationsDescriptor::ClassInfo, lists, false);
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_NE(TqdBaseRegisterableEngine::FindEngineClass(TqdFieldValidationsEngine::ClassInfo,
                                                       qdEngineNameFor(u"TqdFieldValidationsDescriptor")),
            nullptr);
  EXPECT_NE(TqdBaseRegisterableEngine::FindEngineClass(TqdFieldsValidationsEngine::ClassInfo,
                                                       qdEngineNameFor(u"TqdFieldsValidationsDescriptor")),
            nullptr);
  TqdRegisteredClasses checks;
  TqdBaseRegisterableDescriptor::GetRegisteredDescriptors(TqdBaseFieldValidationDescriptor::ClassInfo, checks, false);
  ASSERT_EQ(checks.size(), 3u);
  for (const TqdRegisteredClass& entry : checks)
    EXPECT_NE(
        TqdBaseRegisterableEngine::FindEngineClass(TqdBaseValidationEngine::ClassInfo, qdEngineNameFor(entry.Name)),
        nullptr)
        << u8(entry.Name);
}

}  // namespace
}  // namespace qd
