#ifndef SRC_DRIVER_PREVIEW_WINDOW_H_
#define SRC_DRIVER_PREVIEW_WINDOW_H_

#include <atomic>

#include <opencv2/core.hpp>

namespace vostek_kestu {

// The desktop window "Vision Analytics Preview" that shows each processed
// frame while "show_gui" is set: it waits 1 ms for a key, or for a key
// press per frame in --step_mode. A window that cannot be shown (no
// display, or the toolkit fails) is given up for good with two INFO lines.
//
// Show runs on the thread of the frame step; usable() on any thread.
class PreviewWindow {
 public:
  void Show(const cv::Mat& image, bool show_gui);
  bool usable() const { return usable_; }

 private:
  void GiveUp();

  std::atomic<bool> usable_{true};
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_PREVIEW_WINDOW_H_
