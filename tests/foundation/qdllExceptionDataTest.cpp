#include "foundation/qdllExceptionData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/qdllException.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "platform/qdStringList.h"

namespace qd {
namespace {

std::string U8(const qdString& aText) { return StringToUtf8(aText); }

// The rendered text split into its lines (every line ends in CR LF).
std::vector<std::string> Lines(const qdString& aText) {
  std::vector<std::string> lines;
  const std::string text = U8(aText);
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "text does not end in CR LF";
  return lines;
}

TqdRef<IqdExceptionDataContainer> Root(const qdString& aName = u"ExceptionData") {
  return qdCreateExceptionDataContainer(aName, nullptr);
}

TEST(ExceptionDataTextTest, IntegerValuesShowDecimalHexAndHalves) {
  struct Case {
    int64_t value;
    const char* text;
  };
  const Case cases[] = {
      {255, "255 ($000000FF)"},
      {0, "0 ($00000000)"},
      {4294967295, "4294967295 ($FFFFFFFF)"},
      {-1, "-1 ($FFFFFFFFFFFFFFFF, -1:4294967295)"},
      {4294967296, "4294967296 ($0000000100000000, 1:0)"},
      {INT64_MIN, "-9223372036854775808 ($8000000000000000, -2147483648:0)"},
  };
  for (const Case& c : cases) {
    auto root = Root();
    root->AddInt64(u"V", c.value);
    EXPECT_EQ(U8(root->Values(0)->ToString()), std::string("V: ") + c.text + "\r\n") << c.value;
  }
}

TEST(ExceptionDataTextTest, CardinalIsStoredZeroExtended) {
  auto root = Root();
  root->AddCardinal(u"C", 0xFFFFFFFFu);
  EXPECT_EQ(root->Values(0)->ValueKind(), edkInteger);
  EXPECT_EQ(root->Values(0)->AsInt64(), 4294967295);
}

TEST(ExceptionDataTextTest, ContainersIndentTwoBlanksPerLevel) {
  auto root = Root();
  root->AddString(u"Table", u"T1");
  auto lock = root->AddContainer(u"Lock");
  lock->AddBoolean(u"Exclusive", true);
  lock->AddContainer(u"Holder")->AddBoolean(u"Waiting", false);
  root->AddInt64(u"After", 1);
  EXPECT_EQ(Lines(root->ToString()),
            (std::vector<std::string>{"ExceptionData:", "  Table: T1", "  Lock:", "    Exclusive: True",
                                      "    Holder:", "      Waiting: False", "  After: 1 ($00000001)"}));
}

TEST(ExceptionDataTextTest, MultiLineStringGoesBelowItsName) {
  auto root = Root(u"R");
  root->AddString(u"Sql", u"a\r\nb");
  root->AddString(u"One", u"single");
  EXPECT_EQ(Lines(root->ToString()), (std::vector<std::string>{"R:", "  Sql:", "    a", "    b", "  One: single"}));
}

TEST(ExceptionDataTextTest, VariantTexts) {
  struct Case {
    TqdVariant value;
    const char* text;
  };
  const Case cases[] = {
      {TqdVariant::Null(), "NULL"},    {TqdVariant(), "EMPTY"},    {TqdVariant(qdString(u"it's")), "'it''s'"},
      {TqdVariant(int32_t{42}), "42"}, {TqdVariant(true), "True"},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(qdFormatExceptionDataVariant(c.value)), c.text);
}

TEST(ExceptionDataValueTest, ScalarsConvertThroughTheirVariant) {
  auto root = Root();
  root->AddString(u"S", u"12");
  root->AddInt64(u"I", 7);
  root->AddBoolean(u"B", true);
  root->AddFloat(u"F", 2.5);
  EXPECT_EQ(root->Values(0)->AsInt64(), 12);
  EXPECT_EQ(U8(root->Values(1)->AsString()), "7");
  EXPECT_EQ(root->Values(1)->AsFloat(), 7.0);
  EXPECT_TRUE(root->Values(2)->AsBoolean());
  EXPECT_EQ(root->Values(3)->AsFloat(), 2.5);
}

TEST(ExceptionDataValueTest, UnsupportedRequestsRaise12289) {
  auto root = Root();
  root->AddString(u"S", u"x");
  try {
    (void)root->Values(0)->AsContainer();
    FAIL() << "AsContainer of a string value";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeNotSupported);
    EXPECT_EQ(U8(e.ErrorString()), "AsContainer not supported for TqdExceptionDataBaseValue");
  }
  try {
    (void)root->AsVariant();
    FAIL() << "AsVariant of a container";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeNotSupported);
    EXPECT_EQ(U8(e.ErrorString()), "AsVariant not supported by TqdExceptionDataBaseValue");
  }
  EXPECT_EQ(root->AsContainer().Get(), root.Get());
}

TEST(ExceptionDataValueTest, ValuesOutsideTheRangeRaiseRangeError) {
  auto root = Root();
  root->AddString(u"S", u"x");
  EXPECT_THROW((void)root->Values(1), ERangeError);
  EXPECT_THROW((void)root->Values(-1), ERangeError);
}

