// The table mapper descriptor callers build: the base node plus a version
// of its own in the stream (written after the node's children) and the
// mapping of two table layouts by name.
//
// Classes: TqdTableMapperDescriptor. Exception:
// EqdTableMapperDescriptorException (15498 when its own version is not 1).
#pragma once

#include <cstdint>

#include "server/qdsdTableMapperDescriptorBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdTableMapperDescriptorException, EqdBaseTableMapperDescriptorException);

class TqdBaseTableDescriptor;

class TqdTableMapperDescriptor : public TqdBaseTableMapperDescriptor {
 public:
  static const TqdBaseTableMapperDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // A new record mapper mapping the fields both tables share by name, and a
  // child node (of this class, mapped the same way) for every child table
  // both have; tables on one side only get no node.
  void MapAllTablesAndFieldsByName(const TqdBaseTableDescriptor& aOldTable, const TqdBaseTableDescriptor& aNewTable,
                                   TqdDataLossAction aDataLossAction);

  void WriteData(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void ReadData(TqdReader& aReader) override;
};

void qdsdTableMapperDescriptorInitialize();
void qdsdTableMapperDescriptorFinalize();

}  // namespace qd
