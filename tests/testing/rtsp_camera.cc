#include "tests/testing/rtsp_camera.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <utility>
#include <vector>

namespace kestu_testing {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

std::string ScriptPath() {
  return std::string(KESTU_SOURCE_DIR) + "/tests/testing/rtsp_camera.py";
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

RtspCamera::RtspCamera(int port, std::string clip, int frames)
    : port_(port), clip_(std::move(clip)), frames_(frames) {}

std::string RtspCamera::Unavailable() {
  static const std::string reason = [] {
    if (!Exists(kPython)) return std::string("no /usr/bin/python3");
    if (!Exists("/usr/bin/ffmpeg")) return std::string("no ffmpeg");
    ChildProcess probe(kPython,
                       {"-c",
                        "import gi; gi.require_version('GstRtspServer', "
                        "'1.0'); from gi.repository import GstRtspServer"});
    if (probe.Wait(std::chrono::seconds(20)) != 0) {
      return std::string(
          "the GStreamer RTSP server's Python binding is missing "
          "(gir1.2-gst-rtsp-server-1.0, python3-gi)");
    }
    return std::string();
  }();
  return reason;
}

bool RtspCamera::Start(std::chrono::milliseconds timeout) {
  Stop();
  process_ = std::make_unique<ChildProcess>(
      kPython, std::vector<std::string>{ScriptPath(), "--port",
                                        std::to_string(port_), "--clip", clip_,
                                        "--frames", std::to_string(frames_)});
  const bool ready = PollUntil(
      [&] {
        return process_->Stdout().find("ready") != std::string::npos ||
               !process_->Running();
      },
      timeout, std::chrono::milliseconds(20));
  return ready && process_->Running();
}

void RtspCamera::Stop() {
  if (!process_) return;
  process_->Signal(SIGKILL);
  process_->Wait(std::chrono::seconds(10));
  last_output_ = process_->Stdout() + process_->Stderr();
  process_.reset();
}

std::string RtspCamera::url() const {
  return "rtsp://127.0.0.1:" + std::to_string(port_) + "/cam";
}

std::string RtspCamera::Output() const {
  return process_ ? process_->Stdout() + process_->Stderr() : last_output_;
}

SilentPort::SilentPort(int port) : port_(port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  listening_ =
      bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      listen(fd_, 16) == 0;
}

SilentPort::~SilentPort() { close(fd_); }

std::string SilentPort::url() const {
  return "rtsp://127.0.0.1:" + std::to_string(port_) + "/cam";
}

}  // namespace kestu_testing
