#include "src/common/stderr_line_forwarder.h"

#include <iostream>
#include <mutex>
#include <streambuf>

namespace vostek_kestu {
namespace {

thread_local StderrLineForwarder* current_forwarder = nullptr;
thread_local bool in_callback = false;

// Collects each thread's characters until a line is complete, then writes
// the line to the buffer it stands in front of and offers it to the
// thread's forwarder.
class LineSplitter : public std::streambuf {
 public:
  void set_target(std::streambuf* target) { target_ = target; }
  std::streambuf* target() const { return target_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
    const char ch = traits_type::to_char_type(c);
    Append(&ch, 1);
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    Append(s, static_cast<size_t>(n));
    return n;
  }
  int sync() override { return 0; }  // lines go out when complete

 private:
  void Append(const char* s, size_t n) {
    thread_local std::string pending;
    for (size_t i = 0; i < n; ++i) {
      pending.push_back(s[i]);
      if (s[i] != '\n') continue;
      target_->sputn(pending.data(),
                     static_cast<std::streamsize>(pending.size()));
      target_->pubsync();
      pending.pop_back();
      const std::string line = std::move(pending);
      pending.clear();
      StderrLineForwarder::Forward(line);
    }
  }

  std::streambuf* target_ = nullptr;
};

std::mutex install_mutex;  // guards the installation in front of std::cerr

// The buffer std::cerr starts with (standard error itself), which lives as
// long as the process.
std::streambuf* const standard_error_buffer = std::cerr.rdbuf();

// Puts the splitter in front of standard error's own buffer. A buffer that
// someone else put in place (a test capturing standard error) is left
// alone: its lines are not forwarded while it is there.
void InstallSplitter() {
  static LineSplitter* splitter = new LineSplitter();  // lives for ever
  std::lock_guard<std::mutex> lock(install_mutex);
  if (std::cerr.rdbuf() != standard_error_buffer) return;
  splitter->set_target(standard_error_buffer);
  std::cerr.rdbuf(splitter);
}

}  // namespace

StderrLineForwarder::StderrLineForwarder(Callback callback)
    : callback_(std::move(callback)), outer_(current_forwarder) {
  InstallSplitter();
  current_forwarder = this;
}

StderrLineForwarder::~StderrLineForwarder() { current_forwarder = outer_; }

bool StderrLineForwarder::Forward(const std::string& line) {
  StderrLineForwarder* forwarder = current_forwarder;
  if (forwarder == nullptr || in_callback) return false;
  struct CallbackScope {
    CallbackScope() { in_callback = true; }
    ~CallbackScope() { in_callback = false; }
  } scope;
  forwarder->callback_(line);
  return true;
}

}  // namespace vostek_kestu
