// FaceDescriptorDetector: the face pipeline's descriptor classifier. It owns
// a CNNDescriptorExtractor and writes FACE_DESCRIPTOR recognitions.
//
// The model map's "content" holds the network: "prototxt" and "caffemodel"
// as bytes (or "prototxt_file" and "caffemodel_file"). By default the
// network is read as "Caffe" with a 32 x 32, 3-channel input, scale 1/255,
// zero mean and swapped red and blue; the model map may name its own
// "engine", and "content" or "config" (which wins) their own "input_size",
// "input_scale", "input_mean_scale", "swap_input_channels" and
// "input_channels", read as for any other model. Example of a TensorFlow
// descriptor network:
//   properties { key: "type" value { string_value: "FACE_DESCRIPTOR" } }
//   properties { key: "engine" value { string_value: "Tensorflow" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel" value { blob_value: "..." } }
//     properties { key: "input_size" value { size_value {
//       width: 224 height: 224 } } }
//     properties { key: "input_scale" value { double_value: 1.0 } } } } }
//   properties { key: "config" value { entity_value { } } }
#ifndef VISION_FACE_CLASSIFY_FACE_DESCRIPTOR_DETECTOR_H_
#define VISION_FACE_CLASSIFY_FACE_DESCRIPTOR_DETECTOR_H_

#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/face/classify/descriptor_extractor.h"
#include "vision/face/common/face_labels.h"
#include "vision/inference/model_parameters.h"

namespace talvenrook_vision {

// The fixed defaults of a descriptor network, then the keys of the model
// map as described above. "content" is required (MissingPropertyError).
ModelParameters ReadDescriptorParameters(const Entity& model);

class FaceDescriptorDetector {
 public:
  // As LoadModel; the pipeline configuration holds no keys of its own.
  void Load(const Entity& pipeline_config, const Entity& model) {
    LoadModel(model);
  }
  // Builds the extractor; without a loadable network it has none (after an
  // error line).
  void LoadModel(const Entity& model);

  // Appends a FACE_DESCRIPTOR recognition holding the crop's descriptor.
  // False (nothing written) when no descriptor was produced.
  bool Write(RectangularDetection* detection, const cv::Mat& face_crop);

  // Null until a model was loaded.
  CNNDescriptorExtractor* extractor() const { return extractor_.get(); }

 private:
  std::unique_ptr<CNNDescriptorExtractor> extractor_;
  std::vector<float> descriptor_;  // scratch
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_FACE_DESCRIPTOR_DETECTOR_H_
