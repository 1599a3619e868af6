#include "foundation/qdllMemoryManager.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/qdSysUtils.h"

// Provisional front over the system allocator; the engine allocator proper
// replaces the bodies of these routines behind the same interface.

namespace qd {

void qdGetMem(void*& P, size_t aSize) {
  if (aSize == 0) {
    P = nullptr;
    return;
  }
  void* block = std::malloc(aSize);
  if (block == nullptr) qdRaiseOutOfMemory();
  P = block;
}

void* qdGetMemPtr(size_t aSize) {
  void* P = nullptr;
  qdGetMem(P, aSize);
  return P;
}

void qdGetMemZeroed(void*& P, size_t aSize) {
  qdGetMem(P, aSize);
  if (P != nullptr) std::memset(P, 0, aSize);
}

void* qdAllocMem(size_t aSize) {
  void* P = nullptr;
  qdGetMemZeroed(P, aSize);
  return P;
}

void qdFreeMem(void* P) { std::free(P); }

void qdFreeMemAndNil(void*& P) { qdFreeMem(qdInterlockedExchangePointer(P, static_cast<void*>(nullptr))); }

void qdReallocMem(void*& P, size_t aNewSize) {
  if (P == nullptr) {
    if (aNewSize != 0) qdGetMem(P, aNewSize);
    return;
  }
  if (aNewSize == 0) {
    void* old = P;
    P = nullptr;
    qdFreeMem(old);
    return;
  }
  void* block = std::realloc(P, aNewSize);
  if (block == nullptr) qdRaiseOutOfMemory();
  P = block;
}

void* TqdObject::operator new(size_t aSize) { return qdGetMemPtr(aSize == 0 ? 1 : aSize); }

void TqdObject::operator delete(void* P) noexcept { qdFreeMem(P); }

}  // namespace qd
