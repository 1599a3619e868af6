// The operating-system file layer under every table and journal file, as a
// replaceable seam.
//
// Table files reach the operating system only through TqdFileSystem and the
// TqdOSFile objects it opens, so that tests can put an in-memory file system
// with injected faults under the very same storage code
// (storage/qdsrFaultFileSystem.h). The real implementation is POSIX:
// open/pread/pwrite/ftruncate, fdatasync for data, fsync of the folder after
// a create, rename or delete, flock for the sharing modes, statfs for the
// file system's size limit, statvfs for its free space, statx for the file's identity.
//
// Every operation returns 0 or an errno value; the callers compose the
// engine's messages from it. Nothing here raises.
//
// Sharing: an open asks for a lock kind. flkExclusive is granted only when
// no other open description of the file holds a lock; flkShared excludes
// exclusive holders only. Locks are per open file description (flock), so a
// second exclusive open from the same process fails like one from another
// process. A refused lock is EWOULDBLOCK.
//
// Classes: TqdOSFile, TqdFileSystem, TqdPosixFileSystem.
//
// Ownership and locks: TqdOSFile objects are owned by their opener and used
// by one thread at a time. The process-wide current file system is an atomic
// pointer; a file system installed with qdSetFileSystem must outlive every
// file opened through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/qdllMemoryManager.h"

namespace qd {

// What identifies a file independently of its name: device and inode, and
// the birth time where the file system records one.
struct TqdOSFileIdentity {
  uint64_t fidDevice = 0;
  uint64_t fidInode = 0;
  bool fidHasBirthTime = false;
  int64_t fidBirthSeconds = 0;
  uint32_t fidBirthNanoseconds = 0;
};

enum TqdFileLockKind : uint8_t { flkNone, flkShared, flkExclusive };

// How to open: access, creation and the sharing lock.
struct TqdOSOpenRequest {
  bool orRead = true;
  bool orWrite = false;
  // Create the file; fails with EEXIST when it exists already.
  bool orCreateExclusive = false;
  TqdFileLockKind orLock = flkNone;
};

// What a name refers to.
struct TqdFileAttributesInfo {
  bool faExists = false;
  bool faIsFolder = false;
  // No write permission bit is set (the file's read-only attribute).
  bool faReadOnly = false;
  bool faIsLink = false;
};

class TqdOSFile : public TqdObject {
 public:
  // aDone receives the bytes transferred; a short transfer with result 0
  // means end of file (reads) or a full device the call did not report.
  [[nodiscard]] virtual int PRead(int64_t aOffset, void* aBuffer, size_t aCount, size_t& aDone) = 0;
  [[nodiscard]] virtual int PWrite(int64_t aOffset, const void* aBuffer, size_t aCount, size_t& aDone) = 0;
  [[nodiscard]] virtual int Truncate(int64_t aSize) = 0;
  // Makes the file's data, and the metadata needed to read it, durable.
  [[nodiscard]] virtual int DataSync() = 0;
  [[nodiscard]] virtual int Size(int64_t& aSize) = 0;
  [[nodiscard]] virtual int Identity(TqdOSFileIdentity& aIdentity) = 0;
  // Releases the lock and the descriptor; the object is closed afterwards
  // whatever the result.
  [[nodiscard]] virtual int Close() = 0;
};

class TqdFileSystem {
 public:
  virtual ~TqdFileSystem() = default;

  [[nodiscard]] virtual int Open(const std::string& aPath, const TqdOSOpenRequest& aRequest,
                                 std::unique_ptr<TqdOSFile>& aFile) = 0;
  // Without aReplace an existing target fails with EEXIST.
  [[nodiscard]] virtual int Rename(const std::string& aOldPath, const std::string& aNewPath, bool aReplace) = 0;
  [[nodiscard]] virtual int Delete(const std::string& aPath) = 0;
  // Makes the creates, renames and deletes inside the folder durable.
  [[nodiscard]] virtual int SyncFolder(const std::string& aFolder) = 0;
  [[nodiscard]] virtual int Attributes(const std::string& aPath, TqdFileAttributesInfo& aInfo) = 0;
  // The names (without folder) of the regular files directly inside
  // aFolder, in no particular order.
  [[nodiscard]] virtual int ListFolder(const std::string& aFolder, std::vector<std::string>& aNames) = 0;
  // The absolute name with symbolic links resolved; aPath itself when it
  // cannot be resolved.
  virtual std::string CanonicalName(const std::string& aPath) = 0;
  // Bytes a file may have on the file system that holds aPath; 0 when
  // unknown (no limit is then applied).
  virtual int64_t MaxFileSize(const std::string& aPath) = 0;
  // Bytes an unprivileged caller may still write on the file system that
  // holds aPath (statvfs: available blocks times the fragment size).
  [[nodiscard]] virtual int FreeSpace(const std::string& aPath, int64_t& aAvailable) = 0;
};

// The real file system of the process.
class TqdPosixFileSystem final : public TqdFileSystem {
 public:
  [[nodiscard]] int Open(const std::string& aPath, const TqdOSOpenRequest& aRequest,
                         std::unique_ptr<TqdOSFile>& aFile) override;
  [[nodiscard]] int Rename(const std::string& aOldPath, const std::string& aNewPath, bool aReplace) override;
  [[nodiscard]] int Delete(const std::string& aPath) override;
  [[nodiscard]] int SyncFolder(const std::string& aFolder) override;
  [[nodiscard]] int Attributes(const std::string& aPath, TqdFileAttributesInfo& aInfo) override;
  [[nodiscard]] int ListFolder(const std::string& aFolder, std::vector<std::string>& aNames) override;
  std::string CanonicalName(const std::string& aPath) override;
  int64_t MaxFileSize(const std::string& aPath) override;
  [[nodiscard]] int FreeSpace(const std::string& aPath, int64_t& aAvailable) override;
};

// The size limit of a file system by its statfs magic number (0: unknown).
int64_t qdMaxFileSizeForFileSystemType(uint64_t aMagic);

// The file system new file objects use.
TqdFileSystem& qdFileSystem();
// Installs aFileSystem for files created from now on; nullptr restores the
// real one. Returns the previous one.
TqdFileSystem* qdSetFileSystem(TqdFileSystem* aFileSystem);

// The folder part of a path including its trailing '/', empty for a bare
// name.
std::string qdFolderOf(const std::string& aPath);

}  // namespace qd
