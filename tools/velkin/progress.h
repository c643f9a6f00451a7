// One progress bar per unit on standard error, redrawn in place, when standard error is a
// terminal. Updates come from the units' threads; drawing happens on the thread that calls Draw.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "device/programming/job.h"

namespace velkin::cli {

class ProgressBars {
 public:
  // Bars only when `enabled` and standard error is a terminal that takes cursor movements.
  ProgressBars(const std::vector<std::string>& labels, bool enabled);
  ~ProgressBars();
  ProgressBars(const ProgressBars&) = delete;
  ProgressBars& operator=(const ProgressBars&) = delete;

  bool active() const { return active_; }

  void Update(std::size_t index, programming::Step step, int percent);
  // The same for work that is not a unit's job: `step` is shown as it is (a few characters).
  void Update(std::size_t index, const std::string& step, int percent);
  // The unit ended: its bar shows `outcome` from now on.
  void Finish(std::size_t index, const std::string& outcome);
  // Redraws every bar that changed (all of them the first time).
  void Draw();
  // The last drawing; the cursor is left below the bars.
  void End();

 private:
  struct Bar {
    std::string label;
    std::string step = programming::StepName(programming::Step::kStart);
    int percent = 0;
    std::string outcome;  // set when the unit ended
  };
  std::string Line(const Bar& bar) const;

  bool active_ = false;
  bool drawn_ = false;
  bool ended_ = false;
  int columns_ = 80;
  std::size_t label_width_ = 0;
  std::mutex lock_;
  std::vector<Bar> bars_;           // guarded by lock_
  std::vector<std::string> shown_;  // the lines on the screen (drawing thread only)
};

}  // namespace velkin::cli
