// One record as pxlib retrieves it (pxlib serves as a second, independent reader in
// the tests), freed with everything pxlib allocated for it.
#pragma once

#include <cstdlib>

extern "C" {
#include <paradox.h>
}

namespace ovrin::test {

// A pxlib document that keeps its complaints to itself (tests check its answers).
inline pxdoc_t* NewQuietPxDoc() {
  return PX_new2([](pxdoc_t*, int, const char*, void*) {}, [](pxdoc_t*, size_t size, const char*) { return std::calloc(1, size); },
                 [](pxdoc_t*, void* mem, size_t size, const char*) { return std::realloc(mem, size); },
                 [](pxdoc_t*, void* mem) { std::free(mem); });
}

class TPxRecord {
 public:
  TPxRecord(pxdoc_t* px, int record) : px_(px), values_(PX_retrieve_record(px, record)), count_(PX_get_num_fields(px)) {}
  ~TPxRecord() {
    if (!values_) return;
    pxfield_t* fields = PX_get_fields(px_);
    for (int f = 0; f < count_; ++f) {
      pxval_t* v = values_[f];
      char type = fields[f].px_ftype;
      bool text = type == pxfAlpha || type == pxfBytes || type == pxfBCD || (type >= pxfMemoBLOb && type <= pxfGraphic);
      if (text && !v->isnull && v->value.str.val) px_->free(px_, v->value.str.val);
      px_->free(px_, v);
    }
    px_->free(px_, values_);
  }
  TPxRecord(const TPxRecord&) = delete;
  TPxRecord& operator=(const TPxRecord&) = delete;

  bool Valid() const { return values_ != nullptr; }
  pxval_t* operator[](int field) const { return values_[field]; }

 private:
  pxdoc_t* px_;
  pxval_t** values_;
  int count_;
};

}  // namespace ovrin::test
