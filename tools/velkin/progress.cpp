#include "progress.h"

#include <algorithm>
#include <cstdio>

#include "tools/velkin/os/platform.h"
#include "tools/velkin/session.h"

namespace velkin::cli {
namespace {

constexpr int kBarWidth = 30;

}  // namespace

ProgressBars::ProgressBars(const std::vector<std::string>& labels, bool enabled) {
  active_ = enabled && !labels.empty() && os::IsTerminal(stderr) && os::PrepareTerminal(stderr);
  if (!active_) return;
  const int columns = os::TerminalColumns(stderr);
  if (columns > 20) columns_ = columns;
  for (const auto& label : labels) {
    Bar bar;
    bar.label = SafeText(label, 24);
    bars_.push_back(bar);
    label_width_ = std::max(label_width_, bars_.back().label.size());
  }
}

ProgressBars::~ProgressBars() {
  End();
}

void ProgressBars::Update(std::size_t index, programming::Step step, int percent) {
  Update(index, std::string(programming::StepName(step)), percent);
}

void ProgressBars::Update(std::size_t index, const std::string& step, int percent) {
  if (!active_) return;
  std::lock_guard guard(lock_);
  bars_[index].step = step;
  bars_[index].percent = std::clamp(percent, 0, 100);
}

void ProgressBars::Finish(std::size_t index, const std::string& outcome) {
  if (!active_) return;
  std::lock_guard guard(lock_);
  bars_[index].outcome = outcome;
}

std::string ProgressBars::Line(const Bar& bar) const {
  std::string line = bar.label;
  line.append(label_width_ + 2 - bar.label.size(), ' ');
  if (!bar.outcome.empty()) {
    line += bar.outcome;
  } else {
    const std::string& step = bar.step;
    line += step;
    line.append(step.size() < 8 ? 8 - step.size() : 1, ' ');
    const int filled = bar.percent * kBarWidth / 100;
    line += '[';
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    char percent[8];
    std::snprintf(percent, sizeof percent, "] %3d%%", bar.percent);
    line += percent;
  }
  // A line that wraps would throw the redrawing off by a line.
  const auto width = static_cast<std::size_t>(columns_ - 1);
  if (line.size() > width) line.resize(width);
  return line;
}

void ProgressBars::Draw() {
  if (!active_ || ended_) return;
  std::vector<std::string> lines;
  {
    std::lock_guard guard(lock_);
    for (const auto& bar : bars_) lines.push_back(Line(bar));
  }
  std::string out;
  if (drawn_) out += "\x1b[" + std::to_string(lines.size()) + "A";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (drawn_ && shown_[i] == lines[i]) {
      out += "\x1b[1B";
      continue;
    }
    out += "\r\x1b[2K" + lines[i] + "\n";
  }
  // Moving down past the last line does not scroll: the bars end where they began.
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
  shown_ = std::move(lines);
  drawn_ = true;
}

void ProgressBars::End() {
  if (!active_ || ended_) return;
  Draw();
  ended_ = true;
}

}  // namespace velkin::cli
