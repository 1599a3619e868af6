// The server engine component: budgets, configuration and settings
// streams, statistics, the alias handler, sessions (aliases, passwords,
// locale), the fatal flag and the secure option.
#include "server/qdsrServerEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "foundation/qdllStreams.h"
#include "storage/qdsrFaultFileSystem.h"
#include "tests/server/qdsrServerTestSupport.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

// --- Budgets -----------------------------------------------------------------------------

TEST(ServerBudgetTest, MemoryBudgetFollowsThePhysicalMemory) {
  struct Case {
    uint64_t totalMB;
    int32_t maxRAM;
    int32_t expected;
  };
  const Case cases[] = {{8192, -1, 6144},   {2048, -1, 1024}, {3000, -1, 1500},
                        {32768, -1, 26215}, {8192, 0, 6144},  {8192, 700, 700}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.totalMB << " MB, MaxRAM " << c.maxRAM);
    ScopedMemory memory(c.totalMB);
    EXPECT_EQ(qdServerMemoryBudget(c.maxRAM), c.expected);
  }
}

TEST(ServerBudgetTest, TempStoreBudgetFollowsTheVolume) {
  TqdFaultFixture fixture;
  fixture.Fs().SetFreeSpace(int64_t(5000) * 3145728 + 100);
  EXPECT_EQ(qdServerTempStoreBudget(-1, 1024, u"/db"), 5000);
  // Ten times the memory budget at most.
  EXPECT_EQ(qdServerTempStoreBudget(-1, 100, u"/db"), 1000);
  // A third of the largest file at most.
  fixture.Fs().SetMaxFileSize(int64_t(30) * 3145728);
  EXPECT_EQ(qdServerTempStoreBudget(-1, 1024, u"/db"), 30);
  // 0 stays 0; a set value is taken as it is.
  EXPECT_EQ(qdServerTempStoreBudget(0, 1024, u"/db"), 0);
  EXPECT_EQ(qdServerTempStoreBudget(77, 1024, u"/db"), 77);
  // A volume whose free space cannot be asked gets no temporary storage.
  fixture.Fs().SetFreeSpace(0, EIO);
  EXPECT_EQ(qdServerTempStoreBudget(-1, 1024, u"/db"), 0);
}

TEST_F(ServerFixture, InitializingComputesTheBudgetsWithoutWritingThemBack) {
  ScopedMemory memory(3000);
  fEngine->SetMaxRAM(0);
  Start();
  EXPECT_EQ(fEngine->BudgetMaxRAM(), 1500);
  EXPECT_EQ(fEngine->MaxRAM(), 0);
  EXPECT_NE(fEngine->BufferManager(), nullptr);
  EXPECT_FALSE(fEngine->BudgetTempPath().empty());
  fEngine->SetActive(false);
  EXPECT_EQ(fEngine->BufferManager(), nullptr);
}

// --- Settings -------------------------------------------------------------------------------

TEST_F(ServerFixture, OptionsLoadFromTheBitmaskOrFromNames) {
  MemoryConfiguration bitmask;
  bitmask.Values[u"NewOptionsLogic"] = u"1";
  bitmask.Values[u"Options"] = u"160";
  fEngine->LoadConfig(&bitmask);
  EXPECT_EQ(fEngine->Options(), (TqdServerEngineOptions{seoIsSecure, seoCloseAllWhenInactive}));
  // A secure engine without an authenticating extender refuses everyone.
  Start();
  TqdAbstractSession* session = nullptr;
  EXPECT_EQ(fEngine->SessionOpenEx(session, u"u", u"p", u"", 1000, 47501), qdeUnknownUser);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(fEngine->SessionCount(), 0);
  fEngine->SetActive(false);

  MemoryConfiguration names;
  names.Values[u"OptionsCount"] = u"2";
  names.Values[u"Options1"] = u"seoReadOnly";
  names.Values[u"Options2"] = u"foo";
  fEngine->LoadConfig(&names);
  EXPECT_EQ(fEngine->Options(), (TqdServerEngineOptions{seoReadOnly}));
}

