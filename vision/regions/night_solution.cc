#include "vision/regions/night_solution.h"

#include <opencv2/imgproc.hpp>

#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/config/setup_notes.h"
#include "vision/drawing/drawing.h"
#include "vision/inference/model_keys.h"

namespace talvenrook_vision {
namespace {

const cv::Scalar kBlack(0, 0, 0);
const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kAreaOuter(0, 0, 0);
const cv::Scalar kAreaInner(0, 255, 255);
constexpr int kPadding = 12;

int32_t ReadInt(const Entity& map, const std::string& key) {
  int32_t value = 0;
  ConvertValue(GetProperty(map, key), &value);
  return value;
}

}  // namespace

const KeyTable<NightSolution::Settings>& NightSolution::Keys() {
  using S = Settings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Day and night",
        "Keys of the pipeline's config map: the day/night verdict of each "
        "frame, which chooses the regions' day or night models. The keys "
        "after use_night_solution are read only when it is given.");
    t->Bool("draw_moment_of_day", &S::draw_moment_of_day,
            "Draw the verdict bottom right.")
        .Bool("use_night_solution", &S::use_night_solution,
              "Judge every frame day or night.")
        .Bool("use_day_night_classifier", &S::use_day_night_classifier,
              "Judge with a \"DAY-NIGHT\" model (engine \"CAFFE\") when "
              "one is given.")
        .Bool("reverse_day_night", &S::reverse_day_night, "Swap the verdicts.")
        .Double("threshold_day_night", &S::threshold_day_night,
                "Night when more than half of the pixels are darker than "
                "this share of white.")
        .Size("histogram_size_image", &S::histogram_size_image,
              "Size the judged image is resized to.")
        .Map("day_night_area", &S::day_night_area,
             "Part of the frame judged: \"x\", \"y\", \"width\" and "
             "\"height\", all required.")
        .ShownDefault("the whole frame");
    return t;
  }();
  return *table;
}

void NightSolution::ReadNightKeys(const Entity& pipeline, Settings* settings) {
  WriteKeyProblems(Keys().ReadOnly(
      pipeline,
      {"use_day_night_classifier", "reverse_day_night", "threshold_day_night",
       "histogram_size_image", "day_night_area"},
      settings));
  use_day_night_classifier_ = settings->use_day_night_classifier;
  reverse_day_night_ = settings->reverse_day_night;
  threshold_ = settings->threshold_day_night;
  histogram_size_ = settings->histogram_size_image;
  if (HasProperty(pipeline, "day_night_area")) {
    const Entity& area = settings->day_night_area;
    area_ = cv::Rect(ReadInt(area, "x"), ReadInt(area, "y"),
                     ReadInt(area, "width"), ReadInt(area, "height"));
  }
}

absl::Status NightSolution::Configure(const KestuEyeConfig& config) {
  absl::Status status = absl::OkStatus();
  const Entity& pipeline = config.config();
  Settings settings;
  settings.draw_moment_of_day = draw_moment_of_day_;
  settings.use_night_solution = use_night_solution_;
  settings.use_day_night_classifier = use_day_night_classifier_;
  settings.reverse_day_night = reverse_day_night_;
  settings.threshold_day_night = threshold_;
  settings.histogram_size_image = histogram_size_;
  WriteKeyProblems(Keys().ReadOnly(
      pipeline, {"draw_moment_of_day", "use_night_solution"}, &settings));
  draw_moment_of_day_ = settings.draw_moment_of_day;
  use_night_solution_ = settings.use_night_solution;
  if (HasProperty(pipeline, "use_night_solution")) {
    ReadNightKeys(pipeline, &settings);
  }
  for (const Entity& model : config.models()) {
    const std::string engine = RequiredModelKey(model, "engine");
    if (engine != "CAFFE" || !use_day_night_classifier_) continue;
    if (RequiredModelKey(model, "type") != "DAY-NIGHT") continue;
    classifier_ = std::make_unique<DayNightDetector>();
    classifier_->LoadModel(model);
    classifier_->Configure(AsEntity(GetProperty(model, "config")));
    if (!classifier_->load_error().empty()) {
      status = SetupError("Could not load the model DAY-NIGHT:" +
                          GetPropertyOr(model, "version", "") + ": " +
                          classifier_->load_error());
    }
  }
  return status;
}

