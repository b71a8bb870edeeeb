#include "engine/table/filter_expr.h"

#include <cstring>
#include <limits>
#include <new>

#include "engine/base/coding.h"
#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/table/dataset.h"

namespace ovrin {

namespace {

constexpr size_t kMaxLiteralText = 256;  // characters a string literal keeps
constexpr size_t kMaxConstantText = 255;  // characters a string constant keeps
constexpr int kMaxNesting = 256;           // levels of parentheses

[[noreturn]] void Malformed() { DatabaseError("Incorrectly formed filter expression"); }
[[noreturn]] void TooLong() { DatabaseError("Filter expression too long"); }

int32_t Mirror(int32_t op) {
  switch (op) {
    case opGreater: return opLess;
    case opLess: return opGreater;
    case opGreaterEqual: return opLessEqual;
    case opLessEqual: return opGreaterEqual;
    default: return op;
  }
}

std::string TextOf(const TExprValue& value) {
  if (const std::string* s = std::get_if<std::string>(&value)) return *s;
  if (const int64_t* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
  return std::string();
}

bool IsSymbolStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0x81 && c <= 0xFE);
}
bool IsSymbolChar(unsigned char c) { return IsSymbolStart(c) || (c >= '0' && c <= '9'); }
bool IsNumberChar(char c) { return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'E' || c == 'e'; }

}  // namespace

int32_t EngineFieldType(const TField& field) {
  switch (field.DataType()) {
    case TFieldType::String: return 1;
    case TFieldType::Date: return 2;
    case TFieldType::Blob: case TFieldType::Memo: case TFieldType::Graphic: case TFieldType::FmtMemo:
    case TFieldType::TypedBinary: return 3;
    case TFieldType::Boolean: return 4;
    case TFieldType::SmallInt: return 5;
    case TFieldType::Integer: case TFieldType::AutoInc: return 6;
    case TFieldType::Float: case TFieldType::Currency: return 7;
    case TFieldType::BCD: return 8;
    case TFieldType::Bytes: return 9;
    case TFieldType::Time: return 10;
    case TFieldType::DateTime: return 11;
    case TFieldType::Word: return 12;
    case TFieldType::VarBytes: return 15;
    default: return 0;
  }
}

// ---- the tree

TExprNode* TFilterExpr::NewNode(TExprNodeKind kind, int32_t op, TExprValue value, TExprNode* left, TExprNode* right) {
  auto node = std::make_unique<TExprNode>();
  node->kind = kind;
  node->op = op;
  node->value = std::move(value);
  node->left = left;
  node->right = right;
  nodes_.push_back(std::move(node));
  return nodes_.back().get();
}

TExprNode* TFilterExpr::NewCompareNode(const std::string& field, int32_t op, TExprValue value, bool partial) {
  TExprNode* f = NewNode(TExprNodeKind::Field, 0, field);
  TExprNode* c = NewNode(TExprNodeKind::Constant, 0, std::move(value));
  TExprNode* node = NewNode(TExprNodeKind::Operator, op, {}, f, c);
  node->partial = partial;
  return node;
}

TExprNode* TFilterExpr::NewAndNode(TExprNode* left, TExprNode* right) {
  return NewNode(TExprNodeKind::Operator, opAnd, {}, left, right);
}

// ---- the buffer

std::vector<uint8_t> TFilterExpr::BuildBuffer(TExprNode* root) {
  nodeArea_.clear();
  literalArea_.clear();
  if (!root) Malformed();
  Build(root);
  size_t total = kExprHeaderSize + nodeArea_.size() + literalArea_.size();
  if (total > 0xFFFF) TooLong();
  std::vector<uint8_t> buffer(total);
  StoreLE16(buffer.data() + 0, 0);
  StoreLE16(buffer.data() + 2, static_cast<uint16_t>(total));
  StoreLE16(buffer.data() + 4, 0xFFFF);
  StoreLE16(buffer.data() + 6, static_cast<uint16_t>(kExprHeaderSize));
  StoreLE16(buffer.data() + 8, static_cast<uint16_t>(kExprHeaderSize + nodeArea_.size()));
  std::memcpy(buffer.data() + kExprHeaderSize, nodeArea_.data(), nodeArea_.size());
  if (!literalArea_.empty())
    std::memcpy(buffer.data() + kExprHeaderSize + nodeArea_.size(), literalArea_.data(), literalArea_.size());
  return buffer;
}

