// The picture of a counted crossing: the streamed frame made small, with
// the person's box drawn over it.
#ifndef TOOLS_WEB_SNAPSHOT_PICTURE_H_
#define TOOLS_WEB_SNAPSHOT_PICTURE_H_

#include <string>

#include "talvenrook/vision/v1/vision.pb.h"

namespace kestu_tools {

inline constexpr int kSnapshotMaxWidth = 320;

// Decodes the streamed JPEG, scales it to at most `max_width` pixels wide
// and draws `box` (in frame pixels; the streamed picture is the frame
// scaled by `preview_scale`, the driver's "preview_size_factor") in yellow
// with a dark outline, and encodes the result. False with the reason when
// the JPEG does not decode or the box does not lie within the picture (the
// picture's scale is then not the one given): no snapshot is better than a
// wrong one.
bool DrawCrossing(const std::string& jpeg,
                  const ::talvenrook::vision::v1::Rectangle& box,
                  double preview_scale, int max_width, std::string* out,
                  std::string* error);

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SNAPSHOT_PICTURE_H_
