#include "storage/qdseHeaderAccess.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/qdFormat.h"
#include "storage/qdsrEncryptionEngineBase.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseHeaderAccess";

// Block 0.
constexpr uint32_t kOffSizeCode = 16;
constexpr uint32_t kOffEncryptionHeaderSize = 17;
constexpr uint32_t kOffUsable = 20;
constexpr uint32_t kOffFreeHead = 24;
constexpr uint32_t kOffFreeCount = 28;
constexpr uint32_t kOffUsedBlocks = 32;
constexpr uint32_t kOffVersion = 36;
constexpr uint32_t kOffEncryptionName = 40;
constexpr uint32_t kOffStreamName = 72;
constexpr uint32_t kOffFreeCache = 104;
constexpr uint32_t kOffSectionTop = 256;
constexpr uint32_t kOffSectionTable = 258;
constexpr uint32_t kEngineNameMax = 31;
// Free-block map.
constexpr uint32_t kMapNext = 16;
constexpr uint32_t kMapCapacity = 20;
constexpr uint32_t kMapCount = 24;
constexpr uint32_t kMapEntries = 28;
// Child-header overflow block.
constexpr uint32_t kOverflowNext = 16;
constexpr uint32_t kOverflowCapacity = 20;
constexpr uint32_t kOverflowCount = 22;
constexpr uint32_t kOverflowPairs = 24;
// "SubHeaders" section.
constexpr uint32_t kSubFirstOverflow = 248;
constexpr uint32_t kSubCount = 252;
// Freed blocks, "QD!1": next free block.
constexpr uint32_t kDeadNext = 16;

constexpr TqdBlockSignature kSignatureV1 = qdSignature("QD!1");
constexpr TqdBlockSignature kSignatureV2 = qdSignature("QD!2");
constexpr TqdBlockSignature kSignatureDead = qdSignature("DEAD");
constexpr TqdBlockSignature kSignatureMap = qdSignature("FBMH");
constexpr TqdBlockSignature kSignatureOverflow = qdSignature("CHOF");

// Raises a corruption error whose text is the code's own text followed by
// what was found.
template <class E>
[[noreturn]] void raiseCorrupt(TqdResult aCode, const qdString& aDetail, const char* aFile = __builtin_FILE(),
                               int aLine = __builtin_LINE()) {
  qdRaiseCorrupt<E>(aCode, qdOriginalMessageMarker() + u" " + aDetail, aFile, aLine);
}

qdString engineName(const uint8_t* aField) {
  // The length was checked against the field before.
  qdString result;
  for (uint32_t i = 0; i < aField[0]; ++i) result.push_back(char16_t(aField[1 + i]));
  return result;
}

void putEngineName(uint8_t* aField, const qdString& aName) {
  const size_t length = std::min<size_t>(aName.size(), kEngineNameMax);
  aField[0] = uint8_t(length);
  for (size_t i = 0; i < length; ++i) aField[1 + i] = aName[i] < 0x80 ? uint8_t(aName[i]) : uint8_t('?');
}

bool sameNameIgnoringCase(const uint8_t* aStored, uint32_t aLength, const qdAnsiString& aName) {
  if (aLength != aName.size()) return false;
  for (uint32_t i = 0; i < aLength; ++i)
    if (std::toupper(aStored[i]) != std::toupper(uint8_t(aName[i]))) return false;
  return true;
}

bool validBlockNumber(uint32_t aNumber, uint32_t aUsedBlocks) { return aNumber != 0 && aNumber < aUsedBlocks; }

// One walk over a section table, bounded by the table itself: every entry
// must end at or below its own section, and sections never rise above the
// one before them.
struct TqdSectionWalk {
  bool swFound = false;
  uint32_t swPosition = 0;  // of the matching entry, or of the end
  uint32_t swTop = 0;       // the top above the entry (or the free top at the end)
  uint16_t swOffset = 0;    // of the matching entry
};

template <class E>
TqdSectionWalk walkSections(const uint8_t* aHeader, uint32_t aUsable, const qdAnsiString* aName,
                            const qdString& aFileName) {
  TqdSectionWalk walk;
  uint32_t top = qdGetU16(aHeader + kOffSectionTop);
  if (top <= kOffSectionTable || top >= aUsable)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Section top %d in file \"%s\"", {top, aFileName}));
  uint32_t position = kOffSectionTable;
  while (position < top && aHeader[position] != 0) {
    const uint32_t length = aHeader[position];
    const uint32_t entryEnd = position + 1 + length + 2;
    if (entryEnd > top)
      raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Section table entry at %d runs into the sections in file \"%s\"",
                                                   {position, aFileName}));
    const uint16_t offset = qdGetU16(aHeader + position + 1 + length);
    if (offset < entryEnd || offset > top)
      raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Section offset %d at %d out of place in file \"%s\"",
                                                   {uint32_t(offset), position, aFileName}));
    if (aName != nullptr && sameNameIgnoringCase(aHeader + position + 1, length, *aName)) {
      walk.swFound = true;
      walk.swPosition = position;
      walk.swTop = top;
      walk.swOffset = offset;
      return walk;
    }
    top = offset;
    position = entryEnd;
  }
  walk.swPosition = position;
  walk.swTop = top;
  return walk;
}

// Pairs (identifier, block number) as the "SubHeaders" section and the
// overflow blocks store them.
int32_t pairID(const uint8_t* aPairs, uint32_t aIndex) { return qdGetI32(aPairs + 8 * aIndex); }
uint32_t pairBlock(const uint8_t* aPairs, uint32_t aIndex) { return qdGetU32(aPairs + 8 * aIndex + 4); }
void putPair(uint8_t* aPairs, uint32_t aIndex, int32_t aID, uint32_t aBlock) {
  qdPutI32(aPairs + 8 * aIndex, aID);
  qdPutU32(aPairs + 8 * aIndex + 4, aBlock);
}

