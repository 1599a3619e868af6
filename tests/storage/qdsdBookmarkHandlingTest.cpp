// Bookmarks: the checks of a buffer that comes back from a client, the
// order of bookmarks by position, key and record, and their Variant form.
#include "storage/qdsdBookmarkHandling.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdKeyEngineInt64.h"
#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"

namespace qd::test {
namespace {

using Bookmark = std::vector<uint8_t>;

// A bookmark as an index path writes it; aKey is an Int64 key value.
Bookmark Make(int32_t aIndex, TqdIndexPathPosition aPosition, int64_t aRefNr, const int64_t* aKey = nullptr,
              uint32_t aKeyLength = 8) {
  Bookmark bytes(kBookmarkHeaderSize + aKeyLength, 0);
  qdPutI32(bytes.data() + kBookmarkOffIndex, aIndex);
  bytes[kBookmarkOffPosition] = aPosition;
  bytes[kBookmarkOffKeyValid] = aKey != nullptr;
  qdPutI64(bytes.data() + kBookmarkOffRefNr, aRefNr);
  qdPutI32(bytes.data() + kBookmarkOffKeyLength, int32_t(aKeyLength));
  if (aKey != nullptr && aKeyLength >= 8) qdPutI64(bytes.data() + kBookmarkHeaderSize, *aKey);
  qdPutU32(bytes.data(), qdElfHash(bytes.data() + 4, int32_t(bytes.size() - 4)));
  return bytes;
}

void Reseal(Bookmark& aBookmark) {
  qdPutU32(aBookmark.data(), qdElfHash(aBookmark.data() + 4, int32_t(aBookmark.size() - 4)));
}

// An index whose stored keys were built under another NLS version.
class TqdRebuildNeededKeyEngine : public TqdInt64KeyEngine {
 public:
  explicit TqdRebuildNeededKeyEngine(TqdBaseKeyDescriptor* aDescriptor) : TqdInt64KeyEngine(aDescriptor) {
    bkeNLSVersionChanged = true;
  }
};

// An index whose key engine cannot read some key bytes.
class TqdPickyKeyEngine : public TqdInt64KeyEngine {
 public:
  using TqdInt64KeyEngine::CompareKey;
  using TqdInt64KeyEngine::TqdInt64KeyEngine;
  int8_t CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount, int32_t aPartialLen) override {
    if (qdGetI64(aKey1) < 0 || qdGetI64(aKey2) < 0) throw EConvertError(u"unreadable key");
    return TqdInt64KeyEngine::CompareKey(aKey1, aKey2, aFieldCount, aPartialLen);
  }
  TqdVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) override {
    if (qdGetI64(aKey) < 0) throw EqdBaseException(qdeInvalidParam);
    return TqdInt64KeyEngine::KeyAsVariant(aKey, aField);
  }
};

class BookmarkTest : public ::testing::Test {
 protected:
  BookmarkTest() : fKeyEngine(new TqdInt64KeyEngine(&fKey)), fHandler(3, fKeyEngine.get()) {}

  Bookmark On(TqdIndexPathPosition aPosition, int64_t aKey, int64_t aRefNr) {
    return Make(3, aPosition, aRefNr, &aKey);
  }
  // The comparison result, or 100 + the error code.
  int32_t Compare(const Bookmark& a, const Bookmark& b, const TqdBookmarkHandler* aHandler = nullptr) {
    const TqdBookmarkHandler& handler = aHandler != nullptr ? *aHandler : fHandler;
    int32_t result = 42;
    const TqdResult code = handler.CompareBookmarks(a.data(), b.data(), uint32_t(a.size()), result);
    if (code != 0) {
      EXPECT_EQ(result, 42) << "not set on failure";
      return int32_t(100 + code);
    }
    return result;
  }

  TqdInt64KeyDescriptor fKey{nullptr};
  std::unique_ptr<TqdBaseKeyEngine> fKeyEngine;
  TqdBookmarkHandler fHandler;
};

constexpr int32_t kMismatch = 100 + int32_t(qdeBookmarkMismatch);

TEST_F(BookmarkTest, SizesFollowTheKeyEngine) {
  EXPECT_EQ(fHandler.BookmarkSize(), 32u);
  ASSERT_NE(qdNoIndexBookmarkHandler(), nullptr);
  EXPECT_EQ(qdNoIndexBookmarkHandler()->BookmarkSize(), 24u);
  EXPECT_EQ(qdNoIndexBookmarkHandler()->IndexID(), -1);
}

