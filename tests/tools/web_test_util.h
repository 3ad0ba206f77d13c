// Helpers of the kestu-web tests: kestu-vision and kestu-web as child
// processes on the test's own ports, HTTP gets, and the Prometheus parser.
#ifndef TESTS_TOOLS_WEB_TEST_UTIL_H_
#define TESTS_TOOLS_WEB_TEST_UTIL_H_

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/testing/test_util.h"

namespace kestu_tools {

using kestu_testing::ChildProcess;
using std::chrono::milliseconds;

inline constexpr milliseconds kWait(20000);
inline constexpr char kVision[] = KESTU_BINARY_DIR "/src/kestu-vision";
inline constexpr char kWeb[] = KESTU_BINARY_DIR "/tools/kestu-web";

// The --process argument of a kestu-vision on `base`, streaming on
// base + 15.
inline std::string Address(int base) {
  return "127.0.0.1:" + std::to_string(base);
}
inline std::string ProcessArgument(int base) {
  return Address(base) + "/" + std::to_string(base + 15);
}

// kestu-vision on `base` (drivers base+1..+12, streaming base+15), with
// extra flags.
class VisionProcess {
 public:
  explicit VisionProcess(int base, std::vector<std::string> flags = {}) {
    flags.insert(flags.begin(),
                 {"--bind_port=" + std::to_string(base),
                  "--streaming_port=" + std::to_string(base + 15)});
    child_ = std::make_unique<ChildProcess>(kVision, flags);
  }
  // The process registered its drivers (or, in stand-alone mode, runs).
  bool Started(const std::string& line = "Registered driver CrowdDriver") {
    return child_->WaitForStderr(line, kWait);
  }
  ChildProcess& child() { return *child_; }

 private:
  std::unique_ptr<ChildProcess> child_;
};

// kestu-web on `http_port` over the given processes ("host:port" or
// "host:port/streaming"), with extra flags. Without a --database flag its
// history goes to a file of its own, removed with it.
class WebProcess {
 public:
  WebProcess(int http_port, const std::vector<std::string>& processes,
             const std::vector<std::string>& flags = {})
      : port_(http_port) {
    std::vector<std::string> args = {"--http_port=" + std::to_string(port_)};
    for (const std::string& p : processes) {
      args.push_back("--process");
      args.push_back(
          p.find('/') == std::string::npos
              ? ProcessArgument(std::stoi(p.substr(p.rfind(':') + 1)))
              : p);
    }
    bool database = false;
    for (const std::string& flag : flags) {
      database = database || flag.rfind("--database", 0) == 0;
      args.push_back(flag);
    }
    if (!database) {
      own_database_ = ::testing::TempDir() + "kestu-web-" +
                      std::to_string(getpid()) + "-" + std::to_string(port_) +
                      ".sqlite";
      args.push_back("--database=" + own_database_);
    }
    child_ = std::make_unique<ChildProcess>(kWeb, args);
  }
  ~WebProcess() {
    child_.reset();
    if (own_database_.empty()) return;
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::remove((own_database_ + suffix).c_str());
    }
  }
  bool Started() { return child_->WaitForStderr("kestu-web: serving", kWait); }
  bool Running() { return child_->Running(); }
  int port() const { return port_; }
  ChildProcess& child() { return *child_; }

 private:
  int port_;
  std::string own_database_;
  std::unique_ptr<ChildProcess> child_;
};

inline std::string Get(httplib::Client& client, const std::string& path) {
  const auto response = client.Get(path.c_str());
  return response && response->status == 200 ? response->body : "";
}

inline kestu::tools::WebState GetState(httplib::Client& client) {
  kestu::tools::WebState state;
  (void)google::protobuf::util::JsonStringToMessage(Get(client, "/api/state"),
                                                    &state);
  return state;
}

// Prometheus's own checker (Debian's prometheus package) on the text.
inline bool PromtoolAccepts(const std::string& metrics) {
  const std::string path = ::testing::TempDir() + "kestu-metrics-" +
                           std::to_string(getpid()) + ".txt";
  std::ofstream(path) << metrics;
  const std::string command = "promtool check metrics < " + path + " 2>&1";
  const int status = std::system(command.c_str());
  std::remove(path.c_str());
  return status == 0;
}

}  // namespace kestu_tools

#endif  // TESTS_TOOLS_WEB_TEST_UTIL_H_
