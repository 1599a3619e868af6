// The root of the table sub-engines and the registries that turn an engine
// name stored in a dictionary into an engine class.
//
// A table is a set of sub-engines (records, BLOBs, streams, the auto-
// increment counter, indexes, heaps, block heaps, record compression). Each
// kind is a family: an abstract base class (its own unit, for example
// storage/qdsrRecordEngineBase.h) plus a registry of engine classes by
// short name ("qd1xDefault", "Static", ...). Names compare without regard
// to ASCII case; a name registered twice in one family raises the string
// list's duplicate error; one class may sit under several names.
//
// Registries hold class records (TqdClassInfo descendants carrying typed
// factories), never instances. They are filled by the explicit start-up
// calls of storage/qdStorage.cpp and emptied at shut-down, on the thread
// that starts and stops the engine; lookups afterwards take no lock.
//
// The process-wide family list (RegisterBase) is walked in registration
// order by CheckValidAll, which validates a whole dictionary (and its
// nested tables) against the registered engines before a table is created
// or restructured.
//
// Classes: TqdBaseSubEngine, TqdSubEngineFamily, EqdBaseSubEngineException;
// the shared value types TqdBlockAccessList, TqdHeapRef, TqdSegmentRef,
// TqdGetRecordCallback; the long-loop deadline check qdCheckTimeout and the
// record filter questions asked of the dictionary's filter engines.
#pragma once

#include <cstdint>
#include <vector>

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllTypes.h"
#include "storage/qdsrBufferManager.h"

namespace qd {

class TqdBaseTableDescriptor;
class TqdDataDictionary;
class TqdDictionaryItem;
class TqdBaseFilterEngine;

// --- Exceptions --------------------------------------------------------------

QD_DECLARE_EXCEPTION_CLASS(EqdBaseSubEngineException, EqdServerException);

// --- Shared value types ------------------------------------------------------

// One block access per file of a table; index 0 is the main file.
// Descriptors select a file by their file number. Not owned.
using TqdBlockAccessList = std::vector<TqdBlockAccess*>;

// A segment of a multi-block heap: block number in the high 32 bits,
// segment reference inside the block in the low 32 bits.
using TqdHeapRef = int64_t;
// A segment inside one block.
using TqdSegmentRef = uint32_t;
using PqdHeapSegment = uint8_t*;
using PqdRecordBufferPtr = PqdRecordBuffer*;

// Rewrites one record image in place; 0 or an error number.
using TqdGetRecordCallback = TqdResult (*)(void* aCookie, PqdRecordBuffer aRecord);

// --- Deadline check of long loops -------------------------------------------

// Raises the time-out or cancel error of the calling thread when its
// deadline is near or its cancel flag is set. The server's deadline unit
// (server/qdsrTimeoutHandling.h) installs it at start-up and removes it at
// shut-down; while it is not installed, long storage loops run unchecked.
using TqdCheckTimeoutProc = void (*)();
extern TqdCheckTimeoutProc qdCheckTimeoutHook;
inline void qdCheckTimeout() {
  if (qdCheckTimeoutHook != nullptr) qdCheckTimeoutHook();
}

// --- Record filters ----------------------------------------------------------
//
// Record engines and index walks take the dictionary's filter engine
// (dictionary/qdsdFilterEngineBase.h) by pointer and ask it directly.
// nil when aFilter is nil or not active: walks treat it as no filter.
TqdBaseFilterEngine* qdActiveFilter(TqdBaseFilterEngine* aFilter);
// True for a nil filter, else the filter engine's answer for the record.
bool qdFilterMatches(TqdBaseFilterEngine* aFilter, const uint8_t* aRecord);

// --- Families ----------------------------------------------------------------

// A family as the process-wide list knows it: its base class and its
// dictionary-level check.
struct TqdSubEngineFamily {
  const TqdClassInfo* sefBase;
  // Checks the family's part of one table descriptor (the root dictionary
  // or a nested table); nil checks nothing.
  void (*sefCheckValidDictionary)(TqdBaseTableDescriptor* aTableDescriptor);
};

// The class record of a family member: an engine class that can be
// created by name. Each family derives its own record with typed factories.
template <class TInfo>
const TInfo* qdFindSubEngineClass(const TqdClassInfo& aFamily, qdStringView aName);

// --- The root ----------------------------------------------------------------

class TqdBaseSubEngine : public TqdPersistent {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdBaseSubEngine(int32_t aID, int32_t aTableVersion) : bseID(aID), bseTableVersion(aTableVersion) {}

  // The ID of the dictionary item the engine was made from (0 without one):
  // also the owner of the blocks the engine takes.
  int32_t ID() const { return bseID; }
  void SetID(int32_t aID) { bseID = aID; }
  // The engine format version of the table file.
  int32_t TableVersion() const { return bseTableVersion; }

  // The class registered under aName in aClass's family (ASCII case
  // ignored); nil when the family has no registry yet or no such name.
  // aClass must belong to a family (the root alone is an assertion failure).
  static const TqdClassInfo* FindEngineClass(const TqdClassInfo& aClass, qdStringView aName);
  // Adds aClass under aName (its class name when empty) to its family's
  // registry, creating it; a name already present raises.
  static void Register(const TqdClassInfo& aClass, qdStringView aName);
  // Removes every entry of aClass; frees the registry when it is empty.
  static void Unregister(const TqdClassInfo& aClass);
  // The process-wide family list, in registration order.
  static void RegisterBase(const TqdSubEngineFamily& aFamily);
  static void UnregisterBase(const TqdSubEngineFamily& aFamily);
  static const std::vector<const TqdSubEngineFamily*>& Families();
  // Validates aDictionary and its nested tables against the registered
  // engines: every family's check, in registration order, on each table
  // descriptor, depth first. The first failure raises; nothing changes
  // except what a check is documented to adjust (a record file's block
  // size).
  static void CheckValidAll(TqdDataDictionary* aDictionary);

  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 protected:
  int32_t bseID;
  int32_t bseTableVersion;
};

// Raises aException with 15503 "Unknown <kind> engine: "<name>"".
template <class E>
[[noreturn]] void qdRaiseUnknownEngine(qdStringView aKind, qdStringView aName) {
  throw E(qdeSubEngineNotSupported, u"Unknown %s engine: \"%s\"", {qdString(aKind), qdString(aName)});
}

template <class TInfo>
const TInfo* qdFindSubEngineClass(const TqdClassInfo& aFamily, qdStringView aName) {
  const TqdClassInfo* found = TqdBaseSubEngine::FindEngineClass(aFamily, aName);
  if (found == nullptr || !found->InheritsFrom(aFamily)) return nullptr;
  return static_cast<const TInfo*>(found);
}

// The table version of a set of files: the first file's engine version.
int32_t qdTableVersionOf(const TqdBlockAccessList& aFiles);
// aFiles[aFileNumber], raising 9999 for a number outside the list.
TqdBlockAccess* qdFileOf(const TqdBlockAccessList& aFiles, int32_t aFileNumber);

void qdsrSubEngineBaseInitialize();
void qdsrSubEngineBaseFinalize();

}  // namespace qd
