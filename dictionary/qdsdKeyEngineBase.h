// Key engines: the base of every engine that turns records into keys and
// orders them for one key descriptor. Index engines, cursors and the server
// hold one key engine per index and order records through nothing else.
//
// A key engine allocates key buffers (from the process-wide pool of
// KeyLength-byte items), builds the key of a record image, compares keys
// with keys, keys with records and records with records (whole or on a
// leading part), turns keys into Variants and text, and shows the key's
// fields to filter engines (GetFieldForFilter ... GetFieldsOffset).
//
// Classes by name: the engine class of a key descriptor is the descriptor's
// class name with "Descriptor" replaced by "Engine", looked up in the key
// engines' registry, which this unit owns (TqdBaseKeyEngine::ClassInfo
// carries it); each engine unit registers its classes at start-up.
//
// Classes: TqdKeyEngineClass (class record: factory and CheckValid),
// TqdBaseKeyEngine (abstract), TqdFixedKeyField (the description of one
// field of a fixed key layout), EqdBaseKeyEngineException. A descriptor of
// a class an engine cannot serve raises the platform's EInvalidCast.
//
// Ownership and threads. An engine keeps its descriptor (not owned) and owns
// its filter engine. It is immutable after construction, so any number of
// threads may build and compare keys with it at once; key buffers belong to
// whoever took them with AllocKey until FreeKey. The registry is filled and
// emptied by the thread that starts and stops the engine.
#pragma once

#include <cstdint>
#include <cstring>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdFilterEngineBase.h"
#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllExceptionData.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllTypes.h"
#include "platform/qdFormat.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBaseKeyEngineException, EqdBaseException);

class TqdBaseKeyEngine;

