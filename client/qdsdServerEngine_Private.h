// Helpers shared by the implementation files of qdsdServerEngine; not part
// of its interface (included only by qdsdServerEngine*.cpp).
#pragma once

#include <string>

#include "platform/qdStrings.h"

namespace qd::qdsdServerEngine_Private {

// A context path names a chain of owners, "<Database>.<TransContext>.<Self>":
// its head is the text up to the first dot, its rest what follows. A path
// that ends with its head has "<Self>", the object itself, as its rest.
struct TqdContextPath {
  qdString Head;
  qdString Rest;
};

inline TqdContextPath SplitContextPath(const qdString& aName) {
  const size_t dot = aName.find(u'.');
  TqdContextPath path{aName.substr(0, dot), dot == qdString::npos ? qdString() : aName.substr(dot + 1)};
  if (path.Rest.empty()) path.Rest = u"<Self>";
  return path;
}

}  // namespace qd::qdsdServerEngine_Private
