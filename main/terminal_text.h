// Text shown on a terminal comes partly from the archive (log lines, module, project and
// user names, comments), which may hold any byte. A terminal obeys the control characters
// it is sent instead of showing them: an escape sequence in a log line could clear the
// screen and the errors on it, move the cursor over earlier lines, recolour the rest of
// the output or set the window's title. Output bound for a terminal therefore goes
// through TTerminalTextBuf, which shows such characters in caret notation, as `cat -v`
// does: ESC as ^[, a lone carriage return as ^M, DEL as ^?, and a C1 control (U+0080 to
// U+009F written in UTF-8, which some terminals obey as well, or a byte 0x80 to 0x9F
// that is no part of a UTF-8 character, which a terminal not set for UTF-8 obeys) as
// M-^[ and so on. Line feeds, tabs and the carriage return of a CR LF pair pass
// unchanged. Output that is no
// terminal (a file, a pipe) and the log file keep every byte.
#pragma once

#include <streambuf>
#include <string>
#include <string_view>

namespace hollard {

class TTerminalTextBuf : public std::streambuf {
 public:
  // Writes to target, which must outlive this buffer. Nothing is held back but a final
  // carriage return or 0xC2 byte whose follower decides how it is shown.
  explicit TTerminalTextBuf(std::streambuf* target) : target_(target) {}
  ~TTerminalTextBuf() override;
  TTerminalTextBuf(const TTerminalTextBuf&) = delete;
  TTerminalTextBuf& operator=(const TTerminalTextBuf&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  bool Put(unsigned char c);
  bool Emit(std::string_view text);
  // Writes out what is held back as it stands alone (at the end of the output).
  bool Settle();
  std::streambuf* target_;
  bool pendingCr_ = false;
  bool pendingC2_ = false;
  int continuations_ = 0;  // bytes still to come of the UTF-8 character begun
};

// The text as a terminal buffer would show it (the whole text, nothing held back).
std::string TerminalText(std::string_view text);

}  // namespace hollard
