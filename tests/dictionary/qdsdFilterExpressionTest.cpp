// The expression filter: its descriptor checks, stream form and evaluation
// of compiled expressions against record images.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineSQL.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "dictionary/qdsdFmtBcd.h"
#include "foundation/qdllStreams.h"
#include "platform/qdExtended.h"
#include "platform/qdLittleEndian.h"
#include "tests/dictionary/qdsdCanExprBuilder.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::CanExprBuilder;
using Node = CanExprBuilder::Node;

constexpr double kMsPerDay = 86400000.0;
constexpr int32_t kDay2024 = 693594 + 45292;  // 2024-01-01 as a native day number
constexpr int32_t kNoon = 12 * 3600 * 1000;

TqdCANExpr shared(const Bytes& aBytes) { return std::make_shared<const Bytes>(aBytes); }

// Field numbers as the expression names them (1-based).
enum : uint16_t { fName = 1, fFlag, fCount, fPrice, fAt, fStamp, fWide, fDay, fId, fRaw, fExt, fCur, fAmount };

class ExpressionFilterTest : public ::testing::Test {
 public:
  void SetUp() override {
    Fields()->AddField(u"Name", u"", qdtNullString, 20, 0, false);
    Fields()->AddField(u"Flag", u"", qdtBoolean, 0, 0, false);
    Fields()->AddField(u"Count", u"", qdtInt32, 0, 0, false);
    Fields()->AddField(u"Price", u"", qdtDouble, 0, 0, false);
    Fields()->AddField(u"At", u"", qdtTime, 0, 0, false);
    Fields()->AddField(u"Stamp", u"", qdtDateTime, 0, 0, false);
    Fields()->AddField(u"Wide", u"", qdtWideString, 12, 0, false);
    Fields()->AddField(u"Day", u"", qdtDate, 0, 0, false);
    Fields()->AddField(u"Id", u"", qdtGuid, 0, 0, false);
    Fields()->AddField(u"Raw", u"", qdtByteArray, 4, 0, false);
    Fields()->AddField(u"Ext", u"", qdtExtended, 0, 0, false);
    Fields()->AddField(u"Cur", u"", qdtCurrency, 0, 0, false);
    Fields()->AddField(u"Amount", u"", qdtFmtBCD, 10, 2, false);
    ClearRecord();
  }
  void ClearRecord() {
    record.assign(static_cast<size_t>(Fields()->RecordLength() + 4), 0);
    Fields()->InitRecord(record.data());
  }

  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }

  template <class T>
  void Set(uint16_t aField, T aValue) {
    Bytes bytes(sizeof(T));
    qdPutLE<T>(bytes.data(), aValue);
    Fields()->SetRecordField(aField - 1, record.data(), bytes.data());
  }
  void SetName(const std::string& aText) {
    Bytes bytes(static_cast<size_t>(Fields()->FieldDescriptor(fName - 1)->Length()), 0);
    std::memcpy(bytes.data(), aText.data(), aText.size());
    Fields()->SetRecordField(fName - 1, record.data(), bytes.data());
  }
  void SetWide(const std::u16string& aText) {
    Bytes bytes(static_cast<size_t>(Fields()->FieldDescriptor(fWide - 1)->Length()), 0);
    for (size_t i = 0; i < aText.size(); ++i) qdPutLE<uint16_t>(bytes.data() + 2 * i, aText[i]);
    Fields()->SetRecordField(fWide - 1, record.data(), bytes.data());
  }
  void SetNull(uint16_t aField) { Fields()->SetRecordFieldNull(aField - 1, record.data(), true); }

  bool Matches(const Bytes& aExpression, int32_t aCodePage = -1) {
    TqdSimpleExpressionFilterDescriptor descriptor(shared(aExpression), aCodePage);
    std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(&descriptor, Fields()));
    EXPECT_EQ(engine->ActivateFilter(0), 0u);
    return engine->MatchesBuffer(record.data());
  }

  TqdDataDictionary dictionary;
  Bytes record;
};

struct EvalCase {
  const char* what;
  std::function<Node(CanExprBuilder&)> expression;
  std::function<void(ExpressionFilterTest&)> record;
  bool expected;
};

Node compare(CanExprBuilder& b, int32_t aOperator, Node aLeft, Node aRight) {
  return b.Compare(aOperator, false, 0, aLeft, aRight);
}

