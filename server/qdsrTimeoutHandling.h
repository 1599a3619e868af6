// Per-thread deadline and cancellation of engine operations.
//
// Every operation of the engine runs on the caller's thread with a deadline.
// Each thread keeps one TqdThreadTimeoutRec in thread-local storage: the
// deadline of the operation in progress, the cancel flag another thread may
// set, a nesting count (inner entry points keep the outer deadline), the time
// of the last progress report, and the bookkeeping of a delayed priority
// reduction for long statements. Entry points arm the deadline from their
// object's timeout (qdSetThreadTimeout); long loops poll qdCheckTimeout,
// which raises 15461; waits ask qdRemainingTimeout how long they may last.
//
// Deadline values (ticks of qdTickCount64, milliseconds):
//   0                    never set on this thread: no deadline
//   kqdNoDeadline        armed with a timeout of 0 or $FFFFFFFF: no deadline
//   anything else        the tick at which the operation times out
//
// Start-up (qdsrTimeoutHandlingInitialize) installs the routines into the
// engine contract's hooks (qdSetThreadTimeoutHook, the nesting hooks, the
// cancel-flag hook and the deadline hook, client/qdsdServerEngine.h) and
// storage's qdCheckTimeoutHook, so that the contract's session lock and the
// storage loops use this one deadline; shut-down puts the defaults back.
//
// Concurrency: every routine works on the calling thread's own record and
// takes no lock. The one field another thread writes is ttrCancelled, an
// atomic handed out by qdThreadCancelFlag.
//
// Priorities are not applied on Linux: qdSetThreadPriority only records the
// value for the calling thread, so the reduction bookkeeping stays exact.
//
// The tick source is the coarse monotonic clock in milliseconds; qdSetTickSource replaces
// it process-wide (a test's clock), and every age and deadline of the server
// reads it.
#pragma once

#include <atomic>
#include <cstdint>

namespace qd {

inline constexpr uint64_t kqdNoDeadline = 0x7FFFFFFFFFFFFFFFull;
inline constexpr int32_t kqdNoSavedPriority = static_cast<int32_t>(0x80000000u);
// The lowest thread priority of the platform, used by statement execution.
inline constexpr int32_t kqdThreadPriorityLowest = -2;

struct TqdThreadTimeoutRec {
  uint64_t ttrDeadline = 0;
  int32_t ttrNesting = 0;
  uint64_t ttrLastProgress = 0;
  std::atomic<bool> ttrCancelled{false};
  int32_t ttrPriorityNesting = 0;
  bool ttrReductionPending = false;
  uint64_t ttrReductionDue = 0;
  int32_t ttrSavedPriority = 0;
  int32_t ttrReducedPriority = 0;
};

// --- Ticks ---------------------------------------------------------------------

using TqdTickSource = uint64_t (*)();
// Milliseconds of the monotonic clock (or of the installed source).
uint64_t qdTickCount64();
// Installs aSource (nullptr: the steady clock) and returns the previous one.
TqdTickSource qdSetTickSource(TqdTickSource aSource);

// --- Thread priority -------------------------------------------------------------

int32_t qdGetThreadPriority();
void qdSetThreadPriority(int32_t aPriority);

// --- The deadline ----------------------------------------------------------------

// The calling thread's record (diagnostics and the contract's hooks).
TqdThreadTimeoutRec& qdThreadTimeoutRec();

// Arms the deadline unless an inner scope is entered (ttrNesting >= 1) and
// aForce is false: 0 and $FFFFFFFF mean no deadline.
void qdSetThreadTimeout(uint32_t aTimeout, bool aForce);
void qdEnterTimeoutNesting();
// Raises 15461 (an internal assertion) when the count would go negative.
void qdLeaveTimeoutNesting();
// The deadline tick (0 or kqdNoDeadline: none).
uint64_t qdGetThreadDeadline();
std::atomic<bool>* qdThreadCancelFlag();

namespace qdsrTimeoutHandling {
// Raises EqdServerException 15461: "Processing cancelled" when the thread
// was cancelled, else the standard text when less than 10 ms are left.
// Calls the thread's progress hook at most once a second. (storage's
// qd::qdCheckTimeout reaches it through qdCheckTimeoutHook.)
void qdCheckTimeout();
}  // namespace qdsrTimeoutHandling

// Milliseconds a wait may last: 1 when cancelled; 0 without deadline or
// when at most 1 ms is left; at most $7FFFFFFF. Never raises.
int32_t qdRemainingTimeout();

// A long statement drops the thread to aPriority once it has run aDelay ms
// (0 and $FFFFFFFF: never); only the outermost begin arms it.
void qdBeginPriorityReduction(uint32_t aDelay, int32_t aPriority);
void qdEndPriorityReduction();

void qdsrTimeoutHandlingInitialize();
void qdsrTimeoutHandlingFinalize();

}  // namespace qd
