#include "foundation/qdllUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "foundation/qdllWideString.h"
#include "platform/qdLittleEndian.h"

namespace qd {

namespace {

template <class T>
int threeWay(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

uint8_t asciiUpper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }
char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

int32_t compareShortStrings(const uint8_t* a, const uint8_t* b, int32_t n, bool aIgnoreCase) {
  const int32_t la = std::min<int32_t>(a[0], std::max(n, 0));
  const int32_t lb = std::min<int32_t>(b[0], std::max(n, 0));
  const int32_t common = std::min(la, lb);
  for (int32_t i = 1; i <= common; ++i) {
    const uint8_t ca = aIgnoreCase ? asciiUpper(a[i]) : a[i];
    const uint8_t cb = aIgnoreCase ? asciiUpper(b[i]) : b[i];
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return threeWay(la, lb);
}

int32_t strLComp(const char16_t* a, const char16_t* b, int32_t n, bool aIgnoreCase) {
  for (int32_t i = 0; i < n; ++i) {
    const char16_t ca = aIgnoreCase ? asciiUpper(a[i]) : a[i];
    const char16_t cb = aIgnoreCase ? asciiUpper(b[i]) : b[i];
    if (ca != cb) return static_cast<int32_t>(ca) - static_cast<int32_t>(cb);
    if (ca == 0) break;  // a terminator both share
  }
  return 0;
}

uint8_t* bytes(void* p) { return static_cast<uint8_t*>(p); }
const uint8_t* bytes(const void* p) { return static_cast<const uint8_t*>(p); }

size_t bitArrayBytes(int32_t aBits) { return aBits > 0 ? (static_cast<size_t>(aBits) + 7) / 8 : 0; }

// ---- Identifiers ---------------------------------------------------------------

bool isIdentifierChar(char16_t c) {
  if (c >= u'0' && c <= u'9') return true;
  if (c >= u'A' && c <= u'Z') return true;
  if (c >= u'a' && c <= u'z') return true;
  switch (c) {
    case u' ':
    case u'!':
    case u'#':
    case u'$':
    case u'%':
    case u'&':
    case u'(':
    case u')':
    case u'+':
    case u'-':
    case u'.':
    case u'@':
    case u'[':
    case u']':
    case u'^':
    case u'_':
    case u'{':
    case u'}':
    case u'~':
      return true;
    default:
      return false;
  }
}

bool isReservedTableNameChar(char16_t c) {
  switch (c) {
    case u'"':
    case u'*':
    case u'.':
    case u'/':
    case u':':
    case u'<':
    case u'>':
    case u'?':
    case u'\\':
    case u'|':
      return true;
    default:
      return false;
  }
}

TqdResult identifierError(TqdResult aErrorCode, qdStringView aDetail) {
  return EqdBaseException::qdSetMessage(aErrorCode, qdOriginalMessageMarker() + qdString(aDetail));
}

// ---- Locale and code-page lists ------------------------------------------------------

struct BuiltInLocaleName {
  TqdLCID id;
  const char16_t* name;
};

// Display names used before asking the system.
constexpr BuiltInLocaleName kBuiltInLocaleNames[] = {
    {0x0436, u"Afrikaans"},
    {0x041C, u"Albanian"},
    {0x1401, u"Arabic (Algeria)"},
    {0x3C01, u"Arabic (Bahrain)"},
    {0x0C01, u"Arabic (Egypt)"},
    {0x0801, u"Arabic (Iraq)"},
    {0x2C01, u"Arabic (Jordan)"},
    {0x3401, u"Arabic (Kuwait)"},
    {0x3001, u"Arabic (Lebanon)"},
    {0x1001, u"Arabic (Libya)"},
    {0x1801, u"Arabic (Morocco)"},
    {0x2001, u"Arabic (Oman)"},
    {0x4001, u"Arabic (Qatar)"},
    {0x0401, u"Arabic (Saudi Arabia)"},
    {0x2801, u"Arabic (Syria)"},
    {0x1C01, u"Arabic (Tunisia)"},
    {0x3801, u"Arabic (U.A.E.)"},
    {0x2401, u"Arabic (Yemen)"},
    {0x042B, u"Armenian"},
    {0x082C, u"Azeri (Cyrillic)"},
    {0x042C, u"Azeri (Latin)"},
    {0x042D, u"Basque"},
    {0x0423, u"Belarusian"},
    {0x0402, u"Bulgarian"},
    {0x0403, u"Catalan"},
    {0x0C04, u"Chinese (Hong Kong S.A.R.) Stroke Count"},
    {0x1404, u"Chinese (Macau S.A.R.) Pronunciation"},
    {0x21404, u"Chinese (Macau S.A.R.) Stroke Count"},
    {0x0804, u"Chinese (PRC) Pronunciation"},
    {0x20804, u"Chinese (PRC) Stroke Count"},
    {0x1004, u"Chinese (Singapore) Pronunciation"},
    {0x21004, u"Chinese (Singapore) Stroke Count"},
    {0x30404, u"Chinese (Taiwan) Bopomofo"},
    {0x0404, u"Chinese (Taiwan) Stroke Count"},
    {0x041A, u"Croatian"},
    {0x0405, u"Czech"},
    {0x0406, u"Danish"},
    {0x0465, u"Divehi"},
    {0x0813, u"Dutch (Belgium)"},
    {0x0413, u"Dutch (Netherlands)"},
    {0x0C09, u"English (Australia)"},
    {0x2809, u"English (Belize)"},
    {0x1009, u"English (Canada)"},
    {0x2409, u"English (Caribbean)"},
    {0x1809, u"English (Ireland)"},
    {0x2009, u"English (Jamaica)"},
    {0x1409, u"English (New Zealand)"},
    {0x3409, u"English (Philippines)"},
    {0x1C09, u"English (South Africa)"},
    {0x2C09, u"English (Trinidad)"},
    {0x0809, u"English (United Kingdom)"},
    {0x0409, u"English (United States)"},
    {0x3009, u"English (Zimbabwe)"},
    {0x0425, u"Estonian"},
    {0x0438, u"Faroese"},
    {0x0429, u"Farsi"},
    {0x040B, u"Finnish"},
    {0x080C, u"French (Belgium)"},
    {0x0C0C, u"French (Canada)"},
    {0x040C, u"French (France)"},
    {0x140C, u"French (Luxembourg)"},
    {0x180C, u"French (Monaco)"},
    {0x100C, u"French (Switzerland)"},
    {0x042F, u"FYRO Macedonian"},
    {0x0456, u"Galician"},
    {0x10437, u"Georgian Modern"},
    {0x0437, u"Georgian Traditional"},
    {0x0C07, u"German (Austria)"},
    {0x0407, u"German (Germany) Dictionary"},
    {0x10407, u"German (Germany) Phone Book (DIN)"},
    {0x1407, u"German (Liechtenstein)"},
    {0x1007, u"German (Luxembourg)"},
    {0x0807, u"German (Switzerland)"},
    {0x0408, u"Greek"},
    {0x0447, u"Gujarati"},
    {0x040D, u"Hebrew"},
    {0x0439, u"Hindi"},
    {0x040E, u"Hungarian"},
    {0x1040E, u"Hungarian Technical"},
    {0x040F, u"Icelandic"},
    {0x0421, u"Indonesian"},
    {0x0410, u"Italian (Italy)"},
    {0x0810, u"Italian (Switzerland)"},
    {0x0411, u"Japanese XJIS"},
    {0x044B, u"Kannada"},
    {0x043F, u"Kazakh"},
    {0x0457, u"Konkani"},
    {0x0412, u"Korean Dictionary"},
    {0x0440, u"Kyrgyz (Cyrillic)"},
    {0x0426, u"Latvian"},
    {0x0427, u"Lithuanian"},
    {0x083E, u"Malay (Brunei Darussalam)"},
    {0x043E, u"Malay (Malaysia)"},
    {0x044E, u"Marathi"},
    {0x0450, u"Mongolian (Cyrillic)"},
    {0x0414, u"Norwegian (Bokmal)"},
    {0x0814, u"Norwegian (Nynorsk)"},
    {0x0415, u"Polish"},
    {0x0416, u"Portuguese (Brazil)"},
    {0x0816, u"Portuguese (Portugal)"},
    {0x0446, u"Punjabi"},
    {0x0418, u"Romanian"},
    {0x0419, u"Russian"},
    {0x044F, u"Sanskrit"},
    {0x0C1A, u"Serbian (Cyrillic)"},
    {0x081A, u"Serbian (Latin)"},
    {0x041B, u"Slovak"},
    {0x0424, u"Slovenian"},
    {0x2C0A, u"Spanish (Argentina)"},
    {0x400A, u"Spanish (Bolivia)"},
    {0x340A, u"Spanish (Chile)"},
    {0x240A, u"Spanish (Colombia)"},
    {0x140A, u"Spanish (Costa Rica)"},
    {0x1C0A, u"Spanish (Dominican Republic)"},
    {0x300A, u"Spanish (Ecuador)"},
    {0x440A, u"Spanish (El Salvador)"},
    {0x100A, u"Spanish (Guatemala)"},
    {0x480A, u"Spanish (Honduras)"},
    {0x0C0A, u"Spanish (International Sort) International"},
    {0x080A, u"Spanish (Mexico)"},
    {0x4C0A, u"Spanish (Nicaragua)"},
    {0x180A, u"Spanish (Panama)"},
    {0x3C0A, u"Spanish (Paraguay)"},
    {0x280A, u"Spanish (Peru)"},
    {0x500A, u"Spanish (Puerto Rico)"},
    {0x040A, u"Spanish (Traditional Sort) Traditional"},
    {0x380A, u"Spanish (Uruguay)"},
    {0x200A, u"Spanish (Venezuela)"},
    {0x0441, u"Swahili"},
    {0x041D, u"Swedish"},
    {0x081D, u"Swedish (Finland)"},
    {0x045A, u"Syriac"},
    {0x0449, u"Tamil"},
    {0x0444, u"Tatar"},
    {0x044A, u"Telugu"},
    {0x041E, u"Thai"},
    {0x041F, u"Turkish"},
    {0x0422, u"Ukrainian"},
    {0x0420, u"Urdu"},
    {0x0843, u"Uzbek (Cyrillic)"},
    {0x0443, u"Uzbek (Latin)"},
    {0x042A, u"Vietnamese"},
};

const char16_t* builtInLocaleName(TqdLCID aLocale) {
  for (const auto& entry : kBuiltInLocaleNames)
    if (entry.id == aLocale) return entry.name;
  return nullptr;
}

bool sameIgnoringCase(qdStringView a, qdStringView b) {
  return a.size() == b.size() && qdLowerCase(a) == qdLowerCase(b);
}

qdString trimmed(qdStringView s) {
  const size_t first = s.find_first_not_of(u' ');
  if (first == qdStringView::npos) return {};
  const size_t last = s.find_last_not_of(u' ');
  return qdString(s.substr(first, last - first + 1));
}

void sortByName(TqdNamedIdList& aList) {
  std::stable_sort(aList.begin(), aList.end(), [](const TqdNamedId& a, const TqdNamedId& b) {
    return qdCompareStringWIgnoreCase(a.Name, b.Name) < 0;
  });
}

TqdNamedIdList buildLocaleList() {
  std::vector<TqdLCID> ids = qdEnumSystemLocales(true);
  if (ids.empty()) ids = qdEnumSystemLocales(false);
  TqdNamedIdList list;
  list.reserve(ids.size());
  for (TqdLCID id : ids) {
    qdString name;
    if (const char16_t* builtIn = builtInLocaleName(id)) {
      name = builtIn;
    } else {
      name = qdLocaleLanguageName(id);
      const qdString sort = qdLocaleSortName(id);
      if (!sort.empty() && !sameIgnoringCase(sort, u"Default")) name += u" " + sort;
      name = trimmed(name);
    }
    list.push_back(TqdNamedId{std::move(name), static_cast<int32_t>(id)});
  }
  sortByName(list);
  return list;
}

TqdNamedIdList buildCodePageList() {
  TqdNamedIdList list;
  for (uint32_t codePage : qdEnumSystemCodePages()) {
    qdString info;
    if (!qdGetCodePageInfoName(codePage, info)) continue;  // its information cannot be read
    const size_t open = info.find(u'(');
    if (open != qdString::npos) {
      const size_t close = info.find(u')', open + 1);
      info = info.substr(open + 1, close == qdString::npos ? qdString::npos : close - open - 1);
    }
    list.push_back(TqdNamedId{std::move(info), static_cast<int32_t>(codePage)});
  }
  sortByName(list);
  return list;
}

// A list built once on first use; readers after that take no lock.
class LazyList {
 public:
  explicit LazyList(TqdNamedIdList (*aBuild)()) : fBuild(aBuild) {}

  const TqdNamedIdList& Get() {
    if (const TqdNamedIdList* list = fList.load(std::memory_order_acquire)) return *list;
    std::lock_guard guard(fLock);
    if (const TqdNamedIdList* list = fList.load(std::memory_order_relaxed)) return *list;  // built meanwhile
    auto* built = new TqdNamedIdList(fBuild());
    fList.store(built, std::memory_order_release);
    return *built;
  }

  void Free() {
    std::lock_guard guard(fLock);
    delete fList.exchange(nullptr, std::memory_order_acq_rel);
  }

 private:
  TqdNamedIdList (*fBuild)();
  std::mutex fLock;
  std::atomic<const TqdNamedIdList*> fList{nullptr};
};

LazyList& localeList() {
  static LazyList list(buildLocaleList);
  return list;
}

LazyList& codePageList() {
  static LazyList list(buildCodePageList);
  return list;
}

// Settings handed out stay where they are until the unit ends.
struct FormatSettingsCache {
  std::mutex lock;
  std::map<TqdLCID, std::unique_ptr<TFormatSettings>> byLocale;  // guarded by lock
};

FormatSettingsCache& formatSettingsCache() {
  static FormatSettingsCache cache;
  return cache;
}

int32_t idFromName(const TqdNamedIdList& aList, qdStringView aName) {
  for (const auto& entry : aList)
    if (sameIgnoringCase(entry.Name, aName)) return entry.Id;
  return -1;
}

const TqdNamedId* entryOfId(const TqdNamedIdList& aList, int32_t aId) {
  for (const auto& entry : aList)
    if (entry.Id == aId) return &entry;
  return nullptr;
}

// ---- Files and system -----------------------------------------------------------------

// 100 ns units since 1601-01-01: the stored form of file times.
uint64_t fileTime(int64_t aSeconds, uint32_t aNanoseconds) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  if (aSeconds < -kSecondsFrom1601To1970) return 0;
  return static_cast<uint64_t>(aSeconds + kSecondsFrom1601To1970) * 10000000u + aNanoseconds / 100;
}

uint64_t meminfoValue(const std::string& aKey) {
  std::ifstream in("/proc/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, aKey.size(), aKey) == 0 && line.size() > aKey.size() && line[aKey.size()] == ':') {
      std::istringstream fields(line.substr(aKey.size() + 1));
      uint64_t kilobytes = 0;
      fields >> kilobytes;
      return kilobytes * 1024;
    }
  }
  return 0;
}

std::vector<std::string> processArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  if (!arguments.empty()) arguments.erase(arguments.begin());  // the program itself
  return arguments;
}

