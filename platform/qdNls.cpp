#include "platform/qdNls.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/qdProcessProfile.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

// The system locale and ANSI code page come from the process profile.
TqdLCID profileSystemLocale() { return qdSystemLocaleID(); }
uint32_t profileAnsiCodePage() { return qdSystemAnsiCodePage(); }

// Bumped whenever the folding below changes what compares equal or in which
// order, so that indexes built with the old folding are marked for a rebuild.
constexpr uint32_t kFoldSchemeVersion = 1;

constexpr char16_t kKatakanaMiddleDot = 0x30FB;
constexpr char16_t kReplacementChar = 0xFFFD;

void checkIcu(UErrorCode aStatus) {
  if (aStatus == U_MEMORY_ALLOCATION_ERROR) qdRaiseOutOfMemory();
}

int32_t checkedLength(size_t n) {
  if (n > static_cast<size_t>(INT32_MAX)) throw ERangeError("qdNls: text longer than 2^31-1 code units");
  return static_cast<int32_t>(n);
}

const UChar* icuChars(qdStringView s) { return reinterpret_cast<const UChar*>(s.data()); }

// ---- Locale ids ----------------------------------------------------------------

uint32_t primaryLanguage(TqdLCID aLocale) { return aLocale & 0x3FF; }
uint32_t subLanguage(TqdLCID aLocale) { return (aLocale >> 10) & 0x3F; }
uint32_t sortId(TqdLCID aLocale) { return (aLocale >> 16) & 0xF; }

// Ids whose ICU locale ICU's own table gets wrong or does not know, mostly
// the alternate sort orders.
struct LocaleOverride {
  TqdLCID id;
  const char* icuName;
};
constexpr LocaleOverride kLocaleOverrides[] = {
    {0x007F, "und"},                           // invariant: the root order
    {0x0804, "zh_Hans_CN"},                    // pronunciation (pinyin) is the default
    {0x20804, "zh_Hans_CN@collation=stroke"},  //
    {0x1004, "zh_Hans_SG"},                    //
    {0x21004, "zh_Hans_SG@collation=stroke"},  //
    {0x0C04, "zh_Hant_HK"},                    // stroke count is the default
    {0x1404, "zh_Hant_MO@collation=pinyin"},   //
    {0x21404, "zh_Hant_MO@collation=stroke"},  //
    {0x0404, "zh_Hant_TW"},                    //
    {0x30404, "zh_Hant_TW@collation=zhuyin"},  // Bopomofo
    {0x10407, "de_DE@collation=phonebook"},    //
    {0x1040E, "hu_HU"},                        // technical sort: ICU has no such order
    {0x10437, "ka_GE"},                        // modern sort is ICU's order
};

const char* overrideFor(TqdLCID aLocale) {
  for (const auto& entry : kLocaleOverrides)
    if (entry.id == aLocale) return entry.icuName;
  return nullptr;
}

