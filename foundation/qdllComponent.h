// The component model: long-lived engine objects (server engine, sessions,
// databases, cursors, the SQL engine, ...) that link to each other, deliver
// numbered notifications along those links, raise their own exception class
// naming the component, describe themselves for diagnostics and save their
// settings through the filer. On top of it: the process-wide registry of
// component classes, the event log base class, the loggable component, and
// the state component with its four-state life cycle.
//
// Classes: TqdComponent_BCB > TqdComponent > TqdRegisterableComponent >
// TqdBaseLog, TqdLoggableComponent > TqdStateComponent; TqdComponentClass
// (the class record of a component class), TqdIterationList,
// TqdIterationData, TqdBroadcastData, TqdStateChangeRecord; exceptions
// EqdComponentException > EqdRegisterableComponentException >
// EqdBaseLogException, EqdLoggableComponentException >
// EqdStateComponentException; EqdAbortStateChange.
//
// Ownership. A component owns the components created with it as owner and
// frees them after its own free notification. Components are freed with
// qdFreeAndNil (or TqdComponentPtr), which runs BeforeDestruction while every
// override is intact: a state component goes down to Inactive, then the free
// notification makes every dependent drop its link and any pointer it keeps.
// Only then do the destructors run. Dependents are plain pointers, cleared by
// that notification.
//
// Locks. A component's dependent list is a TqdListPadlock, and it is the
// last lock taken: AddDependent, RemoveDependent and a log's Enabled hold it
// for their change or read only, and NotifyDependents holds it only to pick
// the next dependent, never while it calls one. Notifications run from the
// sender down the links and come back up them (a state step cascades one way
// on the way up and the other way on the way down, a free notification makes
// the dependent unlink itself from the sender), so no order between two
// lists could hold for both directions: no list is ever held while another
// is taken. A run announces each call before it lets go of the list it found
// the dependent in, and a component being freed, once its free notification
// has unlinked it, waits for the calls into it from other threads to end
// (the calls of its own thread are the frames it is freed from). Hence a
// dependent called by a run is alive until the call returns, although the
// list is not held. The announcements' lock comes after any list lock and
// is never held during a call. The class registry has no lock: classes are
// registered and unregistered while the engine's units start and stop, on
// one thread. State changes are not locked: a state component is moved by
// one thread at a time, and the components that follow it move inside that
// call.
//
// State component life cycle (one step at a time, from the tables below):
//
//     Inactive --Initializing--> Stopped --Starting--> Started
//     Inactive <-Deactivating--- Stopped <-Stopping--- Started
//     Inactive ----(no work)---> Unsupported   (no way out)
//
// Each step is announced to the linked components first (notification 4; a
// dependent may veto it), then taken (DoInitialize, DoStart, DoStop,
// DoDeactivate), then reported (notification 5). A component follows the
// components it depends on upwards and the components that depend on it
// downwards, before they take their step. A failure on the way up undoes the
// step, takes the component back to Inactive, is logged and re-raised; the
// way down to Inactive never fails.
//
// Design mode does not exist at run time: the design-time branches of the
// platform component are never taken, and `Loaded` is an explicit call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "foundation/qdllException.h"
#include "foundation/qdllExceptionData.h"
#include "foundation/qdllList.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllThreadAnnotations.h"
#include "foundation/qdllTypes.h"
#include "platform/qdDateTime.h"
#include "platform/qdFormat.h"
#include "platform/qdGuid.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdComponent;
class TqdBaseLog;
class TqdIterationList;
class TqdReader;
class TqdWriter;

// --- Notifications -------------------------------------------------------------

using TqdNotifyOp = uint8_t;
inline constexpr TqdNotifyOp qdnoFree = 1;
inline constexpr TqdNotifyOp qdnoStateChanging = 4;
inline constexpr TqdNotifyOp qdnoStateChanged = 5;
inline constexpr TqdNotifyOp qdnoIterate = 6;
inline constexpr TqdNotifyOp qdnoBroadcast = 9;

using TqdNotifyEvent = std::function<void(TqdComponent* aSender)>;

