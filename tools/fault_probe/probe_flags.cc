// The command-line flags of fault-probe.
#include "tools/fault_probe/probe_flags.h"

DEFINE_string(host, "127.0.0.1", "Host of the kestu-vision process");
DEFINE_uint32(bind_port, 60000, "Base port of the kestu-vision process");
DEFINE_uint32(streaming_port, 0,
              "Streaming port of the process (0: bind_port + 15)");
DEFINE_int32(pid, 0, "Process to watch; not needed with --spawn");
DEFINE_string(
    spawn, "",
    "Start this kestu-vision binary on the ports (stopped at the end)");
DEFINE_int32(messages, 5000, "Fuzzed messages to send");
DEFINE_int32(kills, 3, "Times the stream is killed and restarted");
DEFINE_int32(steady_seconds, 0, "Seconds of valid traffic after the fuzz");
DEFINE_int32(stream_port, 0, "Port of the served stream (0: bind_port + 16)");
DEFINE_string(ffmpeg, "/usr/bin/ffmpeg",
              "ffmpeg binary that serves the stream");
DEFINE_double(max_rss_growth, 2.0,
              "Fail when the final resident memory exceeds this multiple of "
              "the memory before the fuzz");
DEFINE_int32(max_thread_growth, 20, "Fail when threads grow by more");
DEFINE_int32(max_fd_growth, 32, "Fail when file descriptors grow by more");
DEFINE_int32(ping_failures, 3,
             "Fail when a driver misses this many pings in a row");
DEFINE_int32(ping_timeout_ms, 2000, "Time a ping may take");
DEFINE_int32(samples, 10,
             "Resource samples during the fuzz and the steady run");
DEFINE_uint32(seed, 1, "Seed of the fuzzing");
DEFINE_int32(garbage_percent, 20,
             "Share of the messages that go as garbage to the keep-alive, "
             "information and publishing ports instead of configurations");
DEFINE_int32(pipeline_mutations, 0,
             "Pipeline mode: start --spawn, configure its three drivers with "
             "the samples of --source_dir on their clips, and send this many "
             "mutated sample configurations (0: the message fuzz instead)");
DEFINE_string(source_dir, ".",
              "Pipeline mode: repository root (samples/, tests/data/)");
DEFINE_double(pipeline_rss_growth, 1.3,
              "Pipeline mode: fail when memory after the run exceeds this "
              "multiple of the memory at its start");
DEFINE_string(work_dir, "",
              "Directory for the clip and the logs (default: a new one in "
              "/tmp, removed at the end)");
