// The engine's value vocabulary and the small records every layer above the
// foundation shares: the 32 field types with their names and storage rules,
// the type compatibility table, record ids, cache infos, the special-fields
// and diff-compression infos built from a record layout, and the lock,
// transaction, BLOB and batch enumerations.
//
// Field types. `TqdFieldType` is one byte, code = ordinal; streams store a
// type as its identifier ("qdtInt32"). The bytes a field occupies in a record
// image and the units/decimals its setup leaves are given by the field
// descriptor (qdsdDataDictionary); the lengths of the fixed types are here.
//
// Shared infos. `TqdSpecialFieldsInfo`, `TqdDiffCompressorInfo` and
// `TqdCacheableInfo` are built from one record layout and shared between a
// dictionary and its users with a reference count. A holder takes one more
// reference with the qdAddRef... routines and gives it back with the
// qdRelease... routines, which take the pointer out of the caller's variable
// with a locked exchange, decrement with a locked operation and free the info
// at zero. No lock guards their contents: an info is filled before it is
// shared and read-only afterwards.
//
// Diff images. A record diff is a bitmap of `dciBitsLengthByte8s` bytes (bit
// i set = 32-bit word i of the record changed) followed by the changed words
// in ascending word order:
//
//   offset                    size                      meaning
//   0                         4 * B                     bitmap, LE 32-bit words
//   4 * B                     4 * (changed words)       the changed words
//
// where W = (record length + 3) div 4 and B = ceil(W / 32).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/qdStrings.h"

namespace qd {

// --- Small sets of enumerations ---------------------------------------------------

// A set of the values of an enumeration whose ordinals are below 64, held as
// a bit mask (bit n = the value with ordinal n), which is how sets are stored.
template <class E, class TBits = uint32_t>
class TqdSet {
 public:
  constexpr TqdSet() = default;
  constexpr TqdSet(std::initializer_list<E> aValues) {
    for (E value : aValues) sBits |= Bit(value);
  }
  static constexpr TqdSet FromBits(TBits aBits) {
    TqdSet result;
    result.sBits = aBits;
    return result;
  }

  constexpr bool Contains(E aValue) const { return (sBits & Bit(aValue)) != 0; }
  constexpr void Include(E aValue) { sBits |= Bit(aValue); }
  constexpr void Exclude(E aValue) { sBits &= ~Bit(aValue); }
  constexpr bool Empty() const { return sBits == 0; }
  constexpr TBits Bits() const { return sBits; }

  constexpr TqdSet operator+(TqdSet aOther) const { return FromBits(sBits | aOther.sBits); }
  constexpr TqdSet operator*(TqdSet aOther) const { return FromBits(sBits & aOther.sBits); }
  constexpr TqdSet operator-(TqdSet aOther) const { return FromBits(sBits & ~aOther.sBits); }
  friend constexpr bool operator==(TqdSet a, TqdSet b) { return a.sBits == b.sBits; }

 private:
  static constexpr TBits Bit(E aValue) { return static_cast<TBits>(TBits(1) << static_cast<unsigned>(aValue)); }

