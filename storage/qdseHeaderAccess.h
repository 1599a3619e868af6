// The two table-file header formats: "QD!1" (legacy: opened, never created)
// and "QD!2" (every new file). Each is a factory class registered under its
// signature, one factory per open file, and a header-access class for one
// operation under one transaction: named header sections in block 0, block
// allocation and freeing, and for "QD!2" the child headers of nested tables.
//
// Everything read from a file is checked before it is used as a size,
// offset, count or block number: a bad block 0 field or section table
// raises 8961, a bad free-block map, overflow block or chain 8962, and every
// chain walk is bounded by the used-block count.
//
// Block 0 (all integers little-endian; u = usable bytes per block):
//
//   offset size content
//        0    4 signature "QD!1" / "QD!2"
//        4    4 block number 0
//        8    8 LSN
//       16    1 block size code 0..4
//       17    2 "QD!2": size E of the encryption engine's header area
//       19    1 unused
//       20    4 u: block size - engine reserve - format reserve (0 / 4)
//       24    4 free-list head ("QD!1") / free-block-map chain head ("QD!2"),
//               -1 for none
//       28    4 free blocks ("QD!1": in the list, "QD!2": in the cache)
//       32    4 used blocks (the next new block number), >= 1
//       36    4 engine version x 10000 that created the file
//       40   32 encryption engine name (length byte <= 31, then bytes)
//       72   32 stream engine name (same form)
//   "QD!2" only:
//      104   80 free-block cache: up to 20 block numbers
//      256    2 section top: u - E - 1 (a child header: u - 1)
//      258  ... section table: length byte, name, 2-byte offset; a zero
//               length byte ends it. Sections grow down from the top.
//  u-E-1    E encryption header area; u - 1: unused
//        u    4 (every block) owner identifier
//
// Free-block map "FBMH": 16 next map block (-1 ends), 20 capacity
// (u - 28) / 4, 24 count, 28 entries; owner 0x7FFFFFFF.
// "SubHeaders" section (253 bytes): 31 pairs (id, block) sorted by id,
// 248 first overflow block (0: none), 252 pair count.
// Child-header overflow "CHOF": 16 next (0 ends), 20 capacity (u - 24) / 8
// (2 bytes), 22 count (2 bytes), 24 pairs; owner 0x7FFFFFFE.
// Freed block: signature "DEAD"; "QD!1" links the next free block at 16,
// "QD!2" sets the owner to 0.
//
// Classes: TqdCommonFileHeaderAccessFactory, Tqd1xFileHeaderAccessFactory,
// Tqd2xFileHeaderAccessFactory, TqdCommonFileHeaderAccess,
// Tqd1xFileHeaderAccess, Tqd2xFileHeaderAccess and their exceptions.
//
// Ownership and locks: a factory belongs to its file; a header access is
// owned by its caller and holds the header block (and for a nested table
// the root table's header access). Changes go only to the transaction's
// private images; no lock is taken here.
#pragma once

#include <memory>

#include "storage/qdsrBufferManager.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(Eqd1xFileHeaderAccessException, EqdFileHeaderAccessException);
QD_DECLARE_EXCEPTION_CLASS(Eqd2xFileHeaderAccessException, EqdFileHeaderAccessException);

// Stored owner identifiers with a meaning of their own.
inline constexpr int32_t kFreeBlockMapOwner = 0x7FFFFFFF;
inline constexpr int32_t kChildHeaderOverflowOwner = 0x7FFFFFFE;
// Free numbers the "QD!2" header keeps, and how many a refill or spill
// leaves.
inline constexpr uint32_t kHeaderFreeCacheSize = 20;
inline constexpr uint32_t kHeaderFreeCacheRefill = 15;
inline constexpr uint32_t kHeaderFreeCacheKeep = 5;
inline constexpr uint32_t kSubHeaderPairs = 31;
inline constexpr uint8_t kSubHeadersSectionSize = 253;

class TqdCommonFileHeaderAccessFactory : public TqdBaseFileHeaderAccessFactory {
 public:
  using TqdBaseFileHeaderAccessFactory::TqdBaseFileHeaderAccessFactory;

  uint32_t GetUsedBlocks(const uint8_t* aHeader) override;
  void CheckHeader(const uint8_t* aHeader, uint32_t aBytes) override;

 protected:
  // Formats a zeroed block 0 of the file's block size.
  virtual void Format(const TqdBlockSignature& aSignature, PqdBlock aHeader);
  // Copies the header's fields into the file after checking them.
  void ReadFields(const uint8_t* aHeader);
  // The largest free count the format stores.
  virtual uint32_t MaxFreeCount(uint32_t aUsedBlocks) = 0;
};

class Tqd1xFileHeaderAccessFactory final : public TqdCommonFileHeaderAccessFactory {
 public:
  using TqdCommonFileHeaderAccessFactory::TqdCommonFileHeaderAccessFactory;
  static const TqdFileHeaderFormatClass ClassInfo;

