// The wide string list: its errors, sorted and unsorted search, ordering,
// names and values, assignment, change events, text, streams, files and the
// stored "WideStrings" property.
#include "indexes/qdllWideStringList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/qdllStreams.h"
#include "platform/qdProcessProfile.h"
#include "support/qdTestFolder.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::u8;
using Lines = std::vector<qdString>;

TqdWideString w(qdStringView s) { return TqdWideString(s.begin(), s.end()); }
qdString str(const TqdWideString& s) { return qdString(s.begin(), s.end()); }

Lines linesOf(TqdWideStrings& aList) {
  Lines lines;
  for (int32_t i = 0; i < aList.Count(); ++i) lines.push_back(str(aList.wsGetString(i)));
  return lines;
}

void fill(TqdWideStrings& aList, const Lines& aLines) {
  for (const qdString& line : aLines) (void)aList.Add(line);
}

// The message of the string-list error aAction raises; empty when none.
std::string listError(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const EStringListError& e) {
    return u8(e.Message());
  }
  return {};
}

// Counts the change events of a list.
struct TqdChangeCounter {
  explicit TqdChangeCounter(TqdWideStringList& aList) {
    aList.SetOnChanging([this, &aList](TqdObject* aSender) {
      EXPECT_EQ(aSender, &aList);
      ++changing;
    });
    aList.SetOnChange([this, &aList](TqdObject* aSender) {
      EXPECT_EQ(aSender, &aList);
      ++changed;
    });
  }
  int changing = 0;
  int changed = 0;
};

int objects[4];  // addresses to attach, never owned

// --- Errors --------------------------------------------------------------------------------------------------

