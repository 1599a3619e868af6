#include "storage/qdsrFaultFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace qd {

struct TqdFaultFileSystem::TqdFaultNode {
  std::vector<uint8_t> fnData;
  // The image of the last DataSync.
  std::vector<uint8_t> fnDurable;
  uint64_t fnInode = 0;
  int64_t fnBirth = 0;
  bool fnReadOnly = false;
  int fnSharedLocks = 0;
  bool fnExclusiveLock = false;
};

class TqdFaultOSFile final : public TqdOSFile {
 public:
  TqdFaultOSFile(TqdFaultFileSystem& aOwner, std::shared_ptr<TqdFaultFileSystem::TqdFaultNode> aNode, std::string aPath,
                 const TqdOSOpenRequest& aRequest)
      : fOwner(aOwner), fNode(std::move(aNode)), fPath(std::move(aPath)), fRequest(aRequest), fEpoch(aOwner.fEpoch) {}
  ~TqdFaultOSFile() override { (void)Close(); }  // nothing to report to from a destructor

  int PRead(int64_t aOffset, void* aBuffer, size_t aCount, size_t& aDone) override {
    std::lock_guard guard(fOwner.fLock);
    aDone = 0;
    if (int error = Usable(foRead, aOffset, int64_t(aCount))) return error;
    if (!fRequest.orRead) return Fail(EBADF);
    const auto& data = fNode->fnData;
    if (aOffset < 0) return Fail(EINVAL);
    if (uint64_t(aOffset) < data.size()) {
      aDone = std::min(aCount, size_t(data.size() - uint64_t(aOffset)));
      std::memcpy(aBuffer, data.data() + aOffset, aDone);
    }
    return 0;
  }

  int PWrite(int64_t aOffset, const void* aBuffer, size_t aCount, size_t& aDone) override {
    std::lock_guard guard(fOwner.fLock);
    aDone = 0;
    if (int error = Usable(foWrite, aOffset, int64_t(aCount))) return error;
    if (!fRequest.orWrite) return Fail(EBADF);
    if (aOffset < 0) return Fail(EINVAL);
    if (fOwner.fMaxFileSize > 0 && aOffset + int64_t(aCount) > fOwner.fMaxFileSize) return Fail(EFBIG);
    auto& data = fNode->fnData;
    if (data.size() < uint64_t(aOffset) + aCount) data.resize(size_t(aOffset) + aCount, 0);
    std::memcpy(data.data() + aOffset, aBuffer, aCount);
    aDone = aCount;
    return 0;
  }

  int Truncate(int64_t aSize) override {
    std::lock_guard guard(fOwner.fLock);
    if (int error = Usable(foTruncate, aSize, 0)) return error;
    if (!fRequest.orWrite) return Fail(EBADF);
    if (aSize < 0) return Fail(EINVAL);
    if (fOwner.fMaxFileSize > 0 && aSize > fOwner.fMaxFileSize) return Fail(EFBIG);
    fNode->fnData.resize(size_t(aSize), 0);
    return 0;
  }

  int DataSync() override {
    std::lock_guard guard(fOwner.fLock);
    if (int error = Usable(foSync, 0, int64_t(fNode->fnData.size()))) return error;
    fNode->fnDurable = fNode->fnData;
    return 0;
  }

  int Size(int64_t& aSize) override {
    std::lock_guard guard(fOwner.fLock);
    if (fClosed || fEpoch != fOwner.fEpoch) return EIO;
    aSize = int64_t(fNode->fnData.size());
    return 0;
  }

  int Identity(TqdOSFileIdentity& aIdentity) override {
    std::lock_guard guard(fOwner.fLock);
    if (fClosed || fEpoch != fOwner.fEpoch) return EIO;
    aIdentity.fidDevice = 0xFA17;
    aIdentity.fidInode = fNode->fnInode;
    aIdentity.fidHasBirthTime = true;
    aIdentity.fidBirthSeconds = fNode->fnBirth;
    aIdentity.fidBirthNanoseconds = 0;
    return 0;
  }

  int Close() override {
    std::lock_guard guard(fOwner.fLock);
    if (fClosed) return 0;
    fClosed = true;
    if (fEpoch == fOwner.fEpoch) {
      if (fRequest.orLock == flkExclusive) fNode->fnExclusiveLock = false;
      if (fRequest.orLock == flkShared) --fNode->fnSharedLocks;
    }
    fOwner.fRecords.push_back({foClose, fPath, 0, 0, 0});
    return 0;
  }

