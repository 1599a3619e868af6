#include "platform/qdStream.h"

#include <algorithm>
#include <vector>

namespace qd {

const char16_t* const SReadError = u"Stream read error";
const char16_t* const SWriteError = u"Stream write error";
const char16_t* const SInvalidPropertyValue = u"Invalid property value";

int64_t TStream::Size() {
  const int64_t position = Seek(0, soFromCurrent);
  const int64_t size = Seek(0, soFromEnd);
  Seek(position, soFromBeginning);
  return size;
}

void TStream::SetSize(int64_t /*aNewSize*/) { throw EStreamError(qdString(u"The stream's size cannot be changed")); }

void TStream::ReadBuffer(void* aBuffer, int32_t aCount) {
  if (aCount != 0 && Read(aBuffer, aCount) != aCount) throw EReadError(qdString(SReadError));
}

void TStream::WriteBuffer(const void* aBuffer, int32_t aCount) {
  if (aCount != 0 && Write(aBuffer, aCount) != aCount) throw EWriteError(qdString(SWriteError));
}

int64_t TStream::CopyFrom(TStream* aSource, int64_t aCount) {
  if (aCount == 0) {
    aSource->SetPosition(0);
    aCount = aSource->Size();
  }
  constexpr int32_t kChunk = 61440;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(aCount, 1), kChunk)));
  int64_t left = aCount;
  while (left > 0) {
    const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
    aSource->ReadBuffer(buffer.data(), chunk);
    WriteBuffer(buffer.data(), chunk);
    left -= chunk;
  }
  return aCount;
}

}  // namespace qd
