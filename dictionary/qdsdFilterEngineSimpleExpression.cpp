#include "dictionary/qdsdFilterEngineSimpleExpression.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdFmtBcd.h"
#include "foundation/qdllUtils.h"
#include "foundation/qdllWideString.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdNls.h"
#include "platform/qdProcessProfile.h"

namespace qd {

namespace {

constexpr double kMsPerDay = 86400000.0;
// Day 693594 (30 December 1899) is where a time of day is placed.
constexpr double kTimeDayMs = 693594.0 * kMsPerDay;

uint16_t u16(const uint8_t* p) { return qdGetLE<uint16_t>(p); }
int32_t i32(const uint8_t* p) { return qdGetLE<int32_t>(p); }

// Bytes a constant of a logical type occupies at its literal, 0 when only
// its stated size counts.
size_t constantWidth(uint16_t aType) {
  switch (aType) {
    case kCanTypeBoolean:
    case kCanTypeInt16:
    case kCanTypeUInt16:
      return 2;
    case kCanTypeDate:
    case kCanTypeInt32:
    case kCanTypeTime:
    case kCanTypeUInt32:
    case kCanTypeSingle:
      return 4;
    case kCanTypeFloat:
    case kCanTypeTimeStamp:
    case kCanTypeInt64:
      return 8;
    case kCanTypeExtended:
      return 10;
    case kCanTypeBcd:
      return sizeof(TBcd);
    default:
      return 0;
  }
}

// --- Checking an expression once ---------------------------------------------------

class TqdCanChecker {
 public:
  TqdCanChecker(const uint8_t* aExpr, size_t aSize)
      : cExpr(aExpr), cSize(aSize), cNodeStart(u16(aExpr + 6)), cLiteralStart(u16(aExpr + 8)), cSeen(aSize, false) {}

  bool Check() { return Node(0, 1); }

 private:
  // aCount bytes at aOffset lie inside the expression.
  bool Inside(size_t aOffset, size_t aCount) const { return aOffset <= cSize && aCount <= cSize - aOffset; }
  bool Literal(uint16_t aOffset, size_t aCount) const { return Inside(size_t{cLiteralStart} + aOffset, aCount); }
  // A 0-terminated 8-bit text at the literal offset.
  bool Text(uint16_t aOffset) const {
    const size_t start = size_t{cLiteralStart} + aOffset;
    return start < cSize && std::memchr(cExpr + start, 0, cSize - start) != nullptr;
  }

  bool Node(uint16_t aOffset, int32_t aDepth) {
    const size_t at = size_t{cNodeStart} + aOffset;
    if (aDepth > kCanMaxDepth || !Inside(at, 8)) return false;
    // Every node is reached once: no cycles and no shared subtrees, so an
    // evaluation visits each byte of the expression at most once.
    if (cSeen[at]) return false;
    cSeen[at] = true;
    const uint8_t* node = cExpr + at;
    const uint8_t* operands = node + 8;
    switch (i32(node)) {
      case kCanNodeUnary:
        return Inside(at + 8, 2) && Node(u16(operands), aDepth + 1);
      case kCanNodeBinary:
        return Inside(at + 8, 4) && Node(u16(operands), aDepth + 1) && Node(u16(operands + 2), aDepth + 1);
      case kCanNodeCompare:
        return Inside(at + 8, 8) && Node(u16(operands + 4), aDepth + 1) && Node(u16(operands + 6), aDepth + 1);
      case kCanNodeField:
        return Inside(at + 8, 4) && Text(u16(operands + 2));
      case kCanNodeConst: {
        if (!Inside(at + 8, 6)) return false;
        const uint16_t type = u16(operands);
        const uint16_t size = u16(operands + 2);
        const uint16_t literal = u16(operands + 4);
        if (!Literal(literal, size) || !Literal(literal, constantWidth(type))) return false;
        if (type == kCanTypeText) return Text(literal);
        if (type == kCanTypeWideText)
          return Literal(literal, 2) && Literal(literal, size_t{2} + u16(cExpr + cLiteralStart + literal));
        return true;
      }
      case kCanNodeContinue:
        return Inside(at + 8, 2);
      default:
        return true;  // never read
    }
  }

