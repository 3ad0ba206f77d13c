// fault-probe: tries a running kestu-vision process the way an operator's
// worst day would, and says whether it held.
//
//   fault-probe --bind_port=60000 --pid=PID [--messages=N] [--kills=K]
//   fault-probe --spawn=build/src/kestu-vision --bind_port=P ...
//
// It pings every driver all along, connects the face driver to a stream
// that ffmpeg serves from a generated clip, then sends N fuzzed messages
// (random, truncated and bit-flipped configurations, absurd times and values
// including non-finite ones, 1 MB strings, 10,000 properties, deep nesting;
// raw bytes, multi-part and oversized frames to the keep-alive, information,
// status, data and streaming ports), killing and restarting the stream K
// times on the way, optionally followed by --steady_seconds of valid
// traffic. It samples the process's resident memory, threads and file
// descriptors, prints a table, and exits 1 when the process died, a driver
// stopped answering pings, a valid configuration was no longer accepted, or
// memory, threads or descriptors grew past the limits of the flags.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gflags/gflags.h>
#include <google/protobuf/stubs/logging.h>

#include "tools/driver_client.h"
#include "tools/fault_probe/fuzz_messages.h"
#include "tools/fault_probe/pipeline_fuzz.h"
#include "tools/fault_probe/probe_clients.h"
#include "tools/fault_probe/probe_flags.h"
#include "tools/fault_probe/probe_process.h"

namespace kestu_tools {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDrivers = 3;  // face, vehicle, crowd (DriverKeys)
namespace kestueye = ::talvenrook::kestu::v1::kestueye;

constexpr Millis kAnswerWait(30000);

struct Row {
  std::string phase;
  double seconds = 0;
  int64_t messages = 0;
  int kills = 0;
  ProcessSample sample;
  double ping_p99_ms = 0;
};

class Probe {
 public:
  Probe()
      : base_(static_cast<int>(FLAGS_bind_port)),
        stream_port_(FLAGS_stream_port ? FLAGS_stream_port : base_ + 16),
        streaming_port_(FLAGS_streaming_port
                            ? static_cast<int>(FLAGS_streaming_port)
                            : base_ + 15),
        fuzz_(FLAGS_seed),
        garbage_(context_, FLAGS_host, FLAGS_seed + 1) {}

  int Run();

 private:
  bool SetUp();
  bool StartProcess();
  bool Configure();
  void Fuzz();
  void SendOne(int64_t index);
  bool RestartStream();
  void Steady();
  void FinalChecks();
  void Sample(const std::string& phase);
  void PrintReport();
  void Fail(const std::string& reason) {
    failures_.push_back(reason);
    std::cerr << "fault-probe: FAIL: " << reason << std::endl;
  }
  // Sends a valid message until the driver answers it with the given type;
  // a refusal (a full queue) is sent again. False after kAnswerWait.
  bool Accepted(int driver, const DriverConfig& config,
                Status::MessageType answer);
  std::string NewUuid(const std::string& what) {
    return "probe-" + what + "-" + std::to_string(++uuid_counter_);
  }
  int DriverBase(int driver) const {
    return base_ + DriverPortOffset(DriverName(driver));
  }
  static const std::string& DriverName(int driver) {
    return DriverKeys()[driver];
  }

