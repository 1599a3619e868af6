#include "storage/qdsdBookmarkHandling.h"

#include "dictionary/qdsdKeyEngineBase.h"
#include "foundation/qdllException.h"
#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"

namespace qd {

namespace {

TqdBookmarkHandler* noIndexHandler = nullptr;

TqdIndexPathPosition positionOf(PqdBookmarkBuffer aBookmark) {
  const uint8_t value = aBookmark[kBookmarkOffPosition];
  // A value outside the enumeration counts as unknown: it came from a client.
  return value <= ippEof ? TqdIndexPathPosition(value) : ippUnknown;
}

bool keyValid(PqdBookmarkBuffer aBookmark) { return aBookmark[kBookmarkOffKeyValid] != 0; }

int64_t refNrOf(PqdBookmarkBuffer aBookmark) { return qdGetI64(aBookmark + kBookmarkOffRefNr); }

}  // namespace

TqdBookmarkHandler::TqdBookmarkHandler(int32_t aIndexID, TqdBaseKeyEngine* aKeyEngine)
    : bmhIndexID(aIndexID), bmhKeyEngine(aKeyEngine) {}

uint32_t TqdBookmarkHandler::KeyLength() const { return bmhKeyEngine != nullptr ? bmhKeyEngine->KeyLength() : 0; }

uint32_t TqdBookmarkHandler::BookmarkSize() const { return kBookmarkHeaderSize + KeyLength(); }

TqdResult TqdBookmarkHandler::CheckBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize) const {
  if (aBookmark == nullptr) return qdeBookmarkMismatch;
  const uint32_t keyLength = KeyLength();
  // The size is checked first: nothing beyond it is read, and the key
  // length stored in the bookmark is never used to find the bytes to hash.
  if (aSize < kBookmarkHeaderSize + keyLength) return qdeBookmarkMismatch;
  const int32_t expectedIndex = bmhKeyEngine != nullptr ? bmhIndexID : -1;
  if (qdGetI32(aBookmark + kBookmarkOffIndex) != expectedIndex) return qdeBookmarkMismatch;
  if (qdGetI32(aBookmark + kBookmarkOffKeyLength) != int32_t(keyLength)) return qdeBookmarkMismatch;
  const uint32_t checked = kBookmarkHeaderSize - kBookmarkCheckedStart + keyLength;
  if (qdGetU32(aBookmark + kBookmarkOffCheck) != qdElfHash(aBookmark + kBookmarkCheckedStart, int32_t(checked)))
    return qdeBookmarkMismatch;
  return 0;
}

TqdResult TqdBookmarkHandler::CompareBookmarks(PqdBookmarkBuffer aBookmark1, PqdBookmarkBuffer aBookmark2,
                                               uint32_t aSize, int32_t& aCompResult) const {
  if (TqdResult result = CheckBookmark(aBookmark1, aSize); result != 0) return result;
  if (TqdResult result = CheckBookmark(aBookmark2, aSize); result != 0) return result;
  const TqdIndexPathPosition position1 = positionOf(aBookmark1);
  const TqdIndexPathPosition position2 = positionOf(aBookmark2);
  switch (position1) {
    case ippUnknown:
      return qdeBookmarkMismatch;
    case ippBof:
      aCompResult = position2 == ippBof ? 0 : -1;
      return 0;
    case ippEof:
      aCompResult = position2 == ippEof ? 0 : 1;
      return 0;
    default:
      break;
  }
  switch (position2) {
    case ippUnknown:
      return qdeBookmarkMismatch;
    case ippBof:
      aCompResult = 1;
      return 0;
    case ippEof:
      aCompResult = -1;
      return 0;
    default:
      break;
  }
  int32_t result = 0;
  if (bmhKeyEngine != nullptr) {
    if (!keyValid(aBookmark1) || !keyValid(aBookmark2)) return qdeBookmarkMismatch;
    if (bmhKeyEngine->NLSVersionChanged()) return qdeNotSupported;
    // The check value proves no more than that the client kept the bytes
    // together: key bytes the key engine cannot read are one more defect.
    try {
      result = bmhKeyEngine->CompareKey(aBookmark1 + kBookmarkHeaderSize, aBookmark2 + kBookmarkHeaderSize, 0, 0);
    } catch (const Exception&) {
      return qdeBookmarkMismatch;
    }
    result = result < 0 ? -1 : result > 0 ? 1 : 0;
  }
  if (result == 0) result = qdCompareInt64(refNrOf(aBookmark1), refNrOf(aBookmark2));
  if (result == 0) {
    switch (position1) {
      case ippOnCrackBefore:
        result = position2 == ippOnCrackBefore ? 0 : -1;
        break;
      case ippOnCrackAfter:
        result = position2 == ippOnCrackAfter ? 0 : 1;
        break;
      default:
        result = position2 == ippOnCrackBefore ? 1 : position2 == ippOnCrackAfter ? -1 : 0;
        break;
    }
  }
  aCompResult = result;
  return 0;
}

TqdResult TqdBookmarkHandler::BookmarkAsVariant(PqdBookmarkBuffer aBookmark, uint32_t aSize,
                                                TqdVariant& aVariant) const {
  aVariant = TqdVariant();
  if (TqdResult result = CheckBookmark(aBookmark, aSize); result != 0) return result;
  switch (positionOf(aBookmark)) {
    case ippUnknown:
      return qdeBookmarkMismatch;
    case ippBof:
    case ippEof:
      aVariant = TqdVariant::Null();
      return 0;
    default:
      break;
  }
  if (bmhKeyEngine == nullptr) {
    aVariant = TqdVariant(refNrOf(aBookmark));
    return 0;
  }
  if (!keyValid(aBookmark)) return qdeBookmarkMismatch;
  try {
    aVariant = bmhKeyEngine->KeyAsVariant(aBookmark + kBookmarkHeaderSize, -1);
  } catch (const Exception&) {
    aVariant = TqdVariant();
    return qdeBookmarkMismatch;
  }
  return 0;
}

TqdBookmarkHandler* qdNoIndexBookmarkHandler() { return noIndexHandler; }

void qdsdBookmarkHandlingInitialize() {
  if (noIndexHandler == nullptr) noIndexHandler = new TqdBookmarkHandler(-1, nullptr);
}

void qdsdBookmarkHandlingFinalize() { qdFreeAndNil(noIndexHandler); }

}  // namespace qd
