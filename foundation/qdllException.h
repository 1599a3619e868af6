// The engine's error model: result codes and their texts, the engine
// exception, the markup by which name=value details ride inside error texts,
// operating-system errors, and the converter that turns any exception into a
// code plus a message for the next engine exception raised on the thread.
//
// A routine either raises an EqdBaseException (or a descendant) or returns a
// TqdResult; a routine returning a code leaves its text for the thread with
// qdSetMessage, and the next exception built from that code on the same
// thread carries it.
//
// Message forms:
//   with a code     "QendoDB: <text> [$<HEX>/<decimal>]"
//   without a code  "QendoDB: <text> [no error code]"
// Details inside a text: "<[--!name=value!--]>" (clients older than 41200:
// "<[--!\u00FEname=value\u00FE!--]>"); both are parsed on every thread and
// removed into CustomInfos. "<[!Org!]>" in a text stands for the code's own
// text.
//
// The `qdCreate` overloads are the constructors of EqdBaseException
// (and, through `using EqdBaseException::EqdBaseException`, of every
// descendant):
//   EqdBaseException(aErrorCode)                    code alone, or the
//                                                   thread's pending message
//   EqdBaseException(aErrorCode, aAltMsg[, aArgs])  code and caller text
//   EqdBaseException(aMsg[, aArgs])                 text without a code
// Resource strings are ordinary string constants here, so the resource forms
// are the same overloads.
//
// Classes: EqdBaseException, TqdCustomInfos, TqdExceptionDataRef,
// IqdBaseException > IqdExceptionForCallback > IqdException.
//
// Ownership: an exception owns its CustomInfos and holds one reference to its
// exception data container. No locks: the pending converted message, the
// error context and the main-thread flag are thread-local.
#pragma once

#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "foundation/qdllInterlocked.h"
#include "platform/qdFormat.h"
#include "platform/qdStrings.h"
#include "platform/qdSysUtils.h"

