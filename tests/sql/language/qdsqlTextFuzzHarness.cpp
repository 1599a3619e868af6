#include "tests/sql/language/qdsqlTextFuzzHarness.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "sql/language/qdsqlTokenizer.h"

namespace qd::test {

namespace {

void check(bool aCondition, const char* aWhat) {
  if (!aCondition) throw std::logic_error(std::string("SQL text fuzz: ") + aWhat);
}

// Line and column of a place in the text, counted from the start.
struct TOracle {
  const char16_t* At;
  int32_t Line = 1;
  int32_t Pos = 1;

  void MoveTo(const char16_t* aTarget) {
    for (; At < aTarget; ++At) {
      if (*At == u'\n') {
        ++Line;
        Pos = 1;
      } else {
        ++Pos;
      }
    }
  }
};

}  // namespace

void FuzzSqlTextInput(const uint8_t* aData, size_t aSize) {
  if (aSize == 0) return;
  const bool includeComments = (aData[0] & 1) != 0;
  const bool includeWhitespace = (aData[0] & 2) != 0;
  qdString text((aSize - 1) / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(aData[1 + 2 * i] | (aData[2 + 2 * i] << 8));
  }

  TqdSQLTokenizer tokenizer;
  std::unique_ptr<TTokenList> tokens;
  const bool ok = tokenizer.Tokenize(text, includeComments, includeWhitespace, tokens);
  check(tokens != nullptr, "the token list is made before the scan");
  check(tokens->Source() == text, "the list keeps the whole text");

  const char16_t* begin = tokens->Source().data();
  const size_t textEnd = text.find(u'\0') == qdString::npos ? text.size() : text.find(u'\0');
  const char16_t* end = begin + textEnd;
  const int32_t count = tokens->TokenCount();
  TOracle oracle{begin};
  const char16_t* previousEnd = begin;
  for (int32_t i = 0; i < count; ++i) {
    const char16_t* start = tokens->GetTokenBufferStart(i);
    const char16_t* stop = tokens->GetTokenBufferEnd(i);
    const int32_t type = tokens->GetTokenType(i);
    check(previousEnd <= start && start <= stop && stop <= end, "tokens lie inside the text, in order");
    check(type >= 0 && type < qdSqlSymbolCount, "a token has a symbol code");
    check((start == stop) == (type == 0), "only the end-of-text token is empty");
    check(type != 0 || (ok && i == count - 1 && start == end), "the end-of-text token ends the list at the end");
    check(type != 8 && type != 9 && type != 10 ? true : includeComments, "comments only when asked");
    check(type != 11 || includeWhitespace, "white space only when asked");
    if (includeComments && includeWhitespace) check(start == previousEnd, "nothing is skipped");
    const qdStringView word(start, static_cast<size_t>(stop - start));
    if (type == 1) check(!qdIsSqlReservedWord(word), "an identifier is no reserved word");
    if (type >= qdSqlFirstReservedWord) {
      check(qdSqlKeywordCode(word) == type, "a keyword token carries its keyword's code");
      check(qdIsSqlReservedWord(word) == (type <= qdSqlLastReservedWord), "reserved words are codes 34-244");
    }
    oracle.MoveTo(start);
    check(tokens->GetTokenStartLine(i) == oracle.Line, "start line");
    check(tokens->GetTokenStartPos(i) == oracle.Pos, "start column");
    oracle.MoveTo(stop);
    check(tokens->GetTokenEndLine(i) == oracle.Line, "end line");
    check(tokens->GetTokenEndPos(i) == oracle.Pos, "end column");
    check(tokens->TokenStr(i) == word, "a token's text is its span");
    previousEnd = stop;
  }
  if (ok) check(count > 0 && tokens->GetTokenType(count - 1) == 0, "a successful scan ends with <eof>");
  if (count > 1) {
    const qdString span = tokens->TokenStr(0, count - 1);
    check(span.size() == static_cast<size_t>(tokens->GetTokenBufferEnd(count - 1) - tokens->GetTokenBufferStart(0)),
          "a span runs from the first token to the last");
  }
}

}  // namespace qd::test
