// The engine contract: the abstract object model through which every client
// (the client datasets, the SQL engine) reaches the engine. The in-process
// server engine derives its classes from these and implements their
// abstract operations; tests use a small in-memory fake.
//
// Classes:
//   TqdAbstractServerObject        identity (a handle, never an address),
//                                  session link, Close, LookupByID
//   TqdExtendableServerObject      named options with inheritance, extenders
//   TqdLockedOptionsExtendableServerObject   options behind their own padlock
//   TqdAbstractTaskInfo, TqdSqlAbstractTaskInfo   long-running operations
//   TqdAbstractTimeoutObject       timeout and the shared session lock
//   TqdBaseEngineExtender          plug-in attached to one extendable object
//   TqdBaseEngineMonitor           component told of objects made and freed
//   TqdSimpleLock (IqdSimpleLock)  the session lock: one owning thread,
//                                  cancel and permanent-failure state
//   TqdSessionStats                per-session counters of calls, time, CPU
//   TqdBaseServerEngine            opens sessions, counts objects, converts
//                                  exceptions of server objects to codes
//   TqdAbstractSession, TqdBaseTransContext, TqdAbstractTransContext,
//   TqdAbstractDatabase, TqdSqlAbstractDatabase, TqdAbstractStatement
//   TqdAbstractCursor (IqdFieldsSource, IqdFieldsAccess),
//   TqdAbstractRemoteCursor, TqdAbstractServerCursor, TqdSqlAbstractCursor
//                                  open tables and result sets
//   TqdRequestCloseHandlerEvent (IqdRequestCloseHandler)   asks a cursor's
//                                  holder to close it
//   TqdOperationBracket            the boundary of every contract operation
//
// Identity. Every server object registers in a process-wide handle table
// when constructed and leaves it when destroyed; its TqdBaseID is a 64-bit
// handle (slot index + generation). A freed slot gets a new generation, so
// an id of a freed object never finds its successor. LookupByID answers
// 9990 for a freed, foreign-session or wrong-class id without touching the
// memory the id once named.
//
// Ownership: engine -> sessions -> (databases, transaction contexts, task
// infos); database -> (cursors, statements); a database opened for one
// cursor (CursorAutoFree) is freed by its last cursor. A database also hangs in the
// list of the context it uses. Each list is doubly linked, guarded by the
// owner's padlock for that list. The session lock is reference counted: the
// session and every child hold it, and every operation that takes it holds a
// reference of its own, so a session freed on another thread never frees the
// lock under a thread that is still leaving it.
//
// Locks, in order: session lock -> an object's extenders padlock; list
// padlocks are taken alone (or a child's while its owner's is held during
// cleanup walks). Options of timeout objects are guarded by the session lock,
// those of the locked-options class by loesoOptionsLock. Describing with
// children holds each list's padlock while its members describe themselves,
// so it nests downwards only: engine sessions -> a session's lists -> a
// context's databases -> a database's cursors and statements.
//
// Every contract operation returns a TqdResult and lets no exception escape:
// TqdOperationBracket / qdContractCall convert EqdBaseException to its code,
// std::bad_alloc to 9473 and anything else to 15521 naming the type. Only
// constructors, AfterConstruction and the lock operations raise.
#pragma once

#include <pthread.h>
#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdFilterEngineCallback.h"
#include "dictionary/qdsdTypes.h"
#include "foundation/qdllComponent.h"
#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllThreadAnnotations.h"
#include "foundation/qdllTypes.h"
#include "platform/qdDateTime.h"
#include "platform/qdFormat.h"
#include "platform/qdGuid.h"
#include "platform/qdStream.h"
#include "platform/qdStringList.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdAbstractSession;
class TqdAbstractDatabase;
class TqdAbstractTransContext;
class TqdAbstractStatement;
class TqdAbstractTaskInfo;
class TqdAbstractCursor;
class TqdBaseServerEngine;
class TqdBaseEngineExtender;
class TqdBaseEngineMonitor;
class TqdSessionStats;
class TqdExtendableServerObject;
class TqdSqlAbstractCursor;
class TqdBaseTableMapperDescriptor;
class TqdBatchStreamAccess;

// --- Ids -----------------------------------------------------------------------

// A handle from the server-object table: low 32 bits slot + 1, high 32 bits
// the slot's generation. 0 is nil.
using TqdBaseID = uint64_t;
using TqdSessionID = uint64_t;

using HRESULT = int32_t;

// --- Operation hooks -----------------------------------------------------------

// Filled by the server engine at its start and restored at its end; until
// then operations run without deadlines or cancel flags.
using TqdSetThreadTimeoutProc = void (*)(uint32_t aTimeout, bool aForce);
using TqdTimeoutNestingProc = void (*)();
// The calling thread's cancel flag, polled by long-running work; written by
// other threads (a cancel), hence atomic.
using TqdThreadCancelFlagFunc = std::atomic<bool>* (*)();

extern TqdSetThreadTimeoutProc qdSetThreadTimeoutHook;
extern TqdTimeoutNestingProc qdEnterTimeoutNestingHook;
extern TqdTimeoutNestingProc qdLeaveTimeoutNestingHook;
extern TqdThreadCancelFlagFunc qdThreadCancelFlagHook;
// The thread's deadline as a steady-clock tick in ms, 0 for none. The
// default answers the deadline the operation bracket armed; the server's
// per-thread deadline replaces it, so that a thread has one deadline.
using TqdThreadDeadlineFunc = uint64_t (*)();
extern TqdThreadDeadlineFunc qdThreadDeadlineHook;
// Restores the empty defaults.
void qdResetOperationHooks();

// Client optimisation switches, read by the client datasets only: bits 0 to
// 4 set, never changed.
inline constexpr uint8_t qdClientOptimizations = 0x1F;

// The storage layer's process-wide fatal-error flag: set when flushing
// changed blocks failed, never cleared. While set, the session lock refuses
// with 15443. It lives here because the contract is below storage.
extern std::atomic<bool> qdFatalErrorFlag;

// The thread's operation deadline (steady ms, 0 = none), through
// qdThreadDeadlineHook: by default the one the outermost operation bracket
// armed from the object's timeout; it bounds the waits of the session lock
// (15461).
uint64_t qdThreadOperationDeadline();

// --- Engine actions ------------------------------------------------------------

enum TqdEngineAction : uint8_t {
  eaCreate,
  eaDestroy,
  eaChildCreate,
  eaChildDestroy,
  eaAliasAdd,
  eaAliasDelete,
  eaAliasModify,
  eaAliasGetList,
  eaAliasGetPath,
  eaCloseInactiveFolders,
  eaCloseInactiveTables,
  eaBuildPasswords,
  eaGetRegisteredClassList,
  eaTransactionStart,
  eaTransactionCommit,
  eaTransactionRollback,
  eaTableBuild,
  eaTablePack,
  eaTableBackup,
  eaTableRebuildIndex,
  eaTableRestructure,
  eaTableAddField,
  eaTableAddIndex,
  eaTableDropIndex,
  eaTableRename,
  eaTableRecover,
  eaTableVerifyChecksum,
  eaTableDelete,
  eaTableEmpty,
  eaTableExists,
  eaTableGetDictionary,
  eaTableGetList,
  eaGetChangedTables,
  eaOpenFile,
  eaOpenFiles,
  eaRecordGet,
  eaRecordInsert,
  eaRecordModify,
  eaRecordDelete,
  eaRecordFulltextUpdate,
  eaStatementPrepare,
  eaStatementExec,
  eaStatementSetParams,
  eaStatementGetParams,
};
inline constexpr int kEngineActionCount = 44;

// A 48-bit set (6 stored bytes), bit n = action n.
class TqdEngineActions {
 public:
  constexpr TqdEngineActions() = default;
  constexpr explicit TqdEngineActions(uint64_t aBits) : fBits(aBits & kMask) {}
  constexpr TqdEngineActions(std::initializer_list<TqdEngineAction> aActions) {
    for (TqdEngineAction action : aActions) Include(action);
  }
  // A value above 47 is never a member.
  constexpr bool Contains(unsigned aAction) const { return aAction < 48 && ((fBits >> aAction) & 1u) != 0; }
  constexpr void Include(unsigned aAction) {
    if (aAction < 48) fBits |= uint64_t{1} << aAction;
  }
  constexpr void Exclude(unsigned aAction) {
    if (aAction < 48) fBits &= ~(uint64_t{1} << aAction);
  }
  constexpr bool Empty() const { return fBits == 0; }
  constexpr uint64_t Bits() const { return fBits; }
  constexpr TqdEngineActions& operator|=(TqdEngineActions aOther) {
    fBits |= aOther.fBits;
    return *this;
  }
  constexpr bool operator==(const TqdEngineActions&) const = default;
  // Every action but eaRecordFulltextUpdate: bytes FF FF FF FF 7F 0F.
  static constexpr TqdEngineActions AllButFulltext() { return TqdEngineActions(0x0F7FFFFFFFFFull); }

 private:
  static constexpr uint64_t kMask = 0xFFFFFFFFFFFFull;
  uint64_t fBits = 0;
};

using TqdEngineArgs = TqdFormatArgs;
using TqdEngineNotify = std::function<TqdResult(TqdEngineAction aAction, bool aBefore, TqdEngineArgs aArgs)>;

enum TqdTableScope : uint8_t { tsPersistent, tsTempGlobal, tsTempDatabase, tsTempUnnamed };

// The record the session lock hands to the thread's error context while the
// thread holds the lock.
struct TqdExceptionHookInfo {
  qdString ehiUserName;
  qdString ehiConnectedFrom;
  qdString ehiQuery;
  int64_t ehiSessionID = 0;
  qdString ehiClient;
};

// Context-path class identifier of the self context.
inline constexpr TGUID qdSelfInstanceClassID{
    0x762A2DA1, 0x44B8, 0x447A, {0x8C, 0xCA, 0x74, 0xEB, 0xEA, 0xA4, 0xE9, 0xF1}};

// The AddObject flag by which an owner's list members are described with
// their own children; plain references are added with 0.
inline constexpr int32_t qdDescribeWithChildren = 1;

// --- Server objects ------------------------------------------------------------

class TqdAbstractServerObject : public TqdLifetimeTrackedPersistent {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdAbstractServerObject(TqdAbstractSession* aSession);
  ~TqdAbstractServerObject() override;

  // Marks the object whole: it joins its owner's list in its base
  // constructor, but a description walking that list may call into it only
  // once every constructor has run.
  void AfterConstruction() override;

  bool Constructed() const { return asoConstructed.load(std::memory_order_acquire); }
  bool Destroying() const { return asoDestroying.load(std::memory_order_acquire); }
  TqdAbstractSession* Session() const { return asoSession; }
  // A caller that must learn whether the object vanished during a call
  // points this at a flag of its own for the duration of the call.
  void SetDestroyFlag(std::atomic<bool>* aFlag) { asoDestroyFlag = aFlag; }

  virtual TqdBaseID GetRemoteID() const { return asoID; }
  TqdBaseID RemoteID() const { return GetRemoteID(); }
  virtual bool GetIsRemote() const { return false; }
  virtual int32_t GetRemoteThreadPriority() const { return 0; }
  virtual void SetRemoteThreadPriority(int32_t /*aValue*/) {}
  // The session's; without a session the thread's client version.
  virtual int32_t GetMinVersion() const;
  int32_t MinVersion() const { return GetMinVersion(); }

  virtual HRESULT asoCreateSelfInstance(const TGUID& aClassID, const TGUID& aInterfaceID,
                                        TqdRef<IqdInterface>& aInterface);
  virtual TqdBaseServerEngine* asoGetServerEngine() const { return nullptr; }
  // The engine's conversion; without an engine the plain converter.
  [[nodiscard]] virtual TqdResult asoConvertException(const std::exception_ptr& aException);
  virtual void PrepareDestroy() {}

  // Looks aBaseID up as a T of session aSessionID: 9990 and nil for an
  // unknown or freed id, an object being destroyed, an object of another
  // class or of another session.
  template <class T>
  [[nodiscard]] static TqdResult LookupByID(TqdSessionID aSessionID, TqdBaseID aBaseID, T*& aBase) {
    aBase = nullptr;
    TqdAbstractServerObject* object = nullptr;
    const TqdResult result = LookupObject(aSessionID, aBaseID, object);
    if (result != 0) return result;
    T* typed = dynamic_cast<T*>(object);
    if (typed == nullptr) return qdeInvalidHandle;
    aBase = typed;
    return 0;
  }

  // nil gives 0; an object being destroyed 8455; else frees the object and
  // converts an exception of its destructor.
  [[nodiscard]] static TqdResult Close(TqdAbstractServerObject* aObject);
  [[nodiscard]] virtual TqdResult DoClose();

