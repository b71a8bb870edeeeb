#include "engine/expr/evaluator.h"

#include <cmath>
#include <cstring>
#include <optional>

#include "engine/base/coding.h"
#include "engine/base/conversions.h"
#include "engine/base/datetime.h"
#include "engine/base/errors.h"

namespace ovrin {

// ---- the value area

std::string TEvalNode::Text() const {
  const char* p = reinterpret_cast<const char*>(value.data());
  return std::string(p, strnlen(p, value.size()));
}
void TEvalNode::SetText(const std::string& text) {
  value.fill(0);
  std::memcpy(value.data(), text.data(), std::min(text.size(), value.size() - 1));
  size = static_cast<int32_t>(std::min(text.size(), value.size() - 1)) + 1;
}
int16_t TEvalNode::Int16() const { return LoadLEI16(value.data()); }
int32_t TEvalNode::Int32() const { return LoadLEI32(value.data()); }
int64_t TEvalNode::Int64() const { return LoadLEI64(value.data()); }
double TEvalNode::Double() const { return LoadLEDouble(value.data()); }
void TEvalNode::SetInt16(int16_t v) { StoreLE16(value.data(), static_cast<uint16_t>(v)); }
void TEvalNode::SetInt32(int32_t v) { StoreLE32(value.data(), static_cast<uint32_t>(v)); }
void TEvalNode::SetInt64(int64_t v) { StoreLE64(value.data(), static_cast<uint64_t>(v)); }
void TEvalNode::SetDouble(double v) { StoreLEDouble(value.data(), v); }
void TEvalNode::SetBoolean(bool v) {
  value.fill(0);
  type = valBoolean;
  size = 2;
  SetInt16(v ? -1 : 0);
}

// ---- decoding

namespace {

constexpr int kMaxDepth = 2048;

[[noreturn]] void Malformed() { throw EDatabaseError("Incorrectly formed filter expression"); }

struct TDecoder {
  const uint8_t* buffer;
  size_t total, nodeStart, literalStart;
  const TExprFieldLookup& lookup;