// Index of the first pair whose identifier is not below aID.
uint32_t lowerBound(const uint8_t* aPairs, uint32_t aCount, int32_t aID) {
  uint32_t low = 0;
  uint32_t high = aCount;
  while (low < high) {
    const uint32_t middle = (low + high) / 2;
    if (pairID(aPairs, middle) < aID)
      low = middle + 1;
    else
      high = middle;
  }
  return low;
}

template <class E>
void checkPairsSorted(const uint8_t* aPairs, uint32_t aCount, TqdResult aCode, const qdString& aWhere) {
  for (uint32_t i = 1; i < aCount; ++i)
    if (pairID(aPairs, i - 1) >= pairID(aPairs, i))
      raiseCorrupt<E>(aCode, qd::Format(u"Child headers out of order in %s", {aWhere}));
}

// Inserts a pair at its place among aCount sorted pairs (room for one more
// is there).
void insertPair(uint8_t* aPairs, uint32_t aCount, int32_t aID, uint32_t aBlock) {
  const uint32_t index = lowerBound(aPairs, aCount, aID);
  if (index < aCount && pairID(aPairs, index) == aID) qdAssertFailed(kUnit, "child header identifier exists");
  std::memmove(aPairs + 8 * (index + 1), aPairs + 8 * index, 8 * (aCount - index));
  putPair(aPairs, index, aID, aBlock);
}

}  // namespace

// --- Common factory ---------------------------------------------------------------------------

uint32_t TqdCommonFileHeaderAccessFactory::GetUsedBlocks(const uint8_t* aHeader) {
  return qdGetU32(aHeader + kOffUsedBlocks);
}

void TqdCommonFileHeaderAccessFactory::Format(const TqdBlockSignature& aSignature, PqdBlock aHeader) {
  TqdBaseFile* file = bfhafFile;
  const uint32_t blockSize = file->BlockSizeBytes();
  std::memset(aHeader, 0, blockSize);
  qdSetBlockSignature(aHeader, aSignature);
  qdSetBlockThisBlock(aHeader, 0);
  qdSetBlockLSN(aHeader, 0);
  aHeader[kOffSizeCode] = uint8_t(file->fiBlockSize);
  // An encryption engine keeps its trailer at the end of every block.
  uint32_t usable = blockSize - uint32_t(GetAdditionalReservedSpace());
  if (!file->fiEncryptionEngineName.empty())
    usable -= TqdBaseEncryptionEngine::ReservedSpacePerBlock(file->fiEncryptionEngineName, false, file->fiBlockSize);
  qdPutU32(aHeader + kOffUsable, usable);
  file->fiBlockSizeBytes = usable;
  putEngineName(aHeader + kOffEncryptionName, file->fiEncryptionEngineName);
  putEngineName(aHeader + kOffStreamName, file->fiStreamEngineName);
  qdPutU32(aHeader + kOffUsedBlocks, 1);
  file->fiUsedBlocks = 1;
  if (file->fiTrans != nullptr) file->fiTransUsedBlocks = 1;
  qdPutU32(aHeader + kOffFreeCount, 0);
  qdPutU32(aHeader + kOffFreeHead, kNoBlock);
  qdPutI32(aHeader + kOffVersion, file->fiQendoVersion);
}

void TqdCommonFileHeaderAccessFactory::ReadFields(const uint8_t* aHeader) {
  CheckHeader(aHeader, qdBlockSizeAllBytes(qdbs4k));
  TqdBaseFile* file = bfhafFile;
  file->fiBlockSize = TqdBlockSize(aHeader[kOffSizeCode]);
  file->fiBlockSizeBytes = qdGetU32(aHeader + kOffUsable);
  file->fiUsedBlocks = qdGetU32(aHeader + kOffUsedBlocks);
  file->fiEncryptionEngineName = engineName(aHeader + kOffEncryptionName);
  file->fiStreamEngineName = engineName(aHeader + kOffStreamName);
  file->fiQendoVersion = qdGetI32(aHeader + kOffVersion);
}

void TqdCommonFileHeaderAccessFactory::CheckHeader(const uint8_t* aHeader, uint32_t) {
  using E = EqdFileHeaderAccessException;
  const qdString fileName = bfhafFile->FileName();
  if (qdBlockThisBlock(aHeader) != 0)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Block 0 is identified as block %d in file \"%s\"",
                                                 {qdBlockThisBlock(aHeader), fileName}));
  const uint32_t sizeCode = aHeader[kOffSizeCode];
  if (sizeCode > kMaxTableBlockSizeCode)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Block size code %d in file \"%s\"", {sizeCode, fileName}));
  const uint32_t blockSize = qdBlockSizeAllBytes(TqdBlockSize(sizeCode));
  const uint32_t usable = qdGetU32(aHeader + kOffUsable);
  const uint32_t formatUsable = blockSize - uint32_t(GetAdditionalReservedSpace());
  if (aHeader[kOffEncryptionName] > kEngineNameMax || aHeader[kOffStreamName] > kEngineNameMax)
    raiseCorrupt<E>(qdeHeaderCorrupt,
                    qd::Format(u"Engine name longer than %d characters in file \"%s\"", {kEngineNameMax, fileName}));
  // A plain file's usable size follows from the block size alone; an
  // encryption engine reserves a little more at the end of each block.
  const bool plain = aHeader[kOffEncryptionName] == 0;
  if (plain ? usable != formatUsable : usable > formatUsable || usable < blockSize / 2)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Usable block size %d for block size %d in file \"%s\"",
                                                 {usable, blockSize, fileName}));
  const uint32_t used = qdGetU32(aHeader + kOffUsedBlocks);
  if (used == 0 || used > kMaxBlockCount)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Used block count %d in file \"%s\"", {used, fileName}));
  if (!bfhafFile->fiAttributes.Contains(qdfaTemporary) && bfhafFile->FileIsOpen()) {
    const int64_t size = bfhafFile->FileSize();
    if (int64_t(used) * blockSize > size)
      raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"The header counts %d blocks but file \"%s\" holds %d bytes",
                                                   {used, fileName, size}));
  }
  const uint32_t freeCount = qdGetU32(aHeader + kOffFreeCount);
  if (freeCount > MaxFreeCount(used))
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Free block count %d in file \"%s\"", {freeCount, fileName}));
  const uint32_t freeHead = qdGetU32(aHeader + kOffFreeHead);
  if (freeHead != kNoBlock && !validBlockNumber(freeHead, used))
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Free block chain head %d in file \"%s\"", {freeHead, fileName}));
}

