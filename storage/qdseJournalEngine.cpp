#include "storage/qdseJournalEngine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "client/qdsdServerEngine.h"
#include "platform/qdFormat.h"
#include "platform/qdLittleEndian.h"
#include "storage/qdsrEncryptionEngineBase.h"
#include "storage/qdsrFilePosix.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseJournalEngine";
constexpr const char kExtension[] = ".n$2";
// Records are gathered and written in pieces of about this size.
constexpr size_t kWriteChunk = size_t(1) << 20;
constexpr int kCreateAttempts = 1000;

std::atomic<int64_t> lastJournalNumber{0};

// The spare journal file of each folder: created empty by the last commit
// in the folder and made durable by its folder sync.
std::mutex spareLock;
std::map<std::string, std::string> spares;

// The journal files of this process's commits in progress (opened, not yet
// deleted or kept). The look at the disk before a table open or a commit
// passes them by: the cache makes a commit wait for the flush of an earlier
// commit of the same table in this process.
std::mutex ownLock;
std::set<std::string> ownJournals;

void addOwnJournal(const std::string& aName) {
  std::lock_guard guard(ownLock);
  ownJournals.insert(aName);
}

void removeOwnJournal(const std::string& aName) {
  std::lock_guard guard(ownLock);
  ownJournals.erase(aName);
}

bool isOwnJournal(const std::string& aName) {
  {
    std::lock_guard guard(ownLock);
    if (ownJournals.count(aName) != 0) return true;
  }
  std::lock_guard guard(spareLock);
  for (const auto& [folder, name] : spares)
    if (name == aName) return true;
  return false;
}

// How long a table open or a commit sleeps between two looks at a journal
// that a live process holds (a file lock cannot be waited for with a
// deadline).
constexpr auto kJournalPoll = std::chrono::milliseconds(5);

qdString errorText(int aError) {
  char buffer[256];
  return Utf8ToString(strerror_r(aError, buffer, sizeof buffer));
}

bool endsWithExtension(const std::string& aName) {
  const size_t length = sizeof kExtension - 1;
  if (aName.size() <= length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = aName[aName.size() - length + i];
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
    if (c != kExtension[i]) return false;
  }
  return true;
}

// The number of a journal file name "<digits>.n$2", -1 for another name.
int64_t journalNumber(const std::string& aName) {
  if (!endsWithExtension(aName)) return -1;
  const size_t digits = aName.size() - (sizeof kExtension - 1);
  if (digits == 0 || digits > 18) return -1;
  int64_t number = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (aName[i] < '0' || aName[i] > '9') return -1;
    number = number * 10 + (aName[i] - '0');
  }
  return number;
}

std::string withSlash(std::string aFolder) {
  if (!aFolder.empty() && aFolder.back() != '/') aFolder.push_back('/');
  return aFolder;
}

std::string withoutSlash(std::string aFolder) {
  while (aFolder.size() > 1 && aFolder.back() == '/') aFolder.pop_back();
  return aFolder;
}

std::string canonicalFolder(TqdFileSystem& aFileSystem, const std::string& aFolder) {
  if (aFolder.empty()) return withSlash(aFileSystem.CanonicalName("."));
  return withSlash(aFileSystem.CanonicalName(withoutSlash(aFolder)));
}

bool takeSpare(const std::string& aFolder, std::string& aName) {
  std::lock_guard guard(spareLock);
  auto found = spares.find(aFolder);
  if (found == spares.end()) return false;
  aName = found->second;
  spares.erase(found);
  return true;
}

// Creates the folder's next journal file, empty, unless it has one; the
// caller's folder sync makes it durable.
void makeSpare(TqdFileSystem& aFileSystem, const std::string& aFolder) {
  {
    std::lock_guard guard(spareLock);
    if (spares.count(aFolder) != 0) return;
  }
  TqdOSOpenRequest request;
  request.orRead = true;
  request.orWrite = true;
  request.orCreateExclusive = true;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string name = aFolder + std::to_string(qdNextJournalNumber(0)) + kExtension;
    std::unique_ptr<TqdOSFile> file;
    const int error = aFileSystem.Open(name, request, file);
    if (error == EEXIST) continue;
    // Without a spare the next commit creates its journal itself.
    if (error != 0) return;
    (void)file->Close();  // an empty file has nothing to lose
    std::lock_guard guard(spareLock);
    if (spares.count(aFolder) == 0) {
      spares[aFolder] = name;
    } else {
      (void)aFileSystem.Delete(name);  // another commit made one meanwhile
    }
    return;
  }
}

struct TqdJournalRecord {
  TqdBlockNumber jrBlock;
  uint8_t jrSizeCode;
  uint8_t jrImageKind;
  std::string jrName;
  int64_t jrImageOffset;
};

[[noreturn]] void raiseDamaged(const std::string& aJournal, int64_t aOffset, const char16_t* aWhat,
                               const char* aFile = __builtin_FILE(), int aLine = __builtin_LINE()) {
  qdRaiseCorrupt<Eqd1xJournalEngineException>(
      qdeFileCorrupt,
      Format(u"Journal \"%s\" is damaged at offset %d: %s", {Utf8ToString(aJournal), aOffset, qdString(aWhat)}), aFile,
      aLine);
}

[[noreturn]] void raiseTruncated(const std::string& aJournal, uint32_t aBytes) {
  throw Eqd1xJournalEngineException(qdeReadErr,
                                    u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]",
                                    {Utf8ToString(aJournal), aBytes});
}