// The data of notification 6: the components reached so far, and the class
// names at which the walk stops.
struct TqdIterationData {
  TqdIterationList* IteratonList = nullptr;
  std::vector<qdString> IgnoreIterateClasses;

  bool Ignores(qdStringView aClassName) const;
};

// The data of notification 9.
struct TqdBroadcastData : TqdIterationData {
  TqdComponent* bdSender = nullptr;
  TqdNotifyOp bdNotifyOp = 0;
  void* bdParam = nullptr;
};

// --- Exceptions ----------------------------------------------------------------

// Messages: "QendoDB: <component>: <text> [$<HEX>/<code>]" with a code,
// "QendoDB: <component>: <text> [no error code]" without. Unlike the base
// class the text is used as processed (no trailing blank lines are removed)
// and the thread's pending converted message is left in place; the code-only
// form still takes the pending message when it was left for its code.
class EqdComponentException : public EqdBaseException {
 public:
  EqdComponentException(const TqdComponent* aComponent, int64_t aErrorCode);
  EqdComponentException(const TqdComponent* aComponent, int64_t aErrorCode, qdStringView aAltMsg);
  EqdComponentException(const TqdComponent* aComponent, int64_t aErrorCode, qdStringView aAltMsg, TqdFormatArgs aArgs);
  EqdComponentException(const TqdComponent* aComponent, qdStringView aMsg);
  EqdComponentException(const TqdComponent* aComponent, qdStringView aMsg, TqdFormatArgs aArgs);

  // "<nil pointer>" for nil, the component's Name when it has one, else
  // "<unnamed <class> instance>".
  static qdString GetComponentText(const TqdComponent* aComponent);

 private:
  void ComposeMessage(const TqdComponent* aComponent, bool aWithCode);
};

QD_DECLARE_EXCEPTION_CLASS(EqdRegisterableComponentException, EqdComponentException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseLogException, EqdRegisterableComponentException);
QD_DECLARE_EXCEPTION_CLASS(EqdLoggableComponentException, EqdRegisterableComponentException);
QD_DECLARE_EXCEPTION_CLASS(EqdStateComponentException, EqdLoggableComponentException);

// Raised by a dependent inside notification 4 to veto a state step; silent.
class EqdAbortStateChange : public EAbort {
 public:
  EqdAbortStateChange() : EAbort(qdString(u"Operation aborted")) {}
  using EAbort::EAbort;
};

// What a component's exception is built from.
struct TqdComponentError {
  bool ceHasCode = false;
  TqdResult ceErrorCode = 0;
  bool ceHasText = false;
  qdString ceText;
};

// The class-of value of a component exception class: raises an exception of
// that class for the component.
using TqdComponentExceptionClass = void (*)(const TqdComponent* aComponent, const TqdComponentError& aError);

template <class E>
void qdRaiseComponentExceptionOf(const TqdComponent* aComponent, const TqdComponentError& aError) {
  if (!aError.ceHasCode) throw E(aComponent, qdStringView(aError.ceText));
  if (aError.ceHasText) throw E(aComponent, static_cast<int64_t>(aError.ceErrorCode), qdStringView(aError.ceText));
  throw E(aComponent, static_cast<int64_t>(aError.ceErrorCode));
}

// --- Component classes ---------------------------------------------------------

// The class record of a component class: name and parent (TqdClassInfo), a
// factory (nil for abstract classes) and the exception class its instances
// raise (nil: the parent's).
struct TqdComponentClass : TqdClassInfo {
  TqdComponent* (*Create)(TqdComponent* aOwner) = nullptr;
  TqdComponentExceptionClass ExceptionClass = nullptr;

  // The exception class of this class or its nearest ancestor that names one.
  TqdComponentExceptionClass ResolveExceptionClass() const;
};

// --- Information objects -------------------------------------------------------

// Results of interface requests (E_NOTIMPL is in qdllUtils).
inline constexpr int32_t S_OK = 0;
inline constexpr int32_t E_NOINTERFACE = static_cast<int32_t>(0x80004002);

// The class identifier under which a component hands out its information
// object, and the identifiers of the interfaces it answers.
inline constexpr TGUID qdComponentInfoClassID{
    0xDF7F5263, 0x8492, 0x4085, {0x82, 0x2F, 0x0D, 0xB0, 0x42, 0xE7, 0x57, 0x7D}};
