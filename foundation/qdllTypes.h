// Persistent engine objects, the registries by which a class name found in a
// stored dictionary or a request becomes a class, the configuration classes
// through which components describe, load and save their settings, and the
// list of session notifiers that learn when a session was disconnected.
//
// Classes by name. A class that can be chosen by name has one constant
// TqdClassInfo record: its exact class name (compared without regard to
// ASCII case, since it is written to streams), its parent (for
// InheritsFrom), and, on the base class of a family, the family's registry
// variable (GetList). Each family derives its own record from TqdClassInfo to
// carry a typed factory. Registries are filled by explicit start-up calls of
// the units that define the classes and emptied at shut-down; they have no
// lock (registration runs on the thread that starts and stops the engine,
// lookups afterwards).
//
//   TqdClassInfo          name, parent, family registry
//   TqdClassRegistry      sorted (name -> class) entries, one class may
//                         appear under several names (aliases)
//   TqdPersistent         base of engines and descriptors; describes itself
//                         into exception data
//   TqdLifetimeTrackedPersistent   adds a lifetime monitor
//   TqdBaseRegisterableEngine, TqdBaseRegisterableDescriptor
//                         family registries of engines and descriptors
//
// Configuration: TqdSettingType, TqdBaseSetting, TqdBaseSettings (abstract
// list, owns its settings), TqdBaseComponentConfiguration (accessors that do
// nothing here; the SQL layer's configuration implements them),
// TqdBaseServerConfiguration.
//
// Session notifications: IqdSessionNotifier (what a listener implements),
// IqdSessionNotifications, TqdSessionNotifications (lives inside a session;
// its list and cookie map are guarded by snPadlock), TqdSessionNotifierItem.
// A registration cookie is a random 128-bit token looked up in the
// notifications object's map; an unknown cookie is ignored.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/qdllException.h"
#include "foundation/qdllExceptionData.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllThreadAnnotations.h"
#include "platform/qdGuid.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdClassRegistry;
class TStream;

// --- Classes by name -----------------------------------------------------------

struct TqdClassInfo {
  // The name streams and registries know the class by, e.g. u"TqdKeyEngine".
  std::u16string_view ClassName;
  // nil for the root of a hierarchy.
  const TqdClassInfo* Parent = nullptr;
  // The family's registry variable, set on the family's base class; its
  // members inherit it. nil on classes without a family of their own.
  TqdClassRegistry** (*GetList)() = nullptr;

  // True for this class and every class it descends from.
  bool InheritsFrom(const TqdClassInfo& aClass) const;
  // The registry variable of this class's family; raises EAssertionFailed
  // for a class outside every family.
  TqdClassRegistry*& FamilyList() const;
};

struct TqdRegisteredClass {
  qdString Name;
  const TqdClassInfo* Class;
};
using TqdRegisteredClasses = std::vector<TqdRegisteredClass>;

// True when the two names are equal after ASCII case folding.
bool qdSameClassName(qdStringView aName1, qdStringView aName2);
// aName with every "Descriptor", in any letter case, replaced by
// aReplacement: the name of the engine class built for a descriptor class.
qdString qdEngineNameFor(qdStringView aDescriptorClassName, qdStringView aReplacement = u"Engine");

// Entries sorted by name without regard to ASCII case; each name once.
class TqdClassRegistry : public TqdObject {
 public:
  // Raises the string-list duplicate error when the name is present.
  void Add(qdStringView aName, const TqdClassInfo& aClass);
  // nil when absent.
  const TqdClassInfo* Find(qdStringView aName) const;
  // Removes every entry holding aClass, from the last to the first; returns
  // how many went.
  int32_t RemoveClass(const TqdClassInfo& aClass);
  int32_t Count() const { return static_cast<int32_t>(crEntries.size()); }
  const TqdRegisteredClasses& Entries() const { return crEntries; }

 private:
  // The insertion point, and whether the name is there.
  bool Locate(qdStringView aName, size_t& aIndex) const;

  TqdRegisteredClasses crEntries;
};

// Adds aClass under aName to the registry in aList, creating it first.
void qdRegisterClassIn(TqdClassRegistry*& aList, qdStringView aName, const TqdClassInfo& aClass);
// Removes every entry of aClass; frees the registry when it is empty.
void qdUnregisterClassFrom(TqdClassRegistry*& aList, const TqdClassInfo& aClass);
// nil when there is no such name or no registry.
const TqdClassInfo* qdFindClassIn(const TqdClassRegistry* aList, qdStringView aName);

// --- Persistent objects --------------------------------------------------------

// Base of engines and descriptors. Instances live on the engine allocator;
// they are owned by whoever created them, never reference-counted.
class TqdPersistent : public TqdObject, public IqdExceptionData {
 public:
  static const TqdClassInfo ClassInfo;
  virtual const TqdClassInfo& ClassType() const { return ClassInfo; }
  qdString ClassName() const { return qdString(ClassType().ClassName); }
  bool InheritsFrom(const TqdClassInfo& aClass) const { return ClassType().InheritsFrom(aClass); }

