// A table file holding streams and the routine that drives it through
// everything that parses stream blocks and the stream map. Shared by the
// libFuzzer target over stream storage (tests/fuzz) and the replay of the
// inputs it found (tests/fuzz/cases/stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qd::test {

// The file name the fixture is installed under.
inline constexpr const char* kStreamFixtureName = "/db/streams.qd1";

// A committed "QD!2" file with a two-block "DICT" stream, a map of three
// named streams ("alpha", "beta", "gamma", the last one two blocks long)
// and a numbered stream of three blocks.
const std::vector<uint8_t>& StreamFixture();
// The number of the fixture's numbered stream.
uint32_t StreamFixtureNumbered();

// The fuzz input patches bytes of the fixture (four input bytes per patch:
// a 24-bit offset into the blocks after block 0 - or, with the top bit of
// the offset set, into the stream engine's header section - and the value).
// Then every named and numbered stream operation runs on the damaged file
// in a fresh in-memory file system. Engine exceptions are the expected
// outcome of damage and are swallowed; anything else escapes.
void FuzzStreamInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