namespace qd {

// Result of every engine operation; 0 is success. The high byte of the low
// 16 bits is the code's category.
using TqdResult = uint32_t;

inline constexpr uint32_t qdErrorCategory(TqdResult aErrorCode) { return (aErrorCode & 0xFF00) >> 8; }

// --- Codes -----------------------------------------------------------------

// Status values, not failures.
inline constexpr TqdResult qdeSuccess = 0;
inline constexpr TqdResult qdeKeyFiltered = 1;
inline constexpr TqdResult qdeCacheValid = 2;
inline constexpr TqdResult qdeCacheInvalid = 3;
// $21 system re-entered
inline constexpr TqdResult qdeReentered = 8455;
// $22 navigation and not found
inline constexpr TqdResult qdeBOF = 8705;
inline constexpr TqdResult qdeEOF = 8706;
inline constexpr TqdResult qdeKeyOrRecDeleted = 8708;
inline constexpr TqdResult qdeNoCurrentRec = 8709;
inline constexpr TqdResult qdeRecNotFound = 8710;
inline constexpr TqdResult qdeEndOfBlob = 8711;
inline constexpr TqdResult qdeObjNotFound = 8712;
// $23 corruption
inline constexpr TqdResult qdeHeaderCorrupt = 8961;
inline constexpr TqdResult qdeFileCorrupt = 8962;
inline constexpr TqdResult qdeIndexCorrupt = 8965;
// $24 read, write and access
inline constexpr TqdResult qdeReadErr = 9217;
inline constexpr TqdResult qdeWriteErr = 9218;
inline constexpr TqdResult qdeDirNoAccess = 9219;
inline constexpr TqdResult qdeFileNoAccess = 9221;
// $25 resources and limits
inline constexpr TqdResult qdeNoMemory = 9473;
inline constexpr TqdResult qdeTableFull = 9479;
inline constexpr TqdResult qdeTooManyClients = 9486;
inline constexpr TqdResult qdeTooManyIndexes = 9487;
inline constexpr TqdResult qdeTooManyFields = 9492;
// $26 integrity and validity
inline constexpr TqdResult qdeKeyViol = 9729;
inline constexpr TqdResult qdeMinValErr = 9730;
inline constexpr TqdResult qdeMaxValErr = 9731;
inline constexpr TqdResult qdeRequiredErr = 9732;
inline constexpr TqdResult qdeMasterMissing = 9733;
inline constexpr TqdResult qdeDetailRecsExist = 9734;
inline constexpr TqdResult qdeFieldBlank = 9740;
inline constexpr TqdResult qdeExprValErr = 9751;
// $27 invalid requests, names and descriptors
inline constexpr TqdResult qdeOutOfRange = 9985;
inline constexpr TqdResult qdeInvalidParam = 9986;
inline constexpr TqdResult qdeInvalidHandle = 9990;
inline constexpr TqdResult qdeCannotOpenFile = 9992;
inline constexpr TqdResult qdeInvalidModifyRequest = 9996;
inline constexpr TqdResult qdeNoSuchIndex = 9997;
inline constexpr TqdResult qdeInvalidBlobOffset = 9998;
inline constexpr TqdResult qdeInvalidDescNum = 9999;
inline constexpr TqdResult qdeInvalidFieldType = 10000;
inline constexpr TqdResult qdeInvalidFieldDesc = 10001;
inline constexpr TqdResult qdeInvalidFieldXform = 10002;
inline constexpr TqdResult qdeInvalidRecStruct = 10003;
inline constexpr TqdResult qdeInvalidDesc = 10004;
inline constexpr TqdResult qdeInvalidIndexDescArray = 10005;
inline constexpr TqdResult qdeNameNotUnique = 10009;
inline constexpr TqdResult qdeUnknownDb = 10014;
inline constexpr TqdResult qdeInvalidPassword = 10015;
inline constexpr TqdResult qdeAliasDirMissing = 10018;
inline constexpr TqdResult qdeTranslateOutOfBounds = 10019;
inline constexpr TqdResult qdeDifferentTables = 10020;
inline constexpr TqdResult qdeBookmarkMismatch = 10021;
inline constexpr TqdResult qdeInvalidIndexName = 10022;
inline constexpr TqdResult qdeInvalidIndexDesc = 10023;
inline constexpr TqdResult qdeNoSuchTable = 10024;
inline constexpr TqdResult qdeIndexExists = 10027;
inline constexpr TqdResult qdeInvalidBlobLen = 10029;
inline constexpr TqdResult qdeInvalidBlobHandle = 10030;
inline constexpr TqdResult qdeTableOpen = 10031;
inline constexpr TqdResult qdeUnknownUser = 10036;
inline constexpr TqdResult qdeInvalidFieldName = 10038;
inline constexpr TqdResult qdeInvalidTableName = 10039;
inline constexpr TqdResult qdeInvalidFileExt = 10042;
inline constexpr TqdResult qdeInvalidLangDriver = 10043;
inline constexpr TqdResult qdeInvalidFilterHandle = 10050;
inline constexpr TqdResult qdeInvalidFilter = 10051;
inline constexpr TqdResult qdeInvalidAliasName = 10067;
inline constexpr TqdResult qdeInvalidName = 10068;
// $28 locks and transactions
inline constexpr TqdResult qdeRecLocked = 10241;
inline constexpr TqdResult qdeFileLocked = 10245;
inline constexpr TqdResult qdeLockTimeout = 10249;
inline constexpr TqdResult qdeNeedExclusive = 10253;
inline constexpr TqdResult qdeLockConflict = 10254;
inline constexpr TqdResult qdeDeadlock = 10255;
inline constexpr TqdResult qdeTransInProgress = 10256;
inline constexpr TqdResult qdeNoTrans = 10257;
inline constexpr TqdResult qdeRecLockFailed = 10258;
inline constexpr TqdResult qdeRecChanged = 10259;
inline constexpr TqdResult qdeRecDeletedOrMoved = 10260;
// $29 rights and read-only objects
inline constexpr TqdResult qdeNoTableRights = 10498;
inline constexpr TqdResult qdeDbReadOnly = 10501;
inline constexpr TqdResult qdeFieldReadOnly = 10502;
inline constexpr TqdResult qdeEncryptionNotSupported = 10503;
// $2A invalid context
inline constexpr TqdResult qdeNotABlob = 10753;
inline constexpr TqdResult qdeNotApplicable = 10756;
inline constexpr TqdResult qdeNotIndexed = 10757;
inline constexpr TqdResult qdeDifferentSessions = 10760;
inline constexpr TqdResult qdeTableReadOnly = 10763;
inline constexpr TqdResult qdeNoAssocIndex = 10764;
// $2B operating system and engine connection
inline constexpr TqdResult qdeOSError = 11047;
inline constexpr TqdResult qdeNoServerEngine = 11114;
// $2C network
inline constexpr TqdResult qdeLostConnection = 11276;
inline constexpr TqdResult qdeCannotConnect = 11278;
// $2E filter
inline constexpr TqdResult qdeBlobError = 11896;
// $2F versions
inline constexpr TqdResult qdeIncompatibleServer = 12039;
inline constexpr TqdResult qdeHigherTableLevel = 12040;
// $30 unsupported capability
inline constexpr TqdResult qdeNotSupported = 12289;
// $33 BLOB and other
inline constexpr TqdResult qdeBlobModified = 13058;
inline constexpr TqdResult qdeTableExists = 13060;
inline constexpr TqdResult qdeUpdateAborted = 13062;
// $3C engine-specific failures
inline constexpr TqdResult qdeBadFileData = 15360;
inline constexpr TqdResult qdeCloseFailed = 15363;
inline constexpr TqdResult qdeCopyFailed = 15392;
inline constexpr TqdResult qdeDeleteFailed = 15393;
inline constexpr TqdResult qdeRenameFailed = 15394;
inline constexpr TqdResult qdeBadBlockNum = 15409;
inline constexpr TqdResult qdeBadRefNr = 15412;
inline constexpr TqdResult qdeNotDataBlock = 15413;
inline constexpr TqdResult qdeNoHeaderAccessFactories = 15414;
inline constexpr TqdResult qdeNewerTableVersion = 15415;
inline constexpr TqdResult qdeNotHeapBlock = 15416;
inline constexpr TqdResult qdeNotStreamBlock = 15421;
inline constexpr TqdResult qdeNotIndexBlock = 15424;
inline constexpr TqdResult qdeBadIndexNum = 15425;
inline constexpr TqdResult qdeFileBlobOpenErr = 15440;
inline constexpr TqdResult qdeFileBlobReadErr = 15441;
inline constexpr TqdResult qdeFileBlobCloseErr = 15442;
inline constexpr TqdResult qdeTransCorrupt = 15443;
inline constexpr TqdResult qdeFilterTimeout = 15444;
inline constexpr TqdResult qdeTimeout = 15461;
inline constexpr TqdResult qdeNotConnected = 15465;
inline constexpr TqdResult qdeIncompatibleCursorDicts = 15488;
inline constexpr TqdResult qdeSameTable = 15489;
inline constexpr TqdResult qdeBlobTooLarge = 15490;
inline constexpr TqdResult qdeIncompatibleSubEngine = 15491;
inline constexpr TqdResult qdeBadSegmentNum = 15492;
inline constexpr TqdResult qdeSegmentDeleted = 15493;
inline constexpr TqdResult qdeKeyTooLarge = 15494;
inline constexpr TqdResult qdeRecordTooLarge = 15495;
inline constexpr TqdResult qdeTempStoreBadBlock = 15496;
inline constexpr TqdResult qdeTempStoreFull = 15497;
inline constexpr TqdResult qdeIncompatibleStream = 15498;
inline constexpr TqdResult qdeUnsupportedDescriptor = 15499;
inline constexpr TqdResult qdeDictReadOnly = 15500;
inline constexpr TqdResult qdeDupAutoIncField = 15501;
inline constexpr TqdResult qdeObjectInUse = 15502;
inline constexpr TqdResult qdeSubEngineNotSupported = 15503;
inline constexpr TqdResult qdeHeaderAccessNotSupported = 15504;
inline constexpr TqdResult qdeNoTransportServerName = 15505;
inline constexpr TqdResult qdeDupRecRevField = 15506;
inline constexpr TqdResult qdeSignal = 15507;
inline constexpr TqdResult qdeSameFolder = 15508;
inline constexpr TqdResult qdeRecoveryFailed = 15509;
inline constexpr TqdResult qdeIndexNotEmpty = 15511;
inline constexpr TqdResult qdeDupRefNrField = 15512;
inline constexpr TqdResult qdeDupLSNField = 15513;
// Given to an engine exception that reports code 0; it has no text of its
// own and reads the fallback text.
inline constexpr TqdResult qdeUnknownErrorCode = 15520;
inline constexpr TqdResult qdeUnexpectedException = 15521;
inline constexpr TqdResult qdeMessageUnrecognized = 15522;
inline constexpr TqdResult qdeNoMessageQueued = 15536;

// --- Texts -----------------------------------------------------------------

// The text of a code: the table's text; for $22F0-$22FF "Cache is invalid: "
// followed by the text of the code with bits $F0 cleared; otherwise "Unknown
// (server exception object has unknown error code)". Never fails.
void qdGetErrorText(TqdResult aErrorCode, qdString& aText);
qdString qdGetErrorText(TqdResult aErrorCode);

// Every code that has a text of its own, ascending (for listings and tests).
std::vector<TqdResult> qdErrorCodesWithText();

// --- Markup ----------------------------------------------------------------

// The client version from which the current markup form is used.
inline constexpr int32_t qdMarkupClientVersion = 41200;

// "<[--!" name "=" value "!--]>" for the calling thread's client version, the
// older thorn form below 41200.
qdString qdEncodeCustomInfo(qdStringView aName, qdStringView aValue);
// The same for an explicit client version (0: the thread's).
qdString qdEncodeCustomInfo(qdStringView aName, qdStringView aValue, int32_t aClientVersion);
// "<[!Org!]>", or "<[!\u00FEOrg\u00FE!>" below client version 41200.
qdString qdOriginalMessageMarker();
qdString qdOriginalMessageMarker(int32_t aClientVersion);
// Drops blank lines at the end; two or more remaining lines each end in
// CR LF and one more CR LF follows; a single line loses trailing blanks.
qdString qdTrimTrailingBlankLines(qdStringView aText);

// Name=value lines of an exception's details. Names compare without regard
// to ASCII case; setting an empty value removes the line.
class TqdCustomInfos {
 public:
  int32_t Count() const { return static_cast<int32_t>(ciLines.size()); }
  bool Empty() const { return ciLines.empty(); }
  // The whole line "name=value". Out-of-range indexes raise ERangeError.
  const qdString& Strings(int32_t aIndex) const;
  qdString Names(int32_t aIndex) const;
  qdString ValueFromIndex(int32_t aIndex) const;
  // -1 when absent.
  int32_t IndexOfName(qdStringView aName) const;
  // Empty when absent.
  qdString Values(qdStringView aName) const;
  // Replaces the value of the first line of that name, or appends a line.
  void SetValues(qdStringView aName, qdStringView aValue);
  void Add(qdStringView aLine);
  void Delete(int32_t aIndex);
  void Clear() { ciLines.clear(); }
  // Lines each followed by CR LF.
  qdString Text() const;

