#include "storage/qdseBlockHeapEngineNonfragmenting.h"

#include <algorithm>
#include <cstring>

#include "platform/qdFormat.h"

namespace qd {

namespace {

using E = EqdNonfragmentingBlockHeapEngineException;

constexpr uint16_t kMarkFreed = 1;
constexpr uint16_t kMarkReusable = 2;
constexpr uint16_t kMarkMask = 3;

// The bytes a segment of aLength data bytes occupies.
constexpr uint32_t occupied(uint32_t aLength) { return (aLength + 2 + 3) & ~uint32_t(3); }

uint16_t get16(const uint8_t* aBlock, uint32_t aOffset) { return qdGetU16(aBlock + aOffset); }
void put16(uint8_t* aBlock, uint32_t aOffset, uint32_t aValue) { qdPutU16(aBlock + aOffset, uint16_t(aValue)); }

[[noreturn]] void raiseDamaged(qdStringView aFormat, std::initializer_list<TqdVarRec> aArgs) {
  qdRaiseCorrupt<E>(qdeFileCorrupt, Format(aFormat, aArgs));
}

struct TqdLiveSegment {
  uint32_t lsNumber;
  uint32_t lsOffset;
  uint32_t lsLength;
};

}  // namespace

const TqdBlockHeapEngineClass TqdNonfragmentingBlockHeapEngine::ClassInfo{
    {u"TqdNonfragmentingBlockHeapEngine", &TqdBaseBlockHeapEngine::ClassInfo, nullptr},
    &qdNewBlockHeapEngine<TqdNonfragmentingBlockHeapEngine>,
    nullptr};

TqdNonfragmentingBlockHeapEngine::TqdNonfragmentingBlockHeapEngine(TqdBaseBlockHeapDescriptor* aDescriptor,
                                                                   uint32_t aBlockSize, uint16_t aHeaderSize,
                                                                   int32_t aTableVersion)
    : TqdBaseBlockHeapEngine(aDescriptor, aBlockSize, aHeaderSize, aTableVersion),
      bheHeaderSize(uint16_t((aHeaderSize + 4 + 3) & ~3)) {
  if (aBlockSize > 65536 || aBlockSize < uint32_t(bheHeaderSize) + 16)
    qdAssertFailed("qdseBlockHeapEngineNonfragmenting", "block size out of range for a block heap");
  bbheMaxSegmentSize = uint16_t(aBlockSize - bheHeaderSize - 12);
  if (aTableVersion >= 47005) bbheSegmentRefMask = 0xFFFF;
}

// --- Checks ------------------------------------------------------------------------------

void TqdNonfragmentingBlockHeapEngine::CheckBlock(const uint8_t* aBlock) {
  const uint32_t B = bbheBlockSize;
  const uint32_t H = bheHeaderSize;
  const uint32_t count = get16(aBlock, B - 2);
  if (2 * count + 8 + H > B) raiseDamaged(u"Block heap directory of %d entries runs into the segment area", {count});
  const uint32_t D = B - 8 - 2 * count;
  const uint32_t F = get16(aBlock, D);
  if (F != 0) {
    if (F % 4 != 0 || F < H || F + 4 > D) raiseDamaged(u"Block heap free chunk at %d outside %d..%d", {F, H, D});
    const uint32_t S = get16(aBlock, F);
    if (S != D - F - 4) raiseDamaged(u"Block heap free chunk at %d of %d bytes, expected %d", {F, S, D - F - 4});
  }
  const uint32_t top = F != 0 ? F : D;
  const uint32_t recoverable = get16(aBlock, B - 6);
  if (recoverable > D - H) raiseDamaged(u"Block heap recoverable space %d above %d", {recoverable, D - H});
  const uint32_t head = get16(aBlock, B - 4);
  if (head > count) raiseDamaged(u"Block heap reusable chain starts at %d of %d entries", {head, count});
  uint32_t live = 0;
  for (uint32_t s = 1; s <= count; ++s) {
    const uint32_t e = get16(aBlock, B - 6 - 2 * s);
    switch (e & kMarkMask) {
      case 0: {
        if (e < H || e + 2 > top) raiseDamaged(u"Block heap segment %d at %d outside %d..%d", {s, e, H, top});
        const uint32_t n = get16(aBlock, e);
        if (e + 2 + n > top) raiseDamaged(u"Block heap segment %d at %d of %d bytes ends beyond %d", {s, e, n, top});
        ++live;
        break;
      }
      case kMarkFreed:
        if (e - 1 < H || e + 1 > D) raiseDamaged(u"Block heap freed segment %d at %d outside %d..%d", {s, e - 1, H, D});
        break;
      case kMarkReusable:
        if ((e >> 2) > count) raiseDamaged(u"Block heap reusable entry %d links to %d of %d", {s, e >> 2, count});
        break;
      default:
        raiseDamaged(u"Block heap directory entry %d holds %d", {s, e});
    }
  }
  const uint32_t liveCount = get16(aBlock, H - 4);
  if (liveCount != live) raiseDamaged(u"Block heap live count %d, %d live entries", {liveCount, live});
}

void TqdNonfragmentingBlockHeapEngine::VerifyBlock(const uint8_t* aBlock, bool aBefore) {
  CheckBlock(aBlock);
  const uint32_t B = bbheBlockSize;
  const uint32_t H = bheHeaderSize;
  const uint32_t count = get16(aBlock, B - 2);
  const uint32_t D = B - 8 - 2 * count;
  const uint32_t F = get16(aBlock, D);
  const uint32_t top = F != 0 ? F : D;
  std::vector<TqdLiveSegment> segments;
  for (uint32_t s = 1; s <= count; ++s) {
    const uint32_t e = get16(aBlock, B - 6 - 2 * s);
    if ((e & kMarkMask) == 0) segments.push_back({s, e, get16(aBlock, e)});
  }
  std::sort(segments.begin(), segments.end(),
            [](const TqdLiveSegment& a, const TqdLiveSegment& b) { return a.lsOffset < b.lsOffset; });
  uint32_t end = H;
  uint32_t used = 0;
  for (const TqdLiveSegment& segment : segments) {
    if (segment.lsOffset < end)
      raiseDamaged(u"Block heap (%s) segment %d at %d overlaps the one ending at %d",
                   {qdString(aBefore ? u"before" : u"after"), segment.lsNumber, segment.lsOffset, end});
    end = segment.lsOffset + segment.lsLength + 2;
    used += std::min(occupied(segment.lsLength), top - segment.lsOffset);
  }
  const uint32_t recoverable = get16(aBlock, B - 6);
  if (top - H - used < recoverable)
    raiseDamaged(u"Block heap (%s) gaps of %d bytes below the recoverable space %d",
                 {qdString(aBefore ? u"before" : u"after"), top - H - used, recoverable});
}

// --- Operations --------------------------------------------------------------------------

void TqdNonfragmentingBlockHeapEngine::InitBlock(PqdBlock aBlock) {
  const uint32_t B = bbheBlockSize;
  const uint32_t H = bheHeaderSize;
  put16(aBlock, B - 2, 0);
  put16(aBlock, B - 4, 0);
  put16(aBlock, B - 6, 0);
  put16(aBlock, B - 8, H);
  put16(aBlock, H, B - H - 12);
  put16(aBlock, H - 4, 0);
}

uint16_t TqdNonfragmentingBlockHeapEngine::GetFreespace(PqdBlock aBlock) {
  CheckBlock(aBlock);
  const uint32_t B = bbheBlockSize;
  const uint32_t D = B - 8 - 2 * uint32_t(get16(aBlock, B - 2));
  const uint32_t F = get16(aBlock, D);
  const uint32_t recoverable = get16(aBlock, B - 6);
  return uint16_t((F != 0 ? get16(aBlock, F) : 0) + recoverable - std::min<uint32_t>(8, recoverable));
}

bool TqdNonfragmentingBlockHeapEngine::CompactBlock(PqdBlock aBlock, TqdSegmentRef aResizeSegment,
                                                    uint16_t aNewSegmentSize) {
  const uint32_t B = bbheBlockSize;
  const uint32_t H = bheHeaderSize;
  uint32_t count = get16(aBlock, B - 2);
  auto entry = [&](uint32_t s) { return uint32_t(get16(aBlock, B - 6 - 2 * s)); };
  while (count > 0 && (entry(count) & kMarkMask) != 0) --count;
  if (count == 0) {
    InitBlock(aBlock);
    return true;
  }
  std::vector<TqdLiveSegment> segments;
  for (uint32_t s = 1; s <= count; ++s) {
    const uint32_t e = entry(s);
    if ((e & kMarkMask) == 0) segments.push_back({s, e, get16(aBlock, e)});
  }
  // Packing in address order only ever moves a segment down, so a
  // compaction without a resize always fits.
  std::sort(segments.begin(), segments.end(),
            [](const TqdLiveSegment& a, const TqdLiveSegment& b) { return a.lsOffset < b.lsOffset; });
  const uint32_t D = B - 8 - 2 * count;
  if (bheTempBlock.size() < B) bheTempBlock.resize(B);
  uint8_t* temp = bheTempBlock.data();
  std::memset(temp, 0, B);
  std::memcpy(temp, aBlock, H);
  uint32_t position = H;
  for (const TqdLiveSegment& segment : segments) {
    const uint32_t length = segment.lsNumber == aResizeSegment ? aNewSegmentSize : segment.lsLength;
    if (position + 2 + length > D) return false;
    put16(temp, position, length);
    std::memcpy(temp + position + 2, aBlock + segment.lsOffset + 2, std::min(length, segment.lsLength));
    put16(temp, B - 6 - 2 * segment.lsNumber, position);
    position += occupied(length);
  }
  uint32_t head = 0;
  for (uint32_t s = count; s >= 1; --s) {
    if ((entry(s) & kMarkMask) == 0) continue;
    put16(temp, B - 6 - 2 * s, head * 4 + kMarkReusable);
    head = s;
  }
  if (position + 7 > D) {
    put16(temp, D, 0);
  } else {
    put16(temp, position, D - position - 4);
    put16(temp, D, position);
  }
  put16(temp, B - 2, count);
  put16(temp, B - 4, head);
  put16(temp, B - 6, 0);
  std::memcpy(aBlock, temp, B);
  return true;
}

PqdHeapSegment TqdNonfragmentingBlockHeapEngine::AllocSegment(PqdBlock aBlock, uint16_t aSegmentSize,
                                                              TqdSegmentRef& aSegment) {
  aSegment = 0;
  CheckBlock(aBlock);
  const uint32_t B = bbheBlockSize;
  const uint32_t H = bheHeaderSize;
  const uint32_t n = aSegmentSize;
  auto freeWordPos = [&] { return B - 8 - 2 * uint32_t(get16(aBlock, B - 2)); };
  uint32_t F = get16(aBlock, freeWordPos());
  const uint32_t recoverable = get16(aBlock, B - 6);
  if (F == 0) {
    if (recoverable < occupied(n)) return nullptr;
    CompactBlock(aBlock, 0, 0);
    F = get16(aBlock, freeWordPos());
    if (F == 0) return nullptr;
  }
  if (get16(aBlock, F) < n) {
    if (uint32_t(get16(aBlock, F)) + recoverable < n) return nullptr;
    CompactBlock(aBlock, 0, 0);
    F = get16(aBlock, freeWordPos());
    if (F == 0 || get16(aBlock, F) < n) return nullptr;
  }
  const uint32_t D = freeWordPos();
  const uint32_t S = get16(aBlock, F);
  const uint32_t offset = F;
  put16(aBlock, offset, n);
  const bool rest = occupied(n) < S;
  const uint32_t restAt = offset + occupied(n);
  const uint32_t restSize = rest ? S - occupied(n) : 0;
  uint32_t s = get16(aBlock, B - 4);
  uint32_t chunkSize = 0;
  if (s != 0) {
    const uint32_t e = get16(aBlock, B - 6 - 2 * s);
    if ((e & kMarkMask) != kMarkReusable)
      raiseDamaged(u"Block heap reusable chain reaches entry %d holding %d", {s, e});
    put16(aBlock, B - 4, e >> 2);
    put16(aBlock, B - 6 - 2 * s, offset);
    if (rest) {
      put16(aBlock, restAt, restSize);
      chunkSize = restSize;
    }
    put16(aBlock, D, rest ? restAt : 0);
  } else {
    s = uint32_t(get16(aBlock, B - 2)) + 1;
    put16(aBlock, B - 2, s);  // the old free-area word at D is entry s: it holds the offset already
    if (rest && restSize >= 2 + 3) {
      put16(aBlock, restAt, restSize - 2);
      put16(aBlock, D - 2, restAt);
      chunkSize = restSize - 2;
    } else {
      put16(aBlock, D - 2, 0);
    }
  }
  const uint16_t live = uint16_t(get16(aBlock, H - 4) + 1);
  put16(aBlock, H - 4, live);
  const uint32_t recov = get16(aBlock, B - 6);
  DoChanged(aBlock, live, uint16_t(chunkSize), uint16_t(recov - std::min<uint32_t>(8, recov)));
  aSegment = s;
  return aBlock + offset + 2;
}

namespace {

// The offset of live segment aSegment, raising 15492 or 15493.
uint32_t liveOffset(const uint8_t* aBlock, uint32_t aBlockSize, TqdSegmentRef aSegment, const char16_t* aDeletedText) {
  const uint32_t count = get16(aBlock, aBlockSize - 2);
  if (aSegment == 0 || aSegment > count) throw E(qdeBadSegmentNum, u"invalid segment number (%d)", {aSegment});
  const uint32_t e = get16(aBlock, aBlockSize - 6 - 2 * aSegment);
  if ((e & kMarkMask) == kMarkReusable) throw E(qdeBadSegmentNum, u"invalid segment number (%d)", {aSegment});
  if ((e & kMarkMask) == kMarkFreed) throw E(qdeSegmentDeleted, aDeletedText, {aSegment});
  return e;
}

}  // namespace

void TqdNonfragmentingBlockHeapEngine::FreeSegment(PqdBlock aBlock, TqdSegmentRef aSegment) {
  CheckBlock(aBlock);
  const uint32_t B = bbheBlockSize;
  const uint32_t H = bheHeaderSize;
  const uint32_t offset = liveOffset(aBlock, B, aSegment, u"segment already deleted (%d)");
  const uint32_t D = B - 8 - 2 * uint32_t(get16(aBlock, B - 2));
  const uint32_t a = occupied(get16(aBlock, offset));
  const uint32_t recov = get16(aBlock, B - 6) + (offset + a > D ? a - 4 : a);
  put16(aBlock, B - 6, recov);
  put16(aBlock, B - 6 - 2 * aSegment, offset | kMarkFreed);
  const uint16_t live = uint16_t(get16(aBlock, H - 4) - 1);
  put16(aBlock, H - 4, live);
  const uint32_t F = get16(aBlock, D);
  DoChanged(aBlock, live, F != 0 ? get16(aBlock, F) : 0, uint16_t(recov - std::min<uint32_t>(8, recov)));
}

PqdHeapSegment TqdNonfragmentingBlockHeapEngine::GetSegment(PqdBlock aBlock, TqdSegmentRef aSegment,
                                                            uint16_t& aSegmentSize) {
  CheckBlock(aBlock);
  const uint32_t offset = liveOffset(aBlock, bbheBlockSize, aSegment, u"segment deleted (%d)");
  aSegmentSize = get16(aBlock, offset);
  return aBlock + offset + 2;
}

PqdHeapSegment TqdNonfragmentingBlockHeapEngine::GetNextSegment(PqdBlock aBlock, TqdSegmentRef& aSegment,
                                                                uint16_t& aSegmentSize) {
  CheckBlock(aBlock);
  const uint32_t B = bbheBlockSize;
  const uint32_t count = get16(aBlock, B - 2);
  while (aSegment <= count) {
    ++aSegment;
    if (aSegment > count) break;
    const uint32_t e = get16(aBlock, B - 6 - 2 * aSegment);
    if ((e & kMarkMask) == 0) {
      aSegmentSize = get16(aBlock, e);
      return aBlock + e + 2;
    }
  }
  return nullptr;
}

PqdHeapSegment TqdNonfragmentingBlockHeapEngine::GetPrevSegment(PqdBlock aBlock, TqdSegmentRef& aSegment,
                                                                uint16_t& aSegmentSize) {
  CheckBlock(aBlock);
  const uint32_t B = bbheBlockSize;
  const uint32_t count = get16(aBlock, B - 2);
  if (aSegment > count) aSegment = count + 1;
  while (aSegment > 0) {
    --aSegment;
    if (aSegment == 0) break;
    const uint32_t e = get16(aBlock, B - 6 - 2 * aSegment);
    if ((e & kMarkMask) == 0) {
      aSegmentSize = get16(aBlock, e);
      return aBlock + e + 2;
    }
  }
  return nullptr;
}

PqdHeapSegment TqdNonfragmentingBlockHeapEngine::ReAllocSegment(PqdBlock aBlock, uint16_t aNewSegmentSize,
                                                                TqdSegmentRef aSegment) {
  CheckBlock(aBlock);
  const uint32_t B = bbheBlockSize;
  const uint32_t H = bheHeaderSize;
  const uint32_t count = get16(aBlock, B - 2);
  uint32_t offset = liveOffset(aBlock, B, aSegment, u"segment deleted (%d)");
  const uint32_t D = B - 8 - 2 * count;
  const uint32_t F = get16(aBlock, D);
  const uint32_t S = F != 0 ? get16(aBlock, F) : 0;
  const uint32_t oldLength = get16(aBlock, offset);
  const uint32_t n = aNewSegmentSize;
  const uint32_t g = std::min(occupied(oldLength), D - offset);
  const uint32_t l = occupied(n);
  uint32_t recov = get16(aBlock, B - 6);
  auto report = [&] {
    const uint32_t word = get16(aBlock, B - 8 - 2 * uint32_t(get16(aBlock, B - 2)));
    const uint32_t r = get16(aBlock, B - 6);
    DoChanged(aBlock, get16(aBlock, H - 4), word != 0 ? get16(aBlock, word) : 0,
              uint16_t(r - std::min<uint32_t>(8, r)));
  };
  if (n < oldLength) {
    put16(aBlock, offset, n);
    const uint32_t kept = g & ~uint32_t(3);
    if (l < kept) put16(aBlock, B - 6, recov + kept - l);
    report();
    return aBlock + offset + 2;
  }
  if (n == oldLength) return aBlock + offset + 2;
  // Growth never reuses the slack above a segment without a free chunk:
  // that slack may be counted as recoverable already, and a compaction
  // settles it exactly.
  if (l == g) {
    put16(aBlock, offset, n);
  } else {
    if (F != 0 ? recov + S + g + 2 < l : recov + g < l) return nullptr;
    if (F != 0 && offset + g == F && offset + l <= D) {
      put16(aBlock, offset, n);
      const uint32_t chunk = offset + l;
      if (chunk + 7 <= D) {
        put16(aBlock, chunk, D - chunk - 4);
        put16(aBlock, D, chunk);
      } else {
        put16(aBlock, D, 0);
      }
    } else if (F == 0 || S < l) {
      if (!CompactBlock(aBlock, aSegment, aNewSegmentSize)) return nullptr;
      offset = get16(aBlock, B - 6 - 2 * aSegment);
    } else {
      std::memmove(aBlock + F + 2, aBlock + offset + 2, oldLength);
      put16(aBlock, F, n);
      put16(aBlock, B - 6 - 2 * aSegment, F);
      const uint32_t chunk = F + l;
      if (chunk + 7 <= D) {
        put16(aBlock, chunk, D - chunk - 4);
        put16(aBlock, D, chunk);
      } else {
        put16(aBlock, D, 0);
      }
      recov += g;
      put16(aBlock, B - 6, recov);
      offset = F;
    }
  }
  report();
  return aBlock + offset + 2;
}

void TqdNonfragmentingBlockHeapEngine::IncSegmentRef(TqdSegmentRef& aSegmentRef) {
  if (bseTableVersion >= 47005) aSegmentRef += 0x10000;
}

void qdseBlockHeapEngineNonfragmentingInitialize() {
  TqdBaseSubEngine::Register(TqdNonfragmentingBlockHeapEngine::ClassInfo, u"qd1xDefault");
}

void qdseBlockHeapEngineNonfragmentingFinalize() {
  TqdBaseSubEngine::Unregister(TqdNonfragmentingBlockHeapEngine::ClassInfo);
}

}  // namespace qd