  // Resolves a path of context names separated by ".".
  virtual HRESULT CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                                    TqdRef<IqdInterface>& aInterface);

  // Frees the object unless it is nil or already being destroyed.
  static void Free(TqdAbstractServerObject* aObject);

  void BeforeDestruction() override;
  // Without children: the object's own entries and plain references only.
  void DescribeTo(IqdExceptionDataContainer* aContainer) final { DescribeTo(aContainer, false); }
  // Each level adds its entries after its parent's; aIncludeChildren adds
  // the owned lists too, every member described with its own children.
  virtual void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren);
  // A non-zero flag (qdDescribeWithChildren from AddObject) means with
  // children.
  void GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) override;
  // The object's description in a container "ExceptionData" (the owning
  // engine excluded), encoded for the thread's clamped client version.
  qdString GetEncodedExceptionData(bool aIncludeChildren);

 protected:
  // Sets the destroying flags (and the caller's flag).
  void MarkDestroying();

  TqdAbstractSession* asoSession;

 private:
  static TqdResult LookupObject(TqdSessionID aSessionID, TqdBaseID aBaseID, TqdAbstractServerObject*& aObject);

  std::atomic<bool> asoConstructed{false};
  std::atomic<bool> asoDestroying{false};
  std::atomic<bool>* asoDestroyFlag = nullptr;
  TqdBaseID asoID = 0;
  bool asoBeforeDestructionDone = false;
};

class TqdExtendableServerObject : public TqdAbstractServerObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdExtendableServerObject(TqdExtendableServerObject* aParent);
  ~TqdExtendableServerObject() override;

  void AfterConstruction() override;
  void BeforeDestruction() override;
  void PrepareDestroy() override;
  using TqdAbstractServerObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  TqdBaseServerEngine* asoGetServerEngine() const override;
  HRESULT CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                            TqdRef<IqdInterface>& aInterface) override;

  TqdExtendableServerObject* Parent() const { return esoParent; }

  virtual bool esoIsMonitored() { return true; }
  virtual TqdExtendableServerObject* esoGetOptionsParent() { return esoParent; }
  [[nodiscard]] virtual TqdResult esoOptionClear(const qdString& aName);
  [[nodiscard]] virtual TqdResult esoOptionSet(const qdString& aName, const qdString& aValue);
  virtual void esoOptionChanged(const qdString& /*aName*/, const qdString& /*aValue*/) {}
  [[nodiscard]] virtual TqdResult esoOptionGet(const qdString& aName, qdString& aValue);
  [[nodiscard]] virtual TqdResult esoOptionGetParent(const qdString& aName, qdString& aValue);
  [[nodiscard]] virtual TqdResult esoOptionGetEffective(const qdString& aName, qdString& aValue);
  [[nodiscard]] virtual TqdResult esoOptionList(TqdStringList& aList);
  [[nodiscard]] virtual TqdResult esoOptionListParent(TqdStringList& aList);
  [[nodiscard]] virtual TqdResult esoOptionListEffective(TqdStringList& aList);
  [[nodiscard]] virtual TqdResult esoOptionListMerge(TqdStringList& aList, const TqdStringList& aParentList);
  virtual HRESULT esoCreateExtenderInstance(const TGUID& aClassID, const TGUID& aInterfaceID,
                                            TqdRef<IqdInterface>& aInterface);

  [[nodiscard]] virtual TqdResult OptionClear(const qdString& aName);
  [[nodiscard]] virtual TqdResult OptionSet(const qdString& aName, const qdString& aValue);
  [[nodiscard]] virtual TqdResult OptionGet(const qdString& aName, qdString& aValue);
  [[nodiscard]] virtual TqdResult OptionGetEffective(const qdString& aName, qdString& aValue);
  [[nodiscard]] virtual TqdResult OptionList(TqdStringList& aList);
  [[nodiscard]] virtual TqdResult OptionListEffective(TqdStringList& aList);

  // 0 at once when no extender wants the action; else the first non-zero
  // answer of an interested extender (an exception counts as its code).
  [[nodiscard]] virtual TqdResult NotifyExtenders(TqdEngineAction aAction, bool aBefore, TqdEngineArgs aArgs);
  // Empty when nobody listens; the single interested extender's Notify, or
  // this object's NotifyExtenders when several are interested.
  TqdEngineNotify GetNotifyFor(TqdEngineAction aAction);
  // The first attached extender that is a T.
  template <class T>
  T* GetExtenderOfType() {
    T* found = nullptr;
    ForEachExtender([&](TqdBaseEngineExtender* aExtender) {
      found = dynamic_cast<T*>(aExtender);
      return found == nullptr;
    });
    return found;
  }

  void BeginIgnoreSecurity() { esoIgnoreSecurity.fetch_add(1); }
  void EndIgnoreSecurity() { esoIgnoreSecurity.fetch_sub(1); }
  // True when this object's or any parent's counter is at least 1.
  bool IgnoreSecurity() const;

  // Whether the object has an option list of its own (diagnostics, tests).
  bool HasOptions() const { return esoOptions != nullptr; }
  TqdEngineActions ExtendersActions() const { return TqdEngineActions(esoExtendersActions.load()); }

 protected:
  // Runs aVisit on each extender in attachment order under the extenders
  // padlock until it returns false.
  template <class F>
  void ForEachExtender(F aVisit);

  TqdExtendableServerObject* esoParent;
  std::unique_ptr<TqdStringList> esoOptions;

 private:
  friend class TqdBaseEngineExtender;

  std::atomic<TqdPadlock*> esoExtendersLock{nullptr};
  TqdBaseEngineExtender* esoExtendersHead = nullptr;
  TqdBaseEngineExtender* esoExtendersTail = nullptr;
  std::atomic<uint64_t> esoExtendersActions{0};
  std::atomic<int32_t> esoIgnoreSecurity{0};
  // The engine as seen when destruction started (told of the destruction).
  TqdBaseServerEngine* esoServerEngine = nullptr;

  TqdPadlock* LockExtenders();
};

class TqdLockedOptionsExtendableServerObject : public TqdExtendableServerObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdExtendableServerObject::TqdExtendableServerObject;
  ~TqdLockedOptionsExtendableServerObject() override;

  [[nodiscard]] TqdResult esoOptionClear(const qdString& aName) override;
  [[nodiscard]] TqdResult esoOptionSet(const qdString& aName, const qdString& aValue) override;
  [[nodiscard]] TqdResult esoOptionGet(const qdString& aName, qdString& aValue) override;
  [[nodiscard]] TqdResult esoOptionList(TqdStringList& aList) override;
  using TqdExtendableServerObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;

 private:
  TqdPadlock* OptionsLock();
  std::atomic<TqdPadlock*> loesoOptionsLock{nullptr};
};

class TqdAbstractTaskInfo : public TqdExtendableServerObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdAbstractTaskInfo(TqdAbstractSession* aSession);
  ~TqdAbstractTaskInfo() override;

  [[nodiscard]] virtual TqdResult GetStatus(bool& aCompleted, TqdTaskStatus& aStatus) = 0;
  [[nodiscard]] virtual TqdResult Cancel() = 0;
  // Cancels first.
  void PrepareDestroy() override;
  using TqdExtendableServerObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  HRESULT CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                            TqdRef<IqdInterface>& aInterface) override;

 private:
  friend class TqdAbstractSession;
  TqdAbstractTaskInfo* atiSessionPrev = nullptr;
  TqdAbstractTaskInfo* atiSessionNext = nullptr;
};

class TqdSqlAbstractTaskInfo : public TqdAbstractTaskInfo {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractTaskInfo::TqdAbstractTaskInfo;
  virtual void Execute() = 0;
};

// --- Session lock --------------------------------------------------------------

class IqdSimpleLock : public virtual IqdInterface {
 public:
  // Raises 15443 (fatal flag), 9990 (permanently failed), 15461 (a cancel
  // not yet reported) or 8455 (another thread inside).
  virtual void Lock() = 0;
  // Raises 8455 only (not the owner, spin flag in a wrong state). The
  // outermost unlock of a cancelled operation turns a 0 result into 15461.
  virtual void Unlock(TqdResult& aResult) = 0;
  virtual void Failed(bool aPermanent, bool aWait) = 0;
  virtual void SetFailedCleanupDone() = 0;
  virtual bool IsFailedPermanent() = 0;
  virtual uint64_t LastLocked() = 0;

 protected:
  ~IqdSimpleLock() = default;
};

using TqdFailedCleanup = std::function<void()>;

class TqdSimpleLock final : public TqdInterfacedObject, public IqdSimpleLock {
 public:
  // Takes ownership of aStats' session link (closes it when destroyed).
  TqdSimpleLock(TqdFailedCleanup aFailedCleanup, TqdSessionStats* aStats);
  ~TqdSimpleLock() override;

  int32_t AddRef() override { return TqdInterfacedObject::AddRef(); }
  int32_t Release() override { return TqdInterfacedObject::Release(); }

  void Lock() override;
  void Unlock(TqdResult& aResult) override;
  void Failed(bool aPermanent, bool aWait) override;
  void SetFailedCleanupDone() override;
  bool IsFailedPermanent() override { return slFailedPermanent.load(std::memory_order_acquire); }
  uint64_t LastLocked() override;

  // Waits until the failure cleanup has run; aTimeout in ms, kInfinite for
  // no limit. True when it ran.
  bool WaitFailedCleanupDone(uint32_t aTimeout);
  bool FailedCleanupStarted() const { return slFailedCleanedup.load(std::memory_order_acquire); }
  // Forget the cleanup (the session is going and the cleanup has run).
  void ClearFailedCleanup();

  TqdSessionStats* Stats() const { return slStats; }
  TqdExceptionHookInfo& ExceptionHookInfo() { return slExceptionHookInfo; }
  // The owning thread's id, 0 when free; the recursion depth.
  uint32_t LockingThread() const { return slLockingThread.load(std::memory_order_acquire); }
  int32_t LockCount() const { return slLockCount.load(std::memory_order_acquire); }

 private:
  void TakeSpin(bool aBounded);
  void ReleaseSpin();
  // Gives the lock back after a failed outermost Lock.
  void GiveBack();
  void RunCleanup();
  [[noreturn]] void RaiseReentered();

  TqdSessionStats* slStats;
  std::atomic<uint32_t> slLockingThread{0};
  std::atomic<int32_t> slLockCount{0};
  std::atomic<int32_t> slFailedSpinlock{0};
  // The fields below change only while the spin flag is held.
  std::atomic<bool>* slFailedFlag = nullptr;
  bool slFailedOrg = false;
  std::atomic<bool> slFailed{false};
  std::atomic<bool> slFailedPermanent{false};
  TqdFailedCleanup slFailedCleanup;
  std::atomic<bool> slFailedCleanedup{false};
  TqdOSEvent slFailedCleanupDone{true, false};
  std::atomic<uint64_t> slLastLocked{0};
  TqdExceptionHookInfo slExceptionHookInfo;
};

// --- Session statistics --------------------------------------------------------

enum TqdSessionStatsCounter : uint8_t {
  sscCalls,
  sscStatements,
  sscTime,
  sscCycles,
  sscBlocksRead,
  sscBlocksWritten,
  sscTransCommit,
  sscTransRollback,
  sscTransNestedCommit,
  sscTransNestedRollback,
  sscTransDeadlock,
  sscTransCorrupted,
};
using TqdSessionStatsCounters = std::array<int64_t, 12>;

// Statistics objects are never freed while the process runs: they stay in
// the global list after their session ended, as its history. Time counts
// steady-clock nanoseconds internally (Update returns ms); "cycles" are the
// thread's CPU time in 100 ns units.
class TqdSessionStats : public TqdObject {
 public:
  TqdSessionStats(const qdString& aUserName, const qdString& aConnectedFrom);

  virtual void assEnter();
  virtual void assLeave();
  virtual void assClose();

  // Adds aCount to the calling thread's current statistics, if any.
  static void Count(TqdSessionStatsCounter aCounter, int64_t aCount);
  static TqdSessionStats* Current();
  static TqdSessionStats* Head();
  // A copy of the counters with the time in whole ms, including the time of
  // an operation still running.
  TqdSessionStatsCounters Update();

  TqdSessionStats* Next() const { return assNext; }
  int32_t SessionNumber() const { return assSessionNumber; }
  TDateTime Started() const { return assStarted; }
  TDateTime Closed();
  const qdString& UserName() const { return assUserName; }
  const qdString& ConnectedFrom() const { return assConnectedFrom; }

 private:
  void LeaveLocked() QD_REQUIRES(assLock);

