// Little-endian codec helpers for every stored layout.
//
// Stored integers are little-endian. Layouts are read and written through
// these memcpy-based helpers, never by casting a struct onto a buffer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace qd {

static_assert(std::endian::native == std::endian::little, "the engine's stored layouts assume a little-endian host");

template <typename T>
inline T qdGetLE(const void* aSource) {
  T value;
  std::memcpy(&value, aSource, sizeof(T));
  return value;
}

template <typename T>
inline void qdPutLE(void* aDest, T aValue) {
  std::memcpy(aDest, &aValue, sizeof(T));
}

inline uint16_t qdGetU16(const void* p) { return qdGetLE<uint16_t>(p); }
inline uint32_t qdGetU32(const void* p) { return qdGetLE<uint32_t>(p); }
inline uint64_t qdGetU64(const void* p) { return qdGetLE<uint64_t>(p); }
inline int16_t qdGetI16(const void* p) { return qdGetLE<int16_t>(p); }
inline int32_t qdGetI32(const void* p) { return qdGetLE<int32_t>(p); }
inline int64_t qdGetI64(const void* p) { return qdGetLE<int64_t>(p); }
inline void qdPutU16(void* p, uint16_t v) { qdPutLE(p, v); }
inline void qdPutU32(void* p, uint32_t v) { qdPutLE(p, v); }
inline void qdPutU64(void* p, uint64_t v) { qdPutLE(p, v); }
inline void qdPutI16(void* p, int16_t v) { qdPutLE(p, v); }
inline void qdPutI32(void* p, int32_t v) { qdPutLE(p, v); }
inline void qdPutI64(void* p, int64_t v) { qdPutLE(p, v); }

}  // namespace qd
