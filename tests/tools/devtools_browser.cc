#include "tests/tools/devtools_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include <google/protobuf/util/json_util.h>

#include "tests/testing/test_util.h"

namespace kestu_tools {
namespace {

using google::protobuf::Struct;
using google::protobuf::Value;

void Set(Struct* s, const std::string& key, const std::string& value) {
  (*s->mutable_fields())[key].set_string_value(value);
}
void Set(Struct* s, const std::string& key, double value) {
  (*s->mutable_fields())[key].set_number_value(value);
}
void Set(Struct* s, const std::string& key, bool value) {
  (*s->mutable_fields())[key].set_bool_value(value);
}
void Set(Struct* s, const std::string& key, const Struct& value) {
  *(*s->mutable_fields())[key].mutable_struct_value() = value;
}

std::string Field(const Struct& s, const std::string& key) {
  const auto it = s.fields().find(key);
  return it == s.fields().end() ? "" : it->second.string_value();
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  int bits = 0, value = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;
    value = (value << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xff);
    }
  }
  return out;
}

}  // namespace

DevToolsBrowser::DevToolsBrowser(const std::string& profile_dir)
    : profile_dir_(profile_dir), log_path_(profile_dir + ".log") {
  int to[2], from[2];
  if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) return;
  const std::vector<std::string> args = {"/usr/bin/chromium",
                                         "--headless",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-quic",
                                         "--no-first-run",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--remote-debugging-pipe",
                                         "--window-size=1400,1100",
                                         "--hide-scrollbars",
                                         "--user-data-dir=" + profile_dir,
                                         "about:blank"};
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    // Moved out of the way first, so that neither lands on 3 or 4 early.
    const int in = fcntl(to[0], F_DUPFD, 10), out = fcntl(from[1], F_DUPFD, 10);
    dup2(in, 3);
    dup2(out, 4);
    const int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, 1);
    dup2(log, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(to[0]);
  close(from[1]);
  to_browser_ = to[1];
  from_browser_ = from[0];
}

DevToolsBrowser::~DevToolsBrowser() {
  if (pid_ > 0) {
    Call("Browser.close", Struct(), false, std::chrono::seconds(2));
    const bool ended = kestu_testing::PollUntil(
        [&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; },
        std::chrono::seconds(5), std::chrono::milliseconds(20));
    kill(-pid_, SIGKILL);  // the browser's own helper processes too
    if (!ended) waitpid(pid_, nullptr, 0);
  }
  if (to_browser_ >= 0) close(to_browser_);
  if (from_browser_ >= 0) close(from_browser_);
  std::system(("rm -rf '" + profile_dir_ + "' '" + log_path_ + "'").c_str());
}

