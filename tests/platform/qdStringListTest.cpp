#include "platform/qdStringList.h"

#include <gtest/gtest.h>

#include <vector>

namespace qd {
namespace {

qdString u(std::string_view aUtf8) { return Utf8ToString(aUtf8); }

std::vector<qdString> items(const TqdStringList& aList) {
  std::vector<qdString> result;
  for (int32_t i = 0; i < aList.Count(); ++i) result.push_back(aList.Strings(i));
  return result;
}

void expectMessage(const std::function<void()>& aAction, const char* aMessage) {
  try {
    aAction();
    ADD_FAILURE() << "no exception, wanted " << aMessage;
  } catch (const EStringListError& e) {
    EXPECT_STREQ(e.what(), aMessage);
  }
}

TEST(StringListTest, UnsortedPositionsAndCaseInsensitiveSearch) {
  TqdStringList list;
  list.Add(u"b");
  list.Add(u"abc");
  list.Insert(0, u"first");
  EXPECT_EQ(items(list), (std::vector<qdString>{u"first", u"b", u"abc"}));
  EXPECT_EQ(list.IndexOf(u"ABC"), 2);
  EXPECT_EQ(list.IndexOf(u"zz"), -1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf(u"ABC"), -1);
  list.Delete(0);
  list.Move(1, 0);
  EXPECT_EQ(items(list), (std::vector<qdString>{u"abc", u"b"}));
  list.Exchange(0, 1);
  list.Put(0, u"B!");
  EXPECT_EQ(items(list), (std::vector<qdString>{u"B!", u"abc"}));
  list.Insert(2, u"end");  // inserting at Count appends
  EXPECT_EQ(list.Count(), 3);

  expectMessage([&] { list.Delete(5); }, "List index out of bounds (5)");
  expectMessage([&] { (void)list.Strings(-1); }, "List index out of bounds (-1)");
  expectMessage([&] { list.Insert(4, u"x"); }, "List index out of bounds (4)");
}

TEST(StringListTest, SortedListsApplyTheDuplicatesPolicy) {
  struct Case {
    TDuplicates policy;
    std::vector<qdString> expected;
    bool raises;
  };
  const Case cases[] = {
      {dupIgnore, {u"A", u"b", u"c"}, false},
      {dupAccept, {u"a", u"A", u"b", u"c"}, false},  // an equal string goes before its equals
      {dupError, {u"A", u"b", u"c"}, true},
  };
  for (const Case& c : cases) {
    TqdStringList list;
    list.SetSorted(true);
    list.SetDuplicates(c.policy);
    list.Add(u"b");
    list.Add(u"A");
    list.Add(u"c");
    if (c.raises) {
      expectMessage([&] { list.Add(u"a"); }, "Duplicates not allowed");
    } else {
      const int32_t index = list.Add(u"a");
      EXPECT_EQ(index, 0) << c.policy;
    }
    EXPECT_EQ(items(list), c.expected) << c.policy;
  }

  TqdStringList sorted;
  sorted.SetSorted(true);
  sorted.Add(u"m");
  sorted.Add(u"x");
  int32_t index;
  EXPECT_FALSE(sorted.Find(u"n", index));
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(sorted.Find(u"X", index));
  EXPECT_EQ(index, 1);
  expectMessage([&] { sorted.Insert(0, u"a"); }, "Operation not allowed on sorted list");
  expectMessage([&] { sorted.Put(0, u"a"); }, "Operation not allowed on sorted list");
  expectMessage([&] { sorted.Exchange(0, 1); }, "Operation not allowed on sorted list");
}

TEST(StringListTest, SortingKeepsObjectsWithTheirStrings) {
  int one = 1, two = 2, three = 3;
  TqdStringList list;
  list.AddObject(u"pear", &one);
  list.AddObject(u"Apple", &two);
  list.AddObject(u"fig", &three);
  list.SetSorted(true);
  EXPECT_EQ(items(list), (std::vector<qdString>{u"Apple", u"fig", u"pear"}));
  EXPECT_EQ(list.Objects(0), &two);
  EXPECT_EQ(list.Objects(2), &one);
  EXPECT_EQ(list.IndexOfObject(&three), 1);
  EXPECT_EQ(list.IndexOf(u"PEAR"), 2);

  list.SetSorted(false);
  list.CustomSort([](const TqdStringList& aList, int32_t a, int32_t b) {
    return static_cast<int>(aList.Strings(a).size()) - static_cast<int>(aList.Strings(b).size());
  });
  EXPECT_EQ(items(list), (std::vector<qdString>{u"fig", u"pear", u"Apple"}));
  EXPECT_EQ(list.Objects(0), &three);

  // Case-sensitive order is by code unit: upper case first.
  TqdStringList cs;
  cs.SetCaseSensitive(true);
  cs.SetSorted(true);
  cs.SetDuplicates(dupError);
  cs.Add(u"b");
  cs.Add(u"a");
  cs.Add(u"B");
  EXPECT_EQ(items(cs), (std::vector<qdString>{u"B", u"a", u"b"}));
  cs.SetCaseSensitive(false);  // re-sorts under the new comparison
  EXPECT_EQ(cs.IndexOf(u"A"), 0);
}

TEST(StringListTest, DefaultComparisonFoldsCaseBeyondAscii) {
  struct Case {
    const char* left;
    const char* right;
    int sign;
  };
  const Case cases[] = {
      {"ÄBC", "äbc", 0},   {"ΣΑΣ", "σας", 0},  // final sigma folds to sigma
      {"𐐀", "𐐨", 0},                           // a surrogate pair folds as one character
      {"ａＢ", "Ａｂ", 0},                     // full-width letters fold too
      {"abc", "abd", -1},  {"ab", "abc", -1}, {"b", "A", 1},
  };
  for (const Case& c : cases) {
    const int order = qdStringListDefaultCompare(u(c.left), u(c.right), false);
    EXPECT_EQ((order > 0) - (order < 0), c.sign) << c.left << " vs " << c.right;
  }
  EXPECT_NE(qdStringListDefaultCompare(u"a", u"A", true), 0);
}

TEST(StringListTest, CompareHookAndOverride) {
  const TqdStringListCompare saved = qdStringListCompareHook;
  qdStringListCompareHook = [](qdStringView a, qdStringView b, bool) { return b.compare(a); };
  TqdStringList reversed;
  reversed.SetSorted(true);
  for (const char16_t* s : {u"a", u"c", u"b"}) reversed.Add(s);
  qdStringListCompareHook = saved;
  EXPECT_EQ(items(reversed), (std::vector<qdString>{u"c", u"b", u"a"}));

  class OrdinalList : public TqdStringList {
   protected:
    int CompareStrings(qdStringView aLeft, qdStringView aRight) const override { return aLeft.compare(aRight); }
  };
  OrdinalList ordinal;
  ordinal.SetSorted(true);
  for (const char16_t* s : {u"b", u"a", u"B"}) ordinal.Add(s);
  EXPECT_EQ(items(ordinal), (std::vector<qdString>{u"B", u"a", u"b"}));
  EXPECT_EQ(ordinal.IndexOf(u"A"), -1);

  // Assigning into a list with another comparison orders by the target's.
  TqdStringList plain;
  plain.SetSorted(true);
  plain.SetDuplicates(dupAccept);
  for (const char16_t* s : {u"b", u"a", u"B"}) plain.Add(s);
  ordinal.Assign(plain);
  EXPECT_EQ(items(ordinal), (std::vector<qdString>{u"B", u"a", u"b"}));
}

TEST(StringListTest, NameValueLines) {
  TqdStringList list;
  list.SetText(u"a=1\r\nB=2=3\r\nc\r\n=x");
  EXPECT_EQ(list.Names(0), u"a");
  EXPECT_EQ(list.Names(1), u"B");
  EXPECT_EQ(list.ValueFromIndex(1), u"2=3");
  EXPECT_EQ(list.Names(2), u"");
  EXPECT_EQ(list.ValueFromIndex(2), u"");
  EXPECT_EQ(list.Names(3), u"");
  EXPECT_EQ(list.ValueFromIndex(3), u"x");
  EXPECT_EQ(list.Values(u"b"), u"2=3");
  EXPECT_EQ(list.Values(u"c"), u"") << "a line without '=' has no name";
  EXPECT_EQ(list.IndexOfName(u"C"), -1);
  EXPECT_EQ(list.IndexOfName(u""), 3);

  list.SetValues(u"A", u"9");
  EXPECT_EQ(list.Strings(0), u"A=9");
  list.SetValues(u"new", u"v");
  EXPECT_EQ(list.Strings(list.Count() - 1), u"new=v");
  list.SetValues(u"b", u"");
  EXPECT_EQ(list.IndexOfName(u"b"), -1);
  list.SetValueFromIndex(0, u"10");
  EXPECT_EQ(list.Strings(0), u"A=10");

  TqdStringList sorted;
  sorted.SetSorted(true);
  sorted.Add(u"b=1");
  sorted.Add(u"c=2");
  sorted.SetValues(u"b", u"zz");
  EXPECT_EQ(items(sorted), (std::vector<qdString>{u"b=zz", u"c=2"}));
  sorted.NameValueSeparator = u':';
  sorted.Add(u"d:4");
  EXPECT_EQ(sorted.Values(u"d"), u"4");
}

TEST(StringListTest, CommaTextQuoting) {
  struct Case {
    std::vector<qdString> items;
    qdString text;
  };
  const Case cases[] = {
      {{u"a", u"b c", u"d,e", u"f\"g", u""}, u"a,\"b c\",\"d,e\",\"f\"\"g\","},
      {{u""}, u"\"\""},
      {{}, u""},
      {{u"tab\there", u"x"}, u"\"tab\there\",x"},
      {{u("日本"), u"1"}, u("日本,1")},
  };
  for (const Case& c : cases) {
    TqdStringList list;
    for (const qdString& s : c.items) list.Add(s);
    EXPECT_EQ(list.CommaText(), c.text);
    TqdStringList back;
    back.SetCommaText(list.CommaText());
    EXPECT_EQ(items(back), c.items) << StringToUtf8(c.text);
  }
}

TEST(StringListTest, CommaAndDelimitedTextParsing) {
  struct Case {
    const char16_t* text;
    char16_t delimiter;
    bool strict;
    std::vector<qdString> expected;
  };
  const Case cases[] = {
      {u"a, b ,\"c d\",\"e\"\"f\",,g", u',', false, {u"a", u"b", u"c d", u"e\"f", u"", u"g"}},
      {u"a b", u',', false, {u"a", u"b"}},
      {u"a,", u',', false, {u"a", u""}},
      {u"  ", u',', false, {}},
      {u"\"unterminated", u',', false, {u"unterminated"}},
      {u"\"a\"b", u',', false, {u"a", u"b"}},
      {u"a b;c", u';', true, {u"a b", u"c"}},
      {u" x ;\"y;z\"", u';', true, {u" x ", u"y;z"}},
      {u"a;", u';', true, {u"a", u""}},
  };
  for (const Case& c : cases) {
    TqdStringList list;
    list.Delimiter = c.delimiter;
    list.StrictDelimiter = c.strict;
    list.SetDelimitedText(c.text);
    EXPECT_EQ(items(list), c.expected) << StringToUtf8(c.text);
  }
  TqdStringList strict;
  strict.Delimiter = u';';
  strict.StrictDelimiter = true;
  strict.Add(u"a b");
  strict.Add(u"c;d");
  EXPECT_EQ(strict.DelimitedText(), u"a b;\"c;d\"");
  EXPECT_EQ(strict.CommaText(), u"\"a b\",c;d") << "comma text ignores the list's own delimiter settings";
}

TEST(StringListTest, TextLineBreaks) {
  TqdStringList list;
  list.Add(u"a");
  list.Add(u"b");
  EXPECT_EQ(list.Text(), u"a\r\nb\r\n");
  list.LineBreak = u"\n";
  EXPECT_EQ(list.Text(), u"a\nb\n");

  struct Case {
    const char16_t* text;
    std::vector<qdString> expected;
  };
  const Case cases[] = {
      {u"x\ny\r\nz\rw", {u"x", u"y", u"z", u"w"}},
      {u"a\r\n\r\n", {u"a", u""}},
      {u"\n", {u""}},
      {u"", {}},
      {u"no break", {u"no break"}},
  };
  for (const Case& c : cases) {
    list.SetText(c.text);
    EXPECT_EQ(items(list), c.expected) << StringToUtf8(c.text);
  }
}

TEST(StringListTest, AssignCopiesItemsAndSettings) {
  int marker = 0;
  TqdStringList source;
  source.SetSorted(true);
  source.SetDuplicates(dupError);
  source.SetCaseSensitive(true);
  source.Delimiter = u';';
  source.AddObject(u"k", &marker);
  TqdStringList copy(source);
  EXPECT_TRUE(copy.Sorted());
  EXPECT_EQ(copy.Duplicates(), dupError);
  EXPECT_TRUE(copy.CaseSensitive());
  EXPECT_EQ(copy.Delimiter, u';');
  EXPECT_EQ(copy.Objects(0), &marker);
  source.Clear();
  EXPECT_EQ(copy.Count(), 1);
  EXPECT_THROW(copy.AddStrings(copy), EStringListError);
  EXPECT_EQ(copy.Count(), 1);

  TqdStringList unsorted;
  unsorted.Add(u"x");
  unsorted.Add(u"y");
  unsorted.AddStrings(unsorted);
  EXPECT_EQ(items(unsorted), (std::vector<qdString>{u"x", u"y", u"x", u"y"}));
}

}  // namespace
}  // namespace qd
