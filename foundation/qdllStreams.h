// The engine's memory streams and its filer: the tagged value encoding in
// which data dictionaries, component settings, exception data and many
// request and reply buffers are kept.
//
// Memory streams:
// - TqdCustomMemoryStream: a stream over a block of memory (read, seek
//   without bounds checks, save).
// - TqdMemoryStream: owns its memory, taken directly from the operating
//   system as reserved address space and committed in 4 KB pages. The first
//   growth reserves `msReserveInitial` bytes (512 KB unless told otherwise,
//   64 KB for -1); a larger need doubles the reservation, extending it in
//   place when the address space after it is free (the data never moves and
//   `msReservedBases` lists the regions), else moving to a new region. To
//   make room after it likely, each reservation holds back a window of
//   `qdMemoryStreamAddressWindow` bytes of address space (no memory).
//   Invariants: memory is nil exactly when nothing is reserved; nothing is
//   committed without memory; Capacity is a multiple of 4096, never above
//   the reservation, and only `Clear` (or Capacity 0) gives memory back.
// - TqdStaticMemoryStream: over a caller's fixed buffer, never owned, never
//   grown.
// - TqdAnsiStringStream: over a single-byte string that it owns.
//
// The filer (TqdWriter, TqdReader) works on a stream it does not own,
// through a 4096-byte buffer. Every value is a tag byte and its payload,
// multi-byte numbers little-endian:
//
//   tag name          payload
//    0  vaNull        none (end of a list or collection; "Null")
//    1  vaList        values until vaNull
//    2  vaInt8        1 byte signed
//    3  vaInt16       2 bytes signed
//    4  vaInt32       4 bytes signed
//    5  vaExtended    10 bytes, 80-bit extended float
//    6  vaString      1 length byte n, n bytes
//    7  vaIdent       1 length byte n, n bytes UTF-8
//    8  vaFalse       none
//    9  vaTrue        none
//   10  vaBinary      4-byte length n, n bytes
//   11  vaSet         short identifiers without tags, ended by an empty one
//   12  vaLString     4-byte length n, n bytes
//   13  vaNil         none
//   14  vaCollection  per item: [integer] vaList, properties, vaNull; vaNull
//   15  vaSingle      4 bytes float
//   16  vaCurrency    8 bytes signed, value x 10000
//   17  vaDate        8 bytes double, days since 1899-12-30
//   18  vaWString     4-byte length n in UTF-16 units, 2n bytes UTF-16LE
//   19  vaInt64       8 bytes signed
//   20  vaUTF8String  4-byte length n, n bytes UTF-8
//   21  vaDouble      8 bytes double (read only)
//
// The reader reads ahead; freeing it (or `FixupBuffer`) moves the stream
// back to just after the last value read. The writer buffers; freeing it (or
// `FlushBuffer`) writes the buffer out. A caller that mixes filer values
// with direct stream access frees or flushes the filer first.
//
// Stored bytes are untrusted: every length is checked against what remains
// of the stream before anything is allocated or copied, and a damaged
// stream raises EReadError.
//
// Classes: TqdCustomMemoryStream, TqdMemoryStream, TqdStaticMemoryStream,
// TqdAnsiStringStream, TqdWriter, TqdReader. None is thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qdExtended.h"
#include "platform/qdGuid.h"
#include "platform/qdStream.h"
#include "platform/qdStringList.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdList;

// Address space (not memory) held behind a memory stream's reservation.
constexpr int64_t qdMemoryStreamAddressWindow = 64 * 1024 * 1024;

// The filer's value tags.
enum TValueType : uint8_t {
  vaNull = 0,
  vaList = 1,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaExtended = 5,
  vaString = 6,
  vaIdent = 7,
  vaFalse = 8,
  vaTrue = 9,
  vaBinary = 10,
  vaSet = 11,
  vaLString = 12,
  vaNil = 13,
  vaCollection = 14,
  vaSingle = 15,
  vaCurrency = 16,
  vaDate = 17,
  vaWString = 18,
  vaInt64 = 19,
  vaUTF8String = 20,
  vaDouble = 21,
};

// --- Memory streams ------------------------------------------------------------

class TqdCustomMemoryStream : public TStream {
 public:
  // min(aCount, Size - Position) bytes; 0 for a negative position or count.
  int32_t Read(void* aBuffer, int32_t aCount) override;
  // No bounds checks; origin 2 adds the offset to the size. The position is
  // 32-bit: a result beyond that range is held at its limit.
  int64_t Seek(int64_t aOffset, uint16_t aOrigin) override;
  int64_t Size() override { return cmsSize; }

  void SaveToStream(TStream* aStream);
  // Creates the file, replacing one that exists.
  void SaveToFile(const qdString& aFileName);