 private:
  std::vector<qdString> ciLines;
};

// --- Seams to later units --------------------------------------------------

// Typed exception data (the tree of named values) is defined by the
// exception data unit, logs by the component unit. Until those units install
// their services here at start-up, exceptions carry no typed data (a
// "$ExceptionData$" detail then stays in CustomInfos as text) and the
// converter logs nothing.
class IqdExceptionDataContainer;
class IqdExceptionData;
class TqdBaseLog;
struct TqdExceptionHookInfo;

struct TqdExceptionDataServices {
  // A new, empty root container; the caller receives one reference.
  IqdExceptionDataContainer* (*CreateContainer)(const qdString& aName) = nullptr;
  // Decodes the text of a "$ExceptionData$" detail. nullptr when the decoded
  // value is not a container; raises on a malformed text. The caller receives
  // one reference.
  IqdExceptionDataContainer* (*FromString)(const qdString& aText) = nullptr;
  void (*AddRef)(IqdExceptionDataContainer* aContainer) = nullptr;
  void (*Release)(IqdExceptionDataContainer* aContainer) = nullptr;
  // Lets a data source describe itself into the container.
  void (*Describe)(IqdExceptionData* aSource, IqdExceptionDataContainer* aContainer) = nullptr;
  int32_t (*Count)(IqdExceptionDataContainer* aContainer) = nullptr;
  qdString (*ToEncodedString)(IqdExceptionDataContainer* aContainer, int32_t aClientVersion) = nullptr;
  qdString (*ToString)(IqdExceptionDataContainer* aContainer) = nullptr;
};
// nullptr uninstalls. The services must outlive every exception holding data.
void qdSetExceptionDataServices(const TqdExceptionDataServices* aServices);
const TqdExceptionDataServices* qdGetExceptionDataServices();

// Priorities of log entries.
enum TqdLogPriority : uint8_t { lpDebug, lpInfo, lpWarn, lpError, lpFatal };

// Writes one converted exception to a log: the component unit installs a
// writer calling aLog.WriteString(aText, aErrorCode, aPriority, "default", 0,
// $0FFFFFFF).
using TqdConvertedExceptionLogWriter = void (*)(TqdBaseLog* aLog, const qdString& aText, TqdResult aErrorCode,
                                                TqdLogPriority aPriority);
void qdSetConvertedExceptionLogWriter(TqdConvertedExceptionLogWriter aWriter);

// A counted reference to an exception data container; copies share it.
class TqdExceptionDataRef {
 public:
  TqdExceptionDataRef() = default;
  // Takes over one reference the caller already holds.
  static TqdExceptionDataRef Adopt(IqdExceptionDataContainer* aContainer);
  TqdExceptionDataRef(const TqdExceptionDataRef& aOther);
  TqdExceptionDataRef(TqdExceptionDataRef&& aOther) noexcept;
  TqdExceptionDataRef& operator=(TqdExceptionDataRef aOther) noexcept;
  ~TqdExceptionDataRef();

