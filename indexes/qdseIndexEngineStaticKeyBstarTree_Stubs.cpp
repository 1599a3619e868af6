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

// --- Iteration, record numbers, estimate (qdseIndexEngineStaticKeyBstarTree_Iterate.cpp) ---

void TqdStaticKeyBstarTreeIndexEngine::Iterate(TqdBaseTransaction*, TqdBaseIndexPath*, PqdRecordBufferPtr,
                                               TqdKeyIterator, TqdRecordIterator, void*, const TqdRangeInfo&,
                                               const TqdRangeInfo&, TqdBaseFilterEngine*, TqdBaseFilterEngine*, bool) {
  notYet(u"Iterate");
}

void TqdStaticKeyBstarTreeIndexEngine::IterateBackward(TqdBaseTransaction*, TqdBaseIndexPath*, PqdRecordBufferPtr,
                                                       TqdKeyIterator, TqdRecordIterator, void*, const TqdRangeInfo&,
                                                       const TqdRangeInfo&, TqdBaseFilterEngine*, TqdBaseFilterEngine*,
                                                       bool) {
  notYet(u"IterateBackward");
}

TqdResult TqdStaticKeyBstarTreeIndexEngine::RecNoGet(TqdBaseTransaction*, TqdBaseIndexPath*, const TqdRangeInfo&,
                                                     const TqdRangeInfo&, TqdBaseFilterEngine*, TqdBaseFilterEngine*,
                                                     uint32_t&, bool) {
  notYet(u"RecNoGet");
}

TqdResult TqdStaticKeyBstarTreeIndexEngine::RecNoSet(TqdBaseTransaction*, uint32_t, TqdBaseIndexPath*,
                                                     const TqdRangeInfo&, const TqdRangeInfo&, TqdBaseFilterEngine*,
                                                     TqdBaseFilterEngine*, bool) {
  notYet(u"RecNoSet");
}

TqdResult TqdStaticKeyBstarTreeIndexEngine::EstimateRecordCount(TqdBaseTransaction*, const TqdRangeInfo&,
                                                                const TqdRangeInfo&, uint32_t&, bool) {
  notYet(u"EstimateRecordCount");
}

}  // namespace qd
