#include "server/qdsdFieldMapperDescriptor.h"

#include <memory>

namespace qd {

namespace {

TqdClassRegistry* fieldMapperFamilyRegistry = nullptr;
TqdClassRegistry** fieldMapperFamily() { return &fieldMapperFamilyRegistry; }

constexpr qdStringView kActionNames[] = {u"dlaFail", u"dlaNull", u"dlaBestFit"};

}  // namespace

qdStringView qdDataLossActionName(TqdDataLossAction aAction) {
  return aAction <= dlaBestFit ? kActionNames[aAction] : kActionNames[dlaFail];
}

TqdDataLossAction qdDataLossActionFromName(qdStringView aName) {
  for (uint8_t action = dlaFail; action <= dlaBestFit; ++action)
    if (qdSameClassName(aName, kActionNames[action])) return static_cast<TqdDataLossAction>(action);
  return dlaFail;
}

const TqdFieldMapperDescriptorClass TqdFieldMapperDescriptor::ClassInfo{
    {u"TqdFieldMapperDescriptor", &TqdBaseRegisterableDescriptor::ClassInfo, &fieldMapperFamily},
    &qdNewDescriptor<TqdFieldMapperDescriptor, TqdFieldMapperDescriptor, qdStringView, qdStringView,
                     TqdDataLossAction>};

TqdFieldMapperDescriptor::TqdFieldMapperDescriptor(qdStringView aSourceName, qdStringView aTargetName,
                                                   TqdDataLossAction aDataLossAction)
    : bfcdSourceName(aSourceName), bfcdTargetName(aTargetName), bfcdDataLossAction(aDataLossAction) {}

void TqdFieldMapperDescriptor::WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  aWriter.WriteIdent(ClassType().ClassName);
  aWriter.WriteString(bfcdSourceName);
  aWriter.WriteString(bfcdTargetName);
  aWriter.WriteString(qdDataLossActionName(bfcdDataLossAction));
  WriteData(aWriter, aClientVersion);
}

TqdFieldMapperDescriptor* TqdFieldMapperDescriptor::CreateFromReader(TqdReader& aReader) {
  const qdString name = aReader.ReadIdent();
  const TqdFieldMapperDescriptorClass* found = qdFindDescriptorClass(ClassInfo, name);
  if (found == nullptr)
    throw EqdFieldMapperDescriptorException(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
                                            {u"FieldMapperDescriptor", name});
  const qdString sourceName = aReader.ReadString();
  const qdString targetName = aReader.ReadString();
  const TqdDataLossAction action = qdDataLossActionFromName(aReader.ReadString());
  std::unique_ptr<TqdFieldMapperDescriptor> result(found->Create(sourceName, targetName, action));
  result->ReadData(aReader);
  return result.release();
}

void TqdFieldMapperDescriptor::WriteData(TqdWriter& aWriter, int32_t aClientVersion) const {
  (void)aClientVersion;  // passed through to nested descriptors only
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(bfcdApplyDefault);
}

void TqdFieldMapperDescriptor::ReadData(TqdReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EqdFieldMapperDescriptorException(qdeIncompatibleStream);
  bfcdApplyDefault = aReader.ReadBoolean();
}

void qdsdFieldMapperDescriptorInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdFieldMapperDescriptor::ClassInfo);
}

void qdsdFieldMapperDescriptorFinalize() {
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdFieldMapperDescriptor::ClassInfo);
}

}  // namespace qd
