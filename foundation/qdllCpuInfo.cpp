#include "foundation/qdllCpuInfo.h"

#include <sched.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "foundation/qdllInterlocked.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace qd {

const char* const qdCpuVendorIds[11] = {"",
                                        "AuthenticAMD",
                                        "CentaurHauls",
                                        "CyrixInstead",
                                        "GenuineIntel",
                                        "GenuineTMx86",
                                        "NexGenDriven",
                                        "RiseRiseRise",
                                        "UMC UMC UMC ",
                                        "Geode by NSC",
                                        "SiS SiS SiS "};

namespace {

constexpr uint32_t kExtendedBase = 0x80000000;

bool bit(uint32_t value, int index) { return ((value >> index) & 1) != 0; }

// Leaf 1 EDX and ECX bits and the extended leaf's EDX bits that map straight
// onto a feature.
struct FeatureBit {
  int bitIndex;
  uint32_t feature;
};

constexpr FeatureBit kLeaf1Edx[] = {{0, cfFPU},  {4, cfTSC},   {8, cfCX8},  {11, cfSEP}, {15, cfCMOV},
                                    {23, cfMMX}, {24, cfFXSR}, {25, cfSSE}, {26, cfSSE2}};
constexpr FeatureBit kLeaf1Ecx[] = {{0, cfSSE3},   {9, cfSSSE3}, {19, cfSSE41}, {20, cfSSE42},
                                    {11, cfEcx11}, {28, cfAVX},  {13, cfCX16}};
constexpr FeatureBit kExtendedEdx[] = {{29, cfLongMode}, {22, cfMMXExt}, {30, cf3DNowExt}, {31, cf3DNow}};

uint32_t mapFeatures(uint32_t value, std::span<const FeatureBit> bits) {
  uint32_t features = 0;
  for (const FeatureBit& entry : bits) {
    if (bit(value, entry.bitIndex)) features |= entry.feature;
  }
  return features;
}

enum CacheLevel : uint8_t { clL1Code, clL1Data, clL2, clL3 };

struct CacheDescriptor {
  uint8_t descriptor;
  CacheLevel level;
  uint16_t sizeKB;
};

// Cache descriptors of leaf 2 with a size; 40h, 49h, 70h and 80h depend on
// the processor and are handled in decodeDescriptor. Trace caches count
// their thousands of micro-operations as KB.
constexpr CacheDescriptor kCacheDescriptors[] = {
    {0x06, clL1Code, 8},  {0x08, clL1Code, 16}, {0x09, clL1Code, 32}, {0x0A, clL1Data, 8},  {0x0C, clL1Data, 16},
    {0x0D, clL1Data, 16}, {0x0E, clL1Data, 24}, {0x10, clL1Data, 16}, {0x15, clL1Code, 16}, {0x1A, clL2, 96},
    {0x1D, clL2, 128},    {0x21, clL2, 256},    {0x22, clL3, 512},    {0x23, clL3, 1024},   {0x24, clL2, 1024},
    {0x25, clL3, 2048},   {0x29, clL3, 4096},   {0x2C, clL1Data, 32}, {0x30, clL1Code, 32}, {0x39, clL2, 128},
    {0x3A, clL2, 192},    {0x3B, clL2, 128},    {0x3C, clL2, 256},    {0x3D, clL2, 384},    {0x3E, clL2, 512},
    {0x41, clL2, 128},    {0x42, clL2, 256},    {0x43, clL2, 512},    {0x44, clL2, 1024},   {0x45, clL2, 2048},
    {0x46, clL3, 4096},   {0x47, clL3, 8192},   {0x48, clL2, 3072},   {0x4A, clL3, 6144},   {0x4B, clL3, 8192},
    {0x4C, clL3, 12288},  {0x4D, clL3, 16384},  {0x4E, clL2, 6144},   {0x60, clL1Data, 16}, {0x66, clL1Data, 8},
    {0x67, clL1Data, 16}, {0x68, clL1Data, 32}, {0x71, clL1Code, 16}, {0x72, clL1Code, 32}, {0x73, clL1Code, 64},
    {0x78, clL2, 1024},   {0x79, clL2, 128},    {0x7A, clL2, 256},    {0x7B, clL2, 512},    {0x7C, clL2, 1024},
    {0x7D, clL2, 2048},   {0x7E, clL2, 256},    {0x7F, clL2, 512},    {0x81, clL2, 128},    {0x82, clL2, 256},
    {0x83, clL2, 512},    {0x84, clL2, 1024},   {0x85, clL2, 2048},   {0x86, clL2, 512},    {0x87, clL2, 1024},
    {0x88, clL3, 2048},   {0x89, clL3, 4096},   {0x8A, clL3, 8192},   {0x8D, clL3, 3072},   {0xD0, clL3, 512},
    {0xD1, clL3, 1024},   {0xD2, clL3, 2048},   {0xD6, clL3, 1024},   {0xD7, clL3, 2048},   {0xD8, clL3, 4096},
    {0xDC, clL3, 1536},   {0xDD, clL3, 3072},   {0xDE, clL3, 6144},   {0xE2, clL3, 2048},   {0xE3, clL3, 4096},
    {0xE4, clL3, 8192},   {0xEA, clL3, 12288},  {0xEB, clL3, 18432},  {0xEC, clL3, 24576},
};

void setCache(TqdCpuInfo& info, CacheLevel level, uint16_t sizeKB) {
  switch (level) {
    case clL1Code:
      info.ciL1CodeCache = sizeKB;
      break;
    case clL1Data:
      info.ciL1DataCache = sizeKB;
      break;
    case clL2:
      info.ciL2Cache = sizeKB;
      break;
    case clL3:
      info.ciL3Cache = sizeKB;
      break;
  }
}

// Cyrix and NSC processors give 70h and 80h their own meanings.
bool cyrixDescriptors(const TqdCpuInfo& info) { return info.ciVendor == cvCyrix || info.ciVendor == cvNSC; }

void decodeDescriptor(TqdCpuInfo& info, uint8_t descriptor) {
  switch (descriptor) {
    case 0x40:  // no L3 when there is an L2
      if (info.ciL2Cache != 0) info.ciL3Cache = 0;
      return;
    case 0x49:
      if (info.ciVendor == cvIntel && info.ciFamily == 15 && info.ciModel == 6) {
        info.ciL3Cache = 4096;
      } else {
        info.ciL2Cache = 4096;
      }
      return;
    case 0x70:
      if (!cyrixDescriptors(info)) info.ciL1CodeCache = 12;
      return;
    case 0x80:
      if (cyrixDescriptors(info)) {
        info.ciL1CodeCache = 8;
        info.ciL1DataCache = 8;
      } else {
        info.ciL2Cache = 512;
      }
      return;
    default:
      break;
  }
  for (const CacheDescriptor& entry : kCacheDescriptors) {
    if (entry.descriptor == descriptor) {
      setCache(info, entry.level, entry.sizeKB);
      return;
    }
  }
}

// A register with bit 31 set holds no descriptors; the low byte of EAX is
// the repeat count, not a descriptor.
void decodeLeaf2(TqdCpuInfo& info, const TqdCpuidRegisters& registers) {
  const uint32_t values[4] = {registers.eax, registers.ebx, registers.ecx, registers.edx};
  for (int r = 0; r < 4; ++r) {
    if (bit(values[r], 31)) continue;
    for (int b = (r == 0 ? 1 : 0); b < 4; ++b) decodeDescriptor(info, static_cast<uint8_t>(values[r] >> (8 * b)));
  }
}

uint8_t vendorOf(const TqdCpuidRegisters& leaf0) {
  char id[12];
  std::memcpy(id, &leaf0.ebx, 4);
  std::memcpy(id + 4, &leaf0.edx, 4);
  std::memcpy(id + 8, &leaf0.ecx, 4);
  for (int vendor = cvSiS; vendor > cvUnknown; --vendor) {
    if (std::memcmp(id, qdCpuVendorIds[vendor], 12) == 0) return static_cast<uint8_t>(vendor);
  }
  return cvUnknown;
}

void detectInto(IqdCpuidSource& source, TqdCpuInfo& info) {
  if (!source.HasCpuid()) {
    if (source.HasFpu()) info.ciFeatures = cfFPU;
    return;
  }
  const TqdCpuidRegisters leaf0 = source.Cpuid(0, 0);
  const uint32_t highestLeaf = leaf0.eax;
  info.ciVendor = vendorOf(leaf0);

  uint32_t leaf1Ecx = 0;
  if (highestLeaf >= 1) {
    const TqdCpuidRegisters leaf1 = source.Cpuid(1, 0);
    leaf1Ecx = leaf1.ecx;
    info.ciSignature = leaf1.eax;
    info.ciBaseModel = static_cast<uint8_t>((leaf1.eax >> 4) & 0xF);
    info.ciFamily = static_cast<uint8_t>(((leaf1.eax >> 8) & 0xF) + ((leaf1.eax >> 20) & 0xFF));
    info.ciModel = static_cast<uint8_t>(info.ciBaseModel + 16 * ((leaf1.eax >> 16) & 0xF));
    info.ciFeatures |= mapFeatures(leaf1.edx, kLeaf1Edx) | mapFeatures(leaf1.ecx, kLeaf1Ecx);
    // Processors before signature 633h report the fast system call without
    // supporting it.
    if (info.ciVendor == cvIntel && (info.ciSignature & 0x0FFF3FFF) < 0x633) info.ciFeatures &= ~uint32_t{cfSEP};
    if (info.ciVendor == cvIntel && bit(leaf1.ecx, 3)) info.ciFeatures |= cfMONITOR;

    if (highestLeaf > 1) {
      TqdCpuidRegisters leaf2 = source.Cpuid(2, 0);
      const int repeats = static_cast<int>(leaf2.eax & 0xFF);
      for (int i = 0; i < repeats; ++i) {
        if (i > 0) leaf2 = source.Cpuid(2, 0);
        decodeLeaf2(info, leaf2);
      }
    }
  }

  const uint32_t highestExtended = source.Cpuid(kExtendedBase, 0).eax;
  if (highestExtended > kExtendedBase) {
    const TqdCpuidRegisters extended = source.Cpuid(kExtendedBase + 1, 0);
    info.ciFeatures |= mapFeatures(extended.edx, kExtendedEdx);
    if (bit(extended.ecx, 6)) info.ciFeatures |= cfSSE4A;
  }

  // AVX state is only usable when the OS saves it: OSXSAVE set and XCR0
  // enabling both SSE and AVX state. XCR0 must not be read without OSXSAVE.
  if (info.Has(cfAVX)) {
    const bool osSaves = bit(leaf1Ecx, 27) && (source.Xcr0() & 0x6) == 0x6;
    if (!osSaves) info.ciFeatures &= ~uint32_t{cfAVX};
  }

  if (highestExtended > kExtendedBase + 5) {
    if (info.ciVendor != cvCyrix && info.ciVendor != cvIntel) {
      const TqdCpuidRegisters l1 = source.Cpuid(kExtendedBase + 5, 0);
      info.ciL1CodeCache = static_cast<uint16_t>(l1.edx >> 24);
      info.ciL1DataCache = static_cast<uint16_t>(l1.ecx >> 24);
    }
    const TqdCpuidRegisters l2 = source.Cpuid(kExtendedBase + 6, 0);
    if (info.ciVendor == cvAMD && (info.ciSignature & 0xFFF) == 0x630) {
      info.ciL2Cache = 64;  // early parts report a wrong size
    } else if (info.ciVendor == cvCentaur && info.ciFamily == 6 && (info.ciModel == 7 || info.ciModel == 8)) {
      info.ciL2Cache = static_cast<uint16_t>(l2.ecx >> 24);
    } else {
      info.ciL2Cache = static_cast<uint16_t>(l2.ecx >> 16);
    }
  }
}

// Restores the calling thread's affinity mask however the detection ends.
class AffinityRestorer {
 public:
  explicit AffinityRestorer(const cpu_set_t& mask) : mask_(mask) {}
  ~AffinityRestorer() { (void)sched_setaffinity(0, sizeof mask_, &mask_); }  // nothing better to do on failure
  AffinityRestorer(const AffinityRestorer&) = delete;
  AffinityRestorer& operator=(const AffinityRestorer&) = delete;

