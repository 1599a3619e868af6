#include "foundation/qdllComponent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "tests/foundation/qdllComponentTestSupport.h"

namespace qd {
namespace {

using testing_support::MemoryLog;
using testing_support::U8;

const TqdComponentClass kSessionClass{{u"TqdSession", &TqdComponent::ClassInfo, nullptr}, nullptr, nullptr};

// A plain component of a chosen class that records what reaches it.
class Probe : public TqdRegisterableComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return fClass != nullptr ? *fClass : ClassInfo; }

  explicit Probe(TqdComponent* aOwner, const qdString& aName = {}, const TqdComponentClass* aClass = nullptr)
      : TqdRegisterableComponent(aOwner), fClass(aClass) {
    SetName(aName);
  }

  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override {
    received.push_back({aSender, aOperation, aData});
    if (onNotify) onNotify(aSender, aOperation);
    TqdRegisterableComponent::HandleNotification(aSender, aOperation, aData);
  }

  // Settings: a number after the base values.
  void SaveSettingsToStream(TqdWriter& aWriter) override {
    TqdRegisterableComponent::SaveSettingsToStream(aWriter);
    aWriter.WriteInteger(setting);
  }
  void LoadSettingsFromStream(TqdReader& aReader) override {
    TqdRegisterableComponent::LoadSettingsFromStream(aReader);
    setting = aReader.ReadInteger();
  }

  void GetStatsCaptions(std::vector<qdString>& aList) const override { aList = captions; }
  void GetStatsValues(std::vector<qdString>& aList) const override { aList = values; }

  struct Received {
    TqdComponent* sender;
    TqdNotifyOp operation;
    void* data;
  };
  std::vector<Received> received;
  std::function<void(TqdComponent*, TqdNotifyOp)> onNotify;
  int32_t setting = 0;
  std::vector<qdString> captions;
  std::vector<qdString> values;
  const TqdComponentClass* fClass;
};

const TqdComponentClass Probe::ClassInfo{
    {u"TqdProbe", &TqdRegisterableComponent::ClassInfo, nullptr}, nullptr, nullptr};

using ProbePtr = TqdComponentPtr<Probe>;

ProbePtr MakeProbe(const qdString& aName = {}) { return ProbePtr(new Probe(nullptr, aName)); }

std::vector<std::string> NamesOf(TqdIterationList& aList) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < aList.Count(); ++i) names.push_back(U8(aList.Components(i)->GetDisplayName()));
  return names;
}

// --- Exceptions ------------------------------------------------------------------

class ComponentExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override { EqdBaseException::SetLastConvertedException(0, u""); }
  void TearDown() override { EqdBaseException::SetLastConvertedException(0, u""); }
};

TEST_F(ComponentExceptionTest, MessageNamesTheComponent) {
  auto named = MakeProbe(u"Session1");
  ProbePtr unnamed(new Probe(nullptr, u"", &kSessionClass));
  struct Case {
    const TqdComponent* component;
    bool withCode;
    const char* message;
  };
  const Case cases[] = {
      {named.get(), true, "QendoDB: Session1: Record locked by another user. [$2801/10241]"},
      {unnamed.get(), true, "QendoDB: <unnamed TqdSession instance>: Record locked by another user. [$2801/10241]"},
      {nullptr, true, "QendoDB: <nil pointer>: Record locked by another user. [$2801/10241]"},
      {named.get(), false, "QendoDB: Session1: Success [no error code]"},
  };
  for (const Case& c : cases) {
    const EqdComponentException e =
        c.withCode ? EqdComponentException(c.component, qdeRecLocked) : EqdComponentException(c.component, u"");
    EXPECT_EQ(U8(e.Message()), c.message);
  }
}

TEST_F(ComponentExceptionTest, TextKeepsItsTrailingLinesAndDetails) {
  auto c = MakeProbe(u"C");
  const EqdComponentException e(c.get(), qdeKeyViol, u"dup <[!Org!]><[--!Table=T1!--]>\r\n\r\n");
  EXPECT_EQ(U8(e.Message()), "QendoDB: C: dup Key violation. [$2601/9729]");
  EXPECT_EQ(U8(e.CustomInfos().Values(u"Table")), "T1");
  EXPECT_TRUE(e.ExtendedMsg());
  const EqdComponentException f(c.get(), u"line1\r\nline2");
  EXPECT_EQ(U8(f.Message()), "QendoDB: C: line1\r\nline2 [no error code]");
  EXPECT_EQ(f.ErrorCode(), 0u);
}

