#ifndef SRC_DRIVER_FRAME_STEP_H_
#define SRC_DRIVER_FRAME_STEP_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

#include "src/driver/driver_options.h"
#include "src/driver/driver_signals.h"
#include "src/driver/frame_fault_reporter.h"
#include "src/driver/pipeline_holder.h"
#include "src/driver/preview_window.h"
#include "src/driver/process_settings.h"
#include "src/driver/recording_scheduler.h"
#include "src/driver/result_presenter.h"
#include "src/driver/result_publisher.h"

namespace vostek_kestu {

// A frame on its way from the capture side to the frame step.
struct QueuedFrame {
  cv::Mat image;
  int64_t ticks = 0;   // the frame's time on the frame clock
  int64_t number = 0;  // frames grabbed, this one included
  // The pipeline that analyses the frame; null while a recording suspends
  // the analytics.
  std::shared_ptr<talvenrook_vision::VisionAnalytics> pipeline;
  // What the pipeline's Begin made of the frame on the capture side (in
  // asynchronous mode), for its Finish; none: the step runs Process.
  std::unique_ptr<talvenrook_vision::FrameWork> work;
  bool failed = false;  // a stage on the capture side threw
};

// Everything a driver does with one frame, in order: the frame rate and its
// throttling ("max_fps"), the analysis (Process, or Finish for a frame
// begun on the capture side), the preview copy, the drawing, the recording, a
// requested preview, the publishing, the streaming and the window. The frame
// and its result go one way, to the outputs the step is given (the publisher
// with its journal and streaming channel, the recorder, the window); nothing is
// asked of the driver.
//
// Failures: every stage is guarded; an exception, or a failed FrameStatus()
// of the pipeline after the analysis, is reported once, then at most once a
// minute with a count, as STATUS_ERROR, and the frame goes on to the next
// stages. After 100 failed frames in a row detection is stopped (the
// driver's `detection_stopped` is set), until ResumeAfterFaults.
//
// Threads: Run is serialised (the capture thread in synchronous mode, the
// asynchronous thread otherwise, never both at once). The watchdog reads
// detecting() and the watchdog counter from its own thread.
class FrameStep {
 public:
  using StatusSender =
      std::function<void(Status::MessageType type, const std::string& uuid,
                         const std::string& message)>;

  struct Parts {
    std::shared_ptr<const ProcessSettings> settings;
    DriverSignals* signals;
    PipelineHolder* pipeline;
    ResultPublisher* publisher;
    RecordingScheduler* recorder;
    PreviewWindow* window;
    StatusSender send_status;
    const ResultPresenter* presenter;  // the kind's drawing
    std::atomic<bool>* detection_stopped;
  };

  explicit FrameStep(Parts parts);

  void SetOptions(const PreviewOptions& preview, const LoopOptions& loop);
  PreviewOptions preview_options() const;

  void Run(QueuedFrame& frame);

  // Runs one stage; an exception is reported and the stage counts as
  // failed. False when it threw.
  template <typename Work>
  bool Guard(const char* stage, Work&& work);

  // Starts the count of failed frames again (a configuration or
  // START_DETECTION); true when detection had been stopped by them.
  bool ResumeAfterFaults();
  bool stopped_by_faults() const { return stopped_by_faults_; }

  void RequestPreview() { preview_requested_ = true; }
  // The preview of the last frame, with its result and frame-rate text, for
  // a preview outside Run.
  cv::Mat PreviewImage();
  bool AddImageToResult(VisionResult* result);
  // The kind's drawing of a result on an image, as the frame step draws it
  // (outside a frame step no pipeline overlay).
  void DrawResults(const VisionResult& result, cv::Mat& image) const;

  bool detecting() const { return detecting_; }
  // Seconds the watchdog counted during the current frame, before this one.
  int CountWatchdogSecond() { return watchdog_counter_.fetch_add(1); }
  double frame_interval_ms() const { return frame_interval_ms_; }

 private:
  struct Options {
    PreviewOptions preview;
    LoopOptions loop;
  };

  // The frame being processed: what its drawing needs.
  struct Analysed {
    talvenrook_vision::VisionAnalytics* pipeline = nullptr;
    int64_t number = 0;
  };

  void ReportFault(const char* stage, const std::string& what);
  void EndFrame(bool failed);
  // Throttles to "max_fps" and measures the frame interval.
  void MeasureFrameRate(const LoopOptions& loop, bool show_text);
  void Analyse(QueuedFrame& frame);
  // The result and, with "show_fps", the frame rate.
  void Draw(const Analysed& frame, const PreviewOptions& preview,
            cv::Mat& image) const;

  const Parts parts_;
  mutable std::mutex options_mutex_;  // guards options_ (the pointer)
  std::shared_ptr<const Options> options_ = std::make_shared<Options>();

  std::mutex run_mutex_;  // held by Run
  VisionResult current_result_;
  std::atomic<int64_t> last_frame_number_{0};
  bool frame_failed_ = false;
  int64_t frame_meter_start_ = 0;
  std::string frame_rate_text_;
  std::atomic<double> frame_interval_ms_{0.0};
  std::atomic<bool> preview_requested_{false};
  std::atomic<bool> detecting_{false};
  std::atomic<int> watchdog_counter_{0};
  FrameFaultReporter faults_;
  std::atomic<bool> stopped_by_faults_{false};
};

template <typename Work>
bool FrameStep::Guard(const char* stage, Work&& work) {
  try {
    work();
    return true;
  } catch (const std::exception& e) {
    ReportFault(stage, e.what());
  } catch (...) {
    ReportFault(stage, "unknown exception");
  }
  return false;
}

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_FRAME_STEP_H_
