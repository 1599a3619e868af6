// Filter texts and locate values compiled into expressions, each evaluated
// by the engine's expression filter over five records.
#include <gtest/gtest.h>

#include <memory>

#include "dictionary/qdsdDataDictionary.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "foundation/qdllUtils.h"
#include "platform/db/qdDB.h"
#include "platform/db/qdDBCommon.h"
#include "platform/qdDateTime.h"
#include "platform/qdLittleEndian.h"
#include "tests/platform/db/qdDBTestDataSet.h"

namespace qd {
namespace {

using test::ScriptedDataSet;
using Bytes = std::vector<uint8_t>;

struct Row {
  const char* name;
  int32_t qty;  // -1: null
  uint16_t year, month, day;
};
// The fixture: field numbers 1 Name, 2 Qty, 3 Order Date.
const Row kRows[] = {
    {"abc", 10, 2024, 2, 1},   {"abd", 3, 2023, 12, 31}, {"ABC", 7, 2024, 1, 1},
    {"nano", -1, 2024, 6, 30}, {"it's", 5, 2023, 1, 1},
};

// A node of a compiled expression: class, operator, then Word operands.
struct NodeView {
  int32_t nodeClass, op;
  std::vector<uint16_t> words;
};

NodeView nodeAt(const TqdCANExpr& aExpr, uint16_t aOffset, size_t aWords) {
  const uint8_t* node = aExpr->data() + qdGetLE<uint16_t>(aExpr->data() + 6) + aOffset;
  NodeView view{qdGetLE<int32_t>(node), qdGetLE<int32_t>(node + 4), {}};
  for (size_t i = 0; i < aWords; ++i) view.words.push_back(qdGetLE<uint16_t>(node + 8 + 2 * i));
  return view;
}

class FilterTest : public ::testing::Test {
 public:
  void SetUp() override {
    Fields()->AddField(u"Name", u"", qdtNullString, 20, 0, false);
    Fields()->AddField(u"Qty", u"", qdtInt32, 0, 0, false);
    Fields()->AddField(u"Order Date", u"", qdtDate, 0, 0, false);
    for (const Row& row : kRows) {
      Bytes record(static_cast<size_t>(Fields()->RecordLength() + 4), 0);
      Fields()->InitRecord(record.data());
      Bytes name(static_cast<size_t>(Fields()->FieldDescriptor(0)->Length()), 0);
      std::memcpy(name.data(), row.name, std::strlen(row.name));
      Fields()->SetRecordField(0, record.data(), name.data());
      if (row.qty < 0) {
        Fields()->SetRecordFieldNull(1, record.data(), true);
      } else {
        Bytes qty(4);
        qdPutLE<int32_t>(qty.data(), row.qty);
        Fields()->SetRecordField(1, record.data(), qty.data());
      }
      Bytes day(4);
      qdPutLE<int32_t>(day.data(), DateTimeToTimeStamp(EncodeDate(row.year, row.month, row.day)).Date);
      Fields()->SetRecordField(2, record.data(), day.data());
      records.push_back(record);
    }
    dataSet.reset(new ScriptedDataSet({{u"Name", ftString, 20}, {u"Qty", ftInteger}, {u"Order Date", ftDate}}));
    dataSet->Open();
  }
  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }

  // The records the expression lets through, as their indexes.
  std::vector<int> Matching(const TqdCANExpr& aExpr) {
    TqdSimpleExpressionFilterDescriptor descriptor(aExpr, qdThreadLocaleAnsiCodePage());
    std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(&descriptor, Fields()));
    EXPECT_EQ(engine->ActivateFilter(0), 0u);
    std::vector<int> matching;
    for (size_t i = 0; i < records.size(); ++i)
      if (engine->MatchesBuffer(records[i].data())) matching.push_back(static_cast<int>(i));
    return matching;
  }
  TqdCANExpr Parse(qdStringView aText, TFilterOptions aOptions = 0) {
    return TExprParser(dataSet.get(), aText, aOptions).FilterData();
  }

  TqdDataDictionary dictionary;
  std::vector<Bytes> records;
  TqdComponentPtr<ScriptedDataSet> dataSet;
};