TEST_F(ComponentExceptionTest, CodeFormTakesThePendingMessageAndLeavesItInPlace) {
  auto c = MakeProbe(u"C");
  (void)EqdBaseException::qdSetMessage(qdeRecLocked, u"row held elsewhere");
  const EqdComponentException first(c.get(), qdeRecLocked);
  EXPECT_EQ(U8(first.Message()), "QendoDB: C: row held elsewhere [$2801/10241]");
  const EqdComponentException second(c.get(), qdeRecLocked);
  EXPECT_EQ(U8(second.Message()), "QendoDB: C: row held elsewhere [$2801/10241]");
  const EqdComponentException other(c.get(), qdeKeyViol);
  EXPECT_EQ(U8(other.Message()), "QendoDB: C: Key violation. [$2601/9729]");
  const EqdComponentException withText(c.get(), qdeRecLocked, u"mine");
  EXPECT_EQ(U8(withText.Message()), "QendoDB: C: mine [$2801/10241]");
  uint32_t code = 0;
  qdString pending;
  EqdBaseException::GetLastConvertedException(code, pending);
  EXPECT_EQ(U8(pending), "row held elsewhere");
}

TEST_F(ComponentExceptionTest, RaiseComponentErrorUsesTheClassOfTheComponent) {
  TqdComponentPtr<TqdStateComponent> state(new TqdStateComponent(nullptr));
  state->SetName(u"S");
  EXPECT_THROW(state->RaiseComponentError(u"x"), EqdStateComponentException);
  EXPECT_THROW(state->CheckComponentError(qdeKeyViol), EqdStateComponentException);
  EXPECT_NO_THROW(state->CheckComponentError(0));
  auto probe = MakeProbe(u"P");
  try {
    probe->RaiseComponentError(qdeKeyViol, u"%s at %d", {qdString(u"dup"), 3});
    FAIL();
  } catch (const EqdRegisterableComponentException& e) {
    EXPECT_EQ(U8(e.Message()), "QendoDB: P: dup at 3 [$2601/9729]");
    EXPECT_EQ(dynamic_cast<const EqdStateComponentException*>(&e), nullptr);
  }
}

// --- Links and notifications ---------------------------------------------------------

TEST(ComponentLinkTest, FreeingEitherSideLeavesTheOtherUnlinked) {
  for (int freeFirst = 0; freeFirst < 2; ++freeFirst) {
    auto a = MakeProbe(u"A");
    auto b = MakeProbe(u"B");
    a->AddDependency(b.get());
    EXPECT_EQ(a->Dependents(), std::vector<TqdComponent*>{b.get()});
    EXPECT_EQ(b->Dependents(), std::vector<TqdComponent*>{a.get()});
    ProbePtr& gone = freeFirst == 0 ? a : b;
    ProbePtr& kept = freeFirst == 0 ? b : a;
    TqdComponent* goneRaw = gone.get();
    gone.reset();
    EXPECT_TRUE(kept->Dependents().empty());
    ASSERT_EQ(kept->received.size(), 1u);
    EXPECT_EQ(kept->received[0].sender, goneRaw);
    EXPECT_EQ(kept->received[0].operation, qdnoFree);
  }
}

TEST(ComponentLinkTest, NilSelfAndRepeatedLinksAreIgnored) {
  auto a = MakeProbe(u"A");
  auto b = MakeProbe(u"B");
  a->AddDependency(nullptr);
  a->AddDependency(a.get());
  a->AddDependency(b.get());
  a->AddDependency(b.get());
  EXPECT_EQ(a->Dependents().size(), 1u);
  a->RemoveDependency(b.get());
  EXPECT_TRUE(a->Dependents().empty());
  EXPECT_TRUE(b->Dependents().empty());
}

TEST(ComponentLinkTest, UnlinkingInsideANotificationSkipsAndRepeatsNobody) {
  auto sender = MakeProbe(u"S");
  std::vector<ProbePtr> dependents;
  for (int i = 0; i < 6; ++i) {
    dependents.push_back(MakeProbe(AsciiToString("D" + std::to_string(i))));
    sender->AddDependent(dependents.back().get());
  }
  // The first to hear it unlinks every other original dependent but one,
  // and links a newcomer.
  auto newcomer = MakeProbe(u"N");
  Probe* first = nullptr;
  Probe* kept = nullptr;
  for (auto& d : dependents) {
    Probe* self = d.get();
    d->onNotify = [&, self](TqdComponent*, TqdNotifyOp aOp) {
      if (aOp != qdnoStateChanged || first != nullptr) return;
      first = self;
      kept = dependents[0].get() == self ? dependents[1].get() : dependents[0].get();
      for (auto& other : dependents)
        if (other.get() != self && other.get() != kept) sender->RemoveDependent(other.get());
      sender->AddDependent(newcomer.get());
    };
  }
  sender->NotifyDependents(qdnoStateChanged, nullptr, nullptr);
  ASSERT_NE(first, nullptr);
  for (auto& d : dependents) {
    const size_t expected = d.get() == first || d.get() == kept ? 1 : 0;
    EXPECT_EQ(d->received.size(), expected) << U8(d->Name());
  }
  EXPECT_EQ(newcomer->received.size(), 1u);
  // The links were one-way: the sender goes first.
  sender.reset();
}