inline constexpr TGUID IID_IqdComponentInfo31000{
    0x0C298C45, 0xF858, 0x4C29, {0x83, 0xC9, 0x15, 0x9D, 0x73, 0xFC, 0xDF, 0x47}};
inline constexpr TGUID IID_IqdComponentInfoDisconnect{
    0xEB6CA912, 0xD08E, 0x4A8E, {0x81, 0xFB, 0x9D, 0x52, 0xB1, 0x4D, 0x79, 0x6E}};
inline constexpr TGUID IID_IqdLoggableComponentInfo31000{
    0x6E3891AB, 0x7745, 0x42E1, {0xBA, 0x7D, 0xF5, 0x36, 0xCC, 0xA9, 0x6F, 0xCC}};
inline constexpr TGUID IID_IqdStateComponentInfo31000{
    0x75B793BB, 0x2C06, 0x4DA2, {0x96, 0x59, 0x8E, 0x76, 0xB5, 0xE6, 0x33, 0xDB}};

// What monitoring tools read of a component. An information object outlives
// its component when a tool holds it: the component disconnects it before it
// goes, and from then on the answers are empty.
class IqdComponentInfo31000 : public virtual IqdInterface {
 public:
  virtual qdString GetClassName() = 0;
  virtual qdString GetName() = 0;
  virtual qdString GetDisplayName() = 0;
  virtual qdString GetDisplayCategory() = 0;
  virtual std::vector<qdString> GetStatsCaptions() = 0;
  virtual std::vector<qdString> GetStatsValues() = 0;

 protected:
  ~IqdComponentInfo31000() = default;
};

class IqdComponentInfoDisconnect : public virtual IqdInterface {
 public:
  virtual void Disconnect() = 0;

 protected:
  ~IqdComponentInfoDisconnect() = default;
};

class IqdLoggableComponentInfo31000 : public virtual IqdInterface {
 public:
  virtual bool GetLogEnabled() = 0;
  // The event log's information, nil without a log.
  virtual TqdRef<IqdComponentInfo31000> GetEventLogInfo() = 0;

 protected:
  ~IqdLoggableComponentInfo31000() = default;
};

enum TqdState : uint8_t;

class IqdStateComponentInfo31000 : public virtual IqdInterface {
 public:
  virtual TqdState GetState() = 0;

 protected:
  ~IqdStateComponentInfo31000() = default;
};

// ciComponent is guarded by ciLock: a tool may ask while the component is
// being disconnected on another thread.
class TqdComponentInfo : public TqdInterfacedObject, public IqdComponentInfo31000, public IqdComponentInfoDisconnect {
 public:
  explicit TqdComponentInfo(TqdComponent* aComponent) : ciComponent(aComponent) {}

  qdString GetClassName() override;
  qdString GetName() override;
  qdString GetDisplayName() override;
  qdString GetDisplayCategory() override;
  std::vector<qdString> GetStatsCaptions() override;
  std::vector<qdString> GetStatsValues() override;
  void Disconnect() override;

 protected:
  TqdPadlock ciLock;
  TqdComponent* ciComponent QD_GUARDED_BY(ciLock);
};

class TqdLoggableComponentInfo : public TqdComponentInfo, public IqdLoggableComponentInfo31000 {
 public:
  using TqdComponentInfo::TqdComponentInfo;
  bool GetLogEnabled() override;
  TqdRef<IqdComponentInfo31000> GetEventLogInfo() override;
};

class TqdStateComponentInfo : public TqdLoggableComponentInfo, public IqdStateComponentInfo31000 {
 public:
  using TqdLoggableComponentInfo::TqdLoggableComponentInfo;
  // Inactive once disconnected.
  TqdState GetState() override;
};

// --- Platform component --------------------------------------------------------

// The platform component the engine's components build on: owner and owned
// components, Name, and the component state flags. Instances live on the
// engine allocator.
class TqdComponent_BCB : public TqdObject {
 public:
  enum TqdComponentStateFlag : uint8_t { csLoading = 1, csUpdating = 2, csDestroying = 4 };

