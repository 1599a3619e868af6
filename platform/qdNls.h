// National-language services over ICU, shaped like the Windows calls whose
// values the engine stores: locale ids (LCIDs) and their ANSI code
// pages, locale-aware string comparison with the stored compare flags, sort
// keys, locale string mapping (case, kana, width), string folding, code-page
// conversion, the sort version of a locale, and the lists of locales and code
// pages this machine supports.
//
// Every comparison of text under a locale in the engine (key building, key
// comparison, comparers, SQL) goes through qdCompareString / qdGetSortKey, so
// that an index order and a comparison can never disagree.
//
// Compare flags. A collator is opened once per effective locale and used at
// identical strength, so two strings compare equal only when they differ in
// nothing the flags ignore. What a flag ignores is folded out of both strings
// before they are collated:
//   NORM_IGNORECASE      full Unicode case folding (Turkic dotted/dotless i
//                        for Turkish and Azeri locales).
//   NORM_IGNORENONSPACE  canonical decomposition, then every non-spacing mark
//                        is dropped (accents, the kana voicing marks).
//   NORM_IGNORESYMBOLS   punctuation, symbols and separators are dropped.
//   NORM_IGNOREKANATYPE  hiragana become the matching katakana.
//   NORM_IGNOREWIDTH     half- and full-width forms become their ordinary
//                        forms (ｶﾞ -> カ + voicing mark, Ａ -> A, U+3000 -> blank).
//   SORT_STRINGSORT      hyphen and apostrophe sort as symbols. Without it (the
//                        word sort) they are first left out and only break ties:
//                        "co-op" sorts next to "coop", after it.
// Folding instead of lowering the collator strength keeps each flag to its own
// meaning: ICU's secondary strength would also ignore width and kana type, and
// its Japanese tailoring tells hiragana from katakana only at the quaternary
// level, which plain tertiary strength would lose.
//
// Locale ids. 0, LOCALE_USER_DEFAULT and LOCALE_SYSTEM_DEFAULT stand for the
// process's system locale; a neutral language id stands for its most likely
// country. An id ICU cannot place compares with the root collation and has no
// NLS version (its effective id is 0), so indexes built under it are marked.
//
// Code pages. 0 (CP_ACP) and 3 (CP_THREAD_ACP) stand for the process's ANSI
// code page. Conversions replace what they cannot convert, as the Windows
// calls do without their strict flags: undecodable bytes become U+30FB under
// code page 932 and U+FFFD elsewhere; unencodable characters become "?" (ICU's
// fallback mappings stand in for the Windows best-fit tables). Code page 932 is
// ICU's "windows-31j" with the places where that table departs from the Windows
// one put right: bytes 0x1A, 0x1C and 0x7F are the control characters of the
// same value (not permuted), the single bytes 0x80, 0xA0 and 0xFD-0xFF map to
// U+0080 and U+F8F0-U+F8F3, and U+00A2, U+00A3 and U+00AC encode as 0x8191,
// 0x8192 and 0x81CA.
//
// Errors follow the Windows pattern the callers rely on: routines return 0
// or false on failure and leave the reason in errno (EINVAL for an unknown
// code page, locale or flag combination, ENOBUFS for a short buffer).
//
// Threads: every routine may be called from any thread. Collators are opened
// once per locale into a cache guarded by a reader/writer lock and afterwards
// only used through ICU's const operations (ucol_strcoll, ucol_getSortKey),
// which are safe to share. Converters are kept per thread. The system locale
// and ANSI code page come from the process profile (platform/qdProcessProfile.h),
// which changes only while no other thread runs (start-up, tests).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qdStrings.h"

