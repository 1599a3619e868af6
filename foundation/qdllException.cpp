#include "foundation/qdllException.h"

#include <cxxabi.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <typeinfo>

namespace qd {

namespace {

constexpr char16_t kMessagePrefix[] = u"QendoDB: ";
constexpr char16_t kCodeMessageFormat[] = u"%s [$%x/%d]";
constexpr char16_t kNoCodeMessageFormat[] = u"%s [no error code]";

constexpr qdStringView kNewInfoOpen = u"<[--!";
constexpr qdStringView kNewInfoClose = u"!--]>";
constexpr qdStringView kOldInfoOpen = u"<[--!\u00FE";
constexpr qdStringView kOldInfoClose = u"\u00FE!--]>";
constexpr qdStringView kNewMarker = u"<[!Org!]>";
constexpr qdStringView kOldMarker = u"<[!\u00FEOrg\u00FE!>";

constexpr char16_t kOSErrorInfo[] = u"OSError";
constexpr char16_t kActionInfo[] = u"Action";
constexpr char16_t kModuleInfo[] = u"Module";
constexpr char16_t kExceptionDataInfo[] = u"$ExceptionData$";
constexpr char16_t kExceptionClassInfo[] = u"Exception.Class";
constexpr char16_t kExceptionMessageInfo[] = u"Exception.Message";
constexpr char16_t kExceptionDataName[] = u"ExceptionData";

constexpr char16_t kOSErrorWithAction[] = u"Operating system error in %s: %s ($%x/%d)";
constexpr char16_t kOSErrorWithoutAction[] = u"Operating system error: %s ($%x/%d)";
constexpr char16_t kOSCallFailedIn[] = u"A call to an OS function failed in %s";
constexpr char16_t kOSCallFailed[] = u"A call to an OS function failed.";
constexpr char16_t kUnknownAction[] = u"[unknown]";
constexpr char16_t kUnexpectedException[] = u"Unexpected exception object raised: [%s] %s";
constexpr char16_t kConvertLogFormat[] = u"Exception Cvt: %s";
constexpr char16_t kCRLF[] = u"\r\n";

// The thread's last converted exception, left for the next engine exception
// built from the same code.
thread_local uint32_t lastConvertedCode = 0;
thread_local qdString lastConvertedMessage;
thread_local TqdExceptionHookInfo* threadErrorContext = nullptr;
thread_local bool threadIsMain = false;

std::atomic<bool> errorContextSwitch{false};
std::atomic<const TqdExceptionDataServices*> exceptionDataServices{nullptr};
std::atomic<TqdConvertedExceptionLogWriter> convertedExceptionLogWriter{nullptr};

bool isBlank(char16_t aChar) { return aChar <= u' '; }

qdString trim(qdStringView aText) {
  size_t first = 0;
  size_t last = aText.size();
  while (first < last && isBlank(aText[first])) ++first;
  while (last > first && isBlank(aText[last - 1])) --last;
  return qdString(aText.substr(first, last - first));
}

qdString trimRight(qdStringView aText) {
  size_t last = aText.size();
  while (last > 0 && isBlank(aText[last - 1])) --last;
  return qdString(aText.substr(0, last));
}

// Lines as the run-time library's string list splits a text: at CR, LF and
// CR LF; a final line break opens no further line.
std::vector<qdString> splitLines(qdStringView aText) {
  std::vector<qdString> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < aText.size()) {
    const char16_t c = aText[i];
    if (c == u'\r' || c == u'\n') {
      lines.emplace_back(aText.substr(start, i - start));
      ++i;
      if (c == u'\r' && i < aText.size() && aText[i] == u'\n') ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < aText.size()) lines.emplace_back(aText.substr(start));
  return lines;
}

bool sameNameIgnoringCase(qdStringView a, qdStringView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
    if (x != y) return false;
  }
  return true;
}

qdString decimal(uint64_t aValue) { return AsciiToString(std::to_string(aValue)); }

// Decimal digits only; anything else, or a value beyond 32 bits, is 0.
uint32_t parseOSError(qdStringView aText) {
  if (aText.empty()) return 0;
  uint64_t value = 0;
  for (char16_t c : aText) {
    if (c < u'0' || c > u'9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - u'0');
    if (value > UINT32_MAX) return 0;
  }
  return static_cast<uint32_t>(value);
}

int32_t effectiveClientVersion(int32_t aClientVersion) {
  return aClientVersion == 0 ? qdThreadClientVersionClamped() : aClientVersion;
}

bool usesNewMarkup(int32_t aClientVersion) { return effectiveClientVersion(aClientVersion) >= qdMarkupClientVersion; }

// Removes every detail of one markup form from aText into aInfos. A detail
// opened but never closed takes the rest of the text; the closing marker is
// looked for only after the opening one, so a stray closing marker earlier
// in the text cannot stall the scan.
void extractDetails(qdString& aText, qdStringView aOpen, qdStringView aClose, TqdCustomInfos& aInfos) {
  size_t open = 0;
  while ((open = aText.find(aOpen, open)) != qdString::npos) {
    const size_t pairStart = open + aOpen.size();
    const size_t close = aText.find(aClose, pairStart);
    qdString pair;
    if (close == qdString::npos) {
      pair = aText.substr(pairStart);
      aText.erase(open);
    } else {
      pair = aText.substr(pairStart, close - pairStart);
      aText.erase(open, close + aClose.size() - open);
    }
    const size_t equals = pair.find(u'=');
    const qdString name = equals == qdString::npos ? pair : pair.substr(0, equals);
    const qdString value = equals == qdString::npos ? qdString() : pair.substr(equals + 1);
    if (!name.empty() && !value.empty()) aInfos.SetValues(name, value);
  }
}

qdString systemErrorMessage(int aOSError) {
  char buffer[256];
  // The GNU variant returns the text, which may or may not live in buffer.
  const char* text = strerror_r(aOSError, buffer, sizeof buffer);
  return Utf8ToString(text ? text : "");
}

// Our look-alike classes go by their run-time library names, without
// namespaces ("qd::EConvertError" is "EConvertError"). Standard library
// classes keep their "std::" to say where they come from.
qdString exceptionClassName(const std::type_info& aType) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(aType.name(), nullptr, nullptr, &status),
                                                   std::free);
  std::string name = status == 0 && demangled ? demangled.get() : aType.name();
  if (name.rfind("std::", 0) == 0) return Utf8ToString(name);
  const size_t templateStart = name.find('<');
  const size_t qualifier = name.rfind("::", templateStart == std::string::npos ? std::string::npos : templateStart);
  if (qualifier != std::string::npos) name.erase(0, qualifier + 2);
  return Utf8ToString(name);
}

