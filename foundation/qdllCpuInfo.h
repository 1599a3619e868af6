// Processor detection: vendor, signature, family and model, instruction-set
// features and cache sizes of every processor the process may run on, and
// the processor class that picks the engine's fill routine.
//
// The detection runs once per process at unit start, before other threads
// exist; afterwards the records are read-only and need no lock. It reads the
// identification registers through an IqdCpuidSource so that the decoding
// can be fed recorded register values.
//
// Classes: TqdCpuInfo, TqdCpuidRegisters, IqdCpuidSource, TqdHardwareCpuidSource.
#pragma once

#include <cstdint>
#include <span>

namespace qd {

// Index into the vendor table; 0 when the vendor string is not in it.
enum TqdCpuVendor : uint8_t {
  cvUnknown = 0,
  cvAMD = 1,
  cvCentaur = 2,
  cvCyrix = 3,
  cvIntel = 4,
  cvTransmeta = 5,
  cvNexGen = 6,
  cvRise = 7,
  cvUMC = 8,
  cvNSC = 9,
  cvSiS = 10,
};

// The 12-character vendor strings, indexed by TqdCpuVendor (entry 0 empty).
extern const char* const qdCpuVendorIds[11];

// Members of TqdCpuInfo::ciFeatures.
enum TqdCpuFeature : uint32_t {
  cfFPU = 0x1,
  cfTSC = 0x2,
  cfCX8 = 0x4,
  cfSEP = 0x8,  // fast system call
  cfCMOV = 0x10,
  cfMMX = 0x20,
  cfFXSR = 0x40,
  cfSSE = 0x80,
  cfSSE2 = 0x100,
  cfSSE3 = 0x200,
  cfSSSE3 = 0x400,
  cfSSE4A = 0x800,
  cfSSE41 = 0x1000,
  cfSSE42 = 0x2000,
  cfEcx11 = 0x4000,  // leaf 1 ECX bit 11, taken as it stands
  cfAVX = 0x8000,
  cfMONITOR = 0x10000,
  cfCX16 = 0x20000,
  cfLongMode = 0x40000,
  cfMMXExt = 0x80000,
  cf3DNowExt = 0x100000,
  cf3DNow = 0x200000,
};

inline constexpr int qdMaxCpuCount = 32;

struct TqdCpuInfo {
  uint8_t ciVendor;      // TqdCpuVendor
  uint32_t ciSignature;  // leaf 1 EAX
  uint8_t ciFamily;      // base family + extended family
  uint8_t ciModel;       // base model + 16 * extended model
  uint8_t ciBaseModel;
  uint16_t ciL1CodeCache;  // sizes in KB, 0 when unknown
  uint16_t ciL1DataCache;
  uint16_t ciL2Cache;
  uint16_t ciL3Cache;
  uint32_t ciFeatures;  // TqdCpuFeature bits

  bool Has(uint32_t aFeatures) const { return (ciFeatures & aFeatures) == aFeatures; }
};

struct TqdCpuidRegisters {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
};

// Where the detection reads the processor's identification registers.
class IqdCpuidSource {
 public:
  virtual ~IqdCpuidSource() = default;
  // Whether the identification instruction exists at all.
  virtual bool HasCpuid() = 0;
  // Without the identification instruction: whether an FPU answers.
  virtual bool HasFpu() = 0;
  virtual TqdCpuidRegisters Cpuid(uint32_t aLeaf, uint32_t aSubleaf) = 0;
  // Extended control register 0; only read when the OS uses XSAVE.
  virtual uint64_t Xcr0() = 0;
};

// Reads the processor the calling thread runs on.
class TqdHardwareCpuidSource final : public IqdCpuidSource {
 public:
  bool HasCpuid() override;
  bool HasFpu() override;
  TqdCpuidRegisters Cpuid(uint32_t aLeaf, uint32_t aSubleaf) override;
  uint64_t Xcr0() override;
};

// Detects one processor into a zeroed record. An exception thrown while
// reading leaves what was found until then.
TqdCpuInfo qdDetectCpu(IqdCpuidSource& aSource);

// Detects every processor of the calling thread's affinity mask (at most
// aInfos.size()), each while the thread is bound to it; the mask is restored
// afterwards. Returns the number of records filled (at least 1).
int qdDetectCpus(IqdCpuidSource& aSource, std::span<TqdCpuInfo> aInfos);

// Processor class 0..10 of a record; aOsSupported false gives at most 1.
uint8_t qdComputeProcessorClass(const TqdCpuInfo& aInfo, bool aOsSupported);

// Whether the operating system supports the instruction sets the classes
// above 1 rely on.
bool qdOsSupportsProcessorClasses();

// Results of the detection at unit start.
int qdCpuCount();
const TqdCpuInfo& qdCpuInfo(int aIndex = 0);
uint8_t qdProcessorClass();

// Only the first start detects; later starts and the stops count.
void qdllCpuInfoInitialize();
void qdllCpuInfoFinalize();

}  // namespace qd
