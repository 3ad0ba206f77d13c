// Checks of a model map that need no network to be read: its files can be
// read and its input sizes are within the inference engine's limits. A
// pipeline that loads several networks runs them first, so that a
// configuration naming a file that does not exist is refused at once
// rather than after the networks before it were loaded.
//
//   absl::Status files = CheckModelFiles(model);
//   // files.message(): "Could not load the model ALIGN:0.0.2: Cannot read
//   //                   the model file "/x/onet.prototxt": no such file"
#ifndef VISION_INFERENCE_MODEL_FILES_CHECK_H_
#define VISION_INFERENCE_MODEL_FILES_CHECK_H_

#include <string>

#include "absl/status/statusor.h"
#include "vision/config/entity_config.h"
#include "vision/config/setup_status.h"

namespace talvenrook_vision {

// "" when the path names a regular file that can be opened, else the
// reason ("Cannot read the model file "p": no such file").
std::string ModelFileProblem(const std::string& path);

// Reads a model file whole. An empty path reads as no bytes; a path that
// is not a readable regular file fails with the reason of ModelFileProblem.
absl::StatusOr<std::string> ReadModelFile(const std::string& path);

// The files of "content" ("prototxt_file", "caffemodel_file",
// "input_mean_file", when given) and the "input_size" of "content" and
// "config".
absl::Status CheckModelFiles(const Entity& model);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_MODEL_FILES_CHECK_H_
