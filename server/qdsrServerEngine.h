// The in-process server engine component: the one implementation of the
// engine contract's TqdBaseServerEngine. Every session, folder and database
// of the server hangs below it.
//
// Classes: TqdServerEngine; the alias handlers TqdBaseAliasHandler and
// TqdSimpleAliasHandler (alias name -> folder path); the options
// TqdServerEngineOption; EqdServerEngineException. Sessions, folders,
// databases and statements have units of their own (qdsrServerSession,
// qdsrServerFolder, qdsrServerDatabase, qdsrServerStatement).
//
// Ownership: the engine owns its block cache (from Initializing until
// Deactivating), its folders (seFolders), the alias handler and the cleanup
// timer thread (while Started). It points to, and does not own, the linked
// SQL engine. Sessions are owned through the contract's session list.
//
// Life cycle (TqdStateComponent):
//   Initializing  budgets computed (memory, temporary storage), block cache
//                 made with them as its MaxRAM and TempStoreSize
//   Starting      cleanup thread (every 1000 ms)
//   Stopping      cleanup thread ended, SQL engine told, sessions freed last
//                 first, then folders last first (each saves "qdTrans.cfg")
//   Deactivating  block cache freed
//
// Locks, in order: a session's lock -> seFoldersPadlock -> a folder's
// sfDatabasesPadlock -> its sfTablesPadlock -> seInactiveFoldersPadlock.
// The cleanup thread and seCloseInactiveTables start from the side (the
// inactive list first, or no session lock) and take every further padlock
// by TryLock, giving up when it is busy. seFolderCount, seTableCount and the
// statement counters are atomics, read without locks by the statistics.
//
// Ages of inactive folders are measured on qdTickCount64 (steady clock,
// server/qdsrTimeoutHandling.h), not on the wall clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "client/qdsdServerEngine.h"
#include "dictionary/qdsdTypes.h"
#include "foundation/qdllComponent.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllThread.h"
#include "server/qdsrServerEngine_Registries.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrSqlEngineBase.h"

namespace qd {

class TqdServerFolder;
class TqdServerSession;

QD_DECLARE_EXCEPTION_CLASS(EqdServerEngineException, EqdBaseServerEngineException);

enum TqdServerEngineOption : uint8_t {
  seoReadOnly,
  seoForceFailSafe,
  seoCloseInactiveFolders,
  seoCloseInactiveTables,
  seoInMemOnly,
  seoIsSecure,
  seoVerifyTableNames,
  seoCloseAllWhenInactive,
  seoKeepSessionStats,
};
inline constexpr int kServerEngineOptionCount = 9;
using TqdServerEngineOptions = TqdSet<TqdServerEngineOption, uint16_t>;

// "seoReadOnly" ...; empty for an ordinal that names no option.
qdString qdServerEngineOptionName(int aOrdinal);
// The ordinal of an option name (exact), -1 when none.
int qdServerEngineOptionByName(qdStringView aName);

// --- Alias handlers ------------------------------------------------------------

class TqdBaseAliasHandler : public TqdComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }
  using TqdComponent::TqdComponent;

  virtual void Clear() = 0;
  [[nodiscard]] virtual TqdResult Add(const qdString& aAlias, const qdString& aPath, bool aEnforce) = 0;
  [[nodiscard]] virtual TqdResult Delete(const qdString& aAlias) = 0;
  [[nodiscard]] virtual TqdResult Modify(const qdString& aAlias, const qdString& aNewName, const qdString& aNewPath,
                                         bool aEnforce) = 0;
  [[nodiscard]] virtual TqdResult GetList(TqdAliasList& aList) = 0;
  [[nodiscard]] virtual TqdResult GetPath(const qdString& aAlias, qdString& aPath) = 0;
  bool IsAlias(const qdString& aAlias);
};

// Aliases in a list sorted without regard to ASCII case. Readers and
// writers exclude each other through sahLock.
class TqdSimpleAliasHandler : public TqdBaseAliasHandler {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }
  using TqdBaseAliasHandler::TqdBaseAliasHandler;

  void Clear() override;
  [[nodiscard]] TqdResult Add(const qdString& aAlias, const qdString& aPath, bool aEnforce) override;
  [[nodiscard]] TqdResult Delete(const qdString& aAlias) override;
  [[nodiscard]] TqdResult Modify(const qdString& aAlias, const qdString& aNewName, const qdString& aNewPath,
                                 bool aEnforce) override;
  [[nodiscard]] TqdResult GetList(TqdAliasList& aList) override;
  [[nodiscard]] TqdResult GetPath(const qdString& aAlias, qdString& aPath) override;

  void GetConfigSettings(TqdBaseSettings* aSettings) override;
  // "Aliases": name=path entries separated by ";". Invalid names and
  // missing folders are reported in the configuration's error text.
  void LoadConfig(TqdBaseComponentConfiguration* aConfig) override;
  void SaveConfig(TqdBaseComponentConfiguration* aConfig) override;
  // Int32 version 1, then a list of (alias, path) pairs, last entry first.
  void SaveSettingsToStream(TqdWriter& aWriter) override;
  void LoadSettingsFromStream(TqdReader& aReader) override;

 private:
  struct TqdAliasLess {
    bool operator()(const qdString& aLeft, const qdString& aRight) const;
  };
  // Makes the folder and its missing parents; 9219 when that fails.
  static TqdResult EnforceFolder(const qdString& aPath);
  TqdResult AddLocked(const qdString& aAlias, const qdString& aPath, bool aEnforce) QD_REQUIRES(sahLock);

  TqdPadlock sahLock;
  std::map<qdString, qdString, TqdAliasLess> sahList QD_GUARDED_BY(sahLock);
};

