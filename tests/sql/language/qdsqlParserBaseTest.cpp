#include "sql/language/qdsqlParserBase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/qdStrings.h"
#include "platform/qdSysUtils.h"
#include "sql/language/qdsqlTokenizer.h"

namespace qd {
namespace {

constexpr int32_t kEof = 0;
constexpr int32_t kIdent = 1;
constexpr int32_t kComma = 31;
constexpr int32_t kLeftParen = 27;
constexpr int32_t kDistinct = 36;
constexpr int32_t kTable = 57;
constexpr int32_t kDrop = 61;
constexpr int32_t kFrom = 94;
constexpr int32_t kWhere = 185;
constexpr int32_t kSelect = 229;
// A name the test parser gives to a code outside the symbol table.
constexpr int32_t kQuoteName = 1000;

std::unique_ptr<TTokenList> tokenize(const std::string& aText) {
  TqdSQLTokenizer tokenizer;
  std::unique_ptr<TTokenList> tokens;
  if (!tokenizer.Tokenize(Utf8ToString(aText), false, false, tokens)) ADD_FAILURE() << "no tokens: " << aText;
  return tokens;
}

template <typename E>
std::string messageOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const E& e) {
    return e.what();
  }
  return "(nothing raised)";
}

// --- Records ---------------------------------------------------------------------------

TEST(TokenRecordTest, ARecordIsTenBytesAndAPageFillsSixtyFourKilobytes) {
  static_assert(sizeof(TTokenRecord) == 10);
  static_assert(sizeof(TTokenPage) == 65536);
  static_assert(16 + qdTokensPerPage * sizeof(TTokenRecord) == 65536);
  auto tokens = tokenize("SELECT x");
  const TTokenPage* page = TokenRecordPage(tokens->TokenPtr(1));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % 65536, 0u);
  EXPECT_EQ(page->Owner, tokens.get());
  EXPECT_EQ(page->TokenCount, 3);
}

TEST(TokenRecordTest, TextsWithAndWithoutQuotes) {
  auto tokens = tokenize("'a''b' \"x\" plain \"\" '' \"<t>\"");
  const struct {
    int32_t Index;
    std::string Text, Unquoted;
  } cases[] = {
      {0, "'a''b'", "a''b"}, {1, "\"x\"", "x"}, {2, "plain", "plain"},
      {3, "\"\"", ""},       {4, "''", ""},     {5, "\"<t>\"", "<t>"},
  };
  for (const auto& c : cases) {
    PTokenRecord record = tokens->TokenPtr(c.Index);
    EXPECT_EQ(StringToUtf8(TokenRecordText(record)), c.Text);
    EXPECT_EQ(StringToUtf8(TokenRecordUnquotedText(record)), c.Unquoted);
    EXPECT_EQ(TokenRecordLength(record), c.Text.size());
  }
  EXPECT_EQ(TokenRecordText(nullptr), u"");
  EXPECT_EQ(TokenRecordUnquotedText(nullptr), u"");
  EXPECT_EQ(TokenRecordPositionText(nullptr), u"");
}

TEST(TokenRecordTest, EqualsIsExactAndCaseSensitive) {
  auto tokens = tokenize("abc abc ABC ab");
  auto other = tokenize("abc");
  PTokenRecord a = tokens->TokenPtr(0);
  EXPECT_TRUE(TokenRecordEquals(a, a));
  EXPECT_TRUE(TokenRecordEquals(a, tokens->TokenPtr(1)));
  EXPECT_TRUE(TokenRecordEquals(a, other->TokenPtr(0)));
  EXPECT_FALSE(TokenRecordEquals(a, tokens->TokenPtr(2)));
  EXPECT_FALSE(TokenRecordEquals(a, tokens->TokenPtr(3)));
  EXPECT_FALSE(TokenRecordEquals(a, nullptr));
  EXPECT_FALSE(TokenRecordEquals(nullptr, a));
  EXPECT_FALSE(TokenRecordEquals(nullptr, nullptr));
}

