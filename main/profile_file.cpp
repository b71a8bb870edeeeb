#include "main/profile_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <iterator>

#include "engine/base/conversions.h"
#include "engine/base/platform.h"
#include "main/text_file.h"

namespace hollard {

namespace {

std::string Trim(const std::string& text) {
  size_t from = text.find_first_not_of(" \t");
  if (from == std::string::npos) return std::string();
  size_t to = text.find_last_not_of(" \t");
  return text.substr(from, to - from + 1);
}

}  // namespace

TProfileFile::TProfileFile(const std::string& path) {
  std::string found = ovrin::Platform().ResolveExisting(path);
  if (found.empty()) return;
  // A FIFO would block the read for ever and a device such as /dev/zero never ends.
  CheckSideFile(found, kMaxSideFileBytes);
  std::ifstream in(found, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open " + found + ": " + std::strerror(errno));
  Parse(std::string(std::istreambuf_iterator<char>(in), {}));
}

TProfileFile TProfileFile::FromText(const std::string& text) {
  TProfileFile file;
  file.Parse(text);
  return file;
}

void TProfileFile::Parse(const std::string& text) {
  std::map<std::string, std::string>* section = nullptr;
  // Lines end at CR, LF or CR LF, as in the side files; a byte order mark at the start is
  // dropped (an editor's mark would hide the first section).
  size_t at = text.compare(0, 3, kUtf8Bom) == 0 ? 3 : 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      size_t close = t.find(']');
      std::string name = ovrin::AsciiUpper(Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
      section = &sections_[name];  // a repeated section adds to the first
      continue;
    }
    size_t eq = t.find('=');
    if (!section || eq == std::string::npos) continue;
    std::string key = ovrin::AsciiUpper(Trim(t.substr(0, eq)));
    std::string value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (value.size() > kMaxValue) value.resize(kMaxValue);
    section->emplace(key, value);  // the first of two equal keys counts
  }
}

std::map<std::string, std::string> TProfileFile::Section(const std::string& section) const {
  auto s = sections_.find(ovrin::AsciiUpper(section));
  return s == sections_.end() ? std::map<std::string, std::string>() : s->second;
}

std::string TProfileFile::ReadString(const std::string& section, const std::string& key,
                                     const std::string& fallback) const {
  auto s = sections_.find(ovrin::AsciiUpper(section));
  if (s == sections_.end()) return fallback;
  auto k = s->second.find(ovrin::AsciiUpper(key));
  return k == s->second.end() ? fallback : k->second;
}

}  // namespace hollard
