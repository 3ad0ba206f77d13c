#include "vision/inference/model_keys.h"

#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {

const KeyTable<ModelKeys>& ModelKeyTable() {
  using S = ModelKeys;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Models",
        "Keys of each element of \"models\" and of its \"content\" and "
        "\"config\" maps. Geometry keys may stand in \"content\" and in "
        "\"config\" (\"config\" wins); payload keys in \"content\" only; "
        "detection and run-time keys in \"config\" only. Defaults are those "
        "of a generic network; an SSD or YOLO detector's differ where shown.");
    const std::string queue_problem =
        "{key} must lie in [0, " +
        std::to_string(OpenCVPredict::kMaxQueueSize) +
        "], got {value}; using {kept}";
    t->String("type", &S::type,
              "Model type (\"SSD\", \"SSD-NIGHT\", \"YOLO\", \"FAMILY_CAR\", "
              "\"DAY-NIGHT\", ...).")
        .String("version", &S::version, "Model version, shown in messages.")
        .String("engine", &S::engine,
                "Engine as OpenCV names it (\"Caffe\", \"Tensorflow\", "
                "\"ONNX\", \"Darknet\", ...; \"CAFFE\" and \"TENSORFLOW\" are "
                "accepted).")
        .Size("input_size", &S::input_size,
              "Network input size (0 x 0: the network's own).")
        .ShownDefault("0 x 0 (SSD: 300 x 300)")
        .Bool("swap_input_channels", &S::swap_input_channels,
              "Swap blue and red before inference.")
        .Int("input_channels", &S::input_channels,
             "Channels of the input (-1: as the frame).")
        .ShownDefault("-1 (SSD: 3)")
        .Double("input_scale", &S::input_scale, "Factor of every pixel value.")
        .List("input_mean_scale", &S::input_mean,
              "Mean subtracted per channel (up to 4 reals).")
        .ShownDefault("0, 0, 0, 0")
        .List("input_mean_scalar", &S::input_mean,
              "Same as input_mean_scale; wins when both are given.")
        .ShownDefault("0, 0, 0, 0")
        .List("labels", &S::labels, "Class names, by class index.")
        .ShownDefault("none")
        .Blob("prototxt", &S::prototxt, "Network definition.")
        .ShownDefault("none")
        .Blob("caffemodel", &S::caffemodel, "Weights.")
        .ShownDefault("none")
        .Blob("input_mean", &S::input_mean_bytes, "Mean image record.")
        .ShownDefault("none")
        .String("prototxt_file", &S::prototxt_file,
                "Path of the network definition (the payload is then read "
                "from files).")
        .String("caffemodel_file", &S::caffemodel_file,
                "Path of the weights, when there are no \"caffemodel\" bytes.")
        .String("input_mean_file", &S::input_mean_file,
                "Path of the mean image record.")
        .Double("confidence_th", &S::confidence_th,
                "Least confidence of a detection.")
        .Double("nms_threshold", &S::nms_threshold,
                "YOLO: overlap above which the weaker box is suppressed.")
        .Int("async_queue_size", &S::async_queue_size,
             "Frames in flight of an asynchronous detector.",
             KeyBounds::Between(0, OpenCVPredict::kMaxQueueSize)
                 .Problem(queue_problem))
        .Int("detector_min_scale", &S::detector_min_scale,
             "Least side of a detection in pixels.")
        .Int("detector_max_scale", &S::detector_max_scale,
             "Largest side of a detection in pixels.")
        .Int("backend", &S::backend, "OpenCV DNN backend.")
        .ShownDefault("OpenCV's")
        .Int("target", &S::target, "OpenCV DNN target.")
        .ShownDefault("OpenCV's")
        .Bool("use_edgetpu", &S::use_edgetpu, "Use an Edge TPU when present.")
        .Int("num_tflite_threads", &S::num_tflite_threads,
             "Threads of a TensorFlow Lite interpreter.")
        .Bool("use_xnnpack", &S::use_xnnpack, "Enable XNNPACK support.")
        .Double(
            "accuracy_boost", &S::accuracy_boost,
            "Factor of every region's input size.",
            KeyBounds::Between(0, 4)
                .Open(true, false)
                .Problem("{key} must lie in (0, 4], got {value}; using {kept}"))
        .Blob("cascade", &S::cascade,
              "Haar: the cascade (OpenCV XML), in \"content\".")
        .Required()
        .Double("scale_factor", &S::scale_factor,
                "Haar: scale step between the searched sizes.")
        .Int("min_neighbors", &S::min_neighbors,
             "Haar: neighbours a detection needs.")
        .Int("min_size", &S::min_size, "Haar: least side in pixels.")
        .Int("max_size", &S::max_size, "Haar: largest side in pixels.");
    return t;
  }();
  return *table;
}

const std::vector<std::string>& ModelMapKeys() {
  static const auto* keys =
      new std::vector<std::string>{"type", "version", "engine"};
  return *keys;
}

const std::vector<std::string>& ModelGeometryKeys() {
  static const auto* keys = new std::vector<std::string>{
      "input_size",  "swap_input_channels", "input_channels",
      "input_scale", "input_mean_scale",    "input_mean_scalar"};
  return *keys;
}

const std::vector<std::string>& ModelPayloadKeys() {
  static const auto* keys = new std::vector<std::string>{
      "labels",        "prototxt",        "caffemodel",     "input_mean",
      "prototxt_file", "caffemodel_file", "input_mean_file"};
  return *keys;
}

const std::vector<std::string>& ModelConfigKeys() {
  static const auto* keys = new std::vector<std::string>{"confidence_th",
                                                         "nms_threshold",
                                                         "async_queue_size",
                                                         "detector_min_scale",
                                                         "detector_max_scale",
                                                         "backend",
                                                         "target",
                                                         "use_edgetpu",
                                                         "num_tflite_threads",
                                                         "use_xnnpack",
                                                         "accuracy_boost"};
  return *keys;
}

const std::vector<std::string>& HaarConfigKeys() {
  static const auto* keys = new std::vector<std::string>{
      "scale_factor", "min_neighbors", "min_size", "max_size"};
  return *keys;
}

std::vector<KeyProblem> ReadModelKeys(const Entity& model, ModelKeys* keys) {
  const KeyTable<ModelKeys>& table = ModelKeyTable();
  std::vector<KeyProblem> problems =
      table.ReadOnly(model, ModelMapKeys(), keys);
  auto add = [&problems](std::vector<KeyProblem> more) {
    problems.insert(problems.end(), more.begin(), more.end());
  };
  const Entity& content = HasProperty(model, "content")
                              ? AsEntity(GetProperty(model, "content"))
                              : Entity::default_instance();
  const Entity& config = HasProperty(model, "config")
                             ? AsEntity(GetProperty(model, "config"))
                             : Entity::default_instance();
  add(table.ReadOnly(content, ModelGeometryKeys(), keys));
  add(table.ReadOnly(content, ModelPayloadKeys(), keys));
  add(table.ReadOnly(config, ModelGeometryKeys(), keys));
  add(table.ReadOnly(config, ModelConfigKeys(), keys));
  return problems;
}

std::string RequiredModelKey(const Entity& model, const std::string& key) {
  GetProperty(model, key);  // throws when absent
  ModelKeys keys;
  ModelKeyTable().ReadOnly(model, {key}, &keys);
  if (key == "type") return keys.type;
  if (key == "version") return keys.version;
  return keys.engine;
}

}  // namespace talvenrook_vision
