#include "storage/qdsrTemporaryStorageBase.h"

#include <string>

#include "platform/qdStrings.h"

namespace qd {

std::atomic<TqdTempStorageClass> qdTempStorageClass{nullptr};

namespace {

qdString kbyte(int64_t aBytes) { return Utf8ToString(std::to_string(aBytes / 1024) + " kbyte"); }

[[noreturn]] void notSupported(const char16_t* aOperation) {
  throw EqdBaseTempStorageException(qdeNotSupported, u"%s is not supported by %s",
                                    {qdString(aOperation), qdString(u"TqdNullTempStorage")});
}

}  // namespace

void TqdBaseTempStorage::GetStatsCaptions(TqdStringList& aList) {
  aList.Add(u"Temporary Storage Total Size");
  aList.Add(u"Temporary Storage Used Size");
}

void TqdBaseTempStorage::GetStatsValues(TqdStringList& aList) {
  aList.Add(kbyte(GetSize()));
  aList.Add(kbyte(GetInUse()));
}

void TqdBaseTempStorage::GetStatsValuesStatic(TqdStringList& aList) {
  aList.Add(u"0 kbyte");
  aList.Add(u"0 kbyte");
}

void TqdNullTempStorage::ReadBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) { notSupported(u"ReadBlock"); }
void TqdNullTempStorage::PeekBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) { notSupported(u"PeekBlock"); }
void TqdNullTempStorage::ReleaseBlock(TqdBlockTmpNum, TqdBlockSize) { notSupported(u"ReleaseBlock"); }
TqdBlockTmpNum TqdNullTempStorage::WriteBlock(const uint8_t*, TqdBlockSize) { notSupported(u"WriteBlock"); }

}  // namespace qd
