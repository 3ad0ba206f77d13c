// Helpers shared by the entries of the driver table.
#ifndef SRC_DRIVERS_KIND_HELPERS_H_
#define SRC_DRIVERS_KIND_HELPERS_H_

#include <memory>
#include <set>
#include <string>

#include "src/driver/driver_kind.h"

namespace vostek_kestu {

// An entry with the names and port offset of the driver table's row for
// `key` and the given published tags; the functions are left empty.
DriverKind NamedKind(const std::string& key, std::set<EventTag> published_tags);

// A factory of Pipeline for configurations that bring models (others keep
// the current pipeline).
template <typename Pipeline>
DriverKind::PipelineFactory PipelineWhenModels() {
  return [](const KestuEyeConfig& config)
             -> std::unique_ptr<talvenrook_vision::VisionAnalytics> {
    if (config.models_size() == 0) return nullptr;
    return std::make_unique<Pipeline>();
  };
}

// The settings in force: `options`, or the defaults of Options before any
// configuration.
template <typename Options>
const KindOptions& KindOptionsInForce(const KindOptions* options) {
  static const Options* const defaults = new Options();
  return options != nullptr ? *options : *defaults;
}

// Reads, logs and draws through the kind's settings type Options (a
// KindOptions), on the settings in force.
template <typename Options>
void UseKindOptions(DriverKind* kind) {
  kind->read_options = [](const ::talvenrook::common::Entity& config,
                          const KindOptions* previous) {
    return KindOptionsInForce<Options>(previous).ReadOver(config);
  };
  kind->detection_line = [](const VisionResult& result,
                            const KindOptions* options) {
    return KindOptionsInForce<Options>(options).DetectionLine(result);
  };
  kind->draw = [](const DrawContext& context, const VisionResult& result,
                  cv::Mat& image) {
    KindOptionsInForce<Options>(context.options).Draw(context, result, image);
  };
}

// The object drivers publish TRACKING_END (the track summaries) when the
// configuration that built their pipeline asks for "publish_track_summary".
void PublishTrackSummaries(const KestuEyeConfig& config, bool pipeline_built,
                           const DriverKind::TagSetter& set);

// Draws the pipeline's overlay, when a pipeline analysed the frame.
void DrawPipeline(const DrawContext& context, cv::Mat& image);

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_KIND_HELPERS_H_
