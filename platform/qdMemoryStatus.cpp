#include "platform/qdMemoryStatus.h"

#include <sys/resource.h>

#include <atomic>
#include <charconv>
#include <fstream>
#include <string>
#include <string_view>

namespace qd {

namespace {

constexpr uint64_t kUserAddressSpace = uint64_t{1} << 47;

std::atomic<TqdMemoryStatusSource> memoryStatusSource{nullptr};

// Reads "<key>:   <number> kB" lines of a /proc status file; answers the
// number in bytes, or 0 when the key is missing.
uint64_t ReadKilobyteField(const char* aPath, std::string_view aKey) {
  std::ifstream file(aPath);
  std::string line;
  while (std::getline(file, line)) {
    if (line.size() <= aKey.size() || line.compare(0, aKey.size(), aKey) != 0 || line[aKey.size()] != ':') continue;
    size_t first = line.find_first_of("0123456789", aKey.size());
    if (first == std::string::npos) return 0;
    uint64_t value = 0;
    std::from_chars(line.data() + first, line.data() + line.size(), value);
    return value * 1024;
  }
  return 0;
}

// The cgroup's memory limit in bytes, or 0 when none is set ("max", or the
// v1 files' huge stand-in for unlimited).
uint64_t ReadCgroupLimit() {
  for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text)) continue;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return value >= (uint64_t{1} << 62) ? 0 : value;
  }
  return 0;
}

uint64_t Bounded(uint64_t aValue, uint64_t aLimit) { return aLimit != 0 && aValue > aLimit ? aLimit : aValue; }

}  // namespace

bool qdSystemMemoryStatus(TqdMemoryStatus& aStatus) {
  aStatus = {};
  uint64_t total = ReadKilobyteField("/proc/meminfo", "MemTotal");
  if (total == 0) return false;
  uint64_t limit = ReadCgroupLimit();
  aStatus.TotalPhys = Bounded(total, limit);
  aStatus.AvailPhys = Bounded(ReadKilobyteField("/proc/meminfo", "MemAvailable"), aStatus.TotalPhys);

  rlimit addressLimit{};
  uint64_t virtualTotal = kUserAddressSpace;
  if (getrlimit(RLIMIT_AS, &addressLimit) == 0 && addressLimit.rlim_cur != RLIM_INFINITY) {
    virtualTotal = Bounded(virtualTotal, addressLimit.rlim_cur);
  }
  uint64_t used = ReadKilobyteField("/proc/self/status", "VmSize");
  aStatus.TotalVirtual = virtualTotal;
  aStatus.AvailVirtual = used < virtualTotal ? virtualTotal - used : 0;
  return true;
}

bool qdGetMemoryStatus(TqdMemoryStatus& aStatus) {
  TqdMemoryStatusSource source = memoryStatusSource.load(std::memory_order_acquire);
  return source != nullptr ? source(aStatus) : qdSystemMemoryStatus(aStatus);
}

TqdMemoryStatusSource qdSetMemoryStatusSource(TqdMemoryStatusSource aSource) {
  return memoryStatusSource.exchange(aSource, std::memory_order_acq_rel);
}

}  // namespace qd