 private:
  cpu_set_t mask_;
};

int32_t startCount = 0;
std::array<TqdCpuInfo, qdMaxCpuCount> cpuInfos{};
int cpuCount = 0;
uint8_t processorClass = 0;

}  // namespace

bool TqdHardwareCpuidSource::HasCpuid() {
#if defined(__x86_64__) || defined(__i386__)
  return __get_cpuid_max(0, nullptr) != 0;  // toggles the flags' ID bit where that can fail
#else
  return false;
#endif
}

// Only reached without the identification instruction, which every 64-bit
// processor has; x87 is part of that architecture.
bool TqdHardwareCpuidSource::HasFpu() {
#if defined(__x86_64__)
  return true;
#else
  return false;
#endif
}

TqdCpuidRegisters TqdHardwareCpuidSource::Cpuid(uint32_t aLeaf, uint32_t aSubleaf) {
  TqdCpuidRegisters registers{};
#if defined(__x86_64__) || defined(__i386__)
  // Leaves above the highest one leave the registers at 0.
  (void)__get_cpuid_count(aLeaf, aSubleaf, &registers.eax, &registers.ebx, &registers.ecx, &registers.edx);
#else
  (void)aLeaf;
  (void)aSubleaf;
#endif
  return registers;
}

uint64_t TqdHardwareCpuidSource::Xcr0() {
#if defined(__x86_64__) || defined(__i386__)
  uint32_t low = 0;
  uint32_t high = 0;
  // xgetbv, spelled as bytes for assemblers that refuse it without -mxsave.
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(low), "=d"(high) : "c"(0));
  return (static_cast<uint64_t>(high) << 32) | low;
