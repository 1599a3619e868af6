// The routine the filter-descriptor fuzz target (tests/fuzz) and the replay
// of its kept inputs (tests/fuzz/cases/filter_descriptor) share: a key's
// filter block in a table's dictionary and the filters clients send are
// untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dictionary/qdsdDataDictionary.h"

namespace qd::test {

// The dictionary whose record the descriptors are evaluated against: one
// field of each of these types, in this order (field numbers from 1):
// Boolean, Char(4), WideChar, Int32, Int64, Double, Extended, Currency,
// Date, Time, DateTime, ByteArray(6), ShortString(8), NullString(8),
// WideString(8), Guid, FmtBCD(12), RefNr.
TqdDataDictionary& FilterFuzzDictionary();

// Reads the input as a filter descriptor stream. Reading may fail with an
// error code; a descriptor that reads is evaluated against a record of the
// dictionary above, once with values and once all null, and written again to
// read back. A broken promise raises std::logic_error; anything else that
// escapes is a fault.
void FuzzFilterDescriptorInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
