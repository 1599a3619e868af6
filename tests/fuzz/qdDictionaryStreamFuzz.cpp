// libFuzzer target for the dictionary stream reader: a table file's "DICT"
// stream and the dictionaries a server sends are untrusted bytes. A damaged
// stream may raise an engine exception and must then leave a default
// dictionary; any other exception, a crash, an overrun (with the sanitizers)
// or a huge allocation is a finding. A stream that reads is written again and
// must read back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "engine/qdEngine.h"
#include "foundation/qdllStreams.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  // An exact-size copy, so that the sanitizer sees any read past its end.
  std::vector<uint8_t> bytes(aData, aData + aSize);
  qd::TqdStaticMemoryStream stream(bytes.data(), static_cast<int32_t>(bytes.size()));
  qd::TqdDataDictionary dictionary;
  try {
    dictionary.ReadFromStream(stream, u"Fuzz");
  } catch (const qd::EqdBaseException&) {
    const qd::TqdDataDictionary fresh;
    if (!dictionary.IsEqual(&fresh)) std::abort();
    return 0;
  }
  qd::TqdMemoryStream again(-1);
  try {
    dictionary.WriteToStream(again, qd::qdEngineClientVersion);
  } catch (const qd::EqdBaseException&) {
    // A stream may hold what this writer refuses to express (a legacy
    // version-1 layout with a field type it cannot carry, say).
    return 0;
  }
  again.SetPosition(0);
  qd::TqdDataDictionary copy;
  copy.ReadFromStream(again, u"Fuzz");
  if (!copy.IsEqual(&dictionary)) std::abort();
  return 0;
}
