#include "sql/language/qdsqlParserBase.h"

#include <algorithm>
#include <limits>
#include <new>

#include "platform/qdFormat.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsqlParserBase";
constexpr uintptr_t kPageMask = qdTokenPageSize - 1;

struct TRecordPlace {
  const TTokenPage* Page;
  int32_t Slot;
  const char16_t* Text;  // the owning list's source
};

TRecordPlace placeOf(PTokenRecord aRecord) {
  const TTokenPage* page = TokenRecordPage(aRecord);
  const int32_t slot = static_cast<int32_t>(aRecord - page->Tokens);
  return {page, slot, page->Owner->Source().data()};
}

int32_t countLineFeeds(const char16_t* aFrom, const char16_t* aTo) {
  return static_cast<int32_t>(std::count(aFrom, aTo, u'\n'));
}

int32_t startLineOf(const TRecordPlace& aPlace) {
  const uint32_t first = aPlace.Page->Tokens[0].BufferStart;
  const uint32_t start = aPlace.Page->Tokens[aPlace.Slot].BufferStart;
  return aPlace.Page->Owner->PageStartLineFirst(aPlace.Page->PageNumber) +
         countLineFeeds(aPlace.Text + first, aPlace.Text + start);
}

// The column is the distance back to the nearest line feed; the scan stops
// at the page's first token, whose column is known.
int32_t startPosOf(const TRecordPlace& aPlace) {
  const int32_t firstPos = aPlace.Page->Owner->PageStartPosFirst(aPlace.Page->PageNumber);
  if (aPlace.Slot == 0) return firstPos;
  const uint32_t first = aPlace.Page->Tokens[0].BufferStart;
  const uint32_t start = aPlace.Page->Tokens[aPlace.Slot].BufferStart;
  for (uint32_t i = start; i > first; --i) {
    if (aPlace.Text[i - 1] == u'\n') return static_cast<int32_t>(start - i + 1);
  }
  return firstPos + static_cast<int32_t>(start - first);
}

int32_t endLineOf(const TRecordPlace& aPlace) {
  const TTokenRecord& record = aPlace.Page->Tokens[aPlace.Slot];
  const uint32_t first = aPlace.Page->Tokens[0].BufferStart;
  return aPlace.Page->Owner->PageStartLineFirst(aPlace.Page->PageNumber) +
         countLineFeeds(aPlace.Text + first, aPlace.Text + record.BufferStart + record.Len2);
}

int32_t endPosOf(const TRecordPlace& aPlace) {
  const TTokenRecord& record = aPlace.Page->Tokens[aPlace.Slot];
  int32_t pos = startPosOf(aPlace);
  const char16_t* text = aPlace.Text + record.BufferStart;
  for (uint32_t i = 0; i < record.Len2; ++i) pos = text[i] == u'\n' ? 1 : pos + 1;
  return pos;
}

[[noreturn]] void raiseIntegerRange(PTokenRecord aRecord) {
  throw ERangeError(Format(u"Integer value out of range: '%s'", {TokenRecordText(aRecord)}) +
                    TokenRecordPositionText(aRecord));
}

// Each character c adds c - 48 to ten times the value, as for a token of
// digits; a result that leaves T raises.
template <typename T>
T decimalValue(PTokenRecord aRecord) {
  T value = 0;
  for (char16_t c : TokenRecordView(aRecord)) {
    if (__builtin_mul_overflow(value, T{10}, &value) ||
        __builtin_add_overflow(value, static_cast<T>(static_cast<int32_t>(c) - 48), &value)) {
      raiseIntegerRange(aRecord);
    }
  }
  return value;
}

}  // namespace

// --- TTokenList ---------------------------------------------------------------

TTokenList::TTokenList(qdString aSource) : fSource(std::move(aSource)) {
  if (fSource.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw EArgumentException(std::string_view("SQL text too long"));
  }
}

TTokenList::~TTokenList() {
  for (TPageEntry& entry : fPages) {
    void* block = entry.Page;
    qdBlockPoolFreeAndNil(qdbs64k, block);
  }
}

