// PipelineFuzz: the pipeline mode of fault-probe. It starts kestu-vision,
// configures its three drivers with the sample configurations on their
// clips (looping, every result published, streaming on so that every
// frame is drawn and encoded), then sends each driver mutated copies of its
// sample (ConfigMutator), one at a time per driver and the three drivers at
// once (a fifth of the mutations to the face driver, whose pipeline loads
// five networks, two fifths to each of the others). After each mutation it
// waits for the answer (CONFIG_RECEIVED, or the STATUS_ERROR that refuses it)
// and for frames, and checks that the process lives and the driver answers
// pings. A death is reported with the configurations that were being applied
// (text format, also saved in the work directory), and the process is started
// again for the mutations left.
//
//   fault-probe --spawn=build/src/kestu-vision --bind_port=34000
//     --pipeline_mutations=300 --source_dir=.
//
// Prints a table (mutations, answers, deaths, unanswered pings, the time of
// refusals, resident memory at start, peak and end) and returns 1 when a
// death or a driver that stopped answering was seen, a mutation was not
// answered, or memory after the run grew past the allowed factor.
#ifndef TOOLS_FAULT_PROBE_PIPELINE_FUZZ_H_
#define TOOLS_FAULT_PROBE_PIPELINE_FUZZ_H_

#include <cstdint>
#include <string>

namespace kestu_tools {

struct PipelineFuzzOptions {
  std::string binary;  // kestu-vision to start
  std::string host = "127.0.0.1";
  int base_port = 34000;   // its --bind_port; streaming on base_port - 1
  std::string source_dir;  // repository root: samples/ and tests/data/
  std::string work_dir;    // garbage models, recordings, logs
  int mutations = 300;     // in all, shared by the three drivers
  uint32_t seed = 1;
  double max_rss_growth = 1.3;
  int ping_timeout_ms = 2000;
  int ping_failures = 3;  // in a row: the driver stopped answering
  int answer_timeout_ms = 30000;
};

int RunPipelineFuzz(const PipelineFuzzOptions& options);

}  // namespace kestu_tools

#endif  // TOOLS_FAULT_PROBE_PIPELINE_FUZZ_H_