#else
  return 0;
#endif
}

TqdCpuInfo qdDetectCpu(IqdCpuidSource& aSource) {
  TqdCpuInfo info{};
  try {
    detectInto(aSource, info);
  } catch (...) {
    // Keep what was found; a half-known processor still gets a fill and move.
  }
  return info;
}

int qdDetectCpus(IqdCpuidSource& aSource, std::span<TqdCpuInfo> aInfos) {
  if (aInfos.empty()) return 0;
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) != 0 || CPU_COUNT(&mask) == 0) {
    aInfos[0] = qdDetectCpu(aSource);
    return 1;
  }
  int count = 0;
  {
    AffinityRestorer restorer(mask);
    for (int cpu = 0; cpu < CPU_SETSIZE && count < static_cast<int>(aInfos.size()); ++cpu) {
      if (!CPU_ISSET(cpu, &mask)) continue;
      cpu_set_t single;
      CPU_ZERO(&single);
      CPU_SET(cpu, &single);
      // A processor that went offline meanwhile is skipped.
      if (sched_setaffinity(0, sizeof single, &single) != 0) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      aInfos[count++] = qdDetectCpu(aSource);
    }
  }
  if (count == 0) {
    aInfos[0] = qdDetectCpu(aSource);
    count = 1;
  }
  return count;
}