// The text an exception object gives of itself.
qdString ownMessage(const std::exception& aException) {
  if (const auto* exception = dynamic_cast<const Exception*>(&aException)) return exception->Message();
  return Utf8ToString(aException.what());
}

qdString sourceLocationText(const char* aFile, int aLine) {
  return Utf8ToString(std::string(" (raised at ") + aFile + ":" + std::to_string(aLine) + ")");
}

struct TqdConversion {
  TqdResult code = 0;
  qdString message;
  qdString logText;
};

// Steps shared by every kind of exception once code, message and log text
// are known: typed data from the data source, the thread's pending message,
// the log.
TqdResult finishConversion(TqdConversion& aConversion, TqdBaseLog* aLog, IqdExceptionData* aDataSource,
                           int32_t aClientVersion) {
  qdString dataText;
  const TqdExceptionDataServices* services = exceptionDataServices.load(std::memory_order_acquire);
  if (aDataSource && services && services->CreateContainer) {
    TqdExceptionDataRef container = TqdExceptionDataRef::Adopt(services->CreateContainer(kExceptionDataName));
    services->Describe(aDataSource, container.Get());
    if (services->Count(container.Get()) > 0) {
      if (aConversion.message.empty()) aConversion.message = qdOriginalMessageMarker(aClientVersion);
      aConversion.message += qdEncodeCustomInfo(
          kExceptionDataInfo, services->ToEncodedString(container.Get(), aClientVersion), aClientVersion);
      dataText = services->ToString(container.Get());
    }
  }
  EqdBaseException::SetLastConvertedException(aConversion.code, aConversion.message);
  if (aLog) {
    if (TqdConvertedExceptionLogWriter writer = convertedExceptionLogWriter.load(std::memory_order_acquire)) {
      qdString logText = aConversion.logText;
      if (!dataText.empty()) logText += kCRLF + dataText;
      writer(aLog, Format(kConvertLogFormat, {logText}), aConversion.code,
             qdConvertedExceptionLogPriority(aConversion.code));
    }
  }
  return aConversion.code;
}