TEST(ComponentLinkTest, ExcludedDependentIsNotNotified) {
  auto a = MakeProbe(u"A");
  auto b = MakeProbe(u"B");
  auto c = MakeProbe(u"C");
  a->AddDependency(b.get());
  a->AddDependency(c.get());
  a->NotifyDependents(qdnoStateChanged, nullptr, b.get());
  EXPECT_TRUE(b->received.empty());
  EXPECT_EQ(c->received.size(), 1u);
}

TEST(ComponentLinkTest, IterationReachesEachComponentOnceInDisplayNameOrder) {
  auto a = MakeProbe(u"beta");
  ProbePtr b(new Probe(nullptr, u"Alpha", &kSessionClass));
  auto c = MakeProbe(u"gamma");
  a->AddDependency(b.get());
  b->AddDependency(c.get());
  c->AddDependency(a.get());
  auto all = a->IterateDependents();
  EXPECT_EQ(NamesOf(*all), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  // The walk stops at the ignored class: C is still reached through A.
  auto some = a->IterateDependentsEx({u"tqdsession"});
  EXPECT_EQ(NamesOf(*some), (std::vector<std::string>{"beta", "gamma"}));
  auto fromB = c->IterateDependentsEx({u"TqdProbe"});
  EXPECT_TRUE(fromB->Count() == 0);
}

TEST(ComponentLinkTest, BroadcastReachesEveryComponentOnceIncludingTheSender) {
  auto a = MakeProbe(u"A");
  auto b = MakeProbe(u"B");
  auto c = MakeProbe(u"C");
  a->AddDependency(b.get());
  b->AddDependency(c.get());
  a->AddDependency(c.get());
  int param = 0;
  a->Broadcast(77, &param, {});
  for (Probe* p : {a.get(), b.get(), c.get()}) {
    int delivered = 0;
    for (const auto& r : p->received)
      if (r.operation == 77) {
        ++delivered;
        EXPECT_EQ(r.sender, a.get());
        EXPECT_EQ(r.data, &param);
      }
    EXPECT_EQ(delivered, 1) << U8(p->Name());
  }
}

TEST(ComponentLinkTest, OwnerFreesItsComponentsAfterItsOwnFreeNotification) {
  std::vector<std::string> order;
  auto owner = MakeProbe(u"Owner");
  auto* child = new Probe(owner.get(), u"Child");
  auto watcher = MakeProbe(u"W");
  watcher->AddDependency(owner.get());
  watcher->AddDependency(child);
  watcher->onNotify = [&](TqdComponent* aSender, TqdNotifyOp aOp) {
    if (aOp == qdnoFree) order.push_back(U8(aSender->Name()));
  };
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(child->Owner(), owner.get());
  owner.reset();
  EXPECT_EQ(order, (std::vector<std::string>{"Owner", "Child"}));
  EXPECT_TRUE(watcher->Dependents().empty());
}

TEST(ComponentLinkTest, ChildFreedFirstLeavesItsOwner) {
  auto owner = MakeProbe(u"Owner");
  auto* child = new Probe(owner.get(), u"Child");
  qdFreeAndNil(child);
  EXPECT_EQ(owner->ComponentCount(), 0);
}

// --- Links under several threads ------------------------------------------------------

// A notification run holds its dependent list only to pick the next
// dependent: while a dependent reacts, another thread may change the
// sender's links (before, it waited for the whole run and this deadlocked).
TEST(ComponentStressTest, ADependentsReactionMayWaitForAnotherThreadLinkingTheSender) {
  auto sender = MakeProbe(u"S");
  auto dependent = MakeProbe(u"D");
  auto newcomer = MakeProbe(u"N");
  sender->AddDependent(dependent.get());
  dependent->onNotify = [&](TqdComponent*, TqdNotifyOp aOp) {
    if (aOp == qdnoStateChanged) std::thread([&] { sender->AddDependent(newcomer.get()); }).join();
  };
  sender->NotifyDependents(qdnoStateChanged, nullptr, nullptr);
  EXPECT_EQ(newcomer->received.size(), 1u);
  sender->RemoveDependent(newcomer.get());
  sender->RemoveDependent(dependent.get());
}

// Two linked components walked from either end at once: each run goes down
// one component's links and back up the other's. With a list held during
// the calls the two threads took the two lists in opposite orders.
TEST(ComponentStressTest, WalksFromBothEndsOfALinkRunTogether) {
  enum class Walk { Iterate, Broadcast };
  for (const Walk walk : {Walk::Iterate, Walk::Broadcast}) {
    SCOPED_TRACE(walk == Walk::Iterate ? "iterate" : "broadcast");
    TqdComponentPtr<TqdComponent> a(new TqdComponent(nullptr));
    TqdComponentPtr<TqdComponent> b(new TqdComponent(nullptr));
    a->SetName(u"A");
    b->SetName(u"B");
    a->AddDependency(b.get());
    std::atomic<int> ready{0};
    std::atomic<int> incomplete{0};
    const auto walker = [&](TqdComponent* aStart) {
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      for (int i = 0; i < 2000; ++i) {
        if (walk == Walk::Iterate) {
          if (aStart->IterateDependents()->Count() != 2) ++incomplete;
        } else {
          aStart->Broadcast(77, nullptr, {});
        }
      }
    };
    std::thread fromA(walker, a.get());
    std::thread fromB(walker, b.get());
    fromA.join();
    fromB.join();
    EXPECT_EQ(incomplete.load(), 0);
  }
}

// Counts the notification calls running inside it; its destructor records
// whether one was still running.
class CallCounter : public TqdComponent {
 public:
  explicit CallCounter(std::atomic<int>* aLateCalls) : TqdComponent(nullptr), fLateCalls(aLateCalls) {}
  ~CallCounter() override {
    if (fRunning.load() != 0) ++*fLateCalls;
  }

  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override {
    ++fRunning;
    std::this_thread::yield();
    TqdComponent::HandleNotification(aSender, aOperation, aData);
    --fRunning;
  }

 private:
  std::atomic<int>* fLateCalls;
  std::atomic<int> fRunning{0};
};

// The list is not held during a call, yet a dependent that another thread
// frees meanwhile is never torn down under a running call: the free waits
// for it, and a dependent already unlinked is not called.
TEST(ComponentStressTest, ADependentFreedDuringAnotherThreadsRunOutlivesTheCallIntoIt) {
  auto hub = MakeProbe(u"Hub");
  std::atomic<int> lateCalls{0};
  std::atomic<bool> done{false};
  std::thread notifier([&] {
    while (!done.load()) hub->NotifyDependents(77, nullptr, nullptr);
  });
  for (int i = 0; i < 2000; ++i) {
    TqdComponentPtr<CallCounter> dependent(new CallCounter(&lateCalls));
    dependent->AddDependency(hub.get());
    std::this_thread::yield();
    dependent.reset();
  }
  done = true;
  notifier.join();
  EXPECT_EQ(lateCalls.load(), 0);
  EXPECT_TRUE(hub->Dependents().empty());
}

// --- Description and identity ----------------------------------------------------

TEST(ComponentIdentityTest, DisplayNameIsStoredOnlyWhenItSaysSomethingNew) {
  auto c = MakeProbe(u"Server1");
  struct Case {
    const char16_t* displayName;
    bool stored;
    const char* shown;
  };
  const Case cases[] = {
      {u"", false, "Server1"},
      {u"server1", false, "server1"},
      {u"TQDPROBE", false, "TQDPROBE"},
      {u"Main server", true, "Main server"},
  };
  for (const Case& k : cases) {
    c->SetDisplayName(k.displayName);
    EXPECT_EQ(c->IsDisplayNameStored(), k.stored) << U8(k.displayName);
    EXPECT_EQ(U8(c->GetDisplayName()), k.shown);
  }
  auto unnamed = MakeProbe();
  EXPECT_EQ(U8(unnamed->GetDisplayName()), "TqdProbe");
}

TEST(ComponentIdentityTest, DescriptionHoldsIdClassNamesAndPairedStatistics) {
  auto c = MakeProbe(u"C");
  c->SetDisplayName(u"Shown");
  c->SetDisplayCategory(u"Engines");
  c->captions = {u"Sessions", u"Cursors", u"Extra"};
  c->values = {u"1", u"2"};
  auto root = qdCreateExceptionDataContainer(u"ExceptionData", nullptr);
  c->DescribeTo(root.Get());
  EXPECT_EQ(U8(root->Values(0)->Name()), "SelfPtr");
  EXPECT_EQ(static_cast<uint64_t>(root->Values(0)->AsInt64()), c->GetComponentID());
  const std::string text = U8(root->ToString());
  EXPECT_EQ(text.substr(text.find("  ClassName")),
            "  ClassName: TqdProbe\r\n  DisplayName: Shown\r\n  DisplayCategory: Engines\r\n  Stats:\r\n"
            "    Sessions: 1\r\n    Cursors: 2\r\n");
  EXPECT_TRUE(c->UIStatsVisible());
  EXPECT_FALSE(MakeProbe()->UIStatsVisible());
  EXPECT_EQ(U8(c->GetDisplayOnlyValue(u"x")), "(not implemented)");
  EXPECT_EQ(U8(TqdComponent::Version()).substr(0, 7), "4.7501 ");
}

TEST(ComponentIdentityTest, ComponentIdFindsTheComponentOnlyWhileItLives) {
  auto c = MakeProbe(u"C");
  const uint64_t id = c->GetComponentID();
  EXPECT_EQ(c->GetComponentID(), id);
  EXPECT_EQ(TqdComponent::LookupByComponentID(id), c.get());
  auto other = MakeProbe(u"D");
  EXPECT_NE(other->GetComponentID(), id);
  c.reset();
  for (uint64_t bad : {id, uint64_t{0}, ~uint64_t{0}}) {
    try {
      (void)TqdComponent::LookupByComponentID(bad);
      ADD_FAILURE() << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(U8(e.Message()), "Invalid ComponentID");
    }
  }
}

TEST(ComponentIdentityTest, LifetimeMonitorTurnsDeadWhenDestructionStarts) {
  auto c = MakeProbe(u"C");
  auto monitor = c->GetLifetimeMonitor();
  bool aliveDuringFree = true;
  auto watcher = MakeProbe(u"W");
  watcher->AddDependency(c.get());
  watcher->onNotify = [&](TqdComponent*, TqdNotifyOp aOp) {
    if (aOp == qdnoFree) aliveDuringFree = monitor->IsAlive();
  };
  EXPECT_TRUE(monitor->IsAlive());
  c.reset();
  EXPECT_TRUE(aliveDuringFree);
  EXPECT_FALSE(monitor->IsAlive());
}

TEST(ComponentIdentityTest, InformationObjectAnswersUntilItsComponentGoes) {
  auto c = MakeProbe(u"C");
  c->SetDisplayCategory(u"Engines");
  c->captions = {u"Sessions"};
  c->values = {u"4"};
  TqdRef<IqdComponentInfo31000> info = c->ComponentInfo();
  EXPECT_EQ(c->ComponentInfo().Get(), info.Get());
  EXPECT_EQ(U8(info->GetClassName()), "TqdProbe");
  EXPECT_EQ(U8(info->GetName()), "C");
  EXPECT_EQ(U8(info->GetDisplayName()), "C");
  EXPECT_EQ(U8(info->GetDisplayCategory()), "Engines");
  EXPECT_EQ(info->GetStatsCaptions(), std::vector<qdString>{u"Sessions"});
  EXPECT_EQ(info->GetStatsValues(), std::vector<qdString>{u"4"});
  c.reset();
  EXPECT_TRUE(info->GetName().empty());
  EXPECT_TRUE(info->GetStatsValues().empty());
}

TEST(ComponentIdentityTest, InformationOfLoggableAndStateComponents) {
  TqdComponentPtr<MemoryLog> log(new MemoryLog(nullptr));
  log->SetName(u"Log");
  TqdComponentPtr<TqdStateComponent> s(new TqdStateComponent(nullptr));
  auto info = s->ComponentInfo();
  auto* loggable = dynamic_cast<IqdLoggableComponentInfo31000*>(info.Get());
  auto* state = dynamic_cast<IqdStateComponentInfo31000*>(info.Get());
  ASSERT_NE(loggable, nullptr);
  ASSERT_NE(state, nullptr);
  EXPECT_FALSE(loggable->GetEventLogInfo());
  s->SetEventLog(log.get());
  s->SetEventLogEnabled(true);
  EXPECT_TRUE(loggable->GetLogEnabled());
  EXPECT_EQ(U8(loggable->GetEventLogInfo()->GetName()), "Log");
  s->Open();
  EXPECT_EQ(state->GetState(), qdsStarted);
  EXPECT_EQ(dynamic_cast<IqdStateComponentInfo31000*>(log->ComponentInfo().Get()), nullptr);
}

TEST(ComponentIdentityTest, InstanceRequestsAnswerOnlyForTheInformationClass) {
  TqdComponentPtr<TqdStateComponent> state(new TqdStateComponent(nullptr));
  auto plain = MakeProbe(u"P");
  struct Case {
    TqdComponent* component;
    TGUID classID;
    bool withOuter;
    TGUID interfaceID;
    int32_t result;
  };
  const Case cases[] = {
      {state.get(), qdComponentInfoClassID, false, IID_IqdStateComponentInfo31000, S_OK},
      {state.get(), qdComponentInfoClassID, false, IID_IqdLoggableComponentInfo31000, S_OK},
      {state.get(), qdComponentInfoClassID, false, IID_IqdComponentInfoDisconnect, S_OK},
      {plain.get(), qdComponentInfoClassID, false, IID_IqdComponentInfo31000, S_OK},
      {plain.get(), qdComponentInfoClassID, false, IID_IqdStateComponentInfo31000, E_NOINTERFACE},
      {plain.get(), qdComponentInfoClassID, false, TGUID{}, E_NOINTERFACE},
      {plain.get(), IID_IqdComponentInfo31000, false, IID_IqdComponentInfo31000, E_NOTIMPL},
      {plain.get(), qdComponentInfoClassID, true, IID_IqdComponentInfo31000, E_NOTIMPL},
  };
  auto outer = state->ComponentInfo();
  for (const Case& c : cases) {
    TqdRef<IqdInterface> answer(outer.Get());
    const int32_t result =
        c.component->qdcCreateInstance(nullptr, c.classID, c.withOuter ? outer.Get() : nullptr, c.interfaceID, answer);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(static_cast<bool>(answer), c.result == S_OK);
  }
  TqdRef<IqdInterface> answer;
  ASSERT_EQ(state->qdcCreateInstance(nullptr, qdComponentInfoClassID, nullptr, IID_IqdStateComponentInfo31000, answer),
            S_OK);
  state->Open();
  EXPECT_EQ(dynamic_cast<IqdStateComponentInfo31000*>(answer.Get())->GetState(), qdsStarted);
}

// --- The class registry ----------------------------------------------------------

const TqdComponentClass kEngineClass{
    {u"TqdSomeEngine", &TqdRegisterableComponent::ClassInfo, nullptr}, nullptr, nullptr};
const TqdComponentClass kEngineMonitorClass{
    {u"TqdSomeEngineMonitor", &TqdComponent::ClassInfo, nullptr}, nullptr, nullptr};
const TqdComponentClass kStateClass{{u"TqdSomeState", &TqdStateComponent::ClassInfo, nullptr}, nullptr, nullptr};

class ComponentRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const TqdComponentClass* c : {&kEngineClass, &kEngineMonitorClass, &kStateClass})
      TqdRegisterableComponent::UnregisterClass(*c);
  }
};