// --- "QD!1" --------------------------------------------------------------------------------

const TqdFileHeaderFormatClass Tqd1xFileHeaderAccessFactory::ClassInfo = {
    "Tqd1xFileHeaderAccessFactory", &Tqd1xFileHeaderAccessFactory::Create,
    &Tqd1xFileHeaderAccessFactory::CheckDictionary, 0};

std::unique_ptr<TqdBaseFileHeaderAccessFactory> Tqd1xFileHeaderAccessFactory::Create(
    const TqdBlockSignature& aSignature, TqdBaseFile* aFile, PqdBlock aHeader) {
  auto factory = std::make_unique<Tqd1xFileHeaderAccessFactory>(aFile);
  if (qdSignatureEmpty(aSignature))
    factory->ReadFields(aHeader);
  else
    factory->Format(aSignature, aHeader);
  return factory;
}

void Tqd1xFileHeaderAccessFactory::CheckDictionary(TqdDataDictionary*, bool aForBuild) {
  if (aForBuild) throw Eqd1xFileHeaderAccessException(qdeNotSupported, u"Can't create new files with v1 header");
}

void Tqd1xFileHeaderAccessFactory::Format(const TqdBlockSignature&, PqdBlock) {
  throw Eqd1xFileHeaderAccessException(qdeNotSupported, u"Can't create new files with v1 header");
}

std::unique_ptr<TqdBaseFileHeaderAccess> Tqd1xFileHeaderAccessFactory::CreateFileHeaderAccess(
    TqdBaseTransaction* aTrans, bool aMarkDirty, TqdBlockAccess* aBlockAccess) {
  if (aBlockAccess->_File() != bfhafFile) qdAssertFailed(kUnit, "header access for another file");
  return std::make_unique<Tqd1xFileHeaderAccess>(aTrans, aMarkDirty, aBlockAccess);
}

// --- "QD!2" --------------------------------------------------------------------------------

const TqdFileHeaderFormatClass Tqd2xFileHeaderAccessFactory::ClassInfo = {
    "Tqd2xFileHeaderAccessFactory", &Tqd2xFileHeaderAccessFactory::Create, nullptr, 4};

std::unique_ptr<TqdBaseFileHeaderAccessFactory> Tqd2xFileHeaderAccessFactory::Create(
    const TqdBlockSignature& aSignature, TqdBaseFile* aFile, PqdBlock aHeader) {
  auto factory = std::make_unique<Tqd2xFileHeaderAccessFactory>(aFile);
  if (qdSignatureEmpty(aSignature))
    factory->ReadFields(aHeader);
  else
    factory->Format(aSignature, aHeader);
  return factory;
}

void Tqd2xFileHeaderAccessFactory::Format(const TqdBlockSignature& aSignature, PqdBlock aHeader) {
  TqdCommonFileHeaderAccessFactory::Format(aSignature, aHeader);
  const uint32_t reserved =
      TqdBaseEncryptionEngine::ReservedHeaderSpace(bfhafFile->fiEncryptionEngineName, bfhafFile->fiForServer);
  qdPutU16(aHeader + kOffEncryptionHeaderSize, uint16_t(reserved));
  qdPutU16(aHeader + kOffSectionTop, uint16_t(bfhafFile->fiBlockSizeBytes - reserved - 1));
  aHeader[kOffSectionTable] = 0;
}

void Tqd2xFileHeaderAccessFactory::CheckHeader(const uint8_t* aHeader, uint32_t aBytes) {
  using E = EqdFileHeaderAccessException;
  TqdCommonFileHeaderAccessFactory::CheckHeader(aHeader, aBytes);
  const qdString fileName = bfhafFile->FileName();
  const uint32_t usable = qdGetU32(aHeader + kOffUsable);
  const uint32_t reserved = qdGetU16(aHeader + kOffEncryptionHeaderSize);
  if (reserved + kOffSectionTable + 2 > usable)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Encryption header size %d in file \"%s\"", {reserved, fileName}));
  const uint32_t top = qdGetU16(aHeader + kOffSectionTop);
  if (top <= kOffSectionTable || top > usable - reserved - 1)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Section top %d in file \"%s\"", {top, fileName}));
  if (aBytes < usable) return;
  (void)walkSections<E>(aHeader, usable, nullptr, fileName);  // raises on a bad table
  const uint32_t used = qdGetU32(aHeader + kOffUsedBlocks);
  const uint32_t count = qdGetU32(aHeader + kOffFreeCount);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t number = qdGetU32(aHeader + kOffFreeCache + 4 * i);
    if (!validBlockNumber(number, used))
      raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Free block %d in the header of file \"%s\"", {number, fileName}));
  }
}

void Tqd2xFileHeaderAccessFactory::InitChecksum(PqdBlock aHeader, bool aCreating) {
  if (bfhafFile->fiEncryptionEngine == nullptr) {
    bfhafFile->fiCheckSumSize = 0;
    return;
  }
  if (uint8_t* area = GetTableChecksum(aHeader)) {
    if (aCreating)
      std::memset(area, 0, bfhafFile->fiCheckSumSize);
    else
      bfhafFile->fiChecksum.assign(area, area + bfhafFile->fiCheckSumSize);
  }
}

std::unique_ptr<TqdBaseFileHeaderAccess> Tqd2xFileHeaderAccessFactory::CreateFileHeaderAccess(
    TqdBaseTransaction* aTrans, bool aMarkDirty, TqdBlockAccess* aBlockAccess) {
  if (aBlockAccess->_File() != bfhafFile) qdAssertFailed(kUnit, "header access for another file");
  return std::make_unique<Tqd2xFileHeaderAccess>(aTrans, aMarkDirty, aBlockAccess);
}

