// Index-level filtering: a filter computes, when it is activated, the set of physical
// records that pass it as a bitmap, answering every condition it can from the keys of
// the table's indexes and evaluating the expression (or calling the dataset's record
// callback) only for the rest.
//
// Optimisation level of a node: 0 the indexes answer it completely, 1 partly, 2 not at
// all. A comparison, compare node, is-null or is-not-null of a field with a constant is
// 0 when an ascending index has the field as its first key field with the needed case
// sensitivity; AND is 0 when both sides are, 1 when one side is 0 or 1 and the other 1 or
// 2 (the better side is moved to the left), else 2; OR is 0 only when both sides are;
// NOT, negate and plus take their operand's level.
//
// An ordering answered from an index includes the records whose field is null exactly
// when the zero value passes it, as the evaluator reads a null field as zero bytes, so
// that both ways give the same set.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "engine/expr/evaluator.h"
#include "engine/index/index_file.h"

namespace ovrin {

// What a filter needs of its data file.
class TFilterHost {
 public:
  virtual ~TFilterHost() = default;
  // The stored record (its buffer as stored), or false when the record is deleted.
  virtual bool ReadStoredRecord(int32_t recordNumber, std::vector<uint8_t>* record) = 0;
  // Fills a field node's value, null flag and type from a record.
  virtual void FieldValue(const uint8_t* record, TEvalNode& field) = 0;
  virtual TExprLocale Locale() const = 0;
};

// The dataset's verdict on one record (its buffer as stored).
using TRecordCallback = std::function<bool(const uint8_t* record)>;

class TFilter : public TIndexFilter {
 public:
  // An expression filter over a decoded tree.
  TFilter(TIndexFile& index, TFilterHost& host, TEvalTree tree, bool combine);
  // A record-callback filter.
  TFilter(TIndexFile& index, TFilterHost& host, TRecordCallback callback, bool combine);

  int Level() const { return level_; }
  bool IsCallback() const { return static_cast<bool>(callback_); }
  const TEvalNode* Tree() const { return tree_.get(); }
  // Records read to judge them during the last activation.
  int64_t RecordsRead() const { return recordsRead_; }

  bool UsesPriorFilters() const override { return combine_; }
  void Compute(TIndexFile& index, const TBitmap& base, TBitmap& out) override;
  bool Judge(int32_t recordNumber, const uint8_t* record) override;

 private:
  int NodeLevel(TEvalNode& node);
  // The index slot that answers a condition on the field, or -1.
  int AnsweringSlot(const TEvalNode& field, bool caseInsensitive, bool anyCase);
  const TEvalNode* FieldOf(const TEvalNode& node) const;
  // The node's set computed from the starting set (which it replaces).
  void NodeSet(const TEvalNode& node, TBitmap& set);
  void EvaluateEach(const TEvalNode* node, TBitmap& set);
  void IndexSet(const TEvalNode& node, TBitmap& set);

  TIndexFile& index_;
  TFilterHost& host_;
  TEvalTree tree_;
  TRecordCallback callback_;
  bool combine_;
  int level_ = 2;
  int64_t recordsRead_ = 0;
};

}  // namespace ovrin