// A record name is the plain name of a file inside the journal's folder.
bool validTableName(const std::string& aName) {
  if (aName.empty() || aName == "." || aName == "..") return false;
  for (char c : aName)
    if (c == '/' || c == '\0') return false;
  if (endsWithExtension(aName)) return false;
  return StringToUtf8(Utf8ToString(aName)) == aName;
}

// Reads every record header of a journal and checks it, the images only
// for their presence. aNames receives the table names in the order met,
// also when a later record is damaged.
void parseJournal(TqdOSFile& aFile, const std::string& aJournal, std::vector<TqdJournalRecord>& aRecords,
                  std::vector<std::string>& aNames) {
  int64_t size = 0;
  if (int error = aFile.Size(size))
    throw Eqd1xJournalEngineException(qdeReadErr, u"INTERNAL: Error when getting size of file [%s, error %d, %s]",
                                      {Utf8ToString(aJournal), error, errorText(error)});
  std::map<std::string, uint8_t> sizeCodes;
  uint8_t header[kJournalRecordHeaderSize];
  int64_t offset = kJournalHeaderSize;
  while (offset < size) {
    if (size - offset < int64_t(kJournalRecordHeaderSize)) raiseTruncated(aJournal, kJournalRecordHeaderSize);
    size_t done = 0;
    if (int error = aFile.PRead(offset, header, sizeof header, done))
      throw Eqd1xJournalEngineException(qdeReadErr, u"INTERNAL: Error when reading from file [%s, error %d, %s]",
                                        {Utf8ToString(aJournal), error, errorText(error)});
    if (done != sizeof header) raiseTruncated(aJournal, kJournalRecordHeaderSize);
    if (std::memcmp(header, "QDJR", 4) != 0) raiseDamaged(aJournal, offset, u"no record signature");
    const uint8_t sizeCode = header[8];
    if (sizeCode > kMaxTableBlockSizeCode) raiseDamaged(aJournal, offset, u"block size code out of range");
    const uint8_t imageKind = header[9];
    if (imageKind != kJournalBeforeImage && imageKind != kJournalAfterImage && imageKind != kJournalNoImage)
      raiseDamaged(aJournal, offset, u"unknown image kind");
    if (header[10] != 0 || header[11] != 0) raiseDamaged(aJournal, offset, u"reserved bytes are not zero");
    const uint8_t nameLength = header[12];
    for (size_t i = 13 + size_t(nameLength); i < sizeof header; ++i)
      if (header[i] != 0) raiseDamaged(aJournal, offset, u"the table name is not zero-filled");
    std::string name(reinterpret_cast<const char*>(header + 13), nameLength);
    if (!validTableName(name)) raiseDamaged(aJournal, offset, u"the table name is not a file of the journal's folder");
    if (std::find(aNames.begin(), aNames.end(), name) == aNames.end()) aNames.push_back(name);
    auto known = sizeCodes.emplace(name, sizeCode).first;
    if (known->second != sizeCode) raiseDamaged(aJournal, offset, u"block sizes of one table differ");
    const uint32_t imageBytes = imageKind == kJournalNoImage ? 0 : qdBlockSizeAllBytes(TqdBlockSize(sizeCode));
    if (size - offset - int64_t(kJournalRecordHeaderSize) < int64_t(imageBytes)) raiseTruncated(aJournal, imageBytes);
    aRecords.push_back({qdGetU32(header + 4), sizeCode, imageKind, std::move(name), offset + kJournalRecordHeaderSize});
    offset += kJournalRecordHeaderSize + imageBytes;
  }
}

bool sameTableName(const std::string& aLeft, const std::string& aRight) {
  if (aLeft.size() != aRight.size()) return false;
  for (size_t i = 0; i < aLeft.size(); ++i) {
    char left = aLeft[i];
    char right = aRight[i];
    if (left >= 'A' && left <= 'Z') left = char(left + 32);
    if (right >= 'A' && right <= 'Z') right = char(right + 32);
    if (left != right) return false;
  }
  return true;
}

// What one journal file on disk means for a set of tables of its folder.
enum TqdJournalVerdict : uint8_t {
  // Not a journal that recovery would replay over them: a spare, an
  // unfinished journal (nothing of its commit reached a table), a file
  // without a journal header (recovery reports it and writes nothing), a
  // journal of other tables, or a file that is gone.
  jvClear,
  // Recovery replays it, or keeps it and refuses the tables: the tables wait
  // for a check.
  jvRefused,
  // A complete journal of one of the tables that a live process holds: its
  // commit is still writing the tables and deletes the journal when done.
  jvBusy,
};

TqdJournalVerdict judgeJournal(TqdFileSystem& aFileSystem, const std::string& aPath,
                               const std::vector<std::string>& aTables) {
  TqdOSOpenRequest request;
  request.orRead = true;
  request.orLock = flkShared;
  std::unique_ptr<TqdOSFile> file;
  int error = aFileSystem.Open(aPath, request, file);
  bool held = false;
  if (error == EWOULDBLOCK) {
    // Held by a live process: its content says whether it is complete.
    held = true;
    request.orLock = flkNone;
    error = aFileSystem.Open(aPath, request, file);
  }
  if (error == ENOENT) return jvClear;
  if (error != 0) return jvRefused;  // unreadable: what recovery will do is unknown
  struct TqdClose {
    std::unique_ptr<TqdOSFile>& fFile;
    ~TqdClose() { (void)fFile->Close(); }  // only read
  } close{file};
  int64_t size = 0;
  if (file->Size(size) != 0) return jvRefused;
  uint8_t header[kJournalHeaderSize] = {};
  size_t done = 0;
  if (size < int64_t(kJournalHeaderSize) || file->PRead(0, header, sizeof header, done) != 0 || done != sizeof header ||
      std::memcmp(header, "QDJH", 4) != 0)
    return jvClear;
  const uint32_t flag = qdGetU32(header + 4);
  if (flag == 0) return jvClear;
  std::vector<TqdJournalRecord> records;
  std::vector<std::string> names;
  try {
    parseJournal(*file, aPath, records, names);
  } catch (const EqdBaseException&) {
    // A damaged journal without a name blocks its whole folder at recovery.
    if (names.empty()) return held ? jvBusy : jvRefused;
  }
  for (const std::string& name : names)
    for (const std::string& table : aTables)
      if (sameTableName(name, table)) return held ? jvBusy : jvRefused;
  return jvClear;
}

