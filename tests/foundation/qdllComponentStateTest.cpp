#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/qdllComponent.h"
#include "foundation/qdllStreams.h"
#include "tests/foundation/qdllComponentTestSupport.h"

namespace qd {
namespace {

using testing_support::MemoryLog;
using testing_support::Recorder;
using testing_support::U8;

using Journal = std::vector<std::string>;
using RecorderPtr = TqdComponentPtr<Recorder>;

RecorderPtr MakeRecorder(const qdString& aName, Journal* aJournal) {
  return RecorderPtr(new Recorder(nullptr, aName, aJournal));
}

// Keeps only the entries of one component (the prefix "A.").
Journal Of(const Journal& aJournal, const std::string& aName) {
  Journal result;
  for (const std::string& entry : aJournal)
    if (entry.rfind(aName + ".", 0) == 0) result.push_back(entry.substr(aName.size() + 1));
  return result;
}

TEST(StateTableTest, StepsFollowTheTables) {
  struct Case {
    TqdState from;
    TqdState to;
    std::vector<TqdState> path;
  };
  const Case cases[] = {
      {qdsInactive, qdsStarted, {qdsStopped, qdsStarted}},
      {qdsStarted, qdsInactive, {qdsStopped, qdsInactive}},
      {qdsStopped, qdsUnsupported, {qdsInactive, qdsUnsupported}},
      {qdsStarted, qdsUnsupported, {qdsStopped, qdsInactive, qdsUnsupported}},
      {qdsUnsupported, qdsStarted, {}},
      {qdsInactive, qdsStopped, {qdsStopped}},
  };
  for (const Case& c : cases) {
    std::vector<TqdState> path;
    TqdState at = c.from;
    for (int guard = 0; guard < 8 && at != c.to; ++guard) {
      const TqdState next = qdNextState(at, c.to);
      if (next == at) break;
      EXPECT_NE(qdStateTransition(at, next), qdstInvalid);
      path.push_back(at = next);
    }
    EXPECT_EQ(path, c.path) << int(c.from) << "->" << int(c.to);
  }
  EXPECT_TRUE(qdIsUpwardTransition(qdstInitializing));
  EXPECT_TRUE(qdIsUpwardTransition(qdstStarting));
  for (TqdStateTransition t : {qdstNone, qdstDeactivating, qdstStopping, qdstInvalid})
    EXPECT_FALSE(qdIsUpwardTransition(t));
}

class StateComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a = MakeRecorder(u"A", &journal);
    watcher = MakeRecorder(u"W", &journal);
    a->AddDependency(watcher.get());
    a->SetOnStateChanged([this](TqdComponent*) { ++stateChanged; });
    a->SetOnStateTransChanged([this](TqdComponent* aSender) {
      transitions.push_back(U8(qdStateTransitionText(static_cast<TqdStateComponent*>(aSender)->StateTransition())));
    });
  }
  void TearDown() override { EqdBaseException::SetLastConvertedException(0, u""); }

  // What the components record into outlives them.
  Journal journal;
  int stateChanged = 0;
  std::vector<std::string> transitions;
  RecorderPtr a;
  RecorderPtr watcher;
};

TEST_F(StateComponentTest, ActivatingInitializesThenStarts) {
  a->SetActive(true);
  EXPECT_EQ(a->State(), qdsStarted);
  EXPECT_TRUE(a->GetActive());
  EXPECT_EQ(Of(journal, "A"), (Journal{"DoInitialize", "EnteredStopped", "DoStart", "EnteredStarted"}));
  EXPECT_EQ(Of(journal, "W"), (Journal{"note 4 Inactive->Stopped from A", "note 5 Inactive->Stopped from A",
                                       "note 4 Stopped->Started from A", "note 5 Stopped->Started from A"}));
  EXPECT_EQ(stateChanged, 2);
  EXPECT_EQ(transitions, (std::vector<std::string>{"Initializing", "None", "Starting", "None"}));
  EXPECT_EQ(a->StateTransition(), qdstNone);
  EXPECT_NE(a->StartTime(), 0.0);
  EXPECT_TRUE(a->ActiveRuntime());
}

TEST_F(StateComponentTest, DeactivatingStopsThenDeactivates) {
  a->Open();
  journal.clear();
  a->Close();
  EXPECT_EQ(a->State(), qdsInactive);
  EXPECT_EQ(Of(journal, "A"), (Journal{"DoStop", "EnteredStopped", "DoDeactivate"}));
  EXPECT_EQ(a->StartTime(), 0.0);
  EXPECT_FALSE(a->ActiveRuntime());
}

