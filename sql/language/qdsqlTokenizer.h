// The SQL tokenizer and the symbol table of the SQL language.
//
// Classes and routines:
//   TqdSQLTokenizer       cuts an SQL text into a token list of symbol codes.
//   qdSqlSymbolName       the printable name of a symbol code.
//   qdSqlKeywordCode      the code of a keyword written in any letter case.
//   qdIsSqlReservedWord   whether regenerated SQL must quote a name.
//
// Symbol codes (403, a code is its position in the table):
//     0-11   token classes, written between angle brackets: 0 <eof>,
//            1 <identifier>, 2 <float_literal>, 3 <unsigned_integer_literal>,
//            4 <character_string_literal>, 5 <quoted_temp_name>,
//            6 <quoted_name>, 7 <bracketed_binary_string_literal>,
//            8 <comment1> (//), 9 <comment2> (--), 10 <comment3> (/* */),
//            11 <white_space>
//    12-33   operators and punctuation
//   34-244   reserved words: never an identifier unless double-quoted
//  245-402   non-reserved words: keywords where the grammar asks for them,
//            identifiers elsewhere
//
// The symbol table and the keyword tree (a TTernaryTree over the names of
// codes 34-402) are made by qdsqlTokenizerInitialize and freed by
// qdsqlTokenizerFinalize; in between they are only read, so tokenizers of
// different statements run in parallel. A tokenizer object holds only its
// cursor and serves one Tokenize call at a time.
//
// Lexical rules worth knowing: the text ends at its first character of code
// 0; "!" and characters of code 127 and above are letters, so non-ASCII and
// full-width characters make identifiers; "--" and "//" comments end at and
// include the first carriage return or line feed, or run to the end of the
// text; "/*" comments end at the first "*/" and do not nest, and an
// unterminated one is no comment; a "-" or "+" before a number is an
// operator of its own.
#pragma once

#include <cstdint>

#include "sql/language/qdsqlParserBase.h"

namespace qd {

inline constexpr int32_t qdSqlSymbolCount = 403;
inline constexpr int32_t qdSqlFirstReservedWord = 34;
inline constexpr int32_t qdSqlLastReservedWord = 244;

class TqdSQLTokenizer : public TBaseTokenizer {
 public:
  // Scans Size UTF-16 units of Buffer. Tokens receives a new list (with its
  // own copy of the text) before the scan starts and keeps what was
  // recognised when the scan fails. Comment tokens (8, 9, 10) are kept only
  // with IncludeComments, white space (11) only with IncludeWhitespace. On
  // success the list ends with the <eof> token. Never throws: a character no
  // rule accepts, an unterminated string or quoted name, a bad binary
  // literal or any exception inside the scan gives false.
  [[nodiscard]] bool Tokenize(const char16_t* Buffer, size_t Size, bool IncludeComments, bool IncludeWhitespace,
                              std::unique_ptr<TTokenList>& Tokens) override;
  [[nodiscard]] bool Tokenize(qdStringView aText, bool IncludeComments, bool IncludeWhitespace,
                              std::unique_ptr<TTokenList>& Tokens) {
    return Tokenize(aText.data(), aText.size(), IncludeComments, IncludeWhitespace, Tokens);
  }

 private:
  [[nodiscard]] bool Scan(TTokenList& aTokens, bool IncludeComments, bool IncludeWhitespace);
  [[nodiscard]] int32_t ScanIdentifier();
  [[nodiscard]] int32_t ScanNumber();
  [[nodiscard]] bool ScanFloatTail();
  [[nodiscard]] bool ScanExponent();
  [[nodiscard]] bool ScanString();
  [[nodiscard]] int32_t ScanQuotedName();
  [[nodiscard]] bool ScanBinary();
  void ScanLineComment();
  [[nodiscard]] bool ScanBlockComment();
};

// The name of a symbol code; an empty text outside 0 .. 402.
const qdString& qdSqlSymbolName(int32_t aCode);
// The keyword tree's code for a word (a-z read as A-Z), 0 for no keyword.
int32_t qdSqlKeywordCode(qdStringView aWord);
// True when the word is a reserved word (codes 34-244) in any letter case.
bool qdIsSqlReservedWord(qdStringView aWord);

void qdsqlTokenizerInitialize();
void qdsqlTokenizerFinalize();

}  // namespace qd