  TqdComponent* Owner() const { return fOwner; }
  const qdString& Name() const { return fName; }
  virtual void SetName(const qdString& aName) { fName = aName; }
  uint8_t ComponentState() const { return fComponentState; }
  bool IsLoading() const { return (fComponentState & csLoading) != 0; }
  bool IsUpdating() const { return (fComponentState & csUpdating) != 0; }
  bool IsDestroying() const { return (fComponentState & csDestroying) != 0; }
  // Always false: there is no design mode at run time.
  static constexpr bool IsDesigning() { return false; }

  // The loading bracket that a form reader would set: BeginLoading, then
  // the properties, then Loaded.
  void BeginLoading() { fComponentState |= csLoading; }
  virtual void Loaded() { fComponentState &= static_cast<uint8_t>(~csLoading); }
  void Updating() { fComponentState |= csUpdating; }
  void Updated() { fComponentState &= static_cast<uint8_t>(~csUpdating); }

  int32_t ComponentCount() const { return static_cast<int32_t>(fComponents.size()); }
  TqdComponent* Components(int32_t aIndex) const { return fComponents.at(static_cast<size_t>(aIndex)); }

 protected:
  TqdComponent_BCB() = default;
  ~TqdComponent_BCB() override = default;

  void SetDestroying() { fComponentState |= csDestroying; }

 private:
  friend class TqdComponent;
  TqdComponent* fOwner = nullptr;
  qdString fName;
  uint8_t fComponentState = 0;
  std::vector<TqdComponent*> fComponents;
};

// --- Component -----------------------------------------------------------------

class TqdComponent : public TqdComponent_BCB, public IqdExceptionData {
 public:
  static const TqdComponentClass ClassInfo;
  virtual const TqdComponentClass& ClassType() const { return ClassInfo; }
  qdString ClassName() const { return qdString(ClassType().ClassName); }
  bool InheritsFrom(const TqdClassInfo& aClass) const { return ClassType().InheritsFrom(aClass); }

  explicit TqdComponent(TqdComponent* aOwner);

  ~TqdComponent() override;

  // Runs the work that must see the whole object (free notification; state
  // components first go down to Inactive). Called by qdFreeAndNil; a second
  // call does nothing.
  void BeforeDestruction() override;

  // Links. nil and the component itself are ignored.
  virtual void AddDependent(TqdComponent* aComponent);
  virtual void RemoveDependent(TqdComponent* aComponent);
  // Each becomes a dependent of the other, unless aComponent is nil or
  // either side is in its free notification.
  void AddDependency(TqdComponent* aComponent);
  void RemoveDependency(TqdComponent* aComponent);
  // Snapshot of the dependents, in list order (diagnostics and tests).
  std::vector<TqdComponent*> Dependents() const;