// --- Budgets ---------------------------------------------------------------------

// Block-cache budget in MB: aMaxRAM when at least 1, else computed from the
// total physical memory T (MB): Max(T div 2, T - Max(2048, T div 5)).
int32_t qdServerMemoryBudget(int32_t aMaxRAM);
// Temporary-storage budget in MB: aTempStoreSize when not negative, else
// Min(MaxFile div 3 MB, Min(10 x aBudget, FreeAvailable div 3 MB)) for the
// volume of aTempPath, 0 when its free space cannot be queried.
int32_t qdServerTempStoreBudget(int32_t aTempStoreSize, int32_t aBudget, const qdString& aTempPath);

// --- The engine ------------------------------------------------------------------

class TqdServerEngine : public TqdBaseServerEngine {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdServerEngine(TqdComponent* aOwner);
  ~TqdServerEngine() override;
  void BeforeDestruction() override;

  // Properties; every setter needs the engine Inactive.
  const qdString& ServerName() const { return seServerName; }
  void SetServerName(const qdString& aValue);
  int32_t MaxRAM() const { return seMaxRAM; }
  void SetMaxRAM(int32_t aValue);
  const qdString& TempStorePath() const { return seTempStorePath; }
  void SetTempStorePath(const qdString& aValue);
  int32_t TempStoreSize() const { return seTempStoreSize; }
  void SetTempStoreSize(int32_t aValue);
  TqdServerEngineOptions Options() const { return seOptions; }
  void SetOptions(TqdServerEngineOptions aValue);
  const qdString& TableExtension() const { return seTableExtension; }
  // Raises 10042 for an invalid extension (an empty one included).
  void SetTableExtension(const qdString& aValue);
  TqdBaseSqlEngine* SqlEngine() const { return seSqlEngine; }
  void SetSqlEngine(TqdBaseSqlEngine* aValue);
  TqdBaseAliasHandler* AliasHandler() const { return seAliasHandler; }
  // Installs aHandler (not owned unless it is the engine's own); nil
  // leaves the engine without aliases.
  void seSetAliasHandler(TqdBaseAliasHandler* aHandler);
  TqdBufferManager* BufferManager() const { return seBufferManager.get(); }
  int32_t FolderCount() const { return seFolderCount.load(); }
  int32_t TableCount() const { return seTableCount.load(); }
  int32_t InactiveFoldersCount() const { return seInactiveFoldersCount.load(); }
  int32_t ExecutingStatements() const { return seExecutingStatements.load(); }
  int32_t ExecutedStatements() const { return seExecutedStatements.load(); }
  // The budgets computed at Initializing (MB), handed to the block cache
  // as its MaxRAM and TempStoreSize.
  int32_t BudgetMaxRAM() const { return seBudgetMaxRAM; }
  int32_t BudgetTempStoreSize() const { return seBudgetTempStoreSize; }
  const qdString& BudgetTempPath() const { return seBudgetTempPath; }

