// Test seam for the allocator's operating-system layer: the system's
// virtual memory, with every call counted and reserve / commit failing on
// command.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/qdVirtualMemory.h"

namespace qd {

class TqdFaultVirtualMemory : public IqdVirtualMemory {
 public:
  // Reservations still allowed before they fail (-1: no limit).
  std::atomic<int64_t> fReservesLeft{-1};
  std::atomic<bool> fFailReserve{false};
  std::atomic<bool> fFailCommit{false};
  std::atomic<bool> fFailMapping{false};

  std::atomic<int64_t> fReserves{0};
  std::atomic<int64_t> fCommits{0};
  std::atomic<int64_t> fDecommits{0};
  std::atomic<int64_t> fResets{0};
  std::atomic<int64_t> fReleases{0};
  std::atomic<int64_t> fMappings{0};
  std::atomic<int64_t> fViews{0};
  std::atomic<int64_t> fRemaps{0};

  void* Reserve(size_t aSize, size_t aAlignment) override {
    if (fFailReserve) return nullptr;
    int64_t left = fReservesLeft.load();
    while (left > 0 && !fReservesLeft.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) return nullptr;
    ++fReserves;
    return fSystem.Reserve(aSize, aAlignment);
  }
  bool Commit(void* aAddress, size_t aSize) override {
    if (fFailCommit) return false;
    ++fCommits;
    return fSystem.Commit(aAddress, aSize);
  }
  bool Decommit(void* aAddress, size_t aSize) override {
    ++fDecommits;
    return fSystem.Decommit(aAddress, aSize);
  }
  bool Reset(void* aAddress, size_t aSize) override {
    ++fResets;
    return fSystem.Reset(aAddress, aSize);
  }
  bool Release(void* aAddress, size_t aSize) override {
    ++fReleases;
    return fSystem.Release(aAddress, aSize);
  }
  bool Lock(void* aAddress, size_t aSize) override { return fSystem.Lock(aAddress, aSize); }
  bool ProtectReadOnly(void* aAddress, size_t aSize) override { return fSystem.ProtectReadOnly(aAddress, aSize); }
  int CreateMapping(uint64_t aCapacity) override {
    if (fFailMapping) return -1;
    ++fMappings;
    return fSystem.CreateMapping(aCapacity);
  }
  bool CloseMapping(int aMapping) override { return fSystem.CloseMapping(aMapping); }
  void* MapView(int aMapping, size_t aSize) override {
    ++fViews;
    return fSystem.MapView(aMapping, aSize);
  }
  void* RemapView(int aMapping, void* aView, size_t aOldSize, size_t aNewSize) override {
    if (fFailMapping) return nullptr;
    ++fRemaps;
    return fSystem.RemapView(aMapping, aView, aOldSize, aNewSize);
  }
  bool UnmapView(void* aView, size_t aSize) override { return fSystem.UnmapView(aView, aSize); }
  bool CommitMapping(int aMapping, uint64_t aOffset, uint64_t aSize) override {
    if (fFailCommit) return false;
    return fSystem.CommitMapping(aMapping, aOffset, aSize);
  }
  bool ResetMapping(int aMapping, uint64_t aOffset, uint64_t aSize) override {
    return fSystem.ResetMapping(aMapping, aOffset, aSize);
  }

 private:
  TqdSystemVirtualMemory fSystem;
};

}  // namespace qd
