// The machine's memory status, as the server's memory sizing and the block
// cache's budget read it: total and available physical memory, and total and
// available virtual address space of the process, all in bytes.
//
// Linux mapping:
//   physical  /proc/meminfo (MemTotal, MemAvailable), each bounded by the
//             cgroup's memory limit ("memory.max", or the v1
//             "memory.limit_in_bytes") when one is set, since a process in a
//             container can never use more
//   virtual   the user address space (RLIMIT_AS when set, else 128 TiB, the
//             x86-64 user half) and what of it /proc/self/status's VmSize
//             does not take yet
//
// The status comes from one process-wide source. The system source is the
// default; `qdSetMemoryStatusSource` replaces it (a test's fixed machine) and
// returns the previous one so that it can be put back.
#pragma once

#include <cstdint>

namespace qd {

struct TqdMemoryStatus {
  uint64_t TotalPhys = 0;
  uint64_t AvailPhys = 0;
  uint64_t TotalVirtual = 0;
  uint64_t AvailVirtual = 0;
};

// Fills aStatus and answers true; false when the status cannot be read
// (aStatus then holds zeros).
using TqdMemoryStatusSource = bool (*)(TqdMemoryStatus& aStatus);

[[nodiscard]] bool qdGetMemoryStatus(TqdMemoryStatus& aStatus);

// The system's own reading, whatever source is installed.
[[nodiscard]] bool qdSystemMemoryStatus(TqdMemoryStatus& aStatus);

// Installs aSource (nullptr: the system source) and returns the previous one.
TqdMemoryStatusSource qdSetMemoryStatusSource(TqdMemoryStatusSource aSource);

}  // namespace qd