std::string icuLocaleForLcid(TqdLCID aLocale) {
  char buffer[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = uloc_getLocaleForLCID(aLocale, buffer, sizeof(buffer), &status);
  if (U_FAILURE(status) || n <= 0 || n >= static_cast<int32_t>(sizeof(buffer))) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

// Default ANSI code page by primary language (Windows' LOCALE_IDEFAULTANSICODEPAGE).
// 0: the language is written in Unicode only.
int32_t ansiCodePageOfLanguage(TqdLCID aLocale) {
  const uint32_t sub = subLanguage(aLocale);
  switch (primaryLanguage(aLocale)) {
    case 0x01:
    case 0x20:
    case 0x29:
    case 0x80:
    case 0x8C:  // Arabic, Urdu, Farsi, Uyghur, Dari
      return 1256;
    case 0x02:
    case 0x19:
    case 0x22:
    case 0x23:
    case 0x28:
    case 0x2F:
    case 0x3F:
    case 0x40:
    case 0x44:
    case 0x6D:
    case 0x85:      // Bulgarian, Russian, Ukrainian, Belarusian, Tajik,
      return 1251;  // Macedonian, Kazakh, Kyrgyz, Tatar, Bashkir, Yakut
    case 0x04:      // Chinese: Taiwan, Hong Kong and Macau traditional, PRC and Singapore simplified
      return (sub == 0x02 || sub == 0x04) ? 936 : 950;
    case 0x05:
    case 0x0E:
    case 0x15:
    case 0x18:
    case 0x1B:
    case 0x1C:
    case 0x24:
    case 0x42:
      return 1250;  // Czech, Hungarian, Polish, Romanian, Slovak, Albanian, Slovenian, Turkmen
    case 0x08:
      return 1253;  // Greek
    case 0x0D:
      return 1255;  // Hebrew
    case 0x11:
      return 932;  // Japanese
    case 0x12:
      return 949;  // Korean
    case 0x1A:     // Croatian, Serbian, Bosnian: Cyrillic forms use 1251
      return (sub == 0x03 || sub == 0x07 || sub == 0x08 || sub == 0x0A || sub == 0x0C) ? 1251 : 1250;
    case 0x1E:
      return 874;  // Thai
    case 0x1F:
      return 1254;  // Turkish
    case 0x25:
    case 0x26:
    case 0x27:
      return 1257;  // Estonian, Latvian, Lithuanian
    case 0x2A:
      return 1258;  // Vietnamese
    case 0x2C:
    case 0x43:  // Azeri, Uzbek: Latin 1254, Cyrillic 1251
      return sub == 0x02 ? 1251 : 1254;
    case 0x50:  // Mongolian: Cyrillic 1251, traditional script Unicode only
      return sub == 0x01 ? 1251 : 0;
    case 0x5D:  // Inuktitut: Latin 1252, syllabics Unicode only
      return sub == 0x02 ? 1252 : 0;
    case 0x03:
    case 0x06:
    case 0x07:
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0F:
    case 0x10:
    case 0x13:
    case 0x14:
    case 0x16:
    case 0x17:
    case 0x1D:
    case 0x21:
    case 0x2D:
    case 0x2E:
    case 0x32:
    case 0x34:
    case 0x35:
    case 0x36:
    case 0x38:
    case 0x3B:
    case 0x3C:
    case 0x3E:
    case 0x41:
    case 0x52:
    case 0x56:
    case 0x5F:
    case 0x62:
    case 0x64:
    case 0x68:
    case 0x6A:
    case 0x6B:
    case 0x6C:
    case 0x6E:
    case 0x6F:
    case 0x70:
    case 0x7A:
    case 0x7C:
    case 0x7E:
    case 0x82:
    case 0x83:
    case 0x84:
    case 0x86:
    case 0x87:
    case 0x88:
    case 0x91:
      return 1252;  // Western European and other Latin-script languages
    default:
      return 0;
  }
}

// ---- Collators -------------------------------------------------------------------

class CollatorCache {
 public:
  ~CollatorCache() { Clear(); }

  // The collator of an effective locale id, opened on first use; the root
  // collator for an id ICU cannot place. Never null.
  const UCollator* Get(TqdLCID aLocale) {
    {
      std::shared_lock guard(fLock);
      auto it = fCollators.find(aLocale);
      if (it != fCollators.end()) return it->second;
    }
    UCollator* collator = open(qdLocaleToIcuName(aLocale));
    std::unique_lock guard(fLock);
    if (collator == nullptr) {
      if (fRoot == nullptr) fRoot = open("und");
      if (fRoot == nullptr) throw EOSError(EINVAL, u"qdNls: no collation data");
      return fCollators.emplace(aLocale, fRoot).first->second;
    }
    auto [it, inserted] = fCollators.emplace(aLocale, collator);
    if (!inserted) ucol_close(collator);
    return it->second;
  }

  void Clear() {
    std::unique_lock guard(fLock);
    for (auto& [id, collator] : fCollators)
      if (collator != fRoot) ucol_close(collator);
    fCollators.clear();
    if (fRoot != nullptr) ucol_close(fRoot);
    fRoot = nullptr;
  }

 private:
  static UCollator* open(const std::string& aName) {
    if (aName.empty()) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    UCollator* collator = ucol_open(aName.c_str(), &status);
    checkIcu(status);
    if (U_FAILURE(status)) return nullptr;
    // Attributes are set before the collator is shared; afterwards it is only
    // used through ICU's const operations.
    ucol_setAttribute(collator, UCOL_STRENGTH, UCOL_IDENTICAL, &status);
    ucol_setAttribute(collator, UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
    checkIcu(status);
    if (U_FAILURE(status)) {
      ucol_close(collator);
      return nullptr;
    }
    return collator;
  }

  std::shared_mutex fLock;
  std::unordered_map<TqdLCID, UCollator*> fCollators;  // guarded by fLock; entries may share fRoot
  UCollator* fRoot = nullptr;                          // guarded by fLock
};

CollatorCache& collators() {
  static CollatorCache cache;
  return cache;
}

const UCollator* collatorFor(TqdLCID aLocale) { return collators().Get(qdConvertDefaultLocale(aLocale)); }

// ---- Folding for the compare flags ----------------------------------------------

constexpr uint32_t kFoldFlags =
    NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH;

const UNormalizer2* nfdInstance() {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* n = unorm2_getNFDInstance(&status);
  checkIcu(status);
  return n;
}

const UNormalizer2* nfcInstance() {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* n = unorm2_getNFCInstance(&status);
  checkIcu(status);
  return n;
}

const UNormalizer2* nfkcInstance() {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* n = unorm2_getNFKCInstance(&status);
  checkIcu(status);
  return n;
}

void appendCodePoint(qdString& out, UChar32 c) {
  if (c <= 0xFFFF) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    out.push_back(static_cast<char16_t>(U16_LEAD(c)));
    out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
  }
}

// The single code point a half- or full-width form stands for, or -1.
UChar32 widthFolded(UChar32 c) {
  const int32_t type = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
  if (type != U_DT_WIDE && type != U_DT_NARROW) return -1;
  UChar buffer[4];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = unorm2_getRawDecomposition(nfkcInstance(), c, buffer, 4, &status);
  if (U_FAILURE(status) || n <= 0) return -1;
  UChar32 result;
  int32_t i = 0;
  U16_NEXT(buffer, i, n, result);
  return i == n ? result : -1;
}

bool isHiragana(UChar32 c) { return (c >= 0x3041 && c <= 0x3096) || c == 0x309D || c == 0x309E; }
bool isKatakana(UChar32 c) { return (c >= 0x30A1 && c <= 0x30F6) || c == 0x30FD || c == 0x30FE; }

bool isSymbolOrSeparator(UChar32 c) {
  const int32_t mask = U_GET_GC_MASK(c);
  return (mask & (U_GC_P_MASK | U_GC_S_MASK | U_GC_Z_MASK)) != 0;
}

void normalize(const UNormalizer2* aForm, qdStringView s, qdString& aResult) {
  aResult.resize(s.size() + 8);
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = unorm2_normalize(aForm, icuChars(s), checkedLength(s.size()), reinterpret_cast<UChar*>(aResult.data()),
                               checkedLength(aResult.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    aResult.resize(static_cast<size_t>(n));
    status = U_ZERO_ERROR;
    n = unorm2_normalize(aForm, icuChars(s), checkedLength(s.size()), reinterpret_cast<UChar*>(aResult.data()),
                         checkedLength(aResult.size()), &status);
  }
  checkIcu(status);
  if (U_FAILURE(status)) throw EOSError(EINVAL, u"qdNls: normalization failed");
  aResult.resize(static_cast<size_t>(n));
}

bool turkicLocale(TqdLCID aLocale) {
  const uint32_t primary = primaryLanguage(qdConvertDefaultLocale(aLocale));
  return primary == 0x1F || primary == 0x2C;
}

void foldCaseInto(TqdLCID aLocale, qdStringView s, qdString& aResult) {
  const uint32_t options = turkicLocale(aLocale) ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT;
  aResult.resize(s.size() + 8);
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = u_strFoldCase(reinterpret_cast<UChar*>(aResult.data()), checkedLength(aResult.size()), icuChars(s),
                            checkedLength(s.size()), options, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    aResult.resize(static_cast<size_t>(n));
    status = U_ZERO_ERROR;
    n = u_strFoldCase(reinterpret_cast<UChar*>(aResult.data()), checkedLength(aResult.size()), icuChars(s),
                      checkedLength(s.size()), options, &status);
  }
  checkIcu(status);
  aResult.resize(U_FAILURE(status) ? 0 : static_cast<size_t>(n));
}

// Scratch buffers of one operand, kept per thread so that comparisons of
// folded text do not allocate once warmed up.
struct FoldScratch {
  qdString first, second, stripped;
};

// Folds out of s what the flags ignore. The result is s itself or lives in
// the scratch buffers.
qdStringView foldForCompare(TqdLCID aLocale, uint32_t aFlags, qdStringView s, FoldScratch& aScratch) {
  if ((aFlags & kFoldFlags) == 0) return s;
  qdString* current = &aScratch.first;
  qdString* spare = &aScratch.second;
  current->clear();
  // Width and kana type, code point by code point.
  for (size_t i = 0; i < s.size();) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    if (aFlags & NORM_IGNOREWIDTH) {
      const UChar32 folded = widthFolded(c);
      if (folded >= 0) c = folded;
    }
    if ((aFlags & NORM_IGNOREKANATYPE) && isHiragana(c)) c += 0x60;
    appendCodePoint(*current, c);
  }
  if (aFlags & NORM_IGNORENONSPACE) {
    normalize(nfdInstance(), *current, *spare);
    std::swap(current, spare);
  }
  if (aFlags & (NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS)) {
    spare->clear();
    for (size_t i = 0; i < current->size();) {
      UChar32 c;
      U16_NEXT(current->data(), i, current->size(), c);
      if ((aFlags & NORM_IGNORENONSPACE) && u_charType(c) == U_NON_SPACING_MARK) continue;
      if ((aFlags & NORM_IGNORESYMBOLS) && isSymbolOrSeparator(c)) continue;
      appendCodePoint(*spare, c);
    }
    std::swap(current, spare);
  }
  if (aFlags & NORM_IGNORECASE) {
    foldCaseInto(aLocale, *current, *spare);
    std::swap(current, spare);
  }
  return *current;
}

bool isWordSortIgnored(char16_t c) { return c == u'-' || c == u'\''; }

bool hasWordSortIgnored(qdStringView s) { return std::any_of(s.begin(), s.end(), isWordSortIgnored); }

qdStringView stripWordSortIgnored(qdStringView s, qdString& aBuffer) {
  aBuffer.clear();
  for (char16_t c : s)
    if (!isWordSortIgnored(c)) aBuffer.push_back(c);
  return aBuffer;
}

int collate(const UCollator* aCollator, qdStringView a, qdStringView b) {
  const UCollationResult r =
      ucol_strcoll(aCollator, icuChars(a), checkedLength(a.size()), icuChars(b), checkedLength(b.size()));
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

void appendSortKey(const UCollator* aCollator, qdStringView s, std::vector<uint8_t>& aKey) {
  const size_t start = aKey.size();
  aKey.resize(start + s.size() * 4 + 16);
  int32_t n = ucol_getSortKey(aCollator, icuChars(s), checkedLength(s.size()), aKey.data() + start,
                              checkedLength(aKey.size() - start));
  if (n > static_cast<int32_t>(aKey.size() - start)) {
    aKey.resize(start + static_cast<size_t>(n));
    n = ucol_getSortKey(aCollator, icuChars(s), checkedLength(s.size()), aKey.data() + start,
                        checkedLength(aKey.size() - start));
  }
  aKey.resize(start + static_cast<size_t>(std::max(n, 0)));
}

thread_local FoldScratch tlScratchA;
thread_local FoldScratch tlScratchB;

// ---- Kana and width mapping -------------------------------------------------

// Maps between ordinary characters and their half- and full-width forms,
// built from ICU's decomposition data.
struct WidthTables {
  std::unordered_map<UChar32, UChar32> toHalf;  // wide -> ordinary, ordinary -> narrow
  std::unordered_map<UChar32, UChar32> toFull;  // narrow -> ordinary, ordinary -> wide

  WidthTables() {
    for (UChar32 c = 0x3000; c <= 0xFFEE; ++c) {
      if (c == 0x3001) c = 0xFF00;  // the forms live in U+3000 and U+FF00-U+FFEE
      const int32_t type = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
      if (type != U_DT_WIDE && type != U_DT_NARROW) continue;
      const UChar32 plain = widthFolded(c);
      if (plain < 0) continue;
      if (type == U_DT_WIDE) {
        toHalf.emplace(c, plain);
        toFull.emplace(plain, c);
      } else {
        toFull.emplace(c, plain);
        toHalf.emplace(plain, c);
      }
    }
    // The spacing voicing marks have compatibility decompositions of their
    // own; their half-width forms are those of the combining marks.
    toHalf[0x309B] = 0xFF9E;
    toHalf[0x309C] = 0xFF9F;
  }
};

const WidthTables& widthTables() {
  static const WidthTables tables;
  return tables;
}

void mapHalfWidth(qdStringView s, qdString& aResult) {
  const WidthTables& tables = widthTables();
  aResult.clear();
  for (size_t i = 0; i < s.size();) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    // A voiced katakana becomes the half-width base and the half-width mark.
    if (c >= 0x30A1 && c <= 0x30FA) {
      UChar parts[4];
      UErrorCode status = U_ZERO_ERROR;
      const int32_t n = unorm2_getDecomposition(nfdInstance(), c, parts, 4, &status);
      if (U_SUCCESS(status) && n == 2 && tables.toHalf.count(parts[0]) && tables.toHalf.count(parts[1])) {
        appendCodePoint(aResult, tables.toHalf.at(parts[0]));
        appendCodePoint(aResult, tables.toHalf.at(parts[1]));
        continue;
      }
    }
    auto it = tables.toHalf.find(c);
    appendCodePoint(aResult, it != tables.toHalf.end() ? it->second : c);
  }
}

void mapFullWidth(qdStringView s, qdString& aResult) {
  const WidthTables& tables = widthTables();
  aResult.clear();
  for (size_t i = 0; i < s.size();) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    if (c == 0xFF9E || c == 0xFF9F) {
      // A half-width voicing mark joins the character before it when they
      // compose, else it becomes the spacing mark.
      const UChar32 mark = c == 0xFF9E ? 0x3099 : 0x309A;
      if (!aResult.empty()) {
        const UChar32 composed = unorm2_composePair(nfcInstance(), aResult.back(), mark);
        if (composed >= 0 && composed <= 0xFFFF) {
          aResult.back() = static_cast<char16_t>(composed);
          continue;
        }
      }
      appendCodePoint(aResult, c == 0xFF9E ? 0x309B : 0x309C);
      continue;
    }
    auto it = tables.toFull.find(c);
    appendCodePoint(aResult, it != tables.toFull.end() ? it->second : c);
  }
}

void mapKana(qdStringView s, bool aToKatakana, qdString& aResult) {
  aResult.assign(s);
  for (char16_t& c : aResult) {
    if (aToKatakana && isHiragana(c))
      c = static_cast<char16_t>(c + 0x60);
    else if (!aToKatakana && isKatakana(c))
      c = static_cast<char16_t>(c - 0x60);
  }
}

qdString mapSimpleCase(qdStringView s, bool aUpper) {
  qdString result;
  result.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    appendCodePoint(result, aUpper ? u_toupper(c) : u_tolower(c));
  }
  return result;
}

