// Filter descriptors: the data of a filter, which can be kept, copied and,
// for some classes, written to and read from a stream. A key descriptor
// keeps the filter of a filtered index this way; cursors receive them from
// clients. The evaluator built from a descriptor is a filter engine
// (qdsdFilterEngineBase).
//
// Classes: TqdBaseFilterDescriptor (base of every filter descriptor; no
// data), its class record TqdFilterDescriptorClass, exception
// EqdBaseFilterDescriptorException. The family's registry (filled by the
// filter units at start-up) maps class names to classes.
//
// Ownership: a descriptor is plain data owned by whoever created it (a key
// descriptor owns its filter, a hub its members). Descriptors are immutable
// once built and may be read by several threads.
//
// Filter descriptor stream:
//
//   offset  size  content
//   0       1     n, length of the class name in bytes
//   1       n     class name, 8-bit text in the system ANSI code page
//   1 + n   ...   class data, read by the class's stream constructor
//
// The classes with a stream form write the whole of it (name and data) in
// their WriteToStream.
#pragma once

#include <cstdint>

#include "dictionary/qdsdDataDictionary_Items.h"
#include "foundation/qdllException.h"
#include "foundation/qdllTypes.h"
#include "platform/qdStream.h"
#include "platform/qdStrings.h"

namespace qd {

class TqdBaseFilterDescriptor;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseFilterDescriptorException, EqdBaseException);

// The class record of a filter descriptor: CreateInstance is the stream
// constructor (nil for classes without a stream form).
using TqdFilterDescriptorClass = TqdDescriptorClassInfo<TqdBaseFilterDescriptor, TStream*>;

class TqdBaseFilterDescriptor : public TqdBaseRegisterableDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdBaseFilterDescriptor() = default;
  // The stream constructor of the base: raises 12289 "%s can not be
  // created from a stream" with the class name.
  explicit TqdBaseFilterDescriptor(TStream* aStream);

  // Writes the whole filter descriptor stream (class name and class data)
  // for a reader of client version aVersion. Here: nothing is written,
  // "WriteToStream is not supported by %s" is left for 12289 and 12289
  // returned.
  [[nodiscard]] virtual TqdResult WriteToStream(TStream* aStream, int32_t aVersion) const;

  // Reads one descriptor: the class name (a short read is 9986), the class
  // by that name or by that name followed by "Descriptor" (unknown: 12289
  // with "Filter descriptor not supported: %s" left for it), then the
  // class's stream constructor; what it raises is converted to its code.
  // aFilter is nil unless 0 is returned.
  [[nodiscard]] static TqdResult CreateFromStream(TStream* aStream, TqdBaseFilterDescriptor*& aFilter);

 protected:
  // The stream's first two fields for this class.
  void WriteClassName(TStream* aStream) const;
};

// Registers and unregisters the base class's family registry users; the
// concrete classes are registered by their own units.
void qdsdFilterDescriptorBaseInitialize();
void qdsdFilterDescriptorBaseFinalize();

}  // namespace qd
