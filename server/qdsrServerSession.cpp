#include "server/qdsrServerSession.h"

#include <algorithm>

#include "foundation/qdllUtils.h"
#include "server/qdsrServerDatabase.h"
#include "server/qdsrServerEngine.h"
#include "server/qdsrServerFolder.h"
#include "server/qdsrTimeoutHandling.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

namespace {

bool isInMemoryPath(const qdString& aPath) { return aPath.empty() || aPath[0] == u'#'; }

// Leading and trailing characters up to the blank.
qdString trimmed(const qdString& aText) {
  size_t first = 0;
  size_t last = aText.size();
  while (first < last && aText[first] <= u' ') ++first;
  while (last > first && aText[last - 1] <= u' ') --last;
  return aText.substr(first, last - first);
}

TqdResult notSupportedYet(TqdAbstractServerObject* aObject, const char16_t* aMethod) {
  return EqdBaseException::qdSetMessage(qdeNotSupported, u"%s not supported by %s",
                                        {qdString(aMethod), aObject->ClassType().ClassName});
}

}  // namespace

qdString qdCanonicalFolderPath(const qdString& aPath) {
  const qdString path = trimmed(aPath);
  if (isInMemoryPath(path)) return path;
  std::string canonical = qdFileSystem().CanonicalName(StringToUtf8(path));
  if (canonical.size() > 1 && canonical.back() != '/') canonical.push_back('/');
  return Utf8ToString(canonical);
}

// --- TqdServerTransContext -----------------------------------------------------------

const TqdClassInfo TqdServerTransContext::ClassInfo{u"TqdServerTransContext", &TqdAbstractTransContext::ClassInfo};

TqdResult TqdServerTransContext::TransactionStart(bool, bool) {
  return qdOperationBracket(this, [&] { return notSupportedYet(this, u"TransactionStart"); });
}
TqdResult TqdServerTransContext::TransactionStartWith(bool, bool, const std::vector<TqdAbstractCursor*>&) {
  return qdOperationBracket(this, [&] { return notSupportedYet(this, u"TransactionStartWith"); });
}
TqdResult TqdServerTransContext::TransactionCommit() {
  return qdOperationBracket(this, [&] { return notSupportedYet(this, u"TransactionCommit"); });
}
TqdResult TqdServerTransContext::TransactionRollback() {
  return qdOperationBracket(this, [&] { return notSupportedYet(this, u"TransactionRollback"); });
}
TqdResult TqdServerTransContext::TransactionCorrupted() {
  return qdOperationBracket(this, [&] { return notSupportedYet(this, u"TransactionCorrupted"); });
}
TqdResult TqdServerTransContext::TransactionGetLevel(int32_t& aTransLevel) {
  aTransLevel = 0;
  return qdOperationBracket(this, [&] { return notSupportedYet(this, u"TransactionGetLevel"); });
}
TqdResult TqdServerTransContext::TransactionGetInfo(TqdTransactionInfo&, bool) {
  return qdOperationBracket(this, [&] { return notSupportedYet(this, u"TransactionGetInfo"); });
}

// --- TqdServerSession -------------------------------------------------------------

const TqdClassInfo TqdServerSession::ClassInfo{u"TqdServerSession", &TqdAbstractSession::ClassInfo};

TqdServerSession::TqdServerSession(TqdServerEngine* aServerEngine, uint32_t aTimeout, const qdString& aUserName,
                                   const qdString& aPassword, const qdString& aConnectedFrom, int32_t aClientVersion)
    : TqdAbstractSession(aServerEngine, aTimeout, aUserName, aPassword, aConnectedFrom),
      ssServerEngine(aServerEngine),
      ssClientVersion(aClientVersion) {}

TqdServerSession::~TqdServerSession() = default;

