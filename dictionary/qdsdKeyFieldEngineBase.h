// Key field engines: how one field of a composite key is turned into its
// key image and how two such images (or record fields) are ordered.
//
// A TqdCompositeKeyFieldEngine is built from one key field descriptor. Its
// constructor looks once at the field type, the direction, the text options
// (ignore case, locale, compare flags, code pages) and the key length, and
// binds a handful of routines (code plus the engine) that the hot paths call
// without further branching:
//   CompareKey / PartialCompareKey            two key images
//   CompareFieldDirect / PartialCompareFieldDirect   two record field images
//   CompareKeyToFieldDirect / PartialCompareKeyToFieldDirect
//   BuildKey                                  record field -> key image
//   KeyToRecord                               key image -> record field
//   KeyAsVariant                              key image -> Variant
// Every compare routine answers -1, 0 or 1. The engine never sees nulls:
// null flags live in the key's bitmap and the record's null bits, and the
// owner applies InvertNull, FilterNull and FilterNonNull itself.
//
// Text under a locale is compared through platform/qdNls (one cached
// collator per locale and flags); byte-order text compares code units, with
// ASCII-only case folding when the key ignores case. Key images and key
// comparisons use the same routines, so the order an index file keeps is the
// order every comparison sees.
//
// Classes:
//   TqdCompositeKeyFieldEngineClass  class record: factory, type support
//   TqdKeyFieldRoutine<Sig>          a bound routine (code plus engine)
//   TqdCompositeKeyFieldEngine       the default engine ("")
//   TqdNumbersOnlyCKFE               "NumbersOnly": the digits of a text
//   TqdDateOnlyCKFE                  "DateOnly": the start of the day
//   TqdDateOnlyProcessCKFE           date engines that move the day
//   TqdDateOnlyWeekCKFE, TqdDateOnlyMonthCKFE, TqdDateOnlyYearCKFE
//
// Ownership and threads. The owner (a composite key engine, a validation
// engine) creates an engine through CreateEngine and frees it. An engine is
// read-only after its constructor, so its routines run on any number of
// threads at once; temporary key images come from the process-wide pool of
// KeyLength-byte items, which is thread-safe. The registry of engine classes
// by name is guarded by one padlock, held for every registry operation
// including the construction inside CreateEngine (so constructors must not
// use the registry).
#pragma once

#include <cstdint>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllTypes.h"
#include "platform/qdDateTime.h"
#include "platform/qdStrings.h"
#include "platform/qdVariant.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdCompositeKeyFieldEngineException, EqdBaseException);

class TqdCompositeKeyFieldEngine;

// Partial lengths standing for the whole text of the first or second key.
inline constexpr int32_t qdPartialLenWholeKey1 = 0x7FFFFFFE;
inline constexpr int32_t qdPartialLenWholeKey2 = 0x7FFFFFFD;

// Key images larger than this are not supported by the direct routines.
inline constexpr int32_t qdMaxKeyFieldImage = 65536;

// A routine bound at construction: the code and the engine it runs on.
template <class TSignature>
class TqdKeyFieldRoutine;

template <class R, class... TArgs>
class TqdKeyFieldRoutine<R(TArgs...)> {
 public:
  using TCode = R (*)(const TqdCompositeKeyFieldEngine& aEngine, TArgs... aArgs);

  R operator()(TArgs... aArgs) const { return rCode(*rEngine, aArgs...); }
  bool Assigned() const { return rCode != nullptr; }
  TCode Code() const { return rCode; }

 private:
  friend class TqdCompositeKeyFieldEngine;
  void Bind(const TqdCompositeKeyFieldEngine* aEngine, TCode aCode) {
    rEngine = aEngine;
    rCode = aCode;
  }

  const TqdCompositeKeyFieldEngine* rEngine = nullptr;
  TCode rCode = nullptr;
};

// The class record of a key field engine class: its virtual constructor and
// its answer to SupportsFieldType.
struct TqdCompositeKeyFieldEngineClass : TqdClassInfo {
  TqdCompositeKeyFieldEngine* (*CreateInstance)(TqdKeyFieldDescriptor* aKeyFieldDescriptor) = nullptr;
  bool (*SupportsFieldTypeProc)(TqdFieldType aFieldType) = nullptr;

