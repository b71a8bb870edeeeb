// Filter expressions: a dataset's filter text ("Qty > 5 AND Name = 'Sm*'") parsed into a
// tree and built into the compact expression buffer that the data file's filter decodes
// and evaluates. The same builder makes Locate's temporary comparisons.
//
// Expression buffer (little-endian):
//
//   offset  size  field
//   0       2     version, 0
//   2       2     total size in bytes
//   4       2     node count, always 0xFFFF
//   6       2     node area start, 10
//   8       2     literal area start, 10 + node area size
//   10      ...   node area: nodes in pre-order, the root at node offset 0
//   ...     ...   literal area: field names (zero-terminated) and constant values
//
// Each node is its class (i32), its operator code (i32) and 16-bit operands; node
// offsets count from the node area start, literal offsets from the literal area start.
//
//   class        operators        operands
//   1 unary      1, 2, 9          operand node
//   2 binary     3..8, 10, 11     left node, right node
//   3 compare    3, 4             case-insensitive, partial length, field node, constant node
//   4 field      13               field number, literal offset of the name
//   5 constant   14               data type code, data size, literal offset of the value
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "engine/expr/expr_codes.h"

namespace ovrin {

class TDataSet;
class TField;

// Filter options.
enum : uint32_t {
  foCaseInsensitive = 1,
  foNoPartialCompare = 2,
};

// A node of the parse tree.
enum class TExprNodeKind { Field = 0, Constant = 1, Operator = 2 };

// The value of a field name or a constant: null, text or integer.
using TExprValue = std::variant<std::monostate, std::string, int64_t>;

struct TExprNode {
  TExprNodeKind kind = TExprNodeKind::Constant;
  bool partial = false;  // Locate's partial-key comparison
  int32_t op = 0;
  TExprValue value;
  TExprNode* left = nullptr;
  TExprNode* right = nullptr;
};

// Owns the nodes of one expression and builds its buffer.
class TFilterExpr {
 public:
  TFilterExpr(TDataSet& dataSet, uint32_t options) : dataSet_(dataSet), options_(options) {}

  TExprNode* NewNode(TExprNodeKind kind, int32_t op, TExprValue value, TExprNode* left = nullptr,
                     TExprNode* right = nullptr);
  // Locate's comparison of a field with a value, and the AND of two nodes.
  TExprNode* NewCompareNode(const std::string& field, int32_t op, TExprValue value, bool partial = false);
  TExprNode* NewAndNode(TExprNode* left, TExprNode* right);

  // Builds the buffer from the root; failures raise the framework's database error.
  std::vector<uint8_t> BuildBuffer(TExprNode* root);
  uint32_t Options() const { return options_; }

 private:
  uint16_t Build(TExprNode* node);
  uint16_t BuildComparison(TExprNode* node);
  uint16_t AddNode(int32_t nodeClass, int32_t op, std::initializer_list<uint16_t> operands);
  void SetOperand(uint16_t node, int index, uint16_t value);
  uint16_t AddLiteral(const void* bytes, size_t size);
  uint16_t AddFieldNode(TField& field);
  uint16_t AddConstantNode(TField& field, const TExprValue& value);
  uint16_t AddRawConstant(int32_t type, const std::vector<uint8_t>& bytes);
  TField& UsableField(const std::string& name);

  TDataSet& dataSet_;
  uint32_t options_;
  std::vector<std::unique_ptr<TExprNode>> nodes_;
  std::vector<uint8_t> nodeArea_, literalArea_;
};

// Turns a filter text into a tree of its TFilterExpr.
class TExprParser {
 public:
  TExprParser(TFilterExpr& expr, const std::string& text);
  TExprNode* Root() const { return root_; }

 private:
  enum class TToken { End, Symbol, Name, Literal, LParen, RParen, Eq, NE, GE, LE, GT, LT };
  void NextToken();
  TExprNode* ParseExpr();
  TExprNode* ParseAnd();
  TExprNode* ParseNot();
  TExprNode* ParseComparison();
  TExprNode* ParsePrimary();
  bool IsKeyword(const char* word) const;
  std::string TokenForMessage() const;

  TFilterExpr& expr_;
  std::string text_;
  size_t pos_ = 0, tokenStart_ = 0;
  TToken token_ = TToken::End;
  std::string tokenText_;
  std::string trueWord_ = "True", falseWord_ = "False";
  TExprNode* root_ = nullptr;
  int depth_ = 0;
};

// Parses a filter text for the dataset; the buffer, or the framework's database error.
std::vector<uint8_t> ParseFilter(TDataSet& dataSet, uint32_t options, const std::string& text);

// The engine's field type code of a field (as in the table's descriptors), 0 for none.
int32_t EngineFieldType(const TField& field);

}  // namespace ovrin