// ---- Base64 ----------------------------------------------------------------------------

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint8_t base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 61;  // anything else, the pad character included
}

}  // namespace

// ---- Three-way comparisons ---------------------------------------------------------

int qdCompareByte(uint8_t a, uint8_t b) { return threeWay(a, b); }
int qdCompareWord(uint16_t a, uint16_t b) { return threeWay(a, b); }
int qdCompareCardinal(uint32_t a, uint32_t b) { return threeWay(a, b); }
int qdCompareShortInt(int8_t a, int8_t b) { return threeWay(a, b); }
int qdCompareSmallInt(int16_t a, int16_t b) { return threeWay(a, b); }
int qdCompareInteger(int32_t a, int32_t b) { return threeWay(a, b); }
int qdCompareInt64(int64_t a, int64_t b) { return threeWay(a, b); }
int8_t qdCompareInt64Ref(const int64_t* a, const int64_t* b) { return static_cast<int8_t>(threeWay(*a, *b)); }
int qdComparePointer(const void* a, const void* b) {
  return threeWay(reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b));
}
int qdCompareObjects(const void* a, const void* b) { return qdComparePointer(a, b); }
int qdCompareSingle(float a, float b) { return a < b ? -1 : (a > b ? 1 : 0); }
int qdCompareDouble(double a, double b) { return a < b ? -1 : (a > b ? 1 : 0); }