TEST_F(ExpressionFilterTest, EvaluatesComparisonsOfEveryKind) {
  auto name = [](const char* s) { return [=](ExpressionFilterTest& t) { t.SetName(s); }; };
  auto count = [](int32_t v) { return [=](ExpressionFilterTest& t) { t.Set<int32_t>(fCount, v); }; };
  auto none = [](ExpressionFilterTest&) {};
  const EvalCase cases[] = {
      // Texts.
      {"LIKE with ignore case finds the text inside",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, true, 0, b.Field(fName), b.Text("ana")); }, name("Banana"),
       true},
      {"LIKE with ignore case at the start",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, true, 0, b.Field(fName), b.Text("ana")); }, name("ANAlysis"),
       true},
      {"LIKE without the text",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, true, 0, b.Field(fName), b.Text("ana")); }, name("xyz"), false},
      {"LIKE takes % literally",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, false, 0, b.Field(fName), b.Text("%ana%")); }, name("Banana"),
       false},
      {"LIKE finds the percent signs",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, false, 0, b.Field(fName), b.Text("%ana%")); }, name("x%ana%y"),
       true},
      {"LIKE is case sensitive without the flag",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, false, 0, b.Field(fName), b.Text("ana")); }, name("ANALYSIS"),
       false},
      {"LIKE with an empty text never finds it",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, false, 0, b.Field(fName), b.Text("")); }, name("abc"), false},
      {"EQ with a partial length compares the prefix",
       [](CanExprBuilder& b) { return b.Compare(coEQ, false, 3, b.Field(fName), b.Text("abc")); }, name("abcdef"),
       true},
      {"EQ of a prefix without a partial length",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fName), b.Text("abc")); }, name("abcdef"), false},
      {"EQ of equal texts", [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fName), b.Text("abc")); },
       name("abc"), true},
      {"NE is case sensitive", [](CanExprBuilder& b) { return compare(b, coNE, b.Field(fName), b.Text("ABC")); },
       name("abc"), true},
      {"EQ with ignore case", [](CanExprBuilder& b) { return b.Compare(coEQ, true, 0, b.Field(fName), b.Text("ABC")); },
       name("abc"), true},
      {"LT orders texts", [](CanExprBuilder& b) { return compare(b, coLT, b.Field(fName), b.Text("b")); }, name("abc"),
       true},
      {"a wide string field against a wide literal",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fWide), b.WideText(u"日本語")); },
       [](ExpressionFilterTest& t) { t.SetWide(u"日本語"); }, true},
      {"a wide string field LIKE an 8-bit literal",
       [](CanExprBuilder& b) { return b.Compare(coLIKE, true, 0, b.Field(fWide), b.Text("OKY")); },
       [](ExpressionFilterTest& t) { t.SetWide(u"Tokyo"); }, true},
      {"a wide string without its terminator ends at the field's size",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fWide), b.WideText(u"ABCDEFGHIJKL")); },
       [](ExpressionFilterTest& t) {
         t.SetWide(u"ABCDEFGHIJKLM");  // 13 characters fill all 26 bytes
         t.Set<int32_t>(fDay, 0x00410041);
       },
       true},
      {"a null-terminated string without its terminator ends at the field's size",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fName), b.Text("abcdefghijklmnopqrst")); },
       [](ExpressionFilterTest& t) {
         t.SetName("abcdefghijklmnopqrstu");  // 21 bytes, no room for the 0
         t.Set<uint8_t>(fFlag, 1);
       },
       true},
      {"a text field against an integer literal has no answer",
       [](CanExprBuilder& b) { return compare(b, coNE, b.Field(fName), b.Int32(1)); }, name("1"), false},
      {"a GUID field as its braced text",
       [](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fId), b.Text("{04030201-0605-0807-090A-0B0C0D0E0F10}"));
       },
       [](ExpressionFilterTest& t) {
         const uint8_t guid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
         t.Fields()->SetRecordField(fId - 1, t.record.data(), guid);
       },
       true},
      // Bytes.
      {"a byte array field against a bytes literal",
       [](CanExprBuilder& b) {
         const uint8_t bytes[4] = {1, 2, 3, 4};
         return compare(b, coEQ, b.Field(fRaw), b.Const(3, bytes, 4));
       },
       [](ExpressionFilterTest& t) { t.Set<uint32_t>(fRaw, 0x04030201); }, true},
      {"a byte array field orders its bytes unsigned",
       [](CanExprBuilder& b) {
         const uint8_t bytes[4] = {1, 2, 3, 0x80};
         return compare(b, coLT, b.Field(fRaw), b.Const(3, bytes, 4));
       },
       [](ExpressionFilterTest& t) { t.Set<uint32_t>(fRaw, 0x04030201); }, true},
      {"a byte array field is not compared with a number field",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fRaw), b.Field(fCount)); },
       [](ExpressionFilterTest& t) {
         t.Set<uint32_t>(fRaw, 7);
         t.Set<int32_t>(fCount, 7);
       },
       false},
      // Integers and floats.
      {"GT against an Int32 literal", [](CanExprBuilder& b) { return compare(b, coGT, b.Field(fCount), b.Int32(5)); },
       count(6), true},
      {"GE against an Int16 literal",
       [](CanExprBuilder& b) { return compare(b, coGE, b.Field(fCount), b.ConstOf<int16_t>(kCanTypeInt16, -3)); },
       count(-3), true},
      {"LT against a UInt32 literal beyond Int32",
       [](CanExprBuilder& b) {
         return compare(b, coLT, b.Field(fCount), b.ConstOf<uint32_t>(kCanTypeUInt32, 0x80000000u));
       },
       count(INT32_MAX), true},
      {"LE against an Int64 literal",
       [](CanExprBuilder& b) { return compare(b, coLE, b.Field(fCount), b.ConstOf<int64_t>(kCanTypeInt64, -10)); },
       count(-11), true},
      {"an integer field against a float literal has no answer",
       [](CanExprBuilder& b) { return compare(b, coNE, b.Field(fCount), b.ConstOf<double>(kCanTypeFloat, 1.5)); },
       count(1), false},
      {"a float field against a float literal",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fPrice), b.ConstOf<double>(kCanTypeFloat, 0.3)); },
       [](ExpressionFilterTest& t) { t.Set<double>(fPrice, 0.1 + 0.2); }, true},
      {"a float field against a single literal",
       [](CanExprBuilder& b) { return compare(b, coLT, b.Field(fPrice), b.ConstOf<float>(kCanTypeSingle, 2.5f)); },
       [](ExpressionFilterTest& t) { t.Set<double>(fPrice, 2.25); }, true},
      {"an extended field against an extended literal",
       [](CanExprBuilder& b) {
         uint8_t bytes[kExtendedSize];
         qdDoubleToExtended(-2.5).ToBytes(bytes);
         return compare(b, coGT, b.Field(fExt), b.Const(kCanTypeExtended, bytes, kExtendedSize));
       },
       [](ExpressionFilterTest& t) {
         uint8_t bytes[kExtendedSize];
         qdDoubleToExtended(-2.25).ToBytes(bytes);
         t.Fields()->SetRecordField(fExt - 1, t.record.data(), bytes);
       },
       true},
      {"a currency field against a float literal",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fCur), b.ConstOf<double>(kCanTypeFloat, 12.5)); },
       [](ExpressionFilterTest& t) { t.Set<int64_t>(fCur, 125000); }, true},
      {"a FmtBCD field against a BCD literal",
       [](CanExprBuilder& b) {
         const TBcd bcd = qdDoubleToBcd(12.25);
         return compare(b, coEQ, b.Field(fAmount), b.Const(kCanTypeBcd, bcd.Bytes.data(), bcd.Bytes.size()));
       },
       [](ExpressionFilterTest& t) {
         Bytes bytes(static_cast<size_t>(t.Fields()->FieldDescriptor(fAmount - 1)->Length()));
         qdVariantToFmtBcdBytes(TqdVariant(12.25), 10, 2, bytes.data(), static_cast<int32_t>(bytes.size()));
         t.Fields()->SetRecordField(fAmount - 1, t.record.data(), bytes.data());
       },
       true},
      {"a BCD literal that holds no value has no answer",
       [](CanExprBuilder& b) {
         const TBcd empty;  // precision 0
         return compare(b, coNE, b.Field(fCur), b.Const(kCanTypeBcd, empty.Bytes.data(), empty.Bytes.size()));
       },
       [](ExpressionFilterTest& t) { t.Set<int64_t>(fCur, 1); }, false},
      // Dates and times.
      {"a time field equals the time literal",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fAt), b.ConstOf<int32_t>(kCanTypeTime, kNoon)); },
       [](ExpressionFilterTest& t) { t.Set<int32_t>(fAt, kNoon); }, true},
      {"a time field equals the timestamp on 30 December 1899",
       [](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fAt), b.ConstOf<double>(kCanTypeTimeStamp, 693594 * kMsPerDay + kNoon));
       },
       [](ExpressionFilterTest& t) { t.Set<int32_t>(fAt, kNoon); }, true},
      {"timestamps 50 ms apart in 2024 are equal",
       [](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fStamp), b.ConstOf<double>(kCanTypeTimeStamp, kDay2024 * kMsPerDay + 50));
       },
       [](ExpressionFilterTest& t) { t.Set<double>(fStamp, kDay2024 * kMsPerDay); }, true},
      {"timestamps 100 ms apart in 2024 differ",
       [](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fStamp), b.ConstOf<double>(kCanTypeTimeStamp, kDay2024 * kMsPerDay + 100));
       },
       [](ExpressionFilterTest& t) { t.Set<double>(fStamp, kDay2024 * kMsPerDay); }, false},
      {"a date field against a date literal",
       [](CanExprBuilder& b) { return compare(b, coLT, b.Field(fDay), b.ConstOf<int32_t>(kCanTypeDate, kDay2024)); },
       [](ExpressionFilterTest& t) { t.Set<int32_t>(fDay, kDay2024 - 1); }, true},
      {"a date field against a timestamp at its midnight",
       [](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fDay), b.ConstOf<double>(kCanTypeTimeStamp, kDay2024 * kMsPerDay));
       },
       [](ExpressionFilterTest& t) { t.Set<int32_t>(fDay, kDay2024); }, true},
      // Booleans and nulls.
      {"a Boolean field against a Boolean literal",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fFlag), b.Boolean(true)); },
       [](ExpressionFilterTest& t) { t.Set<uint8_t>(fFlag, 1); }, true},
      {"False sorts before True", [](CanExprBuilder& b) { return compare(b, coLT, b.Field(fFlag), b.Boolean(true)); },
       [](ExpressionFilterTest& t) { t.Set<uint8_t>(fFlag, 0); }, true},
      {"a null field sorts before any constant",
       [](CanExprBuilder& b) { return compare(b, coLT, b.Field(fCount), b.Int32(INT32_MIN)); }, none, true},
      {"two nulls are equal", [](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fCount), b.Field(fPrice)); },
       none, true},
      {"ISBLANK of a null field", [](CanExprBuilder& b) { return b.Unary(coISBLANK, b.Field(fCount)); }, none, true},
      {"NOTBLANK of a null field", [](CanExprBuilder& b) { return b.Unary(coNOTBLANK, b.Field(fCount)); }, none, false},
      {"NOTBLANK of a set field", [](CanExprBuilder& b) { return b.Unary(coNOTBLANK, b.Field(fCount)); }, count(0),
       true},
      {"NOT of an integer field", [](CanExprBuilder& b) { return b.Unary(coNOT, b.Field(fCount)); }, count(0), true},
      {"NOT of a comparison",
       [](CanExprBuilder& b) { return b.Unary(coNOT, compare(b, coEQ, b.Field(fCount), b.Int32(1))); }, count(1),
       false},
      // Logic and the node classes.
      {"AND of two true conditions",
       [](CanExprBuilder& b) {
         return b.Binary(coAND, compare(b, coGT, b.Field(fCount), b.Int32(1)),
                         compare(b, coLT, b.Field(fCount), b.Int32(9)));
       },
       count(5), true},
      {"AND with a false right side",
       [](CanExprBuilder& b) {
         return b.Binary(coAND, compare(b, coGT, b.Field(fCount), b.Int32(1)),
                         compare(b, coLT, b.Field(fCount), b.Int32(3)));
       },
       count(5), false},
      {"OR with a true right side",
       [](CanExprBuilder& b) {
         return b.Binary(coOR, compare(b, coEQ, b.Field(fCount), b.Int32(1)),
                         compare(b, coEQ, b.Field(fCount), b.Int32(5)));
       },
       count(5), true},
      {"a binary node with a comparison operator",
       [](CanExprBuilder& b) { return b.Binary(coNE, b.Field(fCount), b.Int32(5)); }, count(5), false},
      {"a field the source does not know makes the comparison false",
       [](CanExprBuilder& b) { return compare(b, coNE, b.Field(42), b.Int32(5)); }, count(1), false},
      {"NOT of an unknown field is true", [](CanExprBuilder& b) { return b.Unary(coNOT, b.Field(42)); }, count(1),
       true},
      {"an unknown field as a condition",
       [](CanExprBuilder& b) { return b.Binary(coOR, b.Field(42), b.Boolean(false)); }, none, true},
      {"a known field as a condition",
       [](CanExprBuilder& b) { return b.Binary(coAND, b.Field(fCount), b.Continue(0)); }, none, false},
      {"a continue node with its flag set", [](CanExprBuilder& b) { return b.Continue(1); }, none, true},
      {"a comparison with a continue node has no answer",
       [](CanExprBuilder& b) { return compare(b, coEQ, b.Continue(1), b.Int32(0)); }, none, false},
      {"a node of an unevaluated class", [](CanExprBuilder& b) { return b.Other(8); }, none, false},
      {"an operator that does not compare",
       [](CanExprBuilder& b) { return compare(b, 20, b.Field(fCount), b.Int32(1)); }, count(1), false},
      {"a constant root that is not a Boolean passes", [](CanExprBuilder& b) { return b.Int32(0); }, none, true},
      {"a false Boolean constant root refuses", [](CanExprBuilder& b) { return b.Boolean(false); }, none, false},
  };
  for (const EvalCase& c : cases) {
    SCOPED_TRACE(c.what);
    ClearRecord();
    c.record(*this);
    CanExprBuilder builder;
    const Node root = c.expression(builder);
    EXPECT_EQ(Matches(builder.Build(root)), c.expected);
  }
}

