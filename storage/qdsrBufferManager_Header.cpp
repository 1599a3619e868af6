// The abstract header formats, their registry by signature, and the block
// access through which sub-engines reach the blocks of one file.
#include "storage/qdsrBufferManager.h"

#include <algorithm>
#include <cctype>

#include "dictionary/qdsdDataDictionary_Tables.h"
#include "platform/qdFormat.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrBufferManager";

struct TqdFormatEntry {
  TqdBlockSignature feSignature;  // upper case
  const TqdFileHeaderFormatClass* feClass;
};

// Created on the first registration, freed when the last entry goes. Filled
// at start-up and only read afterwards, so it needs no lock.
std::vector<TqdFormatEntry>* formatRegistry = nullptr;

TqdBlockSignature upperSignature(const TqdBlockSignature& aSignature) {
  TqdBlockSignature result = aSignature;
  for (char& c : result.bsChars) c = char(std::toupper(uint8_t(c)));
  return result;
}

const TqdFileHeaderFormatClass* findFormat(const TqdBlockSignature& aSignature) {
  const TqdBlockSignature key = upperSignature(aSignature);
  for (const auto& entry : *formatRegistry)
    if (entry.feSignature == key) return entry.feClass;
  return nullptr;
}

[[noreturn]] void raiseNoFormats() { throw EqdFileHeaderAccessException(qdeNoHeaderAccessFactories); }

}  // namespace

void qdRaiseBlockNumberMismatch(TqdBlockNumber aExpected, TqdBlockNumber aFound, const qdString& aFileName,
                                const char* aFile, int aLine) {
  EqdFileHeaderAccessException exception(qdeFileCorrupt,
                                         u"Block %d is identified as block %d in the block header in file \"%s\"",
                                         {aExpected, aFound, aFileName});
  exception.SetSourceLocation(aFile, aLine);
  throw exception;
}

// --- Registry ------------------------------------------------------------------------------

void TqdBaseFileHeaderAccessFactory::Register(const TqdBlockSignature& aSignature,
                                              const TqdFileHeaderFormatClass* aClass) {
  if (formatRegistry == nullptr) formatRegistry = new std::vector<TqdFormatEntry>();
  if (findFormat(aSignature) != nullptr) throw EqdFileHeaderAccessException(u"String list does not allow duplicates");
  formatRegistry->push_back({upperSignature(aSignature), aClass});
}

void TqdBaseFileHeaderAccessFactory::UnRegister(const TqdFileHeaderFormatClass* aClass) {
  if (formatRegistry == nullptr) return;
  std::erase_if(*formatRegistry, [&](const TqdFormatEntry& aEntry) { return aEntry.feClass == aClass; });
  if (formatRegistry->empty()) {
    delete formatRegistry;
    formatRegistry = nullptr;
  }
}

std::unique_ptr<TqdBaseFileHeaderAccessFactory> TqdBaseFileHeaderAccessFactory::CreateFactory(
    const TqdBlockSignature& aSignature, PqdBlock aHeader, TqdBaseFile* aFile) {
  if (formatRegistry == nullptr) raiseNoFormats();
  const TqdBlockSignature key = qdSignatureEmpty(aSignature) ? qdSignatureFromBytes(aHeader) : aSignature;
  const TqdFileHeaderFormatClass* format = findFormat(key);
  if (format == nullptr)
    throw EqdFileHeaderAccessException(qdeCannotOpenFile,
                                       u"\"%s\" is not a QendoDB formatted file, or its file header is corrupt",
                                       {aFile->FileName()});
  return format->hfcCreate(aSignature, aFile, aHeader);
}

void TqdBaseFileHeaderAccessFactory::CheckValid(TqdDataDictionary* aDataDictionary, bool aForBuild) {
  if (formatRegistry == nullptr) raiseNoFormats();
  const TqdFileHeaderFormatClass* format = findFormat(aDataDictionary->HeaderSignature());
  if (format == nullptr) throw EqdFileHeaderAccessException(qdeHeaderAccessNotSupported);
  if (format->hfcCheckDictionary != nullptr) format->hfcCheckDictionary(aDataDictionary, aForBuild);
}

int32_t TqdBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(const TqdBlockSignature& aSignature) {
  if (formatRegistry == nullptr) raiseNoFormats();
  const TqdFileHeaderFormatClass* format = findFormat(aSignature);
  if (format == nullptr) throw EqdFileHeaderAccessException(qdeHeaderAccessNotSupported);
  return format->hfcAdditionalReservedSpace;
}

// --- Factory base ----------------------------------------------------------------------------

void TqdBaseFileHeaderAccessFactory::InitChecksum(PqdBlock, bool) {}

void TqdBaseFileHeaderAccessFactory::VerifyID(const uint8_t* aBlock, TqdBlockNumber aBlockNum, int32_t aID) {
  const TqdBlockNumber stored = qdBlockThisBlock(aBlock);
  // A block never written reads as zeros; without an owner to check that is
  // accepted.
  if (stored != aBlockNum && !(stored == 0 && aID == 0))
    qdRaiseBlockNumberMismatch(aBlockNum, stored, bfhafFile->FileName());
}

void TqdBaseFileHeaderAccessFactory::ValidateBlock(const uint8_t* aBlock, TqdBlockNumber aBlockNum) {
  const TqdBlockNumber stored = qdBlockThisBlock(aBlock);
  if (stored != aBlockNum) qdRaiseBlockNumberMismatch(aBlockNum, stored, bfhafFile->FileName());
}

int32_t TqdBaseFileHeaderAccessFactory::GetID(const uint8_t*) { return 0; }

uint8_t* TqdBaseFileHeaderAccessFactory::GetEncryptionEngineHeader(uint8_t*) { return nullptr; }

