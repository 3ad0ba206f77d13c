#ifndef SRC_DRIVER_RESULT_PUBLISHER_H_
#define SRC_DRIVER_RESULT_PUBLISHER_H_

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <opencv2/core.hpp>

#include "src/channels/streaming_manager.h"
#include "src/driver/detection_store.h"
#include "src/driver/driver_options.h"
#include "src/driver/process_settings.h"
#include "src/journal/event_journal.h"

namespace vostek_kestu {

// What a driver sends of its frames: one result per event whose tag it
// publishes (every result whole in testing mode) on the data channel, each
// also written to the log; the preview JPEG on request; whole results with
// their JPEG on the streaming channel while streaming is on; and, while
// --record_detections_file is set, every result into the detection record.
// With an event journal, every published result is numbered and written to
// it before it is sent.
//
// The preview is the frame as it came, kept before anything is drawn on
// it, then blurred ("blur_preview", "blur_amount"), drawn on
// ("enable_drawings") and scaled ("preview_size_factor") once per frame;
// a preview and a streamed image of the same frame share that work.
//
// Threads: everything runs on the thread of the frame step, except the
// published tags, which configurations change on the capture thread.
class ResultPublisher {
 public:
  using DataSender = std::function<bool(const std::string& bytes)>;
  using LogDetection = std::function<void(const VisionResult& result)>;
  // Reads one frame of the source, for a preview before any frame.
  using SourceReader = std::function<bool(cv::Mat& frame)>;
  // Draws the frame's result (and the frame rate) on an image.
  using Drawing = std::function<void(cv::Mat& image)>;

  ResultPublisher(DataSender send_data, LogDetection log_detection,
                  SourceReader read_source, DetectionStore* detections,
                  std::shared_ptr<const ProcessSettings> settings);

  void SetEventTagPublished(EventTag tag, bool published);
  bool IsEventTagPublished(EventTag tag) const;
  std::set<EventTag> published_event_tags() const;

  // Before the first frame; the journal outlives the publisher's use.
  void SetJournal(EventJournal* journal) { journal_ = journal; }
  EventJournal* journal() const { return journal_; }

  void SetStreamingManager(std::shared_ptr<StreamingManagerBase> manager);
  std::shared_ptr<StreamingManagerBase> streaming_manager() const;

  // The record step, then the result's events (or, in testing mode, the
  // result itself) published.
  void SendResult(const VisionResult& result);
  // Journals (with a journal), logs (outside testing mode) and sends one
  // result (unless --send_text_proto).
  void PublishResult(VisionResult result);

  // Keeps a copy of the frame as this frame's preview.
  void KeepPreview(const cv::Mat& frame);
  // The preview of the frame, processed once (see above).
  cv::Mat PreviewImage(const PreviewOptions& options, const Drawing& draw);
  // Adds the preview JPEG as result_image; false when there is none.
  bool AddImageToResult(VisionResult* result, const PreviewOptions& options,
                        const Drawing& draw);
  // Sends a result holding only the preview JPEG on the data channel.
  void SendPreview(const PreviewOptions& options, const Drawing& draw);

  // The frame-rate box in the top-right corner.
  static void DrawFps(const std::string& text, cv::Mat& image);

 private:
  const DataSender send_data_;
  const LogDetection log_detection_;
  const SourceReader read_source_;
  DetectionStore* const detections_;
  const std::shared_ptr<const ProcessSettings> settings_;
  EventJournal* journal_ = nullptr;
  int64_t journal_failures_ = 0;

  mutable std::mutex tags_mutex_;  // guards published_tags_
  std::set<EventTag> published_tags_;
  mutable std::mutex streaming_mutex_;  // guards streaming_ (the pointer)
  std::shared_ptr<StreamingManagerBase> streaming_;

  cv::Mat preview_image_;
  bool preview_processed_ = false;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_RESULT_PUBLISHER_H_
