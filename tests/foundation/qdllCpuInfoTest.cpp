#include "foundation/qdllCpuInfo.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qd {
namespace {

// Answers the identification leaves from a table; missing leaves read as 0.
class FakeCpuid final : public IqdCpuidSource {
 public:
  FakeCpuid(const char* aVendor, uint32_t aHighestLeaf, uint32_t aHighestExtended) {
    TqdCpuidRegisters leaf0{aHighestLeaf, 0, 0, 0};
    std::memcpy(&leaf0.ebx, aVendor, 4);
    std::memcpy(&leaf0.edx, aVendor + 4, 4);
    std::memcpy(&leaf0.ecx, aVendor + 8, 4);
    leaves[0] = leaf0;
    leaves[0x80000000] = {aHighestExtended, 0, 0, 0};
  }

  bool HasCpuid() override { return hasCpuid; }
  bool HasFpu() override { return hasFpu; }
  TqdCpuidRegisters Cpuid(uint32_t aLeaf, uint32_t /*aSubleaf*/) override {
    if (aLeaf == 0) cpusSeen.insert(sched_getcpu());
    if (aLeaf == throwOnLeaf) throw std::runtime_error("leaf refused");
    if (aLeaf == 2 && !leaf2.empty()) {
      ++leaf2Reads;
      return leaf2[std::min(leaf2Reads - 1, static_cast<int>(leaf2.size()) - 1)];
    }
    auto found = leaves.find(aLeaf);
    return found == leaves.end() ? TqdCpuidRegisters{} : found->second;
  }
  uint64_t Xcr0() override {
    ++xcr0Reads;
    return xcr0;
  }