uint16_t TFilterExpr::AddNode(int32_t nodeClass, int32_t op, std::initializer_list<uint16_t> operands) {
  size_t at = nodeArea_.size();
  if (at + 8 + 2 * operands.size() > 0xFFFF) TooLong();
  nodeArea_.resize(at + 8 + 2 * operands.size());
  StoreLE32(nodeArea_.data() + at, static_cast<uint32_t>(nodeClass));
  StoreLE32(nodeArea_.data() + at + 4, static_cast<uint32_t>(op));
  size_t o = at + 8;
  for (uint16_t v : operands) {
    StoreLE16(nodeArea_.data() + o, v);
    o += 2;
  }
  return static_cast<uint16_t>(at);
}

void TFilterExpr::SetOperand(uint16_t node, int index, uint16_t value) {
  StoreLE16(nodeArea_.data() + node + 8 + 2 * index, value);
}

uint16_t TFilterExpr::AddLiteral(const void* bytes, size_t size) {
  size_t at = literalArea_.size();
  if (at + size > 0xFFFF) TooLong();
  literalArea_.resize(at + size);
  if (size) std::memcpy(literalArea_.data() + at, bytes, size);
  return static_cast<uint16_t>(at);
}

TField& TFilterExpr::UsableField(const std::string& name) {
  TField& field = dataSet_.FieldByName(name);
  // Calculated fields live in the dataset's own buffer area, out of the filter's reach.
  if (field.FieldNo() <= 0) DatabaseErrorFmt("Field '%s' cannot be used in a filter expression", field.FieldName());
  return field;
}

uint16_t TFilterExpr::AddFieldNode(TField& field) {
  std::string name = field.FieldName();
  uint16_t literal = AddLiteral(name.c_str(), name.size() + 1);
  return AddNode(nodeField, opField, {static_cast<uint16_t>(field.FieldNo()), literal});
}

uint16_t TFilterExpr::AddRawConstant(int32_t type, const std::vector<uint8_t>& bytes) {
  uint16_t at = AddNode(nodeConstant, opConstant, {static_cast<uint16_t>(type), static_cast<uint16_t>(bytes.size()), 0});
  SetOperand(at, 2, AddLiteral(bytes.data(), bytes.size()));
  return at;
}

