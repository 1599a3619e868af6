#include "platform/qdNls.h"

#include "platform/qdProcessProfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace qd {
namespace {

constexpr TqdLCID kJapanese = 0x0411;
constexpr TqdLCID kEnglishUS = 0x0409;
constexpr TqdLCID kGerman = 0x0407;
constexpr TqdLCID kTurkish = 0x041F;

std::string hex(std::string_view aBytes) {
  std::string out;
  char buffer[4];
  for (unsigned char c : aBytes) {
    std::snprintf(buffer, sizeof(buffer), "%02X", c);
    out += buffer;
  }
  return out;
}

std::string units(qdStringView aText) {
  std::string out;
  char buffer[8];
  for (char16_t c : aText) {
    std::snprintf(buffer, sizeof(buffer), "%s%04X", out.empty() ? "" : " ", static_cast<unsigned>(c));
    out += buffer;
  }
  return out;
}

int byteOrder(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const int r = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (r != 0) return r < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// ---- Locale ids -----------------------------------------------------------------

TEST(NlsLocaleTest, IdsMapToIcuLocalesAndAnsiCodePages) {
  struct Case {
    TqdLCID id;
    const char* icu;
    int32_t codePage;
  } cases[] = {
      {0x0411, "ja_JP", 932},
      {0x0409, "en_US", 1252},
      {0x0407, "de_DE", 1252},
      {0x0804, "zh_Hans_CN", 936},
      {0x0412, "ko_KR", 949},
      {0x0404, "zh_Hant_TW", 950},
      {0x0C04, "zh_Hant_HK", 950},
      {0x0419, "ru_RU", 1251},
      {0x0415, "pl_PL", 1250},
      {0x0408, "el_GR", 1253},
      {0x041F, "tr_TR", 1254},
      {0x040D, "he_IL", 1255},
      {0x0401, "ar_SA", 1256},
      {0x0425, "et_EE", 1257},
      {0x042A, "vi_VN", 1258},
      {0x041E, "th_TH", 874},
      {0x0439, "hi_IN", 0},
      {0x0C1A, "sr_Cyrl_CS", 1251},
      {0x081A, "sr_Latn_CS", 1250},
      {0x082C, "az_Cyrl_AZ", 1251},
      {0x042C, "az_Latn_AZ", 1254},
      {0x10407, "de_DE@collation=phonebook", 1252},
      {0x30404, "zh_Hant_TW@collation=zhuyin", 950},
      {0x040A, "es_ES@collation=traditional", 1252},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(qdLocaleToIcuName(c.id), c.icu);
    EXPECT_EQ(qdLocaleAnsiCodePage(c.id), c.codePage);
  }
}

TEST(NlsLocaleTest, UnknownIdsHaveNoLocaleAndNoCodePage) {
  for (TqdLCID id : {0x9999u, 0x40411u /* a sort ICU does not know */, 0x12345u}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(qdLocaleToIcuName(id), "");
    EXPECT_EQ(qdLocaleAnsiCodePage(id), -1);
    EXPECT_EQ(qdLocaleLanguageName(id), u"");
  }
}

TEST(NlsLocaleTest, DefaultAndNeutralIdsBecomeSpecific) {
  struct Case {
    TqdLCID id, expected;
  } cases[] = {
      {LOCALE_NEUTRAL, kJapanese},
      {LOCALE_USER_DEFAULT, kJapanese},
      {LOCALE_SYSTEM_DEFAULT, kJapanese},
      {0x0011, kJapanese},
      {0x0009, kEnglishUS},
      {0x0004, 0x0804},
      {0x0409, 0x0409},
      {0x10407, 0x10407},
  };
  for (const auto& c : cases) EXPECT_EQ(qdConvertDefaultLocale(c.id), c.expected) << std::hex << c.id;
  // The system default's code page is the process's.
  EXPECT_EQ(qdLocaleAnsiCodePage(LOCALE_SYSTEM_DEFAULT), 932);
}

TEST(NlsLocaleTest, DefaultsFollowTheProcessProfile) {
  {
    TqdScopedProcessProfile english(0x0409, 1252);
    EXPECT_EQ(qdConvertDefaultLocale(LOCALE_SYSTEM_DEFAULT), kEnglishUS);
    EXPECT_EQ(qdConvertDefaultLocale(LOCALE_USER_DEFAULT), kEnglishUS);
    EXPECT_EQ(qdLocaleAnsiCodePage(LOCALE_SYSTEM_DEFAULT), 1252);
    EXPECT_EQ(qdResolveCodePage(CP_ACP), 1252u);
    qdString text;
    ASSERT_TRUE(qdDecodeCodePage(CP_ACP, "caf\xE9", text));
    EXPECT_EQ(text, u"café");
    TqdNLSVersionInfoEx info;
    ASSERT_TRUE(qdGetNLSVersion(LOCALE_SYSTEM_DEFAULT, info));
    EXPECT_EQ(info.dwEffectiveId, kEnglishUS);
    // Swedish sorts ö after z, the system locale's order does not.
    EXPECT_EQ(qdCompareString(LOCALE_SYSTEM_DEFAULT, 0, u"ö", u"z"), -1);
  }
  EXPECT_EQ(qdConvertDefaultLocale(LOCALE_SYSTEM_DEFAULT), kJapanese);
  EXPECT_EQ(qdResolveCodePage(CP_ACP), 932u);
  qdString text;
  ASSERT_TRUE(qdDecodeCodePage(CP_ACP, "caf\xE9", text));
  EXPECT_EQ(text, u"caf\u30FB");  // 0xE9 is a lead byte in code page 932
  {
    TqdScopedProcessProfile swedish(0x041D, 1252);
    EXPECT_EQ(qdCompareString(LOCALE_SYSTEM_DEFAULT, 0, u"ö", u"z"), 1);
  }
}

TEST(NlsLocaleTest, NamesOfLanguagesAndSorts) {
  EXPECT_EQ(qdLocaleLanguageName(kJapanese), u"Japanese (Japan)");
  EXPECT_EQ(qdLocaleSortName(kJapanese), u"Default");
  EXPECT_EQ(qdLocaleLanguageName(0x10407), u"German (Germany)");
  EXPECT_EQ(qdLocaleSortName(0x10407), u"Phonebook Sort Order");
}

TEST(NlsLocaleTest, EnumerationListsSpecificLocalesAndAlternateSorts) {
  const std::vector<TqdLCID> plain = qdEnumSystemLocales(false);
  const std::vector<TqdLCID> all = qdEnumSystemLocales(true);
  EXPECT_TRUE(std::is_sorted(plain.begin(), plain.end()));
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_GT(plain.size(), 100u);
  for (TqdLCID id : {kJapanese, kEnglishUS, kGerman, 0x0804u, 0x0404u})
    EXPECT_TRUE(std::binary_search(plain.begin(), plain.end(), id)) << std::hex << id;
  for (TqdLCID id : {0x10407u, 0x20804u, 0x30404u}) {
    EXPECT_FALSE(std::binary_search(plain.begin(), plain.end(), id)) << std::hex << id;
    EXPECT_TRUE(std::binary_search(all.begin(), all.end(), id)) << std::hex << id;
  }
  for (TqdLCID id : all) {
    EXPECT_NE((id >> 10) & 0x3F, 0u) << "neutral id listed: " << std::hex << id;
    EXPECT_FALSE(qdLocaleToIcuName(id).empty()) << std::hex << id;
    EXPECT_GE(qdLocaleAnsiCodePage(id), 0) << std::hex << id;
  }
}

// ---- NLS versions -------------------------------------------------------------

TEST(NlsVersionTest, RecordNamesTheEffectiveLocaleAndIcuVersions) {
  TqdNLSVersionInfoEx japanese, again, english;
  ASSERT_TRUE(qdGetNLSVersion(kJapanese, japanese));
  ASSERT_TRUE(qdGetNLSVersion(LOCALE_SYSTEM_DEFAULT, again));
  ASSERT_TRUE(qdGetNLSVersion(kEnglishUS, english));
  EXPECT_EQ(japanese.dwNLSVersionInfoSize, 32u);
  EXPECT_EQ(japanese.dwEffectiveId, kJapanese);
  EXPECT_EQ(again.dwEffectiveId, kJapanese);
  EXPECT_NE(japanese.dwNLSVersion, 0u);
  EXPECT_NE(japanese.dwDefinedVersion, 0u);
  EXPECT_EQ(japanese.dwNLSVersion, again.dwNLSVersion);
  EXPECT_EQ(japanese.guidCustomVersion, again.guidCustomVersion);
  // The Japanese tailoring gives a collator version of its own.
  EXPECT_NE(japanese.dwNLSVersion, english.dwNLSVersion);
  EXPECT_EQ(japanese.dwDefinedVersion, english.dwDefinedVersion);
}

TEST(NlsVersionTest, UnknownLocaleFailsAndLeavesTheRecord) {
  TqdNLSVersionInfoEx info;
  info.dwEffectiveId = 77;
  errno = 0;
  EXPECT_FALSE(qdGetNLSVersion(0x9999, info));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(info.dwEffectiveId, 77u);
}

// ---- Comparison ------------------------------------------------------------------

struct CompareCase {
  TqdLCID locale;
  uint32_t flags;
  const char16_t* a;
  const char16_t* b;
  int expected;
};

const CompareCase kCompareCases[] = {
    // Without flags everything counts, also what ICU's Japanese tailoring
    // only tells apart at the quaternary level.
    {kJapanese, 0, u"あ", u"ア", -1},
    {kJapanese, 0, u"ア", u"ｱ", -1},
    {kJapanese, 0, u"a", u"A", -1},
    {kJapanese, 0, u"A", u"Ａ", -1},
    {kJapanese, 0, u"か", u"が", -1},
    {kJapanese, 0, u"あ", u"い", -1},
    {kJapanese, 0, u"abc", u"abc", 0},
    {kJapanese, 0, u"é", u"e\u0301", 0},  // canonically equivalent
    {kJapanese, 0, u"", u"a", -1},
    // Each flag ignores its own difference and nothing else.
    {kJapanese, NORM_IGNORECASE, u"a", u"A", 0},
    {kJapanese, NORM_IGNORECASE, u"あ", u"ア", -1},
    {kJapanese, NORM_IGNORECASE, u"A", u"Ａ", -1},
    {kJapanese, NORM_IGNORECASE, u"Straße", u"STRASSE", 0},
    {kJapanese, NORM_IGNOREKANATYPE, u"あ", u"ア", 0},
    {kJapanese, NORM_IGNOREKANATYPE, u"ゞ", u"ヾ", 0},
    {kJapanese, NORM_IGNOREKANATYPE, u"a", u"A", -1},
    {kJapanese, NORM_IGNOREKANATYPE, u"ア", u"ｱ", -1},
    {kJapanese, NORM_IGNOREWIDTH, u"ア", u"ｱ", 0},
    {kJapanese, NORM_IGNOREWIDTH, u"ガ", u"ｶﾞ", 0},
    {kJapanese, NORM_IGNOREWIDTH, u"ABC", u"ＡＢＣ", 0},
    {kJapanese, NORM_IGNOREWIDTH, u"a b", u"a\u3000b", 0},
    {kJapanese, NORM_IGNOREWIDTH, u"abc", u"ＡＢＣ", -1},
    {kJapanese, NORM_IGNOREWIDTH, u"あ", u"ｱ", -1},
    {kJapanese, NORM_IGNORENONSPACE, u"が", u"か", 0},
    {kJapanese, NORM_IGNORENONSPACE, u"résumé", u"resume", 0},
    {kJapanese, NORM_IGNORENONSPACE, u"e", u"E", -1},
    {kJapanese, NORM_IGNORESYMBOLS, u"a-b c!", u"abc", 0},
    {kJapanese, NORM_IGNORESYMBOLS, u"「本」", u"本", 0},
    {kJapanese, NORM_IGNORESYMBOLS, u"a", u"b", -1},
    {kJapanese, NORM_IGNORECASE | NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE, u"ｱｲｳabc", u"あいうＡＢＣ", 0},
    // Word sort: hyphen and apostrophe only break ties; string sort takes
    // them as symbols.
    {kEnglishUS, 0, u"co-op", u"coop", 1},
    {kEnglishUS, 0, u"co-op", u"cop", -1},
    {kEnglishUS, 0, u"co-op", u"co'op", -1},  // ties between them go by the symbols' order
    {kEnglishUS, 0, u"can't", u"cant", 1},
    {kEnglishUS, SORT_STRINGSORT, u"co-op", u"coop", -1},
    {kEnglishUS, SORT_STRINGSORT, u"co-op", u"cop", -1},
    {kEnglishUS, SORT_STRINGSORT, u"co-op", u"co-op", 0},
    // Locale-specific orders.
    {kGerman, 0, u"Äpfel", u"Apfel", 1},
    {kGerman, 0, u"Äpfel", u"Bahn", -1},
    {0x10407, 0, u"Äz", u"Af", -1},  // phone book: Ä sorts as Ae
    {kGerman, 0, u"Äz", u"Af", 1},
    {0x041D, 0, u"ö", u"z", 1},  // Swedish: ö after z
    {kEnglishUS, 0, u"ö", u"z", -1},
    {kTurkish, NORM_IGNORECASE, u"I", u"ı", 0},  // Turkish dotless i is the lower case of I
    {kEnglishUS, NORM_IGNORECASE, u"I", u"i", 0},
    // An id ICU cannot place compares in the root order rather than failing.
    {0x9999, 0, u"a", u"b", -1},
    {0x9999, NORM_IGNORECASE, u"a", u"A", 0},
};

TEST(NlsCompareTest, FlagsIgnoreExactlyTheirOwnDifferences) {
  for (const auto& c : kCompareCases) {
    SCOPED_TRACE(testing::Message() << std::hex << "locale " << c.locale << " flags " << c.flags << " " << units(c.a)
                                    << " vs " << units(c.b));
    EXPECT_EQ(qdCompareString(c.locale, c.flags, c.a, c.b), c.expected);
    EXPECT_EQ(qdCompareString(c.locale, c.flags, c.b, c.a), -c.expected);
  }
}

TEST(NlsCompareTest, SortKeysOrderAsTheComparison) {
  const std::vector<qdString> texts = {
      u"",     u"a",   u"A",      u"ａ",     u"ab",      u"a-b", u"ab-",      u"a'b", u"co-op",
      u"coop", u"cop", u"Co-op",  u"あ",     u"ア",      u"ｱ",   u"か",       u"が",  u"ｶﾞ",
      u"カ",   u"ガ",  u"résumé", u"resume", u"Resume",  u"a b", u"a\u3000b", u"-",   u"--",
      u"'",    u"本",  u"「本」", u"Straße", u"STRASSE", u"I",   u"ı",        u"i",   u"İ"};
  const uint32_t flagSets[] = {0,
                               NORM_IGNORECASE,
                               NORM_IGNORENONSPACE,
                               NORM_IGNORESYMBOLS,
                               NORM_IGNOREKANATYPE,
                               NORM_IGNOREWIDTH,
                               SORT_STRINGSORT,
                               NORM_IGNORECASE | NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE,
                               NORM_IGNORESYMBOLS | SORT_STRINGSORT};
  for (TqdLCID locale : {kJapanese, kEnglishUS, kTurkish}) {
    for (uint32_t flags : flagSets) {
      std::vector<std::vector<uint8_t>> keys;
      for (const auto& t : texts) keys.push_back(qdGetSortKey(locale, flags, t));
      for (size_t i = 0; i < texts.size(); ++i) {
        for (size_t j = 0; j < texts.size(); ++j) {
          ASSERT_EQ(byteOrder(keys[i], keys[j]), qdCompareString(locale, flags, texts[i], texts[j]))
              << std::hex << "locale " << locale << " flags " << flags << ": " << units(texts[i]) << " vs "
              << units(texts[j]);
        }
      }
    }
  }
}

TEST(NlsCompareTest, SingleByteTextIsDecodedWithTheLocaleCodePage) {
  // "あ" and "ア" in code page 932; "é" and "e" in 1252.
  EXPECT_EQ(qdCompareStringA(kJapanese, NORM_IGNOREKANATYPE, "\x82\xA0", "\x83\x41"), 0);
  EXPECT_EQ(qdCompareStringA(kJapanese, 0, "\x82\xA0", "\x83\x41"), -1);
  EXPECT_EQ(qdCompareStringA(kEnglishUS, NORM_IGNORENONSPACE, "\xE9", "e"), 0);
  EXPECT_EQ(qdCompareStringA(kEnglishUS, 0, "\xE9", "f"), -1);
}

TEST(NlsCompareTest, ConcurrentComparisonsAgreeWithSingleThreaded) {
  // Collators are opened and shared by many threads at once; each thread's
  // answers must be those of a quiet run.
  qdNlsFinalize();  // start from an empty collator cache
  const TqdLCID locales[] = {kJapanese, kEnglishUS, kGerman, 0x10407, kTurkish, 0x0419, 0x0804};
  std::vector<int> expected;
  for (TqdLCID locale : locales)
    for (const auto& c : kCompareCases) expected.push_back(qdCompareString(locale, c.flags, c.a, c.b));
  qdNlsFinalize();
  std::vector<std::thread> threads;
  std::vector<int> mismatches(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        size_t k = 0;
        for (TqdLCID locale : locales) {
          for (const auto& c : kCompareCases) {
            if (qdCompareString(locale, c.flags, c.a, c.b) != expected[k]) ++mismatches[t];
            (void)qdGetSortKey(locale, c.flags, c.a);  // exercises the same collator concurrently
            ++k;
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// ---- Mapping and folding ---------------------------------------------------------------

TEST(NlsMappingTest, SimpleAndLinguisticCase) {
  EXPECT_EQ(qdUpperCase(u"straße ǆ i"), u"STRAßE Ǆ I");
  EXPECT_EQ(qdLowerCase(u"ÀÉÎ İ Σ"), u"àéî i σ");  // simple mappings keep the length
  EXPECT_EQ(qdLowerCase(u"ABC ÀÉÎ"), u"abc àéî");
  EXPECT_EQ(qdLinguisticUpperCase(kEnglishUS, u"straße"), u"STRASSE");
  EXPECT_EQ(qdLinguisticUpperCase(kTurkish, u"istanbul"), u"İSTANBUL");
  EXPECT_EQ(qdLinguisticUpperCase(kEnglishUS, u"istanbul"), u"ISTANBUL");
  EXPECT_EQ(qdLinguisticLowerCase(kTurkish, u"I"), u"ı");
  EXPECT_EQ(qdFoldCase(kEnglishUS, u"Straße"), u"strasse");
  EXPECT_EQ(qdFoldCase(kTurkish, u"I"), u"ı");
  EXPECT_EQ(qdFoldCase(kEnglishUS, u"I"), u"i");
}

TEST(NlsMappingTest, LocaleMappingFlags) {
  struct Case {
    TqdLCID locale;
    uint32_t flags;
    const char16_t* text;
    const char16_t* expected;
  } cases[] = {
      {kJapanese, LCMAP_LOWERCASE, u"ABC Ä", u"abc ä"},
      {kJapanese, LCMAP_UPPERCASE, u"abc ä ß", u"ABC Ä ß"},
      {kTurkish, LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING, u"i", u"İ"},
      {kTurkish, LCMAP_UPPERCASE, u"i", u"I"},
      {kJapanese, LCMAP_KATAKANA, u"ひらがな abc", u"ヒラガナ abc"},
      {kJapanese, LCMAP_HIRAGANA, u"カタカナ ｶﾀｶﾅ", u"かたかな ｶﾀｶﾅ"},
      {kJapanese, LCMAP_HALFWIDTH, u"ガッコウ　ＡＢＣ、", u"ｶﾞｯｺｳ ABC､"},
      {kJapanese, LCMAP_FULLWIDTH, u"ｶﾞｯｺｳ ABC､", u"ガッコウ　ＡＢＣ、"},
      {kJapanese, LCMAP_FULLWIDTH, u"ﾞ", u"゛"},  // a voicing mark with nothing to join
      {kJapanese, LCMAP_KATAKANA | LCMAP_HALFWIDTH, u"がっこう", u"ｶﾞｯｺｳ"},
      {kJapanese, LCMAP_UPPERCASE | LCMAP_FULLWIDTH, u"abc", u"ＡＢＣ"},
      {kJapanese, LCMAP_BYTEREV, u"\u0102\u3042", u"\u0201\u4230"},
      {kJapanese, NORM_IGNORENONSPACE, u"résumé が", u"resume か"},
      {kJapanese, NORM_IGNORESYMBOLS, u"a-b, c!", u"abc"},
      {kJapanese, LCMAP_LOWERCASE, u"", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << units(c.text));
    qdString result = u"stale";
    ASSERT_TRUE(qdLCMapString(c.locale, c.flags, c.text, result));
    EXPECT_EQ(units(result), units(c.expected));
  }
}

TEST(NlsMappingTest, LocaleMappingRefusesConflictingFlags) {
  const uint32_t refused[] = {0,
                              LCMAP_LOWERCASE | LCMAP_UPPERCASE,
                              LCMAP_HIRAGANA | LCMAP_KATAKANA,
                              LCMAP_HALFWIDTH | LCMAP_FULLWIDTH,
                              LCMAP_LINGUISTIC_CASING,
                              LCMAP_SORTKEY | LCMAP_LOWERCASE,
                              NORM_IGNORECASE,
                              0x02000000 /* simplified Chinese */};
  for (uint32_t flags : refused) {
    qdString result;
    errno = 0;
    EXPECT_FALSE(qdLCMapString(kJapanese, flags, u"abc", result)) << std::hex << flags;
    EXPECT_EQ(errno, EINVAL) << std::hex << flags;
  }
}

TEST(NlsMappingTest, SortKeyMappingPacksTheKeyBytes) {
  for (uint32_t flags : {0u, NORM_IGNORECASE | NORM_IGNOREWIDTH}) {
    const std::vector<uint8_t> key = qdGetSortKey(kJapanese, flags, u"ｶﾞｯｺｳ");
    qdString packed;
    ASSERT_TRUE(qdLCMapString(kJapanese, LCMAP_SORTKEY | flags, u"ｶﾞｯｺｳ", packed));
    ASSERT_EQ(packed.size(), (key.size() + 1) / 2);
    for (size_t i = 0; i < key.size(); ++i) EXPECT_EQ((packed[i / 2] >> (8 * (i % 2))) & 0xFF, key[i]) << "byte " << i;
  }
}

TEST(NlsMappingTest, StringFolding) {
  struct Case {
    uint32_t flags;
    const char16_t* text;
    const char16_t* expected;
  } cases[] = {
      {MAP_PRECOMPOSED, u"e\u0301", u"é"},       {MAP_COMPOSITE, u"é", u"e\u0301"},
      {MAP_FOLDDIGITS, u"١٢٣ ①²x", u"123 12x"},  {MAP_FOLDCZONE, u"ＡＢｶ", u"ABカ"},
      {MAP_EXPAND_LIGATURES, u"ﬁÆß", u"fiAEss"}, {MAP_FOLDCZONE | MAP_PRECOMPOSED, u"ｶﾞ", u"ガ"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << units(c.text));
    qdString result;
    ASSERT_TRUE(qdFoldString(c.flags, c.text, result));
    EXPECT_EQ(units(result), units(c.expected));
  }
  for (uint32_t flags : {0u, MAP_PRECOMPOSED | MAP_COMPOSITE, MAP_EXPAND_LIGATURES | MAP_COMPOSITE, 0x1u}) {
    qdString result;
    errno = 0;
    EXPECT_FALSE(qdFoldString(flags, u"a", result)) << std::hex << flags;
    EXPECT_EQ(errno, EINVAL);
  }
}

// ---- Code pages ----------------------------------------------------------------------

TEST(NlsCodePageTest, EnumerationNamesAndSizes) {
  const std::vector<uint32_t> pages = qdEnumSystemCodePages();
  EXPECT_TRUE(std::is_sorted(pages.begin(), pages.end()));
  for (uint32_t cp : {437u, 932u, 936u, 949u, 950u, 1250u, 1251u, 1252u, 20127u, 28591u, 65001u})
    EXPECT_TRUE(std::binary_search(pages.begin(), pages.end(), cp)) << cp;
  for (uint32_t cp : pages) EXPECT_TRUE(qdIsSupportedCodePage(cp)) << cp;
  qdString name;
  ASSERT_TRUE(qdGetCodePageInfoName(932, name));
  EXPECT_EQ(name, u"932  (ANSI/OEM - Japanese Shift-JIS)");
  ASSERT_TRUE(qdGetCodePageInfoName(CP_ACP, name));
  EXPECT_EQ(name, u"932  (ANSI/OEM - Japanese Shift-JIS)");
  ASSERT_TRUE(qdGetCodePageInfoName(1252, name));
  EXPECT_EQ(name, u"1252  (ANSI - Latin I)");
  errno = 0;
  EXPECT_FALSE(qdGetCodePageInfoName(12345, name));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(qdIsSupportedCodePage(12345));
  EXPECT_EQ(qdCodePageMaxCharSize(932), 2);
  EXPECT_EQ(qdCodePageMaxCharSize(1252), 1);
  EXPECT_EQ(qdCodePageMaxCharSize(12345), 0);
  EXPECT_EQ(qdResolveCodePage(CP_ACP), 932u);
  EXPECT_EQ(qdResolveCodePage(CP_THREAD_ACP), 932u);
  EXPECT_EQ(qdResolveCodePage(1252), 1252u);
}

TEST(NlsCodePageTest, Cp932FollowsTheWindowsTableWhereIcuDeparts) {
  struct Case {
    std::string_view bytes;
    const char16_t* text;
  } roundTrips[] = {
      {"\x1A\x1C\x7F", u"\x1A\x1C\x7F"},  // control codes are not permuted
      {"\x80\xA0\xFD\xFE\xFF", u"\u0080\uF8F0\uF8F1\uF8F2\uF8F3"},
      {"\x5C\x7E", u"\\~"},
      {"\x81\x60\x81\x7C\x81\x61\x81\xCA", u"～－∥￢"},
  };
  for (const auto& c : roundTrips) {
    SCOPED_TRACE(hex(c.bytes));
    qdString text;
    ASSERT_TRUE(qdDecodeCodePage(932, c.bytes, text));
    EXPECT_EQ(units(text), units(c.text));
    std::string bytes;
    ASSERT_TRUE(qdEncodeCodePage(932, c.text, bytes));
    EXPECT_EQ(hex(bytes), hex(c.bytes));
  }
  // Best-fit mappings, one way only.
  std::string bytes;
  ASSERT_TRUE(qdEncodeCodePage(932, u"¢£¬〜−‖", bytes));
  EXPECT_EQ(hex(bytes), "8191819281CA8160817C8161");
}

TEST(NlsCodePageTest, ReplacementsAsTheSystemCallsGive) {
  struct DecodeCase {
    uint32_t codePage;
    std::string_view bytes;
    const char16_t* text;
  } decodes[] = {
      {932, "\x82\x20", u"\u30FB "},  // a lead byte without a valid trail byte
      {932, "a\x82", u"a\u30FB"},     // a lead byte at the end
      {932, "\xF0\x40", u"\uE000"},   // user-defined area
      {65001, "a\xFF\xC3z", u"a\uFFFD\uFFFDz"},
      {1252, "\x80\x81\x8D\x8F\x90\x9D", u"\u20AC\u0081\u008D\u008F\u0090\u009D"},
  };
  for (const auto& c : decodes) {
    SCOPED_TRACE(testing::Message() << c.codePage << " " << hex(c.bytes));
    qdString text;
    ASSERT_TRUE(qdDecodeCodePage(c.codePage, c.bytes, text));
    EXPECT_EQ(units(text), units(c.text));
  }
  struct EncodeCase {
    uint32_t codePage;
    const char16_t* text;
    std::string_view bytes;
    bool usedDefault;
  } encodes[] = {
      {932, u"a\U0001F600z", "a?z", true},
      {932, u"a\xD800z", "a?z", true},  // an unpaired surrogate
      {932, u"abc", "abc", false},
      {1252, u"a€é\u3042", "a\x80\xE9?", true},
      {65001, u"a\xD800z", "a\xEF\xBF\xBDz", true},
      {65001, u"\U0001F600", "\xF0\x9F\x98\x80", false},
  };
  for (const auto& c : encodes) {
    SCOPED_TRACE(testing::Message() << c.codePage << " " << units(c.text));
    std::string bytes;
    bool usedDefault = !c.usedDefault;
    ASSERT_TRUE(qdEncodeCodePage(c.codePage, c.text, bytes, &usedDefault));
    EXPECT_EQ(hex(bytes), hex(c.bytes));
    EXPECT_EQ(usedDefault, c.usedDefault);
  }
}

TEST(NlsCodePageTest, Cp1252DecodesEveryByteAndRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  qdString text;
  ASSERT_TRUE(qdDecodeCodePage(1252, all, text));
  ASSERT_EQ(text.size(), all.size());
  EXPECT_EQ(text.find(u'\uFFFD'), qdString::npos);
  std::string back;
  ASSERT_TRUE(qdEncodeCodePage(1252, text, back));
  EXPECT_EQ(hex(back), hex(all));
}

TEST(NlsCodePageTest, BufferCallsCountFillAndReportShortBuffers) {
  const std::string_view sjis = "\x93\xFA\x96\x7B\x8C\xEA";  // 日本語
  EXPECT_EQ(qdMultiByteToWideChar(932, sjis.data(), 6, nullptr, 0), 3);
  char16_t wide[3];
  EXPECT_EQ(qdMultiByteToWideChar(932, sjis.data(), 6, wide, 3), 3);
  EXPECT_EQ(qdString(wide, 3), u"日本語");
  errno = 0;
  EXPECT_EQ(qdMultiByteToWideChar(932, sjis.data(), 6, wide, 2), 0);
  EXPECT_EQ(errno, ENOBUFS);

  EXPECT_EQ(qdWideCharToMultiByte(932, u"日本語", 3, nullptr, 0), 6);
  char narrow[6];
  EXPECT_EQ(qdWideCharToMultiByte(932, u"日本語", 3, narrow, 6), 6);
  EXPECT_EQ(std::string_view(narrow, 6), sjis);
  errno = 0;
  EXPECT_EQ(qdWideCharToMultiByte(932, u"日本語", 3, narrow, 5), 0);
  EXPECT_EQ(errno, ENOBUFS);

  // Unsupported code pages and empty input fail as the system calls do.
  errno = 0;
  EXPECT_EQ(qdMultiByteToWideChar(12345, "a", 1, wide, 3), 0);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(qdWideCharToMultiByte(12345, u"a", 1, narrow, 6), 0);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(qdMultiByteToWideChar(932, "a", 0, wide, 3), 0);
  EXPECT_EQ(errno, EINVAL);

  // The whole-string forms give empty results for empty input.
  qdString text = u"x";
  EXPECT_TRUE(qdDecodeCodePage(932, "", text));
  EXPECT_TRUE(text.empty());
  std::string bytes = "x";
  EXPECT_TRUE(qdEncodeCodePage(932, u"", bytes));
  EXPECT_TRUE(bytes.empty());
  errno = 0;
  EXPECT_FALSE(qdDecodeCodePage(12345, "", text));
  EXPECT_EQ(errno, EINVAL);
}

TEST(NlsCodePageTest, ConvertersAreKeptPerThread) {
  std::vector<std::thread> threads;
  std::vector<int> failures(6, 0);
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        qdString text;
        std::string bytes;
        if (!qdDecodeCodePage(932, "\x93\xFA\x96\x7B\x8C\xEA\x1A", text) || text != u"日本語\x1A") ++failures[t];
        if (!qdEncodeCodePage(t % 2 ? 932 : 65001, u"日本", bytes) ||
            bytes != (t % 2 ? "\x93\xFA\x96\x7B" : "\xE6\x97\xA5\xE6\x9C\xAC"))
          ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 6; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

TEST(NlsCodePageTest, LeadBytesOfTheDoubleByteCodePages) {
  struct Case {
    uint32_t codePage;
    uint8_t byte;
    bool lead;
  };
  const Case cases[] = {
      {932, 0x80, false},  {932, 0x81, true},    {932, 0x9F, true},   {932, 0xA0, false}, {932, 0xB1, false},
      {932, 0xE0, true},   {932, 0xFC, true},    {932, 0xFD, false},  {932, 'a', false},  {936, 0x81, true},
      {936, 0xFF, false},  {949, 0xB0, true},    {950, 0xA4, true},   {1361, 0x84, true}, {1361, 0xD4, false},
      {1252, 0x81, false}, {65001, 0xE3, false}, {1252, 0xE0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(qdIsDBCSLeadByteEx(c.codePage, c.byte), c.lead) << c.codePage << " byte " << int(c.byte);
}

TEST(NlsCodePageTest, CharBoundaryLengthNeverSplitsACharacter) {
  std::string sjis;
  ASSERT_TRUE(qdEncodeCodePage(932, u"a\u3042\u3044", sjis));  // a, then two two-byte characters
  ASSERT_EQ(sjis.size(), 5u);
  std::string utf8;
  ASSERT_TRUE(qdEncodeCodePage(CP_UTF8, u"a\u3042", utf8));  // 1 + 3 bytes
  struct Case {
    uint32_t codePage;
    const std::string* bytes;
    size_t maxBytes, expected;
  };
  const std::string latin = "abcdef";
  const Case cases[] = {
      {932, &sjis, 10, 5}, {932, &sjis, 5, 5},   {932, &sjis, 4, 3},     {932, &sjis, 3, 3},     {932, &sjis, 2, 1},
      {932, &sjis, 0, 0},  {1252, &latin, 4, 4}, {CP_UTF8, &utf8, 3, 1}, {CP_UTF8, &utf8, 4, 4},
  };
  for (const Case& c : cases)
    EXPECT_EQ(qdCharBoundaryLength(c.codePage, *c.bytes, c.maxBytes), c.expected) << c.codePage << " " << c.maxBytes;
}

}  // namespace
}  // namespace qd
