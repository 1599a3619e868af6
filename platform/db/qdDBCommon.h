// Filter texts and locate values compiled into the expression the engine's
// expression filter evaluates (dictionary/qdsdFilterEngineSimpleExpression.h
// describes the bytes).
//
// Filter syntax, keywords in any case:
//   condition := term { OR term }
//   term      := factor { AND factor }
//   factor    := NOT factor | "(" condition ")" | comparison
//   comparison:= operand [ ( "=" | "<>" | "<" | ">" | "<=" | ">=" | LIKE )
//                 operand | IS [NOT] NULL ]
//   operand   := field name | "[" name with blanks "]" | 'text' ('' is a
//                quote) | number | TRUE | FALSE
// A constant compared with a field takes the field's type: text in the
// thread's ANSI code page (UTF-16 for wide-string fields), dates, times and
// time stamps parsed with the engine's literal routines. 'text*' compared
// with = is a comparison of the characters before the * unless
// foNoPartialCompare; foCaseInsensitive marks every comparison to ignore
// case. LIKE keeps its text as written.
//
// Classes: TFilterExpr (builds the nodes and writes the bytes), TExprParser
// (parses a filter text). Errors are EDatabaseError naming the 1-based
// character position.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "platform/db/qdDB.h"

namespace qd {

// The nodes of one expression, written out root first.
class TFilterExpr {
 public:
  using Node = int32_t;

  TFilterExpr(TDataSet* aDataSet, TFilterOptions aOptions) : feDataSet(aDataSet), feOptions(aOptions) {}

  Node NewFieldNode(const TField* aField);
  // A constant of aField's type; aValue null or empty is refused.
  Node NewConstNode(const TField* aField, const TqdVariant& aValue);
  // A constant of the literal's own type (text, Int32, float or Boolean).
  Node NewLiteralNode(const TqdVariant& aValue);
  Node NewUnaryNode(int32_t aOperator, Node aOperand);
  Node NewBinaryNode(int32_t aOperator, Node aLeft, Node aRight);
  // Ignore-case comes from the options.
  Node NewCompareNode(int32_t aOperator, Node aLeft, Node aRight, uint16_t aPartialLength = 0);

  // The bytes with aRoot as the root node.
  TqdCANExpr GetFilterData(Node aRoot) const;

  TDataSet* DataSet() const { return feDataSet; }
  TFilterOptions Options() const { return feOptions; }

 private:
  struct NodeInfo {
    int32_t nodeClass;
    int32_t op;
    std::vector<uint16_t> words;  // plain operands
    std::vector<Node> children;   // node references after them
  };
  Node Add(int32_t aClass, int32_t aOperator, std::vector<uint16_t> aWords, std::vector<Node> aChildren);
  uint16_t AddLiteral(const void* aValue, size_t aSize);
  Node AddConst(uint16_t aType, const std::vector<uint8_t>& aBytes);

  TDataSet* feDataSet;
  TFilterOptions feOptions;
  std::vector<NodeInfo> feNodes;
  std::vector<uint8_t> feLiterals;
};

// Parses a filter text for a dataset's fields.
class TExprParser {
 public:
  TExprParser(TDataSet* aDataSet, qdStringView aText, TFilterOptions aOptions);
  const TqdCANExpr& FilterData() const { return epFilterData; }

 private:
  TqdCANExpr epFilterData;
};

// The expression of a locate: one comparison per field with the value of
// the same index (the value itself for one field), joined by AND in field
// order; with loPartialKey the last comparison is partial (text fields:
// the length of the value). A null value compares with IS NULL.
TqdCANExpr qdBuildLocateExpression(TDataSet* aDataSet, const std::vector<TField*>& aFields, const TqdVariant& aValues,
                                   TLocateOptions aOptions);

}  // namespace qd
