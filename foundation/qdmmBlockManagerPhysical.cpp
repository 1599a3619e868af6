#include "foundation/qdmmBlockManagerPhysical.h"

namespace qd {

TqdBlockManagerPhysical::TqdBlockManagerPhysical(TqdChunkManager& aChunks, IqdVirtualMemory& aMemory)
    : TqdBlockManagerBase(aChunks, aMemory, false) {}

int32_t TqdBlockManagerPhysical::AcquireChunk() { return Chunks().GetPhysicalChunk(); }

}  // namespace qd
