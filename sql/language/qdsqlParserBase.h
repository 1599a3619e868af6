// The run time under the SQL scanner and the SQL parser.
//
// Classes:
//   TTokenRecord    one token: where its text starts in the source, its
//                   length and its symbol code (10 bytes, packed).
//   TTokenPage      65,536 bytes on a 64 KB boundary: a 16-byte head and
//                   6,552 token records.
//   TTokenList      the tokens of one text, in pages from the block pool,
//                   together with the text itself.
//   TBaseTokenizer  the scanner base: a character cursor with line and
//                   column, and up to four position marks.
//   TBaseParser     the parser base: a backtracking recogniser records its
//                   decisions as a flat list of codes, which a second phase
//                   replays without looking at the tokens again; the
//                   furthest failure becomes an "expected" list.
//   TTernaryTree    a ternary search tree over UTF-16 words (the keyword
//                   table).
//
// Ownership. A token list owns its pages and its own copy of the source
// text, so a token record is valid exactly as long as the list, and so is
// the text it designates: whoever keeps token pointers (the nodes of a
// compiled tree) keeps the list. Pages come from the block pool
// (`qdBlockPoolAlloc(qdbs64k)`) and go back to it when the list is freed.
//
// Finding a record's page. A page lies on a 64 KB boundary, so clearing the
// low 16 bits of a record's address gives its page; the page head names the
// list that owns it, and through it the source text and the page's first
// line and column. A record stores its text as a 32-bit offset into the
// source, not as a pointer: the record stays 10 bytes and 6,552 of them fill
// a page exactly.
//
// Positions. Lines and columns are not stored per token. Each page keeps
// the line and column of its first token; any other position is counted on
// demand from the text between the page's first token and the token asked
// for. Lines and columns count UTF-16 units from 1; a line feed starts a new
// line.
//
// Threads: a token list, a scanner and a parser belong to one statement and
// one thread at a time. A ternary tree filled once may be searched by any
// number of threads.
//
// Internal errors (popping or retrying with no mark open, a fifth scanner
// mark, a record outside its page, a page off its 64 KB boundary) raise
// EAssertionFailed; the failures a caller can meet ("Invalid token index",
// "Parse stack overflow", "Invalid failed token index") are plain
// Exceptions with those texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/qdllMemoryManager.h"
#include "platform/qdStrings.h"

namespace qd {

class TTokenList;

#pragma pack(push, 1)
struct TTokenRecord {
  uint32_t BufferStart;  // offset of the token's first character in the source text
  uint16_t TokenType2;   // symbol code
  uint32_t Len2;         // length in UTF-16 units
};
#pragma pack(pop)
static_assert(sizeof(TTokenRecord) == 10);

using PTokenRecord = const TTokenRecord*;

inline constexpr int32_t qdTokensPerPage = 6552;
inline constexpr size_t qdTokenPageSize = 65536;

// Head (16 bytes): the owning list, the slots used, the page's number in
// the list. The first line and column of the page are the list's
// (`TTokenList::PageStartLineFirst`, `PageStartPosFirst`).
struct TTokenPage {
  TTokenList* Owner;
  int32_t TokenCount;
  int32_t PageNumber;
  TTokenRecord Tokens[qdTokensPerPage];
};
static_assert(sizeof(TTokenPage) == qdTokenPageSize);
static_assert(offsetof(TTokenPage, Tokens) == 16);

class TTokenList : public TqdObject {
 public:
  // The list keeps its own copy of the text; token offsets count from its
  // first character. A text longer than 2^31 - 1 units is refused
  // (EArgumentException): offsets, lengths, lines and columns are 32-bit.
  explicit TTokenList(qdString aSource);
  ~TTokenList() override;
  TTokenList(const TTokenList&) = delete;
  TTokenList& operator=(const TTokenList&) = delete;

  const qdString& Source() const { return fSource; }
  int32_t TokenCount() const { return FCount; }
  int32_t PageCount() const { return static_cast<int32_t>(fPages.size()); }

  // Appends one token; aBufferStart and aBufferEnd point into Source(). The
  // end line and column are accepted and not stored.
  void AddToken(const char16_t* aBufferStart, const char16_t* aBufferEnd, int32_t aStartLine, int32_t aEndLine,
                int32_t aStartPos, int32_t aEndPos, int32_t aTokenType);

  // Every index outside 0 .. TokenCount() - 1 raises "Invalid token index".
  PTokenRecord TokenPtr(int32_t T) const;
  int32_t GetTokenType(int32_t Index) const;
  const char16_t* GetTokenBufferStart(int32_t Index) const;
  const char16_t* GetTokenBufferEnd(int32_t Index) const;
  int32_t GetTokenStartLine(int32_t Index) const;
  int32_t GetTokenStartPos(int32_t Index) const;
  int32_t GetTokenEndLine(int32_t Index) const;
  int32_t GetTokenEndPos(int32_t Index) const;

