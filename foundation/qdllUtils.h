// Small routines the whole engine shares: three-way comparisons of the
// engine's scalar types, bit arrays, hashing, texts of numbers, the rules for
// valid identifiers (table, field, index, alias and routine names), the lists
// of installed locales and code pages with their display names, format
// settings per locale, the NLS sort version of a locale, the identity of an open file, the command line, arrays
// of strings, and base64.
//
// Types: TqdNamedId, TqdNamedIdList, TqdUnicodeStrings, TqdFileIdentity,
// TqdFileObjectID, TqdMemoryStatusEx.
//
// Shared state: the locale list and the code-page list are built once, on
// first use, each under its own lock, and read without a lock afterwards;
// they live until the unit ends. The format settings per locale are made on
// first request under a lock and kept until the unit ends. The thread
// locale's code page is cached per thread. Everything else is stateless.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/qdllException.h"
#include "platform/qdDateTime.h"
#include "platform/qdFormat.h"
#include "platform/qdNls.h"
#include "platform/qdStringList.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

// ---- Three-way comparisons: -1, 0 or 1, -1 when the first comes first ----------

int qdCompareByte(uint8_t a, uint8_t b);
int qdCompareWord(uint16_t a, uint16_t b);
int qdCompareCardinal(uint32_t a, uint32_t b);
int qdCompareShortInt(int8_t a, int8_t b);
int qdCompareSmallInt(int16_t a, int16_t b);
int qdCompareInteger(int32_t a, int32_t b);
int qdCompareInt64(int64_t a, int64_t b);
int8_t qdCompareInt64Ref(const int64_t* a, const int64_t* b);
int qdComparePointer(const void* a, const void* b);
int qdCompareObjects(const void* a, const void* b);
// NaN compares equal to everything, as neither operand is less or greater.
int qdCompareSingle(float a, float b);
int qdCompareDouble(double a, double b);
// n bytes, unsigned; n <= 0 gives 0.
int qdCompareBytes(const void* a, const void* b, int32_t n);
// The common prefix, then the shorter array first.
int qdCompareByteArrays(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
// Length-prefixed byte strings (length in byte 0), at most n bytes of each;
// the second form folds a-z to A-Z.
int qdCompareShortStrings(const uint8_t* a, const uint8_t* b, int32_t n);
int qdCompareShortStringsIgnoreCase(const uint8_t* a, const uint8_t* b, int32_t n);
// Locale-aware, in the system default locale: without flags, and ignoring case.
int qdCompareStringW(qdStringView a, qdStringView b);
int qdCompareStringWIgnoreCase(qdStringView a, qdStringView b);
// Zero-terminated UTF-16 buffers, at most n code units, stopping after a
// terminator both share; the difference of the first differing code units.
// The second form folds a-z to A-Z.
int32_t qdStrLCompW(const char16_t* a, const char16_t* b, int32_t n);
int32_t qdStrLICompW(const char16_t* a, const char16_t* b, int32_t n);

// ---- Equality and search ----------------------------------------------------------

bool qdSameByteArrays(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
// 16-byte equality.
bool qdSameGuid(const void* a, const void* b);
bool qdStartsWith(qdStringView s, qdStringView aPrefix);
// Where the zero-terminated aSub first occurs in the zero-terminated s;
// nullptr when aSub is empty, longer than s or absent.
const char16_t* qdWideStrPos(const char16_t* s, const char16_t* aSub);
// 0 when s contains aSub, else -1.
int qdWideStrContainsCompare(const char16_t* s, const char16_t* aSub);

// ---- Minimum and maximum -------------------------------------------------------

inline uint16_t qdMinWord(uint16_t a, uint16_t b) { return a < b ? a : b; }
inline uint16_t qdMaxWord(uint16_t a, uint16_t b) { return a > b ? a : b; }
inline uint32_t qdMinCardinal(uint32_t a, uint32_t b) { return a < b ? a : b; }
inline uint32_t qdMaxCardinal(uint32_t a, uint32_t b) { return a > b ? a : b; }
inline int32_t qdMinInteger(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t qdMaxInteger(int32_t a, int32_t b) { return a > b ? a : b; }
inline int64_t qdMinInt64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t qdMaxInt64(int64_t a, int64_t b) { return a > b ? a : b; }

// ---- Bit arrays -----------------------------------------------------------------
// Bit n lives in 32-bit word n div 32 at bit n mod 32 (little-endian), which
// is byte n div 8 at bit n mod 8. A buffer of (bits + 7) div 8 bytes suffices.

void qdClearBitArray(void* p, int32_t aBits);
void qdSetBitArray(void* p, int32_t aBits);
void qdBitClear(void* p, int32_t aBit);
void qdBitSet(void* p, int32_t aBit);
bool qdBitIsSet(const void* p, int32_t aBit);
// The index of the first 0 bit below aCount; -1 when there is none.
int32_t qdFindFirstClearBit(const void* p, int32_t aCount);
// ORs the (bits + 7) div 8 bytes of aSource into aDest.
void qdOrBitArrays(void* aDest, const void* aSource, int32_t aBits);

// ---- Hashing ------------------------------------------------------------------------

// The ELF (PJW) hash of n bytes.
uint32_t qdElfHash(const void* p, int32_t n);
// qdElfHash over the UTF-16 bytes of s (low byte first); 0 for "".
uint32_t qdElfHashString(qdStringView s);

// ---- Texts of numbers -----------------------------------------------------------

qdString qdIntToStr(int32_t aValue);
qdString qdInt64ToStr(int64_t aValue);
qdAnsiString qdIntToAnsiStr(int32_t aValue);
qdAnsiString qdInt64ToAnsiStr(int64_t aValue);
// General format with at most 15 significant digits and the decimal
// separator of the settings ("2.5", "1E20", "1E-5"), never failing. The single-byte
// forms give the text in the system's ANSI code page.
qdString qdFloatToStr(const TFormatSettings& aSettings, double aValue);
void qdFloatToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, double aValue);
// The time of day in the long time format; the date in the short date
// format; both, the time left out at exactly midnight.
qdString qdTimeToStr(const TFormatSettings& aSettings, TDateTime aValue);
void qdTimeToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, TDateTime aValue);
qdString qdDateToStr(const TFormatSettings& aSettings, TDateTime aValue);
void qdDateToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, TDateTime aValue);
qdString qdDateTimeToStr(const TFormatSettings& aSettings, TDateTime aValue);
void qdDateTimeToAnsiStr(const TFormatSettings& aSettings, qdAnsiString& aResult, TDateTime aValue);
// The registry form of the 16 stored GUID bytes: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
qdString qdGuidToStr(const void* aGuid);
qdAnsiString qdGuidToAnsiStr(const void* aGuid);
// The platform's time stamp of a day number and milliseconds since midnight.
TTimeStamp qdMakeTimeStamp(int32_t aDate, int32_t aTime);

