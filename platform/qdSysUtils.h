// Run-time library exceptions the engine raises besides its own.
//
// A few places raise the run-time library's exception classes rather than
// engine exceptions (invalid pointer, conversion errors, aborts,
// operating-system errors, assertion failures). These are small look-alikes
// with the same meaning.
// Classes: Exception, EInvalidPointer, EAssertionFailed, EConvertError,
// EAbort, EOSError, ERangeError, EArgumentException, ENotSupported.
// Out of memory is std::bad_alloc throughout the engine.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/qdStrings.h"

namespace qd {

// Base of every exception the engine raises itself. The message is UTF-16
// as the engine keeps it; what() gives it in UTF-8.
class Exception : public std::exception {
 public:
  explicit Exception(qdString aMessage);
  explicit Exception(std::string_view aUtf8Message);
  ~Exception() override = default;

  const qdString& Message() const { return fMessage; }
  void SetMessage(qdString aMessage);
  const char* what() const noexcept override { return fWhat.c_str(); }

 private:
  qdString fMessage;
  std::string fWhat;
};

// Run-time error 2: a pointer or block the allocator refuses.
class EInvalidPointer : public Exception {
 public:
  EInvalidPointer();
};

class EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A silent exception: aborts an operation without an error message.
class EAbort : public Exception {
 public:
  using Exception::Exception;
};

class EOSError : public Exception {
 public:
  EOSError(int aErrorCode, qdString aMessage);
  int ErrorCode() const { return fErrorCode; }

 private:
  int fErrorCode;
};

class ERangeError : public Exception {
 public:
  using Exception::Exception;
};

class EArgumentException : public Exception {
 public:
  using Exception::Exception;
};

class ENotSupported : public Exception {
 public:
  using Exception::Exception;
};

// A checked class cast that failed ("Invalid class typecast").
class EInvalidCast : public Exception {
 public:
  EInvalidCast() : Exception(qdString(u"Invalid class typecast")) {}
};

// Run-time error 1 (out of memory) and 2 (invalid pointer).
[[noreturn]] void qdRaiseOutOfMemory();
[[noreturn]] void qdRaiseInvalidPointer();

// Assertion that raises instead of aborting: a process holding a learner's
// data is never brought down by a programming-error check.
[[noreturn]] void qdAssertFailed(const char* aUnit, const char* aCondition, const char* aFile = __builtin_FILE(),
                                 int aLine = __builtin_LINE());

// Raises EOSError for an errno value, text from strerror_r.
[[noreturn]] void qdRaiseLastOSError(int aErrno);

}  // namespace qd