int qdCompareBytes(const void* a, const void* b, int32_t n) {
  if (n <= 0) return 0;
  const int r = std::memcmp(a, b, static_cast<size_t>(n));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int qdCompareByteArrays(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (!a.empty() && !b.empty()) {
    const int r = qdCompareBytes(a.data(), b.data(), static_cast<int32_t>(std::min(a.size(), b.size())));
    if (r != 0) return r;
  }
  return threeWay(a.size(), b.size());
}

int qdCompareShortStrings(const uint8_t* a, const uint8_t* b, int32_t n) { return compareShortStrings(a, b, n, false); }
int qdCompareShortStringsIgnoreCase(const uint8_t* a, const uint8_t* b, int32_t n) {
  return compareShortStrings(a, b, n, true);
}

int qdCompareStringW(qdStringView a, qdStringView b) { return qdCompareString(LOCALE_SYSTEM_DEFAULT, 0, a, b); }
int qdCompareStringWIgnoreCase(qdStringView a, qdStringView b) {
  return qdCompareString(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a, b);
}

int32_t qdStrLCompW(const char16_t* a, const char16_t* b, int32_t n) { return strLComp(a, b, n, false); }
int32_t qdStrLICompW(const char16_t* a, const char16_t* b, int32_t n) { return strLComp(a, b, n, true); }

// ---- Equality and search ---------------------------------------------------------------

bool qdSameByteArrays(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { return a == b; }

bool qdSameGuid(const void* a, const void* b) { return std::memcmp(a, b, 16) == 0; }

bool qdStartsWith(qdStringView s, qdStringView aPrefix) { return s.substr(0, aPrefix.size()) == aPrefix; }

const char16_t* qdWideStrPos(const char16_t* s, const char16_t* aSub) {
  if (s == nullptr || aSub == nullptr || aSub[0] == 0) return nullptr;
  const qdStringView text(s);
  const size_t at = text.find(qdStringView(aSub));
  return at == qdStringView::npos ? nullptr : s + at;
}

int qdWideStrContainsCompare(const char16_t* s, const char16_t* aSub) {
  return qdWideStrPos(s, aSub) != nullptr ? 0 : -1;
}

// ---- Bit arrays ------------------------------------------------------------------------

void qdClearBitArray(void* p, int32_t aBits) { std::memset(p, 0, bitArrayBytes(aBits)); }
void qdSetBitArray(void* p, int32_t aBits) { std::memset(p, 0xFF, bitArrayBytes(aBits)); }
void qdBitClear(void* p, int32_t aBit) { bytes(p)[aBit >> 3] &= static_cast<uint8_t>(~(1u << (aBit & 7))); }
void qdBitSet(void* p, int32_t aBit) { bytes(p)[aBit >> 3] |= static_cast<uint8_t>(1u << (aBit & 7)); }
bool qdBitIsSet(const void* p, int32_t aBit) { return (bytes(p)[aBit >> 3] >> (aBit & 7)) & 1; }

int32_t qdFindFirstClearBit(const void* p, int32_t aCount) {
  const uint8_t* b = bytes(p);
  for (int32_t i = 0; i < aCount; ++i) {
    if ((i & 7) == 0 && b[i >> 3] == 0xFF && i + 8 <= aCount) {
      i += 7;  // a full byte of set bits
      continue;
    }
    if (!qdBitIsSet(p, i)) return i;
  }
  return -1;
}

void qdOrBitArrays(void* aDest, const void* aSource, int32_t aBits) {
  const size_t n = bitArrayBytes(aBits);
  for (size_t i = 0; i < n; ++i) bytes(aDest)[i] |= bytes(aSource)[i];
}

// ---- Hashing -------------------------------------------------------------------------------

uint32_t qdElfHash(const void* p, int32_t n) {
  uint32_t h = 0;
  for (int32_t i = 0; i < n; ++i) {
    h = (h << 4) + bytes(p)[i];
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

uint32_t qdElfHashString(qdStringView s) {
  std::string utf16;
  utf16.reserve(s.size() * 2);
  for (char16_t c : s) {
    utf16.push_back(static_cast<char>(c & 0xFF));
    utf16.push_back(static_cast<char>(c >> 8));
  }
  return qdElfHash(utf16.data(), static_cast<int32_t>(utf16.size()));
}

// ---- Texts of numbers ------------------------------------------------------------------------

qdString qdIntToStr(int32_t aValue) { return AsciiToString(std::to_string(aValue)); }
qdString qdInt64ToStr(int64_t aValue) { return AsciiToString(std::to_string(aValue)); }
qdAnsiString qdIntToAnsiStr(int32_t aValue) { return std::to_string(aValue); }
qdAnsiString qdInt64ToAnsiStr(int64_t aValue) { return std::to_string(aValue); }

qdString qdFloatToStr(const TFormatSettings& aSettings, double aValue) { return FloatToStr(aValue, aSettings); }

void qdFloatToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, double aValue) {
  aResult = qdWideStringToString(qdFloatToStr(aSettings, aValue));
}

qdString qdTimeToStr(const TFormatSettings& aSettings, TDateTime aValue) {
  return FormatDateTime(aSettings.LongTimeFormat, aValue, aSettings);
}

void qdTimeToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, TDateTime aValue) {
  aResult = qdWideStringToString(qdTimeToStr(aSettings, aValue));
}

qdString qdDateToStr(const TFormatSettings& aSettings, TDateTime aValue) {
  return FormatDateTime(aSettings.ShortDateFormat, aValue, aSettings);
}

void qdDateToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, TDateTime aValue) {
  aResult = qdWideStringToString(qdDateToStr(aSettings, aValue));
}

qdString qdDateTimeToStr(const TFormatSettings& aSettings, TDateTime aValue) {
  qdString text = qdDateToStr(aSettings, aValue);
  if (aValue != std::trunc(aValue)) text += u" " + qdTimeToStr(aSettings, aValue);
  return text;
}

void qdDateTimeToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, TDateTime aValue) {
  aResult = qdWideStringToString(qdDateTimeToStr(aSettings, aValue));
}