  IqdExceptionDataContainer* Get() const { return drContainer; }
  explicit operator bool() const { return drContainer != nullptr; }

 private:
  IqdExceptionDataContainer* drContainer = nullptr;
};

// --- The engine exception --------------------------------------------------

// Operations every engine exception offers, also across module boundaries.
class IqdBaseException {
 public:
  virtual TqdResult ErrorCode() const = 0;
  virtual qdString ErrorString() const = 0;
  virtual bool ExtendedMsg() const = 0;
  virtual uint32_t OSError() const = 0;
  virtual TqdCustomInfos& CustomInfos() = 0;
  virtual const TqdCustomInfos& CustomInfos() const = 0;
  // Made (empty, named "ExceptionData") on first request; nullptr while no
  // exception data services are installed.
  virtual IqdExceptionDataContainer* GetExceptionData() = 0;
  virtual qdString ProcessedErrorString() const = 0;

 protected:
  ~IqdBaseException() = default;
};

class IqdExceptionForCallback : public IqdBaseException {
 protected:
  ~IqdExceptionForCallback() = default;
};

class IqdException : public IqdExceptionForCallback {
 protected:
  ~IqdException() = default;
};

// Everything an operating-system error exception is built from (see
// qdCreateOSError).
struct TqdOSErrorInfo {
  TqdResult oeErrorCode = 0;  // 0: qdeOSError
  int oeOSError = 0;          // the errno value
  qdString oeModule;
  qdString oeAction;
};

class EqdBaseException : public Exception, public IqdException {
 public:
  // The code constructor: takes the thread's pending converted message when
  // it was left for this code, else the code's own text. Only the low 32
  // bits of the code are kept.
  explicit EqdBaseException(int64_t aErrorCode);
  EqdBaseException(int64_t aErrorCode, qdStringView aAltMsg);
  EqdBaseException(int64_t aErrorCode, qdStringView aAltMsg, TqdFormatArgs aArgs);
  // Without a code: ErrorCode stays 0.
  explicit EqdBaseException(qdStringView aMsg);
  EqdBaseException(qdStringView aMsg, TqdFormatArgs aArgs);
  // An operating-system error exception (see qdCreateOSError).
  explicit EqdBaseException(const TqdOSErrorInfo& aInfo);

