// ConfigurationReference: the Markdown reference of configuration keys,
// written from the key tables of the components (KeyTable::Describe), so
// that it cannot drift from what the components read.
//
//   std::string text = ConfigurationReference({TrackerKeyTable().Describe()});
#ifndef VISION_CONFIG_KEY_REFERENCE_H_
#define VISION_CONFIG_KEY_REFERENCE_H_

#include <string>
#include <vector>

#include "vision/config/key_table.h"

namespace talvenrook_vision {

// One section per table, in the order given, each with a table of its keys
// (key, type, default, bounds, description) in declaration order.
std::string ConfigurationReference(const std::vector<KeyTableDoc>& tables);

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_KEY_REFERENCE_H_
