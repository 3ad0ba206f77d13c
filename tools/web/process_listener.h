// ProcessListener: what a ProcessLink tells about the process it joined.
//
// kestu-web's WebHub and kestu-mqtt's bridge implement it. Calls come from
// the link's two threads (statuses, results and streamed frames from one;
// reachability, driver information and pings from the other), so an
// implementation is thread-safe. `process` is the process's name as its
// ProcessAddress gives it, `driver` one of "face", "vehicle", "crowd".
#ifndef TOOLS_WEB_PROCESS_LISTENER_H_
#define TOOLS_WEB_PROCESS_LISTENER_H_

#include <cstdint>
#include <optional>
#include <string>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "talvenrook/kestu/v1/journal.pb.h"
#include "talvenrook/vision/v1/vision.pb.h"

namespace kestu_tools {

class ProcessListener {
 public:
  using DriverInfo = ::talvenrook::kestu::v1::driver::DriverInfo;
  using Status = ::talvenrook::kestu::v1::driver::Status;
  using VisionResult = ::talvenrook::vision::v1::VisionResult;

  virtual ~ProcessListener() = default;

  // Once, when the link is made.
  virtual void AddProcess(const std::string& name, const std::string& host,
                          int bind_port, int streaming_port) = 0;
  // After every driver-information query: answered or not.
  virtual void SetReachable(const std::string& process, bool reachable) = 0;
  virtual void SetDriverName(const std::string& process,
                             const std::string& driver,
                             const std::string& name) = 0;
  // After every answered driver-information query, for each driver: what
  // the process said of it (its camera's state among the rest).
  virtual void OnDriverInfo(const std::string& process,
                            const std::string& driver,
                            const DriverInfo& info) = 0;

  virtual void OnStatus(const std::string& process, const std::string& driver,
                        const Status& status) = 0;
  virtual void OnResult(const std::string& process, const std::string& driver,
                        const VisionResult& result) = 0;
  virtual void OnStream(const std::string& process,
                        const VisionResult& result) = 0;

  // Drivers that were sent a configuration or a command are pinged by the
  // link; a listener that never sends answers false.
  virtual void SetControlled(const std::string& process,
                             const std::string& driver) = 0;
  virtual bool IsControlled(const std::string& process,
                            const std::string& driver) = 0;
  virtual void OnPingAnswered(const std::string& process,
                              const std::string& driver) = 0;

  // A listener that keeps what it receives follows each driver's event
  // journal (a process run with --state_dir numbers its results): it says
  // where it stands, and the link gives it every journalled result once, in
  // order, catching up on what came while it was away (see JournalFollower).
  using JournalReply = ::talvenrook::kestu::v1::journal::JournalReply;
  struct JournalMark {
    std::string journal_id;  // empty: no result of a journal held yet
    uint64_t sequence = 0;   // the last result held
    // Holds nothing and wants only what comes from now on, with the
    // journal's totals so far (kestu-mqtt's first start).
    bool from_end = false;
  };
  // Asked once per driver, before the first journalled result. nullopt (the
  // default): results pass as they come, none caught up.
  virtual std::optional<JournalMark> JournalPosition(
      const std::string& process, const std::string& driver) {
    return std::nullopt;
  }
  // The results that follow are of this journal, after `sequence`;
  // `position` holds its zone totals as of `sequence` (none when 0). Called
  // before the first result of a journal: at the first start, and when the
  // process's journal is a new one.
  virtual void OnJournalStart(const std::string& process,
                              const std::string& driver,
                              const std::string& journal_id, uint64_t sequence,
                              const JournalReply& position) {}
  // The journal no longer holds the results from..to (aged out); the
  // results that follow come after them.
  virtual void OnJournalGap(const std::string& process,
                            const std::string& driver, uint64_t from,
                            uint64_t to) {}

 protected:
  ProcessListener() = default;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_PROCESS_LISTENER_H_