qdString mapLinguisticCase(TqdLCID aLocale, qdStringView s, bool aUpper) {
  const std::string locale = qdLocaleToIcuName(qdConvertDefaultLocale(aLocale));
  qdString result(s.size() + 8, u'\0');
  auto call = [&](qdString& out, UErrorCode& status) {
    return aUpper ? u_strToUpper(reinterpret_cast<UChar*>(out.data()), checkedLength(out.size()), icuChars(s),
                                 checkedLength(s.size()), locale.c_str(), &status)
                  : u_strToLower(reinterpret_cast<UChar*>(out.data()), checkedLength(out.size()), icuChars(s),
                                 checkedLength(s.size()), locale.c_str(), &status);
  };
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = call(result, status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    result.resize(static_cast<size_t>(n));
    status = U_ZERO_ERROR;
    n = call(result, status);
  }
  checkIcu(status);
  result.resize(U_FAILURE(status) ? 0 : static_cast<size_t>(n));
  return result;
}

// ---- Code pages ---------------------------------------------------------------

struct CodePageEntry {
  uint32_t codePage;
  const char* icuName;
  const char16_t* description;
};

constexpr CodePageEntry kCodePages[] = {
    {437, "ibm-437", u"OEM - United States"},
    {737, "ibm-737", u"OEM - Greek 437G"},
    {775, "ibm-775", u"OEM - Baltic"},
    {850, "ibm-850", u"OEM - Multilingual Latin I"},
    {852, "ibm-852", u"OEM - Latin II"},
    {855, "ibm-855", u"OEM - Cyrillic"},
    {857, "ibm-857", u"OEM - Turkish"},
    {858, "ibm-858", u"OEM - Multilingual Latin I + Euro"},
    {860, "ibm-860", u"OEM - Portuguese"},
    {861, "ibm-861", u"OEM - Icelandic"},
    {862, "ibm-862", u"OEM - Hebrew"},
    {863, "ibm-863", u"OEM - Canadian French"},
    {864, "ibm-864", u"OEM - Arabic"},
    {865, "ibm-865", u"OEM - Nordic"},
    {866, "ibm-866", u"OEM - Russian"},
    {869, "ibm-869", u"OEM - Modern Greek"},
    {874, "windows-874", u"ANSI/OEM - Thai"},
    {932, "windows-31j", u"ANSI/OEM - Japanese Shift-JIS"},
    {936, "windows-936", u"ANSI/OEM - Simplified Chinese GBK"},
    {949, "windows-949", u"ANSI/OEM - Korean"},
    {950, "windows-950", u"ANSI/OEM - Traditional Chinese Big5"},
    {1250, "windows-1250", u"ANSI - Central Europe"},
    {1251, "windows-1251", u"ANSI - Cyrillic"},
    {1252, "windows-1252", u"ANSI - Latin I"},
    {1253, "windows-1253", u"ANSI - Greek"},
    {1254, "windows-1254", u"ANSI - Turkish"},
    {1255, "windows-1255", u"ANSI - Hebrew"},
    {1256, "windows-1256", u"ANSI - Arabic"},
    {1257, "windows-1257", u"ANSI - Baltic"},
    {1258, "windows-1258", u"ANSI/OEM - Viet Nam"},
    {10000, "macintosh", u"MAC - Roman"},
    {20127, "US-ASCII", u"US-ASCII"},
    {20866, "KOI8-R", u"Russian - KOI8"},
    {21866, "KOI8-U", u"Ukrainian - KOI8-U"},
    {28591, "ISO-8859-1", u"ISO 8859-1 Latin I"},
    {28592, "ISO-8859-2", u"ISO 8859-2 Central Europe"},
    {28595, "ISO-8859-5", u"ISO 8859-5 Cyrillic"},
    {28597, "ISO-8859-7", u"ISO 8859-7 Greek"},
    {28599, "ISO-8859-9", u"ISO 8859-9 Turkish"},
    {28605, "ISO-8859-15", u"ISO 8859-15 Latin 9"},
    {54936, "gb18030", u"GB18030 Simplified Chinese (4 byte)"},
    {65000, "UTF-7", u"UTF-7"},
    {65001, "UTF-8", u"UTF-8"},
};

