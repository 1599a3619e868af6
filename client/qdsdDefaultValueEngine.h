// Default values applied to record images.
//
// A TqdDefaultValueHandler writes the default values of a fields descriptor
// into a new or modified record image. It is built for one apply side
// (server or client) and one cursor, and holds one small engine per field
// whose default-value descriptor applies on that side. The engine class of a
// descriptor is found by name in the default-value engine registry: the
// descriptor's class name with "Descriptor" replaced by "Engine"; the class
// found is cached in the descriptor (CachedEngineClass).
//
// Classes:
//   TqdBaseDefaultValueEngine                 family base, registry, CreateFor
//     TqdConstDefaultValueEngine              the descriptor's constant bytes
//     TqdCurrentDateTimeDefaultValueEngine    today / now, local time
//     TqdCurrentUserDefaultValueEngine        the user of the cursor's session
//     TqdAutoGuidDefaultValueEngine           a new random GUID
//     TqdEmptyDefaultValueEngine              all bytes zero
//     TqdCursorDefaultValueEngine             engines that ask the cursor
//       TqdNextLSNDefaultValueEngine          never built: the table engine
//                                             fills LSN fields itself
//   TqdDefaultValueHandler                    the engines of one fields
//                                             descriptor, by field and by use
//
// Ownership. A handler owns its engines; an engine refers to its descriptor,
// field descriptor and cursor, all owned elsewhere and alive as long as the
// handler (the cursor or dataset that builds the handler frees it before it
// lets go of its dictionary). Constant bytes (the constant, the user name)
// are copied into the engine when it is built, so applying a default copies
// bytes only.
//
// Threads. A handler and its engines are used by one thread at a time. The
// class cache in a descriptor is written without a lock into a dictionary
// that may be shared; every writer stores the same class.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "foundation/qdllException.h"
#include "foundation/qdllTypes.h"
#include "platform/qdGuid.h"

namespace qd {

class TqdAbstractCursor;
class TqdBaseDefaultValueEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseDefaultValueEngineException, EqdBaseException);
QD_DECLARE_EXCEPTION_CLASS(EqdConstDefaultValueEngineException, EqdBaseDefaultValueEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdCurrentDateTimeDefaultValueEngineException, EqdBaseDefaultValueEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdCurrentUserDefaultValueEngineException, EqdBaseDefaultValueEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdAutoGuidDefaultValueEngineException, EqdBaseDefaultValueEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdEmptyDefaultValueEngineException, EqdBaseDefaultValueEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdCursorDefaultValueEngineException, EqdBaseDefaultValueEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdNextLSNDefaultValueEngineException, EqdCursorDefaultValueEngineException);

// The class record of the default-value engine family. Create is the
// class's constructor (nil for abstract classes); NewEngine is what
// CreateFor calls: nil means Create, and a class that never builds an
// engine answers nil from it.
struct TqdDefaultValueEngineClass : TqdClassInfo {
  using TCreate = TqdBaseDefaultValueEngine* (*)(TqdBaseDefaultValueDescriptor* aDescriptor,
                                                 TqdAbstractCursor* aCursor);
  TCreate Create = nullptr;
  TCreate NewEngine = nullptr;

  // NewEngine, else Create; nil when the class builds none.
  TqdBaseDefaultValueEngine* BuildEngine(TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor* aCursor) const;
};

class TqdBaseDefaultValueEngine : public TqdBaseRegisterableEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Raises 8712 when the descriptor has no related field descriptor.
  TqdBaseDefaultValueEngine(TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor* aCursor);

  // The engine the descriptor's class names, or nil for a class that builds
  // none (the next-LSN default). 15503 "Unknown DefaultValue engine: ..."
  // when no engine class is registered under the derived name.
  static std::unique_ptr<TqdBaseDefaultValueEngine> CreateFor(TqdBaseDefaultValueDescriptor* aDescriptor,
                                                              TqdAbstractCursor* aCursor);

  TqdBaseDefaultValueDescriptor* Descriptor() const { return bdceDescriptor; }
  TqdFieldDescriptor* FieldDescriptor() const { return bdceFieldDescriptor; }

  // Writes the default into the field's bytes (FieldDescriptor()->Length()
  // of them). True: the buffer holds a value; false: the field stays null.
  virtual bool SetDefaultValue(uint8_t* aFieldValue) = 0;

 private:
  TqdBaseDefaultValueDescriptor* bdceDescriptor;
  TqdFieldDescriptor* bdceFieldDescriptor;
};

class TqdConstDefaultValueEngine : public TqdBaseDefaultValueEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Copies the descriptor's bytes into a buffer of the field's length: a
  // constant written for another layout of the field is cut or zero-padded
  // so that it never runs past the field.
  TqdConstDefaultValueEngine(TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor* aCursor);

  bool SetDefaultValue(uint8_t* aFieldValue) override;

 private:
  std::vector<uint8_t> cdveValue;
};

