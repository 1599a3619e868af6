#include "server/qdsdFieldMapperBase.h"

#include <array>
#include <iterator>

#include "client/qdsdServerEngine.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

namespace {

constexpr size_t kTypeCount = static_cast<size_t>(qdtLastFieldType) + 1;

using TqdFieldMapperCell = std::vector<const TqdBaseFieldMapperClass*>;

std::array<TqdFieldMapperCell, kTypeCount * kTypeCount>& registry() {
  static std::array<TqdFieldMapperCell, kTypeCount * kTypeCount> cells;
  return cells;
}

TqdFieldMapperCell& cellOf(TqdFieldType aSourceType, TqdFieldType aTargetType) {
  const size_t source = static_cast<size_t>(aSourceType);
  const size_t target = static_cast<size_t>(aTargetType);
  if (source >= kTypeCount || target >= kTypeCount) qdAssertFailed("qdsdFieldMapperBase", "field type out of range");
  return registry()[source * kTypeCount + target];
}

TqdBaseFieldMapper* noConverter(TqdFieldDescriptor&, TqdAbstractCursor*, TqdFieldDescriptor&, TqdAbstractCursor*,
                                const TqdFieldMapperDescriptor*, TqdMappingMethod& aMapper) {
  aMapper.Clear();
  return nullptr;
}

TqdFieldDescriptor& fieldByName(TqdAbstractCursor* aCursor, qdStringView aName) {
  TqdBaseTableDescriptor* table = aCursor != nullptr ? aCursor->TableDescriptor() : nullptr;
  const int32_t index = table != nullptr ? table->FieldsDescriptor()->GetFieldFromName(aName) : -1;
  if (index < 0) throw EqdBaseFieldMapperException(qdeInvalidFieldName);
  return *table->FieldsDescriptor()->FieldDescriptor(index);
}

}  // namespace

const TqdBaseFieldMapperClass TqdBaseFieldMapper::ClassInfo{u"TqdBaseFieldMapper", &noConverter};

TqdBaseFieldMapper* TqdBaseFieldMapper::CreateMapper(TqdFieldDescriptor& aSourceField, TqdAbstractCursor* aSourceCursor,
                                                     TqdFieldDescriptor& aTargetField, TqdAbstractCursor* aTargetCursor,
                                                     const TqdFieldMapperDescriptor* aMapperDesc,
                                                     TqdMappingMethod& aMapper) {
  aMapper.Clear();
  const TqdFieldMapperCell& cell = cellOf(aSourceField.FieldType(), aTargetField.FieldType());
  TqdBaseFieldMapper* result = nullptr;
  for (auto it = cell.rbegin(); it != cell.rend(); ++it) {
    // An instance left without a routine by a class asked earlier is dropped
    // here: only the first registered class's answer is returned.
    delete result;
    result = nullptr;
    result = (*it)->SelectConverter(aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
    if (aMapper.Assigned()) break;
  }
  return result;
}

TqdBaseFieldMapper* TqdBaseFieldMapper::CreateMapper(TqdAbstractCursor* aSourceCursor, TqdAbstractCursor* aTargetCursor,
                                                     const TqdFieldMapperDescriptor& aMapperDesc,
                                                     TqdMappingMethod& aMapper) {
  aMapper.Clear();
  TqdFieldDescriptor& sourceField = fieldByName(aSourceCursor, aMapperDesc.SourceName());
  TqdFieldDescriptor& targetField = fieldByName(aTargetCursor, aMapperDesc.TargetName());
  return CreateMapper(sourceField, aSourceCursor, targetField, aTargetCursor, &aMapperDesc, aMapper);
}

void qdRegisterFieldMapper(const TqdBaseFieldMapperClass& aClass, TqdFieldType aSourceType, TqdFieldType aTargetType) {
  cellOf(aSourceType, aTargetType).push_back(&aClass);
}

void qdUnregisterFieldMapper(const TqdBaseFieldMapperClass& aClass, TqdFieldType aSourceType,
                             TqdFieldType aTargetType) {
  TqdFieldMapperCell& cell = cellOf(aSourceType, aTargetType);
  for (auto it = cell.rbegin(); it != cell.rend(); ++it) {
    if (*it == &aClass) {
      cell.erase(std::next(it).base());
      return;
    }
  }
}

const std::vector<const TqdBaseFieldMapperClass*>& qdRegisteredFieldMappers(TqdFieldType aSourceType,
                                                                            TqdFieldType aTargetType) {
  return cellOf(aSourceType, aTargetType);
}

void qdsdFieldMapperBaseInitialize() {}

void qdsdFieldMapperBaseFinalize() {
  for (TqdFieldMapperCell& cell : registry()) {
    cell.clear();
    cell.shrink_to_fit();
  }
}

}  // namespace qd
