#include "platform/qdSysUtils.h"

#include <cstring>
#include <new>

namespace qd {

Exception::Exception(qdString aMessage) : fMessage(std::move(aMessage)), fWhat(StringToUtf8(fMessage)) {}

Exception::Exception(std::string_view aUtf8Message) : fMessage(Utf8ToString(aUtf8Message)), fWhat(aUtf8Message) {}

void Exception::SetMessage(qdString aMessage) {
  fMessage = std::move(aMessage);
  fWhat = StringToUtf8(fMessage);
}

EInvalidPointer::EInvalidPointer() : Exception(std::string_view("Invalid pointer operation")) {}

EOSError::EOSError(int aErrorCode, qdString aMessage) : Exception(std::move(aMessage)), fErrorCode(aErrorCode) {}

void qdRaiseOutOfMemory() { throw std::bad_alloc(); }

void qdRaiseInvalidPointer() { throw EInvalidPointer(); }

void qdAssertFailed(const char* aUnit, const char* aCondition, const char* aFile, int aLine) {
  std::string text = std::string("Assertion failure in ") + aUnit + ": " + aCondition + " (" + aFile + ":" +
                     std::to_string(aLine) + ")";
  throw EAssertionFailed(std::string_view(text));
}

void qdRaiseLastOSError(int aErrno) {
  char buffer[256];
  // The GNU variant returns the text, which may or may not live in buffer.
  const char* text = strerror_r(aErrno, buffer, sizeof buffer);
  std::string message = "System Error.  Code: " + std::to_string(aErrno) + ".\n" + text;
  throw EOSError(aErrno, Utf8ToString(message));
}

}  // namespace qd
