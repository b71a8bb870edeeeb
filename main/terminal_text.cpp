#include "main/terminal_text.h"

#include <sstream>

namespace hollard {

TTerminalTextBuf::~TTerminalTextBuf() {
  Settle();
  target_->pubsync();
}

bool TTerminalTextBuf::Emit(std::string_view text) {
  return target_->sputn(text.data(), static_cast<std::streamsize>(text.size())) ==
         static_cast<std::streamsize>(text.size());
}

bool TTerminalTextBuf::Settle() {
  bool ok = true;
  if (pendingC2_) ok = Emit("\xC2") && ok;
  if (pendingCr_) ok = Emit("^M") && ok;
  pendingC2_ = pendingCr_ = false;
  return ok;
}

bool TTerminalTextBuf::Put(unsigned char c) {
  if (pendingCr_) {
    pendingCr_ = false;
    if (c == '\n') return Emit("\r\n");
    if (!Emit("^M")) return false;
  }
  if (pendingC2_) {
    pendingC2_ = false;
    if (c >= 0x80 && c <= 0x9F) {
      const char shown[] = {'M', '-', '^', static_cast<char>(c - 0x80 + 0x40)};
      return Emit(std::string_view(shown, sizeof shown));
    }
    if (!Emit("\xC2")) return false;
    if (c >= 0xA0 && c <= 0xBF) {
      const char one = static_cast<char>(c);
      return Emit(std::string_view(&one, 1));
    }
  }
  if (c == '\r') {
    continuations_ = 0;
    pendingCr_ = true;
    return true;
  }
  if (c == 0xC2) {
    continuations_ = 0;
    pendingC2_ = true;
    return true;
  }
  const char one = static_cast<char>(c);
  if (c < 0x80) {
    continuations_ = 0;
    if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7F)) return Emit(std::string_view(&one, 1));
    const char shown[] = {'^', c == 0x7F ? '?' : static_cast<char>(c + 0x40)};
    return Emit(std::string_view(shown, sizeof shown));
  }
  if (c <= 0xBF) {
    // A continuation byte passes within a character; a stray one from 0x80 to 0x9F is a
    // C1 control to a terminal that is not set for UTF-8.
    if (continuations_ > 0 || c >= 0xA0) {
      if (continuations_ > 0) --continuations_;
      return Emit(std::string_view(&one, 1));
    }
    const char shown[] = {'M', '-', '^', static_cast<char>(c - 0x80 + 0x40)};
    return Emit(std::string_view(shown, sizeof shown));
  }
  continuations_ = c >= 0xF5 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
  return Emit(std::string_view(&one, 1));
}

TTerminalTextBuf::int_type TTerminalTextBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  return Put(static_cast<unsigned char>(traits_type::to_char_type(c))) ? c : traits_type::eof();
}

std::streamsize TTerminalTextBuf::xsputn(const char* s, std::streamsize n) {
  // Runs of plain ASCII go out in one piece.
  std::streamsize done = 0;
  while (done < n) {
    std::streamsize run = 0;
    if (!pendingCr_ && !pendingC2_)
      while (done + run < n) {
        const auto c = static_cast<unsigned char>(s[done + run]);
        if (c < 0x20 ? (c != '\n' && c != '\t') : c >= 0x7F) break;
        ++run;
      }
    if (run > 0) {
      continuations_ = 0;
      if (target_->sputn(s + done, run) != run) return done;
      done += run;
      continue;
    }
    if (!Put(static_cast<unsigned char>(s[done]))) return done;
    ++done;
  }
  return done;
}

int TTerminalTextBuf::sync() { return target_->pubsync(); }

std::string TerminalText(std::string_view text) {
  std::stringbuf out;
  {
    TTerminalTextBuf shown(&out);
    shown.sputn(text.data(), static_cast<std::streamsize>(text.size()));
  }
  return out.str();
}

}  // namespace hollard
