#include "indexes/qdseIndicesEngineSimple.h"

#include <cstring>
#include <memory>

#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "indexes/qdseIndexBase.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr int32_t kNoInfoBlock = -1;

[[noreturn]] void raiseCorruptHeader() {
  throw EqdSimpleIndicesEngineException(qdeHeaderCorrupt, u"Corrupt table/index header.");
}

// The section value of the file whose header aHeader is (registered without
// creating it).
uint16_t findSection(TqdBaseFileHeaderAccess* aHeader, const std::string& aName) {
  return aHeader->RegisterHeaderSection(aName, 4, false, false);
}

// Moves slots aInx + 1 .. 255 of one array down by one place and resets
// slot 255 to aReset (every byte).
void shiftDown(uint8_t* aArray, uint32_t aEntrySize, int32_t aInx, uint8_t aReset) {
  const auto last = uint32_t(kSimpleIndicesMaxIndexes - 1);
  if (uint32_t(aInx) < last)
    std::memmove(aArray + uint32_t(aInx) * aEntrySize, aArray + (uint32_t(aInx) + 1) * aEntrySize,
                 (last - uint32_t(aInx)) * aEntrySize);
  std::memset(aArray + last * aEntrySize, aReset, aEntrySize);
}

}  // namespace

// --- The engine ------------------------------------------------------------------------------

const TqdIndicesEngineClass TqdSimpleIndicesEngine::ClassInfo{
    {u"TqdSimpleIndicesEngine", &TqdBaseIndicesEngine::ClassInfo, nullptr},
    &qdNewIndicesEngine<TqdSimpleIndicesEngine>,
    &TqdSimpleIndicesEngine::CheckValidDescriptor};

TqdSimpleIndicesEngine::TqdSimpleIndicesEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                               TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans,
                                               bool aAddToExisting)
    : TqdBaseIndicesEngine(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting) {
  ineHeaderSection.assign(size_t(IndexCount()), 0);
  ineInfoBlockPin.assign(size_t(IndexCount()), TqdHeaderPin());
  if (aTrans != nullptr) {
    for (TqdBlockAccess* file : biseFiles) {
      auto header = file->HeaderAccess(aTrans, true);
      const uint16_t section = header->RegisterHeaderSection(aDescriptor->HeaderSection(), 4, true, aAddToExisting);
      qdPutI32(header->WritableHeader() + section, kNoInfoBlock);
    }
    for (int32_t n = 0; n < IndexCount(); ++n) IndexAdded(aTrans, n);
  } else {
    for (int32_t n = 0; n < IndexCount(); ++n) OpenIndex(n);
  }
}

void TqdSimpleIndicesEngine::CheckValidDescriptor(TqdBaseIndicesDescriptor* aDescriptor) {
  TqdBaseIndicesEngine::CheckValidDescriptor(aDescriptor);
}

void TqdSimpleIndicesEngine::OpenIndex(int32_t aInx) {
  TqdBaseIndexEngine* index = biseGetIndex(aInx);
  auto header = index->IndexFile()->HeaderAccess(nullptr, false);
  const uint16_t section = findSection(header.get(), biseDescriptor->HeaderSection());
  ineHeaderSection[size_t(aInx)] = section;
  const int32_t blockNumber = qdGetI32(header->Header() + section);
  if (blockNumber == kNoInfoBlock) raiseCorruptHeader();
  TqdBlockRef block = qdReadIndexBlock(nullptr, index->IndexFile(), bseID, TqdBlockNumber(blockNumber), false);
  const uint16_t stored = qdGetU16(block.Data() + kSimpleIndicesKeyLenOffset + 2 * uint32_t(aInx));
  if (stored != index->KeyEngine()->KeyLength()) raiseCorruptHeader();
}

