#include "foundation/qdllTypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/qdStringList.h"

namespace qd {
namespace {

std::string U8(const qdString& aText) { return StringToUtf8(aText); }

// Two small families of their own, so the tests never meet the engine's.
TqdClassRegistry* someEngines = nullptr;
TqdClassRegistry** SomeEngines() { return &someEngines; }
TqdClassRegistry* otherEngines = nullptr;
TqdClassRegistry** OtherEngines() { return &otherEngines; }
TqdClassRegistry* validationDescriptors = nullptr;
TqdClassRegistry** ValidationDescriptors() { return &validationDescriptors; }

const TqdClassInfo kSomeEngineFamily{u"TqdSomeEngineBase", &TqdBaseRegisterableEngine::ClassInfo, SomeEngines};
const TqdClassInfo kSomeEngine{u"TqdSomeEngine", &kSomeEngineFamily};
const TqdClassInfo kSomeOtherEngine{u"TqdSomeOtherEngine", &kSomeEngineFamily};
const TqdClassInfo kOtherFamily{u"TqdOtherEngineBase", &TqdBaseRegisterableEngine::ClassInfo, OtherEngines};
const TqdClassInfo kOtherEngine{u"TqdSomeEngine", &kOtherFamily};
const TqdClassInfo kValidationFamily{u"TqdBaseValidationDescriptor", &TqdBaseRegisterableDescriptor::ClassInfo,
                                     ValidationDescriptors};
const TqdClassInfo kRangeValidation{u"TqdRangeValidationDescriptor", &kValidationFamily};

std::vector<std::string> Names(const TqdRegisteredClasses& aList) {
  std::vector<std::string> names;
  for (const TqdRegisteredClass& entry : aList) names.push_back(U8(entry.Name));
  return names;
}

class RegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const TqdClassInfo* c : {&kSomeEngine, &kSomeOtherEngine}) TqdBaseRegisterableEngine::UnregisterEngine(*c);
    TqdBaseRegisterableEngine::UnregisterEngine(kOtherEngine);
    TqdBaseRegisterableDescriptor::UnregisterDescriptor(kRangeValidation);
    EXPECT_EQ(someEngines, nullptr);
    EXPECT_EQ(otherEngines, nullptr);
    EXPECT_EQ(validationDescriptors, nullptr);
  }
};

TEST_F(RegistryTest, LookupIgnoresCaseAndFamiliesAreSeparate) {
  EXPECT_EQ(TqdBaseRegisterableEngine::FindEngineClass(kSomeEngineFamily, u"TqdSomeEngine"), nullptr);
  TqdBaseRegisterableEngine::RegisterEngine(kSomeEngine);
  TqdBaseRegisterableEngine::RegisterEngine(kOtherEngine);
  EXPECT_EQ(TqdBaseRegisterableEngine::FindEngineClass(kSomeEngineFamily, u"tqdsomeengine"), &kSomeEngine);
  EXPECT_EQ(TqdBaseRegisterableEngine::FindEngineClass(kSomeEngine, u"TQDSOMEENGINE"), &kSomeEngine);
  EXPECT_EQ(TqdBaseRegisterableEngine::FindEngineClass(kOtherFamily, u"TqdSomeEngine"), &kOtherEngine);
  EXPECT_EQ(TqdBaseRegisterableEngine::FindEngineClass(kSomeEngineFamily, u"TqdSomeEngineX"), nullptr);
}

TEST_F(RegistryTest, AliasIsFoundButListedOnlyOnRequestAndGoesWithItsClass) {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(kRangeValidation);
  TqdBaseRegisterableDescriptor::RegisterDescriptor(kRangeValidation, u"Range");
  EXPECT_EQ(TqdBaseRegisterableDescriptor::FindDescriptorClass(kValidationFamily, u"range"), &kRangeValidation);
  EXPECT_EQ(TqdBaseRegisterableDescriptor::FindDescriptorClass(kValidationFamily, u"TqdRangeValidationDescriptor"),
            &kRangeValidation);

  TqdRegisteredClasses list{{u"stale", nullptr}};
  TqdBaseRegisterableDescriptor::GetRegisteredDescriptors(kValidationFamily, list, false);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"TqdRangeValidationDescriptor"}));
  TqdBaseRegisterableDescriptor::GetRegisteredDescriptors(kValidationFamily, list, true);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"Range", "TqdRangeValidationDescriptor"}));

  TqdBaseRegisterableDescriptor::UnregisterDescriptor(kRangeValidation);
  EXPECT_EQ(validationDescriptors, nullptr);
  EXPECT_EQ(TqdBaseRegisterableDescriptor::FindDescriptorClass(kValidationFamily, u"Range"), nullptr);
}