// The journals on disk that keep the tables aFileNames from being opened or
// committed to (see qdCheckTablesRecovered).
void checkJournalsOnDisk(const std::vector<qdString>& aFileNames) {
  TqdFileSystem& fileSystem = qdFileSystem();
  std::map<std::string, std::vector<std::string>> byFolder;
  std::map<std::string, qdString> shown;
  for (const qdString& fileName : aFileNames) {
    const std::string name = StringToUtf8(fileName);
    const std::string folder = qdFolderOf(name);
    if (folder.empty()) continue;
    byFolder[folder].push_back(name.substr(folder.size()));
    shown.emplace(folder + name.substr(folder.size()), fileName);
  }
  const uint64_t deadline = qdThreadOperationDeadline();
  for (const auto& [folder, tables] : byFolder) {
    for (;;) {
      std::vector<std::string> names;
      // A folder that cannot be listed holds no table that could be opened.
      if (fileSystem.ListFolder(folder, names) != 0) break;
      std::string busy;
      for (const std::string& name : names) {
        if (!endsWithExtension(name)) continue;
        const std::string path = folder + name;
        if (isOwnJournal(path)) continue;
        const TqdJournalVerdict verdict = judgeJournal(fileSystem, path, tables);
        if (verdict == jvClear) continue;
        qdString table;
        for (const std::string& part : tables) {
          if (!table.empty()) table += u"\", \"";
          table += shown[folder + part];
        }
        if (verdict == jvRefused)
          throw EqdBaseFileException(
              qdeRecoveryFailed,
              u"Table \"%s\" cannot be opened until the journal of an interrupted commit is recovered: journal \"%s\" "
              u"waits for a check of its folder",
              {table, Utf8ToString(path)});
        busy = path;
        const uint64_t now = uint64_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
        if (deadline != 0 && now >= deadline)
          throw EqdBaseFileException(
              qdeRecoveryFailed,
              u"Table \"%s\" cannot be opened until the journal of an interrupted commit is recovered: journal \"%s\" "
              u"is still held by the commit of another process",
              {table, Utf8ToString(path)});
        break;
      }
      if (busy.empty()) break;
      qdTestPoint("qdseJournalEngine.WaitForJournal");
      std::this_thread::sleep_for(kJournalPoll);
    }
  }
}

}  // namespace

const TqdJournalEngineClass* qdPersistentJournalEngineClass() {
  const TqdJournalEngineClass* type = qdJournalEngineClass.load();
  return type != nullptr ? type : &Tqd1xRollbackJournalEngine::ClassInfo;
}

int64_t qdNextJournalNumber(int64_t aAtLeast) {
  int64_t last = lastJournalNumber.load(std::memory_order_relaxed);
  int64_t next;
  do {
    next = std::max(last + 1, aAtLeast);
  } while (!lastJournalNumber.compare_exchange_weak(last, next, std::memory_order_relaxed));
  return next;
}

// --- Engine ------------------------------------------------------------------------------

namespace {

template <class T>
std::unique_ptr<TqdBaseJournalEngine> createEngine(const TqdJournalEngineClass* aClass, const qdString& aFileName) {
  return std::make_unique<T>(aClass, aFileName);
}

}  // namespace

const TqdJournalEngineClass Tqd1xJournalEngine::ClassInfo = {u"Tqd1xJournalEngine", &TqdBaseJournalEngine::ClassInfo,
                                                             &createEngine<Tqd1xJournalEngine>,
                                                             &Tqd1xJournalEngine::Check, 0};
const TqdJournalEngineClass Tqd1xCommitJournalEngine::ClassInfo = {
    u"Tqd1xCommitJournalEngine", &Tqd1xJournalEngine::ClassInfo, &createEngine<Tqd1xCommitJournalEngine>,
    &Tqd1xJournalEngine::Check, 1};
const TqdJournalEngineClass Tqd1xRollbackJournalEngine::ClassInfo = {
    u"Tqd1xRollbackJournalEngine", &Tqd1xJournalEngine::ClassInfo, &createEngine<Tqd1xRollbackJournalEngine>,
    &Tqd1xJournalEngine::Check, 2};

const TqdJournalEngineClass* qdJournalEngineClassOfKind(int64_t aKind) {
  for (const TqdJournalEngineClass* type :
       {&Tqd1xJournalEngine::ClassInfo, &Tqd1xCommitJournalEngine::ClassInfo, &Tqd1xRollbackJournalEngine::ClassInfo})
    if (type->jecKind == aKind) return type;
  return nullptr;
}

Tqd1xJournalEngine::Tqd1xJournalEngine(const TqdJournalEngineClass* aClass, const qdString& aFileName)
    : TqdBaseJournalEngine(aClass, aFileName) {}

