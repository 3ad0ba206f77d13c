#include "vision/video/camera_properties.h"

#include <opencv2/videoio.hpp>

namespace talvenrook_vision {

const std::map<std::string, int>& CameraPropertyTable() {
  static const std::map<std::string, int>* const kTable =
      new std::map<std::string, int>{
          {"pos_msec", cv::CAP_PROP_POS_MSEC},
          {"pos_frames", cv::CAP_PROP_POS_FRAMES},
          {"pos_avi_ratio", cv::CAP_PROP_POS_AVI_RATIO},
          {"frame_width", cv::CAP_PROP_FRAME_WIDTH},
          {"frame_height", cv::CAP_PROP_FRAME_HEIGHT},
          {"fps", cv::CAP_PROP_FPS},
          {"fourcc", cv::CAP_PROP_FOURCC},
          {"frame_count", cv::CAP_PROP_FRAME_COUNT},
          {"format", cv::CAP_PROP_FORMAT},
          {"mode", cv::CAP_PROP_MODE},
          {"brightness", cv::CAP_PROP_BRIGHTNESS},
          {"contrast", cv::CAP_PROP_CONTRAST},
          {"saturation", cv::CAP_PROP_SATURATION},
          {"hue", cv::CAP_PROP_HUE},
          {"gain", cv::CAP_PROP_GAIN},
          {"exposure", cv::CAP_PROP_EXPOSURE},
          {"convert_rgb", cv::CAP_PROP_CONVERT_RGB},
          {"white_balance_blue_u", cv::CAP_PROP_WHITE_BALANCE_BLUE_U},
          {"rectification", cv::CAP_PROP_RECTIFICATION},
          {"monochrome", cv::CAP_PROP_MONOCHROME},
          {"sharpness", cv::CAP_PROP_SHARPNESS},
          {"auto_exposure", cv::CAP_PROP_AUTO_EXPOSURE},
          {"gamma", cv::CAP_PROP_GAMMA},
          {"temperature", cv::CAP_PROP_TEMPERATURE},
          {"trigger", cv::CAP_PROP_TRIGGER},
          {"trigger_delay", cv::CAP_PROP_TRIGGER_DELAY},
          {"white_balance_red_v", cv::CAP_PROP_WHITE_BALANCE_RED_V},
          {"zoom", cv::CAP_PROP_ZOOM},
          {"focus", cv::CAP_PROP_FOCUS},
          {"guid", cv::CAP_PROP_GUID},
          {"iso_speed", cv::CAP_PROP_ISO_SPEED},
          {"backlight", cv::CAP_PROP_BACKLIGHT},
          {"pan", cv::CAP_PROP_PAN},
          {"tilt", cv::CAP_PROP_TILT},
          {"roll", cv::CAP_PROP_ROLL},
          {"iris", cv::CAP_PROP_IRIS},
          {"settings", cv::CAP_PROP_SETTINGS},
          {"buffersize", cv::CAP_PROP_BUFFERSIZE},
          {"autofocus", cv::CAP_PROP_AUTOFOCUS},
          {"sar_num", cv::CAP_PROP_SAR_NUM},
          {"sar_den", cv::CAP_PROP_SAR_DEN},
          {"backend", cv::CAP_PROP_BACKEND},
          {"channel", cv::CAP_PROP_CHANNEL},
          {"auto_wb", cv::CAP_PROP_AUTO_WB},
          {"wb_temperature", cv::CAP_PROP_WB_TEMPERATURE},
      };
  return *kTable;
}

bool FindCameraProperty(const std::string& name, int* id) {
  const auto& table = CameraPropertyTable();
  auto it = table.find(name);
  if (it == table.end()) return false;
  *id = it->second;
  return true;
}

}  // namespace talvenrook_vision