  // Delivers the notification to every dependent but aExclude, each once,
  // from the last to the first; a free notification is sent only once. A
  // dependent unlinked during the run before its turn is not called; one
  // linked during the run is.
  virtual void NotifyDependents(TqdNotifyOp aOperation, void* aData, TqdComponent* aExclude);
  virtual void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData);
  // This component and every component reachable through dependent links,
  // each once, ordered by display name. The caller owns the list.
  using TqdIterationListFactory = TqdIterationList* (*)();
  std::unique_ptr<TqdIterationList> IterateDependents(TqdIterationListFactory aIterationListClass = nullptr);
  std::unique_ptr<TqdIterationList> IterateDependentsEx(const std::vector<qdString>& aIgnoreClasses,
                                                        TqdIterationListFactory aIterationListClass = nullptr);
  // Delivers (aOperation, aParam) as a notification from this component to
  // itself and to every component reachable through dependent links, once.
  virtual void Broadcast(TqdNotifyOp aOperation, void* aParam, const std::vector<qdString>& aIgnoreClasses);

  // Errors: the component's own exception class, naming the component.
  TqdComponentExceptionClass ExceptionClass() const { return ClassType().ResolveExceptionClass(); }
  // Raises when aErrorCode is not 0.
  virtual void CheckComponentError(TqdResult aErrorCode) const;
  [[noreturn]] void RaiseComponentError(TqdResult aErrorCode) const;
  [[noreturn]] void RaiseComponentError(qdStringView aMsg) const;
  [[noreturn]] void RaiseComponentError(qdStringView aMsg, TqdFormatArgs aArgs) const;
  [[noreturn]] void RaiseComponentError(TqdResult aErrorCode, qdStringView aMsg) const;
  [[noreturn]] void RaiseComponentError(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) const;

  // Description and identity.
  qdString GetDisplayName() const;
  void SetDisplayName(const qdString& aValue) { qdcDisplayName = aValue; }
  // Stored only when not empty and different (ignoring case) from both Name
  // and the class name.
  bool IsDisplayNameStored() const;
  const qdString& DisplayCategory() const { return qdcDisplayCategory; }
  void SetDisplayCategory(const qdString& aValue) { qdcDisplayCategory = aValue; }
  // "4.7501" and the build description; writing it is ignored.
  static qdString Version();
  // "SelfPtr" (the component ID), "ClassName", "DisplayName" when stored,
  // "DisplayCategory" when not empty, and a "Stats" container pairing the
  // statistics captions with their values.
  virtual void DescribeTo(IqdExceptionDataContainer* aContainer);
  void GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) override;
  TqdRef<IqdLifetimeMonitorRef> GetLifetimeMonitor();
  // The information object, made by CreateComponentInfo on first request
  // (published by compare-exchange).
  TqdRef<IqdComponentInfo31000> ComponentInfo();
  // For qdComponentInfoClassID without an outer object: the information
  // object asked for aInterfaceID (S_OK, or E_NOINTERFACE and nil). Any other
  // request: E_NOTIMPL and nil. aSession is handed on by the server engine
  // and not used here.
  virtual int32_t qdcCreateInstance(TqdObject* aSession, const TGUID& aClassID, IqdInterface* aOuter,
                                    const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface);
  // A number that stands for the component: never reused, never an
  // address. LookupByComponentID gives the component back while it exists
  // and is not being destroyed; otherwise it raises "Invalid ComponentID".
  uint64_t GetComponentID();
  static TqdComponent* LookupByComponentID(uint64_t aID);
  // For this class and then each ancestor, the registered component class
  // named class name + aSuffix; nil when none.
  const TqdComponentClass* FindClassRecursive(qdStringView aSuffix) const;
  virtual bool Supported() const { return true; }
  virtual bool UISettingsVisible() const { return true; }
  // True when GetStatsCaptions yields at least one line.
  virtual bool UIStatsVisible() const;
  virtual void GetStatsCaptions(std::vector<qdString>& aList) const;
  virtual void GetStatsValues(std::vector<qdString>& aList) const;
  virtual void ClearStats() {}
  virtual qdString GetDisplayOnlyValue(const qdString& aValueName) const;

  // Settings.
  virtual void GetConfigSettings(TqdBaseSettings* aSettings);
  virtual void LoadConfig(TqdBaseComponentConfiguration* aConfig);
  virtual void SaveConfig(TqdBaseComponentConfiguration* aConfig);
  // LoadConfig, then OnSettingsLoaded.
  void DoLoadConfig(TqdBaseComponentConfiguration* aConfig);
  const TqdNotifyEvent& OnSettingsLoaded() const { return qdcOnSettingsLoaded; }
  void SetOnSettingsLoaded(TqdNotifyEvent aEvent) { qdcOnSettingsLoaded = std::move(aEvent); }
  // Integer 1 and the Name; descendants append their own values.
  virtual void SaveSettingsToStream(TqdWriter& aWriter);
  // Integer 1 (else 15498) and the Name, which must be this component's.
  virtual void LoadSettingsFromStream(TqdReader& aReader);

  // True while the current notification run is the free notification.
  bool Destroying() const { return qdcDestroying.load(std::memory_order_relaxed); }

 protected:
  TqdListPadlock& DependentList() const { return *qdcDependentList; }
  virtual TqdRef<TqdComponentInfo> CreateComponentInfo();

  template <class T>
  static TqdComponent* CreateInstance(TqdComponent* aOwner) {
    return qdCreate<T>(aOwner);
  }

 private:
  [[noreturn]] void RaiseError(const TqdComponentError& aError) const;

  std::atomic<IqdLifetimeMonitorObject*> qdcLifetimeMonitor{nullptr};
  std::atomic<TqdComponentInfo*> qdcComponentInfo{nullptr};
  TqdNotifyEvent qdcOnSettingsLoaded;
  TqdListPadlock* qdcDependentList;
  std::atomic<bool> qdcDestroying{false};
  qdString qdcDisplayName;
  qdString qdcDisplayCategory;
  std::atomic<uint64_t> qdcComponentID{0};
  bool qdcBeforeDestructionDone = false;
};