TqdLocaleDescriptor* TqdServerSession::GetClientDefaultLocale() {
  if (ssClientDefaultLocale == nullptr && !ssClientDefaultLocaleChecked) {
    ssClientDefaultLocaleChecked = true;
    qdString value;
    if (esoOptionGetEffective(u"SQL_DEFAULT_LOCALE", value) == 0 && !value.empty()) {
      int64_t locale = -1;
      bool valid = true;
      for (char16_t c : value) {
        if (c < u'0' || c > u'9' || locale > 0x7FFFFFFF) {
          valid = false;
          break;
        }
        locale = (locale < 0 ? 0 : locale) * 10 + (c - u'0');
      }
      if (valid && locale > 0 && locale <= 0x7FFFFFFF) {
        auto descriptor = std::make_unique<TqdLocaleDescriptor>(nullptr);
        descriptor->ldIsDefaultStringLiteralLocale = true;
        descriptor->SetLocale(static_cast<uint32_t>(locale));
        ssClientDefaultLocale = std::move(descriptor);
      }
    }
  }
  return ssClientDefaultLocale.get();
}

template <class F>
TqdResult TqdServerSession::AliasOperation(const char16_t* aName, TqdEngineAction aAction, F aWork) {
  qdSetThreadTimeout(Timeout(), false);
  return qdContractCall(this, [&]() -> TqdResult {
    if (ssServerEngine->AliasHandler() == nullptr) {
      return EqdBaseException::qdSetMessage(qdeNotSupported, u"%s requires an AliasHandler", {qdString(aName)});
    }
    TqdResult result = NotifyExtenders(aAction, true, {});
    if (result == 0) result = aWork(ssServerEngine->AliasHandler());
    if (result == 0) (void)NotifyExtenders(aAction, false, {});  // after success: answers are not asked for
    return result;
  });
}

namespace {
// The aliases changed: everything that depends on the handler hears it.
void broadcastAliasesChanged(TqdServerEngine* aEngine) {
  if (TqdBaseAliasHandler* handler = aEngine->AliasHandler()) {
    handler->Broadcast(8, nullptr, {u"TqdSession", u"TqdDatabase", u"TqdCursor"});
  }
}
}  // namespace

TqdResult TqdServerSession::AliasAdd(const qdString& aAlias, const qdString& aPath, bool aEnforce) {
  const TqdResult check = qdCheckAliasName(aAlias, false);
  if (check != 0) return check;
  const TqdResult result = AliasOperation(
      u"AliasAdd", eaAliasAdd, [&](TqdBaseAliasHandler* aHandler) { return aHandler->Add(aAlias, aPath, aEnforce); });
  broadcastAliasesChanged(ssServerEngine);
  return result;
}

TqdResult TqdServerSession::AliasDelete(const qdString& aAlias) {
  const TqdResult check = qdCheckAliasName(aAlias, true);
  if (check != 0) return check;
  const TqdResult result = AliasOperation(u"AliasDelete", eaAliasDelete,
                                          [&](TqdBaseAliasHandler* aHandler) { return aHandler->Delete(aAlias); });
  broadcastAliasesChanged(ssServerEngine);
  return result;
}

TqdResult TqdServerSession::AliasModify(const qdString& aAlias, const qdString& aNewName, const qdString& aNewPath,
                                        bool aEnforce) {
  const TqdResult check = qdCheckAliasName(aAlias, true);
  if (check != 0) return check;
  const TqdResult result = AliasOperation(u"AliasModify", eaAliasModify, [&](TqdBaseAliasHandler* aHandler) {
    return aHandler->Modify(aAlias, aNewName, aNewPath, aEnforce);
  });
  broadcastAliasesChanged(ssServerEngine);
  return result;
}

