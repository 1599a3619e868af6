// Converters from Single, Double, Extended, Currency and BCD fields
// (server/qdsdFieldMapper.h).
#include "server/qdsdFieldMapper.h"
#include "server/qdsdFieldMapper_Private.h"

namespace qd {

using namespace qdsdFieldMapperPrivate;

namespace {

constexpr double kMaxSingle = 3.4028234663852886E38;
constexpr double kMinNormalSingle = 1.1754943508222875E-38;
constexpr double kMaxDouble = 1.7976931348623157E308;
constexpr double kMinNormalDouble = 2.2250738585072014E-308;
constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kDaysBefore1899 = 693594;  // day number of 1899-12-30, 0001-01-01 being day 1

// Texts of floating values; the longest a source type can produce, e.g.
// "-1.23456789012345E-308" for a Double.
constexpr int32_t kWidestSingleText = 21;
constexpr int32_t kWidestDoubleText = 22;
constexpr int32_t kWidestExtendedText = 23;
constexpr int32_t kWidestCurrencyText = 17;  // "-12345678901.2345"

std::string ansiText(const TqdNumericFieldMapper& aMapper, double aValue) {
  std::string text;
  qdFloatToAnsiStr(*aMapper.nmFormatSettings, text, aValue);
  return text;
}

// 0..9 when the value is that digit exactly, else -1.
int exactDigit(double aValue) {
  if (!(aValue >= 0 && aValue <= 9) || aValue != std::trunc(aValue)) return -1;
  return static_cast<int>(aValue);
}

// --- The source kinds -------------------------------------------------------------------------

// Single and Double sources compute in double.
template <class F>
struct TqdFloatSource {
  static double Read(const void* aSource) {
    if constexpr (sizeof(F) == 4)
      return static_cast<double>(qdGetFloat(aSource));
    else
      return qdGetDouble(aSource);
  }
  static std::string Ansi(const TqdNumericFieldMapper& aMapper, const void* aSource) {
    return ansiText(aMapper, Read(aSource));
  }
  static qdString Wide(const TqdNumericFieldMapper& aMapper, const void* aSource) {
    return qdFloatToStr(*aMapper.nmFormatSettings, Read(aSource));
  }
  static int Digit(const void* aSource) { return exactDigit(Read(aSource)); }
  static uint8_t ToBcd(const TqdNumericFieldMapper& aMapper, const void* aSource, TBcd& aTarget) {
    return qdNormalizeBcd(qdDoubleToBcd(Read(aSource)), aTarget, aMapper.nmTargetUnits, aMapper.nmTargetDecPl);
  }
};

// Extended sources: the exact value for integer and Currency targets, the
// value rounded to double elsewhere.
struct TqdExtendedSource {
  static TqdExtended Exact(const void* aSource) { return TqdExtended::FromBytes(aSource); }
  static double Read(const void* aSource) { return qdExtendedToDouble(Exact(aSource)); }
  static std::string Ansi(const TqdNumericFieldMapper& aMapper, const void* aSource) {
    return ansiText(aMapper, Read(aSource));
  }
  static qdString Wide(const TqdNumericFieldMapper& aMapper, const void* aSource) {
    return qdFloatToStr(*aMapper.nmFormatSettings, Read(aSource));
  }
  static int Digit(const void* aSource) {
    int64_t rounded = 0;
    bool integral = false;
    bool overflow = false;
    if (!qdExtendedScaledRound(Exact(aSource), 1, rounded, integral, overflow) || !integral || overflow) return -1;
    return rounded >= 0 && rounded <= 9 ? static_cast<int>(rounded) : -1;
  }
  static uint8_t ToBcd(const TqdNumericFieldMapper& aMapper, const void* aSource, TBcd& aTarget) {
    return qdNormalizeBcd(qdDoubleToBcd(Read(aSource)), aTarget, aMapper.nmTargetUnits, aMapper.nmTargetDecPl);
  }
};

// Currency and BCD sources: v is the image, q = v / 10^4.
struct TqdCurrencySource {
  static int64_t Read(const void* aSource) { return qdGetI64(aSource); }
  static double Value(const void* aSource) {
    const int64_t image = Read(aSource);
    // Below 2^53 the image is exact as a double and one division rounds once.
    if (image > -(int64_t{1} << 53) && image < (int64_t{1} << 53)) return static_cast<double>(image) / 10000.0;
    return qdExtendedToDouble(qdCurrencyToExtended(image));
  }
  static std::string Ansi(const TqdNumericFieldMapper& aMapper, const void* aSource) {
    return ansiText(aMapper, Value(aSource));
  }
  static qdString Wide(const TqdNumericFieldMapper& aMapper, const void* aSource) {
    return qdFloatToStr(*aMapper.nmFormatSettings, Value(aSource));
  }
  static int Digit(const void* aSource) {
    const int64_t image = Read(aSource);
    return image >= 0 && image <= 90000 && image % 10000 == 0 ? static_cast<int>(image / 10000) : -1;
  }
  static uint8_t ToBcd(const TqdNumericFieldMapper& aMapper, const void* aSource, TBcd& aTarget) {
    return qdCurrToBcd(aTarget, aMapper.nmTargetUnits, aMapper.nmTargetDecPl, TqdCurrency::FromRaw(Read(aSource)));
  }
};

// q rounded to the nearest integer, ties to even, on the image itself.
int64_t roundCurrency(int64_t aImage) {
  int64_t whole = aImage / 10000;
  const int64_t rest = aImage % 10000;
  const int64_t absRest = rest < 0 ? -rest : rest;
  if (absRest > 5000 || (absRest == 5000 && (whole & 1) != 0)) whole += rest < 0 ? -1 : 1;
  return whole;
}

// --- Single and Double sources ------------------------------------------------------------------

template <class F, TqdFieldType T, bool BestFit>
TqdResult floatToInt(const void*, const void* aSource, void* aTarget) {
  const double value = TqdFloatSource<F>::Read(aSource);
  constexpr TqdIntRange range = qdIntRange(T);
  int64_t result = 0;
  if (std::isnan(value)) {
    if (!BestFit) return qdeInvalidFieldXform;
  } else if (value < static_cast<double>(range.Lo) || value > static_cast<double>(range.Hi)) {
    if (!BestFit) return qdeInvalidFieldXform;
    result = value < 0 ? range.Lo : range.Hi;
  } else {
    if (!BestFit && !qdIsWhole(value)) return qdeInvalidFieldXform;
    // 2^63 passes the test above (the Int64 bound rounds up to it) and is the
    // only value that fails to round here.
    if (!qdTryRound(value, result)) {
      if (!BestFit) return qdeInvalidFieldXform;
      result = range.Hi;
    }
    result = std::clamp(result, range.Lo, range.Hi);
  }
  qdPutIntTarget(T, aTarget, result);
  return 0;
}

template <class F, bool BestFit>
TqdMappingCode floatToIntCode(TqdFieldType aTarget) {
  switch (aTarget) {
    case qdtByte:
      return &floatToInt<F, qdtByte, BestFit>;
    case qdtWord16:
      return &floatToInt<F, qdtWord16, BestFit>;
    case qdtWord32:
      return &floatToInt<F, qdtWord32, BestFit>;
    case qdtAutoInc:
      return &floatToInt<F, qdtAutoInc, BestFit>;
    case qdtRecRev:
      return &floatToInt<F, qdtRecRev, BestFit>;
    case qdtInt8:
      return &floatToInt<F, qdtInt8, BestFit>;
    case qdtInt16:
      return &floatToInt<F, qdtInt16, BestFit>;
    case qdtInt32:
      return &floatToInt<F, qdtInt32, BestFit>;
    case qdtInt64:
      return &floatToInt<F, qdtInt64, BestFit>;
    default:
      return nullptr;
  }
}

template <class F, bool BestFit>
TqdResult floatToCurrency(const void*, const void* aSource, void* aTarget) {
  const double scaled = TqdFloatSource<F>::Read(aSource) * 10000.0;
  int64_t result = 0;
  if (std::isnan(scaled)) {
    if (!BestFit) return qdeInvalidFieldXform;
  } else if (scaled >= kTwoPow63 || scaled <= -kTwoPow63) {
    // Beyond +-9223372036854775807 (which rounds to 2^63 as a double).
    if (!BestFit) return qdeInvalidFieldXform;
    result = scaled < 0 ? kMinCurrencyImage : kMaxCurrencyImage;
  } else {
    if (!BestFit && !qdIsWhole(scaled)) return qdeInvalidFieldXform;
    if (!qdTryRound(scaled, result)) return qdeInvalidFieldXform;  // not reached: the range was tested
    result = std::max(result, kMinCurrencyImage);
  }
  qdPutI64(aTarget, result);
  return 0;
}

// Tolerant equality of the platform's comparison: |a - b| <= max(min(|a|, |b|) x R, R).
bool nearlyEqual(double aLeft, double aRight, double aTolerance) {
  const double bound = std::max(std::min(std::fabs(aLeft), std::fabs(aRight)) * aTolerance, aTolerance);
  return std::fabs(aLeft - aRight) <= bound;
}

template <bool BestFit>
TqdResult booleanFromValue(double aValue, double aTolerance, void* aTarget) {
  auto* target = static_cast<uint8_t*>(aTarget);
  if (nearlyEqual(aValue, 0.0, aTolerance)) {
    *target = 0x00;
    return 0;
  }
  *target = 0xFF;
  if (BestFit || nearlyEqual(aValue, 1.0, aTolerance)) return 0;
  return qdeInvalidFieldXform;
}

template <class F, bool BestFit>
TqdResult floatToBoolean(const void*, const void* aSource, void* aTarget) {
  // Single: the single nearest 0.0001; Double: 1E-12.
  constexpr double tolerance = sizeof(F) == 4 ? static_cast<double>(0.0001f) : 1e-12;
  return booleanFromValue<BestFit>(TqdFloatSource<F>::Read(aSource), tolerance, aTarget);
}

template <bool BestFit>
TqdResult valueToSingle(double aValue, void* aTarget) {
  const double magnitude = std::fabs(aValue);
  if (!BestFit && !(aValue == 0 || (magnitude >= kMinNormalSingle && magnitude <= kMaxSingle)))
    return qdeInvalidFieldXform;
  if (magnitude > kMaxSingle) {
    qdPutFloat(aTarget, static_cast<float>(aValue < 0 ? -kMaxSingle : kMaxSingle));
    return 0;
  }
  qdPutFloat(aTarget, static_cast<float>(aValue));
  return 0;
}

template <class F, bool BestFit>
TqdResult floatToSingle(const void*, const void* aSource, void* aTarget) {
  return valueToSingle<BestFit>(TqdFloatSource<F>::Read(aSource), aTarget);
}

template <class F>
TqdResult floatToDouble(const void*, const void* aSource, void* aTarget) {
  qdPutDouble(aTarget, TqdFloatSource<F>::Read(aSource));
  return 0;
}

template <class F>
TqdResult floatToExtended(const void*, const void* aSource, void* aTarget) {
  qdDoubleToExtended(TqdFloatSource<F>::Read(aSource)).ToBytes(aTarget);
  return 0;
}

// Days since 1899-12-30 with the time as fraction, to the stored
// milliseconds since 0001-01-01 (day 1).
TqdResult doubleToDateTime(const void*, const void* aSource, void* aTarget) {
  const double days = qdGetDouble(aSource);
  int64_t ms = 0;
  if (!std::isfinite(days) || !qdTryRound(days * static_cast<double>(kMsPerDay), ms)) return qdeInvalidFieldXform;
  const uint64_t magnitude = ms < 0 ? uint64_t{0} - static_cast<uint64_t>(ms) : static_cast<uint64_t>(ms);
  const int64_t wholeDays = static_cast<int64_t>(magnitude / kMsPerDay);
  const int64_t timeOfDay = static_cast<int64_t>(magnitude % kMsPerDay);
  const int64_t day = ms >= 0 ? wholeDays + kDaysBefore1899 : kDaysBefore1899 - wholeDays;
  // Day numbers past a few hundred million cannot be dates of any calendar
  // the engine shows; the bound also keeps the product exact in a double.
  if (day < 1 || day > (int64_t{1} << 32)) return qdeInvalidFieldXform;
  qdPutDouble(aTarget, static_cast<double>(day * kMsPerDay + timeOfDay));
  return 0;
}

template <class TClass, class F, TqdFieldType SourceType, int32_t WidestText>
TqdBaseFieldMapper* selectFloat(TqdFieldDescriptor& aSourceField, TqdAbstractCursor*, TqdFieldDescriptor& aTargetField,
                                TqdAbstractCursor*, const TqdFieldMapperDescriptor* aMapperDesc,
                                TqdMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != SourceType) return nullptr;
  const TqdFieldType target = aTargetField.FieldType();
  const bool bestFit = qdBestFitRequested(aMapperDesc);
  const TqdBaseFieldMapperClass& classInfo = TClass::ClassInfo;
  if (qdIsIntTarget(target)) {
    const TqdMappingCode code = bestFit ? floatToIntCode<F, true>(target) : floatToIntCode<F, false>(target);
    return code != nullptr ? qdBindClass(aMapper, code, classInfo) : nullptr;
  }
  switch (target) {
    case qdtBoolean:
      return qdBindClass(aMapper, bestFit ? &floatToBoolean<F, true> : &floatToBoolean<F, false>, classInfo);
    case qdtSingle:
      if constexpr (sizeof(F) == 4)
        return qdBindClass(aMapper, &qdCopyImage<4>, classInfo);
      else
        return qdBindClass(aMapper, bestFit ? &floatToSingle<F, true> : &floatToSingle<F, false>, classInfo);
    case qdtDouble:
      return qdBindClass(aMapper, &floatToDouble<F>, classInfo);
    case qdtExtended:
      return qdBindClass(aMapper, &floatToExtended<F>, classInfo);
    case qdtCurrency:
      return qdBindClass(aMapper, bestFit ? &floatToCurrency<F, true> : &floatToCurrency<F, false>, classInfo);
    case qdtDateTime:
      if constexpr (sizeof(F) == 8)
        return qdBindClass(aMapper, &doubleToDateTime, classInfo);
      else
        return nullptr;
    case qdtByteArray:
      if (aTargetField.Units() < static_cast<int32_t>(sizeof(F))) return nullptr;
      return qdBindClass(aMapper, &qdCopyImage<sizeof(F)>, classInfo);
    default:
      return qdBindInstanceTarget<TClass, TqdFloatSource<F>>(aTargetField, bestFit, WidestText, aMapper);
  }
}

// --- Extended sources -----------------------------------------------------------------------

// An Extended (times aScale) to an integer in [aLo, aHi].
template <bool BestFit>
TqdResult extendedToInt(const void* aSource, uint32_t aScale, int64_t aLo, int64_t aHi, int64_t& aResult) {
  bool integral = false;
  bool overflow = false;
  if (!qdExtendedScaledRound(TqdExtendedSource::Exact(aSource), aScale, aResult, integral, overflow)) {
    aResult = 0;  // NaN
    return BestFit ? 0 : qdeInvalidFieldXform;
  }
  if (!BestFit && (!integral || overflow || aResult < aLo || aResult > aHi)) return qdeInvalidFieldXform;
  aResult = std::clamp(aResult, aLo, aHi);
  return 0;
}

template <TqdFieldType T, bool BestFit>
TqdResult extendedToIntTarget(const void*, const void* aSource, void* aTarget) {
  constexpr TqdIntRange range = qdIntRange(T);
  int64_t result = 0;
  const TqdResult code = extendedToInt<BestFit>(aSource, 1, range.Lo, range.Hi, result);
  if (code == 0) qdPutIntTarget(T, aTarget, result);
  return code;
}

template <bool BestFit>
TqdMappingCode extendedToIntCode(TqdFieldType aTarget) {
  switch (aTarget) {
    case qdtByte:
      return &extendedToIntTarget<qdtByte, BestFit>;
    case qdtWord16:
      return &extendedToIntTarget<qdtWord16, BestFit>;
    case qdtWord32:
      return &extendedToIntTarget<qdtWord32, BestFit>;
    case qdtAutoInc:
      return &extendedToIntTarget<qdtAutoInc, BestFit>;
    case qdtRecRev:
      return &extendedToIntTarget<qdtRecRev, BestFit>;
    case qdtInt8:
      return &extendedToIntTarget<qdtInt8, BestFit>;
    case qdtInt16:
      return &extendedToIntTarget<qdtInt16, BestFit>;
    case qdtInt32:
      return &extendedToIntTarget<qdtInt32, BestFit>;
    case qdtInt64:
      return &extendedToIntTarget<qdtInt64, BestFit>;
    default:
      return nullptr;
  }
}

template <bool BestFit>
TqdResult extendedToCurrency(const void*, const void* aSource, void* aTarget) {
  int64_t result = 0;
  const TqdResult code = extendedToInt<BestFit>(aSource, 10000, kMinCurrencyImage, kMaxCurrencyImage, result);
  if (code == 0) qdPutI64(aTarget, result);
  return code;
}

template <bool BestFit>
TqdResult extendedToBoolean(const void*, const void* aSource, void* aTarget) {
  return booleanFromValue<BestFit>(TqdExtendedSource::Read(aSource), 1e-16, aTarget);
}

template <bool BestFit>
TqdResult extendedToSingle(const void*, const void* aSource, void* aTarget) {
  return valueToSingle<BestFit>(TqdExtendedSource::Read(aSource), aTarget);
}

template <bool BestFit>
TqdResult extendedToDouble(const void*, const void* aSource, void* aTarget) {
  const TqdExtended value = TqdExtendedSource::Exact(aSource);
  const TqdExtended magnitude = TqdExtended::Make(false, value.SignAndExponent() & 0x7FFF, value.Significand());
  const bool negative = (value.SignAndExponent() & 0x8000) != 0;
  const bool tooLarge = qdExtendedCompare(magnitude, qdDoubleToExtended(kMaxDouble)) > 0;
  if (!BestFit) {
    const bool zero = qdExtendedCompare(magnitude, TqdExtended{}) == 0;
    if (!zero && (tooLarge || !(qdExtendedCompare(magnitude, qdDoubleToExtended(kMinNormalDouble)) >= 0)))
      return qdeInvalidFieldXform;
  }
  qdPutDouble(aTarget, tooLarge ? (negative ? -kMaxDouble : kMaxDouble) : qdExtendedToDouble(value));
  return 0;
}

TqdBaseFieldMapper* selectExtended(TqdFieldDescriptor& aSourceField, TqdAbstractCursor*,
                                   TqdFieldDescriptor& aTargetField, TqdAbstractCursor*,
                                   const TqdFieldMapperDescriptor* aMapperDesc, TqdMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != qdtExtended) return nullptr;
  const TqdFieldType target = aTargetField.FieldType();
  const bool bestFit = qdBestFitRequested(aMapperDesc);
  const TqdBaseFieldMapperClass& classInfo = TqdExtendedMapper::ClassInfo;
  if (qdIsIntTarget(target)) {
    const TqdMappingCode code = bestFit ? extendedToIntCode<true>(target) : extendedToIntCode<false>(target);
    return code != nullptr ? qdBindClass(aMapper, code, classInfo) : nullptr;
  }
  switch (target) {
    case qdtBoolean:
      return qdBindClass(aMapper, bestFit ? &extendedToBoolean<true> : &extendedToBoolean<false>, classInfo);
    case qdtSingle:
      return qdBindClass(aMapper, bestFit ? &extendedToSingle<true> : &extendedToSingle<false>, classInfo);
    case qdtDouble:
      return qdBindClass(aMapper, bestFit ? &extendedToDouble<true> : &extendedToDouble<false>, classInfo);
    case qdtExtended:
      return qdBindClass(aMapper, &qdCopyImage<kExtendedSize>, classInfo);
    case qdtCurrency:
      return qdBindClass(aMapper, bestFit ? &extendedToCurrency<true> : &extendedToCurrency<false>, classInfo);
    case qdtByteArray:
      if (aTargetField.Units() < kExtendedSize) return nullptr;
      return qdBindClass(aMapper, &qdCopyImage<kExtendedSize>, classInfo);
    default:
      return qdBindInstanceTarget<TqdExtendedMapper, TqdExtendedSource>(aTargetField, bestFit, kWidestExtendedText,
                                                                        aMapper);
  }
}

