#include "dictionary/qdsdKeyEngineInt64.h"

#include <cstring>

#include "platform/qdLittleEndian.h"

namespace qd {

namespace {

TqdBaseKeyEngine* createInt64Engine(TqdBaseKeyDescriptor* aDescriptor) { return new TqdInt64KeyEngine(aDescriptor); }

int8_t relation(int64_t a, int64_t b) { return a < b ? -1 : (b < a ? 1 : 0); }

}  // namespace

// In the class tree of the registry the engine descends from the base key
// engine, as its descriptor does from the base key descriptor.
const TqdKeyEngineClass TqdInt64KeyEngine::ClassInfo{
    {u"TqdInt64KeyEngine", &TqdBaseKeyEngine::ClassInfo, nullptr}, createInt64Engine, TqdInt64KeyEngine::CheckValid};

TqdInt64KeyEngine::TqdInt64KeyEngine(TqdBaseKeyDescriptor* aDescriptor) : TqdRefKeyEngine(aDescriptor, u"Int64") {}

void TqdInt64KeyEngine::CheckValid(TqdBaseKeyDescriptor* aDescriptor) {
  if (dynamic_cast<TqdInt64KeyDescriptor*>(aDescriptor) == nullptr) throw EInvalidCast();
}

TqdResult TqdInt64KeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr /*aRefNr*/,
                                      bool /*aIgnoreFilter*/) {
  if (aRecord == nullptr || aKey == nullptr) return qdeInvalidParam;
  std::memcpy(aKey, aRecord, 8);
  return qdeSuccess;
}

int8_t TqdInt64KeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr /*aRefNr*/,
                                             int32_t /*aFieldCount*/, int32_t /*aPartialLen*/) {
  return relation(qdGetI64(aKey), qdGetI64(aRecord));
}

int8_t TqdInt64KeyEngine::CompareRecord(const uint8_t* aRecord1, TqdRefNr /*aRefNr1*/, const uint8_t* aRecord2,
                                        TqdRefNr /*aRefNr2*/, int32_t /*aFieldCount*/, int32_t /*aPartialLen*/) {
  return relation(qdGetI64(aRecord1), qdGetI64(aRecord2));
}

void qdsdKeyEngineInt64Initialize() { TqdBaseRegisterableEngine::RegisterEngine(TqdInt64KeyEngine::ClassInfo); }

void qdsdKeyEngineInt64Finalize() { TqdBaseRegisterableEngine::UnregisterEngine(TqdInt64KeyEngine::ClassInfo); }

}  // namespace qd
