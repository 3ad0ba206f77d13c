#include "tools/fault_probe/pipeline_fuzz.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <google/protobuf/text_format.h>

#include "tools/driver_client.h"
#include "tools/fault_probe/config_mutator.h"
#include "tools/fault_probe/probe_clients.h"
#include "tools/fault_probe/probe_process.h"

namespace kestu_tools {
namespace {

using Clock = std::chrono::steady_clock;
namespace kestueye = ::talvenrook::kestu::v1::kestueye;
using Entity = ::talvenrook::common::Entity;

constexpr int kDrivers = 3;  // face, vehicle, crowd (DriverKeys order)
constexpr int kFramesAfterAnswer = 2;
constexpr Millis kFrameWait(4000);
constexpr char kPeopleClip[] =
    "/usr/share/doc/opencv-doc/examples/data/vtest.avi";

struct DriverSample {
  const char* file;
  std::string clip;
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

bool IsLibraryLine(const Status& status) {
  return status.message().rfind("ERROR: ", 0) == 0 ||
         status.message().rfind("WARNING: ", 0) == 0;
}

std::string TextOf(const DriverConfig& config) {
  std::string text;
  google::protobuf::TextFormat::PrintToString(config, &text);
  return text;
}

// Per driver: what its worker counted.
struct DriverTally {
  int64_t mutations = 0;
  int64_t accepted = 0;
  int64_t refused = 0;
  int64_t unanswered = 0;
  int64_t without_frames = 0;
  double refusal_max_s = 0;
  std::vector<double> refusal_s;
  int max_pings_in_a_row = 0;
  int64_t unanswered_pings = 0;
};

class PipelineFuzz {
 public:
  explicit PipelineFuzz(const PipelineFuzzOptions& options)
      : options_(options), mutator_seed_(options.seed) {}

  int Run();

 private:
  bool StartProcess();
  void StopProcess();
  bool LoadSamples();
  bool ConfigureAll();
  // Each driver's sample again (without its source), answered.
  void Reconfigure();
  // STOP_RECORDING to each driver, answered.
  void StopRecordings();
  // The sample of a driver with the probe's settings; with or without its
  // source (a mutation never reopens the clip).
  DriverConfig Base(int driver, bool with_source) const;
  void Worker(int driver, int quota, int64_t* done);
  bool Mutation(int driver, ConfigMutator& mutator, Subscriber& data,
                int64_t index);
  void ReportDeath();
  enum SampleKind { kStart, kPeak, kEnd };
  // The process's resident memory, also kept as start, peak or end.
  int64_t Sample(SampleKind kind);
  void PrintTable();
  static const std::string& Name(int driver) { return DriverKeys()[driver]; }
  int DriverBase(int driver) const {
    return options_.base_port + DriverPortOffset(Name(driver));
  }

  const PipelineFuzzOptions options_;
  uint32_t mutator_seed_;
  zmq::context_t context_{1};
  std::unique_ptr<Child> process_;
  pid_t pid_ = 0;
  std::unique_ptr<StatusWatcher> statuses_;
  std::vector<std::unique_ptr<Pinger>> pingers_;
  std::vector<DriverConfig> samples_;
  std::atomic<bool> dead_{false};
  int reconfigurations_ = 0;
  std::ofstream log_;  // every mutation with its answer (work directory)