uint8_t qdComputeProcessorClass(const TqdCpuInfo& aInfo, bool aOsSupported) {
  if (!aInfo.Has(cfFPU | cfCMOV | cfMMX)) return 0;
  if (!aOsSupported) return 1;
  const bool sse = aInfo.Has(cfSSE);
  const bool sse3 = aInfo.Has(cfSSE3);
  const bool longMode = aInfo.Has(cfLongMode);
  if (aInfo.ciVendor == cvIntel) {
    if (aInfo.ciFamily == 6) {
      if (aInfo.ciModel == 9 || aInfo.ciModel == 13) return 3;
      if (aInfo.ciModel >= 7) return 2;
    } else if (aInfo.ciFamily == 15) {
      if (longMode) return 6;
      return sse3 ? 5 : 4;
    }
  } else if (aInfo.ciVendor == cvAMD) {
    if (aInfo.ciFamily == 6) return sse ? 8 : 7;
    if (aInfo.ciFamily == 15) return sse3 ? 10 : 9;
  }
  return 1;
}

// The classes above 1 need an OS that saves the SSE state on a task switch;
// every Linux this engine runs on does, so the check passes.
bool qdOsSupportsProcessorClasses() { return true; }

int qdCpuCount() { return cpuCount; }

const TqdCpuInfo& qdCpuInfo(int aIndex) {
  static const TqdCpuInfo empty{};
  return aIndex >= 0 && aIndex < cpuCount ? cpuInfos[static_cast<size_t>(aIndex)] : empty;
}

uint8_t qdProcessorClass() { return processorClass; }

void qdllCpuInfoInitialize() {
  if (qdInterlockedIncrement(startCount) != 1) return;
  TqdHardwareCpuidSource source;
  cpuCount = qdDetectCpus(source, cpuInfos);
  processorClass = qdComputeProcessorClass(cpuInfos[0], qdOsSupportsProcessorClasses());
}

void qdllCpuInfoFinalize() { qdInterlockedDecrement(startCount); }

}  // namespace qd
