#include "cli/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>

namespace hollard {

namespace {

// Columns a UTF-8 text takes: one per character.
size_t Columns(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// The text cut to at most `columns` characters, never inside a character.
std::string CutTo(const std::string& text, size_t columns) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (n == columns) return text.substr(0, i);
      ++n;
    }
  }
  return text;
}

std::string Megabytes(int64_t bytes) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / 1e6);
  return buffer;
}

std::string Duration(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buffer[32];
  if (s >= 3600)
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
  return buffer;
}

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TProgressBar::TProgressBar(std::ostream& out, bool terminal, TWidth width, TClock clock)
    : out_(out),
      terminal_(terminal),
      width_(width ? std::move(width) : TWidth(&TProgressBar::TerminalWidth)),
      clock_(clock ? std::move(clock) : TClock(&SteadySeconds)) {}

int TProgressBar::TerminalWidth() {
  struct winsize size {};
  if (::ioctl(2, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void TProgressBar::SetStep(const std::string& text) {
  if (text == step_) return;
  step_ = text;
  stepStart_ = clock_();
  bytesDone_ = bytesTotal_ = 0;
  bytesStart_ = -1;
  Draw(true);
}

void TProgressBar::SetMaximum(int maximum) {
  max_ = maximum;
  progress_ = 0;
  stepStart_ = clock_();
}

void TProgressBar::SetProgress(int progress) {
  progress_ = progress;
  Draw(false);
}

void TProgressBar::SetBytes(int64_t done, int64_t total) {
  if (bytesStart_ < 0) bytesStart_ = clock_();
  bytesDone_ = done;
  bytesTotal_ = total;
  Draw(false);
}

std::string TProgressBar::Line(int width, double now) const {
  if (width <= 0) width = kDefaultWidth;
  const size_t room = static_cast<size_t>(width > 1 ? width - 1 : 0);

  // "Converting modules...#2 - Step 5/16" shows as "step 5 of 16: Converting modules...#2".
  std::string prefix, shortPrefix, text = step_;
  static const std::regex stepOf(R"(\s*-?\s*Step (\d+)/(\d+)\s*$)");
  std::smatch m;
  if (std::regex_search(step_, m, stepOf)) {
    prefix = "step " + m[1].str() + " of " + m[2].str() + ": ";
    shortPrefix = m[1].str() + "/" + m[2].str() + " ";
    text = step_.substr(0, static_cast<size_t>(m.position(0)));
  }

  int percent = max_ > 0 ? static_cast<int>(100LL * progress_ / max_) : 0;
  if (percent > 100) percent = 100;
  std::string extras;
  double timeLeft = -1;
  if (bytesTotal_ > 0) {
    extras += "  " + Megabytes(bytesDone_) + "/" + Megabytes(bytesTotal_) + " MB";
    double elapsed = now - bytesStart_;
    if (bytesStart_ >= 0 && elapsed >= 0.5 && bytesDone_ > 0) {
      double rate = bytesDone_ / elapsed;
      extras += "  " + Megabytes(static_cast<int64_t>(rate)) + " MB/s";
      if (bytesTotal_ >= bytesDone_) timeLeft = static_cast<double>(bytesTotal_ - bytesDone_) / rate;
    }
  } else if (max_ > 0 && progress_ > 0 && now - stepStart_ >= 1.0) {
    timeLeft = (now - stepStart_) * (max_ - progress_) / progress_;
  }
  if (timeLeft >= 0) extras += "  " + Duration(timeLeft) + " left";

  auto compose = [&](size_t barWidth, const std::string& shownText, const std::string& shownExtras,
                     const std::string& shownPrefix) {
    size_t filled = barWidth * static_cast<size_t>(percent) / 100;
    return shownPrefix + shownText + " [" + std::string(filled, '#') + std::string(barWidth - filled, ' ') + "] " +
           std::to_string(percent) + "%" + shownExtras;
  };
  // Narrow terminals lose first the bar's length, then the step text's end, then the
  // bytes and times, then the words of "step k of n"; what is still too long is cut.
  for (size_t barWidth : {30u, 20u, 10u}) {
    std::string line = compose(barWidth, text, extras, prefix);
    if (Columns(line) <= room) return line;
  }
  for (const std::string& shownPrefix : {prefix, shortPrefix})
    for (const std::string& shownExtras : {extras, std::string()}) {
      size_t fixed = Columns(compose(10, "", shownExtras, shownPrefix));
      if (fixed + 4 <= room) {
        std::string shownText = Columns(text) > room - fixed ? CutTo(text, room - fixed - 3) + "..." : text;
        return compose(10, shownText, shownExtras, shownPrefix);
      }
    }
  return CutTo(compose(10, "", "", shortPrefix), room);
}

void TProgressBar::Draw(bool force) {
  if (!terminal_) return;
  double now = clock_();
  if (!force && lastDraw_ >= 0 && now - lastDraw_ < kInterval) return;
  std::string line = Line(width_(), now);
  if (barShown_ && line == shownLine_) return;
  out_ << "\r\033[K" << line << std::flush;
  shownLine_ = line;
  barShown_ = true;
  lastDraw_ = now;
  ++redraws_;
}

void TProgressBar::Clear() {
  if (!barShown_) return;
  out_ << "\r\033[K" << std::flush;
  barShown_ = false;
}

}  // namespace hollard