Tqd1xJournalEngine::~Tqd1xJournalEngine() {
  if (jeState != jsOpen) return;
  // An unfinished journal: its commit wrote no table file. It goes durably,
  // so that recovery never meets it.
  try {
    DeleteJournal();
  } catch (...) {
    // Nothing can be reported from a destructor; recovery deletes an
    // unfinished journal, and a finished one of a commit that never touched
    // its tables replays images the tables already hold.
  }
  if (jeState == jsOpen) removeOwnJournal(jeOSName);
}

void Tqd1xJournalEngine::RaiseWriteError(int aError) {
  throw Eqd1xJournalEngineException(qdeWriteErr, u"INTERNAL: Error when writing to file [%s, error %d, %s]",
                                    {bjeFileName, aError, errorText(aError)});
}

void Tqd1xJournalEngine::PrepareJournal() {
  if (jeState != jsNone) qdAssertFailed(kUnit, "PrepareJournal on a journal that is open or done");
  jeFileSystem = &qdFileSystem();
  const std::string given = StringToUtf8(bjeFileName);
  jeFolder = qdFolderOf(given);
  TqdOSOpenRequest request;
  request.orRead = true;
  request.orWrite = true;
  request.orLock = flkExclusive;
  std::string spare;
  if (takeSpare(jeFolder, spare)) {
    int64_t size = -1;
    if (jeFileSystem->Open(spare, request, jeJournalFile) == 0 && jeJournalFile->Size(size) == 0 && size == 0) {
      jeOSName = spare;
    } else {
      // Gone or taken over by someone else: start afresh.
      jeJournalFile.reset();
    }
  }
  if (!jeJournalFile) {
    request.orCreateExclusive = true;
    int64_t number = journalNumber(given.substr(jeFolder.size()));
    if (number >= 0) number = qdNextJournalNumber(number);
    for (int attempt = 0;; ++attempt) {
      const std::string name = number >= 0 ? jeFolder + std::to_string(number) + kExtension : given;
      const int error = jeFileSystem->Open(name, request, jeJournalFile);
      if (error == 0) {
        jeOSName = name;
        break;
      }
      // Never over an existing journal: that one may wait for recovery.
      if (error == EEXIST && number >= 0 && attempt < kCreateAttempts) {
        number = qdNextJournalNumber(number + 1);
        continue;
      }
      throw Eqd1xJournalEngineException(qdeFileNoAccess, u"INTERNAL: File could not be opened [%s, error %d, %s]",
                                        {Utf8ToString(name), error, errorText(error)});
    }
    jeNeedsFolderSync = true;
  }
  bjeFileName = Utf8ToString(jeOSName);
  jeState = jsOpen;
  addOwnJournal(jeOSName);
  jeBuffer.clear();
  jeFileOffset = 0;
  WriteJournalHeader(false);
}

void Tqd1xJournalEngine::WriteJournalHeader(bool aComplete) {
  uint8_t header[kJournalHeaderSize];
  std::memcpy(header, "QDJH", 4);
  qdPutU32(header + 4, aComplete ? kJournalComplete : 0);
  qdPutU32(header + 8, uint32_t(GetJournalKind()));
  if (!aComplete) {
    // The first header goes out with the records and their sync.
    jeBuffer.insert(jeBuffer.end(), header, header + sizeof header);
    return;
  }
  // The flag alone: its sector is written after the records are durable.
  size_t done = 0;
  if (int error = jeJournalFile->PWrite(4, header + 4, 4, done)) RaiseWriteError(error);
  if (done != 4) RaiseWriteError(ENOSPC);
}

void Tqd1xJournalEngine::WriteOut() {
  if (jeBuffer.empty()) return;
  size_t done = 0;
  if (int error = jeJournalFile->PWrite(jeFileOffset, jeBuffer.data(), jeBuffer.size(), done)) RaiseWriteError(error);
  if (done != jeBuffer.size()) RaiseWriteError(ENOSPC);
  jeFileOffset += int64_t(done);
  jeBuffer.clear();
}

const std::string& Tqd1xJournalEngine::TableName(TqdBaseFile* aFile) {
  if (aFile == jeNameFile) return jeName;
  const std::string fileName = StringToUtf8(aFile->FileName());
  const std::string folder = qdFolderOf(fileName);
  const std::string name = fileName.substr(folder.size());
  // Recovery writes only into its own folder; a name it could not take
  // back is refused before any table is touched.
  if (canonicalFolder(*jeFileSystem, folder) != canonicalFolder(*jeFileSystem, jeFolder))
    throw Eqd1xJournalEngineException(qdeInvalidParam,
                                      u"Table \"%s\" cannot be journalled: it is not in the journal's folder \"%s\"",
                                      {aFile->FileName(), Utf8ToString(jeFolder)});
  if (name.empty() || name.size() > 255)
    throw Eqd1xJournalEngineException(qdeInvalidParam,
                                      u"Table \"%s\" cannot be journalled: its file name is longer than 255 bytes",
                                      {aFile->FileName()});
  jeNameFile = aFile;
  jeName = name;
  if (std::find(jeTables.begin(), jeTables.end(), fileName) == jeTables.end()) jeTables.push_back(fileName);
  // Blocks beyond the file's end have no bytes to keep (a table created by
  // this very commit has none at all).
  jePhysicalBlocks = aFile->PhysicalBlockCount();
  return jeName;
}

void Tqd1xJournalEngine::AddBlock(TqdBaseTransaction* aTrans, TqdReadOnlyBlock* aBlock) {
  if (jeState != jsOpen) qdAssertFailed(kUnit, "AddBlock on a journal that is not open");
  const int32_t kind = GetJournalKind();
  const TqdBlockSize size = aBlock->FileObject()->fiBlockSize;
  if (kind == 0 || kind == 2) WriteBlockRecord(aBlock, aTrans, true, size);
  if (kind == 0 || kind == 1) WriteBlockRecord(aBlock, aTrans, false, size);
  if (jeBuffer.size() >= kWriteChunk) WriteOut();
}

