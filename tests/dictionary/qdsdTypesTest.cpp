#include "dictionary/qdsdTypes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "platform/qdLittleEndian.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::u8;

// --- Names -------------------------------------------------------------------------

TEST(FieldTypeNamesTest, IdentifiersRoundTripAndDisplayNamesFollowTheTable) {
  for (int i = 0; i < qdFieldTypeCount; ++i) {
    const auto type = static_cast<TqdFieldType>(i);
    TqdFieldType back = qdtBoolean;
    ASSERT_TRUE(qdFieldTypeFromIdent(qdFieldTypeIdent(type), back)) << i;
    EXPECT_EQ(back, type);
  }
  EXPECT_EQ(u8(qdFieldTypeIdent(qdtInt32)), "qdtInt32");
  EXPECT_EQ(u8(qdFieldTypeIdent(qdtRefNr)), "qdtRefNr");
  EXPECT_EQ(u8(qdFieldTypeDisplayName(qdtWideChar)), "Wide Char");
  EXPECT_EQ(u8(qdFieldTypeDisplayName(qdtFmtBCD)), "Formatted BCD");
  EXPECT_EQ(u8(qdFieldTypeSqlVaryingName(qdtNullString)), "CHARACTER VARYING");
  EXPECT_EQ(u8(qdFieldTypeSqlName(qdtInterval)), "");
  TqdFieldType unused;
  EXPECT_FALSE(qdFieldTypeFromIdent(u"qdtint32", unused)) << "identifiers are matched exactly";
  EXPECT_FALSE(qdFieldTypeFromIdent(u"qdtInterval2", unused));
}

