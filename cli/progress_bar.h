// The progress bar of a terminal run: the step text, a bar and the step's percentage on
// one line of the error stream, redrawn in place; cleared before any other line is
// written there or on the output stream.
#pragma once

#include <ostream>
#include <string>

namespace hollard {

class TProgressBar {
 public:
  // Nothing is drawn when `terminal` is false.
  TProgressBar(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}
  void SetStep(const std::string& text);
  void SetMaximum(int maximum);
  void SetProgress(int progress);
  // Takes the bar off the screen; the next change draws it again.
  void Clear();

 private:
  void Draw(bool force);

  std::ostream& out_;
  bool terminal_;
  std::string step_;
  int max_ = 0, progress_ = 0, shown_ = -1;
  bool barShown_ = false;
};

}  // namespace hollard