  const uint8_t* cExpr;
  size_t cSize;
  uint16_t cNodeStart;
  uint16_t cLiteralStart;
  std::vector<bool> cSeen;
};

// True for an empty expression or one whose reachable bytes all lie inside
// its total size.
bool isWellFormed(const std::vector<uint8_t>& aExpr) {
  if (aExpr.empty()) return true;
  if (aExpr.size() < static_cast<size_t>(kCanHeaderSize)) return false;
  const size_t total = u16(aExpr.data() + 2);
  if (total < static_cast<size_t>(kCanHeaderSize) || total > aExpr.size()) return false;
  return TqdCanChecker(aExpr.data(), total).Check();
}

// --- Evaluation ------------------------------------------------------------------------

// What evaluating a node for its value yields; all zero to begin with.
struct TqdCanOperand {
  uint16_t Type = 0;  // logical type of a literal, TqdFieldType of a field
  int32_t Size = 0;
  const uint8_t* Value = nullptr;
  uint16_t CodePage = 0;
  bool IsNull = false;
  bool IsLiteral = false;
  uint8_t BooleanImage[2] = {0, 0};

  // The 16-bit Boolean literal a unary, binary or compare node leaves.
  void SetBoolean(bool aValue) {
    Type = kCanTypeBoolean;
    Size = 2;
    BooleanImage[0] = aValue ? 1 : 0;
    BooleanImage[1] = 0;
    Value = BooleanImage;
    CodePage = 0;
    IsNull = false;
    IsLiteral = true;
  }
  // A value that can be read (not null, and filled by the node).
  bool Readable() const { return !IsNull && Value != nullptr; }
};

enum class TqdCompareKind { ckText, ckDateTime, ckBoolean, ckInteger, ckFloat, ckBytes };

TqdCompareKind compareKindOf(const TqdCanOperand& aOperand) {
  if (aOperand.IsLiteral) {
    switch (aOperand.Type) {
      case kCanTypeText:
      case kCanTypeWideText:
        return TqdCompareKind::ckText;
      case kCanTypeDate:
      case kCanTypeTime:
      case kCanTypeTimeStamp:
        return TqdCompareKind::ckDateTime;
      case kCanTypeBoolean:
        return TqdCompareKind::ckBoolean;
      case kCanTypeInt16:
      case kCanTypeInt32:
      case kCanTypeUInt16:
      case kCanTypeUInt32:
      case kCanTypeInt64:
        return TqdCompareKind::ckInteger;
      case kCanTypeFloat:
      case kCanTypeExtended:
        return TqdCompareKind::ckFloat;
      default:
        return TqdCompareKind::ckBytes;
    }
  }
  switch (static_cast<TqdFieldType>(aOperand.Type)) {
    case qdtChar:
    case qdtWideChar:
    case qdtShortString:
    case qdtNullString:
    case qdtWideString:
    case qdtGuid:
      return TqdCompareKind::ckText;
    case qdtDate:
    case qdtTime:
    case qdtDateTime:
    case qdtInterval:
      return TqdCompareKind::ckDateTime;
    case qdtBoolean:
      return TqdCompareKind::ckBoolean;
    case qdtByte:
    case qdtWord16:
    case qdtWord32:
    case qdtInt8:
    case qdtInt16:
    case qdtInt32:
    case qdtInt64:
    case qdtAutoInc:
    case qdtRecRev:
    case qdtRefNr:
      return TqdCompareKind::ckInteger;
    case qdtSingle:
    case qdtDouble:
    case qdtExtended:
    case qdtCurrency:
    case qdtBCD:
    case qdtFmtBCD:
      return TqdCompareKind::ckFloat;
    default:
      return TqdCompareKind::ckBytes;
  }
}

bool asInteger(const TqdCanOperand& aOperand, int64_t& aValue) {
  const uint8_t* p = aOperand.Value;
  if (aOperand.IsLiteral) {
    switch (aOperand.Type) {
      case kCanTypeInt16:
        aValue = qdGetLE<int16_t>(p);
        return true;
      case kCanTypeInt32:
        aValue = qdGetLE<int32_t>(p);
        return true;
      case kCanTypeUInt16:
        aValue = qdGetLE<uint16_t>(p);
        return true;
      case kCanTypeUInt32:
        aValue = qdGetLE<uint32_t>(p);
        return true;
      case kCanTypeInt64:
        aValue = qdGetLE<int64_t>(p);
        return true;
      default:
        return false;
    }
  }
  switch (static_cast<TqdFieldType>(aOperand.Type)) {
    case qdtByte:
      aValue = p[0];
      return true;
    case qdtWord16:
      aValue = qdGetLE<uint16_t>(p);
      return true;
    case qdtWord32:
    case qdtAutoInc:
    case qdtRecRev:
      aValue = qdGetLE<uint32_t>(p);
      return true;
    case qdtInt8:
      aValue = static_cast<int8_t>(p[0]);
      return true;
    case qdtInt16:
      aValue = qdGetLE<int16_t>(p);
      return true;
    case qdtInt32:
      aValue = qdGetLE<int32_t>(p);
      return true;
    case qdtInt64:
    case qdtRefNr:
      aValue = qdGetLE<int64_t>(p);
      return true;
    default:
      return false;
  }
}

// The 10 stored bytes of an Extended as the widest float the host has.
long double extendedValue(const uint8_t* p) {
  const uint64_t significand = qdGetLE<uint64_t>(p);
  const uint16_t signAndExponent = qdGetLE<uint16_t>(p + 8);
  const int exponent = signAndExponent & 0x7FFF;
  long double value;
  if (exponent == 0x7FFF) {
    value = (significand << 1) == 0 ? HUGE_VALL : std::nanl("");
  } else if ((significand >> 63) == 0 && exponent != 0) {
    value = std::nanl("");  // an unnormal is no number
  } else {
    value = std::ldexp(static_cast<long double>(significand), (exponent == 0 ? 1 : exponent) - 16383 - 63);
  }
  return (signAndExponent & 0x8000) != 0 ? -value : value;
}

// False for bytes that hold no BCD value (a bad precision or digit).
bool bcdValue(const uint8_t* p, size_t aCount, long double& aValue) {
  TBcd bcd;
  std::memcpy(bcd.Bytes.data(), p, std::min(aCount, bcd.Bytes.size()));
  try {
    aValue = qdBcdToDouble(bcd);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

bool asFloat(const TqdCanOperand& aOperand, long double& aValue) {
  const uint8_t* p = aOperand.Value;
  if (aOperand.IsLiteral) {
    switch (aOperand.Type) {
      case kCanTypeFloat:
        aValue = qdGetLE<double>(p);
        return true;
      case kCanTypeBcd:
        return bcdValue(p, sizeof(TBcd), aValue);
      case kCanTypeExtended:
        aValue = extendedValue(p);
        return true;
      case kCanTypeSingle:
        aValue = qdGetLE<float>(p);
        return true;
      default:
        return false;
    }
  }
  switch (static_cast<TqdFieldType>(aOperand.Type)) {
    case qdtSingle:
      aValue = qdGetLE<float>(p);
      return true;
    case qdtDouble:
      aValue = qdGetLE<double>(p);
      return true;
    case qdtExtended:
      aValue = extendedValue(p);
      return true;
    case qdtCurrency:
    case qdtBCD:
      aValue = static_cast<long double>(qdGetLE<int64_t>(p)) / 10000.0L;
      return true;
    case qdtFmtBCD:
      // The field keeps (precision + 1) div 2 + 2 bytes; its size is the
      // precision.
      return bcdValue(p, static_cast<size_t>(std::max(aOperand.Size, 0) + 1) / 2 + 2, aValue);
    default:
      return false;
  }
}

bool asDateTime(const TqdCanOperand& aOperand, double& aValue) {
  const uint8_t* p = aOperand.Value;
  if (aOperand.IsLiteral) {
    switch (aOperand.Type) {
      case kCanTypeDate:
        aValue = qdGetLE<int32_t>(p) * kMsPerDay;
        return true;
      case kCanTypeTime:
        aValue = qdGetLE<int32_t>(p) + kTimeDayMs;
        return true;
      case kCanTypeTimeStamp:
        aValue = qdGetLE<double>(p);
        return true;
      default:
        return false;
    }
  }
  switch (static_cast<TqdFieldType>(aOperand.Type)) {
    case qdtDate:
      aValue = qdGetLE<int32_t>(p) * kMsPerDay;
      return true;
    case qdtTime:
      aValue = qdGetLE<int32_t>(p) + kTimeDayMs;
      return true;
    case qdtDateTime:
    case qdtInterval:
      aValue = qdGetLE<double>(p);
      return true;
    default:
      return false;
  }
}

bool asBoolean(const TqdCanOperand& aOperand, bool& aValue) {
  if (aOperand.IsLiteral && aOperand.Type == kCanTypeBoolean) {
    aValue = qdGetLE<uint16_t>(aOperand.Value) != 0;
    return true;
  }
  if (!aOperand.IsLiteral && aOperand.Type == qdtBoolean) {
    aValue = aOperand.Value[0] != 0;
    return true;
  }
  return false;
}

// Equal within a relative tolerance, else the sign of the difference; no
// answer for a NaN.
template <class T>
bool compareWithin(T a, T b, T aTolerance, int& aResult) {
  if (std::isnan(a) || std::isnan(b)) return false;
  const T limit = std::max(std::min(std::fabs(a), std::fabs(b)) * aTolerance, aTolerance);
  if (std::fabs(a - b) <= limit)
    aResult = 0;
  else
    aResult = a < b ? -1 : 1;
  return true;
}

// --- Texts ---

[[noreturn]] void raiseConversionFailure() { qdRaiseLastOSError(u"ConvertStringValue"); }

void decodeBytes(uint32_t aCodePage, const uint8_t* p, size_t aCount, qdString& aText) {
  aText.clear();
  if (aCount == 0) return;
  const auto* source = reinterpret_cast<const char*>(p);
  const int32_t count = static_cast<int32_t>(aCount);
  const int32_t needed = qdMultiByteToWideChar(aCodePage, source, count, nullptr, 0);
  if (needed <= 0) raiseConversionFailure();
  aText.resize(static_cast<size_t>(needed));
  if (qdMultiByteToWideChar(aCodePage, source, count, aText.data(), needed) != needed) raiseConversionFailure();
}

void copyWide(const uint8_t* p, size_t aCount, qdString& aText) {
  aText.resize(aCount);
  for (size_t i = 0; i < aCount; ++i) aText[i] = qdGetLE<uint16_t>(p + 2 * i);
}

// The UTF-16 text of a text operand (converted into aText); whether the
// operand is a wide-string field, which LIKE takes whole.
bool asText(const TqdCanOperand& aOperand, const uint8_t* aExprEnd, qdString& aText, bool& aWideStringField) {
  const uint8_t* p = aOperand.Value;
  const size_t size = static_cast<size_t>(std::max(aOperand.Size, 0));
  aWideStringField = false;
  if (aOperand.IsLiteral) {
    switch (aOperand.Type) {
      case kCanTypeText: {
        // The terminator was found inside the expression when it was built.
        const auto* end = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<size_t>(aExprEnd - p)));
        decodeBytes(aOperand.CodePage, p, static_cast<size_t>(end - p), aText);
        return true;
      }
      case kCanTypeWideText:
        copyWide(p + 2, qdGetLE<uint16_t>(p) / 2, aText);
        return true;
      default:
        return false;
    }
  }
  switch (static_cast<TqdFieldType>(aOperand.Type)) {
    case qdtChar:
    case qdtShortString:
      decodeBytes(aOperand.CodePage, p, size, aText);
      return true;
    case qdtNullString: {
      // The terminator is looked for inside the field only.
      const auto* end = static_cast<const uint8_t*>(std::memchr(p, 0, size));
      decodeBytes(aOperand.CodePage, p, end != nullptr ? static_cast<size_t>(end - p) : size, aText);
      return true;
    }
    case qdtWideChar: {
      const char16_t c = qdGetLE<uint16_t>(p);
      aText.assign(c != 0 ? 1 : 0, c);
      return true;
    }
    case qdtWideString: {
      size_t length = 0;
      while (length < size && qdGetLE<uint16_t>(p + 2 * length) != 0) ++length;
      copyWide(p, length, aText);
      aWideStringField = true;
      return true;
    }
    case qdtGuid: {
      TGUID guid;
      guid.D1 = qdGetLE<uint32_t>(p);
      guid.D2 = qdGetLE<uint16_t>(p + 4);
      guid.D3 = qdGetLE<uint16_t>(p + 6);
      std::memcpy(guid.D4.data(), p + 8, guid.D4.size());
      aText = qdGuidToString(guid);
      return true;
    }
    default:
      return false;
  }
}

int sign(int aValue) { return aValue < 0 ? -1 : aValue > 0 ? 1 : 0; }

bool compareTexts(const TqdCanOperand& aLeft, const TqdCanOperand& aRight, const uint8_t* aExprEnd, int32_t aOperator,
                  bool aIgnoreCase, uint16_t aPartialLength, int& aResult) {
  qdString left, right;
  bool leftWhole = false, rightWhole = false;
  if (!asText(aLeft, aExprEnd, left, leftWhole) || !asText(aRight, aExprEnd, right, rightWhole)) return false;
  size_t leftLength = left.size(), rightLength = right.size();
  if (aPartialLength > 0) {
    leftLength = std::min<size_t>(leftLength, aPartialLength);
    rightLength = std::min<size_t>(rightLength, aPartialLength);
  }
  if (aOperator == coLIKE) {
    // A plain substring test: % and _ are ordinary characters here.
    qdString haystack = leftWhole ? left : left.substr(0, leftLength);
    qdString needle = rightWhole ? right : right.substr(0, rightLength);
    if (aIgnoreCase) {
      haystack = qdLowerCase(haystack);
      needle = qdLowerCase(needle);
    }
    aResult = !needle.empty() && needle.size() <= haystack.size() && haystack.find(needle) != qdString::npos ? 0 : -1;
    return true;
  }
  const qdStringView a(left.data(), leftLength), b(right.data(), rightLength);
  if (aIgnoreCase) {
    aResult = qdCompareStringWIgnoreCase(a, b);
  } else if (aOperator == coEQ || aOperator == coNE) {
    if (leftLength != rightLength)
      aResult = leftLength < rightLength ? -1 : 1;
    else
      aResult = sign(std::memcmp(a.data(), b.data(), leftLength * 2));
  } else {
    aResult = qdCompareStringW(a, b);
  }
  return true;
}

// One evaluation of an expression against one buffer; all state is here.
class TqdCanEvaluator {
 public:
  TqdCanEvaluator(const uint8_t* aExpr, size_t aSize, IqdFieldsSource* aSource, const uint8_t* aBuffer,
                  uint16_t aCodePage)
      : eEnd(aExpr + aSize),
        eNodes(aExpr + u16(aExpr + 6)),
        eLiterals(aExpr + u16(aExpr + 8)),
        eSource(aSource),
        eBuffer(aBuffer),
        eCodePage(aCodePage) {}