struct TqdComponentDeleter {
  void operator()(TqdComponent* aComponent) const { qdFreeAndNil(aComponent); }
};
template <class T>
using TqdComponentPtr = std::unique_ptr<T, TqdComponentDeleter>;

// --- Iteration list ------------------------------------------------------------

// Components ordered by display name (the system's case-insensitive
// comparison), then by creation order; each once.
class TqdIterationList : public TqdSortedList {
 public:
  TqdIterationList() = default;

  // -1 when Accept refuses the component.
  int32_t Add(void* aItem) override;
  int32_t AddComponent(TqdComponent* aComponent) { return Add(aComponent); }
  TqdComponent* Components(int32_t aIndex) const { return static_cast<TqdComponent*>(Items(aIndex)); }
  bool Contains(TqdComponent* aComponent) { return IndexOf(aComponent) >= 0; }

  // Descendants filter by class; every component is taken here.
  virtual bool Accept(TqdComponent* /*aComponent*/) { return true; }
  int8_t slCompare(void* aItem1, void* aItem2) override;

  // Integer 2, then a list of (name, byte length, the component's own
  // settings) for every component with a name.
  void SaveSettingsToStream(TqdWriter& aWriter);
  // Reads that form, matching names without regard to case and skipping the
  // settings of names not in the list; also the older form 1 (names, then
  // the settings in that order; a missing name raises 15498).
  void LoadSetttingsFromStream(TqdReader& aReader);

  static TqdIterationList* CreateDefault() { return new TqdIterationList; }
};

// --- Registerable component and the class registry -----------------------------

class TqdRegisterableComponent : public TqdComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdRegisterableComponent(TqdComponent* aOwner) : TqdComponent(aOwner) {}

  // Adds aClass under its class name; a second registration raises the
  // class's exception class: "The class "<name>" is already registered".
  static void RegisterClass(const TqdComponentClass& aClass);
  // Removes aClass's entry; the registry goes when it is empty.
  static void UnregisterClass(const TqdComponentClass& aClass);
  // nil when none (or no registry).
  static const TqdComponentClass* FindRegisteredClass(qdStringView aClassName);
  // Name and class of every registered class that is aBase or descends from
  // it, in registry order.
  static void GetRegisteredClasses(const TqdComponentClass& aBase, TqdRegisteredClasses& aList);
};

// --- Logging -------------------------------------------------------------------

// The contract of an event log. The engine contains no concrete log; as long
// as none is attached, logging writes nothing.
class TqdBaseLog : public TqdRegisterableComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdBaseLog(TqdComponent* aOwner) : TqdRegisterableComponent(aOwner) {}

  bool Enabled();
  virtual void SetEnabled(bool aValue);
  virtual void Clear() {}
  virtual void Flush() {}
  virtual void WriteBlock(const qdString& S, const void* Buf, int32_t BufLen, uint32_t aMsgNumber,
                          TqdLogPriority aPriority, const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) = 0;
  virtual void WriteString(const qdString& aMsg, uint32_t aMsgNumber, TqdLogPriority aPriority,
                           const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) = 0;
  // Format(aMsg, aArgs), then as WriteString.
  void WriteString(const qdString& aMsg, TqdFormatArgs aArgs, uint32_t aMsgNumber, TqdLogPriority aPriority,
                   const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias);
  virtual void WriteStrings(const std::vector<qdString>& aMsgs, uint32_t aMsgNumber, TqdLogPriority aPriority,
                            const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) = 0;

 private:
  bool blEnabled = false;
};

