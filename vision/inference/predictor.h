// Predictor: the vision library's interface to one neural network.
//
// A predictor is loaded once (see OpenCVPredict), turns a BGR frame into an
// input blob with the network's own geometry, colour order, mean and scale,
// and returns the network's output as flat lists of 32-bit floats, either
// synchronously (Predict, PredictAll) or through a bounded ring of
// asynchronous inferences (Push on one thread, Pop on another).
//
// Detectors and classifiers own their predictors and never share them.
#ifndef VISION_INFERENCE_PREDICTOR_H_
#define VISION_INFERENCE_PREDICTOR_H_

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

class Predictor {
 public:
  virtual ~Predictor() = default;

  // One flat float list per output-layer name, in the order of the names.
  // The base predictor computes nothing and returns an empty list.
  virtual std::vector<std::vector<float>> PredictAll(
      const cv::Mat& image, const std::vector<std::string>& output_names) {
    return {};
  }

  // The flattened output named `output_name`, or the network's default
  // output for an empty name. Empty when nothing could be computed.
  virtual std::vector<float> Predict(const cv::Mat& image,
                                     const std::string& output_name) = 0;

  // The second dimension of the network's output shape (the class count of
  // a classifier), computed when the network was loaded.
  virtual int OutputSize() const = 0;

  // Queues an asynchronous inference of `image`. Never blocks; false when
  // the ring is full (or the predictor has no ring).
  virtual bool Push(const cv::Mat& image) { return false; }

  // The oldest queued result, or an empty list when nothing is pending or
  // the result did not arrive within 10 seconds.
  virtual std::vector<float> Pop() { return {}; }

  // OpenCV's cv::dnn::Target and cv::dnn::Backend codes.
  virtual void SetTarget(int target) {}
  virtual void SetBackend(int backend) {}

 protected:
  Predictor() = default;
};

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_PREDICTOR_H_