TEST_F(StateComponentTest, UnsupportedIsEnteredFromBelowAndNeverLeft) {
  a->SetState(qdsStopped);
  journal.clear();
  a->SetState(qdsUnsupported);
  EXPECT_EQ(a->State(), qdsUnsupported);
  EXPECT_EQ(Of(journal, "A"), (Journal{"DoDeactivate"}));
  journal.clear();
  a->SetActive(true);
  a->SetActive(false);
  a->SetState(qdsInactive);
  EXPECT_EQ(a->State(), qdsUnsupported);
  EXPECT_TRUE(Of(journal, "A").empty());
}

TEST_F(StateComponentTest, DisabledComponentRefusesToGoUp) {
  a->Open();
  a->SetEnabled(false);
  EXPECT_EQ(a->State(), qdsInactive);
  try {
    a->Open();
    FAIL();
  } catch (const EqdStateComponentException& e) {
    EXPECT_EQ(U8(e.Message()), "QendoDB: A: The Component is disabled. [no error code]");
    EXPECT_EQ(U8(a->LastStartError()), U8(e.Message()));
  }
  EXPECT_EQ(a->State(), qdsInactive);
  a->SetEnabled(true);
  a->Open();
  EXPECT_EQ(a->State(), qdsStarted);
  EXPECT_TRUE(a->LastStartError().empty());
}

TEST_F(StateComponentTest, FailingStartIsUndoneLoggedAndRaised) {
  TqdComponentPtr<MemoryLog> log(new MemoryLog(nullptr));
  a->SetEventLog(log.get());
  a->SetEventLogEnabled(true);
  a->failIn = "DoStart";
  try {
    a->Open();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(U8(e.Message()), "boom");
  }
  EXPECT_EQ(Of(journal, "A"), (Journal{"DoInitialize", "EnteredStopped", "DoStart", "DoStop", "DoDeactivate"}));
  EXPECT_EQ(a->State(), qdsInactive);
  EXPECT_EQ(a->StateTransition(), qdstNone);
  EXPECT_EQ(U8(a->LastStartError()), "boom");
  ASSERT_EQ(log->lines.size(), 1u);
  EXPECT_EQ(log->lines[0].text, "Error while changing state (Stopped -> Started): Exception: boom");
  EXPECT_EQ(log->lines[0].priority, lpError);
  EXPECT_EQ(log->lines[0].number, qdeUnexpectedException);
  EXPECT_EQ(log->lines[0].category, "default");
  EXPECT_EQ(log->lines[0].bias, qdLogNoTimeBias);
  // The converted message is left for the thread.
  EqdBaseException pending(qdeUnexpectedException);
  EXPECT_NE(U8(pending.ErrorString()).find("Unexpected exception object raised: [Exception] boom"), std::string::npos);
}

TEST_F(StateComponentTest, FailingInitializationDeactivatesAndKeepsTheEngineCode) {
  TqdComponentPtr<MemoryLog> log(new MemoryLog(nullptr));
  a->SetEventLog(log.get());
  a->SetEventLogEnabled(true);
  a->failIn = "DoInitialize";
  a->raise = [] { throw EqdBaseException(qdeTableOpen); };
  EXPECT_THROW(a->SetState(qdsStopped), EqdBaseException);
  EXPECT_EQ(Of(journal, "A"), (Journal{"DoInitialize", "DoDeactivate"}));
  EXPECT_EQ(a->State(), qdsInactive);
  EXPECT_TRUE(a->LastStartError().empty());
  ASSERT_EQ(log->lines.size(), 1u);
  EXPECT_EQ(
      log->lines[0].text,
      "Error while changing state (Inactive -> Stopped): EqdBaseException: QendoDB: Table is open. [$272F/10031]");
  EXPECT_EQ(log->lines[0].number, qdeTableOpen);
}

TEST_F(StateComponentTest, FailuresOnTheWayDownAreSwallowed) {
  a->Open();
  a->failIn = "DoStop";
  journal.clear();
  EXPECT_NO_THROW(a->Close());
  EXPECT_EQ(a->State(), qdsInactive);
  EXPECT_EQ(Of(journal, "A"), (Journal{"DoStop", "DoDeactivate"}));
}

