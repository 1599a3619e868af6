// The converters of numeric field values: Boolean, integer and word sources,
// Single, Double, Extended and Currency (and BCD) sources, each turning the
// stored image of a value into the stored image of another field type.
//
// Classes (one per source family; each has a class record `ClassInfo` whose
// SelectConverter picks the routine for a target type and data-loss action):
//   TqdBooleanMapper   qdtBoolean (never instantiated)
//   TqdInt8Mapper, TqdInt16Mapper, TqdInt32Mapper, TqdInt64Mapper
//                      (TqdInt64Mapper also serves qdtRefNr)
//   TqdByte8Mapper, TqdWord16Mapper, TqdWord32Mapper
//                      (TqdWord32Mapper also serves qdtAutoInc, qdtRecRev)
//   TqdSingleMapper, TqdDoubleMapper, TqdExtendedMapper
//   TqdCurrencyMapper  qdtCurrency and qdtBCD
// TqdNumericFieldMapper is their instance part: an instance exists only for
// the targets whose conversion depends on the target's size or number format
// (qdtChar, qdtWideChar, qdtShortString, qdtNullString, qdtWideString,
// qdtBCD). It copies the target's fdLength, fdUnits and fdDecPl and the
// number format of the target field's locale (the system default locale
// when the field has none) once, at construction, and never changes.
//
// Rules every routine keeps:
// - A checking routine answers 10002 for a value the target cannot hold and
//   leaves the target as it was (the Boolean routines of float sources have
//   written $FF already). Best-fit routines clamp to the nearest
//   representable value or truncate text and answer 0.
// - Floating values become integers by rounding to nearest, ties to even,
//   after the range test, and only through the checked conversions: NaN
//   answers 10002 (best fit stores 0) and an infinity 10002 (best fit stores
//   the target's bound with its sign) for integer and Currency targets.
// - The Currency range is -9223372036854775807 .. 9223372036854775807 (the
//   lowest 64-bit value is not a Currency).
// - Single and Double sources compute in double; Extended sources reach
//   integer and Currency targets through their exact value and round to
//   double on the other paths.
// - Boolean sources give 1 for any non-zero byte and 0 for zero to every
//   numeric target.
// - String targets choose the checking routine unless best fit is requested
//   or the longest text the source type can produce fits the target.
// - qdtBCD targets go through the decimal record: checking fails when a
//   non-zero digit was dropped; best fit keeps dropped decimals cut and
//   clamps a value with too many integer digits to the largest magnitude the
//   field holds, with its sign.
#pragma once

#include <cstdint>

#include "platform/qdFormat.h"
#include "server/qdsdFieldMapperBase.h"

namespace qd {

class TqdNumericFieldMapper : public TqdBaseFieldMapper {
 public:
  explicit TqdNumericFieldMapper(TqdFieldDescriptor& aTargetField);

  int32_t nmTargetLength;
  int32_t nmTargetUnits;
  int32_t nmTargetDecPl;
  const TFormatSettings* nmFormatSettings;
};

#define QD_NUMERIC_FIELD_MAPPER(aName)                  \
  class aName : public TqdNumericFieldMapper {          \
   public:                                              \
    static const TqdBaseFieldMapperClass ClassInfo;     \
    using TqdNumericFieldMapper::TqdNumericFieldMapper; \
  }

QD_NUMERIC_FIELD_MAPPER(TqdBooleanMapper);
QD_NUMERIC_FIELD_MAPPER(TqdInt8Mapper);
QD_NUMERIC_FIELD_MAPPER(TqdInt16Mapper);
QD_NUMERIC_FIELD_MAPPER(TqdInt32Mapper);
QD_NUMERIC_FIELD_MAPPER(TqdInt64Mapper);
QD_NUMERIC_FIELD_MAPPER(TqdByte8Mapper);
QD_NUMERIC_FIELD_MAPPER(TqdWord16Mapper);
QD_NUMERIC_FIELD_MAPPER(TqdWord32Mapper);
QD_NUMERIC_FIELD_MAPPER(TqdSingleMapper);
QD_NUMERIC_FIELD_MAPPER(TqdDoubleMapper);
QD_NUMERIC_FIELD_MAPPER(TqdExtendedMapper);
QD_NUMERIC_FIELD_MAPPER(TqdCurrencyMapper);

#undef QD_NUMERIC_FIELD_MAPPER

// Registers the numeric converters' cells of the registry.
void qdsdFieldMapperInitialize();
void qdsdFieldMapperFinalize();

}  // namespace qd
