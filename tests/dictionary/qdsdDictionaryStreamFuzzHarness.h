// The routine the dictionary-stream fuzz target (tests/fuzz) and the replay
// of its kept inputs (tests/fuzz/cases/dictionary_stream) share: a table
// file's "DICT" stream and the dictionaries a server sends are untrusted
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd::test {

// Reads the input as a dictionary stream. A damaged stream may raise an
// engine exception (swallowed) and must then leave a default dictionary; a
// stream that reads is written again and must read back equal. A broken
// promise raises std::logic_error; anything else that escapes is a fault.
void FuzzDictionaryStreamInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
