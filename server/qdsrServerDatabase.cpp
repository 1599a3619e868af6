#include "server/qdsrServerDatabase.h"

#include "server/qdsrServerEngine.h"
#include "server/qdsrServerFolder.h"
#include "server/qdsrServerSession.h"
#include "server/qdsrServerStatement.h"
#include "server/qdsrTimeoutHandling.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

namespace {

const char* const kOpenModeNames[] = {"omReadOnly", "omWriteOnly", "omReadWrite", "omNone"};
const char* const kShareModeNames[] = {"smExclusive", "smShared", "smShareRead"};

TqdAbstractTransContext* checkedContext(TqdAbstractTransContext* aTransContext) {
  if (aTransContext != nullptr && dynamic_cast<TqdServerTransContext*>(aTransContext) == nullptr) {
    throw EqdServerException(qdeInvalidParam, u"The transaction context does not belong to the server engine");
  }
  return aTransContext;
}

}  // namespace

const TqdClassInfo TqdServerDatabase::ClassInfo{u"TqdServerDatabase", &TqdSqlAbstractDatabase::ClassInfo};

TqdServerDatabase::TqdServerDatabase(TqdServerSession* aSession, TqdAbstractTransContext* aTransContext,
                                     const qdString& aAlias, TqdServerFolder* aFolder, uint32_t aTimeout,
                                     TqdOpenMode aOpenMode, TqdShareMode aShareMode)
    : TqdSqlAbstractDatabase(aSession, checkedContext(aTransContext), aTimeout), sdAlias(aAlias), sdFolder(aFolder) {
  SetOpenMode(aOpenMode);
  SetShareMode(aShareMode);
  sdIsCache = aFolder->IsCache();
  if (TqdBufferManager* cache = aSession->Engine()->BufferManager()) sdLastCheckLSN = cache->CurrentLSN();
  sdFolderStructureGeneration = aFolder->StructureGeneration();
  TqdPadlockGuard guard(aFolder->DatabasesPadlock());
  aFolder->sfLinkDatabase(this, aAlias);
  sdLinked = true;
}

void TqdServerDatabase::BeforeDestruction() { TqdSqlAbstractDatabase::BeforeDestruction(); }

TqdServerDatabase::~TqdServerDatabase() {
  if (sdLinked) {
    sdFolder->sfUnlinkDatabase(this);
    sdLinked = false;
  }
}

TqdServerEngine* TqdServerDatabase::Engine() const { return sdFolder->ServerEngine(); }

void TqdServerDatabase::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdSqlAbstractDatabase::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddString(u"Alias", sdAlias);
  aContainer->AddString(u"Folder", sdFolder->Path());
  aContainer->AddString(u"OpenMode", Utf8ToString(kOpenModeNames[OpenMode()]));
  aContainer->AddString(u"ShareMode", Utf8ToString(kShareModeNames[ShareMode()]));
}

TqdResult TqdServerDatabase::esoOptionGetParent(const qdString& aName, qdString& aValue) {
  const TqdResult result = sdFolder->esoOptionGetEffective(aName, aValue);
  if (result != qdeObjNotFound) return result;
  return TqdSqlAbstractDatabase::esoOptionGetParent(aName, aValue);
}

TqdResult TqdServerDatabase::esoOptionListParent(TqdStringList& aList) {
  TqdStringList inherited;
  TqdResult result = TqdSqlAbstractDatabase::esoOptionListParent(inherited);
  if (result != 0) return result;
  result = sdFolder->esoOptionListEffective(aList);
  if (result != 0) return result;
  return esoOptionListMerge(aList, inherited);
}

TqdResult TqdServerDatabase::NotYet(const char16_t* aMethod) {
  return qdOperationBracket(this, [&] { return NotSupportedError(aMethod); });
}

