// The physical block manager: blocks of physical-memory chunks, for systems
// that window physical memory into the address space on demand. This
// platform has no such mode (both physical-memory flags are false), so the
// manager never obtains a chunk and every allocation answers nil; it exists
// so that the allocator's table can name its classes.
//
// Classes: TqdBlockManagerPhysical.
#pragma once

#include "foundation/qdmmBlockManagerBase.h"

namespace qd {

class TqdBlockManagerPhysical : public TqdBlockManagerBase {
 public:
  TqdBlockManagerPhysical(TqdChunkManager& aChunks, IqdVirtualMemory& aMemory);

 protected:
  int32_t AcquireChunk() override;
};

}  // namespace qd
