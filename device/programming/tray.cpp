#include "tray.h"

#include <exception>
#include <system_error>
#include <utility>

namespace velkin::programming {
namespace {

std::thread StartThread(std::function<void()> body) {
  return std::thread(std::move(body));
}

TrayResult Failed(const std::string& name, Failure failure, std::string text) {
  TrayResult result;
  result.name = name;
  result.identity.name = name;
  result.job.failure = failure;
  result.job.text = std::move(text);
  return result;
}

}  // namespace

Tray::Tray(MatchTexts texts, ThreadStarter starter)
    : texts_(std::move(texts)), starter_(starter ? std::move(starter) : ThreadStarter(StartThread)) {}

Tray::~Tray() {
  Cancel();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void Tray::Start(std::vector<TrayUnit> units, TrayEvents events) {
  units_ = std::move(units);
  events_ = std::move(events);
  {
    std::lock_guard guard(lock_);
    results_.resize(units_.size());
    remaining_ = units_.size();
  }
  threads_.reserve(units_.size());
  for (std::size_t i = 0; i < units_.size(); ++i) {
    try {
      threads_.push_back(starter_([this, i] { RunUnit(i); }));
    } catch (const std::exception& e) {
      // No thread for this unit (the system's limit, no memory): it fails, the others go on.
      Finish(i, Failed(units_[i].name, Failure::kCannotStart,
                       std::string("cannot start a thread for the unit: ") + e.what()));
    }
  }
}

void Tray::RunUnit(std::size_t index) {
  const TrayUnit& unit = units_[index];
  TrayResult result;
  try {
    if (cancel_) {
      result = Failed(unit.name, Failure::kCancelled, "cancelled before the unit was touched");
    } else {
      OpenResult opened = OpenUnit(texts_, unit.name);
      if (!opened.unit) {
        result = Failed(unit.name, opened.not_found ? Failure::kNotFound : Failure::kCannotStart, opened.error);
      } else {
        result.name = unit.name;
        result.identity = opened.unit->Identity();
        if (events_.opened) events_.opened(index, result.identity);
        const ProgressFn progress = [&](Step step, int percent) {
          if (events_.progress) events_.progress(index, step, percent);
        };
        result.job = RunJob(*opened.unit, unit.request, progress, &cancel_);
      }
    }
  } catch (const std::exception& e) {
    result = Failed(unit.name, Failure::kCannotStart, std::string("the unit's work stopped: ") + e.what());
  }
  Finish(index, std::move(result));
}

void Tray::Finish(std::size_t index, TrayResult result) {
  try {
    if (events_.finished) events_.finished(index, result);
  } catch (const std::exception&) {
    // The result is kept below whatever the receiver did with it.
  }
  std::lock_guard guard(lock_);
  results_[index] = std::move(result);
  --remaining_;
  done_.notify_all();
}

void Tray::Cancel() {
  cancel_ = true;
}

bool Tray::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return done_.wait_for(guard, timeout, [this] { return remaining_ == 0; });
}

std::vector<TrayResult> Tray::Wait() {
  {
    std::unique_lock guard(lock_);
    done_.wait(guard, [this] { return remaining_ == 0; });
  }
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  std::lock_guard guard(lock_);
  return results_;
}

}  // namespace velkin::programming