const CodePageEntry* codePageEntry(uint32_t aCodePage) {
  for (const auto& entry : kCodePages)
    if (entry.codePage == aCodePage) return &entry;
  return nullptr;
}

bool isUnicodeEncoding(uint32_t aCodePage) { return aCodePage == 65000 || aCodePage == 65001 || aCodePage == 54936; }

// Where ICU's windows-31j departs from the Windows table of code page 932.
struct Cp932Fix {
  uint8_t byte;
  char16_t unit;
};
constexpr Cp932Fix kCp932SingleBytes[] = {
    {0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}};
struct Cp932BestFit {
  char16_t unit;
  uint8_t lead, trail;
};
constexpr Cp932BestFit kCp932BestFit[] = {{0x00A2, 0x81, 0x91}, {0x00A3, 0x81, 0x92}, {0x00AC, 0x81, 0xCA}};

// ICU's table permutes three control codes the Windows table keeps as they
// are. None of these bytes can be a trail byte, so the fix is a plain swap.
char16_t cp932ControlToUnicode(char16_t c) {
  switch (c) {
    case 0x001C:
      return 0x001A;
    case 0x007F:
      return 0x001C;
    case 0x001A:
      return 0x007F;
    default:
      return c;
  }
}

char cp932ControlToByte(char b) {
  switch (b) {
    case 0x7F:
      return 0x1A;
    case 0x1A:
      return 0x1C;
    case 0x1C:
      return 0x7F;
    default:
      return b;
  }
}

// Per-converter state handed to the ICU callbacks.
struct ConverterContext {
  uint32_t codePage = 0;
  bool usedDefaultChar = false;
};

