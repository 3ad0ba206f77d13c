#include "tests/testing/test_util.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

extern char** environ;

namespace kestu_testing {

// Below the kernel's ephemeral range (32768 and up), so that no outgoing
// connection of a parallel test can be holding one of these ports.
int PortBlock(int index) { return 21000 + index * 20; }

bool PollUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

std::string StderrCapture::Buffer::str() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

StderrCapture::Buffer::int_type StderrCapture::Buffer::overflow(int_type c) {
  if (c != traits_type::eof()) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.push_back(static_cast<char>(c));
  }
  return c;
}

std::streamsize StderrCapture::Buffer::xsputn(const char* s,
                                              std::streamsize n) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.append(s, static_cast<size_t>(n));
  return n;
}

StderrCapture::StderrCapture() : saved_(std::cerr.rdbuf(&buffer_)) {}
StderrCapture::~StderrCapture() { std::cerr.rdbuf(saved_); }
std::string StderrCapture::str() const { return buffer_.str(); }
bool StderrCapture::Contains(const std::string& text) const {
  return str().find(text) != std::string::npos;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

namespace {
std::string ProcPath(pid_t pid, const std::string& entry) {
  return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) +
         "/" + entry;
}
}  // namespace

int OpenDescriptorCount(pid_t pid) {
  std::error_code error;
  std::filesystem::directory_iterator it(ProcPath(pid, "fd"), error);
  if (error) return -1;
  int count = 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return -1;
    ++count;
  }
  return count;
}

int64_t ResidentBytes(pid_t pid) {
  std::ifstream status(ProcPath(pid, "status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stoll(line.substr(6)) * 1024;  // the value is in kB
    }
  }
  return -1;
}

namespace {
std::string TempPath(const char* stem) {
  char path[] = "/tmp/kestu-test-XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  return std::string(path) + "." + stem;
}
}  // namespace

namespace {
// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void ExecChild(const char* binary, char* const* argv,
                            const char* stdout_path, const char* stderr_path,
                            pid_t parent, int report_fd) {
  // Dies with the test program, even one killed from outside, so that no
  // server is left holding the test's ports.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(stderr_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in >= 0 && out >= 0 && err >= 0 && dup2(in, 0) >= 0 &&
      dup2(out, 1) >= 0 && dup2(err, 2) >= 0) {
    // The program gets the three as 0, 1 and 2 only.
    for (const int fd : {in, out, err}) {
      if (fd > 2) close(fd);
    }
    execve(binary, argv, environ);
  }
  const int failure = errno;
  ssize_t ignored = write(report_fd, &failure, sizeof(failure));
  (void)ignored;
  _exit(127);
}
}  // namespace

ChildProcess::ChildProcess(const std::string& binary,
                           const std::vector<std::string>& args)
    : stdout_path_(TempPath("out")), stderr_path_(TempPath("err")) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // The child writes to the pipe only when it could not exec; a successful
  // exec closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return;
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    ExecChild(binary.c_str(), argv.data(), stdout_path_.c_str(),
              stderr_path_.c_str(), parent, report[1]);
  }
  close(report[1]);
  int failure = 0;
  ssize_t n;
  do {
    n = read(report[0], &failure, sizeof(failure));
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (pid_ > 0 && n > 0) {
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (pid_ < 0) pid_ = -1;
}

ChildProcess::~ChildProcess() {
  Kill();
  unlink(stdout_path_.c_str());
  unlink(stderr_path_.c_str());
  // The files that reserved the two names.
  for (const std::string* path : {&stdout_path_, &stderr_path_}) {
    unlink(path->substr(0, path->rfind('.')).c_str());
  }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ < 0) return status_;
  PollUntil(
      [this] {
        int raw = 0;
        pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r != pid_) return false;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        pid_ = -1;
        return true;
      },
      timeout, std::chrono::milliseconds(10));
  return pid_ < 0 ? status_ : -1;
}

bool ChildProcess::Running() {
  return pid_ >= 0 && Wait(std::chrono::milliseconds(0)) == -1;
}

void ChildProcess::Kill() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  int raw = 0;
  waitpid(pid_, &raw, 0);
  pid_ = -1;
}

bool ChildProcess::Signal(int signal_number) {
  return pid_ >= 0 && kill(pid_, signal_number) == 0;
}

std::string ChildProcess::Stdout() const { return ReadFile(stdout_path_); }
std::string ChildProcess::Stderr() const { return ReadFile(stderr_path_); }

bool ChildProcess::WaitForStderr(const std::string& text,
                                 std::chrono::milliseconds timeout) {
  return PollUntil([&] { return Stderr().find(text) != std::string::npos; },
                   timeout, std::chrono::milliseconds(10));
}

}  // namespace kestu_testing
