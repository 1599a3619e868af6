// A table for index tests: a table file in an in-memory folder, a server
// dictionary with one byte-array key field per index, the static record
// engine and the indices engine built over the file, and helpers that make
// records and keys from numbers.
//
// Record layout: field 0 "Id" (Int32, required), then field 1 + i "K<i>"
// (byte array) for index i. The key of index i is that one field in a
// composite key, so its key engine length is the field's bytes plus one
// null-flag byte. A key value v is written big-endian into the field's
// last (up to) 8 bytes, the bytes before them zero, so that key order is
// the numeric order of v; a missing value (std::nullopt) is a null field.
//
// Ownership: the table owns the cache's file, the dictionary and every
// engine; Close frees the engines and the file; Reopen opens the committed
// file again the way an existing table opens (no transaction).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Keys.h"
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"
#include "storage/qdseRecordEngineStatic.h"
#include "storage/qdsrDataDictionary.h"
#include "storage/qdsrIndexEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {

struct TqdTestIndexShape {
  TqdTestIndexShape(int32_t aKeyLength = 9, TqdIndexDups aDups = idNone, qdString aName = {}, qdString aEngine = {})
      : KeyLength(aKeyLength), Dups(aDups), Name(std::move(aName)), Engine(std::move(aEngine)) {}
  // The key engine's key length: the field's bytes plus the null flags.
  int32_t KeyLength;
  TqdIndexDups Dups;
  qdString Name;    // empty: "Index<i>"
  qdString Engine;  // the index engine's registered name; empty: the default
};

using TqdTestIndexShapes = std::vector<TqdTestIndexShape>;
using TqdKeyValue = std::optional<uint64_t>;

class TqdIndexReadCounter;

// The table's block access as the engines get it: the table file's, and
// the index blocks fetched through it are told to the read counter that
// is watching (none: nothing is counted).
class TqdCountingBlockAccess final : public TqdBlockAccess {
 public:
  using TqdBlockAccess::TqdBlockAccess;
  TqdBlockRef GetValidBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty) override;

  TqdIndexReadCounter* fCounter = nullptr;
};

// The table's record engine: the static record engine, whose reads for
// keys (ReadRecordForIterate) are counted, and which answers rirStop
// without reading for the one reference it is told to refuse.
class TqdTestRecordEngine final : public TqdStaticRecordEngine {
 public:
  using TqdStaticRecordEngine::TqdStaticRecordEngine;
  TqdRecordIteratorResult ReadRecordForIterate(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBufferPtr aData,
                                               TqdRecordIterator aIterator, void* aCookie,
                                               TqdBaseFilterEngine* aFilter) override;

  uint64_t fReads = 0;
  TqdRefNr fRefused = 0;  // 0: none
};

class TqdIndexTestTable {
 public:
  // Nothing is created until Create.
  explicit TqdIndexTestTable(std::vector<TqdTestIndexShape> aIndexes, TqdBlockSize aBlockSize = qdbs4k,
                             std::string aName = "/db/index.qd1");
  ~TqdIndexTestTable();
  TqdIndexTestTable(const TqdIndexTestTable&) = delete;
  TqdIndexTestTable& operator=(const TqdIndexTestTable&) = delete;

  // A new file with the engines created under a transaction, committed.
  void Create();
  // Closes the engines and the file and opens them again from the file.
  void Reopen();
  void Close();

  TqdBufferManager& Cache() { return fCache; }
  TqdServerDataDict& Dict() { return *fDict; }
  TqdBlockAccess& Access() { return fTable->Access(); }
  // The access the engines read through.
  TqdCountingBlockAccess& CountingAccess() { return *fCountingAccess; }
  TqdBaseRecordEngine& Records() { return *fRecords; }
  TqdTestRecordEngine& TestRecords() { return *fRecords; }
  TqdBaseIndicesEngine& Indices() { return *fIndices; }
  TqdStaticKeyBstarTreeIndexEngine& Tree(int32_t aIndex = 0);
  // The index engine of index aIndex, whatever its class.
  TqdBaseIndexEngine& Index(int32_t aIndex = 0);
  int32_t IndexCount() const { return int32_t(fShapes.size()); }
  TqdBaseKeyEngine& KeyEngine(int32_t aIndex = 0);

  // A transaction on the cache; the caller commits or rolls back.
  std::unique_ptr<TqdTestTransaction> Begin() { return std::make_unique<TqdTestTransaction>(&fCache); }

  // A record image with id aId and the key value of each index (missing
  // values: null).
  std::vector<uint8_t> Record(int32_t aId, const std::vector<TqdKeyValue>& aValues);
  // The key of index aIndex for value aValue, built by its key engine.
  std::vector<uint8_t> Key(int32_t aIndex, TqdKeyValue aValue);
  // The value written into a key of index aIndex (nullopt for a null key).
  TqdKeyValue ValueOf(int32_t aIndex, const uint8_t* aKey);

  // Adds a record through the record engine and InsertKeys under aTrans;
  // the result of InsertKeys (the record stays added either way).
  [[nodiscard]] TqdResult AddRecord(TqdBaseTransaction* aTrans, int32_t aId, const std::vector<TqdKeyValue>& aValues,
                                    TqdRefNr& aRefNr);

 private:
  void BuildDictionary();
  void OpenEngines(TqdBaseTransaction* aTrans);

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::vector<TqdTestIndexShape> fShapes;
  TqdBlockSize fBlockSize;
  std::string fName;
  std::unique_ptr<TqdServerDataDict> fDict;
  std::unique_ptr<TqdTestTable> fTable;
  std::unique_ptr<TqdCountingBlockAccess> fCountingAccess;
  TqdBlockAccessList fFiles;
  std::unique_ptr<TqdTestRecordEngine> fRecords;
  std::unique_ptr<TqdBaseIndicesEngine> fIndices;
};

// Counts the index block reads of a table while it lives: every "QDIH"
// block its index engines fetched through the table's counting block
// access, with the block numbers in read order.
class TqdIndexReadCounter {
 public:
  explicit TqdIndexReadCounter(TqdIndexTestTable& aTable);
  ~TqdIndexReadCounter();
  TqdIndexReadCounter(const TqdIndexReadCounter&) = delete;
  TqdIndexReadCounter& operator=(const TqdIndexReadCounter&) = delete;

  uint32_t Reads() const { return uint32_t(fBlocks.size()); }
  const std::vector<TqdBlockNumber>& Blocks() const { return fBlocks; }
  void Reset() { fBlocks.clear(); }

 private:
  friend class TqdCountingBlockAccess;
  TqdCountingBlockAccess& fAccess;
  std::vector<TqdBlockNumber> fBlocks;
};

}  // namespace qd::test
