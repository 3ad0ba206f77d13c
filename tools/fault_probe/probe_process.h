// The processes the fault probe watches and drives: the driver process
// itself and the stream server, and samples of a process's resources.
#ifndef TOOLS_FAULT_PROBE_PROBE_PROCESS_H_
#define TOOLS_FAULT_PROBE_PROBE_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestu_tools {

// Resources of a process, read from /proc.
struct ProcessSample {
  int64_t rss_bytes = -1;
  int threads = -1;
  int fds = -1;
};

// False when the process cannot be read (it is gone).
bool SampleProcess(pid_t pid, ProcessSample* sample);

// True while the process exists and is not a zombie.
bool ProcessAlive(pid_t pid);

// A child process whose standard output and error go to one file. The
// destructor kills it if it still runs; the system kills it when the probe
// ends in any other way.
class Child {
 public:
  Child(const std::string& binary, const std::vector<std::string>& args,
        const std::string& output_path);
  ~Child();

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // False once it has exited (its status is then kept).
  bool Running();
  // SIGKILL and reap.
  void Kill();
  // The exit status, or 128 + the signal that ended it; -1 while running.
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// True when something listens on the TCP port of 127.0.0.1 (or any address).
bool Listening(int port);

// Serves a video file in a loop as an MPEG-TS stream on a TCP port, to the
// first client that connects, with ffmpeg.
class StreamServer {
 public:
  StreamServer(std::string ffmpeg, std::string clip, int port,
               std::string log_path);

  // Starts the server and waits until it listens; false when it does not.
  bool Start();
  void Kill();
  bool Running();
  std::string Url() const;

 private:
  const std::string ffmpeg_;
  const std::string clip_;
  const int port_;
  const std::string log_path_;
  std::unique_ptr<Child> child_;
};

// Writes a short 320x240 MJPG clip whose frames all differ.
bool WriteClip(const std::string& path);

}  // namespace kestu_tools

#endif  // TOOLS_FAULT_PROBE_PROBE_PROCESS_H_
