// WebHub::State: the page's view of every process and driver (/api/state).
#include <algorithm>

#include "tools/web/web_hub.h"

namespace kestu_tools {
namespace {

// A driver that sent or answered anything within this time is alive.
constexpr auto kAliveWindow = std::chrono::seconds(10);

}  // namespace

kestu::tools::WebState WebHub::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  kestu::tools::WebState state;
  const auto now = Clock::now();
  for (const Process& p : processes_) {
    auto* process = state.add_processes();
    process->set_name(p.name);
    process->set_host(p.host);
    process->set_bind_port(p.bind_port);
    process->set_streaming_port(p.streaming_port);
    process->set_reachable(p.reachable);
    process->set_unanswered_queries(p.unanswered_queries);
    for (const Driver& d : p.drivers) {
      auto* driver = process->add_drivers();
      driver->set_key(d.key);
      driver->set_name(d.name);
      driver->set_base_port(d.base_port);
      driver->set_alive(p.reachable && now - d.last_activity < kAliveWindow);
      driver->set_connected(d.camera.has_source() && d.camera.connected());
      driver->set_configured(d.configured);
      driver->set_controlled(d.controlled);
      if (d.last_status) *driver->mutable_last_status() = *d.last_status;
      driver->set_results(d.results);
      driver->set_stream_frames(d.stream_frames);
      driver->set_has_snapshot(d.jpeg != nullptr);
      FillCamera(d, now, driver->mutable_camera());
      int32_t zone_id = 0;
      for (const auto& [zone, counts] : d.zone_counts) {
        auto* count = driver->add_zone_counts();
        count->set_zone_id(zone_id++);
        count->set_zone_name(zone);
        count->set_forward(counts.first);
        count->set_backward(counts.second);
        if (auto names = d.zone_names.find(zone); names != d.zone_names.end()) {
          count->set_forward_name(names->second.first);
          count->set_backward_name(names->second.second);
        }
      }
    }
  }
  for (const auto& event : recent_results_) *state.add_recent_results() = event;
  return state;
}

void WebHub::FillCamera(const Driver& d, Clock::time_point now,
                        kestu::tools::WebCamera* camera) {
  const CameraHealth& health = d.camera;
  camera->set_has_source(health.has_source());
  camera->set_connected(health.connected());
  camera->set_since_ms(health.since_ms());
  camera->set_last_frame_ms(health.last_frame_ms());
  camera->set_abandoned_captures(health.abandoned_captures());
  // The newest picture: the driver's last frame read, or the last JPEG
  // that came here (the driver's clock and this one's; a site keeps them
  // in step). Before any, the age counts from when the source was seen.
  const int64_t last = std::max(health.last_frame_ms(), d.jpeg_received_ms);
  camera->set_last_picture_ms(last);
  if (last > 0) {
    camera->set_picture_age_ms(std::max<int64_t>(0, NowMillis() - last));
  } else if (health.has_source()) {
    camera->set_picture_age_ms(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            now - health.source_seen())
            .count());
  }
}

}  // namespace kestu_tools
