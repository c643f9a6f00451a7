// Long work (encoding a sound, programming a unit, writing its EEPROM record) as job objects: a
// state, a step, a progress and a result, each change published on the event stream. The HTTP layer
// only starts jobs and reports them. Encodes wait in a queue for a pool of workers, one per core;
// device work runs on a thread of its own, one job per unit at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
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

// kBuild: a sound set fitted (where it leaves a choice) and built into one image.
enum class JobKind { kEncode, kProgram, kEeprom, kBuild };

// A job is running from the moment it is made (its step says "queued" while it waits for a worker)
// until it is done or has failed.
enum class JobState { kRunning, kDone, kFailed };

// Why a job failed; the result text says it in words.
enum class Failure {
  kNone,
  kInput,        // the file or the request cannot be used
  kNoSpace,      // the work folder is full or cannot be written
  kUnitPulled,   // the unit went away
  kUnitRefused,  // the unit refused a command
  kNoAnswer,     // the unit did not answer
  kMismatch,     // what was read back differs from what was written
  kCancelled,    // stopped on purpose: the studio stopping, the sound deleted
  kResources,    // no thread or no memory for the work
  kInternal,     // a fault of the studio's own
};

const char* NameOf(JobKind kind);
const char* NameOf(JobState state);
const char* NameOf(Failure failure);

class Job {
 public:
  Job(JobBoard& board, std::uint64_t id, JobKind kind, std::string subject);

  std::uint64_t id() const { return id_; }
  JobKind kind() const { return kind_; }
  // What has to follow from the outcome before anyone can see it (the sound's state, the unit
  // free again): runs once, before the outcome is set and published. Set before the job runs.
  using Ending = std::function<void(JobState outcome, const std::string& result)>;
  void OnEnd(Ending ending) { ending_ = std::move(ending); }

  // Progress of the current step, 0..100; published only when it changes.
  void Step(const std::string& step, int percent = 0);
  void Progress(int percent);
  // What the job is about (the sound and encoding a unit is programmed with, say): merged into its
  // details, published with the next change.
  void Describe(const nlohmann::json& details);
  // The first outcome stands: later ones are ignored. `details` are merged into those described.
  void Succeed(const std::string& result, const nlohmann::json& details = {});
  void Fail(Failure failure, const std::string& reason, const nlohmann::json& details = {});

  // Asks the work to stop; it looks at Cancelled() between its steps.
  void Cancel() { cancel_ = true; }
  bool Cancelled() const { return cancel_; }
  // The flag itself, for work that checks it between its own commands.
  const std::atomic<bool>* CancelFlag() const { return &cancel_; }

  JobState state();
  Failure failure();
  std::string result();
  bool Finished() { return state() != JobState::kRunning; }
  nlohmann::json Snapshot();

 private:
  void Publish();
  // Closes the current step's time; the caller holds the lock.
  void EndStep();
  // Claims the right to set the outcome and runs the ending; false when another has it.
  bool End(JobState outcome, const std::string& result);

  JobBoard& board_;
  const std::uint64_t id_;
  const JobKind kind_;
  const std::string subject_;  // the sound's number or the unit's name
  std::atomic<bool> cancel_{false};
  Ending ending_;
  std::mutex lock_;
  bool ended_ = false;
  JobState state_ = JobState::kRunning;
  Failure failure_ = Failure::kNone;
  std::string step_ = "queued";
  int progress_ = 0;
  std::string result_;  // "encoded", "verified", "written", or the failure's reason
  nlohmann::json details_ = nlohmann::json::object();
  // When it was made and when it ended, by the wall clock (milliseconds since 1970): what a page
  // shows as "when".
  const std::int64_t started_at_;
  std::int64_t ended_at_ = 0;
  // How long each step took (milliseconds), and when the current one began.
  const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point step_start_ = created_;
  nlohmann::json times_ = nlohmann::json::object();
  double elapsed_ms_ = 0;
};

// Why a job was not made.
enum class Refusal {
  kNone,
  kBusy,       // the unit or the sound has a job already
  kQueueFull,  // as many encodes wait as the queue takes
  kFull,       // as many sounds are kept as the studio takes
  kNoSpace,    // the work folder has no room for what the job would write
  kStopping,   // the studio is stopping
  kResources,  // not even the job could be made (no memory)
  kGone,       // the unit is not plugged in
};

struct Started {
  std::shared_ptr<Job> job;  // null when refused
  Refusal refusal = Refusal::kNone;
};

// Starts a thread; throws std::system_error when none can be made (as std::thread does).
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

struct PoolOptions {
  unsigned workers = 0;         // encode workers; 0: one per core
  std::size_t max_queued = 32;  // encodes waiting for a worker
  std::size_t kept = 1000;      // finished jobs still listed
  ThreadStarter start_thread;   // empty: std::thread
};

class JobBoard {
 public:
  using Work = std::function<void(Job&)>;

  explicit JobBoard(EventHub& events, PoolOptions options = {});
  // Stops and waits for every job.
  ~JobBoard();

  // Queues `work` for the pool, with `ending` as the job's Job::OnEnd. A job whose work throws, or
  // returns without an outcome, fails with the reason; one for which no worker thread can be made
  // fails at once, as do those still queued when the board stops.
  Started Queue(JobKind kind, const std::string& subject, Work work, Job::Ending ending = {});
  // Runs `work` on a thread of its own at once, with the same guarantees.
  Started Spawn(JobKind kind, const std::string& subject, Work work, Job::Ending ending = {});
  // Whether the queue takes no more encodes now.
  bool QueueFull();

  std::shared_ptr<Job> Find(std::uint64_t id);
  nlohmann::json List();

  // Cancels every job: queued ones fail at once, running ones are asked to stop. Waits up to `grace`
  // for the running ones; false when some still run then (their threads are left to the process's
  // end, and the board must not be destroyed before it).
  bool Stop(std::chrono::milliseconds grace);

  unsigned workers() const { return max_workers_; }
  std::size_t max_queued() const { return options_.max_queued; }

 private:
  friend class Job;
  struct Task {
    std::shared_ptr<Job> job;
    Work work;
  };
  struct Thread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> returned;
  };

  std::shared_ptr<Job> MakeJob(JobKind kind, const std::string& subject, Job::Ending ending);
  static void Run(Task& task);
  void WorkerLoop();
  std::thread StartThread(std::function<void()> body);

  EventHub& events_;
  const PoolOptions options_;
  const unsigned max_workers_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, std::shared_ptr<Job>> jobs_;
  std::deque<Task> queue_;
  std::vector<std::thread> workers_;
  std::vector<Thread> spawned_;
  unsigned idle_ = 0;
  unsigned running_ = 0;
  bool stopping_ = false;
};

}  // namespace velkin::studio