TEST_F(ServerFixture, SavingFewerOptionsEmptiesTheOldKeys) {
  MemoryConfiguration config;
  config.Values[u"OptionsCount"] = u"5";
  for (int n = 1; n <= 5; ++n) config.Values[u"Options" + qdIntToStr(n)] = u"old";
  fEngine->SetOptions({seoInMemOnly, seoKeepSessionStats});
  fEngine->SaveConfig(&config);
  EXPECT_EQ(config.Values[u"Options1"], u"seoInMemOnly");
  EXPECT_EQ(config.Values[u"Options2"], u"seoKeepSessionStats");
  for (int n = 3; n <= 5; ++n) EXPECT_EQ(config.Values[u"Options" + qdIntToStr(n)], u"");
  EXPECT_EQ(config.Values[u"OptionsCount"], u"2");
  EXPECT_EQ(config.Values[u"Options"], u"272");
  EXPECT_EQ(config.Values[u"NewOptionsLogic"], u"1");
  // And back.
  auto* other = qdCreate<TqdServerEngine>(nullptr);
  other->LoadConfig(&config);
  EXPECT_EQ(other->Options(), (TqdServerEngineOptions{seoInMemOnly, seoKeepSessionStats}));
  qdFreeAndNil(other);
}

// Writes the engine's settings with another version number.
class VersionTwoEngine : public TqdServerEngine {
 public:
  using TqdServerEngine::TqdServerEngine;
  void SaveSettingsToStream(TqdWriter& aWriter) override {
    TqdBaseServerEngine::SaveSettingsToStream(aWriter);
    aWriter.WriteInteger(2);
  }
};

TEST_F(ServerFixture, SettingsStreamsRoundTripAndRefuseOtherVersions) {
  fEngine->SetName(u"Engine");
  fEngine->SetServerName(u"Drill");
  fEngine->SetMaxRAM(512);
  fEngine->SetTempStoreSize(0);
  fEngine->SetTempStorePath(u"/var/tmp");
  fEngine->SetOptions({seoReadOnly, seoVerifyTableNames});
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    fEngine->SaveSettingsToStream(writer);
  }
  auto* copy = qdCreate<TqdServerEngine>(nullptr);
  copy->SetName(u"Engine");
  stream.SetPosition(0);
  {
    TqdReader reader(&stream);
    copy->LoadSettingsFromStream(reader);
  }
  EXPECT_EQ(copy->ServerName(), u"Drill");
  EXPECT_EQ(copy->MaxRAM(), 512);
  EXPECT_EQ(copy->TempStoreSize(), 0);
  EXPECT_EQ(copy->TempStorePath(), u"/var/tmp");
  EXPECT_EQ(copy->Options(), (TqdServerEngineOptions{seoReadOnly, seoVerifyTableNames}));

  auto* two = qdCreate<VersionTwoEngine>(nullptr);
  two->SetName(u"Engine");
  TqdMemoryStream bad(-1);
  {
    TqdWriter writer(&bad);
    two->SaveSettingsToStream(writer);
  }
  bad.SetPosition(0);
  TqdReader reader(&bad);
  EXPECT_EQ(CodeOf([&] { copy->LoadSettingsFromStream(reader); }), qdeIncompatibleStream);
  qdFreeAndNil(two);
  qdFreeAndNil(copy);
}

TEST_F(ServerFixture, PropertiesNeedAnInactiveEngineAndAValidExtension) {
  EXPECT_EQ(CodeOf([&] { fEngine->SetTableExtension(u""); }), qdeInvalidFileExt);
  EXPECT_EQ(CodeOf([&] { fEngine->SetTableExtension(u" qd"); }), qdeInvalidFileExt);
  EXPECT_EQ(CodeOf([&] { fEngine->SetTableExtension(u"q/d"); }), qdeInvalidFileExt);
  EXPECT_EQ(fEngine->TableExtension(), u"qd1");
  Start();
  EXPECT_THROW(fEngine->SetServerName(u"x"), EqdComponentException);
  EXPECT_EQ(fEngine->ServerName(), u"QendoDB");
}

TEST_F(ServerFixture, StatisticsFollowTheContractsRows) {
  std::vector<qdString> captions;
  std::vector<qdString> values;
  fEngine->GetStatsCaptions(captions);
  fEngine->GetStatsValues(values);
  ASSERT_EQ(captions.size(), values.size());
  const std::vector<qdString> tail = {u"Sessions",
                                      u"Databases",
                                      u"Transaction Contexts",
                                      u"Cursors",
                                      u"Statements",
                                      u"Executing Statements",
                                      u"Executed Statements",
                                      u"Active Folders",
                                      u"Inactive Folders",
                                      u"Active Tables",
                                      u"Inactive Tables"};
  // The block cache's rows follow (tests/server/qdsrServerBudgetsTest.cpp).
  const auto end = std::find(captions.begin(), captions.end(), u"Inactive Tables");
  ASSERT_NE(end, captions.end());
  ASSERT_GE(end - captions.begin() + 1, long(tail.size()));
  EXPECT_EQ(std::vector<qdString>(end + 1 - long(tail.size()), end + 1), tail);
}

