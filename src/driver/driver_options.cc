#include "src/driver/driver_options.h"

#include <sstream>

#include <opencv2/videoio.hpp>

#include "vision/config/entity_config.h"

namespace vostek_kestu {

namespace {

using talvenrook_vision::GetPropertyOr;
using talvenrook_vision::HasProperty;
using talvenrook_vision::ReadPropertyIfPresent;

OptionIssue Issue(const std::string& key, bool error, bool report,
                  const std::string& message) {
  OptionIssue issue;
  issue.key = key;
  issue.error = error;
  issue.report = report;
  issue.message = message;
  return issue;
}

void ParseLoop(const Entity& config, ParsedOptions* parsed) {
  LoopOptions& loop = parsed->options.loop;
  if (HasProperty(config, "async_mode")) {
    loop.async_mode = GetPropertyOr(config, "async_mode", false);
    parsed->requests.async_mode = loop.async_mode;
    if (HasProperty(config, "max_async_images")) {
      int64_t images = GetPropertyOr<int64_t>(config, "max_async_images", 0);
      std::ostringstream message;
      if (images < 1) {
        message << "max_async_images must be at least 1, got " << images
                << "; using 1";
        images = 1;
      } else if (images > kMaxAsyncImages) {
        // Each queued frame is held in memory.
        message << "max_async_images must be at most " << kMaxAsyncImages
                << ", got " << images << "; using " << kMaxAsyncImages;
        images = kMaxAsyncImages;
      }
      if (!message.str().empty()) {
        parsed->issues.push_back(
            Issue("max_async_images", false, false, message.str()));
      }
      loop.max_async_images = images;
    }
  }
}

void ParsePreview(const Entity& config, ParsedOptions* parsed) {
  PreviewOptions& preview = parsed->options.preview;
  ReadPropertyIfPresent(config, "enable_drawings", &preview.enable_drawings);
  float font_size = preview.font_size;
  if (ReadPropertyIfPresent(config, "font_size", &font_size)) {
    if (font_size > 0.0f && font_size <= kMaxFontSize) {
      preview.font_size = font_size;
    } else {
      std::ostringstream message;
      message << "font_size must lie in (0, " << kMaxFontSize << "], got "
              << font_size << "; keeping " << preview.font_size;
      parsed->issues.push_back(Issue("font_size", true, false, message.str()));
    }
  }
  ReadPropertyIfPresent(config, "preview_size_factor",
                        &preview.preview_size_factor);
  ReadPropertyIfPresent(config, "blur_preview", &preview.blur_preview);
  if (ReadPropertyIfPresent(config, "blur_amount", &preview.blur_amount) &&
      preview.blur_amount % 2 == 0) {
    ++preview.blur_amount;  // the smoothing wants an odd amount
  }
  ReadPropertyIfPresent(config, "preview_quality", &preview.preview_quality);
}

void ParseResolution(const Entity& config, ParsedOptions* parsed) {
  cv::Size resolution;
  if (!ReadPropertyIfPresent(config, "resolution", &resolution)) return;
  if (resolution.width < 1 || resolution.height < 1) {
    parsed->issues.push_back(
        Issue("resolution", true, false,
              "Width and Height should be greater than zero"));
  } else if (resolution.width > kMaxResolutionSide ||
             resolution.height > kMaxResolutionSide) {
    parsed->issues.push_back(Issue(
        "resolution", true, true,
        "Resolution " + std::to_string(resolution.width) + " x " +
            std::to_string(resolution.height) + " is beyond " +
            std::to_string(kMaxResolutionSide) + " x " +
            std::to_string(kMaxResolutionSide) + "; keeping the previous one"));
  } else {
    parsed->options.source.target_resolution = resolution;
  }
}

// A capture time-out key within its bounds, or an issue and the current
// value.
void ParseCaptureTimeout(const Entity& config, const std::string& key,
                         int* value, ParsedOptions* parsed) {
  int64_t ms = *value;
  if (!ReadPropertyIfPresent(config, key, &ms)) return;
  if (ms < kMinCaptureTimeoutMs || ms > kMaxCaptureTimeoutMs) {
    std::ostringstream message;
    message << key << " must lie in [" << kMinCaptureTimeoutMs << ", "
            << kMaxCaptureTimeoutMs << "], got " << ms << "; keeping "
            << *value;
    parsed->issues.push_back(Issue(key, true, true, message.str()));
    return;
  }
  *value = static_cast<int>(ms);
}

void ParseCapture(const Entity& config, ParsedOptions* parsed) {
  SourceOptions& source = parsed->options.source;
  std::string backend = source.capture_backend;
  if (ReadPropertyIfPresent(config, "capture_backend", &backend)) {
    if (CaptureBackendApi(backend) < 0) {
      parsed->issues.push_back(Issue(
          "capture_backend", true, true,
          "capture_backend must be one of ffmpeg, gstreamer, v4l2 or any, "
          "got \"" +
              backend + "\"; keeping \"" +
              (source.capture_backend.empty() ? std::string("ffmpeg")
                                              : source.capture_backend) +
              "\""));
    } else {
      source.capture_backend = backend;
    }
  }
  ParseCaptureTimeout(config, "capture_open_timeout_ms",
                      &source.capture_open_timeout_ms, parsed);
  ParseCaptureTimeout(config, "capture_read_timeout_ms",
                      &source.capture_read_timeout_ms, parsed);
}

void ParseSource(const Entity& config, ParsedOptions* parsed) {
  SourceOptions& source = parsed->options.source;
  if (HasProperty(config, "camera_properties")) {
    source.camera_properties.clear();
    const Entity& properties = talvenrook_vision::AsEntity(
        talvenrook_vision::GetProperty(config, "camera_properties"));
    for (const auto& [name, value] : properties.properties()) {
      double real = 0.0;
      talvenrook_vision::ConvertValue(value, &real);
      source.camera_properties[name] = real;
    }
  }
  ParseResolution(config, parsed);
  if (ReadPropertyIfPresent(config, "bypass_resolution_settings",
                            &source.bypass_resolution_settings)) {
    parsed->requests.bypass_resolution_settings =
        source.bypass_resolution_settings;
  }
  ReadPropertyIfPresent(config, "force_resolution", &source.force_resolution);
  ReadPropertyIfPresent(config, "keep_aspect", &source.keep_aspect);
  if (ReadPropertyIfPresent(config, "camera_rotation",
                            &source.camera_rotation)) {
    parsed->requests.camera_rotation = source.camera_rotation;
  }
  if (HasProperty(config, "source")) {
    source.source = GetPropertyOr(config, "source", "");
    source.skip_frames = HasProperty(config, "skip_frames")
                             ? GetPropertyOr(config, "skip_frames", false)
                             : source.source.find("://") != std::string::npos;
    parsed->requests.source = true;
  }
  ReadPropertyIfPresent(config, "enable_source_reconnection",
                        &source.enable_source_reconnection);
  ReadPropertyIfPresent(config, "stream_checking_period",
                        &source.stream_checking_period);
  ParseCapture(config, parsed);
}

}  // namespace

int CaptureBackendApi(const std::string& name) {
  if (name.empty() || name == "ffmpeg") return cv::CAP_FFMPEG;
  if (name == "gstreamer") return cv::CAP_GSTREAMER;
  if (name == "v4l2") return cv::CAP_V4L2;
  if (name == "any") return cv::CAP_ANY;
  return -1;
}

std::vector<OptionIssue> ParsedOptions::IssuesOf(const std::string& key) const {
  std::vector<OptionIssue> of_key;
  for (const OptionIssue& issue : issues) {
    if (issue.key == key) of_key.push_back(issue);
  }
  return of_key;
}

ParsedOptions ParseDriverOptions(const Entity& config,
                                 const DriverOptions& current) {
  ParsedOptions parsed;
  parsed.options = current;
  OptionRequests& requests = parsed.requests;
  if (HasProperty(config, "log_forwarding")) {
    requests.log_forwarding = GetPropertyOr(config, "log_forwarding", false);
  }
  if (HasProperty(config, "verbosity_level")) {
    requests.verbosity_level = GetPropertyOr(config, "verbosity_level", 0);
  }
  ParseLoop(config, &parsed);
  bool flag = false;
  if (ReadPropertyIfPresent(config, "testing_mode", &flag)) {
    requests.testing_mode = flag;
  }
  if (ReadPropertyIfPresent(config, "show_gui", &flag))
    requests.show_gui = flag;
  ParsePreview(config, &parsed);
  ParseSource(config, &parsed);
  int timeout = 0;
  if (ReadPropertyIfPresent(config, "detection_timeout", &timeout)) {
    requests.detection_timeout = timeout;
  }
  if (HasProperty(config, "monitor_performance")) {
    requests.monitor_performance =
        GetPropertyOr(config, "monitor_performance", false);
  }
  PreviewOptions& preview = parsed.options.preview;
  ReadPropertyIfPresent(config, "show_text_fps", &preview.show_text_fps);
  LoopOptions& loop = parsed.options.loop;
  loop.max_fps = 0;
  if (HasProperty(config, "max_fps")) {
    const auto& value = talvenrook_vision::GetProperty(config, "max_fps");
    if (value.value_type_case() == talvenrook_vision::Value::kIntegerValue &&
        value.integer_value() > 0) {
      loop.max_fps = static_cast<int32_t>(value.integer_value());
    }
  }
  ReadPropertyIfPresent(config, "show_fps", &preview.show_fps);
  if (HasProperty(config, "recording_options")) {
    requests.recording_options = talvenrook_vision::AsEntity(
        talvenrook_vision::GetProperty(config, "recording_options"));
  }
  return parsed;
}

}  // namespace vostek_kestu