TqdResult TqdServerDatabase::TableBuild(bool, const qdString&, const qdString&, TqdDataDictionary*, TqdTableScope,
                                        bool) {
  return NotYet(u"TableBuild");
}
TqdResult TqdServerDatabase::TablePack(const qdString&, const qdString&, TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotYet(u"TablePack");
}
TqdResult TqdServerDatabase::TableBackup(const qdString&, const qdString&, TqdAbstractDatabase*,
                                         TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotYet(u"TableBackup");
}
TqdResult TqdServerDatabase::TableRebuildIndex(const qdString&, const qdString&, const qdString&, int32_t,
                                               TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotYet(u"TableRebuildIndex");
}
TqdResult TqdServerDatabase::TableRestructure(const qdString&, const qdString&, TqdDataDictionary*,
                                              TqdBaseTableMapperDescriptor*, bool, TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotYet(u"TableRestructure");
}
TqdResult TqdServerDatabase::TableAddField(const qdString&, const qdString&, TqdFieldDescriptor*) {
  return NotYet(u"TableAddField");
}
TqdResult TqdServerDatabase::TableAddIndex(const qdString&, const qdString&, TqdIndexDescriptor*, bool) {
  return NotYet(u"TableAddIndex");
}
TqdResult TqdServerDatabase::TableDropIndex(const qdString&, const qdString&, const qdString&, int32_t) {
  return NotYet(u"TableDropIndex");
}
TqdResult TqdServerDatabase::TableRename(const qdString&, const qdString&, const qdString&) {
  return NotYet(u"TableRename");
}
TqdResult TqdServerDatabase::TableRecover(const qdString&, const qdString&, TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotYet(u"TableRecover");
}
TqdResult TqdServerDatabase::TableVerifyChecksum(const qdString&, const qdString&, bool, bool,
                                                 TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotYet(u"TableVerifyChecksum");
}
TqdResult TqdServerDatabase::TableDelete(const qdString&, const qdString&) { return NotYet(u"TableDelete"); }
TqdResult TqdServerDatabase::TableEmpty(const qdString&, const qdString&) { return NotYet(u"TableEmpty"); }
TqdResult TqdServerDatabase::TableChangePassword(const qdString&, const qdString&, const qdString&) {
  return NotYet(u"TableChangePassword");
}
TqdResult TqdServerDatabase::TableExists(const qdString&, const qdString&, bool& aExists, bool) {
  aExists = false;
  return NotYet(u"TableExists");
}
TqdResult TqdServerDatabase::TableGetDictionary(const qdString&, const qdString&, TqdDataDictionary*) {
  return NotYet(u"TableGetDictionary");
}
TqdResult TqdServerDatabase::TableGetList(TqdStringList&) { return NotYet(u"TableGetList"); }
TqdResult TqdServerDatabase::TableAutoIncGet(const qdString&, const qdString&, uint32_t& aValue) {
  aValue = 0;
  return NotYet(u"TableAutoIncGet");
}
TqdResult TqdServerDatabase::GetChangedTables(TqdStringList&) { return NotYet(u"GetChangedTables"); }
TqdResult TqdServerDatabase::CursorOpen(TqdAbstractCursor*& aCursor, const qdString&, const qdString&, TqdOpenMode,
                                        TqdShareMode, uint32_t, const qdString&, int32_t, bool, TqdCursorOpenOptions,
                                        uint32_t, const TqdStringList*) {
  aCursor = nullptr;
  return NotYet(u"CursorOpen");
}
TqdResult TqdServerDatabase::sdTableRebuildIndex(const qdString&, const qdString&, const qdString&, int32_t,
                                                 TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupportedError(u"sdTableRebuildIndex");
}
TqdResult TqdServerDatabase::sdTableRestructure(const qdString&, const qdString&, TqdDataDictionary*,
                                                TqdBaseTableMapperDescriptor*, TqdAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupportedError(u"sdTableRestructure");
}
TqdSqlAbstractCursor* TqdServerDatabase::sadCreateResultSet(TqdDataDictionary*, uint32_t) {
  throw EqdServerException(qdeNotSupported, u"Result sets are not supported by TqdServerDatabase");
}
TqdIteratorResult TqdServerDatabase::sdIterateDictionaries(TqdDictionaryIterator, bool, bool, void*) {
  throw EqdServerException(qdeNotSupported, u"Dictionary iteration is not supported by TqdServerDatabase");
}

void TqdServerDatabase::sadLockTables() { sdFolder->LockTables(); }
void TqdServerDatabase::sadUnlockTables() { sdFolder->UnlockTables(); }

