// Master links, circular links, data sources, parameters and index
// definitions.
#include <gtest/gtest.h>

#include "platform/db/qdDB.h"
#include "platform/db/qdDBConsts.h"
#include "platform/qdDateTime.h"
#include "tests/platform/db/qdDBTestDataSet.h"

namespace qd {
namespace {

using test::FieldLayout;
using test::ScriptedDataSet;

// A dataset that follows a master through a master link.
class DetailDataSet : public ScriptedDataSet {
 public:
  DetailDataSet() : ScriptedDataSet({{u"a", ftInteger}}), masterLink(this) {}
  TDataSource* GetDataSource() override { return masterLink.DataSource(); }
  TMasterDataLink masterLink;
};

class MasterLinkTest : public ::testing::Test {
 public:
  void SetUp() override {
    master.reset(new ScriptedDataSet({{u"a", ftInteger}, {u"b", ftString, 5}, {u"c", ftInteger}}));
    master->SetName(u"tblMaster");
    for (int32_t row = 0; row < 3; ++row) master->rows.push_back({TqdVariant(row), TqdVariant(u"x"), TqdVariant(row)});
    masterSource.reset(new TDataSource(nullptr));
    masterSource->SetName(u"dsMaster");
    masterSource->SetDataSet(master.get());
    detail.reset(new DetailDataSet());
    detail->SetName(u"tblDetail");
    detailSource.reset(new TDataSource(nullptr));
    detailSource->SetName(u"dsDetail");
    detailSource->SetDataSet(detail.get());
    detail->masterLink.OnMasterChange = [this](TDataSet* aDataSet) {
      EXPECT_EQ(aDataSet, detail.get());
      ++changes;
    };
    detail->masterLink.OnMasterDisable = [this](TDataSet*) { ++disables; };
  }
  void TearDown() override {
    detail->masterLink.SetDataSource(nullptr);
    detailSource.reset();
    detail.reset();
    masterSource.reset();
    master.reset();
  }

  TqdComponentPtr<ScriptedDataSet> master;
  TqdComponentPtr<TDataSource> masterSource;
  TqdComponentPtr<DetailDataSet> detail;
  TqdComponentPtr<TDataSource> detailSource;
  int changes = 0, disables = 0;
};

TEST_F(MasterLinkTest, ResolvesItsFieldsAndFollowsTheMaster) {
  TMasterDataLink& link = detail->masterLink;
  detail->Open();
  link.SetFieldNames(u"a;b");
  link.SetDataSource(masterSource.get());
  EXPECT_TRUE(link.Fields().empty());
  // The master is closed: the open detail is told it has nothing to follow.
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(disables, 1);  // on the change of field names
  disables = 0;
  master->Open();
  ASSERT_EQ(link.Fields().size(), 2u);
  EXPECT_EQ(link.Fields()[0], master->FieldByName(u"a"));
  EXPECT_EQ(link.Fields()[1], master->FieldByName(u"b"));
  EXPECT_EQ(changes, 1);

  master->Next();
  EXPECT_EQ(changes, 2);
  master->Edit();
  const int beforeFieldChanges = changes;
  master->FieldByName(u"c")->SetAsInteger(5);  // not a link field
  EXPECT_EQ(changes, beforeFieldChanges);
  master->FieldByName(u"b")->SetAsString(u"y");
  EXPECT_EQ(changes, beforeFieldChanges + 1);
  master->Cancel();  // the record is read again: a change
  const int settled = changes;
  EXPECT_EQ(settled, beforeFieldChanges + 2);

  EXPECT_EQ(disables, 0);
  master->Close();
  EXPECT_EQ(disables, 1);
  EXPECT_TRUE(link.Fields().empty());

  // A closed detail hears nothing.
  detail->Close();
  master->Open();
  master->Next();
  EXPECT_EQ(disables, 1);
  EXPECT_EQ(changes, settled);
}

TEST_F(MasterLinkTest, UnknownLinkFieldRaisesWhenTheMasterOpens) {
  detail->masterLink.SetFieldNames(u"a;nope");
  detail->masterLink.SetDataSource(masterSource.get());
  EXPECT_THROW(master->Open(), EDatabaseError);
  EXPECT_TRUE(detail->masterLink.Fields().empty());
}

TEST_F(MasterLinkTest, ALinkBackToTheDetailIsCircular) {
  detail->masterLink.SetDataSource(masterSource.get());
  EXPECT_TRUE(masterSource->IsLinkedTo(detail.get()));
  EXPECT_FALSE(detailSource->IsLinkedTo(master.get()));

  // The master following the detail would close the loop.
  TMasterDataLink back(master.get());
  try {
    back.SetDataSource(detailSource.get());
    FAIL() << "linked";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"tblMaster: Circular data link with data source [dsDetail]");
  }
  EXPECT_EQ(back.DataSource(), nullptr);
  // A detail following its own data source, too.
  TMasterDataLink self(detail.get());
  EXPECT_THROW(self.SetDataSource(detailSource.get()), EDatabaseError);

