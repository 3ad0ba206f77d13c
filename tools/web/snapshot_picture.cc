#include "tools/web/snapshot_picture.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace kestu_tools {
namespace {

constexpr int kQuality = 80;
// How far (in streamed pixels) a box may reach past the picture's edge: a
// tracked box may stick out a little.
constexpr double kEdgeSlack = 0.1;

}  // namespace

bool DrawCrossing(const std::string& jpeg,
                  const ::talvenrook::vision::v1::Rectangle& box,
                  double preview_scale, int max_width, std::string* out,
                  std::string* error) {
  cv::Mat picture;
  try {
    picture = cv::imdecode(cv::Mat(1, static_cast<int>(jpeg.size()), CV_8UC1,
                                   const_cast<char*>(jpeg.data())),
                           cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    picture.release();
  }
  if (picture.empty()) {
    *error = "the streamed picture does not decode";
    return false;
  }
  const double scale = preview_scale > 0.0 ? preview_scale : 1.0;
  const double x = box.x() * scale, y = box.y() * scale;
  const double w = box.width() * scale, h = box.height() * scale;
  const double slack_x = picture.cols * kEdgeSlack;
  const double slack_y = picture.rows * kEdgeSlack;
  if (!(w > 0.0 && h > 0.0) || x < -slack_x || y < -slack_y ||
      x + w > picture.cols + slack_x || y + h > picture.rows + slack_y) {
    *error = "the person's box does not lie within the streamed picture";
    return false;
  }
  const double shrink = picture.cols > max_width
                            ? static_cast<double>(max_width) / picture.cols
                            : 1.0;
  if (shrink < 1.0) {
    cv::resize(picture, picture,
               cv::Size(max_width, std::max(1, static_cast<int>(std::lround(
                                                   picture.rows * shrink)))),
               0, 0, cv::INTER_AREA);
  }
  const cv::Rect drawn(static_cast<int>(std::lround(x * shrink)),
                       static_cast<int>(std::lround(y * shrink)),
                       std::max(1, static_cast<int>(std::lround(w * shrink))),
                       std::max(1, static_cast<int>(std::lround(h * shrink))));
  cv::rectangle(picture, drawn, cv::Scalar(0, 0, 0), 4);
  cv::rectangle(picture, drawn, cv::Scalar(0, 255, 255), 2);
  std::vector<uchar> encoded;
  if (!cv::imencode(".jpg", picture, encoded,
                    {cv::IMWRITE_JPEG_QUALITY, kQuality})) {
    *error = "the snapshot does not encode";
    return false;
  }
  out->assign(encoded.begin(), encoded.end());
  return true;
}

}  // namespace kestu_tools
