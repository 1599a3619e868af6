// The field converter framework: the 32 x 32 registry of converter classes
// by (source field type, target field type), the search that finds a
// converter routine for two field descriptors, and the routine contract.
//
// Classes and types:
//   TqdMappingMethod         a converter routine bound to its data (the
//                            converter instance, or the class record when no
//                            instance is needed); unassigned = no converter
//   TqdBaseFieldMapper       base of converter instances; owns nothing
//   TqdBaseFieldMapperClass  a converter class: its name and SelectConverter
//   EqdBaseFieldMapperException
//
// Routine contract: called with the address of the source field's image and
// of the target field's image (fdLength bytes there); answers 0 (converted),
// 10002 (the value does not fit the target: the target bytes are then not to
// be relied on) or 1 (treat as null; reserved for converters that need it).
// Routines never raise for a value that does not fit; text and decimal
// services may raise on their own faults and that passes through.
//
// Registry: each cell keeps its classes in registration order and is
// searched from the last registered back, so a class registered later for a
// filled cell is asked first. The cells are filled by the start-up of the
// converter units on the starting thread before any engine thread exists and
// only read afterwards (no lock); the finalization empties them.
//
// Ownership: CreateMapper returns the instance the routine is bound to (or
// an instance without a routine, or nil); the caller frees it after the last
// call of the routine. Instances never change after construction, so one
// routine may run on several threads at once for different buffers.
#pragma once

#include <cstdint>
#include <vector>

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "server/qdsdFieldMapperDescriptor.h"

namespace qd {

class TqdAbstractCursor;
class TqdFieldDescriptor;
class TqdBaseFieldMapper;
struct TqdBaseFieldMapperClass;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseFieldMapperException, EqdBaseException);

using TqdMappingCode = TqdResult (*)(const void* aData, const void* aSource, void* aTarget);

struct TqdMappingMethod {
  TqdMappingCode Code = nullptr;
  const void* Data = nullptr;

  bool Assigned() const { return Code != nullptr; }
  void Clear() {
    Code = nullptr;
    Data = nullptr;
  }
  [[nodiscard]] TqdResult operator()(const void* aSource, void* aTarget) const { return Code(Data, aSource, aTarget); }
};

// Answers for exactly one class: assigns aMapper when the class converts the
// pair and returns the instance it created for it, or nil.
using TqdSelectConverter = TqdBaseFieldMapper* (*)(TqdFieldDescriptor& aSourceField, TqdAbstractCursor* aSourceCursor,
                                                   TqdFieldDescriptor& aTargetField, TqdAbstractCursor* aTargetCursor,
                                                   const TqdFieldMapperDescriptor* aMapperDesc,
                                                   TqdMappingMethod& aMapper);

struct TqdBaseFieldMapperClass {
  qdStringView ClassName;
  TqdSelectConverter SelectConverter = nullptr;
};

class TqdBaseFieldMapper : public TqdObject {
 public:
  // The base class yields no converter.
  static const TqdBaseFieldMapperClass ClassInfo;

  // Asks the classes of the cell (source type, target type) from the last
  // registered back until one assigns aMapper, and returns what it returned.
  // When none does, aMapper stays unassigned and the result is what the
  // first registered class returned (nil, or an instance without a routine);
  // instances of classes asked in between are freed. aMapperDesc may be nil.
  static TqdBaseFieldMapper* CreateMapper(TqdFieldDescriptor& aSourceField, TqdAbstractCursor* aSourceCursor,
                                          TqdFieldDescriptor& aTargetField, TqdAbstractCursor* aTargetCursor,
                                          const TqdFieldMapperDescriptor* aMapperDesc, TqdMappingMethod& aMapper);
  // The same with the two fields found by the descriptor's names in the
  // cursors' table descriptors; a name that is not there raises 10038
  // "Invalid field name." before anything is created.
  static TqdBaseFieldMapper* CreateMapper(TqdAbstractCursor* aSourceCursor, TqdAbstractCursor* aTargetCursor,
                                          const TqdFieldMapperDescriptor& aMapperDesc, TqdMappingMethod& aMapper);
};

// Best fit is requested only by a descriptor whose action is dlaBestFit; a
// nil descriptor, dlaFail and dlaNull select the checking routines alike.
inline bool qdBestFitRequested(const TqdFieldMapperDescriptor* aMapperDesc) {
  return aMapperDesc != nullptr && aMapperDesc->DataLossAction() == dlaBestFit;
}

// Appends aClass to the cell; no duplicate check.
void qdRegisterFieldMapper(const TqdBaseFieldMapperClass& aClass, TqdFieldType aSourceType, TqdFieldType aTargetType);
// Removes the last registration of aClass from the cell (a unit that
// registered a class gives it back at shut-down); absent: nothing.
void qdUnregisterFieldMapper(const TqdBaseFieldMapperClass& aClass, TqdFieldType aSourceType, TqdFieldType aTargetType);
// The classes of a cell in registration order.
const std::vector<const TqdBaseFieldMapperClass*>& qdRegisteredFieldMappers(TqdFieldType aSourceType,
                                                                            TqdFieldType aTargetType);

void qdsdFieldMapperBaseInitialize();
// Empties every cell.
void qdsdFieldMapperBaseFinalize();

}  // namespace qd
