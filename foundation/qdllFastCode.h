// The engine's fill and move routines, reached through process-wide routine
// pointers that are chosen once at unit start from the detected processor.
//
// The choice of variant and its non-temporal (cache-bypassing) threshold is
// kept and can be read back; every variant gives the same bytes. The
// pointers are written only by the first start, before other threads exist,
// and read without a lock afterwards.
//
// Classes: TqdMove, TqdFillChar, TqdMoveVariant, TqdFillVariant, TqdFillChoice.
#pragma once

#include <cstdint>

#include "foundation/qdllCpuInfo.h"

namespace qd {

// Copies aCount bytes; overlapping ranges in either direction are correct;
// aCount <= 0 or aSource == aDest does nothing. No alignment is required.
using TqdMove = void (*)(const void* aSource, void* aDest, int32_t aCount);
// Sets aCount bytes to aValue; aCount <= 0 does nothing.
using TqdFillChar = void (*)(void* aDest, int32_t aCount, uint8_t aValue);

extern TqdMove qdMove;
extern TqdFillChar qdFillChar;

enum TqdMoveVariant : uint8_t { mvX87, mvMMX, mvSSE, mvSSE2, mvSSE3 };
enum TqdFillVariant : uint8_t { fvX87, fvMMX, fvSSE, fvSSE2 };

struct TqdFillChoice {
  TqdFillVariant fcVariant;
  uint32_t fcNonTemporalThreshold;  // bytes above which stores bypass the cache; 0 = never
};

TqdMoveVariant qdChooseMoveVariant(const TqdCpuInfo& aInfo);
// Half the L2 cache, in bytes.
uint32_t qdMoveNonTemporalThreshold(const TqdCpuInfo& aInfo);
TqdFillChoice qdChooseFillVariant(uint8_t aProcessorClass);

// The choices made at unit start.
TqdMoveVariant qdMoveVariant();
uint32_t qdMoveThreshold();
TqdFillChoice qdFillChoice();

// Only the first start chooses (starting the processor detection first);
// later starts and the stops count.
void qdllFastCodeInitialize();
void qdllFastCodeFinalize();

}  // namespace qd
