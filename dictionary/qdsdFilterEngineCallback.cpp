#include "dictionary/qdsdFilterEngineCallback.h"

namespace qd {

const TqdFilterDescriptorClass TqdCallbackFilterDescriptor::ClassInfo{
    {u"TqdCallbackFilterDescriptor", &TqdBaseFilterDescriptor::ClassInfo, nullptr}, nullptr};
const TqdFilterEngineClass TqdCallbackFilterEngine::ClassInfo{
    {u"TqdCallbackFilterEngine", &TqdBaseFilterEngine::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFilterEngine, TqdCallbackFilterEngine, const TqdBaseFilterDescriptor*, IqdFieldsSource*>};

TqdCallbackFilterEngine::TqdCallbackFilterEngine(const TqdBaseFilterDescriptor* aDescriptor,
                                                 IqdFieldsSource* aFieldsSource)
    : TqdBaseFilterEngine(aDescriptor, aFieldsSource) {
  auto* descriptor = dynamic_cast<const TqdCallbackFilterDescriptor*>(aDescriptor);
  if (descriptor == nullptr) throw EInvalidCast();
  cbfeCallback = descriptor->Callback();
  cbfeCookie = descriptor->Cookie();
}

TqdBaseFilterDescriptor* TqdCallbackFilterEngine::CreateDescriptor() {
  return new TqdCallbackFilterDescriptor(cbfeCookie, cbfeCallback);
}

bool TqdCallbackFilterEngine::MatchesBuffer(const uint8_t* aBuffer) {
  return !GetActive() || cbfeCallback == nullptr || cbfeCallback(cbfeCookie, aBuffer);
}

void TqdCallbackFilterEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseFilterEngine::DescribeTo(aContainer);
  aContainer->AddBoolean(u"Cookie", cbfeCookie != nullptr);
}

void qdsdFilterEngineCallbackInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdCallbackFilterDescriptor::ClassInfo);
  TqdBaseRegisterableEngine::RegisterEngine(TqdCallbackFilterEngine::ClassInfo);
}

void qdsdFilterEngineCallbackFinalize() {
  TqdBaseRegisterableEngine::UnregisterEngine(TqdCallbackFilterEngine::ClassInfo);
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdCallbackFilterDescriptor::ClassInfo);
}

}  // namespace qd