  EqdBaseException(const EqdBaseException&) = default;
  EqdBaseException& operator=(const EqdBaseException&) = default;
  ~EqdBaseException() override = default;

  TqdResult ErrorCode() const override { return beErrorCode; }
  qdString ErrorString() const override { return beErrorString; }
  bool ExtendedMsg() const override { return beExtendedMsg; }
  uint32_t OSError() const override { return beOSError; }
  TqdCustomInfos& CustomInfos() override { return beCustomInfos; }
  const TqdCustomInfos& CustomInfos() const override { return beCustomInfos; }
  IqdExceptionDataContainer* GetExceptionData() override;
  // ErrorString with the original-message marker replaced by the code's
  // text, or the code's text when ErrorString is empty.
  qdString ProcessedErrorString() const override;

  // Where texts come from; the base answers qdGetErrorText. The message is
  // composed while the base is being built and always uses qdGetErrorText.
  virtual qdString GetErrorText(TqdResult aErrorCode) const;

  // Where a corruption error was raised (see qdRaiseCorrupt); nullptr and 0
  // for other exceptions. Kept out of Message(); what() adds it.
  const char* SourceFile() const { return beSourceFile; }
  int SourceLine() const { return beSourceLine; }
  void SetSourceLocation(const char* aFile, int aLine);
  const char* what() const noexcept override;

