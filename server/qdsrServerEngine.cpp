#include "server/qdsrServerEngine.h"

#include <sys/random.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "platform/qdMemoryStatus.h"
#include "server/qdsrServerFolder.h"
#include "server/qdsrServerSession.h"
#include "server/qdsrTimeoutHandling.h"
#include "storage/qdsrFilePosix.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

namespace {

const char16_t* const kOptionNames[kServerEngineOptionCount] = {
    u"seoReadOnly", u"seoForceFailSafe",    u"seoCloseInactiveFolders", u"seoCloseInactiveTables", u"seoInMemOnly",
    u"seoIsSecure", u"seoVerifyTableNames", u"seoCloseAllWhenInactive", u"seoKeepSessionStats"};

constexpr int32_t kMaxInactiveFolders = 16;
// 2/3 of a day.
constexpr uint64_t kFolderIdleMs = 16ull * 60 * 60 * 1000;
constexpr int kCloseTablesAttempts = 21;

char16_t asciiUpper(char16_t aChar) { return aChar >= u'a' && aChar <= u'z' ? char16_t(aChar - 32) : aChar; }

qdString trimmed(const qdString& aText) {
  size_t first = 0;
  size_t last = aText.size();
  while (first < last && aText[first] <= u' ') ++first;
  while (last > first && aText[last - 1] <= u' ') --last;
  return aText.substr(first, last - first);
}

TqdBaseSetting* newSetting(const char16_t* aName, TqdSettingType aType, TqdVariant aDefault) {
  auto* setting = new TqdBaseSetting;
  setting->SetName(aName);
  setting->SetPropertyName(aName);
  setting->SetSettingType(aType);
  setting->SetDefaultValue(std::move(aDefault));
  return setting;
}

}  // namespace

qdString qdServerEngineOptionName(int aOrdinal) {
  return aOrdinal >= 0 && aOrdinal < kServerEngineOptionCount ? qdString(kOptionNames[aOrdinal]) : qdString();
}

int qdServerEngineOptionByName(qdStringView aName) {
  for (int i = 0; i < kServerEngineOptionCount; ++i)
    if (aName == kOptionNames[i]) return i;
  return -1;
}

// --- Budgets ---------------------------------------------------------------------------

int32_t qdServerMemoryBudget(int32_t aMaxRAM) {
  if (aMaxRAM >= 1) return aMaxRAM;
  TqdMemoryStatus status;
  const int64_t total = qdGetMemoryStatus(status) ? int64_t(status.TotalPhys / 1048576u) : 0;
  const int64_t budget = std::max(total / 2, total - std::max<int64_t>(2048, total / 5));
  return int32_t(std::min<int64_t>(budget, INT32_MAX));
}

int32_t qdServerTempStoreBudget(int32_t aTempStoreSize, int32_t aBudget, const qdString& aTempPath) {
  if (aTempStoreSize >= 0) return aTempStoreSize;
  int64_t available = 0;
  if (qdFileSystem().FreeSpace(StringToUtf8(aTempPath), available) != 0) return 0;
  constexpr int64_t kUnit = 3145728;
  int64_t maxFile = qdCalcMaxFileSize(aTempPath);
  if (maxFile <= 0) maxFile = INT64_MAX;
  const int64_t budget = std::min(maxFile / kUnit, std::min(int64_t(10) * aBudget, available / kUnit));
  return int32_t(std::clamp<int64_t>(budget, 0, INT32_MAX));
}

// --- Alias handlers -------------------------------------------------------------------

const TqdComponentClass TqdBaseAliasHandler::ClassInfo{
    {u"TqdBaseAliasHandler", &TqdComponent::ClassInfo}, nullptr, nullptr};
const TqdComponentClass TqdSimpleAliasHandler::ClassInfo{{u"TqdSimpleAliasHandler", &TqdBaseAliasHandler::ClassInfo},
                                                         &TqdComponent::CreateInstance<TqdSimpleAliasHandler>,
                                                         nullptr};

bool TqdBaseAliasHandler::IsAlias(const qdString& aAlias) {
  qdString path;
  return GetPath(aAlias, path) == 0;
}

bool TqdSimpleAliasHandler::TqdAliasLess::operator()(const qdString& aLeft, const qdString& aRight) const {
  const size_t count = std::min(aLeft.size(), aRight.size());
  for (size_t i = 0; i < count; ++i) {
    const char16_t a = asciiUpper(aLeft[i]);
    const char16_t b = asciiUpper(aRight[i]);
    if (a != b) return a < b;
  }
  return aLeft.size() < aRight.size();
}

