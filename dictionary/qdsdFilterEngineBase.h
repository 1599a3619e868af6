// Filter engines: the evaluators built from filter descriptors. An engine is
// bound to a fields source (IqdFieldsSource) through which it reads the
// fields of the buffers it is given, and answers per buffer whether the
// buffer passes.
//
// Classes: TqdBaseFilterEngine (base of every filter engine), its class
// record TqdFilterEngineClass, exception EqdBaseFilterEngineException. The
// engine class of a descriptor class is found by name in the family's
// registry: the descriptor's class name with "Descriptor" replaced by
// "Engine".
//
// Calling order for a cursor: CreateFor, ActivateFilter, MatchesBuffer per
// candidate buffer, DeactivateFilter / ActivateFilter as the client switches
// the filter, RemoveFilter with the variable that holds the engine (or a
// hub, qdsdFilterEngineHub) to drop it. A key engine creates its filter with
// CreateFor, activates it and frees it itself.
//
// Ownership: an engine is owned by its caller or by a hub. The fields
// source is not owned and must outlive the engine.
//
// Threads: MatchesBuffer may be called by several threads at once on one
// engine (key engines of a cached dictionary are shared); engines keep no
// per-buffer state, and the SQL filter engine serialises its statement.
// Activation and removal are the owner's and not concurrent with
// evaluation.
//
// Filter IDs: an engine's TqdFilterID is a process-unique non-zero number
// handed out at construction (never an address); 0 means "any".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllTypes.h"

namespace qd {

class TqdBaseFilterEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseFilterEngineException, EqdBaseException);

// The class record of a filter engine: CreateInstance is the virtual
// constructor (descriptor, fields source).
using TqdFilterEngineClass =
    TqdDescriptorClassInfo<TqdBaseFilterEngine, const TqdBaseFilterDescriptor*, IqdFieldsSource*>;

// Set by a caller that scans with a filter, so that a loop over refused
// buffers can ask whether to stop; the engines never call it.
using TqdFilterCheckTimeOut = std::function<bool(TqdResult& aResult)>;

class TqdBaseFilterEngine : public TqdBaseRegisterableEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Keeps the fields source; the engine starts inactive.
  TqdBaseFilterEngine(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource);
  ~TqdBaseFilterEngine() override;

  // The engine for a descriptor, inactive; the caller owns it. An unknown
  // engine class raises 15503 "Unknown Filter engine: "<name>"".
  static TqdBaseFilterEngine* CreateFor(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource);

  // Drops the filter aFilterID from the engine held in aFilterVar: the
  // engine itself (aFilterVar becomes nil and the engine is freed), or for
  // a hub one of its members (aFilterVar may then become the remaining
  // member, or nil). 10050 when aFilterID is not there; nothing changes.
  [[nodiscard]] static TqdResult RemoveFilter(TqdBaseFilterEngine*& aFilterVar, TqdFilterID aFilterID);

  IqdFieldsSource* FieldsSource() const { return bfFieldsSource; }
  TqdFilterID FilterID() const { return bfFilterID; }
  bool Active() { return GetActive(); }

  virtual bool GetActive();
  virtual void SetActive(bool aValue);
  // An independent engine with the same filter and active state bound to
  // aFieldsSource; the caller owns it.
  virtual TqdBaseFilterEngine* Duplicate(IqdFieldsSource* aFieldsSource);
  // A new descriptor equal to the engine's; the caller owns it.
  virtual TqdBaseFilterDescriptor* CreateDescriptor() = 0;
  // True when the buffer passes.
  virtual bool MatchesBuffer(const uint8_t* aBuffer) = 0;
  // aFilterID neither 0 nor this engine: 10050; else switches the engine
  // on (off) and answers 0.
  [[nodiscard]] virtual TqdResult ActivateFilter(TqdFilterID aFilterID);
  [[nodiscard]] virtual TqdResult DeactivateFilter(TqdFilterID aFilterID);
  virtual void Disconnect();
  virtual bool IsEvalLocal();
  virtual bool IsEvalRemote();

  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

  const TqdFilterCheckTimeOut& CheckTimeOut() const { return kfCheckTimeOut; }
  void SetCheckTimeOut(TqdFilterCheckTimeOut aCheck, TqdResult* aResult) {
    kfCheckTimeOut = std::move(aCheck);
    kfResult = aResult;
  }
  TqdResult* CheckTimeOutResult() const { return kfResult; }

 protected:
  // The removal step of RemoveFilter: decides what goes and what aFilterVar
  // holds afterwards, and hands the engines to free in aFree (freed by
  // RemoveFilter after this returns, so that no engine frees itself).
  [[nodiscard]] virtual TqdResult ExtractFilter(TqdFilterID aFilterID, TqdBaseFilterEngine*& aFilterVar,
                                                std::vector<TqdBaseFilterEngine*>& aFree);

  IqdFieldsSource* bfFieldsSource;

 private:
  std::atomic<bool> bfActive{false};
  TqdFilterID bfFilterID;
  TqdFilterCheckTimeOut kfCheckTimeOut;
  TqdResult* kfResult = nullptr;
};

void qdsdFilterEngineBaseInitialize();
void qdsdFilterEngineBaseFinalize();

}  // namespace qd