void Tqd1xJournalEngine::WriteBlockRecord(TqdReadOnlyBlock* aBlock, TqdBaseTransaction* aTrans, bool aBeforeImage,
                                          TqdBlockSize aBlockSize) {
  TqdBaseFile* file = aBlock->FileObject();
  // Images are journalled exactly as they are written to the file, so that
  // recovery puts them back without any password.
  const std::string& name = TableName(file);
  const uint32_t bytes = qdBlockSizeAllBytes(aBlockSize);
  const uint8_t* image = nullptr;
  uint8_t imageKind = aBeforeImage ? kJournalBeforeImage : kJournalAfterImage;
  // An image read from the file is already in its stored form.
  bool imageFromFile = false;
  if (aBeforeImage) {
    if (aBlock->CacheBlock() != nullptr) {
      image = aBlock->CacheBlock()->Block();
    } else if (aBlock->BlockNumber() < file->fiUsedBlocks && aBlock->BlockNumber() < jePhysicalBlocks) {
      // A block the file holds (a freed one taken again): its bytes on disk
      // are what a rollback must put back.
      jeScratch.resize(bytes);
      file->ReadFileExactAt(int64_t(aBlock->BlockNumber()) << qdBlockSizeShift(aBlockSize), bytes, jeScratch.data());
      image = jeScratch.data();
      imageFromFile = true;
    } else {
      imageKind = kJournalNoImage;
    }
  } else {
    TqdModifiedBlock* newest = aBlock->NewestVersion();
    if (newest == nullptr) qdAssertFailed(kUnit, "after-image of a block the transaction did not change");
    if (newest->mbDiscarded || newest->CacheBlock() == nullptr) {
      jeScratch.resize(bytes);
      qdFormatFreedBlock(jeScratch.data(), bytes, aBlock->BlockNumber(), aTrans->btLSN);
      image = jeScratch.data();
    } else {
      image = newest->CacheBlock()->Block();
    }
  }
  if (file->fiEncryptionEngine && image != nullptr && !imageFromFile && aBlock->BlockNumber() != 0) {
    jeCoded.resize(bytes);
    std::vector<uint8_t> cookie;
    file->fiEncryptionEngine->CodeBlockEx(image, jeCoded.data(), bytes, aBlock->BlockNumber(), cookie,
                                          file->fiChecksum);
    image = jeCoded.data();
  }
  uint8_t header[kJournalRecordHeaderSize] = {};
  std::memcpy(header, "QDJR", 4);
  qdPutU32(header + 4, aBlock->BlockNumber());
  header[8] = uint8_t(aBlockSize);
  header[9] = imageKind;
  header[12] = uint8_t(name.size());
  std::memcpy(header + 13, name.data(), name.size());
  jeBuffer.insert(jeBuffer.end(), header, header + sizeof header);
  if (image != nullptr) jeBuffer.insert(jeBuffer.end(), image, image + bytes);
}

void Tqd1xJournalEngine::FinalizeJournal() {
  if (jeState != jsOpen) qdAssertFailed(kUnit, "FinalizeJournal on a journal that is not open");
  WriteOut();
  // The records are durable before the flag says they are complete, and
  // the flag before any table is written.
  if (int error = jeJournalFile->DataSync()) RaiseWriteError(error);
  WriteJournalHeader(true);
  if (int error = jeJournalFile->DataSync()) RaiseWriteError(error);
  if (jeNeedsFolderSync) {
    if (int error = jeFileSystem->SyncFolder(jeFolder)) RaiseWriteError(error);
    jeNeedsFolderSync = false;
  }
}

void Tqd1xJournalEngine::DeleteJournal() {
  if (jeState != jsOpen) return;
  // Deleted while still locked, so that no other process's recovery opens
  // it in between.
  if (int error = jeFileSystem->Delete(jeOSName)) {
    if (error != ENOENT)
      throw Eqd1xJournalEngineException(qdeDeleteFailed, u"DeleteFile (\"%s\") [error %d, %s]",
                                        {bjeFileName, error, errorText(error)});
  }
  jeState = jsDeleted;
  (void)jeJournalFile->Close();  // the file is gone; closing cannot lose anything
  jeJournalFile.reset();
  removeOwnJournal(jeOSName);
  makeSpare(*jeFileSystem, jeFolder);
  if (int error = jeFileSystem->SyncFolder(jeFolder)) RaiseWriteError(error);
}

void Tqd1xJournalEngine::KeepJournal() {
  if (jeState != jsOpen) return;
  jeState = jsKept;
  // Its commit may have reached the tables in part: they wait for a check,
  // here through the registry, in every other process through the journal
  // file itself.
  const qdString reason = Format(u"journal \"%s\" was kept by a failed commit", {bjeFileName});
  for (const std::string& table : jeTables) qdMarkTableUnrecovered(Utf8ToString(table), reason);
  std::unique_ptr<TqdOSFile> file = std::move(jeJournalFile);
  (void)file->Close();  // what reached the file is what recovery finds
  removeOwnJournal(jeOSName);
}

// --- Recovery ------------------------------------------------------------------------------

