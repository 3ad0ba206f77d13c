// Helpers shared by the tests: port blocks, polling with a deadline, a
// thread-safe capture of std::cerr and a child process with its output in
// files.
#ifndef TESTS_TESTING_TEST_UTIL_H_
#define TESTS_TESTING_TEST_UTIL_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace kestu_testing {

// A block of 20 ports for one test. Each test passes its own index, so that
// tests running in parallel never share ports.
int PortBlock(int index);

// Calls pred until it returns true or the time-out passes; returns its last
// answer.
bool PollUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds step = std::chrono::milliseconds(5));

// Redirects std::cerr into a buffer that threads may write concurrently.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string str() const;
  bool Contains(const std::string& text) const;

 private:
  class Buffer : public std::streambuf {
   public:
    std::string str() const;

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

   private:
    mutable std::mutex mutex_;  // guards text_
    std::string text_;
  };
  Buffer buffer_;
  std::streambuf* saved_;
};

// A child process started with the given arguments; its stdout and stderr go
// to temporary files. The destructor kills it if it still runs.
class ChildProcess {
 public:
  ChildProcess(const std::string& binary, const std::vector<std::string>& args);
  ~ChildProcess();

  // Waits for the exit; returns the exit status, or -1 after the time-out.
  int Wait(std::chrono::milliseconds timeout);
  bool Running();
  void Kill();
  std::string Stdout() const;
  std::string Stderr() const;
  // The child's process id; -1 once it has been waited for.
  pid_t pid() const { return pid_; }
  // Sends a signal to the child; false when it is not running.
  bool Signal(int signal_number);
  // Polls until stderr contains the text.
  bool WaitForStderr(
      const std::string& text,
      std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string stdout_path_;
  std::string stderr_path_;
};

std::string ReadFile(const std::string& path);

// Open file descriptors and resident memory of a process (0: this one), read
// from /proc; -1 when the process cannot be read.
int OpenDescriptorCount(pid_t pid = 0);
int64_t ResidentBytes(pid_t pid = 0);

}  // namespace kestu_testing

#endif  // TESTS_TESTING_TEST_UTIL_H_
