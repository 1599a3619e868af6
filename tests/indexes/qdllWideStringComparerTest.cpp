// Wide string comparers and transformers: the byte and locale orders (the
// locale order checked against the collation call and against the keys the
// dictionary's key engines build), case mapping, folding, truncation and
// chains of transformers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "indexes/qdllWideStringList.h"
#include "platform/qdNls.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::u8;

TqdWideString w(qdStringView s) { return TqdWideString(s.begin(), s.end()); }
qdString str(const TqdWideString& s) { return qdString(s.begin(), s.end()); }

// --- Byte comparer -------------------------------------------------------------------------------------------

TEST(WideStringComparerTest, ByteComparerOrdersLittleEndianBytesThenLength) {
  struct Case {
    qdStringView a, b;
    int8_t expected;
  };
  const Case cases[] = {
      {u"\u0100", u"\u00FF", -1},  // low byte 00 before FF, whatever the high byte
      {u"\u0201", u"\u0102", -1},  // low bytes decide first
      {u"\u0101", u"\u0201", -1},  // then the high byte
      {u"ab", u"abc", -1},         // a prefix first
      {u"", u"a", -1},
      {u"", u"", 0},
      {u"abc", u"abc", 0},
      {u"b", u"a", 1},
      {u"B", u"a", -1},  // no letter case here
  };
  const auto comparer = qdMakeRef<TqdWideStringByteComparer>();
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.a) + " / " + u8(c.b));
    EXPECT_EQ(comparer->Compare(w(c.a), w(c.b)), c.expected);
    EXPECT_EQ(comparer->Compare(w(c.b), w(c.a)), -c.expected);
  }
}

// --- Locale comparer -----------------------------------------------------------------------------------------

// The order of the keys a composite key engine builds for one wide-string
// field under a locale and the compare flags.
class TqdLocaleKeyOrder {
 public:
  TqdLocaleKeyOrder(TqdLCID aLocale, uint32_t aFlags) {
    TqdFieldsDescriptor* fields = dictionary.FieldsDescriptor();
    fields->AddField(u"F", u"", qdtWideString, 40, 0, false);
    auto* key =
        static_cast<TqdCompKeyDescriptor*>(dictionary.IndicesDescriptor()
                                               ->AddIndex(u"K", 0, idNone, u"", &TqdCompKeyDescriptor::ClassInfo)
                                               ->KeyDescriptor());
    auto* field = static_cast<TqdTextKeyFieldDescriptor*>(key->Add(0, &TqdTextKeyFieldDescriptor::ClassInfo));
    field->SetIgnoreCase((aFlags & NORM_IGNORECASE) != 0);
    TqdLocaleDescriptor* locale = field->AddLocaleDescriptor();
    locale->SetLocale(aLocale);
    locale->SetIgnoreKanaType((aFlags & NORM_IGNOREKANATYPE) != 0);
    locale->SetIgnoreWidth((aFlags & NORM_IGNOREWIDTH) != 0);
    engine.reset(TqdBaseKeyEngine::CreateFor(key));
  }

  int Compare(qdStringView a, qdStringView b) {
    const test::Bytes keyA = Key(a), keyB = Key(b);
    return engine->CompareKey(keyA.data(), keyB.data());
  }

 private:
  test::Bytes Key(qdStringView aText) {
    TqdFieldsDescriptor* fields = dictionary.FieldsDescriptor();
    test::Bytes record(static_cast<size_t>(fields->RecordLength() + 4), 0);
    fields->InitRecord(record.data());
    fields->fsdSetFieldByIndexAsVariant(record.data(), 0, TqdVariant(aText));
    test::Bytes key(engine->KeyLength(), 0);
    EXPECT_EQ(engine->BuildKey(record.data(), key.data(), 0, true), qdeSuccess);
    return key;
  }

  TqdDataDictionary dictionary;
  std::unique_ptr<TqdBaseKeyEngine> engine;
};

