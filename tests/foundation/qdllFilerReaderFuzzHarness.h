// The routine the filer-reader fuzz target (tests/fuzz) and the replay of its
// kept inputs (tests/fuzz/cases/filer_reader) share: stored dictionaries and
// settings are untrusted bytes read through TqdReader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd::test {

// The first input byte chooses the order of reads, the rest is the stream.
// A damaged stream may raise EReadError (swallowed) and nothing else.
void FuzzFilerReaderInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
