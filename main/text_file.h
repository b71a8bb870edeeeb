// Reading the old archive's side files (ToDo, module and cross-reference lists, the
// history log) as lines of text: a line ends at CR, LF or CR LF; a last line without
// an ending still counts, an ending at the very end of the file does not start another.
// The bytes stay as they are (the archive's code page).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace hollard {

// Side files read whole (ToDo, module and cross-reference lists) are refused above this
// size rather than read into memory.
constexpr int64_t kMaxSideFileBytes = int64_t{1} << 30;

// Throws std::runtime_error naming the file unless it is a regular file (a FIFO would
// block the run for ever, a device such as /dev/zero never ends, a folder has no lines)
// no larger than maxBytes (0: any size). Symbolic links are followed.
void CheckSideFile(const std::string& path, int64_t maxBytes = 0);
// Where a run of zero bytes in the file begins that no text holds: the first run of at
// least kZeroRun of them, or 0 for a file of nothing but zero bytes; -1 when there is
// none. *zeros counts the file's zero bytes. Such runs are what a zero-filled file, or a
// file padded with zeros as a crash may leave it, holds in place of its text; a lone zero
// byte inside a line is no such damage (the line's text ends there, as a stored string
// would). A read error throws std::runtime_error naming the file.
constexpr int64_t kZeroRun = 16;
int64_t ZeroFilledAt(const std::string& path, int64_t* zeros);
// What a file of this mode (st_mode) is when it is no regular file ("a FIFO", "a device",
// "a folder", ...); null for a regular file.
const char* NotRegularKind(unsigned mode);

// The byte order mark that some editors put at the start of a UTF-8 file.
inline constexpr const char* kUtf8Bom = "\xEF\xBB\xBF";

// The lines of a text file, read in pieces: lines end at CR, LF or CR LF, a last line
// without an ending counts, and a byte order mark at the start of the file is dropped.
class TTextLineReader {
 public:
  // Opens the file; a file that cannot be opened, or is not a regular file, throws
  // std::runtime_error naming it.
  explicit TTextLineReader(const std::string& path);
  // The next line; false at the end of the file. A read error throws std::runtime_error
  // naming the file; the lines read before it stay valid.
  bool Next(std::string* line);
  const std::string& Path() const { return path_; }

 private:
  bool Fill();
  std::string path_;
  std::ifstream in_;
  std::string buffer_;
  size_t at_ = 0;
  bool eof_ = false;
};

// Every line of the file, handed to `take` in file order.
template <typename F>
void ForEachTextLine(const std::string& path, F&& take) {
  TTextLineReader reader(path);
  std::string line;
  while (reader.Next(&line)) take(line);
}

}  // namespace hollard