TEST(WideStringComparerTest, LocaleComparerAgreesWithTheCollationCallAndWithKeys) {
  const qdStringView texts[] = {u"",     u"a", u"B",    u"abc",    u"ABC",      u"あ",         u"ア",    u"ｱ",
                                u"Ａ",   u"A", u"日本", u"日本語", u"がっこう", u"カッコウ",   u"ｶﾞｯｺｳ", u"co-op",
                                u"coop", u"é", u"e",    u"Straße", u"STRASSE",  u"ｈｅｌｌｏ", u"Hello"};
  const uint32_t flagSets[] = {0, NORM_IGNORECASE, NORM_IGNOREKANATYPE, NORM_IGNOREWIDTH,
                               NORM_IGNORECASE | NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH};
  for (TqdLCID locale : {TqdLCID(1041), TqdLCID(1033)}) {
    for (uint32_t flags : flagSets) {
      SCOPED_TRACE("locale " + std::to_string(locale) + " flags " + std::to_string(flags));
      const auto comparer = qdMakeRef<TqdWideStringCompareStringWComparer>(locale, flags);
      TqdLocaleKeyOrder keys(locale, flags);
      for (qdStringView a : texts) {
        for (qdStringView b : texts) {
          SCOPED_TRACE(u8(a) + " / " + u8(b));
          const int8_t answer = comparer->Compare(w(a), w(b));
          EXPECT_TRUE(answer == -1 || answer == 0 || answer == 1);
          if (a.empty() || b.empty())
            EXPECT_EQ(answer, a.size() == b.size() ? 0 : (a.empty() ? -1 : 1));
          else
            EXPECT_EQ(answer, qdCompareString(locale, flags, a, b));
          EXPECT_EQ(answer, keys.Compare(a, b));
        }
      }
    }
  }
}

TEST(WideStringComparerTest, TheFlagsReachTheLocaleOrder) {
  struct Case {
    uint32_t flags;
    qdStringView a, b;
    bool equal;
  };
  const Case cases[] = {
      {0, u"abc", u"ABC", false},
      {NORM_IGNORECASE, u"abc", u"ABC", true},
      {0, u"あいう", u"アイウ", false},
      {NORM_IGNOREKANATYPE, u"あいう", u"アイウ", true},
      {0, u"ＡＢＣ", u"ABC", false},
      {NORM_IGNOREWIDTH, u"ＡＢＣ", u"ABC", true},
      {NORM_IGNOREWIDTH, u"ｱｲｳ", u"アイウ", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.a) + " / " + u8(c.b) + " flags " + std::to_string(c.flags));
    const auto comparer = qdMakeRef<TqdWideStringCompareStringWComparer>(1041, c.flags);
    EXPECT_EQ(comparer->Compare(w(c.a), w(c.b)) == 0, c.equal);
  }
}

TEST(WideStringComparerTest, AnIdICUCannotPlaceStillAnswersAnOrder) {
  // Neither a known language nor a sort id: compared with the root order.
  const TqdLCID unknown = 0x0FFE;
  ASSERT_TRUE(qdLocaleToIcuName(unknown).empty());
  const auto comparer = qdMakeRef<TqdWideStringCompareStringWComparer>(unknown, NORM_IGNORECASE);
  EXPECT_EQ(comparer->Compare(w(u"a"), w(u"b")), -1);
  EXPECT_EQ(comparer->Compare(w(u"b"), w(u"A")), 1);
  EXPECT_EQ(comparer->Compare(w(u"a"), w(u"A")), 0);
  EXPECT_EQ(comparer->Compare(w(u""), w(u"a")), -1);
}

TEST(WideStringComparerTest, SortedListsFollowTheirComparer) {
  // U+0100 sorts before "a" by bytes (low byte 00), after it in the locale
  // order.
  TqdWideStringList bytes(qdMakeRef<TqdWideStringByteComparer>());
  TqdWideStringList locale(qdMakeRef<TqdWideStringCompareStringWComparer>(1033, 0));
  for (TqdWideStringList* list : {&bytes, &locale}) {
    list->SetSorted(true);
    (void)list->Add(u"a");
    (void)list->Add(u"\u0100");
  }
  EXPECT_EQ(str(bytes.wsGetString(0)), u"\u0100");
  EXPECT_EQ(str(locale.wsGetString(0)), u"a");
}