  TqdPadlock assLock;
  TqdSessionStats* assNext = nullptr;
  int32_t assSessionNumber = 0;
  TDateTime assStarted = 0;
  TDateTime assClosed QD_GUARDED_BY(assLock) = 0;
  qdString assUserName;
  qdString assConnectedFrom;
  bool assInside QD_GUARDED_BY(assLock) = false;
  pthread_t assCurrentThread QD_GUARDED_BY(assLock){};
  int64_t assEnterTime QD_GUARDED_BY(assLock) = 0;
  uint64_t assEnterThreadCycle QD_GUARDED_BY(assLock) = 0;
  TqdSessionStatsCounters assCounters QD_GUARDED_BY(assLock){};
  TDateTime assExtClosed = 0;
  TqdSessionStatsCounters assExtCounters{};
};

// The CPU time of a thread in 100 ns units; false when it cannot be read.
bool qdQueryThreadCycleTime(pthread_t aThread, uint64_t& aCycles);

// --- Timeout objects -----------------------------------------------------------

class TqdAbstractTimeoutObject : public TqdExtendableServerObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdAbstractTimeoutObject(TqdExtendableServerObject* aParent, uint32_t aTimeout);
  ~TqdAbstractTimeoutObject() override;

  uint32_t Timeout() const { return atoTimeout.load(std::memory_order_relaxed); }
  virtual void SetTimeout(uint32_t aValue) { atoTimeout.store(aValue, std::memory_order_relaxed); }
  virtual int32_t atoSessionHook(int32_t aValue);
  virtual int32_t BeginTimeoutBatch();
  virtual int32_t EndTimeoutBatch();
  uint64_t LastLocked();
  // The shared session lock (nil before the owner set it).
  const TqdRef<TqdSimpleLock>& SessionLock() const { return atoLock; }

  [[nodiscard]] TqdResult DoClose() override;
  [[nodiscard]] TqdResult OptionClear(const qdString& aName) override;
  [[nodiscard]] TqdResult OptionSet(const qdString& aName, const qdString& aValue) override;
  [[nodiscard]] TqdResult OptionGet(const qdString& aName, qdString& aValue) override;
  [[nodiscard]] TqdResult OptionGetEffective(const qdString& aName, qdString& aValue) override;
  [[nodiscard]] TqdResult OptionList(TqdStringList& aList) override;
  [[nodiscard]] TqdResult OptionListEffective(TqdStringList& aList) override;
  using TqdExtendableServerObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;

 protected:
  // Runs aWork between Lock and Unlock of the session lock (no deadline, no
  // conversion): the lock errors raise, the work's exception goes on after
  // the lock was released.
  template <class F>
  TqdResult UnderLock(F aWork);

  TqdRef<TqdSimpleLock> atoLock;

 private:
  friend class TqdAbstractSession;
  // Unlinks the object from aSession's timeout-batch list when it is in it.
  void LeaveTimeoutBatch(TqdAbstractSession* aSession);
  TqdAbstractTimeoutObject* atoTimeoutBatchPrev = nullptr;
  TqdAbstractTimeoutObject* atoTimeoutBatchNext = nullptr;
  std::atomic<uint32_t> atoTimeout;
};

// --- The operation bracket -----------------------------------------------------

// Runs aWork so that no exception escapes: EqdBaseException becomes its
// code, std::bad_alloc 9473, anything else 15521 with the type's name, each
// through the object's engine converter (nil object: the plain converter).
template <class F>
[[nodiscard]] TqdResult qdContractCall(TqdAbstractServerObject* aObject, F&& aWork) noexcept {
  try {
    return aWork();
  } catch (...) {
    try {
      if (aObject != nullptr) return aObject->asoConvertException(std::current_exception());
      return qdConvertException(std::current_exception());
    } catch (...) {
      return qdeUnexpectedException;
    }
  }
}

// The boundary of an operation under the session lock: arm the deadline
// from the object's timeout (unless an outer operation did), take the lock,
// enter the timeout nesting, run, convert, leave, unlock. The lock is held
// through a reference of the bracket's own, and nothing of the object is
// touched after the unlock, so the work may end in the session's cleanup.
template <class F>
[[nodiscard]] TqdResult qdOperationBracket(TqdAbstractTimeoutObject* aObject, F&& aWork) noexcept;

// --- Extenders and monitors ----------------------------------------------------

class TqdBaseEngineExtender : public TqdLifetimeTrackedPersistent {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // A subclass may preset beeActions in its own constructor via the
  // aActions argument; empty means every action but eaRecordFulltextUpdate.
  TqdBaseEngineExtender(TqdBaseEngineMonitor* aMonitor, TqdExtendableServerObject* aExtendableObject,
                        TqdEngineActions aActions = {});
  ~TqdBaseEngineExtender() override;

  virtual HRESULT beeCreateInstance(const TGUID& aClassID, const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface);
  [[nodiscard]] virtual TqdResult Notify(TqdEngineAction aAction, bool aBefore, TqdEngineArgs aArgs) = 0;
  virtual void PrepareDestroy() {}
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

  TqdBaseEngineMonitor* Monitor() const { return beeMonitor; }
  TqdExtendableServerObject* ExtendableObject() const { return beeExtendableObject; }
  TqdEngineActions Actions() const { return beeActions; }

 private:
  friend class TqdExtendableServerObject;
  friend class TqdBaseEngineMonitor;
  void UnlinkFromObject();
  void UnlinkFromMonitor();

  TqdBaseEngineMonitor* beeMonitor;
  TqdBaseEngineExtender* beeMonitorNext = nullptr;
  TqdBaseEngineExtender* beeMonitorPrev = nullptr;
  TqdExtendableServerObject* beeExtendableObject;
  TqdBaseEngineExtender* beeExtendableObjectNext = nullptr;
  TqdBaseEngineExtender* beeExtendableObjectPrev = nullptr;
  TqdEngineActions beeActions;
};

class TqdBaseEngineMonitor : public TqdStateComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdBaseEngineMonitor(TqdComponent* aOwner);
  ~TqdBaseEngineMonitor() override;

  TqdBaseServerEngine* ServerEngine() const { return bemServerEngine; }
  virtual void SetServerEngine(TqdBaseServerEngine* aValue);
  virtual void bemServerEngineStarted() {}
  virtual void bemServerEngineStopping() {}
  virtual void ExtendableObjectCreated(TqdExtendableServerObject* /*aExtendableObject*/) {}
  virtual void ExtendableObjectDestroyed(TqdExtendableServerObject* /*aExtendableObject*/) {}

  bool DependsOn(TqdComponent* aComponent) override;
  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override;
  int32_t ExtenderCount();

 protected:
  void DoStop() override;
  void FollowStateChange(TqdStateComponent* aSender, bool aChanging, TqdState aNew, TqdState aOld) override;

 private:
  friend class TqdBaseEngineExtender;
  TqdBaseServerEngine* bemServerEngine = nullptr;
  TqdPadlock bemExtendersLock;
  TqdBaseEngineExtender* bemExtendersHead QD_GUARDED_BY(bemExtendersLock) = nullptr;
  TqdBaseEngineExtender* bemExtendersTail QD_GUARDED_BY(bemExtendersLock) = nullptr;
};

// --- Server engine -------------------------------------------------------------

QD_DECLARE_EXCEPTION_CLASS(EqdBaseServerEngineException, EqdStateComponentException);

class TqdBaseServerEngine : public TqdStateComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdBaseServerEngine(TqdComponent* aOwner);
  ~TqdBaseServerEngine() override;

  // qdConvertException with the engine's log, the object and its client
  // version (47501 without an object).
  [[nodiscard]] virtual TqdResult bseConvertException(const std::exception_ptr& aException,
                                                      TqdAbstractServerObject* aServerObject);
  // Raises the engine's exception class with aErrorCode.
  [[noreturn]] virtual void bseRaise(TqdResult aErrorCode) = 0;
  virtual void bseObjectCreated(TqdExtendableServerObject* aExtendableObject);
  virtual void bseObjectDestroyed(TqdExtendableServerObject* aExtendableObject);
  virtual TGUID GetServerGuid() = 0;
  virtual qdString GetServerName() = 0;
  virtual HRESULT bseCreateInstanceFor(TqdAbstractSession* aSession, const qdString& aName, const TGUID& aClassID,
                                       const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface);
  virtual void bseLastSessionClosed() {}
  virtual bool bseSessionStatsEnabled() { return false; }
  virtual bool IsSecureServer() { return false; }
  [[nodiscard]] TqdResult SessionOpen(TqdAbstractSession*& aSession, const qdString& aUserName,
                                      const qdString& aPassword, const qdString& aConnectedFrom, uint32_t aTimeout);
  [[nodiscard]] virtual TqdResult SessionOpenEx(TqdAbstractSession*& aSession, const qdString& aUserName,
                                                const qdString& aPassword, const qdString& aConnectedFrom,
                                                uint32_t aTimeout, int32_t aClientVersion) = 0;

  int32_t SessionCount() const { return bseSessionCount.load(); }
  int32_t DatabaseCount() const { return bseDatabaseCount.load(); }
  int32_t TransContextCount() const { return bseTransContextCount.load(); }
  int32_t CursorCount() const { return bseCursorCount.load(); }
  int32_t StatementCount() const { return bseStatementCount.load(); }
  // Locked counter changes, used by the contract's classes.
  std::atomic<int32_t>& SessionCounter() { return bseSessionCount; }
  std::atomic<int32_t>& DatabaseCounter() { return bseDatabaseCount; }
  std::atomic<int32_t>& TransContextCounter() { return bseTransContextCount; }
  std::atomic<int32_t>& CursorCounter() { return bseCursorCount; }
  std::atomic<int32_t>& StatementCounter() { return bseStatementCount; }
  // Sessions in list order (diagnostics, tests).
  std::vector<TqdAbstractSession*> Sessions();

  void AddDependent(TqdComponent* aComponent) override;
  void RemoveDependent(TqdComponent* aComponent) override;
  void GetStatsCaptions(std::vector<qdString>& aList) const override;
  void GetStatsValues(std::vector<qdString>& aList) const override;
  bool ShowUptime() const override { return true; }
  // Without children, as every component describes itself.
  void DescribeTo(IqdExceptionDataContainer* aContainer) final { DescribeTo(aContainer, false); }
  // With children: the sessions as "Sessions", each with its own children.
  virtual void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren);
  void GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) override;

 protected:
  // Frees every session, from the tail.
  void DoStop() override;

 private:
  friend class TqdAbstractSession;
  TqdPadlock bseSessionsPadlock;
  TqdAbstractSession* bseSessionsHead QD_GUARDED_BY(bseSessionsPadlock) = nullptr;
  TqdAbstractSession* bseSessionsTail QD_GUARDED_BY(bseSessionsPadlock) = nullptr;
  TqdPadlock bseMonitorsLock;
  std::vector<TqdBaseEngineMonitor*> bseMonitors QD_GUARDED_BY(bseMonitorsLock);
  std::atomic<int32_t> bseSessionCount{0};
  std::atomic<int32_t> bseDatabaseCount{0};
  std::atomic<int32_t> bseTransContextCount{0};
  std::atomic<int32_t> bseCursorCount{0};
  std::atomic<int32_t> bseStatementCount{0};
};

// --- Session, transaction context, database, statement -------------------------

enum TqdStatementExecDirectPhase : uint8_t { sedAlloc, sedPrepare, sedSetParams, sedExec, sedGetParams, sedFree };

// Statement parameters in the order of the client's list; piData holds the
// value image of the parameter's engine type, empty for null.
using TqdSqlParamList = std::vector<TqdSqlParamDesc>;

// Hints a client gives when it opens a cursor (the server interprets them).
enum TqdCursorOpenOption : uint8_t { cooRequestMultipartRecordGet, cooRecordGetFollowedByGetBookmark, cooFlipOrder };
using TqdCursorOpenOptions = TqdSet<TqdCursorOpenOption, uint8_t>;

// Whether switching the index keeps the cursor on its record.
enum TqdPosnOnRec : uint8_t { porFalse, porTrue, porTry };

// The result of comparing two values: -1, 0 or 1.
using TqdValueRelationship = int32_t;
inline constexpr TqdValueRelationship qdLessThanValue = -1;
inline constexpr TqdValueRelationship qdEqualsValue = 0;
inline constexpr TqdValueRelationship qdGreaterThanValue = 1;

using PqdBookmarkBuffer = uint8_t*;
using TqdRecordCacheInfos = std::vector<TqdRecordCacheInfo>;
using TqdBlobCacheInfos = std::vector<TqdBlobCacheInfo>;

// What RecordModify may pass besides the record: a diff image against the
// current record (bitmap and changed words, see qdsdTypes), a buffer that
// receives the full new record, and a BLOB batch to apply.
struct TqdRecordDiff {
  const uint8_t* rdDiff = nullptr;
  PqdRecordBuffer rdFull = nullptr;
  struct {
    TqdBlobBatchRequest* rdbbRequest = nullptr;
    TqdBlobBatchReply* rdbbReply = nullptr;
  } rdBlobBatch;
};
using PqdRecordDiff = TqdRecordDiff*;