TEST_F(StateComponentTest, VetoStopsTheRequestQuietly) {
  watcher->vetoWith = [](TqdStateChangeRecord& r) {
    if (r.scrNewState == qdsStarted) throw EqdAbortStateChange();
  };
  EXPECT_NO_THROW(a->Open());
  EXPECT_EQ(a->State(), qdsStopped);
  watcher->vetoWith = [](TqdStateChangeRecord& r) { r.scrAllow = 0; };
  EXPECT_NO_THROW(a->Close());
  EXPECT_EQ(a->State(), qdsStopped);
  EXPECT_EQ(a->StateTransition(), qdstNone);
}

TEST_F(StateComponentTest, OtherExceptionOfADependentFailsTheStep) {
  watcher->vetoWith = [](TqdStateChangeRecord&) { throw Exception(qdString(u"dependent failed")); };
  EXPECT_THROW(a->Open(), Exception);
  EXPECT_EQ(a->State(), qdsInactive);
  EXPECT_EQ(U8(a->LastStartError()), "dependent failed");
}

TEST_F(StateComponentTest, StepInsideAStepOfTheSameComponentIsRefused) {
  bool nested = false;
  a->SetOnStateTransChanged([this, &nested](TqdComponent*) {
    if (a->StateTransition() == qdstInitializing && !nested) {
      nested = true;
      a->SetState(qdsStopped);
    }
  });
  EXPECT_THROW(a->Open(), EAssertionFailed);
  EXPECT_EQ(a->State(), qdsInactive);
}

TEST(StateDependencyTest, ComponentsFollowAlongTheirDependencies) {
  Journal journal;
  auto a = MakeRecorder(u"A", &journal);
  auto b = MakeRecorder(u"B", &journal);
  b->AddDependency(a.get());
  b->dependsOn = {a.get()};

  b->Open();
  EXPECT_EQ(a->State(), qdsStarted);
  Journal work;
  for (const std::string& entry : journal)
    if (entry.find(".Do") != std::string::npos) work.push_back(entry);
  EXPECT_EQ(work, (Journal{"A.DoInitialize", "B.DoInitialize", "A.DoStart", "B.DoStart"}));

  journal.clear();
  a->Close();
  EXPECT_EQ(b->State(), qdsInactive);
  work.clear();
  for (const std::string& entry : journal)
    if (entry.find(".Do") != std::string::npos) work.push_back(entry);
  EXPECT_EQ(work, (Journal{"B.DoStop", "A.DoStop", "B.DoDeactivate", "A.DoDeactivate"}));

  // Stopping B does not stop A: A does not depend on B.
  b->Open();
  b->Close();
  EXPECT_EQ(a->State(), qdsStarted);
}

TEST(StateDependencyTest, FailureOfTheComponentDependedOnFailsTheDependent) {
  Journal journal;
  auto a = MakeRecorder(u"A", &journal);
  auto b = MakeRecorder(u"B", &journal);
  b->AddDependency(a.get());
  b->dependsOn = {a.get()};
  a->failIn = "DoStart";
  EXPECT_THROW(b->Open(), Exception);
  EXPECT_EQ(a->State(), qdsInactive);
  EXPECT_EQ(b->State(), qdsInactive);
  EXPECT_EQ(U8(b->LastStartError()), "boom");
}

TEST(StateLifeTest, FreeingAStartedComponentTakesItDownWithItsOverrides) {
  Journal journal;
  auto* a = new Recorder(nullptr, u"A", &journal);
  auto watcher = MakeRecorder(u"W", &journal);
  a->AddDependency(watcher.get());
  a->Open();
  journal.clear();
  qdFreeAndNil(a);
  EXPECT_EQ(Of(journal, "A"), (Journal{"DoStop", "EnteredStopped", "DoDeactivate"}));
  EXPECT_TRUE(watcher->Dependents().empty());
}

TEST(StateLifeTest, ActiveRuntimeWaitsForLoaded) {
  Journal journal;
  auto a = MakeRecorder(u"A", &journal);
  a->BeginLoading();
  a->SetActiveRuntime(true);
  EXPECT_EQ(a->State(), qdsInactive);
  EXPECT_TRUE(a->ActiveRuntime());
  a->Loaded();
  EXPECT_EQ(a->State(), qdsStarted);
  a->SetActiveRuntime(false);
  EXPECT_EQ(a->State(), qdsInactive);
  a->failIn = "DoStart";
  EXPECT_THROW(a->SetActiveRuntime(true), Exception);
  EXPECT_FALSE(a->ActiveRuntime());
}

