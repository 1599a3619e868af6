#include "server/qdsrServerFolder.h"

#include <algorithm>
#include <cstring>

#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"
#include "server/qdsrServerDatabase.h"
#include "server/qdsrServerEngine.h"
#include "server/qdsrTimeoutHandling.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdsrFileHandling.h"

namespace qd {

namespace {

bool endsWithIgnoringCase(const std::string& aName, const std::string& aSuffix) {
  if (aName.size() < aSuffix.size()) return false;
  for (size_t i = 0; i < aSuffix.size(); ++i) {
    char a = aName[aName.size() - aSuffix.size() + i];
    char b = aSuffix[i];
    if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = char(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

// --- TqdServerTransactionMgr -------------------------------------------------------

TqdServerTransactionMgr::TqdServerTransactionMgr(TqdServerFolder* aFolder)
    : TqdBaseTransactionMgr(aFolder->ServerEngine()->BufferManager()), stmFolder(aFolder) {
  stmInitNextLSN();
}

TqdServerTransactionMgr::~TqdServerTransactionMgr() { stmSaveNextLSN(true); }

void TqdServerTransactionMgr::stmInitNextLSN() {
  if (stmFolder->InMemOnly()) return;
  TqdFileSystem& fs = qdFileSystem();
  const std::string name = StringToUtf8(stmFolder->Path()) + StringToUtf8(kTransConfigFileName);
  if (!stmFolder->ReadOnly()) {
    TqdOSOpenRequest request;
    request.orWrite = true;
    request.orLock = flkExclusive;
    if (fs.Open(name, request, stmConfigFile) != 0) {
      stmConfigFile.reset();
      TqdOSOpenRequest create = request;
      create.orCreateExclusive = true;
      // A file that exists but could not be locked belongs to another
      // process: creating fails too, and the folder is read-only.
      if (fs.Open(name, create, stmConfigFile) != 0) stmConfigFile.reset();
    }
    if (stmConfigFile) {
      stmConfigWritable = true;
    } else {
      stmFolder->SetReadOnly();
    }
  }
  if (!stmConfigFile) {
    TqdOSOpenRequest request;
    if (fs.Open(name, request, stmConfigFile) != 0) stmConfigFile.reset();
  }
  TqdLSN fromFile = 0;
  if (stmConfigFile) {
    int64_t size = 0;
    uint8_t bytes[8] = {};
    size_t done = 0;
    if (stmConfigFile->Size(size) == 0 && size == 8 && stmConfigFile->PRead(0, bytes, 8, done) == 0 && done == 8) {
      fromFile = static_cast<TqdLSN>(qdGetU64(bytes));
    }
  }
  // The file is a lower bound only: table files written after it (a crash
  // before the folder closed) carry higher LSNs in their block 0.
  const TqdLSN next = std::max(fromFile, stmScanNextLSN());
  // The cache hands out CurrentLSN + 1 next.
  btmBufferManager->SetNextLSN(next - 1);
  stmSaveNextLSN(false);
}

void TqdServerTransactionMgr::stmRaiseToTableFiles() {
  if (stmFolder->InMemOnly()) return;
  btmBufferManager->SetNextLSN(stmScanNextLSN() - 1);
  stmSaveNextLSN(false);
}

TqdLSN TqdServerTransactionMgr::stmScanNextLSN() {
  TqdLSN largest = 0;
  std::vector<std::string> names;
  const std::string folder = StringToUtf8(stmFolder->Path());
  if (qdFileSystem().ListFolder(folder, names) == 0) {
    const std::string extension = "." + StringToUtf8(stmFolder->ServerEngine()->TableExtension());
    for (const std::string& name : names) {
      if (endsWithIgnoringCase(name, extension)) largest = std::max(largest, stmReadFileLSN(folder + name));
    }
  }
  return largest + 1;
}

TqdLSN TqdServerTransactionMgr::stmReadFileLSN(const std::string& aFileName) {
  std::unique_ptr<TqdOSFile> file;
  TqdOSOpenRequest request;
  if (qdFileSystem().Open(aFileName, request, file) != 0) return 0;
  uint8_t bytes[8] = {};
  size_t done = 0;
  const int error = file->PRead(8, bytes, 8, done);
  (void)file->Close();  // read-only: nothing to lose
  if (error != 0 || done != 8) return 0;
  const int64_t value = static_cast<int64_t>(qdGetU64(bytes));
  return value > 0 ? value : 0;
}

void TqdServerTransactionMgr::stmSaveNextLSN(bool aClose) {
  if (stmConfigFile && stmConfigWritable && !stmFolder->ReadOnly() && !stmFolder->InMemOnly()) {
    uint8_t bytes[8];
    qdPutU64(bytes, static_cast<uint64_t>(btmBufferManager->CurrentLSN() + 1));
    size_t done = 0;
    // A failed write leaves the previous number, which the next open
    // raises from the table files again.
    if (stmConfigFile->PWrite(0, bytes, 8, done) == 0 && done == 8) {
      (void)stmConfigFile->Truncate(8);  // only a longer stale file is cut
      (void)stmConfigFile->DataSync();   // the next open takes the maximum anyway
    }
  }
  if (aClose && stmConfigFile) {
    (void)stmConfigFile->Close();  // the lock goes with it
    stmConfigFile.reset();
  }
}

std::unique_ptr<TqdBaseJournalEngine> TqdServerTransactionMgr::stmCreateJournal(int64_t aNumber) {
  if (stmFolder->InMemOnly() || stmFolder->ReadOnly()) return nullptr;
  const TqdJournalEngineClass* type = qdPersistentJournalEngineClass();
  const qdString name =
      qdJoinPath(stmFolder->Path(), qdJoinFileExt(Utf8ToString(std::to_string(aNumber)), kJournalExtension));
  return type->Create(name);
}

// --- TqdServerFolder -----------------------------------------------------------------

const TqdClassInfo TqdServerFolder::ClassInfo{u"TqdServerFolder", &TqdLockedOptionsExtendableServerObject::ClassInfo};

TqdServerFolder::TqdServerFolder(TqdServerEngine* aServerEngine, const qdString& aPath, bool aIsCache)
    : TqdLockedOptionsExtendableServerObject(nullptr),
      sfServerEngine(aServerEngine),
      sfPath(aPath),
      sfIsCache(aIsCache) {
  const TqdServerEngineOptions options = aServerEngine->Options();
  sfInMemOnly = options.Contains(seoInMemOnly) || aPath.empty() || aPath[0] == u'#';
  sfReadOnly = !sfInMemOnly && options.Contains(seoReadOnly);
  stTransManager = std::make_unique<TqdServerTransactionMgr>(this);
  sfForceFailSafe = options.Contains(seoForceFailSafe);
  aServerEngine->AddFolder(this);
  sfInEngineList = true;
}

void TqdServerFolder::AfterConstruction() {
  TqdLockedOptionsExtendableServerObject::AfterConstruction();
  sfServerEngine->FolderCounter().fetch_add(1);
  sfLockedIncDone = true;
}

void TqdServerFolder::BeforeDestruction() {
  if (sfLockedIncDone) {
    sfServerEngine->FolderCounter().fetch_sub(1);
    sfLockedIncDone = false;
  }
  TqdLockedOptionsExtendableServerObject::BeforeDestruction();
}

TqdServerFolder::~TqdServerFolder() {
  {
    TqdPadlockGuard databases(sfDatabasesPadlock);
    sfRemoveFromInactiveFolders();
    if (sfInEngineList) {
      TqdPadlockGuard folders(sfServerEngine->FoldersPadlock());
      sfServerEngine->RemoveFolder(this);
      sfInEngineList = false;
    }
  }
  stTransManager.reset();
}

TqdBaseServerEngine* TqdServerFolder::asoGetServerEngine() const { return sfServerEngine; }

void TqdServerFolder::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdLockedOptionsExtendableServerObject::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddString(u"Path", sfPath);
  aContainer->AddBoolean(u"InMemOnly", sfInMemOnly);
  aContainer->AddBoolean(u"ReadOnly", sfReadOnly);
  const int32_t count = DatabaseCount();
  aContainer->AddString(u"OpenDatabases", count == 0 ? u"None" : count == 1 ? u"One" : u"Multiple");
  aContainer->AddInt64(u"OpenTables", 0);
}

int32_t TqdServerFolder::DatabaseCount() {
  TqdPadlockGuard guard(sfDatabasesPadlock);
  return static_cast<int32_t>(sfDatabases.size());
}

void TqdServerFolder::sfLinkDatabase(TqdServerDatabase* aDatabase, const qdString& aAlias) {
  sfDatabases.push_back(aDatabase);
  if (!sfJournalChecked && !sfInMemOnly && !sfReadOnly) {
    sfJournalChecked = true;
    // The first database on a folder recovers the journals left there. A
    // journal that cannot be replayed stays on disk and keeps its tables
    // refused (15509) until a later check; the open itself goes on.
    const TqdJournalCheckResult result = qdPersistentJournalEngineClass()->Check(aAlias, sfPath);
    for (const qdString& message : result.jcrMessages) {
      sfServerEngine->lcLog(message, result.jcrErrorCode, result.jcrErrorCode != 0 ? lpError : lpInfo, u"Journal",
                            Now(), 0);
    }
    // A roll-forward replay raised block-0 LSNs above what the open saw.
    if (result.jcrReplayed > 0) stTransManager->stmRaiseToTableFiles();
  }
  sfCheckInactive();
}

void TqdServerFolder::sfUnlinkDatabase(TqdServerDatabase* aDatabase) {
  TqdPadlockGuard guard(sfDatabasesPadlock);
  auto it = std::find(sfDatabases.begin(), sfDatabases.end(), aDatabase);
  if (it != sfDatabases.end()) sfDatabases.erase(it);
  sfCheckInactive();
}

bool TqdServerFolder::sfIsInactive(bool, bool) {
  TqdPadlockGuard guard(sfDatabasesPadlock);
  return sfDatabases.empty();
}

void TqdServerFolder::sfCheckInactive() {
  TqdPadlockGuard guard(sfDatabasesPadlock);
  if (sfDatabases.empty() && sfInMemoryCount.load() == 0 && sfIsInactive(false, false)) {
    sfAddToInactiveFolders();
  } else {
    sfRemoveFromInactiveFolders();
  }
}

void TqdServerFolder::sfAddToInactiveFolders() {
  if (Destroying()) return;
  TqdPadlockGuard guard(sfServerEngine->InactiveFoldersPadlock());
  if (sfInServerEngineInactiveFolders) return;
  sfInactiveSince = qdTickCount64();
  sfServerEngine->LinkInactiveFolder(this);
}

void TqdServerFolder::sfRemoveFromInactiveFolders() {
  TqdPadlockGuard guard(sfServerEngine->InactiveFoldersPadlock());
  if (!sfInServerEngineInactiveFolders) return;
  sfServerEngine->UnlinkInactiveFolder(this);
}

TqdResult TqdServerFolder::sfCloseInactiveTables() {
  if (!sfTablesPadlock.TryLock()) return qdeRecLocked;
  // No root table stays open in a folder yet: nothing to close.
  sfTablesPadlock.Unlock();
  return 0;
}

}  // namespace qd