inline int8_t qdPlainRelation(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
inline int8_t qdPlainBytesRelation(const uint8_t* a, const uint8_t* b, size_t aLength) {
  const int r = std::memcmp(a, b, aLength);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// The class record of a key engine class: its virtual constructor and its
// class procedure CheckValid.
struct TqdKeyEngineClass : TqdClassInfo {
  TqdBaseKeyEngine* (*CreateInstance)(TqdBaseKeyDescriptor* aDescriptor) = nullptr;
  void (*CheckValidProc)(TqdBaseKeyDescriptor* aDescriptor) = nullptr;

  TqdBaseKeyEngine* Create(TqdBaseKeyDescriptor* aDescriptor) const { return CreateInstance(aDescriptor); }
  void CheckValid(TqdBaseKeyDescriptor* aDescriptor) const { CheckValidProc(aDescriptor); }
};

// One field of a fixed key layout (reference number, Int64, BLOB cache):
// a name and a type, no units, decimals, locale or code page.
class TqdFixedKeyField final : public IqdFieldDescriptor {
 public:
  TqdFixedKeyField(qdStringView aName, TqdFieldType aType) : fkfName(aName), fkfType(aType) {}
  qdString GetName() override { return fkfName; }
  TqdFieldType GetFieldType() override { return fkfType; }
  int32_t GetUnits() override { return 0; }
  int32_t GetDecPl() override { return 0; }
  TqdLocaleDescriptor* GetUsedLocaleDescriptor() override { return nullptr; }
  uint16_t GetUsedStorageCodePage() override { return 0; }

 private:
  qdString fkfName;
  TqdFieldType fkfType;
};

// A whole-key order that needs no key field engine: the key is one field
// whose image compares as a signed little-endian Int64 or byte by byte
// (memcmp), ascending or descending. A key with a null bitmap has it in
// byte 0, bit 0 set when the field is null; such a key is left to
// CompareKey. Index searches compare with it in their inner loop instead of
// calling CompareKey for every entry.
enum TqdPlainKeyOrder : uint8_t { pkoNone, pkoInt64, pkoBytes };

struct TqdPlainKeyCompare {
  TqdPlainKeyOrder pkcOrder = pkoNone;
  bool pkcDescending = false;
  bool pkcNullBitmap = false;
  // Where the field's image starts in the key and how long it is.
  uint16_t pkcOffset = 0;
  uint16_t pkcLength = 0;
};

class TqdBaseKeyEngine : public TqdBaseRegisterableEngine, public IqdFieldsSource {
 public:
  static const TqdKeyEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Keeps the descriptor and takes the pool of KeyLen-byte items; a key
  // longer than 65535 bytes is refused (qdeKeyTooLarge). A filtered key gets
  // its filter engine, active, bound to the table's fields descriptor.
  explicit TqdBaseKeyEngine(TqdBaseKeyDescriptor* aDescriptor);
  ~TqdBaseKeyEngine() override;
  TqdBaseKeyEngine(const TqdBaseKeyEngine&) = delete;
  TqdBaseKeyEngine& operator=(const TqdBaseKeyEngine&) = delete;

  // --- Classes by name ---
  // The engine for a key descriptor (the caller owns it); an unknown engine
  // class raises 15503 "Unknown Key engine: "<name>"".
  static TqdBaseKeyEngine* CreateFor(TqdBaseKeyDescriptor* aDescriptor);
  // The same without raising for an unknown class: 15503 with aKeyEngine nil
  // and the text left for the thread.
  [[nodiscard]] static TqdResult TryCreateFor(TqdBaseKeyDescriptor* aDescriptor, TqdBaseKeyEngine*& aKeyEngine);
  static void CheckValidBaseFromDescriptor(TqdBaseKeyDescriptor* aDescriptor);
  // The base class accepts every descriptor.
  static void CheckValid(TqdBaseKeyDescriptor* aDescriptor);

  // --- Fields for filters (IqdFieldsSource on key images) ---
  // Describes field aField (or the field named aName, when given) of the key
  // in aData: type, units, null flag, address of its image, code page.
  bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                         bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) override = 0;
  TqdVariant GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) override;
  bool BlobsSupported() override { return false; }
  // -1 when there is no such field.
  int32_t GetFieldFromName(qdStringView aFieldName) override = 0;
  virtual int32_t GetMaxFieldCount() = 0;
  int32_t GetFieldCount() override { return GetMaxFieldCount(); }
  // nil for an index without a field.
  IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override = 0;
  TqdAbstractCursor* GetCursor() override { return nullptr; }
  int32_t GetFieldsOffset() override = 0;
  // Offset of key field Index's image in a key; -1 where keys have no such
  // fields.
  virtual int32_t GetKeyFieldOffset(int32_t Index);
  virtual bool SupportsReindex() { return true; }

  // --- Key buffers ---
  // A pool item of KeyLength bytes, cleared.
  uint8_t* AllocKey();
  // Gives the item back; aKey becomes nil.
  void FreeKey(uint8_t*& aKey);
  virtual void CopyKey(const uint8_t* aFrom, uint8_t* aTo);
  virtual void ClearKey(uint8_t* aKey) = 0;

  // --- Building and comparing ---
  // 0, qdeKeyFiltered (1) when the record gets no key, 9986 for a nil record.
  [[nodiscard]] virtual TqdResult BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr,
                                           bool aIgnoreFilter) = 0;
  // 12289 here: the key cannot be turned back.
  [[nodiscard]] virtual TqdResult KeyToRecord(const uint8_t* aKey, uint8_t* aRecord);
  // -1, 0 or 1. aFieldCount 0 means every field; a positive aPartialLen
  // compares the leading part of the next field.
  virtual int8_t CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount, int32_t aPartialLen) = 0;
  virtual int8_t CompareKey(const uint8_t* aKey1, const uint8_t* aKey2);
  // CompareKey(aKey1, aKey2, 0, 0) answered inline where the key has a
  // plain order.
  int8_t CompareWholeKey(const uint8_t* aKey1, const uint8_t* aKey2) {
    const TqdPlainKeyCompare& plain = bkePlainCompare;
    if (plain.pkcOrder != pkoNone && !(plain.pkcNullBitmap && ((aKey1[0] | aKey2[0]) & 1) != 0)) {
      const int8_t r = plain.pkcOrder == pkoInt64
                           ? qdPlainRelation(qdGetI64(aKey1 + plain.pkcOffset), qdGetI64(aKey2 + plain.pkcOffset))
                           : qdPlainBytesRelation(aKey1 + plain.pkcOffset, aKey2 + plain.pkcOffset, plain.pkcLength);
      return plain.pkcDescending ? int8_t(-r) : r;
    }
    return CompareKey(aKey1, aKey2, 0, 0);
  }
  // pkoNone unless every whole-key comparison of this engine is the plain
  // one. A class that overrides CompareKey of a class that sets it must set
  // it again.
  const TqdPlainKeyCompare& PlainCompare() const { return bkePlainCompare; }
  // Build the record's key (filters ignored; a failure raises
  // EqdBaseKeyEngineException with its code) and compare.
  virtual int8_t CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr aRefNr, int32_t aFieldCount,
                                    int32_t aPartialLen);
  int8_t CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr aRefNr) {
    return CompareKeyToRecord(aKey, aRecord, aRefNr, 0, 0);
  }
  virtual int8_t CompareRecord(const uint8_t* aRecord1, TqdRefNr aRefNr1, const uint8_t* aRecord2, TqdRefNr aRefNr2,
                               int32_t aFieldCount, int32_t aPartialLen);
  int8_t CompareRecord(const uint8_t* aRecord1, TqdRefNr aRefNr1, const uint8_t* aRecord2, TqdRefNr aRefNr2) {
    return CompareRecord(aRecord1, aRefNr1, aRecord2, aRefNr2, 0, 0);
  }
  int8_t CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) {
    return CompareRecord(aRecord1, 0, aRecord2, 0, 0, 0);
  }

  // --- Keys as values ---
  // aField -1: every field (an array when there are several); 0..n-1: that
  // field; anything else raises 9999.
  virtual TqdVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) = 0;
  // "5, NULL, 'O''Neil'"; empty when the key cannot be shown at all.
  qdString KeyAsString(const uint8_t* aKey);
  // Adds every field's value under the field's name; errors are swallowed.
  void KeyAsExceptionData(const uint8_t* aKey, IqdExceptionDataContainer* aContainer);
  virtual bool KeyContainsNulls(const uint8_t* aKey);

  // Adds "KeyLength", "Fields" (name = type identifier per field) and
  // "Filter".
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

  TqdBaseKeyDescriptor* KeyDescriptor() const { return bkeKeyDescriptor; }
  uint16_t KeyLength() const { return bkeKeyLength; }
  TqdBaseFilterEngine* Filter() const { return bkeFilter; }
  bool NLSVersionChanged() const { return bkeNLSVersionChanged; }
  bool ContainsExtended() const { return bkeContainsExtended; }
  int32_t MaxFieldCount() { return GetMaxFieldCount(); }
  int32_t FieldsOffset() { return GetFieldsOffset(); }

 protected:
  // Whether the key's filter refuses the record (filter engines keep no
  // per-call state, so this runs on any thread).
  bool FilterRefuses(const uint8_t* aRecord) const;
  // Builds a temporary key for a comparison; a failure raises.
  void BuildForCompare(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr);

  TqdBaseKeyDescriptor* bkeKeyDescriptor;
  uint16_t bkeKeyLength = 0;
  TqdMemoryPool bkeMemoryPool;
  TqdBaseFilterEngine* bkeFilter = nullptr;  // owned
  bool bkeNLSVersionChanged = false;
  bool bkeContainsExtended = false;
  TqdPlainKeyCompare bkePlainCompare;

  // Sets the key length (the fixed-layout engines) and takes its pool.
  void SetKeyLength(int32_t aKeyLength);
};

// The engine class a key descriptor names; nil when none is registered.
const TqdKeyEngineClass* qdFindKeyEngineClass(TqdBaseKeyDescriptor* aDescriptor, qdString& aEngineName);

void qdsdKeyEngineBaseInitialize();
void qdsdKeyEngineBaseFinalize();

}  // namespace qd