TqdResult TqdSimpleAliasHandler::EnforceFolder(const qdString& aPath) {
  std::error_code error;
  const std::filesystem::path path(StringToUtf8(aPath));
  if (std::filesystem::is_directory(path, error)) return 0;
  std::filesystem::create_directories(path, error);
  if (error || !std::filesystem::is_directory(path, error)) return qdeDirNoAccess;
  return 0;
}

void TqdSimpleAliasHandler::Clear() {
  TqdPadlockGuard guard(sahLock);
  sahList.clear();
}

TqdResult TqdSimpleAliasHandler::AddLocked(const qdString& aAlias, const qdString& aPath, bool aEnforce) {
  if (sahList.count(aAlias) != 0) return qdeNameNotUnique;
  if (aEnforce) {
    const TqdResult result = EnforceFolder(aPath);
    if (result != 0) return result;
  }
  sahList.emplace(aAlias, aPath);
  return 0;
}

TqdResult TqdSimpleAliasHandler::Add(const qdString& aAlias, const qdString& aPath, bool aEnforce) {
  TqdPadlockGuard guard(sahLock);
  return AddLocked(aAlias, aPath, aEnforce);
}

TqdResult TqdSimpleAliasHandler::Delete(const qdString& aAlias) {
  TqdPadlockGuard guard(sahLock);
  return sahList.erase(aAlias) == 1 ? 0 : qdeUnknownDb;
}

TqdResult TqdSimpleAliasHandler::Modify(const qdString& aAlias, const qdString& aNewName, const qdString& aNewPath,
                                        bool aEnforce) {
  TqdPadlockGuard guard(sahLock);
  auto it = sahList.find(aAlias);
  qdString path = aNewPath;
  if (path.empty()) {
    if (it == sahList.end()) return qdeUnknownDb;
    path = it->second;
  }
  if (!aNewName.empty() && aNewName != aAlias) {
    // The case-sensitive test sees a new name; the list, ignoring case,
    // may already hold it (renaming "abc" to "ABC" is refused).
    if (sahList.count(aNewName) != 0) return qdeNameNotUnique;
    if (it == sahList.end()) return qdeUnknownDb;
    sahList.erase(it);
    return AddLocked(aNewName, path, aEnforce);
  }
  if (it == sahList.end()) return qdeUnknownDb;
  if (aEnforce) {
    const TqdResult result = EnforceFolder(path);
    if (result != 0) return result;
  }
  it->second = path;
  return 0;
}

TqdResult TqdSimpleAliasHandler::GetList(TqdAliasList& aList) {
  TqdPadlockGuard guard(sahLock);
  for (const auto& entry : sahList) {
    auto descriptor = std::make_unique<TqdAliasDescriptor>();
    descriptor->adAlias = entry.first;
    descriptor->adPath = entry.second;
    aList.push_back(std::move(descriptor));
  }
  return 0;
}

TqdResult TqdSimpleAliasHandler::GetPath(const qdString& aAlias, qdString& aPath) {
  TqdPadlockGuard guard(sahLock);
  auto it = sahList.find(aAlias);
  if (it == sahList.end()) return qdeUnknownDb;
  aPath = it->second;
  return 0;
}

void TqdSimpleAliasHandler::GetConfigSettings(TqdBaseSettings* aSettings) {
  TqdBaseAliasHandler::GetConfigSettings(aSettings);
  aSettings->AddSetting(newSetting(u"Aliases", qdstAliases, TqdVariant(qdString())));
}

void TqdSimpleAliasHandler::SaveConfig(TqdBaseComponentConfiguration* aConfig) {
  TqdBaseAliasHandler::SaveConfig(aConfig);
  TqdAliasList list;
  (void)GetList(list);  // the simple handler's list cannot fail
  qdString text;
  for (const auto& entry : list) text += entry->adAlias + u"=" + entry->adPath + u";";
  aConfig->SetValue(u"Aliases", TqdVariant(text));
}

