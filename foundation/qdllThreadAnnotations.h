// Thread-safety annotations for engine locks and the fields they guard.
//
// Under clang the macros expand to the thread-safety analysis attributes, so
// a build with -Wthread-safety checks that every QD_GUARDED_BY field is only
// touched with its lock held; under other compilers they expand to nothing.
// The scoped guard TqdLockGuard works with any lock class whose Lock/Unlock
// carry QD_ACQUIRE/QD_RELEASE (the padlock does).
//
// The analysis does not know that a padlock is re-entrant: a function that
// locks a padlock it may already hold needs QD_NO_THREAD_SAFETY_ANALYSIS.
//
// Classes: TqdLockGuard.
#pragma once

#if defined(__clang__)
#define QD_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QD_THREAD_ANNOTATION(x)
#endif

#define QD_CAPABILITY(x) QD_THREAD_ANNOTATION(capability(x))
#define QD_SCOPED_CAPABILITY QD_THREAD_ANNOTATION(scoped_lockable)
#define QD_GUARDED_BY(x) QD_THREAD_ANNOTATION(guarded_by(x))
#define QD_PT_GUARDED_BY(x) QD_THREAD_ANNOTATION(pt_guarded_by(x))
#define QD_REQUIRES(...) QD_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QD_REQUIRES_SHARED(...) QD_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define QD_ACQUIRE(...) QD_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QD_ACQUIRE_SHARED(...) QD_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define QD_RELEASE(...) QD_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QD_RELEASE_SHARED(...) QD_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define QD_TRY_ACQUIRE(...) QD_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QD_EXCLUDES(...) QD_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QD_RETURN_CAPABILITY(x) QD_THREAD_ANNOTATION(lock_returned(x))
#define QD_NO_THREAD_SAFETY_ANALYSIS QD_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qd {

// Holds a lock for the lifetime of the guard.
template <typename TLock>
class QD_SCOPED_CAPABILITY TqdLockGuard {
 public:
  explicit TqdLockGuard(TLock& aLock) QD_ACQUIRE(aLock) : fLock(aLock) { fLock.Lock(); }
  ~TqdLockGuard() QD_RELEASE() { fLock.Unlock(); }

  TqdLockGuard(const TqdLockGuard&) = delete;
  TqdLockGuard& operator=(const TqdLockGuard&) = delete;

 private:
  TLock& fLock;
};

}  // namespace qd