TEST_F(ExpressionFilterTest, BooleanFieldRootPassesTrueAndNullRecords) {
  CanExprBuilder builder;
  const Bytes expression = builder.Build(builder.Field(fFlag));
  EXPECT_TRUE(Matches(expression));  // null
  Set<uint8_t>(fFlag, 1);
  EXPECT_TRUE(Matches(expression));
  Set<uint8_t>(fFlag, 0);
  EXPECT_FALSE(Matches(expression));
  Set<int32_t>(fCount, 0);
  CanExprBuilder other;
  EXPECT_TRUE(Matches(other.Build(other.Field(fCount))));  // not a Boolean: passes
}

TEST_F(ExpressionFilterTest, EmptyExpressionAndInactiveEnginePassEveryRecord) {
  for (const TqdCANExpr& empty : {TqdCANExpr(), shared({})}) {
    TqdSimpleExpressionFilterDescriptor descriptor(empty, -1);
    std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(&descriptor, Fields()));
    EXPECT_EQ(engine->ActivateFilter(0), 0u);
    EXPECT_TRUE(engine->MatchesBuffer(record.data()));
  }
  TqdSimpleExpressionFilterDescriptor fromNil(static_cast<const void*>(nullptr), -1);
  EXPECT_EQ(fromNil.ExpressionSize(), 0);

  CanExprBuilder builder;
  TqdSimpleExpressionFilterDescriptor refusing(shared(builder.Build(builder.Boolean(false))), -1);
  std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(&refusing, Fields()));
  EXPECT_TRUE(engine->MatchesBuffer(record.data()));  // created inactive
  EXPECT_EQ(engine->ActivateFilter(0), 0u);
  EXPECT_FALSE(engine->MatchesBuffer(record.data()));
}

