#include "storage/qdsrFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace qd {

namespace {

class TqdPosixOSFile final : public TqdOSFile {
 public:
  explicit TqdPosixOSFile(int aDescriptor) : fDescriptor(aDescriptor) {}
  ~TqdPosixOSFile() override { (void)Close(); }  // nothing to report to from a destructor

  int PRead(int64_t aOffset, void* aBuffer, size_t aCount, size_t& aDone) override {
    aDone = 0;
    auto* target = static_cast<uint8_t*>(aBuffer);
    while (aDone < aCount) {
      const ssize_t got = ::pread(fDescriptor, target + aDone, aCount - aDone, aOffset + int64_t(aDone));
      if (got < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (got == 0) break;
      aDone += size_t(got);
    }
    return 0;
  }

  int PWrite(int64_t aOffset, const void* aBuffer, size_t aCount, size_t& aDone) override {
    aDone = 0;
    const auto* source = static_cast<const uint8_t*>(aBuffer);
    while (aDone < aCount) {
      const ssize_t put = ::pwrite(fDescriptor, source + aDone, aCount - aDone, aOffset + int64_t(aDone));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (put == 0) break;
      aDone += size_t(put);
    }
    return 0;
  }

  int Truncate(int64_t aSize) override { return ::ftruncate(fDescriptor, aSize) == 0 ? 0 : errno; }

  int DataSync() override { return ::fdatasync(fDescriptor) == 0 ? 0 : errno; }

  int Size(int64_t& aSize) override {
    struct stat info {};
    if (::fstat(fDescriptor, &info) != 0) return errno;
    aSize = info.st_size;
    return 0;
  }

  int Identity(TqdOSFileIdentity& aIdentity) override {
    struct statx info {};
    if (::statx(fDescriptor, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &info) != 0) return errno;
    aIdentity.fidDevice = (uint64_t(info.stx_dev_major) << 32) | info.stx_dev_minor;
    aIdentity.fidInode = info.stx_ino;
    aIdentity.fidHasBirthTime = (info.stx_mask & STATX_BTIME) != 0;
    aIdentity.fidBirthSeconds = aIdentity.fidHasBirthTime ? info.stx_btime.tv_sec : 0;
    aIdentity.fidBirthNanoseconds = aIdentity.fidHasBirthTime ? info.stx_btime.tv_nsec : 0;
    return 0;
  }

  int Close() override {
    if (fDescriptor < 0) return 0;
    const int descriptor = fDescriptor;
    fDescriptor = -1;
    // Closing releases the flock of this open file description.
    return ::close(descriptor) == 0 ? 0 : errno;
  }

 private:
  int fDescriptor;
};

std::atomic<TqdFileSystem*> currentFileSystem{nullptr};

TqdPosixFileSystem& posixFileSystem() {
  static TqdPosixFileSystem instance;
  return instance;
}

}  // namespace

int TqdPosixFileSystem::Open(const std::string& aPath, const TqdOSOpenRequest& aRequest,
                             std::unique_ptr<TqdOSFile>& aFile) {
  aFile.reset();
  int flags = O_CLOEXEC;
  if (aRequest.orRead && aRequest.orWrite)
    flags |= O_RDWR;
  else if (aRequest.orWrite)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  if (aRequest.orCreateExclusive) flags |= O_CREAT | O_EXCL;
  int descriptor;
  do {
    descriptor = ::open(aPath.c_str(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return errno;
  if (aRequest.orLock != flkNone) {
    const int operation = (aRequest.orLock == flkExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int result;
    do {
      result = ::flock(descriptor, operation);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      const int error = errno;
      ::close(descriptor);
      return error;
    }
  }
  aFile = std::make_unique<TqdPosixOSFile>(descriptor);
  return 0;
}

int TqdPosixFileSystem::Rename(const std::string& aOldPath, const std::string& aNewPath, bool aReplace) {
  if (aReplace) return ::rename(aOldPath.c_str(), aNewPath.c_str()) == 0 ? 0 : errno;
  if (::renameat2(AT_FDCWD, aOldPath.c_str(), AT_FDCWD, aNewPath.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without the no-replace flag: a hard link refuses an
  // existing target just as atomically.
  if (::link(aOldPath.c_str(), aNewPath.c_str()) != 0) return errno;
  return ::unlink(aOldPath.c_str()) == 0 ? 0 : errno;
}

int TqdPosixFileSystem::Delete(const std::string& aPath) { return ::unlink(aPath.c_str()) == 0 ? 0 : errno; }

int TqdPosixFileSystem::SyncFolder(const std::string& aFolder) {
  const std::string folder = aFolder.empty() ? std::string(".") : aFolder;
  const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return errno;
  const int result = ::fsync(descriptor) == 0 ? 0 : errno;
  ::close(descriptor);
  return result;
}

int TqdPosixFileSystem::Attributes(const std::string& aPath, TqdFileAttributesInfo& aInfo) {
  aInfo = {};
  struct stat linkInfo {};
  if (::lstat(aPath.c_str(), &linkInfo) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
  aInfo.faExists = true;
  aInfo.faIsLink = S_ISLNK(linkInfo.st_mode);
  struct stat info = linkInfo;
  if (aInfo.faIsLink && ::stat(aPath.c_str(), &info) != 0) return 0;
  aInfo.faIsFolder = S_ISDIR(info.st_mode);
  aInfo.faReadOnly = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return 0;
}

int TqdPosixFileSystem::ListFolder(const std::string& aFolder, std::vector<std::string>& aNames) {
  aNames.clear();
  const std::string folder = aFolder.empty() ? std::string(".") : aFolder;
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return errno;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      std::string path = folder;
      if (path.back() != '/') path.push_back('/');
      regular = ::lstat((path + name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    }
    if (regular) aNames.push_back(name);
  }
  ::closedir(directory);
  return error;
}

std::string TqdPosixFileSystem::CanonicalName(const std::string& aPath) {
  char* resolved = ::realpath(aPath.c_str(), nullptr);
  if (resolved == nullptr) return aPath;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

int64_t TqdPosixFileSystem::MaxFileSize(const std::string& aPath) {
  struct statfs info {};
  // The file may not exist yet: ask about its folder.
  if (::statfs(aPath.c_str(), &info) != 0) {
    const std::string folder = qdFolderOf(aPath);
    if (::statfs(folder.empty() ? "." : folder.c_str(), &info) != 0) return 0;
  }
  return qdMaxFileSizeForFileSystemType(uint64_t(info.f_type));
}

int TqdPosixFileSystem::FreeSpace(const std::string& aPath, int64_t& aAvailable) {
  aAvailable = 0;
  struct statvfs info {};
  if (::statvfs(aPath.c_str(), &info) != 0) return errno;
  const uint64_t bytes = uint64_t(info.f_bavail) * uint64_t(info.f_frsize);
  aAvailable = bytes > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(bytes);
  return 0;
}

int64_t qdMaxFileSizeForFileSystemType(uint64_t aMagic) {
  switch (aMagic) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3: 16 TiB with 4 KiB blocks
      return (int64_t(1) << 44) - 4096;
    case MSDOS_SUPER_MAGIC:  // FAT: 4 GiB less one byte, less one more to stay clear of -1
      return 0xFFFFFFFELL;
    case ISOFS_SUPER_MAGIC:  // read-only media
      return 0;
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case NFS_SUPER_MAGIC:
    case 0x2011BAB0:  // exFAT
    case 0x2FC12FC1:  // ZFS
      return INT64_MAX;
    default:
      return 0;
  }
}

TqdFileSystem& qdFileSystem() {
  TqdFileSystem* installed = currentFileSystem.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : posixFileSystem();
}

TqdFileSystem* qdSetFileSystem(TqdFileSystem* aFileSystem) {
  TqdFileSystem* previous = currentFileSystem.exchange(aFileSystem, std::memory_order_acq_rel);
  return previous != nullptr ? previous : &posixFileSystem();
}

std::string qdFolderOf(const std::string& aPath) {
  const size_t slash = aPath.find_last_of('/');
  return slash == std::string::npos ? std::string() : aPath.substr(0, slash + 1);
}

}  // namespace qd
