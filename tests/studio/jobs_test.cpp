// The studio's job board in-process: work that cannot start, work that throws, the bounded queue
// and its pool, and a stop that cancels. Threads that cannot be made are made to fail through the
// board's thread seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "tools/velkin-studio/events.h"
#include "tools/velkin-studio/jobs.h"

namespace velkin::studio {
namespace {

using namespace std::chrono_literals;

// A gate that work waits at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
};

struct Ended {
  std::atomic<int> count{0};
  std::string result;
  Job::Ending Note() {
    return [this](JobState, const std::string& text) {
      result = text;
      ++count;
    };
  }
};

// Whether every job has ended within ten seconds.
bool AllEnd(const std::vector<std::shared_ptr<Job>>& jobs) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  for (const auto& job : jobs) {
    while (!job->Finished()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
  }
  return true;
}

ThreadStarter NoThreads() {
  return [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
}

TEST(StudioJobs, AJobWhoseThreadCannotStartFailsWithItsReason) {
  EventHub events;
  PoolOptions options;
  options.start_thread = NoThreads();
  JobBoard board(events, options);
  for (const bool queued : {true, false}) {
    Ended ended;
    bool ran = false;
    const auto work = [&](Job& job) {
      ran = true;
      job.Succeed("done");
    };
    const Started started = queued ? board.Queue(JobKind::kEncode, "1", work, ended.Note())
                                   : board.Spawn(JobKind::kProgram, "unit", work, ended.Note());
    ASSERT_TRUE(started.job);
    EXPECT_FALSE(ran);
    EXPECT_EQ(started.job->state(), JobState::kFailed);
    EXPECT_EQ(started.job->failure(), Failure::kResources);
    EXPECT_NE(started.job->result().find("no thread could be started"), std::string::npos) << started.job->result();
    // What depends on the job (a sound's state, a unit's busy mark) learnt of it.
    EXPECT_EQ(ended.count, 1);
    EXPECT_EQ(ended.result, started.job->result());
  }
}

TEST(StudioJobs, WorkThatThrowsOrEndsWithoutAnOutcomeFailsWithTheReason) {
  EventHub events;
  JobBoard board(events);
  Ended memory, fault, silent;
  const auto no_memory = board.Queue(
      JobKind::kEncode, "1", [](Job&) { throw std::bad_alloc(); }, memory.Note());
  const auto thrown = board.Spawn(
      JobKind::kProgram, "u", [](Job&) { throw std::runtime_error("broken"); }, fault.Note());
  const auto nothing = board.Queue(
      JobKind::kEncode, "2", [](Job&) {}, silent.Note());
  ASSERT_TRUE(AllEnd({no_memory.job, thrown.job, nothing.job}));
  EXPECT_EQ(no_memory.job->failure(), Failure::kResources);
  EXPECT_EQ(no_memory.job->result(), "out of memory");
  EXPECT_EQ(thrown.job->failure(), Failure::kInternal);
  EXPECT_EQ(thrown.job->result(), "internal error: broken");
  EXPECT_EQ(nothing.job->failure(), Failure::kInternal);
  EXPECT_EQ(nothing.job->result(), "ended without a result");
  for (const Ended* e : {&memory, &fault, &silent}) EXPECT_EQ(e->count, 1);
}

TEST(StudioJobs, EncodesQueueForAsManyWorkersAsAskedAndTheQueueIsBounded) {
  EventHub events;
  PoolOptions options;
  options.workers = 2;
  options.max_queued = 3;
  JobBoard board(events, options);
  Gate gate;
  std::atomic<int> working{0};
  std::atomic<int> most{0};
  const auto work = [&](Job& job) {
    const int now = ++working;
    for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    gate.Wait();
    --working;
    job.Succeed("done");
  };
  std::vector<std::shared_ptr<Job>> jobs;
  // Two run, three wait; the sixth finds the queue full until one has left it.
  Started started;
  for (int i = 0; i < 6 && (started = board.Queue(JobKind::kEncode, std::to_string(i), work)).job; ++i) {
    jobs.push_back(started.job);
    while (i < 2 && working < i + 1) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(jobs.size(), 5u);
  EXPECT_EQ(started.refusal, Refusal::kQueueFull);
  EXPECT_TRUE(board.QueueFull());
  gate.Open();
  ASSERT_TRUE(AllEnd(jobs));
  EXPECT_EQ(most, 2);
  for (const auto& job : jobs) EXPECT_EQ(job->state(), JobState::kDone);
}

TEST(StudioJobs, AStopCancelsWhatWaitsAndAsksWhatRunsToStop) {
  EventHub events;
  PoolOptions options;
  options.workers = 1;
  JobBoard board(events, options);
  std::atomic<bool> began{false};
  const auto running = board.Queue(JobKind::kEncode, "1", [&](Job& job) {
    began = true;
    for (int i = 0; i < 10000 && !job.Cancelled(); ++i) std::this_thread::sleep_for(1ms);
    job.Fail(Failure::kCancelled, "cancelled");
  });
  Ended waited;
  const auto waiting = board.Queue(
      JobKind::kEncode, "2", [](Job& job) { job.Succeed("done"); }, waited.Note());
  while (!began) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(board.Stop(10s));
  EXPECT_EQ(running.job->failure(), Failure::kCancelled);
  EXPECT_EQ(waiting.job->failure(), Failure::kCancelled);
  EXPECT_EQ(waiting.job->result(), "cancelled: the studio stopped");
  EXPECT_EQ(waited.count, 1);
  EXPECT_EQ(board.Queue(JobKind::kEncode, "3", [](Job&) {}).refusal, Refusal::kStopping);
  EXPECT_EQ(board.Spawn(JobKind::kProgram, "u", [](Job&) {}).refusal, Refusal::kStopping);
}

TEST(StudioJobs, AStopDoesNotWaitLongerThanItsGraceForWorkThatDoesNotReturn) {
  EventHub events;
  Gate gate;
  auto board = std::make_unique<JobBoard>(events);
  const auto stuck = board->Spawn(JobKind::kEeprom, "u", [&](Job& job) {
    gate.Wait();
    job.Succeed("written");
  });
  EXPECT_FALSE(board->Stop(20ms));
  EXPECT_TRUE(stuck.job->Cancelled());
  // Once it returns, the board can go (its destructor waits for the work).
  gate.Open();
  board.reset();
  EXPECT_EQ(stuck.job->state(), JobState::kDone);
}

TEST(StudioJobs, TheFirstOutcomeStandsAndFinishedJobsAreNotKeptForEver) {
  EventHub events;
  PoolOptions options;
  options.kept = 3;
  JobBoard board(events, options);
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 5; ++i) {
    const auto started = board.Spawn(JobKind::kProgram, "u", [](Job& job) {
      job.Fail(Failure::kUnitPulled, "unit pulled");
      job.Succeed("verified");
      job.Fail(Failure::kMismatch, "read-back mismatch");
    });
    ids.push_back(started.job->id());
    while (!started.job->Finished()) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(started.job->failure(), Failure::kUnitPulled);
    EXPECT_EQ(started.job->Snapshot()["failure"], "unit_pulled");
  }
  EXPECT_LE(board.List().size(), 3u);
  EXPECT_EQ(board.Find(ids.front()), nullptr);
  EXPECT_NE(board.Find(ids.back()), nullptr);
}

}  // namespace
}  // namespace velkin::studio
