#include "tools/web/web_server.h"

#include <chrono>
#include <memory>

#include <google/protobuf/text_format.h>

#include "src/common/uuid.h"
#include "tools/web/web_page.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

namespace kestueye = ::talvenrook::kestu::v1::kestueye;
using std::chrono::milliseconds;

constexpr char kBoundary[] = "kestuframe";
constexpr milliseconds kFrameWait(1000);
constexpr milliseconds kEventWait(15000);
constexpr milliseconds kAnswerWait(10000);
constexpr int kServerThreads = 64;
// Uploaded detections files and configurations with models as bytes.
constexpr size_t kMaxRequestBytes = size_t{256} << 20;

// Builds the DriverConfig of a command from the page.
bool BuildRequest(const kestu::tools::WebCommand& command, DriverConfig* config,
                  std::string* error) {
  if (!command.config().empty()) {
    if (!google::protobuf::TextFormat::ParseFromString(command.config(),
                                                       config)) {
      *error =
          "The configuration does not parse as a DriverConfig in "
          "protobuf text format";
      return false;
    }
    return true;
  }
  kestueye::EnumKestuAction action;
  if (!kestueye::EnumKestuAction_Parse(command.action(), &action)) {
    *error = "Unknown action: " + command.action();
    return false;
  }
  auto* eye = config->mutable_kestu_eye_config();
  eye->set_action(action);
  if (action == kestueye::START_RECORDING) {
    auto& options = (*eye->mutable_action_data()
                          ->mutable_properties())["recording_options"];
    (*options.mutable_entity_value()->mutable_properties())["duration"]
        .set_integer_value(command.duration() > 0 ? command.duration() : 10);
  }
  return true;
}

}  // namespace

WebServer::WebServer(WebHub* hub,
                     const std::map<std::string, ProcessLink*>& links,
                     const EventStore* store, DriverConfigs* configs,
                     WhatIf* what_if)
    : hub_(hub),
      links_(links),
      configs_(configs),
      history_(store),
      editor_(
          configs, what_if,
          [this](const std::string& process, const std::string& driver,
                 DriverConfig config, kestu::tools::WebCommandAnswer* answer) {
            return Send(process, driver, std::move(config), answer);
          }) {
  server_.new_task_queue = [] {
    return new httplib::ThreadPool(kServerThreads);
  };
  server_.set_payload_max_length(kMaxRequestBytes);
  Routes();
  history_.Register(&server_);
  editor_.Register(&server_);
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Bind(const std::string& host, int port, std::string* error) {
  bound_ = server_.bind_to_port(host.c_str(), port);
  if (!bound_) {
    *error = "Could not bind http://" + host + ":" + std::to_string(port);
  }
  return bound_;
}

void WebServer::Serve() {
  if (bound_) server_.listen_after_bind();
}

void WebServer::Stop() {
  hub_->Stop();
  server_.stop();
}

void WebServer::Routes() {
  server_.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(WebPage(), "text/html; charset=utf-8");
  });
  server_.Get("/chart.js", [](const httplib::Request&,
                              httplib::Response& response) {
    response.set_content(WebChartScript(), "text/javascript; charset=utf-8");
  });
  server_.Get("/editor.js", [](const httplib::Request&,
                               httplib::Response& response) {
    response.set_content(WebEditorScript(), "text/javascript; charset=utf-8");
  });
  server_.Get("/api/state",
              [this](const httplib::Request&, httplib::Response& response) {
                response.set_content(Json(hub_->State()), "application/json");
              });
  server_.Post("/api/command", [this](const httplib::Request& request,
                                      httplib::Response& response) {
    Command(request, response);
  });
  server_.Post("/api/browser-report",
               [this](const httplib::Request& request, httplib::Response&) {
                 hub_->SetBrowserReport(request.body);
               });
  server_.Get("/api/browser-report",
              [this](const httplib::Request&, httplib::Response& response) {
                response.set_content(hub_->BrowserReport(), "application/json");
              });
  server_.Get(
      R"(/snapshot/([^/]+)/([a-z]+)\.jpg)",
      [this](const httplib::Request& request, httplib::Response& response) {
        std::shared_ptr<const std::string> jpeg;
        if (!hub_->Snapshot(request.matches[1], request.matches[2], &jpeg)) {
          response.status = 404;
          response.set_content("No frame yet\n", "text/plain");
          return;
        }
        response.set_content(*jpeg, "image/jpeg");
      });
  server_.Get(
      R"(/stream/([^/]+)/([a-z]+)\.mjpg)",
      [this](const httplib::Request& request, httplib::Response& response) {
        const std::string process = request.matches[1];
        const std::string driver = request.matches[2];
        if (!hub_->HasDriver(process, driver)) {
          response.status = 404;
          response.set_content("Unknown process or driver\n", "text/plain");
          return;
        }
        auto number = std::make_shared<int64_t>(0);
        auto opened = std::make_shared<bool>(false);
        // A browser shows a part once the next part's headers came;
        // with headers_ahead=1 they follow each frame at once (and
        // the parts carry no Content-Length), so that the latest
        // frame shows, also when it is a stopped driver's last.
        const bool ahead = request.has_param("headers_ahead") &&
                           request.get_param_value("headers_ahead") == "1";
        response.set_chunked_content_provider(
            std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
            [this, process, driver, number, opened, ahead](
                size_t, httplib::DataSink& sink) {
              std::shared_ptr<const std::string> jpeg;
              WebHub::Clock::time_point received;
              while (!hub_->WaitFrame(process, driver, number.get(), &jpeg,
                                      kFrameWait, &received)) {
                if (hub_->stopped() || !sink.is_writable()) return false;
              }
              const std::string boundary =
                  std::string("--") + kBoundary + "\r\n";
              const std::string type = "Content-Type: image/jpeg\r\n";
              std::string head, tail = "\r\n" + boundary;
              if (ahead) {
                head = *opened ? "" : boundary + type + "\r\n";
                tail += type + "\r\n";
              } else {
                // The boundary closes the part at once too.
                head = (*opened ? "" : boundary) + type +
                       "Content-Length: " + std::to_string(jpeg->size()) +
                       "\r\n\r\n";
              }
              const bool written = sink.write(head.data(), head.size()) &&
                                   sink.write(jpeg->data(), jpeg->size()) &&
                                   sink.write(tail.data(), tail.size());
              *opened = true;
              if (written) {
                hub_->RecordForwarding(WebHub::Clock::now() - received);
              }
              return written;
            });
      });
  server_.Get("/events", [this](const httplib::Request& request,
                                httplib::Response& response) {
    // A reconnecting browser says where it stopped; a new one starts with
    // what comes next.
    auto after = std::make_shared<int64_t>(hub_->LastEventNumber());
    if (request.has_header("Last-Event-ID")) {
      try {
        *after = std::stoll(request.get_header_value("Last-Event-ID"));
      } catch (const std::exception&) {
      }
    }
    response.set_header("Cache-Control", "no-cache");
    response.set_chunked_content_provider(
        "text/event-stream", [this, after](size_t, httplib::DataSink& sink) {
          const auto entries = hub_->EventsAfter(*after, kEventWait);
          if (hub_->stopped() || !sink.is_writable()) return false;
          std::string chunk;
          for (const auto& [number, json] : entries) {
            chunk +=
                "id: " + std::to_string(number) + "\ndata: " + json + "\n\n";
            *after = number;
          }
          if (chunk.empty()) chunk = ": still here\n\n";
          return sink.write(chunk.data(), chunk.size());
        });
  });
  server_.Get(
      "/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(hub_->Metrics(),
                             "text/plain; version=0.0.4; charset=utf-8");
      });
}