// --- Encoded form --------------------------------------------------------------

void ExpectSameTree(IqdExceptionDataValue* aExpected, IqdExceptionDataValue* aActual, const std::string& aPath) {
  ASSERT_EQ(aExpected->ValueKind(), aActual->ValueKind()) << aPath;
  EXPECT_EQ(U8(aExpected->Name()), U8(aActual->Name())) << aPath;
  if (aExpected->ValueKind() != edkContainer) {
    EXPECT_EQ(U8(aExpected->ToString()), U8(aActual->ToString())) << aPath;
    return;
  }
  auto expected = aExpected->AsContainer();
  auto actual = aActual->AsContainer();
  ASSERT_EQ(expected->Count(), actual->Count()) << aPath;
  for (int32_t i = 0; i < expected->Count(); ++i)
    ExpectSameTree(expected->Values(i).Get(), actual->Values(i).Get(), aPath + "/" + U8(expected->Name()));
}

TEST(ExceptionDataEncodingTest, RoundTripKeepsNamesKindsValuesAndOrder) {
  auto root = Root();
  root->AddString(u"Sql", u"select *\r\nfrom t");
  root->AddString(u"Kanji", u"\u65E5\u672C\u8A9E");
  root->AddString(u"Empty", u"");
  root->AddInt64(u"Big", INT64_MIN);
  root->AddInt64(u"Small", -3);
  root->AddBoolean(u"Yes", true);
  root->AddFloat(u"Ratio", 0.1);
  root->AddVariant(u"Null", TqdVariant::Null());
  root->AddVariant(u"Text", TqdVariant(qdString(u"v")));
  auto inner = root->AddContainer(u"Inner");
  inner->AddCardinal(u"Count", 3);
  inner->AddContainer(u"Deeper")->AddBoolean(u"No", false);
  root->AddContainer(u"EmptyContainer");

  const qdString encoded = root->ToEncodedString(47501);
  auto decoded = qdExceptionDataFromString(encoded);
  ASSERT_TRUE(decoded);
  ExpectSameTree(root.Get(), decoded.Get(), "");
  EXPECT_EQ(U8(decoded->ToString()), U8(root->ToString()));
  EXPECT_EQ(decoded->AsContainer()->Values(6)->AsFloat(), 0.1);
}

TEST(ExceptionDataEncodingTest, ScalarRootRoundTrips) {
  auto root = Root();
  root->AddInt64(u"Only", 255);
  auto decoded = qdExceptionDataFromString(root->Values(0)->ToEncodedString(1));
  EXPECT_EQ(decoded->ValueKind(), edkInteger);
  EXPECT_EQ(decoded->AsInt64(), 255);
}

// Builds an encoded text from filer values written by aWrite.
template <class F>
qdString Encode(F aWrite) {
  TqdAnsiStringStream stream;
  {
    TqdWriter writer(&stream);
    aWrite(writer);
  }
  return AsciiToString(StrToBase64(stream.DataString()));
}

TEST(ExceptionDataEncodingTest, IdentifierIsComparedIgnoringCase) {
  const qdString text = Encode([](TqdWriter& w) {
    w.WriteIdent(u"edv");
    w.WriteInteger(1);
    w.WriteInteger(0);
    w.WriteString(u"N");
    w.WriteString(u"v");
  });
  EXPECT_EQ(U8(qdExceptionDataFromString(text)->AsString()), "v");
}

TEST(ExceptionDataEncodingTest, DamagedTextsAreRefused) {
  struct Case {
    const char* what;
    qdString text;
    TqdResult code;  // 0: not an engine exception
  };
  const qdString good = [] {
    auto root = Root();
    root->AddContainer(u"C")->AddString(u"S", u"abc");
    return root->ToEncodedString(1);
  }();
  const qdAnsiString goodBytes = Base64ToStr(StringToUtf8(good));
  const Case cases[] = {
      {"wrong identifier", Encode([](TqdWriter& w) {
         w.WriteIdent(u"XYZ");
         w.WriteInteger(1);
       }),
       qdeIncompatibleStream},
      {"no identifier", Encode([](TqdWriter& w) { w.WriteInteger(1); }), qdeIncompatibleStream},
      {"unknown kind", Encode([](TqdWriter& w) {
         w.WriteIdent(u"EDV");
         w.WriteInteger(1);
         w.WriteInteger(6);
         w.WriteString(u"N");
       }),
       qdeIncompatibleStream},
      {"cut in the middle", AsciiToString(StrToBase64(goodBytes.substr(0, goodBytes.size() - 4))), 0},
      {"list never closed", AsciiToString(StrToBase64(goodBytes.substr(0, goodBytes.size() - 1))), 0},
  };
  for (const Case& c : cases) {
    try {
      (void)qdExceptionDataFromString(c.text);
      ADD_FAILURE() << c.what << " was accepted";
    } catch (const EqdBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << c.what;
    } catch (const EReadError&) {
      EXPECT_EQ(c.code, 0u) << c.what;
    }
  }
}

