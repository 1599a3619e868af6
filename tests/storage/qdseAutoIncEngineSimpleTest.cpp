// The default auto-increment engine: the counter in its header section,
// initial value and step, the top of the range, and the counter across
// commit and reopen.
#include "storage/qdseAutoIncEngineSimple.h"

#include <gtest/gtest.h>

#include <vector>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

class AutoIncEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { fTable = TqdTestTable::Create(&fCache, "/db/a.qd1"); }
  void TearDown() override {
    fEngine.reset();
    fCache.CheckInvariants();
    fTable.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }
  // A new engine in the table (section created and committed).
  void CreateEngine(TqdBaseAutoIncDescriptor* aDescriptor) {
    TqdTestTransaction trans(&fCache);
    fEngine = std::make_unique<TqdSimpleAutoIncEngine>(aDescriptor, Files(), &trans);
    trans.Commit();
  }
  void Reopen(TqdBaseAutoIncDescriptor* aDescriptor) {
    fEngine.reset();
    fTable.reset();
    fTable = TqdTestTable::Open(&fCache, "/db/a.qd1");
    fEngine = std::make_unique<TqdSimpleAutoIncEngine>(aDescriptor, Files(), nullptr);
  }
  TqdBlockAccessList Files() { return TqdBlockAccessList{&fTable->Access()}; }
  std::vector<uint32_t> Take(int aCount) {
    TqdTestTransaction trans(&fCache);
    std::vector<uint32_t> values;
    for (int i = 0; i < aCount; ++i) values.push_back(fEngine->NextAutoIncValue(&trans, nullptr));
    trans.Commit();
    return values;
  }
  uint32_t Stored() {
    TqdTestTransaction trans(&fCache);
    const uint32_t value = fEngine->ReadAutoIncValue(&trans);
    trans.Rollback();
    return value;
  }
  void Store(uint32_t aValue) {
    TqdTestTransaction trans(&fCache);
    fEngine->SetAutoIncValue(&trans, aValue);
    trans.Commit();
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::unique_ptr<TqdTestTable> fTable;
  std::unique_ptr<TqdSimpleAutoIncEngine> fEngine;
};

TEST_F(AutoIncEngineTest, ValuesStartAtTheInitialValueAndGrowByTheStep) {
  struct Case {
    uint32_t initial;
    uint32_t step;
    std::vector<uint32_t> values;
  };
  const Case cases[] = {
      {1, 1, {1, 2, 3}},     {100, 10, {100, 110, 120}},      {1, 10, {1, 11, 21}},
      {5, 4294967295u, {5}}, {4294967295u, 1, {4294967295u}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.initial << " by " << c.step);
    fTable = TqdTestTable::Create(&fCache, "/db/t" + std::to_string(n++) + ".qd1");
    TqdAdvAutoIncDescriptor descriptor(nullptr, "AutoInc");
    descriptor.SetInitialValue(c.initial);
    descriptor.SetStep(c.step);
    CreateEngine(&descriptor);
    EXPECT_EQ(fEngine->InitialValue(), c.initial);
    EXPECT_EQ(fEngine->Step(), c.step);
    EXPECT_EQ(Stored(), uint32_t(c.initial - c.step));
    EXPECT_EQ(Take(int(c.values.size())), c.values);
    fEngine.reset();
  }
}

TEST_F(AutoIncEngineTest, APlainDescriptorCountsFromOneByOne) {
  TqdBaseAutoIncDescriptor descriptor(nullptr, "AutoInc");
  CreateEngine(&descriptor);
  EXPECT_EQ(Stored(), 0u);
  EXPECT_EQ(Take(2), (std::vector<uint32_t>{1, 2}));
  TqdTestTransaction trans(&fCache);
  uint32_t before = 99;
  EXPECT_EQ(fEngine->NextAutoIncValue(&trans, &before), 3u);
  EXPECT_EQ(before, 2u);
  trans.Rollback();
  EXPECT_EQ(Stored(), 2u) << "a rolled back value is not taken";
}

TEST_F(AutoIncEngineTest, TheTopOfTheRangeIsRefusedAndTheCounterKept) {
  TqdAdvAutoIncDescriptor descriptor(nullptr, "AutoInc");
  descriptor.SetStep(10);
  CreateEngine(&descriptor);
  Store(4294967295u - 10 + 1);
  TqdTestTransaction trans(&fCache);
  uint32_t before = 0;
  EXPECT_EQ(TextOf([&] { (void)fEngine->NextAutoIncValue(&trans, &before); }),
            "Maximum AutoInc value has been reached");
  EXPECT_EQ(CodeOf([&] { (void)fEngine->NextAutoIncValue(&trans, nullptr); }), qdeMaxValErr);
  EXPECT_EQ(before, 4294967295u - 9);
  EXPECT_EQ(fEngine->ReadAutoIncValue(&trans), 4294967295u - 9);
  trans.Rollback();
  Store(4294967295u - 10);
  EXPECT_EQ(Take(1), (std::vector<uint32_t>{4294967295u}));
}

TEST_F(AutoIncEngineTest, SetValueDecidesTheNextAndEverythingSurvivesReopen) {
  TqdAdvAutoIncDescriptor descriptor(nullptr, "AutoInc");
  descriptor.SetInitialValue(7);
  descriptor.SetStep(3);
  CreateEngine(&descriptor);
  EXPECT_EQ(Take(2), (std::vector<uint32_t>{7, 10}));
  Store(1000);
  EXPECT_EQ(Take(1), (std::vector<uint32_t>{1003}));
  Reopen(&descriptor);
  EXPECT_EQ(Stored(), 1003u);
  EXPECT_EQ(Take(1), (std::vector<uint32_t>{1006}));
  TqdBaseAutoIncDescriptor missing(nullptr, "Other");
  EXPECT_EQ(CodeOf([&] { TqdSimpleAutoIncEngine engine(&missing, Files(), nullptr); }), qdeObjNotFound);
}

}  // namespace
}  // namespace qd::test