  std::unique_ptr<TqdBaseFileHeaderAccess> CreateFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty,
                                                                  TqdBlockAccess* aBlockAccess) override;

 protected:
  void Format(const TqdBlockSignature& aSignature, PqdBlock aHeader) override;
  uint32_t MaxFreeCount(uint32_t aUsedBlocks) override { return aUsedBlocks - 1; }

 private:
  static std::unique_ptr<TqdBaseFileHeaderAccessFactory> Create(const TqdBlockSignature& aSignature, TqdBaseFile* aFile,
                                                                PqdBlock aHeader);
  static void CheckDictionary(TqdDataDictionary* aDataDictionary, bool aForBuild);
};

class Tqd2xFileHeaderAccessFactory final : public TqdCommonFileHeaderAccessFactory {
 public:
  using TqdCommonFileHeaderAccessFactory::TqdCommonFileHeaderAccessFactory;
  static const TqdFileHeaderFormatClass ClassInfo;

  void InitChecksum(PqdBlock aHeader, bool aCreating) override;
  std::unique_ptr<TqdBaseFileHeaderAccess> CreateFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty,
                                                                  TqdBlockAccess* aBlockAccess) override;
  void VerifyID(const uint8_t* aBlock, TqdBlockNumber aBlockNum, int32_t aID) override;
  void ValidateBlock(const uint8_t* aBlock, TqdBlockNumber aBlockNum) override;
  int32_t GetID(const uint8_t* aBlock) override;
  uint8_t* GetEncryptionEngineHeader(uint8_t* aHeader) override;
  uint8_t* GetTableChecksum(uint8_t* aHeader) override;
  int32_t GetAdditionalReservedSpace() override { return 4; }
  void CheckHeader(const uint8_t* aHeader, uint32_t aBytes) override;

 protected:
  void Format(const TqdBlockSignature& aSignature, PqdBlock aHeader) override;
  uint32_t MaxFreeCount(uint32_t) override { return kHeaderFreeCacheSize; }

 private:
  static std::unique_ptr<TqdBaseFileHeaderAccessFactory> Create(const TqdBlockSignature& aSignature, TqdBaseFile* aFile,
                                                                PqdBlock aHeader);
};

class TqdCommonFileHeaderAccess : public TqdBaseFileHeaderAccess {
 public:
  using TqdBaseFileHeaderAccess::TqdBaseFileHeaderAccess;

  uint32_t UsedBlocks() override;
  uint32_t AvailableBlocks() override;

 protected:
  // The checks every allocation and freeing starts with.
  void CheckDirty();
  // Raises 8961 unless aNumber is a block of the file other than block 0.
  void CheckHeaderBlockNumber(uint32_t aNumber, uint32_t aUsedBlocks, const char16_t* aWhat);
};

class Tqd1xFileHeaderAccess final : public TqdCommonFileHeaderAccess {
 public:
  Tqd1xFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty, TqdBlockAccess* aBlockAccess);

  TqdBlockRef GetNewBlock(TqdBaseTransaction* aTrans, int32_t aID) override;
  void DeleteBlock(TqdBaseTransaction* aTrans, TqdBlockRef& aBlock) override;
  uint16_t RegisterHeaderSection(const qdAnsiString& aName, uint8_t aSize, bool aCreate, bool aOverwrite) override;
};

class Tqd2xFileHeaderAccess final : public TqdCommonFileHeaderAccess {
 public:
  Tqd2xFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty, TqdBlockAccess* aBlockAccess);

  void LoadHeader(TqdBaseTransaction* aTrans) override;
  TqdBlockRef GetNewBlock(TqdBaseTransaction* aTrans, int32_t aID) override;
  void DeleteBlock(TqdBaseTransaction* aTrans, TqdBlockRef& aBlock) override;
  uint16_t RegisterHeaderSection(const qdAnsiString& aName, uint8_t aSize, bool aCreate, bool aOverwrite) override;
  void ChangePassword(const qdString& aNewPassword) override;
  // The header block of the nested table aID (created under aTrans when
  // missing; without a transaction a missing one raises 8961).
  TqdBlockNumber GetHeaderBlockForID(TqdBaseTransaction* aTrans, int32_t aID);

 private:
  // Puts (aID, aBlock) into the overflow chain of the section at aSection.
  void InsertOverflowPair(TqdBaseTransaction* aTrans, uint8_t* aSection, int32_t aID, TqdBlockNumber aBlock);
  TqdBlockRef NewOverflowBlock(TqdBaseTransaction* aTrans, int32_t aID, TqdBlockNumber aBlock);
};

void qdseHeaderAccessInitialize();
void qdseHeaderAccessFinalize();

}  // namespace qd