TEST_F(BookmarkTest, OnlySoundBookmarksOfThisIndexPass) {
  const int64_t key = 77;
  const Bookmark good = On(ippOnKey, key, 5);
  EXPECT_EQ(fHandler.CheckBookmark(good.data(), uint32_t(good.size())), 0u);

  struct Case {
    const char* what;
    Bookmark bytes;
    uint32_t size;
  };
  Bookmark altered = good;
  altered[kBookmarkOffRefNr] ^= 1;
  Bookmark badCheck = good;
  badCheck[0] ^= 0x10;
  Bookmark keyAltered = good;
  keyAltered[kBookmarkHeaderSize + 2] ^= 1;
  Bookmark otherLength = Make(3, ippOnKey, 5, &key, 4);
  otherLength.resize(32);
  Bookmark hugeLength = good;
  qdPutI32(hugeLength.data() + kBookmarkOffKeyLength, 0x7FFFFFF0);
  Reseal(hugeLength);
  const Case cases[] = {
      {"record changed after sealing", altered, 32},
      {"check value altered", badCheck, 32},
      {"key changed after sealing", keyAltered, 32},
      {"another index of the table", Make(4, ippOnKey, 5, &key), 32},
      {"a path without index", Make(-1, ippOnKey, 5, nullptr, 0), 24},
      {"key length of another index", otherLength, 32},
      {"stored key length beyond the buffer", hugeLength, 32},
      {"shorter than header and key", good, 31},
      {"shorter than the header", good, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(fHandler.CheckBookmark(c.bytes.data(), c.size), qdeBookmarkMismatch);
  }
  EXPECT_EQ(fHandler.CheckBookmark(nullptr, 32), qdeBookmarkMismatch);
}

// The size given is the limit of what is read, whatever the stored key
// length says: a bookmark cut short is refused without reading past it.
TEST_F(BookmarkTest, NothingBeyondTheGivenSizeIsRead) {
  const int64_t key = 1;
  const Bookmark good = On(ippOnKey, key, 1);
  for (uint32_t size = 0; size < good.size(); ++size) {
    auto cut = std::make_unique<uint8_t[]>(size + 1);  // exact allocation for the sanitizers
    std::memcpy(cut.get(), good.data(), size);
    EXPECT_EQ(fHandler.CheckBookmark(cut.get(), size), qdeBookmarkMismatch) << size;
  }
  TqdBookmarkHandler& noIndex = *qdNoIndexBookmarkHandler();
  Bookmark claimsKey = Make(-1, ippOnKey, 9, nullptr, 0);
  qdPutI32(claimsKey.data() + kBookmarkOffKeyLength, 1000);
  Reseal(claimsKey);
  EXPECT_EQ(noIndex.CheckBookmark(claimsKey.data(), 24), qdeBookmarkMismatch);
}

TEST_F(BookmarkTest, BookmarksOrderByPositionKeyAndRecord) {
  const Bookmark bof = Make(3, ippBof, 0);
  const Bookmark eof = Make(3, ippEof, 0);
  const Bookmark before = On(ippOnCrackBefore, 10, 5);
  const Bookmark on = On(ippOnKey, 10, 5);
  const Bookmark after = On(ippOnCrackAfter, 10, 5);
  const Bookmark smallerKey = On(ippOnKey, 9, 99);
  const Bookmark laterRecord = On(ippOnCrackBefore, 10, 6);
  struct Case {
    const char* what;
    const Bookmark& a;
    const Bookmark& b;
    int32_t expected;
  };
  const Case cases[] = {
      {"before vs after the crack", before, after, -1},
      {"after vs before the crack", after, before, 1},
      {"on the key vs before", on, before, 1},
      {"on the key vs after", on, after, -1},
      {"before vs on the key", before, on, -1},
      {"on vs on", on, on, 0},
      {"before vs before", before, before, 0},
      {"key decides first", smallerKey, before, -1},
      {"then the record", laterRecord, on, 1},
      {"anything vs EOF", on, eof, -1},
      {"anything vs BOF", after, bof, 1},
      {"EOF vs EOF", eof, eof, 0},
      {"EOF vs anything", eof, before, 1},
      {"BOF vs BOF", bof, bof, 0},
      {"BOF vs anything", bof, on, -1},
      {"BOF vs EOF", bof, eof, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Compare(c.a, c.b), c.expected);
  }
}

TEST_F(BookmarkTest, UnpositionedOrKeylessBookmarksDoNotCompare) {
  const Bookmark on = On(ippOnKey, 10, 5);
  Bookmark unknown = On(ippUnknown, 10, 5);
  Bookmark outOfRange = On(ippOnKey, 10, 5);
  outOfRange[kBookmarkOffPosition] = 9;
  Reseal(outOfRange);
  const Bookmark noKey = Make(3, ippOnKey, 5);
  Bookmark damaged = on;
  damaged[0] ^= 1;
  EXPECT_EQ(Compare(unknown, on), kMismatch);
  EXPECT_EQ(Compare(on, unknown), kMismatch);
  EXPECT_EQ(Compare(outOfRange, on), kMismatch);
  EXPECT_EQ(Compare(on, noKey), kMismatch);
  EXPECT_EQ(Compare(noKey, on), kMismatch);
  EXPECT_EQ(Compare(damaged, on), kMismatch);
  EXPECT_EQ(Compare(on, damaged), kMismatch);
  EXPECT_EQ(Compare(Make(3, ippBof, 0), noKey), -1) << "positions decide before keys are needed";
}

TEST_F(BookmarkTest, KeysOfAnotherNlsVersionCannotBeCompared) {
  TqdRebuildNeededKeyEngine engine(&fKey);
  const TqdBookmarkHandler handler(3, &engine);
  EXPECT_EQ(Compare(On(ippOnKey, 1, 1), On(ippOnKey, 2, 1), &handler), 100 + int32_t(qdeNotSupported));
  EXPECT_EQ(Compare(On(ippOnKey, 1, 1), Make(3, ippEof, 0), &handler), -1) << "the ends need no key";
}

TEST_F(BookmarkTest, KeyBytesTheKeyEngineCannotReadAreADefectNotAnException) {
  TqdPickyKeyEngine engine(&fKey);
  const TqdBookmarkHandler handler(3, &engine);
  const Bookmark unreadable = On(ippOnKey, -1, 1);
  const Bookmark readable = On(ippOnKey, 1, 1);
  EXPECT_EQ(Compare(unreadable, readable, &handler), kMismatch);
  EXPECT_EQ(Compare(readable, readable, &handler), 0);
  TqdVariant value;
  EXPECT_EQ(handler.BookmarkAsVariant(unreadable.data(), 32, value), qdeBookmarkMismatch);
  EXPECT_TRUE(value.IsEmpty());
  EXPECT_EQ(handler.BookmarkAsVariant(readable.data(), 32, value), 0u);
}

TEST_F(BookmarkTest, PathsWithoutIndexCompareByRecordOnly) {
  const TqdBookmarkHandler& noIndex = *qdNoIndexBookmarkHandler();
  const Bookmark r5 = Make(-1, ippOnKey, 5, nullptr, 0);
  const Bookmark r7 = Make(-1, ippOnCrackBefore, 7, nullptr, 0);
  const Bookmark r5before = Make(-1, ippOnCrackBefore, 5, nullptr, 0);
  EXPECT_EQ(Compare(r5, r7, &noIndex), -1);
  EXPECT_EQ(Compare(r7, r5, &noIndex), 1);
  EXPECT_EQ(Compare(r5, r5before, &noIndex), 1);
  EXPECT_EQ(Compare(Make(-1, ippOnKey, -3, nullptr, 0), r5, &noIndex), -1) << "signed references";
  TqdVariant value;
  EXPECT_EQ(noIndex.BookmarkAsVariant(r7.data(), 24, value), 0u);
  EXPECT_EQ(value.VarType(), varInt64);
  EXPECT_EQ(value.AsInt64(), 7);
}

TEST_F(BookmarkTest, VariantsAreTheKeyOrNullAtTheEnds) {
  TqdVariant value = TqdVariant(int32_t(3));
  const Bookmark bof = Make(3, ippBof, 0);
  EXPECT_EQ(fHandler.BookmarkAsVariant(bof.data(), 32, value), 0u);
  EXPECT_TRUE(value.IsNull());
  const Bookmark eof = Make(3, ippEof, 0);
  EXPECT_EQ(fHandler.BookmarkAsVariant(eof.data(), 32, value), 0u);
  EXPECT_TRUE(value.IsNull());
  const Bookmark on = On(ippOnCrackAfter, 1234, 5);
  EXPECT_EQ(fHandler.BookmarkAsVariant(on.data(), 32, value), 0u);
  EXPECT_EQ(value.AsInt64(), 1234);

  struct Case {
    const char* what;
    Bookmark bytes;
  };
  const Case cases[] = {
      {"unknown position", On(ippUnknown, 1, 1)},
      {"no key", Make(3, ippOnKey, 1)},
      {"another index", Make(2, ippBof, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    value = TqdVariant(int32_t(3));
    EXPECT_EQ(fHandler.BookmarkAsVariant(c.bytes.data(), 32, value), qdeBookmarkMismatch);
    EXPECT_TRUE(value.IsEmpty()) << "cleared first";
  }
}

}  // namespace
}  // namespace qd::test
