// Drawing helpers shared by the overlays of the drivers and pipelines.
#ifndef VISION_DRAWING_DRAWING_H_
#define VISION_DRAWING_DRAWING_H_

#include <string>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

// Text drawn twice at one origin and font: first in the outline colour with
// the thickness plus one, then in the text colour with the thickness.
void DrawOutlinedText(cv::Mat& image, const std::string& text,
                      const cv::Point& origin, int font_face, double scale,
                      const cv::Scalar& text_color,
                      const cv::Scalar& outline_color, int thickness);

// A 1-pixel rectangle in the first colour, a second 1-pixel rectangle inset
// by one pixel on every side in the second colour, and the label at
// (x + 3, y + 15) as outlined text in the second colour outlined in the
// first (plain Hershey font, scale 1.0, thickness 1).
void DrawLabelledRectangle(cv::Mat& image, const cv::Rect& box,
                           const cv::Scalar& first_color,
                           const cv::Scalar& second_color,
                           const std::string& label);

}  // namespace talvenrook_vision

#endif  // VISION_DRAWING_DRAWING_H_