  uint16_t Operand(size_t at, int i) const {
    size_t o = at + 8 + 2 * static_cast<size_t>(i);
    if (o + 2 > literalStart) Malformed();
    return LoadLE16(buffer + o);
  }
  // An operand node: nothing for offset 0; operands always follow their node.
  TEvalTree Child(uint16_t offset, uint16_t parent, int depth) const {
    if (offset == 0) return nullptr;
    if (offset <= parent) Malformed();
    return Node(offset, depth + 1);
  }
  TEvalTree Node(uint16_t offset, int depth) const {
    if (depth > kMaxDepth) Malformed();
    size_t at = nodeStart + offset;
    if (at + 8 > literalStart) Malformed();
    auto node = std::make_unique<TEvalNode>();
    node->nodeClass = LoadLEI32(buffer + at);
    node->op = LoadLEI32(buffer + at + 4);
    switch (node->nodeClass) {
      case nodeUnary: node->left = Child(Operand(at, 0), offset, depth); break;
      case nodeBinary:
        node->left = Child(Operand(at, 0), offset, depth);
        node->right = Child(Operand(at, 1), offset, depth);
        break;
      case nodeCompare:
        node->caseInsensitive = Operand(at, 0) != 0;
        node->partial = static_cast<uint8_t>(Operand(at, 1) & 0xFF);
        node->left = Child(Operand(at, 2), offset, depth);
        node->right = Child(Operand(at, 3), offset, depth);
        break;
      case nodeField: {
        size_t name = literalStart + Operand(at, 1);
        const void* end = name < total ? std::memchr(buffer + name, 0, total - name) : nullptr;
        if (!end) Malformed();
        node->fieldName.assign(reinterpret_cast<const char*>(buffer + name),
                               static_cast<const uint8_t*>(end) - (buffer + name));
        TExprField f = lookup(node->fieldName);
        node->fieldNumber = f.number;
        node->fieldType = node->type = f.type;
        node->fieldSize = f.size;
        node->fieldDecimals = node->decimals = f.decimals;
        break;
      }
      case nodeConstant: {
        node->type = Operand(at, 0) & 0xFF;
        size_t size = Operand(at, 1);
        if (size > node->value.size()) Malformed();
        node->size = static_cast<int32_t>(size);
        if (node->type == valString && size == 1) {
          node->emptyString = true;
          break;
        }
        size_t from = literalStart + Operand(at, 2);
        if (from + size > total) Malformed();
        if (size) std::memcpy(node->value.data(), buffer + from, size);
        break;
      }
      default: Malformed();
    }
    return node;
  }
};

}  // namespace

TEvalTree DecodeExpression(const uint8_t* buffer, size_t size, const TExprFieldLookup& lookup) {
  if (!buffer || size < kExprHeaderSize) Malformed();
  size_t total = LoadLE16(buffer + 2), nodeStart = LoadLE16(buffer + 6), literalStart = LoadLE16(buffer + 8);
  if (total > size || nodeStart < kExprHeaderSize || literalStart < nodeStart + 8 || literalStart > total) Malformed();
  try {
    return TDecoder{buffer, total, nodeStart, literalStart, lookup}.Node(0, 0);
  } catch (const std::bad_alloc&) {
    RaiseEngineErrorCode(11016);
  }
}

TEvalTree CopyExpression(const TEvalNode& node) {
  auto copy = std::make_unique<TEvalNode>();
  copy->nodeClass = node.nodeClass;
  copy->op = node.op;
  copy->indexResult = node.indexResult;
  copy->fieldName = node.fieldName;
  copy->fieldNumber = node.fieldNumber;
  copy->fieldType = node.fieldType;
  copy->fieldSize = node.fieldSize;
  copy->fieldDecimals = node.fieldDecimals;
  copy->value = node.value;
  copy->isNull = node.isNull;
  copy->partial = node.partial;
  copy->caseInsensitive = node.caseInsensitive;
  copy->type = node.type;
  copy->size = node.size;
  copy->decimals = node.decimals;
  copy->emptyString = node.emptyString;
  if (node.left) copy->left = CopyExpression(*node.left);
  if (node.right) copy->right = CopyExpression(*node.right);
  return copy;
}

// ---- evaluation

namespace {

bool IsIntegerType(int32_t t) { return t == valSmallInt || t == valInteger || t == valWord; }
bool IsNumberType(int32_t t) { return IsIntegerType(t) || t == valFloat || t == valBcd; }

int64_t IntegerOf(const TEvalNode& n) {
  switch (n.type) {
    case valSmallInt: return n.Int16();
    case valWord: return static_cast<uint16_t>(n.Int16());
    case valFloat: return static_cast<int64_t>(n.Double());
    case valBcd: return n.Int64() / 10000;
    default: return n.Int32();
  }
}

template <typename T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareText(const std::string& a, const std::string& b, bool caseInsensitive, size_t partial,
                const TExprLocale& locale) {
  return CompareStrings(locale.language, locale.sort, a, b, caseInsensitive, partial);
}

// The order of two values, or nothing for a pair of types that do not compare.
std::optional<int> CompareValues(const TEvalNode& a, const TEvalNode& b, const TExprLocale& locale) {
  if (a.type == valString && b.type == valString) return CompareText(a.Text(), b.Text(), false, 0, locale);
  if (IsNumberType(a.type) && IsNumberType(b.type)) {
    if (a.type == valFloat || b.type == valFloat) {
      auto asDouble = [](const TEvalNode& n) {
        return n.type == valFloat ? n.Double() : n.type == valBcd ? n.Int64() / 10000.0 : double(IntegerOf(n));
      };
      return Order(asDouble(a), asDouble(b));
    }
    if (a.type == valBcd || b.type == valBcd) {
      auto fixed = [](const TEvalNode& n) { return n.type == valBcd ? __int128(n.Int64()) : __int128(IntegerOf(n)) * 10000; };
      return Order(fixed(a), fixed(b));
    }
    return Order(IntegerOf(a), IntegerOf(b));
  }
  if ((a.type == valDate && b.type == valDate) || (a.type == valTime && b.type == valTime))
    return Order(a.Int32(), b.Int32());
  auto stamp = [](const TEvalNode& n) { return n.type == valDate ? double(n.Int32()) * kMsPerDay : n.Double(); };
  if ((a.type == valDate || a.type == valTimeStamp) && (b.type == valDate || b.type == valTimeStamp))
    return Order(stamp(a), stamp(b));
  if (a.type == valBoolean && b.type == valBoolean) return Order(int(a.Truth()), int(b.Truth()));
  return std::nullopt;
}

// Add, subtract, multiply or divide in a number form whose unit is `unit` (1 for plain
// numbers, 10,000 for fixed-point values with four decimals); false for a division by 0.
template <typename T>
bool Apply(int32_t op, T x, T y, T unit, T* v) {
  switch (op) {
    case opAdd: *v = x + y; return true;
    case opSubtract: *v = x - y; return true;
    case opMultiply: *v = x * y / unit; return true;
    default:
      if (y == 0) return false;
      *v = x * unit / y;
      return true;
  }
}

bool Holds(int32_t op, int order) {
  switch (op) {
    case opEqual: return order == 0;
    case opNotEqual: return order != 0;
    case opGreater: return order > 0;
    case opLess: return order < 0;
    case opGreaterEqual: return order >= 0;
    case opLessEqual: return order <= 0;
    default: return false;
  }
}

bool Comparison(int32_t op, const TEvalNode& a, const TEvalNode& b, const TExprLocale& locale) {
  if (op == opEqual || op == opNotEqual) {
    bool equal;
    if (a.isNull != b.isNull) equal = false;
    else if (a.isNull) equal = true;
    else if (a.type == valNull || b.type == valNull) equal = (a.type == valNull ? b.isNull : a.isNull);
    else {
      std::optional<int> order = CompareValues(a, b, locale);
      if (!order) return false;
      equal = *order == 0;
    }
    return op == opEqual ? equal : !equal;
  }
  // Orderings compare the values as fetched: a null field reads as zero bytes.
  std::optional<int> order = CompareValues(a, b, locale);
  return order && Holds(op, *order);
}

bool LikeMatch(const std::string& text, size_t t, const std::string& pattern, size_t p) {
  // Iterative matching with one backtrack point for the last '%'.
  size_t starP = std::string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '_' || (pattern[p] != '%' && pattern[p] == text[t]))) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '%') {
      starP = p++;
      starT = t;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

class TEvaluator {
 public:
  TEvaluator(const uint8_t* record, const TExprLocale& locale, const TExprFieldValue& fieldValue)
      : record_(record), locale_(locale), fieldValue_(fieldValue) {}

  TEvalNode Eval(const TEvalNode& n) {
    TEvalNode r;
    switch (n.nodeClass) {
      case nodeUnary: r = Unary(n); break;
      case nodeBinary: r = Binary(n); break;
      case nodeCompare: r = CompareNode(n); break;
      case nodeField: r = Field(n); break;
      case nodeConstant: r = Constant(n); break;
      case nodeFunction: r = Function(n); break;
      case nodeList: r = List(n); break;
      default: r.SetBoolean(false); break;
    }
    r.nodeClass = nodeConstant;
    r.op = opConstant;
    r.left.reset();
    r.right.reset();
    return r;
  }

 private:
  TEvalNode Operand(const std::unique_ptr<TEvalNode>& n) {
    if (n) return Eval(*n);
    TEvalNode none;
    none.isNull = true;
    return none;
  }
  static TEvalNode Boolean(bool v) {
    TEvalNode r;
    r.SetBoolean(v);
    return r;
  }

  TEvalNode Constant(const TEvalNode& n) {
    TEvalNode r;
    r.value = n.value;
    r.type = n.type;
    r.size = n.size;
    r.decimals = n.decimals;
    r.emptyString = n.emptyString;
    r.isNull = n.isNull || n.type == valNull;
    return r;
  }

  TEvalNode Field(const TEvalNode& n) {
    TEvalNode r = Constant(n);
    r.fieldName = n.fieldName;
    r.fieldNumber = n.fieldNumber;
    r.fieldType = n.fieldType;
    r.fieldSize = n.fieldSize;
    r.fieldDecimals = n.fieldDecimals;
    r.decimals = n.fieldDecimals;
    if (fieldValue_) fieldValue_(record_, r);
    return r;
  }

  TEvalNode Unary(const TEvalNode& n) {
    TEvalNode a = Operand(n.left);
    switch (n.op) {
      case opIsNull: return Boolean(a.isNull);
      case opNotNull: return Boolean(!a.isNull);
      case opNot: return Boolean(a.Int16() == 0);
      case opNegate:
        switch (a.type) {
          case valDate: case valInteger: case valTime: a.SetInt32(static_cast<int32_t>(0u - static_cast<uint32_t>(a.Int32()))); break;
          case valSmallInt: case valWord: a.SetInt16(static_cast<int16_t>(0u - static_cast<uint16_t>(a.Int16()))); break;
          case valFloat: case valTimeStamp: a.SetDouble(-a.Double()); break;
          case valBcd: a.SetInt64(RoundCurrency(a.Int64() == INT64_MIN ? INT64_MAX : -a.Int64(), a.decimals)); break;
          default: break;
        }
        return a;
      default: return a;  // 16 plus: the value unchanged
    }
  }

  TEvalNode Binary(const TEvalNode& n) {
    // The right operand first: it can decide AND and OR without the left one.
    TEvalNode right = Operand(n.right);
    if (n.op == opAnd && !right.Truth()) return right;
    if (n.op == opOr && right.Truth()) return right;
    TEvalNode left = Operand(n.left);
    switch (n.op) {
      case opAnd: case opOr: return Boolean(left.Truth());
      case opAdd: case opSubtract: case opMultiply: case opDivide: return Arithmetic(n.op, left, right);
      default: return Boolean(Comparison(n.op, left, right, locale_));
    }
  }

  TEvalNode CompareNode(const TEvalNode& n) {
    TEvalNode a = Operand(n.left), b = Operand(n.right);
    bool equal;
    if (a.isNull != b.isNull) equal = false;
    else if (a.type == valNull || b.type == valNull) equal = a.type == valNull ? b.isNull : a.isNull;
    else if (a.type == valString && b.type == valString)
      equal = CompareText(a.Text(), b.Text(), n.caseInsensitive, n.partial, locale_) == 0;
    else return Boolean(false);  // other type pairs hold for neither operator
    return Boolean(n.op == opNotEqual ? !equal : equal);
  }

  TEvalNode Arithmetic(int32_t op, const TEvalNode& a, const TEvalNode& b) {
    auto unusable = [](int32_t t) { return t == valNull || t == valBlob || t == valBoolean || t == valBytes; };
    if (unusable(a.type) || unusable(b.type)) return Boolean(false);
    TEvalNode r;
    r.isNull = a.isNull || b.isNull;
    if (a.type == valString && b.type == valString) {
      if (op != opAdd) return Boolean(false);
      r.type = valString;
      r.SetText(a.Text() + b.Text());
      return r;
    }
    // Dates and timestamps move by whole days.
    auto moved = [&](const TEvalNode& when, const TEvalNode& days, int sign) {
      r.type = when.type;
      int64_t n = IntegerOf(days) * sign;
      if (when.type == valDate) {
        r.size = 4;
        r.SetInt32(static_cast<int32_t>(when.Int32() + n));
      } else {
        r.size = 8;
        r.SetDouble(when.Double() + static_cast<double>(n) * kMsPerDay);
      }
    };
    bool aWhen = a.type == valDate || a.type == valTimeStamp, bWhen = b.type == valDate || b.type == valTimeStamp;
    if (aWhen && IsIntegerType(b.type) && (op == opAdd || op == opSubtract)) {
      moved(a, b, op == opAdd ? 1 : -1);
      return r;
    }
    if (bWhen && IsIntegerType(a.type) && op == opAdd) {
      moved(b, a, 1);
      return r;
    }
    if (!IsNumberType(a.type) || !IsNumberType(b.type)) return Boolean(false);
    if (a.type == valFloat || b.type == valFloat) {
      auto d = [](const TEvalNode& n) {
        return n.type == valFloat ? n.Double() : n.type == valBcd ? n.Int64() / 10000.0 : double(IntegerOf(n));
      };
      double v;
      if (!Apply(op, d(a), d(b), 1.0, &v)) return Boolean(false);
      r.type = valFloat;
      r.size = 8;
      r.SetDouble(v);
      return r;
    }
    if (a.type == valBcd || b.type == valBcd) {
      auto fixed = [](const TEvalNode& n) { return n.type == valBcd ? __int128(n.Int64()) : __int128(IntegerOf(n)) * 10000; };
      __int128 v;
      if (!Apply(op, fixed(a), fixed(b), __int128(10000), &v)) return Boolean(false);
      if (v > INT64_MAX || v < INT64_MIN) return Boolean(false);
      r.type = valBcd;
      r.size = 18;
      r.decimals = a.type == valBcd ? a.decimals : b.decimals;
      r.SetInt64(RoundCurrency(static_cast<int64_t>(v), r.decimals));
      return r;
    }
    int64_t v;
    if (!Apply(op, IntegerOf(a), IntegerOf(b), int64_t{1}, &v)) return Boolean(false);
    r.type = valInteger;
    r.size = 4;
    r.SetInt32(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))));
    return r;
  }

  TEvalNode Function(const TEvalNode& n) {
    TEvalNode r = Operand(n.left);
    if (n.op >= opFirstIdentity && n.op <= opLastIdentity) return r;
    switch (n.op) {
      case opUpper: r.SetText(UpperCopy(locale_.language, locale_.sort, r.Text())); return r;
      case opLower: r.SetText(LowerCopy(locale_.language, locale_.sort, r.Text())); return r;
      case opSubstring: {
        std::string text = r.Text();
        int64_t from = n.right ? IntegerOf(Eval(*n.right)) : 1;
        std::optional<int64_t> length;
        if (n.right && n.right->right) length = IntegerOf(Eval(*n.right->right));
        size_t start = from < 1 ? 0 : static_cast<size_t>(from - 1);
        std::string part = start >= text.size() ? std::string()
                                                 : text.substr(start, length ? static_cast<size_t>(std::max<int64_t>(*length, 0))
                                                                             : std::string::npos);
        r.SetText(part);
        return r;
      }
      case opTrimLeft: case opTrimRight: case opTrim: {
        char c = ' ';
        if (n.right) {
          std::string t = Eval(*n.right).Text();
          if (!t.empty()) c = t[0];
        }
        std::string text = r.Text();
        size_t from = 0, to = text.size();
        if (n.op != opTrimRight)
          while (from < to && text[from] == c) ++from;
        if (n.op != opTrimLeft)
          while (to > from && text[to - 1] == c) --to;
        r.SetText(text.substr(from, to - from));
        return r;
      }
      case opYear: case opMonth: case opDay: {
        int32_t day;
        if (r.type == valDate) day = r.Int32();
        else if (r.type == valTimeStamp) day = static_cast<int32_t>(std::floor(r.Double() / kMsPerDay));
        else return Boolean(false);
        int y = 0, m = 0, d = 0;
        DayNumberToDate(day, &y, &m, &d);
        bool wasNull = r.isNull;
        r = TEvalNode();
        r.isNull = wasNull;
        r.type = valInteger;
        r.size = 4;
        r.SetInt32(n.op == opYear ? y : n.op == opMonth ? m : d);
        return r;
      }
      default: return Boolean(false);
    }
  }

  TEvalNode List(const TEvalNode& n) {
    TEvalNode left = Operand(n.left);
    bool result = false;
    switch (n.op) {
      case opLike: case opNotLike: {
        TEvalNode pattern = Operand(n.right);
        if (left.isNull || pattern.isNull) return Boolean(false);
        result = LikeMatch(left.Text(), 0, pattern.Text(), 0);
        return Boolean(n.op == opLike ? result : !result);
      }
      case opIn: case opNotIn:
        for (const TEvalNode* e = n.right.get(); e && !result; e = e->right.get())
          result = Comparison(opEqual, left, Eval(*e), locale_);
        return Boolean(n.op == opIn ? result : !result);
      case opBetween: case opNotBetween: {
        const TEvalNode* low = n.right.get();
        result = low && Comparison(opGreaterEqual, left, Eval(*low), locale_);
        if (result) result = low->right && Comparison(opLessEqual, left, Eval(*low->right), locale_);
        return Boolean(n.op == opBetween ? result : !result);
      }
      default: return Boolean(false);
    }
  }

  const uint8_t* record_;
  const TExprLocale& locale_;
  const TExprFieldValue& fieldValue_;
};

}  // namespace

TEvalNode Evaluate(const TEvalNode& node, const uint8_t* record, const TExprLocale& locale,
                   const TExprFieldValue& fieldValue) {
  return TEvaluator(record, locale, fieldValue).Eval(node);
}

bool EvaluateFilter(const TEvalNode& node, const uint8_t* record, const TExprLocale& locale,
                    const TExprFieldValue& fieldValue) {
  return Evaluate(node, record, locale, fieldValue).Truth();
}

}  // namespace ovrin
