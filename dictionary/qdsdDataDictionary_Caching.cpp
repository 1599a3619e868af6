// Caching states of tables: what a table needs to be cached on another
// machine, and turning a table into such a cache; copies of the field part
// of a table.
#include "dictionary/qdsdDataDictionary.h"

#include <vector>

#include "dictionary/qdsdDataDictionary_Private.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

constexpr char16_t kImplicit[] = u"$Implicit";
constexpr char16_t kCacheable[] = u"$Cacheable";
constexpr char16_t kGraveyardLSN[] = u"$GraveyardLSN";
constexpr char16_t kGraveyardRefNr[] = u"$GraveyardRefNr";
constexpr char16_t kCachedBlobs[] = u"$CachedBlobs";
constexpr char16_t kBlobNrCounter[] = u"$BlobNrCounter";

int32_t internalIndex(const TqdInternalIndicesDescriptor* aIndices, qdStringView aName) {
  return aIndices != nullptr ? aIndices->GetIndexFromName(aName) : -1;
}

// Holds a cacheable info for the length of a check.
struct TqdCacheableInfoHolder {
  TqdCacheableInfo* Info = nullptr;
  ~TqdCacheableInfoHolder() { qdReleaseCacheableInfo(Info); }
};

}  // namespace

void TqdTablesDescriptor::MakeInCache(bool aSilent) {
  for (TqdNestedTableDescriptor* table : tdsTables) table->MakeInCache(aSilent);
}

bool TqdBaseTableDescriptor::IsCacheable(TqdCacheableInfo*& aCachableInfo, TqdTableCachingState aState,
                                         bool aAcceptCachable) {
  qdReleaseCacheableInfo(aCachableInfo);
  aCachableInfo = qdNewCacheableInfo();
  TqdCacheableInfo& info = *aCachableInfo;
  tdFieldsDescriptor->GetSpecialFieldsInfo(info.ciSFI);

  int32_t modifyLSN = -1;
  int32_t insertLSN = -1;
  int32_t refNr = -1;
  const bool hasModifyLSN = tdFieldsDescriptor->HasModifyLSNField(modifyLSN);
  const bool hasInsertLSN = tdFieldsDescriptor->HasInsertLSNField(insertLSN);
  const bool hasRefNr = tdFieldsDescriptor->HasRefNrField(refNr);
  if (hasModifyLSN && tdIndicesDescriptor != nullptr) {
    const int32_t fields[] = {modifyLSN};
    const TqdIndexDupsSet dups = aState == tcsIsCache ? TqdIndexDupsSet{idAll} : TqdIndexDupsSet{idNone, idNull};
    if (!tdIndicesDescriptor->HasIndex(fields, info.ciModifyLSNIndex, dups)) info.ciModifyLSNIndex = -1;
  }
  info.ciGraveyardLSNIndex = internalIndex(tdInternalIndicesDescriptor, kGraveyardLSN);
  info.ciGraveyardRefNrIndex = internalIndex(tdInternalIndicesDescriptor, kGraveyardRefNr);
  info.ciCachedBlobsIndex = internalIndex(tdInternalIndicesDescriptor, kCachedBlobs);
  info.ciBlobNrCounterIndex = internalIndex(tdInternalIndicesDescriptor, kBlobNrCounter);

  if (!hasModifyLSN || !hasInsertLSN || !hasRefNr || info.ciModifyLSNIndex < 0) return false;
  if (aState != tcsIsCache &&
      (info.ciGraveyardLSNIndex < 0 || info.ciGraveyardRefNrIndex < 0 || info.ciBlobNrCounterIndex < 0))
    return false;
  switch (aState) {
    case tcsNone:
      return tdCachingState != tcsIsCache;
    case tcsCacheable:
      return tdCachingState == tcsCacheable;
    case tcsIsCache:
      if (tdFieldsDescriptor->HasBlobFields() && info.ciCachedBlobsIndex < 0) return false;
      if (aAcceptCachable) return tdCachingState == tcsCacheable || tdCachingState == tcsIsCache;
      return tdCachingState == tcsIsCache;
  }
  return false;
}