TqdResult TqdServerSession::AliasGetList(TqdAliasList& aList) {
  return AliasOperation(u"AliasGetList", eaAliasGetList, [&](TqdBaseAliasHandler* aHandler) {
    const TqdResult result = aHandler->GetList(aList);
    for (size_t i = aList.size(); i-- > 0;) {
      if (qdCheckIdentifier(aList[i]->adAlias, qdeInvalidAliasName, false, true) != 0) {
        aList.erase(aList.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    return result;
  });
}

TqdResult TqdServerSession::AliasGetPath(const qdString& aAlias, qdString& aPath) {
  aPath.clear();
  const TqdResult check = qdCheckAliasName(aAlias, true);
  if (check != 0) return check;
  return AliasOperation(u"AliasGetPath", eaAliasGetPath,
                        [&](TqdBaseAliasHandler* aHandler) { return aHandler->GetPath(aAlias, aPath); });
}

TqdResult TqdServerSession::PasswordAdd(const qdString& aPassword) {
  return qdOperationBracket(this, [&]() -> TqdResult {
    if (aPassword.empty()) return qdeInvalidParam;
    if (std::find(ssPasswords.begin(), ssPasswords.end(), aPassword) != ssPasswords.end()) return qdeNameNotUnique;
    ssPasswords.push_back(aPassword);
    return 0;
  });
}

TqdResult TqdServerSession::PasswordRemove(const qdString& aPassword) {
  return qdOperationBracket(this, [&]() -> TqdResult {
    if (aPassword.empty()) return qdeInvalidParam;
    auto it = std::find(ssPasswords.begin(), ssPasswords.end(), aPassword);
    if (it == ssPasswords.end()) return qdeObjNotFound;
    ssPasswords.erase(it);
    return 0;
  });
}

TqdResult TqdServerSession::PasswordRemoveAll() {
  return qdOperationBracket(this, [&]() -> TqdResult {
    ssPasswords.clear();
    return 0;
  });
}

std::vector<qdString> TqdServerSession::Passwords() {
  std::vector<qdString> result;
  (void)qdOperationBracket(this, [&]() -> TqdResult {
    result = ssPasswords;
    return 0;
  });
  return result;
}

void TqdServerSession::ssBuildPasswords(const qdString& aAlias, const qdString& aTableName,
                                        TqdUnicodeStrings& aPasswords, const qdString& aPassword) {
  aPasswords = ssPasswords;
  if (!aPassword.empty()) aPasswords.push_back(aPassword);
  (void)NotifyExtenders(eaBuildPasswords, false, {aAlias, aTableName});  // after the work: answer not asked for
}

TqdResult TqdServerSession::CloseInactiveFolders() {
  qdSetThreadTimeout(Timeout(), false);
  return qdContractCall(this, [&]() -> TqdResult {
    TqdResult result = NotifyExtenders(eaCloseInactiveFolders, true, {});
    if (result == 0) result = ssServerEngine->seCloseInactiveFolders();
    if (result == 0) (void)NotifyExtenders(eaCloseInactiveFolders, false, {});  // answer not asked for
    return result;
  });
}

TqdResult TqdServerSession::CloseInactiveTables() {
  qdSetThreadTimeout(Timeout(), false);
  return qdContractCall(this, [&]() -> TqdResult {
    TqdResult result = NotifyExtenders(eaCloseInactiveTables, true, {});
    if (result == 0) result = ssServerEngine->seCloseInactiveTables();
    if (result == 0) (void)NotifyExtenders(eaCloseInactiveTables, false, {});  // answer not asked for
    return result;
  });
}

TqdResult TqdServerSession::DatabaseOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                         const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                         TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout) {
  return ssDoDatabaseOpen(aDatabase, aAliasType, aAlias, aTransContext, aOpenMode, aShareMode, aTimeout, false);
}

TqdResult TqdServerSession::DatabaseCacheOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                              const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                              TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout) {
  return ssDoDatabaseOpen(aDatabase, aAliasType, aAlias, aTransContext, aOpenMode, aShareMode, aTimeout, true);
}

TqdResult TqdServerSession::ssDoDatabaseOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType,
                                             const qdString& aAlias, TqdAbstractTransContext* aTransContext,
                                             TqdOpenMode aOpenMode, TqdShareMode aShareMode, uint32_t aTimeout,
                                             bool aIsCache) {
  qdSetThreadTimeout(Timeout(), false);
  aDatabase = nullptr;
  TqdServerDatabase* database = nullptr;
  const TqdResult result = qdContractCall(this, [&]() -> TqdResult {
    qdString path;
    qdString aliasName;
    if (qdSameClassName(aAliasType, u"Name")) {
      const TqdResult check = qdCheckAliasName(aAlias, true);
      if (check != 0) return check;
      TqdBaseAliasHandler* handler = ssServerEngine->AliasHandler();
      if (handler == nullptr) {
        return EqdBaseException::qdSetMessage(qdeNotSupported, u"%s requires an AliasHandler",
                                              {qdString(u"AliasType = 'Name'")});
      }
      const TqdResult found = handler->GetPath(aAlias, path);
      if (found != 0) return found;
      aliasName = aAlias;
    } else if (qdSameClassName(aAliasType, u"Path")) {
      path = aAlias;
    } else {
      return EqdBaseException::qdSetMessage(qdeNotSupported, u"AliasType '%s' not supported", {aAliasType});
    }
    path = trimmed(path);
    if (!isInMemoryPath(path)) {
      TqdFileAttributesInfo info;
      if (qdFileSystem().Attributes(StringToUtf8(path), info) != 0 || !info.faExists || !info.faIsFolder) {
        return qdeAliasDirMissing;
      }
      path = qdCanonicalFolderPath(path);
    }
    TqdPadlockGuard folders(ssServerEngine->FoldersPadlock());
    TqdServerFolder* folder = ssServerEngine->FindFolder(path);
    if (folder != nullptr && folder->IsCache() != aIsCache) {
      return EqdBaseException::qdSetMessage(qdeDirNoAccess, u"Folder already open with conflicting cache mode");
    }
    if (folder == nullptr) folder = qdCreate<TqdServerFolder>(ssServerEngine, path, aIsCache);
    return ssDatabaseOpen(database, aliasName, aTransContext, folder, aOpenMode, aShareMode, false, aTimeout);
  });
  if (result != 0) {
    TqdAbstractServerObject::Free(database);
    return result;
  }
  aDatabase = database;
  return 0;
}

