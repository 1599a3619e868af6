// The parts of the journal that the cache itself knows: the abstract engine
// and its class, the registry of journal classes by name, the process-wide
// journal class, the tables that wait for recovery, the fatal flag and the
// image of a freed block.
#include "storage/qdsrBufferManager.h"

#include <cstring>
#include <map>
#include <mutex>

#include "client/qdsdServerEngine.h"
#include "platform/qdFormat.h"
#include "storage/qdsrFileSystem.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsrBufferManager";

std::mutex journalClassLock;
std::vector<const TqdJournalEngineClass*> journalClasses;

std::unique_ptr<TqdBaseJournalEngine> createAbstract(const TqdJournalEngineClass*, const qdString&) {
  qdAssertFailed(kUnit, "the abstract journal engine cannot be created");
}

TqdJournalCheckResult checkAbstract(const TqdJournalEngineClass*, const qdString&, const qdString&) {
  qdAssertFailed(kUnit, "the abstract journal engine cannot check a folder");
}

bool sameNameIgnoringCase(const qdString& aLeft, const qdString& aRight) {
  if (aLeft.size() != aRight.size()) return false;
  for (size_t i = 0; i < aLeft.size(); ++i) {
    char16_t left = aLeft[i];
    char16_t right = aRight[i];
    if (left >= u'a' && left <= u'z') left = char16_t(left - 32);
    if (right >= u'a' && right <= u'z') right = char16_t(right - 32);
    if (left != right) return false;
  }
  return true;
}

// Tables refused until recovered, by full name (a folder name ends in '/'),
// with the reason.
std::mutex unrecoveredLock;
std::map<std::string, qdString> unrecovered;

std::atomic<TqdJournalsOnDiskCheck> journalsOnDiskCheck{nullptr};

// One spelling per file: the folder resolved, the name part as given.
std::string unrecoveredKey(const qdString& aName) {
  std::string name = StringToUtf8(aName);
  const bool isFolder = !name.empty() && name.back() == '/';
  std::string folder = isFolder ? name : qdFolderOf(name);
  const std::string part = isFolder ? std::string() : name.substr(folder.size());
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string canonical = folder.empty() ? std::string() : qdFileSystem().CanonicalName(folder);
  if (!canonical.empty() && canonical.back() != '/') canonical.push_back('/');
  return canonical + part;
}

}  // namespace

// --- Fatal flag --------------------------------------------------------------------------

const char16_t* const kFatalErrorMessage =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check exception log "
    u"at server for further information";

// The one process-wide flag, kept with the engine contract so that every
// session refuses work once a table write has failed.
bool qdFatalError() { return qdFatalErrorFlag.load(std::memory_order_acquire); }

void qdSetFatalError() { qdFatalErrorFlag.store(true, std::memory_order_release); }

void qdFaultClearFatalError() { qdFatalErrorFlag.store(false, std::memory_order_release); }

// --- Freed blocks ----------------------------------------------------------------------------

void qdFormatFreedBlock(uint8_t* aImage, uint32_t aSize, TqdBlockNumber aBlockNumber, TqdLSN aLSN) {
  std::memset(aImage, 0, aSize);
  qdSetBlockSignature(aImage, qdSignature("DEAD"));
  qdSetBlockThisBlock(aImage, aBlockNumber);
  qdSetBlockLSN(aImage, aLSN);
}

// --- Journal classes -----------------------------------------------------------------------

const TqdJournalEngineClass TqdBaseJournalEngine::ClassInfo = {u"TqdBaseJournalEngine", nullptr, &createAbstract,
                                                               &checkAbstract, 0};

std::atomic<const TqdJournalEngineClass*> qdJournalEngineClass{nullptr};

bool TqdJournalEngineClass::InheritsFrom(const TqdJournalEngineClass* aAncestor) const {
  for (const TqdJournalEngineClass* type = this; type != nullptr; type = type->jecParent)
    if (type == aAncestor) return true;
  return false;
}

void qdRegisterJournalEngineClass(const TqdJournalEngineClass* aClass) {
  std::lock_guard guard(journalClassLock);
  for (const TqdJournalEngineClass* known : journalClasses)
    if (known == aClass) return;
  journalClasses.push_back(aClass);
}

void qdUnregisterJournalEngineClass(const TqdJournalEngineClass* aClass) {
  std::lock_guard guard(journalClassLock);
  std::erase(journalClasses, aClass);
}

const TqdJournalEngineClass* qdFindJournalEngineClass(const qdString& aName) {
  std::lock_guard guard(journalClassLock);
  for (const TqdJournalEngineClass* known : journalClasses)
    if (sameNameIgnoringCase(known->jecClassName, aName)) return known;
  return nullptr;
}

// --- Tables waiting for recovery -------------------------------------------------------------

void qdMarkTableUnrecovered(const qdString& aName, const qdString& aReason) {
  const std::string key = unrecoveredKey(aName);
  std::lock_guard guard(unrecoveredLock);
  unrecovered[key] = aReason;
}

void qdClearTableUnrecovered(const qdString& aName) {
  const std::string key = unrecoveredKey(aName);
  std::lock_guard guard(unrecoveredLock);
  if (!key.empty() && key.back() == '/') {
    // A folder: every entry inside it goes.
    for (auto entry = unrecovered.begin(); entry != unrecovered.end();) {
      if (entry->first.compare(0, key.size(), key) == 0 && entry->first.find('/', key.size()) == std::string::npos)
        entry = unrecovered.erase(entry);
      else
        ++entry;
    }
    return;
  }
  unrecovered.erase(key);
}

void qdSetJournalsOnDiskCheck(TqdJournalsOnDiskCheck aCheck) { journalsOnDiskCheck.store(aCheck); }

void qdCheckTablesRecovered(const std::vector<qdString>& aFileNames) {
  if (aFileNames.empty()) return;
  bool any = false;
  {
    // Resolving names is only worth it when some table waits.
    std::lock_guard guard(unrecoveredLock);
    any = !unrecovered.empty();
  }
  for (const qdString& fileName : aFileNames) {
    if (!any) break;
    const std::string key = unrecoveredKey(fileName);
    qdString reason;
    {
      std::lock_guard guard(unrecoveredLock);
      auto found = unrecovered.find(key);
      if (found == unrecovered.end()) found = unrecovered.find(qdFolderOf(key));
      if (found == unrecovered.end()) continue;
      reason = found->second;
    }
    throw EqdBaseFileException(
        qdeRecoveryFailed, u"Table \"%s\" cannot be opened until the journal of an interrupted commit is recovered: %s",
        {fileName, reason});
  }
  if (TqdJournalsOnDiskCheck check = journalsOnDiskCheck.load()) check(aFileNames);
}

void qdCheckTableRecovered(const qdString& aFileName) { qdCheckTablesRecovered({aFileName}); }

}  // namespace qd
