// The server database: the in-process implementation of the contract's
// database. A session creates one for every database it opens; each is
// bound to one shared TqdServerFolder. This unit holds the object itself:
// construction (it joins the folder's database list, and the first database
// of a folder on disk recovers the journals left there), destruction, the
// folder as option parent, the structure generation, statements (allocate,
// and execute directly in one call) and the small queries (free space, path,
// alias). Table operations and cursors come with the server's tables and
// answer 12289 ("not supported") until then.
//
// Classes: TqdServerDatabase. Ownership: owned by its session (contract
// list); owns its cursors and statements (contract lists); points to its
// folder, which outlives it (a folder with a database is never freed).
// Every public operation runs under the session lock (qdOperationBracket).
#pragma once

#include <atomic>
#include <cstdint>

#include "client/qdsdServerEngine.h"

namespace qd {

class TqdServerFolder;
class TqdServerSession;
class TqdServerEngine;

class TqdServerDatabase : public TqdSqlAbstractDatabase {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Called with the folder's sfDatabasesPadlock held (ssDatabaseOpen).
  TqdServerDatabase(TqdServerSession* aSession, TqdAbstractTransContext* aTransContext, const qdString& aAlias,
                    TqdServerFolder* aFolder, uint32_t aTimeout, TqdOpenMode aOpenMode, TqdShareMode aShareMode);
  ~TqdServerDatabase() override;
  void BeforeDestruction() override;

  using TqdSqlAbstractDatabase::DescribeTo;
  void DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) override;
  // The folder first; a name it does not know falls back to the inherited
  // parent.
  [[nodiscard]] TqdResult esoOptionGetParent(const qdString& aName, qdString& aValue) override;
  [[nodiscard]] TqdResult esoOptionListParent(TqdStringList& aList) override;
  bool GetIsCache() override { return sdIsCache; }

  [[nodiscard]] TqdResult TableBuild(bool aOverWrite, const qdString& aTableName, const qdString& aPassword,
                                     TqdDataDictionary* aDictionary, TqdTableScope aTableScope,
                                     bool aAllowSystem) override;
  [[nodiscard]] TqdResult TablePack(const qdString& aTableName, const qdString& aPassword,
                                    TqdAbstractTaskInfo*& aTaskInfo) override;
  [[nodiscard]] TqdResult TableBackup(const qdString& aTableName, const qdString& aPassword,
                                      TqdAbstractDatabase* aTargetDatabase, TqdAbstractTaskInfo*& aTaskInfo) override;
  [[nodiscard]] TqdResult TableRebuildIndex(const qdString& aTableName, const qdString& aPassword,
                                            const qdString& aIndexName, int32_t aIndexID,
                                            TqdAbstractTaskInfo*& aTaskInfo) override;
  [[nodiscard]] TqdResult TableRestructure(const qdString& aTableName, const qdString& aPassword,
                                           TqdDataDictionary* aDictionary, TqdBaseTableMapperDescriptor* aMapperDesc,
                                           bool aAllowSystem, TqdAbstractTaskInfo*& aTaskInfo) override;
  [[nodiscard]] TqdResult TableAddField(const qdString& aTableName, const qdString& aPassword,
                                        TqdFieldDescriptor* aFieldDesc) override;
  [[nodiscard]] TqdResult TableAddIndex(const qdString& aTableName, const qdString& aPassword,
                                        TqdIndexDescriptor* aIndexDesc, bool aNewDefault) override;
  [[nodiscard]] TqdResult TableDropIndex(const qdString& aTableName, const qdString& aPassword,
                                         const qdString& aIndexName, int32_t aIndexID) override;
  [[nodiscard]] TqdResult TableRename(const qdString& aOldName, const qdString& aNewName,
                                      const qdString& aPassword) override;
  [[nodiscard]] TqdResult TableRecover(const qdString& aTableName, const qdString& aPassword,
                                       TqdAbstractTaskInfo*& aTaskInfo) override;
  [[nodiscard]] TqdResult TableVerifyChecksum(const qdString& aTableName, const qdString& aPassword, bool aRaw,
                                              bool aForceRecheck, TqdAbstractTaskInfo*& aTaskInfo) override;
  [[nodiscard]] TqdResult TableDelete(const qdString& aTableName, const qdString& aPassword) override;
  [[nodiscard]] TqdResult TableEmpty(const qdString& aTableName, const qdString& aPassword) override;
  [[nodiscard]] TqdResult TableChangePassword(const qdString& aTableName, const qdString& aOldPassword,
                                              const qdString& aNewPassword) override;
  [[nodiscard]] TqdResult TableExists(const qdString& aTableName, const qdString& aPassword, bool& aExists,
                                      bool aAllowSystem) override;
  [[nodiscard]] TqdResult TableGetDictionary(const qdString& aTableName, const qdString& aPassword,
                                             TqdDataDictionary* aDictionary) override;
  [[nodiscard]] TqdResult TableGetList(TqdStringList& aList) override;
  [[nodiscard]] TqdResult TableAutoIncGet(const qdString& aTableName, const qdString& aPassword,
                                          uint32_t& aValue) override;
  [[nodiscard]] TqdResult GetChangedTables(TqdStringList& aTables) override;
  [[nodiscard]] TqdResult CursorOpen(TqdAbstractCursor*& aCursor, const qdString& aTableName, const qdString& aPassword,
                                     TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout,
                                     const qdString& aIndexName, int32_t aIndexID, bool aAllowSystem,
                                     TqdCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout,
                                     const TqdStringList* aMarkedBlobs) override;
  [[nodiscard]] TqdResult StatementAlloc(TqdAbstractStatement*& aStatement, uint32_t aTimeout) override;
  [[nodiscard]] TqdResult StatementExecDirect(uint32_t aTimeout, TqdStatementType aStatementType,
                                              const qdString& aQueryText, TStream* aPrepareStream,
                                              const TqdSqlParamList& aParams, TStream* aSetParamsStream,
                                              TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode, TStream* aExecStream,
                                              TStream* aGetParamsStream, TqdStatementExecDirectPhase& aPhase) override;
  // Free bytes available to the caller on the folder's volume, div 1024;
  // 11047 when the volume cannot be asked (an in-memory folder cannot).
  [[nodiscard]] TqdResult GetFreespace(int64_t& aFreeSpace) override;
  [[nodiscard]] TqdResult GetPath(qdString& aPath) override;
  [[nodiscard]] TqdResult GetAlias(qdString& aAlias) override;

