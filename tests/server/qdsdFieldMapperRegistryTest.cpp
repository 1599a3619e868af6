// The converter registry as start-up leaves it, the search order of a cell,
// the routine choice by data-loss action, and the search by cursors.
#include <gtest/gtest.h>

#include <memory>

#include "tests/client/qdsdFakeEngine.h"
#include "tests/server/qdsdFieldConverterTestSupport.h"

namespace qd {
namespace {

using namespace test;

constexpr int kTypeCount = static_cast<int>(qdtLastFieldType) + 1;
constexpr TqdDataLossAction kFail = dlaFail;
constexpr TqdDataLossAction kNull = dlaNull;

// Sizes that let every target of a filled cell yield a routine.
int32_t unitsFor(TqdFieldType aType) {
  switch (aType) {
    case qdtShortString:
    case qdtNullString:
    case qdtWideString:
    case qdtByteArray:
      return 30;
    case qdtBCD:
      return 12;
    default:
      return 0;
  }
}

TEST(FieldMapperRegistryTest, StartUpFillsTheNumericRows) {
  int filled = 0;
  for (int source = 0; source < kTypeCount; ++source) {
    for (int target = 0; target < kTypeCount; ++target) {
      const auto& cell = qdRegisteredFieldMappers(static_cast<TqdFieldType>(source), static_cast<TqdFieldType>(target));
      EXPECT_LE(cell.size(), 1u) << "no two start-up registrations share a cell";
      if (!cell.empty()) ++filled;
    }
    if (source == qdtInterval) {
      for (int target = 0; target < kTypeCount; ++target)
        EXPECT_TRUE(qdRegisteredFieldMappers(qdtInterval, static_cast<TqdFieldType>(target)).empty());
    }
  }
  EXPECT_EQ(filled, 321);
  EXPECT_EQ(qdRegisteredFieldMappers(qdtRefNr, qdtInt32).size(), 0u);
  EXPECT_EQ(qdRegisteredFieldMappers(qdtDouble, qdtDateTime).size(), 1u);
  EXPECT_EQ(qdRegisteredFieldMappers(qdtSingle, qdtDateTime).size(), 0u);
}

TEST(FieldMapperRegistryTest, EmptyCellsYieldNoConverter) {
  TqdConverterFields fields;
  const TqdDataLossAction bestFit = dlaBestFit;
  EXPECT_FALSE(qdConvert(fields.Field(qdtBoolean), fields.Field(qdtDate), &bestFit, b8(1)).Assigned);
  EXPECT_FALSE(qdConvert(fields.Field(qdtInterval), fields.Field(qdtInt32), &bestFit, b8(1)).Assigned);
  EXPECT_FALSE(qdConvert(fields.Field(qdtRefNr), fields.Field(qdtInt32), &bestFit, i64(1)).Assigned);
}

TEST(FieldMapperRegistryTest, OnlyBestFitChangesTheRoutine) {
  TqdConverterFields fields;
  int checked = 0;
  for (int source = 0; source < kTypeCount; ++source) {
    for (int target = 0; target < kTypeCount; ++target) {
      const auto sourceType = static_cast<TqdFieldType>(source);
      const auto targetType = static_cast<TqdFieldType>(target);
      if (qdRegisteredFieldMappers(sourceType, targetType).empty()) continue;
      SCOPED_TRACE(testing::Message() << "cell " << source << ", " << target);
      TqdFieldDescriptor& sourceField = fields.Field(sourceType, unitsFor(sourceType), sourceType == qdtBCD ? 2 : 0);
      TqdFieldDescriptor& targetField = fields.Field(targetType, unitsFor(targetType), targetType == qdtBCD ? 2 : 0);
      TqdMappingCode codes[3] = {};
      int i = 0;
      for (const TqdDataLossAction* action : {static_cast<const TqdDataLossAction*>(nullptr), &kFail, &kNull}) {
        std::unique_ptr<TqdFieldMapperDescriptor> desc;
        if (action != nullptr) desc = std::make_unique<TqdFieldMapperDescriptor>(u"s", u"t", *action);
        TqdMappingMethod method;
        std::unique_ptr<TqdBaseFieldMapper> instance(
            TqdBaseFieldMapper::CreateMapper(sourceField, nullptr, targetField, nullptr, desc.get(), method));
        ASSERT_TRUE(method.Assigned());
        codes[i++] = method.Code;
      }
      EXPECT_EQ(codes[0], codes[1]);
      EXPECT_EQ(codes[0], codes[2]);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 321);
}

// A class of this test: converts any Int32 into a target by writing 0x5A.
TqdResult writeMarker(const void*, const void*, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = 0x5A;
  return 0;
}
TqdBaseFieldMapper* selectMarker(TqdFieldDescriptor& aSourceField, TqdAbstractCursor*, TqdFieldDescriptor&,
                                 TqdAbstractCursor*, const TqdFieldMapperDescriptor*, TqdMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != qdtInt32) return nullptr;
  aMapper.Code = &writeMarker;
  return nullptr;
}
const TqdBaseFieldMapperClass kMarkerClass{u"TqdMarkerMapper", &selectMarker};
// Accepts no source at all: the search passes over it.
const TqdBaseFieldMapperClass kRefusingClass{u"TqdRefusingMapper", TqdBaseFieldMapper::ClassInfo.SelectConverter};

TEST(FieldMapperRegistryTest, ALaterClassIsAskedFirst) {
  TqdConverterFields fields;
  TqdFieldDescriptor& source = fields.Field(qdtInt32);
  TqdFieldDescriptor& target = fields.Field(qdtInt8);
  const TqdDataLossAction fail = dlaFail;
  qdRegisterFieldMapper(kMarkerClass, qdtInt32, qdtInt8);
  const TqdConversion marked = qdConvert(source, target, &fail, i32(1000));
  qdRegisterFieldMapper(kRefusingClass, qdtInt32, qdtInt8);
  const TqdConversion passedOver = qdConvert(source, target, &fail, i32(1000));
  qdUnregisterFieldMapper(kRefusingClass, qdtInt32, qdtInt8);
  qdUnregisterFieldMapper(kMarkerClass, qdtInt32, qdtInt8);
  EXPECT_EQ(marked.Code, 0u);
  EXPECT_EQ(marked.Target, b8(0x5A));
  EXPECT_EQ(passedOver.Target, b8(0x5A));
  EXPECT_EQ(qdConvert(source, target, &fail, i32(1000)).Code, qdeInvalidFieldXform) << "the start-up class again";
}

// Two tables "Src" and "Dst" of the fake engine and a cursor on each.
class FieldMapperCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = qdCreate<qdsdFakeEngine::TqdFakeServerEngine>(nullptr);
    engine->AddTable(u"Src").Dictionary->FieldsDescriptor()->AddField(u"Amount", u"", qdtInt32, 0, 0, false);
    engine->AddTable(u"Dst").Dictionary->FieldsDescriptor()->AddField(u"Total", u"", qdtInt64, 0, 0, false);
    ASSERT_EQ(engine->SessionOpen(session, u"ayumi", u"", u"direct", 10000), 0u);
    ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Main", nullptr, omReadWrite, smShared, 0), 0u);
    ASSERT_EQ(database->CursorOpen(source, u"Src", u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr),
              0u);
    ASSERT_EQ(database->CursorOpen(target, u"Dst", u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr),
              0u);
  }
  void TearDown() override {
    if (session != nullptr) {
      EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);
    }
    TqdComponent* component = engine;
    qdFreeAndNil(component);
  }

  qdsdFakeEngine::TqdFakeServerEngine* engine = nullptr;
  TqdAbstractSession* session = nullptr;
  TqdAbstractDatabase* database = nullptr;
  TqdAbstractCursor* source = nullptr;
  TqdAbstractCursor* target = nullptr;
};

