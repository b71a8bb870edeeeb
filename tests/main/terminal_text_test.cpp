// Text bound for a terminal: control characters shown in caret notation, everything
// else (line ends, tabs, UTF-8 text) passed unchanged, whether written at once or a
// character at a time.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "main/terminal_text.h"

namespace hollard {
namespace {

// The text written through the buffer in pieces of random length (1 = byte by byte).
std::string ShownInPieces(const std::string& text, std::mt19937& rng) {
  std::stringbuf out;
  {
    TTerminalTextBuf shown(&out);
    std::ostream stream(&shown);
    for (size_t at = 0; at < text.size();) {
      size_t n = std::min<size_t>(text.size() - at, 1 + rng() % 5);
      if (n == 1) stream.put(text[at]);
      else stream.write(text.data() + at, static_cast<std::streamsize>(n));
      if (rng() % 3 == 0) stream.flush();
      at += n;
    }
  }
  return out.str();
}

TEST(TerminalTextTest, ControlCharactersAreShownAndTextPasses) {
  struct TCase {
    std::string text, shown;
  } cases[] = {
      {"plain text, d:\\src\\Unit1.pas\n", "plain text, d:\\src\\Unit1.pas\n"},
      {"a\tb\n", "a\tb\n"},
      // The escapes an archive line could carry: title, clear screen, colour.
      {"\x1b]0;TITLE\x07\x1b[2J\x1b[31mred", "^[]0;TITLE^G^[[2J^[[31mred"},
      {std::string("nul\0byte", 8), "nul^@byte"},
      {"bell\x07 del\x7f us\x1f", "bell^G del^? us^_"},
      // A carriage return ending a line passes; one inside a line would let the rest
      // overwrite what stands before it.
      {"line\r\n", "line\r\n"},
      {"shown\rhidden", "shown^Mhidden"},
      {"\r\r\n", "^M\r\n"},
      {"end\r", "end^M"},
      // C1 controls in UTF-8 (U+009B is a one-byte CSI to some terminals); other
      // characters of the same lead byte pass.
      {"\xc2\x9b" "31m \xc2\x80 \xc2\x9f", "M-^[31m M-^@ M-^_"},
      {"\xc2\xa9 2024 caf\xc3\xa9 \xe2\x80\xba \xc2", "\xc2\xa9 2024 caf\xc3\xa9 \xe2\x80\xba \xc2"},
      {"\xc2\r\n\xc2\xc2\x9b", "\xc2\r\n\xc2M-^["},
      // A byte 0x80 to 0x9F outside a UTF-8 character (a raw code-page byte, a file name)
      // is a C1 control to an 8-bit terminal; within one it passes.
      {"x\x9b" "2Jy \x81", "xM-^[2Jy M-^A"},
      {"\xe2\x80\x9c \xf0\x9f\x98\x80 \xe2\x80", "\xe2\x80\x9c \xf0\x9f\x98\x80 \xe2\x80"},
      {"\xe2\x80 \x9b", "\xe2\x80 M-^["},
      {"\xe9\x9b", "\xe9\x9b"},
  };
  std::mt19937 rng(3);
  for (const TCase& c : cases) {
    EXPECT_EQ(TerminalText(c.text), c.shown) << c.text;
    for (int round = 0; round < 20; ++round) EXPECT_EQ(ShownInPieces(c.text, rng), c.shown) << c.text;
  }
}

TEST(TerminalTextTest, AWriteErrorOfTheTerminalReachesTheStream) {
  // A terminal that went away: the stream goes bad, so that the run notices and stops.
  struct TFailing : std::streambuf {
    int_type overflow(int_type) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
  } failing;
  TTerminalTextBuf shown(&failing);
  std::ostream stream(&shown);
  stream << "text" << std::flush;
  EXPECT_FALSE(stream);
  std::ostream escapes(&shown);
  escapes << "\x1b" << std::flush;
  EXPECT_FALSE(escapes);
}

}  // namespace
}  // namespace hollard