  bool Value(uint16_t aNode, TqdCanOperand& aValue) {
    const uint8_t* node = eNodes + aNode;
    const int32_t op = i32(node + 4);
    const uint8_t* operands = node + 8;
    bool result;
    switch (i32(node)) {
      case kCanNodeUnary:
        result = Unary(op, u16(operands));
        break;
      case kCanNodeBinary:
        result = Binary(op, operands);
        break;
      case kCanNodeCompare:
        result = Compare(op, u16(operands) != 0, u16(operands + 2), u16(operands + 4), u16(operands + 6));
        break;
      case kCanNodeField:
        return FieldValue(operands, aValue);
      case kCanNodeConst:
        aValue.Type = u16(operands);
        aValue.Size = u16(operands + 2);
        aValue.Value = eLiterals + u16(operands + 4);
        aValue.CodePage = eCodePage;
        aValue.IsNull = false;
        aValue.IsLiteral = true;
        return true;
      case kCanNodeContinue:
        return u16(operands) != 0;
      default:
        return false;
    }
    aValue.SetBoolean(result);
    return result;
  }

  bool Condition(uint16_t aNode) {
    const uint8_t* node = eNodes + aNode;
    const int32_t op = i32(node + 4);
    const uint8_t* operands = node + 8;
    switch (i32(node)) {
      case kCanNodeUnary:
        return Unary(op, u16(operands));
      case kCanNodeBinary:
        return Binary(op, operands);
      case kCanNodeCompare:
        return Compare(op, u16(operands) != 0, u16(operands + 2), u16(operands + 4), u16(operands + 6));
      case kCanNodeField: {
        const uint16_t number = u16(operands);
        return number >= 1 && number <= eSource->GetFieldCount();
      }
      case kCanNodeConst:
        return true;
      case kCanNodeContinue:
        return u16(operands) != 0;
      default:
        return false;
    }
  }

