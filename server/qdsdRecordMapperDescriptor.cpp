#include "server/qdsdRecordMapperDescriptor.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "foundation/qdllUtils.h"

namespace qd {

namespace {

// ASCII letters folded to upper case, then ordinal: the order both name lists
// of MapAllFieldsByName are sorted and walked in.
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

std::vector<qdString> sortedFieldNames(const TqdFieldsDescriptor& aFields) {
  std::vector<qdString> names;
  names.reserve(static_cast<size_t>(aFields.FieldCount()));
  for (int32_t i = 0; i < aFields.FieldCount(); ++i) names.push_back(aFields.FieldDescriptor(i)->Name());
  std::stable_sort(names.begin(), names.end(),
                   [](const qdString& a, const qdString& b) { return compareFolded(a, b) < 0; });
  return names;
}

[[noreturn]] void raiseListIndexError(qdStringView aName) {
  throw EStringListError(u"List index out of bounds: no mapping of the target " + qdString(aName));
}

}  // namespace

const TqdBaseRecordMapperDescriptorClass TqdRecordMapperDescriptor::ClassInfo{
    {u"TqdRecordMapperDescriptor", &TqdBaseRecordMapperDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseRecordMapperDescriptor, TqdRecordMapperDescriptor>};

int TqdRecordMapperDescriptor::TqdMapperList::CompareStrings(qdStringView aLeft, qdStringView aRight) const {
  return qdCompareStringWIgnoreCase(aLeft, aRight);
}

TqdRecordMapperDescriptor::TqdRecordMapperDescriptor() {
  rmdFieldMapperDescriptors.SetSorted(true);
  rmdFieldMapperDescriptors.SetDuplicates(dupError);
}

TqdRecordMapperDescriptor::~TqdRecordMapperDescriptor() { ClearEntries(); }

void TqdRecordMapperDescriptor::ClearEntries() {
  for (int32_t i = rmdFieldMapperDescriptors.Count() - 1; i >= 0; --i) {
    auto* entry = static_cast<TqdFieldMapperDescriptor*>(rmdFieldMapperDescriptors.Objects(i));
    rmdFieldMapperDescriptors.Delete(i);
    delete entry;
  }
}

TqdFieldMapperDescriptor* TqdRecordMapperDescriptor::AddEntry(TqdFieldMapperDescriptor* aEntry) {
  std::unique_ptr<TqdFieldMapperDescriptor> entry(aEntry);
  rmdFieldMapperDescriptors.AddObject(entry->TargetName(), entry.get());
  return entry.release();
}

TqdFieldMapperDescriptor* TqdRecordMapperDescriptor::AddMapping(qdStringView aSourceName, qdStringView aTargetName,
                                                                TqdDataLossAction aDataLossAction,
                                                                const TqdFieldMapperDescriptorClass* aDescriptorClass) {
  const TqdFieldMapperDescriptorClass& descriptorClass =
      aDescriptorClass != nullptr ? *aDescriptorClass : TqdFieldMapperDescriptor::ClassInfo;
  return AddEntry(descriptorClass.Create(aSourceName, aTargetName, aDataLossAction));
}

int32_t TqdRecordMapperDescriptor::FieldMapperIndexOf(qdStringView aTargetName) const {
  int32_t index = 0;
  return rmdFieldMapperDescriptors.Find(aTargetName, index) ? index : -1;
}

int32_t TqdRecordMapperDescriptor::IndexOfExisting(qdStringView aTargetName) const {
  const int32_t index = FieldMapperIndexOf(aTargetName);
  if (index < 0) raiseListIndexError(aTargetName);
  return index;
}

void TqdRecordMapperDescriptor::DeleteMapping(qdStringView aTargetName) {
  const int32_t index = IndexOfExisting(aTargetName);
  auto* entry = static_cast<TqdFieldMapperDescriptor*>(rmdFieldMapperDescriptors.Objects(index));
  rmdFieldMapperDescriptors.Delete(index);
  delete entry;
}

TqdFieldMapperDescriptor* TqdRecordMapperDescriptor::rmdGetMapper(int32_t aInx) const {
  return static_cast<TqdFieldMapperDescriptor*>(rmdFieldMapperDescriptors.Objects(aInx));
}

TqdFieldMapperDescriptor* TqdRecordMapperDescriptor::UpdateSourceName(qdStringView aTargetName,
                                                                      qdStringView aNewSourceName) {
  TqdFieldMapperDescriptor* entry = rmdGetMapper(IndexOfExisting(aTargetName));
  entry->SetSourceName(aNewSourceName);
  return entry;
}

TqdFieldMapperDescriptor* TqdRecordMapperDescriptor::UpdateTargetName(qdStringView aOldTargetName,
                                                                      qdStringView aNewTargetName) {
  const int32_t oldIndex = IndexOfExisting(aOldTargetName);
  TqdFieldMapperDescriptor* entry = rmdGetMapper(oldIndex);
  if (qdCompareStringWIgnoreCase(aOldTargetName, aNewTargetName) != 0) {
    const int32_t newIndex = rmdFieldMapperDescriptors.AddObject(qdString(aNewTargetName), entry);
    rmdFieldMapperDescriptors.Delete(newIndex <= oldIndex ? oldIndex + 1 : oldIndex);
  }
  entry->bfcdTargetName = qdString(aNewTargetName);
  return entry;
}

void TqdRecordMapperDescriptor::MapAllFieldsByName(const TqdFieldsDescriptor& aOldFields,
                                                   const TqdFieldsDescriptor& aNewFields,
                                                   TqdDataLossAction aDataLossAction) {
  const std::vector<qdString> oldNames = sortedFieldNames(aOldFields);
  const std::vector<qdString> newNames = sortedFieldNames(aNewFields);
  size_t i = 0;
  size_t j = 0;
  while (i < oldNames.size() && j < newNames.size()) {
    const int order = compareFolded(oldNames[i], newNames[j]);
    if (order < 0) {
      ++i;
    } else if (order > 0) {
      ++j;
    } else {
      AddMapping(oldNames[i], newNames[j], aDataLossAction);
      ++i;
      ++j;
    }
  }
}

void TqdRecordMapperDescriptor::MapAllFieldsByPosition(const TqdFieldsDescriptor& aOldFields,
                                                       const TqdFieldsDescriptor& aNewFields,
                                                       TqdDataLossAction aDataLossAction) {
  for (int32_t i = 0; i < aOldFields.FieldCount() && i < aNewFields.FieldCount(); ++i)
    AddMapping(aOldFields.FieldDescriptor(i)->Name(), aNewFields.FieldDescriptor(i)->Name(), aDataLossAction);
}

void TqdRecordMapperDescriptor::WriteData(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseRecordMapperDescriptor::WriteData(aWriter, aClientVersion);
  aWriter.WriteListBegin();
  for (int32_t i = 0; i < rmdFieldMapperDescriptors.Count(); ++i)
    rmdGetMapper(i)->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteListEnd();
  aWriter.WriteBoolean(rmdApplyDefaultForUnmapped);
}

void TqdRecordMapperDescriptor::ReadData(TqdReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EqdRecordMapperDescriptorException(qdeIncompatibleStream);
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) AddEntry(TqdFieldMapperDescriptor::CreateFromReader(aReader));
  aReader.ReadListEnd();
  rmdApplyDefaultForUnmapped = aReader.ReadBoolean();
}

void qdsdRecordMapperDescriptorInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdRecordMapperDescriptor::ClassInfo);
}

void qdsdRecordMapperDescriptorFinalize() {
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdRecordMapperDescriptor::ClassInfo);
}

}  // namespace qd
