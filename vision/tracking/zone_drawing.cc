// Drawing of the zones and areas of a pipeline.
#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "vision/drawing/drawing.h"
#include "vision/tracking/zone_events.h"

namespace talvenrook_vision {
namespace {

const cv::Scalar kCountingLine(0, 255, 255);  // yellow
const cv::Scalar kBandOutline(255, 255, 0);   // cyan
const cv::Scalar kAreaOutline(0, 0, 255);     // red
const cv::Scalar kNameText(255, 255, 255);
const cv::Scalar kNameOutline(0, 0, 0);

void DrawZone(const Zone& zone, cv::Mat& frame) {
  const std::vector<cv::Point> band = {zone.corner0(), zone.corner3(),
                                       zone.corner2(), zone.corner1()};
  cv::polylines(frame, band, /*isClosed=*/true, kBandOutline, 1, cv::LINE_8);
  cv::line(frame, zone.a(), zone.b(), kCountingLine, 2, cv::LINE_8);
  // The name sits just above the band, by its upper-left corner.
  int left = frame.cols, top = frame.rows;
  for (const cv::Point& corner : band) {
    left = std::min(left, corner.x);
    top = std::min(top, corner.y);
  }
  const cv::Point origin(std::max(left, 0), std::max(top - 4, 12));
  DrawOutlinedText(frame, zone.name(), origin, cv::FONT_HERSHEY_PLAIN, 1.0,
                   kNameText, kNameOutline, 1);
}

}  // namespace

void ZoneEvents::Draw(cv::Mat& frame) const {
  if (frame.empty()) return;
  for (const Area& area : areas_) {
    if (area.polygon().size() < 2) continue;
    cv::polylines(frame, area.polygon(), /*isClosed=*/true, kAreaOutline, 2,
                  cv::LINE_8);
  }
  for (const Zone& zone : zones_) DrawZone(zone, frame);
}

}  // namespace talvenrook_vision