  void SetName(const qdString& aName) override;
  void HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) override;
  bool DependsOn(TqdComponent* aComponent) override;
  void GetConfigSettings(TqdBaseSettings* aSettings) override;
  void LoadConfig(TqdBaseComponentConfiguration* aConfig) override;
  void SaveConfig(TqdBaseComponentConfiguration* aConfig) override;
  void SaveSettingsToStream(TqdWriter& aWriter) override;
  void LoadSettingsFromStream(TqdReader& aReader) override;
  // The engine's rows, then the block cache's (its values while it
  // exists, else the rows of a server without a running cache).
  void GetStatsCaptions(std::vector<qdString>& aList) const override;
  void GetStatsValues(std::vector<qdString>& aList) const override;
  qdString GetDisplayOnlyValue(const qdString& aValueName) const override;

  [[noreturn]] void bseRaise(TqdResult aErrorCode) override;
  TGUID GetServerGuid() override { return seServerGuid; }
  qdString GetServerName() override { return seServerName; }
  HRESULT bseCreateInstanceFor(TqdAbstractSession* aSession, const qdString& aName, const TGUID& aClassID,
                               const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface) override;
  void bseLastSessionClosed() override;
  bool bseSessionStatsEnabled() override { return seOptions.Contains(seoKeepSessionStats); }
  bool IsSecureServer() override { return seOptions.Contains(seoIsSecure); }
  [[nodiscard]] TqdResult SessionOpenEx(TqdAbstractSession*& aSession, const qdString& aUserName,
                                        const qdString& aPassword, const qdString& aConnectedFrom, uint32_t aTimeout,
                                        int32_t aClientVersion) override;

  virtual TqdBaseAliasHandler* seCreateAliasHandler();
  [[nodiscard]] virtual TqdResult seSessionCreate(TqdAbstractSession*& aSession, const qdString& aUserName,
                                                  const qdString& aPassword, const qdString& aConnectedFrom,
                                                  uint32_t aTimeout, int32_t aClientVersion);

  // Frees every folder sfIsInactive(False, True) confirms; the last error.
  [[nodiscard]] TqdResult seCloseInactiveFolders();
  // Up to 21 attempts against busy lists, 50 ms apart; 10241 when every
  // attempt found a list busy.
  [[nodiscard]] TqdResult seCloseInactiveTables();
  // One run of the cleanup: frees the oldest inactive folders when more
  // than 16 are listed or when they have been inactive for 16 hours.
  void seCleanupTimer();

  // --- Folders (Part of the folder unit's protocol) ---
  TqdPadlock& FoldersPadlock() QD_RETURN_CAPABILITY(seFoldersPadlock) { return seFoldersPadlock; }
  // The folder of a canonical path (exact comparison), nil when none.
  TqdServerFolder* FindFolder(const qdString& aPath) QD_REQUIRES(seFoldersPadlock);
  void AddFolder(TqdServerFolder* aFolder) QD_REQUIRES(seFoldersPadlock);
  void RemoveFolder(TqdServerFolder* aFolder) QD_REQUIRES(seFoldersPadlock);
  std::vector<TqdServerFolder*> Folders();
  std::atomic<int32_t>& FolderCounter() { return seFolderCount; }
  std::atomic<int32_t>& TableCounter() { return seTableCount; }
  std::atomic<int32_t>& ExecutingCounter() { return seExecutingStatements; }
  std::atomic<int32_t>& ExecutedCounter() { return seExecutedStatements; }

  // The inactive-folder list, oldest first (links live in the folders).
  TqdPadlock& InactiveFoldersPadlock() QD_RETURN_CAPABILITY(seInactiveFoldersPadlock) {
    return seInactiveFoldersPadlock;
  }
  void LinkInactiveFolder(TqdServerFolder* aFolder) QD_REQUIRES(seInactiveFoldersPadlock);
  void UnlinkInactiveFolder(TqdServerFolder* aFolder) QD_REQUIRES(seInactiveFoldersPadlock);

 protected:
  void DoInitialize() override;
  void DoDeactivate() override;
  void DoStart() override;
  void DoStop() override;

 private:
  void FreeFolder(TqdServerFolder* aFolder);
  // One pass of the folder phase; false ends the run.
  bool seCleanupStep(bool& aPending) QD_REQUIRES(seInactiveFoldersPadlock, seFoldersPadlock);

  // Held while the cache is made or freed and while the statistics read
  // it, which may happen on any thread.
  mutable TqdPadlock seBufferManagerPadlock;
  std::unique_ptr<TqdBufferManager> seBufferManager;
  TqdThreadPtr<TqdSimpleTimerThread> seCleanupThread;
  TGUID seServerGuid{};
  int32_t seMaxRAM = -1;
  qdString seTempStorePath;
  int32_t seTempStoreSize = -1;
  qdString seTableExtension = u"qd1";
  TqdPadlock seFoldersPadlock{true};
  std::map<qdString, TqdServerFolder*> seFolders QD_GUARDED_BY(seFoldersPadlock);
  TqdPadlock seInactiveFoldersPadlock{true};
  TqdServerFolder* seInactiveFoldersHead QD_GUARDED_BY(seInactiveFoldersPadlock) = nullptr;
  TqdServerFolder* seInactiveFoldersTail QD_GUARDED_BY(seInactiveFoldersPadlock) = nullptr;
  std::atomic<int32_t> seInactiveFoldersCount{0};
  TqdBaseAliasHandler* seAliasHandler = nullptr;
  TqdBaseAliasHandler* seOwnAliasHandler = nullptr;
  TqdBaseSqlEngine* seSqlEngine = nullptr;
  qdString seServerName = u"QendoDB";
  TqdServerEngineOptions seOptions;
  std::atomic<int32_t> seFolderCount{0};
  std::atomic<int32_t> seTableCount{0};
  std::atomic<int32_t> seExecutingStatements{0};
  std::atomic<int32_t> seExecutedStatements{0};
  int32_t seBudgetMaxRAM = 0;
  int32_t seBudgetTempStoreSize = 0;
  qdString seBudgetTempPath;
};

void qdsrServerEngineInitialize();
void qdsrServerEngineFinalize();

}  // namespace qd