  void* Memory() const { return cmsMemory; }
  uint8_t* ByteArray() const { return cmsByteArray; }
  TqdCustomMemoryStream* TheStream() { return this; }

 protected:
  void SetPointer(void* aMemory, int32_t aSize);

  void* cmsMemory = nullptr;
  uint8_t* cmsByteArray = nullptr;
  int32_t cmsSize = 0;
  int32_t cmsPosition = 0;
};

class TqdMemoryStream : public TqdCustomMemoryStream {
 public:
  // aInitial: bytes of address space for the first growth; -1 gives 64 KB,
  // anything below 64 KB gives 512 KB, the rest is rounded up to 64 KB.
  explicit TqdMemoryStream(int32_t aInitial);
  ~TqdMemoryStream() override;

  // Grows as needed; returns aCount, or 0 when the position or aCount is
  // negative or the end would not be a positive 32-bit position.
  int32_t Write(const void* aBuffer, int32_t aCount) override;
  // Grows the capacity when needed, never shrinks it; a position beyond the
  // new size moves to the new end.
  void SetSize(int64_t aNewSize) override;
  // Releases all memory: capacity, size and position 0.
  void Clear();
  // Size and bytes of aStream from its beginning.
  void LoadFromStream(TStream* aStream);
  void LoadFromFile(const qdString& aFileName);

  // Committed bytes.
  int32_t Capacity() const { return msCommited; }
  // 0 releases everything (and empties the stream); a value below the
  // committed size changes nothing; otherwise commits (and reserves) up to
  // the value rounded up to 4096.
  void SetCapacity(int32_t aNewCapacity);
  int32_t ReserveInitial() const { return msReserveInitial; }
  int32_t Reserved() const { return msReserved; }

  // Raises unless the fields agree with each other (tests, debug checks).
  void CheckInvariants() const;

 private:
  void ReleaseAll();

  int32_t msReserveInitial;
  int32_t msReserved = 0;
  TqdList* msReservedBases = nullptr;
  int32_t msCommited = 0;
  // Address space mapped at the memory: the reservation and the window
  // behind it (see the .cpp).
  int64_t msAddressSpace = 0;
};

class TqdStaticMemoryStream : public TqdCustomMemoryStream {
 public:
  TqdStaticMemoryStream(void* aMemory, int32_t aSize);

  // Copies at most up to the end of the buffer; the position ends after
  // what was written.
  int32_t Write(const void* aBuffer, int32_t aCount) override;
};

class TqdAnsiStringStream : public TStream {
 public:
  explicit TqdAnsiStringStream(qdAnsiString aString = {});

  int32_t Read(void* aBuffer, int32_t aCount) override;
  // Lengthens the string when the write goes past its end.
  int32_t Write(const void* aBuffer, int32_t aCount) override;
  // Origin 2 counts from the end (length + offset); the result is clamped
  // to 0..length.
  int64_t Seek(int64_t aOffset, uint16_t aOrigin) override;
  int64_t Size() override { return static_cast<int64_t>(assDataString.size()); }
  // A position beyond the new length moves to it.
  void SetSize(int64_t aNewSize) override;

  // At most aCount bytes from the position.
  qdAnsiString ReadString(int32_t aCount);
  void WriteString(std::string_view aString);

  const qdAnsiString& DataString() const { return assDataString; }
  TqdAnsiStringStream* TheStream() { return this; }

 private:
  qdAnsiString assDataString;
  int32_t assPosition = 0;
};

// --- Filer -----------------------------------------------------------------------

class TqdWriter {
 public:
  explicit TqdWriter(TStream* aStream, int32_t aBufSize = 4096);
  // Writes the buffer out. A failure to do so is raised, unless the writer
  // is destroyed while another exception is already on its way.
  ~TqdWriter() noexcept(false);
  TqdWriter(const TqdWriter&) = delete;
  TqdWriter& operator=(const TqdWriter&) = delete;

