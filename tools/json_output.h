// The tools' reports as JSON: protobuf's JSON mapping, indented (or on one
// line, for messages on the wire), with every field printed (zeros and
// empty lists too, so a script finds every key).
#ifndef TOOLS_JSON_OUTPUT_H_
#define TOOLS_JSON_OUTPUT_H_

#include <string>

#include <google/protobuf/message.h>

namespace kestu_tools {

std::string AsJson(const google::protobuf::Message& message,
                   bool indented = true);

}  // namespace kestu_tools

#endif  // TOOLS_JSON_OUTPUT_H_
