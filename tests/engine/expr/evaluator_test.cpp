// The evaluator on hand-built trees: null rules, truth, number widths, dates against
// timestamps, strings with partial length and case, the short-circuit of AND and OR,
// functions, lists and arithmetic; and the decoder on damaged buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "engine/base/coding.h"
#include "engine/base/datetime.h"
#include "engine/base/errors.h"
#include "engine/expr/evaluator.h"

namespace ovrin {
namespace {

TEvalTree Node(int32_t nodeClass, int32_t op, TEvalTree left = nullptr, TEvalTree right = nullptr) {
  auto n = std::make_unique<TEvalNode>();
  n->nodeClass = nodeClass;
  n->op = op;
  n->left = std::move(left);
  n->right = std::move(right);
  return n;
}
TEvalTree Field(const std::string& name) {
  TEvalTree n = Node(nodeField, opField);
  n->fieldName = name;
  return n;
}
TEvalTree Int(int32_t type, int64_t v) {
  TEvalTree n = Node(nodeConstant, opConstant);
  n->type = type;
  switch (type) {
    case valSmallInt: case valWord: case valBoolean: n->SetInt16(static_cast<int16_t>(v)); n->size = 2; break;
    case valBcd: n->SetInt64(v); n->size = 18; break;
    default: n->SetInt32(static_cast<int32_t>(v)); n->size = 4;
  }
  return n;
}
TEvalTree Dbl(int32_t type, double v) {
  TEvalTree n = Node(nodeConstant, opConstant);
  n->type = type;
  n->SetDouble(v);
  n->size = 8;
  return n;
}
TEvalTree Str(const std::string& s) {
  TEvalTree n = Node(nodeConstant, opConstant);
  n->type = valString;
  n->SetText(s);
  n->emptyString = s.empty();
  return n;
}
TEvalTree Null() {
  TEvalTree n = Node(nodeConstant, opConstant);
  n->isNull = true;
  return n;
}
TEvalTree Bin(int32_t op, TEvalTree l, TEvalTree r) { return Node(nodeBinary, op, std::move(l), std::move(r)); }
TEvalTree Cmp(int32_t op, TEvalTree l, TEvalTree r, uint8_t partial, bool caseInsensitive) {
  TEvalTree n = Node(nodeCompare, op, std::move(l), std::move(r));
  n->partial = partial;
  n->caseInsensitive = caseInsensitive;
  return n;
}
// Elements chained along their right links.
TEvalTree Chain(TEvalTree first, TEvalTree second = nullptr) {
  first->right = std::move(second);
  return first;
}

// A record of named field values; counts the fields fetched.
struct TRecord {
  std::map<std::string, TEvalTree> values;  // a value node per field, null when absent
  std::map<std::string, int> fetched;
  TExprFieldValue Callback() {
    return [this](const uint8_t*, TEvalNode& field) {
      ++fetched[field.fieldName];
      auto it = values.find(field.fieldName);
      field.value = {};
      if (it == values.end() || it->second->isNull) {
        field.isNull = true;
        field.type = field.fieldType;
        return;
      }
      field.isNull = false;
      field.type = it->second->type;
      field.value = it->second->value;
    };
  }
};

bool Truth(const TEvalNode& tree, TRecord* record = nullptr) {
  TRecord empty;
  TRecord& r = record ? *record : empty;
  return EvaluateFilter(tree, nullptr, TExprLocale{}, r.Callback());
}

TEST(EvaluatorTest, NullRules) {
  TRecord r;
  // Two null fields are equal; one null side makes "=" false and "<>" true.
  EXPECT_TRUE(Truth(*Bin(opEqual, Field("A"), Field("B")), &r));
  EXPECT_FALSE(Truth(*Bin(opNotEqual, Field("A"), Field("B")), &r));
  r.values["A"] = Int(valInteger, 0);
  EXPECT_FALSE(Truth(*Bin(opEqual, Field("A"), Field("B")), &r));
  EXPECT_TRUE(Truth(*Bin(opNotEqual, Field("A"), Field("B")), &r));
  // Orderings read a null field as its zero bytes: Qty > 5 is false, NOT of it true.
  TRecord q;
  TEvalTree greater = Bin(opGreater, Field("QTY"), Int(valInteger, 5));
  greater->left->fieldType = valInteger;
  EXPECT_FALSE(Truth(*greater, &q));
  EXPECT_TRUE(Truth(*Node(nodeUnary, opNot, std::move(greater)), &q));
  TEvalTree less = Bin(opLess, Field("QTY"), Int(valInteger, 5));
  less->left->fieldType = valInteger;
  EXPECT_TRUE(Truth(*less, &q));
  // Is null and is not null.
  EXPECT_TRUE(Truth(*Node(nodeUnary, opIsNull, Field("QTY")), &q));
  EXPECT_FALSE(Truth(*Node(nodeUnary, opNotNull, Field("QTY")), &q));
  // An untyped null equals only a null side.
  EXPECT_FALSE(Truth(*Bin(opEqual, Int(valInteger, 1), Null())));
  EXPECT_TRUE(Truth(*Bin(opEqual, Null(), Null())));
}

TEST(EvaluatorTest, TruthAndNumberWidths) {
  // A boolean stored as 1 equals the constant 0xFFFF: both are true.
  EXPECT_TRUE(Truth(*Bin(opEqual, Int(valBoolean, 1), Int(valBoolean, -1))));
  EXPECT_FALSE(Truth(*Bin(opEqual, Int(valBoolean, 0), Int(valBoolean, -1))));
  // A 16-bit -1 is not the word 65535.
  EXPECT_FALSE(Truth(*Bin(opEqual, Int(valSmallInt, -1), Int(valWord, 65535))));
  EXPECT_TRUE(Truth(*Bin(opEqual, Int(valSmallInt, 7), Int(valWord, 7))));
  EXPECT_TRUE(Truth(*Bin(opLess, Int(valSmallInt, -1), Int(valWord, 0))));
  EXPECT_FALSE(Truth(*Bin(opEqual, Int(valInteger, 70000), Int(valSmallInt, 4464))));
  // BCD (four implied decimals) against integers and floats.
  EXPECT_TRUE(Truth(*Bin(opEqual, Int(valBcd, 70000), Int(valInteger, 7))));
  EXPECT_TRUE(Truth(*Bin(opGreater, Int(valBcd, 70001), Int(valInteger, 7))));
  EXPECT_TRUE(Truth(*Bin(opEqual, Dbl(valFloat, 2.5), Int(valBcd, 25000))));
  EXPECT_TRUE(Truth(*Bin(opLess, Int(valInteger, 2), Dbl(valFloat, 2.5))));
  // Type pairs that do not compare are false for every operator.
  EXPECT_FALSE(Truth(*Bin(opEqual, Str("1"), Int(valInteger, 1))));
  EXPECT_FALSE(Truth(*Bin(opNotEqual, Str("1"), Int(valInteger, 1))));
}

TEST(EvaluatorTest, DatesTimesAndTimestamps) {
  int32_t day = DayNumber(2001, 3, 1);
  double noon = double(day) * kMsPerDay + 12 * 3600000.0;
  EXPECT_TRUE(Truth(*Bin(opLess, Int(valDate, day), Dbl(valTimeStamp, noon))));
  EXPECT_TRUE(Truth(*Bin(opEqual, Int(valDate, day), Dbl(valTimeStamp, double(day) * kMsPerDay))));
  EXPECT_TRUE(Truth(*Bin(opGreater, Dbl(valTimeStamp, noon), Int(valDate, day))));
  EXPECT_TRUE(Truth(*Bin(opGreater, Int(valTime, 5000), Int(valTime, 4000))));
  EXPECT_FALSE(Truth(*Bin(opEqual, Int(valTime, 5000), Int(valDate, 5000))));
}

TEST(EvaluatorTest, StringsPartialLengthAndCase) {
  EXPECT_TRUE(Truth(*Cmp(opEqual, Str("Smith"), Str("Smyth"), 2, false)));
  EXPECT_FALSE(Truth(*Cmp(opEqual, Str("Smith"), Str("Smyth"), 3, false)));
  EXPECT_TRUE(Truth(*Cmp(opNotEqual, Str("Smith"), Str("Smyth"), 3, false)));
  EXPECT_TRUE(Truth(*Cmp(opEqual, Str("SMITH"), Str("smith"), 0, true)));
  EXPECT_FALSE(Truth(*Cmp(opEqual, Str("SMITH"), Str("smith"), 0, false)));
  // Without a partial length a shorter text is below a longer one it begins.
  EXPECT_TRUE(Truth(*Bin(opLess, Str("Sm"), Str("Smith"))));
  EXPECT_FALSE(Truth(*Bin(opEqual, Str("Sm"), Str("Smith"))));
  // The compare node: only strings and nulls.
  EXPECT_FALSE(Truth(*Cmp(opEqual, Int(valInteger, 1), Int(valInteger, 1), 0, false)));
  EXPECT_FALSE(Truth(*Cmp(opNotEqual, Int(valInteger, 1), Int(valInteger, 2), 0, false)));
  EXPECT_TRUE(Truth(*Cmp(opNotEqual, Str("a"), Null(), 0, false)));
  EXPECT_FALSE(Truth(*Cmp(opEqual, Str("a"), Null(), 0, false)));
  // With a locale the collation decides.
  TExprLocale german{0x0407, 0};
  EXPECT_TRUE(EvaluateFilter(*Cmp(opEqual, Str("\xC4rger"), Str("\xE4rger"), 0, true), nullptr, german, {}));
}

TEST(EvaluatorTest, AndAndOrDecideOnTheirRightOperandFirst) {
  TRecord r;
  r.values["A"] = Int(valInteger, 1);
  r.values["B"] = Int(valInteger, 2);
  // Right operand false: the AND is false and A is never fetched.
  EXPECT_FALSE(Truth(*Bin(opAnd, Bin(opEqual, Field("A"), Int(valInteger, 1)),
                          Bin(opEqual, Field("B"), Int(valInteger, 3))),
                     &r));
  EXPECT_EQ(r.fetched["A"], 0);
  EXPECT_EQ(r.fetched["B"], 1);
  // Right operand true: the OR is true and A is never fetched.
  EXPECT_TRUE(Truth(*Bin(opOr, Bin(opEqual, Field("A"), Int(valInteger, 9)),
                         Bin(opEqual, Field("B"), Int(valInteger, 2))),
                    &r));
  EXPECT_EQ(r.fetched["A"], 0);
  // Otherwise the left operand decides.
  EXPECT_TRUE(Truth(*Bin(opAnd, Bin(opEqual, Field("A"), Int(valInteger, 1)),
                         Bin(opEqual, Field("B"), Int(valInteger, 2))),
                    &r));
  EXPECT_FALSE(Truth(*Bin(opOr, Bin(opEqual, Field("A"), Int(valInteger, 9)),
                          Bin(opEqual, Field("B"), Int(valInteger, 9))),
                     &r));
  EXPECT_EQ(r.fetched["A"], 2);
}

TEST(EvaluatorTest, FunctionsListsAndArithmetic) {
  auto eval = [](const TEvalTree& t) { return Evaluate(*t, nullptr, TExprLocale{}, {}); };
  auto fn = [](int32_t op, TEvalTree first, TEvalTree second = nullptr, TEvalTree third = nullptr) {
    if (second) second->right = std::move(third);
    return Node(nodeFunction, op, std::move(first), std::move(second));
  };
  EXPECT_EQ(eval(fn(opUpper, Str("abc"))).Text(), "ABC");
  EXPECT_EQ(eval(fn(opLower, Str("AbC"))).Text(), "abc");
  EXPECT_EQ(eval(fn(25, Str("same"))).Text(), "same");
  EXPECT_EQ(eval(fn(opSubstring, Str("archive"), Int(valInteger, 2), Int(valInteger, 3))).Text(), "rch");
  EXPECT_EQ(eval(fn(opSubstring, Str("archive"), Int(valInteger, 5))).Text(), "ive");
  EXPECT_EQ(eval(fn(opSubstring, Str("archive"), Int(valInteger, 50))).Text(), "");
  EXPECT_EQ(eval(fn(opTrim, Str("xxabxx"), Str("x"))).Text(), "ab");
  EXPECT_EQ(eval(fn(opTrimLeft, Str("  ab  "))).Text(), "ab  ");
  EXPECT_EQ(eval(fn(opTrimRight, Str("  ab  "))).Text(), "  ab");
  int32_t day = DayNumber(2001, 3, 9);
  EXPECT_EQ(eval(fn(opYear, Int(valDate, day))).Int32(), 2001);
  EXPECT_EQ(eval(fn(opMonth, Dbl(valTimeStamp, double(day) * kMsPerDay + 5000))).Int32(), 3);
  EXPECT_EQ(eval(fn(opDay, Int(valDate, day))).Int32(), 9);

  auto list = [](int32_t op, TEvalTree value, TEvalTree elements) {
    return Node(nodeList, op, std::move(value), std::move(elements));
  };
  EXPECT_TRUE(Truth(*list(opLike, Str("unit1.pas"), Str("unit_.%"))));
  EXPECT_FALSE(Truth(*list(opLike, Str("unit12.pas"), Str("unit_.%"))));
  EXPECT_TRUE(Truth(*list(opLike, Str("abc"), Str("%%c"))));
  EXPECT_TRUE(Truth(*list(opNotLike, Str("abc"), Str("b%"))));
  EXPECT_FALSE(Truth(*list(opNotLike, Str("abc"), Null())));  // a null side: false for both forms
  EXPECT_TRUE(Truth(*list(opIn, Int(valInteger, 3), Chain(Int(valInteger, 1), Chain(Int(valInteger, 3))))));
  EXPECT_FALSE(Truth(*list(opIn, Int(valInteger, 4), Chain(Int(valInteger, 1), Chain(Int(valInteger, 3))))));
  EXPECT_TRUE(Truth(*list(opNotIn, Int(valInteger, 4), Chain(Int(valInteger, 1)))));
  EXPECT_TRUE(Truth(*list(opBetween, Int(valInteger, 3), Chain(Int(valInteger, 1), Int(valInteger, 3)))));
  EXPECT_FALSE(Truth(*list(opBetween, Int(valInteger, 0), Chain(Int(valInteger, 1), Int(valInteger, 3)))));
  EXPECT_TRUE(Truth(*list(opNotBetween, Int(valInteger, 4), Chain(Int(valInteger, 1), Int(valInteger, 3)))));

  // Addition's promotions.
  TEvalNode s = eval(Bin(opAdd, Str("ab"), Str("cd")));
  EXPECT_EQ(s.type, valString);
  EXPECT_EQ(s.Text(), "abcd");
  TEvalNode i = eval(Bin(opAdd, Int(valSmallInt, 30000), Int(valWord, 60000)));
  EXPECT_EQ(i.type, valInteger);
  EXPECT_EQ(i.Int32(), 90000);
  TEvalNode f = eval(Bin(opAdd, Int(valInteger, 2), Dbl(valFloat, 0.5)));
  EXPECT_EQ(f.type, valFloat);
  EXPECT_EQ(f.Double(), 2.5);
  TEvalTree bcd = Int(valBcd, 12345);  // 1.2345, kept to two decimals
  bcd->decimals = 2;
  TEvalNode b = eval(Bin(opAdd, std::move(bcd), Int(valInteger, 1)));
  EXPECT_EQ(b.type, valBcd);
  EXPECT_EQ(b.Int64(), 22300);
  TEvalNode d = eval(Bin(opAdd, Int(valInteger, 3), Int(valDate, day)));
  EXPECT_EQ(d.type, valDate);
  EXPECT_EQ(d.Int32(), day + 3);
  TEvalNode t = eval(Bin(opAdd, Dbl(valTimeStamp, double(day) * kMsPerDay + 5000), Int(valInteger, -1)));
  EXPECT_EQ(t.Double(), double(day - 1) * kMsPerDay + 5000);
  EXPECT_FALSE(eval(Bin(opAdd, Int(valBoolean, 1), Int(valInteger, 1))).Truth());
  EXPECT_FALSE(eval(Bin(opAdd, Null(), Int(valInteger, 1))).Truth());
  EXPECT_EQ(eval(Bin(opSubtract, Int(valInteger, 10), Int(valInteger, 4))).Int32(), 6);
  EXPECT_EQ(eval(Bin(opMultiply, Int(valInteger, 10), Int(valInteger, 4))).Int32(), 40);
  EXPECT_EQ(eval(Bin(opDivide, Int(valInteger, 10), Int(valInteger, 4))).Int32(), 2);
  EXPECT_FALSE(eval(Bin(opDivide, Int(valInteger, 10), Int(valInteger, 0))).Truth());
  // Negation keeps the width of its operand.
  EXPECT_EQ(eval(Node(nodeUnary, opNegate, Int(valSmallInt, 5))).Int16(), -5);
  EXPECT_EQ(eval(Node(nodeUnary, opNegate, Dbl(valFloat, 1.5))).Double(), -1.5);
  EXPECT_EQ(eval(Node(nodeUnary, opPlus, Int(valInteger, 5))).Int32(), 5);
}

TEST(EvaluatorTest, ResultsAreConstantsAndTheTreeIsOnlyRead) {
  TEvalTree tree = Bin(opEqual, Field("A"), Int(valInteger, 1));
  TEvalTree copy = CopyExpression(*tree);
  TRecord r;
  r.values["A"] = Int(valInteger, 1);
  TEvalNode result = Evaluate(*tree, nullptr, TExprLocale{}, r.Callback());
  EXPECT_EQ(result.nodeClass, nodeConstant);
  EXPECT_EQ(result.op, opConstant);
  EXPECT_FALSE(result.left || result.right);
  EXPECT_EQ(result.type, valBoolean);
  EXPECT_EQ(result.Int16(), -1);
  EXPECT_EQ(tree->left->value, copy->left->value);  // the field node kept its value
  EXPECT_NE(copy->left.get(), tree->left.get());
  EXPECT_EQ(copy->left->fieldName, "A");
  EXPECT_EQ(copy->right->Int32(), 1);
}

// A hand-made buffer: QTY = 5, as the parser lays it out.
std::vector<uint8_t> QtyIsFive() {
  return {0, 0, 56, 0, 0xFF, 0xFF, 10, 0, 48, 0, 2, 0, 0, 0, 3, 0, 0, 0, 12, 0, 24, 0, 4, 0, 0, 0, 13, 0,
          0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 14, 0, 0, 0, 6, 0, 4, 0, 4, 0, 'Q', 'T', 'Y', 0, 5, 0, 0, 0};
}

TEST(DecoderTest, ABufferDecodesAndDamageIsAnError) {
  std::vector<std::string> looked;
  TExprFieldLookup lookup = [&](const std::string& name) {
    looked.push_back(name);
    return TExprField{2, valInteger, 4, 0};
  };
  std::vector<uint8_t> b = QtyIsFive();
  TEvalTree t = DecodeExpression(b.data(), b.size(), lookup);
  EXPECT_EQ(looked, std::vector<std::string>{"QTY"});
  EXPECT_EQ(t->left->fieldNumber, 2);
  EXPECT_EQ(t->left->fieldType, valInteger);
  EXPECT_EQ(t->right->Int32(), 5);
  TRecord r;
  r.values["QTY"] = Int(valInteger, 5);
  EXPECT_TRUE(Truth(*t, &r));

  auto fails = [&](std::vector<uint8_t> damaged) {
    try {
      DecodeExpression(damaged.data(), damaged.size(), lookup);
    } catch (const EDatabaseError& e) {
      return e.Message() == "Incorrectly formed filter expression";
    }
    return false;
  };
  std::vector<uint8_t> d = b;
  d[18] = 0;  // the left operand points back at its own node
  d[19] = 0;
  d[20] = 0;
  EXPECT_FALSE(fails(d));  // offset 0 means no operand: it decodes with a side missing
  d = b;
  d[18] = 4;  // an operand inside its parent
  EXPECT_TRUE(fails(d));
  d = b;
  d[2] = 200;  // a total beyond the buffer
  EXPECT_TRUE(fails(d));
  d = b;
  d[44] = 250;  // a constant larger than its literal area
  EXPECT_TRUE(fails(d));
  d = b;
  for (size_t i = 51; i < d.size(); ++i) d[i] = 'X';  // a field name without its terminator
  EXPECT_TRUE(fails(d));
  d = b;
  d[10] = 7;  // an unknown node class
  EXPECT_TRUE(fails(d));
  EXPECT_TRUE(fails(std::vector<uint8_t>(b.begin(), b.begin() + 9)));

  // Random damage: an error or a tree, never a crash.
  unsigned seed = std::getenv("OVRIN_SEED") ? static_cast<unsigned>(std::atoi(std::getenv("OVRIN_SEED"))) : 7u;
  SCOPED_TRACE("OVRIN_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 20000; ++i) {
    d = b;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k) d[rng() % d.size()] = static_cast<uint8_t>(rng());
    if (rng() % 5 == 0) d.resize(rng() % d.size());
    try {
      TEvalTree tree = DecodeExpression(d.data(), d.size(), lookup);
      Evaluate(*tree, nullptr, TExprLocale{}, r.Callback());
    } catch (const EDatabaseError&) {
    }
  }
}

}  // namespace
}  // namespace ovrin
