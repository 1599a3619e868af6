// The stream engine family: numbered and named streams of bytes inside a
// table file (the dictionary stream "DICT" among them), its registry and
// its creation. Concrete engines: storage/qdseStreamEngineSimple.h.
//
// Unlike the other families the engine's name comes from the data file's
// header (fiStreamEngineName), not from a descriptor, and a stream engine
// is made without a descriptor too: a root table's stream engine exists
// before its dictionary has been read. InitializeFromDictionary then takes
// the ID of the dictionary's stream descriptor.
//
// Ownership: the engine belongs to the table object and points at its data
// file's block access. No lock of its own.
#pragma once

#include "platform/qdStream.h"
#include "platform/qdStringList.h"
#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdBaseStreamDescriptor;
class TqdBaseStreamEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdStreamEngineException, EqdBaseSubEngineException);

struct TqdStreamEngineClass : TqdClassInfo {
  TqdBaseStreamEngine* (*Create)(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                 TqdBaseTransaction* aTrans) = nullptr;
  void (*CheckValidDescriptor)(TqdBaseStreamDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseStreamEngine* qdNewStreamEngine(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                       TqdBaseTransaction* aTrans) {
  return new T(aDescriptor, aDataFile, aTrans);
}

class TqdBaseStreamEngine : public TqdBaseSubEngine {
 public:
  static const TqdStreamEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // aDescriptor may be nil (ID 0).
  TqdBaseStreamEngine(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile, TqdBaseTransaction* aTrans);

  static const TqdStreamEngineClass* FindEngineClass(qdStringView aName);
  // The engine named in the data file's header (fiStreamEngineName), with
  // aDescriptor (may be nil); 15503 for an unknown name.
  static TqdBaseStreamEngine* CreateEngine(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                           TqdBaseTransaction* aTrans);
  // The engine named aName.
  static TqdBaseStreamEngine* CreateEngine(qdStringView aName, TqdBaseStreamDescriptor* aDescriptor,
                                           TqdBlockAccess* aDataFile, TqdBaseTransaction* aTrans);
  // Nil: nothing; else the named class's check (15503 for an unknown name).
  static void CheckValidFromDescriptor(TqdBaseStreamDescriptor* aDescriptor);
  // Only a root dictionary is checked; nested tables have no streams.
  static void CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor);

  // Takes the ID of aDescriptor (nil: 0).
  virtual void Initialize(TqdBaseStreamDescriptor* aDescriptor);
  virtual void DeleteStream(TqdBaseTransaction* aTrans, uint32_t aStreamNr) = 0;
  // Replaces aStream's content with the stream's bytes; position 0 after.
  virtual void ReadStream(TqdBaseTransaction* aTrans, uint32_t aStreamNr, TStream& aStream) = 0;
  // Stores aStream's whole content: as a new stream whose number is
  // returned (aCreateNew), else in place of aStreamNr, which keeps its
  // number. aStreamSig tags the stream's blocks.
  virtual void WriteStream(TqdBaseTransaction* aTrans, uint32_t& aStreamNr, TStream& aStream, bool aCreateNew,
                           const TqdBlockSignature& aStreamSig) = 0;
  [[nodiscard]] virtual TqdResult GetNamedStreamList(TqdBaseTransaction* aTrans, TqdStringList& aStreams) = 0;
  [[nodiscard]] virtual TqdResult GetNamedStreamCount(TqdBaseTransaction* aTrans, uint32_t& aCount) = 0;
  [[nodiscard]] virtual TqdResult DeleteNamedStream(TqdBaseTransaction* aTrans, qdStringView aName) = 0;
  [[nodiscard]] virtual TqdResult ReadNamedStream(TqdBaseTransaction* aTrans, qdStringView aName, TStream& aStream) = 0;
  [[nodiscard]] virtual TqdResult WriteNamedStream(TqdBaseTransaction* aTrans, qdStringView aName,
                                                   TStream& aStream) = 0;

  // Initialize with the dictionary's stream descriptor.
  void InitializeFromDictionary(TqdDataDictionary* aDictionary);

  TqdBlockAccess* DataFile() const { return bseDataFile; }

 protected:
  TqdBlockAccess* bseDataFile;
};

void qdsrStreamEngineBaseInitialize();
void qdsrStreamEngineBaseFinalize();

}  // namespace qd
