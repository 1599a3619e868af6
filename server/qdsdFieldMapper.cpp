#include "server/qdsdFieldMapper.h"

#include "server/qdsdFieldMapper_Private.h"

namespace qd {

using namespace qdsdFieldMapperPrivate;

TqdNumericFieldMapper::TqdNumericFieldMapper(TqdFieldDescriptor& aTargetField)
    : nmTargetLength(aTargetField.Length()), nmTargetUnits(aTargetField.Units()), nmTargetDecPl(aTargetField.DecPl()) {
  TqdLocaleDescriptor* locale = aTargetField.UsedLocaleDescriptor();
  nmFormatSettings = &qdGetFormatSettings(locale != nullptr ? locale->Locale() : LOCALE_SYSTEM_DEFAULT);
}

namespace qdsdFieldMapperPrivate {

int64_t qdBcdClampImage(const TqdNumericFieldMapper& aMapper, bool aNegative) {
  const int32_t scale = std::clamp(aMapper.nmTargetDecPl, 0, 4);
  int64_t unit = 1;  // the image of the field's last decimal place
  for (int32_t i = scale; i < 4; ++i) unit *= 10;
  unsigned __int128 largest = 1;
  for (int32_t i = 0; i < aMapper.nmTargetUnits && largest <= static_cast<unsigned __int128>(INT64_MAX); ++i)
    largest *= 10;
  largest = (largest - 1) * static_cast<unsigned __int128>(unit);
  const unsigned __int128 bound = static_cast<unsigned __int128>(INT64_MAX / unit * unit);
  const int64_t magnitude = static_cast<int64_t>(largest < bound ? largest : bound);
  return aNegative ? -magnitude : magnitude;
}

TqdResult qdStoreBcd(const TqdNumericFieldMapper& aMapper, const TBcd& aValue, uint8_t aLost, bool aBestFit,
                     void* aTarget) {
  const bool negative = (aValue.Bytes[1] & 0x80) != 0;
  if (aLost != 0) {
    if (!aBestFit) return qdeInvalidFieldXform;
    if ((aLost & kBcdIntegerDigitLost) != 0) {
      qdPutI64(aTarget, qdBcdClampImage(aMapper, negative));
      return 0;
    }
  }
  TqdCurrency image{};
  if (!qdTryBcdToCurr(aValue, image) || image.Raw == INT64_MIN) {
    if (!aBestFit) return qdeInvalidFieldXform;
    qdPutI64(aTarget, qdBcdClampImage(aMapper, negative));
    return 0;
  }
  qdPutI64(aTarget, image.Raw);
  return 0;
}

}  // namespace qdsdFieldMapperPrivate

void qdsdFieldMapperInitialize() {
  qdRegisterIntegerMappers();
  qdRegisterFloatMappers();
}

void qdsdFieldMapperFinalize() {}

}  // namespace qd
