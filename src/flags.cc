#include "src/flags.h"

DEFINE_bool(add_frames_to_proto, false,
            "(Experimental) Write frames to result proto. CAUTION: corvane "
            "should be DISABLED to use this feature!");
DEFINE_uint32(bind_port, 60000, "Base port for 0MQ channels");
DEFINE_string(bind_scope, "127.0.0.1", "Bind scope for 0MQ channels");
DEFINE_string(configuration_proto, "", "File with configuration proto");
DEFINE_int64(max_config_message_bytes, int64_t{64} << 20,
             "Largest configuration message a driver accepts, in bytes "
             "(models sent as bytes included); larger ones are refused by "
             "dropping the sender's connection");
DEFINE_int32(detection_timeout, 240,
             "Seconds of detection before considering the system unresponsive "
             "and closing it");
DEFINE_string(record_detections_file, "", "File to which record detections");
DEFINE_string(replay_detections_file, "", "File with detections to replay");
DEFINE_bool(send_slow, false, "Send slow frames for debugging");
DEFINE_bool(send_text_proto, false, "Send text proto for debugging");
DEFINE_bool(show_gui, false, "Show GUI with detections");
DEFINE_bool(standalone_mode, false, "Enable standalone mode");
DEFINE_string(standalone_mode_driver, "face",
              "Choose the driver to load in standalone mode");
DEFINE_bool(step_mode, false, "Control whether to wait input to advance frame");
DEFINE_uint32(streaming_port, 59999, "Streaming port");
DEFINE_bool(testing_mode, false, "Run the program in testing mode");
DEFINE_bool(use_movidius, false, "Enable movidius support");
DEFINE_string(volume, "", "Shared volume");
DEFINE_string(state_dir, "",
              "Folder where each driver keeps its last accepted "
              "configuration (with copies of its model files) and the state "
              "its commands set; at start a driver with a kept "
              "configuration runs it without waiting for a client. Empty: "
              "nothing is kept");
DEFINE_int32(journal_days, 30,
             "With --state_dir: days the event journal keeps results (whole "
             "files of them); 0 keeps them until --journal_max_mb");
DEFINE_int64(journal_max_mb, 1024,
             "With --state_dir: the most megabytes each driver's event "
             "journal holds; the oldest results go first");