 private:
  int Usable(TqdFaultOp aOp, int64_t aOffset, int64_t aLength) {
    if (fClosed) return EBADF;
    if (fEpoch != fOwner.fEpoch) return EIO;
    return fOwner.CheckFault(aOp, fPath, aOffset, aLength);
  }

  int Fail(int aError) {
    fOwner.SetRecordResult(aError);
    return aError;
  }

  TqdFaultFileSystem& fOwner;
  std::shared_ptr<TqdFaultFileSystem::TqdFaultNode> fNode;
  std::string fPath;
  TqdOSOpenRequest fRequest;
  uint32_t fEpoch;
  bool fClosed = false;
};

TqdFaultFileSystem::TqdFaultFileSystem() { fFolders.insert("/"); }

TqdFaultFileSystem::~TqdFaultFileSystem() = default;

std::string TqdFaultFileSystem::Normalise(const std::string& aPath) {
  std::string result = aPath;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

bool TqdFaultFileSystem::FolderExists(const std::string& aFolder) const {
  return fFolders.count(Normalise(aFolder.empty() ? std::string("/") : aFolder)) != 0;
}

int TqdFaultFileSystem::CheckFault(TqdFaultOp aOp, const std::string& aPath, int64_t aOffset, int64_t aLength) {
  fRecords.push_back({aOp, aPath, aOffset, aLength, 0});
  const bool isChange = aOp == foWrite || aOp == foTruncate || aOp == foSync || aOp == foFolderSync ||
                        aOp == foRename || aOp == foDelete || (aOp == foOpen && aLength != 0);
  int result = 0;
  for (auto rule = fRules.begin(); rule != fRules.end();) {
    const bool matches = rule->frOp == aOp || (rule->frOp == foAnyChange && isChange);
    if (matches && rule->frRemaining > 0) --rule->frRemaining;
    if (matches && rule->frRemaining == 0) {
      if (result == 0) result = rule->frError;
      if (!rule->frSticky) {
        rule = fRules.erase(rule);
        continue;
      }
    }
    ++rule;
  }
  fRecords.back().frResult = result;
  return result;
}

void TqdFaultFileSystem::SetRecordResult(int aResult) {
  if (!fRecords.empty()) fRecords.back().frResult = aResult;
}

int TqdFaultFileSystem::Open(const std::string& aPath, const TqdOSOpenRequest& aRequest,
                             std::unique_ptr<TqdOSFile>& aFile) {
  std::lock_guard guard(fLock);
  aFile.reset();
  const std::string path = Normalise(aPath);
  // The length field of an open record says whether it creates a file.
  if (int error = CheckFault(foOpen, path, 0, aRequest.orCreateExclusive ? 1 : 0)) return error;
  auto found = fLive.find(path);
  if (aRequest.orCreateExclusive) {
    if (found != fLive.end() || fFolders.count(path) != 0) {
      SetRecordResult(EEXIST);
      return EEXIST;
    }
    if (!FolderExists(qdFolderOf(path))) {
      SetRecordResult(ENOENT);
      return ENOENT;
    }
    auto node = std::make_shared<TqdFaultNode>();
    node->fnInode = fNextInode++;
    node->fnBirth = fBirthCounter++;
    found = fLive.emplace(path, std::move(node)).first;
  } else if (found == fLive.end()) {
    const int error = fFolders.count(path) != 0 ? EISDIR : ENOENT;
    SetRecordResult(error);
    return error;
  }
  TqdFaultNode& node = *found->second;
  if (aRequest.orWrite && node.fnReadOnly && !aRequest.orCreateExclusive) {
    SetRecordResult(EACCES);
    return EACCES;
  }
  if ((aRequest.orLock == flkExclusive && (node.fnExclusiveLock || node.fnSharedLocks > 0)) ||
      (aRequest.orLock == flkShared && node.fnExclusiveLock)) {
    SetRecordResult(EWOULDBLOCK);
    return EWOULDBLOCK;
  }
  if (aRequest.orLock == flkExclusive) node.fnExclusiveLock = true;
  if (aRequest.orLock == flkShared) ++node.fnSharedLocks;
  aFile = std::make_unique<TqdFaultOSFile>(*this, found->second, path, aRequest);
  return 0;
}

int TqdFaultFileSystem::Rename(const std::string& aOldPath, const std::string& aNewPath, bool aReplace) {
  std::lock_guard guard(fLock);
  const std::string oldPath = Normalise(aOldPath);
  const std::string newPath = Normalise(aNewPath);
  if (int error = CheckFault(foRename, oldPath + " -> " + newPath, 0, 0)) return error;
  auto found = fLive.find(oldPath);
  int error = 0;
  if (found == fLive.end())
    error = ENOENT;
  else if (!FolderExists(qdFolderOf(newPath)))
    error = ENOENT;
  else if (!aReplace && fLive.count(newPath) != 0)
    error = EEXIST;
  if (error != 0) {
    SetRecordResult(error);
    return error;
  }
  auto node = found->second;
  fLive.erase(found);
  fLive[newPath] = std::move(node);
  return 0;
}

int TqdFaultFileSystem::Delete(const std::string& aPath) {
  std::lock_guard guard(fLock);
  const std::string path = Normalise(aPath);
  if (int error = CheckFault(foDelete, path, 0, 0)) return error;
  if (fLive.erase(path) == 0) {
    SetRecordResult(ENOENT);
    return ENOENT;
  }
  return 0;
}

int TqdFaultFileSystem::SyncFolder(const std::string& aFolder) {
  std::lock_guard guard(fLock);
  std::string folder = aFolder.empty() ? std::string("/") : aFolder;
  if (folder.back() != '/') folder += '/';
  if (int error = CheckFault(foFolderSync, folder, 0, 0)) return error;
  if (!FolderExists(folder)) {
    SetRecordResult(ENOENT);
    return ENOENT;
  }
  // The durable names of this folder become the live ones.
  for (auto it = fDurable.begin(); it != fDurable.end();) {
    if (qdFolderOf(it->first) == folder)
      it = fDurable.erase(it);
    else
      ++it;
  }
  for (const auto& [path, node] : fLive)
    if (qdFolderOf(path) == folder) fDurable[path] = node;
  return 0;
}

int TqdFaultFileSystem::Attributes(const std::string& aPath, TqdFileAttributesInfo& aInfo) {
  std::lock_guard guard(fLock);
  aInfo = {};
  const std::string path = Normalise(aPath);
  if (fFolders.count(path) != 0) {
    aInfo.faExists = true;
    aInfo.faIsFolder = true;
    return 0;
  }
  auto found = fLive.find(path);
  if (found == fLive.end()) return 0;
  aInfo.faExists = true;
  aInfo.faReadOnly = found->second->fnReadOnly;
  return 0;
}

int TqdFaultFileSystem::ListFolder(const std::string& aFolder, std::vector<std::string>& aNames) {
  std::lock_guard guard(fLock);
  aNames.clear();
  std::string folder = aFolder.empty() ? std::string("/") : aFolder;
  if (folder.back() != '/') folder += '/';
  if (!FolderExists(folder)) return ENOENT;
  for (const auto& entry : fLive)
    if (qdFolderOf(entry.first) == folder) aNames.push_back(entry.first.substr(folder.size()));
  return 0;
}

std::string TqdFaultFileSystem::CanonicalName(const std::string& aPath) { return Normalise(aPath); }

int64_t TqdFaultFileSystem::MaxFileSize(const std::string&) {
  std::lock_guard guard(fLock);
  return fMaxFileSize;
}

int TqdFaultFileSystem::FreeSpace(const std::string& aPath, int64_t& aAvailable) {
  std::lock_guard guard(fLock);
  aAvailable = 0;
  if (fFreeSpaceError != 0) return fFreeSpaceError;
  const std::string path = Normalise(aPath);
  if (!FolderExists(path) && !FolderExists(qdFolderOf(path)) && fLive.count(path) == 0) return ENOENT;
  aAvailable = fFreeSpace;
  return 0;
}

void TqdFaultFileSystem::SetFreeSpace(int64_t aBytes, int aError) {
  std::lock_guard guard(fLock);
  fFreeSpace = aBytes;
  fFreeSpaceError = aError;
}

void TqdFaultFileSystem::AddFolder(const std::string& aFolder) {
  std::lock_guard guard(fLock);
  std::string folder = Normalise(aFolder);
  // Every ancestor exists too.
  while (!folder.empty()) {
    fFolders.insert(folder);
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    folder.resize(slash);
  }
}

void TqdFaultFileSystem::SetMaxFileSize(int64_t aBytes) {
  std::lock_guard guard(fLock);
  fMaxFileSize = aBytes;
}

void TqdFaultFileSystem::FailNth(TqdFaultOp aOp, int aNth, int aError, bool aSticky) {
  std::lock_guard guard(fLock);
  fRules.push_back({aOp, aNth < 1 ? 1 : aNth, aError, aSticky});
}

void TqdFaultFileSystem::ClearFaults() {
  std::lock_guard guard(fLock);
  fRules.clear();
}

void TqdFaultFileSystem::PowerLoss(TqdFaultPowerLossMode aMode, uint32_t aSeed) {
  std::lock_guard guard(fLock);
  std::mt19937 random(aSeed);
  constexpr size_t kSector = 512;
  std::set<TqdFaultNode*> seen;
  auto settle = [&](TqdFaultNode& aNode) {
    if (!seen.insert(&aNode).second) return;
    if (aMode == pmDropUnsynced || aNode.fnData == aNode.fnDurable) {
      aNode.fnData = aNode.fnDurable;
    } else {
      std::vector<uint8_t> result = (random() & 1) != 0 ? aNode.fnData : aNode.fnDurable;
      for (size_t start = 0; start < result.size(); start += kSector) {
        const size_t end = std::min(result.size(), start + kSector);
        auto sectorOf = [&](const std::vector<uint8_t>& aImage, size_t aIndex) -> uint8_t {
          return aIndex < aImage.size() ? aImage[aIndex] : 0;
        };
        bool differs = false;
        for (size_t i = start; i < end && !differs; ++i)
          differs = sectorOf(aNode.fnData, i) != sectorOf(aNode.fnDurable, i);
        if (!differs) continue;
        switch (random() % 3) {
          case 0:
            for (size_t i = start; i < end; ++i) result[i] = sectorOf(aNode.fnDurable, i);
            break;
          case 1:
            for (size_t i = start; i < end; ++i) result[i] = sectorOf(aNode.fnData, i);
            break;
          default:
            for (size_t i = start; i < end; ++i) result[i] = uint8_t(random());
        }
      }
      aNode.fnData = result;
      aNode.fnDurable = result;
    }
    aNode.fnExclusiveLock = false;
    aNode.fnSharedLocks = 0;
  };
  for (auto& [path, node] : fDurable) settle(*node);
  fLive = fDurable;
  ++fEpoch;
}

bool TqdFaultFileSystem::Exists(const std::string& aPath) {
  std::lock_guard guard(fLock);
  return fLive.count(Normalise(aPath)) != 0;
}

std::vector<uint8_t> TqdFaultFileSystem::ReadAll(const std::string& aPath) {
  std::lock_guard guard(fLock);
  auto found = fLive.find(Normalise(aPath));
  return found == fLive.end() ? std::vector<uint8_t>() : found->second->fnData;
}

void TqdFaultFileSystem::WriteAll(const std::string& aPath, const std::vector<uint8_t>& aData) {
  std::lock_guard guard(fLock);
  const std::string path = Normalise(aPath);
  auto& node = fLive[path];
  if (!node) {
    node = std::make_shared<TqdFaultNode>();
    node->fnInode = fNextInode++;
    node->fnBirth = fBirthCounter++;
  }
  node->fnData = aData;
  node->fnDurable = aData;
  fDurable[path] = node;
  std::string folder = Normalise(qdFolderOf(path));
  if (!folder.empty()) fFolders.insert(folder);
}

void TqdFaultFileSystem::SetReadOnly(const std::string& aPath, bool aReadOnly) {
  std::lock_guard guard(fLock);
  auto found = fLive.find(Normalise(aPath));
  if (found != fLive.end()) found->second->fnReadOnly = aReadOnly;
}

std::vector<std::string> TqdFaultFileSystem::FileNames() {
  std::lock_guard guard(fLock);
  std::vector<std::string> names;
  for (const auto& entry : fLive) names.push_back(entry.first);
  return names;
}

std::vector<TqdFaultRecord> TqdFaultFileSystem::Records() {
  std::lock_guard guard(fLock);
  return fRecords;
}

void TqdFaultFileSystem::ClearRecords() {
  std::lock_guard guard(fLock);
  fRecords.clear();
}

int TqdFaultFileSystem::Count(TqdFaultOp aOp) {
  std::lock_guard guard(fLock);
  return int(std::count_if(fRecords.begin(), fRecords.end(), [&](const TqdFaultRecord& r) { return r.frOp == aOp; }));
}

}  // namespace qd
