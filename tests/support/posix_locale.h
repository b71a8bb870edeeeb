// For one test, the ICU default locale a run gets from a shell with LANG=C.UTF-8.
#pragma once

#include <unicode/uloc.h>

#include <string>

namespace ovrin::test {

class PosixLocale {
 public:
  PosixLocale() : saved_(uloc_getDefault()) { Set("en_US_POSIX"); }
  ~PosixLocale() { Set(saved_.c_str()); }

 private:
  static void Set(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(name, &status);
  }
  std::string saved_;
};

}  // namespace ovrin::test