TTokenPage* TTokenList::NewPage(int32_t aStartLine, int32_t aStartPos) {
  // Room first, so that a failed reservation cannot lose a pool block.
  if (fPages.size() == fPages.capacity()) fPages.reserve(2 * fPages.size() + 4);
  void* block = qdBlockPoolAlloc(qdbs64k);
  if ((reinterpret_cast<uintptr_t>(block) & kPageMask) != 0) {
    qdBlockPoolFreeAndNil(qdbs64k, block);
    qdAssertFailed(kUnit, "a token page lies on a 64 KB boundary");
  }
  auto* page = ::new (block) TTokenPage;
  page->Owner = this;
  page->TokenCount = 0;
  page->PageNumber = static_cast<int32_t>(fPages.size());
  fPages.push_back({page, aStartLine, aStartPos});
  return page;
}

void TTokenList::AddToken(const char16_t* aBufferStart, const char16_t* aBufferEnd, int32_t aStartLine,
                          int32_t /*aEndLine*/, int32_t aStartPos, int32_t /*aEndPos*/, int32_t aTokenType) {
  const char16_t* text = fSource.data();
  if (aBufferStart < text || aBufferEnd < aBufferStart || aBufferEnd > text + fSource.size()) {
    qdAssertFailed(kUnit, "a token lies inside its source text");
  }
  if (aTokenType < 0 || aTokenType > std::numeric_limits<uint16_t>::max()) {
    qdAssertFailed(kUnit, "a symbol code fits 16 bits");
  }
  TTokenPage* page = fPages.empty() ? nullptr : fPages.back().Page;
  if (page == nullptr || page->TokenCount == qdTokensPerPage) page = NewPage(aStartLine, aStartPos);
  TTokenRecord& record = page->Tokens[page->TokenCount];
  record.BufferStart = static_cast<uint32_t>(aBufferStart - text);
  record.Len2 = static_cast<uint32_t>(aBufferEnd - aBufferStart);
  record.TokenType2 = static_cast<uint16_t>(aTokenType);
  ++page->TokenCount;
  ++FCount;
}

const TTokenPage* TTokenList::FindPage(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= FCount) throw Exception(qdString(u"Invalid token index"));
  const int32_t pageNumber = aIndex / qdTokensPerPage;
  if (pageNumber != fLastPageNumber) {
    fLastPageNumber = pageNumber;
    ++fPageChanges;
  }
  return fPages[pageNumber].Page;
}

PTokenRecord TTokenList::TokenPtr(int32_t T) const { return &FindPage(T)->Tokens[T % qdTokensPerPage]; }

int32_t TTokenList::GetTokenType(int32_t Index) const { return TokenPtr(Index)->TokenType2; }

const char16_t* TTokenList::GetTokenBufferStart(int32_t Index) const {
  return fSource.data() + TokenPtr(Index)->BufferStart;
}

const char16_t* TTokenList::GetTokenBufferEnd(int32_t Index) const {
  PTokenRecord record = TokenPtr(Index);
  return fSource.data() + record->BufferStart + record->Len2;
}

int32_t TTokenList::GetTokenStartLine(int32_t Index) const { return TokenRecordStartLine(TokenPtr(Index)); }
int32_t TTokenList::GetTokenStartPos(int32_t Index) const { return TokenRecordStartPos(TokenPtr(Index)); }
int32_t TTokenList::GetTokenEndLine(int32_t Index) const { return TokenRecordEndLine(TokenPtr(Index)); }
int32_t TTokenList::GetTokenEndPos(int32_t Index) const { return TokenRecordEndPos(TokenPtr(Index)); }

qdString TTokenList::TokenStr(int32_t T) const { return TokenRecordText(TokenPtr(T)); }

qdString TTokenList::TokenStr(int32_t T1, int32_t T2) const {
  PTokenRecord first = TokenPtr(T1);
  PTokenRecord last = TokenPtr(T2);
  const size_t start = first->BufferStart;
  const size_t end = size_t{last->BufferStart} + last->Len2;
  if (end <= start) return {};
  return fSource.substr(start, end - start);
}

int32_t TTokenList::TokenAsInt(int32_t T) const { return TokenRecordAsInteger(TokenPtr(T)); }

int64_t TTokenList::TokenAsInt64(int32_t T) const {
  PTokenRecord record = TokenPtr(T);
  if (record->Len2 <= 9) return TokenRecordAsInteger(record);
  return TokenRecordAsInt64(record);
}

