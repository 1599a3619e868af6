// An allocator hook module for the allocator's tests, loaded through the
// "QendoMM5Hook" environment variable. It counts every call (read back
// through qdTestHookCalls), changes one argument (BeforeGetPool adds 1 to
// the size) and replaces one result (AfterGetAllocSize answers 7), so a
// test can see that the hooks sit where they should.
#include <cstddef>

namespace {

// Indexes in the order of the 16 routines.
long calls[16];

}  // namespace

extern "C" {

long qdTestHookCalls(int aRoutine) { return __atomic_load_n(&calls[aRoutine], __ATOMIC_SEQ_CST); }

void qdTestHookReset() {
  for (long& count : calls) __atomic_store_n(&count, 0, __ATOMIC_SEQ_CST);
}

void BeforeGetMem(size_t* /*aSize*/) { __atomic_add_fetch(&calls[0], 1, __ATOMIC_SEQ_CST); }
void AfterGetMem(size_t /*aSize*/, void** /*aResult*/) { __atomic_add_fetch(&calls[1], 1, __ATOMIC_SEQ_CST); }
void BeforeFreeMem(void** /*aPointer*/) { __atomic_add_fetch(&calls[2], 1, __ATOMIC_SEQ_CST); }
void BeforeReallocMem(void** /*aPointer*/, size_t* /*aSize*/) { __atomic_add_fetch(&calls[3], 1, __ATOMIC_SEQ_CST); }
void AfterReallocMem(size_t /*aSize*/, void** /*aResult*/) { __atomic_add_fetch(&calls[4], 1, __ATOMIC_SEQ_CST); }
void BeforeGetAllocSize(void** /*aPointer*/) { __atomic_add_fetch(&calls[5], 1, __ATOMIC_SEQ_CST); }
void AfterGetAllocSize(void* /*aPointer*/, size_t* aResult) {
  __atomic_add_fetch(&calls[6], 1, __ATOMIC_SEQ_CST);
  *aResult = 7;
}
void AfterBlockPoolCommittedAlloc(void* /*aBlock*/) { __atomic_add_fetch(&calls[7], 1, __ATOMIC_SEQ_CST); }
void BeforeBlockPoolCommittedDispose(void* /*aBlock*/) { __atomic_add_fetch(&calls[8], 1, __ATOMIC_SEQ_CST); }
void AfterBlockPoolCommittedLargeAlloc(void* /*aBlock*/) { __atomic_add_fetch(&calls[9], 1, __ATOMIC_SEQ_CST); }
void BeforeBlockPoolCommittedLargeDispose(void* /*aBlock*/) { __atomic_add_fetch(&calls[10], 1, __ATOMIC_SEQ_CST); }
void AfterBlockPoolPhysicalAlloc(void* /*aBlock*/) { __atomic_add_fetch(&calls[11], 1, __ATOMIC_SEQ_CST); }
void BeforeBlockPoolPhysicalDispose(void* /*aBlock*/) { __atomic_add_fetch(&calls[12], 1, __ATOMIC_SEQ_CST); }
void BeforeGetPool(size_t* aSize) {
  __atomic_add_fetch(&calls[13], 1, __ATOMIC_SEQ_CST);
  *aSize += 1;
}
void AfterMemoryPoolAlloc(void* /*aPool*/, void** /*aItem*/) { __atomic_add_fetch(&calls[14], 1, __ATOMIC_SEQ_CST); }
void BeforeMemoryPoolDispose(void** /*aItem*/) { __atomic_add_fetch(&calls[15], 1, __ATOMIC_SEQ_CST); }

}  // extern "C"