uint8_t* TqdBaseFileHeaderAccessFactory::GetTableChecksum(uint8_t*) { return nullptr; }

int32_t TqdBaseFileHeaderAccessFactory::GetAdditionalReservedSpace() { return 0; }

// --- Header access base ---------------------------------------------------------------------

TqdBaseFileHeaderAccess::TqdBaseFileHeaderAccess(TqdBaseTransaction*, bool aMarkDirty, TqdBlockAccess* aBlockAccess)
    : bfhaHeaderFile(aBlockAccess->_File()), bfhaIsDirty(aMarkDirty), bfhaBlockAccess(aBlockAccess) {}

TqdBaseFileHeaderAccess::~TqdBaseFileHeaderAccess() { bfhaHeader.Release(); }

void TqdBaseFileHeaderAccess::Init(TqdBaseTransaction* aTrans, bool aMarkDirty) {
  if (bfhaBlockAccess->Main() != nullptr)
    bfhaMainHeader =
        bfhaHeaderFile->HeaderAccessFactory()->CreateFileHeaderAccess(aTrans, aMarkDirty, bfhaBlockAccess->Main());
  LoadHeader(aTrans);
}

void TqdBaseFileHeaderAccess::LoadHeader(TqdBaseTransaction* aTrans) {
  bfhaHeader = bfhaBlockAccess->GetBlock(aTrans, bfhaBlockAccess->HeaderBlock(), bfhaBlockAccess->ID(), bfhaIsDirty);
}

void TqdBaseFileHeaderAccess::MarkDirty(TqdBaseTransaction* aTrans) {
  if (bfhaMainHeader) bfhaMainHeader->MarkDirty(aTrans);
  if (bfhaIsDirty) return;
  bfhaHeader.Release();
  bfhaIsDirty = true;
  LoadHeader(aTrans);
}

void TqdBaseFileHeaderAccess::ChangePassword(const qdString&) {
  throw EqdFileHeaderAccessException(qdeNotSupported, u"%s not supported by %s",
                                     {u"ChangePassword", u"TqdBaseFileHeaderAccess"});
}

// --- Block access ----------------------------------------------------------------------------

TqdBlockAccess::TqdBlockAccess(TqdBaseFile* aFile, TqdBlockAccess* aMain, const qdString& aBaseName, int32_t aID)
    : baFile(aFile), baID(aID), baMain(aMain), baBaseName(aBaseName) {}

const qdString& TqdBlockAccess::fiName() const { return baFile->fiName; }

uint32_t TqdBlockAccess::fiBlockSizeBytes() const { return baFile->fiBlockSizeBytes; }

TqdBlockRef TqdBlockAccess::GetBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, int32_t aID,
                                     bool aMarkDirty) {
  TqdBlockRef block = baFile->fiBufMgr->GetBlock(baFile, aTrans, aBlockNumber, aMarkDirty);
  // A failed check unwinds through the handle, which releases the block.
  if (block && baFile->HeaderAccessFactory() != nullptr)
    baFile->HeaderAccessFactory()->VerifyID(block.Data(), aBlockNumber, aID);
  return block;
}

void TqdBlockAccess::DirtyBlock(TqdBlockNumber aBlockNumber, TqdBaseTransaction* aTrans, TqdBlockRef& aBlock) {
  baFile->fiBufMgr->DirtyBlock(baFile, aBlockNumber, aTrans, aBlock);
}

bool TqdBlockAccess::ValidBlock(uint32_t aBlockNumber, TqdBaseTransaction* aTrans) {
  if (aBlockNumber == 0) return false;
  TqdCacheLockGuard guard(baFile->fiBufMgr);
  return aBlockNumber < baFile->fiBufMgr->VisibleBlockCount(baFile, aTrans);
}

TqdBlockRef TqdBlockAccess::GetValidBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty) {
  return baFile->fiBufMgr->GetValidBlock(baFile, aTrans, aBlockNumber, aMarkDirty);
}

bool TqdBlockAccess::ValidBlock(uint32_t aBlockNumber, TqdBaseFileHeaderAccess* aHeaderAccess) {
  if (aBlockNumber == 0) return false;
  if (aHeaderAccess == nullptr) {
    TqdCacheLockGuard guard(baFile->fiBufMgr);
    return aBlockNumber < baFile->fiUsedBlocks;
  }
  return aBlockNumber < aHeaderAccess->UsedBlocks();
}

std::unique_ptr<TqdBaseFileHeaderAccess> TqdBlockAccess::HeaderAccess(TqdBaseTransaction* aTrans, bool aMarkDirty) {
  if (baFile->HeaderAccessFactory() == nullptr) qdAssertFailed(kUnit, "header access on a file without a header");
  return baFile->HeaderAccessFactory()->CreateFileHeaderAccess(aTrans, aMarkDirty, this);
}

TqdLSN TqdBlockAccess::baGetCurrentLSN(TqdBaseTransaction* aTrans) {
  if (aTrans != nullptr) return HeaderAccess(aTrans, false)->CurrentLSN();
  TqdCacheLockGuard guard(baFile->fiBufMgr);
  return baFile->fiBlockZero != nullptr ? baFile->fiBlockZero->LastLSN() : 0;
}

void TqdBlockAccess::ChangePassword(TqdBaseTransaction* aTrans, const qdString& aNewPassword) {
  if (baID != 0) throw EqdBaseFileException(qdeNotSupported, u"ChangePassword is only allowed for the root table");
  if (baFile->fiEncryptionEngine == nullptr)
    throw EqdBaseFileException(qdeNotSupported,
                               u"ChangePassword is only supported for tables with an encryption engine");
  HeaderAccess(aTrans, true)->ChangePassword(aNewPassword);
}

}  // namespace qd
