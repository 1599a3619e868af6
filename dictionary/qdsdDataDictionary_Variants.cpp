// Field values as Variants: the field and fields descriptors' bridges to the
// native converter.
#include "dictionary/qdsdDataDictionary.h"

#include <cstring>

#include "dictionary/qdsdNativeVariantConverter.h"

namespace qd {

TqdVariant TqdFieldDescriptor::fdGetBufferAsVariant(const uint8_t* aFieldBuffer) {
  if (aFieldBuffer == nullptr) return TqdVariant::Null();
  return qdNativeToVariant(fdType, UsedStorageCodePage(), fdUnits, fdDecPl, aFieldBuffer, fdLength);
}

void TqdFieldDescriptor::fdSetBufferAsVariant(uint8_t* aFieldBuffer, const TqdVariant& aValue) {
  if (qdVarIsEmptyOrNull(aValue)) {
    std::memset(aFieldBuffer, 0, static_cast<size_t>(fdLength));
    return;
  }
  try {
    qdVariantToNative(fdType, UsedStorageCodePage(), fdUnits, fdDecPl, aValue, aFieldBuffer, fdLength);
  } catch (...) {
    // A half-written field must not survive a failed conversion.
    std::memset(aFieldBuffer, 0, static_cast<size_t>(fdLength));
    throw;
  }
}

TqdVariant TqdFieldsDescriptor::fsdGetFieldByIndexAsVariant(const uint8_t* aRecordBuffer, int32_t aIndex) const {
  CheckFieldIndex(aIndex);
  if (aRecordBuffer == nullptr || IsRecordFieldNullFast(aIndex, aRecordBuffer)) return TqdVariant::Null();
  TqdFieldDescriptor* field = fsdFields[aIndex];
  return field->fdGetBufferAsVariant(aRecordBuffer + field->fdOffset);
}

TqdVariant TqdFieldsDescriptor::fsdGetFieldByNameAsVariant(const uint8_t* aRecordBuffer, qdStringView aName) const {
  return fsdGetFieldByIndexAsVariant(aRecordBuffer, GetFieldFromName(aName));
}

void TqdFieldsDescriptor::fsdSetFieldByIndexAsVariant(uint8_t* aRecordBuffer, int32_t aIndex,
                                                      const TqdVariant& aValue) const {
  CheckFieldIndex(aIndex);
  if (qdVarIsEmptyOrNull(aValue)) {
    SetRecordFieldNull(aIndex, aRecordBuffer, true);
    return;
  }
  SetRecordFieldNull(aIndex, aRecordBuffer, false);
  TqdFieldDescriptor* field = fsdFields[aIndex];
  field->fdSetBufferAsVariant(aRecordBuffer + field->fdOffset, aValue);
}

void TqdFieldsDescriptor::fsdSetFieldByNameAsVariant(uint8_t* aRecordBuffer, qdStringView aName,
                                                     const TqdVariant& aValue) const {
  fsdSetFieldByIndexAsVariant(aRecordBuffer, GetFieldFromName(aName), aValue);
}

qdString TqdFieldsDescriptor::RecordBufferToString(const uint8_t* aRecordBuffer) const {
  qdString result;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    const TqdVariant value = fsdGetFieldByIndexAsVariant(aRecordBuffer, i);
    result += fsdFields[i]->Name();
    result += u": ";
    result += value.IsNull() ? qdString(u"<?>") : value.AsString();
    result += u"\r\n";
  }
  return result;
}

}  // namespace qd
