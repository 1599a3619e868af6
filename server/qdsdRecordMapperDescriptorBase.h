// The base of the record mapper descriptor family: what a restructure needs
// to know of "all mappings of one record" without knowing their class.
//
// Classes: TqdBaseRecordMapperDescriptor (no data; its family registry holds
// the record mapper classes by name, the base itself is not registered),
// TqdBaseRecordMapperDescriptorClass (class record and factory).
// Exception: EqdBaseRecordMapperDescriptorException.
//
// Stream form: Ident class name, then the class's data part, which for the
// base is the Integer version 1 alone. A descriptor is plain data used by one
// thread at a time; its owner (a table mapper node) frees it.
#pragma once

#include <cstdint>

#include "server/qdsdFieldMapperDescriptor.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBaseRecordMapperDescriptorException, EqdMapperDescriptorException);

class TqdBaseRecordMapperDescriptor;
using TqdBaseRecordMapperDescriptorClass = TqdDescriptorClassInfo<TqdBaseRecordMapperDescriptor>;

class TqdBaseRecordMapperDescriptor : public TqdBaseRegisterableDescriptor {
 public:
  static const TqdBaseRecordMapperDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Ident, then WriteData.
  void WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  // 15499 "RecordMapperDescriptor class is not supported: X" for a class
  // name the family does not know; a failure while reading the data frees
  // the new descriptor and passes on.
  static TqdBaseRecordMapperDescriptor* CreateFromReader(TqdReader& aReader);
  // A new descriptor of the same class holding the same data; the caller
  // owns it.
  TqdBaseRecordMapperDescriptor* Duplicate() const;

  virtual void WriteData(TqdWriter& aWriter, int32_t aClientVersion) const;
  // 15498 for a version other than 1.
  virtual void ReadData(TqdReader& aReader);
};

}  // namespace qd