void Tqd1xJournalEngine::ReplayJournal(TqdOSFile& aJournalFile, const std::string& aJournalName,
                                       const std::string& aFolder, bool aApplyAfterImages) {
  std::vector<TqdJournalRecord> records;
  std::vector<std::string> names;
  parseJournal(aJournalFile, aJournalName, records, names);
  TqdFileSystem& fileSystem = qdFileSystem();
  const uint8_t applied = aApplyAfterImages ? kJournalAfterImage : kJournalBeforeImage;
  std::vector<uint8_t> image;
  auto readImage = [&](const TqdJournalRecord& aRecord) {
    const uint32_t bytes = qdBlockSizeAllBytes(TqdBlockSize(aRecord.jrSizeCode));
    image.resize(bytes);
    size_t done = 0;
    if (int error = aJournalFile.PRead(aRecord.jrImageOffset, image.data(), bytes, done))
      throw Eqd1xJournalEngineException(qdeReadErr, u"INTERNAL: Error when reading from file [%s, error %d, %s]",
                                        {Utf8ToString(aJournalName), error, errorText(error)});
    if (done != bytes) raiseTruncated(aJournalName, bytes);
  };
  // Every table is opened and every record checked against it before the
  // first byte is written.
  struct TqdReplayTable {
    std::string rtName;
    std::string rtPath;
    std::unique_ptr<TqdOSFile> rtFile;
  };
  std::vector<TqdReplayTable> tables;
  for (const std::string& name : names) {
    bool any = false;
    const TqdJournalRecord* header = nullptr;
    for (const TqdJournalRecord& record : records)
      if (record.jrName == name && record.jrImageKind == applied) {
        any = true;
        if (record.jrBlock == 0) header = &record;
      }
    if (!any) continue;
    const std::string path = aFolder + name;
    TqdFileAttributesInfo info;
    if (int error = fileSystem.Attributes(path, info))
      throw Eqd1xJournalEngineException(qdeFileNoAccess, u"INTERNAL: File could not be opened [%s, error %d, %s]",
                                        {Utf8ToString(path), error, errorText(error)});
    TqdOSOpenRequest request;
    request.orRead = true;
    request.orWrite = true;
    request.orLock = flkExclusive;
    if (info.faExists) {
      if (info.faIsFolder || info.faIsLink)
        throw Eqd1xJournalEngineException(qdeFileNoAccess, u"Journal \"%s\" names \"%s\", which is not a table file",
                                          {Utf8ToString(aJournalName), Utf8ToString(path)});
    } else if (aApplyAfterImages && header != nullptr) {
      // A table created by the commit that is rolled forward.
      request.orCreateExclusive = true;
    } else {
      throw Eqd1xJournalEngineException(qdeFileNoAccess, u"Journal \"%s\" names the missing table file \"%s\"",
                                        {Utf8ToString(aJournalName), Utf8ToString(path)});
    }
    // What the table can hold once replayed: the blocks its journalled
    // block 0 counts, else the blocks its file has. A record beyond that is
    // damage, never a reason to grow the file.
    uint64_t limit = 0;
    if (header != nullptr) {
      readImage(*header);
      TqdPosixFile scratch;
      scratch.fiName = Utf8ToString(path);
      try {
        limit = TqdBaseFileHeaderAccessFactory::CreateFactory(TqdBlockSignature(), image.data(), &scratch)
                    ->GetUsedBlocks(image.data());
      } catch (const EqdBaseException&) {
        raiseDamaged(aJournalName, header->jrImageOffset, u"the image of block 0 is not a table header");
      }
    }
    std::unique_ptr<TqdOSFile> table;
    if (request.orCreateExclusive) {
      // Created only once every record has been checked.
    } else {
      if (int error = fileSystem.Open(path, request, table))
        throw Eqd1xJournalEngineException(qdeFileNoAccess, u"INTERNAL: File could not be opened [%s, error %d, %s]",
                                          {Utf8ToString(path), error, errorText(error)});
      if (header == nullptr) {
        int64_t size = 0;
        if (int error = table->Size(size))
          throw Eqd1xJournalEngineException(qdeReadErr, u"INTERNAL: Error when getting size of file [%s, error %d, %s]",
                                            {Utf8ToString(path), error, errorText(error)});
        for (const TqdJournalRecord& record : records)
          if (record.jrName == name) {
            limit = uint64_t(size) >> qdBlockSizeShift(TqdBlockSize(record.jrSizeCode));
            break;
          }
      }
    }
    for (const TqdJournalRecord& record : records)
      if (record.jrName == name && record.jrImageKind == applied && record.jrBlock >= limit)
        raiseDamaged(aJournalName, record.jrImageOffset - kJournalRecordHeaderSize,
                     u"the block number lies beyond what the table can hold");
    tables.push_back({name, path, std::move(table)});
  }
  for (TqdReplayTable& entry : tables) {
    const std::string& path = entry.rtPath;
    if (!entry.rtFile) {
      TqdOSOpenRequest request;
      request.orRead = true;
      request.orWrite = true;
      request.orLock = flkExclusive;
      request.orCreateExclusive = true;
      if (int error = fileSystem.Open(path, request, entry.rtFile))
        throw Eqd1xJournalEngineException(qdeFileNoAccess, u"INTERNAL: File could not be opened [%s, error %d, %s]",
                                          {Utf8ToString(path), error, errorText(error)});
    }
    TqdOSFile& table = *entry.rtFile;
    for (const TqdJournalRecord& record : records) {
      if (record.jrName != entry.rtName || record.jrImageKind != applied) continue;
      readImage(record);
      const TqdBlockSize size = TqdBlockSize(record.jrSizeCode);
      const uint32_t bytes = qdBlockSizeAllBytes(size);
      const int64_t offset = int64_t(record.jrBlock) << qdBlockSizeShift(size);
      size_t done = 0;
      int error = table.PWrite(offset, image.data(), bytes, done);
      if (error == 0 && done != bytes) error = ENOSPC;
      if (error != 0)
        throw Eqd1xJournalEngineException(qdeWriteErr, u"INTERNAL: Error when writing to file [%s, error %d, %s]",
                                          {Utf8ToString(path), error, errorText(error)});
    }
    if (int error = table.DataSync())
      throw Eqd1xJournalEngineException(qdeWriteErr, u"INTERNAL: Error when flushing file [%s, error %d, %s]",
                                        {Utf8ToString(path), error, errorText(error)});
    std::unique_ptr<TqdOSFile> closing = std::move(entry.rtFile);
    if (int error = closing->Close())
      throw Eqd1xJournalEngineException(qdeCloseFailed, u"INTERNAL: File could not be closed [%s, error %d, %s]",
                                        {Utf8ToString(path), error, errorText(error)});
  }
  if (int error = fileSystem.SyncFolder(aFolder))
    throw Eqd1xJournalEngineException(qdeWriteErr, u"INTERNAL: Error when flushing file [%s, error %d, %s]",
                                      {Utf8ToString(aFolder), error, errorText(error)});
}

