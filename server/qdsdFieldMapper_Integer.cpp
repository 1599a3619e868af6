// Converters from Boolean, integer and word fields (server/qdsdFieldMapper.h).
#include "server/qdsdFieldMapper.h"
#include "server/qdsdFieldMapper_Private.h"

namespace qd {

using namespace qdsdFieldMapperPrivate;

namespace {

// Below and above this magnitude an Int64 times 10^4 leaves the Currency
// range.
constexpr int64_t kMaxCurrencyUnits = 922337203685477;

template <class S>
struct TqdIntSource {
  static int64_t Read(const void* aSource) { return static_cast<int64_t>(qdGetLE<S>(aSource)); }
  static std::string Ansi(const TqdNumericFieldMapper&, const void* aSource) { return qdInt64ToAnsiStr(Read(aSource)); }
  static qdString Wide(const TqdNumericFieldMapper&, const void* aSource) { return qdInt64ToStr(Read(aSource)); }
  static int Digit(const void* aSource) {
    const int64_t value = Read(aSource);
    return value >= 0 && value <= 9 ? static_cast<int>(value) : -1;
  }
  static uint8_t ToBcd(const TqdNumericFieldMapper& aMapper, const void* aSource, TBcd& aTarget) {
    const int64_t value = Read(aSource);
    if (value >= -kMaxCurrencyUnits && value <= kMaxCurrencyUnits)
      return qdCurrToBcd(aTarget, aMapper.nmTargetUnits, aMapper.nmTargetDecPl, TqdCurrency::FromRaw(value * 10000));
    TBcd digits;
    qdAnsiStrToBcd(qdInt64ToAnsiStr(value), digits);
    return qdNormalizeBcd(digits, aTarget, aMapper.nmTargetUnits, aMapper.nmTargetDecPl);
  }
};

template <class S, TqdFieldType T, TqdRoutineMode M>
TqdResult intToInt(const void*, const void* aSource, void* aTarget) {
  const int64_t value = TqdIntSource<S>::Read(aSource);
  constexpr TqdIntRange range = qdIntRange(T);
  if constexpr (M != rmPlain) {
    if (value < range.Lo || value > range.Hi) {
      if constexpr (M == rmCheck) return qdeInvalidFieldXform;
      qdPutIntTarget(T, aTarget, value < range.Lo ? range.Lo : range.Hi);
      return 0;
    }
  }
  qdPutIntTarget(T, aTarget, value);
  return 0;
}

template <class S, TqdRoutineMode M>
TqdMappingCode intToIntCode(TqdFieldType aTarget) {
  switch (aTarget) {
    case qdtByte:
      return &intToInt<S, qdtByte, M>;
    case qdtWord16:
      return &intToInt<S, qdtWord16, M>;
    case qdtWord32:
      return &intToInt<S, qdtWord32, M>;
    case qdtAutoInc:
      return &intToInt<S, qdtAutoInc, M>;
    case qdtRecRev:
      return &intToInt<S, qdtRecRev, M>;
    case qdtInt8:
      return &intToInt<S, qdtInt8, M>;
    case qdtInt16:
      return &intToInt<S, qdtInt16, M>;
    case qdtInt32:
      return &intToInt<S, qdtInt32, M>;
    case qdtInt64:
      return &intToInt<S, qdtInt64, M>;
    case qdtRefNr:
      return &intToInt<S, qdtRefNr, M>;
    default:
      return nullptr;
  }
}

template <class S, bool BestFit>
TqdResult intToBoolean(const void*, const void* aSource, void* aTarget) {
  const int64_t value = TqdIntSource<S>::Read(aSource);
  if (!BestFit && value != 0 && value != 1) return qdeInvalidFieldXform;
  *static_cast<uint8_t*>(aTarget) = value != 0 ? 0xFF : 0x00;
  return 0;
}

template <class S>
TqdResult intToSingle(const void*, const void* aSource, void* aTarget) {
  qdPutFloat(aTarget, static_cast<float>(TqdIntSource<S>::Read(aSource)));
  return 0;
}

template <class S>
TqdResult intToDouble(const void*, const void* aSource, void* aTarget) {
  qdPutDouble(aTarget, static_cast<double>(TqdIntSource<S>::Read(aSource)));
  return 0;
}

template <class S>
TqdResult intToExtended(const void*, const void* aSource, void* aTarget) {
  qdInt64ToExtended(TqdIntSource<S>::Read(aSource)).ToBytes(aTarget);
  return 0;
}

// Every source but Int64 fits the Currency range times 10^4; a qdtBCD target
// wide enough for every value of the source takes the same image.
template <class S>
TqdResult intToCurrencyImage(const void*, const void* aSource, void* aTarget) {
  qdPutI64(aTarget, TqdIntSource<S>::Read(aSource) * 10000);
  return 0;
}

template <bool BestFit>
TqdResult int64ToCurrency(const void*, const void* aSource, void* aTarget) {
  int64_t value = TqdIntSource<int64_t>::Read(aSource);
  if (value < -kMaxCurrencyUnits || value > kMaxCurrencyUnits) {
    if (!BestFit) return qdeInvalidFieldXform;
    value = value < 0 ? -kMaxCurrencyUnits : kMaxCurrencyUnits;
  }
  qdPutI64(aTarget, value * 10000);
  return 0;
}

// What tells the integer classes apart.
struct TqdIntClassTraits {
  TqdFieldType Source1;
  TqdFieldType Source2;  // repeated when the class has one source type
  TqdFieldType Source3;
  int32_t WidestText;  // characters of the longest text
  int32_t BcdDigits;   // 0: no unchecked qdtBCD routine
};

template <class TClass, class S, const TqdIntClassTraits& Traits>
TqdBaseFieldMapper* selectInt(TqdFieldDescriptor& aSourceField, TqdAbstractCursor*, TqdFieldDescriptor& aTargetField,
                              TqdAbstractCursor*, const TqdFieldMapperDescriptor* aMapperDesc,
                              TqdMappingMethod& aMapper) {
  aMapper.Clear();
  const TqdFieldType source = aSourceField.FieldType();
  if (source != Traits.Source1 && source != Traits.Source2 && source != Traits.Source3) return nullptr;
  const TqdFieldType target = aTargetField.FieldType();
  const bool bestFit = qdBestFitRequested(aMapperDesc);
  const TqdBaseFieldMapperClass& classInfo = TClass::ClassInfo;
  if (source == qdtRefNr) {
    // A record reference is only a number or a text.
    if (target == qdtInt64 || target == qdtRefNr)
      return qdBindClass(aMapper, intToIntCode<S, rmPlain>(target), classInfo);
    if (target == qdtShortString || target == qdtNullString || target == qdtWideString)
      return qdBindInstanceTarget<TClass, TqdIntSource<S>>(aTargetField, bestFit, Traits.WidestText, aMapper);
    return nullptr;
  }
  if (qdIsIntTarget(target)) {
    if (target == qdtRefNr) return nullptr;
    constexpr int64_t lo = std::numeric_limits<S>::min();
    constexpr int64_t hi = static_cast<int64_t>(std::numeric_limits<S>::max());
    const TqdIntRange range = qdIntRange(target);
    TqdMappingCode code = nullptr;
    if (lo >= range.Lo && hi <= range.Hi)
      code = intToIntCode<S, rmPlain>(target);
    else
      code = bestFit ? intToIntCode<S, rmBestFit>(target) : intToIntCode<S, rmCheck>(target);
    return qdBindClass(aMapper, code, classInfo);
  }
  switch (target) {
    case qdtBoolean:
      return qdBindClass(aMapper, bestFit ? &intToBoolean<S, true> : &intToBoolean<S, false>, classInfo);
    case qdtSingle:
      return qdBindClass(aMapper, &intToSingle<S>, classInfo);
    case qdtDouble:
      return qdBindClass(aMapper, &intToDouble<S>, classInfo);
    case qdtExtended:
      return qdBindClass(aMapper, &intToExtended<S>, classInfo);
    case qdtCurrency:
      if constexpr (sizeof(S) == 8)
        return qdBindClass(aMapper, bestFit ? &int64ToCurrency<true> : &int64ToCurrency<false>, classInfo);
      else
        return qdBindClass(aMapper, &intToCurrencyImage<S>, classInfo);
    case qdtByteArray:
      if (aTargetField.Units() < static_cast<int32_t>(sizeof(S))) return nullptr;
      return qdBindClass(aMapper, &qdCopyImage<sizeof(S)>, classInfo);
    case qdtBCD:
      if (Traits.BcdDigits > 0 && aTargetField.Units() - aTargetField.DecPl() >= Traits.BcdDigits) {
        auto* instance = new TClass(aTargetField);
        aMapper.Code = &intToCurrencyImage<S>;
        aMapper.Data = instance;
        return instance;
      }
      return qdBindInstanceTarget<TClass, TqdIntSource<S>>(aTargetField, bestFit, Traits.WidestText, aMapper);
    default:
      if (qdIsInstanceTarget(target))
        return qdBindInstanceTarget<TClass, TqdIntSource<S>>(aTargetField, bestFit, Traits.WidestText, aMapper);
      return nullptr;
  }
}

constexpr TqdIntClassTraits kInt8Traits{qdtInt8, qdtInt8, qdtInt8, 4, 3};
constexpr TqdIntClassTraits kInt16Traits{qdtInt16, qdtInt16, qdtInt16, 6, 5};
constexpr TqdIntClassTraits kInt32Traits{qdtInt32, qdtInt32, qdtInt32, 11, 10};
constexpr TqdIntClassTraits kInt64Traits{qdtInt64, qdtRefNr, qdtRefNr, 20, 0};
constexpr TqdIntClassTraits kByte8Traits{qdtByte, qdtByte, qdtByte, 3, 3};
constexpr TqdIntClassTraits kWord16Traits{qdtWord16, qdtWord16, qdtWord16, 5, 5};
constexpr TqdIntClassTraits kWord32Traits{qdtWord32, qdtAutoInc, qdtRecRev, 10, 10};

// --- Boolean sources ---------------------------------------------------------------------------

bool readBoolean(const void* aSource) { return *static_cast<const uint8_t*>(aSource) != 0; }

TqdResult booleanCopy(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = *static_cast<const uint8_t*>(aSource);
  return 0;
}

template <TqdFieldType T>
TqdResult booleanToInt(const void*, const void* aSource, void* aTarget) {
  qdPutIntTarget(T, aTarget, readBoolean(aSource) ? 1 : 0);
  return 0;
}

TqdResult booleanToSingle(const void*, const void* aSource, void* aTarget) {
  qdPutFloat(aTarget, readBoolean(aSource) ? 1.0f : 0.0f);
  return 0;
}

TqdResult booleanToDouble(const void*, const void* aSource, void* aTarget) {
  qdPutDouble(aTarget, readBoolean(aSource) ? 1.0 : 0.0);
  return 0;
}

TqdResult booleanToExtended(const void*, const void* aSource, void* aTarget) {
  qdInt64ToExtended(readBoolean(aSource) ? 1 : 0).ToBytes(aTarget);
  return 0;
}

TqdResult booleanToCurrencyImage(const void*, const void* aSource, void* aTarget) {
  qdPutI64(aTarget, readBoolean(aSource) ? 10000 : 0);
  return 0;
}

TqdResult booleanToChar(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = readBoolean(aSource) ? '1' : '0';
  return 0;
}

TqdResult booleanToWideChar(const void*, const void* aSource, void* aTarget) {
  qdPutU16(aTarget, readBoolean(aSource) ? u'1' : u'0');
  return 0;
}

TqdResult booleanToByteArray(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = readBoolean(aSource) ? 0xFF : 0x00;
  return 0;
}

TqdResult booleanToShortString(const void*, const void* aSource, void* aTarget) {
  auto* target = static_cast<uint8_t*>(aTarget);
  target[0] = 1;
  target[1] = readBoolean(aSource) ? '1' : '0';
  return 0;
}

TqdResult booleanToNullString(const void*, const void* aSource, void* aTarget) {
  auto* target = static_cast<uint8_t*>(aTarget);
  target[0] = readBoolean(aSource) ? '1' : '0';
  target[1] = 0;
  return 0;
}

TqdResult booleanToWideString(const void*, const void* aSource, void* aTarget) {
  auto* target = static_cast<uint8_t*>(aTarget);
  qdPutU16(target, readBoolean(aSource) ? u'1' : u'0');
  qdPutU16(target + 2, 0);
  return 0;
}

TqdMappingCode booleanCode(TqdFieldType aTarget, int32_t aLength) {
  switch (aTarget) {
    case qdtBoolean:
      return &booleanCopy;
    case qdtByte:
      return &booleanToInt<qdtByte>;
    case qdtInt8:
      return &booleanToInt<qdtInt8>;
    case qdtWord16:
      return &booleanToInt<qdtWord16>;
    case qdtInt16:
      return &booleanToInt<qdtInt16>;
    case qdtWord32:
      return &booleanToInt<qdtWord32>;
    case qdtAutoInc:
      return &booleanToInt<qdtAutoInc>;
    case qdtRecRev:
      return &booleanToInt<qdtRecRev>;
    case qdtInt32:
      return &booleanToInt<qdtInt32>;
    case qdtInt64:
      return &booleanToInt<qdtInt64>;
    case qdtSingle:
      return &booleanToSingle;
    case qdtDouble:
      return &booleanToDouble;
    case qdtExtended:
      return &booleanToExtended;
    case qdtCurrency:
    case qdtBCD:
      return &booleanToCurrencyImage;
    case qdtChar:
      return &booleanToChar;
    case qdtWideChar:
      return &booleanToWideChar;
    case qdtByteArray:
      return &booleanToByteArray;
    // The texts need room for one character and the length or terminator.
    case qdtShortString:
      return aLength >= 2 ? &booleanToShortString : nullptr;
    case qdtNullString:
      return aLength >= 2 ? &booleanToNullString : nullptr;
    case qdtWideString:
      return aLength >= 4 ? &booleanToWideString : nullptr;
    default:
      return nullptr;
  }
}

TqdBaseFieldMapper* selectBoolean(TqdFieldDescriptor& aSourceField, TqdAbstractCursor*,
                                  TqdFieldDescriptor& aTargetField, TqdAbstractCursor*, const TqdFieldMapperDescriptor*,
                                  TqdMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != qdtBoolean || aTargetField.Length() < 1) return nullptr;
  const TqdMappingCode code = booleanCode(aTargetField.FieldType(), aTargetField.Length());
  if (code == nullptr) return nullptr;
  return qdBindClass(aMapper, code, TqdBooleanMapper::ClassInfo);
}

}  // namespace

