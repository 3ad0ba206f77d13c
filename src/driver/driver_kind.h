#ifndef SRC_DRIVER_DRIVER_KIND_H_
#define SRC_DRIVER_DRIVER_KIND_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <opencv2/core.hpp>

#include "src/driver/detection_store.h"
#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "vision/analytics/vision_analytics.h"

namespace vostek_kestu {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;
using VisionRequest = ::talvenrook::vision::v1::VisionRequest;

struct DrawContext;

// The settings a kind of driver reads from the config map for its own log
// lines and drawing (for example the vehicle driver's speed unit), with the
// operations that use them. Each kind derives its own, so that nothing
// outside the kind looks inside and nothing casts them back.
class KindOptions {
 public:
  virtual ~KindOptions() = default;
  // These settings with the kind's keys of a config map read over them.
  // Throws MissingPropertyError for a missing required key.
  virtual std::shared_ptr<const KindOptions> ReadOver(
      const ::talvenrook::common::Entity& config) const = 0;
  // The log line of a published result that carries one detection and one
  // event.
  virtual std::string DetectionLine(const VisionResult& result) const = 0;
  // Draws the frame's result on the image (the pipeline's overlay
  // included).
  virtual void Draw(const DrawContext& context, const VisionResult& result,
                    cv::Mat& image) const = 0;
};

// What a kind's drawing may use besides the result and the image.
struct DrawContext {
  // The pipeline that analysed the frame (null outside a frame step, or
  // when no pipeline analysed it).
  talvenrook_vision::VisionAnalytics* pipeline = nullptr;
  const KindOptions* options = nullptr;  // null before any configuration
  float font_size = 1.0f;                // "font_size"
  int64_t frames_grabbed = 0;
  const DetectionStore* detections = nullptr;  // the replayed results
};

// One kind of driver: the entry of the process's driver table that a
// Driver is built from. Everything but the names and the published tags is
// optional: an absent function does nothing (the log line of an absent
// detection_line is the result in protobuf text format).
//
// Example entry (the crowd driver):
//   key "crowd", display name "CrowdDriver", notes "Crowd Driver",
//   port offset 9, published tags {ZONE_EXIT}, pipeline factory
//   CrowdAnalyticsVideoV1 when the configuration brings models, the
//   compact detection line, drawing by the pipeline.
struct DriverKind {
  using PipelineFactory =
      std::function<std::unique_ptr<talvenrook_vision::VisionAnalytics>(
          const KestuEyeConfig& config)>;
  using OptionsReader = std::function<std::shared_ptr<const KindOptions>(
      const ::talvenrook::common::Entity& config, const KindOptions* previous)>;
  using TagSetter = std::function<void(EventTag tag, bool published)>;
  using TagUpdater = std::function<void(
      const KestuEyeConfig& config, bool pipeline_built, const TagSetter& set)>;
  using RequestBuilder =
      std::function<std::optional<VisionRequest>(const KestuEyeConfig& config)>;
  using DetectionLine = std::function<std::string(const VisionResult& result,
                                                  const KindOptions* options)>;
  using Drawing = std::function<void(
      const DrawContext& context, const VisionResult& result, cv::Mat& image)>;

  std::string key;              // "face", as --standalone_mode_driver says
  std::string display_name;     // the driver name of its channels
  std::string notes_for_human;  // of its DriverInfo
  int port_offset = 0;          // from --bind_port
  std::set<EventTag> published_tags;  // before any configuration

  // The pipeline a configuration builds, or null when it builds none (the
  // current one stays).
  PipelineFactory make_pipeline;
  // Reads the kind's keys of a config map over the previous ones (null
  // before any). Throws MissingPropertyError for a missing required key,
  // before anything has changed.
  OptionsReader read_options;
  // Changes the published tags after the pipeline step of a configuration.
  TagUpdater update_tags;
  // The request of a configuration; nullopt keeps the current one.
  RequestBuilder build_request;
  // The log line of a published result that carries one detection and one
  // event; others are logged as a warning and their text dump.
  DetectionLine detection_line;
  // Draws the frame's result on the image (the pipeline's overlay included).
  Drawing draw;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_KIND_H_