 private:
  bool Unary(int32_t aOperator, uint16_t aOperand) {
    TqdCanOperand operand;
    if (!Value(aOperand, operand)) return aOperator == coNOT;
    switch (aOperator) {
      case coISBLANK:
        return operand.IsNull;
      case coNOTBLANK:
        return !operand.IsNull;
      case coNOT: {
        if (operand.IsNull) return true;
        bool value = false;
        if (operand.Value != nullptr && asBoolean(operand, value)) return !value;
        return true;
      }
      default:
        return false;
    }
  }

  bool Binary(int32_t aOperator, const uint8_t* aOperands) {
    if (aOperator == coAND) return Condition(u16(aOperands)) && Condition(u16(aOperands + 2));
    if (aOperator == coOR) return Condition(u16(aOperands)) || Condition(u16(aOperands + 2));
    return Compare(aOperator, false, 0, u16(aOperands), u16(aOperands + 2));
  }

  bool FieldValue(const uint8_t* aOperands, TqdCanOperand& aValue) {
    const int32_t field = static_cast<int32_t>(u16(aOperands)) - 1;
    const char* name = reinterpret_cast<const char*>(eLiterals + u16(aOperands + 2));
    const size_t nameLength = std::strlen(name);  // terminated inside the expression
    TqdFieldType type = qdtBoolean;
    int32_t size = 0;
    bool isNull = true;
    const uint8_t* value = nullptr;
    uint16_t codePage = 0;
    bool found;
    // Field names are identifiers, nearly always ASCII: widened in place.
    char16_t ascii[64];
    const bool isAscii = nameLength < std::size(ascii) &&
                         std::all_of(name, name + nameLength, [](char c) { return static_cast<uint8_t>(c) < 0x80; });
    if (isAscii) {
      std::copy(name, name + nameLength, ascii);
      found = eSource->GetFieldForFilter(field, qdStringView(ascii, nameLength), eBuffer, type, size, isNull, value,
                                         codePage);
    } else {
      qdString wide;
      if (!qdDecodeCodePage(qdSystemAnsiCodePage(), std::string_view(name, nameLength), wide)) raiseConversionFailure();
      found = eSource->GetFieldForFilter(field, wide, eBuffer, type, size, isNull, value, codePage);
    }
    if (!found) return false;
    aValue.Type = type;
    aValue.Size = size;
    aValue.Value = value;
    aValue.CodePage = codePage;
    aValue.IsNull = isNull;
    aValue.IsLiteral = false;
    return true;
  }