// One key of a batch lookup: field count (0 = all fields of the index),
// partial length, flags, then the key or record image.
struct TqdDataSetKeyBuffer {
  int32_t kbFieldCount = 0;
  int32_t kbPartialLen = 0;
  bool kbModified = false;
  bool kbExclusive = false;
  bool kbDirectKey = false;
  bool kbPadding = false;
  std::vector<uint8_t> kbBuffer;
};
using TqdDataSetKeyBufferArray = std::vector<TqdDataSetKeyBuffer>;

// Called once per table dictionary of a database.
using TqdDictionaryIterator = TqdIteratorResult (*)(TqdDataDictionary* aDictionary, void* aCookie);

// A source of cursors a database consults before it opens a table itself,
// and the handle that takes the source away again.
class IqdDatabaseCursorSource : public virtual IqdInterface {
 public:
  virtual TqdAbstractCursor* CursorFor(const qdString& aTableName) = 0;

 protected:
  ~IqdDatabaseCursorSource() = default;
};

class IqdDatabaseCursorSourceControl : public virtual IqdInterface {
 public:
  virtual void Unregister() = 0;

 protected:
  ~IqdDatabaseCursorSourceControl() = default;
};

// One alias with its folder path (an entry of AliasGetList).
class TqdAliasDescriptor : public TqdObject {
 public:
  qdString adAlias;
  qdString adPath;
};
using TqdAliasList = std::vector<std::unique_ptr<TqdAliasDescriptor>>;

class TqdAbstractSession : public TqdAbstractTimeoutObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdAbstractSession(TqdBaseServerEngine* aServerEngine, uint32_t aTimeout, const qdString& aUserName,
                     const qdString& aPassword, const qdString& aConnectedFrom);
  ~TqdAbstractSession() override;

  void AfterConstruction() override;
  void BeforeDestruction() override;
  void PrepareDestroy() override;
  using TqdAbstractTimeoutObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  TqdBaseServerEngine* asoGetServerEngine() const override { return asServerEngine; }
  int32_t GetMinVersion() const override;
  [[nodiscard]] TqdResult OptionSet(const qdString& aName, const qdString& aValue) override;

  virtual int32_t GetClientVersion() const { return 47501; }
  virtual int32_t GetServerVersion() const { return 47501; }
  // The default locale of string literals; nil here.
  virtual TqdLocaleDescriptor* GetClientDefaultLocale() { return nullptr; }
  virtual void asRemoveFromServerEngine();
  virtual void asDoFailed(bool aPermanent, bool aWait);
  virtual void asFailedCleanup();
  virtual TqdSessionStats* asCreateSessionStats();

  // A session is looked up with session id 0.
  [[nodiscard]] static TqdResult LookupByID(TqdSessionID aSessionID, TqdAbstractSession*& aSession) {
    return TqdAbstractServerObject::LookupByID(0, aSessionID, aSession);
  }

  [[nodiscard]] virtual TqdResult AliasAdd(const qdString& aAlias, const qdString& aPath, bool aEnforce) = 0;
  [[nodiscard]] virtual TqdResult AliasDelete(const qdString& aAlias) = 0;
  [[nodiscard]] virtual TqdResult AliasModify(const qdString& aAlias, const qdString& aNewName,
                                              const qdString& aNewPath, bool aEnforce) = 0;
  [[nodiscard]] virtual TqdResult AliasGetList(TqdAliasList& aList) = 0;
  [[nodiscard]] virtual TqdResult AliasGetPath(const qdString& aAlias, qdString& aPath) = 0;
  [[nodiscard]] virtual TqdResult PasswordAdd(const qdString& aPassword) = 0;
  [[nodiscard]] virtual TqdResult PasswordRemove(const qdString& aPassword) = 0;
  [[nodiscard]] virtual TqdResult PasswordRemoveAll() = 0;
  [[nodiscard]] virtual TqdResult CloseInactiveFolders() = 0;
  [[nodiscard]] virtual TqdResult CloseInactiveTables() = 0;
  [[nodiscard]] virtual TqdResult DatabaseOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                               const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                               TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout) = 0;
  [[nodiscard]] virtual TqdResult DatabaseCacheOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                                    const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                                    TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout);
  // Through a temporary database opened by alias name.
  [[nodiscard]] virtual TqdResult TableExists(const qdString& aAliasName, const qdString& aTableName,
                                              const qdString& aPassword, bool& aExists, bool aAllowSystem);
  // Through a temporary database opened by alias name (read-only for
  // reading, read-write for writing) and a temporary cursor of the table.
  [[nodiscard]] virtual TqdResult TableStreamRead(const qdString& aAliasName, const qdString& aTableName,
                                                  const qdString& aPassword, const qdString& aStreamName,
                                                  TStream* aStream);
  [[nodiscard]] virtual TqdResult TableStreamWrite(const qdString& aAliasName, const qdString& aTableName,
                                                   const qdString& aPassword, const qdString& aStreamName,
                                                   TStream* aStream);
  [[nodiscard]] virtual TqdResult TransContextCreate(TqdAbstractTransContext*& aTransContext, uint32_t aTimeout) = 0;
  [[nodiscard]] virtual TqdResult GetRegisteredClassList(TqdClassListType aClassListType, TqdStringList& aList) = 0;
  virtual void GetUserInfo(TqdStringList& aStrings);

  // Marks the session failed (permanently or as a cancel) without waiting.
  void Failed(bool aPermanent);
  IqdSessionNotifications* SessionNotifications();

  bool CleanedUp() const { return asCleanedUp.load(std::memory_order_acquire); }
  TqdBaseServerEngine* ServerEngine() const { return asServerEngine; }
  const qdString& UserName() const { return asUserName; }
  const qdString& Password() const { return asPassword; }
  const qdString& ConnectedFrom() const { return asConnectedFrom; }
  bool Authenticated() const { return asAuthenticated; }
  void SetAuthenticated(bool aValue) { asAuthenticated = aValue; }
  bool MustBeAuthenticated() const { return asMustBeAuthenticated; }
  void SetMustBeAuthenticated(bool aValue) { asMustBeAuthenticated = aValue; }
  TDateTime ConnectedSince() const { return asConnectedSince; }

  // Snapshots of the lists (diagnostics, tests).
  std::vector<TqdAbstractDatabase*> Databases();
  std::vector<TqdAbstractTransContext*> TransContexts();
  std::vector<TqdAbstractTaskInfo*> TaskInfos();

 private:
  friend class TqdAbstractTimeoutObject;
  friend class TqdAbstractTaskInfo;
  friend class TqdAbstractDatabase;
  friend class TqdAbstractTransContext;
  friend class TqdBaseServerEngine;

  std::atomic<TqdSessionNotifications*> asSessionNotifications{nullptr};
  std::atomic<bool> asCleanedUp{false};
  TqdBaseServerEngine* asServerEngine;
  TqdAbstractSession* asServerEnginePrev = nullptr;
  TqdAbstractSession* asServerEngineNext = nullptr;
  bool asInEngineList = false;
  TqdPadlock asDatabasesPadlock;
  TqdAbstractDatabase* asDatabasesHead QD_GUARDED_BY(asDatabasesPadlock) = nullptr;
  TqdAbstractDatabase* asDatabasesTail QD_GUARDED_BY(asDatabasesPadlock) = nullptr;
  TqdPadlock asTransContextsPadlock;
  TqdAbstractTransContext* asTransContextsHead QD_GUARDED_BY(asTransContextsPadlock) = nullptr;
  TqdAbstractTransContext* asTransContextsTail QD_GUARDED_BY(asTransContextsPadlock) = nullptr;
  TqdPadlock asTaskInfosPadlock;
  TqdAbstractTaskInfo* asTaskInfosHead QD_GUARDED_BY(asTaskInfosPadlock) = nullptr;
  TqdAbstractTaskInfo* asTaskInfosTail QD_GUARDED_BY(asTaskInfosPadlock) = nullptr;
  TqdPadlock asTimeoutBatchPadlock;
  TqdAbstractTimeoutObject* asTimeoutBatchHead QD_GUARDED_BY(asTimeoutBatchPadlock) = nullptr;
  TqdAbstractTimeoutObject* asTimeoutBatchTail QD_GUARDED_BY(asTimeoutBatchPadlock) = nullptr;
  TDateTime asConnectedSince;
  bool asLockedIncDone = false;
  qdString asUserName;
  qdString asPassword;
  bool asAuthenticated = false;
  bool asMustBeAuthenticated = false;
  qdString asConnectedFrom;
};

class TqdBaseTransContext : public TqdAbstractTimeoutObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractTimeoutObject::TqdAbstractTimeoutObject;

  [[nodiscard]] virtual TqdResult TransactionStart(bool aFailSafe, bool aSnapShot) = 0;
  [[nodiscard]] virtual TqdResult TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                       const std::vector<TqdAbstractCursor*>& aCursors) = 0;
  [[nodiscard]] virtual TqdResult TransactionCommit() = 0;
  [[nodiscard]] virtual TqdResult TransactionRollback() = 0;
  [[nodiscard]] virtual TqdResult TransactionCorrupted() = 0;
  [[nodiscard]] virtual TqdResult TransactionGetLevel(int32_t& aTransLevel) = 0;
  [[nodiscard]] virtual TqdResult TransactionGetInfo(TqdTransactionInfo& aTransInfo, bool aAllowCached) = 0;
};

class TqdAbstractTransContext : public TqdBaseTransContext {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdAbstractTransContext(TqdAbstractSession* aSession, uint32_t aTimeout);
  ~TqdAbstractTransContext() override;

  void AfterConstruction() override;
  void BeforeDestruction() override;
  void PrepareDestroy() override;
  using TqdBaseTransContext::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  HRESULT CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                            TqdRef<IqdInterface>& aInterface) override;

  // Rolls back whatever is open; empty here.
  virtual void atcForceRollback() {}
  virtual void Failed();
  [[nodiscard]] virtual TqdResult SetCacheTransContext(TqdBaseTransContext* aCacheTransContext);

  bool IsFailed() const { return atcFailed; }
  std::vector<TqdAbstractDatabase*> Databases();

 private:
  friend class TqdAbstractSession;
  friend class TqdAbstractDatabase;
  bool atcFailed = false;
  bool atcLockedIncDone = false;
  TqdAbstractTransContext* atcSessionPrev = nullptr;
  TqdAbstractTransContext* atcSessionNext = nullptr;
  TqdPadlock atcDatabasesPadlock;
  TqdAbstractDatabase* atcDatabasesHead QD_GUARDED_BY(atcDatabasesPadlock) = nullptr;
  TqdAbstractDatabase* atcDatabasesTail QD_GUARDED_BY(atcDatabasesPadlock) = nullptr;
};

class TqdAbstractDatabase : public TqdBaseTransContext {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Without a context the database makes one of its own; a failure to make
  // it raises (a database always has a context).
  TqdAbstractDatabase(TqdAbstractSession* aSession, TqdAbstractTransContext* aTransContext, uint32_t aTimeout);
  ~TqdAbstractDatabase() override;

