// A data file operation bracketed by the read lock when strict change detection asks for
// it: taken (with a refresh) on entry, released on every way out.
#pragma once

#include "engine/data/data_file.h"

namespace ovrin {

struct TReadBracket {
  TDataFile& file;
  explicit TReadBracket(TDataFile& f, bool strict) : file(f) {
    if (strict) {
      file.BeginRead();
      file.Refresh();
    }
  }
  ~TReadBracket() {
    try {
      file.EndRead();
    } catch (...) {
    }
  }
};

}  // namespace ovrin
