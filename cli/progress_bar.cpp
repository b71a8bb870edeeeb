#include "cli/progress_bar.h"

namespace hollard {

void TProgressBar::SetStep(const std::string& text) {
  step_ = text;
  Draw(true);
}

void TProgressBar::SetMaximum(int maximum) {
  max_ = maximum;
  progress_ = 0;
}

void TProgressBar::SetProgress(int progress) {
  progress_ = progress;
  Draw(false);
}

void TProgressBar::Draw(bool force) {
  if (!terminal_) return;
  int percent = max_ > 0 ? static_cast<int>(100LL * progress_ / max_) : 0;
  if (!force && percent == shown_) return;
  shown_ = percent;
  int filled = percent * 30 / 100;
  out_ << "\r\033[K" << step_ << " [" << std::string(static_cast<size_t>(filled), '#')
       << std::string(static_cast<size_t>(30 - filled), ' ') << "] " << percent << "%" << std::flush;
  barShown_ = true;
}

void TProgressBar::Clear() {
  if (!barShown_) return;
  out_ << "\r\033[K" << std::flush;
  barShown_ = false;
  shown_ = -1;
}

}  // namespace hollard
