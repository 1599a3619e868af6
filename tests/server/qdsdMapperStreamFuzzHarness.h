// The routine the table-mapper-stream fuzz target (tests/fuzz) and the replay
// of its kept inputs (tests/fuzz/cases/table_mapper_stream) share: a mapper
// descriptor stream handed to a restructure is untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd::test {

// Reads the input as a table mapper stream. A damaged stream may raise an
// engine exception, the filer's read error or the mapping list's duplicate
// error (all swallowed); a stream that reads is written again, read back and
// written once more, and both writes must agree. A broken promise raises
// std::logic_error; anything else that escapes is a fault.
void FuzzTableMapperStreamInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