  qdString TokenStr(int32_t T) const;
  // The source from the first character of T1 through the last of T2,
  // white space and comments between included; empty when T2 ends before
  // T1 starts.
  qdString TokenStr(int32_t T1, int32_t T2) const;
  // The decimal value of a token of digits; a value that does not fit
  // raises ERangeError naming the token and its position.
  int32_t TokenAsInt(int32_t T) const;
  int64_t TokenAsInt64(int32_t T) const;

  int32_t PageStartLineFirst(int32_t aPageNumber) const { return fPages[aPageNumber].StartLineFirst; }
  int32_t PageStartPosFirst(int32_t aPageNumber) const { return fPages[aPageNumber].StartPosFirst; }
  // How often a look-up by index went to another page than the one before:
  // reading the tokens in order changes page once per page.
  int64_t PageChanges() const { return fPageChanges; }

 private:
  struct TPageEntry {
    TTokenPage* Page;
    int32_t StartLineFirst;
    int32_t StartPosFirst;
  };

  TTokenPage* NewPage(int32_t aStartLine, int32_t aStartPos);
  const TTokenPage* FindPage(int32_t aIndex) const;

  qdString fSource;
  std::vector<TPageEntry> fPages;
  int32_t FCount = 0;
  mutable int32_t fLastPageNumber = 0;
  mutable int64_t fPageChanges = 0;
};

// Operations on a single record, as the nodes that keep one use them. A nil
// record gives an empty text, 0 or false; a record that is not a used slot
// of a token page raises EAssertionFailed.
TTokenPage* TokenRecordPage(PTokenRecord aRecord);
uint32_t TokenRecordLength(PTokenRecord aRecord);
qdStringView TokenRecordView(PTokenRecord aRecord);
qdString TokenRecordText(PTokenRecord aRecord);
inline qdString TokenRecordAsString(PTokenRecord aRecord) { return TokenRecordText(aRecord); }
// Without enclosing single or double quotes; doubled quotes inside stay.
qdString TokenRecordUnquotedText(PTokenRecord aRecord);
inline qdString TokenRecordNameStr(PTokenRecord aRecord) { return TokenRecordUnquotedText(aRecord); }
// Raises ERangeError naming the token and its position on overflow.
int32_t TokenRecordAsInteger(PTokenRecord aRecord);
int64_t TokenRecordAsInt64(PTokenRecord aRecord);
// Exact and case-sensitive.
bool TokenRecordEquals(PTokenRecord A, PTokenRecord B);
int32_t TokenRecordStartLine(PTokenRecord aRecord);
int32_t TokenRecordStartPos(PTokenRecord aRecord);
int32_t TokenRecordEndLine(PTokenRecord aRecord);
// The column just after the token's last character.
int32_t TokenRecordEndPos(PTokenRecord aRecord);
// " at line %d, pos %d" with the start position; empty for nil.
qdString TokenRecordPositionText(PTokenRecord aRecord);
inline qdString TokenRecordPosition(PTokenRecord aRecord) { return TokenRecordPositionText(aRecord); }

// --- Scanner base -------------------------------------------------------------

class TBaseTokenizer : public TqdObject {
 public:
  static constexpr int32_t MaxMarks = 4;

  TBaseTokenizer() = default;
  ~TBaseTokenizer() override = default;
  TBaseTokenizer(const TBaseTokenizer&) = delete;
  TBaseTokenizer& operator=(const TBaseTokenizer&) = delete;

  // Scans Size units of Buffer into a new list in Tokens (set before the
  // scan starts and kept, with what was recognised, when the scan fails).
  // Failure is reported only through the result.
  [[nodiscard]] virtual bool Tokenize(const char16_t* Buffer, size_t Size, bool IncludeComments, bool IncludeWhitespace,
                                      std::unique_ptr<TTokenList>& Tokens) = 0;

  const char16_t* StartPtr = nullptr;
  const char16_t* CurPtr = nullptr;
  const char16_t* EndPtr = nullptr;
  int32_t CurLine = 1;
  int32_t CurPos = 1;
  int32_t StartLine = 1;
  int32_t StartPos = 1;
  int32_t STP = 0;
  const char16_t* PtrStack[MaxMarks + 1] = {};
  int32_t LineStack[MaxMarks + 1] = {};
  int32_t PosStack[MaxMarks + 1] = {};

 protected:
  // Points the cursor at aText, line 1, column 1, no marks.
  void ResetCursor(qdStringView aText);
  // Sets the token start to the cursor.
  void MarkStart();
  // Adds the token from the start to the cursor.
  void AddToken(TTokenList& aTokens, int32_t aTokenType) const;

