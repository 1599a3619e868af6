// Builds compiled filter expressions (the dataset framework's byte format
// that the expression filter evaluates) for tests: nodes are made bottom-up
// and written root first, the literal pool after the node area.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "platform/qdLittleEndian.h"

namespace qd::test {

class CanExprBuilder {
 public:
  using Node = int;

  Node Unary(int32_t aOperator, Node aOperand) { return Add(kCanNodeUnary, aOperator, {}, {aOperand}); }
  Node Binary(int32_t aOperator, Node aLeft, Node aRight) {
    return Add(kCanNodeBinary, aOperator, {}, {aLeft, aRight});
  }
  Node Compare(int32_t aOperator, bool aIgnoreCase, uint16_t aPartialLength, Node aLeft, Node aRight) {
    return Add(kCanNodeCompare, aOperator, {static_cast<uint16_t>(aIgnoreCase ? 1 : 0), aPartialLength},
               {aLeft, aRight});
  }
  // aNumber is 1-based.
  Node Field(uint16_t aNumber, const std::string& aName = "") {
    const uint16_t name = Literal(aName.c_str(), aName.size() + 1);
    return Add(kCanNodeField, 0, {aNumber, name}, {});
  }
  Node Const(uint16_t aType, const void* aValue, size_t aSize) {
    const uint16_t literal = Literal(aValue, aSize);
    return Add(kCanNodeConst, 0, {aType, static_cast<uint16_t>(aSize), literal}, {});
  }
  template <class T>
  Node ConstOf(uint16_t aType, T aValue) {
    uint8_t bytes[sizeof(T)];
    qdPutLE<T>(bytes, aValue);
    return Const(aType, bytes, sizeof(T));
  }
  Node Text(const std::string& aText) { return Const(kCanTypeText, aText.c_str(), aText.size() + 1); }
  Node WideText(const std::u16string& aText) {
    std::vector<uint8_t> bytes(2 + aText.size() * 2);
    qdPutLE<uint16_t>(bytes.data(), static_cast<uint16_t>(aText.size() * 2));
    for (size_t i = 0; i < aText.size(); ++i) qdPutLE<uint16_t>(bytes.data() + 2 + 2 * i, aText[i]);
    return Const(kCanTypeWideText, bytes.data(), bytes.size());
  }
  Node Int32(int32_t aValue) { return ConstOf<int32_t>(kCanTypeInt32, aValue); }
  Node Boolean(bool aValue) { return ConstOf<uint16_t>(kCanTypeBoolean, aValue ? 1 : 0); }
  Node Continue(uint16_t aFlag) { return Add(kCanNodeContinue, 0, {aFlag}, {}); }
  // A node of any class with no operands.
  Node Other(int32_t aClass) { return Add(aClass, 0, {}, {}); }

  // Root first, then the rest in depth-first order.
  std::vector<uint8_t> Build(Node aRoot) const {
    std::vector<uint8_t> nodeArea;
    std::vector<int> offsets(nodes.size(), -1);
    Place(aRoot, nodeArea, offsets);
    Patch(nodeArea, offsets);
    const size_t nodeStart = kCanHeaderSize;
    const size_t literalStart = nodeStart + nodeArea.size();
    std::vector<uint8_t> bytes(literalStart + literals.size());
    qdPutLE<uint16_t>(bytes.data(), 1);
    qdPutLE<uint16_t>(bytes.data() + 2, static_cast<uint16_t>(bytes.size()));
    qdPutLE<uint16_t>(bytes.data() + 4, static_cast<uint16_t>(nodes.size()));
    qdPutLE<uint16_t>(bytes.data() + 6, static_cast<uint16_t>(nodeStart));
    qdPutLE<uint16_t>(bytes.data() + 8, static_cast<uint16_t>(literalStart));
    std::memcpy(bytes.data() + nodeStart, nodeArea.data(), nodeArea.size());
    if (!literals.empty()) std::memcpy(bytes.data() + literalStart, literals.data(), literals.size());
    return bytes;
  }

 private:
  struct NodeInfo {
    int32_t nodeClass, op;
    std::vector<uint16_t> words;  // plain operands, before the children
    std::vector<Node> children;
  };

  Node Add(int32_t aClass, int32_t aOperator, std::vector<uint16_t> aWords, std::vector<Node> aChildren) {
    nodes.push_back({aClass, aOperator, std::move(aWords), std::move(aChildren)});
    return static_cast<int>(nodes.size()) - 1;
  }
  uint16_t Literal(const void* aValue, size_t aSize) {
    const size_t at = literals.size();
    literals.resize(at + aSize);
    if (aSize > 0) std::memcpy(literals.data() + at, aValue, aSize);
    return static_cast<uint16_t>(at);
  }
  void Place(Node aNode, std::vector<uint8_t>& aArea, std::vector<int>& aOffsets) const {
    const NodeInfo& info = nodes[static_cast<size_t>(aNode)];
    aOffsets[static_cast<size_t>(aNode)] = static_cast<int>(aArea.size());
    const size_t at = aArea.size();
    aArea.resize(at + 8 + 2 * (info.words.size() + info.children.size()));
    qdPutLE<int32_t>(aArea.data() + at, info.nodeClass);
    qdPutLE<int32_t>(aArea.data() + at + 4, info.op);
    for (size_t i = 0; i < info.words.size(); ++i) qdPutLE<uint16_t>(aArea.data() + at + 8 + 2 * i, info.words[i]);
    for (Node child : info.children)
      if (aOffsets[static_cast<size_t>(child)] < 0) Place(child, aArea, aOffsets);
  }
  void Patch(std::vector<uint8_t>& aArea, const std::vector<int>& aOffsets) const {
    for (size_t n = 0; n < nodes.size(); ++n) {
      if (aOffsets[n] < 0) continue;
      const NodeInfo& info = nodes[n];
      uint8_t* children = aArea.data() + aOffsets[n] + 8 + 2 * info.words.size();
      for (size_t i = 0; i < info.children.size(); ++i)
        qdPutLE<uint16_t>(children + 2 * i, static_cast<uint16_t>(aOffsets[static_cast<size_t>(info.children[i])]));
    }
  }

  std::vector<NodeInfo> nodes;
  std::vector<uint8_t> literals;
};

}  // namespace qd::test