// --- Aliases ---------------------------------------------------------------------------------

// Counts the "aliases changed" notifications that reach it.
class AliasListener : public TqdComponent {
 public:
  using TqdComponent::TqdComponent;
  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override {
    if (aOperation == 8) ++Changes;
    TqdComponent::HandleNotification(aSender, aOperation, aData);
  }
  int Changes = 0;
};

TEST_F(ServerFixture, AliasesThroughTheSession) {
  Start();
  TqdServerSession* session = OpenSession();
  auto* listener = qdCreate<AliasListener>(nullptr);
  listener->AddDependency(fEngine->AliasHandler());
  const qdString data = PathOf(fTemp.Path());
  EXPECT_EQ(session->AliasAdd(u"abc", data, false), 0u);
  EXPECT_EQ(listener->Changes, 1);
  EXPECT_EQ(session->AliasAdd(u"ABC", data, false), qdeNameNotUnique);
  EXPECT_EQ(session->AliasModify(u"abc", u"ABC", u"", false), qdeNameNotUnique);
  EXPECT_EQ(listener->Changes, 3);  // told whatever the result
  qdString path;
  EXPECT_EQ(session->AliasGetPath(u"ABC", path), 0u);
  EXPECT_EQ(path, data);
  EXPECT_EQ(session->AliasAdd(u"", data, false), qdeInvalidAliasName);
  EXPECT_EQ(session->AliasDelete(u""), qdeUnknownDb);
  EXPECT_EQ(session->AliasDelete(u"nope"), qdeUnknownDb);
  // Enforcing creates the folder and its parents; a file in the way fails.
  const std::filesystem::path deep = fTemp.Path() / "a" / "b" / "c";
  EXPECT_EQ(session->AliasAdd(u"deep", PathOf(deep), true), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  { std::ofstream(fTemp.File("file")) << "x"; }
  EXPECT_EQ(session->AliasAdd(u"blocked", PathOf(fTemp.File("file") / "sub"), true), qdeDirNoAccess);
  // Names the identifier rules refuse never leave the server.
  ASSERT_EQ(fEngine->AliasHandler()->Add(u"x y ", data, false), 0u);
  TqdAliasList list;
  EXPECT_EQ(session->AliasGetList(list), 0u);
  std::vector<qdString> names;
  for (const auto& entry : list) names.push_back(entry->adAlias);
  EXPECT_EQ(names, (std::vector<qdString>{u"abc", u"deep"}));
  EXPECT_EQ(session->AliasDelete(u"Deep"), 0u);
  EXPECT_EQ(listener->Changes, 7);
  qdFreeAndNil(listener);

  // Without a handler every alias operation says what it needs.
  fEngine->SetActive(false);
  TqdBaseAliasHandler* handler = fEngine->AliasHandler();
  fEngine->seSetAliasHandler(nullptr);
  Start();
  session = OpenSession();
  EXPECT_EQ(session->AliasAdd(u"abc", data, false), qdeNotSupported);
  EXPECT_EQ(LastMessage(), u"AliasAdd requires an AliasHandler");
  TqdAbstractDatabase* database = nullptr;
  EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"abc", nullptr, omReadWrite, smShared, 1000), qdeNotSupported);
  EXPECT_EQ(LastMessage(), u"AliasType = 'Name' requires an AliasHandler");
  fEngine->SetActive(false);
  fEngine->seSetAliasHandler(handler);
}