TEST_F(ComponentRegistryTest, SecondRegistrationRaisesTheClassExceptionClass) {
  TqdRegisterableComponent::RegisterClass(kStateClass);
  try {
    TqdRegisterableComponent::RegisterClass(kStateClass);
    FAIL();
  } catch (const EqdStateComponentException& e) {
    EXPECT_EQ(U8(e.Message()),
              "QendoDB: <nil pointer>: The class \"TqdSomeState\" is already registered [no error code]");
  }
}

TEST_F(ComponentRegistryTest, LookupIgnoresCaseAndListingFiltersByAncestry) {
  EXPECT_EQ(TqdRegisterableComponent::FindRegisteredClass(u"TqdSomeEngine"), nullptr);
  TqdRegisterableComponent::RegisterClass(kEngineClass);
  TqdRegisterableComponent::RegisterClass(kEngineMonitorClass);
  TqdRegisterableComponent::RegisterClass(kStateClass);
  EXPECT_EQ(TqdRegisterableComponent::FindRegisteredClass(u"tqdsomeengine"), &kEngineClass);

  TqdRegisteredClasses list;
  TqdRegisterableComponent::GetRegisteredClasses(TqdRegisterableComponent::ClassInfo, list);
  // The engine's own units register their classes at start-up too: only
  // this test's classes are looked at.
  auto ours = [](const TqdRegisteredClasses& aList) {
    std::vector<std::string> names;
    for (const auto& entry : aList)
      if (U8(entry.Name).rfind("TqdSome", 0) == 0) names.push_back(U8(entry.Name));
    return names;
  };
  EXPECT_EQ(ours(list), (std::vector<std::string>{"TqdSomeEngine", "TqdSomeState"}));
  TqdRegisterableComponent::GetRegisteredClasses(TqdComponent::ClassInfo, list);
  EXPECT_EQ(ours(list).size(), 3u);

  auto probe = MakeProbe();
  ProbePtr engine(new Probe(nullptr, u"", &kEngineClass));
  EXPECT_EQ(engine->FindClassRecursive(u"Monitor"), &kEngineMonitorClass);
  EXPECT_EQ(probe->FindClassRecursive(u"Monitor"), nullptr);

  TqdRegisterableComponent::UnregisterClass(kEngineClass);
  EXPECT_EQ(TqdRegisterableComponent::FindRegisteredClass(u"TqdSomeEngine"), nullptr);
}