  const int base_;
  const int stream_port_;
  const int streaming_port_;  // the process's --streaming_port
  zmq::context_t context_{1};
  FuzzMessages fuzz_;
  GarbageSender garbage_;
  std::string work_dir_;
  bool own_work_dir_ = false;
  pid_t pid_ = 0;
  std::unique_ptr<Child> process_;
  std::unique_ptr<StreamServer> stream_;
  std::vector<std::unique_ptr<Pinger>> pingers_;
  std::unique_ptr<StatusWatcher> statuses_;
  std::vector<std::unique_ptr<zmq::socket_t>> pushers_;
  Clock::time_point start_ = Clock::now();
  std::vector<Row> rows_;
  std::vector<std::string> failures_;
  std::map<std::string, int64_t> sent_by_kind_;
  int64_t sent_ = 0;
  int64_t push_timeouts_ = 0;
  int kills_ = 0;
  int reconnects_ = 0;
  int uuid_counter_ = 0;
  std::vector<double> all_latencies_;
  Pinger::Stats ping_totals_[3];
};

int Probe::Run() {
  if (!SetUp()) {
    std::cerr << "fault-probe: could not set up the run" << std::endl;
    return 1;
  }
  if (Configure()) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    Sample("before");
    Fuzz();
    if (ProcessAlive(pid_)) Steady();
    if (ProcessAlive(pid_)) FinalChecks();
  }
  pingers_.clear();
  PrintReport();
  if (process_) {
    // The process is asked to stop in order, as an operator would.
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (process_->Running() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::cout << "stop on SIGTERM: "
              << (process_->Running()
                      ? "still running after 5 s"
                      : "exit status " + std::to_string(process_->status()))
              << std::endl;
  }
  stream_.reset();
  process_.reset();
  if (own_work_dir_) {
    std::error_code ignored;
    std::filesystem::remove_all(work_dir_, ignored);
  }
  std::cout << (failures_.empty() ? "RESULT: PASS" : "RESULT: FAIL")
            << std::endl;
  return failures_.empty() ? 0 : 1;
}

bool Probe::SetUp() {
  if (FLAGS_work_dir.empty()) {
    char pattern[] = "/tmp/kestu-probe-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    work_dir_ = pattern;
    own_work_dir_ = true;
  } else {
    work_dir_ = FLAGS_work_dir;
    std::filesystem::create_directories(work_dir_);
  }
  const std::string clip = work_dir_ + "/clip.avi";
  if (!WriteClip(clip)) return false;
  stream_ = std::make_unique<StreamServer>(FLAGS_ffmpeg, clip, stream_port_,
                                           work_dir_ + "/ffmpeg.log");
  if (!stream_->Start()) {
    std::cerr << "fault-probe: ffmpeg does not serve " << stream_->Url()
              << std::endl;
    return false;
  }
  if (!StartProcess()) return false;
  for (int driver = 0; driver < kDrivers; ++driver) {
    pingers_.push_back(
        std::make_unique<Pinger>(context_, FLAGS_host, DriverBase(driver),
                                 Millis(FLAGS_ping_timeout_ms), Millis(100)));
    auto pusher =
        std::make_unique<zmq::socket_t>(context_, zmq::socket_type::push);
    pusher->set(zmq::sockopt::linger, 0);
    pusher->set(zmq::sockopt::sndtimeo, 5000);
    pusher->connect(Endpoint(FLAGS_host, DriverBase(driver)));
    pushers_.push_back(std::move(pusher));
  }
  std::vector<std::string> endpoints;
  for (int driver = 0; driver < kDrivers; ++driver) {
    endpoints.push_back(Endpoint(FLAGS_host, DriverBase(driver) + 2));
  }
  statuses_ = std::make_unique<StatusWatcher>(context_, endpoints);
  return statuses_->connected();
}

bool Probe::StartProcess() {
  if (!FLAGS_spawn.empty()) {
    process_ = std::make_unique<Child>(
        FLAGS_spawn,
        std::vector<std::string>{
            "--bind_port=" + std::to_string(base_),
            "--streaming_port=" + std::to_string(streaming_port_),
            "--volume=" + work_dir_, "--log_dir=" + work_dir_},
        work_dir_ + "/kestu-vision.log");
    if (!process_->started()) return false;
    pid_ = process_->pid();
  } else {
    pid_ = FLAGS_pid;
  }
  if (pid_ <= 0 || !ProcessAlive(pid_)) {
    std::cerr << "fault-probe: no process to watch (--pid or --spawn)"
              << std::endl;
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    if (QueryDriverInfo(context_, FLAGS_host, base_, Millis(500))) return true;
    if (!ProcessAlive(pid_)) break;
  }
  std::cerr << "fault-probe: the process does not answer on " << base_
            << std::endl;
  return false;
}

bool Probe::Configure() {
  // The face driver reads the stream; the others are configured plainly.
  for (int driver = 0; driver < kDrivers; ++driver) {
    const std::string source = driver == 0 ? stream_->Url() : "";
    if (!Accepted(driver, ValidConfiguration(NewUuid("config"), source),
                  Status::CONFIG_RECEIVED)) {
      Fail(std::string("the ") + DriverName(driver) +
           " driver did not take its first configuration");
      return false;
    }
  }
  return true;
}

bool Probe::Accepted(int driver, const DriverConfig& config,
                     Status::MessageType answer) {
  const auto deadline = Clock::now() + kAnswerWait;
  const std::string bytes = config.SerializeAsString();
  while (Clock::now() < deadline) {
    if (!pushers_[driver]->send(zmq::buffer(bytes), zmq::send_flags::none)) {
      ++push_timeouts_;
      continue;
    }
    // Answered, or refused (the queue was full): then it goes again, under
    // the same uuid, after a moment.
    while (Clock::now() < deadline) {
      if (statuses_->WaitFor(answer, config.uuid(), Millis(200))) return true;
      if (!ProcessAlive(pid_)) return false;
      if (statuses_->Refused(config.uuid())) {
        statuses_->Forget(config.uuid());
        std::this_thread::sleep_for(Millis(500));
        break;
      }
    }
  }
  return false;
}

void Probe::Fuzz() {
  const int64_t total = FLAGS_messages;
  const int64_t sample_every =
      std::max<int64_t>(1, total / std::max(1, FLAGS_samples));
  int next_kill = 0;
  for (int64_t i = 0; i < total; ++i) {
    if (next_kill < FLAGS_kills &&
        i == total * (next_kill + 1) / (FLAGS_kills + 1)) {
      ++next_kill;
      if (!RestartStream()) break;
    }
    SendOne(i);
    if ((i + 1) % sample_every == 0) {
      if (!ProcessAlive(pid_)) {
        Fail("the process died after " + std::to_string(i + 1) + " messages");
        return;
      }
      Sample("fuzz");
    }
  }
}

void Probe::SendOne(int64_t index) {
  std::mt19937& rng = fuzz_.rng();
  const int driver = static_cast<int>(rng() % 3);
  const int choice = static_cast<int>(rng() % 100);
  ++sent_;
  const int garbage = std::clamp(FLAGS_garbage_percent, 0, 100);
  if (choice >= garbage) {
    FuzzKind kind;
    const std::string bytes = fuzz_.Next(&kind);
    ++sent_by_kind_[FuzzKindName(kind)];
    zmq::socket_t& pusher = *pushers_[driver];
    bool sent;
    if (rng() % 50 == 0) {  // the message, then parts nobody asked for
      ++sent_by_kind_["multi-part"];
      sent = pusher.send(zmq::buffer(bytes), zmq::send_flags::sndmore) &&
             pusher.send(zmq::str_buffer("extra"), zmq::send_flags::sndmore) &&
             pusher.send(zmq::str_buffer("parts"), zmq::send_flags::none);
    } else {
      sent = pusher.send(zmq::buffer(bytes), zmq::send_flags::none).has_value();
    }
    if (!sent) ++push_timeouts_;
  } else if (choice < garbage / 2) {
    ++sent_by_kind_["keep-alive:" +
                    garbage_.ToReplyPort(DriverBase(driver) + 1)];
  } else if (choice < garbage * 3 / 4) {
    ++sent_by_kind_["information:" + garbage_.ToReplyPort(base_)];
  } else {
    // Status, data and streaming ports only publish; they get raw bytes.
    const int ports[] = {DriverBase(driver) + 2, DriverBase(driver) + 3,
                         streaming_port_};
    garbage_.RawBytes(ports[rng() % 3]);
    ++sent_by_kind_["publisher:raw-bytes"];
  }
  // Now and then a valid configuration, as a client keeps sending.
  if (index % 500 == 499) {
    const std::string bytes =
        ValidConfiguration(NewUuid("refresh"), "").SerializeAsString();
    if (!pushers_[driver]->send(zmq::buffer(bytes), zmq::send_flags::none)) {
      ++push_timeouts_;
    }
  }
}

bool Probe::RestartStream() {
  stream_->Kill();
  ++kills_;
  Sample("kill");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  if (!stream_->Start()) {
    Fail("ffmpeg could not serve the stream again");
    return false;
  }
  // The face driver reconnects when told to start detection again.
  if (!Accepted(0, Command(NewUuid("start"), kestueye::START_DETECTION),
                Status::COMMAND_EXECUTED)) {
    Fail("START_DETECTION after stream kill " + std::to_string(kills_) +
         " was not answered");
    return false;
  }
  reconnects_ += 1;
  return true;
}

void Probe::Steady() {
  if (FLAGS_steady_seconds <= 0) return;
  const auto end = Clock::now() + std::chrono::seconds(FLAGS_steady_seconds);
  const auto sample_every =
      std::chrono::seconds(std::max(10, FLAGS_steady_seconds / FLAGS_samples));
  auto next_sample = Clock::now() + sample_every;
  int64_t round = 0;
  while (Clock::now() < end) {
    const int driver = static_cast<int>(round % 3);
    DriverConfig message;
    switch (round++ % 4) {
      case 0:
        message = Command(NewUuid("version"), kestueye::GET_VERSION);
        break;
      case 1:
        message = Command(NewUuid("preview"), kestueye::CAPTURE_PREVIEW);
        break;
      case 2:
        message = ValidConfiguration(NewUuid("steady"), "");
        break;
      default:
        message = Command(NewUuid("stop"), kestueye::STOP_RECORDING);
        break;
    }
    if (!pushers_[driver]->send(zmq::buffer(message.SerializeAsString()),
                                zmq::send_flags::none)) {
      ++push_timeouts_;
    }
    ++sent_;
    ++sent_by_kind_["steady"];
    std::this_thread::sleep_for(Millis(100));
    if (Clock::now() >= next_sample) {
      if (!ProcessAlive(pid_)) {
        Fail("the process died in the steady run");
        return;
      }
      Sample("steady");
      next_sample += sample_every;
    }
  }
}

void Probe::FinalChecks() {
  // Queues drain; then every driver must still take a valid configuration
  // and a command.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  for (int driver = 0; driver < kDrivers; ++driver) {
    const std::string name = DriverName(driver);
    if (!Accepted(driver, ValidConfiguration(NewUuid("final"), ""),
                  Status::CONFIG_RECEIVED)) {
      Fail("the " + name + " driver no longer takes a valid configuration");
    }
    if (!Accepted(driver,
                  Command(NewUuid("final-version"), kestueye::GET_VERSION),
                  Status::COMMAND_EXECUTED)) {
      Fail("the " + name + " driver no longer answers GET_VERSION");
    }
  }
  // The memory of the last large messages is given back once the channels
  // are idle.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Sample("after");
  const Row& before = rows_.front();
  const Row& after = rows_.back();
  if (!ProcessAlive(pid_)) Fail("the process died");
  if (after.sample.rss_bytes >
      FLAGS_max_rss_growth * static_cast<double>(before.sample.rss_bytes)) {
    Fail("resident memory grew from " +
         std::to_string(before.sample.rss_bytes >> 20) + " MB to " +
         std::to_string(after.sample.rss_bytes >> 20) + " MB");
  }
  if (after.sample.threads > before.sample.threads + FLAGS_max_thread_growth) {
    Fail("threads grew from " + std::to_string(before.sample.threads) + " to " +
         std::to_string(after.sample.threads));
  }
  if (after.sample.fds > before.sample.fds + FLAGS_max_fd_growth) {
    Fail("file descriptors grew from " + std::to_string(before.sample.fds) +
         " to " + std::to_string(after.sample.fds));
  }
  for (int driver = 0; driver < kDrivers; ++driver) {
    if (ping_totals_[driver].max_consecutive_failures >= FLAGS_ping_failures) {
      Fail(std::string("the ") + DriverName(driver) + " driver missed " +
           std::to_string(ping_totals_[driver].max_consecutive_failures) +
           " pings in a row");
    }
  }
}