TEST(TokenRecordTest, ARecordOutsideTheUsedSlotsIsAnInternalError) {
  auto tokens = tokenize("a b");
  PTokenRecord last = tokens->TokenPtr(2);
  EXPECT_THROW((void)TokenRecordPage(last + 1), EAssertionFailed);
  const auto* misaligned = reinterpret_cast<PTokenRecord>(reinterpret_cast<const uint8_t*>(last) - 1);
  EXPECT_THROW((void)TokenRecordText(misaligned), EAssertionFailed);
  EXPECT_THROW((void)TokenRecordPage(nullptr), EAssertionFailed);
}

TEST(TokenListTest, AnIndexOutsideTheListIsInvalid) {
  auto tokens = tokenize("a");
  for (int32_t index : {-1, 2, qdTokensPerPage}) {
    EXPECT_EQ(messageOf<Exception>([&] { (void)tokens->TokenPtr(index); }), "Invalid token index") << index;
  }
  TTokenList empty(qdString{});
  EXPECT_EQ(messageOf<Exception>([&] { (void)empty.GetTokenType(0); }), "Invalid token index");
}

TEST(TokenListTest, AddTokenRefusesSpansOutsideItsText) {
  TTokenList tokens(u"abc");
  const char16_t* text = tokens.Source().data();
  const qdString elsewhere(u"abc");
  EXPECT_THROW(tokens.AddToken(elsewhere.data(), elsewhere.data() + 1, 1, 1, 1, 2, 1), EAssertionFailed);
  EXPECT_THROW(tokens.AddToken(text + 2, text + 4, 1, 1, 3, 5, 1), EAssertionFailed);
  EXPECT_THROW(tokens.AddToken(text + 2, text + 1, 1, 1, 3, 2, 1), EAssertionFailed);
  tokens.AddToken(text + 1, text + 3, 1, 1, 2, 4, 1);
  EXPECT_EQ(tokens.TokenStr(0), u"bc");
  EXPECT_EQ(tokens.GetTokenStartPos(0), 2);
}

// --- Decimal values -------------------------------------------------------------------------

TEST(TokenValueTest, DecimalValuesThatFit) {
  auto tokens = tokenize("0 2147483647 2147483648 9223372036854775807 000000000000000000001");
  EXPECT_EQ(tokens->TokenAsInt(0), 0);
  EXPECT_EQ(tokens->TokenAsInt(1), 2147483647);
  EXPECT_EQ(tokens->TokenAsInt64(2), 2147483648LL);
  EXPECT_EQ(tokens->TokenAsInt64(3), INT64_MAX);
  EXPECT_EQ(tokens->TokenAsInt(4), 1);
  EXPECT_EQ(TokenRecordAsInteger(tokens->TokenPtr(1)), 2147483647);
}

TEST(TokenValueTest, ValuesThatDoNotFitRaiseTheRangeErrorWithTheirPosition) {
  auto tokens = tokenize("#T 99999999999\n 2147483648 99999999999999999999 9223372036854775808");
  EXPECT_EQ(messageOf<ERangeError>([&] { (void)tokens->TokenAsInt(1); }),
            "Integer value out of range: '99999999999' at line 1, pos 4");
  EXPECT_EQ(messageOf<ERangeError>([&] { (void)tokens->TokenAsInt(2); }),
            "Integer value out of range: '2147483648' at line 2, pos 2");
  EXPECT_THROW((void)TokenRecordAsInteger(tokens->TokenPtr(2)), ERangeError);
  EXPECT_THROW((void)tokens->TokenAsInt64(3), ERangeError);
  EXPECT_THROW((void)tokens->TokenAsInt64(4), ERangeError);
}

// --- Scanner marks ----------------------------------------------------------------------------

class TMarkScanner : public TBaseTokenizer {
 public:
  bool Tokenize(const char16_t*, size_t, bool, bool, std::unique_ptr<TTokenList>&) override { return false; }
  using TBaseTokenizer::Advance;
  using TBaseTokenizer::AdvanceBy;
  using TBaseTokenizer::CurChar;
  using TBaseTokenizer::MatchChar;
  using TBaseTokenizer::MatchNotChar;
  using TBaseTokenizer::Peek;
  using TBaseTokenizer::PopPos;
  using TBaseTokenizer::PushPos;
  using TBaseTokenizer::ResetCursor;
};

