// The engine's one source of unpredictable bytes: salts, data keys,
// initialisation vectors, GUIDs and cookies all draw from it. It reads the
// kernel's generator (getrandom), never a clock.
//
// A test may give the source a fixed seed so that its random values repeat;
// the seed is process-wide (an atomic switch) and cleared with 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd {

// Fills aLength bytes at aData; raises the operating-system error when the
// kernel refuses.
void qdGetRandomBytes(void* aData, size_t aLength);

// A non-zero aSeed makes every later qdGetRandomBytes a deterministic
// stream derived from it (a splitmix64 sequence shared by all threads);
// 0 returns to the kernel's generator.
void qdSetRandomTestSeed(uint64_t aSeed);

}  // namespace qd