namespace {

struct TqdCheckEntry {
  std::string ceName;
  int64_t ceNumber;
  std::unique_ptr<TqdOSFile> ceFile;
  bool ceForward = true;
};

}  // namespace

TqdJournalCheckResult Tqd1xJournalEngine::Check(const TqdJournalEngineClass* aClass, const qdString& aAlias,
                                                const qdString& aPath) {
  TqdJournalCheckResult result;
  TqdFileSystem& fileSystem = qdFileSystem();
  const std::string folder = withSlash(StringToUtf8(aPath));
  TqdFileAttributesInfo info;
  if (folder.empty() || fileSystem.Attributes(withoutSlash(folder), info) != 0 || !info.faExists || !info.faIsFolder)
    throw Eqd1xJournalEngineException(qdeAliasDirMissing);
  std::vector<std::string> names;
  if (int error = fileSystem.ListFolder(folder, names))
    throw Eqd1xJournalEngineException(qdeDirNoAccess, u"INTERNAL: Folder could not be read [%s, error %d, %s]",
                                      {Utf8ToString(folder), error, errorText(error)});
  qdClearTableUnrecovered(Utf8ToString(folder));

  auto report = [&](const std::string& aJournal, TqdResult aCode, const qdString& aMessage) {
    if (result.jcrErrorCode == 0) result.jcrErrorCode = aCode;
    result.jcrMessages.push_back(Format(u"Journal \"%s\" of database \"%s\" was kept for recovery: %s",
                                        {Utf8ToString(aJournal), aAlias, aMessage}));
  };
  auto messageOf = [](const std::exception& aError) -> qdString {
    if (auto* engine = dynamic_cast<const Exception*>(&aError)) return engine->Message();
    return Utf8ToString(aError.what());
  };
  auto codeOf = [](const std::exception& aError) -> TqdResult {
    if (auto* engine = dynamic_cast<const EqdBaseException*>(&aError)) return engine->ErrorCode();
    return qdeUnexpectedException;
  };
  // Deleted while the lock is held, so that no other process opens it in
  // between.
  auto remove = [&](TqdCheckEntry& aEntry) {
    const std::string path = folder + aEntry.ceName;
    int error = fileSystem.Delete(path);
    if (error == 0) error = fileSystem.SyncFolder(folder);
    (void)aEntry.ceFile->Close();  // nothing of a deleted file can be lost
    aEntry.ceFile.reset();
    if (error != 0)
      throw Eqd1xJournalEngineException(qdeDeleteFailed, u"DeleteFile (\"%s\") [error %d, %s]",
                                        {Utf8ToString(path), error, errorText(error)});
    ++result.jcrDeleted;
  };

  std::vector<TqdCheckEntry> entries;
  for (const std::string& name : names)
    if (endsWithExtension(name)) entries.push_back({name, journalNumber(name), nullptr});
  std::sort(entries.begin(), entries.end(), [](const TqdCheckEntry& aLeft, const TqdCheckEntry& aRight) {
    if ((aLeft.ceNumber < 0) != (aRight.ceNumber < 0)) return aLeft.ceNumber >= 0;
    if (aLeft.ceNumber != aRight.ceNumber) return aLeft.ceNumber < aRight.ceNumber;
    return aLeft.ceName < aRight.ceName;
  });

  // Tables of kept journals; a later journal on one of them waits too.
  std::set<std::string> blocked;
  bool blockAll = false;
  auto keep = [&](TqdCheckEntry& aEntry, const std::vector<std::string>& aTables, TqdResult aCode,
                  const qdString& aMessage) {
    report(aEntry.ceName, aCode, aMessage);
    const qdString reason = Format(u"journal \"%s\": %s", {Utf8ToString(folder + aEntry.ceName), aMessage});
    if (aTables.empty()) {
      blockAll = true;
      qdMarkTableUnrecovered(Utf8ToString(folder), reason);
    }
    for (const std::string& table : aTables) {
      blocked.insert(table);
      qdMarkTableUnrecovered(Utf8ToString(folder + table), reason);
    }
    if (aEntry.ceFile) (void)aEntry.ceFile->Close();  // only read
    aEntry.ceFile.reset();
  };

  std::vector<TqdCheckEntry*> forward;
  std::vector<TqdCheckEntry*> backward;
  for (TqdCheckEntry& entry : entries) {
    const std::string path = folder + entry.ceName;
    TqdOSOpenRequest request;
    request.orRead = true;
    request.orLock = flkExclusive;
    const int error = fileSystem.Open(path, request, entry.ceFile);
    // Held by another process: a commit in progress. Gone: taken meanwhile.
    if (error == EWOULDBLOCK || error == ENOENT) continue;
    try {
      if (error != 0)
        throw Eqd1xJournalEngineException(qdeFileNoAccess, u"INTERNAL: File could not be opened [%s, error %d, %s]",
                                          {Utf8ToString(path), error, errorText(error)});
      int64_t size = 0;
      if (int sizeError = entry.ceFile->Size(size))
        throw Eqd1xJournalEngineException(qdeReadErr, u"INTERNAL: Error when getting size of file [%s, error %d, %s]",
                                          {Utf8ToString(path), sizeError, errorText(sizeError)});
      // An empty file never held a journal (a spare, or a crash right after
      // the create).
      if (size == 0) {
        remove(entry);
        continue;
      }
      uint8_t header[kJournalHeaderSize] = {};
      size_t done = 0;
      if (size < int64_t(kJournalHeaderSize) || entry.ceFile->PRead(0, header, sizeof header, done) != 0 ||
          done != sizeof header || std::memcmp(header, "QDJH", 4) != 0)
        throw Eqd1xJournalEngineException(qdeCannotOpenFile,
                                          u"\"%s\" is not a QendoDB formatted file, or its file header is corrupt",
                                          {Utf8ToString(path)});
      const uint32_t flag = qdGetU32(header + 4);
      const uint32_t kind = qdGetU32(header + 8);
      if (flag == 0) {
        // The commit never wrote a table file.
        remove(entry);
        continue;
      }
      if (flag != kJournalComplete || kind > 2) {
        std::vector<TqdJournalRecord> records;
        std::vector<std::string> tables;
        try {
          parseJournal(*entry.ceFile, path, records, tables);
        } catch (const EqdBaseException&) {
          // The names met before the damage are what can be refused.
        }
        keep(entry, tables, qdeFileCorrupt,
             flag != kJournalComplete ? u"the complete flag is damaged" : u"the journal kind is unknown");
        continue;
      }
      entry.ceForward = kind == 1 || (kind == 0 && aClass->jecKind != 2);
      (entry.ceForward ? forward : backward).push_back(&entry);
    } catch (const EAbort&) {
      throw;
    } catch (const std::exception& e) {
      report(entry.ceName, codeOf(e), messageOf(e));
      if (entry.ceFile) (void)entry.ceFile->Close();  // only read
      entry.ceFile.reset();
    }
  }

  // Roll forward oldest first, then roll back newest first.
  std::vector<TqdCheckEntry*> order = forward;
  order.insert(order.end(), backward.rbegin(), backward.rend());
  for (TqdCheckEntry* entry : order) {
    const std::string path = folder + entry->ceName;
    std::vector<TqdJournalRecord> records;
    std::vector<std::string> tables;
    try {
      parseJournal(*entry->ceFile, path, records, tables);
    } catch (const EAbort&) {
      throw;
    } catch (const std::exception& e) {
      keep(*entry, tables, codeOf(e), messageOf(e));
      continue;
    }
    bool waits = blockAll;
    for (const std::string& table : tables) waits = waits || blocked.count(table) != 0;
    if (waits) {
      keep(*entry, tables, qdeRecoveryFailed, u"an earlier journal of the same tables was not recovered");
      continue;
    }
    try {
      ReplayJournal(*entry->ceFile, path, folder, entry->ceForward);
      remove(*entry);
      ++result.jcrReplayed;
    } catch (const EAbort&) {
      throw;
    } catch (const std::exception& e) {
      keep(*entry, tables, codeOf(e), messageOf(e));
    }
  }
  return result;
}