void WebServer::Command(const httplib::Request& request,
                        httplib::Response& response) {
  kestu::tools::WebCommand command;
  kestu::tools::WebCommandAnswer answer;
  if (!ParseJson(request.body, &command)) {
    answer.set_error("The request is not a command in JSON");
    response.status = 400;
    response.set_content(Json(answer), "application/json");
    return;
  }
  if (links_.count(command.process()) == 0 ||
      !hub_->HasDriver(command.process(), command.driver())) {
    answer.set_error("Unknown process or driver: " + command.process() + " " +
                     command.driver());
    response.status = 404;
    response.set_content(Json(answer), "application/json");
    return;
  }
  DriverConfig config;
  std::string error;
  if (!BuildRequest(command, &config, &error)) {
    answer.set_error(error);
    response.status = 400;
    response.set_content(Json(answer), "application/json");
    return;
  }
  response.status =
      Send(command.process(), command.driver(), std::move(config), &answer);
  response.set_content(Json(answer), "application/json");
}

int WebServer::Send(const std::string& process, const std::string& driver,
                    DriverConfig config,
                    kestu::tools::WebCommandAnswer* answer) {
  const auto link = links_.find(process);
  if (link == links_.end() || !hub_->HasDriver(process, driver)) {
    answer->set_error("Unknown process or driver: " + process + " " + driver);
    return 404;
  }
  if (config.uuid().empty()) config.set_uuid(vostek_kestu::GenerateUuid());
  answer->set_uuid(config.uuid());
  const auto action = config.kestu_eye_config().action();
  if (!config.kestu_eye_config().has_config() &&
      action == kestueye::START_STREAMING) {
    hub_->SetStreamingDriver(process, driver);
  }
  if (!link->second->Send(driver, config)) {
    answer->set_error(
        "The driver's configuration port did not take the "
        "request (is the process running?)");
    return 503;
  }
  answer->set_sent(true);
  if (auto status = hub_->WaitStatus(config.uuid(), kAnswerWait)) {
    *answer->mutable_status() = *status;
    if (status->type() == Status::CONFIG_RECEIVED) {
      configs_->Remember(process, driver, config);
    }
  } else {
    answer->set_error("The driver did not answer within 10 seconds");
  }
  return 200;
}

}  // namespace kestu_tools