// 8-bit constants are read in the descriptor's code page.
TEST_F(ExpressionFilterTest, TextConstantsUseTheDescriptorsCodePage) {
  SetWide(u"é");
  CanExprBuilder builder;
  const Bytes expression = builder.Build(compare(builder, coEQ, builder.Field(fWide), builder.Text("\xE9")));
  EXPECT_TRUE(Matches(expression, 1252));
  EXPECT_FALSE(Matches(expression, 1251));  // 0xE9 is a Cyrillic letter there
}

// The descriptor copies a pointed-to expression up to its total size.
TEST_F(ExpressionFilterTest, DescriptorFromAPointerCopiesTheTotalSize) {
  CanExprBuilder builder;
  Bytes bytes = builder.Build(compare(builder, coEQ, builder.Field(fCount), builder.Int32(7)));
  const size_t size = bytes.size();
  bytes.resize(size + 16, 0xEE);  // whatever follows is not taken
  TqdSimpleExpressionFilterDescriptor descriptor(bytes.data(), u"Count = 7", 932);
  ASSERT_EQ(descriptor.ExpressionSize(), static_cast<int32_t>(size));
  EXPECT_EQ(descriptor.Expression()->size(), size);
  EXPECT_EQ(descriptor.FilterText(), u"Count = 7");
  EXPECT_EQ(descriptor.CodePage(), 932);
}

