// Names of the capture properties a driver configuration may set.
#ifndef VISION_VIDEO_CAMERA_PROPERTIES_H_
#define VISION_VIDEO_CAMERA_PROPERTIES_H_

#include <map>
#include <string>

namespace talvenrook_vision {

// The camera property names and their OpenCV capture property ids: the
// OpenCV constant without its "CAP_PROP_" prefix, in lower case
// ("brightness" -> CAP_PROP_BRIGHTNESS). Names are exact and case-sensitive.
// Built on first use; lives as long as the process.
const std::map<std::string, int>& CameraPropertyTable();

// Sets *id to the property id of `name`; false when the name is unknown.
bool FindCameraProperty(const std::string& name, int* id);

}  // namespace talvenrook_vision

#endif  // VISION_VIDEO_CAMERA_PROPERTIES_H_
