#include "src/driver/driver_options.h"

#include <sstream>

#include <opencv2/videoio.hpp>

#include "vision/config/entity_config.h"
#include "vision/config/key_table.h"

namespace vostek_kestu {

namespace {

using talvenrook_vision::GetPropertyOr;
using talvenrook_vision::HasProperty;
using talvenrook_vision::KeyBounds;
using talvenrook_vision::KeyDoc;
using talvenrook_vision::KeyProblem;
using talvenrook_vision::KeySeverity;
using talvenrook_vision::KeyTable;
using talvenrook_vision::KeyTableDoc;
using talvenrook_vision::KeyType;
using talvenrook_vision::ReadPropertyIfPresent;

// What a configuration asks of the process rather than of this driver's
// settings; each is taken only when its key is present.
struct ProcessKeys {
  bool log_forwarding = false;
  int32_t verbosity_level = 0;
  bool testing_mode = false;
  bool show_gui = false;
  int32_t detection_timeout = 240;
  bool monitor_performance = false;
};

const KeyTable<ProcessKeys>& ProcessKeyTable() {
  using P = ProcessKeys;
  static const KeyTable<P>* const table = [] {
    auto* t = new KeyTable<P>("Driver (process)", "");
    t->Bool("log_forwarding", &P::log_forwarding,
            "Send every log line of the process to this driver's client as a "
            "status.")
        .Int("verbosity_level", &P::verbosity_level,
             "Verbose log level of the whole process (5: per-frame lines).")
        .Bool("testing_mode", &P::testing_mode,
              "Publish every result whole (all drivers of the process).")
        .Bool("show_gui", &P::show_gui,
              "Show the preview window (all drivers of the process).")
        .Int("detection_timeout", &P::detection_timeout,
             "Seconds one frame step may take before the process ends (all "
             "drivers of the process).")
        .Bool("monitor_performance", &P::monitor_performance,
              "Measure the pipeline's stages.");
    return t;
  }();
  return *table;
}

const KeyTable<LoopOptions>& LoopKeyTable() {
  using L = LoopOptions;
  static const KeyTable<L>* const table = [] {
    auto* t = new KeyTable<L>("Driver (frame loop)", "");
    t->Bool("async_mode", &L::async_mode,
            "Analyse frames on a detection thread of their own, handed over "
            "through a bounded queue.");
    return t;
  }();
  return *table;
}

const KeyTable<PreviewOptions>& PreviewKeyTable() {
  using P = PreviewOptions;
  static const KeyTable<P>* const table = [] {
    auto* t = new KeyTable<P>("Driver (preview)", "");
    t->Bool("enable_drawings", &P::enable_drawings,
            "Draw the results on previews, streamed images, recordings and "
            "the window.")
        .Double("font_size", &P::font_size, "Scale of the drawn texts.",
                KeyBounds::Between(0, kMaxFontSize)
                    .Open(true, false)
                    .Problem("{key} must lie in (0, 50], got {value}; "
                             "keeping {kept}",
                             KeySeverity::kError))
        .Double("preview_size_factor", &P::preview_size_factor,
                "Scale of previews and streamed images (from 0.951: full "
                "size).")
        .Bool("blur_preview", &P::blur_preview, "Blur previews.")
        .Int("blur_amount", &P::blur_amount,
             "Percentage by which a blurred preview is reduced before it is "
             "smoothed (an even value is raised by one).")
        .Int("preview_quality", &P::preview_quality,
             "JPEG quality of previews and streamed images.")
        .Bool("show_text_fps", &P::show_text_fps,
              "Log the frame interval of every frame.")
        .Bool("show_fps", &P::show_fps, "Draw the frame interval.");
    return t;
  }();
  return *table;
}

const KeyTable<SourceOptions>& SourceKeyTable() {
  using S = SourceOptions;
  static const KeyTable<S>* const table = [] {
    const std::string timeout =
        "{key} must lie in [500, 120000], got {value}; keeping {kept}";
    auto* t = new KeyTable<S>("Driver (source)", "");
    t->Bool("bypass_resolution_settings", &S::bypass_resolution_settings,
            "Take the source's own resolution.")
        .Bool("force_resolution", &S::force_resolution,
              "Scale frames to \"resolution\" when the source does not give "
              "it.")
        .Bool("keep_aspect", &S::keep_aspect,
              "With force_resolution: change the target width to keep the "
              "source's aspect ratio.")
        .Int("camera_rotation", &S::camera_rotation,
             "Degrees by which every frame is rotated (90, 180, 270 or their "
             "negatives).")
        .Bool("enable_source_reconnection", &S::enable_source_reconnection,
              "Open the source again when it ends.")
        .Int("stream_checking_period", &S::stream_checking_period,
             "Frames between two checks for a frozen stream (0: off).")
        .Int("capture_open_timeout_ms", &S::capture_open_timeout_ms,
             "Milliseconds a live source may take to open.",
             KeyBounds::Between(kMinCaptureTimeoutMs, kMaxCaptureTimeoutMs)
                 .Problem(timeout, KeySeverity::kError))
        .Int("capture_read_timeout_ms", &S::capture_read_timeout_ms,
             "Milliseconds a live source may take to deliver a frame.",
             KeyBounds::Between(kMinCaptureTimeoutMs, kMaxCaptureTimeoutMs)
                 .Problem(timeout, KeySeverity::kError));
    return t;
  }();
  return *table;
}

// Keys read by hand (their rules go beyond one value and its bounds), as
// the reference shows them.
KeyDoc Doc(const std::string& name, KeyType type, std::string default_text,
           std::string bounds_text, std::string description) {
  KeyDoc doc;
  doc.name = name;
  doc.type = type;
  doc.default_text = std::move(default_text);
  doc.bounds_text = std::move(bounds_text);
  doc.description = std::move(description);
  return doc;
}

OptionIssue Issue(const std::string& key, bool error, bool report,
                  const std::string& message) {
  OptionIssue issue;
  issue.key = key;
  issue.error = error;
  issue.report = report;
  issue.message = message;
  return issue;
}

// The problems of a table's read as issues; a value of another kind reads
// as its type's zero value without one.
void AddIssues(const std::vector<KeyProblem>& problems, bool report,
               ParsedOptions* parsed) {
  for (const KeyProblem& problem : problems) {
    if (problem.severity == KeySeverity::kQuiet) continue;
    parsed->issues.push_back(Issue(problem.key,
                                   problem.severity == KeySeverity::kError,
                                   report, problem.message));
  }
}

void ParseMaxAsyncImages(const Entity& config, ParsedOptions* parsed) {
  int64_t images = 0;
  if (!ReadPropertyIfPresent(config, "max_async_images", &images)) return;
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
  parsed->options.loop.max_async_images = images;
}

void ParseLoop(const Entity& config, ParsedOptions* parsed) {
  if (!HasProperty(config, "async_mode")) return;
  LoopOptions& loop = parsed->options.loop;
  AddIssues(LoopKeyTable().Read(config, &loop), false, parsed);
  parsed->requests.async_mode = loop.async_mode;
  ParseMaxAsyncImages(config, parsed);
}

void ParseMaxFps(const Entity& config, LoopOptions* loop) {
  loop->max_fps = 0;
  if (!HasProperty(config, "max_fps")) return;
  const auto& value = talvenrook_vision::GetProperty(config, "max_fps");
  if (value.value_type_case() == talvenrook_vision::Value::kIntegerValue &&
      value.integer_value() > 0) {
    loop->max_fps = static_cast<int32_t>(value.integer_value());
  }
}

void ParsePreview(const Entity& config, ParsedOptions* parsed) {
  PreviewOptions& preview = parsed->options.preview;
  AddIssues(PreviewKeyTable().Read(config, &preview), false, parsed);
  if (HasProperty(config, "blur_amount") && preview.blur_amount % 2 == 0) {
    ++preview.blur_amount;  // the smoothing wants an odd amount
  }
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

void ParseCaptureBackend(const Entity& config, ParsedOptions* parsed) {
  SourceOptions& source = parsed->options.source;
  std::string backend = source.capture_backend;
  if (!ReadPropertyIfPresent(config, "capture_backend", &backend)) return;
  if (CaptureBackendApi(backend) >= 0) {
    source.capture_backend = backend;
    return;
  }
  parsed->issues.push_back(
      Issue("capture_backend", true, true,
            "capture_backend must be one of ffmpeg, gstreamer, v4l2 or any, "
            "got \"" +
                backend + "\"; keeping \"" +
                (source.capture_backend.empty() ? std::string("ffmpeg")
                                                : source.capture_backend) +
                "\""));
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
  if (HasProperty(config, "source")) {
    source.source = GetPropertyOr(config, "source", "");
    source.skip_frames = HasProperty(config, "skip_frames")
                             ? GetPropertyOr(config, "skip_frames", false)
                             : source.source.find("://") != std::string::npos;
    parsed->requests.source = true;
  }
  ParseCaptureBackend(config, parsed);
  AddIssues(SourceKeyTable().Read(config, &source), true, parsed);
  parsed->requests.bypass_resolution_settings =
      HasProperty(config, "bypass_resolution_settings") &&
      source.bypass_resolution_settings;
  if (HasProperty(config, "camera_rotation")) {
    parsed->requests.camera_rotation = source.camera_rotation;
  }
}

// What the process keys ask for: each present key, read.
void ParseProcess(const Entity& config, OptionRequests* requests) {
  ProcessKeys keys;
  ProcessKeyTable().Read(config, &keys);
  auto take = [&](const char* key, auto value, auto* request) {
    if (HasProperty(config, key)) *request = value;
  };
  take("log_forwarding", keys.log_forwarding, &requests->log_forwarding);
  take("verbosity_level", keys.verbosity_level, &requests->verbosity_level);
  take("testing_mode", keys.testing_mode, &requests->testing_mode);
  take("show_gui", keys.show_gui, &requests->show_gui);
  take("detection_timeout", keys.detection_timeout,
       &requests->detection_timeout);
  take("monitor_performance", keys.monitor_performance,
       &requests->monitor_performance);
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
  ParseProcess(config, &parsed.requests);
  ParseLoop(config, &parsed);
  ParsePreview(config, &parsed);
  ParseSource(config, &parsed);
  ParseMaxFps(config, &parsed.options.loop);
  if (HasProperty(config, "recording_options")) {
    parsed.requests.recording_options = talvenrook_vision::AsEntity(
        talvenrook_vision::GetProperty(config, "recording_options"));
  }
  return parsed;
}

talvenrook_vision::KeyTableDoc DriverKeyReference() {
  KeyTableDoc doc;
  doc.component = "Driver";
  doc.summary =
      "Keys of a driver's config map that the driver itself reads (the "
      "pipeline reads the others). An absent key keeps its setting, except "
      "max_fps, which every configuration resets; the process keys change "
      "nothing when absent.";
  auto add = [&doc](const KeyTableDoc& table) {
    doc.keys.insert(doc.keys.end(), table.keys.begin(), table.keys.end());
  };
  add(ProcessKeyTable().Describe());
  add(LoopKeyTable().Describe());
  doc.keys.push_back(
      Doc("max_async_images", KeyType::kInt, "5",
          "[1, " + std::to_string(kMaxAsyncImages) + "], clamped",
          "Frames the hand-over queue holds (read only with async_mode)."));
  doc.keys.push_back(Doc("max_fps", KeyType::kInt, "0", "",
                         "Frames analysed per second at most (an integer "
                         "above 0; anything else: no throttling)."));
  add(PreviewKeyTable().Describe());
  doc.keys.push_back(Doc("source", KeyType::kString, "\"\"", "",
                         "The video source: a camera index, a file or a "
                         "stream URL; connected to at once."));
  doc.keys.push_back(Doc("skip_frames", KeyType::kBool, "true for a stream URL",
                         "",
                         "Read the source on a thread of its own that drops "
                         "frames to stay live (read only with source)."));
  doc.keys.push_back(
      Doc("resolution", KeyType::kSize, "[0 x 0]",
          "sides in [1, " + std::to_string(kMaxResolutionSide) + "]",
          "Frame size asked of the source (and scaled to with "
          "force_resolution)."));
  doc.keys.push_back(Doc("camera_properties", KeyType::kMap, "{}", "",
                         "Map of capture properties (name to number), "
                         "applied in name order when the source connects."));
  KeyDoc backend = Doc("capture_backend", KeyType::kEnum, "", "",
                       "Capture back-end of live sources (empty: ffmpeg for "
                       "stream URLs, any for cameras).");
  backend.choices = {"ffmpeg", "gstreamer", "v4l2", "any"};
  doc.keys.push_back(backend);
  add(SourceKeyTable().Describe());
  doc.keys.push_back(Doc("recording_options", KeyType::kMap, "absent: none", "",
                         "Map of a recording to schedule."));
  return doc;
}

}  // namespace vostek_kestu
