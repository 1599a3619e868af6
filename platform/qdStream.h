// The platform's stream contract and its errors, which the engine's memory
// streams, the filer and every caller that hands bytes around build on.
//
// A stream reads and writes at its position and seeks with an origin:
// 0 = from the beginning, 1 = from the current position, 2 = from the end
// (the offset is added to the size). `Read` and `Write` return how many
// bytes they moved; `ReadBuffer` and `WriteBuffer` insist on all of them and
// raise EReadError / EWriteError otherwise.
//
// Classes: TStream; exceptions EStreamError > EFilerError > EReadError,
// EWriteError; EStreamError > EFCreateError, EFOpenError.
#pragma once

#include <cstdint>

#include "platform/qdSysUtils.h"

namespace qd {

constexpr uint16_t soFromBeginning = 0;
constexpr uint16_t soFromCurrent = 1;
constexpr uint16_t soFromEnd = 2;

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// Errors of the filer (the tagged value reader and writer).
class EFilerError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EReadError : public EFilerError {
 public:
  using EFilerError::EFilerError;
};

class EWriteError : public EFilerError {
 public:
  using EFilerError::EFilerError;
};

class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// The texts of the platform's stream and filer errors.
extern const char16_t* const SReadError;             // "Stream read error"
extern const char16_t* const SWriteError;            // "Stream write error"
extern const char16_t* const SInvalidPropertyValue;  // "Invalid property value"

class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  virtual int32_t Read(void* aBuffer, int32_t aCount) = 0;
  virtual int32_t Write(const void* aBuffer, int32_t aCount) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t aOffset, uint16_t aOrigin) = 0;

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t aPosition) { Seek(aPosition, soFromBeginning); }
  // By default found by seeking to the end and back.
  virtual int64_t Size();
  // By default refused with EStreamError: a stream that cannot change its
  // size says so rather than ignore the request.
  virtual void SetSize(int64_t aNewSize);

  // All of aCount bytes or EReadError.
  void ReadBuffer(void* aBuffer, int32_t aCount);
  // All of aCount bytes or EWriteError.
  void WriteBuffer(const void* aBuffer, int32_t aCount);
  // Copies aCount bytes from aSource's position; aCount 0 copies the whole
  // of aSource from its beginning. Returns the bytes copied.
  int64_t CopyFrom(TStream* aSource, int64_t aCount);
};

}  // namespace qd