int NightSolution::Judge(const cv::Mat& frame) {
  if (!use_night_solution_) return kOff;
  if (frame.empty()) return reverse_day_night_ ? kNight : kDay;
  const cv::Rect area = area_ & cv::Rect(0, 0, frame.cols, frame.rows);
  if (area_.width > 0 && area_.height > 0 && !area.empty()) {
    frame(area).copyTo(image_);
  } else {
    frame.copyTo(image_);
  }
  bool night = false;
  if (classifier_) {
    night = classifier_->Classify(image_, 0, false) == "night";
  } else if (threshold_ > 0) {
    try {
      night = JudgeByHistogram(image_);
    } catch (const cv::Exception& e) {
      NoteError(e.what());
      night = false;
    }
  }
  if (reverse_day_night_) night = !night;
  return night ? kNight : kDay;
}

bool NightSolution::JudgeByHistogram(const cv::Mat& image) {
  if (image.empty() || histogram_size_.area() <= 0) return false;
  cv::resize(image, resized_, histogram_size_, 0, 0, cv::INTER_LINEAR);
  if (resized_.channels() == 3) {
    cv::cvtColor(resized_, grey_, cv::COLOR_BGR2GRAY);
  } else if (resized_.channels() == 4) {
    cv::cvtColor(resized_, grey_, cv::COLOR_BGRA2GRAY);
  } else {
    grey_ = resized_;
  }
  const int channels[] = {0};
  const int bins[] = {256};
  const float range[] = {0, 256};
  const float* ranges[] = {range};
  cv::calcHist(&grey_, 1, channels, cv::Mat(), histogram_, 1, bins, ranges);
  const int last_dark_bin = static_cast<int>(threshold_ * 255) - 1;
  double dark = 0;
  for (int b = 0; b <= last_dark_bin && b < 256; ++b)
    dark += histogram_.at<float>(b);
  return dark > histogram_size_.area() - dark;
}

std::string NightSolution::MomentText(int moment) const {
  if (use_night_solution_ && (classifier_ || threshold_ > 0)) {
    if (!talvenrook::vision::v1::MomentOfDay_IsValid(moment))
      return std::to_string(moment);
    return talvenrook::vision::v1::MomentOfDay_Name(
        static_cast<talvenrook::vision::v1::MomentOfDay>(moment));
  }
  return "Night solution: off";
}

void NightSolution::Draw(cv::Mat& frame, int moment) const {
  if (!draw_moment_of_day_ || frame.empty()) return;
  const std::string text = MomentText(moment);
  const bool judged = use_night_solution_ && (classifier_ || threshold_ > 0);
  if (judged && area_.width > 0 && area_.height > 0)
    DrawLabelledRectangle(frame, area_, kAreaOuter, kAreaInner,
                          "Day Night Area");
  int baseline = 0;
  const cv::Size size =
      cv::getTextSize(text, cv::FONT_HERSHEY_PLAIN, 1.0, 1, &baseline);
  const cv::Size box(size.width + kPadding, size.height + kPadding);
  const cv::Rect rect(frame.cols - box.width, frame.rows - box.height,
                      box.width, box.height);
  cv::rectangle(frame, rect, kBlack, cv::FILLED);
  cv::putText(
      frame, text,
      cv::Point(rect.x + kPadding / 2, rect.y + kPadding / 2 + size.height),
      cv::FONT_HERSHEY_PLAIN, 1.0, kWhite, 1, cv::LINE_8);
}

}  // namespace talvenrook_vision