void TqdSimpleAliasHandler::LoadConfig(TqdBaseComponentConfiguration* aConfig) {
  TqdBaseAliasHandler::LoadConfig(aConfig);
  const qdString text = aConfig->GetValue(u"Aliases", TqdVariant(qdString())).AsString();
  Clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u';', start);
    if (end == qdString::npos) end = text.size();
    const qdString line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const size_t equals = line.find(u'=');
    const qdString name = equals == qdString::npos ? line : line.substr(0, equals);
    const qdString path = equals == qdString::npos ? qdString() : line.substr(equals + 1);
    TqdBaseServerConfiguration* config = aConfig->Config();
    if (qdCheckIdentifier(name, qdeInvalidAliasName, false, true) != 0) {
      if (config != nullptr) {
        config->AddError(u"ERROR: AliasName \"" + name +
                         u"\" is not valid. Alias has not been activated in the server engine.\r\n");
      }
      continue;
    }
    if (!path.empty() && path[0] != u'#') {
      TqdFileAttributesInfo info;
      if ((qdFileSystem().Attributes(StringToUtf8(path), info) != 0 || !info.faIsFolder) && config != nullptr) {
        config->AddError(u"WARNING: Database folder for \"" + name + u"\" does not exist: \"" + path + u"\"\r\n");
      }
    }
    (void)Add(name, path, false);  // a duplicate of an earlier line keeps the earlier one
  }
}

void TqdSimpleAliasHandler::SaveSettingsToStream(TqdWriter& aWriter) {
  TqdBaseAliasHandler::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(1);
  TqdAliasList list;
  (void)GetList(list);  // the simple handler's list cannot fail
  aWriter.WriteListBegin();
  for (size_t i = list.size(); i-- > 0;) {
    aWriter.WriteString(list[i]->adAlias);
    aWriter.WriteString(list[i]->adPath);
  }
  aWriter.WriteListEnd();
}

void TqdSimpleAliasHandler::LoadSettingsFromStream(TqdReader& aReader) {
  TqdBaseAliasHandler::LoadSettingsFromStream(aReader);
  Clear();
  if (aReader.ReadInteger() != 1) throw EqdComponentException(this, qdeIncompatibleStream);
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const qdString alias = aReader.ReadString();
    const qdString path = aReader.ReadString();
    (void)Add(alias, path, false);  // a duplicate name keeps the first
  }
  aReader.ReadListEnd();
}

// --- The engine -----------------------------------------------------------------------

const TqdComponentClass TqdServerEngine::ClassInfo{{u"TqdServerEngine", &TqdBaseServerEngine::ClassInfo},
                                                   &TqdComponent::CreateInstance<TqdServerEngine>,
                                                   &qdRaiseComponentExceptionOf<EqdServerEngineException>};

TqdServerEngine::TqdServerEngine(TqdComponent* aOwner) : TqdBaseServerEngine(aOwner) {
  if (getrandom(&seServerGuid, sizeof(seServerGuid), 0) != ssize_t(sizeof(seServerGuid))) seServerGuid = TGUID{};
  seOwnAliasHandler = seCreateAliasHandler();
  seSetAliasHandler(seOwnAliasHandler);
}

void TqdServerEngine::BeforeDestruction() {
  TqdBaseServerEngine::BeforeDestruction();
  if (seAliasHandler != nullptr) RemoveDependency(seAliasHandler);
  seAliasHandler = nullptr;
  if (seSqlEngine != nullptr) RemoveDependency(seSqlEngine);
  seSqlEngine = nullptr;
}

TqdServerEngine::~TqdServerEngine() {
  TqdComponent* handler = seOwnAliasHandler;
  seOwnAliasHandler = nullptr;
  qdFreeAndNil(handler);
}

void TqdServerEngine::SetServerName(const qdString& aValue) {
  CheckInactive();
  seServerName = aValue;
}

void TqdServerEngine::SetMaxRAM(int32_t aValue) {
  if (aValue == seMaxRAM) return;
  CheckInactive();
  seMaxRAM = aValue;
}

void TqdServerEngine::SetTempStorePath(const qdString& aValue) {
  if (aValue == seTempStorePath) return;
  CheckInactive();
  seTempStorePath = aValue;
}

void TqdServerEngine::SetTempStoreSize(int32_t aValue) {
  if (aValue == seTempStoreSize) return;
  CheckInactive();
  seTempStoreSize = aValue;
}

void TqdServerEngine::SetOptions(TqdServerEngineOptions aValue) {
  CheckInactive();
  seOptions = aValue;
}

void TqdServerEngine::SetTableExtension(const qdString& aValue) {
  if (aValue == seTableExtension) return;
  CheckInactive();
  const TqdResult result = qdCheckIdentifier(aValue, qdeInvalidFileExt, false, true);
  if (result != 0) RaiseComponentError(result);
  seTableExtension = aValue;
}

void TqdServerEngine::SetSqlEngine(TqdBaseSqlEngine* aValue) {
  if (aValue == seSqlEngine) return;
  CheckInactive();
  if (seSqlEngine != nullptr) RemoveDependency(seSqlEngine);
  seSqlEngine = aValue;
  if (seSqlEngine != nullptr) AddDependency(seSqlEngine);
}

