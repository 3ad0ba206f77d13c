#include "tools/json_output.h"

#include <google/protobuf/util/json_util.h>

namespace kestu_tools {

std::string AsJson(const google::protobuf::Message& message, bool indented) {
  std::string json;
  google::protobuf::util::JsonPrintOptions options;
  options.add_whitespace = indented;
  options.always_print_primitive_fields = true;
  google::protobuf::util::MessageToJsonString(message, &json, options);
  return json;
}

}  // namespace kestu_tools