TEST_F(FieldMapperCursorTest, FieldsAreFoundByTheDescriptorsNames) {
  TqdFieldMapperDescriptor desc(u"amount", u"TOTAL", dlaFail);
  TqdMappingMethod method;
  std::unique_ptr<TqdBaseFieldMapper> instance(TqdBaseFieldMapper::CreateMapper(source, target, desc, method));
  ASSERT_TRUE(method.Assigned());
  const Image value = i32(-5);
  Image total(8, 0);
  EXPECT_EQ(method(value.data(), total.data()), 0u);
  EXPECT_EQ(total, i64(-5));
}

TEST_F(FieldMapperCursorTest, AMisspeltNameRaises10038) {
  const std::pair<const char16_t*, const char16_t*> names[] = {{u"Amount", u"Totl"}, {u"Amont", u"Total"}};
  for (const auto& [sourceName, targetName] : names) {
    TqdFieldMapperDescriptor desc(sourceName, targetName, dlaFail);
    TqdMappingMethod method;
    method.Code = &writeMarker;
    try {
      (void)TqdBaseFieldMapper::CreateMapper(source, target, desc, method);
      ADD_FAILURE() << "no exception";
    } catch (const EqdBaseFieldMapperException& e) {
      EXPECT_EQ(e.ErrorCode(), qdeInvalidFieldName);
    }
    EXPECT_FALSE(method.Assigned());
  }
}

}  // namespace
}  // namespace qd