void toUnicodeCallback(const void* aContext, UConverterToUnicodeArgs* aArgs, const char* aCodeUnits, int32_t aLength,
                       UConverterCallbackReason aReason, UErrorCode* aStatus) {
  if (aReason > UCNV_IRREGULAR) return;  // reset, close, clone
  const auto* context = static_cast<const ConverterContext*>(aContext);
  UChar replacement = context->codePage == 932 ? kKatakanaMiddleDot : kReplacementChar;
  if (context->codePage == 932 && aLength == 1) {
    for (const auto& fix : kCp932SingleBytes)
      if (static_cast<uint8_t>(aCodeUnits[0]) == fix.byte) replacement = fix.unit;
  }
  *aStatus = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(aArgs, &replacement, 1, 0, aStatus);
}

void fromUnicodeCallback(const void* aContext, UConverterFromUnicodeArgs* aArgs, const UChar*, int32_t,
                         UChar32 aCodePoint, UConverterCallbackReason aReason, UErrorCode* aStatus) {
  if (aReason > UCNV_IRREGULAR) return;
  auto* context = const_cast<ConverterContext*>(static_cast<const ConverterContext*>(aContext));
  *aStatus = U_ZERO_ERROR;
  if (context->codePage == 932 && aReason == UCNV_UNASSIGNED) {
    for (const auto& fix : kCp932SingleBytes) {
      if (aCodePoint == fix.unit) {
        const char byte = static_cast<char>(fix.byte);
        ucnv_cbFromUWriteBytes(aArgs, &byte, 1, 0, aStatus);
        return;
      }
    }
    for (const auto& fix : kCp932BestFit) {
      if (aCodePoint == fix.unit) {
        const char bytes[2] = {static_cast<char>(fix.lead), static_cast<char>(fix.trail)};
        ucnv_cbFromUWriteBytes(aArgs, bytes, 2, 0, aStatus);
        return;
      }
    }
  }
  context->usedDefaultChar = true;
  if (isUnicodeEncoding(context->codePage)) {
    const UChar replacement = kReplacementChar;
    const UChar* source = &replacement;
    ucnv_cbFromUWriteUChars(aArgs, &source, source + 1, 0, aStatus);
  } else {
    const char defaultChar = '?';
    ucnv_cbFromUWriteBytes(aArgs, &defaultChar, 1, 0, aStatus);
  }
}

// Open converters of one thread, one per code page used.
class ThreadConverters {
 public:
  ~ThreadConverters() {
    for (auto& slot : fSlots) ucnv_close(slot.converter);
  }

  struct Slot {
    UConverter* converter;
    std::unique_ptr<ConverterContext> context;
  };

  // Null when the code page is not supported.
  Slot* Get(uint32_t aCodePage) {
    for (auto& slot : fSlots)
      if (slot.context->codePage == aCodePage) return &slot;
    const CodePageEntry* entry = codePageEntry(aCodePage);
    if (entry == nullptr) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(entry->icuName, &status);
    checkIcu(status);
    if (U_FAILURE(status) || converter == nullptr) return nullptr;
    auto context = std::make_unique<ConverterContext>();
    context->codePage = aCodePage;
    ucnv_setFallback(converter, true);
    ucnv_setToUCallBack(converter, toUnicodeCallback, context.get(), nullptr, nullptr, &status);
    ucnv_setFromUCallBack(converter, fromUnicodeCallback, context.get(), nullptr, nullptr, &status);
    if (U_FAILURE(status)) {
      ucnv_close(converter);
      checkIcu(status);
      return nullptr;
    }
    fSlots.push_back(Slot{converter, std::move(context)});
    return &fSlots.back();
  }

 private:
  std::vector<Slot> fSlots;
};

// The outcome of an ICU conversion call the Windows way: false with errno
// set on failure; a buffer overflow while only counting is no failure.
bool checkConversion(UErrorCode aStatus, int32_t aDestCount) {
  checkIcu(aStatus);
  if (aStatus == U_BUFFER_OVERFLOW_ERROR) {
    if (aDestCount == 0) return true;
    errno = ENOBUFS;
    return false;
  }
  if (U_FAILURE(aStatus)) {
    errno = EINVAL;
    return false;
  }
  return true;
}

ThreadConverters::Slot* converterFor(uint32_t aCodePage) {
  thread_local ThreadConverters converters;
  return converters.Get(qdResolveCodePage(aCodePage));
}

// ---- Locale enumeration ----------------------------------------------------------

const std::vector<TqdLCID>& specificLocales() {
  static const std::vector<TqdLCID> locales = [] {
    std::vector<TqdLCID> result;
    const int32_t count = uloc_countAvailable();
    for (int32_t i = 0; i < count; ++i) {
      const TqdLCID id = uloc_getLCID(uloc_getAvailable(i));
      // Neutral languages and scripts and the invariant locale are not system locales.
      if (id == 0 || subLanguage(id) == 0 || subLanguage(id) == 0x1F || sortId(id) != 0 || id == LOCALE_INVARIANT)
        continue;
      if (qdLocaleToIcuName(id).empty()) continue;
      result.push_back(id);
    }
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    return result;
  }();
  return locales;
}

qdString displayString(const UChar* aText, int32_t n) {
  return qdString(reinterpret_cast<const char16_t*>(aText), static_cast<size_t>(std::max(n, 0)));
}

}  // namespace

// ---- Locales -------------------------------------------------------------------