uint16_t TFilterExpr::AddConstantNode(TField& field, const TExprValue& value) {
  const bool isText = std::holds_alternative<std::string>(value);
  const std::string text = TextOf(value);
  const int64_t number = isText ? 0 : std::get<int64_t>(value);
  const TFormatSettings settings = SaveSettings();
  auto integer = [&](int64_t low, int64_t high) {
    int64_t v = isText ? TextToInteger(text) : number;
    if (v < low || v > high) DatabaseError("Constant out of range");
    return v;
  };
  auto toDateTime = [&](TDateTime (*convert)(std::string_view, const TFormatSettings&)) {
    return isText ? convert(text, settings) : static_cast<TDateTime>(number);
  };
  std::vector<uint8_t> bytes;
  int32_t type = 0;
  switch (field.DataType()) {
    case TFieldType::String: {
      std::string s = text.substr(0, kMaxConstantText);
      bytes.assign(s.begin(), s.end());
      bytes.push_back(0);
      type = 1;
      break;
    }
    case TFieldType::SmallInt:
      bytes.resize(2);
      StoreLE16(bytes.data(), static_cast<uint16_t>(integer(-32768, 32767)));
      type = 5;
      break;
    case TFieldType::Integer:
    case TFieldType::AutoInc:
      bytes.resize(4);
      StoreLE32(bytes.data(), static_cast<uint32_t>(integer(std::numeric_limits<int32_t>::min(),
                                                            std::numeric_limits<int32_t>::max())));
      type = 6;
      break;
    case TFieldType::Word:
      bytes.resize(2);
      StoreLE16(bytes.data(), static_cast<uint16_t>(integer(0, 65535)));
      type = 12;
      break;
    case TFieldType::Boolean:
      bytes.resize(2);
      StoreLE16(bytes.data(), (isText ? BooleanText(text) : number != 0) ? 1 : 0);
      type = 4;
      break;
    case TFieldType::Float:
    case TFieldType::Currency:
      bytes.resize(8);
      StoreLEDouble(bytes.data(), isText ? TextToFloat(text, settings) : static_cast<double>(number));
      type = 7;
      break;
    case TFieldType::BCD: {
      int64_t currency = isText ? TextToCurrency(text, settings) : number * 10000;
      bytes.assign(18, 0);
      StoreLE64(bytes.data(), static_cast<uint64_t>(RoundCurrency(currency, field.Size())));
      type = 8;
      break;
    }
    case TFieldType::Date:
      bytes.resize(4);
      StoreLE32(bytes.data(), static_cast<uint32_t>(DateTimeToDayNumber(toDateTime(TextToDate))));
      type = 2;
      break;
    case TFieldType::Time:
      bytes.resize(4);
      StoreLE32(bytes.data(), static_cast<uint32_t>(DateTimeToMsOfDay(toDateTime(TextToTime))));
      type = 10;
      break;
    case TFieldType::DateTime:
      bytes.resize(8);
      StoreLEDouble(bytes.data(), DateTimeToTimeStamp(toDateTime(TextToDateTime)));
      type = 11;
      break;
    default:
      DatabaseErrorFmt("Field '%s' cannot be used in a filter expression", field.FieldName());
  }
  return AddRawConstant(type, bytes);
}

uint16_t TFilterExpr::Build(TExprNode* node) {
  if (!node) Malformed();
  if (node->kind == TExprNodeKind::Field) {
    // A bare field stands for "field is true".
    TField& field = UsableField(TextOf(node->value));
    if (field.DataType() != TFieldType::Boolean)
      DatabaseErrorFmt("Field '%s' is not of type Boolean", field.FieldName());
    uint16_t at = AddNode(nodeBinary, opEqual, {0, 0});
    SetOperand(at, 0, AddFieldNode(field));
    SetOperand(at, 1, AddRawConstant(4, {0xFF, 0xFF}));
    return at;
  }
  if (node->kind != TExprNodeKind::Operator) Malformed();
  if (node->op >= opEqual && node->op <= opLessEqual) return BuildComparison(node);
  if (node->op == opAnd || node->op == opOr) {
    uint16_t at = AddNode(nodeBinary, node->op, {0, 0});
    SetOperand(at, 0, Build(node->left));
    SetOperand(at, 1, Build(node->right));
    return at;
  }
  uint16_t at = AddNode(nodeUnary, opNot, {0});
  SetOperand(at, 0, Build(node->left));
  return at;
}