TEST(WideStringListTest, ErrorsCarryTheListTexts) {
  const std::string duplicates = "文字列リストは重複を許しません";
  const std::string sortedOnly = "ソートされる文字列リストに対しては許されない動作です";
  struct Case {
    const char* name;
    bool sorted;
    std::function<void(TqdWideStringList&)> action;
    std::string expected;
  };
  const Case cases[] = {
      {"Add of a duplicate under dupError", true, [](auto& l) { (void)l.Add(u"c"); }, duplicates},
      {"Insert into a sorted list", true, [](auto& l) { l.Insert(0, u"x"); }, sortedOnly},
      {"wsPutString on a sorted list", true, [](auto& l) { l.wsPutString(0, w(u"x")); }, sortedOnly},
      {"wsGetString past the end", false, [](auto& l) { (void)l.wsGetString(5); },
       "リストのインデックスが範囲を超えています (5)"},
      {"wsGetString before the start", false, [](auto& l) { (void)l.wsGetString(-1); },
       "リストのインデックスが範囲を超えています (-1)"},
      {"wsPutString past the end", false, [](auto& l) { l.wsPutString(5, w(u"x")); },
       "リストのインデックスが範囲を超えています (5)"},
      {"wsGetObject past the end", false, [](auto& l) { (void)l.wsGetObject(5); },
       "リストのインデックスが範囲を超えています (5)"},
      {"wsPutObject past the end", false, [](auto& l) { l.wsPutObject(5, nullptr); },
       "リストのインデックスが範囲を超えています (5)"},
      {"Delete past the end", false, [](auto& l) { l.Delete(5); }, "リストのインデックスが範囲を超えています (5)"},
      {"Exchange, first past the end", false, [](auto& l) { l.Exchange(5, 0); },
       "リストのインデックスが範囲を超えています (5)"},
      {"Exchange, second past the end", false, [](auto& l) { l.Exchange(0, 5); },
       "リストのインデックスが範囲を超えています (5)"},
      {"Insert beyond Count", false, [](auto& l) { l.Insert(6, u"x"); },
       "リストのインデックスが範囲を超えています (6)"},
      {"Insert before the start", false, [](auto& l) { l.Insert(-1, u"x"); },
       "リストのインデックスが範囲を超えています (-1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TqdWideStringList list;
    fill(list, {u"a", u"b", u"c", u"d", u"e"});
    list.SetSorted(c.sorted);
    list.SetDuplicates(dupError);
    EXPECT_EQ(listError([&] { c.action(list); }), c.expected);
    EXPECT_EQ(linesOf(list), (Lines{u"a", u"b", u"c", u"d", u"e"}));
  }
}

TEST(WideStringListTest, PositionsAtTheEdgesAreAccepted) {
  TqdWideStringList list;
  fill(list, {u"a", u"b"});
  list.Insert(2, u"c");  // Insert takes Count
  list.Insert(0, u"z");
  list.wsPutString(3, w(u"C"));
  list.wsPutObject(3, &objects[0]);
  EXPECT_EQ(linesOf(list), (Lines{u"z", u"a", u"b", u"C"}));
  EXPECT_EQ(list.wsGetObject(3), &objects[0]);
  EXPECT_EQ(list.wsGetObject(0), nullptr);
}

TEST(WideStringListTest, ANilListIsAnAssertionFailure) {
  TqdWideStringList list;
  EXPECT_THROW(list.AddStrings(static_cast<TqdWideStrings*>(nullptr)), EAssertionFailed);
  EXPECT_THROW(list.AddStrings(static_cast<const TqdStringList*>(nullptr), 0), EAssertionFailed);
  EXPECT_THROW((void)list.Equals(nullptr), EAssertionFailed);
}

// --- Adding and searching ------------------------------------------------------------------------------------

TEST(WideStringListTest, SortedAddsFollowTheDuplicatesPolicy) {
  struct Case {
    TDuplicates duplicates;
    int32_t expectedPosition;
    Lines expected;
  };
  const Case cases[] = {
      {dupIgnore, 1, {u"a", u"b", u"c"}},
      {dupAccept, 1, {u"a", u"b", u"b", u"c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.duplicates));
    TqdWideStringList list;
    list.SetSorted(true);
    list.SetDuplicates(c.duplicates);
    fill(list, {u"c", u"a", u"b"});
    EXPECT_EQ(list.Add(u"b"), c.expectedPosition);
    EXPECT_EQ(linesOf(list), c.expected);
  }
}

TEST(WideStringListTest, FindGivesTheItemOrTheInsertionPoint) {
  TqdWideStringList list;
  list.SetSorted(true);
  int32_t index = -1;
  EXPECT_FALSE(list.Find(w(u"a"), index));
  EXPECT_EQ(index, 0);
  fill(list, {u"b", u"d", u"f"});
  struct Case {
    qdStringView s;
    bool found;
    int32_t index;
  };
  const Case cases[] = {{u"a", false, 0}, {u"b", true, 0}, {u"c", false, 1}, {u"d", true, 1},
                        {u"e", false, 2}, {u"f", true, 2}, {u"g", false, 3}, {u"", false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.s));
    EXPECT_EQ(list.Find(w(c.s), index), c.found);
    EXPECT_EQ(index, c.index);
  }
}

TEST(WideStringListTest, IndexOfSearchesTransformedStrings) {
  for (bool sorted : {false, true}) {
    SCOPED_TRACE(sorted ? "sorted" : "unsorted");
    TqdWideStringList list(nullptr, qdMakeRef<TqdWideStringLowerCaseTransformer>(1033));
    list.SetDuplicates(dupAccept);
    fill(list, {u"Delta", u"alpha", u"Charlie", u"alpha", u"bravo"});
    list.SetSorted(sorted);
    EXPECT_EQ(list.IndexOf(u"BRAVO"), sorted ? 2 : 4);
    EXPECT_EQ(list.IndexOf(u"delta"), sorted ? 4 : 0);
    EXPECT_EQ(str(list.wsGetString(list.IndexOf(u"DELTA"))), u"delta");
    EXPECT_EQ(list.IndexOf(u"echo"), -1);
    EXPECT_EQ(list.IndexOf(u""), -1);
    // Unsorted lists answer the first of equal items.
    if (!sorted) {
      EXPECT_EQ(list.IndexOf(u"ALPHA"), 1);
    }
  }
}

TEST(WideStringListTest, AddsInSeveralFormsStoreTheSameText) {
  TqdWideStringList list;
  (void)list.Add(w(u"日本"));
  (void)list.Add(qdStringView(u"日本"));
  std::string sjis;
  ASSERT_TRUE(qdEncodeCodePage(932, u"日本", sjis));
  (void)list.Add(sjis, 932);
  {
    TqdScopedProcessProfile profile(1041, 932);
    (void)list.Add(sjis, qdWideStringDefaultCodePage);
  }
  list.Append(std::string_view("caf\xE9"), 1252);
  EXPECT_EQ(list.AddObject(u"x", &objects[1]), 5);
  list.InsertObject(0, std::string_view("y"), 1252, &objects[2]);
  EXPECT_EQ(linesOf(list), (Lines{u"y", u"日本", u"日本", u"日本", u"日本", u"café", u"x"}));
  EXPECT_EQ(list.IndexOfObject(&objects[1]), 6);
  EXPECT_EQ(list.IndexOfObject(&objects[2]), 0);
  EXPECT_EQ(list.IndexOfObject(&objects[3]), -1);
}

// --- Ordering --------------------------------------------------------------------------------------------------

TEST(WideStringListTest, SortOrdersByTheComparerAndCarriesObjects) {
  const qdStringView heads[] = {u"m", u"c", u"x", u"a", u"c", u"\u0100", u"b", u"z", u"", u"k"};
  for (int size : {0, 1, 2, 3, 10, 200}) {
    SCOPED_TRACE(size);
    TqdWideStringList list;
    Lines original;
    std::vector<int> tags(static_cast<size_t>(size));  // one object per item
    for (int i = 0; i < size; ++i) {
      qdString s(heads[(i * 7) % 10]);
      s += static_cast<char16_t>(u'a' + (i * 13) % 26);
      (void)list.AddObject(s, &tags[static_cast<size_t>(i)]);
      original.push_back(s);
    }
    list.Sort();
    Lines expected = original;
    const auto comparer = qdMakeRef<TqdWideStringByteComparer>();
    std::sort(expected.begin(), expected.end(),
              [&](const qdString& a, const qdString& b) { return comparer->Compare(w(a), w(b)) < 0; });
    EXPECT_EQ(linesOf(list), expected);
    for (int32_t i = 0; i < list.Count(); ++i) {
      const auto* tag = static_cast<const int*>(list.wsGetObject(i));
      EXPECT_EQ(original[static_cast<size_t>(tag - tags.data())], str(list.wsGetString(i)));
    }
  }
}

TEST(WideStringListTest, SortedTurnsSortingOnAndOff) {
  TqdWideStringList list;
  fill(list, {u"c", u"a", u"b"});
  list.SetSorted(true);
  EXPECT_EQ(linesOf(list), (Lines{u"a", u"b", u"c"}));
  (void)list.Add(u"0");
  EXPECT_EQ(linesOf(list), (Lines{u"0", u"a", u"b", u"c"}));
  list.SetSorted(false);
  (void)list.Add(u"1");
  EXPECT_EQ(linesOf(list), (Lines{u"0", u"a", u"b", u"c", u"1"}));
}

TEST(WideStringListTest, MoveAndExchangeCarryObjects) {
  TqdWideStringList list;
  for (int i = 0; i < 4; ++i) (void)list.AddObject(qdString(1, static_cast<char16_t>(u'a' + i)), &objects[i]);
  TqdChangeCounter counter(list);
  list.Move(0, 2);
  EXPECT_EQ(linesOf(list), (Lines{u"b", u"c", u"a", u"d"}));
  EXPECT_EQ(list.wsGetObject(2), &objects[0]);
  EXPECT_EQ(counter.changed, 1);  // one update
  list.Move(3, 0);
  EXPECT_EQ(linesOf(list), (Lines{u"d", u"b", u"c", u"a"}));
  EXPECT_EQ(list.wsGetObject(0), &objects[3]);
  list.Exchange(0, 3);
  EXPECT_EQ(linesOf(list), (Lines{u"a", u"b", u"c", u"d"}));
  EXPECT_EQ(list.wsGetObject(0), &objects[0]);
  EXPECT_EQ(list.wsGetObject(3), &objects[3]);
  list.Move(1, 1);
  EXPECT_EQ(linesOf(list), (Lines{u"a", u"b", u"c", u"d"}));
  EXPECT_EQ(counter.changed, 3);
}

TEST(WideStringListTest, DeleteClearAndCapacity) {
  TqdWideStringList list;
  fill(list, {u"a", u"b", u"c", u"d", u"e"});
  EXPECT_GE(list.Capacity(), 5);
  list.Delete(1);
  EXPECT_EQ(linesOf(list), (Lines{u"a", u"c", u"d", u"e"}));
  list.SetCapacity(2);
  EXPECT_EQ(linesOf(list), (Lines{u"a", u"c"}));
  (void)list.Add(u"f");
  EXPECT_EQ(linesOf(list), (Lines{u"a", u"c", u"f"}));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 0);
  // Growth keeps the items across many reallocations.
  Lines many;
  for (int i = 0; i < 300; ++i) many.push_back(IntToStr(i));
  fill(list, many);
  EXPECT_EQ(linesOf(list), many);
}

// --- Names and values --------------------------------------------------------------------------------------------

TEST(WideStringListTest, NamesAndValues) {
  TqdWideStringList list(nullptr, qdMakeRef<TqdWideStringLowerCaseTransformer>(1033));
  fill(list, {u"Host=Example", u"port=80=x", u"flag", u"=empty"});
  EXPECT_EQ(str(list.wsGetName(0)), u"host");
  EXPECT_EQ(str(list.wsGetName(1)), u"port");
  EXPECT_EQ(str(list.wsGetName(2)), u"");
  EXPECT_EQ(str(list.wsGetName(3)), u"");
  EXPECT_EQ(list.IndexOfName(w(u"HOST")), 0);
  EXPECT_EQ(list.IndexOfName(w(u"flag")), -1);  // no "=": no name
  EXPECT_EQ(list.IndexOfName(w(u"")), 3);
  EXPECT_EQ(str(list.wsGetValue(w(u"Port"))), u"80=x");
  EXPECT_EQ(str(list.wsGetValue(w(u"none"))), u"");

  list.wsSetValue(w(u"port"), w(u"8080"));
  list.wsSetValue(w(u"user"), w(u"Me"));
  list.wsSetValue(w(u"host"), w(u""));
  list.wsSetValue(w(u"absent"), w(u""));
  EXPECT_EQ(linesOf(list), (Lines{u"port=8080", u"flag", u"=empty", u"user=me"}));
}

// --- Assignment and equality -----------------------------------------------------------------------------------

TEST(WideStringListTest, EqualsComparesByTheListsOwnOrder) {
  TqdWideStringList plain;
  fill(plain, {u"a", u"B"});
  TqdWideStringList other;
  fill(other, {u"a", u"b"});
  EXPECT_FALSE(plain.Equals(&other));
  TqdWideStringList ignoringCase(qdMakeRef<TqdWideStringCompareStringWComparer>(1033, NORM_IGNORECASE));
  fill(ignoringCase, {u"A", u"b"});
  EXPECT_TRUE(ignoringCase.Equals(&plain));
  EXPECT_TRUE(ignoringCase.Equals(&other));
  (void)other.Add(u"c");
  EXPECT_FALSE(ignoringCase.Equals(&other));
  TqdWideStringList empty1, empty2;
  EXPECT_TRUE(empty1.Equals(&empty2));
}

TEST(WideStringListTest, AssignCopiesItemsAndObjectsBothWays) {
  TqdWideStringList source;
  (void)source.AddObject(u"one", &objects[0]);
  (void)source.AddObject(u"二", &objects[1]);

  TqdWideStringList copy(nullptr, qdMakeRef<TqdWideStringUpperCaseTransformer>(1033));
  (void)copy.Add(u"old");
  copy.Assign(&source);
  EXPECT_EQ(linesOf(copy), (Lines{u"ONE", u"二"}));  // stored through the copy's transformer
  EXPECT_EQ(copy.wsGetObject(1), &objects[1]);

  TqdStringList platform;
  platform.Add(u"stale");
  source.AssignTo(&platform);
  ASSERT_EQ(platform.Count(), 2);
  EXPECT_EQ(platform.Strings(1), u"二");
  EXPECT_EQ(platform.Objects(0), &objects[0]);

  TqdWideStringList fromPlatform;
  fromPlatform.Assign(&platform);
  EXPECT_EQ(linesOf(fromPlatform), (Lines{u"one", u"二"}));
  fromPlatform.AddStrings(&platform, 1252);
  EXPECT_EQ(linesOf(fromPlatform), (Lines{u"one", u"二", u"one", u"二"}));

  TqdWideStringList target;
  source.AssignTo(&target);
  EXPECT_TRUE(target.Equals(&source));
  EXPECT_EQ(target.wsGetObject(0), &objects[0]);
  target.AddStrings(&source);
  EXPECT_EQ(target.Count(), 4);
  EXPECT_EQ(target.wsGetObject(3), &objects[1]);
}

// --- Change events ------------------------------------------------------------------------------------------------

TEST(WideStringListTest, ChangeEventsFireOncePerOutermostUpdate) {
  struct Case {
    const char* name;
    std::function<void(TqdWideStringList&)> action;
    int expected;
  };
  const Case cases[] = {
      {"Add", [](auto& l) { (void)l.Add(u"x"); }, 1},
      {"Delete", [](auto& l) { l.Delete(0); }, 1},
      {"wsPutObject", [](auto& l) { l.wsPutObject(0, &objects[0]); }, 1},
      {"nested updates",
       [](auto& l) {
         l.BeginUpdate();
         (void)l.Add(u"x");
         l.BeginUpdate();
         (void)l.Add(u"y");
         l.Delete(0);
         l.EndUpdate();
         (void)l.Add(u"z");
         l.EndUpdate();
       },
       1},
      {"SetText", [](auto& l) { l.SetText(w(u"p\nq\nr")); }, 1},
      {"AddStrings",
       [](auto& l) {
         TqdWideStringList other;
         fill(other, {u"p", u"q"});
         l.AddStrings(&other);
       },
       1},
      {"Sort of an unsorted list", [](auto& l) { l.Sort(); }, 1},
      {"Clear of an empty list",
       [](auto& l) {
         l.BeginUpdate();
         l.Clear();
         l.EndUpdate();
         l.Clear();
       },
       1},
      {"a refused Insert", [](auto& l) { (void)listError([&] { l.Insert(9, u"x"); }); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TqdWideStringList list;
    fill(list, {u"b", u"a"});
    TqdChangeCounter counter(list);
    c.action(list);
    EXPECT_EQ(counter.changing, c.expected);
    EXPECT_EQ(counter.changed, c.expected);
  }
}

TEST(WideStringListTest, ADestroyedListFiresNothing) {
  int fired = 0;
  {
    auto list = std::make_unique<TqdWideStringList>();
    fill(*list, {u"a", u"b"});
    list->SetOnChange([&](TqdObject*) { ++fired; });
    list->SetOnChanging([&](TqdObject*) { ++fired; });
  }
  EXPECT_EQ(fired, 0);
}

// --- Text --------------------------------------------------------------------------------------------------------

TEST(WideStringListTest, SetTextCutsLinesAtEveryBreak) {
  struct Case {
    qdStringView text;
    Lines expected;
  };
  const Case cases[] = {
      {u"a\r\nb\r\n", {u"a", u"b"}},
      {u"\r\n\r\n", {u"", u""}},
      {u"a\rb", {u"a", u"b"}},
      {u"a\nb", {u"a", u"b"}},
      {u"a\vb", {u"a", u"b"}},
      {u"a\fb", {u"a", u"b"}},
      {u"a\u2028b", {u"a", u"b"}},
      {u"a\u2029b", {u"a", u"b"}},
      {qdStringView(u"a\0b", 3), {u"a", u"b"}},
      {u"a\n\rb", {u"a", u"", u"b"}},  // LF CR is two breaks
      {u"a\r\r\nb", {u"a", u"", u"b"}},
      {u"\n", {u""}},
      {u"a", {u"a"}},
      {u"", {}},
      {u"a\tb c", {u"a\tb c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.text));
    TqdWideStringList list;
    fill(list, {u"old"});
    list.SetText(w(c.text));
    EXPECT_EQ(linesOf(list), c.expected);
  }
}

TEST(WideStringListTest, GetTextJoinsWithTheLineSeparator) {
  TqdWideStringList list;
  EXPECT_EQ(str(list.GetText()), u"");
  fill(list, {u"first"});
  EXPECT_EQ(str(list.GetText()), u"first");
  fill(list, {u"second"});
  EXPECT_EQ(str(list.GetText()), u"first\u2028second");
  EXPECT_EQ(str(list.GetSeparatedText(w(u", "))), u"first, second");
  EXPECT_EQ(str(list.GetSeparatedText(u';')), u"first;second");
}

// --- Streams and files --------------------------------------------------------------------------------------------

Lines loaded(const Bytes& aBytes, bool aForceUnicode, uint32_t aCodePage, int64_t aStart = 0) {
  TqdMemoryStream stream(-1);
  stream.WriteBuffer(aBytes.data(), static_cast<int32_t>(aBytes.size()));
  stream.SetPosition(aStart);
  TqdWideStringList list;
  fill(list, {u"old"});
  list.LoadFromStream(&stream, aForceUnicode, aCodePage);
  return linesOf(list);
}

Bytes bytesOf(std::string_view aText) { return Bytes(aText.begin(), aText.end()); }

std::string sjis(qdStringView aText) {
  std::string bytes;
  EXPECT_TRUE(qdEncodeCodePage(932, aText, bytes));
  return bytes;
}

TEST(WideStringListTest, LoadFromStreamReadsMarksAndCodePages) {
  TqdScopedProcessProfile profile(1041, 932);
  struct Case {
    const char* name;
    Bytes bytes;
    bool forceUnicode;
    uint32_t codePage;
    Lines expected;
    int64_t start = 0;
  };
  const Case cases[] = {
      {"FF FE", {0xFF, 0xFE, 'a', 0, '\n', 0, 0x42, 0x30}, false, 1252, {u"a", u"あ"}},
      {"FE FF swaps every unit", {0xFE, 0xFF, 0, 'a', 0, '\n', 0x30, 0x42}, false, 1252, {u"a", u"あ"}},
      {"FF FE and 3 bytes", {0xFF, 0xFE, 'a', 0, 'b'}, false, 1252, {u"a"}},
      {"a mark alone", {0xFF, 0xFE}, false, 1252, {}},
      {"forced UTF-16", {'a', 0, '\r', 0, '\n', 0, 'b', 0, 'c'}, true, 1252, {u"a", u"b"}},
      {"code page 932", bytesOf(sjis(u"日本\r\n語")), false, 932, {u"日本", u"語"}},
      {"the 932 default", bytesOf(sjis(u"日本\r\n語")), false, qdWideStringDefaultCodePage, {u"日本", u"語"}},
      {"code page 1252", bytesOf("caf\xE9\n\x80"), false, 1252, {u"café", u"€"}},
      {"one byte", {'x'}, false, 1252, {u"x"}},
      {"nothing", {}, false, 1252, {}},
      {"from the position", {'s', 'k', 'i', 'p', 0xFF, 0xFE, 'a', 0}, false, 1252, {u"a"}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(loaded(c.bytes, c.forceUnicode, c.codePage, c.start), c.expected);
  }
}

TEST(WideStringListTest, SaveToStreamRoundTrips) {
  TqdScopedProcessProfile profile(1041, 932);
  struct Case {
    bool unicode, withBOM;
    uint32_t codePage;
    Bytes head;  // the first bytes written
    Lines back;  // what loading the bytes gives
  };
  const Lines lines{u"日本", u"", u"text"};
  // Single-byte code pages have no U+2028: the separators of GetText become
  // the code page's replacement and the lines run together.
  const Lines joined{u"日本??text"};
  const Case cases[] = {
      {true, true, 0, {0xFF, 0xFE, 0xE5, 0x65}, lines},
      {true, false, 0, {0xE5, 0x65}, lines},
      {false, false, 932, {0x93, 0xFA}, joined},
      {false, false, qdWideStringDefaultCodePage, {0x93, 0xFA}, joined},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.unicode) + std::to_string(c.withBOM) + " " + std::to_string(c.codePage));
    TqdWideStringList list;
    fill(list, lines);
    TqdMemoryStream stream(-1);
    list.SaveToStream(&stream, c.unicode, c.withBOM, c.codePage);
    const Bytes bytes = test::streamBytes(stream);
    ASSERT_GE(bytes.size(), c.head.size());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(c.head.size())), c.head);
    EXPECT_EQ(loaded(bytes, c.unicode, c.codePage == 0 ? 1252 : c.codePage), c.back);
  }
}

TEST(WideStringListTest, FilesRoundTripAndMissingOnesRaise) {
  test::TempFolder folder;
  const std::string path = folder.File("lines.txt").string();
  TqdWideStringList list;
  fill(list, {u"一", u"two"});
  list.SaveToFile(path);
  TqdWideStringList back;
  back.LoadFromFile(path);
  EXPECT_EQ(linesOf(back), (Lines{u"一", u"two"}));
  list.Delete(1);
  list.SaveToFile(path, false, false, 932);
  back.LoadFromFile(path, false, 932);
  EXPECT_EQ(linesOf(back), (Lines{u"一"}));
  EXPECT_THROW(back.LoadFromFile(folder.File("missing.txt").string()), EFOpenError);
  EXPECT_THROW(list.SaveToFile(folder.File("no/such/folder.txt").string()), EFCreateError);
}

// --- The stored property --------------------------------------------------------------------------------------

TEST(WideStringListTest, ThePropertyIsWrittenAsAWideString) {
  TqdWideStringList list;
  fill(list, {u"a", u"日本"});
  const Bytes bytes = test::written([&](TqdWriter& aWriter) { list.WriteProperties(aWriter); });
  const Bytes expected = test::written([](TqdWriter& aWriter) {
    aWriter.WriteIdent(u"WideStrings");
    aWriter.WriteWideString_(u"a\u2028日本");
  });
  EXPECT_EQ(bytes, expected);
  ASSERT_GT(bytes.size(), 13u);
  EXPECT_EQ(bytes[13], vaWString);  // after the tag, length and name of the ident

  TqdWideStringList back;
  test::readBytes(bytes, [&](TqdReader& aReader) {
    const qdString name = aReader.ReadIdent();
    EXPECT_TRUE(back.ReadProperty(name, aReader));
  });
  EXPECT_TRUE(back.Equals(&list));
}

TEST(WideStringListTest, ThePropertyIsReadFromEveryStringForm) {
  struct Case {
    const char* name;
    std::function<void(TqdWriter&)> write;
  };
  const std::string utf8 = "x\xE2\x80\xA8y";  // x U+2028 y
  const Case cases[] = {
      {"string", [](TqdWriter& aWriter) { aWriter.WriteAnsiString("x\ny"); }},
      {"long string", [](TqdWriter& aWriter) { aWriter.WriteAnsiString(std::string(300, 'x') + "\ny"); }},
      {"UTF-8 string",
       [&](TqdWriter& aWriter) {
         aWriter.WriteValue(vaUTF8String);
         const int32_t length = static_cast<int32_t>(utf8.size());
         aWriter.Write(&length, 4);
         aWriter.Write(utf8.data(), length);
       }},
      {"wide string", [](TqdWriter& aWriter) { aWriter.WriteWideString_(u"x\u2028y"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TqdWideStringList list;
    test::readBytes(test::written(c.write),
                    [&](TqdReader& aReader) { EXPECT_TRUE(list.ReadProperty(u"WideStrings", aReader)); });
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(str(list.wsGetString(1)), u"y");
  }
  TqdWideStringList list;
  test::readBytes({}, [&](TqdReader& aReader) { EXPECT_FALSE(list.ReadProperty(u"Other", aReader)); });
}

TEST(WideStringListTest, ThePropertyIsStoredOnlyWhenItDiffers) {
  TqdWideStringList empty, items, same, different;
  fill(items, {u"a"});
  fill(same, {u"a"});
  fill(different, {u"b"});
  TqdPersistent notAList;
  struct Case {
    const char* name;
    TqdWideStringList* list;
    TqdPersistent* ancestor;
    bool stored;
  };
  const Case cases[] = {
      {"empty, no ancestor", &empty, nullptr, false},
      {"items, no ancestor", &items, nullptr, true},
      {"equal ancestor", &items, &same, false},
      {"different ancestor", &items, &different, true},
      {"empty against an ancestor with items", &empty, &items, true},
      {"ancestor of another class", &empty, &notAList, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.list->WideStringsStored(c.ancestor), c.stored);
    const Bytes bytes = test::written([&](TqdWriter& aWriter) { c.list->WriteProperties(aWriter, c.ancestor); });
    EXPECT_EQ(bytes.empty(), !c.stored);
  }
}

}  // namespace
}  // namespace qd