// --- Logging -------------------------------------------------------------------------

TEST(ComponentLogTest, LinesReachTheLogOnlyWhenEnabledAndAttached) {
  TqdComponentPtr<MemoryLog> log(new MemoryLog(nullptr));
  TqdComponentPtr<TqdLoggableComponent> c(new TqdLoggableComponent(nullptr));
  c->lcLog(u"nobody", 1, lpInfo, u"default", 0, qdLogNoTimeBias);
  c->SetEventLog(log.get());
  c->lcLog(u"disabled", 1, lpInfo, u"default", 0, qdLogNoTimeBias);
  EXPECT_TRUE(log->lines.empty());
  c->SetEventLogEnabled(true);
  c->lcLog(u"%s=%d", {qdString(u"a"), 5}, 7, lpWarn, u"cat", 1.5, 60);
  c->lcLog(u"block", "abc", 3, 8, lpDebug, u"default", 0, 0);
  c->lcLogs({u"l1", u"l2"}, 9, lpFatal, u"default", 0, 0);
  ASSERT_EQ(log->lines.size(), 4u);
  EXPECT_EQ(log->lines[0].text, "a=5");
  EXPECT_EQ(log->lines[0].number, 7u);
  EXPECT_EQ(log->lines[0].priority, lpWarn);
  EXPECT_EQ(log->lines[0].category, "cat");
  EXPECT_EQ(log->lines[0].when, 1.5);
  EXPECT_EQ(log->lines[0].bias, 60);
  EXPECT_EQ(log->lines[1].text, "block [3 bytes]");
  EXPECT_EQ(log->lines[3].text, "l2");
}

