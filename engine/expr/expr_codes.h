// The codes of expression nodes, shared by the filter parser's buffer, the evaluator and
// the index-level filters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovrin {

// Operator codes, shared by the buffer, the evaluator and the index-level filters.
enum : int32_t {
  opIsNull = 1,
  opNotNull = 2,
  opEqual = 3,
  opNotEqual = 4,
  opGreater = 5,
  opLess = 6,
  opGreaterEqual = 7,
  opLessEqual = 8,
  opNot = 9,
  opAnd = 10,
  opOr = 11,
  opField = 13,
  opConstant = 14,
};

// Node classes; the buffer holds the first five.
enum : int32_t {
  nodeUnary = 1,
  nodeBinary = 2,
  nodeCompare = 3,
  nodeField = 4,
  nodeConstant = 5,
  nodeFunction = 10,
  nodeList = 12,
};

// Arithmetic (unary 15 and 16, binary 17 to 20), functions and list operators.
enum : int32_t {
  opNegate = 15,
  opPlus = 16,
  opAdd = 17,
  opSubtract = 18,
  opMultiply = 19,
  opDivide = 20,
  opFirstIdentity = 23,  // 23 to 27 yield their operand unchanged
  opLastIdentity = 27,
  opLike = 31,
  opIn = 32,
  opUpper = 34,
  opLower = 35,
  opBetween = 39,
  opNotBetween = 40,
  opNotLike = 41,
  opNotIn = 42,
  opSubstring = 43,
  opTrimLeft = 44,
  opTrimRight = 45,
  opTrim = 46,
  opYear = 48,
  opMonth = 49,
  opDay = 50,
};

// Value type codes: the engine's field type codes, and 0 for an untyped null.
enum : int32_t {
  valNull = 0,
  valString = 1,
  valDate = 2,
  valBlob = 3,
  valBoolean = 4,
  valSmallInt = 5,
  valInteger = 6,
  valFloat = 7,
  valBcd = 8,
  valBytes = 9,
  valTime = 10,
  valTimeStamp = 11,
  valWord = 12,
};

// The expression buffer's header: version, total size, node count, node area start,
// literal area start, each 16 bits.
constexpr size_t kExprHeaderSize = 10;

}  // namespace ovrin
