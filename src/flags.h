#ifndef SRC_FLAGS_H_
#define SRC_FLAGS_H_

#include <gflags/gflags.h>

// Process-wide settings, shared by every driver. show_gui, testing_mode and
// detection_timeout are also written at run time by configuration messages;
// the value last written holds for the whole process.
DECLARE_bool(add_frames_to_proto);
DECLARE_uint32(bind_port);
DECLARE_string(bind_scope);
DECLARE_string(configuration_proto);
DECLARE_int64(max_config_message_bytes);
DECLARE_int32(detection_timeout);
DECLARE_string(record_detections_file);
DECLARE_string(replay_detections_file);
DECLARE_bool(send_slow);
DECLARE_bool(send_text_proto);
DECLARE_bool(show_gui);
DECLARE_bool(standalone_mode);
DECLARE_string(state_dir);
DECLARE_int32(journal_days);
DECLARE_int64(journal_max_mb);
DECLARE_string(standalone_mode_driver);
DECLARE_bool(step_mode);
DECLARE_uint32(streaming_port);
DECLARE_bool(testing_mode);
DECLARE_bool(use_movidius);
DECLARE_string(volume);

namespace vostek_kestu {
inline constexpr char kVersion[] = "2.9.1";
}  // namespace vostek_kestu

#endif  // SRC_FLAGS_H_
