#include "tools/web/editor_routes.h"

#include <chrono>

#include "src/common/uuid.h"
#include "tools/web/web_util.h"
#include "tools/web/zone_layout.h"
#include "vision/config/entity_config.h"
#include "vision/tracking/tracker.h"

namespace kestu_tools {
namespace {

using ::talvenrook::common::Entity;

void Answer(httplib::Response& response, int status,
            const google::protobuf::Message& answer) {
  response.status = status;
  response.set_content(Json(answer, true), "application/json");
}

std::string Param(const httplib::Request& request, const char* name) {
  return request.has_param(name) ? request.get_param_value(name)
                                 : std::string();
}

int ForgetAfter(const Entity& config) {
  return talvenrook_vision::GetPropertyOr<int32_t>(
      config, "tracker_frames_to_discard",
      talvenrook_vision::Tracker::Parameters().frames_to_discard);
}

}  // namespace

void EditorRoutes::Register(httplib::Server* server) {
  using httplib::Request;
  using httplib::Response;
  server->Get("/api/zones",
              [this](const Request& q, Response& r) { GetZones(q, r); });
  server->Post("/api/zones",
               [this](const Request& q, Response& r) { ApplyZones(q, r); });
  server->Post("/api/whatif",
               [this](const Request& q, Response& r) { Recount(q, r); });
  server->Post("/api/recordings",
               [this](const Request& q, Response& r) { Upload(q, r); });
  server->Get("/api/paths",
              [this](const Request& q, Response& r) { Paths(q, r); });
}

Entity EditorRoutes::PipelineMap(const std::string& process,
                                 const std::string& driver, bool* known) {
  DriverConfig config;
  *known = configs_->Current(process, driver, &config);
  return config.kestu_eye_config().config();
}

void EditorRoutes::GetZones(const httplib::Request& request,
                            httplib::Response& response) {
  kestu::tools::ZonesAnswer answer;
  bool known = false;
  const Entity config =
      PipelineMap(Param(request, "process"), Param(request, "driver"), &known);
  answer.set_known(known);
  *answer.mutable_layout() = LayoutFromConfig(config);
  // The driver scales its preview only by a factor clearly below 1.
  const double factor = talvenrook_vision::GetPropertyOr<double>(
      config, "preview_size_factor", 1.0);
  answer.set_preview_scale(factor > 0.0 && 1.0 - factor > 0.05 ? factor : 1.0);
  answer.set_forget_after(ForgetAfter(config));
  answer.set_preview_blurred(
      talvenrook_vision::GetPropertyOr<bool>(config, "blur_preview", true));
  Answer(response, 200, answer);
}

void EditorRoutes::ApplyZones(const httplib::Request& request,
                              httplib::Response& response) {
  kestu::tools::ApplyZones apply;
  kestu::tools::WebCommandAnswer answer;
  if (!ParseJson(request.body, &apply)) {
    answer.set_error("The request is not an ApplyZones in JSON");
    return Answer(response, 400, answer);
  }
  DriverConfig config;
  if (!configs_->Current(apply.process(), apply.driver(), &config)) {
    answer.set_error("kestu-web has not had a configuration taken by the " +
                     apply.driver() + " driver of " + apply.process() +
                     " yet: send it one first, the zones are applied to it");
    return Answer(response, 409, answer);
  }
  Entity* map = config.mutable_kestu_eye_config()->mutable_config();
  std::string error;
  if (!ValidLayout(apply.layout(), *map, &error)) {
    answer.set_error("The zones cannot be applied: " + error);
    return Answer(response, 400, answer);
  }
  ApplyLayout(apply.layout(), map);
  config.set_uuid(vostek_kestu::GenerateUuid());
  const int status = sender_(apply.process(), apply.driver(), config, &answer);
  Answer(response, status, answer);
}

void EditorRoutes::Recount(const httplib::Request& request,
                           httplib::Response& response) {
  const auto start = std::chrono::steady_clock::now();
  kestu::tools::WhatIfRequest what;
  kestu::tools::WhatIfAnswer answer;
  if (!ParseJson(request.body, &what)) {
    answer.set_error("The request is not a WhatIfRequest in JSON");
    return Answer(response, 400, answer);
  }
  bool known = false;
  Entity config = PipelineMap(what.process(), what.driver(), &known);
  std::string error;
  if (!ValidLayout(what.layout(), config, &error)) {
    answer.set_error(error);
    return Answer(response, 400, answer);
  }
  std::lock_guard<std::mutex> lock(heavy_mutex_);
  const auto frames =
      what_if_->Frames(what.process(), what.driver(), what.source(), &error);
  if (frames == nullptr) {
    answer.set_error(error);
    return Answer(response, 404, answer);
  }
  ApplyLayout(what.layout(), &config);
  const int forget_after =
      what.forget_after() > 0 ? what.forget_after() : ForgetAfter(config);
  *answer.mutable_report() = WhatIf::Recount(*frames, config, forget_after);
  if (!frames->times.empty()) {
    answer.set_seconds(frames->times.back() - frames->times.front());
  }
  answer.set_elapsed_ms(std::chrono::duration<double, std::milli>(
                            std::chrono::steady_clock::now() - start)
                            .count());
  Answer(response, 200, answer);
}

void EditorRoutes::Upload(const httplib::Request& request,
                          httplib::Response& response) {
  kestu::tools::RecordingAnswer answer;
  std::lock_guard<std::mutex> lock(heavy_mutex_);
  const std::string name =
      Param(request, "name").empty() ? "recording" : Param(request, "name");
  Answer(response,
         what_if_->AddRecording(name, request.body, &answer) ? 200 : 400,
         answer);
}

void EditorRoutes::Paths(const httplib::Request& request,
                         httplib::Response& response) {
  std::string error;
  std::lock_guard<std::mutex> lock(heavy_mutex_);
  const auto frames =
      what_if_->Frames(Param(request, "process"), Param(request, "driver"),
                       Param(request, "source"), &error);
  if (frames == nullptr) {
    kestu::tools::PathsAnswer answer;
    answer.set_error(error);
    return Answer(response, 404, answer);
  }
  Answer(response, 200, WhatIf::Paths(*frames));
}

}  // namespace kestu_tools
