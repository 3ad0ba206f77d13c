// A live RTSP camera for tests: tests/testing/rtsp_camera.py (Debian's
// GStreamer RTSP server) serving a clip in a loop on 127.0.0.1, started
// and killed as a real camera comes and goes.
#ifndef TESTS_TESTING_RTSP_CAMERA_H_
#define TESTS_TESTING_RTSP_CAMERA_H_

#include <chrono>
#include <memory>
#include <string>

#include "tests/testing/test_util.h"

namespace kestu_testing {

class RtspCamera {
 public:
  // Serves the first `frames` frames of `clip` (0: all) at 25 fps on
  // rtsp://127.0.0.1:<port>/cam.
  RtspCamera(int port, std::string clip, int frames = 100);
  ~RtspCamera() { Stop(); }

  // Why no camera can run here (the server's packages are missing), or
  // empty when one can.
  static std::string Unavailable();

  // Starts the server and waits until it listens; false after the time-out.
  bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Kills the server at once, as a camera that loses power.
  void Stop();
  bool running() const { return process_ != nullptr; }
  std::string url() const;
  // The server's own output, for failure messages.
  std::string Output() const;

 private:
  const int port_;
  const std::string clip_;
  const int frames_;
  std::unique_ptr<ChildProcess> process_;
  std::string last_output_;
};

// A TCP port on 127.0.0.1 that takes connections (the kernel completes
// them) and never says a word: a camera whose server hangs.
class SilentPort {
 public:
  explicit SilentPort(int port);
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  bool listening() const { return listening_; }
  std::string url() const;  // an RTSP URL on the port

 private:
  const int port_;
  int fd_ = -1;
  bool listening_ = false;
};

}  // namespace kestu_testing

#endif  // TESTS_TESTING_RTSP_CAMERA_H_