TEST(ExceptionDataEncodingTest, Base64OfWrongLengthRaisesTheLengthError) {
  try {
    (void)qdExceptionDataFromString(u"RUR");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(U8(e.Message()), "Base64ToStr: illegal input length!");
  }
}

TEST(ExceptionDataEncodingTest, NestingBeyondTheLimitIsRefusedNotRecursedInto) {
  const auto nested = [](int32_t aDepth) {
    return Encode([aDepth](TqdWriter& w) {
      w.WriteIdent(u"EDV");
      w.WriteInteger(1);
      for (int32_t i = 0; i < aDepth; ++i) {
        w.WriteInteger(int32_t{edkContainer});
        w.WriteString(u"C");
        w.WriteListBegin();
      }
      for (int32_t i = 0; i < aDepth; ++i) w.WriteListEnd();
    });
  };
  EXPECT_NO_THROW((void)qdExceptionDataFromString(nested(kMaxExceptionDataDepth)));
  try {
    (void)qdExceptionDataFromString(nested(100000));
    FAIL();
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeIncompatibleStream);
  }
}

// --- Objects -------------------------------------------------------------------

// Describes itself as a number and, when asked to, itself again.
class SelfDescribing : public TqdObject, public IqdExceptionData {
 public:
  explicit SelfDescribing(TqdObject* aOther = nullptr) : fOther(aOther) {}
  void GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) override {
    aContainer->AddInt64(u"Flag", aFlag);
    if (fOther != nullptr) aContainer->AddObject(u"Other", fOther, aFlag);
  }
  TqdObject* fOther;
};

class Plain : public TqdObject {};

TEST(ExceptionDataObjectTest, RepeatedObjectIsCutOneLevelBelowItsFirstRepetition) {
  SelfDescribing x;
  x.fOther = &x;
  auto root = Root(u"R");
  root->AddObject(u"X", &x, 5);
  EXPECT_EQ(Lines(root->ToString()),
            (std::vector<std::string>{
                "R:", "  X:", "    Flag: 5 ($00000005)", "    Other:", "      Flag: 5 ($00000005)",
                "      Other: [Omitted to prevent cycle. Object already present 1 step up in history.]"}));
}

TEST(ExceptionDataObjectTest, CycleNoteCountsTheStepsUp) {
  SelfDescribing a;
  SelfDescribing b(&a);
  SelfDescribing c(&b);
  a.fOther = &c;
  auto root = Root(u"R");
  root->AddObject(u"A", &a);
  // A > C > B > A again: while B's container is filled, A's container is
  // two steps up.
  const std::vector<std::string> lines = Lines(root->ToString());
  EXPECT_EQ(lines.back(), "        Other: [Omitted to prevent cycle. Object already present 2 step up in history.]");
}

TEST(ExceptionDataObjectTest, ExcludedObjectsOfAnAncestorAreNoted) {
  SelfDescribing engine;
  SelfDescribing session(&engine);
  TqdObject* excluded[] = {&engine};
  auto root = qdCreateExceptionDataContainer(u"R", nullptr, excluded);
  root->AddObject(u"Session", &session);
  EXPECT_EQ(Lines(root->ToString()),
            (std::vector<std::string>{"R:", "  Session:", "    Flag: 0 ($00000000)", "    Other: [Excluded]"}));
}

TEST(ExceptionDataObjectTest, StringListBecomesNamedAndNumberedValues) {
  TqdStringList list;
  list.Add(u"Table=T1");
  list.Add(u"=only value");
  list.Add(u"plain");
  list.Add(u"a=b=c");
  auto root = Root(u"R");
  root->AddObject(u"L", list);
  EXPECT_EQ(Lines(root->ToString()), (std::vector<std::string>{"R:", "  L:", "    Table: T1", "    [1]: only value",
                                                               "    [2]: plain", "    a: b=c"}));
}

TEST(ExceptionDataObjectTest, OtherObjectsGiveTheirClassNameAndNilNothing) {
  Plain plain;
  auto root = Root(u"R");
  root->AddObject(u"P", &plain);
  root->AddObject(u"Nil", nullptr);
  EXPECT_EQ(Lines(root->ToString()), (std::vector<std::string>{"R:", "  P: Plain"}));
}

// --- Through engine exceptions ---------------------------------------------------

TEST(ExceptionDataServicesTest, DetailOfAnExceptionIsDecodedIntoItsData) {
  auto data = Root();
  data->AddString(u"Table", u"T1");
  const qdString text = u"boom" + qdEncodeCustomInfo(u"$ExceptionData$", data->ToEncodedString(47501));
  EqdBaseException e(qdeRecLocked, text);
  EXPECT_EQ(U8(e.ErrorString()), "boom");
  EXPECT_EQ(e.CustomInfos().IndexOfName(u"$ExceptionData$"), -1);
  IqdExceptionDataContainer* decoded = e.GetExceptionData();
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(U8(decoded->ToString()), "ExceptionData:\r\n  Table: T1\r\n");
}

}  // namespace
}  // namespace qd