// --- Transformers --------------------------------------------------------------------------------------------

TEST(WideStringTransformerTest, TruncateKeepsSurrogatePairsWhole) {
  struct Case {
    int32_t maxLength;
    qdStringView text;
    qdStringView expected;
  };
  const Case cases[] = {
      {4, u"abcd", u"abcd"},
      {4, u"abcde", u"abcd"},
      {4, u"abc\U0001F600", u"abc"},           // the fourth unit is a high surrogate
      {4, u"ab\U0001F600c", u"ab\U0001F600"},  // the fourth unit ends the pair
      {1, u"\U0001F600", u""},
      {0, u"abc", u""},
      {3, u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.text) + " max " + std::to_string(c.maxLength));
    EXPECT_EQ(str(qdMakeRef<TqdWideStringTruncateTransformer>(c.maxLength)->Transform(w(c.text))), c.expected);
  }
}

TEST(WideStringTransformerTest, ASortedListKeepsOneItemForStringsEqualAfterTruncation) {
  TqdWideStringList list(nullptr, qdMakeRef<TqdWideStringTruncateTransformer>(3));
  list.SetSorted(true);
  list.SetDuplicates(dupIgnore);
  EXPECT_EQ(list.Add(u"abcd"), 0);
  EXPECT_EQ(list.Add(u"abcx"), 0);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(str(list.wsGetString(0)), u"abc");
  EXPECT_EQ(list.IndexOf(u"abcz"), 0);
}

TEST(WideStringTransformerTest, AHubAppliesItsTransformersInOrder) {
  // Precomposing first makes "e" + U+0301 one unit, which the cut keeps.
  const auto composeThenCut = qdMakeRef<TqdWideStringTransformerHub>(std::initializer_list<TqdWideStringTransformerRef>{
      qdMakeRef<TqdWideStringPreComposeTransformer>(), qdMakeRef<TqdWideStringTruncateTransformer>(1)});
  EXPECT_EQ(str(composeThenCut->Transform(w(u"e\u0301x"))), u"\u00E9");
  const auto cutThenCompose = qdMakeRef<TqdWideStringTransformerHub>(std::initializer_list<TqdWideStringTransformerRef>{
      qdMakeRef<TqdWideStringTruncateTransformer>(1), qdMakeRef<TqdWideStringPreComposeTransformer>()});
  EXPECT_EQ(str(cutThenCompose->Transform(w(u"e\u0301x"))), u"e");
  EXPECT_EQ(str(qdMakeRef<TqdWideStringTransformerHub>(TqdWideStringTransformers{})->Transform(w(u"abc"))), u"abc");
}

TEST(WideStringTransformerTest, FoldStringMapsOrRaisesTheOSError) {
  struct Case {
    uint32_t flags;
    qdStringView text, expected;
  };
  const Case cases[] = {
      {MAP_FOLDDIGITS, u"１２", u"12"},         {MAP_PRECOMPOSED, u"e\u0301", u"\u00E9"},
      {MAP_COMPOSITE, u"\u00E9", u"e\u0301"},   {MAP_FOLDCZONE, u"ｱＡ", u"アA"},
      {MAP_EXPAND_LIGATURES, u"\u00E6", u"ae"}, {MAP_FOLDDIGITS, u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.text) + " flags " + std::to_string(c.flags));
    EXPECT_EQ(str(qdMakeRef<TqdWideStringFoldStringTransformer>(c.flags)->Transform(w(c.text))), c.expected);
  }

  const auto refused = qdMakeRef<TqdWideStringFoldStringTransformer>(MAP_PRECOMPOSED | MAP_COMPOSITE);
  EXPECT_TRUE(refused->Transform({}).empty());  // nothing to fold, nothing asked
  try {
    (void)refused->Transform(w(u"a"));
    ADD_FAILURE() << "no error";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeOSError);
    EXPECT_EQ(u8(e.CustomInfos().Values(u"Action")), "TqdWideStringFoldStringTransformer.Transform/FoldStringW/1");
  }
}