  std::mutex mutex_;  // guards the members below
  DriverConfig in_flight_[kDrivers];
  std::string in_flight_what_[kDrivers];
  bool busy_[kDrivers] = {false, false, false};
  DriverTally tally_[kDrivers];
  int deaths_ = 0;
  int hangs_ = 0;
  std::vector<std::string> failures_;
  int64_t rss_start_ = 0;
  int64_t rss_peak_ = 0;
  int64_t rss_end_ = 0;
};

int PipelineFuzz::Run() {
  std::filesystem::create_directories(options_.work_dir);
  log_.open(options_.work_dir + "/mutations.log");
  if (!LoadSamples()) return 1;
  // The face driver loads five networks per mutation, the others one: it
  // gets a fifth of the mutations, so that the three finish together.
  const int shares[kDrivers] = {1, 2, 2};
  int quota[kDrivers];
  int given = 0;
  for (int d = 0; d < kDrivers; ++d) {
    quota[d] = options_.mutations * shares[d] / 5;
    given += quota[d];
  }
  quota[kDrivers - 1] += options_.mutations - given;
  bool first = true;
  const auto start = Clock::now();
  for (int round = 0; round < 20; ++round) {
    // A port of the block may still be held by another program's
    // connection (the block lies in the ephemeral range): the process then
    // exits at once, and is started again a little later.
    bool started = StartProcess();
    for (int retry = 0; !started && retry < 4 && !ProcessAlive(pid_); ++retry) {
      std::cerr << "fault-probe: the process did not start; again in 15 s"
                << std::endl;
      StopProcess();
      std::this_thread::sleep_for(std::chrono::seconds(15));
      started = StartProcess();
    }
    if (!started || !ConfigureAll()) {
      failures_.push_back("the process could not be started and configured");
      break;
    }
    if (first) {
      // Memory once the clips play and every pipeline was replaced once,
      // as each mutation replaces it.
      Reconfigure();
      std::this_thread::sleep_for(std::chrono::seconds(3));
      Sample(kStart);
    }
    first = false;
    dead_ = false;
    int64_t done[kDrivers] = {0, 0, 0};
    std::vector<std::thread> workers;
    for (int d = 0; d < kDrivers; ++d) {
      workers.emplace_back(&PipelineFuzz::Worker, this, d, quota[d], &done[d]);
    }
    for (std::thread& worker : workers) worker.join();
    bool left = false;
    for (int d = 0; d < kDrivers; ++d) {
      quota[d] -= static_cast<int>(done[d]);
      left |= quota[d] > 0;
    }
    if (!dead_) break;
    ReportDeath();
    StopProcess();
    if (!left) break;
  }
  if (process_ && ProcessAlive(pid_)) {
    // The recordings the mutations asked for stop (their encoders hold
    // memory for as long as they run); then the samples again, and memory
    // once the last configurations settled.
    StopRecordings();
    Reconfigure();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    Sample(kEnd);
  }
  for (int d = 0; d < kDrivers && d < static_cast<int>(pingers_.size()); ++d) {
    const Pinger::Stats stats = pingers_[d]->Take();
    tally_[d].unanswered_pings += stats.failures;
    tally_[d].max_pings_in_a_row =
        std::max(tally_[d].max_pings_in_a_row, stats.max_consecutive_failures);
  }
  StopProcess();
  std::printf("pipeline fuzz: %.1f s\n", Seconds(Clock::now() - start));
  PrintTable();
  return failures_.empty() ? 0 : 1;
}

bool PipelineFuzz::LoadSamples() {
  const std::vector<DriverSample> samples = {
      {"face_desk.textproto",
       options_.source_dir + "/tests/data/face_asl_again.mkv"},
      {"vehicle_motorway.textproto",
       options_.source_dir + "/samples/videos/road_motorway.avi"},
      {"crowd_walkway.textproto",
       std::filesystem::exists(kPeopleClip)
           ? std::string(kPeopleClip)
           : options_.source_dir + "/samples/videos/road_motorway.avi"}};
  for (const DriverSample& sample : samples) {
    std::ifstream in(options_.source_dir + "/samples/" + sample.file);
    std::stringstream text;
    text << in.rdbuf();
    DriverConfig config;
    if (!google::protobuf::TextFormat::ParseFromString(text.str(), &config)) {
      std::cerr << "fault-probe: cannot read the sample " << sample.file
                << std::endl;
      return false;
    }
    auto* eye = config.mutable_kestu_eye_config();
    auto& map = *eye->mutable_config()->mutable_properties();
    map.erase("recording_options");
    map["source"].set_string_value(sample.clip);
    for (auto& model : *eye->mutable_models()) {
      auto& content = *(*model.mutable_properties())["content"]
                           .mutable_entity_value()
                           ->mutable_properties();
      for (const char* key : {"prototxt_file", "caffemodel_file"}) {
        auto it = content.find(key);
        if (it == content.end() || it->second.string_value().empty()) continue;
        it->second.set_string_value(options_.source_dir + "/" +
                                    it->second.string_value());
      }
    }
    samples_.push_back(config);
  }
  return true;
}

DriverConfig PipelineFuzz::Base(int driver, bool with_source) const {
  DriverConfig config = samples_[driver];
  auto& map = *config.mutable_kestu_eye_config()
                   ->mutable_config()
                   ->mutable_properties();
  if (!with_source) map.erase("source");
  // Every setting that a mutation may leave behind is set again.
  map["enable_source_reconnection"].set_boolean_value(true);
  map["testing_mode"].set_boolean_value(true);
  map["verbosity_level"].set_integer_value(0);
  map["log_forwarding"].set_boolean_value(false);
  map["async_mode"].set_boolean_value(false);
  map["max_async_images"].set_integer_value(5);
  map["enable_drawings"].set_boolean_value(true);
  map["font_size"].set_double_value(1.0);
  map["preview_size_factor"].set_double_value(1.0);
  map["blur_preview"].set_boolean_value(true);
  map["blur_amount"].set_integer_value(90);
  map["preview_quality"].set_integer_value(90);
  map["show_fps"].set_boolean_value(false);
  map["show_text_fps"].set_boolean_value(false);
  map["monitor_performance"].set_boolean_value(false);
  map["camera_rotation"].set_integer_value(0);
  map["stream_checking_period"].set_integer_value(0);
  map["bypass_resolution_settings"].set_boolean_value(false);
  map["keep_aspect"].set_boolean_value(true);
  map["camera_properties"].mutable_entity_value();
  if (map.find("force_resolution") == map.end()) {
    map["force_resolution"].set_boolean_value(false);
  }
  return config;
}

bool PipelineFuzz::StartProcess() {
  const int streaming = options_.base_port - 1;
  process_ = std::make_unique<Child>(
      options_.binary,
      std::vector<std::string>{
          "--bind_port=" + std::to_string(options_.base_port),
          "--streaming_port=" + std::to_string(streaming),
          "--volume=" + options_.work_dir},
      options_.work_dir + "/kestu-vision-" + std::to_string(deaths_) + ".log");
  if (!process_->started()) return false;
  pid_ = process_->pid();
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  bool up = false;
  while (Clock::now() < deadline && ProcessAlive(pid_)) {
    if (QueryDriverInfo(context_, options_.host, options_.base_port,
                        Millis(500))) {
      up = true;
      break;
    }
  }
  if (!up) return false;
  pingers_.clear();
  for (int d = 0; d < kDrivers; ++d) {
    pingers_.push_back(std::make_unique<Pinger>(
        context_, options_.host, DriverBase(d),
        Millis(options_.ping_timeout_ms), Millis(100)));
  }
  std::vector<std::string> endpoints;
  for (int d = 0; d < kDrivers; ++d) {
    endpoints.push_back(Endpoint(options_.host, DriverBase(d) + 2));
  }
  statuses_ = std::make_unique<StatusWatcher>(context_, endpoints);
  return statuses_->connected();
}

void PipelineFuzz::StopProcess() {
  for (int d = 0; d < kDrivers && d < static_cast<int>(pingers_.size()); ++d) {
    const Pinger::Stats stats = pingers_[d]->Take();
    std::lock_guard<std::mutex> lock(mutex_);
    tally_[d].unanswered_pings += stats.failures;
    tally_[d].max_pings_in_a_row =
        std::max(tally_[d].max_pings_in_a_row, stats.max_consecutive_failures);
  }
  pingers_.clear();
  statuses_.reset();
  if (process_ && process_->Running()) {
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(6);
    while (process_->Running() && Clock::now() < deadline) {
      std::this_thread::sleep_for(Millis(20));
    }
  }
  process_.reset();
}

bool PipelineFuzz::ConfigureAll() {
  for (int d = 0; d < kDrivers; ++d) {
    DriverClient client(context_, options_.host, DriverBase(d));
    DriverConfig config = Base(d, true);
    config.set_uuid("probe-pipe-base-" + Name(d) + "-" +
                    std::to_string(deaths_));
    client.Push(config, Millis(5000));
    DriverConfig stream;
    stream.set_uuid("probe-pipe-stream-" + Name(d) + "-" +
                    std::to_string(deaths_));
    stream.mutable_kestu_eye_config()->set_action(kestueye::START_STREAMING);
    client.Push(stream, Millis(5000));
    if (!statuses_->WaitFor(Status::CONFIG_RECEIVED, config.uuid(),
                            Millis(options_.answer_timeout_ms))) {
      std::cerr << "fault-probe: the " << Name(d)
                << " driver did not take its sample" << std::endl;
      return false;
    }
  }
  return true;
}

void PipelineFuzz::Reconfigure() {
  for (int d = 0; d < kDrivers; ++d) {
    DriverConfig config = Base(d, false);
    config.set_uuid("probe-pipe-again-" + Name(d) + "-" +
                    std::to_string(++reconfigurations_));
    DriverClient client(context_, options_.host, DriverBase(d));
    client.Push(config, Millis(5000));
    if (!statuses_->WaitFor(Status::CONFIG_RECEIVED, config.uuid(),
                            Millis(options_.answer_timeout_ms))) {
      failures_.push_back("the " + Name(d) +
                          " driver did not take its sample again");
    }
  }
}

void PipelineFuzz::StopRecordings() {
  for (int d = 0; d < kDrivers; ++d) {
    DriverConfig stop;
    stop.set_uuid("probe-pipe-stop-recording-" + Name(d) + "-" +
                  std::to_string(++reconfigurations_));
    stop.mutable_kestu_eye_config()->set_action(kestueye::STOP_RECORDING);
    DriverClient client(context_, options_.host, DriverBase(d));
    client.Push(stop, Millis(5000));
    statuses_->WaitFor(Status::COMMAND_EXECUTED, stop.uuid(),
                       Millis(options_.answer_timeout_ms));
  }
}

void PipelineFuzz::Worker(int driver, int quota, int64_t* done) {
  std::ifstream cfg(options_.source_dir + "/tests/data/yolo-fastest-1.1.cfg");
  std::stringstream network_text;
  network_text << cfg.rdbuf();
  ConfigMutator mutator(mutator_seed_ * 7919u + static_cast<uint32_t>(driver) +
                            static_cast<uint32_t>(deaths_) * 104729u,
                        options_.work_dir, network_text.str());
  Subscriber data(context_, Endpoint(options_.host, DriverBase(driver) + 3),
                  Millis(5000));
  for (int64_t i = 0; i < quota && !dead_; ++i) {
    if (!Mutation(driver, mutator, data, i)) break;
    ++*done;
  }
}

bool PipelineFuzz::Mutation(int driver, ConfigMutator& mutator,
                            Subscriber& data, int64_t index) {
  std::string what;
  DriverConfig config = mutator.Mutate(Base(driver, false), &what);
  const std::string uuid = "probe-pipe-" + Name(driver) + "-" +
                           std::to_string(deaths_) + "-" +
                           std::to_string(index);
  config.set_uuid(uuid);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_flight_[driver] = config;
    in_flight_what_[driver] = what;
    busy_[driver] = true;
    ++tally_[driver].mutations;
  }
  DriverClient client(context_, options_.host, DriverBase(driver));
  const auto sent = Clock::now();
  client.Push(config, Millis(5000));
  // The answer: CONFIG_RECEIVED, or a STATUS_ERROR of the driver's own
  // (forwarded library lines come first and do not answer).
  bool refused = false;
  const auto answered = [&refused](const std::vector<Status>& seen) {
    for (const Status& s : seen) {
      if (s.type() == Status::CONFIG_RECEIVED) return true;
      if (s.type() == Status::STATUS_ERROR && !IsLibraryLine(s)) {
        refused = true;
        return true;
      }
    }
    return false;
  };
  std::optional<std::vector<Status>> answer;
  const auto answer_deadline = sent + Millis(options_.answer_timeout_ms);
  while (!answer && Clock::now() < answer_deadline && !dead_ &&
         ProcessAlive(pid_)) {
    answer = statuses_->WaitUntil(uuid, answered, Millis(250));
  }
  const double answer_s = Seconds(Clock::now() - sent);