  // Adds "SelfPtr" (the object's id) and "ClassName"; descendants add their
  // own values after their parent's.
  virtual void DescribeTo(IqdExceptionDataContainer* aContainer);
  void GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) override;

  // Leaves "<method> not supported by <class>" (method "Method" when empty)
  // for code 12289 on the thread and returns 12289.
  [[nodiscard]] TqdResult NotSupportedError(qdStringView aMethodName) const;

  // A process-unique number standing for the object in diagnostics, handed
  // out on first request (addresses are never shown).
  uint64_t ObjectID() const;

 private:
  mutable std::atomic<uint64_t> pObjectID{0};
};

class TqdLifetimeTrackedPersistent : public TqdPersistent {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  ~TqdLifetimeTrackedPersistent() override;
  // The monitor is made on first request (published by compare-exchange).
  TqdRef<IqdLifetimeMonitorRef> GetLifetimeMonitor();
  // Marks the monitor dead before the destructors run (qdFreeAndNil); the
  // destructor does it for an object deleted directly.
  void BeforeDestruction() override;

 private:
  std::atomic<IqdLifetimeMonitorObject*> ltpLifetimeMonitor{nullptr};
};

// Base of every engine family. The family's base class sets GetList in its
// TqdClassInfo; the operations take the class they are called on.
class TqdBaseRegisterableEngine : public TqdPersistent {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Under aName, or under the class name when aName is empty; a name already
  // present raises the string-list duplicate error.
  static void RegisterEngine(const TqdClassInfo& aClass, qdStringView aName = {});
  // Removes the class's own name and its aliases; frees the registry when
  // it is empty.
  static void UnregisterEngine(const TqdClassInfo& aClass);
  // nil when the name is unknown or the family has no registry.
  static const TqdClassInfo* FindEngineClass(const TqdClassInfo& aFamily, qdStringView aName);
  // The registry in name order; without aliases, the entries whose name
  // differs from their class's name are left out.
  static void GetRegisteredEngines(const TqdClassInfo& aFamily, TqdRegisteredClasses& aList, bool aIncludeAliases);
};

class TqdBaseRegisterableDescriptor : public TqdLifetimeTrackedPersistent {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  static void RegisterDescriptor(const TqdClassInfo& aClass, qdStringView aName = {});
  static void UnregisterDescriptor(const TqdClassInfo& aClass);
  static const TqdClassInfo* FindDescriptorClass(const TqdClassInfo& aFamily, qdStringView aName);
  static void GetRegisteredDescriptors(const TqdClassInfo& aFamily, TqdRegisteredClasses& aList, bool aIncludeAliases);
};

// --- Configuration -------------------------------------------------------------

enum TqdSettingType : uint8_t {
  qdstString,
  qdstInteger,
  qdstBoolean,
  qdstStream,
  qdstList,
  qdstThreadPriority,
  qdstSingleOption,
  qdstMultiOption,
  qdstAliases,
  qdstUsers,
  qdstExtended,
  qdstPasswordString,
  qdstCaption,
  qdstMemo,
  qdstPasswordMemo,
};

// The description of one setting of a component.
class TqdBaseSetting : public TqdObject {
 public:
  bool EnforceValues() const { return fEnforceValues; }
  void SetEnforceValues(bool aValue) { fEnforceValues = aValue; }
  const TqdVariant& DefaultValue() const { return fDefaultValue; }
  void SetDefaultValue(const TqdVariant& aValue) { fDefaultValue = aValue; }
  const TqdVariant& Min() const { return fMin; }
  void SetMin(const TqdVariant& aValue) { fMin = aValue; }
  const TqdVariant& Max() const { return fMax; }
  void SetMax(const TqdVariant& aValue) { fMax = aValue; }
  const qdString& ValueList() const { return fValueList; }
  void SetValueList(const qdString& aValue) { fValueList = aValue; }
  const qdString& PropertyName() const { return fPropertyName; }
  void SetPropertyName(const qdString& aValue) { fPropertyName = aValue; }
  const qdString& Name() const { return fName; }
  void SetName(const qdString& aValue) { fName = aValue; }
  const qdString& Hint() const { return fHint; }
  void SetHint(const qdString& aValue) { fHint = aValue; }
  TqdSettingType SettingType() const { return fSettingType; }
  void SetSettingType(TqdSettingType aValue) { fSettingType = aValue; }
  // The label when set, else the name with a blank before every further
  // upper-case ASCII letter ("EventLogEnabled" -> "Event Log Enabled").
  qdString _Label() const;
  void Set_Label(const qdString& aValue) { fLabel = aValue; }
  bool HideFromGUI() const { return fHideFromGUI; }
  void SetHideFromGUI(bool aValue) { fHideFromGUI = aValue; }
  bool NotQueryable() const { return fNotQueryable; }
  void SetNotQueryable(bool aValue) { fNotQueryable = aValue; }

 private:
  bool fEnforceValues = false;
  TqdVariant fDefaultValue;
  TqdVariant fMin;
  TqdVariant fMax;
  qdString fValueList;
  qdString fPropertyName;
  qdString fName;
  qdString fHint;
  TqdSettingType fSettingType = qdstString;
  qdString fLabel;
  bool fHideFromGUI = false;
  bool fNotQueryable = false;
};