  qdString sadGetAlias() override { return sdAlias; }
  [[nodiscard]] TqdResult sdTableRebuildIndex(const qdString& aTableName, const qdString& aPassword,
                                              const qdString& aIndexName, int32_t aIndexID,
                                              TqdAbstractTaskInfo*& aTaskInfo) override;
  [[nodiscard]] TqdResult sdTableRestructure(const qdString& aTableName, const qdString& aPassword,
                                             TqdDataDictionary* aDictionary, TqdBaseTableMapperDescriptor* aMapperDesc,
                                             TqdAbstractTaskInfo*& aTaskInfo) override;
  TqdSqlAbstractCursor* sadCreateResultSet(TqdDataDictionary* aDictionary, uint32_t aTimeout) override;
  TqdIteratorResult sdIterateDictionaries(TqdDictionaryIterator aIterator, bool aAllowSystem, bool aIgnoreError,
                                          void* aCookie) override;
  // The folder's table padlock, held from one call to the other.
  void sadLockTables() override QD_NO_THREAD_SAFETY_ANALYSIS;
  void sadUnlockTables() override QD_NO_THREAD_SAFETY_ANALYSIS;

  // The unlocked core of StatementAlloc: 12289 without a linked SQL engine.
  [[nodiscard]] TqdResult sdStatementAlloc(TqdAbstractStatement*& aStatement, uint32_t aTimeout);
  // Counts a structure change seen through this database (and, with
  // aFolder, through every database of the folder).
  void sdBumpStructureGeneration(bool aFolder);
  int32_t StructureGeneration();

  TqdServerFolder* Folder() const { return sdFolder; }
  TqdServerEngine* Engine() const;

 private:
  TqdResult NotYet(const char16_t* aMethod);

  qdString sdAlias;
  TqdServerFolder* sdFolder;
  bool sdIsCache = false;
  bool sdLinked = false;
  TqdLSN sdLastCheckLSN = 0;
  int32_t sdStructureGeneration = 0;
  int32_t sdFolderStructureGeneration = 0;
};

}  // namespace qd