// --- Single records ---------------------------------------------------------------

TTokenPage* TokenRecordPage(PTokenRecord aRecord) {
  if (aRecord == nullptr) qdAssertFailed(kUnit, "a token record is a used slot of its page");
  const auto address = reinterpret_cast<uintptr_t>(aRecord);
  auto* page = reinterpret_cast<TTokenPage*>(address & ~kPageMask);
  const auto first = reinterpret_cast<uintptr_t>(&page->Tokens[0]);
  if (address < first || (address - first) % sizeof(TTokenRecord) != 0 ||
      static_cast<int64_t>((address - first) / sizeof(TTokenRecord)) >= page->TokenCount) {
    qdAssertFailed(kUnit, "a token record is a used slot of its page");
  }
  return page;
}

uint32_t TokenRecordLength(PTokenRecord aRecord) { return aRecord == nullptr ? 0 : aRecord->Len2; }

qdStringView TokenRecordView(PTokenRecord aRecord) {
  if (aRecord == nullptr) return {};
  const TRecordPlace place = placeOf(aRecord);
  return qdStringView(place.Text + aRecord->BufferStart, aRecord->Len2);
}

qdString TokenRecordText(PTokenRecord aRecord) { return qdString(TokenRecordView(aRecord)); }

qdString TokenRecordUnquotedText(PTokenRecord aRecord) {
  const qdStringView text = TokenRecordView(aRecord);
  if (text.size() >= 2 && text.front() == text.back() && (text.front() == u'\'' || text.front() == u'"')) {
    return qdString(text.substr(1, text.size() - 2));
  }
  return qdString(text);
}

int32_t TokenRecordAsInteger(PTokenRecord aRecord) { return decimalValue<int32_t>(aRecord); }

int64_t TokenRecordAsInt64(PTokenRecord aRecord) { return decimalValue<int64_t>(aRecord); }

bool TokenRecordEquals(PTokenRecord A, PTokenRecord B) {
  if (A == B) return A != nullptr;
  if (A == nullptr || B == nullptr) return false;
  const qdStringView a = TokenRecordView(A);
  const qdStringView b = TokenRecordView(B);
  if (a.data() == b.data() && a.size() == b.size()) return true;
  return a == b;
}

int32_t TokenRecordStartLine(PTokenRecord aRecord) { return aRecord ? startLineOf(placeOf(aRecord)) : 0; }
int32_t TokenRecordStartPos(PTokenRecord aRecord) { return aRecord ? startPosOf(placeOf(aRecord)) : 0; }
int32_t TokenRecordEndLine(PTokenRecord aRecord) { return aRecord ? endLineOf(placeOf(aRecord)) : 0; }
int32_t TokenRecordEndPos(PTokenRecord aRecord) { return aRecord ? endPosOf(placeOf(aRecord)) : 0; }

qdString TokenRecordPositionText(PTokenRecord aRecord) {
  if (aRecord == nullptr) return {};
  const TRecordPlace place = placeOf(aRecord);
  return Format(u" at line %d, pos %d", {startLineOf(place), startPosOf(place)});
}

// --- TBaseTokenizer --------------------------------------------------------------

void TBaseTokenizer::ResetCursor(qdStringView aText) {
  CurPtr = StartPtr = aText.data();
  EndPtr = aText.data() + aText.size();
  CurLine = StartLine = 1;
  CurPos = StartPos = 1;
  STP = 0;
}

void TBaseTokenizer::MarkStart() {
  StartPtr = CurPtr;
  StartLine = CurLine;
  StartPos = CurPos;
}

void TBaseTokenizer::AddToken(TTokenList& aTokens, int32_t aTokenType) const {
  aTokens.AddToken(StartPtr, CurPtr, StartLine, CurLine, StartPos, CurPos, aTokenType);
}

void TBaseTokenizer::Advance() {
  if (CurPtr >= EndPtr) return;
  if (*CurPtr == u'\n') {
    ++CurLine;
    CurPos = 1;
  } else {
    ++CurPos;
  }
  ++CurPtr;
}

void TBaseTokenizer::AdvanceBy(int32_t n) {
  for (int32_t i = 0; i < n; ++i) Advance();
}

