// Small components shared by the component tests: a log that keeps its
// lines, and a state component that records the work of its transitions.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "foundation/qdllComponent.h"

namespace qd::testing_support {

inline std::string U8(const qdString& aText) { return StringToUtf8(aText); }

struct LogLine {
  std::string text;
  uint32_t number;
  TqdLogPriority priority;
  std::string category;
  TDateTime when;
  int32_t bias;
};

class MemoryLog : public TqdBaseLog {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }
  explicit MemoryLog(TqdComponent* aOwner) : TqdBaseLog(aOwner) {}

  void WriteBlock(const qdString& S, const void* /*Buf*/, int32_t BufLen, uint32_t aMsgNumber, TqdLogPriority aPriority,
                  const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) override {
    lines.push_back(
        {U8(S) + " [" + std::to_string(BufLen) + " bytes]", aMsgNumber, aPriority, U8(aCategory), aWhen, aWhenBias});
  }
  void WriteString(const qdString& aMsg, uint32_t aMsgNumber, TqdLogPriority aPriority, const qdString& aCategory,
                   TDateTime aWhen, int32_t aWhenBias) override {
    lines.push_back({U8(aMsg), aMsgNumber, aPriority, U8(aCategory), aWhen, aWhenBias});
  }
  using TqdBaseLog::WriteString;
  void WriteStrings(const std::vector<qdString>& aMsgs, uint32_t aMsgNumber, TqdLogPriority aPriority,
                    const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) override {
    for (const qdString& msg : aMsgs) WriteString(msg, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
  }

  std::vector<LogLine> lines;
};

inline const TqdComponentClass MemoryLog::ClassInfo{
    {u"TqdMemoryLog", &TqdBaseLog::ClassInfo, nullptr}, TqdComponent::CreateInstance<MemoryLog>, nullptr};

// Records every transition's work, notification and event into a shared
// journal ("A.DoStart", "A.note 4 Inactive->Stopped from B", ...).
class Recorder : public TqdStateComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  Recorder(TqdComponent* aOwner, const qdString& aName, std::vector<std::string>* aJournal)
      : TqdStateComponent(aOwner), journal(aJournal) {
    SetName(aName);
  }

  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override {
    if ((aOperation == qdnoStateChanging || aOperation == qdnoStateChanged) && aData != nullptr) {
      auto* record = static_cast<TqdStateChangeRecord*>(aData);
      Note("note " + std::to_string(aOperation) + " " + U8(qdStateText(TqdState(record->scrOldState))) + "->" +
           U8(qdStateText(TqdState(record->scrNewState))) + " from " + U8(aSender->Name()));
      if (aOperation == qdnoStateChanging && vetoWith) vetoWith(*record);
    }
    TqdStateComponent::HandleNotification(aSender, aOperation, aData);
  }
  bool DependsOn(TqdComponent* aComponent) override {
    for (TqdComponent* c : dependsOn)
      if (c == aComponent) return true;
    return false;
  }

  std::vector<std::string>* journal;
  std::vector<TqdComponent*> dependsOn;
  // Called on notification 4 from another component; may veto.
  std::function<void(TqdStateChangeRecord&)> vetoWith;
  // The transition whose work raises, and what it raises.
  std::string failIn;
  std::function<void()> raise;

 protected:
  void DoInitialize() override { Work("DoInitialize"); }
  void DoDeactivate() override { Work("DoDeactivate"); }
  void DoStart() override { Work("DoStart"); }
  void DoStop() override { Work("DoStop"); }
  void EnteredStarted() override { Note("EnteredStarted"); }
  void EnteredStopped() override { Note("EnteredStopped"); }

 private:
  void Note(const std::string& aWhat) {
    if (journal != nullptr) journal->push_back(U8(Name()) + "." + aWhat);
  }
  void Work(const std::string& aWhat) {
    Note(aWhat);
    if (failIn == aWhat) {
      if (raise) raise();
      throw Exception(qdString(u"boom"));
    }
  }
};

inline const TqdComponentClass Recorder::ClassInfo{
    {u"TqdRecorder", &TqdStateComponent::ClassInfo, nullptr}, nullptr, nullptr};

}  // namespace qd::testing_support
