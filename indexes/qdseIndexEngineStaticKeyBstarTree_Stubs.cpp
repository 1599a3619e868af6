// Temporary answers of the B*-tree operations whose sources are still being
// written: each raises 12289 until its own source replaces it. Deletion,
// iteration and bulk build each remove their part of this file.
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

namespace qd {

namespace {

[[noreturn]] void notYet(const char16_t* aOperation) {
  throw EqdStaticKeyBstarTreeIndexEngineException(
      qdeNotSupported, u"%s not supported by %s",
      {qdString(aOperation), qdString(u"TqdStaticKeyBstarTreeIndexEngine")});
}

}  // namespace

// --- Deletion (qdseIndexEngineStaticKeyBstarTree_Delete.cpp) ---

void TqdStaticKeyBstarTreeIndexEngine::DeleteAllKeys(TqdBaseTransaction*) { notYet(u"DeleteAllKeys"); }

bool TqdStaticKeyBstarTreeIndexEngine::DeleteKey(TqdBaseTransaction*, PqdKeyBuffer, TqdRefNr, TqdRefNr,
                                                 TqdBaseIndexPath*) {
  notYet(u"DeleteKey");
}

// --- Bulk build (qdseIndexEngineStaticKeyBstarTree_Bulk.cpp) ---

TqdStaticKeyBstarTreeIndexBulkBuilder::TqdStaticKeyBstarTreeIndexBulkBuilder(TqdBaseTransaction* aTrans,
                                                                             TqdBaseIndexEngine* aIndexEngine)
    : TqdBaseIndexBulkBuilder(aTrans, aIndexEngine) {}

TqdStaticKeyBstarTreeIndexBulkBuilder::~TqdStaticKeyBstarTreeIndexBulkBuilder() = default;

TqdResult TqdStaticKeyBstarTreeIndexBulkBuilder::InsertKey(TqdRefNr*, PqdRecordBuffer, TqdBaseTransaction*) {
  notYet(u"InsertKey (bulk)");
}

TqdResult TqdStaticKeyBstarTreeIndexBulkBuilder::Finalize(TqdBaseTransaction*) { notYet(u"Finalize (bulk)"); }

}  // namespace qd
