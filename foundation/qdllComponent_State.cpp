// The state component's life cycle: the step tables, SetState and the way
// linked components follow each other's steps.
#include "foundation/qdllComponent.h"

#include <cxxabi.h>

#include <cmath>
#include <cstdlib>
#include <typeinfo>

#include "foundation/qdllStreams.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

// kNextState[current][target]: the state to step to.
constexpr TqdState kNextState[4][4] = {
    {qdsInactive, qdsUnsupported, qdsStopped, qdsStopped},
    {qdsUnsupported, qdsUnsupported, qdsUnsupported, qdsUnsupported},
    {qdsInactive, qdsInactive, qdsStopped, qdsStarted},
    {qdsStopped, qdsStopped, qdsStopped, qdsStarted},
};

// kTransition[current][next]: the work of one step.
constexpr TqdStateTransition kTransition[4][4] = {
    {qdstNone, qdstNone, qdstInitializing, qdstInvalid},
    {qdstInvalid, qdstNone, qdstInvalid, qdstInvalid},
    {qdstDeactivating, qdstInvalid, qdstNone, qdstStarting},
    {qdstInvalid, qdstInvalid, qdstStopping, qdstNone},
};

qdString twoDigits(int64_t aValue) {
  qdString text = AsciiToString(std::to_string(aValue));
  return aValue < 10 ? u"0" + text : text;
}

qdString exceptionClassName(const std::exception& aException) {
  const char* mangled = typeid(aException).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? std::string(demangled) : std::string(mangled);
  std::free(demangled);
  const size_t colon = name.rfind("::");
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return Utf8ToString(name);
}

qdString exceptionMessage(const std::exception& aException) {
  if (const auto* own = dynamic_cast<const Exception*>(&aException)) return own->Message();
  return Utf8ToString(aException.what());
}

}  // namespace

TqdState qdNextState(TqdState aCurrent, TqdState aTarget) { return kNextState[aCurrent & 3][aTarget & 3]; }

TqdStateTransition qdStateTransition(TqdState aCurrent, TqdState aNext) { return kTransition[aCurrent & 3][aNext & 3]; }

bool qdIsUpwardTransition(TqdStateTransition aTransition) {
  return aTransition == qdstInitializing || aTransition == qdstStarting;
}

qdString qdStateText(TqdState aState) {
  switch (aState) {
    case qdsInactive:
      return u"Inactive";
    case qdsUnsupported:
      return u"Unsupported";
    case qdsStopped:
      return u"Stopped";
    case qdsStarted:
      return u"Started";
  }
  return qdString();
}

qdString qdStateTransitionText(TqdStateTransition aTransition) {
  switch (aTransition) {
    case qdstNone:
      return u"None";
    case qdstInitializing:
      return u"Initializing";
    case qdstDeactivating:
      return u"Deactivating";
    case qdstStarting:
      return u"Starting";
    case qdstStopping:
      return u"Stopping";
    case qdstInvalid:
      return u"Invalid";
  }
  return qdString();
}

const TqdComponentClass TqdStateComponent::ClassInfo{{u"TqdStateComponent", &TqdLoggableComponent::ClassInfo, nullptr},
                                                     TqdComponent::CreateInstance<TqdStateComponent>,
                                                     qdRaiseComponentExceptionOf<EqdStateComponentException>};

TqdStateComponent::TqdStateComponent(TqdComponent* aOwner) : TqdLoggableComponent(aOwner) {}

void TqdStateComponent::BeforeDestruction() {
  SetActive(false);
  TqdLoggableComponent::BeforeDestruction();
}

// --- SetState ----------------------------------------------------------------------

void TqdStateComponent::SetStateTransition(TqdStateTransition aTransition) {
  scStateTransition = aTransition;
  StateTransitionChanged();
}