void Tqd2xFileHeaderAccessFactory::VerifyID(const uint8_t* aBlock, TqdBlockNumber aBlockNum, int32_t aID) {
  TqdBaseFileHeaderAccessFactory::VerifyID(aBlock, aBlockNum, aID);
  if (aID == 0) return;
  const int32_t owner = GetID(aBlock);
  if (owner != aID)
    qdRaiseCorrupt<Eqd2xFileHeaderAccessException>(
        qdeFileCorrupt, qd::Format(u"Expected BlockOwnerID %d but found %d in file \"%s\" for block %d",
                                   {aID, owner, bfhafFile->FileName(), qdBlockThisBlock(aBlock)}));
}

void Tqd2xFileHeaderAccessFactory::ValidateBlock(const uint8_t* aBlock, TqdBlockNumber aBlockNum) {
  using E = Eqd2xFileHeaderAccessException;
  TqdBaseFileHeaderAccessFactory::ValidateBlock(aBlock, aBlockNum);
  const TqdBlockSignature signature = qdBlockSignature(aBlock);
  if (aBlockNum == 0) {
    if (!(signature == kSignatureV2)) qdRaiseCorrupt<E>(qdeFileCorrupt, u"Block 0 has not the correct signature");
    return;
  }
  const int32_t owner = GetID(aBlock);
  if (owner == kChildHeaderOverflowOwner) {
    if (!(signature == kSignatureOverflow))
      qdRaiseCorrupt<E>(qdeFileCorrupt,
                        qd::Format(u"Block %d in file \"%s\" has the BlockOwnerID of a child header overflow block but "
                                   u"has a signature of \"%s\"",
                                   {aBlockNum, bfhafFile->FileName(), qdSignatureText(signature)}));
  } else if (owner == kFreeBlockMapOwner) {
    if (!(signature == kSignatureMap))
      qdRaiseCorrupt<E>(qdeFileCorrupt,
                        qd::Format(u"Block %d in file \"%s\" has the BlockOwnerID of the free block map but has a "
                                   u"signature of \"%s\"",
                                   {aBlockNum, bfhafFile->FileName(), qdSignatureText(signature)}));
  } else if (owner < 0 || owner > bfhafFile->fiMaxID) {
    qdRaiseCorrupt<E>(
        qdeFileCorrupt,
        qd::Format(u"Expected BlockOwnerID smaller or equal to %d but found %d in file \"%s\" for block "
                   u"%d. The header signature is \"%s\"",
                   {bfhafFile->fiMaxID, owner, bfhafFile->FileName(), aBlockNum, qdSignatureText(signature)}));
  }
}

int32_t Tqd2xFileHeaderAccessFactory::GetID(const uint8_t* aBlock) {
  return qdGetI32(aBlock + bfhafFile->fiBlockSizeBytes);
}

uint8_t* Tqd2xFileHeaderAccessFactory::GetEncryptionEngineHeader(uint8_t* aHeader) {
  const uint32_t reserved = qdGetU16(aHeader + kOffEncryptionHeaderSize);
  if (reserved == 0) return nullptr;
  return aHeader + bfhafFile->fiBlockSizeBytes - reserved - 1;
}

uint8_t* Tqd2xFileHeaderAccessFactory::GetTableChecksum(uint8_t* aHeader) {
  if (bfhafFile->fiCheckSumSize == 0) return nullptr;
  if (bfhafFile->fiCheckSumSize > qdGetU16(aHeader + kOffEncryptionHeaderSize))
    qdAssertFailed(kUnit, "table checksum larger than the encryption header area");
  return aHeader + bfhafFile->fiBlockSizeBytes - bfhafFile->fiCheckSumSize - 1;
}

// --- Common header access --------------------------------------------------------------------

uint32_t TqdCommonFileHeaderAccess::UsedBlocks() {
  if (bfhaMainHeader) return bfhaMainHeader->UsedBlocks();
  return qdGetU32(Header() + kOffUsedBlocks);
}

uint32_t TqdCommonFileHeaderAccess::AvailableBlocks() {
  if (bfhaMainHeader) return bfhaMainHeader->AvailableBlocks();
  return qdGetU32(Header() + kOffFreeCount);
}

void TqdCommonFileHeaderAccess::CheckDirty() {
  if (!bfhaIsDirty) throw EqdFileHeaderAccessException(qdeWriteErr);
}

void TqdCommonFileHeaderAccess::CheckHeaderBlockNumber(uint32_t aNumber, uint32_t aUsedBlocks, const char16_t* aWhat) {
  if (!validBlockNumber(aNumber, aUsedBlocks))
    raiseCorrupt<EqdFileHeaderAccessException>(
        qdeHeaderCorrupt, qd::Format(u"%s %d in file \"%s\"", {aWhat, aNumber, bfhaHeaderFile->FileName()}));
}

// --- "QD!1" access ---------------------------------------------------------------------------

Tqd1xFileHeaderAccess::Tqd1xFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty, TqdBlockAccess* aBlockAccess)
    : TqdCommonFileHeaderAccess(aTrans, aMarkDirty, aBlockAccess) {
  Init(aTrans, aMarkDirty);
}