void TqdServerEngine::seSetAliasHandler(TqdBaseAliasHandler* aHandler) {
  if (aHandler == seAliasHandler) return;
  CheckInactive();
  if (seAliasHandler != nullptr) RemoveDependency(seAliasHandler);
  seAliasHandler = aHandler;
  if (seAliasHandler != nullptr) {
    seAliasHandler->SetDisplayName(u"Aliases");
    AddDependency(seAliasHandler);
  }
}

TqdBaseAliasHandler* TqdServerEngine::seCreateAliasHandler() { return qdCreate<TqdSimpleAliasHandler>(nullptr); }

void TqdServerEngine::SetName(const qdString& aName) {
  TqdBaseServerEngine::SetName(aName);
  if (seAliasHandler != nullptr) seAliasHandler->SetName(aName.empty() ? qdString() : aName + u"_AliasHandler");
}

void TqdServerEngine::HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) {
  if (aOperation == qdnoFree && aSender != nullptr &&
      (aSender == seAliasHandler || aSender == static_cast<TqdComponent*>(seSqlEngine))) {
    SetActive(false);
    if (aSender == seAliasHandler) {
      seAliasHandler = nullptr;
      if (aSender == seOwnAliasHandler) seOwnAliasHandler = nullptr;
    } else {
      seSqlEngine = nullptr;
    }
  }
  TqdBaseServerEngine::HandleNotification(aSender, aOperation, aData);
}

bool TqdServerEngine::DependsOn(TqdComponent* aComponent) {
  if (aComponent != nullptr && aComponent == static_cast<TqdComponent*>(seSqlEngine)) return true;
  return TqdBaseServerEngine::DependsOn(aComponent);
}

void TqdServerEngine::GetConfigSettings(TqdBaseSettings* aSettings) {
  TqdBaseServerEngine::GetConfigSettings(aSettings);
  aSettings->AddSetting(newSetting(u"ServerName", qdstString, TqdVariant(qdString(u"QendoDB"))));
  TqdBaseSetting* maxRam = aSettings->AddSetting(newSetting(u"MaxRam", qdstInteger, TqdVariant(int32_t(-1))));
  maxRam->SetMin(TqdVariant(int32_t(-1)));
  maxRam->SetMax(TqdVariant(int32_t(131072)));
  TqdBaseSetting* tempSize = aSettings->AddSetting(newSetting(u"TempStoreSize", qdstInteger, TqdVariant(int32_t(-1))));
  tempSize->SetMin(TqdVariant(int32_t(-1)));
  aSettings->AddSetting(newSetting(u"TempStorePath", qdstString, TqdVariant(qdString())));
  TqdBaseSetting* journal =
      aSettings->AddSetting(newSetting(u"JournalEngineClass", qdstString, TqdVariant(qdString())));
  journal->SetValueList(u"Tqd1xRollbackJournalEngine,Tqd1xJournalEngine,Tqd1xCommitJournalEngine");
  journal->SetEnforceValues(true);
  TqdBaseSetting* options = aSettings->AddSetting(newSetting(u"Options", qdstMultiOption, TqdVariant(qdString())));
  options->SetValueList(
      u"ReadOnly,ForceFailSafe,CloseInactiveFolders,CloseInactiveTables,InMemOnly,IsSecure,VerifyTableNames,"
      u"CloseAllWhenInactive,KeepSessionStats");
  TqdBaseSetting* active = aSettings->AddSetting(newSetting(u"ActiveOptions", qdstCaption, TqdVariant(qdString())));
  active->Set_Label(u"Active Options");
  aSettings->AddSetting(newSetting(u"ServerEngine Version", qdstCaption, TqdVariant(Version())));
}

