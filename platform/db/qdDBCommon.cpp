#include "platform/db/qdDBCommon.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "dictionary/qdsdFmtBcd.h"
#include "foundation/qdllUtils.h"
#include "platform/db/qdDBConsts.h"
#include "platform/qdDateTime.h"
#include "platform/qdFormat.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdNls.h"

namespace qd {

using namespace dbconsts;

namespace {

// Node sizes: class and operator, then the Word operands.
constexpr int32_t kNodeHeader = 8;
// The version word of the bytes; readers do not check it.
constexpr uint16_t kCanExprVersion = 2;

uint32_t ansiCodePage() {
  const int32_t codePage = qdThreadLocaleAnsiCodePage();
  return codePage > 0 ? static_cast<uint32_t>(codePage) : CP_ACP;
}

bool isTextType(TFieldType aType) {
  switch (aType) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
    case ftMemo:
    case ftFmtMemo:
    case ftWideString:
    case ftFixedWideChar:
    case ftWideMemo:
      return true;
    default:
      return false;
  }
}

// The constant type a comparison with a field of the type uses; 0 when the
// field cannot take part in a filter.
uint16_t constTypeOf(TFieldType aType) {
  switch (aType) {
    case ftSmallint:
    case ftShortint:
    case ftByte:
      return kCanTypeInt16;
    case ftWord:
    case ftInteger:
    case ftAutoInc:
      return kCanTypeInt32;
    case ftLongWord:
    case ftLargeint:
      return kCanTypeInt64;
    case ftFloat:
    case ftCurrency:
    case ftSingle:
    case ftExtended:
      return kCanTypeFloat;
    case ftBCD:
    case ftFMTBcd:
      return kCanTypeBcd;
    case ftBoolean:
      return kCanTypeBoolean;
    case ftDate:
      return kCanTypeDate;
    case ftTime:
      return kCanTypeTime;
    case ftDateTime:
    case ftTimeStamp:
      return kCanTypeTimeStamp;
    case ftString:
    case ftFixedChar:
    case ftGuid:
    case ftMemo:
    case ftFmtMemo:
      return kCanTypeText;
    case ftWideString:
    case ftFixedWideChar:
    case ftWideMemo:
      return kCanTypeWideText;
    default:
      return 0;
  }
}

template <class T>
std::vector<uint8_t> bytesOf(T aValue) {
  std::vector<uint8_t> bytes(sizeof(T));
  qdPutLE<T>(bytes.data(), aValue);
  return bytes;
}

std::vector<uint8_t> ansiTextBytes(qdStringView aText) {
  std::string bytes;
  if (!aText.empty() && !qdEncodeCodePage(ansiCodePage(), aText, bytes)) throw EConvertError(u"Text conversion failed");
  std::vector<uint8_t> result(bytes.begin(), bytes.end());
  result.push_back(0);
  return result;
}

std::vector<uint8_t> wideTextBytes(qdStringView aText) {
  std::vector<uint8_t> bytes(2 + aText.size() * 2);
  qdPutLE<uint16_t>(bytes.data(), static_cast<uint16_t>(aText.size() * 2));
  for (size_t i = 0; i < aText.size(); ++i) qdPutLE<uint16_t>(bytes.data() + 2 + 2 * i, aText[i]);
  return bytes;
}

template <class T>
T rangeChecked(int64_t aValue) {
  if (aValue < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      aValue > static_cast<int64_t>(std::numeric_limits<T>::max()))
    throw ERangeError(u"Range check error");
  return static_cast<T>(aValue);
}

// The bytes of aValue as a constant of the type.
std::vector<uint8_t> constBytes(uint16_t aType, const TqdVariant& aValue) {
  switch (aType) {
    case kCanTypeInt16:
      return bytesOf<int16_t>(rangeChecked<int16_t>(aValue.AsInt64()));
    case kCanTypeInt32:
      return bytesOf<int32_t>(rangeChecked<int32_t>(aValue.AsInt64()));
    case kCanTypeInt64:
      return bytesOf<int64_t>(aValue.AsInt64());
    case kCanTypeFloat:
      return bytesOf<double>(aValue.AsDouble());
    case kCanTypeBcd: {
      const TBcd value = aValue.AsBcd();
      return std::vector<uint8_t>(value.Bytes.begin(), value.Bytes.end());
    }
    case kCanTypeBoolean:
      return bytesOf<uint16_t>(aValue.AsBoolean() ? 1 : 0);
    case kCanTypeDate:
      return bytesOf<int32_t>(DateTimeToTimeStamp(aValue.AsDateTime()).Date);
    case kCanTypeTime:
      return bytesOf<int32_t>(DateTimeToTimeStamp(aValue.AsDateTime()).Time);
    case kCanTypeTimeStamp:
      return bytesOf<double>(static_cast<double>(TimeStampToMSecs(DateTimeToTimeStamp(aValue.AsDateTime()))));
    case kCanTypeText:
      return ansiTextBytes(aValue.AsString());
    case kCanTypeWideText:
      return wideTextBytes(aValue.AsString());
    default:
      throw EConvertError(u"No constant of this type");
  }
}

// --- Tokens -------------------------------------------------------------------------

enum class Tok { End, Name, Text, Number, LParen, RParen, Op, Keyword };
enum class Kw { None, And, Or, Not, Is, Null, Like, True, False };

struct Token {
  Tok kind = Tok::End;
  qdString text;
  int32_t op = 0;  // coEQ ... for Op
  Kw keyword = Kw::None;
  int32_t position = 0;  // 1-based
};

bool isNameStart(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c >= 0x80; }
bool isNameChar(char16_t c) { return isNameStart(c) || (c >= u'0' && c <= u'9') || c == u'.'; }
bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

Kw keywordOf(const qdString& aName) {
  const qdString upper = qdUpperCase(aName);
  if (upper == u"AND") return Kw::And;
  if (upper == u"OR") return Kw::Or;
  if (upper == u"NOT") return Kw::Not;
  if (upper == u"IS") return Kw::Is;
  if (upper == u"NULL") return Kw::Null;
  if (upper == u"LIKE") return Kw::Like;
  if (upper == u"TRUE") return Kw::True;
  if (upper == u"FALSE") return Kw::False;
  return Kw::None;
}

[[noreturn]] void parseError(qdStringView aMessage, int32_t aPosition) { DatabaseErrorFmt(aMessage, {aPosition}); }

std::vector<Token> tokenize(qdStringView aText) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (true) {
    while (i < aText.size() && aText[i] <= u' ') ++i;
    Token token;
    token.position = static_cast<int32_t>(i) + 1;
    if (i >= aText.size()) {
      tokens.push_back(token);
      return tokens;
    }
    const char16_t c = aText[i];
    if (c == u'\'') {
      ++i;
      for (;;) {
        if (i >= aText.size()) parseError(SExprUnterminatedString, token.position);
        if (aText[i] == u'\'') {
          if (i + 1 < aText.size() && aText[i + 1] == u'\'') {
            token.text.push_back(u'\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        token.text.push_back(aText[i++]);
      }
      token.kind = Tok::Text;
    } else if (c == u'[') {
      const size_t close = aText.find(u']', i + 1);
      if (close == qdStringView::npos) parseError(SExprMissingOperand, token.position);
      token.text = qdString(aText.substr(i + 1, close - i - 1));
      token.kind = Tok::Name;
      i = close + 1;
    } else if (isDigit(c) || ((c == u'-' || c == u'+' || c == u'.') && i + 1 < aText.size() && isDigit(aText[i + 1]))) {
      size_t j = i + 1;
      while (j < aText.size() && (isDigit(aText[j]) || aText[j] == u'.')) ++j;
      if (j < aText.size() && (aText[j] == u'e' || aText[j] == u'E')) {
        size_t k = j + 1;
        if (k < aText.size() && (aText[k] == u'-' || aText[k] == u'+')) ++k;
        if (k < aText.size() && isDigit(aText[k])) {
          j = k;
          while (j < aText.size() && isDigit(aText[j])) ++j;
        }
      }
      token.text = qdString(aText.substr(i, j - i));
      token.kind = Tok::Number;
      i = j;
    } else if (isNameStart(c)) {
      size_t j = i + 1;
      while (j < aText.size() && isNameChar(aText[j])) ++j;
      token.text = qdString(aText.substr(i, j - i));
      token.keyword = keywordOf(token.text);
      token.kind = token.keyword == Kw::None ? Tok::Name : Tok::Keyword;
      i = j;
    } else if (c == u'(') {
      token.kind = Tok::LParen;
      ++i;
    } else if (c == u')') {
      token.kind = Tok::RParen;
      ++i;
    } else if (c == u'=') {
      token.kind = Tok::Op;
      token.op = coEQ;
      ++i;
    } else if (c == u'<') {
      token.kind = Tok::Op;
      ++i;
      if (i < aText.size() && aText[i] == u'>') {
        token.op = coNE;
        ++i;
      } else if (i < aText.size() && aText[i] == u'=') {
        token.op = coLE;
        ++i;
      } else {
        token.op = coLT;
      }
    } else if (c == u'>') {
      token.kind = Tok::Op;
      ++i;
      if (i < aText.size() && aText[i] == u'=') {
        token.op = coGE;
        ++i;
      } else {
        token.op = coGT;
      }
    } else {
      parseError(SExprInvalidChar, token.position);
    }
    tokens.push_back(std::move(token));
  }
}

// --- Parser -----------------------------------------------------------------------------

struct Operand {
  enum Kind { Field, Text, Number, Boolean } kind = Field;
  const TField* field = nullptr;
  qdString text;
  bool boolean = false;
  int32_t position = 0;
};

std::string asciiOf(qdStringView aText) {
  std::string result;
  for (char16_t c : aText) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

// The value of a number literal: an Int64 when it is a whole number that
// fits, else a double.
bool numberValue(qdStringView aText, TqdVariant& aValue) {
  const std::string ascii = asciiOf(aText);
  const char* first = ascii.data() + (ascii[0] == '+' ? 1 : 0);
  const char* last = ascii.data() + ascii.size();
  int64_t whole = 0;
  auto [end, error] = std::from_chars(first, last, whole);
  if (error == std::errc() && end == last) {
    aValue = whole;
    return true;
  }
  double real = 0;
  auto [realEnd, realError] = std::from_chars(first, last, real);
  if (realError != std::errc() || realEnd != last || !std::isfinite(real)) return false;
  aValue = real;
  return true;
}

class Parser {
 public:
  Parser(TFilterExpr& aExpr, qdStringView aText) : pExpr(aExpr), pTokens(tokenize(aText)) {}

  TFilterExpr::Node ParseAll() {
    if (Peek().kind == Tok::End) parseError(SExprMissingOperand, Peek().position);
    const TFilterExpr::Node root = Condition();
    if (Peek().kind == Tok::RParen) parseError(SExprExpectedEnd, Peek().position);
    if (Peek().kind != Tok::End) parseError(SExprExpectedEnd, Peek().position);
    return root;
  }

 private:
  const Token& Peek() const { return pTokens[pAt]; }
  const Token& Take() { return pTokens[pAt < pTokens.size() - 1 ? pAt++ : pAt]; }
  bool IsKeyword(Kw aKeyword) const { return Peek().kind == Tok::Keyword && Peek().keyword == aKeyword; }

  TFilterExpr::Node Condition() {
    TFilterExpr::Node left = Term();
    while (IsKeyword(Kw::Or)) {
      Take();
      left = pExpr.NewBinaryNode(coOR, left, Term());
    }
    return left;
  }

  TFilterExpr::Node Term() {
    TFilterExpr::Node left = Factor();
    while (IsKeyword(Kw::And)) {
      Take();
      left = pExpr.NewBinaryNode(coAND, left, Factor());
    }
    return left;
  }

  TFilterExpr::Node Factor() {
    if (IsKeyword(Kw::Not)) {
      Take();
      return pExpr.NewUnaryNode(coNOT, Factor());
    }
    if (Peek().kind == Tok::LParen) {
      const Token& open = Take();
      const TFilterExpr::Node inner = Condition();
      if (Peek().kind != Tok::RParen) {
        if (Peek().kind == Tok::End) parseError(SExprMissingParen, open.position);
        parseError(SExprMissingParen, Peek().position);
      }
      Take();
      return inner;
    }
    return Comparison();
  }

  TFilterExpr::Node Comparison() {
    const Operand left = ParseOperand();
    if (IsKeyword(Kw::Is)) {
      Take();
      bool negated = false;
      if (IsKeyword(Kw::Not)) {
        Take();
        negated = true;
      }
      if (!IsKeyword(Kw::Null)) parseError(SExprExpectedNull, Peek().position);
      Take();
      return pExpr.NewUnaryNode(negated ? coNOTBLANK : coISBLANK, NodeOf(left, nullptr));
    }
    int32_t op = 0;
    if (Peek().kind == Tok::Op) {
      op = Take().op;
    } else if (IsKeyword(Kw::Like)) {
      Take();
      op = coLIKE;
    } else {
      // A field alone is a condition of its own (a Boolean field).
      if (left.kind == Operand::Field) return NodeOf(left, nullptr);
      parseError(SExprMissingOperand, left.position);
    }
    Operand right = ParseOperand();
    uint16_t partial = 0;
    if (op == coEQ && (pExpr.Options() & foNoPartialCompare) == 0 && left.kind == Operand::Field &&
        right.kind == Operand::Text && isTextType(left.field->DataType()) && !right.text.empty() &&
        right.text.back() == u'*') {
      right.text.pop_back();
      partial = static_cast<uint16_t>(right.text.size());
    }
    const TFilterExpr::Node leftNode = NodeOf(left, &right);
    const TFilterExpr::Node rightNode = NodeOf(right, &left);
    return pExpr.NewCompareNode(op, leftNode, rightNode, partial);
  }

  Operand ParseOperand() {
    const Token& token = Peek();
    Operand operand;
    operand.position = token.position;
    switch (token.kind) {
      case Tok::Name: {
        const TField* field = pExpr.DataSet()->FindField(token.text);
        if (field == nullptr) DatabaseErrorFmt(SExprUnknownField, {token.text, token.position});
        if (field->FieldNo() < 1 || constTypeOf(field->DataType()) == 0)
          DatabaseErrorFmt(SExprFieldNotUsable, {token.text, token.position});
        operand.kind = Operand::Field;
        operand.field = field;
        break;
      }
      case Tok::Text:
        operand.kind = Operand::Text;
        operand.text = token.text;
        break;
      case Tok::Number:
        operand.kind = Operand::Number;
        operand.text = token.text;
        break;
      case Tok::Keyword:
        if (token.keyword == Kw::True || token.keyword == Kw::False) {
          operand.kind = Operand::Boolean;
          operand.boolean = token.keyword == Kw::True;
          break;
        }
        parseError(SExprMissingOperand, token.position);
      default:
        parseError(SExprMissingOperand, token.position);
    }
    Take();
    return operand;
  }

  // A literal compared with a field becomes a constant of the field's type.
  TFilterExpr::Node NodeOf(const Operand& aOperand, const Operand* aOther) {
    if (aOperand.kind == Operand::Field) return pExpr.NewFieldNode(aOperand.field);
    const TField* field = aOther != nullptr && aOther->kind == Operand::Field ? aOther->field : nullptr;
    if (field == nullptr) {
      switch (aOperand.kind) {
        case Operand::Boolean:
          return pExpr.NewLiteralNode(aOperand.boolean);
        case Operand::Number: {
          TqdVariant value;
          if (!numberValue(aOperand.text, value)) parseError(SExprMissingOperand, aOperand.position);
          return pExpr.NewLiteralNode(value);
        }
        default:
          return pExpr.NewLiteralNode(aOperand.text);
      }
    }
    try {
      return pExpr.NewConstNode(field, LiteralValue(aOperand, field));
    } catch (const EDatabaseError&) {
      throw;
    } catch (const Exception&) {
      DatabaseErrorFmt(SExprBadValue, {LiteralText(aOperand), field->FieldName(), aOperand.position});
    }
  }

  static qdString LiteralText(const Operand& aOperand) {
    if (aOperand.kind == Operand::Boolean) return aOperand.boolean ? u"TRUE" : u"FALSE";
    return aOperand.text;
  }

  static TqdVariant LiteralValue(const Operand& aOperand, const TField* aField) {
    const uint16_t type = constTypeOf(aField->DataType());
    if (aOperand.kind == Operand::Boolean) {
      if (type != kCanTypeBoolean) throw EConvertError(u"Not a Boolean field");
      return aOperand.boolean;
    }
    const qdString& text = aOperand.text;
    switch (type) {
      case kCanTypeText:
      case kCanTypeWideText:
        return text;
      case kCanTypeDate:
        return TqdVariant::FromDate(qdDateLiteralToDate(text));
      case kCanTypeTime:
        return TqdVariant::FromDate(qdTimeLiteralToTime(text));
      case kCanTypeTimeStamp:
        return TqdVariant::FromDate(qdIsTimestampLiteral(text) ? qdTimestampLiteralToDateTime(text)
                                                               : qdDateLiteralToDate(text));
      case kCanTypeBoolean:
        return StrToBool(text);
      case kCanTypeBcd: {
        TBcd value;
        qdAnsiStrToBcd(asciiOf(text), value);
        return TqdVariant::FromBcd(value);
      }
      default: {
        TqdVariant value;
        if (text.empty() || !numberValue(text, value)) throw EConvertError(u"Not a number");
        return value;
      }
    }
  }

  TFilterExpr& pExpr;
  std::vector<Token> pTokens;
  size_t pAt = 0;
};

}  // namespace

// --- TFilterExpr --------------------------------------------------------------------------

TFilterExpr::Node TFilterExpr::Add(int32_t aClass, int32_t aOperator, std::vector<uint16_t> aWords,
                                   std::vector<Node> aChildren) {
  feNodes.push_back({aClass, aOperator, std::move(aWords), std::move(aChildren)});
  return static_cast<Node>(feNodes.size()) - 1;
}

uint16_t TFilterExpr::AddLiteral(const void* aValue, size_t aSize) {
  const size_t at = feLiterals.size();
  if (at + aSize > UINT16_MAX) throw EConvertError(u"Filter expression too large");
  feLiterals.resize(at + aSize);
  if (aSize > 0) std::memcpy(feLiterals.data() + at, aValue, aSize);
  return static_cast<uint16_t>(at);
}

TFilterExpr::Node TFilterExpr::AddConst(uint16_t aType, const std::vector<uint8_t>& aBytes) {
  const uint16_t literal = AddLiteral(aBytes.data(), aBytes.size());
  return Add(kCanNodeConst, 0, {aType, static_cast<uint16_t>(aBytes.size()), literal}, {});
}

TFilterExpr::Node TFilterExpr::NewFieldNode(const TField* aField) {
  // Names travel in the system's ANSI code page, as the engine reads them.
  std::string name;
  if (!qdEncodeCodePage(CP_ACP, aField->FieldName(), name)) throw EConvertError(u"Text conversion failed");
  const uint16_t literal = AddLiteral(name.c_str(), name.size() + 1);
  return Add(kCanNodeField, 0, {static_cast<uint16_t>(aField->FieldNo()), literal}, {});
}

TFilterExpr::Node TFilterExpr::NewConstNode(const TField* aField, const TqdVariant& aValue) {
  const uint16_t type = constTypeOf(aField->DataType());
  if (type == 0) DatabaseErrorFmt(SExprFieldNotUsable, {aField->FieldName(), 0});
  return AddConst(type, constBytes(type, aValue));
}

TFilterExpr::Node TFilterExpr::NewLiteralNode(const TqdVariant& aValue) {
  switch (aValue.VarType()) {
    case varBoolean:
      return AddConst(kCanTypeBoolean, constBytes(kCanTypeBoolean, aValue));
    case varDouble:
    case varSingle:
    case varCurrency:
      return AddConst(kCanTypeFloat, constBytes(kCanTypeFloat, aValue));
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64: {
      const int64_t value = aValue.AsInt64();
      if (value >= INT32_MIN && value <= INT32_MAX) return AddConst(kCanTypeInt32, constBytes(kCanTypeInt32, aValue));
      return AddConst(kCanTypeInt64, constBytes(kCanTypeInt64, aValue));
    }
    default:
      return AddConst(kCanTypeText, constBytes(kCanTypeText, aValue));
  }
}

TFilterExpr::Node TFilterExpr::NewUnaryNode(int32_t aOperator, Node aOperand) {
  return Add(kCanNodeUnary, aOperator, {}, {aOperand});
}

TFilterExpr::Node TFilterExpr::NewBinaryNode(int32_t aOperator, Node aLeft, Node aRight) {
  return Add(kCanNodeBinary, aOperator, {}, {aLeft, aRight});
}

TFilterExpr::Node TFilterExpr::NewCompareNode(int32_t aOperator, Node aLeft, Node aRight, uint16_t aPartialLength) {
  const uint16_t ignoreCase = (feOptions & foCaseInsensitive) != 0 ? 1 : 0;
  return Add(kCanNodeCompare, aOperator, {ignoreCase, aPartialLength}, {aLeft, aRight});
}

TqdCANExpr TFilterExpr::GetFilterData(Node aRoot) const {
  // Nodes are placed root first, each before its children; a child's
  // reference is patched in once every node has its offset.
  std::vector<uint8_t> area;
  std::vector<int32_t> offsets(feNodes.size(), -1);
  std::vector<Node> pending{aRoot};
  while (!pending.empty()) {
    const Node node = pending.back();
    pending.pop_back();
    if (offsets[static_cast<size_t>(node)] >= 0) continue;
    const NodeInfo& info = feNodes[static_cast<size_t>(node)];
    offsets[static_cast<size_t>(node)] = static_cast<int32_t>(area.size());
    const size_t at = area.size();
    area.resize(at + kNodeHeader + 2 * (info.words.size() + info.children.size()));
    qdPutLE<int32_t>(area.data() + at, info.nodeClass);
    qdPutLE<int32_t>(area.data() + at + 4, info.op);
    for (size_t i = 0; i < info.words.size(); ++i)
      qdPutLE<uint16_t>(area.data() + at + kNodeHeader + 2 * i, info.words[i]);
    for (auto it = info.children.rbegin(); it != info.children.rend(); ++it) pending.push_back(*it);
  }
  int32_t placed = 0;
  for (size_t n = 0; n < feNodes.size(); ++n) {
    if (offsets[n] < 0) continue;
    ++placed;
    const NodeInfo& info = feNodes[n];
    uint8_t* children = area.data() + offsets[n] + kNodeHeader + 2 * info.words.size();
    for (size_t i = 0; i < info.children.size(); ++i)
      qdPutLE<uint16_t>(children + 2 * i, static_cast<uint16_t>(offsets[static_cast<size_t>(info.children[i])]));
  }
  const size_t nodeStart = kCanHeaderSize;
  const size_t literalStart = nodeStart + area.size();
  const size_t total = literalStart + feLiterals.size();
  if (total > UINT16_MAX) throw EConvertError(u"Filter expression too large");
  auto bytes = std::make_shared<std::vector<uint8_t>>(total);
  qdPutLE<uint16_t>(bytes->data(), kCanExprVersion);
  qdPutLE<uint16_t>(bytes->data() + 2, static_cast<uint16_t>(total));
  qdPutLE<uint16_t>(bytes->data() + 4, static_cast<uint16_t>(placed));
  qdPutLE<uint16_t>(bytes->data() + 6, static_cast<uint16_t>(nodeStart));
  qdPutLE<uint16_t>(bytes->data() + 8, static_cast<uint16_t>(literalStart));
  std::memcpy(bytes->data() + nodeStart, area.data(), area.size());
  if (!feLiterals.empty()) std::memcpy(bytes->data() + literalStart, feLiterals.data(), feLiterals.size());
  return bytes;
}

// --- TExprParser ----------------------------------------------------------------------

TExprParser::TExprParser(TDataSet* aDataSet, qdStringView aText, TFilterOptions aOptions) {
  TFilterExpr expr(aDataSet, aOptions);
  Parser parser(expr, aText);
  epFilterData = expr.GetFilterData(parser.ParseAll());
}

// --- Locate -------------------------------------------------------------------------------

TqdCANExpr qdBuildLocateExpression(TDataSet* aDataSet, const std::vector<TField*>& aFields, const TqdVariant& aValues,
                                   TLocateOptions aOptions) {
  TFilterOptions filterOptions = foNoPartialCompare;
  if ((aOptions & loCaseInsensitive) != 0) filterOptions |= foCaseInsensitive;
  TFilterExpr expr(aDataSet, filterOptions);
  TFilterExpr::Node root = -1;
  for (size_t i = 0; i < aFields.size(); ++i) {
    const TField* field = aFields[i];
    if (field->FieldNo() < 1 || constTypeOf(field->DataType()) == 0)
      DatabaseErrorFmt(SExprFieldNotUsable, {field->FieldName(), 0});
    const TqdVariant& value =
        aValues.IsArray() && !VarIsByteArray(aValues) ? aValues.Element(aFields.size() == 1 ? 0 : i) : aValues;
    TFilterExpr::Node node;
    if (value.IsNull() || value.IsEmpty()) {
      node = expr.NewUnaryNode(coISBLANK, expr.NewFieldNode(field));
    } else {
      const bool last = i + 1 == aFields.size();
      uint16_t partial = 0;
      if (last && (aOptions & loPartialKey) != 0 && isTextType(field->DataType()))
        partial = static_cast<uint16_t>(value.AsString().size());
      const TFilterExpr::Node fieldNode = expr.NewFieldNode(field);
      TFilterExpr::Node constNode;
      try {
        constNode = expr.NewConstNode(field, value);
      } catch (const EDatabaseError&) {
        throw;
      } catch (const Exception&) {
        DatabaseErrorFmt(SLocateValueError, {field->DisplayName()});
      }
      node = expr.NewCompareNode(coEQ, fieldNode, constNode, partial);
    }
    root = root < 0 ? node : expr.NewBinaryNode(coAND, root, node);
  }
  if (root < 0) DatabaseErrorFmt(SFieldNotFound, {qdString()});
  return expr.GetFilterData(root);
}

}  // namespace qd