bool TBaseTokenizer::MatchChar(char16_t c) {
  if (AtEnd() || *CurPtr != c) return false;
  Advance();
  return true;
}

bool TBaseTokenizer::MatchNotChar(char16_t c) {
  if (AtEnd() || *CurPtr == c) return false;
  Advance();
  return true;
}

void TBaseTokenizer::PushPos() {
  if (STP >= MaxMarks) qdAssertFailed(kUnit, "at most four scanner marks are open");
  PtrStack[STP] = CurPtr;
  LineStack[STP] = CurLine;
  PosStack[STP] = CurPos;
  ++STP;
}

void TBaseTokenizer::PopPos(bool aKeep) {
  if (STP <= 0) qdAssertFailed(kUnit, "a scanner mark is open");
  --STP;
  if (!aKeep) {
    CurPtr = PtrStack[STP];
    CurLine = LineStack[STP];
    CurPos = PosStack[STP];
  }
}

// --- TBaseParser ------------------------------------------------------------------

TBaseParser::TBaseParser(const TTokenList* aTokens) : FTokens(aTokens) {}

bool TBaseParser::AddCode(int32_t aCode) {
  if (static_cast<size_t>(CodePtr) < FCodes.size()) {
    FCodes[CodePtr] = aCode;
  } else {
    FCodes.push_back(aCode);
  }
  ++CodePtr;
  return true;
}

void TBaseParser::PushMark() {
  if (STP >= MaxMarks) qdAssertFailed(kUnit, "the parse stack has room for a mark");
  Stack[STP++] = {TokenPtr, CodePtr};
}

void TBaseParser::PushMarkAddCode(int32_t aCode) {
  if (STP >= MaxMarks) throw Exception(qdString(u"Parse stack overflow"));
  Stack[STP++] = {TokenPtr, CodePtr};
  AddCode(aCode);
}

void TBaseParser::RetryAddCode(int32_t aCode) {
  if (STP <= 0) qdAssertFailed(kUnit, "a parse mark is open to retry from");
  TokenPtr = Stack[STP - 1].TokenPtr;
  CodePtr = Stack[STP - 1].CodePtr;
  AddCode(aCode);
}

void TBaseParser::PopMarkAddCode(int32_t aCode) {
  PopMarkRestore();
  AddCode(aCode);
}

void TBaseParser::PopMarkRestore() {
  if (STP <= 0) qdAssertFailed(kUnit, "a parse mark is open to pop");
  --STP;
  TokenPtr = Stack[STP].TokenPtr;
  CodePtr = Stack[STP].CodePtr;
}

void TBaseParser::EndMark(bool aSuccess) {
  if (aSuccess) {
    DropMark();
  } else {
    PopMarkRestore();
  }
}

void TBaseParser::DropMark() {
  if (STP <= 0) qdAssertFailed(kUnit, "a parse mark is open to drop");
  --STP;
}

int32_t TBaseParser::CurTokenType() const {
  // Past the last token the text has ended.
  if (TokenPtr >= FTokens->TokenCount()) return 0;
  return FTokens->GetTokenType(TokenPtr);
}

bool TBaseParser::Expect(int32_t aCode) {
  const int32_t actual = CurTokenType();
  if (actual == aCode) {
    ++TokenPtr;
    return true;
  }
  ActualTokenIndex = TokenPtr;
  NoteFailure(aCode, actual);
  return false;
}

bool TBaseParser::ExpectRange(int32_t aLow, int32_t aHigh) {
  const int32_t actual = CurTokenType();
  if (actual < aLow || actual > aHigh) return false;
  ++TokenPtr;
  return true;
}

void TBaseParser::NoteFailure(int32_t aExpected, int32_t aActual) {
  if (FFailedTokenIndex < TokenPtr) {
    ExpectedTokenList[0] = aExpected;
    FExpectedTokenCount = 1;
    ActualToken = aActual;
    FFailedTokenIndex = TokenPtr;
  } else if (FFailedTokenIndex == TokenPtr && FExpectedTokenCount < MaxExpectedTokens) {
    ExpectedTokenList[FExpectedTokenCount++] = aExpected;
    ActualToken = aActual;
  }
}

int32_t TBaseParser::NextCode() {
  if (CodePtr < 0 || static_cast<size_t>(CodePtr) >= FCodes.size()) {
    qdAssertFailed(kUnit, "the second phase reads only recorded codes");
  }
  return FCodes[CodePtr++];
}

