// Expression evaluation: the expression buffer decoded into a tree of evaluation nodes,
// deep copies of trees, and the evaluator that walks a tree for one record and yields a
// value (a boolean for filters).
//
// Values are held in the engine's stored form of their type: strings zero-terminated,
// 16-bit small integers, words and booleans (-1 true, 0 false; any nonzero value reads
// as true), 32-bit integers, dates (day numbers) and times (milliseconds of the day),
// 64-bit doubles for floats and timestamps, and BCD as a 64-bit fixed-point value with
// four implied decimals followed by ten zero bytes.
//
// Functions take their first operand from the left link and the further ones along the
// right links (second = right, third = right's right). Lists take the tested value from
// the left link and their elements along the right links (first element = right).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/expr/expr_codes.h"

namespace ovrin {

struct TEvalNode {
  int32_t nodeClass = 0;
  int32_t op = 0;
  int32_t indexResult = 0;  // the index-level filters' verdict: 0, 1 or 2
  std::unique_ptr<TEvalNode> left, right;
  // A field node's field.
  std::string fieldName;
  int32_t fieldNumber = 0, fieldType = 0, fieldSize = 0, fieldDecimals = 0;
  // The current value.
  std::array<uint8_t, 256> value{};
  bool isNull = false;
  // A compare node's partial length (0 = whole value) and case flag.
  uint8_t partial = 0;
  bool caseInsensitive = false;
  int32_t type = 0, size = 0, decimals = 0;
  bool emptyString = false;  // a constant that is the empty string

  // Typed access to the value area.
  std::string Text() const;
  void SetText(const std::string& text);
  int16_t Int16() const;
  int32_t Int32() const;
  int64_t Int64() const;
  double Double() const;
  void SetInt16(int16_t v);
  void SetInt32(int32_t v);
  void SetInt64(int64_t v);
  void SetDouble(double v);
  void SetBoolean(bool v);
  // A 16-bit value read as a truth.
  bool Truth() const { return Int16() != 0; }
};

using TEvalTree = std::unique_ptr<TEvalNode>;

// A field of the data file, as a field node takes it.
struct TExprField {
  int32_t number = 0, type = 0, size = 0, decimals = 0;
};
// Looks a field up by name; raises the data file's error when there is none.
using TExprFieldLookup = std::function<TExprField(const std::string& name)>;
// Fills a field node's value, null flag and type from the record image.
using TExprFieldValue = std::function<void(const uint8_t* record, TEvalNode& field)>;

// Decodes an expression buffer; a buffer that does not hold a well-formed tree raises
// EDatabaseError("Incorrectly formed filter expression").
TEvalTree DecodeExpression(const uint8_t* buffer, size_t size, const TExprFieldLookup& lookup);
TEvalTree CopyExpression(const TEvalNode& node);

// The table's locale (language 0: none) for string comparisons and case mapping.
struct TExprLocale {
  uint16_t language = 0, sort = 0;
};

// Evaluates the tree for one record: the result as a constant node without links. The
// tree is only read. `fieldValue` may be empty (field nodes keep their decoded value).
TEvalNode Evaluate(const TEvalNode& node, const uint8_t* record, const TExprLocale& locale,
                   const TExprFieldValue& fieldValue);
// The truth of a filter's result.
bool EvaluateFilter(const TEvalNode& node, const uint8_t* record, const TExprLocale& locale,
                    const TExprFieldValue& fieldValue);

}  // namespace ovrin