void Probe::Sample(const std::string& phase) {
  Row row;
  row.phase = phase;
  row.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  row.messages = sent_;
  row.kills = kills_;
  SampleProcess(pid_, &row.sample);
  std::vector<double> latencies;
  for (size_t driver = 0; driver < pingers_.size(); ++driver) {
    Pinger::Stats stats = pingers_[driver]->Take();
    latencies.insert(latencies.end(), stats.latencies_ms.begin(),
                     stats.latencies_ms.end());
    stats.latencies_ms.clear();
    ping_totals_[driver] = stats;
  }
  row.ping_p99_ms = Percentile(latencies, 99);
  all_latencies_.insert(all_latencies_.end(), latencies.begin(),
                        latencies.end());
  rows_.push_back(row);
}

void Probe::PrintReport() {
  std::printf("%-7s %8s %9s %5s %9s %8s %5s %12s\n", "phase", "time[s]",
              "messages", "kills", "rss[MB]", "threads", "fds", "ping p99[ms]");
  for (const Row& row : rows_) {
    std::printf("%-7s %8.1f %9lld %5d %9.1f %8d %5d %12.1f\n",
                row.phase.c_str(), row.seconds,
                static_cast<long long>(row.messages), row.kills,
                static_cast<double>(row.sample.rss_bytes) / (1 << 20),
                row.sample.threads, row.sample.fds, row.ping_p99_ms);
  }
  std::printf("\nmessages sent: %lld (push time-outs %lld)\n",
              static_cast<long long>(sent_),
              static_cast<long long>(push_timeouts_));
  for (const auto& [kind, count] : sent_by_kind_) {
    std::printf("  %-28s %lld\n", kind.c_str(), static_cast<long long>(count));
  }
  if (statuses_) {
    std::printf("statuses received:\n");
    for (const auto& [type, count] : statuses_->Counts()) {
      std::printf("  %-28s %lld\n", type.c_str(),
                  static_cast<long long>(count));
    }
    std::printf("  %-28s %lld\n", "(Configuration queue is full)",
                static_cast<long long>(statuses_->QueueFullCount()));
  }
  int64_t pings = 0, failed = 0;
  int worst = 0;
  for (const Pinger::Stats& stats : ping_totals_) {
    pings += stats.pings;
    failed += stats.failures;
    worst = std::max(worst, stats.max_consecutive_failures);
  }
  std::printf(
      "pings: %lld, unanswered %lld, most in a row %d; "
      "p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
      static_cast<long long>(pings), static_cast<long long>(failed), worst,
      Percentile(all_latencies_, 50), Percentile(all_latencies_, 99),
      Percentile(all_latencies_, 100));
  for (int driver = 0; driver < kDrivers; ++driver) {
    const auto& times = ping_totals_[driver].failure_times_s;
    if (times.empty()) continue;
    std::printf("  unanswered pings of the %s driver at",
                DriverName(driver).c_str());
    for (size_t i = 0; i < times.size() && i < 20; ++i) {
      std::printf(" %.1f", times[i]);
    }
    std::printf(" s%s\n", times.size() > 20 ? " ..." : "");
  }
  std::printf("stream kills: %d, reconnections asked and answered: %d\n",
              kills_, reconnects_);
  for (const std::string& failure : failures_) {
    std::printf("FAIL: %s\n", failure.c_str());
  }
  std::fflush(stdout);
}

}  // namespace
}  // namespace kestu_tools

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "fault-probe --bind_port=P (--pid=PID | --spawn=BINARY) "
      "[--messages=N] [--kills=K] [--steady_seconds=S]");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  signal(SIGPIPE, SIG_IGN);
  // The probe parses its own mutated messages; the library's complaints
  // about them are expected.
  google::protobuf::SetLogHandler(
      [](google::protobuf::LogLevel, const char*, int, const std::string&) {});
  if (FLAGS_pipeline_mutations > 0) {
    kestu_tools::PipelineFuzzOptions options;
    options.binary = FLAGS_spawn;
    options.host = FLAGS_host;
    options.base_port = static_cast<int>(FLAGS_bind_port);
    options.source_dir = std::filesystem::absolute(FLAGS_source_dir).string();
    const bool own_dir = FLAGS_work_dir.empty();
    options.work_dir =
        own_dir ? "/tmp/kestu-pipeline-fuzz-" + std::to_string(getpid())
                : FLAGS_work_dir;
    options.mutations = FLAGS_pipeline_mutations;
    options.seed = FLAGS_seed;
    options.max_rss_growth = FLAGS_pipeline_rss_growth;
    options.ping_timeout_ms = FLAGS_ping_timeout_ms;
    options.ping_failures = FLAGS_ping_failures;
    const int status = kestu_tools::RunPipelineFuzz(options);
    if (own_dir && status == 0) {
      std::error_code ignored;
      std::filesystem::remove_all(options.work_dir, ignored);
    }
    return status;
  }
  kestu_tools::Probe probe;
  return probe.Run();
}