  TqdCompositeKeyFieldEngine* Create(TqdKeyFieldDescriptor* aKeyFieldDescriptor) const {
    return CreateInstance(aKeyFieldDescriptor);
  }
  // Builds an engine for the descriptor and frees it at once, so that every
  // check of the constructor runs.
  void CheckValid(TqdKeyFieldDescriptor* aKeyFieldDescriptor) const;
  bool SupportsFieldType(TqdFieldType aFieldType) const { return SupportsFieldTypeProc(aFieldType); }
};

class TqdCompositeKeyFieldEngine : public TqdPersistent, public IqdFieldDescriptor {
 public:
  static const TqdCompositeKeyFieldEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Raises EqdCompositeKeyFieldEngineException 12289 for a field type
  // without a compare routine.
  explicit TqdCompositeKeyFieldEngine(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  ~TqdCompositeKeyFieldEngine() override = default;
  TqdCompositeKeyFieldEngine(const TqdCompositeKeyFieldEngine&) = delete;
  TqdCompositeKeyFieldEngine& operator=(const TqdCompositeKeyFieldEngine&) = delete;

  static bool SupportsFieldType(TqdFieldType aFieldType);

  // --- Registry (all under the registry padlock) ---
  // Adds aName -> aClass; a name already present raises the string list's
  // duplicate error. The field types and parameters are accepted and not
  // kept: SupportsFieldType answers for the class.
  static void Register(const TqdCompositeKeyFieldEngineClass& aClass, qdStringView aName, TqdFieldTypes aFieldTypes,
                       TqdFormatArgs aParams = {});
  // Removes every entry of aClass and of its descendants.
  static void Unregister(const TqdCompositeKeyFieldEngineClass& aClass);
  // The names, comma-separated, in sorted order.
  static qdString RegisteredEngines();
  // The engine the descriptor's KeyFieldEngine names (the caller owns it);
  // 15503 "CompositeKeyFieldEngine "%s" is not registered" for an unknown name.
  static TqdCompositeKeyFieldEngine* CreateEngine(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  static void CheckValidBase(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool CheckSupportsFieldType(qdStringView aEngineName, TqdFieldType aFieldType);

  // IqdFieldDescriptor: a key field described like a field.
  qdString GetName() override { return ckfeFieldName; }
  TqdFieldType GetFieldType() override { return ckfeFieldType; }
  int32_t GetUnits() override { return ckfeKeyUnits; }
  int32_t GetDecPl() override { return ckfeFieldDecPl; }
  TqdLocaleDescriptor* GetUsedLocaleDescriptor() override { return ckfeLocaleDescriptor; }
  uint16_t GetUsedStorageCodePage() override { return ckfeCompareCodepage; }

  // --- Settings, fixed by the constructor ---
  qdString ckfeFieldName;
  TqdFieldType ckfeFieldType = qdtBoolean;
  int32_t ckfeFieldDecPl = 0;
  int32_t ckfeFieldLength = 0;
  int32_t ckfeFieldOffset = 0;
  int32_t ckfeFieldNumber = 0;
  int32_t ckfeKeyChars = 0;
  int32_t ckfeKeyLength = 0;
  int32_t ckfeBuildKeyLength = 0;
  int32_t ckfeKeyUnits = 0;
  TqdMemoryPool ckfeAllocator;
  uint32_t ckfeLocale = 0;
  bool ckfeUseByteOrder = false;
  uint32_t ckfeCompareFlags = 0;
  TqdLocaleDescriptor* ckfeLocaleDescriptor = nullptr;  // not owned
  uint16_t ckfeStorageCodepage = 0;
  uint16_t ckfeCompareCodepage = 0;
  bool ckfeNLSVersionChanged = false;
  bool InvertNull = false;
  bool FilterNull = false;
  bool FilterNonNull = false;
  bool KeySameAsRecordFormat = false;
  // The order CompareKey keeps when it is a plain one (pkoNone otherwise),
  // and whether it is descending.
  TqdPlainKeyOrder ckfePlainOrder = pkoNone;
  bool ckfePlainDescending = false;

  // --- Bound routines ---
  TqdKeyFieldRoutine<int8_t(const uint8_t* aKey1, const uint8_t* aKey2)> CompareKey;
  TqdKeyFieldRoutine<int8_t(const uint8_t* aField1, const uint8_t* aField2)> CompareFieldDirect;
  TqdKeyFieldRoutine<int8_t(const uint8_t* aKey, const uint8_t* aField)> CompareKeyToFieldDirect;
  TqdKeyFieldRoutine<int8_t(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aPartialLen)> PartialCompareKey;
  TqdKeyFieldRoutine<int8_t(const uint8_t* aField1, const uint8_t* aField2, int32_t aPartialLen)>
      PartialCompareFieldDirect;
  TqdKeyFieldRoutine<int8_t(const uint8_t* aKey, const uint8_t* aField, int32_t aPartialLen)>
      PartialCompareKeyToFieldDirect;
  TqdKeyFieldRoutine<void(const uint8_t* aField, uint8_t* aKey)> BuildKey;
  TqdKeyFieldRoutine<TqdResult(const uint8_t* aKey, uint8_t* aField)> KeyToRecord;
  TqdKeyFieldRoutine<void(const uint8_t* aKey, TqdVariant& aValue)> KeyAsVariant;

  // Whether the text routines fold case (set with NORM_IGNORECASE).
  bool IgnoreCase() const { return ckfeIgnoreCase; }
  // Whether 8-bit text is converted from the storage to the compare code
  // page when keys are built.
  bool ConversionNeeded() const { return ckfeConversionNeeded; }

 protected:
  // The constructor of the descendants: aClass decides KeySameAsRecordFormat
  // (only the default engine's key is a copy of the field).
  TqdCompositeKeyFieldEngine(TqdKeyFieldDescriptor* aKeyFieldDescriptor, const TqdClassInfo& aClass);

  using TBuildKeyCode = TqdKeyFieldRoutine<void(const uint8_t*, uint8_t*)>::TCode;
  void BindBuildKey(TBuildKeyCode aCode) { BuildKey.Bind(this, aCode); }

 private:
  void Construct(TqdKeyFieldDescriptor* aKeyFieldDescriptor, const TqdClassInfo& aClass);
  void BindCompareRoutines(TqdKeyFieldDescriptor* aKeyFieldDescriptor, bool aAscend);
  void BindBuildRoutine();

  int32_t ckfeFieldUnits = 0;
  bool ckfeIgnoreCase = false;
  bool ckfeConversionNeeded = false;
  bool ckfeStorageMultiByte = false;
  bool ckfeCompareMultiByte = false;
};

// "NumbersOnly": the key of a text keeps its digits only.
class TqdNumbersOnlyCKFE : public TqdCompositeKeyFieldEngine {
 public:
  static const TqdCompositeKeyFieldEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  explicit TqdNumbersOnlyCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool SupportsFieldType(TqdFieldType aFieldType);
};

// "DateOnly": the key of a DateTime keeps the start of its day. The field
// must be a DateTime (asserted).
class TqdDateOnlyCKFE : public TqdCompositeKeyFieldEngine {
 public:
  static const TqdCompositeKeyFieldEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  explicit TqdDateOnlyCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool SupportsFieldType(TqdFieldType aFieldType);
};

// Date engines that move the day of the time stamp (milliseconds already 0)
// before it is stored; this class keeps it as it is.
class TqdDateOnlyProcessCKFE : public TqdCompositeKeyFieldEngine {
 public:
  static const TqdCompositeKeyFieldEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  explicit TqdDateOnlyProcessCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor);

  virtual void ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const;

 protected:
  TqdDateOnlyProcessCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor, const TqdClassInfo& aClass);
};

// The Monday of the week.
class TqdDateOnlyWeekCKFE : public TqdDateOnlyProcessCKFE {
 public:
  static const TqdCompositeKeyFieldEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  explicit TqdDateOnlyWeekCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  void ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const override;
};

// The first day of the month.
class TqdDateOnlyMonthCKFE : public TqdDateOnlyProcessCKFE {
 public:
  static const TqdCompositeKeyFieldEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  explicit TqdDateOnlyMonthCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  void ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const override;
};

// 1 January of the year.
class TqdDateOnlyYearCKFE : public TqdDateOnlyProcessCKFE {
 public:
  static const TqdCompositeKeyFieldEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  explicit TqdDateOnlyYearCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor);
  void ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const override;
};

void qdsdKeyFieldEngineBaseInitialize();
void qdsdKeyFieldEngineBaseFinalize();

}  // namespace qd