qdString qdGuidToStr(const void* aGuid) { return AsciiToString(qdGuidToAnsiStr(aGuid)); }

qdAnsiString qdGuidToAnsiStr(const void* aGuid) {
  const uint8_t* g = bytes(aGuid);
  char text[39];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", qdGetU32(g), qdGetU16(g + 4),
                qdGetU16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

TTimeStamp qdMakeTimeStamp(int32_t aDate, int32_t aTime) {
  TTimeStamp stamp;
  stamp.Date = aDate;
  stamp.Time = aTime;
  return stamp;
}

int32_t qdAnsiStrToIntDef(std::string_view s, int32_t aDefault) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  bool hexadecimal = false;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hexadecimal = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hexadecimal = true;
    i += 2;
  }
  if (i >= s.size()) return aDefault;
  uint64_t value = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hexadecimal && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (hexadecimal && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return aDefault;
    value = value * (hexadecimal ? 16 : 10) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return aDefault;
  }
  if (hexadecimal) {
    // Hexadecimal text gives the 32 bits as they stand.
    const int32_t bits = static_cast<int32_t>(static_cast<uint32_t>(value));
    return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(bits)) : bits;
  }
  if (negative) return value <= 2147483648u ? static_cast<int32_t>(-static_cast<int64_t>(value)) : aDefault;
  return value <= 2147483647u ? static_cast<int32_t>(value) : aDefault;
}

