#include "server/qdsdTableMapperDescriptorBase.h"

#include <memory>

namespace qd {

namespace {

TqdClassRegistry* tableMapperFamilyRegistry = nullptr;
TqdClassRegistry** tableMapperFamily() { return &tableMapperFamilyRegistry; }

constexpr int32_t kDuplicateClientVersion = 47501;

}  // namespace

const TqdBaseTableMapperDescriptorClass TqdBaseTableMapperDescriptor::ClassInfo{
    {u"TqdBaseTableMapperDescriptor", &TqdBaseRegisterableDescriptor::ClassInfo, &tableMapperFamily},
    &qdNewDescriptor<TqdBaseTableMapperDescriptor, TqdBaseTableMapperDescriptor>};

TqdBaseTableMapperDescriptor::~TqdBaseTableMapperDescriptor() { Clear(); }

void TqdBaseTableMapperDescriptor::Clear() {
  RemoveRecordMapper();
  while (!btmdTables.empty()) {
    TqdBaseTableMapperDescriptor* child = btmdTables.back();
    btmdTables.pop_back();
    delete child;
  }
}

void TqdBaseTableMapperDescriptor::WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  aWriter.WriteIdent(ClassType().ClassName);
  WriteData(aWriter, aClientVersion);
}

TqdBaseTableMapperDescriptor* TqdBaseTableMapperDescriptor::CreateFromReader(TqdReader& aReader) {
  const qdString name = aReader.ReadIdent();
  const TqdBaseTableMapperDescriptorClass* found = qdFindDescriptorClass(ClassInfo, name);
  if (found == nullptr)
    throw EqdBaseTableMapperDescriptorException(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
                                                {u"TableMapperDescriptor", name});
  std::unique_ptr<TqdBaseTableMapperDescriptor> result(found->Create());
  result->ReadData(aReader);
  return result.release();
}

TqdBaseTableMapperDescriptor* TqdBaseTableMapperDescriptor::Duplicate() const {
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    WriteData(writer, kDuplicateClientVersion);
  }
  const auto& classInfo = static_cast<const TqdBaseTableMapperDescriptorClass&>(ClassType());
  std::unique_ptr<TqdBaseTableMapperDescriptor> result(classInfo.Create());
  stream.SetPosition(0);
  TqdReader reader(&stream);
  result->ReadData(reader);
  return result.release();
}

void TqdBaseTableMapperDescriptor::WriteData(TqdWriter& aWriter, int32_t aClientVersion) const {
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(btmdName);
  aWriter.WriteString(btmdMapTo);
  aWriter.WriteBoolean(btmdRecordMapper != nullptr);
  if (btmdRecordMapper != nullptr) btmdRecordMapper->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(TableCount());
  for (const TqdBaseTableMapperDescriptor* child : btmdTables) child->WriteToWriter(aWriter, aClientVersion);
}

void TqdBaseTableMapperDescriptor::ReadData(TqdReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EqdBaseTableMapperDescriptorException(qdeIncompatibleStream);
  btmdName = aReader.ReadString();
  btmdMapTo = aReader.ReadString();
  Clear();
  if (aReader.ReadBoolean()) btmdRecordMapper = TqdBaseRecordMapperDescriptor::CreateFromReader(aReader);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EqdBaseTableMapperDescriptorException(qdeIncompatibleStream);
  // Children are attached as they are read: a stream that ends early leaves
  // them to be freed with this node, and no count can size memory ahead.
  for (int32_t i = 0; i < count; ++i) {
    TqdBaseTableMapperDescriptor* child = CreateFromReader(aReader);
    child->btmdParent = this;
    btmdTables.push_back(child);
  }
}

TqdBaseTableMapperDescriptor* TqdBaseTableMapperDescriptor::AddTable(qdStringView aName,
                                                                     const TqdBaseTableMapperDescriptorClass* aClass) {
  if (GetTableIndexFromName(aName) >= 0)
    throw EqdBaseTableMapperDescriptorException(qdeNameNotUnique, u"Duplicated table name: %s", {aName});
  const TqdBaseTableMapperDescriptorClass& childClass = aClass != nullptr ? *aClass : ClassInfo;
  std::unique_ptr<TqdBaseTableMapperDescriptor> child(childClass.Create());
  child->btmdParent = this;
  child->btmdName = qdString(aName);
  btmdTables.push_back(child.get());
  return child.release();
}

void TqdBaseTableMapperDescriptor::RemoveTable(int32_t aInx) {
  if (aInx < 0 || aInx >= TableCount()) return;
  TqdBaseTableMapperDescriptor* child = btmdTables[static_cast<size_t>(aInx)];
  btmdTables.erase(btmdTables.begin() + aInx);
  delete child;
}

void TqdBaseTableMapperDescriptor::RemoveTable(qdStringView aName) { RemoveTable(GetTableIndexFromName(aName)); }

int32_t TqdBaseTableMapperDescriptor::GetTableIndexFromName(qdStringView aName) const {
  for (int32_t i = 0; i < TableCount(); ++i)
    if (qdSameClassName(btmdTables[static_cast<size_t>(i)]->btmdName, aName)) return i;
  return -1;
}

TqdBaseTableMapperDescriptor* TqdBaseTableMapperDescriptor::GetTableDescriptorFromName(qdStringView aName) const {
  const int32_t index = GetTableIndexFromName(aName);
  if (index < 0) throw EqdBaseTableMapperDescriptorException(qdeNoSuchTable);
  return btmdTables[static_cast<size_t>(index)];
}

TqdBaseRecordMapperDescriptor* TqdBaseTableMapperDescriptor::AddRecordMapper(
    const TqdBaseRecordMapperDescriptorClass& aClass) {
  RemoveRecordMapper();
  btmdRecordMapper = aClass.Create();
  return btmdRecordMapper;
}

void TqdBaseTableMapperDescriptor::RemoveRecordMapper() {
  TqdBaseRecordMapperDescriptor* mapper = btmdRecordMapper;
  btmdRecordMapper = nullptr;
  delete mapper;
}

void qdsdTableMapperDescriptorBaseInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdBaseTableMapperDescriptor::ClassInfo);
}

void qdsdTableMapperDescriptorBaseFinalize() {
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdBaseTableMapperDescriptor::ClassInfo);
}

}  // namespace qd