void TqdServerEngine::LoadConfig(TqdBaseComponentConfiguration* aConfig) {
  TqdBaseServerEngine::LoadConfig(aConfig);
  SetServerName(aConfig->GetValue(u"ServerName", TqdVariant(seServerName)).AsString());
  SetMaxRAM(aConfig->GetValue(u"MaxRAM", TqdVariant(seMaxRAM)).AsInteger());
  SetTempStorePath(aConfig->GetValue(u"TempStorePath", TqdVariant(seTempStorePath)).AsString());
  SetTempStoreSize(aConfig->GetValue(u"TempStoreSize", TqdVariant(seTempStoreSize)).AsInteger());
  const TqdJournalEngineClass* current = qdJournalEngineClass.load();
  const qdString journalName =
      aConfig->GetValue(u"JournalEngineClass", TqdVariant(qdString(current != nullptr ? current->jecClassName : u"")))
          .AsString();
  if (const TqdJournalEngineClass* type = qdFindJournalEngineClass(journalName)) qdJournalEngineClass.store(type);
  TqdServerEngineOptions options;
  const int32_t count = aConfig->GetValue(u"OptionsCount", TqdVariant(int32_t(0))).AsInteger();
  const int32_t newLogic = aConfig->GetValue(u"NewOptionsLogic", TqdVariant(int32_t(0))).AsInteger();
  if (newLogic == 1) {
    const int32_t bits = aConfig->GetValue(u"Options", TqdVariant(int32_t(0))).AsInteger();
    for (int i = 0; i < kServerEngineOptionCount; ++i)
      if ((bits >> i) & 1) options.Include(TqdServerEngineOption(i));
  } else {
    for (int32_t n = 1; n <= count; ++n) {
      const qdString name = aConfig->GetValue(u"Options" + qdIntToStr(n), TqdVariant(qdString())).AsString();
      const int ordinal = qdServerEngineOptionByName(name);
      if (ordinal >= 0) options.Include(TqdServerEngineOption(ordinal));
    }
  }
  SetOptions(options);
}

void TqdServerEngine::SaveConfig(TqdBaseComponentConfiguration* aConfig) {
  TqdBaseServerEngine::SaveConfig(aConfig);
  aConfig->SetValue(u"ServerName", TqdVariant(seServerName));
  aConfig->SetValue(u"MaxRAM", TqdVariant(seMaxRAM));
  aConfig->SetValue(u"TempStorePath", TqdVariant(seTempStorePath));
  aConfig->SetValue(u"TempStoreSize", TqdVariant(seTempStoreSize));
  const TqdJournalEngineClass* journal = qdJournalEngineClass.load();
  aConfig->SetValue(u"JournalEngineClass", TqdVariant(qdString(journal != nullptr ? journal->jecClassName : u"")));
  const int32_t oldCount = aConfig->GetValue(u"OptionsCount", TqdVariant(int32_t(0))).AsInteger();
  for (int32_t n = 1; n <= oldCount; ++n) aConfig->SetValue(u"Options" + qdIntToStr(n), TqdVariant(qdString()));
  int32_t n = 0;
  int32_t bits = 0;
  for (int i = 0; i < kServerEngineOptionCount; ++i) {
    if (!seOptions.Contains(TqdServerEngineOption(i))) continue;
    aConfig->SetValue(u"Options" + qdIntToStr(++n), TqdVariant(qdString(kOptionNames[i])));
    bits |= 1 << i;
  }
  aConfig->SetValue(u"OptionsCount", TqdVariant(n));
  aConfig->SetValue(u"Options", TqdVariant(bits));
  aConfig->SetValue(u"NewOptionsLogic", TqdVariant(int32_t(1)));
  aConfig->SetValue(u"ServerEngine Version", TqdVariant(Version()));
}

void TqdServerEngine::SaveSettingsToStream(TqdWriter& aWriter) {
  TqdBaseServerEngine::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(1);
  aWriter.WriteString(seServerName);
  aWriter.WriteInteger(seMaxRAM);
  aWriter.WriteInteger(seTempStoreSize);
  aWriter.WriteString(seTempStorePath);
  const TqdJournalEngineClass* journal = qdJournalEngineClass.load();
  aWriter.WriteString(journal != nullptr ? qdString(journal->jecClassName) : qdString());
  aWriter.WriteListBegin();
  for (int i = 0; i < kServerEngineOptionCount; ++i)
    if (seOptions.Contains(TqdServerEngineOption(i))) aWriter.WriteString(kOptionNames[i]);
  aWriter.WriteListEnd();
}

void TqdServerEngine::LoadSettingsFromStream(TqdReader& aReader) {
  TqdBaseServerEngine::LoadSettingsFromStream(aReader);
  if (aReader.ReadInteger() != 1) throw EqdComponentException(this, qdeIncompatibleStream);
  SetServerName(aReader.ReadString());
  SetMaxRAM(aReader.ReadInteger());
  SetTempStoreSize(aReader.ReadInteger());
  SetTempStorePath(aReader.ReadString());
  const qdString journalName = aReader.ReadString();
  if (!journalName.empty()) {
    const TqdJournalEngineClass* type = qdFindJournalEngineClass(journalName);
    if (type == nullptr)
      throw EqdComponentException(this, qdeSubEngineNotSupported, u"Class %s not found", {journalName});
    qdJournalEngineClass.store(type);
  }
  TqdServerEngineOptions options;
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const int ordinal = qdServerEngineOptionByName(aReader.ReadString());
    if (ordinal >= 0) options.Include(TqdServerEngineOption(ordinal));
  }
  aReader.ReadListEnd();
  SetOptions(options);
}

