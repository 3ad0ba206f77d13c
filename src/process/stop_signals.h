// SIGTERM and SIGINT as an orderly stop of the process.
#ifndef SRC_PROCESS_STOP_SIGNALS_H_
#define SRC_PROCESS_STOP_SIGNALS_H_

#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace vostek_kestu {

// Turns SIGTERM and SIGINT into an orderly stop.
//
// The signal handler only writes the signal number to a pipe, which is all a
// handler may safely do; a thread of this class reads it and calls the stop
// callback. The callback must return quickly: it asks the parts of the
// process to stop, and the main thread does the stopping. A second signal
// ends the process at once, from the handler (exit status 128 + the
// signal). If the process still runs `deadline` after the first signal, the
// thread ends it: with status 0 when MarkStopped() was called (its files are
// safe), else 1.
//
// One instance at a time per process. The destructor puts the previous
// handlers back and ends the thread.
class StopSignals {
 public:
  using Callback = std::function<void(int signal_number)>;

  StopSignals(Callback on_stop, std::chrono::milliseconds deadline);
  ~StopSignals();

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool stop_requested() const { return stop_requested_; }
  // The orderly part of the stop is done; what is left may be cut short.
  void MarkStopped() { stopped_ = true; }

 private:
  void Watch();
  // Ends the process when the deadline has passed; otherwise returns the
  // milliseconds left until it (-1: no deadline yet).
  int CheckDeadline();

  const Callback on_stop_;
  const std::chrono::milliseconds deadline_;
  std::chrono::steady_clock::time_point stop_time_;  // watcher thread only
  int pipe_read_ = -1;
  int pipe_write_ = -1;
  int wake_fd_ = -1;  // readable when the destructor ends the thread
  struct sigaction previous_term_ = {};
  struct sigaction previous_int_ = {};
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> stopped_{false};
  std::thread watcher_;
};

}  // namespace vostek_kestu

#endif  // SRC_PROCESS_STOP_SIGNALS_H_