TEST(AliasHandlerTest, LoadingReportsInvalidNamesAndMissingFolders) {
  TempFolder temp;
  auto* handler = qdCreate<TqdSimpleAliasHandler>(nullptr);
  handler->SetName(u"Aliases");
  MemoryServerConfiguration server;
  MemoryConfiguration config(&server);
  const qdString existing = Utf8ToString(temp.Path().string());
  const qdString missing = Utf8ToString((temp.Path() / "gone").string());
  config.Values[u"Aliases"] = u"good=" + existing + u"; x y=" + existing + u";later=" + missing + u";mem=#m";
  handler->LoadConfig(&config);
  EXPECT_EQ(server.Errors(),
            u"ERROR: AliasName \" x y\" is not valid. Alias has not been activated in the server engine.\r\n"
            u"WARNING: Database folder for \"later\" does not exist: \"" +
                missing + u"\"\r\n");
  EXPECT_TRUE(handler->IsAlias(u"good"));
  EXPECT_TRUE(handler->IsAlias(u"later"));  // kept despite the warning
  EXPECT_TRUE(handler->IsAlias(u"mem"));
  EXPECT_FALSE(handler->IsAlias(u" x y"));
  // Saving and loading again gives the same list.
  MemoryConfiguration saved;
  handler->SaveConfig(&saved);
  auto* copy = qdCreate<TqdSimpleAliasHandler>(nullptr);
  copy->LoadConfig(&saved);
  qdString path;
  EXPECT_EQ(copy->GetPath(u"LATER", path), 0u);
  EXPECT_EQ(path, missing);
  // The stream form too.
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    handler->SaveSettingsToStream(writer);
  }
  auto* third = qdCreate<TqdSimpleAliasHandler>(nullptr);
  third->SetName(u"Aliases");
  stream.SetPosition(0);
  {
    TqdReader reader(&stream);
    third->LoadSettingsFromStream(reader);
  }
  TqdAliasList list;
  EXPECT_EQ(third->GetList(list), 0u);
  EXPECT_EQ(list.size(), 3u);
  qdFreeAndNil(third);
  qdFreeAndNil(copy);
  qdFreeAndNil(handler);
}

// --- Passwords and the locale ------------------------------------------------------------------

TEST_F(ServerFixture, PasswordsAreExactAndUnique) {
  Start();
  TqdServerSession* session = OpenSession();
  EXPECT_EQ(session->PasswordAdd(u""), qdeInvalidParam);
  EXPECT_EQ(session->PasswordAdd(u"Secret"), 0u);
  EXPECT_EQ(session->PasswordAdd(u"Secret"), qdeNameNotUnique);
  EXPECT_EQ(session->PasswordAdd(u"secret"), 0u);
  EXPECT_EQ(session->PasswordRemove(u"other"), qdeObjNotFound);
  EXPECT_EQ(session->PasswordRemove(u""), qdeInvalidParam);
  TqdUnicodeStrings passwords;
  session->ssBuildPasswords(u"", u"t", passwords, u"given");
  EXPECT_EQ(passwords, (TqdUnicodeStrings{u"Secret", u"secret", u"given"}));
  EXPECT_EQ(session->PasswordRemove(u"Secret"), 0u);
  EXPECT_EQ(session->Passwords(), (std::vector<qdString>{u"secret"}));
  EXPECT_EQ(session->PasswordRemoveAll(), 0u);
  EXPECT_TRUE(session->Passwords().empty());
}

TEST_F(ServerFixture, TheDefaultLocaleIsLookedAtOnce) {
  Start();
  TqdServerSession* session = OpenSession();
  ASSERT_EQ(session->OptionSet(u"SQL_DEFAULT_LOCALE", u"1041"), 0u);
  TqdLocaleDescriptor* locale = session->GetClientDefaultLocale();
  ASSERT_NE(locale, nullptr);
  EXPECT_EQ(locale->Locale(), 1041u);
  EXPECT_TRUE(locale->ldIsDefaultStringLiteralLocale);
  for (const char16_t* value : {u"abc", u"0"}) {
    TqdServerSession* other = OpenSession();
    ASSERT_EQ(other->OptionSet(u"SQL_DEFAULT_LOCALE", value), 0u);
    EXPECT_EQ(other->GetClientDefaultLocale(), nullptr);
    ASSERT_EQ(other->OptionSet(u"SQL_DEFAULT_LOCALE", u"1041"), 0u);
    EXPECT_EQ(other->GetClientDefaultLocale(), nullptr);  // never looked at again
  }
  EXPECT_EQ(session->GetRegisteredClassList(static_cast<TqdClassListType>(99), *std::make_unique<TqdStringList>()),
            qdeObjNotFound);
}

TEST_F(ServerFixture, AFatalErrorStopsNewSessions) {
  Start();
  qdSetFatalError();
  TqdAbstractSession* session = nullptr;
  EXPECT_EQ(fEngine->SessionOpenEx(session, u"u", u"", u"", 1000, 47501), qdeTransCorrupt);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(LastMessage(), kFatalErrorMessage);
  qdFaultClearFatalError();
  EXPECT_EQ(fEngine->SessionOpenEx(session, u"u", u"", u"", 1000, 47501), 0u);
}

}  // namespace
}  // namespace qd::test
