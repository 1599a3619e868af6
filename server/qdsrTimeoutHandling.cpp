#include "server/qdsrTimeoutHandling.h"

#include <time.h>

#include <chrono>

#include "client/qdsdServerEngine.h"
#include "foundation/qdllException.h"
#include "foundation/qdllSync.h"
#include "storage/qdsrSubEngineBase.h"

namespace qd {

namespace {

thread_local TqdThreadTimeoutRec threadRec;
thread_local int32_t threadPriority = 0;

std::atomic<TqdTickSource> tickSource{nullptr};

uint64_t steadyMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// The deadline's tick: the coarse monotonic clock (the same clock as
// steady_clock, read from the last timer interrupt) costs a few ns instead
// of a full clock read; its few ms of granularity are below the 10 ms
// margin of qdCheckTimeout.
uint64_t coarseMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void applyReduction(TqdThreadTimeoutRec& aRec) {
  aRec.ttrReductionPending = false;
  aRec.ttrSavedPriority = qdGetThreadPriority();
  qdSetThreadPriority(aRec.ttrReducedPriority);
}

// The contract's session lock measures its waits on the steady clock; the
// deadline is handed over as a steady-clock tick, 0 for none.
uint64_t contractDeadline() {
  const uint64_t deadline = threadRec.ttrDeadline;
  if (deadline == 0 || deadline == kqdNoDeadline) return 0;
  const uint64_t now = qdTickCount64();
  const uint64_t steadyNow = steadyMs();
  return deadline <= now ? steadyNow : steadyNow + (deadline - now);
}

void checkTimeoutHook() { qdsrTimeoutHandling::qdCheckTimeout(); }

}  // namespace

uint64_t qdTickCount64() {
  const TqdTickSource source = tickSource.load(std::memory_order_relaxed);
  return source == nullptr ? coarseMs() : source();
}

TqdTickSource qdSetTickSource(TqdTickSource aSource) { return tickSource.exchange(aSource); }

int32_t qdGetThreadPriority() { return threadPriority; }

void qdSetThreadPriority(int32_t aPriority) { threadPriority = aPriority; }

TqdThreadTimeoutRec& qdThreadTimeoutRec() { return threadRec; }

void qdSetThreadTimeout(uint32_t aTimeout, bool aForce) {
  TqdThreadTimeoutRec& rec = threadRec;
  if (rec.ttrNesting >= 1 && !aForce) return;
  rec.ttrDeadline = (aTimeout == 0 || aTimeout == 0xFFFFFFFFu) ? kqdNoDeadline : qdTickCount64() + aTimeout;
}

void qdEnterTimeoutNesting() { ++threadRec.ttrNesting; }

void qdLeaveTimeoutNesting() {
  TqdThreadTimeoutRec& rec = threadRec;
  if (rec.ttrNesting <= 0) {
    rec.ttrNesting = 0;
    throw EqdServerException(qdeTimeout, u"Timeout nesting left more often than entered");
  }
  --rec.ttrNesting;
}

uint64_t qdGetThreadDeadline() { return threadRec.ttrDeadline; }

std::atomic<bool>* qdThreadCancelFlag() { return &threadRec.ttrCancelled; }

void qdsrTimeoutHandling::qdCheckTimeout() {
  TqdThreadTimeoutRec& rec = threadRec;
  const uint64_t now = qdTickCount64();
  if (rec.ttrLastProgress + 1000 < now) {
    (void)qdCallThreadHook();  // the hook's answer carries nothing for the deadline
    rec.ttrLastProgress = qdTickCount64();
  } else if (rec.ttrLastProgress > now) {
    rec.ttrLastProgress = now;
  }
  if (rec.ttrCancelled.load(std::memory_order_relaxed)) throw EqdServerException(qdeTimeout, u"Processing cancelled");
  // A record never armed (0) has no deadline, like kqdNoDeadline.
  const uint64_t deadline = rec.ttrDeadline;
  if (deadline != 0 && deadline != kqdNoDeadline && (deadline < now || deadline - now < 10)) {
    throw EqdServerException(qdeTimeout);
  }
  if (rec.ttrReductionPending && rec.ttrReductionDue < now) applyReduction(rec);
}

int32_t qdRemainingTimeout() {
  TqdThreadTimeoutRec& rec = threadRec;
  if (rec.ttrCancelled.load(std::memory_order_relaxed)) return 1;
  const uint64_t deadline = rec.ttrDeadline;
  if (deadline == kqdNoDeadline || deadline == 0) return 0;
  const uint64_t now = qdTickCount64();
  const uint64_t remaining = deadline >= now ? deadline - now : 1;
  if (remaining > 1 && rec.ttrReductionPending && rec.ttrReductionDue < now) applyReduction(rec);
  if (remaining <= 1) return 0;
  if (remaining > 0x7FFFFFFFu) return 0x7FFFFFFF;
  return static_cast<int32_t>(remaining);
}

void qdBeginPriorityReduction(uint32_t aDelay, int32_t aPriority) {
  TqdThreadTimeoutRec& rec = threadRec;
  if (++rec.ttrPriorityNesting != 1) return;
  rec.ttrSavedPriority = kqdNoSavedPriority;
  if (aDelay != 0 && aDelay != 0xFFFFFFFFu) {
    rec.ttrReductionPending = true;
    rec.ttrReductionDue = qdTickCount64() + aDelay;
    rec.ttrReducedPriority = aPriority;
  } else {
    rec.ttrReductionPending = false;
    rec.ttrReductionDue = 0;
    rec.ttrReducedPriority = 0;
  }
}

void qdEndPriorityReduction() {
  TqdThreadTimeoutRec& rec = threadRec;
  if (--rec.ttrPriorityNesting > 0) return;
  if (!rec.ttrReductionPending && rec.ttrSavedPriority != kqdNoSavedPriority) {
    qdSetThreadPriority(rec.ttrSavedPriority);
  }
  rec.ttrPriorityNesting = 0;
  rec.ttrReductionPending = false;
  rec.ttrReductionDue = 0;
  rec.ttrSavedPriority = kqdNoSavedPriority;
  rec.ttrReducedPriority = 0;
}

void qdsrTimeoutHandlingInitialize() {
  qdEnterTimeoutNestingHook = qdEnterTimeoutNesting;
  qdLeaveTimeoutNestingHook = qdLeaveTimeoutNesting;
  qdThreadCancelFlagHook = qdThreadCancelFlag;
  qdSetThreadTimeoutHook = qdSetThreadTimeout;
  qdThreadDeadlineHook = contractDeadline;
  qdCheckTimeoutHook = checkTimeoutHook;
}

void qdsrTimeoutHandlingFinalize() {
  qdResetOperationHooks();
  qdCheckTimeoutHook = nullptr;
}

}  // namespace qd
