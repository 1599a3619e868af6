#include "server/qdsdTableMapperDescriptor.h"

#include <algorithm>
#include <vector>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "server/qdsdRecordMapperDescriptor.h"

namespace qd {

namespace {

struct TqdNamedChild {
  qdString Name;
  const TqdBaseTableDescriptor* Table;
};

int compareFolded(qdStringView aLeft, qdStringView aRight) {
  const size_t n = std::min(aLeft.size(), aRight.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t l = aLeft[i];
    char16_t r = aRight[i];
    if (l >= u'a' && l <= u'z') l = static_cast<char16_t>(l - 32);
    if (r >= u'a' && r <= u'z') r = static_cast<char16_t>(r - 32);
    if (l != r) return l < r ? -1 : 1;
  }
  if (aLeft.size() == aRight.size()) return 0;
  return aLeft.size() < aRight.size() ? -1 : 1;
}

std::vector<TqdNamedChild> sortedChildren(const TqdBaseTableDescriptor& aTable) {
  std::vector<TqdNamedChild> children;
  const TqdTablesDescriptor* tables = aTable.TablesDescriptor();
  if (tables == nullptr) return children;
  for (int32_t i = 0; i < tables->TableCount(); ++i) {
    const TqdNestedTableDescriptor* child = tables->TableDescriptor(i);
    children.push_back({child->Name(), child});
  }
  std::stable_sort(children.begin(), children.end(),
                   [](const TqdNamedChild& a, const TqdNamedChild& b) { return compareFolded(a.Name, b.Name) < 0; });
  return children;
}

}  // namespace

const TqdBaseTableMapperDescriptorClass TqdTableMapperDescriptor::ClassInfo{
    {u"TqdTableMapperDescriptor", &TqdBaseTableMapperDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseTableMapperDescriptor, TqdTableMapperDescriptor>};

void TqdTableMapperDescriptor::MapAllTablesAndFieldsByName(const TqdBaseTableDescriptor& aOldTable,
                                                           const TqdBaseTableDescriptor& aNewTable,
                                                           TqdDataLossAction aDataLossAction) {
  auto* recordMapper = static_cast<TqdRecordMapperDescriptor*>(AddRecordMapper(TqdRecordMapperDescriptor::ClassInfo));
  recordMapper->MapAllFieldsByName(*aOldTable.FieldsDescriptor(), *aNewTable.FieldsDescriptor(), aDataLossAction);
  const std::vector<TqdNamedChild> oldChildren = sortedChildren(aOldTable);
  const std::vector<TqdNamedChild> newChildren = sortedChildren(aNewTable);
  size_t i = 0;
  size_t j = 0;
  while (i < oldChildren.size() && j < newChildren.size()) {
    const int order = compareFolded(oldChildren[i].Name, newChildren[j].Name);
    if (order < 0) {
      ++i;
    } else if (order > 0) {
      ++j;
    } else {
      auto* child = static_cast<TqdTableMapperDescriptor*>(AddTable(oldChildren[i].Name, &ClassInfo));
      child->MapAllTablesAndFieldsByName(*oldChildren[i].Table, *newChildren[j].Table, aDataLossAction);
      ++i;
      ++j;
    }
  }
}

void TqdTableMapperDescriptor::WriteData(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseTableMapperDescriptor::WriteData(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

void TqdTableMapperDescriptor::ReadData(TqdReader& aReader) {
  TqdBaseTableMapperDescriptor::ReadData(aReader);
  if (aReader.ReadInteger() != 1) throw EqdTableMapperDescriptorException(qdeIncompatibleStream);
}

void qdsdTableMapperDescriptorInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdTableMapperDescriptor::ClassInfo);
}

void qdsdTableMapperDescriptorFinalize() {
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdTableMapperDescriptor::ClassInfo);
}

}  // namespace qd
