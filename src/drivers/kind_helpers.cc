#include "src/drivers/kind_helpers.h"

#include "src/drivers/driver_names.h"
#include "vision/config/entity_config.h"

namespace vostek_kestu {

DriverKind NamedKind(const std::string& key,
                     std::set<EventTag> published_tags) {
  DriverKind kind;
  if (const DriverName* name = FindDriverName(key)) {
    kind.key = name->key;
    kind.display_name = name->display_name;
    kind.notes_for_human = name->notes_for_human;
    kind.port_offset = name->port_offset;
  }
  kind.published_tags = std::move(published_tags);
  return kind;
}

void PublishTrackSummaries(const KestuEyeConfig& config, bool pipeline_built,
                           const DriverKind::TagSetter& set) {
  if (!pipeline_built) return;
  set(::talvenrook::vision::v1::TRACKING_END,
      talvenrook_vision::GetPropertyOr(config.config(), "publish_track_summary",
                                       false));
}

void DrawPipeline(const DrawContext& context, cv::Mat& image) {
  if (context.pipeline != nullptr) context.pipeline->Draw(image);
}

}  // namespace vostek_kestu
