// EditorRoutes: the zone editor's HTTP endpoints.
//
//   GET  /api/zones?process=&driver=  ZonesAnswer: the lines and areas of the
//                                     configuration kestu-web last had taken
//                                     by the driver
//   POST /api/zones                   ApplyZones -> WebCommandAnswer: sends
//                                     that configuration again with the
//                                     layout's "zones" and "areas" (the
//                                     models and every other key as they
//                                     were) and answers with the driver's
//                                     status
//   POST /api/whatif                  WhatIfRequest -> WhatIfAnswer
//   POST /api/recordings?name=        a detections file as the body ->
//                                     RecordingAnswer
//   GET  /api/paths?process=&driver=&source=  PathsAnswer
//
// Requests and answers are JSON (protobuf's JSON mapping of
// tools/proto/kestu_tools.proto).
#ifndef TOOLS_WEB_EDITOR_ROUTES_H_
#define TOOLS_WEB_EDITOR_ROUTES_H_

#include <functional>
#include <mutex>
#include <string>

#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tools/web/driver_configs.h"
#include "tools/web/what_if.h"

namespace kestu_tools {

class EditorRoutes {
 public:
  // Sends a configuration to a driver and fills the answer (the driver's
  // status or the reason nothing was sent); returns the HTTP status.
  using Sender = std::function<int(
      const std::string& process, const std::string& driver,
      DriverConfig config, kestu::tools::WebCommandAnswer* answer)>;

  // Requires: configs and what_if outlive the server.
  EditorRoutes(DriverConfigs* configs, WhatIf* what_if, Sender sender)
      : configs_(configs), what_if_(what_if), sender_(std::move(sender)) {}

  void Register(httplib::Server* server);

 private:
  void GetZones(const httplib::Request& request, httplib::Response& response);
  void ApplyZones(const httplib::Request& request, httplib::Response& response);
  void Recount(const httplib::Request& request, httplib::Response& response);
  void Upload(const httplib::Request& request, httplib::Response& response);
  void Paths(const httplib::Request& request, httplib::Response& response);
  // The pipeline map of the driver's kept configuration (empty if none).
  ::talvenrook::common::Entity PipelineMap(const std::string& process,
                                           const std::string& driver,
                                           bool* known);

  DriverConfigs* configs_;
  WhatIf* what_if_;
  Sender sender_;
  // One recount, paths answer or upload at a time: each holds a copy of a
  // history (up to 24 MB) or a parsed file.
  std::mutex heavy_mutex_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_EDITOR_ROUTES_H_