std::optional<Struct> DevToolsBrowser::Call(const std::string& method,
                                            const Struct& params, bool in_page,
                                            std::chrono::milliseconds timeout) {
  if (to_browser_ < 0) return std::nullopt;
  const int id = ++next_id_;
  std::string params_json;
  google::protobuf::util::MessageToJsonString(params, &params_json);
  std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" +
                        method + "\",\"params\":" + params_json;
  if (in_page) message += ",\"sessionId\":\"" + session_ + "\"";
  message += "}";
  message.push_back('\0');
  if (write(to_browser_, message.data(), message.size()) !=
      static_cast<ssize_t>(message.size())) {
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    for (size_t end = pending_.find('\0'); end != std::string::npos;
         end = pending_.find('\0')) {
      Struct reply;
      const std::string json = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!google::protobuf::util::JsonStringToMessage(json, &reply).ok())
        continue;
      const auto it = reply.fields().find("id");
      if (it == reply.fields().end() || it->second.number_value() != id)
        continue;
      if (reply.fields().count("error") > 0) return std::nullopt;
      return reply.fields().at("result").struct_value();
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd item = {from_browser_, POLLIN, 0};
    if (poll(&item, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[65536];
    const ssize_t got = read(from_browser_, buffer, sizeof(buffer));
    if (got <= 0) return std::nullopt;  // the browser went away
    pending_.append(buffer, static_cast<size_t>(got));
  }
}

bool DevToolsBrowser::Open(const std::string& url) {
  Struct create;
  Set(&create, "url", url);
  const auto target = Call("Target.createTarget", create, false);
  if (!target) return false;
  Struct attach;
  Set(&attach, "targetId", Field(*target, "targetId"));
  Set(&attach, "flatten", true);
  const auto attached = Call("Target.attachToTarget", attach, false);
  if (!attached) return false;
  session_ = Field(*attached, "sessionId");
  return !session_.empty();
}

std::optional<Value> DevToolsBrowser::Evaluate(const std::string& expression) {
  Struct params;
  Set(&params, "expression", expression);
  Set(&params, "returnByValue", true);
  Set(&params, "awaitPromise", true);
  const auto answer = Call("Runtime.evaluate", params, true);
  if (!answer || answer->fields().count("exceptionDetails") > 0)
    return std::nullopt;
  const Struct& result = answer->fields().at("result").struct_value();
  const auto value = result.fields().find("value");
  return value == result.fields().end() ? Value() : value->second;
}

double DevToolsBrowser::Number(const std::string& expression) {
  const auto value = Evaluate(expression);
  return value ? value->number_value() : -1.0;
}

std::string DevToolsBrowser::String(const std::string& expression) {
  const auto value = Evaluate(expression);
  return value ? value->string_value() : "";
}

bool DevToolsBrowser::Mouse(const std::string& type, double x, double y,
                            bool pressed) {
  Struct params;
  Set(&params, "type", type);
  Set(&params, "x", x);
  Set(&params, "y", y);
  Set(&params, "button",
      std::string(pressed || type != "mouseMoved" ? "left" : "none"));
  Set(&params, "buttons", pressed ? 1.0 : 0.0);
  Set(&params, "clickCount", type == "mouseMoved" ? 0.0 : 1.0);
  return Call("Input.dispatchMouseEvent", params, true).has_value();
}

bool DevToolsBrowser::MouseMove(double x, double y, bool pressed) {
  return Mouse("mouseMoved", x, y, pressed);
}
bool DevToolsBrowser::MouseDown(double x, double y) {
  return Mouse("mousePressed", x, y, true);
}
bool DevToolsBrowser::MouseUp(double x, double y) {
  return Mouse("mouseReleased", x, y, false);
}
bool DevToolsBrowser::Click(double x, double y) {
  return MouseMove(x, y) && MouseDown(x, y) && MouseUp(x, y);
}

bool DevToolsBrowser::InsertText(const std::string& text) {
  Struct params;
  Set(&params, "text", text);
  return Call("Input.insertText", params, true).has_value();
}

bool DevToolsBrowser::SetInputFile(const std::string& selector,
                                   const std::string& path) {
  Struct document;
  Set(&document, "depth", 0.0);
  const auto root = Call("DOM.getDocument", document, true);
  if (!root) return false;
  const Struct& top = root->fields().at("root").struct_value();
  Struct query;
  Set(&query, "nodeId", top.fields().at("nodeId").number_value());
  Set(&query, "selector", selector);
  const auto node = Call("DOM.querySelector", query, true);
  if (!node || node->fields().at("nodeId").number_value() == 0) return false;
  Struct files;
  google::protobuf::ListValue list;
  list.add_values()->set_string_value(path);
  *(*files.mutable_fields())["files"].mutable_list_value() = list;
  Set(&files, "nodeId", node->fields().at("nodeId").number_value());
  return Call("DOM.setFileInputFiles", files, true).has_value();
}

bool DevToolsBrowser::Screenshot(const std::string& path, double x, double y,
                                 double width, double height) {
  Struct clip;
  Set(&clip, "x", x);
  Set(&clip, "y", y);
  Set(&clip, "width", width);
  Set(&clip, "height", height);
  Set(&clip, "scale", 1.0);
  Struct params;
  Set(&params, "format", std::string("png"));
  Set(&params, "clip", clip);
  Set(&params, "captureBeyondViewport", true);
  const auto shot = Call("Page.captureScreenshot", params, true);
  if (!shot) return false;
  std::ofstream(path, std::ios::binary) << Base64Decode(Field(*shot, "data"));
  return true;
}

std::string DevToolsBrowser::Log() const {
  return kestu_testing::ReadFile(log_path_);
}

}  // namespace kestu_tools
