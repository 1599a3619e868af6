// Wide strings and code pages: the engine's own array of UTF-16 code units,
// conversions between single-byte text in a code page and UTF-16, copies
// between the string types, locale string mapping, quoting and the Unicode
// character categories.
//
// Code page 0 passed to a conversion means the engine's default code page,
// fixed when the unit starts: the thread's ANSI code page (CP_THREAD_ACP),
// which is the process's ANSI code page here. Each conversion asks for the
// needed length first and converts second; an empty input gives an empty
// result; a failure of either step raises the last OS error (code 11047)
// with an action naming the routine, the system call and the step, for
// example "qdStringToWideString/MultiByteToWideChar/2". Characters a code page
// cannot hold are replaced, not refused (see platform/qdNls.h).
//
// Types: TqdWideString, TqdAnsiCharSet, TqdCharacterCategory. Nothing here
// is shared between threads.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qdNls.h"
#include "platform/qdStrings.h"

namespace qd {

// UTF-16 code units without a terminator, kept apart from the string type.
using TqdWideString = std::vector<char16_t>;

// A set of the characters 0-255.
using TqdAnsiCharSet = std::bitset<256>;

// The code page that 0 stands for in the conversions below.
uint32_t qdDefaultCodePage();

// ---- Conversions through a code page ----------------------------------------

TqdWideString qdStringToWideString(std::string_view s, uint32_t aCodePage = 0);
void qdStringToWideString(std::string_view s, qdString& aResult, uint32_t aCodePage = 0);
TqdWideString qdBytesToWideString(const void* p, int32_t n, uint32_t aCodePage = 0);

qdAnsiString qdWideStringToString(const TqdWideString& w, uint32_t aCodePage = 0);
qdAnsiString qdWideStringToString(qdStringView w, uint32_t aCodePage = 0);
qdAnsiString qdWideStringBufferToString(const char16_t* p, int32_t n, uint32_t aCodePage = 0);
std::vector<uint8_t> qdWideStringBufferToBytes(const char16_t* p, int32_t n, uint32_t aCodePage = 0);

// ---- Copies between the string types, no conversion -----------------------

TqdWideString qdStringToQdWideString(qdStringView s);
TqdWideString qdUnicodeToQdWideString(qdStringView s);
TqdWideString qdWideStringToQdWideString(qdStringView s);
qdString qdQdWideStringToString(const TqdWideString& w);
qdString qdQdWideStringToWideString(const TqdWideString& w);

TqdWideString qdConcatQdWideStrings(const TqdWideString& a, const TqdWideString& b);
void qdAppendQdWideChar(TqdWideString& w, char16_t c);

// ---- Buffers -------------------------------------------------------------------

// n bytes to n code units, each byte as its own value.
void qdWidenBytes(const uint8_t* p, char16_t* w, int32_t n);
// Swaps the two bytes of n code units in place.
void qdSwapWideCharBytes(char16_t* p, int32_t n);
// Lower-cases a zero-terminated UTF-16 buffer in place with the system's
// (simple, locale-free) rules.
void qdLowerCaseWideBuffer(char16_t* p);
// Copies at most n code units of s into aBuffer and terminates it; does
// nothing for a null buffer. The buffer holds at least n + 1 units.
void qdStringToWideBuffer(qdStringView s, char16_t* aBuffer, int32_t n);
// At the first character below 256 that is in aSet: aHead = the text before
// it, aTail = the text after it; without such a character aHead = s and
// aTail is empty.
void qdSplitAtCharSet(qdStringView s, const TqdAnsiCharSet& aSet, qdString& aHead, qdString& aTail);

// ---- Locale string mapping and quoting ------------------------------------------

// The locale's string mapping by the LCMAP_... flags (platform/qdNls.h);
// raises the last OS error with the action "qdVantorWideLCMapStringW" for
// flags the mapping refuses. An empty string maps to an empty string.
qdString qdVantorWideLCMapStringW(qdStringView s, TqdLCID aLocale, uint32_t aMapFlags);
qdString qdWideLCMapString(qdStringView s, TqdLCID aLocale, uint32_t aMapFlags);

// q + s with every q doubled + q.
qdString qdWideQuotedStr(qdStringView s, char16_t q);

// ---- Unicode character categories -------------------------------------------------

// General categories, bidirectional classes and a few properties, in the
// order the Unicode tables store them (values 0-54).
enum TqdCharacterCategory : uint8_t {
  ccLetterUppercase,
  ccLetterLowercase,
  ccLetterTitlecase,
  ccMarkNonSpacing,
  ccMarkSpacingCombining,
  ccMarkEnclosing,
  ccNumberDecimalDigit,
  ccNumberLetter,
  ccNumberOther,
  ccSeparatorSpace,
  ccSeparatorLine,
  ccSeparatorParagraph,
  ccOtherControl,
  ccOtherFormat,
  ccOtherSurrogate,
  ccOtherPrivate,
  ccOtherUnassigned,
  ccLetterModifier,
  ccLetterOther,
  ccPunctuationConnector,
  ccPunctuationDash,
  ccPunctuationOpen,
  ccPunctuationClose,
  ccPunctuationInitialQuote,
  ccPunctuationFinalQuote,
  ccPunctuationOther,
  ccSymbolMath,
  ccSymbolCurrency,
  ccSymbolModifier,
  ccSymbolOther,
  ccLeftToRight,
  ccLeftToRightEmbedding,
  ccLeftToRightOverride,
  ccRightToLeft,
  ccRightToLeftArabic,
  ccRightToLeftEmbedding,
  ccRightToLeftoverride,
  ccPopDirectionalFormat,
  ccEuropeanNumber,
  ccEuropeanNumberSeparator,
  ccEuropeanNumberTerminator,
  ccArabicNumber,
  ccCommonNumberSeparator,
  ccBoundaryNeutral,
  ccSegmentSeparator,
  ccWhiteSpace,
  ccOtherNeutrals,
  ccComposed,
  ccNonBreaking,
  ccSymmetric,
  ccHexDigit,
  ccQuotationMark,
  ccMirroring,
  ccSpaceOther,
  ccAssigned,
};

void qdllWideStringInitialize();
void qdllWideStringFinalize();

}  // namespace qd
