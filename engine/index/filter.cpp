#include "engine/index/filter.h"

#include <algorithm>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/format/table_format.h"
#include "engine/index/keys.h"

namespace ovrin {

TFilter::TFilter(TIndexFile& index, TFilterHost& host, TEvalTree tree, bool combine)
    : index_(index), host_(host), tree_(std::move(tree)), combine_(combine) {
  level_ = tree_ ? NodeLevel(*tree_) : 2;
}

TFilter::TFilter(TIndexFile& index, TFilterHost& host, TRecordCallback callback, bool combine)
    : index_(index), host_(host), callback_(std::move(callback)), combine_(combine), level_(2) {}

// ---- optimisation levels

const TEvalNode* TFilter::FieldOf(const TEvalNode& node) const {
  const TEvalNode* field = node.nodeClass == nodeCompare || node.nodeClass == nodeBinary || node.nodeClass == nodeUnary
                               ? node.left.get()
                               : nullptr;
  return field && field->nodeClass == nodeField ? field : nullptr;
}

// Finding and walking the answering index never selects it: selecting would drop the
// cursor's position and its range.
int TFilter::AnsweringSlot(const TEvalNode& field, bool caseInsensitive, bool anyCase) {
  int slot = field.fieldNumber > 0
                 ? index_.SlotForField(static_cast<uint16_t>(field.fieldNumber), caseInsensitive, anyCase)
                 : -1;
  if (slot < 0) return -1;
  // Key ranges are laid out for ascending keys.
  const TKeyBuilder& keys = index_.Keys(slot);
  if (keys.Descending() || keys.Fields().empty() || keys.Fields()[0].descending) return -1;
  return slot;
}

int TFilter::NodeLevel(TEvalNode& node) {
  int level = 2;
  auto constantBeside = [&]() {
    return node.right && node.right->nodeClass == nodeConstant;
  };
  switch (node.nodeClass) {
    case nodeUnary:
      if (node.op == opIsNull || node.op == opNotNull) {
        const TEvalNode* field = FieldOf(node);
        level = field && AnsweringSlot(*field, false, false) >= 0 ? 0 : 2;
      } else if (node.left && (node.op == opNot || node.op == opNegate || node.op == opPlus)) {
        level = NodeLevel(*node.left);
      }
      break;
    case nodeBinary:
      if (node.op >= opEqual && node.op <= opLessEqual) {
        const TEvalNode* field = FieldOf(node);
        level = field && constantBeside() && AnsweringSlot(*field, false, false) >= 0 ? 0 : 2;
      } else if ((node.op == opAnd || node.op == opOr) && node.left && node.right) {
        int l = NodeLevel(*node.left), r = NodeLevel(*node.right);
        if (node.op == opOr) {
          level = l == 0 && r == 0 ? 0 : 2;
        } else if (l == 0 && r == 0) {
          level = 0;
        } else if (std::min(l, r) <= 1) {
          level = 1;
          if (r < l) std::swap(node.left, node.right);  // the side the indexes answer first
        }
      }
      break;
    case nodeCompare: {
      const TEvalNode* field = FieldOf(node);
      level = field && constantBeside() && AnsweringSlot(*field, node.caseInsensitive, false) >= 0 ? 0 : 2;
      break;
    }
    default: break;
  }
  node.indexResult = level;
  return level;
}

// ---- sets

void TFilter::Compute(TIndexFile& index, const TBitmap& base, TBitmap& out) {
  (void)index;
  recordsRead_ = 0;
  out = base;
  if (callback_ || !tree_) {
    EvaluateEach(nullptr, out);
    return;
  }
  NodeSet(*tree_, out);
  out.TrimTo(index_.PhysicalRecords());
}

bool TFilter::Judge(int32_t recordNumber, const uint8_t* record) {
  (void)recordNumber;
  if (callback_) return callback_(record);
  if (!tree_) return true;
  return EvaluateFilter(*tree_, record, host_.Locale(),
                        [this](const uint8_t* r, TEvalNode& field) { host_.FieldValue(r, field); });
}

void TFilter::EvaluateEach(const TEvalNode* node, TBitmap& set) {
  const int32_t records = index_.PhysicalRecords();
  std::vector<uint8_t> record;
  TExprLocale locale = host_.Locale();
  TExprFieldValue fetch = [this](const uint8_t* r, TEvalNode& field) { host_.FieldValue(r, field); };
  for (int32_t n = 1; n <= records; ++n) {
    if (!set.Test(n)) continue;
    ++recordsRead_;
    bool pass = false;
    if (host_.ReadStoredRecord(n, &record))
      pass = node ? EvaluateFilter(*node, record.data(), locale, fetch) : Judge(n, record.data());
    set.Set(n, pass);
  }
}

void TFilter::NodeSet(const TEvalNode& node, TBitmap& set) {
  if (node.indexResult == 2) {
    EvaluateEach(&node, set);
    return;
  }
  const int32_t records = index_.PhysicalRecords();
  switch (node.nodeClass) {
    case nodeUnary:
      if (node.op == opIsNull || node.op == opNotNull) {
        IndexSet(node, set);
      } else if (node.op == opNot) {
        TBitmap operand = set;
        NodeSet(*node.left, operand);
        operand.Invert();
        operand.TrimTo(records);
        set = operand;
      } else {
        NodeSet(*node.left, set);
      }
      return;
    case nodeCompare: IndexSet(node, set); return;
    case nodeBinary:
      if (node.op == opAnd) {
        TBitmap left = set;
        NodeSet(*node.left, left);
        TBitmap right = left;
        NodeSet(*node.right, right);
        left.And(right);
        set = left;
      } else if (node.op == opOr) {
        TBitmap left = set;
        NodeSet(*node.left, left);
        TBitmap right(records);
        right.SetAll();
        right.TrimTo(records);
        NodeSet(*node.right, right);
        left.Or(right);
        set = left;
      } else {
        IndexSet(node, set);
      }
      return;
    default: EvaluateEach(&node, set); return;
  }
}

// A condition on a field answered from an index whose first key field it is: the records
// whose keys lie in the condition's key ranges. When more than half of the table lies in
// them, the keys outside are scanned instead and the set inverted.
void TFilter::IndexSet(const TEvalNode& node, TBitmap& set) {
  const TEvalNode& field = *node.left;
  const TEvalNode* constant = node.nodeClass == nodeUnary ? nullptr : node.right.get();
  int slot = AnsweringSlot(field, node.nodeClass == nodeCompare && node.caseInsensitive, false);
  if (slot < 0) {  // the table's indexes changed since the levels were rated
    EvaluateEach(&node, set);
    return;
  }
  const TKeyBuilder& keys = index_.Keys(slot);
  const TKeyField& kf = keys.Fields()[0];
  const size_t L = keys.KeyLength();
  const int32_t records = index_.PhysicalRecords();

  // Low and high keys of one value (null for none) over the field's whole key part, or
  // over a prefix of `partial` characters.
  auto bounds = [&](const TEvalNode* value, int partial) {
    std::vector<uint8_t> record(std::max<size_t>(kf.offset + 1u + kf.storedSize, datafmt::rIdentifier + 4u), 0);
    if (value && !value->isNull) {
      uint8_t* at = kf.autoInc ? record.data() + datafmt::rIdentifier : record.data() + kf.offset + 1;
      if (!kf.autoInc) record[kf.offset] = 1;
      size_t n = std::min<size_t>(kf.autoInc ? 4 : kf.storedSize, value->value.size());
      if (value->type == valBcd) n = std::min<size_t>(n, 8);
      std::memcpy(at, value->value.data(), n);
      if (value->type == valBoolean) StoreLE16(at, value->Truth() ? 1 : 0);
    }
    std::vector<uint8_t> low(L), high(L);
    keys.Build(record.data(), low.data());
    size_t prefix = partial > 0 ? keys.PrefixLength(0, partial) : keys.PrefixLength(1);
    high = low;
    keys.FillSearchKey(low.data(), prefix);
    keys.FillRangeEnd(high.data(), prefix);
    return std::make_pair(low, high);
  };
  using TKeyRange = std::pair<std::vector<uint8_t>, std::vector<uint8_t>>;
  std::vector<TKeyRange> ranges;
  const std::vector<uint8_t> lowest(L, 0x00), highest(L, 0xFF);
  TKeyRange nulls = bounds(nullptr, 0);
  // The first key of a value: indicator 1, the rest zero.
  std::vector<uint8_t> firstValue(L, 0);
  firstValue[0] = 1;

  bool invert = false;
  int32_t op = node.op;
  if (op == opIsNull || op == opNotNull) {
    ranges.push_back(nulls);
    invert = op == opNotNull;
  } else if (constant && constant->isNull) {
    ranges.push_back(nulls);
    invert = op == opNotEqual;
  } else if (op == opEqual || op == opNotEqual) {
    ranges.push_back(bounds(constant, node.nodeClass == nodeCompare ? node.partial : 0));
    invert = op == opNotEqual;
  } else {
    // Orderings: the values' side of the key space, and the null keys when the zero
    // value (what a null field reads as) passes too.
    TKeyRange v = bounds(constant, 0);
    TEvalNode zeroTest;
    zeroTest.nodeClass = nodeBinary;
    zeroTest.op = op;
    zeroTest.left = std::make_unique<TEvalNode>();
    zeroTest.left->nodeClass = nodeConstant;
    zeroTest.left->type = field.fieldType;
    zeroTest.right = CopyExpression(*constant);
    bool zeroPasses = EvaluateFilter(zeroTest, nullptr, host_.Locale(), {});
    if (zeroPasses) ranges.push_back(nulls);
    std::vector<uint8_t> low = firstValue, high = highest;
    if (op == opGreater) {
      low = v.second;
      KeySuccessor(low.data(), L);
    } else if (op == opGreaterEqual) {
      low = v.first;
    } else if (op == opLess) {
      high = v.first;
      KeyPredecessor(high.data(), L);
    } else {
      high = v.second;
    }
    if (keys.Compare(low.data(), firstValue.data()) < 0) low = firstValue;
    ranges.push_back({low, high});
  }
  // Drop empty ranges; the rest are disjoint and in key order.
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                              [&](const TKeyRange& r) { return keys.Compare(r.first.data(), r.second.data()) > 0; }),
               ranges.end());

  int64_t inside = 0;
  for (const TKeyRange& r : ranges) inside += index_.CountKeysBetween(slot, r.first.data(), r.second.data());
  const int32_t total = index_.TreeCount(slot);
  TBitmap result(records), part(records);
  auto mark = [&](const std::vector<uint8_t>& low, const std::vector<uint8_t>& high) {
    if (keys.Compare(low.data(), high.data()) > 0) return;
    index_.MarkKeysBetween(slot, low.data(), high.data(), part);
    result.Or(part);
  };
  if (inside * 2 > total) {
    // The gaps between the ranges, then everything else.
    std::vector<uint8_t> from = lowest;
    for (const TKeyRange& r : ranges) {
      std::vector<uint8_t> to = r.first;
      bool before = keys.Compare(to.data(), lowest.data()) > 0;
      if (before) {
        KeyPredecessor(to.data(), L);
        mark(from, to);
      }
      from = r.second;
      if (keys.Compare(from.data(), highest.data()) >= 0) {
        from.clear();
        break;
      }
      KeySuccessor(from.data(), L);
    }
    if (!from.empty()) mark(from, highest);
    invert = !invert;
  } else {
    for (const TKeyRange& r : ranges) mark(r.first, r.second);
  }
  if (invert) result.Invert();
  result.TrimTo(records);
  // Only records that exist: deleted ones are in no index.
  TBitmap live = index_.LiveBitmap();
  live.Resize(records);
  if (index_.LiveBitmap().SizeInBytes() > 0) result.And(live);
  set = result;
}

}  // namespace ovrin
