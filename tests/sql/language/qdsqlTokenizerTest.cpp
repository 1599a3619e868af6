#include "sql/language/qdsqlTokenizer.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/qdStrings.h"
#include "tests/sql/language/qdsqlTextFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd {
namespace {

struct TScan {
  bool Ok = false;
  std::unique_ptr<TTokenList> Tokens;

  std::vector<int32_t> Codes() const {
    std::vector<int32_t> codes;
    for (int32_t i = 0; i < Tokens->TokenCount(); ++i) codes.push_back(Tokens->GetTokenType(i));
    return codes;
  }
  std::string Text(int32_t i) const { return StringToUtf8(Tokens->TokenStr(i)); }
};

TScan scan(qdStringView aText, bool aComments = false, bool aWhitespace = false) {
  TScan result;
  TqdSQLTokenizer tokenizer;
  result.Ok = tokenizer.Tokenize(aText, aComments, aWhitespace, result.Tokens);
  return result;
}

TScan scan(const std::string& aUtf8, bool aComments = false, bool aWhitespace = false) {
  return scan(Utf8ToString(aUtf8), aComments, aWhitespace);
}

// The text of a case as one line of ASCII, for test names and messages.
std::string printable(const std::string& aText) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out = "\"";
  for (unsigned char c : aText) {
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out + "\"";
}

// --- Symbol codes -------------------------------------------------------------------

struct TCodesCase {
  std::string Text;
  std::vector<int32_t> Codes;               // without the final <eof>
  std::vector<std::string> Spellings = {};  // of the first tokens, when it matters
};

void PrintTo(const TCodesCase& aCase, std::ostream* aOut) { *aOut << printable(aCase.Text); }

class TokenCodesTest : public testing::TestWithParam<TCodesCase> {};

TEST_P(TokenCodesTest, TextGivesItsCodesAndEndsWithEof) {
  const TCodesCase& c = GetParam();
  const TScan s = scan(c.Text);
  ASSERT_TRUE(s.Ok);
  std::vector<int32_t> expected = c.Codes;
  expected.push_back(0);
  EXPECT_EQ(s.Codes(), expected);
  for (size_t i = 0; i < c.Spellings.size(); ++i) EXPECT_EQ(s.Text(static_cast<int32_t>(i)), c.Spellings[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TokenCodesTest,
    testing::Values(TCodesCase{"select * from T", {229, 28, 94, 1}}, TCodesCase{"SeLeCt", {229}},
                    TCodesCase{"SELECT1", {1}, {"SELECT1"}}, TCodesCase{"#OPT", {249}}, TCodesCase{"#opt", {249}},
                    TCodesCase{"##tmp", {1}}, TCodesCase{"#x", {1}}, TCodesCase{"SYSTEM_ROW#", {224}},
                    TCodesCase{"N'x'", {328, 4}, {"N", "'x'"}}, TCodesCase{"X'00'", {402, 4}},
                    TCodesCase{"U&'a'", {391, 19, 4}}, TCodesCase{"1.", {2}}, TCodesCase{"1.5", {2}},
                    TCodesCase{"1.5e-3", {2}}, TCodesCase{"12", {3}}, TCodesCase{"1e", {3, 1}, {"1", "e"}},
                    TCodesCase{".5", {2}}, TCodesCase{".5e", {2, 1}, {".5", "e"}}, TCodesCase{".", {24}},
                    TCodesCase{"1..2", {2, 2}, {"1.", ".2"}}, TCodesCase{"1e+5", {2}}, TCodesCase{"1E5", {2}},
                    TCodesCase{"-1", {33, 3}}, TCodesCase{"+1", {32, 3}},
                    TCodesCase{"a != b", {1, 1, 25, 1}, {"a", "!", "=", "b"}},
                    TCodesCase{"a%%b::c<=d", {1, 12, 1, 13, 1, 14, 1}},
                    TCodesCase{"a%b:c>=d<>e||f<g>h", {1, 18, 1, 23, 1, 15, 1, 16, 1, 17, 1, 29, 1, 30, 1}},
                    TCodesCase{"&/;?=)(*,+-", {19, 20, 21, 22, 25, 26, 27, 28, 31, 32, 33}},
                    TCodesCase{"\"qkdrill:qkrecord\"", {6}}, TCodesCase{"\"<t>\"", {5}}, TCodesCase{"\"\"", {6}},
                    TCodesCase{"\"SELECT\"", {6}}, TCodesCase{"[00FF]", {7}}, TCodesCase{"[0a1B]", {7}},
                    TCodesCase{"'a''b'", {4}, {"'a''b'"}}, TCodesCase{"'a\nb'", {4}},
                    TCodesCase{"SELECT 問題 FROM ｔ", {229, 1, 94, 1}}, TCodesCase{"a　b", {1}},
                    TCodesCase{"@v x@y $z zeta", {1, 1, 1, 1}}, TCodesCase{"order user open", {69, 394, 345}},
                    TCodesCase{"", {}}, TCodesCase{" \t\r\n", {}}));

TEST(TokenizerTest, TheTextEndsAtACharacterOfCodeZero) {
  const qdString text(u"a\0b ]]", 6);
  const TScan s = scan(qdStringView(text));
  ASSERT_TRUE(s.Ok);
  EXPECT_EQ(s.Codes(), (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(s.Tokens->Source(), text);  // the list keeps the whole text
}

TEST(TokenizerTest, WhiteSpaceTokensOnlyWhenAsked) {
  EXPECT_EQ(scan("a  b", false, true).Codes(), (std::vector<int32_t>{1, 11, 1, 0}));
  EXPECT_EQ(scan("a \r\n\tb", false, true).Text(1), " \r\n\t");
  EXPECT_EQ(scan("a  b").Codes(), (std::vector<int32_t>{1, 1, 0}));
}

// --- Failures -------------------------------------------------------------------------

struct TFailCase {
  std::string Text;
  int32_t Recognised;  // tokens kept before the scan stopped
};

void PrintTo(const TFailCase& aCase, std::ostream* aOut) { *aOut << printable(aCase.Text); }

class TokenizerFailureTest : public testing::TestWithParam<TFailCase> {};

TEST_P(TokenizerFailureTest, FailsThroughTheResultAndKeepsWhatWasRecognised) {
  const TFailCase& c = GetParam();
  TScan s;
  TqdSQLTokenizer tokenizer;
  EXPECT_NO_THROW(s.Ok = tokenizer.Tokenize(Utf8ToString(c.Text), false, false, s.Tokens));
  EXPECT_FALSE(s.Ok);
  ASSERT_NE(s.Tokens, nullptr);
  EXPECT_EQ(s.Tokens->TokenCount(), c.Recognised);
  for (int32_t code : s.Codes()) EXPECT_NE(code, 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, TokenizerFailureTest,
                         testing::Values(TFailCase{"]x", 0}, TFailCase{"[0]", 0}, TFailCase{"[]", 0},
                                         TFailCase{"[000]", 0}, TFailCase{"[0G]", 0}, TFailCase{"[00", 0},
                                         TFailCase{"|", 0}, TFailCase{"a |b", 1}, TFailCase{"'open", 0},
                                         TFailCase{"'a''", 0}, TFailCase{"\"a,b\"", 0}, TFailCase{"\"日本\"", 0},
                                         TFailCase{"\"a*\"", 0}, TFailCase{"\"<t\"", 0}, TFailCase{"\"open", 0},
                                         TFailCase{"\"a\nb\"", 0}, TFailCase{"SELECT x ]", 2}, TFailCase{"a \x01", 1}));

TEST(TokenizerTest, TheEndOfTheLastTokenGivesTheFailurePosition) {
  const TScan s = scan("SELECT a,\n  b ]");
  ASSERT_FALSE(s.Ok);
  const int32_t last = s.Tokens->TokenCount() - 1;
  EXPECT_EQ(s.Text(last), "b");
  EXPECT_EQ(s.Tokens->GetTokenEndLine(last), 2);
  EXPECT_EQ(s.Tokens->GetTokenEndPos(last), 4);
}

// --- Comments ---------------------------------------------------------------------------

struct TCommentCase {
  std::string Text;
  std::vector<int32_t> Codes;         // without comments, with <eof>
  std::vector<int32_t> WithComments;  // with IncludeComments
};

void PrintTo(const TCommentCase& aCase, std::ostream* aOut) { *aOut << printable(aCase.Text); }

class CommentTest : public testing::TestWithParam<TCommentCase> {};

TEST_P(CommentTest, CommentsEndAtALineBreakOrTheEndOfTheText) {
  const TCommentCase& c = GetParam();
  const TScan plain = scan(c.Text);
  ASSERT_TRUE(plain.Ok);
  EXPECT_EQ(plain.Codes(), c.Codes);
  const TScan kept = scan(c.Text, true);
  ASSERT_TRUE(kept.Ok);
  EXPECT_EQ(kept.Codes(), c.WithComments);
}

INSTANTIATE_TEST_SUITE_P(Texts, CommentTest,
                         testing::Values(TCommentCase{"-- c\nSELECT 1", {229, 3, 0}, {9, 229, 3, 0}},
                                         TCommentCase{"-- c\r\nSELECT 1", {229, 3, 0}, {9, 229, 3, 0}},
                                         TCommentCase{"// c\rSELECT 1", {229, 3, 0}, {8, 229, 3, 0}},
                                         TCommentCase{"SELECT 1 -- c", {229, 3, 0}, {229, 3, 9, 0}},
                                         TCommentCase{"SELECT 1 // c", {229, 3, 0}, {229, 3, 8, 0}},
                                         TCommentCase{"SELECT /* a\n b */ 1", {229, 3, 0}, {229, 10, 3, 0}},
                                         TCommentCase{"/* a /* b */ c", {1, 0}, {10, 1, 0}},
                                         TCommentCase{"/* a", {20, 28, 1, 0}, {20, 28, 1, 0}},
                                         TCommentCase{"/*/", {20, 28, 20, 0}, {20, 28, 20, 0}},
                                         TCommentCase{"a-b/c", {1, 33, 1, 20, 1, 0}, {1, 33, 1, 20, 1, 0}},
                                         TCommentCase{"--", {0}, {9, 0}}));

TEST(CommentTest, ALineCommentIncludesItsLineBreak) {
  const TScan s = scan("x -- c\r\ny // d\nz", true);
  ASSERT_TRUE(s.Ok);
  EXPECT_EQ(s.Text(1), "-- c\r");
  EXPECT_EQ(s.Text(3), "// d\n");
  EXPECT_EQ(s.Tokens->GetTokenStartLine(4), 3);
}

// --- Positions ---------------------------------------------------------------------------

TEST(TokenPositionTest, LinesAndColumnsCountFromOne) {
  const TScan s = scan("SELECT\n  x,\n\ny\r\n 'a\nbc' z");
  ASSERT_TRUE(s.Ok);
  struct {
    int32_t Index, StartLine, StartPos, EndLine, EndPos;
  } const expected[] = {
      {0, 1, 1, 1, 7},  // SELECT
      {1, 2, 3, 2, 4},  // x
      {2, 2, 4, 2, 5},  // ,
      {3, 4, 1, 4, 2},  // y at the start of line 4
      {4, 5, 2, 6, 4},  // the string runs over a line feed
      {5, 6, 5, 6, 6},  // z
      {6, 6, 6, 6, 6},  // <eof>
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.Index);
    EXPECT_EQ(s.Tokens->GetTokenStartLine(e.Index), e.StartLine);
    EXPECT_EQ(s.Tokens->GetTokenStartPos(e.Index), e.StartPos);
    EXPECT_EQ(s.Tokens->GetTokenEndLine(e.Index), e.EndLine);
    EXPECT_EQ(s.Tokens->GetTokenEndPos(e.Index), e.EndPos);
  }
  const qdString position = TokenRecordPositionText(s.Tokens->TokenPtr(1));
  EXPECT_EQ(StringToUtf8(position), " at line 2, pos 3");
}

TEST(TokenPositionTest, ASpanKeepsTheCommentsAndLineBreaksBetweenItsTokens) {
  const std::string text = "SELECT /* c */\n a -- d\n FROM t";
  const TScan s = scan(text);
  ASSERT_TRUE(s.Ok);
  ASSERT_EQ(s.Codes(), (std::vector<int32_t>{229, 1, 94, 1, 0}));
  EXPECT_EQ(StringToUtf8(s.Tokens->TokenStr(0, 2)), "SELECT /* c */\n a -- d\n FROM");
  EXPECT_EQ(StringToUtf8(s.Tokens->TokenStr(1, 1)), "a");
  EXPECT_TRUE(s.Tokens->TokenStr(2, 1).empty());
}

// 7,000 and more tokens fill more than one page; positions on later pages
// start from the page's own first line and column.
class ManyTokensTest : public testing::Test {
 protected:
  static qdString Text(int32_t aLines) {
    // Each line: "ab cd" with a varying indent, so page heads fall on
    // tokens with columns other than 1.
    qdString text;
    for (int32_t i = 0; i < aLines; ++i) {
      text.append(static_cast<size_t>(i % 5), u' ');
      text += u"ab cd\n";
    }
    return text;
  }
};

TEST_F(ManyTokensTest, LaterPagesCountPositionsFromTheirFirstToken) {
  const qdString text = Text(3500);
  const TScan s = scan(qdStringView(text));
  ASSERT_TRUE(s.Ok);
  ASSERT_EQ(s.Tokens->TokenCount(), 7001);
  ASSERT_EQ(s.Tokens->PageCount(), 2);

  PTokenRecord record = s.Tokens->TokenPtr(6552);
  const TTokenPage* page = TokenRecordPage(record);
  EXPECT_EQ(page->PageNumber, 1);
  EXPECT_EQ(record, &page->Tokens[0]);
  EXPECT_EQ(page->TokenCount, 7001 - qdTokensPerPage);
  // Token 6552 is the first of line 3277, whose indent is 3276 % 5 = 1.
  EXPECT_EQ(s.Tokens->PageStartLineFirst(1), 3277);
  EXPECT_EQ(s.Tokens->PageStartPosFirst(1), 2);
  EXPECT_EQ(s.Tokens->GetTokenStartPos(6552), 2);
  EXPECT_EQ(s.Tokens->GetTokenStartPos(6553), 5);

  // Every position agrees with a count over the text.
  int32_t line = 1, pos = 1;
  const char16_t* at = s.Tokens->Source().data();
  for (int32_t i = 0; i < s.Tokens->TokenCount(); ++i) {
    for (const char16_t* start = s.Tokens->GetTokenBufferStart(i); at < start; ++at) {
      if (*at == u'\n') {
        ++line;
        pos = 1;
      } else {
        ++pos;
      }
    }
    ASSERT_EQ(s.Tokens->GetTokenStartLine(i), line) << i;
    ASSERT_EQ(s.Tokens->GetTokenStartPos(i), pos) << i;
  }
}

TEST_F(ManyTokensTest, ReadingInOrderChangesPageOncePerPage) {
  const qdString text = Text(7000);
  const TScan s = scan(qdStringView(text));
  ASSERT_TRUE(s.Ok);
  ASSERT_EQ(s.Tokens->PageCount(), 3);
  int64_t identifiers = 0;
  for (int32_t i = 0; i < s.Tokens->TokenCount(); ++i) identifiers += s.Tokens->GetTokenType(i) == 1;
  EXPECT_EQ(identifiers, 14000);
  EXPECT_EQ(s.Tokens->PageChanges(), 2);
  // A jump back to the first page and forward again costs two changes.
  (void)s.Tokens->GetTokenType(0);
  (void)s.Tokens->GetTokenType(14000);
  EXPECT_EQ(s.Tokens->PageChanges(), 4);
}

// --- Keywords ------------------------------------------------------------------------------

TEST(SymbolTableTest, NamesFollowTheirCodes) {
  const std::pair<int32_t, std::string> names[] = {
      {0, "<eof>"},  {1, "<identifier>"},  {11, "<white_space>"}, {12, "%%"},      {31, ","},   {33, "-"},
      {34, "COUNT"}, {224, "SYSTEM_ROW#"}, {229, "SELECT"},       {244, "SECOND"}, {245, "#B"}, {249, "#OPT"},
      {328, "N"},    {391, "U"},           {394, "USER"},         {402, "X"},      {403, ""},   {-1, ""},
  };
  for (const auto& [code, name] : names) EXPECT_EQ(StringToUtf8(qdSqlSymbolName(code)), name) << code;
}

TEST(SymbolTableTest, EveryWordFindsItsOwnCode) {
  for (int32_t code = 0; code < qdSqlSymbolCount; ++code) {
    const qdString& name = qdSqlSymbolName(code);
    EXPECT_EQ(qdSqlKeywordCode(name), code < qdSqlFirstReservedWord ? 0 : code) << StringToUtf8(name);
  }
}

TEST(KeywordTreeTest, LettersCompareWithoutCaseAndNothingElseDoes) {
  for (const char16_t* word : {u"select", u"Select", u"SELECT"}) EXPECT_EQ(qdSqlKeywordCode(word), 229);
  EXPECT_EQ(qdSqlKeywordCode(u"SÉLECT"), 0);
  EXPECT_EQ(qdSqlKeywordCode(u"SELEСT"), 0);  // a Cyrillic Es
  EXPECT_EQ(qdSqlKeywordCode(u"SELEC"), 0);
  EXPECT_EQ(qdSqlKeywordCode(u"SELECTS"), 0);
  EXPECT_EQ(qdSqlKeywordCode(u"system_row#"), 224);
}

TEST(KeywordTreeTest, WordsThatCannotBeKeywordsAreNotLookedUp) {
  // "Z..." and "@..." are never keywords, even when the tree would match
  // what follows.
  EXPECT_EQ(scan("zselect @select _select").Codes(), (std::vector<int32_t>{1, 1, 1, 0}));
  EXPECT_EQ(scan("yEaR").Codes(), (std::vector<int32_t>{213, 0}));
}

TEST(KeywordTreeTest, ReservedWordsAreCodes34To244) {
  for (const char16_t* word : {u"select", u"order", u"COUNT", u"second", u"SYSTEM_ROW#"}) {
    EXPECT_TRUE(qdIsSqlReservedWord(word)) << StringToUtf8(word);
  }
  for (const char16_t* word : {u"user", u"open", u"logmessage", u"#OPT", u"x", u"qkdrill", u"", u"%%"}) {
    EXPECT_FALSE(qdIsSqlReservedWord(word)) << StringToUtf8(word);
  }
}

// --- Kept fuzz inputs ------------------------------------------------------------------------

TEST(SqlTextFuzzReplayTest, KeptInputsPassEveryCheck) {
  for (const test::FuzzCase& c : test::ReadFuzzCases("sql_text")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(test::FuzzSqlTextInput(c.Input.data(), c.Input.size()));
  }
}

}  // namespace
}  // namespace qd
