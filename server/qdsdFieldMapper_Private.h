// Shared pieces of the numeric converters (server/qdsdFieldMapper.h): target
// ranges and image writers, and the routines for targets that need an
// instance (characters, strings, BCD), written once over a source's "text",
// "digit" and "decimal" operations. Included only by the converter units.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdFmtBcd.h"
#include "foundation/qdllUtils.h"
#include "platform/qdExtended.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdMath.h"
#include "server/qdsdFieldMapper.h"

namespace qd::qdsdFieldMapperPrivate {

constexpr int64_t kMinCurrencyImage = -INT64_MAX;  // -9223372036854775807
constexpr int64_t kMaxCurrencyImage = INT64_MAX;
constexpr double kTwoPow63 = 9223372036854775808.0;

enum TqdRoutineMode { rmPlain, rmBestFit, rmCheck };

struct TqdIntRange {
  int64_t Lo;
  int64_t Hi;
};

constexpr bool qdIsIntTarget(TqdFieldType aType) {
  switch (aType) {
    case qdtByte:
    case qdtWord16:
    case qdtWord32:
    case qdtAutoInc:
    case qdtRecRev:
    case qdtInt8:
    case qdtInt16:
    case qdtInt32:
    case qdtInt64:
    case qdtRefNr:
      return true;
    default:
      return false;
  }
}

constexpr TqdIntRange qdIntRange(TqdFieldType aType) {
  switch (aType) {
    case qdtByte:
      return {0, 255};
    case qdtWord16:
      return {0, 65535};
    case qdtWord32:
    case qdtAutoInc:
    case qdtRecRev:
      return {0, 4294967295LL};
    case qdtInt8:
      return {-128, 127};
    case qdtInt16:
      return {-32768, 32767};
    case qdtInt32:
      return {INT32_MIN, INT32_MAX};
    default:
      return {INT64_MIN, INT64_MAX};
  }
}

// Stores v in the width of an integer target (v already in its range).
inline void qdPutIntTarget(TqdFieldType aType, void* aTarget, int64_t aValue) {
  switch (aType) {
    case qdtByte:
    case qdtInt8:
      *static_cast<uint8_t*>(aTarget) = static_cast<uint8_t>(aValue);
      break;
    case qdtWord16:
    case qdtInt16:
      qdPutU16(aTarget, static_cast<uint16_t>(aValue));
      break;
    case qdtWord32:
    case qdtAutoInc:
    case qdtRecRev:
    case qdtInt32:
      qdPutU32(aTarget, static_cast<uint32_t>(aValue));
      break;
    default:
      qdPutI64(aTarget, aValue);
      break;
  }
}

inline void qdPutFloat(void* aTarget, float aValue) { std::memcpy(aTarget, &aValue, sizeof aValue); }
inline void qdPutDouble(void* aTarget, double aValue) { std::memcpy(aTarget, &aValue, sizeof aValue); }
inline float qdGetFloat(const void* aSource) {
  float value;
  std::memcpy(&value, aSource, sizeof value);
  return value;
}
inline double qdGetDouble(const void* aSource) {
  double value;
  std::memcpy(&value, aSource, sizeof value);
  return value;
}

inline const TqdNumericFieldMapper& qdInstance(const void* aData) {
  return *static_cast<const TqdNumericFieldMapper*>(aData);
}

// Binds aCode with the class record as data (no instance).
inline TqdBaseFieldMapper* qdBindClass(TqdMappingMethod& aMapper, TqdMappingCode aCode,
                                       const TqdBaseFieldMapperClass& aClass) {
  aMapper.Code = aCode;
  aMapper.Data = &aClass;
  return nullptr;
}

// |Frac(x)| <= 1E-16: whole within the platform's default tolerance.
inline bool qdIsWhole(double aValue) { return std::fabs(aValue - std::trunc(aValue)) <= 1e-16; }

// --- Texts ---------------------------------------------------------------------------------

// How a source type's value reads as text and as a single digit. A traits
// class Src provides:
//   static std::string Ansi(const TqdNumericFieldMapper&, const void* aSource);
//   static qdString Wide(const TqdNumericFieldMapper&, const void* aSource);
//   static int Digit(const void* aSource);  // 0..9, or -1 when refused

template <class Src>
TqdResult qdCharBestFit(const void* aData, const void* aSource, void* aTarget) {
  const std::string text = Src::Ansi(qdInstance(aData), aSource);
  *static_cast<uint8_t*>(aTarget) = text.empty() ? 0 : static_cast<uint8_t>(text[0]);
  return 0;
}

template <class Src>
TqdResult qdCharCheck(const void*, const void* aSource, void* aTarget) {
  const int digit = Src::Digit(aSource);
  if (digit < 0) return qdeInvalidFieldXform;
  *static_cast<uint8_t*>(aTarget) = static_cast<uint8_t>('0' + digit);
  return 0;
}

template <class Src>
TqdResult qdWideCharBestFit(const void* aData, const void* aSource, void* aTarget) {
  const qdString text = Src::Wide(qdInstance(aData), aSource);
  qdPutU16(aTarget, text.empty() ? 0 : static_cast<uint16_t>(text[0]));
  return 0;
}

template <class Src>
TqdResult qdWideCharCheck(const void*, const void* aSource, void* aTarget) {
  const int digit = Src::Digit(aSource);
  if (digit < 0) return qdeInvalidFieldXform;
  qdPutU16(aTarget, static_cast<uint16_t>(u'0' + digit));
  return 0;
}

template <class Src, bool Truncate>
TqdResult qdShortStringRoutine(const void* aData, const void* aSource, void* aTarget) {
  const TqdNumericFieldMapper& mapper = qdInstance(aData);
  const std::string text = Src::Ansi(mapper, aSource);
  const size_t capacity = static_cast<size_t>(std::max(mapper.nmTargetLength - 1, 0));
  if (!Truncate && text.size() > capacity) return qdeInvalidFieldXform;
  const size_t length = std::min(text.size(), std::min(capacity, size_t{255}));
  auto* target = static_cast<uint8_t*>(aTarget);
  target[0] = static_cast<uint8_t>(length);
  std::memcpy(target + 1, text.data(), length);
  return 0;
}

template <class Src, bool Truncate>
TqdResult qdNullStringRoutine(const void* aData, const void* aSource, void* aTarget) {
  const TqdNumericFieldMapper& mapper = qdInstance(aData);
  const std::string text = Src::Ansi(mapper, aSource);
  const size_t capacity = static_cast<size_t>(std::max(mapper.nmTargetLength - 1, 0));
  if (!Truncate && text.size() > capacity) return qdeInvalidFieldXform;
  const size_t length = std::min(text.size(), capacity);
  auto* target = static_cast<uint8_t*>(aTarget);
  std::memcpy(target, text.data(), length);
  target[length] = 0;
  return 0;
}

template <class Src, bool Truncate>
TqdResult qdWideStringRoutine(const void* aData, const void* aSource, void* aTarget) {
  const TqdNumericFieldMapper& mapper = qdInstance(aData);
  const qdString text = Src::Wide(mapper, aSource);
  const size_t capacity = static_cast<size_t>(std::max(mapper.nmTargetLength / 2 - 1, 0));
  if (!Truncate && text.size() > capacity) return qdeInvalidFieldXform;
  const size_t length = std::min(text.size(), capacity);
  auto* target = static_cast<uint8_t*>(aTarget);
  for (size_t i = 0; i < length; ++i) qdPutU16(target + 2 * i, static_cast<uint16_t>(text[i]));
  qdPutU16(target + 2 * length, 0);
  return 0;
}

// --- BCD ---------------------------------------------------------------------------------

// The image of the largest magnitude a qdtBCD field of the instance's
// precision and decimals holds (its digits all 9), within the Currency range.
int64_t qdBcdClampImage(const TqdNumericFieldMapper& aMapper, bool aNegative);

// Stores a decimal already fitted to the target's precision and decimals;
// aLost holds the loss flags of that fitting.
TqdResult qdStoreBcd(const TqdNumericFieldMapper& aMapper, const TBcd& aValue, uint8_t aLost, bool aBestFit,
                     void* aTarget);

// A source traits class Src with
//   static uint8_t ToBcd(const TqdNumericFieldMapper&, const void* aSource, TBcd& aTarget);
// (the value fitted to the target's precision and decimals, answering the
// loss flags) gets its checking and best-fit routines here.
template <class Src, bool BestFit>
TqdResult qdBcdRoutine(const void* aData, const void* aSource, void* aTarget) {
  const TqdNumericFieldMapper& mapper = qdInstance(aData);
  TBcd value;
  const uint8_t lost = Src::ToBcd(mapper, aSource, value);
  return qdStoreBcd(mapper, value, lost, BestFit, aTarget);
}

// --- Binding of the instance targets ---------------------------------------------------------

// Builds the instance of TClass for a size-dependent target and binds the
// routine chosen for it. aWidestText: the length of the longest text of the
// source type. Answers nil (no converter) for other targets.
template <class TClass, class Src>
TqdBaseFieldMapper* qdBindInstanceTarget(TqdFieldDescriptor& aTargetField, bool aBestFit, int32_t aWidestText,
                                         TqdMappingMethod& aMapper) {
  TqdMappingCode code = nullptr;
  const int32_t length = aTargetField.Length();
  switch (aTargetField.FieldType()) {
    case qdtChar:
      code = aBestFit ? &qdCharBestFit<Src> : &qdCharCheck<Src>;
      break;
    case qdtWideChar:
      code = aBestFit ? &qdWideCharBestFit<Src> : &qdWideCharCheck<Src>;
      break;
    case qdtShortString:
      code = aBestFit || aWidestText < length ? &qdShortStringRoutine<Src, true> : &qdShortStringRoutine<Src, false>;
      break;
    case qdtNullString:
      code = aBestFit || aWidestText < length ? &qdNullStringRoutine<Src, true> : &qdNullStringRoutine<Src, false>;
      break;
    case qdtWideString:
      code = aBestFit || aWidestText < length / 2 ? &qdWideStringRoutine<Src, true> : &qdWideStringRoutine<Src, false>;
      break;
    case qdtBCD:
      code = aBestFit ? &qdBcdRoutine<Src, true> : &qdBcdRoutine<Src, false>;
      break;
    default:
      return nullptr;
  }
  auto* instance = new TClass(aTargetField);
  aMapper.Code = code;
  aMapper.Data = instance;
  return instance;
}

inline bool qdIsInstanceTarget(TqdFieldType aType) {
  return aType == qdtChar || aType == qdtWideChar || aType == qdtShortString || aType == qdtNullString ||
         aType == qdtWideString || aType == qdtBCD;
}

// Copies the source image into the first aSize bytes of a byte array target.
template <int Size>
TqdResult qdCopyImage(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, Size);
  return 0;
}

// Fills the cells (aSource, each of the 21 targets every numeric row has).
void qdRegisterCommonTargets(const TqdBaseFieldMapperClass& aClass, TqdFieldType aSource);
void qdRegisterIntegerMappers();
void qdRegisterFloatMappers();

}  // namespace qd::qdsdFieldMapperPrivate