  if (!ProcessAlive(pid_)) {
    dead_ = true;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DriverTally& tally = tally_[driver];
    if (!answer) {
      ++tally.unanswered;
      failures_.push_back("the " + Name(driver) + " driver did not answer " +
                          uuid + " (" + what + ")");
    } else if (refused) {
      ++tally.refused;
      tally.refusal_s.push_back(answer_s);
      tally.refusal_max_s = std::max(tally.refusal_max_s, answer_s);
    } else {
      ++tally.accepted;
    }
  }
  // Frames after the answer: a few published results.
  int frames = 0;
  const auto deadline = Clock::now() + kFrameWait;
  while (frames < kFramesAfterAnswer && Clock::now() < deadline && !dead_) {
    if (data.Receive(Millis(200))) ++frames;
    if (!ProcessAlive(pid_)) break;
  }
  if (!ProcessAlive(pid_)) {
    dead_ = true;
    return false;
  }
  const Pinger::Stats pings = pingers_[driver]->Take();
  const int64_t rss = Sample(kPeak);
  std::lock_guard<std::mutex> lock(mutex_);
  log_ << std::fixed;
  log_.precision(2);
  log_ << uuid << " " << answer_s << " s "
       << (!answer   ? "unanswered"
           : refused ? "refused"
                     : "accepted")
       << ", " << frames << " frames, rss " << (rss >> 20) << " MB: " << what
       << std::endl;
  DriverTally& tally = tally_[driver];
  if (frames < kFramesAfterAnswer) ++tally.without_frames;
  tally.unanswered_pings += pings.failures;
  if (pings.max_consecutive_failures >= options_.ping_failures &&
      pings.max_consecutive_failures > tally.max_pings_in_a_row) {
    ++hangs_;
    failures_.push_back("the " + Name(driver) + " driver missed " +
                        std::to_string(pings.max_consecutive_failures) +
                        " pings in a row after: " + what);
    std::cout << "HANG of the " << Name(driver) << " driver after: " << what
              << std::endl;
  }
  tally.max_pings_in_a_row =
      std::max(tally.max_pings_in_a_row, pings.max_consecutive_failures);
  busy_[driver] = false;
  return true;
}

void PipelineFuzz::ReportDeath() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++deaths_;
  const int status =
      process_ ? (process_->Running() ? -1 : process_->status()) : -1;
  std::string failure = "the process died (status " + std::to_string(status) +
                        ") while applying:";
  std::cout << "DEATH " << deaths_ << " (exit status " << status
            << "); configurations being applied:" << std::endl;
  for (int d = 0; d < kDrivers; ++d) {
    if (!busy_[d]) continue;
    const std::string path = options_.work_dir + "/death-" +
                             std::to_string(deaths_) + "-" + Name(d) +
                             ".textproto";
    const std::string text = TextOf(in_flight_[d]);
    std::ofstream(path) << text;
    std::cout << "  " << Name(d) << ": " << in_flight_what_[d] << std::endl;
    if (text.size() <= 20000) {
      std::cout << text << std::endl;
    } else {
      std::cout << "  (" << text.size() << " characters of text format in "
                << path << ")" << std::endl;
    }
    failure += " [" + Name(d) + "] " + in_flight_what_[d];
    busy_[d] = false;
  }
  failures_.push_back(failure);
}

int64_t PipelineFuzz::Sample(SampleKind kind) {
  ProcessSample sample;
  if (!SampleProcess(pid_, &sample)) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (kind == kStart) rss_start_ = sample.rss_bytes;
  if (kind == kEnd) rss_end_ = sample.rss_bytes;
  rss_peak_ = std::max(rss_peak_, sample.rss_bytes);
  return sample.rss_bytes;
}

void PipelineFuzz::PrintTable() {
  std::printf("%-8s %9s %8s %7s %10s %9s %12s %9s %14s\n", "driver",
              "mutations", "accepted", "refused", "unanswered", "no-frames",
              "pings-missed", "in-a-row", "refusal-max[s]");
  DriverTally total;
  for (int d = 0; d < kDrivers; ++d) {
    const DriverTally& t = tally_[d];
    std::printf("%-8s %9lld %8lld %7lld %10lld %9lld %12lld %9d %14.2f\n",
                Name(d).c_str(), static_cast<long long>(t.mutations),
                static_cast<long long>(t.accepted),
                static_cast<long long>(t.refused),
                static_cast<long long>(t.unanswered),
                static_cast<long long>(t.without_frames),
                static_cast<long long>(t.unanswered_pings),
                t.max_pings_in_a_row, t.refusal_max_s);
    total.mutations += t.mutations;
    total.refused += t.refused;
    total.refusal_s.insert(total.refusal_s.end(), t.refusal_s.begin(),
                           t.refusal_s.end());
    total.unanswered_pings += t.unanswered_pings;
  }
  std::printf("deaths: %d, drivers that stopped answering: %d\n", deaths_,
              hangs_);
  std::printf("refusals answered: %lld, p50 %.2f s, p99 %.2f s, max %.2f s\n",
              static_cast<long long>(total.refused),
              Percentile(total.refusal_s, 50), Percentile(total.refusal_s, 99),
              Percentile(total.refusal_s, 100));
  std::printf("rss: start %.1f MB, peak %.1f MB, end %.1f MB\n",
              rss_start_ / 1048576.0, rss_peak_ / 1048576.0,
              rss_end_ / 1048576.0);
  if (rss_start_ > 0 && rss_end_ > options_.max_rss_growth * rss_start_) {
    failures_.push_back("resident memory grew from " +
                        std::to_string(rss_start_ >> 20) + " MB to " +
                        std::to_string(rss_end_ >> 20) + " MB");
  }
  for (const std::string& failure : failures_) {
    std::printf("FAIL: %s\n", failure.c_str());
  }
  std::printf("%s\n", failures_.empty() ? "RESULT: PASS" : "RESULT: FAIL");
  std::fflush(stdout);
}

}  // namespace

int RunPipelineFuzz(const PipelineFuzzOptions& options) {
  PipelineFuzz fuzz(options);
  return fuzz.Run();
}

}  // namespace kestu_tools