void TqdSimpleIndicesEngine::IndexAdded(TqdBaseTransaction* aTrans, int32_t aInx) {
  TqdBaseIndexEngine* index = biseGetIndex(aInx);
  if (ineHeaderSection.size() < size_t(aInx) + 1) ineHeaderSection.resize(size_t(aInx) + 1, 0);
  if (ineInfoBlockPin.size() < size_t(aInx) + 1) ineInfoBlockPin.resize(size_t(aInx) + 1);
  std::unique_ptr<TqdBaseIndexHeaderAccess> base(index->CreateHeaderAccess(aTrans, true, true, 0, 0));
  auto* access = static_cast<TqdSimpleIndicesHeaderAccess*>(base.get());
  TqdBaseFileHeaderAccess* header = access->FileHeader();
  const uint16_t section = findSection(header, biseDescriptor->HeaderSection());
  ineHeaderSection[size_t(aInx)] = section;
  access->SetHeaderSection(section);
  if (qdGetI32(header->Header() + section) == kNoInfoBlock) {
    TqdBlockRef block = header->GetNewBlock(aTrans, bseID);
    uint8_t* data = block.WritableData();
    qdSetBlockSignature(data, kIndexBlockSignature);
    data[kSimpleIndicesKindOffset] = 0;
    std::memset(data + kSimpleIndicesHeaderOffset, 0, kSimpleIndicesHeaderSize);
    std::memset(data + kSimpleIndicesRootOffset, 0xFF, kSimpleIndicesPageCountOffset - kSimpleIndicesRootOffset);
    qdPutI32(header->WritableHeader() + section, int32_t(block.BlockNumber()));
  }
  uint8_t* info = access->Header() - kSimpleIndicesHeaderOffset;
  qdPutU16(info + kSimpleIndicesKeyLenOffset + 2 * uint32_t(aInx), index->KeyEngine()->KeyLength());
  qdPutI32(info + kSimpleIndicesRootOffset + 4 * uint32_t(aInx), -1);
}

void TqdSimpleIndicesEngine::IndexRemoved(TqdBaseTransaction* aTrans, int32_t aInx) {
  for (TqdBlockAccess* file : biseFiles) {
    auto header = file->HeaderAccess(aTrans, true);
    uint16_t section = 0;
    try {
      section = findSection(header.get(), biseDescriptor->HeaderSection());
    } catch (const EqdBaseException& e) {
      // A file that never held these indexes has no section, so no slots.
      if (e.ErrorCode() != qdeObjNotFound) throw;
      continue;
    }
    const int32_t blockNumber = qdGetI32(header->Header() + section);
    if (blockNumber == kNoInfoBlock) continue;
    TqdBlockRef block = qdReadIndexBlock(aTrans, file, bseID, TqdBlockNumber(blockNumber), true);
    uint8_t* data = block.WritableData();
    shiftDown(data + kSimpleIndicesKeyLenOffset, 2, aInx, 0);
    shiftDown(data + kSimpleIndicesKeyCountOffset, 4, aInx, 0);
    shiftDown(data + kSimpleIndicesRootOffset, 4, aInx, 0xFF);
    shiftDown(data + kSimpleIndicesPageCountOffset, 4, aInx, 0);
  }
  if (size_t(aInx) < ineHeaderSection.size()) ineHeaderSection.erase(ineHeaderSection.begin() + aInx);
  if (size_t(aInx) < ineInfoBlockPin.size()) ineInfoBlockPin.erase(ineInfoBlockPin.begin() + aInx);
}

const TqdIndexHeaderAccessClass& TqdSimpleIndicesEngine::GetHeaderAccessClass() const {
  return TqdSimpleIndicesHeaderAccess::ClassInfo;
}

// --- The header access -----------------------------------------------------------------------

const TqdIndexHeaderAccessClass TqdSimpleIndicesHeaderAccess::ClassInfo{
    {u"TqdSimpleIndicesHeaderAccess", &TqdBaseIndexHeaderAccess::ClassInfo, nullptr},
    &qdNewIndexHeaderAccess<TqdSimpleIndicesHeaderAccess>};

TqdSimpleIndicesHeaderAccess::TqdSimpleIndicesHeaderAccess(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndex,
                                                           bool aFileMarkDirty, bool aIndexMarkDirty,
                                                           int32_t aFieldCount, int32_t aPartialLen)
    : TqdBaseIndexHeaderAccess(aTrans, aIndex, aFileMarkDirty, aIndexMarkDirty, aFieldCount, aPartialLen),
      haHeaderSection(0) {
  // The dictionary allows no more indexes than the block has slots.
  const int32_t number = aIndex->IndexNumber();
  if (number < 0 || number >= kSimpleIndicesMaxIndexes)
    qdAssertFailed("qdseIndicesEngineSimple", "index number beyond the info block");
  auto* engine = static_cast<TqdSimpleIndicesEngine*>(aIndex->IndicesEngine());
  haHeaderSection = engine->HeaderSection(number);
  if (!aFileMarkDirty && !aIndexMarkDirty) haInfoBlockPin = &engine->InfoBlockPin(number);
}