TqdBlockRef Tqd1xFileHeaderAccess::GetNewBlock(TqdBaseTransaction* aTrans, int32_t) {
  if (!bfhaIsDirty) throw Eqd1xFileHeaderAccessException(qdeWriteErr);
  uint8_t* header = WritableHeader();
  const uint32_t used = qdGetU32(header + kOffUsedBlocks);
  const uint32_t count = qdGetU32(header + kOffFreeCount);
  TqdBaseFile* file = bfhaHeaderFile;
  if (count > 0) {
    // The most recently freed block comes back first.
    const uint32_t head = qdGetU32(header + kOffFreeHead);
    CheckHeaderBlockNumber(head, used, u"Free list head");
    TqdBlockRef block = bfhaBlockAccess->GetBlock(aTrans, head, 0, true);
    uint8_t* data = block.WritableData();
    if (!(qdBlockSignature(data) == kSignatureDead))
      raiseCorrupt<Eqd1xFileHeaderAccessException>(
          qdeFileCorrupt,
          qd::Format(u"Block %d on the free list of file \"%s\" is not a freed block", {head, file->FileName()}));
    const uint32_t next = qdGetU32(data + kDeadNext);
    if (next != kNoBlock && !validBlockNumber(next, used))
      raiseCorrupt<Eqd1xFileHeaderAccessException>(
          qdeFileCorrupt, qd::Format(u"Free list link %d in block %d of file \"%s\"", {next, head, file->FileName()}));
    qdPutU32(header + kOffFreeHead, next);
    qdPutU32(header + kOffFreeCount, count - 1);
    qdSetBlockThisBlock(data, head);
    return block;
  }
  if (used >= file->fiMaxBlocks) throw Eqd1xFileHeaderAccessException(qdeTableFull);
  TqdBlockRef block = file->fiBufMgr->AddBlock(file, aTrans, used);
  qdPutU32(header + kOffUsedBlocks, used + 1);
  file->fiTransUsedBlocks = used + 1;
  qdSetBlockThisBlock(block.WritableData(), used);
  return block;
}

void Tqd1xFileHeaderAccess::DeleteBlock(TqdBaseTransaction*, TqdBlockRef& aBlock) {
  if (!bfhaIsDirty) throw Eqd1xFileHeaderAccessException(qdeWriteErr);
  const TqdBlockNumber number = aBlock.BlockNumber();
  if (number == 0) qdAssertFailed(kUnit, "block 0 is never freed");
  uint8_t* header = WritableHeader();
  uint8_t* data = aBlock.WritableData();
  qdSetBlockSignature(data, kSignatureDead);
  qdPutU32(data + kDeadNext, qdGetU32(header + kOffFreeHead));
  qdPutU32(header + kOffFreeHead, number);
  qdPutU32(header + kOffFreeCount, qdGetU32(header + kOffFreeCount) + 1);
  aBlock.Release();
}

uint16_t Tqd1xFileHeaderAccess::RegisterHeaderSection(const qdAnsiString& aName, uint8_t, bool aCreate, bool) {
  if (aCreate && !bfhaIsDirty) throw Eqd1xFileHeaderAccessException(qdeWriteErr);
  static const struct {
    const char* name;
    uint16_t offset;
  } kFixed[] = {{"Encryption", 256}, {"Stream", 512}, {"AutoInc", 768},
                {"Record", 1024},    {"Blob", 1280},  {"Indices", 1536}};
  for (const auto& section : kFixed)
    if (sameNameIgnoringCase(reinterpret_cast<const uint8_t*>(section.name), uint32_t(std::strlen(section.name)),
                             aName))
      return section.offset;
  throw Eqd1xFileHeaderAccessException(qdeNotSupported, u"Custom HeaderSections are not supported in a v1 header");
}

// --- "QD!2" access ---------------------------------------------------------------------------

Tqd2xFileHeaderAccess::Tqd2xFileHeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty, TqdBlockAccess* aBlockAccess)
    : TqdCommonFileHeaderAccess(aTrans, aMarkDirty, aBlockAccess) {
  Init(aTrans, aMarkDirty);
}

void Tqd2xFileHeaderAccess::LoadHeader(TqdBaseTransaction* aTrans) {
  if (bfhaMainHeader && bfhaBlockAccess->HeaderBlock() == 0) {
    auto* main = static_cast<Tqd2xFileHeaderAccess*>(bfhaMainHeader.get());
    bfhaBlockAccess->SetHeaderBlock(main->GetHeaderBlockForID(aTrans, bfhaBlockAccess->ID()));
  }
  TqdBaseFileHeaderAccess::LoadHeader(aTrans);
}

void Tqd2xFileHeaderAccess::ChangePassword(const qdString& aNewPassword) {
  if (bfhaHeaderFile->fiEncryptionEngine == nullptr) TqdBaseFileHeaderAccess::ChangePassword(aNewPassword);
  CheckDirty();
  uint8_t* area = bfhaHeaderFile->HeaderAccessFactory()->GetEncryptionEngineHeader(WritableHeader());
  // Without a header area the blocks are keyed by the built-in key alone:
  // there is no password to change.
  if (area == nullptr)
    throw Eqd2xFileHeaderAccessException(qdeNotSupported, u"%s not supported by %s",
                                         {u"ChangePassword", u"Tqd2xFileHeaderAccess"});
  bfhaHeaderFile->fiEncryptionEngine->ChangePassword(area, aNewPassword);
}

uint16_t Tqd2xFileHeaderAccess::RegisterHeaderSection(const qdAnsiString& aName, uint8_t aSize, bool aCreate,
                                                      bool aOverwrite) {
  using E = Eqd2xFileHeaderAccessException;
  if (aCreate && !bfhaIsDirty) throw E(qdeWriteErr);
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  const TqdSectionWalk walk = walkSections<E>(Header(), usable, &aName, bfhaHeaderFile->FileName());
  if (walk.swFound) {
    if (aCreate) {
      if (aOverwrite) return RegisterHeaderSection(aName, aSize, false, false);
      throw E(qdeNameNotUnique);
    }
    if (walk.swTop - walk.swOffset != aSize)
      raiseCorrupt<E>(qdeHeaderCorrupt,
                      qd::Format(u"Header section \"%s\" has %d bytes, expected %d, in file \"%s\"",
                                 {aName, walk.swTop - walk.swOffset, uint32_t(aSize), bfhaHeaderFile->FileName()}));
    return walk.swOffset;
  }
  if (!aCreate) throw E(qdeObjNotFound);
  if (aName.size() > 255) throw E(qdeInvalidParam, u"Header section name \"%s\" is too long", {aName});
  if (aName.size() + aSize + 3 > walk.swTop - walk.swPosition) throw E(qdeNoMemory, u"File header is full");
  uint8_t* header = WritableHeader();
  const uint16_t offset = uint16_t(walk.swTop - aSize);
  header[walk.swPosition] = uint8_t(aName.size());
  std::memcpy(header + walk.swPosition + 1, aName.data(), aName.size());
  qdPutU16(header + walk.swPosition + 1 + aName.size(), offset);
  return offset;
}

