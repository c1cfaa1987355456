#pragma once
// One thread that runs jobs one after another, for work that may block (a
// VISA call can take its whole time-out) while the window's thread goes on.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quorvel {

class WorkerThread {
 public:
  WorkerThread();
  // Runs the jobs already given, then ends the thread.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Any thread: `job` runs on the worker after those given before it.
  void Run(std::function<void()> job);

 private:
  void Serve();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool ending_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace quorvel