TEST(ScannerMarksTest, APoppedMarkRestoresPositionLineAndColumn) {
  const qdString text(u"ab\ncd");
  TMarkScanner scanner;
  scanner.ResetCursor(text);
  scanner.PushPos();
  scanner.AdvanceBy(4);
  EXPECT_EQ(scanner.CurChar(), u'd');
  EXPECT_EQ(scanner.CurLine, 2);
  EXPECT_EQ(scanner.CurPos, 2);
  EXPECT_EQ(scanner.Peek(1), u'\0');
  scanner.PopPos(false);
  EXPECT_EQ(scanner.CurChar(), u'a');
  EXPECT_EQ(scanner.CurLine, 1);
  EXPECT_EQ(scanner.CurPos, 1);
  EXPECT_FALSE(scanner.MatchChar(u'b'));
  EXPECT_TRUE(scanner.MatchNotChar(u'b'));
  EXPECT_TRUE(scanner.MatchChar(u'b'));
  scanner.AdvanceBy(10);  // stops at the end of the text
  EXPECT_EQ(scanner.CurPtr, scanner.EndPtr);
  EXPECT_EQ(scanner.CurChar(), u'\0');
  EXPECT_FALSE(scanner.MatchNotChar(u'x'));
}

TEST(ScannerMarksTest, AFifthMarkOrAPopWithoutMarkIsAnInternalError) {
  TMarkScanner scanner;
  scanner.ResetCursor(u"x");
  EXPECT_THROW(scanner.PopPos(true), EAssertionFailed);
  for (int i = 0; i < 4; ++i) scanner.PushPos();
  EXPECT_THROW(scanner.PushPos(), EAssertionFailed);
  EXPECT_EQ(scanner.STP, 4);
}

// --- Parser primitives, with a tiny grammar ------------------------------------------------------

// Recognisers in the fixed shapes the generated grammar uses; the test
// composes them into small grammars.
class TTinyParser : public TBaseParser {
 public:
  using TRule = std::function<bool()>;
  using TBaseParser::ActualToken;
  using TBaseParser::FCodes;

  explicit TTinyParser(const TTokenList* aTokens) : TBaseParser(aTokens) {}

  TRule Start;
  bool Parse() override {
    TokenPtr = 0;
    CodePtr = 0;
    return Start() && Expect(kEof);
  }
  void Compile() override {}
  void TokenName(int32_t aCode, qdString& aName) const override {
    aName = aCode == kQuoteName ? qdString(u"'") : qdSqlSymbolName(aCode);
  }

  // The codes of the successful parse.
  std::vector<int32_t> Recorded() const { return {Codes().begin(), Codes().begin() + CodePtr}; }

  TRule Tok(int32_t aCode) {
    return [this, aCode] { return Expect(aCode); };
  }
  TRule Sequence(std::vector<TRule> aItems) {
    return [this, aItems] {
      PushMark();
      bool ok = true;
      for (const TRule& item : aItems) {
        if (!(ok = item())) break;
      }
      EndMark(ok);
      return ok;
    };
  }
  TRule Choice(std::vector<TRule> aAlternatives) {
    return [this, aAlternatives] {
      PushMarkAddCode0();
      for (size_t k = 0; k < aAlternatives.size(); ++k) {
        if (k > 0) RetryAddCode(static_cast<int32_t>(k));
        if (aAlternatives[k]()) {
          DropMark();
          return true;
        }
      }
      PopMarkRestore();
      return false;
    };
  }
  TRule Option(TRule aItem) {
    return [this, aItem] {
      PushMarkAddCode1();
      if (aItem()) {
        DropMark();
      } else {
        PopMarkAddCode0();
      }
      return true;
    };
  }
  TRule Repetition(TRule aItem) {
    return [this, aItem] {
      PushMarkAddCode1();
      while (aItem()) {
        DropMark();
        PushMarkAddCode1();
      }
      PopMarkAddCode0();
      return true;
    };
  }
  TRule List(TRule aItem, TRule aSeparator) {
    return [this, aItem, aSeparator] {
      PushMarkAddCode1();
      if (!aItem()) {
        PopMarkRestore();
        return false;
      }
      for (;;) {
        DropMark();
        PushMarkAddCode2();
        if (!(aSeparator() && AddCode(1) && aItem())) {
          PopMarkAddCode0();
          AddCode(0);
          return true;
        }
      }
    };
  }
};

