// Expression filters: the filter the dataset layer compiles from a
// dataset's filter text (and from locates that cannot use an index) into
// the dataset framework's compiled expression, evaluated here directly from
// its bytes against record or key images read through an IqdFieldsSource.
//
// Classes: TqdBaseSimpleExpressionFilterDescriptor (expression, code page of
// 8-bit constants, filter text), TqdSimpleExpressionFilterDescriptor (adds
// the stream form; registered), TqdBaseSimpleExpressionFilterEngine,
// TqdSimpleExpressionFilterEngine (registered); their exception classes.
//
// Compiled expression (TqdCANExpr), little-endian:
//
//   offset  size  field
//   0       2     version (not checked)
//   2       2     total size in bytes
//   4       2     number of nodes (not used)
//   6       2     node start: offset of the node area
//   8       2     literal start: offset of the literal pool
//
// A node reference is an offset into the node area, a literal reference an
// offset into the literal pool; the root node is at node offset 0. A node
// is its class (Int32) and operator (Int32), then Word operands:
//
//   class  kind      operands from byte 8 of the node
//   1      unary     operand node
//   2      binary    left node, right node
//   3      compare   ignore-case flag, partial length, left node, right node
//   4      field     field number (1-based), literal offset of the name
//                    (8-bit, 0-terminated)
//   5      constant  logical type, size in bytes, literal offset of the value
//   7      continue  flag
//   other            not evaluated (False)
//
// Every node and literal the evaluation can reach is checked against the
// total size once, when a descriptor is built (15498 otherwise): node
// headers and operands, constant values of their type's width and size,
// terminators of 8-bit texts, the byte count of UTF-16 texts. The reachable
// nodes must form a tree no deeper than kCanMaxDepth. Evaluation then reads
// only checked bytes.
//
// Class data of TqdSimpleExpressionFilterDescriptor in the filter descriptor
// stream:
//
//   size      content
//   1         version v (1 to 4)
//   2         E: expression size in bytes, then E bytes
//   2 + T     only v = 2: T bytes of 8-bit filter text (system ANSI)
//   2 + 2T    only v >= 3: T UTF-16 characters of filter text
//   4         only v = 4: code page (Int32)
//
// Written: v = 1 without a filter text, else 3; v = 4 for readers above
// client version 30001 when a code page is given.
//
// Ownership and threads: the expression bytes are shared (immutable) between
// a descriptor and the engines built from it. An engine keeps no state
// between calls; several threads may evaluate one engine at once when its
// fields source allows it. Text conversions use per-call buffers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdFilterEngineBase.h"

namespace qd {

// One compiled expression, shared and never changed; nil or empty for none.
using TqdCANExpr = std::shared_ptr<const std::vector<uint8_t>>;

// Operators (the dataset framework's TCANOperator codes) that evaluate;
// every other operator gives False.
inline constexpr int32_t coISBLANK = 1;
inline constexpr int32_t coNOTBLANK = 2;
inline constexpr int32_t coEQ = 3;
inline constexpr int32_t coNE = 4;
inline constexpr int32_t coGT = 5;
inline constexpr int32_t coLT = 6;
inline constexpr int32_t coGE = 7;
inline constexpr int32_t coLE = 8;
inline constexpr int32_t coNOT = 9;
inline constexpr int32_t coAND = 10;
inline constexpr int32_t coOR = 11;
inline constexpr int32_t coLIKE = 30;

// Node classes.
inline constexpr int32_t kCanNodeUnary = 1;
inline constexpr int32_t kCanNodeBinary = 2;
inline constexpr int32_t kCanNodeCompare = 3;
inline constexpr int32_t kCanNodeField = 4;
inline constexpr int32_t kCanNodeConst = 5;
inline constexpr int32_t kCanNodeContinue = 7;

// Logical types of constants (the dataset framework's).
inline constexpr uint16_t kCanTypeText = 1;           // 8-bit, 0-terminated
inline constexpr uint16_t kCanTypeDate = 2;           // Int32 day, 1 = 0001-01-01
inline constexpr uint16_t kCanTypeBoolean = 4;        // 16-bit, non-zero = True
inline constexpr uint16_t kCanTypeInt16 = 5;          //
inline constexpr uint16_t kCanTypeInt32 = 6;          //
inline constexpr uint16_t kCanTypeFloat = 7;          // 8-byte float
inline constexpr uint16_t kCanTypeBcd = 8;            // 34-byte BCD record
inline constexpr uint16_t kCanTypeTime = 10;          // Int32 ms of the day
inline constexpr uint16_t kCanTypeTimeStamp = 11;     // 8-byte float ms
inline constexpr uint16_t kCanTypeUInt16 = 12;        //
inline constexpr uint16_t kCanTypeUInt32 = 13;        //
inline constexpr uint16_t kCanTypeExtended = 14;      // 10-byte float
inline constexpr uint16_t kCanTypeInt64 = 18;         //
inline constexpr uint16_t kCanTypeSingle = 27;        // 4-byte float
inline constexpr uint16_t kCanTypeWideText = 0x1007;  // Word byte count, UTF-16

inline constexpr int32_t kCanHeaderSize = 10;
// Deeper expressions are refused, so that evaluation cannot exhaust the
// stack of the thread that scans.
inline constexpr int32_t kCanMaxDepth = 1024;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseSimpleExpressionFilterDescriptorException, EqdBaseFilterDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdSimpleExpressionFilterDescriptorException,
                           EqdBaseSimpleExpressionFilterDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseSimpleExpressionFilterEngineException, EqdBaseFilterEngineException);
