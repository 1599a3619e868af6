// The default auto-increment engine ("qd1xDefault"): the table's counter in
// a 4-byte section of the file header, handed out with an initial value and
// a step.
//
// Header section (named by the auto-increment descriptor):
//
//   offset size content
//        0    4 the last value handed out (unsigned, little-endian); a new
//               table stores initial value - step (modulo 2^32), so that
//               the first value handed out is the initial value
//
// Classes: TqdSimpleAutoIncEngine, EqdseAutoIncEngineException. The engine
// holds the section offset, the initial value and the step; the counter is
// read and written through a header access of the caller's transaction, so
// two transactions see it through their own versions of block 0 and the
// block cache decides which commit wins. No locks of its own.
#pragma once

#include <cstdint>

#include "storage/qdsrAutoIncEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdseAutoIncEngineException, EqdBaseAutoIncEngineException);

class TqdSimpleAutoIncEngine : public TqdBaseAutoIncEngine {
 public:
  static const TqdAutoIncEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Initial value and step come from an advanced descriptor, else 1 and 1.
  // With aTrans (a new table) the section is created and initialised;
  // without, it is looked up.
  TqdSimpleAutoIncEngine(TqdBaseAutoIncDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                         TqdBaseTransaction* aTrans);

  // Raises 9731 "Maximum AutoInc value has been reached" when the counter
  // would pass 4294967295, leaving it unchanged.
  uint32_t NextAutoIncValue(TqdBaseTransaction* aTrans, uint32_t* aCurrentAutoInc) override;
  uint32_t ReadAutoIncValue(TqdBaseTransaction* aTrans) override;
  void SetAutoIncValue(TqdBaseTransaction* aTrans, uint32_t aValue) override;

  uint16_t HeaderSection() const { return aieHeaderSection; }
  uint32_t InitialValue() const { return aieInitialValue; }
  uint32_t Step() const { return aieStep; }

 private:
  uint16_t aieHeaderSection = 0;
  uint32_t aieInitialValue = 1;
  uint32_t aieStep = 1;
};

void qdseAutoIncEngineSimpleInitialize();
void qdseAutoIncEngineSimpleFinalize();

}  // namespace qd
