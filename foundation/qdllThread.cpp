#include "foundation/qdllThread.h"

#include <cxxabi.h>

#include <cstdlib>
#include <string>
#include <typeinfo>

namespace qd {

namespace {

struct PriorityName {
  TqdThreadPriority value;
  const char16_t* ident;
};

constexpr PriorityName kPriorityNames[] = {
    {-15, u"IDLE"}, {-2, u"LOWEST"}, {-1, u"BELOW_NORMAL"}, {0, u"NORMAL"}, {1, u"ABOVE_NORMAL"}, {2, u"HIGHEST"},
};

char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool sameIdent(const qdString& a, const char16_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
  }
  return i == a.size() && b[i] == 0;
}

// The unqualified name of the object's dynamic class.
qdString className(const std::type_info& aType) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(aType.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : aType.name();
  std::free(demangled);
  const size_t scope = name.rfind("::");
  if (scope != std::string::npos) name.erase(0, scope + 2);
  return Utf8ToString(name);
}

}  // namespace

bool qdThreadPriorityToIdent(TqdThreadPriority aValue, qdString& aIdent) {
  for (const auto& entry : kPriorityNames) {
    if (entry.value == aValue) {
      aIdent = entry.ident;
      return true;
    }
  }
  return false;
}

bool qdIdentToThreadPriority(const qdString& aIdent, TqdThreadPriority& aValue) {
  for (const auto& entry : kPriorityNames) {
    if (sameIdent(aIdent, entry.ident)) {
      aValue = entry.value;
      return true;
    }
  }
  return false;
}

// --- TqdThread ---------------------------------------------------------------

TqdThread::TqdThread(bool aCreateSuspended, TThreadPriority aThreadPriority) : fCreateSuspended(aCreateSuspended) {
  (void)aThreadPriority;  // ignored on Linux, see the header
}

TqdThread::~TqdThread() {
  // Normally BeforeDestruction has joined already; this only stops a thread
  // whose owner bypassed TqdThreadDeleter.
  Terminate();
  std::lock_guard guard(fJoinLock);
  if (fThread.joinable()) fThread.join();
}

void TqdThread::AfterConstruction() {
  if (qdtName.empty()) qdtName = className(typeid(*this));
  if (!fCreateSuspended) Start();
}

void TqdThread::BeforeDestruction() {
  Terminate();
  WaitFor();
}

void TqdThread::Start() {
  if (fStarted.exchange(true)) return;
  fThread = std::jthread([this] { ThreadProc(); });
}

void TqdThread::Terminate() {
  fTerminated.store(true);
  TerminatedSet();
}

void TqdThread::WaitFor() {
  if (!fStarted.load()) return;
  if (qdGetCurrentThreadID() == fThreadID.load()) return;  // a thread cannot wait for itself
  (void)fFinishedEvent.WaitFor(kInfinite);
  std::lock_guard guard(fJoinLock);
  if (fThread.joinable()) fThread.join();
}

void TqdThread::WaitForEx(int32_t aTimeout) {
  (void)fFinishedEvent.WaitFor(aTimeout < 0 ? kInfinite : static_cast<uint32_t>(aTimeout));
}

void TqdThread::DoTerminate() {
  if (OnTerminate) OnTerminate(this);
}

void TqdThread::Execute() {
  try {
    DoExecute();
  } catch (const std::exception& exception) {
    DoHandleException(exception);
  }
  // The thread ends its work with no message pending for a later exception.
  (void)EqdBaseException::qdSetMessage(0, qdString());
}

void TqdThread::ThreadProc() {
  fThreadID.store(qdGetCurrentThreadID());
  try {
    if (!Terminated()) Execute();
  } catch (...) {
    fFatalException = std::current_exception();
  }
  fFinished.store(true);
  try {
    DoTerminate();
  } catch (...) {
    if (!fFatalException) fFatalException = std::current_exception();
  }
  fFinishedEvent.SetEvent();
}

// --- TqdInternalInitThread -----------------------------------------------------

TqdInternalInitThread::TqdInternalInitThread(TThreadPriority aThreadPriority) : TqdThread(false, aThreadPriority) {}

void TqdInternalInitThread::AfterConstruction() {
  TqdThread::AfterConstruction();
  (void)itInitSemaphore.WaitFor(kInfinite);
  if (std::exception_ptr failure = std::exchange(itInitException, nullptr)) std::rethrow_exception(failure);
}

void TqdInternalInitThread::DoExecute() {
  bool started = true;
  try {
    DoStartup();
  } catch (...) {
    Terminate();
    itInitException = std::current_exception();
    started = false;
  }
  itInitSemaphore.SetEvent();
  if (!started) return;
  try {
    DoWork();
  } catch (...) {
    DoAfterWork();
    throw;
  }
  DoAfterWork();
}

// --- TqdInternalWaitThread -----------------------------------------------------

TqdInternalWaitThread::TqdInternalWaitThread(TThreadPriority aThreadPriority)
    : TqdInternalInitThread(aThreadPriority) {}

void TqdInternalWaitThread::BeforeDestruction() {
  wtWaitSemaphore.SetEvent();
  TqdInternalInitThread::BeforeDestruction();
}

void TqdInternalWaitThread::DoAfterWork() {
  wtWaiting.store(true);
  (void)wtWaitSemaphore.WaitFor(kInfinite);
}

// --- TqdInitThread -------------------------------------------------------------

TqdInitThread::TqdInitThread(TThreadPriority aThreadPriority) : TqdInternalWaitThread(aThreadPriority) {}

void TqdInitThread::AfterConstruction() {
  TqdInternalWaitThread::AfterConstruction();
  wtWaitSemaphore.SetEvent();
}

// --- Timer threads -------------------------------------------------------------

TqdTimerThread::TqdTimerThread(int32_t aInterval, TThreadPriority aThreadPriority)
    : TqdInitThread(aThreadPriority), ttTimerEvent(new TqdEvent), ttTimerInterval(aInterval) {}

TqdTimerThread::~TqdTimerThread() { delete ttTimerEvent; }

void TqdTimerThread::BeforeDestruction() {
  Terminate();
  ttTimerEvent->SignalEvent();
  TqdInitThread::BeforeDestruction();
}

void TqdTimerThread::DoWork() {
  while (!Terminated()) {
    (void)ttTimerEvent->WaitForQuietly(static_cast<uint32_t>(ttTimerInterval));
    if (Terminated()) break;
    try {
      DoTimer();
    } catch (const std::exception& exception) {
      DoHandleException(exception);
    }
  }
}

TqdSimpleTimerThread::TqdSimpleTimerThread(int32_t aInterval, TThreadPriority aThreadPriority, TNotifyEvent aCallback)
    : TqdTimerThread(aInterval, aThreadPriority), sttCallback(std::move(aCallback)) {}

void TqdSimpleTimerThread::DoTimer() {
  if (sttCallback) sttCallback(this);
}

// --- Deleter -------------------------------------------------------------------

void TqdThreadDeleter::operator()(TqdThread* aThread) const {
  if (aThread == nullptr) return;
  aThread->BeforeDestruction();
  delete aThread;
}

}  // namespace qd
