// The abstract sort engine a server table cursor uses to order records when
// no index serves the order, and the process-wide class the server uses
// (qdDefaultSortEngine, set by the merge sort unit at its start when unset).
// Not a sub-engine: it has no registry.
//
// Ownership: a sort engine owns its two dictionary copies (bsDict with the
// sort index as its only index, bsDictNoIdx without any index) and its key
// engine; it refers to its database without owning it.
#pragma once

#include <memory>

#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdServerDatabase;
class TqdIndexDescriptor;
class TqdBaseKeyEngine;
class TqdBaseSortEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseSortEngineException, EqdServerException);

// A sort engine class: its factory.
struct TqdSortEngineClass : TqdClassInfo {
  TqdBaseSortEngine* (*Create)(TqdServerDatabase* aDB, TqdDataDictionary* aDict,
                               TqdIndexDescriptor* aIndexDesc) = nullptr;
};

class TqdBaseSortEngine : public TqdObject {
 public:
  static const TqdSortEngineClass ClassInfo;

  // Copies aDict without indexes into bsDictNoIdx and, with aIndexDesc as
  // its only index, into bsDict, and computes the record lengths.
  TqdBaseSortEngine(TqdServerDatabase* aDB, TqdDataDictionary* aDict, TqdIndexDescriptor* aIndexDesc);
  ~TqdBaseSortEngine() override;

  [[nodiscard]] virtual TqdResult Get(PqdRecordBuffer aRecord) = 0;
  [[nodiscard]] virtual TqdResult Put(PqdRecordBuffer aRecord) = 0;
  virtual bool Iterate(PqdRecordBufferPtr aData, bool* aKeyChanged, TqdRecordIterator aIterator, void* aCookie) = 0;
  virtual bool IterateSameKey(PqdRecordBufferPtr aData, TqdRecordIterator aIterator, void* aCookie) = 0;

 protected:
  TqdServerDatabase* bsDB;
  std::unique_ptr<TqdDataDictionary> bsDict;
  std::unique_ptr<TqdDataDictionary> bsDictNoIdx;
  // Built by the key engines' unit for the sort index; nil until it exists.
  TqdBaseKeyEngine* bsKeyEngine = nullptr;
  uint32_t bsRecLen = 0;
  // bsRecLen rounded up to a multiple of 16.
  uint32_t bsRecLenBuf = 0;
};

// The class the server's table cursor sorts with; nil until set.
extern const TqdSortEngineClass* qdDefaultSortEngine;

}  // namespace qd