TEST(StateLifeTest, ChecksRaiseOrAdjustWhileUpdating) {
  Journal journal;
  auto a = MakeRecorder(u"A", &journal);
  struct Case {
    void (TqdStateComponent::*check)();
    TqdState from;
    const char* message;  // nullptr: passes
  };
  const Case cases[] = {
      {&TqdStateComponent::CheckInactive, qdsInactive, nullptr},
      {&TqdStateComponent::CheckInactive, qdsStopped,
       "QendoDB: A: This component must be inactive when performing this operation. [no error code]"},
      {&TqdStateComponent::CheckInactiveOrStopped, qdsStopped, nullptr},
      {&TqdStateComponent::CheckInactiveOrStopped, qdsStarted,
       "QendoDB: A: This component must be inactive or stopped when performing this operation. [no error code]"},
      {&TqdStateComponent::CheckStarted, qdsStarted, nullptr},
      {&TqdStateComponent::CheckStarted, qdsStopped,
       "QendoDB: A: This component must be started when performing this operation. [no error code]"},
  };
  for (const Case& c : cases) {
    a->SetState(c.from);
    if (c.message == nullptr) {
      EXPECT_NO_THROW((a.get()->*c.check)());
      continue;
    }
    try {
      (a.get()->*c.check)();
      ADD_FAILURE() << c.message;
    } catch (const EqdStateComponentException& e) {
      EXPECT_EQ(U8(e.Message()), c.message);
    }
  }
  a->Updating();
  a->SetState(qdsStarted);
  a->CheckInactiveOrStopped();
  EXPECT_EQ(a->State(), qdsStopped);
  a->CheckStarted();
  EXPECT_EQ(a->State(), qdsStarted);
  a->CheckInactive();
  EXPECT_EQ(a->State(), qdsInactive);
  a->Updated();
}

// --- Settings ------------------------------------------------------------------------

TEST(StateSettingsTest, StreamHoldsLogSwitchAndActivity) {
  Journal journal;
  auto e = MakeRecorder(u"E", &journal);
  e->Open();
  TqdAnsiStringStream stream;
  {
    TqdWriter writer(&stream);
    e->SaveSettingsToStream(writer);
  }
  // integer 1, "E", integer 1, EventLogEnabled (False), Active (True)
  EXPECT_EQ(stream.DataString(), qdAnsiString("\x02\x01\x06\x01"
                                              "E\x02\x01\x08\x09",
                                              9));

  auto loaded = MakeRecorder(u"E", &journal);
  TqdAnsiStringStream in(stream.DataString());
  {
    TqdReader reader(&in);
    loaded->LoadSettingsFromStream(reader);
  }
  EXPECT_EQ(loaded->State(), qdsInactive);
  EXPECT_EQ(loaded->SavedActive(), 1);
  loaded->SwitchToSavedActive();
  EXPECT_EQ(loaded->State(), qdsStarted);
  EXPECT_EQ(loaded->SavedActive(), 0);
}

TEST(StateSettingsTest, WrongVersionOfTheStateValuesIsRefused) {
  Journal journal;
  auto e = MakeRecorder(u"E", &journal);
  TqdAnsiStringStream stream;
  {
    TqdWriter writer(&stream);
    writer.WriteInteger(1);
    writer.WriteString(u"E");
    writer.WriteInteger(2);
  }
  TqdAnsiStringStream in(stream.DataString());
  TqdReader reader(&in);
  try {
    e->LoadSettingsFromStream(reader);
    FAIL();
  } catch (const EqdComponentException& x) {
    EXPECT_EQ(x.ErrorCode(), qdeIncompatibleStream);
    EXPECT_EQ(U8(x.Message()), "QendoDB: E: Incompatible stream [$3C8A/15498]");
  }
}

// A configuration that keeps values in memory.
class MemoryConfiguration : public TqdBaseComponentConfiguration {
 public:
  MemoryConfiguration() : TqdBaseComponentConfiguration(nullptr) {}
  void SetValue(const qdString& aName, const TqdVariant& aValue) override {
    names.push_back(U8(aName));
    values.push_back(aValue);
  }
  TqdVariant GetValue(const qdString& aName, const TqdVariant& aDefault) override {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == U8(aName)) return values[i];
    return aDefault;
  }
  std::vector<std::string> names;
  std::vector<TqdVariant> values;
};