  char16_t CurChar() const { return CurPtr < EndPtr ? *CurPtr : u'\0'; }
  char16_t Peek(int32_t n) const { return EndPtr - CurPtr > n ? CurPtr[n] : u'\0'; }
  bool AtEnd() const { return CurPtr >= EndPtr; }
  void Advance();
  void AdvanceBy(int32_t n);
  bool MatchChar(char16_t c);
  bool MatchNotChar(char16_t c);
  void PushPos();
  void PopPos(bool aKeep);
};

// --- Parser base ---------------------------------------------------------------

class TBaseParser : public TqdObject {
 public:
  static constexpr int32_t MaxMarks = 350;
  static constexpr int32_t MaxExpectedTokens = 312;

  explicit TBaseParser(const TTokenList* aTokens);
  ~TBaseParser() override = default;
  TBaseParser(const TBaseParser&) = delete;
  TBaseParser& operator=(const TBaseParser&) = delete;

  [[nodiscard]] virtual bool Parse() = 0;
  virtual void Compile() = 0;
  virtual void TokenName(int32_t aCode, qdString& aName) const = 0;

  const TTokenList* TokenList() const { return FTokens; }
  int32_t FailedTokenIndex() const { return FFailedTokenIndex; }
  int32_t ExpectedTokenCount() const { return FExpectedTokenCount; }
  const std::vector<int32_t>& Codes() const { return FCodes; }
  const qdString& Source() const { return FSource; }
  void SetSource(qdString aSource) { FSource = std::move(aSource); }

  // First phase.
  bool AddCode(int32_t aCode);
  void PushMark();
  // "Parse stack overflow" when MaxMarks marks are open.
  void PushMarkAddCode(int32_t aCode);
  void PushMarkAddCode0() { PushMarkAddCode(0); }
  void PushMarkAddCode1() { PushMarkAddCode(1); }
  void PushMarkAddCode2() { PushMarkAddCode(2); }
  void RetryAddCode(int32_t aCode);
  void PopMarkAddCode(int32_t aCode);
  void PopMarkAddCode0() { PopMarkAddCode(0); }
  void PopMarkRestore();
  void EndMark(bool aSuccess);
  // Pops the top mark and keeps what was matched since it was pushed.
  void DropMark();
  [[nodiscard]] bool Expect(int32_t aCode);
  [[nodiscard]] bool ExpectRange(int32_t aLow, int32_t aHigh);
  void NoteFailure(int32_t aExpected, int32_t aActual);

  // Second phase.
  int32_t NextCode();
  PTokenRecord CurTokenPtr() const;
  int32_t CurTokenAsInt() const;
  int64_t CurTokenAsInt64() const;
  qdString SourceExtract(int32_t FirstToken, int32_t LastToken) const;

  // "Invalid failed token index" outside 0 .. ExpectedTokenCount() - 1.
  int32_t GetExpectedToken(int32_t Index) const;
  qdString ExpectedTokensString() const;
  qdString ExpectedTokensString(qdString& FoundToken, int32_t& FoundTokenIndex) const;

  int32_t TokenPtr = 0;
  int32_t CodePtr = 0;
  int32_t STP = 0;

 protected:
  int32_t CurTokenType() const;

  const TTokenList* FTokens;
  int32_t FFailedTokenIndex = -1;
  std::vector<int32_t> FCodes;
  qdString FSource;
  int32_t ExpectedTokenList[MaxExpectedTokens] = {};
  int32_t ActualToken = 0;
  int32_t ActualTokenIndex = -1;
  int32_t FExpectedTokenCount = 0;
  struct TMark {
    int32_t TokenPtr;
    int32_t CodePtr;
  };
  TMark Stack[MaxMarks] = {};
};

// --- Ternary search tree ---------------------------------------------------------

struct TTernaryNode {
  TTernaryNode* LoKid = nullptr;
  TTernaryNode* EqKid = nullptr;
  TTernaryNode* HiKid = nullptr;
  int32_t Val = 0;
  char16_t SplitChar = 0;
};

// Words end at their first zero character (or the end of the view). A value
// of 0 means "no word"; Search returns it for an absent word.
class TTernaryTree : public TqdObject {
 public:
  TTernaryTree() = default;
  ~TTernaryTree() override;
  TTernaryTree(const TTernaryTree&) = delete;
  TTernaryTree& operator=(const TTernaryTree&) = delete;

  void InsertStr(qdStringView C, int32_t Val);
  int32_t Search(qdStringView C) const;
  // Search with a-z folded to A-Z in the query; the stored words are upper
  // case.
  int32_t SearchUC(qdStringView C) const;

 private:
  int32_t Find(qdStringView C, bool aFold) const;
  TTernaryNode* Root = nullptr;
};

}  // namespace qd