// Date: the day number of today as Int32 (1 January of year 1 is day 1);
// time: milliseconds since midnight as Int32; date-time: a Double of day
// number * 86,400,000 + milliseconds. Other types are left as they are.
class TqdCurrentDateTimeDefaultValueEngine : public TqdBaseDefaultValueEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseDefaultValueEngine::TqdBaseDefaultValueEngine;

  bool SetDefaultValue(uint8_t* aFieldValue) override;
};

class TqdCurrentUserDefaultValueEngine : public TqdBaseDefaultValueEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Converts the user name of the cursor's session once into the field's
  // layout (empty without a cursor).
  TqdCurrentUserDefaultValueEngine(TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor* aCursor);

  bool SetDefaultValue(uint8_t* aFieldValue) override;

 private:
  std::vector<uint8_t> cudveUserName;
};

// Where an auto-GUID default takes its GUIDs from; false when none could be
// made. A test may install its own; nil restores the random generator.
using TqdGuidGenerator = bool (*)(TGUID& aGuid);
void qdSetAutoGuidGenerator(TqdGuidGenerator aGenerator);

class TqdAutoGuidDefaultValueEngine : public TqdBaseDefaultValueEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseDefaultValueEngine::TqdBaseDefaultValueEngine;

  // False when no GUID could be made: the field then stays null.
  bool SetDefaultValue(uint8_t* aFieldValue) override;
};

class TqdEmptyDefaultValueEngine : public TqdBaseDefaultValueEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseDefaultValueEngine::TqdBaseDefaultValueEngine;

  bool SetDefaultValue(uint8_t* aFieldValue) override;
};

class TqdCursorDefaultValueEngine : public TqdBaseDefaultValueEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdCursorDefaultValueEngine(TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor* aCursor)
      : TqdBaseDefaultValueEngine(aDescriptor, aCursor), cdceCursor(aCursor) {}

  TqdAbstractCursor* Cursor() const { return cdceCursor; }

 private:
  TqdAbstractCursor* cdceCursor;
};

// The table engine writes the log sequence numbers itself when it stores a
// record, so CreateFor builds no engine for this class.
class TqdNextLSNDefaultValueEngine : public TqdCursorDefaultValueEngine {
 public:
  static const TqdDefaultValueEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdCursorDefaultValueEngine::TqdCursorDefaultValueEngine;

  // The cursor's next log sequence number; false without a cursor or when
  // the cursor has none.
  bool SetDefaultValue(uint8_t* aFieldValue) override;
};

class TqdDefaultValueHandler : public TqdObject {
 public:
  // Nil when no field has an engine for the side.
  static std::unique_ptr<TqdDefaultValueHandler> CreateFor(TqdFieldsDescriptor* aFieldsDescriptor, TqdApplyAt aApplyAt,
                                                           TqdAbstractCursor* aCursor);

  TqdDefaultValueHandler(TqdFieldsDescriptor* aFieldsDescriptor, TqdApplyAt aApplyAt, TqdAbstractCursor* aCursor);

  // The defaults that apply on insert (modify): first those that only fill
  // a null field, then those that replace any value; each field's null flag
  // becomes the negation of its engine's answer.
  void SetDefaultValuesInsert(uint8_t* aRecord);
  void SetDefaultValuesModify(uint8_t* aRecord);
  // Applies one field's engine whatever its settings and the field's null
  // flag say, and sets the flag to the negation of the answer. A field
  // without an engine (or a number outside the fields) gives false and
  // leaves the record alone.
  bool SetDefaultValue(uint8_t* aRecord, int32_t aField);

  TqdFieldsDescriptor* FieldsDescriptor() const { return dvhFieldsDescriptor; }
  int32_t EngineCount() const { return static_cast<int32_t>(dvhEngines.size()); }
  // The engine of a field, nil when it has none.
  TqdBaseDefaultValueEngine* EngineByIndex(int32_t aField) const;

 private:
  using TqdEngines = std::vector<TqdBaseDefaultValueEngine*>;

  void Apply(const TqdEngines (&aEngines)[2], uint8_t* aRecord);
  void ApplyEngine(TqdBaseDefaultValueEngine* aEngine, uint8_t* aRecord);

  TqdFieldsDescriptor* dvhFieldsDescriptor;
  std::vector<std::unique_ptr<TqdBaseDefaultValueEngine>> dvhEngines;
  // Indexed by OverwriteNonNull, in field order.
  TqdEngines dvhEnginesInsert[2];
  TqdEngines dvhEnginesModify[2];
  TqdEngines dvhEnginesByIndex;
};

void qdsdDefaultValueEngineInitialize();
void qdsdDefaultValueEngineFinalize();

}  // namespace qd