void appendClassDetails(qdString& aMessage, const qdString& aClassName, const qdString& aOwnMessage,
                        int32_t aClientVersion) {
  aMessage += qdEncodeCustomInfo(kExceptionClassInfo, aClassName, aClientVersion);
  aMessage += qdEncodeCustomInfo(kExceptionMessageInfo, aOwnMessage, aClientVersion);
}

}  // namespace

// --- Markup ----------------------------------------------------------------

qdString qdEncodeCustomInfo(qdStringView aName, qdStringView aValue) { return qdEncodeCustomInfo(aName, aValue, 0); }

qdString qdEncodeCustomInfo(qdStringView aName, qdStringView aValue, int32_t aClientVersion) {
  const bool newForm = usesNewMarkup(aClientVersion);
  qdString result(newForm ? kNewInfoOpen : kOldInfoOpen);
  result += aName;
  result += u'=';
  result += aValue;
  result += newForm ? kNewInfoClose : kOldInfoClose;
  return result;
}

qdString qdOriginalMessageMarker() { return qdOriginalMessageMarker(0); }

qdString qdOriginalMessageMarker(int32_t aClientVersion) {
  return qdString(usesNewMarkup(aClientVersion) ? kNewMarker : kOldMarker);
}

qdString qdTrimTrailingBlankLines(qdStringView aText) {
  std::vector<qdString> lines = splitLines(aText);
  while (!lines.empty() && trim(lines.back()).empty()) lines.pop_back();
  if (lines.empty()) return qdString();
  if (lines.size() == 1) return trimRight(lines.front());
  qdString result;
  for (const qdString& line : lines) {
    result += line;
    result += kCRLF;
  }
  result += kCRLF;
  return result;
}

// --- TqdCustomInfos --------------------------------------------------------

const qdString& TqdCustomInfos::Strings(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) {
    throw ERangeError(std::string_view("List index out of bounds (" + std::to_string(aIndex) + ")"));
  }
  return ciLines[static_cast<size_t>(aIndex)];
}

qdString TqdCustomInfos::Names(int32_t aIndex) const {
  const qdString& line = Strings(aIndex);
  const size_t equals = line.find(u'=');
  return equals == qdString::npos ? qdString() : line.substr(0, equals);
}

qdString TqdCustomInfos::ValueFromIndex(int32_t aIndex) const {
  const qdString& line = Strings(aIndex);
  const size_t equals = line.find(u'=');
  return equals == qdString::npos ? qdString() : line.substr(equals + 1);
}

