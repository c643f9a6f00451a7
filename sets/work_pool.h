// A small pool for the set's work: the clips are prepared, and fit's candidates encoded and scored,
// on every core at once. The calling thread works too, so the work gets done even when no other
// thread can be started.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

namespace velkin::sets {

// Starts a thread running `body`; throws std::system_error when the system refuses (as the
// std::thread constructor does). Tests put a starter here that refuses.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// The threads the machine runs at once (at least 1).
unsigned MachineThreads();

// Runs task(0) .. task(count - 1), each once, on up to `threads` threads counting the caller's,
// and returns when all have ended. A thread that cannot be started leaves its share to those that
// did (the caller's at least). When a task throws, the tasks not yet begun are skipped and the
// first exception is thrown again here, after every thread has ended.
void RunTasks(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task,
              const ThreadStarter& starter = {});
// The same, telling each task which worker runs it: 0 the caller's thread, then 1, 2, ... up to
// threads - 1, so that a task can use that worker's own buffers (kept in the caller, one per
// worker, rather than in thread-local storage, which some Windows runtimes tear down badly).
void RunTasks(std::size_t count, unsigned threads,
              const std::function<void(std::size_t task, std::size_t worker)>& task, const ThreadStarter& starter = {});

}  // namespace velkin::sets