// ---- Identifiers -----------------------------------------------------------------------------

TqdResult qdCheckIdentifier(qdStringView aName, TqdResult aErrorCode, bool aAllowEmpty, bool aAllowReserved) {
  if (aName.empty()) return aAllowEmpty ? qdeSuccess : identifierError(aErrorCode, u" Empty string is not allowed.");
  if (aName.front() == u' ' || aName.back() == u' ')
    return identifierError(aErrorCode, u" Leading/trailing spaces are not allowed.");
  if (aName.size() > qdMaxIdentifierLength)
    return identifierError(aErrorCode, u" Maximum length of 128 characters has been exceeded.");
  for (char16_t c : aName) {
    if (c > 255 || !isIdentifierChar(c))
      return identifierError(aErrorCode, u" \"" + qdString(1, c) + u"\" is not a valid character.");
  }
  if (!aAllowReserved && aName.front() == u'$')
    return identifierError(aErrorCode, u" Reserved Identifier not allowed.");
  return qdeSuccess;
}

qdString qdMakeIdentifier(qdStringView aText) {
  qdString result(aText.substr(0, qdMaxIdentifierLength));
  size_t i = 0;
  for (; i < result.size() && result[i] == u' '; ++i) result[i] = u'_';
  for (; i < result.size(); ++i)
    if (result[i] > 255 || !isIdentifierChar(result[i])) result[i] = u'_';
  for (size_t j = result.size(); j > 0 && result[j - 1] == u' '; --j) result[j - 1] = u'_';
  return result;
}

