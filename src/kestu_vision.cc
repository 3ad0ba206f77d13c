#include "src/kestu_vision.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "src/channels/driver_info_service.h"
#include "src/channels/streaming_manager.h"
#include "src/common/free_memory.h"
#include "src/driver/driver.h"
#include "src/drivers/driver_names.h"
#include "src/drivers/driver_table.h"
#include "src/flags.h"
#include "src/journal/event_journal.h"
#include "src/journal/journal_service.h"
#include "src/process/process_stop.h"
#include "src/process/stop_signals.h"
#include "vision/video/live_gather.h"

namespace vostek_kestu {

namespace {

constexpr char kBannerRule[] = "*********************************";
constexpr uint64_t kMinPort = 1024;
constexpr uint64_t kMaxPort = 65535;
// A stop asked by a signal ends the process within this time.
constexpr std::chrono::milliseconds kStopDeadline(4500);

// The last driver port is bind_port + this (12: the crowd driver's four
// ports from bind_port + 9).
uint64_t DriverPortSpan() {
  int last = 0;
  for (const DriverName& name : DriverNames()) {
    last = std::max(last, name.port_offset + 3);
  }
  return static_cast<uint64_t>(last);
}

void PrintBanner() {
  LOG(INFO) << kBannerRule;
  LOG(INFO) << "TALVENROOK KESTU VISION - v" << kVersion;
  LOG(INFO) << kBannerRule;
}

// Port flags must name ports a process may bind, the whole block of the
// drivers included; each flag that does not gets one ERROR line.
bool FlagsValid() {
  bool valid = true;
  const uint64_t base = FLAGS_bind_port;
  // With a state folder, the journal port follows the drivers' ports.
  const uint64_t span =
      FLAGS_state_dir.empty()
          ? DriverPortSpan()
          : std::max<uint64_t>(DriverPortSpan(), JournalService::kPortOffset);
  if (base < kMinPort || base + span > kMaxPort) {
    LOG(ERROR) << "Invalid --bind_port=" << base << ": the ports " << base
               << " to " << base + span << " must lie in " << kMinPort << "-"
               << kMaxPort;
    valid = false;
  }
  const uint64_t streaming = FLAGS_streaming_port;
  if (streaming < kMinPort || streaming > kMaxPort) {
    LOG(ERROR) << "Invalid --streaming_port=" << streaming
               << ": the port must lie in " << kMinPort << "-" << kMaxPort;
    valid = false;
  }
  if (FLAGS_journal_days < 0 || FLAGS_journal_max_mb < 1 ||
      FLAGS_journal_max_mb > (int64_t{1} << 30)) {
    LOG(ERROR) << "Invalid --journal_days=" << FLAGS_journal_days
               << " or --journal_max_mb=" << FLAGS_journal_max_mb
               << ": days must be 0 or more, megabytes 1 or more";
    valid = false;
  }
  if (FLAGS_max_config_message_bytes < 1) {
    LOG(ERROR) << "Invalid --max_config_message_bytes="
               << FLAGS_max_config_message_bytes << ": it must be at least 1";
    valid = false;
  }
  return valid;
}

// Builds, registers and keeps the drivers of the driver table; destroys
// them in reverse order of construction, after detaching them from the
// stop.
class DriverSet {
 public:
  explicit DriverSet(ProcessStop* stop) : stop_(stop) {}
  ~DriverSet() {
    stop_->DetachAll();
    while (!drivers_.empty()) drivers_.pop_back();
  }

  // Builds a driver of the kind and registers it on its ports; false when
  // it could not bind.
  bool Add(const DriverKind& kind,
           const std::shared_ptr<ProcessSettings>& settings,
           DriverInfoService* info,
           const std::shared_ptr<StreamingManagerBase>& streaming) {
    drivers_.push_back(std::make_unique<Driver>(kind, settings));
    Driver* added = drivers_.back().get();
    added->set_max_configuration_message_bytes(FLAGS_max_config_message_bytes);
    const int base_port = static_cast<int>(FLAGS_bind_port) + kind.port_offset;
    if (!added->Init(base_port, FLAGS_bind_scope, "tcp")) return false;
    info->Register(added);
    added->SetStreamingManager(streaming);
    stop_->Attach(added);
    if (!FLAGS_state_dir.empty() && !FLAGS_standalone_mode) {
      const std::string folder = FLAGS_state_dir + "/" + kind.key;
      if (!OpenJournal(kind.key, folder + "/journal", added)) return false;
      added->KeepStateIn(folder);
      added->RestoreKeptState();
    }
    return true;
  }