  void AfterConstruction() override;
  void BeforeDestruction() override;
  void PrepareDestroy() override;
  using TqdBaseTransContext::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  TqdExtendableServerObject* esoGetOptionsParent() override;
  HRESULT CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                            TqdRef<IqdInterface>& aInterface) override;
  void SetTimeout(uint32_t aValue) override;

  [[nodiscard]] TqdResult TransactionStart(bool aFailSafe, bool aSnapShot) override;
  [[nodiscard]] TqdResult TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                               const std::vector<TqdAbstractCursor*>& aCursors) override;
  [[nodiscard]] TqdResult TransactionCommit() override;
  [[nodiscard]] TqdResult TransactionRollback() override;
  [[nodiscard]] TqdResult TransactionCorrupted() override;
  [[nodiscard]] TqdResult TransactionGetLevel(int32_t& aTransLevel) override;
  [[nodiscard]] TqdResult TransactionGetInfo(TqdTransactionInfo& aTransInfo, bool aAllowCached) override;

  // Own option "ALLOWSYSTEMTABLEACCESS" is exactly "1".
  virtual bool GetExplicitAllowSystem();
  virtual bool GetIsCache() { return false; }
  [[nodiscard]] virtual TqdResult SetCacheDatabase(TqdAbstractDatabase* aCacheDatabase);
  // aControl nil; not supported here.
  [[nodiscard]] virtual TqdResult RegisterCursorSource(IqdDatabaseCursorSource* aSource,
                                                       TqdRef<IqdDatabaseCursorSourceControl>& aControl);
  [[nodiscard]] virtual TqdResult TableBuild(bool aOverWrite, const qdString& aTableName, const qdString& aPassword,
                                             TqdDataDictionary* aDictionary, TqdTableScope aTableScope,
                                             bool aAllowSystem) = 0;
  [[nodiscard]] virtual TqdResult TablePack(const qdString& aTableName, const qdString& aPassword,
                                            TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult TableBackup(const qdString& aTableName, const qdString& aPassword,
                                              TqdAbstractDatabase* aTargetDatabase,
                                              TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult TableRebuildIndex(const qdString& aTableName, const qdString& aPassword,
                                                    const qdString& aIndexName, int32_t aIndexID,
                                                    TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult TableRestructure(const qdString& aTableName, const qdString& aPassword,
                                                   TqdDataDictionary* aDictionary,
                                                   TqdBaseTableMapperDescriptor* aMapperDesc, bool aAllowSystem,
                                                   TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult TableAddField(const qdString& aTableName, const qdString& aPassword,
                                                TqdFieldDescriptor* aFieldDesc) = 0;
  [[nodiscard]] virtual TqdResult TableAddIndex(const qdString& aTableName, const qdString& aPassword,
                                                TqdIndexDescriptor* aIndexDesc, bool aNewDefault) = 0;
  [[nodiscard]] virtual TqdResult TableDropIndex(const qdString& aTableName, const qdString& aPassword,
                                                 const qdString& aIndexName, int32_t aIndexID) = 0;
  [[nodiscard]] virtual TqdResult TableRename(const qdString& aOldName, const qdString& aNewName,
                                              const qdString& aPassword) = 0;
  [[nodiscard]] virtual TqdResult TableRecover(const qdString& aTableName, const qdString& aPassword,
                                               TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult TableVerifyChecksum(const qdString& aTableName, const qdString& aPassword, bool aRaw,
                                                      bool aForceRecheck, TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult TableDelete(const qdString& aTableName, const qdString& aPassword) = 0;
  [[nodiscard]] virtual TqdResult TableEmpty(const qdString& aTableName, const qdString& aPassword) = 0;
  [[nodiscard]] virtual TqdResult TableChangePassword(const qdString& aTableName, const qdString& aOldPassword,
                                                      const qdString& aNewPassword) = 0;
  [[nodiscard]] virtual TqdResult TableExists(const qdString& aTableName, const qdString& aPassword, bool& aExists,
                                              bool aAllowSystem) = 0;
  // Fills the caller's dictionary.
  [[nodiscard]] virtual TqdResult TableGetDictionary(const qdString& aTableName, const qdString& aPassword,
                                                     TqdDataDictionary* aDictionary) = 0;
  [[nodiscard]] virtual TqdResult TableGetList(TqdStringList& aList) = 0;
  [[nodiscard]] virtual TqdResult TableAutoIncGet(const qdString& aTableName, const qdString& aPassword,
                                                  uint32_t& aValue) = 0;
  [[nodiscard]] virtual TqdResult GetChangedTables(TqdStringList& aTables) = 0;
  // Through a temporary cursor of the table (read-only for reading,
  // read-write for writing), freed in every case.
  [[nodiscard]] virtual TqdResult TableStreamRead(const qdString& aTableName, const qdString& aPassword,
                                                  const qdString& aStreamName, TStream* aStream);
  [[nodiscard]] virtual TqdResult TableStreamWrite(const qdString& aTableName, const qdString& aPassword,
                                                   const qdString& aStreamName, TStream* aStream);
  // The index by name, or by aIndexID when the name is empty (-1 = the
  // default index).
  [[nodiscard]] virtual TqdResult CursorOpen(TqdAbstractCursor*& aCursor, const qdString& aTableName,
                                             const qdString& aPassword, TqdOpenMode aOpenMode, TqdShareMode aShareMode,
                                             uint32_t aTimeout, const qdString& aIndexName, int32_t aIndexID,
                                             bool aAllowSystem, TqdCursorOpenOptions aOpenOptions,
                                             uint32_t aFilterTimeout, const TqdStringList* aMarkedBlobs) = 0;
  [[nodiscard]] virtual TqdResult CursorCacheOpen(TqdAbstractCursor*& aCursor, const qdString& aTableName,
                                                  const qdString& aPassword, TqdOpenMode aOpenMode,
                                                  TqdShareMode aShareMode, uint32_t aTimeout,
                                                  const qdString& aIndexName, int32_t aIndexID, bool aAllowSystem,
                                                  TqdCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout);
  [[nodiscard]] virtual TqdResult StatementAlloc(TqdAbstractStatement*& aStatement, uint32_t aTimeout) = 0;
  // Allocate, prepare, set parameters (when any), execute and get output
  // parameters (when aGetParamsStream is given) in one call; aPhase names
  // the step that failed.
  [[nodiscard]] virtual TqdResult StatementExecDirect(uint32_t aTimeout, TqdStatementType aStatementType,
                                                      const qdString& aQueryText, TStream* aPrepareStream,
                                                      const TqdSqlParamList& aParams, TStream* aSetParamsStream,
                                                      TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode,
                                                      TStream* aExecStream, TStream* aGetParamsStream,
                                                      TqdStatementExecDirectPhase& aPhase) = 0;
  [[nodiscard]] virtual TqdResult GetFreespace(int64_t& aFreeSpace) = 0;
  [[nodiscard]] virtual TqdResult GetPath(qdString& aPath) = 0;
  [[nodiscard]] virtual TqdResult GetAlias(qdString& aAlias) = 0;

  TqdAbstractTransContext* TransContext() const { return adTransContext; }
  bool OwnsTransContext() const { return adOwnedTransContext != nullptr; }
  bool CursorAutoFree() const { return adCursorAutoFree; }
  void SetCursorAutoFree(bool aValue) { adCursorAutoFree = aValue; }
  std::vector<TqdAbstractStatement*> Statements();
  std::vector<TqdAbstractCursor*> Cursors();

 private:
  friend class TqdAbstractSession;
  friend class TqdAbstractTransContext;
  friend class TqdAbstractStatement;
  friend class TqdAbstractCursor;
  // Leaves the context's list and joins a fresh context of its own; raises
  // when none can be made (the caller fails the database).
  void MoveToFreshContext();
  void JoinContext(TqdAbstractTransContext* aContext);

  TqdAbstractDatabase* adSessionPrev = nullptr;
  TqdAbstractDatabase* adSessionNext = nullptr;
  TqdAbstractTransContext* adTransContext = nullptr;
  TqdAbstractTransContext* adOwnedTransContext = nullptr;
  TqdAbstractDatabase* adTransContextPrev = nullptr;
  TqdAbstractDatabase* adTransContextNext = nullptr;
  TqdPadlock adCursorsPadlock;
  TqdAbstractCursor* adCursorsHead QD_GUARDED_BY(adCursorsPadlock) = nullptr;
  TqdAbstractCursor* adCursorsTail QD_GUARDED_BY(adCursorsPadlock) = nullptr;
  bool adCursorAutoFree = false;
  TqdPadlock adStatementsPadlock;
  TqdAbstractStatement* adStatementsHead QD_GUARDED_BY(adStatementsPadlock) = nullptr;
  TqdAbstractStatement* adStatementsTail QD_GUARDED_BY(adStatementsPadlock) = nullptr;
  bool adLockedIncDone = false;
  bool adInSessionList = false;
};

class TqdAbstractStatement : public TqdAbstractTimeoutObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdAbstractStatement(TqdAbstractDatabase* aDatabase, uint32_t aTimeout);
  ~TqdAbstractStatement() override;

  void AfterConstruction() override;
  void BeforeDestruction() override;
  using TqdAbstractTimeoutObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  HRESULT CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                            TqdRef<IqdInterface>& aInterface) override;

  // The reply streams: on failure an Int32 length and that many bytes of
  // 8-bit text from position 0; on success what the statement engine
  // writes for the client.
  [[nodiscard]] virtual TqdResult Prepare(TqdStatementType aStatementType, const qdString& aQueryText,
                                          TStream* aStream) = 0;
  // aCursor nil when the statement has no result (or aOpenMode is omNone).
  [[nodiscard]] virtual TqdResult Exec(TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode, TStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult SetParams(const TqdSqlParamList& aParams, TStream* aStream) = 0;
  // Fills piData of the output-kind entries of the caller's list.
  [[nodiscard]] virtual TqdResult GetParams(TqdSqlParamList& aParams, TStream* aStream) = 0;

  TqdAbstractDatabase* Database() const { return asDatabase; }
  bool ExecDirect() const { return asExecDirect; }
  void SetExecDirect(bool aValue) { asExecDirect = aValue; }

 private:
  friend class TqdAbstractDatabase;
  TqdAbstractDatabase* asDatabase;
  TqdAbstractStatement* asDatabasePrev = nullptr;
  TqdAbstractStatement* asDatabaseNext = nullptr;
  bool asLockedIncDone = false;
  bool asExecDirect = false;
  bool asInList = false;
};

// What the SQL engine needs of a database beyond the contract; the server
// database implements it.
class TqdSqlAbstractDatabase : public TqdAbstractDatabase {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractDatabase::TqdAbstractDatabase;

  virtual qdString sadGetAlias() { return qdString(); }
  [[nodiscard]] virtual TqdResult sdTableRebuildIndex(const qdString& aTableName, const qdString& aPassword,
                                                      const qdString& aIndexName, int32_t aIndexID,
                                                      TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult sdTableRestructure(const qdString& aTableName, const qdString& aPassword,
                                                     TqdDataDictionary* aDictionary,
                                                     TqdBaseTableMapperDescriptor* aMapperDesc,
                                                     TqdAbstractTaskInfo*& aTaskInfo) = 0;
  // A new unnamed result-set cursor of that layout.
  virtual TqdSqlAbstractCursor* sadCreateResultSet(TqdDataDictionary* aDictionary, uint32_t aTimeout) = 0;
  // Raises where the database's own lookups fail (unless aIgnoreError).
  virtual TqdIteratorResult sdIterateDictionaries(TqdDictionaryIterator aIterator, bool aAllowSystem, bool aIgnoreError,
                                                  void* aCookie) = 0;
  virtual void sadLockTables() = 0;
  virtual void sadUnlockTables() = 0;

  qdString Alias() { return sadGetAlias(); }
  uint32_t LastAutoInc() const { return sadLastAutoInc; }
  void SetLastAutoInc(uint32_t aValue) { sadLastAutoInc = aValue; }
  TqdOpenMode OpenMode() const { return sdOpenMode; }
  void SetOpenMode(TqdOpenMode aValue) { sdOpenMode = aValue; }
  TqdShareMode ShareMode() const { return sdShareMode; }
  void SetShareMode(TqdShareMode aValue) { sdShareMode = aValue; }
  TqdSqlAbstractDatabase* MasterDatabase() const { return sadMasterDatabase; }
  void SetMasterDatabase(TqdSqlAbstractDatabase* aValue) { sadMasterDatabase = aValue; }

 private:
  uint32_t sadLastAutoInc = 0;
  TqdOpenMode sdOpenMode = omReadOnly;
  TqdShareMode sdShareMode = smShared;
  TqdSqlAbstractDatabase* sadMasterDatabase = nullptr;
};

// --- Cursors -------------------------------------------------------------------

// Hints a client sets so that the server can combine its next calls; bit n
// = option n of a 4-byte set.
enum TqdAbstractCursorOption : uint8_t {
  acoChainedRecordGetUsesWriteLock,
  acoFailClientFilterFast,
  acoFilterActionFollowedByFirst,
  acoFilterActionFollowedBySync,
  acoFlipOrder,
  acoLockReleaseFollowedByRecordGet,
  acoPreCacheMarkedBlobs,
  acoRangeResetFollowedBySync,
  acoRangeSetFollowedByRecordGetNext,
  acoRangeSetFollowedBySetToBegin,
  acoRecNoSetFollowedBySync,
  acoRecordDeleteFollowedBySync,
  acoRecordGetFollowedByGetBookmark,
  acoRecordGetForKeyFollowedByRecordGet,
  acoRecordInsertFollowedByRecordGet,
  acoRecordModifyFollowedBySync,
  acoSetToBeginFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByNothing,
  acoSetToBookmarkFollowedByRecordGet,
  acoSetToBookmarkFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByRecordGetPrior,
  acoSetToBookmarkFollowedBySync,
  acoSetToCursorFollowedBySyncExact,
  acoSetToEndFollowedByRecordGetPrior,
  acoSetToKeyFollowedBySync,
  acoSkipReadingBlobDataForBatch,
};
using TqdAbstractCursorOptions = TqdSet<TqdAbstractCursorOption, uint32_t>;

enum TqdAbstractCursorCapability : uint8_t { accCancelBlobs, accCaching };
using TqdAbstractCursorCapabilities = TqdSet<TqdAbstractCursorCapability, uint8_t>;

enum TqdAbstractCursorState : uint8_t { acsAutoFreeDatabase, acsLockedIncDone, acsIsCacheable, acsIsCache };
using TqdAbstractCursorStates = TqdSet<TqdAbstractCursorState, uint8_t>;

// How a server object writes a field of a record image from a value (the
// cursor also reaches BLOB contents).
class IqdFieldsAccess {
 public:
  virtual void SetFieldAsVariantSelf(PqdRecordBuffer aBuffer, int32_t aField, const TqdVariant& aValue) = 0;

 protected:
  ~IqdFieldsAccess() = default;
};

// An open table or result set of a database: a position, an active index,
// ranges and filters; it reads and writes record images, BLOBs, table
// streams and locks. The server's table cursor and the SQL engine's result
// sets implement the abstract operations. The cursor lives in its
// database's cursor list (under the database's cursors padlock) from
// construction to destruction; with the database's CursorAutoFree set, the
// last cursor to leave frees the database. Every operation runs on the
// thread holding the session lock.
//
// Writes and validation: RecordInsertEx carries the insert options; with
// ioValidate it runs acValidateRecord before the record reaches the table,
// so a refused record (a required field left null, a failed check) is never
// written. RecordModify implementations call acValidateRecord with the old
// record before they write, for the same reason.
class TqdAbstractCursor : public TqdAbstractTimeoutObject, public IqdFieldsAccess, public IqdFieldsSource {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdAbstractCursor(TqdAbstractDatabase* aDatabase, uint32_t aTimeout);
  ~TqdAbstractCursor() override;

  void AfterConstruction() override;
  void BeforeDestruction() override;
  using TqdAbstractTimeoutObject::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  HRESULT CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                            TqdRef<IqdInterface>& aInterface) override;

  // --- Table and layout ---
  virtual TqdDataDictionary* acGetDictionary() = 0;
  virtual TqdBaseTableDescriptor* acGetTableDescriptor() = 0;
  virtual qdString acGetFullName() = 0;
  virtual qdString acGetAliasName() { return qdString(); }
  // A non-BLOB field through the fields descriptor; a BLOB field gets (or
  // loses) its BLOB content through the cursor. Raises on a BLOB failure.
  void SetFieldAsVariantSelf(PqdRecordBuffer aBuffer, int32_t aField, const TqdVariant& aValue) override;
  virtual bool acSnapshotRequiredForBlobRead(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                             bool aReadOrg);
  // Not fail-safe, snapshot.
  [[nodiscard]] virtual TqdResult acTransactionStartForBlobReadSnapshoted();
  [[nodiscard]] virtual TqdResult acTransactionRollbackForBlobReadSnapshoted();
  // Caches the fields descriptor, record length and special-fields info of
  // the table descriptor; the implementation calls it once that is known.
  virtual void acInitFieldsInfo();
  [[nodiscard]] virtual TqdResult SavePath();
  [[nodiscard]] virtual TqdResult RestorePath();
  // Raises 12289 here.
  virtual void RequestNestedTransactions();

  // --- Record buffers: record length + 4 bytes, every field null ---
  virtual PqdRecordBuffer RecordBufferAlloc();
  virtual void RecordBufferFree(PqdRecordBuffer aBuffer);
  virtual void RecordBufferClear(PqdRecordBuffer aBuffer);

  // --- Position ---
  [[nodiscard]] virtual TqdResult SetToBegin() = 0;
  [[nodiscard]] virtual TqdResult SetToCursor(TqdAbstractCursor* aCursor) = 0;
  [[nodiscard]] virtual TqdResult SetToEnd() = 0;
  [[nodiscard]] virtual TqdResult SetToFilter(TqdBaseFilterDescriptor* aFilter, TqdBaseFilterDescriptor* aKeyFilter,
                                              bool aForward) = 0;
  [[nodiscard]] virtual TqdResult sbcGetBookmarkSize(uint32_t& aSize) = 0;
  [[nodiscard]] virtual TqdResult GetBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize) = 0;
  [[nodiscard]] virtual TqdResult GetBookmarkCache(PqdBookmarkBuffer aBookmark, uint32_t aSize);
  [[nodiscard]] virtual TqdResult CompareBookmarks(PqdBookmarkBuffer aBookmark1, PqdBookmarkBuffer aBookmark2,
                                                   uint32_t aSize, TqdValueRelationship& aCompResult) = 0;
  [[nodiscard]] virtual TqdResult SetToBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize) = 0;
  [[nodiscard]] virtual TqdResult SetToCacheBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize);
  [[nodiscard]] virtual TqdResult BookmarkAsVariant(PqdBookmarkBuffer aBookmark, uint32_t aSize,
                                                    TqdVariant& aVariant) = 0;
  [[nodiscard]] virtual TqdResult BookmarkCheckLocal(PqdBookmarkBuffer aBookmark, uint32_t aSize);
  [[nodiscard]] virtual TqdResult RecNoSupported() = 0;
  [[nodiscard]] virtual TqdResult RecNoGet(uint32_t& aRecNo, bool aFlipOrder) = 0;
  [[nodiscard]] virtual TqdResult RecNoSet(uint32_t aRecNo, bool aFlipOrder) = 0;

  // --- Records ---
  [[nodiscard]] virtual TqdResult RecordGet(TqdLockType aLockType, PqdRecordBuffer aData) = 0;
  [[nodiscard]] virtual TqdResult RecordGetNext(TqdLockType aLockType, PqdRecordBuffer aData) = 0;
  [[nodiscard]] virtual TqdResult RecordGetPrior(TqdLockType aLockType, PqdRecordBuffer aData) = 0;
  [[nodiscard]] virtual TqdResult RecordInsert(TqdLockType aLockType, PqdRecordBuffer aData, int64_t* aAutoInc) = 0;
  // RecordInsert with insert options: with ioValidate the record is
  // validated (acValidateRecord) before anything is written.
  [[nodiscard]] virtual TqdResult RecordInsertEx(TqdLockType aLockType, TqdInsertOptions aInsertOptions,
                                                 PqdRecordBuffer aData, int64_t* aAutoInc);
  // The check a write runs before it touches the table: aOldData nil for an
  // insert. 0 here; the server runs the table's validations.
  [[nodiscard]] virtual TqdResult acValidateRecord(PqdRecordBuffer aData, PqdRecordBuffer aOldData);
  [[nodiscard]] virtual TqdResult RecordModify(PqdRecordBuffer aData, bool aReleaseLock, PqdRecordDiff aDataDiff) = 0;
  [[nodiscard]] virtual TqdResult RecordDelete(PqdRecordBuffer aData, TqdLSN aLSN) = 0;
  [[nodiscard]] virtual TqdResult RecordIsLocked(TqdLockType aLockType, TqdLockPresent& aLockPresent) = 0;
  [[nodiscard]] virtual TqdResult RecordLockRelease(bool aAllLocks, bool aCancelBlobs) = 0;
  [[nodiscard]] virtual TqdResult AutoIncGet(uint32_t& aValue, bool aAllowCached) = 0;
  [[nodiscard]] virtual TqdResult AutoIncSet(uint32_t aValue) = 0;

  // --- Filters ---
  // The expression (the dataset framework's compiled filter bytes) and the
  // callback are wrapped in a descriptor that lives for this call only:
  // FilterAddCustom keeps a copy.
  [[nodiscard]] virtual TqdResult FilterAddExpression(const uint8_t* aExpression, TqdFilterID& aFilterID,
                                                      bool aActivated);
  [[nodiscard]] virtual TqdResult FilterAddCallback(void* aCookie, TqdFilterCallback aCallback, TqdFilterID& aFilterID,
                                                    bool aActivated);
  // Implementations keep a copy (or an engine built from it): the caller
  // frees the descriptor on return.
  [[nodiscard]] virtual TqdResult FilterAddCustom(TqdBaseFilterDescriptor* aFilter, TqdFilterID& aFilterID,
                                                  bool aActivated) = 0;
  [[nodiscard]] virtual TqdResult FilterReplaceCustom(TqdBaseFilterDescriptor* aFilter, TqdFilterID& aFilterID,
                                                      bool aActivated, bool aIgnoreDropError) = 0;
  [[nodiscard]] virtual TqdResult FilterSetTimeout(uint32_t aTimeout) = 0;
  [[nodiscard]] virtual TqdResult FilterActivate(TqdFilterID aFilterID) = 0;
  [[nodiscard]] virtual TqdResult FilterDeactivate(TqdFilterID aFilterID) = 0;
  [[nodiscard]] virtual TqdResult FilterRemove(TqdFilterID aFilterID) = 0;
  virtual bool HasActiveLocalFilter() { return false; }
  virtual void FilterBeginTimeout() {}
  virtual bool FilterMatchesBuffer(PqdRecordBuffer /*aBuffer*/) { return true; }

  // --- Indexes, keys and ranges ---
  [[nodiscard]] virtual TqdResult SwitchToIndex(const qdString& aIndexName, int32_t aIndexID,
                                                TqdPosnOnRec aPosnOnRec) = 0;
  [[nodiscard]] virtual TqdResult GetIndexID(int32_t& aIndexID) = 0;
  // aDirectKey: aKeyData is a key image, else a record image.
  [[nodiscard]] virtual TqdResult SetToKey(TqdSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                                           bool aDirectKey, const uint8_t* aKeyData) = 0;
  [[nodiscard]] virtual TqdResult RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                                  const uint8_t* aKeyData, PqdRecordBuffer aData, bool aMatchFirst,
                                                  bool aFirstCall) = 0;
  [[nodiscard]] virtual TqdResult RecordGetForKeyBatch(int32_t aCutoffSize, TqdRecordGetBatchExOptions aOptions,
                                                       TqdBatchStreamAccess*& aAccess,
                                                       const TqdDataSetKeyBufferArray& aKeys, bool aMatchFirst,
                                                       bool aFirstCall) = 0;
  [[nodiscard]] virtual TqdResult RangeReset() = 0;
  [[nodiscard]] virtual TqdResult RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                                           const uint8_t* aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                                           int32_t aPartialLen2, bool aDirectKey2, const uint8_t* aKeyData2,
                                           bool aKeyIncl2) = 0;
  [[nodiscard]] virtual TqdResult CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                                              const uint8_t* aKeyData1, bool aDirectKey2, const uint8_t* aKeyData2,
                                              TqdValueRelationship& aResult) = 0;
  [[nodiscard]] virtual TqdResult BuildKey(PqdRecordBuffer aRecord, PqdKeyBuffer aKey, bool aIgnoreFilter);
  [[nodiscard]] virtual TqdResult KeyToRecord(PqdKeyBuffer aKey, PqdRecordBuffer aRecord);
  [[nodiscard]] virtual TqdResult KeyFilterAddExpression(const uint8_t* aExpression, TqdKeyFilterID& aKeyFilterID);
  [[nodiscard]] virtual TqdResult KeyFilterAddCallback(void* aCookie, TqdFilterCallback aCallback,
                                                       TqdKeyFilterID& aKeyFilterID);
  [[nodiscard]] virtual TqdResult KeyFilterAddCustom(TqdBaseFilterDescriptor* aKeyFilter,
                                                     TqdKeyFilterID& aKeyFilterID) = 0;
  [[nodiscard]] virtual TqdResult KeyFilterActivate(TqdKeyFilterID aKeyFilterID) = 0;
  [[nodiscard]] virtual TqdResult KeyFilterDeactivate(TqdKeyFilterID aKeyFilterID) = 0;
  [[nodiscard]] virtual TqdResult KeyFilterRemove(TqdKeyFilterID aKeyFilterID) = 0;

  // --- Batches and bulk operations ---
  [[nodiscard]] virtual TqdResult RecordGetBatch(int32_t aCutoffSize, TqdRecordGetBatchExOptions aOptions,
                                                 TqdBatchStreamAccess*& aAccess, int32_t aMaxRecords,
                                                 bool aForward) = 0;
  [[nodiscard]] virtual TqdResult RecordInsertBatch(TqdCustomMemoryStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult CopyRecords(TqdAbstractCursor* aDestCursor, TqdBlobCopyMode aBlobCopyMode,
                                              int32_t aMaxTransSize) = 0;
  [[nodiscard]] virtual TqdResult CopyRecordsEx(TqdAbstractCursor* aDestCursor, TqdBlobCopyMode aBlobCopyMode,
                                                int32_t aMaxTransSize, bool aCheckValFields) = 0;
  [[nodiscard]] virtual TqdResult DeleteRecords() = 0;

  // --- BLOBs ---
  [[nodiscard]] virtual TqdResult BlobsCancel(TqdRefNr aRefNr) = 0;
  [[nodiscard]] virtual TqdResult BlobBatchProcess(const TqdBlobBatchRequest& aRequest, TqdBlobBatchReply& aReply);
  // Applies every reply entry, even after a failure; the last failure's
  // code.
  [[nodiscard]] virtual TqdResult BlobBatchApply(PqdRecordBuffer aData, const TqdBlobBatchRequest& aRequest,
                                                 const TqdBlobBatchReply& aReply);
  [[nodiscard]] virtual TqdResult BlobBatchEntryApply(PqdRecordBuffer aData, const TqdRecID& aRecID,
                                                      const TqdBlobBatchRequestEntry& aRequest,
                                                      const TqdBlobBatchReplyEntry& aReply);
  [[nodiscard]] virtual TqdResult BlobCreate(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr& aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobCreateFile(const TqdRecID& aRecID, int32_t aFieldNo, const qdString& aFileName,
                                                 TqdBlobNr& aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobDelete(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobFree(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr) = 0;
  // Under the session lock with the thread deadline armed; exceptions of
  // sbcBlobRead pass (the implementation converts its own).
  [[nodiscard]] virtual TqdResult BlobRead(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                           uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                           TqdNewBlobNr* aNewBlobNr);
  // Implementations preset aNewBlobNr to aBlobNr with nbnSet false; for a
  // BLOB replaced by a newer number they read that one and report it with
  // nbnSet true, or answer 13058 (naming the newer number when known).
  [[nodiscard]] virtual TqdResult sbcBlobRead(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                              uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                              TqdNewBlobNr* aNewBlobNr) = 0;
  // A read in several calls inside one snapshot transaction: start with
  // brssRequestStart, pass the state back, brssRequestClose to stop early.
  [[nodiscard]] virtual TqdResult BlobReadSnapshoted(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                     uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                                     TqdBlobReadSnapshotState& aSnapshot, uint32_t* aBlobLen,
                                                     TqdNewBlobNr* aNewBlobNr);
  // Follows a BLOB replaced by a newer number (13058 with the new number).
  [[nodiscard]] virtual TqdResult sbcBlobReadSnapshoted(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                        uint32_t aOffset, uint32_t aLen, TStream* aStream,
                                                        bool aReadOrg, uint32_t* aBlobLen, TqdNewBlobNr* aNewBlobNr);
  [[nodiscard]] virtual TqdResult BlobWrite(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                            uint32_t aOffset, uint32_t aLen, const void* aBlob) = 0;
  // Truncates an existing BLOB to 0 (or creates one into aBlobNr) and, with
  // aLen > 0, writes the bytes at offset 0.
  [[nodiscard]] virtual TqdResult BlobReplace(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr& aBlobNr,
                                              uint32_t aLen, const void* aBlob);
  [[nodiscard]] virtual TqdResult BlobTruncate(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                               uint32_t aBlobLength) = 0;
  [[nodiscard]] virtual TqdResult BlobGetLength(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                uint32_t& aLength, bool aReadOrg, TqdNewBlobNr* aNewBlobNr);
  [[nodiscard]] virtual TqdResult sbcBlobGetLength(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                   uint32_t& aLength, bool aReadOrg, TqdNewBlobNr* aNewBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobModified(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                               bool& aModified) = 0;
  [[nodiscard]] virtual TqdResult BlobAddToCache(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                 uint32_t aLen, const void* aBlob);
  // 9986 for an array too short for the BLOB fields; all zero = no marks.
  [[nodiscard]] virtual TqdResult BlobsSetMarked(const TqdMarkedBlobsByBlobIdx& aMarkedBlobs);

  // --- Table streams, locks, copies, counts ---
  [[nodiscard]] virtual TqdResult TableStreamGetList(TqdStringList& aStreams) = 0;
  [[nodiscard]] virtual TqdResult TableStreamWrite(const qdString& aName, TStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult TableStreamRead(const qdString& aName, TStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult TableStreamDelete(const qdString& aName) = 0;
  [[nodiscard]] virtual TqdResult TableIsLocked(TqdLockType aLockType, TqdLockPresent& aLockPresent) = 0;
  [[nodiscard]] virtual TqdResult TableLockAcquire(TqdLockType aLockType) = 0;
  [[nodiscard]] virtual TqdResult TableLockRelease(TqdLockType aLockType, bool aAllLocks) = 0;
  [[nodiscard]] virtual TqdResult Duplicate(TqdOpenMode aOpenMode, TqdAbstractCursor*& aNewCursor) = 0;
  [[nodiscard]] virtual TqdResult ChangePassword(const qdString& aNewPassword) = 0;
  [[nodiscard]] virtual TqdResult GetRecordCount(uint32_t& aRecCount, bool aEstimate) = 0;
  [[nodiscard]] virtual TqdResult GetRecordCountAsync(TqdAbstractTaskInfo*& aTaskInfo) = 0;
  [[nodiscard]] virtual TqdResult GetRecordCountEx(TqdRecordCountOption aOption, uint32_t& aRecCount,
                                                   bool aEstimate) = 0;
  [[nodiscard]] virtual TqdResult GetRecordCountExAsync(TqdRecordCountOption aOption,
                                                        TqdAbstractTaskInfo*& aTaskInfo) = 0;
  virtual bool GetNextLSN(TqdLSN& /*aLSN*/) { return false; }
  // The non-null BLOB numbers of a record into aBlobNrs (capacity =
  // incoming aBlobCount): 9985 when they do not fit, 9986 for a nil record.
  [[nodiscard]] virtual TqdResult GetBlobs(PqdRecordBuffer aData, bool aMarkedOnly, uint16_t& aBlobCount,
                                           TqdBlobNr* aBlobNrs);
  [[nodiscard]] virtual TqdResult ContainsLSNRefNr(TqdLSN& aLSN, TqdRefNr& aRefNr);
  [[nodiscard]] virtual TqdResult GetDeletedRecords(TqdLSN aFromLSN, TqdRecordCacheInfos& aCacheInfos,
                                                    int32_t aMaxCount, TqdLSN* aCurrentLSN);

  // --- Non-virtual helpers ---
  // RefNr and insert LSN of a record image (0 for a special field the table
  // lacks; the zero id for nil).
  TqdRecID acGetRecID(const uint8_t* aBuffer);
  [[nodiscard]] TqdResult ExtractCacheInfo(const uint8_t* aData, TqdRecordCacheInfo& aCacheInfo);
  [[nodiscard]] TqdResult ContainsCacheInfo(const TqdRecordCacheInfo& aCacheInfo);
  [[nodiscard]] TqdResult GetBlobs(PqdRecordBuffer aData, bool aMarkedOnly, TqdBlobNrs& aBlobNrs);
  bool AddCursorOption(TqdAbstractCursorOption aOption);
  bool RemoveCursorOption(TqdAbstractCursorOption aOption);
  bool AddCursorOptions(TqdAbstractCursorOptions aOptions);
  bool RemoveCursorOptions(TqdAbstractCursorOptions aOptions);
  bool HasAllCursorOptions(TqdAbstractCursorOptions aOptions) const;
  bool HasAnyCursorOptions(TqdAbstractCursorOptions aOptions) const;

  // Typed forms of the key operations: a record image or a key image (both
  // are byte pointers, so the forms carry the kind in their names).
  [[nodiscard]] TqdResult SetToKeyRecord(TqdSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                                         const uint8_t* aRecord) {
    return SetToKey(aSearchAction, aFieldCount, aPartialLen, false, aRecord);
  }
  [[nodiscard]] TqdResult SetToKeyImage(TqdSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                                        const uint8_t* aKey) {
    return SetToKey(aSearchAction, aFieldCount, aPartialLen, true, aKey);
  }
  [[nodiscard]] TqdResult RecordGetForKeyRecord(int32_t aFieldCount, int32_t aPartialLen, const uint8_t* aRecord,
                                                PqdRecordBuffer aData, bool aMatchFirst, bool aFirstCall) {
    return RecordGetForKey(aFieldCount, aPartialLen, false, aRecord, aData, aMatchFirst, aFirstCall);
  }
  [[nodiscard]] TqdResult RecordGetForKeyImage(int32_t aFieldCount, int32_t aPartialLen, const uint8_t* aKey,
                                               PqdRecordBuffer aData, bool aMatchFirst, bool aFirstCall) {
    return RecordGetForKey(aFieldCount, aPartialLen, true, aKey, aData, aMatchFirst, aFirstCall);
  }
  // A range between two record images, two key images, or one of each.
  [[nodiscard]] TqdResult RangeSetRecords(int32_t aFieldCount1, int32_t aPartialLen1, const uint8_t* aRecord1,
                                          bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2,
                                          const uint8_t* aRecord2, bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, false, aRecord1, aKeyIncl1, aFieldCount2, aPartialLen2, false, aRecord2,
                    aKeyIncl2);
  }
  [[nodiscard]] TqdResult RangeSetKeys(int32_t aFieldCount1, int32_t aPartialLen1, const uint8_t* aKey1, bool aKeyIncl1,
                                       int32_t aFieldCount2, int32_t aPartialLen2, const uint8_t* aKey2,
                                       bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, true, aKey1, aKeyIncl1, aFieldCount2, aPartialLen2, true, aKey2,
                    aKeyIncl2);
  }
  [[nodiscard]] TqdResult RangeSetRecordToKey(int32_t aFieldCount1, int32_t aPartialLen1, const uint8_t* aRecord1,
                                              bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2,
                                              const uint8_t* aKey2, bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, false, aRecord1, aKeyIncl1, aFieldCount2, aPartialLen2, true, aKey2,
                    aKeyIncl2);
  }
  [[nodiscard]] TqdResult RangeSetKeyToRecord(int32_t aFieldCount1, int32_t aPartialLen1, const uint8_t* aKey1,
                                              bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2,
                                              const uint8_t* aRecord2, bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, true, aKey1, aKeyIncl1, aFieldCount2, aPartialLen2, false, aRecord2,
                    aKeyIncl2);
  }

  // --- Field access for filter engines (record images, offset 0) ---
  int32_t GetFieldCountRedirect();
  IqdFieldDescriptor* GetFieldDescriptorRedirect(int32_t aIndex);
  bool GetFieldForFilterRedirect(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType,
                                 int32_t& aSize, bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage);
  int32_t GetFieldFromNameRedirect(const qdString& aFieldName);
  int32_t GetFieldsOffsetRedirect() const { return 0; }
  TqdAbstractCursor* GetCursorSelf() { return this; }
  bool BlobsSupportedSelf() const { return true; }
  // A BLOB field reads its content through the cursor (Null when null or
  // empty); raises on a BLOB failure.
  TqdVariant GetFieldAsVariantSelf(const uint8_t* aBuffer, int32_t aField);

  // IqdFieldsSource.
  bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                         bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) override {
    return GetFieldForFilterRedirect(aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
  }
  TqdVariant GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) override {
    return GetFieldAsVariantSelf(aBuffer, aField);
  }
  bool BlobsSupported() override { return BlobsSupportedSelf(); }
  int32_t GetFieldFromName(qdStringView aFieldName) override { return GetFieldFromNameRedirect(qdString(aFieldName)); }
  int32_t GetFieldCount() override { return GetFieldCountRedirect(); }
  IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override { return GetFieldDescriptorRedirect(aIndex); }
  TqdAbstractCursor* GetCursor() override { return GetCursorSelf(); }
  int32_t GetFieldsOffset() override { return GetFieldsOffsetRedirect(); }

  TqdAbstractDatabase* Database() const { return acDatabase; }
  TqdAbstractCursor* DatabasePrev() const { return acDatabasePrev; }
  TqdAbstractCursor* DatabaseNext() const { return acDatabaseNext; }
  TqdDataDictionary* Dictionary() { return acGetDictionary(); }
  TqdBaseTableDescriptor* TableDescriptor() { return acGetTableDescriptor(); }
  qdString FullName() { return acGetFullName(); }
  qdString AliasName() { return acGetAliasName(); }
  // The table descriptor's fields descriptor.
  TqdFieldsDescriptor* FieldsDescriptor();
  TqdSpecialFieldsInfo* SFI() const { return acSFI; }
  // Refreshed from the fields descriptor.
  TqdDiffCompressorInfo* DCI();
  uint32_t RecordLength() const { return acRecordLength; }
  const TqdMarkedBlobsByBlobIdx& MarkedBlobs() const { return acMarkedBlobs; }
  TqdAbstractCursorOptions CursorOptions() const { return acOptions; }
  TqdAbstractCursorCapabilities Capabilities() const { return acCapabilities; }
  TqdAbstractCursorStates States() const { return acStates; }
  bool IsCache() const { return acStates.Contains(acsIsCache); }

  bool IsResultSet = false;
  bool IsUnnamed = false;

 protected:
  TqdFieldsDescriptor* acFieldsDescriptor = nullptr;
  TqdCacheableInfo* acCacheableInfo = nullptr;
  TqdSpecialFieldsInfo* acSFI = nullptr;
  TqdDiffCompressorInfo* acDCI = nullptr;
  TqdMarkedBlobsByBlobIdx acMarkedBlobs;
  uint32_t acRecordLength = 0;
  TqdAbstractCursorOptions acOptions;
  TqdAbstractCursorCapabilities acCapabilities;
  TqdAbstractCursorStates acStates;

 private:
  friend class TqdAbstractDatabase;
  TqdAbstractDatabase* acDatabase;
  TqdAbstractCursor* acDatabasePrev = nullptr;
  TqdAbstractCursor* acDatabaseNext = nullptr;
  bool acInList = false;
};

// The cache side of a cursor of another process; none exists here.
class TqdAbstractRemoteCursor : public TqdAbstractCursor {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractCursor::TqdAbstractCursor;

  [[nodiscard]] virtual TqdResult rcCacheBlob(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                              TqdBlobNr* aNewBlobNr) = 0;
};

class TqdAbstractServerCursor : public TqdAbstractCursor {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractCursor::TqdAbstractCursor;

  [[nodiscard]] virtual TqdResult ascGetBlobCacheInfos(const TqdRecID& aRecID, TqdBlobCacheInfos& aBCIs) = 0;
  [[nodiscard]] virtual TqdResult ascSetBlobCacheFlushed(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                         TqdBlobNr* aNewBlobNr) = 0;
  // The remote cursor's rcCacheBlob; 12289 without one.
  [[nodiscard]] TqdResult ascBlobRequestCache(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr);

 protected:
  TqdAbstractRemoteCursor* ascRemoteCursor = nullptr;
};

// Asks the holder of a cursor to close it (called from other threads).
class IqdRequestCloseHandler : public virtual IqdInterface {
 public:
  virtual void RequestClose(TqdAbstractCursor* aCursor) = 0;

 protected:
  ~IqdRequestCloseHandler() = default;
};

class IqdRequestCloseHandlerEvent : public virtual IqdRequestCloseHandler {
 public:
  // The event is never called again.
  virtual void Disconnect() = 0;

 protected:
  ~IqdRequestCloseHandlerEvent() = default;
};

using TqdRequestCloseEvent = std::function<void(TqdAbstractCursor* aSender)>;

class TqdRequestCloseHandlerEvent final : public TqdInterfacedObject, public IqdRequestCloseHandlerEvent {
 public:
  // An empty event starts disconnected.
  explicit TqdRequestCloseHandlerEvent(TqdRequestCloseEvent aEvent);

  int32_t AddRef() override { return TqdInterfacedObject::AddRef(); }
  int32_t Release() override { return TqdInterfacedObject::Release(); }
  void RequestClose(TqdAbstractCursor* aCursor) override;
  void Disconnect() override;

 private:
  TqdPadlock rcheLock;
  TqdRequestCloseEvent rcheEvent QD_GUARDED_BY(rcheLock);
  bool rcheDisconnected QD_GUARDED_BY(rcheLock) = false;
};

TqdRef<IqdRequestCloseHandlerEvent> qdMakeRequestCloseHandler(TqdRequestCloseEvent aEvent);

// The cursor operations the SQL engine calls while it already holds the
// session lock. The request-close handler is the only state touched from
// other threads: it is read and written under sbcOnRequestCloseLock, made
// on first use.
class TqdSqlAbstractCursor : public TqdAbstractServerCursor {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractServerCursor::TqdAbstractServerCursor;
  ~TqdSqlAbstractCursor() override;

  virtual bool sacIsWrapper() { return false; }
  virtual void sbcMarkReadonly() = 0;
  virtual qdString sbcGetRootName() = 0;
  virtual TqdIndexPathPosition sbcGetPosition() = 0;
  // Ignored while the cursor is being destroyed.
  virtual void sbcSetOnRequestClose(const TqdRef<IqdRequestCloseHandler>& aHandler);
  [[nodiscard]] virtual TqdResult sbcSwitchToIndex(const qdString& aIndexName, int32_t aIndexID,
                                                   TqdPosnOnRec aPosnOnRec) = 0;
  [[nodiscard]] virtual TqdResult sbcGetIndexID(int32_t& aIndexID) = 0;
  virtual void sbcRangeReset() = 0;
  [[nodiscard]] virtual TqdResult sbcRangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                                              const uint8_t* aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                                              int32_t aPartialLen2, bool aDirectKey2, const uint8_t* aKeyData2,
                                              bool aKeyIncl2) = 0;
  virtual void sbcSetToBegin() = 0;
  virtual void sbcSetToEnd() = 0;
  [[nodiscard]] virtual TqdResult sbcRecordGetBatch(int32_t aCutoffSize, TqdRecordGetBatchExOptions aOptions,
                                                    TqdBatchStreamAccess*& aAccess, int32_t aMaxRecords,
                                                    bool aForward) = 0;
  [[nodiscard]] virtual TqdResult sbcRecordInsertBatch(TqdCustomMemoryStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult sbcCopyRecords(TqdAbstractCursor* aDestCursor, TqdBlobCopyMode aBlobCopyMode,
                                                 int32_t aMaxTransSize, bool aCheckValFields) = 0;
  [[nodiscard]] virtual TqdResult sbcDeleteRecords() = 0;
  [[nodiscard]] virtual TqdResult sbcBlobCreateLink(const TqdRecID& aRecID, int32_t aFieldNo,
                                                    const qdString& aTableName, TqdBlobNr aTableBlobNr,
                                                    TqdBlobNr& aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult sbcBlobDelete(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult sbcBlobTruncate(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                  uint32_t aBlobLength) = 0;
  [[nodiscard]] virtual TqdResult sbcBlobWrite(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                               uint32_t aOffset, uint32_t aLen, const void* aBlob) = 0;
  [[nodiscard]] virtual TqdResult sbcBlobReplace(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr& aBlobNr,
                                                 uint32_t aLen, const void* aBlob) = 0;
  virtual bool sbcBlobIsLink(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr, qdString& aSrcTableName,
                             TqdBlobNr& aSrcTableBlobNr) = 0;
  [[nodiscard]] virtual TqdResult sbcRecordGet(TqdLockType aLockType, PqdRecordBuffer aData) = 0;
  [[nodiscard]] virtual TqdResult sbcRecordGetNext(TqdLockType aLockType, PqdRecordBuffer aData) = 0;
  [[nodiscard]] virtual TqdResult sbcRecordGetPrior(TqdLockType aLockType, PqdRecordBuffer aData) = 0;
  [[nodiscard]] virtual TqdResult sbcRecordInsert(TqdLockType aLockType, TqdInsertOptions aInsertOptions,
                                                  PqdRecordBuffer aData, int64_t* aAutoInc) = 0;
  [[nodiscard]] virtual TqdResult sbcRecordModify(PqdRecordBuffer aData, bool aReleaseLock,
                                                  PqdRecordDiff aDataDiff) = 0;
  [[nodiscard]] virtual TqdResult sbcRecordDelete(PqdRecordBuffer aData, TqdLSN aLSN) = 0;
  virtual uint32_t sbcAutoIncGet() = 0;
  [[nodiscard]] virtual TqdResult sbcGetRecordCount(TqdRecordCountOption aOption, uint32_t& aRecCount,
                                                    bool aEstimate) = 0;
  [[nodiscard]] virtual TqdResult sbcChangePassword(const qdString& aNewPassword) = 0;
  [[nodiscard]] virtual TqdResult sbcDuplicate(TqdOpenMode aOpenMode, TqdBaseID& aNewCursorID, bool aForceWrite) = 0;
  virtual void sbcIterate(PqdRecordBuffer* aData, TqdKeyIterator aKeyIterator, TqdRecordIterator aRecIterator,
                          bool aBackward, void* aCookie, bool aKeepPosition) = 0;
  virtual bool sacHasKey(int32_t aIndex, TqdVariant& aValue) = 0;
  virtual TqdOpenMode sacGetOpenMode() { return omReadOnly; }
  virtual TqdRefNr sacGetRefNr() = 0;
  virtual void sacSetRefNr(TqdRefNr aRefNr) = 0;
  virtual void sacSetDefault(PqdRecordBuffer aRecordBuffer, int32_t aIndex) = 0;
  virtual void sacSetDefaultsInsert(PqdRecordBuffer aRecordBuffer) = 0;
  [[nodiscard]] virtual TqdResult sacGetRecordByID(TqdRefNr aRefNr, PqdRecordBuffer aRecordBuffer) = 0;

  // nil without a padlock or while the cursor is being destroyed.
  TqdRef<IqdRequestCloseHandler> sbcGetOnRequestClose();
  qdString RootName() { return sbcGetRootName(); }
  TqdIndexPathPosition Position() { return sbcGetPosition(); }
  TqdOpenMode OpenMode() { return sacGetOpenMode(); }
  bool UseNestedTransaction() const { return sbcUseNestedTransaction; }
  void SetUseNestedTransaction(bool aValue) { sbcUseNestedTransaction = aValue; }

 private:
  std::atomic<TqdPadlock*> sbcOnRequestCloseLock{nullptr};
  TqdRef<IqdRequestCloseHandler> sbcOnRequestClose;
  bool sbcUseNestedTransaction = false;
};

// --- Name rules ----------------------------------------------------------------

bool qdIsTempGlobalName(qdStringView aName);
bool qdIsTempDatabaseName(qdStringView aName);
bool qdIsLocalTempName(qdStringView aName);
[[nodiscard]] TqdResult qdCheckTableName(qdStringView aName, bool aEmptyIsMissing, bool aAllowReserved);
[[nodiscard]] TqdResult qdCheckChildTablePath(qdStringView aPath);
[[nodiscard]] TqdResult qdCheckTablePath(qdStringView aPath, bool aEmptyIsMissing, bool aAllowReserved);
[[nodiscard]] TqdResult qdCheckAliasName(qdStringView aName, bool aEmptyIsMissing);
[[nodiscard]] TqdResult qdCheckRoutineName(qdStringView aName, bool aEmptyIsMissing);

// Unit start (statistics padlock) and end (hooks restored).
void qdsdServerEngineInitialize();
void qdsdServerEngineFinalize();

// --- Template bodies -----------------------------------------------------------

namespace qdsdServerEngineDetail {
// Adds aMember to an owner's list container as "[<aIndex>]", with children,
// and counts it; a member whose destruction has begun is left out. Called
// with the list's padlock held.
void AddListMember(IqdExceptionDataContainer* aList, int32_t& aIndex, TqdAbstractServerObject* aMember);
// Taken and released by a list member at the end of BeforeDestruction, after
// it was marked destroying and before any destructor runs: a description
// walking the list under the padlock either finishes with the member intact
// or sees it destroying and leaves it out.
void WaitForListReaders(TqdPadlock& aListPadlock);
// Arms the thread's deadline for an outermost operation; false when an
// outer operation of the thread already armed one.
bool EnterOperation(uint32_t aTimeout);
void LeaveOperation(bool aOutermost);
}  // namespace qdsdServerEngineDetail

template <class F>
void TqdExtendableServerObject::ForEachExtender(F aVisit) {
  TqdPadlock* lock = esoExtendersLock.load(std::memory_order_acquire);
  if (lock == nullptr) return;
  TqdPadlockGuard guard(*lock);
  for (TqdBaseEngineExtender* extender = esoExtendersHead; extender != nullptr;) {
    TqdBaseEngineExtender* next = extender->beeExtendableObjectNext;
    if (!aVisit(extender)) return;
    extender = next;
  }
}

template <class F>
TqdResult TqdAbstractTimeoutObject::UnderLock(F aWork) {
  TqdRef<TqdSimpleLock> lock = atoLock;
  if (!lock) return aWork();
  lock->Lock();
  TqdResult result = 0;
  try {
    result = aWork();
  } catch (...) {
    TqdResult ignored = result;
    lock->Unlock(ignored);
    throw;
  }
  lock->Unlock(result);
  return result;
}

template <class F>
TqdResult qdOperationBracket(TqdAbstractTimeoutObject* aObject, F&& aWork) noexcept {
  TqdRef<TqdSimpleLock> lock = aObject->SessionLock();
  const bool outermost = qdsdServerEngineDetail::EnterOperation(aObject->Timeout());
  TqdResult result = 0;
  bool locked = false;
  try {
    if (lock) lock->Lock();
    locked = true;
    qdEnterTimeoutNestingHook();
    result = qdContractCall(aObject, aWork);
    qdLeaveTimeoutNestingHook();
  } catch (...) {
    // Only Lock raises here: the lock's own errors become the result.
    result = qdContractCall(aObject, []() -> TqdResult { throw; });
  }
  if (locked && lock) {
    try {
      lock->Unlock(result);
    } catch (...) {
      result = qdContractCall(nullptr, []() -> TqdResult { throw; });
    }
  }
  qdsdServerEngineDetail::LeaveOperation(outermost);
  return result;
}

}  // namespace qd