TEST_F(RegistryTest, UnregisteringOneClassKeepsTheOthers) {
  TqdBaseRegisterableEngine::RegisterEngine(kSomeEngine);
  TqdBaseRegisterableEngine::RegisterEngine(kSomeOtherEngine);
  TqdBaseRegisterableEngine::RegisterEngine(kSomeEngine, u"Alias");
  TqdBaseRegisterableEngine::UnregisterEngine(kSomeEngine);
  TqdRegisteredClasses list;
  TqdBaseRegisterableEngine::GetRegisteredEngines(kSomeEngineFamily, list, true);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"TqdSomeOtherEngine"}));
}

TEST_F(RegistryTest, DuplicateNameIsRefusedWhateverTheClass) {
  TqdBaseRegisterableEngine::RegisterEngine(kSomeEngine);
  try {
    TqdBaseRegisterableEngine::RegisterEngine(kSomeEngine);
    FAIL();
  } catch (const EStringListError& e) {
    EXPECT_EQ(U8(e.Message()), "Duplicates not allowed");
  }
  EXPECT_THROW(TqdBaseRegisterableEngine::RegisterEngine(kSomeOtherEngine, u"TQDSOMEENGINE"), EStringListError);
  EXPECT_EQ(someEngines->Count(), 1);
}

TEST_F(RegistryTest, ClassOutsideEveryFamilyHasNoRegistry) {
  const TqdClassInfo loose{u"TqdLoose", &TqdBaseRegisterableEngine::ClassInfo};
  EXPECT_THROW(TqdBaseRegisterableEngine::RegisterEngine(loose), EAssertionFailed);
  EXPECT_THROW((void)TqdBaseRegisterableEngine::FindEngineClass(loose, u"x"), EAssertionFailed);
}

TEST(ClassInfoTest, InheritsFromFollowsParents) {
  EXPECT_TRUE(kSomeEngine.InheritsFrom(kSomeEngine));
  EXPECT_TRUE(kSomeEngine.InheritsFrom(TqdPersistent::ClassInfo));
  EXPECT_FALSE(kSomeEngine.InheritsFrom(kSomeOtherEngine));
  EXPECT_FALSE(kSomeEngine.InheritsFrom(TqdBaseRegisterableDescriptor::ClassInfo));
}

TEST(ClassInfoTest, EngineNameReplacesEveryDescriptorIgnoringCase) {
  struct Case {
    const char16_t* descriptor;
    const char16_t* replacement;
    const char* engine;
  };
  const Case cases[] = {
      {u"TqdKeyDescriptor", u"Engine", "TqdKeyEngine"},
      {u"TqdFulltextIndexDescriptor", u"TableEngine", "TqdFulltextIndexTableEngine"},
      {u"TqdDESCRIPTORdescriptor", u"Engine", "TqdEngineEngine"},
      {u"TqdNoSuffix", u"Engine", "TqdNoSuffix"},
      {u"Descripto", u"Engine", "Descripto"},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(qdEngineNameFor(c.descriptor, c.replacement)), c.engine);
}

// --- Persistent objects --------------------------------------------------------

const TqdClassInfo kProbeClass{u"TqdProbe", &TqdLifetimeTrackedPersistent::ClassInfo};

class Probe : public TqdLifetimeTrackedPersistent {
 public:
  const TqdClassInfo& ClassType() const override { return kProbeClass; }
};

TEST(PersistentTest, DescribesItselfWithIdAndClassName) {
  Probe probe;
  auto root = qdCreateExceptionDataContainer(u"R", nullptr);
  root->AddObject(u"P", &probe);
  auto p = root->Values(0)->AsContainer();
  ASSERT_EQ(p->Count(), 2);
  EXPECT_EQ(U8(p->Values(0)->Name()), "SelfPtr");
  EXPECT_EQ(static_cast<uint64_t>(p->Values(0)->AsInt64()), probe.ObjectID());
  EXPECT_EQ(U8(p->Values(1)->AsString()), "TqdProbe");
  Probe other;
  EXPECT_NE(other.ObjectID(), probe.ObjectID());
}

TEST(PersistentTest, NotSupportedErrorLeavesTheMessageForItsCode) {
  Probe probe;
  struct Case {
    const char16_t* method;
    const char* text;
  };
  for (const Case& c :
       {Case{u"", "Method not supported by TqdProbe"}, Case{u"Pack", "Pack not supported by TqdProbe"}}) {
    EXPECT_EQ(probe.NotSupportedError(c.method), qdeNotSupported);
    EqdBaseException e(qdeNotSupported);
    EXPECT_EQ(U8(e.ErrorString()), c.text);
  }
}

TEST(PersistentTest, LifetimeMonitorSeesTheObjectGo) {
  auto* probe = new Probe;
  auto monitor = probe->GetLifetimeMonitor();
  EXPECT_EQ(probe->GetLifetimeMonitor().Get(), monitor.Get());
  EXPECT_TRUE(monitor->IsAlive());
  delete probe;
  EXPECT_FALSE(monitor->IsAlive());
}

// --- Configuration -------------------------------------------------------------

