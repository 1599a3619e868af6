// The data dictionary of an open table as the server holds it: a data
// dictionary that loads itself from, and saves itself into, the table's
// main file as the named stream "DICT" of the table's stream engine.
//
// The "DICT" stream holds exactly what TqdDataDictionary::WriteToStream
// writes (the server writes it for version 47501) and ReadFromStream reads.
//
// States: read-only while the table is open (shared by every session and
// cursor without locks); the server lifts it only for one restructuring
// step and sets it again before the dictionary is written back:
//
//   ReadFromFile --> read-only --ForceOffReadOnly--> editable
//   editable --ForceOnReadOnly / WriteToFile--> read-only
//
// On top of the dictionary's own checks it validates against the
// registered header formats and sub-engine families, and it subtracts the
// header format's reserve from every block's usable size.
//
// Classes: TqdServerDataDict, EqdServerDataDictException. The root table
// creates and owns the dictionary; the stream engine and transaction passed
// in are the caller's.
#pragma once

#include <cstdint>

#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

class TqdBaseStreamEngine;
class TqdBaseTransaction;

QD_DECLARE_EXCEPTION_CLASS(EqdServerDataDictException, EqdDataDictionaryException);

// The dictionary version the server writes into a table file.
inline constexpr int32_t qdServerDictionaryVersion = 47501;

class TqdServerDataDict : public TqdDataDictionary {
  QD_DICTIONARY_ITEM_CLASS(TqdClassInfo, EqdServerDataDictException)
 public:
  TqdServerDataDict() = default;

  // Also true for a plain dictionary on the other side: a dictionary sent by
  // a client compares equal to the table's own.
  bool IsSameClass(const TqdDictionaryItem* aItem) const override;
  // The dictionary's checks, then the header format's, then every sub-engine
  // family's.
  void CheckValid(bool aForBuild) override;
  // Less the header format's reserve per block.
  uint32_t UsableBlockSize(uint32_t aBlockSize) const override;

  // Loads the dictionary from "DICT" of the stream engine's data file and
  // leaves it read-only. A missing stream raises 9992 "The data dictionary
  // is missing (<file>)" and leaves the dictionary as it was.
  void ReadFromFile(TqdBaseStreamEngine* aStreamEngine, TqdBaseTransaction* aTrans);
  // Validates the dictionary, stores it as "DICT" under aTrans and leaves it
  // read-only.
  void WriteToFile(TqdBaseStreamEngine* aStreamEngine, TqdBaseTransaction* aTrans,
                   int32_t aVersion = qdServerDictionaryVersion);
  // Lifts the read-only state and switches the cached values off.
  void ForceOffReadOnly();
  // Read-only again, cached values rebuilt.
  void ForceOnReadOnly();
  void IncID() { (void)NextID(); }
  // Puts the item-ID counter back to a value saved before a failed step.
  void RestoreID(int32_t aOldID) { ddCurrentID = aOldID; }
  // A new GUID, for a table file that was copied or moved.
  void RecreateGuid();
};

}  // namespace qd
