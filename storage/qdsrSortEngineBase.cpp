#include "storage/qdsrSortEngineBase.h"

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

const TqdSortEngineClass TqdBaseSortEngine::ClassInfo{{u"TqdBaseSortEngine", nullptr, nullptr}, nullptr};
const TqdSortEngineClass* qdDefaultSortEngine = nullptr;

TqdBaseSortEngine::TqdBaseSortEngine(TqdServerDatabase* aDB, TqdDataDictionary* aDict, TqdIndexDescriptor* aIndexDesc)
    : bsDB(aDB) {
  bsDict.reset(aDict->Duplicate());
  bsDict->RemoveIndicesDescriptor();
  bsDictNoIdx.reset(bsDict->Duplicate());
  bsDict->EnsureIndicesDescriptor()->AddIndex(aIndexDesc);
  bsRecLen = uint32_t(bsDict->FieldsDescriptor()->RecordLength());
  bsRecLenBuf = (bsRecLen + 15) & ~uint32_t(15);
}

TqdBaseSortEngine::~TqdBaseSortEngine() = default;

}  // namespace qd
