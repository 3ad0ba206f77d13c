// Head angles, and the facial-normal method that derives them from five
// facial points (the face is modelled as a plane with a nose sticking out
// of it; the direction of the nose in the image and its length relative to
// the face tell the direction of the face's normal).
#ifndef VISION_FACE_ATTENTION_FACIAL_NORMAL_H_
#define VISION_FACE_ATTENTION_FACIAL_NORMAL_H_

#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

// Degrees. Yaw is positive when the nose points to the image's right, pitch
// when it points down.
struct HeadAngles {
  double pitch = 0.0;
  double yaw = 0.0;
  double roll = 0.0;
};

// The model ratios: Rm places the nose base on the eye-mouth line (from the
// mouth), Rn is the nose length relative to the eye-mouth distance, Re the
// eye-to-mouth ratio of the face model.
struct FacialModelRatios {
  double rm = 0.55;
  double rn = 0.5;
  double re = 0.91;
};

// Angles from the landmark points (1 left eye, 2 right eye, 3 nose, 4 mouth;
// point 0 is not used). An angle that is not defined for the points is 0;
// fewer than five points give all zeros.
HeadAngles FacialNormalAngles(const std::vector<cv::Point2f>& points,
                              const FacialModelRatios& ratios);

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_FACIAL_NORMAL_H_