int32_t TqdCustomInfos::IndexOfName(qdStringView aName) const {
  for (size_t i = 0; i < ciLines.size(); ++i) {
    const size_t equals = ciLines[i].find(u'=');
    if (equals != qdString::npos && sameNameIgnoringCase(qdStringView(ciLines[i]).substr(0, equals), aName)) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

qdString TqdCustomInfos::Values(qdStringView aName) const {
  const int32_t index = IndexOfName(aName);
  return index < 0 ? qdString() : ValueFromIndex(index);
}

void TqdCustomInfos::SetValues(qdStringView aName, qdStringView aValue) {
  const int32_t index = IndexOfName(aName);
  if (aValue.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  qdString line(aName);
  line += u'=';
  line += aValue;
  if (index >= 0) {
    ciLines[static_cast<size_t>(index)] = std::move(line);
  } else {
    ciLines.push_back(std::move(line));
  }
}

void TqdCustomInfos::Add(qdStringView aLine) { ciLines.emplace_back(aLine); }

void TqdCustomInfos::Delete(int32_t aIndex) {
  (void)Strings(aIndex);  // range check
  ciLines.erase(ciLines.begin() + aIndex);
}

qdString TqdCustomInfos::Text() const {
  qdString text;
  for (const qdString& line : ciLines) {
    text += line;
    text += kCRLF;
  }
  return text;
}

// --- Seams -----------------------------------------------------------------

void qdSetExceptionDataServices(const TqdExceptionDataServices* aServices) {
  exceptionDataServices.store(aServices, std::memory_order_release);
}

const TqdExceptionDataServices* qdGetExceptionDataServices() {
  return exceptionDataServices.load(std::memory_order_acquire);
}

void qdSetConvertedExceptionLogWriter(TqdConvertedExceptionLogWriter aWriter) {
  convertedExceptionLogWriter.store(aWriter, std::memory_order_release);
}

TqdExceptionDataRef TqdExceptionDataRef::Adopt(IqdExceptionDataContainer* aContainer) {
  TqdExceptionDataRef ref;
  ref.drContainer = aContainer;
  return ref;
}

TqdExceptionDataRef::TqdExceptionDataRef(const TqdExceptionDataRef& aOther) : drContainer(aOther.drContainer) {
  if (drContainer) qdGetExceptionDataServices()->AddRef(drContainer);
}

TqdExceptionDataRef::TqdExceptionDataRef(TqdExceptionDataRef&& aOther) noexcept : drContainer(aOther.drContainer) {
  aOther.drContainer = nullptr;
}

TqdExceptionDataRef& TqdExceptionDataRef::operator=(TqdExceptionDataRef aOther) noexcept {
  std::swap(drContainer, aOther.drContainer);
  return *this;
}

TqdExceptionDataRef::~TqdExceptionDataRef() {
  if (drContainer) qdGetExceptionDataServices()->Release(drContainer);
}

// --- EqdBaseException ------------------------------------------------------

EqdBaseException::EqdBaseException(int64_t aErrorCode) : Exception(qdString()) {
  const auto code = static_cast<uint32_t>(aErrorCode);
  qdString pending;
  if (TakePendingMessage(code, pending)) {
    InitWithText(code, pending);
    ComposeCodeMessage();
  } else {
    InitWithCode(code);
    ComposeCodeMessage();
  }
  ClearPendingMessage();
}

EqdBaseException::EqdBaseException(int64_t aErrorCode, qdStringView aAltMsg) : Exception(qdString()) {
  InitWithText(static_cast<uint32_t>(aErrorCode), aAltMsg);
  ComposeCodeMessage();
  ClearPendingMessage();
}

EqdBaseException::EqdBaseException(int64_t aErrorCode, qdStringView aAltMsg, TqdFormatArgs aArgs)
    : Exception(qdString()) {
  InitWithText(static_cast<uint32_t>(aErrorCode), Format(aAltMsg, aArgs));
  ComposeCodeMessage();
  ClearPendingMessage();
}

EqdBaseException::EqdBaseException(qdStringView aMsg) : Exception(qdString()) {
  InitWithText(0, aMsg);
  ComposeNoCodeMessage();
  ClearPendingMessage();
}

EqdBaseException::EqdBaseException(qdStringView aMsg, TqdFormatArgs aArgs) : Exception(qdString()) {
  InitWithText(0, Format(aMsg, aArgs));
  ComposeNoCodeMessage();
  ClearPendingMessage();
}

EqdBaseException::EqdBaseException(const TqdOSErrorInfo& aInfo) : Exception(qdString()) { InitOSError(aInfo); }

EqdBaseException::EqdBaseException(TqdUninitialized) : Exception(qdString()) {}

void EqdBaseException::InitWithText(uint32_t aErrorCode, qdStringView aText) {
  beErrorCode = aErrorCode;
  beErrorString = ParseDetails(aText);
  beExtendedMsg = true;
}

void EqdBaseException::InitWithCode(uint32_t aErrorCode) {
  beErrorCode = aErrorCode;
  beErrorString.clear();
  beExtendedMsg = false;
}

void EqdBaseException::ComposeCodeMessage() {
  const qdString text = qdTrimTrailingBlankLines(ProcessedErrorString());
  SetMessage(kMessagePrefix + Format(kCodeMessageFormat, {text, beErrorCode, beErrorCode}));
}

void EqdBaseException::ComposeNoCodeMessage() {
  const qdString text = qdTrimTrailingBlankLines(ProcessedErrorString());
  SetMessage(kMessagePrefix + Format(kNoCodeMessageFormat, {text}));
}

void EqdBaseException::InitOSError(const TqdOSErrorInfo& aInfo) {
  const int osError = aInfo.oeOSError;
  beOSError = static_cast<uint32_t>(osError);
  beCustomInfos.SetValues(kOSErrorInfo, decimal(static_cast<uint32_t>(osError)));
  beCustomInfos.SetValues(kActionInfo, aInfo.oeAction);
  qdString errorString;
  if (osError != 0) {
    // There are no message tables in modules here; the module is recorded
    // and the message comes from the C library.
    if (!aInfo.oeModule.empty()) beCustomInfos.SetValues(kModuleInfo, aInfo.oeModule);
    const qdString systemMessage = systemErrorMessage(osError);
    const auto number = static_cast<uint32_t>(osError);
    if (!aInfo.oeAction.empty()) {
      errorString = Format(kOSErrorWithAction, {ParseDetails(aInfo.oeAction), systemMessage, number, number});
    } else {
      errorString = Format(kOSErrorWithoutAction, {systemMessage, number, number});
    }
  } else if (!aInfo.oeAction.empty()) {
    errorString = Format(kOSCallFailedIn, {ParseDetails(aInfo.oeAction)});
  } else {
    errorString = kOSCallFailed;
  }
  InitWithText(aInfo.oeErrorCode == 0 ? qdeOSError : aInfo.oeErrorCode, errorString);
  ComposeCodeMessage();
  ClearPendingMessage();
}

qdString EqdBaseException::ParseDetails(qdStringView aText) {
  qdString text(aText);
  // The older form first: its opening marker begins with the newer one's.
  extractDetails(text, kOldInfoOpen, kOldInfoClose, beCustomInfos);
  extractDetails(text, kNewInfoOpen, kNewInfoClose, beCustomInfos);
  if (!beCustomInfos.Empty()) {
    const qdString osError = beCustomInfos.Values(kOSErrorInfo);
    if (!osError.empty()) beOSError = parseOSError(osError);
    const qdString data = beCustomInfos.Values(kExceptionDataInfo);
    const TqdExceptionDataServices* services = qdGetExceptionDataServices();
    if (!data.empty() && services && services->FromString) {
      TqdExceptionDataRef decoded = TqdExceptionDataRef::Adopt(services->FromString(data));
      if (decoded) beExceptionData = std::move(decoded);
      beCustomInfos.SetValues(kExceptionDataInfo, qdStringView());
    }
  }
  return text;
}

qdString EqdBaseException::ProcessErrorString(qdStringView aText) const {
  const qdString text = trim(aText);
  const qdString marker = qdOriginalMessageMarker();
  const size_t position = text.find(marker);
  if (position != qdString::npos) {
    qdString result = text.substr(0, position) + GetErrorText(beErrorCode);
    if (result.size() > 1 && result.back() != u'.') result += u'.';
    result += text.substr(position + marker.size());
    return result;
  }
  if (text.empty()) return GetErrorText(beErrorCode);
  return text;
}

qdString EqdBaseException::ProcessedErrorString() const { return ProcessErrorString(beErrorString); }

qdString EqdBaseException::GetErrorText(TqdResult aErrorCode) const { return qdGetErrorText(aErrorCode); }

IqdExceptionDataContainer* EqdBaseException::GetExceptionData() {
  if (!beExceptionData) {
    const TqdExceptionDataServices* services = qdGetExceptionDataServices();
    if (services && services->CreateContainer) {
      beExceptionData = TqdExceptionDataRef::Adopt(services->CreateContainer(kExceptionDataName));
    }
  }
  return beExceptionData.Get();
}

void EqdBaseException::SetSourceLocation(const char* aFile, int aLine) {
  beSourceFile = aFile;
  beSourceLine = aLine;
  beWhat = Exception::what();
  if (aFile) beWhat += StringToUtf8(sourceLocationText(aFile, aLine));
}

const char* EqdBaseException::what() const noexcept { return beSourceFile ? beWhat.c_str() : Exception::what(); }

void EqdBaseException::SetLastConvertedException(uint32_t aErrorCode, qdStringView aCustomMessage) {
  lastConvertedCode = aErrorCode;
  lastConvertedMessage = aCustomMessage;
}

void EqdBaseException::GetLastConvertedException(uint32_t& aErrorCode, qdString& aCustomMessage) {
  aErrorCode = lastConvertedCode;
  aCustomMessage = lastConvertedMessage;
}

uint32_t EqdBaseException::qdSetMessage(uint32_t aErrorCode, qdStringView aAltMsg) {
  SetLastConvertedException(aErrorCode, aAltMsg);
  return aErrorCode;
}

uint32_t EqdBaseException::qdSetMessage(uint32_t aErrorCode, qdStringView aAltMsg, TqdFormatArgs aArgs) {
  SetLastConvertedException(aErrorCode, Format(aAltMsg, aArgs));
  return aErrorCode;
}

bool EqdBaseException::TakePendingMessage(uint32_t aErrorCode, qdString& aMessage) {
  if (aErrorCode != lastConvertedCode || lastConvertedMessage.empty()) return false;
  aMessage = lastConvertedMessage;
  return true;
}

void EqdBaseException::ClearPendingMessage() { lastConvertedMessage.clear(); }

// --- Raising ---------------------------------------------------------------

void qdRaiseIfError(TqdResult aErrorCode) {
  if (aErrorCode != 0) throw EqdBaseException(aErrorCode);
}

void qdRaiseLastOSError(qdStringView aAction, TqdResult aErrorCode) { throw qdCreateOSErrorText(aErrorCode, aAction); }

void qdRaiseLastOSErrorRes(qdStringView aActionRes, TqdResult aErrorCode) {
  throw qdCreateOSErrorRes(aErrorCode, aActionRes);
}

void qdRaiseLastOSErrorUnknown() { throw qdCreateOSErrorText(0, kUnknownAction); }

bool qdCheckOSCallText(bool aSuccess, qdStringView aAction) {
  if (!aSuccess) qdRaiseLastOSError(aAction);
  return aSuccess;
}

bool qdCheckOSCallRes(bool aSuccess, qdStringView aActionRes) {
  if (!aSuccess) qdRaiseLastOSErrorRes(aActionRes);
  return aSuccess;
}

// --- Conversion ------------------------------------------------------------

TqdLogPriority qdConvertedExceptionLogPriority(TqdResult aErrorCode) {
  switch (qdErrorCategory(aErrorCode)) {
    case 0x2B:
      return lpFatal;
    case 0x23:
    case 0x2F:
      return lpError;
    case 0x28:
      return lpInfo;
    case 0x3C:
      if (aErrorCode == qdeTimeout || aErrorCode == qdeSignal) return lpInfo;
      if (aErrorCode >= qdeUnknownErrorCode && aErrorCode <= qdeMessageUnrecognized) return lpError;
      return lpWarn;
    default:
      return lpWarn;
  }
}

TqdResult qdConvertException(const std::exception& aException, TqdBaseLog* aLog, IqdExceptionData* aDataSource,
                             int32_t aClientVersion) {
  // Details use the markup of the client the result goes to.
  const int32_t clientVersion = effectiveClientVersion(aClientVersion);
  const bool newForm = clientVersion >= qdMarkupClientVersion;
  TqdConversion conversion;
  conversion.logText = ownMessage(aException);

  if (const auto* engineException = dynamic_cast<const IqdException*>(&aException)) {
    if (engineException->ErrorCode() == 0) {
      conversion.code = qdeUnknownErrorCode;
      conversion.message = conversion.logText;
    } else {
      conversion.code = engineException->ErrorCode();
      if (engineException->ExtendedMsg()) {
        conversion.message = engineException->ErrorString();
        const TqdCustomInfos& infos = engineException->CustomInfos();
        for (int32_t i = 0; i < infos.Count(); ++i) {
          conversion.message += newForm ? kNewInfoOpen : kOldInfoOpen;
          conversion.message += infos.Strings(i);
          conversion.message += newForm ? kNewInfoClose : kOldInfoClose;
        }
      }
    }
    if (const auto* base = dynamic_cast<const EqdBaseException*>(&aException); base && base->SourceFile()) {
      conversion.logText += sourceLocationText(base->SourceFile(), base->SourceLine());
    }
  } else if (const auto* osError = dynamic_cast<const EOSError*>(&aException)) {
    conversion.code = qdeOSError;
    conversion.message = osError->Message();
    conversion.message +=
        qdEncodeCustomInfo(kOSErrorInfo, decimal(static_cast<uint32_t>(osError->ErrorCode())), clientVersion);
    appendClassDetails(conversion.message, exceptionClassName(typeid(aException)), osError->Message(), clientVersion);
  } else if (dynamic_cast<const std::bad_alloc*>(&aException)) {
    conversion.code = qdeNoMemory;
  } else {
    const qdString className = exceptionClassName(typeid(aException));
    conversion.code = qdeUnexpectedException;
    conversion.message = Format(kUnexpectedException, {className, conversion.logText});
    appendClassDetails(conversion.message, className, conversion.logText, clientVersion);
  }
  return finishConversion(conversion, aLog, aDataSource, clientVersion);
}

TqdResult qdConvertException(const std::exception_ptr& aException, TqdBaseLog* aLog, IqdExceptionData* aDataSource,
                             int32_t aClientVersion) {
  try {
    std::rethrow_exception(aException);
  } catch (const std::exception& exception) {
    return qdConvertException(exception, aLog, aDataSource, aClientVersion);
  } catch (...) {
    // An object of a class outside the std::exception tree: it has a class
    // but no message.
    const int32_t clientVersion = effectiveClientVersion(aClientVersion);
    const std::type_info* type = abi::__cxa_current_exception_type();
    const qdString className = type ? exceptionClassName(*type) : qdString(u"[unknown]");
    TqdConversion conversion;
    conversion.code = qdeUnexpectedException;
    conversion.message = Format(kUnexpectedException, {className, qdString()});
    appendClassDetails(conversion.message, className, qdString(), clientVersion);
    return finishConversion(conversion, aLog, aDataSource, clientVersion);
  }
}

// --- Per-thread state ------------------------------------------------------

void qdSetThreadErrorContext(TqdExceptionHookInfo* aContext) {
  threadErrorContext = errorContextSwitch.load(std::memory_order_relaxed) ? aContext : nullptr;
}

TqdExceptionHookInfo* qdGetThreadErrorContext() { return threadErrorContext; }

void qdSetThreadErrorContextSwitch(bool aOn) { errorContextSwitch.store(aOn, std::memory_order_relaxed); }

bool qdIsMainThread() { return threadIsMain; }

void qdllExceptionInitialize() { threadIsMain = gettid() == getpid(); }

void qdllExceptionFinalize() {
  lastConvertedCode = 0;
  lastConvertedMessage.clear();
}

}  // namespace qd