bool qdHasNoReservedChars(qdStringView s) {
  return std::none_of(s.begin(), s.end(), [](char16_t c) { return c < 256 && isReservedTableNameChar(c); });
}

bool qdIsPlainTableName(qdStringView s) { return !s.empty() && qdHasNoReservedChars(s); }

// ---- Locales and code pages ----------------------------------------------------------------

const TqdNamedIdList& qdGetLocaleList() { return localeList().Get(); }
const TqdNamedIdList& qdGetCodePageList() { return codePageList().Get(); }

int32_t qdLocaleIDFromName(qdStringView aName) { return idFromName(qdGetLocaleList(), aName); }
int32_t qdCodePageFromName(qdStringView aName) { return idFromName(qdGetCodePageList(), aName); }

qdString qdLocaleNameFromID(int32_t aLocaleID) {
  const TqdNamedId* entry = entryOfId(qdGetLocaleList(), aLocaleID);
  return entry != nullptr ? entry->Name : qdString(u"<Unknown>");
}

qdString qdCodePageNameFromID(int32_t aCodePage) {
  const TqdNamedId* entry = entryOfId(qdGetCodePageList(), aCodePage);
  return entry != nullptr ? entry->Name : qdString(u"<Unknown>");
}

bool qdIsValidLocaleID(int32_t aLocaleID) { return entryOfId(qdGetLocaleList(), aLocaleID) != nullptr; }
bool qdIsValidCodePage(int32_t aCodePage) { return entryOfId(qdGetCodePageList(), aCodePage) != nullptr; }