// --- Malformed expressions -------------------------------------------------------------

struct Damage {
  const char* what;
  std::function<void(Bytes&)> apply;
};

TEST_F(ExpressionFilterTest, MalformedExpressionsAreRefusedWhenTheDescriptorIsBuilt) {
  // Root: Name = 'abc' AND Wide = u"x": every node class with operands.
  CanExprBuilder builder;
  const Node root = builder.Binary(
      coAND, compare(builder, coEQ, builder.Field(fName, "Name"), builder.Text("abc")),
      builder.Unary(coNOT, builder.Compare(coEQ, false, 0, builder.Field(fWide), builder.WideText(u"x"))));
  const Bytes good = builder.Build(root);
  ASSERT_NO_THROW(TqdSimpleExpressionFilterDescriptor(shared(good), -1));
  const uint16_t nodeStart = qdGetLE<uint16_t>(good.data() + 6);
  const uint16_t literalStart = qdGetLE<uint16_t>(good.data() + 8);
  const size_t total = good.size();
  auto setWord = [](Bytes& b, size_t at, uint16_t v) { qdPutLE<uint16_t>(b.data() + at, v); };
  // Layout as the builder writes it: AND(12) at 0, compare(16) at 12, field
  // Name(12) at 28, text const(14) at 40, NOT(10) at 54, compare(16) at 64,
  // field Wide(12) at 80, wide const(14) at 92.
  const Damage damages[] = {
      {"shorter than its header", [](Bytes& b) { b.resize(6); }},
      {"total size beyond the bytes", [&](Bytes& b) { setWord(b, 2, static_cast<uint16_t>(total + 1)); }},
      {"total size below the header", [&](Bytes& b) { setWord(b, 2, 4); }},
      {"node start beyond the total", [&](Bytes& b) { setWord(b, 6, static_cast<uint16_t>(total)); }},
      {"child node beyond the total",
       [&](Bytes& b) { setWord(b, nodeStart + 8, static_cast<uint16_t>(total - nodeStart - 4)); }},
      {"a node that is its own child", [&](Bytes& b) { setWord(b, nodeStart + 8, 0); }},
      {"a subtree reached twice", [&](Bytes& b) { setWord(b, nodeStart + 10, 12); }},
      {"field name beyond the literal pool",
       [&](Bytes& b) { setWord(b, nodeStart + 28 + 10, static_cast<uint16_t>(total - literalStart)); }},
      {"literal start beyond the total", [&](Bytes& b) { setWord(b, 8, static_cast<uint16_t>(total + 10)); }},
      {"constant size beyond the pool", [&](Bytes& b) { setWord(b, nodeStart + 40 + 10, 0xFFF0); }},
      {"text constant without its terminator",
       [&](Bytes& b) {
         // Cut the expression right after "abc", before its 0.
         const uint16_t text = qdGetLE<uint16_t>(b.data() + nodeStart + 40 + 12);
         b.resize(literalStart + text + 3);
         setWord(b, 2, static_cast<uint16_t>(b.size()));
         setWord(b, nodeStart + 92 + 8, kCanTypeInt16);  // keep the other constant inside
         setWord(b, nodeStart + 92 + 10, 0);
         setWord(b, nodeStart + 92 + 12, 0);
         setWord(b, nodeStart + 80 + 10, 0);
       }},
      {"wide text count beyond the pool",
       [&](Bytes& b) {
         const uint16_t wide = qdGetLE<uint16_t>(b.data() + nodeStart + 92 + 12);
         setWord(b, literalStart + wide, 200);
       }},
      {"constant narrower than its type",
       [&](Bytes& b) {
         setWord(b, nodeStart + 40 + 8, kCanTypeBcd);  // 34 bytes at the literal
         setWord(b, nodeStart + 40 + 12, static_cast<uint16_t>(total - literalStart - 4));
       }},
      {"node header cut by the total", [&](Bytes& b) { setWord(b, 2, static_cast<uint16_t>(nodeStart + 4)); }},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    Bytes bytes = good;
    damage.apply(bytes);
    EXPECT_ENGINE_ERROR(TqdSimpleExpressionFilterDescriptor(shared(bytes), -1), qdeIncompatibleStream, "");
    // The same bytes in a stream.
    TqdAnsiStringStream stream;
    const std::string name = "TqdSimpleExpressionFilterDescriptor";
    const uint8_t head[3] = {static_cast<uint8_t>(name.size())};
    stream.WriteBuffer(head, 1);
    stream.WriteString(name);
    uint8_t data[3] = {1};
    qdPutLE<uint16_t>(data + 1, static_cast<uint16_t>(bytes.size()));
    stream.WriteBuffer(data, 3);
    stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.SetPosition(0);
    TqdBaseFilterDescriptor* filter = nullptr;
    EXPECT_EQ(TqdBaseFilterDescriptor::CreateFromStream(&stream, filter), qdeIncompatibleStream);
    EXPECT_EQ(filter, nullptr);
  }
}

