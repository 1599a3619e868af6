#include "server/qdsdRecordMapperDescriptorBase.h"

#include <memory>

namespace qd {

namespace {

TqdClassRegistry* recordMapperFamilyRegistry = nullptr;
TqdClassRegistry** recordMapperFamily() { return &recordMapperFamilyRegistry; }

// The client version the copy of a descriptor is written for.
constexpr int32_t kDuplicateClientVersion = 47501;

}  // namespace

const TqdBaseRecordMapperDescriptorClass TqdBaseRecordMapperDescriptor::ClassInfo{
    {u"TqdBaseRecordMapperDescriptor", &TqdBaseRegisterableDescriptor::ClassInfo, &recordMapperFamily},
    &qdNewDescriptor<TqdBaseRecordMapperDescriptor, TqdBaseRecordMapperDescriptor>};

void TqdBaseRecordMapperDescriptor::WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  aWriter.WriteIdent(ClassType().ClassName);
  WriteData(aWriter, aClientVersion);
}

TqdBaseRecordMapperDescriptor* TqdBaseRecordMapperDescriptor::CreateFromReader(TqdReader& aReader) {
  const qdString name = aReader.ReadIdent();
  const TqdBaseRecordMapperDescriptorClass* found = qdFindDescriptorClass(ClassInfo, name);
  if (found == nullptr)
    throw EqdBaseRecordMapperDescriptorException(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
                                                 {u"RecordMapperDescriptor", name});
  std::unique_ptr<TqdBaseRecordMapperDescriptor> result(found->Create());
  result->ReadData(aReader);
  return result.release();
}

TqdBaseRecordMapperDescriptor* TqdBaseRecordMapperDescriptor::Duplicate() const {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    WriteData(writer, kDuplicateClientVersion);
  }
  const auto& classInfo = static_cast<const TqdBaseRecordMapperDescriptorClass&>(ClassType());
  std::unique_ptr<TqdBaseRecordMapperDescriptor> result(classInfo.Create());
  stream.SetPosition(0);
  TqdReader reader(&stream);
  result->ReadData(reader);
  return result.release();
}

void TqdBaseRecordMapperDescriptor::WriteData(TqdWriter& aWriter, int32_t aClientVersion) const {
  (void)aClientVersion;  // passed through to nested descriptors only
  aWriter.WriteInteger(int32_t{1});
}

void TqdBaseRecordMapperDescriptor::ReadData(TqdReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EqdBaseRecordMapperDescriptorException(qdeIncompatibleStream);
}

}  // namespace qd
