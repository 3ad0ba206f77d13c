// MetricsServer: serves one page of Prometheus metrics over HTTP on a
// thread of its own.
//
//   MetricsServer server([&] { return bridge.Metrics(); });
//   if (!server.Start("127.0.0.1", 8081, &error)) ...
//   // GET http://127.0.0.1:8081/metrics
//
// Any other path answers 404. Stop (or the destructor) ends the thread.
#ifndef TOOLS_MQTT_METRICS_SERVER_H_
#define TOOLS_MQTT_METRICS_SERVER_H_

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include <httplib.h>

namespace kestu_tools {

class MetricsServer {
 public:
  explicit MetricsServer(std::function<std::string()> render);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds the address and starts serving; false (with a message) when the
  // address cannot be bound.
  bool Start(const std::string& host, int port, std::string* error);
  void Stop();

 private:
  httplib::Server server_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_METRICS_SERVER_H_