int32_t qdLocaleAnsiCodePageOrMinus1(TqdLCID aLocale) { return qdLocaleAnsiCodePage(aLocale); }

int32_t qdThreadLocaleAnsiCodePage() {
  struct Cache {
    TqdLCID locale = LOCALE_NEUTRAL;
    int32_t codePage = -1;
  };
  thread_local Cache cache;
  const TqdLCID locale = qdConvertDefaultLocale(LOCALE_USER_DEFAULT);
  if (locale != cache.locale) {
    cache.codePage = qdLocaleAnsiCodePage(locale);
    cache.locale = locale;
  }
  return cache.codePage;
}

const TFormatSettings& qdGetFormatSettings(TqdLCID aLocaleID) {
  // The default ids (0, 1024, 2048) stand for the process profile's locale,
  // not for the invariant one.
  const TqdLCID locale = qdConvertDefaultLocale(aLocaleID);
  FormatSettingsCache& cache = formatSettingsCache();
  std::lock_guard guard(cache.lock);
  std::unique_ptr<TFormatSettings>& settings = cache.byLocale[locale];
  if (!settings) settings = std::make_unique<TFormatSettings>(TFormatSettings::Create(locale));
  return *settings;
}

const TFormatSettings& qdInvariantFormatSettings() {
  static const TFormatSettings invariant = TFormatSettings::Invariant();
  return invariant;
}

void qdGetLocaleNLSVersion(TqdLCID aLocaleID, TqdNLSVersionInfoEx& aInfo) {
  aInfo = TqdNLSVersionInfoEx{};
  aInfo.dwEffectiveId = aLocaleID;
  (void)qdGetNLSVersion(aLocaleID, aInfo);  // on failure the record keeps its zeros
  if (!qdIsValidLocaleID(static_cast<int32_t>(aInfo.dwEffectiveId))) aInfo.dwEffectiveId = 0;
}

// ---- Files and system --------------------------------------------------------------------------

bool qdGetFileIdentity(int aHandle, TqdFileIdentity& aIdentity) {
  aIdentity.fill(0);
  struct statx info;
  if (statx(aHandle, "", AT_EMPTY_PATH, STATX_BTIME | STATX_INO, &info) != 0) return false;
  if (info.stx_mask & STATX_BTIME) qdPutU64(&aIdentity[0], fileTime(info.stx_btime.tv_sec, info.stx_btime.tv_nsec));
  qdPutU64(&aIdentity[8], (uint64_t{info.stx_dev_major} << 32) | info.stx_dev_minor);
  qdPutU64(&aIdentity[16], info.stx_ino);
  return true;
}

bool qdGetFileObjectID(int aHandle, TqdFileObjectID& aBuffer) {
  aBuffer.fill(0);
  constexpr size_t kMaxBytes = sizeof(TqdFileObjectID) - 8;
  alignas(struct file_handle) uint8_t storage[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  auto* handle = reinterpret_cast<struct file_handle*>(storage);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  if (name_to_handle_at(aHandle, "", handle, &mountId, AT_EMPTY_PATH) != 0) return false;
  if (handle->handle_bytes > kMaxBytes) {
    errno = EOVERFLOW;
    return false;
  }
  qdPutI32(&aBuffer[0], handle->handle_type);
  qdPutU32(&aBuffer[4], handle->handle_bytes);
  std::memcpy(&aBuffer[8], handle->f_handle, handle->handle_bytes);
  return true;
}

void qdCloseHandleAndNil(int& aHandle) {
  const int handle = std::atomic_ref<int>(aHandle).exchange(0);
  if (handle == 0 || handle == -1) return;
  // After EINTR the descriptor is released all the same on Linux.
  if (close(handle) != 0 && errno != EINTR) qdRaiseLastOSErrorUnknown();
}

void qdGlobalMemoryStatus(TqdMemoryStatusEx& aStatus) {
  aStatus = TqdMemoryStatusEx{};
  struct sysinfo info;
  if (sysinfo(&info) == 0) {
    const uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    aStatus.ullTotalPhys = uint64_t{info.totalram} * unit;
    aStatus.ullAvailPhys = meminfoValue("MemAvailable");
    if (aStatus.ullAvailPhys == 0) aStatus.ullAvailPhys = (uint64_t{info.freeram} + info.bufferram) * unit;
    aStatus.ullAvailPhys = std::min(aStatus.ullAvailPhys, aStatus.ullTotalPhys);
    aStatus.ullTotalPageFile = aStatus.ullTotalPhys + uint64_t{info.totalswap} * unit;
    aStatus.ullAvailPageFile = aStatus.ullAvailPhys + uint64_t{info.freeswap} * unit;
    if (aStatus.ullTotalPhys > 0)
      aStatus.dwMemoryLoad =
          static_cast<uint32_t>((aStatus.ullTotalPhys - aStatus.ullAvailPhys) * 100 / aStatus.ullTotalPhys);
  }
  // The user address space of a 64-bit process with 4-level page tables.
  aStatus.ullTotalVirtual = uint64_t{1} << 47;
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  if (statm >> pages) {
    const uint64_t used = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    aStatus.ullAvailVirtual = used < aStatus.ullTotalVirtual ? aStatus.ullTotalVirtual - used : 0;
  }
}

bool qdFindCmdLineSwitch(qdStringView aSwitch) { return qdFindCmdLineSwitch(aSwitch, processArguments()); }

bool qdFindCmdLineSwitch(qdStringView aSwitch, const std::vector<std::string>& aArguments) {
  for (const std::string& argument : aArguments) {
    if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) continue;
    if (sameIgnoringCase(Utf8ToString(std::string_view(argument).substr(1)), aSwitch)) return true;
  }
  return false;
}

