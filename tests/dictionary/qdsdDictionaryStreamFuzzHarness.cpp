#include "tests/dictionary/qdsdDictionaryStreamFuzzHarness.h"

#include <stdexcept>
#include <vector>

#include "dictionary/qdsdDataDictionary.h"
#include "engine/qdEngine.h"
#include "foundation/qdllStreams.h"

namespace qd::test {

void FuzzDictionaryStreamInput(const uint8_t* aData, size_t aSize) {
  // An exact-size copy, so that the sanitizer sees any read past its end.
  std::vector<uint8_t> bytes(aData, aData + aSize);
  TqdStaticMemoryStream stream(bytes.data(), static_cast<int32_t>(bytes.size()));
  TqdDataDictionary dictionary;
  try {
    dictionary.ReadFromStream(stream, u"Fuzz");
  } catch (const EqdBaseException&) {
    const TqdDataDictionary fresh;
    if (!dictionary.IsEqual(&fresh)) throw std::logic_error("a refused stream left a changed dictionary");
    return;
  }
  TqdMemoryStream again(-1);
  try {
    dictionary.WriteToStream(again, qdEngineClientVersion);
  } catch (const EqdBaseException&) {
    // A stream may hold what this writer refuses to express (a legacy
    // version-1 layout with a field type it cannot carry, say).
    return;
  }
  again.SetPosition(0);
  TqdDataDictionary copy;
  copy.ReadFromStream(again, u"Fuzz");
  if (!copy.IsEqual(&dictionary)) throw std::logic_error("a dictionary written again read back different");
}

}  // namespace qd::test
