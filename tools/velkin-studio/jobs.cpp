#include "jobs.h"

#include <exception>
#include <new>
#include <system_error>

#include "listing.h"

namespace velkin::studio {

const char* NameOf(JobKind kind) {
  switch (kind) {
    case JobKind::kEncode:
      return "encode";
    case JobKind::kProgram:
      return "program";
    case JobKind::kEeprom:
      return "eeprom";
    case JobKind::kBuild:
      return "build";
  }
  return "?";
}

const char* NameOf(JobState state) {
  switch (state) {
    case JobState::kRunning:
      return "running";
    case JobState::kDone:
      return "done";
    case JobState::kFailed:
      return "failed";
  }
  return "?";
}

const char* NameOf(Failure failure) {
  switch (failure) {
    case Failure::kNone:
      return "none";
    case Failure::kInput:
      return "input";
    case Failure::kNoSpace:
      return "no_space";
    case Failure::kUnitPulled:
      return "unit_pulled";
    case Failure::kUnitRefused:
      return "unit_refused";
    case Failure::kNoAnswer:
      return "no_answer";
    case Failure::kMismatch:
      return "mismatch";
    case Failure::kCancelled:
      return "cancelled";
    case Failure::kResources:
      return "resources";
    case Failure::kInternal:
      return "internal";
  }
  return "?";
}

namespace {

std::int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Merge(nlohmann::json& into, const nlohmann::json& more) {
  if (more.is_object()) into.update(more);
}

}  // namespace

Job::Job(JobBoard& board, std::uint64_t id, JobKind kind, std::string subject)
    : board_(board), id_(id), kind_(kind), subject_(std::move(subject)), started_at_(WallClockMs()) {}

void Job::EndStep() {
  const auto now = std::chrono::steady_clock::now();
  if (step_ != "queued") times_[step_] = std::chrono::duration<double, std::milli>(now - step_start_).count();
  step_start_ = now;
  elapsed_ms_ = std::chrono::duration<double, std::milli>(now - created_).count();
}

void Job::Step(const std::string& step, int percent) {
  {
    std::lock_guard guard(lock_);
    if (ended_) return;
    EndStep();
    step_ = step;
    progress_ = percent;
  }
  Publish();
}

void Job::Progress(int percent) {
  {
    std::lock_guard guard(lock_);
    if (ended_ || percent == progress_) return;
    progress_ = percent;
  }
  Publish();
}

bool Job::End(JobState outcome, const std::string& result) {
  {
    std::lock_guard guard(lock_);
    if (ended_) return false;
    ended_ = true;
  }
  if (ending_) ending_(outcome, result);
  return true;
}

void Job::Describe(const nlohmann::json& details) {
  std::lock_guard guard(lock_);
  Merge(details_, details);
}

void Job::Succeed(const std::string& result, const nlohmann::json& details) {
  if (!End(JobState::kDone, result)) return;
  {
    std::lock_guard guard(lock_);
    EndStep();
    state_ = JobState::kDone;
    progress_ = 100;
    result_ = result;
    ended_at_ = WallClockMs();
    Merge(details_, details);
  }
  Publish();
}

void Job::Fail(Failure failure, const std::string& reason, const nlohmann::json& details) {
  if (!End(JobState::kFailed, reason)) return;
  {
    std::lock_guard guard(lock_);
    EndStep();
    state_ = JobState::kFailed;
    failure_ = failure;
    result_ = reason;
    ended_at_ = WallClockMs();
    Merge(details_, details);
  }
  Publish();
}

JobState Job::state() {
  std::lock_guard guard(lock_);
  return state_;
}

Failure Job::failure() {
  std::lock_guard guard(lock_);
  return failure_;
}

std::string Job::result() {
  std::lock_guard guard(lock_);
  return result_;
}

nlohmann::json Job::Snapshot() {
  std::lock_guard guard(lock_);
  nlohmann::json out = {{"id", id_},     {"kind", NameOf(kind_)}, {"subject", subject_}, {"state", NameOf(state_)},
                        {"step", step_}, {"progress", progress_}, {"result", result_},   {"started_at", started_at_}};
  if (state_ == JobState::kFailed) out["failure"] = NameOf(failure_);
  if (!details_.empty()) out["details"] = details_;
  if (state_ != JobState::kRunning) {
    out["times_ms"] = times_;
    out["elapsed_ms"] = elapsed_ms_;
    out["ended_at"] = ended_at_;
  }
  return out;
}

void Job::Publish() {
  board_.events_.Publish("job", Snapshot());
}

JobBoard::JobBoard(EventHub& events, PoolOptions options)
    : events_(events),
      options_(std::move(options)),
      max_workers_(options_.workers != 0 ? options_.workers : std::max(1u, std::thread::hardware_concurrency())) {}

JobBoard::~JobBoard() {
  Stop(std::chrono::hours(24));
}

std::thread JobBoard::StartThread(std::function<void()> body) {
  return options_.start_thread ? options_.start_thread(std::move(body)) : std::thread(std::move(body));
}

std::shared_ptr<Job> JobBoard::MakeJob(JobKind kind, const std::string& subject, Job::Ending ending) {
  // Finished jobs beyond the number kept go, oldest first, so a long session does not grow.
  for (auto it = jobs_.begin(); jobs_.size() >= options_.kept && it != jobs_.end();) {
    it = it->second->Finished() ? jobs_.erase(it) : std::next(it);
  }
  auto job = std::make_shared<Job>(*this, next_++, kind, subject);
  job->OnEnd(std::move(ending));
  jobs_[job->id()] = job;
  return job;
}

void JobBoard::Run(Task& task) {
  Job& job = *task.job;
  try {
    task.work(job);
    if (!job.Finished()) job.Fail(Failure::kInternal, "ended without a result");
  } catch (const std::bad_alloc&) {
    job.Fail(Failure::kResources, "out of memory");
  } catch (const std::exception& e) {
    job.Fail(Failure::kInternal, std::string("internal error: ") + e.what());
  }
}

Started JobBoard::Queue(JobKind kind, const std::string& subject, Work work, Job::Ending ending) {
  std::unique_lock guard(lock_);
  if (stopping_) return {nullptr, Refusal::kStopping};
  if (queue_.size() >= options_.max_queued) return {nullptr, Refusal::kQueueFull};
  Task task{MakeJob(kind, subject, std::move(ending)), std::move(work)};
  auto job = task.job;
  queue_.push_back(std::move(task));
  if (idle_ < queue_.size() && workers_.size() < max_workers_) {
    try {
      workers_.push_back(StartThread([this] { WorkerLoop(); }));
    } catch (const std::system_error& e) {
      // With a worker running the job waits its turn; with none it would wait for ever.
      if (workers_.empty()) {
        Task lost = std::move(queue_.back());
        queue_.pop_back();
        guard.unlock();
        lost.job->Fail(Failure::kResources, std::string("no thread could be started for the work: ") + e.what());
        return {job};
      }
    }
  }
  guard.unlock();
  wake_.notify_one();
  return {job};
}

void JobBoard::WorkerLoop() {
  std::unique_lock guard(lock_);
  for (;;) {
    ++idle_;
    wake_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (stopping_) return;
    Task task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    guard.unlock();
    Run(task);
    task = Task{};
    guard.lock();
    --running_;
    done_.notify_all();
  }
}

Started JobBoard::Spawn(JobKind kind, const std::string& subject, Work work, Job::Ending ending) {
  std::unique_lock guard(lock_);
  if (stopping_) return {nullptr, Refusal::kStopping};
  // Threads of jobs that have returned are joined here, so a long session does not keep them.
  std::erase_if(spawned_, [](Thread& t) {
    if (!t.returned->load()) return false;
    t.thread.join();
    return true;
  });
  auto task = std::make_shared<Task>(Task{MakeJob(kind, subject, std::move(ending)), std::move(work)});
  const auto job = task->job;
  auto returned = std::make_shared<std::atomic<bool>>(false);
  ++running_;
  try {
    spawned_.push_back({StartThread([this, task, returned] {
                          Run(*task);
                          *task = Task{};
                          std::lock_guard done(lock_);
                          --running_;
                          returned->store(true);
                          done_.notify_all();
                        }),
                        returned});
  } catch (const std::system_error& e) {
    --running_;
    guard.unlock();
    job->Fail(Failure::kResources, std::string("no thread could be started for the work: ") + e.what());
  }
  return {job};
}

bool JobBoard::QueueFull() {
  std::lock_guard guard(lock_);
  return queue_.size() >= options_.max_queued;
}

std::shared_ptr<Job> JobBoard::Find(std::uint64_t id) {
  std::lock_guard guard(lock_);
  const auto it = jobs_.find(id);
  return it == jobs_.end() ? nullptr : it->second;
}

nlohmann::json JobBoard::List() {
  return JsonListOf(lock_, jobs_, [](Job& job) { return job.Snapshot(); });
}

bool JobBoard::Stop(std::chrono::milliseconds grace) {
  std::deque<Task> waiting;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    waiting.swap(queue_);
    for (const auto& [id, job] : jobs_) job->Cancel();
  }
  wake_.notify_all();
  for (Task& task : waiting) task.job->Fail(Failure::kCancelled, "cancelled: the studio stopped");

  std::vector<std::thread> threads;
  {
    std::unique_lock guard(lock_);
    const bool ended = done_.wait_for(guard, grace, [this] { return running_ == 0; });
    threads.swap(workers_);
    for (Thread& t : spawned_) threads.push_back(std::move(t.thread));
    spawned_.clear();
    if (!ended) {
      // Work inside a call that cannot be interrupted (an encoder, a unit busy with its EEPROM):
      // the process ends around it.
      for (auto& thread : threads) thread.detach();
      return false;
    }
  }
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  return true;
}

}  // namespace velkin::studio