struct TShapeCase {
  std::string Name;
  std::function<TTinyParser::TRule(TTinyParser&)> Grammar;
  std::string Text;
  std::vector<int32_t> Codes;
};

void PrintTo(const TShapeCase& aCase, std::ostream* aOut) { *aOut << aCase.Name; }

class ParserShapesTest : public testing::TestWithParam<TShapeCase> {};

TEST_P(ParserShapesTest, ASuccessfulParseRecordsExactlyItsDecisions) {
  const TShapeCase& c = GetParam();
  auto tokens = tokenize(c.Text);
  TTinyParser parser(tokens.get());
  parser.Start = c.Grammar(parser);
  ASSERT_TRUE(parser.Parse());
  EXPECT_EQ(parser.STP, 0);
  EXPECT_EQ(parser.Recorded(), c.Codes);
  // The second phase reads them back in order.
  parser.CodePtr = 0;
  for (int32_t code : c.Codes) EXPECT_EQ(parser.NextCode(), code);
}

using P = TTinyParser;
const TShapeCase kShapes[] = {
    {"ChoiceFirst",
     [](P& p) {
       return p.Choice({p.Tok(kSelect), p.Sequence({p.Tok(kDrop), p.Tok(kTable)}), p.Tok(kIdent)});
     },
     "SELECT",
     {0}},
    {"ChoiceSecond",
     [](P& p) {
       return p.Choice({p.Tok(kSelect), p.Sequence({p.Tok(kDrop), p.Tok(kTable)}), p.Tok(kIdent)});
     },
     "DROP TABLE",
     {1}},
    {"ChoiceThird",
     [](P& p) {
       return p.Choice({p.Tok(kSelect), p.Sequence({p.Tok(kDrop), p.Tok(kTable)}), p.Tok(kIdent)});
     },
     "q",
     {2}},
    {"OptionPresent",
     [](P& p) {
       return p.Sequence({p.Option(p.Tok(kDistinct)), p.Tok(kIdent)});
     },
     "DISTINCT q",
     {1}},
    {"OptionAbsent",
     [](P& p) {
       return p.Sequence({p.Option(p.Tok(kDistinct)), p.Tok(kIdent)});
     },
     "q",
     {0}},
    {"RepetitionOfThree", [](P& p) { return p.Repetition(p.Tok(kIdent)); }, "a b c", {1, 1, 1, 0}},
    {"RepetitionOfNone", [](P& p) { return p.Repetition(p.Tok(kIdent)); }, "", {0}},
    {"RepetitionKeepsItsItemsCodes",
     [](P& p) {
       return p.Repetition(p.Choice({p.Tok(kSelect), p.Tok(kIdent)}));
     },
     "q SELECT",
     {1, 1, 1, 0, 0}},
    {"ListOfOne", [](P& p) { return p.List(p.Tok(kIdent), p.Tok(kComma)); }, "a", {1, 0, 0}},
    {"ListOfThree", [](P& p) { return p.List(p.Tok(kIdent), p.Tok(kComma)); }, "a, b, c", {1, 2, 1, 2, 1, 0, 0}},
    {"ListKeepsItsItemsCodes",
     [](P& p) { return p.List(p.Option(p.Tok(kDistinct)), p.Tok(kComma)); },
     "DISTINCT,",
     {1, 1, 2, 1, 0, 0, 0}},
    // The first alternative records four codes before it fails at FROM; the
    // second alternative and the option after the choice overwrite them.
    {"BacktrackOverwritesTheFailedAlternative",
     [](P& p) {
       return p.Sequence({p.Choice({p.Sequence({p.Repetition(p.Tok(kIdent)), p.Tok(kFrom)}),
                                    p.Sequence({p.Tok(kIdent), p.Tok(kIdent)})}),
                          p.Option(p.Tok(kWhere))});
     },
     "a b",
     {1, 0}},
};