// --- Currency and BCD sources ------------------------------------------------------------------

template <TqdFieldType T, bool BestFit>
TqdResult currencyToInt(const void*, const void* aSource, void* aTarget) {
  const int64_t image = TqdCurrencySource::Read(aSource);
  constexpr TqdIntRange range = qdIntRange(T);
  int64_t result = 0;
  if constexpr (T == qdtInt64) {
    if (!BestFit && image % 10000 != 0) return qdeInvalidFieldXform;
    result = roundCurrency(image);
  } else {
    constexpr int64_t lo = range.Lo * 10000;
    constexpr int64_t hi = range.Hi * 10000;
    if (!BestFit && (image < lo || image > hi || image % 10000 != 0)) return qdeInvalidFieldXform;
    result = image < lo ? range.Lo : image > hi ? range.Hi : roundCurrency(image);
  }
  qdPutIntTarget(T, aTarget, result);
  return 0;
}

template <bool BestFit>
TqdMappingCode currencyToIntCode(TqdFieldType aTarget) {
  switch (aTarget) {
    case qdtByte:
      return &currencyToInt<qdtByte, BestFit>;
    case qdtWord16:
      return &currencyToInt<qdtWord16, BestFit>;
    case qdtWord32:
      return &currencyToInt<qdtWord32, BestFit>;
    case qdtAutoInc:
      return &currencyToInt<qdtAutoInc, BestFit>;
    case qdtRecRev:
      return &currencyToInt<qdtRecRev, BestFit>;
    case qdtInt8:
      return &currencyToInt<qdtInt8, BestFit>;
    case qdtInt16:
      return &currencyToInt<qdtInt16, BestFit>;
    case qdtInt32:
      return &currencyToInt<qdtInt32, BestFit>;
    case qdtInt64:
      return &currencyToInt<qdtInt64, BestFit>;
    default:
      return nullptr;
  }
}

