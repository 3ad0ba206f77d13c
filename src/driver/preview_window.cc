#include "src/driver/preview_window.h"

#include <cstdlib>

#include <glog/logging.h>
#include <opencv2/highgui.hpp>

#include "src/flags.h"

namespace vostek_kestu {

namespace {

constexpr char kWindowName[] = "Vision Analytics Preview";

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

void PreviewWindow::Show(const cv::Mat& image, bool show_gui) {
  if (!show_gui || !usable_) return;
  // Without a display the window toolkit ends the whole process instead of
  // raising an error, so the window is given up before it is tried.
  if (!DisplayAvailable()) {
    GiveUp();
    return;
  }
  try {
    cv::imshow(kWindowName, image);
    cv::waitKey(FLAGS_step_mode ? 0 : 1);
  } catch (const cv::Exception& e) {
    GiveUp();
  }
}

void PreviewWindow::GiveUp() {
  LOG(INFO) << "Could not open the window. ";
  LOG(INFO) << "Will not try to open it again...";
  usable_ = false;
}

}  // namespace vostek_kestu
