#include "foundation/qdmmBlockManagerCommitted.h"

namespace qd {

TqdBlockManagerCommitted::TqdBlockManagerCommitted(TqdChunkManager& aChunks, IqdVirtualMemory& aMemory)
    : TqdBlockManagerBase(aChunks, aMemory, true) {}

int32_t TqdBlockManagerCommitted::AcquireChunk() { return Chunks().GetCommittedChunk(); }

}  // namespace qd