TqdBlockRef Tqd2xFileHeaderAccess::GetNewBlock(TqdBaseTransaction* aTrans, int32_t aID) {
  using E = Eqd2xFileHeaderAccessException;
  if (bfhaMainHeader) return bfhaMainHeader->GetNewBlock(aTrans, aID);
  if (!bfhaIsDirty) throw E(qdeWriteErr);
  TqdBaseFile* file = bfhaHeaderFile;
  const uint32_t usable = file->fiBlockSizeBytes;
  uint8_t* header = WritableHeader();
  const uint32_t used = qdGetU32(header + kOffUsedBlocks);
  uint32_t count = qdGetU32(header + kOffFreeCount);
  if (count > kHeaderFreeCacheSize)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Free block count %d in file \"%s\"", {count, file->FileName()}));
  TqdBlockRef taken;
  TqdBlockNumber number = 0;
  if (count == 0) {
    // Refill the header's cache from the head of the map chain; a map block
    // that runs empty is itself the new block.
    uint32_t head = qdGetU32(header + kOffFreeHead);
    while (count < kHeaderFreeCacheRefill && head != kNoBlock && !taken) {
      CheckHeaderBlockNumber(head, used, u"Free block map head");
      TqdBlockRef map = bfhaBlockAccess->GetBlock(aTrans, head, kFreeBlockMapOwner, true);
      uint8_t* data = map.WritableData();
      const uint32_t capacity = qdGetU32(data + kMapCapacity);
      uint32_t entries = qdGetU32(data + kMapCount);
      if (capacity > (usable - kMapEntries) / 4 || entries > capacity)
        raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Free block map %d holds %d of %d entries in file \"%s\"",
                                                   {head, entries, capacity, file->FileName()}));
      const uint32_t moved = std::min(kHeaderFreeCacheRefill - count, entries);
      for (uint32_t i = 0; i < moved; ++i) {
        const uint32_t free = qdGetU32(data + kMapEntries + 4 * (entries - moved + i));
        if (!validBlockNumber(free, used))
          raiseCorrupt<E>(qdeFileCorrupt,
                          qd::Format(u"Free block %d in map block %d of file \"%s\"", {free, head, file->FileName()}));
      }
      for (uint32_t i = 0; i < moved; ++i)
        qdPutU32(header + kOffFreeCache + 4 * (count + i), qdGetU32(data + kMapEntries + 4 * (entries - moved + i)));
      entries -= moved;
      count += moved;
      qdPutU32(data + kMapCount, entries);
      if (entries == 0) {
        const uint32_t next = qdGetU32(data + kMapNext);
        if (next != kNoBlock && !validBlockNumber(next, used))
          raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Free block map link %d in block %d of file \"%s\"",
                                                     {next, head, file->FileName()}));
        qdPutU32(header + kOffFreeHead, next);
        number = head;
        taken = std::move(map);
        head = next;
      }
    }
    qdPutU32(header + kOffFreeCount, count);
  }
  if (taken) {
    qdPutI32(taken.WritableData() + usable, aID);
    return taken;
  }
  if (count > 0) {
    number = qdGetU32(header + kOffFreeCache + 4 * (count - 1));
    CheckHeaderBlockNumber(number, used, u"Free block");
    TqdBlockRef block = file->fiBufMgr->AddBlock(file, aTrans, number);
    qdPutU32(header + kOffFreeCount, count - 1);
    uint8_t* data = block.WritableData();
    qdPutI32(data + usable, aID);
    qdSetBlockThisBlock(data, number);
    return block;
  }
  if (used >= file->fiMaxBlocks) throw E(qdeTableFull);
  TqdBlockRef block = file->fiBufMgr->AddBlock(file, aTrans, used);
  qdPutU32(header + kOffUsedBlocks, used + 1);
  file->fiTransUsedBlocks = used + 1;
  uint8_t* data = block.WritableData();
  qdPutI32(data + usable, aID);
  qdSetBlockThisBlock(data, used);
  return block;
}

