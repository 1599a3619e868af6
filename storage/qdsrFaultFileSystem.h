// An in-memory file system for tests of the storage layer: injected faults,
// simulated power loss and a record of every call.
//
// TqdFaultFileSystem implements the file-system seam (storage/qdsrFileSystem.h)
// entirely in memory, so table files, journals and crash scenarios can be
// driven without touching the disk:
// - Faults: FailNth(op, n, error) makes the n-th call of that kind (counted
//   from the moment of the call) fail with the given errno (EIO, ENOSPC,
//   ...); with aSticky every later call of that kind fails too, which
//   models a process that died after the n-th call. foAnyChange counts
//   every call that changes files or names (write, truncate, sync, folder
//   sync, rename, delete, create).
// - Durability: each file keeps the image of its last DataSync and each
//   name the state of its folder's last SyncFolder. PowerLoss() turns the
//   file system back into what the disk would hold after a power cut:
//   unsynced data and unsynced creates, renames and deletes vanish, or,
//   with pmGarble, every unsynced 512-byte sector independently keeps its
//   old content, takes the new one or becomes garbage. Files opened before
//   a power loss answer EIO afterwards.
// - Recording: every call is appended to Records() (kind, path, offset,
//   length, result), so tests can check write order and sync placement.
// - Sharing locks behave as flock: per open description, exclusive against
//   any other holder.
//
// Classes: TqdFaultFileSystem.
//
// Locks: one mutex guards the whole file system; files may be used from
// several threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "storage/qdsrFileSystem.h"

namespace qd {

enum TqdFaultOp : uint8_t {
  foOpen,
  foRead,
  foWrite,
  foTruncate,
  foSync,
  foFolderSync,
  foRename,
  foDelete,
  foClose,
  foAnyChange,
};

enum TqdFaultPowerLossMode : uint8_t { pmDropUnsynced, pmGarble };

struct TqdFaultRecord {
  TqdFaultOp frOp;
  std::string frPath;
  int64_t frOffset = 0;
  int64_t frLength = 0;
  int frResult = 0;
};

class TqdFaultFileSystem final : public TqdFileSystem {
 public:
  TqdFaultFileSystem();
  ~TqdFaultFileSystem() override;

  // --- The seam ---
  [[nodiscard]] int Open(const std::string& aPath, const TqdOSOpenRequest& aRequest,
                         std::unique_ptr<TqdOSFile>& aFile) override;
  [[nodiscard]] int Rename(const std::string& aOldPath, const std::string& aNewPath, bool aReplace) override;
  [[nodiscard]] int Delete(const std::string& aPath) override;
  [[nodiscard]] int SyncFolder(const std::string& aFolder) override;
  [[nodiscard]] int Attributes(const std::string& aPath, TqdFileAttributesInfo& aInfo) override;
  [[nodiscard]] int ListFolder(const std::string& aFolder, std::vector<std::string>& aNames) override;
  std::string CanonicalName(const std::string& aPath) override;
  int64_t MaxFileSize(const std::string& aPath) override;
  // The amount SetFreeSpace gave, for any existing folder; ENOENT for a
  // folder that does not exist.
  [[nodiscard]] int FreeSpace(const std::string& aPath, int64_t& aAvailable) override;

  // --- Test controls ---
  // Makes a folder exist (files may be created only in existing folders).
  void AddFolder(const std::string& aFolder);
  // The limit MaxFileSize reports and writes obey; 0 reports "unknown"
  // and sets no limit.
  void SetMaxFileSize(int64_t aBytes);
  // What FreeSpace answers; a non-zero aError makes it fail with that.
  void SetFreeSpace(int64_t aBytes, int aError = 0);
  // The n-th (1-based) next call of kind aOp fails with aError.
  void FailNth(TqdFaultOp aOp, int aNth, int aError, bool aSticky = false);
  void ClearFaults();
  void PowerLoss(TqdFaultPowerLossMode aMode = pmDropUnsynced, uint32_t aSeed = 1);

  // Direct access to contents, bypassing faults and records; the written
  // contents and the name count as synced.
  bool Exists(const std::string& aPath);
  std::vector<uint8_t> ReadAll(const std::string& aPath);
  void WriteAll(const std::string& aPath, const std::vector<uint8_t>& aData);
  void SetReadOnly(const std::string& aPath, bool aReadOnly);
  // Names of the files that exist now, sorted.
  std::vector<std::string> FileNames();

  std::vector<TqdFaultRecord> Records();
  void ClearRecords();
  // Calls of kind aOp so far (since the last ClearRecords).
  int Count(TqdFaultOp aOp);

 private:
  friend class TqdFaultOSFile;
  struct TqdFaultNode;
  struct TqdFaultRule {
    TqdFaultOp frOp;
    int frRemaining;
    int frError;
    bool frSticky;
  };

  // Under fLock: records the call and answers the injected error, 0 when
  // the call may go ahead.
  int CheckFault(TqdFaultOp aOp, const std::string& aPath, int64_t aOffset, int64_t aLength);
  void SetRecordResult(int aResult);
  bool FolderExists(const std::string& aFolder) const;
  static std::string Normalise(const std::string& aPath);

  std::mutex fLock;
  std::map<std::string, std::shared_ptr<TqdFaultNode>> fLive;
  std::map<std::string, std::shared_ptr<TqdFaultNode>> fDurable;
  std::set<std::string> fFolders;
  std::vector<TqdFaultRule> fRules;
  std::vector<TqdFaultRecord> fRecords;
  uint64_t fNextInode = 1;
  int64_t fBirthCounter = 1;
  uint32_t fEpoch = 1;
  int64_t fMaxFileSize = INT64_MAX;
  int64_t fFreeSpace = INT64_C(1) << 40;
  int fFreeSpaceError = 0;
};

}  // namespace qd
