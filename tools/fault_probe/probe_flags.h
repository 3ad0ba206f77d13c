// The command-line flags of fault-probe, defined in probe_flags.cc (where
// each says what it does).
#ifndef TOOLS_FAULT_PROBE_PROBE_FLAGS_H_
#define TOOLS_FAULT_PROBE_PROBE_FLAGS_H_

#include <gflags/gflags.h>

DECLARE_string(host);
DECLARE_uint32(bind_port);
DECLARE_uint32(streaming_port);
DECLARE_int32(pid);
DECLARE_string(spawn);
DECLARE_int32(messages);
DECLARE_int32(kills);
DECLARE_int32(steady_seconds);
DECLARE_int32(stream_port);
DECLARE_string(ffmpeg);
DECLARE_double(max_rss_growth);
DECLARE_int32(max_thread_growth);
DECLARE_int32(max_fd_growth);
DECLARE_int32(ping_failures);
DECLARE_int32(ping_timeout_ms);
DECLARE_int32(samples);
DECLARE_uint32(seed);
DECLARE_int32(garbage_percent);
DECLARE_int32(pipeline_mutations);
DECLARE_string(source_dir);
DECLARE_double(pipeline_rss_growth);
DECLARE_string(work_dir);

#endif  // TOOLS_FAULT_PROBE_PROBE_FLAGS_H_
