// The field mapper descriptor: how one target field of a restructured,
// packed, copied or recovered table is fed from a source field, and what
// happens to a value that does not fit the target.
//
// Classes: TqdFieldMapperDescriptor (its family's registry holds the field
// mapper classes by name), TqdFieldMapperDescriptorClass (its class record
// with the factory that streams and AddMapping build entries with).
// Exceptions: EqdMapperDescriptorException, the base of every mapper
// descriptor's exception, and EqdFieldMapperDescriptorException.
//
// Stream form (the filer's tagged values):
//   Ident   class name, "TqdFieldMapperDescriptor"
//   String  SourceName
//   String  TargetName
//   String  "dlaFail", "dlaNull" or "dlaBestFit"
//   Integer 1 (version; WriteData starts here)
//   Boolean ApplyDefault
// A stream's action name that is none of the three reads as dlaFail, which
// every consumer treats as "fail the mapping".
//
// A descriptor is plain data used by one thread at a time; its owner (a
// record mapper descriptor) frees it.
#pragma once

#include <cstdint>

#include "dictionary/qdsdDataDictionary_Items.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllTypes.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdMapperDescriptorException, EqdBaseException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldMapperDescriptorException, EqdMapperDescriptorException);

// What a value that the target cannot represent does to the mapping.
enum TqdDataLossAction : uint8_t {
  dlaFail = 0,     // the mapping fails
  dlaNull = 1,     // the target becomes null (or its default)
  dlaBestFit = 2,  // the converter clamps or truncates
};

// The stored name of an action, and the action of a stored name (dlaFail
// for a name that is none of the three).
qdStringView qdDataLossActionName(TqdDataLossAction aAction);
TqdDataLossAction qdDataLossActionFromName(qdStringView aName);

class TqdFieldMapperDescriptor;
using TqdFieldMapperDescriptorClass =
    TqdDescriptorClassInfo<TqdFieldMapperDescriptor, qdStringView, qdStringView, TqdDataLossAction>;

class TqdFieldMapperDescriptor : public TqdBaseRegisterableDescriptor {
 public:
  static const TqdFieldMapperDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdFieldMapperDescriptor(qdStringView aSourceName, qdStringView aTargetName, TqdDataLossAction aDataLossAction);

  // Ident, the three strings, then WriteData.
  void WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  // Reads the class name, finds it in the family (15499 "FieldMapperDescriptor
  // class is not supported: X" when it is not there), reads the three strings,
  // builds the entry and reads its data; a failure frees the entry.
  static TqdFieldMapperDescriptor* CreateFromReader(TqdReader& aReader);

  virtual void WriteData(TqdWriter& aWriter, int32_t aClientVersion) const;
  // 15498 for a version other than 1.
  virtual void ReadData(TqdReader& aReader);

  const qdString& SourceName() const { return bfcdSourceName; }
  void SetSourceName(qdStringView aValue) { bfcdSourceName = qdString(aValue); }
  const qdString& TargetName() const { return bfcdTargetName; }
  TqdDataLossAction DataLossAction() const { return bfcdDataLossAction; }
  void SetDataLossAction(TqdDataLossAction aValue) { bfcdDataLossAction = aValue; }
  bool ApplyDefault() const { return bfcdApplyDefault; }
  void SetApplyDefault(bool aValue) { bfcdApplyDefault = aValue; }

 private:
  friend class TqdRecordMapperDescriptor;  // renames the target (UpdateTargetName)

  // Empty: the target is not fed from the source.
  qdString bfcdSourceName;
  qdString bfcdTargetName;
  TqdDataLossAction bfcdDataLossAction;
  bool bfcdApplyDefault = false;
};

void qdsdFieldMapperDescriptorInitialize();
void qdsdFieldMapperDescriptorFinalize();

}  // namespace qd
