// The progress bar of a terminal run: one line of the error stream, redrawn in place and
// cleared before any other line is written there or on the output stream. It shows the
// step (k of n, from the step text's "Step k/n"), the step text, a bar and the step's
// percentage, and in the revisions step the stored bytes copied, the rate and the time
// left; in other steps the time the step has left once it can be told.
//
// The line is always shorter than the terminal is wide, so it never wraps and the
// clearing escape takes all of it; it is redrawn at most every kInterval seconds (a
// new step text draws at once), however many log lines and progress calls come.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace hollard {

class TProgressBar {
 public:
  // Seconds on a steady clock.
  using TClock = std::function<double()>;
  // Columns of the terminal; 0 or less when unknown (80 is taken then).
  using TWidth = std::function<int()>;
  static constexpr double kInterval = 0.1;
  static constexpr int kDefaultWidth = 80;

  // Nothing is drawn when `terminal` is false. By default the width is asked of the
  // terminal on standard error at each drawing and the clock is the steady clock.
  TProgressBar(std::ostream& out, bool terminal, TWidth width = {}, TClock clock = {});
  void SetStep(const std::string& text);
  void SetMaximum(int maximum);
  void SetProgress(int progress);
  // Stored bytes copied of `total` (0: not known); shown until the step text changes.
  void SetBytes(int64_t done, int64_t total);
  // Takes the bar off the screen; the next change draws it again (within the interval).
  void Clear();

  // The line for the present state, at most width - 1 columns.
  std::string Line(int width, double now) const;
  // How often the bar was drawn.
  int Redraws() const { return redraws_; }

  // The columns of the terminal on standard error, 0 when it is no terminal.
  static int TerminalWidth();

 private:
  void Draw(bool force);

  std::ostream& out_;
  bool terminal_;
  TWidth width_;
  TClock clock_;
  std::string step_;
  int max_ = 0, progress_ = 0;
  int64_t bytesDone_ = 0, bytesTotal_ = 0;
  double stepStart_ = 0, bytesStart_ = -1, lastDraw_ = -1;
  bool barShown_ = false;
  std::string shownLine_;
  int redraws_ = 0;
};

}  // namespace hollard