TEST_F(ExpressionFilterTest, NestingBeyondTheLimitIsRefused) {
  auto chain = [](int aDepth) {
    CanExprBuilder builder;
    Node node = builder.Boolean(true);
    for (int i = 1; i < aDepth; ++i) node = builder.Unary(coNOT, node);
    return builder.Build(node);
  };
  EXPECT_NO_THROW(TqdSimpleExpressionFilterDescriptor(shared(chain(kCanMaxDepth)), -1));
  EXPECT_ENGINE_ERROR(TqdSimpleExpressionFilterDescriptor(shared(chain(kCanMaxDepth + 1)), -1), qdeIncompatibleStream,
                      "");
}

// --- Stream form ------------------------------------------------------------------------

Bytes streamOf(const TqdBaseFilterDescriptor& aDescriptor, int32_t aVersion) {
  TqdAnsiStringStream stream;
  EXPECT_EQ(aDescriptor.WriteToStream(&stream, aVersion), 0u);
  return Bytes(stream.DataString().begin(), stream.DataString().end());
}

std::unique_ptr<TqdSimpleExpressionFilterDescriptor> readBack(const Bytes& aBytes, TqdResult aExpected = 0) {
  TqdAnsiStringStream stream(std::string(aBytes.begin(), aBytes.end()));
  TqdBaseFilterDescriptor* filter = nullptr;
  EXPECT_EQ(TqdBaseFilterDescriptor::CreateFromStream(&stream, filter), aExpected);
  if (aExpected == 0) {
    EXPECT_EQ(stream.Position(), static_cast<int64_t>(aBytes.size()));
  }
  return std::unique_ptr<TqdSimpleExpressionFilterDescriptor>(
      dynamic_cast<TqdSimpleExpressionFilterDescriptor*>(filter));
}