TqdResult TqdServerDatabase::sdStatementAlloc(TqdAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = nullptr;
  TqdBaseSqlEngine* sqlEngine = Engine()->SqlEngine();
  if (sqlEngine == nullptr) return EqdBaseException::qdSetMessage(qdeNotSupported, u"An SQL Engine is required");
  TqdAbstractStatement* statement = nullptr;
  TqdResult result = 0;
  try {
    result = sqlEngine->StatementAlloc(this, statement, aTimeout);
  } catch (...) {
    TqdAbstractServerObject::Free(statement);
    throw;
  }
  if (result != 0) {
    TqdAbstractServerObject::Free(statement);
    return result;
  }
  aStatement = statement;
  return 0;
}

TqdResult TqdServerDatabase::StatementAlloc(TqdAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = nullptr;
  return qdOperationBracket(this, [&] { return sdStatementAlloc(aStatement, aTimeout); });
}

TqdResult TqdServerDatabase::StatementExecDirect(uint32_t aTimeout, TqdStatementType aStatementType,
                                                 const qdString& aQueryText, TStream* aPrepareStream,
                                                 const TqdSqlParamList& aParams, TStream* aSetParamsStream,
                                                 TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode,
                                                 TStream* aExecStream, TStream* aGetParamsStream,
                                                 TqdStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  qdSetThreadTimeout(aTimeout, false);
  TqdAbstractStatement* statement = nullptr;
  const TqdResult result = qdContractCall(this, [&]() -> TqdResult {
    return UnderLock([&]() -> TqdResult {
      qdEnterTimeoutNesting();
      struct Leave {
        ~Leave() {
          try {
            qdLeaveTimeoutNesting();
          } catch (...) {  // the count was entered above: it cannot go negative here
          }
        }
      } leave;
      TqdResult code = sdStatementAlloc(statement, aTimeout);
      if (code != 0) return code;
      auto* server = dynamic_cast<TqdServerStatement*>(statement);
      if (server == nullptr) return EqdBaseException::qdSetMessage(qdeNotSupported, u"An SQL Engine is required");
      server->SetExecDirect(true);
      aPhase = sedPrepare;
      code = server->ssPrepare(aStatementType, aQueryText, aPrepareStream);
      if (code != 0) return code;
      aPhase = sedSetParams;
      code = server->ssSetParams(aParams, aSetParamsStream);
      if (code != 0) return code;
      aPhase = sedExec;
      code = server->ssCountedExec(aCursor, aOpenMode, aExecStream);
      if (code != 0) return code;
      aPhase = sedGetParams;
      if (aGetParamsStream != nullptr) {
        TqdSqlParamList params = aParams;
        code = server->ssGetParams(params, aGetParamsStream);
        if (code != 0) return code;
      }
      aPhase = sedFree;
      return 0;
    });
  });
  TqdAbstractServerObject::Free(statement);
  if (result != 0) {
    TqdAbstractServerObject::Free(aCursor);
    aCursor = nullptr;
  }
  return result;
}

TqdResult TqdServerDatabase::GetFreespace(int64_t& aFreeSpace) {
  aFreeSpace = 0;
  return qdOperationBracket(this, [&]() -> TqdResult {
    int64_t available = 0;
    if (sdFolder->InMemOnly() || qdFileSystem().FreeSpace(StringToUtf8(sdFolder->Path()), available) != 0) {
      return qdeOSError;
    }
    aFreeSpace = available / 1024;
    return 0;
  });
}

TqdResult TqdServerDatabase::GetPath(qdString& aPath) {
  aPath = sdFolder->Path();
  return 0;
}

TqdResult TqdServerDatabase::GetAlias(qdString& aAlias) {
  aAlias = sdAlias;
  return 0;
}

void TqdServerDatabase::sdBumpStructureGeneration(bool aFolder) {
  ++sdStructureGeneration;
  if (aFolder) sdFolder->BumpStructureGeneration();
  sdFolderStructureGeneration = sdFolder->StructureGeneration();
}

int32_t TqdServerDatabase::StructureGeneration() {
  const int32_t folder = sdFolder->StructureGeneration();
  if (folder != sdFolderStructureGeneration) {
    sdFolderStructureGeneration = folder;
    ++sdStructureGeneration;
  }
  return sdStructureGeneration;
}

}  // namespace qd