TEST(ComponentLogTest, ComponentForgetsALogThatIsFreed) {
  auto* log = new MemoryLog(nullptr);
  TqdComponentPtr<TqdLoggableComponent> c(new TqdLoggableComponent(nullptr));
  c->SetEventLog(log);
  c->SetEventLogEnabled(true);
  EXPECT_EQ(c->Dependents(), std::vector<TqdComponent*>{log});
  qdFreeAndNil(log);
  EXPECT_EQ(c->EventLog(), nullptr);
  EXPECT_TRUE(c->Dependents().empty());
  c->lcLog(u"after", 1, lpInfo, u"default", 0, 0);
}

TEST(ComponentLogTest, ReplacingTheLogUnlinksTheOldOne) {
  TqdComponentPtr<MemoryLog> first(new MemoryLog(nullptr));
  TqdComponentPtr<MemoryLog> second(new MemoryLog(nullptr));
  TqdComponentPtr<TqdLoggableComponent> c(new TqdLoggableComponent(nullptr));
  c->SetEventLog(first.get());
  c->SetEventLog(second.get());
  EXPECT_TRUE(first->Dependents().empty());
  EXPECT_EQ(c->Dependents(), std::vector<TqdComponent*>{second.get()});
  EXPECT_FALSE(second->Enabled());
  second->SetEnabled(true);
  EXPECT_TRUE(second->Enabled());
}

