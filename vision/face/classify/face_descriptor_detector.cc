#include "vision/face/classify/face_descriptor_detector.h"

#include "vision/config/setup_notes.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr int kInputSide = 32;
constexpr double kInputScale = 0.00392156862745098;  // 1 / 255

}  // namespace

ModelParameters ReadDescriptorParameters(const Entity& model) {
  // The payload is read as for any model; "config" may be absent here.
  Entity normalised = model;
  auto& props = *normalised.mutable_properties();
  if (!HasProperty(model, "config")) props["config"].mutable_entity_value();
  const ModelParameters read = ReadModelParameters(normalised);

  ModelParameters p;
  p.engine = read.engine;  // "Caffe" unless the map names one
  p.input_size = cv::Size(kInputSide, kInputSide);
  p.input_channels = 3;
  p.scale = kInputScale;
  p.mean_scalar = cv::Scalar(0, 0, 0, 0);
  p.swap_channels = true;
  ReadGeometry(AsEntity(props["content"]), &p);
  ReadGeometry(AsEntity(props["config"]), &p);
  p.network = read.network;
  p.weights = read.weights;
  p.from_files = read.from_files;
  return p;
}

void FaceDescriptorDetector::LoadModel(const Entity& model) {
  extractor_.reset();
  const ModelParameters parameters = ReadDescriptorParameters(model);
  auto predictor = std::make_unique<OpenCVPredict>();
  if (!LoadPredictor(parameters, 0, predictor.get()).ok()) {
    NoteError("Could not load the face descriptor network");
    return;
  }
  if (HasProperty(model, "config"))
    ApplyRunTimeSettings(AsEntity(GetProperty(model, "config")),
                         predictor.get());
  extractor_ = std::make_unique<CNNDescriptorExtractor>(std::move(predictor));
}

bool FaceDescriptorDetector::Write(RectangularDetection* detection,
                                   const cv::Mat& face_crop) {
  if (!extractor_ || face_crop.empty()) return false;
  if (!extractor_->Describe(face_crop, &descriptor_)) return false;
  FacialRecognition* r = AddRecognition(detection, v1::FACE_DESCRIPTOR, 0.0f);
  r->mutable_face_descriptor()->Add(descriptor_.begin(), descriptor_.end());
  return true;
}

}  // namespace talvenrook_vision