void TqdBaseTableDescriptor::MakeCacheable(bool aCanChange) {
  if (tdCachingState == tcsIsCache) Error(qdeNotSupported, u"Can't make a InCache table Cachable");
  TqdCacheableInfoHolder holder;
  bool cacheable = IsCacheable(holder.Info, tcsNone, false);
  const int32_t modifyIndex = holder.Info->ciModifyLSNIndex;
  if (cacheable) {
    const TqdBaseKeyDescriptor* key = tdIndicesDescriptor->IndexDescriptor(modifyIndex)->KeyDescriptor();
    cacheable = &key->ClassType() == &TqdNoNullCompKeyDescriptor::ClassInfo;
  }
  if (!cacheable && aCanChange) {
    const auto markImplicit = [](TqdDictionaryItem* aItem) { aItem->SetCustomStringValue(kImplicit, kCacheable); };
    int32_t modifyField = -1;
    if (!tdFieldsDescriptor->HasModifyLSNField(modifyField)) {
      TqdFieldDescriptor* field = tdFieldsDescriptor->AddField(u"$ModifyLSN", u"", qdtInt64, 20, 0, false);
      field->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo)->SetApplyOnModify(true);
      markImplicit(field);
      modifyField = field->Number();
    }
    const auto noNullKeyOver = [modifyField](TqdIndexDescriptor* aIndex) {
      auto* key =
          static_cast<TqdCompKeyDescriptor*>(aIndex->ReplaceKeyDescriptor(&TqdNoNullCompKeyDescriptor::ClassInfo));
      key->Add(modifyField);
    };
    if (modifyIndex < 0) {
      TqdIndexDescriptor* index =
          EnsureIndicesDescriptor()->AddIndex(u"$ModifyLSN", 0, idNone, u"", &TqdNoNullCompKeyDescriptor::ClassInfo);
      noNullKeyOver(index);
      markImplicit(index);
    } else {
      noNullKeyOver(tdIndicesDescriptor->IndexDescriptor(modifyIndex));
    }
    int32_t field = -1;
    if (!tdFieldsDescriptor->HasInsertLSNField(field)) {
      TqdFieldDescriptor* insert = tdFieldsDescriptor->AddField(u"$InsertLSN", u"", qdtInt64, 20, 0, false);
      insert->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo)->SetApplyOnModify(false);
      markImplicit(insert);
    }
    for (const char16_t* name : {kGraveyardLSN, kGraveyardRefNr, kBlobNrCounter}) {
      if (internalIndex(tdInternalIndicesDescriptor, name) >= 0) continue;
      markImplicit(
          EnsureInternalIndicesDescriptor()->AddIndex(name, 0, idNone, u"", &TqdInt64KeyDescriptor::ClassInfo));
    }
    if (!tdFieldsDescriptor->HasRefNrField(field))
      markImplicit(tdFieldsDescriptor->AddField(u"$RefNr", u"", qdtRefNr, 0, 0, false));
  }
  if (!IsCacheable(holder.Info, tcsNone, false)) Error(qdeNotSupported, u"Failed to make table cachable");
  SetCachingState(tcsCacheable);
}

void TqdBaseTableDescriptor::MakeInCache(bool aSilent) {
  if (tdCachingState == tcsIsCache) return;
  tdTablesDescriptor->MakeInCache(aSilent);
  if (tdIndicesDescriptor != nullptr) tdIndicesDescriptor->MakeInCache();
  for (int32_t i = 0; i < tdFieldsDescriptor->FieldCount(); ++i)
    tdFieldsDescriptor->FieldDescriptor(i)->RemoveConstraints();
  tdCustomDescsDescriptor->Clear(true);
  auto* record = static_cast<TqdHeapRecordDescriptor*>(AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo));
  record->SetRecordEngine(u"Variable");
  TqdBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(u"Compressor");
  compression->SetCompressType(11);
  RemoveInternalIndicesDescriptor();
  if (tdFieldsDescriptor->HasBlobFields())
    AddInternalIndicesDescriptor()->AddIndex(kCachedBlobs, 0, idNone, u"", &TqdBlobCacheKeyDescriptor::ClassInfo);
  TqdCacheableInfoHolder holder;
  if (IsCacheable(holder.Info, tcsIsCache, true)) {
    SetCachingState(tcsIsCache);
  } else if (aSilent) {
    SetCachingState(tcsNone);
  } else {
    Error(qdeNotSupported, u"Only Cachable tables can be marked as InCache");
  }
}

void TqdBaseTableDescriptor::AssignOnlyFields(const TqdBaseTableDescriptor* aSource) {
  CheckReadOnly();
  ResetTable(false, false);
  if (const TqdLocaleDescriptor* locale = aSource->LocaleDescriptor()) {
    AddLocaleDescriptor(&static_cast<const TqdLocaleDescriptorClass&>(locale->ClassType()))->Assign(locale);
  }
  const TqdFieldsDescriptor* sourceFields = aSource->FieldsDescriptor();
  for (int32_t i = 0; i < sourceFields->FieldCount(); ++i) {
    const TqdFieldDescriptor* source = sourceFields->FieldDescriptor(i);
    TqdFieldDescriptor* field = tdFieldsDescriptor->AddField(
        source->Name(), source->Desc(), source->FieldType(), source->Units(), source->DecPl(), false,
        &static_cast<const TqdFieldDescriptorClass&>(source->ClassType()));
    if (const TqdLocaleDescriptor* locale = source->LocaleDescriptor()) {
      field->AddLocaleDescriptor(&static_cast<const TqdLocaleDescriptorClass&>(locale->ClassType()))->Assign(locale);
    }
  }
  const TqdTablesDescriptor* sourceTables = aSource->TablesDescriptor();
  for (int32_t i = 0; i < sourceTables->TableCount(); ++i) {
    const TqdNestedTableDescriptor* source = sourceTables->TableDescriptor(i);
    tdTablesDescriptor
        ->AddTable(source->Name(), &static_cast<const TqdNestedTableDescriptorClass&>(source->ClassType()))
        ->AssignOnlyFields(source);
  }
  auto* record = static_cast<TqdHeapRecordDescriptor*>(AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
}

void TqdDataDictionary::AssignOnlyFields(const TqdBaseTableDescriptor* aSource) {
  TqdBaseTableDescriptor::AssignOnlyFields(aSource);
  RemoveIndicesDescriptor();
}

void TqdDataDictionary::MakeCache(bool aSilent) {
  if (HasCachingSupport(tcsIsCache)) return;
  CheckReadOnly();
  ddCacheCurrentID = ddCurrentID;
  MakeInCache(aSilent);
  ddEncryptionEngine.clear();
  if (HasCachingSupport(tcsIsCache)) {
    ddCacheGuid = ddGuid;
  } else {
    ddCacheCurrentID = 0;
  }
}

}  // namespace qd