TqdSimpleIndicesHeaderAccess::~TqdSimpleIndicesHeaderAccess() { haInxBlock.Release(); }

const uint8_t* TqdSimpleIndicesHeaderAccess::InxBlock() {
  if (!haInxBlock) {
    TqdBlockAccess* access = bhaIndex->IndexFile();
    TqdBaseFile* file = access->_File();
    // The pinned number spares a read-only operation the header: reading
    // it means a lock round trip, an allocation and a block more.
    if (haInfoBlockPin != nullptr && !bhaFileHeader) {
      const TqdBlockNumber pinned =
          file->fiBufMgr->PinnedHeaderValue(file, bhaTrans, access->HeaderBlock(), *haInfoBlockPin);
      if (pinned != kNoBlock) {
        haInxBlock = qdReadIndexBlock(bhaTrans, access, bhaID, pinned, false);
        return haInxBlock.Data();
      }
    }
    TqdBaseFileHeaderAccess* header = FileHeader();
    const int32_t blockNumber = qdGetI32(header->Header() + haHeaderSection);
    if (blockNumber == kNoInfoBlock) raiseCorruptHeader();
    haInxBlock = qdReadIndexBlock(bhaTrans, access, bhaID, TqdBlockNumber(blockNumber), bhaIndexMarkDirty);
    if (haInfoBlockPin != nullptr)
      file->fiBufMgr->PinHeaderValue(file, bhaTrans, access->HeaderBlock(), qdBlockLSN(header->Header()),
                                     TqdBlockNumber(blockNumber), *haInfoBlockPin);
  }
  return haInxBlock.Data();
}

PqdSimpleIndicesHeader TqdSimpleIndicesHeaderAccess::Header() {
  InxBlock();
  return haInxBlock.WritableData() + kSimpleIndicesHeaderOffset;
}

const uint8_t* TqdSimpleIndicesHeaderAccess::Slot(uint32_t aArrayOffset, uint32_t aEntrySize) {
  return InxBlock() + aArrayOffset + aEntrySize * uint32_t(bhaIndex->IndexNumber());
}

uint8_t* TqdSimpleIndicesHeaderAccess::WritableSlot(uint32_t aArrayOffset, uint32_t aEntrySize) {
  return Header() - kSimpleIndicesHeaderOffset + aArrayOffset + aEntrySize * uint32_t(bhaIndex->IndexNumber());
}

uint32_t TqdSimpleIndicesHeaderAccess::GetIndexRoot() { return qdGetU32(Slot(kSimpleIndicesRootOffset, 4)); }

void TqdSimpleIndicesHeaderAccess::SetIndexRoot(uint32_t aValue) {
  qdPutU32(WritableSlot(kSimpleIndicesRootOffset, 4), aValue);
}

uint32_t TqdSimpleIndicesHeaderAccess::GetIndexPageCount() { return qdGetU32(Slot(kSimpleIndicesPageCountOffset, 4)); }

void TqdSimpleIndicesHeaderAccess::SetIndexPageCount(uint32_t aValue) {
  qdPutU32(WritableSlot(kSimpleIndicesPageCountOffset, 4), aValue);
}

uint32_t TqdSimpleIndicesHeaderAccess::GetIndexKeyCount() { return qdGetU32(Slot(kSimpleIndicesKeyCountOffset, 4)); }

void TqdSimpleIndicesHeaderAccess::SetIndexKeyCount(uint32_t aValue) {
  qdPutU32(WritableSlot(kSimpleIndicesKeyCountOffset, 4), aValue);
}

TqdLSN TqdSimpleIndicesHeaderAccess::GetIndexLSN() { return qdBlockLSN(InxBlock()); }

// --- Unit start and end ----------------------------------------------------------------------

void qdseIndicesEngineSimpleInitialize() {
  TqdBaseSubEngine::Register(TqdSimpleIndicesEngine::ClassInfo, u"qd1xDefault");
}

void qdseIndicesEngineSimpleFinalize() { TqdBaseSubEngine::Unregister(TqdSimpleIndicesEngine::ClassInfo); }

}  // namespace qd
