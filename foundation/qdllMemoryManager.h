// The engine allocator's front: checked memory routines and the object
// bases whose instances live on the engine allocator.
//
// Every engine allocation goes through these routines. A failed allocation
// raises the out-of-memory run-time error (std::bad_alloc); a pointer the
// allocator refuses raises the invalid-pointer error (EInvalidPointer).
//
// Classes: TqdObject.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/qdllInterlocked.h"

namespace qd {

// Size 0 gives nil.
void qdGetMem(void*& P, size_t aSize);
void* qdGetMemPtr(size_t aSize);
void qdGetMemZeroed(void*& P, size_t aSize);
void* qdAllocMem(size_t aSize);
// nil is ignored.
void qdFreeMem(void* P);
// Takes P out of the variable first, so the variable is nil before the free.
void qdFreeMemAndNil(void*& P);
// P nil and size 0: nothing. P nil: allocate. Size 0: P := nil, then free.
// A failed reallocation raises and leaves P unchanged.
void qdReallocMem(void*& P, size_t aNewSize);

template <typename T>
inline void qdGetMem(T*& P, size_t aSize) {
  void* raw = nullptr;
  qdGetMem(raw, aSize);
  P = static_cast<T*>(raw);
}

template <typename T>
inline void qdFreeMemAndNil(T*& P) {
  void* raw = qdInterlockedExchangePointer(P, static_cast<T*>(nullptr));
  qdFreeMem(raw);
}

template <typename T>
inline void qdReallocMem(T*& P, size_t aNewSize) {
  void* raw = P;
  qdReallocMem(raw, aNewSize);
  P = static_cast<T*>(raw);
}

// Base of engine classes: instances are taken from the engine allocator.
class TqdObject {
 public:
  TqdObject() = default;
  TqdObject(const TqdObject&) = delete;
  TqdObject& operator=(const TqdObject&) = delete;
  virtual ~TqdObject() = default;

  static void* operator new(size_t aSize);
  static void operator delete(void* P) noexcept;
};

// Takes the object out of the variable (nil before the destructor runs),
// then destroys it; nil is ignored.
template <typename T>
inline void qdFreeAndNil(T*& aObject) {
  T* object = qdInterlockedExchangePointer(aObject, static_cast<T*>(nullptr));
  delete object;
}

}  // namespace qd