TEST(ComponentLogTest, ConvertedExceptionsAreWrittenToTheGivenLog) {
  TqdComponentPtr<MemoryLog> log(new MemoryLog(nullptr));
  const TqdResult code = qdConvertException(EqdBaseException(qdeKeyViol), log.get());
  EXPECT_EQ(code, qdeKeyViol);
  ASSERT_EQ(log->lines.size(), 1u);
  EXPECT_EQ(log->lines[0].text, "Exception Cvt: QendoDB: Key violation. [$2601/9729]");
  EXPECT_EQ(log->lines[0].category, "default");
  EXPECT_EQ(log->lines[0].bias, qdLogNoTimeBias);
  EqdBaseException::SetLastConvertedException(0, u"");
}

// --- Settings of a set of components -----------------------------------------------

qdAnsiString SaveSet(const std::vector<Probe*>& aComponents) {
  TqdIterationList list;
  for (Probe* p : aComponents) list.AddComponent(p);
  TqdAnsiStringStream stream;
  {
    TqdWriter writer(&stream);
    list.SaveSettingsToStream(writer);
  }
  return stream.DataString();
}

void LoadSet(const std::vector<Probe*>& aComponents, const qdAnsiString& aBytes) {
  TqdIterationList list;
  for (Probe* p : aComponents) list.AddComponent(p);
  TqdAnsiStringStream stream(aBytes);
  TqdReader reader(&stream);
  list.LoadSetttingsFromStream(reader);
}

TEST(ComponentSettingsTest, SetLoadsIntoTheComponentsItStillHas) {
  auto a = MakeProbe(u"A");
  auto b = MakeProbe(u"B");
  auto c = MakeProbe(u"C");
  auto unnamed = MakeProbe();
  a->setting = 1;
  b->setting = 2;
  c->setting = 3;
  const qdAnsiString bytes = SaveSet({a.get(), b.get(), c.get(), unnamed.get()});
  auto a2 = MakeProbe(u"a");
  auto c2 = MakeProbe(u"C");
  LoadSet({a2.get(), c2.get()}, bytes);
  EXPECT_EQ(a2->setting, 1);
  EXPECT_EQ(c2->setting, 3);
}