template <bool BestFit>
TqdResult currencyToBoolean(const void*, const void* aSource, void* aTarget) {
  const int64_t image = TqdCurrencySource::Read(aSource);
  if (!BestFit && image != 0 && image != 10000) return qdeInvalidFieldXform;
  *static_cast<uint8_t*>(aTarget) = image != 0 ? 0xFF : 0x00;
  return 0;
}

TqdResult currencyToSingle(const void*, const void* aSource, void* aTarget) {
  qdPutFloat(aTarget, static_cast<float>(TqdCurrencySource::Value(aSource)));
  return 0;
}

TqdResult currencyToDouble(const void*, const void* aSource, void* aTarget) {
  qdPutDouble(aTarget, TqdCurrencySource::Value(aSource));
  return 0;
}

TqdResult currencyToExtended(const void*, const void* aSource, void* aTarget) {
  qdCurrencyToExtended(TqdCurrencySource::Read(aSource)).ToBytes(aTarget);
  return 0;
}

// The lowest 64-bit value is not a Currency: it becomes the lowest one.
TqdResult currencyCopy(const void*, const void* aSource, void* aTarget) {
  qdPutI64(aTarget, std::max(TqdCurrencySource::Read(aSource), kMinCurrencyImage));
  return 0;
}

TqdBaseFieldMapper* selectCurrency(TqdFieldDescriptor& aSourceField, TqdAbstractCursor*,
                                   TqdFieldDescriptor& aTargetField, TqdAbstractCursor*,
                                   const TqdFieldMapperDescriptor* aMapperDesc, TqdMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != qdtCurrency && aSourceField.FieldType() != qdtBCD) return nullptr;
  const TqdFieldType target = aTargetField.FieldType();
  const bool bestFit = qdBestFitRequested(aMapperDesc);
  const TqdBaseFieldMapperClass& classInfo = TqdCurrencyMapper::ClassInfo;
  if (qdIsIntTarget(target)) {
    const TqdMappingCode code = bestFit ? currencyToIntCode<true>(target) : currencyToIntCode<false>(target);
    return code != nullptr ? qdBindClass(aMapper, code, classInfo) : nullptr;
  }
  switch (target) {
    case qdtBoolean:
      return qdBindClass(aMapper, bestFit ? &currencyToBoolean<true> : &currencyToBoolean<false>, classInfo);
    case qdtSingle:
      return qdBindClass(aMapper, &currencyToSingle, classInfo);
    case qdtDouble:
      return qdBindClass(aMapper, &currencyToDouble, classInfo);
    case qdtExtended:
      return qdBindClass(aMapper, &currencyToExtended, classInfo);
    case qdtCurrency:
      return qdBindClass(aMapper, &currencyCopy, classInfo);
    case qdtByteArray:
      if (aTargetField.Units() < 8) return nullptr;
      return qdBindClass(aMapper, &qdCopyImage<8>, classInfo);
    case qdtBCD:
      if (aTargetField.Units() == 20) {
        // Twenty digits hold every image: copied, the instance returned all
        // the same.
        auto* instance = new TqdCurrencyMapper(aTargetField);
        qdBindClass(aMapper, &currencyCopy, classInfo);
        return instance;
      }
      [[fallthrough]];
    default:
      return qdBindInstanceTarget<TqdCurrencyMapper, TqdCurrencySource>(aTargetField, bestFit, kWidestCurrencyText,
                                                                        aMapper);
  }
}

}  // namespace