void Tqd2xFileHeaderAccess::DeleteBlock(TqdBaseTransaction* aTrans, TqdBlockRef& aBlock) {
  using E = Eqd2xFileHeaderAccessException;
  if (bfhaMainHeader) {
    bfhaMainHeader->DeleteBlock(aTrans, aBlock);
    return;
  }
  if (!bfhaIsDirty) throw E(qdeWriteErr);
  TqdBaseFile* file = bfhaHeaderFile;
  const uint32_t usable = file->fiBlockSizeBytes;
  const TqdBlockNumber number = aBlock.BlockNumber();
  if (number == 0) qdAssertFailed(kUnit, "block 0 is never freed");
  uint8_t* header = WritableHeader();
  const uint32_t used = qdGetU32(header + kOffUsedBlocks);
  uint32_t count = qdGetU32(header + kOffFreeCount);
  if (count > kHeaderFreeCacheSize)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Free block count %d in file \"%s\"", {count, file->FileName()}));
  uint8_t* data = aBlock.WritableData();
  qdPutI32(data + usable, 0);
  bool becameMap = false;
  if (count + 1 > kHeaderFreeCacheSize) {
    // Spill down to a few numbers into the head of the map chain; with no
    // head that has room, the block being freed becomes the new head.
    while (count > kHeaderFreeCacheKeep) {
      const uint32_t head = qdGetU32(header + kOffFreeHead);
      TqdBlockRef fetched;
      uint8_t* map = nullptr;
      bool full = true;
      if (head == number) {
        // Only a block this very spill made the head can be both.
        if (!becameMap)
          raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Block %d being freed heads the free block map of file \"%s\"",
                                                       {number, file->FileName()}));
        map = data;
        full = false;
      } else if (head != kNoBlock) {
        CheckHeaderBlockNumber(head, used, u"Free block map head");
        fetched = bfhaBlockAccess->GetBlock(aTrans, head, kFreeBlockMapOwner, true);
        map = fetched.WritableData();
        const uint32_t capacity = qdGetU32(map + kMapCapacity);
        const uint32_t entries = qdGetU32(map + kMapCount);
        if (capacity > (usable - kMapEntries) / 4 || entries > capacity)
          raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Free block map %d holds %d of %d entries in file \"%s\"",
                                                     {head, entries, capacity, file->FileName()}));
        full = entries >= capacity;
      }
      if (full) {
        if (becameMap) qdAssertFailed(kUnit, "a new free block map filled up in one spill");
        qdSetBlockSignature(data, kSignatureMap);
        qdPutU32(data + kMapNext, head);
        qdPutU32(data + kMapCapacity, (usable - kMapEntries) / 4);
        qdPutU32(data + kMapCount, 0);
        qdPutI32(data + usable, kFreeBlockMapOwner);
        qdPutU32(header + kOffFreeHead, number);
        becameMap = true;
        continue;
      }
      qdPutI32(map + usable, kFreeBlockMapOwner);
      const uint32_t capacity = qdGetU32(map + kMapCapacity);
      uint32_t entries = qdGetU32(map + kMapCount);
      const uint32_t moved = std::min(count - kHeaderFreeCacheKeep, capacity - entries);
      for (uint32_t i = 0; i < moved; ++i)
        qdPutU32(map + kMapEntries + 4 * (entries + i), qdGetU32(header + kOffFreeCache + 4 * (count - moved + i)));
      entries += moved;
      count -= moved;
      qdPutU32(map + kMapCount, entries);
      qdPutU32(header + kOffFreeCount, count);
    }
  }
  if (becameMap) {
    aBlock.Release();
    return;
  }
  qdSetBlockSignature(data, kSignatureDead);
  qdPutU32(header + kOffFreeCache + 4 * count, number);
  aBlock.Release();
  file->fiBufMgr->DiscardBlock(file, number, aTrans);
  qdPutU32(header + kOffFreeCount, count + 1);
}

TqdBlockNumber Tqd2xFileHeaderAccess::GetHeaderBlockForID(TqdBaseTransaction* aTrans, int32_t aID) {
  using E = Eqd2xFileHeaderAccessException;
  if (aTrans != nullptr) MarkDirty(aTrans);
  const uint16_t sectionOffset = RegisterHeaderSection("SubHeaders", kSubHeadersSectionSize, aTrans != nullptr, true);
  TqdBaseFile* file = bfhaHeaderFile;
  const qdString fileName = file->FileName();
  const uint32_t usable = file->fiBlockSizeBytes;
  const uint32_t used = UsedBlocks();
  const uint8_t* section = Header() + sectionOffset;
  const uint32_t pairs = section[kSubCount];
  if (pairs > kSubHeaderPairs)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"%d child headers in the header of file \"%s\"", {pairs, fileName}));
  checkPairsSorted<E>(section, pairs, qdeHeaderCorrupt, qd::Format(u"the header of file \"%s\"", {fileName}));
  const uint32_t firstOverflow = qdGetU32(section + kSubFirstOverflow);
  if (firstOverflow != 0 && !validBlockNumber(firstOverflow, used))
    raiseCorrupt<E>(qdeHeaderCorrupt,
                    qd::Format(u"Child header overflow block %d in file \"%s\"", {firstOverflow, fileName}));
  auto found = [&](uint32_t aBlock) -> TqdBlockNumber {
    if (!validBlockNumber(aBlock, used))
      raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"Child header block %d in file \"%s\"", {aBlock, fileName}));
    return aBlock;
  };
  if (pairs > 0 && aID <= pairID(section, pairs - 1)) {
    const uint32_t index = lowerBound(section, pairs, aID);
    if (pairID(section, index) == aID) return found(pairBlock(section, index));
  } else {
    int64_t previousLast = pairs > 0 ? pairID(section, pairs - 1) : INT64_MIN;
    uint32_t next = firstOverflow;
    uint32_t steps = 0;
    while (next != 0) {
      if (++steps > used)
        raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Child header overflow chain of file \"%s\" loops", {fileName}));
      TqdBlockRef block = bfhaBlockAccess->GetBlock(aTrans, next, kChildHeaderOverflowOwner, false);
      const uint8_t* data = block.Data();
      const uint32_t capacity = qdGetU16(data + kOverflowCapacity);
      const uint32_t count = qdGetU16(data + kOverflowCount);
      if (capacity > (usable - kOverflowPairs) / 8 || count > capacity)
        raiseCorrupt<E>(qdeFileCorrupt,
                        qd::Format(u"Child header overflow block %d holds %d of %d pairs in file \"%s\"",
                                   {next, count, capacity, fileName}));
      const uint8_t* blockPairs = data + kOverflowPairs;
      checkPairsSorted<E>(blockPairs, count, qdeFileCorrupt, qd::Format(u"block %d of file \"%s\"", {next, fileName}));
      if (count > 0) {
        const int32_t last = pairID(blockPairs, count - 1);
        if (last >= aID && aID > previousLast) {
          const uint32_t index = lowerBound(blockPairs, count, aID);
          if (pairID(blockPairs, index) == aID) return found(pairBlock(blockPairs, index));
        }
        if (last > aID) break;
        previousLast = last;
      }
      next = qdGetU32(data + kOverflowNext);
      if (next != 0 && !validBlockNumber(next, used))
        raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Child header overflow link %d in file \"%s\"", {next, fileName}));
    }
  }
  if (aTrans == nullptr)
    raiseCorrupt<E>(qdeHeaderCorrupt, qd::Format(u"No child header for identifier %d in file \"%s\"", {aID, fileName}));

  // A new child header: an empty header block of its own.
  TqdBlockRef child = GetNewBlock(aTrans, aID);
  uint8_t* childData = child.WritableData();
  qdSetBlockSignature(childData, kSignatureV2);
  std::memset(childData + kBlockCommonHeaderSize, 0, usable - kBlockCommonHeaderSize);
  qdPutU16(childData + kOffSectionTop, uint16_t(usable - 1));
  const TqdBlockNumber result = child.BlockNumber();
  child.Release();

  uint8_t* writable = WritableHeader() + sectionOffset;
  const uint32_t count = writable[kSubCount];
  if (count == 0) {
    putPair(writable, 0, aID, result);
    writable[kSubCount] = 1;
    return result;
  }
  int32_t pendingID = aID;
  TqdBlockNumber pendingBlock = result;
  bool pending = true;
  if (aID < pairID(writable, count - 1) || count < kSubHeaderPairs) {
    uint32_t kept = count;
    int32_t outID = 0;
    TqdBlockNumber outBlock = 0;
    const bool full = count == kSubHeaderPairs;
    if (full) {
      outID = pairID(writable, count - 1);
      outBlock = pairBlock(writable, count - 1);
      --kept;
    }
    insertPair(writable, kept, aID, result);
    writable[kSubCount] = uint8_t(kept + 1);
    pending = full;
    pendingID = outID;
    pendingBlock = outBlock;
  }
  if (pending) InsertOverflowPair(aTrans, writable, pendingID, pendingBlock);
  return result;
}

