// Fuzzed configuration messages of the kinds a careless or hostile client
// sends, from a seeded generator.
#ifndef TOOLS_FAULT_PROBE_FUZZ_MESSAGES_H_
#define TOOLS_FAULT_PROBE_FUZZ_MESSAGES_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/driver_client.h"

namespace kestu_tools {

// The kinds of bytes sent to a configuration port.
enum class FuzzKind {
  kRandom,          // random bytes, mostly short
  kTruncated,       // a valid message cut short
  kBitFlipped,      // a valid message with a few bits flipped
  kAbsurdTimes,     // delay and time-out: non-finite, negative, huge, tiny
  kAbsurdValues,    // configuration keys and commands with absurd values
  kHugeString,      // a 1 MB string inside a valid message
  kManyProperties,  // 10,000 properties in the configuration map
  kDeepNesting,     // entities nested up to 1,000 deep
  kValid,           // one of the valid seeds as it is
  kCount,
};

const char* FuzzKindName(FuzzKind kind);

// Generates the messages. The same seed gives the same sequence.
//
// No generated message (mutations included) names a "source" or asks to
// start, stop or restart detection: opening a source is given seconds by
// design, and the probe exercises sources with its own stream restarts.
class FuzzMessages {
 public:
  explicit FuzzMessages(uint32_t seed);

  // The next message (serialised, or raw bytes) and its kind.
  std::string Next(FuzzKind* kind);
  // A message of the given kind.
  std::string Make(FuzzKind kind);

  std::mt19937& rng() { return rng_; }

 private:
  // The bytes parse as a message that opens, stops or restarts a source.
  static bool TouchesTheSource(const std::string& bytes);
  std::string RandomBytes(size_t max_length);
  const std::string& Seed();
  DriverConfig AbsurdTimes();
  DriverConfig AbsurdValues();
  DriverConfig HugeString();
  DriverConfig ManyProperties();
  DriverConfig DeepNesting();

  std::mt19937 rng_;
  std::vector<std::string> seeds_;  // serialised valid messages
};

// A valid configuration of the probe's own: sane delay and time-out, log
// forwarding and verbose logging off. With a non-empty source it connects
// the driver to it, with camera properties that include one the capture
// library refuses ("backend").
DriverConfig ValidConfiguration(const std::string& uuid,
                                const std::string& source);

// A command (action) with the given uuid.
DriverConfig Command(const std::string& uuid,
                     talvenrook::kestu::v1::kestueye::EnumKestuAction action);

}  // namespace kestu_tools

#endif  // TOOLS_FAULT_PROBE_FUZZ_MESSAGES_H_
