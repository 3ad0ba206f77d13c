// DevToolsBrowser: Debian's Chromium, headless, driven over its remote
// debugging pipe (descriptors 3 and 4 of the browser, one JSON message per
// NUL-terminated chunk). It opens a page and attaches to it, evaluates
// scripts in it, dispatches real input events (mouse, text) and takes
// screenshots. The browser runs in a process group of its own, which the
// destructor ends.
#ifndef TESTS_TOOLS_DEVTOOLS_BROWSER_H_
#define TESTS_TOOLS_DEVTOOLS_BROWSER_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include <google/protobuf/struct.pb.h>

namespace kestu_tools {

class DevToolsBrowser {
 public:
  // A fresh profile in `profile_dir` (removed by the destructor).
  explicit DevToolsBrowser(const std::string& profile_dir);
  ~DevToolsBrowser();
  DevToolsBrowser(const DevToolsBrowser&) = delete;
  DevToolsBrowser& operator=(const DevToolsBrowser&) = delete;

  // Opens the page in a new tab and attaches to it.
  bool Open(const std::string& url);
  // The value of a script expression (promises awaited), or nothing when
  // it threw or the browser did not answer.
  std::optional<google::protobuf::Value> Evaluate(
      const std::string& expression);
  double Number(const std::string& expression);
  std::string String(const std::string& expression);

  // Mouse events at viewport coordinates; a click is a press and a release.
  bool MouseMove(double x, double y, bool pressed = false);
  bool MouseDown(double x, double y);
  bool MouseUp(double x, double y);
  bool Click(double x, double y);
  // Types into the focused element.
  bool InsertText(const std::string& text);
  // Gives a file input (CSS selector) a file, as choosing it would.
  bool SetInputFile(const std::string& selector, const std::string& path);
  // A PNG of the viewport region (CSS pixels).
  bool Screenshot(const std::string& path, double x, double y, double width,
                  double height);

  // The browser's standard error so far.
  std::string Log() const;

 private:
  // One command; its "result", or nothing on an error or time-out.
  std::optional<google::protobuf::Struct> Call(
      const std::string& method, const google::protobuf::Struct& params,
      bool in_page,
      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool Mouse(const std::string& type, double x, double y, bool pressed);

  std::string profile_dir_;
  std::string log_path_;
  pid_t pid_ = -1;
  int to_browser_ = -1;
  int from_browser_ = -1;
  int next_id_ = 0;
  std::string session_;
  std::string pending_;  // bytes read past the last message
};

}  // namespace kestu_tools

#endif  // TESTS_TOOLS_DEVTOOLS_BROWSER_H_