TqdLCID qdConvertDefaultLocale(TqdLCID aLocale) {
  if (aLocale == LOCALE_NEUTRAL || aLocale == LOCALE_USER_DEFAULT || aLocale == LOCALE_SYSTEM_DEFAULT)
    return profileSystemLocale();
  if (aLocale != LOCALE_INVARIANT && subLanguage(aLocale) == 0 && sortId(aLocale) == 0 && aLocale < 0x400) {
    // A neutral language: its most likely country.
    const std::string language = icuLocaleForLcid(aLocale);
    if (language.empty()) return aLocale;
    char likely[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    uloc_addLikelySubtags(language.c_str(), likely, sizeof(likely), &status);
    if (U_FAILURE(status)) return aLocale;
    // Ids name the script only where a language has several; try without it first.
    char languageCode[ULOC_LANG_CAPACITY], country[ULOC_COUNTRY_CAPACITY];
    uloc_getLanguage(likely, languageCode, sizeof(languageCode), &status);
    uloc_getCountry(likely, country, sizeof(country), &status);
    if (U_FAILURE(status)) return aLocale;
    for (const std::string& candidate : {std::string(languageCode) + "_" + country, std::string(likely)}) {
      const TqdLCID specific = uloc_getLCID(candidate.c_str());
      if (specific != 0 && primaryLanguage(specific) == aLocale && subLanguage(specific) != 0) return specific;
    }
    return aLocale;
  }
  return aLocale;
}

std::string qdLocaleToIcuName(TqdLCID aLocale) {
  if (const char* name = overrideFor(aLocale)) return name;
  std::string name = icuLocaleForLcid(aLocale);
  // An alternate sort ICU does not know would silently collate in the
  // default order under a different id.
  if (sortId(aLocale) != 0 && name.find("@collation=") == std::string::npos) return {};
  if (name == "root") return {};
  return name;
}

int32_t qdLocaleAnsiCodePage(TqdLCID aLocale) {
  aLocale = qdConvertDefaultLocale(aLocale);
  if (aLocale == LOCALE_INVARIANT) return 1252;
  if (qdLocaleToIcuName(aLocale).empty()) return -1;
  return ansiCodePageOfLanguage(aLocale & 0xFFFF);
}

std::vector<TqdLCID> qdEnumSystemLocales(bool aAlternateSorts) {
  std::vector<TqdLCID> result = specificLocales();
  if (aAlternateSorts) {
    for (const auto& entry : kLocaleOverrides) {
      if (sortId(entry.id) != 0 && std::binary_search(result.begin(), result.end(), entry.id & 0xFFFF))
        result.push_back(entry.id);
    }
    std::sort(result.begin(), result.end());
  }
  return result;
}

qdString qdLocaleLanguageName(TqdLCID aLocale) {
  std::string name = qdLocaleToIcuName(aLocale);
  if (name.empty()) return {};
  // The language and country only: the sort order has a name of its own.
  name = name.substr(0, name.find('@'));
  UChar buffer[256];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = uloc_getDisplayName(name.c_str(), "en", buffer, 256, &status);
  if (U_FAILURE(status)) return {};
  return displayString(buffer, std::min(n, 256));
}

qdString qdLocaleSortName(TqdLCID aLocale) {
  const std::string name = qdLocaleToIcuName(aLocale);
  if (name.empty()) return {};
  char value[ULOC_KEYWORDS_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = uloc_getKeywordValue(name.c_str(), "collation", value, sizeof(value), &status);
  if (U_FAILURE(status) || n <= 0) return u"Default";
  UChar buffer[256];
  status = U_ZERO_ERROR;
  const int32_t m = uloc_getDisplayKeywordValue(name.c_str(), "collation", "en", buffer, 256, &status);
  if (U_FAILURE(status) || m <= 0) return u"Default";
  return displayString(buffer, std::min(m, 256));
}

bool qdGetNLSVersion(TqdLCID aLocale, TqdNLSVersionInfoEx& aInfo) {
  const TqdLCID effective = qdConvertDefaultLocale(aLocale);
  if (qdLocaleToIcuName(effective).empty()) {
    errno = EINVAL;
    return false;
  }
  const UCollator* collator = collators().Get(effective);
  auto pack = [](const UVersionInfo& v) {
    return (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | uint32_t{v[3]};
  };
  UVersionInfo collatorVersion, ucaVersion, icuVersion, unicodeVersion;
  ucol_getVersion(collator, collatorVersion);
  ucol_getUCAVersion(collator, ucaVersion);
  u_getVersion(icuVersion);
  u_getUnicodeVersion(unicodeVersion);
  aInfo = TqdNLSVersionInfoEx{};
  aInfo.dwNLSVersionInfoSize = 32;
  aInfo.dwNLSVersion = pack(collatorVersion);
  aInfo.dwDefinedVersion = pack(ucaVersion);
  aInfo.dwEffectiveId = effective;
  std::copy(icuVersion, icuVersion + 4, aInfo.guidCustomVersion.begin());
  std::copy(unicodeVersion, unicodeVersion + 4, aInfo.guidCustomVersion.begin() + 4);
  for (int i = 0; i < 4; ++i) aInfo.guidCustomVersion[8 + i] = static_cast<uint8_t>(kFoldSchemeVersion >> (8 * i));
  return true;
}

// ---- Comparison and sort keys ------------------------------------------------------

int qdCompareString(TqdLCID aLocale, uint32_t aFlags, qdStringView a, qdStringView b) {
  const UCollator* collator = collatorFor(aLocale);
  const qdStringView fa = foldForCompare(aLocale, aFlags, a, tlScratchA);
  const qdStringView fb = foldForCompare(aLocale, aFlags, b, tlScratchB);
  if (aFlags & SORT_STRINGSORT) return collate(collator, fa, fb);
  const bool ha = hasWordSortIgnored(fa);
  const bool hb = hasWordSortIgnored(fb);
  if (!ha && !hb) return collate(collator, fa, fb);
  // Word sort: hyphens and apostrophes only break ties, and a text that has
  // them comes after the same text without.
  const qdStringView sa = ha ? stripWordSortIgnored(fa, tlScratchA.stripped) : fa;
  const qdStringView sb = hb ? stripWordSortIgnored(fb, tlScratchB.stripped) : fb;
  const int r = collate(collator, sa, sb);
  if (r != 0) return r;
  if (ha && hb) return collate(collator, fa, fb);
  return ha ? 1 : -1;
}

int qdCompareStringA(TqdLCID aLocale, uint32_t aFlags, std::string_view a, std::string_view b) {
  const int32_t localeCodePage = qdLocaleAnsiCodePage(aLocale);
  const uint32_t codePage = localeCodePage > 0 ? static_cast<uint32_t>(localeCodePage) : CP_ACP;
  qdString wa, wb;
  if (!qdDecodeCodePage(codePage, a, wa) || !qdDecodeCodePage(codePage, b, wb))
    throw EOSError(EINVAL, u"qdCompareStringA: code page not supported");
  return qdCompareString(aLocale, aFlags, wa, wb);
}

std::vector<uint8_t> qdGetSortKey(TqdLCID aLocale, uint32_t aFlags, qdStringView s) {
  const UCollator* collator = collatorFor(aLocale);
  const qdStringView folded = foldForCompare(aLocale, aFlags, s, tlScratchA);
  std::vector<uint8_t> key;
  if ((aFlags & SORT_STRINGSORT) || !hasWordSortIgnored(folded)) {
    appendSortKey(collator, folded, key);
    return key;
  }
  // Word sort, matching qdCompareString: the key of the text without hyphens
  // and apostrophes (with its terminating zero), then the key of the text.
  appendSortKey(collator, stripWordSortIgnored(folded, tlScratchA.stripped), key);
  appendSortKey(collator, folded, key);
  return key;
}

// ---- Mapping and folding -------------------------------------------------------------

qdString qdUpperCase(qdStringView s) { return mapSimpleCase(s, true); }
qdString qdLowerCase(qdStringView s) { return mapSimpleCase(s, false); }
qdString qdLinguisticUpperCase(TqdLCID aLocale, qdStringView s) { return mapLinguisticCase(aLocale, s, true); }
qdString qdLinguisticLowerCase(TqdLCID aLocale, qdStringView s) { return mapLinguisticCase(aLocale, s, false); }

qdString qdFoldCase(TqdLCID aLocale, qdStringView s) {
  qdString result;
  foldCaseInto(aLocale, s, result);
  return result;
}

bool qdLCMapString(TqdLCID aLocale, uint32_t aFlags, qdStringView s, qdString& aResult) {
  constexpr uint32_t kCase = LCMAP_LOWERCASE | LCMAP_UPPERCASE;
  constexpr uint32_t kMapping = kCase | LCMAP_BYTEREV | LCMAP_HIRAGANA | LCMAP_KATAKANA | LCMAP_HALFWIDTH |
                                LCMAP_FULLWIDTH | LCMAP_LINGUISTIC_CASING;
  constexpr uint32_t kStripping = NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS;
  auto refuse = [] {
    errno = EINVAL;
    return false;
  };
  if (aFlags & LCMAP_SORTKEY) {
    if (aFlags & ~(LCMAP_SORTKEY | qdCompareFlagsMask)) return refuse();
    const std::vector<uint8_t> key = qdGetSortKey(aLocale, aFlags & qdCompareFlagsMask, s);
    aResult.assign((key.size() + 1) / 2, u'\0');
    for (size_t i = 0; i < key.size(); ++i)
      aResult[i / 2] = static_cast<char16_t>(aResult[i / 2] | (key[i] << (8 * (i % 2))));
    return true;
  }
  if (aFlags == 0 || (aFlags & ~(kMapping | kStripping)) != 0) return refuse();
  if ((aFlags & kCase) == kCase || (aFlags & (LCMAP_HIRAGANA | LCMAP_KATAKANA)) == (LCMAP_HIRAGANA | LCMAP_KATAKANA) ||
      (aFlags & (LCMAP_HALFWIDTH | LCMAP_FULLWIDTH)) == (LCMAP_HALFWIDTH | LCMAP_FULLWIDTH) ||
      ((aFlags & LCMAP_LINGUISTIC_CASING) && (aFlags & kCase) == 0))
    return refuse();
  qdString current(s), next;
  if (aFlags & kStripping) {
    // Stripping works on the decomposed text; the result is composed again.
    FoldScratch scratch;
    normalize(nfcInstance(), foldForCompare(aLocale, aFlags & kStripping, current, scratch), next);
    current.swap(next);
  }
  // Full width first so that half-width katakana take part in the kana
  // mapping; half width last so that it sees the mapped kana.
  if (aFlags & LCMAP_FULLWIDTH) {
    mapFullWidth(current, next);
    current.swap(next);
  }
  if (aFlags & (LCMAP_HIRAGANA | LCMAP_KATAKANA)) {
    mapKana(current, (aFlags & LCMAP_KATAKANA) != 0, next);
    current.swap(next);
  }
  if (aFlags & LCMAP_HALFWIDTH) {
    mapHalfWidth(current, next);
    current.swap(next);
  }
  if (aFlags & kCase) {
    const bool upper = (aFlags & LCMAP_UPPERCASE) != 0;
    current =
        (aFlags & LCMAP_LINGUISTIC_CASING) ? mapLinguisticCase(aLocale, current, upper) : mapSimpleCase(current, upper);
  }
  if (aFlags & LCMAP_BYTEREV)
    for (char16_t& c : current) c = static_cast<char16_t>((c << 8) | (c >> 8));
  aResult.swap(current);
  return true;
}

bool qdFoldString(uint32_t aFlags, qdStringView s, qdString& aResult) {
  constexpr uint32_t kAll = MAP_FOLDCZONE | MAP_PRECOMPOSED | MAP_COMPOSITE | MAP_FOLDDIGITS | MAP_EXPAND_LIGATURES;
  if (aFlags == 0 || (aFlags & ~kAll) != 0 || (aFlags & MAP_PRECOMPOSED && aFlags & MAP_COMPOSITE) ||
      (aFlags & MAP_EXPAND_LIGATURES && aFlags & (MAP_PRECOMPOSED | MAP_COMPOSITE))) {
    errno = EINVAL;
    return false;
  }
  qdString current;
  current.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    if ((aFlags & MAP_FOLDCZONE) && c >= 0xF900 && c <= 0xFFEF &&
        u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) != U_DT_NONE) {
      qdString one, folded;
      appendCodePoint(one, c);
      normalize(nfkcInstance(), one, folded);
      current += folded;
      continue;
    }
    if (aFlags & MAP_FOLDDIGITS) {
      const int32_t type = u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE);
      if (type == U_NT_DECIMAL || type == U_NT_DIGIT) {
        const double value = u_getNumericValue(c);
        if (value >= 0 && value <= 9) {
          current.push_back(static_cast<char16_t>(u'0' + static_cast<int>(value)));
          continue;
        }
      }
    }
    if (aFlags & MAP_EXPAND_LIGATURES) {
      static constexpr struct {
        UChar32 ligature;
        const char16_t* expansion;
      } kLigatures[] = {{0x00C6, u"AE"}, {0x00E6, u"ae"}, {0x0152, u"OE"}, {0x0153, u"oe"},
                        {0x00DF, u"ss"}, {0x0132, u"IJ"}, {0x0133, u"ij"}};
      const auto* hit = std::find_if(std::begin(kLigatures), std::end(kLigatures),
                                     [c](const auto& entry) { return entry.ligature == c; });
      if (hit != std::end(kLigatures)) {
        current += hit->expansion;
        continue;
      }
      if (c >= 0xFB00 && c <= 0xFB06) {
        qdString one, expanded;
        appendCodePoint(one, c);
        normalize(nfkcInstance(), one, expanded);
        current += expanded;
        continue;
      }
    }
    appendCodePoint(current, c);
  }
  if (aFlags & MAP_PRECOMPOSED) {
    normalize(nfcInstance(), current, aResult);
  } else if (aFlags & MAP_COMPOSITE) {
    normalize(nfdInstance(), current, aResult);
  } else {
    aResult.swap(current);
  }
  return true;
}