const TqdBaseFieldMapperClass TqdBooleanMapper::ClassInfo{u"TqdBooleanMapper", &selectBoolean};
const TqdBaseFieldMapperClass TqdInt8Mapper::ClassInfo{u"TqdInt8Mapper",
                                                       &selectInt<TqdInt8Mapper, int8_t, kInt8Traits>};
const TqdBaseFieldMapperClass TqdInt16Mapper::ClassInfo{u"TqdInt16Mapper",
                                                        &selectInt<TqdInt16Mapper, int16_t, kInt16Traits>};
const TqdBaseFieldMapperClass TqdInt32Mapper::ClassInfo{u"TqdInt32Mapper",
                                                        &selectInt<TqdInt32Mapper, int32_t, kInt32Traits>};
const TqdBaseFieldMapperClass TqdInt64Mapper::ClassInfo{u"TqdInt64Mapper",
                                                        &selectInt<TqdInt64Mapper, int64_t, kInt64Traits>};
const TqdBaseFieldMapperClass TqdByte8Mapper::ClassInfo{u"TqdByte8Mapper",
                                                        &selectInt<TqdByte8Mapper, uint8_t, kByte8Traits>};
const TqdBaseFieldMapperClass TqdWord16Mapper::ClassInfo{u"TqdWord16Mapper",
                                                         &selectInt<TqdWord16Mapper, uint16_t, kWord16Traits>};
