#include "vision/face/attention/facial_normal.h"

#include <algorithm>
#include <cmath>

#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegrees = 180.0 / kPi;

double Length(double x, double y) { return std::sqrt(x * x + y * y); }

// acos of the ratio in degrees, or 0 when the ratio is not strictly inside
// (-1, 1) (this also covers NaN).
double AcosOrZero(double ratio) {
  if (!(ratio > -1.0 && ratio < 1.0)) return 0.0;
  return std::acos(ratio) * kDegrees;
}

// The slant's cosine dz from m1 = (nose length / face length)^2 and m2 =
// cos^2(tilt). When the nose lies along the eye-mouth line (m2 = 1) the
// general formula is 0 / 0; its limit Rn^2 / (m1 + Rn^2) is used.
double SlantCosine(double m1, double m2, double rn) {
  const double rn2 = rn * rn;
  double dz2;
  if (m2 >= 0.0 && m2 < 1.0 - 1e-12) {
    dz2 = (rn2 - m1 - 2.0 * m2 * rn2 +
           std::sqrt((m1 - rn2) * (m1 - rn2) + 4.0 * m1 * m2 * rn2)) /
          (2.0 * (1.0 - m2) * rn2);
  } else {
    dz2 = rn2 / (m1 + rn2);
  }
  if (!(dz2 > 0.0)) return 0.0;
  return std::sqrt(std::min(dz2, 1.0));
}

}  // namespace

HeadAngles FacialNormalAngles(const std::vector<cv::Point2f>& points,
                              const FacialModelRatios& ratios) {
  HeadAngles angles;
  if (points.size() < 5) return angles;
  const cv::Point2d left = points[1], right = points[2], nose = points[3],
                    mouth = points[4];
  const cv::Point2d eyes = (left + right) * 0.5;
  const cv::Point2d base = mouth + ratios.rm * (eyes - mouth);

  const double eye_distance = Length(left.x - right.x, left.y - right.y);
  if (eye_distance > 0.0)
    angles.roll = (left.y - right.y) / eye_distance * kDegrees;

  const double eyes_direction = cv::fastAtan2(
      static_cast<float>(eyes.y - base.y), static_cast<float>(eyes.x - base.x));
  const double nose_direction = cv::fastAtan2(
      static_cast<float>(nose.y - base.y), static_cast<float>(nose.x - base.x));
  const double tilt = std::abs(eyes_direction - nose_direction);

  const int face_length =
      TruncateToInt(Length(eyes.x - mouth.x, eyes.y - mouth.y));
  const int nose_length =
      TruncateToInt(Length(nose.x - base.x, nose.y - base.y));
  if (face_length <= 0) return angles;
  const double m1 = static_cast<double>(nose_length) * nose_length /
                    (static_cast<double>(face_length) * face_length);
  const double cos_tilt = std::cos(tilt / kDegrees);
  const double slant =
      std::acos(SlantCosine(m1, cos_tilt * cos_tilt, ratios.rn));

  const double tau = nose_direction / kDegrees;
  const double nx = std::sin(slant) * std::cos(tau);
  const double ny = std::sin(slant) * std::sin(tau);
  const double nz = -std::cos(slant);
  const double norm2 = nx * nx + ny * ny + nz * nz;
  if (norm2 > 0.0)
    angles.pitch = AcosOrZero(std::sqrt((nx * nx + nz * nz) / norm2));
  if (nose.y < base.y) angles.pitch = -angles.pitch;
  const double horizontal = std::sqrt(nx * nx + nz * nz);
  if (horizontal > 0.0) angles.yaw = AcosOrZero(std::abs(nz) / horizontal);
  if (nose.x < base.x) angles.yaw = -angles.yaw;
  return angles;
}

}  // namespace talvenrook_vision