  // The calling thread's last converted exception.
  static void SetLastConvertedException(uint32_t aErrorCode, qdStringView aCustomMessage);
  static void GetLastConvertedException(uint32_t& aErrorCode, qdString& aCustomMessage);
  // Leaves the text for the next exception built from aErrorCode on this
  // thread and returns aErrorCode.
  [[nodiscard]] static uint32_t qdSetMessage(uint32_t aErrorCode, qdStringView aAltMsg);
  [[nodiscard]] static uint32_t qdSetMessage(uint32_t aErrorCode, qdStringView aAltMsg, TqdFormatArgs aArgs);

 protected:
  struct TqdUninitialized {};
  // Leaves code, text and message empty for a descendant that composes its
  // own message (and may keep the thread's pending message).
  explicit EqdBaseException(TqdUninitialized);

  // Removes both markup forms from aText into CustomInfos and returns what
  // is left; takes OSError and typed data out of the details.
  qdString ParseDetails(qdStringView aText);
  // Trimmed aText with the original-message marker replaced by the code's
  // text; the code's text for an empty aText.
  qdString ProcessErrorString(qdStringView aText) const;
  // The pending message when it was left for aErrorCode and is not empty.
  static bool TakePendingMessage(uint32_t aErrorCode, qdString& aMessage);
  static void ClearPendingMessage();
  // Code and caller text as every text constructor sets them.
  void InitWithText(uint32_t aErrorCode, qdStringView aText);
  void InitWithCode(uint32_t aErrorCode);

  uint32_t beErrorCode = 0;
  qdString beErrorString;
  bool beExtendedMsg = false;
  TqdCustomInfos beCustomInfos;
  uint32_t beOSError = 0;
  TqdExceptionDataRef beExceptionData;

 private:
  void ComposeCodeMessage();
  void ComposeNoCodeMessage();
  void InitOSError(const TqdOSErrorInfo& aInfo);

