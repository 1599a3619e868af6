#include "dictionary/qdsdTypes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "foundation/qdllException.h"
#include "foundation/qdllInterlocked.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

struct TqdFieldTypeNames {
  const char16_t* Ident;
  const char16_t* DisplayName;
  const char16_t* SqlName;
  const char16_t* SqlVaryingName;
};

constexpr TqdFieldTypeNames fieldTypeNames[qdFieldTypeCount] = {
    {u"qdtBoolean", u"Boolean", u"BOOLEAN", u"BOOLEAN"},
    {u"qdtChar", u"Char", u"SINGLECHAR", u"SINGLECHAR"},
    {u"qdtWideChar", u"Wide Char", u"NSINGLECHAR", u"NSINGLECHAR"},
    {u"qdtByte", u"Byte", u"BYTE", u"BYTE"},
    {u"qdtWord16", u"Word16", u"WORD", u"WORD"},
    {u"qdtWord32", u"Word32", u"DWORD", u"DWORD"},
    {u"qdtInt8", u"Int8", u"SHORTINT", u"SHORTINT"},
    {u"qdtInt16", u"Int16", u"SMALLINT", u"SMALLINT"},
    {u"qdtInt32", u"Int32", u"INTEGER", u"INTEGER"},
    {u"qdtInt64", u"Int64", u"BIGINT", u"BIGINT"},
    {u"qdtAutoInc", u"AutoInc", u"AUTOINC", u"AUTOINC"},
    {u"qdtSingle", u"Single", u"FLOAT", u"FLOAT"},
    {u"qdtDouble", u"Double", u"DOUBLE PRECISION", u"DOUBLE PRECISION"},
    {u"qdtExtended", u"Extended", u"EXTENDED", u"EXTENDED"},
    {u"qdtCurrency", u"Currency", u"MONEY", u"MONEY"},
    {u"qdtDate", u"Date", u"DATE", u"DATE"},
    {u"qdtTime", u"Time", u"TIME", u"TIME"},
    {u"qdtDateTime", u"DateTime", u"TIMESTAMP", u"TIMESTAMP"},
    {u"qdtInterval", u"Interval", u"", u""},
    {u"qdtBlob", u"BLOB", u"BINARY LARGE OBJECT", u"BINARY LARGE OBJECT"},
    {u"qdtBlobMemo", u"BLOB Memo", u"CHARACTER LARGE OBJECT", u"CHARACTER LARGE OBJECT"},
    {u"qdtBlobGraphic", u"BLOB Graphic", u"IMAGE", u"IMAGE"},
    {u"qdtByteArray", u"Byte Array", u"BYTEARRAY", u"BYTEARRAY"},
    {u"qdtShortString", u"ShortString", u"SHORTSTRING", u"SHORTSTRING"},
    {u"qdtNullString", u"NullString", u"CHARACTER", u"CHARACTER VARYING"},
    {u"qdtWideString", u"WideString", u"NATIONAL CHARACTER", u"NATIONAL CHARACTER VARYING"},
    {u"qdtRecRev", u"RecRev", u"RECREV", u"RECREV"},
    {u"qdtGuid", u"GUID", u"GUID", u"GUID"},
    {u"qdtBCD", u"BCD", u"DECIMAL", u"DECIMAL"},
    {u"qdtBlobWideMemo", u"BLOB Wide Memo", u"NATIONAL CHARACTER LARGE OBJECT", u"NATIONAL CHARACTER LARGE OBJECT"},
    {u"qdtFmtBCD", u"Formatted BCD", u"DECIMAL", u"DECIMAL"},
    {u"qdtRefNr", u"RefNr", u"REFNR", u"REFNR"},
};

constexpr void makeCompatible(TqdFieldTypeTable& aTable, std::initializer_list<TqdFieldType> aRows,
                              std::initializer_list<TqdFieldType> aColumns) {
  for (TqdFieldType row : aRows)
    for (TqdFieldType column : aColumns) aTable[row][column] = true;
}