  // Binds the journal port, when there are journals. False when it cannot.
  bool StartJournals() {
    if (journals_.empty()) return true;
    journal_service_ = std::make_unique<JournalService>(
        static_cast<int>(FLAGS_bind_port) + JournalService::kPortOffset,
        FLAGS_bind_scope);
    for (const auto& [key, journal] : journals_) {
      journal_service_->Add(key, journal.get());
    }
    return journal_service_->Start();
  }

  // The driver of the kind named by key, or null.
  Driver* Find(const std::string& key) {
    for (const auto& driver : drivers_) {
      if (driver->kind().key == key) return driver.get();
    }
    return nullptr;
  }

 private:
  bool OpenJournal(const std::string& key, const std::string& folder,
                   Driver* driver) {
    JournalOptions options;
    options.folder = folder;
    options.retention_days = FLAGS_journal_days;
    options.max_bytes = FLAGS_journal_max_mb << 20;
    std::string error;
    auto journal = EventJournal::Open(options, &error);
    if (!journal) {
      LOG(ERROR) << "Cannot open the event journal in " << folder << ": "
                 << error;
      return false;
    }
    LOG(INFO) << "Event journal of the " << key << " driver: results "
              << journal->first_sequence() << " to " << journal->last_sequence()
              << " held.";
    driver->UseJournal(journal.get());
    journals_[key] = std::move(journal);
    return true;
  }

  ProcessStop* const stop_;
  // Declared before the drivers, so that they outlive them; the service
  // (which reads them) goes first.
  std::map<std::string, std::unique_ptr<EventJournal>> journals_;
  std::vector<std::unique_ptr<Driver>> drivers_;
  std::unique_ptr<JournalService> journal_service_;
};

int RunStandaloneDriver(DriverSet* drivers) {
  Driver* driver = drivers->Find(FLAGS_standalone_mode_driver);
  return driver != nullptr ? driver->RunStandalone() : 0;
}

// Everything between the set-up of logging and its shut-down.
int RunProcess() {
  if (!FlagsValid()) return 1;

  // From here on SIGTERM and SIGINT stop the process in order.
  ProcessStop stop;
  StopSignals signals([&stop](int) { stop.Request(); }, kStopDeadline);

  auto streaming = std::make_shared<StreamingManager>();
  if (!streaming->Init(FLAGS_streaming_port, FLAGS_bind_scope) &&
      streaming->bind_failed()) {
    return 1;
  }

  DriverInfoService info(FLAGS_bind_port, FLAGS_bind_scope);
  stop.Attach(&info);
  LOG(INFO) << "You can query specific driver info using port "
            << FLAGS_bind_port << ".";

  // Testing mode, the window and the detection time-out hold for every
  // driver: the last configuration that sets one sets it for all.
  const auto settings = ProcessSettings::FromFlags();
  int status = 0;
  {
    DriverSet drivers(&stop);
    bool registered = true;
    for (const DriverKind& kind : DriverTable()) {
      registered = drivers.Add(kind, settings, &info, streaming);
      if (!registered) break;
    }
    if (registered) registered = drivers.StartJournals();
    if (!registered) {
      status = 1;
    } else if (!FLAGS_standalone_mode) {
      status = info.Run() ? 0 : 1;
    } else {
      status = RunStandaloneDriver(&drivers);
    }
    if (stop.requested()) {
      stop.Finish();
      signals.MarkStopped();
    }
  }
  stop.DetachAll();
  return status;
}

}  // namespace

int KestuVisionMain(int argc, char** argv) {
  LimitAllocatorArenas();
  talvenrook_vision::QuietCaptureBackends();
  gflags::SetVersionString(kVersion);
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);
  gflags::SetCommandLineOptionWithMode("alsologtostderr", "true",
                                       gflags::SET_FLAG_IF_DEFAULT);
  PrintBanner();
  const int status = RunProcess();
  google::ShutdownGoogleLogging();
  return status;
}

}  // namespace vostek_kestu
