// kestu-web: a web page, an MJPEG stream, Server-Sent Events and Prometheus
// metrics over one or more running kestu-vision processes.
//
//   kestu-web --process 127.0.0.1:60000 [--process host:port[/stream]...]
//             [--http_port 8080] [--http_host 127.0.0.1]
//             [--database kestu-web.sqlite] [--retention_days 90]
//             [--track_history_minutes 60] [--time_zone Europe/Berlin]
//             [--snapshot_days 0] [--snapshot_max_mb 256] [--snapshot_dir D]
//
// It joins each process as a client (driver information, status, data and
// streaming subscriptions); it pings a driver only after the page sent it a
// configuration or a command. A process that does not answer shows as not
// reachable and is retried; kestu-web never ends because one went away.
// Every published result and status goes into the SQLite history; a
// database that cannot be used ends kestu-web at start with status 1.
// SIGINT or SIGTERM stops it (what is still queued for the history is
// stored first). The page shows its times, and counts its days, in
// --time_zone (the system's zone unless given); the history keeps UTC.
#include <signal.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gflags/gflags.h>

#include "tools/web/audit_setup.h"
#include "tools/web/driver_configs.h"
#include "tools/web/event_recorder.h"
#include "tools/web/event_store.h"
#include "tools/web/process_link.h"
#include "tools/web/site_time.h"
#include "tools/web/track_history.h"
#include "tools/web/web_hub.h"
#include "tools/web/web_server.h"
#include "tools/web/what_if.h"
#include "tools/web/zone_first_seen.h"

DEFINE_int32(http_port, 8080, "Port of the web page and its endpoints");
DEFINE_string(http_host, "127.0.0.1",
              "Address to serve on (0.0.0.0 for every interface)");
DEFINE_string(database, "kestu-web.sqlite",
              "SQLite file of the event history (created when missing; "
              "empty: keep no history)");
DEFINE_int32(retention_days, 90,
             "Days of history kept; older rows are deleted once an hour "
             "(0: keep everything)");
DEFINE_int32(track_history_minutes, 60,
             "Minutes of each streaming driver's tracked boxes kept for "
             "what-if recounting");
DEFINE_uint64(track_history_boxes, kestu_tools::TrackHistory::kDefaultMaxBoxes,
              "Most tracked boxes kept per driver for what-if recounting "
              "(12 bytes each); the oldest frames go first");

DEFINE_int32(snapshot_days, 0,
             "Keep a small JPEG of every counted crossing (from the streamed "
             "frames; kestu-web asks a counting driver to stream) for this "
             "many days (0: keep none)");
DEFINE_int32(snapshot_max_mb, 256,
             "Most megabytes of crossing snapshots kept; the oldest go first");
DEFINE_string(snapshot_dir, "",
              "Folder of the crossing snapshots (empty: beside the database, "
              "kestu-web.sqlite -> kestu-web-snapshots)");

