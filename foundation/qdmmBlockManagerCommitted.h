// The committed block manager: blocks in committed chunks of the chunk
// manager. It keeps, per chunk, the blocks freed since the last release pass.
// Every block the engine allocator hands out (pool blocks, block routines)
// comes from this manager.
//
// Classes: TqdBlockManagerCommitted. Owned by the allocator; lives as long
// as its chunk manager.
#pragma once

#include "foundation/qdmmBlockManagerBase.h"

namespace qd {

class TqdBlockManagerCommitted : public TqdBlockManagerBase {
 public:
  TqdBlockManagerCommitted(TqdChunkManager& aChunks, IqdVirtualMemory& aMemory);

 protected:
  int32_t AcquireChunk() override;
};

}  // namespace qd