TEST_F(ExpressionFilterTest, StreamVersionFollowsFilterTextCodePageAndReader) {
  CanExprBuilder builder;
  const Bytes expression = builder.Build(compare(builder, coEQ, builder.Field(fCount), builder.Int32(3)));
  struct VersionCase {
    const char16_t* text;
    int32_t codePage;
    int32_t reader;
    uint8_t version;
  } const cases[] = {
      {u"", -1, 47501, 1},
      {u"Count = 3", -1, 47501, 3},
      {u"", 1252, 47501, 4},
      {u"Count = 3", 1252, 30002, 4},
      {u"Count = 3", 1252, 30001, 3},
      {u"", 1252, 30001, 1},
  };
  const size_t nameLength = std::u16string_view(u"TqdSimpleExpressionFilterDescriptor").size();
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.codePage << " " << c.reader);
    TqdSimpleExpressionFilterDescriptor descriptor(shared(expression), c.text, c.codePage);
    const Bytes bytes = streamOf(descriptor, c.reader);
    ASSERT_GT(bytes.size(), nameLength + 1);
    EXPECT_EQ(bytes[0], nameLength);
    EXPECT_EQ(bytes[nameLength + 1], c.version);
    const auto copy = readBack(bytes);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(*copy->Expression(), expression);
    EXPECT_EQ(copy->FilterText(), c.version >= 3 ? qdString(c.text) : qdString());
    EXPECT_EQ(copy->CodePage(), c.version == 4 ? c.codePage : -1);
  }
}