  bool Compare(int32_t aOperator, bool aIgnoreCase, uint16_t aPartialLength, uint16_t aLeft, uint16_t aRight) {
    TqdCanOperand left, right;
    if (!Value(aLeft, left) || !Value(aRight, right)) return false;
    int r = 0;
    if (left.IsNull || right.IsNull) {
      r = left.IsNull && right.IsNull ? 0 : left.IsNull ? -1 : 1;
    } else {
      // A node that yields no value (a continue node) compares with nothing.
      if (left.Value == nullptr || right.Value == nullptr) return false;
      if (!CompareValues(left, right, aOperator, aIgnoreCase, aPartialLength, r)) return false;
    }
    switch (aOperator) {
      case coEQ:
      case coLIKE:
        return r == 0;
      case coNE:
        return r != 0;
      case coGT:
        return r > 0;
      case coLT:
        return r < 0;
      case coGE:
        return r >= 0;
      case coLE:
        return r <= 0;
      default:
        return false;
    }
  }

  // False when the right operand cannot be taken as the left one's kind.
  bool CompareValues(const TqdCanOperand& aLeft, const TqdCanOperand& aRight, int32_t aOperator, bool aIgnoreCase,
                     uint16_t aPartialLength, int& aResult) {
    switch (compareKindOf(aLeft)) {
      case TqdCompareKind::ckText:
        return compareTexts(aLeft, aRight, eEnd, aOperator, aIgnoreCase, aPartialLength, aResult);
      case TqdCompareKind::ckDateTime: {
        double a = 0, b = 0;
        return asDateTime(aLeft, a) && asDateTime(aRight, b) && compareWithin(a, b, 1e-12, aResult);
      }
      case TqdCompareKind::ckBoolean: {
        bool a = false, b = false;
        if (!asBoolean(aLeft, a) || !asBoolean(aRight, b)) return false;
        aResult = a == b ? 0 : a ? 1 : -1;
        return true;
      }
      case TqdCompareKind::ckInteger: {
        int64_t a = 0, b = 0;
        if (!asInteger(aLeft, a) || !asInteger(aRight, b)) return false;
        aResult = a < b ? -1 : a > b ? 1 : 0;
        return true;
      }
      case TqdCompareKind::ckFloat: {
        long double a = 0, b = 0;
        return asFloat(aLeft, a) && asFloat(aRight, b) && compareWithin(a, b, 1e-16L, aResult);
      }
      case TqdCompareKind::ckBytes: {
        // A field's size counts bytes only for the byte kinds (for numbers
        // it is the digits), so no other field is read as bytes.
        if (!aRight.IsLiteral && compareKindOf(aRight) != TqdCompareKind::ckBytes) return false;
        const size_t count = static_cast<size_t>(std::max(std::min(aLeft.Size, aRight.Size), 0));
        aResult = sign(std::memcmp(aLeft.Value, aRight.Value, count));
        return true;
      }
    }
    return false;
  }

