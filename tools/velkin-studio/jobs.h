// Long work (encoding a sound, programming a unit) as job objects: a state, a step, a progress and
// a result, each change published on the event stream. The HTTP layer only starts jobs and reports
// them; the work runs on a thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "events.h"

namespace velkin::studio {

class JobBoard;

class Job {
 public:
  Job(JobBoard& board, std::uint64_t id, std::string kind, std::string subject)
      : board_(board), id_(id), kind_(std::move(kind)), subject_(std::move(subject)) {}

  std::uint64_t id() const { return id_; }
  // Progress of the current step, 0..100; published only when it changes.
  void Step(const std::string& step, int percent = 0);
  void Progress(int percent);
  void Succeed(const std::string& result, nlohmann::json details = {});
  void Fail(const std::string& reason);
  nlohmann::json Snapshot();
  bool Finished();

 private:
  void Publish();
  // Closes the current step's time; the caller holds the lock.
  void EndStep();

  JobBoard& board_;
  const std::uint64_t id_;
  const std::string kind_;     // "encode" or "program"
  const std::string subject_;  // the sound's number or the unit's name
  std::mutex lock_;
  std::string state_ = "running";  // running, done, failed
  std::string step_ = "queued";
  int progress_ = 0;
  std::string result_;  // "encoded", "verified", or the failure's reason
  nlohmann::json details_;
  // How long each step took (milliseconds), and when the current one began.
  const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point step_start_ = created_;
  nlohmann::json times_ = nlohmann::json::object();
  double elapsed_ms_ = 0;
};

class JobBoard {
 public:
  explicit JobBoard(EventHub& events) : events_(events) {}
  // Waits for every job's thread.
  ~JobBoard();

  // Starts `work` on a thread of its own with a new job.
  std::shared_ptr<Job> Start(const std::string& kind, const std::string& subject, std::function<void(Job&)> work);
  std::shared_ptr<Job> Find(std::uint64_t id);
  nlohmann::json List();
  void JoinAll();

 private:
  friend class Job;
  EventHub& events_;
  std::mutex lock_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, std::shared_ptr<Job>> jobs_;
  // A job's thread, and whether it has returned (so that it can be joined without waiting).
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> returned;
  };
  std::vector<Worker> workers_;
};

}  // namespace velkin::studio