// ---- Code pages ------------------------------------------------------------------

uint32_t qdResolveCodePage(uint32_t aCodePage) {
  return aCodePage == CP_ACP || aCodePage == CP_THREAD_ACP ? profileAnsiCodePage() : aCodePage;
}

bool qdIsSupportedCodePage(uint32_t aCodePage) { return converterFor(aCodePage) != nullptr; }

std::vector<uint32_t> qdEnumSystemCodePages() {
  std::vector<uint32_t> result;
  for (const auto& entry : kCodePages)
    if (qdIsSupportedCodePage(entry.codePage)) result.push_back(entry.codePage);
  return result;
}

bool qdGetCodePageInfoName(uint32_t aCodePage, qdString& aName) {
  aCodePage = qdResolveCodePage(aCodePage);
  const CodePageEntry* entry = codePageEntry(aCodePage);
  if (entry == nullptr || !qdIsSupportedCodePage(aCodePage)) {
    errno = EINVAL;
    return false;
  }
  aName = AsciiToString(std::to_string(aCodePage)) + u"  (" + entry->description + u")";
  return true;
}

bool qdIsDBCSLeadByteEx(uint32_t aCodePage, uint8_t aByte) {
  switch (qdResolveCodePage(aCodePage)) {
    case 932:
      return (aByte >= 0x81 && aByte <= 0x9F) || (aByte >= 0xE0 && aByte <= 0xFC);
    case 936:
    case 949:
    case 950:
      return aByte >= 0x81 && aByte <= 0xFE;
    case 1361:
      return (aByte >= 0x84 && aByte <= 0xD3) || (aByte >= 0xD8 && aByte <= 0xDE) || (aByte >= 0xE0 && aByte <= 0xF9);
    default:
      return false;
  }
}

