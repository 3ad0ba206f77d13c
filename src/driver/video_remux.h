// Recordings whose container writes its index when the file is closed (MP4,
// QuickTime) are unplayable if the process is killed before. They are
// recorded in Matroska instead, which plays up to its last written frames,
// and copied into the container asked for when they close.
#ifndef SRC_DRIVER_VIDEO_REMUX_H_
#define SRC_DRIVER_VIDEO_REMUX_H_

#include <string>

namespace vostek_kestu {

// The name's extension (.mp4, .m4v, .mov, any case) is a container that
// writes its index at the end.
bool IndexedAtClose(const std::string& path);

// The file a recording of path is written to while it lasts: path itself,
// or path + ".partial.mkv" when IndexedAtClose(path).
std::string RecordingPath(const std::string& path);

// Copies the video stream of input into a new file output, in the container
// its name asks for: the encoded frames are unchanged, their times put on a
// clock of fps ticks a second (a constant-rate recording). On failure
// returns false with *error, and removes output.
bool RemuxVideo(const std::string& input, const std::string& output, int fps,
                std::string* error);

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_VIDEO_REMUX_H_