INSTANTIATE_TEST_SUITE_P(Grammars, ParserShapesTest, testing::ValuesIn(kShapes),
                         [](const testing::TestParamInfo<TShapeCase>& aInfo) { return aInfo.param.Name; });

TEST(ParserFailureTest, TheFurthestFailureNamesWhatWasExpected) {
  auto tokens = tokenize("DROP q");
  TTinyParser parser(tokens.get());
  parser.Start = parser.Choice({parser.Tok(kSelect), parser.Sequence({parser.Tok(kDrop), parser.Tok(kTable)}),
                                parser.Sequence({parser.Tok(kDrop), parser.Tok(kLeftParen)}),
                                parser.Sequence({parser.Tok(kDrop), parser.Tok(kIdent), parser.Tok(kIdent)})});
  EXPECT_FALSE(parser.Parse());
  EXPECT_EQ(parser.STP, 0);
  // SELECT failed at token 0, TABLE and '(' at token 1, <identifier> at 2.
  EXPECT_EQ(parser.FailedTokenIndex(), 2);
  EXPECT_EQ(parser.ExpectedTokenCount(), 1);
  EXPECT_EQ(parser.GetExpectedToken(0), kIdent);
  qdString found;
  int32_t foundIndex = -1;
  EXPECT_EQ(parser.ExpectedTokensString(found, foundIndex), u"<identifier>");
  EXPECT_EQ(found, u"<eof>");
  EXPECT_EQ(foundIndex, 2);
}

TEST(ParserFailureTest, NoteFailureKeepsOnlyTheFurthestTokenUpTo312Codes) {
  auto tokens = tokenize("a b c d");
  TTinyParser parser(tokens.get());
  EXPECT_EQ(parser.FailedTokenIndex(), -1);
  parser.TokenPtr = 2;
  parser.NoteFailure(kLeftParen, kIdent);
  parser.TokenPtr = 1;
  parser.NoteFailure(kTable, kIdent);  // earlier: ignored
  parser.TokenPtr = 2;
  parser.NoteFailure(kIdent, kIdent);
  EXPECT_EQ(parser.FailedTokenIndex(), 2);
  ASSERT_EQ(parser.ExpectedTokenCount(), 2);
  EXPECT_EQ(parser.GetExpectedToken(1), kIdent);

  parser.TokenPtr = 3;  // further: starts again
  parser.NoteFailure(kSelect, kIdent);
  EXPECT_EQ(parser.ExpectedTokenCount(), 1);
  EXPECT_EQ(parser.GetExpectedToken(0), kSelect);
  for (int32_t i = 0; i < 400; ++i) parser.NoteFailure(34 + i % 200, kEof);
  EXPECT_EQ(parser.ExpectedTokenCount(), TBaseParser::MaxExpectedTokens);
  EXPECT_EQ(parser.GetExpectedToken(311), 34 + 310 % 200);
  EXPECT_EQ(parser.ActualToken, kEof);
  for (int32_t index : {-1, 312}) {
    EXPECT_EQ(messageOf<Exception>([&] { (void)parser.GetExpectedToken(index); }), "Invalid failed token index");
  }
}