// Time bias that marks "no time given" in log calls.
inline constexpr int32_t qdLogNoTimeBias = 0x0FFFFFFF;

class TqdLoggableComponent : public TqdRegisterableComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdLoggableComponent(TqdComponent* aOwner) : TqdRegisterableComponent(aOwner) {}

  virtual bool GetEventLogEnabled() const { return lcLogEnabled; }
  virtual void SetEventLogEnabled(bool aValue) { lcLogEnabled = aValue; }
  TqdBaseLog* EventLog() const { return lcEventLog; }
  // Unlinks the old log and links the new one; the component forgets the
  // log when the log sends its free notification.
  virtual void SetEventLog(TqdBaseLog* aLog);

  // Forwarded to the log when EventLogEnabled is True and a log is set.
  void lcLog(const qdString& aMsg, uint32_t aMsgNumber, TqdLogPriority aPriority, const qdString& aCategory,
             TDateTime aWhen, int32_t aWhenBias);
  void lcLog(const qdString& aMsg, TqdFormatArgs aArgs, uint32_t aMsgNumber, TqdLogPriority aPriority,
             const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias);
  void lcLog(const qdString& aMsg, const void* aData, int32_t aDataLen, uint32_t aMsgNumber, TqdLogPriority aPriority,
             const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias);
  void lcLogs(const std::vector<qdString>& aMsgs, uint32_t aMsgNumber, TqdLogPriority aPriority,
              const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias);

  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override;

 protected:
  TqdRef<TqdComponentInfo> CreateComponentInfo() override;

 private:
  TqdBaseLog* lcEventLog = nullptr;
  bool lcLogEnabled = false;
};

// --- State component -----------------------------------------------------------

enum TqdState : uint8_t { qdsInactive = 0, qdsUnsupported = 1, qdsStopped = 2, qdsStarted = 3 };

enum TqdStateTransition : uint8_t {
  qdstNone = 0,
  qdstInitializing = 1,
  qdstDeactivating = 2,
  qdstStarting = 3,
  qdstStopping = 4,
  qdstInvalid = 5,
};

// The state to step to next on the way from aCurrent to aTarget.
TqdState qdNextState(TqdState aCurrent, TqdState aTarget);
// The transition of a single step.
TqdStateTransition qdStateTransition(TqdState aCurrent, TqdState aNext);
// Initializing and Starting.
bool qdIsUpwardTransition(TqdStateTransition aTransition);
// "Inactive", "Unsupported", "Stopped", "Started".
qdString qdStateText(TqdState aState);
// "None", "Initializing", "Deactivating", "Starting", "Stopping", "Invalid".
qdString qdStateTransitionText(TqdStateTransition aTransition);

// The data of notifications 4 and 5: old state, new state, allow flag.
struct TqdStateChangeRecord {
  uint8_t scrOldState;
  uint8_t scrNewState;
  uint8_t scrAllow;
};

