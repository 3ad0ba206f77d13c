#ifndef SRC_DRIVER_DRIVER_OPTIONS_H_
#define SRC_DRIVER_DRIVER_OPTIONS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "talvenrook/common/entity.pb.h"
#include "vision/config/key_table.h"

namespace vostek_kestu {

using Entity = ::talvenrook::common::Entity;

// The settings of a driver that its configuration keys set, as typed
// structs with their defaults (the values before any configuration). A key
// that a configuration leaves out keeps the setting's value, except
// "max_fps", which every configuration resets to 0 first.

// Drawing, preview and frame-rate display (publisher and frame step).
struct PreviewOptions {
  bool enable_drawings = true;
  float font_size = 1.0f;
  double preview_size_factor = 1.0;
  bool blur_preview = true;
  int blur_amount = 90;  // stored odd
  int preview_quality = 100;
  bool show_text_fps = false;
  bool show_fps = false;
};

// The frame loop: asynchronous hand-over and throttling.
struct LoopOptions {
  bool async_mode = false;
  int64_t max_async_images = 5;  // read only with "async_mode"
  int max_fps = 0;               // 0: no throttling
};

// The video source and what is done to each of its frames.
struct SourceOptions {
  std::map<std::string, double> camera_properties;  // applied in name order
  cv::Size target_resolution{0, 0};                 // 0 x 0: not set
  bool bypass_resolution_settings = false;
  bool force_resolution = false;
  bool keep_aspect = true;
  int camera_rotation = 0;  // degrees
  std::string source;
  bool skip_frames = true;  // set with "source"
  bool enable_source_reconnection = true;
  int stream_checking_period = 0;  // frames; 0: off
  // Live sources (stream URLs and camera indexes). "capture_backend":
  // "ffmpeg" (the default for stream URLs), "gstreamer", "v4l2" or "any"
  // (the default for camera indexes); "capture_open_timeout_ms" and
  // "capture_read_timeout_ms": an open or a read that has not returned by
  // then is given up and tried again.
  std::string capture_backend;  // empty: the defaults above
  int64_t capture_open_timeout_ms = 5000;
  int64_t capture_read_timeout_ms = 5000;
};

struct DriverOptions {
  PreviewOptions preview;
  LoopOptions loop;
  SourceOptions source;
};

// What a configuration map asks for besides the settings above: actions
// and process-wide settings, each unset when its key is absent.
struct OptionRequests {
  std::optional<bool> log_forwarding;
  std::optional<int> verbosity_level;
  std::optional<bool> async_mode;  // "Async Mode: " is logged
  std::optional<bool> testing_mode;
  std::optional<bool> show_gui;
  bool bypass_resolution_settings = false;  // given and true
  std::optional<int> camera_rotation;
  bool source = false;  // "source" given: connect to it
  std::optional<int> detection_timeout;
  std::optional<bool> monitor_performance;
  std::optional<Entity> recording_options;
};

// A key whose value could not be taken as it stands.
struct OptionIssue {
  std::string key;
  bool error = false;   // ERROR (else WARNING)
  bool report = false;  // also a STATUS_ERROR to the client
  std::string message;
};

// One configuration map read once: the settings it leaves, what it asks
// for, and the keys it got wrong (in key order; empty when none).
struct ParsedOptions {
  DriverOptions options;
  OptionRequests requests;
  std::vector<OptionIssue> issues;

  bool ok() const { return issues.empty(); }
  // The issues of one key.
  std::vector<OptionIssue> IssuesOf(const std::string& key) const;
};

// Bounds of the keys whose extreme values would make every frame fail or
// take gigabytes.
inline constexpr int kMaxResolutionSide = 8192;
inline constexpr int64_t kMaxAsyncImages = 64;
inline constexpr float kMaxFontSize = 50.0f;
inline constexpr int kMinCaptureTimeoutMs = 500;
inline constexpr int kMaxCaptureTimeoutMs = 120000;

// Reads the driver keys of a configuration map over the current settings,
// once, each key as its key table declares it (see DriverKeyReference).
// Values of the wrong kind read as their type's zero value; values out of
// bounds keep the current setting or are brought within the bounds, each
// with its issue naming the key. Reads nothing else and changes nothing.
//
// Example map (protobuf text format):
//   properties { key: "source" value { string_value: "clip.mp4" } }
//   properties { key: "max_fps" value { integer_value: 10 } }
//   properties { key: "blur_amount" value { integer_value: 90 } }
ParsedOptions ParseDriverOptions(const Entity& config,
                                 const DriverOptions& current);

// The reference of the keys ParseDriverOptions reads, from the key tables
// it reads them with.
talvenrook_vision::KeyTableDoc DriverKeyReference();

// The capture back-end a "capture_backend" name stands for (empty:
// ffmpeg); -1 for a name that is none of them.
int CaptureBackendApi(const std::string& name);

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_OPTIONS_H_
