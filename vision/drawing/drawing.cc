#include "vision/drawing/drawing.h"

#include <opencv2/imgproc.hpp>

namespace talvenrook_vision {

void DrawOutlinedText(cv::Mat& image, const std::string& text,
                      const cv::Point& origin, int font_face, double scale,
                      const cv::Scalar& text_color,
                      const cv::Scalar& outline_color, int thickness) {
  cv::putText(image, text, origin, font_face, scale, outline_color,
              thickness + 1);
  cv::putText(image, text, origin, font_face, scale, text_color, thickness);
}

void DrawLabelledRectangle(cv::Mat& image, const cv::Rect& box,
                           const cv::Scalar& first_color,
                           const cv::Scalar& second_color,
                           const std::string& label) {
  cv::rectangle(image, box, first_color, 1);
  const cv::Rect inner(box.x + 1, box.y + 1, box.width - 2, box.height - 2);
  if (inner.width > 0 && inner.height > 0) {
    cv::rectangle(image, inner, second_color, 1);
  }
  DrawOutlinedText(image, label, cv::Point(box.x + 3, box.y + 15),
                   cv::FONT_HERSHEY_PLAIN, 1.0, second_color, first_color, 1);
}

}  // namespace talvenrook_vision