  const char* beSourceFile = nullptr;
  int beSourceLine = 0;
  std::string beWhat;
};

// Declares an exception class that descends from aParent with all of the
// parent's constructors.
#define QD_DECLARE_EXCEPTION_CLASS(aName, aParent) \
  class aName : public aParent {                   \
   public:                                         \
    using aParent::aParent;                        \
  }

// The parent of the exceptions raised inside the server and its storage
// layer (time-outs, cancels, storage failures): the contract boundary turns
// each into its code.
QD_DECLARE_EXCEPTION_CLASS(EqdServerException, EqdBaseException);

// --- Raising ---------------------------------------------------------------

// Raises EqdBaseException(aErrorCode) when aErrorCode is not 0.
void qdRaiseIfError(TqdResult aErrorCode);

// Raises a corruption error (E(aErrorCode), or E(aErrorCode, aWhat) with a
// text) that records the source position of the caller.
template <class E = EqdBaseException>
[[noreturn]] void qdRaiseCorrupt(TqdResult aErrorCode, qdStringView aWhat = {}, const char* aFile = __builtin_FILE(),
                                 int aLine = __builtin_LINE()) {
  E exception = aWhat.empty() ? E(aErrorCode) : E(aErrorCode, aWhat);
  exception.SetSourceLocation(aFile, aLine);
  throw exception;
}

// --- Operating-system errors -----------------------------------------------
//
// These read the thread's last OS error (errno) on entry. For an API that
// returns its error number instead, store it in errno first. aErrorCode 0
// means qdeOSError. With an OS error the text is "Operating system error in
// <action>: <system message> ($<hex>/<decimal>)", without one "A call to an
// OS function failed in <action>"; OSError, Action and Module go into
// CustomInfos.

template <class E = EqdBaseException>
E qdCreateOSError(TqdResult aErrorCode, qdStringView aModule, qdStringView aAction) {
  const int osError = errno;
  return E(TqdOSErrorInfo{aErrorCode, osError, qdString(aModule), qdString(aAction)});
}

// Action = Format(aActionFormat, aArgs); with no arguments the format text is
// the action unchanged.
template <class E = EqdBaseException>
E qdCreateOSErrorFmt(TqdResult aErrorCode, qdStringView aModule, qdStringView aActionFormat, TqdFormatArgs aArgs) {
  const int osError = errno;
  qdString action = aArgs.size() == 0 ? qdString(aActionFormat) : Format(aActionFormat, aArgs);
  return E(TqdOSErrorInfo{aErrorCode, osError, qdString(aModule), std::move(action)});
}

template <class E = EqdBaseException>
E qdCreateOSErrorResFmt(TqdResult aErrorCode, qdStringView aActionRes, TqdFormatArgs aArgs) {
  return qdCreateOSErrorFmt<E>(aErrorCode, qdStringView(), aActionRes, aArgs);
}

template <class E = EqdBaseException>
E qdCreateOSErrorRes(TqdResult aErrorCode, qdStringView aActionRes) {
  return qdCreateOSError<E>(aErrorCode, qdStringView(), aActionRes);
}

template <class E = EqdBaseException>
E qdCreateOSErrorText(TqdResult aErrorCode, qdStringView aAction) {
  return qdCreateOSError<E>(aErrorCode, qdStringView(), aAction);
}

// The engine's usual reaction to a failed system call.
[[noreturn]] void qdRaiseLastOSError(qdStringView aAction, TqdResult aErrorCode = 0);
[[noreturn]] void qdRaiseLastOSErrorRes(qdStringView aActionRes, TqdResult aErrorCode = 0);
// Action "[unknown]", code qdeOSError.
[[noreturn]] void qdRaiseLastOSErrorUnknown();
// Raise through qdRaiseLastOSError when aSuccess is false; return aSuccess.
bool qdCheckOSCallText(bool aSuccess, qdStringView aAction);
bool qdCheckOSCallRes(bool aSuccess, qdStringView aActionRes);

// --- Conversion ------------------------------------------------------------

// Turns any exception into a code, leaves code and message as the thread's
// last converted exception (so that EqdBaseException(code) raised later on
// this thread carries the details) and writes it to aLog when given:
//   engine exceptions       their code (15520 for code 0) and text with
//                           details
//   EOSError                11047 with OSError, Exception.Class and
//                           Exception.Message details
//   std::bad_alloc          9473
//   anything else           15521 "Unexpected exception object raised:
//                           [<class>] <message>" with the class details
// aDataSource, when given, describes itself into the typed exception data.
// aClientVersion 0 means the thread's client version.
[[nodiscard]] TqdResult qdConvertException(const std::exception& aException, TqdBaseLog* aLog = nullptr,
                                           IqdExceptionData* aDataSource = nullptr, int32_t aClientVersion = 0);
// The same for any exception object, also one not derived from
// std::exception; call it with std::current_exception() in a catch (...).
[[nodiscard]] TqdResult qdConvertException(const std::exception_ptr& aException, TqdBaseLog* aLog = nullptr,
                                           IqdExceptionData* aDataSource = nullptr, int32_t aClientVersion = 0);

// The log priority of a converted code, by its category.
TqdLogPriority qdConvertedExceptionLogPriority(TqdResult aErrorCode);

// --- Per-thread state ------------------------------------------------------

// The error context is stored only while the process-wide switch is on
// (it starts off); otherwise nil is stored.
void qdSetThreadErrorContext(TqdExceptionHookInfo* aContext);
TqdExceptionHookInfo* qdGetThreadErrorContext();
void qdSetThreadErrorContextSwitch(bool aOn);

// True in the thread that started the engine when it is the process's main
// thread; false in every other thread.
bool qdIsMainThread();

void qdllExceptionInitialize();
void qdllExceptionFinalize();

}  // namespace qd