uint16_t TFilterExpr::BuildComparison(TExprNode* node) {
  TExprNode* left = node->left;
  TExprNode* right = node->right;
  int32_t op = node->op;
  if (!left || !right) Malformed();
  if (right->kind == TExprNodeKind::Field && left->kind != TExprNodeKind::Field) {
    std::swap(left, right);
    op = Mirror(op);
  }
  if (left->kind == TExprNodeKind::Operator || right->kind == TExprNodeKind::Operator) Malformed();
  TField& field = UsableField(TextOf(left->value));

  if (right->kind == TExprNodeKind::Field) {
    TField& other = UsableField(TextOf(right->value));
    uint16_t at = AddNode(nodeBinary, op, {0, 0});
    SetOperand(at, 0, AddFieldNode(field));
    SetOperand(at, 1, AddFieldNode(other));
    return at;
  }
  if (std::holds_alternative<std::monostate>(right->value)) {
    if (op != opEqual && op != opNotEqual) DatabaseError("NULL only allowed with '=' and '<>'");
    uint16_t at = AddNode(nodeUnary, op == opEqual ? opIsNull : opNotNull, {0});
    SetOperand(at, 0, AddFieldNode(field));
    return at;
  }
  std::string text = TextOf(right->value);
  if ((op == opEqual || op == opNotEqual) && field.DataType() == TFieldType::String && !text.empty()) {
    bool caseInsensitive = (options_ & foCaseInsensitive) != 0;
    size_t partial = 0;
    if (node->partial) {
      partial = text.size();
    } else if (!(options_ & foNoPartialCompare) && text.size() >= 2 && text.back() == '*') {
      text.pop_back();
      partial = text.size();
    }
    if (caseInsensitive || partial) {
      uint16_t at = AddNode(nodeCompare, op, {caseInsensitive ? uint16_t(1) : uint16_t(0),
                                              static_cast<uint16_t>(std::min(partial, kMaxConstantText)), 0, 0});
      SetOperand(at, 2, AddFieldNode(field));
      SetOperand(at, 3, AddConstantNode(field, text));
      return at;
    }
  }
  uint16_t at = AddNode(nodeBinary, op, {0, 0});
  SetOperand(at, 0, AddFieldNode(field));
  SetOperand(at, 1, AddConstantNode(field, right->value));
  return at;
}

// ---- the parser

TExprParser::TExprParser(TFilterExpr& expr, const std::string& text) : expr_(expr), text_(text) {
  NextToken();
  root_ = ParseExpr();
  if (token_ != TToken::End) DatabaseError("Filter expression incorrectly terminated");
}

void TExprParser::NextToken() {
  auto at = [&](size_t i) -> unsigned char { return i < text_.size() ? static_cast<unsigned char>(text_[i]) : 0; };
  while (at(pos_) >= 1 && at(pos_) <= 32) ++pos_;
  tokenStart_ = pos_;
  tokenText_.clear();
  unsigned char c = at(pos_);
  if (c == 0) {
    token_ = TToken::End;
    return;
  }
  if (c == '\'') {
    ++pos_;
    for (;;) {
      if (at(pos_) == 0) DatabaseError("Unterminated string constant");
      if (at(pos_) == '\'') {
        if (at(pos_ + 1) != '\'') {
          ++pos_;
          break;
        }
        ++pos_;  // two quotes stand for one
      }
      if (tokenText_.size() < kMaxLiteralText) tokenText_ += text_[pos_];
      ++pos_;
    }
    token_ = TToken::Literal;
    return;
  }
  if (c == '(' || c == ')') {
    tokenText_ = std::string(1, static_cast<char>(c));
    ++pos_;
    token_ = c == '(' ? TToken::LParen : TToken::RParen;
    return;
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    while (at(pos_) && IsNumberChar(static_cast<char>(at(pos_)))) tokenText_ += text_[pos_++];
    token_ = TToken::Literal;
    return;
  }
  if (c == '<' || c == '=' || c == '>') {
    unsigned char d = at(pos_ + 1);
    if (c == '<' && d == '=') token_ = TToken::LE;
    else if (c == '<' && d == '>') token_ = TToken::NE;
    else if (c == '<') token_ = TToken::LT;
    else if (c == '=') token_ = TToken::Eq;
    else if (d == '=') token_ = TToken::GE;
    else token_ = TToken::GT;
    size_t length = token_ == TToken::LE || token_ == TToken::NE || token_ == TToken::GE ? 2 : 1;
    tokenText_ = text_.substr(pos_, length);
    pos_ += length;
    return;
  }
  if (IsSymbolStart(c)) {
    while (IsSymbolChar(at(pos_))) tokenText_ += text_[pos_++];
    token_ = TToken::Symbol;
    return;
  }
  if (c == '[') {
    size_t close = text_.find(']', pos_ + 1);
    if (close == std::string::npos) DatabaseError("Unterminated field name");
    tokenText_ = text_.substr(pos_ + 1, close - pos_ - 1);
    pos_ = close + 1;
    token_ = TToken::Name;
    return;
  }
  DatabaseErrorFmt("Invalid filter expression character: '%s'", std::string(1, static_cast<char>(c)));
}

