// StderrLineForwarder: while one is alive, every complete line that its
// thread writes to std::cerr is also handed to its callback (without the
// line break), besides going to standard error as before.
//
// The vision library reports configuration problems as single lines on
// standard error ("ERROR: Zone definition error"); a driver holds a
// forwarder while it applies a configuration so that those lines also
// reach its client:
//
//   {
//     StderrLineForwarder forward([&](const std::string& line) { ... });
//     pipeline->Setup(config);   // its lines reach the callback
//   }
//
// Contract:
//  - The first forwarder puts a line-splitting buffer in front of
//    standard error's own buffer (again if someone restored that one
//    since); while another buffer stands in std::cerr (a test capturing
//    standard error), nothing is forwarded. Lines are written whole, so
//    lines of several threads no longer interleave; a line without its line
//    break waits for it.
//  - Only lines of the forwarder's own thread reach its callback; other
//    threads write as before. Forwarders on one thread nest (the innermost
//    gets the lines).
//  - Whatever the callback writes to std::cerr goes to standard error only.
#ifndef SRC_COMMON_STDERR_LINE_FORWARDER_H_
#define SRC_COMMON_STDERR_LINE_FORWARDER_H_

#include <functional>
#include <string>

namespace vostek_kestu {

class StderrLineForwarder {
 public:
  using Callback = std::function<void(const std::string& line)>;

  explicit StderrLineForwarder(Callback callback);
  ~StderrLineForwarder();

  StderrLineForwarder(const StderrLineForwarder&) = delete;
  StderrLineForwarder& operator=(const StderrLineForwarder&) = delete;

  // Hands a line to this thread's innermost forwarder; false when there is
  // none (or the line comes from inside a callback).
  static bool Forward(const std::string& line);

 private:
  Callback callback_;
  StderrLineForwarder* outer_;
};

}  // namespace vostek_kestu

#endif  // SRC_COMMON_STDERR_LINE_FORWARDER_H_