const TqdBaseFieldMapperClass TqdWord32Mapper::ClassInfo{u"TqdWord32Mapper",
                                                         &selectInt<TqdWord32Mapper, uint32_t, kWord32Traits>};

namespace qdsdFieldMapperPrivate {

// The 21 targets every numeric source row of the registry is filled for.
extern const TqdFieldType kCommonTargets[21];
const TqdFieldType kCommonTargets[21] = {
    qdtBoolean,  qdtChar,      qdtWideChar,    qdtByte,       qdtWord16,     qdtWord32, qdtInt8,
    qdtInt16,    qdtInt32,     qdtInt64,       qdtAutoInc,    qdtSingle,     qdtDouble, qdtExtended,
    qdtCurrency, qdtByteArray, qdtShortString, qdtNullString, qdtWideString, qdtRecRev, qdtBCD};

void qdRegisterCommonTargets(const TqdBaseFieldMapperClass& aClass, TqdFieldType aSource) {
  for (TqdFieldType target : kCommonTargets) qdRegisterFieldMapper(aClass, aSource, target);
}

void qdRegisterIntegerMappers() {
  qdRegisterCommonTargets(TqdBooleanMapper::ClassInfo, qdtBoolean);
  qdRegisterCommonTargets(TqdByte8Mapper::ClassInfo, qdtByte);
  qdRegisterCommonTargets(TqdWord16Mapper::ClassInfo, qdtWord16);
  qdRegisterCommonTargets(TqdWord32Mapper::ClassInfo, qdtWord32);
  qdRegisterCommonTargets(TqdWord32Mapper::ClassInfo, qdtAutoInc);
  qdRegisterCommonTargets(TqdWord32Mapper::ClassInfo, qdtRecRev);
  qdRegisterCommonTargets(TqdInt8Mapper::ClassInfo, qdtInt8);
  qdRegisterCommonTargets(TqdInt16Mapper::ClassInfo, qdtInt16);
  qdRegisterCommonTargets(TqdInt32Mapper::ClassInfo, qdtInt32);
  qdRegisterCommonTargets(TqdInt64Mapper::ClassInfo, qdtInt64);
  for (TqdFieldType target : {qdtInt64, qdtShortString, qdtNullString, qdtWideString, qdtRefNr})
    qdRegisterFieldMapper(TqdInt64Mapper::ClassInfo, qdtRefNr, target);
}

}  // namespace qdsdFieldMapperPrivate

}  // namespace qd