size_t qdCharBoundaryLength(uint32_t aCodePage, std::string_view aBytes, size_t aMaxBytes) {
  const size_t limit = std::min(aBytes.size(), aMaxBytes);
  const uint32_t codePage = qdResolveCodePage(aCodePage);
  if (limit == aBytes.size()) return limit;
  if (codePage == CP_UTF8) {
    // Step back over continuation bytes to the start of the character that
    // the limit cuts, unless the limit already falls on a character start.
    size_t at = limit;
    while (at > 0 && (static_cast<uint8_t>(aBytes[at]) & 0xC0) == 0x80) --at;
    return at;
  }
  size_t at = 0;
  while (at < limit) {
    const size_t width = qdIsDBCSLeadByteEx(codePage, static_cast<uint8_t>(aBytes[at])) ? 2 : 1;
    if (at + width > limit) break;
    at += width;
  }
  return at;
}

int qdCodePageMaxCharSize(uint32_t aCodePage) {
  ThreadConverters::Slot* slot = converterFor(aCodePage);
  return slot == nullptr ? 0 : ucnv_getMaxCharSize(slot->converter);
}

int32_t qdMultiByteToWideChar(uint32_t aCodePage, const char* aSource, int32_t aSourceCount, char16_t* aDest,
                              int32_t aDestCount) {
  ThreadConverters::Slot* slot = converterFor(aCodePage);
  if (slot == nullptr || aSource == nullptr || aSourceCount <= 0 || aDestCount < 0 ||
      (aDest == nullptr && aDestCount > 0)) {
    errno = EINVAL;
    return 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = ucnv_toUChars(slot->converter, reinterpret_cast<UChar*>(aDestCount > 0 ? aDest : nullptr),
                                  aDestCount, aSource, aSourceCount, &status);
  if (!checkConversion(status, aDestCount)) return 0;
  if (aDestCount == 0) return n;
  if (slot->context->codePage == 932)
    for (int32_t i = 0; i < n; ++i) aDest[i] = cp932ControlToUnicode(aDest[i]);
  return n;
}

int32_t qdWideCharToMultiByte(uint32_t aCodePage, const char16_t* aSource, int32_t aSourceCount, char* aDest,
                              int32_t aDestCount, bool* aUsedDefaultChar) {
  ThreadConverters::Slot* slot = converterFor(aCodePage);
  if (slot == nullptr || aSource == nullptr || aSourceCount <= 0 || aDestCount < 0 ||
      (aDest == nullptr && aDestCount > 0)) {
    errno = EINVAL;
    return 0;
  }
  slot->context->usedDefaultChar = false;
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = ucnv_fromUChars(slot->converter, aDestCount > 0 ? aDest : nullptr, aDestCount,
                                    reinterpret_cast<const UChar*>(aSource), aSourceCount, &status);
  if (aUsedDefaultChar != nullptr) *aUsedDefaultChar = slot->context->usedDefaultChar;
  if (!checkConversion(status, aDestCount)) return 0;
  if (aDestCount == 0) return n;
  if (slot->context->codePage == 932)
    for (int32_t i = 0; i < n; ++i) aDest[i] = cp932ControlToByte(aDest[i]);
  return n;
}

bool qdDecodeCodePage(uint32_t aCodePage, std::string_view aBytes, qdString& aResult) {
  aResult.clear();
  if (converterFor(aCodePage) == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (aBytes.empty()) return true;
  const int32_t count = checkedLength(aBytes.size());
  const int32_t n = qdMultiByteToWideChar(aCodePage, aBytes.data(), count, nullptr, 0);
  if (n <= 0) return false;
  aResult.resize(static_cast<size_t>(n));
  const int32_t m = qdMultiByteToWideChar(aCodePage, aBytes.data(), count, aResult.data(), n);
  aResult.resize(static_cast<size_t>(std::max(m, 0)));
  return m > 0;
}

bool qdEncodeCodePage(uint32_t aCodePage, qdStringView aText, std::string& aResult, bool* aUsedDefaultChar) {
  aResult.clear();
  if (aUsedDefaultChar != nullptr) *aUsedDefaultChar = false;
  if (converterFor(aCodePage) == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (aText.empty()) return true;
  const int32_t count = checkedLength(aText.size());
  const int32_t n = qdWideCharToMultiByte(aCodePage, aText.data(), count, nullptr, 0);
  if (n <= 0) return false;
  aResult.resize(static_cast<size_t>(n));
  const int32_t m = qdWideCharToMultiByte(aCodePage, aText.data(), count, aResult.data(), n, aUsedDefaultChar);
  aResult.resize(static_cast<size_t>(std::max(m, 0)));
  return m > 0;
}

// ---- Unit start and end ------------------------------------------------------------

void qdNlsInitialize() {}

void qdNlsFinalize() { collators().Clear(); }

}  // namespace qd
