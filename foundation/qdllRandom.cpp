#include "foundation/qdllRandom.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "foundation/qdllException.h"

namespace qd {

namespace {

std::atomic<bool> seeded{false};
std::atomic<uint64_t> seedState{0};

uint64_t nextSeeded() {
  uint64_t z = seedState.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

void qdGetRandomBytes(void* aData, size_t aLength) {
  auto* bytes = static_cast<uint8_t*>(aData);
  if (seeded.load(std::memory_order_acquire)) {
    while (aLength > 0) {
      const uint64_t value = nextSeeded();
      const size_t part = aLength < sizeof value ? aLength : sizeof value;
      std::memcpy(bytes, &value, part);
      bytes += part;
      aLength -= part;
    }
    return;
  }
  size_t filled = 0;
  while (filled < aLength) {
    const ssize_t got = getrandom(bytes + filled, aLength - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      qdRaiseLastOSError(u"getrandom");
    }
    filled += size_t(got);
  }
}

void qdSetRandomTestSeed(uint64_t aSeed) {
  seedState.store(aSeed, std::memory_order_relaxed);
  seeded.store(aSeed != 0, std::memory_order_release);
}

}  // namespace qd