QD_DECLARE_EXCEPTION_CLASS(EqdSimpleExpressionFilterEngineException, EqdBaseSimpleExpressionFilterEngineException);

class TqdBaseSimpleExpressionFilterDescriptor : public TqdBaseFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Copies "total size" bytes from aExpression (nil or a total size of 0:
  // an empty expression). aCodePage -1: none given. A malformed expression
  // raises 15498.
  TqdBaseSimpleExpressionFilterDescriptor(const void* aExpression, int32_t aCodePage);
  TqdBaseSimpleExpressionFilterDescriptor(const void* aExpression, qdStringView aFilterText, int32_t aCodePage);
  // Shares the array.
  TqdBaseSimpleExpressionFilterDescriptor(TqdCANExpr aExpression, int32_t aCodePage);
  TqdBaseSimpleExpressionFilterDescriptor(TqdCANExpr aExpression, qdStringView aFilterText, int32_t aCodePage);

  const TqdCANExpr& Expression() const { return bsfdExpression; }
  int32_t CodePage() const { return bsfdCodePage; }
  const qdString& FilterText() const { return bsfdFilterText; }
  // The expression's bytes up to its total size (none for an empty one).
  const uint8_t* ExpressionBytes() const;
  int32_t ExpressionSize() const;

 protected:
  TqdBaseSimpleExpressionFilterDescriptor() = default;
  // Takes the expression after checking it (15498).
  void SetExpression(TqdCANExpr aExpression);

  TqdCANExpr bsfdExpression;
  int32_t bsfdCodePage = -1;
  qdString bsfdFilterText;
};

class TqdSimpleExpressionFilterDescriptor : public TqdBaseSimpleExpressionFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseSimpleExpressionFilterDescriptor::TqdBaseSimpleExpressionFilterDescriptor;
  // Reads the class data: 15498 for version 0 or above 4, a short filter
  // text or a malformed expression; EReadError for other short reads.
  explicit TqdSimpleExpressionFilterDescriptor(TStream* aStream);

  [[nodiscard]] TqdResult WriteToStream(TStream* aStream, int32_t aVersion) const override;
};

class TqdBaseSimpleExpressionFilterEngine : public TqdBaseFilterEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdBaseFilterEngine::TqdBaseFilterEngine;
};

class TqdSimpleExpressionFilterEngine : public TqdBaseSimpleExpressionFilterEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // aDescriptor must be a TqdSimpleExpressionFilterDescriptor (EInvalidCast
  // otherwise). Without a code page 8-bit constants are in the engine's
  // default code page.
  TqdSimpleExpressionFilterEngine(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource);

  const TqdCANExpr& Expression() const { return sfeExpression; }
  const qdString& FilterText() const { return sfeFilterText; }
  bool HasCodePage() const { return sfeHasCodePage; }
  uint16_t CodePage() const { return sfeCodePage; }

  TqdBaseFilterDescriptor* CreateDescriptor() override;
  // Inactive engine or empty expression: True. Else the root's value: a
  // failed evaluation refuses, null passes, a Boolean passes when True,
  // anything else passes.
  bool MatchesBuffer(const uint8_t* aBuffer) override;
  // Adds "FilterText" (when not empty) and "CodePage" (when given).
  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 private:
  TqdCANExpr sfeExpression;
  qdString sfeFilterText;
  bool sfeHasCodePage = false;
  uint16_t sfeCodePage = 0;
};

void qdsdFilterEngineSimpleExpressionInitialize();
void qdsdFilterEngineSimpleExpressionFinalize();

}  // namespace qd