int32_t qdNotifyDatabaseDestroying(void*) { return E_NOTIMPL; }

// ---- Arrays of strings ------------------------------------------------------------------------

TqdUnicodeStrings qdStringsToArray(const TqdStringList& aList) {
  TqdUnicodeStrings array;
  array.reserve(static_cast<size_t>(aList.Count()));
  for (int32_t i = 0; i < aList.Count(); ++i) array.push_back(aList.Strings(i));
  return array;
}

void qdUnicodeStringsToStrings(const TqdUnicodeStrings& aArray, TqdStringList& aList) {
  aList.Clear();
  for (const qdString& s : aArray) aList.Add(s);
}

TqdUnicodeStrings qdUnicodeStringsFromString(qdStringView s) {
  return s.empty() ? TqdUnicodeStrings{} : TqdUnicodeStrings{qdString(s)};
}

void qdUnicodeStringsAdd(TqdUnicodeStrings& aArray, qdStringView s) { aArray.emplace_back(s); }

qdString qdUnicodeStringsDelete(TqdUnicodeStrings& aArray, int32_t aIndex) {
  if (aIndex < 0 || static_cast<size_t>(aIndex) >= aArray.size())
    throw ERangeError("qdUnicodeStringsDelete: index out of range");
  qdString element = std::move(aArray[static_cast<size_t>(aIndex)]);
  aArray.erase(aArray.begin() + aIndex);
  return element;
}

int32_t qdVarArrayCount(const TqdVariant& aValue) {
  if (aValue.VarType() == varByteArray) return static_cast<int32_t>(aValue.Bytes().size());
  return static_cast<int32_t>(aValue.Elements().size());
}

// ---- Base64 --------------------------------------------------------------------------------------

qdAnsiString StrToBase64(std::string_view s) {
  std::string padded(s);
  size_t k = 0;
  while (padded.size() < 3 || padded.size() % 3 != 0) {
    padded.push_back('\0');
    ++k;
  }
  std::string out;
  out.reserve(padded.size() / 3 * 4);
  for (size_t i = 0; i < padded.size(); i += 3) {
    const uint32_t group = (uint32_t{static_cast<uint8_t>(padded[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(padded[i + 1])} << 8) | static_cast<uint8_t>(padded[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kBase64Alphabet[(group >> shift) & 0x3F]);
  }
  std::fill(out.end() - static_cast<std::ptrdiff_t>(k), out.end(), '=');
  return out;
}

qdAnsiString Base64ToStr(std::string_view s) {
  if (s.size() < 4 || s.size() % 4 != 0) throw Exception("Base64ToStr: illegal input length!");
  size_t n = 0;
  while (n < s.size() && s[s.size() - 1 - n] == '=') ++n;
  std::string out;
  out.reserve(s.size() / 4 * 3);
  for (size_t i = 0; i < s.size(); i += 4) {
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) group = (group << 6) | base64Value(s[i + j]);
    out.push_back(static_cast<char>(group >> 16));
    out.push_back(static_cast<char>(group >> 8));
    out.push_back(static_cast<char>(group));
  }
  out.resize(out.size() - std::min(n, out.size()));
  return out;
}

void qdllUtilsInitialize() {}

void qdllUtilsFinalize() {
  localeList().Free();
  codePageList().Free();
  FormatSettingsCache& cache = formatSettingsCache();
  std::lock_guard guard(cache.lock);
  cache.byLocale.clear();
}

}  // namespace qd
