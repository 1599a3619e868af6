// Server sessions and their transaction contexts.
//
// A TqdServerSession is one client session of the server engine: the
// contract gives it its lock, timeout and lists; this unit adds the alias
// operations (through the engine's alias handler), the password list tried
// on encrypted tables, opening databases by alias name or path on the shared
// folders under the share rules, closing inactive folders and tables on
// request, and the default locale of SQL string literals.
//
// Paths: a database path is made absolute and canonical (symbolic links
// resolved, "." and ".." removed) through the file-system seam and ends in
// "/"; two paths name one folder only when these forms are equal (the file
// system is case-sensitive). An empty path, or one beginning with "#", names
// an in-memory folder and never touches the disk.
//
// Ownership: the session owns its databases and transaction contexts
// (contract lists) and its locale descriptor. Concurrency: the password
// list is guarded by the session lock; a database open holds the engine's
// seFoldersPadlock from the folder lookup to the registration of the new
// database, and the folder's sfDatabasesPadlock inside it.
#pragma once

#include <memory>
#include <vector>

#include "client/qdsdServerEngine.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "foundation/qdllUtils.h"

namespace qd {

class TqdServerEngine;
class TqdServerFolder;
class TqdServerDatabase;

// The transaction context of the server; its transaction operations come
// with the server's transactions and answer 12289 until then.
class TqdServerTransContext : public TqdAbstractTransContext {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractTransContext::TqdAbstractTransContext;

  [[nodiscard]] TqdResult TransactionStart(bool aFailSafe, bool aSnapShot) override;
  [[nodiscard]] TqdResult TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                               const std::vector<TqdAbstractCursor*>& aCursors) override;
  [[nodiscard]] TqdResult TransactionCommit() override;
  [[nodiscard]] TqdResult TransactionRollback() override;
  [[nodiscard]] TqdResult TransactionCorrupted() override;
  [[nodiscard]] TqdResult TransactionGetLevel(int32_t& aTransLevel) override;
  [[nodiscard]] TqdResult TransactionGetInfo(TqdTransactionInfo& aTransInfo, bool aAllowCached) override;
};

class TqdServerSession : public TqdAbstractSession {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdServerSession(TqdServerEngine* aServerEngine, uint32_t aTimeout, const qdString& aUserName,
                   const qdString& aPassword, const qdString& aConnectedFrom, int32_t aClientVersion);
  ~TqdServerSession() override;

  int32_t GetClientVersion() const override { return ssClientVersion; }
  // Made on the first request when the effective option
  // "SQL_DEFAULT_LOCALE" is a number above 0; looked at once.
  TqdLocaleDescriptor* GetClientDefaultLocale() override;

  [[nodiscard]] TqdResult AliasAdd(const qdString& aAlias, const qdString& aPath, bool aEnforce) override;
  [[nodiscard]] TqdResult AliasDelete(const qdString& aAlias) override;
  [[nodiscard]] TqdResult AliasModify(const qdString& aAlias, const qdString& aNewName, const qdString& aNewPath,
                                      bool aEnforce) override;
  [[nodiscard]] TqdResult AliasGetList(TqdAliasList& aList) override;
  [[nodiscard]] TqdResult AliasGetPath(const qdString& aAlias, qdString& aPath) override;
  [[nodiscard]] TqdResult PasswordAdd(const qdString& aPassword) override;
  [[nodiscard]] TqdResult PasswordRemove(const qdString& aPassword) override;
  [[nodiscard]] TqdResult PasswordRemoveAll() override;
  [[nodiscard]] TqdResult CloseInactiveFolders() override;
  [[nodiscard]] TqdResult CloseInactiveTables() override;
  [[nodiscard]] TqdResult DatabaseOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                       const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                       TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout) override;
  [[nodiscard]] TqdResult DatabaseCacheOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                            const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                            TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout) override;
  [[nodiscard]] TqdResult TransContextCreate(TqdAbstractTransContext*& aTransContext, uint32_t aTimeout) override;
  [[nodiscard]] TqdResult GetRegisteredClassList(TqdClassListType aClassListType, TqdStringList& aList) override;

  [[nodiscard]] TqdResult ssDoDatabaseOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                           const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                           TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout,
                                           bool aIsCache);
  // The share rules against the databases open on aFolder, then the new
  // database.
  [[nodiscard]] TqdResult ssDatabaseOpen(TqdServerDatabase*& aDatabase, const qdString& aAlias,
                                         TqdAbstractTransContext* aTransContext, TqdServerFolder* aFolder,
                                         TqdOpenMode aOpenMode, TqdShareMode aShareMode, bool aIgnoreShare,
                                         uint32_t aTimeout);
  // The passwords stored in the session, plus aPassword when not empty.
  void ssBuildPasswords(const qdString& aAlias, const qdString& aTableName, TqdUnicodeStrings& aPasswords,
                        const qdString& aPassword);
  // Marks the session permanently failed.
  void Kick() { Failed(true); }

  TqdServerEngine* Engine() const { return ssServerEngine; }
  std::vector<qdString> Passwords();

 private:
  template <class F>
  TqdResult AliasOperation(const char16_t* aName, TqdEngineAction aAction, F aWork);

  TqdServerEngine* ssServerEngine;
  int32_t ssClientVersion;
  TqdUnicodeStrings ssPasswords;
  std::unique_ptr<TqdLocaleDescriptor> ssClientDefaultLocale;
  bool ssClientDefaultLocaleChecked = false;
};

// The canonical form of a database path: empty or "#..." as given, else
// the absolute path through the seam's CanonicalName, ending in "/".
qdString qdCanonicalFolderPath(const qdString& aPath);

}  // namespace qd
