#include "indexes/qdIndexes.h"

#include "indexes/qdseIndicesEngineSimple.h"

namespace qd {

void InitializeIndexes() { qdseIndicesEngineSimpleInitialize(); }

void FinalizeIndexes() { qdseIndicesEngineSimpleFinalize(); }

}  // namespace qd
