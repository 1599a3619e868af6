// Composite key engines: keys made of key fields, each served by its own key
// field engine (dictionary/qdsdKeyFieldEngineBase.h).
//
// Composite key image, n key fields, L(i) the key length of key field i:
//
//   offset               size            content
//   0                    (n + 7) div 8   null bitmap: bit i (byte i div 8,
//                                        value 1 shl (i mod 8)) set = key
//                                        field i is null
//   (n + 7) div 8        L(0)            image of key field 0
//   previous + L(i-1)    L(i)            image of key field i
//
// A cleared key has every bitmap byte 0xFF and every field image zero; the
// image of a null field stays zero. TqdNoNullCompKeyEngine keeps the same
// images without the bitmap (field 0 at offset 0, nothing is ever null).
//
// Classes: TqdCompKeyEngine, TqdNoNullCompKeyEngine and their exception
// classes.
//
// Ownership and threads. The engine owns its key field engines; the fields
// descriptor (the table's record layout) and the key descriptor belong to
// the dictionary. Everything, the field offsets included, is fixed by the
// constructor, so the engine is shared by threads without locks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "dictionary/qdsdKeyFieldEngineBase.h"
#include "platform/qdStringList.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdCompKeyEngineException, EqdBaseKeyEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdNoNullCompKeyEngineException, EqdCompKeyEngineException);

class TqdCompKeyEngine : public TqdBaseKeyEngine {
 public:
  static const TqdKeyEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdCompKeyEngine(TqdBaseKeyDescriptor* aDescriptor);
  ~TqdCompKeyEngine() override;

  // Every key field's engine can be built (the descriptor must be a
  // composite key descriptor).
  static void CheckValid(TqdBaseKeyDescriptor* aDescriptor);

  // No range check.
  TqdCompositeKeyFieldEngine* GetKeyFieldEngine(int32_t Index) const { return ckeKeyFieldEngines[Index].get(); }
  int32_t KeyFieldCount() const { return ckeKeyFieldCount; }
  TqdFieldsDescriptor* FieldsDescriptor() const { return ckeFieldsDescriptor; }

  bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                         bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) override;
  int32_t GetFieldFromName(qdStringView aFieldName) override;
  int32_t GetMaxFieldCount() override { return ckeKeyFieldCount; }
  IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  int32_t GetFieldsOffset() override { return ckeKeyOffset; }
  int32_t GetKeyFieldOffset(int32_t Index) override;

  void ClearKey(uint8_t* aKey) override;
  [[nodiscard]] TqdResult BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr, bool aIgnoreFilter) override;
  [[nodiscard]] TqdResult KeyToRecord(const uint8_t* aKey, uint8_t* aRecord) override;
  using TqdBaseKeyEngine::CompareKey;
  using TqdBaseKeyEngine::CompareKeyToRecord;
  using TqdBaseKeyEngine::CompareRecord;
  int8_t CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  int8_t CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr aRefNr, int32_t aFieldCount,
                            int32_t aPartialLen) override;
  int8_t CompareRecord(const uint8_t* aRecord1, TqdRefNr aRefNr1, const uint8_t* aRecord2, TqdRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;
  TqdVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) override;
  bool KeyContainsNulls(const uint8_t* aKey) override;

 protected:
  // The fields compared in full and whether the field after them is
  // compared on its leading part.
  int32_t FullFieldCount(int32_t aFieldCount, int32_t aPartialLen) const;
  bool KeyFieldIsNull(const uint8_t* aKey, int32_t aIndex) const {
    return ckeNullBitmap && (aKey[aIndex / 8] & (1u << (aIndex % 8))) != 0;
  }
  bool RecordFieldIsNull(const uint8_t* aRecord, int32_t aIndex) const {
    return ckeNullBitmap &&
           ckeFieldsDescriptor->IsRecordFieldNullFast(ckeKeyFieldEngines[aIndex]->ckfeFieldNumber, aRecord);
  }
  // The first non-zero relation of the null flags, 2 when both are present.
  int8_t NullRelation(bool aNull1, bool aNull2, int32_t aIndex) const {
    if (aNull1) return aNull2 ? 0 : static_cast<int8_t>(-ckeKeyFieldInvertNull[aIndex]);
    return aNull2 ? ckeKeyFieldInvertNull[aIndex] : 2;
  }
  // Keys without the bitmap start their first field at offset 0.
  TqdCompKeyEngine(TqdBaseKeyDescriptor* aDescriptor, bool aNullBitmap);

  // Whether keys carry the null bitmap.
  bool ckeNullBitmap;
  TqdFieldsDescriptor* ckeFieldsDescriptor = nullptr;
  std::vector<std::unique_ptr<TqdCompositeKeyFieldEngine>> ckeKeyFieldEngines;
  std::vector<int8_t> ckeKeyFieldInvertNull;
  TqdStringList ckeKeyFieldNames;
  int32_t ckeKeyFieldCount = 0;
  int32_t ckeKeyOffset = 0;
  std::vector<int32_t> ckeKeyFieldOffset;
};

class TqdNoNullCompKeyEngine : public TqdCompKeyEngine {
 public:
  static const TqdKeyEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdNoNullCompKeyEngine(TqdBaseKeyDescriptor* aDescriptor);

  void ClearKey(uint8_t* aKey) override;
  [[nodiscard]] TqdResult BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr, bool aIgnoreFilter) override;
  bool KeyContainsNulls(const uint8_t* /*aKey*/) override { return false; }
};

void qdsdKeyEngineCompInitialize();
void qdsdKeyEngineCompFinalize();

}  // namespace qd