  std::map<uint32_t, TqdCpuidRegisters> leaves;
  std::vector<TqdCpuidRegisters> leaf2;  // successive answers of leaf 2
  int leaf2Reads = 0;
  uint64_t xcr0 = 0;
  int xcr0Reads = 0;
  bool hasCpuid = true;
  bool hasFpu = true;
  uint32_t throwOnLeaf = 0xFFFFFFFF;
  std::set<int> cpusSeen;
};

TEST(CpuInfoTest, VendorStringsMapToTheirIndex) {
  for (int vendor = cvAMD; vendor <= cvSiS; ++vendor) {
    FakeCpuid cpu(qdCpuVendorIds[vendor], 0, 0);
    EXPECT_EQ(qdDetectCpu(cpu).ciVendor, vendor) << qdCpuVendorIds[vendor];
  }
  for (const char* unknown : {"GenuineIntex", "UMC UMC UMC_", "\0\0\0\0\0\0\0\0\0\0\0\0"}) {
    FakeCpuid cpu(unknown, 0, 0);
    EXPECT_EQ(qdDetectCpu(cpu).ciVendor, cvUnknown) << unknown;
  }
}

TEST(CpuInfoTest, SignatureGivesFamilyAndModel) {
  struct Case {
    uint32_t signature;
    uint8_t family, model, baseModel;
  };
  const Case cases[] = {
      {0x00000633, 6, 3, 3},       {0x000106A5, 6, 0x1A, 0xA}, {0x00000F29, 15, 2, 2},
      {0x00A20F10, 0x19, 0x21, 1}, {0x000906EA, 6, 0x9E, 0xE},
  };
  for (const Case& c : cases) {
    FakeCpuid cpu("GenuineIntel", 1, 0);
    cpu.leaves[1] = {c.signature, 0, 0, 0};
    const TqdCpuInfo info = qdDetectCpu(cpu);
    EXPECT_EQ(info.ciSignature, c.signature);
    EXPECT_EQ(info.ciFamily, c.family) << std::hex << c.signature;
    EXPECT_EQ(info.ciModel, c.model) << std::hex << c.signature;
    EXPECT_EQ(info.ciBaseModel, c.baseModel) << std::hex << c.signature;
  }
}

TEST(CpuInfoTest, FeatureBitsAndTheirRemovals) {
  constexpr uint32_t kAllEdx =
      (1u << 0) | (1u << 4) | (1u << 8) | (1u << 11) | (1u << 15) | (1u << 23) | (1u << 24) | (1u << 25) | (1u << 26);
  constexpr uint32_t kEdxFeatures = cfFPU | cfTSC | cfCX8 | cfSEP | cfCMOV | cfMMX | cfFXSR | cfSSE | cfSSE2;
  constexpr uint32_t kAvx = (1u << 28), kOsXsave = (1u << 27);
  struct Case {
    const char* name;
    const char* vendor;
    uint32_t signature, edx, ecx;
    uint32_t highestExtended, extendedEdx, extendedEcx;
    uint64_t xcr0;
    uint32_t expected;
  };
  const Case cases[] = {
      {"edx bits", "GenuineIntel", 0x633, kAllEdx, 0, 0, 0, 0, 0, kEdxFeatures},
      {"fast call before 633", "GenuineIntel", 0x632, kAllEdx, 0, 0, 0, 0, 0, kEdxFeatures & ~uint32_t{cfSEP}},
      {"reserved bits masked", "GenuineIntel", 0xC632, 1u << 11, 0, 0, 0, 0, 0, 0},
      {"processor type kept", "GenuineIntel", 0x1632, 1u << 11, 0, 0, 0, 0, 0, cfSEP},
      {"extended model counts", "GenuineIntel", 0x10632, 1u << 11, 0, 0, 0, 0, 0, cfSEP},
      {"fast call other vendor", "AuthenticAMD", 0x600, 1u << 11, 0, 0, 0, 0, 0, cfSEP},
      {"ecx bits", "AuthenticAMD", 0x600, 0, (1u << 0) | (1u << 9) | (1u << 19) | (1u << 20) | (1u << 11) | (1u << 13),
       0, 0, 0, 0, cfSSE3 | cfSSSE3 | cfSSE41 | cfSSE42 | cfEcx11 | cfCX16},
      {"monitor on intel", "GenuineIntel", 0x6F6, 0, 1u << 3, 0, 0, 0, 0, cfMONITOR},
      {"monitor elsewhere", "AuthenticAMD", 0xF48, 0, 1u << 3, 0, 0, 0, 0, 0},
      {"avx saved by os", "GenuineIntel", 0x206A7, 0, kAvx | kOsXsave, 0, 0, 0, 0x7, cfAVX},
      {"avx state off", "GenuineIntel", 0x206A7, 0, kAvx | kOsXsave, 0, 0, 0, 0x3, 0},
      {"sse state off", "GenuineIntel", 0x206A7, 0, kAvx | kOsXsave, 0, 0, 0, 0x5, 0},
      {"avx without osxsave", "GenuineIntel", 0x206A7, 0, kAvx, 0, 0, 0, 0x7, 0},
      {"extended leaf", "AuthenticAMD", 0xF48, 0, 0, 0x80000001, (1u << 29) | (1u << 22) | (1u << 30) | (1u << 31),
       1u << 6, 0, cfLongMode | cfMMXExt | cf3DNowExt | cf3DNow | cfSSE4A},
      {"extended leaf absent", "AuthenticAMD", 0xF48, 0, 0, 0x80000000, 1u << 29, 1u << 6, 0, 0},
  };
  for (const Case& c : cases) {
    FakeCpuid cpu(c.vendor, 1, c.highestExtended);
    cpu.leaves[1] = {c.signature, 0, c.ecx, c.edx};
    cpu.leaves[0x80000001] = {0, 0, c.extendedEcx, c.extendedEdx};
    cpu.xcr0 = c.xcr0;
    EXPECT_EQ(qdDetectCpu(cpu).ciFeatures, c.expected) << c.name;
  }
}

// Reading XCR0 without OSXSAVE faults on real processors.
TEST(CpuInfoTest, Xcr0IsReadOnlyWhenTheOsUsesXsave) {
  FakeCpuid cpu("GenuineIntel", 1, 0);
  cpu.leaves[1] = {0x206A7, 0, 1u << 28, 0};
  (void)qdDetectCpu(cpu);
  EXPECT_EQ(cpu.xcr0Reads, 0);
}

TEST(CpuInfoTest, CacheSizes) {
  constexpr uint32_t kNone = 0;
  struct Case {
    const char* name;
    const char* vendor;
    uint32_t signature;
    TqdCpuidRegisters leaf2;
    uint32_t highestExtended;
    TqdCpuidRegisters extended5, extended6;
    uint16_t l1Code, l1Data, l2, l3;
  };
  const Case cases[] = {
      {"two-core descriptors",
       "GenuineIntel",
       0x6F6,
       {0x05B0B101, 0x005657F0, 0, 0x2CB43049},
       kNone,
       {},
       {},
       32,
       32,
       4096,
       0},
      {"49h as L3", "GenuineIntel", 0xF65, {0x00497A01, 0, 0, 0}, kNone, {}, {}, 0, 0, 256, 4096},
      {"49h as L2 elsewhere", "GenuineIntel", 0xF41, {0x00497A01, 0, 0, 0}, kNone, {}, {}, 0, 0, 4096, 0},
      {"40h clears L3 after L2", "GenuineIntel", 0x6F6, {0x00000001, 0, 0, 0x00402243}, kNone, {}, {}, 0, 0, 512, 0},
      {"40h without L2", "GenuineIntel", 0x6F6, {0x00000001, 0, 0, 0x00004022}, kNone, {}, {}, 0, 0, 0, 512},
      {"trace cache", "GenuineIntel", 0xF29, {0x00007001, 0, 0, 0}, kNone, {}, {}, 12, 0, 0, 0},
      {"70h on cyrix", "CyrixInstead", 0x600, {0x00007001, 0, 0, 0}, kNone, {}, {}, 0, 0, 0, 0},
      {"80h on cyrix", "CyrixInstead", 0x600, {0x00008001, 0, 0, 0}, kNone, {}, {}, 8, 8, 0, 0},
      {"80h on nsc", "Geode by NSC", 0x5A2, {0x00008001, 0, 0, 0}, kNone, {}, {}, 8, 8, 0, 0},
      {"80h on intel", "GenuineIntel", 0x6F6, {0x00008001, 0, 0, 0}, kNone, {}, {}, 0, 0, 512, 0},
      {"register with bit 31",
       "GenuineIntel",
       0x6F6,
       {0x00000001, 0x8000002C, 0, 0x00000030},
       kNone,
       {},
       {},
       32,
       0,
       0,
       0},
      {"large L3", "GenuineIntel", 0x206D7, {0x00000001, 0, 0x000000EC, 0}, kNone, {}, {}, 0, 0, 0, 24576},
      {"amd extended leaves",
       "AuthenticAMD",
       0xF48,
       {},
       0x80000008,
       {0, 0, 0x40020140, 0x40020140},
       {0, 0, 0x02006140, 0},
       64,
       64,
       512,
       0},
      {"amd early part",
       "AuthenticAMD",
       0x630,
       {},
       0x80000008,
       {0, 0, 0x40020140, 0x40020140},
       {0, 0, 0x00406140, 0},
       64,
       64,
       64,
       0},
      {"centaur model 7",
       "CentaurHauls",
       0x673,
       {},
       0x80000006,
       {0, 0, 0x10000000, 0x20000000},
       {0, 0, 0x40FF0000, 0},
       32,
       16,
       64,
       0},
      {"intel skips leaf 80000005",
       "GenuineIntel",
       0x6F6,
       {0x00000001, 0, 0, 0x2C304300},
       0x80000008,
       {0, 0, 0x40000000, 0x40000000},
       {0, 0, 0x08006040, 0},
       32,
       32,
       2048,
       0},
      {"cyrix skips leaf 80000005",
       "CyrixInstead",
       0x600,
       {},
       0x80000006,
       {0, 0, 0x40000000, 0x40000000},
       {0, 0, 0x01000000, 0},
       0,
       0,
       256,
       0},
      {"leaf 80000006 not above highest",
       "AuthenticAMD",
       0xF48,
       {},
       0x80000005,
       {0, 0, 0x40000000, 0x40000000},
       {0, 0, 0x02006140, 0},
       0,
       0,
       0,
       0},
  };
  for (const Case& c : cases) {
    FakeCpuid cpu(c.vendor, 2, c.highestExtended);
    cpu.leaves[1] = {c.signature, 0, 0, 0};
    cpu.leaves[2] = c.leaf2;
    cpu.leaves[0x80000005] = c.extended5;
    cpu.leaves[0x80000006] = c.extended6;
    const TqdCpuInfo info = qdDetectCpu(cpu);
    EXPECT_EQ(info.ciL1CodeCache, c.l1Code) << c.name;
    EXPECT_EQ(info.ciL1DataCache, c.l1Data) << c.name;
    EXPECT_EQ(info.ciL2Cache, c.l2) << c.name;
    EXPECT_EQ(info.ciL3Cache, c.l3) << c.name;
  }
}

TEST(CpuInfoTest, Leaf2IsReadAsOftenAsItsCountSays) {
  FakeCpuid cpu("GenuineIntel", 2, 0);
  cpu.leaves[1] = {0x6F6, 0, 0, 0};
  cpu.leaf2 = {{0x00003002, 0, 0, 0}, {0x00002C02, 0, 0, 0}};
  const TqdCpuInfo info = qdDetectCpu(cpu);
  EXPECT_EQ(cpu.leaf2Reads, 2);
  EXPECT_EQ(info.ciL1CodeCache, 32);
  EXPECT_EQ(info.ciL1DataCache, 32);
}

TEST(CpuInfoTest, Leaf2NeedsHighestLeafAboveOne) {
  FakeCpuid cpu("GenuineIntel", 1, 0);
  cpu.leaves[1] = {0x6F6, 0, 0, 0};
  cpu.leaves[2] = {0x2C304301, 0, 0, 0};
  const TqdCpuInfo info = qdDetectCpu(cpu);
  EXPECT_EQ(info.ciL2Cache, 0);
  EXPECT_EQ(info.ciL1DataCache, 0);
}

TEST(CpuInfoTest, FailureKeepsWhatWasFound) {
  FakeCpuid cpu("GenuineIntel", 2, 0x80000008);
  cpu.leaves[1] = {0x6F6, 0, 0, 1u << 0};
  cpu.leaves[0x80000006] = {0, 0, 0x08006040, 0};
  cpu.throwOnLeaf = 2;
  const TqdCpuInfo info = qdDetectCpu(cpu);
  EXPECT_EQ(info.ciVendor, cvIntel);
  EXPECT_EQ(info.ciFamily, 6);
  EXPECT_EQ(info.ciFeatures, uint32_t{cfFPU});
  EXPECT_EQ(info.ciL2Cache, 0);  // read after the failure
}

TEST(CpuInfoTest, WithoutIdentificationOnlyTheFpuIsKnown) {
  for (bool fpu : {true, false}) {
    FakeCpuid cpu("GenuineIntel", 1, 0);
    cpu.leaves[1] = {0x6F6, 0, 0, 0xFFFFFFFF};
    cpu.hasCpuid = false;
    cpu.hasFpu = fpu;
    const TqdCpuInfo info = qdDetectCpu(cpu);
    EXPECT_EQ(info.ciFeatures, fpu ? uint32_t{cfFPU} : 0u);
    EXPECT_EQ(info.ciVendor, cvUnknown);
    EXPECT_EQ(info.ciSignature, 0u);
  }
}

TEST(CpuInfoTest, ProcessorClass) {
  constexpr uint32_t kBase = cfFPU | cfCMOV | cfMMX;
  struct Case {
    uint8_t vendor, family, model;
    uint32_t features;
    bool osSupported;
    uint8_t expected;
  };
  const Case cases[] = {
      {cvIntel, 6, 15, cfFPU | cfCMOV, true, 0},
      {cvIntel, 6, 15, cfFPU | cfMMX, true, 0},
      {cvIntel, 6, 15, cfCMOV | cfMMX, true, 0},
      {cvIntel, 6, 15, kBase, false, 1},
      {cvIntel, 6, 6, kBase, true, 1},
      {cvIntel, 6, 7, kBase, true, 2},
      {cvIntel, 6, 0x9E, kBase, true, 2},
      {cvIntel, 6, 9, kBase, true, 3},
      {cvIntel, 6, 13, kBase, true, 3},
      {cvIntel, 15, 2, kBase, true, 4},
      {cvIntel, 15, 3, kBase | cfSSE3, true, 5},
      {cvIntel, 15, 4, kBase | cfSSE3 | cfLongMode, true, 6},
      {cvIntel, 15, 4, kBase | cfLongMode, true, 6},
      {cvAMD, 6, 4, kBase, true, 7},
      {cvAMD, 6, 8, kBase | cfSSE, true, 8},
      {cvAMD, 15, 4, kBase | cfSSE, true, 9},
      {cvAMD, 15, 0x2B, kBase | cfSSE3, true, 10},
      {cvAMD, 0x19, 1, kBase | cfSSE3 | cfLongMode, true, 1},
      {cvAMD, 15, 0x2B, kBase | cfSSE3, false, 1},
      {cvCentaur, 6, 9, kBase, true, 1},
  };
  for (const Case& c : cases) {
    TqdCpuInfo info{};
    info.ciVendor = c.vendor;
    info.ciFamily = c.family;
    info.ciModel = c.model;
    info.ciFeatures = c.features;
    EXPECT_EQ(qdComputeProcessorClass(info, c.osSupported), c.expected)
        << int{c.vendor} << " family " << int{c.family} << " model " << int{c.model};
  }
}

// The detection on this machine agrees with the compiler's own checks.
TEST(CpuInfoTest, HardwareDetectionAgreesWithCompilerChecks) {
  ASSERT_GE(qdCpuCount(), 1);
  const TqdCpuInfo& info = qdCpuInfo();
  EXPECT_NE(info.ciVendor, cvUnknown);
  // Every 64-bit processor has these.
  EXPECT_TRUE(info.Has(cfFPU | cfTSC | cfCX8 | cfCMOV | cfMMX | cfFXSR | cfSSE | cfSSE2 | cfLongMode));
  EXPECT_EQ(info.Has(cfSSE3), __builtin_cpu_supports("sse3") != 0);
  EXPECT_EQ(info.Has(cfSSSE3), __builtin_cpu_supports("ssse3") != 0);
  EXPECT_EQ(info.Has(cfSSE41), __builtin_cpu_supports("sse4.1") != 0);
  EXPECT_EQ(info.Has(cfSSE42), __builtin_cpu_supports("sse4.2") != 0);
  EXPECT_EQ(info.Has(cfAVX), __builtin_cpu_supports("avx") != 0);
  EXPECT_EQ(qdProcessorClass(), qdComputeProcessorClass(info, true));
  EXPECT_GE(qdProcessorClass(), 1);
}

bool sameMask(const cpu_set_t& a, const cpu_set_t& b) { return CPU_EQUAL(&a, &b); }

// Each processor of the mask is detected while bound to it, and the
// thread's mask is what it was afterwards.
TEST(CpuInfoTest, DetectsEachProcessorOnItselfAndRestoresTheMask) {
  std::thread([] {
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    std::set<int> allowed;
    for (int cpu = 0; cpu < CPU_SETSIZE && allowed.size() < 2; ++cpu) {
      if (CPU_ISSET(cpu, &original)) allowed.insert(cpu);
    }
    cpu_set_t narrowed;
    CPU_ZERO(&narrowed);
    for (int cpu : allowed) CPU_SET(cpu, &narrowed);
    ASSERT_EQ(sched_setaffinity(0, sizeof narrowed, &narrowed), 0);

    FakeCpuid cpu("AuthenticAMD", 1, 0);
    cpu.leaves[1] = {0xF48, 0, 0, 1};
    TqdCpuInfo infos[qdMaxCpuCount]{};
    EXPECT_EQ(qdDetectCpus(cpu, infos), static_cast<int>(allowed.size()));
    EXPECT_EQ(cpu.cpusSeen, allowed);
    for (size_t i = 0; i < allowed.size(); ++i) EXPECT_EQ(infos[i].ciSignature, 0xF48u);

    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(sameMask(after, narrowed));
  }).join();
}

TEST(CpuInfoTest, DetectionStopsAtTheRecordsGiven) {
  std::thread([] {
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    FakeCpuid cpu("GenuineIntel", 1, 0);
    cpu.throwOnLeaf = 1;  // a failing processor still leaves the mask restored
    TqdCpuInfo infos[1]{};
    EXPECT_EQ(qdDetectCpus(cpu, infos), 1);
    EXPECT_EQ(infos[0].ciVendor, cvIntel);
    EXPECT_EQ(cpu.cpusSeen.size(), 1u);
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(sameMask(after, before));
  }).join();
}

}  // namespace
}  // namespace qd