// Leading blanks, an optional sign, then decimal digits, or hexadecimal
// digits after "$", "x", "X", "0x" or "0X" (up to 32 bits, taken as signed);
// aDefault when the whole text cannot be read so.
int32_t qdAnsiStrToIntDef(std::string_view s, int32_t aDefault);

// ---- Identifiers -------------------------------------------------------------------

// The longest identifier, in UTF-16 code units.
constexpr size_t qdMaxIdentifierLength = 128;

// 0 for a valid identifier. Otherwise leaves the reason for the thread
// (EqdBaseException::qdSetMessage with the original-message marker and the
// detail) and returns aErrorCode, which names the kind of identifier (10038
// field, 10039 table, 10067 alias, ...). Never raises.
[[nodiscard]] TqdResult qdCheckIdentifier(qdStringView aName, TqdResult aErrorCode, bool aAllowEmpty,
                                          bool aAllowReserved);
// A valid identifier made from any text: cut to 128 characters, leading and
// trailing blanks and every invalid character become "_".
qdString qdMakeIdentifier(qdStringView aText);
// No character below 256 of s is one of  " * . / : < > ? \ |
bool qdHasNoReservedChars(qdStringView s);
// The same, and s is not empty.
bool qdIsPlainTableName(qdStringView s);

// ---- Locales and code pages ------------------------------------------------------------

struct TqdNamedId {
  qdString Name;
  int32_t Id;
};
using TqdNamedIdList = std::vector<TqdNamedId>;