  const uint8_t* eEnd;
  const uint8_t* eNodes;
  const uint8_t* eLiterals;
  IqdFieldsSource* eSource;
  const uint8_t* eBuffer;
  uint16_t eCodePage;
};

[[noreturn]] void raiseIncompatibleStream() {
  throw EqdSimpleExpressionFilterDescriptorException(qdeIncompatibleStream);
}

}  // namespace

// --- Descriptors ----------------------------------------------------------------------

const TqdFilterDescriptorClass TqdBaseSimpleExpressionFilterDescriptor::ClassInfo{
    {u"TqdBaseSimpleExpressionFilterDescriptor", &TqdBaseFilterDescriptor::ClassInfo, nullptr}, nullptr};
const TqdFilterDescriptorClass TqdSimpleExpressionFilterDescriptor::ClassInfo{
    {u"TqdSimpleExpressionFilterDescriptor", &TqdBaseSimpleExpressionFilterDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFilterDescriptor, TqdSimpleExpressionFilterDescriptor, TStream*>};

namespace {

TqdCANExpr copyExpression(const void* aExpression) {
  if (aExpression == nullptr) return nullptr;
  const auto* p = static_cast<const uint8_t*>(aExpression);
  const uint16_t total = u16(p + 2);
  if (total == 0) return nullptr;
  return std::make_shared<const std::vector<uint8_t>>(p, p + total);
}

}  // namespace

TqdBaseSimpleExpressionFilterDescriptor::TqdBaseSimpleExpressionFilterDescriptor(const void* aExpression,
                                                                                 int32_t aCodePage)
    : TqdBaseSimpleExpressionFilterDescriptor(aExpression, qdStringView(), aCodePage) {}

TqdBaseSimpleExpressionFilterDescriptor::TqdBaseSimpleExpressionFilterDescriptor(const void* aExpression,
                                                                                 qdStringView aFilterText,
                                                                                 int32_t aCodePage)
    : bsfdCodePage(aCodePage), bsfdFilterText(aFilterText) {
  SetExpression(copyExpression(aExpression));
}

TqdBaseSimpleExpressionFilterDescriptor::TqdBaseSimpleExpressionFilterDescriptor(TqdCANExpr aExpression,
                                                                                 int32_t aCodePage)
    : TqdBaseSimpleExpressionFilterDescriptor(std::move(aExpression), qdStringView(), aCodePage) {}

TqdBaseSimpleExpressionFilterDescriptor::TqdBaseSimpleExpressionFilterDescriptor(TqdCANExpr aExpression,
                                                                                 qdStringView aFilterText,
                                                                                 int32_t aCodePage)
    : bsfdCodePage(aCodePage), bsfdFilterText(aFilterText) {
  SetExpression(std::move(aExpression));
}

void TqdBaseSimpleExpressionFilterDescriptor::SetExpression(TqdCANExpr aExpression) {
  if (aExpression != nullptr && !isWellFormed(*aExpression))
    throw EqdBaseSimpleExpressionFilterDescriptorException(qdeIncompatibleStream);
  bsfdExpression = std::move(aExpression);
}

const uint8_t* TqdBaseSimpleExpressionFilterDescriptor::ExpressionBytes() const {
  return ExpressionSize() > 0 ? bsfdExpression->data() : nullptr;
}

int32_t TqdBaseSimpleExpressionFilterDescriptor::ExpressionSize() const {
  if (bsfdExpression == nullptr || bsfdExpression->empty()) return 0;
  return u16(bsfdExpression->data() + 2);
}

TqdSimpleExpressionFilterDescriptor::TqdSimpleExpressionFilterDescriptor(TStream* aStream) {
  uint8_t version = 0;
  aStream->ReadBuffer(&version, 1);
  if (version == 0 || version >= 5) raiseIncompatibleStream();
  uint8_t word[2];
  aStream->ReadBuffer(word, 2);
  auto expression = std::make_shared<std::vector<uint8_t>>(u16(word));
  if (!expression->empty()) aStream->ReadBuffer(expression->data(), static_cast<int32_t>(expression->size()));
  if (version >= 2) {
    if (aStream->Read(word, 2) != 2) raiseIncompatibleStream();
    const uint16_t count = u16(word);
    const int32_t bytes = version == 2 ? count : 2 * count;
    std::string text(static_cast<size_t>(bytes), '\0');
    if (aStream->Read(text.data(), bytes) != bytes) raiseIncompatibleStream();
    if (version == 2)
      qdStringToWideString(text, bsfdFilterText, qdSystemAnsiCodePage());
    else
      copyWide(reinterpret_cast<const uint8_t*>(text.data()), count, bsfdFilterText);
  }
  if (version == 4) {
    uint8_t codePage[4];
    aStream->ReadBuffer(codePage, 4);
    bsfdCodePage = i32(codePage);
  }
  if (!isWellFormed(*expression)) raiseIncompatibleStream();
  bsfdExpression = expression->empty() ? nullptr : TqdCANExpr(std::move(expression));
}

TqdResult TqdSimpleExpressionFilterDescriptor::WriteToStream(TStream* aStream, int32_t aVersion) const {
  uint8_t version = bsfdFilterText.empty() ? 1 : 3;
  if (aVersion > 30001 && bsfdCodePage >= 0) version = 4;
  WriteClassName(aStream);
  aStream->WriteBuffer(&version, 1);
  uint8_t word[2];
  const int32_t size = ExpressionSize();
  qdPutLE<uint16_t>(word, static_cast<uint16_t>(size));
  aStream->WriteBuffer(word, 2);
  if (size > 0) aStream->WriteBuffer(bsfdExpression->data(), size);
  if (version >= 3) {
    // The text is shown only, and its count is a Word: a longer one is cut.
    const size_t count = std::min<size_t>(bsfdFilterText.size(), 0xFFFF);
    qdPutLE<uint16_t>(word, static_cast<uint16_t>(count));
    aStream->WriteBuffer(word, 2);
    std::string bytes(count * 2, '\0');
    for (size_t i = 0; i < count; ++i) qdPutLE<uint16_t>(bytes.data() + 2 * i, bsfdFilterText[i]);
    aStream->WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  if (version == 4) {
    uint8_t codePage[4];
    qdPutLE<int32_t>(codePage, bsfdCodePage);
    aStream->WriteBuffer(codePage, 4);
  }
  return 0;
}

// --- Engines --------------------------------------------------------------------------

const TqdFilterEngineClass TqdBaseSimpleExpressionFilterEngine::ClassInfo{
    {u"TqdBaseSimpleExpressionFilterEngine", &TqdBaseFilterEngine::ClassInfo, nullptr}, nullptr};
const TqdFilterEngineClass TqdSimpleExpressionFilterEngine::ClassInfo{
    {u"TqdSimpleExpressionFilterEngine", &TqdBaseSimpleExpressionFilterEngine::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFilterEngine, TqdSimpleExpressionFilterEngine, const TqdBaseFilterDescriptor*,
                     IqdFieldsSource*>};

TqdSimpleExpressionFilterEngine::TqdSimpleExpressionFilterEngine(const TqdBaseFilterDescriptor* aDescriptor,
                                                                 IqdFieldsSource* aFieldsSource)
    : TqdBaseSimpleExpressionFilterEngine(aDescriptor, aFieldsSource) {
  auto* descriptor = dynamic_cast<const TqdSimpleExpressionFilterDescriptor*>(aDescriptor);
  if (descriptor == nullptr) throw EInvalidCast();
  sfeExpression = descriptor->Expression();
  sfeFilterText = descriptor->FilterText();
  sfeHasCodePage = descriptor->CodePage() >= 0;
  sfeCodePage = static_cast<uint16_t>(sfeHasCodePage ? descriptor->CodePage() : qdDefaultCodePage());
}

TqdBaseFilterDescriptor* TqdSimpleExpressionFilterEngine::CreateDescriptor() {
  return new TqdSimpleExpressionFilterDescriptor(sfeExpression, sfeFilterText, sfeHasCodePage ? sfeCodePage : -1);
}

bool TqdSimpleExpressionFilterEngine::MatchesBuffer(const uint8_t* aBuffer) {
  if (!GetActive() || sfeExpression == nullptr || sfeExpression->empty()) return true;
  TqdCanEvaluator evaluator(sfeExpression->data(), u16(sfeExpression->data() + 2), bfFieldsSource, aBuffer,
                            sfeCodePage);
  TqdCanOperand value;
  if (!evaluator.Value(0, value)) return false;
  if (!value.Readable()) return true;
  if (value.IsLiteral) return value.Type != kCanTypeBoolean || u16(value.Value) != 0;
  return value.Type != qdtBoolean || value.Value[0] != 0;
}

void TqdSimpleExpressionFilterEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseSimpleExpressionFilterEngine::DescribeTo(aContainer);
  if (!sfeFilterText.empty()) aContainer->AddString(u"FilterText", sfeFilterText);
  if (sfeHasCodePage) aContainer->AddInt64(u"CodePage", sfeCodePage);
}

void qdsdFilterEngineSimpleExpressionInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdSimpleExpressionFilterDescriptor::ClassInfo);
  TqdBaseRegisterableEngine::RegisterEngine(TqdSimpleExpressionFilterEngine::ClassInfo);
}

void qdsdFilterEngineSimpleExpressionFinalize() {
  TqdBaseRegisterableEngine::UnregisterEngine(TqdSimpleExpressionFilterEngine::ClassInfo);
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdSimpleExpressionFilterDescriptor::ClassInfo);
}

}  // namespace qd
