#include "tools/fault_probe/probe_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace kestu_tools {

namespace {

std::string ProcPath(pid_t pid, const std::string& entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

}  // namespace

bool SampleProcess(pid_t pid, ProcessSample* sample) {
  std::ifstream status(ProcPath(pid, "status"));
  if (!status) return false;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      sample->rss_bytes = std::stoll(line.substr(6)) * 1024;
    } else if (line.rfind("Threads:", 0) == 0) {
      sample->threads = std::stoi(line.substr(8));
    }
  }
  std::error_code error;
  int fds = 0;
  for (std::filesystem::directory_iterator it(ProcPath(pid, "fd"), error), end;
       !error && it != end; it.increment(error)) {
    ++fds;
  }
  sample->fds = error ? -1 : fds;
  return sample->rss_bytes >= 0 && sample->threads > 0;
}

bool ProcessAlive(pid_t pid) {
  std::ifstream stat(ProcPath(pid, "stat"));
  std::string line;
  if (!std::getline(stat, line)) return false;
  // "pid (name) S ...": the state follows the closing parenthesis.
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() &&
         line[close + 2] != 'Z' && line[close + 2] != 'X';
}

Child::Child(const std::string& binary, const std::vector<std::string>& args,
             const std::string& output_path) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ != 0) return;  // the parent, or a failed fork (-1)
  // The child ends with the probe, however the probe ends.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int input = open("/dev/null", O_RDONLY);
  const int output =
      open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (input < 0 || output < 0) _exit(127);
  dup2(input, 0);
  dup2(output, 1);
  dup2(output, 2);
  execv(binary.c_str(), argv.data());
  _exit(127);
}

Child::~Child() { Kill(); }

bool Child::Running() {
  if (pid_ < 0) return false;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  pid_ = -1;
  return false;
}

void Child::Kill() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  int raw = 0;
  waitpid(pid_, &raw, 0);
  status_ = 128 + SIGKILL;
  pid_ = -1;
}

bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char local[16];
  std::snprintf(local, sizeof(local), ":%04X", port);
  while (std::getline(table, line)) {
    // Columns: sl local_address rem_address st ...; state 0A is LISTEN.
    std::istringstream fields(line);
    std::string sl, address, remote, state;
    fields >> sl >> address >> remote >> state;
    const size_t colon = address.find(':');
    if (state == "0A" && colon != std::string::npos &&
        address.substr(colon) == local) {
      return true;
    }
  }
  return false;
}

StreamServer::StreamServer(std::string ffmpeg, std::string clip, int port,
                           std::string log_path)
    : ffmpeg_(std::move(ffmpeg)),
      clip_(std::move(clip)),
      port_(port),
      log_path_(std::move(log_path)) {}

bool StreamServer::Start() {
  Kill();
  child_ = std::make_unique<Child>(
      ffmpeg_,
      std::vector<std::string>{"-nostdin", "-loglevel", "error", "-re",
                               "-stream_loop", "-1", "-i", clip_, "-c:v",
                               "mpeg2video", "-g", "5", "-f", "mpegts",
                               Url() + "?listen=1"},
      log_path_);
  if (!child_->started()) return false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Listening(port_)) return true;
    if (!child_->Running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void StreamServer::Kill() {
  if (child_) child_->Kill();
  child_.reset();
}

bool StreamServer::Running() { return child_ && child_->Running(); }

std::string StreamServer::Url() const {
  return "tcp://127.0.0.1:" + std::to_string(port_);
}

bool WriteClip(const std::string& path) {
  const cv::Size size(320, 240);
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                         size);
  if (!writer.isOpened()) return false;
  for (int i = 0; i < 50; ++i) {
    cv::Mat frame(size, CV_8UC3, cv::Scalar(5 * i, 60, 220 - 4 * i));
    cv::putText(frame, std::to_string(i), {100, 150}, cv::FONT_HERSHEY_SIMPLEX,
                3, {255, 255, 255}, 5);
    writer.write(frame);
  }
  return true;
}

}  // namespace kestu_tools