class TqdStateComponent : public TqdLoggableComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdStateComponent(TqdComponent* aOwner);

  // Goes down to Inactive, then the free notification.
  void BeforeDestruction() override;

  TqdState State() const { return scState; }
  TqdStateTransition StateTransition() const { return scStateTransition; }
  // Moves to aState one step at a time.
  virtual void SetState(TqdState aState);

  // Stopped or Started.
  virtual bool GetActive() const;
  // True requests Started; False requests Inactive unless Unsupported.
  virtual void SetActive(bool aValue);
  bool Connected() const { return GetActive(); }
  void SetConnected(bool aValue) { SetActive(aValue); }
  void Open() { SetActive(true); }
  void Connect() { SetActive(true); }
  void Close() { SetActive(false); }

  bool Enabled() const { return scEnabled; }
  // Turning it off first makes the component inactive.
  virtual void SetEnabled(bool aValue);
  bool ActiveRuntime() const { return scActiveRuntime; }
  // Stores the wish; unless loading, sets Active and stores the result.
  virtual void SetActiveRuntime(bool aValue);
  bool ActiveDesigntime() const { return scActiveDesigntime; }
  // Stored only: design mode never occurs at run time.
  virtual void SetActiveDesigntime(bool aValue);
  // Applies ActiveRuntime unless the component is already active.
  void Loaded() override;

  TDateTime StartTime() const { return scStartTime; }
  uint8_t SavedActive() const { return scSavedActive; }
  void SetSavedActive(uint8_t aValue) { scSavedActive = aValue; }
  const qdString& LastStartError() const { return scLastStartError; }
  // Activates the component when a loaded wish says so, then clears it.
  virtual void SwitchToSavedActive();

  const TqdNotifyEvent& OnStateChanged() const { return scOnStateChanged; }
  void SetOnStateChanged(TqdNotifyEvent aEvent) { scOnStateChanged = std::move(aEvent); }
  const TqdNotifyEvent& OnStateTransChanged() const { return scOnStateTransChanged; }
  void SetOnStateTransChanged(TqdNotifyEvent aEvent) { scOnStateTransChanged = std::move(aEvent); }

  // Whether this component needs aComponent to be at least as far up as
  // itself; False here.
  virtual bool DependsOn(TqdComponent* aComponent);

  virtual void CheckInactive();
  virtual void CheckInactiveOrStopped();
  virtual void CheckStarted();

  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override;

  void GetConfigSettings(TqdBaseSettings* aSettings) override;
  void LoadConfig(TqdBaseComponentConfiguration* aConfig) override;
  void SaveConfig(TqdBaseComponentConfiguration* aConfig) override;
  // After the component's values: integer 1, EventLogEnabled, Active.
  void SaveSettingsToStream(TqdWriter& aWriter) override;
  // After the component's values: integer 1 (else 15498), EventLogEnabled,
  // SavedActive.
  void LoadSettingsFromStream(TqdReader& aReader) override;

  // Adds "State" and "StateTransition".
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;
  void GetStatsCaptions(std::vector<qdString>& aList) const override;
  void GetStatsValues(std::vector<qdString>& aList) const override;
  virtual bool ShowUptime() const { return false; }
  virtual bool ShowLastStartError() const { return false; }
  virtual bool UIStateVisible() const { return true; }

 protected:
  TqdRef<TqdComponentInfo> CreateComponentInfo() override;

  // The work of the transitions; empty here.
  virtual void DoInitialize() {}
  virtual void DoDeactivate() {}
  virtual void DoStart() {}
  virtual void DoStop() {}
  virtual void EnteredStarted() {}
  virtual void EnteredStopped() {}

  // Announces a step; False when a dependent vetoed it.
  virtual bool StateChanging(TqdState aOld, TqdState aNew);
  virtual void StateChanged(TqdState aOld, TqdState aNew);
  virtual void StateTransitionChanged();
  // Reaction to a step of aSender (notifications 4 and 5).
  virtual void FollowStateChange(TqdStateComponent* aSender, bool aChanging, TqdState aNew, TqdState aOld);
  virtual bool ShouldFollowStateChange(TqdStateComponent* aSender, bool aChanging, TqdState aNew,
                                       TqdStateTransition aTransition);

 private:
  // One step towards aTarget; false when the request ends here.
  bool Step(TqdState aTarget);
  void RunTransition(TqdStateTransition aTransition);
  void SetStateTransition(TqdStateTransition aTransition);
  void HandleStateFailure(TqdState aOld, TqdState aNext, TqdState aTarget, const std::exception_ptr& aFailure);

  TDateTime scStartTime = 0;
  uint8_t scSavedActive = 0;
  bool scEnabled = true;
  bool scActiveRuntime = false;
  bool scActiveDesigntime = false;
  TqdState scState = qdsInactive;
  TqdStateTransition scStateTransition = qdstNone;
  TqdNotifyEvent scOnStateChanged;
  TqdNotifyEvent scOnStateTransChanged;
  qdString scLastStartError;
};

// --- Utilities -----------------------------------------------------------------

// The value with the locale's thousands separators and no decimals.
qdString qdFormatThousands(int64_t aValue);

// Installs the converted-exception log writer of the error unit.
void qdllComponentInitialize();
// Frees the class registry if classes were left registered.
void qdllComponentFinalize();

}  // namespace qd