void TqdServerEngine::GetStatsCaptions(std::vector<qdString>& aList) const {
  TqdBaseServerEngine::GetStatsCaptions(aList);
  for (const char16_t* caption : {u"Executing Statements", u"Executed Statements", u"Active Folders",
                                  u"Inactive Folders", u"Active Tables", u"Inactive Tables"})
    aList.emplace_back(caption);
  TqdStringList cacheRows;
  {
    TqdPadlockGuard guard(seBufferManagerPadlock);
    if (seBufferManager) seBufferManager->GetStatsCaptions(cacheRows);
  }
  // The captions do not depend on a running cache; an idle one names them.
  if (cacheRows.Count() == 0) TqdBufferManager(qdString()).GetStatsCaptions(cacheRows);
  for (int32_t i = 0; i < cacheRows.Count(); ++i) aList.push_back(cacheRows.Strings(i));
}

void TqdServerEngine::GetStatsValues(std::vector<qdString>& aList) const {
  TqdBaseServerEngine::GetStatsValues(aList);
  const int32_t inactiveFolders = seInactiveFoldersCount.load();
  for (int32_t value : {seExecutingStatements.load(), seExecutedStatements.load(),
                        seFolderCount.load() - inactiveFolders, inactiveFolders, seTableCount.load(), 0})
    aList.push_back(qdIntToStr(value));
  TqdStringList cacheRows;
  {
    TqdPadlockGuard guard(seBufferManagerPadlock);
    if (seBufferManager)
      seBufferManager->GetStatsValues(cacheRows);
    else
      TqdBufferManager::GetStatsValuesStatic(cacheRows);
  }
  for (int32_t i = 0; i < cacheRows.Count(); ++i) aList.push_back(cacheRows.Strings(i));
}

qdString TqdServerEngine::GetDisplayOnlyValue(const qdString& aValueName) const {
  if (qdSameClassName(aValueName, u"ActiveOptions")) return u"SecureServer, QD_PROTECT_SERVER_ON_CRITICAL_ERROR";
  if (qdSameClassName(aValueName, u"ServerEngine Version")) return Version();
  return TqdBaseServerEngine::GetDisplayOnlyValue(aValueName);
}

void TqdServerEngine::bseRaise(TqdResult aErrorCode) { RaiseComponentError(aErrorCode); }

HRESULT TqdServerEngine::bseCreateInstanceFor(TqdAbstractSession* aSession, const qdString& aName,
                                              const TGUID& aClassID, const TGUID& aInterfaceID,
                                              TqdRef<IqdInterface>& aInterface) {
  if (qdSameClassName(aName, u"<AliasHandler>")) {
    if (seAliasHandler == nullptr) return E_NOINTERFACE;
    return seAliasHandler->qdcCreateInstance(aSession, aClassID, nullptr, aInterfaceID, aInterface);
  }
  if (qdSameClassName(aName, u"<Registry>")) {
    aInterface = nullptr;
    return E_NOTIMPL;
  }
  return TqdBaseServerEngine::bseCreateInstanceFor(aSession, aName, aClassID, aInterfaceID, aInterface);
}

void TqdServerEngine::bseLastSessionClosed() {
  TqdBaseServerEngine::bseLastSessionClosed();
  if (!seOptions.Contains(seoCloseAllWhenInactive)) return;
  (void)seCloseInactiveTables();   // busy lists are left to the cleanup thread
  (void)seCloseInactiveFolders();  // its errors went to the engine's log
}

TqdResult TqdServerEngine::SessionOpenEx(TqdAbstractSession*& aSession, const qdString& aUserName,
                                         const qdString& aPassword, const qdString& aConnectedFrom, uint32_t aTimeout,
                                         int32_t aClientVersion) {
  aSession = nullptr;
  CheckStarted();
  qdSetThreadTimeout(aTimeout, false);
  try {
    TqdResult result = seSessionCreate(aSession, aUserName, aPassword, aConnectedFrom, aTimeout, aClientVersion);
    if (result != 0) return result;
    if ((seOptions.Contains(seoIsSecure) || aSession->MustBeAuthenticated()) && !aSession->Authenticated()) {
      TqdAbstractServerObject::Free(aSession);
      aSession = nullptr;
      return qdeUnknownUser;
    }
    return 0;
  } catch (...) {
    TqdAbstractServerObject::Free(aSession);
    aSession = nullptr;
    return bseConvertException(std::current_exception(), nullptr);
  }
}

