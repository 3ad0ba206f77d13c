// Exposition: builds a page of the Prometheus text exposition format
// (version 0.0.4), family by family.
//
//   Exposition x;
//   x.Family("kestu_process_up", "gauge", "Whether ...");
//   x.Sample("kestu_process_up", {{"process", "127.0.0.1:60000"}}, 1);
//   std::string text = x.str();
//
// Label values are escaped (backslash, double quote, line feed); whole
// numbers are written without a fraction, infinities as +Inf and -Inf.
#ifndef TOOLS_METRICS_EXPOSITION_H_
#define TOOLS_METRICS_EXPOSITION_H_

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kestu_tools {

class Exposition {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;

  void Family(const std::string& name, const std::string& type,
              const std::string& help);
  void Sample(const std::string& name, const Labels& labels, double value);
  std::string str() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

}  // namespace kestu_tools

#endif  // TOOLS_METRICS_EXPOSITION_H_