TEST_F(ExpressionFilterTest, StreamReaderAcceptsVersionTwoAndRefusesDamage) {
  const std::string name = "TqdSimpleExpressionFilter";  // found with "Descriptor" appended
  auto form = [&](uint8_t aVersion, const Bytes& aTail) {
    Bytes bytes = {static_cast<uint8_t>(name.size())};
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.push_back(aVersion);
    bytes.insert(bytes.end(), aTail.begin(), aTail.end());
    return bytes;
  };
  // Version 2: an empty expression and an 8-bit filter text.
  const auto copy = readBack(form(2, {0, 0, 3, 0, 'a', '=', '1'}));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->FilterText(), u"a=1");
  EXPECT_EQ(copy->ExpressionSize(), 0);
  EXPECT_EQ(copy->CodePage(), -1);

  readBack(form(0, {0, 0}), qdeIncompatibleStream);
  readBack(form(5, {0, 0}), qdeIncompatibleStream);
  readBack(form(3, {0, 0, 4, 0, 'a', 0}), qdeIncompatibleStream);  // short filter text
  readBack(form(2, {0, 0}), qdeIncompatibleStream);                // missing filter text
  // A short expression or code page is the platform's read error.
  TqdAnsiStringStream shortExpression(
      std::string(reinterpret_cast<const char*>(form(1, {20, 0, 1}).data()), form(1, {20, 0, 1}).size()));
  shortExpression.SetPosition(1 + static_cast<int64_t>(name.size()));
  EXPECT_THROW(TqdSimpleExpressionFilterDescriptor{&shortExpression}, EReadError);
}

TEST_F(ExpressionFilterTest, EngineSharesTheExpressionAndGivesBackAnEqualDescriptor) {
  CanExprBuilder builder;
  const TqdCANExpr expression = shared(builder.Build(builder.Field(fFlag)));
  TqdSimpleExpressionFilterDescriptor withCodePage(expression, u"Flag", 1252);
  TqdSimpleExpressionFilterDescriptor without(expression, -1);
  for (const TqdSimpleExpressionFilterDescriptor* descriptor : {&withCodePage, &without}) {
    std::unique_ptr<TqdBaseFilterEngine> engine(TqdBaseFilterEngine::CreateFor(descriptor, Fields()));
    auto* expressionEngine = dynamic_cast<TqdSimpleExpressionFilterEngine*>(engine.get());
    ASSERT_NE(expressionEngine, nullptr);
    EXPECT_EQ(expressionEngine->Expression(), expression);  // shared, not copied
    EXPECT_EQ(expressionEngine->HasCodePage(), descriptor->CodePage() >= 0);
    std::unique_ptr<TqdBaseFilterDescriptor> back(engine->CreateDescriptor());
    auto* copy = dynamic_cast<TqdSimpleExpressionFilterDescriptor*>(back.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Expression(), expression);
    EXPECT_EQ(copy->FilterText(), descriptor->FilterText());
    EXPECT_EQ(copy->CodePage(), descriptor->CodePage());
  }
}

// --- Filtered indexes ---------------------------------------------------------------------

TEST_F(ExpressionFilterTest, FilteredIndexKeepsItsExpressionThroughTheDictionaryStream) {
  CanExprBuilder builder;
  const Bytes expression = builder.Build(compare(builder, coGT, builder.Field(fCount, "Count"), builder.Int32(0)));
  auto* key =
      static_cast<TqdCompKeyDescriptor*>(dictionary.IndicesDescriptor()
                                             ->AddIndex(u"Positive", 0, idNone, u"", &TqdCompKeyDescriptor::ClassInfo)
                                             ->KeyDescriptor());
  key->Add(fCount - 1);
  key->SetFilter(new TqdSimpleExpressionFilterDescriptor(shared(expression), u"Count > 0", 1252));
  TqdMemoryStream stream(-1);
  dictionary.WriteToStream(stream, qdEngineClientVersion);
  stream.SetPosition(0);
  TqdDataDictionary copy;
  copy.ReadFromStream(stream, u"Copy");
  ASSERT_TRUE(copy.IsEqual(&dictionary));
  auto* filter = dynamic_cast<TqdSimpleExpressionFilterDescriptor*>(
      copy.IndicesDescriptor()->IndexDescriptor(1)->KeyDescriptor()->Filter());
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(*filter->Expression(), expression);
  EXPECT_EQ(filter->FilterText(), u"Count > 0");
  EXPECT_EQ(filter->CodePage(), 1252);

  // The filter of a read-only dictionary stays; the offered one is freed.
  copy.MakeReadOnly();
  EXPECT_ENGINE_ERROR(
      copy.IndicesDescriptor()->IndexDescriptor(1)->KeyDescriptor()->SetFilter(new TqdSqlFilterDescriptor(u"x")),
      qdeDictReadOnly, "");
  EXPECT_EQ(copy.IndicesDescriptor()->IndexDescriptor(1)->KeyDescriptor()->Filter(), filter);
}

}  // namespace
}  // namespace qd
