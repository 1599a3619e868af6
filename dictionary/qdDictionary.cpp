#include "dictionary/qdDictionary.h"

#include "dictionary/qdsdFmtBcd.h"

namespace qd {

void InitializeDictionary() { qdsdFmtBcdInitialize(); }

void FinalizeDictionary() { qdsdFmtBcdFinalize(); }

}  // namespace qd