const TqdBaseFieldMapperClass TqdSingleMapper::ClassInfo{
    u"TqdSingleMapper", &selectFloat<TqdSingleMapper, float, qdtSingle, kWidestSingleText>};
const TqdBaseFieldMapperClass TqdDoubleMapper::ClassInfo{
    u"TqdDoubleMapper", &selectFloat<TqdDoubleMapper, double, qdtDouble, kWidestDoubleText>};
const TqdBaseFieldMapperClass TqdExtendedMapper::ClassInfo{u"TqdExtendedMapper", &selectExtended};
const TqdBaseFieldMapperClass TqdCurrencyMapper::ClassInfo{u"TqdCurrencyMapper", &selectCurrency};

namespace qdsdFieldMapperPrivate {

void qdRegisterFloatMappers() {
  qdRegisterCommonTargets(TqdSingleMapper::ClassInfo, qdtSingle);
  qdRegisterCommonTargets(TqdDoubleMapper::ClassInfo, qdtDouble);
  qdRegisterFieldMapper(TqdDoubleMapper::ClassInfo, qdtDouble, qdtDateTime);
  qdRegisterCommonTargets(TqdExtendedMapper::ClassInfo, qdtExtended);
  qdRegisterCommonTargets(TqdCurrencyMapper::ClassInfo, qdtCurrency);
  qdRegisterCommonTargets(TqdCurrencyMapper::ClassInfo, qdtBCD);
}

}  // namespace qdsdFieldMapperPrivate

}  // namespace qd
