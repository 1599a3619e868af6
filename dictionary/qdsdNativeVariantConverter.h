// The native converter: the one place where a field value changes between
// its native bytes (a field of a record buffer or key) and a TqdVariant.
//
// Three directions:
//   qdNativeToVariant    native bytes -> Variant
//   qdVariantToNative    Variant -> the bytes of a fixed-length field
//   qdVariantToBytes     Variant -> a self-sized byte image (stored
//                        constants: default values, min/max bounds)
//
// Every entry point takes the native side as (type, code page, units,
// decimals, data, length). The code page applies to the 8-bit text types
// (Char, ShortString, NullString, BLOB Memo); 0 is the system's ANSI code
// page. Units and decimals are the field's; for BCD and FmtBCD they are the
// precision and scale; for the three string types decimals above 0 mark a
// fixed-length text, padded with blanks to that many characters when read and
// stripped of trailing blanks when written.
//
// Native formats (integers little-endian two's complement):
//   Boolean                 1 byte, 0 False, any other True
//   Char                    1 byte in the code page
//   WideChar                2 bytes, one UTF-16 unit
//   Byte/Int8               1 byte, unsigned / signed
//   Word16/Int16            2 bytes, unsigned / signed
//   Word32/AutoInc/RecRev   4 bytes unsigned; Int32 4 bytes signed
//   Int64/RefNr             8 bytes signed
//   Single/Double/Extended  IEEE single, double, 10-byte extended
//   Currency/BCD            Int64 in units of 1/10000
//   Date                    Int32 days from 0001-01-01 (that day is 1)
//   Time                    Int32 milliseconds since midnight
//   DateTime                double: date x 86400000 + milliseconds
//   ShortString             length byte + bytes; capacity length - 1
//   NullString/BLOB Memo    bytes + zero byte; capacity length - 1
//   WideString/Wide Memo    UTF-16 units + zero unit; capacity length - 2
//   ByteArray/BLOB/Graphic  the bytes as they are
//   GUID                    16 bytes, the platform's GUID layout
//   FmtBCD                  the first length bytes of a TBcd
// The bytes after the end of a text are zero after every write. Reading
// never looks past the length it is given, whatever the stored bytes claim.
//
// Failures raise (see the .cpp for the texts); a failed write may leave the
// field zeroed or partly written. Nothing here keeps state; every function
// may run on any number of threads at once.
#pragma once

#include <cstdint>
#include <vector>

#include "dictionary/qdsdTypes.h"
#include "platform/qdFormat.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

// Native bytes to a Variant; only the low 7 bits of the type count. Units
// are not used.
TqdVariant qdNativeToVariant(TqdFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aDecimals,
                             const void* aData, int32_t aLength);

// A Variant into aLength bytes at aData. The short form uses the format
// settings of the calling thread's locale and refuses to truncate.
void qdVariantToNative(TqdFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aDecimals,
                       const TqdVariant& aValue, void* aData, int32_t aLength);
void qdVariantToNativeFmt(const TFormatSettings& aFormatSettings, TqdFieldType aType, uint16_t aCodePage,
                          int32_t aUnits, int32_t aDecimals, const TqdVariant& aValue, void* aData, int32_t aLength,
                          bool aAllowTruncate);

// A Variant's self-sized image: Null gives an empty array; texts are not
// bounded by a field length; integers are not range-checked; True is 0xFF.
void qdVariantToBytes(TqdFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aDecimals,
                      const TqdVariant& aValue, std::vector<uint8_t>& aBytes);
void qdVariantToBytesFmt(const TFormatSettings& aFormatSettings, TqdFieldType aType, uint16_t aCodePage, int32_t aUnits,
                         int32_t aDecimals, const TqdVariant& aValue, std::vector<uint8_t>& aBytes);

bool qdVarIsEmptyOrNull(const TqdVariant& aValue);

// Whether the value lies in the type's range; outside it, with aRaise, the
// exception "Value out of range for the target column type: %d".
bool qdCheckRangeByte(bool aRaise, int64_t aValue);
bool qdCheckRangeWord16(bool aRaise, int64_t aValue);
bool qdCheckRangeWord32(bool aRaise, int64_t aValue);
bool qdCheckRangeInt8(bool aRaise, int64_t aValue);
bool qdCheckRangeInt16(bool aRaise, int64_t aValue);
bool qdCheckRangeInt32(bool aRaise, int64_t aValue);

// Single, double and date values truncated toward zero (NaN and values beyond
// Int64 raise the variant's errors); currency amounts truncated toward zero;
// anything else by the variant's own conversion.
int64_t qdVariantToInt64(const TqdVariant& aValue);

// For the SQL string functions on byte arrays: as many characters as the
// array has bytes; the first (n + 1) div 2 hold the bytes two to a character,
// low byte first; the rest are U+0000. Other values give their text.
qdString qdVariantBytesToString(const TqdVariant& aValue);

}  // namespace qd