namespace qd {

using TqdLCID = uint32_t;

// Locale ids with a meaning of their own.
constexpr TqdLCID LOCALE_NEUTRAL = 0x0000;
constexpr TqdLCID LOCALE_INVARIANT = 0x007F;
constexpr TqdLCID LOCALE_USER_DEFAULT = 0x0400;
constexpr TqdLCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// Compare flags, as stored in locale descriptors.
constexpr uint32_t NORM_IGNORECASE = 0x00000001;
constexpr uint32_t NORM_IGNORENONSPACE = 0x00000002;
constexpr uint32_t NORM_IGNORESYMBOLS = 0x00000004;
constexpr uint32_t SORT_STRINGSORT = 0x00001000;
constexpr uint32_t NORM_IGNOREKANATYPE = 0x00010000;
constexpr uint32_t NORM_IGNOREWIDTH = 0x00020000;
constexpr uint32_t qdCompareFlagsMask = NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | SORT_STRINGSORT |
                                        NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH;

// Locale mapping flags (qdLCMapString). LCMAP_SORTKEY combines with the
// compare flags above.
constexpr uint32_t LCMAP_LOWERCASE = 0x00000100;
constexpr uint32_t LCMAP_UPPERCASE = 0x00000200;
constexpr uint32_t LCMAP_SORTKEY = 0x00000400;
constexpr uint32_t LCMAP_BYTEREV = 0x00000800;
constexpr uint32_t LCMAP_HIRAGANA = 0x00100000;
constexpr uint32_t LCMAP_KATAKANA = 0x00200000;
constexpr uint32_t LCMAP_HALFWIDTH = 0x00400000;
constexpr uint32_t LCMAP_FULLWIDTH = 0x00800000;
constexpr uint32_t LCMAP_LINGUISTIC_CASING = 0x01000000;

// String folding flags (qdFoldString).
constexpr uint32_t MAP_FOLDCZONE = 0x00000010;
constexpr uint32_t MAP_PRECOMPOSED = 0x00000020;
constexpr uint32_t MAP_COMPOSITE = 0x00000040;
constexpr uint32_t MAP_FOLDDIGITS = 0x00000080;
constexpr uint32_t MAP_EXPAND_LIGATURES = 0x00002000;

// Code-page values with a meaning of their own.
constexpr uint32_t CP_ACP = 0;
constexpr uint32_t CP_THREAD_ACP = 3;
constexpr uint32_t CP_UTF8 = 65001;

// ---- Locales ---------------------------------------------------------------

// The specific locale an id stands for (see "Locale ids" above); other ids
// are returned unchanged.
TqdLCID qdConvertDefaultLocale(TqdLCID aLocale);

// The ICU locale of an id ("ja_JP", "de_DE@collation=phonebook"); empty when
// ICU cannot place the id.
std::string qdLocaleToIcuName(TqdLCID aLocale);

// The locale's default ANSI code page; 0 for a locale that has none (its
// text is Unicode only); -1 for an id this module does not know.
int32_t qdLocaleAnsiCodePage(TqdLCID aLocale);

// The locales this machine supports, specific ones only, with the alternate
// sort orders when asked. Ascending by id.
std::vector<TqdLCID> qdEnumSystemLocales(bool aAlternateSorts);

// The English name of the locale's language and country ("Japanese (Japan)")
// and of its sort order ("Default" for the locale's default order). Empty
// for an id ICU cannot place.
qdString qdLocaleLanguageName(TqdLCID aLocale);
qdString qdLocaleSortName(TqdLCID aLocale);

// The NLS version record: size, NLS version, defined version, effective
// locale id, custom version GUID (32 bytes as stored by the dictionary).
struct TqdNLSVersionInfoEx {
  uint32_t dwNLSVersionInfoSize = 0;
  uint32_t dwNLSVersion = 0;
  uint32_t dwDefinedVersion = 0;
  uint32_t dwEffectiveId = 0;
  std::array<uint8_t, 16> guidCustomVersion{};
};

// Fills the sort version of a locale: the NLS version is the ICU collator's
// version of that locale, the defined version the UCA version, the GUID holds
// the ICU and Unicode versions and the version of this module's folding, so a
// change of any of them changes the record. False (EINVAL) for an id ICU
// cannot place; the record is then left as it was.
[[nodiscard]] bool qdGetNLSVersion(TqdLCID aLocale, TqdNLSVersionInfoEx& aInfo);

// ---- Comparison and sort keys ----------------------------------------------

// -1, 0 or 1: a before, equal to, or after b under the locale and the compare
// flags. Flags outside qdCompareFlagsMask are ignored.
int qdCompareString(TqdLCID aLocale, uint32_t aFlags, qdStringView a, qdStringView b);

// The same for single-byte text, decoded first with the locale's ANSI code
// page (the process's when the locale has none).
int qdCompareStringA(TqdLCID aLocale, uint32_t aFlags, std::string_view a, std::string_view b);

// A byte string whose unsigned byte order (shorter first on a common prefix)
// is the order of qdCompareString with the same locale and flags.
std::vector<uint8_t> qdGetSortKey(TqdLCID aLocale, uint32_t aFlags, qdStringView s);

// ---- Mapping and folding ---------------------------------------------------

// Case mapping. The simple forms map code point by code point, locale-free,
// as the system's default casing does; the linguistic forms use the locale's
// full rules (Turkish dotted i, final sigma, ß -> SS).
qdString qdUpperCase(qdStringView s);
qdString qdLowerCase(qdStringView s);
qdString qdLinguisticUpperCase(TqdLCID aLocale, qdStringView s);
qdString qdLinguisticLowerCase(TqdLCID aLocale, qdStringView s);
// Full case folding; Turkish and Azeri locales keep dotted and dotless i apart.
qdString qdFoldCase(TqdLCID aLocale, qdStringView s);

// Locale string mapping: case (LCMAP_LOWERCASE, LCMAP_UPPERCASE, with
// LCMAP_LINGUISTIC_CASING for the locale's rules), kana (LCMAP_HIRAGANA,
// LCMAP_KATAKANA), width (LCMAP_HALFWIDTH, LCMAP_FULLWIDTH), byte order of
// each unit (LCMAP_BYTEREV), or the sort key (LCMAP_SORTKEY with compare
// flags; the key's bytes are packed two to a unit, low byte first, padded with
// a zero byte). False (EINVAL) for unknown or conflicting flags.
[[nodiscard]] bool qdLCMapString(TqdLCID aLocale, uint32_t aFlags, qdStringView s, qdString& aResult);

// String folding: MAP_PRECOMPOSED (NFC), MAP_COMPOSITE (NFD), MAP_FOLDCZONE
// (compatibility-zone characters to their standard forms), MAP_FOLDDIGITS
// (every decimal digit to 0-9), MAP_EXPAND_LIGATURES. False (EINVAL) for
// unknown or conflicting flags.
[[nodiscard]] bool qdFoldString(uint32_t aFlags, qdStringView s, qdString& aResult);

// ---- Code pages --------------------------------------------------------------

// The code page a value stands for: CP_ACP and CP_THREAD_ACP give the
// process's ANSI code page, others are returned unchanged.
uint32_t qdResolveCodePage(uint32_t aCodePage);

// True when conversions under the code page work here.
bool qdIsSupportedCodePage(uint32_t aCodePage);

// The code pages this machine converts, ascending.
std::vector<uint32_t> qdEnumSystemCodePages();

// The code page's descriptive name in the system's form, number first and
// the description in parentheses ("1252  (ANSI - Latin I)"). False (EINVAL)
// for a code page that is not supported.
[[nodiscard]] bool qdGetCodePageInfoName(uint32_t aCodePage, qdString& aName);

// The most bytes one character takes in the code page; 0 when unsupported.
int qdCodePageMaxCharSize(uint32_t aCodePage);

// Decodes n bytes into at most aDestCount UTF-16 units. With aDestCount 0 it
// only counts. Returns the number of units, 0 on failure (errno: EINVAL for
// an unsupported code page, ENOBUFS when the destination is too small). An
// empty input also gives 0, with errno EINVAL, as the system call does.
int32_t qdMultiByteToWideChar(uint32_t aCodePage, const char* aSource, int32_t aSourceCount, char16_t* aDest,
                              int32_t aDestCount);

// Encodes n UTF-16 units into at most aDestCount bytes, the same way.
// *aUsedDefaultChar (when given) tells whether anything was replaced.
int32_t qdWideCharToMultiByte(uint32_t aCodePage, const char16_t* aSource, int32_t aSourceCount, char* aDest,
                              int32_t aDestCount, bool* aUsedDefaultChar = nullptr);

// Whole-string forms: false (errno set) for an unsupported code page. An
// empty input gives an empty result.
[[nodiscard]] bool qdDecodeCodePage(uint32_t aCodePage, std::string_view aBytes, qdString& aResult);
[[nodiscard]] bool qdEncodeCodePage(uint32_t aCodePage, qdStringView aText, std::string& aResult,
                                    bool* aUsedDefaultChar = nullptr);

// Lead bytes of the double-byte code pages (932, 936, 949, 950, 1361): true
// when the byte starts a two-byte character there. Every other code page
// has no lead bytes (UTF-8 included, as the system call answers).
bool qdIsDBCSLeadByteEx(uint32_t aCodePage, uint8_t aByte);
// The longest prefix of aBytes, at most aMaxBytes long, that ends on a
// character boundary of the code page: a double-byte character or a UTF-8
// sequence that would be cut at aMaxBytes is left out whole.
size_t qdCharBoundaryLength(uint32_t aCodePage, std::string_view aBytes, size_t aMaxBytes);

// ---- Unit start and end ------------------------------------------------------

void qdNlsInitialize();
// Frees the cached collators; later calls open them again.
void qdNlsFinalize();

}  // namespace qd