TqdBlockRef Tqd2xFileHeaderAccess::NewOverflowBlock(TqdBaseTransaction* aTrans, int32_t aID, TqdBlockNumber aBlock) {
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  TqdBlockRef block = GetNewBlock(aTrans, kChildHeaderOverflowOwner);
  uint8_t* data = block.WritableData();
  qdSetBlockSignature(data, kSignatureOverflow);
  std::memset(data + kBlockCommonHeaderSize, 0, usable - kBlockCommonHeaderSize);
  qdPutU32(data + kOverflowNext, 0);
  qdPutU16(data + kOverflowCapacity, uint16_t((usable - kOverflowPairs) / 8));
  qdPutU16(data + kOverflowCount, 1);
  putPair(data + kOverflowPairs, 0, aID, aBlock);
  return block;
}

void Tqd2xFileHeaderAccess::InsertOverflowPair(TqdBaseTransaction* aTrans, uint8_t* aSection, int32_t aID,
                                               TqdBlockNumber aBlock) {
  using E = Eqd2xFileHeaderAccessException;
  const qdString fileName = bfhaHeaderFile->FileName();
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  const uint32_t used = UsedBlocks();
  uint32_t next = qdGetU32(aSection + kSubFirstOverflow);
  if (next == 0) {
    TqdBlockRef block = NewOverflowBlock(aTrans, aID, aBlock);
    // aSection points into this access's header image, which taking a new
    // block leaves in place.
    qdPutU32(aSection + kSubFirstOverflow, block.BlockNumber());
    return;
  }
  const uint32_t sectionPairs = aSection[kSubCount];
  int64_t previousLast = sectionPairs > 0 ? pairID(aSection, sectionPairs - 1) : INT64_MIN;
  int32_t pendingID = aID;
  TqdBlockNumber pendingBlock = aBlock;
  uint32_t steps = 0;
  for (;;) {
    if (++steps > used)
      raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Child header overflow chain of file \"%s\" loops", {fileName}));
    if (!validBlockNumber(next, used))
      raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Child header overflow link %d in file \"%s\"", {next, fileName}));
    TqdBlockRef block = bfhaBlockAccess->GetBlock(aTrans, next, kChildHeaderOverflowOwner, true);
    uint8_t* data = block.WritableData();
    const uint32_t capacity = qdGetU16(data + kOverflowCapacity);
    uint32_t count = qdGetU16(data + kOverflowCount);
    if (capacity == 0 || capacity > (usable - kOverflowPairs) / 8 || count > capacity)
      raiseCorrupt<E>(qdeFileCorrupt, qd::Format(u"Child header overflow block %d holds %d of %d pairs in file \"%s\"",
                                                 {next, count, capacity, fileName}));
    uint8_t* pairs = data + kOverflowPairs;
    const int64_t last = count > 0 ? pairID(pairs, count - 1) : previousLast;
    bool pending = true;
    if (pendingID > previousLast && (pendingID <= last || count < capacity)) {
      int32_t outID = 0;
      TqdBlockNumber outBlock = 0;
      const bool full = count == capacity;
      if (full) {
        outID = pairID(pairs, count - 1);
        outBlock = pairBlock(pairs, count - 1);
        --count;
      }
      insertPair(pairs, count, pendingID, pendingBlock);
      ++count;
      qdPutU16(data + kOverflowCount, uint16_t(count));
      pending = full;
      pendingID = outID;
      pendingBlock = outBlock;
    }
    if (!pending) return;
    previousLast = pairID(pairs, count - 1);
    next = qdGetU32(data + kOverflowNext);
    if (next == 0) {
      TqdBlockRef added = NewOverflowBlock(aTrans, pendingID, pendingBlock);
      qdPutU32(data + kOverflowNext, added.BlockNumber());
      return;
    }
  }
}

// --- Unit start and end ---------------------------------------------------------------------

void qdseHeaderAccessInitialize() {
  TqdBaseFileHeaderAccessFactory::Register(kSignatureV1, &Tqd1xFileHeaderAccessFactory::ClassInfo);
  TqdBaseFileHeaderAccessFactory::Register(kSignatureV2, &Tqd2xFileHeaderAccessFactory::ClassInfo);
}

void qdseHeaderAccessFinalize() {
  TqdBaseFileHeaderAccessFactory::UnRegister(&Tqd2xFileHeaderAccessFactory::ClassInfo);
  TqdBaseFileHeaderAccessFactory::UnRegister(&Tqd1xFileHeaderAccessFactory::ClassInfo);
}

}  // namespace qd