TqdResult TqdServerSession::ssDatabaseOpen(TqdServerDatabase*& aDatabase, const qdString& aAlias,
                                           TqdAbstractTransContext* aTransContext, TqdServerFolder* aFolder,
                                           TqdOpenMode aOpenMode, TqdShareMode aShareMode, bool aIgnoreShare,
                                           uint32_t aTimeout) {
  aDatabase = nullptr;
  TqdOpenMode openMode = aOpenMode == omWriteOnly ? omReadWrite : aOpenMode;
  if (aFolder->ReadOnly()) openMode = omReadOnly;
  TqdResult result = 0;
  TqdPadlockGuard guard(aFolder->DatabasesPadlock());
  const std::vector<TqdServerDatabase*>& open = aFolder->Databases();
  if (!aIgnoreShare && !open.empty()) {
    const bool writes = openMode != omReadOnly;
    auto any = [&](auto aTest) { return std::any_of(open.begin(), open.end(), aTest); };
    if (open.front()->ShareMode() == smExclusive || aShareMode == smExclusive) {
      result = qdeNeedExclusive;
    } else if (aShareMode == smShared && writes) {
      if (any([](TqdServerDatabase* d) { return d->ShareMode() == smShareRead; })) result = qdeNeedExclusive;
    } else if (aShareMode == smShareRead) {
      if (any([](TqdServerDatabase* d) { return d->OpenMode() != omReadOnly; }) ||
          (writes && any([](TqdServerDatabase* d) { return d->ShareMode() == smShareRead; }))) {
        result = qdeNeedExclusive;
      }
    }
  }
  if (result == 0) {
    try {
      aDatabase = qdCreate<TqdServerDatabase>(this, aTransContext, aAlias, aFolder, aTimeout, openMode, aShareMode);
    } catch (...) {
      aFolder->sfCheckInactive();
      throw;
    }
  }
  aFolder->sfCheckInactive();
  return result;
}

TqdResult TqdServerSession::TransContextCreate(TqdAbstractTransContext*& aTransContext, uint32_t aTimeout) {
  aTransContext = nullptr;
  return qdOperationBracket(this, [&]() -> TqdResult {
    aTransContext = qdCreate<TqdServerTransContext>(this, aTimeout);
    return 0;
  });
}

TqdResult TqdServerSession::GetRegisteredClassList(TqdClassListType aClassListType, TqdStringList& aList) {
  return qdOperationBracket(this, [&]() -> TqdResult {
    aList.Clear();
    TqdResult result = NotifyExtenders(eaGetRegisteredClassList, true, {int32_t(aClassListType), &aList});
    if (result == 0) result = qdServerRegisteredClassList(aClassListType, aList);
    if (result == 0) (void)NotifyExtenders(eaGetRegisteredClassList, false, {int32_t(aClassListType), &aList});
    return result;
  });
}

}  // namespace qd