bool TExprParser::IsKeyword(const char* word) const {
  return token_ == TToken::Symbol && AsciiEqualNoCase(tokenText_, word);
}

std::string TExprParser::TokenForMessage() const {
  return token_ == TToken::End ? std::string("nothing") : "'" + tokenText_ + "'";
}

TExprNode* TExprParser::ParseExpr() {
  TExprNode* left = ParseAnd();
  while (IsKeyword("OR")) {
    NextToken();
    left = expr_.NewNode(TExprNodeKind::Operator, opOr, {}, left, ParseAnd());
  }
  return left;
}

TExprNode* TExprParser::ParseAnd() {
  TExprNode* left = ParseNot();
  while (IsKeyword("AND")) {
    NextToken();
    left = expr_.NewNode(TExprNodeKind::Operator, opAnd, {}, left, ParseNot());
  }
  return left;
}

TExprNode* TExprParser::ParseNot() {
  if (!IsKeyword("NOT")) return ParseComparison();
  NextToken();
  return expr_.NewNode(TExprNodeKind::Operator, opNot, {}, ParseComparison());
}

TExprNode* TExprParser::ParseComparison() {
  TExprNode* left = ParsePrimary();
  int32_t op = 0;
  switch (token_) {
    case TToken::Eq: op = opEqual; break;
    case TToken::NE: op = opNotEqual; break;
    case TToken::GE: op = opGreaterEqual; break;
    case TToken::LE: op = opLessEqual; break;
    case TToken::GT: op = opGreater; break;
    case TToken::LT: op = opLess; break;
    default: return left;
  }
  NextToken();
  TExprNode* right = ParsePrimary();
  return expr_.NewNode(TExprNodeKind::Operator, op, {}, left, right);
}

TExprNode* TExprParser::ParsePrimary() {
  TExprNode* node = nullptr;
  switch (token_) {
    case TToken::Symbol:
      if (IsKeyword("NULL"))
        node = expr_.NewNode(TExprNodeKind::Constant, 0, std::monostate{});
      else if (AsciiEqualNoCase(tokenText_, trueWord_))
        node = expr_.NewNode(TExprNodeKind::Constant, 0, int64_t{1});
      else if (AsciiEqualNoCase(tokenText_, falseWord_))
        node = expr_.NewNode(TExprNodeKind::Constant, 0, int64_t{0});
      else
        node = expr_.NewNode(TExprNodeKind::Field, 0, tokenText_);
      break;
    case TToken::Name: node = expr_.NewNode(TExprNodeKind::Field, 0, tokenText_); break;
    case TToken::Literal: node = expr_.NewNode(TExprNodeKind::Constant, 0, tokenText_); break;
    case TToken::LParen:
      // Each level of parentheses is a few frames of recursion here and when building.
      if (++depth_ > kMaxNesting) DatabaseError("Filter expression nested too deeply");
      NextToken();
      node = ParseExpr();
      --depth_;
      if (token_ != TToken::RParen) DatabaseErrorFmt("')' expected but %s found", TokenForMessage());
      break;
    default: DatabaseErrorFmt("Expression expected but %s found", TokenForMessage());
  }
  NextToken();
  return node;
}

std::vector<uint8_t> ParseFilter(TDataSet& dataSet, uint32_t options, const std::string& text) {
  try {
    TFilterExpr expr(dataSet, options);
    TExprParser parser(expr, text);
    return expr.BuildBuffer(parser.Root());
  } catch (const std::bad_alloc&) {
    RaiseEngineErrorCode(11016);
  }
}

}  // namespace ovrin
