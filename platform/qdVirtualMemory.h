// Virtual memory services for the engine allocator: address space reserved
// and committed in place, and growable shared mappings whose views can be
// enlarged without copying their content.
//
// The allocator reaches the operating system only through IqdVirtualMemory,
// so a test can hand it a provider that fails on command (reserve, commit)
// and watch the allocator fall back on its emergency reserve.
//
// Granularities kept by every provider: 4 KB pages, 64 KB allocation
// granularity (every reservation and view starts on a 64 KB boundary unless a
// larger alignment is asked for), and the allocator's 4 MB chunks.
//
// Linux mapping of the services:
//   reserve   mmap(PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE),
//             over-reserved and trimmed to the alignment asked for
//   commit    mprotect(PROT_READ | PROT_WRITE)
//   decommit  madvise(MADV_DONTNEED): the memory goes back to the system, the
//             range stays readable (it reads as zeros) so that a thread that
//             lost a race on a lock-free list never faults on a stale entry
//   reset     madvise(MADV_FREE): the content may be discarded when the
//             system needs the memory, the range stays usable
//   release   munmap
//   mappings  memfd_create + ftruncate (the capacity, sparse); views are
//             MAP_SHARED mappings of the file; committing a range allocates
//             its pages with fallocate, resetting punches them out again
//
// Classes: IqdVirtualMemory (the provider interface), TqdSystemVirtualMemory.
// The system provider is stateless and shared by the whole process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd {

inline constexpr size_t qdPageSize = 4096;
inline constexpr size_t qdAllocationGranularity = 65536;

class IqdVirtualMemory {
 public:
  virtual ~IqdVirtualMemory() = default;

  // Address space only, no access; aAlignment is a power of two of at least
  // 64 KB. nil when the system refuses.
  virtual void* Reserve(size_t aSize, size_t aAlignment) = 0;
  // Makes a reserved range readable and writable.
  [[nodiscard]] virtual bool Commit(void* aAddress, size_t aSize) = 0;
  // Gives the memory back; the range stays reserved.
  [[nodiscard]] virtual bool Decommit(void* aAddress, size_t aSize) = 0;
  // The content may be discarded; the range stays usable.
  [[nodiscard]] virtual bool Reset(void* aAddress, size_t aSize) = 0;
  // Returns the range (reserved or committed) to the system.
  [[nodiscard]] virtual bool Release(void* aAddress, size_t aSize) = 0;
  // Keeps committed memory resident; best effort.
  [[nodiscard]] virtual bool Lock(void* aAddress, size_t aSize) = 0;
  // Makes a committed range read-only.
  [[nodiscard]] virtual bool ProtectReadOnly(void* aAddress, size_t aSize) = 0;

  // A growable shared mapping of aCapacity bytes (no memory taken yet);
  // -1 when the system refuses.
  virtual int CreateMapping(uint64_t aCapacity) = 0;
  [[nodiscard]] virtual bool CloseMapping(int aMapping) = 0;
  // A read-write view of the first aSize bytes of the mapping, placed on a
  // 64 KB boundary; nil on failure.
  virtual void* MapView(int aMapping, size_t aSize) = 0;
  // A view of the first aNewSize bytes in place of the view at aView
  // (aOldSize bytes). The view may move (to another 64 KB boundary); the
  // content is the mapping's and is not copied. nil on failure, the old view
  // then stays as it was.
  virtual void* RemapView(int aMapping, void* aView, size_t aOldSize, size_t aNewSize) = 0;
  [[nodiscard]] virtual bool UnmapView(void* aView, size_t aSize) = 0;
  // Takes memory for a range of the mapping, so that touching it later can
  // not fail.
  [[nodiscard]] virtual bool CommitMapping(int aMapping, uint64_t aOffset, uint64_t aSize) = 0;
  // Gives the memory of a range of the mapping back; it reads as zeros.
  [[nodiscard]] virtual bool ResetMapping(int aMapping, uint64_t aOffset, uint64_t aSize) = 0;
};

// The operating system's own services.
class TqdSystemVirtualMemory : public IqdVirtualMemory {
 public:
  void* Reserve(size_t aSize, size_t aAlignment) override;
  [[nodiscard]] bool Commit(void* aAddress, size_t aSize) override;
  [[nodiscard]] bool Decommit(void* aAddress, size_t aSize) override;
  [[nodiscard]] bool Reset(void* aAddress, size_t aSize) override;
  [[nodiscard]] bool Release(void* aAddress, size_t aSize) override;
  [[nodiscard]] bool Lock(void* aAddress, size_t aSize) override;
  [[nodiscard]] bool ProtectReadOnly(void* aAddress, size_t aSize) override;
  int CreateMapping(uint64_t aCapacity) override;
  [[nodiscard]] bool CloseMapping(int aMapping) override;
  void* MapView(int aMapping, size_t aSize) override;
  void* RemapView(int aMapping, void* aView, size_t aOldSize, size_t aNewSize) override;
  [[nodiscard]] bool UnmapView(void* aView, size_t aSize) override;
  [[nodiscard]] bool CommitMapping(int aMapping, uint64_t aOffset, uint64_t aSize) override;
  [[nodiscard]] bool ResetMapping(int aMapping, uint64_t aOffset, uint64_t aSize) override;
};

// The process's system provider (never destroyed).
IqdVirtualMemory& qdSystemVirtualMemory();

}  // namespace qd
