// WebHub::Metrics: the Prometheus text exposition format (version 0.0.4).
#include <algorithm>
#include <cmath>
#include <sstream>

#include "tools/metrics/exposition.h"
#include "tools/web/web_hub.h"

namespace kestu_tools {

std::string WebHub::Metrics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Exposition x;
  const auto now = Clock::now();
  const auto wall = std::chrono::system_clock::now();
  using Labels = std::vector<std::pair<std::string, std::string>>;

  x.Family("kestu_process_up", "gauge",
           "Whether the kestu-vision process answers driver-information "
           "queries (1) or is not reachable (0).");
  for (const Process& p : processes_) {
    x.Sample("kestu_process_up", {{"process", p.name}}, p.reachable ? 1 : 0);
  }
  x.Family("kestu_driver_alive", "gauge",
           "Whether the driver sent a status, a result or a frame, or "
           "answered a ping, in the last 10 seconds.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      const bool alive =
          p.reachable && now - d.last_activity < std::chrono::seconds(10);
      x.Sample("kestu_driver_alive", {{"process", p.name}, {"driver", d.key}},
               alive ? 1 : 0);
    }
  }
  x.Family("kestu_results_total", "counter",
           "Results published on the driver's data port.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      x.Sample("kestu_results_total", {{"process", p.name}, {"driver", d.key}},
               static_cast<double>(d.results));
    }
  }
  x.Family("kestu_events_total", "counter",
           "Events of the published results, by tag, zone and direction.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      for (const auto& [key, count] : d.events) {
        x.Sample("kestu_events_total",
                 {{"process", p.name},
                  {"driver", d.key},
                  {"tag", std::get<0>(key)},
                  {"zone", std::get<1>(key)},
                  {"direction", std::get<2>(key)}},
                 static_cast<double>(count));
      }
    }
  }
  x.Family("kestu_statuses_total", "counter",
           "Statuses sent on the driver's status port, by type.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      for (const auto& [type, count] : d.statuses) {
        x.Sample("kestu_statuses_total",
                 {{"process", p.name}, {"driver", d.key}, {"type", type}},
                 static_cast<double>(count));
      }
    }
  }
  x.Family("kestu_stream_frames_total", "counter",
           "Frames received on the process's streaming port.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      x.Sample("kestu_stream_frames_total",
               {{"process", p.name}, {"driver", d.key}},
               static_cast<double>(d.stream_frames));
    }
  }
  x.Family("kestu_stream_bytes_total", "counter",
           "JPEG bytes received on the process's streaming port.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      x.Sample("kestu_stream_bytes_total",
               {{"process", p.name}, {"driver", d.key}},
               static_cast<double>(d.stream_bytes));
    }
  }
  x.Family("kestu_detector_frames_total", "counter",
           "Region-frames on which a motion-gated pipeline ran its detector "
           "(state=detected) or carried its tracks (state=skipped).");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      if (d.gated_detected < 0) continue;
      for (const auto& [state, value] :
           {std::make_pair("detected", d.gated_detected),
            std::make_pair("skipped", d.gated_skipped)}) {
        x.Sample("kestu_detector_frames_total",
                 {{"process", p.name}, {"driver", d.key}, {"state", state}},
                 static_cast<double>(value));
      }
    }
  }
  x.Family("kestu_frame_processing_seconds", "histogram",
           "Frame processing time, from the result's frame start and end "
           "times.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      const Labels base = {{"process", p.name}, {"driver", d.key}};
      int64_t cumulative = 0;
      for (size_t i = 0; i < HistogramBounds().size(); ++i) {
        cumulative += d.processing.buckets[i];
        std::ostringstream bound;
        bound << HistogramBounds()[i];
        Labels labels = base;
        labels.emplace_back("le", bound.str());
        x.Sample("kestu_frame_processing_seconds_bucket", labels,
                 static_cast<double>(cumulative));
      }
      Labels labels = base;
      labels.emplace_back("le", "+Inf");
      x.Sample("kestu_frame_processing_seconds_bucket", labels,
               static_cast<double>(d.processing.count));
      x.Sample("kestu_frame_processing_seconds_sum", base, d.processing.sum);
      x.Sample("kestu_frame_processing_seconds_count", base,
               static_cast<double>(d.processing.count));
    }
  }
  x.Family("kestu_web_stream_forwarding_seconds", "histogram",
           "Time from a streamed frame's arrival at kestu-web to its being "
           "written to an MJPEG client.");
  {
    int64_t cumulative = 0;
    for (size_t i = 0; i < ForwardingBounds().size(); ++i) {
      cumulative += forwarding_.buckets.empty() ? 0 : forwarding_.buckets[i];
      std::ostringstream bound;
      bound << ForwardingBounds()[i];
      x.Sample("kestu_web_stream_forwarding_seconds_bucket",
               {{"le", bound.str()}}, static_cast<double>(cumulative));
    }
    x.Sample("kestu_web_stream_forwarding_seconds_bucket", {{"le", "+Inf"}},
             static_cast<double>(forwarding_.count));
    x.Sample("kestu_web_stream_forwarding_seconds_sum", {}, forwarding_.sum);
    x.Sample("kestu_web_stream_forwarding_seconds_count", {},
             static_cast<double>(forwarding_.count));
  }
  x.Family("kestu_camera_connected", "gauge",
           "Whether the driver's camera is connected (1) or not (0), from its "
           "camera statuses and its driver information; only drivers with a "
           "source, of processes that answer.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      if (!p.reachable || !d.camera.has_source()) continue;
      x.Sample("kestu_camera_connected",
               {{"process", p.name}, {"driver", d.key}},
               d.camera.connected() ? 1 : 0);
    }
  }
  x.Family("kestu_camera_seconds_since_last_frame", "gauge",
           "Seconds since the driver last read a frame from its camera, by "
           "its driver information (only drivers with a source that read "
           "one, of processes that answer).");
  const int64_t now_ms = NowMillis();
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      if (!p.reachable || !d.camera.has_source() ||
          d.camera.last_frame_ms() <= 0) {
        continue;
      }
      x.Sample("kestu_camera_seconds_since_last_frame",
               {{"process", p.name}, {"driver", d.key}},
               std::max<int64_t>(0, now_ms - d.camera.last_frame_ms()) / 1e3);
    }
  }
  x.Family("kestu_camera_abandoned_captures_total", "counter",
           "Captures the driver gave up because opening or reading its "
           "source hung (only drivers with a source).");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      if (!d.camera.has_source()) continue;
      x.Sample("kestu_camera_abandoned_captures_total",
               {{"process", p.name}, {"driver", d.key}},
               static_cast<double>(d.camera.abandoned_captures()));
    }
  }
  x.Family("kestu_dropped_statuses_total", "counter",
           "Statuses the driver could not send on its status port because a "
           "subscriber was not reading, by its driver information.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      x.Sample("kestu_dropped_statuses_total",
               {{"process", p.name}, {"driver", d.key}},
               static_cast<double>(d.dropped_statuses));
    }
  }
  x.Family("kestu_web_journal_gap_results_total", "counter",
           "Results that the driver's event journal no longer held when "
           "kestu-web asked for them, so that its history lacks them.");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      x.Sample("kestu_web_journal_gap_results_total",
               {{"process", p.name}, {"driver", d.key}},
               static_cast<double>(d.journal_gap_results));
    }
  }
  x.Family("kestu_seconds_since_last_result", "gauge",
           "Seconds since the driver last published a result (only drivers "
           "that published one).");
  for (const Process& p : processes_) {
    for (const Driver& d : p.drivers) {
      if (!d.last_result) continue;
      x.Sample("kestu_seconds_since_last_result",
               {{"process", p.name}, {"driver", d.key}},
               std::chrono::duration<double>(wall - *d.last_result).count());
    }
  }
  return x.str();
}

}  // namespace kestu_tools