void TqdStateComponent::RunTransition(TqdStateTransition aTransition) {
  switch (aTransition) {
    case qdstNone:
      break;
    case qdstDeactivating:
      DoDeactivate();
      break;
    case qdstStopping:
      DoStop();
      break;
    case qdstInvalid:
      RaiseComponentError(u"Invalid state transition.");
    case qdstInitializing:
      if (!scEnabled) RaiseComponentError(u"The Component is disabled.");
      try {
        DoInitialize();
      } catch (...) {
        DoDeactivate();
        throw;
      }
      break;
    case qdstStarting:
      if (!scEnabled) RaiseComponentError(u"The Component is disabled.");
      try {
        DoStart();
      } catch (...) {
        DoStop();
        throw;
      }
      break;
  }
}

bool TqdStateComponent::Step(TqdState aTarget) {
  const TqdState old = scState;
  const TqdState next = kNextState[old][aTarget];
  const TqdStateTransition saved = scStateTransition;
  bool leave = false;
  std::exception_ptr failure;
  try {
    SetStateTransition(kTransition[old][next]);
    if (next == scState || !StateChanging(old, next)) {
      // Nothing to do, or vetoed: the request ends quietly where it is.
      leave = true;
    } else {
      if (saved != qdstNone) qdAssertFailed("qdllComponent", "a state step never starts inside another step");
      RunTransition(scStateTransition);
      if (scState != old) qdAssertFailed("qdllComponent", "the state did not change during the step's work");
      scState = next;
      StateChanged(old, next);
      if (scState == qdsStopped) {
        EnteredStopped();
      } else if (scState == qdsStarted) {
        EnteredStarted();
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    SetStateTransition(saved);
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (!failure) return !leave;
  // A request to become inactive always ends Inactive: the failure of a
  // step on the way down is swallowed and the step counts as taken.
  if (aTarget == qdsInactive) {
    scState = next;
    return true;
  }
  HandleStateFailure(old, next, aTarget, failure);
  return false;
}

void TqdStateComponent::HandleStateFailure(TqdState aOld, TqdState aNext, TqdState aTarget,
                                           const std::exception_ptr& aFailure) {
  qdString className = u"Exception";
  qdString message;
  try {
    std::rethrow_exception(aFailure);
  } catch (const std::exception& e) {
    className = exceptionClassName(e);
    message = exceptionMessage(e);
  } catch (...) {
    message = u"Unknown exception";
  }
  if (aTarget == qdsStarted) scLastStartError = message;
  // Also leaves the converted message pending for the thread.
  const TqdResult code = qdConvertException(aFailure, nullptr, this, 0);
  try {
    lcLog(u"Error while changing state (%s -> %s): %s: %s", {qdStateText(aOld), qdStateText(aNext), className, message},
          code, lpError, u"default", 0, qdLogNoTimeBias);
  } catch (...) {
    // A failing log must not hide the failure being reported.
  }
  try {
    SetState(qdsInactive);
  } catch (...) {
  }
  std::rethrow_exception(aFailure);
}

void TqdStateComponent::SetState(TqdState aState) {
  if (aState == qdsStarted && scState != qdsStarted) scLastStartError.clear();
  while (scState != aState)
    if (!Step(aState)) return;
}

// --- Announcing steps --------------------------------------------------------------

bool TqdStateComponent::StateChanging(TqdState aOld, TqdState aNew) {
  TqdStateChangeRecord record{aOld, aNew, 1};
  try {
    NotifyDependents(qdnoStateChanging, &record, nullptr);
  } catch (const EqdAbortStateChange&) {
    return false;
  }
  return record.scrAllow != 0;
}

void TqdStateComponent::StateChanged(TqdState aOld, TqdState aNew) {
  scActiveRuntime = aNew == qdsStarted;
  TqdStateChangeRecord record{aOld, aNew, 1};
  NotifyDependents(qdnoStateChanged, &record, nullptr);
  if (scOnStateChanged) scOnStateChanged(this);
  scStartTime = aNew == qdsStarted && aNew != aOld ? Now() : 0;
}

void TqdStateComponent::StateTransitionChanged() {
  if (scOnStateTransChanged) scOnStateTransChanged(this);
}

// --- Following other components ------------------------------------------------------

void TqdStateComponent::HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) {
  TqdLoggableComponent::HandleNotification(aSender, aOperation, aData);
  if ((aOperation != qdnoStateChanging && aOperation != qdnoStateChanged) || aData == nullptr) return;
  auto* sender = dynamic_cast<TqdStateComponent*>(aSender);
  if (sender == nullptr) return;
  const auto* record = static_cast<const TqdStateChangeRecord*>(aData);
  FollowStateChange(sender, aOperation == qdnoStateChanging, static_cast<TqdState>(record->scrNewState & 3),
                    static_cast<TqdState>(record->scrOldState & 3));
}

void TqdStateComponent::FollowStateChange(TqdStateComponent* aSender, bool aChanging, TqdState aNew, TqdState aOld) {
  if (scStateTransition != qdstNone) return;
  const TqdStateTransition theirs = kTransition[aOld][aNew];
  if (theirs == qdstNone || theirs == qdstInvalid) return;
  if (ShouldFollowStateChange(aSender, aChanging, aNew, theirs)) SetState(aNew);
}

bool TqdStateComponent::ShouldFollowStateChange(TqdStateComponent* aSender, bool aChanging, TqdState aNew,
                                                TqdStateTransition aTransition) {
  if (!aChanging) return false;
  const TqdStateTransition mine = kTransition[scState][kNextState[scState][aNew]];
  if (qdIsUpwardTransition(aTransition)) return qdIsUpwardTransition(mine) && aSender->DependsOn(this);
  return !qdIsUpwardTransition(mine) && DependsOn(aSender);
}

bool TqdStateComponent::DependsOn(TqdComponent* /*aComponent*/) { return false; }

// --- Activity ------------------------------------------------------------------------

bool TqdStateComponent::GetActive() const { return scState == qdsStopped || scState == qdsStarted; }

void TqdStateComponent::SetActive(bool aValue) {
  if (aValue) {
    SetState(qdsStarted);
  } else if (scState != qdsUnsupported) {
    SetState(qdsInactive);
  }
}

void TqdStateComponent::SetEnabled(bool aValue) {
  if (aValue == scEnabled) return;
  if (!aValue) SetActive(false);
  scEnabled = aValue;
}

void TqdStateComponent::SetActiveRuntime(bool aValue) {
  scActiveRuntime = aValue;
  if (IsLoading()) return;
  try {
    SetActive(aValue);
  } catch (...) {
    scActiveRuntime = GetActive();
    throw;
  }
  scActiveRuntime = GetActive();
}

void TqdStateComponent::SetActiveDesigntime(bool aValue) { scActiveDesigntime = aValue; }

void TqdStateComponent::Loaded() {
  TqdLoggableComponent::Loaded();
  if (!GetActive()) SetActive(scActiveRuntime);
}

void TqdStateComponent::SwitchToSavedActive() {
  if (scSavedActive != 0) SetActive(true);
  scSavedActive = 0;
}

void TqdStateComponent::CheckInactive() {
  if (!GetActive()) return;
  if (IsUpdating()) {
    SetActive(false);
  } else {
    RaiseComponentError(u"This component must be inactive when performing this operation.");
  }
}

void TqdStateComponent::CheckInactiveOrStopped() {
  if (scState != qdsStarted) return;
  if (IsUpdating()) {
    SetState(qdsStopped);
  } else {
    RaiseComponentError(u"This component must be inactive or stopped when performing this operation.");
  }
}

void TqdStateComponent::CheckStarted() {
  if (scState != qdsStarted && IsUpdating()) SetActive(true);
  if (scState != qdsStarted) RaiseComponentError(u"This component must be started when performing this operation.");
}

// --- Information -----------------------------------------------------------------------

TqdState TqdStateComponentInfo::GetState() {
  TqdPadlockGuard guard(ciLock);
  auto* state = dynamic_cast<TqdStateComponent*>(ciComponent);
  return state != nullptr ? state->State() : qdsInactive;
}

TqdRef<TqdComponentInfo> TqdStateComponent::CreateComponentInfo() { return qdMakeRef<TqdStateComponentInfo>(this); }

// --- Settings and description ------------------------------------------------------

void TqdStateComponent::GetConfigSettings(TqdBaseSettings* aSettings) {
  TqdLoggableComponent::GetConfigSettings(aSettings);
  for (const char16_t* name : {u"Active", u"EventLogEnabled"}) {
    auto* setting = new TqdBaseSetting;
    setting->SetName(name);
    setting->SetSettingType(qdstBoolean);
    setting->SetDefaultValue(TqdVariant(qdString(u"false")));
    setting->SetPropertyName(name);
    aSettings->AddSetting(setting);
  }
}

void TqdStateComponent::SaveConfig(TqdBaseComponentConfiguration* aConfig) {
  TqdLoggableComponent::SaveConfig(aConfig);
  aConfig->SetValue(u"EventLogEnabled", TqdVariant(GetEventLogEnabled()));
  aConfig->SetValue(u"Active", TqdVariant(GetActive()));
}

void TqdStateComponent::LoadConfig(TqdBaseComponentConfiguration* aConfig) {
  TqdLoggableComponent::LoadConfig(aConfig);
  SetEventLogEnabled(aConfig->GetValue(u"EventLogEnabled", TqdVariant(GetEventLogEnabled())).AsBoolean());
  scSavedActive = aConfig->GetValue(u"Active", TqdVariant(scSavedActive != 0)).AsBoolean() ? 1 : 0;
}

void TqdStateComponent::SaveSettingsToStream(TqdWriter& aWriter) {
  TqdLoggableComponent::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(GetEventLogEnabled());
  aWriter.WriteBoolean(GetActive());
}

void TqdStateComponent::LoadSettingsFromStream(TqdReader& aReader) {
  TqdLoggableComponent::LoadSettingsFromStream(aReader);
  if (aReader.ReadInteger() != 1) throw EqdComponentException(this, qdeIncompatibleStream);
  SetEventLogEnabled(aReader.ReadBoolean());
  scSavedActive = aReader.ReadBoolean() ? 1 : 0;
}

void TqdStateComponent::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdLoggableComponent::DescribeTo(aContainer);
  aContainer->AddString(u"State", qdStateText(scState));
  aContainer->AddString(u"StateTransition", qdStateTransitionText(scStateTransition));
}

void TqdStateComponent::GetStatsCaptions(std::vector<qdString>& aList) const {
  TqdLoggableComponent::GetStatsCaptions(aList);
  if (ShowUptime()) aList.emplace_back(u"Uptime");
  if (ShowLastStartError()) aList.emplace_back(u"Last Start Error");
}

void TqdStateComponent::GetStatsValues(std::vector<qdString>& aList) const {
  TqdLoggableComponent::GetStatsValues(aList);
  if (ShowUptime()) {
    qdString uptime;
    if (scState == qdsStarted && scStartTime != 0) {
      const double elapsed = std::max(0.0, Now() - scStartTime);
      const auto totalSeconds = static_cast<int64_t>(std::floor(elapsed * 86400.0 + 0.5));
      const int64_t days = totalSeconds / 86400;
      const int64_t rest = totalSeconds % 86400;
      uptime = AsciiToString(std::to_string(days)) + u"." + twoDigits(rest / 3600) + u":" + twoDigits(rest / 60 % 60) +
               u":" + twoDigits(rest % 60);
    }
    aList.push_back(uptime);
  }
  if (ShowLastStartError()) aList.push_back(scLastStartError);
}

}  // namespace qd
