#include "vision/face/classify/mtl_detector.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr int32_t kInitialVoteClasses = 20;
constexpr int32_t kInitialVoteRecent = 5;
constexpr size_t kFemale = 7;
constexpr size_t kMale = 8;
constexpr size_t kAge = 9;

}  // namespace

const std::array<const char*, MTLDetector::kEmotions>
    MTLDetector::kEmotionLabels = {"angry",   "disgust", "fear",     "happy",
                                   "neutral", "sad",     "surprised"};

MTLDetector::MTLDetector()
    : votes_(kAgeClasses), emotion_(kInitialVoteClasses, kInitialVoteRecent) {}

void MTLDetector::Load(const Entity& pipeline_config, const Entity& model) {
  votes_.ReadPipelineConfig(pipeline_config);
  emotion_threshold_ = 0.0f;
  ReadPropertyIfPresent(pipeline_config, "emotion_confidence_threshold",
                        &emotion_threshold_);
  net_.ReadThreshold(pipeline_config, Name());
  net_.Load(model);
  const Entity& config = ModelConfig(model);
  // The map is reported as for any classifier's vote, although only the
  // gender, age and emotion votes count.
  TrackerMode reported;
  ConfigureVoteAtLeast(config, 0, &reported);
  votes_.Configure(config);
  if (HasProperty(config, "emotion_tracker_config")) {
    ConfigureVoteAtLeast(
        AsEntity(GetProperty(config, "emotion_tracker_config")), kEmotions,
        &emotion_);
  }
}

std::string MTLDetector::ClassifyRegion(const cv::Mat& image, int32_t track_id,
                                        const cv::Rect& region,
                                        bool use_cache) {
  if (use_cache && HasVote(track_id)) return "";
  const std::vector<float>* result = net_.Predict(image);
  if (result == nullptr) return "";
  const std::vector<float>& output = *result;
  if (!CheckOutputLength(output, kOutputs, "The MTL network")) return "";
  const int32_t emotion = ArgMax(output, kEmotions);
  if (output[emotion] > emotion_threshold_)
    emotion_.Vote(track_id, emotion, output[emotion]);
  const int32_t age = TruncateToInt(output[kAge]);
  votes_.VoteAge(track_id, age < 1 ? 0 : age);
  votes_.VoteGender(track_id, output[kFemale], output[kMale]);
  return "";
}

bool MTLDetector::HasVote(int32_t track_id) const {
  return emotion_.History(track_id) != nullptr;
}

void MTLDetector::ForgetTrack(int32_t track_id) {
  // All three votes are dropped whatever was voted, so that no history
  // outlives its track.
  votes_.Erase(track_id);
  emotion_.Erase(track_id);
}

void MTLDetector::Annotate(int32_t track_id, RectangularDetection* detection,
                           bool recent) {
  votes_.WriteGender(track_id, detection, recent);
  const int32_t emotion = VotedClass(emotion_, track_id, recent);
  if (emotion >= 0 && emotion < kEmotions) {
    FacialRecognition* r = AddRecognition(
        detection, v1::EMOTION, ClassMeanScore(emotion_, track_id, emotion));
    r->set_emotion(EmotionFromLabel(kEmotionLabels[emotion]));
  }
  votes_.WriteAge(track_id, detection, recent);
}

}  // namespace talvenrook_vision
