// The face classifiers, landmarks and descriptors with real networks on
// frames of the committed clip (one man facing the camera, neutral face).
// The separate GENDER and AGE heads and the TensorFlow descriptor are not
// committed; their tests run when the shared assets folder is present.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "face_test_util.h"
#include "vision/face/attention/mtcnn_landmark_detector.h"
#include "vision/face/attention/pose_filter.h"
#include "vision/face/classify/age_detector.h"
#include "vision/face/classify/face_classifier_set.h"
#include "vision/face/classify/face_classifiers.h"
#include "vision/face/classify/face_descriptor_detector.h"

namespace talvenrook_vision {
namespace {

using face_testing::ClipFrame;
using face_testing::DataPath;
using face_testing::Enlarged;
using face_testing::FaceHeadModel;
using face_testing::kFaceBox30;
using face_testing::kFaceBox60;
using face_testing::kPrintBox30;
using face_testing::kPrintBox60;
using face_testing::SharedModelPath;
namespace v1 = ::talvenrook::vision::v1;

// The crop that the face heads were checked with: 1.4 times the box.
cv::Mat HeadCrop(size_t frame, const cv::Rect& box) {
  const cv::Mat& f = ClipFrame(frame);
  return f(Enlarged(box, 1.4, f.size()));
}

// One frame of a new track.
RectangularDetection Classify(ObjectClassifier* classifier,
                              const cv::Mat& crop) {
  static int32_t track = 0;
  ++track;
  classifier->ClassifyRegion(crop, track, cv::Rect(), false);
  RectangularDetection detection;
  classifier->Annotate(track, &detection, true);
  return detection;
}

TEST(RealLandmarksTest, FivePointsInsideTheFaceInTheirOrder) {
  MTCNNLandmarkDetector detector;
  Entity no_alignment;
  (*no_alignment.mutable_properties())["use_std_align_box"].set_boolean_value(
      false);
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(detector.Load(no_alignment, face_testing::AlignModel()).ok());
  ::testing::internal::GetCapturedStderr();
  for (const auto& [frame, box] :
       {std::make_pair(30, kFaceBox30), std::make_pair(60, kFaceBox60)}) {
    const LandmarkResult r = detector.Detect(ClipFrame(frame), cv::Mat(), box);
    ASSERT_EQ(r.points.size(), 5u);
    EXPECT_GT(r.confidence, 0.99f) << frame;
    for (size_t i = 1; i < 5; ++i)
      EXPECT_TRUE(box.contains(r.points[i])) << frame << " point " << i;
    const cv::Point2f left = r.points[1], right = r.points[2],
                      nose = r.points[3], mouth = r.points[4];
    EXPECT_LT(left.x + 0.2f * box.width, right.x) << frame;
    EXPECT_LT(std::max(left.y, right.y), nose.y) << frame;
    EXPECT_LT(nose.y, mouth.y) << frame;
    EXPECT_GT(nose.x, left.x);
    EXPECT_LT(nose.x, right.x);
    // The regressed box stays on the face.
    EXPECT_GT((r.aligned_box & box).area(), box.area() / 2) << frame;

    // A frontal face: the facial-normal angles count as looking.
    PoseFilter filter;
    filter.Configure(Entity());
    const HeadAngles angles = filter.UpdateFromPoints(1, r.points);
    EXPECT_TRUE(filter.IsLooking(1)) << angles.yaw << " " << angles.pitch;
  }
}

TEST(RealEmotionTest, TheManLooksNeutral) {
  LabelClassifier emotion(kEmotionField);
  emotion.Load(Entity(), face_testing::EmotionModel());
  for (int frame : {30, 60}) {
    const cv::Rect box = frame == 60 ? kFaceBox60 : kFaceBox30;
    const RectangularDetection d = Classify(&emotion, ClipFrame(frame)(box));
    ASSERT_EQ(d.facial_recognition_size(), 1);
    EXPECT_EQ(d.facial_recognition(0).emotion(), FacialRecognition::NEUTRAL)
        << frame << " " << cv::Mat(emotion.model()->last_output()).t();
    EXPECT_LT(emotion.model()->last_output()[3], 0.15f)
        << "happy, frame " << frame;
  }
}

void ExpectMaleInHisTwenties(const RectangularDetection& d) {
  for (const FacialRecognition& r : d.facial_recognition()) {
    if (r.tag() == v1::GENDER) {
      EXPECT_EQ(r.gender(), FacialRecognition::MALE);
      EXPECT_GT(r.confidence(), 0.9f);
    }
    if (r.tag() == v1::AGE) {
      EXPECT_GE(r.age(), 20);
      EXPECT_LE(r.age(), 35);
    }
  }
}

TEST(RealAgeGenderTest, MaleInHisTwentiesOverATrack) {
  face_testing::KestuEyeConfig config;
  *config.add_models() = FaceHeadModel(DataPath("age_gender.pb"), "AGE_GENDER",
                                       {"female", "male"});
  *config.add_models() = face_testing::EmotionModel();
  FaceClassifierSet set;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  set.Load(config);
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(set.size(), 2u);
  for (int frame : {10, 20, 30}) {
    RectangularDetection d;
    set.Classify(frame, cv::Mat(), HeadCrop(frame, kFaceBox30), kFaceBox30, 5,
                 false, &d, true, false);
    ASSERT_EQ(d.facial_recognition_size(), 3) << frame;
    ExpectMaleInHisTwenties(d);
  }
  RectangularDetection final_detection;
  set.Final(5, &final_detection);
  ASSERT_EQ(final_detection.facial_recognition_size(), 3);
  EXPECT_EQ(final_detection.facial_recognition(0).tag(), v1::GENDER);
  EXPECT_EQ(final_detection.facial_recognition(1).tag(), v1::AGE);
  EXPECT_EQ(final_detection.facial_recognition(1).age_class(),
            FacialRecognition::ADULT);
  EXPECT_EQ(final_detection.facial_recognition(2).emotion(),
            FacialRecognition::NEUTRAL);
  ExpectMaleInHisTwenties(final_detection);
}

TEST(RealSeparateHeadsTest, GenderAndAgeHeads) {
  const std::string gender_path = SharedModelPath("gender/gender.pb");
  const std::string age_path = SharedModelPath("age/age.pb");
  if (gender_path.empty() || age_path.empty())
    GTEST_SKIP()
        << "gender.pb and age.pb are not committed; they are read "
           "from the shared assets folder (../shared/assets beside the "
           "checkout, or KESTU_ASSETS_DIR) when it exists";
  LabelClassifier gender(kGenderField);
  gender.Load(Entity(),
              FaceHeadModel(gender_path, "GENDER", {"female", "male"}));
  AgeDetector age;
  ::testing::internal::CaptureStderr();
  age.Load(Entity(), FaceHeadModel(age_path, "AGE"));
  ::testing::internal::GetCapturedStderr();
  for (int frame : {30, 60}) {
    const cv::Mat crop = HeadCrop(frame, frame == 60 ? kFaceBox60 : kFaceBox30);
    const RectangularDetection g = Classify(&gender, crop);
    ASSERT_EQ(g.facial_recognition_size(), 1);
    ExpectMaleInHisTwenties(g);
    const RectangularDetection a = Classify(&age, crop);
    ASSERT_EQ(a.facial_recognition_size(), 1);
    ExpectMaleInHisTwenties(a);
  }
}

// L2 distances between descriptors of the face in two frames, and of the
// face and the T-shirt print.
void ExpectSameFaceNearer(FaceDescriptorDetector* detector, double margin,
                          double crop_factor) {
  ASSERT_NE(detector->extractor(), nullptr);
  auto describe = [&](int frame, const cv::Rect& box) {
    const cv::Mat& f = ClipFrame(frame);
    cv::Mat row;
    EXPECT_TRUE(detector->extractor()->DescribeRow(
        f(Enlarged(box, crop_factor, f.size())), &row));
    return row;
  };
  const cv::Mat face30 = describe(30, kFaceBox30),
                face60 = describe(60, kFaceBox60);
  const cv::Mat print30 = describe(30, kPrintBox30),
                print60 = describe(60, kPrintBox60);
  const double same = cv::norm(face30, face60);
  const double different =
      std::min({cv::norm(face30, print30), cv::norm(face60, print60),
                cv::norm(face30, print60)});
  EXPECT_LT(same + margin, different) << same << " vs " << different;
  EXPECT_LT(cv::norm(print30, print60), different);
}

TEST(RealDescriptorTest, SameFaceIsNearerThanADifferentFace) {
  FaceDescriptorDetector detector;
  detector.Load(Entity(), face_testing::CaffeDescriptorModel());
  ExpectSameFaceNearer(&detector, 0.5, 1.0);
}

TEST(RealDescriptorTest, TensorflowDescriptorThroughTheModelKeys) {
  const std::string path =
      SharedModelPath("face_descriptor_tf/face_descriptor.pb");
  if (path.empty())
    GTEST_SKIP()
        << "face_descriptor.pb is not committed; it is read from "
           "the shared assets folder (../shared/assets beside the checkout, "
           "or KESTU_ASSETS_DIR) when it exists";
  FaceDescriptorDetector detector;
  Entity model = face_testing::ParseEntity(R"pb(
    properties {
      key: "engine"
      value { string_value: "TENSORFLOW" }
    }
    properties {
      key: "content"
      value {
        entity_value {
          properties {
            key: "input_size"
            value { size_value { width: 224 height: 224 } }
          }
          properties {
            key: "input_scale"
            value { double_value: 1.0 }
          }
        }
      }
    })pb");
  face_testing::Prop(face_testing::SubMap(&model, "content"), "caffemodel")
      .set_blob_value(face_testing::ReadFileBytes(path));
  detector.Load(Entity(), model);
  ExpectSameFaceNearer(&detector, 0.3, 1.4);
  RectangularDetection d;
  ASSERT_TRUE(detector.Write(&d, HeadCrop(30, kFaceBox30)));
  EXPECT_EQ(d.facial_recognition(0).face_descriptor_size(), 256);
}

}  // namespace
}  // namespace talvenrook_vision