  TBits sBits = 0;
};

// --- Field types -------------------------------------------------------------------

enum TqdFieldType : uint8_t {
  qdtBoolean,
  qdtChar,
  qdtWideChar,
  qdtByte,
  qdtWord16,
  qdtWord32,
  qdtInt8,
  qdtInt16,
  qdtInt32,
  qdtInt64,
  qdtAutoInc,
  qdtSingle,
  qdtDouble,
  qdtExtended,
  qdtCurrency,
  qdtDate,
  qdtTime,
  qdtDateTime,
  qdtInterval,
  qdtBlob,
  qdtBlobMemo,
  qdtBlobGraphic,
  qdtByteArray,
  qdtShortString,
  qdtNullString,
  qdtWideString,
  qdtRecRev,
  qdtGuid,
  qdtBCD,
  qdtBlobWideMemo,
  qdtFmtBCD,
  qdtRefNr,
};

inline constexpr int qdFieldTypeCount = 32;
inline constexpr TqdFieldType qdtLastFieldType = qdtRefNr;

// 32 bits, bit n = the field type with ordinal n.
using TqdFieldTypes = TqdSet<TqdFieldType, uint32_t>;

inline constexpr TqdFieldTypes qdBlobFieldTypes{qdtBlob, qdtBlobMemo, qdtBlobGraphic, qdtBlobWideMemo};
// Values the engine maintains itself; such a field is never required.
inline constexpr TqdFieldTypes qdSystemFieldTypes{qdtAutoInc, qdtRecRev, qdtRefNr};
// The types whose values are text.
inline constexpr TqdFieldTypes qdTextFieldTypes{qdtChar,       qdtWideChar,   qdtBlobMemo,    qdtShortString,
                                                qdtNullString, qdtWideString, qdtBlobWideMemo};

inline constexpr bool qdIsValidFieldType(int aCode) { return aCode >= 0 && aCode < qdFieldTypeCount; }

// The value identifier as streams store it ("qdtInt32").
const char16_t* qdFieldTypeIdent(TqdFieldType aType);
// "Int32", "Wide Char", "BLOB Memo", ...
const char16_t* qdFieldTypeDisplayName(TqdFieldType aType);
// The SQL names; empty for qdtInterval, which has none.
const char16_t* qdFieldTypeSqlName(TqdFieldType aType);
const char16_t* qdFieldTypeSqlVaryingName(TqdFieldType aType);
// The identifier back to its type (exact spelling); false when it names none.
bool qdFieldTypeFromIdent(qdStringView aIdent, TqdFieldType& aType);

// Storage compatibility, indexed [row type][column type]: every type with
// itself; Word32/AutoInc/RecRev among each other; DateTime/Interval; the four
// BLOB types; Currency/BCD/FmtBCD; Int64 -> RefNr; RefNr -> Int64 and
// Currency (the one pair that holds in one direction only).
using TqdFieldTypeTable = std::array<std::array<bool, qdFieldTypeCount>, qdFieldTypeCount>;
extern const TqdFieldTypeTable qdFieldTypesCompatible;

// The type of an SQL name or SQL varying name, case-insensitively; a name
// shared by two types maps to the first ("DECIMAL" -> qdtBCD). An unknown
// name raises 8712.
TqdFieldType qdFieldTypeFromSqlName(qdStringView aName);

// --- Parameters ----------------------------------------------------------------------

enum TqdParamType : uint8_t { qdptUnknown, qdptInput, qdptOutput, qdptInputOutput, qdptResult };

// "", "IN", "OUT", "INOUT", "RESULT" (ASCII case ignored); anything else
// gives qdptUnknown.
TqdParamType qdParamTypeFromName(qdStringView aName);

// --- Scalars and buffers ------------------------------------------------------------

using TqdRefNr = int64_t;
using TqdLSN = int64_t;
using TqdBlobNr = int64_t;
// 1..2147483647.
using TqdGrowSize = int32_t;
using TqdFilterID = uint32_t;
using TqdKeyFilterID = uint32_t;
// Four ANSI characters, as they stand in a table file header.
struct TqdBlockSignature {
  char bsChars[4] = {0, 0, 0, 0};
  friend bool operator==(const TqdBlockSignature&, const TqdBlockSignature&) = default;
};

// Record and key buffers are byte arrays indexed by a 16-bit index.
inline constexpr int32_t qdMaxRecordBufferSize = 65536;
inline constexpr int32_t qdMaxRecordLength = 65535;
inline constexpr int32_t qdMaxKeyLength = 65535;
using PqdRecordBuffer = uint8_t*;
using PqdKeyBuffer = uint8_t*;

using TqdBlobNrs = std::vector<TqdBlobNr>;
using TqdMarkedBlobsByBlobIdx = std::vector<uint32_t>;
// The field numbers of the BLOB fields in field order, and per field number
// its index among them (-1 for other fields).
using TqdBlobFields = std::vector<int32_t>;
using TqdBlobFieldsToBlobFields = std::vector<int32_t>;

// --- Records ---------------------------------------------------------------------

// All-zero parts = unassigned; both parts -1 = no record.
struct TqdRecID {
  TqdRefNr ridRefNr = 0;
  TqdLSN ridInsertLSN = 0;
};

struct TqdRecordCacheInfo {
  TqdRefNr rciRefNr = 0;
  TqdLSN rciModifyLSN = 0;
};

struct TqdIndexedRecordCacheInfo {
  TqdRefNr irciRefNr = 0;
  TqdLSN irciModifyLSN = 0;
  int32_t irciIndex = 0;
};

struct TqdRecordCacheInfoBlobInfo {
  uint16_t rcibiCount = 0;
  TqdBlobNrs rcibiBlobNrs;
};

struct TqdIndexedRecordCacheInfoAndBlobInfo {
  TqdIndexedRecordCacheInfo irciabiIndexedRecordCacheInfo;
  TqdRecordCacheInfoBlobInfo* irciabiBlobInfo = nullptr;
};

struct TqdNewBlobNr {
  TqdBlobNr nbnBlobNr = 0;
  bool nbnSet = false;
};

enum TqdCachedBlobStateInfo : uint8_t { cbsiCreated, cbsiCreatedFile, cbsiDeleted, cbsiModified };

struct TqdBlobCacheInfo {
  int32_t bciFieldNo = 0;
  TqdBlobNr bciBlobNr = 0;
  TqdCachedBlobStateInfo bciState = cbsiCreated;
  TqdBlobNr bciCacheBlobNr = 0;
  qdString bciCacheFileName;
  uint32_t bciLength = 0;
  bool bciFlushed = false;
  bool bciEverFlushed = false;
  bool bciBlobNrInternal = false;
};

struct TqdBlobBatchRequestEntry {
  TqdBlobNr bbrqeBlobNr = 0;
  TqdBlobNr bbrqeBlobNrLocal = 0;
  TqdCachedBlobStateInfo bbrqeStateInfo = cbsiCreated;
  qdString bbrqeFileName;
  std::vector<uint8_t> bbrqeData;
  uint16_t bbrqeFieldNo = 0;
};

struct TqdBlobBatchRequest {
  TqdRecID bbrqRecID;
  std::vector<TqdBlobBatchRequestEntry> bbrqEntries;
};

struct TqdBlobBatchReplyEntry {
  TqdBlobNr bbrpeBlobNr = 0;
};

struct TqdBlobBatchReply {
  uint16_t bbrpCount = 0;
  std::vector<TqdBlobBatchReplyEntry> bbrpEntries;
};

// --- Enumerations ----------------------------------------------------------------

enum TqdTransactionLevelState : uint8_t { tlsCorrupted, tlsDeadlocked, tlsNoMoreNested };
using TqdTransactionLevelStates = TqdSet<TqdTransactionLevelState, uint8_t>;
enum TqdTransactionState : uint8_t { tsFailsafe, tsSnapshot, tsForBlobRead, tsFailed };
using TqdTransactionStates = TqdSet<TqdTransactionState, uint8_t>;
enum TqdRecordGetBatchExOption : uint8_t {
  gboBlobs,
  gboBookmarks,
  gboBackwards,
  gboAllowClientFilter,
  gboSetToBeginOrEnd,
  gboBlobNrs,
  gboBlobsOnlyMarked,
};
using TqdRecordGetBatchExOptions = TqdSet<TqdRecordGetBatchExOption, uint8_t>;
enum TqdOpenMode : uint8_t { omReadOnly, omWriteOnly, omReadWrite, omNone };
enum TqdShareMode : uint8_t { smExclusive, smShared, smShareRead };
enum TqdLockType : uint8_t { qdltNoLock, qdltReadLock, qdltWriteLock };
enum TqdLockPresent : uint8_t { lpNotAtAll, lpYesByUs, lpYesByAnother };
enum TqdSearchKeyAction : uint8_t {
  skaEqualFirst,
  skaGreaterEqual,
  skaGreater,
  skaEqualLast,
  skaSmallerEqual,
  skaSmaller,
  skaAnyEqual,
  skaAnyGreaterEqual,
  skaAnyGreater,
  skaAnySmallerEqual,
  skaAnySmaller,
};
enum TqdBlobCopyMode : uint8_t { qdbcmNoCopy, qdbcmCopyFull, qdbcmCreateLink };
enum TqdStatementType : uint8_t { stQuery, stStoredProcedure };
enum TqdRecordCountOption : uint8_t {
  rcoTotalRecordCount,
  rcoTotalKeyCount,
  rcoRangedKeyCount,
  rcoServerFilteredKeyCount,
  rcoClientFilteredKeyCount,
};
enum TqdIndexPathPosition : uint8_t { ippUnknown, ippBof, ippOnCrackBefore, ippOnCrackAfter, ippOnKey, ippEof };
enum TqdClassListType : uint8_t {
  setAutoIncEngines,
  setBlobEngines,
  setIndexEngines,
  setEncryptionEngines,
  setDefaultDescriptors,
  setValidationDescriptors,
  setRecordDescriptors,
  setRIActionDescriptors,
};
enum TqdLockResult : uint8_t {
  lrGrantedNew,
  lrGrantedExisting,
  lrConflictUnknown,
  lrConflictCursorWriteLock,
  lrConflictCursorReadLockSingle,
  lrConflictCursorReadLockMultiple,
  lrConflictCursorRecordLockSingle,
  lrConflictCursorRecordLockMultiple,
  lrConflictTransaction,
};
enum TqdLockRequestType : uint8_t { lrtRecordLock, lrtReadLock, lrtWriteLock };
enum TqdInsertOption : uint8_t { ioSetDefault, ioSetAutoInc, ioValidate, ioModifyIfFound };
using TqdInsertOptions = TqdSet<TqdInsertOption, uint8_t>;
enum TqdRecordIteratorResult : uint8_t { rirContinue, rirStop };
enum TqdKeyIteratorResult : uint8_t { kirContinue, kirSkipKey, kirStop };
enum TqdSecurityToken : uint8_t { stAdmin, stRead, stWrite };
using TqdSecurityTokens = TqdSet<TqdSecurityToken, uint8_t>;
enum TqdBlobReadSnapshotState : uint8_t {
  brssNone,
  brssRequestStart,
  brssUnneccesary,
  brssFailedToStart,
  brssStarted,
  brssRequestClose,
  brssFailedToClose,
  brssClosed,
};
enum TqdSpecialFieldType : uint8_t { sftAutoInc, sftAutoGuid, sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN };
inline constexpr int qdSpecialFieldTypeCount = 6;
enum TqdTableCachingState : uint8_t { tcsNone, tcsCacheable, tcsIsCache };

using TqdRecordIterator = TqdRecordIteratorResult (*)(void* aCookie, TqdRefNr aRefNr, PqdRecordBuffer aRecord);
using TqdKeyIterator = TqdKeyIteratorResult (*)(void* aCookie, TqdRefNr aRefNr, PqdKeyBuffer aKey);

// --- Transaction, task and parameter records ---------------------------------------

struct TqdTransactionLevelInfo {
  double tliStartTime = 0;
  int32_t tliStartLSN = 0;
  int32_t tliLSN = 0;
  int32_t tliLevel = 0;
  int32_t tliBlockCount = 0;
  int32_t tliNestingCount = 0;
  TqdTransactionLevelStates tliState;
};

struct TqdTransactionInfo {
  std::vector<TqdTransactionLevelInfo> tiLevels;
  double tiStartTime = 0;
  int32_t tiStartLSN = 0;
  int32_t tiLSN = 0;
  int32_t tiLevel = 0;
  uint32_t tiBlockCount = 0;
  TqdTransactionStates tiState;
};

struct TqdTaskStatus {
  uint32_t tsStartTime = 0;
  uint32_t tsSnapshotTime = 0;
  uint32_t tsTotalRecs = 0;
  uint32_t tsRecsRead = 0;
  uint32_t tsRecsWritten = 0;
  uint32_t tsErrorCode = 0;
  uint8_t tsPercentDone = 0;
  bool tsFinished = false;
  qdString tsErrorMessage;
};

struct TqdSqlParamDesc {
  qdString piParamName;
  TqdParamType piParamType = qdptUnknown;
  TqdFieldType piDataType = qdtBoolean;
  std::vector<uint8_t> piData;
};

struct TqdStoredProcParamDesc {
  qdString piParamName;
  TqdParamType piParamType = qdptUnknown;
  TqdFieldType piDataType = qdtBoolean;
  int32_t piSize = 0;
};

// --- Record id and cache info routines -----------------------------------------------

// Both parts non-zero.
bool qdRecIDIsAssigned(const TqdRecID& aRecID);
// Both parts -1.
bool qdRecIDIsNone(const TqdRecID& aRecID);

void qdRecordCacheInfoClear(TqdRecordCacheInfo& aInfo);
// Either part zero.
bool qdRecordCacheInfoIsEmpty(const TqdRecordCacheInfo& aInfo);
// Both parts non-zero.
bool qdRecordCacheInfoIsValid(const TqdRecordCacheInfo& aInfo);
// b nil: false; else equal parts and both parts of a non-zero.
bool qdRecordCacheInfoSameAs(const TqdRecordCacheInfo& a, const TqdRecordCacheInfo* b);
bool qdRecordCacheInfoEqual(const TqdRecordCacheInfo& a, const TqdRecordCacheInfo& b);
bool qdIndexedRecordCacheInfoSameAs(const TqdIndexedRecordCacheInfo& a, const TqdIndexedRecordCacheInfo* b);
// Record id assigned and at least one entry.
bool qdBlobBatchRequestIsAssigned(const TqdBlobBatchRequest& aRequest);
// Past a 16-bit count and that many 8-byte BLOB numbers; nil stays nil.
const uint8_t* qdSkipBlobInfos(const uint8_t* aBlobInfos);

// --- Special fields -------------------------------------------------------------------

struct TqdSpecialFieldsInfo {
  TqdBlobFields sfiBlobFields;
  TqdBlobFieldsToBlobFields sfiFieldsToBlobFields;
  // Per special field type the field number and its offset, -1 = none.
  int32_t sfiFields[qdSpecialFieldTypeCount];
  int32_t sfiOffsets[qdSpecialFieldTypeCount];
  int32_t sfiRefCount = 0;
};

// A cleared info with one reference.
TqdSpecialFieldsInfo* qdNewSpecialFieldsInfo();
// Numbers and offsets -1, both arrays emptied.
void qdClearSpecialFieldsInfo(TqdSpecialFieldsInfo& aInfo);
TqdSpecialFieldsInfo* qdAddRefSpecialFieldsInfo(TqdSpecialFieldsInfo* aInfo);
// Takes the info out of the variable; frees it with the last reference.
void qdReleaseSpecialFieldsInfo(TqdSpecialFieldsInfo*& aInfo);

// Filled from a data dictionary: the special-fields info and the numbers of
// the indexes a cached table needs (-1 = none).
struct TqdCacheableInfo {
  TqdSpecialFieldsInfo* ciSFI = nullptr;
  int32_t ciRefCount = 0;
  int32_t ciModifyLSNIndex = -1;
  int32_t ciGraveyardLSNIndex = -1;
  int32_t ciGraveyardRefNrIndex = -1;
  int32_t ciCachedBlobsIndex = -1;
  int32_t ciBlobNrCounterIndex = -1;
};

TqdCacheableInfo* qdNewCacheableInfo();
// Releases the special-fields info and sets every index to -1.
void qdClearCacheableInfo(TqdCacheableInfo& aInfo);
void qdReleaseCacheableInfo(TqdCacheableInfo*& aInfo);

// --- Diff compression -----------------------------------------------------------------

struct TqdDiffCompressorInfo {
  int32_t dciRefCount = 0;
  // W: the 32-bit words of a record.
  uint16_t dciSourceWord32Count = 0;
  // 4 * B.
  uint16_t dciBitsLengthByte8s = 0;
  // B: the 32-bit words of a W-bit bitmap.
  uint16_t dciBitsLengthWord32s = 0;
  // W - B.
  uint16_t dciTargetWord32Count = 0;
  // W bits in B words: set for the words a diff must always carry.
  std::vector<uint32_t> dciRequiredBits;
};

// For a record length of 1..65535 (record buffers index with 16 bits); any
// other length is a programming error and raises EAssertionFailed. One
// reference.
TqdDiffCompressorInfo* qdNewDiffCompressorInfo(int32_t aRecordLength);
TqdDiffCompressorInfo* qdAddRefDiffCompressorInfo(TqdDiffCompressorInfo* aInfo);
void qdReleaseDiffCompressorInfo(TqdDiffCompressorInfo*& aInfo);
// Zeroes the required bits and sets bit i for every 32-bit word i in which
// the two records differ. Both records are at least 4 * W bytes long.
void qdMarkDiffWords(TqdDiffCompressorInfo& aDCI, const uint8_t* aRecord1, const uint8_t* aRecord2);
// Word i of aTarget is the next data word of aDiff when bit i of its bitmap
// is set, else word i of aBase.
void qdApplyRecordDiff(const TqdDiffCompressorInfo& aDCI, const uint8_t* aBase, const uint8_t* aDiff, uint8_t* aTarget);

// --- Unit start and end ------------------------------------------------------------------

// Builds and frees the SQL name lookup list.
void qdsdTypesInitialize();
void qdsdTypesFinalize();

}  // namespace qd