TqdResult TqdServerEngine::seSessionCreate(TqdAbstractSession*& aSession, const qdString& aUserName,
                                           const qdString& aPassword, const qdString& aConnectedFrom, uint32_t aTimeout,
                                           int32_t aClientVersion) {
  aSession = nullptr;
  if (qdFatalError()) return EqdBaseException::qdSetMessage(qdeTransCorrupt, kFatalErrorMessage);
  aSession = qdCreate<TqdServerSession>(this, aTimeout, aUserName, aPassword, aConnectedFrom, aClientVersion);
  return 0;
}

// --- Folders ------------------------------------------------------------------------

TqdServerFolder* TqdServerEngine::FindFolder(const qdString& aPath) {
  auto it = seFolders.find(aPath);
  return it != seFolders.end() ? it->second : nullptr;
}

void TqdServerEngine::AddFolder(TqdServerFolder* aFolder) {
  if (!seFolders.emplace(aFolder->Path(), aFolder).second) {
    throw EqdServerException(qdeNameNotUnique, u"Folder %s is open already", {aFolder->Path()});
  }
}

void TqdServerEngine::RemoveFolder(TqdServerFolder* aFolder) {
  auto it = seFolders.find(aFolder->Path());
  if (it != seFolders.end() && it->second == aFolder) seFolders.erase(it);
}

std::vector<TqdServerFolder*> TqdServerEngine::Folders() {
  TqdPadlockGuard guard(seFoldersPadlock);
  std::vector<TqdServerFolder*> result;
  for (const auto& entry : seFolders) result.push_back(entry.second);
  return result;
}

void TqdServerEngine::LinkInactiveFolder(TqdServerFolder* aFolder) {
  aFolder->sfServerEngineInactiveFoldersPrev = seInactiveFoldersTail;
  aFolder->sfServerEngineInactiveFoldersNext = nullptr;
  if (seInactiveFoldersTail != nullptr) {
    seInactiveFoldersTail->sfServerEngineInactiveFoldersNext = aFolder;
  } else {
    seInactiveFoldersHead = aFolder;
  }
  seInactiveFoldersTail = aFolder;
  aFolder->sfInServerEngineInactiveFolders = true;
  seInactiveFoldersCount.fetch_add(1);
}

void TqdServerEngine::UnlinkInactiveFolder(TqdServerFolder* aFolder) {
  TqdServerFolder* prev = aFolder->sfServerEngineInactiveFoldersPrev;
  TqdServerFolder* next = aFolder->sfServerEngineInactiveFoldersNext;
  (prev != nullptr ? prev->sfServerEngineInactiveFoldersNext : seInactiveFoldersHead) = next;
  (next != nullptr ? next->sfServerEngineInactiveFoldersPrev : seInactiveFoldersTail) = prev;
  aFolder->sfServerEngineInactiveFoldersPrev = nullptr;
  aFolder->sfServerEngineInactiveFoldersNext = nullptr;
  aFolder->sfInServerEngineInactiveFolders = false;
  seInactiveFoldersCount.fetch_sub(1);
}

void TqdServerEngine::FreeFolder(TqdServerFolder* aFolder) {
  try {
    TqdAbstractServerObject::Free(aFolder);
  } catch (...) {
    (void)bseConvertException(std::current_exception(), nullptr);  // logged; the walk goes on
  }
}

TqdResult TqdServerEngine::seCloseInactiveFolders() {
  try {
    TqdPadlockGuard guard(seFoldersPadlock);
    bool freed = true;
    while (freed) {
      freed = false;
      std::vector<TqdServerFolder*> folders;
      for (const auto& entry : seFolders) folders.push_back(entry.second);
      for (size_t i = folders.size(); i-- > 0;) {
        if (folders[i]->sfIsInactive(false, true)) {
          FreeFolder(folders[i]);
          freed = true;
        }
      }
    }
    return 0;
  } catch (...) {
    return bseConvertException(std::current_exception(), nullptr);
  }
}

TqdResult TqdServerEngine::seCloseInactiveTables() {
  try {
    TqdResult result = qdeRecLocked;
    for (int attempt = 0; attempt < kCloseTablesAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!seFoldersPadlock.TryLock()) continue;
      result = 0;
      try {
        std::vector<TqdServerFolder*> folders;
        for (const auto& entry : seFolders) folders.push_back(entry.second);
        for (size_t i = folders.size(); i-- > 0 && result == 0;) result = folders[i]->sfCloseInactiveTables();
      } catch (...) {
        seFoldersPadlock.Unlock();
        throw;
      }
      seFoldersPadlock.Unlock();
      if (result != qdeRecLocked) return result;
    }
    // Every attempt found a list busy: nothing was closed, and the caller
    // hears so instead of a success.
    return qdeRecLocked;
  } catch (...) {
    return bseConvertException(std::current_exception(), nullptr);
  }
}