// Settings list that owns what it is given.
class SettingsList : public TqdBaseSettings {
 public:
  ~SettingsList() override {
    for (TqdBaseSetting* s : items) delete s;
  }
  TqdBaseSetting* GetSetting(int32_t anIndex) override { return items.at(static_cast<size_t>(anIndex)); }
  void SetSetting(int32_t anIndex, TqdBaseSetting* aValue) override {
    delete items.at(static_cast<size_t>(anIndex));
    items[static_cast<size_t>(anIndex)] = aValue;
  }
  TqdBaseSetting* AddSetting(TqdBaseSetting* aSetting) override {
    items.push_back(aSetting);
    return aSetting;
  }
  void RemoveSetting(int32_t anIndex) override {
    delete items.at(static_cast<size_t>(anIndex));
    items.erase(items.begin() + anIndex);
  }
  int32_t Count() override { return static_cast<int32_t>(items.size()); }
  std::vector<TqdBaseSetting*> items;
};

TEST(StateSettingsTest, ConfigurationDescribesSavesAndLoadsTwoSwitches) {
  Journal journal;
  auto e = MakeRecorder(u"E", &journal);
  SettingsList settings;
  e->GetConfigSettings(&settings);
  ASSERT_EQ(settings.Count(), 2);
  const char* names[] = {"Active", "EventLogEnabled"};
  for (int32_t i = 0; i < 2; ++i) {
    TqdBaseSetting* s = settings.GetSetting(i);
    EXPECT_EQ(U8(s->Name()), names[i]);
    EXPECT_EQ(U8(s->PropertyName()), names[i]);
    EXPECT_EQ(s->SettingType(), qdstBoolean);
    EXPECT_EQ(U8(s->DefaultValue().AsString()), "false");
  }
  EXPECT_EQ(U8(settings.GetSetting(1)->_Label()), "Event Log Enabled");

  e->Open();
  e->SetEventLogEnabled(true);
  MemoryConfiguration config;
  e->SaveConfig(&config);
  EXPECT_EQ(config.names, (std::vector<std::string>{"EventLogEnabled", "Active"}));

  auto loaded = MakeRecorder(u"E", &journal);
  loaded->DoLoadConfig(&config);
  EXPECT_TRUE(loaded->GetEventLogEnabled());
  EXPECT_EQ(loaded->SavedActive(), 1);
  EXPECT_EQ(loaded->State(), qdsInactive);

  MemoryConfiguration textual;
  textual.SetValue(u"Active", TqdVariant(qdString(u"false")));
  loaded->LoadConfig(&textual);
  EXPECT_EQ(loaded->SavedActive(), 0);
}

TEST(StateDescriptionTest, DescriptionAddsStateAndStatisticsWhenShown) {
  Journal journal;
  auto e = MakeRecorder(u"E", &journal);
  e->Open();
  auto root = qdCreateExceptionDataContainer(u"R", nullptr);
  e->DescribeTo(root.Get());
  const std::string text = U8(root->ToString());
  EXPECT_NE(text.find("  State: Started\r\n  StateTransition: None\r\n"), std::string::npos) << text;
  std::vector<qdString> captions;
  e->GetStatsCaptions(captions);
  EXPECT_TRUE(captions.empty());
}

class ShowingStats : public Recorder {
 public:
  using Recorder::Recorder;
  bool ShowUptime() const override { return true; }
  bool ShowLastStartError() const override { return true; }
};

TEST(StateDescriptionTest, UptimeAndLastStartErrorWhenShown) {
  Journal journal;
  TqdComponentPtr<ShowingStats> e(new ShowingStats(nullptr, u"E", &journal));
  std::vector<qdString> captions;
  std::vector<qdString> values;
  e->GetStatsCaptions(captions);
  e->GetStatsValues(values);
  EXPECT_EQ(captions, (std::vector<qdString>{u"Uptime", u"Last Start Error"}));
  EXPECT_EQ(values, (std::vector<qdString>{u"", u""}));
  e->failIn = "DoStart";
  EXPECT_THROW(e->Open(), Exception);
  e->failIn.clear();
  values.clear();
  e->GetStatsValues(values);
  EXPECT_EQ(U8(values[1]), "boom");
  e->Open();
  values.clear();
  e->GetStatsValues(values);
  // Days, then hh:mm:ss; a test runs well within a minute.
  EXPECT_EQ(U8(values[0]).substr(0, 8), "0.00:00:");
  EXPECT_EQ(values[0].size(), 10u);
  EXPECT_TRUE(values[1].empty());
}

}  // namespace
}  // namespace qd