constexpr TqdFieldTypeTable buildCompatibility() {
  TqdFieldTypeTable table{};
  for (int i = 0; i < qdFieldTypeCount; ++i) table[i][i] = true;
  makeCompatible(table, {qdtWord32, qdtAutoInc, qdtRecRev}, {qdtWord32, qdtAutoInc, qdtRecRev});
  makeCompatible(table, {qdtDateTime, qdtInterval}, {qdtDateTime, qdtInterval});
  makeCompatible(table, {qdtBlob, qdtBlobMemo, qdtBlobGraphic, qdtBlobWideMemo},
                 {qdtBlob, qdtBlobMemo, qdtBlobGraphic, qdtBlobWideMemo});
  makeCompatible(table, {qdtCurrency, qdtBCD, qdtFmtBCD}, {qdtCurrency, qdtBCD, qdtFmtBCD});
  makeCompatible(table, {qdtInt64}, {qdtRefNr});
  makeCompatible(table, {qdtRefNr}, {qdtInt64, qdtCurrency});
  return table;
}

char16_t asciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

int compareAsciiIgnoreCase(qdStringView a, qdStringView b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t ca = asciiUpper(a[i]);
    const char16_t cb = asciiUpper(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// Sorted by name without regard to ASCII case; each name once.
std::vector<std::pair<qdString, TqdFieldType>>* sqlNameList = nullptr;

void addSqlName(std::vector<std::pair<qdString, TqdFieldType>>& aList, qdStringView aName, TqdFieldType aType) {
  if (aName.empty()) return;
  auto it = std::lower_bound(aList.begin(), aList.end(), aName, [](const auto& aEntry, qdStringView aKey) {
    return compareAsciiIgnoreCase(aEntry.first, aKey) < 0;
  });
  if (it != aList.end() && compareAsciiIgnoreCase(it->first, aName) == 0) return;
  aList.insert(it, {qdString(aName), aType});
}

template <class TInfo>
void releaseInfo(TInfo*& aInfo, int32_t TInfo::*aRefCount) {
  TInfo* info = qdInterlockedExchangePointer(aInfo, static_cast<TInfo*>(nullptr));
  if (info == nullptr) return;
  if (qdInterlockedDecrement(info->*aRefCount) == 0) delete info;
}

}  // namespace

const TqdFieldTypeTable qdFieldTypesCompatible = buildCompatibility();

const char16_t* qdFieldTypeIdent(TqdFieldType aType) {
  return qdIsValidFieldType(aType) ? fieldTypeNames[aType].Ident : u"";
}

const char16_t* qdFieldTypeDisplayName(TqdFieldType aType) {
  return qdIsValidFieldType(aType) ? fieldTypeNames[aType].DisplayName : u"";
}

const char16_t* qdFieldTypeSqlName(TqdFieldType aType) {
  return qdIsValidFieldType(aType) ? fieldTypeNames[aType].SqlName : u"";
}

const char16_t* qdFieldTypeSqlVaryingName(TqdFieldType aType) {
  return qdIsValidFieldType(aType) ? fieldTypeNames[aType].SqlVaryingName : u"";
}

bool qdFieldTypeFromIdent(qdStringView aIdent, TqdFieldType& aType) {
  for (int i = 0; i < qdFieldTypeCount; ++i) {
    if (aIdent == fieldTypeNames[i].Ident) {
      aType = static_cast<TqdFieldType>(i);
      return true;
    }
  }
  return false;
}

TqdFieldType qdFieldTypeFromSqlName(qdStringView aName) {
  if (sqlNameList != nullptr) {
    auto it = std::lower_bound(
        sqlNameList->begin(), sqlNameList->end(), aName,
        [](const auto& aEntry, qdStringView aKey) { return compareAsciiIgnoreCase(aEntry.first, aKey) < 0; });
    if (it != sqlNameList->end() && compareAsciiIgnoreCase(it->first, aName) == 0) return it->second;
  }
  throw EqdBaseException(qdeObjNotFound);
}

TqdParamType qdParamTypeFromName(qdStringView aName) {
  static constexpr const char16_t* names[] = {u"", u"IN", u"OUT", u"INOUT", u"RESULT"};
  for (int i = 0; i < 5; ++i)
    if (compareAsciiIgnoreCase(aName, names[i]) == 0) return static_cast<TqdParamType>(i);
  return qdptUnknown;
}

// --- Record ids and cache infos ---------------------------------------------------------

bool qdRecIDIsAssigned(const TqdRecID& aRecID) { return aRecID.ridRefNr != 0 && aRecID.ridInsertLSN != 0; }

bool qdRecIDIsNone(const TqdRecID& aRecID) { return aRecID.ridRefNr == -1 && aRecID.ridInsertLSN == -1; }

void qdRecordCacheInfoClear(TqdRecordCacheInfo& aInfo) {
  aInfo.rciRefNr = 0;
  aInfo.rciModifyLSN = 0;
}

bool qdRecordCacheInfoIsEmpty(const TqdRecordCacheInfo& aInfo) {
  return aInfo.rciRefNr == 0 || aInfo.rciModifyLSN == 0;
}

bool qdRecordCacheInfoIsValid(const TqdRecordCacheInfo& aInfo) {
  return aInfo.rciRefNr != 0 && aInfo.rciModifyLSN != 0;
}

bool qdRecordCacheInfoSameAs(const TqdRecordCacheInfo& a, const TqdRecordCacheInfo* b) {
  return b != nullptr && qdRecordCacheInfoEqual(a, *b);
}

bool qdRecordCacheInfoEqual(const TqdRecordCacheInfo& a, const TqdRecordCacheInfo& b) {
  return a.rciRefNr == b.rciRefNr && a.rciModifyLSN == b.rciModifyLSN && qdRecordCacheInfoIsValid(a);
}

bool qdIndexedRecordCacheInfoSameAs(const TqdIndexedRecordCacheInfo& a, const TqdIndexedRecordCacheInfo* b) {
  return b != nullptr && a.irciRefNr == b->irciRefNr && a.irciModifyLSN == b->irciModifyLSN && a.irciRefNr != 0 &&
         a.irciModifyLSN != 0;
}

bool qdBlobBatchRequestIsAssigned(const TqdBlobBatchRequest& aRequest) {
  return qdRecIDIsAssigned(aRequest.bbrqRecID) && !aRequest.bbrqEntries.empty();
}

const uint8_t* qdSkipBlobInfos(const uint8_t* aBlobInfos) {
  if (aBlobInfos == nullptr) return nullptr;
  return aBlobInfos + 2 + 8 * static_cast<size_t>(qdGetU16(aBlobInfos));
}

// --- Special fields ---------------------------------------------------------------------

TqdSpecialFieldsInfo* qdNewSpecialFieldsInfo() {
  auto* info = new TqdSpecialFieldsInfo;
  qdClearSpecialFieldsInfo(*info);
  info->sfiRefCount = 1;
  return info;
}

void qdClearSpecialFieldsInfo(TqdSpecialFieldsInfo& aInfo) {
  for (int i = 0; i < qdSpecialFieldTypeCount; ++i) {
    aInfo.sfiFields[i] = -1;
    aInfo.sfiOffsets[i] = -1;
  }
  aInfo.sfiBlobFields.clear();
  aInfo.sfiFieldsToBlobFields.clear();
}

TqdSpecialFieldsInfo* qdAddRefSpecialFieldsInfo(TqdSpecialFieldsInfo* aInfo) {
  if (aInfo != nullptr) qdInterlockedIncrement(aInfo->sfiRefCount);
  return aInfo;
}

void qdReleaseSpecialFieldsInfo(TqdSpecialFieldsInfo*& aInfo) {
  releaseInfo(aInfo, &TqdSpecialFieldsInfo::sfiRefCount);
}

TqdCacheableInfo* qdNewCacheableInfo() {
  auto* info = new TqdCacheableInfo;
  info->ciRefCount = 1;
  return info;
}

void qdClearCacheableInfo(TqdCacheableInfo& aInfo) {
  qdReleaseSpecialFieldsInfo(aInfo.ciSFI);
  aInfo.ciModifyLSNIndex = -1;
  aInfo.ciGraveyardLSNIndex = -1;
  aInfo.ciGraveyardRefNrIndex = -1;
  aInfo.ciCachedBlobsIndex = -1;
  aInfo.ciBlobNrCounterIndex = -1;
}

void qdReleaseCacheableInfo(TqdCacheableInfo*& aInfo) {
  TqdCacheableInfo* info = qdInterlockedExchangePointer(aInfo, static_cast<TqdCacheableInfo*>(nullptr));
  if (info == nullptr) return;
  if (qdInterlockedDecrement(info->ciRefCount) == 0) {
    qdReleaseSpecialFieldsInfo(info->ciSFI);
    delete info;
  }
}

// --- Diff compression -------------------------------------------------------------------

TqdDiffCompressorInfo* qdNewDiffCompressorInfo(int32_t aRecordLength) {
  if (aRecordLength <= 0 || aRecordLength > qdMaxRecordLength)
    qdAssertFailed("qdsdTypes", "record length in 1..65535 for a diff compressor info");
  const int32_t words = (aRecordLength + 3) / 4;
  const int32_t bitmapWords = (words + 31) / 32;
  auto* info = new TqdDiffCompressorInfo;
  info->dciRefCount = 1;
  info->dciSourceWord32Count = static_cast<uint16_t>(words);
  info->dciBitsLengthWord32s = static_cast<uint16_t>(bitmapWords);
  info->dciBitsLengthByte8s = static_cast<uint16_t>(4 * bitmapWords);
  info->dciTargetWord32Count = static_cast<uint16_t>(words - bitmapWords);
  info->dciRequiredBits.assign(bitmapWords, 0);
  return info;
}

TqdDiffCompressorInfo* qdAddRefDiffCompressorInfo(TqdDiffCompressorInfo* aInfo) {
  if (aInfo != nullptr) qdInterlockedIncrement(aInfo->dciRefCount);
  return aInfo;
}

void qdReleaseDiffCompressorInfo(TqdDiffCompressorInfo*& aInfo) {
  releaseInfo(aInfo, &TqdDiffCompressorInfo::dciRefCount);
}

void qdMarkDiffWords(TqdDiffCompressorInfo& aDCI, const uint8_t* aRecord1, const uint8_t* aRecord2) {
  std::fill(aDCI.dciRequiredBits.begin(), aDCI.dciRequiredBits.end(), 0u);
  for (int32_t i = 0; i < aDCI.dciSourceWord32Count; ++i) {
    if (std::memcmp(aRecord1 + 4 * i, aRecord2 + 4 * i, 4) != 0) aDCI.dciRequiredBits[i / 32] |= 1u << (i % 32);
  }
}

void qdApplyRecordDiff(const TqdDiffCompressorInfo& aDCI, const uint8_t* aBase, const uint8_t* aDiff,
                       uint8_t* aTarget) {
  const uint8_t* data = aDiff + aDCI.dciBitsLengthByte8s;
  for (int32_t i = 0; i < aDCI.dciSourceWord32Count; ++i) {
    const uint32_t bitmapWord = qdGetU32(aDiff + 4 * (i / 32));
    if ((bitmapWord & (1u << (i % 32))) != 0) {
      std::memcpy(aTarget + 4 * i, data, 4);
      data += 4;
    } else {
      std::memcpy(aTarget + 4 * i, aBase + 4 * i, 4);
    }
  }
}

// --- Unit start and end -------------------------------------------------------------------

void qdsdTypesInitialize() {
  if (sqlNameList != nullptr) return;
  auto* list = new std::vector<std::pair<qdString, TqdFieldType>>;
  for (int i = 0; i < qdFieldTypeCount; ++i) {
    addSqlName(*list, fieldTypeNames[i].SqlName, static_cast<TqdFieldType>(i));
    addSqlName(*list, fieldTypeNames[i].SqlVaryingName, static_cast<TqdFieldType>(i));
  }
  sqlNameList = list;
}

void qdsdTypesFinalize() {
  delete sqlNameList;
  sqlNameList = nullptr;
}

}  // namespace qd