void TqdServerEngine::seCleanupTimer() {
  bool pending = seInactiveFoldersCount.load() > 0;
  while (pending || seInactiveFoldersCount.load() > kMaxInactiveFolders) {
    TqdPadlockGuard inactive(seInactiveFoldersPadlock);
    if (!seFoldersPadlock.TryLock()) return;
    const bool goOn = seCleanupStep(pending);
    seFoldersPadlock.Unlock();
    if (!goOn) return;
  }
}

bool TqdServerEngine::seCleanupStep(bool& aPending) {
  if (aPending) aPending = seInactiveFoldersCount.load() > 0;
  if (!aPending && seInactiveFoldersCount.load() <= kMaxInactiveFolders) return false;
  TqdServerFolder* oldest = seInactiveFoldersHead;
  if (oldest == nullptr) return false;
  const uint64_t now = qdTickCount64();
  auto idleTooLong = [&](TqdServerFolder* aFolder) {
    return now > aFolder->sfInactiveSince && now - aFolder->sfInactiveSince > kFolderIdleMs;
  };
  if (idleTooLong(oldest) || seInactiveFoldersCount.load() > kMaxInactiveFolders) {
    // A folder a database joined meanwhile stays; it only leaves the list.
    TqdPadlock& databases = oldest->DatabasesPadlock();
    if (!databases.TryLock()) return false;
    const bool idle = oldest->Databases().empty() && oldest->InMemoryCount() == 0;
    databases.Unlock();
    if (idle) {
      FreeFolder(oldest);
    } else {
      UnlinkInactiveFolder(oldest);
    }
  }
  aPending = seInactiveFoldersHead != nullptr && idleTooLong(seInactiveFoldersHead);
  return true;
}

// --- Life cycle ----------------------------------------------------------------------

void TqdServerEngine::DoInitialize() {
  qdString tempPath = trimmed(seTempStorePath);
  if (tempPath.empty()) {
    std::error_code error;
    tempPath = Utf8ToString(std::filesystem::temp_directory_path(error).string());
  }
  seBudgetTempPath = tempPath;
  seBudgetMaxRAM = qdServerMemoryBudget(seMaxRAM);
  seBudgetTempStoreSize = qdServerTempStoreBudget(seTempStoreSize, seBudgetMaxRAM, tempPath);
  // The budgets are set before any file joins the cache: a file keeps the
  // temporary storage it found when it was added.
  auto cache = std::make_unique<TqdBufferManager>(tempPath);
  cache->SetMaxRAM(seBudgetMaxRAM);
  cache->SetTempStoreSize(seBudgetTempStoreSize);  // a storage that fails to start fails the start
  {
    TqdPadlockGuard guard(seBufferManagerPadlock);
    seBufferManager = std::move(cache);
  }
  try {
    TqdBaseServerEngine::DoInitialize();
  } catch (...) {
    TqdPadlockGuard guard(seBufferManagerPadlock);
    seBufferManager.reset();
    throw;
  }
}

void TqdServerEngine::DoDeactivate() {
  TqdBaseServerEngine::DoDeactivate();
  {
    TqdPadlockGuard guard(seBufferManagerPadlock);
    seBufferManager.reset();
  }
  seExecutedStatements.store(0);
}

void TqdServerEngine::DoStart() {
  TqdBaseServerEngine::DoStart();
  seCleanupThread = qdCreateThread<TqdSimpleTimerThread>(1000, tpHighest, [this](TqdObject*) { seCleanupTimer(); });
}

void TqdServerEngine::DoStop() {
  seCleanupThread.reset();
  if (seSqlEngine != nullptr) seSqlEngine->PrepareShutdown();
  TqdBaseServerEngine::DoStop();
  while (true) {
    TqdServerFolder* folder = nullptr;
    {
      TqdPadlockGuard guard(seFoldersPadlock);
      if (seFolders.empty()) break;
      folder = std::prev(seFolders.end())->second;
    }
    FreeFolder(folder);
  }
  seExecutedStatements.store(0);
}

void qdsrServerEngineInitialize() { TqdRegisterableComponent::RegisterClass(TqdServerEngine::ClassInfo); }

void qdsrServerEngineFinalize() { TqdRegisterableComponent::UnregisterClass(TqdServerEngine::ClassInfo); }

}  // namespace qd