PTokenRecord TBaseParser::CurTokenPtr() const { return FTokens->TokenPtr(TokenPtr - 1); }
int32_t TBaseParser::CurTokenAsInt() const { return FTokens->TokenAsInt(TokenPtr - 1); }
int64_t TBaseParser::CurTokenAsInt64() const { return FTokens->TokenAsInt64(TokenPtr - 1); }

qdString TBaseParser::SourceExtract(int32_t FirstToken, int32_t LastToken) const {
  return FTokens->TokenStr(FirstToken, LastToken);
}

int32_t TBaseParser::GetExpectedToken(int32_t Index) const {
  if (Index < 0 || Index >= FExpectedTokenCount) throw Exception(qdString(u"Invalid failed token index"));
  return ExpectedTokenList[Index];
}

qdString TBaseParser::ExpectedTokensString() const {
  std::vector<qdString> names;
  auto folded = [](qdStringView aText) {
    qdString result(aText);
    for (char16_t& c : result) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return result;
  };
  auto less = [&](const qdString& a, const qdString& b) { return folded(a) < folded(b); };
  for (int32_t i = 0; i < FExpectedTokenCount; ++i) {
    qdString name;
    TokenName(ExpectedTokenList[i], name);
    if (name.size() == 1) name = name == u"'" ? u"\"'\"" : u"'" + name + u"'";
    auto at = std::lower_bound(names.begin(), names.end(), name, less);
    if (at == names.end() || less(name, *at)) names.insert(at, std::move(name));
  }
  qdString result;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) result += i + 1 == names.size() ? u" or " : u", ";
    result += names[i];
  }
  return result;
}

qdString TBaseParser::ExpectedTokensString(qdString& FoundToken, int32_t& FoundTokenIndex) const {
  TokenName(ActualToken, FoundToken);
  FoundTokenIndex = ActualTokenIndex;
  return ExpectedTokensString();
}

// --- TTernaryTree ----------------------------------------------------------------

namespace {

// A word ends at its first zero character.
qdStringView untilZero(qdStringView aWord) {
  const size_t zero = aWord.find(u'\0');
  return zero == qdStringView::npos ? aWord : aWord.substr(0, zero);
}

}  // namespace

TTernaryTree::~TTernaryTree() {
  std::vector<TTernaryNode*> pending;
  if (Root != nullptr) pending.push_back(Root);
  while (!pending.empty()) {
    TTernaryNode* node = pending.back();
    pending.pop_back();
    for (TTernaryNode* kid : {node->LoKid, node->EqKid, node->HiKid}) {
      if (kid != nullptr) pending.push_back(kid);
    }
    delete node;
  }
}

void TTernaryTree::InsertStr(qdStringView C, int32_t Val) {
  const qdStringView word = untilZero(C);
  TTernaryNode** link = &Root;
  size_t i = 0;
  for (;;) {
    const char16_t c = i < word.size() ? word[i] : u'\0';
    if (*link == nullptr) {
      *link = new TTernaryNode;
      (*link)->SplitChar = c;
    }
    TTernaryNode* node = *link;
    if (c < node->SplitChar) {
      link = &node->LoKid;
    } else if (c > node->SplitChar) {
      link = &node->HiKid;
    } else if (c == u'\0') {
      node->Val = Val;
      return;
    } else {
      ++i;
      link = &node->EqKid;
    }
  }
}

int32_t TTernaryTree::Find(qdStringView C, bool aFold) const {
  const qdStringView word = untilZero(C);
  const TTernaryNode* node = Root;
  size_t i = 0;
  while (node != nullptr) {
    char16_t c = i < word.size() ? word[i] : u'\0';
    if (aFold && c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    if (c < node->SplitChar) {
      node = node->LoKid;
    } else if (c > node->SplitChar) {
      node = node->HiKid;
    } else if (c == u'\0') {
      return node->Val;
    } else {
      ++i;
      node = node->EqKid;
    }
  }
  return 0;
}

int32_t TTernaryTree::Search(qdStringView C) const { return Find(C, false); }

int32_t TTernaryTree::SearchUC(qdStringView C) const { return Find(C, true); }

}  // namespace qd