TEST(ParserFailureTest, ExpectedTokensStringSortsQuotesAndJoins) {
  auto tokens = tokenize("a");
  const struct {
    std::vector<int32_t> Codes;
    std::u16string Text;
  } cases[] = {
      {{kLeftParen, kIdent, kTable}, u"'(', <identifier> or TABLE"},
      {{kTable, kLeftParen, kTable, kIdent}, u"'(', <identifier> or TABLE"},
      {{kTable}, u"TABLE"},
      {{kTable, kTable}, u"TABLE"},
      {{kSelect, kFrom}, u"FROM or SELECT"},
      {{kQuoteName, kComma}, u"\"'\" or ','"},
  };
  for (const auto& c : cases) {
    TTinyParser parser(tokens.get());
    for (int32_t code : c.Codes) parser.NoteFailure(code, kEof);
    EXPECT_EQ(StringToUtf8(parser.ExpectedTokensString()), StringToUtf8(c.Text));
  }
}

TEST(ParserStackTest, The351stMarkOverflowsTheParseStack) {
  auto tokens = tokenize("a");
  TTinyParser parser(tokens.get());
  for (int32_t i = 0; i < TBaseParser::MaxMarks; ++i) parser.PushMarkAddCode1();
  EXPECT_EQ(messageOf<Exception>([&] { parser.PushMarkAddCode1(); }), "Parse stack overflow");
  EXPECT_THROW(parser.PushMark(), EAssertionFailed);
  EXPECT_EQ(parser.STP, TBaseParser::MaxMarks);
}

TEST(ParserStackTest, PoppingOrRetryingWithNoMarkIsAnInternalError) {
  auto tokens = tokenize("a");
  TTinyParser parser(tokens.get());
  const std::function<void()> calls[] = {
      [&] { parser.PopMarkRestore(); }, [&] { parser.PopMarkAddCode0(); }, [&] { parser.RetryAddCode(1); },
      [&] { parser.EndMark(true); },    [&] { parser.EndMark(false); },    [&] { parser.DropMark(); },
  };
  for (const auto& call : calls) EXPECT_THROW(call(), EAssertionFailed);
  EXPECT_EQ(parser.STP, 0);
}

TEST(ParserSecondPhaseTest, CurrentTokenAndSourceExtract) {
  auto tokens = tokenize("SELECT 42, 9999999999 /* c */ FROM t");
  TTinyParser parser(tokens.get());
  parser.TokenPtr = 2;
  EXPECT_EQ(TokenRecordText(parser.CurTokenPtr()), u"42");
  EXPECT_EQ(parser.CurTokenAsInt(), 42);
  parser.TokenPtr = 4;
  EXPECT_EQ(parser.CurTokenAsInt64(), 9999999999LL);
  EXPECT_THROW((void)parser.CurTokenAsInt(), ERangeError);
  EXPECT_EQ(parser.SourceExtract(3, 4), u"9999999999 /* c */ FROM");
  EXPECT_TRUE(parser.ExpectRange(94, 94));
  EXPECT_FALSE(parser.ExpectRange(2, 3));
  EXPECT_EQ(parser.ExpectedTokenCount(), 0);  // a range notes no failure
}

// --- Ternary tree --------------------------------------------------------------------------------

TEST(TernaryTreeTest, FindsStoredWordsAndNothingElse) {
  TTernaryTree tree;
  EXPECT_EQ(tree.Search(u"A"), 0);
  const std::pair<const char16_t*, int32_t> words[] = {{u"SET", 1}, {u"SELECT", 2}, {u"SE", 3}, {u"A", 4}, {u"ZZ", 5}};
  for (const auto& [word, value] : words) tree.InsertStr(word, value);
  for (const auto& [word, value] : words) EXPECT_EQ(tree.Search(word), value);
  EXPECT_EQ(tree.Search(u"S"), 0);
  EXPECT_EQ(tree.Search(u"SELECTED"), 0);
  EXPECT_EQ(tree.Search(u"select"), 0);
  EXPECT_EQ(tree.SearchUC(u"select"), 2);
  EXPECT_EQ(tree.SearchUC(u"sÉt"), 0);
  EXPECT_EQ(tree.Search(qdStringView(u"SET\0X", 5)), 1);  // a word ends at its zero character
  tree.InsertStr(u"SET", 7);
  EXPECT_EQ(tree.Search(u"SET"), 7);
}

}  // namespace
}  // namespace qd
