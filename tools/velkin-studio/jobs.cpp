#include "jobs.h"

#include <exception>

namespace velkin::studio {

void Job::EndStep() {
  const auto now = std::chrono::steady_clock::now();
  if (step_ != "queued") times_[step_] = std::chrono::duration<double, std::milli>(now - step_start_).count();
  step_start_ = now;
  elapsed_ms_ = std::chrono::duration<double, std::milli>(now - created_).count();
}

void Job::Step(const std::string& step, int percent) {
  {
    std::lock_guard guard(lock_);
    EndStep();
    step_ = step;
    progress_ = percent;
  }
  Publish();
}

void Job::Progress(int percent) {
  {
    std::lock_guard guard(lock_);
    if (percent == progress_) return;
    progress_ = percent;
  }
  Publish();
}

void Job::Succeed(const std::string& result, nlohmann::json details) {
  {
    std::lock_guard guard(lock_);
    EndStep();
    state_ = "done";
    progress_ = 100;
    result_ = result;
    details_ = std::move(details);
  }
  Publish();
}

void Job::Fail(const std::string& reason) {
  {
    std::lock_guard guard(lock_);
    EndStep();
    state_ = "failed";
    result_ = reason;
  }
  Publish();
}

bool Job::Finished() {
  std::lock_guard guard(lock_);
  return state_ != "running";
}

nlohmann::json Job::Snapshot() {
  std::lock_guard guard(lock_);
  nlohmann::json out = {{"id", id_},     {"kind", kind_},         {"subject", subject_}, {"state", state_},
                        {"step", step_}, {"progress", progress_}, {"result", result_}};
  if (!details_.is_null()) out["details"] = details_;
  if (state_ != "running") {
    out["times_ms"] = times_;
    out["elapsed_ms"] = elapsed_ms_;
  }
  return out;
}

void Job::Publish() {
  board_.events_.Publish("job", Snapshot());
}

JobBoard::~JobBoard() {
  JoinAll();
}

std::shared_ptr<Job> JobBoard::Start(const std::string& kind, const std::string& subject,
                                     std::function<void(Job&)> work) {
  std::lock_guard guard(lock_);
  // Threads of jobs that have returned are joined here, so a long session does not keep them.
  std::erase_if(workers_, [](Worker& w) {
    if (!w.returned->load()) return false;
    w.thread.join();
    return true;
  });
  auto job = std::make_shared<Job>(*this, next_++, kind, subject);
  jobs_[job->id()] = job;
  auto returned = std::make_shared<std::atomic<bool>>(false);
  workers_.push_back({std::thread([job, returned, work = std::move(work)] {
                        try {
                          work(*job);
                          if (!job->Finished()) job->Fail("ended without a result");
                        } catch (const std::exception& e) {
                          job->Fail(std::string("internal error: ") + e.what());
                        }
                        returned->store(true);
                      }),
                      returned});
  return job;
}

std::shared_ptr<Job> JobBoard::Find(std::uint64_t id) {
  std::lock_guard guard(lock_);
  const auto it = jobs_.find(id);
  return it == jobs_.end() ? nullptr : it->second;
}

nlohmann::json JobBoard::List() {
  std::vector<std::shared_ptr<Job>> jobs;
  {
    std::lock_guard guard(lock_);
    for (const auto& [id, job] : jobs_) jobs.push_back(job);
  }
  nlohmann::json out = nlohmann::json::array();
  for (const auto& job : jobs) out.push_back(job->Snapshot());
  return out;
}

void JobBoard::JoinAll() {
  std::vector<Worker> workers;
  {
    std::lock_guard guard(lock_);
    workers.swap(workers_);
  }
  for (auto& w : workers) {
    if (w.thread.joinable()) w.thread.join();
  }
}

}  // namespace velkin::studio
