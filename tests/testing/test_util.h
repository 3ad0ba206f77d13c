// Helpers shared by the tests: port blocks, polling with a deadline, a
// thread-safe capture of std::cerr and a child process with its output in
// files.
#ifndef TESTS_TESTING_TEST_UTIL_H_
#define TESTS_TESTING_TEST_UTIL_H_

#include <sys/types.h>

#include <chrono>
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
  pid_t pid() const { return pid_; }
  std::string Stdout() const;
  std::string Stderr() const;
  // Polls until stderr contains the text.
  bool WaitForStderr(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string stdout_path_;
  std::string stderr_path_;
};

std::string ReadFile(const std::string& path);

}  // namespace kestu_testing

#endif  // TESTS_TESTING_TEST_UTIL_H_