TEST(WideStringTransformerTest, LocaleMappingAgreesWithTheMappingCall) {
  struct Case {
    TqdLCID locale;
    uint32_t flags;
    qdStringView text;
  };
  const Case cases[] = {
      {1055, LCMAP_LOWERCASE, u"I"},
      {1055, LCMAP_LOWERCASE | LCMAP_LINGUISTIC_CASING, u"I"},
      {1055, LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING, u"i"},
      {1033, LCMAP_UPPERCASE, u"straße"},
      {1033, LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING, u"straße"},
      {1041, LCMAP_LOWERCASE, u"ＡＢＣ Abc"},
      {1041, LCMAP_KATAKANA, u"ひらがな"},
      {1041, LCMAP_HIRAGANA, u"カタカナ"},
      {1041, LCMAP_HALFWIDTH | LCMAP_KATAKANA, u"がっこう"},
      {1041, LCMAP_FULLWIDTH, u"ABC ｶﾞ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.text) + " locale " + std::to_string(c.locale) + " flags " + std::to_string(c.flags));
    qdString expected;
    ASSERT_TRUE(qdLCMapString(c.locale, c.flags, c.text, expected));
    EXPECT_EQ(str(qdMakeRef<TqdWideStringLocaleMappingTransformer>(c.locale, c.flags)->Transform(w(c.text))), expected);
  }
  // The Turkish rules apply only with linguistic casing.
  EXPECT_EQ(str(qdMakeRef<TqdWideStringLowerCaseTransformer>(1055)->Transform(w(u"I"))), u"i");
  EXPECT_EQ(str(qdMakeRef<TqdWideStringLocaleMappingTransformer>(1055, LCMAP_LOWERCASE | LCMAP_LINGUISTIC_CASING)
                    ->Transform(w(u"I"))),
            u"\u0131");
  EXPECT_EQ(str(qdMakeRef<TqdWideStringUpperCaseTransformer>(1041)->Transform(w(u"abcａ"))), u"ABCＡ");
  EXPECT_EQ(str(qdMakeRef<TqdWideStringLowerCaseTransformer>(1041)->Transform({})), u"");
  EXPECT_EQ(str(qdMakeRef<TqdWideStringUpperCaseTransformer>(1041)->Transform({})), u"");
}

TEST(WideStringTransformerTest, AnEmptyStringNeverReachesTheMapping) {
  // Flags the mapping refuses show whether it was asked.
  const auto refused = qdMakeRef<TqdWideStringLocaleMappingTransformer>(1041, LCMAP_LOWERCASE | LCMAP_UPPERCASE);
  EXPECT_TRUE(refused->Transform({}).empty());
  try {
    (void)refused->Transform(w(u"a"));
    ADD_FAILURE() << "no error";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeOSError);
    EXPECT_EQ(u8(e.CustomInfos().Values(u"Action")), "qdVantorWideLCMapStringW");
  }
}

TEST(WideStringTransformerTest, SortKeysAreRefused) {
  for (uint32_t flags : {LCMAP_SORTKEY, LCMAP_SORTKEY | NORM_IGNORECASE, LCMAP_LOWERCASE | LCMAP_SORTKEY}) {
    EXPECT_ENGINE_ERROR((void)qdMakeRef<TqdWideStringLocaleMappingTransformer>(1041, flags), qdeNotSupported,
                        "LCMAP_SORTKEY is not supported by TqdWideStringLocaleMappingTransformer");
  }
  EXPECT_THROW((void)qdMakeRef<TqdWideStringLocaleMappingTransformer>(1041, LCMAP_SORTKEY),
               EqdWideStringLocaleMappingTransformerException);
}

}  // namespace
}  // namespace qd
