// A sectioned initialisation text file ("[Section]" lines, then "key=value" lines), read
// as the platform's profile-string service reads one: section and key names compare
// without regard to ASCII case, blanks around names and values are dropped, a value in
// matching quotes loses them, the first of two equal keys counts, lines starting with
// ';' are comments, and a value is read up to 2,047 characters.
#pragma once

#include <map>
#include <string>

namespace hollard {

class TProfileFile {
 public:
  static constexpr size_t kMaxValue = 2047;

  // Reads the file (found under any letter case); a missing file reads as empty. A file
  // that is not a regular file, or holds more than a side file may (1 GB), throws
  // std::runtime_error naming it.
  explicit TProfileFile(const std::string& path);
  // Parses text directly.
  static TProfileFile FromText(const std::string& text);

  std::string ReadString(const std::string& section, const std::string& key, const std::string& fallback) const;
  // The keys of a section (upper-cased) with their values, in key order; empty when the
  // section is not there.
  std::map<std::string, std::string> Section(const std::string& section) const;

 private:
  TProfileFile() = default;
  void Parse(const std::string& text);
  std::map<std::string, std::map<std::string, std::string>> sections_;  // upper-cased names
};

}  // namespace hollard
