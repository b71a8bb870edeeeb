// A data file operation bracketed by the read lock when strict change detection asks for
// it: taken (with a refresh) on entry, released on every way out.
#pragma once

#include "engine/data/data_file.h"

namespace ovrin {

struct TReadBracket {
  TDataFile& file;
  explicit TReadBracket(TDataFile& f, bool strict) : file(f) {
    if (!strict) return;
    file.BeginRead();
    try {
      file.Refresh();
    } catch (...) {
      // No destructor runs for a constructor that throws: the reader byte goes here.
      try {
        file.EndRead();
      } catch (...) {
      }
      throw;
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
