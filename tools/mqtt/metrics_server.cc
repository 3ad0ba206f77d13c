#include "tools/mqtt/metrics_server.h"

#include <chrono>
#include <utility>

namespace kestu_tools {

MetricsServer::MetricsServer(std::function<std::string()> render) {
  server_.Get("/metrics", [render = std::move(render)](
                              const httplib::Request&,
                              httplib::Response& response) {
    response.set_content(render(), "text/plain; version=0.0.4; charset=utf-8");
  });
}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const std::string& host, int port,
                          std::string* error) {
  if (!server_.bind_to_port(host.c_str(), port)) {
    *error = "cannot bind --metrics_port http://" + host + ":" +
             std::to_string(port);
    return false;
  }
  thread_ = std::thread([this] {
    server_.listen_after_bind();
    finished_ = true;
  });
  return true;
}

void MetricsServer::Stop() {
  if (!thread_.joinable()) return;
  // A stop before the server runs would be lost.
  while (!finished_ && !server_.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_.stop();
  thread_.join();
}

}  // namespace kestu_tools
