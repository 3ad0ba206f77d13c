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
      target_->sputn(pending.data(), static_cast<std::streamsize>(pending.size()));
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

void InstallSplitter() {
  static LineSplitter* splitter = new LineSplitter();  // lives for ever
  std::lock_guard<std::mutex> lock(install_mutex);
  std::streambuf* current = std::cerr.rdbuf();
  if (current == splitter) return;
  splitter->set_target(current);
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
  in_callback = true;
  forwarder->callback_(line);
  in_callback = false;
  return true;
}

}  // namespace vostek_kestu
