// Callback filters: a filter that asks a plain function of the caller.
//
// Classes: TqdCallbackFilterDescriptor (the function and its cookie; no
// stream form), TqdCallbackFilterEngine (registered); their exception
// classes.
//
// Ownership and threads: the cookie is the caller's and must outlive the
// engines built with it; the function is called on the thread that
// evaluates, so it must allow whatever sharing the caller does.
#pragma once

#include <cstdint>

#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdFilterEngineBase.h"

namespace qd {

// True when the buffer passes.
using TqdFilterCallback = bool (*)(void* aCookie, const uint8_t* aBuffer);

QD_DECLARE_EXCEPTION_CLASS(EqdCallbackFilterDescriptorException, EqdBaseFilterDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdCallbackFilterEngineException, EqdBaseFilterEngineException);

class TqdCallbackFilterDescriptor : public TqdBaseFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdCallbackFilterDescriptor(void* aCookie, TqdFilterCallback aCallback)
      : cbfdCallback(aCallback), cbfdCookie(aCookie) {}

  TqdFilterCallback Callback() const { return cbfdCallback; }
  void* Cookie() const { return cbfdCookie; }

 private:
  TqdFilterCallback cbfdCallback;
  void* cbfdCookie;
};

class TqdCallbackFilterEngine : public TqdBaseFilterEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // aDescriptor must be a TqdCallbackFilterDescriptor (EInvalidCast
  // otherwise).
  TqdCallbackFilterEngine(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource);

  TqdBaseFilterDescriptor* CreateDescriptor() override;
  // False only when the engine is active, a callback is set and it refuses
  // the buffer.
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  // Adds "Cookie" (whether one is set; its address is never shown).
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 private:
  TqdFilterCallback cbfeCallback = nullptr;
  void* cbfeCookie = nullptr;
};

void qdsdFilterEngineCallbackInitialize();
void qdsdFilterEngineCallbackFinalize();

}  // namespace qd
