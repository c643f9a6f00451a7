#include "sets/work_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <vector>

namespace velkin::sets {

unsigned MachineThreads() {
  return std::max(1u, std::thread::hardware_concurrency());
}

void RunTasks(std::size_t count, unsigned threads, const std::function<void(std::size_t, std::size_t)>& task,
              const ThreadStarter& starter) {
  if (count == 0) return;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex failure_lock;
  std::exception_ptr failure;
  auto work = [&](std::size_t worker) {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t i = next.fetch_add(1);
      if (i >= count) return;
      try {
        task(i, worker);
      } catch (...) {
        std::lock_guard guard(failure_lock);
        if (!failure) failure = std::current_exception();
        stop = true;
      }
    }
  };

  const auto wanted = static_cast<std::size_t>(std::max(1u, threads));
  std::vector<std::thread> helpers;
  // Room for every helper first: a thread must never be dropped unjoined by a failed push.
  helpers.reserve(wanted);
  try {
    for (std::size_t t = 1; t < std::min(wanted, count); ++t) {
      auto body = [&work, t] { work(t); };
      helpers.push_back(starter ? starter(body) : std::thread(body));
    }
  } catch (const std::system_error&) {
    // No more threads to be had (a process limit, say): those that started and this one share
    // the rest.
  }
  work(0);
  for (auto& helper : helpers) {
    if (helper.joinable()) helper.join();
  }
  if (failure) std::rethrow_exception(failure);
}

void RunTasks(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task,
              const ThreadStarter& starter) {
  RunTasks(
      count, threads, [&task](std::size_t i, std::size_t) { task(i); }, starter);
}

}  // namespace velkin::sets
