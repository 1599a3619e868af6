// Filter hubs: several filters combined, a buffer passing only when every
// member lets it pass. A cursor that holds one filter and receives a second
// makes a hub of the two and appends further ones.
//
// Classes: TqdFilterDescriptorHub (owned member descriptors; no stream
// form), TqdFilterEngineHub (owned member engines; registered); their
// exception classes.
//
// Ownership: a hub owns its members and frees them, from the last to the
// first, when it goes. Removing a member through
// TqdBaseFilterEngine::RemoveFilter may dissolve the hub: with one member
// left the caller's variable receives that member and the hub is freed;
// with none left the variable becomes nil.
//
// Threads: as every filter engine (qdsdFilterEngineBase); membership changes
// are the owner's and never concurrent with evaluation.
#pragma once

#include <cstdint>
#include <vector>

#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdFilterEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdFilterDescriptorHubException, EqdBaseFilterDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdFilterEngineHubException, EqdBaseFilterEngineException);

class TqdFilterDescriptorHub : public TqdBaseFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdFilterDescriptorHub() = default;
  ~TqdFilterDescriptorHub() override;

  int32_t FilterCount() const { return static_cast<int32_t>(fdhList.size()); }
  // aInx in 0..FilterCount-1 (9999 otherwise).
  TqdBaseFilterDescriptor* fdhGetFilter(int32_t aInx) const;
  // Takes ownership.
  void AddFilter(TqdBaseFilterDescriptor* aFilter);
  // Free the member; it must be in the hub.
  void RemoveFilter(int32_t aInx);
  void RemoveFilter(TqdBaseFilterDescriptor* aFilter);

  // Adds every member as "Filters[<index>]".
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 private:
  std::vector<TqdBaseFilterDescriptor*> fdhList;
};

class TqdFilterEngineHub : public TqdBaseFilterEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // With a descriptor (which must be a TqdFilterDescriptorHub, EInvalidCast
  // otherwise) an engine is made for each member in order; without one the
  // hub starts empty.
  TqdFilterEngineHub(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource);
  // A hub of two engines (taking ownership of both) on aFilter1's source.
  TqdFilterEngineHub(TqdBaseFilterEngine* aFilter1, TqdBaseFilterEngine* aFilter2);
  ~TqdFilterEngineHub() override;

  int32_t FilterCount() const { return static_cast<int32_t>(fehList.size()); }
  TqdBaseFilterEngine* fehGetFilter(int32_t aInx) const;
  // Takes ownership; the member's filter ID is its engine's.
  void AddFilter(TqdBaseFilterEngine* aFilter);

  // True when any member is active (evaluates locally, remotely).
  bool GetActive() override;
  bool IsEvalLocal() override;
  bool IsEvalRemote() override;
  TqdBaseFilterEngine* Duplicate(IqdFieldsSource* aFieldsSource) override;
  TqdBaseFilterDescriptor* CreateDescriptor() override;
  // Members in order; the first refusal is the answer. An empty hub passes
  // everything.
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  // 0 switches every member; a member's ID switches that member only;
  // 10050 when no member took it. The hub's own flag stays.
  [[nodiscard]] TqdResult ActivateFilter(TqdFilterID aFilterID) override;
  [[nodiscard]] TqdResult DeactivateFilter(TqdFilterID aFilterID) override;
  void Disconnect() override;

 protected:
  [[nodiscard]] TqdResult ExtractFilter(TqdFilterID aFilterID, TqdBaseFilterEngine*& aFilterVar,
                                        std::vector<TqdBaseFilterEngine*>& aFree) override;

 private:
  std::vector<TqdBaseFilterEngine*> fehList;
};

void qdsdFilterEngineHubInitialize();
void qdsdFilterEngineHubFinalize();

}  // namespace qd
