// The platform's GUID record, as the engine stores it: 16 bytes with the
// first three fields little-endian and the last eight bytes as they are.
//
// Stored layout:
//   offset 0, size 4: D1 (little-endian)
//   offset 4, size 2: D2 (little-endian)
//   offset 6, size 2: D3 (little-endian)
//   offset 8, size 8: D4, bytes as they are
//
// Classes: TGUID.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qd {

struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  std::array<uint8_t, 8> D4{};

  friend bool operator==(const TGUID&, const TGUID&) = default;
};

static_assert(sizeof(TGUID) == 16 && offsetof(TGUID, D2) == 4 && offsetof(TGUID, D3) == 6 && offsetof(TGUID, D4) == 8,
              "TGUID mirrors the stored 16-byte layout");

}  // namespace qd