TEST_F(FilterTest, ParsedFiltersSelectTheRecordsTheySay) {
  struct Case {
    const char16_t* text;
    TFilterOptions options;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {u"Name = 'abc' and Qty > 5", 0, {0}},
      {u"not (Qty is null)", 0, {0, 1, 2, 4}},
      {u"Qty IS NOT NULL AND Qty <= 5", 0, {1, 4}},
      {u"Name = 'ab*'", 0, {0, 1}},
      {u"Name = 'ab*'", foNoPartialCompare, {}},
      {u"[Order Date] >= '2024-01-01'", 0, {0, 2, 3}},
      {u"[Order Date] < '2024-01-01' or Qty = 7", 0, {1, 2, 4}},
      {u"Name like 'na'", 0, {3}},
      {u"Name = 'abc'", foCaseInsensitive, {0, 2}},
      {u"Name = 'abc'", 0, {0}},
      {u"Name = 'it''s'", 0, {4}},
      // The engine orders a null below every value: the null Qty is < 5.
      {u"(Qty < 5 or Qty >= 10) and not Name = 'abd'", 0, {0, 3}},
      {u"Qty <> 3 and Name <> 'nano'", 0, {0, 2, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    EXPECT_EQ(Matching(Parse(c.text, c.options)), c.expected);
  }
}

TEST_F(FilterTest, ATrailingStarIsAPartialComparisonOfTheTextBeforeIt) {
  const TqdCANExpr partial = Parse(u"Name = 'ab*'");
  const NodeView root = nodeAt(partial, 0, 4);
  EXPECT_EQ(root.nodeClass, kCanNodeCompare);
  EXPECT_EQ(root.op, coEQ);
  EXPECT_EQ(root.words[0], 0);  // case matters
  EXPECT_EQ(root.words[1], 2);  // partial length
  const NodeView constant = nodeAt(partial, root.words[3], 3);
  EXPECT_EQ(constant.nodeClass, kCanNodeConst);
  EXPECT_EQ(constant.words[0], kCanTypeText);
  EXPECT_EQ(constant.words[1], 3);  // "ab" and its terminator

  const NodeView plain = nodeAt(Parse(u"Name = 'ab*'", foNoPartialCompare | foCaseInsensitive), 0, 4);
  EXPECT_EQ(plain.words[0], 1);
  EXPECT_EQ(plain.words[1], 0);
}

TEST_F(FilterTest, ConstantsTakeTheComparedFieldsType) {
  struct Case {
    const char16_t* text;
    uint16_t type;
  };
  const Case cases[] = {
      {u"Qty = 5", kCanTypeInt32},
      {u"[Order Date] = '2024-01-01'", kCanTypeDate},
      {u"Name = 'x'", kCanTypeText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    const TqdCANExpr expr = Parse(c.text);
    const NodeView root = nodeAt(expr, 0, 4);
    EXPECT_EQ(nodeAt(expr, root.words[2], 2).nodeClass, kCanNodeField);
    EXPECT_EQ(nodeAt(expr, root.words[3], 3).words[0], c.type);
  }
}

TEST_F(FilterTest, MalformedTextsNameThePosition) {
  struct Case {
    const char16_t* text;
    const char16_t* message;
  };
  const Case cases[] = {
      {u"(Qty > 5", u"Missing closing parenthesis at position 1"},
      {u"Qty > 5)", u"Unexpected text at position 8"},
      {u"Nope = 1", u"Field 'Nope' not found at position 1"},
      {u"Qty >", u"Operand expected at position 6"},
      {u"Qty > 5 and", u"Operand expected at position 12"},
      {u"= 5", u"Operand expected at position 1"},
      {u"Name = 'abc", u"Unterminated string at position 8"},
      {u"Qty > 'many'", u"'many' is not a valid value for field 'Qty' at position 7"},
      {u"Qty ? 5", u"Invalid character at position 5"},
      {u"", u"Operand expected at position 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    try {
      (void)Parse(c.text);
      ADD_FAILURE() << "parsed";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST_F(FilterTest, LocateBuildsOneAndOfComparisonsWithThePartialLengthOnTheLast) {
  std::vector<TField*> fields;
  dataSet->GetFieldList(fields, u"Qty;Name");
  const TqdVariant values = TqdVariant::FromArray({TqdVariant(10), TqdVariant(u"ab")});
  const TqdCANExpr expr = qdBuildLocateExpression(dataSet.get(), fields, values, loPartialKey);
  const NodeView root = nodeAt(expr, 0, 2);
  EXPECT_EQ(root.nodeClass, kCanNodeBinary);
  EXPECT_EQ(root.op, coAND);
  const NodeView first = nodeAt(expr, root.words[0], 4);
  const NodeView last = nodeAt(expr, root.words[1], 4);
  EXPECT_EQ(first.nodeClass, kCanNodeCompare);
  EXPECT_EQ(first.op, coEQ);
  EXPECT_EQ(first.words[1], 0);
  EXPECT_EQ(last.nodeClass, kCanNodeCompare);
  EXPECT_EQ(last.words[1], 2);
  EXPECT_EQ(Matching(expr), (std::vector<int>{0}));

  // Without the partial key the text must match whole; ignoring case finds
  // the upper-case row too.
  EXPECT_EQ(Matching(qdBuildLocateExpression(dataSet.get(), fields, values, 0)), (std::vector<int>{}));
  std::vector<TField*> name;
  dataSet->GetFieldList(name, u"Name");
  EXPECT_EQ(Matching(qdBuildLocateExpression(dataSet.get(), name, TqdVariant(u"abc"), loCaseInsensitive)),
            (std::vector<int>{0, 2}));
  // A null value finds the records where the field is null.
  std::vector<TField*> qty;
  dataSet->GetFieldList(qty, u"Qty");
  EXPECT_EQ(Matching(qdBuildLocateExpression(dataSet.get(), qty, TqdVariant::Null(), 0)), (std::vector<int>{3}));
}

}  // namespace
}  // namespace qd