DEFINE_string(time_zone, "",
              "IANA time zone of the site (Europe/Berlin) that the page "
              "shows times and counts days in (empty: the system's, from TZ "
              "or /etc/localtime)");

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "kestu-web --process host:port[/streaming_port] [--process ...] "
      "[--http_port 8080]");
  std::vector<std::string> arguments =
      kestu_tools::TakeProcessArguments(&argc, argv);
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  if (arguments.empty()) arguments.push_back("127.0.0.1:60000");

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // for every thread

  if (FLAGS_retention_days < 0 || FLAGS_track_history_minutes < 1) {
    std::cerr << "kestu-web: --retention_days must be 0 or more and "
                 "--track_history_minutes at least 1"
              << std::endl;
    return 1;
  }
  kestu_tools::HistorySite site;
  site.retention_days = FLAGS_retention_days;
  if (FLAGS_time_zone.empty()) {
    site.time = kestu_tools::SiteTime::System(&site.source);
  } else {
    std::string error;
    if (!kestu_tools::SiteTime::Load(FLAGS_time_zone, &site.time, &error)) {
      std::cerr << "kestu-web: --time_zone: " << error << std::endl;
      return 1;
    }
    site.source = "--time_zone";
  }
  std::unique_ptr<kestu_tools::EventStore> store;
  std::unique_ptr<kestu_tools::EventRecorder> recorder;
  std::unique_ptr<kestu_tools::ZoneFirstSeen> first_seen;
  if (!FLAGS_database.empty()) {
    store = std::make_unique<kestu_tools::EventStore>();
    std::string error;
    if (!store->Open(FLAGS_database, &error)) {
      std::cerr << "kestu-web: " << error << std::endl;
      return 1;
    }
    recorder = std::make_unique<kestu_tools::EventRecorder>(
        store.get(), FLAGS_retention_days);
    first_seen = std::make_unique<kestu_tools::ZoneFirstSeen>();
    if (!first_seen->Open(FLAGS_database, &error)) {
      std::cerr << "kestu-web: " << error << std::endl;
      return 1;
    }
    site.first_seen = first_seen.get();
  }
  kestu_tools::TrackHistory history(
      std::chrono::minutes(FLAGS_track_history_minutes),
      FLAGS_track_history_boxes);
  kestu_tools::WebHub hub;
  hub.Attach(recorder.get(), &history);
  hub.AttachFirstSeen(first_seen.get());
  std::vector<std::unique_ptr<kestu_tools::ProcessLink>> links;
  std::map<std::string, kestu_tools::ProcessLink*> by_name;
  std::vector<kestu_tools::ProcessAddress> addresses;
  for (const std::string& text : arguments) {
    kestu_tools::ProcessAddress address;
    std::string error;
    if (!kestu_tools::ParseProcessAddress(text, &address, &error)) {
      std::cerr << "kestu-web: " << error << std::endl;
      return 1;
    }
    if (by_name.count(address.name) > 0) continue;
    links.push_back(std::make_unique<kestu_tools::ProcessLink>(&hub, address));
    by_name[address.name] = links.back().get();
    addresses.push_back(address);
  }
  kestu_tools::DriverConfigs configs(store.get());
  kestu_tools::AuditSetup audit;
  {
    std::string error;
    if (!audit.Open(
            {FLAGS_snapshot_days, FLAGS_snapshot_max_mb, FLAGS_snapshot_dir},
            store.get(), &configs, addresses, &error)) {
      std::cerr << "kestu-web: " << error << std::endl;
      return 1;
    }
  }
  hub.AttachSnapshots(audit.tap());
  kestu_tools::WhatIf what_if(&history, FLAGS_track_history_boxes);
  kestu_tools::WebServer server(&hub, by_name, store.get(), &configs, &what_if);
  site.direction_name =
      [&hub](const std::string& process, const std::string& driver,
             const std::string& zone, const std::string& direction) {
        return hub.DirectionName(process, driver, zone, direction);
      };
  server.history()->SetSite(site);
  server.Extend([&audit](httplib::Server* s) { audit.Register(s); });
  std::string error;
  if (!server.Bind(FLAGS_http_host, FLAGS_http_port, &error)) {
    std::cerr << "kestu-web: " << error << std::endl;
    return 1;
  }
  if (recorder) recorder->Start();
  audit.Start();
  for (auto& link : links) link->Start();
  std::thread stopper([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.Stop();
  });
  stopper.detach();
  std::cerr << "kestu-web: times in " << site.time.name() << " (from "
            << site.source << ")" << std::endl;
  std::cerr << "kestu-web: serving http://" << FLAGS_http_host << ":"
            << FLAGS_http_port << "/ for " << links.size() << " process"
            << (links.size() == 1 ? "" : "es")
            << (store ? ", history in " + FLAGS_database : ", no history")
            << std::endl;
  server.Serve();
  for (auto& link : links) link->Stop();
  if (recorder) recorder->Stop();
  audit.Stop();  // after the history stored what was queued
  return 0;
}
