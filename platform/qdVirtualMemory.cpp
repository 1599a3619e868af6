#include "platform/qdVirtualMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace qd {

namespace {

uintptr_t alignUp(uintptr_t aValue, size_t aAlignment) { return (aValue + aAlignment - 1) & ~(aAlignment - 1); }

// Reserves aSize bytes on an aAlignment boundary by taking aSize +
// aAlignment and giving back the ends that fall outside.
void* reserveAligned(size_t aSize, size_t aAlignment) {
  if (aAlignment < qdAllocationGranularity) aAlignment = qdAllocationGranularity;
  const size_t total = aSize + aAlignment;
  if (total < aSize) return nullptr;
  void* raw = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = alignUp(start, aAlignment);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + total;
  const uintptr_t alignedEnd = aligned + aSize;
  if (end > alignedEnd) munmap(reinterpret_cast<void*>(alignedEnd), end - alignedEnd);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

void* TqdSystemVirtualMemory::Reserve(size_t aSize, size_t aAlignment) { return reserveAligned(aSize, aAlignment); }

bool TqdSystemVirtualMemory::Commit(void* aAddress, size_t aSize) {
  return mprotect(aAddress, aSize, PROT_READ | PROT_WRITE) == 0;
}

bool TqdSystemVirtualMemory::Decommit(void* aAddress, size_t aSize) {
  return madvise(aAddress, aSize, MADV_DONTNEED) == 0;
}

// The pages may be reclaimed when the system needs them, and are kept
// otherwise; kernels without MADV_FREE drop them at once.
bool TqdSystemVirtualMemory::Reset(void* aAddress, size_t aSize) {
  if (madvise(aAddress, aSize, MADV_FREE) == 0) return true;
  return madvise(aAddress, aSize, MADV_DONTNEED) == 0;
}

bool TqdSystemVirtualMemory::Release(void* aAddress, size_t aSize) { return munmap(aAddress, aSize) == 0; }

bool TqdSystemVirtualMemory::Lock(void* aAddress, size_t aSize) { return mlock(aAddress, aSize) == 0; }

bool TqdSystemVirtualMemory::ProtectReadOnly(void* aAddress, size_t aSize) {
  return mprotect(aAddress, aSize, PROT_READ) == 0;
}

int TqdSystemVirtualMemory::CreateMapping(uint64_t aCapacity) {
  const int fd = memfd_create("qdmm", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (ftruncate(fd, static_cast<off_t>(aCapacity)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool TqdSystemVirtualMemory::CloseMapping(int aMapping) { return close(aMapping) == 0; }

void* TqdSystemVirtualMemory::MapView(int aMapping, size_t aSize) {
  void* place = reserveAligned(aSize, qdAllocationGranularity);
  if (place == nullptr) return nullptr;
  void* view = mmap(place, aSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, aMapping, 0);
  if (view == MAP_FAILED) {
    munmap(place, aSize);
    return nullptr;
  }
  return view;
}

void* TqdSystemVirtualMemory::RemapView(int aMapping, void* aView, size_t aOldSize, size_t aNewSize) {
  // In place first: the view keeps its address when the space after it is
  // free (always so when it shrinks).
  void* same = mremap(aView, aOldSize, aNewSize, 0);
  if (same != MAP_FAILED) return same;
  // Elsewhere: a fresh view of the same file on a 64 KB boundary. The pages
  // belong to the file, so nothing is copied.
  void* view = MapView(aMapping, aNewSize);
  if (view == nullptr) return nullptr;
  munmap(aView, aOldSize);
  return view;
}

bool TqdSystemVirtualMemory::UnmapView(void* aView, size_t aSize) { return munmap(aView, aSize) == 0; }

bool TqdSystemVirtualMemory::CommitMapping(int aMapping, uint64_t aOffset, uint64_t aSize) {
  if (aSize == 0) return true;
  for (;;) {
    const int result = fallocate(aMapping, 0, static_cast<off_t>(aOffset), static_cast<off_t>(aSize));
    if (result == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool TqdSystemVirtualMemory::ResetMapping(int aMapping, uint64_t aOffset, uint64_t aSize) {
  if (aSize == 0) return true;
  return fallocate(aMapping, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(aOffset),
                   static_cast<off_t>(aSize)) == 0;
}

IqdVirtualMemory& qdSystemVirtualMemory() {
  // Constructed in place and never destroyed: the allocator may still give
  // memory back while static objects are being destroyed at exit.
  alignas(TqdSystemVirtualMemory) static unsigned char storage[sizeof(TqdSystemVirtualMemory)];
  static TqdSystemVirtualMemory* provider = new (storage) TqdSystemVirtualMemory();
  return *provider;
}

}  // namespace qd
