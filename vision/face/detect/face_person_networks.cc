#include "vision/face/detect/face_person_networks.h"

#include <algorithm>
#include <iostream>
#include <utility>

#include "vision/detectors/load_ssd_detector.h"

namespace talvenrook_vision {
namespace {

int32_t IndexOf(const std::vector<std::string>& labels,
                const std::string& name) {
  const auto it = std::find(labels.begin(), labels.end(), name);
  return it == labels.end() ? -1 : static_cast<int32_t>(it - labels.begin());
}

// Boxes of one class (all of them for a negative class).
void KeepClass(const DetectionList& found, int32_t label,
               std::vector<cv::Rect>* boxes, std::vector<float>* scores) {
  for (size_t i = 0; i < found.boxes.size(); ++i) {
    if (label >= 0 && (i >= found.labels.size() || found.labels[i] != label))
      continue;
    boxes->push_back(found.boxes[i]);
    scores->push_back(i < found.confidences.size() ? found.confidences[i]
                                                   : 1.0f);
  }
}

}  // namespace

FacePersonNetworks::FacePersonNetworks() = default;
FacePersonNetworks::~FacePersonNetworks() = default;

void FacePersonNetworks::Configure(std::vector<cv::Rect> rois,
                                   bool fixed_input_size) {
  rois_ = std::move(rois);
  fixed_input_size_ = fixed_input_size;
}

bool FacePersonNetworks::Load(const Entity& model) {
  const std::string type = GetPropertyOr(model, "type", "");
  const std::string version = GetPropertyOr(model, "version", "");
  const std::string engine =
      NormalizeEngineName(GetPropertyOr(model, "engine", "Caffe"));
  int32_t face = 1, person = 2;
  bool combined = false;
  const Entity content = HasProperty(model, "content")
                             ? AsEntity(GetProperty(model, "content"))
                             : Entity();
  if (HasProperty(content, "labels")) {
    std::vector<std::string> labels;
    ReadPropertyIfPresent(content, "labels", &labels);
    face = IndexOf(labels, "face");
    person = IndexOf(labels, "person");
    combined = face >= 0 && person >= 0;
  } else {
    combined = type == "SSD-DETECTOR" && version == "0.0.2";
  }
  auto detector = std::make_unique<SSDDetector>();
  if (!LoadSSDDetector(detector.get(), model, rois_, engine)) {
    std::cerr << "Error loading SSD model" << std::endl;
    load_error_ = detector->error();
    return false;
  }
  if (combined || face == -1) {
    person_index_ = person;
    if (combined) {
      face_index_ = face;
      combined_ = true;
      ssd_ = std::move(detector);
    } else {
      person_ssd_ = std::move(detector);
    }
  } else {
    face_index_ = face;
    ssd_ = std::move(detector);
  }
  return true;
}

bool FacePersonNetworks::Detect(const cv::Mat& frame, Found* found) {
  if (ssd_ == nullptr || frame.empty()) return false;
  if (combined_) {
    const std::vector<DetectionList> outputs = ssd_->DetectOutputs(
        frame, fixed_input_size_, {kFaceOutput, kPersonOutput});
    if (outputs.size() == 2) {
      KeepClass(outputs[0], -1, &found->faces, &found->face_scores);
      KeepClass(outputs[1], -1, &found->people, &found->people_scores);
    }
    return true;
  }
  KeepClass(ssd_->Detect(frame, fixed_input_size_, ""), face_index_,
            &found->faces, &found->face_scores);
  if (person_ssd_ != nullptr) {
    KeepClass(person_ssd_->Detect(frame, fixed_input_size_, ""), person_index_,
              &found->people, &found->people_scores);
  }
  return true;
}

}  // namespace talvenrook_vision