// --- Unit ------------------------------------------------------------------------------------

void qdseJournalEngineInitialize() {
  qdSetJournalsOnDiskCheck(&checkJournalsOnDisk);
  qdRegisterJournalEngineClass(&TqdBaseJournalEngine::ClassInfo);
  qdRegisterJournalEngineClass(&Tqd1xJournalEngine::ClassInfo);
  qdRegisterJournalEngineClass(&Tqd1xCommitJournalEngine::ClassInfo);
  qdRegisterJournalEngineClass(&Tqd1xRollbackJournalEngine::ClassInfo);
  const TqdJournalEngineClass* none = nullptr;
  qdJournalEngineClass.compare_exchange_strong(none, &Tqd1xRollbackJournalEngine::ClassInfo);
}

void qdseJournalEngineFinalize() {
  qdSetJournalsOnDiskCheck(nullptr);
  const TqdJournalEngineClass* current = qdJournalEngineClass.load();
  if (current == &Tqd1xJournalEngine::ClassInfo || current == &Tqd1xCommitJournalEngine::ClassInfo ||
      current == &Tqd1xRollbackJournalEngine::ClassInfo)
    qdJournalEngineClass.store(nullptr);
  qdUnregisterJournalEngineClass(&Tqd1xRollbackJournalEngine::ClassInfo);
  qdUnregisterJournalEngineClass(&Tqd1xCommitJournalEngine::ClassInfo);
  qdUnregisterJournalEngineClass(&Tqd1xJournalEngine::ClassInfo);
  qdUnregisterJournalEngineClass(&TqdBaseJournalEngine::ClassInfo);
  // Spare journal files are empty; a leftover one is deleted by the next
  // check of its folder anyway.
  std::lock_guard guard(spareLock);
  for (const auto& [folder, name] : spares) (void)qdFileSystem().Delete(name);
  spares.clear();
}

}  // namespace qd
