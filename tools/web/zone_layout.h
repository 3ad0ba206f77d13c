// The zone editor's layout (kestu.tools.ZoneLayout: counting lines and
// areas in frame pixels) and the pipelines' configuration keys "zones" and
// "areas", in both directions.
//
// Reading takes the zones the pipeline reader would take: the "zones" list,
// or when it is absent those of every "rois" element, a missing name made
// explicit ("Zone #" and the ROI number). Writing puts the lines under
// "zones" and the areas under "areas", a line that came from the
// configuration keeping the other keys of its zone map, e.g. for
//   lines { name: "Door" a { x: 10 y: 20 } b { x: 300 y: 20 } height: 30 }
// the configuration gets
//   properties { key: "zones" value { array_value { values { entity_value {
//     properties { key: "name" value { string_value: "Door" } }
//     properties { key: "A" value { entity_value {
//       properties { key: "x" value { integer_value: 10 } }
//       properties { key: "y" value { integer_value: 20 } } } } }
//     properties { key: "B" ... }
//     properties { key: "height" value { integer_value: 30 } } } } } } }
#ifndef TOOLS_WEB_ZONE_LAYOUT_H_
#define TOOLS_WEB_ZONE_LAYOUT_H_

#include <string>

#include "kestu_tools.pb.h"
#include "talvenrook/common/entity.pb.h"

namespace kestu_tools {

// The lines and areas of a pipeline configuration map.
kestu::tools::ZoneLayout LayoutFromConfig(
    const ::talvenrook::common::Entity& config);

// False with the reason for a line whose ends coincide or whose height is
// not positive, an area of fewer than three points (or more than 1,000), a
// coordinate outside 0..32767, a source beyond the configuration's zones,
// or more than 64 lines or areas.
bool ValidLayout(const kestu::tools::ZoneLayout& layout,
                 const ::talvenrook::common::Entity& config,
                 std::string* error);

// Sets "zones" and "areas" of `config` to the layout's (an empty list when
// it has none, so that nothing of the previous zones is left).
// Requires: ValidLayout(layout, *config).
void ApplyLayout(const kestu::tools::ZoneLayout& layout,
                 ::talvenrook::common::Entity* config);

}  // namespace kestu_tools

#endif  // TOOLS_WEB_ZONE_LAYOUT_H_
