#include "src/process/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <glog/logging.h>

namespace vostek_kestu {

namespace {

// Shared with the handler: lock-free atomics are safe to use there.
std::atomic<int> g_signal_count{0};
std::atomic<int> g_pipe_write{-1};

void OnStopSignal(int signal_number) {
  if (g_signal_count.fetch_add(1) > 0) _exit(128 + signal_number);
  const int fd = g_pipe_write.load();
  if (fd < 0) return;
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  (void)!write(fd, &byte, 1);
  errno = saved_errno;
}

std::string SignalName(int signal_number) {
  switch (signal_number) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "signal " + std::to_string(signal_number);
  }
}

}  // namespace

StopSignals::StopSignals(Callback on_stop, std::chrono::milliseconds deadline)
    : on_stop_(std::move(on_stop)), deadline_(deadline) {
  int fds[2];
  PCHECK(pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) << "pipe2";
  pipe_read_ = fds[0];
  pipe_write_ = fds[1];
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  PCHECK(wake_fd_ >= 0) << "eventfd";
  g_signal_count = 0;
  g_pipe_write = pipe_write_;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &previous_term_);
  sigaction(SIGINT, &action, &previous_int_);
  watcher_ = std::thread(&StopSignals::Watch, this);
}

StopSignals::~StopSignals() {
  sigaction(SIGTERM, &previous_term_, nullptr);
  sigaction(SIGINT, &previous_int_, nullptr);
  g_pipe_write = -1;
  const uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof(one));
  if (watcher_.joinable()) watcher_.join();
  close(pipe_read_);
  close(pipe_write_);
  close(wake_fd_);
}

void StopSignals::Watch() {
  while (true) {
    pollfd fds[2] = {{pipe_read_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, CheckDeadline());
    if (ready < 0 && errno != EINTR) {
      PLOG(ERROR) << "Waiting for stop signals failed";
      return;
    }
    if (fds[1].revents & POLLIN) return;
    if (!(fds[0].revents & POLLIN)) continue;
    unsigned char byte = 0;
    while (read(pipe_read_, &byte, 1) == 1) {
      if (stop_requested_) continue;
      stop_time_ = std::chrono::steady_clock::now();
      stop_requested_ = true;
      LOG(INFO) << SignalName(byte) << " received: stopping";
      on_stop_(byte);
    }
  }
}

int StopSignals::CheckDeadline() {
  if (!stop_requested_) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      stop_time_ + deadline_ - std::chrono::steady_clock::now());
  if (left.count() > 0) return static_cast<int>(left.count());
  const bool stopped = stopped_;
  LOG(ERROR) << "Stopping took longer than " << deadline_.count()
             << " ms; ending the process now";
  google::FlushLogFiles(google::GLOG_INFO);
  std::fflush(nullptr);
  _exit(stopped ? 0 : 1);
}

}  // namespace vostek_kestu
