#include "dictionary/qdsdFilterDescriptorBase.h"

#include <exception>
#include <string>

#include "foundation/qdllWideString.h"
#include "platform/qdProcessProfile.h"

namespace qd {

namespace {

TqdClassRegistry* filterDescriptorRegistry = nullptr;
TqdClassRegistry** filterDescriptorFamily() { return &filterDescriptorRegistry; }

}  // namespace

const TqdFilterDescriptorClass TqdBaseFilterDescriptor::ClassInfo{
    {u"TqdBaseFilterDescriptor", &TqdBaseRegisterableDescriptor::ClassInfo, &filterDescriptorFamily}, nullptr};

TqdBaseFilterDescriptor::TqdBaseFilterDescriptor(TStream* /*aStream*/) {
  throw EqdBaseFilterDescriptorException(qdeNotSupported, u"%s can not be created from a stream", {ClassName()});
}

TqdResult TqdBaseFilterDescriptor::WriteToStream(TStream* /*aStream*/, int32_t /*aVersion*/) const {
  return EqdBaseException::qdSetMessage(qdeNotSupported, u"WriteToStream is not supported by %s", {ClassName()});
}

void TqdBaseFilterDescriptor::WriteClassName(TStream* aStream) const {
  const std::string name = qdWideStringToString(ClassName(), qdSystemAnsiCodePage());
  if (name.size() > 255) qdAssertFailed("qdsdFilterDescriptorBase", "a class name fits its length byte");
  const uint8_t length = static_cast<uint8_t>(name.size());
  aStream->WriteBuffer(&length, 1);
  aStream->WriteBuffer(name.data(), length);
}

TqdResult TqdBaseFilterDescriptor::CreateFromStream(TStream* aStream, TqdBaseFilterDescriptor*& aFilter) {
  aFilter = nullptr;
  uint8_t length = 0;
  std::string bytes;
  if (aStream->Read(&length, 1) != 1) return qdeInvalidParam;
  bytes.resize(length);
  if (aStream->Read(bytes.data(), length) != length) return qdeInvalidParam;
  try {
    qdString name;
    qdStringToWideString(bytes, name, qdSystemAnsiCodePage());
    const TqdFilterDescriptorClass* found = qdFindDescriptorClass(ClassInfo, name);
    if (found == nullptr) found = qdFindDescriptorClass(ClassInfo, name + u"Descriptor");
    if (found == nullptr)
      return EqdBaseException::qdSetMessage(qdeNotSupported, u"Filter descriptor not supported: %s", {name});
    if (found->CreateInstance == nullptr)
      throw EqdBaseFilterDescriptorException(qdeNotSupported, u"%s can not be created from a stream",
                                             {qdString(found->ClassName)});
    aFilter = found->Create(aStream);
    return 0;
  } catch (...) {
    return qdConvertException(std::current_exception());
  }
}

void qdsdFilterDescriptorBaseInitialize() {}

void qdsdFilterDescriptorBaseFinalize() {
  // Every filter unit removed its classes already; whatever is left goes
  // with the family.
  delete filterDescriptorRegistry;
  filterDescriptorRegistry = nullptr;
}

}  // namespace qd
