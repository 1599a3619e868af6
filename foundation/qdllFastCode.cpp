#include "foundation/qdllFastCode.h"

#include <cstring>

#include "foundation/qdllInterlocked.h"

namespace qd {

namespace {

// The C library's routines already pick instruction sets and bypass the
// cache for large blocks, so every variant ends in them; the variant and
// threshold chosen stay recorded for whoever tunes these routines.
void moveBytes(const void* aSource, void* aDest, int32_t aCount) {
  if (aCount <= 0 || aSource == aDest) return;
  std::memmove(aDest, aSource, static_cast<size_t>(aCount));
}

void fillBytes(void* aDest, int32_t aCount, uint8_t aValue) {
  if (aCount <= 0) return;
  std::memset(aDest, aValue, static_cast<size_t>(aCount));
}

int32_t startCount = 0;
TqdMoveVariant moveVariant = mvX87;
uint32_t moveThreshold = 0;
TqdFillChoice fillChoice{fvX87, 0};

}  // namespace

// Usable before the unit starts; the start only records the choice.
TqdMove qdMove = moveBytes;
TqdFillChar qdFillChar = fillBytes;

TqdMoveVariant qdChooseMoveVariant(const TqdCpuInfo& aInfo) {
  if (aInfo.Has(cfSSE3)) return mvSSE3;
  if (aInfo.Has(cfSSE2)) return mvSSE2;
  if (aInfo.Has(cfSSE)) return mvSSE;
  if (aInfo.Has(cfMMX)) return mvMMX;
  return mvX87;
}

uint32_t qdMoveNonTemporalThreshold(const TqdCpuInfo& aInfo) { return uint32_t{aInfo.ciL2Cache} * 512; }

TqdFillChoice qdChooseFillVariant(uint8_t aProcessorClass) {
  switch (aProcessorClass) {
    case 1:
    case 7:
      return {fvMMX, 0};
    case 2:
    case 3:
      return {fvMMX, 256000};
    case 4:
    case 5:
    case 6:
      return {fvSSE2, 524288};
    case 8:
      return {fvSSE, 524288};
    case 9:
    case 10:
      return {fvSSE2, 1048576};
    default:
      return {fvX87, 0};
  }
}

TqdMoveVariant qdMoveVariant() { return moveVariant; }

uint32_t qdMoveThreshold() { return moveThreshold; }

TqdFillChoice qdFillChoice() { return fillChoice; }

void qdllFastCodeInitialize() {
  if (qdInterlockedIncrement(startCount) != 1) return;
  qdllCpuInfoInitialize();
  fillChoice = qdChooseFillVariant(qdProcessorClass());
  qdFillChar = fillBytes;
  moveVariant = qdChooseMoveVariant(qdCpuInfo());
  moveThreshold = qdMoveNonTemporalThreshold(qdCpuInfo());
  qdMove = moveBytes;
}

void qdllFastCodeFinalize() {
  if (qdInterlockedDecrement(startCount) == 0) qdllCpuInfoFinalize();
}

}  // namespace qd