// The installed locales (with alternate sorts) and the supported code pages
// by display name, sorted by name; built once and kept until the process ends.
const TqdNamedIdList& qdGetLocaleList();
const TqdNamedIdList& qdGetCodePageList();
// The id of a display name (compared ignoring case); -1 when not listed.
int32_t qdLocaleIDFromName(qdStringView aName);
int32_t qdCodePageFromName(qdStringView aName);
// The display name of an id; "<Unknown>" when not listed.
qdString qdLocaleNameFromID(int32_t aLocaleID);
qdString qdCodePageNameFromID(int32_t aCodePage);
bool qdIsValidLocaleID(int32_t aLocaleID);
bool qdIsValidCodePage(int32_t aCodePage);
// The locale's default ANSI code page; -1 when the locale has none known.
int32_t qdLocaleAnsiCodePageOrMinus1(TqdLCID aLocale);
// The same for the calling thread's locale, cached per thread.
int32_t qdThreadLocaleAnsiCodePage();
// The format settings of a locale, made on first request and kept until
// the unit ends; callers keep the reference and never free it. The default
// ids (0, 1024 and 2048) give the process locale's settings.
const TFormatSettings& qdGetFormatSettings(TqdLCID aLocaleID);
// The settings of the invariant locale (127): "." as decimal separator, no
// grouping; never changed.
const TFormatSettings& qdInvariantFormatSettings();
// The locale's sort version: zero-filled, the effective id set to 0 when it
// is not a listed locale.
void qdGetLocaleNLSVersion(TqdLCID aLocaleID, TqdNLSVersionInfoEx& aInfo);

// ---- Files and system ---------------------------------------------------------------------

// Recognises one file opened under different paths. Bytes 0-7: the creation
// time (100 ns units since 1601-01-01, 0 when the file system keeps none);
// bytes 8-15: the device number; bytes 16-31: the 128-bit file id (the inode
// number, high half 0). All zero and false when the file cannot be examined.
using TqdFileIdentity = std::array<uint8_t, 32>;
bool qdGetFileIdentity(int aHandle, TqdFileIdentity& aIdentity);

// The file system's persistent handle of the file: bytes 0-3 its type, 4-7
// its length, then its bytes. False (all zero) for an invalid handle, a file
// system without such handles, or a handle longer than 56 bytes.
using TqdFileObjectID = std::array<uint8_t, 64>;
bool qdGetFileObjectID(int aHandle, TqdFileObjectID& aBuffer);

// Takes the handle out of the variable atomically (so two threads closing the
// same variable close it once) and closes it; 0 and -1 are ignored. A failed
// close raises qdRaiseLastOSErrorUnknown.
void qdCloseHandleAndNil(int& aHandle);

// The extended memory status (64 bytes, as stored by callers).
struct TqdMemoryStatusEx {
  uint32_t dwLength = 64;
  uint32_t dwMemoryLoad = 0;  // percent of physical memory in use
  uint64_t ullTotalPhys = 0;
  uint64_t ullAvailPhys = 0;
  uint64_t ullTotalPageFile = 0;  // commit limit: memory and swap
  uint64_t ullAvailPageFile = 0;
  uint64_t ullTotalVirtual = 0;  // the process's user address space
  uint64_t ullAvailVirtual = 0;
  uint64_t ullAvailExtendedVirtual = 0;
};
static_assert(sizeof(TqdMemoryStatusEx) == 64);
void qdGlobalMemoryStatus(TqdMemoryStatusEx& aStatus);

// The process command line holds aSwitch after "-" or "/", ignoring case.
bool qdFindCmdLineSwitch(qdStringView aSwitch);
// The same over given arguments (the program name not among them).
bool qdFindCmdLineSwitch(qdStringView aSwitch, const std::vector<std::string>& aArguments);

// No handler is installed: E_NOTIMPL.
constexpr int32_t E_NOTIMPL = static_cast<int32_t>(0x80004001);
int32_t qdNotifyDatabaseDestroying(void* aDatabase);

// ---- Arrays of strings ----------------------------------------------------------------

using TqdUnicodeStrings = std::vector<qdString>;

TqdUnicodeStrings qdStringsToArray(const TqdStringList& aList);
// Replaces the list's lines by the array's elements.
void qdUnicodeStringsToStrings(const TqdUnicodeStrings& aArray, TqdStringList& aList);
// One element, none for an empty string.
TqdUnicodeStrings qdUnicodeStringsFromString(qdStringView s);
void qdUnicodeStringsAdd(TqdUnicodeStrings& aArray, qdStringView s);
// Returns element aIndex and closes the gap; ERangeError when out of range.
qdString qdUnicodeStringsDelete(TqdUnicodeStrings& aArray, int32_t aIndex);

// The element count of dimension 1 of an array variant; the variant's
// error for any other value.
int32_t qdVarArrayCount(const TqdVariant& aValue);

// ---- Base64 -----------------------------------------------------------------------------------

// The standard alphabet with "=" padding; "" encodes as "A===".
qdAnsiString StrToBase64(std::string_view s);
// Raises Exception("Base64ToStr: illegal input length!") for a text shorter
// than 4 characters or not a multiple of 4. Characters outside the alphabet
// count as 61.
qdAnsiString Base64ToStr(std::string_view s);

void qdllUtilsInitialize();
void qdllUtilsFinalize();

}  // namespace qd
