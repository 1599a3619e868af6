// Bookmarks of one index: the opaque buffers a cursor hands to its client
// and takes back later, checked, compared and shown as a Variant.
//
// Bookmark layout (all integers little-endian; k = the index's key length,
// 0 for a path without an index engine):
//
//   offset size content
//        0    4 check value: qdElfHash of the 20 + k bytes from offset 4
//        4    4 index number (Int32); -1 for a path without index engine
//        8    1 position (TqdIndexPathPosition): 0 unknown, 1 BOF, 2 on the
//               crack before, 3 on the crack after, 4 on a key, 5 EOF
//        9    1 key valid: the key bytes hold the path's current key
//       10    1 deleted: the record the path stood on was deleted
//       11    1 0
//       12    8 record reference (Int64)
//       20    4 key length k (Int32)
//       24    k key bytes in the key engine's format
//
// A bookmark comes from a client and is not trusted: its size, index, key
// length and check value are verified before any key byte is read, and
// every defect answers 10021 "Bookmarks do not match table." - bookmark
// operations never raise.
//
// Classes: TqdBookmarkHandler. Every index engine owns one handler for its
// index number and key engine (not owned); one shared handler for paths
// without an index engine (index -1, no key engine) lives from unit start
// to unit end. A handler is read-only after construction (apart from the
// renumbering when an earlier index is removed, done under the table's
// lock) and may be used by several threads at once.
#pragma once

#include <cstdint>

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdBaseKeyEngine;

using PqdBookmarkBuffer = const uint8_t*;

inline constexpr uint32_t kBookmarkOffCheck = 0;
inline constexpr uint32_t kBookmarkOffIndex = 4;
inline constexpr uint32_t kBookmarkOffPosition = 8;
inline constexpr uint32_t kBookmarkOffKeyValid = 9;
inline constexpr uint32_t kBookmarkOffDeleted = 10;
inline constexpr uint32_t kBookmarkOffRefNr = 12;
inline constexpr uint32_t kBookmarkOffKeyLength = 20;
inline constexpr uint32_t kBookmarkHeaderSize = 24;
// The bytes the check value covers come after it.
inline constexpr uint32_t kBookmarkCheckedStart = 4;

class TqdBookmarkHandler : public TqdObject {
 public:
  // aKeyEngine may be nil (a path without index engine); it is not owned.
  TqdBookmarkHandler(int32_t aIndexID, TqdBaseKeyEngine* aKeyEngine);

  // 24 plus the key engine's key length.
  uint32_t BookmarkSize() const;
  int32_t IndexID() const { return bmhIndexID; }
  // Renumbering after an earlier index of the table was removed (under the
  // table's lock, like every change of the index set).
  void SetIndexID(int32_t aIndexID) { bmhIndexID = aIndexID; }
  TqdBaseKeyEngine* KeyEngine() const { return bmhKeyEngine; }

  // 0 when aBookmark (aSize bytes) is sound for this handler, else 10021.
  [[nodiscard]] TqdResult CheckBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize) const;
  // Three-way comparison of two bookmarks, aBookmark1 the left operand;
  // aCompResult is set only when the result is 0. 10021 for an unsound or
  // unpositioned bookmark, 12289 when the stored keys were built under
  // another national-language-support version.
  [[nodiscard]] TqdResult CompareBookmarks(PqdBookmarkBuffer aBookmark1, PqdBookmarkBuffer aBookmark2, uint32_t aSize,
                                           int32_t& aCompResult) const;
  // The bookmark's key as a Variant (the record reference without a key
  // engine; Null at BOF and EOF); aVariant is cleared first.
  [[nodiscard]] TqdResult BookmarkAsVariant(PqdBookmarkBuffer aBookmark, uint32_t aSize, TqdVariant& aVariant) const;

 private:
  uint32_t KeyLength() const;

  int32_t bmhIndexID;
  TqdBaseKeyEngine* bmhKeyEngine;
};

// The handler of paths without an index engine (nil outside unit start and
// end).
TqdBookmarkHandler* qdNoIndexBookmarkHandler();

void qdsdBookmarkHandlingInitialize();
void qdsdBookmarkHandlingFinalize();

}  // namespace qd