  std::vector<TDataSet*> details;
  master->GetDetailDataSets(details);
  EXPECT_EQ(details, (std::vector<TDataSet*>{detail.get()}));
}

TEST_F(MasterLinkTest, FreeingTheDataSetDetachesItsSources) {
  master->Open();
  master.reset();
  EXPECT_EQ(masterSource->DataSet(), nullptr);
  EXPECT_EQ(masterSource->State(), dsInactive);
}

TEST(ParamsTest, ParamByNameRaisesForAMissingName) {
  TParams params;
  params.CreateParam(ftString, u"Exam", ptInput);
  EXPECT_EQ(params.ParamByName(u"exam"), params[0]);
  EXPECT_EQ(params.FindParam(u"none"), nullptr);
  try {
    (void)params.ParamByName(u"none");
    FAIL() << "found";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Parameter 'none' not found");
  }
}

TEST(ParamsTest, AssignValuesCopiesByNameOnly) {
  TParams target;
  target.CreateParam(ftInteger, u"A", ptInput);
  target.CreateParam(ftInteger, u"B", ptInput)->SetAsInteger(2);
  TParams source;
  source.CreateParam(ftString, u"C", ptOutput)->SetAsString(u"three");
  source.CreateParam(ftInteger, u"a", ptOutput)->SetAsInteger(1);
  target.AssignValues(source);
  ASSERT_EQ(target.Count(), 2);
  EXPECT_EQ(target[0]->AsInteger(), 1);
  EXPECT_EQ(target[0]->Name(), u"a");
  EXPECT_EQ(target[0]->ParamType(), ptInput);
  EXPECT_EQ(target[1]->AsInteger(), 2);
  EXPECT_EQ(target.FindParam(u"C"), nullptr);
}

TEST(ParamsTest, ParameterTypesAreTheFiveKindsInOrder) {
  EXPECT_EQ(static_cast<int>(ptUnknown), 0);
  EXPECT_EQ(static_cast<int>(ptInput), 1);
  EXPECT_EQ(static_cast<int>(ptOutput), 2);
  EXPECT_EQ(static_cast<int>(ptInputOutput), 3);
  EXPECT_EQ(static_cast<int>(ptResult), 4);
}

TEST(ParamsTest, GetDataGivesTheFieldBufferFormat) {
  struct Case {
    const char* what;
    std::function<void(TParam&)> set;
    TFieldType type;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"date", [](TParam& p) { p.SetAsDate(EncodeDate(2024, 3, 14)); }, ftDate, {0x8F, 0x46, 0x0B, 0x00}},
      {"text sized by its value", [](TParam& p) { p.SetAsString(u"ab"); }, ftString, {'a', 'b', 0}},
      {"float", [](TParam& p) { p.SetAsFloat(0.5); }, ftFloat, {0, 0, 0, 0, 0, 0, 0xE0, 0x3F}},
      {"Boolean", [](TParam& p) { p.SetAsBoolean(true); }, ftBoolean, {0xFF, 0xFF}},
      {"integer", [](TParam& p) { p.SetAsInteger(258); }, ftInteger, {2, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TParam param(u"P", ptInput);
    c.set(param);
    EXPECT_EQ(param.DataType(), c.type);
    ASSERT_EQ(param.GetDataSize(), static_cast<int32_t>(c.bytes.size()));
    std::vector<uint8_t> buffer(c.bytes.size(), 0xCC);
    ASSERT_TRUE(param.GetData(buffer.data()));
    EXPECT_EQ(buffer, c.bytes);
  }
  TParam empty(u"P", ptInput, ftInteger);
  uint8_t buffer[4];
  EXPECT_FALSE(empty.GetData(buffer));
}

TEST(ParamsTest, AssignFieldTakesNameTypeAndValue) {
  TqdComponentPtr<ScriptedDataSet> dataSet(new ScriptedDataSet({{u"Rate", ftFloat}}));
  dataSet->rows.push_back({TqdVariant(0.75)});
  dataSet->Open();
  TParam param;
  param.AssignField(dataSet->FieldByName(u"Rate"));
  EXPECT_EQ(param.Name(), u"Rate");
  EXPECT_EQ(param.DataType(), ftFloat);
  EXPECT_EQ(param.AsFloat(), 0.75);
  EXPECT_TRUE(param.Bound());
}

TEST(IndexDefsTest, LookupByNameAndByFields) {
  TIndexDefs defs(nullptr);
  defs.Add(u"PK", u"ID", ixPrimary | ixUnique);
  defs.Add(u"ByName", u"Name;ID", 0);
  defs.Add(u"ByNameNC", u"Name", ixCaseInsensitive);
  defs.Add(u"ByExam", u"Exam;No", ixUnique);
  EXPECT_EQ(defs.Find(u"byname")->Name, u"ByName");
  EXPECT_THROW(defs.Find(u"none"), EDatabaseError);
  EXPECT_EQ(defs.GetIndexForFields(u"ID", false)->Name, u"PK");
  EXPECT_EQ(defs.GetIndexForFields(u"name", false)->Name, u"ByName");  // a prefix of its fields
  EXPECT_EQ(defs.GetIndexForFields(u"Name", true)->Name, u"ByNameNC");
  EXPECT_EQ(defs.GetIndexForFields(u"Exam; No", false)->Name, u"ByExam");
  EXPECT_EQ(defs.GetIndexForFields(u"No", false), nullptr);
  EXPECT_THROW(defs.FindIndexForFields(u"No"), EDatabaseError);
  EXPECT_EQ(defs.FindIndexForFields(u"Exam")->Name, u"ByExam");
}

TEST(FieldDefsTest, DefinitionsMakeFieldsOfTheirClass) {
  TqdComponentPtr<ScriptedDataSet> dataSet(
      new ScriptedDataSet({{u"ID", ftAutoInc}, {u"Name", ftString, 12, true}, {u"Memo", ftMemo}}));
  dataSet->Open();
  ASSERT_EQ(dataSet->FieldCount(), 3);
  EXPECT_NE(dynamic_cast<TAutoIncField*>(dataSet->Fields()[0]), nullptr);
  auto* name = dynamic_cast<TStringField*>(dataSet->FieldByName(u"name"));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->Size(), 12);
  EXPECT_TRUE(name->Required());
  EXPECT_EQ(name->FieldNo(), 2);
  EXPECT_NE(dynamic_cast<TMemoField*>(dataSet->Fields()[2]), nullptr);
  EXPECT_EQ(dataSet->FieldDefs().Find(u"MEMO")->FieldNo, 3);
  EXPECT_THROW(dataSet->FieldDefs().Find(u"none"), EDatabaseError);
  dataSet->Close();
  EXPECT_EQ(dataSet->FieldCount(), 0);  // default fields go with the close
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

TEST(ProviderSupportTest, UpdateExceptionKeepsTheMessageAndThePreviousCode) {
  TqdComponentPtr<ScriptedDataSet> dataSet(new ScriptedDataSet({{u"ID", ftInteger}}));
  IProviderSupport* provider = dataSet.get();
  const EUpdateError previous(u"before", u"", 8709, 0, nullptr);
  const std::unique_ptr<EUpdateError> error =
      provider->PSGetUpdateException(std::make_exception_ptr(EDatabaseError(u"key violation")), &previous);
  EXPECT_EQ(error->Message(), u"key violation");
  EXPECT_EQ(error->PreviousError(), 8709);
  EXPECT_THROW(std::rethrow_exception(error->OriginalException()), EDatabaseError);
  EXPECT_FALSE(provider->PSIsSQLBased());
  EXPECT_THROW((void)provider->PSExecuteStatement(u"DELETE FROM t", nullptr), EDatabaseError);
}

}  // namespace
}  // namespace qd
