// The time of each grabbed frame on the pipeline clock's tick scale.
//
// Frames of a video file carry their own timestamps: the timeline follows
// them, anchored at the wall tick of the first file frame, so that a clip
// processed faster or slower than real time gives the same durations and
// speeds. When the file's position goes back (the file was reopened or
// another one was configured) the timeline continues after the last frame
// by one frame interval instead of going back. Frames of live sources
// (cameras, streams) and of files that give no timestamp take the wall tick
// at which they were grabbed. Ticks never decrease.
//
// Not thread-safe: used by the capture thread only.
#ifndef SRC_DRIVER_FRAME_TIMELINE_H_
#define SRC_DRIVER_FRAME_TIMELINE_H_

#include <cstdint>

namespace vostek_kestu {

class FrameTimeline {
 public:
  // `frequency`: ticks per second of the tick scale.
  explicit FrameTimeline(double frequency) : frequency_(frequency) {}

  // The ticks of a frame grabbed at wall tick `now`; `position_ms` is its
  // timestamp in the file, or negative for live sources.
  int64_t FrameTicks(bool from_file, double position_ms, int64_t now);

 private:
  double frequency_;
  bool anchored_ = false;  // base_ belongs to the current file timeline
  int64_t base_ = 0;       // ticks of the file's position 0
  int64_t last_ = 0;       // ticks of the previous frame
  int64_t step_ = 0;       // the latest positive interval between frames
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_FRAME_TIMELINE_H_
