// Temporary storage: where the block cache can put block images when memory
// is short, addressed by slot numbers. TqdBaseTempStorage is the interface;
// TqdNullTempStorage is the storage of a cache without one (it has no room
// and refuses every image). The chunked storage file itself belongs to the
// server engine, which installs its class as qdTempStorageClass.
//
// A storage object is called only under the cache lock of the cache that
// owns it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "platform/qdStringList.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBaseTempStorageException, EqdBaseException);

using TqdBlockTmpNum = uint32_t;
inline constexpr TqdBlockTmpNum kNoTempSlot = 0xFFFFFFFF;

class TqdBaseTempStorage : public TqdObject {
 public:
  ~TqdBaseTempStorage() override = default;

  // Bytes reserved and bytes in use.
  virtual int64_t GetSize() = 0;
  virtual int64_t GetInUse() = 0;
  virtual bool HasSpaceFor(TqdBlockSize aBlockSize) = 0;
  // Reads an image and frees its slot.
  virtual void ReadBlock(TqdBlockTmpNum aBlockNum, TqdBlockSize aBlockSize, uint8_t* aBlock) = 0;
  // Reads an image and keeps its slot.
  virtual void PeekBlock(TqdBlockTmpNum aBlockNum, TqdBlockSize aBlockSize, uint8_t* aBlock) = 0;
  virtual void ReleaseBlock(TqdBlockTmpNum aBlockNum, TqdBlockSize aBlockSize) = 0;
  // Stores an image in a new slot.
  [[nodiscard]] virtual TqdBlockTmpNum WriteBlock(const uint8_t* aBlock, TqdBlockSize aBlockSize) = 0;

  // "Temporary Storage Total Size", "Temporary Storage Used Size".
  static void GetStatsCaptions(TqdStringList& aList);
  // Size and use in kbyte.
  virtual void GetStatsValues(TqdStringList& aList);
  // "0 kbyte" twice: a server without a running cache.
  static void GetStatsValuesStatic(TqdStringList& aList);
};

class TqdNullTempStorage final : public TqdBaseTempStorage {
 public:
  int64_t GetSize() override { return 0; }
  int64_t GetInUse() override { return 0; }
  bool HasSpaceFor(TqdBlockSize) override { return false; }
  void ReadBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) override;
  void PeekBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) override;
  void ReleaseBlock(TqdBlockTmpNum, TqdBlockSize) override;
  [[nodiscard]] TqdBlockTmpNum WriteBlock(const uint8_t*, TqdBlockSize) override;
};

// A temporary-storage class as a value: its constructor (a folder for its
// files) and its statistics without an object.
struct TqdTempStorageClassInfo {
  const char16_t* tsClassName;
  std::unique_ptr<TqdBaseTempStorage> (*tsCreate)(const qdString& aDir);
  void (*tsGetStatsCaptions)(TqdStringList& aList);
  void (*tsGetStatsValuesStatic)(TqdStringList& aList);
};
using TqdTempStorageClass = const TqdTempStorageClassInfo*;

// The process-wide temporary-storage class the server engine installs;
// nullptr: none (caches then use the null storage).
extern std::atomic<TqdTempStorageClass> qdTempStorageClass;

}  // namespace qd
