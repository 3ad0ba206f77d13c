// ConfigMutator: mutations of a working pipeline configuration, the kind a
// careless client makes to a sample: each mutation changes 1 to 3 keys of
// the configuration map, or of one model's "content" or "config" map.
//
// Values come from the pools that break code: numbers (-1, 0, huge, tiny,
// NaN, +/-inf, as integers and reals), wrong kinds, empty strings and lists,
// model files that are missing, directories, garbage or numbers out of
// range; degenerate and off-frame zones, areas and regions; extreme input
// sizes and recording options; and every drawing switch on at once. The
// same seed gives the same mutations.
//
//   ConfigMutator mutator(seed, "/tmp/work", cfg_text);  // files go there
//   std::string what;
//   DriverConfig mutated = mutator.Mutate(base, &what);
//   // what: "config \"preview_size_factor\" = 1e-300; model #1 content ..."
#ifndef TOOLS_FAULT_PROBE_CONFIG_MUTATOR_H_
#define TOOLS_FAULT_PROBE_CONFIG_MUTATOR_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/driver_client.h"

namespace kestu_tools {

class ConfigMutator {
 public:
  using Entity = ::talvenrook::common::Entity;
  using Value = ::talvenrook::common::Value;

  // Writes its model files (garbage, empty, network texts with numbers out
  // of range) into `work_dir`, which must exist; with a Darknet network
  // text, also broken copies of it (a stride of 0, routes to layers that do
  // not exist, a mask beyond the anchors, huge filters).
  ConfigMutator(uint32_t seed, const std::string& work_dir,
                const std::string& network_text = "");

  DriverConfig Mutate(const DriverConfig& base, std::string* description);

 private:
  // One mutation of `config`; appends what it did to `description`.
  void MutateOnce(DriverConfig* config, std::string* description);
  Value NumberValue();
  Value WrongKind();
  Value FileValue();
  Value SizeValue();
  Value PointValue(bool off_frame);
  Value ZonesValue();
  Value AreasValue();
  Value RoisValue();
  Value RectangleValue();
  Value RecordingValue();
  // A value suited to the key (geometry for geometry keys, files for file
  // keys), or any value of the pools.
  Value ValueFor(const std::string& key);
  void AllDrawingSwitches(Entity* map, std::string* description);
  int Pick(int n) {
    return static_cast<int>(rng_() % static_cast<uint32_t>(n));
  }
  template <typename T>
  const T& PickOf(const std::vector<T>& items) {
    return items[static_cast<size_t>(Pick(static_cast<int>(items.size())))];
  }

  std::mt19937 rng_;
  const std::string work_dir_;
  std::vector<std::string> files_;  // model files the mutations may name
};

// A short text form of a value, for the descriptions.
std::string ValueText(const ::talvenrook::common::Value& value);

}  // namespace kestu_tools

#endif  // TOOLS_FAULT_PROBE_CONFIG_MUTATOR_H_