TEST(SettingTest, LabelIsDerivedFromTheName) {
  struct Case {
    const char16_t* name;
    const char16_t* label;
    const char* expected;
  };
  const Case cases[] = {
      {u"EventLogEnabled", u"", "Event Log Enabled"},
      {u"Active", u"", "Active"},
      {u"ABC", u"", "A B C"},
      {u"", u"", ""},
      {u"EventLogEnabled", u"Log", "Log"},
      {u"\u00C4rger\u00C4", u"", "\u00C4rger\u00C4"},
  };
  for (const Case& c : cases) {
    TqdBaseSetting setting;
    setting.SetName(c.name);
    setting.Set_Label(c.label);
    EXPECT_EQ(U8(setting._Label()), c.expected);
  }
}

TEST(SettingTest, BaseComponentConfigurationGivesTheDefaultBack) {
  TqdBaseComponentConfiguration config(nullptr);
  config.SetValue(u"A", TqdVariant(true));
  EXPECT_EQ(config.GetValue(u"A", TqdVariant(int32_t{7})).AsInt64(), 7);
}

// --- Session notifications -----------------------------------------------------

class Notifier : public TqdInterfacedObject, public IqdSessionNotifier {
 public:
  Notifier(std::vector<int>& aLog, int aId, bool aRaise = false) : fLog(aLog), fId(aId), fRaise(aRaise) {}
  void SessionDisconnected() override {
    fLog.push_back(fId);
    if (fOnCall) fOnCall();
    if (fRaise) throw Exception(qdString(u"notifier failed"));
  }
  std::vector<int>& fLog;
  int fId;
  bool fRaise;
  std::function<void()> fOnCall;
};

TEST(SessionNotificationsTest, EveryNotifierIsToldOnceInOrderDespiteFailures) {
  std::vector<int> log;
  auto n1 = qdMakeRef<Notifier>(log, 1);
  auto n2 = qdMakeRef<Notifier>(log, 2, true);
  auto n3 = qdMakeRef<Notifier>(log, 3);
  TqdSessionNotifications notifications;
  for (auto* n : {n1.Get(), n2.Get(), n3.Get()}) EXPECT_FALSE(qdIsZeroGuid(notifications.RegisterNotifier(n)));
  notifications.Disconnected();
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(notifications.Count(), 0);
  notifications.Disconnected();
  EXPECT_EQ(log.size(), 3u);
}

TEST(SessionNotificationsTest, UnregisteredNotifierIsNotToldAndSecondUnregisterDoesNothing) {
  std::vector<int> log;
  auto n1 = qdMakeRef<Notifier>(log, 1);
  auto n2 = qdMakeRef<Notifier>(log, 2);
  TqdSessionNotifications notifications;
  const TGUID c1 = notifications.RegisterNotifier(n1.Get());
  const TGUID c2 = notifications.RegisterNotifier(n2.Get());
  EXPECT_NE(c1, c2);
  notifications.UnregisterNotifier(c1);
  notifications.UnregisterNotifier(c1);
  TGUID nearMiss = c2;
  nearMiss.D4[7] ^= 1;
  notifications.UnregisterNotifier(nearMiss);
  notifications.UnregisterNotifier(TGUID{});
  EXPECT_EQ(notifications.Count(), 1);
  notifications.Disconnected();
  EXPECT_EQ(log, (std::vector<int>{2}));
}

TEST(SessionNotificationsTest, NilGivesTheZeroCookie) {
  TqdSessionNotifications notifications;
  EXPECT_TRUE(qdIsZeroGuid(notifications.RegisterNotifier(nullptr)));
  EXPECT_EQ(notifications.Count(), 0);
}

TEST(SessionNotificationsTest, NotifierMayUnregisterItselfOrAnotherWhileBeingTold) {
  std::vector<int> log;
  auto n1 = qdMakeRef<Notifier>(log, 1);
  auto n2 = qdMakeRef<Notifier>(log, 2);
  TqdSessionNotifications notifications;
  const TGUID c1 = notifications.RegisterNotifier(n1.Get());
  const TGUID c2 = notifications.RegisterNotifier(n2.Get());
  n1->fOnCall = [&] {
    notifications.UnregisterNotifier(c1);
    notifications.UnregisterNotifier(c2);
  };
  notifications.Disconnected();
  EXPECT_EQ(log, (std::vector<int>{1}));
}

TEST(SessionNotificationsTest, DestructionTellsTheRemainingNotifiersAndReleasesThem) {
  std::vector<int> log;
  auto held = qdMakeRef<Notifier>(log, 7);
  {
    TqdSessionNotifications notifications;
    (void)notifications.RegisterNotifier(held.Get());
    EXPECT_EQ(held->RefCount(), 2);
  }
  EXPECT_EQ(log, (std::vector<int>{7}));
  EXPECT_EQ(held->RefCount(), 1);
}

}  // namespace
}  // namespace qd
