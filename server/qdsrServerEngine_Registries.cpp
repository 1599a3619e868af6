// The class lists a session reads (GetRegisteredClassList). Kept apart from
// the engine's unit: the storage engine headers it needs and the engine
// contract's header do not go into one translation unit.
#include "server/qdsrServerEngine_Registries.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "storage/qdsrAutoIncEngineBase.h"
#include "storage/qdsrEncryptionEngineBase.h"
#include "storage/qdsrIndexEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"

namespace qd {

namespace {

// Every name of aFamily's registry, in its order; nothing when the family
// has no registry yet.
void addRegisteredNames(const TqdClassInfo& aFamily, TqdStringList& aList, bool aSkipCaches = false) {
  const TqdClassRegistry* registry = aFamily.FamilyList();
  if (registry == nullptr) return;
  for (const TqdRegisteredClass& entry : registry->Entries()) {
    if (aSkipCaches) {
      std::string lower = StringToUtf8(entry.Name);
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](unsigned char aChar) { return char(std::tolower(aChar)); });
      if (lower.find("cache") != std::string::npos) continue;
    }
    aList.Add(entry.Name);
  }
}

}  // namespace

TqdResult qdServerRegisteredClassList(TqdClassListType aClassListType, TqdStringList& aList) {
  aList.Clear();
  switch (aClassListType) {
    case setAutoIncEngines:
      addRegisteredNames(TqdBaseAutoIncEngine::ClassInfo, aList);
      return 0;
    case setBlobEngines:
      addRegisteredNames(TqdBaseBlobDescriptor::ClassInfo, aList);
      return 0;
    case setIndexEngines:
      addRegisteredNames(TqdBaseIndexEngine::ClassInfo, aList, true);
      return 0;
    case setEncryptionEngines:
      TqdBaseEncryptionEngine::GetRegisteredEngines(aList, true);
      return 0;
    case setDefaultDescriptors:
      addRegisteredNames(TqdBaseDefaultValueDescriptor::ClassInfo, aList);
      return 0;
    case setValidationDescriptors:
      addRegisteredNames(TqdBaseFieldValidationDescriptor::ClassInfo, aList);
      return 0;
    case setRecordDescriptors:
      addRegisteredNames(TqdBaseRecordEngine::ClassInfo, aList);
      return 0;
    case setRIActionDescriptors:
      // No referential-integrity action descriptor is registered here.
      return 0;
  }
  return qdeObjNotFound;
}

}  // namespace qd
