#include "foundation/qdllStreams.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <limits>

#include "foundation/qdllException.h"
#include "foundation/qdllList.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdNls.h"

namespace qd {

namespace {

constexpr int32_t kPageSize = 4096;
constexpr int32_t kReserveGranularity = 65536;
constexpr int32_t kDefaultReserve = 524288;
// Reservations of this size or more are refused as out of memory.
constexpr int64_t kReserveLimit = 0x3FFFFFFF;
// Address space held back behind a stream's memory. New mappings are
// placed top-down, right below the previous ones, so the space after a
// fresh reservation is rarely free; holding a window of it (address space
// only, no memory) lets the reservation double in place many times over.
constexpr int64_t kAddressWindow = qdMemoryStreamAddressWindow;

int32_t clampPosition(int64_t aPosition) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(aPosition, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

// --- Virtual memory of the memory stream ---

[[noreturn]] void raiseMemoryStreamError(int aErrno) {
  errno = aErrno;
  qdRaiseLastOSError(u"TqdMemoryStream");
}

void* reserveAnywhere(int64_t aSize) {
  void* base = mmap(nullptr, static_cast<size_t>(aSize), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) raiseMemoryStreamError(errno);
  return base;
}

// The region directly after aEnd, or nil when that address space is taken.
void* reserveAt(uint8_t* aEnd, int64_t aSize) {
  void* base = mmap(aEnd, static_cast<size_t>(aSize), PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  if (base != aEnd) {
    // A kernel that takes the address as a hint only placed it elsewhere.
    munmap(base, static_cast<size_t>(aSize));
    return nullptr;
  }
  return base;
}

// 0 or the errno of the failure.
int commit(uint8_t* aStart, int64_t aSize) {
  if (aSize <= 0) return 0;
  return mprotect(aStart, static_cast<size_t>(aSize), PROT_READ | PROT_WRITE) == 0 ? 0 : errno;
}

// --- Files of SaveToFile / LoadFromFile ---

qdString osErrorText(int aErrno) {
  char buffer[256];
  const char* text = strerror_r(aErrno, buffer, sizeof buffer);
  return Utf8ToString(text);
}

qdString fileErrorText(const char16_t* aFormat, const qdString& aFileName, int aErrno) {
  qdString text(aFormat);
  text.replace(text.find(u"%s"), 2, aFileName);
  text.replace(text.find(u"%s"), 2, osErrorText(aErrno));
  return text;
}

// A file descriptor that is closed on every way out.
class FileHandle {
 public:
  explicit FileHandle(int aFd) : fFd(aFd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (fFd >= 0) ::close(fFd);
  }
  int Get() const { return fFd; }
  // 0 or the errno of a failed close.
  int Close() {
    const int fd = fFd;
    fFd = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fFd;
};

// A read-only stream over an open file, for LoadFromStream.
class FileReadStream : public TStream {
 public:
  FileReadStream(int aFd, int64_t aSize) : fFd(aFd), fSize(aSize) {}
  int32_t Read(void* aBuffer, int32_t aCount) override {
    int32_t done = 0;
    while (done < aCount) {
      const ssize_t n = ::pread(fFd, static_cast<uint8_t*>(aBuffer) + done, static_cast<size_t>(aCount - done),
                                static_cast<off_t>(fPosition));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<int32_t>(n);
      fPosition += n;
    }
    return done;
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t aOffset, uint16_t aOrigin) override {
    if (aOrigin == soFromBeginning) fPosition = aOffset;
    if (aOrigin == soFromCurrent) fPosition += aOffset;
    if (aOrigin == soFromEnd) fPosition = fSize + aOffset;
    return fPosition;
  }

 private:
  int fFd;
  int64_t fSize;
  int64_t fPosition = 0;
};

// --- Code page of single-byte strings ---

qdString ansiToString(std::string_view aBytes) {
  qdString text;
  if (!qdDecodeCodePage(CP_ACP, aBytes, text)) qdRaiseLastOSError(u"TqdReader.ReadString");
  return text;
}

std::string stringToAnsi(qdStringView aText) {
  std::string bytes;
  if (!qdEncodeCodePage(CP_ACP, aText, bytes)) qdRaiseLastOSError(u"TqdWriter.WriteAnsiStrings");
  return bytes;
}

// --- Filer helpers ---

// Exact: an Extended holds every 64-bit integer.
TqdExtended int64ToExtended(int64_t aValue) {
  if (aValue == 0) return TqdExtended::Make(false, 0, 0);
  const bool negative = aValue < 0;
  uint64_t magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(aValue) : static_cast<uint64_t>(aValue);
  const int shift = std::countl_zero(magnitude);
  magnitude <<= shift;
  return TqdExtended::Make(negative, static_cast<uint16_t>(16383 + 63 - shift), magnitude);
}

bool sameAsciiText(qdStringView aText, std::u16string_view aName) {
  if (aText.size() != aName.size()) return false;
  for (size_t i = 0; i < aText.size(); ++i) {
    char16_t a = aText[i];
    char16_t b = aName[i];
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
    if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - 32);
    if (a != b) return false;
  }
  return true;
}

// True when UTF-16 text holds a surrogate without its partner, which UTF-8
// cannot carry.
bool hasLoneSurrogate(qdStringView aText) {
  for (size_t i = 0; i < aText.size(); ++i) {
    const char16_t c = aText[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < aText.size() && aText[i + 1] >= 0xDC00 && aText[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return true;
  }
  return false;
}

}  // namespace

// --- TqdCustomMemoryStream -----------------------------------------------------

void TqdCustomMemoryStream::SetPointer(void* aMemory, int32_t aSize) {
  cmsMemory = aMemory;
  cmsByteArray = static_cast<uint8_t*>(aMemory);
  cmsSize = aSize;
}

int32_t TqdCustomMemoryStream::Read(void* aBuffer, int32_t aCount) {
  if (cmsPosition < 0 || aCount < 0) return 0;
  const int32_t available = cmsSize - cmsPosition;
  if (available <= 0) return 0;
  const int32_t count = std::min(aCount, available);
  std::memmove(aBuffer, cmsByteArray + cmsPosition, static_cast<size_t>(count));
  cmsPosition += count;
  return count;
}

int64_t TqdCustomMemoryStream::Seek(int64_t aOffset, uint16_t aOrigin) {
  switch (aOrigin) {
    case soFromBeginning:
      cmsPosition = clampPosition(aOffset);
      break;
    case soFromCurrent:
      cmsPosition = clampPosition(cmsPosition + aOffset);
      break;
    case soFromEnd:
      cmsPosition = clampPosition(cmsSize + aOffset);
      break;
    default:
      break;
  }
  return cmsPosition;
}

void TqdCustomMemoryStream::SaveToStream(TStream* aStream) {
  if (cmsSize != 0) aStream->WriteBuffer(cmsMemory, cmsSize);
}

void TqdCustomMemoryStream::SaveToFile(const qdString& aFileName) {
  const std::string path = StringToUtf8(aFileName);
  FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.Get() < 0) throw EFCreateError(fileErrorText(u"Cannot create file \"%s\". %s", aFileName, errno));
  int32_t done = 0;
  while (done < cmsSize) {
    const ssize_t n = ::write(file.Get(), cmsByteArray + done, static_cast<size_t>(cmsSize - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EWriteError(qdString(SWriteError) + u": " + osErrorText(n < 0 ? errno : ENOSPC));
    done += static_cast<int32_t>(n);
  }
  if (const int error = file.Close(); error != 0) throw EWriteError(qdString(SWriteError) + u": " + osErrorText(error));
}

// --- TqdMemoryStream -----------------------------------------------------------

TqdMemoryStream::TqdMemoryStream(int32_t aInitial) {
  if (aInitial == -1) {
    msReserveInitial = kReserveGranularity;
  } else if (aInitial < kReserveGranularity) {
    msReserveInitial = kDefaultReserve;
  } else {
    const int64_t rounded =
        (static_cast<int64_t>(aInitial) + kReserveGranularity - 1) / kReserveGranularity * kReserveGranularity;
    // Anything at the limit or above fails at the first growth anyway.
    msReserveInitial = static_cast<int32_t>(std::min<int64_t>(rounded, kReserveLimit + 1));
  }
}

TqdMemoryStream::~TqdMemoryStream() {
  try {
    ReleaseAll();
  } catch (...) {
    // Unmapping our own regions does not fail; nothing to report to here.
  }
}

void TqdMemoryStream::ReleaseAll() {
  if (cmsMemory != nullptr) {
    // The regions lie back to back inside one span of address space.
    const int error = munmap(cmsMemory, static_cast<size_t>(msAddressSpace)) == 0 ? 0 : errno;
    qdFreeAndNil(msReservedBases);
    msReserved = 0;
    msAddressSpace = 0;
    SetPointer(nullptr, 0);
    msCommited = 0;
    if (error != 0) raiseMemoryStreamError(error);
  }
  SetPointer(nullptr, 0);
  msCommited = 0;
}

void TqdMemoryStream::SetCapacity(int32_t aNewCapacity) {
  if (aNewCapacity < 0) throw EStreamError(qdString(u"Invalid memory stream capacity"));
  if (aNewCapacity == 0) {
    // Nothing of the contents survives: the size goes with the memory.
    ReleaseAll();
    return;
  }
  const int64_t wanted = (static_cast<int64_t>(aNewCapacity) + kPageSize - 1) / kPageSize * kPageSize;
  if (wanted == msCommited) return;
  auto* memory = static_cast<uint8_t*>(cmsMemory);
  if (msReserved < wanted) {
    int64_t n = msReserved != 0 ? msReserved : msReserveInitial;
    if (n >= kReserveLimit) qdRaiseOutOfMemory();
    while (n < wanted) n *= 2;
    if (n >= kReserveLimit) qdRaiseOutOfMemory();
    if (memory == nullptr) {
      const int64_t space = std::max<int64_t>(n, kAddressWindow);
      auto* base = static_cast<uint8_t*>(reserveAnywhere(space));
      if (const int error = commit(base, wanted); error != 0) {
        munmap(base, static_cast<size_t>(space));
        raiseMemoryStreamError(error);
      }
      memory = base;
      msAddressSpace = space;
    } else if (n <= msAddressSpace || reserveAt(memory + msAddressSpace, n - msAddressSpace) != nullptr) {
      // In place: the new region directly follows the old one.
      const int64_t oldSpace = msAddressSpace;
      msAddressSpace = std::max(msAddressSpace, n);
      if (msReservedBases == nullptr) {
        msReservedBases = new TqdList();
        msReservedBases->Add(memory);
      }
      msReservedBases->Add(memory + msReserved);
      if (const int error = commit(memory + msCommited, wanted - msCommited); error != 0) {
        msReservedBases->Release(static_cast<void*>(memory + msReserved));
        if (msAddressSpace > oldSpace) {
          munmap(memory + oldSpace, static_cast<size_t>(msAddressSpace - oldSpace));
          msAddressSpace = oldSpace;
        }
        raiseMemoryStreamError(error);
      }
    } else {
      // No room after the reservation: move to a new region.
      const int64_t space = std::max<int64_t>(n, kAddressWindow);
      auto* base = static_cast<uint8_t*>(reserveAnywhere(space));
      if (const int error = commit(base, wanted); error != 0) {
        munmap(base, static_cast<size_t>(space));
        raiseMemoryStreamError(error);
      }
      std::memcpy(base, memory, static_cast<size_t>(cmsSize));
      const int32_t size = cmsSize;
      try {
        ReleaseAll();
      } catch (...) {
        munmap(base, static_cast<size_t>(space));
        throw;
      }
      cmsSize = size;
      memory = base;
      msAddressSpace = space;
    }
    msReserved = static_cast<int32_t>(n);
  } else if (msCommited < wanted) {
    if (const int error = commit(memory + msCommited, wanted - msCommited); error != 0) raiseMemoryStreamError(error);
  } else {
    // Below the committed size: memory is only given back by Clear.
    return;
  }
  msCommited = static_cast<int32_t>(wanted);
  SetPointer(memory, cmsSize);
}

int32_t TqdMemoryStream::Write(const void* aBuffer, int32_t aCount) {
  if (cmsPosition < 0 || aCount < 0) return 0;
  const int64_t end = static_cast<int64_t>(cmsPosition) + aCount;
  if (end <= 0 || end > std::numeric_limits<int32_t>::max()) return 0;
  if (end > cmsSize) {
    if (end > msCommited) SetCapacity(static_cast<int32_t>(end));
    cmsSize = static_cast<int32_t>(end);
  }
  std::memmove(cmsByteArray + cmsPosition, aBuffer, static_cast<size_t>(aCount));
  cmsPosition = static_cast<int32_t>(end);
  return aCount;
}

void TqdMemoryStream::SetSize(int64_t aNewSize) {
  if (aNewSize < 0) throw EStreamError(qdString(u"Invalid memory stream size"));
  if (aNewSize > kReserveLimit) qdRaiseOutOfMemory();
  const auto size = static_cast<int32_t>(aNewSize);
  if (size > msCommited) SetCapacity(size);
  cmsSize = size;
  if (cmsPosition > size) cmsPosition = size;
}

void TqdMemoryStream::Clear() {
  SetCapacity(0);
  cmsSize = 0;
  cmsPosition = 0;
}

void TqdMemoryStream::LoadFromStream(TStream* aStream) {
  aStream->SetPosition(0);
  const int64_t count = aStream->Size();
  SetSize(count);
  if (count != 0) aStream->ReadBuffer(cmsMemory, static_cast<int32_t>(count));
}

void TqdMemoryStream::LoadFromFile(const qdString& aFileName) {
  const std::string path = StringToUtf8(aFileName);
  FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) throw EFOpenError(fileErrorText(u"Cannot open file \"%s\". %s", aFileName, errno));
  // Others may read the file meanwhile but not change it.
  if (flock(file.Get(), LOCK_SH | LOCK_NB) != 0)
    throw EFOpenError(fileErrorText(u"Cannot open file \"%s\". %s", aFileName, errno));
  struct stat info;
  if (fstat(file.Get(), &info) != 0) throw EFOpenError(fileErrorText(u"Cannot open file \"%s\". %s", aFileName, errno));
  FileReadStream stream(file.Get(), info.st_size);
  LoadFromStream(&stream);
}

void TqdMemoryStream::CheckInvariants() const {
  if ((cmsMemory == nullptr) != (msReserved == 0)) qdAssertFailed("qdllStreams", "memory exactly when reserved");
  if (cmsMemory == nullptr && msCommited != 0) qdAssertFailed("qdllStreams", "nothing committed without memory");
  if (msCommited % kPageSize != 0 || msCommited > msReserved || msReserved > msAddressSpace)
    qdAssertFailed("qdllStreams", "capacity in whole pages within the reservation, within the address space");
  if (msReservedBases != nullptr) {
    if (msReservedBases->First() != cmsMemory) qdAssertFailed("qdllStreams", "the first region is the memory");
    for (int32_t i = 1; i < msReservedBases->Count(); ++i) {
      auto* base = static_cast<uint8_t*>(msReservedBases->Items(i));
      if (base <= msReservedBases->Items(i - 1) || base >= cmsByteArray + msReserved)
        qdAssertFailed("qdllStreams", "regions ascend within the reservation");
    }
  }
  if (cmsSize < 0 || cmsSize > msCommited) qdAssertFailed("qdllStreams", "size within the capacity");
  if (cmsByteArray != cmsMemory) qdAssertFailed("qdllStreams", "byte array is the memory");
}

// --- TqdStaticMemoryStream -----------------------------------------------------

TqdStaticMemoryStream::TqdStaticMemoryStream(void* aMemory, int32_t aSize) {
  if (aSize < 0) qdAssertFailed("qdllStreams", "aSize >= 0");
  SetPointer(aMemory, aSize);
}

int32_t TqdStaticMemoryStream::Write(const void* aBuffer, int32_t aCount) {
  if (cmsPosition < 0 || aCount < 0) return 0;
  const int32_t room = cmsSize - cmsPosition;
  if (room <= 0) return 0;
  const int32_t count = std::min(aCount, room);
  std::memmove(cmsByteArray + cmsPosition, aBuffer, static_cast<size_t>(count));
  cmsPosition += count;
  return count;
}

// --- TqdAnsiStringStream -------------------------------------------------------

TqdAnsiStringStream::TqdAnsiStringStream(qdAnsiString aString) : assDataString(std::move(aString)) {}

int32_t TqdAnsiStringStream::Read(void* aBuffer, int32_t aCount) {
  if (aCount <= 0) return 0;
  const int64_t available = static_cast<int64_t>(assDataString.size()) - assPosition;
  if (available <= 0) return 0;
  const auto count = static_cast<int32_t>(std::min<int64_t>(aCount, available));
  std::memcpy(aBuffer, assDataString.data() + assPosition, static_cast<size_t>(count));
  assPosition += count;
  return count;
}

int32_t TqdAnsiStringStream::Write(const void* aBuffer, int32_t aCount) {
  if (aCount <= 0) return 0;
  const int64_t end = static_cast<int64_t>(assPosition) + aCount;
  if (end > std::numeric_limits<int32_t>::max()) return 0;
  if (end > static_cast<int64_t>(assDataString.size())) assDataString.resize(static_cast<size_t>(end));
  std::memcpy(assDataString.data() + assPosition, aBuffer, static_cast<size_t>(aCount));
  assPosition = static_cast<int32_t>(end);
  return aCount;
}

int64_t TqdAnsiStringStream::Seek(int64_t aOffset, uint16_t aOrigin) {
  const auto length = static_cast<int64_t>(assDataString.size());
  int64_t position = assPosition;
  switch (aOrigin) {
    case soFromBeginning:
      position = aOffset;
      break;
    case soFromCurrent:
      position = assPosition + aOffset;
      break;
    case soFromEnd:
      position = length + aOffset;
      break;
    default:
      break;
  }
  assPosition = static_cast<int32_t>(std::clamp<int64_t>(position, 0, length));
  return assPosition;
}

void TqdAnsiStringStream::SetSize(int64_t aNewSize) {
  if (aNewSize < 0 || aNewSize > std::numeric_limits<int32_t>::max())
    throw EStreamError(qdString(u"Invalid string stream size"));
  assDataString.resize(static_cast<size_t>(aNewSize));
  if (assPosition > aNewSize) assPosition = static_cast<int32_t>(aNewSize);
}

qdAnsiString TqdAnsiStringStream::ReadString(int32_t aCount) {
  const int64_t available = static_cast<int64_t>(assDataString.size()) - assPosition;
  const auto count = static_cast<int32_t>(std::clamp<int64_t>(aCount, 0, std::max<int64_t>(available, 0)));
  qdAnsiString result = assDataString.substr(static_cast<size_t>(assPosition), static_cast<size_t>(count));
  assPosition += count;
  return result;
}

void TqdAnsiStringStream::WriteString(std::string_view aString) {
  Write(aString.data(), static_cast<int32_t>(std::min<size_t>(aString.size(), std::numeric_limits<int32_t>::max())));
}

// --- TqdWriter -------------------------------------------------------------------

TqdWriter::TqdWriter(TStream* aStream, int32_t aBufSize)
    : fStream(aStream), fBuffer(static_cast<size_t>(std::max(aBufSize, 16))), fUncaught(std::uncaught_exceptions()) {}

TqdWriter::~TqdWriter() noexcept(false) {
  try {
    FlushBuffer();
  } catch (...) {
    // Already unwinding: that exception is the one the caller sees.
    if (std::uncaught_exceptions() > fUncaught) return;
    throw;
  }
}

void TqdWriter::FlushBuffer() {
  if (fBufEnd == 0) return;
  const int32_t end = fBufEnd;
  const int32_t back = fBufEnd - fBufPos;
  fBufPos = 0;
  fBufEnd = 0;
  fStream->WriteBuffer(fBuffer.data(), end);
  if (back > 0) fStream->Seek(-back, soFromCurrent);
}

void TqdWriter::Write(const void* aBuffer, int32_t aCount) {
  if (aCount < 0) throw EWriteError(qdString(SWriteError));
  const auto* source = static_cast<const uint8_t*>(aBuffer);
  const auto size = static_cast<int32_t>(fBuffer.size());
  while (aCount > 0) {
    if (fBufPos == size) FlushBuffer();
    if (fBufEnd == 0 && aCount >= size) {
      fStream->WriteBuffer(source, aCount);
      return;
    }
    const int32_t count = std::min(aCount, size - fBufPos);
    std::memcpy(fBuffer.data() + fBufPos, source, static_cast<size_t>(count));
    fBufPos += count;
    fBufEnd = std::max(fBufEnd, fBufPos);
    source += count;
    aCount -= count;
  }
}

void TqdWriter::WriteValue(TValueType aValue) {
  const uint8_t tag = aValue;
  Write(&tag, 1);
}

int64_t TqdWriter::Position() { return fStream->Position() + fBufPos; }

void TqdWriter::SetPosition(int64_t aValue) {
  const int64_t streamPosition = fStream->Position();
  if (aValue >= streamPosition && aValue <= streamPosition + fBufEnd) {
    fBufPos = static_cast<int32_t>(aValue - streamPosition);
  } else {
    FlushBuffer();
    fStream->SetPosition(aValue);
  }
}

void TqdWriter::WriteInteger(int32_t aValue) {
  uint8_t bytes[5];
  int32_t count;
  if (aValue >= -128 && aValue <= 127) {
    bytes[0] = vaInt8;
    bytes[1] = static_cast<uint8_t>(aValue);
    count = 2;
  } else if (aValue >= -32768 && aValue <= 32767) {
    bytes[0] = vaInt16;
    qdPutI16(bytes + 1, static_cast<int16_t>(aValue));
    count = 3;
  } else {
    bytes[0] = vaInt32;
    qdPutI32(bytes + 1, aValue);
    count = 5;
  }
  Write(bytes, count);
}

void TqdWriter::WriteInteger(int64_t aValue) {
  if (aValue >= std::numeric_limits<int32_t>::min() && aValue <= std::numeric_limits<int32_t>::max()) {
    WriteInteger(static_cast<int32_t>(aValue));
    return;
  }
  uint8_t bytes[9];
  bytes[0] = vaInt64;
  qdPutI64(bytes + 1, aValue);
  Write(bytes, 9);
}

void TqdWriter::WriteBoolean(bool aValue) { WriteValue(aValue ? vaTrue : vaFalse); }

void TqdWriter::WriteRawString(std::string_view aBytes) { Write(aBytes.data(), static_cast<int32_t>(aBytes.size())); }

void TqdWriter::WriteString(qdStringView aValue) {
  if (!hasLoneSurrogate(aValue)) {
    const std::string utf8 = StringToUtf8(aValue);
    if (utf8.size() < 2 * aValue.size()) {
      const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<uint8_t>(c) < 128; });
      if (ascii) {
        WriteAnsiString(utf8);
      } else {
        WriteValue(vaUTF8String);
        uint8_t length[4];
        qdPutI32(length, static_cast<int32_t>(utf8.size()));
        Write(length, 4);
        WriteRawString(utf8);
      }
      return;
    }
  }
  WriteWideString_(aValue);
}

void TqdWriter::WriteWideString_(qdStringView aValue) {
  WriteValue(vaWString);
  uint8_t length[4];
  qdPutI32(length, static_cast<int32_t>(aValue.size()));
  Write(length, 4);
  // UTF-16LE: the host is little-endian (see qdLittleEndian.h).
  Write(aValue.data(), static_cast<int32_t>(aValue.size() * 2));
}

void TqdWriter::WriteAnsiString(std::string_view aValue) {
  if (aValue.size() <= 255) {
    const uint8_t header[2] = {vaString, static_cast<uint8_t>(aValue.size())};
    Write(header, 2);
  } else {
    uint8_t header[5];
    header[0] = vaLString;
    qdPutI32(header + 1, static_cast<int32_t>(aValue.size()));
    Write(header, 5);
  }
  WriteRawString(aValue);
}

void TqdWriter::WriteAnsiChar(char aValue) { WriteAnsiString(std::string_view(&aValue, 1)); }

void TqdWriter::WriteIdent(qdStringView aName) {
  if (sameAsciiText(aName, u"False")) {
    WriteValue(vaFalse);
  } else if (sameAsciiText(aName, u"True")) {
    WriteValue(vaTrue);
  } else if (sameAsciiText(aName, u"Null")) {
    WriteValue(vaNull);
  } else if (sameAsciiText(aName, u"nil")) {
    WriteValue(vaNil);
  } else {
    const std::string utf8 = StringToUtf8(aName);
    // A longer name cannot be stored whole under a one-byte length.
    if (utf8.size() > 255) throw EWriteError(qdString(u"Identifier too long: ") + qdString(aName));
    const uint8_t header[2] = {vaIdent, static_cast<uint8_t>(utf8.size())};
    Write(header, 2);
    WriteRawString(utf8);
  }
}

void TqdWriter::WriteFloat(const TqdExtended& aValue) {
  uint8_t bytes[1 + kExtendedSize];
  bytes[0] = vaExtended;
  aValue.ToBytes(bytes + 1);
  Write(bytes, sizeof bytes);
}

void TqdWriter::WriteListBegin() { WriteValue(vaList); }

void TqdWriter::WriteListEnd() { WriteValue(vaNull); }

void TqdWriter::WriteStrings(const TqdStringList& aList) {
  WriteListBegin();
  for (int32_t i = 0; i < aList.Count(); ++i) WriteString(aList.Strings(i));
  WriteListEnd();
}

void TqdWriter::WriteWideStrings(const TqdStringList& aList) {
  WriteListBegin();
  for (int32_t i = 0; i < aList.Count(); ++i) WriteWideString_(aList.Strings(i));
  WriteListEnd();
}

void TqdWriter::WriteAnsiStrings(const TqdStringList& aList) {
  WriteListBegin();
  for (int32_t i = 0; i < aList.Count(); ++i) WriteAnsiString(stringToAnsi(aList.Strings(i)));
  WriteListEnd();
}

void TqdWriter::WriteGuid(const TGUID& aValue) {
  uint8_t bytes[16];
  qdPutU32(bytes, aValue.D1);
  qdPutU16(bytes + 4, aValue.D2);
  qdPutU16(bytes + 6, aValue.D3);
  std::memcpy(bytes + 8, aValue.D4.data(), 8);
  WriteBinary(bytes, 16);
}

void TqdWriter::WriteVariant(const TqdVariant& aValue) {
  if (aValue.IsArray()) throw EWriteError(qdString(SWriteError));
  switch (aValue.VarType()) {
    case varEmpty:
      WriteValue(vaNil);
      break;
    case varNull:
      WriteValue(vaNull);
      break;
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
      WriteInteger(aValue.AsInt64());
      break;
    case varSingle: {
      uint8_t bytes[5];
      bytes[0] = vaSingle;
      const float value = aValue.AsSingle();
      std::memcpy(bytes + 1, &value, 4);
      Write(bytes, 5);
      break;
    }
    case varDouble:
      WriteFloat(aValue.AsDouble());
      break;
    case varCurrency: {
      uint8_t bytes[9];
      bytes[0] = vaCurrency;
      qdPutI64(bytes + 1, aValue.AsCurrency().Raw);
      Write(bytes, 9);
      break;
    }
    case varDate: {
      uint8_t bytes[9];
      bytes[0] = vaDate;
      const double value = aValue.AsDateTime();
      std::memcpy(bytes + 1, &value, 8);
      Write(bytes, 9);
      break;
    }
    case varBoolean:
      WriteBoolean(aValue.AsBoolean());
      break;
    default:
      // Strings, and every other kind as its text.
      WriteString(aValue.AsString());
      break;
  }
}

void TqdWriter::WriteBinary(const void* aValue, int32_t aSize) {
  if (aSize < 0) throw EWriteError(qdString(SWriteError));
  uint8_t header[5];
  header[0] = vaBinary;
  qdPutI32(header + 1, aSize);
  Write(header, 5);
  Write(aValue, aSize);
}

void TqdWriter::WriteBytes(std::span<const uint8_t> aValue) {
  if (aValue.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw EWriteError(qdString(SWriteError));
  WriteBinary(aValue.data(), static_cast<int32_t>(aValue.size()));
}

// --- TqdReader -------------------------------------------------------------------

TqdReader::TqdReader(TStream* aStream, int32_t aBufSize)
    : fStream(aStream), fBuffer(static_cast<size_t>(std::max(aBufSize, 16))) {}

TqdReader::~TqdReader() {
  try {
    FixupBuffer();
  } catch (...) {
    // A stream that cannot seek back leaves its position after the
    // read-ahead; there is no one to tell from here.
  }
}

void TqdReader::FixupBuffer() {
  const int32_t unread = fBufEnd - fBufPos;
  fBufPos = 0;
  fBufEnd = 0;
  if (unread > 0) fStream->Seek(-static_cast<int64_t>(unread), soFromCurrent);
}

void TqdReader::ReadError() { throw EReadError(qdString(SReadError)); }

void TqdReader::PropValueError() { throw EReadError(qdString(SInvalidPropertyValue)); }

void TqdReader::FillBuffer() {
  const int32_t count = fStream->Read(fBuffer.data(), static_cast<int32_t>(fBuffer.size()));
  if (count <= 0) ReadError();
  fBufPos = 0;
  fBufEnd = count;
}

uint8_t TqdReader::ReadByte() {
  if (fBufPos == fBufEnd) FillBuffer();
  return fBuffer[static_cast<size_t>(fBufPos++)];
}

void TqdReader::Read(void* aBuffer, int32_t aCount) {
  if (aCount < 0) ReadError();
  auto* target = static_cast<uint8_t*>(aBuffer);
  while (aCount > 0) {
    if (fBufPos == fBufEnd) {
      // A large block goes straight from the stream.
      if (aCount >= static_cast<int32_t>(fBuffer.size())) {
        fStream->ReadBuffer(target, aCount);
        return;
      }
      FillBuffer();
    }
    const int32_t count = std::min(aCount, fBufEnd - fBufPos);
    std::memcpy(target, fBuffer.data() + fBufPos, static_cast<size_t>(count));
    fBufPos += count;
    target += count;
    aCount -= count;
  }
}

int64_t TqdReader::Remaining() {
  const int64_t rest = fStream->Size() - fStream->Position();
  return (fBufEnd - fBufPos) + std::max<int64_t>(rest, 0);
}

int32_t TqdReader::CheckedLength(int64_t aCount, int32_t aUnit) {
  if (aCount < 0 || aCount * aUnit > Remaining()) ReadError();
  return static_cast<int32_t>(aCount);
}

int64_t TqdReader::Position() { return fStream->Position() - (fBufEnd - fBufPos); }

void TqdReader::SetPosition(int64_t aValue) {
  fBufPos = 0;
  fBufEnd = 0;
  fStream->SetPosition(aValue);
}

TValueType TqdReader::ReadValue() { return static_cast<TValueType>(ReadByte()); }

TValueType TqdReader::NextValue() {
  const TValueType value = ReadValue();
  --fBufPos;
  return value;
}

int32_t TqdReader::ReadInteger() {
  switch (ReadValue()) {
    case vaInt8: {
      int8_t value;
      Read(&value, 1);
      return value;
    }
    case vaInt16: {
      uint8_t bytes[2];
      Read(bytes, 2);
      return qdGetI16(bytes);
    }
    case vaInt32: {
      uint8_t bytes[4];
      Read(bytes, 4);
      return qdGetI32(bytes);
    }
    default:
      PropValueError();
  }
}

int64_t TqdReader::ReadInt64() {
  if (NextValue() != vaInt64) return ReadInteger();
  ReadValue();
  uint8_t bytes[8];
  Read(bytes, 8);
  return qdGetI64(bytes);
}

bool TqdReader::ReadBoolean() {
  switch (ReadValue()) {
    case vaTrue:
      return true;
    case vaFalse:
      return false;
    default:
      PropValueError();
  }
}

std::string TqdReader::ReadShortBytes() {
  const uint8_t length = ReadByte();
  std::string bytes(length, '\0');
  Read(bytes.data(), length);
  return bytes;
}

std::string TqdReader::ReadBytesOfLength(int32_t aLength) {
  std::string bytes(static_cast<size_t>(aLength), '\0');
  Read(bytes.data(), aLength);
  return bytes;
}

qdString TqdReader::ReadStringOf(TValueType aTag) {
  switch (aTag) {
    case vaString:
      return ansiToString(ReadShortBytes());
    case vaLString:
    case vaUTF8String: {
      uint8_t bytes[4];
      Read(bytes, 4);
      const std::string text = ReadBytesOfLength(CheckedLength(qdGetI32(bytes), 1));
      return aTag == vaLString ? ansiToString(text) : Utf8ToString(text);
    }
    case vaWString: {
      uint8_t bytes[4];
      Read(bytes, 4);
      const int32_t length = CheckedLength(qdGetI32(bytes), 2);
      qdString text(static_cast<size_t>(length), u'\0');
      Read(text.data(), length * 2);
      return text;
    }
    default:
      PropValueError();
  }
}

qdString TqdReader::ReadString() { return ReadStringOf(ReadValue()); }

char16_t TqdReader::ReadChar() {
  const qdString text = ReadString();
  if (text.size() > 1) PropValueError();
  return text.empty() ? u'\0' : text[0];
}

char TqdReader::ReadAnsiChar() { return static_cast<char>(ReadChar() & 0xFF); }

qdString TqdReader::ReadIdent() {
  switch (ReadValue()) {
    case vaIdent:
      return Utf8ToString(ReadShortBytes());
    case vaFalse:
      return u"False";
    case vaTrue:
      return u"True";
    case vaNull:
      return u"Null";
    case vaNil:
      return u"nil";
    default:
      PropValueError();
  }
}

TqdExtended TqdReader::ReadFloat() {
  switch (NextValue()) {
    case vaExtended: {
      ReadValue();
      uint8_t bytes[kExtendedSize];
      Read(bytes, kExtendedSize);
      return TqdExtended::FromBytes(bytes);
    }
    case vaDouble: {
      ReadValue();
      double value;
      Read(&value, 8);
      return qdDoubleToExtended(value);
    }
    default:
      return int64ToExtended(ReadInt64());
  }
}

void TqdReader::ReadStrings(TqdStringList& aList) {
  aList.Clear();
  ReadListBegin();
  while (!EndOfList()) aList.Add(ReadString());
  ReadListEnd();
}

TGUID TqdReader::ReadGuid() {
  uint8_t bytes[16];
  ReadBinary(bytes, 16);
  TGUID guid;
  guid.D1 = qdGetU32(bytes);
  guid.D2 = qdGetU16(bytes + 4);
  guid.D3 = qdGetU16(bytes + 6);
  std::memcpy(guid.D4.data(), bytes + 8, 8);
  return guid;
}

TqdVariant TqdReader::ReadVariant() {
  const TValueType tag = NextValue();
  switch (tag) {
    case vaNil:
      ReadValue();
      return TqdVariant();
    case vaNull:
      ReadValue();
      return TqdVariant::Null();
    case vaInt8:
      return TqdVariant(static_cast<int8_t>(ReadInteger()));
    case vaInt16:
      return TqdVariant(static_cast<int16_t>(ReadInteger()));
    case vaInt32:
      return TqdVariant(ReadInteger());
    case vaInt64:
      return TqdVariant(ReadInt64());
    case vaExtended:
    case vaDouble:
      return TqdVariant(qdExtendedToDouble(ReadFloat()));
    case vaSingle: {
      ReadValue();
      float value;
      Read(&value, 4);
      return TqdVariant(value);
    }
    case vaCurrency: {
      ReadValue();
      uint8_t bytes[8];
      Read(bytes, 8);
      return TqdVariant(TqdCurrency::FromRaw(qdGetI64(bytes)));
    }
    case vaDate: {
      ReadValue();
      double value;
      Read(&value, 8);
      return TqdVariant::FromDate(value);
    }
    case vaFalse:
    case vaTrue:
      return TqdVariant(ReadBoolean());
    case vaString:
    case vaLString:
    case vaWString:
    case vaUTF8String:
      return TqdVariant(ReadString());
    default:
      // Lists, identifiers, and binaries: no variant kind of this engine
      // streams itself.
      ReadValue();
      PropValueError();
  }
}

void TqdReader::ReadListBegin() {
  if (NextValue() != vaList) {
    SkipValue();
    PropValueError();
  }
  ReadValue();
}

void TqdReader::ReadListEnd() {
  if (NextValue() != vaNull) {
    SkipValue();
    PropValueError();
  }
  ReadValue();
}

bool TqdReader::EndOfList() { return NextValue() == vaNull; }

void TqdReader::ReadBinary(void* aValue, int32_t aSize) {
  if (ReadValue() != vaBinary) PropValueError();
  uint8_t bytes[4];
  Read(bytes, 4);
  if (qdGetI32(bytes) != aSize) PropValueError();
  Read(aValue, CheckedLength(aSize, 1));
}

std::vector<uint8_t> TqdReader::ReadBytes() {
  if (ReadValue() != vaBinary) PropValueError();
  uint8_t bytes[4];
  Read(bytes, 4);
  const int32_t length = qdGetI32(bytes);
  std::vector<uint8_t> result;
  if (length <= 0) return result;
  result.resize(static_cast<size_t>(CheckedLength(length, 1)));
  Read(result.data(), length);
  return result;
}

void TqdReader::SkipPayload(TValueType aTag) {
  uint8_t scratch[10];
  switch (aTag) {
    case vaNull:
    case vaFalse:
    case vaTrue:
    case vaNil:
      break;
    case vaInt8:
      Read(scratch, 1);
      break;
    case vaInt16:
      Read(scratch, 2);
      break;
    case vaInt32:
    case vaSingle:
      Read(scratch, 4);
      break;
    case vaInt64:
    case vaCurrency:
    case vaDate:
    case vaDouble:
      Read(scratch, 8);
      break;
    case vaExtended:
      Read(scratch, 10);
      break;
    case vaString:
    case vaIdent:
      ReadShortBytes();
      break;
    case vaSet:
      while (!ReadShortBytes().empty()) {
      }
      break;
    case vaBinary:
    case vaLString:
    case vaUTF8String:
    case vaWString: {
      Read(scratch, 4);
      const int32_t length = qdGetI32(scratch);
      // A binary of negative length is read as empty (ReadBytes).
      if (aTag == vaBinary && length <= 0) break;
      const int32_t count = CheckedLength(length, aTag == vaWString ? 2 : 1);
      SetPosition(Position() + static_cast<int64_t>(count) * (aTag == vaWString ? 2 : 1));
      break;
    }
    default:
      PropValueError();
  }
}

void TqdReader::SkipValue() {
  // Containers are followed with an explicit stack, so that a stream of
  // nested lists cannot exhaust the machine stack.
  enum Open : uint8_t { kList, kCollection, kItem };
  std::vector<Open> open;
  bool valueDue = true;
  for (;;) {
    if (valueDue) {
      const TValueType tag = ReadValue();
      if (tag == vaList) {
        open.push_back(kList);
      } else if (tag == vaCollection) {
        open.push_back(kCollection);
      } else {
        SkipPayload(tag);
      }
      valueDue = false;
    }
    if (open.empty()) return;
    if (NextValue() == vaNull) {
      ReadValue();
      open.pop_back();
      continue;
    }
    switch (open.back()) {
      case kList:
        valueDue = true;
        break;
      case kCollection: {
        // An item: an optional order number, then its properties as a list.
        const TValueType tag = NextValue();
        if (tag == vaInt8 || tag == vaInt16 || tag == vaInt32) SkipPayload(ReadValue());
        if (ReadValue() != vaList) PropValueError();
        open.push_back(kItem);
        break;
      }
      case kItem:
        // A property: its name (a short string without tag), then its value.
        ReadShortBytes();
        valueDue = true;
        break;
    }
  }
}

}  // namespace qd