TEST(FieldTypeNamesTest, SqlNamesMapToTheFirstTypeCarryingThem) {
  const std::pair<const char16_t*, TqdFieldType> cases[] = {
      {u"DECIMAL", qdtBCD},
      {u"decimal", qdtBCD},
      {u"CHARACTER", qdtNullString},
      {u"character varying", qdtNullString},
      {u"NATIONAL CHARACTER VARYING", qdtWideString},
      {u"DOUBLE PRECISION", qdtDouble},
      {u"BIGINT", qdtInt64},
      {u"REFNR", qdtRefNr},
      {u"IMAGE", qdtBlobGraphic},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(qdFieldTypeFromSqlName(name), type) << u8(name);
}

TEST(FieldTypeNamesTest, UnknownSqlNameRaises8712) {
  for (const char16_t* name : {u"INTERVAL", u"", u"VARCHAR2"})
    EXPECT_ENGINE_ERROR(qdFieldTypeFromSqlName(name), qdeObjNotFound, "");
}

TEST(FieldTypeNamesTest, ParamTypeNames) {
  const std::pair<const char16_t*, TqdParamType> cases[] = {
      {u"", qdptUnknown},      {u"IN", qdptInput},      {u"out", qdptOutput},  {u"InOut", qdptInputOutput},
      {u"RESULT", qdptResult}, {u"INPUT", qdptUnknown}, {u" IN", qdptUnknown},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(qdParamTypeFromName(name), type) << u8(name);
}

// --- Compatibility ---------------------------------------------------------------------

TEST(FieldTypeCompatibilityTest, ExactlyTheStatedPairsAreCompatible) {
  const std::set<std::pair<TqdFieldType, TqdFieldType>> expected = [] {
    std::set<std::pair<TqdFieldType, TqdFieldType>> pairs;
    const auto group = [&](std::initializer_list<TqdFieldType> aRows, std::initializer_list<TqdFieldType> aColumns) {
      for (TqdFieldType row : aRows)
        for (TqdFieldType column : aColumns) pairs.insert({row, column});
    };
    for (int i = 0; i < qdFieldTypeCount; ++i) pairs.insert({TqdFieldType(i), TqdFieldType(i)});
    group({qdtWord32, qdtAutoInc, qdtRecRev}, {qdtWord32, qdtAutoInc, qdtRecRev});
    group({qdtDateTime, qdtInterval}, {qdtDateTime, qdtInterval});
    group({qdtBlob, qdtBlobMemo, qdtBlobGraphic, qdtBlobWideMemo},
          {qdtBlob, qdtBlobMemo, qdtBlobGraphic, qdtBlobWideMemo});
    group({qdtCurrency, qdtBCD, qdtFmtBCD}, {qdtCurrency, qdtBCD, qdtFmtBCD});
    group({qdtInt64}, {qdtRefNr});
    group({qdtRefNr}, {qdtInt64, qdtCurrency});
    return pairs;
  }();
  for (int row = 0; row < qdFieldTypeCount; ++row) {
    for (int column = 0; column < qdFieldTypeCount; ++column) {
      EXPECT_EQ(qdFieldTypesCompatible[row][column], expected.count({TqdFieldType(row), TqdFieldType(column)}) == 1)
          << u8(qdFieldTypeIdent(TqdFieldType(row))) << " / " << u8(qdFieldTypeIdent(TqdFieldType(column)));
    }
  }
  EXPECT_TRUE(qdFieldTypesCompatible[qdtRefNr][qdtCurrency]);
  EXPECT_FALSE(qdFieldTypesCompatible[qdtCurrency][qdtRefNr]);
}

// --- Record ids and cache infos ---------------------------------------------------------

TEST(RecordInfoTest, RecordIdAndCacheInfoStates) {
  EXPECT_TRUE(qdRecIDIsAssigned(TqdRecID{1, 2}));
  EXPECT_FALSE(qdRecIDIsAssigned(TqdRecID{1, 0}));
  EXPECT_TRUE(qdRecIDIsNone(TqdRecID{-1, -1}));
  EXPECT_FALSE(qdRecIDIsNone(TqdRecID{-1, 0}));

  TqdRecordCacheInfo info{5, 7};
  EXPECT_TRUE(qdRecordCacheInfoIsValid(info));
  EXPECT_FALSE(qdRecordCacheInfoIsEmpty(info));
  EXPECT_TRUE(qdRecordCacheInfoSameAs(info, &info));
  EXPECT_FALSE(qdRecordCacheInfoSameAs(info, nullptr));
  const TqdRecordCacheInfo other{5, 8};
  EXPECT_FALSE(qdRecordCacheInfoEqual(info, other));
  qdRecordCacheInfoClear(info);
  EXPECT_TRUE(qdRecordCacheInfoIsEmpty(info));
  EXPECT_FALSE(qdRecordCacheInfoEqual(info, info)) << "an empty info equals nothing";
}

TEST(RecordInfoTest, SkipBlobInfosSkipsCountAndEntries) {
  std::vector<uint8_t> infos(2 + 3 * 8 + 1, 0);
  qdPutU16(infos.data(), 3);
  EXPECT_EQ(qdSkipBlobInfos(infos.data()), infos.data() + 26);
  EXPECT_EQ(qdSkipBlobInfos(nullptr), nullptr);
}

TEST(SharedInfoTest, SpecialFieldsInfoIsFreedWithItsLastReference) {
  TqdSpecialFieldsInfo* info = qdNewSpecialFieldsInfo();
  for (int i = 0; i < qdSpecialFieldTypeCount; ++i) EXPECT_EQ(info->sfiFields[i], -1);
  TqdSpecialFieldsInfo* second = qdAddRefSpecialFieldsInfo(info);
  EXPECT_EQ(info->sfiRefCount, 2);
  qdReleaseSpecialFieldsInfo(second);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(info->sfiRefCount, 1);
  qdReleaseSpecialFieldsInfo(info);
  EXPECT_EQ(info, nullptr);
}

// --- Diff compression ------------------------------------------------------------------

TEST(DiffCompressorTest, HeadFieldsFollowTheRecordLength) {
  struct Case {
    int32_t length, words, bitmapWords;
  };
  for (const Case& c :
       {Case{1, 1, 1}, Case{4, 1, 1}, Case{20, 5, 1}, Case{128, 32, 1}, Case{129, 33, 2}, Case{65535, 16384, 512}}) {
    TqdDiffCompressorInfo* info = qdNewDiffCompressorInfo(c.length);
    EXPECT_EQ(info->dciSourceWord32Count, c.words) << c.length;
    EXPECT_EQ(info->dciBitsLengthWord32s, c.bitmapWords) << c.length;
    EXPECT_EQ(info->dciBitsLengthByte8s, 4 * c.bitmapWords) << c.length;
    EXPECT_EQ(info->dciTargetWord32Count, c.words - c.bitmapWords) << c.length;
    EXPECT_EQ(info->dciRefCount, 1);
    qdReleaseDiffCompressorInfo(info);
  }
}

TEST(DiffCompressorTest, LengthsOutsideA16BitRecordAreRefused) {
  for (int32_t length : {0, -4, 65536}) EXPECT_THROW(qdNewDiffCompressorInfo(length), EAssertionFailed) << length;
}

TEST(DiffCompressorTest, MarkedWordsAndAppliedDiffRebuildTheTarget) {
  TqdDiffCompressorInfo* info = qdNewDiffCompressorInfo(40);
  std::vector<uint8_t> base(44), target(44);
  for (int i = 0; i < 44; ++i) base[i] = static_cast<uint8_t>(i);
  target = base;
  target[0] = 0xAA;   // word 0
  target[13] = 0xBB;  // word 3
  target[39] = 0xCC;  // word 9
  qdMarkDiffWords(*info, base.data(), target.data());
  ASSERT_EQ(info->dciRequiredBits.size(), 1u);
  EXPECT_EQ(info->dciRequiredBits[0], (1u << 0) | (1u << 3) | (1u << 9));

  // A diff image: the bitmap, then the changed words in ascending order.
  std::vector<uint8_t> diff(4 + 3 * 4);
  qdPutU32(diff.data(), info->dciRequiredBits[0]);
  std::memcpy(&diff[4], &target[0], 4);
  std::memcpy(&diff[8], &target[12], 4);
  std::memcpy(&diff[12], &target[36], 4);
  std::vector<uint8_t> rebuilt(44, 0);
  qdApplyRecordDiff(*info, base.data(), diff.data(), rebuilt.data());
  EXPECT_TRUE(std::equal(rebuilt.begin(), rebuilt.begin() + 40, target.begin()));
  qdReleaseDiffCompressorInfo(info);
}

}  // namespace
}  // namespace qd