  // The smallest of vaInt8, vaInt16, vaInt32 that holds the value.
  void WriteInteger(int32_t aValue);
  // vaInt64 only outside the signed 32-bit range.
  void WriteInteger(int64_t aValue);
  void WriteBoolean(bool aValue);
  // UTF-8 when it is shorter than UTF-16 (vaString / vaLString for pure
  // ASCII, else vaUTF8String), otherwise vaWString.
  void WriteString(qdStringView aValue);
  void WriteWideString(qdStringView aValue) { WriteString(aValue); }
  // Always vaWString.
  void WriteWideString_(qdStringView aValue);
  // The bytes as they are: vaString up to 255 bytes, else vaLString.
  void WriteAnsiString(std::string_view aValue);
  void WriteAnsiChar(char aValue);
  // "False", "True", "Null", "nil" (any case) become their tags; any other
  // name vaIdent with at most 255 bytes of UTF-8 (EWriteError beyond).
  void WriteIdent(qdStringView aName);
  // vaExtended + the 10 bytes.
  void WriteFloat(const TqdExtended& aValue);
  void WriteFloat(double aValue) { WriteFloat(qdDoubleToExtended(aValue)); }
  void WriteListBegin();
  void WriteListEnd();
  // vaList, each line, vaNull: by WriteString, by WriteWideString_, or
  // converted to the process code page and written by WriteAnsiString.
  void WriteStrings(const TqdStringList& aList);
  void WriteWideStrings(const TqdStringList& aList);
  void WriteAnsiStrings(const TqdStringList& aList);
  // vaBinary + the length 16 + the GUID's stored bytes.
  void WriteGuid(const TGUID& aValue);
  // Empty -> vaNil, Null -> vaNull, the integer kinds up to 64-bit signed ->
  // WriteInteger, Single -> vaSingle, Double -> vaExtended, Currency ->
  // vaCurrency, Date -> vaDate, Boolean, strings -> WriteString; arrays
  // raise EWriteError; any other kind is written as its text.
  void WriteVariant(const TqdVariant& aValue);
  // vaBinary + 4-byte size + the bytes.
  void WriteBinary(const void* aValue, int32_t aSize);
  void WriteBytes(std::span<const uint8_t> aValue);
  // Raw bytes, no tag.
  void Write(const void* aBuffer, int32_t aCount);
  void WriteValue(TValueType aValue);

  // The stream position plus the bytes waiting in the buffer.
  int64_t Position();
  void SetPosition(int64_t aValue);
  void FlushBuffer();
  TqdWriter* TheWriter() { return this; }

 private:
  void WriteRawString(std::string_view aBytes);

  TStream* fStream;
  std::vector<uint8_t> fBuffer;
  // Where the next byte goes, and the end of what the buffer holds (beyond
  // fBufPos after the position was moved back inside the buffer).
  int32_t fBufPos = 0;
  int32_t fBufEnd = 0;
  int fUncaught;
};

class TqdReader {
 public:
  explicit TqdReader(TStream* aStream, int32_t aBufSize = 4096);
  // Moves the stream back to just after the last value read.
  ~TqdReader();
  TqdReader(const TqdReader&) = delete;
  TqdReader& operator=(const TqdReader&) = delete;

  TValueType ReadValue();
  // Not consumed.
  TValueType NextValue();
  int32_t ReadInteger();
  int64_t ReadInt64();
  bool ReadBoolean();
  qdString ReadString();
  qdString ReadWideString() { return ReadString(); }
  qdString ReadWideString_() { return ReadString(); }
  // A string of at most one character (#0 for an empty one).
  char16_t ReadChar();
  char ReadAnsiChar();
  qdString ReadIdent();
  // Exactly vaList / vaNull; another value is skipped whole, then refused.
  // vaExtended as it is; vaDouble and the integer tags converted.
  TqdExtended ReadFloat();
  void ReadListBegin();
  void ReadListEnd();
  bool EndOfList();
  // Clears the list, then reads a list of strings into it.
  void ReadStrings(TqdStringList& aList);
  // vaBinary of length 16.
  TGUID ReadGuid();
  // The value WriteVariant wrote: an 8, 16, 32 or 64-bit integer by its tag,
  // vaExtended and vaDouble as Double, the four string tags as a string.
  TqdVariant ReadVariant();
  // vaBinary of exactly aSize bytes.
  void ReadBinary(void* aValue, int32_t aSize);
  // A length of 0 or less gives an empty array.
  std::vector<uint8_t> ReadBytes();
  // Raw bytes.
  void Read(void* aBuffer, int32_t aCount);
  // Skips one whole value, containers included.
  void SkipValue();

  // The stream position minus the bytes read ahead and not yet used.
  int64_t Position();
  // Repositions the stream and empties the buffer.
  void SetPosition(int64_t aValue);
  // Moves the stream back by the bytes read ahead and not yet used.
  void FixupBuffer();
  TqdReader* TheReader() { return this; }

 private:
  uint8_t ReadByte();
  void FillBuffer();
  [[noreturn]] void ReadError();
  [[noreturn]] void PropValueError();
  // What remains of the stream, buffered bytes included.
  int64_t Remaining();
  // A stored length of aCount units of aUnit bytes, refused unless that
  // many bytes remain.
  int32_t CheckedLength(int64_t aCount, int32_t aUnit);
  std::string ReadShortBytes();
  std::string ReadBytesOfLength(int32_t aLength);
  qdString ReadStringOf(TValueType aTag);
  void SkipPayload(TValueType aTag);

  TStream* fStream;
  std::vector<uint8_t> fBuffer;
  int32_t fBufPos = 0;
  int32_t fBufEnd = 0;
};

}  // namespace qd
