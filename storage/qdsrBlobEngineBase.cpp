#include "storage/qdsrBlobEngineBase.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

namespace {

TqdClassRegistry* gBlobEngines = nullptr;
TqdClassRegistry** blobEngines() { return &gBlobEngines; }

}  // namespace

const TqdBlobEngineClass TqdBaseBlobEngine::ClassInfo{
    {u"TqdBaseBlobEngine", &TqdBaseSubEngine::ClassInfo, &blobEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseBlobEngine::Family{&TqdBaseBlobEngine::ClassInfo,
                                                   &TqdBaseBlobEngine::CheckValidDictionary};

TqdBaseBlobEngine::TqdBaseBlobEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                     TqdBaseTransaction* /*aTrans*/)
    : TqdBaseSubEngine(aDescriptor->ID(), qdTableVersionOf(aFiles)),
      bbeBlobFile(qdFileOf(aFiles, aDescriptor->FileNumber())) {}

const TqdBlobEngineClass* TqdBaseBlobEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdBlobEngineClass>(ClassInfo, aName);
}

TqdBaseBlobEngine* TqdBaseBlobEngine::CreateEngine(TqdBaseTableDescriptor* aTableDescriptor,
                                                   const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->BlobDescriptor(), aFiles, aTrans);
}

TqdBaseBlobEngine* TqdBaseBlobEngine::CreateEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                                   TqdBaseTransaction* aTrans) {
  if (aDescriptor == nullptr) return nullptr;
  const TqdBlobEngineClass* engineClass = FindEngineClass(aDescriptor->BlobEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseBlobEngineException>(u"BLOB", aDescriptor->BlobEngine());
  return engineClass->Create(aDescriptor, aFiles, aTrans);
}

void TqdBaseBlobEngine::CheckValidFromDescriptor(TqdBaseBlobDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdBlobEngineClass* engineClass = FindEngineClass(aDescriptor->BlobEngine());
  if (engineClass == nullptr) qdRaiseUnknownEngine<EqdBaseBlobEngineException>(u"BLOB", aDescriptor->BlobEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aDescriptor);
}

void TqdBaseBlobEngine::CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor) {
  CheckValidFromDescriptor(aTableDescriptor->BlobDescriptor());
}

namespace {

// Runs aAction on the file BLOB aFileName (relative to aBlobFile's folder),
// translating the three file errors into results.
template <class F>
TqdResult withFileBlob(TqdBlockAccess* aBlobFile, const qdString& aFileName, F&& aAction) {
  try {
    const qdString path = aBlobFile->_File()->ExpandRelativeFileName(aFileName);
    std::unique_ptr<TqdBaseFile> file(TqdBaseFile::Alloc(false, path, nullptr));
    file->OpenFile(omReadOnly, smShared, false, false);
    try {
      aAction(*file);
    } catch (...) {
      if (file->FileIsOpen()) file->CloseFile();
      throw;
    }
    file->CloseFile();
    return 0;
  } catch (const EqdBaseException& e) {
    switch (e.ErrorCode()) {
      case qdeReadErr:
        return qdeFileBlobReadErr;
      case qdeFileNoAccess:
        return qdeFileBlobOpenErr;
      case qdeCloseFailed:
        return qdeFileBlobCloseErr;
      default:
        throw;
    }
  }
}

}  // namespace

TqdResult TqdBaseBlobEngine::ReadFileBlob(const qdString& aFileName, uint32_t aOffset, uint32_t aLen,
                                          TStream& aStream) {
  return withFileBlob(bbeBlobFile, aFileName, [&](TqdBaseFile& aFile) {
    // A length asked by a client never sizes a buffer beyond the file.
    const int64_t size = aFile.PositionFileEOF();
    const uint32_t length = int64_t(aOffset) >= size ? 0 : uint32_t(std::min<int64_t>(aLen, size - aOffset));
    std::vector<uint8_t> buffer(length);
    const uint32_t read = length == 0 ? 0 : aFile.ReadFileAt(aOffset, length, buffer.data());
    if (read > 0) aStream.WriteBuffer(buffer.data(), int32_t(read));
  });
}

TqdResult TqdBaseBlobEngine::GetFileBlobLength(const qdString& aFileName, uint32_t& aLength) {
  return withFileBlob(bbeBlobFile, aFileName, [&](TqdBaseFile& aFile) {
    const int64_t size = aFile.PositionFileEOF();
    aLength = size > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(size);
  });
}

void TqdBaseBlobEngine::Rollback(TqdBaseTransaction* /*aTrans*/) {}
void TqdBaseBlobEngine::IncBlobNr(TqdBlobNr& /*aBlobNr*/) {}

void qdsrBlobEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseBlobEngine::Family); }

void qdsrBlobEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseBlobEngine::Family);
  qdFreeAndNil(gBlobEngines);
}

}  // namespace qd