TEST(ComponentSettingsTest, ComponentStreamIsVersionAndName) {
  auto e = MakeProbe(u"E");
  e->setting = 5;
  TqdAnsiStringStream stream;
  {
    TqdWriter writer(&stream);
    e->SaveSettingsToStream(writer);
  }
  EXPECT_EQ(stream.DataString(), qdAnsiString("\x02\x01\x06\x01"
                                              "E\x02\x05",
                                              7));
}

// Filer bytes for hand-made settings streams.
template <class F>
qdAnsiString Bytes(F aWrite) {
  TqdAnsiStringStream stream;
  {
    TqdWriter writer(&stream);
    aWrite(writer);
  }
  return stream.DataString();
}

TEST(ComponentSettingsTest, OlderFormReadsNamesThenSettingsInOrder) {
  auto a = MakeProbe(u"A");
  auto c = MakeProbe(u"C");
  const qdAnsiString bytes = Bytes([](TqdWriter& w) {
    w.WriteInteger(1);
    w.WriteString(u"C\r\nA\r\n");
    for (const char16_t* name : {u"C", u"A"}) {
      w.WriteInteger(1);
      w.WriteString(name);
      w.WriteInteger(name[0] == u'C' ? 30 : 10);
    }
  });
  LoadSet({a.get(), c.get()}, bytes);
  EXPECT_EQ(a->setting, 10);
  EXPECT_EQ(c->setting, 30);
}

TEST(ComponentSettingsTest, DamagedOrUnknownSettingsAreRefused) {
  struct Case {
    const char* what;
    qdAnsiString bytes;
    bool engineError;  // 15498, else the filer's read error
  };
  const Case cases[] = {
      {"unknown set version", Bytes([](TqdWriter& w) { w.WriteInteger(3); }), true},
      {"older form naming a missing component", Bytes([](TqdWriter& w) {
         w.WriteInteger(1);
         w.WriteString(u"Missing");
       }),
       true},
      {"wrong component version", Bytes([](TqdWriter& w) {
         w.WriteInteger(2);
         w.WriteListBegin();
         w.WriteString(u"A");
         w.WriteInteger(4);
         w.WriteInteger(2);
         w.WriteString(u"A");
         w.WriteListEnd();
       }),
       true},
      {"negative length", Bytes([](TqdWriter& w) {
         w.WriteInteger(2);
         w.WriteListBegin();
         w.WriteString(u"A");
         w.WriteInteger(-1);
       }),
       true},
      {"length beyond the stream", Bytes([](TqdWriter& w) {
         w.WriteInteger(2);
         w.WriteListBegin();
         w.WriteString(u"Gone");
         w.WriteInteger(0x7FFFFFFF);
       }),
       false},
      {"component settings cut short", Bytes([](TqdWriter& w) {
         w.WriteInteger(2);
         w.WriteListBegin();
         w.WriteString(u"A");
         w.WriteInteger(2);
         w.WriteInteger(1);
         w.WriteListEnd();
       }),
       false},
  };
  for (const Case& c : cases) {
    auto a = MakeProbe(u"A");
    try {
      LoadSet({a.get()}, c.bytes);
      ADD_FAILURE() << c.what << " was accepted";
    } catch (const EqdComponentException& e) {
      EXPECT_TRUE(c.engineError) << c.what;
      EXPECT_EQ(e.ErrorCode(), qdeIncompatibleStream) << c.what;
    } catch (const EReadError&) {
      EXPECT_FALSE(c.engineError) << c.what;
    }
  }
}

TEST(ComponentSettingsTest, ComponentWithoutNameCannotSaveItsSettings) {
  auto unnamed = MakeProbe();
  TqdAnsiStringStream stream;
  TqdWriter writer(&stream);
  EXPECT_THROW(unnamed->SaveSettingsToStream(writer), EAssertionFailed);
}

TEST(ComponentSettingsTest, SettingsLoadedEventFollowsLoadConfig) {
  auto c = MakeProbe(u"C");
  TqdComponent* sender = nullptr;
  c->SetOnSettingsLoaded([&](TqdComponent* aSender) { sender = aSender; });
  TqdBaseComponentConfiguration config(nullptr);
  c->DoLoadConfig(&config);
  EXPECT_EQ(sender, c.get());
}

TEST(ComponentUtilityTest, ThousandsUseTheLocaleSeparatorAndNoDecimals) {
  EXPECT_EQ(U8(qdFormatThousands(1234567)), "1,234,567");
  EXPECT_EQ(U8(qdFormatThousands(-1000)), "-1,000");
  EXPECT_EQ(U8(qdFormatThousands(999)), "999");
}

}  // namespace
}  // namespace qd