// The abstract list of settings; it owns the settings added to it.
class TqdBaseSettings : public TqdObject {
 public:
  virtual TqdBaseSetting* GetSetting(int32_t anIndex) = 0;
  // Replaces (and frees) the setting at anIndex.
  virtual void SetSetting(int32_t anIndex, TqdBaseSetting* aValue) = 0;
  // Takes ownership of aSetting and returns it.
  virtual TqdBaseSetting* AddSetting(TqdBaseSetting* aSetting) = 0;
  virtual void RemoveSetting(int32_t anIndex) = 0;
  virtual int32_t Count() = 0;
};

class TqdBaseServerConfiguration;

// One component's stored values. The accessors do nothing at this level.
class TqdBaseComponentConfiguration : public TqdObject {
 public:
  explicit TqdBaseComponentConfiguration(TqdBaseServerConfiguration* aConfig) : fConfig(aConfig) {}

  TqdBaseServerConfiguration* Config() const { return fConfig; }

  virtual void SetValueStream(const qdString& aName, TStream* aStream);
  virtual void GetValueStream(const qdString& aName, TStream* aStream);
  virtual void SetValue(const qdString& aName, const TqdVariant& aValue);
  // aDefault here.
  virtual TqdVariant GetValue(const qdString& aName, const TqdVariant& aDefault);

 private:
  TqdBaseServerConfiguration* fConfig;
};

class TqdBaseServerConfiguration : public TqdObject {
 public:
  explicit TqdBaseServerConfiguration(const qdString& aFileName) : fFileName(aFileName) {}

  bool ReportErrors() const { return fReportErrors; }
  void SetReportErrors(bool aValue) { fReportErrors = aValue; }
  const qdString& FileName() const { return fFileName; }
  const qdString& Errors() const { return fConfigErrors; }
  // Appended by components that report what they could not load.
  void AddError(const qdString& aText) { fConfigErrors += aText; }

  virtual void EnsureComponentConfiguration(const qdString& aComponent, TqdBaseSettings* aSettings) = 0;
  virtual TqdBaseComponentConfiguration* GetComponentConfiguration(const qdString& aComponent) = 0;
  virtual void Save() = 0;

 protected:
  bool fReportErrors = false;
  qdString fFileName;
  qdString fConfigErrors;
};

// --- Session notifications -----------------------------------------------------

// Told once when the session it registered with is disconnected.
class IqdSessionNotifier : public virtual IqdInterface {
 public:
  virtual void SessionDisconnected() = 0;

 protected:
  ~IqdSessionNotifier() = default;
};

class IqdSessionNotifications {
 public:
  // The registration cookie, a random token; the zero GUID for nil.
  virtual TGUID RegisterNotifier(IqdSessionNotifier* aNotifier) = 0;
  // An unknown or already used cookie is ignored.
  virtual void UnregisterNotifier(const TGUID& aCookie) = 0;

 protected:
  ~IqdSessionNotifications() = default;
};

class TqdSessionNotifications;

struct TqdSessionNotifierItem {
  uint32_t sniTickCount = 0;  // registration tick; 0 once being removed
  TqdSessionNotifications* sniParent = nullptr;
  TqdSessionNotifierItem* sniNext = nullptr;
  TqdSessionNotifierItem* sniPrev = nullptr;
  TqdRef<IqdSessionNotifier> sniNotifier;
  TGUID sniCookie;
};

// Part of a session object, which owns it; notifiers are told in
// registration order.
class TqdSessionNotifications final : public TqdObject, public IqdSessionNotifications {
 public:
  TqdSessionNotifications() = default;
  // Tells every notifier still registered.
  ~TqdSessionNotifications() override;

  TGUID RegisterNotifier(IqdSessionNotifier* aNotifier) override;
  void UnregisterNotifier(const TGUID& aCookie) override;
  // Tells each registered notifier, first to last, outside the lock; an
  // exception of a notifier is swallowed so that every notifier is told.
  void Disconnected();

  int32_t Count();

 private:
  struct CookieHash {
    size_t operator()(const TGUID& aCookie) const noexcept;
  };

  void Unlink(TqdSessionNotifierItem* aItem) QD_REQUIRES(snPadlock);

  TqdPadlock snPadlock;
  TqdSessionNotifierItem* snHead QD_GUARDED_BY(snPadlock) = nullptr;
  TqdSessionNotifierItem* snTail QD_GUARDED_BY(snPadlock) = nullptr;
  std::unordered_map<TGUID, TqdSessionNotifierItem*, CookieHash> snItems QD_GUARDED_BY(snPadlock);
};

// The monitor in aField, made and published on first request; the field
// holds the tracked object's own reference.
TqdRef<IqdLifetimeMonitorRef> qdGetLifetimeMonitorOf(std::atomic<IqdLifetimeMonitorObject*>& aField);

// A new random cookie from getrandom, never zero.
TGUID qdNewNotifierCookie();
bool qdIsZeroGuid(const TGUID& aGuid);

}  // namespace qd
